// The log panel: colours, scroll range and scroll rules, drawing, and lines
// logged from several threads while the window repaints and scrolls.
#include <atomic>
#include <thread>
#include <vector>
#include "main_window_fixture.h"

TEST(LogPanelRules, RowColoursByLevel) {
    struct Case {
        int level;
        COLORREF back;
        COLORREF text;
    } cases[] = {
        {LOG_STATUS, RGB(0, 225, 0), RGB(255, 255, 255)},   {LOG_ERROR, RGB(200, 50, 50), RGB(255, 255, 255)},
        {LOG_INFO, RGB(5, 112, 167), RGB(255, 255, 255)},   {LOG_WARNING, RGB(255, 255, 0), RGB(0, 0, 0)},
        {LOG_DEBUG, RGB(0, 255, 255), RGB(0, 0, 0)},        {1, RGB(255, 255, 255), RGB(0, 0, 0)},
        {7, RGB(255, 255, 255), RGB(0, 0, 0)},              {-3, RGB(255, 255, 255), RGB(0, 0, 0)},
    };
    for (const Case& c : cases) {
        LogRowColours colours = GetLogRowColours(c.level);
        EXPECT_EQ(colours.back, c.back) << c.level;
        EXPECT_EQ(colours.text, c.text) << c.level;
    }
    // The key boxes, left to right on screen: Info, Status, Warning, Error, Debug.
    EXPECT_EQ(GetColourKeyLevel(IDC_KEY_INFO_BOX), LOG_INFO);
    EXPECT_EQ(GetColourKeyLevel(IDC_KEY_STATUS_BOX), LOG_STATUS);
    EXPECT_EQ(GetColourKeyLevel(IDC_KEY_WARNING_BOX), LOG_WARNING);
    EXPECT_EQ(GetColourKeyLevel(IDC_KEY_ERROR_BOX), LOG_ERROR);
    EXPECT_EQ(GetColourKeyLevel(IDC_KEY_DEBUG_BOX), LOG_DEBUG);
    EXPECT_EQ(GetColourKeyLevel(IDC_LOG_AREA), -1);
}

TEST(LogPanelRules, FontHeightFollowsTheScreen) {
    EXPECT_EQ(GetLogFontHeight(96), 14);
    EXPECT_EQ(GetLogFontHeight(120), 17);
    EXPECT_EQ(GetLogFontHeight(144), 21);
    EXPECT_EQ(GetLogFontHeight(0), 14);  // a driver that reports nothing
    // Rows shrink to fit a panel smaller than designed, and only then.
    EXPECT_EQ(FitLogRowHeight(14, 402), 16);
    EXPECT_EQ(FitLogRowHeight(14, 500), 16);
    EXPECT_EQ(FitLogRowHeight(14, 369), 14);
    EXPECT_EQ(FitLogRowHeight(14, 100), 16);  // too small for 25 readable rows: no shrinking
    EXPECT_EQ(FitLogRowHeight(14, 0), 16);
}

TEST(LogPanelRules, ScrollRequests) {
    // Page up from row 5 goes to 0, from 6 to 1.
    EXPECT_EQ(GetScrolledFirstRow(SB_PAGEUP, 0, 5, 100), 0);
    EXPECT_EQ(GetScrolledFirstRow(SB_PAGEUP, 0, 6, 100), 1);
    EXPECT_EQ(GetScrolledFirstRow(SB_PAGEUP, 0, 0, 100), 0);
    // Page down within five rows of the end goes to the end.
    EXPECT_EQ(GetScrolledFirstRow(SB_PAGEDOWN, 0, 94, 100), 99);
    EXPECT_EQ(GetScrolledFirstRow(SB_PAGEDOWN, 0, 95, 100), 100);
    EXPECT_EQ(GetScrolledFirstRow(SB_PAGEDOWN, 0, 99, 100), 100);
    EXPECT_EQ(GetScrolledFirstRow(SB_PAGEDOWN, 0, 100, 100), 100);
    EXPECT_EQ(GetScrolledFirstRow(SB_LINEUP, 0, 0, 100), 0);
    EXPECT_EQ(GetScrolledFirstRow(SB_LINEUP, 0, 7, 100), 6);
    EXPECT_EQ(GetScrolledFirstRow(SB_LINEDOWN, 0, 100, 100), 100);
    EXPECT_EQ(GetScrolledFirstRow(SB_LINEDOWN, 0, 7, 100), 8);
    EXPECT_EQ(GetScrolledFirstRow(SB_THUMBTRACK, 42, 7, 100), 42);
    EXPECT_EQ(GetScrolledFirstRow(SB_THUMBTRACK, 400, 7, 100), 100);
    EXPECT_EQ(GetScrolledFirstRow(SB_THUMBPOSITION, 42, 7, 100), 7);
    EXPECT_EQ(GetScrolledFirstRow(SB_TOP, 0, 7, 100), 0);
    EXPECT_EQ(GetScrolledFirstRow(SB_BOTTOM, 0, 7, 100), 100);
    EXPECT_EQ(GetScrolledFirstRow(SB_ENDSCROLL, 0, 7, 100), 7);
    // No hidden lines: nothing moves.
    EXPECT_EQ(GetScrolledFirstRow(SB_PAGEDOWN, 0, 0, 0), 0);
    EXPECT_EQ(GetScrolledFirstRow(SB_LINEDOWN, 0, 0, 0), 0);
}

