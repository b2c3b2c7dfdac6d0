// The cycle driver and whole runs, with recording doubles of the power library
// and a window carrying the main window's controls.
#include <stdio.h>
#include <string.h>
#include "engine_fixture.h"

using namespace enginetest;

namespace {

class CycleTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        // Sleeps without a timer return at once: the cycle logic needs no waiting.
        theConfig->settings.sleepForever = 1;
    }
    int Run(bool s1, bool s2, bool s3, bool s4, bool isLast = true, int interval = 0, int cycleNumber = 1) {
        const uint8_t selected[4] = {s1, s2, s3, s4};
        const int32_t durations[4] = {31, 32, 33, 64};
        return RunCycleStates(selected, durations, interval, isLast, cycleNumber);
    }
    // The administrator policy written before each S1-S3 sleep names the state entered.
    std::vector<int> EnteredPolicyStates() {
        std::vector<int> states;
        for (const auto& write : fake.adminWrites) states.push_back((int)write.MinSleep);
        return states;
    }
};

// The user's registry is shared with the programs other tests run at the same
// time: these tests see a private key of their own in its place.
class RunTest : public CycleTest {
protected:
    void SetUp() override {
        CycleTest::SetUp();
        RegDeleteTreeA(HKEY_CURRENT_USER, PRIVATE_USER_KEY);
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, PRIVATE_USER_KEY, 0, nullptr, 0, KEY_ALL_ACCESS,
                                                 nullptr, &privateUser_, nullptr));
        ASSERT_EQ(ERROR_SUCCESS, RegOverridePredefKey(HKEY_CURRENT_USER, privateUser_));
    }
    void TearDown() override {
        RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
        if (privateUser_) RegCloseKey(privateUser_);
        RegDeleteTreeA(HKEY_CURRENT_USER, PRIVATE_USER_KEY);
        CycleTest::TearDown();
    }
    static constexpr const char* PRIVATE_USER_KEY = "Software\\VesplinTests\\RunTest";
    HKEY privateUser_ = nullptr;
    std::string RunOnceData() {
        char data[1024] = "";
        DWORD size = sizeof(data) - 1;
        DWORD type = 0;
        HKEY key;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, RUN_ONCE_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS) return "<no value>";
        LONG error = RegQueryValueExA(key, RUN_ONCE_VALUE, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
        RegCloseKey(key);
        if (error != ERROR_SUCCESS) return "<no value>";
        return type == REG_SZ ? std::string(data) : "<wrong type>";
    }
    bool Enabled(int id) { return IsWindowEnabled(GetDlgItem(window, id)) != FALSE; }
};

void RequestStop() { gStopRequested = 1; }
void RequestQuit() { gQuitRequested = 1; }
void RequestPause() { gPaused = 1; }
void ReleasePause() { gPaused = 0; }

}  // namespace

TEST_F(CycleTest, EmptySelectionReturnsAtOnce) {
    EXPECT_EQ(0, Run(false, false, false, false));
    EXPECT_TRUE(LogLines().empty());
}

TEST_F(CycleTest, StatesRunInOrderWithProgressLines) {
    EXPECT_EQ(0, Run(true, false, true, true, true, 0, 4));
    EXPECT_EQ((std::vector<int>{2, 4}), EnteredPolicyStates());
    ASSERT_EQ(3u, fake.suspends.size());
    EXPECT_EQ(1, fake.suspends[2].hibernate);
    std::vector<int> levels;
    std::vector<std::string> lines = LogLines(&levels);
    std::vector<std::string> progress;
    for (size_t i = 0; i < lines.size(); i++) {
        if (lines[i].find("sleep state") != std::string::npos || lines[i].find("cycle") != std::string::npos)
            progress.push_back(lines[i]);
    }
    EXPECT_EQ((std::vector<std::string>{"Successfully left sleep state S1...", "About to enter sleep state S3...",
                                        "Successfully left sleep state S3...", "About to enter sleep state S4...",
                                        "Successfully left sleep state S4...", "Last cycle completed"}),
              progress);
    EXPECT_EQ(LOG_STATUS, levels[FindLine(lines, "Successfully left sleep state S1...")]);
    EXPECT_EQ(LOG_INFO, levels[FindLine(lines, "About to enter sleep state S3...")]);
    EXPECT_GE(FindLine(lines, "Wake up from S3, Cycle 4"), 0);
    EXPECT_EQ(3, theResumeRecord.nextStatePos);
    EXPECT_EQ(SLEEP_S4, theResumeRecord.requestedState);
}

