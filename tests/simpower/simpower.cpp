// Simulated power-management library for the tests. Installed as the test
// prefix's system32 powrprof.dll; a process started with
// WINEDLLOVERRIDES=powrprof=n gets it instead of Wine's own.
//
// Behaviour comes from a scenario: the key=value text file named by
// SIMPOWER_SCENARIO, re-read on every call so a test can change it between
// calls. Values written through the library (administrator policy, global
// flags, active scheme) are kept in the file named by SIMPOWER_STATE, or in
// memory when that is not set. Every call appends one line to the file named
// by SIMPOWER_JOURNAL. The keys and the journal lines are listed in
// tests/simpower/README.md.
#include <windows.h>
#include <powrprof.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

const LONG kStatusNotImplemented = (LONG)0xC0000002;
const LONG kStatusInvalidParameter = (LONG)0xC000000D;
const LONG kStatusBufferTooSmall = (LONG)0xC0000023;
// asleep_ms: the wake stamp follows the clock until it is read (the machine
// slept all the time the program was away).
const ULONG kFollow = 0xFFFFFFFFul;
// ac_online: SystemBatteryState is not answered.
const ULONG kNotAnswered = 0xFFFFFFFFul;

// The sleep and wake stamps of this process's "machine", in 100 ns units of
// the tick count; zero until the first sleep.
ULONGLONG gSleepStamp = 0;
ULONGLONG gWakeStamp = 0;
ULONG gStampAsleepMs = 0;
bool gStampsFollow = false;

ULONGLONG ClockNow() { return GetTickCount64() * 10000ULL; }

// Values the library "holds" and remembers when they are written.
struct Persisted {
    ULONG adminMinSleep, adminMaxSleep, adminMinVideo, adminMaxVideo, adminMinSpindown, adminMaxSpindown;
    ULONG globalFlags;
    ULONG schemeId;
};

struct Scenario {
    ULONG s1, s2, s3, s4, s5, hiberFile, fullWake;
    ULONG capsStatus;
    ULONG suspendAllowed, hibernateAllowed;
    ULONG suspendResult, suspendError, sleepMs;
    ULONG adminReadStatus, adminWriteStatus;
    ULONG globalReadOk, globalReadError;
    ULONG currentPoliciesOk, currentPoliciesError;
    ULONG activeSchemeOk, activeSchemeError;
    ULONG setSchemeOk, setSchemeError;
    ULONG idleTimeoutAc, idleTimeoutDc;
    ULONG aoac;
    ULONG asleepMs, stampsStatus, stampsFrozen;
    ULONG acOnline, batteryPercent, batteryMwh, batteryFullMwh, batterySleepDrainMwh;
    ULONG wakeTimersAc, wakeTimersDc, powerSettingsStatus;
    Persisted held;
    char missing[512];
};

// Written values when no state file is named; valid only after a write.
Persisted gMemory;
bool gMemoryValid = false;

CRITICAL_SECTION gLock;

// Names hidden from GetProcAddress by the scenario's "missing" key (see HideExports).
char gHiddenNames[16][64];

struct KeyRef {
    const char* key;
    size_t offset;
};

#define SCEN(field) offsetof(Scenario, field)
#define HELD(field) (offsetof(Scenario, held) + offsetof(Persisted, field))

