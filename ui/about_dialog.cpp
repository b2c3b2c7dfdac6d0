// The About box (template 102): version line and the maker's web site.
#include <stdio.h>
#include "res/resource.h"
#include "ui/ui.h"
// After windows.h, which it needs.
#include <shellapi.h>

void FormatVersionLine(char* out, size_t outSize) {
    snprintf(out, outSize, "%s %s Build: %s", PRODUCT_NAME, PRODUCT_VERSION, PRODUCT_BUILD);
}

static void VisitMakerSite(HWND dialog) {
    HINSTANCE result = ShellExecuteA(dialog, "open", MAKER_WEB_ADDRESS, nullptr, nullptr, SW_SHOWMAXIMIZED);
    if ((INT_PTR)result <= 32) {
        MessageBoxA(dialog,
                    "Could not start your default internet browser.\nStart your browser manually and use the "
                    "address..\n" MAKER_WEB_ADDRESS,
                    "Browser Error", MB_ICONINFORMATION | MB_OK);
    }
}

INT_PTR CALLBACK AboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG: {
        char line[64];
        FormatVersionLine(line, sizeof(line));
        SetDlgItemTextA(dialog, IDC_ABOUT_VERSION, line);
        // Focus on OK, so that Enter closes the box rather than opening the browser.
        SetFocus(GetDlgItem(dialog, IDOK));
        return 0;
    }
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK:
        case IDCANCEL:  // also Escape and the close box
            EndDialog(dialog, 0);
            return 1;
        case IDC_ABOUT_VISIT:
            VisitMakerSite(dialog);
            break;
        }
        return 0;
    }
    return 0;
}
