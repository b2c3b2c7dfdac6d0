// The JUnit XML of the results: read back with a real parser, its counters
// checked against its testcases, its folding of long runs, and texts that
// would break a careless writer.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <chrono>
#include <map>
#include <set>
#include <string>
#include <vector>
#include <nlohmann/json.hpp>
#include "results/results.h"
#include "portable/record_lines.h"
#include "portable/xml_reader.h"

namespace {

const char* const kRunA = "20261207T124454Z-1a2b3c4d";
const char* const kRunB = "20261208T080000Z-00c0ffee";

SleepRecord Sleep(int cycle, int verdict, int state = SLEEP_S3, const char* runId = "", const char* computer = "") {
    SleepRecord r;
    ClearSleepRecord(&r);
    r.cycle = cycle;
    r.requestedState = r.enteredState = state;
    r.requestedSec = 60;
    r.measuredSec = 60 + cycle % 7;
    r.asleepSource = ASLEEP_FROM_INTERRUPT_TIME;
    r.asleepSec = r.measuredSec - 1;
    r.verdict = verdict;
    r.startUtc = kStart + cycle * 900000000LL;
    r.endUtc = r.startUtc + r.measuredSec * 10000000LL;
    snprintf(r.runId, sizeof(r.runId), "%s", runId);
    snprintf(r.computer, sizeof(r.computer), "%s", computer);
    r.schema = RECORD_SCHEMA;
    return r;
}

ReportHeader Header(const char* computer) {
    ReportHeader header;
    memset(&header, 0, sizeof(header));
    snprintf(header.computer, sizeof(header.computer), "%s", computer);
    return header;
}

std::string JUnit(const std::vector<SleepRecord>& records, const char* computer = "") {
    ReportHeader header = Header(computer);
    std::string xml = "left over";
    BuildJUnitReport(&header, records.data(), (int)records.size(), &xml);
    return xml;
}

struct Suite {
    std::string name, hostname, timestamp;
    long long tests, failures, errors, skipped, time;
    long long caseTime;      // the testcases' times added up
    long long caseFailures;  // testcases with a failure
    std::vector<std::string> names, classnames, types, messages, outputs;
};

// The whole document read back: each suite's attributes and what its
// testcases say. Fails the test when the document is not well-formed, or
// when any counter disagrees with the testcases.
std::vector<Suite> ReadSuites(const std::string& xml) {
    std::vector<Suite> suites;
    XmlDoc doc = ReadXml(xml);
    EXPECT_EQ("", doc.errors);
    if (!doc.doc) return suites;
    xmlNode* root = xmlDocGetRootElement(doc.doc);
    EXPECT_TRUE(IsElement(root, "testsuites"));
    long long allTests = 0, allFailures = 0, allTime = 0;
    for (xmlNode* s : Children(root, "testsuite")) {
        Suite suite{Attr(s, "name"), Attr(s, "hostname"), Attr(s, "timestamp"), NumberAttr(s, "tests"),
                    NumberAttr(s, "failures"), NumberAttr(s, "errors"), NumberAttr(s, "skipped"),
                    NumberAttr(s, "time"), 0, 0, {}, {}, {}, {}, {}};
        std::vector<xmlNode*> cases = Children(s, "testcase");
        for (xmlNode* c : cases) {
            suite.names.push_back(Attr(c, "name"));
            suite.classnames.push_back(Attr(c, "classname"));
            suite.caseTime += NumberAttr(c, "time");
            std::vector<xmlNode*> failures = Children(c, "failure");
            EXPECT_LE(failures.size(), 1u);
            if (!failures.empty()) {
                suite.caseFailures++;
                suite.types.push_back(Attr(failures[0], "type"));
                suite.messages.push_back(Attr(failures[0], "message"));
                EXPECT_EQ(0, (int)Children(c, "error").size());
            }
            for (xmlNode* out : Children(c, "system-out")) suite.outputs.push_back(Content(out));
        }
        EXPECT_EQ((long long)cases.size(), suite.tests) << suite.name;
        EXPECT_EQ(suite.caseFailures, suite.failures) << suite.name;
        EXPECT_EQ(0, suite.errors) << suite.name;
        EXPECT_EQ(0, suite.skipped) << suite.name;
        EXPECT_EQ(suite.caseTime, suite.time) << suite.name;
        std::set<std::string> distinct(suite.names.begin(), suite.names.end());
        EXPECT_EQ(suite.names.size(), distinct.size()) << "names repeat in " << suite.name;
        allTests += suite.tests;
        allFailures += suite.failures;
        allTime += suite.time;
        suites.push_back(suite);
    }
    EXPECT_EQ(allTests, NumberAttr(root, "tests"));
    EXPECT_EQ(allFailures, NumberAttr(root, "failures"));
    EXPECT_EQ(allTime, NumberAttr(root, "time"));
    FreeXml(&doc);
    return suites;
}

long long MeasuredSum(const std::vector<SleepRecord>& records, size_t from, size_t to) {
    long long sum = 0;
    for (size_t i = from; i < to; i++) sum += records[i].measuredSec;
    return sum;
}

}  // namespace

