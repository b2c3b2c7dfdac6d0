// The run report: the reader of the results file, the HTML escaping, the page
// built from records of every kind, its safe replacement, and its upkeep after
// every record of a run.
#include <gtest/gtest.h>
#include <windows.h>
#include <errno.h>
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
#include "portable/record_lines.h"
#include "ui/ui.h"

TEST(ReportReader, FileWithBadLinesAndACutLastLineKeepsTheRest) {
    std::string folder = TestFolder("ReportReader_File");
    std::string path = JoinPath(folder, "r.jsonl");
    std::string good = Line(2, "ok", 60);
    ASSERT_TRUE(WriteText(path, Line(1, "ok", 60) + "garbage\n\n   \r\n" + good.substr(0, good.size() - 1) + "\r\n" +
                                    Line(3, "short", 20) + Line(4, "ok", 60).substr(0, 50)));
    std::vector<SleepRecord> records;
    int bad = -1;
    ASSERT_EQ(0, ReadResultsFile(path.c_str(), &records, &bad));
    ASSERT_EQ(3u, records.size());
    EXPECT_EQ(2, bad);
    for (int i = 0; i < 3; i++) EXPECT_EQ(i + 1, records[i].cycle);
    EXPECT_EQ(VERDICT_TOO_SHORT, records[2].verdict);

    EXPECT_EQ(ENOENT, ReadResultsFile(JoinPath(folder, "none.jsonl").c_str(), &records, &bad));
    EXPECT_TRUE(records.empty());

    // A long run: no small fixed limit on the records.
    std::string many;
    const std::string line = Line(1, "ok", 60);
    const size_t at = line.find(":1,");
    for (int i = 1; i <= 100000; i++) many += line.substr(0, at + 1) + std::to_string(i) + line.substr(at + 2);
    ASSERT_TRUE(WriteText(path, many));
    ASSERT_EQ(0, ReadResultsFile(path.c_str(), &records, &bad));
    ASSERT_EQ(100000u, records.size());
    EXPECT_EQ(0, bad);
    EXPECT_EQ(100000, records[99999].cycle);
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
    SleepRecord r;
    ClearSleepRecord(&r);
    r.requestedSec = 30;
    r.measuredSec = 30;
    r.verdict = VERDICT_OK;
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
