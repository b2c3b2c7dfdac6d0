// Dialog templates 103, 102 and 107 against their tables, and the About,
// help and Error Detected behaviours.
#include <gtest/gtest.h>
#include <string.h>
#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>
#include "app/app.h"
#include "log/log.h"
#include "res/resource.h"
#include "settings/settings.h"
#include "results/results.h"
#include "ui/ui.h"

namespace {

enum Kind { GROUP, AUTOCHECK, PUSHLIKE, PUSH, DEFPUSH, LTEXT, CTEXT, ICON, FRAME, VSCROLL };

struct ControlSpec {
    int id;
    Kind kind;
    const char* text;
    int x, y, w, h;
    bool disabled = false;
    bool sunken = false;
};

const char* ClassOf(Kind kind) {
    switch (kind) {
    case LTEXT:
    case CTEXT:
    case ICON:
    case FRAME: return "Static";
    case VSCROLL: return "ScrollBar";
    default: return "Button";
    }
}

// The style bits that make the kind, and the mask they are read under.
void StyleOf(Kind kind, DWORD* mask, DWORD* value) {
    const DWORD buttonMask = BS_TYPEMASK | BS_PUSHLIKE;
    const DWORD staticMask = SS_TYPEMASK;
    switch (kind) {
    case GROUP: *mask = buttonMask, *value = BS_GROUPBOX; break;
    case AUTOCHECK: *mask = buttonMask, *value = BS_AUTOCHECKBOX; break;
    case PUSHLIKE: *mask = buttonMask, *value = BS_AUTOCHECKBOX | BS_PUSHLIKE; break;
    case PUSH: *mask = buttonMask, *value = BS_PUSHBUTTON; break;
    case DEFPUSH: *mask = buttonMask, *value = BS_DEFPUSHBUTTON; break;
    case LTEXT: *mask = staticMask, *value = SS_LEFT; break;
    case CTEXT: *mask = staticMask, *value = SS_CENTER; break;
    case ICON: *mask = staticMask, *value = SS_ICON; break;
    case FRAME: *mask = staticMask, *value = SS_BLACKFRAME; break;
    case VSCROLL: *mask = SBS_VERT, *value = SBS_VERT; break;
    }
}

const char S4_NOTE[] =
    "( For Option S4, ensure the 'Enable hibernate support' checkbox is checked in Control Panel -> Power Options)";
const char ERROR_TEXT[] =
    "Vesplin has detected an error, possibly due to a power cycle.\nPlease select to continue with the test, stop the "
    "test or exit the program.";

const std::vector<ControlSpec> MAIN_CONTROLS = {
    {-1, GROUP, "Suspend Types For Cycle", 7, 3, 197, 93},
    {1007, AUTOCHECK, "S1  (Sleep 1)", 27, 22, 57, 13},
    {1011, AUTOCHECK, "S3  (Sleep 3)", 92, 22, 57, 13},
    {1010, AUTOCHECK, "S2  (Sleep 2)", 27, 40, 57, 15},
    {1051, AUTOCHECK, "S4  (Hibernate)", 92, 40, 63, 15},
    {1019, AUTOCHECK, "All supported states", 51, 56, 77, 15},
    {-1, CTEXT, S4_NOTE, 13, 73, 185, 19},
    {-1, ICON, nullptr, 168, 13, 21, 20},
    {-1, GROUP, "Sleep System Information", 7, 101, 197, 48},
    {1017, LTEXT, "Supported Power States:", 14, 116, 178, 8},
    {1018, LTEXT, "Full Wake:", 14, 134, 184, 8},
    {-1, LTEXT, "Count down timer", 18, 167, 56, 8},
    {1025, FRAME, "", 85, 156, 42, 30},
    {1049, PUSHLIKE, "Pause", 142, 161, 36, 18},
    {-1, LTEXT, "Cycle Number", 18, 204, 45, 8},
    {1026, FRAME, "", 85, 194, 42, 30},
    {1074, GROUP, "Log colour classification", 7, 232, 197, 35},
    {1068, FRAME, "", 32, 245, 11, 9},
    {1072, FRAME, "", 66, 245, 11, 9},
    {1070, FRAME, "", 100, 245, 11, 9},
    {1069, FRAME, "", 134, 245, 11, 9},
    {1071, FRAME, "", 168, 245, 11, 9},
    {1076, CTEXT, "Info", 22, 256, 31, 8},
    {1077, CTEXT, "Status", 56, 256, 31, 8},
    {1078, CTEXT, "Warning", 92, 256, 31, 8},
    {1079, CTEXT, "Error", 125, 256, 31, 8},
    {1075, CTEXT, "Debug", 159, 256, 31, 8},
    {-1, GROUP, "Log", 209, 3, 301, 264},
    {1038, LTEXT, "", 213, 15, 271, 246},
    {1037, VSCROLL, "", 493, 16, 11, 245},
    {1014, DEFPUSH, "Sleep Now", 78, 274, 53, 17},
    {1039, PUSH, "Configuration", 146, 274, 53, 17},
    {1015, PUSH, "Stop Cycle", 214, 274, 53, 17, true},
    {1001, PUSH, "About", 282, 274, 53, 17},
    {1002, PUSH, "Help", 350, 274, 53, 17},
    {2, PUSH, "Exit", 418, 274, 53, 17},
};

const std::vector<ControlSpec> ABOUT_CONTROLS = {
    {-1, ICON, nullptr, 82, 7, 20, 20},
    {1001, CTEXT, nullptr, 17, 33, 151, 11, false, true},  // the maker's line
    {1000, CTEXT, "Version Info", 17, 54, 151, 11, false, true},
    {1016, PUSH, "Visit Tarnwell", 27, 74, 57, 17},
    {1, DEFPUSH, "OK", 101, 74, 57, 17},
};

const std::vector<ControlSpec> ERROR_CONTROLS = {
    {-1, LTEXT, ERROR_TEXT, 7, 7, 194, 31},
    {1046, PUSH, "Continue", 7, 47, 50, 14},
    {1047, PUSH, "Stop", 77, 47, 50, 14},
    {1045, DEFPUSH, "Exit", 151, 47, 50, 14},
};

INT_PTR CALLBACK LayoutOnlyProc(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

std::string WindowText(HWND window) {
    char text[512] = "";
    GetWindowTextA(window, text, sizeof(text));
    return text;
}

void CheckDialog(int templateId, const char* caption, int width, int height,
                 const std::vector<ControlSpec>& controls) {
    HWND dialog = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(templateId), nullptr, LayoutOnlyProc, 0);
    ASSERT_TRUE(dialog != nullptr) << templateId;
    EXPECT_EQ(WindowText(dialog), caption);
    DWORD style = (DWORD)GetWindowLongA(dialog, GWL_STYLE);
    EXPECT_EQ(style & (WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME),
              (DWORD)(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME));
    EXPECT_EQ(style & WS_VISIBLE, 0u) << "created hidden";

    RECT size = {0, 0, width, height};
    MapDialogRect(dialog, &size);
    RECT client;
    GetClientRect(dialog, &client);
    EXPECT_EQ(client.right, size.right);
    EXPECT_EQ(client.bottom, size.bottom);

    HFONT font = (HFONT)SendMessageA(dialog, WM_GETFONT, 0, 0);
    LOGFONTA logFont = {};
    ASSERT_TRUE(font && GetObjectA(font, sizeof(logFont), &logFont));
    EXPECT_STREQ(logFont.lfFaceName, "MS Sans Serif");
    HDC screen = GetDC(nullptr);
    EXPECT_EQ(logFont.lfHeight, -MulDiv(8, GetDeviceCaps(screen, LOGPIXELSY), 72)) << "8 point";
    ReleaseDC(nullptr, screen);

    size_t index = 0;
    for (HWND control = GetWindow(dialog, GW_CHILD); control; control = GetWindow(control, GW_HWNDNEXT), index++) {
        ASSERT_LT(index, controls.size()) << "more controls than the table";
        const ControlSpec& spec = controls[index];
        SCOPED_TRACE(testing::Message() << "template " << templateId << ", control " << index << " (" << spec.id << ")");
        EXPECT_EQ(GetDlgCtrlID(control), spec.id);
        char className[64] = "";
        GetClassNameA(control, className, sizeof(className));
        EXPECT_STRCASEEQ(className, ClassOf(spec.kind));
        if (spec.text) {
            EXPECT_EQ(WindowText(control), spec.text);
        }

        DWORD controlStyle = (DWORD)GetWindowLongA(control, GWL_STYLE);
        DWORD mask = 0, value = 0;
        StyleOf(spec.kind, &mask, &value);
        EXPECT_EQ(controlStyle & mask, value);
        EXPECT_EQ((controlStyle & WS_DISABLED) != 0, spec.disabled);
        if (spec.kind == LTEXT || spec.kind == CTEXT) {
            EXPECT_EQ((controlStyle & SS_SUNKEN) != 0, spec.sunken);
        }
        if (spec.kind == ICON) {
            EXPECT_TRUE(SendMessageA(control, STM_GETICON, 0, 0) != 0) << "icon 104 loaded";
        }

        // The dialog manager converts position and size each on its own.
        RECT units = {spec.x, spec.y, spec.w, spec.h};
        MapDialogRect(dialog, &units);
        RECT expected = {units.left, units.top, units.left + units.right, units.top + units.bottom};
        RECT actual;
        GetWindowRect(control, &actual);
        MapWindowPoints(nullptr, dialog, (POINT*)&actual, 2);
        EXPECT_EQ(actual.left, expected.left);
        EXPECT_EQ(actual.top, expected.top);
        // An icon control takes the size of its icon.
        if (spec.kind != ICON) {
            EXPECT_EQ(actual.right, expected.right);
            EXPECT_EQ(actual.bottom, expected.bottom);
        }
    }
    EXPECT_EQ(index, controls.size()) << "controls missing from template " << templateId;
    DestroyWindow(dialog);
}

// Watches, from a thread of its own, for a window of this process with the
// given caption; when it appears, records what it shows (its owner too) and
// runs any action on it: keys, the close box, reading its focus, as the
// shared box watcher, which presses buttons, does not. A box that never
// appears is reported, never waited for without end.
class ActingWatcher {
public:
    ActingWatcher(const char* caption, std::function<void(HWND)> act) : caption_(caption) {
        thread_ = std::thread([this, act] {
            for (int tries = 0; tries < 500 && !stop_; tries++) {
                HWND box = Find();
                if (box) {
                    found_ = box;
                    owner_ = GetWindow(box, GW_OWNER);
                    HWND text = GetDlgItem(box, 0xFFFF);  // a message box's text
                    if (text) text_ = WindowText(text);
                    act(box);
                    return;
                }
                Sleep(20);
            }
        });
    }
    ~ActingWatcher() { Join(); }
    void Join() {
        if (thread_.joinable()) thread_.join();
    }
    void Stop() { stop_ = true; }
    HWND found() const { return found_; }
    HWND owner() const { return owner_; }
    const std::string& text() const { return text_; }

private:
    struct Search {
        const char* caption;
        HWND result;
    };
    static BOOL CALLBACK Match(HWND window, LPARAM data) {
        Search* search = (Search*)data;
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        if (pid != GetCurrentProcessId() || !IsWindowVisible(window)) return TRUE;
        if (WindowText(window) != search->caption) return TRUE;
        search->result = window;
        return FALSE;
    }
    HWND Find() {
        Search search = {caption_, nullptr};
        EnumWindows(Match, (LPARAM)&search);
        return search.result;
    }

