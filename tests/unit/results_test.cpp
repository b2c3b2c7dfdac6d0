// The results file: the records of every verdict, the file appends, and the
// time-asleep rule that decides whether the machine slept.
#include <gtest/gtest.h>
#include <windows.h>
#include <string.h>
#include <string>
#include <vector>
#include "events/events.h"
#include "log/log.h"
#include "power/power.h"
#include "support/json_lines.h"
#include "support/process_run.h"
#include "results/results.h"
#include "portable/record_lines.h"
#include "ui/ui.h"

namespace {

AsleepReading Reading(bool stamps, ULONGLONG sleep, ULONGLONG wake, int clock, ULONGLONG interrupt, bool unbiasedOk,
                      ULONGLONG unbiased) {
    AsleepReading r;
    memset(&r, 0, sizeof(r));
    r.stampsValid = stamps;
    r.lastSleep = sleep;
    r.lastWake = wake;
    r.interruptSource = clock;
    r.interrupt = interrupt;
    r.unbiasedValid = unbiasedOk;
    r.unbiased = unbiased;
    return r;
}

const ULONGLONG S = 10000000ULL;  // one second in 100 ns units

}  // namespace

TEST(ResultsFile, AppendsWholeLinesAndReportsAFolderItCannotWrite) {
    std::string folder = TestFolder("ResultsFile_Append");
    std::string path = JoinPath(folder, "r.jsonl");
    DeleteFileA(path.c_str());
    ASSERT_EQ(0u, AppendResultLine(path.c_str(), "{\"a\":1}\n"));
    ASSERT_EQ(0u, AppendResultLine(path.c_str(), "{\"a\":2}\n"));
    EXPECT_EQ("{\"a\":1}\n{\"a\":2}\n", ReadText(path));

    std::string missing = JoinPath(folder, "no_such_folder\\r.jsonl");
    EXPECT_EQ((DWORD)ERROR_PATH_NOT_FOUND, AppendResultLine(missing.c_str(), "{}\n"));
    EXPECT_FALSE(FileExists(missing));
    EXPECT_EQ((DWORD)ERROR_INVALID_NAME, AppendResultLine("", "{}\n"));

    EXPECT_EQ("{\"a\":1}\n{\"a\":2}\n", ReadText(path));

    // A last line cut by a power loss: the next record starts a line of its own.
    ASSERT_TRUE(WriteText(path, "{\"a\":1}\n{\"a\":"));
    ASSERT_EQ(0u, AppendResultLine(path.c_str(), "{\"a\":3}\n"));
    EXPECT_EQ("{\"a\":1}\n{\"a\":\n{\"a\":3}\n", ReadText(path));
    std::vector<SleepRecord> records;
    int bad = 0;
    ASSERT_TRUE(WriteText(path, Line(1, "ok", 60) + Line(2, "ok", 60).substr(0, 30)));
    ASSERT_EQ(0u, AppendResultLine(path.c_str(), Line(3, "lost", 600).c_str()));
    ASSERT_EQ(0, ReadResultsFile(path.c_str(), &records, &bad));
    ASSERT_EQ(2u, records.size());
    EXPECT_EQ(VERDICT_LOST, records[1].verdict);
    EXPECT_EQ(1, bad);
}

