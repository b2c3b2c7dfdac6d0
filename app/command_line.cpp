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
}

namespace {

// One call of the parser: the verdict and the remembered durations.
struct ParseState {
    bool verdict;
    int allDuration;      // -R value
    bool allDurationSet;  // -R flag
    int stateDuration[4];  // -r values, 0 = none
    bool stateDurationSet;  // -r flag
};

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

// -D, -N, -P and -R: the next word, unless it is missing (returns 0) or begins
// with "-" (refused, returns -1, not taken). Returns 1 with *value and the
// word consumed.
int TakeStrictValue(ParseState* state, int argc, char** argv, int* index, int* value) {
    if (*index + 1 >= argc) return 0;
    const char* next = argv[*index + 1];
    if (StartsWithDash(next)) {
        AddNote(&gCommandLineNotes, "Invalid command line.  %s is not a valid argument for option %s.\n", next,
                argv[*index]);
        state->verdict = false;
        return -1;
    }
    *value = ShortValue(next);
    (*index)++;
    // " -5" passes the check above (atoi skips the blank): a negative count or
    // time is refused all the same.
    if (*value < 0) {
        AddNote(&gCommandLineNotes, "Invalid command line.  %s is not a valid argument for option %s.\n", next,
                argv[*index - 1]);
        state->verdict = false;
        return -1;
    }
    return 1;
}

void HandleLogFile(ConfigRecord* record, ParseState* state, int argc, char** argv, int* index) {
    if (*index + 1 >= argc) {
        AddNote(&gCommandLineNotes, "Invalid command line. No log file name after switch.\n");
        state->verdict = false;
        return;
    }
    const char* word = argv[*index];
    char mode = word[2];
    record->clearLogAtStart = (mode == 'o') ? 1 : 0;
    char prefix[16];
    if (mode == 'a' || mode == 'o')
        snprintf(prefix, sizeof prefix, "Option -%c%c\n", 'L', mode);
    else
        snprintf(prefix, sizeof prefix, "Option -%c\n", 'L');

    const char* path = argv[++(*index)];
    size_t length = strlen(path);
    if (length > LOG_PATH_CHECK_MAX) {
        AddNote(&gCommandLineNotes, "%s: Log file name too long (maximum is %d): *%s*.\n", prefix, LOG_PATH_CHECK_MAX,
                path);
        state->verdict = false;
    } else if (length > CONFIG_TEXT_MAX) {
        // The settings keep 255 characters of path; a cut path would log somewhere else.
        AddNote(&gCommandLineNotes, "%s: Log file name too long (maximum is %d): *%s*.\n", prefix, CONFIG_TEXT_MAX,
                path);
        state->verdict = false;
    } else {
        gLogFileFromCommandLine = 1;
        SetConfigText(record->logFilePath, path);
        record->logToFile = 1;
        AddNote(&gCommandLineNotes, "%s: Log file name: *%s*.\n", prefix, path);
    }
}

void HandleQuery(const char* word) {
    char digit = word[2];
    if (digit >= '1' && digit <= '4') {
        bool supported = IsSleepStateSupported(digit - '1');
        gQueryAnswer = supported ? 1 : 0;
        AddNote(&gCommandLineNotes, "Option -O%c: S%c %s supported.\n", digit, digit, supported ? "is" : "is not");
    } else {
        int mask = 0;
        for (int sleepState = SLEEP_S1; sleepState <= SLEEP_S4; sleepState++)
            if (IsSleepStateSupported(sleepState)) mask |= 1 << sleepState;
        gQueryAnswer |= mask;
        AddNote(&gCommandLineNotes, "Option -O: Mask: %d.\n", gQueryAnswer);
    }
    gQueryMode = 1;
}

void HandleStateDuration(ParseState* state, int argc, char** argv, int index) {
    const char* word = argv[index];
    if (index + 1 >= argc) {
        AddNote(&gCommandLineNotes, "Invalid command line.  Not enough argument for option %s.\n", word);
        state->verdict = false;
        return;
    }
    const char* next = argv[index + 1];
    if (StartsWithDash(next)) {
        AddNote(&gCommandLineNotes, "Invalid command line.  %s is not a valid argument for option %s.\n", next, word);
        state->verdict = false;
        state->stateDurationSet = false;
        return;
    }
    char digit = word[2];
    if (digit >= '1' && digit <= '4' && WholeValue(next) < 0) {
        AddNote(&gCommandLineNotes, "Invalid command line.  %s is not a valid argument for option %s.\n", next, word);
        state->verdict = false;
        state->stateDurationSet = false;
        return;
    }
    state->stateDurationSet = true;
    if (digit >= '1' && digit <= '4') {
        int value = WholeValue(next);
        state->stateDuration[digit - '1'] = value;
        AddNote(&gCommandLineNotes, "Option -r%c: S%c duration: %d\n", digit, digit, value);
    }
    // The value word is not taken: it comes round again as a stray word.
}

void HandleConfigFile(ConfigRecord* record, ParseState* state, const char* word) {
    // word begins with "--config"; its ninth character must be "=".
    if (word[8] != '=') {
        AddNote(&gCommandLineNotes,
                "Invalid command line.  --config option needs to be followed by \"=filename.dat\".\n");
        state->verdict = false;
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
        AddNote(&gCommandLineNotes, "Invalid command line.  Config file must end with \".dat\"\n");
        state->verdict = false;
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
    loader.Load(name, record);
}

// --results=<file>: the results file, kept as a full path so that a run
// resumed after a power cycle, started from another folder, finds it again.
void HandleResultsFile(ParseState* state, const char* word) {
    if (word[9] != '=') {
        AddNote(&gCommandLineNotes,
                "Invalid command line.  --results option needs to be followed by \"=filename\".\n");
        state->verdict = false;
        return;
    }
    const char* name = word + 10;
    if (name[0] == '\0') {
        AddNote(&gCommandLineNotes, "Invalid command line. No results file name after --results=.\n");
        state->verdict = false;
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

void HandleSwitch(ConfigRecord* record, ParseState* state, int argc, char** argv, int* index) {
    const char* word = argv[*index];
    int value = 0;
    switch (word[1]) {
    case 'A':
        for (int k = 0; k < 4; k++) record->useState[k] = 1;
        AddNote(&gCommandLineNotes, "Option -A: All sleep states.\n");
        break;
    case 'B':
        for (int k = 0; k < 4; k++) record->useState[k] = IsSleepStateSupported(k) ? 1 : 0;
        record->allSupportedStates = 1;
        AddNote(&gCommandLineNotes, "Option -B: All supported sleep states.\n");
        break;
    case 'C':
        record->autoRestart = 1;
        AddNote(&gCommandLineNotes, "Option -C: Continue on failure.\n");
        break;
    case 'D':
        switch (TakeStrictValue(state, argc, argv, index, &value)) {
        case 1:
            record->cycleIntervalSec = value;
            AddNote(&gCommandLineNotes, "Option -D: Interval between cycle: %d\n", value);
            break;
        case 0:
            // A missing interval is forgiven: the default stands.
            AddNote(&gCommandLineNotes,
                    "Invalid command line. No interval after interval switch. Default will be used.\n");
            record->cycleIntervalSec = 60;
            break;
        }
        break;
    case 'E':
        gAutoExit = 1;
        AddNote(&gCommandLineNotes, "Option -E: Auto exit.\n");
        break;
    case 'F':
        AddNote(&gCommandLineNotes, "Option -F: Forced sleep.\n");
        break;
    case 'H':
        record->sleepForever = 1;
        AddNote(&gCommandLineNotes, "Option -H: Manual wake.\n");
        break;
    case 'L':
        HandleLogFile(record, state, argc, argv, index);
        break;
    case 'M':
        gStartMinimized = 1;
        AddNote(&gCommandLineNotes, "Option -M: Minimized dialog on startup.\n");
        break;
    case 'N':
        switch (TakeStrictValue(state, argc, argv, index, &value)) {
        case 1:
            record->cycleCount = value;
            AddNote(&gCommandLineNotes, "Option -N: Num cycles: %d.\n", value);
            break;
        case 0:
            AddNote(&gCommandLineNotes, "Invalid command line. No number after loops switch.\n");
            state->verdict = false;
            break;
        }
        break;
    case 'O':
        HandleQuery(word);
        break;
    case 'P':
        switch (TakeStrictValue(state, argc, argv, index, &value)) {
        case 1:
            record->firstSleepDelaySec = value;
            AddNote(&gCommandLineNotes, "Option -P: Wait before 1st sleep: %d.\n", value);
            break;
        case 0:
            AddNote(&gCommandLineNotes, "Invalid command line. No number after wait before first sleep switch.\n");
            state->verdict = false;
            break;
        }
        break;
    case 'R':
        switch (TakeStrictValue(state, argc, argv, index, &value)) {
        case 1:
            state->allDuration = value;
            state->allDurationSet = true;
            AddNote(&gCommandLineNotes, "Option -R: Duration: %d.\n", value);
            break;
        case 0:
            AddNote(&gCommandLineNotes, "Invalid command line. No duration after duration switch.\n");
            state->verdict = false;
            state->allDuration = 0;
            state->allDurationSet = false;
            break;
        }
        break;
    case 'S':
        if (strlen(word) < 6) {
            AddNote(&gCommandLineNotes,
                    "Invalid command line. Not enough state values after Sleep State switch.\n");
            state->verdict = false;
        } else {
            for (int k = 0; k < 4; k++) record->useState[k] = (word[2 + k] == '1') ? 1 : 0;
        }
        break;
    case 'T':
        // The grow time takes its next word whatever it looks like.
        if (*index + 1 >= argc) {
            AddNote(&gCommandLineNotes, "Invalid command line. No duration after suspend grow time switch.\n");
            state->verdict = false;
        } else {
            gGrowSeconds = ShortValue(argv[++(*index)]);
            AddNote(&gCommandLineNotes, "Option -T: Sleep grow time: %d.\n", gGrowSeconds);
        }
        break;
    case 'f':
        switch (word[2]) {
        case '1':
            record->fallbackMode = FALLBACK_LIGHTER;
            AddNote(&gCommandLineNotes, "Option -f%c: FALLBACK_LIGHTER.\n", word[2]);
            break;
        case '2':
            record->fallbackMode = FALLBACK_DEEPER;
            AddNote(&gCommandLineNotes, "Option -f%c: FALLBACK_DEEPER.\n", word[2]);
            break;
        case '3':
            record->fallbackMode = FALLBACK_FORCE;
            AddNote(&gCommandLineNotes, "Option -f%c: FALLBACK_FORCE.\n", word[2]);
            break;
        case '4':
            record->fallbackMode = FALLBACK_SKIP;
            AddNote(&gCommandLineNotes, "Option -f%c: FALLBACK_SKIP.\n", word[2]);
            break;
        default:
            record->fallbackMode = FALLBACK_LIGHTER;
            AddNote(&gCommandLineNotes, "Option -f: Defaulting to FALLBACK_LIGHTER.\n");
            break;
        }
        break;
    case 'r':
        HandleStateDuration(state, argc, argv, *index);
        break;
    default:
        // Letters outside the table are not refusals, but a typing error must not pass unseen.
        AddNote(&gCommandLineNotes, "Option %s is not known and was skipped.\n", word);
        break;
    }
}

}  // namespace

bool ParseCommandLine(ConfigRecord* record, int argc, char** argv) {
    if (argc < 2 || argv == NULL) return true;

    ParseState state = {};
    state.verdict = true;

    for (int index = 1; index < argc; index++) {
        const char* word = argv[index];
        if (word == NULL) continue;
        if (word[0] == '/' || (word[0] == '-' && word[1] != '-')) {
            HandleSwitch(record, &state, argc, argv, &index);
        } else if (word[0] == '-' && word[1] == '-') {
            if (strncmp(word + 2, "config", 6) == 0)
                HandleConfigFile(record, &state, word);
            else if (strncmp(word + 2, "results", 7) == 0)
                HandleResultsFile(&state, word);
            else if (strncmp(word + 2, "report", 6) == 0)
                HandleReportFile(&state, word);
            else
                AddNote(&gCommandLineNotes, "Option %s is not known and was skipped.\n", word);
        }
        // Any other word is a stray one and skipped.
    }

    // Durations last, so they win over a configuration file wherever they stand.
    if (state.stateDurationSet) {
        for (int k = 0; k < 4; k++)
            if (state.stateDuration[k] != 0) record->sleepDurationSec[k] = state.stateDuration[k];
    } else if (state.allDurationSet && state.allDuration != 0) {
        for (int k = 0; k < 4; k++) record->sleepDurationSec[k] = state.allDuration;
    }

    for (int k = SLEEP_S1; k <= SLEEP_S3; k++)
        if (record->sleepDurationSec[k] < gShortestSleepDuration) gShortestSleepDuration = record->sleepDurationSec[k];

    return state.verdict;
}

bool CommandLineAsksAutoExit(int argc, char** argv) {
    for (int i = 1; i < argc && argv && argv[i]; i++) {
        const char* word = argv[i];
        if ((word[0] == '/' || (word[0] == '-' && word[1] != '-')) && word[1] == 'E') return true;
    }
    return false;
}

