// The main window: a modeless dialog from template 103 with the state choice,
// the machine's capabilities, the run buttons and the log panel.
#include <stdio.h>
#include <string.h>
#include "events/events.h"
#include "log/log.h"
#include "power/power.h"
#include "res/resource.h"
#include "settings/settings.h"
#include "ui/ui.h"

const int STATE_BOXES[4] = {IDC_STATE_S1, IDC_STATE_S2, IDC_STATE_S3, IDC_STATE_S4};
HINSTANCE gAppInstance;
HWND gMainWindow;
int gWheelDelta;

static const int WHEEL_NOTCH = 120;

// ---- Call sites completed by other parts of the program ---------------------

// The run of sleep cycles started by Sleep Now; returns when the run is over.
void StartRunFromMainWindow(HWND window) {
    uint8_t selection[4];
    for (int state = SLEEP_S1; state <= SLEEP_S4; state++)
        selection[state] = IsDlgButtonChecked(window, STATE_BOXES[state]) == BST_CHECKED;
    StartCycleRunFromWindow(selection);
}

// The configuration dialog (template 104), modal, owned by the main window.
static void OpenConfigurationDialog(HWND window) {
    DialogBoxParamA(gAppInstance, MAKEINTRESOURCEA(IDD_CONFIG), window, ConfigDialogProc, 0);
}

// Stopping the monitors pauses 100 ms even when none runs; Exit during a
// countdown must not wait for monitors that were never started.
static bool AnyMonitorActive() {
    if (gMonitorThreadCount > 0) return true;
    for (int slot = 0; slot < MONITOR_SLOTS; slot++) {
        if (gMonitorRunning[slot]) return true;
    }
    return false;
}

void StopMonitoringAndCloseLog() {
    if (AnyMonitorActive()) StopEventMonitoring();
    if (theLogger) theLogger->CloseLogFile();
}

// ---- Decisions ---------------------------------------------------------------

int TakeWheelStep(int* wheelDelta, int distance) {
    *wheelDelta += distance;
    if (*wheelDelta >= WHEEL_NOTCH) {
        *wheelDelta = 0;
        return -1;
    }
    if (*wheelDelta <= -WHEEL_NOTCH) {
        *wheelDelta = 0;
        return 1;
    }
    return 0;
}

void FormatSupportedStatesLine(const SYSTEM_POWER_CAPABILITIES* caps, char* out, size_t outSize) {
    snprintf(out, outSize, "Supported Power States: %s%s%s%s", caps->SystemS1 ? "S1 " : "",
             caps->SystemS2 ? "S2 " : "", caps->SystemS3 ? "S3 " : "",
             caps->SystemS4 && caps->HiberFilePresent ? "S4 " : "");
}

void FormatFullWakeLine(const SYSTEM_POWER_CAPABILITIES* caps, char* out, size_t outSize) {
    snprintf(out, outSize, "Full Wake: %s", caps->FullWake ? "Supported" : "Unsupported");
}

// ---- Window ------------------------------------------------------------------

static void EnableControl(HWND window, int control, bool enable) {
    HWND item = GetDlgItem(window, control);
    if (item) EnableWindow(item, enable ? TRUE : FALSE);
}

static void EnableStateBoxes(HWND window, bool enable) {
    for (int control : STATE_BOXES) EnableControl(window, control, enable);
}

static bool IsChecked(HWND window, int control) { return IsDlgButtonChecked(window, control) == BST_CHECKED; }

void SetMainWindowIdle(HWND window) {
    EnableControl(window, IDC_STOP_CYCLE, false);
    EnableControl(window, IDC_CONFIGURATION, true);
    EnableControl(window, IDC_SLEEP_NOW, true);
    EnableControl(window, IDC_PAUSE, false);
    EnableStateBoxes(window, !IsChecked(window, IDC_ALL_SUPPORTED));
    EnableControl(window, IDC_ALL_SUPPORTED, true);
}

// ---- The run's view: what a run shows in this window --------------------------

