// The Logger: a ring of the most recent timestamped lines and the log file.
#include <errno.h>
#include <direct.h>
#include <new>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include "log/log.h"

Logger* theLogger = nullptr;

static const char ALLOC_MESSAGE[] =
    "Could not allocate memory for the output log.\n"
    "Your system may be out of memory, or your indexer settings are requiring too much memory.";
static const char APPEND_CAPTION[] = "Vesplin: Error writing log file";
static const char CREATE_CAPTION[] = "Vesplin: Error creating log file";

// Copies at most outSize - 1 bytes of text and terminates.
static void CopyBounded(char* out, size_t outSize, const char* text) {
    if (outSize == 0) return;
    size_t length = strnlen(text, outSize - 1);
    memcpy(out, text, length);
    out[length] = '\0';
}

// Appends text to the string in out, cut to what fits in outSize bytes.
static void AppendBounded(char* out, size_t outSize, const char* text) {
    size_t used = strnlen(out, outSize);
    if (used + 1 >= outSize) return;
    CopyBounded(out + used, outSize - used, text);
}

void FormatLogTimestamp(const SYSTEMTIME* st, char* out, size_t outSize) {
    char date[256] = "";
    char time[256] = "";
    if (GetDateFormatA(0, 0, st, "yyyy-MMM-dd", date, sizeof(date)) == 0) date[0] = '\0';
    if (GetTimeFormatA(0, 0, st, "HH':'mm':'ss", time, sizeof(time)) == 0) time[0] = '\0';
    if (outSize == 0) return;
    snprintf(out, outSize, "%s %s ", date, time);
}

void CleanLogText(char* text) {
    for (; *text; ++text) {
        if ((signed char)*text < 32) *text = ' ';
    }
}

Logger::Logger() {
    capacity = LOG_CAPACITY;
    filePath_[0] = '\0';
    toFile_ = false;
    logFile = nullptr;
    warningDepth_ = 0;
    missedLines_ = 0;
    episodeReported_ = false;
    lineSlots = new (std::nothrow) char[(size_t)LOG_CAPACITY * LOG_LINE_SIZE];
    lineLevels = (int*)malloc(sizeof(int) * LOG_CAPACITY);
    if (!lineSlots || !lineLevels) {
        delete[] lineSlots;
        free(lineLevels);
        throw ALLOC_MESSAGE;
    }
    memset(lineSlots, 0, (size_t)LOG_CAPACITY * LOG_LINE_SIZE);
    memset(lineLevels, 0, sizeof(int) * LOG_CAPACITY);
    writePos = 0;
    oldestPos = 0;
    lineCount = 0;
    InitializeCriticalSection(&lock_);
}

Logger::~Logger() {
    CloseLogFile();
    delete[] lineSlots;
    free(lineLevels);
    DeleteCriticalSection(&lock_);
}

// One recursive lock serialises adds, file operations and copies: waiting
// threads queue instead of polling, and a thread that logs again while it
// shows a warning box (its message loop runs inside the lock) goes straight in.
void Logger::Lock() { EnterCriticalSection(&lock_); }
void Logger::Unlock() { LeaveCriticalSection(&lock_); }

void Logger::AddLine(const char* text, int level) {
    char clean[LOG_LINE_SIZE + 1];
    CopyBounded(clean, sizeof(clean), text ? text : "");
    CleanLogText(clean);
    AddCleanLine(clean, level);
}

void Logger::SetLogFile(const char* path, bool toFile) {
    Lock();
    CopyBounded(filePath_, sizeof(filePath_), path ? path : "");
    toFile_ = toFile;
    Unlock();
}

bool Logger::IsLoggingToFile(char* path, size_t pathSize) {
    Lock();
    bool toFile = toFile_ && filePath_[0] != '\0';
    if (path && pathSize > 0) CopyBounded(path, pathSize, toFile ? filePath_ : "");
    Unlock();
    return toFile;
}

void Logger::AddCleanLine(const char* text, int level) {
    Lock();
    // The time is read inside the lock, so stored lines never go back in time.
    SYSTEMTIME now;
    GetLocalTime(&now);
    char line[LOG_LINE_SIZE];
    FormatLogTimestamp(&now, line, sizeof(line));
    AppendBounded(line, sizeof(line), text);

    // The ring is complete before the file is touched: a line logged by this
    // thread while an append warning box runs its message loop finds it consistent.
    memcpy(lineSlots + (size_t)writePos * LOG_LINE_SIZE, line, strlen(line) + 1);
    lineLevels[writePos] = level;
    int next = writePos + 1 >= capacity ? 0 : writePos + 1;
    __atomic_store_n(&writePos, next, __ATOMIC_RELEASE);
    if (next == oldestPos) __atomic_store_n(&oldestPos, oldestPos + 1 >= capacity ? 0 : oldestPos + 1, __ATOMIC_RELEASE);
    if (lineCount < capacity - 1) __atomic_store_n(&lineCount, lineCount + 1, __ATOMIC_RELEASE);

    WriteLineToFile(line);
    Unlock();
}

