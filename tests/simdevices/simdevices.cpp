// Simulated device library for the tests. Installed as the test prefix's
// system32 setupapi.dll; a process whose Wine DLL overrides say
// setupapi=native gets it instead of Wine's own.
//
// Every all-classes SetupDiGetClassDevsW call is one snapshot of the device
// list, read again from the UTF-8 file named by SIMDEVICES_LIST (sections
// [N] take effect from snapshot N on), or a fixed default list. Each call
// appends one line to the file named by SIMDEVICES_JOURNAL. The file format
// and the answers are described in tests/simdevices/README.md.
#define _SETUPAPI_
#define _CFGMGR32_
#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

struct Device {
    std::wstring id;
    std::wstring friendlyName;  // empty: the device has no friendly name
    std::wstring description;   // empty: no description
    std::wstring className;     // empty: no class
    ULONG problem = 0;
};

struct DeviceSet {
    std::vector<Device> devices;
    DEVINST firstDevinst = 0;  // devices[i] has firstDevinst + i
};

// DEVINST values start here, so small numbers a caller makes up are unknown.
const DEVINST kFirstDevinst = 0x1001;
// Keeps a runaway "generate" line from exhausting memory.
const size_t kMaxDevices = 1000000;

CRITICAL_SECTION gLock;
ULONG gSnapshots = 0;
// Open lists by handle value; values only grow, so a destroyed handle stays unknown.
std::map<ULONG_PTR, std::unique_ptr<DeviceSet>> gSets;
ULONG_PTR gNextHandle = 0x5D0000;
// Problem code of every DEVINST handed out, index DEVINST - kFirstDevinst; it
// outlives the list, as a device node outlives the list it was found through.
std::vector<ULONG> gProblems;

struct Locked {
    Locked() { EnterCriticalSection(&gLock); }
    ~Locked() { LeaveCriticalSection(&gLock); }
};

std::wstring Widen(const char* text, size_t length) {
    if (length == 0) return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, text, (int)length, NULL, 0);
    std::wstring wide(n > 0 ? (size_t)n : 0, L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, text, (int)length, &wide[0], n);
    return wide;
}

std::wstring Widen(const std::string& text) { return Widen(text.data(), text.size()); }

bool ReadEnv(const wchar_t* name, std::wstring* value) {
    DWORD size = GetEnvironmentVariableW(name, NULL, 0);
    if (size == 0) return false;
    value->assign(size, L'\0');
    DWORD n = GetEnvironmentVariableW(name, &(*value)[0], size);
    if (n == 0 || n >= size) return false;
    value->resize(n);
    return true;
}

// The whole file; false when it cannot be read.
bool ReadWholeFile(const std::wstring& path, std::string* text) {
    text->clear();
    HANDLE file = INVALID_HANDLE_VALUE;
    // A test may be rewriting the file at this moment; try again briefly.
    for (int attempt = 0; attempt < 50 && file == INVALID_HANDLE_VALUE; ++attempt) {
        file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
        if (file == INVALID_HANDLE_VALUE) {
            DWORD error = GetLastError();
            if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return false;
            Sleep(10);
        }
    }
    if (file == INVALID_HANDLE_VALUE) return false;
    char buffer[65536];
    DWORD got = 0;
    bool ok;
    while ((ok = ReadFile(file, buffer, sizeof(buffer), &got, NULL) != 0) && got > 0) text->append(buffer, got);
    CloseHandle(file);
    return ok;
}

Device MakeDevice(const wchar_t* id, const wchar_t* friendlyName, const wchar_t* description,
                  const wchar_t* className) {
    Device device;
    device.id = id;
    device.friendlyName = friendlyName;
    device.description = description;
    device.className = className;
    return device;
}

