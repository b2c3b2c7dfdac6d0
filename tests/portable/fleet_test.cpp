// The fleet page: read back with an HTML parser, a row a machine with its
// counts, the failures grouped across machines, and hostile names kept text.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <map>
#include <string>
#include <vector>
#include "results/results.h"
#include "portable/record_lines.h"
#include "portable/xml_reader.h"

namespace {

SleepRecord Sleep(int cycle, int verdict, const char* computer = "") { return SleepOf(cycle, verdict, computer); }

SleepRecord Lost(int cycle, int reason, const char* bugcheck) {
    SleepRecord r = Sleep(cycle, VERDICT_LOST);
    r.lostReason = reason;
    snprintf(r.bugcheck, sizeof(r.bugcheck), "%s", bugcheck);
    return r;
}

SleepRecord WithPhases(SleepRecord r, long long firmware, long long drivers, long long hiberRead) {
    r.phasesKnown = true;
    r.phases[PHASE_FIRMWARE] = {firmware >= 0, firmware};
    r.phases[PHASE_DRIVERS] = {drivers >= 0, drivers};
    r.phases[PHASE_HIBER_READ] = {hiberRead >= 0, hiberRead};
    r.phases[PHASE_WAKE] = {true, 99999};  // not what the chart adds up
    return r;
}

SleepRecord WithDevice(SleepRecord r, const char* id, const char* name, int code) {
    r.devices.known = true;
    if (code < 0)
        r.devices.missing.push_back({id, name, "USB", 0});
    else
        r.devices.problems.push_back({id, name, "MEDIA", code});
    return r;
}

struct FileSpec {
    std::vector<SleepRecord> records;
    const char* pageLink;
    const char* state;
    int exitCode;  // -1: none
    int badLines;
};

FleetMachine Machine(const char* name, const std::vector<FileSpec>& files) {
    FleetMachine m;
    snprintf(m.name, sizeof(m.name), "%s", name);
    for (const FileSpec& spec : files) {
        FleetFile file;
        memset(&file, 0, sizeof(file));
        snprintf(file.pageLink, sizeof(file.pageLink), "%s", spec.pageLink);
        snprintf(file.runState, sizeof(file.runState), "%s", spec.state);
        file.exitCodeKnown = spec.exitCode >= 0;
        file.exitCode = spec.exitCode;
        file.badLines = spec.badLines;
        file.first = (int)m.records.size();
        file.count = (int)spec.records.size();
        m.files.push_back(file);
        m.records.insert(m.records.end(), spec.records.begin(), spec.records.end());
    }
    return m;
}

std::string Trim(const std::string& text) {
    size_t begin = text.find_first_not_of(" \n\t");
    size_t end = text.find_last_not_of(" \n\t");
    return begin == std::string::npos ? "" : text.substr(begin, end - begin + 1);
}

// A table of the page as texts: its header's cells name the columns of each row.
struct Table {
    std::vector<std::string> header;
    std::vector<std::vector<std::string>> rows;
    std::vector<std::vector<xmlNode*>> cells;
    std::string Cell(size_t row, const std::string& column) const {
        for (size_t i = 0; i < header.size(); i++)
            if (header[i] == column && i < rows[row].size()) return rows[row][i];
        ADD_FAILURE() << "no column " << column;
        return "";
    }
};

struct Page {
    std::string html;
    XmlDoc doc;
    std::vector<Table> tables;
};

Page Build(const std::vector<FleetMachine>& fleet) {
    Page page;
    BuildFleetPage(fleet.data(), (int)fleet.size(), &page.html);
    page.doc = ReadHtml(page.html);
    EXPECT_NE(nullptr, page.doc.doc);
    for (xmlNode* t : Descendants(page.doc.doc, "table")) {
        Table table;
        std::vector<xmlNode*> rows;
        Descendants(t, "tr", &rows);
        for (xmlNode* row : rows) {
            std::vector<xmlNode*> th = Children(row, "th"), td = Children(row, "td");
            if (!th.empty()) {
                for (xmlNode* cell : th) table.header.push_back(Trim(Content(cell)));
                continue;
            }
            table.rows.emplace_back();
            table.cells.push_back(td);
            for (xmlNode* cell : td) table.rows.back().push_back(Trim(Content(cell)));
        }
        page.tables.push_back(table);
    }
    return page;
}

}  // namespace

