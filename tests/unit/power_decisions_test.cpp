// The engine's decisions, taken as values: fallback rule, verdict, countdown,
// run checks, growth and the RunOnce data.
#include <gtest/gtest.h>
#include <limits.h>
#include <string.h>
#include <string>
#include <vector>
#include "power/power.h"
#include "results/results.h"
#include "ui/ui.h"

namespace {

const int S1 = 1 << SLEEP_S1, S2 = 1 << SLEEP_S2, S3 = 1 << SLEEP_S3, S4 = 1 << SLEEP_S4;
const int32_t kDurations[4] = {31, 32, 33, 64};

std::vector<std::string> Lines(const StatePlan& plan) {
    std::vector<std::string> lines;
    for (int i = 0; i < plan.lineCount; i++) lines.push_back(plan.lines[i]);
    return lines;
}

StatePlan Plan(int requested, int mask, int mode) {
    StatePlan plan;
    PlanStateAttempt(requested, mask, mode, kDurations, &plan);
    return plan;
}

}  // namespace

TEST(FallbackRule, SupportedStateIsEnteredAsItIsWithoutLines) {
    for (int mode = FALLBACK_LIGHTER; mode <= FALLBACK_SKIP; mode++) {
        StatePlan plan = Plan(SLEEP_S3, S3, mode);
        EXPECT_EQ(SLEEP_S3, plan.target);
        EXPECT_EQ(0, plan.force);
        EXPECT_EQ(0, plan.skip);
        EXPECT_EQ(0, plan.lineCount);
    }
}

TEST(FallbackRule, LighterFindsTheNearestLighterStateAsInTheExample) {
    // S4 on a machine with S1 and S3 but no hibernation.
    StatePlan plan = Plan(SLEEP_S4, S1 | S3, FALLBACK_LIGHTER);
    EXPECT_EQ((std::vector<std::string>{"Requested sleep state S4 is not supported on this machine",
                                        "Attempting lighter Sleep S3, Duration 33 secs"}),
              Lines(plan));
    EXPECT_EQ(SLEEP_S3, plan.target);
    EXPECT_EQ(0, plan.skip);
    EXPECT_EQ(0, plan.force);
}

TEST(FallbackRule, DeeperFromS4SkipsAsInTheExample) {
    StatePlan plan = Plan(SLEEP_S4, S1 | S3, FALLBACK_DEEPER);
    EXPECT_EQ((std::vector<std::string>{"Requested sleep state S4 is not supported on this machine",
                                        "Skipping sleep state attempt S4 as we cannot go deeper"}),
              Lines(plan));
    EXPECT_EQ(1, plan.skip);
}

TEST(FallbackRule, LighterWalksDownThroughUnsupportedStates) {
    StatePlan plan = Plan(SLEEP_S4, S1, FALLBACK_LIGHTER);
    EXPECT_EQ((std::vector<std::string>{"Requested sleep state S4 is not supported on this machine",
                                        "Attempting lighter Sleep S3 not supported",
                                        "Attempting lighter Sleep S2 not supported",
                                        "Attempting lighter Sleep S1, Duration 31 secs"}),
              Lines(plan));
    EXPECT_EQ(SLEEP_S1, plan.target);
    EXPECT_EQ(0, plan.skip);
}

TEST(FallbackRule, LighterWithNothingBelowSkipsOnTheS1Line) {
    StatePlan plan = Plan(SLEEP_S4, 0, FALLBACK_LIGHTER);
    EXPECT_EQ((std::vector<std::string>{"Requested sleep state S4 is not supported on this machine",
                                        "Attempting lighter Sleep S3 not supported",
                                        "Attempting lighter Sleep S2 not supported",
                                        "Attempting lighter Sleep S1 not supported, skipping"}),
              Lines(plan));
    EXPECT_EQ(1, plan.skip);

    plan = Plan(SLEEP_S1, S4, FALLBACK_LIGHTER);
    EXPECT_EQ((std::vector<std::string>{"Requested sleep state S1 is not supported on this machine",
                                        "Skipping sleep state attempt S1 as we cannot go lighter"}),
              Lines(plan));
    EXPECT_EQ(1, plan.skip);
}

