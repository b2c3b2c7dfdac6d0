// Whether the machine slept, as a run finds it out: the time-asleep line after
// each verdict, a sleep that never happened failing its cycle, the results
// file of a run, the checks before the first sleep and the keep-awake calls.
#include <stdio.h>
#include <string.h>
#include "engine_fixture.h"
#include "support/json_lines.h"

using namespace enginetest;

namespace {

class AsleepTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        // Manual wake: no timer to wait for, so the suspend call's own time is the sleep.
        theConfig->settings.sleepForever = 1;
        fake.suspendSleepMs = 1200;
    }
    void FreshLog() {
        delete theLogger;
        theLogger = new Logger();
    }
    // The line after the first verdict of the log.
    std::string LineAfterVerdict() {
        std::vector<std::string> lines = LogLines();
        int verdict = FindLine(lines, "Sleep time OK 1sec");
        return verdict >= 0 && verdict + 1 < (int)lines.size() ? lines[verdict + 1] : "<no verdict>";
    }
    int Run(bool s1, bool s3) {
        const uint8_t selected[4] = {s1, 0, s3, 0};
        const int32_t durations[4] = {31, 32, 33, 64};
        return RunCycleStates(selected, durations, 0, true, 1);
    }
    // SetSuspendState and the execution-state calls, in order.
    std::vector<std::string> AwakeCalls() {
        std::vector<std::string> calls;
        for (const std::string& call : fake.calls) {
            if (call == "SetSuspendState" || call.compare(0, 14, "ExecutionState") == 0) calls.push_back(call);
        }
        return calls;
    }
};

void RequestPause() { gPaused = 1; }
void ReleasePause() { gPaused = 0; }

const char kHold[] = "ExecutionState 0x80000001";     // ES_CONTINUOUS | ES_SYSTEM_REQUIRED
const char kRelease[] = "ExecutionState 0x80000000";  // ES_CONTINUOUS
const char kReset[] = "ExecutionState 0x00000003";    // ES_SYSTEM_REQUIRED | ES_DISPLAY_REQUIRED

}  // namespace

TEST_F(AsleepTest, EachSourceGivesItsLineAfterTheVerdict) {
    fake.stampsAnswer = true;
    fake.stampAsleepMs = 1200;
    EXPECT_EQ(ENTER_OK, EnterSleepState(SLEEP_S1, 31, 0, 1));
    EXPECT_EQ("Time asleep 1 sec of 1 sec (LastSleepTime/LastWakeTime)", LineAfterVerdict());
    EXPECT_EQ(ASLEEP_FROM_STAMPS, gLastSleep.asleepSource);

    // Stamps that did not move: the clocks answer.
    FreshLog();
    fake.stampAsleepMs = -1;
    fake.clockAsleepMs = 1200;
    InstallFakeClocks(true);
    EXPECT_EQ(ENTER_OK, EnterSleepState(SLEEP_S1, 31, 0, 1));
    EXPECT_EQ("Time asleep 1 sec of 1 sec (interrupt time less unbiased interrupt time)", LineAfterVerdict());

    FreshLog();
    fake.stampsAnswer = false;
    InstallFakeClocks(false);
    EXPECT_EQ(ENTER_OK, EnterSleepState(SLEEP_S1, 31, 0, 1));
    EXPECT_EQ("Time asleep 1 sec of 1 sec (tick count less unbiased interrupt time)", LineAfterVerdict());

    // No source at all (before Windows 7): the verdict stands and the log says the time is unknown.
    FreshLog();
    memset(&gSleepClockApi, 0, sizeof(gSleepClockApi));
    EXPECT_EQ(ENTER_OK, EnterSleepState(SLEEP_S1, 31, 0, 1));
    EXPECT_EQ("Time asleep unknown: no source answered (measured 1 sec)", LineAfterVerdict());
    EXPECT_EQ(ASLEEP_UNKNOWN, gLastSleep.asleepSource);
}