TEST(ResultsFile, TheLastLineIsReplacedThroughAPendingFileAndPutInPlaceAfterAPowerLoss) {
    std::string folder = TestFolder("ResultsFile_Replace");
    std::string path = JoinPath(folder, "r.jsonl"), pending = path + ".pending";
    const std::string a = "{\"a\":1}\n", b = "{\"b\":2}\n", c = "{\"c\":33}\n";
    const struct {
        const char* what;
        std::string before, pending;  // pending "": no pending file
        std::string after;
        bool restored;
    } cases[] = {
        {"the cut was not made", a + b, c, a + c, true},
        {"the new line was half appended", a + "{\"c\"", c, a + c, true},
        {"the new line was already in place", a + c, c, a + c, true},
        {"the only line", b, c, c, true},
        {"an empty file", "", c, c, true},
        {"a torn pending file", a + b, "{\"c\":", a + b, false},
        {"two lines pending", a + b, c + c, a + b, false},
        {"none pending", a + b, "", a + b, false},
    };
    for (const auto& k : cases) {
        ASSERT_TRUE(WriteText(path, k.before));
        DeleteFileA(pending.c_str());
        if (!k.pending.empty()) {
            ASSERT_TRUE(WriteText(pending, k.pending));
        }
        bool restored = !k.restored;
        EXPECT_EQ(0u, RestorePendingResultLine(path.c_str(), &restored)) << k.what;
        EXPECT_EQ(k.restored, restored) << k.what;
        EXPECT_EQ(k.after, ReadText(path)) << k.what;
        EXPECT_FALSE(FileExists(pending)) << k.what;
    }

    // In one go: the pending file is gone afterwards and every other line stays.
    ASSERT_TRUE(WriteText(path, a + b));
    ASSERT_EQ(0u, ReplaceLastResultLine(path.c_str(), c.c_str()));
    EXPECT_EQ(a + c, ReadText(path));
    EXPECT_FALSE(FileExists(pending));
    // A last line longer than any record is never cut, and stays.
    std::string huge(RESULT_LINE_SIZE + 100, 'x');
    ASSERT_TRUE(WriteText(path, a + huge));
    EXPECT_EQ((DWORD)ERROR_INVALID_DATA, ReplaceLastResultLine(path.c_str(), c.c_str()));
    EXPECT_TRUE(a + huge == ReadText(path));
    // A results file that is gone is not made up from the pending line alone.
    DeleteFileA(path.c_str());
    EXPECT_NE(0u, ReplaceLastResultLine(path.c_str(), c.c_str()));
    EXPECT_FALSE(FileExists(path));
    EXPECT_FALSE(FileExists(pending));
}

