// Whole-program runs that judge whether the machine slept, write the results
// file and end with the exit code automation reads, on simulated machines.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <vector>
#include "app/app.h"
#include "power/power.h"
#include "settings/settings.h"
#include "support/json_lines.h"
#include "support/process_run.h"
#include "support/run_log.h"
#include "results/results.h"
#include "ui/ui.h"

namespace {

int CountOf(const std::string& text, const std::string& part) {
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) count++;
    return count;
}


// A run on the simulated machine with a results file; the log goes to run.log.
struct ResultsRun {
    RunResult result;
    std::vector<std::string> lines;
    std::vector<nlohmann::json> records;
};

ResultsRun RunWithResults(const Sandbox& sandbox, std::vector<std::string> args) {
    std::string log = sandbox.Path("run.log");
    std::string results = sandbox.Path("results.jsonl");
    args.push_back("-L");
    args.push_back(log);
    args.push_back("--results=" + results);
    RunOptions options;
    options.args = args;
    options.timeoutMs = 60000;
    ResultsRun run;
    run.result = sandbox.Run(options);
    run.lines = LogBodies(log);
    run.records = ReadJsonLines(results);
    return run;
}

const std::regex kUtc("^\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}Z$");

}  // namespace

TEST(ResultsRun, MachineThatSleepsGivesOkRecordsAndExitCodeZero) {
    Sandbox sandbox;
    // Each suspend call "sleeps" 1.5 s and the machine's stamps say so.
    sandbox.WriteScenario({{"sleep_ms", "1500"}});
    ResultsRun run = RunWithResults(sandbox, {"-S1010", "-N", "2", "-D", "0", "-E", "-H"});
    EXPECT_EQ(0u, run.result.exitCode);
    ASSERT_EQ(4u, run.records.size());
    const char* states[] = {"S1", "S3", "S1", "S3"};
    for (int i = 0; i < 4; i++) {
        const nlohmann::json& r = run.records[i];
        EXPECT_EQ(i / 2 + 1, r["cycle"]);
        EXPECT_EQ(states[i], r["requested_state"]);
        EXPECT_EQ(states[i], r["entered_state"]);
        EXPECT_TRUE(r["fallback"].is_null());
        EXPECT_EQ(30, r["requested_sec"]);
        EXPECT_EQ("ok", r["verdict"]);
        EXPECT_EQ("sleep_wake_stamps", r["asleep_source"]);
        EXPECT_EQ(r["measured_sec"], r["asleep_sec"]);
        EXPECT_TRUE(std::regex_match(r["start_utc"].get<std::string>(), kUtc)) << r["start_utc"];
        EXPECT_TRUE(std::regex_match(r["end_utc"].get<std::string>(), kUtc)) << r["end_utc"];
        EXPECT_LE(r["start_utc"].get<std::string>(), r["end_utc"].get<std::string>());
        EXPECT_EQ(0, r["error_code"]);
    }
    int measured = -1, asleep = -1, of = -1;
    int line = FindPrefix(run.lines, "Time asleep ");
    ASSERT_GE(line, 1);
    EXPECT_EQ(2, sscanf(run.lines[line].c_str(), "Time asleep %d sec of %d sec", &asleep, &of));
    ASSERT_EQ(1, sscanf(run.lines[line - 1].c_str(), "Sleep time OK %dsec", &measured));
    EXPECT_EQ(measured, of);
    EXPECT_EQ(asleep, of);
    EXPECT_NE(std::string::npos, run.lines[line].find("(LastSleepTime/LastWakeTime)"));
    EXPECT_EQ(-1, FindPrefix(run.lines, "The machine did not sleep"));
    // The run report beside the results file: a green column for each sleep, and the exit code.
    std::string page = ReadText(sandbox.Path("results.html"));
    size_t columns = 0;
    for (size_t at = page.find("<rect class=\"v-ok\""); at != std::string::npos;
         at = page.find("<rect class=\"v-ok\"", at + 1))
        columns++;
    EXPECT_EQ(4u, columns);
    EXPECT_EQ(std::string::npos, page.find("<rect class=\"v-lost\""));
    EXPECT_NE(std::string::npos, page.find("<tr><td>Exit code</td><td>0 (every sleep ok, the run completed)"));
}

