// The run report: one self-contained HTML page (no scripts, no files beside
// it) built from what the report keeps of the results file, each run with its
// header, the verdict counts, its failures grouped by kind, its statistics, a
// chart of every sleep, the resume phases and the battery's drain when known,
// the devices that failed, a table of the sleeps and the wake sources; bounded
// however long the run.
#include <ctype.h>
#include <math.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <algorithm>
#include <map>
#include "results/report_page.h"

namespace report {

// ---- Parts of the page ------------------------------------------------------

void WriteColumnStyle(Page* page, int shown);

void WriteStyle(Page* page, int shown) {
    char red[8], yellow[8];
    HexColour(GetLevelColours(LOG_ERROR).back, red);
    HexColour(GetLevelColours(LOG_WARNING).back, yellow);
    uint32_t redRgb = GetLevelColours(LOG_ERROR).back;
    uint32_t yellowRgb = GetLevelColours(LOG_WARNING).back;
    Raw(page,
        "<style>\n"
        "body{font:13px/1.45 \"Segoe UI\",Arial,Helvetica,sans-serif;color:#222;background:#fff;margin:16px 20px}\n"
        "h1{font-size:20px;margin:0 0 2px}h2{font-size:15px;margin:22px 0 8px;padding-bottom:3px;"
        "border-bottom:1px solid #ddd}h2.run{font-size:17px;border-bottom:2px solid #999;margin-top:30px}\n"
        ".id{color:#555;margin:0 0 10px}\n"
        "table{border-collapse:collapse}\n"
        ".hd td{padding:1px 14px 1px 0;vertical-align:top}.hd td:first-child{color:#666;white-space:nowrap}\n"
        ".hd td+td{overflow-wrap:anywhere}\n"
        ".k{display:inline-block;margin:8px 6px 0 0;padding:2px 9px 2px 6px;border:1px solid #ccc;"
        "border-radius:3px;background:#fafafa}\n"
        ".k i{display:inline-block;width:11px;height:11px;margin-right:6px;vertical-align:-1px;"
        "border:1px solid rgba(0,0,0,.3)}\n"
        ".k b{margin-left:4px}.k.z{color:#aaa;border-color:#e4e4e4;background:#fff}.k.z i{opacity:.35}\n");
    Put(page, ".note{margin:12px 0;padding:6px 10px;background:rgba(%u,%u,%u,.25);border-left:4px solid %s}\n",
        Red(yellowRgb), Green(yellowRgb), Blue(yellowRgb), yellow);
    Raw(page,
        ".sc{overflow-x:auto}svg{display:block;max-width:100%;height:auto}\n"
        "svg text{font:11px Arial,Helvetica,sans-serif;fill:#555}\n"
        ".ax{stroke:#999}.gr{stroke:#e6e6e6}.rq{stroke:#333;stroke-dasharray:5 3}.lm{font-weight:bold;fill:#222}\n"
        ".key{margin:4px 0 0;color:#555}.key i{display:inline-block;width:11px;height:11px;margin:0 5px 0 12px;"
        "vertical-align:-1px}\n"
        ".t{font-size:12px}.t th{background:#f0f0f0;text-align:left;font-weight:600;border-bottom:1px solid #ccc}\n"
        ".t td,.t th{padding:2px 5px;white-space:nowrap}.t td{border-bottom:1px solid #eaeaea}\n"
        ".t .n{text-align:right}.t .w{white-space:normal;min-width:120px;max-width:280px;overflow-wrap:anywhere}\n");
    WriteColumnStyle(page, shown);
    Put(page, ".t tr.f{background:rgba(%u,%u,%u,.13)}.t tr.f td:first-child{box-shadow:inset 4px 0 %s}\n",
        Red(redRgb), Green(redRgb), Blue(redRgb), red);
    Put(page, ".t tr.y{background:rgba(%u,%u,%u,.22)}.t tr.y td:first-child{box-shadow:inset 4px 0 #c9b800}\n",
        Red(yellowRgb), Green(yellowRgb), Blue(yellowRgb));
    // Chart columns (fill) and colour keys (background) of every verdict.
    for (int i = 0; i <= VERDICT_KINDS; i++) {
        char colour[8];
        HexColour(VerdictColour(i), colour);
        Put(page, "rect.v-%s{fill:%s}i.v-%s{background:%s}\n", VerdictClass(i), colour, VerdictClass(i), colour);
    }
    Raw(page,
        "rect.v-long{stroke:#a39500;stroke-width:.6}rect.v-lost{fill:url(#hatch)}\n"
        ".p-fw{fill:#0570a7}.p-dr{fill:#8d5cc4}.p-hr{fill:#e8912d}i.p-fw{background:#0570a7}"
        "i.p-dr{background:#8d5cc4}i.p-hr{background:#e8912d}.bd{fill:#17a589}\n"
        ".dv td{vertical-align:top}.st td{vertical-align:top}\n"
        ".t tr.fold td{background:#f4f4f4;color:#666;font-style:italic;text-align:center}\n"
        ".p-wh{fill:#bcd3e4}i.p-wh{background:#bcd3e4}\n"
        "</style>\n");
}

// "2026-12-07T13:24:39Z" as "2026-12-07 13:24:39"; with sameDayAs the time
// alone when the date is that one's. Other texts as they are.
void WriteUtc(Page* page, const char* utc, const char* sameDayAs) {
    bool usual = strlen(utc) == 20 && utc[10] == 'T' && utc[19] == 'Z';
    if (!usual) {
        TextOrDash(page, utc);
        return;
    }
    bool sameDay = sameDayAs && strncmp(utc, sameDayAs, 11) == 0;
    // "2026-12-07 13:24:39": the date, a space, the time; digits need no escaping.
    if (!sameDay) {
        RawBytes(page, utc, 10);
        Raw(page, " ");
    }
    RawBytes(page, utc + 11, 8);
}

void HeaderRow(Page* page, const char* name, const char* value) {
    if (!value[0]) return;
    Put(page, "<tr><td>%s</td><td>", name);
    Text(page, value);
    Raw(page, "</td></tr>\n");
}

// The header of one run. Only the run in progress (last) has the program's
// own details: the Windows version, the command line, its end and exit code.
void WriteHeader(Page* page, const ReportHeader* header, bool current, const char* resultsPath,
                 const RunDigest& run) {
    Raw(page, "<table class=\"hd\">\n");
    HeaderRow(page, "Run", run.runId);
    HeaderRow(page, "Computer", run.computer[0] ? run.computer : current ? header->computer : "");
    if (current) {
        HeaderRow(page, "Windows", header->windows);
        HeaderRow(page, "Command line", header->commandLine);
    }
    HeaderRow(page, "Results file", resultsPath);
    UtcText first(run.firstStartUtc);
    UtcText last(run.lastEndUtc);
    const char* start = current && header->startTime[0] ? header->startTime : first.text;
    if (start[0]) {
        Raw(page, "<tr><td>Started (UTC)</td><td>");
        WriteUtc(page, start, nullptr);
        Raw(page, "</td></tr>\n");
    }
    // Ended is the run's own end, known only to the run that ends; otherwise
    // the last record is what is known.
    bool ended = current && header->endTime[0];
    const char* end = ended ? header->endTime : last.text;
    if (end[0]) {
        Raw(page, ended ? "<tr><td>Ended (UTC)</td><td>" : "<tr><td>Last record (UTC)</td><td>");
        WriteUtc(page, end, nullptr);
        Raw(page, "</td></tr>\n");
    }
    if (current && header->exitCodeKnown) {
        const char* meaning = header->exitCode == 0   ? " (every sleep ok, the run completed)"
                              : header->exitCode == 1 ? " (the run could not start)"
                              : header->exitCode == 2 ? " (a sleep failed, or was not recorded)"
                              : header->exitCode == 3 ? " (stopped by a person before its last cycle)"
                                                      : "";
        Put(page, "<tr><td>Exit code</td><td>%d%s</td></tr>\n", header->exitCode, meaning);
    }
    Put(page, "<tr><td>Sleeps</td><td>%d</td></tr>\n</table>\n", (int)run.rows.size());
}

void WriteCounts(Page* page, const int counts[VERDICT_KINDS + 1], int badLines) {
    Raw(page, "<div>");
    for (int i = 0; i <= VERDICT_KINDS; i++) {
        if (i == OTHER_VERDICT && counts[i] == 0) continue;
        Put(page, "<span class=\"k%s\"><i class=\"v-%s\"></i>%s<b>%d</b></span>", counts[i] ? "" : " z",
            VerdictClass(i), i == OTHER_VERDICT ? "other" : VerdictId(i), counts[i]);
    }
    Raw(page, "</div>\n");
    if (badLines > 0) {
        Put(page,
            "<p class=\"note\">%d line%s of the results file could not be read (cut short or not a record) "
            "and %s not shown.</p>\n",
            badLines, badLines == 1 ? "" : "s", badLines == 1 ? "is" : "are");
    }
}

// At most this many lines of a grouping table; the rest are counted.
const int MOST_KINDS = 100;
const int MOST_DEVICES = 100;
const int MOST_WAKE_SOURCES = 50;

// Each kind of failure of the run with its count, its share of the sleeps and
// where it first and last happened, most frequent first: the first thing the
// page answers.
void WriteFailureKinds(Page* page, const RunDigest& run, int runNumber, const std::vector<char>& listed) {
    std::vector<KindCount> counts = CountFailureKinds(run);
    Raw(page, "<h2>Failures by kind</h2>\n");
    if (counts.empty()) {
        Raw(page, "<p>No sleep failed, and no device went missing or had a problem.</p>\n");
        return;
    }
    int sleeps = (int)run.rows.size();
    Raw(page, "<table class=\"t\">\n<tr><th>Kind</th><th>Failure</th><th>Sleeps</th><th>Fail rate</th>"
              "<th>First cycle</th><th>Last cycle</th></tr>\n");
    long long restSleeps = 0;
    for (size_t i = 0; i < counts.size(); i++) {
        const KindCount& c = counts[i];
        if (i >= (size_t)MOST_KINDS) {
            restSleeps += c.sleeps;
            continue;
        }
        const DigestKind& kind = run.kinds[(size_t)c.kind];
        Put(page, "<tr><td>%s</td><td class=\"w\">", KIND_NAMES[kind.family]);
        Text(page, kind.what.c_str());
        for (size_t h = 0; h < kind.happened.size(); h++) {
            Raw(page, h == 0 ? ": " : "; ");
            Text(page, kind.happened[h].c_str());
        }
        Put(page, "</td><td class=\"n\">%s</td><td class=\"n\">%s</td><td class=\"n\">", Grouped(c.sleeps).c_str(),
            FailRate(c.sleeps, sleeps).c_str());
        // The first such sleep's row, when the table lists it.
        if (listed[(size_t)c.firstRow])
            Put(page, "<a href=\"#s%d-%d\">%d</a>", runNumber, c.firstRow, run.rows[(size_t)c.firstRow].cycle);
        else
            Put(page, "%d", run.rows[(size_t)c.firstRow].cycle);
        Put(page, "</td><td class=\"n\">%d</td></tr>\n", run.rows[(size_t)c.lastRow].cycle);
    }
    Raw(page, "</table>\n");
    if (counts.size() > (size_t)MOST_KINDS)
        Put(page, "<p class=\"key\">And %s more kinds, in %s failures.</p>\n",
            Grouped((long long)(counts.size() - MOST_KINDS)).c_str(), Grouped(restSleeps).c_str());
}

const char* StatisticsStateName(int state) {
    return state == -2 ? "All states" : state >= 0 && StateId(state) ? StateId(state) : "Unknown state";
}

void WriteStatisticsRows(Page* page, const StateStatistics& s) {
    int figures = 0;
    for (const Spread& spread : s.spreads) figures += spread.count > 0;
    char span[24] = "";
    if (figures > 1) snprintf(span, sizeof(span), " rowspan=\"%d\"", figures);
    Put(page, "<tr><td%s>%s</td><td class=\"n\"%s>%s</td><td class=\"n\"%s>%s</td><td class=\"n\"%s>%s</td>", span,
        StatisticsStateName(s.state), span, Grouped(s.sleeps).c_str(), span, Grouped(s.failed).c_str(), span,
        FailRate(s.failed, s.sleeps).c_str());
    if (figures == 0) {
        Raw(page, "<td>\xE2\x80\x93</td><td></td><td></td><td></td><td></td><td></td></tr>\n");
        return;
    }
    bool first = true;
    for (int stat = 0; stat < STAT_COUNT; stat++) {
        const Spread& spread = s.spreads[stat];
        if (spread.count == 0) continue;
        if (!first) Raw(page, "<tr>");
        first = false;
        Put(page, "<td>%s</td><td class=\"n\">%s</td><td class=\"n\">%lld</td><td class=\"n\">%lld</td>"
                  "<td class=\"n\">%lld</td><td class=\"n\">%lld</td></tr>\n",
            STAT_NAMES[stat], Grouped(spread.count).c_str(), spread.min, spread.median, spread.p95, spread.max);
    }
}

// Counts and spreads of the run's times per state asked for, and whether its
// resumes grew slower.
void WriteStatistics(Page* page, const RunStatistics& statistics) {
    Raw(page, "<h2>Statistics</h2>\n<table class=\"t st\">\n<tr><th>State</th><th>Sleeps</th><th>Not ok</th>"
              "<th>Fail rate</th><th>Figure</th><th>Sleeps with it</th><th>Min</th><th>Median</th><th>95th pct.</th>"
              "<th>Max</th></tr>\n");
    for (const StateStatistics& s : statistics.states) WriteStatisticsRows(page, s);
    if (statistics.states.size() > 1) WriteStatisticsRows(page, statistics.all);
    Raw(page, "</table>\n");
    const ResumeTrend& t = statistics.trend;
    if (!t.known) return;
    long long change = t.firstMedianMs > 0 ? (t.lastMedianMs - t.firstMedianMs) * 100 / t.firstMedianMs : 0;
    Put(page, "<p class=\"key\">Resume trend: median whole resume %lld ms in the first tenth of the sleeps "
              "(cycles %d\xE2\x80\x93%d), %lld ms in the last tenth (cycles %d\xE2\x80\x93%d)",
        t.firstMedianMs, t.firstFrom, t.firstTo, t.lastMedianMs, t.lastFrom, t.lastTo);
    if (t.firstMedianMs > 0) Put(page, ": %+lld%%", change);
    Raw(page, ".</p>\n");
}

// Columns of the record table. Cells are written without their optional
// closing tags, and alignment comes from the column's place, to keep a page
// of many sleeps small.
enum { COLUMN_ALWAYS = 0, COLUMN_TARGETS = 1, COLUMN_PHASES = 2, COLUMN_FALLBACK = 4 };
const struct {
    const char* title;
    bool number;    // aligned right
    int wrapWidth;  // least width in pixels of a column whose text may wrap; 0: never wraps
    int shownWith;
} COLUMNS[] = {
    {"Cycle", true, 0, COLUMN_ALWAYS},        {"Req.", false, 0, COLUMN_ALWAYS},
    {"Target", false, 0, COLUMN_TARGETS},     {"Eff.", false, 0, COLUMN_TARGETS},
    {"Entered", false, 0, COLUMN_ALWAYS},     {"Fallback", false, 0, COLUMN_FALLBACK},
    {"Req. s", true, 0, COLUMN_ALWAYS},       {"Meas. s", true, 0, COLUMN_ALWAYS},
    {"Asleep s", true, 0, COLUMN_ALWAYS},     {"Verdict", false, 0, COLUMN_ALWAYS},
    {"Wake source", false, 90, COLUMN_ALWAYS}, {"Start (UTC)", false, 0, COLUMN_ALWAYS},
    {"End", false, 0, COLUMN_ALWAYS},         {"Phases, ms", false, 110, COLUMN_PHASES},
    {"Reason", false, 150, COLUMN_ALWAYS},
};

// Which optional columns the listed records need: a column nobody has is left out.
int TableColumns(const ReportDigest& digest) {
    int shown = COLUMN_ALWAYS;
    for (const RunDigest& run : digest.runs) {
        for (int row : ListedRows(run)) {
            const SleepRecord* r = KeptRecordOf(run, row);
            if (!r) continue;
            if (r->targetState >= 0 || r->effectiveState >= 0) shown |= COLUMN_TARGETS;
            if (r->phasesKnown) shown |= COLUMN_PHASES;
            if (r->fallback != FALLBACK_NONE) shown |= COLUMN_FALLBACK;
        }
    }
    return shown;
}

void WriteColumnStyle(Page* page, int shown) {
    int place = 0;
    for (const auto& column : COLUMNS) {
        if ((column.shownWith & shown) != column.shownWith) continue;
        place++;
        if (column.number) Put(page, ".r td:nth-child(%d){text-align:right}\n", place);
        if (column.wrapWidth > 0)
            Put(page, ".r td:nth-child(%d){white-space:normal;min-width:%dpx;max-width:%dpx;overflow-wrap:anywhere}\n",
                place, column.wrapWidth, column.wrapWidth + 90);
    }
}

int ColumnCount(int shown) {
    int count = 0;
    for (const auto& column : COLUMNS) count += (column.shownWith & shown) == column.shownWith;
    return count;
}

void Cell(Page* page, const char* text) {
    Raw(page, "<td>");
    TextOrDash(page, text);
}

void NumberCell(Page* page, long long value) {
    Raw(page, "<td>");
    if (value >= 0)
        Number(page, value);
    else
        Raw(page, "\xE2\x80\x93");
}

void WritePhasesText(Page* page, const SleepRecord* r) {
    if (!r->phasesKnown) {
        Raw(page, "\xE2\x80\x93");
        return;
    }
    const struct {
        const char* name;
        long long value;
    } parts[] = {
        {"sleep", Phase(r, PHASE_SLEEP)},           {"wake", Phase(r, PHASE_WAKE)},
        {"firmware", Phase(r, PHASE_FIRMWARE)},     {"drivers", Phase(r, PHASE_DRIVERS)},
        {"file write", Phase(r, PHASE_HIBER_WRITE)}, {"file read", Phase(r, PHASE_HIBER_READ)},
    };
    bool first = true;
    for (const auto& part : parts) {
        if (part.value < 0) continue;
        Put(page, "%s%s %lld", first ? "" : ", ", part.name, part.value);
        first = false;
    }
    if (Phase(r, PHASE_HIBER_PAGES) >= 0) Put(page, "%s%lld pages", first ? "" : ", ", Phase(r, PHASE_HIBER_PAGES));
}

// The cause of a sleep's verdict, not the verdict again, and what the device
// check found.
void WriteReason(Page* page, const SleepRecord* r) {
    std::string cause = FailureCause(*r);
    bool any = !cause.empty();
    Text(page, cause.c_str());
    if (HasDeviceFault(r->devices)) {
        int missing = (int)r->devices.missing.size();
        int problems = (int)r->devices.problems.size();
        Raw(page, any ? "; devices: " : "devices: ");
        if (missing > 0) Put(page, "%d missing", missing);
        if (problems > 0) Put(page, "%s%d with a problem", missing > 0 ? ", " : "", problems);
        any = true;
    }
    if (!any) Raw(page, "\xE2\x80\x93");
}

void WriteRecordRow(Page* page, const SleepRecord* r, int shown, int runNumber, int row) {
    int verdict = VerdictIndex(r->verdict);
    const char* marked = IsFailure(verdict) ? " class=\"f\"" : verdict == VERDICT_TOO_LONG ? " class=\"y\"" : "";
    // A sleep that was not ok can be linked to from the failures by kind.
    if (verdict != VERDICT_OK || HasDeviceFault(r->devices))
        Put(page, "<tr id=\"s%d-%d\"%s>", runNumber, row, marked);
    else
        Raw(page, "<tr>");
    NumberCell(page, r->cycle);
    Cell(page, StateText(r->requestedState));
    if (shown & COLUMN_TARGETS) {
        Cell(page, StateText(r->targetState));
        Cell(page, StateText(r->effectiveState));
    }
    Cell(page, StateText(r->enteredState));
    if (shown & COLUMN_FALLBACK) Cell(page, FallbackId(r->fallback));
    NumberCell(page, r->requestedSec);
    NumberCell(page, r->measuredSec);
    // Where the time asleep came from is the cell's tooltip.
    if (AsleepSec(r) >= 0) {
        Raw(page, "<td title=\"");
        Text(page, AsleepSourceId(r->asleepSource));
        Put(page, "\">%d", AsleepSec(r));
    } else {
        Raw(page, "<td>\xE2\x80\x93");
    }
    Cell(page, VerdictId(r->verdict));
    Cell(page, r->wakeSource);
    Raw(page, "<td>");
    UtcText start(r->startUtc);
    UtcText end(r->endUtc);
    WriteUtc(page, start.text, nullptr);
    Raw(page, "<td>");
    WriteUtc(page, end.text, start.text);
    if (shown & COLUMN_PHASES) {
        Raw(page, "<td>");
        WritePhasesText(page, r);
    }
    Raw(page, "<td>");
    WriteReason(page, r);
    Raw(page, "\n");
}

// The sleeps of the run: every one of a run of up to REPORT_ALL_ROWS, else
// the ones ListedRows keeps, with a line where others are folded.
void WriteRecordTable(Page* page, const RunDigest& run, int runNumber, const std::vector<int>& listed, int shown) {
    int count = (int)run.rows.size();
    int folded = count - (int)listed.size();
    if (folded == 0) {
        Raw(page, "<h2>Every sleep</h2>\n");
    } else {
        Put(page, "<h2>Sleeps: %s of %s listed</h2>\n", Grouped((long long)listed.size()).c_str(),
            Grouped(count).c_str());
        Put(page, "<p class=\"key\">Listed: the first and the last %s sleeps that were not ok, and the last %d "
                  "sleeps. The other %s are folded; their failures are counted under Failures by kind above.</p>\n",
            Grouped(REPORT_FAILED_ROWS).c_str(), REPORT_LAST_ROWS, Grouped(folded).c_str());
    }
    Raw(page, "<div class=\"sc\"><table class=\"t r\">\n<tr>");
    for (const auto& column : COLUMNS)
        if ((column.shownWith & shown) == column.shownWith) Put(page, "<th>%s</th>", column.title);
    Raw(page, "</tr>\n");
    int next = 0;  // the row after the last one listed
    for (int row : listed) {
        if (row > next) {
            Put(page, "<tr class=\"fold\"><td colspan=\"%d\">%s sleeps folded (cycles %d\xE2\x80\x93%d)\n",
                ColumnCount(shown), Grouped(row - next).c_str(), run.rows[(size_t)next].cycle,
                run.rows[(size_t)row - 1].cycle);
        }
        next = row + 1;
        const SleepRecord* r = KeptRecordOf(run, row);
        if (r) WriteRecordRow(page, r, shown, runNumber, row);
    }
    Raw(page, "</table></div>\n<p class=\"key\">Req.: the state the run asked for. Entered: the state the program "
              "put the machine into, after any fallback.");
    if (shown & COLUMN_TARGETS)
        Raw(page, " Target and Eff.: the state the system's wake record names as its target, and the state the "
                  "machine really entered.");
    Raw(page, " Meas. s: the time away; Asleep s: the time asleep. Reason: the cause of a verdict that was not ok.</p>\n");
}

void WriteWakeSources(Page* page, const RunDigest& run) {
    if (run.rows.empty()) return;
    std::vector<long long> counts(run.wakeSources.size() + 1, 0);  // the last: none reported
    for (const ReportRow& r : run.rows) counts[r.wakeSource >= 0 ? (size_t)r.wakeSource : run.wakeSources.size()]++;
    std::vector<int> order;
    for (size_t i = 0; i < counts.size(); i++)
        if (counts[i] > 0) order.push_back((int)i);
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
        if (counts[a] != counts[b]) return counts[a] > counts[b];
        if ((size_t)a == run.wakeSources.size() || (size_t)b == run.wakeSources.size())
            return (size_t)b == run.wakeSources.size();
        return run.wakeSources[a] < run.wakeSources[b];
    });
    Raw(page, "<h2>Wake sources</h2>\n<table class=\"t\">\n<tr><th>Wake source</th><th>Sleeps</th></tr>\n");
    long long rest = 0;
    for (size_t i = 0; i < order.size(); i++) {
        int source = order[i];
        if ((int)i >= MOST_WAKE_SOURCES) {
            rest += counts[(size_t)source];
            continue;
        }
        Raw(page, "<tr><td class=\"w\">");
        if ((size_t)source < run.wakeSources.size())
            Text(page, run.wakeSources[(size_t)source].c_str());
        else
            Raw(page, "(none reported)");
        Put(page, "</td><td class=\"n\">%lld</td></tr>\n", counts[(size_t)source]);
    }
    Raw(page, "</table>\n");
    if (rest > 0)
        Put(page, "<p class=\"key\">And %s more wake sources, in %s sleeps.</p>\n",
            Grouped((long long)order.size() - MOST_WAKE_SOURCES).c_str(), Grouped(rest).c_str());
}

