// The configuration dialog's decisions, without windows: number reading, the
// checks in their order, the Save Config record and the reactions to new settings.
#include <gtest/gtest.h>
#include "support/process_run.h"
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <string>
#include "settings/settings.h"
#include "results/results.h"
#include "ui/ui.h"

namespace {

std::string MakeFile(const std::string& path) {
    FILE* file = fopen(path.c_str(), "wb");
    if (file) {
        fputs("MZ", file);
        fclose(file);
    }
    return path;
}

// A form as the dialog shows the default settings.
ConfigForm DefaultForm() {
    ConfigForm form;
    memset(&form, 0, sizeof(form));
    form.haveStateBoxes = true;
    form.useState[0] = 1;
    strcpy(form.durationText[0], "30");
    strcpy(form.durationText[1], "30");
    strcpy(form.durationText[2], "30");
    strcpy(form.durationText[3], "60");
    form.fallbackChoice = 3;
    strcpy(form.cycleCountText, "1");
    strcpy(form.cycleIntervalText, "60");
    strcpy(form.delayText, "0");
    form.logToFile = false;
    strcpy(form.logFilePath, "vesplin.log");
    form.logLevelChoice = 0;
    return form;
}

class CheckConfigFormTest : public ::testing::Test {
protected:
    void SetUp() override {
        Config config(nullptr);
        inForce = config.settings;
        form = DefaultForm();
    }
    int Check() {
        memset(&out, 0xCD, sizeof(out));
        return CheckConfigForm(&form, &inForce, &out);
    }
    ConfigRecord inForce;
    ConfigForm form;
    ConfigRecord out;
};

}  // namespace

TEST(ConfigNumbers, CutNumbersCountOnlyTheFirstFiveCharacters) {
    EXPECT_EQ(10000, ReadCutNumber("100000"));
    EXPECT_EQ(60000, ReadCutNumber("600000"));
    EXPECT_EQ(45000, ReadCutNumber("4500099"));
    EXPECT_EQ(12, ReadCutNumber("  12"));  // blanks count among the five
    EXPECT_EQ(1, ReadCutNumber("    1234"));
    EXPECT_EQ(-42, ReadCutNumber("-42"));
    EXPECT_EQ(7, ReadCutNumber("+7x9"));
    EXPECT_EQ(0, ReadCutNumber(""));
    EXPECT_EQ(0, ReadCutNumber("abc"));
    EXPECT_EQ(0, ReadCutNumber("--5"));
    EXPECT_EQ(0, ReadCutNumber(nullptr));
}

TEST(ConfigNumbers, UnsignedNumbersAreWholeOrZero) {
    EXPECT_EQ(0, ReadUnsignedNumber(""));
    EXPECT_EQ(0, ReadUnsignedNumber("   "));
    EXPECT_EQ(0, ReadUnsignedNumber("12a"));
    EXPECT_EQ(0, ReadUnsignedNumber("-3"));
    EXPECT_EQ(25, ReadUnsignedNumber(" 25 "));
    EXPECT_EQ(4500099, ReadUnsignedNumber("4500099"));
    EXPECT_EQ(INT_MAX, ReadUnsignedNumber("2147483647"));
    // Larger values stay the largest count instead of turning negative.
    EXPECT_EQ(INT_MAX, ReadUnsignedNumber("2147483648"));
    EXPECT_EQ(INT_MAX, ReadUnsignedNumber("99999999999999999999999"));
}

TEST_F(CheckConfigFormTest, DefaultsPassAndOnlyFormFieldsChange) {
    memset(inForce.reserved, 0x77, sizeof(inForce.reserved));
    inForce.allSupportedStates = 1;
    ASSERT_EQ(CONFIG_CHECK_OK, Check());
    ConfigRecord expected = inForce;
    SetConfigText(expected.logFilePath, "vesplin.log");
    expected.logToFile = 0;
    expected.skipUnsupported = 1;
    EXPECT_EQ(0, memcmp(&expected, &out, sizeof(out)));
}

TEST_F(CheckConfigFormTest, DurationsAreCutThenLimited) {
    strcpy(form.durationText[0], "100000");
    ASSERT_EQ(CONFIG_CHECK_OK, Check());
    EXPECT_EQ(10000, out.sleepDurationSec[0]);

    strcpy(form.durationText[3], "600000");
    EXPECT_EQ(CONFIG_CHECK_DURATION_TOO_LARGE, Check());
    strcpy(form.durationText[3], "50000");
    EXPECT_EQ(CONFIG_CHECK_OK, Check());
}

