// The configuration dialog's decisions, as functions over plain values: the
// reading of number texts, the checks in their fixed order, the record for
// Save Config, and the reactions to newly committed settings.
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include "settings/settings.h"

static bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }
static bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int ReadCutNumber(const char* text) {
    // Only the first five characters count, so the value stays within 99999.
    char cut[6];
    snprintf(cut, sizeof(cut), "%s", text ? text : "");
    const char* p = cut;
    while (IsBlank(*p)) p++;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    int value = 0;
    while (IsDigit(*p)) value = value * 10 + (*p++ - '0');
    return negative ? -value : value;
}

int ReadUnsignedNumber(const char* text) {
    if (!text) return 0;
    const char* p = text;
    while (IsBlank(*p)) p++;
    if (!IsDigit(*p)) return 0;
    long long value = 0;
    while (IsDigit(*p)) {
        // A number beyond the int range would turn negative in the record.
        if (value <= INT_MAX) value = value * 10 + (*p - '0');
        p++;
    }
    while (IsBlank(*p)) p++;
    if (*p != '\0') return 0;
    return value > INT_MAX ? INT_MAX : (int)value;
}

// An external program must be a file that opens for reading.
static bool IsReadableFile(const char* path) {
    if (path[0] == '\0') return false;
    DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
    FILE* file = fopen(path, "r");
    if (!file) return false;
    fclose(file);
    return true;
}

// A path longer than its 255-character field would be cut into another path.
static bool FitsTextField(const char* text) { return strlen(text) <= CONFIG_TEXT_MAX; }

int CheckConfigForm(const ConfigForm* form, const ConfigRecord* inForce, ConfigRecord* out) {
    *out = *inForce;

    if (form->haveStateBoxes) {
        for (int i = 0; i < 4; i++) out->useState[i] = form->useState[i] ? 1 : 0;
    }

    out->firstSleepDelaySec = ReadCutNumber(form->delayText);
    if (out->firstSleepDelaySec > CONFIG_MAX_FIRST_DELAY) return CONFIG_CHECK_DELAY_TOO_LARGE;

    // The typed path is kept even when logging is off; it is checked only when on.
    out->logToFile = form->logToFile ? 1 : 0;
    SetConfigText(out->logFilePath, form->logFilePath);
    if (form->logToFile) {
        if (!FitsTextField(form->logFilePath) || !ResolveFilePath(nullptr, 0, form->logFilePath))
            return CONFIG_CHECK_BAD_LOG_PATH;
    }
    out->clearLogAtStart = form->clearLogAtStart ? 1 : 0;

    if (form->logLevelChoice >= 0 && form->logLevelChoice <= 2) out->logLevel = form->logLevelChoice;

    for (int i = 0; i < 4; i++) out->sleepDurationSec[i] = ReadCutNumber(form->durationText[i]);

    // The minimums are lifted by the sleepForever in force, not by the box.
    int shortest = 30;
    int longest = 60;
    for (int i = 0; i < 4; i++) {
        if (out->sleepDurationSec[i] < shortest) shortest = out->sleepDurationSec[i];
        if (out->sleepDurationSec[i] > longest) longest = out->sleepDurationSec[i];
    }
    if (inForce->sleepForever == 0) {
        if (shortest < 30) return CONFIG_CHECK_BELOW_30;
        if (out->sleepDurationSec[3] < 60) return CONFIG_CHECK_BELOW_60;
    }
    if (longest > CONFIG_MAX_DURATION) return CONFIG_CHECK_DURATION_TOO_LARGE;

    out->cycleForever = form->cycleForever ? 1 : 0;
    out->cycleCount = ReadUnsignedNumber(form->cycleCountText);
    out->cycleIntervalSec = ReadUnsignedNumber(form->cycleIntervalText);

    out->autoRestart = form->autoRestart ? 1 : 0;
    out->stopOnError = form->stopOnError ? 1 : 0;

    if (form->fallbackChoice >= FALLBACK_LIGHTER && form->fallbackChoice <= FALLBACK_SKIP)
        out->fallbackMode = form->fallbackChoice;

    out->runAppBetweenSleeps = form->runAppBetweenSleeps ? 1 : 0;
    SetConfigText(out->appBetweenSleepsPath, form->appBetweenSleepsPath);
    if (form->runAppBetweenSleeps) {
        if (!FitsTextField(form->appBetweenSleepsPath) || !IsReadableFile(form->appBetweenSleepsPath))
            return CONFIG_CHECK_BAD_PROGRAM_PATH;
    }
    out->runAppAfterLastCycle = form->runAppAfterLastCycle ? 1 : 0;
    SetConfigText(out->appAfterLastCyclePath, form->appAfterLastCyclePath);
    if (form->runAppAfterLastCycle) {
        if (!FitsTextField(form->appAfterLastCyclePath) || !IsReadableFile(form->appAfterLastCyclePath))
            return CONFIG_CHECK_BAD_PROGRAM_PATH;
    }

    out->skipUnsupported = form->fallbackChoice == FALLBACK_SKIP ? 1 : 0;
    out->sleepForever = form->sleepForever ? 1 : 0;
    return CONFIG_CHECK_OK;
}