// "missing", or the problem in the Device Manager's words with its code.
static std::string WhatHappened(int code) {
    if (code < 0) return "missing";
    std::string text = DeviceProblemText(code);
    std::string number = std::to_string(code);
    if (text != "problem code " + number) text += " (code " + number + ")";
    return text;
}

// Each device that was missing or had a new problem after a sleep, with its
// cycles, in the order they first failed; nothing when none did.
void WriteDevices(Page* page, const RunDigest& run) {
    if (run.deviceFaults.empty()) return;
    struct Event {
        int code;
        std::vector<int> cycles;
    };
    std::vector<std::vector<Event>> events(run.devices.size());
    std::vector<int> order;  // devices as they first failed
    for (const DeviceFault& fault : run.deviceFaults) {
        std::vector<Event>& list = events[(size_t)fault.device];
        if (list.empty()) order.push_back(fault.device);
        int cycle = run.rows[(size_t)fault.row].cycle;
        bool found = false;
        for (Event& event : list) {
            if (event.code != fault.code) continue;
            event.cycles.push_back(cycle);
            found = true;
            break;
        }
        if (!found) list.push_back({fault.code, {cycle}});
    }
    Raw(page, "<h2>Devices</h2>\n<p class=\"key\">Devices missing, or with a new problem, after a sleep, "
              "by instance id.</p>\n<table class=\"t dv\">\n<tr><th>Device</th><th>Class</th>"
              "<th>Instance id</th><th>What happened</th><th>Sleeps</th><th>Cycles</th></tr>\n");
    for (size_t shownDevices = 0; shownDevices < order.size() && shownDevices < (size_t)MOST_DEVICES; shownDevices++) {
        const DeviceEntry* d = &run.devices[(size_t)order[shownDevices]];
        std::vector<Event>& list = events[(size_t)order[shownDevices]];
        int rows = (int)list.size();
        for (int e = 0; e < rows; e++) {
            Event& event = list[(size_t)e];
            Raw(page, "<tr>");
            if (e == 0) {
                char span[24] = "";
                if (rows > 1) snprintf(span, sizeof(span), " rowspan=\"%d\"", rows);
                Put(page, "<td class=\"w\"%s>", span);
                TextOrDash(page, d->name.c_str());
                Put(page, "</td><td%s>", span);
                TextOrDash(page, d->cls.c_str());
                Put(page, "</td><td class=\"w\"%s>", span);
                TextOrDash(page, d->id.c_str());
                Raw(page, "</td>");
            }
            // Records come in cycle order, but a resumed run may repeat or reorder one.
            std::vector<int>& cycles = event.cycles;
            if (!std::is_sorted(cycles.begin(), cycles.end())) std::sort(cycles.begin(), cycles.end());
            cycles.erase(std::unique(cycles.begin(), cycles.end()), cycles.end());
            Raw(page, "<td>");
            Text(page, WhatHappened(event.code).c_str());
            Put(page, "</td><td class=\"n\">%d</td><td class=\"w\">", (int)cycles.size());
            Text(page, CycleRanges(cycles, 20).c_str());
            Raw(page, "</td></tr>\n");
        }
    }
    Raw(page, "</table>\n");
    if (order.size() > (size_t)MOST_DEVICES)
        Put(page, "<p class=\"key\">And %s more devices; each is counted under Failures by kind above.</p>\n",
            Grouped((long long)(order.size() - MOST_DEVICES)).c_str());
}