    const char* caption_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    HWND found_ = nullptr;
    HWND owner_ = nullptr;
    std::string text_;
};

void Press(HWND dialog, int id) { PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(dialog, id)); }
void PressEscape(HWND dialog) { PostMessageA(dialog, WM_KEYDOWN, VK_ESCAPE, 0); }

// Takes the queue empty; true when a quit message was in it.
bool QuitQueued() {
    bool quit = false;
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) quit = true;
        else DispatchMessageA(&message);
    }
    return quit;
}

INT_PTR RunErrorDetected(std::function<void(HWND)> act) {
    ActingWatcher watcher("Error Detected", act);
    INT_PTR result = DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_ERROR_DETECTED), nullptr,
                                     ErrorDetectedDialogProc, 0);
    watcher.Join();
    EXPECT_TRUE(watcher.found() != nullptr);
    return result;
}

}  // namespace

TEST(DialogTemplates, MainWindow) { CheckDialog(IDD_MAIN, "Tarnwell Vesplin", 518, 298, MAIN_CONTROLS); }
TEST(DialogTemplates, About) { CheckDialog(IDD_ABOUT, "About", 186, 98, ABOUT_CONTROLS); }
TEST(DialogTemplates, ErrorDetected) { CheckDialog(IDD_ERROR_DETECTED, "Error Detected", 208, 68, ERROR_CONTROLS); }

