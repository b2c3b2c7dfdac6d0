// Whole-program runs of Vesplin.exe: capability queries, invalid command
// lines, missing or unusable power libraries and the settings in force.
#include <gtest/gtest.h>
#include <string.h>
#include <atomic>
#include <string>
#include <thread>
#include <vector>
#include "support/process_run.h"

namespace {

const char RULE[] = "**********************************************************************";

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The text after the "yyyy-MMM-dd HH:mm:ss " stamp of a stored line.
std::string Body(const std::string& line) { return line.size() >= 21 ? line.substr(21) : std::string(); }

std::vector<std::string> Bodies(const std::string& path) {
    std::vector<std::string> out;
    for (const std::string& line : ReadLines(path)) out.push_back(Body(line));
    return out;
}

int CountBodies(const std::vector<std::string>& bodies, const std::string& prefix) {
    int n = 0;
    for (const std::string& b : bodies) n += b.compare(0, prefix.size(), prefix) == 0;
    return n;
}

// A configuration file image with the magic and a few fields set.
std::string ConfigImage(int logLevel, const std::string& logPath, int cycleCount = 1) {
    std::string bytes(1660, '\0');
    memcpy(&bytes[0], "SLPDAT", 7);
    bytes[544] = 1;  // logToFile
    memcpy(&bytes[546], logPath.c_str(), logPath.size() + 1);
    memcpy(&bytes[804], &logLevel, 4);
    memcpy(&bytes[536], &cycleCount, 4);
    int durations[4] = {30, 30, 30, 60};
    memcpy(&bytes[1324], durations, sizeof(durations));
    bytes[1352] = 1;
    int fallback = 3;
    memcpy(&bytes[1348], &fallback, 4);
    return bytes;
}

// Closes the main window of the program at exePath once it is shown, so a
// run without a command-line job ends. Windows of other programs with the same
// caption (other tests running beside this one) are left alone.
class WindowCloser {
public:
    WindowCloser(const std::string& caption, const std::string& exePath) : caption_(caption), exe_(exePath) {
        thread_ = std::thread([this] {
            for (int i = 0; i < 1500 && !stop_; i++) {
                if (CloseOne()) return;
                Sleep(20);
            }
        });
    }
    ~WindowCloser() {
        stop_ = true;
        thread_.join();
    }
    bool Closed() const { return closed_; }

private:
    bool CloseOne() {
        for (HWND window = FindWindowExA(nullptr, nullptr, nullptr, caption_.c_str()); window;
             window = FindWindowExA(nullptr, window, nullptr, caption_.c_str())) {
            DWORD pid = 0;
            GetWindowThreadProcessId(window, &pid);
            if (!IsWindowVisible(window) || ImagePath(pid) != exe_) continue;
            PostMessageA(window, WM_CLOSE, 0, 0);
            closed_ = true;
            return true;
        }
        return false;
    }
    static std::string ImagePath(DWORD pid) {
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
        if (!process) return "";
        char path[MAX_PATH] = "";
        DWORD size = sizeof(path);
        if (!QueryFullProcessImageNameA(process, 0, path, &size)) path[0] = '\0';
        CloseHandle(process);
        return path;
    }
    std::string caption_;
    std::string exe_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> closed_{false};
    std::thread thread_;
};

}  // namespace

TEST(CapabilityQuery, WinePowerLibraryAnswersMaskNineAndLogsTheBanner) {
    Sandbox box;
    RunOptions options;
    options.args = {"-O", "-L", box.Path("query.log")};
    RunResult result = box.Run(options, false);
    EXPECT_EQ(9u, result.exitCode);
    EXPECT_TRUE(result.boxes.empty());

    std::vector<std::string> bodies = Bodies(box.Path("query.log"));
    ASSERT_GE(bodies.size(), 5u);
    EXPECT_EQ(RULE, bodies[0]);
    EXPECT_EQ(0u, bodies[1].find("Vesplin V2.3 (Build: 1006), built on "));
    EXPECT_EQ("Option -O: Mask: 9. ", bodies[2]);
    EXPECT_EQ("Option -L : Log file name: *" + box.Path("query.log") + "*. ", bodies[3]);
    EXPECT_EQ(RULE, bodies[4]);
    EXPECT_EQ(5u, bodies.size());
    // Log lines carry the date and time in front.
    std::string first = ReadLines(box.Path("query.log"))[0];
    EXPECT_EQ('-', first[4]);
    EXPECT_EQ(':', first[14]);
}

