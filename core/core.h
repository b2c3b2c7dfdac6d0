// The program's vocabulary and its rules, free of any window, file or system
// call: sleep states, verdicts and their ids, the one record of a sleep, the
// safe minimum durations, the run's position and flags, and the decisions
// (judging a sleep, planning a state, growing durations, the run's exit code).
#pragma once
#include <stddef.h>
#include <stdint.h>
#include <string>
#include <vector>

// ---- Identity ------------------------------------------------------------------

#define PRODUCT_NAME "Vesplin"
#define PRODUCT_VERSION "V2.3"
#define PRODUCT_BUILD "1006"
#define PRODUCT_BUILD_NUMBER 1006
// Build date and time of the banner line.
#define PRODUCT_BUILD_DATE "May 12 2010"
#define PRODUCT_BUILD_TIME "11:19:13"

// ---- Log levels and their colours ------------------------------------------------

enum {
    LOG_STATUS = 0,
    LOG_ERROR = 2,
    LOG_INFO = 3,
    LOG_WARNING = 4,
    LOG_DEBUG = 9,
};

// Colours of a level's rows (and of the report's verdicts), as 0xRRGGBB;
// unknown levels get white with black text.
struct LevelColours {
    uint32_t back;
    uint32_t text;
};
LevelColours GetLevelColours(int level);

// The line of asterisks that frames the banner and separates cycles.
extern const char ASTERISK_RULE[];

// ---- States, fallback, results of one sleep ------------------------------------

enum { SLEEP_S1 = 0, SLEEP_S2 = 1, SLEEP_S3 = 2, SLEEP_S4 = 3 };
enum { FALLBACK_NONE = -1, FALLBACK_LIGHTER = 0, FALLBACK_DEEPER = 1, FALLBACK_FORCE = 2, FALLBACK_SKIP = 3 };
enum { ENTER_OK = 0, ENTER_FAILED = 4, ENTER_BAD_STATE = 5, ENTER_NOT_SLEPT = 6 };
// What a cycle ends with besides the ENTER_* results: the program is closing, or --max-failures was reached.
enum { RUN_QUIT = 1, RUN_FAILURE_LIMIT = 7 };

enum { VERDICT_OK = 0, VERDICT_TOO_SHORT = 1, VERDICT_TOO_LONG = 2, VERDICT_NOT_SLEPT = 3, VERDICT_REFUSED = 4,
       VERDICT_LOST = 5, VERDICT_WRONG_STATE = 6, VERDICT_DEVICE_FAULT = 7, VERDICT_COUNT = 8 };
// Why a sleep was refused.
enum { REFUSED_NONE = 0, REFUSED_MARKER_NOT_WRITTEN, REFUSED_DURATION_BELOW_1S, REFUSED_WAKE_TIMER_NOT_SET,
       REFUSED_SUSPEND_FAILED, REFUSED_BAD_STATE, REFUSED_COUNT };
// Why a sleep never came back; LOST_NONE for a sleep that did.
enum { LOST_NONE = -1, LOST_UNKNOWN = 0, LOST_CRASHED, LOST_POWER_LOST_ASLEEP, LOST_POWER_BUTTON,
       LOST_HUNG_AFTER_WAKE, LOST_HUNG_ENTERING, LOST_COUNT };
// Where the time asleep came from.
enum { ASLEEP_UNKNOWN = 0, ASLEEP_FROM_STAMPS = 1, ASLEEP_FROM_INTERRUPT_TIME = 2, ASLEEP_FROM_TICK_COUNT = 3,
       ASLEEP_COUNT };

// The ids the results file uses; "" (or null from the *OrNull forms) for none.
// "S1".."S4"; null for any other value.
const char* StateId(int state);
// "ok", "short", "long", "not_slept", "refused", "lost", "wrong_state", "device_fault"; "" for any other value.
const char* VerdictId(int verdict);
// "marker_not_written", "duration_below_1s", "wake_timer_not_set", "suspend_failed", "bad_state"; "" for none.
const char* RefusedReasonId(int reason);
// "unknown", "crashed", "power_lost_asleep", "power_button", "hung_after_wake", "hung_entering";
// "unknown" for LOST_UNKNOWN and any other value but LOST_NONE, which is "".
const char* LostReasonId(int reason);
// "sleep_wake_stamps", "interrupt_time", "tick_count"; "" for none.
const char* AsleepSourceId(int source);
// The source as the log names it ("LastSleepTime/LastWakeTime", ...); "" for none.
const char* AsleepSourceName(int source);
// "lighter", "deeper", "force"; "" for FALLBACK_NONE and anything else.
const char* FallbackId(int fallback);
// The reverse of each: the value of an id, or -1 (LOST_NONE, FALLBACK_NONE) when it is not one.
int StateFromId(const char* id);
int VerdictFromId(const char* id);
int RefusedReasonFromId(const char* id);
int LostReasonFromId(const char* id);
int AsleepSourceFromId(const char* id);
int FallbackFromId(const char* id);

