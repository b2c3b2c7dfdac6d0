// The decisions of vesplin-report without any file: its command line, the
// machine of a results file, the fleet's machines, its lines and exit code.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <string>
#include <vector>
#include "portable/record_lines.h"
#include "tool/report_tool.h"

namespace {

FleetFile File(int badLines = 0) {
    FleetFile file;
    memset(&file, 0, sizeof(file));
    file.badLines = badLines;
    return file;
}

}  // namespace

TEST(ReportTool, CommandLines) {
    struct Case {
        std::vector<const char*> words;
        bool accepted;
        bool help;
        const char* page;
        const char* junit;
        int inputs;
        const char* error;  // a part of the reason
    };
    const Case cases[] = {
        {{"a"}, true, false, "", "", 1, ""},
        {{"--page=p.html", "--junit=j.xml", "a", "b/"}, true, false, "p.html", "j.xml", 2, ""},
        {{"a", "--junit=x y.xml"}, true, false, "", "x y.xml", 1, ""},
        {{"--help"}, true, true, "", "", 0, ""},
        {{"-h", "--bogus"}, false, false, "", "", 0, "unknown option: --bogus"},
        {{"-?"}, true, true, "", "", 0, ""},
        {{"--", "-odd-name.jsonl"}, true, false, "", "", 1, ""},
        {{}, false, false, "", "", 0, "no results file"},
        {{"--page=p.html"}, false, false, "", "", 0, "no results file"},
        {{"--pages=p.html", "a"}, false, false, "", "", 0, "unknown option: --pages=p.html"},
        {{"--page", "a"}, false, false, "", "", 0, "needs a file name"},
        {{"--page=", "a"}, false, false, "", "", 0, "needs a file name"},
        {{"--junit=a.xml", "--junit=b.xml", "a"}, false, false, "", "", 0, "given twice"},
        {{"-", "a"}, false, false, "", "", 0, "unknown option: -"},
        {{"-x", "a"}, false, false, "", "", 0, "unknown option: -x"},
        {{"a", ""}, false, false, "", "", 0, "empty file name"},
    };
    std::string longName = "--page=" + std::string(FLEET_PATH_SIZE, 'p');
    for (const Case& c : cases) {
        std::vector<const char*> argv = {"vesplin-report"};
        argv.insert(argv.end(), c.words.begin(), c.words.end());
        std::string shown;
        for (const char* w : c.words) shown += std::string(w) + " ";
        ToolArgs args;
        char error[256];
        EXPECT_EQ(c.accepted, ParseToolArgs((int)argv.size(), argv.data(), &args, error, sizeof(error))) << shown;
        if (!c.accepted) {
            EXPECT_NE(nullptr, strstr(error, c.error)) << shown << " said: " << error;
            continue;
        }
        EXPECT_EQ(c.help, args.help) << shown;
        EXPECT_STREQ(c.page, args.page) << shown;
        EXPECT_STREQ(c.junit, args.junit) << shown;
        EXPECT_EQ(c.inputs, (int)args.inputs.size()) << shown;
    }
    const char* tooLong[] = {"vesplin-report", longName.c_str(), "a"};
    ToolArgs args;
    char error[64];  // a reason longer than its buffer is cut, not overrun
    EXPECT_FALSE(ParseToolArgs(3, tooLong, &args, error, sizeof(error)));
    EXPECT_LT(strlen(error), sizeof(error));
    EXPECT_NE(nullptr, strstr(error, "too long"));
}

