// The fleet page: many machines' results on one self-contained HTML page (no
// scripts, nothing fetched), a row a machine, then the failures of them all
// grouped by kind, so that one cause seen on many machines stands out.
#include <stdio.h>
#include <string.h>
#include <algorithm>
#include <map>
#include <string>
#include <vector>
#include <nlohmann/json.hpp>
#include "results/report_page.h"

using report::HexColour;
using report::VerdictColour;

namespace {

// Text of the files as HTML.
void Text(std::string* page, const char* text, size_t length) {
    // The longest reference HtmlEscape writes for one byte is 8 bytes.
    std::vector<char> escaped(length * 8 + 1);
    HtmlEscape(text, escaped.data(), escaped.size());
    *page += escaped.data();
}
void Text(std::string* page, const char* text) { Text(page, text, strlen(text)); }
void Text(std::string* page, const std::string& text) { Text(page, text.c_str(), strlen(text.c_str())); }

void Number(std::string* page, long long value) { *page += std::to_string(value); }

// A relative link as a URL path: every byte but the unreserved ones and '/'
// percent-encoded, so a '#', '?' or space in a file name stays part of it.
std::string LinkHref(const char* link) {
    std::string href;
    for (const unsigned char* p = (const unsigned char*)link; *p; p++) {
        unsigned char c = *p == '\\' ? '/' : *p;
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || strchr("-._~/", c)) {
            href += (char)c;
        } else {
            char hex[4];
            snprintf(hex, sizeof(hex), "%%%02X", c);
            href += hex;
        }
    }
    return href;
}

// The file name at the end of a path.
const char* BaseName(const char* path) {
    const char* name = path;
    for (const char* p = path; *p; p++)
        if (*p == '/' || *p == '\\') name = p + 1;
    return name;
}

// A sleep's resume as the run report's chart adds it up: firmware, drivers and
// the hibernation file's read, each unknown as none and at most a day.
long long ResumeMs(const SleepRecord& r) {
    if (!r.phasesKnown) return -1;
    const int parts[] = {PHASE_FIRMWARE, PHASE_DRIVERS, PHASE_HIBER_READ};
    const long long DAY_MS = 86400000LL;
    long long total = 0;
    for (int phase : parts) {
        long long value = r.phases[phase].known ? r.phases[phase].value : 0;
        total += value <= 0 ? 0 : value < DAY_MS ? value : DAY_MS;
    }
    return total;
}

// What one machine's records add up to.
struct MachineSums {
    int runs;
    int verdicts[VERDICT_COUNT + 1];  // the last: a verdict this build does not know
    int failed;
    int lost[LOST_COUNT];
    int deviceFaults;  // sleeps after which a device was missing or had a problem
    long long worstResumeMs;
    int worstResumeCycle;
    int badLines;
    const FleetFile* exitFile;   // the last file whose status has an exit code
    const FleetFile* stateFile;  // the last file whose status was read
};

MachineSums Sum(const FleetMachine& m) {
    MachineSums s;
    memset(&s, 0, sizeof(s));
    s.worstResumeMs = -1;
    for (const FleetFile& file : m.files) {
        s.badLines += file.badLines;
        if (file.exitCodeKnown) s.exitFile = &file;
        if (file.runState[0]) s.stateFile = &file;
        if (file.count > 0 && file.first >= 0 && file.first + file.count <= (int)m.records.size())
            s.runs += (int)RunStarts(m.records.data() + file.first, file.count).size();
    }
    for (const SleepRecord& r : m.records) {
        bool known = r.verdict >= 0 && r.verdict < VERDICT_COUNT;
        s.verdicts[known ? r.verdict : VERDICT_COUNT]++;
        if (r.verdict != VERDICT_OK) s.failed++;
        if (r.verdict == VERDICT_LOST) s.lost[r.lostReason >= 0 && r.lostReason < LOST_COUNT ? r.lostReason : 0]++;
        if (HasDeviceFault(r.devices)) s.deviceFaults++;
        long long resume = ResumeMs(r);
        if (resume > s.worstResumeMs) {
            s.worstResumeMs = resume;
            s.worstResumeCycle = r.cycle;
        }
    }
    return s;
}

