// What the results file adds to one cycle: the record of a sleep formatted,
// appended and forced to the device, as the engine does after every sleep.
// Run by hand under Wine (see README.md): bash bench/wine.sh results_bench.exe [records] [folder]
#include <windows.h>
#include <algorithm>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <vector>
#include "bench/bench_clock.h"
#include "log/log.h"
#include "power/power.h"
#include "results/results.h"
#include "ui/ui.h"

int main(int argc, char** argv) {
    int records = argc > 1 ? atoi(argv[1]) : 200;
    if (records <= 0) records = 200;
    char folder[MAX_PATH];
    if (argc > 2) {
        snprintf(folder, sizeof(folder), "%s", argv[2]);
    } else {
        // A normal folder beside the program (in the build tree), not a RAM disk.
        GetModuleFileNameA(nullptr, folder, sizeof(folder));
        char* slash = strrchr(folder, '\\');
        if (slash) *slash = '\0';
    }
    char path[MAX_PATH];
    snprintf(path, sizeof(path), "%s\\results_bench.jsonl", folder);
    DeleteFileA(path);
    snprintf(gResultsPath, sizeof(gResultsPath), "%s", path);

    // A record with every text field filled, as after a wake with a wake source.
    std::vector<double> costs;
    costs.reserve(records);
    double formatOnly = 0;
    for (int i = 0; i < records; i++) {
        SleepRecord result;
        ClearSleepRecord(&result);
        result.cycle = i + 1;
        result.requestedState = SLEEP_S3;
        result.enteredState = SLEEP_S3;
        result.requestedSec = 60;
        result.measuredSec = 61;
        result.asleepSource = ASLEEP_FROM_STAMPS;
        result.asleepSec = 60;
        result.verdict = VERDICT_OK;
        snprintf(result.wakeSource, sizeof(result.wakeSource), "USB Root Hub (USB 3.0) \"port 2\"");
        result.startUtc = 134411210940000000LL + (long long)i * 610000000LL;
        result.endUtc = result.startUtc + 610000000LL;

        static char line[RESULT_LINE_SIZE];
        double start = Seconds();
        FormatResultLine(&result, line, sizeof(line));
        formatOnly += Seconds() - start;
        start = Seconds();
        WriteSleepResult(&result);  // format, append, flush, close: the engine's own path
        costs.push_back((Seconds() - start) * 1000.0);
    }
    std::sort(costs.begin(), costs.end());
    double sum = 0;
    for (double cost : costs) sum += cost;
    WIN32_FILE_ATTRIBUTE_DATA data;
    unsigned long size = GetFileAttributesExA(path, GetFileExInfoStandard, &data) ? data.nFileSizeLow : 0;
    printf("results file: %s\n", path);
    printf("records: %d (%lu bytes, %lu bytes a record); records lost: %d\n", records, size,
           records ? size / (unsigned long)records : 0ul, gRunTally.recordsLost);
    printf("cost a cycle, ms: mean %.3f  median %.3f  p95 %.3f  max %.3f  (formatting alone %.4f)\n",
           sum / records, costs[records / 2], costs[(records * 95) / 100 < records ? (records * 95) / 100 : records - 1],
           costs.back(), formatOnly * 1000.0 / records);
    DeleteFileA(path);
    return gRunTally.recordsLost ? 1 : 0;
}
