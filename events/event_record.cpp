// One classic event-log record turned into log lines: type name, generated
// time, insertion strings, and the description from the source's message files.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include "events/events.h"
#include "log/log.h"

// Inserts beyond the copied strings; zero-filled so that a message reading one
// as a wide string also finds a terminator.
static char gEmptyInsert[4];

// Keep whole-record descriptions only when they fit one line with room to spare.
#define DESCRIPTION_LOG_LIMIT 460
// Message-file values longer than this count as missing.
#define MESSAGE_FILE_VALUE_LIMIT 64

void EventTypeName(int type, char* out, size_t outSize) {
    const char* name = "";
    switch (type) {
    case EVENTLOG_ERROR_TYPE: name = "Error"; break;
    case EVENTLOG_WARNING_TYPE: name = "Warning"; break;
    case EVENTLOG_INFORMATION_TYPE: name = "Information"; break;
    case EVENTLOG_AUDIT_SUCCESS: name = "Audit success"; break;
    case EVENTLOG_AUDIT_FAILURE: name = "Audit failure"; break;
    default: break;
    }
    if (outSize) snprintf(out, outSize, "%s", name);
}

void FormatEventTime(DWORD timeGenerated, char* out, size_t outSize) {
    if (!outSize) return;
    out[0] = '\0';
    time_t when = (time_t)timeGenerated;
    // A value the standard library can't represent comes back negative and
    // fails the conversion: the text stays empty.
    if (when < 0) return;
    struct tm* local = localtime(&when);
    if (!local) return;
    snprintf(out, outSize, "%d-%02d-%02d %02d:%02d:%02d", local->tm_year + 1900, local->tm_mon + 1, local->tm_mday,
             local->tm_hour, local->tm_min, local->tm_sec);
}

// Reads a message-file value of the source's registry key into out (512
// bytes). false when the key or value is missing, not a string, or longer
// than 64 bytes.
static bool ReadSourceValue(const char* logName, const char* sourceName, const char* valueName, char* out) {
    out[0] = '\0';
    char keyPath[512];
    int used = snprintf(keyPath, sizeof(keyPath), "SYSTEM\\CurrentControlSet\\Services\\Eventlog\\%s\\%s", logName,
                        sourceName);
    // A cut path would name some other key.
    if (used < 0 || used >= (int)sizeof(keyPath)) return false;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return false;
    memset(out, 0, EVENT_TEXT_SIZE);
    DWORD type = 0;
    DWORD size = MESSAGE_FILE_VALUE_LIMIT;
    LONG status = RegQueryValueExA(key, valueName, nullptr, &type, reinterpret_cast<BYTE*>(out), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) {
        out[0] = '\0';
        return false;
    }
    // The stored string need not be terminated.
    out[size < MESSAGE_FILE_VALUE_LIMIT ? size : MESSAGE_FILE_VALUE_LIMIT] = '\0';
    return out[0] != '\0';
}

// Loads a message file as data only (none of its code runs); null when the
// expanded name is too long or the file doesn't load, for instance a list of
// several modules.
static HMODULE LoadMessageFile(const char* value) {
    char expanded[EVENT_TEXT_SIZE];
    DWORD length = ExpandEnvironmentStringsA(value, expanded, sizeof(expanded));
    if (length == 0 || length > sizeof(expanded)) return nullptr;
    return LoadLibraryExA(expanded, nullptr, LOAD_LIBRARY_AS_DATAFILE);
}

static bool IsParameterInsert(const char* text) {
    return text[0] == '%' && text[1] == '%' && text[2] != '\0';
}

void ExpandParameterInserts(const char* logName, const char* sourceName, int count, char** strings) {
    if (count >= EVENT_INSERT_SLOTS) return;
    char value[EVENT_TEXT_SIZE];
    if (!ReadSourceValue(logName, sourceName, "ParameterMessageFile", value)) return;
    HMODULE module = LoadMessageFile(value);
    if (!module) return;
    for (int i = 0; i < count; i++) {
        char* text = strings[i];
        if (!text || !IsParameterInsert(text)) continue;
        char digits[EVENT_TEXT_SIZE];
        snprintf(digits, sizeof(digits), "%s", text + 2);
        char message[EVENT_TEXT_SIZE];
        DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_FROM_SYSTEM |
                                          FORMAT_MESSAGE_IGNORE_INSERTS,
                                      module, (DWORD)atoi(digits), 0, message, sizeof(message), nullptr);
        if (length == 0) continue;
        message[sizeof(message) - 1] = '\0';
        snprintf(text, EVENT_TEXT_SIZE, "%s", message);
    }
    FreeLibrary(module);
}

