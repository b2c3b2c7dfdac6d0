// The wake-source thread: subscribes to new System-channel events and logs
// the wake source that each wake record carries.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include "events/events.h"
#include "events/monitor_private.h"
#include "log/log.h"

#define WAKE_BATCH 10

static const char kTimerWake[] = "Unknown - Probably timer event";

// The newest wake source, for the results file. The lock only guards a copy
// of a few hundred bytes, so a spin is enough.
static volatile LONG gWakeSourceLock = 0;
static volatile LONG gWakeSourceCount = 0;
static volatile LONG gWakeSourceSubscribed = 0;
static char gWakeSourceText[EVENT_XML_VALUE_SIZE];
static WakeDiagnosis gWakeDiagnosis;
static bool gWakeDiagnosisValid = false;

static void LockWakeSource() {
    while (InterlockedCompareExchange(&gWakeSourceLock, 1, 0) != 0) Sleep(0);
}

static void UnlockWakeSource() { InterlockedExchange(&gWakeSourceLock, 0); }

static void RememberWakeSource(const char* source, const WakeDiagnosis* diagnosis) {
    LockWakeSource();
    snprintf(gWakeSourceText, sizeof(gWakeSourceText), "%s", source);
    gWakeDiagnosisValid = diagnosis != nullptr;
    if (diagnosis) gWakeDiagnosis = *diagnosis;
    InterlockedIncrement(&gWakeSourceCount);
    UnlockWakeSource();
}

LONG LatestWakeRecord(char* source, size_t sourceSize, WakeDiagnosis* diagnosis, bool* haveDiagnosis) {
    LockWakeSource();
    if (sourceSize) snprintf(source, sourceSize, "%s", gWakeSourceText);
    *haveDiagnosis = gWakeDiagnosisValid;
    if (gWakeDiagnosisValid) *diagnosis = gWakeDiagnosis;
    LONG count = gWakeSourceCount;
    UnlockWakeSource();
    return count;
}

LONG WakeSourceCount() { return InterlockedCompareExchange(&gWakeSourceCount, 0, 0); }

LONG LatestWakeSource(char* out, size_t outSize) {
    LockWakeSource();
    if (outSize) snprintf(out, outSize, "%s", gWakeSourceText);
    LONG count = gWakeSourceCount;
    UnlockWakeSource();
    return count;
}

bool IsWakeSourceWatched() { return InterlockedCompareExchange(&gWakeSourceSubscribed, 0, 0) != 0; }

bool FindWakeSource(const EventXml* record, char* out, size_t outSize) {
    if (!outSize) return false;
    out[0] = '\0';
    const EventXmlItem* source = record ? FindEventXmlItem(record, "WakeSourceText") : nullptr;
    if (!source) return false;
    const char* text = source->value[0] ? source->value : kTimerWake;
    size_t length = strlen(text);
    if (length > outSize - 1) {
        length = outSize - 1;
        // Cut before the character that would straddle the end, never inside it.
        while (length > 0 && ((unsigned char)text[length] & 0xC0) == 0x80) length--;
    }
    memcpy(out, text, length);
    out[length] = '\0';
    return true;
}

// Handles one event of a batch. false when the second rendering failed: the
// rest of the batch is then closed unread.
static bool HandleWakeEvent(EVT_HANDLE event) {
    DWORD used = 0;
    DWORD properties = 0;
    if (gEventApi.EvtRender(nullptr, event, EvtRenderEventXml, 0, nullptr, &used, &properties)) return true;
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || used == 0 || used > EVENT_RENDER_LIMIT) return true;

    // Two spare zero characters: the rendering need not end in a terminator.
    WCHAR* wide = static_cast<WCHAR*>(calloc(used / sizeof(WCHAR) + 2, sizeof(WCHAR)));
    if (!wide) return true;
    DWORD rendered = 0;
    if (!gEventApi.EvtRender(nullptr, event, EvtRenderEventXml, used, wide, &rendered, &properties)) {
        free(wide);
        return false;
    }
    // Some 23 KB of items: kept off the thread's stack.
    EventXml* record = static_cast<EventXml*>(malloc(sizeof(EventXml)));
    char source[EVENT_XML_VALUE_SIZE];
    if (record && ReadEventXml(wide, (rendered < used ? rendered : used) / sizeof(WCHAR), record) &&
        FindWakeSource(record, source, sizeof(source))) {
        char line[EVENT_TEXT_SIZE];
        snprintf(line, sizeof(line), "System Event, Wake Source: %s\n ", source);
        LogMessage(line, LOG_INFO);
        // The same record tells how long each phase took and which state the machine entered.
        WakeDiagnosis diagnosis;
        bool known = ParseWakeDiagnosis(record, &diagnosis);
        if (known) {
            FormatResumePhasesLine(&diagnosis, line, sizeof(line));
            if (line[0]) LogMessage(line, LOG_INFO);
        }
        RememberWakeSource(source, known ? &diagnosis : nullptr);
    }
    free(record);
    free(wide);
    return true;
}

static void RunWakeSource(LONG generation, bool quiet) {
    HANDLE signal = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (signal) PublishMonitorSignal(MONITOR_WAKE_SOURCE, signal);
    EVT_HANDLE subscription = nullptr;
    if (signal) {
        subscription = gEventApi.EvtSubscribe(nullptr, signal, L"System", L"*", nullptr, nullptr, nullptr,
                                              EvtSubscribeToFutureEvents);
    }
    if (!subscription) {
        char message[160];
        if (quiet) {
            // Started only for the results file: where the system keeps no such
            // records (as under Wine), one debug line says so and nothing else.
            LogDebug("The system's wake records are not available (Error = 0x%x): the results carry no wake source "
                     "and no resume phases",
                     (unsigned)GetLastError());
        } else {
            snprintf(message, sizeof(message), "Could not subscribe to events. Error = 0x%x", (unsigned)GetLastError());
            LogMessage(message, LOG_WARNING);
        }
    } else {
        InterlockedIncrement(&gWakeSourceSubscribed);
        bool waitFailed = false;
        while (!waitFailed && MonitorShouldRun(MONITOR_WAKE_SOURCE, generation)) {
            EVT_HANDLE events[WAKE_BATCH];
            DWORD returned = 0;
            if (gEventApi.EvtNext(subscription, WAKE_BATCH, events, INFINITE, 0, &returned) && returned > 0) {
                if (returned > WAKE_BATCH) returned = WAKE_BATCH;
                for (DWORD i = 0; i < returned; i++) {
                    if (HandleWakeEvent(events[i])) {
                        gEventApi.EvtClose(events[i]);
                        continue;
                    }
                    for (DWORD rest = i; rest < returned; rest++) gEventApi.EvtClose(events[rest]);
                    break;
                }
            } else if (WaitForSingleObject(signal, INFINITE) != WAIT_OBJECT_0) {
                waitFailed = true;
            }
        }
        gEventApi.EvtClose(subscription);
        InterlockedDecrement(&gWakeSourceSubscribed);
    }
    if (signal) {
        WithdrawMonitorSignal(MONITOR_WAKE_SOURCE, signal);
        CloseHandle(signal);
    }
}

DWORD WINAPI WakeSourceThread(LPVOID parameter) {
    MonitorStart* start = static_cast<MonitorStart*>(parameter);
    LONG generation = start->generation;
    bool quiet = start->quiet;
    delete start;
    RunWakeSource(generation, quiet);
    InterlockedDecrement(&gMonitorThreadCount);
    return 0;
}
