// The run-once value that restarts the program after a power cycle.
#include <stdio.h>
#include <string.h>
#include "settings/settings.h"

void RemoveRunOnceValue() {
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, RUN_ONCE_KEY, 0, KEY_WRITE, &key) != ERROR_SUCCESS) return;
    RegDeleteValueA(key, RUN_ONCE_VALUE);
    RegCloseKey(key);
}

bool FormatRunOnceData(char* out, size_t outSize, const char* exePath, DWORD length, DWORD capacity) {
    if (outSize == 0) return false;
    out[0] = '\0';
    // A length that fills the buffer means the path was cut short; registering
    // it would start some other file.
    if (length == 0 || length >= capacity) return false;
    int written = snprintf(out, outSize, "\"%.*s\"", (int)length, exePath);
    if (written < 0 || (size_t)written >= outSize) {
        out[0] = '\0';
        return false;
    }
    return true;
}

static void ShowRegistryError(HWND owner, DWORD error) {
    char systemText[256] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, systemText,
                   sizeof(systemText), nullptr);
    systemText[sizeof(systemText) - 1] = '\0';
    char message[512];
    snprintf(message, sizeof(message),
             "Unable to edit registry to add auto start for Vesplin.See the configuration settings for this option.\n%s",
             systemText);
    ShowMessageBox(owner, message, "Could not edit registry", MB_ICONWARNING | MB_OK, IDOK);
}

bool RegisterRunOnce(HWND owner) {
    HKEY key;
    // A profile that never had a RunOnce key gets one, rather than no restart.
    LONG error = RegCreateKeyExA(HKEY_CURRENT_USER, RUN_ONCE_KEY, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                                 nullptr, &key, nullptr);
    if (error != ERROR_SUCCESS) {
        ShowRegistryError(owner, (DWORD)error);
        return false;
    }
    char exePath[513];
    DWORD length = GetModuleFileNameA(nullptr, exePath, sizeof(exePath));
    char data[520];
    if (!FormatRunOnceData(data, sizeof(data), exePath, length, sizeof(exePath))) {
        RegCloseKey(key);
        ShowRegistryError(owner, length == 0 ? GetLastError() : ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    // The stored length includes the terminating zero, as a string value must.
    error = RegSetValueExA(key, RUN_ONCE_VALUE, 0, REG_SZ, reinterpret_cast<const BYTE*>(data),
                           (DWORD)strlen(data) + 1);
    RegCloseKey(key);
    if (error != ERROR_SUCCESS) {
        ShowRegistryError(owner, (DWORD)error);
        return false;
    }
    return true;
}