// ---- Failures by kind -----------------------------------------------------------

struct Kind {
    int family;
    std::string what;
    std::vector<std::string> happened;  // a device's: "missing", its problems
    int sleeps;
    std::map<int, int> machines;  // machine index: sleeps
};

struct Kinds {
    std::map<std::pair<int, std::string>, size_t> index;
    std::vector<Kind> list;
};

void Note(Kinds* kinds, const FailureKey& key, int machine) {
    auto found = kinds->index.find({key.family, key.what});
    if (found == kinds->index.end()) {
        found = kinds->index.emplace(std::make_pair(key.family, key.what), kinds->list.size()).first;
        kinds->list.push_back({key.family, key.what, {}, 0, {}});
    }
    Kind* kind = &kinds->list[found->second];
    kind->sleeps++;
    kind->machines[machine]++;
    if (!key.happened.empty() &&
        std::find(kind->happened.begin(), kind->happened.end(), key.happened) == kind->happened.end())
        kind->happened.push_back(key.happened);
}

Kinds FailureKinds(const FleetMachine* machines, int machineCount) {
    Kinds kinds;
    for (int m = 0; m < machineCount; m++) {
        for (const SleepRecord& r : machines[m].records)
            for (const FailureKey& key : FailureKeysOf(r)) Note(&kinds, key, m);
    }
    std::stable_sort(kinds.list.begin(), kinds.list.end(), [](const Kind& a, const Kind& b) {
        if (a.family != b.family) return a.family < b.family;
        if (a.sleeps != b.sleeps) return a.sleeps > b.sleeps;
        return a.what < b.what;
    });
    return kinds;
}

// ---- The page ------------------------------------------------------------------

void WriteStyle(std::string* page) {
    char red[8], yellow[8];
    HexColour(GetLevelColours(LOG_ERROR).back, red);
    HexColour(GetLevelColours(LOG_WARNING).back, yellow);
    *page +=
        "<style>\n"
        "body{font:13px/1.45 \"Segoe UI\",Arial,Helvetica,sans-serif;color:#222;background:#fff;margin:16px 20px}\n"
        "h1{font-size:20px;margin:0 0 6px}h2{font-size:15px;margin:22px 0 8px;padding-bottom:3px;"
        "border-bottom:1px solid #ddd}\n"
        "table{border-collapse:collapse;font-size:12px}\n"
        "th{background:#f0f0f0;text-align:left;font-weight:600;border-bottom:1px solid #ccc}\n"
        "td,th{padding:2px 6px;white-space:nowrap;vertical-align:top}td{border-bottom:1px solid #eaeaea}\n"
        ".n{text-align:right}.w{white-space:normal;min-width:120px;max-width:360px;overflow-wrap:anywhere}\n"
        ".z{color:#bbb}.note{color:#777}\n"
        "th i{display:inline-block;width:10px;height:10px;margin-right:4px;vertical-align:-1px;"
        "border:1px solid rgba(0,0,0,.3)}\n";
    *page += std::string("tr.f td:first-child{box-shadow:inset 4px 0 ") + red + "}\n";
    *page += std::string("tr.y td:first-child{box-shadow:inset 4px 0 ") + yellow + "}\n";
    for (int v = 0; v < VERDICT_COUNT; v++) {
        char colour[8];
        HexColour(VerdictColour(v), colour);
        *page += std::string("i.v-") + VerdictId(v) + "{background:" + colour + "}\n";
    }
    *page += "</style>\n";
}

void CountCell(std::string* page, long long count) {
    *page += count ? "<td class=\"n\">" : "<td class=\"n z\">";
    Number(page, count);
    *page += "</td>";
}

