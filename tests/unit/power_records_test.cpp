// The system's power records read back: data items, the wake record's resume
// phases, the reasons of a lost sleep, and the query of the System log
// against an event log of the test's own.
#include <gtest/gtest.h>
#include <windows.h>
#include <stdio.h>
#include <string.h>
#include <algorithm>
#include <random>
#include <regex>
#include <string>
#include <vector>
#include "events/events.h"
#include "power/power.h"
#include "test_data.h"
#include "results/results.h"
#include "ui/ui.h"

namespace {

std::string Fixture(const std::string& name) { return ReadTestData("power-events", name); }

// xml with the first occurrence of from replaced by to.
std::string Edit(std::string xml, const std::string& from, const std::string& to) {
    size_t at = xml.find(from);
    EXPECT_NE(std::string::npos, at) << from;
    if (at != std::string::npos) xml.replace(at, from.size(), to);
    return xml;
}

std::string PhasesLine(const std::string& xml) {
    EventXml record;
    ReadRecord(xml, &record);
    WakeDiagnosis d;
    ParseWakeDiagnosis(&record, &d);
    char line[256];
    FormatResumePhasesLine(&d, line, sizeof(line));
    return line;
}

// items as the EventData of a Kernel-Power record.
std::string Record(const std::string& items) {
    return "<Event xmlns='http://schemas.microsoft.com/win/2004/08/events/event'><System><Provider "
           "Name='Microsoft-Windows-Kernel-Power'/><EventID>41</EventID><TimeCreated "
           "SystemTime='2026-11-30T10:31:40.1000000Z'/></System><EventData>" +
           items + "</EventData></Event>";
}

// The item's text, "<none>" when the record has no such item.
std::string Item(const EventXml& record, const char* name) {
    const EventXmlItem* item = FindEventXmlItem(&record, name);
    return item ? item->value : "<none>";
}

const long long kSleepStart = 134405064000000000LL;  // 2026-11-30T10:00:00Z, before every Kernel-Power record

}  // namespace

TEST(EventXmlRecords, ItemsByNameDecodedAndUpToAFault) {
    const struct {
        const char* items;
        const char* name;
        const char* expected;  // "<none>" when not read
    } cases[] = {
        {"<Data Name='A'>1</Data>", "A", "1"},
        {"<Data Name=\"A\">2</Data >", "A", "2"},
        {"<Data Kind='A' Name='B'>4</Data>", "A", "<none>"},
        {"<Data Name='A'/><Data Name='B'>5</Data>", "A", ""},  // never the next item's text
        {"<Data>10:01:09</Data><Data Name='A'>7</Data>", "A", "7"},
        {"<Data Name='A'>&lt;b&gt; &amp;amp; &quot;q&quot; &apos;s&apos; &#x3A9;&#8364;</Data>", "A",
         "<b> &amp; \"q\" 's' \u03A9\u20AC"},
        {"<Data Name='A'><![CDATA[a<b]]> </Data>", "A", "a<b "},
        {"<Data Name='a'>1</Data>", "A", "<none>"},
        // A fault ends the reading; the items before it still count.
        {"<Data Name='B'>1</Data><Data Name='A'>2</Foo>", "B", "1"},
        {"<Data Name='B'>1</Data><Data Name='A'>2</Foo>", "A", "<none>"},
        {"<Data Name='A>1</Data>", "A", "<none>"},
    };
    for (const auto& c : cases) {
        EventXml record;
        ASSERT_TRUE(ReadRecord(Record(c.items), &record));
        EXPECT_EQ(c.expected, Item(record, c.name)) << c.items;
        EXPECT_STREQ("Microsoft-Windows-Kernel-Power", record.provider);
        EXPECT_EQ(41, record.eventId);
    }
    // No document type: an entity it declares is never expanded.
    EventXml record;
    ReadRecord("<!DOCTYPE Event [<!ENTITY x 'boom'>]>" + Record("<Data Name='A'>&x;</Data>"), &record);
    EXPECT_EQ(0, record.itemCount);
    EXPECT_EQ(-1, record.eventId);
}

