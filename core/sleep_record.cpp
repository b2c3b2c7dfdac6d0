// The record of one sleep, the ids the results file gives its values, and the
// times it holds.
#include <stdio.h>
#include <string.h>
#include "core/core.h"

const char ASTERISK_RULE[] = "**********************************************************************";

const char* const PHASE_KEYS[PHASE_COUNT] = {"sleep_ms",       "wake_ms",       "firmware_ms", "drivers_ms",
                                             "hiber_write_ms", "hiber_read_ms", "hiber_pages"};

static const char* const STATE_IDS[] = {"S1", "S2", "S3", "S4"};
static const char* const VERDICT_IDS[VERDICT_COUNT] = {"ok",      "short", "long",        "not_slept",
                                                       "refused", "lost",  "wrong_state", "device_fault"};
static const char* const REFUSED_IDS[REFUSED_COUNT] = {"",           "marker_not_written", "duration_below_1s",
                                                       "wake_timer_not_set", "suspend_failed", "bad_state"};
static const char* const LOST_IDS[LOST_COUNT] = {"unknown",      "crashed",         "power_lost_asleep",
                                                 "power_button", "hung_after_wake", "hung_entering"};
static const char* const ASLEEP_IDS[ASLEEP_COUNT] = {"", "sleep_wake_stamps", "interrupt_time", "tick_count"};
static const char* const ASLEEP_NAMES[ASLEEP_COUNT] = {"", "LastSleepTime/LastWakeTime",
                                                       "interrupt time less unbiased interrupt time",
                                                       "tick count less unbiased interrupt time"};
static const char* const FALLBACK_IDS[] = {"lighter", "deeper", "force"};

template <size_t N>
static const char* IdOf(const char* const (&ids)[N], int value, const char* other) {
    return value >= 0 && (size_t)value < N ? ids[value] : other;
}

template <size_t N>
static int ValueOf(const char* const (&ids)[N], const char* id) {
    if (!id || !id[0]) return -1;
    for (size_t i = 0; i < N; i++) {
        if (strcmp(ids[i], id) == 0) return (int)i;
    }
    return -1;
}

const char* StateId(int state) { return IdOf(STATE_IDS, state, nullptr); }
const char* VerdictId(int verdict) { return IdOf(VERDICT_IDS, verdict, ""); }
const char* RefusedReasonId(int reason) { return IdOf(REFUSED_IDS, reason, ""); }
const char* LostReasonId(int reason) { return reason == LOST_NONE ? "" : IdOf(LOST_IDS, reason, LOST_IDS[0]); }
const char* AsleepSourceId(int source) { return IdOf(ASLEEP_IDS, source, ""); }
const char* AsleepSourceName(int source) { return IdOf(ASLEEP_NAMES, source, ""); }
const char* FallbackId(int fallback) { return IdOf(FALLBACK_IDS, fallback, ""); }
int StateFromId(const char* id) { return ValueOf(STATE_IDS, id); }
int VerdictFromId(const char* id) { return ValueOf(VERDICT_IDS, id); }
int RefusedReasonFromId(const char* id) { return ValueOf(REFUSED_IDS, id); }
int LostReasonFromId(const char* id) { return ValueOf(LOST_IDS, id); }
int AsleepSourceFromId(const char* id) { return ValueOf(ASLEEP_IDS, id); }
int FallbackFromId(const char* id) { return ValueOf(FALLBACK_IDS, id); }

void ClearSleepRecord(SleepRecord* record) {
    *record = SleepRecord();
    record->requestedState = -1;
    record->enteredState = -1;
    record->fallback = FALLBACK_NONE;
    record->requestedSec = -1;
    record->targetState = -1;
    record->effectiveState = -1;
    record->lostReason = LOST_NONE;
}

