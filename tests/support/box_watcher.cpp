#include "support/box_watcher.h"

#include <chrono>

namespace {

const DWORD kScanIntervalMs = 20;
const UINT kTextTimeoutMs = 1000;
// An unexpected box still open this long after a button gets the next one.
const DWORD kEscalateMs = 300;
// A dialog can be visible while its controls are still being made or filled
// in; it is read when it has been visible this long and its text has not
// changed since the previous scan.
const DWORD kSettleMs = 40;
const int kMessageTextId = 0xFFFF;

bool HasClass(HWND window, const char* name) {
    char cls[64];
    if (!GetClassNameA(window, cls, sizeof(cls))) return false;
    return lstrcmpiA(cls, name) == 0;
}

struct FindContext {
    DWORD pid;
    std::vector<std::pair<HWND, DWORD>> found;
};

BOOL CALLBACK CollectBoxes(HWND window, LPARAM param) {
    FindContext* context = reinterpret_cast<FindContext*>(param);
    if (!IsWindowVisible(window) || !HasClass(window, "#32770")) return TRUE;
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (context->pid == 0 || context->pid == pid) context->found.push_back({window, pid});
    return TRUE;
}

std::vector<std::pair<HWND, DWORD>> VisibleBoxes(DWORD pid) {
    FindContext context{pid, {}};
    EnumWindows(CollectBoxes, reinterpret_cast<LPARAM>(&context));
    return context.found;
}

BOOL CALLBACK CollectChildren(HWND child, LPARAM param) {
    reinterpret_cast<std::vector<HWND>*>(param)->push_back(child);
    return TRUE;
}

std::string WindowTextByMessage(HWND window) {
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutA(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kTextTimeoutMs, &length)) return "";
    std::string text(length + 1, '\0');
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutA(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(&text[0]), SMTO_ABORTIFHUNG,
                             kTextTimeoutMs, &copied)) {
        return "";
    }
    text.resize(copied < text.size() ? copied : text.size() - 1);
    return text;
}

}  // namespace

HWND FindBox(const std::string& caption, DWORD pid) {
    for (const auto& box : VisibleBoxes(pid)) {
        if (BoxCaption(box.first) == caption) return box.first;
    }
    return NULL;
}

std::string BoxCaption(HWND box) {
    WCHAR wide[1024];
    int length = InternalGetWindowText(box, wide, 1024);
    if (length <= 0) return "";
    char narrow[2048];
    int n = WideCharToMultiByte(CP_ACP, 0, wide, length, narrow, sizeof(narrow) - 1, NULL, NULL);
    return std::string(narrow, n > 0 ? n : 0);
}

std::string ControlText(HWND dialog, int id) {
    HWND control = GetDlgItem(dialog, id);
    return control ? WindowTextByMessage(control) : "";
}

bool IsMessageBox(HWND box) {
    if (!GetDlgItem(box, kMessageTextId)) return false;
    // Only statics and the standard buttons (IDOK .. IDCONTINUE, IDHELP among them).
    std::vector<HWND> children;
    EnumChildWindows(box, CollectChildren, reinterpret_cast<LPARAM>(&children));
    for (HWND child : children) {
        if (HasClass(child, "Static")) continue;
        int id = GetDlgCtrlID(child);
        if (!HasClass(child, "Button") || id < IDOK || id > IDCONTINUE) return false;
    }
    return true;
}

std::string BoxText(HWND box) {
    // A message box's text is its one static with text (id 0xFFFF); the icon has none.
    std::vector<HWND> children;
    EnumChildWindows(box, CollectChildren, reinterpret_cast<LPARAM>(&children));
    std::string text;
    for (HWND control : children) {
        if (GetParent(control) != box || !HasClass(control, "Static")) continue;
        std::string part = WindowTextByMessage(control);
        if (part.empty()) continue;
        if (!text.empty()) text += '\n';
        text += part;
    }
    return text;
}

bool PressButton(HWND dialog, int id) {
    HWND control = GetDlgItem(dialog, id);
    return PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(control)) != 0;
}

BoxWatcher::BoxWatcher(DWORD pid) : pid_(pid) { thread_ = std::thread(&BoxWatcher::Run, this); }

BoxWatcher::~BoxWatcher() { Stop(); }

void BoxWatcher::SetProcess(DWORD pid) {
    std::lock_guard<std::mutex> guard(lock_);
    pid_ = pid;
}

void BoxWatcher::Answer(const std::string& caption, int button) { Answer(caption, std::vector<int>{button}); }

void BoxWatcher::Answer(const std::string& caption, const std::vector<int>& buttons) {
    std::lock_guard<std::mutex> guard(lock_);
    answers_[caption] = buttons.empty() ? std::vector<int>{BOX_RECORD_ONLY} : buttons;
}

void BoxWatcher::CloseUnexpected(bool close) {
    std::lock_guard<std::mutex> guard(lock_);
    closeUnexpected_ = close;
}

std::string DescribeVisibleBoxes() {
    std::string text;
    for (const auto& box : VisibleBoxes(0)) {
        if (!text.empty()) text += '\n';
        text += "pid " + std::to_string(box.second) + ": \"" + BoxCaption(box.first) + "\": " + BoxText(box.first);
    }
    return text.empty() ? "no dialog is visible" : text;
}

