// What the system's own records tell about a sleep: the Power-Troubleshooter
// record of each wake, and the System records that explain a sleep that never
// came back. Everything here reads rendered event XML without trusting it.
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "events/events.h"
#include "power/power.h"

static const char kPowerTroubleshooter[] = "Microsoft-Windows-Power-Troubleshooter";
static const char kKernelPower[] = "Microsoft-Windows-Kernel-Power";

// ---------------------------------------------------------------------------
// Reading rendered XML.

static bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

static const char* SkipSpaces(const char* p) {
    while (IsSpace(*p)) p++;
    return p;
}

// The next start tag "<element" at or after from, pointing just past the name;
// null when there is none. "<DataItem" is not a "<Data" tag.
static const char* FindStartTag(const char* from, const char* element) {
    size_t length = strlen(element);
    for (const char* p = strchr(from, '<'); p; p = strchr(p + 1, '<')) {
        if (strncmp(p + 1, element, length) != 0) continue;
        char next = p[1 + length];
        if (IsSpace(next) || next == '>' || next == '/') return p + 1 + length;
    }
    return nullptr;
}

// The '>' that closes a start tag whose attributes begin at attrs; a '>'
// inside a quoted value does not count. null when the tag is cut short.
static const char* EndOfTag(const char* attrs) {
    for (const char* p = attrs; *p; p++) {
        if (*p == '>') return p;
        if (*p == '\'' || *p == '"') {
            p = strchr(p + 1, *p);
            if (!p) return nullptr;
        }
    }
    return nullptr;
}

// The value of attribute name in the start tag attrs..tagEnd: its first
// character, with its quote in *quote; null when absent or malformed.
static const char* FindAttribute(const char* attrs, const char* tagEnd, const char* name, char* quote) {
    size_t length = strlen(name);
    const char* p = attrs;
    while (p < tagEnd) {
        p = SkipSpaces(p);
        const char* nameStart = p;
        while (p < tagEnd && *p != '=' && !IsSpace(*p) && *p != '/') p++;
        size_t nameLength = (size_t)(p - nameStart);
        if (nameLength == 0) return nullptr;  // a stray '/' or the tag's end
        p = SkipSpaces(p);
        if (*p != '=') return nullptr;
        p = SkipSpaces(p + 1);
        if (*p != '\'' && *p != '"') return nullptr;
        const char* close = strchr(p + 1, *p);
        if (!close || close > tagEnd) return nullptr;
        if (nameLength == length && strncmp(nameStart, name, length) == 0) {
            *quote = *p;
            return p + 1;
        }
        p = close + 1;
    }
    return nullptr;
}

// Copies length characters of text into out with the five XML entities
// unescaped; any other '&' is kept as it is. Always terminated.
static void CopyUnescaped(const char* text, size_t length, char* out, size_t outSize) {
    static const struct {
        const char* entity;
        char c;
    } kEntities[] = {{"&lt;", '<'}, {"&gt;", '>'}, {"&amp;", '&'}, {"&quot;", '"'}, {"&apos;", '\''}};
    size_t used = 0;
    for (size_t i = 0; i < length && used + 1 < outSize;) {
        char c = text[i];
        size_t step = 1;
        if (c == '&') {
            for (const auto& e : kEntities) {
                size_t n = strlen(e.entity);
                if (n <= length - i && strncmp(text + i, e.entity, n) == 0) {
                    c = e.c;
                    step = n;
                    break;
                }
            }
        }
        out[used++] = c;
        i += step;
    }
    out[used] = '\0';
}

// The text of the element whose start tag closes at tagEnd. A self-closing
// element is empty; any other needs its end tag right after its text.
static bool CopyElementText(const char* tagEnd, const char* element, char* out, size_t outSize) {
    out[0] = '\0';
    if (tagEnd[-1] == '/') return true;
    const char* text = tagEnd + 1;
    // Element text holds no '<' in well-formed XML: the first one must close it.
    const char* close = strchr(text, '<');
    if (!close || close[1] != '/') return false;
    size_t length = strlen(element);
    if (strncmp(close + 2, element, length) != 0) return false;
    if (*SkipSpaces(close + 2 + length) != '>') return false;
    CopyUnescaped(text, (size_t)(close - text), out, outSize);
    return true;
}