// Most system devices have only a description; the network adapter also has
// a friendly name that differs from it, as Windows numbers a second adapter.
std::vector<Device> DefaultDevices() {
    return {
        MakeDevice(L"ACPI\\PNP0C0C\\1", L"", L"ACPI Power Button", L"System"),
        MakeDevice(L"PCI\\VEN_8086&DEV_244E\\3&11583659&0&F0", L"", L"PCI-to-PCI Bridge", L"System"),
        MakeDevice(L"PCI\\VEN_8086&DEV_100E\\3&11583659&0&18", L"Gigabit Network Adapter #2",
                   L"Gigabit Network Adapter", L"Net"),
        MakeDevice(L"USB\\ROOT_HUB30\\4&2A0B3D1&0&0", L"", L"USB Root Hub (USB 3.0)", L"USB"),
    };
}

std::string TrimBlanks(const std::string& text) {
    size_t start = text.find_first_not_of(" \t");
    if (start == std::string::npos) return std::string();
    size_t end = text.find_last_not_of(" \t");
    return text.substr(start, end - start + 1);
}

// "[N]" gives true and N.
bool ParseSection(const std::string& line, unsigned long* number) {
    std::string trimmed = TrimBlanks(line);
    if (trimmed.size() < 3 || trimmed.front() != '[' || trimmed.back() != ']') return false;
    std::string digits = TrimBlanks(trimmed.substr(1, trimmed.size() - 2));
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) return false;
    *number = strtoul(digits.c_str(), NULL, 10);
    return true;
}

// Decimal, or hex after "0x"; a leading zero does not mean octal.
unsigned long ParseNumber(const std::string& text) {
    std::string trimmed = TrimBlanks(text);
    if (trimmed.size() > 2 && trimmed[0] == '0' && (trimmed[1] == 'x' || trimmed[1] == 'X')) {
        return strtoul(trimmed.c_str() + 2, NULL, 16);
    }
    return strtoul(trimmed.c_str(), NULL, 10);
}

std::vector<std::string> SplitTabs(const std::string& line) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos) return fields;
        start = tab + 1;
    }
}

void AddLine(const std::string& line, std::vector<Device>* devices, unsigned long* generated) {
    std::vector<std::string> fields = SplitTabs(line);
    if (fields[0] == "generate" && fields.size() >= 2) {
        unsigned long count = ParseNumber(fields[1]);
        for (unsigned long i = 0; i < count && devices->size() < kMaxDevices; ++i) {
            unsigned long number = ++*generated;
            std::wstring digits = std::to_wstring(number);
            std::wstring name = L"Generated device " + digits;
            if (digits.size() < 5) digits.insert(0, 5 - digits.size(), L'0');
            std::wstring id = L"SIM\\GEN\\" + digits;
            devices->push_back(MakeDevice(id.c_str(), name.c_str(), name.c_str(), L"System"));
        }
        return;
    }
    if (devices->size() >= kMaxDevices) return;
    Device device;
    device.id = Widen(fields[0]);
    if (fields.size() > 1) device.friendlyName = Widen(fields[1]);
    // A fifth field is a description of its own; otherwise the name is both.
    device.description = fields.size() > 4 && !fields[4].empty() ? Widen(fields[4]) : device.friendlyName;
    if (fields.size() > 2) device.className = Widen(fields[2]);
    if (fields.size() > 3) device.problem = ParseNumber(fields[3]);
    devices->push_back(device);
}

// The list of the section in force for this snapshot: the last one in the
// file whose number is not above it. Lines before any section are section 1.
std::vector<Device> ParseList(const std::string& text, ULONG snapshot) {
    std::vector<Device> devices;
    unsigned long generated = 0;
    bool inForce = snapshot >= 1;
    size_t start = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::string trimmed = TrimBlanks(line);
        if (trimmed.empty() || trimmed[0] == '#') continue;
        unsigned long number = 0;
        if (ParseSection(line, &number)) {
            inForce = number <= snapshot;
            if (inForce) {
                devices.clear();
                generated = 0;
            }
            continue;
        }
        if (inForce) AddLine(line, &devices, &generated);
    }
    return devices;
}

