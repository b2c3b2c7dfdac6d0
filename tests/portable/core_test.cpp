// The vocabulary of the lowest layer: ids both ways, times, UTF-8 copies.
#include <gtest/gtest.h>
#include <string.h>
#include "core/core.h"

TEST(Core, EveryIdReadsBackAsItsValueAndStrangersAreNone) {
    struct Family {
        const char* (*id)(int);
        int (*value)(const char*);
        int first, last;
    } families[] = {
        {[](int v) { return StateId(v) ? StateId(v) : ""; }, StateFromId, SLEEP_S1, SLEEP_S4},
        {VerdictId, VerdictFromId, VERDICT_OK, VERDICT_COUNT - 1},
        {RefusedReasonId, RefusedReasonFromId, REFUSED_MARKER_NOT_WRITTEN, REFUSED_COUNT - 1},
        {LostReasonId, LostReasonFromId, LOST_UNKNOWN, LOST_COUNT - 1},
        {AsleepSourceId, AsleepSourceFromId, ASLEEP_FROM_STAMPS, ASLEEP_COUNT - 1},
        {FallbackId, FallbackFromId, FALLBACK_LIGHTER, FALLBACK_FORCE},
    };
    for (const Family& f : families) {
        for (int v = f.first; v <= f.last; v++) {
            ASSERT_STRNE("", f.id(v)) << v;
            EXPECT_EQ(v, f.value(f.id(v))) << f.id(v);
        }
        EXPECT_EQ(-1, f.value("")) << f.id(f.first);
        EXPECT_EQ(-1, f.value(nullptr));
        EXPECT_EQ(-1, f.value("OK")) << "ids are matched exactly";
    }
    EXPECT_EQ(nullptr, StateId(4));
    EXPECT_STREQ("", VerdictId(VERDICT_COUNT));
    EXPECT_STREQ("", LostReasonId(LOST_NONE));
    EXPECT_STREQ("unknown", LostReasonId(LOST_COUNT)) << "an unknown reason is no reason known";
    EXPECT_STREQ("", FallbackId(FALLBACK_NONE));
    EXPECT_STREQ("", FallbackId(FALLBACK_SKIP)) << "a skipped state has no record";

    // Every kind of member scribbled on, then cleared.
    SleepRecord record;
    record.requestedState = record.effectiveState = record.requestedSec = 0x5A5A5A5A;
    memset(record.wakeSource, 0x5A, sizeof(record.wakeSource));
    record.phases[PHASE_WAKE] = {true, 0x5A};
    record.devices.known = true;
    record.devices.missing.push_back({"id", "name", "class", 0});
    record.battery.known = true;
    ClearSleepRecord(&record);
    EXPECT_STREQ("", record.wakeSource);
    EXPECT_FALSE(record.phases[PHASE_WAKE].known);
    EXPECT_FALSE(record.devices.known);
    EXPECT_TRUE(record.devices.missing.empty());
    EXPECT_FALSE(record.battery.known);
    EXPECT_EQ(-1, record.requestedState);
    EXPECT_EQ(-1, record.effectiveState);
    EXPECT_EQ(-1, record.requestedSec);
    EXPECT_EQ(FALLBACK_NONE, record.fallback);
    EXPECT_EQ(LOST_NONE, record.lostReason);
    EXPECT_FALSE(record.phasesKnown);
    EXPECT_STREQ("", record.wakeSource);
}

TEST(Core, UtcTimesBothWays) {
    const struct {
        const char* text;
        bool valid;
        const char* formatted;  // as FormatUtcTime writes it back
    } cases[] = {
        {"2026-12-07T12:44:54Z", true, "2026-12-07T12:44:54Z"},
        {"2026-12-01T02:14:07.1234567Z", true, "2026-12-01T02:14:07Z"},
        {"2024-02-29T23:59:59.5Z", true, "2024-02-29T23:59:59Z"},
        {"1970-01-01T00:00:00Z", true, "1970-01-01T00:00:00Z"},
        {"1601-01-01T00:00:01Z", true, "1601-01-01T00:00:01Z"},
        {"2000-03-01T00:00:00Z", true, "2000-03-01T00:00:00Z"},
        {"2023-02-29T00:00:00Z", false, nullptr},
        {"2026-13-01T00:00:00Z", false, nullptr},
        {"2026-12-07T24:00:00Z", false, nullptr},
        {"2026-12-07T12:44:54", false, nullptr},
        {"2026-12-07T12:44:54Z ", false, nullptr},
        {"2026-12-07 12:44:54Z", false, nullptr},
        {"2026-12-07T12:44:54.Z", false, nullptr},
        {"1600-12-31T23:59:59Z", false, nullptr},
        {"", false, nullptr},
    };
    for (const auto& c : cases) {
        long long fileTime = -7;
        EXPECT_EQ(c.valid, ParseUtcTime(c.text, &fileTime)) << c.text;
        if (!c.valid) continue;
        char out[32];
        FormatUtcTime(fileTime, out, sizeof(out));
        EXPECT_STREQ(c.formatted, out) << c.text;
    }
    long long epoch = 0;
    ASSERT_TRUE(ParseUtcTime("1970-01-01T00:00:00Z", &epoch));
    EXPECT_EQ(FILETIME_UNIX_EPOCH, epoch);
    EXPECT_EQ(0, UnixSecondsFromFileTime(FileTimeFromUnixSeconds(0)));
    EXPECT_EQ(1765111494LL, UnixSecondsFromFileTime(FileTimeFromUnixSeconds(1765111494LL)));
    char out[32] = "x";
    FormatUtcTime(0, out, sizeof(out));
    EXPECT_STREQ("", out);
    FormatUtcTime(-5, out, sizeof(out));
    EXPECT_STREQ("", out);
    EXPECT_EQ(3, MeasuredSeconds(0, 25000000));   // 2.5 s rounds up
    EXPECT_EQ(-3, MeasuredSeconds(25000000, 0));
}

