// The configuration dialog as a user meets it: template 104, filling, ticking,
// OK with its messages, the log file reactions, Save and Load Config, the run-once
// value and the real common file dialog.
#include <gtest/gtest.h>
#include "support/process_run.h"
#include <windows.h>
#include <commdlg.h>
#include <stdio.h>
#include <string.h>
#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>
#include "log/log.h"
#include "res/resource.h"
#include "core/core.h"
#include "settings/settings.h"
#include "support/box_watcher.h"
#include "results/results.h"
#include "ui/ui.h"

namespace {


std::string ReadWhole(const std::string& path) {
    FILE* file = fopen(path.c_str(), "rb");
    if (!file) return "<missing>";
    std::string content;
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof(chunk), file)) > 0) content.append(chunk, got);
    fclose(file);
    return content;
}

void WriteWhole(const std::string& path, const std::string& content) {
    FILE* file = fopen(path.c_str(), "wb");
    ASSERT_TRUE(file != nullptr) << path;
    fwrite(content.data(), 1, content.size(), file);
    fclose(file);
}

// What the acting watcher saw of a dialog: caption, message text, owner.
struct SeenDialog {
    std::string caption, text;
    HWND owner;
};

// Waits on a thread of its own for a dialog of this process with the caption,
// records it and acts on it (typing, keys, buttons), which the shared box
// watcher does not. A dialog that never appears is reported, not waited for.
class ActingWatcher {
public:
    ActingWatcher(const char* caption, std::function<void(HWND)> act) : caption_(caption) {
        thread_ = std::thread([this, act] {
            for (int tries = 0; tries < 500; tries++) {
                HWND box = nullptr;
                EnumWindows(Match, (LPARAM)this);
                box = found_;
                if (box) {
                    char text[2048] = "";
                    GetDlgItemTextA(box, 0xFFFF, text, sizeof(text));
                    seen_ = {caption_, text, GetWindow(box, GW_OWNER)};
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
    bool Found() {
        Join();
        return found_ != nullptr;
    }
    SeenDialog Seen() {
        Join();
        return seen_;
    }

private:
    static BOOL CALLBACK Match(HWND window, LPARAM param) {
        ActingWatcher* self = (ActingWatcher*)param;
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        char title[256] = "";
        GetWindowTextA(window, title, sizeof(title));
        if (pid != GetCurrentProcessId() || !IsWindowVisible(window) || self->caption_ != title) return TRUE;
        self->found_ = window;
        return FALSE;
    }
    std::string caption_;
    HWND found_ = nullptr;
    SeenDialog seen_;
    std::thread thread_;
};

void PressOk(HWND box) { PostMessageA(box, WM_COMMAND, IDOK, 0); }

// The shared watcher, answering the dialog's own message boxes with OK.
struct CheckBoxes : BoxWatcher {
    CheckBoxes() : BoxWatcher(GetCurrentProcessId()) {
        for (const char* caption : {"Wait duration too large", "Invalid Log file path", "Warning",
                                    "Sleep duration too large", "Invalid external application path",
                                    "Invalid config file"})
            Answer(caption, IDOK);
    }
};

// Answers of the replaced file request, in order; an empty path means Cancel.
struct FakeRequests {
    std::vector<std::string> answers;
    std::vector<const FileRequest*> asked;
    std::vector<HWND> owners;
};
FakeRequests* gFake;

bool FakeAskForFile(HWND owner, const FileRequest* request, char* path, size_t pathSize) {
    gFake->asked.push_back(request);
    gFake->owners.push_back(owner);
    if (gFake->answers.empty()) return false;
    std::string answer = gFake->answers.front();
    gFake->answers.erase(gFake->answers.begin());
    if (answer.empty()) return false;
    snprintf(path, pathSize, "%s", answer.c_str());
    return true;
}

INT_PTR CALLBACK BareDialogProc(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

// A stand-in for the main window: its four state boxes.
HWND CreateMainWindowStandIn() {
    HWND window = CreateWindowExA(0, "STATIC", "main", WS_OVERLAPPED, 0, 0, 300, 200, nullptr, nullptr,
                                  GetModuleHandleA(nullptr), nullptr);
    const int boxes[4] = {IDC_STATE_S1, IDC_STATE_S2, IDC_STATE_S3, IDC_STATE_S4};
    for (int i = 0; i < 4; i++)
        CreateWindowExA(0, "BUTTON", "S", WS_CHILD | BS_AUTOCHECKBOX, 0, i * 20, 50, 16, window,
                        (HMENU)(INT_PTR)boxes[i], GetModuleHandleA(nullptr), nullptr);
    return window;
}

class ConfigDialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        savedConfig_ = theConfig;
        savedLogger_ = theLogger;
        theConfig = new Config(GetModuleHandleA(nullptr));
        theLogger = &logger_;
        folder = TestFolder(::testing::UnitTest::GetInstance()->current_test_info()->name());
        configPath = folder + "\\vesplinCfg.dat";
        DeleteFileA(configPath.c_str());
        snprintf(theConfig->configFilePath, sizeof(theConfig->configFilePath), "%s", configPath.c_str());
        theConfig->settings.logToFile = 0;
        gFake = &fake;
        gAskForFile = FakeAskForFile;
        mainWindow = CreateMainWindowStandIn();
    }
    void TearDown() override {
        if (dialog) DestroyWindow(dialog);
        DestroyWindow(mainWindow);
        gAskForFile = AskForFileWithCommonDialog;
        gFake = nullptr;
        delete theConfig;
        theConfig = savedConfig_;
        theLogger = savedLogger_;
    }
    void Open() { dialog = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_CONFIG), mainWindow,
                                              ConfigDialogProc, 0); }
    HWND Item(int id) { return GetDlgItem(dialog, id); }
    std::string Text(int id) {
        char text[600] = "";
        GetDlgItemTextA(dialog, id, text, sizeof(text));
        return text;
    }
    void Type(int id, const std::string& text) { SetDlgItemTextA(dialog, id, text.c_str()); }
    void Click(int id) { SendMessageA(Item(id), BM_CLICK, 0, 0); }
    void Command(int id) { SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)Item(id)); }
    bool Ticked(int id) { return IsDlgButtonChecked(dialog, id) == BST_CHECKED; }
    bool Enabled(int id) { return IsWindowEnabled(Item(id)) != FALSE; }
    bool MainTicked(int id) { return IsDlgButtonChecked(mainWindow, id) == BST_CHECKED; }
    // Id, text, tick and enabled state of every control.
    std::string Snapshot() {
        std::string all;
        for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
            char text[600] = "";
            GetWindowTextA(child, text, sizeof(text));
            all += std::to_string(GetDlgCtrlID(child)) + "=" + text + "/" +
                   std::to_string(SendMessageA(child, BM_GETCHECK, 0, 0)) + "/" +
                   std::to_string(IsWindowEnabled(child)) + "\n";
        }
        return all;
    }

    Logger logger_;
    FakeRequests fake;
    std::string folder, configPath;
    HWND mainWindow = nullptr;
    HWND dialog = nullptr;
    std::atomic<int> focusId{0};

