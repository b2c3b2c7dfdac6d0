// System event monitoring: the System and Application event-log watchers and
// the wake-source thread, with their shared control state.
#pragma once
#include <windows.h>
#include <stddef.h>
#include <winevt.h>
#include "core/core.h"
#include "log/log.h"
#include "results/results.h"

// Loads a library from the Windows system folder only.
HMODULE LoadSystemLibrary(const char* name);

struct EventApi {
    HMODULE module;
    EVT_HANDLE(WINAPI* EvtSubscribe)(EVT_HANDLE session, HANDLE signalEvent, LPCWSTR channelPath, LPCWSTR query,
                                     EVT_HANDLE bookmark, PVOID context, EVT_SUBSCRIBE_CALLBACK callback,
                                     DWORD flags);
    BOOL(WINAPI* EvtNext)(EVT_HANDLE resultSet, DWORD eventsSize, EVT_HANDLE* events, DWORD timeout, DWORD flags,
                          PDWORD returned);
    BOOL(WINAPI* EvtRender)(EVT_HANDLE context, EVT_HANDLE fragment, DWORD flags, DWORD bufferSize, PVOID buffer,
                            PDWORD bufferUsed, PDWORD propertyCount);
    BOOL(WINAPI* EvtClose)(EVT_HANDLE object);
    // Reading the log back after a lost sleep; the subscription does without it.
    EVT_HANDLE(WINAPI* EvtQuery)(EVT_HANDLE session, LPCWSTR path, LPCWSTR query, DWORD flags);
};
extern EventApi gEventApi;
// Binds gEventApi where the library is there; all of it or nothing.
void LoadEventLogApi();
void UnloadEventLogApi();

enum { MONITOR_SYSTEM = 0, MONITOR_APPLICATION = 1, MONITOR_WAKE_SOURCE = 2, MONITOR_SLOTS = 3 };

// 1 while the monitor thread of that slot should go on running.
extern volatile unsigned char gMonitorRunning[MONITOR_SLOTS];
// The event each monitor thread waits on; null when it has none.
extern HANDLE volatile gMonitorSignal[MONITOR_SLOTS];
// Monitor threads started and not yet ended; changed atomically only.
extern volatile LONG gMonitorThreadCount;

// Starts the System watcher, then (100 ms later) the Application watcher, and
// the wake-source thread when the newer event-log library is bound.
// The event-log monitoring needs the NT family from Windows 2000 on.
bool IsEventMonitoringSupported();
void StartEventMonitoring();
// Only the wake-source thread, for the results file at any log level; a
// subscription the system refuses is one debug line. Nothing when it runs already.
void StartWakeSourceMonitoring();
// Asks every monitor thread to end and waits for them, at most about 2.2 s.
void StopEventMonitoring();

// The classic event-log calls, bound to the system's functions; tests put an
// event log of their own in their place.
struct EventLogApi {
    HANDLE(WINAPI* OpenEventLogA)(LPCSTR server, LPCSTR source);
    BOOL(WINAPI* NotifyChangeEventLog)(HANDLE log, HANDLE event);
    BOOL(WINAPI* GetNumberOfEventLogRecords)(HANDLE log, PDWORD count);
    BOOL(WINAPI* GetOldestEventLogRecord)(HANDLE log, PDWORD oldest);
    BOOL(WINAPI* ReadEventLogA)(HANDLE log, DWORD flags, DWORD recordOffset, LPVOID buffer, DWORD bytesToRead,
                                DWORD* bytesRead, DWORD* minBytesNeeded);
    BOOL(WINAPI* CloseEventLog)(HANDLE log);
};
extern EventLogApi gEventLogApi;
// Puts the system's functions back into gEventLogApi.
void BindEventLogApi();

#define EVENT_TEXT_SIZE 512      // descriptions, insertion strings, message-file values
#define EVENT_INSERT_SLOTS 20    // a record with this many strings or more gets none
#define EVENT_INSERT_ARGS 128    // argument array handed to FormatMessage: covers %1..%99 and their widths
#define EVENT_RECORD_BUFFER 5000 // first size of a watcher's read buffer
#define EVENT_RECORD_LIMIT (1024 * 1024)  // largest record a watcher grows its buffer for

