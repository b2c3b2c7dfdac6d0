// Sleep cycle engine: power-management binding, privileges and policy, one
// sleep, the cycle driver and the run.
#pragma once
#include <windows.h>
#include <stddef.h>
#include <stdint.h>
#include <powrprof.h>
#include "core/core.h"
#include "log/log.h"
#include "settings/settings.h"
#include "events/events.h"
#include "results/results.h"


struct PowerApi {
    HMODULE module;
    BOOLEAN(WINAPI* IsPwrSuspendAllowed)(void);
    BOOLEAN(WINAPI* IsPwrHibernateAllowed)(void);
    BOOLEAN(WINAPI* SetSuspendState)(BOOLEAN hibernate, BOOLEAN forceCritical, BOOLEAN disableWakeEvent);
    BOOLEAN(WINAPI* GetCurrentPowerPolicies)(PGLOBAL_POWER_POLICY global, PPOWER_POLICY policy);
    BOOLEAN(WINAPI* GetActivePwrScheme)(PUINT schemeId);
    BOOLEAN(WINAPI* SetActivePwrScheme)(UINT schemeId, PGLOBAL_POWER_POLICY global, PPOWER_POLICY policy);
    BOOLEAN(WINAPI* ReadGlobalPwrPolicy)(PGLOBAL_POWER_POLICY global);
    LONG(WINAPI* CallNtPowerInformation)(POWER_INFORMATION_LEVEL level, PVOID input, ULONG inputLength,
                                          PVOID output, ULONG outputLength);
    // Power settings of the active plan (Windows Vista on); null where missing.
    DWORD(WINAPI* PowerGetActiveScheme)(HKEY rootPowerKey, GUID** activeScheme);
    DWORD(WINAPI* PowerReadACValueIndex)(HKEY rootPowerKey, const GUID* scheme, const GUID* subgroup,
                                         const GUID* setting, LPDWORD value);
    DWORD(WINAPI* PowerReadDCValueIndex)(HKEY rootPowerKey, const GUID* scheme, const GUID* subgroup,
                                         const GUID* setting, LPDWORD value);
};


extern PowerApi gPowerApi;
extern SYSTEM_POWER_CAPABILITIES gPowerCaps;
extern int gPowerCapsValid;
extern ADMINISTRATOR_POWER_POLICY gSavedAdminPolicy;
extern int gSavedAdminPolicyValid;  // the administrator policy was read at start-up

static_assert(sizeof(SYSTEM_POWER_CAPABILITIES) == 76, "capability record");
static_assert(sizeof(ADMINISTRATOR_POWER_POLICY) == 24, "administrator policy record");

// True on the NT family of Windows.
bool IsNtPlatform();
bool LoadPowerApi();
void QueryPowerCapabilities();
bool IsSleepStateSupported(int state);
// Supported states as a mask: bit 0 S1 .. bit 3 S4.
int SupportedStateMask();
void RestoreAdminPowerPolicy();
void UnloadPowerApis();


// ---------------------------------------------------------------------------
// Privileges and power policy.

extern HANDLE gShutdownToken;

// 0 = done (or nothing to do), 2 = the token did not open, 3 = not enabled.
int EnableShutdownPrivilege();
void AllowLogonWithoutPasswordOnWake();
// Narrows the administrator policy to one SYSTEM_POWER_STATE; true when read and written.
bool SetAdminSleepPolicy(int minSleep, int maxSleep);

// The record to write for a narrowing: the read record when the read succeeded
// (readStatus 0), else the other fields from saved (null when nothing was saved).
// False when there is nothing valid to write.
bool ComposeAdminSleepPolicy(LONG readStatus, const ADMINISTRATOR_POWER_POLICY* read,
                             const ADMINISTRATOR_POWER_POLICY* saved, int minSleep, int maxSleep,
                             ADMINISTRATOR_POWER_POLICY* out);

// ---------------------------------------------------------------------------
// Did the machine sleep: the time it spent asleep, from the first source that answers.

// The clocks the measurement reads, bound from kernel32 at start-up (each may
// be missing on older Windows); tests put clocks of their own in their place.
struct SleepClockApi {
    VOID(WINAPI* QueryInterruptTime)(PULONGLONG interruptTime);
    BOOL(WINAPI* QueryUnbiasedInterruptTime)(PULONGLONG unbiasedTime);
    ULONGLONG(WINAPI* GetTickCount64)(void);
};
extern SleepClockApi gSleepClockApi;
void BindSleepClockApi();


