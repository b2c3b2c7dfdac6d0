// The results file's records and the run report, without any file or window:
// the same tests run on the build host and under Wine.
#include <gtest/gtest.h>
#include <ctype.h>
#include <string.h>
#include <functional>
#include <iterator>
#include <map>
#include <regex>
#include <string>
#include <vector>
#include <nlohmann/json.hpp>
#include "results/results.h"
#include "portable/record_lines.h"

namespace {

const char* const kOk =
    "{\"cycle\":1,\"requested_state\":\"S1\",\"entered_state\":\"S1\",\"fallback\":null,\"requested_sec\":30,"
    "\"measured_sec\":30,\"asleep_sec\":30,\"asleep_source\":\"sleep_wake_stamps\",\"verdict\":\"ok\","
    "\"wake_source\":null,\"start_utc\":\"2026-12-07T13:24:39Z\",\"end_utc\":\"2026-12-07T13:25:09Z\","
    "\"error_code\":0}";

SleepRecord SampleRecord() {
    SleepRecord r;
    ClearSleepRecord(&r);
    r.cycle = 3;
    r.requestedState = SLEEP_S4;
    r.enteredState = SLEEP_S3;
    r.fallback = FALLBACK_LIGHTER;
    r.requestedSec = 60;
    r.measuredSec = 61;
    r.asleepSource = ASLEEP_FROM_STAMPS;
    r.asleepSec = 59;
    r.verdict = VERDICT_OK;
    snprintf(r.wakeSource, sizeof(r.wakeSource), "HID Keyboard Device");
    r.startUtc = kStart;
    r.endUtc = kStart + 61 * 10000000LL;
    return r;
}

nlohmann::ordered_json Parse(const SleepRecord& record) {
    std::string line = Format(record);
    return nlohmann::ordered_json::parse(line.substr(0, line.size() - 1));
}

bool IsUtf8(const std::string& text) {
    std::vector<char> copy(text.size() + 1);
    CopyUtf8(copy.data(), copy.size(), text.c_str());
    return text == copy.data();  // every byte that is not UTF-8 became '?'
}

struct Built {
    int badLines;
    std::string page;
};

// The page of a results file with these contents.
Built BuildPage(const std::string& results, const ReportHeader* header = nullptr) {
    std::vector<SleepRecord> records;
    int bad = -1;
    ReadResultsText(results.data(), results.size(), &records, &bad);
    ReportHeader plain;
    memset(&plain, 0, sizeof(plain));
    Built built = {bad, ""};
    BuildRunReport(header ? header : &plain, "r.jsonl", records.data(), (int)records.size(), bad, &built.page);
    return built;
}

}  // namespace

TEST(ResultRecord, EveryFieldWithItsTypeInItsPlace) {
    nlohmann::ordered_json r = Parse(SampleRecord());
    std::vector<std::string> keys;
    for (auto it = r.begin(); it != r.end(); ++it) keys.push_back(it.key());
    EXPECT_EQ((std::vector<std::string>{"cycle", "requested_state", "entered_state", "fallback", "requested_sec",
                                        "measured_sec", "asleep_sec", "asleep_source", "verdict", "wake_source",
                                        "start_utc", "end_utc", "error_code", "reason", "phases", "target_state",
                                        "effective_state", "lost_reason", "bugcheck", "devices", "battery", "run_id",
                                        "computer", "schema"}),
              keys);
    EXPECT_EQ(3, r["cycle"]);
    EXPECT_EQ("S4", r["requested_state"]);
    EXPECT_EQ("S3", r["entered_state"]);
    EXPECT_EQ("lighter", r["fallback"]);
    EXPECT_EQ(60, r["requested_sec"]);
    EXPECT_EQ(61, r["measured_sec"]);
    EXPECT_EQ(59, r["asleep_sec"]);
    EXPECT_EQ("sleep_wake_stamps", r["asleep_source"]);
    EXPECT_EQ("ok", r["verdict"]);
    EXPECT_EQ("HID Keyboard Device", r["wake_source"]);
    EXPECT_EQ("2026-12-07T12:44:54Z", r["start_utc"]);
    EXPECT_EQ("2026-12-07T12:45:55Z", r["end_utc"]);
    EXPECT_EQ(0, r["error_code"]);
    for (const char* key : {"reason", "phases", "target_state", "effective_state", "lost_reason", "bugcheck",
                            "devices", "battery", "run_id", "computer"}) {
        EXPECT_TRUE(r[key].is_null()) << key;
    }
    EXPECT_EQ(RECORD_SCHEMA, r["schema"]);

    SleepRecord unknown = SampleRecord();
    unknown.enteredState = -1;
    unknown.fallback = FALLBACK_NONE;
    unknown.requestedSec = -1;
    unknown.asleepSource = ASLEEP_UNKNOWN;
    unknown.wakeSource[0] = '\0';
    unknown.startUtc = 0;
    r = Parse(unknown);
    for (const char* key : {"entered_state", "fallback", "requested_sec", "asleep_sec", "asleep_source",
                            "wake_source", "start_utc"}) {
        EXPECT_TRUE(r[key].is_null()) << key;
    }
    EXPECT_EQ("2026-12-07T12:45:55Z", r["end_utc"]);
}

