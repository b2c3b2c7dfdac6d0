// The cycle driver: fallback rule, the states of one cycle, countdowns and the
// nested message loop that keeps the window alive during a run.
#include <stdio.h>
#include <string.h>
#include "core/core.h"
#include "log/log.h"
#include "power/power.h"
#include "settings/settings.h"

int gCycleStatesEntered = 0;
RunView gRunView;

void ShowCountdown(int secondsLeft, int cycleShown) {
    if (gRunView.ShowCountdown) gRunView.ShowCountdown(gRunView.context, secondsLeft, cycleShown);
}
// Sleeps in a row that came back with no time gone: a machine whose suspend
// call returns at once would otherwise make a run spin.
static int gQuickSleeps = 0;

void ResetQuickSleepCount() { gQuickSleeps = 0; }

bool CountQuickSleep(int result, int measuredSec) {
    gQuickSleeps = result == ENTER_NOT_SLEPT && measuredSec < 1 ? gQuickSleeps + 1 : 0;
    return gQuickSleeps >= QUICK_SLEEP_LIMIT;
}

void PumpPendingMessages() {
    // "Vesplin.exe --stop" from another process stops the run as Stop Cycle does.
    if (!gStopRequested && TakeStopSignal()) {
        gStopRequested = 1;
        LogMessage("Cycle was stopped by Vesplin.exe --stop", LOG_INFO);
    }
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            // The quit belongs to the outer message loop: put it back for that
            // loop and let the run see that the program is closing.
            gQuitRequested = 1;
            PostQuitMessage((int)message.wParam);
            return;
        }
        if (!gRunView.window || !IsDialogMessageA(gRunView.window, &message)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
}

// One tick of a countdown. Messages that arrive during the tick are handled at
// once, so the window stays live and Stop or Exit end the tick early instead of
// waiting for the next one.
static void WaitOneTick(int tickMs) {
    DWORD start = GetTickCount();
    for (;;) {
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= (DWORD)tickMs || gStopRequested || gQuitRequested) return;
        DWORD woke = MsgWaitForMultipleObjects(0, nullptr, FALSE, (DWORD)tickMs - elapsed, QS_ALLINPUT);
        if (woke == WAIT_OBJECT_0) {
            PumpPendingMessages();
        } else if (woke != WAIT_TIMEOUT) {
            Sleep((DWORD)tickMs - elapsed);  // cannot wait for messages: plain tick
            return;
        }
    }
}

int RunCountdown(int seconds, int tickMs, int cycleShown) {
    if (tickMs <= 0) tickMs = COUNTDOWN_TICK_MS;
    int ticksPerSecond = 1000 / tickMs;
    long long ticks = (long long)seconds * ticksPerSecond;
    long long counter = 0;
    while (counter < ticks && !gStopRequested) {
        if (gQuitRequested) return RUN_QUIT;
        if (gPaused) counter--;  // this tick does not count
        // A paused run leaves the machine free to sleep on its own.
        KeepMachineAwake(!gPaused);
        PollPendingResult();
        ShowCountdown(CountdownSecondsLeft(seconds, counter, ticksPerSecond), cycleShown);
        PumpPendingMessages();
        WaitOneTick(tickMs);
        counter++;
    }
    // Exit pressed during the last tick must not let the next sleep start.
    return gQuitRequested ? RUN_QUIT : 0;
}

static void LogFormatted(int level, const char* format, int value) {
    char line[256];
    snprintf(line, sizeof(line), format, value);
    LogMessage(line, level);
}

static const char* FailureText(int result) {
    switch (result) {
    case ENTER_BAD_STATE: return "Requested state not currently supported.";
    case ENTER_NOT_SLEPT: return "The machine did not sleep.";
    default: return "Call to enter sleep state failed.";
    }
}

static int FailCycle(int target, int result) {
    char text[512];
    snprintf(text, sizeof(text), "Error entering sleep state S%d...", target + 1);
    LogMessage(text, LOG_ERROR);
    if (theConfig->settings.stopOnError == 1) {
        size_t used = strlen(text);
        snprintf(text + used, sizeof(text) - used, "%s", FailureText(result));
        ShowMessageBox(gRunView.window, text, "Cannot enter sleep state!", MB_ICONWARNING | MB_YESNO, IDNO);
    }
    return result;
}

