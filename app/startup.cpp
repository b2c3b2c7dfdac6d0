// Start-up sequence, message loop and shutdown.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include "app/app.h"
#include "events/events.h"
#include "log/log.h"
#include "power/power.h"
#include "settings/settings.h"
#include "results/results.h"
#include "ui/ui.h"


// Notes of a full list that could not be kept are not lost silently.
static void LogDroppedNotes(const NoteList* list) {
    if (list->dropped <= 0) return;
    char line[128];
    snprintf(line, sizeof(line), "%d further notes did not fit in the list of %d and were not kept.", list->dropped,
             NOTE_SLOTS);
    LogMessage(line, LOG_WARNING);
}

static void WriteBanner() {
    LogMessage(ASTERISK_RULE, LOG_INFO);
    char line[256];
    FormatIdentityLine(line, sizeof(line));
    LogMessage(line, LOG_INFO);
    for (int i = 0; i < gStartupNotes.count; i++) {
        // A note is text, never a format: a path with a '%' in it must not be read as one.
        char note[NOTE_SIZE];
        snprintf(note, sizeof(note), "%s", gStartupNotes.slots[i]);
        size_t length = strlen(note);
        if (length > 0 && note[length - 1] == '\n') note[length - 1] = '\0';
        LogDebug("%s", note);
    }
    for (int i = 0; i < gCommandLineNotes.count; i++) LogMessage(gCommandLineNotes.slots[i], LOG_INFO);
    LogDroppedNotes(&gCommandLineNotes);
    ClearNotes(&gCommandLineNotes);
    LogMessage(ASTERISK_RULE, LOG_INFO);
}

// The marker file "sleepflag" lies beside the executable.
static void SetMarkerFilePath() {
    char folder[MAX_PATH + 1];
    GetExecutableFolder(gAppInstance, folder, sizeof(folder));
    int length = snprintf(gMarkerFilePath, sizeof(gMarkerFilePath), "%s\\%s", folder, "sleepflag");
    // A cut path would name another file; no marker is better than a wrong one.
    if (length < 0 || length >= (int)sizeof(gMarkerFilePath)) gMarkerFilePath[0] = '\0';
}

// Two debug lines per duration below its safe minimum; false withdraws the command-line run.
bool CheckSleepDurations(const ConfigRecord* settings, int shortestSleepDuration) {
    bool safe = true;
    if (settings->sleepForever) return true;
    if ((settings->useState[0] == 1 || settings->useState[1] == 1 || settings->useState[2] == 1) &&
        shortestSleepDuration < SAFE_SLEEP_MIN_SEC) {
        LogDebug("Specified duration is too short for sleep and therefore unsafe.\n");
        LogDebug("Must be at least %ld seconds.\n", (long)SAFE_SLEEP_MIN_SEC);
        safe = false;
    }
    if (settings->useState[3] == 1 && settings->sleepDurationSec[3] < SAFE_HIBERNATE_MIN_SEC) {
        LogDebug("Specified duration is too short for hibernate and therefore unsafe.\n");
        LogDebug("Must be at least %ld seconds.\n", (long)SAFE_HIBERNATE_MIN_SEC);
        safe = false;
    }
    return safe;
}

// Event-log monitoring runs at log level 2 with the log file on, once.
static void StartMonitoringIfAsked() {
    const ConfigRecord& settings = theConfig->settings;
    if (settings.logToFile != 1 || settings.logLevel < 2 || gMonitorThreadCount != 0) {
        // Every record of a results file carries its wake source and phases, at any log level.
        if (gResultsPath[0] && IsEventMonitoringSupported()) StartWakeSourceMonitoring();
        return;
    }
    if (IsEventMonitoringSupported()) {
        StartEventMonitoring();
    } else {
        LogMessage(
            "Unable to start Application and System monitoring. This feature is only supported on Windows 2000 and "
            "later\n",
            LOG_WARNING);
    }
}

// The exit code of a normal end: an automatic-exit run sets it from its sleeps.
static int gExitCode = 0;

static int Shutdown() {
    // The wake-source thread runs code of the event-log library: it ends before the library goes.
    if (gMonitorThreadCount > 0) StopEventMonitoring();
    // A monitor thread that would not stop may still log or run library code:
    // the process is ending, so leave what it uses in place rather than crash.
    bool monitorsLeft = gMonitorThreadCount > 0;
    RestoreAdminPowerPolicy();
    if (!monitorsLeft) UnloadPowerApis();
    if (theConfig && theConfig->settings.autoRestart == 1) RemoveRunOnceValue();
    if (monitorsLeft) return gExitCode;
    delete theConfig;
    theConfig = nullptr;
    delete theLogger;
    theLogger = nullptr;
    ReleaseLogPanel();
    return gExitCode;
}

void SetExitCode(int code) { gExitCode = code; }