TEST_F(CycleTest, FallbackExampleEntersS3ForS4) {
    SupportStates(true, false, true, false);
    EXPECT_EQ(0, Run(false, false, false, true));
    EXPECT_EQ((std::vector<int>{4}), EnteredPolicyStates());
    std::vector<std::string> lines = LogLines();
    int unsupported = FindLine(lines, "Requested sleep state S4 is not supported on this machine");
    ASSERT_GE(unsupported, 0);
    EXPECT_EQ(unsupported + 1, FindLine(lines, "Attempting lighter Sleep S3, Duration 33 secs"));
    EXPECT_EQ(unsupported + 2, FindLine(lines, "Going to sleep, S3, Unforced, Duration 33sec"));
    EXPECT_GE(FindLine(lines, "Successfully left sleep state S3..."), 0);
    // The marker names the state asked for, not the one entered.
    EXPECT_EQ(SLEEP_S4, theResumeRecord.requestedState);
}

TEST_F(CycleTest, SkippedStateStillGetsItsLinesProgramAndCountdown) {
    SupportStates(true, false, true, false);
    theConfig->settings.fallbackMode = FALLBACK_DEEPER;
    theConfig->settings.runAppBetweenSleeps = 1;
    std::string recorder = InstallRecorder(folder, "between.exe");
    SetConfigText(theConfig->settings.appBetweenSleepsPath, recorder.c_str());

    DWORD started = GetTickCount();
    EXPECT_EQ(0, Run(false, false, false, true, false, 1));
    DWORD elapsed = GetTickCount() - started;
    EXPECT_GE(elapsed, 900u);  // the full one-second interval
    EXPECT_TRUE(fake.suspends.empty());
    std::vector<std::string> lines = LogLines();
    EXPECT_GE(FindLine(lines, "Skipping sleep state attempt S4 as we cannot go deeper"), 0);
    EXPECT_EQ(-1, FindLine(lines, "Successfully left sleep state S4..."));
    int rule = FindLine(lines, "**********************************************************************");
    ASSERT_GE(rule, 0);
    EXPECT_EQ(rule + 1, FindLine(lines, "About to start next cycle"));
    EXPECT_EQ(1, RecordedRuns(recorder, 1, 5000));
}

TEST_F(CycleTest, ProgramThatCannotStartIsShownAndTheCycleGoesOn) {
    theConfig->settings.runAppBetweenSleeps = 1;
    SetConfigText(theConfig->settings.appBetweenSleepsPath, (folder + "\\missing.exe").c_str());
    BoxWatcher boxes;
    boxes.Answer("Error running external file", IDOK);
    EXPECT_EQ(0, Run(true, true, false, false));
    ASSERT_TRUE(boxes.WaitSeen("Error running external file", 5000));
    EXPECT_EQ(
        "There was an error\nwhile launching the external file.\nCheck the path and file name entered\nin the "
        "perferences window are correct",
        boxes.Seen()[0].text.substr(0, boxes.Seen()[0].text.find_last_not_of('\n') + 1));
    EXPECT_EQ(2u, fake.suspends.size());
}

