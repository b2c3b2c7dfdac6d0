// Self-tests of the test harness: the box watcher, process runs, the box
// driver and the simulated power library.
//
// Tests that need a second process run this executable again with
// --gtest_filter=HarnessChild.DISABLED_Main; the variable HARNESS_CHILD says
// what the child does.
#include <gtest/gtest.h>
#include <windows.h>
#include <powrprof.h>

#include <stdlib.h>

#include <map>
#include <memory>
#include <thread>
#include <string>
#include <vector>

#include "support/box_watcher.h"
#include "support/process_run.h"

namespace {

// The command line as the C runtime split it, before GoogleTest takes its flags out.
std::vector<std::string> CopyArgs() { return std::vector<std::string>(__argv, __argv + __argc); }
const std::vector<std::string> gStartArgs = CopyArgs();

const char kChildCaption[] = "Harness child box";

std::string Env(const char* name) {
    char value[4096];
    DWORD n = GetEnvironmentVariableA(name, value, sizeof(value));
    return (n > 0 && n < sizeof(value)) ? std::string(value, n) : std::string();
}

std::string SelfExe() {
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(NULL, path, sizeof(path));
    return std::string(path, n);
}

// Options that run this executable as a child doing `what`.
RunOptions ChildOptions(const std::string& what) {
    RunOptions options;
    options.args = {"--gtest_filter=HarnessChild.DISABLED_Main", "--gtest_also_run_disabled_tests"};
    options.env["HARNESS_CHILD"] = what;
    options.timeoutMs = 20000;
    options.outputFile = "NUL";  // keep the child's test report out of ours
    return options;
}

// GetProcAddress with the entry point's own type (through void*: the types differ on purpose).
template <typename F>
F ProcAs(HMODULE module, const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

std::string JoinLines(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
}

}  // namespace

// ---- The child side ----

TEST(HarnessChild, DISABLED_Main) {
    std::string what = Env("HARNESS_CHILD");
    std::string out = Env("HARNESS_OUT");
    if (what == "box") {
        // '|' stands for a line feed in the variable.
        std::string text = Env("HARNESS_TEXT");
        for (char& c : text) c = c == '|' ? '\n' : c;
        int answer = MessageBoxA(NULL, text.c_str(), kChildCaption, MB_YESNO | MB_ICONQUESTION);
        ExitProcess((UINT)answer);
    } else if (what == "exit") {
        ExitProcess((UINT)atoi(Env("HARNESS_CODE").c_str()));
    } else if (what == "hang") {
        Sleep(INFINITE);
    } else if (what == "args") {
        // Everything after GoogleTest's two flags.
        std::vector<std::string> args(gStartArgs.begin() + (gStartArgs.size() > 3 ? 3 : gStartArgs.size()),
                                      gStartArgs.end());
        std::string text;
        for (const std::string& arg : args) text += "[" + arg + "]\n";
        WriteText(out, text);
    } else if (what == "env") {
        std::string text;
        for (const char* name : {"HARNESS_ADDED", "HARNESS_KEEP", "HARNESS_PARENT_ONLY"}) {
            char value[256];
            DWORD n = GetEnvironmentVariableA(name, value, sizeof(value));
            text += std::string(name) + (n ? "=" + std::string(value, n) : " unset") + "\n";
        }
        WriteText(out, text);
    } else if (what == "power") {
        HMODULE module = LoadLibraryExA("powrprof.dll", NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
        std::string text = module ? "loaded=1" : "loaded=0";
        if (module) {
            auto call = ProcAs<LONG(WINAPI*)(POWER_INFORMATION_LEVEL, PVOID, ULONG, PVOID, ULONG)>(
                module, "CallNtPowerInformation");
            SYSTEM_POWER_CAPABILITIES caps;
            ZeroMemory(&caps, sizeof(caps));
            LONG status = call ? call(SystemPowerCapabilities, NULL, 0, &caps, sizeof(caps)) : -1;
            int mask = (caps.SystemS1 ? 1 : 0) | (caps.SystemS2 ? 2 : 0) | (caps.SystemS3 ? 4 : 0) |
                       (caps.SystemS4 && caps.HiberFilePresent ? 8 : 0);
            text += std::string(" sim=") + (GetProcAddress(module, "SimPowerInfo") ? "1" : "0") +
                    " status=" + std::to_string(status) + " mask=" + std::to_string(mask);
        }
        WriteText(out, text + "\n");
        if (module && Env("HARNESS_SUSPEND") == "1") {
            auto suspend = ProcAs<BOOLEAN(WINAPI*)(BOOLEAN, BOOLEAN, BOOLEAN)>(module, "SetSuspendState");
            if (suspend && suspend(FALSE, FALSE, FALSE)) WriteText(out, text + "\nwoke\n");
        }
    } else {
        FAIL() << "unknown child action \"" << what << "\"";
    }
}

// ---- Box watcher in the test's own process ----

namespace {

// An in-memory dialog template: caption, static texts, and push buttons with ids.
class DialogTemplate {
public:
    explicit DialogTemplate(const wchar_t* caption) {
        Dword(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | WS_VISIBLE);
        Dword(0);
        countAt_ = words_.size();
        Word(0);
        Word(10), Word(10), Word(200), Word(100);
        Word(0), Word(0);  // no menu, the standard dialog class
        String(caption);
    }
    void Static(const wchar_t* text, int y) { Item(0x0082, SS_LEFT | WS_CHILD | WS_VISIBLE, 0xFFFF, text, y); }
    void Button(const wchar_t* text, int id, int y) {
        Item(0x0080, BS_PUSHBUTTON | WS_CHILD | WS_VISIBLE | WS_TABSTOP, id, text, y);
    }
    const DLGTEMPLATE* Get() const { return reinterpret_cast<const DLGTEMPLATE*>(words_.data()); }

private:
    void Word(WORD w) { words_.push_back(w); }
    void Dword(DWORD d) { Word(LOWORD(d)), Word(HIWORD(d)); }
    void String(const wchar_t* s) {
        do Word((WORD)*s); while (*s++);
    }
    void Item(WORD cls, DWORD style, int id, const wchar_t* text, int y) {
        if (words_.size() % 2) Word(0);  // items start on a DWORD boundary
        Dword(style);
        Dword(0);
        Word(5), Word((WORD)y), Word(150), Word(12);
        Word((WORD)id);
        Word(0xFFFF), Word(cls);
        String(text);
        Word(0);  // no creation data
        ++words_[countAt_];
    }
    std::vector<WORD> words_;
    size_t countAt_ = 0;
};

// Ends the dialog with the id of the command; on start it stores in *lParam
// whether the dialog passes for a message box.
INT_PTR CALLBACK EndWithCommandId(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        *reinterpret_cast<int*>(lParam) = IsMessageBox(dialog) ? 1 : 0;
        return TRUE;
    }
    if (message == WM_COMMAND) {
        EndDialog(dialog, LOWORD(wParam));
        return TRUE;
    }
    return FALSE;
}

}  // namespace

TEST(BoxWatcher, ReadsAndAnswersOwnMessageBoxesInTurn) {
    BoxWatcher watcher(GetCurrentProcessId());
    watcher.Answer("Harness own box", std::vector<int>{IDNO, IDYES});
    EXPECT_EQ(IDNO, MessageBoxA(NULL, "first line\nsecond line", "Harness own box", MB_YESNO));
    EXPECT_EQ(IDYES, MessageBoxA(NULL, "again", "Harness own box", MB_YESNO | MB_ICONWARNING));
    // The last answer repeats.
    EXPECT_EQ(IDYES, MessageBoxA(NULL, "third", "Harness own box", MB_YESNO));
    std::vector<SeenBox> seen = watcher.Seen();
    ASSERT_EQ(3u, seen.size());
    EXPECT_EQ("Harness own box", seen[0].caption);
    EXPECT_EQ("first line\nsecond line", seen[0].text);
    EXPECT_EQ(IDNO, seen[0].button);
    EXPECT_TRUE(seen[0].expected);
    EXPECT_EQ(GetCurrentProcessId(), seen[0].pid);
    EXPECT_EQ("again", seen[1].text);
    EXPECT_EQ(IDYES, seen[1].button);
    EXPECT_EQ(3u, watcher.Count("Harness own box"));
}

TEST(BoxWatcher, ReadsDialogStaticsAndPressesControlId) {
    DialogTemplate dialog(L"Harness dialog");
    dialog.Static(L"Interrupted cycle 3", 5);
    dialog.Static(L"", 20);
    dialog.Static(L"Resume the run?", 35);
    dialog.Button(L"Go", 1001, 60);
    dialog.Button(L"Stop", 1002, 75);
    BoxWatcher watcher(GetCurrentProcessId());
    watcher.Answer("Harness dialog", 1002);
    int looksLikeMessageBox = -1;
    INT_PTR result = DialogBoxIndirectParamA(GetModuleHandleA(NULL), dialog.Get(), NULL, EndWithCommandId,
                                             reinterpret_cast<LPARAM>(&looksLikeMessageBox));
    EXPECT_EQ(1002, result);
    EXPECT_EQ(0, looksLikeMessageBox) << "buttons 1001 and 1002 are not a message box's";
    std::vector<SeenBox> seen = watcher.Seen();
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ("Interrupted cycle 3\nResume the run?", seen[0].text);
    EXPECT_EQ(1002, seen[0].button);
}

TEST(BoxWatcher, ClosesAndRecordsUnexpectedMessageBoxes) {
    BoxWatcher watcher(GetCurrentProcessId());
    watcher.Answer("Harness awaited", IDOK);
    int okBox = MessageBoxA(NULL, "not awaited", "Harness surprise", MB_OK);
    EXPECT_TRUE(okBox == IDOK || okBox == IDCANCEL) << okBox;
    // A box without a cancel button is closed by a later button of the escalation.
    int yesNo = MessageBoxA(NULL, "no cancel here", "Harness surprise 2", MB_YESNO);
    EXPECT_TRUE(yesNo == IDNO || yesNo == IDCANCEL || yesNo == IDOK) << yesNo;
    std::vector<SeenBox> seen = watcher.Seen();
    ASSERT_EQ(2u, seen.size());
    EXPECT_FALSE(seen[0].expected);
    EXPECT_EQ("Harness surprise", seen[0].caption);
    EXPECT_EQ("not awaited", seen[0].text);
    EXPECT_EQ("no cancel here", seen[1].text);
    EXPECT_EQ(0u, watcher.Count("Harness awaited"));
}

TEST(BoxWatcher, IgnoresBoxesOfOtherProcessesAndCanLeaveBoxesOpen) {
    // pid 1 is never this process; that watcher must not see or touch the box.
    BoxWatcher other(1);
    other.Answer("Harness left open", IDOK);
    BoxWatcher mine(GetCurrentProcessId());
    mine.Answer("Harness left open", BOX_RECORD_ONLY);
    int answer = 0;
    std::thread shower([&] { answer = MessageBoxA(NULL, "still here", "Harness left open", MB_OKCANCEL); });
    ASSERT_TRUE(mine.WaitSeen("Harness left open", 5000));
    Sleep(200);  // several scans of both watchers
    HWND box = FindBox("Harness left open", GetCurrentProcessId());
    ASSERT_TRUE(box != NULL) << "a record-only box must stay open";
    EXPECT_TRUE(IsMessageBox(box));
    EXPECT_EQ("still here", BoxText(box));
    EXPECT_TRUE(FindBox("Harness left open", 1) == NULL);
    PressButton(box, IDCANCEL);
    shower.join();
    EXPECT_EQ(IDCANCEL, answer);
    EXPECT_TRUE(other.Seen().empty());
    EXPECT_EQ(BOX_RECORD_ONLY, mine.Seen().at(0).button);
}

TEST(BoxWatcher, WaitTimesOutAndStopsPromptlyWhenNoBoxComes) {
    double start = NowMs();
    {
        BoxWatcher watcher(GetCurrentProcessId());
        watcher.Answer("Harness never shown", IDOK);
        EXPECT_FALSE(watcher.WaitSeen("Harness never shown", 300));
        EXPECT_FALSE(watcher.WaitCount(1, 50));
        EXPECT_TRUE(watcher.Seen().empty());
    }
    double elapsed = NowMs() - start;
    EXPECT_GE(elapsed, 330.0);
    EXPECT_LT(elapsed, 2000.0);
}

// ---- Process runs ----

TEST(ProcessRun, AnswersTheBoxOfAChildProcess) {
    RunOptions options = ChildOptions("box");
    options.env["HARNESS_TEXT"] = "Child says|hello";
    options.answers.push_back({kChildCaption, {IDYES}});
    RunResult result = RunProgram(SelfExe(), options);
    ASSERT_TRUE(result.started) << result.startError;
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ((DWORD)IDYES, result.exitCode);
    ASSERT_EQ(1u, result.boxes.size());
    EXPECT_EQ(kChildCaption, result.boxes[0].caption);
    EXPECT_EQ("Child says\nhello", result.boxes[0].text);
    EXPECT_EQ(result.pid, result.boxes[0].pid);
}

TEST(ProcessRun, ChildGetsAddedChangedAndRemovedVariables) {
    Sandbox sandbox(CurrentTestName(), false);
    SetEnvironmentVariableA("HARNESS_KEEP", "kept");
    SetEnvironmentVariableA("HARNESS_PARENT_ONLY", "parent");
    RunOptions options = ChildOptions("env");
    options.env["HARNESS_OUT"] = sandbox.Path("env.txt");
    options.env["HARNESS_ADDED"] = "with space = sign";
    options.unsetEnv.push_back("harness_parent_only");  // names are matched without case
    RunResult result = RunProgram(SelfExe(), options);
    SetEnvironmentVariableA("HARNESS_KEEP", NULL);
    SetEnvironmentVariableA("HARNESS_PARENT_ONLY", NULL);
    EXPECT_EQ(0u, result.exitCode);
    EXPECT_EQ("HARNESS_ADDED=with space = sign\nHARNESS_KEEP=kept\nHARNESS_PARENT_ONLY unset\n",
              ReadText(sandbox.Path("env.txt")));

    std::map<std::string, std::string> set = {{"Harness_Keep", "changed"}, {"A_NEW", "1"}};
    std::string block = BuildEnvironment(set, {"PATH"});
    std::map<std::string, std::string> parsed = ParseEnvironment(block.c_str());
    EXPECT_EQ("changed", parsed["Harness_Keep"]);
    EXPECT_EQ(0u, parsed.count("PATH") + parsed.count("Path"));
    EXPECT_EQ("1", parsed["A_NEW"]);
}

TEST(ProcessRun, ArgumentsReachTheChildUnchanged) {
    Sandbox sandbox(CurrentTestName(), false);
    RunOptions options = ChildOptions("args");
    options.env["HARNESS_OUT"] = sandbox.Path("args.txt");
    options.outputFile = sandbox.Path("child.txt");
    std::vector<std::string> args = {"plain", "", "two words", "quote\"inside", "trail\\", "C:\\dir with space\\",
                                     "a\\\\\"b", "--config=x.dat"};
    options.args.insert(options.args.end(), args.begin(), args.end());
    RunResult result = RunProgram(SelfExe(), options);
    EXPECT_EQ(0u, result.exitCode);
    std::string expected;
    for (const std::string& arg : args) expected += "[" + arg + "]\n";
    EXPECT_EQ(expected, ReadText(sandbox.Path("args.txt")));
}

TEST(ProcessRun, KillsAProgramThatOutlivesItsTimeout) {
    RunOptions options = ChildOptions("hang");
    options.timeoutMs = 1000;
    RunResult result = RunProgram(SelfExe(), options);
    ASSERT_TRUE(result.started);
    EXPECT_TRUE(result.timedOut);
    EXPECT_EQ((DWORD)STILL_ACTIVE, result.exitCode);
    EXPECT_GE(result.elapsedMs, 950u);
    EXPECT_LT(result.elapsedMs, 8000u);
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, result.pid);
    if (process) {
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process, 0)) << "the child still runs";
        CloseHandle(process);
    }
}

