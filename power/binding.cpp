// Binding of the power-management library, loaded at run time from the
// Windows system folder, and the machine's capabilities.
#include <stdio.h>
#include <string.h>
#include "core/core.h"
#include "log/log.h"
#include "power/power.h"

PowerApi gPowerApi;
SYSTEM_POWER_CAPABILITIES gPowerCaps;
int gPowerCapsValid = 1;
ADMINISTRATOR_POWER_POLICY gSavedAdminPolicy;
int gSavedAdminPolicyValid = 0;

template <typename T>
static void Resolve(HMODULE module, T& entry, const char* name) {
    entry = reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

bool LoadPowerApi() {
    AddNote(&gStartupNotes, "Attempting to load powrprof.dll\n");
    memset(&gPowerApi, 0, sizeof(gPowerApi));
    HMODULE module = LoadSystemLibrary("powrprof.dll");
    if (!module) {
        ShowMessageBox(nullptr,
                    "Could not find the Windows .dll file\nresponsible for power management.\n(Powrprof.dll)\n"
                    "Vesplin will now exit.",
                    "Error", MB_ICONWARNING | MB_OK, IDOK);
        return false;
    }
    gPowerApi.module = module;
    Resolve(module, gPowerApi.IsPwrSuspendAllowed, "IsPwrSuspendAllowed");
    Resolve(module, gPowerApi.IsPwrHibernateAllowed, "IsPwrHibernateAllowed");
    Resolve(module, gPowerApi.SetSuspendState, "SetSuspendState");
    Resolve(module, gPowerApi.GetCurrentPowerPolicies, "GetCurrentPowerPolicies");
    Resolve(module, gPowerApi.GetActivePwrScheme, "GetActivePwrScheme");
    Resolve(module, gPowerApi.SetActivePwrScheme, "SetActivePwrScheme");
    Resolve(module, gPowerApi.ReadGlobalPwrPolicy, "ReadGlobalPwrPolicy");
    Resolve(module, gPowerApi.CallNtPowerInformation, "CallNtPowerInformation");
    // Only the checks before a run read the plan's settings; they note their absence then.
    Resolve(module, gPowerApi.PowerGetActiveScheme, "PowerGetActiveScheme");
    Resolve(module, gPowerApi.PowerReadACValueIndex, "PowerReadACValueIndex");
    Resolve(module, gPowerApi.PowerReadDCValueIndex, "PowerReadDCValueIndex");

    // Without these the program can neither judge the machine nor put it to
    // sleep: the library is as good as missing.
    const char* missing = nullptr;
    if (!gPowerApi.IsPwrSuspendAllowed) missing = "IsPwrSuspendAllowed";
    else if (!gPowerApi.IsPwrHibernateAllowed) missing = "IsPwrHibernateAllowed";
    else if (!gPowerApi.SetSuspendState) missing = "SetSuspendState";
    else if (!gPowerApi.CallNtPowerInformation) missing = "CallNtPowerInformation";
    if (missing) {
        char message[256];
        snprintf(message, sizeof(message),
                 "The Windows power management library (Powrprof.dll)\ndoes not provide %s.\nVesplin will now exit.",
                 missing);
        ShowMessageBox(nullptr, message, "Error", MB_ICONWARNING | MB_OK, IDOK);
        return false;
    }
    // The policy functions only serve the power-scheme adjustments; without
    // them those steps are skipped and the sleeps still run.
    struct {
        const void* entry;
        const char* name;
    } optional[] = {
        {reinterpret_cast<const void*>(gPowerApi.GetCurrentPowerPolicies), "GetCurrentPowerPolicies"},
        {reinterpret_cast<const void*>(gPowerApi.GetActivePwrScheme), "GetActivePwrScheme"},
        {reinterpret_cast<const void*>(gPowerApi.SetActivePwrScheme), "SetActivePwrScheme"},
        {reinterpret_cast<const void*>(gPowerApi.ReadGlobalPwrPolicy), "ReadGlobalPwrPolicy"},
    };
    for (const auto& item : optional) {
        if (!item.entry) AddNote(&gStartupNotes, "powrprof.dll has no %s; power scheme changes are skipped.\n", item.name);
    }

    if (!gPowerApi.IsPwrSuspendAllowed() && !gPowerApi.IsPwrHibernateAllowed()) {
        ShowMessageBox(nullptr, "This computer does not have support for system Sleep states.\nVesplin will now exit.",
                    "Error", MB_ICONWARNING | MB_OK, IDOK);
        return false;
    }
    return true;
}

void QueryPowerCapabilities() {
    // Some systems fill only the first fields: start from zero.
    SYSTEM_POWER_CAPABILITIES caps;
    memset(&caps, 0, sizeof(caps));
    memset(&gPowerCaps, 0, sizeof(gPowerCaps));
    LONG status = gPowerApi.CallNtPowerInformation(SystemPowerCapabilities, nullptr, 0, &caps, sizeof(caps));
    if (status != 0) {
        AddNote(&gStartupNotes, "Error getting System Caps. Return code %ld.\n", (long)status);
        gPowerCapsValid = 0;
    } else {
        gPowerCaps = caps;
        gPowerCapsValid = 1;
    }

    ADMINISTRATOR_POWER_POLICY policy;
    memset(&policy, 0, sizeof(policy));
    status = gPowerApi.CallNtPowerInformation(AdministratorPowerPolicy, nullptr, 0, &policy, sizeof(policy));
    if (status != 0) {
        AddNote(&gStartupNotes, "Error getting Admin Power Policy. Return code %ld.\n", (long)status);
        gSavedAdminPolicyValid = 0;
    } else {
        gSavedAdminPolicy = policy;
        gSavedAdminPolicyValid = 1;
    }
}

bool IsSleepStateSupported(int state) {
    switch (state) {
    case SLEEP_S1: return gPowerCaps.SystemS1 != 0;
    case SLEEP_S2: return gPowerCaps.SystemS2 != 0;
    case SLEEP_S3: return gPowerCaps.SystemS3 != 0;
    case SLEEP_S4: return gPowerCaps.SystemS4 != 0 && gPowerCaps.HiberFilePresent != 0;
    default: return false;
    }
}

int SupportedStateMask() {
    int mask = 0;
    for (int state = SLEEP_S1; state <= SLEEP_S4; state++) {
        if (IsSleepStateSupported(state)) mask |= 1 << state;
    }
    return mask;
}

void RestoreAdminPowerPolicy() {
    // A policy that was never read holds nothing the system should get back.
    if (!gSavedAdminPolicyValid || !gPowerApi.CallNtPowerInformation) return;
    gPowerApi.CallNtPowerInformation(AdministratorPowerPolicy, &gSavedAdminPolicy, sizeof(gSavedAdminPolicy),
                                     &gSavedAdminPolicy, sizeof(gSavedAdminPolicy));
}

void UnloadPowerApis() {
    if (gPowerApi.module) FreeLibrary(gPowerApi.module);
    memset(&gPowerApi, 0, sizeof(gPowerApi));
    UnloadEventLogApi();
}

bool IsNtPlatform() {
    OSVERSIONINFOA version;
    memset(&version, 0, sizeof(version));
    version.dwOSVersionInfoSize = sizeof(version);
    return GetVersionExA(&version) && version.dwPlatformId == VER_PLATFORM_WIN32_NT;
}
