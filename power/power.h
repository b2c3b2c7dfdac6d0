// Sleep cycle engine: power-management binding, privileges and policy, one
// sleep, the cycle driver and the run.
#pragma once
#include <windows.h>
#include <powrprof.h>
#include <winevt.h>

enum { SLEEP_S1 = 0, SLEEP_S2 = 1, SLEEP_S3 = 2, SLEEP_S4 = 3 };
enum { FALLBACK_LIGHTER = 0, FALLBACK_DEEPER = 1, FALLBACK_FORCE = 2, FALLBACK_SKIP = 3 };
enum { ENTER_OK = 0, ENTER_FAILED = 4, ENTER_BAD_STATE = 5 };
enum { RUN_QUIT = 1 };

struct PowerApi {
    HMODULE module;
    BOOLEAN(WINAPI* IsPwrSuspendAllowed)(void);
    BOOLEAN(WINAPI* IsPwrHibernateAllowed)(void);
    BOOLEAN(WINAPI* SetSuspendState)(BOOLEAN hibernate, BOOLEAN forceCritical, BOOLEAN disableWakeEvent);
    BOOLEAN(WINAPI* GetCurrentPowerPolicies)(PGLOBAL_POWER_POLICY global, PPOWER_POLICY policy);
    BOOLEAN(WINAPI* GetActivePwrScheme)(PUINT schemeId);
    BOOLEAN(WINAPI* SetActivePwrScheme)(UINT schemeId, PGLOBAL_POWER_POLICY global, PPOWER_POLICY policy);
    BOOLEAN(WINAPI* ReadGlobalPwrPolicy)(PGLOBAL_POWER_POLICY global);
    LONG(WINAPI* CallNtPowerInformation)(POWER_INFORMATION_LEVEL level, PVOID input, ULONG inputLength,
                                          PVOID output, ULONG outputLength);
};

struct EventApi {
    HMODULE module;
    EVT_HANDLE(WINAPI* EvtSubscribe)(EVT_HANDLE session, HANDLE signalEvent, LPCWSTR channelPath, LPCWSTR query,
                                     EVT_HANDLE bookmark, PVOID context, EVT_SUBSCRIBE_CALLBACK callback,
                                     DWORD flags);
    BOOL(WINAPI* EvtNext)(EVT_HANDLE resultSet, DWORD eventsSize, EVT_HANDLE* events, DWORD timeout, DWORD flags,
                          PDWORD returned);
    BOOL(WINAPI* EvtRender)(EVT_HANDLE context, EVT_HANDLE fragment, DWORD flags, DWORD bufferSize, PVOID buffer,
                            PDWORD bufferUsed, PDWORD propertyCount);
    BOOL(WINAPI* EvtClose)(EVT_HANDLE object);
};

extern PowerApi gPowerApi;
extern EventApi gEventApi;
extern SYSTEM_POWER_CAPABILITIES gPowerCaps;
extern int gPowerCapsValid;
extern ADMINISTRATOR_POWER_POLICY gSavedAdminPolicy;
extern int gSavedAdminPolicyValid;  // the administrator policy was read at start-up

static_assert(sizeof(SYSTEM_POWER_CAPABILITIES) == 76, "capability record");
static_assert(sizeof(ADMINISTRATOR_POWER_POLICY) == 24, "administrator policy record");

void LoadEventLogApi();
bool LoadPowerApi();
void QueryPowerCapabilities();
bool IsSleepStateSupported(int state);
// Supported states as a mask: bit 0 S1 .. bit 3 S4.
int SupportedStateMask();
void RestoreAdminPowerPolicy();
void UnloadPowerApis();

// Loads a library from the Windows system folder only.
HMODULE LoadSystemLibrary(const char* name);