TEST(ProcessRun, SandboxIsEmptiedAndHoldsACopyOfVesplin) {
    std::string stale;
    {
        Sandbox first;
        stale = first.Path("stale.txt");
        ASSERT_TRUE(WriteText(stale, "old run"));
        EXPECT_TRUE(FileExists(first.Exe()));
    }
    Sandbox second;
    EXPECT_FALSE(FileExists(stale));
    EXPECT_TRUE(FileExists(second.Exe()));
    EXPECT_NE(std::string::npos, second.Dir().find("ProcessRun_SandboxIsEmptiedAndHoldsACopyOfVesplin"));
    EXPECT_EQ(JoinPath(BuildDir(), "sandbox"), second.Dir().substr(0, second.Dir().find_last_of('\\')));
    EXPECT_EQ((std::vector<std::string>{"a", "", "b"}), SplitLines("a\r\n\nb\n"));
}

// ---- Box driver ----

TEST(BoxDriver, AnswersReportsAndPassesTheExitCodeOn) {
    Sandbox sandbox(CurrentTestName(), false);
    std::string report = sandbox.Path("report.txt");
    RunOptions options = ChildOptions("box");
    options.env["HARNESS_TEXT"] = "Driven|box";
    std::vector<std::string> childArgs = options.args;
    options.args = {"--answer", std::string(kChildCaption) + "=NO", "--report", report, "--", SelfExe()};
    options.args.insert(options.args.end(), childArgs.begin(), childArgs.end());
    options.outputFile = sandbox.Path("driver.txt");
    RunResult result = RunProgram(JoinPath(ExeDir(), "boxdriver.exe"), options);
    ASSERT_TRUE(result.started);
    EXPECT_EQ((DWORD)IDNO, result.exitCode);
    EXPECT_EQ(std::string(kChildCaption) + "\tDriven\\nbox\n", ReadText(report));
    // The driver's own watcher answered: the outer run saw nothing of the driver.
    EXPECT_TRUE(result.boxes.empty());

    RunOptions exitOptions = ChildOptions("exit");
    exitOptions.env["HARNESS_CODE"] = "42";
    exitOptions.args.insert(exitOptions.args.begin(), {"--", SelfExe()});
    exitOptions.outputFile = sandbox.Path("driver2.txt");
    EXPECT_EQ(42u, RunProgram(JoinPath(ExeDir(), "boxdriver.exe"), exitOptions).exitCode);

    RunOptions bad;
    bad.args = {"--answer", "NoButtonGiven", "--", SelfExe()};
    bad.outputFile = sandbox.Path("driver3.txt");
    EXPECT_EQ(255u, RunProgram(JoinPath(ExeDir(), "boxdriver.exe"), bad).exitCode);
}

