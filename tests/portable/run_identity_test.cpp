// Which run a record belongs to: its id, the machine, the key set; the page's
// runs; and the status file a poller reads.
#include <gtest/gtest.h>
#include <string.h>
#include <regex>
#include <string>
#include <vector>
#include <nlohmann/json.hpp>
#include "results/results.h"
#include "portable/record_lines.h"

namespace {

SleepRecord Sleep(int cycle, const char* runId, const char* computer = "") {
    return SleepOf(cycle, VERDICT_OK, computer, runId);
}

int Occurrences(const std::string& text, const std::string& part) {
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) n++;
    return n;
}

}  // namespace

TEST(RunIdentity, IdsHaveTheirFormAndNothingElseIsOne) {
    char id[RUN_ID_SIZE];
    FormatRunId(kStart, 0x1a2b3c4du, id, sizeof(id));
    EXPECT_STREQ("20261207T124454Z-1a2b3c4d", id);
    EXPECT_TRUE(IsRunId(id));
    FormatRunId(kStart, 0, id, sizeof(id));
    EXPECT_STREQ("20261207T124454Z-00000000", id);
    FormatRunId(0, 5, id, sizeof(id));  // no valid time: no id
    EXPECT_STREQ("", id);
    char tiny[8];
    FormatRunId(kStart, 5, tiny, sizeof(tiny));
    EXPECT_EQ(7u, strlen(tiny));  // cut, and terminated
    for (const char* bad : {"", "20261207T124454Z-1a2b3c4", "20261207T124454Z-1a2b3c4d0", "20261207T124454Z-1A2B3C4D",
                            "20261207 124454Z-1a2b3c4d", "2026120XT124454Z-1a2b3c4d", "20261207T124454Z_1a2b3c4d",
                            "<script>alert(1)</script>"}) {
        EXPECT_FALSE(IsRunId(bad)) << bad;
    }
}

TEST(RunIdentity, RecordsCarryTheirRunAndOlderOnesReadWithout) {
    SleepRecord r = Sleep(2, "20261207T124454Z-1a2b3c4d", "lab-pc-07.example");
    std::string line = Format(r);
    auto json = nlohmann::ordered_json::parse(line);
    EXPECT_EQ("20261207T124454Z-1a2b3c4d", json["run_id"]);
    EXPECT_EQ("lab-pc-07.example", json["computer"]);
    EXPECT_EQ(1, json["schema"]);
    SleepRecord back;
    ASSERT_TRUE(ParseResultRecord(line.data(), line.size(), &back));
    EXPECT_STREQ(r.runId, back.runId);
    EXPECT_STREQ(r.computer, back.computer);
    EXPECT_EQ(RECORD_SCHEMA, back.schema);

    // A record of the older key set, and ones whose identity is of the wrong kind.
    const std::string older = Line(1, "ok", 60);
    std::string oldLine = older.substr(0, older.find(",\"run_id\"")) + "}";
    ASSERT_TRUE(ParseResultRecord(oldLine.data(), oldLine.size(), &back)) << oldLine;
    EXPECT_STREQ("", back.runId);
    EXPECT_EQ(0, back.schema);
    for (const char* wrong : {"\"run_id\":5", "\"computer\":[]", "\"schema\":\"1\""}) {
        std::string bad = oldLine.substr(0, oldLine.size() - 1) + "," + wrong + "}";
        EXPECT_FALSE(ParseResultRecord(bad.data(), bad.size(), &back)) << bad;
    }
    // A name longer than any host name is cut, whole characters kept.
    std::string longName = "{\"cycle\":1,\"verdict\":\"ok\",\"computer\":\"" + std::string(100, 'x') + "\"}";
    ASSERT_TRUE(ParseResultRecord(longName.data(), longName.size(), &back));
    EXPECT_EQ(COMPUTER_NAME_SIZE - 1, (int)strlen(back.computer));
}

TEST(RunIdentity, RunsAreSeparatedByIdElseWhereTheCycleFallsBackToOne) {
    const char* a = "20261207T124454Z-00000001";
    const char* b = "20261208T010000Z-00000002";
    const struct {
        const char* name;
        std::vector<SleepRecord> records;
        std::vector<int> starts;
    } cases[] = {
        {"none", {}, {}},
        {"one run with ids", {Sleep(1, a), Sleep(2, a), Sleep(3, a)}, {0}},
        {"two runs with ids, both from cycle 1", {Sleep(1, a), Sleep(2, a), Sleep(1, b), Sleep(2, b)}, {0, 2}},
        // Each id is its own run, however its cycles go (a run taken back repeats one).
        {"an id's cycles may repeat", {Sleep(1, a), Sleep(2, a), Sleep(2, a), Sleep(1, a)}, {0}},
        {"older records: cycle 1 again", {Sleep(1, ""), Sleep(2, ""), Sleep(1, ""), Sleep(2, "")}, {0, 2}},
        {"older records: several states in cycle 1", {Sleep(1, ""), Sleep(1, ""), Sleep(2, "")}, {0}},
        {"older records, then a run with an id", {Sleep(1, ""), Sleep(2, ""), Sleep(3, a)}, {0, 2}},
        {"a run with an id, then older ones", {Sleep(1, a), Sleep(2, ""), Sleep(3, "")}, {0, 1}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.starts, RunStarts(c.records.data(), (int)c.records.size())) << c.name;
    }
}