bool ReadEventDataItem(const char* xml, const char* name, char* out, size_t outSize) {
    if (!out || outSize == 0) return false;
    out[0] = '\0';
    if (!xml || !name || !name[0]) return false;
    size_t length = strlen(name);
    for (const char* tag = FindStartTag(xml, "Data"); tag; tag = FindStartTag(tag, "Data")) {
        const char* tagEnd = EndOfTag(tag);
        if (!tagEnd) return false;
        char quote = 0;
        const char* value = FindAttribute(tag, tagEnd, "Name", &quote);
        if (value && strncmp(value, name, length) == 0 && value[length] == quote) {
            return CopyElementText(tagEnd, "Data", out, outSize);
        }
        tag = tagEnd;
    }
    return false;
}

// The value of attribute of the first element tag, unescaped; false when absent.
static bool ReadTagAttribute(const char* xml, const char* element, const char* attribute, char* out, size_t outSize) {
    out[0] = '\0';
    const char* tag = FindStartTag(xml, element);
    const char* tagEnd = tag ? EndOfTag(tag) : nullptr;
    if (!tagEnd) return false;
    char quote = 0;
    const char* value = FindAttribute(tag, tagEnd, attribute, &quote);
    if (!value) return false;
    CopyUnescaped(value, (size_t)(strchr(value, quote) - value), out, outSize);
    return true;
}

// An unsigned number in decimal or "0x" hex, spaces around allowed; false for
// anything else and for a value above limit.
static bool ParseUnsigned(const char* text, unsigned long long limit, unsigned long long* value) {
    const char* p = SkipSpaces(text);
    unsigned base = 10;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        base = 16;
        p += 2;
    }
    unsigned long long result = 0;
    int digits = 0;
    for (;; p++, digits++) {
        unsigned digit;
        if (*p >= '0' && *p <= '9') {
            digit = (unsigned)(*p - '0');
        } else if (base == 16 && *p >= 'a' && *p <= 'f') {
            digit = (unsigned)(*p - 'a' + 10);
        } else if (base == 16 && *p >= 'A' && *p <= 'F') {
            digit = (unsigned)(*p - 'A' + 10);
        } else {
            break;
        }
        if (digit > limit || result > (limit - digit) / base) return false;
        result = result * base + digit;
    }
    if (digits == 0 || *SkipSpaces(p) != '\0') return false;
    *value = result;
    return true;
}

#define EVENT_ITEM_SIZE 64  // numbers and times; a longer text is not one

// A numeric data item; false when missing, cut, not a number or above limit.
static bool ReadNumberItem(const char* xml, const char* name, unsigned long long limit, unsigned long long* value) {
    char text[EVENT_ITEM_SIZE];
    if (!ReadEventDataItem(xml, name, text, sizeof(text))) return false;
    if (strlen(text) >= sizeof(text) - 1) return false;  // may have been cut
    return ParseUnsigned(text, limit, value);
}

static bool IsEvent(const char* xml, const char* provider, unsigned long long id) {
    char name[128];
    char number[EVENT_ITEM_SIZE];
    if (!ReadTagAttribute(xml, "Provider", "Name", name, sizeof(name)) || strcmp(name, provider) != 0) return false;
    const char* tag = FindStartTag(xml, "EventID");
    const char* tagEnd = tag ? EndOfTag(tag) : nullptr;
    if (!tagEnd || !CopyElementText(tagEnd, "EventID", number, sizeof(number))) return false;
    unsigned long long value = 0;
    return ParseUnsigned(number, 0xFFFF, &value) && value == id;
}

// ---------------------------------------------------------------------------
// Times.

