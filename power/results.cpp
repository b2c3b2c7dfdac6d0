// Results for automation: one record a sleep in the results file, held back
// briefly for the wake source, and the exit code of a run.
#include <stdio.h>
#include <string.h>
#include <string>
#include <vector>
#include "events/events.h"
#include "power/power.h"
#include "settings/settings.h"

char gResultsPath[256];
char gReportPath[256];
char gRunCommandLine[512];
char gJUnitPath[256];
RunTally gRunTally;
int32_t gVerdictCounts[VERDICT_COUNT];

void CountRecord(int verdict) {
    CountSleep(&gRunTally, verdict);
    if (verdict >= 0 && verdict < VERDICT_COUNT) gVerdictCounts[verdict]++;
    CountFailureStreak(verdict);
}

void RecountRecord(int from, int to) {
    if (from == to) return;
    if (from == VERDICT_OK && to != VERDICT_OK) gRunTally.failed++;
    if (from >= 0 && from < VERDICT_COUNT && gVerdictCounts[from] > 0) gVerdictCounts[from]--;
    if (to >= 0 && to < VERDICT_COUNT) gVerdictCounts[to]++;
    RecountFailureStreak(to);
}


// A page that cannot be written is said once, not after every sleep; a page
// written again ends the quiet.
static bool gReportWarned = false;

static SleepRecord gPending;
static bool gHavePending = false;
static bool gPendingWritten = false;  // its line is the results file's last one
static std::string gPendingLine;      // that line as written
static bool gWaitWakeRecord = false;  // the system's wake record may still come
static LONG gPendingMark = 0;

