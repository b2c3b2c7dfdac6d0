// The markup of the run report: texts as HTML, the page buffer, and what the
// page shows of a record's verdict and values.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include "results/report_page.h"

namespace report {

// ---- HTML text --------------------------------------------------------------

// The HTML of one ASCII byte of text: itself (null), or a reference written into spare.
static const char* EscapeAscii(unsigned char ch, char spare[12]) {
    switch (ch) {
    case '&': return "&amp;";
    case '<': return "&lt;";
    case '>': return "&gt;";
    case '"': return "&quot;";
    case '\'': return "&#39;";
    default: break;
    }
    if (ch >= 0x20 && ch != 0x7F) return nullptr;
    snprintf(spare, 12, "&#%u;", 0x2400 + (ch == 0x7F ? 0x21 : ch));  // the control's visible picture
    return spare;
}

// Length of the whole UTF-8 character at p (2..4), or 0 when the bytes there are not one.
static size_t Utf8Length(const unsigned char* p) {
    char copy[5] = {};
    size_t length = p[0] >= 0xF0 ? 4 : p[0] >= 0xE0 ? 3 : 2;
    for (size_t i = 0; i < length; i++) {
        if (!p[i]) return 0;
        copy[i] = (char)p[i];
    }
    char checked[5];
    CopyUtf8(checked, sizeof(checked), copy);
    return strcmp(checked, copy) == 0 ? length : 0;
}

// The next piece of text at p as HTML: *length bytes of text, shown as the
// returned bytes (a reference, or the text itself when *same).
const char* NextPiece(const unsigned char* p, size_t* length, bool* same, char spare[12]) {
    *same = false;
    *length = 1;
    if (*p < 0x80) {
        const char* reference = EscapeAscii(*p, spare);
        *same = reference == nullptr;
        return reference ? reference : (const char*)p;
    }
    size_t whole = Utf8Length(p);
    if (whole == 0) return "&#65533;";
    *length = whole;
    *same = true;
    return (const char*)p;
}

// ---- The page, buffered into its file ---------------------------------------


void FlushPage(Page* page) {
    page->out->append(page->buffer, page->used);
    page->used = 0;
}

void RawBytes(Page* page, const char* bytes, size_t length) {
    while (length > 0) {
        if (page->used == sizeof(page->buffer)) FlushPage(page);
        size_t room = sizeof(page->buffer) - page->used;
        size_t take = length < room ? length : room;
        memcpy(page->buffer + page->used, bytes, take);
        page->used += take;
        bytes += take;
        length -= take;
    }
}

void Raw(Page* page, const char* markup) { RawBytes(page, markup, strlen(markup)); }

// Markup with numbers; never a text from the file (those go through Text).
void Put(Page* page, const char* format, ...) {
    char piece[512];
    va_list args;
    va_start(args, format);
    int length = vsnprintf(piece, sizeof(piece), format, args);
    va_end(args);
    if (length < 0) return;
    RawBytes(page, piece, (size_t)length < sizeof(piece) ? (size_t)length : sizeof(piece) - 1);
}

void Text(Page* page, const char* text) {
    const unsigned char* run = (const unsigned char*)text;
    const unsigned char* p = run;
    char spare[12];
    while (*p) {
        size_t length;
        bool same;
        const char* piece = NextPiece(p, &length, &same, spare);
        p += length;
        if (same) continue;  // plain text: stays in the run
        RawBytes(page, (const char*)run, (size_t)(p - length - run));
        Raw(page, piece);
        run = p;
    }
    RawBytes(page, (const char*)run, (size_t)(p - run));
}

// Text, or a dash when it is empty (null in the file).
void TextOrDash(Page* page, const char* text) {
    if (text[0])
        Text(page, text);
    else
        Raw(page, "\xE2\x80\x93");
}

// The digits of value at the end of a buffer; returns where they begin.
static char* Digits(unsigned long long value, char* end) {
    do {
        *--end = (char)('0' + value % 10);
        value /= 10;
    } while (value > 0);
    return end;
}

// Numbers are written by hand: a page has tens of thousands of them, and
// formatting each through printf was most of a rebuild's time.
void Number(Page* page, long long value) {
    char text[24];
    char* end = text + sizeof(text);
    unsigned long long magnitude = value < 0 ? 0ULL - (unsigned long long)value : (unsigned long long)value;
    char* start = Digits(magnitude, end);
    if (value < 0) *--start = '-';
    RawBytes(page, start, (size_t)(end - start));
}

// A coordinate with at most one decimal, without a trailing ".0".
void Coord(Page* page, const char* name, double value) {
    Raw(page, " ");
    Raw(page, name);
    Raw(page, "=\"");
    // Rounded to tenths, halves away from zero; far beyond any chart is clamped.
    double scaled = value * 10;
    if (scaled > 1e15) scaled = 1e15;
    if (scaled < -1e15) scaled = -1e15;
    long long tenths = (long long)(scaled < 0 ? scaled - 0.5 : scaled + 0.5);
    if (tenths < 0) Raw(page, "-");
    unsigned long long magnitude = tenths < 0 ? 0ULL - (unsigned long long)tenths : (unsigned long long)tenths;
    char text[24];
    char* end = text + sizeof(text);
    char* start = Digits(magnitude / 10, end);
    RawBytes(page, start, (size_t)(end - start));
    if (magnitude % 10) {
        char decimal[2] = {'.', (char)('0' + magnitude % 10)};
        RawBytes(page, decimal, 2);
    }
    Raw(page, "\"");
}

// ---- Verdicts and their colours ----------------------------------------------


int VerdictIndex(int verdict) { return verdict >= 0 && verdict < VERDICT_KINDS ? verdict : OTHER_VERDICT; }

// What the record's numbers and ids show; -1 and "" when unknown.
const char* StateText(int state) { return StateId(state) ? StateId(state) : ""; }
int AsleepSec(const SleepRecord* r) { return r->asleepSource != ASLEEP_UNKNOWN ? r->asleepSec : -1; }
long long Phase(const SleepRecord* r, int phase) { return r->phases[phase].known ? r->phases[phase].value : -1; }


// The class name of a verdict; never a text from the file.
const char* VerdictClass(int index) { return index < VERDICT_KINDS ? VerdictId(index) : "other"; }

bool IsFailure(int index) { return index < VERDICT_KINDS && VERDICT_LEVELS[index] == LOG_ERROR; }

// A device fault is a failure, but one the engineer looks for apart from the
// sleep's own failures: magenta, as saturated as the panel's red.
static const uint32_t DEVICE_FAULT_COLOUR = 0xC832C8;
static const uint32_t OTHER_VERDICT_COLOUR = 0x999999;

uint32_t VerdictColour(int index) {
    if (index == VERDICT_DEVICE_FAULT) return DEVICE_FAULT_COLOUR;
    if (index < 0 || index >= VERDICT_KINDS) return OTHER_VERDICT_COLOUR;
    return GetLevelColours(VERDICT_LEVELS[index]).back;
}

// A level's colour (0xRRGGBB) as "#rrggbb", and its red, green and blue parts.
void HexColour(uint32_t colour, char out[8]) { snprintf(out, 8, "#%06x", (unsigned)(colour & 0xFFFFFF)); }
unsigned Red(uint32_t colour) { return (colour >> 16) & 0xFF; }
unsigned Green(uint32_t colour) { return (colour >> 8) & 0xFF; }
unsigned Blue(uint32_t colour) { return colour & 0xFF; }

}  // namespace report

using namespace report;

void HtmlEscape(const char* text, char* out, size_t outSize) {
    if (outSize == 0) return;
    size_t used = 0;
    char spare[12];
    for (const unsigned char* p = (const unsigned char*)text; *p;) {
        size_t taken;
        bool same;
        const char* piece = NextPiece(p, &taken, &same, spare);
        size_t length = same ? taken : strlen(piece);
        if (used + length + 1 > outSize) break;  // whole references and characters only
        memcpy(out + used, piece, length);
        used += length;
        p += taken;
    }
    out[used] = '\0';
}
