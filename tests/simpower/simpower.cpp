#include <windows.h>
extern "C" __declspec(dllexport) BOOLEAN WINAPI IsPwrSuspendAllowed(void) { return 1; }
