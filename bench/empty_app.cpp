// The smallest GUI program, built like Vesplin.exe: the baseline of the start-up benchmark.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return 0; }