TEST(ResultsRun, SleepsTheSystemNeverRecordedFailTheRun) {
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, std::string>> scenario;
        const char* source;
    } cases[] = {
        // The stamps move, but span no time.
        {"stamps", {{"sleep_ms", "2000"}, {"asleep_ms", "0"}}, "sleep_wake_stamps"},
        // No stamps: the clocks show that unbiased time never stopped.
        {"clocks", {{"sleep_ms", "2000"}, {"stamps_status", "0xC0000002"}}, "tick_count"},
        // Stamps that did not move since before the sleep are not believed.
        {"frozen", {{"sleep_ms", "2000"}, {"stamps_frozen", "1"}}, "tick_count"},
    };
    for (const Case& c : cases) {
        Sandbox sandbox(CurrentTestName() + c.name);
        sandbox.WriteScenario(c.scenario);
        ResultsRun run = RunWithResults(sandbox, {"-S1010", "-N", "1", "-D", "0", "-E", "-H"});
        EXPECT_EQ(2u, run.result.exitCode) << c.name;
        ASSERT_EQ(2u, run.records.size()) << c.name;
        for (const auto& r : run.records) {
            EXPECT_EQ("not_slept", r["verdict"]) << c.name;
            EXPECT_EQ(c.source, r["asleep_source"]) << c.name;
            EXPECT_EQ(0, r["asleep_sec"]) << c.name;
        }
        int error = Find(run.lines,
                         "The machine did not sleep: the suspend call returned after 2 sec and no time was spent "
                         "asleep");
        ASSERT_GE(error, 1) << c.name;
        EXPECT_EQ(0, CountPrefix(run.lines, "Sleep time OK")) << c.name;
        EXPECT_EQ(2u, sandbox.JournalCalls("SetSuspendState").size()) << c.name;
    }
}

TEST(ResultsRun, RefusedSleepAndFallbackRecords) {
    {
        Sandbox sandbox(CurrentTestName() + "refused");
        sandbox.WriteScenario({{"suspend_result", "0"}, {"suspend_error", "5"}});
        ResultsRun run = RunWithResults(sandbox, {"-S1000", "-N", "3", "-D", "0", "-E", "-H"});
        EXPECT_EQ(2u, run.result.exitCode);
        ASSERT_EQ(1u, run.records.size());  // the run ends at the refusal
        const nlohmann::json& r = run.records[0];
        EXPECT_EQ("refused", r["verdict"]);
        EXPECT_EQ(5, r["error_code"]);
        EXPECT_EQ(0, r["measured_sec"]);
        EXPECT_TRUE(r["asleep_sec"].is_null());
        EXPECT_TRUE(r["asleep_source"].is_null());
    }
    struct Case {
        const char* rule;
        const char* entered;
        const char* fallback;
    } cases[] = {{"-f1", "S3", "lighter"}, {"-f3", "S4", "force"}};
    for (const Case& c : cases) {
        // S4 asked for on a machine with S1 and S3 and no hibernation file.
        Sandbox sandbox(CurrentTestName() + c.rule);
        sandbox.WriteScenario({{"hiberfile", "0"}, {"sleep_ms", "500"}});
        ResultsRun run = RunWithResults(sandbox, {"-S0001", "-R", "60", "-N", "1", "-D", "0", "-E", "-H", c.rule});
        EXPECT_EQ(0u, run.result.exitCode) << c.rule;
        ASSERT_EQ(1u, run.records.size()) << c.rule;
        EXPECT_EQ("S4", run.records[0]["requested_state"]);
        EXPECT_EQ(c.entered, run.records[0]["entered_state"]) << c.rule;
        EXPECT_EQ(c.fallback, run.records[0]["fallback"]) << c.rule;
        EXPECT_EQ(60, run.records[0]["requested_sec"]);
    }
}

