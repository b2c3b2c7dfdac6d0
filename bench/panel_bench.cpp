// Cost of one LogMessage with the main window up: ring, log file and panel
// redraw. One thread (the window's own: every line redraws at once) and three
// other threads (lines coalesce into one redraw by the window thread). Run by
// hand under Wine (see README.md).
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <atomic>
#include <thread>
#include <vector>
#include "app/app.h"
#include "log/log.h"
#include "res/resource.h"
#include "settings/settings.h"
#include "bench/bench_clock.h"
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

static const char TEXT[] = "Going to sleep, S3, Unforced, Duration 30sec";

// Lines logged by the window's thread; returns microseconds per call.
static double OneThread(int lines) {
    char text[128];
    double start = Seconds();
    for (int n = 0; n < lines; n++) {
        snprintf(text, sizeof(text), "%s (%d)", TEXT, n);
        LogMessage(text, n % 7 == 0 ? LOG_WARNING : LOG_INFO);
    }
    return (Seconds() - start) * 1e6 / lines;
}

// Three threads log while the window thread keeps its message loop going.
// Returns microseconds per call as the logging threads see it; *catchUp gets
// the time from the last call to the panel showing the newest line.
static double ThreeThreads(int linesPerThread, double* catchUp, int* redraws) {
    std::atomic<int> running(3);
    std::vector<std::thread> threads;
    std::vector<double> perCall(3);
    for (int t = 0; t < 3; t++) {
        threads.emplace_back([t, linesPerThread, &running, &perCall] {
            char text[128];
            double start = Seconds();
            for (int n = 0; n < linesPerThread; n++) {
                snprintf(text, sizeof(text), "Thread %d: %s (%d)", t, TEXT, n);
                LogMessage(text, LOG_INFO);
            }
            perCall[t] = (Seconds() - start) * 1e6 / linesPerThread;
            running--;
        });
    }
    *redraws = 0;
    MSG message;
    while (running > 0) {
        // Woken by the panel's message, as the message loop would be.
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_ALLINPUT);
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_LOG_PANEL_UPDATE) ++*redraws;
            DispatchMessageA(&message);
        }
    }
    double last = Seconds();
    for (auto& thread : threads) thread.join();
    int count = theLogger->GetLineCount();
    int target = count > LOG_VISIBLE_ROWS ? count - LOG_VISIBLE_ROWS : 0;
    while (gLogFirstRow != target || GetScrollPos(gLogScrollBar, SB_CTL) != target) {
        if (!PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            Sleep(0);
            continue;
        }
        if (message.message == WM_LOG_PANEL_UPDATE) ++*redraws;
        DispatchMessageA(&message);
    }
    *catchUp = (Seconds() - last) * 1e6;
    return (perCall[0] + perCall[1] + perCall[2]) / 3;
}

int main(int argc, char** argv) {
    double scale = argc > 1 ? atof(argv[1]) : 1.0;
    if (scale <= 0) scale = 1.0;
    gAppInstance = GetModuleHandleA(nullptr);
    theConfig = new Config(gAppInstance);
    theConfig->settings.logLevel = 0;
    char path[MAX_PATH];
    GetTempPathA(sizeof(path), path);
    strncat(path, "vesplin_panel_bench.log", sizeof(path) - strlen(path) - 1);
    SetConfigText(theConfig->settings.logFilePath, path);
    theLogger = new Logger();
    gMainWindow = CreateDialogParamA(gAppInstance, MAKEINTRESOURCEA(IDD_MAIN), nullptr, MainDialogProc, 0);
    if (!gMainWindow) {
        fprintf(stderr, "no window: the benchmark needs the program's resources\n");
        return 1;
    }
    InitMainWindow(gMainWindow);
    ShowWindow(gMainWindow, SW_SHOWNORMAL);
    Pump();

    for (int file = 0; file <= 1; file++) {
        theConfig->settings.logToFile = (uint8_t)file;
        DeleteFileA(path);
        const char* name = file ? "file on " : "file off";
        int lines = (int)((file ? 300 : 600) * scale);
        if (lines < 10) lines = 10;
        if (!file) {
            // While the ring fills, every line also moves the scroll range.
            double filling = OneThread(LOG_CAPACITY - 1);
            printf("1 thread (window thread), %s, ring filling: %8.1f us per LogMessage (%d lines)\n", name, filling,
                   LOG_CAPACITY - 1);
        }
        double one = OneThread(lines);
        printf("1 thread (window thread), %s, ring full:    %8.1f us per LogMessage (%d lines)\n", name, one, lines);
        double catchUp = 0;
        int redraws = 0;
        int perThread = (int)((file ? 1000 : 20000) * scale);
        if (perThread < 10) perThread = 10;
        double three = ThreeThreads(perThread, &catchUp, &redraws);
        printf("3 threads,                %s, ring full:     %8.1f us per LogMessage (%d lines each), %d redraws, panel on the newest "
               "line %.0f us after the last call\n",
               name, three, perThread, redraws, catchUp);
        fflush(stdout);
    }
    DestroyWindow(gMainWindow);
    DeleteFileA(path);
    delete theLogger;
    delete theConfig;
    return 0;
}