TEST(Core, Utf8CopiesCutBetweenCharactersAndMarkBadBytes) {
    const struct {
        const char* text;
        size_t size;
        const char* expected;
    } cases[] = {
        {"Lid \xE2\x82\xAC 1", 64, "Lid \xE2\x82\xAC 1"},
        {"Lid \xE2\x82\xAC 1", 7, "Lid "},          // the euro sign does not fit whole
        {"Lid \xE2\x82\xAC 1", 8, "Lid \xE2\x82\xAC"},
        {"\xCE\xA9", 3, "\xCE\xA9"},
        {"\xCE\xA9", 2, ""},
        {"caf\xE9", 16, "caf?"},                    // a Latin-1 byte is no UTF-8
        {"\xC0\xAF", 16, "??"},                     // an overlong form
        {"\xED\xA0\x80", 16, "???"},                // a lone surrogate
        {"\xF0\x9F\x98\x80!", 16, "\xF0\x9F\x98\x80!"},
        {"\xE2\x82", 16, "??"},                     // cut inside a character
        {"", 1, ""},
    };
    for (const auto& c : cases) {
        char out[64];
        memset(out, 'z', sizeof(out));
        CopyUtf8(out, c.size, c.text);
        EXPECT_STREQ(c.expected, out) << c.text << " in " << c.size;
        EXPECT_LT(strlen(out), c.size);
    }
}

TEST(Core, LevelColoursAreTheLogPanels) {
    EXPECT_EQ(0x00E100u, GetLevelColours(LOG_STATUS).back);
    EXPECT_EQ(0xC83232u, GetLevelColours(LOG_ERROR).back);
    EXPECT_EQ(0x000000u, GetLevelColours(LOG_WARNING).text);
    EXPECT_EQ(0xFFFFFFu, GetLevelColours(77).back);
}

TEST(Core, DurationLimitsOfEachState) {
    const struct {
        int state;
        long long sec;
        bool in;
    } cases[] = {
        {SLEEP_S1, 29, false},        {SLEEP_S1, 30, true},          {SLEEP_S3, 1, false},
        {SLEEP_S4, 59, false},        {SLEEP_S4, 60, true},          {SLEEP_S2, LONGEST_SLEEP_SEC, true},
        {SLEEP_S2, LONGEST_SLEEP_SEC + 1LL, false}, {SLEEP_S4, 2147483647LL, false}, {SLEEP_S1, -30, false},
    };
    for (const auto& c : cases) EXPECT_EQ(c.in, IsDurationInLimits(c.state, c.sec)) << c.state << " " << c.sec;
}

TEST(Core, FailureStreakGrowsWithEveryVerdictButOkAndEndsAtItsLimit) {
    const struct {
        int streak, verdict, next;
    } steps[] = {
        {0, VERDICT_OK, 0},          {4, VERDICT_OK, 0},           {0, VERDICT_TOO_SHORT, 1},
        {1, VERDICT_TOO_LONG, 2},    {2, VERDICT_NOT_SLEPT, 3},    {3, VERDICT_REFUSED, 4},
        {4, VERDICT_LOST, 5},        {5, VERDICT_WRONG_STATE, 6},  {6, VERDICT_DEVICE_FAULT, 7},
        {0, -1, 1},                  {0, VERDICT_COUNT, 1},        // no verdict known is no pass
        {-3, VERDICT_LOST, 1},       {-3, VERDICT_OK, 0},          // a damaged streak starts again
        {2147483647, VERDICT_LOST, 2147483647},
    };
    for (const auto& s : steps) {
        EXPECT_EQ(s.next, NextFailureStreak(s.streak, s.verdict)) << s.streak << " then verdict " << s.verdict;
    }
    const struct {
        int streak, limit;
        bool reached;
    } limits[] = {
        {0, 0, false}, {1000, 0, false}, {2, 3, false}, {3, 3, true}, {4, 3, true},
        {0, 1, false}, {1, 1, true},     {5, -1, false}, {MAX_FAILURES_LIMIT, MAX_FAILURES_LIMIT, true},
    };
    for (const auto& l : limits) {
        EXPECT_EQ(l.reached, IsFailureLimitReached(l.streak, l.limit)) << l.streak << " of " << l.limit;
    }
}
