// The run report: one self-contained HTML page (no scripts, no files beside
// it) built from the results file, with the run's header, the verdict counts,
// a chart of every sleep, the resume phases and the battery's drain when
// known, the devices that failed, a table of every record and the wake sources.
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
        ".dv td{vertical-align:top}\n"
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
    char shown[24];
    bool sameDay = sameDayAs && strncmp(utc, sameDayAs, 11) == 0;
    snprintf(shown, sizeof(shown), "%.10s %.8s", utc, utc + 11);
    Text(page, sameDay ? shown + 11 : shown);
}

void HeaderRow(Page* page, const char* name, const char* value) {
    if (!value[0]) return;
    Put(page, "<tr><td>%s</td><td>", name);
    Text(page, value);
    Raw(page, "</td></tr>\n");
}

// The header of one run. Only the run in progress (last) has the program's
// own details: the Windows version, the command line and the exit code.
void WriteHeader(Page* page, const ReportHeader* header, bool current, const char* resultsPath,
                 const SleepRecord* records, int count) {
    Raw(page, "<table class=\"hd\">\n");
    const char* runId = count > 0 ? records[count - 1].runId : "";
    const char* computer = count > 0 && records[count - 1].computer[0] ? records[count - 1].computer : "";
    HeaderRow(page, "Run", runId);
    HeaderRow(page, "Computer", computer[0] ? computer : current ? header->computer : "");
    if (current) {
        HeaderRow(page, "Windows", header->windows);
        HeaderRow(page, "Command line", header->commandLine);
    }
    HeaderRow(page, "Results file", resultsPath);
    UtcText first(count > 0 ? records[0].startUtc : 0);
    UtcText last(count > 0 ? records[count - 1].endUtc : 0);
    const char* start = current && header->startTime[0] ? header->startTime : first.text;
    const char* end = current && header->endTime[0] ? header->endTime : last.text;
    if (start[0]) {
        Raw(page, "<tr><td>Started (UTC)</td><td>");
        WriteUtc(page, start, nullptr);
        Raw(page, "</td></tr>\n");
    }
    if (end[0]) {
        Raw(page, "<tr><td>Ended (UTC)</td><td>");
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
    Put(page, "<tr><td>Sleeps</td><td>%d</td></tr>\n</table>\n", count);
}

void WriteCounts(Page* page, const SleepRecord* records, int count, int badLines) {
    int counts[VERDICT_KINDS + 1] = {};
    for (int i = 0; i < count; i++) counts[VerdictIndex(records[i].verdict)]++;
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
    {"Asleep s", true, 0, COLUMN_ALWAYS},     {"Asleep from", false, 0, COLUMN_ALWAYS},
    {"Verdict", false, 0, COLUMN_ALWAYS},     {"Wake source", false, 95, COLUMN_ALWAYS},
    {"Start (UTC)", false, 0, COLUMN_ALWAYS}, {"End", false, 0, COLUMN_ALWAYS},
    {"Phases, ms", false, 160, COLUMN_PHASES}, {"Reason", false, 140, COLUMN_ALWAYS},
};

// Which optional columns the records need: a column nobody has is left out.
int TableColumns(const SleepRecord* records, int count) {
    int shown = COLUMN_ALWAYS;
    for (int i = 0; i < count; i++) {
        if (records[i].targetState >= 0 || records[i].effectiveState >= 0) shown |= COLUMN_TARGETS;
        if (records[i].phasesKnown) shown |= COLUMN_PHASES;
        if (records[i].fallback != FALLBACK_NONE) shown |= COLUMN_FALLBACK;
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
            Put(page, ".r td:nth-child(%d){white-space:normal;min-width:%dpx;max-width:210px;overflow-wrap:anywhere}\n",
                place, column.wrapWidth);
    }
}

void Cell(Page* page, const char* text) {
    Raw(page, "<td>");
    TextOrDash(page, text);
}

void NumberCell(Page* page, long long value) {
    if (value >= 0)
        Put(page, "<td>%lld", value);
    else
        Raw(page, "<td>\xE2\x80\x93");
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

void WriteReason(Page* page, const SleepRecord* r, bool failure) {
    bool any = false;
    if (failure) {
        Text(page, VerdictId(r->verdict));
        any = true;
    }
    if (r->errorCode != 0) {
        Put(page, "%serror %lld", any ? "; " : "", r->errorCode);
        any = true;
    }
    if (r->lostReason != LOST_NONE) {
        if (any) Raw(page, "; ");
        Text(page, LostReasonId(r->lostReason));
        any = true;
    }
    if (r->bugcheck[0]) {
        Raw(page, any ? "; bugcheck " : "bugcheck ");
        Text(page, r->bugcheck);
        any = true;
    }
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

void WriteRecordTable(Page* page, const SleepRecord* records, int count, int shown) {
    Raw(page, "<h2>Every sleep</h2>\n<div class=\"sc\"><table class=\"t r\">\n<tr>");
    for (const auto& column : COLUMNS)
        if ((column.shownWith & shown) == column.shownWith) Put(page, "<th>%s</th>", column.title);
    Raw(page, "</tr>\n");
    for (int i = 0; i < count; i++) {
        const SleepRecord* r = &records[i];
        int verdict = VerdictIndex(r->verdict);
        bool failure = IsFailure(verdict);
        Raw(page, failure ? "<tr class=\"f\">" : verdict == VERDICT_TOO_LONG ? "<tr class=\"y\">" : "<tr>");
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
        NumberCell(page, AsleepSec(r));
        Cell(page, AsleepSourceId(r->asleepSource));
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
        WriteReason(page, r, failure);
        Raw(page, "\n");
    }
    Raw(page, "</table></div>\n");
}

int CompareTexts(const void* a, const void* b) { return strcmp(*(const char* const*)a, *(const char* const*)b); }

struct SourceCount {
    const char* name;
    int count;
};

int CompareCounts(const void* a, const void* b) {
    const SourceCount* x = (const SourceCount*)a;
    const SourceCount* y = (const SourceCount*)b;
    if (x->count != y->count) return x->count > y->count ? -1 : 1;
    return strcmp(x->name, y->name);
}

void WriteWakeSources(Page* page, const SleepRecord* records, int count) {
    if (count == 0) return;
    const char** names = (const char**)malloc(sizeof(const char*) * (size_t)count);
    SourceCount* sources = (SourceCount*)malloc(sizeof(SourceCount) * (size_t)count);
    if (names && sources) {
        for (int i = 0; i < count; i++) names[i] = records[i].wakeSource;
        qsort(names, (size_t)count, sizeof(names[0]), CompareTexts);
        int distinct = 0;
        for (int i = 0; i < count; i++) {
            if (distinct > 0 && strcmp(sources[distinct - 1].name, names[i]) == 0)
                sources[distinct - 1].count++;
            else
                sources[distinct++] = {names[i], 1};
        }
        qsort(sources, (size_t)distinct, sizeof(sources[0]), CompareCounts);
        Raw(page, "<h2>Wake sources</h2>\n<table class=\"t\">\n<tr><th>Wake source</th><th>Sleeps</th></tr>\n");
        for (int i = 0; i < distinct; i++) {
            Raw(page, "<tr><td class=\"w\">");
            if (sources[i].name[0])
                Text(page, sources[i].name);
            else
                Raw(page, "(none reported)");
            Put(page, "</td><td class=\"n\">%d</td></tr>\n", sources[i].count);
        }
        Raw(page, "</table>\n");
    }
    free(names);
    free(sources);
}

// What happened to one device, and after which sleeps.
struct DeviceEvent {
    int code;  // the problem code; -1: missing
    std::vector<int> cycles;
};

// A device that failed in any record, as it was first seen failing.
struct DeviceHistory {
    const DeviceEntry* device;
    std::vector<DeviceEvent> events;  // in the order they first happened
};

// Notes a device's fault; ids index the histories, so each record costs a
// look-up per listed device and never a pass over the others.
static void AddDeviceEvent(std::map<std::string, size_t>* ids, std::vector<DeviceHistory>* histories,
                           const DeviceEntry& device, int code, int cycle) {
    auto found = ids->find(device.id);
    if (found == ids->end()) {
        found = ids->emplace(device.id, histories->size()).first;
        histories->push_back({&device, {}});
    }
    DeviceHistory& history = (*histories)[found->second];
    // A later sighting may carry the name or class the first one lacked.
    if (history.device->name.empty() && !device.name.empty()) history.device = &device;
    for (DeviceEvent& event : history.events) {
        if (event.code == code) {
            event.cycles.push_back(cycle);
            return;
        }
    }
    history.events.push_back({code, {cycle}});
}

// "missing", or the problem in the Device Manager's words with its code.
static std::string WhatHappened(int code) {
    if (code < 0) return "missing";
    std::string text = DeviceProblemText(code);
    std::string number = std::to_string(code);
    if (text != "problem code " + number) text += " (code " + number + ")";
    return text;
}

void WriteDevices(Page* page, const SleepRecord* records, int count) {
    std::map<std::string, size_t> ids;
    std::vector<DeviceHistory> histories;
    for (int i = 0; i < count; i++) {
        const DeviceCheck& check = records[i].devices;
        if (!HasDeviceFault(check)) continue;
        for (const DeviceEntry& d : check.missing) AddDeviceEvent(&ids, &histories, d, -1, records[i].cycle);
        for (const DeviceEntry& d : check.problems) {
            AddDeviceEvent(&ids, &histories, d, d.code < 0 ? 0 : d.code, records[i].cycle);
        }
    }
    if (histories.empty()) return;
    Raw(page, "<h2>Devices</h2>\n<p class=\"key\">Devices missing, or with a new problem, after a sleep, "
              "by instance id.</p>\n<table class=\"t dv\">\n<tr><th>Device</th><th>Class</th>"
              "<th>Instance id</th><th>What happened</th><th>Sleeps</th><th>Cycles</th></tr>\n");
    for (DeviceHistory& history : histories) {
        const DeviceEntry* d = history.device;
        int rows = (int)history.events.size();
        for (int e = 0; e < rows; e++) {
            DeviceEvent& event = history.events[e];
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
}

void WritePage(Page* page, const ReportHeader* header, const char* resultsPath, const SleepRecord* records,
               int count, int badLines) {
    Raw(page,
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
        "<meta name=\"viewport\" content=\"width=device-width\">\n<title>");
    Text(page, header->identity[0] ? header->identity : "Sleep run");
    Raw(page, " \xE2\x80\x93 run report</title>\n");
    int shown = TableColumns(records, count);
    WriteStyle(page, shown);
    Raw(page, "</head><body>\n<h1>Sleep run report</h1>\n<p class=\"id\">");
    Text(page, header->identity);
    Raw(page, "</p>\n");
    // A results file may hold several runs: each gets its own header and
    // sections, its cycles counted from its own first.
    std::vector<int> starts = RunStarts(records, count);
    if (starts.empty()) starts.push_back(0);
    int runs = (int)starts.size();
    if (runs > 1) Put(page, "<p>This results file holds %d runs.</p>\n", runs);
    for (int run = 0; run < runs; run++) {
        int begin = starts[run];
        int end = run + 1 < runs ? starts[run + 1] : count;
        const SleepRecord* part = records + begin;
        int n = end - begin;
        bool current = run == runs - 1;
        if (runs > 1) Put(page, "<h2 class=\"run\" id=\"run-%d\">Run %d of %d</h2>\n", run + 1, run + 1, runs);
        WriteHeader(page, header, current, resultsPath, part, n);
        WriteCounts(page, part, n, run == 0 ? badLines : 0);
        if (n == 0) {
            Raw(page, "<p>No sleep recorded yet.</p>\n");
            continue;
        }
        WriteTimeChart(page, part, n);
        WritePhaseChart(page, part, n);
        WriteBatteryChart(page, part, n);
        WriteDevices(page, part, n);
        WriteRecordTable(page, part, n, shown);
        WriteWakeSources(page, part, n);
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

void BuildRunReport(const ReportHeader* header, const char* resultsPath, const SleepRecord* records, int count,
                    int badLines, std::string* out) {
    out->clear();
    Page* page = new Page;
    page->out = out;
    page->used = 0;
    WritePage(page, header, resultsPath, records, count, badLines);
    FlushPage(page);
    delete page;
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