TEST(ResultsFile, RecordsOfEveryVerdictAndTheExitCode) {
    std::string folder = TestFolder("ResultsFile_Verdicts");
    std::string path = JoinPath(folder, "r.jsonl");
    DeleteFileA(path.c_str());
    snprintf(gResultsPath, sizeof(gResultsPath), "%s", path.c_str());
    memset(&gRunTally, 0, sizeof(gRunTally));
    EXPECT_EQ(EXIT_SLEEP_FAILED, RunExitCode(&gRunTally, RUN_END_COMPLETED));  // no sleep at all is no pass

    // The engine's records come from gLastSleep; without a wake-source thread they are written at once.
    const int verdicts[] = {VERDICT_OK, VERDICT_TOO_SHORT, VERDICT_TOO_LONG, VERDICT_NOT_SLEPT, VERDICT_REFUSED};
    int cycle = 1;
    for (int verdict : verdicts) {
        ClearSleepRecord(&gLastSleep);
        gLastSleep.verdict = verdict;
        gLastSleep.measuredSec = 30 + cycle;
        gLastSleep.asleepSource = verdict == VERDICT_REFUSED ? ASLEEP_UNKNOWN : ASLEEP_FROM_INTERRUPT_TIME;
        gLastSleep.asleepSec = verdict == VERDICT_NOT_SLEPT ? 0 : 30;
        gLastSleep.errorCode = verdict == VERDICT_REFUSED ? 31 : 0;
        gLastSleep.startUtc = kStart;
        gLastSleep.endUtc = kStart + 31 * 10000000LL;
        gLastWakeSourceMark = WakeSourceCount();
        RecordSleepResult(cycle, SLEEP_S1, SLEEP_S1, 0, 30);
        if (cycle == 1) {
            EXPECT_EQ(0, RunExitCode(&gRunTally, RUN_END_COMPLETED));
        }
        cycle++;
    }
    ResumeRecord position;
    memset(&position, 0, sizeof(position));
    position.cycleIndex = 5;
    position.requestedState = SLEEP_S3;
    position.sleepStartTime = 1796647494;  // 2026-12-07 12:44:54 UTC
    MarkerTail tail;
    memset(&tail, 0, sizeof(tail));
    tail.enteredState = SLEEP_S2;
    tail.requestedSec = 90;
    snprintf(tail.fallback, sizeof(tail.fallback), "lighter");
    RecordLostSleep(&position, &tail, position.sleepStartTime + 500, nullptr);

    std::vector<nlohmann::json> records = ReadJsonLines(path);
    ASSERT_EQ(6u, records.size());
    const char* names[] = {"ok", "short", "long", "not_slept", "refused", "lost"};
    for (int i = 0; i < 6; i++) EXPECT_EQ(names[i], records[i]["verdict"]) << i;
    EXPECT_EQ(31, records[4]["error_code"]);
    EXPECT_TRUE(records[4]["asleep_sec"].is_null());
    EXPECT_EQ(0, records[3]["asleep_sec"]);
    EXPECT_EQ("interrupt_time", records[3]["asleep_source"]);
    const nlohmann::json& lost = records[5];
    EXPECT_EQ(6, lost["cycle"]);
    EXPECT_EQ("S3", lost["requested_state"]);
    EXPECT_EQ("S2", lost["entered_state"]);
    EXPECT_EQ("lighter", lost["fallback"]);
    EXPECT_EQ(90, lost["requested_sec"]);
    EXPECT_EQ(500, lost["measured_sec"]);
    EXPECT_TRUE(lost["asleep_sec"].is_null());
    EXPECT_EQ("2026-12-07T12:44:54Z", lost["start_utc"]);
    EXPECT_EQ("2026-12-07T12:53:14Z", lost["end_utc"]);

    EXPECT_EQ(6, gRunTally.sleeps);
    EXPECT_EQ(5, gRunTally.failed);
    EXPECT_EQ(EXIT_SLEEP_FAILED, RunExitCode(&gRunTally, RUN_END_COMPLETED));

    // A lost sleep without a tail (no results file when it was taken) still gets its record, with nulls.
    RecordLostSleep(&position, nullptr, position.sleepStartTime + 10, nullptr);
    records = ReadJsonLines(path);
    ASSERT_EQ(7u, records.size());
    EXPECT_TRUE(records[6]["entered_state"].is_null());
    EXPECT_TRUE(records[6]["requested_sec"].is_null());

    // A file that cannot take the record: an error line and an exit code that says so.
    memset(&gRunTally, 0, sizeof(gRunTally));
    snprintf(gResultsPath, sizeof(gResultsPath), "%s", JoinPath(folder, "gone\\r.jsonl").c_str());
    ClearSleepRecord(&gLastSleep);
    gLastSleep.verdict = VERDICT_OK;
    RecordSleepResult(1, SLEEP_S1, SLEEP_S1, 0, 30);
    EXPECT_EQ(1, gRunTally.recordsLost);
    EXPECT_EQ(EXIT_SLEEP_FAILED, RunExitCode(&gRunTally, RUN_END_COMPLETED));
    gResultsPath[0] = '\0';
    memset(&gRunTally, 0, sizeof(gRunTally));
}

TEST(ResultsFile, FallbackNamesAndTheMarkerTail) {
    EXPECT_STREQ("", FallbackId(PlanFallback(SLEEP_S3, SLEEP_S3, 0)));
    EXPECT_STREQ("lighter", FallbackId(PlanFallback(SLEEP_S4, SLEEP_S3, 0)));
    EXPECT_STREQ("deeper", FallbackId(PlanFallback(SLEEP_S2, SLEEP_S3, 0)));
    EXPECT_STREQ("force", FallbackId(PlanFallback(SLEEP_S2, SLEEP_S2, 1)));

    MarkerTail good;
    memset(&good, 0, sizeof(good));
    memcpy(good.magic, MARKER_TAIL_MAGIC, 4);
    good.enteredState = SLEEP_S4;
    snprintf(good.resultsPath, sizeof(good.resultsPath), "C:\\r.jsonl");
    MarkerTail read;
    ASSERT_TRUE(ParseMarkerTail(&good, sizeof(good), &read));
    EXPECT_STREQ("C:\\r.jsonl", read.resultsPath);
    EXPECT_FALSE(ParseMarkerTail(&good, sizeof(good) - 1, &read));  // cut short
    EXPECT_FALSE(ParseMarkerTail(&good, 0, &read));
    MarkerTail bad = good;
    bad.magic[0] = 'X';
    EXPECT_FALSE(ParseMarkerTail(&bad, sizeof(bad), &read));
    bad = good;
    bad.enteredState = 4;
    EXPECT_FALSE(ParseMarkerTail(&bad, sizeof(bad), &read));
    bad = good;
    memset(bad.resultsPath, 'p', sizeof(bad.resultsPath));  // no terminator inside the field
    EXPECT_FALSE(ParseMarkerTail(&bad, sizeof(bad), &read));
    EXPECT_STREQ("", read.resultsPath);
    bad = good;
    memset(bad.fallback, 'f', sizeof(bad.fallback));
    EXPECT_FALSE(ParseMarkerTail(&bad, sizeof(bad), &read));
}