TEST(ReportTool, AMachineIsItsRecordsComputerElseItsFolder) {
    const struct {
        const char* path;
        const char* name;
    } folders[] = {
        {"/lab/pc-03/r.jsonl", "pc-03"},
        {"C:\\Vesplin\\fetched\\pc-04\\run.jsonl", "pc-04"},
        {"D:/mixed\\pc-05//r.jsonl", "pc-05"},
        {"C:\\r.jsonl", "unknown"},
        {"r.jsonl", "unknown"},
        {"/r.jsonl", "unknown"},
    };
    std::vector<SleepRecord> old = {SleepOf(1, VERDICT_OK), SleepOf(2, VERDICT_OK)};
    for (const auto& f : folders) {
        char name[COMPUTER_NAME_SIZE];
        MachineNameFor(old.data(), (int)old.size(), f.path, name, sizeof(name));
        EXPECT_STREQ(f.name, name) << f.path;
    }
    // An older record before the newer ones, or after them: the newest name counts.
    std::vector<SleepRecord> mixed = {SleepOf(1, VERDICT_OK, "first-name"), SleepOf(2, VERDICT_OK, "lab-pc-07"),
                                      SleepOf(3, VERDICT_OK)};
    char name[COMPUTER_NAME_SIZE];
    MachineNameFor(mixed.data(), (int)mixed.size(), "/lab/folder/r.jsonl", name, sizeof(name));
    EXPECT_STREQ("lab-pc-07", name);
    // A folder's name longer than a computer's is cut between whole characters.
    std::string folder = std::string(40, 'a');
    for (int i = 0; i < 30; i++) folder += "\xC3\xA9";
    MachineNameFor(nullptr, 0, ("/x/" + folder + "/r.jsonl").c_str(), name, sizeof(name));
    EXPECT_EQ(folder.substr(0, 62), name);
}

TEST(ReportTool, FilesOfOneMachineJoinAndTheFleetIsSortedByName) {
    std::vector<FleetMachine> fleet;
    AddToFleet(&fleet, "pc-b", File(), {SleepOf(1, VERDICT_OK), SleepOf(2, VERDICT_OK)});
    AddToFleet(&fleet, "PC-A", File(), {SleepOf(1, VERDICT_LOST)});
    AddToFleet(&fleet, "Pc-B", File(1), {SleepOf(1, VERDICT_TOO_SHORT), SleepOf(2, VERDICT_OK), SleepOf(3, VERDICT_OK)});
    SortFleet(&fleet);
    ASSERT_EQ(2u, fleet.size());
    EXPECT_STREQ("PC-A", fleet[0].name);
    EXPECT_STREQ("pc-b", fleet[1].name);  // the first spelling stays
    const FleetMachine& b = fleet[1];
    ASSERT_EQ(2u, b.files.size());
    EXPECT_EQ(5u, b.records.size());
    EXPECT_EQ(0, b.files[0].first);
    EXPECT_EQ(2, b.files[0].count);
    EXPECT_EQ(2, b.files[1].first);
    EXPECT_EQ(3, b.files[1].count);
    EXPECT_EQ(VERDICT_TOO_SHORT, b.records[b.files[1].first].verdict);
    // Each file's runs apart: the second file's cycle 1 begins a run of its own either way.
    EXPECT_EQ("pc-b: 2 runs, 5 sleeps: 4 ok, 1 short; 1 line unreadable", MachineSummary(b));
    EXPECT_EQ("Total: 2 machines, 3 runs, 6 sleeps: 4 ok, 1 short, 1 lost; 1 line unreadable", FleetSummary(fleet));
}

TEST(ReportTool, OnlyOkSleepsEverywhereExitWithZero) {
    const struct {
        std::vector<int> verdicts;
        int badLines;
        int expected;
    } cases[] = {
        {{VERDICT_OK, VERDICT_OK}, 0, TOOL_ALL_OK},
        {{VERDICT_OK, VERDICT_DEVICE_FAULT}, 0, TOOL_NOT_OK},
        {{VERDICT_LOST}, 0, TOOL_NOT_OK},
        {{}, 0, TOOL_ALL_OK},               // an empty file beside ok sleeps
        {{VERDICT_OK}, 1, TOOL_NOT_OK},     // a line that is no record may have been a failure
        {{VERDICT_OK, 99}, 0, TOOL_NOT_OK}, // a verdict this build does not know
    };
    for (const auto& c : cases) {
        std::vector<SleepRecord> records;
        for (int v : c.verdicts) records.push_back(SleepOf((int)records.size() + 1, v, "pc"));
        std::vector<FleetMachine> fleet;
        AddToFleet(&fleet, "pc", File(c.badLines), records);
        AddToFleet(&fleet, "other", File(), {SleepOf(1, VERDICT_OK, "other")});
        EXPECT_EQ(c.expected, FleetExitCode(fleet)) << MachineSummary(fleet[0]);
    }
    // Nothing read is no proof.
    EXPECT_EQ(TOOL_NOT_OK, FleetExitCode({}));
    std::vector<FleetMachine> empty;
    AddToFleet(&empty, "pc", File(), {});
    EXPECT_EQ(TOOL_NOT_OK, FleetExitCode(empty));
}
