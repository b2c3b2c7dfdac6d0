// A run of cycles: the checks, the automatic restart after a power cycle, the
// cycle loop and the external programs.
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include "core/core.h"
#include "log/log.h"
#include "power/power.h"
#include "settings/settings.h"

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
    ShowMessageBox(gRunView.window,
                "There was an error\nwhile launching the external file.\nCheck the path and file name entered\n"
                "in the perferences window are correct\n",
                "Error running external file", MB_ICONERROR | MB_OK, IDOK);
}

// How a run that returned early ended: closing the program or Stop is a
// person's doing; anything else is a failure.
static int EarlyEnd(int result) { return result == RUN_QUIT ? RUN_END_STOPPED : RUN_END_FAILED; }

static void LaunchAfterLastCycle(const ConfigRecord& settings) {
    if (settings.runAppAfterLastCycle == 1) LaunchExternalApp(settings.appAfterLastCyclePath);
}

// Stop ends a run that cycles for ever as its last cycle ends a fixed run: the
// program after the last cycle still starts. A fixed run stopped early skips it.
static int Stopped(const ConfigRecord& settings) {
    if (settings.cycleForever == 1 && !gQuitRequested) LaunchAfterLastCycle(settings);
    return RUN_END_STOPPED;
}

// The cycles from cycle i on, and the program after the last one; RUN_END_*.
static int RunCycles(const uint8_t selection[4], int32_t durations[4], int i, int tickMs) {
    const ConfigRecord& settings = theConfig->settings;
    int cycleCount = settings.cycleCount;
    int intervalSec = settings.cycleIntervalSec;
    bool resumeFirst = gResumeRun != 0;
    for (;;) {
        if (i >= cycleCount && settings.cycleForever != 1) break;
        if (gQuitRequested) return RUN_END_STOPPED;
        if (gStopRequested) return Stopped(settings);
        theResumeRecord.cycleIndex = i;
        // A power loss from here on resumes with the durations this cycle uses.
        memcpy(gMarkerRun.durations, durations, sizeof(gMarkerRun.durations));

        int countdown = PreCycleCountdownSeconds(i, settings.firstSleepDelaySec, resumeFirst,
                                                 theResumeRecord.nextStatePos, cycleCount, intervalSec);
        if (countdown > 0 && RunCountdown(countdown, tickMs, i + 1) == RUN_QUIT) return RUN_END_STOPPED;
        if (gStopRequested) return Stopped(settings);

        bool isLastCycle = i == cycleCount - 1 && settings.cycleForever != 1;
        int result = RunCycleStates(selection, durations, intervalSec, isLastCycle, i + 1);
        if (result != 0) return EarlyEnd(result);
        // Stop pressed during a cycle ends the run before the next one.
        if (gStopRequested && !isLastCycle) return Stopped(settings);
        gCyclesDone = i + 1;

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
    LaunchAfterLastCycle(settings);
    return RUN_END_COMPLETED;
}

// Whoever ended it (Stop, or closing the program), the log says where the run stopped.
static void LogStoppedRun(const ConfigRecord& settings) {
    int cycle = theResumeRecord.cycleIndex < 0 ? 1 : theResumeRecord.cycleIndex + 1;
    char line[160];
    if (settings.cycleForever == 1) {
        snprintf(line, sizeof(line), "The run was stopped in cycle %d of a run that cycles for ever", cycle);
    } else {
        snprintf(line, sizeof(line), "The run was stopped in cycle %d of %d", cycle, settings.cycleCount);
    }
    LogMessage(line, LOG_INFO);
}

// The run block of the marker: what the start after a power cycle needs to go
// on with this command-line run.
static void FillMarkerRun(const ConfigRecord& settings) {
    memset(&gMarkerRun, 0, sizeof(gMarkerRun));
    memcpy(gMarkerRun.magic, MARKER_RUN_MAGIC, sizeof(gMarkerRun.magic));
    gMarkerRun.autoExit = IsUnattended() ? 1 : 0;
    gMarkerRun.growSeconds = gGrowSeconds;
    gMarkerRun.devices = gDeviceCheck;
    gMarkerRun.maxFailures = gMaxFailures;
    memcpy(gMarkerRun.durations, settings.sleepDurationSec, sizeof(gMarkerRun.durations));
    gMarkerRun.settings = settings;
    snprintf(gMarkerRun.reportPath, sizeof(gMarkerRun.reportPath), "%s", gReportPath);
    snprintf(gMarkerRun.junitPath, sizeof(gMarkerRun.junitPath), "%s", gJUnitPath);
    gMarkerRun.startUtc = gRunStartUtc;
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

static void StartCycleRun(const uint8_t selected[4], bool fromWindow) {
    ConfigRecord& settings = theConfig->settings;
    HWND window = gRunView.window;
    uint8_t selection[4];
    for (int state = SLEEP_S1; state <= SLEEP_S4; state++) {
        selection[state] = selected[state] != 0;
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
        ShowMessageBox(window, SHORT_SLEEP_TEXT, SHORT_DURATION_CAPTION, MB_ICONINFORMATION | MB_OK, IDOK);
        return;
    case RUN_REFUSED_SHORT_HIBERNATE:
        ShowMessageBox(window, SHORT_HIBERNATE_TEXT, SHORT_DURATION_CAPTION, MB_ICONINFORMATION | MB_OK, IDOK);
        return;
    default: break;
    }

    if (fromWindow) theConfig->Save(theConfig->configFilePath, &settings);
    if (settings.autoRestart == 1 && !RegisterRunOnce(window)) return;

    // A new run gets its own identity; one taken back after a power cycle keeps its own.
    BeginRunIdentity(!gResumeRun);
    // A run taken back keeps its streak, restored from the marker with its lost sleep counted.
    if (!gResumeRun) gFailureStreak = 0;
    if (fromWindow) {
        memset(&gMarkerRun, 0, sizeof(gMarkerRun));
        // A window run checks the devices as the defaults say, and has no failure limit.
        if (!gResumeRun) {
            ResetDeviceCheckSettings(&gDeviceCheck);
            gMaxFailures = 0;
        }
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
    theResumeRecord.cycleIndex = i;
    gCyclesDone = i;

    if (gRunView.ShowRunning) gRunView.ShowRunning(gRunView.context);

    LogMachineChecks(selection);
    BeginDeviceCheck(gResumeRun != 0);
    KeepMachineAwake(true);
    OpenStopSignals();
    SetRunActive(true);
    WriteRunStatus(RUN_STATUS_RUNNING);
    ResetQuickSleepCount();
    gRunEnd = RunCycles(selection, durations, i, fromWindow ? WINDOW_RUN_TICK_MS : COUNTDOWN_TICK_MS);
    if (gRunEnd == RUN_END_STOPPED) LogStoppedRun(settings);
    memset(&gMarkerRun, 0, sizeof(gMarkerRun));
    // The last record is on the device before the run reports its end, with
    // its wake record when the system writes one in time; then an idle machine
    // may sleep normally again.
    WaitForPendingResult(LAST_WAKE_RECORD_WAIT_SEC);
    LogRunEnd(gRunEnd);
    EndDeviceCheck();
    WriteRunStatus(RunStatusOfEnd(gRunEnd));
    CloseStopSignals();
    SetRunActive(false);
    KeepMachineAwake(false);
}

void StartCycleRunFromWindow(const uint8_t selection[4]) { StartCycleRun(selection, true); }

void StartCycleRunFromCommandLine() { StartCycleRun(theConfig->settings.useState, false); }
