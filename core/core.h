// Run control: the state of the run in progress that the window shell and the
// sleep cycle engine share. Both sit above this module; it knows neither.
#pragma once
#include <windows.h>
#include <stdint.h>

// Position of the run in progress; the marker file holds these 24 bytes.
struct ResumeRecord {
    int32_t cycleIndex;
    int32_t nextStatePos;
    uint8_t selectedStates[4];
    int32_t requestedState;
    int64_t sleepStartTime;
};
static_assert(sizeof(ResumeRecord) == 24, "resume record must be 24 bytes");

extern HINSTANCE gAppInstance;
extern HWND gMainWindow;
extern char gMarkerFilePath[256];
extern ResumeRecord theResumeRecord;
extern int gQuitRequested;
extern unsigned char gStopRequested;
extern unsigned char gPaused;
extern unsigned char gGrowDurations;
extern unsigned char gResumeRun;
// Seconds every duration grows by after each cycle of a command-line run.
extern int gGrowSeconds;

// True from the moment a run starts until it has returned: the window starts
// no second run and opens no configuration meanwhile, whatever was queued.
bool IsRunActive();
void SetRunActive(bool active);

// How the last run ended, for the exit code of an automatic-exit run.
enum { RUN_END_NONE = 0, RUN_END_COMPLETED = 1, RUN_END_STOPPED = 2, RUN_END_FAILED = 3, RUN_END_NOT_STARTED = 4 };
extern int gRunEnd;
