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

// Where each run of the records begins (indexes, the first always 0 when there
// are records): a run is one run_id; records without one begin a new run
// wherever the cycle falls back to 1.
std::vector<int> RunStarts(const SleepRecord* records, int count);

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
// True when the file name ends in the extension (".xml"), without regard to case.
bool HasExtension(const char* path, const char* extension);

// ---- Run status: one small JSON file a poller reads to follow a run ----------

// "r.jsonl" gives "r.run.json", by the page's rule; false as DefaultReportPath.
bool RunStatusPath(const char* resultsPath, char* out, size_t outSize);

enum { RUN_STATUS_RUNNING, RUN_STATUS_FINISHED, RUN_STATUS_STOPPED, RUN_STATUS_REFUSED, RUN_STATUS_COUNT };
// "running", "finished", "stopped", "refused"; "" for any other value.
const char* RunStatusId(int status);

struct RunStatus {
    char runId[RUN_ID_SIZE];
    char computer[COMPUTER_NAME_SIZE];
    int state;                 // RUN_STATUS_*
    long long startUtc;        // FILETIME values; 0 where not known (end: still running)
    long long updateUtc;
    long long endUtc;
    long long nextUpdateBy;    // a poller calls the run hung only after this; 0: no bound (woken by hand)
    int cyclesDone;
    int cyclesPlanned;         // 0: cycles for ever
    int verdicts[VERDICT_COUNT];
    bool exitCodeKnown;
    int exitCode;
    char commandLine[1024];
    char results[256];
    char report[256];
    char log[256];
    char junit[256];
};
// The status as one JSON object (UTF-8 texts; others replaced), with a line end.
std::string FormatRunStatus(const RunStatus* status);

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
// Puts text at path whole through a temporary file beside it, flushed and then
// moved over the old file. 0 when done, else the system's error code.
int ReplaceFileWhole(const char* path, const std::string& text);
// The records of the results file; 0 when read, else the system's error code.
int ReadRunRecords(const char* resultsPath, std::vector<SleepRecord>* records, int* badLines);

// ---- Many runs and machines: JUnit XML and the fleet page (free of the system) ----

// The JUnit XML of these records: one testsuite per run.
void BuildJUnitReport(const ReportHeader* header, const SleepRecord* records, int count, std::string* xml);
// A run of more sleeps keeps a testcase for each of its first this many failed
// sleeps and folds the rest: its ok sleeps into a case per state, its later
// failures into a failing case per verdict.
#define JUNIT_CASES_PER_RUN 1000
// length bytes of UTF-8 text appended as XML 1.0 character data (attribute:
// quotes, tabs and line ends as references too): what XML cannot carry, not
// even as a reference (controls, bytes that are not UTF-8), as U+FFFD.
void AppendXmlText(std::string* out, const char* text, size_t length, bool attribute);

#define FLEET_PATH_SIZE 1024
#define FLEET_STATE_SIZE 16
// One results file of a machine, and what was found beside it.
struct FleetFile {
    char path[FLEET_PATH_SIZE];      // the results file as it was named
    char pageLink[FLEET_PATH_SIZE];  // its run report, relative to the fleet page, '/' between folders; empty: none
    char runState[FLEET_STATE_SIZE]; // the status file's "state"; empty: no status file was read
    bool exitCodeKnown;              // the status file's "exit_code"
    int exitCode;
    int badLines;                    // lines of the file that could not be read
    int first;                       // its records in the machine's list
    int count;
};
// One machine: its name (the records' computer, else the results file's
// folder) and its files' records, file after file.
struct FleetMachine {
    char name[COMPUTER_NAME_SIZE];
    std::vector<FleetFile> files;
    std::vector<SleepRecord> records;
};
// The JUnit XML of many machines: a testsuite for each run of each file.
void BuildFleetJUnit(const FleetMachine* machines, int machineCount, std::string* xml);
// The fleet page: one self-contained HTML page with a row a machine, then the
// failures of all of them grouped by kind.
void BuildFleetPage(const FleetMachine* machines, int machineCount, std::string* page);
// Takes the state and exit code of a run status file's text into file; false
// (and nothing taken) when the text is no JSON object.
bool ReadFleetStatus(const char* text, size_t length, FleetFile* file);
