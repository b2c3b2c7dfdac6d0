// The run report: the reader of the results file, the HTML escaping, the page
// built from records of every kind, its safe replacement, and its upkeep after
// every record of a run.
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
#include "results/results.h"
#include "ui/ui.h"

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

int Count(const std::string& text, const std::string& part) {
    int found = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) found++;
    return found;
}

bool IsUtf8(const std::string& text) {
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), (int)text.size(), nullptr, 0) > 0;
}

struct Built {
    int error;
    std::string page;
};

// The page of a results file with these contents, built in the test's folder.
Built BuildPage(const std::string& test, const std::string& results, const ReportHeader* header = nullptr) {
    std::string folder = TestFolder(test);
    std::string resultsPath = JoinPath(folder, "r.jsonl");
    std::string page = JoinPath(folder, "r.html");
    DeleteFileA(page.c_str());
    EXPECT_TRUE(WriteText(resultsPath, results));
    ReportHeader plain;
    memset(&plain, 0, sizeof(plain));
    int error = WriteRunReport(resultsPath.c_str(), page.c_str(), header ? header : &plain);
    EXPECT_FALSE(FileExists(page + ".tmp"));
    return {error, ReadText(page)};
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

TEST(ReportHtml, HostileTextsAreEscapedWholeAndCutBetweenReferences) {
    const struct {
        const char* text;
        size_t size;
        const char* html;
    } cases[] = {
        {"<script>alert('x')</script>", 256, "&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;"},
        {"a&b \"c\"", 256, "a&amp;b &quot;c&quot;"},
        {"\x01\t\x1f\x7f", 256, "&#9217;&#9225;&#9247;&#9249;"},
        {"\xe9\xa0\xff\x80\x81\x9f", 256, "&#233;&#160;&#255;&#8364;&#65533;&#376;"},
        {"<<", 8, "&lt;"},  // the second reference would not fit whole
        {"abc", 1, ""},
    };
    for (const auto& c : cases) {
        char out[256];
        memset(out, 'X', sizeof(out));
        HtmlEscape(c.text, out, c.size);
        EXPECT_STREQ(c.html, out) << c.text;
    }
}

TEST(RunReport, PageOfThreeSleepsHasTheirColumnsColoursAndHeader) {
    ReportHeader header;
    memset(&header, 0, sizeof(header));
    snprintf(header.identity, sizeof(header.identity), "Vesplin V2.3 (Build: 1006)");
    snprintf(header.computer, sizeof(header.computer), "TESTBOX");
    snprintf(header.commandLine, sizeof(header.commandLine), "Vesplin.exe -S1000 --results=\"C:\\R&D\\r.jsonl\"");
    header.exitCodeKnown = true;
    header.exitCode = 2;
    Built built = BuildPage("RunReport_Three",
                            Line(1, "ok", 60, "HID Keyboard Device") + Line(2, "short", 20) + Line(3, "long", 95),
                            &header);
    ASSERT_EQ(0, built.error);
    const std::string& page = built.page;
    EXPECT_EQ(0u, page.find("<!DOCTYPE html>"));
    EXPECT_NE(std::string::npos, page.find("<meta charset=\"utf-8\">"));
    EXPECT_EQ(1, Count(page, "<rect class=\"v-ok\""));
    EXPECT_EQ(1, Count(page, "<rect class=\"v-short\""));
    EXPECT_EQ(1, Count(page, "<rect class=\"v-long\""));
    // The log panel's Status green, Error red and Warning yellow.
    EXPECT_NE(std::string::npos, page.find("rect.v-ok{fill:#00e100}"));
    EXPECT_NE(std::string::npos, page.find("rect.v-short{fill:#c83232}"));
    EXPECT_NE(std::string::npos, page.find("rect.v-long{fill:#ffff00}"));
    EXPECT_EQ(3, Count(page, "<title>Cycle "));
    EXPECT_EQ(1, Count(page, "class=\"rq\""));  // the requested-time mark
    EXPECT_EQ(1, Count(page, "<tr class=\"f\">"));
    EXPECT_EQ(1, Count(page, "<tr class=\"y\">"));
    EXPECT_NE(std::string::npos, page.find("Vesplin V2.3 (Build: 1006)"));
    EXPECT_NE(std::string::npos, page.find("<td>TESTBOX</td>"));
    EXPECT_NE(std::string::npos, page.find("--results=&quot;C:\\R&amp;D\\r.jsonl&quot;"));
    EXPECT_NE(std::string::npos, page.find("<td>Exit code</td><td>2 "));
    EXPECT_NE(std::string::npos, page.find("<td>Started (UTC)</td><td>2026-12-07 12:46:04</td>"));
    EXPECT_NE(std::string::npos, page.find("HID Keyboard Device</td><td class=\"n\">1</td>"));
    EXPECT_NE(std::string::npos, page.find("(none reported)</td><td class=\"n\">2</td>"));
    EXPECT_NE(std::string::npos, page.find("<td>HID Keyboard Device<td>"));  // in its record's row
    EXPECT_EQ(std::string::npos, page.find("Resume time"));  // no record has phases
    EXPECT_EQ(std::string::npos, page.find("class=\"note\""));
    // Self-contained: nothing fetched, nothing run.
    for (const char* outside : {"<script", "src=", "href=", "@import", "url(http"})
        EXPECT_EQ(std::string::npos, page.find(outside)) << outside;
}

TEST(RunReport, HostileTextsReachThePageEscapedAsUtf8) {
    ReportHeader header;
    memset(&header, 0, sizeof(header));
    snprintf(header.commandLine, sizeof(header.commandLine), "x.exe \"<script>\" \xe9");
    const char* hostile = "<script>alert(\"x\")</script> & 'q' \xe9";
    Built built = BuildPage("RunReport_Hostile",
                            With(Line(1, "lost", 60, hostile), "\"lost_reason\":\"<b>crashed</b>\"") +
                                With(Line(2, "<img src=x>", 60), "\"bugcheck\":\"0x9F'\""),
                            &header);
    ASSERT_EQ(0, built.error);
    std::string lower = built.page;
    for (char& ch : lower) ch = (char)tolower((unsigned char)ch);
    EXPECT_EQ(std::string::npos, lower.find("<script"));
    EXPECT_EQ(std::string::npos, lower.find("<img"));
    EXPECT_EQ(std::string::npos, lower.find("<b>crashed"));
    EXPECT_TRUE(IsUtf8(built.page));
    EXPECT_NE(std::string::npos,
              built.page.find("&lt;script&gt;alert(&quot;x&quot;)&lt;/script&gt; &amp; &#39;q&#39; &#233;"));
    EXPECT_NE(std::string::npos, built.page.find("x.exe &quot;&lt;script&gt;&quot; &#233;"));
    EXPECT_NE(std::string::npos, built.page.find("&lt;b&gt;crashed&lt;/b&gt;"));
    EXPECT_NE(std::string::npos, built.page.find("bugcheck 0x9F&#39;"));
    // A verdict this build does not know never becomes a class name.
    EXPECT_EQ(1, Count(built.page, "<rect class=\"v-other\""));
}

TEST(RunReport, LostSleepsPhasesAndReasonsAreShown) {
    std::string phases = "\"phases\":{\"sleep_ms\":1311,\"wake_ms\":2207,\"firmware_ms\":486,\"drivers_ms\":1688,"
                         "\"hiber_write_ms\":0,\"hiber_read_ms\":900,\"hiber_pages\":0}";
    Built built = BuildPage(
        "RunReport_Lost",
        With(Line(1, "ok", 60), phases + ",\"target_state\":\"S3\",\"effective_state\":\"S3\"") +
            With(Line(2, "lost", 6000), "\"phases\":null,\"lost_reason\":\"power_lost_asleep\","
                                         "\"bugcheck\":\"0x0000009F\"") +
            With(Line(3, "wrong_state", 60), "\"target_state\":\"S3\",\"effective_state\":\"S1\"") +
            Line(4, "refused", 0, "", 31) + Line(5, "not_slept", 60));
    ASSERT_EQ(0, built.error);
    const std::string& page = built.page;
    EXPECT_EQ(1, Count(page, "<rect class=\"v-lost\""));
    EXPECT_EQ(1, Count(page, ">L</text>"));
    EXPECT_EQ(1, Count(page, "<rect class=\"v-wrong_state\""));
    EXPECT_NE(std::string::npos, page.find("rect.v-wrong_state{fill:#c83232}"));
    EXPECT_EQ(4, Count(page, "<tr class=\"f\">"));
    EXPECT_NE(std::string::npos, page.find("lost; power_lost_asleep; bugcheck 0x0000009F"));
    EXPECT_NE(std::string::npos, page.find("refused; error 31"));
    EXPECT_NE(std::string::npos, page.find("<th>Target</th><th>Eff.</th>"));
    EXPECT_NE(std::string::npos, page.find("<td>S3<td>S1<td>S3"));
    // The resume chart: one stack of three phases, for the only record with phases.
    EXPECT_NE(std::string::npos, page.find("Resume time"));
    EXPECT_EQ(1, Count(page, "<rect class=\"p-fw\""));
    EXPECT_EQ(1, Count(page, "<rect class=\"p-dr\""));
    EXPECT_EQ(1, Count(page, "<rect class=\"p-hr\""));
    EXPECT_NE(std::string::npos,
              page.find("sleep 1311, wake 2207, firmware 486, drivers 1688, file write 0, file read 900, 0 pages"));
}

TEST(RunReport, CutLastLineIsNotedAndThePageReplacedWhole) {
    std::string folder = TestFolder("RunReport_Replace");
    std::string results = JoinPath(folder, "r.jsonl");
    std::string page = JoinPath(folder, "r.html");
    ReportHeader header;
    memset(&header, 0, sizeof(header));
    std::string two = Line(1, "ok", 60) + Line(2, "ok", 60);
    ASSERT_TRUE(WriteText(results, two + Line(3, "ok", 60).substr(0, 40)));
    // A temporary file left by a power loss in the middle of an earlier rebuild.
    ASSERT_TRUE(WriteText(page + ".tmp", "<!DOCTYPE html><html><body><svg"));
    ASSERT_EQ(0, WriteRunReport(results.c_str(), page.c_str(), &header));
    std::string first = ReadText(page);
    EXPECT_EQ(2, Count(first, "<rect class=\"v-ok\""));
    EXPECT_NE(std::string::npos, first.find("1 line of the results file could not be read"));
    EXPECT_FALSE(FileExists(page + ".tmp"));
    ASSERT_GT(first.size(), 16u);
    EXPECT_EQ("</body></html>\n", first.substr(first.size() - 15));

    ASSERT_TRUE(WriteText(results, two + Line(3, "short", 10)));
    ASSERT_EQ(0, WriteRunReport(results.c_str(), page.c_str(), &header));
    std::string second = ReadText(page);
    EXPECT_EQ(1, Count(second, "<rect class=\"v-short\""));
    EXPECT_EQ(std::string::npos, second.find("class=\"note\""));

    // Failures leave the last whole page and no temporary file.
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, WriteRunReport(JoinPath(folder, "none.jsonl").c_str(), page.c_str(), &header));
    std::string elsewhere = JoinPath(folder, "no_such_folder\\r.html");
    EXPECT_EQ(ERROR_PATH_NOT_FOUND, WriteRunReport(results.c_str(), elsewhere.c_str(), &header));
    EXPECT_FALSE(FileExists(elsewhere));
    EXPECT_EQ(second, ReadText(page));
    EXPECT_FALSE(FileExists(page + ".tmp"));
}