void WriteRun(Page* page, const ReportHeader* header, const char* resultsPath, const RunDigest& run, int runNumber,
              bool current, int badLines, int shown) {
    WriteHeader(page, header, current, resultsPath, run);
    int count = (int)run.rows.size();
    RunStatistics statistics = ComputeRunStatistics(run.rows.data(), count);
    WriteCounts(page, statistics.all.verdicts, badLines);
    if (count == 0) {
        Raw(page, "<p>No sleep recorded yet.</p>\n");
        return;
    }
    std::vector<int> listed = ListedRows(run);
    std::vector<char> isListed((size_t)count, 0);
    for (int row : listed) isListed[(size_t)row] = 1;
    WriteFailureKinds(page, run, runNumber, isListed);
    WriteStatistics(page, statistics);
    WriteTimeChart(page, run.rows.data(), count);
    WritePhaseChart(page, run.rows.data(), count);
    WriteBatteryChart(page, run.rows.data(), count);
    WriteDevices(page, run);
    WriteRecordTable(page, run, runNumber, listed, shown);
    WriteWakeSources(page, run);
}

void WritePage(Page* page, const ReportHeader* header, const char* resultsPath, const ReportDigest& digest) {
    Raw(page,
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
        "<meta name=\"viewport\" content=\"width=device-width\">\n<title>");
    Text(page, header->identity[0] ? header->identity : "Sleep run");
    Raw(page, " \xE2\x80\x93 run report</title>\n");
    int shown = TableColumns(digest);
    WriteStyle(page, shown);
    Raw(page, "</head><body>\n<h1>Sleep run report</h1>\n<p class=\"id\">");
    Text(page, header->identity);
    Raw(page, "</p>\n");
    // A results file may hold several runs: each gets its own header and
    // sections, its cycles counted from its own first.
    int runs = (int)digest.runs.size();
    if (runs == 0) {
        RunDigest none;
        none.runId[0] = '\0';
        none.computer[0] = '\0';
        none.firstStartUtc = 0;
        none.lastEndUtc = 0;
        WriteRun(page, header, resultsPath, none, 1, true, digest.badLines, shown);
    }
    if (runs > 1) Put(page, "<p>This results file holds %d runs.</p>\n", runs);
    for (int run = 0; run < runs; run++) {
        if (runs > 1) Put(page, "<h2 class=\"run\" id=\"run-%d\">Run %d of %d</h2>\n", run + 1, run + 1, runs);
        WriteRun(page, header, resultsPath, digest.runs[(size_t)run], run + 1, run == runs - 1,
                 run == 0 ? digest.badLines : 0, shown);
    }
    Raw(page, "</body></html>\n");
}

}  // namespace report

