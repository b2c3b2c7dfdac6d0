// Test side of the event-log watchers: an in-memory classic event log put in
// place of the system's (whose Wine stub never holds a record), records built
// byte by byte, the test event source registered with its message DLL, and
// the lines that reached the Logger.
#pragma once
#include <windows.h>
#include <string.h>
#include <mutex>
#include <utility>
#include <string>
#include <vector>
#include "events/events.h"
#include "log/log.h"
#include "settings/settings.h"
#include "results/results.h"
#include "ui/ui.h"

namespace fakelog {

enum { SYSTEM = 0, APPLICATION = 1 };

struct Log {
    const char* name;
    DWORD oldest = 1;  // number of records[0]
    std::vector<std::vector<BYTE>> records;
    HANDLE notify = nullptr;
    DWORD position = 0;        // where a sequential read goes on
    bool failOpen = false;
    bool failNotify = false;
    bool fileChanged = false;  // the next read reports a cleared log
    DWORD readError = 0;       // every read fails with this error
    HANDLE readGate = nullptr; // the next read waits for this event
    int reads = 0;
    int opens = 0;
};

inline std::recursive_mutex gMutex;
inline Log gLogs[2];

inline Log* Find(HANDLE handle) {
    for (Log& log : gLogs)
        if (handle == (HANDLE)&log) return &log;
    return nullptr;
}

inline HANDLE WINAPI Open(LPCSTR, LPCSTR name) {
    std::lock_guard<std::recursive_mutex> hold(gMutex);
    for (Log& log : gLogs) {
        if (strcmp(log.name, name) != 0) continue;
        if (log.failOpen) break;
        log.opens++;
        log.position = log.oldest;
        return (HANDLE)&log;
    }
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
}

inline BOOL WINAPI Notify(HANDLE handle, HANDLE event) {
    std::lock_guard<std::recursive_mutex> hold(gMutex);
    Log* log = Find(handle);
    if (!log || log->failNotify) return FALSE;
    log->notify = event;
    return TRUE;
}

inline BOOL WINAPI Count(HANDLE handle, PDWORD count) {
    std::lock_guard<std::recursive_mutex> hold(gMutex);
    *count = (DWORD)Find(handle)->records.size();
    return TRUE;
}

inline BOOL WINAPI Oldest(HANDLE handle, PDWORD oldest) {
    std::lock_guard<std::recursive_mutex> hold(gMutex);
    Log* log = Find(handle);
    *oldest = log->records.empty() ? 0 : log->oldest;
    return TRUE;
}

inline BOOL WINAPI Read(HANDLE handle, DWORD flags, DWORD offset, LPVOID buffer, DWORD size, DWORD* got,
                        DWORD* needed) {
    Log* log = Find(handle);
    HANDLE gate = nullptr;
    {
        std::lock_guard<std::recursive_mutex> hold(gMutex);
        std::swap(gate, log->readGate);
    }
    if (gate) WaitForSingleObject(gate, INFINITE);
    std::lock_guard<std::recursive_mutex> hold(gMutex);
    log->reads++;
    *got = 0;
    *needed = 0;
    DWORD error = log->readError;
    if (log->fileChanged) {
        log->fileChanged = false;
        error = ERROR_EVENTLOG_FILE_CHANGED;
    }
    bool seek = (flags & EVENTLOG_SEEK_READ) != 0;
    DWORD number = seek ? offset : log->position;
    if (!error && (number < log->oldest || number >= log->oldest + log->records.size()))
        error = seek ? ERROR_INVALID_PARAMETER : ERROR_HANDLE_EOF;
    while (!error && number < log->oldest + log->records.size()) {
        const std::vector<BYTE>& record = log->records[number - log->oldest];
        if (*got + record.size() > size) {
            if (*got == 0) {
                *needed = (DWORD)record.size();
                error = ERROR_INSUFFICIENT_BUFFER;
            }
            break;
        }
        memcpy((BYTE*)buffer + *got, record.data(), record.size());
        *got += (DWORD)record.size();
        number++;
    }
    if (error) {
        SetLastError(error);
        return FALSE;
    }
    log->position = number;
    return TRUE;
}

inline BOOL WINAPI Close(HANDLE) { return TRUE; }

inline void Install() {
    std::lock_guard<std::recursive_mutex> hold(gMutex);
    gLogs[SYSTEM] = Log();
    gLogs[SYSTEM].name = "System";
    gLogs[APPLICATION] = Log();
    gLogs[APPLICATION].name = "Application";
    gEventLogApi = EventLogApi{Open, Notify, Count, Oldest, Read, Close};
}

inline void Uninstall() { BindEventLogApi(); }

// Appends a record, numbering it, and signals the watcher; returns its number.
inline DWORD Write(int which, std::vector<BYTE> record, bool signal = true) {
    std::lock_guard<std::recursive_mutex> hold(gMutex);
    Log& log = gLogs[which];
    DWORD number = log.oldest + (DWORD)log.records.size();
    memcpy(record.data() + offsetof(EVENTLOGRECORD, RecordNumber), &number, sizeof(number));
    log.records.push_back(record);
    if (signal && log.notify) SetEvent(log.notify);
    return number;
}

// A record as the system lays it out: fixed part, source and computer names,
// strings, data, then the length again.
inline std::vector<BYTE> BuildRecord(DWORD eventId, WORD type, const std::string& source,
                                     const std::vector<std::string>& strings, DWORD timeGenerated = 1000000000,
                                     size_t dataBytes = 0) {
    std::vector<BYTE> bytes(sizeof(EVENTLOGRECORD));
    auto append = [&](const std::string& text) {
        for (char c : text) bytes.push_back((BYTE)c);
        bytes.push_back(0);
    };
    append(source);
    append("VESPLIN-TEST");
    while (bytes.size() % 4) bytes.push_back(0);
    EVENTLOGRECORD header = {};
    header.Reserved = 0x654c664c;
    header.TimeGenerated = header.TimeWritten = timeGenerated;
    header.EventID = eventId;
    header.EventType = type;
    header.NumStrings = (WORD)strings.size();
    header.StringOffset = (DWORD)bytes.size();
    for (const std::string& text : strings) append(text);
    header.DataOffset = (DWORD)bytes.size();
    header.DataLength = (DWORD)dataBytes;
    bytes.insert(bytes.end(), dataBytes, 0x5a);
    while (bytes.size() % 4) bytes.push_back(0);
    header.Length = (DWORD)bytes.size() + 4;
    bytes.insert(bytes.end(), (BYTE*)&header.Length, (BYTE*)&header.Length + 4);
    memcpy(bytes.data(), &header, sizeof(header));
    return bytes;
}

// The test source's key under the log's Eventlog key, with message-file
// values (REG_EXPAND_SZ; null leaves a value out).
inline std::string SourceKey(const char* logName, const char* source) {
    return std::string("SYSTEM\\CurrentControlSet\\Services\\Eventlog\\") + logName + "\\" + source;
}

inline bool RegisterSource(const char* logName, const char* source, const char* eventFile, const char* parameterFile) {
    HKEY key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, SourceKey(logName, source).c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                        nullptr, &key, nullptr) != ERROR_SUCCESS)
        return false;
    bool ok = true;
    if (eventFile)
        ok &= RegSetValueExA(key, "EventMessageFile", 0, REG_EXPAND_SZ, (const BYTE*)eventFile,
                             (DWORD)strlen(eventFile) + 1) == ERROR_SUCCESS;
    if (parameterFile)
        ok &= RegSetValueExA(key, "ParameterMessageFile", 0, REG_EXPAND_SZ, (const BYTE*)parameterFile,
                             (DWORD)strlen(parameterFile) + 1) == ERROR_SUCCESS;
    RegCloseKey(key);
    return ok;
}

