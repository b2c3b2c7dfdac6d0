// The decisions of vesplin-report, free of files: its command line, which
// machine a file belongs to, the summary lines and the exit code.
#include <ctype.h>
#include <stdio.h>
#include <string.h>
#include <algorithm>
#include "tool/report_tool.h"

const char TOOL_USAGE[] =
    "Usage: vesplin-report [--page=FILE.html] [--junit=FILE.xml] RESULTS...\n"
    "\n"
    "Joins the results files of many machines (one JSON record a sleep) into one summary.\n"
    "RESULTS are results files and folders: a folder stands for its files ending in .jsonl\n"
    "(not those of its subfolders), a file named here is read whatever its name. A machine\n"
    "is named by its records' computer, else by the folder its results file is in.\n"
    "\n"
    "  --page=FILE   writes the fleet page: a row a machine, then the failures by kind\n"
    "  --junit=FILE  writes every machine's sleeps as JUnit XML, a testsuite a run\n"
    "  --help        shows this text\n"
    "\n"
    "Prints a line a machine and a total. Exit code:\n"
    "  0  every sleep was ok (at least one was read)\n"
    "  1  an unknown option, an input that is missing or cannot be read, no results file,\n"
    "     or an output that cannot be written\n"
    "  2  a sleep was not ok, no sleep was read, or a line of a results file was no record\n";

static bool Fail(char* error, size_t errorSize, const char* what, const char* word) {
    snprintf(error, errorSize, "%s: %s", what, word);
    return false;
}

// "--page=FILE": the value into out; false for a missing, empty or overlong one, or a second.
static bool TakeValue(const char* word, const char* value, char* out, size_t outSize, char* error, size_t errorSize) {
    if (out[0]) return Fail(error, errorSize, "given twice", word);
    if (!value || !value[0]) return Fail(error, errorSize, "needs a file name after '='", word);
    if (strlen(value) >= outSize) return Fail(error, errorSize, "file name too long", word);
    snprintf(out, outSize, "%s", value);
    return true;
}

bool ParseToolArgs(int argc, const char* const* argv, ToolArgs* args, char* error, size_t errorSize) {
    args->help = false;
    args->page[0] = '\0';
    args->junit[0] = '\0';
    args->inputs.clear();
    if (errorSize > 0) error[0] = '\0';
    bool options = true;
    for (int i = 1; i < argc; i++) {
        const char* word = argv[i];
        if (!options || word[0] != '-') {
            if (!word[0]) return Fail(error, errorSize, "empty file name", "\"\"");
            args->inputs.push_back(word);
            continue;
        }
        const char* equals = strchr(word, '=');
        size_t nameLength = equals ? (size_t)(equals - word) : strlen(word);
        const char* value = equals ? equals + 1 : nullptr;
        if (strcmp(word, "--") == 0) {
            options = false;
        } else if (strcmp(word, "--help") == 0 || strcmp(word, "-h") == 0 || strcmp(word, "-?") == 0) {
            args->help = true;
        } else if (nameLength == 6 && strncmp(word, "--page", 6) == 0) {
            if (!TakeValue(word, value, args->page, sizeof(args->page), error, errorSize)) return false;
        } else if (nameLength == 7 && strncmp(word, "--junit", 7) == 0) {
            if (!TakeValue(word, value, args->junit, sizeof(args->junit), error, errorSize)) return false;
        } else {
            return Fail(error, errorSize, "unknown option", word);
        }
    }
    if (args->help) return true;
    if (args->inputs.empty()) return Fail(error, errorSize, "no results file or folder given", "see --help");
    return true;
}

// The name of the folder holding the file at path, either separator.
static void FolderName(const char* path, char* out, size_t outSize) {
    size_t end = strlen(path);
    // The file's own name, then the separators before it.
    while (end > 0 && path[end - 1] != '/' && path[end - 1] != '\\') end--;
    while (end > 0 && (path[end - 1] == '/' || path[end - 1] == '\\')) end--;
    size_t start = end;
    while (start > 0 && path[start - 1] != '/' && path[start - 1] != '\\') start--;
    // "C:" alone is a drive, not a folder's name.
    bool drive = end - start == 2 && path[start + 1] == ':';
    char name[COMPUTER_NAME_SIZE * 4];
    snprintf(name, sizeof(name), "%.*s", drive ? 0 : (int)(end - start), path + start);
    CopyUtf8(out, outSize, name[0] ? name : "unknown");
}

