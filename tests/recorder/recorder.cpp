// A program that only records that it ran: it appends one line to the file
// named like itself with ".ran" added, beside itself. The engine starts
// external programs without a command line, so the file name is all it has.
#include <windows.h>
#include <stdio.h>

int main() {
    char path[MAX_PATH + 8];
    DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return 2;
    snprintf(path + length, sizeof(path) - length, ".ran");
    FILE* file = fopen(path, "a");
    if (!file) return 3;
    SYSTEMTIME now;
    GetLocalTime(&now);
    fprintf(file, "ran %02d:%02d:%02d.%03d pid %lu\n", now.wHour, now.wMinute, now.wSecond, now.wMilliseconds,
            (unsigned long)GetCurrentProcessId());
    fclose(file);
    return 0;
}
