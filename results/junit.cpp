// The results as JUnit XML for a CI server: a testsuite a run, a testcase a
// sleep. Only what Jenkins, GitLab and Azure Pipelines all read is written:
// testsuites, testsuite with its counters, testcase, failure and system-out.
#include <stdio.h>
#include <string.h>
#include <algorithm>
#include <deque>
#include <string>
#include <unordered_map>
#include <vector>
#include "results/results.h"

// ---- XML text -----------------------------------------------------------------

// Replaces what XML 1.0 cannot carry, not even as a reference.
static const char REPLACEMENT[] = "\xEF\xBF\xBD";

// Length of the well-formed UTF-8 character at p (2..4 bytes of the
// length bytes left) and its code point; 0 when the bytes are not one.
static size_t DecodeUtf8(const unsigned char* p, size_t left, unsigned* code) {
    unsigned c = p[0];
    size_t length;
    unsigned least;
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2, least = 0x80, c &= 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3, least = 0x800, c &= 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4, least = 0x10000, c &= 0x07;
    } else {
        return 0;
    }
    if (length > left) return 0;
    for (size_t i = 1; i < length; i++) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        c = (c << 6) | (p[i] & 0x3F);
    }
    if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
    *code = c;
    return length;
}

void AppendXmlText(std::string* out, const char* text, size_t length, bool attribute) {
    const unsigned char* p = (const unsigned char*)text;
    const unsigned char* end = p + length;
    const unsigned char* run = p;  // plain bytes not yet copied
    while (p < end) {
        unsigned char c = *p;
        const char* piece = nullptr;
        size_t taken = 1;
        if (c >= 0x80) {
            unsigned code = 0;
            taken = DecodeUtf8(p, (size_t)(end - p), &code);
            if (taken == 0) {
                taken = 1;
                piece = REPLACEMENT;
            } else if ((code >= 0x80 && code <= 0x9F) || code == 0xFFFE || code == 0xFFFF) {
                piece = REPLACEMENT;  // C1 controls and the two non-characters XML excludes
            }
        } else if (c == '&') {
            piece = "&amp;";
        } else if (c == '<') {
            piece = "&lt;";
        } else if (c == '>') {
            piece = "&gt;";  // so "]]>" never appears
        } else if (c == '"' && attribute) {
            piece = "&quot;";
        } else if (c == '\r') {
            piece = "&#13;";  // a bare one would be read as a line end
        } else if ((c == '\n' || c == '\t') && attribute) {
            piece = c == '\n' ? "&#10;" : "&#9;";  // an attribute's own would be read as spaces
        } else if ((c < 0x20 && c != '\n' && c != '\t') || c == 0x7F) {
            piece = REPLACEMENT;
        }
        if (piece) {
            out->append((const char*)run, (size_t)(p - run));
            out->append(piece);
            run = p + taken;
        }
        p += taken;
    }
    out->append((const char*)run, (size_t)(p - run));
}

static void Append(std::string* out, const char* text, bool attribute) {
    AppendXmlText(out, text, strlen(text), attribute);
}
static void Append(std::string* out, const std::string& text, bool attribute) {
    AppendXmlText(out, text.data(), text.size(), attribute);
}

// ---- What a failed sleep says ------------------------------------------------------

static const char* VerdictName(int verdict) { return VerdictId(verdict)[0] ? VerdictId(verdict) : "failed"; }
static const char* StateName(int state) { return StateId(state) ? StateId(state) : "unknown state"; }

// A device as the message names it: its name, else its instance id.
static const std::string& DeviceName(const DeviceEntry& d) { return d.name.empty() ? d.id : d.name; }

// At most this many devices of a list are named in a message; the body names them all.
static const size_t NAMED_DEVICES = 10;

static void AppendDeviceNames(std::string* text, const char* what, const std::vector<DeviceEntry>& devices) {
    if (devices.empty()) return;
    *text += what;
    for (size_t i = 0; i < devices.size() && i < NAMED_DEVICES; i++) {
        if (i > 0) *text += ", ";
        *text += DeviceName(devices[i]);
        if (devices[i].code != 0) *text += " (code " + std::to_string(devices[i].code) + ")";
    }
    if (devices.size() > NAMED_DEVICES) *text += ", and " + std::to_string(devices.size() - NAMED_DEVICES) + " more";
}