void GetEventDescription(const char* logName, const char* sourceName, DWORD eventId, char** args, char* out,
                         size_t outSize) {
    if (!outSize) return;
    out[0] = '\0';
    char value[EVENT_TEXT_SIZE];
    if (!ReadSourceValue(logName, sourceName, "EventMessageFile", value)) return;
    HMODULE module = LoadMessageFile(value);
    DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ARGUMENT_ARRAY;
    if (module) flags |= FORMAT_MESSAGE_FROM_HMODULE;
    DWORD length = FormatMessageA(flags, module, eventId, 0, out, (DWORD)outSize, reinterpret_cast<va_list*>(args));
    if (length == 0) out[0] = '\0';
    out[outSize - 1] = '\0';
    if (module) FreeLibrary(module);
}

DWORD CheckEventRecordLength(const void* data, DWORD available) {
    if (available < sizeof(EVENTLOGRECORD)) return 0;
    EVENTLOGRECORD header;
    memcpy(&header, data, sizeof(header));
    if (header.Length < sizeof(EVENTLOGRECORD) || header.Length > available) return 0;
    return header.Length;
}

void ReadEventInserts(const void* record, DWORD length, EventInserts* inserts) {
    memset(inserts->slots, 0, sizeof(inserts->slots));
    for (int i = 0; i < EVENT_INSERT_ARGS; i++) inserts->args[i] = gEmptyInsert;
    inserts->count = 0;
    inserts->hasParameterInserts = 0;
    if (length < sizeof(EVENTLOGRECORD)) return;
    EVENTLOGRECORD header;
    memcpy(&header, record, sizeof(header));
    // With 20 strings or more every insert stays empty.
    if (header.NumStrings >= EVENT_INSERT_SLOTS) return;
    // Strings begin past the fixed part; an offset into it or past the end is no string at all.
    if (header.StringOffset < sizeof(EVENTLOGRECORD)) return;
    const char* bytes = static_cast<const char*>(record);
    DWORD position = header.StringOffset;
    for (int i = 0; i < header.NumStrings && position < length; i++) {
        const char* text = bytes + position;
        DWORD room = length - position;
        const char* end = static_cast<const char*>(memchr(text, 0, room));
        DWORD textLength = end ? (DWORD)(end - text) : room;
        DWORD copied = textLength < EVENT_TEXT_SIZE - 1 ? textLength : EVENT_TEXT_SIZE - 1;
        memcpy(inserts->slots[i], text, copied);
        inserts->args[i] = inserts->slots[i];
        inserts->count = i + 1;
        if (copied >= 3 && IsParameterInsert(inserts->slots[i])) inserts->hasParameterInserts = 1;
        // An unterminated string runs to the record's end: it is the last one.
        position += textLength + 1;
    }
}

bool HandleEventRecord(const char* logName, const void* record, DWORD length) {
    if (length < sizeof(EVENTLOGRECORD)) return false;
    EVENTLOGRECORD header;
    memcpy(&header, record, sizeof(header));
    const char* source = static_cast<const char*>(record) + sizeof(EVENTLOGRECORD);
    if (!memchr(source, 0, length - sizeof(EVENTLOGRECORD))) return false;

    char typeName[64];
    char timeText[32];
    EventTypeName(header.EventType, typeName, sizeof(typeName));
    FormatEventTime(header.TimeGenerated, timeText, sizeof(timeText));

    EventInserts inserts;
    ReadEventInserts(record, length, &inserts);
    if (inserts.hasParameterInserts) ExpandParameterInserts(logName, source, inserts.count, inserts.args);

    char description[EVENT_TEXT_SIZE];
    GetEventDescription(logName, source, header.EventID, inserts.args, description, sizeof(description));

    char line[EVENT_TEXT_SIZE];
    snprintf(line, sizeof(line), "%s Event, %02u - %s, Event: 0x%08X,  Source: %s (Generated time: %s)\n", logName,
             (unsigned)header.RecordNumber, typeName, (unsigned)header.EventID, source, timeText);
    LogMessage(line, LOG_INFO);
    size_t descriptionLength = strlen(description);
    if (descriptionLength > 0 && descriptionLength < DESCRIPTION_LOG_LIMIT) {
        snprintf(line, sizeof(line), "%s Event, %02u - Description: %s\n ", logName, (unsigned)header.RecordNumber,
                 description);
        LogMessage(line, LOG_INFO);
    }
    return true;
}
