// The newer event-log library, loaded at run time from the system folder where
// it exists (Windows Vista on), and the loading of system libraries itself.
#include <stdio.h>
#include <string.h>
#include "events/events.h"

#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

EventApi gEventApi;

HMODULE LoadSystemLibrary(const char* name) {
    // A bare-name load would search the program's folder first: anyone able to
    // write beside the executable could then run code inside it.
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    if (kernel && GetProcAddress(kernel, "AddDllDirectory")) {
        return LoadLibraryExA(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    }
    char path[MAX_PATH + 1];
    UINT length = GetSystemDirectoryA(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return nullptr;
    size_t used = strlen(path);
    if (snprintf(path + used, sizeof(path) - used, "\\%s", name) >= (int)(sizeof(path) - used)) return nullptr;
    return LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

template <typename T>
static void Resolve(HMODULE module, T& entry, const char* name) {
    entry = reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

void LoadEventLogApi() {
    memset(&gEventApi, 0, sizeof(gEventApi));
    HMODULE module = LoadSystemLibrary("Wevtapi.dll");
    if (!module) return;
    Resolve(module, gEventApi.EvtSubscribe, "EvtSubscribe");
    Resolve(module, gEventApi.EvtNext, "EvtNext");
    Resolve(module, gEventApi.EvtRender, "EvtRender");
    Resolve(module, gEventApi.EvtClose, "EvtClose");
    if (!gEventApi.EvtSubscribe || !gEventApi.EvtNext || !gEventApi.EvtRender || !gEventApi.EvtClose) {
        // The subscription needs all four; a partial library counts as absent.
        FreeLibrary(module);
        memset(&gEventApi, 0, sizeof(gEventApi));
        return;
    }
    // Optional: without it only the explanation of a lost sleep is missing.
    Resolve(module, gEventApi.EvtQuery, "EvtQuery");
    gEventApi.module = module;
}

void UnloadEventLogApi() {
    if (gEventApi.module) FreeLibrary(gEventApi.module);
    memset(&gEventApi, 0, sizeof(gEventApi));
}
