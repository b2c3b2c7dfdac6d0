// The device check of a run on a machine whose device list the test scripts:
// what fails a sleep, what is only told, and what waits.
#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>
#include <map>
#include <mutex>
#include "engine_fixture.h"
#include "support/json_lines.h"

using namespace enginetest;

namespace {

namespace fakedev {
// Lists in force from a snapshot number on (1-based: the run's baseline is 1).
std::vector<std::pair<int, std::vector<DeviceEntry>>> gLists;
int gSnapshots = 0;
std::map<DWORD, DeviceEntry> gNodes;  // DEVINST -> device of the snapshot it came from

const std::vector<DeviceEntry>& Current() {
    static const std::vector<DeviceEntry> none;
    const std::vector<DeviceEntry>* list = &none;
    for (const auto& entry : gLists) {
        if (entry.first <= gSnapshots) list = &entry.second;
    }
    return *list;
}

std::wstring Wide(const std::string& text) {
    int chars = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), (int)text.size(), nullptr, 0);
    std::wstring wide((size_t)chars, L'\0');
    if (chars > 0) MultiByteToWideChar(CP_UTF8, 0, text.c_str(), (int)text.size(), &wide[0], chars);
    return wide;
}

HANDLE WINAPI GetClassDevs(const GUID*, PCWSTR, HWND, DWORD) { return (HANDLE)(INT_PTR)++gSnapshots; }
BOOL WINAPI EnumDevice(HANDLE list, DWORD index, SP_DEVINFO_DATA* data) {
    const std::vector<DeviceEntry>& devices = Current();
    if ((INT_PTR)list != gSnapshots || index >= devices.size()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    data->DevInst = (DWORD)(gSnapshots * 100000 + index);
    gNodes[data->DevInst] = devices[index];
    return TRUE;
}
// The two-call protocol: too small a buffer gives the size needed.
BOOL Answer(const std::string& text, void* out, DWORD capacityBytes, PDWORD neededBytes, bool inChars) {
    std::wstring wide = Wide(text);
    DWORD bytes = (DWORD)(wide.size() + 1) * 2;
    if (neededBytes) *neededBytes = inChars ? bytes / 2 : bytes;
    if (capacityBytes < bytes) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    memcpy(out, wide.c_str(), bytes);
    return TRUE;
}
BOOL WINAPI InstanceId(HANDLE, SP_DEVINFO_DATA* data, PWSTR id, DWORD chars, PDWORD needed) {
    return Answer(gNodes[data->DevInst].id, id, chars * 2, needed, true);
}
BOOL WINAPI Property(HANDLE, SP_DEVINFO_DATA* data, DWORD property, PDWORD type, PBYTE buffer, DWORD size,
                     PDWORD needed) {
    const DeviceEntry& device = gNodes[data->DevInst];
    const std::string& text = property == SPDRP_FRIENDLYNAME ? device.name : property == SPDRP_CLASS ? device.cls : "";
    if (text.empty()) {
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    if (type) *type = REG_SZ;
    return Answer(text, buffer, size, needed, false);
}
BOOL WINAPI Destroy(HANDLE) { return TRUE; }
HANDLE WINAPI Refuse(const GUID*, PCWSTR, HWND, DWORD) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
}
DWORD WINAPI Status(PULONG status, PULONG problem, DWORD node, ULONG) {
    auto found = gNodes.find(node);
    if (found == gNodes.end()) return CR_NO_SUCH_DEVNODE;
    *status = DN_STARTED | (found->second.code ? DN_HAS_PROBLEM : 0);
    *problem = (ULONG)found->second.code;
    return CR_SUCCESS;
}
}  // namespace fakedev

DeviceEntry Dev(const std::string& id, int code = 0, const std::string& name = "Device", const char* cls = "System") {
    return DeviceEntry{id, name, cls, code};
}

class DeviceCheckTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        saved_ = gDeviceApi;
        gDeviceApi = DeviceApi{GetModuleHandleA(nullptr), fakedev::GetClassDevs, fakedev::EnumDevice,
                               fakedev::InstanceId,       fakedev::Property,     fakedev::Destroy,
                               fakedev::Status};
        fakedev::gLists.clear();
        fakedev::gSnapshots = 0;
        fakedev::gNodes.clear();
        results = JoinPath(folder, "results.jsonl");
        DeleteFileA(results.c_str());
        snprintf(gResultsPath, sizeof(gResultsPath), "%s", results.c_str());
    }
    void TearDown() override {
        gDeviceApi = saved_;
        ResetDeviceCheckSettings(&gDeviceCheck);
        EngineTest::TearDown();
    }
    // A command-line run of S1 for `cycles` cycles, as the switches left gDeviceCheck.
    void RunCycles(int cycles) {
        SetStateBoxes(window, true, false, false, false);
        theConfig->settings.cycleCount = cycles;
        // Woken by hand: the fake suspend call returns at once, and no timer is waited for.
        theConfig->settings.sleepForever = 1;
        StartCycleRunFromCommandLine();
    }
    DeviceApi saved_;
    std::string results;
};

// The snapshots of a run whose devices never change: 1 the baseline, then one before and one after each sleep.
int SnapshotAfter(int sleep) { return 2 * sleep + 1; }

}  // namespace