TEST(ResultsRun, SleepThatNeverCameBackGetsALostRecordAtTheNextStart) {
    Sandbox sandbox;
    std::string results = sandbox.Path("results.jsonl");
    std::string config = sandbox.Path("run.dat");
    WriteConfig(config, [&](ConfigRecord& s) { SetConfigText(s.logFilePath, sandbox.Path("first.log").c_str()); });
    // The first instance is lost while "asleep" in S3, the second state of cycle 1.
    sandbox.WriteScenario({{"sleep_ms", "1100"}});  // a manual wake after a second's sleep
    std::string journal = sandbox.JournalPath();
    RunOptions first;
    std::string junit = sandbox.Path("results.xml"), status = sandbox.Path("results.run.json");
    first.args = {"--config=" + config, "-S1010", "-N", "2", "-D", "3", "-E", "-H", "-C", "--results=" + results,
                  "--junit=" + junit};
    UseSimulator(&first, sandbox.ScenarioPath(), journal, sandbox.StatePath());
    // The status a poller sees while the first sleep is being made: running, nothing done yet.
    nlohmann::json started;
    std::thread poller([&] {
        for (int waited = 0; waited < 5000 && !started.is_object(); waited += 10) {
            if (!sandbox.JournalCalls("SetSuspendState").empty())
                started = nlohmann::json::parse(ReadText(status), nullptr, false);
            Sleep(10);
        }
    });
    // S3 sleeps for ever: the scenario is re-read on every call.
    std::thread slow([&] {
        for (int waited = 0; waited < 2000 && sandbox.JournalCalls("SetSuspendState").empty(); waited += 20) Sleep(20);
        sandbox.WriteScenario({{"sleep_ms", "120000"}});
    });
    first.timeoutMs = 10000;  // S1, the countdown, then S3 "asleep" until killed
    RunResult lost = RunProgram(sandbox.Exe(), first);
    slow.join();
    poller.join();
    ASSERT_TRUE(lost.timedOut);
    ASSERT_EQ(2u, sandbox.JournalCalls("SetSuspendState").size());
    ASSERT_TRUE(started.is_object());
    EXPECT_EQ("running", started["state"]);
    std::string runId = started["run_id"].is_string() ? started["run_id"].get<std::string>() : "";
    EXPECT_TRUE(IsRunId(runId.c_str())) << runId;
    EXPECT_EQ(0, started["verdicts"]["ok"]);
    // Killed in its second sleep: still running, one sleep done, by when it owes the next word.
    nlohmann::json killed = nlohmann::json::parse(ReadText(status), nullptr, false);
    ASSERT_TRUE(killed.is_object());
    EXPECT_EQ("running", killed["state"]);
    EXPECT_EQ(runId, killed["run_id"]);
    EXPECT_EQ(1, killed["verdicts"]["ok"]);
    EXPECT_EQ(2, killed["cycles_planned"]);
    EXPECT_TRUE(killed["exit_code"].is_null());
    EXPECT_TRUE(killed["next_update_by"].is_null());  // woken by hand (-H): no bound
    EXPECT_EQ(junit, killed["junit"]);
    EXPECT_EQ(results, killed["results"]);

    // The marker carries the sleep's details and the results file after the
    // run position, then the command-line run itself.
    std::string marker = ReadText(sandbox.Path("sleepflag"));
    ASSERT_EQ(sizeof(ResumeRecord) + sizeof(MarkerTail) + sizeof(MarkerRun), marker.size());
    MarkerTail tail;
    ASSERT_TRUE(ParseMarkerTail(marker.data() + sizeof(ResumeRecord), sizeof(MarkerTail), &tail));
    EXPECT_EQ(SLEEP_S3, tail.enteredState);
    EXPECT_EQ(30, tail.requestedSec);
    EXPECT_STREQ(results.c_str(), tail.resultsPath);
    ASSERT_EQ(1u, ReadJsonLines(results).size());  // the first sleep's record is already on the device

    // The next start as the automatic restart makes it: no arguments. The
    // marker brings back the run, its results file and its automatic exit.
    sandbox.WriteScenario({{"sleep_ms", "1500"}});
    RunOptions next;
    next.timeoutMs = 30000;
    RunResult resumed = sandbox.Run(next);
    EXPECT_EQ((DWORD)EXIT_SLEEP_FAILED, resumed.exitCode);  // the lost sleep fails the run
    EXPECT_TRUE(resumed.boxes.empty());

    std::vector<nlohmann::json> records = ReadJsonLines(results);
    ASSERT_EQ(4u, records.size());  // S1, the lost S3, then cycle 2's S1 and S3
    // One run through the power loss: every record and the status carry its id.
    for (const nlohmann::json& record : records) {
        EXPECT_EQ(runId, record["run_id"]);
        EXPECT_EQ(1, record["schema"]);
        EXPECT_TRUE(record["computer"].is_string() && !record["computer"].get<std::string>().empty());
    }
    nlohmann::json finished = nlohmann::json::parse(ReadText(status), nullptr, false);
    ASSERT_TRUE(finished.is_object());
    EXPECT_EQ("finished", finished["state"]);
    EXPECT_EQ(runId, finished["run_id"]);
    EXPECT_EQ(EXIT_SLEEP_FAILED, finished["exit_code"]);
    EXPECT_EQ(2, finished["cycles_done"]);
    EXPECT_EQ(3, finished["verdicts"]["ok"]);
    EXPECT_EQ(1, finished["verdicts"]["lost"]);
    EXPECT_EQ(started["start_utc"], finished["start_utc"]);
    EXPECT_TRUE(finished["end_utc"].is_string());
    // The JUnit file went on with the run as well: a case a sleep, the lost one failed.
    std::string xml = ReadText(junit);
    EXPECT_EQ(4, CountOf(xml, "<testcase "));
    EXPECT_EQ(1, CountOf(xml, "<failure "));
    EXPECT_FALSE(FileExists(junit + ".tmp"));
    EXPECT_FALSE(FileExists(status + ".tmp"));
    EXPECT_EQ("ok", records[0]["verdict"]);
    const nlohmann::json& r = records[1];
    EXPECT_EQ("lost", r["verdict"]);
    EXPECT_EQ(1, r["cycle"]);
    EXPECT_EQ("S3", r["requested_state"]);
    EXPECT_EQ("S3", r["entered_state"]);
    EXPECT_EQ(30, r["requested_sec"]);
    EXPECT_GE(r["measured_sec"].get<int>(), 1);
    EXPECT_TRUE(r["asleep_sec"].is_null());
    EXPECT_EQ(2, records[2]["cycle"]);
    EXPECT_EQ(2, records[3]["cycle"]);
    EXPECT_EQ("ok", records[3]["verdict"]);
    EXPECT_FALSE(FileExists(sandbox.Path("sleepflag")));
    // Both instances wrote into the run's own log, the second one appending.
    std::vector<std::string> lines = LogBodies(sandbox.Path("first.log"));
    EXPECT_EQ(2, CountPrefix(lines, "Vesplin V2.3 (Build: 1006)"));
    EXPECT_EQ(4, CountPrefix(lines, "Going to sleep"));
}