TEST(BoxDriver, KillsTheProgramAfterItsTimeout) {
    Sandbox sandbox(CurrentTestName(), false);
    RunOptions options = ChildOptions("hang");
    options.args.insert(options.args.begin(), {"--timeout", "1", "--", SelfExe()});
    options.outputFile = sandbox.Path("driver.txt");
    RunResult result = RunProgram(JoinPath(ExeDir(), "boxdriver.exe"), options);
    EXPECT_FALSE(result.timedOut) << "the driver itself must end";
    EXPECT_EQ((DWORD)STILL_ACTIVE, result.exitCode);
    EXPECT_LT(result.elapsedMs, 10000u);
}

// ---- Simulated power library, loaded in this process ----

namespace {

struct Power {
    HMODULE module = NULL;
    BOOLEAN(WINAPI* IsPwrSuspendAllowed)(void) = nullptr;
    BOOLEAN(WINAPI* IsPwrHibernateAllowed)(void) = nullptr;
    BOOLEAN(WINAPI* SetSuspendState)(BOOLEAN, BOOLEAN, BOOLEAN) = nullptr;
    BOOLEAN(WINAPI* GetCurrentPowerPolicies)(PGLOBAL_POWER_POLICY, PPOWER_POLICY) = nullptr;
    BOOLEAN(WINAPI* GetActivePwrScheme)(PUINT) = nullptr;
    BOOLEAN(WINAPI* SetActivePwrScheme)(UINT, PGLOBAL_POWER_POLICY, PPOWER_POLICY) = nullptr;
    BOOLEAN(WINAPI* ReadGlobalPwrPolicy)(PGLOBAL_POWER_POLICY) = nullptr;
    LONG(WINAPI* CallNtPowerInformation)(POWER_INFORMATION_LEVEL, PVOID, ULONG, PVOID, ULONG) = nullptr;
};

template <typename F>
void Resolve(HMODULE module, const char* name, F* function) {
    *function = ProcAs<F>(module, name);
}

class SimPower : public ::testing::Test {
protected:
    void SetUp() override {
        sandbox_.reset(new Sandbox(CurrentTestName(), false));
        SetEnvironmentVariableA("SIMPOWER_SCENARIO", sandbox_->ScenarioPath().c_str());
        SetEnvironmentVariableA("SIMPOWER_JOURNAL", sandbox_->JournalPath().c_str());
        SetEnvironmentVariableA("SIMPOWER_STATE", sandbox_->StatePath().c_str());
    }
    void TearDown() override {
        Unload();
        for (const char* name : {"SIMPOWER_SCENARIO", "SIMPOWER_JOURNAL", "SIMPOWER_STATE"}) {
            SetEnvironmentVariableA(name, NULL);
        }
    }
    void Load() {
        Unload();
        power_.module = LoadSimulatorCopy(sandbox_->Dir());
        ASSERT_TRUE(power_.module != NULL) << "error " << GetLastError();
        ASSERT_TRUE(GetProcAddress(power_.module, "SimPowerInfo") != NULL);
        Resolve(power_.module, "IsPwrSuspendAllowed", &power_.IsPwrSuspendAllowed);
        Resolve(power_.module, "IsPwrHibernateAllowed", &power_.IsPwrHibernateAllowed);
        Resolve(power_.module, "SetSuspendState", &power_.SetSuspendState);
        Resolve(power_.module, "GetCurrentPowerPolicies", &power_.GetCurrentPowerPolicies);
        Resolve(power_.module, "GetActivePwrScheme", &power_.GetActivePwrScheme);
        Resolve(power_.module, "SetActivePwrScheme", &power_.SetActivePwrScheme);
        Resolve(power_.module, "ReadGlobalPwrPolicy", &power_.ReadGlobalPwrPolicy);
        Resolve(power_.module, "CallNtPowerInformation", &power_.CallNtPowerInformation);
    }
    void Unload() {
        if (power_.module) FreeLibrary(power_.module);
        power_ = Power();
    }
    void Scenario(const std::string& text) { sandbox_->WriteScenario(text); }
    std::vector<std::string> Journal() { return sandbox_->Journal(); }
    LONG ReadAdmin(ADMINISTRATOR_POWER_POLICY* policy) {
        ZeroMemory(policy, sizeof(*policy));
        return power_.CallNtPowerInformation(AdministratorPowerPolicy, NULL, 0, policy, sizeof(*policy));
    }
    LONG ReadCaps(SYSTEM_POWER_CAPABILITIES* caps) {
        ZeroMemory(caps, sizeof(*caps));
        return power_.CallNtPowerInformation(SystemPowerCapabilities, NULL, 0, caps, sizeof(*caps));
    }