std::vector<Device> LoadDevices(ULONG snapshot) {
    std::wstring path;
    std::string text;
    if (!ReadEnv(L"SIMDEVICES_LIST", &path) || !ReadWholeFile(path, &text)) return DefaultDevices();
    return ParseList(text, snapshot);
}

// One journal line per call, opened, appended and closed at once, so a
// process killed in the middle of a call still leaves whole lines.
void Journal(const char* line) {
    std::wstring path;
    if (!ReadEnv(L"SIMDEVICES_JOURNAL", &path)) return;
    std::string text = std::string(line) + "\n";
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 50 && file == INVALID_HANDLE_VALUE; ++attempt) {
        file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        if (file == INVALID_HANDLE_VALUE) Sleep(10);
    }
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, text.data(), (DWORD)text.size(), &written, NULL);
    FlushFileBuffers(file);
    CloseHandle(file);
}

// Registers the devices' DEVINST values and opens a list handle on them.
HDEVINFO OpenSet(std::vector<Device> devices) {
    std::unique_ptr<DeviceSet> set(new DeviceSet);
    set->devices.swap(devices);
    set->firstDevinst = kFirstDevinst + (DEVINST)gProblems.size();
    for (const Device& device : set->devices) gProblems.push_back(device.problem);
    ULONG_PTR handle = gNextHandle;
    gNextHandle += 0x10;
    gSets[handle] = std::move(set);
    return (HDEVINFO)handle;
}

DeviceSet* FindSet(HDEVINFO handle) {
    auto found = gSets.find((ULONG_PTR)handle);
    return found == gSets.end() ? NULL : found->second.get();
}

// The device an SP_DEVINFO_DATA of this list names; NULL with the last error set.
const Device* FindDevice(HDEVINFO handle, PSP_DEVINFO_DATA data) {
    DeviceSet* set = FindSet(handle);
    if (!set) {
        SetLastError(ERROR_INVALID_HANDLE);
        return NULL;
    }
    if (!data) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    if (data->cbSize != sizeof(SP_DEVINFO_DATA)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return NULL;
    }
    if (data->DevInst < set->firstDevinst || data->DevInst - set->firstDevinst >= set->devices.size()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    return &set->devices[data->DevInst - set->firstDevinst];
}

// The usual two-call protocol for a string: sizes count the terminating null.
BOOL CopyOut(const std::wstring& value, BYTE* buffer, DWORD bufferBytes, DWORD* requiredBytes, DWORD unit) {
    DWORD needed = (DWORD)(value.size() + 1) * (DWORD)sizeof(wchar_t);
    if (requiredBytes) *requiredBytes = needed / unit;
    if (!buffer && bufferBytes) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (bufferBytes < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    memcpy(buffer, value.c_str(), needed);
    return TRUE;
}

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        InitializeCriticalSection(&gLock);
        DisableThreadLibraryCalls(instance);
    } else if (reason == DLL_PROCESS_DETACH) {
        DeleteCriticalSection(&gLock);
    }
    return TRUE;
}

// Lets a test tell the simulator from Wine's own library.
__declspec(dllexport) const char* WINAPI SimDevicesInfo(void) { return "simdevices"; }

__declspec(dllexport) HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID* classGuid, PCWSTR enumerator, HWND,
                                                           DWORD flags) {
    Locked lock;
    // Only the program's all-classes query is a snapshot; Wine's own callers in
    // the same process ask for one class or for interfaces, and get nothing.
    if (classGuid || enumerator || !(flags & DIGCF_ALLCLASSES) || (flags & DIGCF_DEVICEINTERFACE)) {
        return OpenSet(std::vector<Device>());
    }
    ULONG snapshot = ++gSnapshots;
    std::vector<Device> devices = LoadDevices(snapshot);
    char line[96];
    snprintf(line, sizeof(line), "SetupDiGetClassDevsW snapshot=%lu devices=%lu", snapshot,
             (unsigned long)devices.size());
    Journal(line);
    return OpenSet(std::move(devices));
}

