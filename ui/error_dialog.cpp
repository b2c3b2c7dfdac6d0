// The Error Detected dialog (template 107), shown at start-up when a run was
// interrupted: continue the test, stop it or end the program.
#include "log/log.h"
#include "res/resource.h"
#include "ui/ui.h"

INT_PTR CALLBACK ErrorDetectedDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        // Focus on the default button, so that Enter presses Exit and not the first button.
        SetFocus(GetDlgItem(dialog, IDC_ERROR_EXIT));
        return 0;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDC_ERROR_CONTINUE:
            EndDialog(dialog, 0);
            return 0;
        case IDC_ERROR_STOP:
            EndDialog(dialog, 1);
            return 1;
        case IDC_ERROR_EXIT:
            // Start-up goes on as for Stop; the queued quit message then ends the program.
            StopMonitoringAndCloseLog();
            PostQuitMessage(0);
            EndDialog(dialog, 1);
            return 0;
        }
        // Escape and the close box do nothing: the user must choose.
        return 0;
    }
    return 0;
}

INT_PTR AskErrorDetected(HWND owner) {
    return DialogBoxParamA(gAppInstance, MAKEINTRESOURCEA(IDD_ERROR_DETECTED), owner, ErrorDetectedDialogProc, 0);
}