// The verdict and its cause in one line, as the failure's message.
static std::string FailureMessage(const SleepRecord& r) {
    std::string cause = FailureCause(r);
    bool wokenEarlyOrLate = r.verdict == VERDICT_TOO_SHORT || r.verdict == VERDICT_TOO_LONG;
    if (wokenEarlyOrLate && r.wakeSource[0]) cause += (cause.empty() ? "woken by " : ", woken by ") + std::string(r.wakeSource);
    if (HasDeviceFault(r.devices)) {
        std::string devices;
        AppendDeviceNames(&devices, "missing: ", r.devices.missing);
        if (!devices.empty() && !r.devices.problems.empty()) devices += "; ";
        AppendDeviceNames(&devices, "with a problem: ", r.devices.problems);
        cause += (cause.empty() ? "" : "; ") + devices;
    }
    return cause.empty() ? VerdictName(r.verdict) : VerdictName(r.verdict) + (": " + cause);
}

// The failure's text: the message, then each device that failed in full.
static std::string FailureBody(const SleepRecord& r, const std::string& message) {
    std::string body = message;
    char start[32];
    FormatUtcTime(r.startUtc, start, sizeof(start));
    body += std::string("\nCycle ") + std::to_string(r.cycle) + ", " + StateName(r.requestedState);
    if (start[0]) body += std::string(", began ") + start;
    if (r.devices.known) {
        for (const DeviceEntry& d : r.devices.missing)
            body += "\nMissing: " + DeviceName(d) + " [" + d.cls + "] " + d.id;
        for (const DeviceEntry& d : r.devices.problems)
            body += "\nProblem: " + DeviceName(d) + " [" + d.cls + "] " + d.id + ": " + DeviceProblemText(d.code);
    }
    return body;
}

// ---- The suites -----------------------------------------------------------------------