TEST(JUnitReport, ASuiteARunWithATestcaseASleep) {
    std::vector<SleepRecord> records = {
        Sleep(1, VERDICT_OK, SLEEP_S3, kRunA, "lab-pc-07.example"),
        Sleep(1, VERDICT_OK, SLEEP_S4, kRunA, "lab-pc-07.example"),
        Sleep(2, VERDICT_LOST, SLEEP_S3, kRunA, "lab-pc-07.example"),
        // The run taken back after the power loss repeats its cycle.
        Sleep(2, VERDICT_OK, SLEEP_S3, kRunA, "lab-pc-07.example"),
        Sleep(2, VERDICT_TOO_SHORT, SLEEP_S3, kRunA, "lab-pc-07.example"),
        Sleep(1, VERDICT_OK, SLEEP_S1, kRunB, "lab-pc-07.example"),
        Sleep(2, VERDICT_DEVICE_FAULT, SLEEP_S1, kRunB, "lab-pc-07.example"),
    };
    records[2].lostReason = LOST_CRASHED;
    snprintf(records[2].bugcheck, sizeof(records[2].bugcheck), "0x0000009F");
    std::vector<Suite> suites = ReadSuites(JUnit(records, "header-name"));
    ASSERT_EQ(2u, suites.size());
    const Suite& a = suites[0];
    EXPECT_EQ(std::string("vesplin ") + kRunA, a.name);
    EXPECT_EQ("lab-pc-07.example", a.hostname);
    EXPECT_EQ("2026-12-07T12:46:24", a.timestamp);  // the run's first start, UTC
    EXPECT_EQ(5, a.tests);
    EXPECT_EQ(2, a.failures);
    EXPECT_EQ(MeasuredSum(records, 0, 5), a.time);
    EXPECT_EQ((std::vector<std::string>{"cycle 0001 S3 60 s", "cycle 0001 S4 60 s", "cycle 0002 S3 60 s",
                                        "cycle 0002 S3 60 s #2", "cycle 0002 S3 60 s #3"}),
              a.names);
    for (const std::string& classname : a.classnames) EXPECT_EQ("vesplin.lab-pc-07_example", classname);
    EXPECT_EQ((std::vector<std::string>{"lost", "short"}), a.types);
    // Each failure carries its record as the results file has it.
    ASSERT_EQ(2u, a.outputs.size());
    nlohmann::json lost = nlohmann::json::parse(a.outputs[0]);
    EXPECT_EQ("lost", lost["verdict"]);
    EXPECT_EQ("crashed", lost["lost_reason"]);
    EXPECT_EQ(2, lost["cycle"]);
    EXPECT_EQ(kRunA, lost["run_id"]);
    EXPECT_EQ("short", nlohmann::json::parse(a.outputs[1])["verdict"]);
    const Suite& b = suites[1];
    EXPECT_EQ(std::string("vesplin ") + kRunB, b.name);
    EXPECT_EQ(2, b.tests);
    EXPECT_EQ((std::vector<std::string>{"device_fault"}), b.types);
}

TEST(JUnitReport, OlderRunsAreNumberedAndNamedByTheHeadersComputer) {
    std::vector<SleepRecord> records;
    for (int cycle : {1, 2, 3, 1, 2}) records.push_back(Sleep(cycle, VERDICT_OK));
    records.push_back(Sleep(1, VERDICT_OK, SLEEP_S3, kRunA, "new-name"));
    records[4].requestedSec = -1;  // unknown in an older record
    std::vector<Suite> suites = ReadSuites(JUnit(records, "header-name"));
    ASSERT_EQ(3u, suites.size());
    EXPECT_EQ("vesplin run 1", suites[0].name);
    EXPECT_EQ("vesplin run 2", suites[1].name);
    EXPECT_EQ(std::string("vesplin ") + kRunA, suites[2].name);
    EXPECT_EQ("header-name", suites[0].hostname);
    EXPECT_EQ("new-name", suites[2].hostname);
    EXPECT_EQ("vesplin.header-name", suites[0].classnames[0]);
    EXPECT_EQ(3, suites[0].tests);
    EXPECT_EQ("cycle 0002 S3", suites[1].names[1]);
    // Without any name at all a suite still has a host.
    std::vector<Suite> nameless = ReadSuites(JUnit({Sleep(1, VERDICT_OK)}));
    ASSERT_EQ(1u, nameless.size());
    EXPECT_FALSE(nameless[0].hostname.empty());
    // No records: a document with no suite.
    EXPECT_TRUE(ReadSuites(JUnit({})).empty());
}

