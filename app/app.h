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

// Help and version: asked for anywhere on the command line, they are all the program does.
enum { INFO_NONE = 0, INFO_HELP = 1, INFO_VERSION = 2 };
// INFO_HELP for -?, /?, -h, /h or --help; INFO_VERSION for --version; help wins.
int FindInfoRequest(int argc, char** argv);
const char* UsageText();
// "Vesplin V2.3 (Build: 1006), built on May 12 2010 11:19:14": the banner's identity line.
void FormatIdentityLine(char* out, size_t outSize);
// Writes text to the program's standard output or the console it was started
// from; where there is neither, shows it in a box when allowBox.
void ShowInfoText(const char* text, const char* caption, bool allowBox);
// True when the command line asks for an automatic exit (-E), seen before parsing.
bool CommandLineAsksAutoExit(int argc, char** argv);

// The log, results, marker, configuration and report files must be different
// files: returns false with a note naming the two when one path names two of
// them, and in *clash the files concerned (FILE_LOG, FILE_RESULTS, ...). paths
// is indexed by FILE_INDEX_*; empty or null paths take no part; paths are
// compared whole, without regard to case.
enum { FILE_INDEX_LOG, FILE_INDEX_RESULTS, FILE_INDEX_MARKER, FILE_INDEX_CONFIG, FILE_INDEX_REPORT, FILE_KINDS };
enum { FILE_LOG = 1, FILE_RESULTS = 2, FILE_MARKER = 4, FILE_CONFIG = 8, FILE_REPORT = 16 };
bool CheckDistinctFiles(const char* const paths[FILE_KINDS], char* note, size_t noteSize, int* clash);

// Parses argv[1..argc-1] into record; true when the command line is valid.
bool ParseCommandLine(ConfigRecord* record, int argc, char** argv);
// Resets the command-line results to their start values (one call per process in the program).
void ResetCommandLineResults();

// Start-up, when the marker file was found: records the lost sleep, deletes
// the marker and resumes the run (asking first when so configured); as the
// command-line run itself when the marker carried one. 0 when the run was
// resumed, 1 when it was not (Stop, Exit, or a marker that would not go).
int ResumeInterruptedRun(const struct MarkerContents* marker, bool asCommandLineRun);
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