// Length of the UTF-8 character at text (1..4), or 0 when the bytes there are not one.
static size_t Utf8CharLength(const unsigned char* text) {
    unsigned char lead = text[0];
    size_t length;
    unsigned minimum;
    unsigned value;
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, minimum = 0x80, value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, minimum = 0x800, value = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, minimum = 0x10000, value = lead & 0x07;
    } else {
        return 0;
    }
    for (size_t i = 1; i < length; i++) {
        if ((text[i] & 0xC0) != 0x80) return 0;
        value = (value << 6) | (text[i] & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
    return length;
}

void CopyUtf8(char* out, size_t outSize, const char* text) {
    if (outSize == 0) return;
    size_t used = 0;
    const unsigned char* in = reinterpret_cast<const unsigned char*>(text ? text : "");
    while (*in) {
        size_t length = Utf8CharLength(in);
        if (length == 0) {
            if (used + 1 >= outSize) break;
            out[used++] = '?';
            in++;
            continue;
        }
        if (used + length >= outSize) break;
        memcpy(out + used, in, length);
        used += length;
        in += length;
    }
    out[used] = '\0';
}

long long FileTimeFromUnixSeconds(long long seconds) {
    return seconds * FILETIME_TICKS_PER_SECOND + FILETIME_UNIX_EPOCH;
}

long long UnixSecondsFromFileTime(long long fileTime) {
    return (fileTime - FILETIME_UNIX_EPOCH) / FILETIME_TICKS_PER_SECOND;
}

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar, and back
// (the portable part of the program has no system calendar to ask).
static long long DaysFromCivil(long long y, unsigned m, unsigned d) {
    y -= m <= 2;
    long long era = (y >= 0 ? y : y - 399) / 400;
    unsigned yoe = (unsigned)(y - era * 400);
    unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + (long long)doe - 719468;
}

static void CivilFromDays(long long z, long long* y, unsigned* m, unsigned* d) {
    z += 719468;
    long long era = (z >= 0 ? z : z - 146096) / 146097;
    unsigned doe = (unsigned)(z - era * 146097);
    unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    unsigned mp = (5 * doy + 2) / 153;
    *d = doy - (153 * mp + 2) / 5 + 1;
    *m = mp < 10 ? mp + 3 : mp - 9;
    *y = (long long)yoe + era * 400 + (*m <= 2);
}

void FormatUtcTime(long long fileTime, char* out, size_t outSize) {
    if (outSize == 0) return;
    out[0] = '\0';
    // FILETIME values the system can convert: after 1601, before 30828.
    if (fileTime <= 0 || fileTime >= 0x7FFFFFFFFFFFFFFFLL / 2) return;
    long long seconds = fileTime / FILETIME_TICKS_PER_SECOND - FILETIME_UNIX_EPOCH / FILETIME_TICKS_PER_SECOND;
    long long days = seconds >= 0 ? seconds / 86400 : -((-seconds + 86399) / 86400);
    long long rest = seconds - days * 86400;
    long long year;
    unsigned month, day;
    CivilFromDays(days, &year, &month, &day);
    if (year > 9999) return;
    snprintf(out, outSize, "%04lld-%02u-%02uT%02lld:%02lld:%02lldZ", year, month, day, rest / 3600, rest / 60 % 60,
             rest % 60);
}

void FormatRunId(long long fileTime, unsigned random, char* out, size_t outSize) {
    if (outSize == 0) return;
    out[0] = '\0';
    char iso[32];
    FormatUtcTime(fileTime, iso, sizeof(iso));
    if (!iso[0]) return;
    char compact[32];
    size_t length = 0;
    for (const char* c = iso; *c && length + 1 < sizeof(compact); c++) {
        if (*c != '-' && *c != ':') compact[length++] = *c;
    }
    compact[length] = '\0';
    snprintf(out, outSize, "%s-%08x", compact, random);
}

bool IsRunId(const char* text) {
    // "YYYYMMDDThhmmssZ-" then 8 lower-case hex digits.
    static const char shape[] = "dddddddd" "T" "dddddd" "Z-" "xxxxxxxx";
    for (size_t i = 0; i < sizeof(shape) - 1; i++) {
        char c = text[i];
        bool digit = c >= '0' && c <= '9';
        bool fits = shape[i] == 'd' ? digit : shape[i] == 'x' ? digit || (c >= 'a' && c <= 'f') : c == shape[i];
        if (!fits) return false;
    }
    return text[sizeof(shape) - 1] == '\0';
}

static bool ReadDigits(const char*& text, int count, unsigned* value) {
    *value = 0;
    for (int i = 0; i < count; i++, text++) {
        if (*text < '0' || *text > '9') return false;
        *value = *value * 10 + (unsigned)(*text - '0');
    }
    return true;
}

bool ParseUtcTime(const char* text, long long* fileTime) {
    if (!text) return false;
    unsigned year, month, day, hour, minute, second;
    const char* p = text;
    if (!ReadDigits(p, 4, &year) || *p++ != '-' || !ReadDigits(p, 2, &month) || *p++ != '-' ||
        !ReadDigits(p, 2, &day) || *p++ != 'T' || !ReadDigits(p, 2, &hour) || *p++ != ':' ||
        !ReadDigits(p, 2, &minute) || *p++ != ':' || !ReadDigits(p, 2, &second))
        return false;
    long long fraction = 0;
    if (*p == '.') {
        p++;
        int digits = 0;
        while (*p >= '0' && *p <= '9') {
            if (digits < 7) fraction = fraction * 10 + (*p - '0'), digits++;
            p++;
        }
        if (digits == 0) return false;
        while (digits++ < 7) fraction *= 10;
    }
    if (*p++ != 'Z' || *p != '\0') return false;
    static const unsigned DAYS_IN_MONTH[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (year < 1601 || month < 1 || month > 12 || day < 1 || day > DAYS_IN_MONTH[month - 1] ||
        (month == 2 && day == 29 && !leap) || hour > 23 || minute > 59 || second > 59)
        return false;
    long long seconds = DaysFromCivil(year, month, day) * 86400 + hour * 3600LL + minute * 60LL + second;
    *fileTime = FileTimeFromUnixSeconds(seconds) + fraction;
    return true;
}

int MeasuredSeconds(long long start100ns, long long end100ns) {
    long long difference = end100ns - start100ns;
    long long half = FILETIME_TICKS_PER_SECOND / 2;
    long long seconds = difference >= 0 ? (difference + half) / FILETIME_TICKS_PER_SECOND
                                        : -((-difference + half) / FILETIME_TICKS_PER_SECOND);
    if (seconds > 0x7FFFFFFF) return 0x7FFFFFFF;
    if (seconds < -0x7FFFFFFF - 1) return -0x7FFFFFFF - 1;
    return (int)seconds;
}
