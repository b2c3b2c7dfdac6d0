// What the system's own records tell about a sleep: the Power-Troubleshooter
// record of each wake, and the System records that explain a sleep that never
// came back, from records read by ReadEventXml.
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "events/events.h"

static const char kPowerTroubleshooter[] = "Microsoft-Windows-Power-Troubleshooter";
static const char kKernelPower[] = "Microsoft-Windows-Kernel-Power";
static const char kEventLog[] = "EventLog";

// ---------------------------------------------------------------------------
// Items of a record read by ReadEventXml.

static bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

static const char* SkipSpaces(const char* p) {
    while (IsSpace(*p)) p++;
    return p;
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

// A numeric data item; false when missing, cut, not a number or above limit.
static bool ReadNumberItem(const EventXml* record, const char* name, unsigned long long limit,
                           unsigned long long* value) {
    const EventXmlItem* item = FindEventXmlItem(record, name);
    return item && !item->cut && ParseUnsigned(item->value, limit, value);
}

static bool IsEvent(const EventXml* record, const char* provider, long id) {
    return strcmp(record->provider, provider) == 0 && record->eventId == id;
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

// ---------------------------------------------------------------------------
// The wake record.

// System power state number (2 = S1 .. 5 = S4) as a sleep state index; -1 otherwise.
static int SleepStateFromPowerState(unsigned long long state) { return state >= 2 && state <= 5 ? (int)state - 2 : -1; }

bool ParseWakeDiagnosis(const EventXml* record, WakeDiagnosis* out) {
    memset(out, 0, sizeof(*out));
    out->targetState = out->effectiveState = -1;
    if (!record || !IsEvent(record, kPowerTroubleshooter, 1)) return false;
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
        if (ReadNumberItem(record, item.name, 0x7FFFFFFFFFFFFFFFULL, &value)) {
            *item.value = (long long)value;
            *item.known = true;
        }
    }
    if (ReadNumberItem(record, "TargetState", 0xFFFFFFFFULL, &value)) {
        out->targetState = SleepStateFromPowerState(value);
    }
    if (ReadNumberItem(record, "EffectiveState", 0xFFFFFFFFULL, &value)) {
        out->effectiveState = SleepStateFromPowerState(value);
    }
    out->targetStateKnown = out->targetState >= 0;
    out->effectiveStateKnown = out->effectiveState >= 0;
    if (ReadNumberItem(record, "WakeSourceType", 0x7FFFFFFFULL, &value)) {
        out->wakeSourceType = (int)value;
        out->wakeSourceTypeKnown = true;
    }
    const EventXmlItem* wakeTime = FindEventXmlItem(record, "WakeTime");
    long long time = 0;
    if (wakeTime && !wakeTime->cut && ParseEventTime(wakeTime->value, &time)) {
        out->wakeTime = time;
    } else if (record->timeCreatedKnown) {
        out->wakeTime = record->timeCreated;
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
    LOST_SEEN_SLEEP_ENTRY = 16, // Kernel-Power 42
    LOST_SEEN_RESTART = 32      // a restart report that could be read: Kernel-Power 41 with its items, EventLog 6008
};

// The Warning line's words for each LOST_ reason.
static const char* const kLostReasonTexts[] = {
    "unknown, the system log holds no record of it",
    "the machine crashed",
    "power was lost or the machine was reset while asleep",
    "the machine was turned off with the power button (it hung)",
    "the machine woke but the program never got control back",
    "the machine never began to sleep",
};
static const char kLostRecordsMissing[] = "unknown, the system's records are not available";
static const char kLostLinePrefix[] = "Why the cycle never came back: ";

static bool IsKnownLostReason(int reason) {
    return reason >= 0 && reason < (int)(sizeof(kLostReasonTexts) / sizeof(kLostReasonTexts[0]));
}


void BeginLostDiagnosis(LostDiagnosis* state) {
    memset(state, 0, sizeof(*state));
    state->reason = LOST_UNKNOWN;
}

// A flag item: non-zero, or "true" as older versions write it.
static bool IsFlagSet(const EventXml* record, const char* name) {
    const EventXmlItem* item = FindEventXmlItem(record, name);
    if (!item || item->cut) return false;
    unsigned long long value = 0;
    return _stricmp(item->value, "true") == 0 || (ParseUnsigned(item->value, ~0ULL, &value) && value != 0);
}

static void AddUnexpectedRestart(LostDiagnosis* state, const EventXml* record) {
    unsigned long long code = 0;
    // A bug check code is 32 bits; anything wider is not believed.
    if (ReadNumberItem(record, "BugcheckCode", 0xFFFFFFFFULL, &code) && code != 0) {
        // The first crash after the sleep started is the one that ended it.
        if (!(state->seen & LOST_SEEN_CRASH)) {
            snprintf(state->bugcheck, sizeof(state->bugcheck), "0x%08X", (unsigned)code);
            unsigned long long parameter = 0;
            if (ReadNumberItem(record, "BugcheckParameter1", ~0ULL, &parameter)) {
                snprintf(state->bugcheckParameter1, sizeof(state->bugcheckParameter1), "0x%llX", parameter);
            }
        }
        state->seen |= LOST_SEEN_CRASH;
    }
    const EventXmlItem* asleep = FindEventXmlItem(record, "SleepInProgress");
    if (asleep && !asleep->cut) state->seen |= LOST_SEEN_RESTART;
    if (IsFlagSet(record, "SleepInProgress")) state->seen |= LOST_SEEN_ASLEEP;
    if (IsFlagSet(record, "PowerButtonTimestamp")) state->seen |= LOST_SEEN_BUTTON;
}

void AddLostEvidence(LostDiagnosis* state, const EventXml* record, long long sleepStartFileTime) {
    if (!state || !record) return;
    // A record that can't be placed after the sleep start says nothing about this sleep.
    if (!record->timeCreatedKnown || record->timeCreated < sleepStartFileTime) return;
    if (IsEvent(record, kKernelPower, 41)) {
        AddUnexpectedRestart(state, record);
    } else if (IsEvent(record, kKernelPower, 42)) {
        state->seen |= LOST_SEEN_SLEEP_ENTRY;
    } else if (IsEvent(record, kKernelPower, 107) || IsEvent(record, kPowerTroubleshooter, 1)) {
        state->seen |= LOST_SEEN_WAKE;
    } else if (IsEvent(record, kEventLog, 6008)) {
        state->seen |= LOST_SEEN_RESTART;
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
    } else if (queryWorked && (seen & LOST_SEEN_RESTART) && !(seen & LOST_SEEN_SLEEP_ENTRY)) {
        // Only a restart the log reports, with no sleep entry before it, says
        // the sleep never began; an empty or unreadable log says nothing.
        state->reason = LOST_HUNG_ENTERING;
    } else {
        state->reason = LOST_UNKNOWN;
    }
    if (state->reason != LOST_CRASHED) state->bugcheck[0] = state->bugcheckParameter1[0] = '\0';
}

void FormatLostReasonLine(const LostDiagnosis* d, char* out, size_t outSize) {
    if (!out || outSize == 0) return;
    int reason = d && IsKnownLostReason(d->reason) ? d->reason : LOST_UNKNOWN;
    const char* text = kLostReasonTexts[reason];
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
// spare terminator); its length in characters in *chars. false when it was skipped.
static bool RenderRecord(EVT_HANDLE event, WCHAR** wide, DWORD* wideBytes, size_t* chars) {
    DWORD used = 0;
    DWORD properties = 0;
    if (!gEventApi.EvtRender(nullptr, event, EvtRenderEventXml, *wideBytes, *wide, &used, &properties)) {
        // A rendering past the reader's limit is still rendered whole: the
        // reader takes the items before its cut (a crash record's bug check).
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || used <= *wideBytes || used > EVENT_RENDER_LIMIT) {
            return false;
        }
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
    *chars = used / sizeof(WCHAR) < capacity ? used / sizeof(WCHAR) : capacity;
    return *chars > 0;
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
    // Some 23 KB of items, read one record at a time: kept off the stack.
    EventXml* record = static_cast<EventXml*>(malloc(sizeof(EventXml)));
    bool worked = wide != nullptr && record != nullptr;
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
            size_t chars = 0;
            // Past the limit, or once records can't be read, the rest of the batch is only closed.
            if (worked && records < LOST_QUERY_RECORD_LIMIT && RenderRecord(batch[i], &wide, &wideBytes, &chars)) {
                // Without the XML parser the log says nothing either way, not
                // "no record of sleep entry".
                if (ReadEventXml(wide, chars, record)) {
                    AddLostEvidence(out, record, sleepStartFileTime);
                } else {
                    worked = false;
                }
            }
            records++;
            gEventApi.EvtClose(batch[i]);
        }
    }
    free(record);
    free(wide);
    gEventApi.EvtClose(results);
    EndLostDiagnosis(out, worked);
    return worked;
}
