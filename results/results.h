// Results for automation: the results file of one JSON record a sleep, reading
// it back, and the run report built from it. All but the last part is free of
// the system and builds on any host; the files are written by the Windows part.
#pragma once
#include <stddef.h>
#include "core/core.h"
#include <stdint.h>
#include <map>
#include <string>
#include <unordered_map>
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
// Hands each record of the file to take, reading it a line at a time, so a
// month of records is never in memory whole; *badLines as ReadResultsText.
// 0 when it was read, else the C library's error number.
int ForEachResultRecord(const char* path, void (*take)(const SleepRecord& record, void* context), void* context,
                        int* badLines);

// Where each run of the records begins (indexes, the first always 0 when there
// are records): a run is one run_id; records without one begin a new run
// wherever the cycle falls back to 1.
std::vector<int> RunStarts(const SleepRecord* records, int count);
// Whether now begins a run after a record of that run id and cycle.
bool BeginsNewRun(const char* beforeRunId, int beforeCycle, const SleepRecord& now);

// ---- What the report keeps of a results file between rebuilds ------------------

// A run of at most REPORT_ALL_ROWS sleeps lists every one; a longer one lists
// its first and last REPORT_FAILED_ROWS sleeps that were not ok and its last
// REPORT_LAST_ROWS sleeps, and draws its charts as REPORT_BUCKETS columns of
// consecutive sleeps.
#define REPORT_ALL_ROWS 2000
#define REPORT_FAILED_ROWS 1000
#define REPORT_LAST_ROWS 500
#define REPORT_BUCKETS 1000

// A sleep's resume phases as the report's rows keep them.
enum { ROW_WAKE = 0, ROW_FIRMWARE, ROW_DRIVERS, ROW_HIBER_WRITE, ROW_HIBER_READ, ROW_PHASES };
enum { ROW_DEVICE_FAULT = 1, ROW_HAS_PHASES = 2 };

// What the page's statistics and charts need of one sleep; times are -1 when
// unknown, milliseconds at most a day.
struct ReportRow {
    int32_t cycle;
    int32_t requestedSec;
    int32_t measuredSec;
    int32_t asleepSec;
    int32_t phaseMs[ROW_PHASES];
    int32_t drainMw;     // the battery's drain; -1 on mains power or without a battery
    int32_t wakeSource;  // index into the run's wakeSources; -1 when none was reported
    int8_t verdict;      // VERDICT_*, or VERDICT_COUNT for one this build does not know
    int8_t requestedState;
    int8_t enteredState;
    int8_t lostReason;
    uint8_t flags;       // ROW_*
};
ReportRow RowOf(const SleepRecord& record, int32_t wakeSource);

// A record the page may list, with its place among the run's rows.
struct KeptRecord {
    int row;
    SleepRecord record;
};

// Kinds of failure, as the page and the fleet page group them.
enum { KIND_SLEEP, KIND_LOST, KIND_DEVICE, KIND_FAMILIES };
extern const char* const KIND_NAMES[KIND_FAMILIES];  // "Sleep", "Lost", "Device"
struct FailureKey {
    int family;
    std::string what;      // the verdict with its cause; the lost reason with the bug check; the device's name
    std::string happened;  // a device's: "missing" or its problem; empty for the others
};
// The kinds of failure one record shows: its verdict with its cause, coarse
// enough that the same cause is one kind (no times, no cycles), and each
// device that failed, once a name. None for an ok sleep without a device fault.
std::vector<FailureKey> FailureKeysOf(const SleepRecord& record);
// A failed sleep's cause in a few words, without its verdict: "back after 31 s
// of 60 s", "asleep 2 s of 30 s", "asked S3, entered S4", "suspend_failed,
// error 50", "power_lost_asleep, bug check 0x9F"; empty when there is none to tell.
std::string FailureCause(const SleepRecord& record);

struct DigestKind {
    int family;
    std::string what;
    std::vector<std::string> happened;
};
struct DeviceFault {
    int row;
    int device;  // index into the run's devices
    int code;    // the problem code; -1: missing
};

// One run of the results file as the report keeps it: a compact row a
// sleep, the records the page may list, and the texts the rows point at.
struct RunDigest {
    std::vector<ReportRow> rows;
    std::vector<KeptRecord> firstFailed;  // the first REPORT_FAILED_ROWS sleeps that were not ok
    std::vector<KeptRecord> lastFailed;   // the last ones, oldest first (a quarter more may be kept)
    std::vector<KeptRecord> recent;       // the last REPORT_ALL_ROWS sleeps, oldest first (as lastFailed)
    std::vector<std::string> wakeSources;
    std::vector<DigestKind> kinds;
    std::vector<std::pair<int, int>> rowKinds;  // row and kind of each failure, in row order
    std::vector<DeviceEntry> devices;           // as first seen, with a name a later sighting brought
    std::vector<DeviceFault> deviceFaults;      // in row order
    char runId[RUN_ID_SIZE];
    char computer[COMPUTER_NAME_SIZE];
    long long firstStartUtc;  // the first known start
    long long lastEndUtc;
    // Look-ups of the texts above.
    std::unordered_map<std::string, int> wakeIndex;
    std::map<std::pair<int, std::string>, int> kindIndex;
    std::unordered_map<std::string, int> deviceIndex;
};