TEST(CapabilityQuery, AnswersFollowTheSimulatedMachine) {
    Sandbox box;
    struct Case {
        const char* scenario;
        const char* arg;
        DWORD expected;
    } cases[] = {
        {"s1=1\ns2=0\ns3=1\ns4=1\nhiberfile=1\n", "-O", 13},
        {"s1=1\ns2=0\ns3=1\ns4=1\nhiberfile=1\n", "-O1", 1},
        {"s1=1\ns2=0\ns3=1\ns4=1\nhiberfile=1\n", "-O2", 0},
        {"s1=1\ns2=0\ns3=1\ns4=1\nhiberfile=1\n", "-O3", 1},
        {"s1=1\ns2=0\ns3=0\ns4=1\nhiberfile=0\n", "-O4", 0},  // no hibernation file: S4 does not count
        {"s1=1\ns2=0\ns3=0\ns4=1\nhiberfile=0\n", "-O", 1},
        {"caps_status=0xC0000001\n", "-O", 0},               // capability query failed
        {"caps_status=0xC0000001\n", "-O1", 0},
        {"suspend_allowed=0\nhibernate_allowed=1\ns1=0\ns3=0\n", "-O", 8},  // hibernate-only machine starts
    };
    for (const Case& c : cases) {
        box.WriteScenario(c.scenario);
        RunOptions options;
        options.args = {c.arg, "-Lo", box.Path("q.log")};
        RunResult result = box.Run(options);
        EXPECT_EQ(c.expected, result.exitCode) << c.scenario << c.arg;
        EXPECT_TRUE(result.boxes.empty()) << c.scenario << c.arg;
    }
    // -O3 on Wine's own library: S3 unsupported.
    RunOptions options;
    options.args = {"-O3"};
    EXPECT_EQ(0u, box.Run(options, false).exitCode);
}

TEST(CapabilityQuery, StartupNotesAppearAtDebugLevel) {
    Sandbox box;
    box.WriteScenario("caps_status=0xC0000022\nadmin_read_status=0xC0000002\nmissing=ReadGlobalPwrPolicy\n");
    std::string log = box.Path("debug.log");
    ASSERT_TRUE(WriteText(box.Path("debug.dat"), ConfigImage(1, log)));
    RunOptions options;
    options.args = {"-O", "--config=" + box.Path("debug.dat")};
    RunResult result = box.Run(options);
    EXPECT_EQ(0u, result.exitCode);
    std::vector<std::string> bodies = Bodies(log);
    auto has = [&](const std::string& text) {
        for (const std::string& b : bodies)
            if (b == text) return true;
        return false;
    };
    EXPECT_TRUE(has("Attempting to load powrprof.dll"));
    EXPECT_TRUE(has("Error getting System Caps. Return code -1073741790."));
    EXPECT_TRUE(has("Error getting Admin Power Policy. Return code -1073741822."));
    EXPECT_TRUE(has("powrprof.dll has no ReadGlobalPwrPolicy; power scheme changes are skipped."));
    // Debug lines are stored at level 9 in the ring, but the file has no level; their
    // position is between the banner's version line and the command-line notes.
    ASSERT_FALSE(bodies.empty());
    EXPECT_EQ(RULE, bodies.front());
    EXPECT_EQ(RULE, bodies.back());
}