// One reading of everything the measurement compares, taken just before the
// suspend call and again after the wake. Times are in 100 ns units.
struct AsleepReading {
    bool stampsValid;  // LastSleepTime and LastWakeTime both answered
    ULONGLONG lastSleep;
    ULONGLONG lastWake;
    int interruptSource;  // ASLEEP_FROM_INTERRUPT_TIME, ASLEEP_FROM_TICK_COUNT or ASLEEP_UNKNOWN (no clock)
    ULONGLONG interrupt;
    bool unbiasedValid;
    ULONGLONG unbiased;
};
void TakeAsleepReading(AsleepReading* reading);
// Seconds asleep between two readings and the source that gave them:
// the system's sleep and wake stamps when both are newer than before; else the
// growth of interrupt time less the growth of unbiased interrupt time, which
// stops while the machine sleeps; else ASLEEP_UNKNOWN.
int ComputeTimeAsleep(const AsleepReading* before, const AsleepReading* after, int* seconds);

// ---------------------------------------------------------------------------
// Staying awake between sleeps.

// SetThreadExecutionState as called by the engine; tests record the calls.
extern EXECUTION_STATE(WINAPI* gSetThreadExecutionState)(EXECUTION_STATE flags);
// Holds (true) or releases (false) the system-required state of a run between
// sleeps; calls the system only when that changes.
void KeepMachineAwake(bool hold);
bool IsKeepingMachineAwake();
// The one-time reset of the system and display idle timers after a wake.
void ResetIdleTimers();

// ---------------------------------------------------------------------------
// The machine's checks before the first sleep of a run.

// Wake-timer setting of a power plan: 0 disabled, 1 enabled, 2 important wake timers only.
enum { WAKE_TIMERS_DISABLED = 0, WAKE_TIMERS_ENABLED = 1, WAKE_TIMERS_IMPORTANT_ONLY = 2 };
enum { POWER_SOURCE_UNKNOWN = -1, POWER_SOURCE_BATTERY = 0, POWER_SOURCE_AC = 1 };

// Each returns the level of its line (LOG_WARNING when the finding blocks or
// falsifies the test, else LOG_INFO) and writes the line into out.
int DescribeModernStandby(bool aoac, bool lightStateSelected, char* out, size_t outSize);
int DescribeWakeTimers(DWORD acValue, DWORD dcValue, int powerSource, char* out, size_t outSize);
int DescribePowerSource(int powerSource, int batteryPercent, char* out, size_t outSize);
// Only for a run that includes S4.
int DescribeHibernation(bool hibernationOn, char* out, size_t outSize);
// Modern Standby (connected or disconnected standby): the capability record's AoAc byte.
bool CapsShowModernStandby(const SYSTEM_POWER_CAPABILITIES* caps);
// Logs the findings for a run of the selected states.
void LogMachineChecks(const uint8_t selection[4]);

// ---------------------------------------------------------------------------
// One sleep with its wake timer.

#define VESPLIN_TIMER_RESUME_IGNORED 722L  // the system ignored the timer's resume request
#define BACKUP_WAKE_LIMIT_SEC 120           // sleeps shorter than this get a backup timer
#define BACKUP_WAKE_DELAY_SEC 125


extern HANDLE gWakeTimer;
extern HANDLE gBackupWakeTimer;

// What the last EnterSleepState call found: verdict, times (start before the
// suspend call, end after the wake), time asleep, and a refused sleep's code
// and reason. The cycle driver adds the cycle and the states.
extern SleepRecord gLastSleep;
// How long its suspend call took, and the wake-source count before it.
extern int gLastSuspendSec;
extern LONG gLastWakeSourceMark;

// ENTER_OK, ENTER_NOT_SLEPT (it returned, but the machine never slept),
// ENTER_FAILED or ENTER_BAD_STATE; gLastSleep tells the details.
int EnterSleepState(int state, int durationSec, int force, int cycleNumber);

// SYSTEM_POWER_STATE for the administrator policy of a state; 0 for S4 (no change).
int AdminPolicyStateFor(int state);
bool NeedsBackupTimer(int durationSec);

