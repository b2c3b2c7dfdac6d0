// Settings: the configuration record, the Config object and the configuration file.
#pragma once
#include <windows.h>
#include <stddef.h>
#include <stdint.h>
#include "core/core.h"
#include "log/log.h"

#define CONFIG_TEXT_MAX 255  // a text field holds at most this many characters
#define CONFIG_RECORD_SIZE 1660

// Raw image of the configuration file; layout fixed to the byte.
struct ConfigRecord {
    char magic[8];
    char productName[256];
    char versionText[256];
    int32_t buildNumber;
    int32_t reserved1;
    int32_t reserved2;
    uint8_t cycleForever;
    uint8_t padding1[3];
    int32_t cycleCount;
    int32_t cycleIntervalSec;
    uint8_t logToFile;
    uint8_t clearLogAtStart;
    char logFilePath[256];
    uint8_t padding2[2];
    int32_t logLevel;
    uint8_t autoRestart;
    uint8_t stopOnError;
    uint8_t runAppBetweenSleeps;
    char appBetweenSleepsPath[256];
    uint8_t runAppAfterLastCycle;
    char appAfterLastCyclePath[256];
    int32_t sleepDurationSec[4];
    uint8_t skipUnsupported;
    uint8_t sleepForever;
    uint8_t padding3[2];
    int32_t firstSleepDelaySec;
    int32_t fallbackMode;
    uint8_t useState[4];
    uint8_t allSupportedStates;
    uint8_t reserved[303];
};

static_assert(sizeof(ConfigRecord) == CONFIG_RECORD_SIZE, "configuration record must be 1660 bytes");
static_assert(offsetof(ConfigRecord, magic) == 0, "magic");
static_assert(offsetof(ConfigRecord, productName) == 8, "productName");
static_assert(offsetof(ConfigRecord, versionText) == 264, "versionText");
static_assert(offsetof(ConfigRecord, buildNumber) == 520, "buildNumber");
static_assert(offsetof(ConfigRecord, reserved1) == 524, "reserved1");
static_assert(offsetof(ConfigRecord, reserved2) == 528, "reserved2");
static_assert(offsetof(ConfigRecord, cycleForever) == 532, "cycleForever");
static_assert(offsetof(ConfigRecord, cycleCount) == 536, "cycleCount");
static_assert(offsetof(ConfigRecord, cycleIntervalSec) == 540, "cycleIntervalSec");
static_assert(offsetof(ConfigRecord, logToFile) == 544, "logToFile");
static_assert(offsetof(ConfigRecord, clearLogAtStart) == 545, "clearLogAtStart");
static_assert(offsetof(ConfigRecord, logFilePath) == 546, "logFilePath");
static_assert(offsetof(ConfigRecord, logLevel) == 804, "logLevel");
static_assert(offsetof(ConfigRecord, autoRestart) == 808, "autoRestart");
static_assert(offsetof(ConfigRecord, stopOnError) == 809, "stopOnError");
static_assert(offsetof(ConfigRecord, runAppBetweenSleeps) == 810, "runAppBetweenSleeps");
static_assert(offsetof(ConfigRecord, appBetweenSleepsPath) == 811, "appBetweenSleepsPath");
static_assert(offsetof(ConfigRecord, runAppAfterLastCycle) == 1067, "runAppAfterLastCycle");
static_assert(offsetof(ConfigRecord, appAfterLastCyclePath) == 1068, "appAfterLastCyclePath");
static_assert(offsetof(ConfigRecord, sleepDurationSec) == 1324, "sleepDurationSec");
static_assert(offsetof(ConfigRecord, skipUnsupported) == 1340, "skipUnsupported");
static_assert(offsetof(ConfigRecord, sleepForever) == 1341, "sleepForever");
static_assert(offsetof(ConfigRecord, firstSleepDelaySec) == 1344, "firstSleepDelaySec");
static_assert(offsetof(ConfigRecord, fallbackMode) == 1348, "fallbackMode");
static_assert(offsetof(ConfigRecord, useState) == 1352, "useState");
static_assert(offsetof(ConfigRecord, allSupportedStates) == 1356, "allSupportedStates");
static_assert(offsetof(ConfigRecord, reserved) == 1357, "reserved");

class Config {
public:
    explicit Config(HINSTANCE instance);
    virtual ~Config();

    void SetDefaults(HINSTANCE instance, ConfigRecord* dest);
    int Load(const char* path, ConfigRecord* dest);
    int Save(const char* path, const ConfigRecord* source);

    char configFilePath[256];
    ConfigRecord settings;
};

extern Config* theConfig;

// A text field of a record read from a file need not be terminated: copy at
// most 255 characters of it into out (256 bytes) and terminate.
void GetConfigText(const char* field, char out[256]);
// Store text into a 256-byte field, cut to 255 characters and terminated.
void SetConfigText(char* field, const char* text);

// Completes in against the executable's folder; true when the file exists or
// can be created. out (outSize bytes, may be null) receives the completed path.
bool ResolveFilePath(char* out, size_t outSize, const char* in);
// Makes each missing folder of a full file path, as the log's folders are made.
// 0 when they all exist; otherwise the system's error code, with the folder
// that could not be made in failed.
unsigned long MakeFolderOf(const char* fullPath, char* failed, size_t failedSize);