// ---- The record of one sleep ------------------------------------------------------

// Resume phases of the system's wake record, in the results file's order.
enum { PHASE_SLEEP = 0, PHASE_WAKE, PHASE_FIRMWARE, PHASE_DRIVERS, PHASE_HIBER_WRITE, PHASE_HIBER_READ,
       PHASE_HIBER_PAGES, PHASE_COUNT };
// "sleep_ms", "wake_ms", "firmware_ms", "drivers_ms", "hiber_write_ms", "hiber_read_ms", "hiber_pages".
extern const char* const PHASE_KEYS[PHASE_COUNT];

struct OptionalValue {
    bool known;
    long long value;
};

#define RECORD_TEXT_SIZE 512  // the wake source, UTF-8, cut between whole characters
#define RUN_ID_SIZE 32         // "20261207T101500Z-1a2b3c4d" and its terminator, with room
#define COMPUTER_NAME_SIZE 64  // a DNS host name has at most 63 characters
#define RECORD_SCHEMA 1        // the key set of records with run_id, computer and schema

// One device as the system lists it: texts UTF-8, as the system gives them.
struct DeviceEntry {
    std::string id;    // instance id
    std::string name;  // friendly name, else the description
    std::string cls;   // setup class
    int code;          // problem code; 0 for none
};
// What the device check found after one sleep (known false: the check was
// off, or the system's device library could not be used).
struct DeviceCheck {
    bool known;
    int present;                        // devices present after the sleep
    int appeared;                       // devices that were not there before it
    std::vector<DeviceEntry> missing;   // present before, gone after
    std::vector<DeviceEntry> problems;  // a new or changed problem code
};
// The battery across one sleep (known false: the machine has no battery).
struct BatteryFigures {
    bool known;
    bool ac;  // on mains power: the figures, but no drain
    OptionalValue beforeMwh;
    OptionalValue afterMwh;
    OptionalValue drainMw;
};

// One sleep, as the engine takes it, the results file holds it and the report
// reads it back. States are SLEEP_S1..SLEEP_S4 or -1 when unknown; texts are
// UTF-8 and empty when unknown; times are FILETIME values (100 ns since 1601,
// UTC), 0 when unknown.
struct SleepRecord {
    int cycle;  // 1-based
    int requestedState;
    int enteredState;
    int fallback;      // FALLBACK_LIGHTER, _DEEPER, _FORCE; FALLBACK_NONE when the requested state was entered
    int requestedSec;  // -1 when unknown
    int measuredSec;
    int asleepSource;  // ASLEEP_*; ASLEEP_UNKNOWN: no time asleep is known
    int asleepSec;
    int verdict;  // VERDICT_*
    char wakeSource[RECORD_TEXT_SIZE];
    long long startUtc;
    long long endUtc;
    long long errorCode;  // the system's error code of a refused sleep; 0 otherwise
    int reason;           // REFUSED_*
    // What the system's wake record told (phasesKnown false: no record came).
    bool phasesKnown;
    OptionalValue phases[PHASE_COUNT];
    int targetState;     // as the system recorded its target
    int effectiveState;  // the state the machine really entered
    int lostReason;      // LOST_*; LOST_NONE for a sleep that came back
    char bugcheck[16];   // "0x0000009F" for a crash; empty otherwise
    DeviceCheck devices;
    BatteryFigures battery;
    char runId[RUN_ID_SIZE];       // the run the sleep belongs to; empty in records of older runs
    char computer[COMPUTER_NAME_SIZE];  // the machine's DNS host name, UTF-8
    int schema;                    // RECORD_SCHEMA when written; 0: a record of the older key set
};
// An empty record: zeros, every state unknown, no fallback, no lost reason.
void ClearSleepRecord(SleepRecord* record);

// ---- Devices and battery across a sleep ------------------------------------------

