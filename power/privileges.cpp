// The shutdown privilege and the password-on-wake flag, set once at start-up.
#include <string.h>
#include "core/core.h"
#include "log/log.h"
#include "power/power.h"

HANDLE gShutdownToken = nullptr;

int EnableShutdownPrivilege() {
    if (!IsNtPlatform()) return 0;  // older Windows has no privileges to enable
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &gShutdownToken)) {
        gShutdownToken = nullptr;
        LogDebug("Could not open security token to enable shutdown privilege.\nLog in as the Administrator and try again");
        return 2;
    }
    TOKEN_PRIVILEGES privileges;
    memset(&privileges, 0, sizeof(privileges));
    LookupPrivilegeValueA(nullptr, "SeShutdownPrivilege", &privileges.Privileges[0].Luid);
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    // AdjustTokenPrivileges succeeds even when the privilege is not held; only
    // the last error tells (ERROR_NOT_ALL_ASSIGNED).
    SetLastError(ERROR_SUCCESS);
    AdjustTokenPrivileges(gShutdownToken, FALSE, &privileges, 0, nullptr, nullptr);
    if (GetLastError() != ERROR_SUCCESS) {
        LogDebug("Could not adjust privileges to allow shutdown permission.\nLog in as the Administrator and try again");
        return 3;
    }
    CloseHandle(gShutdownToken);
    gShutdownToken = nullptr;
    return 0;
}

void AllowLogonWithoutPasswordOnWake() {
    // A library without the scheme functions was reported at start-up; the step is skipped.
    if (!gPowerApi.ReadGlobalPwrPolicy || !gPowerApi.GetActivePwrScheme || !gPowerApi.GetCurrentPowerPolicies ||
        !gPowerApi.SetActivePwrScheme)
        return;
    GLOBAL_POWER_POLICY global;
    memset(&global, 0, sizeof(global));
    if (!gPowerApi.ReadGlobalPwrPolicy(&global)) {
        LogDebug("Error reading global power policy. LastError = %ld.\n", (long)GetLastError());
        return;
    }
    LogDebug("GlobalPowerPolicy.user.GlobalFlags = 0x%X\n", (unsigned)global.user.GlobalFlags);
    global.user.GlobalFlags &= ~(ULONG)EnablePasswordLogon;

    UINT scheme = 0;
    if (!gPowerApi.GetActivePwrScheme(&scheme)) {
        LogDebug("Error getting active power scheme. LastError = %ld.\n", (long)GetLastError());
        return;
    }
    GLOBAL_POWER_POLICY currentGlobal;
    POWER_POLICY policy;
    memset(&currentGlobal, 0, sizeof(currentGlobal));
    memset(&policy, 0, sizeof(policy));
    if (!gPowerApi.GetCurrentPowerPolicies(&currentGlobal, &policy)) {
        LogDebug("Error getting pfnGetCurrentPowerPolicies. LastError = %ld.\n", (long)GetLastError());
        return;
    }
    if (!gPowerApi.SetActivePwrScheme(scheme, &global, &policy) && GetLastError() == ERROR_ACCESS_DENIED) {
        ShowMessageBox(gRunView.window,
                    "Error setting active power scheme.\nCould not ensure flag to allow auto-login after sleep is set\n"
                    "Check that you are running Vesplin as the administrator.\n"
                    "In Windows Vista you may need to set the administrator privilage flag",
                    "Vesplin permissions problem", MB_ICONWARNING | MB_OK, IDOK);
    }
}