TEST(EventXmlRecords, BoundedTextsNamesAndItems) {
    std::string euros;
    for (int i = 0; i < 200; i++) euros += "\u20AC";
    std::string items = "<Data Name='Fits'>" + std::string(EVENT_XML_VALUE_SIZE - 1, 'x') + "</Data>" +
                        "<Data Name='Euros'>ab" + euros + "</Data>" +  // 3 bytes each: 169 fit after "ab"
                        "<Data Name='Long'>" + std::string(100000, 'y') + "</Data>" + "<Data Name='" +
                        std::string(EVENT_XML_NAME_SIZE, 'n') + "'>named too long</Data>";
    for (int i = 0; i < EVENT_XML_ITEMS; i++) items += "<Data Name='Item" + std::to_string(i) + "'>i</Data>";
    EventXml record;
    ASSERT_TRUE(ReadRecord(Record(items), &record));
    EXPECT_EQ(EVENT_XML_ITEMS, record.itemCount);
    const EventXmlItem* fits = FindEventXmlItem(&record, "Fits");
    const EventXmlItem* cut = FindEventXmlItem(&record, "Euros");
    const EventXmlItem* longest = FindEventXmlItem(&record, "Long");
    ASSERT_TRUE(fits && cut && longest);
    EXPECT_FALSE(fits->cut);
    EXPECT_EQ(std::string(EVENT_XML_VALUE_SIZE - 1, 'x'), fits->value);
    EXPECT_TRUE(cut->cut);
    EXPECT_EQ("ab" + euros.substr(0, 169 * 3), cut->value);
    EXPECT_TRUE(longest->cut);
    EXPECT_EQ(std::string(EVENT_XML_VALUE_SIZE - 1, 'y'), longest->value);
    // A name that does not fit is no name; items past the bound are dropped.
    EXPECT_EQ("i", Item(record, "Item36"));
    EXPECT_EQ("<none>", Item(record, "Item37"));
    for (int i = 0; i < record.itemCount; i++) EXPECT_NE('n', record.items[i].name[0]) << i;
}

TEST(EventXmlRecords, EveryFixtureItemReadByNameInAnyOrderAndAnyNumber) {
    struct Data {
        std::string name, text, element;
    };
    typedef std::vector<Data> Items;
    const struct {
        const char* what;
        Items (*change)(Items);
    } variants[] = {
        {"as written", [](Items v) { return v; }},
        {"reversed", [](Items v) { return Items(v.rbegin(), v.rend()); }},
        {"shuffled", [](Items v) {
             std::shuffle(v.begin(), v.end(), std::mt19937(20240607));
             return v;
         }},
        {"every second dropped", [](Items v) {
             Items kept;
             for (size_t i = 0; i < v.size(); i += 2) kept.push_back(v[i]);
             return kept;
         }},
        {"first and last dropped", [](Items v) { return v.size() < 2 ? Items() : Items(v.begin() + 1, v.end() - 1); }},
        {"length dropped", [](Items v) {
             Items kept;
             for (const Data& d : v)
                 if (d.name != "WakeSourceTextLength") kept.push_back(d);
             return kept;
         }},
        {"length after text", [](Items v) {
             auto length = std::find_if(v.begin(), v.end(), [](const Data& d) { return d.name == "WakeSourceTextLength"; });
             if (length == v.end()) return v;
             Data moved = *length;
             v.erase(length);
             auto text = std::find_if(v.begin(), v.end(), [](const Data& d) { return d.name == "WakeSourceText"; });
             v.insert(text == v.end() ? v.end() : text + 1, moved);
             return v;
         }},
    };
    const char* fixtures[][2] = {
        {"wake-events", "keyboard-wake.xml"},           {"wake-events", "long-source.xml"},
        {"wake-events", "not-a-wake-event.xml"},        {"wake-events", "timer-wake-empty.xml"},
        {"wake-events", "timer-wake-selfclosing.xml"},  {"power-events", "kp41-bugcheck-resume.xml"},
        {"power-events", "kp41-power-button.xml"},      {"power-events", "kp41-power-lost-asleep.xml"},
        {"power-events", "kp42-entering-s3.xml"},       {"power-events", "s3-requested-s4-entered.xml"},
        {"power-events", "s3-timer-wake.xml"},          {"power-events", "s4-hibernate-wake.xml"},
    };
    const std::regex element("<Data Name='([^']*)'(?:>([^<]*)</Data>|/>)");
    for (const auto& f : fixtures) {
        std::string xml = ReadTestData(f[0], f[1]);
        size_t begin = xml.find("<EventData>"), end = xml.find("</EventData>");
        ASSERT_TRUE(begin != std::string::npos && end != std::string::npos) << f[1];
        begin += strlen("<EventData>");
        std::string data = xml.substr(begin, end - begin);
        Items items;
        for (std::sregex_iterator m(data.begin(), data.end(), element), last; m != last; ++m) {
            items.push_back({(*m)[1], (*m)[2], m->str()});
        }
        ASSERT_GT(items.size(), 1u) << f[1];
        const std::string name = f[1];
        if (name != "long-source.xml") {  // its one long text is cut; the bounds test covers that
            for (const Data& d : items) ASSERT_LT(d.text.size(), (size_t)EVENT_XML_VALUE_SIZE) << f[1];
        }
        for (const auto& v : variants) {
            Items kept = v.change(items);
            std::string changed;
            for (const Data& d : kept) changed += d.element;
            EventXml record;
            ASSERT_TRUE(ReadRecord(xml.substr(0, begin) + changed + xml.substr(end), &record));
            EXPECT_EQ((int)kept.size(), record.itemCount) << f[1] << ", " << v.what;
            for (const Data& d : items) {
                bool present = std::any_of(kept.begin(), kept.end(), [&](const Data& k) { return k.name == d.name; });
                std::string expected = present ? d.text.substr(0, EVENT_XML_VALUE_SIZE - 1) : "<none>";
                EXPECT_EQ(expected, Item(record, d.name.c_str())) << f[1] << ", " << v.what << ": " << d.name;
            }
        }
    }
}

