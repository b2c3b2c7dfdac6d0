// The report of a long run: statistics over made-up record sets, failures
// grouped into kinds, what is kept between rebuilds, and the page bounded at
// a hundred thousand sleeps.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <algorithm>
#include <regex>
#include <string>
#include <vector>
#include <limits.h>
#include "portable/record_lines.h"
#include "results/report_page.h"
#include "results/results.h"

namespace {

// A sleep of the given state, verdict and times; phases only where given (>= 0).
SleepRecord Made(int cycle, int state, int verdict, int measured, int asleep = -1, int wakeMs = -1,
                 int firmwareMs = -1) {
    SleepRecord r = SleepOf(cycle, verdict);
    r.requestedState = r.enteredState = state;
    r.measuredSec = measured;
    if (asleep >= 0) {
        r.asleepSource = ASLEEP_FROM_STAMPS;
        r.asleepSec = asleep;
    }
    if (wakeMs >= 0 || firmwareMs >= 0) {
        r.phasesKnown = true;
        r.phases[PHASE_WAKE] = {wakeMs >= 0, wakeMs};
        r.phases[PHASE_FIRMWARE] = {firmwareMs >= 0, firmwareMs};
    }
    return r;
}

std::vector<ReportRow> RowsOf(const std::vector<SleepRecord>& records) {
    std::vector<ReportRow> rows;
    for (const SleepRecord& r : records) rows.push_back(RowOf(r, -1));
    return rows;
}

bool SameRow(const ReportRow& a, const ReportRow& b) {
    return a.cycle == b.cycle && a.requestedSec == b.requestedSec && a.measuredSec == b.measuredSec &&
           a.asleepSec == b.asleepSec && memcmp(a.phaseMs, b.phaseMs, sizeof(a.phaseMs)) == 0 &&
           a.drainMw == b.drainMw && a.wakeSource == b.wakeSource && a.verdict == b.verdict &&
           a.requestedState == b.requestedState && a.enteredState == b.enteredState &&
           a.lostReason == b.lostReason && a.flags == b.flags;
}

const StateStatistics* Of(const RunStatistics& s, int state) {
    for (const StateStatistics& one : s.states)
        if (one.state == state) return &one;
    return nullptr;
}

}  // namespace

TEST(RunStatistics, PercentilesByNearestRank) {
    const struct {
        std::vector<long long> values;
        Spread want;
    } cases[] = {
        {{}, {0, 0, 0, 0, 0}},
        {{7}, {1, 7, 7, 7, 7}},
        {{5, 1}, {2, 1, 1, 5, 5}},
        {{150, 100, 50, 102, 100}, {5, 50, 100, 150, 150}},
        {{-3, 0, 2147483647LL * 4}, {3, -3, 0, 2147483647LL * 4, 2147483647LL * 4}},
    };
    for (const auto& c : cases) {
        std::vector<long long> values = c.values;
        Spread got = SpreadOf(&values);
        EXPECT_EQ(c.want.count, got.count);
        EXPECT_EQ(c.want.min, got.min);
        EXPECT_EQ(c.want.median, got.median);
        EXPECT_EQ(c.want.p95, got.p95);
        EXPECT_EQ(c.want.max, got.max);
    }
    std::vector<long long> hundred;
    for (int i = 100; i >= 1; i--) hundred.push_back(i);
    Spread s = SpreadOf(&hundred);
    EXPECT_EQ(50, s.median);
    EXPECT_EQ(95, s.p95);
}

