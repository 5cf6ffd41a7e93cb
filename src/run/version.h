// Program name and version shown by the tools.
#pragma once

// "11.0": the version of the analysis (the window's title carries its major number).
const char* rugonVersion();
