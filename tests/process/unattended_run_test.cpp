// Whole-program runs left alone: they survive power cycles, never wait for a
// person, and end with the exit code that tells what happened.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <atomic>
#include <string>
#include <thread>
#include <vector>
#include "power/power.h"
#include "res/resource.h"
#include "support/json_lines.h"
#include "support/process_run.h"
#include "support/run_log.h"
#include "results/results.h"
#include "ui/ui.h"

namespace {

std::string RunOnceData() {
    char data[1024] = "";
    DWORD size = sizeof(data) - 1;
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce", 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return "";
    LONG error = RegQueryValueExA(key, "Vesplin", nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(key);
    return error == ERROR_SUCCESS ? std::string(data) : "";
}

// A run on the simulated machine that is "powered off" (killed) once its
// suspend call number `killAtSuspend` has started, or that ends by itself.
RunResult RunSimulated(const Sandbox& sandbox, const std::string& exe, const std::vector<std::string>& args,
                       const std::string& workDir, size_t killAtSuspend) {
    RunOptions options;
    options.args = args;
    options.workDir = workDir;
    options.timeoutMs = 90000;
    return sandbox.RunUntilPowerLoss(exe, options, killAtSuspend);
}

int CountOf(const std::string& text, const std::string& part) {
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) count++;
    return count;
}

// The program as its RunOnce value starts it: that command line alone, from another folder.
RunResult RestartFromRunOnce(const Sandbox& sandbox, size_t killAtSuspend) {
    std::string data = RunOnceData();
    EXPECT_EQ("\"" + sandbox.Exe() + "\"", data);
    std::string exe = data.size() > 2 ? data.substr(1, data.size() - 2) : sandbox.Exe();
    return RunSimulated(sandbox, exe, {}, BuildDir(), killAtSuspend);
}

// The 24-byte marker of an S1 sleep that began 100 s ago and never came back.
bool WriteLostS1Marker(const std::string& path) {
    ResumeRecord record;
    memset(&record, 0, sizeof(record));
    record.nextStatePos = 1;
    record.selectedStates[0] = 1;
    record.sleepStartTime = (long long)time(nullptr) - 100;
    return WriteText(path, std::string((const char*)&record, sizeof(record)));
}

}  // namespace

TEST(UnattendedRun, CommandLineRunGoesOnThroughTwoPowerLosses) {
    Sandbox sandbox;
    DeleteFileA(sandbox.Path("vesplinCfg.dat").c_str());
    sandbox.WriteScenario({{"sleep_ms", "30000"}});
    std::vector<std::string> args = {"-S1000", "-R", "30", "-N", "3", "-D", "0", "-C", "-E", "-Lo", "run.log",
                                     "--results=r.jsonl"};
    // Relative paths, from the sandbox; the restarts run from the build folder.
    RunResult first = RunSimulated(sandbox, sandbox.Exe(), args, sandbox.Dir(), 1);
    EXPECT_EQ(99u, first.exitCode);
    ASSERT_TRUE(FileExists(sandbox.Path("sleepflag")));

    RunResult second = RestartFromRunOnce(sandbox, 2);
    EXPECT_EQ(99u, second.exitCode);
    ASSERT_TRUE(FileExists(sandbox.Path("sleepflag")));
    // The page left by the power loss is whole: the lost first cycle, drawn.
    std::string page = ReadText(sandbox.Path("r.html"));
    EXPECT_EQ(1, CountOf(page, "<rect class=\"v-lost\""));
    EXPECT_EQ(0, CountOf(page, "<rect class=\"v-ok\""));
    EXPECT_NE(std::string::npos, page.find("</body></html>\n"));
    EXPECT_FALSE(FileExists(sandbox.Path("r.html.tmp")));

    RunResult last = RestartFromRunOnce(sandbox, 0);
    EXPECT_FALSE(last.timedOut);
    EXPECT_EQ(2u, last.exitCode);
    EXPECT_TRUE(last.boxes.empty());

    // The report beside the results: every cycle of the run, and its exit code.
    page = ReadText(sandbox.Path("r.html"));
    EXPECT_EQ(2, CountOf(page, "<rect class=\"v-lost\""));
    EXPECT_EQ(1, CountOf(page, "<rect class=\"v-ok\""));
    EXPECT_NE(std::string::npos, page.find("<tr><td>Exit code</td><td>2"));
    EXPECT_NE(std::string::npos, page.find("-S1000 -R 30 -N 3 -D 0 -C -E -Lo run.log --results=r.jsonl"));

    std::vector<nlohmann::json> records = ReadJsonLines(sandbox.Path("r.jsonl"));
    ASSERT_EQ(3u, records.size());
    const char* verdicts[] = {"lost", "lost", "ok"};
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(i + 1, records[i]["cycle"]);
        EXPECT_EQ(verdicts[i], records[i]["verdict"]);
        EXPECT_EQ("S1", records[i]["requested_state"]);
        EXPECT_EQ(30, records[i]["requested_sec"]);
    }
    std::vector<std::string> lines = LogBodies(sandbox.Path("run.log"));
    EXPECT_EQ(3, CountPrefix(lines, "Vesplin V2.3 (Build: 1006)"));
    EXPECT_EQ(3, CountPrefix(lines, "Going to sleep, S1, Unforced, Duration 30sec"));
    EXPECT_EQ(2, CountPrefix(lines, "WAKE UP FROM S1, CYCLE"));
    EXPECT_GE(Find(lines, "Wake up from S1, Cycle 3"), 0);
    EXPECT_EQ(1, Count(lines, "Last cycle completed"));
    EXPECT_FALSE(FileExists(sandbox.Path("sleepflag")));
    EXPECT_EQ("", RunOnceData());
    // The default settings file was not overwritten by a restart's defaults.
    ConfigRecord saved;
    Config loader(nullptr);
    ASSERT_EQ(0, loader.Load(sandbox.Path("vesplinCfg.dat").c_str(), &saved));
    EXPECT_EQ(3, saved.cycleCount);
    EXPECT_EQ(1, saved.autoRestart);
}