::testing::AssertionResult BoxWatcher::TimedOut(const std::string& waitedFor) const {
    ::testing::AssertionResult result = ::testing::AssertionFailure();
    result << "waited in vain for " << waitedFor << "; boxes seen:";
    std::vector<SeenBox> seen = Seen();
    if (seen.empty()) result << " none";
    for (const SeenBox& box : seen) {
        result << "\n  \"" << box.caption << "\" (pid " << box.pid << ", button " << box.button
               << (box.expected ? "" : ", unexpected") << "): " << box.text;
    }
    result << "\nvisible now:\n  " << DescribeVisibleBoxes();
    return result;
}

::testing::AssertionResult BoxWatcher::WaitSeen(const std::string& caption, DWORD timeoutMs, size_t count) {
    bool found;
    {
        std::unique_lock<std::mutex> guard(lock_);
        found = changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] {
            size_t n = 0;
            for (const SeenBox& box : seen_) n += box.caption == caption;
            return n >= count;
        });
    }
    if (found) return ::testing::AssertionSuccess() << count << " box(es) \"" << caption << "\" seen";
    return TimedOut(std::to_string(count) + " box(es) \"" + caption + "\" within " + std::to_string(timeoutMs) +
                    " ms");
}

::testing::AssertionResult BoxWatcher::WaitCount(size_t count, DWORD timeoutMs) {
    bool found;
    {
        std::unique_lock<std::mutex> guard(lock_);
        found = changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return seen_.size() >= count; });
    }
    if (found) return ::testing::AssertionSuccess() << count << " box(es) seen";
    return TimedOut(std::to_string(count) + " box(es) within " + std::to_string(timeoutMs) + " ms");
}

std::vector<SeenBox> BoxWatcher::Seen() const {
    std::lock_guard<std::mutex> guard(lock_);
    return seen_;
}

size_t BoxWatcher::Count(const std::string& caption) const {
    std::lock_guard<std::mutex> guard(lock_);
    size_t n = 0;
    for (const SeenBox& box : seen_) n += box.caption == caption;
    return n;
}

void BoxWatcher::Stop() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        stop_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void BoxWatcher::Run() {
    std::unique_lock<std::mutex> guard(lock_);
    while (!stop_) {
        guard.unlock();
        Scan();
        guard.lock();
        changed_.wait_for(guard, std::chrono::milliseconds(kScanIntervalMs), [&] { return stop_; });
    }
}

void BoxWatcher::Scan() {
    DWORD pid;
    {
        std::lock_guard<std::mutex> guard(lock_);
        pid = pid_;
    }
    // Forget windows that are gone, so a new box that reuses a handle counts.
    for (auto it = handled_.begin(); it != handled_.end();) {
        it = IsWindow(it->first) ? std::next(it) : handled_.erase(it);
    }
    for (auto it = pending_.begin(); it != pending_.end();) {
        it = IsWindow(it->first) ? std::next(it) : pending_.erase(it);
    }
    for (const auto& box : VisibleBoxes(pid)) Consider(box.first, box.second);
}

void BoxWatcher::Consider(HWND box, DWORD pid) {
    auto known = handled_.find(box);
    if (known != handled_.end()) {
        Handled& state = known->second;
        static const int kEscalation[] = {IDCANCEL, IDOK, IDNO};
        if (state.unexpected && state.attempts < 3 && GetTickCount() - state.since >= kEscalateMs) {
            PressButton(box, kEscalation[state.attempts++]);
            state.since = GetTickCount();
        }
        return;
    }
    std::string caption = BoxCaption(box);
    bool expected = false;
    bool closeUnexpected = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        expected = answers_.count(caption) != 0;
        closeUnexpected = !expected && closeUnexpected_ && pid_ != 0;
    }
    // Not ours: leave it; it is looked at again next time, in case an answer
    // for its caption is added meanwhile.
    if (!expected && !(closeUnexpected && IsMessageBox(box))) return;
    std::string text = BoxText(box);
    auto pending = pending_.find(box);
    if (pending == pending_.end()) {
        pending_[box] = Pending{GetTickCount(), text};
        return;
    }
    if (pending->second.text != text || GetTickCount() - pending->second.firstSeen < kSettleMs) {
        pending->second.text = text;
        return;
    }
    pending_.erase(pending);
    int button = IDCANCEL;
    if (expected) {
        std::lock_guard<std::mutex> guard(lock_);
        const std::vector<int>& buttons = answers_[caption];
        size_t index = answeredCount_[caption]++;
        button = buttons[index < buttons.size() ? index : buttons.size() - 1];
    }
    SeenBox seen;
    seen.caption = caption;
    seen.text = text;
    seen.pid = pid;
    seen.expected = expected;
    if (expected) {
        if (button != BOX_RECORD_ONLY) PressButton(box, button);
        seen.button = button;
        handled_[box] = Handled{GetTickCount(), 0, false};
    } else {
        PressButton(box, button);
        seen.button = button;
        handled_[box] = Handled{GetTickCount(), 1, true};
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        seen_.push_back(seen);
    }
    changed_.notify_all();
}