TEST(LogPanelRules, RangeAfterANewLine) {
    LogScrollRange range = GetLogScrollRange(25, 0, 0);
    EXPECT_FALSE(range.showBar);
    EXPECT_EQ(range.firstRow, 0);
    EXPECT_EQ(range.maxFirstRow, 0);
    range = GetLogScrollRange(26, 0, 0);
    EXPECT_TRUE(range.showBar);
    EXPECT_EQ(range.firstRow, 1);
    EXPECT_EQ(range.maxFirstRow, 1);
    // A view scrolled back stays where it is; one at the end follows the end.
    range = GetLogScrollRange(36, 3, 10);
    EXPECT_EQ(range.firstRow, 3);
    EXPECT_EQ(range.maxFirstRow, 11);
    range = GetLogScrollRange(36, 10, 10);
    EXPECT_EQ(range.firstRow, 11);
    // A full ring: the range no longer grows.
    range = GetLogScrollRange(499, 474, 474);
    EXPECT_EQ(range.firstRow, 474);
    EXPECT_EQ(range.maxFirstRow, 474);
}

TEST_F(MainWindowTest, ScrollBarAppearsWithThe26thLine) {
    OpenWindow(true);
    EXPECT_FALSE(IsWindowVisible(gLogScrollBar));
    LogLines(25);
    EXPECT_FALSE(IsWindowVisible(gLogScrollBar));
    EXPECT_EQ(gLogFirstRow, 0);
    EXPECT_EQ(gLogMaxFirstRow, 0);

    LogMessage("the 26th", LOG_INFO);
    EXPECT_TRUE(IsWindowVisible(gLogScrollBar));
    SCROLLINFO info = {};
    info.cbSize = sizeof(info);
    info.fMask = SIF_ALL;
    ASSERT_TRUE(GetScrollInfo(gLogScrollBar, SB_CTL, &info));
    EXPECT_EQ(info.nMin, 0);
    EXPECT_EQ(info.nMax, 5);
    EXPECT_EQ(info.nPage, 5u);
    EXPECT_EQ(info.nPos, 1);
    EXPECT_EQ(gLogFirstRow, 1);

    // A full ring keeps the range at 474.
    LogLines(600);
    EXPECT_EQ(theLogger->GetLineCount(), 499);
    EXPECT_EQ(gLogMaxFirstRow, 474);
    EXPECT_EQ(gLogFirstRow, 474);
    ASSERT_TRUE(GetScrollInfo(gLogScrollBar, SB_CTL, &info));
    EXPECT_EQ(info.nMax, 478);
    EXPECT_EQ(info.nPos, 474);
}

TEST_F(MainWindowTest, ScrollMessagesAndANewLineJumpToTheNewest) {
    OpenWindow(true);
    LogLines(45);  // 20 hidden lines
    auto scroll = [&](int request, int thumb = 0) {
        SendMessageA(window_, WM_VSCROLL, MAKEWPARAM(request, thumb), (LPARAM)gLogScrollBar);
        EXPECT_EQ(GetScrollPos(gLogScrollBar, SB_CTL), gLogFirstRow);
        return gLogFirstRow;
    };
    EXPECT_EQ(scroll(SB_PAGEDOWN), 20);
    EXPECT_EQ(scroll(SB_THUMBTRACK, 6), 6);
    EXPECT_EQ(scroll(SB_PAGEUP), 1);
    EXPECT_EQ(scroll(SB_PAGEUP), 0);
    EXPECT_EQ(scroll(SB_LINEUP), 0);
    EXPECT_EQ(scroll(SB_THUMBTRACK, 16), 16);
    EXPECT_EQ(scroll(SB_PAGEDOWN), 20);
    EXPECT_EQ(scroll(SB_TOP), 0);

    // Scrolled back: the next line brings the view to the newest.
    LogMessage("newest", LOG_WARNING);
    EXPECT_EQ(gLogFirstRow, 21);
    EXPECT_EQ(gLogMaxFirstRow, 21);
    EXPECT_EQ(GetScrollPos(gLogScrollBar, SB_CTL), 21);
}

