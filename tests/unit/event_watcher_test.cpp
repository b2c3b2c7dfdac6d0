// The System and Application watcher threads against an in-memory event log:
// start and stop, new records only, wrapped and cleared logs, large and
// unreadable records, set-up failures and a stop that gives up.
#include <gtest/gtest.h>
#include "support/process_run.h"
#include <windows.h>
#include <algorithm>
#include <string>
#include <vector>
#include "eventmsg/event_fixture.h"
#include "power/power.h"
#include "results/results.h"
#include "ui/ui.h"

namespace {

using fakelog::APPLICATION;
using fakelog::SYSTEM;

const char kStartedSystem[] = "System events activity logging started. ";
const char kStartedApplication[] = "Application events activity logging started. ";
const char kStoppedSystem[] = "System events activity logging stopped. ";
const char kStoppedApplication[] = "Application events activity logging stopped. ";

std::vector<BYTE> Record(DWORD id, size_t dataBytes = 0) {
    return fakelog::BuildRecord(id, EVENTLOG_WARNING_TYPE, "VesplinFake", {}, 1000000000, dataBytes);
}

// The header line of a record of Record(id) numbered number in logName.
std::string Header(const char* logName, const char* number, DWORD id) {
    char time[32];
    FormatEventTime(1000000000, time, sizeof(time));
    char line[256];
    snprintf(line, sizeof(line), "%s Event, %s - Warning, Event: 0x%08X,  Source: VesplinFake (Generated time: %s) ",
             logName, number, (unsigned)id, time);
    return line;
}

bool WaitForCount(LONG count, int timeoutMs = 5000) {
    for (int waited = 0; waited < timeoutMs; waited += 10) {
        if (gMonitorThreadCount == count) return true;
        Sleep(10);
    }
    return false;
}

class EventWatcherTest : public ::testing::Test {
protected:
    void SetUp() override {
        savedEventApi_ = gEventApi;
        memset(&gEventApi, 0, sizeof(gEventApi));
        fakelog::Install();
    }
    void TearDown() override {
        StopEventMonitoring();
        EXPECT_TRUE(WaitForCount(0));
        fakelog::Uninstall();
        gEventApi = savedEventApi_;
    }
    void StartAndWait() {
        StartEventMonitoring();
        ASSERT_TRUE(fakelog::WaitForLogged(kStartedSystem));
        ASSERT_TRUE(fakelog::WaitForLogged(kStartedApplication));
    }
    fakelog::LogCapture capture_;
    EventApi savedEventApi_;
};

}  // namespace

TEST_F(EventWatcherTest, OnlyRecordsWrittenAfterTheStartAreReported) {
    for (int i = 0; i < 3; i++) fakelog::Write(SYSTEM, Record(0x64));
    fakelog::Write(APPLICATION, Record(0x64));
    StartAndWait();
    // Without EvtSubscribe there is no wake-source thread.
    EXPECT_EQ(2, gMonitorThreadCount);
    EXPECT_TRUE(gMonitorSignal[MONITOR_SYSTEM] != nullptr);
    EXPECT_TRUE(gMonitorSignal[MONITOR_WAKE_SOURCE] == nullptr);

    EXPECT_EQ(4u, fakelog::Write(SYSTEM, Record(0xC0010064)));
    EXPECT_EQ(2u, fakelog::Write(APPLICATION, Record(7)));
    ASSERT_TRUE(fakelog::WaitForLogged(Header("System", "04", 0xC0010064)));
    ASSERT_TRUE(fakelog::WaitForLogged(Header("Application", "02", 7)));
    for (const std::string& line : fakelog::LoggedTexts()) {
        EXPECT_EQ(std::string::npos, line.find(" Event, 01 - ")) << line;
        EXPECT_EQ(std::string::npos, line.find("System Event, 03 - ")) << line;
    }

    DWORD begun = GetTickCount();
    StopEventMonitoring();
    EXPECT_LT(GetTickCount() - begun, 2000u);
    EXPECT_EQ(0, gMonitorThreadCount);
    EXPECT_TRUE(gMonitorSignal[MONITOR_SYSTEM] == nullptr && gMonitorSignal[MONITOR_APPLICATION] == nullptr);
    std::vector<std::string> lines = fakelog::LoggedTexts();
    auto at = [&](const char* text) { return std::find(lines.begin(), lines.end(), text) - lines.begin(); };
    ASSERT_LT(at(kStoppedApplication), (long)lines.size());
    EXPECT_LT(at(kStoppedSystem), at(kStoppedApplication));  // the System watcher is told first
}

TEST_F(EventWatcherTest, WrappedAndClearedLogsStillReportNewRecords) {
    for (int i = 0; i < 3; i++) fakelog::Write(SYSTEM, Record(1));
    StartAndWait();
    // A full log drops its oldest record for each new one: the count stays 3.
    for (DWORD id = 10; id < 13; id++) {
        {
            std::lock_guard<std::recursive_mutex> hold(fakelog::gMutex);
            fakelog::gLogs[SYSTEM].records.erase(fakelog::gLogs[SYSTEM].records.begin());
            fakelog::gLogs[SYSTEM].oldest++;
        }
        fakelog::Write(SYSTEM, Record(id));
    }
    ASSERT_TRUE(fakelog::WaitForLogged(Header("System", "06", 12)));
    EXPECT_EQ(1, fakelog::CountLogged(Header("System", "04", 10)));
    EXPECT_EQ(1, fakelog::CountLogged(Header("System", "05", 11)));

    // Cleared: numbers start again at 1 and the open handle must be renewed.
    {
        std::lock_guard<std::recursive_mutex> hold(fakelog::gMutex);
        fakelog::gLogs[SYSTEM].records.clear();
        fakelog::gLogs[SYSTEM].oldest = 1;
        fakelog::gLogs[SYSTEM].fileChanged = true;
    }
    fakelog::Write(SYSTEM, Record(20));
    ASSERT_TRUE(fakelog::WaitForLogged(Header("System", "01", 20)));
    EXPECT_EQ(2, fakelog::gLogs[SYSTEM].opens);
}