TEST(AboutDialog, VersionLineAndClosing) {
    char line[64];
    FormatVersionLine(line, sizeof(line));
    EXPECT_STREQ(line, "Vesplin V2.3 Build: 1006");

    std::string version, maker;
    // OK closes with 0; the box shows the version line by then.
    ActingWatcher ok("About", [&](HWND box) {
        version = WindowText(GetDlgItem(box, IDC_ABOUT_VERSION));
        maker = WindowText(GetDlgItem(box, IDC_ABOUT_MAKER));
        Press(box, IDOK);
    });
    EXPECT_EQ(DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_ABOUT), nullptr, AboutDialogProc, 0), 0);
    ok.Join();
    EXPECT_EQ(version, "Vesplin V2.3 Build: 1006");
    EXPECT_FALSE(maker.empty());

    // Escape closes it too.
    ActingWatcher escape("About", PressEscape);
    EXPECT_EQ(DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_ABOUT), nullptr, AboutDialogProc, 0), 0);
    escape.Join();
    EXPECT_TRUE(escape.found() != nullptr);
}

TEST(ErrorDetectedDialog, ThreeResultsAndEscapeIgnored) {
    // Escape and the close box leave the dialog up; Continue then ends it with 0.
    std::atomic<bool> stillUp(false);
    EXPECT_EQ(RunErrorDetected([&](HWND box) {
                  PressEscape(box);
                  PostMessageA(box, WM_CLOSE, 0, 0);
                  Sleep(300);
                  stillUp = IsWindowVisible(box) != FALSE;
                  Press(box, IDC_ERROR_CONTINUE);
              }),
              0);
    EXPECT_TRUE(stillUp);
    EXPECT_FALSE(QuitQueued());

    EXPECT_EQ(RunErrorDetected([](HWND box) { Press(box, IDC_ERROR_STOP); }), 1);
    EXPECT_FALSE(QuitQueued());

    // Enter presses Exit, the default button (the focus starts there): result 1 and the program is to end.
    int focused = 0;
    EXPECT_EQ(RunErrorDetected([&](HWND box) {
                  GUITHREADINFO info = {};
                  info.cbSize = sizeof(info);
                  if (GetGUIThreadInfo(GetWindowThreadProcessId(box, nullptr), &info)) focused = GetDlgCtrlID(info.hwndFocus);
                  PostMessageA(box, WM_KEYDOWN, VK_RETURN, 0);
              }),
              1);
    EXPECT_EQ(focused, IDC_ERROR_EXIT);
    EXPECT_TRUE(QuitQueued());
}

