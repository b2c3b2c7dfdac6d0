// The lowest layer may not name the system.
#include <windows.h>
