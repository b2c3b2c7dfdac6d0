// vesplin-report: the results files of many machines in one summary, and
// when asked one fleet page and one JUnit file of them all.
#include <stdio.h>
#include "tool/report_tool.h"

static int BadInput(const std::string& message) {
    fprintf(stderr, "vesplin-report: %s\n", message.c_str());
    return TOOL_BAD_INPUT;
}

int main(int argc, char** argv) {
    ToolArgs args;
    char error[2 * FLEET_PATH_SIZE];
    if (!ParseToolArgs(argc, argv, &args, error, sizeof(error)))
        return BadInput(std::string(error) + " (vesplin-report --help tells the usage)");
    if (args.help) {
        fputs(TOOL_USAGE, stdout);
        return TOOL_ALL_OK;
    }

    std::vector<std::string> files, warnings;
    std::string problem;
    bool collected = CollectResultsFiles(args.inputs, &files, &warnings, &problem);
    for (const std::string& warning : warnings) fprintf(stderr, "vesplin-report: %s\n", warning.c_str());
    if (!collected) return BadInput(problem);
    // The outputs must not overwrite an input, nor each other.
    if (args.page[0] && args.junit[0] && SameFile(args.page, args.junit))
        return BadInput(std::string("--page and --junit name the same file: ") + args.page);
    for (const std::string& file : files) {
        for (const char* output : {args.page, args.junit}) {
            if (output[0] && SameFile(output, file))
                return BadInput(std::string("the output would overwrite the results file ") + file);
        }
    }

    std::vector<FleetMachine> fleet;
    if (!LoadFleet(files, args.page, &fleet, &problem)) return BadInput(problem);
    for (const FleetMachine& machine : fleet) printf("%s\n", MachineSummary(machine).c_str());
    printf("%s\n", FleetSummary(fleet).c_str());
    fflush(stdout);

    if (args.page[0]) {
        std::string page;
        BuildFleetPage(fleet.data(), (int)fleet.size(), &page);
        if (!WriteWholeFile(args.page, page, &problem)) return BadInput(problem);
    }
    if (args.junit[0]) {
        std::string xml;
        BuildFleetJUnit(fleet.data(), (int)fleet.size(), &xml);
        if (!WriteWholeFile(args.junit, xml, &problem)) return BadInput(problem);
    }
    return FleetExitCode(fleet);
}