TEST(HelpFile, FailureIsShownOverTheMainWindow) {
    char folder[MAX_PATH], page[2 * MAX_PATH];
    ASSERT_TRUE(GetHelpPagePath("index.html", folder, sizeof(folder), page, sizeof(page)));
    EXPECT_TRUE(strstr(folder, "\\HELP") == folder + strlen(folder) - 5) << folder;
    EXPECT_EQ(std::string(page), std::string(folder) + "\\index.html");

    // The asking window stands for the configuration dialog: the box still goes over the main window.
    HWND mainWindow = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_MAIN), nullptr, LayoutOnlyProc, 0);
    HWND asking = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_ABOUT), mainWindow, LayoutOnlyProc, 0);
    ASSERT_TRUE(mainWindow && asking);
    HWND savedMain = gMainWindow;
    gMainWindow = mainWindow;
    ActingWatcher watcher("No default browser", [](HWND box) { Press(box, IDOK); });
    OpenHelpFile("no-such-page.htm", asking);
    watcher.Join();
    gMainWindow = savedMain;
    EXPECT_TRUE(watcher.found() != nullptr);
    EXPECT_EQ(watcher.owner(), mainWindow);
    EXPECT_EQ(watcher.text(), "Could not start your default internet browser\nto load the browser-based help files.");
    DestroyWindow(asking);
    DestroyWindow(mainWindow);
}
