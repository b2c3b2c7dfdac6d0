// Helpers for tests that run programs (Vesplin.exe above all) as processes:
// files, environments, a run with a box watcher and a time limit, and a
// private sandbox folder per test.
#pragma once
#include <windows.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "support/box_watcher.h"

// ---- Files and paths (Windows paths; the build folder is reachable through Z:) ----

// Folder of the running executable, without a trailing backslash.
std::string ExeDir();
// The build folder: the parent of ExeDir() (executables live in build\bin).
std::string BuildDir();
std::string JoinPath(const std::string& folder, const std::string& name);
bool FileExists(const std::string& path);
// Whole file as bytes; "" when it cannot be read (see ReadTextFile to tell apart).
std::string ReadText(const std::string& path);
bool ReadTextFile(const std::string& path, std::string* text);
// Lines without their "\r\n" or "\n"; a final line feed makes no empty line.
std::vector<std::string> SplitLines(const std::string& text);
std::vector<std::string> ReadLines(const std::string& path);
bool WriteText(const std::string& path, const std::string& text);
// Creates the folder and its missing parents.
bool MakeDirs(const std::string& path);
// Milliseconds from the performance counter, for timing checks finer than the tick count.
double NowMs();
// The folder build\sandbox\<name> for a test's files, made when missing (not emptied).
std::string TestFolder(const std::string& name);
// Deletes a folder with everything in it; true when it is gone.
bool RemoveTree(const std::string& path);

// ---- The simulated power and device libraries ----

// Which power and device libraries a started program gets: the simulated ones
// together (powrprof.dll and setupapi.dll from tests/simpower and
// tests/simdevices), or Wine's own. Wine takes a child's WINEDLLOVERRIDES from
// the parent's Unix environment, not from the environment block given to
// CreateProcess, so the choice is made through the registry key
// HKCU\Software\Wine\AppDefaults\<exe name>\DllOverrides (values powrprof
// and setupapi = native or builtin; Inherit deletes them), read by the child
// when it starts. It only works when WINEDLLOVERRIDES of the test process names
// neither library (that would win over the registry). Runs of programs with the
// same file name that ask for different libraries must not overlap.
enum class PowerLibrary { Inherit, Simulated, Wine };
// Sets the key for programs with this file name ("Vesplin.exe"); false on a registry error.
bool SetPowerLibraryFor(const std::string& exeName, PowerLibrary library);

// Loads the simulator into this process, from a copy in `folder` (under
// another name, so Wine does not substitute its own library). The copy's
// behaviour is the same; its variables are read from this process's
// environment (SetEnvironmentVariableA works). NULL on failure.
HMODULE LoadSimulatorCopy(const std::string& folder);
// The same for the simulated device library (its variables are SIMDEVICES_*).
HMODULE LoadDeviceSimulatorCopy(const std::string& folder);

// Scenario text from key/value pairs, one "key=value" a line.
std::string ScenarioText(const std::vector<std::pair<std::string, std::string>>& values);
// Journal lines of one entry point ("SetSuspendState", ...), in call order.
std::vector<std::string> JournalCalls(const std::vector<std::string>& journal, const std::string& name);
// The value of "key=" in a journal line ("" when absent).
std::string JournalField(const std::string& line, const std::string& key);

// The main window ("Tarnwell Vesplin") of the program started from this exe
// (a full path); other test programs show windows with the same caption. NULL when none.
HWND FindMainWindowOf(const std::string& exe);

// ---- Running a program ----

struct RunOptions {
    std::vector<std::string> args;
    // Variables added to (or changed in) the test's own environment.
    std::map<std::string, std::string> env;
    // Variables the program must not inherit.
    std::vector<std::string> unsetEnv;
    // The power and device libraries it gets (see PowerLibrary).
    PowerLibrary power = PowerLibrary::Inherit;
    // Device list file of the simulated device library (SIMDEVICES_LIST);
    // empty: the variable is left as the test's environment has it.
    std::string devicesList;
    // Captions answered with buttons (see BoxWatcher::Answer).
    std::vector<std::pair<std::string, std::vector<int>>> answers;
    // Close and record message boxes with other captions (BoxWatcher::CloseUnexpected).
    bool closeUnexpected = true;
    // Killed after this long.
    DWORD timeoutMs = 60000;
    // Working folder; empty: the program's folder.
    std::string workDir;
    // Standard output and error go to this file; empty: inherited.
    std::string outputFile;
};