TEST(JUnitReport, EachFailureSaysItsVerdictAndCause) {
    SleepRecord shortSleep = Sleep(1, VERDICT_TOO_SHORT);
    shortSleep.measuredSec = 12;
    snprintf(shortSleep.wakeSource, sizeof(shortSleep.wakeSource), "HID Keyboard Device");
    SleepRecord longSleep = Sleep(2, VERDICT_TOO_LONG);
    longSleep.measuredSec = 130;
    SleepRecord notSlept = Sleep(3, VERDICT_NOT_SLEPT);
    notSlept.asleepSec = 0;
    SleepRecord refused = Sleep(4, VERDICT_REFUSED);
    refused.reason = REFUSED_SUSPEND_FAILED;
    refused.errorCode = 5;
    SleepRecord lost = Sleep(5, VERDICT_LOST);
    lost.lostReason = LOST_CRASHED;
    snprintf(lost.bugcheck, sizeof(lost.bugcheck), "0x0000009F");
    SleepRecord hung = Sleep(6, VERDICT_LOST);
    hung.lostReason = LOST_HUNG_AFTER_WAKE;
    SleepRecord wrong = Sleep(7, VERDICT_WRONG_STATE);
    wrong.effectiveState = SLEEP_S4;
    SleepRecord device = Sleep(8, VERDICT_DEVICE_FAULT);
    device.devices = {true, 140, 0, {{"USB\\VID_1", "USB Hub", "USB", 0}},
                      {{"HDAUDIO\\FUNC_01", "Realtek Audio", "MEDIA", 43}}};
    const struct {
        SleepRecord record;
        const char* type;
        std::vector<const char*> says;
    } cases[] = {
        {shortSleep, "short", {"short", "12 s", "60 s", "HID Keyboard Device"}},
        {longSleep, "long", {"long", "130 s"}},
        {notSlept, "not_slept", {"not_slept", "asleep 0 s"}},
        {refused, "refused", {"suspend_failed", "error 5"}},
        {lost, "lost", {"lost", "crashed", "0x0000009F"}},
        {hung, "lost", {"hung_after_wake"}},
        {wrong, "wrong_state", {"asked S3", "entered S4"}},
        {device, "device_fault", {"device_fault", "USB Hub", "Realtek Audio", "43"}},
    };
    for (const auto& c : cases) {
        std::vector<Suite> suites = ReadSuites(JUnit({c.record}));
        ASSERT_EQ(1u, suites.size());
        ASSERT_EQ(1u, suites[0].types.size()) << c.type;
        EXPECT_EQ(c.type, suites[0].types[0]);
        for (const char* part : c.says)
            EXPECT_NE(std::string::npos, suites[0].messages[0].find(part)) << suites[0].messages[0] << " lacks " << part;
    }
    // The failure's text names each device in full, its instance id too.
    std::string xml = JUnit({device});
    XmlDoc doc = ReadXml(xml);
    std::vector<xmlNode*> failures = Descendants(doc.doc, "failure");
    ASSERT_EQ(1u, failures.size());
    EXPECT_NE(std::string::npos, Content(failures[0]).find("HDAUDIO\\FUNC_01"));
    FreeXml(&doc);
}

