// The run report: the reader of the results file.
#include <gtest/gtest.h>
#include <windows.h>
#include <string.h>
#include <functional>
#include <iterator>
#include <regex>
#include <string>
#include <vector>
#include "log/log.h"
#include "power/power.h"
#include "support/process_run.h"

namespace {

const long long kStart = 134411210940000000LL;  // 2026-12-07 12:44:54 UTC
const char* const kOk =
    "{\"cycle\":1,\"requested_state\":\"S1\",\"entered_state\":\"S1\",\"fallback\":null,\"requested_sec\":30,"
    "\"measured_sec\":30,\"asleep_sec\":30,\"asleep_source\":\"sleep_wake_stamps\",\"verdict\":\"ok\","
    "\"wake_source\":null,\"start_utc\":\"2026-12-07T13:24:39Z\",\"end_utc\":\"2026-12-07T13:25:09Z\","
    "\"error_code\":0}";

// The line the program itself writes for a sleep.
std::string Line(int cycle, const char* verdict, int measured, const char* wake = "", long error = 0) {
    SleepResult r;
    memset(&r, 0, sizeof(r));
    r.cycle = cycle;
    r.requestedState = SLEEP_S3;
    r.enteredState = SLEEP_S3;
    r.requestedSec = 60;
    r.measuredSec = measured;
    r.asleepKnown = true;
    r.asleepSec = measured;
    snprintf(r.asleepSource, sizeof(r.asleepSource), "interrupt_time");
    snprintf(r.verdict, sizeof(r.verdict), "%s", verdict);
    snprintf(r.wakeSource, sizeof(r.wakeSource), "%s", wake);
    r.startUtc = kStart + cycle * 700000000LL;
    r.endUtc = r.startUtc + measured * 10000000LL;
    r.errorCode = error;
    char line[RESULT_LINE_SIZE];
    EXPECT_TRUE(FormatResultLine(&r, line, sizeof(line)));
    return line;
}

// A line of the program's with more fields before its closing brace.
std::string With(const std::string& line, const std::string& fields) {
    return line.substr(0, line.rfind('}')) + "," + fields + "}\n";
}

}  // namespace

