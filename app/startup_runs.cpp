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

bool gRunFromMarker = false;

// The settings of the run become the default file's; a run taken back from a
// marker keeps the file's own paths, never ones a damaged marker could name.
static void SaveRunSettings() {
    ConfigRecord* saved = new ConfigRecord(theConfig->settings);
    if (gRunFromMarker) {
        ConfigRecord* file = new ConfigRecord;
        theConfig->SetDefaults(gAppInstance, file);
        theConfig->Load(theConfig->configFilePath, file);
        memcpy(saved->logFilePath, file->logFilePath, sizeof(saved->logFilePath));
        memcpy(saved->appBetweenSleepsPath, file->appBetweenSleepsPath, sizeof(saved->appBetweenSleepsPath));
        memcpy(saved->appAfterLastCyclePath, file->appAfterLastCyclePath, sizeof(saved->appAfterLastCyclePath));
        delete file;
    }
    theConfig->Save(theConfig->configFilePath, saved);
    delete saved;
}

// The end of an automatic-exit run: the exit code from its sleeps and how it
// ended, the settings saved as the default file (when a run was made), and the program ends.
static void EndAutomaticRun(int code, bool saveSettings, int runEnd) {
    SetExitCode(code);
    FinishRunReport(code, runEnd);
    if (saveSettings) SaveRunSettings();
    StopMonitoringAndCloseLog();
    PostQuitMessage(0);
}

static void EndAutomaticRun() { EndAutomaticRun(RunExitCode(&gRunTally, gRunEnd), true, gRunEnd); }

// The restart lines, the reason from the system's records, and the lost
// record, written before anything else can go wrong. A marker that a start
// already recorded is counted, not written again.
static void RecordInterruptedSleep(const MarkerContents* marker) {
    long long now = (long long)_time64(nullptr);
    char line[512];
    snprintf(line, sizeof(line), "WAKE UP FROM S%d, CYCLE %d, Vesplin restart, possible power cycle",
             theResumeRecord.requestedState + 1, theResumeRecord.cycleIndex + 1);
    LogMessage(line, LOG_INFO);
    snprintf(line, sizeof(line), "SLEEP TIME TOO LONG WARNING, Sleep time %dsec",
             (int)(now - theResumeRecord.sleepStartTime));
    LogMessage(line, LOG_WARNING);
    if (marker->haveTail && marker->tail.recorded) {
        CountRecord(VERDICT_LOST);
        LogMessage("The lost sleep was recorded by an earlier start of the program, which ended before the run "
                   "went on",
                   LOG_INFO);
        return;
    }
    // Why it never came back, from the system's own records since the sleep began.
    LostDiagnosis why;
    QueryLostDiagnosis(FileTimeFromUnixSeconds(theResumeRecord.sleepStartTime), &why);
    FormatLostReasonLine(&why, line, sizeof(line));
    LogMessage(line, LOG_WARNING);
    RecordLostSleep(&theResumeRecord, marker->haveTail ? &marker->tail : nullptr, now, &why);
}

// Which run goes on, in the lines after the restart lines.
static void LogContinuedRun(int how) {
    char line[900];
    const ConfigRecord& settings = theConfig->settings;
    char cycles[48];
    if (settings.cycleForever == 1) {
        snprintf(cycles, sizeof(cycles), "of a run that cycles for ever");
    } else {
        snprintf(cycles, sizeof(cycles), "of %d", settings.cycleCount);
    }
    snprintf(line, sizeof(line), "Continuing the interrupted %s run at cycle %d %s%s%s",
             how == RESUME_COMMAND_LINE_RUN ? "command-line" : "window", theResumeRecord.cycleIndex + 1, cycles,
             gResultsPath[0] ? ", results file " : "", gResultsPath);
    LogMessage(line, LOG_INFO);
    if (how == RESUME_COMMAND_LINE_RUN && gRunCommandLine[0]) {
        snprintf(line, sizeof(line), "Its command line: %s", gRunCommandLine);
        LogMessage(line, LOG_INFO);
    }
}

int ResumeInterruptedRun(const MarkerContents* marker, int how) {
    // A short file leaves the rest of the record as it was.
    memcpy(&theResumeRecord, &marker->position, marker->positionBytes);
    RecordInterruptedSleep(marker);
    char line[512];

    // The marker stays, marked as recorded, until the run's next sleep replaces
    // it: a command-line run lives only there, and a start killed while it
    // rebuilds the page must not record the same sleep twice. One that cannot
    // be marked goes; one that can be neither marked nor deleted would bring the
    // same power cycle back at every start, so the run is not resumed.
    bool goesOn = how != RESUME_REFUSED;
    DWORD markError = goesOn ? MarkMarkerRecorded(gMarkerFilePath) : ERROR_CANCELLED;
    DWORD deleteError = markError != 0 ? DeleteMarkerFile(gMarkerFilePath) : 0;
    RefreshRunReport();
    if (deleteError != 0) {
        snprintf(line, sizeof(line),
                 "The marker file %s could not be deleted, Error code %lu: the interrupted run is not resumed, so "
                 "that the same sleep is not resumed twice",
                 gMarkerFilePath, (unsigned long)deleteError);
        LogMessage(line, LOG_ERROR);
        gRunEnd = RUN_END_NOT_STARTED;
        // Nor does a command line's new run start: an automatic-exit run ends
        // here, its lost record written, rather than wait for nobody.
        int code = how == RESUME_REFUSED ? EXIT_SLEEP_FAILED : EXIT_RUN_NOT_STARTED;
        if (gAutoExit) {
            EndAutomaticRun(code, false, RUN_END_NOT_STARTED);
        } else {
            WriteRunStatus(RUN_STATUS_REFUSED);
        }
        return 1;
    }
    if (how == RESUME_REFUSED) {
        // The run that was lost failed; an automatic-exit one says so in its code.
        if (gAutoExit) {
            EndAutomaticRun(EXIT_SLEEP_FAILED, false, RUN_END_NOT_STARTED);
        } else {
            WriteRunStatus(RUN_STATUS_REFUSED);
        }
        return 1;
    }

    // A machine that fails every cycle by crashing must still stop: its lost
    // sleep may be the failure that reaches --max-failures.
    if (FailureLimitReached()) {
        LogFailureLimit();
        gRunEnd = RUN_END_FAILED;
        LogRunEnd(gRunEnd);
        if (gAutoExit) {
            EndAutomaticRun();
        } else {
            WriteRunStatus(RunStatusOfEnd(gRunEnd));
        }
        DeleteDeviceSideFile();
        DeleteMarkerFile(gMarkerFilePath);
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
        LogContinuedRun(how);
        gResumeRun = 1;
        if (how == RESUME_COMMAND_LINE_RUN) {
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
    // The run has ended, or will not go on: its marker goes with it.
    DeleteMarkerFile(gMarkerFilePath);
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