namespace {

struct Totals {
    long long tests;
    long long failures;
    long long seconds;
};

// A testcase's seconds: unknown or negative counts as none.
long long CaseSeconds(int measuredSec) { return measuredSec > 0 ? measuredSec : 0; }

// Sleeps folded into one case: the ok ones of a state, or the failures of a
// verdict beyond the run's first JUNIT_CASES_PER_RUN.
struct Fold {
    long long count;
    long long seconds;
    std::vector<int> cycles;
};
const int STATE_FOLDS = 5;  // S1..S4, then an unknown state
const int VERDICT_FOLDS = VERDICT_COUNT + 1;  // the last: a verdict this build does not know
static_assert(JUNIT_CASES_PER_RUN <= REPORT_FAILED_ROWS, "the report keeps every failure with a case of its own");

// One run's suite: counted first, so that its counters (and the document's)
// are known before its testcases are written straight into the document.
struct SuitePlan {
    const RunDigest* run;
    std::string name;
    const char* host;
    bool folding;
    Fold okByState[STATE_FOLDS];
    Fold failedByVerdict[VERDICT_FOLDS];
    Totals totals;
};

// Whether a sleep of the plan keeps a testcase of its own; kept counts the failures that do.
bool KeepsCase(const SuitePlan& plan, const ReportRow& r, long long* kept) {
    if (r.verdict == VERDICT_OK) return !plan.folding;
    if (plan.folding && *kept >= JUNIT_CASES_PER_RUN) return false;
    ++*kept;
    return true;
}

void Count(Totals* totals, long long seconds, bool failed) {
    totals->tests++;
    totals->seconds += seconds;
    totals->failures += failed;
}

int StateFold(int state) { return state >= 0 && state < 4 ? state : STATE_FOLDS - 1; }

void PlanSuite(SuitePlan* plan) {
    const std::vector<ReportRow>& rows = plan->run->rows;
    plan->folding = rows.size() > JUNIT_CASES_PER_RUN;
    plan->totals = {0, 0, 0};
    long long kept = 0;
    for (const ReportRow& r : rows) {
        bool ok = r.verdict == VERDICT_OK;
        if (KeepsCase(*plan, r, &kept)) {
            Count(&plan->totals, CaseSeconds(r.measuredSec), !ok);
            continue;
        }
        Fold* fold = ok ? &plan->okByState[StateFold(r.requestedState)]
                        : &plan->failedByVerdict[r.verdict >= 0 && r.verdict < VERDICT_COUNT ? r.verdict : (int)VERDICT_COUNT];
        fold->count++;
        fold->seconds += CaseSeconds(r.measuredSec);
        if (!ok) fold->cycles.push_back(r.cycle);
    }
    for (const Fold& fold : plan->okByState)
        if (fold.count) Count(&plan->totals, fold.seconds, false);
    for (Fold& fold : plan->failedByVerdict) {
        if (!fold.count) continue;
        Count(&plan->totals, fold.seconds, true);
        std::sort(fold.cycles.begin(), fold.cycles.end());
        fold.cycles.erase(std::unique(fold.cycles.begin(), fold.cycles.end()), fold.cycles.end());
    }
}

// The attributes every testcase of a suite shares, escaped once.
struct CaseParts {
    std::string classname;  // ` classname="vesplin.pc" time="`
};

void OpenCase(std::string* out, const char* name, const CaseParts& parts, long long seconds) {
    *out += "<testcase name=\"";
    Append(out, name, true);
    *out += parts.classname;
    char time[24];
    snprintf(time, sizeof(time), "%lld\"", seconds);
    *out += time;
}

void FailureElement(std::string* out, const std::string& message, const char* type, const std::string& body) {
    *out += "<failure message=\"";
    Append(out, message, true);
    *out += "\" type=\"";
    Append(out, type, true);
    *out += "\">";
    Append(out, body, false);
    *out += "</failure>";
}

void SleepCase(std::string* out, const SleepRecord& r, const char* name, const CaseParts& parts) {
    OpenCase(out, name, parts, CaseSeconds(r.measuredSec));
    if (r.verdict == VERDICT_OK) {
        *out += "/>\n";
        return;
    }
    *out += ">\n";
    std::string message = FailureMessage(r);
    FailureElement(out, message, VerdictName(r.verdict), FailureBody(r, message));
    std::string line;
    if (FormatResultLine(&r, &line)) {
        line.pop_back();  // its line end
        *out += "\n<system-out>";
        Append(out, line, false);
        *out += "</system-out>";
    }
    *out += "\n</testcase>\n";
}

// The names of a suite's sleeps, "cycle 0007 S3 60 s", each made unique: a
// run taken back after a power loss may repeat a cycle's state.
struct CaseNames {
    std::unordered_map<unsigned long long, int> seen[STATE_FOLDS];  // cycle and seconds, by state
};

void CaseName(const ReportRow& r, CaseNames* names, char* out, size_t outSize) {
    int state = StateFold(r.requestedState);
    int length;
    if (r.requestedSec >= 0)
        length = snprintf(out, outSize, "cycle %04d %s %d s", r.cycle, StateName(r.requestedState), r.requestedSec);
    else
        length = snprintf(out, outSize, "cycle %04d %s", r.cycle, StateName(r.requestedState));
    unsigned long long key = ((unsigned long long)(unsigned)r.cycle << 32) | (unsigned)r.requestedSec;
    int times = ++names->seen[state][key];
    if (times > 1 && length > 0 && (size_t)length < outSize) snprintf(out + length, outSize - length, " #%d", times);
}

void WriteSuite(const SuitePlan& plan, std::string* out) {
    *out += "<testsuite name=\"";
    Append(out, plan.name, true);
    *out += "\" hostname=\"";
    Append(out, plan.host, true);
    *out += "\"";
    char start[32];
    FormatUtcTime(plan.run->firstStartUtc, start, sizeof(start));
    if (start[0]) {
        // The readers take the Ant form, without a zone; the time is UTC.
        start[strlen(start) - 1] = '\0';
        *out += " timestamp=\"";
        *out += start;
        *out += "\"";
    }
    char counters[160];
    snprintf(counters, sizeof(counters), " tests=\"%lld\" failures=\"%lld\" errors=\"0\" skipped=\"0\" time=\"%lld\">\n",
             plan.totals.tests, plan.totals.failures, plan.totals.seconds);
    *out += counters;

    CaseParts parts;
    std::string classname = "vesplin.";
    // A dot would split the machine's name into Jenkins's packages.
    for (const char* p = plan.host; *p; p++) classname += *p == '.' ? '_' : *p;
    parts.classname = "\" classname=\"";
    Append(&parts.classname, classname, true);
    parts.classname += "\" time=\"";

    CaseNames* names = new CaseNames;
    long long kept = 0;
    const std::vector<ReportRow>& rows = plan.run->rows;
    for (size_t i = 0; i < rows.size(); i++) {
        const ReportRow& r = rows[i];
        if (!KeepsCase(plan, r, &kept)) continue;
        char name[96];
        CaseName(r, names, name, sizeof(name));
        const SleepRecord* record = r.verdict == VERDICT_OK ? nullptr : KeptRecordOf(*plan.run, (int)i);
        if (record) {
            SleepCase(out, *record, name, parts);
        } else {
            // A passing sleep needs no more than its row.
            OpenCase(out, name, parts, CaseSeconds(r.measuredSec));
            *out += "/>\n";
        }
    }
    delete names;
    for (int s = 0; s < STATE_FOLDS; s++) {
        const Fold& fold = plan.okByState[s];
        if (fold.count == 0) continue;
        std::string name = std::string(s < 4 ? StateId(s) : "unknown state") + ": " + Grouped(fold.count) + " ok";
        OpenCase(out, name.c_str(), parts, fold.seconds);
        *out += "/>\n";
    }
    std::string limit = Grouped(JUNIT_CASES_PER_RUN);
    for (int v = 0; v < VERDICT_FOLDS; v++) {
        const Fold& fold = plan.failedByVerdict[v];
        if (fold.count == 0) continue;
        const char* verdict = v < VERDICT_COUNT ? VerdictName(v) : "failed";
        std::string name = std::string(verdict) + ": " + Grouped(fold.count) + " beyond the first " + limit + " failures";
        std::string message = Grouped(fold.count) + " more " + verdict + " sleeps beyond the run's first " + limit +
                              " failures, cycles " + CycleRanges(fold.cycles, 20);
        OpenCase(out, name.c_str(), parts, fold.seconds);
        *out += ">\n";
        FailureElement(out, message, verdict, message);
        *out += "\n</testcase>\n";
    }
    *out += "</testsuite>\n";
}

// Each run of the digest as a suite's plan. fleetMachine: the machine's
// name, put in the suites' names, for a file of many machines; null for one
// machine's own file.
void PlanRuns(std::vector<SuitePlan>* plans, const char* fallbackHost, const char* fleetMachine,
              const ReportDigest& digest, int* runNumber) {
    for (const RunDigest& run : digest.runs) {
        plans->emplace_back();
        SuitePlan& plan = plans->back();
        plan.run = &run;
        plan.host = run.computer[0] ? run.computer : fallbackHost && fallbackHost[0] ? fallbackHost : "unknown";
        ++*runNumber;
        plan.name = "vesplin ";
        if (fleetMachine) plan.name += std::string(fleetMachine) + " ";
        plan.name += run.runId[0] ? std::string(run.runId) : "run " + std::to_string(*runNumber);
        PlanSuite(&plan);
    }
}

void WriteDocument(const std::vector<SuitePlan>& plans, std::string* xml) {
    Totals totals = {0, 0, 0};
    for (const SuitePlan& plan : plans) {
        totals.tests += plan.totals.tests;
        totals.failures += plan.totals.failures;
        totals.seconds += plan.totals.seconds;
    }
    char root[200];
    snprintf(root, sizeof(root),
             "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
             "<testsuites name=\"vesplin\" tests=\"%lld\" failures=\"%lld\" errors=\"0\" time=\"%lld\">\n",
             totals.tests, totals.failures, totals.seconds);
    xml->clear();
    // About a hundred bytes a passing case, and a record's line and more a failing one.
    xml->reserve((size_t)(totals.tests * 110 + totals.failures * 1200 + 1024));
    *xml += root;
    for (const SuitePlan& plan : plans) WriteSuite(plan, xml);
    *xml += "</testsuites>\n";
}

}  // namespace

