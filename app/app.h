// Application shell: start-up, command line, main window and small dialogs.
#pragma once
#include <windows.h>
#include <stddef.h>
#include <stdint.h>
#include "core/core.h"
#include "log/log.h"
#include "ui/ui.h"

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


// Parses argv[1..argc-1] into record; true when the command line is valid.
bool ParseCommandLine(ConfigRecord* record, int argc, char** argv);
// Resets the command-line results to their start values (one call per process in the program).
void ResetCommandLineResults();

// What start-up does with the run a marker file tells of.
enum ResumeHow {
    RESUME_WINDOW_RUN,         // goes on as a run of the window's settings
    RESUME_COMMAND_LINE_RUN,   // goes on as the command-line run the marker carries
    RESUME_REFUSED,            // the marker's run could not be taken back: only its lost sleep is recorded
};
// Start-up, when the marker file was found: records the lost sleep (once: a
// marker a start already recorded is only counted), and resumes the run (asking
// first when so configured). The marker stays, marked, until the run's next
// sleep replaces it or the run ends. 0 when the run was resumed, 1 when it was
// not (Stop, Exit, a refused run, or a marker that would not go).
int ResumeInterruptedRun(const struct MarkerContents* marker, int how);
// The run going on was taken back from a marker: its end saves none of its paths.
extern bool gRunFromMarker;
// Start-up: the run the command line asked for, with the window set up for it.
void StartCommandLineRun();

// The exit code the program ends with after its message loop (0 unless set).
void SetExitCode(int code);
// The whole program: start-up, message loop and shutdown; returns the exit code.
int RunVesplin(HINSTANCE instance, int argc, char** argv, int showCommand);
