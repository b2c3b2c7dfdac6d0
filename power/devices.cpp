// The devices and the battery across every sleep: a list of the machine's
// devices before the sleep and after the wake, looked at again for a while
// when something changed (USB and Wi-Fi come back late), and the battery's
// charge on both sides.
#include "power/power.h"
#include <setupapi.h>
#include <cfgmgr32.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

DeviceApi gDeviceApi;

bool LoadDeviceApi() {
    if (gDeviceApi.module) return true;
    HMODULE module = LoadSystemLibrary("setupapi.dll");
    if (!module) return false;
    DeviceApi api;
    memset(&api, 0, sizeof(api));
    api.module = module;
    api.GetClassDevsW = (decltype(api.GetClassDevsW))(void*)GetProcAddress(module, "SetupDiGetClassDevsW");
    api.EnumDeviceInfo = (decltype(api.EnumDeviceInfo))(void*)GetProcAddress(module, "SetupDiEnumDeviceInfo");
    api.GetDeviceInstanceIdW =
        (decltype(api.GetDeviceInstanceIdW))(void*)GetProcAddress(module, "SetupDiGetDeviceInstanceIdW");
    api.GetDeviceRegistryPropertyW =
        (decltype(api.GetDeviceRegistryPropertyW))(void*)GetProcAddress(module, "SetupDiGetDeviceRegistryPropertyW");
    api.DestroyDeviceInfoList =
        (decltype(api.DestroyDeviceInfoList))(void*)GetProcAddress(module, "SetupDiDestroyDeviceInfoList");
    api.GetDevNodeStatus = (decltype(api.GetDevNodeStatus))(void*)GetProcAddress(module, "CM_Get_DevNode_Status");
    if (!api.GetClassDevsW || !api.EnumDeviceInfo || !api.GetDeviceInstanceIdW || !api.GetDeviceRegistryPropertyW ||
        !api.DestroyDeviceInfoList || !api.GetDevNodeStatus) {
        FreeLibrary(module);
        return false;
    }
    gDeviceApi = api;
    return true;
}

void UnloadDeviceApi() {
    if (gDeviceApi.module) FreeLibrary(gDeviceApi.module);
    memset(&gDeviceApi, 0, sizeof(gDeviceApi));
}

// ---------------------------------------------------------------------------
// One list of the devices.

#define DEVICE_TEXT_MAX_CHARS 4096  // longer texts from the system are cut

static std::string Utf8(const WCHAR* text, size_t chars) {
    if (chars == 0) return std::string();
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text, (int)chars, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return std::string();
    std::string out((size_t)bytes, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, (int)chars, &out[0], bytes, nullptr, nullptr);
    return out;
}

static size_t BoundedLength(const WCHAR* text, size_t capacity) {
    size_t length = 0;
    while (length < capacity && text[length]) length++;
    return length;
}

// A text property of the device; "" when it has none.
static std::string Property(HDEVINFO list, SP_DEVINFO_DATA* device, DWORD property) {
    WCHAR small[256];
    DWORD type = 0, needed = 0;
    if (gDeviceApi.GetDeviceRegistryPropertyW(list, device, property, &type, (BYTE*)small, sizeof(small) - 2,
                                              &needed)) {
        small[255] = 0;
        return Utf8(small, BoundedLength(small, 255));
    }
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed == 0) return std::string();
    DWORD bytes = needed > DEVICE_TEXT_MAX_CHARS * 2 ? DEVICE_TEXT_MAX_CHARS * 2 : needed;
    std::vector<WCHAR> large(bytes / 2 + 2, 0);
    if (needed > bytes ||
        !gDeviceApi.GetDeviceRegistryPropertyW(list, device, property, &type, (BYTE*)large.data(), bytes, &needed)) {
        return std::string();
    }
    return Utf8(large.data(), BoundedLength(large.data(), bytes / 2));
}

static std::string InstanceId(HDEVINFO list, SP_DEVINFO_DATA* device) {
    WCHAR small[256];
    DWORD needed = 0;
    if (gDeviceApi.GetDeviceInstanceIdW(list, device, small, 255, &needed)) {
        small[255] = 0;
        return Utf8(small, BoundedLength(small, 255));
    }
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed == 0 || needed > DEVICE_TEXT_MAX_CHARS) {
        return std::string();
    }
    std::vector<WCHAR> large(needed + 1, 0);
    if (!gDeviceApi.GetDeviceInstanceIdW(list, device, large.data(), needed, &needed)) return std::string();
    return Utf8(large.data(), BoundedLength(large.data(), large.size() - 1));
}

