// The results file and the run report on the disk: each record appended and
// forced to the device before the program goes on, each page put in place whole.
#include <windows.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <string>
#include "results/results.h"

unsigned long AppendResultLine(const char* path, const char* line) {
    if (!path || !path[0]) return ERROR_INVALID_NAME;
    HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return GetLastError();
    LARGE_INTEGER before;
    DWORD error = 0;
    if (!GetFileSizeEx(file, &before)) {
        error = GetLastError();
        CloseHandle(file);
        return error;
    }
    // A last line cut by a power loss while it was written gets its line end
    // first: the new record must stand on a line of its own, not be glued to it.
    std::string text;
    if (before.QuadPart > 0) {
        LARGE_INTEGER last;
        last.QuadPart = before.QuadPart - 1;
        char byte = '\n';
        DWORD got = 0;
        if (SetFilePointerEx(file, last, nullptr, FILE_BEGIN) && ReadFile(file, &byte, 1, &got, nullptr) && got == 1 &&
            byte != '\n')
            text = "\n";
    }
    text += line;
    DWORD length = (DWORD)text.size();
    DWORD written = 0;
    LARGE_INTEGER end;
    end.QuadPart = 0;
    if (!SetFilePointerEx(file, end, nullptr, FILE_END) || !WriteFile(file, text.data(), length, &written, nullptr)) {
        error = GetLastError();
    } else if (written != length) {
        error = ERROR_DISK_FULL;
    }
    if (error != 0) {
        // A torn line would make the file unreadable for a JSON reader: put
        // the file back as it was.
        if (SetFilePointerEx(file, before, nullptr, FILE_BEGIN)) SetEndOfFile(file);
    } else if (!FlushFileBuffers(file)) {
        error = GetLastError();
    }
    if (!CloseHandle(file) && error == 0) error = GetLastError();
    return error;
}

int WriteRunReport(const char* resultsPath, const char* reportPath, const ReportHeader* header) {
    if (!reportPath || !reportPath[0]) return ERROR_INVALID_NAME;
    char temporary[MAX_PATH + 8];
    int length = snprintf(temporary, sizeof(temporary), "%s.tmp", reportPath);
    if (length < 0 || (size_t)length >= sizeof(temporary)) return ERROR_FILENAME_EXCED_RANGE;
    std::vector<SleepRecord> records;
    int badLines = 0;
    int error = ReadResultsFile(resultsPath, &records, &badLines);
    // The C library's numbers as the system's codes the log reports.
    if (error == ENOENT) return ERROR_FILE_NOT_FOUND;
    if (error == EACCES) return ERROR_ACCESS_DENIED;
    if (error != 0) return ERROR_READ_FAULT;
    std::string page;
    BuildRunReport(header, resultsPath, records.data(), (int)records.size(), badLines, &page);
    HANDLE file = CreateFileA(temporary, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return (int)GetLastError();
    DWORD written = 0;
    if (!WriteFile(file, page.data(), (DWORD)page.size(), &written, nullptr))
        error = (int)GetLastError();
    else if (written != page.size())
        error = ERROR_DISK_FULL;
    // The page is on the device before it takes the old one's place.
    if (error == 0 && !FlushFileBuffers(file)) error = (int)GetLastError();
    if (!CloseHandle(file) && error == 0) error = (int)GetLastError();
    if (error == 0 && !MoveFileExA(temporary, reportPath, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        error = (int)GetLastError();
    if (error != 0) DeleteFileA(temporary);
    return error;
}