static void RunMessageLoop() {
    if (gQuitRequested) return;
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        if (!IsDialogMessageA(gMainWindow, &message)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
}

// The log, results, marker, configuration, report, JUnit and status files of a command line
// must differ; false (with a note) when one file is named for two of them.
// Neither file named twice is used: a log written into the marker would be
// taken for a power cycle at the next start.
static bool RefuseFilesNamedTwice(const ConfigRecord* commandLine) {
    char logPath[256];
    GetConfigText(commandLine->logFilePath, logPath);
    char reportPath[256] = "";
    if (gResultsPath[0] && !gReportPath[0]) DefaultReportPath(gResultsPath, reportPath, sizeof(reportPath));
    char statusPath[256] = "";
    if (gResultsPath[0]) RunStatusPath(gResultsPath, statusPath, sizeof(statusPath));
    const char* files[FILE_KINDS] = {commandLine->logToFile ? logPath : "", gResultsPath, gMarkerFilePath,
                                     theConfig->configFilePath, gReportPath[0] ? gReportPath : reportPath,
                                     gJUnitPath, statusPath};
    char note[NOTE_SIZE];
    int clash = 0;
    if (CheckDistinctFiles(files, note, sizeof(note), &clash)) return true;
    AddNote(&gCommandLineNotes, "Invalid command line.  %s", note);
    if (clash & FILE_LOG) gLogFileFromCommandLine = 0;
    if (clash & (FILE_RESULTS | FILE_REPORT | FILE_JUNIT | FILE_STATUS)) {
        gResultsPath[0] = '\0';
        gReportPath[0] = '\0';
        gJUnitPath[0] = '\0';
    }
    return false;
}

// The command-line run a power cycle interrupted, as its marker carries it:
// its settings, log file, automatic exit, grow time, sleeps so far and report.
static void RestoreCommandLineRun(const MarkerRun* run) {
    theConfig->settings = run->settings;
    SetConfigText(theConfig->settings.logFilePath, run->logFilePath);
    gAutoExit = run->autoExit ? 1 : 0;
    gGrowSeconds = run->growSeconds;
    gDeviceCheck = run->devices;
    gRunTally = run->tally;
    gMaxFailures = run->maxFailures;
    gFailureStreak = run->failureStreak;
    gRunFromMarker = true;
    gMarkerRun = *run;
    snprintf(gReportPath, sizeof(gReportPath), "%s", run->reportPath);
    snprintf(gJUnitPath, sizeof(gJUnitPath), "%s", run->junitPath);
    snprintf(gRunCommandLine, sizeof(gRunCommandLine), "%s", run->commandLine);
    SetUnattended(gAutoExit != 0);
}

// An automatic-exit run that cannot start ends the program at once, with its
// reason at Error level; a window run only logs the reason and waits.
static bool EndIfRunCannotStart(const char* reason) {
    LogMessage(reason, LOG_ERROR);
    if (!gAutoExit) return false;
    SetExitCode(EXIT_RUN_NOT_STARTED);
    WriteRunStatus(RUN_STATUS_REFUSED, true, EXIT_RUN_NOT_STARTED);
    return true;
}

// Help and the version touch nothing: no library, no file, no power state.
// True when one was asked for and shown.
static bool AnswerInfoRequest(int argc, char** argv, bool unattended) {
    int info = FindInfoRequest(argc, argv);
    if (info == INFO_NONE) return false;
    char identity[256];
    FormatIdentityLine(identity, sizeof(identity));
    char text[4096];
    snprintf(text, sizeof(text), "%s\r\n%s", identity, info == INFO_HELP ? UsageText() : "");
    ShowInfoText(text, PRODUCT_NAME, !unattended);
    return true;
}

// The settings in force: the default file, then the command line merged over
// them when it is valid. Returns the command line's verdict.
static bool LoadSettings(int argc, char** argv) {
    theConfig = new Config(gAppInstance);
    ConfigRecord* scratch = new ConfigRecord;
    memset(scratch, 0, sizeof(*scratch));
    if (theConfig->Load(theConfig->configFilePath, scratch) == 0) theConfig->settings = *scratch;

    theConfig->SetDefaults(gAppInstance, scratch);
    bool verdict = ParseCommandLine(scratch, argc, argv);
    SetUnattended(gAutoExit != 0);
    SetMarkerFilePath();
    if (argc > 1 && !RefuseFilesNamedTwice(scratch)) verdict = false;
    if (verdict && argc > 1) {
        theConfig->settings = *scratch;
    } else if (gLogFileFromCommandLine) {
        memcpy(theConfig->settings.logFilePath, scratch->logFilePath, sizeof(scratch->logFilePath));
    }
    delete scratch;
    return verdict;
}

// A restart after a power cycle must not end at a log it cannot open (a drive
// that is gone, a folder, the running program): it writes the default log
// beside the program instead, and says so. Returns that log's path, or "".
static void FindLogToFallBackTo(char* instead, size_t insteadSize, char* why, size_t whySize) {
    instead[0] = why[0] = '\0';
    const ConfigRecord& settings = theConfig->settings;
    if (settings.logToFile != 1) return;
    char path[256];
    GetConfigText(settings.logFilePath, path);
    char folder[MAX_PATH + 1];
    DWORD error = path[0] ? MakeFolderOf(path, folder, sizeof(folder)) : (DWORD)ERROR_INVALID_NAME;
    if (error == 0) {
        FILE* probe = fopen(path, "ab");
        if (probe) {
            fclose(probe);
            return;
        }
        error = GetLastError() != 0 ? GetLastError() : (DWORD)ERROR_OPEN_FAILED;
    }
    ConfigRecord* defaults = new ConfigRecord;
    theConfig->SetDefaults(gAppInstance, defaults);
    GetConfigText(defaults->logFilePath, instead);
    delete defaults;
    if (_stricmp(instead, path) == 0) {
        instead[0] = '\0';
        return;
    }
    snprintf(why, whySize, "The log file %s of the interrupted run could not be opened (Error code %lu): this log goes to %s",
             path, (unsigned long)error, instead);
    (void)insteadSize;
}

// The log file of the settings in force (or the one a restart falls back to);
// a run resumed after a power cycle appends to it, never empties it.
static void OpenSettingsLog(bool markerFound, const char* instead) {
    ApplyLogSettings(&theConfig->settings);
    if (theConfig->settings.logToFile != 1) return;
    char path[256];
    GetConfigText(theConfig->settings.logFilePath, path);
    if (instead && instead[0]) snprintf(path, sizeof(path), "%s", instead);
    theLogger->OpenLogFile(path, theConfig->settings.clearLogAtStart && !markerFound ? "wt" : "at");
}

// What a start does with the marker it found: the command-line run it carries
// goes on when it passes the checks a command line passes; a window run goes
// on as before. why says why a run block was refused, resultsWhy why the
// results file it names is not used.
static int DecideResumption(const MarkerContents* marker, int argc, char* why, size_t whySize, char* resultsWhy,
                            size_t resultsWhySize) {
    why[0] = resultsWhy[0] = '\0';
    int how = RESUME_WINDOW_RUN;
    if (argc <= 1 && marker->runPresent) {
        if (!marker->haveRun) {
            snprintf(why, whySize, "%s", marker->problem);
        } else {
            CheckMarkerRun(&marker->run, marker->tail.resultsPath, theConfig->configFilePath, why, whySize);
        }
        how = why[0] ? RESUME_REFUSED : RESUME_COMMAND_LINE_RUN;
    }
    // The interrupted run's results file takes the rest of that run's records.
    if (!marker->haveTail || gResultsPath[0] || !marker->tail.resultsPath[0]) return how;
    char logPath[256];
    GetConfigText(theConfig->settings.logFilePath, logPath);
    if (how == RESUME_COMMAND_LINE_RUN ||
        CheckMarkerResults(marker->tail.resultsPath, theConfig->settings.logToFile == 1 ? logPath : "",
                           theConfig->configFilePath, resultsWhy, resultsWhySize)) {
        snprintf(gResultsPath, sizeof(gResultsPath), "%s", marker->tail.resultsPath);
    }
    return how;
}

// Without its window the program could neither be watched nor stopped.
static int EndWithoutWindow() {
    char message[160];
    snprintf(message, sizeof(message), "The main window could not be created. Error code %lu",
             (unsigned long)GetLastError());
    ShowMessageBox(nullptr, message, "Vesplin cannot start", MB_ICONERROR | MB_OK, IDOK);
    if (!gAutoExit) LogMessage(message, LOG_ERROR);
    SetExitCode(EXIT_RUN_NOT_STARTED);
    return Shutdown();
}

static int EndWithInvalidCommandLine() {
    char path[256];
    GetConfigText(theConfig->settings.logFilePath, path);
    char message[512];
    snprintf(message, sizeof(message),
             "Vesplin.exe was launched with invalid command line arguments.\nPlease see log:\n%s\n", path);
    ShowMessageBox(nullptr, message, "Invalid Command Line", MB_ICONWARNING | MB_OK, IDOK);
    if (gAutoExit) SetExitCode(EXIT_RUN_NOT_STARTED);
    // A poller waiting for this run learns that it never began.
    WriteRunStatus(RUN_STATUS_REFUSED, gAutoExit != 0, EXIT_RUN_NOT_STARTED);
    return Shutdown();
}

int RunVesplin(HINSTANCE instance, int argc, char** argv, int showCommand) {
    gAppInstance = instance;
    // Another run is stopped before anything of this one is touched.
    for (int i = 1; i < argc; i++) {
        if (argv[i] && strcmp(argv[i], "--stop") == 0) return SignalStop();
    }
    bool unattended = CommandLineAsksAutoExit(argc, argv);
    if (AnswerInfoRequest(argc, argv, unattended)) return 0;
    // Boxes before the command line is parsed already know whether anybody is there.
    SetUnattended(unattended);
    try {
        theLogger = new Logger();
    } catch (const char* error) {
        if (!unattended) MessageBoxA(nullptr, error, "Failed to create log", MB_ICONWARNING | MB_OK);
        return 1;
    }

    LoadEventLogApi();
    if (!LoadPowerApi()) {
        delete theLogger;
        theLogger = nullptr;
        UnloadPowerApis();
        return 1;
    }
    QueryPowerCapabilities();
    BindSleepClockApi();
    bool verdict = LoadSettings(argc, argv);

    // A marker left by a sleep that never came back: the run goes on, and its
    // log is appended to, never emptied. Started without arguments (as the
    // RunOnce value starts it), a command-line run takes its settings back
    // from the marker.
    static MarkerContents marker;
    bool markerFound = ReadMarkerFile(gMarkerFilePath, &marker) == 0;
    char refused[256] = "", resultsRefused[256] = "", logInstead[256] = "", logWhy[640] = "";
    int resumeHow = markerFound ? DecideResumption(&marker, argc, refused, sizeof(refused), resultsRefused,
                                                   sizeof(resultsRefused))
                                : -1;
    if (resumeHow == RESUME_COMMAND_LINE_RUN) RestoreCommandLineRun(&marker.run);
    // Its records and status go on under the interrupted run's identity.
    if (markerFound) TakeRunIdentity(&marker.tail, resumeHow == RESUME_COMMAND_LINE_RUN ? &marker.run : nullptr);
    // A refused run that ended the program by itself still does: nobody waits for its window.
    if (resumeHow == RESUME_REFUSED && marker.runAutoExit == 1) {
        gAutoExit = 1;
        SetUnattended(true);
    }
    if (markerFound) FindLogToFallBackTo(logInstead, sizeof(logInstead), logWhy, sizeof(logWhy));
    OpenSettingsLog(markerFound, logInstead);

    // A capability query ends right after the banner and never shows the
    // window; building it would only triple the query's start-up time.
    if (!gQueryMode) gMainWindow = CreateMainWindow(gAppInstance);
    WriteBanner();
    if (gQueryMode) {
        delete theConfig;
        theConfig = nullptr;
        delete theLogger;
        theLogger = nullptr;
        exit(gQueryAnswer);
    }
    // What a restart could not take from its marker is said first.
    if (logWhy[0]) LogMessage(logWhy, LOG_ERROR);
    if (refused[0]) {
        char line[320];
        snprintf(line, sizeof(line), "The interrupted run could not be taken back: %s", refused);
        LogMessage(line, LOG_ERROR);
    }
    if (markerFound && marker.problem[0] && !refused[0]) {
        char line[320];
        snprintf(line, sizeof(line), "The details of the lost sleep in the marker file are damaged (%s): what could be "
                 "read is recorded", marker.problem);
        LogMessage(line, LOG_WARNING);
    }
    if (resultsRefused[0]) {
        char line[512];
        snprintf(line, sizeof(line), "The results file %s of the interrupted run is not used: %s",
                 marker.tail.resultsPath, resultsRefused);
        LogMessage(line, LOG_ERROR);
    }
    // A record completed while the power went leaves its line in "<results>.pending".
    RestorePendingResult();
    if (!gMainWindow) return EndWithoutWindow();
    if (!verdict) return EndWithInvalidCommandLine();

    bool runAllowed = CheckSleepDurations(&theConfig->settings, gShortestSleepDuration);
    if (!runAllowed && argc > 1 &&
        EndIfRunCannotStart("The command line's run does not start: a sleep duration is below its safe minimum "
                            "(30 seconds for S1-S3, 60 seconds for S4)"))
        return Shutdown();

    if (EnableShutdownPrivilege() != 0) {
        LogDebug("Error setting privilages.\n");
        if (gAutoExit) EndIfRunCannotStart("The run does not start: the shutdown privilege could not be enabled");
        return Shutdown();
    }
    AllowLogonWithoutPasswordOnWake();
    ShowWindow(gMainWindow, showCommand);
    StartMonitoringIfAsked();
    Sleep(100);

    // A run that a power cycle interrupted goes on first; Stop or Exit in the
    // Error Detected dialog cancels the command line's run as well.
    int resumeAnswer = markerFound ? ResumeInterruptedRun(&marker, resumeHow) : -1;
    if (runAllowed && argc > 1 && resumeAnswer != 1) StartCommandLineRun();

    RunMessageLoop();
    return Shutdown();
}
