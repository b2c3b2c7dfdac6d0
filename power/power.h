// Sleep cycle engine: power-management binding, privileges and policy, one
// sleep, the cycle driver and the run.
#pragma once
#include <windows.h>
#include <stddef.h>
#include <stdint.h>
#include <powrprof.h>
#include <winevt.h>
#include "core/core.h"
#include "log/log.h"
#include "settings/settings.h"
#include "results/results.h"

enum { SLEEP_S1 = 0, SLEEP_S2 = 1, SLEEP_S3 = 2, SLEEP_S4 = 3 };
enum { FALLBACK_LIGHTER = 0, FALLBACK_DEEPER = 1, FALLBACK_FORCE = 2, FALLBACK_SKIP = 3 };
enum { ENTER_OK = 0, ENTER_FAILED = 4, ENTER_BAD_STATE = 5, ENTER_NOT_SLEPT = 6 };
enum { RUN_QUIT = 1 };

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

extern PowerApi gPowerApi;
extern EventApi gEventApi;
extern SYSTEM_POWER_CAPABILITIES gPowerCaps;
extern int gPowerCapsValid;
extern ADMINISTRATOR_POWER_POLICY gSavedAdminPolicy;
extern int gSavedAdminPolicyValid;  // the administrator policy was read at start-up

static_assert(sizeof(SYSTEM_POWER_CAPABILITIES) == 76, "capability record");
static_assert(sizeof(ADMINISTRATOR_POWER_POLICY) == 24, "administrator policy record");

// True on the NT family of Windows.
bool IsNtPlatform();
void LoadEventLogApi();
bool LoadPowerApi();
void QueryPowerCapabilities();
bool IsSleepStateSupported(int state);
// Supported states as a mask: bit 0 S1 .. bit 3 S4.
int SupportedStateMask();
void RestoreAdminPowerPolicy();
void UnloadPowerApis();

// Loads a library from the Windows system folder only.
HMODULE LoadSystemLibrary(const char* name);

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

enum { ASLEEP_UNKNOWN = 0, ASLEEP_FROM_STAMPS = 1, ASLEEP_FROM_INTERRUPT_TIME = 2, ASLEEP_FROM_TICK_COUNT = 3 };

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
// The source as the log names it ("LastSleepTime/LastWakeTime", ...); "" for none.
const char* AsleepSourceName(int source);
// The source as the results file names it ("sleep_wake_stamps", ...); "" for none.
const char* AsleepSourceId(int source);
// True when the time asleep is under half of the measured time, or none at all.
bool MachineDidNotSleep(int asleepSec, int measuredSec);

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

enum { VERDICT_OK = 0, VERDICT_TOO_SHORT = 1, VERDICT_TOO_LONG = 2, VERDICT_NOT_SLEPT = 3, VERDICT_REFUSED = 4,
       VERDICT_LOST = 5, VERDICT_WRONG_STATE = 6 };
// "ok", "short", "long", "not_slept", "refused", "lost", "wrong_state".
const char* VerdictId(int verdict);

extern HANDLE gWakeTimer;
extern HANDLE gBackupWakeTimer;

// What the last EnterSleepState call found.
struct SleepOutcome {
    int verdict;  // VERDICT_*, or VERDICT_NOT_SLEPT / VERDICT_REFUSED
    int measuredSec;
    int asleepSource;  // ASLEEP_*
    int asleepSec;
    int suspendSec;    // how long the suspend call took
    long errorCode;    // of a refused sleep
    const char* reason;  // why it was refused (results file's "reason"); null otherwise
    long long startUtc;  // FILETIME before the suspend call, and after the wake
    long long endUtc;
    LONG wakeSourceMark;  // wake-source count before the suspend call
};
extern SleepOutcome gLastSleep;

// ENTER_OK, ENTER_NOT_SLEPT (it returned, but the machine never slept),
// ENTER_FAILED or ENTER_BAD_STATE; gLastSleep tells the details.
int EnterSleepState(int state, int durationSec, int force, int cycleNumber);

// SYSTEM_POWER_STATE for the administrator policy of a state; 0 for S4 (no change).
int AdminPolicyStateFor(int state);
// Seconds of tolerance of the verdict: 15 for S1-S3, 45 for S4.
int SleepToleranceSec(int state);
int JudgeSleepTime(int state, int durationSec, int measuredSec, bool sleepForever);
bool NeedsBackupTimer(int durationSec);
// Whole seconds between two FILETIME values (100 ns units), rounded to nearest.
int MeasuredSeconds(long long start100ns, long long end100ns);

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
// Cycle driver, fallback rule and countdowns.