private:
    Config* savedConfig_;
    Logger* savedLogger_;
};

struct ControlRow {
    int id;
    const char* cls;
    const char* text;
    DWORD kind;  // button type, ES_NUMBER for a number edit, 0 otherwise
    bool groupStart, disabled;
    int x, y, w, h;
};

const ControlRow TEMPLATE_104[] = {
    {1009, "Edit", "", ES_NUMBER, false, false, 55, 21, 35, 14},
    {1011, "Edit", "", ES_NUMBER, false, false, 55, 38, 35, 14},
    {1012, "Edit", "", ES_NUMBER, false, false, 164, 21, 35, 14},
    {1016, "Edit", "", ES_NUMBER, false, false, 164, 38, 35, 14},
    {1034, "Button", "Attempt lighter sleep", BS_AUTORADIOBUTTON, true, false, 22, 76, 79, 10},
    {1056, "Button", "Force sleep at requested level", BS_AUTORADIOBUTTON, false, false, 119, 76, 111, 10},
    {1035, "Button", "Attempt deeper sleep", BS_AUTORADIOBUTTON, false, false, 22, 88, 83, 10},
    {1057, "Button", "Skip sleep", BS_AUTORADIOBUTTON, false, false, 119, 88, 49, 10},
    {1045, "Button", "Cycle forever", BS_AUTORADIOBUTTON, true, false, 23, 120, 60, 12},
    {1046, "Button", "Perform a fixed number of cycles", BS_AUTORADIOBUTTON, false, false, 119, 120, 120, 12},
    {1062, "Edit", "", ES_NUMBER, false, false, 119, 135, 40, 14},
    {1063, "Edit", "", ES_NUMBER, false, false, 119, 151, 40, 14},
    {1030, "Button", "Restart automatically after power cycle (Auto run at startup)", BS_AUTOCHECKBOX, false, false,
     29, 191, 213, 9},
    {1041, "Button", "Stop and prompt user upon error", BS_AUTOCHECKBOX, false, false, 29, 208, 120, 9},
    {1047, "Button", "Sleep forever", BS_AUTOCHECKBOX, false, false, 271, 16, 40, 15},
    {1053, "Edit", "", ES_NUMBER, false, false, 413, 16, 29, 14},
    {1031, "Button", "Log to file", BS_AUTOCHECKBOX, false, false, 266, 55, 54, 9},
    {1036, "Button", "Clear log file at start", BS_AUTORADIOBUTTON, true, true, 266, 71, 81, 9},
    {1037, "Button", "Append to log file", BS_AUTORADIOBUTTON, false, true, 363, 71, 72, 9},
    {1042, "Static", "Log file", 0, false, true, 258, 87, 27, 9},
    {1028, "Edit", "", 0, false, true, 290, 87, 177, 12},
    {1029, "Button", "...", BS_PUSHBUTTON, false, true, 470, 87, 12, 12},
    {1067, "Static", "Log level:", 0, false, false, 261, 105, 36, 9},
    {1064, "Button", "Normal", BS_AUTORADIOBUTTON, true, false, 266, 118, 57, 10},
    {1065, "Button", "Debug", BS_AUTORADIOBUTTON, false, false, 346, 118, 57, 11},
    {1066, "Button", "Debug && Events", BS_AUTORADIOBUTTON, false, false, 422, 118, 64, 13},
    {1014, "Button", "Call external application between suspends", BS_AUTOCHECKBOX, false, false, 262, 156, 151, 10},
    {1043, "Static", "File", 0, false, true, 259, 172, 12, 9},
    {1032, "Edit", "", 0, false, true, 276, 169, 188, 12},
    {1038, "Button", "...", BS_PUSHBUTTON, false, true, 470, 169, 12, 12},
    {1015, "Button", "Call external application after last cycle", BS_AUTOCHECKBOX, false, false, 262, 191, 137, 10},
    {1044, "Static", "File", 0, false, true, 259, 207, 12, 9},
    {1039, "Edit", "", 0, false, true, 276, 204, 188, 12},
    {1040, "Button", "...", BS_PUSHBUTTON, false, true, 470, 204, 12, 12},
    {1, "Button", "OK", BS_DEFPUSHBUTTON, false, false, 42, 235, 53, 17},
    {2, "Button", "Cancel", BS_PUSHBUTTON, false, false, 103, 235, 53, 17},
    {9, "Button", "Help", BS_PUSHBUTTON, false, false, 164, 235, 53, 17},
    {4, "Button", "Load Config", BS_PUSHBUTTON, false, false, 336, 235, 53, 17},
    {3, "Button", "Save Config", BS_PUSHBUTTON, false, false, 396, 235, 53, 17},
};