TEST(RunReport, AThousandSleepsStayUnderOneMegabyte) {
    const char* verdicts[] = {"ok", "ok", "ok", "ok", "short", "long", "not_slept", "refused", "lost", "wrong_state"};
    std::string results;
    for (int i = 1; i <= 1000; i++) {
        results += With(Line(i, verdicts[i % 10], 55 + i % 10, "USB Root Hub (USB 3.0) \"port 2\" <Intel(R) xHCI>"),
                        "\"phases\":{\"sleep_ms\":1311,\"wake_ms\":2207,\"firmware_ms\":486,\"drivers_ms\":1688,"
                        "\"hiber_write_ms\":0,\"hiber_read_ms\":0,\"hiber_pages\":0},\"target_state\":\"S3\","
                        "\"effective_state\":\"S3\",\"lost_reason\":\"hung_after_wake\",\"bugcheck\":\"0x0000009F\"");
    }
    Built built = BuildPage("RunReport_Thousand", results);
    ASSERT_EQ(0, built.error);
    EXPECT_LT(built.page.size(), 1000000u);
    EXPECT_EQ(1000, Count(built.page, "<rect class=\"v-"));
    EXPECT_EQ(100, Count(built.page, ">L</text>"));
    // Rows of the record table: each starts with its cycle number.
    std::regex row("<tr( class=\"[fy]\")?><td>[0-9]+<td>");
    auto rows = std::sregex_iterator(built.page.begin(), built.page.end(), row);
    EXPECT_EQ(1000, std::distance(rows, std::sregex_iterator()));
}

