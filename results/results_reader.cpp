// Reads the results file back: one record a line, each read on its own, so a
// damaged or hostile line costs that line and never the rest.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include "results/results.h"

// The program writes no longer line (device lists with long names included): a longer one is not ours.
static const size_t LONGEST_LINE = RESULT_LINE_SIZE;

void ReadResultsText(const char* text, size_t length, std::vector<SleepRecord>* records, int* badLines) {
    records->clear();
    *badLines = 0;
    size_t start = 0;
    while (start < length) {
        const char* end = static_cast<const char*>(memchr(text + start, '\n', length - start));
        size_t lineEnd = end ? (size_t)(end - text) : length;
        size_t lineLength = lineEnd - start;
        if (lineLength > 0 && text[lineEnd - 1] == '\r') lineLength--;
        bool blank = true;
        for (size_t i = 0; i < lineLength && blank; i++) blank = text[start + i] == ' ' || text[start + i] == '\t';
        if (!blank) {
            SleepRecord record;
            // A last line cut by the power going while it was written is no whole object.
            if (lineLength <= LONGEST_LINE && ParseResultRecord(text + start, lineLength, &record))
                records->push_back(record);
            else
                ++*badLines;
        }
        start = lineEnd + 1;
    }
}

int ReadResultsFile(const char* path, std::vector<SleepRecord>* records, int* badLines) {
    records->clear();
    *badLines = 0;
    FILE* file = path && path[0] ? fopen(path, "rb") : nullptr;
    if (!file) return path && path[0] ? (errno ? errno : EIO) : ENOENT;
    std::string text;
    char chunk[65536];
    size_t got;
    while ((got = fread(chunk, 1, sizeof(chunk), file)) > 0) text.append(chunk, got);
    int error = ferror(file) ? (errno ? errno : EIO) : 0;
    fclose(file);
    if (error != 0) return error;
    ReadResultsText(text.data(), text.size(), records, badLines);
    return 0;
}

std::vector<int> RunStarts(const SleepRecord* records, int count) {
    std::vector<int> starts;
    for (int i = 0; i < count; i++) {
        bool begins = i == 0;
        if (!begins) {
            const SleepRecord& before = records[i - 1];
            const SleepRecord& now = records[i];
            if (now.runId[0] || before.runId[0]) {
                begins = strcmp(now.runId, before.runId) != 0;
            } else {
                begins = now.cycle == 1 && before.cycle != 1;
            }
        }
        if (begins) starts.push_back(i);
    }
    return starts;
}