TEST(JUnitReport, ALongRunKeepsItsFailuresAndFoldsTheRest) {
    const int verdicts[] = {VERDICT_TOO_SHORT, VERDICT_LOST, VERDICT_DEVICE_FAULT};
    struct Case {
        int sleeps;
        int failEvery;  // every nth sleep fails; 0: none
        long long tests, failures;
    };
    const Case cases[] = {
        {1000, 1, 1000, 1000},           // at the limit nothing folds
        {1001, 0, 2, 0},                 // ok sleeps of two states: a case each
        {3000, 2, 1000 + 2 + 3, 1003},   // 1,500 failures: 500 fold into a case per verdict
        {2500, 5, 500 + 2, 500},         // every failure kept
    };
    for (const Case& c : cases) {
        std::vector<SleepRecord> records;
        for (int i = 0; i < c.sleeps; i++) {
            bool fails = c.failEvery && i % c.failEvery == 0;
            int verdict = fails ? verdicts[(i / c.failEvery) % 3] : VERDICT_OK;
            records.push_back(Sleep(i / 2 + 1, verdict, (i / 2) % 2 ? SLEEP_S4 : SLEEP_S3, kRunA, "pc"));
        }
        std::vector<Suite> suites = ReadSuites(JUnit(records));
        ASSERT_EQ(1u, suites.size()) << c.sleeps;
        const Suite& s = suites[0];
        EXPECT_EQ(c.tests, s.tests) << c.sleeps;
        EXPECT_EQ(c.failures, s.failures) << c.sleeps;
        EXPECT_EQ(MeasuredSum(records, 0, records.size()), s.time) << c.sleeps;
        if (c.sleeps <= JUNIT_CASES_PER_RUN) continue;
        // The folded ok sleeps: a case per state that says how many.
        int okS3 = 0, okS4 = 0;
        for (const SleepRecord& r : records) {
            if (r.verdict != VERDICT_OK) continue;
            (r.requestedState == SLEEP_S3 ? okS3 : okS4)++;
        }
        auto grouped = [](int n) {
            std::string digits = std::to_string(n);
            return n >= 1000 ? digits.substr(0, digits.size() - 3) + "," + digits.substr(digits.size() - 3) : digits;
        };
        std::set<std::string> names(s.names.begin(), s.names.end());
        EXPECT_EQ(1u, names.count("S3: " + grouped(okS3) + " ok")) << c.sleeps;
        EXPECT_EQ(1u, names.count("S4: " + grouped(okS4) + " ok")) << c.sleeps;
        // Failures beyond the first thousand: a failing case per verdict, with how many.
        int kept = 0;
        for (const std::string& name : s.names) kept += name.rfind("cycle ", 0) == 0;
        EXPECT_EQ(std::min<long long>(c.failures, JUNIT_CASES_PER_RUN), kept);
        if (c.failures > JUNIT_CASES_PER_RUN) {
            std::map<std::string, int> beyond;
            int failures = 0;
            for (const SleepRecord& r : records) {
                if (r.verdict == VERDICT_OK) continue;
                if (++failures > JUNIT_CASES_PER_RUN) beyond[VerdictId(r.verdict)]++;
            }
            std::vector<std::string> folded(s.types.end() - 3, s.types.end());
            for (const auto& [verdict, count] : beyond) {
                EXPECT_NE(folded.end(), std::find(folded.begin(), folded.end(), verdict));
                std::string name = verdict + ": " + std::to_string(count) + " beyond the first 1,000 failures";
                EXPECT_EQ(1u, names.count(name)) << name;
            }
            // The cases kept are the run's first failures, in order.
            EXPECT_EQ("cycle 0001 S3 60 s", s.names[0]);
        }
    }
}

