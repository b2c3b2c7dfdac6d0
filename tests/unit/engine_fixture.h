// In-process set-up for the engine's tests: a fresh Logger and Config, a
// window with the controls the engine touches, and a power table whose entry
// points are test doubles that record every call.
#pragma once
#include <gtest/gtest.h>
#include <windows.h>
#include <string>
#include <vector>
#include "app/app.h"
#include "log/log.h"
#include "power/power.h"
#include "res/resource.h"
#include "settings/settings.h"
#include "support/box_watcher.h"
#include "support/process_run.h"
#include "results/results.h"
#include "ui/ui.h"

namespace enginetest {

struct SuspendCall {
    int hibernate;
    int force;
    int disableWake;
    bool markerPresent;      // the marker file existed during the call
    ResumeRecord marker;     // its contents
    std::string markerBytes; // the whole file
    long long callTime;      // seconds since 1970 when called
    std::string logFileText; // the log file when called
};

// What the doubles answer, and what they saw.
struct FakePower {
    BOOLEAN suspendResult = TRUE;
    DWORD suspendError = 0;
    DWORD suspendSleepMs = 0;  // time spent "asleep" inside the suspend call
    BOOLEAN hibernateAllowed = TRUE;
    LONG adminReadStatus = 0;
    LONG adminWriteStatus = 0;
    ADMINISTRATOR_POWER_POLICY adminRead = {PowerSystemWorking, PowerSystemHibernate, 1, 2, 3, 4};
    BOOLEAN globalReadResult = TRUE;
    ULONG globalFlags = 0x7;
    DWORD globalReadError = 0;
    BOOLEAN schemeResult = TRUE;
    BOOLEAN currentPoliciesResult = TRUE;
    BOOLEAN setSchemeResult = TRUE;
    DWORD setSchemeError = 0;
    // The system's sleep and wake stamps (100 ns units); answered when stampsAnswer.
    bool stampsAnswer = false;
    ULONGLONG lastSleep = 0;
    ULONGLONG lastWake = 0;
    // >= 0: each successful suspend call moves the stamps to a sleep of this many ms.
    long long stampAsleepMs = -1;
    // Added to the fake interrupt time by each successful suspend call (see InstallFakeClocks).
    long long clockAsleepMs = 0;

    std::vector<SuspendCall> suspends;
    std::vector<ADMINISTRATOR_POWER_POLICY> adminWrites;
    int adminReads = 0;
    std::vector<GLOBAL_POWER_POLICY> schemeGlobals;
    std::vector<UINT> schemeIds;
    std::vector<std::string> calls;  // names in order
};

extern FakePower* gFake;

// Installs the doubles into gPowerApi and gSetThreadExecutionState, whose calls
// join `calls` as "ExecutionState 0x80000001" (the old entries are put back by Restore).
void InstallFakePower(FakePower* fake);
void RestoreRealPower();
// Clocks for the time asleep: interrupt time runs ahead of the unbiased time by
// every clockAsleepMs of the suspend calls so far. Without QueryInterruptTime
// when withInterruptTime is false (the tick count stands in). Put back by RestoreRealPower.
void InstallFakeClocks(bool withInterruptTime);

// Lines of theLogger without their time stamps, oldest first.
std::vector<std::string> LogLines(std::vector<int>* levels = nullptr);
// Index of the first line equal to text at or after from, or -1.
int FindLine(const std::vector<std::string>& lines, const std::string& text, int from = 0);
int CountLines(const std::vector<std::string>& lines, const std::string& text);
int CountLinesStartingWith(const std::vector<std::string>& lines, const std::string& prefix);

// A modeless dialog with the state boxes, buttons and countdown boxes of the main window.
HWND CreateTestWindow();
void SetStateBoxes(HWND window, bool s1, bool s2, bool s3, bool s4);

// Copies recorder.exe into folder under name; returns its full path.
std::string InstallRecorder(const std::string& folder, const char* name);
// Lines recorded by a recorder copy, waiting up to timeoutMs for at least want of them.
int RecordedRuns(const std::string& recorderPath, int want, int timeoutMs);

// Base fixture: fresh Logger and Config (debug level, no log file), reset run flags,
// fake power table, all states supported, marker file in a sandbox.
class EngineTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    void SupportStates(bool s1, bool s2, bool s3, bool s4);

    FakePower fake;
    HWND window = nullptr;
    std::string folder;  // this test's sandbox
};

// Runs a callback on this thread after ms, from inside the run's message pumping.
void After(UINT ms, void (*action)());

}  // namespace enginetest