TEST(EventXmlRecords, CutRecordsGiveTheItemsBeforeTheCutAndAreNeverReadPastTheirEnd) {
    // The characters end at a page that can't be read, with no terminator: a
    // read past the last one faults.
    for (std::string xml : {Fixture("s3-timer-wake.xml"), ReadTestData("wake-events", "keyboard-wake.xml")}) {
        ASSERT_FALSE(xml.empty());
        // Where each item ends, in characters (the fixtures are ASCII).
        std::vector<size_t> ends;
        const std::regex element("<Data Name='[^']*'(?:>[^<]*</Data>|/>)");
        for (std::sregex_iterator m(xml.begin(), xml.end(), element), last; m != last; ++m) {
            ends.push_back(m->position() + m->length());
        }
        EventXml whole;
        ASSERT_TRUE(ReadRecord(xml, &whole));
        ASSERT_EQ((int)ends.size(), whole.itemCount);
        std::wstring wide = Widen(xml);
        size_t pages = (wide.size() * sizeof(WCHAR) + 4095) / 4096 + 1;
        BYTE* base = (BYTE*)VirtualAlloc(nullptr, pages * 4096, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
        DWORD old;
        VirtualProtect(base + (pages - 1) * 4096, 4096, PAGE_NOACCESS, &old);
        EventXml record;
        for (size_t length = 0; length <= wide.size(); length++) {
            WCHAR* text = (WCHAR*)(base + (pages - 1) * 4096) - length;
            memcpy(text, wide.c_str(), length * sizeof(WCHAR));
            ASSERT_TRUE(ReadEventXml(text, length, &record));
            int before = (int)std::count_if(ends.begin(), ends.end(), [&](size_t end) { return end <= length; });
            ASSERT_EQ(before, record.itemCount) << length;
            for (int i = 0; i < record.itemCount; i++) {
                EXPECT_STREQ(whole.items[i].name, record.items[i].name) << length;
                EXPECT_STREQ(whole.items[i].value, record.items[i].value) << length;
            }
            EXPECT_TRUE(record.eventId == -1 || record.eventId == whole.eventId) << length;
        }
        VirtualFree(base, 0, MEM_RELEASE);
    }
}

TEST(PowerRecordsTimes, EventTimesAsFileTimes) {
    const struct {
        const char* text;
        long long fileTime;  // -1: refused
    } cases[] = {
        {"2026-12-01T02:14:07.1234567Z", 134405648471234567LL},
        {"2026-11-30T09:02:38.0120000Z", 134405029580120000LL},
        {"2026-11-30T09:02:38.012Z", 134405029580120000LL},
        {"1970-01-01T00:00:00Z", 116444736000000000LL},
        {"2024-02-29T23:59:59.99999999Z", 133537247999999999LL},  // digits below 100 ns dropped
        {"1601-01-01T00:00:00Z", 0},
        {"2026-02-29T00:00:00Z", -1}, {"2026-13-01T00:00:00Z", -1}, {"2026-11-31T00:00:00Z", -1},
        {"2026-11-30T24:00:00Z", -1}, {"2026-11-30T09:02:38.Z", -1}, {"2026-11-30T09:02:38Zx", -1},
        {"2026-11-30 09:02:38Z", -1}, {"1600-12-31T23:59:59Z", -1}, {"2026-11-30T09:02", -1}, {"", -1},
        {"2026-11-30T09:02:38", -1}, {" 2026-11-30T09:02:38Z", -1},
    };
    for (const auto& c : cases) {
        long long fileTime = -1;
        bool parsed = ParseEventTime(c.text, &fileTime);
        EXPECT_EQ(c.fileTime >= 0, parsed) << c.text;
        EXPECT_EQ(parsed ? c.fileTime : -1, fileTime) << c.text;  // untouched when refused
    }
}

TEST(PowerRecordsWake, ResumePhasesStatesAndBadItems) {
    const std::string timer = Fixture("s3-timer-wake.xml");
    ASSERT_FALSE(timer.empty());
    // Removed, not a number, beyond 64 bits, not a sleep state, not a time: only that field is lost.
    std::string bad = Edit(timer, "<Data Name='BiosInitDuration'>486</Data>", "");
    bad = Edit(Edit(bad, ">1688<", ">16x8<"), ">1311<", ">99999999999999999999<");
    bad = Edit(Edit(bad, "'TargetState'>4<", "'TargetState'>7<"), "2026-11-30T09:02:38.0120000Z", "yesterday");
    // A hostile item neither overruns nor hides the rest; a number too long to hold is none.
    std::string hostile = Edit(Edit(timer, "'WakeSourceText'><", "'WakeSourceText'>" + std::string(100000, 'A') + "<"),
                               ">486<", ">" + std::string(5000, '0') + "486<");
    const struct {
        std::string xml;
        bool isWake;
        int target, effective, sourceType;
        long long wakeTime;
        const char* line;
    } cases[] = {
        {timer, true, SLEEP_S3, SLEEP_S3, 5, 134405029580120000LL,
         "Resume phases: firmware 486 ms, drivers 1688 ms, whole resume 2207 ms; sleep transition 1311 ms"},
        {Fixture("s4-hibernate-wake.xml"), true, SLEEP_S4, SLEEP_S4, 5, 134405034131000000LL,
         "Resume phases: firmware 1893 ms, drivers 2411 ms, whole resume 14630 ms; sleep transition 9874 ms; "
         "hibernation file written in 7120 ms, read in 5402 ms, 412337 pages"},
        {Fixture("s3-requested-s4-entered.xml"), true, SLEEP_S3, SLEEP_S4, 1, 134405040417000000LL,
         "Resume phases: firmware 1710 ms, drivers 2307 ms, whole resume 12044 ms; sleep transition 8120 ms; "
         "hibernation file written in 6350 ms, read in 4811 ms, 398112 pages"},
        {bad, true, -1, SLEEP_S3, 5, 134405029612210000LL /* TimeCreated */, "Resume phases: whole resume 2207 ms"},
        // An item left open holds the ones after it, and the record ends in a
        // fault: only the items before it count.
        {Edit(timer, "2207</Data>", "2207"), true, -1, -1, 0, 134405029580120000LL,
         "Resume phases: sleep transition 1311 ms"},
        {hostile, true, SLEEP_S3, SLEEP_S3, 5, 134405029580120000LL,
         "Resume phases: drivers 1688 ms, whole resume 2207 ms; sleep transition 1311 ms"},
        {Fixture("kp42-entering-s3.xml"), false, -1, -1, 0, 0, ""},
        {Edit(timer, "<EventID>1<", "<EventID>11<"), false, -1, -1, 0, 0, ""},
    };
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); i++) {
        const auto& c = cases[i];
        EventXml record;
        ASSERT_TRUE(ReadRecord(c.xml, &record));
        WakeDiagnosis d;
        EXPECT_EQ(c.isWake, ParseWakeDiagnosis(&record, &d)) << i;
        EXPECT_TRUE(c.target == d.targetState && c.effective == d.effectiveState) << i;
        EXPECT_EQ(c.target >= 0, d.targetStateKnown) << i;
        EXPECT_EQ(c.sourceType, d.wakeSourceType) << i;
        EXPECT_EQ(c.wakeTime, d.wakeTime) << i;
        EXPECT_EQ(c.line, PhasesLine(c.xml)) << i;
    }

    // Cut to the buffer, nothing written past it.
    EventXml record;
    ReadRecord(timer, &record);
    WakeDiagnosis d;
    ParseWakeDiagnosis(&record, &d);
    char line[16];
    memset(line, 'z', sizeof(line));
    FormatResumePhasesLine(&d, line, 10);
    EXPECT_STREQ("Resume ph", line);
    EXPECT_EQ('z', line[10]);
}

