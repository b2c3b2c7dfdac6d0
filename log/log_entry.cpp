// The entry points through which every part of the program logs.
#include <stdarg.h>
#include <string.h>
#include "log/log.h"

static LogLineListener volatile gLineListener = nullptr;
static volatile int gLogLevel = 0;

void SetLogLevel(int level) { gLogLevel = level; }
int GetLogLevel() { return gLogLevel; }

void SetLogLineListener(LogLineListener listener) { gLineListener = listener; }

void LogMessage(const char* text, int level) {
    // Nothing can be kept before start-up has made the Logger.
    if (!theLogger) return;
    theLogger->AddLine(text, level);
    // The panel shows the newest line: at once on the window's thread, soon after from any other.
    LogLineListener listener = gLineListener;
    if (listener) listener();
}

void LogAtLevel(int level, const char* text) { LogMessage(text, level); }

void LogDebug(const char* format, ...) {
    // The format and the result are each cut to 1023 characters.
    char pattern[LOG_LINE_SIZE];
    size_t length = strnlen(format ? format : "", sizeof(pattern) - 1);
    memcpy(pattern, format ? format : "", length);
    pattern[length] = '\0';
    if (length > 0 && pattern[length - 1] == '\n') pattern[length - 1] = '\0';

    char text[LOG_LINE_SIZE];
    va_list args;
    va_start(args, format);
    if (vsnprintf(text, sizeof(text), pattern, args) < 0) text[0] = '\0';
    va_end(args);
    text[sizeof(text) - 1] = '\0';

    if (GetLogLevel() >= 1) LogAtLevel(LOG_DEBUG, text);
}
