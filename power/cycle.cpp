// The cycle driver: fallback rule, the states of one cycle, countdowns and the
// nested message loop that keeps the window alive during a run.
#include <stdio.h>
#include <string.h>
#include "core/core.h"
#include "log/log.h"
#include "power/power.h"
#include "res/resource.h"
#include "settings/settings.h"

int gCycleStatesEntered = 0;
// Sleeps in a row that came back with no time gone: a machine whose suspend
// call returns at once would otherwise make a run spin.
static int gQuickSleeps = 0;

void ResetQuickSleepCount() { gQuickSleeps = 0; }

bool CountQuickSleep(int result, int measuredSec) {
    gQuickSleeps = result == ENTER_NOT_SLEPT && measuredSec < 1 ? gQuickSleeps + 1 : 0;
    return gQuickSleeps >= QUICK_SLEEP_LIMIT;
}

static const char ASTERISK_RULE[] = "**********************************************************************";

static void AddPlanLine(StatePlan* plan, const char* format, int a, int b = 0) {
    if (plan->lineCount >= FALLBACK_MAX_LINES) return;
    snprintf(plan->lines[plan->lineCount], FALLBACK_LINE_SIZE, format, a, b);
    plan->lineCount++;
}

static bool InMask(int mask, int state) { return (mask >> state) & 1; }

void PlanStateAttempt(int requested, int supportedMask, int fallbackMode, const int32_t durations[4],
                      StatePlan* plan) {
    memset(plan, 0, sizeof(*plan));
    plan->target = requested;
    if (requested < SLEEP_S1 || requested > SLEEP_S4) {
        plan->skip = 1;  // no such state: nothing to try
        return;
    }
    if (InMask(supportedMask, requested)) return;

    AddPlanLine(plan, "Requested sleep state S%d is not supported on this machine", requested + 1);
    int number = requested + 1;
    switch (fallbackMode) {
    case FALLBACK_SKIP:
        AddPlanLine(plan, "Skipping sleep state attempt S%d", number);
        plan->skip = 1;
        return;
    case FALLBACK_FORCE:
        AddPlanLine(plan, "Forcing attempt S%d", number);
        plan->force = 1;
        return;
    case FALLBACK_DEEPER:
        if (requested == SLEEP_S4) {
            AddPlanLine(plan, "Skipping sleep state attempt S%d as we cannot go deeper", SLEEP_S4 + 1);
            plan->skip = 1;
            return;
        }
        for (int candidate = requested + 1; candidate <= SLEEP_S4; candidate++) {
            if (InMask(supportedMask, candidate)) {
                AddPlanLine(plan, "Attempting deeper Sleep S%d, Duration %d secs", candidate + 1, durations[candidate]);
                plan->target = candidate;
                return;
            }
            if (candidate < SLEEP_S4) {
                AddPlanLine(plan, "Attempting deeper Sleep S%d not supported", candidate + 1);
            } else {
                AddPlanLine(plan, "Attempting deeper Sleep S%d not supported, skipping", candidate + 1);
            }
        }
        plan->skip = 1;
        return;
    default:  // FALLBACK_LIGHTER and every unknown value
        if (requested == SLEEP_S1) {
            AddPlanLine(plan, "Skipping sleep state attempt S%d as we cannot go lighter", SLEEP_S1 + 1);
            plan->skip = 1;
            return;
        }
        for (int candidate = requested - 1; candidate >= SLEEP_S1; candidate--) {
            if (InMask(supportedMask, candidate)) {
                AddPlanLine(plan, "Attempting lighter Sleep S%d, Duration %d secs", candidate + 1,
                            durations[candidate]);
                plan->target = candidate;
                return;
            }
            if (candidate > SLEEP_S1) {
                AddPlanLine(plan, "Attempting lighter Sleep S%d not supported", candidate + 1);
            } else {
                AddPlanLine(plan, "Attempting lighter Sleep S%d not supported, skipping", candidate + 1);
            }
        }
        plan->skip = 1;
        return;
    }
}

int BuildStateList(const uint8_t selectedStates[4], int list[4]) {
    int count = 0;
    for (int state = SLEEP_S1; state <= SLEEP_S4; state++) {
        if (selectedStates[state]) list[count++] = state;
    }
    return count;
}

int CycleStartPosition(bool resume, int nextStatePos) {
    if (!resume) return 0;
    // The position comes from a file left by an earlier instance: never trust it below 0.
    return nextStatePos < 0 ? 0 : nextStatePos;
}

int CountdownSecondsLeft(int seconds, long long counter, int ticksPerSecond) {
    if (ticksPerSecond <= 0) ticksPerSecond = 1;
    return (int)(seconds - counter / ticksPerSecond);
}

