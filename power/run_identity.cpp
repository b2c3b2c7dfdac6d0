// Who a run is and where it stands: its id and machine in every record, and
// the status file a lab's poller reads, through every restart of the run.
#include <windows.h>
#include <ntsecapi.h>
#include <stdio.h>
#include <string.h>
#include "power/power.h"
#include "results/results.h"
#include "settings/settings.h"

char gRunId[RUN_ID_SIZE];
long long gRunStartUtc = 0;
int gCyclesDone = 0;

// A status that cannot be written is said once, not after every sleep.
static bool gStatusWarned = false;

const char* ComputerName() {
    static char name[COMPUTER_NAME_SIZE];
    if (name[0]) return name;
    wchar_t wide[COMPUTER_NAME_SIZE * 2];
    DWORD size = sizeof(wide) / sizeof(wide[0]);
    char utf8[COMPUTER_NAME_SIZE * 4] = "";
    if (GetComputerNameExW(ComputerNameDnsHostname, wide, &size) && size > 0 &&
        WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8, sizeof(utf8), nullptr, nullptr) > 0) {
        CopyUtf8(name, sizeof(name), utf8);
    } else {
        DWORD ansiSize = sizeof(name);
        if (!GetComputerNameA(name, &ansiSize)) name[0] = '\0';
    }
    return name;
}

long long NowFileTime() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return (long long)(((unsigned long long)now.dwHighDateTime << 32) | now.dwLowDateTime);
}

void BeginRunIdentity(bool fresh) {
    if (fresh) {
        gRunId[0] = '\0';
        memset(gVerdictCounts, 0, sizeof(gVerdictCounts));
        gCyclesDone = 0;
        gStatusWarned = false;
    }
    // A run taken back from a marker without an id (an older build's) gets
    // one, and keeps the counts its marker carried.
    if (gRunId[0]) return;
    gRunStartUtc = NowFileTime();
    // The system's generator: runs started in the same second on fifty
    // machines must not share an id.
    unsigned random = 0;
    if (!RtlGenRandom(&random, sizeof(random))) random = (unsigned)GetTickCount() ^ GetCurrentProcessId() << 16;
    FormatRunId(gRunStartUtc, random, gRunId, sizeof(gRunId));
}

void TakeRunIdentity(const MarkerTail* tail, const MarkerRun* run) {
    snprintf(gRunId, sizeof(gRunId), "%s", tail && IsRunId(tail->runId) ? tail->runId : "");
    gRunStartUtc = run ? run->startUtc : 0;
    if (run) {
        memcpy(gVerdictCounts, run->verdicts, sizeof(gVerdictCounts));
    } else {
        memset(gVerdictCounts, 0, sizeof(gVerdictCounts));
    }
}

int gMaxFailures = 0;
int gFailureStreak = 0;
// The streak before the last record counted: a held record's verdict that
// changes later (ok to device_fault) is counted again from there.
static int gStreakBeforeLast = 0;

void CountFailureStreak(int verdict) {
    gStreakBeforeLast = gFailureStreak;
    gFailureStreak = NextFailureStreak(gFailureStreak, verdict);
}

void RecountFailureStreak(int verdict) { gFailureStreak = NextFailureStreak(gStreakBeforeLast, verdict); }

bool FailureLimitReached() { return IsFailureLimitReached(gFailureStreak, gMaxFailures); }

void LogFailureLimit() {
    char line[128];
    snprintf(line, sizeof(line), "The run ends: %d sleeps failed in a row (--max-failures=%d)", gFailureStreak,
             gMaxFailures);
    LogMessage(line, LOG_ERROR);
}

int RunStatusOfEnd(int runEnd) {
    switch (runEnd) {
    case RUN_END_STOPPED: return RUN_STATUS_STOPPED;
    case RUN_END_NOT_STARTED: return RUN_STATUS_REFUSED;
    case RUN_END_NONE: return RUN_STATUS_RUNNING;
    default: return RUN_STATUS_FINISHED;
    }
}

