// Reads the results file back for the run report: a small JSON reader of the
// program's own records, one object a line. Every text lands in a fixed
// buffer, cut to fit, so a damaged or hostile file gives bad lines, never an
// overrun.
#include <limits.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include "results/results.h"

namespace {

const int MAX_DEPTH = 32;  // nesting of skipped values; deeper is not a record of ours

struct Cursor {
    const char* p;
};

void SkipSpace(Cursor* c) {
    while (*c->p == ' ' || *c->p == '\t' || *c->p == '\r' || *c->p == '\n') c->p++;
}

bool Take(Cursor* c, char ch) {
    SkipSpace(c);
    if (*c->p != ch) return false;
    c->p++;
    return true;
}

bool TakeWord(Cursor* c, const char* word) {
    SkipSpace(c);
    size_t length = strlen(word);
    if (strncmp(c->p, word, length) != 0) return false;
    c->p += length;
    return true;
}

bool ReadHex4(Cursor* c, unsigned* unit) {
    unsigned value = 0;
    for (int i = 0; i < 4; i++) {
        char ch = c->p[i];
        int digit = ch >= '0' && ch <= '9' ? ch - '0'
                    : ch >= 'a' && ch <= 'f' ? ch - 'a' + 10
                    : ch >= 'A' && ch <= 'F' ? ch - 'A' + 10
                                             : -1;
        if (digit < 0) return false;  // also stops at the terminator
        value = value * 16 + (unsigned)digit;
    }
    c->p += 4;
    *unit = value;
    return true;
}

// A string into out, cut to fit and terminated; out null only checks it.
bool ReadString(Cursor* c, char* out, size_t outSize) {
    SkipSpace(c);
    if (*c->p != '"') return false;
    c->p++;
    size_t used = 0;
    for (;;) {
        unsigned char ch = (unsigned char)*c->p;
        if (ch < 0x20) return false;  // the terminator of a cut line, or a raw control byte
        c->p++;
        if (ch == '"') break;
        if (ch == '\\') {
            char escape = *c->p;
            if (escape == '\0') return false;
            c->p++;
            switch (escape) {
            case '"':
            case '\\':
            case '/': ch = (unsigned char)escape; break;
            case 'b': ch = '\b'; break;
            case 'f': ch = '\f'; break;
            case 'n': ch = '\n'; break;
            case 'r': ch = '\r'; break;
            case 't': ch = '\t'; break;
            case 'u': {
                unsigned unit;
                if (!ReadHex4(c, &unit)) return false;
                // A surrogate pair is one character, so one '?'.
                if (unit >= 0xD800 && unit < 0xDC00 && c->p[0] == '\\' && c->p[1] == 'u') {
                    Cursor low = {c->p + 2};
                    unsigned second;
                    if (ReadHex4(&low, &second) && second >= 0xDC00 && second < 0xE000) c->p = low.p;
                }
                // A NUL would end the text early.
                ch = unit > 0 && unit < 0x100 ? (unsigned char)unit : '?';
                break;
            }
            default: return false;
            }
        }
        if (out && used + 1 < outSize) out[used++] = (char)ch;
    }
    if (out && outSize > 0) out[used] = '\0';
    return true;
}

// An integer; a fraction or exponent is read past and dropped. Saturates.
bool ReadNumber(Cursor* c, long long* value) {
    SkipSpace(c);
    const char* p = c->p;
    bool negative = *p == '-';
    if (negative) p++;
    if (*p < '0' || *p > '9') return false;
    long long v = 0;
    for (; *p >= '0' && *p <= '9'; p++) v = v > (LLONG_MAX - 9) / 10 ? LLONG_MAX : v * 10 + (*p - '0');
    if (*p == '.') {
        p++;
        if (*p < '0' || *p > '9') return false;
        while (*p >= '0' && *p <= '9') p++;
    }
    if (*p == 'e' || *p == 'E') {
        p++;
        if (*p == '+' || *p == '-') p++;
        if (*p < '0' || *p > '9') return false;
        while (*p >= '0' && *p <= '9') p++;
    }
    c->p = p;
    *value = negative ? -v : v;
    return true;
}

bool SkipValue(Cursor* c, int depth);

// Reads the value of one member whose key was read.
typedef bool (*MemberReader)(Cursor* c, const char* key, void* context);

// The members of an object after its '{'.
bool ReadMembers(Cursor* c, MemberReader member, void* context) {
    if (Take(c, '}')) return true;
    for (;;) {
        // Known keys are shorter than this; a longer key cut to fit matches none.
        char key[32];
        if (!ReadString(c, key, sizeof(key)) || !Take(c, ':') || !member(c, key, context)) return false;
        if (Take(c, ',')) continue;
        return Take(c, '}');
    }
}

bool SkipMember(Cursor* c, const char*, void* context) { return SkipValue(c, *(int*)context + 1); }

bool SkipValue(Cursor* c, int depth) {
    if (depth > MAX_DEPTH) return false;
    SkipSpace(c);
    long long number;
    switch (*c->p) {
    case '"': return ReadString(c, nullptr, 0);
    case '{':
        c->p++;
        return ReadMembers(c, SkipMember, &depth);
    case '[':
        c->p++;
        if (Take(c, ']')) return true;
        for (;;) {
            if (!SkipValue(c, depth + 1)) return false;
            if (Take(c, ',')) continue;
            return Take(c, ']');
        }
    case 't': return TakeWord(c, "true");
    case 'f': return TakeWord(c, "false");
    case 'n': return TakeWord(c, "null");
    default: return ReadNumber(c, &number);
    }
}

// A number or null (-1), clamped to the field's range.
bool ReadNullableInt(Cursor* c, long long* value) {
    if (TakeWord(c, "null")) {
        *value = -1;
        return true;
    }
    return ReadNumber(c, value);
}

bool ReadNullableText(Cursor* c, char* out, size_t outSize) {
    if (TakeWord(c, "null")) {
        out[0] = '\0';
        return true;
    }
    return ReadString(c, out, outSize);
}

enum FieldKind { FIELD_TEXT, FIELD_INT, FIELD_LONG };

struct Field {
    const char* key;
    FieldKind kind;
    size_t offset;
    size_t size;  // of a text field
};

#define TEXT_FIELD(key, member) {key, FIELD_TEXT, offsetof(ReportRecord, member), sizeof(ReportRecord::member)}
#define NUMBER_FIELD(key, kind, member) {key, kind, offsetof(ReportRecord, member), 0}

const Field RECORD_FIELDS[] = {
    NUMBER_FIELD("cycle", FIELD_INT, cycle),
    TEXT_FIELD("requested_state", requestedState),
    TEXT_FIELD("target_state", targetState),
    TEXT_FIELD("effective_state", effectiveState),
    TEXT_FIELD("entered_state", enteredState),
    TEXT_FIELD("fallback", fallback),
    NUMBER_FIELD("requested_sec", FIELD_INT, requestedSec),
    NUMBER_FIELD("measured_sec", FIELD_INT, measuredSec),
    NUMBER_FIELD("asleep_sec", FIELD_INT, asleepSec),
    TEXT_FIELD("asleep_source", asleepSource),
    TEXT_FIELD("verdict", verdict),
    TEXT_FIELD("wake_source", wakeSource),
    TEXT_FIELD("start_utc", startUtc),
    TEXT_FIELD("end_utc", endUtc),
    NUMBER_FIELD("error_code", FIELD_LONG, errorCode),
    TEXT_FIELD("lost_reason", lostReason),
    TEXT_FIELD("bugcheck", bugcheck),
};

const struct {
    const char* key;
    size_t offset;
} PHASE_FIELDS[] = {
    {"sleep_ms", offsetof(ReportPhases, sleepMs)},
    {"wake_ms", offsetof(ReportPhases, wakeMs)},
    {"firmware_ms", offsetof(ReportPhases, firmwareMs)},
    {"drivers_ms", offsetof(ReportPhases, driversMs)},
    {"hiber_write_ms", offsetof(ReportPhases, hiberWriteMs)},
    {"hiber_read_ms", offsetof(ReportPhases, hiberReadMs)},
    {"hiber_pages", offsetof(ReportPhases, hiberPages)},
};

bool ReadPhaseField(Cursor* c, const char* key, void* context) {
    ReportPhases* phases = (ReportPhases*)context;
    for (const auto& field : PHASE_FIELDS) {
        if (strcmp(key, field.key) == 0) return ReadNullableInt(c, (long long*)((char*)phases + field.offset));
    }
    int depth = 1;
    return SkipMember(c, key, &depth);
}

bool ReadPhases(Cursor* c, ReportRecord* r) {
    if (TakeWord(c, "null")) return true;
    if (!Take(c, '{')) return false;
    r->hasPhases = true;
    return ReadMembers(c, ReadPhaseField, &r->phases);
}

bool ReadRecordField(Cursor* c, const char* key, void* context) {
    ReportRecord* r = (ReportRecord*)context;
    if (strcmp(key, "phases") == 0) return ReadPhases(c, r);
    for (const Field& field : RECORD_FIELDS) {
        if (strcmp(key, field.key) != 0) continue;
        char* target = (char*)r + field.offset;
        if (field.kind == FIELD_TEXT) return ReadNullableText(c, target, field.size);
        long long value;
        if (!ReadNullableInt(c, &value)) return false;
        if (field.kind == FIELD_LONG) {
            *(long long*)target = value;
        } else {
            *(int*)target = value > INT_MAX ? INT_MAX : value < INT_MIN ? INT_MIN : (int)value;
        }
        return true;
    }
    int depth = 0;
    return SkipMember(c, key, &depth);
}

void ClearRecord(ReportRecord* r) {
    memset(r, 0, sizeof(*r));
    r->cycle = -1;
    r->requestedSec = -1;
    r->measuredSec = -1;
    r->asleepSec = -1;
    long long* phase = &r->phases.sleepMs;
    for (size_t i = 0; i < sizeof(r->phases) / sizeof(long long); i++) phase[i] = -1;
}

struct RecordList {
    ReportRecord* items;
    int count;
    int capacity;
};

// One line of the file: kept, counted bad, or (blank) passed over.
int TakeLine(RecordList* list, const char* line, bool tooLong, int* badLines) {
    Cursor blank = {line};
    SkipSpace(&blank);
    if (*blank.p == '\0' && !tooLong) return 0;
    ReportRecord record;
    if (tooLong || !ParseResultRecord(line, &record)) {
        (*badLines)++;
        return 0;
    }
    if (list->count == list->capacity) {
        int capacity = list->capacity ? list->capacity * 2 : 256;
        if (list->capacity > INT_MAX / 2 || (size_t)capacity > SIZE_MAX / sizeof(ReportRecord))
            return ERROR_NOT_ENOUGH_MEMORY;
        void* grown = realloc(list->items, (size_t)capacity * sizeof(ReportRecord));
        if (!grown) return ERROR_NOT_ENOUGH_MEMORY;
        list->items = (ReportRecord*)grown;
        list->capacity = capacity;
    }
    list->items[list->count++] = record;
    return 0;
}

}  // namespace