// Creates and arms gWakeTimer for durationSec from now (and the backup timer for
// short sleeps). 0 when armed; otherwise the system's error code, no timer left open.
DWORD ArmWakeTimers(int durationSec);
// Writes theResumeRecord (and the tail) to the marker file and forces it to the
// disk; 0 when done, otherwise the system's error code.
DWORD WriteMarkerFile();
// Forces a file's cached data to the disk; false when it could not be opened or flushed.
bool FlushFileToDisk(const char* path);
// Forces the log file's lines so far to the disk (when logging to a file).
void FlushLogFileToDisk();

// ---------------------------------------------------------------------------
// Devices and battery across each sleep.

// The system's device library (setupapi.dll from the system folder), bound at
// run time; tests put their own entries in the table.
struct DeviceApi {
    HMODULE module;
    HANDLE(WINAPI* GetClassDevsW)(const GUID* classGuid, PCWSTR enumerator, HWND parent, DWORD flags);
    BOOL(WINAPI* EnumDeviceInfo)(HANDLE list, DWORD index, struct _SP_DEVINFO_DATA* device);
    BOOL(WINAPI* GetDeviceInstanceIdW)(HANDLE list, struct _SP_DEVINFO_DATA* device, PWSTR id, DWORD size,
                                       PDWORD needed);
    BOOL(WINAPI* GetDeviceRegistryPropertyW)(HANDLE list, struct _SP_DEVINFO_DATA* device, DWORD property,
                                             PDWORD type, PBYTE buffer, DWORD size, PDWORD needed);
    BOOL(WINAPI* DestroyDeviceInfoList)(HANDLE list);
    DWORD(WINAPI* GetDevNodeStatus)(PULONG status, PULONG problem, DWORD devInst, ULONG flags);
};
extern DeviceApi gDeviceApi;
// Binds the table once; false when the library or an entry point is missing.
bool LoadDeviceApi();
void UnloadDeviceApi();
// The devices present now, sorted by id: 0, or the system's error code.
DWORD TakeDeviceSnapshot(std::vector<DeviceEntry>* devices);
// The battery state now; false when the system does not answer.
bool ReadBattery(BatteryReading* reading);
// The side file "<marker>.devices": the standing problems and the list before the sleep.
std::string FormatDeviceSideFile(const std::vector<std::string>& standing, const std::vector<DeviceEntry>& before);
bool ParseDeviceSideFile(const std::string& text, std::vector<std::string>* standing,
                         std::vector<DeviceEntry>* before);
void DeleteDeviceSideFile();

// The check of a run (gDeviceCheck says how): the list at its start, with the
// problems that stand before it (after a power cycle, those of the side file);
// off with a Warning when the list cannot be read.
void BeginDeviceCheck(bool resumed);
void EndDeviceCheck();
bool IsDeviceCheckActive();
// Before each sleep, ahead of its marker and timer: devices and battery, and the side file.
void SnapshotBeforeSleep();
// At once after the wake: the record's devices and battery. When something
// changed, the devices are looked at again every 2 s for up to the settle time.
void CheckDevicesAfterWake(SleepRecord* record, int cycle);
bool IsDeviceRecheckPending();
int DeviceSettleSecondsLeft();
// Looks again when due; true once the check has its final answer in record.
bool PollDeviceRecheck(SleepRecord* record);
// Waits for that answer, with Stop and Exit answered.
void FinishDeviceRecheck(SleepRecord* record);
// After a power cycle: the lost sleep's devices against the side file, with
// its Error lines; the run that goes on keeps the side file's standing problems.
void CheckDevicesAfterPowerCycle(SleepRecord* lost);

// ---------------------------------------------------------------------------
// Stopping a run from another process: "Vesplin.exe --stop".

// "Global\\Vesplin.Stop" and "Local\\Vesplin.Stop".
extern const wchar_t* const STOP_SIGNAL_NAMES[2];
// Every run makes both names (the global one may be refused), settable by the
// system, administrators and the run's own user.
void OpenStopSignals();
void CloseStopSignals();
// True once when a signal was set since the last call.
bool TakeStopSignal();
// Sets the first of the two names that exists: 0 when a run was signalled, 1 when none runs.
int SignalStop();

// ---------------------------------------------------------------------------
// Cycle driver, fallback rule and countdowns.

