// The configuration dialog's file requests, behind one small function.
#include <stdio.h>
#include <string.h>
#include <windows.h>
#include <commdlg.h>
#include "settings/settings.h"
#include "ui/ui.h"

static const FileRequest FILE_REQUESTS[FILE_REQUEST_COUNT] = {
    {true, "Save file", "Sleep config files (*.dat)\0*.dat\0",
     OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT, "dat"},
    {false, "Load file", "Sleep config files (*.dat)\0*.dat\0", OFN_PATHMUSTEXIST | OFN_HIDEREADONLY, "dat"},
    {true, "Save file", "Sleep log files (*.log)\0*.log\0", OFN_PATHMUSTEXIST | OFN_HIDEREADONLY, "log"},
    {false, "Open file", "Program (*.*)\0*.*\0", OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY, nullptr},
    {false, "Open file", "Program (*.*)\0*.*\0", OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY, nullptr},
};

const FileRequest* GetFileRequest(int kind) {
    if (kind < 0 || kind >= FILE_REQUEST_COUNT) return nullptr;
    return &FILE_REQUESTS[kind];
}

bool AskForFileWithCommonDialog(HWND owner, const FileRequest* request, char* path, size_t pathSize) {
    if (!request || !path || pathSize == 0) return false;
    char chosen[512] = "";
    OPENFILENAMEA ofn;
    memset(&ofn, 0, sizeof(ofn));
    ofn.lStructSize = sizeof(ofn);
    ofn.hwndOwner = owner;
    ofn.lpstrFilter = request->filter;
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = chosen;
    ofn.nMaxFile = sizeof(chosen);
    ofn.lpstrTitle = request->title;
    ofn.Flags = request->flags;
    ofn.lpstrDefExt = request->defaultExtension;
    BOOL ok = request->save ? GetSaveFileNameA(&ofn) : GetOpenFileNameA(&ofn);
    if (!ok || chosen[0] == '\0') return false;
    // A path that does not fit the caller's buffer is not handed back cut.
    if (strlen(chosen) >= pathSize) return false;
    snprintf(path, pathSize, "%s", chosen);
    return true;
}

AskForFileFunction gAskForFile = AskForFileWithCommonDialog;