const KeyRef kKeys[] = {
    {"s1", SCEN(s1)},
    {"s2", SCEN(s2)},
    {"s3", SCEN(s3)},
    {"s4", SCEN(s4)},
    {"s5", SCEN(s5)},
    {"hiberfile", SCEN(hiberFile)},
    {"fullwake", SCEN(fullWake)},
    {"caps_status", SCEN(capsStatus)},
    {"suspend_allowed", SCEN(suspendAllowed)},
    {"hibernate_allowed", SCEN(hibernateAllowed)},
    {"suspend_result", SCEN(suspendResult)},
    {"suspend_error", SCEN(suspendError)},
    {"sleep_ms", SCEN(sleepMs)},
    {"admin_read_status", SCEN(adminReadStatus)},
    {"admin_write_status", SCEN(adminWriteStatus)},
    {"global_read_ok", SCEN(globalReadOk)},
    {"global_read_error", SCEN(globalReadError)},
    {"current_policies_ok", SCEN(currentPoliciesOk)},
    {"current_policies_error", SCEN(currentPoliciesError)},
    {"active_scheme_ok", SCEN(activeSchemeOk)},
    {"active_scheme_error", SCEN(activeSchemeError)},
    {"set_scheme_ok", SCEN(setSchemeOk)},
    {"set_scheme_error", SCEN(setSchemeError)},
    {"idle_timeout_ac", SCEN(idleTimeoutAc)},
    {"idle_timeout_dc", SCEN(idleTimeoutDc)},
    {"aoac", SCEN(aoac)},
    {"asleep_ms", SCEN(asleepMs)},
    {"stamps_status", SCEN(stampsStatus)},
    {"stamps_frozen", SCEN(stampsFrozen)},
    {"ac_online", SCEN(acOnline)},
    {"battery_percent", SCEN(batteryPercent)},
    {"battery_mwh", SCEN(batteryMwh)},
    {"battery_full_mwh", SCEN(batteryFullMwh)},
    {"battery_sleep_drain_mwh", SCEN(batterySleepDrainMwh)},
    {"wake_timers_ac", SCEN(wakeTimersAc)},
    {"wake_timers_dc", SCEN(wakeTimersDc)},
    {"power_settings_status", SCEN(powerSettingsStatus)},
    {"admin_min_sleep", HELD(adminMinSleep)},
    {"admin_max_sleep", HELD(adminMaxSleep)},
    {"admin_min_video", HELD(adminMinVideo)},
    {"admin_max_video", HELD(adminMaxVideo)},
    {"admin_min_spindown", HELD(adminMinSpindown)},
    {"admin_max_spindown", HELD(adminMaxSpindown)},
    {"global_flags", HELD(globalFlags)},
    {"scheme_id", HELD(schemeId)},
};

void SetDefaults(Scenario* s) {
    memset(s, 0, sizeof(*s));
    s->s1 = 1;
    s->s3 = 1;
    s->s4 = 1;
    s->s5 = 1;
    s->hiberFile = 1;
    s->fullWake = 1;
    s->suspendAllowed = 1;
    s->hibernateAllowed = 1;
    s->suspendResult = 1;
    s->suspendError = ERROR_GEN_FAILURE;
    s->globalReadOk = 1;
    s->globalReadError = ERROR_FILE_NOT_FOUND;
    s->currentPoliciesOk = 1;
    s->currentPoliciesError = ERROR_FILE_NOT_FOUND;
    s->activeSchemeOk = 1;
    s->activeSchemeError = ERROR_FILE_NOT_FOUND;
    s->setSchemeOk = 1;
    s->setSchemeError = ERROR_ACCESS_DENIED;
    s->idleTimeoutAc = 1800;
    s->idleTimeoutDc = 600;
    s->asleepMs = kFollow;
    s->acOnline = kNotAnswered;
    s->batteryPercent = 80;
    s->batteryMwh = kNotAnswered;
    s->batteryFullMwh = 50000;
    s->batterySleepDrainMwh = 0;
    s->wakeTimersAc = 1;
    s->wakeTimersDc = 1;
    // Distinct values, so a record written back with fields mixed up shows.
    s->held.adminMinSleep = PowerSystemSleeping1;
    s->held.adminMaxSleep = PowerSystemHibernate;
    s->held.adminMinVideo = 60;
    s->held.adminMaxVideo = 3600;
    s->held.adminMinSpindown = 120;
    s->held.adminMaxSpindown = 7200;
    s->held.globalFlags = EnableSysTrayBatteryMeter | EnablePasswordLogon;
    s->held.schemeId = 3;
}

bool ReadEnv(const char* name, char* buffer, DWORD size) {
    DWORD n = GetEnvironmentVariableA(name, buffer, size);
    return n > 0 && n < size;
}

// Reads at most size-1 bytes of a small text file; false when it cannot be opened.
bool ReadSmallFile(const char* path, char* buffer, DWORD size) {
    buffer[0] = 0;
    HANDLE file = INVALID_HANDLE_VALUE;
    // A test may be rewriting the file at this moment; try again briefly.
    for (int attempt = 0; attempt < 50 && file == INVALID_HANDLE_VALUE; ++attempt) {
        file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
        if (file == INVALID_HANDLE_VALUE) {
            DWORD error = GetLastError();
            if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return false;
            Sleep(10);
        }
    }
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD got = 0;
    BOOL ok = ReadFile(file, buffer, size - 1, &got, NULL);
    CloseHandle(file);
    buffer[ok ? got : 0] = 0;
    return ok != 0;
}

