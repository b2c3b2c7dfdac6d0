// The Logger's ring, its log file and the log entry points.
#include <gtest/gtest.h>
#include <windows.h>
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>
#include "log/log.h"
#include "settings/settings.h"
#include "results/results.h"
#include "ui/ui.h"

namespace {

// Answers the message boxes with one caption that one process shows: records
// each box's text, then presses OK once ready(index of the box) says so.
class BoxWatcher {
public:
    BoxWatcher(DWORD pid, const char* caption, std::function<bool(int)> ready = nullptr)
        : pid_(pid), caption_(caption), ready_(ready), thread_([this] { Run(); }) {}
    ~BoxWatcher() {
        stop_ = true;
        thread_.join();
    }
    std::vector<std::string> Texts() {
        std::lock_guard<std::mutex> hold(mutex_);
        return texts_;
    }

private:
    struct Found {
        BoxWatcher* self;
        std::vector<HWND> boxes;
    };
    static BOOL CALLBACK Collect(HWND window, LPARAM param) {
        Found* found = (Found*)param;
        char cls[32] = "", title[128] = "";
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        GetClassNameA(window, cls, sizeof(cls));
        GetWindowTextA(window, title, sizeof(title));
        // Visible only once its text is in place.
        if (pid == found->self->pid_ && strcmp(cls, "#32770") == 0 && found->self->caption_ == title &&
            IsWindowVisible(window))
            found->boxes.push_back(window);
        return TRUE;
    }
    void Run() {
        std::map<HWND, int> seen;  // box -> its index
        while (!stop_) {
            Found found{this, {}};
            EnumWindows(Collect, (LPARAM)&found);
            for (HWND box : found.boxes) {
                if (!seen.count(box)) {
                    char text[2048] = "";
                    GetDlgItemTextA(box, 0xFFFF, text, sizeof(text));
                    std::lock_guard<std::mutex> hold(mutex_);
                    seen[box] = (int)texts_.size();
                    texts_.push_back(text);
                }
                if (!ready_ || ready_(seen[box])) PostMessageA(box, WM_COMMAND, IDOK, 0);
            }
            for (auto it = seen.begin(); it != seen.end();) it = IsWindow(it->first) ? std::next(it) : seen.erase(it);
            Sleep(10);
        }
    }
    DWORD pid_;
    std::string caption_;
    std::function<bool(int)> ready_;
    std::mutex mutex_;
    std::vector<std::string> texts_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

std::string ReadWhole(const std::string& path) {
    std::string content;
    FILE* file = fopen(path.c_str(), "rb");
    if (!file) return "<missing>";
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof(chunk), file)) > 0) content.append(chunk, got);
    fclose(file);
    return content;
}

void WriteWhole(const std::string& path, const char* text) {
    FILE* file = fopen(path.c_str(), "wb");
    ASSERT_TRUE(file != nullptr) << path;
    fputs(text, file);
    fclose(file);
}

bool IsFolder(const std::string& path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void RemoveTree(const std::string& folder) {
    WIN32_FIND_DATAA entry;
    HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::string name = entry.cFileName, path = folder + "\\" + name;
            if (name == "." || name == "..") continue;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(path);
            else
                DeleteFileA(path.c_str());
        } while (FindNextFileA(find, &entry));
        FindClose(find);
    }
    RemoveDirectoryA(folder.c_str());
}

std::string Stamp(const SYSTEMTIME& when) {
    char text[600];
    FormatLogTimestamp(&when, text, sizeof(text));
    return text;
}

// Runs add, which logs one line, and returns what follows the newest line's
// time stamp, checking that the stamp is the local time of the add and the level is kept.
std::string AfterStamp(Logger& logger, const std::function<void()>& add, int level) {
    SYSTEMTIME before, after;
    GetLocalTime(&before);
    add();
    GetLocalTime(&after);
    int stored = -1;
    const char* line = logger.GetLine(-1, &stored);
    EXPECT_EQ(stored, level);
    if (!line) return "<none>";
    std::string whole = line, stamp = Stamp(before);
    if (whole.compare(0, stamp.size(), stamp) != 0) stamp = Stamp(after);
    EXPECT_EQ(whole.substr(0, stamp.size()), stamp);
    return whole.substr(stamp.size());
}

