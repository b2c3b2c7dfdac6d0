// Whole-program runs of Vesplin.exe: command-line runs, fallback and refusals
// against the simulated power library, a run under Wine's own library, and the
// resumption of a run that a "power cycle" (a killed process) interrupted.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>
#include "app/app.h"
#include "power/power.h"
#include "res/resource.h"
#include "settings/settings.h"
#include "support/json_lines.h"
#include "support/process_run.h"
#include "support/run_log.h"
#include "results/results.h"
#include "ui/ui.h"

namespace {

const char MAIN_CAPTION[] = "Tarnwell Vesplin";

std::vector<std::string> AdminWrites(const Sandbox& sandbox) {
    std::vector<std::string> writes;
    for (const auto& line : sandbox.JournalCalls("CallNtPowerInformation")) {
        if (JournalField(line, "level") == "9" && JournalField(line, "op") == "write") writes.push_back(line);
    }
    return writes;
}

std::string RunOnceValue() {
    char data[1024] = "";
    DWORD size = sizeof(data) - 1;
    DWORD type = 0;
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce", 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return "<none>";
    LONG error = RegQueryValueExA(key, "Vesplin", nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(key);
    return error == ERROR_SUCCESS ? std::string(data) : "<none>";
}

int RecorderRuns(const std::string& recorder, int want) {
    for (int waited = 0; waited < 5000; waited += 50) {
        if ((int)ReadLines(recorder + ".ran").size() >= want) break;
        Sleep(50);
    }
    return (int)ReadLines(recorder + ".ran").size();
}

std::string InstallRecorder(const Sandbox& sandbox, const char* name) {
    std::string target = sandbox.Path(name);
    EXPECT_TRUE(CopyFileA(JoinPath(ExeDir(), "recorder.exe").c_str(), target.c_str(), FALSE));
    return target;
}

void WriteMarker(const std::string& path, const ResumeRecord& record) {
    FILE* file = fopen(path.c_str(), "wb");
    ASSERT_TRUE(file != nullptr);
    fwrite(&record, 1, sizeof(record), file);
    fclose(file);
}

// A marker of S1 lost 100 s ago in cycle cycleIndex + 1 of an S1 run, and a
// settings file that stops on errors and logs to the returned log.
void LoseCycleWithStopOnError(const Sandbox& sandbox, int cycleIndex, std::string* config, std::string* log) {
    ResumeRecord record;
    memset(&record, 0, sizeof(record));
    record.cycleIndex = cycleIndex;
    record.nextStatePos = 1;
    record.selectedStates[0] = 1;
    record.sleepStartTime = (long long)time(nullptr) - 100;
    WriteMarker(sandbox.Path("sleepflag"), record);
    *config = sandbox.Path("run.dat");
    *log = sandbox.Path("run.log");
    WriteConfig(*config, [&](ConfigRecord& s) {
        SetConfigText(s.logFilePath, log->c_str());
        s.stopOnError = 1;
    });
}

}  // namespace

TEST(EngineRun, CommandLineRunUnderWinePowerReportsSleepsThatNeverHappened) {
    // Wine's suspend call returns at once and the wake timer holds the time:
    // 30 seconds are measured each time, but the machine never slept, and the
    // log, the results file and the exit code say so.
    Sandbox sandbox;
    std::string log = sandbox.Path("run.log");
    std::string results = sandbox.Path("results.jsonl");
    RunOptions options;
    options.args = {"-S1000", "-R", "30", "-N", "2", "-D", "0", "-E", "-L", log, "--results=" + results};
    options.timeoutMs = 150000;
    RunResult result = sandbox.Run(options, false);
    EXPECT_EQ(2u, result.exitCode);
    EXPECT_GE(result.elapsedMs, 59000u);
    std::vector<std::string> lines = LogBodies(log);
    EXPECT_EQ(2, Count(lines, "Going to sleep, S1, Unforced, Duration 30sec"));
    // The failure stands right after each wake, never a success.
    int verdicts = 0;
    for (size_t i = 0; i < lines.size(); i++) {
        if (lines[i].rfind("Wake up from S1, Cycle ", 0) != 0) continue;
        verdicts++;
        ASSERT_LT(i + 1, lines.size());
        EXPECT_EQ("The machine did not sleep: the suspend call returned after 0 sec and the program waited on its timer",
                  lines[i + 1]);
    }
    EXPECT_EQ(2, verdicts);
    EXPECT_EQ(0, CountPrefix(lines, "Sleep time OK"));
    // Wine's own device library answers: the devices are checked around each sleep.
    EXPECT_EQ(1, CountPrefix(lines, "Devices: "));
    EXPECT_EQ(0, CountPrefix(lines, "The device check is off"));
    EXPECT_EQ(0, CountPrefix(lines, "Successfully left sleep state"));
    EXPECT_EQ(1, Count(lines, "Last cycle completed"));
    EXPECT_FALSE(FileExists(sandbox.Path("sleepflag")));

    std::vector<nlohmann::json> records = ReadJsonLines(results);
    ASSERT_EQ(2u, records.size());
    for (int i = 0; i < 2; i++) {
        const nlohmann::json& r = records[i];
        EXPECT_EQ(i + 1, r["cycle"]);
        EXPECT_EQ("not_slept", r["verdict"]);
        EXPECT_EQ(0, r["asleep_sec"]);
        // Wine has no sleep stamps and no QueryInterruptTime: the tick count against unbiased time.
        EXPECT_EQ("tick_count", r["asleep_source"]);
        EXPECT_NEAR(30, r["measured_sec"].get<int>(), 1);
        EXPECT_TRUE(r["fallback"].is_null());
        EXPECT_TRUE(r["wake_source"].is_null());
    }
    // Automatic exit keeps the settings of the run as the default ones.
    ConfigRecord saved;
    Config reader(nullptr);
    ASSERT_EQ(0, reader.Load(sandbox.Path("vesplinCfg.dat").c_str(), &saved));
    EXPECT_EQ(2, saved.cycleCount);
}

TEST(EngineRun, ManualWakeRunsWithoutTimersNarrowsThePolicyAndStartsThePrograms) {
    Sandbox sandbox;
    sandbox.WriteScenario({{"sleep_ms", "1100"}});  // woken by hand after a second
    std::string between = InstallRecorder(sandbox, "between.exe");
    std::string after = InstallRecorder(sandbox, "after.exe");
    std::string config = sandbox.Path("run.dat");
    std::string log = sandbox.Path("run.log");
    WriteConfig(config, [&](ConfigRecord& s) {
        SetConfigText(s.logFilePath, log.c_str());
        s.runAppBetweenSleeps = 1;
        SetConfigText(s.appBetweenSleepsPath, between.c_str());
        s.runAppAfterLastCycle = 1;
        SetConfigText(s.appAfterLastCyclePath, after.c_str());
    });
    RunOptions options;
    options.args = {"--config=" + config, "-S1010", "-N", "2", "-D", "0", "-E", "-H"};
    options.timeoutMs = 30000;
    RunResult result = sandbox.Run(options);
    EXPECT_EQ(0u, result.exitCode);
    EXPECT_LT(result.elapsedMs, 20000u);

    std::vector<std::string> lines = LogBodies(log);
    EXPECT_EQ(0, CountPrefix(lines, "Setting wake time at "));
    EXPECT_EQ(0, Count(lines, "Waitable timer triggered."));
    EXPECT_EQ(4, CountPrefix(lines, "Sleep time OK "));
    EXPECT_GE(Find(lines, "Wake up from S3, Cycle 2"), 0);
    EXPECT_EQ(1, Count(lines, "Last cycle completed"));

    // The password flag is cleared through the active scheme, before any sleep.
    std::vector<std::string> journal = sandbox.Journal();
    int scheme = -1, firstSleep = -1;
    for (int i = 0; i < (int)journal.size(); i++) {
        if (scheme < 0 && journal[i].compare(0, 18, "SetActivePwrScheme") == 0) scheme = i;
        if (firstSleep < 0 && journal[i].compare(0, 15, "SetSuspendState") == 0) firstSleep = i;
    }
    ASSERT_GE(scheme, 0);
    EXPECT_LT(scheme, firstSleep);
    EXPECT_EQ("0", JournalField(journal[scheme], "EnablePasswordLogon"));
    EXPECT_EQ("0x1", JournalField(journal[scheme], "GlobalFlags"));
    EXPECT_EQ("3", JournalField(journal[scheme], "id"));

    // Each sleep narrows the administrator policy to its state; the exit puts the first one back.
    std::vector<std::string> suspends = sandbox.JournalCalls("SetSuspendState");
    ASSERT_EQ(4u, suspends.size());
    for (const auto& line : suspends) EXPECT_EQ("0", JournalField(line, "hibernate")) << line;
    std::vector<std::string> writes = AdminWrites(sandbox);
    ASSERT_EQ(5u, writes.size());
    const char* expected[] = {"2", "4", "2", "4"};
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(expected[i], JournalField(writes[i], "MinSleep")) << writes[i];
        EXPECT_EQ(expected[i], JournalField(writes[i], "MaxSleep")) << writes[i];
        EXPECT_EQ("3600", JournalField(writes[i], "MaxVideoTimeout")) << writes[i];
    }
    EXPECT_EQ("2", JournalField(writes[4], "MinSleep"));
    EXPECT_EQ("5", JournalField(writes[4], "MaxSleep"));

