// Logging: the Logger with its ring of timestamped lines and its log file,
// and the entry points through which every part of the program logs.
#pragma once
#include <windows.h>
#include <stddef.h>
#include <stdio.h>
#include "core/core.h"

#define LOG_CAPACITY 500
#define LOG_LINE_SIZE 1024

class Logger {
public:
    Logger();  // throws const char* when the ring cannot be allocated
    virtual ~Logger();
    Logger(const Logger&) = delete;  // owns its ring and its lock
    Logger& operator=(const Logger&) = delete;

    void AddLine(const char* text, int level);
    // Where lines go besides the ring: path when toFile (the settings' log
    // file), else nowhere. Every writer of those settings tells the Logger.
    void SetLogFile(const char* path, bool toFile);
    // True, with the path, while lines go to a file.
    bool IsLoggingToFile(char* path, size_t pathSize);
    // Pointer into the ring; only stable while no other thread adds. The log
    // panel and other readers on busy programs use CopyLine.
    const char* GetLine(int index, int* level);
    // Copies line index (as GetLine counts) under the lock; false when none.
    bool CopyLine(int index, char* out, size_t outSize, int* level);
    int GetLineCount();
    void WriteLineToFile(const char* line);
    void OpenLogFile(const char* path, const char* mode);
    int CloseLogFile();

    int capacity;
    char* lineSlots;
    int* lineLevels;
    int writePos;
    int oldestPos;
    int lineCount;
    FILE* logFile;

private:
    void Lock();
    void Unlock();
    void AddCleanLine(const char* text, int level);
    CRITICAL_SECTION lock_;
    char filePath_[256];
    bool toFile_;
    int warningDepth_;  // > 0 while this logger shows an append warning box
    // Lines that could not reach the file since writing last worked; one box
    // tells of a whole episode, and the file gets the count once it works again.
    int missedLines_;
    bool episodeReported_;
    void ReportMissedLine(const char* message);
};

extern Logger* theLogger;

#define NOTE_SLOTS 100
#define NOTE_SIZE 1024

// Notes gathered before the log panel exists, logged after the banner.
struct NoteList {
    int count;
    int dropped;  // notes that found the list full
    char slots[NOTE_SLOTS][NOTE_SIZE];
};

// Adds a formatted note, cut to 1023 characters; a full list counts it as dropped.
void AddNote(NoteList* list, const char* format, ...) __attribute__((format(printf, 2, 3)));
void ClearNotes(NoteList* list);
extern NoteList gStartupNotes;
extern NoteList gCommandLineNotes;

// The log panel is told of every new line through the listener its window
// registers; null for none.
typedef void (*LogLineListener)();
void SetLogLineListener(LogLineListener listener);

// Entry points, callable from any thread.
void LogMessage(const char* text, int level);
void LogAtLevel(int level, const char* text);
void LogDebug(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The log level of the settings in force (0 Normal, 1 Debug, 2 Debug and
// Events): LogDebug writes only from 1 on. Every writer of the settings tells it.
void SetLogLevel(int level);
int GetLogLevel();

// An unattended run (automatic exit) shows no box: each one is logged at
// Error level with its caption and text, and the run takes the answer given.
void SetUnattended(bool unattended);
bool IsUnattended();
// MessageBoxA in an interactive run; in an unattended one the line
// "<caption>: <text>" and unattendedAnswer (IDOK, IDNO, ...) instead.
int ShowMessageBox(HWND owner, const char* text, const char* caption, UINT type, int unattendedAnswer);

// Formats a timestamp prefix "yyyy-MMM-dd HH:mm:ss " for st into out.
void FormatLogTimestamp(const SYSTEMTIME* st, char* out, size_t outSize);
// Cleans text the way stored lines are cleaned: bytes below 0x20 and from 0x80 up become blanks.
void CleanLogText(char* text);
