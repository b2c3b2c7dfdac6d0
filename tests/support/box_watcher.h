// Finds dialogs and message boxes (window class "#32770") by exact caption,
// reads them and presses their buttons, from a thread of the test process.
// Works for boxes of the test's own threads and of other processes served by
// the same wineserver.
#pragma once
#include <windows.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A dialog the watcher saw, in the order seen.
struct SeenBox {
    std::string caption;
    // The texts of its static controls, one a line (see BoxText).
    std::string text;
    DWORD pid = 0;
    int button = 0;         // the button pressed; 0 when none was
    bool expected = true;   // false: a message box whose caption was not watched
};

// Answer that only records the box and leaves it open.
const int BOX_RECORD_ONLY = 0;

// Low-level helpers, usable without a watcher.
// Top-level "#32770" window with this exact caption, of process pid (0: any);
// visible windows only. NULL when there is none.
HWND FindBox(const std::string& caption, DWORD pid = 0);
// Caption, read without sending a message to the window (never blocks).
std::string BoxCaption(HWND box);
// Text of one control (through WM_GETTEXT with a timeout); "" when missing.
std::string ControlText(HWND dialog, int id);
// The texts of the dialog's static controls that have text, one a line, in
// control order: for a message box, its message.
std::string BoxText(HWND box);
// A dialog that holds a static with id 0xFFFF and otherwise only statics and
// buttons with the standard ids (IDOK..IDCONTINUE): a message box, or a dialog
// just as simple.
bool IsMessageBox(HWND box);
// Posts WM_COMMAND/BN_CLICKED for the control id (IDOK, IDNO, 1014...).
bool PressButton(HWND dialog, int id);
// Every visible dialog of any process, a line each ("pid 12: \"Caption\": text"),
// or "no dialog is visible": what a failing wait or the test watchdog reports.
std::string DescribeVisibleBoxes();

class BoxWatcher {
public:
    // pid: only boxes of that process (0: any process; set it later with SetProcess).
    explicit BoxWatcher(DWORD pid = 0);
    ~BoxWatcher();
    BoxWatcher(const BoxWatcher&) = delete;
    BoxWatcher& operator=(const BoxWatcher&) = delete;

    void SetProcess(DWORD pid);
    // Every box with this exact caption is answered with the button
    // (IDOK, IDCANCEL, IDYES, IDNO, a control id, or BOX_RECORD_ONLY).
    void Answer(const std::string& caption, int button);
    // Successive boxes with this caption get the buttons in turn; the last repeats.
    void Answer(const std::string& caption, const std::vector<int>& buttons);
    // Message boxes (see IsMessageBox) of the watched process with captions not
    // answered above are recorded (expected = false) and closed: cancel, then
    // OK, then No. On by default; applies only when a process is set.
    void CloseUnexpected(bool close);

    // Waits until `count` boxes with this caption have been seen. On timeout
    // the result is a failure that lists the boxes seen so far and the
    // dialogs still visible, so a test that asserts it says what it found.
    ::testing::AssertionResult WaitSeen(const std::string& caption, DWORD timeoutMs, size_t count = 1);
    // Waits until `count` boxes of any caption have been seen (same report).
    ::testing::AssertionResult WaitCount(size_t count, DWORD timeoutMs);

    std::vector<SeenBox> Seen() const;
    size_t Count(const std::string& caption) const;
    // Stops the thread (also done by the destructor); Seen() stays readable.
    void Stop();

private:
    struct Handled {
        DWORD since;
        int attempts;
        bool unexpected;
    };
    // A box noticed but not yet acted on: its texts must hold still first.
    struct Pending {
        DWORD firstSeen;
        std::string text;
    };
    ::testing::AssertionResult TimedOut(const std::string& waitedFor) const;
    void Run();
    void Scan();
    void Consider(HWND box, DWORD pid);

    mutable std::mutex lock_;
    std::condition_variable changed_;
    bool stop_ = false;
    DWORD pid_ = 0;
    bool closeUnexpected_ = true;
    std::map<std::string, std::vector<int>> answers_;
    std::map<std::string, size_t> answeredCount_;
    std::vector<SeenBox> seen_;
    std::map<HWND, Handled> handled_;  // watcher thread only
    std::map<HWND, Pending> pending_;  // watcher thread only
    std::thread thread_;
};
