// Did the machine really sleep: the time asleep from the system's sleep and
// wake stamps, or from interrupt time against unbiased interrupt time.
#include <limits.h>
#include <string.h>
#include "power/power.h"

SleepClockApi gSleepClockApi;

static const ULONGLONG TICKS_PER_SECOND = 10000000ULL;  // 100 ns units
static const ULONGLONG TICKS_PER_MS = 10000ULL;

template <typename T>
static void Resolve(HMODULE module, T& entry, const char* name) {
    if (!entry && module) entry = reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

void BindSleepClockApi() {
    memset(&gSleepClockApi, 0, sizeof(gSleepClockApi));
    // Bound by name: QueryInterruptTime is Windows 10's, the unbiased time
    // Windows 7's and GetTickCount64 Vista's, and the program starts on older ones.
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    HMODULE kernelBase = GetModuleHandleA("kernelbase.dll");
    Resolve(kernel, gSleepClockApi.QueryInterruptTime, "QueryInterruptTime");
    Resolve(kernelBase, gSleepClockApi.QueryInterruptTime, "QueryInterruptTime");
    Resolve(kernel, gSleepClockApi.QueryUnbiasedInterruptTime, "QueryUnbiasedInterruptTime");
    Resolve(kernel, gSleepClockApi.GetTickCount64, "GetTickCount64");
}

static bool ReadStamp(POWER_INFORMATION_LEVEL level, ULONGLONG* value) {
    *value = 0;
    if (!gPowerApi.CallNtPowerInformation) return false;
    ULONGLONG stamp = 0;
    if (gPowerApi.CallNtPowerInformation(level, nullptr, 0, &stamp, sizeof(stamp)) != 0) return false;
    *value = stamp;
    return true;
}

void TakeAsleepReading(AsleepReading* reading) {
    memset(reading, 0, sizeof(*reading));
    bool sleepOk = ReadStamp(LastSleepTime, &reading->lastSleep);
    bool wakeOk = ReadStamp(LastWakeTime, &reading->lastWake);
    reading->stampsValid = sleepOk && wakeOk;
    if (gSleepClockApi.QueryInterruptTime) {
        gSleepClockApi.QueryInterruptTime(&reading->interrupt);
        reading->interruptSource = ASLEEP_FROM_INTERRUPT_TIME;
    } else if (gSleepClockApi.GetTickCount64) {
        reading->interrupt = gSleepClockApi.GetTickCount64() * TICKS_PER_MS;
        reading->interruptSource = ASLEEP_FROM_TICK_COUNT;
    }
    if (gSleepClockApi.QueryUnbiasedInterruptTime)
        reading->unbiasedValid = gSleepClockApi.QueryUnbiasedInterruptTime(&reading->unbiased) != FALSE;
}

static int RoundedSeconds(ULONGLONG ticks) {
    ULONGLONG seconds = (ticks + TICKS_PER_SECOND / 2) / TICKS_PER_SECOND;
    return seconds > (ULONGLONG)INT_MAX ? INT_MAX : (int)seconds;
}

int ComputeTimeAsleep(const AsleepReading* before, const AsleepReading* after, int* seconds) {
    *seconds = 0;
    // Stamps of this sleep are newer than those of any sleep before it; stamps
    // left from an earlier sleep say nothing about this one.
    if (before->stampsValid && after->stampsValid && after->lastSleep > before->lastSleep &&
        after->lastWake > before->lastWake && after->lastWake >= after->lastSleep) {
        *seconds = RoundedSeconds(after->lastWake - after->lastSleep);
        return ASLEEP_FROM_STAMPS;
    }
    if (before->unbiasedValid && after->unbiasedValid && before->interruptSource != ASLEEP_UNKNOWN &&
        before->interruptSource == after->interruptSource && after->interrupt >= before->interrupt &&
        after->unbiased >= before->unbiased) {
        ULONGLONG wall = after->interrupt - before->interrupt;
        ULONGLONG awake = after->unbiased - before->unbiased;
        // The tick count moves in steps of about 16 ms: a small excess of the
        // unbiased time is its rounding, not time the machine slept.
        *seconds = wall > awake ? RoundedSeconds(wall - awake) : 0;
        return after->interruptSource;
    }
    return ASLEEP_UNKNOWN;
}