// Insertion strings of one record, in the form FormatMessage takes them.
struct EventInserts {
    // Two spare zero bytes per slot: a message that reads an insert as a
    // wide string still finds its terminator inside the slot.
    char slots[EVENT_INSERT_SLOTS][EVENT_TEXT_SIZE + 2];
    char* args[EVENT_INSERT_ARGS];  // copied strings first, then empty texts
    int count;                      // strings copied
    int hasParameterInserts;        // some copied string is "%%" and a message number
};

// "Error", "Warning", "Information", "Audit success", "Audit failure"; empty for any other type.
void EventTypeName(int type, char* out, size_t outSize);
// TimeGenerated (seconds since 1970, UTC) as local "yyyy-mm-dd hh:mm:ss"; empty when it can't be converted.
void FormatEventTime(DWORD timeGenerated, char* out, size_t outSize);
// Replaces each of strings[0..count-1] made of "%%" and a message number by that
// message of the source's ParameterMessageFile. Each string is a buffer of at
// least EVENT_TEXT_SIZE bytes.
void ExpandParameterInserts(const char* logName, const char* sourceName, int count, char** strings);

// Length of the well-formed record at data (at least the fixed part, no more
// than available); 0 when the record can't be walked over.
DWORD CheckEventRecordLength(const void* data, DWORD available);
// Fills inserts from the record's strings, reading nothing outside length
// bytes. A lying NumStrings, a string offset outside the record or a string
// without terminator stops the copy at the record's end.
void ReadEventInserts(const void* record, DWORD length, EventInserts* inserts);
// The description of an event from the source's EventMessageFile and the
// system's message table; empty when there is none.
void GetEventDescription(const char* logName, const char* sourceName, DWORD eventId, char** args, char* out,
                         size_t outSize);
// Logs the header line and, when there is one, the description line of the
// record (length bytes, checked by CheckEventRecordLength). false when the
// record is malformed and was skipped.
bool HandleEventRecord(const char* logName, const void* record, DWORD length);

// ---------------------------------------------------------------------------
// One rendered event record (the UTF-16 text EvtRender gives for
// EvtRenderEventXml), read once by the platform's XML parser.

#define EVENT_XML_ITEMS 40          // named data items kept from one record; later ones are dropped
#define EVENT_XML_NAME_SIZE 64      // item names (UTF-8 with terminator); a longer name is no item
#define EVENT_XML_VALUE_SIZE 512    // item texts (UTF-8 with terminator), cut between whole characters
#define EVENT_XML_PROVIDER_SIZE 128
#define EVENT_XML_READ_LIMIT (512 * 1024)          // characters of a rendering read; the rest counts as cut
#define EVENT_RENDER_LIMIT (16 * 1024 * 1024)      // bytes of a rendering believed at all

struct EventXmlItem {
    char name[EVENT_XML_NAME_SIZE];
    char value[EVENT_XML_VALUE_SIZE];  // entities decoded; empty for a self-closing item
    bool cut;                          // the text did not fit value
};

struct EventXml {
    char provider[EVENT_XML_PROVIDER_SIZE];  // <Provider Name='...'>; empty when absent
    long eventId;                            // <EventID>; -1 when absent or not a number
    long long timeCreated;                   // FILETIME of <TimeCreated SystemTime='...'>
    bool timeCreatedKnown;
    int itemCount;
    // Each <EventData><Data Name='x'>text</Data> whose end was reached, in
    // record order; unnamed items are left out.
    EventXmlItem items[EVENT_XML_ITEMS];
};

// Reads at most chars characters of xml (less at a terminator, and no more
// than EVENT_XML_READ_LIMIT). A record cut short or malformed still gives
// everything that came before the fault. false, with out empty, only when
// the XML parser (xmllite.dll) is missing or could not be started.
bool ReadEventXml(const wchar_t* xml, size_t chars, EventXml* out);
// The first item of that exact name; null when the record has none.
const EventXmlItem* FindEventXmlItem(const EventXml* record, const char* name);

// An event-log time ("2026-12-01T02:14:07.1234567Z", UTC) as a FILETIME
// (100 ns units since 1601). false for anything else.
bool ParseEventTime(const char* text, long long* fileTime);