DWORD TakeDeviceSnapshot(std::vector<DeviceEntry>* devices) {
    devices->clear();
    if (!gDeviceApi.GetClassDevsW) return ERROR_PROC_NOT_FOUND;
    HDEVINFO list = gDeviceApi.GetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
    if (list == INVALID_HANDLE_VALUE) return GetLastError() != 0 ? GetLastError() : (DWORD)ERROR_GEN_FAILURE;
    DWORD error = 0;
    for (DWORD index = 0;; index++) {
        SP_DEVINFO_DATA device;
        memset(&device, 0, sizeof(device));
        device.cbSize = sizeof(device);
        if (!gDeviceApi.EnumDeviceInfo(list, index, &device)) {
            if (GetLastError() != ERROR_NO_MORE_ITEMS) error = GetLastError();
            break;
        }
        DeviceEntry entry;
        entry.id = InstanceId(list, &device);
        // A device without an id cannot be told from the next one: not listed.
        if (entry.id.empty()) continue;
        entry.name = Property(list, &device, SPDRP_FRIENDLYNAME);
        if (entry.name.empty()) entry.name = Property(list, &device, SPDRP_DEVICEDESC);
        entry.cls = Property(list, &device, SPDRP_CLASS);
        ULONG status = 0, problem = 0;
        entry.code = gDeviceApi.GetDevNodeStatus(&status, &problem, device.DevInst, 0) == CR_SUCCESS &&
                             (status & DN_HAS_PROBLEM)
                         ? (int)problem
                         : 0;
        devices->push_back(entry);
    }
    gDeviceApi.DestroyDeviceInfoList(list);
    SortDevices(devices);
    return error;
}

bool ReadBattery(BatteryReading* reading) {
    memset(reading, 0, sizeof(*reading));
    if (!gPowerApi.CallNtPowerInformation) return false;
    SYSTEM_BATTERY_STATE state;
    memset(&state, 0, sizeof(state));
    if (gPowerApi.CallNtPowerInformation(SystemBatteryState, nullptr, 0, &state, sizeof(state)) != 0) return false;
    reading->present = state.BatteryPresent != 0;
    reading->ac = state.AcOnLine != 0;
    // A capacity the system does not know, or gives as a share of 100, is no figure in mWh.
    bool relative = state.MaxCapacity <= 100 && state.RemainingCapacity <= 100;
    reading->mwhKnown = reading->present && state.RemainingCapacity != 0xFFFFFFFF && !relative;
    reading->mwh = reading->mwhKnown ? (long long)state.RemainingCapacity : 0;
    return true;
}

// ---------------------------------------------------------------------------
// The side file of the marker: the standing problems and the list before the
// sleep, for the start after a power cycle.

static bool SideFilePath(char* out, size_t outSize) {
    int length = snprintf(out, outSize, "%s.devices", gMarkerFilePath);
    return gMarkerFilePath[0] && length > 0 && (size_t)length < outSize;
}

static std::string Escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\') out += "\\\\";
        else if (c == '\t') out += "\\t";
        else if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else out += c;
    }
    return out;
}

static std::string Unescaped(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        char c = text[++i];
        out += c == 't' ? '\t' : c == 'n' ? '\n' : c == 'r' ? '\r' : c;
    }
    return out;
}

std::string FormatDeviceSideFile(const std::vector<std::string>& standing, const std::vector<DeviceEntry>& before) {
    std::string text = "VDS1\n";
    for (const std::string& id : standing) text += "S\t" + Escaped(id) + "\n";
    for (const DeviceEntry& d : before) {
        text += "D\t" + std::to_string(d.code) + "\t" + Escaped(d.id) + "\t" + Escaped(d.name) + "\t" +
                Escaped(d.cls) + "\n";
    }
    return text;
}