TEST(RunStatistics, MadeUpRunsOfEveryShape) {
    // No sleep at all.
    RunStatistics none = ComputeRunStatistics(nullptr, 0);
    EXPECT_TRUE(none.states.empty());
    EXPECT_EQ(0, none.all.sleeps);
    EXPECT_FALSE(none.trend.known);

    // One sleep, without phases or a time asleep: counts, but only the measured figure.
    std::vector<ReportRow> one = RowsOf({Made(1, SLEEP_S3, VERDICT_OK, 61)});
    RunStatistics single = ComputeRunStatistics(one.data(), 1);
    ASSERT_EQ(1u, single.states.size());
    EXPECT_EQ(1, single.states[0].sleeps);
    EXPECT_EQ(0, single.states[0].failed);
    EXPECT_EQ(1, single.states[0].spreads[STAT_MEASURED_PCT].count);
    EXPECT_EQ(102, single.states[0].spreads[STAT_MEASURED_PCT].median);  // 61 of 60, rounded
    EXPECT_EQ(0, single.states[0].spreads[STAT_ASLEEP].count);
    EXPECT_EQ(0, single.states[0].spreads[STAT_RESUME].count);
    EXPECT_EQ(1, single.all.sleeps);
    EXPECT_EQ(102, single.all.spreads[STAT_MEASURED_PCT].max);  // one state: the run's figures are its own

    // Every sleep failed, one of them lost with no time at all.
    std::vector<SleepRecord> failed = {Made(1, SLEEP_S3, VERDICT_NOT_SLEPT, 60, 0),
                                       Made(2, SLEEP_S3, VERDICT_TOO_SHORT, 30, 30),
                                       Made(3, SLEEP_S3, VERDICT_LOST, -1)};
    std::vector<ReportRow> failedRows = RowsOf(failed);
    RunStatistics allFailed = ComputeRunStatistics(failedRows.data(), 3);
    EXPECT_EQ(3, allFailed.all.failed);
    EXPECT_EQ(1, allFailed.all.verdicts[VERDICT_LOST]);
    EXPECT_EQ(2, allFailed.all.spreads[STAT_MEASURED_PCT].count);
    EXPECT_EQ(50, allFailed.all.spreads[STAT_MEASURED_PCT].min);
    EXPECT_EQ(2, allFailed.all.spreads[STAT_ASLEEP].count);
    EXPECT_EQ(0, allFailed.all.spreads[STAT_ASLEEP].min);

    // Two states, phases on some: each state its own, the whole run both; S1 before S4.
    std::vector<SleepRecord> mixed;
    for (int i = 1; i <= 20; i++) mixed.push_back(Made(i, i % 2 ? SLEEP_S4 : SLEEP_S1, VERDICT_OK, 60, 59, 1000 + i, 400));
    mixed.push_back(Made(21, SLEEP_S1, VERDICT_TOO_LONG, 90, 89));
    mixed[3].verdict = VERDICT_DEVICE_FAULT;
    std::vector<ReportRow> mixedRows = RowsOf(mixed);
    RunStatistics both = ComputeRunStatistics(mixedRows.data(), (int)mixedRows.size());
    ASSERT_EQ(2u, both.states.size());
    EXPECT_EQ(SLEEP_S1, both.states[0].state);
    const StateStatistics* s1 = Of(both, SLEEP_S1);
    const StateStatistics* s4 = Of(both, SLEEP_S4);
    ASSERT_TRUE(s1 && s4);
    EXPECT_EQ(11, s1->sleeps);
    EXPECT_EQ(2, s1->failed);
    EXPECT_EQ(10, s1->spreads[STAT_RESUME].count);  // the long sleep has no phases
    EXPECT_EQ(1002, s1->spreads[STAT_RESUME].min);
    EXPECT_EQ(1020, s1->spreads[STAT_RESUME].max);
    EXPECT_EQ(150, s1->spreads[STAT_MEASURED_PCT].max);
    EXPECT_EQ(10, s4->sleeps);
    EXPECT_EQ(1001, s4->spreads[STAT_RESUME].min);
    EXPECT_EQ(21, both.all.sleeps);
    EXPECT_EQ(20, both.all.spreads[STAT_RESUME].count);
    EXPECT_EQ(1001, both.all.spreads[STAT_RESUME].min);
    EXPECT_EQ(1020, both.all.spreads[STAT_RESUME].max);
    EXPECT_EQ(1010, both.all.spreads[STAT_RESUME].median);
    EXPECT_EQ(400, both.all.spreads[STAT_FIRMWARE].p95);
    EXPECT_EQ(0, both.all.spreads[STAT_HIBER_READ].count);
    // Trend: the first two resumes against the last two.
    ASSERT_TRUE(both.trend.known);
    EXPECT_EQ(1001, both.trend.firstMedianMs);
    EXPECT_EQ(1019, both.trend.lastMedianMs);
    EXPECT_EQ(1, both.trend.firstFrom);
    EXPECT_EQ(2, both.trend.firstTo);
    EXPECT_EQ(19, both.trend.lastFrom);
    EXPECT_EQ(20, both.trend.lastTo);
    // Nine resumes are too few for a trend.
    RunStatistics few = ComputeRunStatistics(mixedRows.data(), 9);
    EXPECT_FALSE(few.trend.known);

    std::string line = StatisticsLine(*s1);
    EXPECT_EQ(0u, line.find("S1: 11 sleeps, 2 not ok (18.1%); min/median/p95/max: measured 100/100/150/150% of requested"))
        << line;
    EXPECT_NE(std::string::npos, line.find("resume 1002/"));
    EXPECT_EQ(std::string::npos, line.find("file read"));  // a figure no sleep has
}

