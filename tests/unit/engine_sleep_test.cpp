// Privileges, the power policy and one sleep, against recording doubles of the
// power library's entry points.
#include <stdio.h>
#include <string.h>
#include <time.h>
#include "engine_fixture.h"

using namespace enginetest;

namespace {

class PolicyTest : public EngineTest {};
class OneSleepTest : public EngineTest {
protected:
    void WriteStaleMarker() {
        FILE* file = fopen(gMarkerFilePath, "wb");
        ASSERT_TRUE(file != nullptr);
        fputs("stale", file);
        fclose(file);
    }
};

}  // namespace

TEST_F(PolicyTest, ShutdownPrivilegeIsEnabledAndTheTokenClosed) {
    EXPECT_EQ(0, EnableShutdownPrivilege());
    EXPECT_TRUE(gShutdownToken == nullptr);
    EXPECT_EQ(0, CountLinesStartingWith(LogLines(), "Could not"));
}

TEST_F(PolicyTest, PasswordFlagIsClearedAndTheSchemeApplied) {
    fake.globalFlags = 0x7;
    AllowLogonWithoutPasswordOnWake();
    ASSERT_EQ(1u, fake.schemeGlobals.size());
    EXPECT_EQ(0x3u, fake.schemeGlobals[0].user.GlobalFlags);
    EXPECT_EQ(1u, fake.schemeGlobals[0].user.Revision);  // the policy as read, not the second copy
    EXPECT_EQ(7u, fake.schemeIds[0]);
    EXPECT_EQ((std::vector<std::string>{"ReadGlobalPwrPolicy", "GetActivePwrScheme", "GetCurrentPowerPolicies",
                                        "SetActivePwrScheme"}),
              fake.calls);
    EXPECT_EQ(0, FindLine(LogLines(), "GlobalPowerPolicy.user.GlobalFlags = 0x7"));

    // Already clear: written back all the same, unchanged.
    fake.schemeGlobals.clear();
    fake.globalFlags = 0x3;
    AllowLogonWithoutPasswordOnWake();
    ASSERT_EQ(1u, fake.schemeGlobals.size());
    EXPECT_EQ(0x3u, fake.schemeGlobals[0].user.GlobalFlags);
}

TEST_F(PolicyTest, PasswordFlagFailuresAreDebugLinesAndStopTheStep) {
    fake.globalReadResult = FALSE;
    fake.globalReadError = 2;
    AllowLogonWithoutPasswordOnWake();
    EXPECT_EQ((std::vector<std::string>{"ReadGlobalPwrPolicy"}), fake.calls);
    EXPECT_EQ((std::vector<std::string>{"Error reading global power policy. LastError = 2."}), LogLines());

    fake.calls.clear();
    fake.globalReadResult = TRUE;
    fake.schemeResult = FALSE;
    AllowLogonWithoutPasswordOnWake();
    EXPECT_EQ(2u, fake.calls.size());
    EXPECT_GE(FindLine(LogLines(), "Error getting active power scheme. LastError = 2."), 0);

    fake.calls.clear();
    fake.schemeResult = TRUE;
    fake.currentPoliciesResult = FALSE;
    AllowLogonWithoutPasswordOnWake();
    EXPECT_EQ(3u, fake.calls.size());
    EXPECT_GE(FindLine(LogLines(), "Error getting pfnGetCurrentPowerPolicies. LastError = 2."), 0);
}

TEST_F(PolicyTest, SchemeFailureOtherThanAccessDeniedIsSilent) {
    fake.setSchemeResult = FALSE;
    fake.setSchemeError = ERROR_FILE_NOT_FOUND;
    AllowLogonWithoutPasswordOnWake();
    // Only the flags line: no box (it would hang this test), no error line.
    EXPECT_EQ((std::vector<std::string>{"GlobalPowerPolicy.user.GlobalFlags = 0x7"}), LogLines());
}

TEST_F(PolicyTest, AdminPolicyIsNarrowedKeepingTheOtherLimits) {
    EXPECT_TRUE(SetAdminSleepPolicy(3, 3));
    ASSERT_EQ(1u, fake.adminWrites.size());
    EXPECT_EQ(3, (int)fake.adminWrites[0].MinSleep);
    EXPECT_EQ(3, (int)fake.adminWrites[0].MaxSleep);
    EXPECT_EQ(1u, fake.adminWrites[0].MinVideoTimeout);
    EXPECT_EQ(4u, fake.adminWrites[0].MaxSpindownTimeout);
    EXPECT_TRUE(LogLines().empty());
}

