// The device check and the battery of whole runs on the simulated machine:
// its device list comes from a file the test writes, one list per snapshot.
#include <gtest/gtest.h>
#include <string>
#include <vector>
#include "power/power.h"
#include "support/json_lines.h"
#include "support/process_run.h"
#include "support/run_log.h"

namespace {

const char kWifi[] = "PCI\\VEN_8086&DEV_A0F0\\3&11583659&0&A3\tIntel(R) Wi-Fi 6 AX201 160MHz\tNet\t0\n";
const char kHub[] = "USB\\ROOT_HUB30\\4&2A0B3D1&0&0\tUSB Root Hub (USB 3.0)\tUSB\t0\n";
const char kCamera[] = "USB\\VID_04F2&PID_B6D9\\0001\tIntegrated Camera\tCamera\t28\n";

// Snapshots of a run whose devices do not change: 1 the baseline, then one before and one after each sleep.
int SnapshotAfter(int sleep) { return 2 * sleep + 1; }

}  // namespace

TEST(DevicesRun, ADeviceGoneAfterTheSecondSleepFailsItAndTheBatteryIsMeasured) {
    Sandbox sandbox;
    sandbox.WriteScenario({{"sleep_ms", "1500"},
                           {"ac_online", "0"},
                           {"battery_mwh", "41230"},
                           {"battery_sleep_drain_mwh", "2"}});
    std::string list = sandbox.Path("devices.txt");
    ASSERT_TRUE(WriteText(list, std::string("[1]\n") + kWifi + kHub + kCamera + "[" +
                                    std::to_string(SnapshotAfter(2)) + "]\n" + kHub + kCamera));
    std::string log = sandbox.Path("run.log"), results = sandbox.Path("r.jsonl");
    RunOptions options;
    options.args = {"-S1000", "-H", "-N", "3", "-D", "0", "-E", "--device-settle=2", "-L", log,
                    "--results=" + results};
    options.devicesList = list;
    options.timeoutMs = 60000;
    RunResult result = sandbox.Run(options);
    EXPECT_EQ(2u, result.exitCode);
    std::vector<nlohmann::json> records = ReadJsonLines(results);
    ASSERT_EQ(3u, records.size());
    const char* verdicts[] = {"ok", "device_fault", "ok"};
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(verdicts[i], records[i]["verdict"]) << i;
        EXPECT_EQ(i == 0 ? 3 : 2, records[i]["devices"]["present"]) << i;
        // The battery before and after each sleep, and what it cost.
        const nlohmann::json& battery = records[i]["battery"];
        ASSERT_TRUE(battery.is_object()) << i;
        EXPECT_EQ(false, battery["ac"]) << i;
        EXPECT_EQ(41230 - 2 * i, battery["before_mwh"]) << i;
        EXPECT_EQ(41230 - 2 * (i + 1), battery["after_mwh"]) << i;
        EXPECT_TRUE(battery["drain_mw"].is_number_integer()) << i;
    }
    ASSERT_EQ(1u, records[1]["devices"]["missing"].size());
    EXPECT_EQ("Intel(R) Wi-Fi 6 AX201 160MHz", records[1]["devices"]["missing"][0]["name"]);
    EXPECT_EQ("Net", records[1]["devices"]["missing"][0]["class"]);
    // Gone since sleep 2, it is not missing again after sleep 3: the list before sleep 3 lacked it already.
    EXPECT_EQ(0u, records[2]["devices"]["missing"].size());

    std::vector<std::string> lines = LogBodies(log);
    EXPECT_EQ(1, CountPrefix(lines, "Devices: 3 present; 1 with a problem before the run: Integrated Camera (Camera, "
                                    "USB\\VID_04F2&PID_B6D9\\0001), code 28 no driver"));
    EXPECT_EQ(1, CountPrefix(lines, "Device missing after the sleep of cycle 2: Intel(R) Wi-Fi 6 AX201 160MHz (Net, "
                                    "PCI\\VEN_8086&DEV_A0F0\\3&11583659&0&A3)"));
    EXPECT_EQ(1, CountPrefix(lines, "Devices changed after the wake: looking again every 2 s for up to 2 s"));
    EXPECT_EQ(3, CountPrefix(lines, "Battery "));
    EXPECT_FALSE(FileExists(sandbox.Path("sleepflag.devices")));
}

TEST(DevicesRun, ADeviceGoneAfterAPowerCycleIsTheLostCyclesAndNotAStandingProblem) {
    Sandbox sandbox;
    DeleteFileA(sandbox.Path("vesplinCfg.dat").c_str());
    sandbox.WriteScenario({{"sleep_ms", "30000"}});
    std::string list = sandbox.Path("devices.txt");
    ASSERT_TRUE(WriteText(list, std::string("[1]\n") + kWifi + kHub));
    RunOptions first;
    first.args = {"-S1000", "-H", "-N", "2", "-D", "0", "-C", "-E", "-L", "run.log", "--results=r.jsonl"};
    first.workDir = sandbox.Dir();
    first.devicesList = list;
    first.timeoutMs = 60000;
    // The machine goes down during the first sleep.
    RunResult lost = sandbox.RunUntilPowerLoss(sandbox.Exe(), first, 1);
    EXPECT_EQ(99u, lost.exitCode);
    ASSERT_TRUE(FileExists(sandbox.Path("sleepflag")));
    ASSERT_TRUE(FileExists(sandbox.Path("sleepflag.devices")));

    // It comes back without its Wi-Fi adapter.
    ASSERT_TRUE(WriteText(list, std::string("[1]\n") + kHub));
    sandbox.WriteScenario({{"sleep_ms", "1500"}});
    RunOptions restart;
    restart.devicesList = list;
    restart.timeoutMs = 60000;
    RunResult result = sandbox.Run(restart);
    EXPECT_EQ(2u, result.exitCode);
    std::vector<nlohmann::json> records = ReadJsonLines(sandbox.Path("r.jsonl"));
    ASSERT_EQ(2u, records.size());
    EXPECT_EQ("lost", records[0]["verdict"]);
    ASSERT_EQ(1u, records[0]["devices"]["missing"].size());
    EXPECT_EQ("Intel(R) Wi-Fi 6 AX201 160MHz", records[0]["devices"]["missing"][0]["name"]);
    // The continued run compares with the list of its own start, not with the lost one's.
    EXPECT_EQ("ok", records[1]["verdict"]);
    std::vector<std::string> lines = LogBodies(sandbox.Path("run.log"));
    EXPECT_EQ(1, CountPrefix(lines, "Device missing after the lost sleep of cycle 1: Intel(R) Wi-Fi 6 AX201 160MHz"));
    EXPECT_FALSE(FileExists(sandbox.Path("sleepflag")));
    EXPECT_FALSE(FileExists(sandbox.Path("sleepflag.devices")));
}