TEST(PowerRecordsLost, ReasonsByPrecedence) {
    const std::string bugcheck = Fixture("kp41-bugcheck-resume.xml"), asleep = Fixture("kp41-power-lost-asleep.xml"),
                      button = Fixture("kp41-power-button.xml"), resumed = Fixture("kp107-resumed.xml"),
                      entering = Fixture("kp42-entering-s3.xml"), wake = Fixture("s3-timer-wake.xml"),
                      unexpected = Fixture("eventlog-6008.xml");
    // The same records, written before the sleep started.
    const std::string oldBugcheck = Edit(bugcheck, "T10:31", "T08:31");
    const std::string oldEntering = Edit(entering, "T10:01", "T09:01");
    const std::string legacyAsleep = Edit(asleep, ">4</Data><Data Name='Power", ">true</Data><Data Name='Power");
    const std::string hugeCode = Edit(bugcheck, ">159<", ">99999999999<");
    // A restart report that says no crash, no sleep and no button; and one with no items at all.
    const std::string plainRestart = Edit(bugcheck, ">159<", ">0<");
    const std::string noItems = bugcheck.substr(0, bugcheck.find("<EventData>")) + "<EventData/></Event>";
    const long long earlier = 134405029000000000LL;  // 2026-11-30T09:01:40Z, before the wake record
    const struct {
        std::vector<std::string> records;
        long long start;
        bool worked;
        int reason;
    } cases[] = {
        {{entering, bugcheck}, kSleepStart, true, LOST_CRASHED},
        {{legacyAsleep}, kSleepStart, true, LOST_POWER_LOST_ASLEEP},
        {{entering, button}, kSleepStart, true, LOST_POWER_BUTTON},
        {{entering, resumed}, kSleepStart, true, LOST_HUNG_AFTER_WAKE},
        {{wake}, earlier, true, LOST_HUNG_AFTER_WAKE},
        {{wake, unexpected}, kSleepStart, true, LOST_HUNG_ENTERING},
        {{oldEntering, plainRestart}, kSleepStart, true, LOST_HUNG_ENTERING},
        // Nothing readable after the start is no evidence of anything.
        {{oldEntering}, kSleepStart, true, LOST_UNKNOWN},
        {{noItems}, kSleepStart, true, LOST_UNKNOWN},
        {{plainRestart}, kSleepStart, false, LOST_UNKNOWN},
        {{}, kSleepStart, false, LOST_UNKNOWN},
        {{entering}, kSleepStart, true, LOST_UNKNOWN},
        {{resumed, button, asleep}, kSleepStart, true, LOST_POWER_LOST_ASLEEP},
        {{button, bugcheck, asleep}, kSleepStart, false, LOST_CRASHED},
        {{oldBugcheck, entering, button}, kSleepStart, true, LOST_POWER_BUTTON},
        {{entering, hugeCode}, kSleepStart, true, LOST_UNKNOWN},
    };
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); i++) {
        LostDiagnosis d;
        BeginLostDiagnosis(&d);
        for (const std::string& xml : cases[i].records) {
            EventXml record;
            ReadRecord(xml, &record);
            AddLostEvidence(&d, &record, cases[i].start);
        }
        EndLostDiagnosis(&d, cases[i].worked);
        EXPECT_EQ(cases[i].reason, d.reason) << i;
        EXPECT_STREQ(cases[i].reason == LOST_CRASHED ? "0x0000009F" : "", d.bugcheck) << i;
        EXPECT_STREQ(cases[i].reason == LOST_CRASHED ? "0x3" : "", d.bugcheckParameter1) << i;
    }
}