bool ParseResultRecord(const char* line, ReportRecord* out) {
    if (!line) return false;
    ReportRecord r;
    ClearRecord(&r);
    Cursor c = {line};
    // A byte-order mark some editors put before the first line.
    if (strncmp(c.p, "\xEF\xBB\xBF", 3) == 0) c.p += 3;
    if (!Take(&c, '{')) return false;
    if (!ReadMembers(&c, ReadRecordField, &r)) return false;
    SkipSpace(&c);
    if (*c.p != '\0' || r.cycle < 0 || !r.verdict[0]) return false;
    *out = r;
    return true;
}

int ReadResultsFile(const char* path, ReportRecord** records, int* count, int* badLines) {
    *records = nullptr;
    *count = 0;
    *badLines = 0;
    if (!path || !path[0]) return ERROR_INVALID_NAME;
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) return (int)GetLastError();
    RecordList list = {nullptr, 0, 0};
    // Twice the longest line the program writes; anything longer is not a record.
    static const size_t LINE_MAX_BYTES = RESULT_LINE_SIZE * 2;
    char* line = (char*)malloc(LINE_MAX_BYTES);
    char chunk[16384];
    size_t used = 0;
    bool tooLong = false;
    int error = line ? 0 : ERROR_NOT_ENOUGH_MEMORY;
    while (error == 0) {
        DWORD got = 0;
        if (!ReadFile(file, chunk, sizeof(chunk), &got, nullptr)) {
            error = (int)GetLastError();
            break;
        }
        if (got == 0) break;
        for (DWORD i = 0; i < got && error == 0; i++) {
            if (chunk[i] != '\n') {
                if (used + 1 < LINE_MAX_BYTES)
                    line[used++] = chunk[i];
                else
                    tooLong = true;
                continue;
            }
            line[used] = '\0';
            error = TakeLine(&list, line, tooLong, badLines);
            used = 0;
            tooLong = false;
        }
    }
    // The last line without its line feed: whole or cut, it is judged as any other.
    if (error == 0 && (used > 0 || tooLong)) {
        line[used] = '\0';
        error = TakeLine(&list, line, tooLong, badLines);
    }
    free(line);
    CloseHandle(file);
    if (error != 0) {
        free(list.items);
        *badLines = 0;
        return error;
    }
    *records = list.items;
    *count = list.count;
    return 0;
}

void FreeResultRecords(ReportRecord* records) { free(records); }
