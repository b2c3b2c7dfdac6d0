// What the machine says before the first sleep of a run: Modern Standby, the
// plan's wake timers, the power source and hibernation.
#include <stdio.h>
#include <string.h>
#include "log/log.h"
#include "power/power.h"

// GUID_SLEEP_SUBGROUP and GUID_ALLOW_RTC_WAKE ("Allow wake timers").
static const GUID SLEEP_SUBGROUP = {0x238c9fa8, 0x0aad, 0x41ed, {0x83, 0xf4, 0x97, 0xbe, 0x24, 0x2c, 0x8f, 0x20}};
static const GUID ALLOW_WAKE_TIMERS = {0xbd3b718a, 0x0680, 0x4d9d, {0x8a, 0xb2, 0xe1, 0xd2, 0xb4, 0xac, 0x80, 0x6d}};

// The record's AoAc byte sits where older headers keep the last of spare2.
static_assert(offsetof(SYSTEM_POWER_CAPABILITIES, FastSystemS4) == 17, "capability record layout");
static const size_t AOAC_OFFSET = 20;

bool CapsShowModernStandby(const SYSTEM_POWER_CAPABILITIES* caps) {
    return reinterpret_cast<const unsigned char*>(caps)[AOAC_OFFSET] != 0;
}

int DescribeModernStandby(bool aoac, bool lightStateSelected, char* out, size_t outSize) {
    if (!aoac) {
        snprintf(out, outSize, "This machine does not use Modern Standby: S1 to S3 are reported by the legacy calls");
        return LOG_INFO;
    }
    snprintf(out, outSize,
             "This machine uses Modern Standby (S0 low-power idle): S1 to S3 are not available, whatever the legacy "
             "calls say");
    return lightStateSelected ? LOG_WARNING : LOG_INFO;
}

static const char* WakeTimerText(DWORD value) {
    switch (value) {
    case WAKE_TIMERS_DISABLED: return "disabled";
    case WAKE_TIMERS_ENABLED: return "enabled";
    case WAKE_TIMERS_IMPORTANT_ONLY: return "important wake timers only";
    default: return "an unknown value";
    }
}

int DescribeWakeTimers(DWORD acValue, DWORD dcValue, int powerSource, char* out, size_t outSize) {
    DWORD inForce = powerSource == POWER_SOURCE_BATTERY ? dcValue : acValue;
    bool blocked = inForce != WAKE_TIMERS_ENABLED;
    if (powerSource == POWER_SOURCE_UNKNOWN) blocked = acValue != WAKE_TIMERS_ENABLED || dcValue != WAKE_TIMERS_ENABLED;
    if (blocked) {
        snprintf(out, outSize,
                 "Wake timers in the active power plan: %s on AC power, %s on battery; a timed wake may never come",
                 WakeTimerText(acValue), WakeTimerText(dcValue));
        return LOG_WARNING;
    }
    snprintf(out, outSize, "Wake timers in the active power plan: %s on AC power, %s on battery",
             WakeTimerText(acValue), WakeTimerText(dcValue));
    return LOG_INFO;
}

int DescribePowerSource(int powerSource, int batteryPercent, char* out, size_t outSize) {
    switch (powerSource) {
    case POWER_SOURCE_AC:
        snprintf(out, outSize, "The machine is on AC power");
        return LOG_INFO;
    case POWER_SOURCE_BATTERY:
        if (batteryPercent >= 0 && batteryPercent <= 100)
            snprintf(out, outSize,
                     "The machine is on battery (%d%% left): the plan's battery settings apply and a long run drains it",
                     batteryPercent);
        else
            snprintf(out, outSize, "The machine is on battery: the plan's battery settings apply and a long run drains it");
        return LOG_WARNING;
    default:
        snprintf(out, outSize, "The machine's power source is unknown");
        return LOG_INFO;
    }
}