TEST(RunStatistics, FailRatesAndClosingLines) {
    const struct {
        int failed, sleeps;
        const char* rate;
    } rates[] = {{0, 0, "0%"},      {0, 10, "0%"},         {1, 1, "100%"},         {3, 200, "1.5%"},
                 {1, 3, "33.3%"},   {2, 3, "66.6%"},       {9999, 10000, "99.9%"}, {1, 2000, "0.05%"},
                 {1, 100000, "<0.01%"}, {1, 1000, "0.1%"}, {50, 100, "50%"}};
    for (const auto& r : rates) EXPECT_EQ(r.rate, FailRate(r.failed, r.sleeps)) << r.failed << " of " << r.sleeps;
    const struct {
        long long value;
        const char* text;
    } grouped[] = {{0, "0"}, {999, "999"}, {1000, "1,000"}, {1234567, "1,234,567"}, {-98765, "-98,765"}};
    for (const auto& c : grouped) EXPECT_EQ(c.text, Grouped(c.value));

    int counts[VERDICT_COUNT] = {};
    counts[VERDICT_OK] = 197;
    counts[VERDICT_TOO_SHORT] = 2;
    counts[VERDICT_LOST] = 1;
    EXPECT_EQ("Run finished: 200 sleeps, 197 ok, 2 short, 1 lost; exit code 2",
              RunClosingLine(RUN_END_COMPLETED, counts, true, 2));
    EXPECT_EQ("Run finished: 200 sleeps, 197 ok, 2 short, 1 lost", RunClosingLine(RUN_END_COMPLETED, counts, false, 2));
    int stopped[VERDICT_COUNT] = {};
    stopped[VERDICT_OK] = 37;
    EXPECT_EQ("Run stopped by a person after 37 sleeps: 37 ok; exit code 3",
              RunClosingLine(RUN_END_STOPPED, stopped, true, 3));
    int none[VERDICT_COUNT] = {};
    EXPECT_EQ("Run ended early after 0 sleeps", RunClosingLine(RUN_END_FAILED, none, false, 2));
    int oneSleep[VERDICT_COUNT] = {};
    oneSleep[VERDICT_REFUSED] = 1;
    EXPECT_EQ("Run finished: 1 sleep, 1 refused; exit code 2", RunClosingLine(RUN_END_COMPLETED, oneSleep, true, 2));
}

