// The command-line parser: switches, values, refusals and their notes.
#include <gtest/gtest.h>
#include <algorithm>
#include <stdio.h>
#include <string.h>
#include <windows.h>
#include <string>
#include <vector>
#include "app/app.h"
#include "power/power.h"
#include "settings/settings.h"
#include "support/box_watcher.h"
#include "results/results.h"
#include "ui/ui.h"

namespace {

class CommandLine : public ::testing::Test {
protected:
    void SetUp() override {
        ResetCommandLineResults();
        ClearNotes(&gCommandLineNotes);
        memset(&gPowerCaps, 0, sizeof gPowerCaps);
        gPowerCapsValid = 1;
        Config defaults(GetModuleHandleA(NULL));
        record = defaults.settings;
        before = record;
    }
    void TearDown() override {
        for (const std::string& name : files) DeleteFileA(name.c_str());
        memset(&gPowerCaps, 0, sizeof gPowerCaps);
        gPowerCapsValid = 0;
        ResetCommandLineResults();
        ClearNotes(&gCommandLineNotes);
    }

    bool Parse(std::vector<std::string> words) {
        words.insert(words.begin(), "Vesplin.exe");
        std::vector<char*> argv;
        for (std::string& word : words) argv.push_back(&word[0]);
        argv.push_back(nullptr);
        return ParseCommandLine(&record, (int)words.size(), argv.data());
    }

    std::vector<std::string> Notes() const {
        std::vector<std::string> notes;
        for (int i = 0; i < gCommandLineNotes.count; i++) notes.push_back(gCommandLineNotes.slots[i]);
        return notes;
    }

    void WriteFile(const std::string& name, const void* data, size_t size) {
        FILE* file = fopen(name.c_str(), "wb");
        ASSERT_NE(file, nullptr);
        if (size) {
            ASSERT_EQ(fwrite(data, 1, size, file), size);
        }
        fclose(file);
        files.push_back(name);
    }

    void ExpectDurations(int s1, int s2, int s3, int s4) {
        EXPECT_EQ(record.sleepDurationSec[0], s1);
        EXPECT_EQ(record.sleepDurationSec[1], s2);
        EXPECT_EQ(record.sleepDurationSec[2], s3);
        EXPECT_EQ(record.sleepDurationSec[3], s4);
    }

    void SetCaps(bool s1, bool s2, bool s3, bool s4, bool hiberFile) {
        gPowerCaps.SystemS1 = s1;
        gPowerCaps.SystemS2 = s2;
        gPowerCaps.SystemS3 = s3;
        gPowerCaps.SystemS4 = s4;
        gPowerCaps.HiberFilePresent = hiberFile;
    }

    bool RecordUnchanged() const { return memcmp(&record, &before, sizeof record) == 0; }