// Makes a run use the simulated power library with these files (state may be
// "": written values are then kept in the program's memory only), and the
// simulated device library with it.
void UseSimulator(RunOptions* options, const std::string& scenario, const std::string& journal,
                  const std::string& state);
// Makes a run use Wine's own power and device libraries, without the simulators' variables.
void UseWinePower(RunOptions* options);

struct RunResult {
    bool started = false;
    // GetLastError of CreateProcess when not started; ERROR_BAD_ENVIRONMENT
    // when the power library asked for cannot be chosen (see PowerLibrary).
    DWORD startError = 0;
    bool timedOut = false;  // killed after options.timeoutMs
    DWORD exitCode = 0;
    DWORD pid = 0;
    DWORD elapsedMs = 0;
    std::vector<SeenBox> boxes;  // boxes of the program, in the order seen
};

// Quotes one argument the way the C runtime splits a command line.
std::string QuoteArgument(const std::string& arg);
std::string BuildCommandLine(const std::string& exe, const std::vector<std::string>& args);
// The test's environment with `set` applied and `unset` removed, as a block
// for CreateProcess (sorted, each "name=value\0", ending with an extra "\0").
std::string BuildEnvironment(const std::map<std::string, std::string>& set, const std::vector<std::string>& unset);
// Parses such a block back, for checking.
std::map<std::string, std::string> ParseEnvironment(const char* block);

// Runs the program and waits for it; its boxes are answered as asked. Never
// waits longer than options.timeoutMs (plus a short clean-up).
RunResult RunProgram(const std::string& exe, const RunOptions& options);

// ---- Sandboxes for tests of Vesplin.exe (needs GoogleTest) ----

// A private folder build\sandbox\<name>, emptied when made, holding a copy of
// Vesplin.exe, so the configuration, log and marker files beside it belong to
// one test. The folder is left in place afterwards for inspection.
class Sandbox {
public:
    // Named "<suite>_<test>" after the running GoogleTest test.
    Sandbox();
    explicit Sandbox(const std::string& name, bool copyVesplin = true);

    const std::string& Dir() const { return dir_; }
    std::string Path(const std::string& name) const { return JoinPath(dir_, name); }
    std::string Exe() const { return Path("Vesplin.exe"); }
    std::string ScenarioPath() const { return Path("scenario.txt"); }
    std::string JournalPath() const { return Path("journal.txt"); }
    std::string StatePath() const { return Path("simstate.txt"); }

    void WriteScenario(const std::string& text) const;
    void WriteScenario(const std::vector<std::pair<std::string, std::string>>& values) const;
    std::vector<std::string> Journal() const { return ReadLines(JournalPath()); }
    std::vector<std::string> JournalCalls(const std::string& name) const;

    // Runs the sandbox's Vesplin.exe. With simulator (the default) it gets the
    // simulated power library with this sandbox's scenario, journal and state
    // files; otherwise Wine's own library. A start failure or a time-out is
    // reported as a test failure.
    RunResult Run(RunOptions options, bool simulator = true) const;
    // Runs exe (the sandbox's copy, or one elsewhere) on the simulated machine,
    // which "loses power" (the process is killed) once its suspend call number
    // killAtSuspend has started; 0: it ends by itself.
    RunResult RunUntilPowerLoss(const std::string& exe, RunOptions options, size_t killAtSuspend) const;

private:
    std::string dir_;
};

// Name of the running GoogleTest test as "<suite>_<test>", safe for a file name.
std::string CurrentTestName();
