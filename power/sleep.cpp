// One sleep: policy, marker file, wake timer, suspend, wait, verdict.
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include "core/core.h"
#include "events/events.h"
#include "log/log.h"
#include "power/power.h"
#include "settings/settings.h"

HANDLE gWakeTimer = nullptr;
HANDLE gBackupWakeTimer = nullptr;
SleepRecord gLastSleep;
int gLastSuspendSec;
LONG gLastWakeSourceMark;

// How long past its due time the wake timer is waited for before the program
// carries on; only a clock set back while asleep can get that far.
static const long long WAKE_WAIT_SLACK_SEC = 600;

int AdminPolicyStateFor(int state) {
    switch (state) {
    case SLEEP_S1: return PowerSystemSleeping1;
    case SLEEP_S2: return PowerSystemSleeping2;
    case SLEEP_S3: return PowerSystemSleeping3;
    default: return 0;
    }
}

bool NeedsBackupTimer(int durationSec) { return durationSec < BACKUP_WAKE_LIMIT_SEC; }

static long long NowUnixSeconds() { return UnixSecondsFromFileTime(NowFileTime()); }

static DWORD ErrorOr(DWORD error, DWORD fallback) { return error != 0 ? error : fallback; }

bool FlushFileToDisk(const char* path) {
    if (!path || !path[0]) return false;
    HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    BOOL flushed = FlushFileBuffers(file);
    CloseHandle(file);
    return flushed != FALSE;
}

void FlushLogFileToDisk() {
    // The Logger closes the file after every line, so every line so far is in
    // the system's cache; this pushes them through to the device.
    char path[256];
    if (theLogger && theLogger->IsLoggingToFile(path, sizeof(path))) FlushFileToDisk(path);
}


static void CloseWakeTimer() {
    if (gWakeTimer) CloseHandle(gWakeTimer);
    gWakeTimer = nullptr;
}

DWORD ArmWakeTimers(int durationSec) {
    long long due = NowFileTime() + (long long)durationSec * FILETIME_TICKS_PER_SECOND;
    LARGE_INTEGER dueTime;
    dueTime.QuadPart = due;

    CloseWakeTimer();
    gWakeTimer = CreateWaitableTimerA(nullptr, FALSE, nullptr);
    if (!gWakeTimer) return ErrorOr(GetLastError(), ERROR_INVALID_HANDLE);

    __time64_t wakeAt = (__time64_t)(NowUnixSeconds() + durationSec);
    char wakeText[64] = "";
    const char* rendered = _ctime64(&wakeAt);
    if (rendered) {
        snprintf(wakeText, sizeof(wakeText), "%s", rendered);
        size_t length = strlen(wakeText);
        if (length > 0) wakeText[length - 1] = '\0';  // ctime ends with a newline
    }
    LogDebug("Setting wake time at %s", wakeText);

    SetLastError(ERROR_SUCCESS);
    if (!SetWaitableTimer(gWakeTimer, &dueTime, 0, nullptr, nullptr, TRUE)) {
        DWORD error = ErrorOr(GetLastError(), ERROR_INVALID_FUNCTION);
        CloseWakeTimer();
        return error;
    }
    DWORD armError = GetLastError();
    if (armError == ERROR_NOT_SUPPORTED || armError == VESPLIN_TIMER_RESUME_IGNORED) {
        char line[256];
        snprintf(line, sizeof(line),
                 "Wake timer set, but this system cannot wake the machine with it (code %lu); "
                 "wake the machine by hand if it does not return",
                 (unsigned long)armError);
        LogMessage(line, LOG_WARNING);
    }

    if (NeedsBackupTimer(durationSec)) {
        if (gBackupWakeTimer) CloseHandle(gBackupWakeTimer);
        gBackupWakeTimer = CreateWaitableTimerA(nullptr, FALSE, nullptr);
        LARGE_INTEGER backupDue;
        backupDue.QuadPart = -(long long)BACKUP_WAKE_DELAY_SEC * FILETIME_TICKS_PER_SECOND;
        if (!gBackupWakeTimer || !SetWaitableTimer(gBackupWakeTimer, &backupDue, 0, nullptr, nullptr, TRUE))
            LogDebug("Could not set the backup wake timer. Error code: %ld\n", (long)GetLastError());
    }
    return 0;
}