    ConfigRecord record;
    ConfigRecord before;
    std::vector<std::string> files;
};

using NoteTexts = std::vector<std::string>;

TEST_F(CommandLine, NoArgumentsChangesNothing) {
    char program[] = "Vesplin.exe";
    char* argv[] = {program, nullptr};
    EXPECT_TRUE(ParseCommandLine(&record, 1, argv));
    EXPECT_TRUE(ParseCommandLine(&record, 0, argv));
    EXPECT_EQ(gCommandLineNotes.count, 0);
    EXPECT_EQ(gShortestSleepDuration, 30);
    EXPECT_TRUE(RecordUnchanged());

    // With no arguments a lower starting value is not touched either.
    record.sleepDurationSec[0] = 5;
    EXPECT_TRUE(ParseCommandLine(&record, 1, argv));
    EXPECT_EQ(gShortestSleepDuration, 30);
}

TEST_F(CommandLine, PlainSwitchesSetTheirFieldsAndNote) {
    EXPECT_TRUE(Parse({"-A", "-C", "-E", "-F", "-H", "-M"}));
    EXPECT_EQ(Notes(), (NoteTexts{"Option -A: All sleep states.\n", "Option -C: Continue on failure.\n",
                              "Option -E: Auto exit.\n", "Option -F: Forced sleep.\n", "Option -H: Manual wake.\n",
                              "Option -M: Minimized dialog on startup.\n"}));
    for (int k = 0; k < 4; k++) EXPECT_EQ(record.useState[k], 1);
    EXPECT_EQ(record.autoRestart, 1);
    EXPECT_EQ(record.sleepForever, 1);
    EXPECT_EQ(gAutoExit, 1);
    EXPECT_EQ(gStartMinimized, 1);
    EXPECT_EQ(gShortestSleepDuration, 30);
}

TEST_F(CommandLine, ForcedSleepChangesNoSetting) {
    EXPECT_TRUE(Parse({"-F"}));
    EXPECT_EQ(Notes(), NoteTexts{"Option -F: Forced sleep.\n"});
    EXPECT_TRUE(RecordUnchanged());
    EXPECT_EQ(gAutoExit + gStartMinimized + gQueryMode + gLogFileFromCommandLine + gGrowSeconds, 0);
}

TEST_F(CommandLine, OnlyTheSecondCharacterNamesTheSwitch) {
    // "/" and "-" are the same; the rest of the word is ignored; letters are case-sensitive.
    EXPECT_TRUE(Parse({"/E", "-Mxyz", "/Cfoo"}));
    EXPECT_EQ(gAutoExit, 1);
    EXPECT_EQ(gStartMinimized, 1);
    EXPECT_EQ(record.autoRestart, 1);
    EXPECT_EQ(gCommandLineNotes.count, 3);

    ClearNotes(&gCommandLineNotes);
    record = before;
    // Unknown letters and other long options: skipped, not refused, but named;
    // stray words stay silent (a -r value comes round as one).
    EXPECT_TRUE(Parse({"-a", "-Z", "/", "-", "stray", "42", "--conf=x.dat", "/-E", "--E"}));
    EXPECT_EQ(Notes(), (NoteTexts{"Option -a is not known and was skipped.\n", "Option -Z is not known and was skipped.\n",
                                  "Option / is not known and was skipped.\n", "Option - is not known and was skipped.\n",
                                  "Option --conf=x.dat is not known and was skipped.\n",
                                  "Option /-E is not known and was skipped.\n", "Option --E is not known and was skipped.\n"}));
    EXPECT_TRUE(RecordUnchanged());
}

TEST_F(CommandLine, ValueSwitchesCountFiveCharacters) {
    EXPECT_TRUE(Parse({"-N", "1234567", "-D", "90x", "-P", "15", "-T", "123456"}));
    EXPECT_EQ(record.cycleCount, 12345);
    EXPECT_EQ(record.cycleIntervalSec, 90);
    EXPECT_EQ(record.firstSleepDelaySec, 15);
    EXPECT_EQ(gGrowSeconds, 12345);
    EXPECT_EQ(Notes(), (NoteTexts{"Option -N: Num cycles: 12345.\n", "Option -D: Interval between cycle: 90\n",
                              "Option -P: Wait before 1st sleep: 15.\n", "Option -T: Sleep grow time: 12345.\n"}));

    ClearNotes(&gCommandLineNotes);
    EXPECT_TRUE(Parse({"-N", "abc", "/D", "00007"}));
    EXPECT_EQ(record.cycleCount, 0);
    EXPECT_EQ(record.cycleIntervalSec, 7);
    EXPECT_EQ(Notes(), (NoteTexts{"Option -N: Num cycles: 0.\n", "Option -D: Interval between cycle: 7\n"}));
}

TEST_F(CommandLine, MissingValues) {
    // A missing interval is forgiven and brings back the default.
    record.cycleIntervalSec = 5;
    EXPECT_TRUE(Parse({"-D"}));
    EXPECT_EQ(record.cycleIntervalSec, 60);
    EXPECT_EQ(Notes(), NoteTexts{"Invalid command line. No interval after interval switch. Default will be used.\n"});

    struct Case {
        const char* word;
        const char* note;
    } cases[] = {
        {"-N", "Invalid command line. No number after loops switch.\n"},
        {"-P", "Invalid command line. No number after wait before first sleep switch.\n"},
        {"-R", "Invalid command line. No duration after duration switch.\n"},
        {"-T", "Invalid command line. No duration after suspend grow time switch.\n"},
        {"-L", "Invalid command line. No log file name after switch.\n"},
        {"-r2", "Invalid command line.  Not enough argument for option -r2.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.word);
        ClearNotes(&gCommandLineNotes);
        record = before;
        EXPECT_FALSE(Parse({c.word}));
        EXPECT_EQ(Notes(), NoteTexts{c.note});
        EXPECT_TRUE(RecordUnchanged());
    }
    EXPECT_EQ(gGrowSeconds, 0);
    EXPECT_EQ(gLogFileFromCommandLine, 0);
}

TEST_F(CommandLine, DashValueIsRefusedAndExaminedAsAWord) {
    for (const char* sw : {"-D", "-N", "-P", "-R", "/N"}) {
        SCOPED_TRACE(sw);
        ClearNotes(&gCommandLineNotes);
        ResetCommandLineResults();
        record = before;
        EXPECT_FALSE(Parse({sw, "-E"}));
        // The refused word is a switch of its own.
        EXPECT_EQ(gAutoExit, 1);
        EXPECT_EQ(Notes(), (NoteTexts{std::string("Invalid command line.  -E is not a valid argument for option ") + sw +
                                      ".\n",
                                  "Option -E: Auto exit.\n"}));
        EXPECT_TRUE(RecordUnchanged());
    }
}

TEST_F(CommandLine, NegativeValuesAreRefusedWhateverTheirBlanks) {
    // atoi skips leading blanks, so " -5" passes the dash check: the value itself is refused.
    for (const char* sw : {"-D", "-N", "-P", "-R", "-r1", "-r4"}) {
        SCOPED_TRACE(sw);
        ClearNotes(&gCommandLineNotes);
        ResetCommandLineResults();
        record = before;
        EXPECT_FALSE(Parse({sw, " -5"}));
        EXPECT_EQ(Notes().at(0), std::string("Invalid command line.   -5 is not a valid argument for option ") + sw + ".\n");
        EXPECT_TRUE(RecordUnchanged());
    }
    ClearNotes(&gCommandLineNotes);
    EXPECT_TRUE(Parse({"-T", " -5"}));  // a shrinking grow time is allowed
    EXPECT_EQ(gGrowSeconds, -5);
}

TEST_F(CommandLine, GrowTimeTakesAnyNextWord) {
    EXPECT_TRUE(Parse({"-T", "-E"}));
    EXPECT_EQ(gAutoExit, 0);  // taken as the value, not examined
    EXPECT_EQ(gGrowSeconds, 0);
    ClearNotes(&gCommandLineNotes);
    EXPECT_TRUE(Parse({"-T", "-1234567"}));
    EXPECT_EQ(gGrowSeconds, -1234);
    EXPECT_EQ(Notes(), NoteTexts{"Option -T: Sleep grow time: -1234.\n"});
}

TEST_F(CommandLine, ValueEdgeCases) {
    const int same = -99999;  // the field keeps its value from before the parse
    struct Case {
        std::vector<std::string> words;
        bool verdict;
        int count, interval, delay;
        int durations[4];
    } cases[] = {
        // The five characters include a blank or sign; a longer number is cut, not refused.
        {{"-D", "100000"}, true, same, 10000, same, {same, same, same, same}},
        {{"-P", " 99999"}, true, same, same, 9999, {same, same, same, same}},
        {{"-R", "+20"}, true, same, same, same, {20, 20, 20, 20}},
        {{"-N", ""}, true, 0, same, same, {same, same, same, same}},
        {{"-N", "-0"}, false, same, same, same, {same, same, same, same}},
        {{"-P", "-"}, false, same, same, same, {same, same, same, same}},
        // A later switch without its value: -N keeps the earlier one, -D takes the default.
        {{"-N", "5", "-N"}, false, 5, same, same, {same, same, same, same}},
        {{"-D", "5", "-D"}, true, same, 60, same, {same, same, same, same}},
        // A refused -R value keeps the earlier -R, unlike a missing one.
        {{"-R", "100", "-R", "-5"}, false, same, same, same, {100, 100, 100, 100}},
        {{"-R", "100", "-R", " -5"}, false, same, same, same, {100, 100, 100, 100}},
        {{"-R", "0"}, true, same, same, same, {same, same, same, same}},
        // -r with a digit outside 1-4 sets -R aside without a value, and its value is not checked for sign.
        {{"-R", "100", "-r9", " -5"}, true, same, same, same, {same, same, same, same}},
        {{"-R", "100", "-r9", "-5"}, false, same, same, same, {100, 100, 100, 100}},
        {{"-R", "100", "-r2", "x"}, true, same, same, same, {same, same, same, same}},
        // -r up to the longest sleep, 30 days; past it the run is refused.
        {{"-r1", "2592000"}, true, same, same, same, {2592000, same, same, same}},
        {{"-r4", "2592001"}, false, same, same, same, {same, same, same, same}},
        // Unknown letters and digits are skipped without a refusal, and their next word is stray.
        {{"-G", "7", "-1", "-5"}, true, same, same, same, {same, same, same, same}},
    };
    for (const Case& c : cases) {
        std::string line;
        for (const std::string& word : c.words) line += "[" + word + "]";
        SCOPED_TRACE(line);
        ClearNotes(&gCommandLineNotes);
        record = before;
        EXPECT_EQ(Parse(c.words), c.verdict);
        EXPECT_EQ(record.cycleCount, c.count == same ? before.cycleCount : c.count);
        EXPECT_EQ(record.cycleIntervalSec, c.interval == same ? before.cycleIntervalSec : c.interval);
        EXPECT_EQ(record.firstSleepDelaySec, c.delay == same ? before.firstSleepDelaySec : c.delay);
        for (int k = 0; k < 4; k++)
            EXPECT_EQ(record.sleepDurationSec[k], c.durations[k] == same ? before.sleepDurationSec[k] : c.durations[k]);
    }
}

TEST_F(CommandLine, SleepStateSelection) {
    EXPECT_TRUE(Parse({"-S1x1x"}));
    EXPECT_EQ(std::vector<int>(record.useState, record.useState + 4), (std::vector<int>{1, 0, 1, 0}));
    EXPECT_TRUE(Parse({"/S0101999"}));
    EXPECT_EQ(std::vector<int>(record.useState, record.useState + 4), (std::vector<int>{0, 1, 0, 1}));
    EXPECT_EQ(gCommandLineNotes.count, 0);  // a valid -S leaves no note

    EXPECT_FALSE(Parse({"-S10"}));
    EXPECT_FALSE(Parse({"-S111"}));
    EXPECT_EQ(Notes(), NoteTexts(2, "Invalid command line. Not enough state values after Sleep State switch.\n"));
    EXPECT_EQ(std::vector<int>(record.useState, record.useState + 4), (std::vector<int>{0, 1, 0, 1}));
}

TEST_F(CommandLine, FallbackForms) {
    struct Case {
        const char* word;
        int mode;
        const char* note;
    } cases[] = {
        {"-f1", FALLBACK_LIGHTER, "Option -f1: FALLBACK_LIGHTER.\n"},
        {"-f2", FALLBACK_DEEPER, "Option -f2: FALLBACK_DEEPER.\n"},
        {"/f3", FALLBACK_FORCE, "Option -f3: FALLBACK_FORCE.\n"},
        {"-f4x", FALLBACK_SKIP, "Option -f4: FALLBACK_SKIP.\n"},
        {"-f", FALLBACK_LIGHTER, "Option -f: Defaulting to FALLBACK_LIGHTER.\n"},
        {"-f5", FALLBACK_LIGHTER, "Option -f: Defaulting to FALLBACK_LIGHTER.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.word);
        ClearNotes(&gCommandLineNotes);
        record.fallbackMode = 77;
        EXPECT_TRUE(Parse({c.word}));
        EXPECT_EQ(record.fallbackMode, c.mode);
        EXPECT_EQ(Notes(), NoteTexts{c.note});
    }
}

TEST_F(CommandLine, DurationForAllStates) {
    EXPECT_TRUE(Parse({"-R", "100"}));
    ExpectDurations(100, 100, 100, 100);
    EXPECT_EQ(Notes(), NoteTexts{"Option -R: Duration: 100.\n"});
    EXPECT_EQ(gShortestSleepDuration, 30);

    // 0 leaves the entries alone.
    record = before;
    EXPECT_TRUE(Parse({"-R", "abc"}));
    ExpectDurations(30, 30, 30, 60);

    // A later -R without a value forgets the earlier one.
    record = before;
    EXPECT_FALSE(Parse({"-R", "100", "-R"}));
    ExpectDurations(30, 30, 30, 60);

    // Applied after all words, whatever their order.
    record = before;
    EXPECT_TRUE(Parse({"-R", "10", "-N", "3"}));
    ExpectDurations(10, 10, 10, 10);
    EXPECT_EQ(gShortestSleepDuration, 10);
}

TEST_F(CommandLine, DurationPerState) {
    EXPECT_TRUE(Parse({"-R", "100", "-r2", "45"}));
    ExpectDurations(30, 45, 30, 60);
    EXPECT_EQ(Notes(), (NoteTexts{"Option -R: Duration: 100.\n", "Option -r2: S2 duration: 45\n"}));

    // The -R value is ignored even when it comes after, and even for a digit outside 1-4.
    ClearNotes(&gCommandLineNotes);
    record = before;
    EXPECT_TRUE(Parse({"-r9", "45", "-R", "100"}));
    ExpectDurations(30, 30, 30, 60);
    EXPECT_EQ(Notes(), NoteTexts{"Option -R: Duration: 100.\n"});

    // The whole word counts, and it is not consumed.
    ClearNotes(&gCommandLineNotes);
    record = before;
    EXPECT_TRUE(Parse({"-r4", "1234567", "-r1", "/E"}));
    ExpectDurations(30, 30, 30, 1234567);
    EXPECT_EQ(gAutoExit, 1);
    EXPECT_EQ(Notes(), (NoteTexts{"Option -r4: S4 duration: 1234567\n", "Option -r1: S1 duration: 0\n",
                              "Option -E: Auto exit.\n"}));
    // S4 takes no part in the shortest duration.
    EXPECT_EQ(gShortestSleepDuration, 30);
}

TEST_F(CommandLine, RefusedStateDurationClearsTheFlag) {
    // The refusal drops the -r flag, so -R applies again.
    EXPECT_FALSE(Parse({"-R", "100", "-r1", "50", "-r2", "-M"}));
    ExpectDurations(100, 100, 100, 100);
    EXPECT_EQ(gStartMinimized, 1);
    EXPECT_EQ(Notes(), (NoteTexts{"Option -R: Duration: 100.\n", "Option -r1: S1 duration: 50\n",
                              "Invalid command line.  -M is not a valid argument for option -r2.\n",
                              "Option -M: Minimized dialog on startup.\n"}));

    // A later valid -r sets it again and the earlier value is still remembered.
    ClearNotes(&gCommandLineNotes);
    record = before;
    EXPECT_FALSE(Parse({"-R", "100", "-r1", "50", "-r2", "-M", "-r3", "40"}));
    ExpectDurations(50, 30, 40, 60);
}

TEST_F(CommandLine, ShortestSleepDuration) {
    EXPECT_TRUE(Parse({"-r2", "20", "-r4", "5"}));
    EXPECT_EQ(gShortestSleepDuration, 20);  // S2 counts though it is not selected

    record = before;
    EXPECT_TRUE(Parse({"-R", "40"}));
    EXPECT_EQ(gShortestSleepDuration, 20);  // never rises above its current value

    ResetCommandLineResults();
    record = before;
    record.sleepDurationSec[2] = 12;
    EXPECT_TRUE(Parse({"-E"}));
    EXPECT_EQ(gShortestSleepDuration, 12);
}

TEST_F(CommandLine, LogFileForms) {
    EXPECT_TRUE(Parse({"-L", "run.log"}));
    EXPECT_STREQ(record.logFilePath, "run.log");
    EXPECT_EQ(record.logToFile, 1);
    EXPECT_EQ(record.clearLogAtStart, 0);
    EXPECT_EQ(gLogFileFromCommandLine, 1);

    record.clearLogAtStart = 0;
    EXPECT_TRUE(Parse({"-Lo", "c:\\a b\\x.log"}));
    EXPECT_EQ(record.clearLogAtStart, 1);
    EXPECT_TRUE(Parse({"-La", "-dash.log"}));  // a dash word is a path here
    EXPECT_EQ(record.clearLogAtStart, 0);
    EXPECT_STREQ(record.logFilePath, "-dash.log");
    record.clearLogAtStart = 1;
    EXPECT_TRUE(Parse({"/Lx", "y.log"}));
    EXPECT_EQ(record.clearLogAtStart, 0);

    EXPECT_EQ(Notes(), (NoteTexts{"Option -L\n: Log file name: *run.log*.\n",
                              "Option -Lo\n: Log file name: *c:\\a b\\x.log*.\n",
                              "Option -La\n: Log file name: *-dash.log*.\n", "Option -L\n: Log file name: *y.log*.\n"}));
}

TEST_F(CommandLine, LogFilePathLength) {
    std::string fits(255, 'p');
    EXPECT_TRUE(Parse({"-Lo", fits}));
    EXPECT_EQ(std::string(record.logFilePath), fits);
    EXPECT_EQ(gLogFileFromCommandLine, 1);

    // 256 to 511 characters pass the general check but would not fit the record.
    for (size_t length : {256u, 511u}) {
        SCOPED_TRACE(length);
        ClearNotes(&gCommandLineNotes);
        ResetCommandLineResults();
        record = before;
        std::string path(length, 'q');
        EXPECT_FALSE(Parse({"-Lo", path}));
        EXPECT_EQ(Notes(), NoteTexts{"Option -Lo\n: Log file name too long (maximum is 255): *" + path + "*.\n"});
        EXPECT_STREQ(record.logFilePath, before.logFilePath);
        EXPECT_EQ(record.clearLogAtStart, 1);
        EXPECT_EQ(gLogFileFromCommandLine, 0);
    }

    ClearNotes(&gCommandLineNotes);
    record = before;
    std::string tooLong(512, 'r');
    EXPECT_FALSE(Parse({"-L", tooLong}));
    EXPECT_EQ(Notes(), NoteTexts{"Option -L\n: Log file name too long (maximum is 511): *" + tooLong + "*.\n"});
    EXPECT_EQ(gLogFileFromCommandLine, 0);
    EXPECT_STREQ(record.logFilePath, before.logFilePath);
}

TEST_F(CommandLine, VeryLongWordsAreSafe) {
    std::string huge(5000, '7');
    EXPECT_FALSE(Parse({"-L", huge}));
    ASSERT_EQ(gCommandLineNotes.count, 1);
    EXPECT_EQ(strlen(gCommandLineNotes.slots[0]), 1023u);
    EXPECT_EQ(std::string(gCommandLineNotes.slots[0], 57),
              "Option -L\n: Log file name too long (maximum is 511): *777");
    EXPECT_STREQ(record.logFilePath, before.logFilePath);

    ClearNotes(&gCommandLineNotes);
    EXPECT_FALSE(Parse({"-N", huge, "-r3", huge, "-A" + huge, "--" + huge, huge}));
    EXPECT_EQ(record.cycleCount, 77777);
    EXPECT_EQ(record.sleepDurationSec[2], before.sleepDurationSec[2]);  // past 30 days: refused, never wrapped
    EXPECT_EQ(record.useState[3], 1);
    EXPECT_EQ(gCommandLineNotes.count, 4);  // -N, -r3, -A and the unknown long option

    ClearNotes(&gCommandLineNotes);
    EXPECT_FALSE(Parse({"-N", "-" + huge}));
    ASSERT_EQ(gCommandLineNotes.count, 2);  // the refusal, then the refused word as an unknown switch
    EXPECT_EQ(strlen(gCommandLineNotes.slots[0]), 1023u);
}

TEST_F(CommandLine, ManySwitchesOverflowTheNotesSafely) {
    std::vector<std::string> words(150, "-E");
    EXPECT_TRUE(Parse(words));
    EXPECT_EQ(gCommandLineNotes.count, NOTE_SLOTS);
    EXPECT_EQ(gCommandLineNotes.dropped, 50);
    EXPECT_STREQ(gCommandLineNotes.slots[NOTE_SLOTS - 1], "Option -E: Auto exit.\n");

    // A refusal whose note no longer fits still makes the line invalid.
    ClearNotes(&gCommandLineNotes);
    words.push_back("-S1");
    EXPECT_FALSE(Parse(words));
    EXPECT_EQ(gCommandLineNotes.dropped, 51);
}

TEST_F(CommandLine, AllProblemsAreReportedTogether) {
    EXPECT_FALSE(Parse({"-N", "-S10", "-E", "--config", "-L"}));
    EXPECT_EQ(Notes(),
              (NoteTexts{"Invalid command line.  -S10 is not a valid argument for option -N.\n",
                     "Invalid command line. Not enough state values after Sleep State switch.\n",
                     "Option -E: Auto exit.\n",
                     "Invalid command line.  --config option needs to be followed by \"=filename.dat\".\n",
                     "Invalid command line. No log file name after switch.\n"}));
}

TEST_F(CommandLine, QueryForOneState) {
    SetCaps(true, false, false, true, false);  // S4 without a hibernation file
    struct Case {
        const char* word;
        int answer;
        const char* note;
    } cases[] = {
        {"-O1", 1, "Option -O1: S1 is supported.\n"},
        {"-O3", 0, "Option -O3: S3 is not supported.\n"},
        {"/O4", 0, "Option -O4: S4 is not supported.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.word);
        ClearNotes(&gCommandLineNotes);
        gQueryAnswer = 9;  // the digit forms assign
        gQueryMode = 0;
        EXPECT_TRUE(Parse({c.word}));
        EXPECT_EQ(gQueryAnswer, c.answer);
        EXPECT_EQ(gQueryMode, 1);
        EXPECT_EQ(Notes(), NoteTexts{c.note});
    }
    gPowerCaps.HiberFilePresent = 1;
    EXPECT_TRUE(Parse({"-O4"}));
    EXPECT_EQ(gQueryAnswer, 1);
}

TEST_F(CommandLine, QueryMask) {
    SetCaps(true, false, true, true, true);
    EXPECT_TRUE(Parse({"-O"}));
    EXPECT_EQ(gQueryAnswer, 13);
    EXPECT_EQ(gQueryMode, 1);
    EXPECT_EQ(Notes(), NoteTexts{"Option -O: Mask: 13.\n"});

    // The mask adds to what an earlier digit form left.
    ResetCommandLineResults();
    ClearNotes(&gCommandLineNotes);
    SetCaps(false, true, false, false, false);
    EXPECT_TRUE(Parse({"-O2", "-Ox"}));
    EXPECT_EQ(gQueryAnswer, 1 | 2);
    EXPECT_EQ(Notes(), (NoteTexts{"Option -O2: S2 is supported.\n", "Option -O: Mask: 3.\n"}));
    // ...and a later digit form wins over a mask.
    EXPECT_TRUE(Parse({"-O", "-O1"}));
    EXPECT_EQ(gQueryAnswer, 0);
}

TEST_F(CommandLine, QueryAfterFailedCapabilityRead) {
    gPowerCapsValid = 0;
    EXPECT_TRUE(Parse({"-O"}));
    EXPECT_EQ(gQueryAnswer, 0);
    EXPECT_EQ(gQueryMode, 1);
    EXPECT_EQ(Notes(), NoteTexts{"Option -O: Mask: 0.\n"});
}

TEST_F(CommandLine, AllSupportedStates) {
    SetCaps(true, false, true, true, false);
    EXPECT_TRUE(Parse({"-B"}));
    EXPECT_EQ(std::vector<int>(record.useState, record.useState + 4), (std::vector<int>{1, 0, 1, 0}));
    EXPECT_EQ(record.allSupportedStates, 1);
    EXPECT_EQ(Notes(), NoteTexts{"Option -B: All supported sleep states.\n"});
    SetCaps(false, true, false, true, true);
    EXPECT_TRUE(Parse({"/B"}));
    EXPECT_EQ(std::vector<int>(record.useState, record.useState + 4), (std::vector<int>{0, 1, 0, 1}));
}

TEST_F(CommandLine, ConfigFileReplacesTheRecord) {
    ConfigRecord file = before;
    file.cycleCount = 777;
    file.sleepDurationSec[0] = 41;
    file.sleepDurationSec[1] = 42;
    file.sleepDurationSec[2] = 43;
    file.sleepDurationSec[3] = 44;
    file.reserved[100] = 0x5a;
    WriteFile("cmdline_valid.dat", &file, sizeof file);

    // Earlier switches are lost, application-wide values stay, later switches apply.
    EXPECT_TRUE(Parse({"-N", "5", "-E", "--config=cmdline_valid.dat", "-P", "9"}));
    EXPECT_EQ(record.cycleCount, 777);
    EXPECT_EQ(record.reserved[100], 0x5a);
    EXPECT_EQ(record.firstSleepDelaySec, 9);
    EXPECT_EQ(gAutoExit, 1);
    ExpectDurations(41, 42, 43, 44);
    EXPECT_EQ(Notes().at(2), "Option --config=cmdline_valid.dat.\n");
    EXPECT_EQ(gCommandLineNotes.count, 4);

    // Durations win over the file wherever they stand.
    record = before;
    EXPECT_TRUE(Parse({"-r1", "99", "--config=cmdline_valid.dat"}));
    ExpectDurations(99, 42, 43, 44);
    record = before;
    EXPECT_TRUE(Parse({"-R", "77", "--config=cmdline_valid.dat"}));
    ExpectDurations(77, 77, 77, 77);
}

TEST_F(CommandLine, ConfigFileShorterThanTheRecord) {
    WriteFile("cmdline_short.dat", "SLPDAT", 7);
    EXPECT_TRUE(Parse({"--config=cmdline_short.dat"}));
    EXPECT_TRUE(RecordUnchanged());  // only the magic was read over the record
}

TEST_F(CommandLine, ConfigFileRefusals) {
    struct Case {
        std::string word;
        std::string note;
    } cases[] = {
        {"--config", "Invalid command line.  --config option needs to be followed by \"=filename.dat\".\n"},
        {"--configuration.dat",
         "Invalid command line.  --config option needs to be followed by \"=filename.dat\".\n"},
        {"--config=settings", "[4178]: Invalid command line.  Config file must end with \".dat\".\n"},
        {"--config=", "[4178]: Invalid command line.  Config file must end with \".dat\".\n"},
        {"--config=a.DAT", "Invalid command line.  Config file must end with \".dat\"\n"},
        {"--config=a.dat.bak", "Invalid command line.  Config file must end with \".dat\"\n"},
        {"--config=a.dat ", "Invalid command line.  Config file must end with \".dat\"\n"},
        {"--config=cmdline_missing.dat", "Invalid command line.  Config file cmdline_missing.dat does not exist.\n"},
        {"--config=" + std::string(252, 'n') + ".dat",
         "Invalid command line.  Config file name too long (maximum is 255).\n"},
        {"--config=" + std::string(5000, 'n') + ".dat",
         "Invalid command line.  Config file name too long (maximum is 255).\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.word.substr(0, 40));
        ClearNotes(&gCommandLineNotes);
        EXPECT_FALSE(Parse({c.word}));
        EXPECT_EQ(Notes(), NoteTexts{c.note});
        EXPECT_TRUE(RecordUnchanged());
    }
    // 251 characters plus ".dat" is 255: long enough to be tried, and then not found.
    ClearNotes(&gCommandLineNotes);
    std::string longest(251, 'm');
    EXPECT_FALSE(Parse({"--config=" + longest + ".dat"}));
    EXPECT_EQ(Notes(), NoteTexts{"Invalid command line.  Config file " + longest + ".dat does not exist.\n"});
}

TEST_F(CommandLine, ConfigFileWithoutMagicShowsNoBox) {
    char wrong[1660];
    memset(wrong, 0, sizeof wrong);
    memcpy(wrong, "SLPDATA", 7);
    WriteFile("cmdline_nomagic.dat", wrong, sizeof wrong);
    WriteFile("cmdline_tiny.dat", "SLP", 3);
    WriteFile("cmdline_empty.dat", "", 0);

    BoxWatcher watcher(GetCurrentProcessId());
    watcher.Answer("Invalid config file", IDOK);
    // The watcher does see a box when there is one.
    ASSERT_GT(MessageBoxA(nullptr, "probe", "probe", MB_OK), 0) << "message boxes cannot be shown here";
    ASSERT_EQ(watcher.Seen().size(), 1u);

    for (const char* name : {"cmdline_nomagic.dat", "cmdline_tiny.dat", "cmdline_empty.dat"}) {
        SCOPED_TRACE(name);
        ClearNotes(&gCommandLineNotes);
        EXPECT_FALSE(Parse({std::string("--config=") + name}));
        std::string note = std::string("Invalid command line.  Config file ") + name + " is not a valid Vesplin config.\n";
        EXPECT_EQ(Notes(), NoteTexts{note});
        EXPECT_TRUE(RecordUnchanged());
    }
    EXPECT_FALSE(watcher.WaitCount(2, 300));
    EXPECT_EQ(watcher.Count("Invalid config file"), 0u);
}

}  // namespace

TEST_F(CommandLine, ResultsFileIsKeptAsAFullPathAndTriedBeforeTheRun) {
    char folder[MAX_PATH];
    ASSERT_GT(GetCurrentDirectoryA(sizeof folder, folder), 0u);
    std::string name = "cl_results_test.jsonl";
    std::string full = std::string(folder) + "\\" + name;
    DeleteFileA(full.c_str());
    files.push_back(full);
    EXPECT_TRUE(Parse({"--results=" + name}));
    EXPECT_EQ(full, gResultsPath);
    EXPECT_EQ(NoteTexts({"Option --results: Results file name: *" + full + "*.\n"}), Notes());
    // Tried, so the folder's rights are known before the first sleep, and
    // taken away again: a refused command line leaves no file behind.
    WIN32_FILE_ATTRIBUTE_DATA data;
    EXPECT_FALSE(GetFileAttributesExA(full.c_str(), GetFileExInfoStandard, &data));
    // An existing file is appended to, never emptied.
    WriteFile(full, "{}\n", 3);
    ClearNotes(&gCommandLineNotes);
    EXPECT_TRUE(Parse({"--results=" + full}));
    ASSERT_TRUE(GetFileAttributesExA(full.c_str(), GetFileExInfoStandard, &data));
    EXPECT_EQ(3u, data.nFileSizeLow);
    EXPECT_TRUE(RecordUnchanged());
}

TEST_F(CommandLine, ReportFileIsKeptAsAFullPath) {
    char folder[MAX_PATH];
    ASSERT_GT(GetCurrentDirectoryA(sizeof folder, folder), 0u);
    EXPECT_TRUE(Parse({"--report=night.html"}));
    EXPECT_EQ(std::string(folder) + "\\night.html", gReportPath);
    for (const std::string& word : {std::string("--report"), std::string("--report="), "--report=" + std::string(300, 'p')}) {
        ClearNotes(&gCommandLineNotes);
        ResetCommandLineResults();
        EXPECT_FALSE(Parse({word}));
        EXPECT_EQ(0u, Notes().at(0).find("Invalid command line.  --report option needs to be followed by"));
        EXPECT_STREQ("", gReportPath);
    }
}

TEST_F(CommandLine, ResultsFileRefusals) {
    struct Case {
        std::string word;
        std::string note;
    } cases[] = {
        {"--results", "Invalid command line.  --results option needs to be followed by \"=filename\".\n"},
        {"--resultsx.jsonl", "Invalid command line.  --results option needs to be followed by \"=filename\".\n"},
        {"--results=", "Invalid command line. No results file name after --results=.\n"},
        {"--results=" + std::string(256, 'r'),
         "Option --results: Results file name too long (maximum is 255): *" + std::string(256, 'r') + "*.\n"},
        {"--results=" + std::string(5000, 'r'),
         "Option --results: Results file name too long (maximum is 255): *" + std::string(5000, 'r') + "*.\n"},
    };
    for (const Case& c : cases) {
        ClearNotes(&gCommandLineNotes);
        ResetCommandLineResults();
        EXPECT_FALSE(Parse({c.word})) << c.word.substr(0, 40);
        std::vector<std::string> notes = Notes();
        ASSERT_EQ(1u, notes.size()) << c.word.substr(0, 40);
        // Notes are cut to 1023 characters.
        EXPECT_EQ(c.note.substr(0, 1023), notes[0]);
        EXPECT_STREQ("", gResultsPath);
    }
    // A relative name that is short but makes a full path over 255 characters.
    char folder[MAX_PATH];
    ASSERT_GT(GetCurrentDirectoryA(sizeof folder, folder), 0u);
    std::string name(255 - strlen(folder), 'q');
    ClearNotes(&gCommandLineNotes);
    EXPECT_FALSE(Parse({"--results=" + name}));
    ASSERT_EQ(1u, Notes().size());
    EXPECT_EQ(0u, Notes()[0].find("Option --results: Results file name too long (maximum is 255): *q"));
    // Folders that do not exist are made, as the log's are.
    std::string top = std::string(folder) + "\\vesplin_made", made = top + "\\night\\r.jsonl";
    ClearNotes(&gCommandLineNotes);
    EXPECT_TRUE(Parse({"--results=" + made}));
    EXPECT_EQ(made, gResultsPath);
    EXPECT_TRUE(GetFileAttributesA((top + "\\night").c_str()) & FILE_ATTRIBUTE_DIRECTORY);
    RemoveDirectoryA((top + "\\night").c_str());
    // A folder that cannot be made (a file stands in its place) is named, with the system's code.
    WriteFile(top + "\\night", "x", 1);
    ClearNotes(&gCommandLineNotes);
    ResetCommandLineResults();
    EXPECT_FALSE(Parse({"--results=" + made}));
    ASSERT_EQ(1u, Notes().size());
    EXPECT_EQ("Invalid command line.  The folder " + top + "\\night of the results file " + made +
                  " cannot be made. Error code 267.\n",
              Notes()[0]);
    EXPECT_STREQ("", gResultsPath);
    DeleteFileA((top + "\\night").c_str());
    RemoveDirectoryA(top.c_str());
}

TEST_F(CommandLine, DeviceCheckSwitchesAndTheirLimits) {
    const std::string longest(63, 'i'), tooLong(64, 'i');
    struct Case {
        std::vector<std::string> words;
        bool verdict;
        int off, settle, ignored;
        const char* firstNote;  // the start of the first note
    } cases[] = {
        {{}, true, 0, 10, 0, nullptr},
        {{"--no-device-check"}, true, 1, 10, 0, "Option --no-device-check: Device check off."},
        {{"--no-device-checks"}, true, 0, 10, 0, "Option --no-device-checks is not known"},
        {{"--device-settle=0"}, true, 0, 0, 0, "Option --device-settle: Device settle time: 0."},
        {{"--device-settle=300"}, true, 0, 300, 0, nullptr},
        {{"--device-settle=301"}, false, 0, 10, 0, "Invalid command line.  --device-settle option needs"},
        {{"--device-settle=-1"}, false, 0, 10, 0, "Invalid command line.  --device-settle"},
        {{"--device-settle=1x"}, false, 0, 10, 0, "Invalid command line.  --device-settle"},
        {{"--device-settle"}, false, 0, 10, 0, "Invalid command line.  --device-settle"},
        {{"--device-settle=0010"}, false, 0, 10, 0, "Invalid command line.  --device-settle"},
        {{"--ignore-device=USB\\VID_8087"}, true, 0, 10, 1, "Option --ignore-device: Ignored devices: *USB\\VID_8087*."},
        {{"--ignore-device=" + longest}, true, 0, 10, 1, nullptr},
        {{"--ignore-device=" + tooLong}, false, 0, 10, 0, "Invalid command line.  --ignore-device option needs"},
        {{"--ignore-device="}, false, 0, 10, 0, "Invalid command line.  --ignore-device"},
        {{"--ignore-device"}, false, 0, 10, 0, "Invalid command line.  --ignore-device"},
    };
    for (const Case& c : cases) {
        std::string line;
        for (const std::string& word : c.words) line += "[" + word.substr(0, 30) + "]";
        SCOPED_TRACE(line);
        ResetCommandLineResults();
        ClearNotes(&gCommandLineNotes);
        EXPECT_EQ(c.verdict, Parse(c.words));
        EXPECT_EQ(c.off, gDeviceCheck.off);
        EXPECT_EQ(c.settle, gDeviceCheck.settleSec);
        EXPECT_EQ(c.ignored, gDeviceCheck.ignoreCount);
        if (c.firstNote) {
            ASSERT_FALSE(Notes().empty());
            EXPECT_EQ(0u, Notes()[0].find(c.firstNote)) << Notes()[0];
        }
    }
    // Sixteen texts are kept; the seventeenth is refused.
    ResetCommandLineResults();
    std::vector<std::string> words;
    for (int i = 0; i < DEVICE_IGNORE_MAX + 1; i++) words.push_back("--ignore-device=dev" + std::to_string(i));
    EXPECT_FALSE(Parse(words));
    EXPECT_EQ(DEVICE_IGNORE_MAX, gDeviceCheck.ignoreCount);
    std::vector<std::string> list = DeviceIgnoreList(&gDeviceCheck);
    ASSERT_EQ((size_t)DEVICE_IGNORE_MAX, list.size());
    EXPECT_EQ("dev15", list.back());
    EXPECT_NE(std::string::npos, Notes().back().find("At most 16 --ignore-device options"));
}

TEST_F(CommandLine, UnknownOptionsRefuseAnUnattendedRunAndTheLogLevelAndFailureLimitSwitches) {
    struct Case {
        std::vector<std::string> words;
        bool verdict;
        const char* note;  // the start of one of the notes
        int logLevel;      // -1: as before
        int maxFailures;   // gMaxFailures afterwards
    } cases[] = {
        // Without -E a typing error is told and skipped; with it, the run does not start.
        {{"-S1000", "--Results=r.jsonl"}, true, "Option --Results=r.jsonl is not known and was skipped.", -1, 0},
        {{"-S1000", "--Results=r.jsonl", "-E"}, false, "Invalid command line. Unknown option --Results=r.jsonl.", -1, 0},
        {{"-E", "-G", "7"}, false, "Invalid command line. Unknown option -G.", -1, 0},
        {{"-E", "--no-device-checks"}, false, "Invalid command line. Unknown option --no-device-checks.", -1, 0},
        {{"-E", "-S1000", "stray"}, true, nullptr, -1, 0},
        {{"-E", "-r1", "45"}, true, "Option -r1: S1 duration: 45", -1, 0},
        {{"--log-level=0"}, true, "Option --log-level: Log level: 0.", 0, 0},
        {{"--log-level=2", "-E"}, true, "Option -E: Auto exit.", 2, 0},
        {{"--log-level=3"}, false, "Invalid command line.  --log-level option needs", -1, 0},
        {{"--log-level=1x"}, false, "Invalid command line.  --log-level option needs", -1, 0},
        {{"--log-level"}, false, "Invalid command line.  --log-level option needs", -1, 0},
        // --max-failures: a whole count up to its limit, nothing else.
        {{}, true, nullptr, -1, 0},
        {{"--max-failures=5"}, true, "Option --max-failures: Failed sleeps in a row that end the run: 5.", -1, 5},
        {{"--max-failures=0"}, true, "Option --max-failures: Failed sleeps in a row that end the run: 0.", -1, 0},
        {{"--max-failures=1000000"}, true, nullptr, -1, 1000000},
        // The last one given stands, and -E knows the option as the program's own.
        {{"-E", "--max-failures=3", "--max-failures=7"}, true, "Option -E: Auto exit.", -1, 7},
        {{"--max-failures=1000001"}, false,
         "Invalid command line.  --max-failures option needs to be followed by \"=count\" from 0 to 1000000.", -1, 0},
        {{"--max-failures=99999999999"}, false, "Invalid command line.  --max-failures", -1, 0},
        {{"--max-failures=4294967301"}, false, "Invalid command line.  --max-failures", -1, 0},
        {{"--max-failures=-1"}, false, "Invalid command line.  --max-failures", -1, 0},
        {{"--max-failures=+3"}, false, "Invalid command line.  --max-failures", -1, 0},
        {{"--max-failures= 3"}, false, "Invalid command line.  --max-failures", -1, 0},
        {{"--max-failures=3x"}, false, "Invalid command line.  --max-failures", -1, 0},
        {{"--max-failures=3.0"}, false, "Invalid command line.  --max-failures", -1, 0},
        {{"--max-failures=five"}, false, "Invalid command line.  --max-failures", -1, 0},
        {{"--max-failures="}, false, "Invalid command line.  --max-failures", -1, 0},
        {{"--max-failures"}, false, "Invalid command line.  --max-failures", -1, 0},
        {{"--max-failures", "5"}, false, "Invalid command line.  --max-failures", -1, 0},
        {{"--max-failuresX=5"}, false, "Invalid command line.  --max-failures", -1, 0},
        {{"-E", "--max-fail=5"}, false, "Invalid command line. Unknown option --max-fail=5.", -1, 0},
    };
    for (const Case& c : cases) {
        std::string line;
        for (const std::string& word : c.words) line += "[" + word + "]";
        SCOPED_TRACE(line);
        ResetCommandLineResults();
        ClearNotes(&gCommandLineNotes);
        record = before;
        EXPECT_EQ(c.verdict, Parse(c.words));
        if (c.note) {
            std::vector<std::string> notes = Notes();
            EXPECT_TRUE(std::any_of(notes.begin(), notes.end(), [&](const std::string& n) { return n.find(c.note) == 0; }))
                << c.note;
        }
        EXPECT_EQ(c.logLevel >= 0 ? c.logLevel : before.logLevel, record.logLevel);
        EXPECT_EQ(c.maxFailures, gMaxFailures);
    }
}