namespace {

// Names as the system may give them: quotes, markup, characters outside any
// code page, and as long as a name gets.
std::string HostileName(int length) {
    std::string name = "\"Wi-Fi\" </td><script>alert('x')</script> & \xCE\xA9 \xF0\x9F\x94\x8C";
    const char* plug = "\xF0\x9F\x94\x8C";  // U+1F50C, a surrogate pair in the file
    int characters = 0;
    for (char ch : name) characters += ((unsigned char)ch & 0xC0) != 0x80;  // not a continuation byte
    for (; characters < length; characters++) name += characters % 3 ? plug : "n";
    return name;
}

std::vector<std::string> Keys(const nlohmann::ordered_json& object) {
    std::vector<std::string> keys;
    for (auto it = object.begin(); it != object.end(); ++it) keys.push_back(it.key());
    return keys;
}

}  // namespace

TEST(ResultRecord, DevicesAndBatteryBothWaysWithHostileNames) {
    SleepRecord r = SampleRecord();
    r.verdict = VERDICT_DEVICE_FAULT;
    r.devices.known = true;
    r.devices.present = 142;
    r.devices.appeared = 2;
    for (int i = 0; i < 4; i++)
        r.devices.missing.push_back({"PCI\\VEN_8086&DEV_A0F" + std::to_string(i), HostileName(2000), "Net", 0});
    r.devices.problems = {{"USB\\ROOT_HUB30\\4&1", "USB Root Hub </td>", "USB", 43}, {"X", "", "", 10}};
    r.battery = {true, false, {true, 41230}, {true, 41010}, {true, 26}};
    std::string line = Format(r);
    EXPECT_GT(line.size(), 64u * 1024) << "longer than the reader used to take";

    nlohmann::ordered_json json = nlohmann::ordered_json::parse(line);
    const auto& devices = json["devices"];
    EXPECT_EQ((std::vector<std::string>{"present", "missing", "problems", "appeared"}), Keys(devices));
    EXPECT_EQ((std::vector<std::string>{"id", "name", "class"}), Keys(devices["missing"][0]));
    EXPECT_EQ((std::vector<std::string>{"id", "name", "class", "code"}), Keys(devices["problems"][0]));
    EXPECT_EQ(HostileName(2000), devices["missing"][3]["name"]);
    EXPECT_EQ(43, devices["problems"][0]["code"]);
    EXPECT_EQ((std::vector<std::string>{"ac", "before_mwh", "after_mwh", "drain_mw"}), Keys(json["battery"]));
    EXPECT_EQ(26, json["battery"]["drain_mw"]);

    std::vector<SleepRecord> read;
    int bad = -1;
    ReadResultsText(line.data(), line.size(), &read, &bad);
    ASSERT_EQ(1u, read.size());
    EXPECT_EQ(0, bad);
    const SleepRecord& back = read[0];
    EXPECT_EQ(line, Format(back));  // every member as written
    EXPECT_EQ(VERDICT_DEVICE_FAULT, back.verdict);
    ASSERT_TRUE(back.devices.known);
    EXPECT_EQ(142, back.devices.present);
    EXPECT_EQ(2, back.devices.appeared);
    ASSERT_EQ(4u, back.devices.missing.size());
    EXPECT_TRUE(back.devices.missing[2].name == HostileName(2000));
    EXPECT_EQ("PCI\\VEN_8086&DEV_A0F2", back.devices.missing[2].id);
    ASSERT_EQ(2u, back.devices.problems.size());
    EXPECT_EQ("USB Root Hub </td>", back.devices.problems[0].name);
    EXPECT_EQ(10, back.devices.problems[1].code);
    EXPECT_TRUE(back.battery.known && !back.battery.ac);
    EXPECT_EQ(41230, back.battery.beforeMwh.value);
    EXPECT_EQ(41010, back.battery.afterMwh.value);
    EXPECT_TRUE(back.battery.drainMw.known);

    // The buffer form takes the same line in a buffer of RESULT_LINE_SIZE.
    std::vector<char> buffer(RESULT_LINE_SIZE);
    ASSERT_TRUE(FormatResultLine(&r, buffer.data(), buffer.size()));
    EXPECT_EQ(line, buffer.data());
    EXPECT_FALSE(FormatResultLine(&r, buffer.data(), line.size()));
    EXPECT_STREQ("", buffer.data());
    // A record that cannot fit is refused by both forms, never cut.
    SleepRecord huge = r;
    huge.devices.missing.assign(20, huge.devices.missing[0]);
    std::string text = "left over";
    EXPECT_FALSE(FormatResultLine(&huge, &text));
    EXPECT_EQ("", text);
    EXPECT_FALSE(FormatResultLine(&huge, buffer.data(), buffer.size()));
}

