#include "app/app.h"
int RunVesplin(HINSTANCE, int, char**, int) { return 0; }