#define COUNTDOWN_TICK_MS 500         // countdowns between states and of command-line runs
#define WINDOW_RUN_TICK_MS 100        // countdown before a cycle of a run started from the window

// How a run shows its progress, implemented by the main window (tests give
// their own). Every entry may be null; the engine never touches a control.
struct RunView {
    void* context;
    // Owner of the boxes a run shows and the dialog whose keys the run's
    // message pump hands to it; may be null.
    HWND window;
    // The countdown's seconds left, and the cycle it leads to.
    void (*ShowCountdown)(void* context, int secondsLeft, int cycleShown);
    // A run has started: Sleep Now and Configuration off, Pause on.
    void (*ShowRunning)(void* context);
    // After each sleep: what the sleep left stale is drawn again.
    void (*Refresh)(void* context);
};
extern RunView gRunView;
void ShowCountdown(int secondsLeft, int cycleShown);

// States entered (or attempted) by the last RunCycleStates call.
extern int gCycleStatesEntered;

// Consecutive sleeps that did not happen and came back within a second end a
// run after this many: a suspend call that returns at once must not make it spin.
#define QUICK_SLEEP_LIMIT 3
void ResetQuickSleepCount();
// Counts a sleep that ended with result (ENTER_*) after measuredSec; true when the run must end.
bool CountQuickSleep(int result, int measuredSec);

int RunCycleStates(const uint8_t selectedStates[4], const int32_t durations[4], int intervalSec, bool isLastCycle,
                   int cycleNumber);
// Counts down seconds in ticks of tickMs, drawing and pumping messages at each tick;
// 0 when finished or stopped, RUN_QUIT when the program is closing.
int RunCountdown(int seconds, int tickMs, int cycleShown);
void PumpPendingMessages();
void LaunchExternalApp(const char* path);

// ---------------------------------------------------------------------------
// Results for automation: the results file and the exit code of a run.

// Full path of the results file ("" when none): the command line's --results,
// or the path a run interrupted by a power cycle left in the marker file.
extern char gResultsPath[256];
// Where the run report (an HTML page rebuilt after every record) goes; "" for
// beside the results file, with the extension ".html".
extern char gReportPath[256];
// The command line of the run in progress (a resumed run's is the one it began with); "" : this process's.
extern char gRunCommandLine[512];
// Rebuilds the page from the results file, when there is one.
void RefreshRunReport();
// The page once more at the end of an automatic-exit run, with its exit code.
// The status file too, by how the run ended (RUN_END_*).
void FinishRunReport(int exitCode, int runEnd);
// The end of a run in the log: how it ended with its counts (and the exit code
// of an automatic-exit run), then a line of statistics per state; the page
// then shows when the run ended.
void LogRunEnd(int runEnd);
// The run report's header as far as it is known while the run goes on: this
// program, computer, Windows version and command line; no exit code, and the
// times left to the first and last records.
void FillReportHeader(ReportHeader* header);

// Sleeps of this process's runs, for the exit code of an automatic-exit run.
extern RunTally gRunTally;
// The same run's records by verdict, for its status file.
extern int32_t gVerdictCounts[VERDICT_COUNT];
// Counts a record of the verdict (tally and counts by verdict); a verdict a
// later detail changes is moved from one count to the other.
void CountRecord(int verdict);
void RecountRecord(int from, int to);

// --max-failures of the run in progress (0: off), and its records that failed
// in a row, the last one included.
extern int gMaxFailures;
extern int gFailureStreak;
// The streak after a record of verdict; a recount puts the last record's new
// verdict in place of the one counted (the streak before it is kept for that).
void CountFailureStreak(int verdict);
void RecountFailureStreak(int verdict);
// True when the failed sleeps in a row have reached --max-failures.
bool FailureLimitReached();
// The Error line of a run that ends there.
void LogFailureLimit();

// --junit: the JUnit file rebuilt beside the page after every record; "" for none.
extern char gJUnitPath[256];

// ---------------------------------------------------------------------------
// The identity and status of a run, for the lab's scripts.