std::string AddAndReadBack(Logger& logger, const char* text, int level) {
    return AfterStamp(logger, [&] { logger.AddLine(text, level); }, level);
}

class LoggerTest : public ::testing::Test {
protected:
    void SetUp() override {
        savedConfig_ = theConfig;
        savedLogger_ = theLogger;
        theConfig = new Config(GetModuleHandleA(nullptr));
        theConfig->settings.logToFile = 0;
        theConfig->settings.logLevel = 0;
        SetLogLevel(0);
        char temp[MAX_PATH];
        GetTempPathA(sizeof(temp), temp);
        static int serial;
        base = std::string(temp) + "vesplin_logger_" + std::to_string(GetCurrentProcessId()) + "_" +
               std::to_string(++serial);
        ASSERT_TRUE(CreateDirectoryA(base.c_str(), nullptr)) << base;
        GetCurrentDirectoryA(sizeof(cwd_), cwd_);
    }
    void TearDown() override {
        SetCurrentDirectoryA(cwd_);
        delete theConfig;
        theConfig = savedConfig_;
        SetLogLevel(0);
        theLogger = savedLogger_;
        RemoveTree(base);
    }
    void UseLogFile(Logger& logger, const std::string& path) { logger.SetLogFile(path.c_str(), true); }
    std::string base;

private:
    Config* savedConfig_;
    Logger* savedLogger_;
    char cwd_[MAX_PATH];
};

TEST(LoggerStamp, DateAndTimePictures) {
    SYSTEMTIME when = {};
    when.wYear = 2024;
    when.wMonth = 3;
    when.wDay = 7;
    when.wHour = 14;
    when.wMinute = 5;
    when.wSecond = 9;
    char month[32] = "";
    GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SABBREVMONTHNAME3, month, sizeof(month));
    EXPECT_EQ(Stamp(when), std::string("2024-") + month + "-07 14:05:09 ");
    char small[8];
    FormatLogTimestamp(&when, small, sizeof(small));
    EXPECT_EQ(std::string(small), Stamp(when).substr(0, 7));
}

TEST_F(LoggerTest, StoredTextIsCleanedAndCut) {
    Logger logger;
    EXPECT_EQ(AddAndReadBack(logger, "ends in a line feed\n", LOG_INFO), "ends in a line feed ");
    EXPECT_EQ(AddAndReadBack(logger, "tab\there, caf\xE9!", LOG_ERROR), "tab here, caf !");
    EXPECT_EQ(AddAndReadBack(logger, "", LOG_STATUS), "");
    EXPECT_EQ(logger.GetLineCount(), 3);

    std::string every, expected;
    for (int b = 1; b < 256; ++b) {
        every += (char)b;
        expected += (b >= 32 && b < 128) ? (char)b : ' ';
    }
    EXPECT_EQ(AddAndReadBack(logger, every.c_str(), 7), expected);

    std::string longText;
    for (int i = 0; i < 2000; ++i) longText += (char)('a' + i % 26);
    std::string tail = AddAndReadBack(logger, longText.c_str(), LOG_DEBUG);
    EXPECT_EQ(strlen(logger.GetLine(-1, nullptr)), 1023u);
    EXPECT_EQ(tail, longText.substr(0, tail.size()));
}