// Labels and frames without an identifier: class, text, position (and size when given).
struct PlainRow {
    const char* text;
    bool frame;
    int x, y, w, h;  // w 0: size not fixed
};
const PlainRow TEMPLATE_104_PLAIN[] = {
    {"Sleep durations", true, 7, 7, 242, 52},
    {"S1 Duration ", false, 13, 24, 0, 0},
    {"S2 Duration ", false, 13, 41, 0, 0},
    {"S3 Duration ", false, 122, 24, 0, 0},
    {"S4 Duration ", false, 122, 41, 0, 0},
    {"State fallback (for sleep state that is not supported):", true, 7, 62, 242, 42},
    {"Cycle Settings", true, 7, 110, 241, 60},
    {"Number of Cycles", false, 56, 138, 0, 0},
    {"Cycle Interval Duration", false, 40, 154, 0, 0},
    {"secs", false, 166, 154, 0, 0},
    {"Error handling", true, 7, 175, 242, 53},
    {"Sleep options", true, 253, 7, 211, 28},
    {"Delay before first sleep", false, 333, 18, 0, 0},
    {"Log file settings", true, 254, 38, 242, 97},
    {"External actions", true, 254, 140, 242, 88},
};

// The dialog manager maps a control's position and size each on its own.
RECT DialogUnits(HWND dialog, int x, int y, int w, int h) {
    RECT position = {x, y, 0, 0}, size = {0, 0, w, h};
    MapDialogRect(dialog, &position);
    MapDialogRect(dialog, &size);
    return {position.left, position.top, position.left + size.right, position.top + size.bottom};
}

RECT ChildRect(HWND dialog, HWND child) {
    RECT rect;
    GetWindowRect(child, &rect);
    MapWindowPoints(HWND_DESKTOP, dialog, (POINT*)&rect, 2);
    return rect;
}

BOOL CALLBACK FindFileNameEdit(HWND child, LPARAM param) {
    char cls[16] = "";
    GetClassNameA(child, cls, sizeof(cls));
    int id = GetDlgCtrlID(child);
    if (_stricmp(cls, "Edit") != 0 || (id != 0x480 && id != 0x47C)) return TRUE;
    *(HWND*)param = child;
    return FALSE;
}

}  // namespace

TEST_F(ConfigDialogTest, TemplateMatchesTheTable) {
    dialog = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_CONFIG), mainWindow, BareDialogProc, 0);
    ASSERT_TRUE(dialog != nullptr);
    char caption[64];
    GetWindowTextA(dialog, caption, sizeof(caption));
    EXPECT_STREQ("Vesplin configuration", caption);
    DWORD style = (DWORD)GetWindowLongA(dialog, GWL_STYLE);
    EXPECT_EQ((DWORD)(WS_POPUP | WS_CAPTION | WS_SYSMENU), style & (WS_POPUP | WS_CAPTION | WS_SYSMENU));
    EXPECT_TRUE(GetWindowLongA(dialog, GWL_EXSTYLE) & WS_EX_DLGMODALFRAME);
    RECT client;
    GetClientRect(dialog, &client);
    RECT size = DialogUnits(dialog, 0, 0, 500, 259);
    EXPECT_EQ(size.right, client.right);
    EXPECT_EQ(size.bottom, client.bottom);
    LOGFONTA font = {};
    GetObjectA((HFONT)SendMessageA(dialog, WM_GETFONT, 0, 0), sizeof(font), &font);
    EXPECT_STREQ("MS Sans Serif", font.lfFaceName);

    for (const ControlRow& row : TEMPLATE_104) {
        SCOPED_TRACE(row.id);
        HWND child = GetDlgItem(dialog, row.id);
        ASSERT_TRUE(child != nullptr);
        char cls[32], text[128];
        GetClassNameA(child, cls, sizeof(cls));
        GetWindowTextA(child, text, sizeof(text));
        EXPECT_STRCASEEQ(row.cls, cls);
        EXPECT_STREQ(row.text, text);
        DWORD s = (DWORD)GetWindowLongA(child, GWL_STYLE);
        if (strcmp(row.cls, "Button") == 0) {
            EXPECT_EQ(row.kind, s & BS_TYPEMASK);
        } else if (strcmp(row.cls, "Edit") == 0) {
            EXPECT_EQ(row.kind, s & ES_NUMBER);
        }
        if (row.kind == BS_AUTORADIOBUTTON) {
            EXPECT_EQ(row.groupStart, (s & WS_GROUP) != 0);
        }
        EXPECT_EQ(row.disabled, (s & WS_DISABLED) != 0);
        RECT expected = DialogUnits(dialog, row.x, row.y, row.w, row.h);
        RECT actual = ChildRect(dialog, child);
        EXPECT_EQ(expected.left, actual.left);
        EXPECT_EQ(expected.top, actual.top);
        EXPECT_EQ(expected.right, actual.right);
        EXPECT_EQ(expected.bottom, actual.bottom);
    }

    // The plain labels and frames, and the icon, carry no identifier of their own.
    std::vector<HWND> plain;
    for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        if ((GetDlgCtrlID(child) & 0xFFFF) == 0xFFFF) plain.push_back(child);
    EXPECT_EQ(sizeof(TEMPLATE_104_PLAIN) / sizeof(TEMPLATE_104_PLAIN[0]) + 1, plain.size());
    for (const PlainRow& row : TEMPLATE_104_PLAIN) {
        SCOPED_TRACE(row.text);
        HWND match = nullptr;
        for (HWND child : plain) {
            char text[128];
            GetWindowTextA(child, text, sizeof(text));
            if (strcmp(text, row.text) == 0) match = child;
        }
        ASSERT_TRUE(match != nullptr);
        DWORD s = (DWORD)GetWindowLongA(match, GWL_STYLE);
        char cls[32];
        GetClassNameA(match, cls, sizeof(cls));
        if (row.frame)
            EXPECT_EQ((DWORD)BS_GROUPBOX, s & BS_TYPEMASK);
        else
            EXPECT_STRCASEEQ("Static", cls);
        RECT expected = DialogUnits(dialog, row.x, row.y, row.w, row.h);
        RECT actual = ChildRect(dialog, match);
        EXPECT_EQ(expected.left, actual.left);
        EXPECT_EQ(expected.top, actual.top);
        if (row.w) {
            EXPECT_EQ(expected.right, actual.right);
            EXPECT_EQ(expected.bottom, actual.bottom);
        }
    }
    HWND icon = nullptr;
    for (HWND child : plain)
        if ((GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) icon = child;
    ASSERT_TRUE(icon != nullptr);
    EXPECT_TRUE(SendMessageA(icon, STM_GETICON, 0, 0) != 0);
    RECT expected = DialogUnits(dialog, 471, 13, 0, 0);
    RECT actual = ChildRect(dialog, icon);
    EXPECT_EQ(expected.left, actual.left);
    EXPECT_EQ(expected.top, actual.top);
}

