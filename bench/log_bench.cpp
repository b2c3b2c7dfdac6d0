// Lines per second into the Logger: one thread and three contending threads,
// with the log file off and on. Run by hand under Wine (see README.md).
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <thread>
#include <vector>
#include "log/log.h"
#include "settings/settings.h"
#include "bench/bench_clock.h"
#include "results/results.h"
#include "ui/ui.h"


// Adds linesPerThread lines on each of threads threads; returns lines per second.
static double Measure(Logger* logger, int threads, int linesPerThread) {
    double start = Seconds();
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([=] {
            char text[128];
            for (int n = 0; n < linesPerThread; ++n) {
                snprintf(text, sizeof(text), "Thread %d line %d: Going to sleep, S3, Unforced, Duration 30sec", t, n);
                logger->AddLine(text, LOG_INFO);
            }
        });
    for (auto& worker : workers) worker.join();
    return threads * (double)linesPerThread / (Seconds() - start);
}

int main(int argc, char** argv) {
    // An optional factor scales every run (default 1).
    double scale = argc > 1 ? atof(argv[1]) : 1.0;
    if (scale <= 0) scale = 1.0;
    theConfig = new Config(GetModuleHandleA(nullptr));
    char path[MAX_PATH];
    GetTempPathA(sizeof(path), path);
    strncat(path, "vesplin_log_bench.log", sizeof(path) - strlen(path) - 1);
    SetConfigText(theConfig->settings.logFilePath, path);
    Logger logger;

    struct Run {
        const char* name;
        int file, threads, lines;
    } runs[] = {
        {"1 thread,  file off", 0, 1, 200000},
        {"1 thread,  file on ", 1, 1, 3000},
        {"3 threads, file off", 0, 3, 70000},
        {"3 threads, file on ", 1, 3, 1000},
    };
    for (const Run& run : runs) {
        theConfig->settings.logToFile = (uint8_t)run.file;
        DeleteFileA(path);
        int lines = (int)(run.lines * scale);
        if (lines < 1) lines = 1;
        double rate = Measure(&logger, run.threads, lines);
        printf("%s: %10.0f lines/s  (%d lines)\n", run.name, rate, lines * run.threads);
    }
    DeleteFileA(path);
    return 0;
}