TEST_F(LoggerTest, RingKeepsTheLast499Lines) {
    Logger logger;
    int level = 7;
    for (int index = -499; index <= 499; ++index) EXPECT_EQ(logger.GetLine(index, &level), nullptr) << index;
    EXPECT_EQ(level, 0);

    char text[32];
    auto add = [&](int n) {
        snprintf(text, sizeof(text), "line %d", n);
        logger.AddLine(text, n % 10);
    };
    auto textAt = [&](int index) {
        const char* line = logger.GetLine(index, &level);
        return line ? std::string(strchr(strchr(line, ' ') + 1, ' ') + 1) : std::string("<none>");
    };
    for (int n = 0; n < 499; ++n) add(n);
    EXPECT_EQ(logger.GetLineCount(), 499);
    EXPECT_EQ(textAt(0), "line 0");
    EXPECT_EQ(textAt(-1), "line 498");
    EXPECT_EQ(textAt(498), "line 498");
    EXPECT_EQ(logger.GetLine(499, &level), nullptr);  // the slot the next line goes to
    add(499);
    EXPECT_EQ(logger.GetLineCount(), 499);
    EXPECT_EQ(textAt(0), "line 1");
    EXPECT_EQ(level, 1);
    EXPECT_EQ(textAt(-1), "line 499");
    EXPECT_EQ(level, 9);
    for (int n = 500; n < 1234; ++n) add(n);
    EXPECT_EQ(logger.GetLineCount(), 499);
    for (int index = 0; index < 499; ++index) {
        EXPECT_EQ(textAt(index), "line " + std::to_string(735 + index));
        EXPECT_EQ(textAt(index - 499), textAt(index));
    }
    for (int index : {500, -500, INT_MAX, INT_MIN}) {
        EXPECT_EQ(logger.GetLine(index, &level), nullptr);
        EXPECT_EQ(level, 0);
    }
    char copy[8];
    EXPECT_TRUE(logger.CopyLine(-1, copy, sizeof(copy), &level));
    EXPECT_EQ(strlen(copy), 7u);
    EXPECT_FALSE(logger.CopyLine(600, copy, sizeof(copy), &level));
    EXPECT_STREQ(copy, "");
}

TEST_F(LoggerTest, FileGetsEveryLineWhenAsked) {
    Logger logger;
    std::string off = base + "\\off\\vesplin.log";
    logger.SetLogFile(off.c_str(), false);
    logger.AddLine("not on disk", LOG_INFO);
    logger.OpenLogFile(off.c_str(), "wt");
    logger.WriteLineToFile("nor this");
    EXPECT_FALSE(IsFolder(base + "\\off"));

    std::string path = base + "\\vesplin.log";
    UseLogFile(logger, path);
    logger.AddLine("first\n", LOG_INFO);
    std::string first = logger.GetLine(-1, nullptr);
    logger.WriteLineToFile("no stamp");
    logger.AddLine("second", LOG_WARNING);
    EXPECT_EQ(logger.logFile, nullptr);
    EXPECT_EQ(ReadWhole(path), first + "\r\nno stamp\r\n" + logger.GetLine(-1, nullptr) + "\r\n");

    // A new path takes effect with the next line.
    std::string other = base + "\\other.log";
    UseLogFile(logger, other);
    logger.AddLine("third", LOG_INFO);
    EXPECT_EQ(ReadWhole(other), std::string(logger.GetLine(-1, nullptr)) + "\r\n");

    std::string kept = ReadWhole(path);
    logger.OpenLogFile(path.c_str(), "at");
    EXPECT_EQ(ReadWhole(path), kept);
    logger.OpenLogFile(path.c_str(), "wt");
    EXPECT_EQ(ReadWhole(path), "");
    EXPECT_EQ(logger.logFile, nullptr);
    EXPECT_EQ(logger.CloseLogFile(), 0);
}

TEST_F(LoggerTest, OpenCreatesMissingFolders) {
    Logger logger;
    logger.SetLogFile(nullptr, true);
    std::string drive = base + "\\logs\\run\\vesplin.log";
    logger.OpenLogFile(drive.c_str(), "wt");
    EXPECT_TRUE(IsFolder(base + "\\logs\\run"));
    EXPECT_EQ(ReadWhole(drive), "");

    // Relative paths, also one with a single leading backslash, grow from the current folder.
    ASSERT_TRUE(SetCurrentDirectoryA(base.c_str()));
    logger.OpenLogFile("rel\\\\sub\\vesplin.log", "at");
    EXPECT_EQ(ReadWhole(base + "\\rel\\sub\\vesplin.log"), "");
    std::string lead = "lead" + std::to_string(GetCurrentProcessId());
    logger.OpenLogFile(("\\" + lead + "\\vesplin.log").c_str(), "at");
    EXPECT_EQ(ReadWhole(base + "\\" + lead + "\\vesplin.log"), "");
    EXPECT_FALSE(IsFolder("C:\\" + lead));

    // Components after the 31st are ignored: the 31st names the file.
    std::string deep;
    for (int i = 1; i <= 33; ++i) deep += "d" + std::to_string(i) + (i < 33 ? "\\" : "");
    logger.OpenLogFile(deep.c_str(), "at");
    EXPECT_EQ(ReadWhole(base + "\\" + deep.substr(0, deep.find("\\d32"))), "");
}