// A FILETIME as the query's text, to the millisecond (rounded down).
static void FormatQueryTime(long long fileTime, wchar_t* out, size_t outSize) {
    if (fileTime < 0) fileTime = 0;
    FILETIME ft;
    ft.dwLowDateTime = (DWORD)fileTime;
    ft.dwHighDateTime = (DWORD)((unsigned long long)fileTime >> 32);
    SYSTEMTIME st;
    if (!FileTimeToSystemTime(&ft, &st)) {
        memset(&st, 0, sizeof(st));
        st.wYear = 1601;
        st.wMonth = st.wDay = 1;
    }
    swprintf(out, outSize, L"%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", st.wYear, st.wMonth, st.wDay, st.wHour,
             st.wMinute, st.wSecond, st.wMilliseconds);
}

// The record's TimeCreated; false when it has none that reads.
static bool ReadCreatedTime(const char* xml, long long* fileTime) {
    char text[EVENT_ITEM_SIZE];
    return ReadTagAttribute(xml, "TimeCreated", "SystemTime", text, sizeof(text)) && ParseEventTime(text, fileTime);
}

// ---------------------------------------------------------------------------
// The wake record.

// System power state number (2 = S1 .. 5 = S4) as a sleep state index; -1 otherwise.
static int SleepStateFromPowerState(unsigned long long state) { return state >= 2 && state <= 5 ? (int)state - 2 : -1; }

bool ParseWakeDiagnosis(const char* xml, WakeDiagnosis* out) {
    memset(out, 0, sizeof(*out));
    out->targetState = out->effectiveState = -1;
    if (!xml || !IsEvent(xml, kPowerTroubleshooter, 1)) return false;
    const struct {
        const char* name;
        long long* value;
        bool* known;
    } kDurations[] = {
        {"SleepDuration", &out->sleepMs, &out->sleepMsKnown},
        {"WakeDuration", &out->wakeMs, &out->wakeMsKnown},
        {"BiosInitDuration", &out->firmwareMs, &out->firmwareMsKnown},
        {"DriverInitDuration", &out->driversMs, &out->driversMsKnown},
        {"HiberWriteDuration", &out->hiberWriteMs, &out->hiberWriteMsKnown},
        {"HiberReadDuration", &out->hiberReadMs, &out->hiberReadMsKnown},
        {"HiberPagesWritten", &out->hiberPages, &out->hiberPagesKnown},
    };
    unsigned long long value = 0;
    for (const auto& item : kDurations) {
        if (ReadNumberItem(xml, item.name, 0x7FFFFFFFFFFFFFFFULL, &value)) {
            *item.value = (long long)value;
            *item.known = true;
        }
    }
    if (ReadNumberItem(xml, "TargetState", 0xFFFFFFFFULL, &value)) out->targetState = SleepStateFromPowerState(value);
    if (ReadNumberItem(xml, "EffectiveState", 0xFFFFFFFFULL, &value)) {
        out->effectiveState = SleepStateFromPowerState(value);
    }
    out->targetStateKnown = out->targetState >= 0;
    out->effectiveStateKnown = out->effectiveState >= 0;
    if (ReadNumberItem(xml, "WakeSourceType", 0x7FFFFFFFULL, &value)) {
        out->wakeSourceType = (int)value;
        out->wakeSourceTypeKnown = true;
    }
    char text[EVENT_ITEM_SIZE];
    long long time = 0;
    if ((ReadEventDataItem(xml, "WakeTime", text, sizeof(text)) && ParseEventTime(text, &time)) ||
        ReadCreatedTime(xml, &time)) {
        out->wakeTime = time;
    }
    return true;
}

// Appends to the text in out, never past its end.
static void Append(char* out, size_t outSize, const char* format, ...) {
    size_t used = strlen(out);
    if (used + 1 >= outSize) return;
    va_list args;
    va_start(args, format);
    vsnprintf(out + used, outSize - used, format, args);
    va_end(args);
}