bool ParseDeviceSideFile(const std::string& text, std::vector<std::string>* standing,
                         std::vector<DeviceEntry>* before) {
    standing->clear();
    before->clear();
    if (text.compare(0, 5, "VDS1\n") != 0) return false;
    size_t at = 5;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        // A line cut by a power loss ends the list: the file is not believed.
        if (end == std::string::npos) return false;
        std::vector<std::string> fields;
        size_t from = at;
        for (size_t tab; (tab = text.find('\t', from)) != std::string::npos && tab < end; from = tab + 1) {
            fields.push_back(text.substr(from, tab - from));
        }
        fields.push_back(text.substr(from, end - from));
        at = end + 1;
        if (fields[0] == "S" && fields.size() == 2) {
            standing->push_back(Unescaped(fields[1]));
        } else if (fields[0] == "D" && fields.size() == 5) {
            char* stop = nullptr;
            long code = strtol(fields[1].c_str(), &stop, 10);
            if (!stop || *stop || code < 0 || code > 0xFFFF) return false;
            before->push_back({Unescaped(fields[2]), Unescaped(fields[3]), Unescaped(fields[4]), (int)code});
        } else {
            return false;
        }
    }
    SortDevices(before);
    std::vector<DeviceEntry> sorted;
    for (const std::string& id : *standing) sorted.push_back({id, "", "", 1});
    *standing = StandingProblems(sorted);
    return true;
}

