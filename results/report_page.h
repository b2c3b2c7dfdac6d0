// Shared by the files that build the run report: the page being written and
// what it shows of a record. Not for other folders.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include <string>
#include "results/results.h"

namespace report {

// The page, buffered into the string it is built in.
struct Page {
    std::string* out;
    size_t used;
    char buffer[32768];
};
void FlushPage(Page* page);
void RawBytes(Page* page, const char* bytes, size_t length);
void Raw(Page* page, const char* markup);
// Markup with numbers; never a text from the file (those go through Text).
void Put(Page* page, const char* format, ...) __attribute__((format(printf, 2, 3)));
// UTF-8 text as HTML.
void Text(Page* page, const char* text);
// Text, or a dash when it is empty (null in the file).
void TextOrDash(Page* page, const char* text);
// A whole number.
void Number(Page* page, long long value);
// A coordinate with at most one decimal, without a trailing ".0".
void Coord(Page* page, const char* name, double value);
// The next piece of text at p as HTML: *length bytes of text, shown as the
// returned bytes (a reference, or the text itself when *same).
const char* NextPiece(const unsigned char* p, size_t* length, bool* same, char spare[12]);

// The log level of each verdict, in VERDICT_ order: LOG_ERROR ones are failures,
// and each takes its level's panel colour unless VerdictColour gives it its own.
const int VERDICT_LEVELS[] = {LOG_STATUS, LOG_ERROR, LOG_WARNING, LOG_ERROR, LOG_ERROR, LOG_ERROR, LOG_ERROR,
                              LOG_ERROR};
const int VERDICT_KINDS = (int)(sizeof(VERDICT_LEVELS) / sizeof(VERDICT_LEVELS[0]));
const int OTHER_VERDICT = VERDICT_KINDS;  // a verdict this build does not know
static_assert(VERDICT_KINDS == VERDICT_COUNT, "a colour for every verdict");
int VerdictIndex(int verdict);
// The class name of a verdict; never a text from the file.
const char* VerdictClass(int index);
bool IsFailure(int index);
// The colour (0xRRGGBB) of a verdict's columns and key; the one place they are chosen.
uint32_t VerdictColour(int index);
// What the record's numbers and ids show; -1 and "" when unknown.
const char* StateText(int state);
int AsleepSec(const SleepRecord* r);
long long Phase(const SleepRecord* r, int phase);
// A record's time as the file writes it; empty when unknown.
struct UtcText {
    char text[32];
    explicit UtcText(long long fileTime) { FormatUtcTime(fileTime, text, sizeof(text)); }
};
// A level's colour (0xRRGGBB) as "#rrggbb", and its red, green and blue parts.
void HexColour(uint32_t colour, char out[8]);
unsigned Red(uint32_t colour);
unsigned Green(uint32_t colour);
unsigned Blue(uint32_t colour);

// The charts, each with its heading: the time of every sleep, and when any
// row has them, the resume phases and the battery's drain; a sleep a column,
// or in a longer run buckets of consecutive sleeps.
void WriteTimeChart(Page* page, const ReportRow* rows, int count);
void WritePhaseChart(Page* page, const ReportRow* rows, int count);
void WriteBatteryChart(Page* page, const ReportRow* rows, int count);

}  // namespace report