TEST_F(AsleepTest, ASleepThatNeverHappenedIsAnErrorAndTheCycleGoesOn) {
    fake.stampsAnswer = true;
    fake.stampAsleepMs = 0;  // the suspend call took its time, but the machine never slept
    std::string results = JoinPath(folder, "results.jsonl");
    DeleteFileA(results.c_str());
    snprintf(gResultsPath, sizeof(gResultsPath), "%s", results.c_str());

    EXPECT_EQ(0, Run(true, true));
    std::vector<int> levels;
    std::vector<std::string> lines = LogLines(&levels);
    const std::string notSlept =
        "The machine did not sleep: the suspend call returned after 1 sec and no time was spent asleep";
    int first = FindLine(lines, notSlept);
    ASSERT_GE(first, 1);
    // The failure stands where the success would have been.
    EXPECT_EQ("Wake up from S1, Cycle 1", lines[first - 1]);
    EXPECT_EQ(0, CountLinesStartingWith(lines, "Sleep time OK"));
    EXPECT_EQ(LOG_ERROR, levels[first]);
    EXPECT_EQ(2, CountLines(lines, notSlept));
    EXPECT_EQ(2u, fake.suspends.size());  // without stop on error the run goes on
    EXPECT_EQ(0, CountLinesStartingWith(lines, "Successfully left sleep state"));
    EXPECT_EQ(0, CountLinesStartingWith(lines, "Error entering sleep state"));
    EXPECT_EQ(1, CountLines(lines, "Last cycle completed"));

    std::vector<nlohmann::json> records = ReadJsonLines(results);
    ASSERT_EQ(2u, records.size());
    EXPECT_EQ("S1", records[0]["requested_state"]);
    EXPECT_EQ("S3", records[1]["entered_state"]);
    for (const auto& record : records) {
        EXPECT_EQ("not_slept", record["verdict"]);
        EXPECT_EQ(0, record["asleep_sec"]);
        EXPECT_EQ("sleep_wake_stamps", record["asleep_source"]);
    }
    EXPECT_EQ(2, gRunTally.failed);
}

TEST_F(AsleepTest, StopOnErrorTreatsItLikeARefusedSleep) {
    fake.stampsAnswer = true;
    fake.stampAsleepMs = 0;
    theConfig->settings.stopOnError = 1;
    BoxWatcher boxes(GetCurrentProcessId());
    boxes.Answer("Cannot enter sleep state!", IDNO);
    EXPECT_EQ(ENTER_NOT_SLEPT, Run(true, true));
    ASSERT_TRUE(boxes.WaitSeen("Cannot enter sleep state!", 5000));
    EXPECT_EQ("Error entering sleep state S1...The machine did not sleep.", boxes.Seen()[0].text);
    EXPECT_EQ(1u, fake.suspends.size());
    EXPECT_EQ(1, CountLines(LogLines(), "Error entering sleep state S1..."));
}

TEST_F(AsleepTest, TheMachineIsKeptAwakeBetweenSleepsAndLetGoWhenPausedOrDone) {
    SetStateBoxes(window, true, false, true, false);
    theConfig->settings.cycleCount = 1;
    theConfig->settings.cycleIntervalSec = 2;
    theConfig->settings.firstSleepDelaySec = 0;
    fake.suspendSleepMs = 0;
    After(300, RequestPause);
    After(1300, ReleasePause);
    StartCycleRunFromCommandLine();
    EXPECT_EQ((std::vector<std::string>{kHold, "SetSuspendState", kReset, kRelease, kHold, "SetSuspendState", kReset,
                                        kRelease}),
              AwakeCalls());
    EXPECT_FALSE(IsKeepingMachineAwake());

    // A refused run (no state selected) holds nothing.
    fake.calls.clear();
    SetStateBoxes(window, false, false, false, false);
    BoxWatcher boxes(GetCurrentProcessId());
    boxes.Answer("No sleep state selected", IDOK);
    StartCycleRunFromCommandLine();
    EXPECT_TRUE(AwakeCalls().empty());
}