TEST_F(ConfigDialogTest, TabReachesEveryControlInReadingOrderAndRadioGroupsStayApart) {
    theConfig->settings.logToFile = 1;
    theConfig->settings.runAppBetweenSleeps = 1;
    theConfig->settings.runAppAfterLastCycle = 1;
    Open();
    // A radio group is reached at its ticked button.
    const int order[] = {1009, 1011, 1012, 1016, 1057, 1046, 1062, 1063, 1030, 1041, 1047, 1053, 1031, 1037,
                         1028, 1029, 1064, 1014, 1032, 1038, 1015, 1039, 1040, 1,    2,    9,    4,    3};
    EXPECT_EQ(Item(1009), GetFocus());
    HWND at = GetFocus();
    for (int id : order) {
        EXPECT_EQ(id, GetDlgCtrlID(at));
        at = GetNextDlgTabItem(dialog, at, FALSE);
    }
    EXPECT_EQ(1009, GetDlgCtrlID(at));  // and round again

    // Arrow keys move within one radio group and wrap at its end.
    const int groups[][4] = {{1034, 1056, 1035, 1057}, {1045, 1046, 0, 0}, {1036, 1037, 0, 0}, {1064, 1065, 1066, 0}};
    for (const auto& group : groups) {
        int count = group[3] ? 4 : group[2] ? 3 : 2;
        for (int i = 0; i < count; i++) {
            HWND next = GetNextDlgGroupItem(dialog, Item(group[i]), FALSE);
            EXPECT_EQ(group[(i + 1) % count], GetDlgCtrlID(next)) << group[i];
        }
    }
}

TEST_F(ConfigDialogTest, FillShowsTheRecordAndOkTakesItBack) {
    ConfigRecord& s = theConfig->settings;
    s.useState[0] = 0;
    s.useState[1] = 1;
    s.useState[3] = 1;
    s.sleepDurationSec[0] = 31;
    s.sleepDurationSec[1] = 32;
    s.sleepDurationSec[2] = 33;
    s.sleepDurationSec[3] = 64;
    s.fallbackMode = 2;
    s.cycleForever = 1;
    s.cycleCount = 5;
    s.cycleIntervalSec = 70;
    s.firstSleepDelaySec = 12;
    s.logToFile = 0;
    strcpy(s.logFilePath, "C:\\kept.log");
    s.clearLogAtStart = 1;
    s.logLevel = 1;
    s.autoRestart = 1;
    s.stopOnError = 1;
    s.runAppBetweenSleeps = 0;
    strcpy(s.appBetweenSleepsPath, "between.exe");
    ConfigRecord before = s;
    Open();

    EXPECT_FALSE(MainTicked(IDC_STATE_S1));
    EXPECT_TRUE(MainTicked(IDC_STATE_S2));
    EXPECT_TRUE(MainTicked(IDC_STATE_S4));
    EXPECT_EQ("31", Text(1009));
    EXPECT_EQ("64", Text(1016));
    EXPECT_TRUE(Ticked(1056));
    EXPECT_FALSE(Ticked(1057));
    EXPECT_TRUE(Ticked(1045));
    EXPECT_FALSE(Ticked(1046));
    EXPECT_FALSE(Enabled(1062));
    EXPECT_EQ("5", Text(1062));
    EXPECT_EQ("70", Text(1063));
    EXPECT_EQ("12", Text(1053));
    EXPECT_FALSE(Ticked(1031));
    EXPECT_EQ("C:\\kept.log", Text(1028));
    EXPECT_FALSE(Enabled(1028));
    EXPECT_TRUE(Ticked(1036));
    EXPECT_TRUE(Ticked(1065));
    EXPECT_TRUE(Ticked(1030));
    EXPECT_TRUE(Ticked(1041));
    EXPECT_EQ("between.exe", Text(1032));
    EXPECT_FALSE(Enabled(1032));

    // OK with nothing touched commits the same record and saves it.
    Command(IDOK);
    EXPECT_EQ(0, memcmp(&before, &s, sizeof(s)));
    EXPECT_EQ(std::string((const char*)&s, sizeof(s)), ReadWhole(configPath));
}

