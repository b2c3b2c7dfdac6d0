// The log panel of the main window: coloured rows of the newest lines, their
// scroll bar and the colour key.
//
// Threads: only the thread that owns the main window draws or changes the panel
// state. LogMessage on another thread adds its line to the Logger (which locks)
// and posts one WM_LOG_PANEL_UPDATE to the log area; further lines logged before
// the window thread has handled it ride on the same message. The window thread
// then recomputes the range, jumps to the newest line and redraws from copies of
// the lines, so no drawing ever races another, and a line is never read while
// the ring moves under it.
#include <string.h>
#include "core/core.h"
#include "log/log.h"
#include "res/resource.h"
#include "ui/ui.h"

int gLogFirstRow;
int gLogMaxFirstRow;
int gLogRowHeight;
HFONT gLogFont;
HBRUSH gLogBackBrush;
HWND gLogArea;
HWND gLogScrollBar;
HWND gColourKeyGroup;

static DWORD gLogPanelThread;
static volatile LONG gLogUpdatePending;
// The original procedure of the static controls that the panel paints itself.
static WNDPROC gStaticProc;

static const COLORREF WHITE = RGB(255, 255, 255);

static COLORREF ColourRef(uint32_t rgb) { return RGB((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF); }

LogRowColours GetLogRowColours(int level) {
    LevelColours colours = GetLevelColours(level);
    return {ColourRef(colours.back), ColourRef(colours.text)};
}

int GetColourKeyLevel(int control) {
    switch (control) {
    case IDC_KEY_INFO_BOX: return LOG_INFO;
    case IDC_KEY_ERROR_BOX: return LOG_ERROR;
    case IDC_KEY_WARNING_BOX: return LOG_WARNING;
    case IDC_KEY_DEBUG_BOX: return LOG_DEBUG;
    case IDC_KEY_STATUS_BOX: return LOG_STATUS;
    default: return -1;
    }
}

int GetLogFontHeight(int dpi) {
    if (dpi <= 0) dpi = 96;  // some display drivers report nothing
    return 14 * dpi / 96;
}

int FitLogRowHeight(int fontHeight, int areaHeight) {
    int row = fontHeight + 2;
    int fits = (areaHeight - 2) / LOG_VISIBLE_ROWS;
    // A panel too small for readable rows keeps them readable and shows fewer.
    if (fits >= 8 && fits < row) row = fits;
    return row;
}

int GetScrolledFirstRow(int request, int thumbPosition, int firstRow, int maxFirstRow) {
    int row = firstRow;
    switch (request) {
    case SB_LINEUP:
        if (row > 0) row--;
        break;
    case SB_LINEDOWN:
        if (row < maxFirstRow) row++;
        break;
    case SB_PAGEUP:
        row = row > LOG_PAGE_ROWS ? row - LOG_PAGE_ROWS : 0;
        break;
    case SB_PAGEDOWN:
        row = row < maxFirstRow - LOG_PAGE_ROWS ? row + LOG_PAGE_ROWS : maxFirstRow;
        break;
    case SB_THUMBTRACK:
        row = thumbPosition;
        break;
    case SB_TOP:
        row = 0;
        break;
    case SB_BOTTOM:
        row = maxFirstRow;
        break;
    default:  // SB_THUMBPOSITION, SB_ENDSCROLL
        break;
    }
    // A position the bar cannot show would draw missing or stale rows.
    if (row > maxFirstRow) row = maxFirstRow;
    if (row < 0) row = 0;
    return row;
}

LogScrollRange GetLogScrollRange(int lineCount, int firstRow, int maxFirstRow) {
    LogScrollRange range;
    int hidden = lineCount - LOG_VISIBLE_ROWS;
    // A view that showed the newest line keeps showing it.
    if (hidden != maxFirstRow && firstRow == maxFirstRow) firstRow = hidden;
    if (hidden > 0) {
        if (firstRow > hidden) firstRow = hidden;
        if (firstRow < 0) firstRow = 0;
        range.firstRow = firstRow;
        range.maxFirstRow = hidden;
        range.showBar = true;
    } else {
        range.firstRow = 0;
        range.maxFirstRow = 0;
        range.showBar = false;
    }
    return range;
}

static bool OnPanelThread() { return GetCurrentThreadId() == gLogPanelThread; }

static int LineCount() { return theLogger ? theLogger->GetLineCount() : 0; }

// The bar is repainted with the window's next paint, not at once: drawing it
// costs more than drawing all the rows, and a burst of lines needs it once.
static void RepaintScrollBarLater() { InvalidateRect(gLogScrollBar, nullptr, TRUE); }

// Moves the bar's thumb; a bar already there is left alone.
static void SetLogScrollPos(int position) {
    if (!gLogScrollBar || GetScrollPos(gLogScrollBar, SB_CTL) == position) return;
    SetScrollPos(gLogScrollBar, SB_CTL, position, FALSE);
    RepaintScrollBarLater();
}

void UpdateLogScrollRange() {
    LogScrollRange range = GetLogScrollRange(LineCount(), gLogFirstRow, gLogMaxFirstRow);
    gLogFirstRow = range.firstRow;
    gLogMaxFirstRow = range.maxFirstRow;
    if (!gLogScrollBar) return;
    // Its own visible bit: the whole window is still hidden while it is set up.
    bool shown = (GetWindowLongA(gLogScrollBar, GWL_STYLE) & WS_VISIBLE) != 0;
    if (!range.showBar) {
        if (shown) ShowScrollBar(gLogScrollBar, SB_CTL, FALSE);
        return;
    }
    if (!shown) ShowScrollBar(gLogScrollBar, SB_CTL, TRUE);
    // With a page of 5 the thumb's largest position is exactly the hidden line count.
    SCROLLINFO info;
    memset(&info, 0, sizeof(info));
    info.cbSize = sizeof(info);
    info.fMask = SIF_RANGE | SIF_PAGE | SIF_POS;
    SCROLLINFO current = info;
    info.nMin = 0;
    info.nMax = range.maxFirstRow + LOG_PAGE_ROWS - 1;
    info.nPage = LOG_PAGE_ROWS;
    info.nPos = range.firstRow;
    if (shown && GetScrollInfo(gLogScrollBar, SB_CTL, &current) && current.nMin == info.nMin &&
        current.nMax == info.nMax && current.nPage == info.nPage && current.nPos == info.nPos)
        return;  // a full ring: nothing moves
    SetScrollInfo(gLogScrollBar, SB_CTL, &info, FALSE);
    RepaintScrollBarLater();
}

void DrawLogRowsInto(HDC dc, const RECT* area) {
    HBRUSH back = gLogBackBrush ? gLogBackBrush : (HBRUSH)GetStockObject(WHITE_BRUSH);
    FillRect(dc, area, back);
    if (!theLogger) return;
    int rowHeight = gLogRowHeight > 0 ? gLogRowHeight : 16;
    int rows = LineCount();
    if (rows > LOG_VISIBLE_ROWS) rows = LOG_VISIBLE_ROWS;

    HGDIOBJ oldPen = SelectObject(dc, GetStockObject(BLACK_PEN));
    HGDIOBJ oldFont = gLogFont ? SelectObject(dc, gLogFont) : nullptr;
    int oldMode = SetBkMode(dc, TRANSPARENT);
    char line[LOG_LINE_SIZE];
    int y = area->top + 1;
    for (int i = 0; i < rows; i++) {
        int level = 0;
        // A copy, taken under the Logger's lock: another thread may add meanwhile.
        if (!theLogger->CopyLine(gLogFirstRow + i, line, sizeof(line), &level)) continue;
        LogRowColours colours = GetLogRowColours(level);
        HBRUSH brush = CreateSolidBrush(colours.back);
        HGDIOBJ oldBrush = SelectObject(dc, brush);
        Rectangle(dc, area->left + 1, y, area->right, y + rowHeight);
        SelectObject(dc, oldBrush);
        DeleteObject(brush);
        SetTextColor(dc, colours.text);
        TextOutA(dc, area->left + 4, y + 1, line, (int)strlen(line));
        y += rowHeight;
    }
    SetBkMode(dc, oldMode);
    if (oldFont) SelectObject(dc, oldFont);
    SelectObject(dc, oldPen);
}

// The off-screen copy of the log area, kept between draws (window thread only).
static HDC gRowBuffer;
static HBITMAP gRowBitmap;
static HGDIOBJ gRowBufferOldBitmap;
static SIZE gRowBufferSize;

static void FreeRowBuffer() {
    if (gRowBuffer) {
        SelectObject(gRowBuffer, gRowBufferOldBitmap);
        DeleteDC(gRowBuffer);
    }
    if (gRowBitmap) DeleteObject(gRowBitmap);
    gRowBuffer = nullptr;
    gRowBitmap = nullptr;
    gRowBufferSize.cx = gRowBufferSize.cy = 0;
}

static HDC GetRowBuffer(HDC target, int width, int height) {
    if (gRowBuffer && gRowBufferSize.cx == width && gRowBufferSize.cy == height) return gRowBuffer;
    FreeRowBuffer();
    gRowBuffer = CreateCompatibleDC(target);
    gRowBitmap = gRowBuffer ? CreateCompatibleBitmap(target, width, height) : nullptr;
    if (!gRowBitmap) {
        FreeRowBuffer();
        return nullptr;
    }
    gRowBufferOldBitmap = SelectObject(gRowBuffer, gRowBitmap);
    gRowBufferSize.cx = width;
    gRowBufferSize.cy = height;
    return gRowBuffer;
}

// Draws the rows off screen first, so a redraw never shows a half-drawn panel.
static void PaintRows(HWND area, HDC dc) {
    RECT rect;
    GetClientRect(area, &rect);
    HDC buffer = GetRowBuffer(dc, rect.right - rect.left, rect.bottom - rect.top);
    if (!buffer) {
        DrawLogRowsInto(dc, &rect);
        return;
    }
    DrawLogRowsInto(buffer, &rect);
    BitBlt(dc, 0, 0, rect.right - rect.left, rect.bottom - rect.top, buffer, 0, 0, SRCCOPY);
}

void DrawLogRows() {
    HWND area = gLogArea;
    if (!area || !OnPanelThread()) return;
    HDC dc = GetDC(area);
    if (!dc) return;
    PaintRows(area, dc);
    ReleaseDC(area, dc);
}

static void FillKeyBoxInto(HDC dc, const RECT* rect, COLORREF colour) {
    HBRUSH brush = CreateSolidBrush(colour);
    HGDIOBJ oldBrush = SelectObject(dc, brush);
    Rectangle(dc, rect->left, rect->top, rect->right, rect->bottom);
    SelectObject(dc, oldBrush);
    DeleteObject(brush);
}

void FillColourKeyBox(HWND dialog, COLORREF colour, int control) {
    HWND box = GetDlgItem(dialog, control);
    if (!box) return;
    HDC dc = GetDC(box);
    if (!dc) return;
    RECT rect;
    GetClientRect(box, &rect);
    FillKeyBoxInto(dc, &rect, colour);
    ReleaseDC(box, dc);
}

int DrawColourKey(HWND dialog) {
    if (!dialog || gQuitRequested) return 0;
    static const int boxes[] = {IDC_KEY_ERROR_BOX, IDC_KEY_INFO_BOX, IDC_KEY_STATUS_BOX, IDC_KEY_WARNING_BOX,
                                IDC_KEY_DEBUG_BOX};
    for (int control : boxes) {
        FillColourKeyBox(dialog, GetLogRowColours(GetColourKeyLevel(control)).back, control);
    }
    return (int)(sizeof(boxes) / sizeof(boxes[0]));
}

void PaintLogPanel(HWND dialog) {
    // The group box frames the key boxes and would paint over them: it goes first.
    HWND group = GetDlgItem(dialog, IDC_KEY_GROUP);
    if (group) {
        InvalidateRect(group, nullptr, TRUE);
        UpdateWindow(group);
    }
    DrawColourKey(dialog);
    HWND area = GetDlgItem(dialog, IDC_LOG_AREA);
    if (area) {
        InvalidateRect(area, nullptr, TRUE);
        UpdateWindow(area);  // its own paint draws the rows
    }
}

void ScrollLogPanel(WPARAM request) {
    gLogFirstRow = GetScrolledFirstRow(LOWORD(request), HIWORD(request), gLogFirstRow, gLogMaxFirstRow);
    SetLogScrollPos(gLogFirstRow);
    DrawLogRows();
}

void ShowNewestLogLine() {
    UpdateLogScrollRange();
    // Every new line shows the newest, also when the user had scrolled back.
    gLogFirstRow = gLogMaxFirstRow;
    SetLogScrollPos(gLogFirstRow);
    DrawLogRows();
}

void NotifyLogPanel() {
    HWND area = __atomic_load_n(&gLogArea, __ATOMIC_ACQUIRE);
    if (!area) return;  // no panel yet, or already gone: the line is in the ring
    if (OnPanelThread()) {
        ShowNewestLogLine();
        return;
    }
    // One message stands for every line added until the window thread handles it.
    if (InterlockedExchange(&gLogUpdatePending, 1) == 0) {
        if (!PostMessageA(area, WM_LOG_PANEL_UPDATE, 0, 0)) InterlockedExchange(&gLogUpdatePending, 0);
    }
}

// The log area and the key boxes paint themselves, so whatever uncovers or
// repaints them (also without the main window's own paint) shows rows and colours.
static LRESULT CALLBACK PanelControlProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    bool isArea = window == gLogArea;
    switch (message) {
    case WM_ERASEBKGND:
        if (isArea) return 1;  // the paint covers every pixel
        break;
    case WM_PAINT: {
        int level = GetColourKeyLevel(GetDlgCtrlID(window));
        if (!isArea && (level < 0 || gQuitRequested)) break;
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(window, &paint);
        if (isArea) {
            PaintRows(window, dc);
        } else {
            RECT rect;
            GetClientRect(window, &rect);
            FillKeyBoxInto(dc, &rect, GetLogRowColours(level).back);
        }
        EndPaint(window, &paint);
        return 0;
    }
    case WM_LOG_PANEL_UPDATE:
        if (!isArea) return 0;
        // Cleared first: a line added from here on posts a new message.
        InterlockedExchange(&gLogUpdatePending, 0);
        ShowNewestLogLine();
        return 0;
    case WM_NCDESTROY:
        if (isArea) {
            __atomic_store_n(&gLogArea, (HWND) nullptr, __ATOMIC_RELEASE);
            gLogScrollBar = nullptr;
            gColourKeyGroup = nullptr;
        }
        break;
    }
    return CallWindowProcA(gStaticProc, window, message, wParam, lParam);
}