TEST(ReportDigest, FailuresAreGroupedIntoKinds) {
    std::vector<SleepRecord> records;
    for (int i = 1; i <= 12; i++) records.push_back(SleepOf(i, VERDICT_OK));
    auto set = [&](int cycle, int verdict) -> SleepRecord& {
        records[cycle - 1].verdict = verdict;
        return records[cycle - 1];
    };
    snprintf(set(2, VERDICT_TOO_SHORT).wakeSource, RECORD_TEXT_SIZE, "%s", "HID Keyboard");
    snprintf(set(5, VERDICT_TOO_SHORT).wakeSource, RECORD_TEXT_SIZE, "%s", "HID Keyboard");
    snprintf(set(6, VERDICT_TOO_SHORT).wakeSource, RECORD_TEXT_SIZE, "%s", "Power Button");
    SleepRecord& lost = set(7, VERDICT_LOST);
    lost.lostReason = LOST_CRASHED;
    snprintf(lost.bugcheck, sizeof(lost.bugcheck), "0x0000009F");
    set(9, VERDICT_LOST).lostReason = LOST_CRASHED;
    SleepRecord& wrong = set(10, VERDICT_WRONG_STATE);
    wrong.effectiveState = SLEEP_S4;
    // A device missing and with a problem in one sleep counts once; another device apart.
    for (int cycle : {3, 11}) {
        SleepRecord& d = set(cycle, VERDICT_DEVICE_FAULT);
        d.devices.known = true;
        d.devices.missing.push_back({"USB\\HUB", "USB Hub", "USB", 0});
        if (cycle == 11) d.devices.problems.push_back({"USB\\HUB", "USB Hub", "USB", 43});
        if (cycle == 11) d.devices.problems.push_back({"PCI\\AUDIO", "Audio", "Media", 10});
    }
    ReportDigest digest;
    DigestOf(records.data(), (int)records.size(), 0, &digest);
    ASSERT_EQ(1u, digest.runs.size());
    const RunDigest& run = digest.runs[0];
    struct Want {
        const char* what;
        int sleeps, firstCycle, lastCycle;
    };
    const Want want[] = {
        {"short, woken by HID Keyboard", 2, 2, 5}, {"USB Hub", 2, 3, 11},          {"crashed, bug check 0x0000009F", 1, 7, 7},
        {"short, woken by Power Button", 1, 6, 6}, {"crashed", 1, 9, 9},            {"wrong_state: asked S3, entered S4", 1, 10, 10},
        {"Audio", 1, 11, 11},
    };
    std::vector<KindCount> counts = CountFailureKinds(run);
    ASSERT_EQ(sizeof(want) / sizeof(want[0]), counts.size());
    std::vector<std::string> seen;
    for (const KindCount& c : counts) {
        const std::string& what = run.kinds[(size_t)c.kind].what;
        seen.push_back(what);
        const Want* w = nullptr;
        for (const Want& one : want)
            if (what == one.what) w = &one;
        ASSERT_TRUE(w) << what;
        EXPECT_EQ(w->sleeps, c.sleeps) << what;
        EXPECT_EQ(w->firstCycle, run.rows[(size_t)c.firstRow].cycle) << what;
        EXPECT_EQ(w->lastCycle, run.rows[(size_t)c.lastRow].cycle) << what;
    }
    EXPECT_EQ("short, woken by HID Keyboard", seen[0]);  // the most frequent first
    // The hub's ways of failing are both named under its one kind.
    for (const DigestKind& kind : run.kinds)
        if (kind.what == "USB Hub") {
            EXPECT_EQ((std::vector<std::string>{"missing"}), kind.happened);
        }

    // On the page the grouped failures come before everything else of the run, and link to the first row.
    ReportHeader header;
    memset(&header, 0, sizeof(header));
    std::string page;
    BuildRunReport(&header, "r.jsonl", digest, &page);
    size_t kinds = page.find("<h2>Failures by kind</h2>");
    ASSERT_NE(std::string::npos, kinds);
    for (const char* later : {"<h2>Statistics</h2>", "<h2>Time of every sleep", "<h2>Devices</h2>", "<h2>Every sleep</h2>"})
        EXPECT_LT(kinds, page.find(later)) << later;
    EXPECT_NE(std::string::npos, page.find("<a href=\"#s1-1\">2</a>"));
    EXPECT_NE(std::string::npos, page.find("<tr id=\"s1-1\" class=\"f\">"));
}

