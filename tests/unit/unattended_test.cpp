// The decisions behind runs left alone: exit codes, help requests, files that
// must differ, the marker's run block, boxes nobody answers, quick sleeps.
#include <gtest/gtest.h>
#include <windows.h>
#include <string.h>
#include <string>
#include <vector>
#include "app/app.h"
#include "log/log.h"
#include "power/power.h"
#include "settings/settings.h"
#include "support/box_watcher.h"
#include "results/results.h"
#include "ui/ui.h"

namespace {

std::vector<char*> Argv(std::vector<std::string>& words) {
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(&word[0]);
    argv.push_back(nullptr);
    return argv;
}

}  // namespace

TEST(Unattended, ExitCodeOfARun) {
    struct Case {
        RunTally tally;
        int runEnd;
        int code;
    } cases[] = {
        {{3, 0, 0}, RUN_END_COMPLETED, 0},
        {{3, 1, 0}, RUN_END_COMPLETED, EXIT_SLEEP_FAILED},
        {{3, 0, 1}, RUN_END_COMPLETED, EXIT_SLEEP_FAILED},  // a record the file could not take
        {{0, 0, 0}, RUN_END_COMPLETED, EXIT_SLEEP_FAILED},  // no sleep entered is no pass
        {{1, 0, 0}, RUN_END_STOPPED, EXIT_RUN_STOPPED},
        {{0, 0, 0}, RUN_END_STOPPED, EXIT_RUN_STOPPED},
        {{2, 1, 0}, RUN_END_STOPPED, EXIT_SLEEP_FAILED},  // a failure outweighs the stop
        {{2, 1, 0}, RUN_END_FAILED, EXIT_SLEEP_FAILED},
        {{2, 0, 0}, RUN_END_FAILED, EXIT_SLEEP_FAILED},  // ended by an error, never a pass
        {{0, 0, 0}, RUN_END_NOT_STARTED, EXIT_RUN_NOT_STARTED},
        {{4, 2, 0}, RUN_END_NOT_STARTED, EXIT_RUN_NOT_STARTED},
        {{1, 0, 0}, RUN_END_NONE, EXIT_SLEEP_FAILED},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.code, RunExitCode(&c.tally, c.runEnd))
            << c.tally.sleeps << "/" << c.tally.failed << "/" << c.tally.recordsLost << " end " << c.runEnd;
    }
}

TEST(Unattended, HelpVersionAndAutoExitAreFoundBeforeParsing) {
    struct Case {
        std::vector<std::string> words;
        int info;
        bool autoExit;
    } cases[] = {
        {{"V"}, INFO_NONE, false},
        {{"V", "-?"}, INFO_HELP, false},
        {{"V", "/?"}, INFO_HELP, false},
        {{"V", "-h"}, INFO_HELP, false},
        {{"V", "/h"}, INFO_HELP, false},
        {{"V", "--help", "-E"}, INFO_HELP, true},
        {{"V", "--version"}, INFO_VERSION, false},
        {{"V", "--version", "-?"}, INFO_HELP, false},  // help wins
        {{"V", "-H", "/E"}, INFO_NONE, true},          // -H is manual wake, not help
        {{"V", "--helpme", "--E", "e"}, INFO_NONE, false},
    };
    for (Case& c : cases) {
        std::vector<char*> argv = Argv(c.words);
        EXPECT_EQ(c.info, FindInfoRequest((int)c.words.size(), argv.data())) << c.words.back();
        EXPECT_EQ(c.autoExit, CommandLineAsksAutoExit((int)c.words.size(), argv.data())) << c.words.back();
    }
    char line[256];
    FormatIdentityLine(line, sizeof(line));
    EXPECT_STREQ("Vesplin V2.3 (Build: 1006), built on May 12 2010 11:19:14", line);
    EXPECT_NE(nullptr, strstr(UsageText(), "3 a person stopped the run"));
}