// Made at the run's start and kept through every restart of that run.
extern char gRunId[RUN_ID_SIZE];
extern long long gRunStartUtc;  // FILETIME of the run's start
// The machine's DNS host name (UTF-8), as records and the page name it.
const char* ComputerName();
// A new identity for a run that has none yet, or (fresh) for a new run in
// any case: a run taken back keeps its own.
void BeginRunIdentity(bool fresh = false);
// The identity of the interrupted run a marker carries (run may be null for a
// window run); a marker of an older layout has none.
void TakeRunIdentity(const struct MarkerTail* tail, const struct MarkerRun* run);
// Cycles of the run completed so far.
extern int gCyclesDone;
// Replaces "<results>.run.json" whole: where the run stands (RUN_STATUS_*),
// with the exit code when it is known. Nothing without a results file; a
// status that cannot be written is said once in the log.
void WriteRunStatus(int state, bool exitCodeKnown = false, int exitCode = 0);
// The status a run's end (RUN_END_*) gives.
int RunStatusOfEnd(int runEnd);
// The system's time now as a FILETIME value (UTC).
long long NowFileTime();

// What follows the 24-byte run position in the marker file: the details the
// record of a sleep that never came back needs, and whether a start after the
// power cycle has already written that record.
// Each layout is the one before it with fields added at its end.
#define MARKER_TAIL_MAGIC "VRT3"
#define MARKER_TAIL_V2_MAGIC "VRT2"  // without the run's identity, 288 bytes
#define MARKER_TAIL_V2_SIZE 288
#define MARKER_TAIL_V1_MAGIC "VRT1"  // without the recorded flag either, 284 bytes
#define MARKER_TAIL_V1_SIZE 284
struct MarkerTail {
    char magic[4];
    int32_t enteredState;
    int32_t requestedSec;
    char fallback[16];
    char resultsPath[256];
    int32_t recorded;  // the lost record is in the results file
    char runId[RUN_ID_SIZE];            // "" in the older layouts
    char computer[COMPUTER_NAME_SIZE];
};
static_assert(sizeof(MarkerTail) == MARKER_TAIL_V2_SIZE + RUN_ID_SIZE + COMPUTER_NAME_SIZE, "marker tail");
// Filled by the cycle driver before each sleep; written by WriteMarkerFile.
extern MarkerTail gMarkerTail;
// Reads a tail (bytes read after the run position) of either layout. true when
// it is whole; false when it is missing, short or has a bad field. The fields
// that could be read are kept in *tail all the same (a state that is not one
// as -1, a text that is not terminated as ""), and why says what was wrong.
bool ParseMarkerTail(const void* bytes, size_t length, MarkerTail* tail, char* why = nullptr, size_t whySize = 0);

// What follows the tail while a command-line run sleeps: everything the start
// after a power cycle needs to go on with the same run, whatever the settings
// file beside the program says by then.
#define MARKER_RUN_MAGIC "VCL4"
#define MARKER_RUN_V3_MAGIC "VCL3"  // without the failure streak and --max-failures, 4056 bytes
#define MARKER_RUN_V3_SIZE 4056
#define MARKER_RUN_V2_MAGIC "VCL2"  // without the JUnit file, counts and start time, 3760 bytes
#define MARKER_RUN_V2_SIZE 3760
#define MARKER_RUN_V1_MAGIC "VCL1"  // without the device check either, 2724 bytes
#define MARKER_RUN_V1_SIZE 2724
struct MarkerRun {
    char magic[4];
    int32_t autoExit;       // the run ends the program and sets the exit code
    int32_t growSeconds;    // -T
    int32_t durations[4];   // the durations of the cycle in progress, grown so far
    RunTally tally;         // the run's sleeps so far, for its exit code
    char logFilePath[256];  // the log file as a full path: a restart has another working folder
    char reportPath[256];   // --report, as a full path; empty: beside the results file
    char commandLine[512];  // the run's own command line, for its report
    ConfigRecord settings;  // the run's settings
    DeviceCheckSettings devices;  // --no-device-check, --device-settle, --ignore-device
    char junitPath[256];          // --junit, as a full path; "" for none
    int32_t verdicts[VERDICT_COUNT];  // the run's records by verdict
    int64_t startUtc;             // FILETIME of the run's start
    int32_t failureStreak;        // failed sleeps in a row so far
    int32_t maxFailures;          // --max-failures; 0: off
};
static_assert(MARKER_RUN_V2_SIZE == MARKER_RUN_V1_SIZE + 12 + DEVICE_IGNORE_MAX * DEVICE_IGNORE_TEXT, "run block 2");
static_assert(MARKER_RUN_V3_SIZE == MARKER_RUN_V2_SIZE + 256 + 4 * VERDICT_COUNT + 8, "run block 3");
static_assert(offsetof(MarkerRun, failureStreak) == MARKER_RUN_V3_SIZE, "run block 4 adds to the end of 3");
static_assert(sizeof(MarkerRun) == MARKER_RUN_V3_SIZE + 8, "marker run block");
// Filled by the command-line run; written with every marker while its magic is set.
extern MarkerRun gMarkerRun;
// Checks a run block read back from a marker; false (with why) when it is not one.
bool ParseMarkerRun(const MarkerRun* in, MarkerRun* out, char* why = nullptr, size_t whySize = 0);