TEST(FallbackRule, DeeperWalksUpAndSkipsOnTheS4Line) {
    StatePlan plan = Plan(SLEEP_S1, S4, FALLBACK_DEEPER);
    EXPECT_EQ((std::vector<std::string>{"Requested sleep state S1 is not supported on this machine",
                                        "Attempting deeper Sleep S2 not supported",
                                        "Attempting deeper Sleep S3 not supported",
                                        "Attempting deeper Sleep S4, Duration 64 secs"}),
              Lines(plan));
    EXPECT_EQ(SLEEP_S4, plan.target);
    EXPECT_EQ(0, plan.skip);

    plan = Plan(SLEEP_S2, S1, FALLBACK_DEEPER);
    EXPECT_EQ((std::vector<std::string>{"Requested sleep state S2 is not supported on this machine",
                                        "Attempting deeper Sleep S3 not supported",
                                        "Attempting deeper Sleep S4 not supported, skipping"}),
              Lines(plan));
    EXPECT_EQ(1, plan.skip);
}

TEST(FallbackRule, ForceAndSkip) {
    StatePlan plan = Plan(SLEEP_S2, S1 | S3, FALLBACK_FORCE);
    EXPECT_EQ((std::vector<std::string>{"Requested sleep state S2 is not supported on this machine",
                                        "Forcing attempt S2"}),
              Lines(plan));
    EXPECT_EQ(SLEEP_S2, plan.target);
    EXPECT_EQ(1, plan.force);
    EXPECT_EQ(0, plan.skip);

    plan = Plan(SLEEP_S2, S1 | S3, FALLBACK_SKIP);
    EXPECT_EQ((std::vector<std::string>{"Requested sleep state S2 is not supported on this machine",
                                        "Skipping sleep state attempt S2"}),
              Lines(plan));
    EXPECT_EQ(1, plan.skip);
}

TEST(FallbackRule, UnknownModesActAsLighter) {
    for (int mode : {-1, 4, 77}) {
        StatePlan plan = Plan(SLEEP_S3, S2, mode);
        EXPECT_EQ((std::vector<std::string>{"Requested sleep state S3 is not supported on this machine",
                                            "Attempting lighter Sleep S2, Duration 32 secs"}),
                  Lines(plan))
            << mode;
        EXPECT_EQ(SLEEP_S2, plan.target);
    }
}

TEST(CycleStates, ListIsAscendingAndResumePositionNeverNegative) {
    const uint8_t selected[4] = {1, 0, 7, 1};
    int list[4] = {-1, -1, -1, -1};
    ASSERT_EQ(3, BuildStateList(selected, list));
    EXPECT_EQ(SLEEP_S1, list[0]);
    EXPECT_EQ(SLEEP_S3, list[1]);
    EXPECT_EQ(SLEEP_S4, list[2]);
    const uint8_t none[4] = {0, 0, 0, 0};
    EXPECT_EQ(0, BuildStateList(none, list));

    EXPECT_EQ(0, CycleStartPosition(false, 3));
    EXPECT_EQ(3, CycleStartPosition(true, 3));
    EXPECT_EQ(0, CycleStartPosition(true, -5));
}

TEST(SleepVerdict, BoundariesOfTheLightStates) {
    for (int state : {SLEEP_S1, SLEEP_S2, SLEEP_S3}) {
        EXPECT_EQ(VERDICT_OK, JudgeSleepTime(state, 60, 45, false));
        EXPECT_EQ(VERDICT_OK, JudgeSleepTime(state, 60, 75, false));
        EXPECT_EQ(VERDICT_TOO_SHORT, JudgeSleepTime(state, 60, 44, false));
        EXPECT_EQ(VERDICT_TOO_LONG, JudgeSleepTime(state, 60, 76, false));
    }
}