TEST_F(CycleTest, ForcedAttemptPassesForceAndReportsSuccess) {
    SupportStates(true, false, false, false);
    theConfig->settings.fallbackMode = FALLBACK_FORCE;
    EXPECT_EQ(0, Run(false, true, false, false));
    ASSERT_EQ(1u, fake.suspends.size());
    EXPECT_EQ(1, fake.suspends[0].force);
    std::vector<std::string> lines = LogLines();
    EXPECT_GE(FindLine(lines, "Forcing attempt S2"), 0);
    EXPECT_GE(FindLine(lines, "Going to sleep, S2, Force, Duration 32sec"), 0);
    EXPECT_GE(FindLine(lines, "Successfully left sleep state S2..."), 0);
}

TEST_F(CycleTest, FailedSleepEndsTheCycleWithTheErrorLine) {
    fake.suspendResult = FALSE;
    fake.suspendError = 5;
    theConfig->settings.runAppBetweenSleeps = 1;
    std::string recorder = InstallRecorder(folder, "between.exe");
    SetConfigText(theConfig->settings.appBetweenSleepsPath, recorder.c_str());
    EXPECT_EQ(ENTER_FAILED, Run(true, true, false, false, false, 0));
    EXPECT_EQ(1u, fake.suspends.size());  // S2 is never tried
    std::vector<int> levels;
    std::vector<std::string> lines = LogLines(&levels);
    int error = FindLine(lines, "Error entering sleep state S1...");
    ASSERT_GE(error, 0);
    EXPECT_EQ(LOG_ERROR, levels[error]);
    EXPECT_EQ(-1, FindLine(lines, "About to enter sleep state S2..."));
    EXPECT_EQ(0, RecordedRuns(recorder, 1, 300));
}

TEST_F(CycleTest, LastStateOfTheLastCycleHasNoProgramAndNoCountdown) {
    theConfig->settings.runAppBetweenSleeps = 1;
    std::string recorder = InstallRecorder(folder, "between.exe");
    SetConfigText(theConfig->settings.appBetweenSleepsPath, recorder.c_str());
    DWORD started = GetTickCount();
    EXPECT_EQ(0, Run(true, true, false, false, true, 1));
    DWORD elapsed = GetTickCount() - started;
    // One countdown, after S1 only.
    EXPECT_GE(elapsed, 900u);
    EXPECT_LT(elapsed, 1900u);
    EXPECT_EQ(1, RecordedRuns(recorder, 2, 1500));
    EXPECT_EQ(1, CountLines(LogLines(), "Last cycle completed"));
}

TEST_F(CycleTest, ResumedCycleStartsAfterTheLostState) {
    gResumeRun = 1;
    theResumeRecord.nextStatePos = 1;
    EXPECT_EQ(0, Run(true, true, true, false));
    EXPECT_EQ((std::vector<int>{3, 4}), EnteredPolicyStates());

    fake.adminWrites.clear();
    theResumeRecord.nextStatePos = 3;  // the lost state was the last one
    EXPECT_EQ(0, Run(true, true, true, false));
    EXPECT_TRUE(fake.adminWrites.empty());

    theResumeRecord.nextStatePos = -7;  // a damaged marker starts from the beginning
    EXPECT_EQ(0, Run(true, false, false, false));
    EXPECT_EQ((std::vector<int>{2}), EnteredPolicyStates());
}

TEST_F(CycleTest, PauseHoldsTheCountdownAndStopEndsIt) {
    After(200, RequestPause);
    After(1700, ReleasePause);
    DWORD started = GetTickCount();
    EXPECT_EQ(0, Run(true, true, false, false, true, 1));
    DWORD paused = GetTickCount() - started;
    EXPECT_GE(paused, 2200u);  // one second of countdown plus the pause
    EXPECT_EQ(2u, fake.suspends.size());

    fake.suspends.clear();
    After(300, RequestPause);
    After(900, RequestStop);
    started = GetTickCount();
    EXPECT_EQ(0, Run(true, true, false, false, true, 60));
    EXPECT_LT(GetTickCount() - started, 2000u);
    EXPECT_EQ(1u, fake.suspends.size());  // S2 never started
}