TEST(ResultRecord, DevicesAndBatteryInAnyOrderNullOrOfTheWrongKind) {
    const std::string head = "{\"cycle\":1,\"verdict\":\"ok\",";
    const struct {
        std::string tail;
        bool ok, devicesKnown, batteryKnown;
        int missing;
    } cases[] = {
        {"\"devices\":null,\"battery\":null}", true, false, false, 0},
        {"\"x\":1}", true, false, false, 0},
        {"\"devices\":{},\"battery\":{}}", true, true, true, 0},
        // Any order, unknown keys anywhere, null members.
        {"\"battery\":{\"drain_mw\":5,\"new\":[1,{\"a\":2}],\"ac\":true},\"devices\":{\"appeared\":1,"
         "\"missing\":[{\"class\":\"Net\",\"more\":{\"deep\":[[]]},\"id\":\"A\"},{\"id\":\"B\",\"name\":null}],"
         "\"problems\":null,\"present\":3}}",
         true, true, true, 2},
        {"\"devices\":{\"problems\":[{\"id\":\"A\"}]}}", true, true, false, 0},  // no code: none
        {"\"devices\":[]}", false, false, false, 0},
        {"\"devices\":\"none\"}", false, false, false, 0},
        {"\"devices\":{\"present\":\"3\"}}", false, false, false, 0},
        {"\"devices\":{\"appeared\":1.5}}", false, false, false, 0},
        {"\"devices\":{\"missing\":{}}}", false, false, false, 0},
        {"\"devices\":{\"missing\":[1]}}", false, false, false, 0},
        {"\"devices\":{\"missing\":[{\"id\":7}]}}", false, false, false, 0},
        {"\"devices\":{\"missing\":[{\"class\":[\"Net\"]}]}}", false, false, false, 0},
        {"\"devices\":{\"problems\":[{\"id\":\"A\",\"code\":\"43\"}]}}", false, false, false, 0},
        {"\"devices\":{\"problems\":[{\"id\":\"A\",\"code\":99999999999}]}}", false, false, false, 0},
        {"\"battery\":[]}", false, false, false, 0},
        {"\"battery\":{\"ac\":1}}", false, false, false, 0},
        {"\"battery\":{\"before_mwh\":\"41000\"}}", false, false, false, 0},
        {"\"battery\":{\"drain_mw\":1.5}}", false, false, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tail);
        std::string text = head + c.tail;
        SleepRecord read;
        ASSERT_EQ(c.ok, ParseResultRecord(text.c_str(), text.size(), &read));
        if (!c.ok) continue;
        EXPECT_EQ(c.devicesKnown, read.devices.known);
        EXPECT_EQ(c.batteryKnown, read.battery.known);
        EXPECT_EQ(c.missing, (int)read.devices.missing.size());
    }
    std::string mixed = head + cases[3].tail;
    SleepRecord r;
    ASSERT_TRUE(ParseResultRecord(mixed.c_str(), mixed.size(), &r));
    EXPECT_EQ(3, r.devices.present);
    EXPECT_EQ(1, r.devices.appeared);
    EXPECT_EQ("A", r.devices.missing[0].id);
    EXPECT_EQ("Net", r.devices.missing[0].cls);
    EXPECT_EQ("", r.devices.missing[1].name);
    EXPECT_TRUE(r.devices.problems.empty());
    EXPECT_TRUE(r.battery.ac);
    EXPECT_FALSE(r.battery.beforeMwh.known);
    EXPECT_EQ(5, r.battery.drainMw.value);

    // The reader takes every line the writer can make, and nothing longer.
    for (size_t padding : {size_t(RESULT_LINE_SIZE - 200), size_t(RESULT_LINE_SIZE + 10)}) {
        std::string line = head + "\"x\":\"" + std::string(padding, 'p') + "\"}\n";
        std::vector<SleepRecord> records;
        int bad = -1;
        ReadResultsText(line.data(), line.size(), &records, &bad);
        EXPECT_EQ(padding < RESULT_LINE_SIZE ? 1u : 0u, records.size()) << padding;
        EXPECT_EQ(padding < RESULT_LINE_SIZE ? 0 : 1, bad) << padding;
    }
}

