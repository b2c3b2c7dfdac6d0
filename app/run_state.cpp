// Application-wide run state shared by the main window and the engine.
#include "app/app.h"

HINSTANCE gAppInstance;
HWND gMainWindow;
char gMarkerFilePath[256];
ResumeRecord theResumeRecord;
int gQuitRequested;
unsigned char gStopRequested;
unsigned char gPaused;
unsigned char gGrowDurations;
unsigned char gResumeRun;
