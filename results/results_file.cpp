// The results file for automation: one JSON object a line for each sleep,
// appended and forced to the device before the program goes on.
#include <stdio.h>
#include <string.h>
#include "results/results.h"

static const char* const STATE_NAMES[4] = {"S1", "S2", "S3", "S4"};

const char* const RESULT_PHASE_KEYS[RESULT_PHASES] = {"sleep_ms",       "wake_ms",       "firmware_ms", "drivers_ms",
                                                      "hiber_write_ms", "hiber_read_ms", "hiber_pages"};

static const char* StateName(int state) { return state >= 0 && state <= 3 ? STATE_NAMES[state] : nullptr; }

static const char* OrNull(const char* text) { return text && text[0] ? text : nullptr; }

void ClearSleepResult(SleepResult* result) {
    memset(result, 0, sizeof(*result));
    result->targetState = -1;
    result->effectiveState = -1;
}

bool FormatResultLine(const SleepResult* result, char* out, size_t outSize) {
    JsonLine json;
    JsonBegin(&json, out, outSize);
    JsonInt(&json, "cycle", result->cycle);
    JsonString(&json, "requested_state", StateName(result->requestedState));
    JsonString(&json, "entered_state", StateName(result->enteredState));
    JsonString(&json, "fallback", OrNull(result->fallback));
    if (result->requestedSec >= 0)
        JsonInt(&json, "requested_sec", result->requestedSec);
    else
        JsonNull(&json, "requested_sec");
    JsonInt(&json, "measured_sec", result->measuredSec);
    if (result->asleepKnown)
        JsonInt(&json, "asleep_sec", result->asleepSec);
    else
        JsonNull(&json, "asleep_sec");
    JsonString(&json, "asleep_source", result->asleepKnown ? OrNull(result->asleepSource) : nullptr);
    JsonString(&json, "verdict", result->verdict);
    JsonString(&json, "wake_source", OrNull(result->wakeSource));
    char start[32];
    char end[32];
    FormatUtcTime(result->startUtc, start, sizeof(start));
    FormatUtcTime(result->endUtc, end, sizeof(end));
    JsonString(&json, "start_utc", OrNull(start));
    JsonString(&json, "end_utc", OrNull(end));
    JsonInt(&json, "error_code", result->errorCode);
    JsonString(&json, "reason", OrNull(result->reason));
    if (result->phasesKnown) {
        JsonOpenObject(&json, "phases");
        for (int i = 0; i < RESULT_PHASES; i++) {
            if (result->phaseKnown[i]) JsonInt(&json, RESULT_PHASE_KEYS[i], result->phaseValues[i]);
        }
        JsonCloseObject(&json);
    } else {
        JsonNull(&json, "phases");
    }
    JsonString(&json, "target_state", StateName(result->targetState));
    JsonString(&json, "effective_state", StateName(result->effectiveState));
    JsonString(&json, "lost_reason", OrNull(result->lostReason));
    JsonString(&json, "bugcheck", OrNull(result->bugcheck));
    bool complete = JsonEnd(&json);
    if (complete) {
        size_t used = strlen(out);
        if (used + 2 > outSize) return false;
        out[used] = '\n';
        out[used + 1] = '\0';
    }
    return complete;
}

DWORD AppendResultLine(const char* path, const char* line) {
    if (!path || !path[0]) return ERROR_INVALID_NAME;
    HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return GetLastError();
    LARGE_INTEGER before;
    DWORD error = 0;
    if (!GetFileSizeEx(file, &before)) {
        error = GetLastError();
        CloseHandle(file);
        return error;
    }
    DWORD length = (DWORD)strlen(line);
    DWORD written = 0;
    LARGE_INTEGER end;
    end.QuadPart = 0;
    if (!SetFilePointerEx(file, end, nullptr, FILE_END) || !WriteFile(file, line, length, &written, nullptr)) {
        error = GetLastError();
    } else if (written != length) {
        error = ERROR_DISK_FULL;
    }
    if (error != 0) {
        // A torn line would make the file unreadable for a JSON reader: put
        // the file back as it was.
        if (SetFilePointerEx(file, before, nullptr, FILE_BEGIN)) SetEndOfFile(file);
    } else if (!FlushFileBuffers(file)) {
        error = GetLastError();
    }
    if (!CloseHandle(file) && error == 0) error = GetLastError();
    return error;
}
