// Application-wide run state shared by the main window and the engine.
#include "core/core.h"

char gMarkerFilePath[256];
ResumeRecord theResumeRecord;
int gQuitRequested;
unsigned char gStopRequested;
unsigned char gPaused;
unsigned char gGrowDurations;
unsigned char gResumeRun;
int gGrowSeconds;
int gRunEnd;

static bool gRunActive = false;

bool IsRunActive() { return gRunActive; }
void SetRunActive(bool active) { gRunActive = active; }
