// The configuration dialog (template 104): its controls are the working copy of
// the settings until OK checks them and commits them in one step.
#include <stdio.h>
#include <string.h>
#include "log/log.h"
#include "power/power.h"
#include "res/resource.h"
#include "settings/settings.h"
#include "events/events.h"
#include "ui/ui.h"

static const int DURATION_EDITS[4] = {IDC_CFG_S1_DURATION, IDC_CFG_S2_DURATION, IDC_CFG_S3_DURATION,
                                      IDC_CFG_S4_DURATION};
// Indexed by fallback code.
static const int FALLBACK_BUTTONS[4] = {IDC_CFG_FALLBACK_LIGHTER, IDC_CFG_FALLBACK_DEEPER, IDC_CFG_FALLBACK_FORCE,
                                        IDC_CFG_FALLBACK_SKIP};
// Indexed by log level.
static const int LOG_LEVEL_BUTTONS[3] = {IDC_CFG_LOG_NORMAL, IDC_CFG_LOG_DEBUG, IDC_CFG_LOG_EVENTS};
static const int LOG_FILE_DEPENDENTS[5] = {IDC_CFG_LOG_CLEAR, IDC_CFG_LOG_APPEND, IDC_CFG_LOG_FILE_LABEL,
                                           IDC_CFG_LOG_FILE_PATH, IDC_CFG_LOG_FILE_BROWSE};
static const int APP_BETWEEN_DEPENDENTS[3] = {IDC_CFG_APP_BETWEEN_LABEL, IDC_CFG_APP_BETWEEN_PATH,
                                              IDC_CFG_APP_BETWEEN_BROWSE};
static const int APP_AFTER_DEPENDENTS[3] = {IDC_CFG_APP_AFTER_LABEL, IDC_CFG_APP_AFTER_PATH, IDC_CFG_APP_AFTER_BROWSE};

static const char OVERWRITTEN_LINE[] = "*******************Previous logs overwritten********************";
static const char MONITOR_UNSUPPORTED_TEXT[] =
    "Unable to start Application and System monitoring. This feature is only supported on Windows 2000 and later\n";

// The main window owns the dialog; its state boxes are part of the form.
static HWND MainWindowOf(HWND dialog) { return GetWindow(dialog, GW_OWNER); }

static bool IsTicked(HWND dialog, int id) { return IsDlgButtonChecked(dialog, id) == BST_CHECKED; }

static void SetTick(HWND dialog, int id, bool ticked) {
    CheckDlgButton(dialog, id, ticked ? BST_CHECKED : BST_UNCHECKED);
}

static void EnableControls(HWND dialog, const int* ids, int count, bool enable) {
    for (int i = 0; i < count; i++) EnableWindow(GetDlgItem(dialog, ids[i]), enable ? TRUE : FALSE);
}

// Enables the controls that depend on box to match its tick.
static void UpdateDependents(HWND dialog, int box) {
    bool ticked = IsTicked(dialog, box);
    switch (box) {
    case IDC_CFG_LOG_TO_FILE:
        EnableControls(dialog, LOG_FILE_DEPENDENTS, 5, ticked);
        break;
    case IDC_CFG_APP_BETWEEN:
        EnableControls(dialog, APP_BETWEEN_DEPENDENTS, 3, ticked);
        break;
    case IDC_CFG_APP_AFTER:
        EnableControls(dialog, APP_AFTER_DEPENDENTS, 3, ticked);
        break;
    case IDC_CFG_SLEEP_FOREVER:
        EnableControls(dialog, DURATION_EDITS, 4, !ticked);
        break;
    case IDC_CFG_CYCLE_FOREVER:
        EnableWindow(GetDlgItem(dialog, IDC_CFG_CYCLE_COUNT), ticked ? FALSE : TRUE);
        break;
    case IDC_CFG_CYCLE_FIXED:
        EnableWindow(GetDlgItem(dialog, IDC_CFG_CYCLE_COUNT), ticked ? TRUE : FALSE);
        break;
    }
}

static void SetNumber(HWND dialog, int id, int32_t value) { SetDlgItemInt(dialog, id, (UINT)value, FALSE); }

static void SetFieldText(HWND dialog, int id, const char* field) {
    char text[256];
    GetConfigText(field, text);
    SetDlgItemTextA(dialog, id, text);
}

