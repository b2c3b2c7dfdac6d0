// Per-test sandbox folders for runs of Vesplin.exe.
#include <gtest/gtest.h>
#include <atomic>
#include <thread>

#include "support/process_run.h"

std::string CurrentTestName() {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info ? std::string(info->test_suite_name()) + "_" + info->name() : "no_test";
    for (char& c : name) {
        if (!isalnum((unsigned char)c) && c != '_' && c != '-') c = '_';
    }
    return name;
}

Sandbox::Sandbox() : Sandbox(CurrentTestName()) {}

Sandbox::Sandbox(const std::string& name, bool copyVesplin) {
    dir_ = JoinPath(JoinPath(BuildDir(), "sandbox"), name);
    EXPECT_TRUE(RemoveTree(dir_)) << "cannot empty " << dir_;
    EXPECT_TRUE(MakeDirs(dir_)) << "cannot make " << dir_;
    if (copyVesplin) {
        std::string source = JoinPath(ExeDir(), "Vesplin.exe");
        EXPECT_TRUE(CopyFileA(source.c_str(), Exe().c_str(), FALSE))
            << "cannot copy " << source << ": error " << GetLastError();
    }
}

void Sandbox::WriteScenario(const std::string& text) const {
    EXPECT_TRUE(WriteText(ScenarioPath(), text)) << "cannot write " << ScenarioPath();
}

void Sandbox::WriteScenario(const std::vector<std::pair<std::string, std::string>>& values) const {
    WriteScenario(ScenarioText(values));
}

std::vector<std::string> Sandbox::JournalCalls(const std::string& name) const {
    return ::JournalCalls(Journal(), name);
}

RunResult Sandbox::Run(RunOptions options, bool simulator) const {
    if (simulator) {
        UseSimulator(&options, ScenarioPath(), JournalPath(), StatePath());
    } else {
        UseWinePower(&options);
    }
    RunResult result = RunProgram(Exe(), options);
    EXPECT_TRUE(result.started) << "cannot start " << Exe() << ": error " << result.startError;
    EXPECT_FALSE(result.timedOut) << Exe() << " killed after " << options.timeoutMs << " ms";
    return result;
}

RunResult Sandbox::RunUntilPowerLoss(const std::string& exe, RunOptions options, size_t killAtSuspend) const {
    UseSimulator(&options, ScenarioPath(), JournalPath(), StatePath());
    std::atomic<bool> done(false);
    std::thread killer;
    if (killAtSuspend > 0) {
        killer = std::thread([&] {
            while (!done && JournalCalls("SetSuspendState").size() < killAtSuspend) Sleep(50);
            Sleep(500);
            // The machine loses power: the process ends where it is, mid-sleep.
            HWND window = nullptr;
            while (!done && !(window = FindMainWindowOf(exe))) Sleep(50);
            DWORD owner = 0;
            if (window) GetWindowThreadProcessId(window, &owner);
            HANDLE process = owner ? OpenProcess(PROCESS_TERMINATE, FALSE, owner) : nullptr;
            if (process) {
                TerminateProcess(process, 99);
                CloseHandle(process);
            }
        });
    }
    RunResult result = RunProgram(exe, options);
    done = true;
    if (killer.joinable()) killer.join();
    return result;
}
