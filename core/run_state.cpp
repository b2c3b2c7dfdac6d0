// Application-wide run state shared by the main window and the engine.
#include <string.h>
#include "core/core.h"

char gMarkerFilePath[256];
ResumeRecord theResumeRecord;
int gQuitRequested;
unsigned char gStopRequested;
unsigned char gPaused;
unsigned char gGrowDurations;
unsigned char gResumeRun;
int gGrowSeconds;
DeviceCheckSettings gDeviceCheck = {0, DEVICE_SETTLE_DEFAULT_SEC, 0, {}};

void ResetDeviceCheckSettings(DeviceCheckSettings* settings) {
    *settings = DeviceCheckSettings();
    settings->settleSec = DEVICE_SETTLE_DEFAULT_SEC;
}

std::vector<std::string> DeviceIgnoreList(const DeviceCheckSettings* settings) {
    std::vector<std::string> list;
    int count = settings->ignoreCount < 0 ? 0 : settings->ignoreCount > DEVICE_IGNORE_MAX ? DEVICE_IGNORE_MAX
                                                                                          : settings->ignoreCount;
    for (int i = 0; i < count; i++) {
        const char* text = settings->ignore[i];
        list.push_back(std::string(text, strnlen(text, DEVICE_IGNORE_TEXT - 1)));
    }
    return list;
}
int gRunEnd;

static bool gRunActive = false;

bool IsRunActive() { return gRunActive; }
void SetRunActive(bool active) { gRunActive = active; }