char* Trim(char* text) {
    while (*text == ' ' || *text == '\t') ++text;
    char* end = text + strlen(text);
    while (end > text && (end[-1] == ' ' || end[-1] == '\t' || end[-1] == '\r')) --end;
    *end = 0;
    return text;
}

// Applies "key=value" lines to the scenario; '#' starts a comment line.
void ApplyText(Scenario* s, char* text) {
    char* line = text;
    while (line && *line) {
        char* next = strchr(line, '\n');
        if (next) *next++ = 0;
        char* eq = strchr(line, '=');
        if (eq && *Trim(line) != '#') {
            *eq = 0;
            char* key = Trim(line);
            char* value = Trim(eq + 1);
            if (strcmp(key, "missing") == 0) {
                snprintf(s->missing, sizeof(s->missing), "%s", value);
            } else {
                for (const KeyRef& ref : kKeys) {
                    if (strcmp(ref.key, key) == 0) {
                        *(ULONG*)((char*)s + ref.offset) = (ULONG)strtoul(value, NULL, 0);
                        break;
                    }
                }
            }
        }
        line = next;
    }
}

// Defaults, then the scenario file, then what was written earlier.
void LoadScenario(Scenario* s) {
    SetDefaults(s);
    static char text[16384];
    char path[MAX_PATH];
    if (ReadEnv("SIMPOWER_SCENARIO", path, sizeof(path)) && ReadSmallFile(path, text, sizeof(text))) {
        ApplyText(s, text);
    }
    if (ReadEnv("SIMPOWER_STATE", path, sizeof(path))) {
        if (ReadSmallFile(path, text, sizeof(text))) ApplyText(s, text);
    } else if (gMemoryValid) {
        s->held = gMemory;
    }
}

void SaveHeld(const Persisted& held) {
    char path[MAX_PATH];
    if (!ReadEnv("SIMPOWER_STATE", path, sizeof(path))) {
        gMemory = held;
        gMemoryValid = true;
        return;
    }
    char text[512];
    int n = snprintf(text, sizeof(text),
                     "admin_min_sleep=%lu\nadmin_max_sleep=%lu\nadmin_min_video=%lu\nadmin_max_video=%lu\n"
                     "admin_min_spindown=%lu\nadmin_max_spindown=%lu\nglobal_flags=0x%lX\nscheme_id=%lu\n",
                     held.adminMinSleep, held.adminMaxSleep, held.adminMinVideo, held.adminMaxVideo,
                     held.adminMinSpindown, held.adminMaxSpindown, held.globalFlags, held.schemeId);
    HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, text, (DWORD)n, &written, NULL);
    CloseHandle(file);
}

// One journal line per call, opened, appended and closed at once, so a
// process killed in the middle of a call still leaves whole lines.
void Journal(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Journal(const char* format, ...) {
    char path[MAX_PATH];
    if (!ReadEnv("SIMPOWER_JOURNAL", path, sizeof(path))) return;
    char line[1024];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(line, sizeof(line) - 2, format, args);
    va_end(args);
    if (n < 0) return;
    if (n > (int)sizeof(line) - 3) n = (int)sizeof(line) - 3;
    line[n++] = '\n';
    line[n] = 0;
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 50 && file == INVALID_HANDLE_VALUE; ++attempt) {
        file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        if (file == INVALID_HANDLE_VALUE) Sleep(10);
    }
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, line, (DWORD)n, &written, NULL);
    FlushFileBuffers(file);
    CloseHandle(file);
}

void FillAdmin(ADMINISTRATOR_POWER_POLICY* out, const Persisted& held) {
    out->MinSleep = (SYSTEM_POWER_STATE)held.adminMinSleep;
    out->MaxSleep = (SYSTEM_POWER_STATE)held.adminMaxSleep;
    out->MinVideoTimeout = held.adminMinVideo;
    out->MaxVideoTimeout = held.adminMaxVideo;
    out->MinSpindownTimeout = held.adminMinSpindown;
    out->MaxSpindownTimeout = held.adminMaxSpindown;
}

void FillGlobal(GLOBAL_POWER_POLICY* out, const Scenario& s) {
    memset(out, 0, sizeof(*out));
    out->user.Revision = 1;
    out->mach.Revision = 1;
    out->user.GlobalFlags = s.held.globalFlags;
}