    std::unique_ptr<Sandbox> sandbox_;
    Power power_;
};

}  // namespace

TEST_F(SimPower, DefaultsWithoutAScenarioFile) {
    Load();
    ASSERT_TRUE(power_.CallNtPowerInformation != nullptr);
    EXPECT_EQ(1, power_.IsPwrSuspendAllowed());
    EXPECT_EQ(1, power_.IsPwrHibernateAllowed());
    SYSTEM_POWER_CAPABILITIES caps;
    EXPECT_EQ(0, ReadCaps(&caps));
    EXPECT_EQ(1, caps.SystemS1);
    EXPECT_EQ(0, caps.SystemS2);
    EXPECT_EQ(1, caps.SystemS3);
    EXPECT_EQ(1, caps.SystemS4);
    EXPECT_EQ(1, caps.HiberFilePresent);
    EXPECT_EQ(1, caps.FullWake);
    ADMINISTRATOR_POWER_POLICY admin;
    EXPECT_EQ(0, ReadAdmin(&admin));
    EXPECT_EQ(PowerSystemSleeping1, admin.MinSleep);
    EXPECT_EQ(PowerSystemHibernate, admin.MaxSleep);
    EXPECT_EQ(3600u, admin.MaxVideoTimeout);
    DWORD start = GetTickCount();
    EXPECT_EQ(1, power_.SetSuspendState(TRUE, FALSE, FALSE));
    EXPECT_LT(GetTickCount() - start, 200u);
    GLOBAL_POWER_POLICY global;
    ASSERT_EQ(1, power_.ReadGlobalPwrPolicy(&global));
    EXPECT_EQ((ULONG)(EnableSysTrayBatteryMeter | EnablePasswordLogon), global.user.GlobalFlags);
    UINT scheme = 0;
    EXPECT_EQ(1, power_.GetActivePwrScheme(&scheme));
    POWER_POLICY policy;
    EXPECT_EQ(1, power_.GetCurrentPowerPolicies(&global, &policy));
    EXPECT_EQ((LONG)0xC0000002, power_.CallNtPowerInformation(SystemBatteryState, NULL, 0, &caps, sizeof(caps)));
    EXPECT_EQ(JoinLines({
                  "IsPwrSuspendAllowed result=1",
                  "IsPwrHibernateAllowed result=1",
                  "CallNtPowerInformation level=4 in=0 out=76 status=0x00000000 S1=1 S2=0 S3=1 S4=1 S5=1 "
                  "hiberfile=1 fullwake=1",
                  "CallNtPowerInformation level=9 op=read in=0 out=24 status=0x00000000 MinSleep=2 MaxSleep=5 "
                  "MinVideoTimeout=60 MaxVideoTimeout=3600 MinSpindownTimeout=120 MaxSpindownTimeout=7200",
                  "SetSuspendState hibernate=1 force=0 disablewake=0 result=1 sleep_ms=0",
                  "ReadGlobalPwrPolicy result=1 GlobalFlags=0x5",
                  "GetActivePwrScheme result=1 id=3",
                  "GetCurrentPowerPolicies result=1 GlobalFlags=0x5 IdleTimeoutAc=1800 IdleTimeoutDc=600",
                  "CallNtPowerInformation level=5 in=0 out=76 status=0xC0000002",
              }),
              JoinLines(Journal()));
}

