// For tests that run Vesplin.exe: its log file read back, and the settings
// file a run takes.
#pragma once
#include <functional>
#include <string>
#include <vector>

#include "support/process_run.h"

struct ConfigRecord;

// A configuration file for "--config=" or as the default file beside the
// program: the defaults with the log file on at Debug level and no interval
// between sleeps, then change.
void WriteConfig(const std::string& path, const std::function<void(ConfigRecord&)>& change);
// Log lines without their time stamps.
std::vector<std::string> LogBodies(const std::string& path);
// Index of the first line equal to text (or beginning with prefix) at or after from; -1 when none.
int Find(const std::vector<std::string>& lines, const std::string& text, int from = 0);
int FindPrefix(const std::vector<std::string>& lines, const std::string& prefix);
int Count(const std::vector<std::string>& lines, const std::string& text);
int CountPrefix(const std::vector<std::string>& lines, const std::string& prefix);

// The start after a power cycle, as the RunOnce value makes it: no arguments,
// a default settings file (manual wake, two cycles, automatic restart, logging
// to log) and a simulated machine whose sleeps return at once. Exit in the
// main window ends the program after the resumed run.
RunResult RestartAfterPowerCycle(const Sandbox& sandbox, const std::string& log);
