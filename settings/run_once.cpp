// Removal of the run-once value that restarts the program after a power cycle.
#include "settings/settings.h"

void RemoveRunOnceValue() {
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce", 0, KEY_WRITE,
                      &key) != ERROR_SUCCESS)
        return;
    RegDeleteValueA(key, "Vesplin");
    RegCloseKey(key);
}