TEST_F(AsleepTest, ChecksBeforeTheFirstSleep) {
    SetStateBoxes(window, true, false, false, true);
    gPowerCaps.HiberFilePresent = 0;
    reinterpret_cast<unsigned char*>(&gPowerCaps)[20] = 1;  // AoAc
    fake.suspendSleepMs = 0;
    StartCycleRunFromCommandLine();
    std::vector<int> levels;
    std::vector<std::string> lines = LogLines(&levels);
    int standby = FindLine(lines, "This machine uses Modern Standby (S0 low-power idle): S1 to S3 are not available, "
                                  "whatever the legacy calls say");
    int firstSleep = FindLine(lines, "Going to sleep, S1, Unforced, Duration 30sec");
    ASSERT_GE(standby, 0);
    EXPECT_LT(standby, firstSleep);
    EXPECT_EQ(LOG_WARNING, levels[standby]);
    // The fake library has no power-setting functions.
    EXPECT_EQ(1, CountLines(lines, "The power-setting functions are missing; the plan's wake-timer setting is not "
                                   "checked."));
    int hibernation = -1;
    for (int i = 0; i < (int)lines.size(); i++) {
        if (lines[i].compare(0, 59, "Hibernation is off (no hibernation file) while S4 is chosen") == 0) hibernation = i;
    }
    ASSERT_GE(hibernation, 0);
    EXPECT_LT(hibernation, firstSleep);
    EXPECT_EQ(LOG_WARNING, levels[hibernation]);
    // Once per run, not once per sleep.
    EXPECT_EQ(1, CountLinesStartingWith(lines, "This machine uses Modern Standby"));
}

TEST_F(AsleepTest, MaxFailuresEndsTheRunAtTheSleepThatReachedIt) {
    fake.stampsAnswer = true;
    fake.stampAsleepMs = 0;  // every sleep: not slept, but not one that came back at once
    std::string results = JoinPath(folder, "results.jsonl");
    DeleteFileA(results.c_str());
    snprintf(gResultsPath, sizeof(gResultsPath), "%s", results.c_str());
    SetStateBoxes(window, true, false, true, false);
    theConfig->settings.cycleCount = 5;
    theConfig->settings.firstSleepDelaySec = 0;
    gMaxFailures = 3;
    gFailureStreak = 2;  // left by an earlier run: a new run counts from 0
    StartCycleRunFromCommandLine();

    // Two states a cycle: the third failure is the first sleep of cycle 2, and the run ends there.
    EXPECT_EQ(3u, fake.suspends.size());
    std::vector<nlohmann::json> records = ReadJsonLines(results);
    ASSERT_EQ(3u, records.size());
    EXPECT_EQ(2, records[2]["cycle"]);
    EXPECT_EQ("S1", records[2]["requested_state"]);
    std::vector<int> levels;
    std::vector<std::string> lines = LogLines(&levels);
    int end = FindLine(lines, "The run ends: 3 sleeps failed in a row (--max-failures=3)");
    ASSERT_GE(end, 0);
    EXPECT_EQ(LOG_ERROR, levels[end]);
    EXPECT_EQ(1, CountLinesStartingWith(lines, "The run ends:"));
    EXPECT_EQ(0, CountLines(lines, "Last cycle completed"));
    EXPECT_EQ(RUN_END_FAILED, gRunEnd);
    EXPECT_EQ(EXIT_SLEEP_FAILED, RunExitCode(&gRunTally, gRunEnd));
    // The marker of the last sleep carried the limit and the streak before it.
    static MarkerContents marker;
    const std::string& bytes = fake.suspends.back().markerBytes;
    ASSERT_TRUE(ParseMarkerFile(bytes.data(), bytes.size(), &marker));
    ASSERT_TRUE(marker.haveRun) << marker.problem;
    EXPECT_EQ(3, marker.run.maxFailures);
    EXPECT_EQ(2, marker.run.failureStreak);
}
