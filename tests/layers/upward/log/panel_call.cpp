// Logging may not reach the windows above it.
#include "ui/ui.h"
