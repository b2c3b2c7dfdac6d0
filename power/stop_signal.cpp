// "Vesplin.exe --stop": a named event every run creates, which another
// process (a script, a remote shell) sets to stop the run as Stop Cycle would.
#include "power/power.h"
#include <sddl.h>
#include <stdio.h>

const wchar_t* const STOP_SIGNAL_NAMES[2] = {L"Global\\Vesplin.Stop", L"Local\\Vesplin.Stop"};

static HANDLE gStopSignals[2];

// The system, administrators and the run's own user may set the signal; nobody else.
static bool MakeSecurity(SECURITY_ATTRIBUTES* attributes, PSECURITY_DESCRIPTOR* descriptor) {
    *descriptor = nullptr;
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    BYTE buffer[256];
    DWORD size = 0;
    bool ok = GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &size) != 0;
    CloseHandle(token);
    LPWSTR user = nullptr;
    if (!ok || !ConvertSidToStringSidW(((TOKEN_USER*)buffer)->User.Sid, &user)) return false;
    wchar_t sddl[256];
    _snwprintf(sddl, sizeof(sddl) / sizeof(sddl[0]), L"D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;%ls)", user);
    sddl[sizeof(sddl) / sizeof(sddl[0]) - 1] = L'\0';
    LocalFree(user);
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, descriptor, nullptr)) {
        return false;
    }
    attributes->nLength = sizeof(*attributes);
    attributes->lpSecurityDescriptor = *descriptor;
    attributes->bInheritHandle = FALSE;
    return true;
}

void OpenStopSignals() {
    CloseStopSignals();
    SECURITY_ATTRIBUTES attributes;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    bool secured = MakeSecurity(&attributes, &descriptor);
    // The global name may be refused (no right to create it, or taken by another
    // kind of object): the session's own name is there all the same.
    for (int i = 0; i < 2; i++) {
        gStopSignals[i] = CreateEventW(secured ? &attributes : nullptr, FALSE, FALSE, STOP_SIGNAL_NAMES[i]);
    }
    if (descriptor) LocalFree(descriptor);
    if (!gStopSignals[0] && !gStopSignals[1]) {
        char line[128];
        snprintf(line, sizeof(line), "Vesplin.exe --stop cannot reach this run: its signal could not be made. Error code %lu",
                 (unsigned long)GetLastError());
        LogMessage(line, LOG_WARNING);
    }
}

void CloseStopSignals() {
    for (HANDLE& signal : gStopSignals) {
        if (signal) CloseHandle(signal);
        signal = nullptr;
    }
}

bool TakeStopSignal() {
    for (HANDLE signal : gStopSignals) {
        if (signal && WaitForSingleObject(signal, 0) == WAIT_OBJECT_0) return true;
    }
    return false;
}

int SignalStop() {
    for (const wchar_t* name : STOP_SIGNAL_NAMES) {
        HANDLE signal = OpenEventW(EVENT_MODIFY_STATE, FALSE, name);
        if (!signal) continue;
        BOOL set = SetEvent(signal);
        CloseHandle(signal);
        if (set) return 0;
    }
    return 1;
}