    EXPECT_EQ(3, RecorderRuns(between, 3));
    EXPECT_EQ(1, RecorderRuns(after, 1));
}

TEST(EngineRun, FallbackRulesAsTheProgramRunsThem) {
    // S4 asked for on a machine with S1 and S3 and no hibernation file.
    struct Case {
        const char* rule;
        std::vector<std::string> lines;
        int suspends;
        const char* force;
    } cases[] = {
        {"-f1",
         {"Requested sleep state S4 is not supported on this machine", "Attempting lighter Sleep S3, Duration 60 secs",
          "Going to sleep, S3, Unforced, Duration 60sec"},
         1, "0"},
        {"-f2",
         {"Requested sleep state S4 is not supported on this machine",
          "Skipping sleep state attempt S4 as we cannot go deeper", "Last cycle completed"},
         0, ""},
        {"-f3",
         {"Requested sleep state S4 is not supported on this machine", "Forcing attempt S4",
          "Going to sleep, S4, Force, Duration 60sec"},
         1, "1"},
        {"-f4",
         {"Requested sleep state S4 is not supported on this machine", "Skipping sleep state attempt S4",
          "Last cycle completed"},
         0, ""},
    };
    for (const Case& c : cases) {
        Sandbox sandbox(CurrentTestName() + c.rule);
        sandbox.WriteScenario({{"hiberfile", "0"}, {"sleep_ms", "1100"}});
        std::string log = sandbox.Path("run.log");
        RunOptions options;
        options.args = {"-S0001", "-R", "60", "-N", "1", "-D", "0", "-E", "-H", c.rule, "-L", log};
        options.timeoutMs = 30000;
        RunResult result = sandbox.Run(options);
        // A run that entered no sleep at all is no pass.
        EXPECT_EQ(c.suspends ? 0u : 2u, result.exitCode) << c.rule;
        std::vector<std::string> lines = LogBodies(log);
        int at = Find(lines, c.lines[0]);
        ASSERT_GE(at, 0) << c.rule;
        for (size_t i = 1; i < c.lines.size(); i++) EXPECT_EQ(c.lines[i], lines.at(at + i)) << c.rule;
        std::vector<std::string> suspends = sandbox.JournalCalls("SetSuspendState");
        ASSERT_EQ((size_t)c.suspends, suspends.size()) << c.rule;
        if (c.suspends) {
            EXPECT_EQ(c.force, JournalField(suspends[0], "force")) << c.rule;
        }
    }
}