static void ShowCountdownInWindow(void* context, int secondsLeft, int cycleShown) {
    DrawCountdownFrame(static_cast<HWND>(context), secondsLeft, cycleShown);
}

static void ShowRunningInWindow(void* context) {
    HWND window = static_cast<HWND>(context);
    EnableControl(window, IDC_SLEEP_NOW, false);
    EnableControl(window, IDC_CONFIGURATION, false);
    EnableControl(window, IDC_PAUSE, true);
}

static void RefreshWindow(void* context) { InvalidateRect(static_cast<HWND>(context), nullptr, TRUE); }

void AttachRunView(HWND window) {
    gRunView.context = window;
    gRunView.window = window;
    gRunView.ShowCountdown = ShowCountdownInWindow;
    gRunView.ShowRunning = ShowRunningInWindow;
    gRunView.Refresh = RefreshWindow;
}

void InitMainWindow(HWND window) {
    AttachRunView(window);
    EnableControl(window, IDC_PAUSE, false);
    if (gPowerCapsValid) {
        char line[128];
        FormatSupportedStatesLine(&gPowerCaps, line, sizeof(line));
        SetDlgItemTextA(window, IDC_SUPPORTED_STATES, line);
        FormatFullWakeLine(&gPowerCaps, line, sizeof(line));
        SetDlgItemTextA(window, IDC_FULL_WAKE, line);
    }
    if (theConfig) {
        for (int i = 0; i < 4; i++) {
            CheckDlgButton(window, STATE_BOXES[i], theConfig->settings.useState[i] == 1 ? BST_CHECKED : BST_UNCHECKED);
        }
    }
    InitLogPanel(window);
}

void WheelLogPanel(HWND window, WPARAM wParam) {
    int step = TakeWheelStep(&gWheelDelta, (short)HIWORD(wParam));
    if (step < 0) SendMessageA(window, WM_VSCROLL, SB_LINEUP, (LPARAM)gLogScrollBar);
    if (step > 0) SendMessageA(window, WM_VSCROLL, SB_LINEDOWN, (LPARAM)gLogScrollBar);
}

static void OnSleepNow(HWND window) {
    // A click queued while the machine slept arrives inside the run: a second
    // run nested in the first would clear its stop and outlive its buttons.
    if (IsRunActive()) return;
    EnableStateBoxes(window, false);
    EnableControl(window, IDC_ALL_SUPPORTED, false);
    EnableControl(window, IDC_STOP_CYCLE, true);
    // The run dispatches messages: this procedure is re-entered until it returns.
    StartRunFromMainWindow(window);
    gStopRequested = 0;
    if (gQuitRequested) {
        // Exit was pressed during the run and the window is gone.
        StopMonitoringAndCloseLog();
        PostQuitMessage(0);
    }
    SetMainWindowIdle(window);
}

static void OnStopCycle(HWND window) {
    gPaused = 0;
    // Until the run has returned, nothing may start another one.
    bool running = IsRunActive();
    EnableControl(window, IDC_CONFIGURATION, !running);
    EnableControl(window, IDC_SLEEP_NOW, !running);
    EnableControl(window, IDC_PAUSE, false);
    CheckDlgButton(window, IDC_PAUSE, BST_UNCHECKED);
    SetDlgItemTextA(window, IDC_PAUSE, "Pause");
    gStopRequested = 1;
    EnableControl(window, IDC_STOP_CYCLE, false);
    EnableStateBoxes(window, !IsChecked(window, IDC_ALL_SUPPORTED));
    EnableControl(window, IDC_ALL_SUPPORTED, true);
    LogMessage("Cycle was stopped", LOG_INFO);
    InvalidateRect(window, nullptr, TRUE);
}

static void OnPause(HWND window) {
    // The push-like check box shows its pressed look by itself.
    if (gPaused == 1) {
        gPaused = 0;
        SetDlgItemTextA(window, IDC_PAUSE, "Pause");
    } else {
        gPaused = 1;
        SetDlgItemTextA(window, IDC_PAUSE, "Unpause");
    }
}

