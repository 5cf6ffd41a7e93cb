// Running the real program in a temporary folder and collecting what it printed.
#pragma once

#include <string>
#include <vector>

struct RunResult {
    int status = -1;  // exit status, 124 after a timeout, 125 when Escape did not end it
    std::string out;  // standard output
    std::string err;  // standard error
};

// A new empty folder under the system's temporary folder.
std::string makeTempFolder();
void writeTextFile(const std::string& path, const std::string& content);
std::string readTextFile(const std::string& path);

// Runs `rugon` in `folder` through tools/xrun.sh (virtual X server, Escape once the window
// shows). `screenshot`, when not empty, receives a PNG of the window.
RunResult runRugon(const std::string& folder,
                   const std::string& screenshot = "",
                   int timeoutSeconds = 180);

// Runs a shell command in `folder`, capturing standard output and error.
RunResult runCommand(const std::string& folder, const std::string& command);

// An image entry of a parameter file.
struct Entry {
    std::string name;
    std::string flag;
};

// Parameter-file values of a test run.
struct RunSettings {
    std::string threshold = "0.5";
    std::string kernelRows = "3";
    std::string kernelColumns = "3";
    std::string kernelSigma = "1.0";
    std::string pixelSize = "1.0";
    std::string halfWindow = "6";
    std::string imageCount;  // empty: the number of entries
};

// input.txt text in the usual layout (every value last on its line).
std::string parameterFile(const std::vector<Entry>& entries, const RunSettings& settings = {});

// Lines of `text` split at line feeds (a trailing line feed gives no extra empty line).
std::vector<std::string> splitLines(const std::string& text);
