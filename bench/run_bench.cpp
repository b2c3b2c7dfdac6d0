// Responsiveness of a run to Stop Cycle and Exit during its countdowns, and the
// processor time a countdown uses. Runs the real main window with Wine's own
// power library and manual wake (the sleeps return at once), by hand under
// Wine (see README.md). Arguments: [repetitions] [countdown seconds].
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <algorithm>
#include <vector>
#include "app/app.h"
#include "log/log.h"
#include "power/power.h"
#include "res/resource.h"
#include "settings/settings.h"
#include "bench/bench_clock.h"
#include "results/results.h"
#include "ui/ui.h"


static void OpenWindow() {
    gMainWindow = CreateDialogParamA(gAppInstance, MAKEINTRESOURCEA(IDD_MAIN), nullptr, MainDialogProc, 0);
    InitMainWindow(gMainWindow);
    ShowWindow(gMainWindow, SW_SHOWNORMAL);
    CheckDlgButton(gMainWindow, IDC_STATE_S1, BST_CHECKED);
    CheckDlgButton(gMainWindow, IDC_STATE_S2, BST_UNCHECKED);
    CheckDlgButton(gMainWindow, IDC_STATE_S3, BST_UNCHECKED);
    CheckDlgButton(gMainWindow, IDC_STATE_S4, BST_UNCHECKED);
}

static void Drain() {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message != WM_QUIT && !IsDialogMessageA(gMainWindow, &message)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
}

// The "user": presses a button of the main window after a delay, from another thread.
struct Press {
    HWND window;
    int control;
    DWORD delayMs;
    volatile double pressedAt;
};

static DWORD WINAPI PressLater(void* argument) {
    Press* press = static_cast<Press*>(argument);
    Sleep(press->delayMs);
    press->pressedAt = Seconds();
    PostMessageA(press->window, WM_COMMAND, MAKEWPARAM(press->control, BN_CLICKED),
                 (LPARAM)GetDlgItem(press->window, press->control));
    return 0;
}

enum Countdown { BETWEEN_STATES, BEFORE_FIRST_WINDOW, BEFORE_FIRST_COMMAND_LINE };

// One run, one press; returns milliseconds from the press to the run's return.
static double Measure(Countdown where, int control, DWORD delayMs) {
    OpenWindow();
    ConfigRecord& s = theConfig->settings;
    s.cycleCount = 2;
    s.cycleForever = 0;
    s.cycleIntervalSec = 30;
    s.firstSleepDelaySec = where == BETWEEN_STATES ? 0 : 30;
    Press press = {gMainWindow, control, delayMs, 0};
    HANDLE thread = CreateThread(nullptr, 0, PressLater, &press, 0, nullptr);
    // The run itself, as Sleep Now and start-up call it: what the Sleep Now
    // command does after the run has returned is not part of the figure.
    EnableWindow(GetDlgItem(gMainWindow, IDC_STOP_CYCLE), TRUE);
    if (where == BEFORE_FIRST_COMMAND_LINE) {
        StartCycleRunFromCommandLine();
    } else {
        StartRunFromMainWindow(gMainWindow);
    }
    double returned = Seconds();
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    double ms = (returned - press.pressedAt) * 1000.0;
    if (IsWindow(gMainWindow)) DestroyWindow(gMainWindow);
    Drain();
    gQuitRequested = 0;
    gStopRequested = 0;
    gPaused = 0;
    return ms;
}

static void Report(const char* what, int tickMs, std::vector<double> values) {
    std::sort(values.begin(), values.end());
    double sum = 0;
    for (double v : values) sum += v;
    printf("%-58s tick %3d ms: n=%zu  min %6.1f  mean %6.1f  max %6.1f ms\n", what, tickMs, values.size(),
           values.front(), sum / values.size(), values.back());
}

