// The two runs that start-up may begin by itself: the run a power cycle
// interrupted (found through the marker file) and the run the command line asks for.
#include <stdio.h>
#include <string.h>
#include <time.h>
#include "app/app.h"
#include "log/log.h"
#include "power/power.h"
#include "res/resource.h"
#include "settings/settings.h"

static const int STATE_BOXES[4] = {IDC_STATE_S1, IDC_STATE_S2, IDC_STATE_S3, IDC_STATE_S4};

int ResumeInterruptedRun() {
    FILE* marker = gMarkerFilePath[0] ? fopen(gMarkerFilePath, "rb") : nullptr;
    if (!marker) return -1;
    long long now = (long long)_time64(nullptr);
    // A short file leaves the rest of the record as it was.
    size_t got = fread(&theResumeRecord, 1, sizeof(theResumeRecord), marker);
    unsigned char tailBytes[sizeof(MarkerTail) + 1];
    size_t tailLength = got == sizeof(theResumeRecord) ? fread(tailBytes, 1, sizeof(tailBytes), marker) : 0;
    fclose(marker);
    MarkerTail tail;
    bool haveTail = ParseMarkerTail(tailBytes, tailLength, &tail);
    // The interrupted run's results file takes the rest of that run's records.
    if (haveTail && !gResultsPath[0]) snprintf(gResultsPath, sizeof(gResultsPath), "%s", tail.resultsPath);

    char line[256];
    snprintf(line, sizeof(line), "WAKE UP FROM S%d, CYCLE %d, Vesplin restart, possible power cycle",
             theResumeRecord.requestedState + 1, theResumeRecord.cycleIndex + 1);
    LogMessage(line, LOG_INFO);
    snprintf(line, sizeof(line), "SLEEP TIME TOO LONG WARNING, Sleep time %dsec",
             (int)(now - theResumeRecord.sleepStartTime));
    LogMessage(line, LOG_WARNING);
    RecordLostSleep(&theResumeRecord, haveTail ? &tail : nullptr, now);

    INT_PTR answer = 0;
    if (theConfig->settings.stopOnError == 1) {
        answer = DialogBoxParamA(gAppInstance, MAKEINTRESOURCEA(IDD_ERROR_DETECTED), gMainWindow,
                                 ErrorDetectedDialogProc, 0);
    }
    if (answer == 0) {
        gResumeRun = 1;
        StartCycleRunFromWindow(gMainWindow);
        gResumeRun = 0;
        gStopRequested = 0;
        SetMainWindowIdle(gMainWindow);
    }
    DeleteFileA(gMarkerFilePath);
    return answer == 0 ? 0 : 1;
}

void StartCommandLineRun() {
    HWND window = gMainWindow;
    ConfigRecord& settings = theConfig->settings;
    if (gStartMinimized) ShowWindow(window, SW_MINIMIZE);
    gGrowDurations = 1;

    for (int state = 0; state < 4; state++) CheckDlgButton(window, STATE_BOXES[state], BST_UNCHECKED);
    CheckDlgButton(window, IDC_ALL_SUPPORTED, BST_UNCHECKED);
    for (int state = 0; state < 4; state++) {
        if (settings.useState[state]) CheckDlgButton(window, STATE_BOXES[state], BST_CHECKED);
    }
    bool allSupported = settings.allSupportedStates == 1;
    if (allSupported) CheckDlgButton(window, IDC_ALL_SUPPORTED, BST_CHECKED);
    settings.cycleForever = settings.cycleCount == 0 ? 1 : 0;

    for (int state = 0; state < 4; state++) EnableWindow(GetDlgItem(window, STATE_BOXES[state]), FALSE);
    EnableWindow(GetDlgItem(window, IDC_ALL_SUPPORTED), FALSE);
    EnableWindow(GetDlgItem(window, IDC_STOP_CYCLE), TRUE);

    StartCycleRunFromCommandLine(window);
    gStopRequested = 0;
    if (gAutoExit) {
        // Automation reads the outcome from the exit code.
        SetExitCode(RunExitCode(&gRunTally));
        // The default configuration file then holds the settings of this run.
        theConfig->Save(theConfig->configFilePath, &settings);
        StopMonitoringAndCloseLog();
        PostQuitMessage(0);
    }
    SetMainWindowIdle(window);
}
