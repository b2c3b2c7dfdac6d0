// What the device check counts across a sleep, and what the battery lost.
#include <gtest/gtest.h>
#include <string>
#include <vector>
#include "core/core.h"

namespace {

DeviceEntry Dev(const char* id, int code = 0, const char* name = "A device", const char* cls = "System") {
    return DeviceEntry{id, name, cls, code};
}

std::string Ids(const std::vector<DeviceEntry>& list) {
    std::string ids;
    for (const DeviceEntry& d : list) ids += (ids.empty() ? "" : ",") + d.id + (d.code ? ":" + std::to_string(d.code) : "");
    return ids;
}

}  // namespace

TEST(DeviceCheck, WhatCountsAfterASleep) {
    const std::vector<DeviceEntry> before = {Dev("PCI\\NET", 0, "Wi-Fi 6 AX201", "Net"), Dev("USB\\ROOT", 0),
                                             Dev("USB\\CAM", 10, "Camera", "Camera"), Dev("ACPI\\BAT", 0, "Battery")};
    const std::vector<std::string> standing = {"ACPI\\OLD"};
    struct Case {
        const char* what;
        std::vector<DeviceEntry> after;
        std::vector<std::string> ignores;
        std::string missing, problems, cleared;
        int appeared;
    } cases[] = {
        {"nothing changed", before, {}, "", "", "", 0},
        {"a device gone", {before[0], before[2], before[3]}, {}, "USB\\ROOT", "", "", 0},
        {"a new problem", {Dev("PCI\\NET", 43), before[1], before[2], before[3]}, {}, "", "PCI\\NET:43", "", 0},
        {"a changed problem", {before[0], before[1], Dev("USB\\CAM", 28), before[3]}, {}, "", "USB\\CAM:28", "", 0},
        {"a problem cleared", {before[0], before[1], Dev("USB\\CAM", 0), before[3]}, {}, "", "", "USB\\CAM", 0},
        {"a device appeared", {before[0], before[1], before[2], before[3], Dev("USB\\NEW")}, {}, "", "", "", 1},
        {"ids differ only in case", {Dev("pci\\net"), Dev("usb\\root"), Dev("usb\\cam", 10), Dev("acpi\\bat")}, {}, "",
         "", "", 0},
        {"ignored by the start of the id", {before[2], before[3]}, {"pci\\"}, "USB\\ROOT", "", "", 0},
        {"ignored by a part of the name", {before[1], before[2], before[3]}, {"wi-fi"}, "", "", "", 0},
        {"everything gone", {}, {}, "ACPI\\BAT,PCI\\NET,USB\\CAM:10,USB\\ROOT", "", "", 0},
    };
    for (const Case& c : cases) {
        std::vector<DeviceEntry> was = before, now = c.after;
        SortDevices(&was);
        SortDevices(&now);
        std::vector<DeviceEntry> cleared;
        DeviceCheck check = CompareDevices(was, now, standing, c.ignores, &cleared);
        EXPECT_TRUE(check.known) << c.what;
        EXPECT_EQ((int)now.size(), check.present) << c.what;
        EXPECT_EQ(c.missing, Ids(check.missing)) << c.what;
        EXPECT_EQ(c.problems, Ids(check.problems)) << c.what;
        EXPECT_EQ(c.cleared, Ids(cleared)) << c.what;
        EXPECT_EQ(c.appeared, check.appeared) << c.what;
        EXPECT_EQ(!c.missing.empty() || !c.problems.empty(), HasDeviceFault(check)) << c.what;
    }

    // A device with a problem at the run's start is never blamed, gone or worse.
    std::vector<DeviceEntry> baseline = {Dev("B", 0), Dev("A", 28)};
    SortDevices(&baseline);
    std::vector<std::string> standingNow = StandingProblems(baseline);
    ASSERT_EQ(std::vector<std::string>{"A"}, standingNow);
    EXPECT_FALSE(HasDeviceFault(CompareDevices(baseline, {Dev("B", 0)}, standingNow, {}, nullptr)));
    EXPECT_FALSE(HasDeviceFault(CompareDevices(baseline, {Dev("A", 43), Dev("B", 0)}, standingNow, {}, nullptr)));
    EXPECT_FALSE(HasDeviceFault(DeviceCheck()));
}

TEST(DeviceCheck, ProblemWordsAndTheIgnoreList) {
    const struct {
        int code;
        const char* text;
    } words[] = {{10, "cannot start"},   {14, "needs a restart"},        {22, "disabled"},
                 {24, "not present"},    {28, "no driver"},              {31, "not working properly"},
                 {43, "stopped after reporting problems"}, {45, "not connected"}, {47, "prepared for removal"},
                 {54, "failed and is being reset"},        {19, "problem code 19"}, {0, "problem code 0"}};
    for (const auto& w : words) EXPECT_EQ(w.text, DeviceProblemText(w.code)) << w.code;

    const DeviceEntry wifi = Dev("PCI\\VEN_8086&DEV_A0F0\\3&11583659", 0, "Intel(R) Wi-Fi 6 AX201 160MHz", "Net");
    const struct {
        std::vector<std::string> ignores;
        bool ignored;
    } cases[] = {{{}, false},         {{"pci\\ven_8086"}, true}, {{"VEN_8086"}, false}, {{"ax201"}, true},
                 {{"", "usb"}, false}, {{"x", "WI-FI 6"}, true}, {{"PCI\\VEN_8086&DEV_A0F0\\3&11583659-more"}, false}};
    for (const auto& c : cases) EXPECT_EQ(c.ignored, IsDeviceIgnored(wifi, c.ignores)) << c.ignores.size();
}

TEST(DeviceCheck, BatteryFiguresOfASleep) {
    const BatteryReading none = {false, false, false, 0};
    const BatteryReading full = {true, false, true, 41230}, later = {true, false, true, 41010};
    const BatteryReading onAc = {true, true, true, 41010}, unknown = {true, false, false, 0};
    const struct {
        const char* what;
        BatteryReading before, after;
        int asleep, measured;
        bool known;
        long long beforeMwh, afterMwh, drain;  // -1: null
    } cases[] = {
        {"no battery", none, none, 60, 60, false, -1, -1, -1},
        {"drain over the time asleep", full, later, 30461, 30500, true, 41230, 41010, 26},
        {"the measured time when asleep is unknown", full, later, 0, 3600, true, 41230, 41010, 220},
        {"on mains power: figures but no drain", full, onAc, 60, 60, true, 41230, 41010, -1},
        {"an unknown capacity", unknown, later, 60, 60, true, -1, 41010, -1},
        {"no time at all", full, later, 0, 0, true, 41230, 41010, -1},
    };
    for (const auto& c : cases) {
        BatteryFigures f = BatteryAcrossSleep(c.before, c.after, c.asleep, c.measured);
        EXPECT_EQ(c.known, f.known) << c.what;
        EXPECT_EQ(c.beforeMwh >= 0, f.beforeMwh.known) << c.what;
        EXPECT_EQ(c.afterMwh >= 0, f.afterMwh.known) << c.what;
        EXPECT_EQ(c.drain >= 0, f.drainMw.known) << c.what;
        EXPECT_EQ(c.beforeMwh >= 0 ? c.beforeMwh : 0, f.beforeMwh.value) << c.what;
        EXPECT_EQ(c.afterMwh >= 0 ? c.afterMwh : 0, f.afterMwh.value) << c.what;
        EXPECT_EQ(c.drain >= 0 ? c.drain : 0, f.drainMw.value) << c.what;
    }
}