TEST_F(CycleTest, ClosingDuringTheCountdownReturnsQuitWithinOneTick) {
    After(700, RequestQuit);
    DWORD started = GetTickCount();
    EXPECT_EQ(RUN_QUIT, Run(true, true, false, false, true, 60));
    DWORD elapsed = GetTickCount() - started;
    EXPECT_LT(elapsed, 700u + COUNTDOWN_TICK_MS);
    EXPECT_EQ(1u, fake.suspends.size());
}

TEST_F(CycleTest, ClosingDuringTheLastTickStartsNoFurtherSleep) {
    After(700, RequestQuit);  // inside the second and last tick of a one-second interval
    EXPECT_EQ(RUN_QUIT, Run(true, true, false, false, true, 1));
    EXPECT_EQ(1u, fake.suspends.size());
}

TEST_F(CycleTest, CountdownDrawsIntoTheBoxes) {
    // Draws for a value of each font size; a destroyed window is ignored.
    DrawCountdownFrame(window, 5, 2);
    DrawCountdownFrame(window, 500, 2);
    DrawCountdownFrame(window, 5000, 2);
    HWND gone = CreateTestWindow();
    DestroyWindow(gone);
    DrawCountdownFrame(gone, 5, 2);
    DrawCountdownFrame(nullptr, 5, 2);
    // Nothing drawn leaves a GDI object behind.
    DWORD before = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
    for (int i = 0; i < 50; i++) DrawCountdownFrame(window, i * 40, i);
    DWORD after = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
    EXPECT_LE(after, before + 2);
}

TEST_F(RunTest, RefusedRunsShowTheirBoxAndStartNothing) {
    struct Case {
        bool s1, s4;
        int32_t s2Duration, s4Duration;
        const char* caption;
        const char* text;
    } cases[] = {
        {false, false, 30, 60, "No sleep state selected", "Please select at least 1 sleep state to use"},
        {false, true, 30, 59, "Warning",
         "To avoid deadlock, the Sleep Duration cannot be less than 60 seconds in Hibernate mode or a Cycle mode "
         "which includes hibernation.\nPlease change this in the configuration options."},
        {true, false, 20, 60, "Warning",
         "To avoid deadlock, the Sleep Duration cannot be less than 30 seconds in modes S1 - S3.\nPlease change "
         "this in the configuration options"},
    };
    theConfig->settings.sleepForever = 0;
    for (const Case& c : cases) {
        SetStateBoxes(window, c.s1, false, false, c.s4);
        theConfig->settings.useState[2] = 1;  // replaced by the boxes before any check
        theConfig->settings.sleepDurationSec[1] = c.s2Duration;
        theConfig->settings.sleepDurationSec[3] = c.s4Duration;
        theConfig->settings.autoRestart = 1;
        BoxWatcher boxes;
        boxes.Answer(c.caption, IDOK);
        StartRunFromMainWindow(window);
        ASSERT_TRUE(boxes.WaitSeen(c.caption, 5000)) << c.caption;
        EXPECT_EQ(c.text, boxes.Seen()[0].text);
        EXPECT_EQ(c.s1, theConfig->settings.useState[0] == 1);
        EXPECT_EQ(0, theConfig->settings.useState[2]);
        EXPECT_EQ(c.s4, theConfig->settings.useState[3] == 1);
        EXPECT_TRUE(fake.suspends.empty());
        EXPECT_TRUE(Enabled(IDC_SLEEP_NOW));
        EXPECT_FALSE(FileExists(theConfig->configFilePath));
        EXPECT_EQ("<no value>", RunOnceData());
    }
}