TEST(ResultRecord, EveryRecordReadsBackAsWritten) {
    SleepRecord lost;
    ClearSleepRecord(&lost);
    lost.cycle = 9;
    lost.requestedState = SLEEP_S3;
    lost.verdict = VERDICT_LOST;
    lost.measuredSec = 600;
    lost.lostReason = LOST_CRASHED;
    snprintf(lost.bugcheck, sizeof(lost.bugcheck), "0x0000009F");
    lost.endUtc = kStart;
    SleepRecord phases = SampleRecord();
    phases.verdict = VERDICT_WRONG_STATE;
    phases.phasesKnown = true;
    phases.phases[PHASE_WAKE] = {true, 2207};
    phases.phases[PHASE_HIBER_PAGES] = {true, 412337};
    phases.targetState = SLEEP_S3;
    phases.effectiveState = SLEEP_S4;
    SleepRecord refused = SampleRecord();
    refused.verdict = VERDICT_REFUSED;
    refused.reason = REFUSED_WAKE_TIMER_NOT_SET;
    refused.errorCode = 5;
    refused.asleepSource = ASLEEP_UNKNOWN;
    refused.asleepSec = 0;
    for (const SleepRecord& record : {SampleRecord(), lost, phases, refused}) {
        std::string line = Format(record);
        SleepRecord back;
        ASSERT_TRUE(ParseResultRecord(line.data(), line.size(), &back)) << line;
        EXPECT_EQ(line, Format(back));
        EXPECT_EQ(record.phasesKnown, back.phasesKnown);
        EXPECT_EQ(record.lostReason, back.lostReason);
        EXPECT_EQ(record.reason, back.reason);
    }
}

TEST(ResultRecord, TextsBeyondTheCodePageAndHostileOnesSurvive) {
    const struct {
        const char* source;
        const char* read;  // what the file gives back
    } cases[] = {
        {"Lid \xE2\x82\xAC 1", "Lid \xE2\x82\xAC 1"},
        {"\xCE\xA9 port", "\xCE\xA9 port"},
        {"A & B \"quoted\" back\\slash \x01\x1f tab\t", "A & B \"quoted\" back\\slash \x01\x1f tab\t"},
        {"caf\xE9", "caf?"},  // not UTF-8: marked, never thrown at
        {"\xEF\xBF\xBF edge", "\xEF\xBF\xBF edge"},
    };
    for (const auto& c : cases) {
        SleepRecord record = SampleRecord();
        snprintf(record.wakeSource, sizeof(record.wakeSource), "%s", c.source);
        EXPECT_EQ(c.read, Parse(record)["wake_source"].get<std::string>()) << c.source;
        std::string line = Format(record);
        SleepRecord back;
        ASSERT_TRUE(ParseResultRecord(line.data(), line.size(), &back));
        EXPECT_STREQ(c.read, back.wakeSource);
    }
    SleepRecord longest = SampleRecord();
    memset(longest.wakeSource, '\x01', sizeof(longest.wakeSource) - 1);
    longest.wakeSource[sizeof(longest.wakeSource) - 1] = '\0';
    EXPECT_EQ(std::string(RECORD_TEXT_SIZE - 1, '\x01'), Parse(longest)["wake_source"].get<std::string>());
    char small[40];
    EXPECT_FALSE(FormatResultLine(&longest, small, sizeof(small)));
    EXPECT_STREQ("", small);
}