TEST(ReportDigest, KeptUpToDateRecordByRecordAsIfReadAgain) {
    // Two runs; the held last record of each completed later (ok to device_fault, a wake source added).
    std::vector<SleepRecord> final;
    ReportDigest live;
    ClearDigest(&live);
    for (int i = 1; i <= 2600; i++) {
        const char* run = i <= 2500 ? "20261207T101500Z-1a2b3c4d" : "20261208T101500Z-00000001";
        int cycle = i <= 2500 ? i : i - 2500;
        SleepRecord r = SleepOf(cycle, i % 7 == 0 ? VERDICT_TOO_SHORT : VERDICT_OK, "pc", run);
        AddToDigest(&live, r);
        if (i % 5 == 0) {
            r.verdict = VERDICT_DEVICE_FAULT;
            r.devices.known = true;
            r.devices.missing.push_back({"USB\\HUB", "USB Hub", "USB", 0});
            snprintf(r.wakeSource, sizeof(r.wakeSource), "%s", "RTC");
            ReplaceLastInDigest(&live, r);
        }
        final.push_back(r);
    }
    ReportDigest read;
    DigestOf(final.data(), (int)final.size(), 0, &read);
    ASSERT_EQ(2u, live.runs.size());
    ASSERT_EQ(read.runs.size(), live.runs.size());
    for (size_t run = 0; run < read.runs.size(); run++) {
        const RunDigest& a = live.runs[run];
        const RunDigest& b = read.runs[run];
        ASSERT_EQ(b.rows.size(), a.rows.size());
        for (size_t i = 0; i < a.rows.size(); i++) ASSERT_TRUE(SameRow(a.rows[i], b.rows[i])) << run << " row " << i;
        EXPECT_EQ(ListedRows(b), ListedRows(a));
        EXPECT_EQ(b.deviceFaults.size(), a.deviceFaults.size());
        std::vector<KindCount> ka = CountFailureKinds(a), kb = CountFailureKinds(b);
        ASSERT_EQ(kb.size(), ka.size());
        for (size_t k = 0; k < ka.size(); k++) {
            EXPECT_EQ(b.kinds[(size_t)kb[k].kind].what, a.kinds[(size_t)ka[k].kind].what);
            EXPECT_EQ(kb[k].sleeps, ka[k].sleeps);
            EXPECT_EQ(kb[k].firstRow, ka[k].firstRow);
        }
        for (int row : ListedRows(a)) {
            const SleepRecord* r = KeptRecordOf(a, row);
            ASSERT_TRUE(r) << row;
            EXPECT_EQ(b.rows[(size_t)row].verdict, r->verdict);
        }
    }
    EXPECT_STREQ("pc", live.runs[1].computer);
    // The page and the JUnit file of the kept digest are those of the records.
    ReportHeader header;
    memset(&header, 0, sizeof(header));
    std::string fromLive, fromRecords, junitLive, junitRecords;
    BuildRunReport(&header, "r.jsonl", live, &fromLive);
    BuildRunReport(&header, "r.jsonl", final.data(), (int)final.size(), 0, &fromRecords);
    EXPECT_TRUE(fromLive == fromRecords);
    BuildJUnitReport(&header, live, &junitLive);
    BuildJUnitReport(&header, final.data(), (int)final.size(), &junitRecords);
    EXPECT_TRUE(junitLive == junitRecords);
}

