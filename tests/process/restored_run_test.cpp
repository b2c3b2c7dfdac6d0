// Starts after a power cycle beside markers a disk error, a half-finished
// restart or a hand could leave: every one records its lost sleep once, says
// what it could not take back, and ends as its contract says.
#include <gtest/gtest.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <functional>
#include <string>
#include <vector>
#include "power/power.h"
#include "support/json_lines.h"
#include "support/process_run.h"
#include "support/run_log.h"
#include "settings/settings.h"

namespace {

struct Marker {
    ResumeRecord position;
    MarkerTail tail;
    MarkerRun run;
};

// The marker a "-S1000 -R 30 -N 1 -C -E" run leaves while its only sleep is
// lost: every path in the sandbox, as full paths.
Marker GoodMarker(const Sandbox& sandbox) {
    Marker m;
    memset(&m, 0, sizeof(m));
    m.position.nextStatePos = 1;
    m.position.selectedStates[0] = 1;
    m.position.sleepStartTime = (long long)time(nullptr) - 100;
    memcpy(m.tail.magic, MARKER_TAIL_MAGIC, 4);
    m.tail.requestedSec = 30;
    snprintf(m.tail.resultsPath, sizeof(m.tail.resultsPath), "%s", sandbox.Path("r.jsonl").c_str());
    memcpy(m.run.magic, MARKER_RUN_MAGIC, 4);
    m.run.autoExit = 1;
    const int32_t durations[4] = {30, 30, 30, 60};
    memcpy(m.run.durations, durations, sizeof(durations));
    snprintf(m.run.logFilePath, sizeof(m.run.logFilePath), "%s", sandbox.Path("run.log").c_str());
    snprintf(m.run.commandLine, sizeof(m.run.commandLine), "Vesplin.exe -S1000 -R 30 -N 1 -C -E");
    Config defaults(nullptr);
    ConfigRecord& s = m.run.settings;
    s = defaults.settings;
    s.useState[0] = 1;
    s.useState[1] = s.useState[2] = s.useState[3] = 0;
    memcpy(s.sleepDurationSec, durations, sizeof(durations));
    s.cycleCount = 1;
    s.cycleForever = 0;
    s.cycleIntervalSec = 0;
    s.sleepForever = 0;
    s.autoRestart = 1;
    s.logToFile = 1;
    SetConfigText(s.logFilePath, m.run.logFilePath);
    return m;
}

// The file's bytes: the three parts back to back, without the structure's padding.
std::string Bytes(const Marker& m) {
    return std::string((const char*)&m.position, sizeof(m.position)) +
           std::string((const char*)&m.tail, sizeof(m.tail)) + std::string((const char*)&m.run, sizeof(m.run));
}

}  // namespace