// The Device Manager's words for a problem code ("cannot start" for 10, ...),
// else "problem code N".
std::string DeviceProblemText(int code);
// Sorts a device list by instance id, as the comparison needs it.
void SortDevices(std::vector<DeviceEntry>* devices);
// True when a text of ignores names the device: its instance id begins with
// the text, or its name contains it, without regard to ASCII case.
bool IsDeviceIgnored(const DeviceEntry& device, const std::vector<std::string>& ignores);
// The devices of standing: those with a problem at the run's start, by id (sorted).
std::vector<std::string> StandingProblems(const std::vector<DeviceEntry>& baseline);
// What changed from before to after (both sorted): missing devices and new or
// changed problem codes, leaving out the ignored and the standing ones; cleared
// (may be null) gets the devices whose problem went away.
DeviceCheck CompareDevices(const std::vector<DeviceEntry>& before, const std::vector<DeviceEntry>& after,
                           const std::vector<std::string>& standing, const std::vector<std::string>& ignores,
                           std::vector<DeviceEntry>* cleared);
// A check that found a missing device or a problem.
inline bool HasDeviceFault(const DeviceCheck& check) {
    return check.known && (!check.missing.empty() || !check.problems.empty());
}

// One reading of the system's battery state.
struct BatteryReading {
    bool present;    // a battery is there
    bool ac;         // on mains power
    bool mwhKnown;   // the capacity is in mWh (not unknown, not relative)
    long long mwh;
};
// The figures of a sleep from the readings before and after it: the drain in mW
// over the time asleep (the measured time when that is unknown, 0 or less:
// none), no drain on mains power, nothing without a battery.
BatteryFigures BatteryAcrossSleep(const BatteryReading& before, const BatteryReading& after, int asleepSec,
                                  int measuredSec);

// Copies text into out (outSize bytes) and terminates, cutting only between
// whole UTF-8 characters; bytes that are not UTF-8 become '?'.
void CopyUtf8(char* out, size_t outSize, const char* text);

// ---- Times ---------------------------------------------------------------------

#define FILETIME_TICKS_PER_SECOND 10000000LL            // 100 ns units
#define FILETIME_UNIX_EPOCH 116444736000000000LL        // 1970-01-01 as a FILETIME value
long long FileTimeFromUnixSeconds(long long seconds);
long long UnixSecondsFromFileTime(long long fileTime);
// A FILETIME value as ISO 8601 UTC, "2026-12-07T12:44:54Z"; empty when not a valid time.
void FormatUtcTime(long long fileTime, char* out, size_t outSize);
// The id of a run begun at fileTime: "20261207T124454Z-" and the random
// number as 8 hex digits; empty when the time is not a valid one.
void FormatRunId(long long fileTime, unsigned random, char* out, size_t outSize);
// True for a text of that form, and nothing else.
bool IsRunId(const char* text);
// "2026-12-07T12:44:54Z" (fractions of a second allowed) as a FILETIME value; false for anything else.
bool ParseUtcTime(const char* text, long long* fileTime);
// Whole seconds between two FILETIME values, rounded to the nearest.
int MeasuredSeconds(long long start100ns, long long end100ns);

// ---- Rules of a sleep ------------------------------------------------------------

// The shortest durations a run may sleep: a shorter wake time can come before
// the machine is down, and the machine sleeps until someone wakes it.
#define SAFE_SLEEP_MIN_SEC 30
#define SAFE_HIBERNATE_MIN_SEC 60
// The state's safe minimum.
int SafeMinimumSec(int state);
// The longest sleep a run asks for (30 days): a longer one is a typing error or
// a damaged file, and growth by -T stops there.
#define LONGEST_SLEEP_SEC 2592000
// True when sec lies between the state's safe minimum and the longest sleep.
bool IsDurationInLimits(int state, long long sec);
// The boxes' texts when a run is refused for a duration below the minimum.
extern const char SHORT_SLEEP_TEXT[];
extern const char SHORT_HIBERNATE_TEXT[];
extern const char SHORT_DURATION_CAPTION[];

// Seconds of tolerance of the verdict: 15 for S1-S3, 45 for S4.
int SleepToleranceSec(int state);
// VERDICT_OK, VERDICT_TOO_SHORT or VERDICT_TOO_LONG; every time is OK when the user wakes the machine.
int JudgeSleepTime(int state, int durationSec, int measuredSec, bool sleepForever);
// True when the time asleep is under half of the measured time, or none at all.
bool MachineDidNotSleep(int asleepSec, int measuredSec);

// ---- Rules of a cycle and a run -------------------------------------------------------

#define FALLBACK_LINE_SIZE 96
#define FALLBACK_MAX_LINES 5
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
// The fallback a plan took for a requested state: FALLBACK_FORCE, _LIGHTER, _DEEPER or FALLBACK_NONE.
int PlanFallback(int requested, int target, int force);
// Fills list with the selected states in ascending order; returns their number.
int BuildStateList(const uint8_t selectedStates[4], int list[4]);
// First position of a cycle: 0, or the stored next position of a resumed run (never negative).
int CycleStartPosition(bool resume, int nextStatePos);
// Number shown during a countdown of seconds after counter ticks.
int CountdownSecondsLeft(int seconds, long long counter, int ticksPerSecond);