void FillConfigDialog(HWND dialog, const ConfigRecord* record) {
    HWND mainWindow = MainWindowOf(dialog);
    if (mainWindow) {
        for (int i = 0; i < 4; i++) SetTick(mainWindow, STATE_BOXES[i], record->useState[i] != 0);
    }

    for (int i = 0; i < 4; i++) SetNumber(dialog, DURATION_EDITS[i], record->sleepDurationSec[i]);

    if (record->fallbackMode >= FALLBACK_LIGHTER && record->fallbackMode <= FALLBACK_SKIP) {
        for (int i = 0; i < 4; i++) SetTick(dialog, FALLBACK_BUTTONS[i], i == record->fallbackMode);
    }

    SetNumber(dialog, IDC_CFG_CYCLE_COUNT, record->cycleCount);
    SetNumber(dialog, IDC_CFG_CYCLE_INTERVAL, record->cycleIntervalSec);
    EnableWindow(GetDlgItem(dialog, IDC_CFG_CYCLE_FOREVER), TRUE);
    EnableWindow(GetDlgItem(dialog, IDC_CFG_CYCLE_FIXED), TRUE);
    EnableWindow(GetDlgItem(dialog, IDC_CFG_CYCLE_INTERVAL), TRUE);
    bool forever = record->cycleForever != 0;
    SetTick(dialog, IDC_CFG_CYCLE_FOREVER, forever);
    SetTick(dialog, IDC_CFG_CYCLE_FIXED, !forever);
    EnableWindow(GetDlgItem(dialog, IDC_CFG_CYCLE_COUNT), forever ? FALSE : TRUE);

    SetNumber(dialog, IDC_CFG_FIRST_DELAY, record->firstSleepDelaySec);

    SetTick(dialog, IDC_CFG_LOG_TO_FILE, record->logToFile == 1);
    UpdateDependents(dialog, IDC_CFG_LOG_TO_FILE);
    SetFieldText(dialog, IDC_CFG_LOG_FILE_PATH, record->logFilePath);
    SetTick(dialog, IDC_CFG_LOG_CLEAR, record->clearLogAtStart == 1);
    SetTick(dialog, IDC_CFG_LOG_APPEND, record->clearLogAtStart != 1);

    if (record->logLevel >= 0 && record->logLevel <= 2) {
        for (int i = 0; i < 3; i++) SetTick(dialog, LOG_LEVEL_BUTTONS[i], i == record->logLevel);
    }

    SetTick(dialog, IDC_CFG_AUTO_RESTART, record->autoRestart == 1);
    SetTick(dialog, IDC_CFG_STOP_ON_ERROR, record->stopOnError == 1);

    SetTick(dialog, IDC_CFG_APP_BETWEEN, record->runAppBetweenSleeps == 1);
    UpdateDependents(dialog, IDC_CFG_APP_BETWEEN);
    SetFieldText(dialog, IDC_CFG_APP_BETWEEN_PATH, record->appBetweenSleepsPath);
    SetTick(dialog, IDC_CFG_APP_AFTER, record->runAppAfterLastCycle == 1);
    UpdateDependents(dialog, IDC_CFG_APP_AFTER);
    SetFieldText(dialog, IDC_CFG_APP_AFTER_PATH, record->appAfterLastCyclePath);

    SetTick(dialog, IDC_CFG_SLEEP_FOREVER, record->sleepForever == 1);
    UpdateDependents(dialog, IDC_CFG_SLEEP_FOREVER);
}

// Reads every control, and the owner's state boxes, as they stand.
static void ReadConfigForm(HWND dialog, ConfigForm* form) {
    memset(form, 0, sizeof(*form));
    HWND mainWindow = MainWindowOf(dialog);
    form->haveStateBoxes = mainWindow != nullptr;
    if (mainWindow) {
        for (int i = 0; i < 4; i++) form->useState[i] = IsTicked(mainWindow, STATE_BOXES[i]) ? 1 : 0;
    }
    for (int i = 0; i < 4; i++)
        GetDlgItemTextA(dialog, DURATION_EDITS[i], form->durationText[i], sizeof(form->durationText[i]));
    form->fallbackChoice = -1;
    for (int i = 0; i < 4; i++) {
        if (IsTicked(dialog, FALLBACK_BUTTONS[i])) {
            form->fallbackChoice = i;
            break;
        }
    }
    form->cycleForever = IsTicked(dialog, IDC_CFG_CYCLE_FOREVER);
    GetDlgItemTextA(dialog, IDC_CFG_CYCLE_COUNT, form->cycleCountText, sizeof(form->cycleCountText));
    GetDlgItemTextA(dialog, IDC_CFG_CYCLE_INTERVAL, form->cycleIntervalText, sizeof(form->cycleIntervalText));
    form->autoRestart = IsTicked(dialog, IDC_CFG_AUTO_RESTART);
    form->stopOnError = IsTicked(dialog, IDC_CFG_STOP_ON_ERROR);
    form->sleepForever = IsTicked(dialog, IDC_CFG_SLEEP_FOREVER);
    GetDlgItemTextA(dialog, IDC_CFG_FIRST_DELAY, form->delayText, sizeof(form->delayText));
    form->logToFile = IsTicked(dialog, IDC_CFG_LOG_TO_FILE);
    form->clearLogAtStart = IsTicked(dialog, IDC_CFG_LOG_CLEAR);
    GetDlgItemTextA(dialog, IDC_CFG_LOG_FILE_PATH, form->logFilePath, sizeof(form->logFilePath));
    form->logLevelChoice = -1;
    for (int i = 0; i < 3; i++) {
        if (IsTicked(dialog, LOG_LEVEL_BUTTONS[i])) {
            form->logLevelChoice = i;
            break;
        }
    }
    form->runAppBetweenSleeps = IsTicked(dialog, IDC_CFG_APP_BETWEEN);
    GetDlgItemTextA(dialog, IDC_CFG_APP_BETWEEN_PATH, form->appBetweenSleepsPath, sizeof(form->appBetweenSleepsPath));
    form->runAppAfterLastCycle = IsTicked(dialog, IDC_CFG_APP_AFTER);
    GetDlgItemTextA(dialog, IDC_CFG_APP_AFTER_PATH, form->appAfterLastCyclePath,
                    sizeof(form->appAfterLastCyclePath));
}