std::atomic<bool> nestedDone;

LRESULT CALLBACK LogOnAppMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != WM_APP) return DefWindowProcA(window, message, wParam, lParam);
    LogMessage("nested", LOG_WARNING);
    nestedDone = true;
    return 0;
}

TEST_F(LoggerTest, AppendFailureWarnsOncePerEpisodeAndTheFileCountsTheMissedLines) {
    Logger logger;
    theLogger = &logger;
    UseLogFile(logger, base);  // a folder: it cannot be opened for appending
    errno = 0;
    EXPECT_EQ(fopen(base.c_str(), "at"), nullptr);
    std::string warning = "Error opening \"" + base + "\" for writing.\nError No. " + std::to_string(errno);

    // A line this thread logs from inside the box's message loop neither waits
    // for itself nor opens a second box; nor do the later lines of the episode.
    HWND window = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ASSERT_TRUE(window != nullptr);
    nestedDone = false;
    SetWindowLongPtrA(window, GWLP_WNDPROC, (LONG_PTR)LogOnAppMessage);
    bool posted = false;
    std::string path = base + "\\back.log";
    {
        BoxWatcher watcher(GetCurrentProcessId(), "Vesplin: Error writing log file", [&](int index) {
            if (index == 0 && !posted) posted = PostMessageA(window, WM_APP, 0, 0);
            return index != 0 || nestedDone;
        });
        LogMessage("outer", LOG_INFO);
        for (int i = 0; i < 5; i++) LogMessage("later", LOG_INFO);
        // Writing works again: the file first says how many lines it lacks.
        UseLogFile(logger, path);
        LogMessage("back", LOG_INFO);
        LogMessage("after", LOG_INFO);
        // A new episode is told again.
        UseLogFile(logger, base);
        LogMessage("again", LOG_INFO);
        Sleep(100);
        EXPECT_EQ(watcher.Texts(), std::vector<std::string>({warning, warning}));
    }
    DestroyWindow(window);
    EXPECT_TRUE(nestedDone);
    EXPECT_EQ(logger.GetLineCount(), 10);
    EXPECT_NE(strstr(logger.GetLine(0, nullptr), " outer"), nullptr);
    EXPECT_NE(strstr(logger.GetLine(1, nullptr), " nested"), nullptr);
    EXPECT_NE(strstr(logger.GetLine(2, nullptr), " later"), nullptr);
    std::string content = ReadWhole(path);
    EXPECT_NE(content.find(" 7 log lines could not be written to this file and are missing here\r\n"),
              std::string::npos)
        << content;
    EXPECT_LT(content.find("missing here"), content.find(" back\r\n"));
    EXPECT_EQ(content.find("missing here"), content.rfind("missing here"));  // told once
    EXPECT_NE(content.find(" after\r\n"), std::string::npos);

    // Unattended, a failing file shows no box at all; the lines stay in the ring.
    SetUnattended(true);
    {
        BoxWatcher watcher(GetCurrentProcessId(), "Vesplin: Error writing log file");
        UseLogFile(logger, path);
        LogMessage("ok", LOG_INFO);
        UseLogFile(logger, base);
        LogMessage("unattended", LOG_INFO);
        Sleep(300);
        EXPECT_TRUE(watcher.Texts().empty());
    }
    SetUnattended(false);
    EXPECT_NE(strstr(logger.GetLine(-1, nullptr), " unattended"), nullptr);
    theLogger = nullptr;
}

