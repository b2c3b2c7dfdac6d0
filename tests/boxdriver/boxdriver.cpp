// Runs a program for a shell script and answers its boxes:
//
//   boxdriver.exe [--answer "Caption=OK|CANCEL|YES|NO|<id>[,...]"]... [--report FILE]
//                 [--timeout SECONDS] [--keep-unexpected] -- program.exe args...
//
// Each --answer names a box caption (exact) and the button that answers it; a
// comma list answers successive boxes in turn, the last one repeating. Message
// boxes with other captions are closed (cancel, then OK, then No) unless
// --keep-unexpected is given. The report gets one line per box seen: the
// caption, a tab, the text with line feeds written as \n and tabs as \t.
// The exit code is the program's, 259 when it was killed after the timeout
// (default 120 seconds), 255 when the command line or the start failed.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "support/process_run.h"

namespace {

const int kExitUsage = 255;

void Usage() {
    fprintf(stderr,
            "usage: boxdriver.exe [--answer \"Caption=OK|CANCEL|YES|NO|<id>[,...]\"]... [--report FILE]\n"
            "                     [--timeout SECONDS] [--keep-unexpected] -- program.exe args...\n");
}

bool ParseButton(const std::string& word, int* button) {
    static const struct {
        const char* name;
        int id;
    } kNames[] = {{"OK", IDOK}, {"CANCEL", IDCANCEL}, {"YES", IDYES}, {"NO", IDNO},
                  {"ABORT", IDABORT}, {"RETRY", IDRETRY}, {"IGNORE", IDIGNORE}, {"NONE", BOX_RECORD_ONLY}};
    for (const auto& name : kNames) {
        if (lstrcmpiA(word.c_str(), name.name) == 0) {
            *button = name.id;
            return true;
        }
    }
    char* end = NULL;
    long id = strtol(word.c_str(), &end, 0);
    if (word.empty() || *end || id < 0 || id > 0xFFFF) return false;
    *button = (int)id;
    return true;
}

// "Caption=YES,NO": the caption may itself hold '=', the buttons cannot.
bool ParseAnswer(const std::string& spec, std::pair<std::string, std::vector<int>>* answer) {
    size_t eq = spec.rfind('=');
    if (eq == std::string::npos || eq == 0) return false;
    answer->first = spec.substr(0, eq);
    answer->second.clear();
    std::string list = spec.substr(eq + 1);
    size_t start = 0;
    while (true) {
        size_t comma = list.find(',', start);
        int button = 0;
        if (!ParseButton(list.substr(start, comma == std::string::npos ? std::string::npos : comma - start),
                         &button)) {
            return false;
        }
        answer->second.push_back(button);
        if (comma == std::string::npos) return true;
        start = comma + 1;
    }
}

std::string Escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c != '\r') {
            out += c;
        }
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    RunOptions options;
    options.timeoutMs = 120 * 1000;
    std::string report;
    int i = 1;
    for (; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (arg == "--keep-unexpected") {
            options.closeUnexpected = false;
        } else if ((arg == "--answer" || arg == "--report" || arg == "--timeout") && i + 1 < argc) {
            std::string value = argv[++i];
            if (arg == "--answer") {
                std::pair<std::string, std::vector<int>> answer;
                if (!ParseAnswer(value, &answer)) {
                    fprintf(stderr, "boxdriver: bad answer \"%s\"\n", value.c_str());
                    return kExitUsage;
                }
                options.answers.push_back(answer);
            } else if (arg == "--report") {
                report = value;
            } else {
                char* end = NULL;
                double seconds = strtod(value.c_str(), &end);
                if (*end || seconds <= 0 || seconds > 86400) {
                    fprintf(stderr, "boxdriver: bad timeout \"%s\"\n", value.c_str());
                    return kExitUsage;
                }
                options.timeoutMs = (DWORD)(seconds * 1000);
            }
        } else {
            Usage();
            return kExitUsage;
        }
    }
    if (i >= argc) {
        Usage();
        return kExitUsage;
    }
    std::string program = argv[i];
    for (++i; i < argc; ++i) options.args.push_back(argv[i]);

    RunResult result = RunProgram(program, options);
    if (!result.started) {
        fprintf(stderr, "boxdriver: cannot start %s: error %lu\n", program.c_str(), result.startError);
        return kExitUsage;
    }
    if (!report.empty()) {
        std::string text;
        for (const SeenBox& box : result.boxes) text += Escape(box.caption) + "\t" + Escape(box.text) + "\n";
        if (!WriteText(report, text)) fprintf(stderr, "boxdriver: cannot write %s\n", report.c_str());
    }
    if (result.timedOut) {
        fprintf(stderr, "boxdriver: %s killed after %lu ms\n", program.c_str(), options.timeoutMs);
        return STILL_ACTIVE;
    }
    return (int)result.exitCode;
}
