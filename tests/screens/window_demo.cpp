// The main window as a user sees it during a run, with lines of every level in
// the log panel: the picture of the README is taken of this program (see
// scripts/screenshot.sh). It is not part of Vesplin.exe.
// Arguments: seconds to stay up, and a file that receives "x y width height"
// of the window once it is painted.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include "app/app.h"
#include "log/log.h"
#include "power/power.h"
#include "res/resource.h"
#include "settings/settings.h"
#include "results/results.h"
#include "ui/ui.h"

static void Pump() {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (!IsDialogMessageA(gMainWindow, &message)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    int seconds = __argc > 1 ? atoi(__argv[1]) : 30;
    const char* readyFile = __argc > 2 ? __argv[2] : nullptr;
    gAppInstance = instance;
    theLogger = new Logger();
    LoadEventLogApi();
    if (!LoadPowerApi()) return 1;
    QueryPowerCapabilities();
    theConfig = new Config(instance);
    theConfig->settings.logToFile = 0;
    theConfig->settings.logLevel = 1;  // Debug: debug lines show too
    theConfig->settings.useState[0] = 1;
    theConfig->settings.useState[3] = 1;

    gMainWindow = CreateDialogParamA(instance, MAKEINTRESOURCEA(IDD_MAIN), nullptr, MainDialogProc, 0);
    if (!gMainWindow) return 1;
    HICON icon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_VESPLIN));
    if (icon) SetClassLongPtrA(gMainWindow, GCLP_HICON, (LONG_PTR)icon);
    InitMainWindow(gMainWindow);

    // What a short run with one failure looks like.
    const char* rule = "**********************************************************************";
    LogMessage(rule, LOG_INFO);
    LogMessage("Vesplin V2.3 (Build: 1006), built on May 12 2010 11:19:14", LOG_INFO);
    LogDebug("Attempting to load powrprof.dll");
    LogMessage(rule, LOG_INFO);
    LogMessage("Going to sleep, S1, Unforced, Duration 30sec", LOG_INFO);
    LogDebug("Setting wake time at %s", "Tue May 18 14:02:31 2010");
    LogDebug("Waitable timer triggered.");
    LogMessage("Wake up from S1, Cycle 1", LOG_INFO);
    LogMessage("Sleep time OK 30sec", LOG_STATUS);
    LogMessage("Successfully left sleep state S1...", LOG_STATUS);
    LogMessage("About to enter sleep state S4...", LOG_INFO);
    LogMessage("Going to sleep, S4, Unforced, Duration 60sec", LOG_INFO);
    LogMessage("Wake up from S4, Cycle 1", LOG_INFO);
    LogMessage("Sleep time OK 61sec", LOG_STATUS);
    LogMessage("Successfully left sleep state S4...", LOG_STATUS);
    LogMessage(rule, LOG_INFO);
    LogMessage("About to start next cycle", LOG_INFO);
    LogMessage("Requested sleep state S3 is not supported on this machine", LOG_INFO);
    LogMessage("Attempting lighter Sleep S1, Duration 30 secs", LOG_INFO);
    LogMessage("Going to sleep, S1, Unforced, Duration 30sec", LOG_INFO);
    LogMessage("Wake up from S1, Cycle 1", LOG_INFO);
    LogMessage("Sleep time too long warning, Sleep time 41sec", LOG_WARNING);
    LogMessage("Successfully left sleep state S1...", LOG_STATUS);
    LogMessage("About to enter sleep state S4...", LOG_INFO);
    LogMessage("Going to sleep, S4, Unforced, Duration 60sec", LOG_INFO);
    LogDebug("SetSuspendState failed. Error code: %ld", 50L);
    LogMessage("Sleep error, Error code 50", LOG_ERROR);
    LogMessage("Cycle was stopped", LOG_INFO);

    SetWindowPos(gMainWindow, nullptr, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    ShowWindow(gMainWindow, SW_SHOWNORMAL);
    UpdateWindow(gMainWindow);
    for (int i = 0; i < 20; i++) {
        Pump();
        Sleep(50);
    }
    if (readyFile) {
        RECT rect;
        GetWindowRect(gMainWindow, &rect);
        FILE* file = fopen(readyFile, "w");
        if (file) {
            fprintf(file, "%ld %ld %ld %ld\n", rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top);
            fclose(file);
        }
    }
    DWORD end = GetTickCount() + (DWORD)seconds * 1000;
    while (IsWindow(gMainWindow) && (int)(end - GetTickCount()) > 0) {
        Pump();
        Sleep(50);
    }
    if (IsWindow(gMainWindow)) DestroyWindow(gMainWindow);
    ReleaseLogPanel();
    UnloadPowerApis();
    delete theConfig;
    delete theLogger;
    return 0;
}
