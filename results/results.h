// Results for automation: the results file of one JSON record a sleep, reading
// it back, and the run report built from it. All but the last part is free of
// the system and builds on any host; the files are written by the Windows part.
#pragma once
#include <stddef.h>
#include "core/core.h"
#include <string>
#include <vector>

// ---- Results file: one JSON object a line for each sleep ----------------------

#define RESULT_LINE_SIZE 262144  // a record with every text at its longest and its device lists, all escaped, fits

// The record as one JSON line ending in a line feed: ASCII, every other
// character as a \u escape. False (and an empty out) when it does not fit.
bool FormatResultLine(const SleepRecord* record, char* out, size_t outSize);
// The same as a string (ending in a line end); false (and an empty out) when it
// would not fit a buffer of RESULT_LINE_SIZE.
bool FormatResultLine(const SleepRecord* record, std::string* out);
// One line of the results file (length bytes, no terminator needed); false when
// it is not a JSON object with a cycle and a known verdict, or a known key holds
// a value of the wrong kind. Unknown keys are skipped.
bool ParseResultRecord(const char* line, size_t length, SleepRecord* out);
// Every record of the text, in order; lines that cannot be read, a cut last
// line among them, are counted in *badLines and left out.
void ReadResultsText(const char* text, size_t length, std::vector<SleepRecord>* records, int* badLines);
// The same for a file; 0 when it was read, else the C library's error number (and no records).
int ReadResultsFile(const char* path, std::vector<SleepRecord>* records, int* badLines);

// ---- Run report: one self-contained HTML page built from the results file ----

// UTF-8 text as HTML: & < > " ' and control characters as references, bytes
// that are not UTF-8 as U+FFFD, so the page is valid UTF-8 whatever the text.
// Cut only between whole references and characters; always terminated.
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

// The whole page of these records (badLines: lines of the file that could not be read).
void BuildRunReport(const ReportHeader* header, const char* resultsPath, const SleepRecord* records, int count,
                    int badLines, std::string* page);
// Sorted, distinct cycles as ranges, "3-7, 12, 15-16": at most maxRanges, then ", and N more".
std::string CycleRanges(const std::vector<int>& cycles, int maxRanges);
// The results path with its extension replaced by ".html" (appended when the
// file name has none); false when it does not fit or there is no path.
bool DefaultReportPath(const char* resultsPath, char* out, size_t outSize);

// ---- Writing the files (Windows) -------------------------------------------------

// Appends the line to the file (made when missing) and forces it to the device.
// 0 when done; otherwise the system's error code, with the file left as it was.
unsigned long AppendResultLine(const char* path, const char* line);
// Puts line in place of the file's last line: first into "<path>.pending",
// forced to the device, then the last line cut and the new one appended and
// forced, then the pending file deleted. 0 when done, else the system's error code.
unsigned long ReplaceLastResultLine(const char* path, const char* line);
// A replacement a power loss interrupted: puts a whole "<path>.pending" in place
// of the last line (a torn one is dropped) and deletes it. *restored tells
// whether a line was put in place; 0 when done or there was none.
unsigned long RestorePendingResultLine(const char* path, bool* restored);
// Builds the page from the results file and puts it at reportPath through a
// temporary file beside it, flushed and then moved over the old page, so a
// power loss leaves the previous whole page. 0 when done, else the system's
// error code.
int WriteRunReport(const char* resultsPath, const char* reportPath, const ReportHeader* header);
