// Logging: the Logger with its ring of timestamped lines and its log file,
// and the entry points through which every part of the program logs.
#pragma once
#include <windows.h>
#include <stddef.h>
#include <stdio.h>

enum {
    LOG_STATUS = 0,
    LOG_ERROR = 2,
    LOG_INFO = 3,
    LOG_WARNING = 4,
    LOG_DEBUG = 9,
};

#define LOG_CAPACITY 500
#define LOG_LINE_SIZE 1024

class Logger {
public:
    Logger();  // throws const char* when the ring cannot be allocated
    virtual ~Logger();
    Logger(const Logger&) = delete;  // owns its ring and its lock
    Logger& operator=(const Logger&) = delete;

    void AddLine(const char* text, int level);
    void AddLineAtLevel(int level, const char* text);
    // Pointer into the ring; only stable while no other thread adds. The log
    // panel and other readers on busy programs use CopyLine.
    const char* GetLine(int index, int* level);
    // Copies line index (as GetLine counts) under the lock; false when none.
    bool CopyLine(int index, char* out, size_t outSize, int* level);
    int GetLineCount();
    void WriteLineToFile(const char* line);
    void OpenLogFile(const char* path, const char* mode);
    int CloseLogFile();

    int capacity;
    char* lineSlots;
    int* lineLevels;
    int writePos;
    int oldestPos;
    int lineCount;
    FILE* logFile;
    volatile unsigned char busy;

private:
    void Lock();
    void Unlock();
    void AddCleanLine(const char* text, int level);
    CRITICAL_SECTION lock_;
    int warningDepth_;  // > 0 while this logger shows an append warning box
    // Lines that could not reach the file since writing last worked; one box
    // tells of a whole episode, and the file gets the count once it works again.
    int missedLines_;
    bool episodeReported_;
    void ReportMissedLine(const char* message);
};

extern Logger* theLogger;

#define NOTE_SLOTS 100
#define NOTE_SIZE 1024

// Notes gathered before the log panel exists, logged after the banner.
struct NoteList {
    int count;
    int dropped;  // notes that found the list full
    char slots[NOTE_SLOTS][NOTE_SIZE];
};

// Adds a formatted note, cut to 1023 characters; a full list counts it as dropped.
void AddNote(NoteList* list, const char* format, ...) __attribute__((format(printf, 2, 3)));
void ClearNotes(NoteList* list);
extern NoteList gStartupNotes;
extern NoteList gCommandLineNotes;

// Entry points, callable from any thread.
void LogMessage(const char* text, int level);
void LogAtLevel(int level, const char* text);
void LogDebug(const char* format, ...) __attribute__((format(printf, 1, 2)));

// An unattended run (automatic exit) shows no box: each one is logged at
// Error level with its caption and text, and the run takes the answer given.
void SetUnattended(bool unattended);
bool IsUnattended();
// MessageBoxA in an interactive run; in an unattended one the line
// "<caption>: <text>" and unattendedAnswer (IDOK, IDNO, ...) instead.
int ShowMessageBox(HWND owner, const char* text, const char* caption, UINT type, int unattendedAnswer);

// Formats a timestamp prefix "yyyy-MMM-dd HH:mm:ss " for st into out.
void FormatLogTimestamp(const SYSTEMTIME* st, char* out, size_t outSize);
// Cleans text the way stored lines are cleaned: bytes below 0x20 and from 0x80 up become blanks.
void CleanLogText(char* text);

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

// A FILETIME as ISO 8601 UTC, "2026-12-07T12:44:54Z"; empty when not a valid time.
void FormatUtcTime(long long fileTime, char* out, size_t outSize);
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

// ---- Log panel of the main window -------------------------------------------
// Up to 25 coloured rows drawn into control 1038, scrolled by bar 1037, with a
// colour key of five boxes. Only the window's own thread draws or changes the
// panel state; LogMessage on any other thread asks that thread to catch up.

#define LOG_VISIBLE_ROWS 25
#define LOG_PAGE_ROWS 5
// Private message to the log area: lines were added on another thread.
#define WM_LOG_PANEL_UPDATE (WM_APP + 1)

extern int gLogFirstRow;     // line in the top row, counted from the oldest
extern int gLogMaxFirstRow;  // largest useful gLogFirstRow
extern int gLogRowHeight;    // pixels
extern HFONT gLogFont;
extern HBRUSH gLogBackBrush;
extern HWND gLogArea;
extern HWND gLogScrollBar;
extern HWND gColourKeyGroup;

struct LogRowColours {
    COLORREF back;
    COLORREF text;
};
// Row colours of a level; unknown levels get white with black text.
LogRowColours GetLogRowColours(int level);
// Level whose colour a colour-key box shows; -1 for any other control.
int GetColourKeyLevel(int control);
// Row font height for a screen of dpi pixels per logical inch.
int GetLogFontHeight(int dpi);
// Row height (font and frame) so that the visible rows fit an area of
// areaHeight pixels, never above fontHeight + 2 nor below 8 pixels.
int FitLogRowHeight(int fontHeight, int areaHeight);
// gLogFirstRow after a scroll request (low word of WM_VSCROLL's wParam).
int GetScrolledFirstRow(int request, int thumbPosition, int firstRow, int maxFirstRow);

struct LogScrollRange {
    int firstRow;
    int maxFirstRow;
    bool showBar;
};
// The view and range for lineCount lines: a view that showed the newest line
// keeps showing it.
LogScrollRange GetLogScrollRange(int lineCount, int firstRow, int maxFirstRow);

void InitLogPanel(HWND dialog);
void PaintLogPanel(HWND dialog);
void ScrollLogPanel(WPARAM request);
void UpdateLogScrollRange();
void DrawLogRows();
// Draws the visible rows into dc, whose drawing surface is area (client coordinates).
void DrawLogRowsInto(HDC dc, const RECT* area);
// Fills the five colour-key boxes; returns how many were drawn (none while closing).
int DrawColourKey(HWND dialog);
void FillColourKeyBox(HWND dialog, COLORREF colour, int control);
// After a new line: range, jump to the newest line, redraw. Window thread only.
void ShowNewestLogLine();
// Brings the panel up to date after a line was added, from any thread.
void NotifyLogPanel();
// Deletes the panel's brush and font (shutdown).
void ReleaseLogPanel();
