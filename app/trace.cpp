#include "app/trace.h"

bool traceEnabled = false;