TEST_F(CycleTest, FailedSleepWithStopOnErrorShowsTheBox) {
    fake.suspendResult = FALSE;
    theConfig->settings.stopOnError = 1;
    BoxWatcher boxes;
    boxes.Answer("Cannot enter sleep state!", IDYES);
    EXPECT_EQ(ENTER_FAILED, Run(false, false, true, false));
    ASSERT_TRUE(boxes.WaitSeen("Cannot enter sleep state!", 5000));
    EXPECT_EQ("Error entering sleep state S3...Call to enter sleep state failed.", boxes.Seen()[0].text);
}

TEST_F(RunTest, CyclesOfAFixedRunAndTheRunOnceValue) {
    SetStateBoxes(window, true, false, false, false);
    theConfig->settings.cycleCount = 3;
    theConfig->settings.autoRestart = 1;
    StartRunFromMainWindow(window);
    std::vector<std::string> lines = LogLines();
    EXPECT_GE(FindLine(lines, "Wake up from S1, Cycle 1"), 0);
    EXPECT_GE(FindLine(lines, "Wake up from S1, Cycle 2"), 0);
    EXPECT_GE(FindLine(lines, "Wake up from S1, Cycle 3"), 0);
    EXPECT_EQ(3u, fake.suspends.size());
    EXPECT_EQ(2, CountLines(lines, "About to start next cycle"));
    EXPECT_EQ(1, CountLines(lines, "Last cycle completed"));
    // The run's closing line follows, then a line of statistics for its one state, and nothing else.
    int closing = FindLine(lines, "Last cycle completed") + 1;
    ASSERT_EQ(closing + 2, (int)lines.size());
    EXPECT_EQ("Run finished: 3 sleeps, 3 ok", lines[closing]);  // a window run's has no exit code
    EXPECT_EQ(0u, lines.back().find("S1: 3 sleeps, 0 not ok (0%); min/median/p95/max: measured 0/0/0/0%"));

    char exe[MAX_PATH];
    GetModuleFileNameA(nullptr, exe, sizeof(exe));
    EXPECT_EQ("\"" + std::string(exe) + "\"", RunOnceData());
    // In the private key, not the user's own.
    RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
    EXPECT_NE("\"" + std::string(exe) + "\"", RunOnceData());
    // The window path saves the settings, selection included.
    ConfigRecord saved;
    ASSERT_EQ(0, theConfig->Load(theConfig->configFilePath, &saved));
    EXPECT_EQ(1, saved.useState[0]);
    // The run leaves the buttons for its caller to restore.
    EXPECT_FALSE(Enabled(IDC_SLEEP_NOW));
    EXPECT_FALSE(Enabled(IDC_CONFIGURATION));
    EXPECT_TRUE(Enabled(IDC_PAUSE));
}

TEST_F(RunTest, CommandLineRunSavesNothingAndGrowsTheDurations) {
    SetStateBoxes(window, true, true, true, true);
    theConfig->settings.cycleCount = 3;
    gGrowDurations = 1;
    gGrowSeconds = 10;
    for (int i = 0; i < 3; i++) theConfig->settings.sleepDurationSec[i] = 30;
    theConfig->settings.sleepDurationSec[3] = 60;
    StartCycleRunFromCommandLine();
    EXPECT_FALSE(FileExists(theConfig->configFilePath));
    std::vector<std::string> going;
    for (const auto& line : LogLines()) {
        if (line.compare(0, 15, "Going to sleep,") == 0) going.push_back(line);
    }
    ASSERT_EQ(12u, going.size());
    EXPECT_EQ("Going to sleep, S1, Unforced, Duration 30sec", going[0]);
    EXPECT_EQ("Going to sleep, S4, Unforced, Duration 60sec", going[3]);
    EXPECT_EQ("Going to sleep, S1, Unforced, Duration 40sec", going[4]);
    EXPECT_EQ("Going to sleep, S3, Unforced, Duration 40sec", going[6]);
    EXPECT_EQ("Going to sleep, S4, Unforced, Duration 70sec", going[7]);
    EXPECT_EQ("Going to sleep, S2, Unforced, Duration 50sec", going[9]);
    EXPECT_EQ("Going to sleep, S4, Unforced, Duration 80sec", going[11]);
    // The settings themselves never grow.
    EXPECT_EQ(30, theConfig->settings.sleepDurationSec[0]);
}