TEST(ReportReader, LinesOfEveryShape) {
    using Check = std::function<void(const ReportRecord&)>;
    const std::string ok = kOk;
    const std::string longText(600, 'w');
    std::string deep = "{\"cycle\":1,\"verdict\":\"ok\",\"x\":";
    for (int i = 0; i < 40; i++) deep += "[";
    for (int i = 0; i < 40; i++) deep += "]";
    deep += "}";
    struct Case {
        std::string line;
        bool ok;
        Check check;
    } cases[] = {
        {ok, true,
         [](const ReportRecord& r) {
             EXPECT_EQ(1, r.cycle);
             EXPECT_STREQ("S1", r.requestedState);
             EXPECT_STREQ("S1", r.enteredState);
             EXPECT_STREQ("", r.fallback);
             EXPECT_EQ(30, r.requestedSec);
             EXPECT_EQ(30, r.measuredSec);
             EXPECT_EQ(30, r.asleepSec);
             EXPECT_STREQ("sleep_wake_stamps", r.asleepSource);
             EXPECT_STREQ("ok", r.verdict);
             EXPECT_STREQ("", r.wakeSource);
             EXPECT_STREQ("2026-12-07T13:24:39Z", r.startUtc);
             EXPECT_STREQ("2026-12-07T13:25:09Z", r.endUtc);
             EXPECT_EQ(0, r.errorCode);
             EXPECT_FALSE(r.hasPhases);
             EXPECT_STREQ("", r.targetState);
         }},
        {"{\"cycle\":2,\"verdict\":\"refused\",\"requested_sec\":null,\"asleep_sec\":null,\"error_code\":31}", true,
         [](const ReportRecord& r) {
             EXPECT_EQ(-1, r.requestedSec);
             EXPECT_EQ(-1, r.asleepSec);
             EXPECT_EQ(-1, r.measuredSec);  // missing
             EXPECT_EQ(31, r.errorCode);
         }},
        // The fields being added, and unknown keys of every kind.
        {With(ok, "\"phases\":{\"sleep_ms\":1311,\"firmware_ms\":486,\"new_ms\":[1,{\"a\":\"}\"}],"
                  "\"hiber_pages\":null},"
                  "\"target_state\":\"S3\",\"effective_state\":\"S2\",\"lost_reason\":\"power_button\","
                  "\"bugcheck\":\"0x0000009F\",\"later\":{\"a\":[true,false,null,-1.5e3,\"]\"]},\"flag\":true"),
         true,
         [](const ReportRecord& r) {
             EXPECT_TRUE(r.hasPhases);
             EXPECT_EQ(1311, r.phases.sleepMs);
             EXPECT_EQ(486, r.phases.firmwareMs);
             EXPECT_EQ(-1, r.phases.wakeMs);
             EXPECT_EQ(-1, r.phases.hiberPages);
             EXPECT_STREQ("S3", r.targetState);
             EXPECT_STREQ("S2", r.effectiveState);
             EXPECT_STREQ("power_button", r.lostReason);
             EXPECT_STREQ("0x0000009F", r.bugcheck);
             EXPECT_EQ(30, r.measuredSec);
         }},
        {With(ok, "\"phases\":null"), true, [](const ReportRecord& r) { EXPECT_FALSE(r.hasPhases); }},
        // Escapes: 8-bit below 0x100, '?' above (a surrogate pair is one character).
        {"{\"cycle\":1,\"verdict\":\"ok\",\"wake_source\":\"q\\\" b\\\\ s\\/ \\t\\n \\u00e9\\u00FF \\u20ac "
         "\\ud83d\\ude00 \\u0000.\"}",
         true,
         [](const ReportRecord& r) { EXPECT_STREQ("q\" b\\ s/ \t\n \xe9\xff ? ? ?.", r.wakeSource); }},
        // Texts too long for their fields are cut; numbers too large saturate.
        {"{\"cycle\":1,\"verdict\":\"" + std::string(40, 'v') + "\",\"wake_source\":\"" + longText +
             "\",\"measured_sec\":99999999999999999999,\"" + std::string(100, 'k') + "\":1}",
         true,
         [](const ReportRecord& r) {
             EXPECT_EQ(std::string(sizeof(r.verdict) - 1, 'v'), r.verdict);
             EXPECT_EQ(std::string(REPORT_TEXT_SIZE - 1, 'w'), r.wakeSource);
             EXPECT_EQ(2147483647, r.measuredSec);
         }},
        {"  {\"verdict\":\"ok\" , \"cycle\" : 7 }\r", true, [](const ReportRecord& r) { EXPECT_EQ(7, r.cycle); }},
        // Not records: cut, garbage, wrong kinds of values, missing keys, too deep.
        {ok.substr(0, ok.size() - 1), false, nullptr},
        {ok.substr(0, 60), false, nullptr},
        {ok + "x", false, nullptr},
        {"", false, nullptr},
        {"garbage", false, nullptr},
        {"[1,2]", false, nullptr},
        {"null", false, nullptr},
        {"{\"cycle\":\"1\",\"verdict\":\"ok\"}", false, nullptr},
        {"{\"cycle\":1,\"verdict\":7}", false, nullptr},
        {"{\"cycle\":1,\"verdict\":\"ok\",\"phases\":[1]}", false, nullptr},
        {"{\"cycle\":1}", false, nullptr},
        {"{\"verdict\":\"ok\"}", false, nullptr},
        {"{\"cycle\":1,\"verdict\":\"ok\",}", false, nullptr},
        {"{\"cycle\":1,\"verdict\":\"o\\x\"}", false, nullptr},
        {"{\"cycle\":1,\"verdict\":\"o\\u00\"}", false, nullptr},
        {"{\"cycle\":1,\"verdict\":\"o\x01k\"}", false, nullptr},
        {"{\"cycle\":1,\"verdict\":\"ok\",\"x\":tru}", false, nullptr},
        {deep, false, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line.substr(0, 120));
        ReportRecord r;
        memset(&r, 0x5A, sizeof(r));
        ASSERT_EQ(c.ok, ParseResultRecord(c.line.c_str(), &r));
        if (c.check) c.check(r);
    }
}

TEST(ReportReader, FileWithBadLinesAndACutLastLineKeepsTheRest) {
    std::string folder = TestFolder("ReportReader_File");
    std::string path = JoinPath(folder, "r.jsonl");
    std::string good = Line(2, "ok", 60);
    ASSERT_TRUE(WriteText(path, Line(1, "ok", 60) + "garbage\n\n   \r\n" + good.substr(0, good.size() - 1) + "\r\n" +
                                    Line(3, "short", 20) + Line(4, "ok", 60).substr(0, 50)));
    ReportRecord* records = nullptr;
    int count = -1, bad = -1;
    ASSERT_EQ(0, ReadResultsFile(path.c_str(), &records, &count, &bad));
    ASSERT_EQ(3, count);
    EXPECT_EQ(2, bad);
    for (int i = 0; i < 3; i++) EXPECT_EQ(i + 1, records[i].cycle);
    EXPECT_STREQ("short", records[2].verdict);
    FreeResultRecords(records);

    EXPECT_EQ(ERROR_FILE_NOT_FOUND, ReadResultsFile(JoinPath(folder, "none.jsonl").c_str(), &records, &count, &bad));
    EXPECT_EQ(nullptr, records);
    EXPECT_EQ(0, count);

    // A long run: no small fixed limit on the records.
    std::string many;
    const std::string line = Line(1, "ok", 60);
    const size_t at = line.find(":1,");
    for (int i = 1; i <= 100000; i++) many += line.substr(0, at + 1) + std::to_string(i) + line.substr(at + 2);
    ASSERT_TRUE(WriteText(path, many));
    ASSERT_EQ(0, ReadResultsFile(path.c_str(), &records, &count, &bad));
    ASSERT_EQ(100000, count);
    EXPECT_EQ(0, bad);
    EXPECT_EQ(100000, records[99999].cycle);
    FreeResultRecords(records);
}