// A machine that stopped sleeping must not fail all night: the run ends with its line.
static int EndAtFailureLimit() {
    LogFailureLimit();
    return RUN_FAILURE_LIMIT;
}

int RunCycleStates(const uint8_t selectedStates[4], const int32_t durations[4], int intervalSec,
                   bool isLastCycle, int cycleNumber) {
    gCycleStatesEntered = 0;
    int list[4];
    int count = BuildStateList(selectedStates, list);
    int pos = CycleStartPosition(gResumeRun != 0, theResumeRecord.nextStatePos);
    if (pos >= count) return 0;

    const ConfigRecord& settings = theConfig->settings;
    int supported = SupportedStateMask();
    for (; pos < count; pos++) {
        if (gStopRequested) return 0;
        if (gQuitRequested) return RUN_QUIT;
        int requested = list[pos];
        theResumeRecord.nextStatePos = pos + 1;
        theResumeRecord.requestedState = requested;

        StatePlan plan;
        PlanStateAttempt(requested, supported, settings.fallbackMode, durations, &plan);
        for (int i = 0; i < plan.lineCount; i++) LogMessage(plan.lines[i], LOG_INFO);
        bool slept = false;
        if (!plan.skip) {
            // The held record is completed before the sleep anyway; done here, a
            // verdict it changed (ok to device_fault) may end the run before it.
            FlushPendingResult();
            if (FailureLimitReached()) return EndAtFailureLimit();
            gCycleStatesEntered++;
            int requestedSec = durations[plan.target];
            gMarkerTail.enteredState = plan.target;
            gMarkerTail.requestedSec = requestedSec;
            snprintf(gMarkerTail.fallback, sizeof(gMarkerTail.fallback), "%s",
                     FallbackId(PlanFallback(requested, plan.target, plan.force)));
            int result = EnterSleepState(plan.target, requestedSec, plan.force, cycleNumber);
            // The status after the last sleep of a cycle counts that cycle as done.
            if (pos + 1 >= count) gCyclesDone = cycleNumber;
            RecordSleepResult(cycleNumber, requested, plan.target, plan.force, requestedSec);
            // Stop, Exit and the rest queued during the sleep are handled now,
            // even when no countdown follows.
            PumpPendingMessages();
            if (FailureLimitReached()) return EndAtFailureLimit();
            if (CountQuickSleep(result, gLastSleep.measuredSec)) {
                char line[160];
                snprintf(line, sizeof(line),
                         "The last %d sleeps came back at once: this machine does not sleep, and the run ends",
                         QUICK_SLEEP_LIMIT);
                LogMessage(line, LOG_ERROR);
                return ENTER_NOT_SLEPT;
            }
            // A sleep that never happened fails the cycle; it ends the run only
            // when the user asked to stop on errors, so a long run goes on.
            bool goOn = result == ENTER_OK || (result == ENTER_NOT_SLEPT && settings.stopOnError != 1);
            if (!goOn) return FailCycle(plan.target, result);
            slept = result == ENTER_OK;
        }

        if (gRunView.Refresh) gRunView.Refresh(gRunView.context);
        if (slept) LogFormatted(LOG_STATUS, "Successfully left sleep state S%d...", plan.target + 1);
        if (pos + 1 < count) {
            LogFormatted(LOG_INFO, "About to enter sleep state S%d...", list[pos + 1] + 1);
        } else if (isLastCycle) {
            LogMessage("Last cycle completed", LOG_INFO);
            return 0;
        } else {
            LogMessage(ASTERISK_RULE, LOG_INFO);
            LogMessage("About to start next cycle", LOG_INFO);
        }

        if (settings.runAppBetweenSleeps == 1) LaunchExternalApp(settings.appBetweenSleepsPath);
        if (RunCountdown(intervalSec, COUNTDOWN_TICK_MS, theResumeRecord.cycleIndex + 2) == RUN_QUIT)
            return RUN_QUIT;
    }
    return 0;
}
