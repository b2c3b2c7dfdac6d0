// Results for automation: the results file of one JSON record a sleep, reading
// it back, and the run report built from it.
#pragma once
#include <windows.h>
#include <stddef.h>
#include "core/core.h"
#include "log/log.h"

// ---- Results file: one JSON object a line for each sleep ----------------------

// A one-line JSON object being written into a fixed buffer. Output is ASCII:
// texts (in the system code page) are escaped, control and non-ASCII
// characters as \u escapes.
struct JsonLine {
    char* buffer;
    size_t size;
    size_t used;
    bool overflow;  // something did not fit: JsonEnd then fails and empties the buffer
    int fields;
    int outerFields;  // fields of the enclosing object while a nested one is open
};
void JsonBegin(JsonLine* json, char* buffer, size_t size);
void JsonRaw(JsonLine* json, const char* text);
// A quoted, escaped string.
void JsonEscaped(JsonLine* json, const char* text);
// "key":"value", or "key":null when value is null.
void JsonString(JsonLine* json, const char* key, const char* value);
void JsonInt(JsonLine* json, const char* key, long long value);
void JsonNull(JsonLine* json, const char* key);
// "key":{ ... }: the fields between Open and Close go into a nested object (one level).
void JsonOpenObject(JsonLine* json, const char* key);
void JsonCloseObject(JsonLine* json);
// Closes the object; false (and an empty buffer) when it did not fit.
bool JsonEnd(JsonLine* json);

#define RESULT_TEXT_SIZE 512
#define RESULT_LINE_SIZE 8192  // a record with every text at its longest, all escaped, fits

// The phases of a sleep in the results file's "phases" object.
#define RESULT_PHASES 7
extern const char* const RESULT_PHASE_KEYS[RESULT_PHASES];  // "sleep_ms", "wake_ms", ...

// What the results file says of one sleep. Texts are empty when unknown (null in the file).
struct SleepResult {
    int cycle;           // 1-based
    int requestedState;  // 0..3 for S1..S4
    int enteredState;    // 0..3; -1 when unknown
    char fallback[16];   // "lighter", "deeper", "force"; empty when the requested state was entered
    int requestedSec;    // -1 when unknown
    int measuredSec;
    bool asleepKnown;
    int asleepSec;
    char asleepSource[32];
    char verdict[16];  // "ok", "short", "long", "not_slept", "refused", "lost"
    char wakeSource[RESULT_TEXT_SIZE];
    long long startUtc;  // FILETIME (100 ns since 1601, UTC); 0 when unknown
    long long endUtc;
    long errorCode;      // the system's error code of a refused sleep; 0 otherwise
    char reason[32];     // why a sleep was refused ("marker_not_written", ...); empty otherwise
    // What the system's wake record told of the sleep (phasesKnown false: no record came).
    bool phasesKnown;
    long long phaseValues[RESULT_PHASES];  // milliseconds (pages for the last), in RESULT_PHASE_KEYS order
    bool phaseKnown[RESULT_PHASES];
    int targetState;     // 0..3 as the system recorded its target; -1 when unknown
    int effectiveState;  // 0..3: the state the machine really entered; -1 when unknown
    char lostReason[24];  // a lost sleep's reason ("crashed", ...); empty otherwise
    char bugcheck[16];    // "0x0000009F" for a crash; empty otherwise
};

// An empty record: zeros, and the states the system recorded unknown.
void ClearSleepResult(SleepResult* result);

// The record as one JSON line ending in a line feed; false when it did not fit.
bool FormatResultLine(const SleepResult* result, char* out, size_t outSize);
// Appends the line to the file (made when missing) and forces it to the device.
// 0 when done; otherwise the system's error code, with the file left as it was.
DWORD AppendResultLine(const char* path, const char* line);

// ---- Reading the results file back ------------------------------------------

#define REPORT_TEXT_SIZE 256  // wake sources and other texts of a record read back, cut to fit

// Resume phases of one sleep in milliseconds; -1 where the record has no such key.
struct ReportPhases {
    long long sleepMs;
    long long wakeMs;
    long long firmwareMs;
    long long driversMs;
    long long hiberWriteMs;
    long long hiberReadMs;
    long long hiberPages;
};

// One record of the results file as read back. Numbers are -1 and texts empty
// when the record has null or no such key; texts are 8-bit (\u escapes above
// 0xFF read as '?').
struct ReportRecord {
    int cycle;
    char requestedState[8];
    char targetState[8];
    char effectiveState[8];
    char enteredState[8];
    char fallback[16];
    int requestedSec;
    int measuredSec;
    int asleepSec;
    char asleepSource[32];
    char verdict[16];
    char wakeSource[REPORT_TEXT_SIZE];
    char startUtc[32];
    char endUtc[32];
    long long errorCode;
    bool hasPhases;
    ReportPhases phases;
    char lostReason[32];
    char bugcheck[24];
};

// One line of the results file; false when it is not a whole JSON object with
// a cycle and a verdict, or a known key holds a value of the wrong kind.
// Unknown keys are skipped.
bool ParseResultRecord(const char* line, ReportRecord* out);
// Reads every record of the file into *records (free with FreeResultRecords),
// in file order. Lines that cannot be read, a cut last line among them, are
// counted in *badLines and left out. 0 when done, else the system's error code
// (and no records).
int ReadResultsFile(const char* path, ReportRecord** records, int* count, int* badLines);
void FreeResultRecords(ReportRecord* records);

// ---- Run report: one self-contained HTML page built from the results file ----

// Text as HTML: & < > " ' and bytes below 0x20 as references, bytes from 0x80
// as the character references of their Windows-1252 meaning, so the page is
// valid UTF-8 whatever the text. Cut only between whole references; always
// terminated.
void HtmlEscape(const char* text, char* out, size_t outSize);

struct ReportHeader {
    char identity[128];     // "Vesplin V2.3 (Build: 1006)"
    char computer[64];
    char windows[128];      // the Windows version as text
    char commandLine[1024]; // the run's command line or settings
    char startTime[32];     // empty: the first record's start_utc
    char endTime[32];       // empty: the last record's end_utc
    bool exitCodeKnown;
    int exitCode;
};

// Builds the page from the results file and puts it at reportPath through a
// temporary file beside it, flushed and then moved over the old page, so a
// power loss leaves the previous whole page. 0 when done, else the system's
// error code.
int WriteRunReport(const char* resultsPath, const char* reportPath, const ReportHeader* header);
// The results path with its extension replaced by ".html" (appended when the
// file name has none); false when it does not fit or there is no path.
bool DefaultReportPath(const char* resultsPath, char* out, size_t outSize);