TEST(EngineRun, RefusedSleepEndsTheRunWithItsErrorLoggedInsteadOfABox) {
    Sandbox sandbox;
    sandbox.WriteScenario({{"suspend_result", "0"}, {"suspend_error", "5"}});
    std::string config = sandbox.Path("run.dat");
    std::string log = sandbox.Path("run.log");
    WriteConfig(config, [&](ConfigRecord& s) {
        SetConfigText(s.logFilePath, log.c_str());
        s.stopOnError = 1;
    });
    RunOptions options;
    options.args = {"--config=" + config, "-S1000", "-N", "3", "-D", "0", "-E", "-H"};
    options.timeoutMs = 30000;
    RunResult result = sandbox.Run(options);
    EXPECT_EQ(2u, result.exitCode);
    // Nobody is there to answer an automatic-exit run: the box is a line.
    EXPECT_TRUE(result.boxes.empty());
    EXPECT_EQ(1u, sandbox.JournalCalls("SetSuspendState").size());  // the run ends at the first failure
    std::vector<std::string> lines = LogBodies(log);
    int sleepError = Find(lines, "Sleep error, Error code 5");
    ASSERT_GE(sleepError, 0);
    EXPECT_EQ("SetSuspendState failed. Error code: 5", lines.at(sleepError - 1));
    EXPECT_EQ("Error entering sleep state S1...", lines.at(sleepError + 1));
    EXPECT_EQ("Cannot enter sleep state!: Error entering sleep state S1...Call to enter sleep state failed.",
              lines.at(sleepError + 2));
    EXPECT_EQ(-1, Find(lines, "Last cycle completed"));
    EXPECT_FALSE(FileExists(sandbox.Path("sleepflag")));
}