TEST(InvalidCommandLine, ShowsTheBoxNamingTheLogFileAndExitsZero) {
    Sandbox box;
    struct Case {
        std::vector<std::string> args;
        std::string note;
    } cases[] = {
        {{"-N"}, "Invalid command line. No number after loops switch. "},
        {{"--config=a.DAT"}, "Invalid command line.  Config file must end with \".dat\" "},
        {{"-S10"}, "Invalid command line. Not enough state values after Sleep State switch. "},
    };
    for (const Case& c : cases) {
        std::string log = box.Path("invalid.log");
        DeleteFileA(log.c_str());
        RunOptions options;
        options.args = {"-L", log};
        options.args.insert(options.args.end(), c.args.begin(), c.args.end());
        options.answers = {{"Invalid Command Line", {IDOK}}};
        RunResult result = box.Run(options);
        EXPECT_EQ(0u, result.exitCode) << c.note;
        ASSERT_EQ(1u, result.boxes.size()) << c.note;
        EXPECT_EQ("Invalid Command Line", result.boxes[0].caption);
        EXPECT_TRUE(result.boxes[0].expected);
        EXPECT_TRUE(Contains(result.boxes[0].text, "Vesplin.exe was launched with invalid command line arguments."));
        EXPECT_TRUE(Contains(result.boxes[0].text, "Please see log:"));
        EXPECT_TRUE(Contains(result.boxes[0].text, log)) << result.boxes[0].text;
        std::vector<std::string> bodies = Bodies(log);
        EXPECT_EQ(1, CountBodies(bodies, c.note)) << c.note;
    }
}

TEST(PowerLibrary, UnusableLibrariesEndWithTheirBoxAndExitCodeOne) {
    Sandbox box;
    struct Case {
        const char* scenario;
        const char* text;
    } cases[] = {
        {"suspend_allowed=0\nhibernate_allowed=0\n",
         "This computer does not have support for system Sleep states.\nVesplin will now exit."},
        {"missing=SetSuspendState\n",
         "The Windows power management library (Powrprof.dll)\ndoes not provide SetSuspendState.\nVesplin will now exit."},
    };
    for (const Case& c : cases) {
        box.WriteScenario(c.scenario);
        RunOptions options;
        options.args = {"-O"};
        options.answers = {{"Error", {IDOK}}};
        RunResult result = box.Run(options);
        EXPECT_EQ(1u, result.exitCode) << c.scenario;
        ASSERT_EQ(1u, result.boxes.size()) << c.scenario;
        EXPECT_EQ(c.text, result.boxes[0].text);
    }
}

TEST(PowerLibrary, MissingLibraryEndsWithItsBox) {
    Sandbox box;
    // An empty override disables the library for this program name.
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Wine\\AppDefaults\\VesplinNoPower.exe\\DllOverrides",
                                             0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr));
    RegSetValueExA(key, "powrprof", 0, REG_SZ, (const BYTE*)"", 1);
    RegCloseKey(key);
    ASSERT_TRUE(CopyFileA(box.Exe().c_str(), box.Path("VesplinNoPower.exe").c_str(), FALSE));
    RunOptions options;
    options.args = {"-O"};
    options.answers = {{"Error", {IDOK}}};
    RunResult result = RunProgram(box.Path("VesplinNoPower.exe"), options);
    EXPECT_EQ(1u, result.exitCode);
    ASSERT_EQ(1u, result.boxes.size());
    EXPECT_EQ("Could not find the Windows .dll file\nresponsible for power management.\n(Powrprof.dll)\nVesplin will now exit.",
              result.boxes[0].text);
}

TEST(PowerLibrary, ALibraryBesideTheExecutableIsNeverLoaded) {
    Sandbox box;
    // A planted powrprof.dll (here the simulator, claiming S2 only) beside the exe is ignored.
    std::string planted = JoinPath(BuildDir(), "simpower\\powrprof.dll");
    ASSERT_TRUE(CopyFileA(planted.c_str(), box.Path("powrprof.dll").c_str(), FALSE));
    box.WriteScenario("s1=0\ns2=1\ns3=0\ns4=0\n");
    RunOptions options;
    options.args = {"-O"};
    EXPECT_EQ(9u, box.Run(options, false).exitCode);  // Wine's own answer, not the planted one's 2
}

