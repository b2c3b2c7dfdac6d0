// What rebuilding the run report costs after a sleep: a results file of many
// records (every verdict, resume phases and the other optional fields on
// each, as the program writes them) is turned into the HTML page again and
// again with WriteRunReport, as WriteSleepResult does after every record.
// Run by hand under Wine (see README.md):
//   bash bench/wine.sh report_bench.exe [records] [runs] [folder]
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

}  // namespace

int main(int argc, char** argv) {
    if (argc > 2 && strcmp(argv[1], "--sample") == 0) return WriteSample(argv[2]);
    int records = argc > 1 ? atoi(argv[1]) : 1000;
    int runs = argc > 2 ? atoi(argv[2]) : 20;
    if (records <= 0) records = 1000;
    if (runs <= 0) runs = 20;
    char folder[MAX_PATH];
    if (argc > 3) {
        snprintf(folder, sizeof(folder), "%s", argv[3]);
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
    // with all the optional fields, for the largest page.
    static char full[1024];
    snprintf(full, sizeof(full), "%s,\"target_state\":\"S3\",\"effective_state\":\"S3\",\"lost_reason\":null,"
             "\"bugcheck\":null", PHASES);
    const Sample samples[] = {
        {"ok", SLEEP_S3, 60, 61, "HID Keyboard Device", 0, full},
        {"ok", SLEEP_S3, 60, 60, "USB Root Hub (USB 3.0)", 0, full},
        {"short", SLEEP_S3, 60, 31, "Intel(R) Ethernet Connection I219-LM", 0, full},
        {"ok", SLEEP_S3, 60, 60, "HID Keyboard Device", 0, full},
        {"long", SLEEP_S3, 60, 95, "ACPI Power Button", 0, full},
        {"ok", SLEEP_S3, 60, 61, "HID Keyboard Device", 0, full},
        {"not_slept", SLEEP_S3, 60, 60, "", 0, full},
        {"refused", SLEEP_S3, 60, 0, "", 50, full},
        {"lost", SLEEP_S3, 60, 900, "", 0,
         "\"phases\":null,\"target_state\":\"S3\",\"effective_state\":\"S3\",\"lost_reason\":\"power_lost_asleep\","
         "\"bugcheck\":\"0x0000009F\""},
        {"wrong_state", SLEEP_S3, 60, 60, "HID Keyboard Device", 0, full},
    };
    if (!WriteRecords(results, samples, (int)(sizeof(samples) / sizeof(samples[0])), records)) {
        printf("could not write %s\n", results);
        return 1;
    }
    ReportHeader header;
    FillReportHeader(&header);
    std::vector<double> costs, junitCosts;
    size_t junitSize = 0;
    double readOnly = 0;
    for (int i = 0; i < runs; i++) {
        std::vector<SleepRecord> read;
        int bad = 0;
        double start = Seconds();
        ReadResultsFile(results, &read, &bad);
        readOnly += Seconds() - start;
        // The JUnit file is built from the same reading after every record (with --junit).
        start = Seconds();
        std::string xml;
        BuildJUnitReport(&header, read.data(), (int)read.size(), &xml);
        junitCosts.push_back((Seconds() - start) * 1000.0);
        junitSize = xml.size();
        start = Seconds();
        int error = WriteRunReport(results, page, &header);
        costs.push_back((Seconds() - start) * 1000.0);
        if (error) {
            printf("WriteRunReport failed: error code %d\n", error);
            return 1;
        }
    }
    std::sort(costs.begin(), costs.end());
    double sum = 0;
    for (double cost : costs) sum += cost;
    WIN32_FILE_ATTRIBUTE_DATA data;
    unsigned long resultsSize = GetFileAttributesExA(results, GetFileExInfoStandard, &data) ? data.nFileSizeLow : 0;
    unsigned long pageSize = GetFileAttributesExA(page, GetFileExInfoStandard, &data) ? data.nFileSizeLow : 0;
    printf("records: %d (results file %lu bytes)\n", records, resultsSize);
    printf("page: %s, %lu bytes (%lu bytes a record)\n", page, pageSize, pageSize / (unsigned long)records);
    printf("rebuild, ms (%d runs): mean %.2f  median %.2f  p95 %.2f  max %.2f  (reading the file alone %.2f)\n", runs,
           sum / runs, costs[runs / 2], costs[(runs * 95) / 100 < runs ? (runs * 95) / 100 : runs - 1], costs.back(),
           readOnly * 1000.0 / runs);
    std::sort(junitCosts.begin(), junitCosts.end());
    printf("JUnit file: %lu bytes, built in ms (%d runs): median %.2f  max %.2f\n", (unsigned long)junitSize, runs,
           junitCosts[runs / 2], junitCosts.back());
    DeleteFileA(results);
    DeleteFileA(page);
    return 0;
}