TEST(UnattendedRun, HelpAndVersionEnterNoSleep) {
    Sandbox sandbox;
    const std::vector<std::vector<std::string>> cases = {{"--help"}, {"/?"}, {"-?"}, {"-h"}, {"--help", "-E"},
                                                         {"-S1000", "-E", "/?"}, {"--version"}};
    for (const auto& args : cases) {
        std::string output = sandbox.Path("out.txt");
        DeleteFileA(output.c_str());
        RunOptions options;
        options.args = args;
        options.outputFile = output;
        options.timeoutMs = 20000;
        RunResult result = sandbox.Run(options);
        EXPECT_EQ(0u, result.exitCode) << args[0];
        EXPECT_TRUE(result.boxes.empty()) << args[0];
        std::string text = ReadText(output);
        EXPECT_NE(std::string::npos, text.find("Vesplin V2.3 (Build: 1006)")) << args[0];
        bool help = args[0] != "--version";
        EXPECT_EQ(help, text.find("Exit codes with -E: 0 every sleep was ok") != std::string::npos) << args[0];
        // Recipes that really wait: the exit code on a line of its own, and PowerShell's.
        EXPECT_EQ(help, text.find("/wait Vesplin.exe") != std::string::npos) << args[0];
        EXPECT_EQ(help, text.find("\r\n  echo %ERRORLEVEL%\r\n") != std::string::npos) << args[0];
        EXPECT_EQ(help, text.find("-Wait -PassThru).ExitCode") != std::string::npos) << args[0];
        EXPECT_EQ(std::string::npos, text.find("& echo %errorlevel%\r\n")) << args[0];
    }
    EXPECT_TRUE(sandbox.JournalCalls("SetSuspendState").empty());
    EXPECT_FALSE(FileExists(sandbox.Path("vesplin.log")));
}

