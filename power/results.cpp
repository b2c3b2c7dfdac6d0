// Results for automation: one record a sleep in the results file, held back
// briefly for the wake source, and the exit code of a run.
#include <stdio.h>
#include <string.h>
#include "events/events.h"
#include "power/power.h"
#include "settings/settings.h"

char gResultsPath[256];
char gReportPath[256];
RunTally gRunTally;
MarkerTail gMarkerTail;

static const long long TICKS_PER_SECOND = 10000000LL;
static const long long UNIX_EPOCH_TICKS = 116444736000000000LL;

// A page that cannot be written is said once, not after every sleep; a page
// written again ends the quiet.
static bool gReportWarned = false;

static SleepResult gPending;
static bool gHavePending = false;
static LONG gPendingMark = 0;

int RunExitCode(const RunTally* tally) {
    if (tally->sleeps == 0 || tally->failed > 0 || tally->recordsLost > 0) return EXIT_SLEEP_FAILED;
    return 0;
}

const char* VerdictId(int verdict) {
    switch (verdict) {
    case VERDICT_OK: return "ok";
    case VERDICT_TOO_SHORT: return "short";
    case VERDICT_TOO_LONG: return "long";
    case VERDICT_NOT_SLEPT: return "not_slept";
    case VERDICT_REFUSED: return "refused";
    case VERDICT_LOST: return "lost";
    default: return "";
    }
}

const char* FallbackId(int requested, int target, int force) {
    if (force) return "force";
    if (target < requested) return "lighter";
    if (target > requested) return "deeper";
    return "";
}

bool ParseMarkerTail(const void* bytes, size_t length, MarkerTail* tail) {
    memset(tail, 0, sizeof(*tail));
    if (length != sizeof(MarkerTail)) return false;
    MarkerTail read;
    memcpy(&read, bytes, sizeof(read));
    if (memcmp(read.magic, MARKER_TAIL_MAGIC, sizeof(read.magic)) != 0) return false;
    if (read.enteredState < -1 || read.enteredState > SLEEP_S4) return false;
    // Texts from a file: terminated inside their fields, or not believed.
    if (!memchr(read.fallback, '\0', sizeof(read.fallback)) ||
        !memchr(read.resultsPath, '\0', sizeof(read.resultsPath)))
        return false;
    *tail = read;
    return true;
}

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
    const char* commandLine = GetCommandLineA();
    snprintf(header->commandLine, sizeof(header->commandLine), "%s", commandLine ? commandLine : "");
}

// Rebuilds the run report after a record was added to the results file.
static void UpdateRunReport() {
    char path[sizeof(gReportPath)];
    snprintf(path, sizeof(path), "%s", gReportPath);
    bool named = path[0] || DefaultReportPath(gResultsPath, path, sizeof(path));
    ReportHeader header;
    FillReportHeader(&header);
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

void WriteSleepResult(const SleepResult* result) {
    gRunTally.sleeps++;
    if (strcmp(result->verdict, "ok") != 0) gRunTally.failed++;
    if (!gResultsPath[0]) return;
    char line[RESULT_LINE_SIZE];
    DWORD error = FormatResultLine(result, line, sizeof(line)) ? AppendResultLine(gResultsPath, line)
                                                              : (DWORD)ERROR_INSUFFICIENT_BUFFER;
    if (error == 0) {
        UpdateRunReport();
        return;
    }
    gRunTally.recordsLost++;
    char message[512];
    snprintf(message, sizeof(message), "Could not write the record of cycle %d to the results file %s. Error code %lu",
             result->cycle, gResultsPath, (unsigned long)error);
    LogMessage(message, LOG_ERROR);
}

static void WritePending() {
    gHavePending = false;
    // A wake source reported after the sleep began belongs to its wake.
    if (LatestWakeSource(gPending.wakeSource, sizeof(gPending.wakeSource)) == gPendingMark)
        gPending.wakeSource[0] = '\0';
    WriteSleepResult(&gPending);
}

void RecordSleepResult(int cycleNumber, int requested, int target, int force, int requestedSec) {
    FlushPendingResult();
    SleepResult& result = gPending;
    memset(&result, 0, sizeof(result));
    result.cycle = cycleNumber;
    result.requestedState = requested;
    result.enteredState = target;
    snprintf(result.fallback, sizeof(result.fallback), "%s", FallbackId(requested, target, force));
    result.requestedSec = requestedSec;
    result.measuredSec = gLastSleep.measuredSec;
    result.asleepKnown = gLastSleep.asleepSource != ASLEEP_UNKNOWN;
    result.asleepSec = gLastSleep.asleepSec;
    snprintf(result.asleepSource, sizeof(result.asleepSource), "%s", AsleepSourceId(gLastSleep.asleepSource));
    snprintf(result.verdict, sizeof(result.verdict), "%s", VerdictId(gLastSleep.verdict));
    result.startUtc = gLastSleep.startUtc;
    result.endUtc = gLastSleep.endUtc;
    result.errorCode = gLastSleep.errorCode;
    gPendingMark = gLastSleep.wakeSourceMark;
    gHavePending = true;
    // A refused sleep has no wake; without a watching thread no source will come.
    if (gLastSleep.verdict == VERDICT_REFUSED || !IsWakeSourceWatched() || WakeSourceCount() != gPendingMark)
        WritePending();
}

void PollPendingResult() {
    if (gHavePending && (WakeSourceCount() != gPendingMark || !IsWakeSourceWatched())) WritePending();
}

void FlushPendingResult() {
    if (gHavePending) WritePending();
}

void RecordLostSleep(const ResumeRecord* position, const MarkerTail* tail, long long nowUnixSeconds) {
    FlushPendingResult();
    SleepResult result;
    memset(&result, 0, sizeof(result));
    result.cycle = position->cycleIndex < 0 ? 1 : position->cycleIndex + 1;
    result.requestedState = position->requestedState;
    result.enteredState = tail ? tail->enteredState : -1;
    if (tail) snprintf(result.fallback, sizeof(result.fallback), "%s", tail->fallback);
    result.requestedSec = tail ? tail->requestedSec : -1;
    long long away = nowUnixSeconds - position->sleepStartTime;
    result.measuredSec = away > 0x7FFFFFFF ? 0x7FFFFFFF : away < 0 ? 0 : (int)away;
    snprintf(result.verdict, sizeof(result.verdict), "%s", VerdictId(VERDICT_LOST));
    if (position->sleepStartTime > 0) result.startUtc = position->sleepStartTime * TICKS_PER_SECOND + UNIX_EPOCH_TICKS;
    result.endUtc = nowUnixSeconds * TICKS_PER_SECOND + UNIX_EPOCH_TICKS;
    WriteSleepResult(&result);
}