TEST_F(DeviceCheckTest, WhatFailsASleepWhatIsToldAndWhatWaits) {
    const DeviceEntry wifi = Dev("PCI\\VEN_8086&DEV_A0F0", 0, "Intel Wi-Fi 6 AX201", "Net");
    const DeviceEntry hub = Dev("USB\\ROOT_HUB30\\4&1", 0, "USB Root Hub (USB 3.0)", "USB");
    const DeviceEntry camera = Dev("USB\\VID_04F2\\CAM", 28, "Integrated Camera", "Camera");
    const std::vector<DeviceEntry> machine = {wifi, hub, camera};
    struct Case {
        const char* what;
        std::vector<std::pair<int, std::vector<DeviceEntry>>> lists;
        std::vector<std::string> ignores;
        const char* verdict2;   // the second sleep's verdict
        const char* errorLine;  // the Error line that names the device; null: none
        int missing, problems;  // in the second record
        bool waits;             // the devices are looked at again before the sleep counts
    } cases[] = {
        {"gone after sleep 2",
         {{1, machine}, {SnapshotAfter(2), {hub, camera}}},
         {},
         "device_fault",
         "Device missing after the sleep of cycle 2: Intel Wi-Fi 6 AX201 (Net, PCI\\VEN_8086&DEV_A0F0)",
         1,
         0,
         true},
        {"back within the settle time",
         {{1, machine}, {SnapshotAfter(2), {hub, camera}}, {SnapshotAfter(2) + 1, machine}},
         {},
         "ok",
         nullptr,
         0,
         0,
         true},
        {"a problem that stood before the run",
         {{1, machine}, {SnapshotAfter(2), {wifi, hub, Dev(camera.id, 10, camera.name, "Camera")}}},
         {},
         "ok",
         nullptr,
         0,
         0,
         false},
        {"a changed problem code",
         {{1, machine}, {SnapshotAfter(2), {wifi, Dev(hub.id, 43, hub.name, "USB"), camera}}},
         {},
         "device_fault",
         "Device problem after the sleep of cycle 2: USB Root Hub (USB 3.0) (USB, USB\\ROOT_HUB30\\4&1), code 43 "
         "stopped after reporting problems",
         0,
         1,
         true},
        {"an ignored device",
         {{1, machine}, {SnapshotAfter(2), {hub, camera}}},
         {"wi-fi"},
         "ok",
         nullptr,
         0,
         0,
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fakedev::gLists = c.lists;
        fakedev::gSnapshots = 0;
        ResetDeviceCheckSettings(&gDeviceCheck);
        gDeviceCheck.settleSec = 3;
        for (const std::string& text : c.ignores) {
            snprintf(gDeviceCheck.ignore[gDeviceCheck.ignoreCount++], DEVICE_IGNORE_TEXT, "%s", text.c_str());
        }
        DeleteFileA(results.c_str());
        memset(&gRunTally, 0, sizeof(gRunTally));
        size_t first = LogLines().size();
        DWORD started = GetTickCount();
        RunCycles(2);
        DWORD took = GetTickCount() - started;
        std::vector<nlohmann::json> records = ReadJsonLines(results);
        ASSERT_EQ(2u, records.size());
        EXPECT_EQ("ok", records[0]["verdict"]);
        EXPECT_EQ(c.verdict2, records[1]["verdict"]);
        EXPECT_EQ((int)machine.size(), records[0]["devices"]["present"]);
        EXPECT_EQ((size_t)c.missing, records[1]["devices"]["missing"].size());
        EXPECT_EQ((size_t)c.problems, records[1]["devices"]["problems"].size());
        EXPECT_EQ(std::string(c.verdict2) == "ok" ? 0 : 1, gRunTally.failed);
        std::vector<int> levels;
        std::vector<std::string> lines = LogLines(&levels);
        lines.erase(lines.begin(), lines.begin() + first);
        levels.erase(levels.begin(), levels.begin() + first);
        EXPECT_EQ(1, CountLinesStartingWith(lines, "Devices: 3 present; 1 with a problem before the run: "
                                                   "Integrated Camera (Camera, USB\\VID_04F2\\CAM), code 28 no driver"));
        int errors = 0;
        for (size_t i = 0; i < lines.size(); i++) errors += levels[i] == LOG_ERROR;
        EXPECT_EQ(c.errorLine ? 1 : 0, errors);
        if (c.errorLine) {
            int at = FindLine(lines, c.errorLine);
            ASSERT_GE(at, 0);
            EXPECT_EQ(LOG_ERROR, levels[at]);
        }
        // Only a change makes the run wait, and never past the settle time.
        EXPECT_EQ(c.waits ? 1 : 0, CountLinesStartingWith(lines, "Devices changed after the wake"));
        EXPECT_LT(took, c.waits ? 7000u : 3500u);
    }
}

TEST_F(DeviceCheckTest, HostileNamesAndManyDevices) {
    // Quotes, markup, characters outside any code page, and 2,000 of them.
    std::string longName;
    for (int i = 0; i < 500; i++) longName += "\xF0\x9F\x94\x8C";  // 500 plugs, 4 bytes each
    longName += std::string(1500, 'n');
    const DeviceEntry hostile = Dev("PCI\\\"<x>\"", 0, "\"Net\" </td><script>&amp; \xCE\xA9 " + longName, "N<et>");
    std::vector<DeviceEntry> many;
    for (int i = 0; i < 5000; i++) many.push_back(Dev("SIM\\GEN\\" + std::to_string(100000 + i)));
    std::vector<DeviceEntry> before = many, after = many;
    before.push_back(hostile);
    fakedev::gLists = {{1, before}, {SnapshotAfter(1), after}};
    gDeviceCheck.settleSec = 0;
    RunCycles(1);
    std::vector<nlohmann::json> records = ReadJsonLines(results);
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ("device_fault", records[0]["verdict"]);
    EXPECT_EQ(5000, records[0]["devices"]["present"]);
    ASSERT_EQ(1u, records[0]["devices"]["missing"].size());
    EXPECT_TRUE(records[0]["devices"]["missing"][0]["name"] == hostile.name);
    EXPECT_TRUE(records[0]["devices"]["missing"][0]["id"] == hostile.id);
    // The log line is cut between whole characters, well short of the name.
    std::vector<std::string> lines = LogLines();
    int at = -1;
    for (size_t i = 0; i < lines.size(); i++) {
        if (lines[i].rfind("Device missing after the sleep of cycle 1: ", 0) == 0) at = (int)i;
    }
    ASSERT_GE(at, 0);
    EXPECT_LT(lines[at].size(), 600u);
    EXPECT_NE(std::string::npos, lines[at].find("\"Net\" </td><script>"));
    int bad = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, lines[at].c_str(), -1, nullptr, 0);
    EXPECT_GT(bad, 0);
}