// A results file as the report keeps it: its runs, and the lines that could not be read.
struct ReportDigest {
    std::vector<RunDigest> runs;
    int badLines;
};
void ClearDigest(ReportDigest* digest);
// Adds a record after the others; a new run begins where RunStarts says.
void AddToDigest(ReportDigest* digest, const SleepRecord& record);
// Puts record in place of the last one added (a held record completed later).
void ReplaceLastInDigest(ReportDigest* digest, const SleepRecord& record);
// The digest of these records (badLines: lines that could not be read).
void DigestOf(const SleepRecord* records, int count, int badLines, ReportDigest* digest);
// The digest of a results file, read once a line at a time; 0 when read, else
// the C library's error number (and an empty digest).
int ReadResultsDigest(const char* path, ReportDigest* digest);
// The kept record of a row; null when the digest no longer keeps it.
const SleepRecord* KeptRecordOf(const RunDigest& run, int row);
// The rows the page lists, in order: every one of a run of at most
// REPORT_ALL_ROWS, else the first and last REPORT_FAILED_ROWS that were not
// ok and the last REPORT_LAST_ROWS.
std::vector<int> ListedRows(const RunDigest& run);

// A kind of failure of a run with how often and where it happened.
struct KindCount {
    int kind;  // index into the run's kinds
    int sleeps;
    int firstRow, lastRow;
};
// Each kind of failure of the run that happened, most frequent first.
std::vector<KindCount> CountFailureKinds(const RunDigest& run);

// ---- Statistics of a run -----------------------------------------------------------

// The spread of some values: nearest-rank percentiles; count 0 when there are none.
struct Spread {
    int count;
    long long min, median, p95, max;
};
// The spread of values (reordered); count 0 for none.
Spread SpreadOf(std::vector<long long>* values);

enum { STAT_MEASURED_PCT, STAT_ASLEEP, STAT_RESUME, STAT_FIRMWARE, STAT_DRIVERS, STAT_HIBER_WRITE, STAT_HIBER_READ,
       STAT_COUNT };
// "Measured, % of requested", "Asleep, s", ...; and their short forms for the log.
extern const char* const STAT_NAMES[STAT_COUNT];

struct StateStatistics {
    int state;  // SLEEP_*, -1: a state this build does not know; for the whole run: -2
    int sleeps;
    int verdicts[VERDICT_COUNT + 1];  // the last: verdicts this build does not know
    int failed;                       // every verdict but ok
    Spread spreads[STAT_COUNT];
};
// The whole resume of the first tenth of a run's sleeps that have one against
// the last tenth; known when at least ten sleeps have one.
struct ResumeTrend {
    bool known;
    long long firstMedianMs, lastMedianMs;
    int firstFrom, firstTo, lastFrom, lastTo;  // their cycles
};
struct RunStatistics {
    std::vector<StateStatistics> states;  // each state the run asked for, S1 first
    StateStatistics all;
    ResumeTrend trend;
};
RunStatistics ComputeRunStatistics(const ReportRow* rows, int count);
// "12,345": a count with its thousands marked.
std::string Grouped(long long value);
// "1.5%", "0%", "100%", "0.01%": the share of failed sleeps.
std::string FailRate(int failed, int sleeps);
// A log line of a state's statistics: "S3: 200 sleeps, 3 failed (1.5%); measured
// 98/100/101/140% of requested (min/median/p95/max); ..."
std::string StatisticsLine(const StateStatistics& statistics);
// How a run ended, in one log line: "Run finished: 200 sleeps, 197 ok, 2 short,
// 1 lost; exit code 2" (the exit code when exitCodeKnown), "Run stopped by a
// person after 37 sleeps: ...", "Run ended early ...". runEnd: RUN_END_*.
std::string RunClosingLine(int runEnd, const int verdicts[VERDICT_COUNT], bool exitCodeKnown, int exitCode);

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
// The whole page of a digest, as the engine rebuilds it after every sleep.
void BuildRunReport(const ReportHeader* header, const char* resultsPath, const ReportDigest& digest,
                    std::string* page);
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
// The digest of the results file (ReadResultsDigest); 0 when read, else the
// system's error code.
int ReadRunDigest(const char* resultsPath, ReportDigest* digest);

// ---- Many runs and machines: JUnit XML and the fleet page (free of the system) ----

// The JUnit XML of these records: one testsuite per run.
void BuildJUnitReport(const ReportHeader* header, const SleepRecord* records, int count, std::string* xml);
void BuildJUnitReport(const ReportHeader* header, const ReportDigest& digest, std::string* xml);
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
