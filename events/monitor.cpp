// Starting and stopping the three monitor threads, and their shared control state.
#include <new>
#include <stdio.h>
#include "events/events.h"
#include "events/monitor_private.h"
#include "log/log.h"

volatile unsigned char gMonitorRunning[MONITOR_SLOTS];
HANDLE volatile gMonitorSignal[MONITOR_SLOTS];
volatile LONG gMonitorThreadCount;

static volatile LONG gMonitorGeneration;
static volatile LONG gSignalLock;

// Held only around publishing, withdrawing and signalling an event, so that a
// stop never signals a handle that its thread has already closed.
static void LockSignals() {
    while (InterlockedExchange(&gSignalLock, 1) != 0) Sleep(0);
}

static void UnlockSignals() {
    InterlockedExchange(&gSignalLock, 0);
}

bool MonitorShouldRun(int slot, LONG generation) {
    MemoryBarrier();
    return gMonitorRunning[slot] != 0 && gMonitorGeneration == generation;
}

void PublishMonitorSignal(int slot, HANDLE event) {
    LockSignals();
    gMonitorSignal[slot] = event;
    UnlockSignals();
}

void WithdrawMonitorSignal(int slot, HANDLE event) {
    LockSignals();
    if (gMonitorSignal[slot] == event) gMonitorSignal[slot] = nullptr;
    UnlockSignals();
}

static void SignalMonitor(int slot) {
    LockSignals();
    HANDLE event = gMonitorSignal[slot];
    if (event) SetEvent(event);
    UnlockSignals();
}

// The count is raised here, before the thread exists, and lowered by the
// thread as its last act (or here when it can't be created): it never depends
// on a reset that a thread still running could undo.
static void StartMonitorThread(int slot, const char* logName, LONG generation, bool quiet = false) {
    gMonitorRunning[slot] = 1;
    InterlockedIncrement(&gMonitorThreadCount);
    MonitorStart* start = new (std::nothrow) MonitorStart;
    HANDLE thread = nullptr;
    if (start) {
        start->logName = logName;
        start->generation = generation;
        start->quiet = quiet;
        thread = CreateThread(nullptr, 0, logName ? EventLogWatcherThread : WakeSourceThread, start, 0, nullptr);
    }
    if (thread) {
        CloseHandle(thread);
        return;
    }
    DWORD error = GetLastError();
    delete start;
    gMonitorRunning[slot] = 0;
    InterlockedDecrement(&gMonitorThreadCount);
    char message[64];
    if (logName) {
        snprintf(message, sizeof(message), "Could not set up %s events activity logging.\n", logName);
    } else {
        snprintf(message, sizeof(message), "Could not subscribe to events. Error = 0x%x", (unsigned)error);
    }
    LogMessage(message, LOG_WARNING);
}

void StartEventMonitoring() {
    LONG generation = InterlockedIncrement(&gMonitorGeneration);
    gMonitorRunning[MONITOR_SYSTEM] = 0;
    gMonitorRunning[MONITOR_APPLICATION] = 0;
    // Threads of an earlier start still waiting wake up, find their
    // generation stale and end.
    for (int slot = 0; slot < MONITOR_SLOTS; slot++) SignalMonitor(slot);

    StartMonitorThread(MONITOR_SYSTEM, "System", generation);
    Sleep(100);
    StartMonitorThread(MONITOR_APPLICATION, "Application", generation);
    if (gEventApi.EvtSubscribe) StartMonitorThread(MONITOR_WAKE_SOURCE, nullptr, generation);
}

void StartWakeSourceMonitoring() {
    // A new generation would end watchers already running: only when none runs.
    if (!gEventApi.EvtSubscribe || gMonitorThreadCount > 0) return;
    LONG generation = InterlockedIncrement(&gMonitorGeneration);
    StartMonitorThread(MONITOR_WAKE_SOURCE, nullptr, generation, true);
}

bool IsEventMonitoringSupported() {
    OSVERSIONINFOA version;
    memset(&version, 0, sizeof(version));
    version.dwOSVersionInfoSize = sizeof(version);
    if (!GetVersionExA(&version)) return false;
    return version.dwPlatformId == VER_PLATFORM_WIN32_NT && version.dwMajorVersion >= 5;
}

void StopEventMonitoring() {
    // The System watcher is always told first; flags are cleared before the
    // events are signalled, so a thread that wakes sees its flag clear.
    gMonitorRunning[MONITOR_SYSTEM] = 0;
    MemoryBarrier();
    Sleep(100);
    gMonitorRunning[MONITOR_APPLICATION] = 0;
    gMonitorRunning[MONITOR_WAKE_SOURCE] = 0;
    MemoryBarrier();
    if (gMonitorThreadCount <= 0) return;

    SignalMonitor(MONITOR_SYSTEM);
    Sleep(100);
    SignalMonitor(MONITOR_APPLICATION);
    SignalMonitor(MONITOR_WAKE_SOURCE);
    for (int tries = 0; tries < 10 && gMonitorThreadCount > 0; tries++) Sleep(200);
}
