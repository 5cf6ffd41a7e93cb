#include "files/metadata_forms.h"

#include <locale.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <pugixml.hpp>

namespace {

// Text from a file shown in a note: at most 40 characters, anything outside printable ASCII as
// '?', so that a damaged field cannot fill or garble the report.
std::string shown(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size() && i < 40; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        out.push_back(c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?');
    }
    if (text.size() > 40) out += "...";
    return out;
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\0'; }

std::string trimmed(const std::string& text) {
    size_t first = 0;
    size_t last = text.size();
    while (first < last && isBlank(text[first])) ++first;
    while (last > first && isBlank(text[last - 1])) --last;
    return text.substr(first, last - first);
}

std::string lowerAscii(const std::string& text) {
    std::string out = text;
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

// Lines split at CR, LF and NUL; empty lines are kept out. A UTF-8 byte order mark at the start
// (Windows editors write one) is not part of the first line.
std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::string line;
    const size_t start = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    for (char c : text.substr(start)) {
        if (c == '\r' || c == '\n' || c == '\0') {
            if (!line.empty()) lines.push_back(line);
            line.clear();
        } else {
            line.push_back(c);
        }
    }
    if (!line.empty()) lines.push_back(line);
    return lines;
}

// strtod in the "C" locale, whatever the program's locale: "2.5" must not read as 2 where the
// decimal separator is a comma.
double strtodC(const char* begin, char** end) {
    static const locale_t cLocale = newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(0));
    if (cLocale == static_cast<locale_t>(0)) return std::strtod(begin, end);
    return strtod_l(begin, end, cLocale);
}

// Reads a length with its unit into nm, noting why when it cannot. `what` names the field.
bool lengthFromText(const std::string& valueText,
                    const std::string& unit,
                    const std::string& what,
                    double& nm,
                    std::vector<std::string>& notes) {
    double value = 0.0;
    if (!parseNumber(valueText, value)) {
        notes.push_back(what + " \"" + shown(valueText) + "\" is not a number; ignored");
        return false;
    }
    if (!lengthToNm(value, unit, nm)) {
        notes.push_back(what + " has no known unit (\"" + shown(unit) + "\"); ignored");
        return false;
    }
    return true;
}

// A bar height in rows from its text; whole numbers 0..65535 only.
bool rowsFromText(const std::string& valueText,
                  const std::string& what,
                  int32_t& rows,
                  std::vector<std::string>& notes) {
    double value = 0.0;
    if (!parseNumber(valueText, value) || !(value >= 0.0 && value <= 65535.0) ||
        value != std::floor(value)) {
        notes.push_back(what + " \"" + shown(valueText) +
                        "\" is not a plausible number of rows; ignored");
        return false;
    }
    rows = static_cast<int32_t>(value);
    return true;
}

// The element name without a namespace prefix.
const char* localName(const char* name) {
    const char* colon = std::strrchr(name, ':');
    return colon != nullptr ? colon + 1 : name;
}

}  // namespace

bool lengthToNm(double value, const std::string& unit, double& nm) {
    const std::string u = lowerAscii(trimmed(unit));
    double factor = 0.0;
    if (u == "m") {
        factor = 1e9;
    } else if (u == "mm") {
        factor = 1e6;
    } else if (u == "um" || u == "\xC2\xB5m" || u == "\xB5m" || u == "\xCE\xBCm" || u == "micron" ||
               u == "microns") {
        factor = 1e3;
    } else if (u == "nm") {
        factor = 1.0;
    } else if (u == "pm") {
        factor = 1e-3;
    } else {
        return false;
    }
    nm = value * factor;
    return true;
}

bool parseNumber(const std::string& text, double& value) {
    const std::string t = trimmed(text);
    if (t.empty()) return false;
    char* end = nullptr;
    const double v = strtodC(t.c_str(), &end);
    if (end != t.c_str() + t.size()) return false;
    value = v;
    return true;
}

bool splitValueAndUnit(const std::string& text, double& value, std::string& unit) {
    const std::string t = trimmed(text);
    if (t.empty()) return false;
    char* end = nullptr;
    const double v = strtodC(t.c_str(), &end);
    if (end == t.c_str()) return false;
    value = v;
    unit = trimmed(std::string(end));
    return true;
}

