// The rules: judging a sleep, planning a state, the countdowns and durations
// of a run, and the run's exit code.
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include "core/core.h"

LevelColours GetLevelColours(int level) {
    switch (level) {
    case LOG_STATUS: return {0x00E100, 0xFFFFFF};
    case LOG_ERROR: return {0xC83232, 0xFFFFFF};
    case LOG_INFO: return {0x0570A7, 0xFFFFFF};
    case LOG_WARNING: return {0xFFFF00, 0x000000};
    case LOG_DEBUG: return {0x00FFFF, 0x000000};
    default: return {0xFFFFFF, 0x000000};
    }
}

const char SHORT_SLEEP_TEXT[] =
    "To avoid deadlock, the Sleep Duration cannot be less than 30 seconds in modes S1 - S3.\n"
    "Please change this in the configuration options";
const char SHORT_HIBERNATE_TEXT[] =
    "To avoid deadlock, the Sleep Duration cannot be less than 60 seconds in Hibernate mode or a "
    "Cycle mode which includes hibernation.\nPlease change this in the configuration options.";
const char SHORT_DURATION_CAPTION[] = "Warning";

int SafeMinimumSec(int state) { return state == SLEEP_S4 ? SAFE_HIBERNATE_MIN_SEC : SAFE_SLEEP_MIN_SEC; }

bool IsDurationInLimits(int state, long long sec) { return sec >= SafeMinimumSec(state) && sec <= LONGEST_SLEEP_SEC; }

int SleepToleranceSec(int state) { return state == SLEEP_S4 ? 45 : 15; }

int JudgeSleepTime(int state, int durationSec, int measuredSec, bool sleepForever) {
    long long tolerance = SleepToleranceSec(state);
    long long low = (long long)durationSec - tolerance;
    long long high = (long long)durationSec + tolerance;
    if (measuredSec >= low && measuredSec <= high) return VERDICT_OK;
    if (sleepForever) return VERDICT_OK;  // the user chose when to wake
    if (measuredSec > high) return VERDICT_TOO_LONG;
    return VERDICT_TOO_SHORT;
}

bool MachineDidNotSleep(int asleepSec, int measuredSec) {
    // No measurable time asleep is no sleep, even when nothing was waited for
    // (a manual wake whose suspend call returned at once).
    return asleepSec <= 0 || (long long)asleepSec * 2 < (long long)measuredSec;
}

static void AddPlanLine(StatePlan* plan, const char* format, int a, int b = 0) {
    if (plan->lineCount >= FALLBACK_MAX_LINES) return;
    snprintf(plan->lines[plan->lineCount], FALLBACK_LINE_SIZE, format, a, b);
    plan->lineCount++;
}

static bool InMask(int mask, int state) { return (mask >> state) & 1; }

void PlanStateAttempt(int requested, int supportedMask, int fallbackMode, const int32_t durations[4],
                      StatePlan* plan) {
    memset(plan, 0, sizeof(*plan));
    plan->target = requested;
    if (requested < SLEEP_S1 || requested > SLEEP_S4) {
        plan->skip = 1;  // no such state: nothing to try
        return;
    }
    if (InMask(supportedMask, requested)) return;

    AddPlanLine(plan, "Requested sleep state S%d is not supported on this machine", requested + 1);
    int number = requested + 1;
    switch (fallbackMode) {
    case FALLBACK_SKIP:
        AddPlanLine(plan, "Skipping sleep state attempt S%d", number);
        plan->skip = 1;
        return;
    case FALLBACK_FORCE:
        AddPlanLine(plan, "Forcing attempt S%d", number);
        plan->force = 1;
        return;
    case FALLBACK_DEEPER:
        if (requested == SLEEP_S4) {
            AddPlanLine(plan, "Skipping sleep state attempt S%d as we cannot go deeper", SLEEP_S4 + 1);
            plan->skip = 1;
            return;
        }
        for (int candidate = requested + 1; candidate <= SLEEP_S4; candidate++) {
            if (InMask(supportedMask, candidate)) {
                AddPlanLine(plan, "Attempting deeper Sleep S%d, Duration %d secs", candidate + 1, durations[candidate]);
                plan->target = candidate;
                return;
            }
            if (candidate < SLEEP_S4) {
                AddPlanLine(plan, "Attempting deeper Sleep S%d not supported", candidate + 1);
            } else {
                AddPlanLine(plan, "Attempting deeper Sleep S%d not supported, skipping", candidate + 1);
            }
        }
        plan->skip = 1;
        return;
    default:  // FALLBACK_LIGHTER and every unknown value
        if (requested == SLEEP_S1) {
            AddPlanLine(plan, "Skipping sleep state attempt S%d as we cannot go lighter", SLEEP_S1 + 1);
            plan->skip = 1;
            return;
        }
        for (int candidate = requested - 1; candidate >= SLEEP_S1; candidate--) {
            if (InMask(supportedMask, candidate)) {
                AddPlanLine(plan, "Attempting lighter Sleep S%d, Duration %d secs", candidate + 1,
                            durations[candidate]);
                plan->target = candidate;
                return;
            }
            if (candidate > SLEEP_S1) {
                AddPlanLine(plan, "Attempting lighter Sleep S%d not supported", candidate + 1);
            } else {
                AddPlanLine(plan, "Attempting lighter Sleep S%d not supported, skipping", candidate + 1);
            }
        }
        plan->skip = 1;
        return;
    }
}

