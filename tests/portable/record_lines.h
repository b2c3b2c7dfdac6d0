// Lines of the results file as the program writes them, for the tests of the
// file, its reader and the report.
#pragma once
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <string>
#include "results/results.h"

inline constexpr long long kStart = 134411210940000000LL;  // 2026-12-07 12:44:54 UTC

// An S3 sleep of a minute in cycle `cycle`, of that verdict, machine and run.
inline SleepRecord SleepOf(int cycle, int verdict, const char* computer = "", const char* runId = "") {
    SleepRecord r;
    ClearSleepRecord(&r);
    r.cycle = cycle;
    r.requestedState = r.enteredState = SLEEP_S3;
    r.requestedSec = r.measuredSec = 60;
    r.verdict = verdict;
    r.startUtc = kStart + cycle * 900000000LL;
    r.endUtc = r.startUtc + 600000000LL;
    snprintf(r.computer, sizeof(r.computer), "%s", computer);
    snprintf(r.runId, sizeof(r.runId), "%s", runId);
    return r;
}

inline std::string Format(const SleepRecord& record) {
    std::string line;
    EXPECT_TRUE(FormatResultLine(&record, &line));
    size_t length = line.size();
    EXPECT_GT(length, 0u);
    if (length > 0) {
        EXPECT_EQ('\n', line[length - 1]);
    }
    for (size_t i = 0; i + 1 < length; i++) EXPECT_TRUE(line[i] >= 0x20 && line[i] < 0x7F) << "byte " << i;
    return line;
}

// The line the program itself writes for a sleep.
inline std::string Line(int cycle, const char* verdict, int measured, const char* wake = "", long error = 0) {
    SleepRecord r;
    ClearSleepRecord(&r);
    r.cycle = cycle;
    r.requestedState = SLEEP_S3;
    r.enteredState = SLEEP_S3;
    r.requestedSec = 60;
    r.measuredSec = measured;
    r.asleepSource = ASLEEP_FROM_INTERRUPT_TIME;
    r.asleepSec = measured;
    r.verdict = VerdictFromId(verdict);
    EXPECT_GE(r.verdict, 0) << verdict;
    snprintf(r.wakeSource, sizeof(r.wakeSource), "%s", wake);
    r.startUtc = kStart + cycle * 700000000LL;
    r.endUtc = r.startUtc + measured * 10000000LL;
    r.errorCode = error;
    return Format(r);
}

// A line of the program's with more fields before its closing brace.
inline std::string With(const std::string& line, const std::string& fields) {
    return line.substr(0, line.rfind('}')) + "," + fields + "}\n";
}

inline int Count(const std::string& text, const std::string& part) {
    int found = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) found++;
    return found;
}

