// Staying awake between sleeps: after a timer wake with nobody at the machine,
// Windows drops back to sleep within minutes, in the middle of a countdown or
// an external program, unless the run says the system is needed.
#include "power/power.h"

EXECUTION_STATE(WINAPI* gSetThreadExecutionState)(EXECUTION_STATE flags) = SetThreadExecutionState;

static bool gHeld = false;

void KeepMachineAwake(bool hold) {
    if (hold == gHeld) return;
    gSetThreadExecutionState(hold ? (ES_CONTINUOUS | ES_SYSTEM_REQUIRED) : ES_CONTINUOUS);
    gHeld = hold;
}

bool IsKeepingMachineAwake() { return gHeld; }

void ResetIdleTimers() { gSetThreadExecutionState(ES_SYSTEM_REQUIRED | ES_DISPLAY_REQUIRED); }