bool checkPixelSize(double nm, const std::string& what, std::vector<std::string>& notes) {
    if (std::isfinite(nm) && nm >= kMinPixelSizeNm && nm <= kMaxPixelSizeNm) return true;
    notes.push_back(what + " is not a plausible pixel size; ignored");
    return false;
}

FormValues parseIniText(const std::string& text,
                        const std::string& where,
                        std::vector<std::string>& notes) {
    FormValues out;
    std::string section;
    for (const std::string& raw : splitLines(text)) {
        const std::string line = trimmed(raw);
        if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
            section = lowerAscii(trimmed(line.substr(1, line.size() - 2)));
            continue;
        }
        if (section != "scan" && section != "image") continue;
        const size_t equals = line.find('=');
        if (equals == std::string::npos) continue;
        const std::string key = lowerAscii(trimmed(line.substr(0, equals)));
        const std::string valueText = trimmed(line.substr(equals + 1));
        if (section == "image") {
            double pixels = 0.0;
            if ((key == "resolutionx" || key == "resolutiony") && parseNumber(valueText, pixels) &&
                pixels >= 1.0 && pixels <= 65536.0 && pixels == std::floor(pixels))
                (key == "resolutionx" ? out.scanWidth : out.scanHeight) =
                    static_cast<int32_t>(pixels);
            continue;
        }
        if (key != "pixelwidth" && key != "pixelheight") continue;
        const std::string what =
            trimmed(line.substr(0, equals)) + "=" + shown(valueText) + " in " + where;
        double nm = 0.0;
        if (!lengthFromText(valueText, "m", what, nm, notes)) continue;
        if (!checkPixelSize(nm, what, notes)) continue;
        (key == "pixelwidth" ? out.pixelWidthNm : out.pixelHeightNm) = nm;
    }
    return out;
}

FormValues parseXmlText(const std::string& text,
                        const std::string& where,
                        std::vector<std::string>& notes) {
    FormValues out;
    pugi::xml_document document;
    const pugi::xml_parse_result parsed =
        document.load_buffer(text.data(), text.size(), pugi::parse_default, pugi::encoding_auto);
    if (!parsed) {
        notes.push_back("the XML in " + where + " does not parse (" + parsed.description() +
                        " at byte " + std::to_string(parsed.offset) + "); ignored");
        return out;
    }
    const auto named = [&document](const char* name) {
        return document.find_node([name](const pugi::xml_node& node) {
            return node.type() == pugi::node_element &&
                   std::strcmp(localName(node.name()), name) == 0;
        });
    };
    const char* const kLengths[] = {"pixelWidth", "pixelHeight"};
    for (const char* name : kLengths) {
        const pugi::xml_node node = named(name);
        if (!node) continue;
        const std::string valueText = node.child_value();
        const std::string unit = node.attribute("unit").value();
        const std::string what = std::string(name) + " \"" + shown(trimmed(valueText)) + " " +
                                 shown(unit) + "\" in the XML of " + where;
        double nm = 0.0;
        if (!lengthFromText(valueText, unit, std::string(name) + " in the XML of " + where, nm,
                            notes)) {
            continue;
        }
        if (!checkPixelSize(nm, what, notes)) continue;
        (std::strcmp(name, "pixelWidth") == 0 ? out.pixelWidthNm : out.pixelHeightNm) = nm;
    }
    const pugi::xml_node bar = named("databarHeight");
    if (bar) {
        rowsFromText(bar.child_value(), "databarHeight in the XML of " + where, out.databarRows,
                     notes);
    }
    return out;
}