TEST(JUnitReport, HostileTextsStayValidXml) {
    const char* const hostile[] = {
        "plain",
        "control \x01\x02\x1b\x7f bytes",
        "ends ]]> a section",
        "quotes \" and ' and <tags> & ampersands &amp;",
        "tab\tline\nreturn\rend",
        "bad UTF-8 \xff\xfe, overlong \xc0\x80, surrogate \xed\xa0\x80, cut \xe2\x82",
        "non-characters \xef\xbf\xbe \xef\xbf\xbf and C1 \xc2\x85",
        "good \xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80",
    };
    for (const char* text : hostile) {
        SleepRecord r = Sleep(1, VERDICT_DEVICE_FAULT, SLEEP_S3, "", "");
        snprintf(r.wakeSource, sizeof(r.wakeSource), "%s", text);
        snprintf(r.computer, sizeof(r.computer), "%.*s", (int)sizeof(r.computer) - 1, text);
        snprintf(r.runId, sizeof(r.runId), "%.*s", (int)sizeof(r.runId) - 1, text);
        std::string name = std::string(text) + std::string("\0nul", 4);
        r.devices = {true, 1, 0, {{"id", name, "cls", 0}}, {{"id2", text, text, 10}}};
        r.verdict = VERDICT_TOO_SHORT;
        std::vector<Suite> suites = ReadSuites(JUnit({r}, text));
        ASSERT_EQ(1u, suites.size()) << text;
        EXPECT_EQ(1u, suites[0].messages.size()) << text;
    }
    // What comes back through the parser is the text, with what XML 1.0
    // cannot carry replaced: line ends and tabs survive in attributes too.
    const std::string R = "\xef\xbf\xbd";
    const struct {
        std::string text, read;
    } escapes[] = {
        {"a<b>&c\"d'e", "a<b>&c\"d'e"},
        {"]]>", "]]>"},
        {"t\tn\nr\r", "t\tn\nr\r"},
        {std::string("nul\0x", 5), "nul" + R + "x"},
        {"\x01\x1f\x7f", R + R + R},
        {"\xff\xc0\x80", R + R + R},
        {"\xed\xa0\x80", R + R + R},
        {"\xe2\x82", R + R},
        {"\xf4\x90\x80\x80", R + R + R + R},  // past U+10FFFF
        {"\xef\xbf\xbe\xef\xbf\xbf\xc2\x9f", R + R + R},
        {"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\xee\x80\x80", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\xee\x80\x80"},
    };
    for (const auto& e : escapes) {
        std::string xml = "<a v=\"";
        AppendXmlText(&xml, e.text.data(), e.text.size(), true);
        xml += "\">";
        AppendXmlText(&xml, e.text.data(), e.text.size(), false);
        xml += "</a>";
        XmlDoc doc = ReadXml(xml);
        ASSERT_EQ("", doc.errors) << xml;
        xmlNode* root = xmlDocGetRootElement(doc.doc);
        EXPECT_EQ(e.read, Attr(root, "v")) << xml;
        EXPECT_EQ(e.read, Content(root)) << xml;
        FreeXml(&doc);
    }
}

TEST(JUnitReport, ManyMachinesInOneFile) {
    std::vector<FleetMachine> fleet(2);
    snprintf(fleet[0].name, sizeof(fleet[0].name), "pc-a");
    snprintf(fleet[1].name, sizeof(fleet[1].name), "pc-b");
    auto addFile = [](FleetMachine* m, std::vector<SleepRecord> records) {
        FleetFile file;
        memset(&file, 0, sizeof(file));
        file.first = (int)m->records.size();
        file.count = (int)records.size();
        m->files.push_back(file);
        m->records.insert(m->records.end(), records.begin(), records.end());
    };
    // Two files of older records: cycle 2 follows cycle 1 across them, and still two runs.
    addFile(&fleet[0], {Sleep(1, VERDICT_OK)});
    addFile(&fleet[0], {Sleep(2, VERDICT_LOST)});
    addFile(&fleet[1], {Sleep(1, VERDICT_OK, SLEEP_S3, kRunA, "pc-b.lab"), Sleep(2, VERDICT_OK, SLEEP_S3, kRunA, "pc-b.lab")});
    std::string xml;
    BuildFleetJUnit(fleet.data(), (int)fleet.size(), &xml);
    std::vector<Suite> suites = ReadSuites(xml);
    ASSERT_EQ(3u, suites.size());
    EXPECT_EQ("vesplin pc-a run 1", suites[0].name);
    EXPECT_EQ("vesplin pc-a run 2", suites[1].name);
    EXPECT_EQ(std::string("vesplin pc-b ") + kRunA, suites[2].name);
    EXPECT_EQ("pc-a", suites[0].hostname);
    EXPECT_EQ("pc-b.lab", suites[2].hostname);
    EXPECT_EQ(1, suites[1].failures);
    EXPECT_EQ(2, suites[2].tests);
}

TEST(JUnitReport, AHundredThousandSleepsAreQuick) {
    std::vector<SleepRecord> records;
    records.reserve(100000);
    for (int i = 0; i < 100000; i++) {
        SleepRecord r = Sleep(i + 1, i % 50 == 7 ? VERDICT_TOO_SHORT : VERDICT_OK, SLEEP_S3, "", "lab-pc-07");
        // A run a thousand sleeps long: every sleep keeps its own testcase.
        snprintf(r.runId, sizeof(r.runId), "20261207T124454Z-%08x", (unsigned)(i / 1000));
        records.push_back(r);
    }
    ReportHeader header = Header("pc");
    std::string xml;
    auto begin = std::chrono::steady_clock::now();
    BuildJUnitReport(&header, records.data(), (int)records.size(), &xml);
    long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begin).count();
    // Well under 100 ms on the build host; the bound leaves room for a slow or busy one.
    EXPECT_LT(ms, 1000);
    std::vector<Suite> suites = ReadSuites(xml);
    ASSERT_EQ(100u, suites.size());
    long long tests = 0, failures = 0;
    for (const Suite& s : suites) tests += s.tests, failures += s.failures;
    EXPECT_EQ(100000, tests);
    EXPECT_EQ(2000, failures);
}