TEST(TimeAsleep, StampsWinWhenBothAreNewer) {
    int seconds = -1;
    AsleepReading before = Reading(true, 100 * S, 160 * S, ASLEEP_FROM_INTERRUPT_TIME, 1000 * S, true, 900 * S);
    AsleepReading after = Reading(true, 1000 * S, 1030 * S, ASLEEP_FROM_INTERRUPT_TIME, 1031 * S, true, 901 * S);
    EXPECT_EQ(ASLEEP_FROM_STAMPS, ComputeTimeAsleep(&before, &after, &seconds));
    EXPECT_EQ(30, seconds);
    after.lastWake = 1000 * S + S / 2;  // rounded to the nearest second
    EXPECT_EQ(ASLEEP_FROM_STAMPS, ComputeTimeAsleep(&before, &after, &seconds));
    EXPECT_EQ(1, seconds);
    after.lastWake = 1000 * S + S / 2 - 1;
    ComputeTimeAsleep(&before, &after, &seconds);
    EXPECT_EQ(0, seconds);

    // Stamps left from an earlier sleep, one stamp unchanged, a wake before its
    // sleep, a reading that failed: the clocks answer instead.
    AsleepReading stale = after;
    stale.lastSleep = before.lastSleep;
    stale.lastWake = before.lastWake;
    EXPECT_EQ(ASLEEP_FROM_INTERRUPT_TIME, ComputeTimeAsleep(&before, &stale, &seconds));
    EXPECT_EQ(30, seconds);  // 31 s of interrupt time, 1 s of it awake
    AsleepReading oneOld = after;
    oneOld.lastWake = before.lastWake;
    EXPECT_EQ(ASLEEP_FROM_INTERRUPT_TIME, ComputeTimeAsleep(&before, &oneOld, &seconds));
    AsleepReading backwards = after;
    backwards.lastSleep = 1040 * S;
    EXPECT_EQ(ASLEEP_FROM_INTERRUPT_TIME, ComputeTimeAsleep(&before, &backwards, &seconds));
    AsleepReading failedBefore = before;
    failedBefore.stampsValid = false;
    EXPECT_EQ(ASLEEP_FROM_INTERRUPT_TIME, ComputeTimeAsleep(&failedBefore, &after, &seconds));
}