// The folder of the executable, without a trailing backslash.
void GetExecutableFolder(HINSTANCE instance, char* out, size_t outSize);

// What the dialog's controls hold, read without any interpretation.
#define CONFIG_FORM_TEXT 512  // room to notice a path too long for its setting
struct ConfigForm {
    bool haveStateBoxes;  // the dialog has an owner with state boxes
    uint8_t useState[4];
    char durationText[4][256];
    int fallbackChoice;  // FALLBACK_ code of the ticked button, -1 when none
    bool cycleForever;
    char cycleCountText[256];
    char cycleIntervalText[256];
    bool autoRestart;
    bool stopOnError;
    bool sleepForever;
    char delayText[256];
    bool logToFile;
    bool clearLogAtStart;  // "Clear log file at start" ticked
    char logFilePath[CONFIG_FORM_TEXT];
    int logLevelChoice;  // 0, 1, 2 or -1 when none is ticked
    bool runAppBetweenSleeps;
    char appBetweenSleepsPath[CONFIG_FORM_TEXT];
    bool runAppAfterLastCycle;
    char appAfterLastCyclePath[CONFIG_FORM_TEXT];
};

// Results of CheckConfigForm: 0, or the number of the message to show.
enum {
    CONFIG_CHECK_OK = 0,
    CONFIG_CHECK_DELAY_TOO_LARGE = 1,
    CONFIG_CHECK_BAD_LOG_PATH = 2,
    CONFIG_CHECK_BELOW_30 = 3,
    CONFIG_CHECK_BELOW_60 = 4,
    CONFIG_CHECK_DURATION_TOO_LARGE = 5,
    CONFIG_CHECK_BAD_PROGRAM_PATH = 6,
};
#define CONFIG_MAX_FIRST_DELAY 45000
#define CONFIG_MAX_DURATION 50000

// Reads at most the first five characters of text as a signed decimal number
// (leading blanks and one sign allowed, stops at the first non-digit, 0 without digits).
int ReadCutNumber(const char* text);
// Reads text as an unsigned decimal number between optional blanks; 0 when it
// is not one, INT_MAX when it is larger.
int ReadUnsignedNumber(const char* text);

// Checks form in the dialog's order and builds the record to commit into out,
// starting from inForce. Returns CONFIG_CHECK_OK or the first failed check;
// out is complete only with CONFIG_CHECK_OK.
int CheckConfigForm(const ConfigForm* form, const ConfigRecord* inForce, ConfigRecord* out);
// The record Save Config writes: identity fields and the form, unchecked.
void BuildRecordFromForm(const ConfigForm* form, ConfigRecord* out);
// Text, caption and message-box icon of a check result.
void GetConfigCheckMessage(int check, char* text, size_t textSize, const char** caption, UINT* icon);
const char* GetConfigCheckCaption(int check);

// Log file reaction to new settings.
enum { LOG_FILE_KEEP = 0, LOG_FILE_NEW_PATH, LOG_FILE_OVERWRITE, LOG_FILE_APPEND };
int DecideLogFileReaction(const ConfigRecord* previous, const ConfigRecord* committed);
// Event-log monitoring reaction to new settings.
enum { MONITOR_KEEP = 0, MONITOR_START, MONITOR_STOP, MONITOR_UNSUPPORTED };
int DecideMonitoring(int logLevel, int monitorThreadCount, bool windows2000OrLater);
// The banner line the log file gets when it is restarted.
void FormatLogBanner(char* out, size_t outSize);

// The log, results, marker, configuration, report, JUnit and status files must be different
// files: returns false with a note naming the two (a sentence without a
// prefix) when one path names two of
// them, and in *clash the files concerned (FILE_LOG, FILE_RESULTS, ...). paths
// is indexed by FILE_INDEX_*; empty or null paths take no part; paths are
// compared whole, without regard to case.
enum { FILE_INDEX_LOG, FILE_INDEX_RESULTS, FILE_INDEX_MARKER, FILE_INDEX_CONFIG, FILE_INDEX_REPORT, FILE_INDEX_JUNIT,
       FILE_INDEX_STATUS, FILE_KINDS };
enum { FILE_LOG = 1, FILE_RESULTS = 2, FILE_MARKER = 4, FILE_CONFIG = 8, FILE_REPORT = 16, FILE_JUNIT = 32,
       FILE_STATUS = 64 };
bool CheckDistinctFiles(const char* const paths[FILE_KINDS], char* note, size_t noteSize, int* clash);

// Tells the Logger the log file and level of settings: every place that puts
// settings in force calls it.
void ApplyLogSettings(const ConfigRecord* settings);

#define RUN_ONCE_KEY "Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce"
#define RUN_ONCE_VALUE "Vesplin"
// The RunOnce data: the executable's path in double quotes. length is what
// GetModuleFileNameA returned for a buffer of capacity bytes; false when the
// path was cut short or does not fit.
bool FormatRunOnceData(char* out, size_t outSize, const char* exePath, DWORD length, DWORD capacity);
// Writes the RunOnce value; on failure shows the "Could not edit registry" box
// owned by owner and returns false.
bool RegisterRunOnce(HWND owner);
// Deletes the "Vesplin" value under the current user's RunOnce key; a missing
// key or value is not an error.
void RemoveRunOnceValue();