// Processor time of this process. Under Wine the Unix process's own account
// (/proc/self/stat, in clock ticks of 10 ms) is the reliable one; elsewhere
// GetProcessTimes.
static double ProcessCpuSeconds() {
    FILE* stat = fopen("Z:\\proc\\self\\stat", "rb");
    if (stat) {
        char text[1024] = "";
        size_t got = fread(text, 1, sizeof(text) - 1, stat);
        fclose(stat);
        text[got] = '\0';
        const char* rest = strrchr(text, ')');
        unsigned long long utime = 0, stime = 0;
        // Fields after the command: state, then 10 numbers, then utime and stime.
        if (rest && sscanf(rest + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime, &stime) == 2)
            return (double)(utime + stime) / 100.0;
    }
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    ULARGE_INTEGER k, u;
    k.LowPart = kernel.dwLowDateTime;
    k.HighPart = kernel.dwHighDateTime;
    u.LowPart = user.dwLowDateTime;
    u.HighPart = user.dwHighDateTime;
    return (double)(k.QuadPart + u.QuadPart) / 1e7;
}

static void CpuOfCountdown(int seconds, int tickMs) {
    OpenWindow();
    double cpuStart = ProcessCpuSeconds();
    double wallStart = Seconds();
    RunCountdown(seconds, tickMs, 1);
    double wall = Seconds() - wallStart;
    double cpu = ProcessCpuSeconds() - cpuStart;
    printf("countdown of %d s, tick %d ms: wall %.2f s, processor %.3f s = %.3f%% of one core\n", seconds, tickMs,
           wall, cpu, 100.0 * cpu / wall);
    DestroyWindow(gMainWindow);
    Drain();
    gQuitRequested = 0;  // set by the window's destruction
}

int main(int argc, char** argv) {
    int repetitions = argc > 1 ? atoi(argv[1]) : 10;
    int countdownSeconds = argc > 2 ? atoi(argv[2]) : 60;
    gAppInstance = GetModuleHandleA(nullptr);
    theLogger = new Logger();
    if (!LoadPowerApi()) return 1;
    QueryPowerCapabilities();
    theConfig = new Config(gAppInstance);
    ConfigRecord& s = theConfig->settings;
    s.logToFile = 0;
    s.logLevel = 0;
    s.sleepForever = 1;  // manual wake: under Wine the sleep then returns at once
    s.autoRestart = 0;
    s.fallbackMode = FALLBACK_FORCE;
    char configPath[MAX_PATH];
    GetTempPathA(sizeof(configPath), configPath);
    strncat(configPath, "vesplin_run_bench.dat", sizeof(configPath) - strlen(configPath) - 1);
    snprintf(theConfig->configFilePath, sizeof(theConfig->configFilePath), "%s", configPath);
    srand(12345);

    struct Case {
        const char* name;
        Countdown where;
        int control;
        int tickMs;
    } cases[] = {
        {"Stop Cycle, countdown between states (window run)", BETWEEN_STATES, IDC_STOP_CYCLE, COUNTDOWN_TICK_MS},
        {"Exit, countdown between states (window run)", BETWEEN_STATES, IDCANCEL, COUNTDOWN_TICK_MS},
        {"Stop Cycle, first-sleep delay (window run)", BEFORE_FIRST_WINDOW, IDC_STOP_CYCLE, WINDOW_RUN_TICK_MS},
        {"Exit, first-sleep delay (window run)", BEFORE_FIRST_WINDOW, IDCANCEL, WINDOW_RUN_TICK_MS},
        {"Stop Cycle, first-sleep delay (command-line run)", BEFORE_FIRST_COMMAND_LINE, IDC_STOP_CYCLE,
         COUNTDOWN_TICK_MS},
        {"Exit, first-sleep delay (command-line run)", BEFORE_FIRST_COMMAND_LINE, IDCANCEL, COUNTDOWN_TICK_MS},
    };
    for (const Case& c : cases) {
        std::vector<double> values;
        for (int i = 0; i < repetitions; i++) values.push_back(Measure(c.where, c.control, 300 + rand() % 2700));
        Report(c.name, c.tickMs, values);
    }
    if (countdownSeconds > 0) {
        CpuOfCountdown(countdownSeconds, COUNTDOWN_TICK_MS);
        CpuOfCountdown(countdownSeconds, WINDOW_RUN_TICK_MS);
    }
    DeleteFileA(configPath);
    UnloadPowerApis();
    return 0;
}
