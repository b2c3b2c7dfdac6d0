// The wake-source search in rendered wake records, and the wake-source thread
// against a subscription of its own.
#include <gtest/gtest.h>
#include <windows.h>
#include <stdio.h>
#include <deque>
#include <map>
#include <string>
#include <vector>
#include "eventmsg/event_fixture.h"
#include "power/power.h"
#include "support/json_lines.h"
#include "support/process_run.h"
#include "test_data.h"
#include "results/results.h"
#include "ui/ui.h"

namespace {

std::string Fixture(const char* name, const char* folder = "wake-events") { return ReadTestData(folder, name); }

// The record's items in the reverse order, with the text's length item dropped.
std::string ReversedWithoutLength(const std::string& xml) {
    size_t begin = xml.find("<EventData>") + strlen("<EventData>"), end = xml.find("</EventData>");
    std::vector<std::string> items;
    for (size_t at = begin; at < end;) {
        size_t next = xml.find("</Data>", at) + strlen("</Data>");
        std::string item = xml.substr(at, next - at);
        if (item.find("'WakeSourceTextLength'") == std::string::npos) items.insert(items.begin(), item);
        at = next;
    }
    std::string data;
    for (const std::string& item : items) data += item;
    return xml.substr(0, begin) + data + xml.substr(end);
}

std::string Find(const std::string& xml, size_t outSize = 512) {
    EventXml record;
    EXPECT_TRUE(ReadRecord(xml, &record));
    char out[512];
    memset(out, 'z', sizeof(out));
    bool wake = FindWakeSource(&record, out, outSize);
    EXPECT_TRUE(!wake || memchr(out, 0, outSize)) << "terminated inside the buffer";
    return wake ? out : "<none>";
}

const char kTimer[] = "Unknown - Probably timer event";

// A subscription of the test's own: rendered events are queued by Push.
namespace fakeevt {
std::mutex gMutex;
HANDLE gSignal;
std::wstring gChannel, gQuery;
DWORD gFlags, gRefuseWith;
std::deque<int> gPending;
std::map<int, std::string> gEvents;  // handle number -> XML
std::map<int, bool> gFailSecondRender;
int gNextHandle = 100, gCloses, gRenders;
const EVT_HANDLE kSubscription = (EVT_HANDLE)7;

EVT_HANDLE WINAPI Subscribe(EVT_HANDLE, HANDLE signal, LPCWSTR channel, LPCWSTR query, EVT_HANDLE, PVOID,
                            EVT_SUBSCRIBE_CALLBACK, DWORD flags) {
    std::lock_guard<std::mutex> hold(gMutex);
    gChannel = channel;
    gQuery = query;
    gFlags = flags;
    if (gRefuseWith) {
        SetLastError(gRefuseWith);
        return nullptr;
    }
    gSignal = signal;
    return kSubscription;
}
BOOL WINAPI Next(EVT_HANDLE, DWORD size, EVT_HANDLE* events, DWORD, DWORD, PDWORD returned) {
    std::lock_guard<std::mutex> hold(gMutex);
    *returned = 0;
    while (*returned < size && !gPending.empty()) {
        events[(*returned)++] = (EVT_HANDLE)(INT_PTR)gPending.front();
        gPending.pop_front();
    }
    if (*returned) return TRUE;
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
}
BOOL WINAPI Render(EVT_HANDLE, EVT_HANDLE event, DWORD flags, DWORD size, PVOID buffer, PDWORD used, PDWORD) {
    std::lock_guard<std::mutex> hold(gMutex);
    int id = (int)(INT_PTR)event;
    std::wstring xml = Widen(gEvents[id]);
    *used = (DWORD)(xml.size() + 1) * 2;
    if (flags != EvtRenderEventXml) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (size < *used) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    gRenders++;
    if (gFailSecondRender[id]) {
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    memcpy(buffer, xml.c_str(), *used);
    return TRUE;
}
BOOL WINAPI Close(EVT_HANDLE) {
    std::lock_guard<std::mutex> hold(gMutex);
    gCloses++;
    return TRUE;
}
void Push(std::vector<std::string> batch, bool failSecond = false) {
    std::lock_guard<std::mutex> hold(gMutex);
    for (const std::string& xml : batch) {
        gEvents[gNextHandle] = xml;
        gFailSecondRender[gNextHandle] = failSecond && &xml == &batch[1];
        gPending.push_back(gNextHandle++);
    }
    SetEvent(gSignal);
}
}  // namespace fakeevt

class WakeSourceTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = gEventApi;
        gEventApi = EventApi{nullptr, fakeevt::Subscribe, fakeevt::Next, fakeevt::Render, fakeevt::Close, nullptr};
        fakeevt::gRefuseWith = 0;
        fakeevt::gCloses = fakeevt::gRenders = 0;
        fakeevt::gSignal = nullptr;
        fakelog::Install();
    }
    void TearDown() override {
        StopEventMonitoring();
        EXPECT_EQ(0, gMonitorThreadCount);
        fakelog::Uninstall();
        gEventApi = saved_;
    }
    static std::string Line(const std::string& source) { return "System Event, Wake Source: " + source + "  "; }
    fakelog::LogCapture capture_;
    EventApi saved_;
};

}  // namespace