TEST(SleepVerdict, BoundariesOfHibernation) {
    EXPECT_EQ(VERDICT_OK, JudgeSleepTime(SLEEP_S4, 60, 15, false));
    EXPECT_EQ(VERDICT_OK, JudgeSleepTime(SLEEP_S4, 60, 105, false));
    EXPECT_EQ(VERDICT_TOO_SHORT, JudgeSleepTime(SLEEP_S4, 60, 14, false));
    EXPECT_EQ(VERDICT_TOO_LONG, JudgeSleepTime(SLEEP_S4, 60, 106, false));
}

TEST(SleepVerdict, SleepForeverIsAlwaysOkAndExtremesDoNotOverflow) {
    EXPECT_EQ(VERDICT_OK, JudgeSleepTime(SLEEP_S1, 60, 0, true));
    EXPECT_EQ(VERDICT_OK, JudgeSleepTime(SLEEP_S4, 60, 100000, true));
    EXPECT_EQ(VERDICT_OK, JudgeSleepTime(SLEEP_S1, INT_MAX, INT_MAX, false));
    EXPECT_EQ(VERDICT_TOO_SHORT, JudgeSleepTime(SLEEP_S1, INT_MAX, 0, false));
    EXPECT_EQ(VERDICT_TOO_LONG, JudgeSleepTime(SLEEP_S1, INT_MIN, 0, false));
}

TEST(SleepVerdict, MeasuredSecondsRoundToTheNearestSecond) {
    const long long second = 10000000;
    EXPECT_EQ(30, MeasuredSeconds(0, 30 * second));
    EXPECT_EQ(30, MeasuredSeconds(5, 30 * second - second / 2 + 5));
    EXPECT_EQ(29, MeasuredSeconds(0, 30 * second - second / 2 - 1));
    EXPECT_EQ(-2, MeasuredSeconds(2 * second, 0));
    EXPECT_EQ(INT_MAX, MeasuredSeconds(0, 1LL << 62));
}

TEST(OneSleep, PolicyStateAndBackupTimerDecisions) {
    EXPECT_EQ(2, AdminPolicyStateFor(SLEEP_S1));
    EXPECT_EQ(3, AdminPolicyStateFor(SLEEP_S2));
    EXPECT_EQ(4, AdminPolicyStateFor(SLEEP_S3));
    EXPECT_EQ(0, AdminPolicyStateFor(SLEEP_S4));
    EXPECT_TRUE(NeedsBackupTimer(119));
    EXPECT_FALSE(NeedsBackupTimer(120));
    EXPECT_EQ(15, SleepToleranceSec(SLEEP_S3));
    EXPECT_EQ(45, SleepToleranceSec(SLEEP_S4));
}

TEST(AdminPolicy, ReadRecordIsNarrowedKeepingItsOtherFields) {
    ADMINISTRATOR_POWER_POLICY read = {PowerSystemWorking, PowerSystemHibernate, 11, 12, 13, 14};
    ADMINISTRATOR_POWER_POLICY saved = {PowerSystemWorking, PowerSystemHibernate, 21, 22, 23, 24};
    ADMINISTRATOR_POWER_POLICY out = {};
    ASSERT_TRUE(ComposeAdminSleepPolicy(0, &read, &saved, 3, 3, &out));
    EXPECT_EQ(3, (int)out.MinSleep);
    EXPECT_EQ(3, (int)out.MaxSleep);
    EXPECT_EQ(11u, out.MinVideoTimeout);
    EXPECT_EQ(14u, out.MaxSpindownTimeout);
}