TEST(UnattendedRun, RunsThatCannotStartEndAtOnceWithTheirCode) {
    struct Case {
        std::vector<std::string> args;
        const char* errorLine;  // the Error line that says why
    };
    const Case cases[] = {
        {{"-S0000", "-E"}, "No sleep state selected: Please select at least 1 sleep state to use"},
        {{"-S1000", "-R", "10", "-E"}, "The command line's run does not start: a sleep duration is below its safe"},
        {{"-S10", "-E"}, "Invalid Command Line: Vesplin.exe was launched with invalid command line arguments."},
        {{"-N", " -5", "-E"}, "Invalid Command Line: "},
        {{"-S1000", "-E", "--results=sleepflag"}, "Invalid Command Line: "},
    };
    for (const Case& c : cases) {
        Sandbox sandbox;
        std::string log = sandbox.Path("run.log");
        RunOptions options;
        options.args = c.args;
        options.args.push_back("-L");
        options.args.push_back(log);
        options.timeoutMs = 20000;
        RunResult result = sandbox.Run(options);
        EXPECT_EQ((DWORD)EXIT_RUN_NOT_STARTED, result.exitCode) << c.args[0];
        EXPECT_LT(result.elapsedMs, 15000u);
        EXPECT_TRUE(result.boxes.empty()) << c.args[0] << ": " << (result.boxes.empty() ? "" : result.boxes[0].caption);
        EXPECT_GE(FindPrefix(LogBodies(log), c.errorLine), 0) << c.args[0];
        EXPECT_TRUE(sandbox.JournalCalls("SetSuspendState").empty());
    }
    // A log file that cannot be made: 1 as well, not the system's code, and no box.
    Sandbox sandbox;
    ASSERT_TRUE(WriteText(sandbox.Path("blocker"), "a file"));
    RunOptions options;
    options.args = {"-S1000", "-E", "-L", sandbox.Path("blocker\\sub\\run.log")};
    options.timeoutMs = 20000;
    RunResult result = sandbox.Run(options);
    EXPECT_EQ((DWORD)EXIT_RUN_NOT_STARTED, result.exitCode);
    EXPECT_TRUE(result.boxes.empty());
    EXPECT_TRUE(sandbox.JournalCalls("SetSuspendState").empty());
}

TEST(UnattendedRun, ManualWakeThatReturnsAtOnceIsNotSleptAndNeverSpins) {
    Sandbox sandbox;
    sandbox.WriteScenario({{"sleep_ms", "0"}});
    std::string log = sandbox.Path("run.log");
    std::string results = sandbox.Path("r.jsonl");
    RunOptions options;
    // For ever, no interval: only the run's own limit can end it.
    options.args = {"-S1000", "-H", "-N", "0", "-D", "0", "-E", "-L", log, "--results=" + results};
    options.timeoutMs = 30000;
    RunResult result = sandbox.Run(options);
    EXPECT_EQ((DWORD)EXIT_SLEEP_FAILED, result.exitCode);
    std::vector<nlohmann::json> records = ReadJsonLines(results);
    ASSERT_EQ((size_t)QUICK_SLEEP_LIMIT, records.size());
    for (const auto& r : records) {
        EXPECT_EQ("not_slept", r["verdict"]);
        EXPECT_EQ(0, r["asleep_sec"]);
    }
    std::vector<std::string> lines = LogBodies(log);
    EXPECT_EQ(QUICK_SLEEP_LIMIT, CountPrefix(lines, "Going to sleep"));
    EXPECT_EQ(-1, FindPrefix(lines, "Successfully left sleep state"));
    EXPECT_GE(Find(lines, "The last 3 sleeps came back at once: this machine does not sleep, and the run ends"), 0);
    EXPECT_GE(FindPrefix(lines, "The machine did not sleep: the suspend call returned after 0 sec and no time was spent"),
              0);
}

TEST(UnattendedRun, StopThenSleepNowDuringASleepStopsTheRun) {
    Sandbox sandbox;
    sandbox.WriteScenario({{"sleep_ms", "3000"}});
    std::string log = sandbox.Path("run.log");
    std::atomic<bool> done(false);
    // Both clicks reach the window while the machine sleeps, and wait in its queue.
    std::thread clicker([&] {
        while (!done && sandbox.JournalCalls("SetSuspendState").empty()) Sleep(50);
        HWND window = nullptr;
        while (!done && !(window = FindMainWindowOf(sandbox.Exe()))) Sleep(50);
        if (!window) return;
        PressButton(window, IDC_STOP_CYCLE);
        PressButton(window, IDC_SLEEP_NOW);
    });
    RunOptions options;
    options.args = {"-S1000", "-H", "-N", "5", "-D", "0", "-E", "-L", log};
    options.timeoutMs = 30000;
    RunResult result = sandbox.Run(options);
    done = true;
    clicker.join();
    // A person stopped it before its last cycle: neither a pass nor a failed sleep.
    EXPECT_EQ((DWORD)EXIT_RUN_STOPPED, result.exitCode);
    std::vector<std::string> lines = LogBodies(log);
    int stopped = Find(lines, "Cycle was stopped");
    ASSERT_GE(stopped, 0);
    EXPECT_EQ(1, CountPrefix(lines, "Going to sleep"));
    EXPECT_EQ(1u, sandbox.JournalCalls("SetSuspendState").size());
}

