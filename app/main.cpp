// Entry point of Vesplin.exe.
#include <stdlib.h>
#include "app/app.h"
#include "results/results.h"
#include "ui/ui.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
    return RunVesplin(instance, __argc, __argv, showCommand);
}
