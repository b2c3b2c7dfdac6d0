// The windows and dialogs: main window, log panel, configuration dialog,
// About, Error Detected, help pages and file requests.
#pragma once
#include <windows.h>
#include <stddef.h>
#include <stdint.h>
#include "core/core.h"
#include "log/log.h"
#include "settings/settings.h"
#include "results/results.h"
#include "events/events.h"
#include "power/power.h"

// ---- Log panel of the main window -------------------------------------------
// Up to 25 coloured rows drawn into control 1038, scrolled by bar 1037, with a
// colour key of five boxes. Only the window's own thread draws or changes the
// panel state; LogMessage on any other thread asks that thread to catch up.

#define LOG_VISIBLE_ROWS 25
#define LOG_PAGE_ROWS 5
// Private message to the log area: lines were added on another thread.
#define WM_LOG_PANEL_UPDATE (WM_APP + 1)

extern int gLogFirstRow;     // line in the top row, counted from the oldest
extern int gLogMaxFirstRow;  // largest useful gLogFirstRow
extern int gLogRowHeight;    // pixels
extern HFONT gLogFont;
extern HBRUSH gLogBackBrush;
extern HWND gLogArea;
extern HWND gLogScrollBar;
extern HWND gColourKeyGroup;

struct LogRowColours {
    COLORREF back;
    COLORREF text;
};
// Row colours of a level; unknown levels get white with black text.
LogRowColours GetLogRowColours(int level);
// Level whose colour a colour-key box shows; -1 for any other control.
int GetColourKeyLevel(int control);
// Row font height for a screen of dpi pixels per logical inch.
int GetLogFontHeight(int dpi);
// Row height (font and frame) so that the visible rows fit an area of
// areaHeight pixels, never above fontHeight + 2 nor below 8 pixels.
int FitLogRowHeight(int fontHeight, int areaHeight);
// gLogFirstRow after a scroll request (low word of WM_VSCROLL's wParam).
int GetScrolledFirstRow(int request, int thumbPosition, int firstRow, int maxFirstRow);

struct LogScrollRange {
    int firstRow;
    int maxFirstRow;
    bool showBar;
};
// The view and range for lineCount lines: a view that showed the newest line
// keeps showing it.
LogScrollRange GetLogScrollRange(int lineCount, int firstRow, int maxFirstRow);

void InitLogPanel(HWND dialog);
void PaintLogPanel(HWND dialog);
void ScrollLogPanel(WPARAM request);
void UpdateLogScrollRange();
void DrawLogRows();
// Draws the visible rows into dc, whose drawing surface is area (client coordinates).
void DrawLogRowsInto(HDC dc, const RECT* area);
// Fills the five colour-key boxes; returns how many were drawn (none while closing).
int DrawColourKey(HWND dialog);
void FillColourKeyBox(HWND dialog, COLORREF colour, int control);
// After a new line: range, jump to the newest line, redraw. Window thread only.
void ShowNewestLogLine();
// Brings the panel up to date after a line was added, from any thread.
void NotifyLogPanel();
// Deletes the panel's brush and font (shutdown).
void ReleaseLogPanel();

// ---- Configuration dialog ----

INT_PTR CALLBACK ConfigDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
// Sets every control, and the owner's (the main window's) state boxes, from record.
void FillConfigDialog(HWND dialog, const ConfigRecord* record);
// 1 when an entry was refused (its message has been shown, nothing changed);
// 0 when the dialog is in force in theConfig->settings.
int ApplyConfigDialog(HWND dialog);
// Builds a record from the controls without checks, for Save Config.
void ReadConfigDialog(HWND dialog, ConfigRecord* record);

// The five file requests of the dialog.
enum {
    FILE_REQUEST_SAVE_CONFIG = 0,
    FILE_REQUEST_LOAD_CONFIG,
    FILE_REQUEST_LOG_FILE,
    FILE_REQUEST_PROGRAM_BETWEEN,
    FILE_REQUEST_PROGRAM_AFTER,
    FILE_REQUEST_COUNT
};
struct FileRequest {
    bool save;                     // a save request, else an open request
    const char* title;
    const char* filter;            // description, NUL, pattern, NUL, NUL
    DWORD flags;                   // OFN_ options
    const char* defaultExtension;  // null for none
};
const FileRequest* GetFileRequest(int kind);
// Asks the user for a file; true with the chosen full path in path (pathSize
// bytes) when one was chosen. Tests replace gAskForFile.
typedef bool (*AskForFileFunction)(HWND owner, const FileRequest* request, char* path, size_t pathSize);
extern AskForFileFunction gAskForFile;
bool AskForFileWithCommonDialog(HWND owner, const FileRequest* request, char* path, size_t pathSize);

// The main window's check boxes of S1..S4.
extern const int STATE_BOXES[4];

extern HINSTANCE gAppInstance;
extern HWND gMainWindow;

// Height of the countdown font for a value at logPixelsY pixels per inch.
int CountdownFontHeight(int secondsLeft, int logPixelsY);
// Draws the countdown's seconds and the cycle number into the main window's boxes.
void DrawCountdownFrame(HWND window, int secondsLeft, int cycleShown);

// Main window (template 103), a modeless dialog.
INT_PTR CALLBACK MainDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void InitMainWindow(HWND window);
// Makes window the view of every run: countdown, cycle number, buttons.
void AttachRunView(HWND window);
// The main window from its template, with its icon, set up; null when it could not be made.
HWND CreateMainWindow(HINSTANCE instance);
// The run of the states ticked in the window (Sleep Now, or a resumed window run).
void StartRunFromMainWindow(HWND window);
// The window during a command-line run: its states ticked, the choice locked, Stop Cycle on.
void ShowCommandLineRun(HWND window, const ConfigRecord* settings);
// Turns mouse-wheel movement into line scrolls of the log panel.
void WheelLogPanel(HWND window, WPARAM wParam);
// Wheel movement not yet turned into a line scroll.
extern int gWheelDelta;
// Adds distance to *wheelDelta; -1 when a line up is due, 1 for a line down,
// 0 for none. A due scroll empties the delta: one message scrolls one line at most.
int TakeWheelStep(int* wheelDelta, int distance);
// The capability lines of the main window, from the machine's capabilities.
void FormatSupportedStatesLine(const SYSTEM_POWER_CAPABILITIES* caps, char* out, size_t outSize);
void FormatFullWakeLine(const SYSTEM_POWER_CAPABILITIES* caps, char* out, size_t outSize);
// Idle look of the buttons after a run has returned or was stopped.
void SetMainWindowIdle(HWND window);
// Stops the event monitors and closes the log file: every way out of the program does this.
void StopMonitoringAndCloseLog();

// About box (template 102).
INT_PTR CALLBACK AboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
#define MAKER_WEB_ADDRESS "https://www.tarnwell.example/vesplin/"
// The About box's version line.
void FormatVersionLine(char* out, size_t outSize);

// Opens a page of the HELP folder beside the executable in the default browser;
// a failure is shown in a box over the main window.
void OpenHelpFile(const char* fileName, HWND owner);
// The full path of a help page: folder of the executable, "HELP", file name;
// false when it does not fit.
bool GetHelpPagePath(const char* fileName, char* folder, size_t folderSize, char* page, size_t pageSize);

// Error Detected dialog (template 107): ends with 0 for Continue, 1 for Stop and Exit.
INT_PTR CALLBACK ErrorDetectedDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
// Shows it over owner; 0 for Continue, 1 for Stop and Exit.
INT_PTR AskErrorDetected(HWND owner);