FormValues parseLabelledText(const std::string& text,
                             const std::string& where,
                             std::vector<std::string>& notes) {
    FormValues out;
    const std::vector<std::string> lines = splitLines(text);
    // The scan's size: "Store resolution = 1024 * 768".
    for (const std::string& raw : lines) {
        const std::string line = lowerAscii(trimmed(raw));
        if (line.rfind("store resolution", 0) != 0) continue;
        const size_t equals = line.find('=');
        const size_t times = line.find('*');
        double w = 0.0;
        double h = 0.0;
        if (equals != std::string::npos && times != std::string::npos && times > equals &&
            parseNumber(line.substr(equals + 1, times - equals - 1), w) &&
            parseNumber(line.substr(times + 1), h) && w >= 1.0 && h >= 1.0 && w <= 65536.0 &&
            h <= 65536.0 && w == std::floor(w) && h == std::floor(h)) {
            out.scanWidth = static_cast<int32_t>(w);
            out.scanHeight = static_cast<int32_t>(h);
        }
        break;
    }
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string line = trimmed(lines[i]);
        std::string valueLine;
        if (line == "AP_IMAGE_PIXEL_SIZE" && i + 1 < lines.size()) {
            valueLine = lines[i + 1];
        } else if (lowerAscii(line).rfind("image pixel size", 0) == 0) {
            valueLine = line;
        } else {
            continue;
        }
        const size_t equals = valueLine.find('=');
        if (equals == std::string::npos) continue;
        const std::string valueText = trimmed(valueLine.substr(equals + 1));
        const std::string what = "Image Pixel Size = " + shown(valueText) + " in " + where;
        double value = 0.0;
        std::string unit;
        double nm = 0.0;
        if (!splitValueAndUnit(valueText, value, unit)) {
            notes.push_back(what + " is not a number; ignored");
        } else if (!lengthToNm(value, unit, nm)) {
            notes.push_back(what + " has no known unit; ignored");
        } else if (checkPixelSize(nm, what, notes)) {
            out.pixelWidthNm = nm;
        }
        // The first labelled value decides; a damaged one is not replaced by a later copy.
        break;
    }
    return out;
}

FormValues parseSidecarText(const std::string& text,
                            const std::string& where,
                            std::vector<std::string>& notes) {
    FormValues out;
    std::string barText;
    std::string markerText;
    std::string pixelSizeText;
    for (const std::string& raw : splitLines(text)) {
        const std::string line = trimmed(raw);
        size_t split = 0;
        while (split < line.size() && !isBlank(line[split]) && line[split] != '=') ++split;
        const std::string key = line.substr(0, split);
        std::string rest = trimmed(line.substr(split));
        if (!rest.empty() && rest[0] == '=') rest = trimmed(rest.substr(1));
        if (key == "$CM_FULL_SIZE") {
            double w = 0.0;
            double h = 0.0;
            std::string heightText;
            if (splitValueAndUnit(rest, w, heightText) && parseNumber(heightText, h) && w >= 1.0 &&
                h >= 1.0 && w <= 65536.0 && h <= 65536.0 && w == std::floor(w) &&
                h == std::floor(h)) {
                out.fullWidth = static_cast<int32_t>(w);
                out.fullHeight = static_cast<int32_t>(h);
            } else {
                notes.push_back("$CM_FULL_SIZE \"" + shown(rest) + "\" in " + where +
                                " is not a picture size; ignored");
            }
        } else if (key == "$$SM_MICRON_BAR") {
            barText = rest;
        } else if (key == "$$SM_MICRON_MARKER") {
            markerText = rest;
        } else if (lowerAscii(key) == "pixelsize") {
            pixelSizeText = rest;
        }
    }
    if (!pixelSizeText.empty()) {
        const std::string what = "PixelSize=" + shown(pixelSizeText) + " in " + where;
        double value = 0.0;
        std::string unit;
        double nm = 0.0;
        if (!splitValueAndUnit(pixelSizeText, value, unit)) {
            notes.push_back(what + " is not a number; ignored");
        } else if (!lengthToNm(value, unit.empty() ? "nm" : unit, nm)) {
            notes.push_back(what + " has no known unit; ignored");
        } else if (checkPixelSize(nm, what, notes)) {
            out.pixelWidthNm = nm;
            return out;
        }
    }
    if (barText.empty() && markerText.empty()) return out;
    const std::string what = "the scale marker \"" + shown(markerText) + "\" over \"" +
                             shown(barText) + "\" pixels in " + where;
    double barPixels = 0.0;
    double markerValue = 0.0;
    std::string markerUnit;
    double markerNm = 0.0;
    if (!parseNumber(barText, barPixels) || !(barPixels >= 1.0)) {
        notes.push_back(what + " has no usable length in pixels; ignored");
    } else if (!splitValueAndUnit(markerText, markerValue, markerUnit) ||
               !lengthToNm(markerValue, markerUnit, markerNm)) {
        notes.push_back(what + " has no usable length with a unit; ignored");
    } else if (checkPixelSize(markerNm / barPixels, what, notes)) {
        out.pixelWidthNm = markerNm / barPixels;
    }
    return out;
}
