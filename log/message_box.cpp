// Boxes that ask a person: shown in an interactive run, logged instead in an
// unattended one, where nobody is there to answer and the run must not wait.
#include <stdio.h>
#include "log/log.h"

static bool gUnattended = false;

void SetUnattended(bool unattended) { gUnattended = unattended; }
bool IsUnattended() { return gUnattended; }

int ShowMessageBox(HWND owner, const char* text, const char* caption, UINT type, int unattendedAnswer) {
    if (!gUnattended) return MessageBoxA(owner, text, caption, type);
    char line[LOG_LINE_SIZE];
    snprintf(line, sizeof(line), "%s: %s", caption ? caption : "", text ? text : "");
    LogMessage(line, LOG_ERROR);
    return unattendedAnswer;
}