TEST_F(RunTest, CycleForeverRunsUntilStopAndNeverCallsALastCycle) {
    SetStateBoxes(window, true, false, false, false);
    theConfig->settings.cycleCount = 1;
    theConfig->settings.cycleForever = 1;
    theConfig->settings.cycleIntervalSec = 1;
    After(3200, RequestStop);
    StartRunFromMainWindow(window);
    std::vector<std::string> lines = LogLines();
    EXPECT_GE(fake.suspends.size(), 3u);
    EXPECT_LE(fake.suspends.size(), 5u);
    EXPECT_EQ(0, CountLines(lines, "Last cycle completed"));
    EXPECT_GE(FindLine(lines, "Wake up from S1, Cycle 3"), 0);
}

TEST_F(RunTest, FirstSleepDelayOnlyBeforeTheFirstCycle) {
    SetStateBoxes(window, true, false, false, false);
    theConfig->settings.cycleCount = 2;
    theConfig->settings.firstSleepDelaySec = 1;
    DWORD started = GetTickCount();
    StartRunFromMainWindow(window);
    DWORD elapsed = GetTickCount() - started;
    EXPECT_GE(elapsed, 950u);
    EXPECT_LT(elapsed, 1900u);
    ASSERT_EQ(2u, fake.suspends.size());
    EXPECT_LE(fake.suspends[1].callTime - fake.suspends[0].callTime, 1);
}

TEST_F(RunTest, ProgramAfterTheLastCycleAndTheZeroCycleRun) {
    SetStateBoxes(window, true, false, false, false);
    theConfig->settings.runAppAfterLastCycle = 1;
    theConfig->settings.autoRestart = 1;
    std::string recorder = InstallRecorder(folder, "after.exe");
    SetConfigText(theConfig->settings.appAfterLastCyclePath, recorder.c_str());
    theConfig->settings.cycleCount = 2;
    StartRunFromMainWindow(window);
    EXPECT_EQ(2u, fake.suspends.size());
    EXPECT_EQ(1, RecordedRuns(recorder, 1, 5000));

    // No cycle at all: the value is written and the program started all the same.
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyValueA(HKEY_CURRENT_USER, RUN_ONCE_KEY, RUN_ONCE_VALUE));
    ASSERT_EQ("<no value>", RunOnceData());
    theConfig->settings.cycleCount = 0;
    StartRunFromMainWindow(window);
    EXPECT_EQ(2u, fake.suspends.size());
    EXPECT_EQ(2, RecordedRuns(recorder, 2, 5000));
    EXPECT_NE("<no value>", RunOnceData());
}

TEST_F(RunTest, StopInTheLastCycleStillStartsTheProgramButNotEarlier) {
    SetStateBoxes(window, true, true, false, false);
    theConfig->settings.runAppAfterLastCycle = 1;
    theConfig->settings.cycleIntervalSec = 2;
    std::string recorder = InstallRecorder(folder, "after.exe");
    SetConfigText(theConfig->settings.appAfterLastCyclePath, recorder.c_str());

    theConfig->settings.cycleCount = 1;
    After(500, RequestStop);  // in the countdown between S1 and S2 of the only cycle
    StartRunFromMainWindow(window);
    EXPECT_EQ(1u, fake.suspends.size());
    EXPECT_EQ(1, RecordedRuns(recorder, 1, 5000));

    gStopRequested = 0;
    fake.suspends.clear();
    theConfig->settings.cycleCount = 3;
    After(500, RequestStop);  // in the first of three cycles
    StartRunFromMainWindow(window);
    EXPECT_EQ(1u, fake.suspends.size());
    EXPECT_EQ(1, RecordedRuns(recorder, 2, 800));
    EXPECT_EQ(1, CountLines(LogLines(), "The run was stopped in cycle 1 of 3"));

    // A run that cycles for ever has no other end: Stop starts the program.
    gStopRequested = 0;
    fake.suspends.clear();
    theConfig->settings.cycleForever = 1;
    After(500, RequestStop);
    StartRunFromMainWindow(window);
    EXPECT_EQ(1u, fake.suspends.size());
    EXPECT_EQ(2, RecordedRuns(recorder, 2, 5000));
    EXPECT_EQ(1, CountLines(LogLines(), "The run was stopped in cycle 1 of a run that cycles for ever"));
}