TEST_F(PolicyTest, FailedReadWritesTheSavedLimitsOrNothingAtAll) {
    fake.adminReadStatus = (LONG)0xC0000002;
    ADMINISTRATOR_POWER_POLICY saved = {PowerSystemWorking, PowerSystemHibernate, 21, 22, 23, 24};
    gSavedAdminPolicy = saved;
    gSavedAdminPolicyValid = 1;
    EXPECT_FALSE(SetAdminSleepPolicy(2, 2));
    ASSERT_EQ(1u, fake.adminWrites.size());
    EXPECT_EQ(2, (int)fake.adminWrites[0].MinSleep);
    EXPECT_EQ(21u, fake.adminWrites[0].MinVideoTimeout);
    EXPECT_EQ(24u, fake.adminWrites[0].MaxSpindownTimeout);

    fake.adminWrites.clear();
    gSavedAdminPolicyValid = 0;
    EXPECT_FALSE(SetAdminSleepPolicy(2, 2));
    EXPECT_TRUE(fake.adminWrites.empty());
    EXPECT_EQ(2, CountLines(LogLines(), "Error getting active admin power policy. LastError = -1073741822."));
}

TEST_F(PolicyTest, FailedWriteIsADebugLineWithTheStatusInHex) {
    fake.adminWriteStatus = (LONG)0xC0000001;
    EXPECT_FALSE(SetAdminSleepPolicy(4, 4));
    EXPECT_EQ((std::vector<std::string>{"Error setting active admin power policy. LastError = 0xc0000001h."}),
              LogLines());
}

TEST_F(OneSleepTest, BadStateIndexDeletesTheMarkerAndSleepsNot) {
    for (int state : {4, -1}) {
        WriteStaleMarker();
        EXPECT_EQ(ENTER_BAD_STATE, EnterSleepState(state, 30, 0, 1));
        EXPECT_FALSE(FileExists(gMarkerFilePath));
    }
    EXPECT_TRUE(fake.suspends.empty());
    EXPECT_TRUE(fake.adminWrites.empty());
    EXPECT_EQ((std::vector<std::string>{"Requested state not currently supported.",
                                        "Requested state not currently supported."}),
              LogLines());
}

TEST_F(OneSleepTest, TimedSleepLogsWakeAndVerdictAndLeavesNoMarker) {
    theResumeRecord.cycleIndex = 2;
    theResumeRecord.nextStatePos = 1;
    theResumeRecord.requestedState = SLEEP_S3;
    theResumeRecord.selectedStates[2] = 1;
    theConfig->settings.logToFile = 1;
    snprintf(theConfig->settings.logFilePath, sizeof(theConfig->settings.logFilePath), "%s\\run.log",
             folder.c_str());
    ApplyLogSettings(&theConfig->settings);
    long long before = (long long)time(nullptr);

    DWORD started = GetTickCount();
    EXPECT_EQ(ENTER_OK, EnterSleepState(SLEEP_S2, 2, 0, 3));
    DWORD elapsed = GetTickCount() - started;
    EXPECT_GE(elapsed, 1900u);  // the wake timer held the program for the duration
    EXPECT_LT(elapsed, 4000u);

    ASSERT_EQ(1u, fake.suspends.size());
    const SuspendCall& call = fake.suspends[0];
    EXPECT_EQ(0, call.hibernate);
    EXPECT_EQ(0, call.force);
    EXPECT_EQ(0, call.disableWake);
    ASSERT_TRUE(call.markerPresent);
    EXPECT_EQ(2, call.marker.cycleIndex);
    EXPECT_EQ(1, call.marker.nextStatePos);
    EXPECT_EQ(SLEEP_S3, call.marker.requestedState);
    EXPECT_EQ(1, call.marker.selectedStates[2]);
    EXPECT_GE(call.marker.sleepStartTime, before);
    EXPECT_LE(call.marker.sleepStartTime, call.callTime);
    EXPECT_FALSE(FileExists(gMarkerFilePath));
    // The lines before the suspend are in the file when the machine goes down.
    EXPECT_NE(std::string::npos, call.logFileText.find("Going to sleep, S2, Unforced, Duration 2sec"));
    EXPECT_NE(std::string::npos, call.logFileText.find("Setting wake time at "));

    // The policy is narrowed to S2 before the sleep.
    ASSERT_EQ(1u, fake.adminWrites.size());
    EXPECT_EQ(3, (int)fake.adminWrites[0].MinSleep);
    EXPECT_EQ(3, (int)fake.adminWrites[0].MaxSleep);

    std::vector<int> levels;
    std::vector<std::string> lines = LogLines(&levels);
    int going = FindLine(lines, "Going to sleep, S2, Unforced, Duration 2sec");
    ASSERT_GE(going, 0);
    EXPECT_EQ(LOG_INFO, levels[going]);
    EXPECT_EQ(1, CountLinesStartingWith(lines, "Setting wake time at "));
    int triggered = FindLine(lines, "Waitable timer triggered.");
    int wake = FindLine(lines, "Wake up from S2, Cycle 3");
    int verdict = FindLine(lines, "Sleep time OK 2sec");
    ASSERT_GT(triggered, going);
    ASSERT_GT(wake, triggered);
    ASSERT_EQ(wake + 1, verdict);
    EXPECT_EQ(LOG_INFO, levels[wake]);
    EXPECT_EQ(LOG_STATUS, levels[verdict]);
    EXPECT_TRUE(gWakeTimer == nullptr);
    EXPECT_TRUE(gBackupWakeTimer != nullptr);  // 2 s is below 120 s
}