struct MarkerContents {
    ResumeRecord position;
    size_t positionBytes;  // bytes of the position the file held (24 when whole)
    bool haveTail;         // a tail was there; its bad fields are blank
    MarkerTail tail;
    bool runPresent;       // the file holds a run block, whether it could be taken or not
    int runAutoExit;       // that block's -E when it could be read: 1 or 0; -1 when not
    bool haveRun;          // the block was taken
    MarkerRun run;
    char problem[160];     // why the tail or the run block was not whole; "" when all was
};
// Splits the bytes of a marker file. A short file fills only the part of the
// position it holds; the rest of out->position is left as it was.
bool ParseMarkerFile(const void* bytes, size_t length, MarkerContents* out);
// 0 with out filled when the marker file is there; otherwise the system's
// error code (ERROR_FILE_NOT_FOUND when there is none, ERROR_DIRECTORY for a folder).
DWORD ReadMarkerFile(const char* path, MarkerContents* out);
// Sets the recorded flag of the marker's tail in place, forced to the device;
// 0 when done, otherwise the system's error code (ERROR_NOT_SUPPORTED for a
// tail of the older layout).
DWORD MarkMarkerRecorded(const char* path);
// Deletes the marker, making it writable first when it is read-only; 0 when it
// is gone (or was never there), otherwise the system's error code.
DWORD DeleteMarkerFile(const char* path);
// The checks a run taken back from a marker passes, as a command line does:
// every duration of a selected state within its limits (unless woken by hand),
// and its files (log, results, report, with the marker and configuration
// files) all different, the report an HTML page. false with why when it fails.
bool CheckMarkerRun(const MarkerRun* run, const char* resultsPath, const char* configPath, char* why, size_t whySize);
// The results file a marker names, beside the log and configuration files in
// force: false with why when it names one of them, the marker or its page.
bool CheckMarkerResults(const char* resultsPath, const char* logPath, const char* configPath, char* why,
                        size_t whySize);

// Writes the record of the sleep just made (from gLastSleep) at once. When the
// wake-source thread is watching and has not yet reported this wake, the
// record is held until it does (or until the next sleep or the run's end) and
// its line then replaced with the wake record's details.
void RecordSleepResult(int cycleNumber, int requested, int target, int force, int requestedSec);
// Records the sleep a power cycle interrupted (the marker's run position and
// tail), with why it was lost when the system's records told (why may be null).
// The page is not rebuilt: the caller marks the marker first, then calls RefreshRunReport.
void RecordLostSleep(const ResumeRecord* position, const MarkerTail* tail, long long nowUnixSeconds,
                     const struct LostDiagnosis* why);
// Completes the last record of the results file when a power loss interrupted
// its replacement (the "<results>.pending" file), with a line in the log.
void RestorePendingResult();
// At every countdown tick: completes a held record once its wake source is known.
void PollPendingResult();
// Completes a held record now, with or without its wake source.
void FlushPendingResult();
bool IsResultPending();
// The system writes its wake record seconds after the resume: before a run
// ends, a held record waits for it up to limitSec (while the wake-source
// thread watches), with Stop and Exit answered; then it is written.
void WaitForPendingResult(int limitSec);
#define LAST_WAKE_RECORD_WAIT_SEC 60
// Appends one record to the results file (when there is one) and reports a
// failure in the log; counted in gRunTally.
void WriteSleepResult(const SleepRecord* record);

// ---------------------------------------------------------------------------
// Runs of cycles and the automatic restart.

// A run of the selected states, started from the window's Sleep Now.
void StartCycleRunFromWindow(const uint8_t selection[4]);
// The run the command line (or a marker's run block) put into the settings.
void StartCycleRunFromCommandLine();