TEST_F(RunTest, ResumedRunContinuesFromTheRecord) {
    SetStateBoxes(window, false, false, true, false);  // the window's own choice is not used
    theConfig->settings.cycleCount = 3;
    theConfig->settings.cycleIntervalSec = 1;
    theResumeRecord.cycleIndex = 1;
    theResumeRecord.nextStatePos = 1;
    theResumeRecord.selectedStates[0] = 1;
    theResumeRecord.selectedStates[1] = 1;
    gResumeRun = 1;
    DWORD started = GetTickCount();
    StartRunFromMainWindow(window);
    DWORD elapsed = GetTickCount() - started;
    gResumeRun = 0;
    // Cycle 2 from S2 on, then cycle 3 whole: S2, S1, S2.
    EXPECT_EQ((std::vector<int>{3, 2, 3}), EnteredPolicyStates());
    std::vector<std::string> lines = LogLines();
    EXPECT_GE(FindLine(lines, "Wake up from S2, Cycle 2"), 0);
    EXPECT_GE(FindLine(lines, "Wake up from S1, Cycle 3"), 0);
    EXPECT_EQ(-1, FindLine(lines, "Wake up from S1, Cycle 2"));
    // The interval before the resumed cycle (position 1 is below 3 cycles), and the ones after its states.
    EXPECT_GE(elapsed, 2900u);
    EXPECT_EQ(1, theResumeRecord.selectedStates[0]);
    EXPECT_EQ(0, theResumeRecord.selectedStates[2]);
}

TEST_F(RunTest, NothingEnterableInACycleForeverRunEndsIt) {
    SupportStates(true, false, false, false);
    theConfig->settings.fallbackMode = FALLBACK_SKIP;
    theConfig->settings.cycleForever = 1;
    theConfig->settings.cycleCount = 0;
    SetStateBoxes(window, false, true, false, false);
    StartRunFromMainWindow(window);  // must return: no sleep, no countdown, no way to press Stop
    std::vector<int> levels;
    std::vector<std::string> lines = LogLines(&levels);
    int end = FindLine(lines, "None of the selected sleep states can be entered on this machine; the run ends");
    ASSERT_GE(end, 0);
    EXPECT_EQ(LOG_ERROR, levels[end]);
    EXPECT_EQ(1, CountLines(lines, "Skipping sleep state attempt S2"));
}