void FillPolicy(POWER_POLICY* out, const Scenario& s) {
    memset(out, 0, sizeof(*out));
    out->user.Revision = 1;
    out->mach.Revision = 1;
    out->user.IdleTimeoutAc = s.idleTimeoutAc;
    out->user.IdleTimeoutDc = s.idleTimeoutDc;
    out->user.MaxSleepAc = PowerSystemHibernate;
    out->user.MaxSleepDc = PowerSystemHibernate;
}

// Hides the exports named in the scenario's "missing" list (read when the
// library loads). Each hidden export's name is replaced in the export table by
// the same name with a suffix; no exported name is a prefix of another, so the
// table stays sorted and GetProcAddress keeps working for the others.
void HideExports(HMODULE module) {
    Scenario s;
    LoadScenario(&s);
    if (!s.missing[0]) return;
    BYTE* base = (BYTE*)module;
    IMAGE_DOS_HEADER* dos = (IMAGE_DOS_HEADER*)base;
    IMAGE_NT_HEADERS* nt = (IMAGE_NT_HEADERS*)(base + dos->e_lfanew);
    IMAGE_DATA_DIRECTORY dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    if (!dir.VirtualAddress) return;
    IMAGE_EXPORT_DIRECTORY* exports = (IMAGE_EXPORT_DIRECTORY*)(base + dir.VirtualAddress);
    DWORD* names = (DWORD*)(base + exports->AddressOfNames);
    int hidden = 0;
    char list[512];
    snprintf(list, sizeof(list), "%s", s.missing);
    for (char* item = strtok(list, ", "); item && hidden < 16; item = strtok(NULL, ", ")) {
        for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
            if (strcmp((const char*)(base + names[i]), item) != 0) continue;
            snprintf(gHiddenNames[hidden], sizeof(gHiddenNames[hidden]), "%s~hidden", item);
            DWORD old = 0;
            if (VirtualProtect(&names[i], sizeof(DWORD), PAGE_READWRITE, &old)) {
                names[i] = (DWORD)((BYTE*)gHiddenNames[hidden] - base);
                VirtualProtect(&names[i], sizeof(DWORD), old, &old);
                ++hidden;
            }
            break;
        }
    }
}

struct Locked {
    Locked() { EnterCriticalSection(&gLock); }
    ~Locked() { LeaveCriticalSection(&gLock); }
};

}  // namespace

// Successful suspend calls of this process: each takes the battery's sleep drain.
static ULONG gSuccessfulSleeps = 0;

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        InitializeCriticalSection(&gLock);
        DisableThreadLibraryCalls(instance);
        HideExports(instance);
    } else if (reason == DLL_PROCESS_DETACH) {
        DeleteCriticalSection(&gLock);
    }
    return TRUE;
}

// Lets a test tell the simulator from Wine's own library.
__declspec(dllexport) const char* WINAPI SimPowerInfo(void) { return "simpower"; }

__declspec(dllexport) BOOLEAN WINAPI IsPwrSuspendAllowed(void) {
    Locked lock;
    Scenario s;
    LoadScenario(&s);
    Journal("IsPwrSuspendAllowed result=%lu", s.suspendAllowed ? 1ul : 0ul);
    return s.suspendAllowed ? TRUE : FALSE;
}

__declspec(dllexport) BOOLEAN WINAPI IsPwrHibernateAllowed(void) {
    Locked lock;
    Scenario s;
    LoadScenario(&s);
    Journal("IsPwrHibernateAllowed result=%lu", s.hibernateAllowed ? 1ul : 0ul);
    return s.hibernateAllowed ? TRUE : FALSE;
}

__declspec(dllexport) BOOLEAN WINAPI SetSuspendState(BOOLEAN hibernate, BOOLEAN forceCritical,
                                                     BOOLEAN disableWakeEvent) {
    Scenario s;
    {
        Locked lock;
        LoadScenario(&s);
        // Written before the "sleep", so a process killed while asleep leaves the line.
        if (s.suspendResult) {
            gSuccessfulSleeps++;
            Journal("SetSuspendState hibernate=%d force=%d disablewake=%d result=1 sleep_ms=%lu", hibernate,
                    forceCritical, disableWakeEvent, s.sleepMs);
        } else {
            Journal("SetSuspendState hibernate=%d force=%d disablewake=%d result=0 error=%lu", hibernate,
                    forceCritical, disableWakeEvent, s.suspendError);
        }
    }
    if (!s.suspendResult) {
        SetLastError(s.suspendError);
        return FALSE;
    }
    if (!s.stampsFrozen) {
        Locked lock;
        gSleepStamp = ClockNow();
        gStampsFollow = s.asleepMs == kFollow;
        gStampAsleepMs = gStampsFollow ? 0 : s.asleepMs;
        gWakeStamp = gSleepStamp + (ULONGLONG)gStampAsleepMs * 10000ULL;
    }
    if (s.sleepMs) Sleep(s.sleepMs);
    return TRUE;
}

