// Entry point of the GoogleTest programs, with a watchdog: a test that runs
// longer than its limit (a modal loop nobody ends, a wait that never returns)
// is reported with the dialogs visible at that moment, and the program ends
// with a failure instead of holding the whole run until CTest kills it.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "support/box_watcher.h"

namespace {

// Exit code of a program ended by the watchdog.
const UINT kWatchdogExitCode = 3;

class Watchdog : public ::testing::EmptyTestEventListener {
public:
    explicit Watchdog(int limitSeconds) : limit_(limitSeconds) { thread_ = std::thread(&Watchdog::Run, this); }
    ~Watchdog() override {
        {
            std::lock_guard<std::mutex> guard(lock_);
            stop_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }

    void OnTestStart(const ::testing::TestInfo& test) override {
        std::lock_guard<std::mutex> guard(lock_);
        name_ = std::string(test.test_suite_name()) + "." + test.name();
        started_ = std::chrono::steady_clock::now();
        running_ = true;
    }
    void OnTestEnd(const ::testing::TestInfo&) override {
        std::lock_guard<std::mutex> guard(lock_);
        running_ = false;
    }

private:
    void Run() {
        std::unique_lock<std::mutex> guard(lock_);
        while (!stop_) {
            changed_.wait_for(guard, std::chrono::milliseconds(500));
            if (!running_ || std::chrono::steady_clock::now() - started_ < std::chrono::seconds(limit_)) continue;
            std::string name = name_;
            guard.unlock();
            std::string boxes = DescribeVisibleBoxes();
            fprintf(stdout, "\n[ WATCHDOG ] %s has run for more than %d s; it is stopped as hanging.\n",
                    name.c_str(), limit_);
            fprintf(stdout, "[ WATCHDOG ] dialogs visible now:\n%s\n", boxes.c_str());
            fflush(stdout);
            TerminateProcess(GetCurrentProcess(), kWatchdogExitCode);
        }
    }

    const int limit_;
    std::mutex lock_;
    std::condition_variable changed_;
    bool stop_ = false;
    bool running_ = false;
    std::string name_;
    std::chrono::steady_clock::time_point started_;
    std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // VESPLIN_TEST_LIMIT sets the limit of one test in seconds (0: no watchdog).
    int limit = 240;
    if (const char* text = getenv("VESPLIN_TEST_LIMIT")) limit = atoi(text);
    Watchdog* watchdog = nullptr;
    if (limit > 0) {
        watchdog = new Watchdog(limit);
        ::testing::UnitTest::GetInstance()->listeners().Append(watchdog);
    }
    int result = RUN_ALL_TESTS();
    return result;
}
