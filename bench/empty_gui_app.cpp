// An empty GUI program that imports the same system DLLs as Vesplin.exe
// (user32, gdi32, advapi32, comdlg32, shell32) without calling them: the
// share of start-up that any window program pays under Wine.
#include <windows.h>
#include <commdlg.h>
#include <shellapi.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int showCommand) {
    // Never true when started normally; keeps the imports in the binary.
    if (showCommand == -12345) {
        MessageBoxA(nullptr, "", "", 0);
        DeleteObject(GetStockObject(WHITE_BRUSH));
        RegCloseKey(HKEY_CURRENT_USER);
        GetOpenFileNameA(nullptr);
        ShellExecuteA(nullptr, nullptr, nullptr, nullptr, nullptr, 0);
    }
    return 0;
}
