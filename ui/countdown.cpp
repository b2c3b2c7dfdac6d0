// The countdown and cycle-number boxes of the main window, drawn at every tick of a run.
#include <stdio.h>
#include <string.h>
#include "res/resource.h"
#include "ui/ui.h"

int CountdownFontHeight(int secondsLeft, int logPixelsY) {
    int factor = secondsLeft >= 1000 ? 24 : secondsLeft >= 100 ? 30 : 55;
    double scale = logPixelsY / 96.0;
    return (int)(scale * factor);
}

static void DrawNumberBox(HWND box, HFONT font, COLORREF fill, int value) {
    if (!box) return;  // a window without the box (or one being destroyed) gets nothing
    HDC dc = GetDC(box);
    if (!dc) return;
    RECT client;
    GetClientRect(box, &client);
    HBRUSH brush = CreateSolidBrush(fill);
    HGDIOBJ oldBrush = SelectObject(dc, brush);
    HGDIOBJ oldFont = SelectObject(dc, font);
    Rectangle(dc, client.left, client.top, client.right, client.bottom);
    int oldMode = SetBkMode(dc, TRANSPARENT);
    COLORREF oldColour = SetTextColor(dc, RGB(0, 0, 0));
    char text[16];
    int length = snprintf(text, sizeof(text), "%d", value);
    SIZE extent = {0, 0};
    GetTextExtentPointA(dc, text, length, &extent);
    TextOutA(dc, (client.right - extent.cx - client.left) / 2, (client.bottom - extent.cy - client.top) / 2, text,
             length);
    SetTextColor(dc, oldColour);
    SetBkMode(dc, oldMode);
    SelectObject(dc, oldFont);
    SelectObject(dc, oldBrush);
    DeleteObject(brush);
    ReleaseDC(box, dc);
}

void DrawCountdownFrame(HWND window, int secondsLeft, int cycleShown) {
    if (!window || !IsWindow(window)) return;
    HWND countdownBox = GetDlgItem(window, IDC_COUNTDOWN);
    HWND cycleBox = GetDlgItem(window, IDC_CYCLE_NUMBER);
    HDC screen = GetDC(nullptr);
    int pixelsPerInch = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 96;
    if (screen) ReleaseDC(nullptr, screen);

    LOGFONTA face;
    memset(&face, 0, sizeof(face));
    face.lfHeight = CountdownFontHeight(secondsLeft, pixelsPerInch);
    face.lfWeight = FW_BOLD;
    snprintf(face.lfFaceName, sizeof(face.lfFaceName), "%s", "Arial");
    HFONT font = CreateFontIndirectA(&face);
    DrawNumberBox(countdownBox, font, RGB(220, 80, 80), secondsLeft);
    DrawNumberBox(cycleBox, font, RGB(255, 255, 255), cycleShown);
    if (font) DeleteObject(font);
}