// The wake-source text of a wake record (one with a WakeSourceText item):
// true with the text (UTF-8, cut to fit out; "Unknown - Probably timer event"
// when empty) in out.
bool FindWakeSource(const EventXml* record, char* out, size_t outSize);

// The wake sources reported so far: their number, and the newest one's text
// (empty when none). The count lets a caller tell a source that came after a
// moment it noted from an older one.
LONG WakeSourceCount();
LONG LatestWakeSource(char* out, size_t outSize);
// True while the wake-source thread holds its subscription.
bool IsWakeSourceWatched();

// ---------------------------------------------------------------------------
// What the system's own records tell about each sleep, and about a sleep that
// never came back.

// The Power-Troubleshooter record written after a wake. A field whose item is
// missing or not a number is left unknown; the others still count.
struct WakeDiagnosis {
    long long sleepMs;       // SleepDuration: the transition into sleep
    long long wakeMs;        // WakeDuration: the whole resume
    long long firmwareMs;    // BiosInitDuration
    long long driversMs;     // DriverInitDuration
    long long hiberWriteMs;  // HiberWriteDuration
    long long hiberReadMs;   // HiberReadDuration
    long long hiberPages;    // HiberPagesWritten
    int targetState;         // SLEEP_S1..SLEEP_S4 (0..3); -1 when unknown
    int effectiveState;      // the state actually entered; -1 when unknown
    int wakeSourceType;
    bool sleepMsKnown, wakeMsKnown, firmwareMsKnown, driversMsKnown;
    bool hiberWriteMsKnown, hiberReadMsKnown, hiberPagesKnown;
    bool targetStateKnown, effectiveStateKnown, wakeSourceTypeKnown;
    long long wakeTime;  // FILETIME of the wake (WakeTime, else TimeCreated); 0 when neither reads
};
// true only for Power-Troubleshooter event 1; out is filled (or cleared) either way.
bool ParseWakeDiagnosis(const EventXml* record, WakeDiagnosis* out);
// "Resume phases: firmware 486 ms, drivers 1688 ms, whole resume 2207 ms; sleep
// transition 1311 ms", with the hibernation file's times and pages when it was
// used; unknown fields are left out, and out is empty when nothing is known.
void FormatResumePhasesLine(const WakeDiagnosis* d, char* out, size_t outSize);


struct LostDiagnosis {
    int reason;                   // LOST_*, decided by EndLostDiagnosis
    char bugcheck[16];            // "0x0000009F" for a crash, else ""
    char bugcheckParameter1[32];  // "0x3", or "" when unknown
    // Kept between Begin and End: the records seen so far (LOST_SEEN_* bits in
    // power_records.cpp) and whether the system log could be read.
    unsigned seen;
    bool recordsRead;
};
// Gathers the System records written since sleepStartFileTime (FILETIME); records from before the sleep, or without a readable time,
// are ignored. End decides: a crash, then power lost asleep, then the power
// button (each from Kernel-Power 41), then a wake record (hung after the
// wake), then, when the query worked, no Kernel-Power 42 (hung entering).
void BeginLostDiagnosis(LostDiagnosis* state);
void AddLostEvidence(LostDiagnosis* state, const EventXml* record, long long sleepStartFileTime);
void EndLostDiagnosis(LostDiagnosis* state, bool queryWorked);
// The Warning line that explains the loss ("Why the cycle never came back: ...").
void FormatLostReasonLine(const LostDiagnosis* d, char* out, size_t outSize);

#define LOST_QUERY_RECORD_LIMIT 4000  // records read at most after a sleep start
// Reads the System log since the sleep start through gEventApi and decides.
// false (reason unknown, records not read) when the query is not available or
// fails, as under Wine.
bool QueryLostDiagnosis(long long sleepStartFileTime, LostDiagnosis* out);

// The newest wake record: its source (as LatestWakeSource) and, when the record
// carried them, its phases and states; returns the count of records so far.
LONG LatestWakeRecord(char* source, size_t sourceSize, WakeDiagnosis* diagnosis, bool* haveDiagnosis);