TEST_F(CheckConfigFormTest, FirstSleepDelayLimit) {
    strcpy(form.delayText, "45000");
    ASSERT_EQ(CONFIG_CHECK_OK, Check());
    EXPECT_EQ(45000, out.firstSleepDelaySec);
    strcpy(form.delayText, "45001");
    EXPECT_EQ(CONFIG_CHECK_DELAY_TOO_LARGE, Check());
    strcpy(form.delayText, "4500099");
    ASSERT_EQ(CONFIG_CHECK_OK, Check());
    EXPECT_EQ(45000, out.firstSleepDelaySec);
}

TEST_F(CheckConfigFormTest, MinimumDurations) {
    strcpy(form.durationText[0], "29");
    EXPECT_EQ(CONFIG_CHECK_BELOW_30, Check());
    strcpy(form.durationText[0], "30");
    strcpy(form.durationText[3], "59");
    EXPECT_EQ(CONFIG_CHECK_BELOW_60, Check());
    // All four durations count for the 30-second minimum, S4 included.
    strcpy(form.durationText[3], "20");
    EXPECT_EQ(CONFIG_CHECK_BELOW_30, Check());
    // A disabled state's duration counts as well.
    strcpy(form.durationText[3], "60");
    strcpy(form.durationText[2], "");
    EXPECT_EQ(CONFIG_CHECK_BELOW_30, Check());
}

TEST_F(CheckConfigFormTest, SleepForeverInForceLiftsTheMinimumsButNotTheMaximum) {
    for (int i = 0; i < 4; i++) strcpy(form.durationText[i], "1");
    form.sleepForever = true;  // only ticked: the minimums still hold
    EXPECT_EQ(CONFIG_CHECK_BELOW_30, Check());

    inForce.sleepForever = 1;
    form.sleepForever = false;  // in force, even while being unticked
    ASSERT_EQ(CONFIG_CHECK_OK, Check());
    EXPECT_EQ(1, out.sleepDurationSec[3]);
    EXPECT_EQ(0, out.sleepForever);

    strcpy(form.durationText[1], "50001");
    EXPECT_EQ(CONFIG_CHECK_DURATION_TOO_LARGE, Check());
}

TEST_F(CheckConfigFormTest, ChecksRunInTheirFixedOrder) {
    // Every entry is wrong: each fix reveals the next check.
    strcpy(form.delayText, "45001");
    form.logToFile = true;
    form.logFilePath[0] = '\0';
    strcpy(form.durationText[0], "10");
    strcpy(form.durationText[1], "99999");
    form.runAppBetweenSleeps = true;
    strcpy(form.appBetweenSleepsPath, "Z:\\no\\such\\program.exe");

    EXPECT_EQ(CONFIG_CHECK_DELAY_TOO_LARGE, Check());
    strcpy(form.delayText, "5");
    EXPECT_EQ(CONFIG_CHECK_BAD_LOG_PATH, Check());
    form.logToFile = false;
    EXPECT_EQ(CONFIG_CHECK_BELOW_30, Check());
    strcpy(form.durationText[0], "30");
    EXPECT_EQ(CONFIG_CHECK_DURATION_TOO_LARGE, Check());
    strcpy(form.durationText[1], "30");
    EXPECT_EQ(CONFIG_CHECK_BAD_PROGRAM_PATH, Check());
    form.runAppBetweenSleeps = false;
    EXPECT_EQ(CONFIG_CHECK_OK, Check());
}

TEST_F(CheckConfigFormTest, CycleNumbersAreTakenAsTheyAre) {
    strcpy(form.cycleCountText, "0");
    form.cycleIntervalText[0] = '\0';
    form.cycleForever = true;
    ASSERT_EQ(CONFIG_CHECK_OK, Check());
    EXPECT_EQ(0, out.cycleCount);
    EXPECT_EQ(0, out.cycleIntervalSec);
    EXPECT_EQ(1, out.cycleForever);
}

TEST_F(CheckConfigFormTest, LogFilePathKeptWhenLoggingIsOff) {
    strcpy(form.logFilePath, "Q:\\typed\\but\\off.log");
    form.logToFile = false;
    form.clearLogAtStart = true;
    ASSERT_EQ(CONFIG_CHECK_OK, Check());
    EXPECT_STREQ("Q:\\typed\\but\\off.log", out.logFilePath);
    EXPECT_EQ(0, out.logToFile);

    // On, the path must be usable; a relative one is completed only for the check.
    form.logToFile = true;
    EXPECT_EQ(CONFIG_CHECK_BAD_LOG_PATH, Check());
    std::string folder = TestFolder("checks_log");
    std::string path = folder + "\\new.log";
    strcpy(form.logFilePath, path.c_str());
    ASSERT_EQ(CONFIG_CHECK_OK, Check());
    EXPECT_EQ(1, out.clearLogAtStart);
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(path.c_str()));
    strcpy(form.logFilePath, "relative.log");
    ASSERT_EQ(CONFIG_CHECK_OK, Check());
    EXPECT_STREQ("relative.log", out.logFilePath);

    // A path longer than its field would be cut into another file, even one
    // that could be created.
    std::string longPath = folder + "\\" + std::string(258 - folder.size() - 5, 'a') + ".log";
    ASSERT_TRUE(ResolveFilePath(nullptr, 0, longPath.c_str()));
    strcpy(form.logFilePath, longPath.c_str());
    EXPECT_EQ(CONFIG_CHECK_BAD_LOG_PATH, Check());
}