TEST(EngineRun, PermissionProblemsAreShownAndTheSleepGoesOn) {
    for (bool unattended : {false, true}) {
        Sandbox sandbox(CurrentTestName() + (unattended ? "E" : ""));
        sandbox.WriteScenario({{"set_scheme_ok", "0"}, {"admin_write_status", "0xC0000022"}, {"sleep_ms", "1100"}});
        std::string log = sandbox.Path("run.log");
        RunOptions options;
        options.args = {"-S1010", "-N", "1", "-D", "0", "-H", "-L", log};
        if (unattended) options.args.push_back("-E");
        options.answers.push_back({"Vesplin permissions problem", {IDOK}});
        // Without -E the window stays: Exit once the run has logged its end.
        options.timeoutMs = 30000;
        std::atomic<bool> done(false);
        std::thread exiter([&] {
            while (!done && Find(LogBodies(log), "Last cycle completed") < 0) Sleep(100);
            HWND window = FindMainWindowOf(sandbox.Exe());
            if (window && !unattended) PressButton(window, IDCANCEL);
        });
        RunResult result = sandbox.Run(options);
        done = true;
        exiter.join();
        EXPECT_EQ(0u, result.exitCode);
        EXPECT_EQ(2u, sandbox.JournalCalls("SetSuspendState").size());
        // One for the power scheme at start-up, one before each of the two light sleeps.
        std::vector<std::string> texts;
        if (unattended) {
            EXPECT_TRUE(result.boxes.empty());
            for (const std::string& line : LogBodies(log)) {
                if (line.compare(0, 29, "Vesplin permissions problem: ") == 0) texts.push_back(line.substr(29));
            }
        } else {
            for (const SeenBox& box : result.boxes) texts.push_back(box.text);
        }
        ASSERT_EQ(3u, texts.size()) << unattended;
        EXPECT_EQ(0u, texts[0].find("Error setting active power scheme."));
        EXPECT_EQ(0u, texts[1].find("Error setting active admin power policy"));
        EXPECT_EQ(0u, texts[2].find("Error setting active admin power policy"));
    }
}

TEST(EngineRun, DurationsBelowTheSafeMinimumStartNoRun) {
    struct Case {
        const char* states;
        const char* duration;
        const char* first;
        const char* second;
    } cases[] = {
        {"-S1000", "20", "Specified duration is too short for sleep and therefore unsafe.", "Must be at least 30 seconds."},
        {"-S0001", "59", "Specified duration is too short for hibernate and therefore unsafe.",
         "Must be at least 60 seconds."},
    };
    for (const Case& c : cases) {
        Sandbox sandbox(CurrentTestName() + c.states);
        std::string config = sandbox.Path("run.dat");
        std::string log = sandbox.Path("run.log");
        WriteConfig(config, [&](ConfigRecord& s) { SetConfigText(s.logFilePath, log.c_str()); });
        RunOptions options;
        options.args = {"--config=" + config, c.states, "-R", c.duration, "-N", "1", "-E"};
        options.timeoutMs = 30000;
        RunResult result = sandbox.Run(options);
        // An automatic-exit run that cannot start ends at once and says why.
        EXPECT_EQ((DWORD)EXIT_RUN_NOT_STARTED, result.exitCode);
        EXPECT_LT(result.elapsedMs, 15000u);
        std::vector<std::string> lines = LogBodies(log);
        int first = Find(lines, c.first);
        ASSERT_GE(first, 0) << c.states;
        EXPECT_EQ(c.second, lines.at(first + 1));
        EXPECT_GT(FindPrefix(lines, "The command line's run does not start: a sleep duration is below its safe minimum"),
                  first);
        EXPECT_EQ(0, CountPrefix(lines, "Going to sleep"));
        EXPECT_TRUE(sandbox.JournalCalls("SetSuspendState").empty());
    }
}