TEST_F(OneSleepTest, ForceAndHibernateReachTheSuspendCall) {
    theConfig->settings.sleepForever = 1;  // no timer: these checks need no waiting
    fake.hibernateAllowed = TRUE;
    EXPECT_EQ(ENTER_OK, EnterSleepState(SLEEP_S4, 60, 1, 1));
    fake.hibernateAllowed = FALSE;
    EXPECT_EQ(ENTER_OK, EnterSleepState(SLEEP_S4, 60, 0, 1));
    EXPECT_EQ(ENTER_OK, EnterSleepState(SLEEP_S1, 30, 1, 1));
    ASSERT_EQ(3u, fake.suspends.size());
    EXPECT_EQ(1, fake.suspends[0].hibernate);
    EXPECT_EQ(1, fake.suspends[0].force);
    EXPECT_EQ(0, fake.suspends[1].hibernate);  // S4 without hibernation: an ordinary suspend
    EXPECT_EQ(0, fake.suspends[1].force);
    EXPECT_EQ(0, fake.suspends[2].hibernate);
    EXPECT_EQ(1, fake.suspends[2].force);
    // S4 leaves the policy alone; S1 narrows it.
    ASSERT_EQ(1u, fake.adminWrites.size());
    EXPECT_EQ(2, (int)fake.adminWrites[0].MinSleep);

    std::vector<std::string> lines = LogLines();
    EXPECT_GE(FindLine(lines, "Going to sleep, S4, Force, Duration 60sec"), 0);
    EXPECT_GE(FindLine(lines, "Going to sleep, S4, Unforced, Duration 60sec"), 0);
    EXPECT_GE(FindLine(lines, "Wake up from S4, Cycle 1"), 0);
    EXPECT_GE(FindLine(lines, "Going to sleep, S1, Force, Duration 30sec"), 0);
}

TEST_F(OneSleepTest, SleepForeverUsesNoTimerAndEveryTimeIsOk) {
    theConfig->settings.sleepForever = 1;
    fake.suspendSleepMs = 1100;
    EXPECT_EQ(ENTER_OK, EnterSleepState(SLEEP_S1, 60, 0, 1));
    std::vector<std::string> lines = LogLines();
    EXPECT_EQ(0, CountLinesStartingWith(lines, "Setting wake time at "));
    EXPECT_EQ(-1, FindLine(lines, "Waitable timer triggered."));
    EXPECT_GE(FindLine(lines, "Sleep time OK 1sec"), 0);
    EXPECT_TRUE(gWakeTimer == nullptr);
    EXPECT_TRUE(gBackupWakeTimer == nullptr);
}

TEST_F(OneSleepTest, RefusedSleepLogsTheErrorCodeAndCleansUp) {
    fake.suspendResult = FALSE;
    fake.suspendError = 1234;
    EXPECT_EQ(ENTER_FAILED, EnterSleepState(SLEEP_S1, 30, 0, 1));
    EXPECT_FALSE(FileExists(gMarkerFilePath));
    EXPECT_TRUE(gWakeTimer == nullptr);
    std::vector<int> levels;
    std::vector<std::string> lines = LogLines(&levels);
    int debug = FindLine(lines, "SetSuspendState failed. Error code: 1234");
    int error = FindLine(lines, "Sleep error, Error code 1234");
    ASSERT_GE(debug, 0);
    ASSERT_EQ(debug + 1, error);
    EXPECT_EQ(LOG_ERROR, levels[error]);
    EXPECT_EQ(-1, FindLine(lines, "Wake up from S1, Cycle 1"));
}