TEST_F(CheckConfigFormTest, ExternalProgramsMustBeReadableFiles) {
    std::string folder = TestFolder("checks_programs");
    std::string program = MakeFile(folder + "\\tool.exe");
    form.runAppBetweenSleeps = true;
    strcpy(form.appBetweenSleepsPath, program.c_str());
    form.runAppAfterLastCycle = true;
    strcpy(form.appAfterLastCyclePath, program.c_str());
    ASSERT_EQ(CONFIG_CHECK_OK, Check());
    EXPECT_STREQ(program.c_str(), out.appBetweenSleepsPath);
    EXPECT_EQ(1, out.runAppAfterLastCycle);

    strcpy(form.appAfterLastCyclePath, (folder + "\\missing.exe").c_str());
    EXPECT_EQ(CONFIG_CHECK_BAD_PROGRAM_PATH, Check());
    strcpy(form.appAfterLastCyclePath, folder.c_str());  // a folder is no program
    EXPECT_EQ(CONFIG_CHECK_BAD_PROGRAM_PATH, Check());
    form.appAfterLastCyclePath[0] = '\0';
    EXPECT_EQ(CONFIG_CHECK_BAD_PROGRAM_PATH, Check());

    // Unticked, a missing program is kept without complaint.
    form.runAppAfterLastCycle = false;
    strcpy(form.appAfterLastCyclePath, "missing.exe");
    ASSERT_EQ(CONFIG_CHECK_OK, Check());
    EXPECT_STREQ("missing.exe", out.appAfterLastCyclePath);
}

TEST_F(CheckConfigFormTest, RadioGroupsWithNothingTickedKeepTheirValues) {
    inForce.fallbackMode = 1;
    inForce.logLevel = 2;
    form.fallbackChoice = -1;
    form.logLevelChoice = -1;
    ASSERT_EQ(CONFIG_CHECK_OK, Check());
    EXPECT_EQ(1, out.fallbackMode);
    EXPECT_EQ(2, out.logLevel);
    EXPECT_EQ(0, out.skipUnsupported);

    form.fallbackChoice = 2;
    form.logLevelChoice = 1;
    ASSERT_EQ(CONFIG_CHECK_OK, Check());
    EXPECT_EQ(2, out.fallbackMode);
    EXPECT_EQ(1, out.logLevel);

    // Without an owner's state boxes the selection in force is kept.
    inForce.useState[2] = 1;
    form.haveStateBoxes = false;
    ASSERT_EQ(CONFIG_CHECK_OK, Check());
    EXPECT_EQ(1, out.useState[2]);
}

TEST(ConfigSaveRecord, FollowsTheBoxesAndSkipsChecks) {
    ConfigForm form = DefaultForm();
    strcpy(form.durationText[0], "4500099");  // no cut, no limit
    strcpy(form.delayText, "100000");
    form.cycleForever = true;
    strcpy(form.cycleCountText, "12");
    form.logToFile = false;
    form.clearLogAtStart = true;
    form.runAppBetweenSleeps = false;
    strcpy(form.appBetweenSleepsPath, "ignored.exe");
    form.runAppAfterLastCycle = true;
    strcpy(form.appAfterLastCyclePath, "missing.exe");
    form.fallbackChoice = -1;
    form.logLevelChoice = -1;

    ConfigRecord record;
    memset(&record, 0xAB, sizeof(record));
    BuildRecordFromForm(&form, &record);
    EXPECT_EQ(0, memcmp(record.magic, "SLPDAT\0", 8));
    EXPECT_STREQ("Vesplin", record.productName);
    EXPECT_STREQ("V2.3", record.versionText);
    EXPECT_EQ(1006, record.buildNumber);
    EXPECT_EQ(4500099, record.sleepDurationSec[0]);
    EXPECT_EQ(100000, record.firstSleepDelaySec);
    EXPECT_EQ(0, record.cycleCount);  // read only for a fixed number of cycles
    EXPECT_EQ(60, record.cycleIntervalSec);
    EXPECT_STREQ("", record.logFilePath);
    EXPECT_EQ(0, record.clearLogAtStart);
    EXPECT_STREQ("", record.appBetweenSleepsPath);
    EXPECT_STREQ("missing.exe", record.appAfterLastCyclePath);
    EXPECT_EQ(0, record.fallbackMode);
    EXPECT_EQ(0, record.logLevel);
    EXPECT_EQ(0, record.allSupportedStates);
    const unsigned char* reserved = record.reserved;
    for (size_t i = 0; i < sizeof(record.reserved); i++) ASSERT_EQ(0, reserved[i]);
}

