// For tests that run Vesplin.exe: its log file read back, and the settings
// file a run takes.
#pragma once
#include <functional>
#include <string>
#include <vector>

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