#define FALLBACK_LINE_SIZE 96
#define FALLBACK_MAX_LINES 5
#define COUNTDOWN_TICK_MS 500         // countdowns between states and of command-line runs
#define WINDOW_RUN_TICK_MS 100        // countdown before a cycle of a run started from the window

// What to do with one requested state: the lines to log (LOG_INFO) and the target.
struct StatePlan {
    int target;  // state to enter; meaningless when skip is set
    int force;
    int skip;
    int lineCount;
    char lines[FALLBACK_MAX_LINES][FALLBACK_LINE_SIZE];
};

// supportedMask: bit 0 S1 .. bit 3 S4.
void PlanStateAttempt(int requested, int supportedMask, int fallbackMode, const int32_t durations[4],
                      StatePlan* plan);
// Fills list with the selected states in ascending order; returns their number.
int BuildStateList(const uint8_t selectedStates[4], int list[4]);
// First position of a cycle: 0, or the stored next position of a resumed run (never negative).
int CycleStartPosition(bool resume, int nextStatePos);
// Number shown during a countdown of seconds after counter ticks.
int CountdownSecondsLeft(int seconds, long long counter, int ticksPerSecond);
// Height of the countdown font for a value at logPixelsY pixels per inch.
int CountdownFontHeight(int secondsLeft, int logPixelsY);

// States entered (or attempted) by the last RunCycleStates call.
extern int gCycleStatesEntered;

// Consecutive sleeps that did not happen and came back within a second end a
// run after this many: a suspend call that returns at once must not make it spin.
#define QUICK_SLEEP_LIMIT 3
void ResetQuickSleepCount();
// Counts a sleep that ended with result (ENTER_*) after measuredSec; true when the run must end.
bool CountQuickSleep(int result, int measuredSec);

int RunCycleStates(HWND window, const uint8_t selectedStates[4], const int32_t durations[4], int intervalSec,
                   bool isLastCycle, int cycleNumber);
// Counts down seconds in ticks of tickMs, drawing and pumping messages at each tick;
// 0 when finished or stopped, RUN_QUIT when the program is closing.
int RunCountdown(HWND window, int seconds, int tickMs, int cycleShown);
void DrawCountdownFrame(HWND window, int secondsLeft, int cycleShown);
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
// The page once more at the end of an automatic-exit run, with its exit code.
void FinishRunReport(int exitCode);
// The run report's header as far as it is known while the run goes on: this
// program, computer, Windows version and command line; no exit code, and the
// times left to the first and last records.
void FillReportHeader(ReportHeader* header);

// Sleeps of this process's runs, for the exit code of an automatic-exit run.
struct RunTally {
    int sleeps;         // records taken (every verdict, lost ones too)
    int failed;         // short, long, not slept, refused or lost
    int recordsLost;    // records the results file could not take
};
extern RunTally gRunTally;
// Exit codes of an automatic-exit run.
#define EXIT_RUN_NOT_STARTED 1  // invalid command line, no state, durations below the minimum, no window
#define EXIT_SLEEP_FAILED 2     // a sleep was not ok or not recorded, or none was entered
#define EXIT_RUN_STOPPED 3      // a person stopped the run or ended the program before its last cycle
// The code for a run that ended as runEnd (RUN_END_*) with this tally: a
// failed sleep outweighs a stop, and only a completed run of ok sleeps gives 0.
int RunExitCode(const RunTally* tally, int runEnd);

// What follows the 24-byte run position in the marker file while a results
// file is in use: the details the record of a sleep that never came back needs.
#define MARKER_TAIL_MAGIC "VRT1"
struct MarkerTail {
    char magic[4];
    int32_t enteredState;
    int32_t requestedSec;
    char fallback[16];
    char resultsPath[256];
};
static_assert(sizeof(MarkerTail) == 284, "marker tail");
// Filled by the cycle driver before each sleep; written by WriteMarkerFile.
extern MarkerTail gMarkerTail;
// Checks a tail read back from the marker file (bytes read after the run
// position); false when it is missing, short or not well formed.
bool ParseMarkerTail(const void* bytes, size_t length, MarkerTail* tail);