TEST(ResultsRun, ChecksBeforeTheFirstSleepOnASimulatedMachine) {
    Sandbox sandbox;
    sandbox.WriteScenario({{"aoac", "1"},
                           {"wake_timers_ac", "0"},
                           {"wake_timers_dc", "2"},
                           {"ac_online", "0"},
                           {"battery_percent", "40"},
                           {"hiberfile", "0"}});
    std::string log = sandbox.Path("run.log");
    RunOptions options;
    options.args = {"-S1001", "-N", "1", "-D", "0", "-E", "-H", "-L", log};
    options.timeoutMs = 30000;
    sandbox.Run(options);
    std::vector<std::string> lines = LogBodies(log);
    int firstSleep = FindPrefix(lines, "Going to sleep");
    ASSERT_GE(firstSleep, 0);
    const char* findings[] = {
        "This machine uses Modern Standby (S0 low-power idle): S1 to S3 are not available, whatever the legacy calls "
        "say",
        "Wake timers in the active power plan: disabled on AC power, important wake timers only on battery; a timed "
        "wake may never come",
        "The machine is on battery (40% left): the plan's battery settings apply and a long run drains it",
        "Hibernation is off (no hibernation file) while S4 is chosen: S4 cannot be entered; the fallback rule decides",
    };
    for (const char* finding : findings) {
        int at = Find(lines, finding);
        EXPECT_GE(at, 0) << finding;
        EXPECT_LT(at, firstSleep) << finding;
    }
    std::vector<std::string> journal = sandbox.JournalCalls("PowerReadDCValueIndex");
    ASSERT_EQ(1u, journal.size());

    // A healthy machine on AC power: the same checks, at Info level, and no hibernation line without S4.
    Sandbox healthy(CurrentTestName() + "_healthy");
    healthy.WriteScenario({{"ac_online", "1"}});
    std::string healthyLog = healthy.Path("run.log");
    options.args = {"-S1000", "-N", "1", "-D", "0", "-E", "-H", "-L", healthyLog};
    healthy.Run(options);
    lines = LogBodies(healthyLog);
    EXPECT_GE(Find(lines, "Wake timers in the active power plan: enabled on AC power, enabled on battery"), 0);
    EXPECT_GE(Find(lines, "The machine is on AC power"), 0);
    EXPECT_GE(FindPrefix(lines, "This machine does not use Modern Standby"), 0);
    EXPECT_EQ(-1, FindPrefix(lines, "Hibernation is"));
}

TEST(ResultsRun, PowerSettingsThatCannotBeReadAreADebugLine) {
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, std::string>> scenario;
        const char* line;
    } cases[] = {
        {"missing", {{"missing", "PowerReadACValueIndex"}},
         "The power-setting functions are missing; the plan's wake-timer setting is not checked."},
        {"failing", {{"power_settings_status", "5"}}, "Could not read the plan's wake-timer setting. Error code: 5"},
    };
    for (const Case& c : cases) {
        Sandbox sandbox(CurrentTestName() + c.name);
        std::vector<std::pair<std::string, std::string>> scenario = c.scenario;
        scenario.push_back({"sleep_ms", "1100"});  // a manual wake that really slept
        sandbox.WriteScenario(scenario);
        std::string config = sandbox.Path("run.dat");
        std::string log = sandbox.Path("run.log");
        WriteConfig(config, [&](ConfigRecord& s) { SetConfigText(s.logFilePath, log.c_str()); });
        RunOptions options;
        options.args = {"--config=" + config, "-S1000", "-N", "1", "-D", "0", "-E", "-H"};
        options.timeoutMs = 30000;
        RunResult result = sandbox.Run(options);
        EXPECT_EQ(0u, result.exitCode) << c.name;
        std::vector<std::string> lines = LogBodies(log);
        EXPECT_GE(Find(lines, c.line), 0) << c.name;
        EXPECT_EQ(-1, FindPrefix(lines, "Wake timers in the active power plan")) << c.name;
    }
}