TEST(TimeAsleep, ClocksAndTheirBoundaries) {
    int seconds = -1;
    // The tick count stands in for interrupt time where QueryInterruptTime is missing.
    AsleepReading before = Reading(false, 0, 0, ASLEEP_FROM_TICK_COUNT, 50 * S, true, 40 * S);
    AsleepReading after = Reading(false, 0, 0, ASLEEP_FROM_TICK_COUNT, 95 * S, true, 45 * S);
    EXPECT_EQ(ASLEEP_FROM_TICK_COUNT, ComputeTimeAsleep(&before, &after, &seconds));
    EXPECT_EQ(40, seconds);
    // Under Wine the unbiased time never stops: nothing slept. A tick-count step
    // that leaves unbiased time slightly ahead is no negative sleep.
    after.unbiased = 85 * S + S / 100;
    EXPECT_EQ(ASLEEP_FROM_TICK_COUNT, ComputeTimeAsleep(&before, &after, &seconds));
    EXPECT_EQ(0, seconds);
    // No unbiased time (before Windows 7), no clock at all, clocks of two kinds, clocks that went back.
    AsleepReading noUnbiased = after;
    noUnbiased.unbiasedValid = false;
    EXPECT_EQ(ASLEEP_UNKNOWN, ComputeTimeAsleep(&before, &noUnbiased, &seconds));
    AsleepReading noClock = before;
    noClock.interruptSource = ASLEEP_UNKNOWN;
    AsleepReading noClockAfter = after;
    noClockAfter.interruptSource = ASLEEP_UNKNOWN;
    EXPECT_EQ(ASLEEP_UNKNOWN, ComputeTimeAsleep(&noClock, &noClockAfter, &seconds));
    AsleepReading mixed = after;
    mixed.interruptSource = ASLEEP_FROM_INTERRUPT_TIME;
    EXPECT_EQ(ASLEEP_UNKNOWN, ComputeTimeAsleep(&before, &mixed, &seconds));
    AsleepReading back = after;
    back.interrupt = 10 * S;
    EXPECT_EQ(ASLEEP_UNKNOWN, ComputeTimeAsleep(&before, &back, &seconds));
    EXPECT_EQ(0, seconds);

    EXPECT_STREQ("LastSleepTime/LastWakeTime", AsleepSourceName(ASLEEP_FROM_STAMPS));
    EXPECT_STREQ("tick_count", AsleepSourceId(ASLEEP_FROM_TICK_COUNT));
    EXPECT_STREQ("", AsleepSourceName(ASLEEP_UNKNOWN));
}

TEST(TimeAsleep, UnderHalfOfTheMeasuredTimeIsNoSleep) {
    EXPECT_FALSE(MachineDidNotSleep(15, 30));
    EXPECT_TRUE(MachineDidNotSleep(14, 30));
    EXPECT_FALSE(MachineDidNotSleep(16, 31));
    EXPECT_TRUE(MachineDidNotSleep(15, 31));
    EXPECT_TRUE(MachineDidNotSleep(0, 0));  // a manual wake whose suspend call returned at once
    EXPECT_TRUE(MachineDidNotSleep(-1, 0));
    EXPECT_FALSE(MachineDidNotSleep(1, 1));
    EXPECT_TRUE(MachineDidNotSleep(0, 1));
    EXPECT_FALSE(MachineDidNotSleep(2147483647, 2147483647));
}