void WriteMachineRow(std::string* page, const FleetMachine& m, const MachineSums& s, bool anyOther) {
    *page += s.failed ? "<tr class=\"f\">" : s.runs == 0 ? "<tr class=\"y\">" : "<tr>";
    *page += "<td>";
    Text(page, m.name);
    *page += "</td>";
    CountCell(page, s.runs);
    *page += "<td class=\"n\">";
    Number(page, (long long)m.records.size());
    if (s.badLines > 0) {
        *page += " <span class=\"note\">(";
        Number(page, s.badLines);
        *page += s.badLines == 1 ? " line unreadable)</span>" : " lines unreadable)</span>";
    }
    *page += "</td>";
    for (int v = 0; v < VERDICT_COUNT; v++) CountCell(page, s.verdicts[v]);
    if (anyOther) CountCell(page, s.verdicts[VERDICT_COUNT]);

    *page += "<td class=\"w\">";
    bool any = false;
    for (int reason = 0; reason < LOST_COUNT; reason++) {
        if (s.lost[reason] == 0) continue;
        if (any) *page += ", ";
        Text(page, LostReasonId(reason));
        *page += " ";
        Number(page, s.lost[reason]);
        any = true;
    }
    if (!any) *page += "\xE2\x80\x93";
    *page += "</td>";
    CountCell(page, s.deviceFaults);

    *page += "<td class=\"n\">";
    if (s.worstResumeMs >= 0) {
        Number(page, s.worstResumeMs);
        *page += " ms <span class=\"note\">(cycle ";
        Number(page, s.worstResumeCycle);
        *page += ")</span>";
    } else {
        *page += "\xE2\x80\x93";
    }
    *page += "</td><td>";
    if (s.exitFile) {
        Number(page, s.exitFile->exitCode);
        if (s.exitFile->runState[0]) {
            *page += " <span class=\"note\">(";
            Text(page, s.exitFile->runState);
            *page += ")</span>";
        }
    } else if (s.stateFile) {
        Text(page, s.stateFile->runState);
    } else {
        *page += "\xE2\x80\x93";
    }
    *page += "</td><td class=\"w\">";
    any = false;
    for (const FleetFile& file : m.files) {
        if (!file.pageLink[0]) continue;
        if (any) *page += "<br>";
        *page += "<a href=\"";
        Text(page, LinkHref(file.pageLink));
        *page += "\">";
        Text(page, BaseName(file.pageLink));
        *page += "</a>";
        any = true;
    }
    if (!any) *page += "\xE2\x80\x93";
    *page += "</td></tr>\n";
}

void WriteMachines(std::string* page, const FleetMachine* machines, int machineCount,
                   const std::vector<MachineSums>& sums) {
    bool anyOther = false;
    for (const MachineSums& s : sums) anyOther = anyOther || s.verdicts[VERDICT_COUNT] > 0;
    *page += "<h2>Machines</h2>\n<table>\n<tr><th>Machine</th><th class=\"n\">Runs</th><th class=\"n\">Sleeps</th>";
    for (int v = 0; v < VERDICT_COUNT; v++) {
        *page += std::string("<th class=\"n\"><i class=\"v-") + VerdictId(v) + "\"></i>" + VerdictId(v) + "</th>";
    }
    if (anyOther) *page += "<th class=\"n\">other</th>";
    *page += "<th>Lost reasons</th><th class=\"n\">Device faults</th><th class=\"n\">Worst resume</th>"
             "<th>Exit code</th><th>Report</th></tr>\n";
    for (int m = 0; m < machineCount; m++) WriteMachineRow(page, machines[m], sums[m], anyOther);
    *page += "</table>\n";
}