void FormatResumePhasesLine(const WakeDiagnosis* d, char* out, size_t outSize) {
    if (!out || outSize == 0) return;
    out[0] = '\0';
    if (!d) return;
    // Groups are joined by "; ", the parts inside a group by ", ".
    char resume[128] = "";
    if (d->firmwareMsKnown) Append(resume, sizeof(resume), "firmware %lld ms", d->firmwareMs);
    if (d->driversMsKnown) Append(resume, sizeof(resume), "%sdrivers %lld ms", resume[0] ? ", " : "", d->driversMs);
    if (d->wakeMsKnown) Append(resume, sizeof(resume), "%swhole resume %lld ms", resume[0] ? ", " : "", d->wakeMs);
    char transition[64] = "";
    if (d->sleepMsKnown) snprintf(transition, sizeof(transition), "sleep transition %lld ms", d->sleepMs);
    // Only a sleep that used the hibernation file has anything to say about it.
    char hibernation[136] = "";
    bool usedFile = (d->hiberWriteMsKnown && d->hiberWriteMs) || (d->hiberReadMsKnown && d->hiberReadMs) ||
                    (d->hiberPagesKnown && d->hiberPages);
    if (usedFile) {
        char parts[112] = "";
        if (d->hiberWriteMsKnown) Append(parts, sizeof(parts), "written in %lld ms", d->hiberWriteMs);
        if (d->hiberReadMsKnown)
            Append(parts, sizeof(parts), "%sread in %lld ms", parts[0] ? ", " : "", d->hiberReadMs);
        if (d->hiberPagesKnown) Append(parts, sizeof(parts), "%s%lld pages", parts[0] ? ", " : "", d->hiberPages);
        snprintf(hibernation, sizeof(hibernation), "hibernation file %s", parts);
    }
    const char* groups[] = {resume, transition, hibernation};
    for (const char* group : groups) {
        if (!group[0]) continue;
        Append(out, outSize, "%s%s", out[0] ? "; " : "Resume phases: ", group);
    }
}

// ---------------------------------------------------------------------------
// A sleep that never came back.

// Bits of LostDiagnosis::seen.
enum {
    LOST_SEEN_CRASH = 1,        // Kernel-Power 41 with a bug check
    LOST_SEEN_ASLEEP = 2,       // Kernel-Power 41 with a sleep in progress
    LOST_SEEN_BUTTON = 4,       // Kernel-Power 41 after the power button was held
    LOST_SEEN_WAKE = 8,         // Power-Troubleshooter 1 or Kernel-Power 107
    LOST_SEEN_SLEEP_ENTRY = 16  // Kernel-Power 42
};

static const struct {
    const char* id;
    const char* text;
} kLostReasons[] = {
    {"unknown", "unknown, the system log holds no record of it"},
    {"crashed", "the machine crashed"},
    {"power_lost_asleep", "power was lost or the machine was reset while asleep"},
    {"power_button", "the machine was turned off with the power button (it hung)"},
    {"hung_after_wake", "the machine woke but the program never got control back"},
    {"hung_entering", "the machine never began to sleep"},
};
static const char kLostRecordsMissing[] = "unknown, the system's records are not available";
static const char kLostLinePrefix[] = "Why the cycle never came back: ";

static bool IsKnownLostReason(int reason) {
    return reason >= 0 && reason < (int)(sizeof(kLostReasons) / sizeof(kLostReasons[0]));
}

const char* LostReasonId(int reason) { return kLostReasons[IsKnownLostReason(reason) ? reason : LOST_UNKNOWN].id; }

void BeginLostDiagnosis(LostDiagnosis* state) {
    memset(state, 0, sizeof(*state));
    state->reason = LOST_UNKNOWN;
}

// A flag item: non-zero, or "true" as older versions write it.
static bool IsFlagSet(const char* xml, const char* name) {
    char text[EVENT_ITEM_SIZE];
    if (!ReadEventDataItem(xml, name, text, sizeof(text))) return false;
    if (_stricmp(text, "true") == 0) return true;
    unsigned long long value = 0;
    return strlen(text) < sizeof(text) - 1 && ParseUnsigned(text, ~0ULL, &value) && value != 0;
}