__declspec(dllexport) BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO handle, DWORD index, PSP_DEVINFO_DATA data) {
    Locked lock;
    DeviceSet* set = FindSet(handle);
    if (!set) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!data) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (data->cbSize != sizeof(SP_DEVINFO_DATA)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (index >= set->devices.size()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    memset(&data->ClassGuid, 0, sizeof(data->ClassGuid));
    data->DevInst = set->firstDevinst + index;
    data->Reserved = 0;
    return TRUE;
}

__declspec(dllexport) BOOL WINAPI SetupDiGetDeviceInstanceIdW(HDEVINFO handle, PSP_DEVINFO_DATA data, PWSTR buffer,
                                                              DWORD bufferChars, PDWORD requiredChars) {
    Locked lock;
    const Device* device = FindDevice(handle, data);
    if (!device) return FALSE;
    DWORD bufferBytes = bufferChars > MAXDWORD / sizeof(wchar_t) ? MAXDWORD : bufferChars * (DWORD)sizeof(wchar_t);
    return CopyOut(device->id, (BYTE*)buffer, bufferBytes, requiredChars, sizeof(wchar_t));
}

__declspec(dllexport) BOOL WINAPI SetupDiGetDeviceRegistryPropertyW(HDEVINFO handle, PSP_DEVINFO_DATA data,
                                                                    DWORD property, PDWORD type, PBYTE buffer,
                                                                    DWORD bufferBytes, PDWORD requiredBytes) {
    Locked lock;
    const Device* device = FindDevice(handle, data);
    if (!device) return FALSE;
    if (property >= SPDRP_MAXIMUM_PROPERTY) {
        SetLastError(ERROR_INVALID_REG_PROPERTY);
        return FALSE;
    }
    const std::wstring* value = NULL;
    if (property == SPDRP_FRIENDLYNAME) value = &device->friendlyName;
    if (property == SPDRP_DEVICEDESC) value = &device->description;
    if (property == SPDRP_CLASS) value = &device->className;
    // Every other property, and an empty one, is one the device lacks.
    if (!value || value->empty()) {
        if (requiredBytes) *requiredBytes = 0;
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    if (type) *type = REG_SZ;
    return CopyOut(*value, buffer, bufferBytes, requiredBytes, 1);
}

__declspec(dllexport) BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO handle) {
    Locked lock;
    if (!gSets.erase((ULONG_PTR)handle)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

__declspec(dllexport) CONFIGRET WINAPI CM_Get_DevNode_Status(PULONG status, PULONG problem, DEVINST devinst,
                                                             ULONG flags) {
    Locked lock;
    if (!status || !problem) return CR_INVALID_POINTER;
    if (flags) return CR_INVALID_FLAG;
    if (devinst < kFirstDevinst || devinst - kFirstDevinst >= gProblems.size()) return CR_NO_SUCH_DEVNODE;
    ULONG code = gProblems[devinst - kFirstDevinst];
    *status = code ? DN_HAS_PROBLEM : DN_STARTED | DN_DRIVER_LOADED;
    *problem = code;
    return CR_SUCCESS;
}

// Wine's own user32 and gdi32 delay-load these from setupapi; in a process
// given the simulator they must fail politely rather than be missing.
__declspec(dllexport) HDEVINFO WINAPI SetupDiCreateDeviceInfoList(const GUID*, HWND) {
    Locked lock;
    return OpenSet(std::vector<Device>());
}

__declspec(dllexport) BOOL WINAPI SetupDiOpenDeviceInfoW(HDEVINFO, PCWSTR, HWND, DWORD, PSP_DEVINFO_DATA) {
    SetLastError(ERROR_NO_SUCH_DEVINST);
    return FALSE;
}

__declspec(dllexport) BOOL WINAPI SetupDiGetDevicePropertyW(HDEVINFO, PSP_DEVINFO_DATA, const DEVPROPKEY*,
                                                            DEVPROPTYPE*, PBYTE, DWORD, PDWORD, DWORD) {
    SetLastError(ERROR_NOT_FOUND);
    return FALSE;
}

}  // extern "C"
