#include "report/svg_file.h"

#include <cairo-svg.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <map>

std::string withDocumentIds(const std::string& svg) {
    static const std::string kPrefixes[] = {"surface", "image"};
    std::map<std::string, std::string> renamed;
    std::map<std::string, int32_t> used;
    std::string out;
    out.reserve(svg.size());
    size_t i = 0;
    while (i < svg.size()) {
        size_t name = std::string::npos;
        if (svg.compare(i, 4, "id=\"") == 0)
            name = i + 4;
        else if (svg[i] == '#')
            name = i + 1;
        if (name == std::string::npos) {
            out += svg[i++];
            continue;
        }
        out.append(svg, i, name - i);
        i = name;
        for (const std::string& prefix : kPrefixes) {
            if (svg.compare(name, prefix.size(), prefix) != 0) continue;
            size_t end = name + prefix.size();
            while (end < svg.size() && svg[end] >= '0' && svg[end] <= '9') ++end;
            if (end == name + prefix.size()) continue;
            const std::string old = svg.substr(name, end - name);
            auto found = renamed.find(old);
            if (found == renamed.end())
                found = renamed.emplace(old, prefix + std::to_string(++used[prefix])).first;
            out += found->second;
            i = end;
            break;
        }
    }
    return out;
}

namespace {

cairo_status_t appendSvgText(void* closure, const unsigned char* data, unsigned int length) {
    static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
    return CAIRO_STATUS_SUCCESS;
}

}  // namespace

std::string svgDocument(double width,
                        double height,
                        bool pixelUnits,
                        const std::function<void(cairo_t*)>& draw) {
    std::string text;
    cairo_surface_t* surface =
        cairo_svg_surface_create_for_stream(appendSvgText, &text, width, height);
    if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(surface);
        return std::string();
    }
    if (pixelUnits) cairo_svg_surface_set_document_unit(surface, CAIRO_SVG_UNIT_PX);
    cairo_t* cr = cairo_create(surface);
    draw(cr);
    bool ok = cairo_status(cr) == CAIRO_STATUS_SUCCESS;
    cairo_destroy(cr);
    cairo_surface_finish(surface);
    ok = ok && cairo_surface_status(surface) == CAIRO_STATUS_SUCCESS;
    cairo_surface_destroy(surface);
    return ok ? withDocumentIds(text) : std::string();
}

bool writeSvgFile(const std::string& path,
                  double width,
                  double height,
                  const std::function<void(cairo_t*)>& draw) {
    const std::string text = svgDocument(width, height, false, draw);
    if (text.empty()) return false;
    errno = 0;  // what a failure leaves is its own reason
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    return std::fclose(file) == 0 && written;
}
