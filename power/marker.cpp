// The marker file "sleepflag": written and forced to the device just before
// every sleep, deleted after the wake. Found at start-up, it tells of a sleep
// that never ended, and holds what the run needs to go on.
#include <stdio.h>
#include <string.h>
#include <time.h>
#include "power/power.h"

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
        snprintf(gMarkerTail.resultsPath, sizeof(gMarkerTail.resultsPath), "%s", gResultsPath);
        ok = WriteFile(file, &gMarkerTail, sizeof(gMarkerTail), &written, nullptr) && written == sizeof(gMarkerTail);
    }
    if (ok && memcmp(gMarkerRun.magic, MARKER_RUN_MAGIC, sizeof(gMarkerRun.magic)) == 0) {
        gMarkerRun.tally = gRunTally;
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

bool ParseMarkerFile(const void* bytes, size_t length, MarkerContents* out) {
    const unsigned char* data = (const unsigned char*)bytes;
    out->positionBytes = length < sizeof(out->position) ? length : sizeof(out->position);
    // A short file fills only what it holds; the rest of the position stays as the caller had it.
    memcpy(&out->position, data, out->positionBytes);
    out->haveTail = false;
    out->haveRun = false;
    memset(&out->tail, 0, sizeof(out->tail));
    memset(&out->run, 0, sizeof(out->run));
    if (length < sizeof(ResumeRecord) + sizeof(MarkerTail)) return out->positionBytes == sizeof(out->position);
    size_t rest = length - sizeof(ResumeRecord);
    const unsigned char* tail = data + sizeof(ResumeRecord);
    // A tail alone is what a window run, or an older build, leaves.
    if (rest == sizeof(MarkerTail)) {
        out->haveTail = ParseMarkerTail(tail, sizeof(MarkerTail), &out->tail);
    } else if (rest == sizeof(MarkerTail) + sizeof(MarkerRun)) {
        out->haveTail = ParseMarkerTail(tail, sizeof(MarkerTail), &out->tail);
        MarkerRun run;
        memcpy(&run, tail + sizeof(MarkerTail), sizeof(run));
        out->haveRun = out->haveTail && ParseMarkerRun(&run, &out->run);
    }
    return true;
}

bool ParseMarkerRun(const MarkerRun* in, MarkerRun* out) {
    memset(out, 0, sizeof(*out));
    if (memcmp(in->magic, MARKER_RUN_MAGIC, sizeof(in->magic)) != 0) return false;
    if (memcmp(in->settings.magic, "SLPDAT", 7) != 0) return false;
    if (!memchr(in->logFilePath, '\0', sizeof(in->logFilePath)) || !memchr(in->reportPath, '\0', sizeof(in->reportPath)) ||
        !memchr(in->commandLine, '\0', sizeof(in->commandLine)))
        return false;
    if (in->tally.sleeps < 0 || in->tally.failed < 0 || in->tally.recordsLost < 0 ||
        in->tally.failed > in->tally.sleeps)
        return false;
    *out = *in;
    // Texts of the settings come from a file: each is kept terminated.
    ConfigRecord& s = out->settings;
    char* texts[] = {s.productName, s.versionText, s.logFilePath, s.appBetweenSleepsPath, s.appAfterLastCyclePath};
    for (char* text : texts) text[CONFIG_TEXT_MAX] = '\0';
    return true;
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