// Restarts the log file when its path or mode changed; these lines go to the
// file only, not to the log panel.
static void ReactToLogFile(const ConfigRecord* previous, const ConfigRecord* committed) {
    int reaction = DecideLogFileReaction(previous, committed);
    if (reaction == LOG_FILE_KEEP || !theLogger) return;
    char path[256];
    GetConfigText(committed->logFilePath, path);
    char banner[256];
    FormatLogBanner(banner, sizeof(banner));
    switch (reaction) {
    case LOG_FILE_NEW_PATH:
        theLogger->OpenLogFile(path, committed->clearLogAtStart ? "wt" : "at");
        theLogger->WriteLineToFile(ASTERISK_RULE);
        theLogger->WriteLineToFile(banner);
        break;
    case LOG_FILE_OVERWRITE:
        theLogger->OpenLogFile(path, "wt");
        theLogger->WriteLineToFile(OVERWRITTEN_LINE);
        theLogger->WriteLineToFile(banner);
        break;
    case LOG_FILE_APPEND:
        theLogger->OpenLogFile(path, "at");
        break;
    }
}

static void ReactToMonitoring(int logLevel) {
    int running = (int)gMonitorThreadCount;
    switch (DecideMonitoring(logLevel, running, IsEventMonitoringSupported())) {
    case MONITOR_START:
        StartEventMonitoring();
        break;
    case MONITOR_STOP:
        StopEventMonitoring();
        break;
    case MONITOR_UNSUPPORTED:
        LogMessage(MONITOR_UNSUPPORTED_TEXT, LOG_WARNING);
        break;
    }
}

int ApplyConfigDialog(HWND dialog) {
    ConfigForm form;
    ReadConfigForm(dialog, &form);
    ConfigRecord previous = theConfig->settings;
    ConfigRecord working;
    int check = CheckConfigForm(&form, &previous, &working);
    if (check != CONFIG_CHECK_OK) {
        char text[512];
        const char* caption = "";
        UINT icon = MB_ICONWARNING;
        GetConfigCheckMessage(check, text, sizeof(text), &caption, &icon);
        MessageBoxA(dialog, text, caption, icon | MB_OK);
        return 1;
    }
    // A log written into the marker or the configuration file would destroy it.
    char logPath[256];
    GetConfigText(working.logFilePath, logPath);
    char note[NOTE_SIZE];
    int clash = 0;
    const char* files[FILE_KINDS] = {logPath, "", gMarkerFilePath, theConfig->configFilePath, "", "", ""};
    if (working.logToFile && !CheckDistinctFiles(files, note, sizeof(note), &clash)) {
        MessageBoxA(dialog, note, GetConfigCheckCaption(CONFIG_CHECK_BAD_LOG_PATH), MB_ICONWARNING | MB_OK);
        return 1;
    }
    theConfig->settings = working;
    ApplyLogSettings(&working);
    ReactToLogFile(&previous, &working);
    ReactToMonitoring(working.logLevel);
    if (working.autoRestart == 0) RemoveRunOnceValue();
    return 0;
}

void ReadConfigDialog(HWND dialog, ConfigRecord* record) {
    ConfigForm form;
    ReadConfigForm(dialog, &form);
    BuildRecordFromForm(&form, record);
    if (!form.autoRestart) RemoveRunOnceValue();
}