static void AddUnexpectedRestart(LostDiagnosis* state, const char* xml) {
    unsigned long long code = 0;
    // A bug check code is 32 bits; anything wider is not believed.
    if (ReadNumberItem(xml, "BugcheckCode", 0xFFFFFFFFULL, &code) && code != 0) {
        // The first crash after the sleep started is the one that ended it.
        if (!(state->seen & LOST_SEEN_CRASH)) {
            snprintf(state->bugcheck, sizeof(state->bugcheck), "0x%08X", (unsigned)code);
            unsigned long long parameter = 0;
            if (ReadNumberItem(xml, "BugcheckParameter1", ~0ULL, &parameter)) {
                snprintf(state->bugcheckParameter1, sizeof(state->bugcheckParameter1), "0x%llX", parameter);
            }
        }
        state->seen |= LOST_SEEN_CRASH;
    }
    if (IsFlagSet(xml, "SleepInProgress")) state->seen |= LOST_SEEN_ASLEEP;
    if (IsFlagSet(xml, "PowerButtonTimestamp")) state->seen |= LOST_SEEN_BUTTON;
}

void AddLostEvidence(LostDiagnosis* state, const char* xml, long long sleepStartFileTime) {
    if (!state || !xml) return;
    // A record that can't be placed after the sleep start says nothing about this sleep.
    long long created = 0;
    if (!ReadCreatedTime(xml, &created) || created < sleepStartFileTime) return;
    if (IsEvent(xml, kKernelPower, 41)) {
        AddUnexpectedRestart(state, xml);
    } else if (IsEvent(xml, kKernelPower, 42)) {
        state->seen |= LOST_SEEN_SLEEP_ENTRY;
    } else if (IsEvent(xml, kKernelPower, 107) || IsEvent(xml, kPowerTroubleshooter, 1)) {
        state->seen |= LOST_SEEN_WAKE;
    }
}

void EndLostDiagnosis(LostDiagnosis* state, bool queryWorked) {
    state->recordsRead = queryWorked;
    unsigned seen = state->seen;
    if (seen & LOST_SEEN_CRASH) {
        state->reason = LOST_CRASHED;
    } else if (seen & LOST_SEEN_ASLEEP) {
        state->reason = LOST_POWER_LOST_ASLEEP;
    } else if (seen & LOST_SEEN_BUTTON) {
        state->reason = LOST_POWER_BUTTON;
    } else if (seen & LOST_SEEN_WAKE) {
        state->reason = LOST_HUNG_AFTER_WAKE;
    } else if (queryWorked && !(seen & LOST_SEEN_SLEEP_ENTRY)) {
        state->reason = LOST_HUNG_ENTERING;
    } else {
        state->reason = LOST_UNKNOWN;
    }
    if (state->reason != LOST_CRASHED) state->bugcheck[0] = state->bugcheckParameter1[0] = '\0';
}

void FormatLostReasonLine(const LostDiagnosis* d, char* out, size_t outSize) {
    if (!out || outSize == 0) return;
    int reason = d && IsKnownLostReason(d->reason) ? d->reason : LOST_UNKNOWN;
    const char* text = kLostReasons[reason].text;
    if (reason == LOST_UNKNOWN && !(d && d->recordsRead)) text = kLostRecordsMissing;
    snprintf(out, outSize, "%s%s", kLostLinePrefix, text);
    if (reason == LOST_CRASHED && d->bugcheck[0]) {
        Append(out, outSize, ", bug check %s", d->bugcheck);
        if (d->bugcheckParameter1[0]) Append(out, outSize, " (parameter 1 %s)", d->bugcheckParameter1);
    }
}

// ---------------------------------------------------------------------------
// The query of the System log.

#define LOST_QUERY_BATCH 16
#define LOST_QUERY_WAIT_MS 2000  // for one batch of a local log
#define LOST_RENDER_FIRST (16 * 1024)