TEST_F(ConfigDialogTest, BoxesEnableTheirDependentControls) {
    Open();
    struct {
        int box;
        std::vector<int> dependents;
        bool enabledWhenTicked;
    } rows[] = {{1031, {1036, 1037, 1042, 1028, 1029}, true},
                {1014, {1043, 1032, 1038}, true},
                {1015, {1044, 1039, 1040}, true},
                {1047, {1009, 1011, 1012, 1016}, false}};
    for (auto& row : rows) {
        for (int round = 0; round < 2; round++) {
            Click(row.box);
            for (int id : row.dependents)
                EXPECT_EQ(Ticked(row.box) == row.enabledWhenTicked, Enabled(id)) << row.box << " " << id;
        }
    }
    Click(1045);
    EXPECT_FALSE(Enabled(1062));
    Click(1046);
    EXPECT_TRUE(Enabled(1062));
    EXPECT_FALSE(Ticked(1045));

    Click(1031);
    Click(1036);
    EXPECT_TRUE(Ticked(1036));
    EXPECT_FALSE(Ticked(1037));
    Click(1037);
    EXPECT_FALSE(Ticked(1036));
    Click(1066);
    EXPECT_FALSE(Ticked(1064));
    EXPECT_FALSE(Ticked(1065));
}

TEST_F(ConfigDialogTest, RefusedEntryShowsItsMessageAndChangesNothing) {
    Open();
    ConfigRecord before = theConfig->settings;
    Type(1009, "600000");
    Type(1053, "77");
    ActingWatcher watcher("Sleep duration too large", PressOk);
    Command(IDOK);
    ASSERT_TRUE(watcher.Found());
    EXPECT_EQ("Please enter a sleep duration of 50000 seconds or less", watcher.Seen().text);
    EXPECT_EQ(dialog, watcher.Seen().owner);
    EXPECT_EQ(0, memcmp(&before, &theConfig->settings, sizeof(before)));
    EXPECT_EQ("<missing>", ReadWhole(configPath));
    EXPECT_EQ("600000", Text(1009));

    // 100000 keeps only its first five characters and passes.
    Type(1009, "100000");
    EXPECT_EQ(0, ApplyConfigDialog(dialog));
    EXPECT_EQ(10000, theConfig->settings.sleepDurationSec[0]);
    EXPECT_EQ(77, theConfig->settings.firstSleepDelaySec);
}

TEST_F(ConfigDialogTest, ExternalProgramPathsAndTheSleepForeverInForce) {
    std::string program = folder + "\\tool.exe";
    WriteWhole(program, "MZ");
    Open();
    Click(1014);
    Type(1032, program);
    Click(1015);
    Type(1039, folder + "\\missing.exe");
    {
        CheckBoxes boxes;
        EXPECT_EQ(1, ApplyConfigDialog(dialog));
        ASSERT_EQ(1u, boxes.Seen().size());
        EXPECT_EQ("Invalid external application path", boxes.Seen()[0].caption);
        EXPECT_EQ("Please enter a valid file path for an existing program, eg C:\\\\myapp.exe", boxes.Seen()[0].text);
    }
    Type(1039, program);
    EXPECT_EQ(0, ApplyConfigDialog(dialog));
    EXPECT_EQ(program, theConfig->settings.appAfterLastCyclePath);

    // Ticking Sleep forever lifts the minimums only once it is in force.
    Click(1047);
    for (int id : {1009, 1011, 1012, 1016}) Type(id, "1");
    {
        CheckBoxes boxes;
        EXPECT_EQ(1, ApplyConfigDialog(dialog));
        ASSERT_EQ(1u, boxes.Seen().size());
        EXPECT_EQ("Warning", boxes.Seen()[0].caption);
        EXPECT_EQ(0u, boxes.Seen()[0].text.find("To avoid deadlock, the Sleep Duration cannot be less than 30"));
    }
    for (int id : {1009, 1011, 1012}) Type(id, "30");
    Type(1016, "60");
    ASSERT_EQ(0, ApplyConfigDialog(dialog));
    for (int id : {1009, 1011, 1012, 1016}) Type(id, "1");
    EXPECT_EQ(0, ApplyConfigDialog(dialog));
    EXPECT_EQ(1, theConfig->settings.sleepDurationSec[3]);
}

