// Application shell: start-up, command line, main window and small dialogs.
#pragma once
#include <windows.h>
#include <stddef.h>
#include <stdint.h>
#include "control/control.h"
#include "log/log.h"

struct ConfigRecord;

// Results of the command line.
extern int gAutoExit;
extern int gLogFileFromCommandLine;
extern int gStartMinimized;
extern int gQueryMode;
extern int gQueryAnswer;
extern int gShortestSleepDuration;

// Writes the two debug lines for each selected duration below its safe minimum
// (30 s for S1-S3, 60 s for S4); false when the command-line run must not start.
bool CheckSleepDurations(const ConfigRecord* settings, int shortestSleepDuration);

// Parses argv[1..argc-1] into record; true when the command line is valid.
bool ParseCommandLine(ConfigRecord* record, int argc, char** argv);
// Resets the command-line results to their start values (one call per process in the program).
void ResetCommandLineResults();

// Start-up: resumes the run a power cycle interrupted when the marker file is
// there (asking first when so configured) and deletes the marker; -1 when there
// was none, 0 when the run was resumed, 1 when the user chose Stop or Exit.
int ResumeInterruptedRun();
// Start-up: the run the command line asked for, with the window set up for it.
void StartCommandLineRun();

// The exit code the program ends with after its message loop (0 unless set).
void SetExitCode(int code);
// The whole program: start-up, message loop and shutdown; returns the exit code.
int RunVesplin(HINSTANCE instance, int argc, char** argv, int showCommand);

// Main window (template 103), a modeless dialog.
INT_PTR CALLBACK MainDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void InitMainWindow(HWND window);
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
