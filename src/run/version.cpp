#include "run/version.h"

const char* rugonVersion() { return "11.0"; }
