// Results for automation: one record a sleep in the results file, held back
// briefly for the wake source, and the exit code of a run.
#include <stdio.h>
#include <string.h>
#include "events/events.h"
#include "power/power.h"
#include "settings/settings.h"

char gResultsPath[256];
char gReportPath[256];
char gRunCommandLine[512];
RunTally gRunTally;


// A page that cannot be written is said once, not after every sleep; a page
// written again ends the quiet.
static bool gReportWarned = false;

static SleepRecord gPending;
static bool gHavePending = false;
static bool gPendingWritten = false;  // its line is the results file's last one
static LONG gPendingMark = 0;

void FillReportHeader(ReportHeader* header) {
    memset(header, 0, sizeof(*header));
    snprintf(header->identity, sizeof(header->identity), "%s %s (Build: %s)", PRODUCT_NAME, PRODUCT_VERSION,
             PRODUCT_BUILD);
    DWORD size = sizeof(header->computer);
    if (!GetComputerNameA(header->computer, &size)) header->computer[0] = '\0';
    OSVERSIONINFOA version;
    memset(&version, 0, sizeof(version));
    version.dwOSVersionInfoSize = sizeof(version);
    if (GetVersionExA(&version)) {
        snprintf(header->windows, sizeof(header->windows), "Windows %lu.%lu (build %lu)%s%.*s",
                 (unsigned long)version.dwMajorVersion, (unsigned long)version.dwMinorVersion,
                 (unsigned long)version.dwBuildNumber, version.szCSDVersion[0] ? " " : "",
                 (int)sizeof(version.szCSDVersion), version.szCSDVersion);
    }
    const char* commandLine = gRunCommandLine[0] ? gRunCommandLine : GetCommandLineA();
    snprintf(header->commandLine, sizeof(header->commandLine), "%s", commandLine ? commandLine : "");
}

// Rebuilds the run report after a record was added to the results file.
static void UpdateRunReport(bool exitCodeKnown = false, int exitCode = 0) {
    char path[sizeof(gReportPath)];
    snprintf(path, sizeof(path), "%s", gReportPath);
    bool named = path[0] || DefaultReportPath(gResultsPath, path, sizeof(path));
    ReportHeader header;
    FillReportHeader(&header);
    header.exitCodeKnown = exitCodeKnown;
    header.exitCode = exitCode;
    int error = named ? WriteRunReport(gResultsPath, path, &header) : ERROR_FILENAME_EXCED_RANGE;
    if (error == 0) {
        gReportWarned = false;
        return;
    }
    if (gReportWarned) return;
    gReportWarned = true;
    char message[640];
    snprintf(message, sizeof(message), "Could not write the run report %s. Error code %d",
             named ? path : gResultsPath, error);
    LogMessage(message, LOG_WARNING);
}

void FinishRunReport(int exitCode) {
    // A run that ended before its first record made no results file, and gets no page.
    if (gResultsPath[0] && GetFileAttributesA(gResultsPath) != INVALID_FILE_ATTRIBUTES) {
        UpdateRunReport(true, exitCode);
    }
}

// Appends the record to the results file; false (with an Error line and the
// record counted as lost) when it could not be written.
static bool AppendRecord(const SleepRecord* result, bool rebuildPage = true) {
    if (!gResultsPath[0]) return false;
    char line[RESULT_LINE_SIZE];
    DWORD error = FormatResultLine(result, line, sizeof(line)) ? AppendResultLine(gResultsPath, line)
                                                              : (DWORD)ERROR_INSUFFICIENT_BUFFER;
    if (error == 0) {
        if (rebuildPage) UpdateRunReport();
        return true;
    }
    gRunTally.recordsLost++;
    char message[512];
    snprintf(message, sizeof(message), "Could not write the record of cycle %d to the results file %s. Error code %lu",
             result->cycle, gResultsPath, (unsigned long)error);
    LogMessage(message, LOG_ERROR);
    return false;
}

void WriteSleepResult(const SleepRecord* result) {
    CountSleep(&gRunTally, result->verdict);
    AppendRecord(result);
}

// The record of a wake, when it belongs to the sleep: reported after the sleep
// began, and (when the record says) woken after it started.
static bool AttachWakeRecord(SleepRecord* result, LONG mark) {
    WakeDiagnosis diagnosis;
    bool haveDiagnosis = false;
    LONG count = LatestWakeRecord(result->wakeSource, sizeof(result->wakeSource), &diagnosis, &haveDiagnosis);
    bool belongs = count != mark && !(haveDiagnosis && diagnosis.wakeTime > 0 && diagnosis.wakeTime < result->startUtc);
    if (!belongs) {
        result->wakeSource[0] = '\0';
        return false;
    }
    if (!haveDiagnosis) return false;
    const bool known[PHASE_COUNT] = {diagnosis.sleepMsKnown,       diagnosis.wakeMsKnown,
                                       diagnosis.firmwareMsKnown,    diagnosis.driversMsKnown,
                                       diagnosis.hiberWriteMsKnown,  diagnosis.hiberReadMsKnown,
                                       diagnosis.hiberPagesKnown};
    const long long values[PHASE_COUNT] = {diagnosis.sleepMs,      diagnosis.wakeMs,      diagnosis.firmwareMs,
                                             diagnosis.driversMs,    diagnosis.hiberWriteMs, diagnosis.hiberReadMs,
                                             diagnosis.hiberPages};
    result->phasesKnown = true;
    for (int i = 0; i < PHASE_COUNT; i++) result->phases[i] = {known[i], known[i] ? values[i] : 0};
    result->targetState = diagnosis.targetStateKnown ? diagnosis.targetState : -1;
    result->effectiveState = diagnosis.effectiveStateKnown ? diagnosis.effectiveState : -1;
    return true;
}