__declspec(dllexport) BOOLEAN WINAPI GetCurrentPowerPolicies(PGLOBAL_POWER_POLICY global, PPOWER_POLICY policy) {
    Locked lock;
    Scenario s;
    LoadScenario(&s);
    if (!s.currentPoliciesOk || !global || !policy) {
        DWORD error = s.currentPoliciesOk ? ERROR_INVALID_PARAMETER : s.currentPoliciesError;
        Journal("GetCurrentPowerPolicies result=0 error=%lu", error);
        SetLastError(error);
        return FALSE;
    }
    FillGlobal(global, s);
    FillPolicy(policy, s);
    Journal("GetCurrentPowerPolicies result=1 GlobalFlags=0x%lX IdleTimeoutAc=%lu IdleTimeoutDc=%lu",
            global->user.GlobalFlags, policy->user.IdleTimeoutAc, policy->user.IdleTimeoutDc);
    return TRUE;
}

__declspec(dllexport) BOOLEAN WINAPI GetActivePwrScheme(PUINT schemeId) {
    Locked lock;
    Scenario s;
    LoadScenario(&s);
    if (!s.activeSchemeOk || !schemeId) {
        DWORD error = s.activeSchemeOk ? ERROR_INVALID_PARAMETER : s.activeSchemeError;
        Journal("GetActivePwrScheme result=0 error=%lu", error);
        SetLastError(error);
        return FALSE;
    }
    *schemeId = s.held.schemeId;
    Journal("GetActivePwrScheme result=1 id=%lu", s.held.schemeId);
    return TRUE;
}

__declspec(dllexport) BOOLEAN WINAPI SetActivePwrScheme(UINT schemeId, PGLOBAL_POWER_POLICY global,
                                                        PPOWER_POLICY policy) {
    Locked lock;
    Scenario s;
    LoadScenario(&s);
    char globalText[96] = "global=null";
    char policyText[96] = "policy=null";
    if (global) {
        snprintf(globalText, sizeof(globalText), "GlobalFlags=0x%lX EnablePasswordLogon=%d", global->user.GlobalFlags,
                 (global->user.GlobalFlags & EnablePasswordLogon) ? 1 : 0);
    }
    if (policy) {
        snprintf(policyText, sizeof(policyText), "IdleTimeoutAc=%lu IdleTimeoutDc=%lu", policy->user.IdleTimeoutAc,
                 policy->user.IdleTimeoutDc);
    }
    if (!s.setSchemeOk) {
        Journal("SetActivePwrScheme id=%u %s %s result=0 error=%lu", schemeId, globalText, policyText,
                s.setSchemeError);
        SetLastError(s.setSchemeError);
        return FALSE;
    }
    Journal("SetActivePwrScheme id=%u %s %s result=1", schemeId, globalText, policyText);
    s.held.schemeId = schemeId;
    if (global) s.held.globalFlags = global->user.GlobalFlags;
    SaveHeld(s.held);
    return TRUE;
}

__declspec(dllexport) BOOLEAN WINAPI ReadGlobalPwrPolicy(PGLOBAL_POWER_POLICY global) {
    Locked lock;
    Scenario s;
    LoadScenario(&s);
    if (!s.globalReadOk || !global) {
        DWORD error = s.globalReadOk ? ERROR_INVALID_PARAMETER : s.globalReadError;
        Journal("ReadGlobalPwrPolicy result=0 error=%lu", error);
        SetLastError(error);
        return FALSE;
    }
    FillGlobal(global, s);
    Journal("ReadGlobalPwrPolicy result=1 GlobalFlags=0x%lX", global->user.GlobalFlags);
    return TRUE;
}