TEST(RunReport, DefaultPathReplacesTheExtensionOfTheFileNameOnly) {
    const struct {
        const char* results;
        size_t size;
        const char* page;  // nullptr: refused
    } cases[] = {
        {"C:\\runs\\r.jsonl", 256, "C:\\runs\\r.html"},  {"C:\\runs\\r", 256, "C:\\runs\\r.html"},
        {"C:\\my.runs\\results", 256, "C:\\my.runs\\results.html"},
        {"dir/x.y/z", 256, "dir/x.y/z.html"},           {"C:\\a\\r.tar.jsonl", 256, "C:\\a\\r.tar.html"},
        {"r.jsonl", 256, "r.html"},                      {"C:\\a\\.results", 256, "C:\\a\\.results.html"},
        {"C:\\a\\r.", 256, "C:\\a\\r.html"},             {"C:r.json", 256, "C:r.html"},
        {"", 256, nullptr},                              {"C:\\a\\", 256, nullptr},
        {"C:\\a\\r.jsonl", 11, nullptr},                 {"C:\\a\\r.jsonl", 12, "C:\\a\\r.html"},
    };
    for (const auto& c : cases) {
        char out[256];
        memset(out, 'X', sizeof(out));
        EXPECT_EQ(c.page != nullptr, DefaultReportPath(c.results, out, c.size)) << c.results;
        EXPECT_STREQ(c.page ? c.page : "", out) << c.results;
    }
}