int BuildStateList(const uint8_t selectedStates[4], int list[4]) {
    int count = 0;
    for (int state = SLEEP_S1; state <= SLEEP_S4; state++) {
        if (selectedStates[state]) list[count++] = state;
    }
    return count;
}

int CycleStartPosition(bool resume, int nextStatePos) {
    if (!resume) return 0;
    // The position comes from a file left by an earlier instance: never trust it below 0.
    return nextStatePos < 0 ? 0 : nextStatePos;
}

int CountdownSecondsLeft(int seconds, long long counter, int ticksPerSecond) {
    if (ticksPerSecond <= 0) ticksPerSecond = 1;
    return (int)(seconds - counter / ticksPerSecond);
}

int PlanFallback(int requested, int target, int force) {
    if (force) return FALLBACK_FORCE;
    if (target < requested) return FALLBACK_LIGHTER;
    if (target > requested) return FALLBACK_DEEPER;
    return FALLBACK_NONE;
}

int CheckRunSettings(const uint8_t selection[4], const int32_t durations[4], bool sleepForever) {
    if (!selection[0] && !selection[1] && !selection[2] && !selection[3]) return RUN_REFUSED_NO_STATE;
    if (sleepForever) return RUN_ALLOWED;
    // All three light-sleep durations count, selected or not.
    if ((selection[0] || selection[1] || selection[2]) &&
        (durations[0] < SafeMinimumSec(SLEEP_S1) || durations[1] < SafeMinimumSec(SLEEP_S2) ||
         durations[2] < SafeMinimumSec(SLEEP_S3)))
        return RUN_REFUSED_SHORT_SLEEP;
    if (selection[3] && durations[3] < SafeMinimumSec(SLEEP_S4)) return RUN_REFUSED_SHORT_HIBERNATE;
    return RUN_ALLOWED;
}

int PreCycleCountdownSeconds(int cycleIndex, int firstSleepDelaySec, bool resumeFirst, int nextStatePos,
                             int cycleCount, int intervalSec) {
    if (cycleIndex == 0 && firstSleepDelaySec > 0 && !resumeFirst) return firstSleepDelaySec;
    if (resumeFirst && nextStatePos < cycleCount) return intervalSec;
    return 0;
}

int32_t GrowDuration(int32_t duration, int growSeconds, int state) {
    long long grown = (long long)duration + growSeconds;
    // Growth stops at the longest sleep; a longer duration given is not shortened.
    if (growSeconds > 0 && grown > LONGEST_SLEEP_SEC) grown = duration > LONGEST_SLEEP_SEC ? duration : LONGEST_SLEEP_SEC;
    if (growSeconds < 0) {
        // A negative grow time must not lead the run below the minimum that
        // keeps a sleep safe, nor to a wake time in the past.
        long long minimum = SafeMinimumSec(state);
        if (minimum > duration) minimum = duration;
        if (grown < minimum) grown = minimum;
    }
    return (int32_t)grown;
}

void CountSleep(RunTally* tally, int verdict) {
    tally->sleeps++;
    if (verdict != VERDICT_OK) tally->failed++;
}

int RunExitCode(const RunTally* tally, int runEnd) {
    if (runEnd == RUN_END_NOT_STARTED) return EXIT_RUN_NOT_STARTED;
    if (tally->failed > 0 || tally->recordsLost > 0) return EXIT_SLEEP_FAILED;
    if (runEnd == RUN_END_STOPPED) return EXIT_RUN_STOPPED;
    if (tally->sleeps == 0 || runEnd != RUN_END_COMPLETED) return EXIT_SLEEP_FAILED;
    return 0;
}

int NextFailureStreak(int streak, int verdict) {
    if (verdict == VERDICT_OK) return 0;
    // A streak read back from a file is never trusted below 0, nor let past the int range.
    if (streak < 0) streak = 0;
    return streak == INT_MAX ? streak : streak + 1;
}

bool IsFailureLimitReached(int streak, int maxFailures) { return maxFailures > 0 && streak >= maxFailures; }