TEST(FleetPage, ARowAMachineWithItsCounts) {
    std::vector<FleetMachine> fleet = {
        Machine("pc-ok", {{{Sleep(1, VERDICT_OK), Sleep(2, VERDICT_OK)}, "pc-ok/r.html", "finished", 0, 0},
                          {{Sleep(1, VERDICT_OK)}, "", "", -1, 0}}),
        Machine("pc-bad", {{{WithPhases(Sleep(1, VERDICT_OK), 486, 1688, -1), Lost(2, LOST_CRASHED, "0x0000009F"),
                             Lost(3, LOST_POWER_BUTTON, ""), Sleep(4, VERDICT_TOO_SHORT),
                             WithPhases(Sleep(5, VERDICT_OK), 400, 900, 5402),
                             WithDevice(Sleep(6, VERDICT_DEVICE_FAULT), "USB\\1", "USB Hub", -1)},
                            "../pc bad/r.html", "finished", 2, 0}}),
        Machine("old-pc", {{{Sleep(1, VERDICT_OK), Sleep(1, 99)}, "", "running", -1, 3}}),
    };
    Page page = Build(fleet);
    ASSERT_EQ(2u, page.tables.size());
    const Table& machines = page.tables[0];
    ASSERT_EQ(3u, machines.rows.size());
    const struct {
        const char* machine;
        const char* runs;
        const char* sleeps;
        std::map<std::string, std::string> counts;
        const char* lost;
        const char* devices;
        const char* resume;
        const char* exit;
    } expected[] = {
        {"pc-ok", "2", "3", {{"ok", "3"}, {"lost", "0"}, {"other", "0"}}, "\xE2\x80\x93", "0", "\xE2\x80\x93", "0 (finished)"},
        {"pc-bad", "1", "6", {{"ok", "2"}, {"short", "1"}, {"lost", "2"}, {"device_fault", "1"}}, "crashed 1, power_button 1",
         "1", "6702 ms (cycle 5)", "2 (finished)"},
        {"old-pc", "1", "2 (3 lines unreadable)", {{"ok", "1"}, {"other", "1"}}, "\xE2\x80\x93", "0", "\xE2\x80\x93", "running"},
    };
    for (size_t i = 0; i < 3; i++) {
        const auto& e = expected[i];
        EXPECT_EQ(e.machine, machines.Cell(i, "Machine"));
        EXPECT_EQ(e.runs, machines.Cell(i, "Runs")) << e.machine;
        EXPECT_EQ(e.sleeps, machines.Cell(i, "Sleeps")) << e.machine;
        for (const auto& [verdict, count] : e.counts) EXPECT_EQ(count, machines.Cell(i, verdict)) << e.machine << " " << verdict;
        EXPECT_EQ(e.lost, machines.Cell(i, "Lost reasons")) << e.machine;
        EXPECT_EQ(e.devices, machines.Cell(i, "Device faults")) << e.machine;
        EXPECT_EQ(e.resume, machines.Cell(i, "Worst resume")) << e.machine;
        EXPECT_EQ(e.exit, machines.Cell(i, "Exit code")) << e.machine;
    }
    // Links to each machine's own page, relative, and only where one was found.
    std::vector<xmlNode*> links = Descendants(page.doc.doc, "a");
    ASSERT_EQ(2u, links.size());
    EXPECT_EQ("pc-ok/r.html", Attr(links[0], "href"));
    EXPECT_EQ("../pc%20bad/r.html", Attr(links[1], "href"));
    EXPECT_EQ("\xE2\x80\x93", machines.Cell(2, "Report"));
    EXPECT_TRUE(Descendants(page.doc.doc, "script").empty());
    EXPECT_EQ(std::string::npos, page.html.find("http"));
    FreeXml(&page.doc);
}

TEST(FleetPage, FailuresAreGroupedByKindAcrossMachines) {
    SleepRecord wrong = Sleep(4, VERDICT_WRONG_STATE, "b");
    wrong.effectiveState = SLEEP_S4;
    SleepRecord refused = Sleep(5, VERDICT_REFUSED);
    refused.reason = REFUSED_SUSPEND_FAILED;
    refused.errorCode = 5;
    std::vector<FleetMachine> fleet = {
        Machine("a", {{{Lost(1, LOST_CRASHED, "0x0000009F"), Lost(2, LOST_CRASHED, "0x0000009F"), refused,
                        WithDevice(Sleep(3, VERDICT_DEVICE_FAULT), "USB\\VID_1&PID_2\\5&1", "USB Hub", -1)},
                       "", "", -1, 0}}),
        Machine("b", {{{Lost(1, LOST_CRASHED, "0x0000009F"), Lost(2, LOST_CRASHED, "0x00000133"), wrong,
                        // Another instance of the same device, and a lost sleep that also lost it.
                        WithDevice(Lost(3, LOST_UNKNOWN, ""), "USB\\VID_1&PID_2\\7&9", "USB Hub", -1),
                        WithDevice(Sleep(5, VERDICT_OK), "HDAUDIO\\1", "Realtek Audio", 43)},
                       "", "", -1, 0}}),
    };
    Page page = Build(fleet);
    ASSERT_EQ(2u, page.tables.size());
    const Table& kinds = page.tables[1];
    struct Row {
        std::string kind, failure, sleeps, machines, which;
    };
    std::vector<Row> rows;
    for (size_t i = 0; i < kinds.rows.size(); i++)
        rows.push_back({kinds.Cell(i, "Kind"), kinds.Cell(i, "Failure"), kinds.Cell(i, "Sleeps"),
                        kinds.Cell(i, "Machines"), kinds.Cell(i, "Which")});
    const Row want[] = {
        {"Sleep", "refused: suspend_failed, error 5", "1", "1", "a 1"},
        {"Sleep", "wrong_state: asked S3, entered S4", "1", "1", "b 1"},
        {"Lost", "crashed, bug check 0x0000009F", "3", "2", "a 2, b 1"},
        {"Lost", "crashed, bug check 0x00000133", "1", "1", "b 1"},
        {"Lost", "unknown", "1", "1", "b 1"},
        {"Device", "USB Hub: missing", "2", "2", "a 1, b 1"},
        {"Device", "Realtek Audio: stopped after reporting problems (code 43)", "1", "1", "b 1"},
    };
    ASSERT_EQ(sizeof(want) / sizeof(want[0]), rows.size());
    for (size_t i = 0; i < rows.size(); i++) {
        EXPECT_EQ(want[i].kind, rows[i].kind) << i;
        EXPECT_EQ(want[i].failure, rows[i].failure) << i;
        EXPECT_EQ(want[i].sleeps, rows[i].sleeps) << want[i].failure;
        EXPECT_EQ(want[i].machines, rows[i].machines) << want[i].failure;
        EXPECT_EQ(want[i].which, rows[i].which) << want[i].failure;
    }
    FreeXml(&page.doc);

    // Nothing failed: no table of kinds, and the page says so.
    Page quiet = Build({Machine("a", {{{Sleep(1, VERDICT_OK)}, "", "", -1, 0}})});
    EXPECT_EQ(1u, quiet.tables.size());
    EXPECT_NE(std::string::npos, quiet.html.find("No sleep failed"));
    FreeXml(&quiet.doc);
    Page none = Build({});
    EXPECT_EQ(0u, none.tables.empty() ? 0u : none.tables[0].rows.size());
    FreeXml(&none.doc);
}

