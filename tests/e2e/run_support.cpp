#include "run_support.h"

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

std::string makeTempFolder() {
    char pattern[] = "/tmp/rugon_e2e_XXXXXX";
    const char* made = mkdtemp(pattern);
    return made != nullptr ? std::string(made) : std::string("/tmp");
}

void writeTextFile(const std::string& path, const std::string& content) {
    std::ofstream file(path, std::ios::binary);
    file << content;
}

std::string readTextFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

RunResult runCommand(const std::string& folder, const std::string& command) {
    const std::string out = folder + "/.stdout";
    const std::string err = folder + "/.stderr";
    const std::string line =
        "cd '" + folder + "' && " + command + " > '" + out + "' 2> '" + err + "' < /dev/null";
    RunResult result;
    const int raw = std::system(line.c_str());
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    result.out = readTextFile(out);
    result.err = readTextFile(err);
    std::remove(out.c_str());
    std::remove(err.c_str());
    return result;
}

RunResult runRugon(const std::string& folder, const std::string& screenshot, int timeoutSeconds) {
    std::string command = std::string(RUGON_XRUN) + " --timeout " + std::to_string(timeoutSeconds);
    if (!screenshot.empty()) command += " --screenshot '" + screenshot + "'";
    command += std::string(" ") + RUGON_BINARY;
    return runCommand(folder, command);
}

std::string parameterFile(const std::vector<Entry>& entries, const RunSettings& s) {
    std::string text = "Rugon parameter file\nedge detection\n";
    text += "threshold " + s.threshold + "\n";
    text += "smoothing\nkernel\n";
    text += "switch n\nrows " + s.kernelRows + "\ncolumns " + s.kernelColumns + "\nsigma " +
            s.kernelSigma + "\n";
    text += "images\nlist\n";
    const std::string count = s.imageCount.empty() ? std::to_string(entries.size()) : s.imageCount;
    text += "switch n\ncount " + count + "\n";
    text += "scale\nwindow\n";
    text += "pixel " + s.pixelSize + "\nreserved 0\nwindow " + s.halfWindow + "\n";
    for (const Entry& e : entries) text += e.name + " " + e.flag + "\n";
    return text;
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::string current;
    for (char c : text) {
        if (c == '\n') {
            lines.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.empty()) lines.push_back(current);
    return lines;
}