TEST_F(OneSleepTest, DurationsBelowOneSecondAreNeverSlept) {
    // However the value came (fallback, grow time, a settings file), no wake time now or in the past.
    for (int duration : {0, -5, INT_MIN}) {
        WriteStaleMarker();
        EXPECT_EQ(ENTER_FAILED, EnterSleepState(SLEEP_S1, duration, 0, 1)) << duration;
        EXPECT_EQ(VERDICT_REFUSED, gLastSleep.verdict);
        EXPECT_STREQ("duration_below_1s", RefusedReasonId(gLastSleep.reason));
        EXPECT_FALSE(FileExists(gMarkerFilePath)) << duration;
    }
    EXPECT_TRUE(fake.suspends.empty());
    EXPECT_TRUE(gWakeTimer == nullptr);
    std::vector<int> levels;
    std::vector<std::string> lines = LogLines(&levels);
    int line = FindLine(lines, "Sleep duration -5 sec of S1 is below 1 second: the sleep is not entered");
    ASSERT_GE(line, 0);
    EXPECT_EQ(LOG_ERROR, levels[line]);
    EXPECT_EQ(0, CountLinesStartingWith(lines, "Going to sleep"));
    // With manual wake there is no wake time to refuse.
    theConfig->settings.sleepForever = 1;
    EXPECT_EQ(ENTER_OK, EnterSleepState(SLEEP_S1, 0, 0, 1));
    EXPECT_EQ(1u, fake.suspends.size());
}

TEST_F(OneSleepTest, SleepLongerThanTheToleranceIsReportedTooLong) {
    // A real sleep: 1 s asked, 17 s away (tolerance 15 s).
    fake.suspendSleepMs = 17000;
    EXPECT_EQ(ENTER_OK, EnterSleepState(SLEEP_S1, 1, 0, 1));
    std::vector<int> levels;
    std::vector<std::string> lines = LogLines(&levels);
    int verdict = FindLine(lines, "Sleep time too long warning, Sleep time 17sec");
    ASSERT_GE(verdict, 0);
    EXPECT_EQ(LOG_WARNING, levels[verdict]);
}

TEST_F(OneSleepTest, BackupTimerOnlyBelow120SecondsAndReplacedEachTime) {
    EXPECT_EQ(0u, ArmWakeTimers(120));
    EXPECT_TRUE(gWakeTimer != nullptr);
    EXPECT_TRUE(gBackupWakeTimer == nullptr);

    EXPECT_EQ(0u, ArmWakeTimers(119));
    HANDLE first = gBackupWakeTimer;
    ASSERT_TRUE(first != nullptr);
    EXPECT_EQ(0u, ArmWakeTimers(120));
    EXPECT_EQ(first, gBackupWakeTimer);  // a long sleep leaves the earlier backup armed
    EXPECT_EQ(0u, ArmWakeTimers(30));
    EXPECT_TRUE(gBackupWakeTimer != nullptr);
    // The earlier backup timer was closed before the new one was made.
    DWORD flags = 0;
    EXPECT_TRUE(first == gBackupWakeTimer || !GetHandleInformation(first, &flags));
}

TEST_F(OneSleepTest, TimerThatCannotWakeTheMachineIsAWarning) {
    // Wine's timers ignore the resume request, as some machines do.
    ASSERT_EQ(0u, ArmWakeTimers(60));
    std::vector<int> levels;
    std::vector<std::string> lines = LogLines(&levels);
    int warning = CountLinesStartingWith(lines, "Wake timer set, but this system cannot wake the machine with it");
    EXPECT_EQ(1, warning);
}

TEST(FlushToDisk, ExistingFileFlushesAndAMissingOneIsReported) {
    std::string folder = Sandbox(CurrentTestName(), false).Dir();
    std::string path = folder + "\\data.txt";
    FILE* file = fopen(path.c_str(), "w");
    ASSERT_TRUE(file != nullptr);
    fputs("line\n", file);
    fclose(file);
    EXPECT_TRUE(FlushFileToDisk(path.c_str()));
    EXPECT_FALSE(FlushFileToDisk((folder + "\\missing.txt").c_str()));
    EXPECT_FALSE(FlushFileToDisk(""));
}