TEST(PowerRecordsLost, IdsAndComposedLines) {
    const char* ids[] = {"unknown", "crashed", "power_lost_asleep", "power_button", "hung_after_wake",
                         "hung_entering", "unknown"};
    for (int reason = -1; reason <= LOST_HUNG_ENTERING + 1; reason++) {
        EXPECT_STREQ(reason == LOST_NONE ? "" : ids[reason], LostReasonId(reason));
    }
    const struct {
        int reason;
        bool recordsRead;
        const char* parameter;
        const char* line;  // after "Why the cycle never came back: "
    } cases[] = {
        {LOST_CRASHED, true, "0x3", "the machine crashed, bug check 0x0000009F (parameter 1 0x3)"},
        {LOST_CRASHED, false, "", "the machine crashed, bug check 0x0000009F"},
        {LOST_UNKNOWN, true, "", "unknown, the system log holds no record of it"},
        {LOST_UNKNOWN, false, "", "unknown, the system's records are not available"},
        {LOST_HUNG_ENTERING + 1, true, "", "unknown, the system log holds no record of it"},
    };
    for (const auto& c : cases) {
        LostDiagnosis d = {c.reason, "0x0000009F", "", 0, c.recordsRead};
        snprintf(d.bugcheckParameter1, sizeof(d.bugcheckParameter1), "%s", c.parameter);
        char line[160];
        FormatLostReasonLine(&d, line, sizeof(line));
        EXPECT_EQ(std::string("Why the cycle never came back: ") + c.line, line);
    }
}