TEST_F(MainWindowTest, DebugLinesReachThePanelOnlyAtDebugLevel) {
    OpenWindow(true);
    LogLines(30);
    ScrollLogPanel(SB_TOP);
    LogDebug("hidden %d\n", 1);  // Normal: nothing logged, the view stays
    EXPECT_EQ(theLogger->GetLineCount(), 30);
    EXPECT_EQ(gLogFirstRow, 0);

    SetLogLevel(1);
    LogDebug("shown %d\n", 2);
    EXPECT_EQ(theLogger->GetLineCount(), 31);
    EXPECT_EQ(gLogFirstRow, 6);
    char line[LOG_LINE_SIZE];
    int level = -1;
    ASSERT_TRUE(theLogger->CopyLine(gLogFirstRow + LOG_VISIBLE_ROWS - 1, line, sizeof(line), &level));
    EXPECT_EQ(level, LOG_DEBUG);
    EXPECT_TRUE(strstr(line, "shown 2") != nullptr) << line;
}

namespace {

// An off-screen surface of the log area's size, for reading back drawn pixels.
struct Surface {
    HDC dc = nullptr;
    HBITMAP bitmap = nullptr;
    HGDIOBJ old = nullptr;
    RECT area = {0, 0, 0, 0};
    Surface(int width, int height) {
        HDC screen = GetDC(nullptr);
        dc = CreateCompatibleDC(screen);
        bitmap = CreateCompatibleBitmap(screen, width, height);
        ReleaseDC(nullptr, screen);
        old = SelectObject(dc, bitmap);
        area.right = width;
        area.bottom = height;
    }
    ~Surface() {
        SelectObject(dc, old);
        DeleteObject(bitmap);
        DeleteDC(dc);
    }
    // Pixels of colour in rows top..bottom-1, columns left..right-1.
    int Count(COLORREF colour, int top, int bottom, int left, int right) const {
        int count = 0;
        for (int y = top; y < bottom; y++)
            for (int x = left; x < right; x++)
                if (GetPixel(dc, x, y) == colour) count++;
        return count;
    }
};

}  // namespace

TEST_F(MainWindowTest, RowsAreDrawnInTheColoursOfTheirLevels) {
    OpenWindow(true);
    const int levels[] = {LOG_STATUS, LOG_ERROR, LOG_INFO, LOG_WARNING, LOG_DEBUG, 1, 7};
    for (int level : levels) LogMessage("HHHH MMMM WWWW", level);
    RECT client;
    GetClientRect(gLogArea, &client);
    Surface surface(client.right, client.bottom);
    DrawLogRowsInto(surface.dc, &surface.area);

    int h = gLogRowHeight;
    ASSERT_GT(h, 2);
    for (int i = 0; i < 7; i++) {
        LogRowColours colours = GetLogRowColours(levels[i]);
        int top = 1 + i * h;
        // Inside the row's frame, left of the text: the background.
        EXPECT_EQ(GetPixel(surface.dc, 2, top + h / 2), colours.back) << "row " << i;
        // Outlined in black.
        EXPECT_EQ(GetPixel(surface.dc, 1, top + h / 2), RGB(0, 0, 0)) << "row " << i;
        // The text is there, in its colour (the frame left out).
        EXPECT_GT(surface.Count(colours.text, top + 1, top + h - 1, 3, client.right - 2), 20) << "row " << i;
    }
    // Below the rows: white.
    int below = 1 + 7 * h + 2;
    EXPECT_EQ(surface.Count(RGB(255, 255, 255), below, client.bottom, 0, client.right),
              (client.bottom - below) * client.right);

    // Scrolled to the end, the newest line sits in the bottom row.
    LogLines(40);
    LogMessage("newest", LOG_ERROR);
    DrawLogRowsInto(surface.dc, &surface.area);
    int bottomRow = 1 + (LOG_VISIBLE_ROWS - 1) * h;
    EXPECT_EQ(GetPixel(surface.dc, 2, bottomRow + h / 2), GetLogRowColours(LOG_ERROR).back);
    EXPECT_EQ(GetPixel(surface.dc, 2, bottomRow - h / 2), GetLogRowColours(LOG_INFO).back);
}