TEST(RestoredRun, HostileMarkersAreRecordedOnceRefusedOrRedirectedAndEndWithTheirCode) {
    enum Outcome { REFUSED, CONTINUED, NOT_RESUMED };
    struct Case {
        const char* name;
        std::function<std::string(const Sandbox&, Marker&)> spoil;  // the marker file's bytes
        Outcome outcome;
        const char* errorLine;  // the Error line that says why; null: none
        int lostRecords;
    };
    auto file = [](const Sandbox& box, const char* name) { return box.Path(name); };
    const Case cases[] = {
        {"log into the settings file",
         [&](const Sandbox& b, Marker& m) {
             snprintf(m.run.logFilePath, 256, "%s", file(b, "vesplinCfg.dat").c_str());
             return Bytes(m);
         },
         REFUSED, "The interrupted run could not be taken back: ", 1},
        {"log into the marker",
         [&](const Sandbox& b, Marker& m) {
             snprintf(m.run.logFilePath, 256, "%s", file(b, "sleepflag").c_str());
             return Bytes(m);
         },
         REFUSED, "The interrupted run could not be taken back: ", 1},
        {"report over the results",
         [&](const Sandbox& b, Marker& m) {
             snprintf(m.run.reportPath, 256, "%s", file(b, "r.jsonl").c_str());
             return Bytes(m);
         },
         REFUSED, "The interrupted run could not be taken back: the run report ", 1},
        {"report over another file",
         [&](const Sandbox& b, Marker& m) {
             snprintf(m.run.reportPath, 256, "%s", file(b, "notes.txt").c_str());
             return Bytes(m);
         },
         REFUSED, "The interrupted run could not be taken back: the run report ", 1},
        {"a 1 s sleep",
         [](const Sandbox&, Marker& m) {
             m.run.durations[0] = 1;
             return Bytes(m);
         },
         REFUSED, "The interrupted run could not be taken back: the duration of S1, 1 seconds", 1},
        {"a 29 s sleep",
         [](const Sandbox&, Marker& m) {
             m.run.settings.sleepDurationSec[0] = 29;
             return Bytes(m);
         },
         REFUSED, "The interrupted run could not be taken back: the duration of S1, 29 seconds", 1},
        {"a sleep of over 30 days",
         [](const Sandbox&, Marker& m) {
             m.run.durations[0] = LONGEST_SLEEP_SEC + 1;
             return Bytes(m);
         },
         REFUSED, "The interrupted run could not be taken back: the duration of S1, 2592001 seconds", 1},
        {"an unterminated text",
         [](const Sandbox&, Marker& m) {
             memset(m.run.commandLine, 'c', sizeof(m.run.commandLine));
             return Bytes(m);
         },
         REFUSED, "The interrupted run could not be taken back: a file name or the command line", 1},
        {"a bad tally",
         [](const Sandbox&, Marker& m) {
             m.run.tally = {1, 2, 0};
             return Bytes(m);
         },
         REFUSED, "The interrupted run could not be taken back: the run's count of sleeps is impossible", 1},
        {"a wrong size",
         [](const Sandbox&, Marker& m) { return Bytes(m) + "0123456789"; },
         REFUSED, "The interrupted run could not be taken back: the run block has ", 1},
        {"results named as the settings file",
         [&](const Sandbox& b, Marker& m) {
             snprintf(m.tail.resultsPath, 256, "%s", file(b, "vesplinCfg.dat").c_str());
             return Bytes(m);
         },
         REFUSED, "The interrupted run could not be taken back: ", 0},
        // A bad field of the lost sleep's details loses neither its record nor the run.
        {"a bad state in the tail",
         [](const Sandbox&, Marker& m) {
             m.tail.enteredState = 9;
             return Bytes(m);
         },
         CONTINUED, "The details of the lost sleep in the marker file are damaged (the state", 1},
        {"log on a folder",
         [&](const Sandbox& b, Marker& m) {
             CreateDirectoryA(file(b, "logs").c_str(), nullptr);
             snprintf(m.run.logFilePath, 256, "%s", file(b, "logs").c_str());
             return Bytes(m);
         },
         CONTINUED, "The log file ", 1},
        {"log on a drive that is gone",
         [](const Sandbox&, Marker& m) {
             char drive = 'Z';
             while (drive > 'D' && (GetLogicalDrives() & (1u << (drive - 'A')))) --drive;
             snprintf(m.run.logFilePath, 256, "%c:\\lab\\run.log", drive);
             return Bytes(m);
         },
         CONTINUED, "The log file ", 1},
        // Killed after its lost record and before the run went on: the record stays the only one.
        {"a marker an earlier start recorded",
         [](const Sandbox& b, Marker& m) {
             m.tail.recorded = 1;
             WriteText(b.Path("r.jsonl"), "{\"cycle\":1,\"verdict\":\"lost\"}\n");
             return Bytes(m);
         },
         CONTINUED, nullptr, 1},
        {"a marker nobody may delete", [](const Sandbox&, Marker& m) { return Bytes(m); }, NOT_RESUMED,
         "The marker file ", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox sandbox(CurrentTestName() + "_" + std::to_string(&c - cases));
        sandbox.WriteScenario({{"sleep_ms", "0"}});
        DeleteFileA(sandbox.Path("vesplinCfg.dat").c_str());
        ASSERT_TRUE(WriteText(sandbox.Path("notes.txt"), "kept"));
        Marker marker = GoodMarker(sandbox);
        std::string marked = c.spoil(sandbox, marker);
        std::string markerPath = sandbox.Path("sleepflag");
        ASSERT_TRUE(WriteText(markerPath, marked));
        HANDLE held = INVALID_HANDLE_VALUE;
        if (c.outcome == NOT_RESUMED) {
            held = CreateFileA(markerPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
            ASSERT_NE(INVALID_HANDLE_VALUE, held);
        }
        RunOptions options;
        options.timeoutMs = 30000;
        RunResult result = sandbox.Run(options);
        if (held != INVALID_HANDLE_VALUE) CloseHandle(held);

        EXPECT_FALSE(result.timedOut);
        EXPECT_TRUE(result.boxes.empty());
        // The lost sleep fails the run; a run that could not even go on could not start.
        EXPECT_EQ(c.outcome == NOT_RESUMED ? 1u : 2u, result.exitCode);
        EXPECT_TRUE(sandbox.JournalCalls("SetSuspendState").empty());
        std::vector<nlohmann::json> records;
        if (c.lostRecords > 0) records = ReadJsonLines(sandbox.Path("r.jsonl"));
        ASSERT_EQ((size_t)c.lostRecords, records.size());
        for (const auto& r : records) EXPECT_EQ("lost", r["verdict"]);
        EXPECT_EQ(c.outcome == NOT_RESUMED, FileExists(markerPath));
        EXPECT_EQ("kept", ReadText(sandbox.Path("notes.txt")));

        // The lines of a refused run go to the settings' log; a run taken back
        // writes its own, or the default one beside the program when it cannot.
        bool fellBack = c.errorLine && strncmp(c.errorLine, "The log file ", 13) == 0;
        bool ownLog = c.outcome != REFUSED && !fellBack;
        std::vector<std::string> lines = LogBodies(sandbox.Path(ownLog ? "run.log" : "vesplin.log"));
        EXPECT_EQ(1, CountPrefix(lines, "WAKE UP FROM S1, CYCLE 1"));
        if (c.errorLine) {
            int error = FindPrefix(lines, c.errorLine);
            EXPECT_GE(error, 0) << c.errorLine;
        }
        if (c.outcome == CONTINUED) {
            EXPECT_GE(FindPrefix(lines, "Continuing the interrupted command-line run at cycle 1 of 1, results file "),
                      0);
            // Its end saved the run's settings, but no path the marker named.
            ConfigRecord saved;
            Config loader(nullptr);
            ASSERT_EQ(0, loader.Load(sandbox.Path("vesplinCfg.dat").c_str(), &saved));
            EXPECT_EQ(1, saved.cycleCount);
            EXPECT_STRNE(marker.run.logFilePath, saved.logFilePath);
        } else {
            // Nothing ran, so nothing was saved over the settings file.
            EXPECT_FALSE(FileExists(sandbox.Path("vesplinCfg.dat")));
        }
    }
}

TEST(RestoredRun, TheLostSleepCountsTowardMaxFailuresCarriedInTheMarker) {
    struct Case {
        const char* name;
        int limit;
        int sleeps;  // suspend calls of the restart: 0 when the lost sleep reaches the limit
    } cases[] = {
        {"the lost sleep is the second failure of two", 2, 0},
        {"the next sleep is the third failure of three", 3, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox sandbox(CurrentTestName() + "_" + std::to_string(c.limit));
        // Every sleep of the restart comes back at once without sleeping.
        sandbox.WriteScenario({{"sleep_ms", "1500"}, {"asleep_ms", "0"}});
        DeleteFileA(sandbox.Path("vesplinCfg.dat").c_str());
        // Cycle 1 did not sleep; cycle 2 was lost.
        Marker m = GoodMarker(sandbox);
        m.position.cycleIndex = 1;
        m.run.settings.cycleCount = 5;
        m.run.settings.sleepForever = 1;
        m.run.tally = {1, 1, 0};
        m.run.verdicts[VERDICT_NOT_SLEPT] = 1;
        m.run.failureStreak = 1;
        m.run.maxFailures = c.limit;
        ASSERT_TRUE(WriteText(sandbox.Path("sleepflag"), Bytes(m)));
        RunOptions options;
        options.timeoutMs = 30000;
        RunResult result = sandbox.Run(options);

        EXPECT_FALSE(result.timedOut);
        EXPECT_EQ((DWORD)EXIT_SLEEP_FAILED, result.exitCode);
        EXPECT_EQ((size_t)c.sleeps, sandbox.JournalCalls("SetSuspendState").size());
        std::vector<nlohmann::json> records = ReadJsonLines(sandbox.Path("r.jsonl"));
        ASSERT_EQ((size_t)(1 + c.sleeps), records.size());
        EXPECT_EQ("lost", records[0]["verdict"]);
        if (c.sleeps) {
            EXPECT_EQ("not_slept", records[1]["verdict"]);
        }
        std::vector<std::string> lines = LogBodies(sandbox.Path("run.log"));
        std::string end = "The run ends: " + std::to_string(c.limit) + " sleeps failed in a row (--max-failures=" +
                          std::to_string(c.limit) + ")";
        EXPECT_EQ(1, Count(lines, end));
        EXPECT_GT(Find(lines, end), FindPrefix(lines, "WAKE UP FROM S1, CYCLE 2"));
        EXPECT_GT(FindPrefix(lines, "Run ended early after " + std::to_string(2 + c.sleeps) + " sleeps"), Find(lines, end));
        EXPECT_EQ(c.sleeps ? 1 : 0, CountPrefix(lines, "Continuing the interrupted command-line run at cycle 2 of 5"));
        nlohmann::json status = nlohmann::json::parse(ReadText(sandbox.Path("r.run.json")), nullptr, false);
        ASSERT_TRUE(status.is_object());
        EXPECT_EQ("finished", status["state"]);
        EXPECT_EQ(EXIT_SLEEP_FAILED, status["exit_code"]);
        EXPECT_FALSE(FileExists(sandbox.Path("sleepflag")));
    }
}