TEST(FleetPage, HostileNamesStayText) {
    const char* name = "<script>alert(1)</script>";
    SleepRecord r = WithDevice(Sleep(1, VERDICT_DEVICE_FAULT), "x", "<img src=x onerror=alert(1)> \x01\xff", -1);
    snprintf(r.wakeSource, sizeof(r.wakeSource), "</td></tr></table><a href=\"https://example\">");
    r.verdict = VERDICT_TOO_SHORT;
    Page page = Build({Machine(name, {{{r}, "../a b#c?d&e\"f.html", "<b>", 1, 0}})});
    EXPECT_TRUE(Descendants(page.doc.doc, "script").empty());
    EXPECT_TRUE(Descendants(page.doc.doc, "img").empty());
    EXPECT_TRUE(Descendants(page.doc.doc, "b").empty());
    std::vector<xmlNode*> links = Descendants(page.doc.doc, "a");
    ASSERT_EQ(1u, links.size());
    EXPECT_EQ("../a%20b%23c%3Fd%26e%22f.html", Attr(links[0], "href"));
    ASSERT_EQ(2u, page.tables.size());
    EXPECT_EQ(name, page.tables[0].Cell(0, "Machine"));
    EXPECT_EQ(1u, page.tables[0].rows.size());
    // The wake source is a short sleep's cause: shown, never markup.
    EXPECT_NE(std::string::npos, page.tables[1].Cell(0, "Failure").find("<a href=\"https://example\">"));
    EXPECT_EQ(std::string::npos, page.html.find("<script"));
    FreeXml(&page.doc);
}

TEST(FleetStatus, ReadsWhatItCanAndToleratesTheRest) {
    const struct {
        const char* text;
        bool read;
        const char* state;
        bool known;
        int code;
    } cases[] = {
        {"{\"state\":\"finished\",\"exit_code\":2,\"run_id\":\"x\"}\n", true, "finished", true, 2},
        {"{\"state\":\"running\",\"exit_code\":null}", true, "running", false, 0},
        {"{\"state\":\"a very long state name indeed\",\"exit_code\":-1}", true, "a very long sta", true, -1},
        {"{\"state\":7,\"exit_code\":\"2\"}", true, "", false, 0},
        {"{\"exit_code\":4294967298}", true, "", false, 0},
        {"{\"exit_code\":18446744073709551615}", true, "", false, 0},
        {"{\"exit_code\":1.5}", true, "", false, 0},
        {"{}", true, "", false, 0},
        {"", false, "old", true, 9},
        {"[1,2]", false, "old", true, 9},
        {"{\"state\":\"finished\"", false, "old", true, 9},
        {"null", false, "old", true, 9},
        {"\xff\xfe{", false, "old", true, 9},
    };
    for (const auto& c : cases) {
        FleetFile file;
        memset(&file, 0, sizeof(file));
        snprintf(file.runState, sizeof(file.runState), "old");
        file.exitCodeKnown = true;
        file.exitCode = 9;
        EXPECT_EQ(c.read, ReadFleetStatus(c.text, strlen(c.text), &file)) << c.text;
        EXPECT_STREQ(c.state, file.runState) << c.text;
        EXPECT_EQ(c.known, file.exitCodeKnown) << c.text;
        if (c.known) {
            EXPECT_EQ(c.code, file.exitCode) << c.text;
        }
    }
}