TEST(AdminPolicy, FailedReadTakesTheSavedFieldsOrWritesNothing) {
    ADMINISTRATOR_POWER_POLICY garbage = {PowerSystemWorking, PowerSystemWorking, 99, 99, 99, 99};
    ADMINISTRATOR_POWER_POLICY saved = {PowerSystemWorking, PowerSystemHibernate, 21, 22, 23, 24};
    ADMINISTRATOR_POWER_POLICY out = {};
    ASSERT_TRUE(ComposeAdminSleepPolicy((LONG)0xC0000002, &garbage, &saved, 2, 2, &out));
    EXPECT_EQ(2, (int)out.MinSleep);
    EXPECT_EQ(2, (int)out.MaxSleep);
    EXPECT_EQ(21u, out.MinVideoTimeout);
    EXPECT_EQ(22u, out.MaxVideoTimeout);
    EXPECT_EQ(23u, out.MinSpindownTimeout);
    EXPECT_EQ(24u, out.MaxSpindownTimeout);

    EXPECT_FALSE(ComposeAdminSleepPolicy((LONG)0xC0000002, &garbage, nullptr, 2, 2, &out));
}

TEST(Countdown, NumberShownFollowsTicksAndHoldsWhilePaused) {
    EXPECT_EQ(60, CountdownSecondsLeft(60, 0, 2));
    EXPECT_EQ(60, CountdownSecondsLeft(60, 1, 2));
    EXPECT_EQ(59, CountdownSecondsLeft(60, 2, 2));
    EXPECT_EQ(1, CountdownSecondsLeft(60, 119, 2));
    EXPECT_EQ(60, CountdownSecondsLeft(60, -1, 2));  // paused on the first tick
    EXPECT_EQ(5, CountdownSecondsLeft(5, 9, 10));
    EXPECT_EQ(4, CountdownSecondsLeft(5, 10, 10));
}

TEST(Countdown, FontHeightFollowsTheValueAndTheScreen) {
    EXPECT_EQ(55, CountdownFontHeight(99, 96));
    EXPECT_EQ(30, CountdownFontHeight(100, 96));
    EXPECT_EQ(30, CountdownFontHeight(999, 96));
    EXPECT_EQ(24, CountdownFontHeight(1000, 96));
    EXPECT_EQ(68, CountdownFontHeight(5, 120));  // 55 x 1.25, truncated
    EXPECT_EQ(48, CountdownFontHeight(12345, 192));
}

TEST(RunChecks, SelectionAndSafeMinimums) {
    const int32_t standard[4] = {30, 30, 30, 60};
    const uint8_t none[4] = {0, 0, 0, 0};
    EXPECT_EQ(RUN_REFUSED_NO_STATE, CheckRunSettings(none, standard, false));
    EXPECT_EQ(RUN_REFUSED_NO_STATE, CheckRunSettings(none, standard, true));

    const uint8_t onlyS4[4] = {0, 0, 0, 1};
    const int32_t s4At59[4] = {30, 30, 30, 59};
    const int32_t s4At60[4] = {1, 1, 1, 60};  // light durations do not count without a light state
    EXPECT_EQ(RUN_REFUSED_SHORT_HIBERNATE, CheckRunSettings(onlyS4, s4At59, false));
    EXPECT_EQ(RUN_ALLOWED, CheckRunSettings(onlyS4, s4At60, false));

    const uint8_t onlyS1[4] = {1, 0, 0, 0};
    const int32_t s2Short[4] = {60, 20, 30, 60};
    EXPECT_EQ(RUN_REFUSED_SHORT_SLEEP, CheckRunSettings(onlyS1, s2Short, false));
    EXPECT_EQ(RUN_ALLOWED, CheckRunSettings(onlyS1, s2Short, true));
    EXPECT_EQ(RUN_ALLOWED, CheckRunSettings(onlyS4, s4At59, true));

    // The light-state message comes first; then the hibernation one.
    const uint8_t s1AndS4[4] = {1, 0, 0, 1};
    const int32_t s4At20[4] = {30, 30, 30, 20};
    EXPECT_EQ(RUN_REFUSED_SHORT_HIBERNATE, CheckRunSettings(s1AndS4, s4At20, false));
    EXPECT_EQ(RUN_REFUSED_SHORT_SLEEP, CheckRunSettings(s1AndS4, s2Short, false));
}