TEST(WakeSourceText, RenderedWakeRecords) {
    EXPECT_EQ("HID Keyboard Device", Find(Fixture("keyboard-wake.xml")));
    EXPECT_EQ(kTimer, Find(Fixture("timer-wake-empty.xml")));
    // Self-closing: no text, and never the next item's.
    EXPECT_EQ(kTimer, Find(Fixture("timer-wake-selfclosing.xml")));
    EXPECT_EQ(std::string(511, 'A'), Find(Fixture("long-source.xml")));
    ASSERT_NE("", Fixture("not-a-wake-event.xml"));
    EXPECT_EQ("<none>", Find(Fixture("not-a-wake-event.xml")));

    // Double-quoted attributes name the same item.
    std::string keyboard = Fixture("keyboard-wake.xml");
    for (char& c : keyboard)
        if (c == '\'') c = '"';
    EXPECT_EQ("HID Keyboard Device", Find(keyboard));
}

TEST(WakeSourceText, SourcesDecodedIntoUtf8AndCutBetweenCharacters) {
    std::string keyboard = Fixture("keyboard-wake.xml");
    ASSERT_NE(std::string::npos, keyboard.find(">HID Keyboard Device<"));
    auto withSource = [&](const std::string& text) {
        std::string xml = keyboard;
        xml.replace(xml.find(">HID Keyboard Device<") + 1, strlen("HID Keyboard Device"), text);
        return xml;
    };
    std::string omegas, euros;
    for (int i = 0; i < 300; i++) omegas += "\u03A9";
    for (int i = 0; i < 200; i++) euros += "\u20AC";
    const struct {
        std::string written;  // in the record, as UTF-8
        std::string source;
        size_t outSize;
    } cases[] = {
        {"A &amp; B", "A & B", 512},
        {"&lt;USB&gt; &quot;port&quot; &#65;", "<USB> \"port\" A", 512},
        {"\u03A9", "\u03A9", 512},
        {"Lid \u20AC 1", "Lid \u20AC 1", 512},
        {"&#x3A9; &#x20AC; &#xFFFD;", "\u03A9 \u20AC \uFFFD", 512},
        {"\u6C34\u4E2D \uFF21", "\u6C34\u4E2D \uFF21", 512},
        {omegas, omegas.substr(0, 255 * 2), 512},  // 2 bytes each: 255 fit in 511
        {euros, euros.substr(0, 170 * 3), 512},    // 3 bytes each: 170 fit in 511
        {"Lid \u20AC 1", "Lid ", 7},               // never the first bytes of a character
        {"Lid \u20AC 1", "Lid \u20AC", 8},
    };
    for (const auto& c : cases) EXPECT_EQ(c.source, Find(withSource(c.written), c.outSize)) << c.written;
}

