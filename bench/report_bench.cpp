// What rebuilding the run report costs after a sleep: a results file of many
// records (every verdict, resume phases and the other optional fields on
// each, as the program writes them) is read once as a start does, then each
// round takes one more record and builds the page and the JUnit file, as the
// engine does after every record. Run by hand under Wine (see README.md):
//   bash bench/wine.sh report_bench.exe [records] [runs] [folder] [--all-failed]
//   bash bench/wine.sh report_bench.exe --sample <results file>
// --sample writes six made-up records of different kinds and the page beside
// them (for scripts/report-shot.sh), and keeps both.
#include <windows.h>
#include <algorithm>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <vector>
#include "bench/bench_clock.h"
#include "log/log.h"
#include "power/power.h"
#include "results/results.h"
#include "ui/ui.h"

namespace {

struct Sample {
    const char* verdict;
    int state;
    int requestedSec;
    int measuredSec;
    const char* wakeSource;
    long errorCode;
    const char* extra;  // the fields that are not in SleepResult, as JSON members
};

const char* const PHASES =
    "\"phases\":{\"sleep_ms\":1311,\"wake_ms\":2207,\"firmware_ms\":486,\"drivers_ms\":1688,\"hiber_write_ms\":0,"
    "\"hiber_read_ms\":0,\"hiber_pages\":0}";

// One record line with its extra members before the closing brace.
bool RecordLine(int cycle, const Sample* s, long long startUtc, char* out, size_t outSize) {
    SleepRecord r;
    ClearSleepRecord(&r);
    r.cycle = cycle;
    r.requestedState = s->state;
    r.enteredState = strcmp(s->verdict, "refused") == 0 ? -1 : s->state;
    r.requestedSec = s->requestedSec;
    r.measuredSec = s->measuredSec;
    bool asleepKnown = strcmp(s->verdict, "refused") != 0 && strcmp(s->verdict, "lost") != 0;
    r.asleepSource = asleepKnown ? ASLEEP_FROM_STAMPS : ASLEEP_UNKNOWN;
    r.asleepSec = strcmp(s->verdict, "not_slept") == 0 ? 0 : s->measuredSec;
    r.verdict = VerdictFromId(s->verdict);
    snprintf(r.wakeSource, sizeof(r.wakeSource), "%s", s->wakeSource);
    r.startUtc = startUtc;
    r.endUtc = startUtc + (long long)s->measuredSec * 10000000LL;
    r.errorCode = s->errorCode;
    static char line[RESULT_LINE_SIZE];
    if (!FormatResultLine(&r, line, sizeof(line))) return false;
    char* close = strrchr(line, '}');
    if (!close) return false;
    *close = '\0';
    int length = snprintf(out, outSize, "%s%s%s}\n", line, s->extra[0] ? "," : "", s->extra);
    return length > 0 && (size_t)length < outSize;
}

// Writes the records of samples, in turn, until count; false on a write error.
bool WriteRecords(const char* path, const Sample* samples, int kinds, int count) {
    DeleteFileA(path);
    long long start = 134411210940000000LL;  // 2026-12-07 12:44:54 UTC
    for (int i = 0; i < count; i++) {
        const Sample* s = &samples[i % kinds];
        static char line[RESULT_LINE_SIZE + 1024];
        if (!RecordLine(i + 1, s, start, line, sizeof(line)) || AppendResultLine(path, line) != 0) return false;
        start += (long long)(s->measuredSec + 40) * 10000000LL;
    }
    return true;
}

int WriteSample(const char* path) {
    static char phases[512], lost[256];
    snprintf(phases, sizeof(phases), "%s,\"target_state\":\"S3\",\"effective_state\":\"S3\"", PHASES);
    snprintf(lost, sizeof(lost), "\"lost_reason\":\"hung_after_wake\",\"bugcheck\":\"0x0000009F\"");
    const Sample samples[] = {
        {"ok", SLEEP_S3, 60, 61, "HID Keyboard Device", 0, phases},
        {"ok", SLEEP_S3, 60, 60, "ACPI Power Button", 0,
         "\"phases\":{\"sleep_ms\":1190,\"wake_ms\":1950,\"firmware_ms\":512,\"drivers_ms\":1302},"
         "\"target_state\":\"S3\",\"effective_state\":\"S3\""},
        {"long", SLEEP_S4, 90, 131, "USB Root Hub (USB 3.0)", 0,
         "\"phases\":{\"sleep_ms\":5210,\"wake_ms\":9480,\"firmware_ms\":1420,\"drivers_ms\":2210,"
         "\"hiber_write_ms\":3900,\"hiber_read_ms\":4100,\"hiber_pages\":412311},"
         "\"target_state\":\"S4\",\"effective_state\":\"S4\""},
        {"short", SLEEP_S3, 60, 34, "Intel(R) Ethernet Connection I219-LM", 0,
         "\"target_state\":\"S3\",\"effective_state\":\"S3\""},
        {"lost", SLEEP_S3, 60, 412, "", 0, lost},
        {"refused", SLEEP_S1, 30, 0, "", 50, "\"target_state\":\"S1\",\"effective_state\":null"},
    };
    const int kinds = (int)(sizeof(samples) / sizeof(samples[0]));
    if (!WriteRecords(path, samples, kinds, kinds)) return 1;
    char page[MAX_PATH];
    if (!DefaultReportPath(path, page, sizeof(page))) return 1;
    ReportHeader header;
    FillReportHeader(&header);
    snprintf(header.commandLine, sizeof(header.commandLine),
             "Vesplin.exe -S0110 -R 60 -N 6 -D 0 -E --results=\"%s\"", path);
    header.exitCodeKnown = true;
    header.exitCode = EXIT_SLEEP_FAILED;
    int error = WriteRunReport(path, page, &header);
    printf("%s\n", error ? "could not write the page" : page);
    return error ? 1 : 0;
}

// The median of some times.
double Median(std::vector<double> costs) {
    std::sort(costs.begin(), costs.end());
    return costs.empty() ? 0 : costs[costs.size() / 2];
}

unsigned long FileSize(const char* path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    return GetFileAttributesExA(path, GetFileExInfoStandard, &data) ? data.nFileSizeLow : 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 2 && strcmp(argv[1], "--sample") == 0) return WriteSample(argv[2]);
    bool allFailed = false;
    std::vector<const char*> args;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--all-failed") == 0)
            allFailed = true;
        else
            args.push_back(argv[i]);
    }
    int records = args.size() > 0 ? atoi(args[0]) : 1000;
    int runs = args.size() > 1 ? atoi(args[1]) : 20;
    if (records <= 0) records = 1000;
    if (runs <= 0) runs = 20;
    char folder[MAX_PATH];
    if (args.size() > 2) {
        snprintf(folder, sizeof(folder), "%s", args[2]);
    } else {
        // A normal folder beside the program (in the build tree), not a RAM disk.
        GetModuleFileNameA(nullptr, folder, sizeof(folder));
        char* slash = strrchr(folder, '\\');
        if (slash) *slash = '\0';
    }
    char results[MAX_PATH], page[MAX_PATH];
    snprintf(results, sizeof(results), "%s\\report_bench.jsonl", folder);
    snprintf(page, sizeof(page), "%s\\report_bench.html", folder);

    // Mostly good sleeps, one of every other verdict in each ten; every record
    // with all the optional fields, for the largest page. --all-failed: the
    // failing ones alone.
    static char full[1024];
    snprintf(full, sizeof(full), "%s,\"target_state\":\"S3\",\"effective_state\":\"S3\",\"lost_reason\":null,"
             "\"bugcheck\":null", PHASES);
    const char* lost = "\"phases\":null,\"target_state\":\"S3\",\"effective_state\":\"S3\",\"lost_reason\":"
                       "\"power_lost_asleep\",\"bugcheck\":\"0x0000009F\"";
    const Sample mixed[] = {
        {"ok", SLEEP_S3, 60, 61, "HID Keyboard Device", 0, full},
        {"ok", SLEEP_S3, 60, 60, "USB Root Hub (USB 3.0)", 0, full},
        {"short", SLEEP_S3, 60, 31, "Intel(R) Ethernet Connection I219-LM", 0, full},
        {"ok", SLEEP_S3, 60, 60, "HID Keyboard Device", 0, full},
        {"long", SLEEP_S3, 60, 95, "ACPI Power Button", 0, full},
        {"ok", SLEEP_S3, 60, 61, "HID Keyboard Device", 0, full},
        {"not_slept", SLEEP_S3, 60, 60, "", 0, full},
        {"refused", SLEEP_S3, 60, 0, "", 50, full},
        {"lost", SLEEP_S3, 60, 900, "", 0, lost},
        {"wrong_state", SLEEP_S3, 60, 60, "HID Keyboard Device", 0, full},
    };
    const Sample failing[] = {
        {"short", SLEEP_S3, 60, 31, "Intel(R) Ethernet Connection I219-LM", 0, full},
        {"long", SLEEP_S3, 60, 95, "ACPI Power Button", 0, full},
        {"not_slept", SLEEP_S3, 60, 60, "", 0, full},
        {"refused", SLEEP_S3, 60, 0, "", 50, full},
        {"lost", SLEEP_S3, 60, 900, "", 0, lost},
        {"wrong_state", SLEEP_S3, 60, 60, "HID Keyboard Device", 0, full},
    };
    const Sample* samples = allFailed ? failing : mixed;
    int kinds = allFailed ? (int)(sizeof(failing) / sizeof(failing[0])) : (int)(sizeof(mixed) / sizeof(mixed[0]));
    // The file holds all but the last record; each round adds that one, as a sleep does.
    if (!WriteRecords(results, samples, kinds, records - 1)) {
        printf("could not write %s\n", results);
        return 1;
    }
    static char last[RESULT_LINE_SIZE + 1024];
    const Sample* lastSample = &samples[(records - 1) % kinds];
    long long lastStart = 134411210940000000LL + (long long)(records - 1) * 100 * 10000000LL;
    if (!RecordLine(records, lastSample, lastStart, last, sizeof(last))) return 1;
    SleepRecord lastRecord;
    if (!ParseResultRecord(last, strlen(last) - 1, &lastRecord)) return 1;

    ReportHeader header;
    FillReportHeader(&header);
    // The start: the file read once, a line at a time.
    double start = Seconds();
    ReportDigest digest;
    if (ReadResultsDigest(results, &digest) != 0) {
        printf("could not read %s\n", results);
        return 1;
    }
    double firstReading = (Seconds() - start) * 1000.0;

    // After each sleep: the record taken into the digest, the page built and
    // put in place whole, the JUnit file built; the digest then let go of the
    // record again, so that every round is the same.
    std::vector<double> costs, junitCosts, rereadCosts;
    size_t junitSize = 0;
    for (int i = 0; i < runs; i++) {
        ReportDigest round = digest;
        start = Seconds();
        AddToDigest(&round, lastRecord);
        std::string built;
        BuildRunReport(&header, results, round, &built);
        int error = ReplaceFileWhole(page, built);
        costs.push_back((Seconds() - start) * 1000.0);
        if (error) {
            printf("could not write the page: error code %d\n", error);
            return 1;
        }
        start = Seconds();
        std::string xml;
        BuildJUnitReport(&header, round, &xml);
        junitCosts.push_back((Seconds() - start) * 1000.0);
        junitSize = xml.size();
    }
    unsigned long pageSize = FileSize(page);
    // What a rebuild would cost that read the whole file again each time.
    if (AppendResultLine(results, last) != 0) return 1;
    for (int i = 0; i < runs && i < 5; i++) {
        start = Seconds();
        int error = WriteRunReport(results, page, &header);
        rereadCosts.push_back((Seconds() - start) * 1000.0);
        if (error) {
            printf("WriteRunReport failed: error code %d\n", error);
            return 1;
        }
    }
    std::sort(costs.begin(), costs.end());
    printf("records: %d, %s (results file %lu bytes)\n", records, allFailed ? "every one failed" : "mixed",
           FileSize(results));
    printf("page: %lu bytes\n", pageSize);
    printf("rebuild after a sleep, ms (%d runs): median %.2f  max %.2f\n", runs, Median(costs), costs.back());
    printf("reading the file once at a start: %.2f ms; a rebuild reading the file again: median %.2f ms\n",
           firstReading, Median(rereadCosts));
    printf("JUnit file: %lu bytes, built in ms (%d runs): median %.2f\n", (unsigned long)junitSize, runs,
           Median(junitCosts));
    DeleteFileA(results);
    DeleteFileA(page);
    return 0;
}
