// The system's power records read back: data items, the wake record's resume
// phases, the reasons of a lost sleep, and the query of the System log
// against an event log of the test's own.
#include <gtest/gtest.h>
#include <windows.h>
#include <stdio.h>
#include <string.h>
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

std::string Item(const std::string& xml, const char* name, bool* found = nullptr) {
    char out[64];
    memset(out, 'z', sizeof(out));
    bool ok = ReadEventDataItem(xml.c_str(), name, out, sizeof(out));
    if (found) *found = ok;
    return ok ? out : "<none>";
}

std::string PhasesLine(const std::string& xml) {
    WakeDiagnosis d;
    ParseWakeDiagnosis(xml.c_str(), &d);
    char line[256];
    FormatResumePhasesLine(&d, line, sizeof(line));
    return line;
}

const long long kSleepStart = 134405064000000000LL;  // 2026-11-30T10:00:00Z, before every Kernel-Power record

}  // namespace

TEST(PowerRecordsItems, ExactNamesQuotesEntitiesAndMalformedItems) {
    const struct {
        const char* xml;
        const char* name;
        const char* expected;  // "<none>" when not found
    } cases[] = {
        {"<Data Name='A'>1</Data>", "A", "1"},
        {"<Data Name=\"A\">2</Data >", "A", "2"},
        {"<Data Name = 'A' Other='x>y'>3</Data>", "A", "3"},
        {"<Data Kind='A' Name='B'>4</Data>", "A", "<none>"},
        {"<Data Name='A'/><Data Name='B'>5</Data>", "A", ""},  // never the next item's text
        {"<Data Name='WakeSourceTextLength'>12</Data><Data Name='WakeSourceText'>Lid</Data>", "WakeSourceText",
         "Lid"},
        {"<Data Name='WakeSourceText'>Lid</Data><Data Name='WakeSourceTextLength'>3</Data>",
         "WakeSourceTextLength", "3"},
        {"<Data Name='WakeSourceTextLength'>12</Data>", "WakeSourceText", "<none>"},
        {"<DataItem Name='A'>6</DataItem>", "A", "<none>"},
        {"<DataName='A'>6</Data>", "A", "<none>"},
        {"<Data>10:01:09</Data><Data Name='A'>7</Data>", "A", "7"},
        {"<Data Name='A'>&lt;b&gt; &amp;amp; &quot;q&quot; &apos;s&apos; &copy; &amp</Data>", "A",
         "<b> &amp; \"q\" 's' &copy; &amp"},
        {"<Data Name='A'>1</Foo>", "A", "<none>"},
        {"<Data Name='A>1</Data>", "A", "<none>"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.expected, Item(c.xml, c.name)) << c.xml;

    // Cut to the buffer, always terminated, nothing written past it.
    char out[8];
    memset(out, 'z', sizeof(out));
    EXPECT_TRUE(ReadEventDataItem("<Data Name='A'>abcdefghij</Data>", "A", out, 4));
    EXPECT_STREQ("abc", out);
    EXPECT_EQ('z', out[4]);
    EXPECT_FALSE(ReadEventDataItem("<Data Name='A'>1</Data>", "A", out, 0));
    EXPECT_FALSE(ReadEventDataItem("<Data Name='A'>1</Data>", "", out, sizeof(out)));
}

TEST(PowerRecordsItems, CutRecordsAreNeverReadPastTheirEnd) {
    // The text ends at a page that can't be read: a read past its terminator faults.
    std::string xml = Fixture("s3-timer-wake.xml");
    ASSERT_FALSE(xml.empty());
    BYTE* base = (BYTE*)VirtualAlloc(nullptr, 2 * 4096, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    DWORD old;
    VirtualProtect(base + 4096, 4096, PAGE_NOACCESS, &old);
    int found = 0;
    for (size_t length = 0; length <= xml.size(); length++) {
        char* text = (char*)base + 4096 - (length + 1);
        memcpy(text, xml.c_str(), length);
        text[length] = '\0';
        std::string firmware = Item(text, "BiosInitDuration");
        EXPECT_TRUE(firmware == "<none>" || firmware == "486") << length;
        found += firmware == "486";
        WakeDiagnosis d;
        ParseWakeDiagnosis(text, &d);
        EXPECT_TRUE(!d.firmwareMsKnown || d.firmwareMs == 486) << length;
        LostDiagnosis lost;
        BeginLostDiagnosis(&lost);
        AddLostEvidence(&lost, text, 0);
    }
    EXPECT_GT(found, 0);
    VirtualFree(base, 0, MEM_RELEASE);
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
        {Edit(timer, "2207</Data>", "2207"), true, SLEEP_S3, SLEEP_S3, 5, 134405029580120000LL,
         "Resume phases: firmware 486 ms, drivers 1688 ms; sleep transition 1311 ms"},
        {hostile, true, SLEEP_S3, SLEEP_S3, 5, 134405029580120000LL,
         "Resume phases: drivers 1688 ms, whole resume 2207 ms; sleep transition 1311 ms"},
        {Fixture("kp42-entering-s3.xml"), false, -1, -1, 0, 0, ""},
        {Edit(timer, "<EventID>1<", "<EventID>11<"), false, -1, -1, 0, 0, ""},
    };
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); i++) {
        const auto& c = cases[i];
        WakeDiagnosis d;
        EXPECT_EQ(c.isWake, ParseWakeDiagnosis(c.xml.c_str(), &d)) << i;
        EXPECT_TRUE(c.target == d.targetState && c.effective == d.effectiveState) << i;
        EXPECT_EQ(c.target >= 0, d.targetStateKnown) << i;
        EXPECT_EQ(c.sourceType, d.wakeSourceType) << i;
        EXPECT_EQ(c.wakeTime, d.wakeTime) << i;
        EXPECT_EQ(c.line, PhasesLine(c.xml)) << i;
    }

    // Cut to the buffer, nothing written past it.
    WakeDiagnosis d;
    ParseWakeDiagnosis(timer.c_str(), &d);
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
        {{oldEntering}, kSleepStart, true, LOST_HUNG_ENTERING},
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
        for (const std::string& xml : cases[i].records) AddLostEvidence(&d, xml.c_str(), cases[i].start);
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
    std::wstring wide(xml.begin(), xml.end());
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
    // A record far larger than the first rendering buffer still counts.
    std::string big = Edit(Fixture("kp41-bugcheck-resume.xml"), "<Data Name='BugcheckCode'>",
                           "<Data Name='Padding'>" + std::string(40000, 'p') + "</Data><Data Name='BugcheckCode'>");
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

    // No record at all: the machine never began to sleep.
    fakequery::gRecords.clear();
    fakequery::gNext = 0;
    ASSERT_TRUE(QueryLostDiagnosis(kSleepStart, &d));
    EXPECT_EQ(LOST_HUNG_ENTERING, d.reason);

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