TEST_F(LoggerTest, ConcurrentAddsAndDirectWritesStayWholeAndInOrder) {
    Logger logger;
    std::string path = base + "\\threads.log";
    UseLogFile(logger, path);
    const int threads = 4, perThread = 250, direct = 100;
    const std::string pad(300, 'x');
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&, t] {
            for (int n = 0; n < perThread; ++n)
                logger.AddLine(("T" + std::to_string(t) + " " + std::to_string(n) + " " + pad).c_str(), t);
        });
    workers.emplace_back([&] {
        for (int n = 0; n < direct; ++n) logger.WriteLineToFile(("D " + std::to_string(n) + " " + pad).c_str());
    });
    for (auto& worker : workers) worker.join();

    std::string content = ReadWhole(path);
    std::vector<std::string> added;
    int next[threads + 1] = {};
    std::string lastStamp;
    for (size_t start = 0, end; start < content.size(); start = end + 2) {
        end = content.find("\r\n", start);
        ASSERT_NE(end, std::string::npos);
        std::string line = content.substr(start, end - start);
        int who = threads, n = -1;
        if (line[0] != 'D') {
            added.push_back(line);
            std::string stamp = line.substr(0, line.find(" T"));
            // Equal dates compare by time; stored times never go back.
            if (lastStamp.substr(0, lastStamp.find(' ')) == stamp.substr(0, stamp.find(' '))) {
                EXPECT_LE(lastStamp, stamp);
            }
            lastStamp = stamp;
            line = line.substr(stamp.size() + 2);
            who = line[0] - '0';
            line = line.substr(2);
        } else {
            line = line.substr(2);
        }
        n = atoi(line.c_str());
        ASSERT_TRUE(who >= 0 && who <= threads) << line;
        EXPECT_EQ(n, next[who]++) << "writer " << who;
        EXPECT_EQ(line, std::to_string(n) + " " + pad);
    }
    for (int t = 0; t < threads; ++t) EXPECT_EQ(next[t], perThread);
    EXPECT_EQ(next[threads], direct);
    ASSERT_EQ(added.size(), (size_t)threads * perThread);
    EXPECT_EQ(logger.GetLineCount(), 499);
    for (int index = 0; index < 499; ++index) EXPECT_EQ(added[added.size() - 499 + index], logger.GetLine(index, nullptr));
}

TEST_F(LoggerTest, EntryPoints) {
    LogMessage("before start-up", LOG_INFO);  // no Logger yet: nothing happens
    Logger logger;
    theLogger = &logger;
    LogDebug("value %d\n", 42);
    EXPECT_EQ(logger.GetLineCount(), 0);
    for (int level : {1, 2}) {
        SetLogLevel(level);
        EXPECT_EQ(AfterStamp(logger, [&] { LogDebug("value %d\n", level); }, LOG_DEBUG), "value " + std::to_string(level));
    }
    std::string huge(5000, 'h');
    LogDebug("%s%s", huge.c_str(), huge.c_str());
    EXPECT_EQ(strlen(logger.GetLine(-1, nullptr)), 1023u);

    EXPECT_EQ(AfterStamp(logger, [] { LogMessage("text\n", LOG_INFO); }, LOG_INFO), "text ");
    EXPECT_EQ(AfterStamp(logger, [] { LogAtLevel(LOG_WARNING, "100%d literal\n"); }, LOG_WARNING), "100%d literal ");

    SetLogLevel(0);  // Normal again: debug lines are dropped, others kept
    LogDebug("dropped");
    EXPECT_EQ(AfterStamp(logger, [] { LogMessage("kept", LOG_ERROR); }, LOG_ERROR), "kept");
}

// Fatal ends of OpenLogFile: run in a copy of this program, which shows the box
// and ends; the box is answered here and the exit status read.
const char CHILD_PATH[] = "VESPLIN_LOGTEST_PATH";

TEST(LoggerFatalChild, DISABLED_OpenLogFile) {
    char path[512] = "";
    ASSERT_GT(GetEnvironmentVariableA(CHILD_PATH, path, sizeof(path)), 0u) << "runs only as a child";
    Logger logger;
    logger.SetLogFile(path, true);
    logger.OpenLogFile(path, "at");
    FAIL() << "the open returned";
}