TEST(ReportReader, LinesOfEveryShape) {
    using Check = std::function<void(const SleepRecord&)>;
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
         [](const SleepRecord& r) {
             EXPECT_EQ(1, r.cycle);
             EXPECT_EQ(SLEEP_S1, r.requestedState);
             EXPECT_EQ(SLEEP_S1, r.enteredState);
             EXPECT_EQ(FALLBACK_NONE, r.fallback);
             EXPECT_EQ(30, r.requestedSec);
             EXPECT_EQ(30, r.measuredSec);
             EXPECT_EQ(30, r.asleepSec);
             EXPECT_EQ(ASLEEP_FROM_STAMPS, r.asleepSource);
             EXPECT_EQ(VERDICT_OK, r.verdict);
             EXPECT_STREQ("", r.wakeSource);
             char time[32];
             FormatUtcTime(r.startUtc, time, sizeof(time));
             EXPECT_STREQ("2026-12-07T13:24:39Z", time);
             EXPECT_EQ(r.startUtc + 30 * FILETIME_TICKS_PER_SECOND, r.endUtc);
             EXPECT_EQ(0, r.errorCode);
             EXPECT_FALSE(r.phasesKnown);
             EXPECT_EQ(-1, r.targetState);
             EXPECT_EQ(LOST_NONE, r.lostReason);
         }},
        {"{\"cycle\":2,\"verdict\":\"refused\",\"requested_sec\":null,\"asleep_sec\":null,\"error_code\":31}", true,
         [](const SleepRecord& r) {
             EXPECT_EQ(-1, r.requestedSec);
             EXPECT_EQ(ASLEEP_UNKNOWN, r.asleepSource);
             EXPECT_EQ(0, r.measuredSec);  // missing
             EXPECT_EQ(31, r.errorCode);
             EXPECT_EQ(VERDICT_REFUSED, r.verdict);
         }},
        // The fields being added, and unknown keys of every kind.
        {With(ok, "\"phases\":{\"sleep_ms\":1311,\"firmware_ms\":486,\"new_ms\":[1,{\"a\":\"}\"}],"
                  "\"hiber_pages\":null},"
                  "\"target_state\":\"S3\",\"effective_state\":\"S2\",\"lost_reason\":\"power_button\","
                  "\"bugcheck\":\"0x0000009F\",\"later\":{\"a\":[true,false,null,-1.5e3,\"]\"]},\"flag\":true"),
         true,
         [](const SleepRecord& r) {
             EXPECT_TRUE(r.phasesKnown);
             EXPECT_EQ(1311, r.phases[PHASE_SLEEP].value);
             EXPECT_EQ(486, r.phases[PHASE_FIRMWARE].value);
             EXPECT_FALSE(r.phases[PHASE_WAKE].known);
             EXPECT_FALSE(r.phases[PHASE_HIBER_PAGES].known);
             EXPECT_EQ(SLEEP_S3, r.targetState);
             EXPECT_EQ(SLEEP_S2, r.effectiveState);
             EXPECT_EQ(LOST_POWER_BUTTON, r.lostReason);
             EXPECT_STREQ("0x0000009F", r.bugcheck);
             EXPECT_EQ(30, r.measuredSec);
         }},
        {With(ok, "\"phases\":null"), true, [](const SleepRecord& r) { EXPECT_FALSE(r.phasesKnown); }},
        // Escapes: every character, a surrogate pair as one; the text ends at an escaped NUL.
        {"{\"cycle\":1,\"verdict\":\"ok\",\"wake_source\":\"q\\\" b\\\\ s\\/ \\t\\n \\u00e9\\u00FF \\u20ac "
         "\\ud83d\\ude00 \\u0000.\"}",
         true,
         [](const SleepRecord& r) {
             EXPECT_STREQ("q\" b\\ s/ \t\n \xC3\xA9\xC3\xBF \xE2\x82\xAC \xF0\x9F\x98\x80 ", r.wakeSource);
         }},
        // Texts too long for their fields are cut; ids and states this build does not know are unknown.
        {"{\"cycle\":1,\"verdict\":\"ok\",\"wake_source\":\"" + longText + "\",\"requested_state\":\"S9\","
             "\"lost_reason\":\"new_reason\",\"" + std::string(100, 'k') + "\":1}",
         true,
         [](const SleepRecord& r) {
             EXPECT_EQ(std::string(RECORD_TEXT_SIZE - 1, 'w'), r.wakeSource);
             EXPECT_EQ(-1, r.requestedState);
             EXPECT_EQ(LOST_UNKNOWN, r.lostReason);
         }},
        // Unknown keys nest as deep as they like.
        {deep, true, nullptr},
        {"  {\"verdict\":\"ok\" , \"cycle\" : 7 }\r", true, [](const SleepRecord& r) { EXPECT_EQ(7, r.cycle); }},
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
        // A number beyond its field, a verdict this build does not know.
        {"{\"cycle\":1,\"verdict\":\"ok\",\"measured_sec\":99999999999}", false, nullptr},
        {"{\"cycle\":1,\"verdict\":\"ok\",\"measured_sec\":1.5}", false, nullptr},
        {"{\"cycle\":1,\"verdict\":\"" + std::string(40, 'v') + "\"}", false, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line.substr(0, 120));
        SleepRecord r;
        r.cycle = r.requestedState = r.verdict = 0x5A5A5A5A;
        memset(r.wakeSource, 0x5A, sizeof(r.wakeSource));
        r.devices.missing.push_back({"left", "over", "", 0});
        ASSERT_EQ(c.ok, ParseResultRecord(c.line.c_str(), c.line.size(), &r));
        if (c.check) c.check(r);
    }
}