TEST(ConfigCheckMessages, TextsCaptionsAndIcons) {
    struct Expected {
        int check;
        const char* text;
        const char* caption;
        UINT icon;
    } expected[] = {
        {1, "Please enter a wait duration of 45000 seconds or less", "Wait duration too large", MB_ICONWARNING},
        {2, "Please enter a valid filename for the log file.", "Invalid Log file path", MB_ICONWARNING},
        {3,
         "To avoid deadlock, the Sleep Duration cannot be less than 30 seconds in modes S1 - S3.\n"
         "Please change this in the configuration options",
         "Warning", MB_ICONINFORMATION},
        {4,
         "To avoid deadlock, the Sleep Duration cannot be less than 60 seconds in Hibernate mode or a Cycle mode "
         "which includes hibernation.\nPlease change this in the configuration options.",
         "Warning", MB_ICONINFORMATION},
        {5, "Please enter a sleep duration of 50000 seconds or less", "Sleep duration too large", MB_ICONWARNING},
        {6, "Please enter a valid file path for an existing program, eg C:\\\\myapp.exe",
         "Invalid external application path", MB_ICONWARNING},
    };
    for (const Expected& e : expected) {
        char text[512];
        const char* caption = nullptr;
        UINT icon = 0;
        GetConfigCheckMessage(e.check, text, sizeof(text), &caption, &icon);
        EXPECT_STREQ(e.text, text) << e.check;
        EXPECT_STREQ(e.caption, caption) << e.check;
        EXPECT_EQ(e.icon, icon) << e.check;
    }
    char text[8];
    GetConfigCheckMessage(CONFIG_CHECK_DURATION_TOO_LARGE, text, sizeof(text), nullptr, nullptr);
    EXPECT_STREQ("Please ", text);  // cut to the buffer, terminated
}

TEST(ConfigReactions, LogFileReactionByModeAndPath) {
    ConfigRecord before;
    memset(&before, 0, sizeof(before));
    before.logToFile = 1;
    strcpy(before.logFilePath, "C:\\a.log");
    ConfigRecord after = before;

    EXPECT_EQ(LOG_FILE_KEEP, DecideLogFileReaction(&before, &after));
    strcpy(after.logFilePath, "C:\\b.log");
    EXPECT_EQ(LOG_FILE_NEW_PATH, DecideLogFileReaction(&before, &after));
    strcpy(after.logFilePath, "c:\\a.log");  // compared byte for byte
    EXPECT_EQ(LOG_FILE_NEW_PATH, DecideLogFileReaction(&before, &after));
    strcpy(after.logFilePath, "C:\\a.log");
    after.clearLogAtStart = 1;
    EXPECT_EQ(LOG_FILE_OVERWRITE, DecideLogFileReaction(&before, &after));
    strcpy(after.logFilePath, "C:\\b.log");
    EXPECT_EQ(LOG_FILE_OVERWRITE, DecideLogFileReaction(&before, &after));
    EXPECT_EQ(LOG_FILE_APPEND, DecideLogFileReaction(&after, &before));
    after.logToFile = 0;
    EXPECT_EQ(LOG_FILE_KEEP, DecideLogFileReaction(&before, &after));
}

TEST(ConfigReactions, MonitoringStartsAndStopsWithLevelTwo) {
    EXPECT_EQ(MONITOR_START, DecideMonitoring(2, 0, true));
    EXPECT_EQ(MONITOR_UNSUPPORTED, DecideMonitoring(2, 0, false));
    EXPECT_EQ(MONITOR_KEEP, DecideMonitoring(2, 3, true));
    EXPECT_EQ(MONITOR_STOP, DecideMonitoring(1, 3, true));
    EXPECT_EQ(MONITOR_STOP, DecideMonitoring(0, 1, false));
    EXPECT_EQ(MONITOR_KEEP, DecideMonitoring(0, 0, true));
}

TEST(ConfigReactions, BannerLine) {
    char banner[128];
    FormatLogBanner(banner, sizeof(banner));
    EXPECT_STREQ("Vesplin V2.3 (Build: 1006), built on May 12 2010 11:19:13", banner);
}
