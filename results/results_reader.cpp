// Reads the results file back: one record a line, each read on its own, so a
// damaged or hostile line costs that line and never the rest.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <string>
#include <vector>
#include "results/results.h"

// The program writes no longer line (device lists with long names included): a longer one is not ours.
static const size_t LONGEST_LINE = RESULT_LINE_SIZE;

// One line (without its line end): 1 when it is a record, 0 when blank, -1
// when it cannot be read.
static int ReadLine(const char* text, size_t length, SleepRecord* record) {
    if (length > 0 && text[length - 1] == '\r') length--;
    bool blank = true;
    for (size_t i = 0; i < length && blank; i++) blank = text[i] == ' ' || text[i] == '\t';
    if (blank) return 0;
    // A last line cut by the power going while it was written is no whole object.
    return length <= LONGEST_LINE && ParseResultRecord(text, length, record) ? 1 : -1;
}

void ReadResultsText(const char* text, size_t length, std::vector<SleepRecord>* records, int* badLines) {
    records->clear();
    *badLines = 0;
    size_t start = 0;
    SleepRecord record;
    while (start < length) {
        const char* end = static_cast<const char*>(memchr(text + start, '\n', length - start));
        size_t lineEnd = end ? (size_t)(end - text) : length;
        int read = ReadLine(text + start, lineEnd - start, &record);
        if (read > 0) records->push_back(record);
        if (read < 0) ++*badLines;
        start = lineEnd + 1;
    }
}

int ForEachResultRecord(const char* path, void (*take)(const SleepRecord& record, void* context), void* context,
                        int* badLines) {
    *badLines = 0;
    FILE* file = path && path[0] ? fopen(path, "rb") : nullptr;
    if (!file) return path && path[0] ? (errno ? errno : EIO) : ENOENT;
    std::vector<char> chunk(65536);
    std::string line;
    bool overlong = false;  // the line being read is longer than any record: only its end is looked for
    SleepRecord* record = new SleepRecord;
    auto finish = [&]() {
        int read = overlong ? -1 : ReadLine(line.data(), line.size(), record);
        if (read > 0) take(*record, context);
        if (read < 0) ++*badLines;
        line.clear();
        overlong = false;
    };
    size_t got;
    while ((got = fread(chunk.data(), 1, chunk.size(), file)) > 0) {
        for (size_t start = 0; start < got;) {
            const char* end = static_cast<const char*>(memchr(chunk.data() + start, '\n', got - start));
            size_t piece = (end ? (size_t)(end - chunk.data()) : got) - start;
            if (!overlong && line.size() + piece > LONGEST_LINE + 1) {
                overlong = true;
                line.clear();
            }
            if (!overlong) line.append(chunk.data() + start, piece);
            start += piece;
            if (!end) break;
            finish();
            start++;
        }
    }
    if (!line.empty() || overlong) finish();
    delete record;
    int error = ferror(file) ? (errno ? errno : EIO) : 0;
    fclose(file);
    return error;
}

static void KeepRecord(const SleepRecord& record, void* records) {
    ((std::vector<SleepRecord>*)records)->push_back(record);
}

int ReadResultsFile(const char* path, std::vector<SleepRecord>* records, int* badLines) {
    records->clear();
    int error = ForEachResultRecord(path, KeepRecord, records, badLines);
    if (error != 0) {
        records->clear();
        *badLines = 0;
    }
    return error;
}

bool BeginsNewRun(const char* beforeRunId, int beforeCycle, const SleepRecord& now) {
    if (now.runId[0] || beforeRunId[0]) return strcmp(now.runId, beforeRunId) != 0;
    return now.cycle == 1 && beforeCycle != 1;
}

std::vector<int> RunStarts(const SleepRecord* records, int count) {
    std::vector<int> starts;
    for (int i = 0; i < count; i++) {
        if (i == 0 || BeginsNewRun(records[i - 1].runId, records[i - 1].cycle, records[i])) starts.push_back(i);
    }
    return starts;
}
