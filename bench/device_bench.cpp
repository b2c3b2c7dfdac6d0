// The program's own cost of the device check around one sleep: one list taken
// through the device library (answered from memory here, so the system's own
// time is left out) and compared with the list before the sleep.
// Run by hand under Wine (see README.md): bash bench/wine.sh device_bench.exe [runs]
#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>
#include <algorithm>
#include <stdio.h>
#include <stdlib.h>
#include <string>
#include <vector>
#include "bench/bench_clock.h"
#include "power/power.h"

namespace {

// Devices as a library would hand them out: ids, names and classes as UTF-16.
struct Device {
    std::wstring id, name, cls;
    ULONG problem;
};
std::vector<Device> gDevices;

BOOL Give(const std::wstring& text, void* out, DWORD capacityBytes, PDWORD needed, bool inChars) {
    DWORD bytes = (DWORD)(text.size() + 1) * 2;
    if (needed) *needed = inChars ? bytes / 2 : bytes;
    if (capacityBytes < bytes) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    memcpy(out, text.c_str(), bytes);
    return TRUE;
}

HANDLE WINAPI GetClassDevs(const GUID*, PCWSTR, HWND, DWORD) { return (HANDLE)1; }
BOOL WINAPI Enum(HANDLE, DWORD index, SP_DEVINFO_DATA* data) {
    if (index >= gDevices.size()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    data->DevInst = index;
    return TRUE;
}
BOOL WINAPI Id(HANDLE, SP_DEVINFO_DATA* data, PWSTR out, DWORD chars, PDWORD needed) {
    return Give(gDevices[data->DevInst].id, out, chars * 2, needed, true);
}
BOOL WINAPI Property(HANDLE, SP_DEVINFO_DATA* data, DWORD property, PDWORD type, PBYTE out, DWORD size,
                     PDWORD needed) {
    if (type) *type = REG_SZ;
    const Device& d = gDevices[data->DevInst];
    return Give(property == SPDRP_CLASS ? d.cls : d.name, out, size, needed, false);
}
BOOL WINAPI Destroy(HANDLE) { return TRUE; }
DWORD WINAPI Status(PULONG status, PULONG problem, DWORD node, ULONG) {
    *problem = gDevices[node].problem;
    *status = *problem ? DN_HAS_PROBLEM : DN_STARTED;
    return CR_SUCCESS;
}

// A machine of n devices with ids and names of a real machine's lengths, in no order.
void MakeMachine(int n) {
    gDevices.clear();
    for (int i = 0; i < n; i++) {
        wchar_t id[128], name[96];
        swprintf(id, 128, L"PCI\\VEN_8086&DEV_%04X&SUBSYS_%08X&REV_01\\3&11583659&0&%02X", (i * 7919) % 65536,
                 i * 2654435761u, i % 256);
        swprintf(name, 96, L"Intel(R) Device %d Controller - %04X", i, (i * 31) % 65536);
        gDevices.push_back({id, name, i % 3 ? L"System" : L"USB", (ULONG)(i % 97 == 0 ? 28 : 0)});
    }
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    int runs = argc > 1 ? atoi(argv[1]) : 20;
    if (runs <= 0) runs = 20;
    gDeviceApi = DeviceApi{GetModuleHandleA(nullptr), GetClassDevs, Enum, Id, Property, Destroy, Status};
    printf("devices  snapshot ms (median)  compare ms (median)  both ms\n");
    for (int n : {300, 5000}) {
        MakeMachine(n);
        std::vector<DeviceEntry> before, after;
        TakeDeviceSnapshot(&before);
        std::vector<std::string> standing = StandingProblems(before);
        std::vector<double> snapshot, compare;
        for (int r = 0; r < runs; r++) {
            double start = Seconds();
            TakeDeviceSnapshot(&after);
            double taken = Seconds();
            DeviceCheck check = CompareDevices(before, after, standing, {"USB\\VID_8087"}, nullptr);
            double compared = Seconds();
            if (check.present != n) return 1;
            snapshot.push_back((taken - start) * 1000);
            compare.push_back((compared - taken) * 1000);
        }
        printf("%7d  %22.3f  %19.3f  %7.3f\n", n, Median(snapshot), Median(compare),
               Median(snapshot) + Median(compare));
    }
    return 0;
}
