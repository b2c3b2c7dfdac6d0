// The log, results, marker, configuration, report, JUnit and status files must be different
// files: a log written into the marker would be taken for a power cycle at the
// next start, and a report written over the results file would lose them.
#include <stdio.h>
#include <string.h>
#include "settings/settings.h"

bool CheckDistinctFiles(const char* const paths[FILE_KINDS], char* note, size_t noteSize, int* clash) {
    static const char* const names[FILE_KINDS] = {"log file",    "results file", "marker file", "configuration file",
                                                  "report file", "JUnit file",   "status file"};
    *clash = 0;
    char full[FILE_KINDS][MAX_PATH + 1];
    for (int i = 0; i < FILE_KINDS; i++) {
        full[i][0] = '\0';
        if (!paths[i] || !paths[i][0]) continue;
        DWORD length = GetFullPathNameA(paths[i], sizeof(full[i]), full[i], NULL);
        if (length == 0 || length >= sizeof(full[i])) snprintf(full[i], sizeof(full[i]), "%s", paths[i]);
    }
    for (int i = 0; i < FILE_KINDS; i++) {
        for (int j = i + 1; j < FILE_KINDS; j++) {
            if (!full[i][0] || !full[j][0] || _stricmp(full[i], full[j]) != 0) continue;
            snprintf(note, noteSize, "The %s and the %s are the same file: %s\n", names[i],
                     names[j], full[i]);
            *clash = (1 << i) | (1 << j);
            return false;
        }
    }
    if (noteSize) note[0] = '\0';
    return true;
}