const char* Logger::GetLine(int index, int* level) {
    if (level) *level = 0;
    if (index >= capacity || index <= -capacity) return nullptr;
    int slot;
    if (index >= 0) {
        slot = oldestPos + index;
        if (slot >= capacity) slot -= capacity;
    } else {
        slot = writePos + index;
        if (slot < 0) slot += capacity;
    }
    const char* text = lineSlots + (size_t)slot * LOG_LINE_SIZE;
    if (text[0] == '\0') return nullptr;
    if (level) *level = lineLevels[slot];
    return text;
}

bool Logger::CopyLine(int index, char* out, size_t outSize, int* level) {
    Lock();
    const char* text = GetLine(index, level);
    if (out && outSize > 0) CopyBounded(out, outSize, text ? text : "");
    Unlock();
    return text != nullptr;
}

int Logger::GetLineCount() { return __atomic_load_n(&lineCount, __ATOMIC_ACQUIRE); }

// Shows an append warning unless this thread is already showing one: a line
// logged from inside the box's message loop must not stack up boxes.
static void ShowAppendWarning(int* depth, const char* text) {
    if (*depth > 0) return;
    ++*depth;
    MessageBoxA(nullptr, text, APPEND_CAPTION, MB_OK | MB_ICONWARNING);
    --*depth;
}

// A line that did not reach the file stays in the ring. A full disk would
// otherwise raise a box for every line: one box tells of the whole episode,
// and an unattended run shows none.
void Logger::ReportMissedLine(const char* message) {
    missedLines_++;
    if (episodeReported_) return;
    episodeReported_ = true;
    if (!IsUnattended()) ShowAppendWarning(&warningDepth_, message);
}

void Logger::WriteLineToFile(const char* line) {
    Lock();
    if (!toFile_) {
        Unlock();
        return;
    }
    if (logFile) {
        fflush(logFile);
        fclose(logFile);
        logFile = nullptr;
    }
    char path[256];
    CopyBounded(path, sizeof(path), filePath_);
    logFile = fopen(path, "at");
    if (!logFile) {
        int error = errno;
        char message[600];
        snprintf(message, sizeof(message), "Error opening \"%s\" for writing.\nError No. %d", path, error);
        ReportMissedLine(message);
        Unlock();
        return;
    }
    // Writing works again: the file says how many lines it lacks, just where they are missing.
    int missedBefore = missedLines_;
    if (missedBefore > 0) {
        SYSTEMTIME now;
        GetLocalTime(&now);
        char note[LOG_LINE_SIZE];
        FormatLogTimestamp(&now, note, sizeof(note));
        char text[160];
        snprintf(text, sizeof(text), "%d log lines could not be written to this file and are missing here",
                 missedBefore);
        AppendBounded(note, sizeof(note), text);
        fprintf(logFile, "%s\n", note);
    }
    int written = fprintf(logFile, "%s\n", line ? line : "");
    int error = errno;
    // A line that only failed on its way out of the buffer is lost just the same.
    bool failed = written < 0;
    if (fflush(logFile) != 0 && !failed) {
        failed = true;
        error = errno;
    }
    if (fclose(logFile) != 0 && !failed) {
        failed = true;
        error = errno;
    }
    logFile = nullptr;
    if (failed) {
        char message[100];
        snprintf(message, sizeof(message), "Error writing to log file.\nError No. %d", error);
        ReportMissedLine(message);
    } else {
        missedLines_ = 0;
        episodeReported_ = false;
    }
    Unlock();
}

int Logger::CloseLogFile() {
    Lock();
    int result = 0;
    if (logFile) {
        fflush(logFile);
        result = fclose(logFile);
        logFile = nullptr;
    }
    Unlock();
    return result;
}

// A fatal end of OpenLogFile: the user reads why, then the process ends with
// the system's error code of the failed open; an automatic-exit run ends with
// the code of a run that could not start, which its contract reads. Nothing else runs.
[[noreturn]] static void FailLogFile(DWORD exitCode, const char* format, ...) __attribute__((format(printf, 2, 3)));
static void FailLogFile(DWORD exitCode, const char* format, ...) {
    char message[1200];
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof(message), format, args);
    va_end(args);
    ShowMessageBox(nullptr, message, CREATE_CAPTION, MB_OK | MB_ICONWARNING, IDOK);
    ExitProcess(IsUnattended() ? (DWORD)EXIT_RUN_NOT_STARTED : exitCode);
}