TEST_F(MainWindowTest, ColourKeyIsLeftUndrawnWhileClosing) {
    OpenWindow(true);
    EXPECT_EQ(DrawColourKey(window_), 5);
    gQuitRequested = 1;
    EXPECT_EQ(DrawColourKey(window_), 0);
    PaintLogPanel(window_);  // and painting goes through without it
    EXPECT_EQ(DrawColourKey(nullptr), 0);
}

namespace {

const int STRESS_LEVELS[5] = {LOG_INFO, LOG_WARNING, LOG_ERROR, LOG_STATUS, LOG_DEBUG};

// "T<thread> <number>" after the time stamp; -1 when the line is not one of ours.
bool ParseStressLine(const char* line, int* thread, int* number) {
    const char* text = strstr(line, " T");
    if (!text) return false;
    char tail[8] = "";
    if (sscanf(text + 2, "%d %d%7s", thread, number, tail) != 2) return false;
    return *thread >= 0 && *thread <= 3 && *number >= 0 && *number < 2000;
}

}  // namespace

TEST_F(MainWindowTest, ThreeThreadsLogWhileTheWindowRepaintsAndScrolls) {
    OpenWindow(true);
    const int perThread = 2000;
    std::atomic<int> running(3);
    std::vector<std::thread> threads;
    for (int t = 1; t <= 3; t++) {
        threads.emplace_back([t, &running] {
            char text[64];
            for (int n = 0; n < perThread; n++) {
                snprintf(text, sizeof(text), "T%d %d", t, n);
                LogMessage(text, STRESS_LEVELS[(n + t) % 5]);
                if (n % 200 == 0) Sleep(1);  // let the window thread in between
            }
            running--;
        });
    }
    // Meanwhile the window thread repaints, scrolls and logs a little itself.
    int round = 0;
    while (running > 0) {
        switch (round++ % 6) {
        case 0: RedrawWindow(window_, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW); break;
        case 1: SendMessageA(window_, WM_VSCROLL, SB_PAGEUP, (LPARAM)gLogScrollBar); break;
        case 2: SendMessageA(window_, WM_MOUSEWHEEL, MAKEWPARAM(0, 120), 0); break;
        case 3: SendMessageA(window_, WM_VSCROLL, MAKEWPARAM(SB_THUMBTRACK, round % 400), (LPARAM)gLogScrollBar); break;
        case 4: if (round % 60 == 4) LogMessage("T0 0", LOG_INFO); break;
        case 5: Pump(); break;
        }
    }
    for (std::thread& thread : threads) thread.join();
    Pump();

    ASSERT_EQ(theLogger->GetLineCount(), 499);
    EXPECT_EQ(gLogMaxFirstRow, 474);
    EXPECT_EQ(gLogFirstRow, 474);
    EXPECT_EQ(GetScrollPos(gLogScrollBar, SB_CTL), 474);
    // Every stored line is whole, and each thread's lines keep their order.
    int last[4] = {-1, -1, -1, -1};
    char line[LOG_LINE_SIZE];
    for (int i = 0; i < 499; i++) {
        int level = -1, thread = -1, number = -1;
        ASSERT_TRUE(theLogger->CopyLine(i, line, sizeof(line), &level)) << i;
        ASSERT_TRUE(ParseStressLine(line, &thread, &number)) << i << ": " << line;
        if (thread > 0) {
            EXPECT_GT(number, last[thread]) << line;
            EXPECT_EQ(level, STRESS_LEVELS[(number + thread) % 5]) << line;
            last[thread] = number;
        }
    }
    // The last thread to finish wrote the newest line.
    int thread = -1, number = -1;
    theLogger->CopyLine(498, line, sizeof(line), nullptr);
    ASSERT_TRUE(ParseStressLine(line, &thread, &number));
    EXPECT_EQ(number, thread > 0 ? perThread - 1 : 0) << line;

    // Scrolled back, a line from another thread brings the view to the newest again.
    ScrollLogPanel(SB_TOP);
    ASSERT_EQ(gLogFirstRow, 0);
    std::thread([] { LogMessage("T1 1999", LOG_INFO); }).join();
    EXPECT_EQ(gLogFirstRow, 0);  // not before the window thread has caught up
    Pump();
    EXPECT_EQ(gLogFirstRow, 474);
    EXPECT_EQ(GetScrollPos(gLogScrollBar, SB_CTL), 474);
}