TEST_F(SimPower, ScenarioIsReadAgainOnEveryCall) {
    Load();
    SYSTEM_POWER_CAPABILITIES caps;
    Scenario("# comment line\n s3 = 0 \r\nhiberfile=0\ns2=1\n");
    EXPECT_EQ(0, ReadCaps(&caps));
    EXPECT_EQ(1, caps.SystemS2);
    EXPECT_EQ(0, caps.SystemS3);
    EXPECT_EQ(0, caps.HiberFilePresent);
    Scenario("caps_status=0xC0000022\nsuspend_allowed=0\nhibernate_allowed=0\n");
    EXPECT_EQ((LONG)0xC0000022, ReadCaps(&caps));
    EXPECT_EQ(0, caps.SystemS1) << "a failed query writes nothing";
    EXPECT_EQ(0, power_.IsPwrSuspendAllowed());
    EXPECT_EQ(0, power_.IsPwrHibernateAllowed());

    Scenario("suspend_result=0\nsuspend_error=50\n");
    SetLastError(0);
    EXPECT_EQ(0, power_.SetSuspendState(FALSE, TRUE, FALSE));
    EXPECT_EQ(50u, GetLastError());
    Scenario("sleep_ms=300\n");
    double start = NowMs();
    EXPECT_EQ(1, power_.SetSuspendState(FALSE, FALSE, TRUE));
    EXPECT_GE(NowMs() - start, 280.0);

    Scenario("global_read_ok=0\nactive_scheme_ok=0\nactive_scheme_error=1168\ncurrent_policies_ok=0\n"
             "set_scheme_ok=0\nadmin_read_status=0xC0000002\n");
    GLOBAL_POWER_POLICY global;
    POWER_POLICY policy;
    UINT scheme = 0;
    SetLastError(0);
    EXPECT_EQ(0, power_.ReadGlobalPwrPolicy(&global));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
    EXPECT_EQ(0, power_.GetActivePwrScheme(&scheme));
    EXPECT_EQ(1168u, GetLastError());
    EXPECT_EQ(0, power_.GetCurrentPowerPolicies(&global, &policy));
    EXPECT_EQ(0, power_.SetActivePwrScheme(3, &global, &policy));
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
    ADMINISTRATOR_POWER_POLICY admin;
    EXPECT_EQ((LONG)0xC0000002, ReadAdmin(&admin));

    std::vector<std::string> journal = Journal();
    ASSERT_EQ(11u, journal.size());
    EXPECT_EQ("SetSuspendState hibernate=0 force=1 disablewake=0 result=0 error=50", journal[4]);
    EXPECT_EQ("SetSuspendState hibernate=0 force=0 disablewake=1 result=1 sleep_ms=300", journal[5]);
    EXPECT_EQ("GetActivePwrScheme result=0 error=1168", journal[7]);
    EXPECT_EQ("CallNtPowerInformation level=9 op=read in=0 out=24 status=0xC0000002", journal[10]);
}

