// The results file and the run report on the disk: each record appended and
// forced to the device before the program goes on, each page put in place whole.
#include <windows.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <string>
#include "results/results.h"

// Writes text at offset `at`, the file cut there first, and forces it to the
// device; 0 when done, otherwise the system's error code.
static DWORD WriteTextAt(HANDLE file, LONGLONG at, const std::string& text) {
    LARGE_INTEGER where;
    where.QuadPart = at;
    if (!SetFilePointerEx(file, where, nullptr, FILE_BEGIN) || !SetEndOfFile(file)) return GetLastError();
    DWORD written = 0;
    if (!WriteFile(file, text.data(), (DWORD)text.size(), &written, nullptr)) return GetLastError();
    if (written != text.size()) return ERROR_DISK_FULL;
    return FlushFileBuffers(file) ? 0 : GetLastError();
}

static HANDLE OpenResultsFile(const char* path, DWORD disposition, LONGLONG* size) {
    HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, disposition,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return file;
    LARGE_INTEGER length;
    if (!GetFileSizeEx(file, &length)) {
        DWORD error = GetLastError();
        CloseHandle(file);
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    *size = length.QuadPart;
    return file;
}

static bool ReadAt(HANDLE file, LONGLONG at, char* bytes, DWORD count) {
    LARGE_INTEGER where;
    where.QuadPart = at;
    DWORD got = 0;
    return SetFilePointerEx(file, where, nullptr, FILE_BEGIN) && ReadFile(file, bytes, count, &got, nullptr) &&
           got == count;
}

unsigned long AppendResultLine(const char* path, const char* line) {
    if (!path || !path[0]) return ERROR_INVALID_NAME;
    LONGLONG size = 0;
    HANDLE file = OpenResultsFile(path, OPEN_ALWAYS, &size);
    if (file == INVALID_HANDLE_VALUE) return GetLastError();
    // A last line cut by a power loss while it was written gets its line end
    // first: the new record must stand on a line of its own, not be glued to it.
    std::string text;
    char last = '\n';
    if (size > 0 && ReadAt(file, size - 1, &last, 1) && last != '\n') text = "\n";
    text += line;
    DWORD error = WriteTextAt(file, size, text);
    // A torn line would make the file unreadable for a JSON reader: put the
    // file back as it was.
    if (error != 0) WriteTextAt(file, size, "");
    if (!CloseHandle(file) && error == 0) error = GetLastError();
    return error;
}

// Where the file's last line begins (after the last line end before its final
// byte), with the line's bytes; false when it is longer than any record.
static bool FindLastLine(HANDLE file, LONGLONG size, LONGLONG* start, std::string* bytes) {
    LONGLONG from = size > RESULT_LINE_SIZE + 1 ? size - (RESULT_LINE_SIZE + 1) : 0;
    bytes->assign((size_t)(size - from), '\0');
    if (size > from && !ReadAt(file, from, &(*bytes)[0], (DWORD)bytes->size())) return false;
    size_t end = bytes->empty() ? 0 : bytes->size() - 1;
    size_t lineEnd = end == 0 ? std::string::npos : bytes->rfind('\n', end - 1);
    if (lineEnd == std::string::npos) {
        if (from > 0) return false;
        *start = 0;
        return true;
    }
    *start = from + (LONGLONG)lineEnd + 1;
    bytes->erase(0, lineEnd + 1);
    return true;
}

// The results file with its last line replaced by line.
static DWORD PutLastLine(const char* path, const std::string& line) {
    LONGLONG size = 0;
    HANDLE file = OpenResultsFile(path, OPEN_EXISTING, &size);
    if (file == INVALID_HANDLE_VALUE) return GetLastError();
    LONGLONG start = 0;
    std::string old;
    bool found = FindLastLine(file, size, &start, &old);
    DWORD error = found ? WriteTextAt(file, start, line) : ERROR_INVALID_DATA;
    // The old line back rather than none: the file never loses a sleep.
    if (error != 0 && found) WriteTextAt(file, start, old);
    if (!CloseHandle(file) && error == 0) error = GetLastError();
    return error;
}

static bool PendingPath(const char* path, char* out, size_t outSize) {
    int length = snprintf(out, outSize, "%s.pending", path ? path : "");
    return path && path[0] && length > 0 && (size_t)length < outSize;
}

unsigned long ReplaceLastResultLine(const char* path, const char* line) {
    char pending[MAX_PATH + 16];
    if (!PendingPath(path, pending, sizeof(pending))) return ERROR_FILENAME_EXCED_RANGE;
    // The new line is on the device before the old one is cut: a power loss
    // between the two leaves it for the next start to put in place.
    HANDLE file = CreateFileA(pending, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return GetLastError();
    DWORD error = WriteTextAt(file, 0, line);
    if (!CloseHandle(file) && error == 0) error = GetLastError();
    if (error == 0) error = PutLastLine(path, line);
    DeleteFileA(pending);
    return error;
}

unsigned long RestorePendingResultLine(const char* path, bool* restored) {
    if (restored) *restored = false;
    char pending[MAX_PATH + 16];
    if (!PendingPath(path, pending, sizeof(pending))) return 0;
    HANDLE file = CreateFileA(pending, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? 0 : error;
    }
    std::string line(RESULT_LINE_SIZE + 1, '\0');
    DWORD got = 0;
    DWORD error = ReadFile(file, &line[0], (DWORD)line.size(), &got, nullptr) ? 0 : GetLastError();
    CloseHandle(file);
    if (error != 0) return error;
    line.resize(got);
    // Only a whole line is put in place; one cut while it was written is dropped
    // and the line it was to replace stays.
    bool whole = !line.empty() && line.size() <= RESULT_LINE_SIZE && line.find('\n') == line.size() - 1;
    if (whole) error = PutLastLine(path, line);
    if (error == 0) {
        if (restored) *restored = whole;
        if (!DeleteFileA(pending)) error = GetLastError();
    }
    return error;
}

// The C library's numbers as the system's codes the log reports.
static int SystemError(int error) {
    if (error == ENOENT) return ERROR_FILE_NOT_FOUND;
    if (error == EACCES) return ERROR_ACCESS_DENIED;
    return error != 0 ? ERROR_READ_FAULT : 0;
}

int ReadRunDigest(const char* resultsPath, ReportDigest* digest) {
    return SystemError(ReadResultsDigest(resultsPath, digest));
}

int ReplaceFileWhole(const char* path, const std::string& text) {
    if (!path || !path[0]) return ERROR_INVALID_NAME;
    char temporary[MAX_PATH + 8];
    int length = snprintf(temporary, sizeof(temporary), "%s.tmp", path);
    if (length < 0 || (size_t)length >= sizeof(temporary)) return ERROR_FILENAME_EXCED_RANGE;
    HANDLE file = CreateFileA(temporary, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return (int)GetLastError();
    int error = 0;
    DWORD written = 0;
    if (!WriteFile(file, text.data(), (DWORD)text.size(), &written, nullptr))
        error = (int)GetLastError();
    else if (written != text.size())
        error = ERROR_DISK_FULL;
    // The new file is on the device before it takes the old one's place: a
    // power loss leaves one whole file or the other.
    if (error == 0 && !FlushFileBuffers(file)) error = (int)GetLastError();
    if (!CloseHandle(file) && error == 0) error = (int)GetLastError();
    if (error == 0 && !MoveFileExA(temporary, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        error = (int)GetLastError();
    if (error != 0) DeleteFileA(temporary);
    return error;
}

int WriteRunReport(const char* resultsPath, const char* reportPath, const ReportHeader* header) {
    if (!reportPath || !reportPath[0]) return ERROR_INVALID_NAME;
    ReportDigest digest;
    int error = ReadRunDigest(resultsPath, &digest);
    if (error != 0) return error;
    std::string page;
    BuildRunReport(header, resultsPath, digest, &page);
    return ReplaceFileWhole(reportPath, page);
}
