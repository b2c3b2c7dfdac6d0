// The System and Application event-log watcher threads.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include "events/events.h"
#include "events/monitor_private.h"
#include "log/log.h"

static EventLogApi SystemEventLogApi() {
    EventLogApi api;
    api.OpenEventLogA = ::OpenEventLogA;
    api.NotifyChangeEventLog = ::NotifyChangeEventLog;
    api.GetNumberOfEventLogRecords = ::GetNumberOfEventLogRecords;
    api.GetOldestEventLogRecord = ::GetOldestEventLogRecord;
    api.ReadEventLogA = ::ReadEventLogA;
    api.CloseEventLog = ::CloseEventLog;
    return api;
}

EventLogApi gEventLogApi = SystemEventLogApi();

void BindEventLogApi() {
    gEventLogApi = SystemEventLogApi();
}

namespace {

struct Watcher {
    char logName[64];
    int slot;
    LONG generation;
    HANDLE log;
    HANDLE event;
    // Records are followed by their own numbers, not by how many the log
    // holds: a log that wraps or is cleared keeps its count flat or lowers
    // it, yet records written then are still new.
    long long nextRecord;
    bool seek;  // the next read seeks to nextRecord instead of reading on
    BYTE* buffer;
    DWORD bufferSize;
    BYTE* grownBuffer;  // heap buffer once a record needed more than the first one
    DWORD firstBuffer[EVENT_RECORD_BUFFER / sizeof(DWORD)];
};

// A record larger than the buffer is read whole: the buffer grows to what
// the system asks for, up to EVENT_RECORD_LIMIT.
bool GrowBuffer(Watcher* watcher, DWORD needed) {
    if (needed <= watcher->bufferSize || needed > EVENT_RECORD_LIMIT) return false;
    BYTE* larger = static_cast<BYTE*>(malloc(needed));
    if (!larger) return false;
    free(watcher->grownBuffer);
    watcher->grownBuffer = larger;
    watcher->buffer = larger;
    watcher->bufferSize = needed;
    return true;
}

// A cleared log must be opened again before it can be read.
bool ReopenLog(Watcher* watcher) {
    gEventLogApi.CloseEventLog(watcher->log);
    watcher->log = gEventLogApi.OpenEventLogA(nullptr, watcher->logName);
    if (!watcher->log) return false;
    return gEventLogApi.NotifyChangeEventLog(watcher->log, watcher->event) != FALSE;
}

void SkipUnreadableRecord(Watcher* watcher) {
    LogDebug("%s Event, %02u - could not be read, skipped\n", watcher->logName, (unsigned)watcher->nextRecord);
    watcher->nextRecord++;
}

// Reports every record written since the last call. false when the log was
// lost (cleared, and could not be opened again).
bool ReadNewRecords(Watcher* watcher) {
    bool reopened = false;
    for (;;) {
        DWORD oldest = 0;
        DWORD count = 0;
        // Unknown for now: the next change tries again.
        if (!gEventLogApi.GetOldestEventLogRecord(watcher->log, &oldest) ||
            !gEventLogApi.GetNumberOfEventLogRecords(watcher->log, &count)) {
            return true;
        }
        long long first = oldest;
        long long end = first + count;  // one past the newest record
        if (end < watcher->nextRecord) {
            // Numbers went back: the log was cleared and numbers its records afresh.
            watcher->nextRecord = first;
            watcher->seek = true;
        }
        if (watcher->nextRecord < first) {
            // 0 stands for "none known yet" (an empty log at the start or after clearing).
            if (watcher->nextRecord > 0)
                LogDebug("%s events %u to %u were overwritten before they could be read\n", watcher->logName,
                         (unsigned)watcher->nextRecord, (unsigned)(first - 1));
            watcher->nextRecord = first;
            watcher->seek = true;
        }

        bool restart = false;
        while (watcher->nextRecord < end && !restart) {
            if (!MonitorShouldRun(watcher->slot, watcher->generation)) return true;
            bool seeking = watcher->seek;
            DWORD flags = EVENTLOG_FORWARDS_READ | (seeking ? EVENTLOG_SEEK_READ : EVENTLOG_SEQUENTIAL_READ);
            DWORD got = 0;
            DWORD needed = 0;
            BOOL ok = gEventLogApi.ReadEventLogA(watcher->log, flags, (DWORD)watcher->nextRecord, watcher->buffer,
                                                 watcher->bufferSize, &got, &needed);
            if (!ok || got == 0) {
                DWORD error = ok ? 0 : GetLastError();
                if (error == ERROR_INSUFFICIENT_BUFFER && GrowBuffer(watcher, needed)) continue;
                if (error == ERROR_EVENTLOG_FILE_CHANGED && !reopened) {
                    reopened = true;
                    if (!ReopenLog(watcher)) return false;
                    watcher->seek = true;
                    restart = true;
                    continue;
                }
                // Never try the same read again at once: a failed read on from
                // the last position becomes a seek, a failed seek skips the record.
                if (seeking) SkipUnreadableRecord(watcher);
                watcher->seek = true;
                continue;
            }
            if (got > watcher->bufferSize) got = watcher->bufferSize;

            bool advanced = false;
            bool whole = true;
            DWORD offset = 0;
            while (offset < got) {
                // A stop, or a newer start, ends the batch at once.
                if (!MonitorShouldRun(watcher->slot, watcher->generation)) {
                    watcher->seek = true;
                    return true;
                }
                DWORD length = CheckEventRecordLength(watcher->buffer + offset, got - offset);
                if (length == 0) {
                    // The rest of the batch can't be walked.
                    whole = false;
                    break;
                }
                EVENTLOGRECORD header;
                memcpy(&header, watcher->buffer + offset, sizeof(header));
                if ((long long)header.RecordNumber >= watcher->nextRecord) {
                    HandleEventRecord(watcher->logName, watcher->buffer + offset, length);
                    watcher->nextRecord = (long long)header.RecordNumber + 1;
                    advanced = true;
                }
                offset += length;
            }
            if (!advanced) {
                if (seeking) SkipUnreadableRecord(watcher);
                watcher->seek = true;
            } else {
                watcher->seek = !whole;
            }
        }
        if (!restart) return true;
    }
}

void RunWatcher(const char* logName, LONG generation) {
    Watcher state;
    memset(&state, 0, sizeof(state));
    Watcher* watcher = &state;
    char failure[64];
    snprintf(failure, sizeof(failure), "Could not set up %s events activity logging.\n", logName);
    snprintf(watcher->logName, sizeof(watcher->logName), "%s", logName);
    watcher->slot = watcher->logName[0] == 'A' ? MONITOR_APPLICATION : MONITOR_SYSTEM;
    watcher->generation = generation;
    watcher->buffer = reinterpret_cast<BYTE*>(watcher->firstBuffer);
    watcher->bufferSize = sizeof(watcher->firstBuffer);
    watcher->seek = true;

    watcher->log = gEventLogApi.OpenEventLogA(nullptr, watcher->logName);
    if (!watcher->log) {
        LogMessage(failure, LOG_WARNING);
    } else {
        watcher->event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (watcher->event) PublishMonitorSignal(watcher->slot, watcher->event);
        DWORD count = 0;
        DWORD oldest = 0;
        if (!watcher->event || !gEventLogApi.NotifyChangeEventLog(watcher->log, watcher->event) ||
            !gEventLogApi.GetNumberOfEventLogRecords(watcher->log, &count) ||
            !gEventLogApi.GetOldestEventLogRecord(watcher->log, &oldest)) {
            LogMessage(failure, LOG_WARNING);
        } else {
            // Records already in the log are not reported.
            watcher->nextRecord = (long long)oldest + count;
            char line[EVENT_TEXT_SIZE];
            snprintf(line, sizeof(line), "%s events activity logging started.\n", watcher->logName);
            LogMessage(line, LOG_INFO);

            bool lost = false;
            while (MonitorShouldRun(watcher->slot, generation)) {
                if (WaitForSingleObject(watcher->event, INFINITE) != WAIT_OBJECT_0) break;
                if (!MonitorShouldRun(watcher->slot, generation)) break;
                // Reset before reading, so a record written while this batch
                // is read signals again instead of waiting for the next one.
                if (!ResetEvent(watcher->event)) LogMessage("Error reseting application event.\n", LOG_WARNING);
                if (!ReadNewRecords(watcher)) {
                    lost = true;
                    break;
                }
            }
            if (lost) {
                LogMessage(failure, LOG_WARNING);
            } else {
                snprintf(line, sizeof(line), "%s events activity logging stopped.\n", watcher->logName);
                LogMessage(line, LOG_INFO);
            }
        }
        if (watcher->log) gEventLogApi.CloseEventLog(watcher->log);
    }
    if (watcher->event) {
        WithdrawMonitorSignal(watcher->slot, watcher->event);
        CloseHandle(watcher->event);
    }
    free(watcher->grownBuffer);
}

}  // namespace

DWORD WINAPI EventLogWatcherThread(LPVOID parameter) {
    MonitorStart* start = static_cast<MonitorStart*>(parameter);
    const char* logName = start->logName;
    LONG generation = start->generation;
    delete start;
    RunWatcher(logName, generation);
    InterlockedDecrement(&gMonitorThreadCount);
    return 0;
}
