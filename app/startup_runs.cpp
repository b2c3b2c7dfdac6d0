// The two runs that start-up may begin by itself: the run a power cycle
// interrupted (found through the marker file) and the run the command line asks for.
#include <stdio.h>
#include <string.h>
#include <time.h>
#include "app/app.h"
#include "events/events.h"
#include "log/log.h"
#include "power/power.h"
#include "settings/settings.h"
#include "results/results.h"
#include "ui/ui.h"

// The end of an automatic-exit run: the exit code from its sleeps and how it
// ended, the settings saved as the default file, and the program ends.
static void EndAutomaticRun() {
    int code = RunExitCode(&gRunTally, gRunEnd);
    SetExitCode(code);
    FinishRunReport(code);
    theConfig->Save(theConfig->configFilePath, &theConfig->settings);
    StopMonitoringAndCloseLog();
    PostQuitMessage(0);
}

int ResumeInterruptedRun(const MarkerContents* marker, bool asCommandLineRun) {
    long long now = (long long)_time64(nullptr);
    // A short file leaves the rest of the record as it was.
    memcpy(&theResumeRecord, &marker->position, marker->positionBytes);
    char line[512];
    snprintf(line, sizeof(line), "WAKE UP FROM S%d, CYCLE %d, Vesplin restart, possible power cycle",
             theResumeRecord.requestedState + 1, theResumeRecord.cycleIndex + 1);
    LogMessage(line, LOG_INFO);
    snprintf(line, sizeof(line), "SLEEP TIME TOO LONG WARNING, Sleep time %dsec",
             (int)(now - theResumeRecord.sleepStartTime));
    LogMessage(line, LOG_WARNING);
    // Why it never came back, from the system's own records since the sleep began.
    LostDiagnosis why;
    QueryLostDiagnosis(FileTimeFromUnixSeconds(theResumeRecord.sleepStartTime), &why);
    FormatLostReasonLine(&why, line, sizeof(line));
    LogMessage(line, LOG_WARNING);
    RecordLostSleep(&theResumeRecord, marker->haveTail ? &marker->tail : nullptr, now, &why);

    // The marker goes before the run goes on: one that stayed would bring the
    // same power cycle back at every start, and resume the same sleep again.
    DWORD deleteError = DeleteMarkerFile(gMarkerFilePath);
    if (deleteError != 0) {
        snprintf(line, sizeof(line),
                 "The marker file %s could not be deleted, Error code %lu: the interrupted run is not resumed, so "
                 "that the same sleep is not resumed twice",
                 gMarkerFilePath, (unsigned long)deleteError);
        LogMessage(line, LOG_ERROR);
        gRunEnd = RUN_END_NOT_STARTED;
        // Nor does a command line's new run start: an automatic-exit run ends
        // here, its lost record written, rather than wait for nobody.
        if (gAutoExit) EndAutomaticRun();
        return 1;
    }

    INT_PTR answer = 0;
    if (theConfig->settings.stopOnError == 1) {
        if (IsUnattended()) {
            // Nobody can answer: stop on error was asked for, so the run stops
            // here, its records kept and the lost sleep counted.
            LogMessage("Error Detected: the run was interrupted by a power cycle and stop on error is set: Stop",
                       LOG_ERROR);
            answer = 1;
        } else {
            answer = AskErrorDetected(gMainWindow);
        }
    }
    if (answer == 0) {
        gResumeRun = 1;
        if (asCommandLineRun) {
            StartCommandLineRun();
        } else {
            StartRunFromMainWindow(gMainWindow);
            gResumeRun = 0;
            gStopRequested = 0;
            SetMainWindowIdle(gMainWindow);
        }
        gResumeRun = 0;
    } else if (gAutoExit) {
        gRunEnd = RUN_END_STOPPED;
        EndAutomaticRun();
    }
    return answer == 0 ? 0 : 1;
}

void StartCommandLineRun() {
    HWND window = gMainWindow;
    ConfigRecord& settings = theConfig->settings;
    if (gStartMinimized) ShowWindow(window, SW_MINIMIZE);
    gGrowDurations = 1;

    settings.cycleForever = settings.cycleCount == 0 ? 1 : 0;
    ShowCommandLineRun(window, &settings);

    StartCycleRunFromCommandLine();
    gStopRequested = 0;
    // Automation reads the outcome from the exit code; the default
    // configuration file then holds the settings of this run.
    if (gAutoExit) EndAutomaticRun();
    SetMainWindowIdle(window);
}