void WriteKinds(std::string* page, const FleetMachine* machines, int machineCount) {
    Kinds kinds = FailureKinds(machines, machineCount);
    *page += "<h2>Failures by kind</h2>\n";
    if (kinds.list.empty()) {
        *page += "<p>No sleep failed, and no device went missing or had a problem.</p>\n";
        return;
    }
    *page += "<table>\n<tr><th>Kind</th><th>Failure</th><th class=\"n\">Sleeps</th>"
             "<th class=\"n\">Machines</th><th>Which</th></tr>\n";
    for (const Kind& kind : kinds.list) {
        *page += std::string("<tr><td>") + KIND_NAMES[kind.family] + "</td><td class=\"w\">";
        Text(page, kind.what);
        if (!kind.happened.empty()) {
            *page += ": ";
            for (size_t i = 0; i < kind.happened.size(); i++) {
                if (i > 0) *page += "; ";
                Text(page, kind.happened[i]);
            }
        }
        *page += "</td>";
        CountCell(page, kind.sleeps);
        CountCell(page, (long long)kind.machines.size());
        // Where it happened most first.
        std::vector<std::pair<int, int>> where(kind.machines.begin(), kind.machines.end());
        std::stable_sort(where.begin(), where.end(),
                         [](const std::pair<int, int>& a, const std::pair<int, int>& b) { return a.second > b.second; });
        *page += "<td class=\"w\">";
        for (size_t i = 0; i < where.size(); i++) {
            if (i > 0) *page += ", ";
            Text(page, machines[where[i].first].name);
            *page += " ";
            Number(page, where[i].second);
        }
        *page += "</td></tr>\n";
    }
    *page += "</table>\n";
}

}  // namespace

void BuildFleetPage(const FleetMachine* machines, int machineCount, std::string* page) {
    page->clear();
    std::vector<MachineSums> sums;
    long long runs = 0, sleeps = 0, failed = 0;
    for (int m = 0; m < machineCount; m++) {
        sums.push_back(Sum(machines[m]));
        runs += sums.back().runs;
        sleeps += (long long)machines[m].records.size();
        failed += sums.back().failed;
    }
    char title[96];
    snprintf(title, sizeof(title), "Sleep runs of %d machine%s", machineCount, machineCount == 1 ? "" : "s");
    *page += "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
             "<meta name=\"viewport\" content=\"width=device-width\">\n<title>";
    *page += title;
    *page += "</title>\n";
    WriteStyle(page);
    *page += "</head><body>\n<h1>";
    *page += title;
    *page += "</h1>\n<p>";
    Number(page, runs);
    *page += runs == 1 ? " run, " : " runs, ";
    Number(page, sleeps);
    *page += sleeps == 1 ? " sleep, " : " sleeps, ";
    Number(page, failed);
    *page += " not ok.</p>\n";
    WriteMachines(page, machines, machineCount, sums);
    WriteKinds(page, machines, machineCount);
    *page += "</body></html>\n";
}

bool ReadFleetStatus(const char* text, size_t length, FleetFile* file) {
    nlohmann::json status = nlohmann::json::parse(text, text + length, nullptr, false);
    if (status.is_discarded() || !status.is_object()) return false;
    file->runState[0] = '\0';
    file->exitCodeKnown = false;
    file->exitCode = 0;
    auto state = status.find("state");
    if (state != status.end() && state->is_string())
        CopyUtf8(file->runState, sizeof(file->runState), state->get_ref<const std::string&>().c_str());
    auto code = status.find("exit_code");
    if (code != status.end() && code->is_number_integer()) {
        // One past the range of long long reads as unsigned: no exit code either.
        bool huge = code->is_number_unsigned() && code->get<unsigned long long>() > 0x7FFFFFFFULL;
        long long value = huge ? 0 : code->get<long long>();
        if (!huge && value >= -0x7FFFFFFFLL - 1 && value <= 0x7FFFFFFFLL) {
            file->exitCodeKnown = true;
            file->exitCode = (int)value;
        }
    }
    return true;
}