// The held record's later details: its wake record, and the verdict that
// follows from it. The line written at the wake is replaced when they change it.
static void CompletePending() {
    gHavePending = false;
    SleepRecord before = gPending;
    if (!AttachWakeRecord(&gPending, gPendingMark) && strcmp(before.wakeSource, gPending.wakeSource) == 0) return;
    // A machine that entered another state than asked for (deeper, as often)
    // did not pass the test, however long it slept.
    if (gPending.effectiveState >= 0 && gPending.enteredState >= 0 &&
        gPending.effectiveState != gPending.enteredState) {
        char line[96];
        snprintf(line, sizeof(line), "Asked for S%d, the machine entered S%d", gPending.enteredState + 1,
                 gPending.effectiveState + 1);
        LogMessage(line, LOG_WARNING);
        if (gPending.verdict == VERDICT_OK) {
            gPending.verdict = VERDICT_WRONG_STATE;
            gRunTally.failed++;
            LogMessage("The sleep failed: the machine entered another state than the one asked for", LOG_ERROR);
        }
    }
    if (!gPendingWritten) return;
    char line[RESULT_LINE_SIZE];
    DWORD error = FormatResultLine(&gPending, line, sizeof(line)) ? ReplaceLastResultLine(gResultsPath, line)
                                                                 : (DWORD)ERROR_INSUFFICIENT_BUFFER;
    if (error == 0) {
        UpdateRunReport();
        return;
    }
    char message[512];
    snprintf(message, sizeof(message),
             "Could not add the wake record to the record of cycle %d in the results file %s. Error code %lu",
             gPending.cycle, gResultsPath, (unsigned long)error);
    LogMessage(message, LOG_ERROR);
}

void RecordSleepResult(int cycleNumber, int requested, int target, int force, int requestedSec) {
    FlushPendingResult();
    gPending = gLastSleep;
    gPending.cycle = cycleNumber;
    gPending.requestedState = requested;
    gPending.enteredState = target;
    gPending.fallback = PlanFallback(requested, target, force);
    gPending.requestedSec = requestedSec;
    gPendingMark = gLastWakeSourceMark;
    // The record reaches the disk at once with what is known now: a run killed
    // before the system's wake record comes still has it.
    CountSleep(&gRunTally, gPending.verdict);
    gPendingWritten = AppendRecord(&gPending);
    // A refused sleep has no wake; without a watching thread no source will come.
    gHavePending = gLastSleep.verdict != VERDICT_REFUSED && IsWakeSourceWatched();
    if (gHavePending && WakeSourceCount() != gPendingMark) CompletePending();
}

void PollPendingResult() {
    if (gHavePending && (WakeSourceCount() != gPendingMark || !IsWakeSourceWatched())) CompletePending();
}

void FlushPendingResult() {
    if (gHavePending) CompletePending();
}

bool IsResultPending() { return gHavePending; }

void WaitForPendingResult(int limitSec) {
    DWORD start = GetTickCount();
    while (gHavePending && IsWakeSourceWatched() && !gStopRequested && !gQuitRequested &&
           GetTickCount() - start < (DWORD)limitSec * 1000) {
        // Stop and Exit are still answered while the system writes its record.
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
        PumpPendingMessages();
        PollPendingResult();
    }
    FlushPendingResult();
}

void RestorePendingResult() {
    if (!gResultsPath[0]) return;
    bool restored = false;
    DWORD error = RestorePendingResultLine(gResultsPath, &restored);
    char message[640];
    if (error != 0) {
        snprintf(message, sizeof(message),
                 "Could not put the completed last record of %s.pending into the results file. Error code %lu",
                 gResultsPath, (unsigned long)error);
        LogMessage(message, LOG_ERROR);
    } else if (restored) {
        snprintf(message, sizeof(message), "The last record of the results file %s was completed from %s.pending",
                 gResultsPath, gResultsPath);
        LogMessage(message, LOG_INFO);
    }
}

void RecordLostSleep(const ResumeRecord* position, const MarkerTail* tail, long long nowUnixSeconds,
                     const LostDiagnosis* why) {
    FlushPendingResult();
    SleepRecord result;
    ClearSleepRecord(&result);
    if (why) {
        result.lostReason = why->reason;
        CopyUtf8(result.bugcheck, sizeof(result.bugcheck), why->bugcheck);
    }
    result.cycle = position->cycleIndex < 0 ? 1 : position->cycleIndex + 1;
    result.requestedState = position->requestedState;
    result.enteredState = tail ? tail->enteredState : -1;
    if (tail) result.fallback = FallbackFromId(tail->fallback);
    result.requestedSec = tail ? tail->requestedSec : -1;
    long long away = nowUnixSeconds - position->sleepStartTime;
    result.measuredSec = away > 0x7FFFFFFF ? 0x7FFFFFFF : away < 0 ? 0 : (int)away;
    result.verdict = VERDICT_LOST;
    if (position->sleepStartTime > 0) result.startUtc = FileTimeFromUnixSeconds(position->sleepStartTime);
    result.endUtc = FileTimeFromUnixSeconds(nowUnixSeconds);
    CountSleep(&gRunTally, result.verdict);
    AppendRecord(&result, false);
}

void RefreshRunReport() {
    if (gResultsPath[0] && GetFileAttributesA(gResultsPath) != INVALID_FILE_ATTRIBUTES) UpdateRunReport();
}
