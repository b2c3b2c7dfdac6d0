// Help on the command line (-?, /?, -h, --help) and the identity line
// (--version): shown without touching the machine's power state.
#include <stdio.h>
#include <string.h>
#include "app/app.h"
#include "settings/settings.h"
#include "results/results.h"
#include "ui/ui.h"

// Build date and time of the start-up module as the banner shows them; fixed
// for this version so that logs of the same build compare equal.
static const char BUILD_DATE[] = "May 12 2010";
static const char BUILD_TIME[] = "11:19:14";

static const char USAGE_TEXT[] =
    "Usage: Vesplin.exe [switches]\r\n"
    "Without switches the window opens with the settings of vesplinCfg.dat.\r\n"
    "Any switch starts from the built-in defaults and starts the run at once.\r\n"
    "\r\n"
    "  -S<abcd>          states S1..S4, each digit 1 = use (-S1010: S1 and S3)\r\n"
    "  -A                all states          -B   all supported states\r\n"
    "  -R <sec>          duration of every state (S1-S3 at least 30, S4 at least 60)\r\n"
    "  -r1..-r4 <sec>    duration of one state (wins over -R), at most 2592000 (30 days)\r\n"
    "  -N <count>        cycles; 0 = for ever\r\n"
    "  -D <sec>          interval between sleeps (60 when the value is missing)\r\n"
    "  -P <sec>          wait before the first sleep\r\n"
    "  -T <sec>          grow every duration by this after each cycle\r\n"
    "  -f1..-f4          unsupported state: 1 lighter, 2 deeper, 3 force, 4 skip\r\n"
    "  -H                manual wake (no wake timer)\r\n"
    "  -C                continue the run after a power cycle\r\n"
    "  -E                end the program after the run; the exit code tells the outcome\r\n"
    "  -L, -La, -Lo <file>  log file (append; -Lo empties it when a run starts fresh)\r\n"
    "  -M                start minimized\r\n"
    "  -O1..-O4, -O      capability query: exit code 1/0, or the mask 1 S1, 2 S2, 4 S3, 8 S4\r\n"
    "  --config=<file.dat>   settings from a configuration file\r\n"
    "  --results=<file>  one JSON record per sleep, and an HTML report beside it\r\n"
    "  --report=<file>   the HTML report elsewhere\r\n"
    "  --junit=<file.xml>  the sleeps as JUnit test cases, for a CI server\r\n"
    "                    (with --results; <results>.run.json tells the run's state)\r\n"
    "  --no-device-check     no device lists around the sleeps\r\n"
    "  --device-settle=<sec> time a changed device has to come back (0-300, 10)\r\n"
    "  --log-level=<0|1|2>  Normal, Debug, or Debug and Events\r\n"
    "  --stop            stop the run in progress from another prompt or script\r\n"
    "  --ignore-device=<text>  skip devices whose id starts with, or name holds,\r\n"
    "                    the text (up to 16, each at most 63 characters)\r\n"
    "  --max-failures=<n>  end the run (exit code 2) after n sleeps in a row that\r\n"
    "                    were not ok, lost ones too (0-1000000; 0 = never)\r\n"
    "  -?, /?, -h, --help    this text      --version   the identity line\r\n"
    "\r\n"
    "Exit codes with -E: 0 every sleep was ok and the run completed; 1 the run\r\n"
    "could not start (invalid command line, no state, durations below the\r\n"
    "minimum, no window, a log file that cannot be made); 2 a sleep was not\r\n"
    "ok (short, long, not slept, refused, lost, wrong state, a device\r\n"
    "missing or with a problem after the wake) or none was entered;\r\n"
    "3 a person stopped the run or ended the program before its last cycle.\r\n"
    "\r\n"
    "Around every sleep the devices are listed: one missing after the wake, or\r\n"
    "with a new problem code, once the settle time has passed, fails the sleep\r\n"
    "(device_fault) and is named in an Error line.\r\n"
    "\r\n"
    "With -E no box waits for a person: each is logged at Error level instead,\r\n"
    "and an unknown option refuses the run (exit code 1).\r\n"
    "With -C a power loss during a sleep does not end the run: at the next\r\n"
    "log-on the program goes on with the same run (states, durations, cycles,\r\n"
    "log and results files, -E), which the marker file \"sleepflag\" carries.\r\n"
    "Any start without arguments goes on with it, whether the RunOnce value\r\n"
    "or a person starts the program; its first lines say which run goes on.\r\n"
    "\r\n"
    "Vesplin is a window program: a prompt does not wait for it. In a batch\r\n"
    "file, each on its own line:\r\n"
    "  start \"\" /wait Vesplin.exe -S0010 -R 60 -N 5 -E\r\n"
    "  echo %ERRORLEVEL%\r\n"
    "(never \"& echo %errorlevel%\" on the same line: it is read before the run).\r\n"
    "In PowerShell:\r\n"
    "  (Start-Process .\\Vesplin.exe -ArgumentList '-S0010','-E' -Wait -PassThru).ExitCode\r\n"
    "-C goes on at the next interactive log-on of the same user: an unattended\r\n"
    "machine needs automatic log-on.\r\n"
    "--stop stops the run in progress (exit code 0; 1 when none runs).\r\n";

const char* UsageText() { return USAGE_TEXT; }

void FormatIdentityLine(char* out, size_t outSize) {
    snprintf(out, outSize, "%s %s (Build: %s), built on %s %s", PRODUCT_NAME, PRODUCT_VERSION, PRODUCT_BUILD,
             BUILD_DATE, BUILD_TIME);
}

int FindInfoRequest(int argc, char** argv) {
    int request = INFO_NONE;
    for (int i = 1; i < argc && argv && argv[i]; i++) {
        const char* word = argv[i];
        bool isSwitch = word[0] == '/' || (word[0] == '-' && word[1] != '-');
        if ((isSwitch && (word[1] == '?' || word[1] == 'h')) || strcmp(word, "--help") == 0) return INFO_HELP;
        if (strcmp(word, "--version") == 0) request = INFO_VERSION;
    }
    return request;
}

// Text for a person: on the standard output the program was given, else on
// the console it was started from, else (started from Explorer) in a box.
void ShowInfoText(const char* text, const char* caption, bool allowBox) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    bool owned = false;
    if (out == nullptr || out == INVALID_HANDLE_VALUE || GetFileType(out) == FILE_TYPE_UNKNOWN) {
        out = nullptr;
        // A window program has no console of its own: it borrows the one it was started from.
        if (AttachConsole(ATTACH_PARENT_PROCESS)) {
            out = CreateFileA("CONOUT$", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                              nullptr);
            owned = out != INVALID_HANDLE_VALUE;
            if (!owned) out = nullptr;
        }
    }
    if (out) {
        DWORD written = 0;
        WriteFile(out, "\r\n", 2, &written, nullptr);
        WriteFile(out, text, (DWORD)strlen(text), &written, nullptr);
        if (owned) CloseHandle(out);
        return;
    }
    if (allowBox) MessageBoxA(nullptr, text, caption, MB_ICONINFORMATION | MB_OK);
}
