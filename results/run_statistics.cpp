// Statistics of a run from the report's rows: counts and fail rate per state,
// the spread of the times of its sleeps and whether resumes drifted; and the
// lines that close a run's log.
#include <stdio.h>
#include <algorithm>
#include <string>
#include <vector>
#include "results/results.h"

namespace {

// How each figure is named on the page and in the log, and its unit.
const struct {
    const char* title;
    const char* logName;
    const char* unit;
} STATS[STAT_COUNT] = {
    {"Measured, % of requested", "measured", "% of requested"},
    {"Asleep, s", "asleep", " s"},
    {"Whole resume, ms", "resume", " ms"},
    {"Firmware, ms", "firmware", " ms"},
    {"Drivers, ms", "drivers", " ms"},
    {"Hibernation file write, ms", "file write", " ms"},
    {"Hibernation file read, ms", "file read", " ms"},
};

// The value of a figure for a row; false when the row has none.
bool StatValue(const ReportRow& r, int stat, long long* value) {
    switch (stat) {
    case STAT_MEASURED_PCT:
        if (r.requestedSec <= 0 || r.measuredSec < 0) return false;
        *value = ((long long)r.measuredSec * 100 + r.requestedSec / 2) / r.requestedSec;
        return true;
    case STAT_ASLEEP:
        *value = r.asleepSec;
        return r.asleepSec >= 0;
    default: {
        const int phases[] = {ROW_WAKE, ROW_FIRMWARE, ROW_DRIVERS, ROW_HIBER_WRITE, ROW_HIBER_READ};
        *value = r.phaseMs[phases[stat - STAT_RESUME]];
        return *value >= 0;
    }
    }
}

// The n-th smallest of values by nearest rank (1-based).
long long Ranked(std::vector<long long>* values, size_t rank) {
    auto nth = values->begin() + (ptrdiff_t)(rank - 1);
    std::nth_element(values->begin(), nth, values->end());
    return *nth;
}

// The nearest rank of a percentile of n values.
size_t Rank(size_t n, int percent) { return (n * (size_t)percent + 99) / 100; }

struct Gathered {
    StateStatistics statistics;
    std::vector<long long> values[STAT_COUNT];
};

void StartStatistics(StateStatistics* s, int state) {
    *s = StateStatistics();
    s->state = state;
}

void Finish(Gathered* g) {
    for (int stat = 0; stat < STAT_COUNT; stat++) g->statistics.spreads[stat] = SpreadOf(&g->values[stat]);
}

long long Median(std::vector<long long> values) { return SpreadOf(&values).median; }

}  // namespace

const char* const STAT_NAMES[STAT_COUNT] = {STATS[0].title, STATS[1].title, STATS[2].title, STATS[3].title,
                                            STATS[4].title, STATS[5].title, STATS[6].title};

Spread SpreadOf(std::vector<long long>* values) {
    Spread spread = {0, 0, 0, 0, 0};
    size_t n = values->size();
    if (n == 0) return spread;
    spread.count = (int)n;
    auto range = std::minmax_element(values->begin(), values->end());
    spread.min = *range.first;
    spread.max = *range.second;
    size_t p95 = Rank(n, 95), median = Rank(n, 50);
    spread.p95 = Ranked(values, p95);
    // The values left of the 95th are the smaller ones: the median is among them.
    auto nth = values->begin() + (ptrdiff_t)(median - 1);
    std::nth_element(values->begin(), nth, values->begin() + (ptrdiff_t)p95);
    spread.median = *nth;
    return spread;
}