static void PaintControlItself(HWND control) {
    if (!control) return;
    WNDPROC previous =
        (WNDPROC)SetWindowLongPtrA(control, GWLP_WNDPROC, (LONG_PTR)PanelControlProc);
    if (previous && previous != PanelControlProc) gStaticProc = previous;
}

void InitLogPanel(HWND dialog) {
    gColourKeyGroup = GetDlgItem(dialog, IDC_KEY_GROUP);
    HWND area = GetDlgItem(dialog, IDC_LOG_AREA);
    gLogScrollBar = GetDlgItem(dialog, IDC_LOG_SCROLL);
    gLogPanelThread = GetWindowThreadProcessId(dialog, nullptr);
    SetLogLineListener(NotifyLogPanel);
    gLogFirstRow = 0;
    gLogMaxFirstRow = 0;
    InterlockedExchange(&gLogUpdatePending, 0);

    if (!gLogBackBrush) gLogBackBrush = CreateSolidBrush(WHITE);
    HDC screen = GetDC(nullptr);
    int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 96;
    if (screen) ReleaseDC(nullptr, screen);
    int height = GetLogFontHeight(dpi);
    // The panel's size follows the dialog font, the rows the screen's dpi: where
    // the dialog font is smaller than designed, the rows shrink to fit all 25.
    RECT client = {0, 0, 0, 0};
    if (area && GetClientRect(area, &client)) height = FitLogRowHeight(height, client.bottom) - 2;
    LOGFONTA font;
    memset(&font, 0, sizeof(font));
    font.lfHeight = height;
    font.lfWeight = FW_NORMAL;
    font.lfCharSet = DEFAULT_CHARSET;
    strcpy(font.lfFaceName, "MS Sans Serif");
    if (gLogFont) DeleteObject(gLogFont);
    gLogFont = CreateFontIndirectA(&font);
    gLogRowHeight = height + 2;

    PaintControlItself(area);
    static const int boxes[] = {IDC_KEY_INFO_BOX, IDC_KEY_ERROR_BOX, IDC_KEY_WARNING_BOX, IDC_KEY_DEBUG_BOX,
                                IDC_KEY_STATUS_BOX};
    for (int control : boxes) PaintControlItself(GetDlgItem(dialog, control));
    // Published last: other threads post to the panel only once it is ready.
    __atomic_store_n(&gLogArea, area, __ATOMIC_RELEASE);
    UpdateLogScrollRange();
}

void ReleaseLogPanel() {
    SetLogLineListener(nullptr);
    FreeRowBuffer();
    if (gLogBackBrush) DeleteObject(gLogBackBrush);
    if (gLogFont) DeleteObject(gLogFont);
    gLogBackBrush = nullptr;
    gLogFont = nullptr;
}
