// Command line: switches change a settings record and a few application-wide
// values; every handled switch leaves a note for the log.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include "app/app.h"
#include "power/power.h"
#include "settings/settings.h"
#include "results/results.h"
#include "ui/ui.h"

int gAutoExit;
int gLogFileFromCommandLine;
int gStartMinimized;
int gQueryMode;
int gQueryAnswer;
int gShortestSleepDuration = 30;

#define LOG_PATH_CHECK_MAX 511  // longest path the -L switch lets through
#define MIN_SHORTEST_SLEEP 30
#define CONFIG_NAME_NO_DOT_CODE 4178

void ResetCommandLineResults() {
    gAutoExit = 0;
    gLogFileFromCommandLine = 0;
    gStartMinimized = 0;
    gQueryMode = 0;
    gQueryAnswer = 0;
    gGrowSeconds = 0;
    gShortestSleepDuration = MIN_SHORTEST_SLEEP;
    gResultsPath[0] = '\0';
    gReportPath[0] = '\0';
    gJUnitPath[0] = '\0';
    ResetDeviceCheckSettings(&gDeviceCheck);
    gMaxFailures = 0;
}

namespace {

// One call of the parser: the words and where it stands in them, the record
// they fill, the verdict, and the durations held back until every word is read.
struct ParseState {
    ConfigRecord* record;
    int argc;
    char** argv;
    int index;  // the word being read; a switch that takes its value word moves it on
    bool verdict;
    int allDuration;        // -R value, 0 = none
    int stateDuration[4];   // -r values, 0 = none
    bool stateDurationSet;  // -r flag
    bool autoExit;          // -E anywhere on the line: an unknown option is a refusal
};

const char* CurrentWord(const ParseState* state) { return state->argv[state->index]; }

bool HasNextWord(const ParseState* state) { return state->index + 1 < state->argc; }

// "/" and "-" both begin a switch; "--" begins a long option.
bool IsSwitchWord(const char* word) { return word[0] == '/' || (word[0] == '-' && word[1] != '-'); }

// Values count with their first 5 characters only, so they stay below 100000.
int ShortValue(const char* word) {
    char digits[6];
    snprintf(digits, sizeof digits, "%s", word);
    return atoi(digits);
}

// The whole word like atoi, but a number beyond the int range is clamped, not undefined.
int WholeValue(const char* word) {
    return (int)strtol(word, NULL, 10);
}

bool StartsWithDash(const char* word) { return word[0] == '-'; }

// The sleep state named by the digit 1-4 after the letter (-O2, -r3), or -1.
int StateDigit(const char* word) {
    char digit = word[2];
    return (digit >= '1' && digit <= '4') ? digit - '1' : -1;
}

void Refuse(ParseState* state, const char* note) {
    AddNote(&gCommandLineNotes, "%s", note);
    state->verdict = false;
}

void RefuseValue(ParseState* state, const char* value, const char* word) {
    AddNote(&gCommandLineNotes, "Invalid command line.  %s is not a valid argument for option %s.\n", value, word);
    state->verdict = false;
}

void NoteUnknown(ParseState* state, const char* word) {
    // An unattended run must not lose a night to a typing error ("--Results="):
    // it refuses. Otherwise not a refusal, but the error must not pass unseen.
    if (state->autoExit) {
        AddNote(&gCommandLineNotes, "Invalid command line. Unknown option %s.\n", word);
        state->verdict = false;
        return;
    }
    AddNote(&gCommandLineNotes, "Option %s is not known and was skipped.\n", word);
}

// Where a switch puts its value: settings and application-wide values are of
// different widths, so each has its own store.
enum Place {
    TO_NOTHING,
    TO_AUTO_RESTART,
    TO_SLEEP_FOREVER,
    TO_FALLBACK_MODE,
    TO_CYCLE_INTERVAL,
    TO_CYCLE_COUNT,
    TO_FIRST_SLEEP_DELAY,
    TO_AUTO_EXIT,
    TO_START_MINIMIZED,
    TO_GROW_SECONDS,
    TO_ALL_DURATION,
};

void Store(ParseState* state, Place place, int value) {
    ConfigRecord* record = state->record;
    switch (place) {
    case TO_NOTHING: break;
    case TO_AUTO_RESTART: record->autoRestart = (uint8_t)value; break;
    case TO_SLEEP_FOREVER: record->sleepForever = (uint8_t)value; break;
    case TO_FALLBACK_MODE: record->fallbackMode = value; break;
    case TO_CYCLE_INTERVAL: record->cycleIntervalSec = value; break;
    case TO_CYCLE_COUNT: record->cycleCount = value; break;
    case TO_FIRST_SLEEP_DELAY: record->firstSleepDelaySec = value; break;
    case TO_AUTO_EXIT: gAutoExit = value; break;
    case TO_START_MINIMIZED: gStartMinimized = value; break;
    case TO_GROW_SECONDS: gGrowSeconds = value; break;
    case TO_ALL_DURATION: state->allDuration = value; break;
    }
}

// What a missing value word does: refused as it stands, refused and the value
// put back to the row's, or forgiven with the row's value as default.
enum Missing { MISSING_REFUSED, MISSING_REFUSED_RESETS, MISSING_RESETS };

// Ways of choosing sleep states (the value of -A, -B and -S rows).
enum { STATES_ALL, STATES_SUPPORTED, STATES_LISTED };

struct SwitchRow;
typedef void (*SwitchHandler)(const SwitchRow& row, ParseState* state);

// One switch: its letter, and the third character when that makes a variant.
struct SwitchRow {
    char letter;
    char variant;  // 0: any
    SwitchHandler handle;
    Place place;
    int value;                // the value set, the way states are chosen, or the value a missing word leaves
    const char* note;         // the note when taken; "%d" for the value of a value switch
    const char* missingNote;  // value switches: the note when no value word follows
    Missing missing;
};

// -C, -E, -F, -H, -M and -f: a fixed value.
void HandleSet(const SwitchRow& row, ParseState* state) {
    Store(state, row.place, row.value);
    AddNote(&gCommandLineNotes, "%s", row.note);
}

// The next word, its first five characters as a number. A strict switch
// refuses a word beginning with "-" (not taken, so it is read as a switch of
// its own) and a negative number.
void TakeValue(const SwitchRow& row, ParseState* state, bool strict) {
    if (!HasNextWord(state)) {
        AddNote(&gCommandLineNotes, "%s", row.missingNote);
        if (row.missing != MISSING_REFUSED) Store(state, row.place, row.value);
        if (row.missing != MISSING_RESETS) state->verdict = false;
        return;
    }
    const char* word = CurrentWord(state);
    const char* next = state->argv[state->index + 1];
    if (strict && StartsWithDash(next)) {
        RefuseValue(state, next, word);
        return;
    }
    int value = ShortValue(next);
    state->index++;
    // " -5" passes the check above (atoi skips the blank): a negative count or
    // time is refused all the same.
    if (strict && value < 0) {
        RefuseValue(state, next, word);
        return;
    }
    Store(state, row.place, value);
    AddNote(&gCommandLineNotes, row.note, value);
}

void HandleStrictValue(const SwitchRow& row, ParseState* state) { TakeValue(row, state, true); }

void HandleAnyValue(const SwitchRow& row, ParseState* state) { TakeValue(row, state, false); }

// -L, -La, -Lo: the next word, whatever it looks like, is the log file's path;
// the row's value says whether the log is emptied at start.
void HandleLogFile(const SwitchRow& row, ParseState* state) {
    if (!HasNextWord(state)) {
        Refuse(state, "Invalid command line. No log file name after switch.\n");
        return;
    }
    ConfigRecord* record = state->record;
    record->clearLogAtStart = (uint8_t)row.value;
    const char* path = state->argv[++state->index];
    size_t length = strlen(path);
    // The settings keep 255 characters of path; a cut path would log somewhere else.
    int limit = length > LOG_PATH_CHECK_MAX ? LOG_PATH_CHECK_MAX : length > CONFIG_TEXT_MAX ? CONFIG_TEXT_MAX : 0;
    if (limit) {
        AddNote(&gCommandLineNotes, "%s: Log file name too long (maximum is %d): *%s*.\n", row.note, limit, path);
        state->verdict = false;
        return;
    }
    gLogFileFromCommandLine = 1;
    SetConfigText(record->logFilePath, path);
    record->logToFile = 1;
    AddNote(&gCommandLineNotes, "%s: Log file name: *%s*.\n", row.note, path);
}

// -A, -B, -S: the sleep states a cycle uses; -S gives one digit per state.
void HandleStateSelection(const SwitchRow& row, ParseState* state) {
    const char* word = CurrentWord(state);
    if (row.value == STATES_LISTED && strlen(word) < 6) {
        Refuse(state, "Invalid command line. Not enough state values after Sleep State switch.\n");
        return;
    }
    ConfigRecord* record = state->record;
    for (int k = 0; k < 4; k++) {
        bool use = row.value == STATES_ALL ||
                   (row.value == STATES_SUPPORTED ? IsSleepStateSupported(k) : word[2 + k] == '1');
        record->useState[k] = use ? 1 : 0;
    }
    if (row.value == STATES_SUPPORTED) record->allSupportedStates = 1;
    if (row.note) AddNote(&gCommandLineNotes, "%s", row.note);
}

// -O1 to -O4 answer for one state; any other -O adds the mask of all of them.
void HandleQuery(const SwitchRow&, ParseState* state) {
    const char* word = CurrentWord(state);
    int sleepState = StateDigit(word);
    if (sleepState >= 0) {
        bool supported = IsSleepStateSupported(sleepState);
        gQueryAnswer = supported ? 1 : 0;
        AddNote(&gCommandLineNotes, "Option -O%c: S%c %s supported.\n", word[2], word[2],
                supported ? "is" : "is not");
    } else {
        int mask = 0;
        for (int k = SLEEP_S1; k <= SLEEP_S4; k++)
            if (IsSleepStateSupported(k)) mask |= 1 << k;
        gQueryAnswer |= mask;
        AddNote(&gCommandLineNotes, "Option -O: Mask: %d.\n", gQueryAnswer);
    }
    gQueryMode = 1;
}

// -r1 to -r4: one state's duration, the whole next word. Any -r sets the flag
// that sets -R aside; a refused one clears it.
void HandleStateDuration(const SwitchRow&, ParseState* state) {
    const char* word = CurrentWord(state);
    if (!HasNextWord(state)) {
        AddNote(&gCommandLineNotes, "Invalid command line.  Not enough argument for option %s.\n", word);
        state->verdict = false;
        return;
    }
    const char* next = state->argv[state->index + 1];
    int sleepState = StateDigit(word);
    int value = WholeValue(next);
    if (StartsWithDash(next) || (sleepState >= 0 && value < 0)) {
        RefuseValue(state, next, word);
        state->stateDurationSet = false;
        return;
    }
    if (sleepState >= 0 && value > LONGEST_SLEEP_SEC) {
        AddNote(&gCommandLineNotes,
                "Invalid command line.  %s is longer than the longest sleep, %d seconds (30 days), for option %s.\n",
                next, LONGEST_SLEEP_SEC, word);
        state->verdict = false;
        state->stateDurationSet = false;
        return;
    }
    state->stateDurationSet = true;
    if (sleepState >= 0) {
        state->stateDuration[sleepState] = value;
        AddNote(&gCommandLineNotes, "Option -r%c: S%c duration: %d\n", word[2], word[2], value);
    }
    // The value word is not taken: it comes round again as a stray word.
}

// Variants before the row of their letter that takes any third character.
const SwitchRow kSwitches[] = {
    {'A', 0, HandleStateSelection, TO_NOTHING, STATES_ALL, "Option -A: All sleep states.\n", NULL, MISSING_REFUSED},
    {'B', 0, HandleStateSelection, TO_NOTHING, STATES_SUPPORTED, "Option -B: All supported sleep states.\n", NULL,
     MISSING_REFUSED},
    {'C', 0, HandleSet, TO_AUTO_RESTART, 1, "Option -C: Continue on failure.\n", NULL, MISSING_REFUSED},
    // A missing interval is forgiven: the default stands.
    {'D', 0, HandleStrictValue, TO_CYCLE_INTERVAL, 60, "Option -D: Interval between cycle: %d\n",
     "Invalid command line. No interval after interval switch. Default will be used.\n", MISSING_RESETS},
    {'E', 0, HandleSet, TO_AUTO_EXIT, 1, "Option -E: Auto exit.\n", NULL, MISSING_REFUSED},
    {'F', 0, HandleSet, TO_NOTHING, 0, "Option -F: Forced sleep.\n", NULL, MISSING_REFUSED},
    {'H', 0, HandleSet, TO_SLEEP_FOREVER, 1, "Option -H: Manual wake.\n", NULL, MISSING_REFUSED},
    {'L', 'a', HandleLogFile, TO_NOTHING, 0, "Option -La\n", NULL, MISSING_REFUSED},
    {'L', 'o', HandleLogFile, TO_NOTHING, 1, "Option -Lo\n", NULL, MISSING_REFUSED},
    {'L', 0, HandleLogFile, TO_NOTHING, 0, "Option -L\n", NULL, MISSING_REFUSED},
    {'M', 0, HandleSet, TO_START_MINIMIZED, 1, "Option -M: Minimized dialog on startup.\n", NULL, MISSING_REFUSED},
    {'N', 0, HandleStrictValue, TO_CYCLE_COUNT, 0, "Option -N: Num cycles: %d.\n",
     "Invalid command line. No number after loops switch.\n", MISSING_REFUSED},
    {'O', 0, HandleQuery, TO_NOTHING, 0, NULL, NULL, MISSING_REFUSED},
    {'P', 0, HandleStrictValue, TO_FIRST_SLEEP_DELAY, 0, "Option -P: Wait before 1st sleep: %d.\n",
     "Invalid command line. No number after wait before first sleep switch.\n", MISSING_REFUSED},
    // A later -R without a value forgets an earlier one.
    {'R', 0, HandleStrictValue, TO_ALL_DURATION, 0, "Option -R: Duration: %d.\n",
     "Invalid command line. No duration after duration switch.\n", MISSING_REFUSED_RESETS},
    {'S', 0, HandleStateSelection, TO_NOTHING, STATES_LISTED, NULL, NULL, MISSING_REFUSED},
    // The grow time takes its next word whatever it looks like, and may be negative.
    {'T', 0, HandleAnyValue, TO_GROW_SECONDS, 0, "Option -T: Sleep grow time: %d.\n",
     "Invalid command line. No duration after suspend grow time switch.\n", MISSING_REFUSED},
    {'f', '1', HandleSet, TO_FALLBACK_MODE, FALLBACK_LIGHTER, "Option -f1: FALLBACK_LIGHTER.\n", NULL, MISSING_REFUSED},
    {'f', '2', HandleSet, TO_FALLBACK_MODE, FALLBACK_DEEPER, "Option -f2: FALLBACK_DEEPER.\n", NULL, MISSING_REFUSED},
    {'f', '3', HandleSet, TO_FALLBACK_MODE, FALLBACK_FORCE, "Option -f3: FALLBACK_FORCE.\n", NULL, MISSING_REFUSED},
    {'f', '4', HandleSet, TO_FALLBACK_MODE, FALLBACK_SKIP, "Option -f4: FALLBACK_SKIP.\n", NULL, MISSING_REFUSED},
    {'f', 0, HandleSet, TO_FALLBACK_MODE, FALLBACK_LIGHTER, "Option -f: Defaulting to FALLBACK_LIGHTER.\n", NULL,
     MISSING_REFUSED},
    {'r', 0, HandleStateDuration, TO_NOTHING, 0, NULL, NULL, MISSING_REFUSED},
};

// Only the second character names the switch (the third a variant); the rest
// of the word is ignored.
void HandleSwitch(ParseState* state) {
    const char* word = CurrentWord(state);
    for (const SwitchRow& row : kSwitches) {
        // The letter first: a bare "-" or "/" has no third character.
        if (row.letter == word[1] && (row.variant == 0 || row.variant == word[2])) {
            row.handle(row, state);
            return;
        }
    }
    NoteUnknown(state, word);
}

void HandleConfigFile(ParseState* state, const char* word) {
    // word begins with "--config"; its ninth character must be "=".
    if (word[8] != '=') {
        Refuse(state, "Invalid command line.  --config option needs to be followed by \"=filename.dat\".\n");
        return;
    }
    const char* name = word + 9;
    const char* dot = strrchr(name, '.');
    if (dot == NULL) {
        AddNote(&gCommandLineNotes, "[%d]: Invalid command line.  Config file must end with \".dat\".\n",
                CONFIG_NAME_NO_DOT_CODE);
        state->verdict = false;
        return;
    }
    if (strcmp(dot, ".dat") != 0) {
        Refuse(state, "Invalid command line.  Config file must end with \".dat\"\n");
        return;
    }
    if (strlen(name) > CONFIG_TEXT_MAX) {
        AddNote(&gCommandLineNotes, "Invalid command line.  Config file name too long (maximum is %d).\n",
                CONFIG_TEXT_MAX);
        state->verdict = false;
        return;
    }
    FILE* file = fopen(name, "rb");
    if (file == NULL) {
        AddNote(&gCommandLineNotes, "Invalid command line.  Config file %s does not exist.\n", name);
        state->verdict = false;
        return;
    }
    // Checked here rather than by the loader, which would show a message box.
    unsigned char head[16];
    size_t got = fread(head, 1, sizeof head, file);
    fclose(file);
    if (got < 7 || memcmp(head, "SLPDAT", 7) != 0) {
        AddNote(&gCommandLineNotes, "Invalid command line.  Config file %s is not a valid Vesplin config.\n", name);
        state->verdict = false;
        return;
    }
    AddNote(&gCommandLineNotes, "Option --config=%s.\n", name);
    Config loader(GetModuleHandleA(NULL));
    loader.Load(name, state->record);
}

// The folder of a file the run writes, made now; one that cannot be made
// refuses the command line, named with the file (what: "results file").
bool MakeFolderFor(ParseState* state, const char* full, const char* what) {
    char folder[CONFIG_TEXT_MAX + 1];
    DWORD folderError = MakeFolderOf(full, folder, sizeof(folder));
    if (folderError == 0) return true;
    AddNote(&gCommandLineNotes, "Invalid command line.  The folder %s of the %s %s cannot be made. Error code %lu.\n",
            folder[0] ? folder : full, what, full, (unsigned long)folderError);
    state->verdict = false;
    return false;
}

// --results=<file>: the results file, kept as a full path so that a run
// resumed after a power cycle, started from another folder, finds it again.
void HandleResultsFile(ParseState* state, const char* word) {
    if (word[9] != '=') {
        Refuse(state, "Invalid command line.  --results option needs to be followed by \"=filename\".\n");
        return;
    }
    const char* name = word + 10;
    if (name[0] == '\0') {
        Refuse(state, "Invalid command line. No results file name after --results=.\n");
        return;
    }
    char full[CONFIG_TEXT_MAX + 1];
    DWORD length = strlen(name) > CONFIG_TEXT_MAX ? 0 : GetFullPathNameA(name, sizeof(full), full, NULL);
    if (length == 0 || length >= sizeof(full)) {
        AddNote(&gCommandLineNotes, "Option --results: Results file name too long (maximum is %d): *%s*.\n",
                CONFIG_TEXT_MAX, name);
        state->verdict = false;
        return;
    }
    // Refused now rather than after the first sleep: never truncated, and a
    // file made only for the test is taken away again (the first record makes
    // it), so that a refused command line leaves nothing behind.
    // Its folder is made as the log's is; one that cannot be made is named.
    if (!MakeFolderFor(state, full, "results file")) return;
    HANDLE file = CreateFileA(full, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        AddNote(&gCommandLineNotes, "Invalid command line.  Results file %s cannot be written. Error code %lu.\n",
                full, (unsigned long)GetLastError());
        state->verdict = false;
        return;
    }
    bool made = GetLastError() != ERROR_ALREADY_EXISTS;
    CloseHandle(file);
    if (made) DeleteFileA(full);
    snprintf(gResultsPath, sizeof(gResultsPath), "%s", full);
    AddNote(&gCommandLineNotes, "Option --results: Results file name: *%s*.\n", full);
}

// --report=<file>: the run report's page, elsewhere than beside the results file.
void HandleReportFile(ParseState* state, const char* word) {
    const char* name = word[8] == '=' ? word + 9 : "";
    char full[CONFIG_TEXT_MAX + 1];
    DWORD length = name[0] && strlen(name) <= CONFIG_TEXT_MAX ? GetFullPathNameA(name, sizeof(full), full, NULL) : 0;
    if (length == 0 || length >= sizeof(full)) {
        AddNote(&gCommandLineNotes, "Invalid command line.  --report option needs to be followed by \"=filename\" "
                                    "of at most %d characters.\n",
                CONFIG_TEXT_MAX);
        state->verdict = false;
        return;
    }
    snprintf(gReportPath, sizeof(gReportPath), "%s", full);
    AddNote(&gCommandLineNotes, "Option --report: Run report file name: *%s*.\n", full);
}

// --junit=<file.xml>: the run's sleeps as JUnit test cases, rebuilt after every
// record. The file is replaced whole: only a file named as XML is taken.
void HandleJUnitFile(ParseState* state, const char* word) {
    const char* name = word[7] == '=' ? word + 8 : "";
    char full[CONFIG_TEXT_MAX + 1];
    DWORD length = name[0] && strlen(name) <= CONFIG_TEXT_MAX && HasExtension(name, ".xml")
                       ? GetFullPathNameA(name, sizeof(full), full, NULL)
                       : 0;
    if (length == 0 || length >= sizeof(full)) {
        AddNote(&gCommandLineNotes, "Invalid command line.  --junit option needs to be followed by \"=filename.xml\" "
                                    "of at most %d characters.\n",
                CONFIG_TEXT_MAX);
        state->verdict = false;
        return;
    }
    if (!MakeFolderFor(state, full, "JUnit file")) return;
    snprintf(gJUnitPath, sizeof(gJUnitPath), "%s", full);
    AddNote(&gCommandLineNotes, "Option --junit: JUnit file name: *%s*.\n", full);
}

// --no-device-check: no device lists around the sleeps.
void HandleNoDeviceCheck(ParseState* state, const char* word) {
    if (strcmp(word, "--no-device-check") != 0) {
        NoteUnknown(state, word);
        return;
    }
    gDeviceCheck.off = 1;
    AddNote(&gCommandLineNotes, "Option --no-device-check: Device check off.\n");
}

// The value after "=" of a long option, or null when there is no "=".
static const char* LongValue(const char* word, const char* name) {
    size_t length = 2 + strlen(name);
    return word[length] == '=' ? word + length + 1 : nullptr;
}

// --device-settle=<seconds>: how long a changed device may take to come back.
void HandleDeviceSettle(ParseState* state, const char* word) {
    const char* value = LongValue(word, "device-settle");
    size_t digits = value ? strspn(value, "0123456789") : 0;
    int seconds = digits > 0 && digits <= 3 && value[digits] == '\0' ? atoi(value) : -1;
    if (seconds < 0 || seconds > DEVICE_SETTLE_MAX_SEC) {
        AddNote(&gCommandLineNotes,
                "Invalid command line.  --device-settle option needs to be followed by \"=seconds\" from 0 to %d.\n",
                DEVICE_SETTLE_MAX_SEC);
        state->verdict = false;
        return;
    }
    gDeviceCheck.settleSec = seconds;
    AddNote(&gCommandLineNotes, "Option --device-settle: Device settle time: %d.\n", seconds);
}

// --max-failures=<n>: the run ends after n failed sleeps in a row; 0 never.
void HandleMaxFailures(ParseState* state, const char* word) {
    const char* value = LongValue(word, "max-failures");
    size_t digits = value ? strspn(value, "0123456789") : 0;
    // Seven digits hold the largest limit; more are refused before they could overflow.
    int count = digits > 0 && digits <= 7 && value[digits] == '\0' ? atoi(value) : -1;
    if (count < 0 || count > MAX_FAILURES_LIMIT) {
        AddNote(&gCommandLineNotes,
                "Invalid command line.  --max-failures option needs to be followed by \"=count\" from 0 to %d.\n",
                MAX_FAILURES_LIMIT);
        state->verdict = false;
        return;
    }
    gMaxFailures = count;
    AddNote(&gCommandLineNotes, "Option --max-failures: Failed sleeps in a row that end the run: %d.\n", count);
}

// --ignore-device=<text>: devices whose id begins with the text, or whose name holds it, are not checked.
void HandleIgnoreDevice(ParseState* state, const char* word) {
    const char* text = LongValue(word, "ignore-device");
    size_t length = text ? strlen(text) : 0;
    if (length == 0 || length >= DEVICE_IGNORE_TEXT) {
        AddNote(&gCommandLineNotes,
                "Invalid command line.  --ignore-device option needs to be followed by \"=text\" of at most %d "
                "characters.\n",
                DEVICE_IGNORE_TEXT - 1);
        state->verdict = false;
        return;
    }
    if (gDeviceCheck.ignoreCount >= DEVICE_IGNORE_MAX) {
        AddNote(&gCommandLineNotes, "Invalid command line.  At most %d --ignore-device options.\n", DEVICE_IGNORE_MAX);
        state->verdict = false;
        return;
    }
    snprintf(gDeviceCheck.ignore[gDeviceCheck.ignoreCount++], DEVICE_IGNORE_TEXT, "%s", text);
    AddNote(&gCommandLineNotes, "Option --ignore-device: Ignored devices: *%s*.\n", text);
}

// --log-level=0|1|2: Normal, Debug, or Debug and Events, for the run's log.
void HandleLogLevel(ParseState* state, const char* word) {
    const char* value = LongValue(word, "log-level");
    if (!value || value[0] < '0' || value[0] > '2' || value[1] != '\0') {
        AddNote(&gCommandLineNotes,
                "Invalid command line.  --log-level option needs to be followed by \"=0\", \"=1\" or \"=2\".\n");
        state->verdict = false;
        return;
    }
    state->record->logLevel = value[0] - '0';
    AddNote(&gCommandLineNotes, "Option --log-level: Log level: %d.\n", state->record->logLevel);
}

// Long options are known by the start of the word after "--".
struct LongOptionRow {
    const char* name;
    void (*handle)(ParseState* state, const char* word);
};

const LongOptionRow kLongOptions[] = {
    {"config", HandleConfigFile},
    {"results", HandleResultsFile},
    {"report", HandleReportFile},
    {"junit", HandleJUnitFile},
    {"no-device-check", HandleNoDeviceCheck},
    {"device-settle", HandleDeviceSettle},
    {"ignore-device", HandleIgnoreDevice},
    {"max-failures", HandleMaxFailures},
    {"log-level", HandleLogLevel},
};

void HandleLongOption(ParseState* state) {
    const char* word = CurrentWord(state);
    for (const LongOptionRow& row : kLongOptions) {
        if (strncmp(word + 2, row.name, strlen(row.name)) == 0) {
            row.handle(state, word);
            return;
        }
    }
    NoteUnknown(state, word);
}

void ReadWords(ParseState* state) {
    for (state->index = 1; state->index < state->argc; state->index++) {
        const char* word = CurrentWord(state);
        if (word == NULL) continue;
        if (IsSwitchWord(word))
            HandleSwitch(state);
        else if (word[0] == '-')
            HandleLongOption(state);
        // Any other word is a stray one and skipped.
    }
}

// Durations last, so they win over a configuration file wherever they stand;
// any -r sets -R aside.
void ApplyDurations(const ParseState* state) {
    ConfigRecord* record = state->record;
    if (state->stateDurationSet) {
        for (int k = 0; k < 4; k++)
            if (state->stateDuration[k] != 0) record->sleepDurationSec[k] = state->stateDuration[k];
    } else if (state->allDuration != 0) {
        for (int k = 0; k < 4; k++) record->sleepDurationSec[k] = state->allDuration;
    }
}

// Lowered, never raised, by the S1-S3 durations the run will use.
void LowerShortestSleep(const ConfigRecord* record) {
    for (int k = SLEEP_S1; k <= SLEEP_S3; k++)
        if (record->sleepDurationSec[k] < gShortestSleepDuration) gShortestSleepDuration = record->sleepDurationSec[k];
}

}  // namespace

bool ParseCommandLine(ConfigRecord* record, int argc, char** argv) {
    if (argc < 2 || argv == NULL) return true;

    ParseState state = {};
    state.record = record;
    state.argc = argc;
    state.argv = argv;
    state.verdict = true;
    state.autoExit = CommandLineAsksAutoExit(argc, argv);
    ReadWords(&state);
    // The JUnit file is made from the results file.
    if (gJUnitPath[0] && !gResultsPath[0]) {
        AddNote(&gCommandLineNotes, "Invalid command line.  --junit needs a results file (--results=).\n");
        state.verdict = false;
    }
    ApplyDurations(&state);
    LowerShortestSleep(record);
    return state.verdict;
}

bool CommandLineAsksAutoExit(int argc, char** argv) {
    for (int i = 1; i < argc && argv && argv[i]; i++)
        if (IsSwitchWord(argv[i]) && argv[i][1] == 'E') return true;
    return false;
}