void FillReportHeader(ReportHeader* header) {
    memset(header, 0, sizeof(*header));
    snprintf(header->identity, sizeof(header->identity), "%s %s (Build: %s)", PRODUCT_NAME, PRODUCT_VERSION,
             PRODUCT_BUILD);
    CopyUtf8(header->computer, sizeof(header->computer), ComputerName());
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

// A file after the records that cannot be written is said once, not after
// every sleep; one written again ends the quiet.
static void SayWhenFailed(int error, bool* warned, const char* what, const char* path) {
    if (error == 0) {
        *warned = false;
        return;
    }
    if (*warned) return;
    *warned = true;
    char message[640];
    snprintf(message, sizeof(message), "Could not write the %s %s. Error code %d", what, path, error);
    LogMessage(message, LOG_WARNING);
}

// What the page keeps of the results file: read from the file once, at the
// first rebuild of a start, then told of every record written.
static ReportDigest gDigest;
static char gDigestPath[sizeof(gResultsPath)];
static bool gDigestRead = false;
// When the run ended, for the page's header; 0 while it goes on.
static long long gRunEndUtc = 0;

// Whether the digest holds every record of the results file (a run without
// one keeps its records in it all the same, for the closing statistics).
static bool DigestCurrent() { return !gResultsPath[0] || (gDigestRead && strcmp(gDigestPath, gResultsPath) == 0); }

// A record that reached the file (or, without a results file, was taken);
// replace: it completes the last one.
static void RememberRecord(const SleepRecord& record, bool replace) {
    if (!DigestCurrent()) return;  // the first reading of the file will have it
    if (replace)
        ReplaceLastInDigest(&gDigest, record);
    else
        AddToDigest(&gDigest, record);
}

// The digest of the results file, read when it is not current; 0 when it is
// ready, else the system's error code.
static int ReadDigest() {
    if (DigestCurrent()) return 0;
    int error = ReadRunDigest(gResultsPath, &gDigest);
    if (error != 0) {
        gDigestRead = false;
        return error;
    }
    snprintf(gDigestPath, sizeof(gDigestPath), "%s", gResultsPath);
    gDigestRead = true;
    return 0;
}

// Rebuilds the run report and the JUnit file after a record was added to the
// results file, from what the page keeps of it.
static void UpdateRunReport(bool exitCodeKnown = false, int exitCode = 0) {
    static bool junitWarned = false;
    char path[sizeof(gReportPath)];
    snprintf(path, sizeof(path), "%s", gReportPath);
    bool named = path[0] || DefaultReportPath(gResultsPath, path, sizeof(path));
    ReportHeader header;
    FillReportHeader(&header);
    header.exitCodeKnown = exitCodeKnown;
    header.exitCode = exitCode;
    FormatUtcTime(gRunEndUtc, header.endTime, sizeof(header.endTime));
    int readError = ReadDigest();
    int error = readError;
    if (readError == 0 && named) {
        std::string page;
        BuildRunReport(&header, gResultsPath, gDigest, &page);
        error = ReplaceFileWhole(path, page);
    } else if (!named) {
        error = ERROR_FILENAME_EXCED_RANGE;
    }
    SayWhenFailed(error, &gReportWarned, "run report", named ? path : gResultsPath);
    if (!gJUnitPath[0]) return;
    int junitError = readError;
    if (readError == 0) {
        std::string xml;
        BuildJUnitReport(&header, gDigest, &xml);
        junitError = ReplaceFileWhole(gJUnitPath, xml);
    }
    SayWhenFailed(junitError, &junitWarned, "JUnit file", gJUnitPath);
}

void FinishRunReport(int exitCode, int runEnd) {
    // A run that ended before its first record made no results file, and gets no page.
    if (gResultsPath[0] && GetFileAttributesA(gResultsPath) != INVALID_FILE_ATTRIBUTES) {
        UpdateRunReport(true, exitCode);
    }
    WriteRunStatus(RunStatusOfEnd(runEnd), true, exitCode);
}

void LogRunEnd(int runEnd) {
    bool unattended = IsUnattended();
    std::string line = RunClosingLine(runEnd, gVerdictCounts, unattended, RunExitCode(&gRunTally, runEnd));
    LogMessage(line.c_str(), LOG_INFO);
    // The statistics of this run's own sleeps: the last run of the digest when it is this one.
    if (ReadDigest() == 0 && !gDigest.runs.empty()) {
        const RunDigest& run = gDigest.runs.back();
        if (!run.runId[0] || strcmp(run.runId, gRunId) == 0) {
            RunStatistics statistics = ComputeRunStatistics(run.rows.data(), (int)run.rows.size());
            for (const StateStatistics& state : statistics.states) LogMessage(StatisticsLine(state).c_str(), LOG_INFO);
        }
    }
    gRunEndUtc = NowFileTime();
    // An automatic-exit run's page is rebuilt once more with its exit code as it ends.
    if (!unattended) RefreshRunReport();
}

// What a record keeps of its device lists when they do not fit in one line.
#define RECORD_DEVICES_MAX 16u
#define RECORD_DEVICE_TEXT 256

// The record's line in the results file, formatted; "" when it cannot be.
static std::string RecordLine(const SleepRecord* record) {
    std::string line;
    if (FormatResultLine(record, &line)) return line;
    // Device lists too long for one line (dozens of devices with long names):
    // the first ones, with their texts cut, rather than no record.
    SleepRecord shorter = *record;
    for (std::vector<DeviceEntry>* list : {&shorter.devices.missing, &shorter.devices.problems}) {
        if (list->size() > RECORD_DEVICES_MAX) list->resize(RECORD_DEVICES_MAX);
        for (DeviceEntry& device : *list) {
            for (std::string* text : {&device.id, &device.name, &device.cls}) {
                char cut[RECORD_DEVICE_TEXT];
                CopyUtf8(cut, sizeof(cut), text->c_str());
                *text = cut;
            }
        }
    }
    return FormatResultLine(&shorter, &line) ? line : std::string();
}

// Appends the record to the results file; false (with an Error line and the
// record counted as lost) when it could not be written.
static bool AppendRecord(const SleepRecord* result, bool rebuildPage = true) {
    gRunEndUtc = 0;
    if (!gResultsPath[0]) {
        RememberRecord(*result, false);
        return false;
    }
    std::string line = RecordLine(result);
    DWORD error = line.empty() ? (DWORD)ERROR_INSUFFICIENT_BUFFER : AppendResultLine(gResultsPath, line.c_str());
    if (error == 0) {
        RememberRecord(*result, false);
        if (rebuildPage) UpdateRunReport();
        WriteRunStatus(RUN_STATUS_RUNNING);
        return true;
    }
    gRunTally.recordsLost++;
    char message[512];
    snprintf(message, sizeof(message), "Could not write the record of cycle %d to the results file %s. Error code %lu",
             result->cycle, gResultsPath, (unsigned long)error);
    LogMessage(message, LOG_ERROR);
    return false;
}

// The run's identity, as every record carries it.
static void StampRecord(SleepRecord* record) {
    BeginRunIdentity(false);
    snprintf(record->runId, sizeof(record->runId), "%s", gRunId);
    CopyUtf8(record->computer, sizeof(record->computer), ComputerName());
}

void WriteSleepResult(const SleepRecord* result) {
    SleepRecord stamped = *result;
    StampRecord(&stamped);
    CountRecord(stamped.verdict);
    AppendRecord(&stamped);
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

// A device that went missing or got a problem fails a sleep that was otherwise ok.
static void ApplyDeviceVerdict(SleepRecord* record) {
    if (record->verdict != VERDICT_OK || !HasDeviceFault(record->devices)) return;
    record->verdict = VERDICT_DEVICE_FAULT;
}

// The held record's later details: its wake record, the devices once they have
// settled, and the verdicts that follow from them. The line written at the
// wake is replaced with them.
static void CompletePending() {
    gHavePending = false;
    int counted = gPending.verdict;
    FinishDeviceRecheck(&gPending);
    if (gWaitWakeRecord) AttachWakeRecord(&gPending, gPendingMark);
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
            LogMessage("The sleep failed: the machine entered another state than the one asked for", LOG_ERROR);
        }
    }
    ApplyDeviceVerdict(&gPending);
    RecountRecord(counted, gPending.verdict);
    std::string line = RecordLine(&gPending);
    if (!gResultsPath[0]) RememberRecord(gPending, true);
    if (!gPendingWritten || line == gPendingLine) {
        if (counted != gPending.verdict) WriteRunStatus(RUN_STATUS_RUNNING);
        return;
    }
    DWORD error = line.empty() ? (DWORD)ERROR_INSUFFICIENT_BUFFER : ReplaceLastResultLine(gResultsPath, line.c_str());
    if (error == 0) {
        RememberRecord(gPending, true);
        gPendingLine = line;
        UpdateRunReport();
        WriteRunStatus(RUN_STATUS_RUNNING);
        return;
    }
    char message[512];
    snprintf(message, sizeof(message),
             "Could not complete the record of cycle %d in the results file %s. Error code %lu", gPending.cycle,
             gResultsPath, (unsigned long)error);
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
    StampRecord(&gPending);
    gPendingMark = gLastWakeSourceMark;
    // A device check that already has its answer judges the sleep now.
    if (!IsDeviceRecheckPending()) ApplyDeviceVerdict(&gPending);
    // The record reaches the disk at once with what is known now: a run killed
    // before the system's wake record comes, or before the devices settle, still has it.
    CountRecord(gPending.verdict);
    gPendingWritten = AppendRecord(&gPending);
    gPendingLine = gPendingWritten ? RecordLine(&gPending) : std::string();
    // A refused sleep has no wake; without a watching thread no source will come.
    gWaitWakeRecord = gLastSleep.verdict != VERDICT_REFUSED && IsWakeSourceWatched();
    gHavePending = gWaitWakeRecord || IsDeviceRecheckPending();
    PollPendingResult();
}