TEST_F(EventWatcherTest, LargeRecordsAreReadWholeAndUnreadableOnesSkippedWithoutSpinning) {
    StartAndWait();
    fakelog::Write(SYSTEM, Record(1, 9000));  // larger than the first buffer
    ASSERT_TRUE(fakelog::WaitForLogged(Header("System", "01", 1)));

    // Larger than any buffer the watcher grows to: skipped, the next one still comes.
    fakelog::Write(SYSTEM, Record(2, EVENT_RECORD_LIMIT), false);
    fakelog::Write(SYSTEM, Record(3));
    ASSERT_TRUE(fakelog::WaitForLogged(Header("System", "03", 3)));
    EXPECT_EQ(0, fakelog::CountLogged(Header("System", "02", 2)));
    EXPECT_EQ(1, fakelog::CountLogged("System Event, 02 - could not be read, skipped"));

    // A log that fails every read is tried once per change, not in a loop.
    int before;
    {
        std::lock_guard<std::recursive_mutex> hold(fakelog::gMutex);
        fakelog::gLogs[SYSTEM].readError = ERROR_INVALID_PARAMETER;
        before = fakelog::gLogs[SYSTEM].reads;
    }
    fakelog::Write(SYSTEM, Record(4));
    Sleep(300);
    {
        std::lock_guard<std::recursive_mutex> hold(fakelog::gMutex);
        EXPECT_LE(fakelog::gLogs[SYSTEM].reads - before, 2);
        fakelog::gLogs[SYSTEM].readError = 0;
    }
    fakelog::Write(SYSTEM, Record(5));
    ASSERT_TRUE(fakelog::WaitForLogged(Header("System", "05", 5)));
    // Starting on an empty log loses nothing that could be reported as overwritten.
    for (const std::string& line : fakelog::LoggedTexts()) EXPECT_EQ(std::string::npos, line.find("overwritten"));
}

TEST_F(EventWatcherTest, SetUpFailureEndsOnlyThatWatcher) {
    fakelog::gLogs[SYSTEM].failNotify = true;
    fakelog::gLogs[APPLICATION].failOpen = true;
    StartEventMonitoring();
    ASSERT_TRUE(WaitForCount(0));
    std::vector<int> levels;
    std::vector<std::string> lines = fakelog::LoggedTexts(&levels);
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("Could not set up System events activity logging. ", lines[0]);
    EXPECT_EQ("Could not set up Application events activity logging. ", lines[1]);
    EXPECT_EQ(LOG_WARNING, levels[0]);
    EXPECT_EQ(LOG_WARNING, levels[1]);
    EXPECT_TRUE(gMonitorSignal[MONITOR_SYSTEM] == nullptr);

    fakelog::gLogs[SYSTEM].failNotify = false;
    StartEventMonitoring();
    ASSERT_TRUE(fakelog::WaitForLogged(kStartedSystem));
    EXPECT_TRUE(WaitForCount(1));
    fakelog::Write(SYSTEM, Record(9));
    EXPECT_TRUE(fakelog::WaitForLogged(Header("System", "01", 9)));
}

TEST_F(EventWatcherTest, StopWithoutThreadsReturnsAfterItsFirstPause) {
    // Timed with the performance counter: the tick count moves in steps coarse
    // enough to show a 100 ms pause as 88 ms.
    double begun = NowMs();
    StopEventMonitoring();
    double took = NowMs() - begun;
    EXPECT_GE(took, 90.0);
    EXPECT_LT(took, 400.0);
    EXPECT_EQ(0, theLogger->GetLineCount());
}

TEST_F(EventWatcherTest, ThreadOutlivingAStopLeavesTheCountRightAcrossARestart) {
    HANDLE gate = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    StartAndWait();
    fakelog::gLogs[SYSTEM].readGate = gate;
    fakelog::Write(SYSTEM, Record(1));  // the System watcher now hangs in its read
    Sleep(100);
    StopEventMonitoring();  // gives up after its waits
    EXPECT_EQ(1, gMonitorThreadCount);

    StartEventMonitoring();
    EXPECT_TRUE(WaitForCount(3));
    EXPECT_EQ(2, fakelog::CountLogged(kStartedSystem));
    SetEvent(gate);
    // The stale thread ends without reporting for the new start.
    EXPECT_TRUE(WaitForCount(2));
    EXPECT_TRUE(fakelog::WaitForLogged(kStoppedSystem));
    EXPECT_EQ(0, fakelog::CountLogged(Header("System", "01", 1)));
    fakelog::Write(SYSTEM, Record(2));
    EXPECT_TRUE(fakelog::WaitForLogged(Header("System", "02", 2)));
    EXPECT_EQ(1, fakelog::CountLogged(Header("System", "02", 2)));

    StopEventMonitoring();
    EXPECT_EQ(0, gMonitorThreadCount);
    EXPECT_EQ(2, fakelog::CountLogged(kStoppedSystem));
    CloseHandle(gate);
}