// Waits for the wake timer; it holds the program until the due time when the
// machine woke early.
static void WaitForWakeTimer(int durationSec) {
    long long limitMs = ((long long)durationSec + WAKE_WAIT_SLACK_SEC) * 1000;
    if (limitMs < 0) limitMs = 0;
    if (limitMs >= (long long)INFINITE) limitMs = INFINITE - 1;
    DWORD result = WaitForSingleObject(gWakeTimer, (DWORD)limitMs);
    if (result == WAIT_OBJECT_0) {
        LogDebug("Waitable timer triggered.\n");
    } else {
        char line[160];
        snprintf(line, sizeof(line), "Wake timer did not trigger within %lld seconds of its due time",
                 (long long)WAKE_WAIT_SLACK_SEC);
        LogMessage(line, LOG_WARNING);
    }
}

static void LogFormatted(int level, const char* format, int a, int b = 0) {
    char line[256];
    snprintf(line, sizeof(line), format, a, b);
    LogMessage(line, level);
}

// A sleep that did not happen ends here: the record says refused, with the code and why.
static int RefuseSleep(long error, int reason) {
    gLastSleep.verdict = VERDICT_REFUSED;
    gLastSleep.errorCode = error;
    gLastSleep.reason = reason;
    gLastSleep.endUtc = NowFileTime();
    DeleteFileA(gMarkerFilePath);
    return ENTER_FAILED;
}

// Before the suspend call: the policy, the "Going to sleep" line, the marker
// and the wake timer. 0 when the machine may go down; else the ENTER_ result
// of a sleep refused here.
static int PrepareSleep(int state, int durationSec, int force, bool sleepForever) {
    char line[512];
    if (!sleepForever && durationSec < 1) {
        // Whatever path the value took (fallback, grow time, a configuration
        // file), a wake time now or in the past is no sleep to judge.
        snprintf(line, sizeof(line), "Sleep duration %d sec of S%d is below 1 second: the sleep is not entered",
                 durationSec, state + 1);
        LogMessage(line, LOG_ERROR);
        return RefuseSleep(ERROR_INVALID_PARAMETER, REFUSED_DURATION_BELOW_1S);
    }
    int policyState = AdminPolicyStateFor(state);
    if (policyState != 0) SetAdminSleepPolicy(policyState, policyState);

    snprintf(line, sizeof(line),
             force == 1 ? "Going to sleep, S%d, Force, Duration %dsec" : "Going to sleep, S%d, Unforced, Duration %dsec",
             state + 1, durationSec);
    LogMessage(line, LOG_INFO);

    // The marker is the promise that a sleep which never ends is found at the
    // next start: without it on the device, the sleep is not entered.
    DWORD markerError = WriteMarkerFile();
    if (markerError != 0) {
        snprintf(line, sizeof(line),
                 "Could not write the marker file %s, Error code %lu: the sleep is not entered, since a power loss "
                 "during it could not be detected",
                 gMarkerFilePath[0] ? gMarkerFilePath : "(path too long)", (unsigned long)markerError);
        LogMessage(line, LOG_ERROR);
        return RefuseSleep((long)markerError, REFUSED_MARKER_NOT_WRITTEN);
    }

    if (!sleepForever) {
        DWORD error = ArmWakeTimers(durationSec);
        if (error != 0) {
            // Sleeping without a timer would leave the machine down until someone
            // wakes it, and the verdict would mean nothing.
            snprintf(line, sizeof(line), "Could not set the wake timer, Error code %ld", (long)error);
            LogMessage(line, LOG_ERROR);
            return RefuseSleep((long)error, REFUSED_WAKE_TIMER_NOT_SET);
        }
    }
    return 0;
}

// The suspend call itself; false (the sleep refused) when the system would not.
static bool Suspend(int state, int force) {
    bool hibernate = gPowerApi.IsPwrHibernateAllowed() != 0 && state == SLEEP_S4;
    BOOL entered;
    bool nt = IsNtPlatform();
    if (nt)
        entered = gPowerApi.SetSuspendState(hibernate, force == 1, FALSE);
    else
        entered = SetSystemPowerState(!hibernate, force == 1);
    if (entered) return true;
    DWORD error = GetLastError();
    LogDebug(nt ? "SetSuspendState failed. Error code: %ld\n" : "SetSystemPowerState failed. Error code: %ld\n",
             (long)error);
    CloseWakeTimer();
    char line[64];
    snprintf(line, sizeof(line), "Sleep error, Error code %ld", (long)error);
    LogMessage(line, LOG_ERROR);
    RefuseSleep((long)error, REFUSED_SUSPEND_FAILED);
    return false;
}