TEST(RunIdentity, ThePageShowsEachRunWithItsOwnHeader) {
    const char* a = "20261207T124454Z-00000001";
    const char* b = "20261208T010000Z-00000002";
    std::vector<SleepRecord> records = {Sleep(1, a, "pc-one"), Sleep(2, a, "pc-one"), Sleep(1, b, "pc-one"),
                                        Sleep(2, b, "pc-one"), Sleep(3, b, "pc-one")};
    records[1].verdict = VERDICT_TOO_SHORT;
    ReportHeader header;
    memset(&header, 0, sizeof(header));
    snprintf(header.commandLine, sizeof(header.commandLine), "Vesplin.exe -S0010 -E");
    header.exitCodeKnown = true;
    header.exitCode = 0;
    std::string page;
    BuildRunReport(&header, "r.jsonl", records.data(), (int)records.size(), 0, &page);
    EXPECT_EQ(2, Occurrences(page, "<h2 class=\"run\""));
    size_t second = page.find("id=\"run-2\"");
    ASSERT_NE(std::string::npos, second);
    std::string first = page.substr(0, second), last = page.substr(second);
    EXPECT_NE(std::string::npos, first.find(a));
    EXPECT_EQ(std::string::npos, first.find(b));
    EXPECT_NE(std::string::npos, last.find(b));
    // The sleeps of each run are its own, and so is its failure.
    EXPECT_NE(std::string::npos, first.find("<td>Sleeps</td><td>2</td>"));
    EXPECT_NE(std::string::npos, last.find("<td>Sleeps</td><td>3</td>"));
    EXPECT_EQ(1, Occurrences(first, " class=\"f\">"));
    EXPECT_EQ(0, Occurrences(last, " class=\"f\">"));
    // Only the run in progress has this process's command line and exit code.
    EXPECT_EQ(std::string::npos, first.find("Exit code"));
    EXPECT_NE(std::string::npos, last.find("Exit code"));
    EXPECT_EQ(std::string::npos, first.find("-S0010"));
    EXPECT_NE(std::string::npos, last.find("-S0010"));

    // One run: no run headings at all.
    records.resize(2);
    BuildRunReport(&header, "r.jsonl", records.data(), (int)records.size(), 0, &page);
    EXPECT_EQ(0, Occurrences(page, "<h2 class=\"run\""));
}

TEST(RunStatus, NamedByThePageRuleAndWrittenAsOneObject) {
    char path[64];
    const struct {
        const char* results;
        const char* status;
    } names[] = {{"r.jsonl", "r.run.json"}, {"C:\\lab\\night.jsonl", "C:\\lab\\night.run.json"},
                 {"C:\\lab.d\\results", "C:\\lab.d\\results.run.json"}, {"x.run.json", "x.run.run.json"}};
    for (const auto& n : names) {
        ASSERT_TRUE(RunStatusPath(n.results, path, sizeof(path))) << n.results;
        EXPECT_STREQ(n.status, path);
    }
    EXPECT_FALSE(RunStatusPath("", path, sizeof(path)));
    EXPECT_FALSE(RunStatusPath(std::string(70, 'a').c_str(), path, sizeof(path)));

    RunStatus status;
    memset(&status, 0, sizeof(status));
    snprintf(status.runId, sizeof(status.runId), "20261207T124454Z-1a2b3c4d");
    snprintf(status.computer, sizeof(status.computer), "pc\xE9");  // not UTF-8: replaced, never thrown at
    status.startUtc = kStart;
    status.updateUtc = kStart + 600000000LL;
    status.nextUpdateBy = kStart + 1200000000LL;
    status.cyclesDone = 3;
    status.cyclesPlanned = 10;
    status.verdicts[VERDICT_OK] = 2;
    status.verdicts[VERDICT_LOST] = 1;
    snprintf(status.commandLine, sizeof(status.commandLine), "Vesplin.exe \"-S0010\" -E");
    for (int state : {RUN_STATUS_RUNNING, RUN_STATUS_FINISHED, RUN_STATUS_STOPPED, RUN_STATUS_REFUSED}) {
        status.state = state;
        status.exitCodeKnown = state != RUN_STATUS_RUNNING;
        status.exitCode = 2;
        status.endUtc = state == RUN_STATUS_RUNNING ? 0 : status.updateUtc;
        std::string text = FormatRunStatus(&status);
        ASSERT_EQ('\n', text.back());
        EXPECT_EQ(1, Occurrences(text, "\n"));
        auto json = nlohmann::json::parse(text);
        EXPECT_EQ(RunStatusId(state), json["state"]);
        EXPECT_EQ("20261207T124454Z-1a2b3c4d", json["run_id"]);
        EXPECT_EQ("2026-12-07T12:44:54Z", json["start_utc"]);
        EXPECT_EQ(3, json["cycles_done"]);
        EXPECT_EQ(10, json["cycles_planned"]);
        EXPECT_EQ(2, json["verdicts"]["ok"]);
        EXPECT_EQ(1, json["verdicts"]["lost"]);
        EXPECT_EQ(0, json["verdicts"]["device_fault"]);
        EXPECT_EQ(VERDICT_COUNT, (int)json["verdicts"].size());
        EXPECT_EQ("Vesplin.exe \"-S0010\" -E", json["command_line"]);
        EXPECT_TRUE(json["junit"].is_null());
        if (state == RUN_STATUS_RUNNING) {
            EXPECT_TRUE(json["exit_code"].is_null());
            EXPECT_TRUE(json["end_utc"].is_null());
            EXPECT_EQ("2026-12-07T12:46:54Z", json["next_update_by"]);
        } else {
            EXPECT_EQ(2, json["exit_code"]);
            EXPECT_EQ("2026-12-07T12:45:54Z", json["end_utc"]);
            EXPECT_TRUE(json["next_update_by"].is_null());  // a run that ended owes no update
        }
    }
    status.cyclesPlanned = 0;  // cycles for ever
    EXPECT_TRUE(nlohmann::json::parse(FormatRunStatus(&status))["cycles_planned"].is_null());
}
