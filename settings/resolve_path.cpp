// Completing a user-given path against the executable's folder.
#include <stdio.h>
#include <string.h>
#include "settings/settings.h"

static bool IsAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// True when the file exists and opens for reading, or can be created. A file that
// had to be created for the test is removed again; an existing file is never
// truncated (it is opened for appending, not rewritten).
static bool CanUseFile(const char* path) {
    FILE* file = fopen(path, "rb");
    if (file) {
        fclose(file);
        return true;
    }
    bool existed = GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
    file = fopen(path, "ab");
    if (!file) return false;
    fclose(file);
    if (!existed) DeleteFileA(path);
    return true;
}

bool ResolveFilePath(char* out, size_t outSize, const char* in) {
    if (!in || in[0] == '\0') {
        if (out && outSize > 0) out[0] = '\0';
        return false;
    }
    char folder[512];
    GetExecutableFolder(nullptr, folder, sizeof(folder));

    bool quoted = in[0] == '"';
    char path[512];
    const char* tail = "";
    if (quoted) {
        const char* start = in + 1;
        const char* close = strchr(start, '"');
        size_t length = close ? (size_t)(close - start) : strlen(start);
        if (close) tail = close;
        snprintf(path, sizeof(path), "%.*s", (int)length, start);
    } else {
        snprintf(path, sizeof(path), "%s", in);
    }

    char completed[1024];
    if (path[0] != '\0' && path[1] == ':') {
        snprintf(completed, sizeof(completed), "%s", path);
    } else if (path[0] == '\\') {
        char drive = IsAsciiLetter(folder[0]) && folder[1] == ':' ? folder[0] : 'C';
        snprintf(completed, sizeof(completed), "%c:%s", drive, path);
    } else {
        snprintf(completed, sizeof(completed), "%s\\%s", folder, path);
    }

    bool answer = CanUseFile(completed);
    if (out && outSize > 0) snprintf(out, outSize, "%s%s%s", quoted ? "\"" : "", completed, tail);
    return answer;
}

unsigned long MakeFolderOf(const char* fullPath, char* failed, size_t failedSize) {
    if (failed && failedSize) failed[0] = '\0';
    char folder[MAX_PATH + 1];
    int length = snprintf(folder, sizeof(folder), "%s", fullPath ? fullPath : "");
    if (length <= 0 || length >= (int)sizeof(folder)) return ERROR_FILENAME_EXCED_RANGE;
    char* name = strrchr(folder, '\\');
    if (!name) return 0;
    *name = '\0';
    // The root ("C:" or "\\server\share") is never made; each folder below it is, in turn.
    char* next = folder;
    if (folder[0] == '\\' && folder[1] == '\\') {
        next = strchr(folder + 2, '\\');
        next = next ? strchr(next + 1, '\\') : nullptr;
    } else if (IsAsciiLetter(folder[0]) && folder[1] == ':') {
        next = strchr(folder, '\\');
    } else {
        next = nullptr;
    }
    while (next) {
        char* end = strchr(next + 1, '\\');
        if (end) *end = '\0';
        DWORD attributes = GetFileAttributesA(folder);
        if (attributes == INVALID_FILE_ATTRIBUTES && !CreateDirectoryA(folder, nullptr) &&
            GetLastError() != ERROR_ALREADY_EXISTS) {
            DWORD error = GetLastError();
            if (failed && failedSize) snprintf(failed, failedSize, "%s", folder);
            return error;
        }
        if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            if (failed && failedSize) snprintf(failed, failedSize, "%s", folder);
            return ERROR_DIRECTORY;
        }
        if (!end) break;
        *end = '\\';
        next = end;
    }
    return 0;
}