TEST(UnattendedRun, RunStoppedBeforeItsFirstSleepLeavesNoFilesAndSaysSo) {
    Sandbox sandbox;
    sandbox.WriteScenario({{"sleep_ms", "0"}});
    std::string log = sandbox.Path("run.log"), results = sandbox.Path("r.jsonl");
    std::atomic<bool> done(false);
    std::thread clicker([&] {
        HWND window = nullptr;
        while (!done && !(window = FindMainWindowOf(sandbox.Exe()))) Sleep(50);
        Sleep(1000);  // in the countdown before the first sleep
        if (window) PressButton(window, IDC_STOP_CYCLE);
    });
    RunOptions options;
    options.args = {"-S1000", "-N", "2", "-P", "20", "-H", "-E", "-L", log, "--results=" + results};
    options.timeoutMs = 30000;
    RunResult result = sandbox.Run(options);
    done = true;
    clicker.join();
    EXPECT_EQ((DWORD)EXIT_RUN_STOPPED, result.exitCode);
    EXPECT_TRUE(sandbox.JournalCalls("SetSuspendState").empty());
    EXPECT_FALSE(FileExists(results));
    EXPECT_FALSE(FileExists(sandbox.Path("r.html")));
    std::vector<std::string> lines = LogBodies(log);
    EXPECT_EQ(1, CountPrefix(lines, "The run was stopped in cycle 1 of 2"));
    EXPECT_EQ(0, CountPrefix(lines, "Could not write the run report"));
}

TEST(UnattendedRun, StopFromAnotherProcessEndsTheRunAsStopCycleWould) {
    // The global name taken by another kind of object: the session's own name still works.
    for (bool globalTaken : {false, true}) {
        SCOPED_TRACE(globalTaken ? "global name taken" : "both names");
        HANDLE squatter = globalTaken ? CreateMutexW(nullptr, FALSE, L"Global\\Vesplin.Stop") : nullptr;
        Sandbox sandbox(CurrentTestName() + (globalTaken ? "_taken" : ""));
        sandbox.WriteScenario({{"sleep_ms", "0"}});
        std::string log = sandbox.Path("run.log");
        RunOptions stop;
        stop.args = {"--stop"};
        stop.timeoutMs = 20000;
        // Nothing runs yet: nobody to stop.
        EXPECT_EQ(1u, sandbox.Run(stop).exitCode);
        std::atomic<bool> done(false);
        DWORD stopCode = 99;
        std::thread stopper([&] {
            while (!done && !FindMainWindowOf(sandbox.Exe())) Sleep(50);
            Sleep(1000);  // in the countdown before the first sleep
            if (!done) stopCode = sandbox.Run(stop).exitCode;
        });
        RunOptions options;
        options.args = {"-S1000", "-H", "-N", "2", "-P", "30", "-E", "-L", log};
        options.timeoutMs = 30000;
        RunResult result = sandbox.Run(options);
        done = true;
        stopper.join();
        if (squatter) CloseHandle(squatter);
        EXPECT_EQ(0u, stopCode);
        EXPECT_EQ((DWORD)EXIT_RUN_STOPPED, result.exitCode);
        EXPECT_LT(result.elapsedMs, 20000u);
        EXPECT_TRUE(sandbox.JournalCalls("SetSuspendState").empty());
        EXPECT_EQ(1, CountPrefix(LogBodies(log), "Cycle was stopped by Vesplin.exe --stop"));
    }
}

TEST(UnattendedRun, MarkerThatCannotBeWrittenRefusesTheSleep) {
    Sandbox sandbox;
    sandbox.WriteScenario({{"sleep_ms", "0"}});
    ASSERT_TRUE(CreateDirectoryA(sandbox.Path("sleepflag").c_str(), nullptr));
    std::string log = sandbox.Path("run.log");
    std::string results = sandbox.Path("r.jsonl");
    RunOptions options;
    options.args = {"-S1000", "-N", "2", "-D", "0", "-E", "-L", log, "--results=" + results};
    options.timeoutMs = 30000;
    RunResult result = sandbox.Run(options);
    EXPECT_EQ((DWORD)EXIT_SLEEP_FAILED, result.exitCode);
    EXPECT_TRUE(sandbox.JournalCalls("SetSuspendState").empty());
    std::vector<nlohmann::json> records = ReadJsonLines(results);
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ("refused", records[0]["verdict"]);
    EXPECT_EQ("marker_not_written", records[0]["reason"]);
    EXPECT_NE(0, records[0]["error_code"]);
    std::vector<std::string> lines = LogBodies(log);
    EXPECT_GE(FindPrefix(lines, "Could not write the marker file " + sandbox.Path("sleepflag") + ", Error code "), 0);
}

