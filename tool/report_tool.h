// vesplin-report: many machines' results files joined into one summary, one
// fleet page and one JUnit file. The rules here are free of files; the
// files are found, read and written in tool_files.cpp.
#pragma once
#include <stddef.h>
#include <string>
#include <vector>
#include "results/results.h"

// Exit codes of the tool.
#define TOOL_ALL_OK 0     // every sleep everywhere was ok, and there was at least one
#define TOOL_BAD_INPUT 1  // an unknown option, a missing or unreadable input, no results file, an unwritable output
#define TOOL_NOT_OK 2     // a sleep was not ok, no sleep was read, or a line of a results file was not a record

struct ToolArgs {
    bool help;
    char page[FLEET_PATH_SIZE];   // --page=; empty: no page
    char junit[FLEET_PATH_SIZE];  // --junit=; empty: no JUnit file
    std::vector<std::string> inputs;  // results files and folders, as given
};
// The command line (argv[0] left out); false with the reason in error for one
// the tool refuses.
bool ParseToolArgs(int argc, const char* const* argv, ToolArgs* args, char* error, size_t errorSize);
extern const char TOOL_USAGE[];

// The machine of a results file: the computer of its last record that names
// one, else the name of the folder the file is in ("unknown" without one).
void MachineNameFor(const SleepRecord* records, int count, const char* path, char* out, size_t outSize);
// A file's records joined to the machine of that name (ASCII case aside), a
// new machine when the fleet has none of that name.
void AddToFleet(std::vector<FleetMachine>* fleet, const char* name, const FleetFile& file,
                const std::vector<SleepRecord>& records);
// The machines in the order of their names.
void SortFleet(std::vector<FleetMachine>* fleet);

// One machine's line ("pc-07: 2 runs, 40 sleeps: 38 ok, 2 short"), and the
// total of all ("Total: 3 machines, ..."), without a line end.
std::string MachineSummary(const FleetMachine& machine);
std::string FleetSummary(const std::vector<FleetMachine>& fleet);
// TOOL_ALL_OK or TOOL_NOT_OK for what was read.
int FleetExitCode(const std::vector<FleetMachine>& fleet);

// ---- Files ------------------------------------------------------------------------

// The results files the inputs name: a folder's files ending in .jsonl (not
// its subfolders), in the order of their names; a file whatever its name;
// each once. False with the reason in error for an input that is not there;
// a folder without results files is said in *warnings.
bool CollectResultsFiles(const std::vector<std::string>& inputs, std::vector<std::string>* files,
                         std::vector<std::string>* warnings, std::string* error);
// Reads each file, and beside it its run report and status file, into the
// fleet; links to the reports are made relative to the folder of pagePath (the
// current folder when it is empty). False with the reason in error for a file
// that cannot be read.
bool LoadFleet(const std::vector<std::string>& files, const char* pagePath, std::vector<FleetMachine>* fleet,
               std::string* error);
// True when the two paths name the same file (neither needs to exist).
bool SameFile(const std::string& a, const std::string& b);
// Puts text at path whole: into "<path>.tmp" beside it, then renamed over it;
// the folders are made when missing. False with the reason in error.
bool WriteWholeFile(const char* path, const std::string& text, std::string* error);