using namespace report;

// True when cycle b follows a directly (cycles come from the file: any int).
static bool Follows(int a, int b) { return (long long)b == (long long)a + 1; }

std::string CycleRanges(const std::vector<int>& cycles, int maxRanges) {
    std::string text;
    int ranges = 0;
    for (size_t i = 0; i < cycles.size();) {
        size_t end = i;
        while (end + 1 < cycles.size() && Follows(cycles[end], cycles[end + 1])) end++;
        if (ranges == maxRanges) {
            int more = 0;
            for (size_t j = i; j < cycles.size(); j++) more += j == i || !Follows(cycles[j - 1], cycles[j]);
            text += (text.empty() ? "and " : ", and ") + std::to_string(more) + " more";
            break;
        }
        if (!text.empty()) text += ", ";
        text += std::to_string(cycles[i]);
        if (end > i) text += "-" + std::to_string(cycles[end]);
        ranges++;
        i = end + 1;
    }
    return text;
}

void BuildRunReport(const ReportHeader* header, const char* resultsPath, const ReportDigest& digest,
                    std::string* out) {
    out->clear();
    Page* page = new Page;
    page->out = out;
    page->used = 0;
    WritePage(page, header, resultsPath, digest);
    FlushPage(page);
    delete page;
}

void BuildRunReport(const ReportHeader* header, const char* resultsPath, const SleepRecord* records, int count,
                    int badLines, std::string* out) {
    ReportDigest digest;
    DigestOf(records, count, badLines, &digest);
    BuildRunReport(header, resultsPath, digest, out);
}