TEST_F(ConfigDialogTest, LogFileThatIsTheMarkerOrTheSettingsFileIsRefused) {
    snprintf(gMarkerFilePath, sizeof(gMarkerFilePath), "%s\\sleepflag", folder.c_str());
    for (std::string path : {std::string(gMarkerFilePath), configPath}) {
        Open();
        ConfigRecord before = theConfig->settings;
        if (!IsDlgButtonChecked(dialog, 1031)) Click(1031);  // log to file
        Type(1028, path.c_str());
        ActingWatcher watcher("Invalid Log file path", PressOk);
        Command(IDOK);
        ASSERT_TRUE(watcher.Found()) << path;
        EXPECT_EQ(0u, watcher.Seen().text.find("The log file and the ")) << watcher.Seen().text;
        EXPECT_EQ(0, memcmp(&before, &theConfig->settings, sizeof(before))) << path;
        EXPECT_FALSE(FileExists(path));
        DestroyWindow(dialog);
    }
    gMarkerFilePath[0] = '\0';
}

TEST_F(ConfigDialogTest, UntickedLogToFileKeepsTheTypedPath) {
    theConfig->settings.logToFile = 1;
    Open();
    Type(1028, "Q:\\nowhere\\typed.log");
    Click(1031);
    ASSERT_EQ(0, ApplyConfigDialog(dialog));
    EXPECT_EQ(0, theConfig->settings.logToFile);
    EXPECT_STREQ("Q:\\nowhere\\typed.log", theConfig->settings.logFilePath);
}

TEST_F(ConfigDialogTest, LogFileRestartsWhenItsModeOrPathChanges) {
    std::string first = folder + "\\first.log", second = folder + "\\second.log";
    WriteWhole(first, "old line\r\n");
    WriteWhole(second, "kept\r\n");
    ConfigRecord& s = theConfig->settings;
    s.logToFile = 1;
    s.clearLogAtStart = 0;
    SetConfigText(s.logFilePath, first.c_str());
    Open();
    const std::string banner = "Vesplin V2.3 (Build: 1006), built on May 12 2010 11:19:13\r\n";

    // Same mode, same path: nothing.
    ASSERT_EQ(0, ApplyConfigDialog(dialog));
    EXPECT_EQ("old line\r\n", ReadWhole(first));

    // Append to clear on the same file: emptied, then the two lines.
    Click(1036);
    ASSERT_EQ(0, ApplyConfigDialog(dialog));
    EXPECT_EQ("*******************Previous logs overwritten********************\r\n" + banner, ReadWhole(first));

    // Clear to append: nothing written.
    Click(1037);
    ASSERT_EQ(0, ApplyConfigDialog(dialog));
    EXPECT_EQ("*******************Previous logs overwritten********************\r\n" + banner, ReadWhole(first));

    // Same mode, another path: appended to, after a line of 70 asterisks.
    Type(1028, second);
    ASSERT_EQ(0, ApplyConfigDialog(dialog));
    EXPECT_EQ("kept\r\n" + std::string(70, '*') + "\r\n" + banner, ReadWhole(second));
    EXPECT_EQ(0, logger_.GetLineCount());  // none of it reaches the log panel
}

TEST_F(ConfigDialogTest, TheLevelTakesEffectWithTheNextDebugLine) {
    theConfig->settings.logLevel = 0;
    ApplyLogSettings(&theConfig->settings);
    Open();
    LogDebug("before %d", 1);
    EXPECT_EQ(0, logger_.GetLineCount());
    Click(IDC_CFG_LOG_DEBUG);
    ASSERT_EQ(0, ApplyConfigDialog(dialog));
    LogDebug("after %d", 2);
    ASSERT_EQ(1, logger_.GetLineCount());
    int level = -1;
    EXPECT_NE(nullptr, strstr(logger_.GetLine(-1, &level), "after 2"));
    EXPECT_EQ(LOG_DEBUG, level);
    Click(IDC_CFG_LOG_NORMAL);
    ASSERT_EQ(0, ApplyConfigDialog(dialog));
    LogDebug("hidden again");
    EXPECT_EQ(1, logger_.GetLineCount());
}

TEST_F(ConfigDialogTest, RunOnceValueGoesWhenAutoRestartIsOff) {
    auto setValue = [] {
        HKEY key;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, RUN_ONCE_KEY, 0, nullptr, 0, KEY_WRITE, nullptr,
                                                 &key, nullptr));
        RegSetValueExA(key, "Vesplin", 0, REG_SZ, (const BYTE*)"x.exe", 6);
        RegCloseKey(key);
    };
    auto hasValue = [] {
        return RegGetValueA(HKEY_CURRENT_USER, RUN_ONCE_KEY, "Vesplin", RRF_RT_ANY, nullptr, nullptr, nullptr) ==
               ERROR_SUCCESS;
    };
    Open();
    setValue();
    Click(1030);  // on
    ASSERT_EQ(0, ApplyConfigDialog(dialog));
    EXPECT_TRUE(hasValue());
    fake.answers = {folder + "\\saved.dat"};
    Command(IDC_CFG_SAVE);
    EXPECT_TRUE(hasValue());

    Click(1030);  // off: Save Config removes it at once, OK as well
    fake.answers = {folder + "\\saved.dat"};
    Command(IDC_CFG_SAVE);
    EXPECT_FALSE(hasValue());
    setValue();
    ASSERT_EQ(0, ApplyConfigDialog(dialog));
    EXPECT_FALSE(hasValue());
    ASSERT_EQ(0, ApplyConfigDialog(dialog));  // a missing value is no error
}