TEST(EngineRun, RunKilledWhileAsleepIsResumedAtTheNextStart) {
    Sandbox sandbox;
    std::string config = sandbox.Path("run.dat");
    std::string firstLog = sandbox.Path("first.log");
    WriteConfig(config, [&](ConfigRecord& s) { SetConfigText(s.logFilePath, firstLog.c_str()); });

    // The first instance is lost while "asleep" in S1 of cycle 1.
    sandbox.WriteScenario({{"sleep_ms", "120000"}});
    RunOptions first;
    first.args = {"--config=" + config, "-S1010", "-N", "2", "-D", "0", "-E", "-H", "-C"};
    first.timeoutMs = 6000;
    UseSimulator(&first, sandbox.ScenarioPath(), sandbox.JournalPath(), sandbox.StatePath());
    long long before = (long long)time(nullptr);
    RunResult lost = RunProgram(sandbox.Exe(), first);
    ASSERT_TRUE(lost.timedOut);
    ASSERT_EQ(1u, sandbox.JournalCalls("SetSuspendState").size());

    std::string marker = ReadText(sandbox.Path("sleepflag"));
    ASSERT_EQ(sizeof(ResumeRecord) + sizeof(MarkerTail) + sizeof(MarkerRun), marker.size());
    ResumeRecord record;
    memcpy(&record, marker.data(), sizeof(record));
    EXPECT_EQ(0, record.cycleIndex);
    EXPECT_EQ(1, record.nextStatePos);
    EXPECT_EQ(0, record.requestedState);
    EXPECT_EQ(1, record.selectedStates[0]);
    EXPECT_EQ(0, record.selectedStates[1]);
    EXPECT_EQ(1, record.selectedStates[2]);
    EXPECT_GE(record.sleepStartTime, before);
    EXPECT_EQ("\"" + sandbox.Exe() + "\"", RunOnceValue());
    EXPECT_GE(Find(LogBodies(firstLog), "Going to sleep, S1, Unforced, Duration 30sec"), 0);

    // The next start, as the RunOnce value makes it: no arguments. The default
    // settings file says otherwise, but the marker brings back the command line's run.
    WriteConfig(sandbox.Path("vesplinCfg.dat"), [&](ConfigRecord& s) {
        s.cycleCount = 7;
        s.useState[1] = 1;
    });
    sandbox.WriteScenario({{"sleep_ms", "1500"}});
    RunOptions next;
    next.timeoutMs = 30000;
    RunResult resumed = sandbox.Run(next);
    EXPECT_EQ((DWORD)EXIT_SLEEP_FAILED, resumed.exitCode);  // its lost sleep counts

    std::vector<std::string> lines = LogBodies(firstLog);
    int wake = Find(lines, "WAKE UP FROM S1, CYCLE 1, Vesplin restart, possible power cycle");
    ASSERT_GE(wake, 0);
    int away = -1;
    ASSERT_EQ(1, sscanf(lines.at(wake + 1).c_str(), "SLEEP TIME TOO LONG WARNING, Sleep time %dsec", &away));
    EXPECT_GE(away, 1);
    EXPECT_LT(away, 60);
    // The interrupted cycle goes on with S3, then cycle 2 runs whole.
    int s3 = Find(lines, "Wake up from S3, Cycle 1", wake);
    ASSERT_GT(s3, wake);
    EXPECT_EQ(-1, Find(lines, "Wake up from S1, Cycle 1"));
    EXPECT_GT(Find(lines, "Wake up from S1, Cycle 2"), s3);
    EXPECT_GT(Find(lines, "Wake up from S3, Cycle 2"), s3);
    EXPECT_EQ(1, Count(lines, "Last cycle completed"));
    EXPECT_FALSE(FileExists(sandbox.Path("sleepflag")));
    // A normal exit takes the automatic restart back.
    EXPECT_EQ("<none>", RunOnceValue());
}