// Windows file names match whatever their case.
static bool SameText(const char* a, const char* b) {
    for (; *a && *b; a++, b++) {
        if (tolower((unsigned char)*a) != tolower((unsigned char)*b)) return false;
    }
    return *a == *b;
}

// The results path with its extension replaced by `extension`; the results
// file itself is never the answer (its name then gets the extension added).
static bool SiblingPath(const char* resultsPath, const char* extension, char* out, size_t outSize) {
    if (outSize > 0) out[0] = '\0';
    if (!resultsPath || !resultsPath[0]) return false;
    size_t length = strlen(resultsPath);
    // The file name starts after the last separator; a dot before it is a folder's.
    size_t nameStart = 0;
    for (size_t i = 0; i < length; i++)
        if (resultsPath[i] == '\\' || resultsPath[i] == '/' || resultsPath[i] == ':') nameStart = i + 1;
    size_t stem = length;
    for (size_t i = length; i > nameStart + 1; i--) {  // a leading dot names the file, not its extension
        if (resultsPath[i - 1] == '.') {
            stem = i - 1;
            break;
        }
    }
    if (stem == nameStart) return false;  // no file name at all
    int written = snprintf(out, outSize, "%.*s%s", (int)stem, resultsPath, extension);
    // A results file that already ends in the extension must not be overwritten by its sibling.
    if (written >= 0 && (size_t)written < outSize && SameText(out, resultsPath))
        written = snprintf(out, outSize, "%s%s", resultsPath, extension);
    if (written < 0 || (size_t)written >= outSize) {
        if (outSize > 0) out[0] = '\0';
        return false;
    }
    return true;
}

bool HasExtension(const char* path, const char* extension) {
    const char* dot = path ? strrchr(path, '.') : nullptr;
    return dot && !strchr(dot, '\\') && !strchr(dot, '/') && SameText(dot, extension);
}

bool DefaultReportPath(const char* resultsPath, char* out, size_t outSize) {
    return SiblingPath(resultsPath, ".html", out, outSize);
}

bool RunStatusPath(const char* resultsPath, char* out, size_t outSize) {
    return SiblingPath(resultsPath, ".run.json", out, outSize);
}