inline void UnregisterSource(const char* logName, const char* source) {
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, SourceKey(logName, source).c_str());
}

// Points %VESPLIN_EVENTMSG% at the message DLL beside the running program
// and %VESPLIN_EVENTMSG_DIR% at its folder; false when the DLL isn't there.
inline bool SetMessageDllVariables() {
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, path, sizeof(path) - 32);
    char* slash = strrchr(path, '\\');
    if (length == 0 || !slash) return false;
    *slash = '\0';
    SetEnvironmentVariableA("VESPLIN_EVENTMSG_DIR", path);
    SetEnvironmentVariableA("VESPLIN_EVENTMSG_DIR1", path);
    strcat(path, "\\vesplin_eventmsg.dll");
    SetEnvironmentVariableA("VESPLIN_EVENTMSG", path);
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

// Registers the test sources of the System log: VesplinTestSource with both
// message files, and two whose EventMessageFile names the DLL in a value of
// 64 bytes (the most that is read) and of 65.
inline const char kTestSource[] = "VesplinTestSource";
inline const char kValue64Source[] = "VesplinValue64";
inline const char kValue65Source[] = "VesplinValue65";
inline std::string PaddedDllValue(size_t bytes) {
    // "\\." steps pad the path without changing it; the variable's name sets the parity.
    const std::string tail = "\\vesplin_eventmsg.dll";
    std::string value = (bytes - 1 - tail.size()) % 2 ? "%VESPLIN_EVENTMSG_DIR1%" : "%VESPLIN_EVENTMSG_DIR%";
    while (value.size() + tail.size() + 1 < bytes) value += "\\.";
    return value + tail;
}
inline bool RegisterTestSources() {
    return SetMessageDllVariables() && RegisterSource("System", kTestSource, "%VESPLIN_EVENTMSG%", "%VESPLIN_EVENTMSG%") &&
           RegisterSource("System", kValue64Source, PaddedDllValue(64).c_str(), nullptr) &&
           RegisterSource("System", kValue65Source, PaddedDllValue(65).c_str(), nullptr);
}
inline void UnregisterTestSources() {
    UnregisterSource("System", kTestSource);
    UnregisterSource("System", kValue64Source);
    UnregisterSource("System", kValue65Source);
}