// The power-setting functions of the active plan; only the "Allow wake
// timers" setting has a value.
__declspec(dllexport) DWORD WINAPI PowerGetActiveScheme(HKEY, GUID** scheme) {
    Locked lock;
    Scenario s;
    LoadScenario(&s);
    if (s.powerSettingsStatus || !scheme) {
        DWORD error = scheme ? s.powerSettingsStatus : ERROR_INVALID_PARAMETER;
        Journal("PowerGetActiveScheme result=%lu", error);
        return error;
    }
    // Balanced; the caller frees it with LocalFree.
    static const GUID kBalanced = {0x381b4222, 0xf694, 0x41f0, {0x96, 0x85, 0xff, 0x5b, 0xb2, 0x60, 0xdf, 0x2e}};
    *scheme = (GUID*)LocalAlloc(LMEM_FIXED, sizeof(GUID));
    if (!*scheme) return ERROR_NOT_ENOUGH_MEMORY;
    **scheme = kBalanced;
    Journal("PowerGetActiveScheme result=0");
    return ERROR_SUCCESS;
}

static DWORD ReadWakeTimerValue(const char* name, const GUID* setting, LPDWORD value, ULONG configured) {
    static const GUID kAllowWakeTimers = {0xbd3b718a, 0x0680, 0x4d9d, {0x8a, 0xb2, 0xe1, 0xd2, 0xb4, 0xac, 0x80, 0x6d}};
    if (!value || !setting) return ERROR_INVALID_PARAMETER;
    if (memcmp(setting, &kAllowWakeTimers, sizeof(GUID)) != 0) {
        Journal("%s result=2", name);
        return ERROR_FILE_NOT_FOUND;
    }
    *value = configured;
    Journal("%s result=0 value=%lu", name, configured);
    return ERROR_SUCCESS;
}

__declspec(dllexport) DWORD WINAPI PowerReadACValueIndex(HKEY, const GUID*, const GUID*, const GUID* setting,
                                                         LPDWORD value) {
    Locked lock;
    Scenario s;
    LoadScenario(&s);
    return ReadWakeTimerValue("PowerReadACValueIndex", setting, value, s.wakeTimersAc);
}

__declspec(dllexport) DWORD WINAPI PowerReadDCValueIndex(HKEY, const GUID*, const GUID*, const GUID* setting,
                                                         LPDWORD value) {
    Locked lock;
    Scenario s;
    LoadScenario(&s);
    return ReadWakeTimerValue("PowerReadDCValueIndex", setting, value, s.wakeTimersDc);
}