static bool AskForFile(HWND dialog, int kind, char* path, size_t pathSize) {
    path[0] = '\0';
    return gAskForFile && gAskForFile(dialog, GetFileRequest(kind), path, pathSize);
}

static void BrowseInto(HWND dialog, int kind, int edit) {
    char path[512];
    if (AskForFile(dialog, kind, path, sizeof(path))) SetDlgItemTextA(dialog, edit, path);
}

static void SaveConfigToChosenFile(HWND dialog) {
    char path[512];
    if (!AskForFile(dialog, FILE_REQUEST_SAVE_CONFIG, path, sizeof(path))) return;
    ConfigRecord record;
    memset(&record, 0, sizeof(record));
    ReadConfigDialog(dialog, &record);
    theConfig->Save(path, &record);
}

static void LoadConfigFromChosenFile(HWND dialog) {
    char path[512];
    if (!AskForFile(dialog, FILE_REQUEST_LOAD_CONFIG, path, sizeof(path))) return;
    ConfigRecord record;
    memset(&record, 0, sizeof(record));
    if (theConfig->Load(path, &record) == 0) FillConfigDialog(dialog, &record);
}

static INT_PTR OnCommand(HWND dialog, int id) {
    switch (id) {
    case IDOK:
        if (ApplyConfigDialog(dialog) != 0) return 0;
        theConfig->Save(theConfig->configFilePath, &theConfig->settings);
        EndDialog(dialog, 0);
        return 0;
    case IDCANCEL:
        EndDialog(dialog, 0);
        return 1;
    case IDC_CFG_SAVE:
        SaveConfigToChosenFile(dialog);
        return 0;
    case IDC_CFG_LOAD:
        LoadConfigFromChosenFile(dialog);
        return 0;
    case IDC_CFG_HELP:
        OpenHelpFile("hid_config.htm", dialog);
        return 0;
    case IDC_CFG_LOG_TO_FILE:
    case IDC_CFG_APP_BETWEEN:
    case IDC_CFG_APP_AFTER:
    case IDC_CFG_CYCLE_FOREVER:
    case IDC_CFG_CYCLE_FIXED:
    case IDC_CFG_SLEEP_FOREVER:
        UpdateDependents(dialog, id);
        return 0;
    case IDC_CFG_LOG_CLEAR:
    case IDC_CFG_LOG_APPEND:
        CheckRadioButton(dialog, IDC_CFG_LOG_CLEAR, IDC_CFG_LOG_APPEND, id);
        return 0;
    case IDC_CFG_LOG_NORMAL:
    case IDC_CFG_LOG_DEBUG:
    case IDC_CFG_LOG_EVENTS:
        if (IsTicked(dialog, id)) CheckRadioButton(dialog, IDC_CFG_LOG_NORMAL, IDC_CFG_LOG_EVENTS, id);
        return 0;
    case IDC_CFG_LOG_FILE_BROWSE:
        BrowseInto(dialog, FILE_REQUEST_LOG_FILE, IDC_CFG_LOG_FILE_PATH);
        return 0;
    case IDC_CFG_APP_BETWEEN_BROWSE:
        BrowseInto(dialog, FILE_REQUEST_PROGRAM_BETWEEN, IDC_CFG_APP_BETWEEN_PATH);
        return 0;
    case IDC_CFG_APP_AFTER_BROWSE:
        BrowseInto(dialog, FILE_REQUEST_PROGRAM_AFTER, IDC_CFG_APP_AFTER_PATH);
        return 0;
    }
    return 0;
}

INT_PTR CALLBACK ConfigDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG: {
        FillConfigDialog(dialog, &theConfig->settings);
        // Typing is held to what a setting can store; a longer chosen path is refused on OK.
        SendDlgItemMessageA(dialog, IDC_CFG_LOG_FILE_PATH, EM_LIMITTEXT, CONFIG_TEXT_MAX, 0);
        SendDlgItemMessageA(dialog, IDC_CFG_APP_BETWEEN_PATH, EM_LIMITTEXT, CONFIG_TEXT_MAX, 0);
        SendDlgItemMessageA(dialog, IDC_CFG_APP_AFTER_PATH, EM_LIMITTEXT, CONFIG_TEXT_MAX, 0);
        // Start at the first control a user can reach with Tab.
        HWND first = GetNextDlgTabItem(dialog, nullptr, FALSE);
        if (first) SetFocus(first);
        return 0;
    }
    case WM_DESTROY:
        EndDialog(dialog, 0);
        return 0;
    case WM_COMMAND:
        return OnCommand(dialog, LOWORD(wParam));
    }
    return 0;
}
