// A run of cycles: the checks, the automatic restart after a power cycle, the
// cycle loop and the external programs.
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include "core/core.h"
#include "log/log.h"
#include "power/power.h"
#include "res/resource.h"
#include "settings/settings.h"

static const int STATE_BOXES[4] = {IDC_STATE_S1, IDC_STATE_S2, IDC_STATE_S3, IDC_STATE_S4};

int CheckRunSettings(const uint8_t selection[4], const int32_t durations[4], bool sleepForever) {
    if (!selection[0] && !selection[1] && !selection[2] && !selection[3]) return RUN_REFUSED_NO_STATE;
    if (sleepForever) return RUN_ALLOWED;
    // All three light-sleep durations count, selected or not.
    if ((selection[0] || selection[1] || selection[2]) &&
        (durations[0] < SAFE_SLEEP_MIN_SEC || durations[1] < SAFE_SLEEP_MIN_SEC || durations[2] < SAFE_SLEEP_MIN_SEC))
        return RUN_REFUSED_SHORT_SLEEP;
    if (selection[3] && durations[3] < SAFE_HIBERNATE_MIN_SEC) return RUN_REFUSED_SHORT_HIBERNATE;
    return RUN_ALLOWED;
}

int PreCycleCountdownSeconds(int cycleIndex, int firstSleepDelaySec, bool resumeFirst, int nextStatePos,
                             int cycleCount, int intervalSec) {
    if (cycleIndex == 0 && firstSleepDelaySec > 0 && !resumeFirst) return firstSleepDelaySec;
    if (resumeFirst && nextStatePos < cycleCount) return intervalSec;
    return 0;
}

int32_t GrowDuration(int32_t duration, int growSeconds, int state) {
    long long grown = (long long)duration + growSeconds;
    if (grown > INT32_MAX) grown = INT32_MAX;
    if (growSeconds < 0) {
        // A negative grow time must not lead the run below the minimum that
        // keeps a sleep safe, nor to a wake time in the past.
        long long minimum = state == SLEEP_S4 ? SAFE_HIBERNATE_MIN_SEC : SAFE_SLEEP_MIN_SEC;
        if (minimum > duration) minimum = duration;
        if (grown < minimum) grown = minimum;
    }
    return (int32_t)grown;
}

bool FormatRunOnceData(char* out, size_t outSize, const char* exePath, DWORD length, DWORD capacity) {
    if (outSize == 0) return false;
    out[0] = '\0';
    // A length that fills the buffer means the path was cut short; registering
    // it would start some other file.
    if (length == 0 || length >= capacity) return false;
    int written = snprintf(out, outSize, "\"%.*s\"", (int)length, exePath);
    if (written < 0 || (size_t)written >= outSize) {
        out[0] = '\0';
        return false;
    }
    return true;
}

static void ShowRegistryError(HWND owner, DWORD error) {
    char systemText[256] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, systemText,
                   sizeof(systemText), nullptr);
    systemText[sizeof(systemText) - 1] = '\0';
    char message[512];
    snprintf(message, sizeof(message),
             "Unable to edit registry to add auto start for Vesplin.See the configuration settings for this option.\n%s",
             systemText);
    ShowMessageBox(owner, message, "Could not edit registry", MB_ICONWARNING | MB_OK, IDOK);
}

