// Records per second through the event-log watcher path: an in-memory event
// log, the real registry and the test message DLL. Run by hand under Wine
// (see README.md).
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string>
#include <vector>
#include "eventmsg/event_fixture.h"
#include "power/power.h"
#include "bench/bench_clock.h"
#include "results/results.h"
#include "ui/ui.h"


static bool NewestLineHas(const char* text) {
    char line[LOG_LINE_SIZE];
    int level = 0;
    return theLogger->CopyLine(-1, line, sizeof(line), &level) && strstr(line, text) != nullptr;
}

// HandleEventRecord alone, on the calling thread: records per second.
static double DirectRate(const std::vector<BYTE>& record, int count) {
    double start = Seconds();
    for (int i = 0; i < count; i++) HandleEventRecord("System", record.data(), (DWORD)record.size());
    return count / (Seconds() - start);
}

// count records written at once into the System log of running watchers, as
// after a wake: seconds until the last one's description line is logged.
static double Burst(int count) {
    fakelog::Install();
    EventApi savedEventApi = gEventApi;
    memset(&gEventApi, 0, sizeof(gEventApi));
    StartEventMonitoring();
    while (!NewestLineHas("Application events activity logging started.")) Sleep(1);
    for (int i = 0; i < count; i++) {
        std::string drive = i == count - 1 ? "LAST" : "C:";
        fakelog::Write(fakelog::SYSTEM,
                       fakelog::BuildRecord(100, EVENTLOG_INFORMATION_TYPE, fakelog::kTestSource, {drive, "D:"}),
                       i == count - 1);
    }
    double start = Seconds();
    while (!NewestLineHas("Drive LAST was moved")) Sleep(1);
    double took = Seconds() - start;
    StopEventMonitoring();
    gEventApi = savedEventApi;
    fakelog::Uninstall();
    return took;
}

int main(int argc, char** argv) {
    // An optional factor scales the direct runs (default 1).
    double scale = argc > 1 ? atof(argv[1]) : 1.0;
    if (scale <= 0) scale = 1.0;
    if (!fakelog::RegisterTestSources()) {
        fprintf(stderr, "vesplin_eventmsg.dll must be beside the benchmark, and HKLM writable\n");
        return 1;
    }
    theConfig = new Config(GetModuleHandleA(nullptr));
    theConfig->settings.logLevel = 2;
    char path[MAX_PATH];
    GetTempPathA(sizeof(path), path);
    strncat(path, "vesplin_event_bench.log", sizeof(path) - strlen(path) - 1);
    SetConfigText(theConfig->settings.logFilePath, path);
    theLogger = new Logger();

    int direct = (int)(3000 * scale);
    if (direct < 1) direct = 1;
    struct {
        const char* name;
        std::vector<BYTE> record;
    } kinds[] = {
        {"no source key (header only)    ", fakelog::BuildRecord(100, 4, "VesplinNoSuchSource", {"C:", "D:"})},
        {"message DLL (header + desc.)   ", fakelog::BuildRecord(100, 4, fakelog::kTestSource, {"C:", "D:"})},
        {"message DLL + parameter insert ", fakelog::BuildRecord(104, 4, fakelog::kTestSource, {"%%1234", "x"})},
    };
    // The first registry and DLL calls of a process are slower: warm up once.
    theConfig->settings.logToFile = 0;
    for (auto& kind : kinds) DirectRate(kind.record, 300);
    for (int file = 0; file <= 1; file++) {
        theConfig->settings.logToFile = (uint8_t)file;
        DeleteFileA(path);
        for (auto& kind : kinds)
            printf("direct, %s file %s: %8.0f records/s\n", kind.name, file ? "on " : "off",
                   DirectRate(kind.record, direct));
    }
    for (int file = 0; file <= 1; file++) {
        theConfig->settings.logToFile = (uint8_t)file;
        DeleteFileA(path);
        double took = Burst(1000);
        printf("watcher thread, 1000 records at once, file %s: %7.1f ms (%6.0f records/s, %.0f us per line)\n",
               file ? "on " : "off", took * 1000, 1000 / took, took * 1e6 / 2000);
    }
    DeleteFileA(path);
    fakelog::UnregisterTestSources();
    delete theLogger;
    delete theConfig;
    return 0;
}