TEST_F(DeviceCheckTest, OffUnavailableAndTheSideFileOfAPowerCycle) {
    // Off by switch: no list is taken and the records say null.
    fakedev::gLists = {{1, {Dev("A")}}, {SnapshotAfter(1), {}}};
    gDeviceCheck.off = 1;
    RunCycles(1);
    EXPECT_EQ(0, fakedev::gSnapshots);
    std::vector<nlohmann::json> records = ReadJsonLines(results);
    ASSERT_EQ(1u, records.size());
    EXPECT_TRUE(records[0]["devices"].is_null());
    EXPECT_EQ("ok", records[0]["verdict"]);

    // A library that cannot list: one Warning, and the run goes on unchecked.
    DeleteFileA(results.c_str());
    ResetDeviceCheckSettings(&gDeviceCheck);
    gDeviceApi.GetClassDevsW = fakedev::Refuse;
    RunCycles(1);
    EXPECT_EQ(1, CountLines(LogLines(), "The device check is off: the system's device list could not be read. Error "
                                        "code 5"));
    records = ReadJsonLines(results);
    ASSERT_EQ(1u, records.size());
    EXPECT_TRUE(records[0]["devices"].is_null());

    // The side file of the marker: read back whole, refused when torn.
    std::vector<DeviceEntry> list = {Dev("B\tX\\n", 0, "tab\tand\nline\\"), Dev("A", 28)};
    SortDevices(&list);
    std::string text = FormatDeviceSideFile({"A"}, list);
    std::vector<std::string> standing;
    std::vector<DeviceEntry> read;
    ASSERT_TRUE(ParseDeviceSideFile(text, &standing, &read));
    EXPECT_EQ(std::vector<std::string>{"A"}, standing);
    ASSERT_EQ(2u, read.size());
    EXPECT_EQ(list[1].id, read[1].id);
    EXPECT_EQ(list[1].name, read[1].name);
    EXPECT_EQ(28, read[0].code);
    EXPECT_FALSE(ParseDeviceSideFile(text.substr(0, text.size() - 1), &standing, &read));
    EXPECT_FALSE(ParseDeviceSideFile("garbage", &standing, &read));
    EXPECT_FALSE(ParseDeviceSideFile("VDS1\nD\tx\tA\tn\tc\n", &standing, &read));
}

TEST_F(DeviceCheckTest, StopEndsTheWaitForTheDevicesAndTheirAnswerThenStands) {
    fakedev::gLists = {{1, {Dev("A"), Dev("B", 0, "Bluetooth radio", "Bluetooth")}}, {SnapshotAfter(1), {Dev("A")}}};
    gDeviceCheck.settleSec = 60;
    After(1500, [] { gStopRequested = 1; });
    DWORD started = GetTickCount();
    RunCycles(1);
    EXPECT_LT(GetTickCount() - started, 10000u);
    std::vector<nlohmann::json> records = ReadJsonLines(results);
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ("device_fault", records[0]["verdict"]);
    ASSERT_EQ(1u, records[0]["devices"]["missing"].size());
    EXPECT_EQ("Bluetooth radio", records[0]["devices"]["missing"][0]["name"]);
}

TEST_F(DeviceCheckTest, AnOkThatTheDevicesTurnIntoAFaultCountsTowardMaxFailures) {
    const DeviceEntry wifi = Dev("PCI\\VEN_8086&DEV_A0F0", 0, "Intel Wi-Fi 6 AX201", "Net");
    const DeviceEntry hub = Dev("USB\\ROOT_HUB30\\4&1", 0, "USB Root Hub (USB 3.0)", "USB");
    const std::vector<DeviceEntry> machine = {wifi, hub}, gone = {hub};
    // Snapshots: 1 the baseline; for each sleep one before, one after, and one
    // look again while they differ. The Wi-Fi is gone after sleeps 1 and 2 and
    // back before each next one; sleep 3 would be ok.
    fakedev::gLists = {{1, machine}, {3, gone}, {5, machine}, {6, gone}, {8, machine}};
    gDeviceCheck.settleSec = 1;
    gMaxFailures = 2;
    RunCycles(4);
    // Each record was written ok at the wake and became device_fault once the
    // devices had settled: the second one reaches the limit before sleep 3.
    std::vector<nlohmann::json> records = ReadJsonLines(results);
    ASSERT_EQ(2u, records.size());
    for (const auto& r : records) EXPECT_EQ("device_fault", r["verdict"]);
    EXPECT_EQ(2u, fake.suspends.size());
    EXPECT_EQ(2, gRunTally.failed);
    std::vector<std::string> lines = LogLines();
    EXPECT_EQ(1, CountLines(lines, "The run ends: 2 sleeps failed in a row (--max-failures=2)"));
    EXPECT_EQ(RUN_END_FAILED, gRunEnd);
}
