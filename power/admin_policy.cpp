// Narrowing of the administrator power policy to the state of the next sleep.
#include <string.h>
#include "core/core.h"
#include "log/log.h"
#include "power/power.h"

#ifndef STATUS_ACCESS_DENIED
#define STATUS_ACCESS_DENIED ((LONG)0xC0000022L)
#endif

bool ComposeAdminSleepPolicy(LONG readStatus, const ADMINISTRATOR_POWER_POLICY* read,
                             const ADMINISTRATOR_POWER_POLICY* saved, int minSleep, int maxSleep,
                             ADMINISTRATOR_POWER_POLICY* out) {
    if (readStatus == 0) {
        *out = *read;
    } else if (saved) {
        // The read left nothing valid: the other four limits come from the
        // policy read at start-up, which is what the exit restores anyway.
        *out = *saved;
    } else {
        return false;
    }
    out->MinSleep = (SYSTEM_POWER_STATE)minSleep;
    out->MaxSleep = (SYSTEM_POWER_STATE)maxSleep;
    return true;
}

bool SetAdminSleepPolicy(int minSleep, int maxSleep) {
    bool result = true;
    ADMINISTRATOR_POWER_POLICY read;
    memset(&read, 0, sizeof(read));
    LONG status = gPowerApi.CallNtPowerInformation(AdministratorPowerPolicy, nullptr, 0, &read, sizeof(read));
    if (status != 0) {
        LogDebug("Error getting active admin power policy. LastError = %ld.\n", (long)status);
        result = false;
    }
    ADMINISTRATOR_POWER_POLICY policy;
    if (!ComposeAdminSleepPolicy(status, &read, gSavedAdminPolicyValid ? &gSavedAdminPolicy : nullptr, minSleep,
                                 maxSleep, &policy))
        return false;  // nothing valid to write: the system's policy is left alone

    status = gPowerApi.CallNtPowerInformation(AdministratorPowerPolicy, &policy, sizeof(policy), &policy,
                                              sizeof(policy));
    if (status != 0) {
        LogDebug("Error setting active admin power policy. LastError = %#xh.\n", (unsigned)status);
        result = false;
    }
    if (status == STATUS_ACCESS_DENIED) {
        ShowMessageBox(gRunView.window,
                    "Error setting active admin power policy\nRequested sleep state could not be set.\n"
                    "Check that you are running Vesplin as the administrator.\n"
                    "In Windows Vista you may need to set the administrator privilage flag",
                    "Vesplin permissions problem", MB_ICONWARNING | MB_OK, IDOK);
        return false;
    }
    return result;
}