bool RegisterRunOnce(HWND owner) {
    HKEY key;
    // A profile that never had a RunOnce key gets one, rather than no restart.
    LONG error = RegCreateKeyExA(HKEY_CURRENT_USER, RUN_ONCE_KEY, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                                 nullptr, &key, nullptr);
    if (error != ERROR_SUCCESS) {
        ShowRegistryError(owner, (DWORD)error);
        return false;
    }
    char exePath[513];
    DWORD length = GetModuleFileNameA(nullptr, exePath, sizeof(exePath));
    char data[520];
    if (!FormatRunOnceData(data, sizeof(data), exePath, length, sizeof(exePath))) {
        RegCloseKey(key);
        ShowRegistryError(owner, length == 0 ? GetLastError() : ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    // The stored length includes the terminating zero, as a string value must.
    error = RegSetValueExA(key, RUN_ONCE_VALUE, 0, REG_SZ, reinterpret_cast<const BYTE*>(data),
                           (DWORD)strlen(data) + 1);
    RegCloseKey(key);
    if (error != ERROR_SUCCESS) {
        ShowRegistryError(owner, (DWORD)error);
        return false;
    }
    return true;
}

void LaunchExternalApp(const char* path) {
    char application[256];
    GetConfigText(path ? path : "", application);
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof(startup));
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process;
    memset(&process, 0, sizeof(process));
    if (CreateProcessA(application, nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
        return;
    }
    ShowMessageBox(gMainWindow,
                "There was an error\nwhile launching the external file.\nCheck the path and file name entered\n"
                "in the perferences window are correct\n",
                "Error running external file", MB_ICONERROR | MB_OK, IDOK);
}

static void EnableControl(HWND window, int id, BOOL enable) {
    HWND control = GetDlgItem(window, id);
    if (control) EnableWindow(control, enable);
}

// How a run that returned early ended: closing the program or Stop is a
// person's doing; anything else is a failure.
static int EarlyEnd(int result) { return result == RUN_QUIT ? RUN_END_STOPPED : RUN_END_FAILED; }

// The cycles from cycle i on, and the program after the last one; RUN_END_*.
static int RunCycles(HWND window, const uint8_t selection[4], int32_t durations[4], int i, int tickMs) {
    const ConfigRecord& settings = theConfig->settings;
    int cycleCount = settings.cycleCount;
    int intervalSec = settings.cycleIntervalSec;
    bool resumeFirst = gResumeRun != 0;
    for (;;) {
        if (i >= cycleCount && (settings.cycleForever != 1 || gStopRequested)) break;
        if (gQuitRequested || gStopRequested) return RUN_END_STOPPED;
        theResumeRecord.cycleIndex = i;
        // A power loss from here on resumes with the durations this cycle uses.
        memcpy(gMarkerRun.durations, durations, sizeof(gMarkerRun.durations));

        int countdown = PreCycleCountdownSeconds(i, settings.firstSleepDelaySec, resumeFirst,
                                                 theResumeRecord.nextStatePos, cycleCount, intervalSec);
        if (countdown > 0 && RunCountdown(window, countdown, tickMs, i + 1) == RUN_QUIT) return RUN_END_STOPPED;
        if (gStopRequested) return RUN_END_STOPPED;

        bool isLastCycle = i == cycleCount - 1 && settings.cycleForever != 1;
        int result = RunCycleStates(window, selection, durations, intervalSec, isLastCycle, i + 1);
        if (result != 0) return EarlyEnd(result);
        // Stop pressed during a cycle ends the run before the next one.
        if (gStopRequested && !isLastCycle) return RUN_END_STOPPED;

        if (!resumeFirst && gCycleStatesEntered == 0 && intervalSec <= 0) {
            // Nothing was entered and nothing counted down: without this the
            // window would get no message, and a cycle-forever run would spin
            // for ever with no way to stop it.
            PumpPendingMessages();
            if (settings.cycleForever == 1) {
                LogMessage("None of the selected sleep states can be entered on this machine; the run ends",
                           LOG_ERROR);
                return RUN_END_FAILED;
            }
        }
        gResumeRun = 0;
        resumeFirst = false;
        if (gGrowDurations == 1) {
            for (int state = SLEEP_S1; state <= SLEEP_S4; state++)
                durations[state] = GrowDuration(durations[state], gGrowSeconds, state);
        }
        if (i == INT_MAX) break;
        i++;
    }
    if (settings.runAppAfterLastCycle == 1) LaunchExternalApp(settings.appAfterLastCyclePath);
    return RUN_END_COMPLETED;
}

// The run block of the marker: what the start after a power cycle needs to go
// on with this command-line run.
static void FillMarkerRun(const ConfigRecord& settings) {
    memset(&gMarkerRun, 0, sizeof(gMarkerRun));
    memcpy(gMarkerRun.magic, MARKER_RUN_MAGIC, sizeof(gMarkerRun.magic));
    gMarkerRun.autoExit = IsUnattended() ? 1 : 0;
    gMarkerRun.growSeconds = gGrowSeconds;
    memcpy(gMarkerRun.durations, settings.sleepDurationSec, sizeof(gMarkerRun.durations));
    gMarkerRun.settings = settings;
    snprintf(gMarkerRun.reportPath, sizeof(gMarkerRun.reportPath), "%s", gReportPath);
    const char* commandLine = GetCommandLineA();
    snprintf(gMarkerRun.commandLine, sizeof(gMarkerRun.commandLine), "%s", commandLine ? commandLine : "");
    snprintf(gRunCommandLine, sizeof(gRunCommandLine), "%s", gMarkerRun.commandLine);
    char logPath[256];
    GetConfigText(settings.logFilePath, logPath);
    DWORD length = logPath[0] ? GetFullPathNameA(logPath, sizeof(gMarkerRun.logFilePath), gMarkerRun.logFilePath,
                                                 nullptr)
                              : 0;
    // A path that does not fit is kept as given rather than cut into another one.
    if (length == 0 || length >= sizeof(gMarkerRun.logFilePath))
        snprintf(gMarkerRun.logFilePath, sizeof(gMarkerRun.logFilePath), "%s", logPath);
}

static bool HaveMarkerRun() { return memcmp(gMarkerRun.magic, MARKER_RUN_MAGIC, sizeof(gMarkerRun.magic)) == 0; }

static void StartCycleRun(HWND window, bool fromWindow) {
    ConfigRecord& settings = theConfig->settings;
    uint8_t selection[4];
    for (int state = SLEEP_S1; state <= SLEEP_S4; state++) {
        selection[state] = SendDlgItemMessageA(window, STATE_BOXES[state], BM_GETCHECK, 0, 0) == BST_CHECKED;
        settings.useState[state] = selection[state];
    }
    int32_t durations[4];
    memcpy(durations, settings.sleepDurationSec, sizeof(durations));
    gRunEnd = RUN_END_NOT_STARTED;

    switch (CheckRunSettings(selection, durations, settings.sleepForever != 0)) {
    case RUN_REFUSED_NO_STATE:
        ShowMessageBox(window, "Please select at least 1 sleep state to use", "No sleep state selected",
                    MB_ICONWARNING | MB_OK, IDOK);
        return;
    case RUN_REFUSED_SHORT_SLEEP:
        ShowMessageBox(window,
                    "To avoid deadlock, the Sleep Duration cannot be less than 30 seconds in modes S1 - S3.\n"
                    "Please change this in the configuration options",
                    "Warning", MB_ICONINFORMATION | MB_OK, IDOK);
        return;
    case RUN_REFUSED_SHORT_HIBERNATE:
        ShowMessageBox(window,
                    "To avoid deadlock, the Sleep Duration cannot be less than 60 seconds in Hibernate mode or a "
                    "Cycle mode which includes hibernation.\nPlease change this in the configuration options.",
                    "Warning", MB_ICONINFORMATION | MB_OK, IDOK);
        return;
    default: break;
    }

    if (fromWindow) theConfig->Save(theConfig->configFilePath, &settings);
    if (settings.autoRestart == 1 && !RegisterRunOnce(window)) return;

    if (fromWindow) {
        memset(&gMarkerRun, 0, sizeof(gMarkerRun));
    } else if (gResumeRun && HaveMarkerRun()) {
        // Start-up restored the interrupted run from its marker: its grown durations go on.
        memcpy(durations, gMarkerRun.durations, sizeof(durations));
    } else {
        FillMarkerRun(settings);
    }

    int i = 0;
    if (gResumeRun) {
        // The record comes from a file left behind by an earlier instance.
        i = theResumeRecord.cycleIndex < 0 ? 0 : theResumeRecord.cycleIndex;
        const uint8_t* stored = theResumeRecord.selectedStates;
        if (stored[0] || stored[1] || stored[2] || stored[3]) {
            for (int state = SLEEP_S1; state <= SLEEP_S4; state++) selection[state] = stored[state] != 0;
        }
    }
    memcpy(theResumeRecord.selectedStates, selection, sizeof(selection));

    EnableControl(window, IDC_SLEEP_NOW, FALSE);
    EnableControl(window, IDC_CONFIGURATION, FALSE);
    EnableControl(window, IDC_PAUSE, TRUE);

    LogMachineChecks(selection);
    KeepMachineAwake(true);
    SetRunActive(true);
    ResetQuickSleepCount();
    gRunEnd = RunCycles(window, selection, durations, i, fromWindow ? WINDOW_RUN_TICK_MS : COUNTDOWN_TICK_MS);
    memset(&gMarkerRun, 0, sizeof(gMarkerRun));
    // The last record is on the device before the run reports its end, with
    // its wake record when the system writes one in time; then an idle machine
    // may sleep normally again.
    WaitForPendingResult(LAST_WAKE_RECORD_WAIT_SEC);
    SetRunActive(false);
    KeepMachineAwake(false);
}

void StartCycleRunFromWindow(HWND window) { StartCycleRun(window, true); }

void StartCycleRunFromCommandLine(HWND window) { StartCycleRun(window, false); }