TEST(Unattended, TheFourFilesMustDiffer) {
    char folder[MAX_PATH];
    ASSERT_GT(GetCurrentDirectoryA(sizeof(folder), folder), 0u);
    std::string here(folder);
    std::string marker = here + "\\sleepflag";
    std::string config = here + "\\vesplinCfg.dat";
    struct Case {
        std::string log, results, report;
        const char* clash;  // null when the files differ
        int files;
    } cases[] = {
        {here + "\\run.log", here + "\\r.jsonl", "r.html", nullptr, 0},
        {"", "", "", nullptr, 0},
        {"sleepflag", "", "", "The log file and the marker file are the same file: ", FILE_LOG | FILE_MARKER},
        {"", "SLEEPFLAG", "", "The results file and the marker file are the same file: ", FILE_RESULTS | FILE_MARKER},
        {"run.log", here + "\\RUN.LOG", "", "The log file and the results file are the same file: ",
         FILE_LOG | FILE_RESULTS},
        {"vesplinCfg.dat", "", "", "The log file and the configuration file are the same file: ", FILE_LOG | FILE_CONFIG},
        {"", ".\\sub\\..\\vesplincfg.dat", "", "The results file and the configuration file are the same file: ",
         FILE_RESULTS | FILE_CONFIG},
        {"", "r.jsonl", "R.JSONL", "The results file and the report file are the same file: ", FILE_RESULTS | FILE_REPORT},
        {"run.log", "", "run.log", "The log file and the report file are the same file: ", FILE_LOG | FILE_REPORT},
    };
    for (const Case& c : cases) {
        char note[NOTE_SIZE] = "x";
        int files = -1;
        const char* paths[FILE_KINDS] = {c.log.c_str(), c.results.c_str(), marker.c_str(), config.c_str(),
                                         c.report.c_str()};
        bool distinct = CheckDistinctFiles(paths, note, sizeof(note), &files);
        EXPECT_EQ(c.clash == nullptr, distinct) << c.log << " / " << c.results;
        EXPECT_EQ(c.files, files) << c.log << " / " << c.results;
        if (c.clash) {
            // A sentence of its own: the command line and the dialog each say where it came from.
            EXPECT_EQ(std::string(c.clash), std::string(note).substr(0, strlen(c.clash)));
        } else {
            EXPECT_STREQ("", note);
        }
    }
    // The JUnit and status files take part as well.
    const struct {
        const char* junit;
        const char* status;
        int files;
    } more[] = {{"r.xml", "r.run.json", 0},
                {"R.JSONL", "r.run.json", FILE_RESULTS | FILE_JUNIT},
                {"r.xml", "run.log", FILE_LOG | FILE_STATUS},
                {"r.run.json", "r.run.json", FILE_JUNIT | FILE_STATUS}};
    for (const auto& m : more) {
        char note[NOTE_SIZE];
        int files = -1;
        const char* paths[FILE_KINDS] = {"run.log", "r.jsonl", marker.c_str(), config.c_str(), "r.html", m.junit, m.status};
        EXPECT_EQ(m.files == 0, CheckDistinctFiles(paths, note, sizeof(note), &files)) << m.junit << " / " << m.status;
        EXPECT_EQ(m.files, files) << m.junit << " / " << m.status;
    }
}

