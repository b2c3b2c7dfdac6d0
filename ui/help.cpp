// The browser-based help pages in the HELP folder beside the executable.
#include <stdio.h>
#include <string.h>
#include "ui/ui.h"
// After windows.h, which it needs.
#include <shellapi.h>

bool GetHelpPagePath(const char* fileName, char* folder, size_t folderSize, char* page, size_t pageSize) {
    char executable[MAX_PATH + 1];
    DWORD length = GetModuleFileNameA(nullptr, executable, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return false;
    executable[length] = '\0';
    char* slash = strrchr(executable, '\\');
    if (slash) *slash = '\0';
    int written = snprintf(folder, folderSize, "%s\\HELP", executable);
    if (written < 0 || (size_t)written >= folderSize) return false;
    written = snprintf(page, pageSize, "%s\\%s", folder, fileName);
    return written >= 0 && (size_t)written < pageSize;
}

void OpenHelpFile(const char* fileName, HWND owner) {
    char folder[MAX_PATH + 1];
    char page[2 * MAX_PATH];
    INT_PTR result = 0;
    // The page is named by its full path: a bare name would be looked up in the
    // current folder, not in the help folder.
    if (GetHelpPagePath(fileName, folder, sizeof(folder), page, sizeof(page))) {
        result = (INT_PTR)ShellExecuteA(owner, "open", page, nullptr, folder, SW_SHOWMAXIMIZED);
    }
    if (result <= 32) {
        // Over the main window, whichever window asked: the asking dialog may be about to close.
        MessageBoxA(gMainWindow,
                    "Could not start your default internet browser\nto load the browser-based help files.",
                    "No default browser", MB_ICONWARNING | MB_OK);
    }
}