// A fresh Logger and Config (log level 2, no log file) for one test; the
// previous ones come back afterwards.
struct LogCapture {
    Config* savedConfig = theConfig;
    Logger* savedLogger = theLogger;
    int savedLevel = GetLogLevel();
    LogCapture() {
        theConfig = new Config(nullptr);
        theConfig->settings.logToFile = 0;
        theConfig->settings.logLevel = 2;
        theLogger = new Logger();
        ApplyLogSettings(&theConfig->settings);
    }
    ~LogCapture() {
        delete theLogger;
        delete theConfig;
        theLogger = savedLogger;
        theConfig = savedConfig;
        SetLogLevel(savedLevel);
    }
};

// The texts of the Logger's lines, without their date and time.
inline std::vector<std::string> LoggedTexts(std::vector<int>* levels = nullptr) {
    std::vector<std::string> texts;
    int count = theLogger->GetLineCount();
    for (int i = 0; i < count; i++) {
        char line[LOG_LINE_SIZE];
        int level = 0;
        if (!theLogger->CopyLine(i, line, sizeof(line), &level)) continue;
        const char* text = strchr(line, ' ');
        text = text ? strchr(text + 1, ' ') : nullptr;
        texts.push_back(text ? text + 1 : line);
        if (levels) levels->push_back(level);
    }
    return texts;
}

inline int CountLogged(const std::string& text) {
    int found = 0;
    for (const std::string& line : LoggedTexts())
        if (line == text) found++;
    return found;
}

// Waits until text has been logged; false after timeoutMs.
inline bool WaitForLogged(const std::string& text, int timeoutMs = 5000) {
    for (int waited = 0; waited < timeoutMs; waited += 10) {
        if (CountLogged(text) > 0) return true;
        Sleep(10);
    }
    return false;
}

}  // namespace fakelog