int DescribeHibernation(bool hibernationOn, char* out, size_t outSize) {
    if (hibernationOn) {
        snprintf(out, outSize, "Hibernation is on (hibernation file present) for S4");
        return LOG_INFO;
    }
    snprintf(out, outSize,
             "Hibernation is off (no hibernation file) while S4 is chosen: S4 cannot be entered; the fallback rule decides");
    return LOG_WARNING;
}

// AC or battery, from the power library's battery state, else from the kernel.
static int ReadPowerSource(int* batteryPercent) {
    *batteryPercent = -1;
    SYSTEM_BATTERY_STATE battery;
    memset(&battery, 0, sizeof(battery));
    if (gPowerApi.CallNtPowerInformation &&
        gPowerApi.CallNtPowerInformation(SystemBatteryState, nullptr, 0, &battery, sizeof(battery)) == 0) {
        if (battery.BatteryPresent && battery.MaxCapacity > 0)
            *batteryPercent = (int)((unsigned long long)battery.RemainingCapacity * 100 / battery.MaxCapacity);
        return battery.AcOnLine ? POWER_SOURCE_AC : POWER_SOURCE_BATTERY;
    }
    SYSTEM_POWER_STATUS status;
    if (!GetSystemPowerStatus(&status)) return POWER_SOURCE_UNKNOWN;
    if (status.BatteryLifePercent <= 100) *batteryPercent = status.BatteryLifePercent;
    if (status.ACLineStatus == 1) return POWER_SOURCE_AC;
    if (status.ACLineStatus == 0) return POWER_SOURCE_BATTERY;
    return POWER_SOURCE_UNKNOWN;
}

// 0 with both values read; otherwise the error of the step that failed.
static DWORD ReadWakeTimerSetting(DWORD* acValue, DWORD* dcValue) {
    GUID* scheme = nullptr;
    DWORD error = gPowerApi.PowerGetActiveScheme(nullptr, &scheme);
    if (error != ERROR_SUCCESS) return error;
    if (!scheme) return ERROR_INVALID_DATA;
    error = gPowerApi.PowerReadACValueIndex(nullptr, scheme, &SLEEP_SUBGROUP, &ALLOW_WAKE_TIMERS, acValue);
    if (error == ERROR_SUCCESS)
        error = gPowerApi.PowerReadDCValueIndex(nullptr, scheme, &SLEEP_SUBGROUP, &ALLOW_WAKE_TIMERS, dcValue);
    LocalFree(scheme);
    return error;
}

void LogMachineChecks(const uint8_t selection[4]) {
    char line[256];
    int level;
    if (gPowerCapsValid) {
        bool light = selection[SLEEP_S1] || selection[SLEEP_S2] || selection[SLEEP_S3];
        level = DescribeModernStandby(CapsShowModernStandby(&gPowerCaps), light, line, sizeof(line));
        LogMessage(line, level);
    }

    int batteryPercent = -1;
    int source = ReadPowerSource(&batteryPercent);
    if (!gPowerApi.PowerGetActiveScheme || !gPowerApi.PowerReadACValueIndex || !gPowerApi.PowerReadDCValueIndex) {
        LogDebug("The power-setting functions are missing; the plan's wake-timer setting is not checked.\n");
    } else {
        DWORD acValue = 0;
        DWORD dcValue = 0;
        DWORD error = ReadWakeTimerSetting(&acValue, &dcValue);
        if (error != ERROR_SUCCESS) {
            LogDebug("Could not read the plan's wake-timer setting. Error code: %lu\n", (unsigned long)error);
        } else {
            level = DescribeWakeTimers(acValue, dcValue, source, line, sizeof(line));
            LogMessage(line, level);
        }
    }
    level = DescribePowerSource(source, batteryPercent, line, sizeof(line));
    LogMessage(line, level);

    if (selection[SLEEP_S4]) {
        bool on = gPowerCapsValid && gPowerCaps.SystemS4 && gPowerCaps.HiberFilePresent;
        level = DescribeHibernation(on, line, sizeof(line));
        LogMessage(line, level);
    }
}