namespace {

// An event log of the test's own behind EvtQuery: each record is one handle.
namespace fakequery {
std::vector<std::string> gRecords;
std::wstring gPath, gQuery;
DWORD gFlags, gNextError;
bool gRefuse;
size_t gNext;
int gOpen, gRenders;
const EVT_HANDLE kResults = (EVT_HANDLE)(INT_PTR)-2;

EVT_HANDLE WINAPI Query(EVT_HANDLE, LPCWSTR path, LPCWSTR query, DWORD flags) {
    gPath = path;
    gQuery = query;
    gFlags = flags;
    if (gRefuse) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    gOpen++;
    return kResults;
}
BOOL WINAPI Next(EVT_HANDLE results, DWORD size, EVT_HANDLE* events, DWORD, DWORD, PDWORD returned) {
    *returned = 0;
    if (results != kResults) return FALSE;
    while (*returned < size && gNext < gRecords.size()) {
        events[(*returned)++] = (EVT_HANDLE)(INT_PTR)(gNext++ + 1);
        gOpen++;
    }
    if (*returned) return TRUE;
    SetLastError(gNextError);
    return FALSE;
}
BOOL WINAPI Render(EVT_HANDLE, EVT_HANDLE event, DWORD flags, DWORD size, PVOID buffer, PDWORD used, PDWORD) {
    const std::string& xml = gRecords[(size_t)(INT_PTR)event - 1];
    std::wstring wide = Widen(xml);
    *used = (DWORD)(wide.size() + 1) * 2;
    if (flags != EvtRenderEventXml || size < *used) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    gRenders++;
    memcpy(buffer, wide.c_str(), *used);
    return TRUE;
}
BOOL WINAPI Close(EVT_HANDLE) {
    gOpen--;
    return TRUE;
}
}  // namespace fakequery

}  // namespace

class PowerRecordsQuery : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = gEventApi;
        gEventApi =
            EventApi{nullptr, nullptr, fakequery::Next, fakequery::Render, fakequery::Close, fakequery::Query};
        fakequery::gRecords.clear();
        fakequery::gNextError = ERROR_NO_MORE_ITEMS;
        fakequery::gRefuse = false;
        fakequery::gNext = 0;
        fakequery::gOpen = fakequery::gRenders = 0;
    }
    void TearDown() override { gEventApi = saved_; }
    EventApi saved_;
};