void PollPendingResult() {
    if (!gHavePending) return;
    bool devicesDone = PollDeviceRecheck(&gPending);
    bool wakeDone = !gWaitWakeRecord || WakeSourceCount() != gPendingMark || !IsWakeSourceWatched();
    if (devicesDone && wakeDone) CompletePending();
}

void FlushPendingResult() {
    if (gHavePending) CompletePending();
}

bool IsResultPending() { return gHavePending; }

void WaitForPendingResult(int limitSec) {
    if (gHavePending) {
        char line[160];
        int settle = DeviceSettleSecondsLeft();
        bool wake = gWaitWakeRecord && IsWakeSourceWatched();
        if (wake && settle > 0) {
            snprintf(line, sizeof(line), "Waiting up to %d s for the last sleep's wake record and up to %d s for its devices",
                     limitSec, settle);
        } else if (settle > 0) {
            snprintf(line, sizeof(line), "Waiting up to %d s for the last sleep's devices", settle);
        } else {
            snprintf(line, sizeof(line), "Waiting up to %d s for the last sleep's wake record", limitSec);
        }
        LogMessage(line, LOG_INFO);
    }
    DWORD start = GetTickCount();
    while (gHavePending && !gStopRequested && !gQuitRequested &&
           (IsDeviceRecheckPending() || (gWaitWakeRecord && IsWakeSourceWatched() &&
                                         GetTickCount() - start < (DWORD)limitSec * 1000))) {
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
    CheckDevicesAfterPowerCycle(&result);
    // The run the lost sleep belonged to, as its marker tells; an older marker does not.
    if (tail) {
        snprintf(result.runId, sizeof(result.runId), "%s", tail->runId);
        CopyUtf8(result.computer, sizeof(result.computer), tail->computer);
    }
    if (!result.computer[0]) CopyUtf8(result.computer, sizeof(result.computer), ComputerName());
    CountRecord(result.verdict);
    AppendRecord(&result, false);
}

void RefreshRunReport() {
    if (gResultsPath[0] && GetFileAttributesA(gResultsPath) != INVALID_FILE_ATTRIBUTES) UpdateRunReport();
}