TEST_F(WakeSourceTest, WakeRecordsGiveOneLineEachAndOtherEventsNone) {
    StartEventMonitoring();
    ASSERT_TRUE(fakelog::WaitForLogged("System events activity logging started. "));
    ASSERT_EQ(3, gMonitorThreadCount);
    for (int waited = 0; waited < 3000 && !gMonitorSignal[MONITOR_WAKE_SOURCE]; waited += 10) Sleep(10);
    for (int waited = 0; waited < 3000 && !fakeevt::gSignal; waited += 10) Sleep(10);
    EXPECT_TRUE(fakeevt::gSignal != nullptr && fakeevt::gSignal == gMonitorSignal[MONITOR_WAKE_SOURCE]);
    EXPECT_TRUE(fakeevt::gChannel == L"System" && fakeevt::gQuery == L"*");
    EXPECT_EQ((DWORD)EvtSubscribeToFutureEvents, fakeevt::gFlags);

    fakeevt::Push({Fixture("keyboard-wake.xml"), Fixture("not-a-wake-event.xml"), Fixture("timer-wake-empty.xml"),
                   Fixture("timer-wake-selfclosing.xml"), Fixture("long-source.xml")});
    // The line is formatted into 512 characters.
    std::string longLine = "System Event, Wake Source: " + std::string(511 - 27, 'A');
    ASSERT_TRUE(fakelog::WaitForLogged(longLine));
    EXPECT_EQ(1, fakelog::CountLogged(Line("HID Keyboard Device")));
    EXPECT_EQ(2, fakelog::CountLogged(Line(kTimer)));
    int wakeLines = 0;
    for (const std::string& line : fakelog::LoggedTexts()) wakeLines += line.find("Wake Source") != std::string::npos;
    EXPECT_EQ(4, wakeLines);

    // A failed rendering closes the rest of its batch unread.
    fakeevt::Push({Fixture("timer-wake-empty.xml"), Fixture("keyboard-wake.xml"), Fixture("keyboard-wake.xml")}, true);
    for (int waited = 0; waited < 3000 && fakeevt::gCloses < 8; waited += 10) Sleep(10);
    Sleep(100);
    EXPECT_EQ(8, fakeevt::gCloses);
    EXPECT_EQ(3, fakelog::CountLogged(Line(kTimer)));
    EXPECT_EQ(1, fakelog::CountLogged(Line("HID Keyboard Device")));
    EXPECT_EQ(7, fakeevt::gRenders);  // the third of the batch is never rendered

    StopEventMonitoring();
    EXPECT_EQ(9, fakeevt::gCloses);  // and the subscription
    EXPECT_TRUE(gMonitorSignal[MONITOR_WAKE_SOURCE] == nullptr);
}

TEST_F(WakeSourceTest, RefusedSubscriptionWarnsOnceAndRestoresTheCount) {
    fakeevt::gRefuseWith = ERROR_ACCESS_DENIED;
    StartEventMonitoring();
    ASSERT_TRUE(fakelog::WaitForLogged("Could not subscribe to events. Error = 0x5"));
    for (int waited = 0; waited < 3000 && gMonitorThreadCount != 2; waited += 10) Sleep(10);
    EXPECT_EQ(2, gMonitorThreadCount);
    std::vector<int> levels;
    std::vector<std::string> lines = fakelog::LoggedTexts(&levels);
    int warnings = 0;
    for (size_t i = 0; i < lines.size(); i++) warnings += levels[i] == LOG_WARNING;
    EXPECT_EQ(1, warnings);
    EXPECT_TRUE(gMonitorSignal[MONITOR_WAKE_SOURCE] == nullptr);
}

TEST_F(WakeSourceTest, ResultRecordWaitsForTheWakeSourceOfItsWake) {
    std::string path = "vesplin_wake_results_test.jsonl";
    DeleteFileA(path.c_str());
    snprintf(gResultsPath, sizeof(gResultsPath), "%s", path.c_str());
    StartEventMonitoring();
    for (int waited = 0; waited < 3000 && !IsWakeSourceWatched(); waited += 10) Sleep(10);
    ASSERT_TRUE(IsWakeSourceWatched());
    // A source reported before the sleep began belongs to an earlier wake.
    LONG earlier = WakeSourceCount();
    fakeevt::Push({Fixture("timer-wake-empty.xml")});
    for (int waited = 0; waited < 3000 && WakeSourceCount() == earlier; waited += 10) Sleep(10);

    ClearSleepRecord(&gLastSleep);
    gLastSleep.verdict = VERDICT_OK;
    gLastWakeSourceMark = WakeSourceCount();
    RecordSleepResult(1, SLEEP_S3, SLEEP_S3, 0, 30);
    PollPendingResult();
    // On the disk at once, and held for its wake source.
    ASSERT_EQ(1u, ReadJsonLines(path).size());
    EXPECT_TRUE(ReadJsonLines(path)[0]["wake_source"].is_null());
    EXPECT_TRUE(IsResultPending());

    // A source beyond the code page, with an entity, reaches the file and the page as it was.
    std::string keyboard = Fixture("keyboard-wake.xml");
    keyboard.replace(keyboard.find("HID Keyboard Device"), 19, "HID Keyboard \xCE\xA9 &amp; \xE2\x82\xAC");
    fakeevt::Push({keyboard});
    for (int waited = 0; waited < 3000 && IsResultPending(); waited += 10) {
        Sleep(10);
        PollPendingResult();
    }
    // The next one finds no source before the next sleep: written with none.
    gLastWakeSourceMark = WakeSourceCount();
    RecordSleepResult(2, SLEEP_S3, SLEEP_S3, 0, 30);
    FlushPendingResult();
    StopEventMonitoring();
    std::vector<nlohmann::json> records = ReadJsonLines(path);
    ASSERT_EQ(2u, records.size());
    EXPECT_EQ("HID Keyboard \xCE\xA9 & \xE2\x82\xAC", records[0]["wake_source"]);
    EXPECT_TRUE(records[1]["wake_source"].is_null());
    EXPECT_NE(std::string::npos,
              ReadText("vesplin_wake_results_test.html").find("HID Keyboard \xCE\xA9 &amp; \xE2\x82\xAC"));
    gResultsPath[0] = '\0';
    DeleteFileA(path.c_str());
    DeleteFileA("vesplin_wake_results_test.html");  // the run report rebuilt beside it
}