TEST_F(SimPower, WrittenValuesAreRememberedAcrossLoads) {
    Load();
    ADMINISTRATOR_POWER_POLICY admin;
    ASSERT_EQ(0, ReadAdmin(&admin));
    admin.MinSleep = PowerSystemSleeping3;
    admin.MaxSleep = PowerSystemSleeping3;
    ADMINISTRATOR_POWER_POLICY back = admin;
    EXPECT_EQ(0, power_.CallNtPowerInformation(AdministratorPowerPolicy, &admin, sizeof(admin), &back, sizeof(back)));
    EXPECT_EQ(0, memcmp(&admin, &back, sizeof(admin)));

    GLOBAL_POWER_POLICY global;
    POWER_POLICY policy;
    ASSERT_EQ(1, power_.GetCurrentPowerPolicies(&global, &policy));
    global.user.GlobalFlags &= ~EnablePasswordLogon;
    EXPECT_EQ(1, power_.SetActivePwrScheme(7, &global, &policy));

    // A refused write changes nothing.
    Scenario("admin_write_status=0xC0000022\n");
    ADMINISTRATOR_POWER_POLICY refused = admin;
    refused.MinSleep = PowerSystemSleeping1;
    EXPECT_EQ((LONG)0xC0000022,
              power_.CallNtPowerInformation(AdministratorPowerPolicy, &refused, sizeof(refused), NULL, 0));
    Scenario("");
    EXPECT_EQ((LONG)0xC000000D,
              power_.CallNtPowerInformation(AdministratorPowerPolicy, &refused, sizeof(refused) - 4, NULL, 0));

    Unload();
    Load();
    ADMINISTRATOR_POWER_POLICY again;
    ASSERT_EQ(0, ReadAdmin(&again));
    EXPECT_EQ(PowerSystemSleeping3, again.MinSleep);
    EXPECT_EQ(PowerSystemSleeping3, again.MaxSleep);
    EXPECT_EQ(60u, again.MinVideoTimeout);
    EXPECT_EQ(7200u, again.MaxSpindownTimeout);
    ASSERT_EQ(1, power_.ReadGlobalPwrPolicy(&global));
    EXPECT_EQ((ULONG)EnableSysTrayBatteryMeter, global.user.GlobalFlags);
    UINT scheme = 0;
    ASSERT_EQ(1, power_.GetActivePwrScheme(&scheme));
    EXPECT_EQ(7u, scheme);

    std::vector<std::string> writes = JournalCalls(Journal(), "SetActivePwrScheme");
    ASSERT_EQ(1u, writes.size());
    EXPECT_EQ("SetActivePwrScheme id=7 GlobalFlags=0x1 EnablePasswordLogon=0 IdleTimeoutAc=1800 IdleTimeoutDc=600 "
              "result=1",
              writes[0]);
    std::vector<std::string> admins = JournalCalls(Journal(), "CallNtPowerInformation");
    ASSERT_EQ(5u, admins.size());
    EXPECT_EQ("write", JournalField(admins[1], "op"));
    EXPECT_EQ("4", JournalField(admins[1], "MinSleep"));
    EXPECT_EQ("0xC0000022", JournalField(admins[2], "status"));
    EXPECT_EQ("2", JournalField(admins[2], "MinSleep")) << "the journal shows what was offered";
}