static void OnStateBox(HWND window, int control) {
    CheckDlgButton(window, IDC_ALL_SUPPORTED, BST_UNCHECKED);
    if (!theConfig) return;
    for (int i = 0; i < 4; i++) {
        if (STATE_BOXES[i] == control) theConfig->settings.useState[i] = IsChecked(window, control) ? 1 : 0;
    }
}

static void OnAllSupported(HWND window) {
    if (IsChecked(window, IDC_ALL_SUPPORTED)) {
        for (int i = 0; i < 4; i++) {
            bool supported = IsSleepStateSupported(i);
            CheckDlgButton(window, STATE_BOXES[i], supported ? BST_CHECKED : BST_UNCHECKED);
            if (theConfig) theConfig->settings.useState[i] = supported ? 1 : 0;
        }
        EnableStateBoxes(window, false);
    } else {
        EnableStateBoxes(window, true);
    }
}

static INT_PTR OnExit(HWND window) {
    gQuitRequested = 1;
    // A failed save is not reported: the program is ending either way.
    if (theConfig) theConfig->Save(theConfig->configFilePath, &theConfig->settings);
    DestroyWindow(window);
    return 1;
}

static INT_PTR OnCommand(HWND window, int control) {
    switch (control) {
    case IDC_SLEEP_NOW: OnSleepNow(window); break;
    case IDC_STOP_CYCLE: OnStopCycle(window); break;
    case IDC_PAUSE: OnPause(window); break;
    case IDC_STATE_S1:
    case IDC_STATE_S2:
    case IDC_STATE_S3:
    case IDC_STATE_S4: OnStateBox(window, control); break;
    case IDC_ALL_SUPPORTED: OnAllSupported(window); break;
    case IDC_CONFIGURATION:
        if (!IsRunActive()) OpenConfigurationDialog(window);
        break;
    case IDC_ABOUT: DialogBoxParamA(gAppInstance, MAKEINTRESOURCEA(IDD_ABOUT), window, AboutDialogProc, 0); break;
    case IDC_HELP_BUTTON: OpenHelpFile("index.html", window); break;
    // Also the close box, the system menu's Close and Escape.
    case IDCANCEL: return OnExit(window);
    }
    return 0;
}

INT_PTR CALLBACK MainDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        return TRUE;
    case WM_DESTROY:
        StopMonitoringAndCloseLog();
        gQuitRequested = 1;
        PostQuitMessage(0);
        return 0;
    case WM_PAINT: {
        // The dialog's own background is erased first; the panel then draws over it.
        PAINTSTRUCT paint;
        BeginPaint(window, &paint);
        EndPaint(window, &paint);
        PaintLogPanel(window);
        return 0;
    }
    case WM_VSCROLL:
        ScrollLogPanel(wParam);
        return 0;
    case WM_MOUSEWHEEL:
        WheelLogPanel(window, wParam);
        return 0;
    case WM_COMMAND:
        return OnCommand(window, LOWORD(wParam));
    }
    return 0;
}

void ShowCommandLineRun(HWND window, const ConfigRecord* settings) {
    for (int state = 0; state < 4; state++)
        CheckDlgButton(window, STATE_BOXES[state], settings->useState[state] ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(window, IDC_ALL_SUPPORTED, settings->allSupportedStates == 1 ? BST_CHECKED : BST_UNCHECKED);
    EnableStateBoxes(window, false);
    EnableControl(window, IDC_ALL_SUPPORTED, false);
    EnableControl(window, IDC_STOP_CYCLE, true);
}

HWND CreateMainWindow(HINSTANCE instance) {
    HWND window = CreateDialogParamA(instance, MAKEINTRESOURCEA(IDD_MAIN), nullptr, MainDialogProc, 0);
    HICON icon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_VESPLIN));
    if (window && icon) SetClassLongPtrA(window, GCLP_HICON, (LONG_PTR)icon);
    if (window) InitMainWindow(window);
    return window;
}