TEST_F(WakeSourceTest, WakeRecordGivesThePhasesAndTheStateTheMachineReallyEntered) {
    // FILETIMEs around the fixtures' wakes (2026-11-30 09:00 to 09:21 UTC).
    const long long before = 134404992000000000LL;  // 2026-11-30 08:00 UTC
    const long long after = 134405424000000000LL;   // 2026-11-30 20:00 UTC
    struct Case {
        const char* fixture;
        int entered;
        long long sleepStart;
        const char* verdict;
        const char* phasesLine;  // null: no phases attached
        const char* effective;
        long long hiberReadMs;
        bool reordered;
    } cases[] = {
        {"s3-timer-wake.xml", SLEEP_S3, before, "ok",
         "Resume phases: firmware 486 ms, drivers 1688 ms, whole resume 2207 ms; sleep transition 1311 ms", "S3", 0, false},
        {"s3-requested-s4-entered.xml", SLEEP_S3, before, "wrong_state", "", "S4", -1, false},
        {"s4-hibernate-wake.xml", SLEEP_S4, before, "ok", "", "S4", 5402, false},
        // The wake of an earlier sleep is not this sleep's.
        {"s3-timer-wake.xml", SLEEP_S3, after, "ok", nullptr, nullptr, 0, false},
        // Items in another order and one missing: still read, still judged.
        {"s3-requested-s4-entered.xml", SLEEP_S1, before, "wrong_state", "", "S4", 4811, true},
    };
    const size_t count = sizeof(cases) / sizeof(cases[0]);
    std::string path = "vesplin_phases_results_test.jsonl";
    DeleteFileA(path.c_str());
    snprintf(gResultsPath, sizeof(gResultsPath), "%s", path.c_str());
    memset(&gRunTally, 0, sizeof(gRunTally));
    StartEventMonitoring();
    for (int waited = 0; waited < 3000 && !IsWakeSourceWatched(); waited += 10) Sleep(10);
    ASSERT_TRUE(IsWakeSourceWatched());
    int cycle = 1;
    for (const Case& c : cases) {
        ClearSleepRecord(&gLastSleep);
        gLastSleep.verdict = VERDICT_OK;
        gLastSleep.startUtc = c.sleepStart;
        gLastWakeSourceMark = WakeSourceCount();
        RecordSleepResult(cycle, c.entered, c.entered, 0, 60);
        // On the disk at the wake, before its wake record; completed in place later.
        ASSERT_EQ((size_t)cycle, ReadJsonLines(path).size()) << c.fixture;
        EXPECT_TRUE(ReadJsonLines(path).back()["wake_source"].is_null()) << c.fixture;
        std::string xml = Fixture(c.fixture, "power-events");
        fakeevt::Push({c.reordered ? ReversedWithoutLength(xml) : xml});
        for (int waited = 0; waited < 3000 && IsResultPending(); waited += 10) {
            Sleep(10);
            PollPendingResult();
        }
        EXPECT_FALSE(IsResultPending()) << c.fixture;
        EXPECT_EQ((size_t)cycle, ReadJsonLines(path).size()) << c.fixture;
        EXPECT_FALSE(FileExists(path + ".pending")) << c.fixture;
        if (c.phasesLine && c.phasesLine[0]) {
            EXPECT_EQ(1, fakelog::CountLogged(c.phasesLine)) << c.fixture;
        }
        cycle++;
    }
    StopEventMonitoring();
    std::vector<nlohmann::json> records = ReadJsonLines(path);
    ASSERT_EQ(count, records.size());
    for (size_t i = 0; i < count; i++) {
        const Case& c = cases[i];
        const nlohmann::json& r = records[i];
        EXPECT_EQ(c.verdict, r["verdict"]) << c.fixture;
        if (!c.phasesLine) {
            EXPECT_TRUE(r["phases"].is_null()) << c.fixture;
            EXPECT_TRUE(r["effective_state"].is_null()) << c.fixture;
            EXPECT_TRUE(r["wake_source"].is_null()) << c.fixture;
            continue;
        }
        EXPECT_EQ(c.effective, r["effective_state"]) << c.fixture;
        EXPECT_EQ(i == 2 ? "S4" : "S3", r["target_state"]) << c.fixture;
        if (c.hiberReadMs >= 0) {
            EXPECT_EQ(c.hiberReadMs, r["phases"]["hiber_read_ms"]) << c.fixture;
        }
    }
    EXPECT_EQ(1311, records[0]["phases"]["sleep_ms"]);
    EXPECT_EQ(2207, records[0]["phases"]["wake_ms"]);
    EXPECT_EQ(486, records[0]["phases"]["firmware_ms"]);
    EXPECT_EQ(1688, records[0]["phases"]["drivers_ms"]);
    EXPECT_EQ(1, fakelog::CountLogged("Asked for S3, the machine entered S4"));
    EXPECT_EQ(1, fakelog::CountLogged("Asked for S1, the machine entered S4"));
    EXPECT_EQ("Power Button", records[count - 1]["wake_source"]);
    // The machines that hibernated instead fail the run.
    EXPECT_EQ(2, gRunTally.failed);
    EXPECT_EQ(EXIT_SLEEP_FAILED, RunExitCode(&gRunTally, RUN_END_COMPLETED));
    gResultsPath[0] = '\0';
    memset(&gRunTally, 0, sizeof(gRunTally));
    DeleteFileA(path.c_str());
}