TEST(ReportDigest, AFileIsReadOnceALineAtATime) {
    std::string text = Format(SleepOf(1, VERDICT_OK)) + "\r\n" + "not a record\n" + "\n   \n" +
                       std::string(RESULT_LINE_SIZE + 70000, 'x') + "\n" + Format(SleepOf(2, VERDICT_TOO_SHORT)) +
                       Format(SleepOf(3, VERDICT_OK)).substr(0, 40);  // a last line cut by a power loss
    char path[] = "digest_test_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    FILE* file = fdopen(fd, "wb");
    ASSERT_TRUE(file);
    fwrite(text.data(), 1, text.size(), file);
    fclose(file);
    ReportDigest digest;
    EXPECT_EQ(0, ReadResultsDigest(path, &digest));
    std::vector<SleepRecord> records;
    int bad = 0;
    ReadResultsText(text.data(), text.size(), &records, &bad);
    EXPECT_EQ(3, bad);
    EXPECT_EQ(bad, digest.badLines);
    ASSERT_EQ(1u, digest.runs.size());
    ASSERT_EQ(2u, digest.runs[0].rows.size());
    EXPECT_EQ(2, digest.runs[0].rows[1].cycle);
    EXPECT_EQ(VERDICT_TOO_SHORT, digest.runs[0].rows[1].verdict);
    std::vector<SleepRecord> fromFile;
    EXPECT_EQ(0, ReadResultsFile(path, &fromFile, &bad));
    EXPECT_EQ(2u, fromFile.size());
    EXPECT_EQ(3, bad);
    remove(path);
    EXPECT_NE(0, ReadResultsDigest(path, &digest));
    EXPECT_TRUE(digest.runs.empty());
}

TEST(ReportDigest, ALongRunListsItsFirstAndLastFailuresAndItsLastSleeps) {
    const struct {
        int sleeps;
        int failEvery;  // 0: none fail
        size_t listed;
    } cases[] = {
        {2000, 1, 2000},  // every sleep up to the limit
        {2001, 0, 500},   // then only the last ones when nothing failed
        {2001, 1, 2000},  // first and last thousand failures, the last 500 among them
        {10000, 3, 2000 + 500 - 167},  // 3,333 failures: the last 500 hold 167 of the last thousand
        {10000, 5000, 501},            // two failures, the second among the last 500
    };
    for (const auto& c : cases) {
        ReportDigest digest;
        ClearDigest(&digest);
        for (int i = 1; i <= c.sleeps; i++)
            AddToDigest(&digest, SleepOf(i, c.failEvery && i % c.failEvery == 0 ? VERDICT_LOST : VERDICT_OK));
        const RunDigest& run = digest.runs[0];
        std::vector<int> listed = ListedRows(run);
        EXPECT_EQ(c.listed, listed.size()) << c.sleeps << " every " << c.failEvery;
        EXPECT_TRUE(std::is_sorted(listed.begin(), listed.end()));
        for (int row : listed) EXPECT_TRUE(KeptRecordOf(run, row)) << row;
        EXPECT_EQ(c.sleeps - 1, listed.back());
        // Bounded whatever the run: far fewer records kept than sleeps.
        EXPECT_LE(run.recent.size() + run.firstFailed.size() + run.lastFailed.size(), 2u * 2500 + 500);
    }
}

namespace {

// A hundred thousand sleeps of a month's run, straight into a digest: mixed
// (one in ten failing in turn, with phases, battery and a device now and
// then) or every one failed.
void MonthOfSleeps(bool allFailed, ReportDigest* digest) {
    ClearDigest(digest);
    const int failing[] = {VERDICT_TOO_SHORT, VERDICT_TOO_LONG, VERDICT_NOT_SLEPT, VERDICT_REFUSED, VERDICT_LOST,
                           VERDICT_WRONG_STATE, VERDICT_DEVICE_FAULT};
    int faults = 0;
    for (int i = 1; i <= 100000; i++) {
        SleepRecord r = SleepOf(i, VERDICT_OK, "lab-pc-17", "20261207T101500Z-1a2b3c4d");
        if (allFailed || i % 10 == 0) r.verdict = failing[(i / 10) % 7];
        r.asleepSource = ASLEEP_FROM_STAMPS;
        r.asleepSec = r.verdict == VERDICT_NOT_SLEPT ? 0 : 59;
        r.phasesKnown = r.verdict != VERDICT_LOST;
        r.phases[PHASE_WAKE] = {true, 2000 + i % 500};
        r.phases[PHASE_FIRMWARE] = {true, 500};
        r.phases[PHASE_DRIVERS] = {true, 1200 + i % 300};
        r.battery = {true, false, {true, 41000}, {true, 40990}, {true, 300 + i % 50}};
        snprintf(r.wakeSource, sizeof(r.wakeSource), "Source %d", i % 300);  // more sources than the page lists
        if (r.verdict == VERDICT_DEVICE_FAULT) {
            r.devices.known = true;
            int device = faults++ % 150;
            r.devices.missing.push_back({"USB\\DEVICE_" + std::to_string(device), "Device " + std::to_string(device),
                                         "USB", 0});
        }
        AddToDigest(digest, r);
    }
}

}  // namespace