TEST_F(PowerRecordsQuery, ReadsTheLogSinceTheSleepAndClosesEveryHandle) {
    // A crash record larger than the reader takes: the items before its cut still count.
    std::string big = Edit(Fixture("kp41-bugcheck-resume.xml"), "<Data Name='BugcheckParameter2'>",
                           "<Data Name='Padding'>" + std::string(EVENT_XML_READ_LIMIT, 'p') +
                               "</Data><Data Name='BugcheckParameter2'>");
    fakequery::gRecords = {Fixture("kp42-entering-s3.xml"), Fixture("eventlog-6008.xml"), big};
    LostDiagnosis d;
    ASSERT_TRUE(QueryLostDiagnosis(kSleepStart + 1234567, &d));
    EXPECT_TRUE(fakequery::gPath == L"System");
    EXPECT_TRUE(fakequery::gQuery == L"*[System[TimeCreated[@SystemTime>='2026-11-30T10:00:00.123Z']]]");
    EXPECT_EQ((DWORD)(EvtQueryChannelPath | EvtQueryForwardDirection), fakequery::gFlags);
    EXPECT_EQ(LOST_CRASHED, d.reason);
    EXPECT_STREQ("0x0000009F", d.bugcheck);
    EXPECT_STREQ("0x3", d.bugcheckParameter1);
    EXPECT_EQ(0, fakequery::gOpen);

    // No record at all, or only records that can't be read: nothing is known.
    const std::string garbage[] = {"", "<Event><System>", std::string(300, '\x01')};
    for (int records = 0; records <= 3; records++) {
        fakequery::gRecords.assign(garbage, garbage + records);
        fakequery::gNext = 0;
        QueryLostDiagnosis(kSleepStart, &d);
        EXPECT_EQ(LOST_UNKNOWN, d.reason) << records;
        EXPECT_EQ(0, fakequery::gOpen) << records;
    }

    // A flood of records is read only up to the limit, and still all closed.
    fakequery::gRecords.assign(LOST_QUERY_RECORD_LIMIT + 500, Fixture("eventlog-6008.xml"));
    fakequery::gRecords.back() = Fixture("kp107-resumed.xml");
    fakequery::gNext = 0;
    fakequery::gRenders = 0;
    ASSERT_TRUE(QueryLostDiagnosis(kSleepStart, &d));
    EXPECT_EQ(LOST_QUERY_RECORD_LIMIT, fakequery::gRenders);
    EXPECT_EQ(LOST_HUNG_ENTERING, d.reason);
    EXPECT_EQ(0, fakequery::gOpen);
}

TEST_F(PowerRecordsQuery, MissingOrFailingQueryGivesUnknown) {
    fakequery::gRecords = {Fixture("kp41-power-button.xml")};
    LostDiagnosis d;
    char line[160];
    for (int refuse = 0; refuse < 2; refuse++) {
        gEventApi.EvtQuery = refuse ? fakequery::Query : nullptr;
        fakequery::gRefuse = refuse;
        EXPECT_FALSE(QueryLostDiagnosis(kSleepStart, &d)) << refuse;
        EXPECT_EQ(LOST_UNKNOWN, d.reason) << refuse;
        FormatLostReasonLine(&d, line, sizeof(line));
        EXPECT_STREQ("Why the cycle never came back: unknown, the system's records are not available", line);
        EXPECT_EQ(0, fakequery::gRenders + fakequery::gOpen) << refuse;
    }
    // A log that fails part way: what was read still counts, the query did not work.
    fakequery::gRefuse = false;
    fakequery::gNextError = ERROR_TIMEOUT;
    EXPECT_FALSE(QueryLostDiagnosis(kSleepStart, &d));
    EXPECT_EQ(LOST_POWER_BUTTON, d.reason);
    EXPECT_EQ(0, fakequery::gOpen);
    fakequery::gRecords.clear();
    fakequery::gNext = 0;
    EXPECT_FALSE(QueryLostDiagnosis(kSleepStart, &d));
    EXPECT_EQ(LOST_UNKNOWN, d.reason);  // not "never began to sleep"

    // The system's own event library (Wine's fails the query): a quick answer either way.
    LoadEventLogApi();
    DWORD started = GetTickCount();
    bool worked = QueryLostDiagnosis(kSleepStart, &d);
    EXPECT_LT(GetTickCount() - started, 5000u);
    if (!worked) {
        EXPECT_EQ(LOST_UNKNOWN, d.reason);
        EXPECT_FALSE(d.recordsRead);
    }
    if (gEventApi.module) FreeLibrary(gEventApi.module);
}