// After the wake: the verdict on the time away, then whether the machine
// slept at all; true when it did.
static bool JudgeWake(int state, int durationSec, bool sleepForever, const AsleepReading* before,
                      const AsleepReading* after) {
    int measured = MeasuredSeconds(gLastSleep.startUtc, gLastSleep.endUtc);
    gLastSleep.measuredSec = measured;
    gLastSleep.verdict = JudgeSleepTime(state, durationSec, measured, sleepForever);
    // The wall time alone cannot tell a sleep from a suspend call that
    // returned at once followed by a wait on the timer.
    gLastSleep.asleepSource = ComputeTimeAsleep(before, after, &gLastSleep.asleepSec);
    bool known = gLastSleep.asleepSource != ASLEEP_UNKNOWN;
    bool slept = !known || !MachineDidNotSleep(gLastSleep.asleepSec, measured);
    switch (gLastSleep.verdict) {
    case VERDICT_OK:
        // A sleep that never happened is not called a success: the Error below stands in its place.
        if (slept) LogFormatted(LOG_STATUS, "Sleep time OK %dsec", measured);
        break;
    case VERDICT_TOO_LONG: LogFormatted(LOG_WARNING, "Sleep time too long warning, Sleep time %dsec", measured); break;
    default: LogFormatted(LOG_ERROR, "Sleep time too short error, Sleep time %dsec", measured); break;
    }
    if (!known) {
        LogFormatted(LOG_INFO, "Time asleep unknown: no source answered (measured %d sec)", measured);
        return true;
    }
    if (!slept) {
        LogFormatted(LOG_ERROR,
                     sleepForever ? "The machine did not sleep: the suspend call returned after %d sec and no time "
                                    "was spent asleep"
                                  : "The machine did not sleep: the suspend call returned after %d sec and the "
                                    "program waited on its timer",
                     gLastSuspendSec);
        gLastSleep.verdict = VERDICT_NOT_SLEPT;
        return false;
    }
    char line[256];
    snprintf(line, sizeof(line), "Time asleep %d sec of %d sec (%s)", gLastSleep.asleepSec, measured,
             AsleepSourceName(gLastSleep.asleepSource));
    LogMessage(line, LOG_INFO);
    return true;
}

int EnterSleepState(int state, int durationSec, int force, int cycleNumber) {
    // A record still held for its wake source goes to the device before the
    // machine goes down again.
    FlushPendingResult();
    ClearSleepRecord(&gLastSleep);
    gLastSuspendSec = 0;
    gLastSleep.startUtc = NowFileTime();
    if (state < SLEEP_S1 || state > SLEEP_S4) {
        DeleteFileA(gMarkerFilePath);
        LogDebug("Requested state not currently supported.\n");
        gLastSleep.verdict = VERDICT_REFUSED;
        gLastSleep.reason = REFUSED_BAD_STATE;
        gLastSleep.endUtc = gLastSleep.startUtc;
        return ENTER_BAD_STATE;
    }
    bool sleepForever = theConfig->settings.sleepForever != 0;
    // Taken before the marker and the timer: the list is no part of the time asleep.
    SnapshotBeforeSleep();
    int refused = PrepareSleep(state, durationSec, force, sleepForever);
    if (refused != 0) return refused;

    FlushLogFileToDisk();
    AsleepReading before;
    AsleepReading after;
    TakeAsleepReading(&before);
    gLastWakeSourceMark = WakeSourceCount();
    gLastSleep.startUtc = NowFileTime();
    if (!Suspend(state, force)) return ENTER_FAILED;
    gLastSuspendSec = MeasuredSeconds(gLastSleep.startUtc, NowFileTime());

    if (!sleepForever) WaitForWakeTimer(durationSec);
    char line[64];
    snprintf(line, sizeof(line), "Wake up from S%d, Cycle %d", state + 1, cycleNumber);
    LogMessage(line, LOG_INFO);
    gLastSleep.endUtc = NowFileTime();
    TakeAsleepReading(&after);
    bool slept = JudgeWake(state, durationSec, sleepForever, &before, &after);
    CheckDevicesAfterWake(&gLastSleep, cycleNumber);

    // A one-time reset of the idle timers, so the machine does not drop
    // straight back into an idle sleep.
    ResetIdleTimers();
    CloseWakeTimer();
    DeleteFileA(gMarkerFilePath);
    return slept ? ENTER_OK : ENTER_NOT_SLEPT;
}
