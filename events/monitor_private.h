// Shared between the monitor threads and their start and stop; not for other folders.
#pragma once
#include <windows.h>

// Each start of monitoring is a new generation: a thread left over from an
// earlier start whose stop gave up waiting sees that it is stale and ends,
// even though the new start set its flag again.
bool MonitorShouldRun(int slot, LONG generation);

// Makes event the signal of slot, under the lock that StopEventMonitoring
// takes to signal it. Withdraw clears the slot only while it still holds
// event, so a stale thread never clears the signal of its successor.
void PublishMonitorSignal(int slot, HANDLE event);
void WithdrawMonitorSignal(int slot, HANDLE event);

// Thread bodies; the parameter is a heap-allocated MonitorStart, freed by the thread.
struct MonitorStart {
    const char* logName;  // "System" or "Application"; null for the wake-source thread
    LONG generation;
    bool quiet;  // the wake-source thread: a failed subscription is only a debug line
};
DWORD WINAPI EventLogWatcherThread(LPVOID parameter);
DWORD WINAPI WakeSourceThread(LPVOID parameter);