enum PathForm { PATH_DRIVE, PATH_UNC, PATH_OTHER };

#define MAX_PATH_COMPONENTS 31

// Makes sure the folder prefix exists, creating it when it is missing.
static void CheckLogFolder(const char* prefix, PathForm form, DWORD exitCode) {
    struct _stat status;
    if (_stat(prefix, &status) != 0) {
        if (_mkdir(prefix) != 0) {
            const char* format = form == PATH_DRIVE ? "Error making directory\n%s\nError: %s\n"
                                                    : "Error making directory\n%s\nError: %s";
            FailLogFile(exitCode, format, prefix, strerror(errno));
        }
    } else if ((status.st_mode & _S_IFMT) == _S_IFREG) {
        FailLogFile(exitCode,
                    "*%s* exist but is a file.  Vesplin cannot overwrite a file with\n"
                    "a folder of the same name.\n",
                    prefix);
    }
}

void Logger::OpenLogFile(const char* path, const char* mode) {
    Lock();
    char copy[512];
    CopyBounded(copy, sizeof(copy), path ? path : "");
    if (logFile) {
        fflush(logFile);
        fclose(logFile);
        logFile = nullptr;
    }
    if (copy[0] == '\0' || strlen(copy) >= 260 || !toFile_) {
        Unlock();
        return;
    }
    if (!mode) mode = "at";
    // Lines logged from now on go to the file opened here.
    CopyBounded(filePath_, sizeof(filePath_), copy);
    SetLastError(0);
    logFile = fopen(copy, mode);
    if (!logFile) {
        // The fatal ends exit with this code; a failure the system did not
        // explain (a bad mode) must still not end the process as a success.
        DWORD exitCode = GetLastError();
        if (exitCode == 0) exitCode = ERROR_GEN_FAILURE;
        int openError = errno;

        PathForm form;
        if (((copy[0] >= 'A' && copy[0] <= 'Z') || (copy[0] >= 'a' && copy[0] <= 'z')) && copy[1] == ':')
            form = PATH_DRIVE;
        else if (copy[0] == '\\' && copy[1] == '\\')
            form = PATH_UNC;
        else if (copy[0] == '.')
            FailLogFile(exitCode, "Error making directory\n%s\nRelative path not supported\n", copy);
        else
            form = PATH_OTHER;

        // The components, split in place at the backslashes; doubled
        // backslashes give no empty components.
        char parts[512];
        memcpy(parts, copy, sizeof(parts));
        const char* components[MAX_PATH_COMPONENTS];
        int count = 0;
        for (char* p = parts; *p && count < MAX_PATH_COMPONENTS;) {
            if (*p == '\\') {
                ++p;
                continue;
            }
            components[count++] = p;
            while (*p && *p != '\\') ++p;
            if (*p) *p++ = '\0';
        }

        // A drive without a name, or a server and share without one, has no
        // file to open: refused as an open that cannot be done.
        int minimum = form == PATH_DRIVE ? 2 : form == PATH_UNC ? 3 : 1;
        if (count < minimum) FailLogFile(exitCode, "Error opening log file\n%s\n%s\n", copy, strerror(openError));

        char rebuilt[512] = "";
        int firstFolder;
        if (form == PATH_DRIVE) {
            AppendBounded(rebuilt, sizeof(rebuilt), components[0]);
            firstFolder = 1;
        } else if (form == PATH_UNC) {
            AppendBounded(rebuilt, sizeof(rebuilt), "\\\\");
            AppendBounded(rebuilt, sizeof(rebuilt), components[0]);
            AppendBounded(rebuilt, sizeof(rebuilt), "\\");
            AppendBounded(rebuilt, sizeof(rebuilt), components[1]);
            firstFolder = 2;
        } else {
            firstFolder = 0;
        }
        for (int i = firstFolder; i < count - 1; ++i) {
            if (form != PATH_OTHER) AppendBounded(rebuilt, sizeof(rebuilt), "\\");
            AppendBounded(rebuilt, sizeof(rebuilt), components[i]);
            CheckLogFolder(rebuilt, form, exitCode);
            if (form == PATH_OTHER) AppendBounded(rebuilt, sizeof(rebuilt), "\\");
        }
        if (form != PATH_OTHER) AppendBounded(rebuilt, sizeof(rebuilt), "\\");
        AppendBounded(rebuilt, sizeof(rebuilt), components[count - 1]);

        logFile = fopen(rebuilt, mode);
        if (!logFile) FailLogFile(exitCode, "Error opening log file\n%s\n%s\n", rebuilt, strerror(errno));
    }
    fflush(logFile);
    fclose(logFile);
    logFile = nullptr;
    Unlock();
}