// What follows the tail while a command-line run sleeps: everything the start
// after a power cycle needs to go on with the same run, whatever the settings
// file beside the program says by then.
#define MARKER_RUN_MAGIC "VCL1"
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
};
static_assert(sizeof(MarkerRun) == 4 + 4 + 4 + 16 + 12 + 256 + 256 + 512 + 1660, "marker run block");
// Filled by the command-line run; written with every marker while its magic is set.
extern MarkerRun gMarkerRun;
// Checks a run block read back from a marker; false when it is not one.
bool ParseMarkerRun(const MarkerRun* in, MarkerRun* out);

struct MarkerContents {
    ResumeRecord position;
    size_t positionBytes;  // bytes of the position the file held (24 when whole)
    bool haveTail;
    MarkerTail tail;
    bool haveRun;
    MarkerRun run;
};
// Splits the bytes of a marker file. A short file fills only the part of the
// position it holds; the rest of out->position is left as it was.
bool ParseMarkerFile(const void* bytes, size_t length, MarkerContents* out);
// 0 with out filled when the marker file is there; otherwise the system's
// error code (ERROR_FILE_NOT_FOUND when there is none, ERROR_DIRECTORY for a folder).
DWORD ReadMarkerFile(const char* path, MarkerContents* out);
// Deletes the marker, making it writable first when it is read-only; 0 when it
// is gone (or was never there), otherwise the system's error code.
DWORD DeleteMarkerFile(const char* path);

// "lighter", "deeper" or "force" for the plan of a requested state; "" when
// the requested state itself is entered.
const char* FallbackId(int requested, int target, int force);

// Takes the record of the sleep just made (from gLastSleep). When the
// wake-source thread is watching and has not yet reported this wake, the
// record is held until it does or until the next sleep or the run's end.
void RecordSleepResult(int cycleNumber, int requested, int target, int force, int requestedSec);
// Records the sleep a power cycle interrupted (the marker's run position and
// tail), with why it was lost when the system's records told (why may be null).
void RecordLostSleep(const ResumeRecord* position, const MarkerTail* tail, long long nowUnixSeconds,
                     const struct LostDiagnosis* why);
// At every countdown tick: writes a held record once its wake source is known.
void PollPendingResult();
// Writes a held record now, with or without its wake source.
void FlushPendingResult();
bool IsResultPending();
// The system writes its wake record seconds after the resume: before a run
// ends, a held record waits for it up to limitSec (while the wake-source
// thread watches), with Stop and Exit answered; then it is written.
void WaitForPendingResult(int limitSec);
#define LAST_WAKE_RECORD_WAIT_SEC 60
// Appends one record to the results file (when there is one) and reports a
// failure in the log; counted in gRunTally.
void WriteSleepResult(const SleepResult* result);

// ---------------------------------------------------------------------------
// Runs of cycles and the automatic restart.

#define RUN_ONCE_KEY "Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce"
#define RUN_ONCE_VALUE "Vesplin"
#define SAFE_SLEEP_MIN_SEC 30
#define SAFE_HIBERNATE_MIN_SEC 60

enum { RUN_ALLOWED = 0, RUN_REFUSED_NO_STATE = 1, RUN_REFUSED_SHORT_SLEEP = 2, RUN_REFUSED_SHORT_HIBERNATE = 3 };

void StartCycleRunFromWindow(HWND window);
void StartCycleRunFromCommandLine(HWND window);

// Checks of a run's selection and durations, in the order the user hears of them.
int CheckRunSettings(const uint8_t selection[4], const int32_t durations[4], bool sleepForever);
// Seconds of the countdown before cycle i (0 = none).
int PreCycleCountdownSeconds(int cycleIndex, int firstSleepDelaySec, bool resumeFirst, int nextStatePos,
                             int cycleCount, int intervalSec);
// A duration grown by growSeconds, never past the int range and never shrunk below
// the state's safe minimum (a duration already below it is not shrunk further).
int32_t GrowDuration(int32_t duration, int growSeconds, int state);
// The RunOnce data: the executable's path in double quotes. length is what
// GetModuleFileNameA returned for a buffer of capacity bytes; false when the
// path was cut short or does not fit.
bool FormatRunOnceData(char* out, size_t outSize, const char* exePath, DWORD length, DWORD capacity);
// Writes the RunOnce value; on failure shows the "Could not edit registry" box
// owned by owner and returns false.
bool RegisterRunOnce(HWND owner);