TEST(ReportHtml, HostileTextsAreEscapedWholeAndCutBetweenReferencesAndCharacters) {
    const struct {
        const char* text;
        size_t size;
        const char* html;
    } cases[] = {
        {"<script>alert('x')</script>", 256, "&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;"},
        {"a&b \"c\"", 256, "a&amp;b &quot;c&quot;"},
        {"\x01\t\x1f\x7f", 256, "&#9217;&#9225;&#9247;&#9249;"},
        {"\xe9\xa0\xff\x80", 256, "&#65533;&#65533;&#65533;&#65533;"},  // not UTF-8
        {"Lid \xE2\x82\xAC 1 \xCE\xA9", 256, "Lid \xE2\x82\xAC 1 \xCE\xA9"},
        {"\xCE\xA9\xCE\xA9", 4, "\xCE\xA9"},  // the second character would not fit whole
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
    Built built = BuildPage(Line(1, "ok", 60, "HID Keyboard Device") + Line(2, "short", 20) + Line(3, "long", 95),
                            &header);
    EXPECT_EQ(0, built.badLines);
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
    EXPECT_EQ(1, Count(page, " class=\"f\">"));
    EXPECT_EQ(1, Count(page, " class=\"y\">"));
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
    for (const char* outside : {"<script", "src=", "href=\"h", "href=\"/", "@import", "url(http"})
        EXPECT_EQ(std::string::npos, page.find(outside)) << outside;
}

TEST(RunReport, HostileTextsReachThePageEscapedAsUtf8) {
    ReportHeader header;
    memset(&header, 0, sizeof(header));
    snprintf(header.commandLine, sizeof(header.commandLine), "x.exe \"<script>\" \xe9");
    const char* hostile = "<script>alert(\"x\")</script> & 'q' \xe9";  // the last byte is no UTF-8
    std::string unknownVerdict = With(Line(2, "ok", 60), "\"bugcheck\":\"0x9F'\"");
    unknownVerdict.replace(unknownVerdict.find("\"ok\""), 4, "\"<img src=x>\"");
    Built built = BuildPage(With(Line(1, "lost", 60, hostile), "\"lost_reason\":\"<b>crashed</b>\",\"bugcheck\":\"0x9F'\"") +
                                With(Line(3, "ok", 60, "\xCE\xA9 <i>"), "\"bugcheck\":\"0x9F'\"") + unknownVerdict,
                            &header);
    std::string lower = built.page;
    for (char& ch : lower) ch = (char)tolower((unsigned char)ch);
    EXPECT_EQ(std::string::npos, lower.find("<script"));
    EXPECT_EQ(std::string::npos, lower.find("<img"));
    EXPECT_EQ(std::string::npos, lower.find("<b>crashed"));
    EXPECT_TRUE(IsUtf8(built.page));
    EXPECT_NE(std::string::npos,
              built.page.find("&lt;script&gt;alert(&quot;x&quot;)&lt;/script&gt; &amp; &#39;q&#39; ?"));
    EXPECT_NE(std::string::npos, built.page.find("x.exe &quot;&lt;script&gt;&quot; &#65533;"));
    EXPECT_NE(std::string::npos, built.page.find("\xCE\xA9 &lt;i&gt;"));
    EXPECT_NE(std::string::npos, built.page.find("<td>unknown, bug check 0x9F&#39;\n"));  // a reason no build writes
    // A verdict this build does not know is a line that cannot be read, and never markup.
    EXPECT_EQ(1, built.badLines);
    EXPECT_NE(std::string::npos, built.page.find("1 line of the results file could not be read"));
}

TEST(RunReport, LostSleepsPhasesAndReasonsAreShown) {
    std::string phases = "\"phases\":{\"sleep_ms\":1311,\"wake_ms\":2207,\"firmware_ms\":486,\"drivers_ms\":1688,"
                         "\"hiber_write_ms\":0,\"hiber_read_ms\":900,\"hiber_pages\":0}";
    Built built = BuildPage(
        With(Line(1, "ok", 60), phases + ",\"target_state\":\"S3\",\"effective_state\":\"S3\"") +
            With(Line(2, "lost", 6000), "\"phases\":null,\"lost_reason\":\"power_lost_asleep\","
                                         "\"bugcheck\":\"0x0000009F\"") +
            With(Line(3, "wrong_state", 60), "\"target_state\":\"S3\",\"effective_state\":\"S1\"") +
            Line(4, "refused", 0, "", 31) + Line(5, "not_slept", 60));
    EXPECT_EQ(0, built.badLines);
    const std::string& page = built.page;
    EXPECT_EQ(1, Count(page, "<rect class=\"v-lost\""));
    EXPECT_EQ(1, Count(page, ">L</text>"));
    EXPECT_EQ(1, Count(page, "<rect class=\"v-wrong_state\""));
    EXPECT_NE(std::string::npos, page.find("rect.v-wrong_state{fill:#c83232}"));
    EXPECT_EQ(4, Count(page, " class=\"f\">"));
    // The reason is the cause, not the verdict again.
    EXPECT_NE(std::string::npos, page.find("<td>power_lost_asleep, bug check 0x0000009F\n"));
    EXPECT_NE(std::string::npos, page.find("<td>refused, error 31\n"));
    EXPECT_NE(std::string::npos, page.find("<td>asked S3, entered S1\n"));
    EXPECT_NE(std::string::npos, page.find("<td>asleep 60 s of 60 s\n"));
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

namespace {

// The cells of each row of the table under a heading, as markup; rows of headings only are left out.
std::vector<std::vector<std::string>> TableRows(const std::string& page, const std::string& heading) {
    std::vector<std::vector<std::string>> rows;
    size_t at = page.find(heading);
    if (at == std::string::npos) return rows;
    std::string table = page.substr(at, page.find("</table>", at) - at);
    std::regex row("<tr>(.*?)</tr>"), cell("<td[^>]*>(.*?)</td>");
    for (auto r = std::sregex_iterator(table.begin(), table.end(), row); r != std::sregex_iterator(); ++r) {
        std::string markup = (*r)[1];
        std::vector<std::string> cells;
        for (auto c = std::sregex_iterator(markup.begin(), markup.end(), cell); c != std::sregex_iterator(); ++c)
            cells.push_back((*c)[1]);
        if (!cells.empty()) rows.push_back(cells);
    }
    return rows;
}

std::string Escaped(const std::string& text) {
    std::vector<char> html(text.size() * 8 + 1);
    HtmlEscape(text.c_str(), html.data(), html.size());
    return html.data();
}

// A sleep of the program's with what the device check and the battery found.
SleepRecord DeviceSleep(int cycle) {
    std::string line = Line(cycle, "ok", 60);
    SleepRecord r;
    EXPECT_TRUE(ParseResultRecord(line.data(), line.size(), &r));
    r.devices.known = true;
    r.devices.present = 120;
    return r;
}

}  // namespace

TEST(RunReport, CyclesAsRangesUpToALimit) {
    std::vector<int> separate;  // 1, 3, 5 ... 43
    for (int i = 0; i < 22; i++) separate.push_back(1 + 2 * i);
    const struct {
        std::vector<int> cycles;
        int most;
        const char* text;
    } cases[] = {
        {{}, 20, ""},
        {{7}, 20, "7"},
        {{3, 4, 5, 9}, 20, "3-5, 9"},
        {{3, 4, 5, 7, 12, 15, 16}, 20, "3-5, 7, 12, 15-16"},
        {{1, 3, 5}, 2, "1, 3, and 1 more"},
        {{1, 2, 3}, 1, "1-3"},
        {{1, 2, 4, 5, 7}, 0, "and 3 more"},
        {{-1, 0, 2147483646, 2147483647}, 20, "-1-0, 2147483646-2147483647"},
        {separate, 20, "1, 3, 5, 7, 9, 11, 13, 15, 17, 19, 21, 23, 25, 27, 29, 31, 33, 35, 37, 39, and 2 more"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.text, CycleRanges(c.cycles, c.most)) << c.text;
}

TEST(RunReport, DevicesThatFailedAreListedWithTheirCyclesAndMarkedAsFailures) {
    const std::string wifi = HostileName(2000);
    std::vector<SleepRecord> records;
    for (int cycle = 1; cycle <= 70; cycle++) {
        SleepRecord r = DeviceSleep(cycle);
        if ((cycle >= 3 && cycle <= 5) || cycle == 9) r.devices.missing.push_back({"PCI\\NET", wifi, "Net", 0});
        if (cycle == 12) r.devices.problems.push_back({"PCI\\NET", wifi, "Net", 10});
        if (cycle >= 20 && cycle <= 62 && cycle % 2 == 0)
            r.devices.problems.push_back({"USB\\HUB", "USB Root Hub", "USB", 43});
        if (cycle == 31) r.devices.problems.push_back({"ACPI\\X", "", "", 99});
        if (cycle == 40) r.devices.appeared = 3;  // a new device is no fault
        if (HasDeviceFault(r.devices)) r.verdict = VERDICT_DEVICE_FAULT;
        if (cycle % 2) r.battery = {true, false, {true, 41000}, {true, 40990}, {true, 300 + cycle}};
        if (cycle % 4 == 0) r.battery = {true, true, {true, 50000}, {true, 50000}, {false, 0}};  // on mains
        records.push_back(r);
    }
    std::string file;
    for (const SleepRecord& r : records) file += Format(r);
    Built built = BuildPage(file);
    ASSERT_EQ(0, built.badLines);
    const std::string& page = built.page;

    // One row a device, and one more for each further thing that happened to it, in the order they first failed.
    auto rows = TableRows(page, "<h2>Devices</h2>");
    ASSERT_EQ(4u, rows.size());
    EXPECT_EQ((std::vector<std::string>{Escaped(wifi), "Net", "PCI\\NET", "missing", "4", "3-5, 9"}), rows[0]);
    EXPECT_EQ((std::vector<std::string>{"cannot start (code 10)", "1", "12"}), rows[1]);
    EXPECT_EQ((std::vector<std::string>{"USB Root Hub", "USB", "USB\\HUB", "stopped after reporting problems (code 43)",
                                        "22", CycleRanges({20, 22, 24, 26, 28, 30, 32, 34, 36, 38, 40, 42, 44, 46,
                                                           48, 50, 52, 54, 56, 58, 60, 62}, 20)}),
              rows[2]);
    EXPECT_NE(std::string::npos, rows[2][5].find("58, and 2 more"));
    EXPECT_EQ((std::vector<std::string>{"\xE2\x80\x93", "\xE2\x80\x93", "ACPI\\X", "problem code 99", "1", "31"}),
              rows[3]);
    EXPECT_EQ(std::string::npos, page.find("<script"));
    EXPECT_TRUE(IsUtf8(page));

    // Each faulty sleep: its own colour in chart and key, a mark on its column, a failure in the table.
    const int faults = 4 + 1 + 22 + 1;
    EXPECT_EQ(faults, Count(page, "<rect class=\"v-device_fault\""));
    EXPECT_EQ(faults, Count(page, ">D</text>"));
    EXPECT_EQ(faults, Count(page, " class=\"f\">"));
    EXPECT_EQ(4, Count(page, "<td>devices: 1 missing\n"));
    EXPECT_EQ(24, Count(page, "<td>devices: 1 with a problem\n"));
    EXPECT_NE(std::string::npos, page.find("device_fault<b>28</b>"));
    EXPECT_EQ(VERDICT_COUNT, Count(page, "<span class=\"k"));
    std::regex fill("rect\\.v-([a-z_]+)\\{fill:(#[0-9a-f]{6})\\}");
    std::map<std::string, std::string> colours;
    for (auto m = std::sregex_iterator(page.begin(), page.end(), fill); m != std::sregex_iterator(); ++m)
        colours[(*m)[1]] = (*m)[2];
    ASSERT_EQ(VERDICT_COUNT + 1u, colours.size());  // and "other"
    const std::string own = colours["device_fault"];
    for (const auto& verdict : colours) {
        if (verdict.first != "device_fault") {
            EXPECT_NE(own, verdict.second) << verdict.first;
        }
    }
    EXPECT_NE(std::string::npos, page.find("i.v-device_fault{background:" + own + "}"));

    // The battery chart: a column for every sleep with a drain, none for those on mains power.
    EXPECT_EQ(1, Count(page, "<h2>Battery drain of every sleep</h2>"));
    EXPECT_EQ(35, Count(page, "<rect class=\"bd\""));
    EXPECT_NE(std::string::npos, page.find("<title>Cycle 69: 369 mW</title>"));
}

TEST(RunReport, NoDevicesSectionOrBatteryChartWithNothingToShow) {
    std::string checked;  // devices checked and fine, on mains power
    for (int cycle = 1; cycle <= 3; cycle++) {
        SleepRecord r = DeviceSleep(cycle);
        r.devices.appeared = cycle;
        r.battery = {true, true, {true, 50000}, {true, 50000}, {false, 0}};
        checked += Format(r);
    }
    for (const std::string& file : {checked, Line(1, "ok", 60) + Line(2, "lost", 60)}) {
        std::string page = BuildPage(file).page;
        EXPECT_EQ(std::string::npos, page.find("<h2>Devices"));
        EXPECT_EQ(std::string::npos, page.find("Battery drain"));
        EXPECT_EQ(0, Count(page, ">D</text>"));
        EXPECT_EQ(0, Count(page, "<rect class=\"v-device_fault\""));
        EXPECT_NE(std::string::npos, page.find("<span class=\"k z\"><i class=\"v-device_fault\"></i>device_fault<b>0"));
    }
}

TEST(RunReport, AThousandSleepsStayUnderOneMegabyte) {
    const char* verdicts[] = {"ok", "ok", "ok", "device_fault", "short", "long", "not_slept", "refused", "lost",
                              "wrong_state"};
    std::string results;
    for (int i = 1; i <= 1000; i++) {
        std::string devices = i % 10 == 3 ? "{\"present\":120,\"missing\":[{\"id\":\"PCI\\\\NET\",\"name\":\"Wi-Fi\","
                                            "\"class\":\"Net\"}],\"problems\":[],\"appeared\":0}"
                                          : "{\"present\":120,\"missing\":[],\"problems\":[],\"appeared\":0}";
        results += With(Line(i, verdicts[i % 10], 55 + i % 10, "USB Root Hub (USB 3.0) \"port 2\" <Intel(R) xHCI>"),
                        "\"phases\":{\"sleep_ms\":1311,\"wake_ms\":2207,\"firmware_ms\":486,\"drivers_ms\":1688,"
                        "\"hiber_write_ms\":0,\"hiber_read_ms\":0,\"hiber_pages\":0},\"target_state\":\"S3\","
                        "\"effective_state\":\"S3\",\"lost_reason\":\"hung_after_wake\",\"bugcheck\":\"0x0000009F\","
                        "\"devices\":" + devices + ",\"battery\":{\"ac\":false,\"before_mwh\":41000,"
                        "\"after_mwh\":40990,\"drain_mw\":" + std::to_string(300 + i) + "}");
    }
    Built built = BuildPage(results);
    EXPECT_EQ(0, built.badLines);
    EXPECT_LT(built.page.size(), 1000000u);
    EXPECT_EQ(1000, Count(built.page, "<rect class=\"v-"));
    EXPECT_EQ(100, Count(built.page, ">L</text>"));
    EXPECT_EQ(100, Count(built.page, ">D</text>"));
    EXPECT_EQ(1000, Count(built.page, "<rect class=\"bd\""));
    auto devices = TableRows(built.page, "<h2>Devices</h2>");
    ASSERT_EQ(1u, devices.size());
    EXPECT_EQ("100", devices[0][4]);
    EXPECT_NE(std::string::npos, devices[0][5].find("23, 33, 43"));
    EXPECT_NE(std::string::npos, devices[0][5].find(", and 80 more"));
    // Rows of the record table: each starts with its cycle number.
    std::regex row("<tr( id=\"s1-[0-9]+\")?( class=\"[fy]\")?><td>[0-9]+<td>");
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

