#include "support/run_log.h"

#include <gtest/gtest.h>

#include "settings/settings.h"
#include "support/process_run.h"
#include "results/results.h"
#include "ui/ui.h"

void WriteConfig(const std::string& path, const std::function<void(ConfigRecord&)>& change) {
    Config config(nullptr);
    ConfigRecord& s = config.settings;
    s.logToFile = 1;
    s.logLevel = 1;  // debug lines are part of what is checked
    s.cycleIntervalSec = 0;
    change(s);
    EXPECT_EQ(0, config.Save(path.c_str(), &s)) << path;
}

std::vector<std::string> LogBodies(const std::string& path) {
    std::vector<std::string> bodies;
    for (const std::string& line : ReadLines(path)) {
        size_t first = line.find(' ');
        size_t second = first == std::string::npos ? first : line.find(' ', first + 1);
        bodies.push_back(second == std::string::npos ? line : line.substr(second + 1));
    }
    return bodies;
}

static bool StartsWith(const std::string& line, const std::string& prefix) {
    return line.compare(0, prefix.size(), prefix) == 0;
}

int Find(const std::vector<std::string>& lines, const std::string& text, int from) {
    for (int i = from < 0 ? 0 : from; i < (int)lines.size(); i++) {
        if (lines[i] == text) return i;
    }
    return -1;
}

int FindPrefix(const std::vector<std::string>& lines, const std::string& prefix) {
    for (int i = 0; i < (int)lines.size(); i++) {
        if (StartsWith(lines[i], prefix)) return i;
    }
    return -1;
}

int Count(const std::vector<std::string>& lines, const std::string& text) {
    int count = 0;
    for (const auto& line : lines) count += line == text;
    return count;
}

int CountPrefix(const std::vector<std::string>& lines, const std::string& prefix) {
    int count = 0;
    for (const auto& line : lines) count += StartsWith(line, prefix);
    return count;
}

RunResult RestartAfterPowerCycle(const Sandbox& sandbox, const std::string& log) {
    WriteConfig(sandbox.Path("vesplinCfg.dat"), [&](ConfigRecord& s) {
        SetConfigText(s.logFilePath, log.c_str());
        s.sleepForever = 1;
        s.cycleCount = 2;
        s.autoRestart = 1;
    });
    sandbox.WriteScenario({{"sleep_ms", "0"}});
    RunOptions next;
    next.answers.push_back({"Tarnwell Vesplin", {IDCANCEL}});
    next.timeoutMs = 30000;
    return sandbox.Run(next);
}