TEST(Unattended, MarkerRunBlockRoundTripsAndBadOnesAreNotBelieved) {
    ResumeRecord position;
    memset(&position, 0, sizeof(position));
    position.cycleIndex = 4;
    position.nextStatePos = 1;
    position.sleepStartTime = 1796647494;
    MarkerTail tail;
    memset(&tail, 0, sizeof(tail));
    memcpy(tail.magic, MARKER_TAIL_MAGIC, 4);
    tail.requestedSec = 45;
    snprintf(tail.runId, sizeof(tail.runId), "20261207T124454Z-1a2b3c4d");
    snprintf(tail.computer, sizeof(tail.computer), "lab-pc-07");
    MarkerRun run;
    memset(&run, 0, sizeof(run));
    memcpy(run.magic, MARKER_RUN_MAGIC, 4);
    Config defaults(nullptr);
    run.settings = defaults.settings;
    run.settings.cycleCount = 3;
    run.autoExit = 1;
    run.growSeconds = -5;
    run.durations[0] = 95;
    run.tally = {2, 1, 0};
    run.verdicts[VERDICT_OK] = 1;
    run.verdicts[VERDICT_LOST] = 1;
    run.startUtc = 134411210940000000LL;
    run.failureStreak = 1;
    run.maxFailures = 5;
    snprintf(run.junitPath, sizeof(run.junitPath), "C:\\lab\\night.xml");
    snprintf(run.logFilePath, sizeof(run.logFilePath), "C:\\logs\\run.log");

    std::string bytes = std::string((const char*)&position, sizeof(position)) +
                        std::string((const char*)&tail, sizeof(tail)) + std::string((const char*)&run, sizeof(run));
    MarkerContents read;
    ASSERT_TRUE(ParseMarkerFile(bytes.data(), bytes.size(), &read));
    EXPECT_EQ(sizeof(ResumeRecord), read.positionBytes);
    EXPECT_EQ(4, read.position.cycleIndex);
    ASSERT_TRUE(read.haveTail);
    EXPECT_EQ(45, read.tail.requestedSec);
    ASSERT_TRUE(read.haveRun);
    EXPECT_EQ(3, read.run.settings.cycleCount);
    EXPECT_EQ(-5, read.run.growSeconds);
    EXPECT_EQ(95, read.run.durations[0]);
    EXPECT_EQ(2, read.run.tally.sleeps);
    EXPECT_STREQ("C:\\logs\\run.log", read.run.logFilePath);
    EXPECT_STREQ("C:\\lab\\night.xml", read.run.junitPath);
    EXPECT_EQ(1, read.run.verdicts[VERDICT_LOST]);
    EXPECT_EQ(134411210940000000LL, read.run.startUtc);
    EXPECT_EQ(1, read.run.failureStreak);
    EXPECT_EQ(5, read.run.maxFailures);
    EXPECT_STREQ("20261207T124454Z-1a2b3c4d", read.tail.runId);
    EXPECT_STREQ("lab-pc-07", read.tail.computer);

    // An older marker: the position and the tail, no run block.
    ASSERT_TRUE(ParseMarkerFile(bytes.data(), sizeof(position) + sizeof(tail), &read));
    EXPECT_TRUE(read.haveTail);
    EXPECT_FALSE(read.haveRun);
    // A short file fills only the part of the position it holds.
    memset(&read.position, 0x7F, sizeof(read.position));
    ParseMarkerFile(bytes.data(), 4, &read);
    EXPECT_EQ(4u, read.positionBytes);
    EXPECT_EQ(4, read.position.cycleIndex);
    EXPECT_EQ(0x7F7F7F7F, read.position.nextStatePos);
    EXPECT_FALSE(read.haveTail);

    // Run blocks that are not believed: the run then goes on as a window run would.
    auto spoil = [&](std::function<void(MarkerRun&)> change) {
        MarkerRun bad = run;
        change(bad);
        std::string spoiled = bytes.substr(0, sizeof(position) + sizeof(tail)) + std::string((const char*)&bad, sizeof(bad));
        MarkerContents contents;
        ParseMarkerFile(spoiled.data(), spoiled.size(), &contents);
        return contents.haveRun;
    };
    EXPECT_FALSE(spoil([](MarkerRun& r) { r.magic[3] = '9'; }));
    EXPECT_FALSE(spoil([](MarkerRun& r) { r.settings.magic[0] = 'X'; }));
    EXPECT_FALSE(spoil([](MarkerRun& r) { memset(r.logFilePath, 'a', sizeof(r.logFilePath)); }));
    EXPECT_FALSE(spoil([](MarkerRun& r) { r.tally.failed = 5; }));
    EXPECT_FALSE(spoil([](MarkerRun& r) { r.tally.sleeps = -1; }));
    EXPECT_FALSE(spoil([](MarkerRun& r) { r.verdicts[VERDICT_OK] = 2; }));  // three counted of two sleeps
    EXPECT_FALSE(spoil([](MarkerRun& r) { r.verdicts[VERDICT_LOST] = -1; }));
    EXPECT_FALSE(spoil([](MarkerRun& r) { memset(r.junitPath, 'j', sizeof(r.junitPath)); }));
    EXPECT_FALSE(spoil([](MarkerRun& r) { r.maxFailures = -1; }));
    EXPECT_FALSE(spoil([](MarkerRun& r) { r.maxFailures = MAX_FAILURES_LIMIT + 1; }));
    EXPECT_FALSE(spoil([](MarkerRun& r) { r.failureStreak = -1; }));
    EXPECT_FALSE(spoil([](MarkerRun& r) { r.failureStreak = 2; }));  // more in a row than failed at all
    EXPECT_TRUE(spoil([](MarkerRun& r) { r.maxFailures = MAX_FAILURES_LIMIT; }));
    // A run id that is not one, or a name without its end, is blanked and said.
    for (auto change : std::vector<std::function<void(MarkerTail&)>>{
             [](MarkerTail& t) { snprintf(t.runId, sizeof(t.runId), "\"},{\"x\":1"); },
             [](MarkerTail& t) { memset(t.computer, 'c', sizeof(t.computer)); }}) {
        MarkerTail bad = tail;
        change(bad);
        MarkerTail back;
        char why[96] = "";
        EXPECT_FALSE(ParseMarkerTail(&bad, sizeof(bad), &back, why, sizeof(why)));
        EXPECT_NE(std::string::npos, std::string(why).find("of the lost sleep")) << why;
        EXPECT_EQ(45, back.requestedSec);  // the rest is kept
        EXPECT_TRUE(back.runId[0] == '\0' || back.computer[0] == '\0');
    }
    // Unterminated setting texts are cut, not read past their fields.
    MarkerRun longTexts = run;
    memset(longTexts.settings.appBetweenSleepsPath, 'b', sizeof(longTexts.settings.appBetweenSleepsPath));
    MarkerRun kept;
    ASSERT_TRUE(ParseMarkerRun(&longTexts, &kept));
    EXPECT_EQ((size_t)CONFIG_TEXT_MAX, strlen(kept.settings.appBetweenSleepsPath));
    // A file longer than any marker: its tail still counts, the run block does not, and why is told.
    std::string longer = bytes + "x";
    ParseMarkerFile(longer.data(), longer.size(), &read);
    EXPECT_TRUE(read.haveTail);
    EXPECT_EQ(45, read.tail.requestedSec);
    EXPECT_TRUE(read.runPresent);
    EXPECT_EQ(1, read.runAutoExit);
    EXPECT_FALSE(read.haveRun);
    EXPECT_EQ("the run block has " + std::to_string(sizeof(run) + 1) + " bytes instead of " +
                  std::to_string(sizeof(run)),
              std::string(read.problem));
    // Tails of the older layouts (without the run's identity; without the
    // recorded flag either) are still read.
    for (const char* magic : {MARKER_TAIL_V2_MAGIC, MARKER_TAIL_V1_MAGIC}) {
        MarkerTail older = tail;
        older.recorded = 1;
        memcpy(older.magic, magic, 4);
        size_t size = strcmp(magic, MARKER_TAIL_V2_MAGIC) == 0 ? MARKER_TAIL_V2_SIZE : MARKER_TAIL_V1_SIZE;
        std::string old = bytes.substr(0, sizeof(position)) + std::string((const char*)&older, size) +
                          std::string((const char*)&run, sizeof(run));
        ASSERT_TRUE(ParseMarkerFile(old.data(), old.size(), &read)) << magic;
        EXPECT_TRUE(read.haveTail && read.haveRun);
        EXPECT_EQ(size == MARKER_TAIL_V2_SIZE ? 1 : 0, read.tail.recorded) << magic;
        EXPECT_STREQ("", read.tail.runId);
        EXPECT_STREQ("", read.tail.computer);
        EXPECT_STREQ("", read.problem);
    }
    // And run blocks of the older layouts, each cut where it ended: the third
    // without the failure streak and limit (none then); the second without the
    // JUnit file, the counts by verdict (the ok ones follow from the tally) and
    // the start; the first without the device check either, which then takes the defaults.
    const struct {
        const char* magic;
        size_t size;
        int version;
    } olderBlocks[] = {{MARKER_RUN_V3_MAGIC, MARKER_RUN_V3_SIZE, 3},
                       {MARKER_RUN_V2_MAGIC, MARKER_RUN_V2_SIZE, 2},
                       {MARKER_RUN_V1_MAGIC, MARKER_RUN_V1_SIZE, 1}};
    for (const auto& older : olderBlocks) {
        SCOPED_TRACE(older.magic);
        MarkerRun olderRun = run;
        memcpy(olderRun.magic, older.magic, 4);
        olderRun.devices.settleSec = 42;
        std::string oldRun = bytes.substr(0, sizeof(position) + sizeof(tail)) +
                             std::string((const char*)&olderRun, older.size);
        ASSERT_TRUE(ParseMarkerFile(oldRun.data(), oldRun.size(), &read));
        ASSERT_TRUE(read.haveRun) << read.problem;
        EXPECT_EQ(0, memcmp(&read.position, &position, sizeof(position)));
        EXPECT_EQ(45, read.tail.requestedSec);
        EXPECT_EQ(3, read.run.settings.cycleCount);
        EXPECT_EQ(2, read.run.tally.sleeps);
        EXPECT_EQ(older.version >= 2 ? 42 : DEVICE_SETTLE_DEFAULT_SEC, read.run.devices.settleSec);
        EXPECT_EQ(0, read.run.devices.off);
        EXPECT_STREQ(older.version >= 3 ? "C:\\lab\\night.xml" : "", read.run.junitPath);
        EXPECT_EQ(1, read.run.verdicts[VERDICT_OK]);
        EXPECT_EQ(older.version >= 3 ? 1 : 0, read.run.verdicts[VERDICT_LOST]);
        EXPECT_EQ(older.version >= 3 ? 134411210940000000LL : 0, read.run.startUtc);
        EXPECT_EQ(0, read.run.failureStreak);
        EXPECT_EQ(0, read.run.maxFailures);
    }
    // A device check out of its limits is no run block.
    MarkerRun badDevices = run;
    badDevices.devices.settleSec = DEVICE_SETTLE_MAX_SEC + 1;
    MarkerRun taken;
    EXPECT_FALSE(ParseMarkerRun(&badDevices, &taken));
    badDevices = run;
    memset(badDevices.devices.ignore[3], 'i', DEVICE_IGNORE_TEXT);
    EXPECT_FALSE(ParseMarkerRun(&badDevices, &taken));
}