// By when the next status must come: the longest sleep of the run from now,
// the interval after it, the devices' settle time and two minutes to spare (a
// slow resume, the system's wake record); 0 when a person wakes the machine.
static long long NextUpdateBy(long long now, bool first) {
    const ConfigRecord& settings = theConfig->settings;
    if (settings.sleepForever == 1) return 0;
    const int32_t* durations = memcmp(gMarkerRun.magic, MARKER_RUN_MAGIC, 4) == 0 ? gMarkerRun.durations
                                                                                  : settings.sleepDurationSec;
    long long longest = 0;
    for (int state = SLEEP_S1; state <= SLEEP_S4; state++) {
        if (settings.useState[state] == 1 && durations[state] > longest) longest = durations[state];
    }
    if (gGrowDurations == 1 && gGrowSeconds > 0) longest += gGrowSeconds;
    long long seconds = longest + (settings.cycleIntervalSec > 0 ? settings.cycleIntervalSec : 0) + 120;
    if (!gDeviceCheck.off) seconds += gDeviceCheck.settleSec;
    if (first && settings.firstSleepDelaySec > 0) seconds += settings.firstSleepDelaySec;
    return now + seconds * FILETIME_TICKS_PER_SECOND;
}

static void FullPathOf(const char* path, char* out, size_t outSize) {
    out[0] = '\0';
    if (!path || !path[0]) return;
    DWORD length = GetFullPathNameA(path, (DWORD)outSize, out, nullptr);
    if (length == 0 || length >= outSize) snprintf(out, outSize, "%s", path);
}

void WriteRunStatus(int state, bool exitCodeKnown, int exitCode) {
    char path[256];
    // Only a run has a status: records written outside one (a tool's own) have none.
    if (!theConfig || !gResultsPath[0] || !RunStatusPath(gResultsPath, path, sizeof(path))) return;
    BeginRunIdentity(false);
    static RunStatus status;
    memset(&status, 0, sizeof(status));
    snprintf(status.runId, sizeof(status.runId), "%s", gRunId);
    CopyUtf8(status.computer, sizeof(status.computer), ComputerName());
    status.state = state;
    status.startUtc = gRunStartUtc;
    status.updateUtc = NowFileTime();
    if (state != RUN_STATUS_RUNNING) status.endUtc = status.updateUtc;
    status.nextUpdateBy = state == RUN_STATUS_RUNNING ? NextUpdateBy(status.updateUtc, gRunTally.sleeps == 0) : 0;
    const ConfigRecord& settings = theConfig->settings;
    status.cyclesDone = gCyclesDone;
    status.cyclesPlanned = settings.cycleForever == 1 ? 0 : settings.cycleCount;
    memcpy(status.verdicts, gVerdictCounts, sizeof(status.verdicts));
    status.exitCodeKnown = exitCodeKnown;
    status.exitCode = exitCode;
    const char* commandLine = gRunCommandLine[0] ? gRunCommandLine : GetCommandLineA();
    snprintf(status.commandLine, sizeof(status.commandLine), "%s", commandLine ? commandLine : "");
    snprintf(status.results, sizeof(status.results), "%s", gResultsPath);
    if (gReportPath[0]) {
        snprintf(status.report, sizeof(status.report), "%s", gReportPath);
    } else {
        DefaultReportPath(gResultsPath, status.report, sizeof(status.report));
    }
    if (settings.logToFile == 1) {
        char log[256];
        GetConfigText(settings.logFilePath, log);
        FullPathOf(log, status.log, sizeof(status.log));
    }
    snprintf(status.junit, sizeof(status.junit), "%s", gJUnitPath);
    int error = ReplaceFileWhole(path, FormatRunStatus(&status));
    if (error == 0) {
        gStatusWarned = false;
        return;
    }
    if (gStatusWarned) return;
    gStatusWarned = true;
    char message[400];
    snprintf(message, sizeof(message), "Could not write the run status %s. Error code %d", path, error);
    LogMessage(message, LOG_WARNING);
}