TEST(RunChecks, CountdownBeforeACycle) {
    // First cycle with a delay, never later ones.
    EXPECT_EQ(45, PreCycleCountdownSeconds(0, 45, false, 0, 3, 60));
    EXPECT_EQ(0, PreCycleCountdownSeconds(1, 45, false, 0, 3, 60));
    EXPECT_EQ(0, PreCycleCountdownSeconds(0, 0, false, 0, 3, 60));
    // A resumed run counts down the interval while the stored position is below the cycle count.
    EXPECT_EQ(60, PreCycleCountdownSeconds(2, 45, true, 2, 3, 60));
    EXPECT_EQ(0, PreCycleCountdownSeconds(2, 45, true, 3, 3, 60));
}

TEST(RunGrowth, DurationsGrowByTheGrowTimeEachCycle) {
    int32_t durations[4] = {30, 30, 30, 60};
    std::vector<std::vector<int32_t>> seen;
    for (int cycle = 0; cycle < 3; cycle++) {
        seen.push_back({durations[0], durations[1], durations[2], durations[3]});
        for (int state = SLEEP_S1; state <= SLEEP_S4; state++)
            durations[state] = GrowDuration(durations[state], 10, state);
    }
    EXPECT_EQ((std::vector<int32_t>{30, 30, 30, 60}), seen[0]);
    EXPECT_EQ((std::vector<int32_t>{40, 40, 40, 70}), seen[1]);
    EXPECT_EQ((std::vector<int32_t>{50, 50, 50, 80}), seen[2]);
}

TEST(RunGrowth, GrowthStopsAtThirtyDaysAndShrinkingAtTheSafeMinimum) {
    EXPECT_EQ(INT32_MAX - 5, GrowDuration(INT32_MAX - 5, 99999, SLEEP_S1));  // given longer: neither grown nor shortened
    EXPECT_EQ(LONGEST_SLEEP_SEC, GrowDuration(LONGEST_SLEEP_SEC - 5, 99999, SLEEP_S1));
    EXPECT_EQ(LONGEST_SLEEP_SEC, GrowDuration(LONGEST_SLEEP_SEC, 1, SLEEP_S4));
    EXPECT_EQ(40, GrowDuration(50, -10, SLEEP_S2));
    EXPECT_EQ(30, GrowDuration(35, -10, SLEEP_S3));
    EXPECT_EQ(60, GrowDuration(65, -10, SLEEP_S4));
    EXPECT_EQ(10, GrowDuration(10, -10, SLEEP_S1));  // already below: not shrunk further
    EXPECT_EQ(35, GrowDuration(35, 0, SLEEP_S1));
}

TEST(RunOnceData, PathIsQuotedAndACutPathRefused) {
    char out[64];
    const char* path = "C:\\Program Files\\Vesplin\\Vesplin.exe";
    DWORD length = (DWORD)strlen(path);
    ASSERT_TRUE(FormatRunOnceData(out, sizeof(out), path, length, 513));
    EXPECT_STREQ("\"C:\\Program Files\\Vesplin\\Vesplin.exe\"", out);

    EXPECT_FALSE(FormatRunOnceData(out, sizeof(out), path, 513, 513));  // filled the buffer: cut short
    EXPECT_STREQ("", out);
    EXPECT_FALSE(FormatRunOnceData(out, sizeof(out), path, 0, 513));
    char tiny[10];
    EXPECT_FALSE(FormatRunOnceData(tiny, sizeof(tiny), path, length, 513));
    EXPECT_STREQ("", tiny);
}