TEST(Unattended, BoxesNobodyAnswersAreLoggedWithTheAnswerTaken) {
    Logger logger;
    Logger* saved = theLogger;
    theLogger = &logger;
    BoxWatcher watcher(GetCurrentProcessId());
    watcher.Answer("Unattended test box", IDOK);
    SetUnattended(true);
    EXPECT_EQ(IDNO, ShowMessageBox(nullptr, "Line one\nline two", "Unattended test box", MB_YESNO, IDNO));
    SetUnattended(false);
    theLogger = saved;
    int level = -1;
    const char* line = logger.GetLine(-1, &level);
    ASSERT_NE(nullptr, line);
    EXPECT_NE(nullptr, strstr(line, " Unattended test box: Line one line two"));
    EXPECT_EQ(LOG_ERROR, level);
    Sleep(200);
    EXPECT_EQ(0u, watcher.Count("Unattended test box"));
}

TEST(Unattended, QuickSleepsEndARunOnlyInARow) {
    ResetQuickSleepCount();
    struct Sleep {
        int result, measured;
    } sleeps[] = {{ENTER_NOT_SLEPT, 0}, {ENTER_NOT_SLEPT, 0}, {ENTER_NOT_SLEPT, 30}, {ENTER_NOT_SLEPT, 0},
                  {ENTER_NOT_SLEPT, 0}, {ENTER_OK, 0}, {ENTER_NOT_SLEPT, 0}, {ENTER_NOT_SLEPT, 0},
                  {ENTER_FAILED, 0}, {ENTER_NOT_SLEPT, -2}, {ENTER_NOT_SLEPT, 0}};
    for (const Sleep& s : sleeps) EXPECT_FALSE(CountQuickSleep(s.result, s.measured)) << s.result << " " << s.measured;
    EXPECT_TRUE(CountQuickSleep(ENTER_NOT_SLEPT, 0));  // the third in a row
    ResetQuickSleepCount();
    EXPECT_FALSE(CountQuickSleep(ENTER_NOT_SLEPT, 0));
}