enum { RUN_ALLOWED = 0, RUN_REFUSED_NO_STATE = 1, RUN_REFUSED_SHORT_SLEEP = 2, RUN_REFUSED_SHORT_HIBERNATE = 3 };
// Checks of a run's selection and durations, in the order the user hears of them.
int CheckRunSettings(const uint8_t selection[4], const int32_t durations[4], bool sleepForever);
// Seconds of the countdown before cycle i (0 = none).
int PreCycleCountdownSeconds(int cycleIndex, int firstSleepDelaySec, bool resumeFirst, int nextStatePos,
                             int cycleCount, int intervalSec);
// A duration grown by growSeconds, never past the int range and never shrunk below
// the state's safe minimum (a duration already below it is not shrunk further).
int32_t GrowDuration(int32_t duration, int growSeconds, int state);

// How a run ended, for the exit code of an automatic-exit run.
enum { RUN_END_NONE = 0, RUN_END_COMPLETED = 1, RUN_END_STOPPED = 2, RUN_END_FAILED = 3, RUN_END_NOT_STARTED = 4 };
// Sleeps of a run, for the exit code of an automatic-exit run.
struct RunTally {
    int sleeps;       // records taken (every verdict, lost ones too)
    int failed;       // every verdict but ok
    int recordsLost;  // records the results file could not take
};
// Counts a record of the verdict into the tally.
void CountSleep(RunTally* tally, int verdict);
// Exit codes of an automatic-exit run.
#define EXIT_RUN_NOT_STARTED 1  // invalid command line, no state, durations below the minimum, no window
#define EXIT_SLEEP_FAILED 2     // a sleep was not ok or not recorded, or none was entered
#define EXIT_RUN_STOPPED 3      // a person stopped the run or ended the program before its last cycle
// The code for a run that ended as runEnd (RUN_END_*) with this tally: a
// failed sleep outweighs a stop, and only a completed run of ok sleeps gives 0.
int RunExitCode(const RunTally* tally, int runEnd);

// The largest --max-failures n: a run ends after n failed sleeps in a row (0: never).
#define MAX_FAILURES_LIMIT 1000000
// The failed sleeps in a row once a record of verdict follows streak: an ok
// sleep ends the streak, every other verdict adds to it.
int NextFailureStreak(int streak, int verdict);
// True when a limit is set (above 0) and the streak has reached it.
bool IsFailureLimitReached(int streak, int maxFailures);

// ---- The run in progress ----------------------------------------------------------

// Position of the run in progress; the marker file holds these 24 bytes.
struct ResumeRecord {
    int32_t cycleIndex;
    int32_t nextStatePos;
    uint8_t selectedStates[4];
    int32_t requestedState;
    int64_t sleepStartTime;
};
static_assert(sizeof(ResumeRecord) == 24, "resume record must be 24 bytes");

extern char gMarkerFilePath[256];
extern ResumeRecord theResumeRecord;
extern int gQuitRequested;
extern unsigned char gStopRequested;
extern unsigned char gPaused;
extern unsigned char gGrowDurations;
extern unsigned char gResumeRun;
// Seconds every duration grows by after each cycle of a command-line run.
extern int gGrowSeconds;

// How the devices are checked across each sleep; a command-line run carries
// its own through power cycles, a window run takes the defaults.
#define DEVICE_IGNORE_MAX 16        // --ignore-device texts
#define DEVICE_IGNORE_TEXT 64       // each at most 63 characters
#define DEVICE_SETTLE_DEFAULT_SEC 10
#define DEVICE_SETTLE_MAX_SEC 300
#define DEVICE_RECHECK_MS 2000      // a changed device is looked at again this often
struct DeviceCheckSettings {
    int32_t off;        // --no-device-check
    int32_t settleSec;  // --device-settle
    int32_t ignoreCount;
    char ignore[DEVICE_IGNORE_MAX][DEVICE_IGNORE_TEXT];
};
extern DeviceCheckSettings gDeviceCheck;
// The defaults: on, 10 s, nothing ignored.
void ResetDeviceCheckSettings(DeviceCheckSettings* settings);
// The ignore texts as a list.
std::vector<std::string> DeviceIgnoreList(const DeviceCheckSettings* settings);

// True from the moment a run starts until it has returned: the window starts
// no second run and opens no configuration meanwhile, whatever was queued.
bool IsRunActive();
void SetRunActive(bool active);
extern int gRunEnd;