TEST(EngineRun, ErrorDetectedChoicesAtTheNextStart) {
    struct Case {
        const char* name;
        int button;
        int suspends;      // resumed run and command-line run together
        bool endsByItself;  // Stop leaves the program waiting in its window
    } cases[] = {
        {"Continue", IDC_ERROR_CONTINUE, 4, false},
        {"Stop", IDC_ERROR_STOP, 0, false},
        {"Exit", IDC_ERROR_EXIT, 0, true},
    };
    for (const Case& c : cases) {
        Sandbox sandbox(CurrentTestName() + c.name);
        std::string config, log;
        LoseCycleWithStopOnError(sandbox, 1, &config, &log);
        sandbox.WriteScenario({{"sleep_ms", "1100"}});
        RunOptions options;
        // A person is there to answer: no automatic exit.
        options.args = {"--config=" + config, "-S1000", "-N", "3", "-D", "0", "-H"};
        options.answers.push_back({"Error Detected", {c.button}});
        RunResult result;
        if (c.endsByItself) {
            options.timeoutMs = 30000;
            result = sandbox.Run(options);
            EXPECT_EQ(0u, result.exitCode) << c.name;
        } else {
            // Then the program waits for the user; it is ended once it has had time to run everything.
            options.timeoutMs = c.suspends ? 15000 : 8000;
            UseSimulator(&options, sandbox.ScenarioPath(), sandbox.JournalPath(), sandbox.StatePath());
            result = RunProgram(sandbox.Exe(), options);
            EXPECT_TRUE(result.timedOut) << c.name;
        }
        ASSERT_GE(result.boxes.size(), 1u) << c.name;
        EXPECT_EQ("Error Detected", result.boxes[0].caption);

        std::vector<std::string> lines = LogBodies(log);
        int wake = Find(lines, "WAKE UP FROM S1, CYCLE 2, Vesplin restart, possible power cycle");
        ASSERT_GE(wake, 0) << c.name;
        int away = -1;
        ASSERT_EQ(1, sscanf(lines.at(wake + 1).c_str(), "SLEEP TIME TOO LONG WARNING, Sleep time %dsec", &away));
        EXPECT_NEAR(100, away, 5);
        EXPECT_EQ((size_t)c.suspends, sandbox.JournalCalls("SetSuspendState").size()) << c.name;
        EXPECT_FALSE(FileExists(sandbox.Path("sleepflag"))) << c.name;
        if (c.suspends) {
            // The resumed run finishes cycle 3 (cycle 2 had nothing left), then the command line's three cycles.
            int resumedLast = Find(lines, "Wake up from S1, Cycle 3");
            ASSERT_GT(resumedLast, wake);
            EXPECT_GT(Find(lines, "Wake up from S1, Cycle 2", wake), resumedLast);
            EXPECT_GT(Find(lines, "Wake up from S1, Cycle 1", resumedLast), resumedLast);
            EXPECT_EQ(2, Count(lines, "Last cycle completed"));
        }
    }
}

TEST(EngineRun, ErrorDetectedIsNotShownToAnUnattendedRun) {
    Sandbox sandbox;
    std::string config, log;
    LoseCycleWithStopOnError(sandbox, 0, &config, &log);
    RunOptions options;
    options.args = {"--config=" + config, "-S1000", "-N", "3", "-D", "0", "-E", "-H"};
    options.timeoutMs = 30000;
    RunResult result = sandbox.Run(options);
    // Stop on error was asked for: the run stops, and its lost sleep fails it.
    EXPECT_EQ((DWORD)EXIT_SLEEP_FAILED, result.exitCode);
    EXPECT_TRUE(result.boxes.empty());
    EXPECT_TRUE(sandbox.JournalCalls("SetSuspendState").empty());
    EXPECT_GE(Find(LogBodies(log),
                   "Error Detected: the run was interrupted by a power cycle and stop on error is set: Stop"),
              0);
    EXPECT_FALSE(FileExists(sandbox.Path("sleepflag")));
}

TEST(EngineRun, AdministratorPolicyThatCannotBeReadIsNeverWritten) {
    // As under Wine's own library: neither the narrowing nor the exit writes anything.
    Sandbox sandbox;
    sandbox.WriteScenario({{"admin_read_status", "0xC0000002"}, {"sleep_ms", "1100"}});
    std::string config = sandbox.Path("run.dat");
    std::string log = sandbox.Path("run.log");
    WriteConfig(config, [&](ConfigRecord& s) { SetConfigText(s.logFilePath, log.c_str()); });
    RunOptions options;
    options.args = {"--config=" + config, "-S1010", "-N", "1", "-D", "0", "-E", "-H"};
    options.timeoutMs = 30000;
    RunResult result = sandbox.Run(options);
    EXPECT_EQ(0u, result.exitCode);
    EXPECT_EQ(2u, sandbox.JournalCalls("SetSuspendState").size());
    EXPECT_TRUE(AdminWrites(sandbox).empty());
    EXPECT_EQ(2, Count(LogBodies(log), "Error getting active admin power policy. LastError = -1073741822."));
}