TEST(RunReport, AMonthOfSleepsStaysUnderThreeMegabytes) {
    for (bool allFailed : {false, true}) {
        ReportDigest digest;
        MonthOfSleeps(allFailed, &digest);
        ReportHeader header;
        memset(&header, 0, sizeof(header));
        std::string page;
        BuildRunReport(&header, "r.jsonl", digest, &page);
        const RunDigest& run = digest.runs[0];
        SCOPED_TRACE(allFailed ? "every sleep failed" : "mixed");
        EXPECT_LE(page.size(), 3u * 1024 * 1024);
        // A column of the time chart for each bucket; the resume and battery charts as many.
        EXPECT_EQ(REPORT_BUCKETS, Count(page, "<rect class=\"v-"));
        EXPECT_EQ(REPORT_BUCKETS, Count(page, "<rect class=\"bd\""));
        EXPECT_EQ(REPORT_BUCKETS, Count(page, "<g><title>Cycles "));
        // The table: as many rows as listed, and lines for what is folded between them.
        std::vector<int> listed = ListedRows(run);
        std::regex row("<tr( id=\"s1-[0-9]+\")?( class=\"[fy]\")?><td>[0-9]+<td>");
        EXPECT_EQ((long long)listed.size(),
                  std::distance(std::sregex_iterator(page.begin(), page.end(), row), std::sregex_iterator()));
        int gaps = 0;
        for (size_t i = 0; i < listed.size(); i++) gaps += listed[i] > (i ? listed[i - 1] + 1 : 0);
        EXPECT_EQ(gaps, Count(page, "<tr class=\"fold\">"));
        EXPECT_GE(gaps, 1);
        // Grouping tables bounded too.
        EXPECT_NE(std::string::npos, page.find("more wake sources"));
        EXPECT_NE(std::string::npos, page.find("more devices"));
        EXPECT_NE(std::string::npos, page.find("<h2>Sleeps: "));
        if (allFailed) {
            EXPECT_EQ(2000u, listed.size());
        } else {
            EXPECT_EQ(2000u + 500 - 50, listed.size());  // the last 500 sleeps hold 50 of the last failures
        }
    }
}

TEST(RunReport, NumbersAndCoordinatesAsThePageWritesThem) {
    const struct {
        double value;
        const char* text;
    } coords[] = {{0, " x=\"0\""},         {12, " x=\"12\""},       {12.04, " x=\"12\""},  {12.06, " x=\"12.1\""},
                  {0.5, " x=\"0.5\""},     {-0.04, " x=\"0\""},     {-3.26, " x=\"-3.3\""}, {999.96, " x=\"1000\""},
                  {1e300, " x=\"100000000000000\""}};
    for (const auto& c : coords) {
        std::string out;
        report::Page page;
        page.out = &out;
        page.used = 0;
        report::Coord(&page, "x", c.value);
        report::FlushPage(&page);
        EXPECT_EQ(c.text, out) << c.value;
    }
    const long long numbers[] = {0, 7, -42, 1234567890123LL, LLONG_MIN, LLONG_MAX};
    for (long long n : numbers) {
        std::string out;
        report::Page page;
        page.out = &out;
        page.used = 0;
        report::Number(&page, n);
        report::FlushPage(&page);
        EXPECT_EQ(std::to_string(n), out);
    }
}