TEST(MachineChecks, EachFindingWithItsLevel) {
    char line[256];
    EXPECT_EQ(LOG_WARNING, DescribeModernStandby(true, true, line, sizeof(line)));
    EXPECT_STREQ("This machine uses Modern Standby (S0 low-power idle): S1 to S3 are not available, whatever the "
                 "legacy calls say",
                 line);
    EXPECT_EQ(LOG_INFO, DescribeModernStandby(true, false, line, sizeof(line)));  // only S4 chosen
    EXPECT_EQ(LOG_INFO, DescribeModernStandby(false, true, line, sizeof(line)));

    EXPECT_EQ(LOG_INFO, DescribeWakeTimers(1, 1, POWER_SOURCE_AC, line, sizeof(line)));
    EXPECT_STREQ("Wake timers in the active power plan: enabled on AC power, enabled on battery", line);
    EXPECT_EQ(LOG_WARNING, DescribeWakeTimers(0, 1, POWER_SOURCE_AC, line, sizeof(line)));
    EXPECT_STREQ("Wake timers in the active power plan: disabled on AC power, enabled on battery; a timed wake may "
                 "never come",
                 line);
    // The setting of the power source in force counts; unknown source: both must allow it.
    EXPECT_EQ(LOG_INFO, DescribeWakeTimers(1, 0, POWER_SOURCE_AC, line, sizeof(line)));
    EXPECT_EQ(LOG_WARNING, DescribeWakeTimers(1, 0, POWER_SOURCE_BATTERY, line, sizeof(line)));
    EXPECT_EQ(LOG_WARNING, DescribeWakeTimers(1, 0, POWER_SOURCE_UNKNOWN, line, sizeof(line)));
    EXPECT_EQ(LOG_WARNING, DescribeWakeTimers(2, 2, POWER_SOURCE_AC, line, sizeof(line)));
    EXPECT_NE(nullptr, strstr(line, "important wake timers only on AC power"));
    EXPECT_EQ(LOG_WARNING, DescribeWakeTimers(7, 1, POWER_SOURCE_AC, line, sizeof(line)));
    EXPECT_NE(nullptr, strstr(line, "an unknown value on AC power"));

    EXPECT_EQ(LOG_INFO, DescribePowerSource(POWER_SOURCE_AC, 80, line, sizeof(line)));
    EXPECT_STREQ("The machine is on AC power", line);
    EXPECT_EQ(LOG_WARNING, DescribePowerSource(POWER_SOURCE_BATTERY, 40, line, sizeof(line)));
    EXPECT_STREQ("The machine is on battery (40% left): the plan's battery settings apply and a long run drains it",
                 line);
    EXPECT_EQ(LOG_WARNING, DescribePowerSource(POWER_SOURCE_BATTERY, 255, line, sizeof(line)));
    EXPECT_EQ(nullptr, strstr(line, "255"));
    EXPECT_EQ(LOG_INFO, DescribePowerSource(POWER_SOURCE_UNKNOWN, -1, line, sizeof(line)));

    EXPECT_EQ(LOG_WARNING, DescribeHibernation(false, line, sizeof(line)));
    EXPECT_EQ(0, strncmp(line, "Hibernation is off (no hibernation file) while S4 is chosen", 59));
    EXPECT_EQ(LOG_INFO, DescribeHibernation(true, line, sizeof(line)));

    SYSTEM_POWER_CAPABILITIES caps;
    memset(&caps, 0, sizeof(caps));
    EXPECT_FALSE(CapsShowModernStandby(&caps));
    reinterpret_cast<unsigned char*>(&caps)[20] = 1;  // AoAc in the Windows 8 record
    EXPECT_TRUE(CapsShowModernStandby(&caps));
}

TEST(ResultsFile, FailureStreakFollowsAHeldRecordWhoseVerdictChanges) {
    const int saved = gMaxFailures;
    gMaxFailures = 3;
    gFailureStreak = 0;
    // count: a record at the wake; recount: the held record's verdict changed from `from` to `verdict`.
    const struct {
        bool recount;
        int from, verdict;
        int streak;
        bool reached;
    } steps[] = {
        {false, 0, VERDICT_LOST, 1, false},
        {false, 0, VERDICT_OK, 0, false},
        {true, VERDICT_OK, VERDICT_DEVICE_FAULT, 2, false},  // counted from the streak before the ok
        {false, 0, VERDICT_NOT_SLEPT, 3, true},
        {false, 0, VERDICT_OK, 0, false},
        {true, VERDICT_OK, VERDICT_WRONG_STATE, 4, true},  // the ok was none: the streak goes on
        {false, 0, VERDICT_OK, 0, false},
        {false, 0, VERDICT_TOO_SHORT, 1, false},
        {true, VERDICT_TOO_SHORT, VERDICT_DEVICE_FAULT, 1, false},  // one failure, not two
        {true, VERDICT_DEVICE_FAULT, VERDICT_DEVICE_FAULT, 1, false},
        {false, 0, VERDICT_REFUSED, 2, false},
        {false, 0, VERDICT_TOO_LONG, 3, true},
    };
    for (const auto& s : steps) {
        if (s.recount) {
            RecountRecord(s.from, s.verdict);
        } else {
            CountRecord(s.verdict);
        }
        EXPECT_EQ(s.streak, gFailureStreak) << (&s - steps);
        EXPECT_EQ(s.reached, FailureLimitReached()) << (&s - steps);
    }
    gMaxFailures = 0;
    EXPECT_FALSE(FailureLimitReached()) << "0 is no limit";
    gMaxFailures = saved;
    gFailureStreak = 0;
    memset(&gRunTally, 0, sizeof(gRunTally));
    memset(gVerdictCounts, 0, sizeof(gVerdictCounts));
}