__declspec(dllexport) LONG WINAPI CallNtPowerInformation(POWER_INFORMATION_LEVEL level, PVOID input, ULONG inputLength,
                                                         PVOID output, ULONG outputLength) {
    Locked lock;
    Scenario s;
    LoadScenario(&s);
    ULONG inLen = input ? inputLength : 0;
    ULONG outLen = output ? outputLength : 0;
    if (level == SystemPowerCapabilities) {
        LONG status = (LONG)s.capsStatus;
        if (status == 0 && (!output || outputLength < sizeof(SYSTEM_POWER_CAPABILITIES))) {
            status = kStatusBufferTooSmall;
        }
        if (status != 0) {
            Journal("CallNtPowerInformation level=4 in=%lu out=%lu status=0x%08lX", inLen, outLen, (unsigned long)status);
            return status;
        }
        SYSTEM_POWER_CAPABILITIES caps;
        memset(&caps, 0, sizeof(caps));
        caps.PowerButtonPresent = TRUE;
        caps.SleepButtonPresent = TRUE;
        caps.SystemS1 = s.s1 != 0;
        caps.SystemS2 = s.s2 != 0;
        caps.SystemS3 = s.s3 != 0;
        caps.SystemS4 = s.s4 != 0;
        caps.SystemS5 = s.s5 != 0;
        caps.HiberFilePresent = s.hiberFile != 0;
        caps.FullWake = s.fullWake != 0;
        caps.RtcWake = PowerSystemSleeping3;
        caps.DefaultLowLatencyWake = PowerSystemSleeping1;
        caps.spare2[2] = s.aoac != 0;  // AoAc in newer headers
        memcpy(output, &caps, sizeof(caps));
        Journal("CallNtPowerInformation level=4 in=%lu out=%lu status=0x00000000 S1=%d S2=%d S3=%d S4=%d S5=%d "
                "hiberfile=%d fullwake=%d",
                inLen, outLen, caps.SystemS1, caps.SystemS2, caps.SystemS3, caps.SystemS4, caps.SystemS5,
                caps.HiberFilePresent, caps.FullWake);
        return 0;
    }
    if (level == AdministratorPowerPolicy) {
        const ULONG size = sizeof(ADMINISTRATOR_POWER_POLICY);
        bool write = input != NULL;
        const char* op = write ? "write" : "read";
        LONG status = (LONG)(write ? s.adminWriteStatus : s.adminReadStatus);
        if (status == 0 && write && inputLength != size) status = kStatusInvalidParameter;
        if (status == 0 && output && outputLength < size) status = kStatusBufferTooSmall;
        if (status == 0 && !write && !output) status = kStatusInvalidParameter;
        ADMINISTRATOR_POWER_POLICY record;
        if (write && inputLength >= size) {
            memcpy(&record, input, size);
        } else {
            FillAdmin(&record, s.held);
        }
        char fields[192] = "";
        if (write ? inputLength >= size : status == 0) {
            snprintf(fields, sizeof(fields),
                     " MinSleep=%d MaxSleep=%d MinVideoTimeout=%lu MaxVideoTimeout=%lu MinSpindownTimeout=%lu "
                     "MaxSpindownTimeout=%lu",
                     (int)record.MinSleep, (int)record.MaxSleep, record.MinVideoTimeout, record.MaxVideoTimeout,
                     record.MinSpindownTimeout, record.MaxSpindownTimeout);
        }
        Journal("CallNtPowerInformation level=9 op=%s in=%lu out=%lu status=0x%08lX%s", op, inLen, outLen, (unsigned long)status,
                fields);
        if (status != 0) return status;
        if (write) {
            s.held.adminMinSleep = (ULONG)record.MinSleep;
            s.held.adminMaxSleep = (ULONG)record.MaxSleep;
            s.held.adminMinVideo = record.MinVideoTimeout;
            s.held.adminMaxVideo = record.MaxVideoTimeout;
            s.held.adminMinSpindown = record.MinSpindownTimeout;
            s.held.adminMaxSpindown = record.MaxSpindownTimeout;
            SaveHeld(s.held);
        }
        if (output) memcpy(output, &record, size);
        return 0;
    }
    if (level == LastSleepTime || level == LastWakeTime) {
        LONG status = (LONG)s.stampsStatus;
        if (status == 0 && (!output || outputLength < sizeof(ULONGLONG))) status = kStatusBufferTooSmall;
        if (status != 0) {
            Journal("CallNtPowerInformation level=%d in=%lu out=%lu status=0x%08lX", (int)level, inLen, outLen,
                    (unsigned long)status);
            return status;
        }
        // A following wake stamp moves on with the clock until the next sleep.
        if (level == LastWakeTime && gStampsFollow) gWakeStamp = ClockNow();
        ULONGLONG value = level == LastSleepTime ? gSleepStamp : gWakeStamp;
        memcpy(output, &value, sizeof(value));
        Journal("CallNtPowerInformation level=%d in=%lu out=%lu status=0x00000000 value=%llu", (int)level, inLen,
                outLen, value);
        return 0;
    }
    if (level == SystemBatteryState && s.acOnline != kNotAnswered) {
        if (!output || outputLength < sizeof(SYSTEM_BATTERY_STATE)) return kStatusBufferTooSmall;
        SYSTEM_BATTERY_STATE battery;
        memset(&battery, 0, sizeof(battery));
        battery.AcOnLine = s.acOnline != 0;
        battery.BatteryPresent = TRUE;
        battery.MaxCapacity = 100;
        battery.RemainingCapacity = s.batteryPercent;
        // Capacities in mWh, less the drain of every sleep so far.
        if (s.batteryMwh != kNotAnswered) {
            ULONG used = s.batterySleepDrainMwh * gSuccessfulSleeps;
            battery.MaxCapacity = s.batteryFullMwh;
            battery.RemainingCapacity = s.batteryMwh == 0xFFFFFFFF ? 0xFFFFFFFF
                                        : used < s.batteryMwh   ? s.batteryMwh - used
                                                                : 0;
        }
        memcpy(output, &battery, sizeof(battery));
        Journal("CallNtPowerInformation level=%d in=%lu out=%lu status=0x00000000 AcOnLine=%d RemainingCapacity=%lu",
                (int)level, inLen, outLen, battery.AcOnLine, battery.RemainingCapacity);
        return 0;
    }
    Journal("CallNtPowerInformation level=%d in=%lu out=%lu status=0x%08lX", (int)level, inLen, outLen,
            (unsigned long)kStatusNotImplemented);
    return kStatusNotImplemented;
}

}  // extern "C"