int CountdownFontHeight(int secondsLeft, int logPixelsY) {
    int factor = secondsLeft >= 1000 ? 24 : secondsLeft >= 100 ? 30 : 55;
    double scale = logPixelsY / 96.0;
    return (int)(scale * factor);
}

static void DrawNumberBox(HWND box, HFONT font, COLORREF fill, int value) {
    if (!box) return;  // a window without the box (or one being destroyed) gets nothing
    HDC dc = GetDC(box);
    if (!dc) return;
    RECT client;
    GetClientRect(box, &client);
    HBRUSH brush = CreateSolidBrush(fill);
    HGDIOBJ oldBrush = SelectObject(dc, brush);
    HGDIOBJ oldFont = SelectObject(dc, font);
    Rectangle(dc, client.left, client.top, client.right, client.bottom);
    int oldMode = SetBkMode(dc, TRANSPARENT);
    COLORREF oldColour = SetTextColor(dc, RGB(0, 0, 0));
    char text[16];
    int length = snprintf(text, sizeof(text), "%d", value);
    SIZE extent = {0, 0};
    GetTextExtentPointA(dc, text, length, &extent);
    TextOutA(dc, (client.right - extent.cx - client.left) / 2, (client.bottom - extent.cy - client.top) / 2, text,
             length);
    SetTextColor(dc, oldColour);
    SetBkMode(dc, oldMode);
    SelectObject(dc, oldFont);
    SelectObject(dc, oldBrush);
    DeleteObject(brush);
    ReleaseDC(box, dc);
}

void DrawCountdownFrame(HWND window, int secondsLeft, int cycleShown) {
    if (!window || !IsWindow(window)) return;
    HWND countdownBox = GetDlgItem(window, IDC_COUNTDOWN);
    HWND cycleBox = GetDlgItem(window, IDC_CYCLE_NUMBER);
    HDC screen = GetDC(nullptr);
    int pixelsPerInch = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 96;
    if (screen) ReleaseDC(nullptr, screen);

    LOGFONTA face;
    memset(&face, 0, sizeof(face));
    face.lfHeight = CountdownFontHeight(secondsLeft, pixelsPerInch);
    face.lfWeight = FW_BOLD;
    snprintf(face.lfFaceName, sizeof(face.lfFaceName), "%s", "Arial");
    HFONT font = CreateFontIndirectA(&face);
    DrawNumberBox(countdownBox, font, RGB(220, 80, 80), secondsLeft);
    DrawNumberBox(cycleBox, font, RGB(255, 255, 255), cycleShown);
    if (font) DeleteObject(font);
}

void PumpPendingMessages() {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            // The quit belongs to the outer message loop: put it back for that
            // loop and let the run see that the program is closing.
            gQuitRequested = 1;
            PostQuitMessage((int)message.wParam);
            return;
        }
        if (!gMainWindow || !IsDialogMessageA(gMainWindow, &message)) {
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

int RunCountdown(HWND window, int seconds, int tickMs, int cycleShown) {
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
        DrawCountdownFrame(window, CountdownSecondsLeft(seconds, counter, ticksPerSecond), cycleShown);
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

static int FailCycle(HWND window, int target, int result) {
    char text[512];
    snprintf(text, sizeof(text), "Error entering sleep state S%d...", target + 1);
    LogMessage(text, LOG_ERROR);
    if (theConfig->settings.stopOnError == 1) {
        size_t used = strlen(text);
        snprintf(text + used, sizeof(text) - used, "%s", FailureText(result));
        ShowMessageBox(window, text, "Cannot enter sleep state!", MB_ICONWARNING | MB_YESNO, IDNO);
    }
    return result;
}

int RunCycleStates(HWND window, const uint8_t selectedStates[4], const int32_t durations[4], int intervalSec,
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
            gCycleStatesEntered++;
            int requestedSec = durations[plan.target];
            gMarkerTail.enteredState = plan.target;
            gMarkerTail.requestedSec = requestedSec;
            snprintf(gMarkerTail.fallback, sizeof(gMarkerTail.fallback), "%s",
                     FallbackId(requested, plan.target, plan.force));
            int result = EnterSleepState(plan.target, requestedSec, plan.force, cycleNumber);
            RecordSleepResult(cycleNumber, requested, plan.target, plan.force, requestedSec);
            // Stop, Exit and the rest queued during the sleep are handled now,
            // even when no countdown follows.
            PumpPendingMessages();
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
            if (!goOn) return FailCycle(window, plan.target, result);
            slept = result == ENTER_OK;
        }

        if (window) InvalidateRect(window, nullptr, TRUE);
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
        if (RunCountdown(window, intervalSec, COUNTDOWN_TICK_MS, theResumeRecord.cycleIndex + 2) == RUN_QUIT)
            return RUN_QUIT;
    }
    return 0;
}