void MachineNameFor(const SleepRecord* records, int count, const char* path, char* out, size_t outSize) {
    for (int i = count - 1; i >= 0; i--) {
        if (records[i].computer[0]) {
            CopyUtf8(out, outSize, records[i].computer);
            return;
        }
    }
    FolderName(path, out, outSize);
}

static bool SameName(const char* a, const char* b) {
    for (; *a && *b; a++, b++)
        if (tolower((unsigned char)*a) != tolower((unsigned char)*b)) return false;
    return *a == *b;
}

void AddToFleet(std::vector<FleetMachine>* fleet, const char* name, const FleetFile& file,
                const std::vector<SleepRecord>& records) {
    FleetMachine* machine = nullptr;
    for (FleetMachine& m : *fleet)
        if (SameName(m.name, name)) machine = &m;
    if (!machine) {
        fleet->emplace_back();
        machine = &fleet->back();
        CopyUtf8(machine->name, sizeof(machine->name), name);
    }
    FleetFile added = file;
    added.first = (int)machine->records.size();
    added.count = (int)records.size();
    machine->files.push_back(added);
    machine->records.insert(machine->records.end(), records.begin(), records.end());
}

void SortFleet(std::vector<FleetMachine>* fleet) {
    std::stable_sort(fleet->begin(), fleet->end(), [](const FleetMachine& a, const FleetMachine& b) {
        for (const char *x = a.name, *y = b.name;; x++, y++) {
            int cx = tolower((unsigned char)*x), cy = tolower((unsigned char)*y);
            if (cx != cy || !cx) return cx < cy;
        }
    });
}

namespace {

struct Counts {
    long long runs;
    long long sleeps;
    long long verdicts[VERDICT_COUNT + 1];  // the last: a verdict this build does not know
    long long badLines;
};

void AddCounts(const FleetMachine& m, Counts* c) {
    for (const FleetFile& file : m.files) {
        c->badLines += file.badLines;
        if (file.count > 0 && file.first >= 0 && file.first + file.count <= (int)m.records.size())
            c->runs += (long long)RunStarts(m.records.data() + file.first, file.count).size();
    }
    for (const SleepRecord& r : m.records) {
        c->sleeps++;
        c->verdicts[r.verdict >= 0 && r.verdict < VERDICT_COUNT ? r.verdict : VERDICT_COUNT]++;
    }
}

std::string Plural(long long n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string CountsText(const Counts& c) {
    std::string text = Plural(c.runs, "run", "runs") + ", " + Plural(c.sleeps, "sleep", "sleeps");
    bool first = true;
    for (int v = 0; v <= VERDICT_COUNT; v++) {
        if (c.verdicts[v] == 0) continue;
        text += first ? ": " : ", ";
        text += std::to_string(c.verdicts[v]) + " " + (v < VERDICT_COUNT ? VerdictId(v) : "other");
        first = false;
    }
    if (c.badLines > 0) text += "; " + Plural(c.badLines, "line", "lines") + " unreadable";
    return text;
}

}  // namespace

std::string MachineSummary(const FleetMachine& machine) {
    Counts c = {};
    AddCounts(machine, &c);
    return std::string(machine.name) + ": " + CountsText(c);
}

std::string FleetSummary(const std::vector<FleetMachine>& fleet) {
    Counts c = {};
    for (const FleetMachine& m : fleet) AddCounts(m, &c);
    return "Total: " + Plural((long long)fleet.size(), "machine", "machines") + ", " + CountsText(c);
}

int FleetExitCode(const std::vector<FleetMachine>& fleet) {
    Counts c = {};
    for (const FleetMachine& m : fleet) AddCounts(m, &c);
    bool allOk = c.sleeps > 0 && c.badLines == 0 && c.verdicts[VERDICT_OK] == c.sleeps;
    return allOk ? TOOL_ALL_OK : TOOL_NOT_OK;
}