RunStatistics ComputeRunStatistics(const ReportRow* rows, int count) {
    RunStatistics result;
    const int UNKNOWN = 4;  // the slot of a state this build does not know
    std::vector<Gathered> byState(5);
    Gathered all;
    for (int s = 0; s < 5; s++) StartStatistics(&byState[s].statistics, s == UNKNOWN ? -1 : s);
    StartStatistics(&all.statistics, -2);
    int statesSeen = 0;
    for (int i = 0; i < count; i++) {
        const ReportRow& r = rows[i];
        int slot = r.requestedState >= 0 && r.requestedState < 4 ? r.requestedState : UNKNOWN;
        Gathered& g = byState[slot];
        if (g.statistics.sleeps++ == 0) statesSeen++;
        int verdict = r.verdict >= 0 && r.verdict < VERDICT_COUNT ? r.verdict : (int)VERDICT_COUNT;
        g.statistics.verdicts[verdict]++;
        if (verdict != VERDICT_OK) g.statistics.failed++;
        for (int stat = 0; stat < STAT_COUNT; stat++) {
            long long value;
            if (StatValue(r, stat, &value)) g.values[stat].push_back(value);
        }
    }
    for (int s = 0; s < 5; s++) {
        Gathered& g = byState[s];
        if (g.statistics.sleeps == 0) continue;
        StateStatistics& a = all.statistics;
        a.sleeps += g.statistics.sleeps;
        a.failed += g.statistics.failed;
        for (int v = 0; v <= VERDICT_COUNT; v++) a.verdicts[v] += g.statistics.verdicts[v];
        // The whole run's spread is a state's own when it has one state.
        if (statesSeen > 1)
            for (int stat = 0; stat < STAT_COUNT; stat++)
                all.values[stat].insert(all.values[stat].end(), g.values[stat].begin(), g.values[stat].end());
        Finish(&g);
        result.states.push_back(g.statistics);
    }
    if (statesSeen > 1) {
        Finish(&all);
    } else if (statesSeen == 1) {
        for (int stat = 0; stat < STAT_COUNT; stat++) all.statistics.spreads[stat] = result.states[0].spreads[stat];
    }
    result.all = all.statistics;

    // Did resumes drift: the first tenth of the sleeps with a whole resume against the last tenth.
    std::vector<int> resumed;
    for (int i = 0; i < count; i++)
        if (rows[i].phaseMs[ROW_WAKE] >= 0) resumed.push_back(i);
    result.trend = ResumeTrend();
    size_t tenth = resumed.size() / 10;
    if (tenth > 0) {
        std::vector<long long> first, last;
        for (size_t i = 0; i < tenth; i++) {
            first.push_back(rows[resumed[i]].phaseMs[ROW_WAKE]);
            last.push_back(rows[resumed[resumed.size() - tenth + i]].phaseMs[ROW_WAKE]);
        }
        ResumeTrend& t = result.trend;
        t.known = true;
        t.firstMedianMs = Median(first);
        t.lastMedianMs = Median(last);
        t.firstFrom = rows[resumed[0]].cycle;
        t.firstTo = rows[resumed[tenth - 1]].cycle;
        t.lastFrom = rows[resumed[resumed.size() - tenth]].cycle;
        t.lastTo = rows[resumed.back()].cycle;
    }
    return result;
}

std::string Grouped(long long value) {
    std::string digits = std::to_string(value < 0 ? -value : value), text;
    for (size_t i = 0; i < digits.size(); i++) {
        if (i > 0 && (digits.size() - i) % 3 == 0) text += ',';
        text += digits[i];
    }
    return value < 0 ? "-" + text : text;
}

std::string FailRate(int failed, int sleeps) {
    if (sleeps <= 0 || failed <= 0) return "0%";
    long long whole = (long long)failed * 100 / sleeps;
    if ((long long)failed * 100 % sleeps == 0) return std::to_string(whole) + "%";
    // Rounded down, so that a run with one good sleep never reads 100%, nor one
    // failure 0%.
    char text[32];
    long long tenths = (long long)failed * 1000 / sleeps;
    long long hundredths = (long long)failed * 10000 / sleeps;
    if (tenths > 0)
        snprintf(text, sizeof(text), "%lld.%lld%%", tenths / 10, tenths % 10);
    else if (hundredths > 0)
        snprintf(text, sizeof(text), "0.0%lld%%", hundredths);
    else
        snprintf(text, sizeof(text), "<0.01%%");
    return text;
}

static const char* StateName(int state) { return state >= 0 && StateId(state) ? StateId(state) : "Unknown state"; }

std::string StatisticsLine(const StateStatistics& s) {
    std::string line = std::string(s.state == -2 ? "All states" : StateName(s.state)) + ": " +
                       std::to_string(s.sleeps) + (s.sleeps == 1 ? " sleep, " : " sleeps, ") +
                       std::to_string(s.failed) + " not ok (" + FailRate(s.failed, s.sleeps) + ")";
    bool first = true;
    for (int stat = 0; stat < STAT_COUNT; stat++) {
        const Spread& spread = s.spreads[stat];
        if (spread.count == 0) continue;
        char figures[128];
        snprintf(figures, sizeof(figures), "%s %lld/%lld/%lld/%lld%s", STATS[stat].logName, spread.min, spread.median,
                 spread.p95, spread.max, STATS[stat].unit);
        line += first ? "; min/median/p95/max: " : ", ";
        line += figures;
        first = false;
    }
    return line;
}

std::string RunClosingLine(int runEnd, const int verdicts[VERDICT_COUNT], bool exitCodeKnown, int exitCode) {
    int sleeps = 0;
    std::string counts;
    for (int v = 0; v < VERDICT_COUNT; v++) {
        if (verdicts[v] <= 0) continue;
        sleeps += verdicts[v];
        counts += (counts.empty() ? "" : ", ") + std::to_string(verdicts[v]) + " " + VerdictId(v);
    }
    std::string number = std::to_string(sleeps) + (sleeps == 1 ? " sleep" : " sleeps");
    std::string line;
    switch (runEnd) {
    case RUN_END_STOPPED:
        line = "Run stopped by a person after " + number;
        break;
    case RUN_END_FAILED:
        line = "Run ended early after " + number;
        break;
    default:
        line = "Run finished: " + number;
        break;
    }
    if (!counts.empty()) line += (runEnd == RUN_END_STOPPED || runEnd == RUN_END_FAILED ? ": " : ", ") + counts;
    if (exitCodeKnown) line += "; exit code " + std::to_string(exitCode);
    return line;
}