// Renders one record into *wide (grown as needed, *wideBytes its size less a
// spare terminator) and converts it into *text; false when it was skipped.
static bool RenderRecord(EVT_HANDLE event, WCHAR** wide, DWORD* wideBytes, char** text, size_t* textSize) {
    DWORD used = 0;
    DWORD properties = 0;
    if (!gEventApi.EvtRender(nullptr, event, EvtRenderEventXml, *wideBytes, *wide, &used, &properties)) {
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || used <= *wideBytes || used > LOST_QUERY_XML_LIMIT) {
            return false;
        }
        // One spare character: the rendering need not end in a terminator.
        WCHAR* grown = static_cast<WCHAR*>(realloc(*wide, used + 2 * sizeof(WCHAR)));
        if (!grown) return false;
        *wide = grown;
        *wideBytes = used + sizeof(WCHAR);
        used = 0;
        if (!gEventApi.EvtRender(nullptr, event, EvtRenderEventXml, *wideBytes, *wide, &used, &properties)) {
            return false;
        }
    }
    size_t capacity = *wideBytes / sizeof(WCHAR);
    size_t characters = wcsnlen(*wide, used / sizeof(WCHAR) < capacity ? used / sizeof(WCHAR) : capacity);
    // UTF-8 takes at most three bytes for each UTF-16 unit.
    size_t needed = characters * 3 + 1;
    if (needed > *textSize) {
        char* grown = static_cast<char*>(realloc(*text, needed));
        if (!grown) return false;
        *text = grown;
        *textSize = needed;
    }
    int bytes = characters ? WideCharToMultiByte(CP_UTF8, 0, *wide, (int)characters, *text, (int)*textSize - 1, nullptr,
                                                 nullptr)
                           : 0;
    (*text)[bytes > 0 ? bytes : 0] = '\0';
    return bytes > 0;
}

bool QueryLostDiagnosis(long long sleepStartFileTime, LostDiagnosis* out) {
    BeginLostDiagnosis(out);
    if (!gEventApi.EvtQuery || !gEventApi.EvtNext || !gEventApi.EvtRender || !gEventApi.EvtClose) {
        EndLostDiagnosis(out, false);
        return false;
    }
    wchar_t since[40];
    FormatQueryTime(sleepStartFileTime, since, sizeof(since) / sizeof(since[0]));
    wchar_t query[128];
    swprintf(query, sizeof(query) / sizeof(query[0]), L"*[System[TimeCreated[@SystemTime>='%ls']]]", since);
    EVT_HANDLE results = gEventApi.EvtQuery(nullptr, L"System", query, EvtQueryChannelPath | EvtQueryForwardDirection);
    if (!results) {
        EndLostDiagnosis(out, false);
        return false;
    }
    DWORD wideBytes = LOST_RENDER_FIRST;
    WCHAR* wide = static_cast<WCHAR*>(malloc(wideBytes + sizeof(WCHAR)));
    size_t textSize = 0;
    char* text = nullptr;
    bool worked = wide != nullptr;
    int records = 0;
    while (worked && records < LOST_QUERY_RECORD_LIMIT) {
        EVT_HANDLE batch[LOST_QUERY_BATCH];
        DWORD returned = 0;
        if (!gEventApi.EvtNext(results, LOST_QUERY_BATCH, batch, LOST_QUERY_WAIT_MS, 0, &returned)) {
            worked = GetLastError() == ERROR_NO_MORE_ITEMS;
            break;
        }
        if (returned == 0) break;
        if (returned > LOST_QUERY_BATCH) returned = LOST_QUERY_BATCH;
        for (DWORD i = 0; i < returned; i++) {
            // Past the limit the rest of the batch is only closed.
            if (records < LOST_QUERY_RECORD_LIMIT && RenderRecord(batch[i], &wide, &wideBytes, &text, &textSize)) {
                AddLostEvidence(out, text, sleepStartFileTime);
            }
            records++;
            gEventApi.EvtClose(batch[i]);
        }
    }
    free(text);
    free(wide);
    gEventApi.EvtClose(results);
    EndLostDiagnosis(out, worked);
    return worked;
}