TEST(RunReport, RebuiltAfterEveryRecordAndAFailureWarnedOnce) {
    Logger* saved = theLogger;
    theLogger = new Logger();
    std::string folder = TestFolder("RunReport_Hook");
    std::string results = JoinPath(folder, "run.jsonl");
    std::string page = JoinPath(folder, "run.html");
    DeleteFileA(results.c_str());
    DeleteFileA(page.c_str());
    snprintf(gResultsPath, sizeof(gResultsPath), "%s", results.c_str());
    gReportPath[0] = '\0';
    memset(&gRunTally, 0, sizeof(gRunTally));
    SleepResult r;
    memset(&r, 0, sizeof(r));
    r.requestedSec = 30;
    r.measuredSec = 30;
    snprintf(r.verdict, sizeof(r.verdict), "ok");
    for (r.cycle = 1; r.cycle <= 2; r.cycle++) WriteSleepResult(&r);
    std::string built = ReadText(page);
    EXPECT_EQ(2, Count(built, "<rect class=\"v-ok\""));
    EXPECT_NE(std::string::npos, built.find("Vesplin V2.3 (Build: 1006)"));
    EXPECT_NE(std::string::npos, built.find("<td>Windows</td><td>Windows "));

    // A page that cannot be written: one warning for the run, the records and the tally untouched.
    std::string elsewhere = JoinPath(folder, "missing\\p.html");
    snprintf(gReportPath, sizeof(gReportPath), "%s", elsewhere.c_str());
    for (r.cycle = 3; r.cycle <= 4; r.cycle++) WriteSleepResult(&r);
    std::vector<std::string> warnings;
    for (int i = 0; i < theLogger->GetLineCount(); i++) {
        char line[LOG_LINE_SIZE];
        int level = 0;
        if (theLogger->CopyLine(i, line, sizeof(line), &level) && level != LOG_DEBUG) warnings.push_back(line);
        EXPECT_TRUE(level == LOG_WARNING || level == LOG_DEBUG) << line;
    }
    ASSERT_EQ(1u, warnings.size());
    EXPECT_NE(std::string::npos, warnings[0].find("Could not write the run report " + elsewhere + ". Error code 3"));
    EXPECT_EQ(4, gRunTally.sleeps);
    EXPECT_EQ(0, gRunTally.recordsLost);
    EXPECT_EQ(0, RunExitCode(&gRunTally, RUN_END_COMPLETED));
    EXPECT_EQ(built, ReadText(page));

    gResultsPath[0] = '\0';
    gReportPath[0] = '\0';
    memset(&gRunTally, 0, sizeof(gRunTally));
    delete theLogger;
    theLogger = saved;
}