TEST(UnattendedRun, ReadOnlyMarkerIsDeletedAndResumedOnce) {
    Sandbox sandbox;
    std::string marker = sandbox.Path("sleepflag");
    ASSERT_TRUE(WriteLostS1Marker(marker));
    ASSERT_TRUE(SetFileAttributesA(marker.c_str(), FILE_ATTRIBUTE_READONLY));
    std::string log = sandbox.Path("vesplin.log");
    RestartAfterPowerCycle(sandbox, log);
    EXPECT_FALSE(FileExists(marker));
    RestartAfterPowerCycle(sandbox, log);
    EXPECT_EQ(1, CountPrefix(LogBodies(log), "WAKE UP FROM S1, CYCLE 1"));
}

TEST(UnattendedRun, MarkerThatCannotBeDeletedEndsAnAutomaticRunWithItsLostRecord) {
    Sandbox sandbox;
    sandbox.WriteScenario({{"sleep_ms", "0"}});
    std::string marker = sandbox.Path("sleepflag");
    ASSERT_TRUE(WriteLostS1Marker(marker));
    // Another process holds the marker open and lets nobody delete it.
    HANDLE held = CreateFileA(marker.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    std::string log = sandbox.Path("run.log");
    std::string results = sandbox.Path("r.jsonl");
    RunOptions options;
    options.args = {"-S1000", "-N", "1", "-D", "0", "-E", "-L", log, "--results=" + results};
    options.timeoutMs = 30000;
    RunResult result = sandbox.Run(options);
    CloseHandle(held);
    EXPECT_EQ((DWORD)EXIT_RUN_NOT_STARTED, result.exitCode);
    EXPECT_TRUE(sandbox.JournalCalls("SetSuspendState").empty());
    std::vector<nlohmann::json> records = ReadJsonLines(results);
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ("lost", records[0]["verdict"]);
    EXPECT_GE(FindPrefix(LogBodies(log), "The marker file " + marker + " could not be deleted"), 0);
}

TEST(UnattendedRun, MaxFailuresEndsARunOnAMachineThatStoppedSleeping) {
    Sandbox sandbox;
    // The suspend call takes its time, but the machine never sleeps.
    sandbox.WriteScenario({{"sleep_ms", "1500"}, {"asleep_ms", "0"}});
    std::string log = sandbox.Path("run.log");
    std::string results = sandbox.Path("r.jsonl");
    RunOptions options;
    options.args = {"-S1000", "-H", "-N", "10", "-D", "0", "-E", "-L", log, "--results=" + results,
                    "--max-failures=3"};
    options.timeoutMs = 60000;
    RunResult result = sandbox.Run(options);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ((DWORD)EXIT_SLEEP_FAILED, result.exitCode);
    EXPECT_TRUE(result.boxes.empty());
    EXPECT_EQ(3u, sandbox.JournalCalls("SetSuspendState").size());
    std::vector<nlohmann::json> records = ReadJsonLines(results);
    ASSERT_EQ(3u, records.size());
    for (const auto& r : records) EXPECT_EQ("not_slept", r["verdict"]);
    std::vector<std::string> lines = LogBodies(log);
    EXPECT_GE(FindPrefix(lines, "Option --max-failures: Failed sleeps in a row that end the run: 3."), 0);
    int limit = Find(lines, "The run ends: 3 sleeps failed in a row (--max-failures=3)");
    EXPECT_EQ(1, Count(lines, "The run ends: 3 sleeps failed in a row (--max-failures=3)"));
    // The run's closing lines: how it ended, then the statistics of its one state.
    int closing = Find(lines, "Run ended early after 3 sleeps: 3 not_slept; exit code 2");
    EXPECT_GT(closing, limit);
    EXPECT_EQ(closing + 1, FindPrefix(lines, "S1: 3 sleeps, 3 not ok (100%); min/median/p95/max: "));
    EXPECT_EQ(-1, FindPrefix(lines, "The last 3 sleeps came back at once"));
    EXPECT_EQ(-1, Find(lines, "Last cycle completed"));
    nlohmann::json status = nlohmann::json::parse(ReadText(sandbox.Path("r.run.json")), nullptr, false);
    ASSERT_TRUE(status.is_object());
    EXPECT_EQ("finished", status["state"]);
    EXPECT_EQ(EXIT_SLEEP_FAILED, status["exit_code"]);
    EXPECT_EQ(3, status["verdicts"]["not_slept"]);
}