TEST_F(ConfigDialogTest, SaveThenLoadGivesTheSameDialogContents) {
    std::string program = folder + "\\tool.exe";
    WriteWhole(program, "MZ");
    Open();
    for (int id : {1031, 1014, 1015, 1030, 1041, 1046, 1035, 1066}) Click(id);
    for (int id : {IDC_STATE_S1, IDC_STATE_S3}) SendMessageA(GetDlgItem(mainWindow, id), BM_CLICK, 0, 0);
    Type(1009, "41");
    Type(1011, "42");
    Type(1012, "43");
    Type(1016, "64");
    Type(1062, "9");
    Type(1063, "15");
    Type(1053, "4500099");
    Type(1028, folder + "\\run.log");
    Type(1032, program);
    Type(1039, "after.exe");
    std::string shown = Snapshot();
    bool mainBoxes[4] = {MainTicked(IDC_STATE_S1), MainTicked(IDC_STATE_S2), MainTicked(IDC_STATE_S3),
                         MainTicked(IDC_STATE_S4)};

    std::string path = folder + "\\round.dat";
    fake.answers = {path};
    Command(IDC_CFG_SAVE);
    ASSERT_EQ(1u, fake.asked.size());
    EXPECT_EQ(GetFileRequest(FILE_REQUEST_SAVE_CONFIG), fake.asked[0]);
    EXPECT_EQ(dialog, fake.owners[0]);
    ConfigRecord inForce = theConfig->settings;
    ASSERT_EQ(1660u, ReadWhole(path).size());

    ConfigRecord defaults;
    theConfig->SetDefaults(nullptr, &defaults);
    FillConfigDialog(dialog, &defaults);
    ASSERT_NE(shown, Snapshot());
    fake.answers = {path};
    Command(IDC_CFG_LOAD);
    EXPECT_EQ(GetFileRequest(FILE_REQUEST_LOAD_CONFIG), fake.asked[1]);
    EXPECT_EQ(shown, Snapshot());
    bool loadedBoxes[4] = {MainTicked(IDC_STATE_S1), MainTicked(IDC_STATE_S2), MainTicked(IDC_STATE_S3),
                           MainTicked(IDC_STATE_S4)};
    EXPECT_EQ(0, memcmp(mainBoxes, loadedBoxes, sizeof(mainBoxes)));
    EXPECT_EQ(0, memcmp(&inForce, &theConfig->settings, sizeof(inForce)));  // neither touched the settings
}

TEST_F(ConfigDialogTest, LoadConfigFillsTheDialogOnlyFromAValidFile) {
    ConfigRecord fromFile;
    theConfig->SetDefaults(nullptr, &fromFile);
    fromFile.useState[1] = 1;
    fromFile.logToFile = 0;
    std::string good = folder + "\\s2.dat", bad = folder + "\\bad.dat";
    ASSERT_EQ(0, theConfig->Save(good.c_str(), &fromFile));
    WriteWhole(bad, "SLPDATA and more");
    theConfig->settings.logToFile = 1;
    Open();
    ASSERT_TRUE(Enabled(1028));
    Type(1009, "55");

    // Cancelled request: nothing happens.
    fake.answers = {""};
    Command(IDC_CFG_LOAD);
    EXPECT_EQ("55", Text(1009));

    // A file without the magic: its message, the dialog keeps its contents.
    std::string before = Snapshot();
    {
        CheckBoxes boxes;
        fake.answers = {bad};
        Command(IDC_CFG_LOAD);
        ASSERT_EQ(1u, boxes.Seen().size());
        EXPECT_EQ("Invalid config file", boxes.Seen()[0].caption);
        EXPECT_EQ(bad + " is not a valid config file.", boxes.Seen()[0].text);
    }
    EXPECT_EQ(before, Snapshot());

    // A good file: S2 on the main window at once, logging controls disabled;
    // Cancel then keeps the main window's box but not the settings.
    fake.answers = {good};
    Command(IDC_CFG_LOAD);
    EXPECT_TRUE(MainTicked(IDC_STATE_S2));
    EXPECT_FALSE(Ticked(1031));
    for (int id : {1036, 1037, 1042, 1028, 1029}) EXPECT_FALSE(Enabled(id)) << id;
    EXPECT_EQ("30", Text(1009));
    Command(IDCANCEL);
    EXPECT_TRUE(MainTicked(IDC_STATE_S2));
    EXPECT_EQ(0, theConfig->settings.useState[1]);
    EXPECT_EQ(1, theConfig->settings.logToFile);
}

TEST_F(ConfigDialogTest, BrowseButtonsPutTheChosenPathInTheirEdits) {
    theConfig->settings.logToFile = 1;
    theConfig->settings.runAppBetweenSleeps = 1;
    theConfig->settings.runAppAfterLastCycle = 1;
    Open();
    std::string log = folder + "\\a.log";
    fake.answers = {log, "C:\\bin\\b.exe", "C:\\bin\\c.exe", ""};
    Command(1029);
    Command(1038);
    Command(1040);
    Command(1040);  // cancelled: the edit keeps its text
    EXPECT_EQ(log, Text(1028));
    EXPECT_EQ("C:\\bin\\b.exe", Text(1032));
    EXPECT_EQ("C:\\bin\\c.exe", Text(1039));
    ASSERT_EQ(4u, fake.asked.size());
    EXPECT_EQ(GetFileRequest(FILE_REQUEST_LOG_FILE), fake.asked[0]);
    EXPECT_EQ(GetFileRequest(FILE_REQUEST_PROGRAM_BETWEEN), fake.asked[1]);
    EXPECT_EQ(GetFileRequest(FILE_REQUEST_PROGRAM_AFTER), fake.asked[2]);

    // A chosen path longer than its setting can hold is refused on OK, not cut,
    // even when the file exists.
    std::string longPath = folder + "\\" + std::string(258 - folder.size() - 5, 'p') + ".exe";
    WriteWhole(longPath, "MZ");
    ASSERT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(longPath.c_str()));
    SetDlgItemTextA(dialog, 1032, longPath.c_str());
    Click(1015);
    CheckBoxes boxes;
    EXPECT_EQ(1, ApplyConfigDialog(dialog));
    ASSERT_EQ(1u, boxes.Seen().size());
    EXPECT_EQ("Invalid external application path", boxes.Seen()[0].caption);
}

