// The marker file "sleepflag": written and forced to the device just before
// every sleep, deleted after the wake. Found at start-up, it tells of a sleep
// that never ended, and holds what the run needs to go on.
#include <stdio.h>
#include <string.h>
#include <stddef.h>
#include <time.h>
#include "power/power.h"
#include "results/results.h"
#include "settings/settings.h"

MarkerTail gMarkerTail;
MarkerRun gMarkerRun;

static DWORD ErrorOr(DWORD error, DWORD fallback) { return error != 0 ? error : fallback; }

DWORD WriteMarkerFile() {
    // A path that did not fit was never set: there is no place for the marker.
    if (!gMarkerFilePath[0]) return ERROR_FILENAME_EXCED_RANGE;
    HANDLE file = CreateFileA(gMarkerFilePath, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return ErrorOr(GetLastError(), ERROR_WRITE_FAULT);
    theResumeRecord.sleepStartTime = (long long)_time64(nullptr);
    DWORD written = 0;
    BOOL ok = WriteFile(file, &theResumeRecord, sizeof(theResumeRecord), &written, nullptr) &&
              written == sizeof(theResumeRecord);
    // The details of the sleep follow, so that a sleep that never comes back
    // still gets its record; then, for a command-line run, all it takes to go on.
    if (ok) {
        memcpy(gMarkerTail.magic, MARKER_TAIL_MAGIC, sizeof(gMarkerTail.magic));
        gMarkerTail.recorded = 0;
        snprintf(gMarkerTail.resultsPath, sizeof(gMarkerTail.resultsPath), "%s", gResultsPath);
        snprintf(gMarkerTail.runId, sizeof(gMarkerTail.runId), "%s", gRunId);
        CopyUtf8(gMarkerTail.computer, sizeof(gMarkerTail.computer), ComputerName());
        ok = WriteFile(file, &gMarkerTail, sizeof(gMarkerTail), &written, nullptr) && written == sizeof(gMarkerTail);
    }
    if (ok && memcmp(gMarkerRun.magic, MARKER_RUN_MAGIC, sizeof(gMarkerRun.magic)) == 0) {
        gMarkerRun.tally = gRunTally;
        memcpy(gMarkerRun.verdicts, gVerdictCounts, sizeof(gMarkerRun.verdicts));
        gMarkerRun.failureStreak = gFailureStreak;
        ok = WriteFile(file, &gMarkerRun, sizeof(gMarkerRun), &written, nullptr) && written == sizeof(gMarkerRun);
    }
    // The marker is the only evidence of a sleep that never ended: it must be
    // on the device, not in the cache, before the machine goes down.
    if (ok) ok = FlushFileBuffers(file);
    DWORD error = ok ? 0 : ErrorOr(GetLastError(), ERROR_WRITE_FAULT);
    CloseHandle(file);
    // A half-written marker would be read back as a run position: none is better.
    if (error != 0) DeleteFileA(gMarkerFilePath);
    return error;
}

static void SetWhy(char* why, size_t whySize, const char* text) {
    // The first fault found is the one told.
    if (why && whySize && !why[0]) snprintf(why, whySize, "%s", text);
}

// The size of the tail that begins at bytes, by its magic; 0 when it has none.
static size_t TailSizeAt(const unsigned char* bytes, size_t length) {
    if (length < 4) return 0;
    if (memcmp(bytes, MARKER_TAIL_MAGIC, 4) == 0) return sizeof(MarkerTail);
    if (memcmp(bytes, MARKER_TAIL_V2_MAGIC, 4) == 0) return MARKER_TAIL_V2_SIZE;
    if (memcmp(bytes, MARKER_TAIL_V1_MAGIC, 4) == 0) return MARKER_TAIL_V1_SIZE;
    return 0;
}

bool ParseMarkerTail(const void* bytes, size_t length, MarkerTail* tail, char* why, size_t whySize) {
    memset(tail, 0, sizeof(*tail));
    tail->enteredState = -1;
    tail->requestedSec = -1;
    size_t size = TailSizeAt((const unsigned char*)bytes, length);
    if (size == 0 || length != size) {
        SetWhy(why, whySize, "the details of the lost sleep are damaged");
        return false;
    }
    MarkerTail read;
    memset(&read, 0, sizeof(read));
    memcpy(&read, bytes, size);
    bool whole = true;
    memcpy(tail->magic, read.magic, sizeof(tail->magic));
    tail->requestedSec = read.requestedSec;
    if (read.enteredState >= -1 && read.enteredState <= SLEEP_S4) {
        tail->enteredState = read.enteredState;
    } else {
        SetWhy(why, whySize, "the state of the lost sleep is not one");
        whole = false;
    }
    // Texts from a file: terminated inside their fields, or not believed.
    if (memchr(read.fallback, '\0', sizeof(read.fallback))) {
        memcpy(tail->fallback, read.fallback, sizeof(tail->fallback));
    } else {
        SetWhy(why, whySize, "the fallback of the lost sleep is not terminated");
        whole = false;
    }
    if (memchr(read.resultsPath, '\0', sizeof(read.resultsPath))) {
        memcpy(tail->resultsPath, read.resultsPath, sizeof(tail->resultsPath));
    } else {
        SetWhy(why, whySize, "the name of the results file is not terminated");
        whole = false;
    }
    tail->recorded = size >= MARKER_TAIL_V2_SIZE && read.recorded != 0 ? 1 : 0;
    // The run's identity goes into records: only a real run id, and a terminated name.
    if (size == sizeof(MarkerTail)) {
        if (memchr(read.runId, '\0', sizeof(read.runId)) && (!read.runId[0] || IsRunId(read.runId))) {
            memcpy(tail->runId, read.runId, sizeof(tail->runId));
        } else {
            SetWhy(why, whySize, "the run id of the lost sleep is not one");
            whole = false;
        }
        if (memchr(read.computer, '\0', sizeof(read.computer))) {
            CopyUtf8(tail->computer, sizeof(tail->computer), read.computer);
        } else {
            SetWhy(why, whySize, "the computer name of the lost sleep is not terminated");
            whole = false;
        }
    }
    return whole;
}

// The size of the run block that begins at block, by its magic; 0 when it has none.
static size_t RunSizeAt(const unsigned char* block, size_t length) {
    if (length < 4) return 0;
    if (memcmp(block, MARKER_RUN_MAGIC, 4) == 0) return sizeof(MarkerRun);
    if (memcmp(block, MARKER_RUN_V3_MAGIC, 4) == 0) return MARKER_RUN_V3_SIZE;
    if (memcmp(block, MARKER_RUN_V2_MAGIC, 4) == 0) return MARKER_RUN_V2_SIZE;
    if (memcmp(block, MARKER_RUN_V1_MAGIC, 4) == 0) return MARKER_RUN_V1_SIZE;
    return 0;
}

// The -E of a run block at block, read even when the block is not taken.
static int AutoExitAt(const unsigned char* block, size_t length) {
    if (length < 8 || RunSizeAt(block, length) == 0) return -1;
    int32_t autoExit;
    memcpy(&autoExit, block + 4, sizeof(autoExit));
    return autoExit != 0 ? 1 : 0;
}

bool ParseMarkerFile(const void* bytes, size_t length, MarkerContents* out) {
    const unsigned char* data = (const unsigned char*)bytes;
    out->positionBytes = length < sizeof(out->position) ? length : sizeof(out->position);
    // A short file fills only what it holds; the rest of the position stays as the caller had it.
    memcpy(&out->position, data, out->positionBytes);
    out->haveTail = false;
    out->haveRun = false;
    out->runPresent = false;
    out->runAutoExit = -1;
    out->problem[0] = '\0';
    memset(&out->tail, 0, sizeof(out->tail));
    out->tail.enteredState = -1;
    out->tail.requestedSec = -1;
    memset(&out->run, 0, sizeof(out->run));
    if (length <= sizeof(ResumeRecord)) return out->positionBytes == sizeof(out->position);
    size_t rest = length - sizeof(ResumeRecord);
    const unsigned char* tail = data + sizeof(ResumeRecord);
    size_t tailSize = TailSizeAt(tail, rest);
    if (tailSize == 0) {
        SetWhy(out->problem, sizeof(out->problem), "the details of the lost sleep are damaged");
        // Where a whole marker would hold a run block, its -E is still read.
        for (size_t size : {sizeof(MarkerTail), (size_t)MARKER_TAIL_V2_SIZE, (size_t)MARKER_TAIL_V1_SIZE}) {
            for (size_t runSize : {sizeof(MarkerRun), (size_t)MARKER_RUN_V3_SIZE, (size_t)MARKER_RUN_V2_SIZE,
                                   (size_t)MARKER_RUN_V1_SIZE}) {
                if (rest != size + runSize) continue;
                out->runPresent = true;
                out->runAutoExit = AutoExitAt(tail + size, rest - size);
            }
        }
        return true;
    }
    if (rest < tailSize) {
        SetWhy(out->problem, sizeof(out->problem), "the marker file is cut short");
        return true;
    }
    // A tail alone is what a window run, or an older build, leaves.
    out->haveTail = true;
    ParseMarkerTail(tail, tailSize, &out->tail, out->problem, sizeof(out->problem));
    size_t blockSize = rest - tailSize;
    if (blockSize == 0) return true;
    const unsigned char* block = tail + tailSize;
    out->runPresent = true;
    out->runAutoExit = AutoExitAt(block, blockSize);
    size_t runSize = RunSizeAt(block, blockSize);
    if (runSize == 0) {
        SetWhy(out->problem, sizeof(out->problem), "the run block is damaged");
        return true;
    }
    if (blockSize != runSize) {
        char why[96];
        snprintf(why, sizeof(why), "the run block has %u bytes instead of %u", (unsigned)blockSize, (unsigned)runSize);
        SetWhy(out->problem, sizeof(out->problem), why);
        return true;
    }
    // An older block: without the device check it takes the defaults; without
    // the counts by verdict its failures are known only as a number, and its
    // start time is unknown; without a failure limit it has none (and no streak).
    MarkerRun run;
    memset(&run, 0, sizeof(run));
    memcpy(&run, block, runSize);
    if (runSize != sizeof(MarkerRun)) {
        memcpy(run.magic, MARKER_RUN_MAGIC, sizeof(run.magic));
        if (runSize < MARKER_RUN_V2_SIZE) ResetDeviceCheckSettings(&run.devices);
        if (runSize < MARKER_RUN_V3_SIZE) run.verdicts[VERDICT_OK] = run.tally.sleeps - run.tally.failed;
    }
    out->haveRun = ParseMarkerRun(&run, &out->run, out->problem, sizeof(out->problem));
    return true;
}

bool ParseMarkerRun(const MarkerRun* in, MarkerRun* out, char* why, size_t whySize) {
    memset(out, 0, sizeof(*out));
    if (memcmp(in->magic, MARKER_RUN_MAGIC, sizeof(in->magic)) != 0) {
        SetWhy(why, whySize, "the run block is damaged");
        return false;
    }
    if (memcmp(in->settings.magic, "SLPDAT", 7) != 0) {
        SetWhy(why, whySize, "the settings of the run are damaged");
        return false;
    }
    if (!memchr(in->logFilePath, '\0', sizeof(in->logFilePath)) || !memchr(in->reportPath, '\0', sizeof(in->reportPath)) ||
        !memchr(in->commandLine, '\0', sizeof(in->commandLine)) || !memchr(in->junitPath, '\0', sizeof(in->junitPath))) {
        SetWhy(why, whySize, "a file name or the command line of the run is not terminated");
        return false;
    }
    if (in->tally.sleeps < 0 || in->tally.failed < 0 || in->tally.recordsLost < 0 ||
        in->tally.failed > in->tally.sleeps) {
        SetWhy(why, whySize, "the run's count of sleeps is impossible");
        return false;
    }
    long long counted = 0;
    for (int v = 0; v < VERDICT_COUNT; v++) {
        if (in->verdicts[v] < 0) counted = -1;
        if (counted >= 0) counted += in->verdicts[v];
    }
    if (counted < 0 || counted > in->tally.sleeps) {
        SetWhy(why, whySize, "the run's counts by verdict are impossible");
        return false;
    }
    // Every failure of the streak is one of the run's failures.
    if (in->maxFailures < 0 || in->maxFailures > MAX_FAILURES_LIMIT || in->failureStreak < 0 ||
        in->failureStreak > in->tally.failed) {
        SetWhy(why, whySize, "the run's failure limit or streak is impossible");
        return false;
    }
    const DeviceCheckSettings& devices = in->devices;
    bool ignoresTerminated = true;
    for (int i = 0; i < DEVICE_IGNORE_MAX; i++) {
        if (!memchr(devices.ignore[i], '\0', sizeof(devices.ignore[i]))) ignoresTerminated = false;
    }
    if (devices.settleSec < 0 || devices.settleSec > DEVICE_SETTLE_MAX_SEC || devices.ignoreCount < 0 ||
        devices.ignoreCount > DEVICE_IGNORE_MAX || !ignoresTerminated) {
        SetWhy(why, whySize, "the run's device check is damaged");
        return false;
    }
    *out = *in;
    // Texts of the settings come from a file: each is kept terminated.
    ConfigRecord& s = out->settings;
    char* texts[] = {s.productName, s.versionText, s.logFilePath, s.appBetweenSleepsPath, s.appAfterLastCyclePath};
    for (char* text : texts) text[CONFIG_TEXT_MAX] = '\0';
    return true;
}

// The full form of a path, for comparing files named in different ways; "" stays "".
static void FullPath(const char* path, char* out, size_t outSize) {
    out[0] = '\0';
    if (!path || !path[0]) return;
    DWORD length = GetFullPathNameA(path, (DWORD)outSize, out, nullptr);
    if (length == 0 || length >= outSize) snprintf(out, outSize, "%s", path);
}

static bool CheckFiles(const char* log, const char* results, const char* report, const char* junit,
                       const char* configPath, char* why, size_t whySize) {
    char paths[FILE_KINDS][MAX_PATH + 1];
    char status[256] = "";
    if (results && results[0]) RunStatusPath(results, status, sizeof(status));
    const char* given[FILE_KINDS] = {log, results, gMarkerFilePath, configPath, report, junit, status};
    const char* files[FILE_KINDS];
    for (int i = 0; i < FILE_KINDS; i++) {
        FullPath(given[i], paths[i], sizeof(paths[i]));
        files[i] = paths[i];
    }
    int clash = 0;
    return CheckDistinctFiles(files, why, whySize, &clash);
}

bool CheckMarkerResults(const char* resultsPath, const char* logPath, const char* configPath, char* why,
                        size_t whySize) {
    if (!resultsPath || !resultsPath[0]) return true;
    char report[256] = "";
    DefaultReportPath(resultsPath, report, sizeof(report));
    return CheckFiles(logPath, resultsPath, report, "", configPath, why, whySize);
}

static bool IsHtmlName(const char* path) { return HasExtension(path, ".html") || HasExtension(path, ".htm"); }

bool CheckMarkerRun(const MarkerRun* run, const char* resultsPath, const char* configPath, char* why, size_t whySize) {
    const ConfigRecord& settings = run->settings;
    if (settings.sleepForever != 1) {
        for (int state = SLEEP_S1; state <= SLEEP_S4; state++) {
            if (settings.useState[state] != 1) continue;
            for (int32_t sec : {run->durations[state], settings.sleepDurationSec[state]}) {
                if (IsDurationInLimits(state, sec)) continue;
                snprintf(why, whySize, "the duration of S%d, %ld seconds, is not between %d seconds and %d seconds",
                         state + 1, (long)sec, SafeMinimumSec(state), LONGEST_SLEEP_SEC);
                return false;
            }
        }
    }
    char report[256] = "";
    if (run->reportPath[0]) {
        snprintf(report, sizeof(report), "%s", run->reportPath);
        // The page replaces its file whole: only a page may be replaced.
        if (!IsHtmlName(report)) {
            snprintf(why, whySize, "the run report %s is not an HTML page", report);
            return false;
        }
    } else if (resultsPath && resultsPath[0]) {
        DefaultReportPath(resultsPath, report, sizeof(report));
    }
    // So is the JUnit file: only one named as XML.
    if (run->junitPath[0] && !HasExtension(run->junitPath, ".xml")) {
        snprintf(why, whySize, "the JUnit file %s is not an XML file", run->junitPath);
        return false;
    }
    return CheckFiles(settings.logToFile == 1 ? run->logFilePath : "", resultsPath, report, run->junitPath, configPath,
                      why, whySize);
}

DWORD ReadMarkerFile(const char* path, MarkerContents* out) {
    if (!path || !path[0]) return ERROR_FILE_NOT_FOUND;
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return ErrorOr(GetLastError(), ERROR_FILE_NOT_FOUND);
    // A folder of that name is no marker (and will refuse every sleep's marker).
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return ERROR_DIRECTORY;
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return ErrorOr(GetLastError(), ERROR_OPEN_FAILED);
    // One byte more than the largest marker tells a longer file from a whole one.
    static unsigned char bytes[sizeof(ResumeRecord) + sizeof(MarkerTail) + sizeof(MarkerRun) + 1];
    DWORD got = 0;
    BOOL read = ReadFile(file, bytes, sizeof(bytes), &got, nullptr);
    DWORD error = read ? 0 : ErrorOr(GetLastError(), ERROR_READ_FAULT);
    CloseHandle(file);
    if (error != 0) return error;
    ParseMarkerFile(bytes, got, out);
    return 0;
}

DWORD MarkMarkerRecorded(const char* path) {
    if (!path || !path[0]) return ERROR_FILE_NOT_FOUND;
    HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return ErrorOr(GetLastError(), ERROR_OPEN_FAILED);
    char magic[4];
    DWORD done = 0;
    LARGE_INTEGER at;
    at.QuadPart = sizeof(ResumeRecord);
    DWORD error = 0;
    if (!SetFilePointerEx(file, at, nullptr, FILE_BEGIN) || !ReadFile(file, magic, sizeof(magic), &done, nullptr)) {
        error = ErrorOr(GetLastError(), ERROR_READ_FAULT);
    } else if (done != sizeof(magic) || (memcmp(magic, MARKER_TAIL_MAGIC, sizeof(magic)) != 0 &&
                                         memcmp(magic, MARKER_TAIL_V2_MAGIC, sizeof(magic)) != 0)) {
        error = ERROR_NOT_SUPPORTED;
    } else {
        int32_t recorded = 1;
        at.QuadPart = sizeof(ResumeRecord) + offsetof(MarkerTail, recorded);
        if (!SetFilePointerEx(file, at, nullptr, FILE_BEGIN) ||
            !WriteFile(file, &recorded, sizeof(recorded), &done, nullptr) || done != sizeof(recorded) ||
            !FlushFileBuffers(file))
            error = ErrorOr(GetLastError(), ERROR_WRITE_FAULT);
    }
    CloseHandle(file);
    return error;
}

DWORD DeleteMarkerFile(const char* path) {
    if (!path || !path[0]) return 0;
    if (DeleteFileA(path)) return 0;
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return 0;
    // A read-only marker would report the same power cycle at every start.
    DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY) &&
        SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL) && DeleteFileA(path))
        return 0;
    return ErrorOr(GetLastError(), error);
}