TEST_F(SimPower, MissingEntryPointsAreHiddenFromGetProcAddress) {
    Scenario("missing=SetSuspendState, ReadGlobalPwrPolicy\n");
    Load();
    EXPECT_TRUE(power_.SetSuspendState == nullptr);
    EXPECT_TRUE(power_.ReadGlobalPwrPolicy == nullptr);
    EXPECT_TRUE(power_.IsPwrSuspendAllowed != nullptr);
    EXPECT_TRUE(power_.IsPwrHibernateAllowed != nullptr);
    EXPECT_TRUE(power_.GetActivePwrScheme != nullptr);
    EXPECT_TRUE(power_.SetActivePwrScheme != nullptr);
    EXPECT_TRUE(power_.GetCurrentPowerPolicies != nullptr);
    EXPECT_TRUE(power_.CallNtPowerInformation != nullptr);
    EXPECT_EQ(1, power_.IsPwrSuspendAllowed());
    // The list is read when the library loads.
    Scenario("");
    Unload();
    Load();
    EXPECT_TRUE(power_.SetSuspendState != nullptr);
    EXPECT_TRUE(power_.ReadGlobalPwrPolicy != nullptr);
}

TEST_F(SimPower, ChildLoadsTheSystemLibraryItAskedFor) {
    // As the program loads it: "powrprof.dll" from the system folder only.
    std::string out = sandbox_->Path("power.txt");
    RunOptions wine = ChildOptions("power");
    wine.env["HARNESS_OUT"] = out;
    UseWinePower(&wine);
    EXPECT_EQ(0u, RunProgram(SelfExe(), wine).exitCode);
    EXPECT_EQ("loaded=1 sim=0 status=0 mask=9\n", ReadText(out));

    Scenario("s3=0\ns2=1\n");
    RunOptions sim = ChildOptions("power");
    sim.env["HARNESS_OUT"] = out;
    std::string childJournal = sandbox_->Path("child_journal.txt");
    UseSimulator(&sim, sandbox_->ScenarioPath(), childJournal, "");
    EXPECT_EQ(0u, RunProgram(SelfExe(), sim).exitCode);
    EXPECT_EQ("loaded=1 sim=1 status=0 mask=11\n", ReadText(out));
    EXPECT_EQ(1u, JournalCalls(ReadLines(childJournal), "CallNtPowerInformation").size());

    // And back: the choice is made again for every run.
    EXPECT_EQ(0u, RunProgram(SelfExe(), wine).exitCode);
    EXPECT_EQ("loaded=1 sim=0 status=0 mask=9\n", ReadText(out));

    // An override in the test's own environment would reach the child: refused.
    SetEnvironmentVariableA("WINEDLLOVERRIDES", "mscoree=d;powrprof=n");
    RunResult refused = RunProgram(SelfExe(), wine);
    SetEnvironmentVariableA("WINEDLLOVERRIDES", NULL);
    EXPECT_FALSE(refused.started);
    EXPECT_EQ((DWORD)ERROR_BAD_ENVIRONMENT, refused.startError);
}

TEST_F(SimPower, JournalKeepsTheSuspendLineOfAProcessKilledAsleep) {
    Scenario("sleep_ms=60000\n");
    std::string out = sandbox_->Path("power.txt");
    RunOptions options = ChildOptions("power");
    options.env["HARNESS_OUT"] = out;
    options.env["HARNESS_SUSPEND"] = "1";
    options.timeoutMs = 4000;
    UseSimulator(&options, sandbox_->ScenarioPath(), sandbox_->JournalPath(), "");
    RunResult result = RunProgram(SelfExe(), options);
    EXPECT_TRUE(result.timedOut);
    std::string journal = ReadText(sandbox_->JournalPath());
    EXPECT_EQ("SetSuspendState hibernate=0 force=0 disablewake=0 result=1 sleep_ms=60000\n",
              journal.substr(journal.find("SetSuspendState")));
    EXPECT_EQ(std::string::npos, ReadText(out).find("woke"));
}