// Written through a temporary file and moved over the last one, flushed: the
// file is whole whenever the power goes.
static void WriteSideFile(const std::string& text) {
    char path[MAX_PATH + 16], temporary[MAX_PATH + 24];
    if (!SideFilePath(path, sizeof(path))) return;
    snprintf(temporary, sizeof(temporary), "%s.tmp", path);
    HANDLE file = CreateFileA(temporary, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    bool ok = WriteFile(file, text.data(), (DWORD)text.size(), &written, nullptr) && written == text.size() &&
              FlushFileBuffers(file);
    CloseHandle(file);
    if (!ok || !MoveFileExA(temporary, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DeleteFileA(temporary);
    }
}

static bool ReadSideFile(std::vector<std::string>* standing, std::vector<DeviceEntry>* before) {
    char path[MAX_PATH + 16];
    if (!SideFilePath(path, sizeof(path))) return false;
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER size;
    std::string text;
    // Some 5,000 devices take well under 4 MB; a larger file is not one of ours.
    if (GetFileSizeEx(file, &size) && size.QuadPart > 0 && size.QuadPart < 16 * 1024 * 1024) {
        text.resize((size_t)size.QuadPart);
        DWORD got = 0;
        if (!ReadFile(file, &text[0], (DWORD)text.size(), &got, nullptr)) got = 0;
        text.resize(got);
    }
    CloseHandle(file);
    return ParseDeviceSideFile(text, standing, before);
}

void DeleteDeviceSideFile() {
    char path[MAX_PATH + 16];
    if (SideFilePath(path, sizeof(path))) DeleteFileA(path);
}

// ---------------------------------------------------------------------------
// The check of a run.

static bool gChecking = false;
static std::vector<DeviceEntry> gBefore;
static std::vector<std::string> gStanding;
static std::vector<std::string> gIgnores;
static BatteryReading gBatteryBefore;
static bool gRecheck = false;
static DWORD gRecheckStart = 0, gRecheckNext = 0;
static int gRecheckCycle = 0;
// Standing problems a start after a power cycle took from the side file: the
// device that took the machine down is not one of them.
static bool gHaveResumedStanding = false;
static std::vector<std::string> gResumedStanding;

// A text of the system as the log shows it: cut between whole characters.
static std::string Shown(const std::string& text) {
    char out[201];
    CopyUtf8(out, sizeof(out), text.c_str());
    return out;
}

static std::string Described(const DeviceEntry& d) {
    return Shown(d.name.empty() ? d.id : d.name) + " (" + Shown(d.cls.empty() ? "no class" : d.cls) + ", " +
           Shown(d.id) + ")";
}

static std::string ProblemOf(int code) { return "code " + std::to_string(code) + " " + DeviceProblemText(code); }

bool IsDeviceCheckActive() { return gChecking; }

void BeginDeviceCheck(bool resumed) {
    gChecking = false;
    gRecheck = false;
    gBefore.clear();
    gIgnores = DeviceIgnoreList(&gDeviceCheck);
    if (gDeviceCheck.off) {
        LogMessage("The device check is off (--no-device-check)", LOG_INFO);
        return;
    }
    std::vector<DeviceEntry> baseline;
    DWORD error = LoadDeviceApi() ? TakeDeviceSnapshot(&baseline) : (DWORD)ERROR_MOD_NOT_FOUND;
    if (error != 0) {
        char line[160];
        snprintf(line, sizeof(line), "The device check is off: the system's device list could not be read. Error code %lu",
                 (unsigned long)error);
        LogMessage(line, LOG_WARNING);
        return;
    }
    gChecking = true;
    gStanding = resumed && gHaveResumedStanding ? gResumedStanding : StandingProblems(baseline);
    gHaveResumedStanding = false;
    std::string line = "Devices: " + std::to_string(baseline.size()) + " present; ";
    int problems = 0;
    std::string listed;
    for (const DeviceEntry& d : baseline) {
        if (d.code == 0) continue;
        if (problems < 8) listed += (problems ? "; " : ": ") + Described(d) + ", " + ProblemOf(d.code);
        problems++;
    }
    if (problems == 0) {
        line += "none with a problem before the run";
    } else {
        line += std::to_string(problems) + " with a problem before the run" + listed;
        if (problems > 8) line += "; and " + std::to_string(problems - 8) + " more";
    }
    LogMessage(line.c_str(), LOG_INFO);
}

void EndDeviceCheck() {
    gChecking = false;
    gRecheck = false;
    gBefore.clear();
    DeleteDeviceSideFile();
}

void SnapshotBeforeSleep() {
    ReadBattery(&gBatteryBefore);
    gRecheck = false;
    if (!gChecking) return;
    if (TakeDeviceSnapshot(&gBefore) != 0) gBefore.clear();
    WriteSideFile(FormatDeviceSideFile(gStanding, gBefore));
}

// The final answer of a sleep's check: lines for what changed, the battery after.
static void FinishCheck(SleepRecord* record, const std::vector<DeviceEntry>& after, int cycle) {
    std::vector<DeviceEntry> cleared;
    record->devices = CompareDevices(gBefore, after, gStanding, gIgnores, &cleared);
    char where[48];
    snprintf(where, sizeof(where), " after the sleep of cycle %d: ", cycle);
    for (const DeviceEntry& d : record->devices.missing) {
        LogMessage(("Device missing" + std::string(where) + Described(d)).c_str(), LOG_ERROR);
    }
    for (const DeviceEntry& d : record->devices.problems) {
        LogMessage(("Device problem" + std::string(where) + Described(d) + ", " + ProblemOf(d.code)).c_str(),
                   LOG_ERROR);
    }
    for (const DeviceEntry& d : cleared) {
        LogMessage(("Device problem cleared" + std::string(where) + Described(d)).c_str(), LOG_INFO);
    }
    if (record->devices.appeared > 0) {
        char line[96];
        snprintf(line, sizeof(line), "%d devices appeared after the sleep of cycle %d", record->devices.appeared,
                 cycle);
        LogMessage(line, LOG_INFO);
    }
    BatteryReading now;
    ReadBattery(&now);
    int asleep = record->asleepSource != ASLEEP_UNKNOWN ? record->asleepSec : 0;
    record->battery = BatteryAcrossSleep(gBatteryBefore, now, asleep, record->measuredSec);
    if (record->battery.known && record->battery.beforeMwh.known && record->battery.afterMwh.known) {
        char line[160];
        if (record->battery.drainMw.known) {
            snprintf(line, sizeof(line), "Battery %lld -> %lld mWh during the sleep: %lld mW",
                     record->battery.beforeMwh.value, record->battery.afterMwh.value, record->battery.drainMw.value);
        } else {
            snprintf(line, sizeof(line), "Battery %lld -> %lld mWh during the sleep, on mains power",
                     record->battery.beforeMwh.value, record->battery.afterMwh.value);
        }
        LogMessage(line, LOG_INFO);
    }
}

static bool Differs(const std::vector<DeviceEntry>& after) {
    DeviceCheck check = CompareDevices(gBefore, after, gStanding, gIgnores, nullptr);
    return HasDeviceFault(check);
}

void CheckDevicesAfterWake(SleepRecord* record, int cycle) {
    gRecheck = false;
    std::vector<DeviceEntry> after;
    if (!gChecking || gBefore.empty() || TakeDeviceSnapshot(&after) != 0) {
        record->devices = DeviceCheck();
        BatteryReading now;
        ReadBattery(&now);
        int asleep = record->asleepSource != ASLEEP_UNKNOWN ? record->asleepSec : 0;
        record->battery = BatteryAcrossSleep(gBatteryBefore, now, asleep, record->measuredSec);
        return;
    }
    if (!Differs(after) || gDeviceCheck.settleSec <= 0) {
        FinishCheck(record, after, cycle);
        return;
    }
    // What is found now stands in the record until the devices have settled.
    record->devices = CompareDevices(gBefore, after, gStanding, gIgnores, nullptr);
    gRecheck = true;
    gRecheckCycle = cycle;
    gRecheckStart = GetTickCount();
    gRecheckNext = gRecheckStart + DEVICE_RECHECK_MS;
    char line[128];
    snprintf(line, sizeof(line), "Devices changed after the wake: looking again every %d s for up to %d s",
             DEVICE_RECHECK_MS / 1000, gDeviceCheck.settleSec);
    LogMessage(line, LOG_INFO);
}

bool IsDeviceRecheckPending() { return gRecheck; }

int DeviceSettleSecondsLeft() {
    if (!gRecheck) return 0;
    DWORD spent = GetTickCount() - gRecheckStart;
    DWORD limit = (DWORD)gDeviceCheck.settleSec * 1000;
    return spent >= limit ? 0 : (int)((limit - spent + 999) / 1000);
}

// One look at the devices when it is due (at once when hurry); true once the
// check has its final answer in record.
static bool Recheck(SleepRecord* record, bool hurry) {
    if (!gRecheck) return true;
    DWORD now = GetTickCount();
    if (!hurry && (LONG)(now - gRecheckNext) < 0) return false;
    gRecheckNext = now + DEVICE_RECHECK_MS;
    std::vector<DeviceEntry> after;
    bool read = TakeDeviceSnapshot(&after) == 0;
    bool settled = read && !Differs(after);
    bool timeUp = hurry || now - gRecheckStart >= (DWORD)gDeviceCheck.settleSec * 1000;
    if (!settled && !timeUp) return false;
    gRecheck = false;
    if (settled) {
        char line[96];
        snprintf(line, sizeof(line), "The devices were back after %lu s", (unsigned long)((now - gRecheckStart) / 1000));
        LogMessage(line, LOG_INFO);
    }
    if (read) {
        FinishCheck(record, after, gRecheckCycle);
    } else {
        LogMessage("The device list could not be read again: the changes first seen stand", LOG_WARNING);
    }
    return true;
}

bool PollDeviceRecheck(SleepRecord* record) { return Recheck(record, false); }

void FinishDeviceRecheck(SleepRecord* record) {
    while (gRecheck) {
        // Stop and Exit end the wait: the devices are looked at once more and that answer stands.
        if (Recheck(record, gStopRequested || gQuitRequested)) break;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
        PumpPendingMessages();
    }
}

void CheckDevicesAfterPowerCycle(SleepRecord* lost) {
    std::vector<DeviceEntry> before;
    std::vector<std::string> standing;
    gHaveResumedStanding = false;
    if (!ReadSideFile(&standing, &before)) return;
    gResumedStanding = standing;
    gHaveResumedStanding = true;
    std::vector<DeviceEntry> after;
    if (gDeviceCheck.off || before.empty() || !LoadDeviceApi() || TakeDeviceSnapshot(&after) != 0) return;
    std::vector<DeviceEntry> cleared;
    lost->devices = CompareDevices(before, after, standing, DeviceIgnoreList(&gDeviceCheck), &cleared);
    char where[64];
    snprintf(where, sizeof(where), " after the lost sleep of cycle %d: ", lost->cycle);
    for (const DeviceEntry& d : lost->devices.missing) {
        LogMessage(("Device missing" + std::string(where) + Described(d)).c_str(), LOG_ERROR);
    }
    for (const DeviceEntry& d : lost->devices.problems) {
        LogMessage(("Device problem" + std::string(where) + Described(d) + ", " + ProblemOf(d.code)).c_str(),
                   LOG_ERROR);
    }
}
