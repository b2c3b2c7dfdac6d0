#include "engine_fixture.h"
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <map>

namespace enginetest {

FakePower* gFake = nullptr;
static PowerApi savedApi;
static bool savedApiValid = false;
static SleepClockApi savedClocks;
static EXECUTION_STATE(WINAPI* savedExecutionState)(EXECUTION_STATE) = nullptr;
static ULONGLONG clockOffset = 0;  // 100 ns units the fake machine has slept

static BOOLEAN WINAPI FakeSuspendAllowed() { return TRUE; }
static BOOLEAN WINAPI FakeHibernateAllowed() { return gFake->hibernateAllowed; }

static BOOLEAN WINAPI FakeSetSuspendState(BOOLEAN hibernate, BOOLEAN force, BOOLEAN disableWake) {
    SuspendCall call = {};
    call.hibernate = hibernate;
    call.force = force;
    call.disableWake = disableWake;
    call.callTime = (long long)time(nullptr);
    FILE* marker = fopen(gMarkerFilePath, "rb");
    if (marker) {
        call.markerPresent = fread(&call.marker, 1, sizeof(call.marker), marker) == sizeof(call.marker);
        fclose(marker);
        call.markerBytes = ReadText(gMarkerFilePath);
    }
    if (theConfig && theConfig->settings.logToFile) call.logFileText = ReadText(theConfig->settings.logFilePath);
    gFake->suspends.push_back(call);
    gFake->calls.push_back("SetSuspendState");
    if (gFake->suspendSleepMs) Sleep(gFake->suspendSleepMs);
    if (!gFake->suspendResult) {
        SetLastError(gFake->suspendError);
        return FALSE;
    }
    if (gFake->stampAsleepMs >= 0) {
        gFake->lastSleep = gFake->lastWake + 10000000ULL;
        gFake->lastWake = gFake->lastSleep + (ULONGLONG)gFake->stampAsleepMs * 10000ULL;
    }
    clockOffset += (ULONGLONG)gFake->clockAsleepMs * 10000ULL;
    return TRUE;
}

static LONG WINAPI FakeCallNtPowerInformation(POWER_INFORMATION_LEVEL level, PVOID input, ULONG inputLength,
                                              PVOID output, ULONG outputLength) {
    if ((level == LastSleepTime || level == LastWakeTime) && gFake->stampsAnswer) {
        if (!output || outputLength < sizeof(ULONGLONG)) return (LONG)0xC0000023;
        ULONGLONG value = level == LastSleepTime ? gFake->lastSleep : gFake->lastWake;
        memcpy(output, &value, sizeof(value));
        return 0;
    }
    if (level != AdministratorPowerPolicy) return (LONG)0xC0000002;
    if (input) {
        gFake->calls.push_back("AdminWrite");
        if (inputLength == sizeof(ADMINISTRATOR_POWER_POLICY))
            gFake->adminWrites.push_back(*static_cast<ADMINISTRATOR_POWER_POLICY*>(input));
        return gFake->adminWriteStatus;
    }
    gFake->calls.push_back("AdminRead");
    gFake->adminReads++;
    if (gFake->adminReadStatus != 0) {
        // A failed read leaves rubbish behind, which must never be written.
        memset(output, 0xEE, outputLength);
        return gFake->adminReadStatus;
    }
    if (outputLength >= sizeof(ADMINISTRATOR_POWER_POLICY)) memcpy(output, &gFake->adminRead, sizeof(gFake->adminRead));
    return 0;
}

static BOOLEAN WINAPI FakeReadGlobalPwrPolicy(PGLOBAL_POWER_POLICY global) {
    gFake->calls.push_back("ReadGlobalPwrPolicy");
    if (!gFake->globalReadResult) {
        SetLastError(gFake->globalReadError);
        return FALSE;
    }
    memset(global, 0, sizeof(*global));
    global->user.Revision = 1;
    global->user.GlobalFlags = gFake->globalFlags;
    return TRUE;
}

static BOOLEAN WINAPI FakeGetActivePwrScheme(PUINT scheme) {
    gFake->calls.push_back("GetActivePwrScheme");
    if (!gFake->schemeResult) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    *scheme = 7;
    return TRUE;
}

static BOOLEAN WINAPI FakeGetCurrentPowerPolicies(PGLOBAL_POWER_POLICY global, PPOWER_POLICY policy) {
    gFake->calls.push_back("GetCurrentPowerPolicies");
    if (!gFake->currentPoliciesResult) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    memset(global, 0x11, sizeof(*global));
    memset(policy, 0, sizeof(*policy));
    policy->user.Revision = 42;
    return TRUE;
}

static BOOLEAN WINAPI FakeSetActivePwrScheme(UINT scheme, PGLOBAL_POWER_POLICY global, PPOWER_POLICY policy) {
    gFake->calls.push_back("SetActivePwrScheme");
    gFake->schemeIds.push_back(scheme);
    if (global) gFake->schemeGlobals.push_back(*global);
    if (policy && policy->user.Revision != 42) gFake->calls.push_back("SetActivePwrScheme: wrong power policy");
    if (!gFake->setSchemeResult) {
        SetLastError(gFake->setSchemeError);
        return FALSE;
    }
    return TRUE;
}

static EXECUTION_STATE WINAPI FakeExecutionState(EXECUTION_STATE flags) {
    char text[48];
    snprintf(text, sizeof(text), "ExecutionState 0x%08lX", (unsigned long)flags);
    if (gFake) gFake->calls.push_back(text);
    return ES_CONTINUOUS;
}

static ULONGLONG RealTicks() { return GetTickCount64() * 10000ULL; }
static VOID WINAPI FakeInterruptTime(PULONGLONG value) { *value = RealTicks() + clockOffset; }
static BOOL WINAPI FakeUnbiasedTime(PULONGLONG value) {
    *value = RealTicks();
    return TRUE;
}
static ULONGLONG WINAPI FakeTickCount64() { return (RealTicks() + clockOffset) / 10000ULL; }

void InstallFakeClocks(bool withInterruptTime) {
    clockOffset = 0;
    gSleepClockApi.QueryInterruptTime = withInterruptTime ? FakeInterruptTime : nullptr;
    gSleepClockApi.QueryUnbiasedInterruptTime = FakeUnbiasedTime;
    gSleepClockApi.GetTickCount64 = FakeTickCount64;
}

void InstallFakePower(FakePower* fake) {
    if (!savedApiValid) {
        savedApi = gPowerApi;
        savedClocks = gSleepClockApi;
        savedExecutionState = gSetThreadExecutionState;
        savedApiValid = true;
    }
    gSetThreadExecutionState = FakeExecutionState;
    memset(&gSleepClockApi, 0, sizeof(gSleepClockApi));
    gFake = fake;
    memset(&gPowerApi, 0, sizeof(gPowerApi));
    gPowerApi.IsPwrSuspendAllowed = FakeSuspendAllowed;
    gPowerApi.IsPwrHibernateAllowed = FakeHibernateAllowed;
    gPowerApi.SetSuspendState = FakeSetSuspendState;
    gPowerApi.CallNtPowerInformation = FakeCallNtPowerInformation;
    gPowerApi.ReadGlobalPwrPolicy = FakeReadGlobalPwrPolicy;
    gPowerApi.GetActivePwrScheme = FakeGetActivePwrScheme;
    gPowerApi.GetCurrentPowerPolicies = FakeGetCurrentPowerPolicies;
    gPowerApi.SetActivePwrScheme = FakeSetActivePwrScheme;
}

void RestoreRealPower() {
    // A run left holding the machine awake lets go before the real call is back.
    KeepMachineAwake(false);
    if (savedApiValid) {
        gPowerApi = savedApi;
        gSleepClockApi = savedClocks;
        gSetThreadExecutionState = savedExecutionState;
    }
    savedApiValid = false;
    gFake = nullptr;
}

std::vector<std::string> LogLines(std::vector<int>* levels) {
    std::vector<std::string> lines;
    if (levels) levels->clear();
    if (!theLogger) return lines;
    int count = theLogger->GetLineCount();
    for (int i = 0; i < count; i++) {
        char text[LOG_LINE_SIZE];
        int level = 0;
        if (!theLogger->CopyLine(i, text, sizeof(text), &level)) break;
        // Drop the time stamp: date and time, each followed by a blank.
        const char* body = text;
        for (int blanks = 0; blanks < 2 && *body; body++) {
            if (*body == ' ') blanks++;
        }
        lines.push_back(body);
        if (levels) levels->push_back(level);
    }
    return lines;
}

int FindLine(const std::vector<std::string>& lines, const std::string& text, int from) {
    for (int i = from < 0 ? 0 : from; i < (int)lines.size(); i++) {
        if (lines[i] == text) return i;
    }
    return -1;
}

int CountLines(const std::vector<std::string>& lines, const std::string& text) {
    int count = 0;
    for (const auto& line : lines) count += line == text;
    return count;
}

int CountLinesStartingWith(const std::vector<std::string>& lines, const std::string& prefix) {
    int count = 0;
    for (const auto& line : lines) count += line.compare(0, prefix.size(), prefix) == 0;
    return count;
}

// ---------------------------------------------------------------------------
// The test window, from a template built in memory.

class TemplateBuilder {
public:
    void Align() {
        if (words_.size() % 2) words_.push_back(0);
    }
    void Dword(DWORD value) {
        words_.push_back(LOWORD(value));
        words_.push_back(HIWORD(value));
    }
    void Word(WORD value) { words_.push_back(value); }
    void Text(const char* text) {
        for (; *text; text++) words_.push_back((WORD)(unsigned char)*text);
        words_.push_back(0);
    }
    void Item(DWORD style, short x, short y, short cx, short cy, WORD id, WORD classAtom, const char* text) {
        Align();
        Dword(style | WS_CHILD | WS_VISIBLE);
        Dword(0);
        Word(x);
        Word(y);
        Word(cx);
        Word(cy);
        Word(id);
        Word(0xFFFF);
        Word(classAtom);
        Text(text);
        Word(0);
    }
    const WORD* Data() const { return words_.data(); }
    std::vector<WORD> words_;
};

static INT_PTR CALLBACK TestWindowProc(HWND, UINT message, WPARAM, LPARAM) {
    return message == WM_INITDIALOG ? TRUE : FALSE;
}

HWND CreateTestWindow() {
    struct Control {
        WORD id;
        WORD atom;
        DWORD style;
        const char* text;
    } controls[] = {
        {IDC_STATE_S1, 0x80, BS_AUTOCHECKBOX, "S1"},        {IDC_STATE_S2, 0x80, BS_AUTOCHECKBOX, "S2"},
        {IDC_STATE_S3, 0x80, BS_AUTOCHECKBOX, "S3"},        {IDC_STATE_S4, 0x80, BS_AUTOCHECKBOX, "S4"},
        {IDC_ALL_SUPPORTED, 0x80, BS_AUTOCHECKBOX, "All"},  {IDC_SLEEP_NOW, 0x80, BS_PUSHBUTTON, "Sleep Now"},
        {IDC_STOP_CYCLE, 0x80, BS_PUSHBUTTON, "Stop"},      {IDC_CONFIGURATION, 0x80, BS_PUSHBUTTON, "Config"},
        {IDC_PAUSE, 0x80, BS_AUTOCHECKBOX | BS_PUSHLIKE, "Pause"}, {IDC_COUNTDOWN, 0x82, SS_BLACKFRAME, ""},
        {IDC_CYCLE_NUMBER, 0x82, SS_BLACKFRAME, ""},
    };
    const int count = sizeof(controls) / sizeof(controls[0]);
    TemplateBuilder builder;
    builder.Dword(WS_POPUP | WS_CAPTION);
    builder.Dword(0);
    builder.Word(count);
    builder.Word(0);
    builder.Word(0);
    builder.Word(300);
    builder.Word(200);
    builder.Word(0);  // no menu
    builder.Word(0);  // standard class
    builder.Text("Engine test");
    for (int i = 0; i < count; i++) {
        builder.Item(controls[i].style, (short)(10 + (i % 4) * 60), (short)(10 + (i / 4) * 40), 42, 30, controls[i].id,
                     controls[i].atom, controls[i].text);
    }
    return CreateDialogIndirectParamA(GetModuleHandleA(nullptr), reinterpret_cast<LPCDLGTEMPLATEA>(builder.Data()),
                                      nullptr, TestWindowProc, 0);
}

void SetStateBoxes(HWND window, bool s1, bool s2, bool s3, bool s4) {
    // A command-line run takes its states from the settings, a window run from the boxes.
    const bool states[4] = {s1, s2, s3, s4};
    if (theConfig) {
        for (int i = 0; i < 4; i++) theConfig->settings.useState[i] = states[i] ? 1 : 0;
    }
    CheckDlgButton(window, IDC_STATE_S1, s1 ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(window, IDC_STATE_S2, s2 ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(window, IDC_STATE_S3, s3 ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(window, IDC_STATE_S4, s4 ? BST_CHECKED : BST_UNCHECKED);
}

// ---------------------------------------------------------------------------
// Files.

std::string InstallRecorder(const std::string& folder, const char* name) {
    std::string target = folder + "\\" + name;
    CopyFileA(JoinPath(ExeDir(), "recorder.exe").c_str(), target.c_str(), FALSE);
    DeleteFileA((target + ".ran").c_str());
    return target;
}

int RecordedRuns(const std::string& recorderPath, int want, int timeoutMs) {
    DWORD start = GetTickCount();
    for (;;) {
        std::string text = ReadText(recorderPath + ".ran");
        int runs = 0;
        for (char c : text) runs += c == '\n';
        if (runs >= want || (int)(GetTickCount() - start) >= timeoutMs) return runs;
        Sleep(50);
    }
}

// ---------------------------------------------------------------------------
// Actions at a time, on this thread.

static std::map<UINT_PTR, void (*)()> pendingActions;

static void CALLBACK RunAction(HWND, UINT, UINT_PTR id, DWORD) {
    KillTimer(nullptr, id);
    auto found = pendingActions.find(id);
    if (found == pendingActions.end()) return;
    void (*action)() = found->second;
    pendingActions.erase(found);
    action();
}

void After(UINT ms, void (*action)()) {
    UINT_PTR id = SetTimer(nullptr, 0, ms, RunAction);
    if (id) pendingActions[id] = action;
}

static void CancelActions() {
    for (auto& entry : pendingActions) KillTimer(nullptr, entry.first);
    pendingActions.clear();
}

// ---------------------------------------------------------------------------

void EngineTest::SetUp() {
    folder = Sandbox(CurrentTestName(), false).Dir();

    delete theLogger;
    theLogger = new Logger();
    delete theConfig;
    theConfig = new Config(nullptr);
    ConfigRecord& s = theConfig->settings;
    s.logToFile = 0;
    s.logLevel = 1;  // debug lines are part of what the tests check
    s.cycleCount = 1;
    s.cycleIntervalSec = 0;
    s.fallbackMode = FALLBACK_LIGHTER;
    snprintf(theConfig->configFilePath, sizeof(theConfig->configFilePath), "%s\\vesplinCfg.dat", folder.c_str());
    snprintf(gMarkerFilePath, sizeof(gMarkerFilePath), "%s\\sleepflag", folder.c_str());
    ApplyLogSettings(&s);

    gQuitRequested = 0;
    gStopRequested = 0;
    gPaused = 0;
    gResumeRun = 0;
    gGrowDurations = 0;
    gGrowSeconds = 0;
    memset(&theResumeRecord, 0, sizeof(theResumeRecord));
    gResultsPath[0] = '\0';
    memset(&gRunTally, 0, sizeof(gRunTally));
    gMaxFailures = 0;
    gFailureStreak = 0;

    InstallFakePower(&fake);
    SupportStates(true, true, true, true);
    window = CreateTestWindow();
    ASSERT_TRUE(window != nullptr);
    gMainWindow = window;
    AttachRunView(window);
}

void EngineTest::TearDown() {
    CancelActions();
    if (window) DestroyWindow(window);
    window = nullptr;
    gMainWindow = nullptr;
    memset(&gRunView, 0, sizeof(gRunView));
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    }
    if (gWakeTimer) CloseHandle(gWakeTimer);
    if (gBackupWakeTimer) CloseHandle(gBackupWakeTimer);
    gWakeTimer = nullptr;
    gBackupWakeTimer = nullptr;
    RestoreRealPower();
    FlushPendingResult();
    gResultsPath[0] = '\0';
    memset(&gPowerCaps, 0, sizeof(gPowerCaps));
    gQuitRequested = 0;
    gStopRequested = 0;
    gPaused = 0;
    gResumeRun = 0;
    gGrowDurations = 0;
    gMaxFailures = 0;
    gFailureStreak = 0;
}

void EngineTest::SupportStates(bool s1, bool s2, bool s3, bool s4) {
    memset(&gPowerCaps, 0, sizeof(gPowerCaps));
    gPowerCaps.SystemS1 = s1;
    gPowerCaps.SystemS2 = s2;
    gPowerCaps.SystemS3 = s3;
    gPowerCaps.SystemS4 = s4;
    gPowerCaps.HiberFilePresent = s4;
}

}  // namespace enginetest