// Runs started by the main window's own Sleep Now, stopped and ended by its buttons.
namespace {

DWORD pressedAt = 0;
bool duringRun[3];  // Sleep Now, Configuration, Pause enabled while the countdown runs

void PressStopCycle() {
    duringRun[0] = IsWindowEnabled(GetDlgItem(gMainWindow, IDC_SLEEP_NOW)) != FALSE;
    duringRun[1] = IsWindowEnabled(GetDlgItem(gMainWindow, IDC_CONFIGURATION)) != FALSE;
    duringRun[2] = IsWindowEnabled(GetDlgItem(gMainWindow, IDC_PAUSE)) != FALSE;
    pressedAt = GetTickCount();
    PostMessageA(gMainWindow, WM_COMMAND, MAKEWPARAM(IDC_STOP_CYCLE, BN_CLICKED),
                 (LPARAM)GetDlgItem(gMainWindow, IDC_STOP_CYCLE));
}

void PressExit() {
    pressedAt = GetTickCount();
    PostMessageA(gMainWindow, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
}

class MainWindowRunTest : public CycleTest {
protected:
    void SetUp() override {
        CycleTest::SetUp();
        DestroyWindow(window);
        gAppInstance = GetModuleHandleA(nullptr);
        window = CreateDialogParamA(gAppInstance, MAKEINTRESOURCEA(IDD_MAIN), nullptr, MainDialogProc, 0);
        ASSERT_TRUE(window != nullptr);
        gMainWindow = window;
        InitMainWindow(window);
        CheckDlgButton(window, IDC_STATE_S1, BST_CHECKED);
        theConfig->settings.cycleCount = 3;
        theConfig->settings.cycleIntervalSec = 30;
    }
    void ClickSleepNow() { SendMessageA(window, WM_COMMAND, MAKEWPARAM(IDC_SLEEP_NOW, BN_CLICKED), 0); }
};

}  // namespace

TEST_F(MainWindowRunTest, StopCycleEndsTheRunWithinOneTick) {
    After(800, PressStopCycle);
    ClickSleepNow();
    DWORD response = GetTickCount() - pressedAt;
    EXPECT_LT(response, (DWORD)COUNTDOWN_TICK_MS);
    EXPECT_EQ(1u, fake.suspends.size());
    EXPECT_FALSE(duringRun[0]);
    EXPECT_FALSE(duringRun[1]);
    EXPECT_TRUE(duringRun[2]);
    // Back to idle, ready for the next run.
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(window, IDC_SLEEP_NOW)));
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(window, IDC_STOP_CYCLE)));
    EXPECT_EQ(0, gStopRequested);
}

TEST_F(MainWindowRunTest, ExitDuringTheCountdownEndsRunAndWindowWithinOneTick) {
    After(800, PressExit);
    ClickSleepNow();
    DWORD response = GetTickCount() - pressedAt;
    EXPECT_LT(response, (DWORD)COUNTDOWN_TICK_MS);
    EXPECT_EQ(1u, fake.suspends.size());
    EXPECT_EQ(1, gQuitRequested);
    EXPECT_FALSE(IsWindow(window));
    MSG message;
    bool quitQueued = false;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) quitQueued |= message.message == WM_QUIT;
    EXPECT_TRUE(quitQueued);
    window = nullptr;
}

// The engine shows its progress only through the view it is given: a view of
// the test's own sees every countdown number, the start and a refresh after
// each sleep, and no control of the window changes.
struct RecordingView {
    std::vector<std::pair<int, int>> countdown;  // seconds left, cycle shown
    int running = 0;
    int refreshes = 0;
};

TEST_F(RunTest, TheRunReportsThroughItsViewAndTouchesNoControl) {
    RecordingView seen;
    gRunView = RunView{
        &seen, nullptr,
        [](void* c, int left, int cycle) { static_cast<RecordingView*>(c)->countdown.push_back({left, cycle}); },
        [](void* c) { static_cast<RecordingView*>(c)->running++; },
        [](void* c) { static_cast<RecordingView*>(c)->refreshes++; }};
    EnableWindow(GetDlgItem(window, IDC_SLEEP_NOW), TRUE);
    SetStateBoxes(window, true, true, false, false);
    theConfig->settings.cycleCount = 1;
    theConfig->settings.cycleIntervalSec = 1;
    StartCycleRunFromCommandLine();

    EXPECT_EQ(1, seen.running);
    EXPECT_EQ(2, seen.refreshes);  // one after each of the two sleeps
    // One countdown of one second between S1 and S2, in 500 ms ticks, for the cycle after.
    EXPECT_EQ((std::vector<std::pair<int, int>>{{1, 2}, {1, 2}}), seen.countdown);
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(window, IDC_SLEEP_NOW)));
    EXPECT_EQ(2u, fake.suspends.size());
}