struct FatalEnd {
    std::vector<std::string> boxes;
    DWORD exitCode;
};

FatalEnd RunFatalOpen(const std::string& path, const std::string& folder) {
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof(self));
    std::string command = std::string("\"") + self +
                          "\" --gtest_filter=LoggerFatalChild.DISABLED_OpenLogFile --gtest_also_run_disabled_tests";
    SetEnvironmentVariableA(CHILD_PATH, path.c_str());
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION child = {};
    BOOL started = CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(),
                                  &startup, &child);
    SetEnvironmentVariableA(CHILD_PATH, nullptr);
    FatalEnd end{{}, 0xFFFFFFFF};
    if (!started) {
        ADD_FAILURE() << "could not start " << command;
        return end;
    }
    {
        BoxWatcher watcher(child.dwProcessId, "Vesplin: Error creating log file");
        if (WaitForSingleObject(child.hProcess, 30000) != WAIT_OBJECT_0) {
            ADD_FAILURE() << "the child did not end";
            TerminateProcess(child.hProcess, 99);
        }
        end.boxes = watcher.Texts();
    }
    GetExitCodeProcess(child.hProcess, &end.exitCode);
    CloseHandle(child.hProcess);
    CloseHandle(child.hThread);
    return end;
}

TEST_F(LoggerTest, OpenEndsTheProcessWithTheReason) {
    using Boxes = std::vector<std::string>;
    FatalEnd end = RunFatalOpen(".\\missing\\vesplin.log", base);
    EXPECT_EQ(end.boxes, Boxes({"Error making directory\n.\\missing\\vesplin.log\nRelative path not supported\n"}));
    EXPECT_EQ(end.exitCode, (DWORD)ERROR_PATH_NOT_FOUND);
    EXPECT_FALSE(IsFolder(base + "\\missing"));

    WriteWhole(base + "\\blocker", "a file");
    end = RunFatalOpen(base + "\\blocker\\sub\\vesplin.log", base);
    EXPECT_EQ(end.boxes, Boxes({"*" + base +
                                "\\blocker* exist but is a file.  Vesplin cannot overwrite a file with\n"
                                "a folder of the same name.\n"}));
    EXPECT_EQ(end.exitCode, (DWORD)ERROR_PATH_NOT_FOUND);

    // The rebuilt path (single backslashes) names a folder.
    ASSERT_TRUE(CreateDirectoryA((base + "\\taken.log").c_str(), nullptr));
    end = RunFatalOpen(base + "\\\\taken.log", base);
    ASSERT_EQ(end.boxes.size(), 1u);
    EXPECT_EQ(end.boxes[0], "Error opening log file\n" + base + "\\taken.log\n" + strerror(EACCES) + "\n");
    EXPECT_EQ(end.exitCode, (DWORD)ERROR_ACCESS_DENIED);

    // A folder that cannot be made: on a drive that does not exist, and in relative form.
    char drive = 'Z';
    while (drive > 'D' && (GetLogicalDrives() & (1u << (drive - 'A')))) --drive;
    std::string root = std::string(1, drive) + ":";
    end = RunFatalOpen(root + "\\logs\\vesplin.log", base);
    ASSERT_EQ(end.boxes.size(), 1u);
    EXPECT_EQ(end.boxes[0].rfind("Error making directory\n" + root + "\\logs\nError: ", 0), 0u) << end.boxes[0];
    EXPECT_EQ(end.boxes[0].back(), '\n');
    EXPECT_NE(end.exitCode, 0u);

    end = RunFatalOpen("bad<name\\vesplin.log", base);
    ASSERT_EQ(end.boxes.size(), 1u);
    EXPECT_EQ(end.boxes[0].rfind("Error making directory\nbad<name\nError: ", 0), 0u) << end.boxes[0];
    EXPECT_NE(end.boxes[0].back(), '\n');
    EXPECT_NE(end.exitCode, 0u);
}

}  // namespace