void BuildRecordFromForm(const ConfigForm* form, ConfigRecord* out) {
    memset(out, 0, sizeof(*out));
    memcpy(out->magic, "SLPDAT", 7);
    SetConfigText(out->productName, PRODUCT_NAME);
    SetConfigText(out->versionText, PRODUCT_VERSION);
    out->buildNumber = PRODUCT_BUILD_NUMBER;

    if (form->haveStateBoxes) {
        for (int i = 0; i < 4; i++) out->useState[i] = form->useState[i] ? 1 : 0;
    }
    out->firstSleepDelaySec = ReadUnsignedNumber(form->delayText);
    out->logToFile = form->logToFile ? 1 : 0;
    if (form->logToFile) {
        SetConfigText(out->logFilePath, form->logFilePath);
        out->clearLogAtStart = form->clearLogAtStart ? 1 : 0;
    }
    if (form->logLevelChoice >= 0 && form->logLevelChoice <= 2) out->logLevel = form->logLevelChoice;
    for (int i = 0; i < 4; i++) out->sleepDurationSec[i] = ReadUnsignedNumber(form->durationText[i]);
    out->cycleForever = form->cycleForever ? 1 : 0;
    if (!form->cycleForever) out->cycleCount = ReadUnsignedNumber(form->cycleCountText);
    out->cycleIntervalSec = ReadUnsignedNumber(form->cycleIntervalText);
    out->autoRestart = form->autoRestart ? 1 : 0;
    out->stopOnError = form->stopOnError ? 1 : 0;
    if (form->fallbackChoice >= FALLBACK_LIGHTER && form->fallbackChoice <= FALLBACK_SKIP)
        out->fallbackMode = form->fallbackChoice;
    out->runAppBetweenSleeps = form->runAppBetweenSleeps ? 1 : 0;
    if (form->runAppBetweenSleeps) SetConfigText(out->appBetweenSleepsPath, form->appBetweenSleepsPath);
    out->runAppAfterLastCycle = form->runAppAfterLastCycle ? 1 : 0;
    if (form->runAppAfterLastCycle) SetConfigText(out->appAfterLastCyclePath, form->appAfterLastCyclePath);
    out->skipUnsupported = form->fallbackChoice == FALLBACK_SKIP ? 1 : 0;
    out->sleepForever = form->sleepForever ? 1 : 0;
}

const char* GetConfigCheckCaption(int check) {
    const char* caption = "";
    char text[8];
    GetConfigCheckMessage(check, text, sizeof(text), &caption, nullptr);
    return caption;
}

void GetConfigCheckMessage(int check, char* text, size_t textSize, const char** caption, UINT* icon) {
    const char* title = "";
    UINT type = MB_ICONWARNING;
    switch (check) {
    case CONFIG_CHECK_DELAY_TOO_LARGE:
        snprintf(text, textSize, "Please enter a wait duration of %d seconds or less", CONFIG_MAX_FIRST_DELAY);
        title = "Wait duration too large";
        break;
    case CONFIG_CHECK_BAD_LOG_PATH:
        snprintf(text, textSize, "Please enter a valid filename for the log file.");
        title = "Invalid Log file path";
        break;
    case CONFIG_CHECK_BELOW_30:
        snprintf(text, textSize, "%s", SHORT_SLEEP_TEXT);
        title = SHORT_DURATION_CAPTION;
        type = MB_ICONINFORMATION;
        break;
    case CONFIG_CHECK_BELOW_60:
        snprintf(text, textSize, "%s", SHORT_HIBERNATE_TEXT);
        title = SHORT_DURATION_CAPTION;
        type = MB_ICONINFORMATION;
        break;
    case CONFIG_CHECK_DURATION_TOO_LARGE:
        snprintf(text, textSize, "Please enter a sleep duration of %d seconds or less", CONFIG_MAX_DURATION);
        title = "Sleep duration too large";
        break;
    case CONFIG_CHECK_BAD_PROGRAM_PATH:
        snprintf(text, textSize, "Please enter a valid file path for an existing program, eg C:\\\\myapp.exe");
        title = "Invalid external application path";
        break;
    default:
        if (textSize > 0) text[0] = '\0';
        break;
    }
    if (caption) *caption = title;
    if (icon) *icon = type;
}

int DecideLogFileReaction(const ConfigRecord* previous, const ConfigRecord* committed) {
    if (committed->logToFile != 1) return LOG_FILE_KEEP;
    bool wasClear = previous->clearLogAtStart != 0;
    bool isClear = committed->clearLogAtStart != 0;
    if (wasClear == isClear) {
        bool samePath = strncmp(previous->logFilePath, committed->logFilePath, sizeof(committed->logFilePath)) == 0;
        return samePath ? LOG_FILE_KEEP : LOG_FILE_NEW_PATH;
    }
    return isClear ? LOG_FILE_OVERWRITE : LOG_FILE_APPEND;
}

int DecideMonitoring(int logLevel, int monitorThreadCount, bool windows2000OrLater) {
    if (logLevel == 2) {
        if (monitorThreadCount != 0) return MONITOR_KEEP;
        return windows2000OrLater ? MONITOR_START : MONITOR_UNSUPPORTED;
    }
    return monitorThreadCount != 0 ? MONITOR_STOP : MONITOR_KEEP;
}

void FormatLogBanner(char* out, size_t outSize) {
    snprintf(out, outSize, "%s %s (Build: %s), built on %s %s", PRODUCT_NAME, PRODUCT_VERSION, PRODUCT_BUILD,
             PRODUCT_BUILD_DATE, PRODUCT_BUILD_TIME);
}