TEST(Settings, WithoutArgumentsTheDefaultConfigurationFileIsInForce) {
    Sandbox box;
    std::string log = box.Path("fromcfg.log");
    ASSERT_TRUE(WriteText(box.Path("vesplinCfg.dat"), ConfigImage(1, log)));
    WindowCloser closer("Tarnwell Vesplin", box.Exe());
    RunOptions options;
    RunResult result = box.Run(options);
    EXPECT_TRUE(closer.Closed());
    EXPECT_EQ(0u, result.exitCode);
    std::vector<std::string> bodies = Bodies(log);
    // The file's log path and its Debug level are in force.
    EXPECT_EQ(1, CountBodies(bodies, "Attempting to load powrprof.dll"));
    EXPECT_FALSE(FileExists(box.Path("vesplin.log")));
}

TEST(Settings, AnyArgumentReplacesTheFileWithTheDefaults) {
    Sandbox box;
    std::string log = box.Path("fromcfg.log");
    ASSERT_TRUE(WriteText(box.Path("vesplinCfg.dat"), ConfigImage(1, log)));
    RunOptions options;
    options.args = {"-O", "stray-word"};
    RunResult result = box.Run(options);
    EXPECT_EQ(13u, result.exitCode);
    EXPECT_FALSE(FileExists(log));
    // The defaults log beside the executable, at Normal level: no debug notes.
    std::vector<std::string> bodies = Bodies(box.Path("vesplin.log"));
    EXPECT_EQ(0, CountBodies(bodies, "Attempting to load powrprof.dll"));
    EXPECT_EQ(1, CountBodies(bodies, "Option -O: Mask: 13."));
}

TEST(Settings, AnInvalidCommandLineStillTakesItsLogFile) {
    Sandbox box;
    ASSERT_TRUE(WriteText(box.Path("vesplinCfg.dat"), ConfigImage(1, box.Path("fromcfg.log"))));
    RunOptions options;
    options.args = {"-L", box.Path("cmdline.log"), "-P"};
    options.answers = {{"Invalid Command Line", {IDOK}}};
    RunResult result = box.Run(options);
    EXPECT_EQ(0u, result.exitCode);
    std::vector<std::string> bodies = Bodies(box.Path("cmdline.log"));
    // The rest of the file's settings stay in force: its Debug level shows the start-up notes.
    EXPECT_EQ(1, CountBodies(bodies, "Attempting to load powrprof.dll"));
    EXPECT_EQ(1, CountBodies(bodies, "Invalid command line. No number after wait before first sleep switch."));
    EXPECT_FALSE(FileExists(box.Path("fromcfg.log")));
}

TEST(Settings, ACorruptDefaultFileIsReportedAndTheDefaultsStay) {
    Sandbox box;
    ASSERT_TRUE(WriteText(box.Path("vesplinCfg.dat"), "SLPDATA and then some garbage"));
    WindowCloser closer("Tarnwell Vesplin", box.Exe());
    RunOptions options;
    options.answers = {{"Invalid config file", {IDOK}}};
    RunResult result = box.Run(options);
    EXPECT_EQ(0u, result.exitCode);
    ASSERT_EQ(1u, result.boxes.size());
    EXPECT_EQ(box.Path("vesplinCfg.dat") + " is not a valid config file.", result.boxes[0].text);
    EXPECT_TRUE(FileExists(box.Path("vesplin.log")));
}

TEST(Notes, OverflowingTheNoteListIsReportedNotOverrun) {
    Sandbox box;
    RunOptions options;
    options.args = {"-O", "-L", box.Path("many.log")};
    for (int i = 0; i < 150; i++) options.args.push_back("-F");
    options.args.push_back(std::string(5000, 'w'));  // a huge stray word
    RunResult result = box.Run(options, false);
    EXPECT_EQ(9u, result.exitCode);
    std::vector<std::string> bodies = Bodies(box.Path("many.log"));
    EXPECT_EQ(98, CountBodies(bodies, "Option -F: Forced sleep."));
    EXPECT_EQ(1, CountBodies(bodies, "52 further notes did not fit in the list of 100 and were not kept."));
}
