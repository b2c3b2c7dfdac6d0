// Note lists: texts gathered before the log panel exists.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include "log/log.h"

NoteList gStartupNotes;
NoteList gCommandLineNotes;

void AddNote(NoteList* list, const char* format, ...) {
    if (list->count >= NOTE_SLOTS) {
        // The list is full: the note is counted so the log can say how many were lost.
        list->dropped++;
        return;
    }
    char* slot = list->slots[list->count];
    va_list args;
    va_start(args, format);
    int written = vsnprintf(slot, NOTE_SIZE, format, args);
    va_end(args);
    if (written < 0) slot[0] = '\0';
    slot[NOTE_SIZE - 1] = '\0';
    list->count++;
}

void ClearNotes(NoteList* list) {
    list->count = 0;
    list->dropped = 0;
    list->slots[0][0] = '\0';
}