TEST(FileRequests, TitlesFiltersOptionsAndExtensions) {
    struct {
        bool save;
        const char* title;
        const char* description;
        const char* pattern;
        DWORD flags;
        const char* extension;
    } expected[FILE_REQUEST_COUNT] = {
        {true, "Save file", "Sleep config files (*.dat)", "*.dat",
         OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT, "dat"},
        {false, "Load file", "Sleep config files (*.dat)", "*.dat", OFN_PATHMUSTEXIST | OFN_HIDEREADONLY, "dat"},
        {true, "Save file", "Sleep log files (*.log)", "*.log", OFN_PATHMUSTEXIST | OFN_HIDEREADONLY, "log"},
        {false, "Open file", "Program (*.*)", "*.*", OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY,
         nullptr},
        {false, "Open file", "Program (*.*)", "*.*", OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY,
         nullptr},
    };
    for (int kind = 0; kind < FILE_REQUEST_COUNT; kind++) {
        const FileRequest* request = GetFileRequest(kind);
        ASSERT_TRUE(request != nullptr);
        EXPECT_EQ(expected[kind].save, request->save);
        EXPECT_STREQ(expected[kind].title, request->title);
        // One entry: description, pattern, then the empty text that ends the list.
        const char* filter = request->filter;
        EXPECT_STREQ(expected[kind].description, filter);
        filter += strlen(filter) + 1;
        EXPECT_STREQ(expected[kind].pattern, filter);
        filter += strlen(filter) + 1;
        EXPECT_EQ('\0', *filter);
        EXPECT_EQ(expected[kind].flags, request->flags);
        if (expected[kind].extension)
            EXPECT_STREQ(expected[kind].extension, request->defaultExtension);
        else
            EXPECT_EQ(nullptr, request->defaultExtension);
    }
    EXPECT_EQ(nullptr, GetFileRequest(FILE_REQUEST_COUNT));
}

// The real common dialog: found by its title, answered by typing a name or cancelled.
TEST_F(ConfigDialogTest, LoadConfigThroughTheCommonFileDialog) {
    ConfigRecord fromFile;
    theConfig->SetDefaults(nullptr, &fromFile);
    fromFile.sleepDurationSec[2] = 345;
    std::string path = folder + "\\common.dat";
    ASSERT_EQ(0, theConfig->Save(path.c_str(), &fromFile));
    gAskForFile = AskForFileWithCommonDialog;
    Open();

    {
        ActingWatcher watcher("Load file", [](HWND box) { PostMessageA(box, WM_COMMAND, IDCANCEL, 0); });
        Command(IDC_CFG_LOAD);
        ASSERT_TRUE(watcher.Found());
        EXPECT_EQ(dialog, watcher.Seen().owner);
    }
    EXPECT_EQ("30", Text(1012));

    std::atomic<bool> typed{false};
    {
        ActingWatcher watcher("Load file", [&](HWND box) {
            // The file name box: edt1, or the edit inside the cmb13 combo box.
            HWND name = nullptr;
            EnumChildWindows(box, FindFileNameEdit, (LPARAM)&name);
            if (name) {
                SendMessageA(name, WM_SETTEXT, 0, (LPARAM)path.c_str());
                typed = true;
            }
            PostMessageA(box, WM_COMMAND, name ? IDOK : IDCANCEL, 0);
        });
        Command(IDC_CFG_LOAD);
        ASSERT_TRUE(watcher.Found());
    }
    ASSERT_TRUE(typed);
    EXPECT_EQ("345", Text(1012));
}

// Enter is OK and Escape is Cancel in the modal dialog.
TEST_F(ConfigDialogTest, EnterIsOkAndEscapeIsCancel) {
    auto press = [&](WPARAM key, const char* duration) {
        return [this, key, duration](HWND box) {
            SetDlgItemTextA(box, 1009, duration);
            GUITHREADINFO info = {};
            info.cbSize = sizeof(info);
            GetGUIThreadInfo(GetWindowThreadProcessId(box, nullptr), &info);
            focusId = GetDlgCtrlID(info.hwndFocus);
            PostMessageA(info.hwndFocus ? info.hwndFocus : box, WM_KEYDOWN, key, 0);
        };
    };
    {
        ActingWatcher watcher("Vesplin configuration", press(VK_ESCAPE, "44"));
        EXPECT_EQ(0, DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_CONFIG), mainWindow,
                                     ConfigDialogProc, 0));
    }
    EXPECT_EQ(1009, focusId);
    EXPECT_EQ(30, theConfig->settings.sleepDurationSec[0]);
    EXPECT_EQ("<missing>", ReadWhole(configPath));
    {
        ActingWatcher watcher("Vesplin configuration", press(VK_RETURN, "44"));
        EXPECT_EQ(0, DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_CONFIG), mainWindow,
                                     ConfigDialogProc, 0));
    }
    EXPECT_EQ(44, theConfig->settings.sleepDurationSec[0]);
    EXPECT_EQ(std::string((const char*)&theConfig->settings, sizeof(ConfigRecord)), ReadWhole(configPath));
}