void BuildJUnitReport(const ReportHeader* header, const ReportDigest& digest, std::string* xml) {
    std::vector<SuitePlan> plans;
    int runNumber = 0;
    PlanRuns(&plans, header ? header->computer : "", nullptr, digest, &runNumber);
    WriteDocument(plans, xml);
}

void BuildJUnitReport(const ReportHeader* header, const SleepRecord* records, int count, std::string* xml) {
    ReportDigest digest;
    DigestOf(records, count, 0, &digest);
    BuildJUnitReport(header, digest, xml);
}

void BuildFleetJUnit(const FleetMachine* machines, int machineCount, std::string* xml) {
    std::vector<SuitePlan> plans;
    std::deque<ReportDigest> digests;  // the plans point into them
    for (int m = 0; m < machineCount; m++) {
        const FleetMachine& machine = machines[m];
        int runNumber = 0;
        // Each file's runs apart: two files never share a run.
        for (const FleetFile& file : machine.files) {
            if (file.count <= 0 || file.first < 0 || file.first + file.count > (int)machine.records.size()) continue;
            digests.emplace_back();
            DigestOf(machine.records.data() + file.first, file.count, 0, &digests.back());
            PlanRuns(&plans, machine.name, machine.name, digests.back(), &runNumber);
        }
    }
    WriteDocument(plans, xml);
}