TEST_F(WakeSourceTest, ALostSleepsRecordSaysWhyFromTheSystemLog) {
    struct Case {
        const char* records[2];
        const char* reason;
        const char* bugcheck;  // null: none
    } cases[] = {
        {{"kp42-entering-s3.xml", "kp41-bugcheck-resume.xml"}, "crashed", "0x0000009F"},
        {{"kp42-entering-s3.xml", "kp41-power-lost-asleep.xml"}, "power_lost_asleep", nullptr},
        {{"kp42-entering-s3.xml", "kp41-power-button.xml"}, "power_button", nullptr},
        {{"kp42-entering-s3.xml", "kp107-resumed.xml"}, "hung_after_wake", nullptr},
        // The restart is reported, but not even the entry into sleep is there.
        {{"eventlog-6008.xml", nullptr}, "hung_entering", nullptr},
    };
    std::string path = "vesplin_lost_results_test.jsonl";
    DeleteFileA(path.c_str());
    snprintf(gResultsPath, sizeof(gResultsPath), "%s", path.c_str());
    ResumeRecord position;
    memset(&position, 0, sizeof(position));
    position.sleepStartTime = 1796025600;  // 2026-11-30 08:00 UTC
    const long long start = position.sleepStartTime * 10000000LL + 116444736000000000LL;
    for (const Case& c : cases) {
        LostDiagnosis why;
        BeginLostDiagnosis(&why);
        for (const char* name : c.records) {
            if (!name) continue;
            EventXml record;
            ASSERT_TRUE(ReadRecord(Fixture(name, "power-events"), &record));
            AddLostEvidence(&why, &record, start);
        }
        EndLostDiagnosis(&why, true);
        RecordLostSleep(&position, nullptr, position.sleepStartTime + 600, &why);
    }
    // No records to read (as under Wine): unknown.
    LostDiagnosis none;
    BeginLostDiagnosis(&none);
    EndLostDiagnosis(&none, false);
    RecordLostSleep(&position, nullptr, position.sleepStartTime + 600, &none);
    RecordLostSleep(&position, nullptr, position.sleepStartTime + 600, nullptr);
    std::vector<nlohmann::json> records = ReadJsonLines(path);
    ASSERT_EQ(7u, records.size());
    for (size_t i = 0; i < 5; i++) {
        EXPECT_EQ("lost", records[i]["verdict"]);
        EXPECT_EQ(cases[i].reason, records[i]["lost_reason"]) << cases[i].reason;
        if (cases[i].bugcheck) {
            EXPECT_EQ(cases[i].bugcheck, records[i]["bugcheck"]);
        } else {
            EXPECT_TRUE(records[i]["bugcheck"].is_null()) << cases[i].reason;
        }
        EXPECT_TRUE(records[i]["phases"].is_null());
    }
    EXPECT_EQ("unknown", records[5]["lost_reason"]);
    EXPECT_TRUE(records[6]["lost_reason"].is_null());
    gResultsPath[0] = '\0';
    DeleteFileA(path.c_str());
}
