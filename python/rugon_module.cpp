// _rugon: the compiled half of the Python package `rugon`. It checks settings with the batch
// tool's own command-line rules, measures an image file or a numpy array through the one entry
// point, and hands out the result record's figures (as report.json has them) and its series as
// read-only numpy views. No figure is computed here.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <shared_mutex>
#include <string>
#include <vector>

#include "files/sixteen_bit.h"
#include "report/report_run.h"
#include "report/report_tables.h"
#include "run/analysis_settings.h"
#include "run/image_result.h"
#include "run/measure_image.h"
#include "run/version.h"
#include "synthetic/synthetic_sem.h"

namespace py = pybind11;

namespace {

// The analyses and the generator each plan FFTW transforms under a lock of their own, and the
// planner must never run in two threads at once: the generator holds this lock alone, the
// analyses share it.
std::shared_mutex& fftwPlanners() {
    static std::shared_mutex lock;
    return lock;
}

// Largest side of an array taken as a picture; the decoder refuses larger sides too.
constexpr int64_t kMaxSide = 65536;

// The options of rugon-report that the keywords map to: "--name=" takes a value, a name
// without "=" is a flag.
const char* const kValueOptions[] = {
    "--pixel-size=", "--threshold=",  "--kernel=",      "--kernel-sigma=",
    "--window=",     "--contrast=",   "--orientation=", "--first-edge-opens-line=",
    "--roi=",        "--max-pixels=", "--bootstrap=",   "--resolution-nm="};
const char* const kFlagOptions[] = {"--no-databar", "--no-region"};

bool startsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

// The settings of one image from command-line style options, checked by rugon-report's own
// parser so that a keyword is accepted exactly when its option is. Raises ValueError with the
// parser's message otherwise.
AnalysisSettings settingsFromOptions(const std::vector<std::string>& options, int32_t& pairing) {
    std::vector<const char*> argv = {"rugon-report"};
    for (const std::string& option : options) {
        bool known = false;
        for (const char* prefix : kValueOptions) known = known || startsWith(option, prefix);
        for (const char* flag : kFlagOptions) known = known || option == flag;
        if (!known) throw py::value_error("not a setting: \"" + option + "\"");
        argv.push_back(option.c_str());
    }
    const ReportOptions parsed = parseReportArguments(static_cast<int>(argv.size()), argv.data());
    if (parsed.action != ReportOptions::Action::kRun) throw py::value_error(parsed.error);
    pairing = parsed.overrides.pairing ? *parsed.overrides.pairing : 1;
    return settingsFor(parsed, nullptr, pairing);
}

// Text from the C++ side as a Python str; bytes that are not UTF-8 (a file name in another
// encoding) become U+FFFD, as in report.json.
py::str text(const std::string& s) {
    PyObject* object = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
    if (object == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(object);
}

// A JSON value as plain Python objects: null -> None, objects -> dict in key order.
py::object toPython(const nlohmann::ordered_json& j) {
    switch (j.type()) {
        case nlohmann::ordered_json::value_t::null:
            return py::none();
        case nlohmann::ordered_json::value_t::boolean:
            return py::bool_(j.get<bool>());
        case nlohmann::ordered_json::value_t::number_integer:
            return py::int_(j.get<int64_t>());
        case nlohmann::ordered_json::value_t::number_unsigned:
            return py::int_(j.get<uint64_t>());
        case nlohmann::ordered_json::value_t::number_float:
            return py::float_(j.get<double>());
        case nlohmann::ordered_json::value_t::string:
            return text(j.get_ref<const std::string&>());
        case nlohmann::ordered_json::value_t::array: {
            py::list list;
            for (const auto& element : j) list.append(toPython(element));
            return std::move(list);
        }
        case nlohmann::ordered_json::value_t::object: {
            py::dict dict;
            for (const auto& item : j.items()) dict[text(item.key())] = toPython(item.value());
            return std::move(dict);
        }
        default:
            break;
    }
    return py::none();
}

// A Python value as a table cell: None, int, float or str (bool is refused: no column holds
// one).
TableCell cellFromPython(const py::handle& value) {
    if (value.is_none()) return emptyCell();
    if (py::isinstance<py::bool_>(value)) throw py::type_error("a table cell cannot be a bool");
    if (py::isinstance<py::int_>(value)) return integerCell(value.cast<int64_t>());
    if (py::isinstance<py::float_>(value)) return realCell(value.cast<double>());
    if (py::isinstance<py::str>(value)) return textCell(value.cast<std::string>());
    throw py::type_error("a table cell must be None, int, float or str");
}

// Read-only numpy views of storage owned by `owner` (the result object): the array keeps the
// owner alive, nothing is copied.
py::array readOnly(py::array array) {
    array.attr("flags").attr("writeable") = false;
    return array;
}

py::array view(const std::vector<double>& values, const py::handle& owner) {
    return readOnly(py::array(py::dtype::of<double>(), {values.size()}, {sizeof(double)},
                              values.data(), owner));
}

py::array view(const Series& s, const py::handle& owner) {
    const size_t n = s.count > 0 ? static_cast<size_t>(s.count) : 0;
    return readOnly(
        py::array(py::dtype::of<double>(), {n}, {sizeof(double)}, n > 0 ? s.data : nullptr, owner));
}

// A grid of `rows` x `columns` doubles stored row after row.
py::array view(const GreyImage& grid, const py::handle& owner) {
    const size_t w = grid.width > 0 ? static_cast<size_t>(grid.width) : 0;
    const size_t h = grid.height > 0 ? static_cast<size_t>(grid.height) : 0;
    return readOnly(py::array(py::dtype::of<double>(), {h, w}, {w * sizeof(double), sizeof(double)},
                              w * h > 0 ? grid.data : nullptr, owner));
}

// The grey grid of a 2-D array of uint8, uint16 (brought to 0..255 as 16-bit files are read:
// files/sixteen_bit.h) or float (grey levels 0..255, finite), row 0 the top. Raises
// TypeError or ValueError.
GreyImage gridFromArray(const py::array& image, int64_t maxPixels) {
    if (image.ndim() != 2)
        throw py::value_error("the image must be a 2-D array (rows, columns), not " +
                              std::to_string(image.ndim()) +
                              "-D; convert colour pictures to "
                              "grey levels first");
    const int64_t rows = static_cast<int64_t>(image.shape(0));
    const int64_t columns = static_cast<int64_t>(image.shape(1));
    if (rows < 1 || columns < 1)
        throw py::value_error("the image is empty (" + std::to_string(rows) + " x " +
                              std::to_string(columns) + ")");
    if (rows > kMaxSide || columns > kMaxSide || rows * columns > maxPixels)
        throw py::value_error("the image of " + std::to_string(columns) + " x " +
                              std::to_string(rows) + " pixels is larger than the limit of " +
                              std::to_string(maxPixels) + " pixels (sides up to 65536)");
    const py::dtype dtype = image.dtype();
    const char kind = dtype.kind();
    const int64_t itemSize = static_cast<int64_t>(dtype.itemsize());
    const bool bytes = kind == 'u' && itemSize == 1;
    const bool words = kind == 'u' && itemSize == 2;
    const bool reals = kind == 'f';
    if (!bytes && !words && !reals)
        throw py::type_error("the image must hold uint8, uint16 or float grey levels, not " +
                             dtype.attr("name").cast<std::string>());
    GreyImage grid;
    if (!grid.allocate(static_cast<int32_t>(columns), static_cast<int32_t>(rows)))
        throw std::bad_alloc();
    double* out = grid.data;
    if (bytes) {
        const auto a = py::array_t<uint8_t, py::array::forcecast>::ensure(image);
        const auto v = a.unchecked<2>();
        for (py::ssize_t y = 0; y < rows; ++y)
            for (py::ssize_t x = 0; x < columns; ++x) *out++ = v(y, x);
    } else if (words) {
        // ensure() brings a non-native byte order to the native one.
        const auto a = py::array_t<uint16_t, py::array::forcecast>::ensure(image);
        const auto v = a.unchecked<2>();
        std::vector<uint64_t> histogram(65536, 0);
        for (py::ssize_t y = 0; y < rows; ++y)
            for (py::ssize_t x = 0; x < columns; ++x) ++histogram[v(y, x)];
        const SixteenBitReduction reduction =
            sixteenBitReduction(histogram.data(), static_cast<uint64_t>(rows * columns));
        for (py::ssize_t y = 0; y < rows; ++y)
            for (py::ssize_t x = 0; x < columns; ++x) *out++ = reduceSixteenBit(v(y, x), reduction);
    } else {
        const auto a = py::array_t<double, py::array::forcecast>::ensure(image);
        if (!a) throw py::error_already_set();
        const auto v = a.unchecked<2>();
        for (py::ssize_t y = 0; y < rows; ++y)
            for (py::ssize_t x = 0; x < columns; ++x) {
                const double level = v(y, x);
                if (!(level >= 0.0 && level <= 255.0))
                    throw py::value_error("float grey levels must lie in 0..255; element [" +
                                          std::to_string(y) + ", " + std::to_string(x) + "] is " +
                                          py::repr(py::float_(level)).cast<std::string>());
                *out++ = level;
            }
    }
    return grid;
}

// What the analysis of an image keeps for Python: the record and nothing else. The grid's own
// marked picture and the width grid's copy are not needed once the figures exist.
std::shared_ptr<ImageResult> newResult(const std::string& name,
                                       const std::string& path,
                                       int32_t position,
                                       int32_t pairing) {
    auto result = std::make_shared<ImageResult>();
    result->name = name;
    result->path = path;
    result->position = position;
    result->pairing = pairing;
    return result;
}

void trim(ImageResult& result) { result.analysis.picture.release(); }

std::shared_ptr<ImageResult> measureFileForPython(const std::string& path,
                                                  const std::vector<std::string>& options,
                                                  const std::string& name,
                                                  int32_t position,
                                                  const std::string& group) {
    int32_t pairing = 1;
    const AnalysisSettings settings = settingsFromOptions(options, pairing);
    auto result = newResult(name, path, position, pairing);
    result->group = group;
    {
        py::gil_scoped_release unlocked;
        std::shared_lock<std::shared_mutex> shared(fftwPlanners());
        measureImageFile(settings, *result);
        trim(*result);
    }
    return result;
}

std::shared_ptr<ImageResult> measureArrayForPython(const py::array& image,
                                                   const std::vector<std::string>& options,
                                                   const std::string& name,
                                                   int32_t position) {
    int32_t pairing = 1;
    const AnalysisSettings settings = settingsFromOptions(options, pairing);
    const GreyImage grid = gridFromArray(image, settings.maxPixels);
    auto result = newResult(name, "", position, pairing);
    {
        py::gil_scoped_release unlocked;
        std::shared_lock<std::shared_mutex> shared(fftwPlanners());
        measureGreyImage(grid, settings, *result);
        trim(*result);
    }
    return result;
}

py::dict settingsDict(const AnalysisSettings& s, int32_t pairing) {
    py::dict d;
    d["pixel_size"] = std::isfinite(s.pixelSizeNm) ? py::object(py::float_(s.pixelSizeNm))
                                                   : py::object(py::none());
    d["threshold"] = s.edgeThreshold;
    d["kernel"] = py::make_tuple(s.kernelRows, s.kernelColumns);
    d["kernel_sigma"] = s.kernelSigma;
    d["window"] = s.edgeHalfWindow;
    d["first_edge_opens_line"] = pairing == 1;
    d["contrast"] = contrastChoiceName(s.contrast);
    d["orientation"] = orientationChoiceName(s.orientation);
    d["roi"] = s.roiSet ? py::object(py::make_tuple(s.roi.x, s.roi.y, s.roi.width, s.roi.height))
                        : py::object(py::none());
    d["databar"] = s.findDatabar;
    d["region"] = s.findRegion;
    d["max_pixels"] = s.maxPixels;
    d["bootstrap"] = s.bootstrapResamples;
    d["resolution_nm"] =
        s.resolutionNm >= 0.0 ? py::object(py::float_(s.resolutionNm)) : py::object(py::none());
    return d;
}

// The generator's settings by keyword (the fields of SyntheticSemSettings in snake case).
py::dict generatorDefaults() {
    const SyntheticSemSettings s;
    py::dict d;
    d["width"] = s.width;
    d["height"] = s.height;
    d["pitch"] = s.pitch;
    d["cd"] = s.cd;
    d["first_edge"] = s.firstEdge;
    d["line_count"] = s.lineCount;
    d["band_width"] = s.bandWidth;
    d["contrast"] = syntheticContrastName(s.contrast);
    d["roughness_sigma"] = s.roughnessSigma;
    d["correlation_length"] = s.correlationLength;
    d["roughness_model"] =
        s.roughnessModel == SyntheticRoughness::kSpectral ? "spectral" : "autoregressive";
    d["roughness_exponent"] = s.roughnessExponent;
    d["edge_correlation"] = s.edgeCorrelation;
    d["seed"] = s.seed;
    d["background_level"] = s.backgroundLevel;
    d["body_level"] = s.bodyLevel;
    d["band_level"] = s.bandLevel;
    d["blur_sigma"] = s.blurSigma;
    d["noise_sigma"] = s.noiseSigma;
    d["shot_noise_frames"] = s.shotNoiseFrames;
    d["electrons_per_level"] = s.electronsPerLevel;
    d["cut_last_line"] = s.cutLastLine;
    d["trailing_lone_band"] = s.trailingLoneBand;
    d["leading_lone_band"] = s.leadingLoneBand;
    return d;
}

// Reads keyword `key` of `kwargs` into `value` when present; a wrong type raises TypeError.
template <typename T>
void take(const py::dict& kwargs, const char* key, T& value) {
    if (!kwargs.contains(key)) return;
    const py::handle item = kwargs[key];
    if constexpr (std::is_same_v<T, bool>) {
        if (!py::isinstance<py::bool_>(item))
            throw py::type_error(std::string(key) + " must be True or False");
    } else if constexpr (std::is_integral_v<T>) {
        if (py::isinstance<py::bool_>(item) || !py::isinstance<py::int_>(item))
            throw py::type_error(std::string(key) + " must be an int");
    } else if constexpr (std::is_floating_point_v<T>) {
        if (py::isinstance<py::bool_>(item) ||
            !(py::isinstance<py::int_>(item) || py::isinstance<py::float_>(item)))
            throw py::type_error(std::string(key) + " must be a number");
    }
    try {
        value = item.cast<T>();
    } catch (const py::cast_error&) {
        throw py::value_error(std::string(key) + " is out of range");
    }
}

py::tuple generate(const py::kwargs& kwargs) {
    SyntheticSemSettings s;
    const py::dict known = generatorDefaults();
    for (const auto& item : kwargs)
        if (!known.contains(item.first))
            throw py::type_error("generate() got an unexpected keyword argument " +
                                 py::repr(item.first).cast<std::string>());
    take(kwargs, "width", s.width);
    take(kwargs, "height", s.height);
    take(kwargs, "pitch", s.pitch);
    take(kwargs, "cd", s.cd);
    take(kwargs, "first_edge", s.firstEdge);
    take(kwargs, "line_count", s.lineCount);
    take(kwargs, "band_width", s.bandWidth);
    if (kwargs.contains("contrast")) {
        const py::handle value = kwargs["contrast"];
        if (!py::isinstance<py::str>(value) ||
            !parseSyntheticContrast(value.cast<std::string>(), s.contrast))
            throw py::value_error(
                "contrast must be \"bright-edges\", \"bright-line\" or "
                "\"dark-line\"");
    }
    take(kwargs, "roughness_sigma", s.roughnessSigma);
    take(kwargs, "correlation_length", s.correlationLength);
    if (kwargs.contains("roughness_model")) {
        const py::handle value = kwargs["roughness_model"];
        const std::string model = py::isinstance<py::str>(value) ? value.cast<std::string>() : "";
        if (model == "autoregressive")
            s.roughnessModel = SyntheticRoughness::kAutoregressive;
        else if (model == "spectral")
            s.roughnessModel = SyntheticRoughness::kSpectral;
        else
            throw py::value_error("roughness_model must be \"autoregressive\" or \"spectral\"");
    }
    take(kwargs, "roughness_exponent", s.roughnessExponent);
    take(kwargs, "edge_correlation", s.edgeCorrelation);
    take(kwargs, "seed", s.seed);
    take(kwargs, "background_level", s.backgroundLevel);
    take(kwargs, "body_level", s.bodyLevel);
    take(kwargs, "band_level", s.bandLevel);
    take(kwargs, "blur_sigma", s.blurSigma);
    take(kwargs, "noise_sigma", s.noiseSigma);
    take(kwargs, "shot_noise_frames", s.shotNoiseFrames);
    take(kwargs, "electrons_per_level", s.electronsPerLevel);
    take(kwargs, "cut_last_line", s.cutLastLine);
    take(kwargs, "trailing_lone_band", s.trailingLoneBand);
    take(kwargs, "leading_lone_band", s.leadingLoneBand);

    auto image = std::make_shared<SyntheticSem>();
    bool made = false;
    {
        py::gil_scoped_release unlocked;
        std::unique_lock<std::shared_mutex> alone(fftwPlanners());
        made = makeSyntheticSem(s, *image);
    }
    const std::string problem = syntheticSettingsProblem(s);
    if (!made && !problem.empty())
        throw py::value_error("the settings describe no image: " + problem);
    if (!made) throw std::runtime_error("the roughness spectrum could not be prepared");

    // The pixels and the edges stay in `image`; the arrays are views that keep it alive.
    py::capsule owner(new std::shared_ptr<SyntheticSem>(image),
                      [](void* p) { delete static_cast<std::shared_ptr<SyntheticSem>*>(p); });
    const size_t w = static_cast<size_t>(image->width);
    const size_t h = static_cast<size_t>(image->height);
    py::array pixels(py::dtype::of<uint8_t>(), {h, w}, {w, size_t{1}}, image->pixels.data(), owner);
    const SyntheticSemSettings& u = image->settings;
    const SyntheticTruth& t = image->truth;
    const bool spectral = u.roughnessModel == SyntheticRoughness::kSpectral;
    py::dict truth;
    truth["image"] =
        py::dict(py::arg("width") = image->width, py::arg("height") = image->height,
                 py::arg("contrast") = syntheticContrastName(u.contrast),
                 py::arg("pitch_px") = u.pitch, py::arg("background_level") = u.backgroundLevel,
                 py::arg("body_level") = u.bodyLevel, py::arg("band_level") = u.bandLevel,
                 py::arg("band_width_px") = u.bandWidth, py::arg("blur_sigma_px") = u.blurSigma);
    truth["roughness"] =
        py::dict(py::arg("model") = spectral ? "spectral" : "autoregressive",
                 py::arg("sigma_px") = u.roughnessSigma, py::arg("xi_px") = t.correlationLength,
                 py::arg("alpha") = t.roughnessExponent,
                 py::arg("edge_correlation") = u.edgeCorrelation, py::arg("seed") = u.seed);
    truth["noise"] = py::dict(py::arg("gaussian_sigma") = u.noiseSigma,
                              py::arg("shot_noise_frames") = u.shotNoiseFrames,
                              py::arg("electrons_per_level") = u.electronsPerLevel,
                              py::arg("sigma_at_background") = t.noiseSigmaAtBackground,
                              py::arg("sigma_at_band") = t.noiseSigmaAtBand);
    truth["line_count"] = t.lineCount;
    truth["model"] =
        py::dict(py::arg("cd_px") = t.modelCd, py::arg("edge_sigma_px") = t.modelEdgeSigma,
                 py::arg("width_sigma_px") = t.modelWidthSigma,
                 py::arg("centre_sigma_px") = t.modelCentreSigma,
                 py::arg("edge_correlation") = t.modelEdgeCorrelation,
                 py::arg("xi_px") = t.correlationLength, py::arg("alpha") = t.roughnessExponent);
    truth["realised"] = py::dict(
        py::arg("cd_px") = t.meanCd, py::arg("edge_sigma_px") = t.edgeSigma,
        py::arg("width_sigma_px") = t.widthSigma, py::arg("centre_sigma_px") = t.centreSigma,
        py::arg("edge_correlation") = t.edgeCorrelation);
    py::list edges;
    for (const SyntheticEdge& edge : image->edges)
        edges.append(py::dict(py::arg("kind") = syntheticEdgeKindName(edge.kind),
                              py::arg("nominal_px") = edge.nominal,
                              py::arg("positions_px") = view(edge.positions, owner)));
    truth["edges"] = edges;
    return py::make_tuple(readOnly(pixels), truth);
}

py::dict analysisDefaults() {
    const AnalysisSettings s;
    return settingsDict(s, 1);
}

// The result record's series, as read-only views owned by the result object `self`.
py::dict wholePixelArrays(const py::object& self) {
    const ImageResult& r = self.cast<const ImageResult&>();
    const ImageAnalysis& a = r.analysis;
    py::dict d;
    const std::vector<int32_t>& columns = a.coarse.columns;
    d["coarse_columns"] = readOnly(py::array(py::dtype::of<int32_t>(), {columns.size()},
                                             {sizeof(int32_t)}, columns.data(), self));
    py::list processed;
    for (const EdgeFigures& e : a.processed) processed.append(e.edgeNumber);
    d["processed_edges"] = processed;
    d["edge_means_nm"] = view(a.edgeMeans, self);
    d["edge_spreads_nm"] = view(a.edgeSpreads, self);
    d["edge_sigmas_nm"] = view(a.edgeSigmas, self);
    d["edge_skewness"] = view(a.edgeSkewness, self);
    d["edge_kurtosis"] = view(a.edgeKurtosis, self);
    d["lags_px"] = view(a.lags, self);
    d["average_hhcf_px"] = view(a.averageHhcf, self);
    d["line_means_nm"] = view(a.widths.lineMeans, self);
    d["line_sigmas_nm"] = view(a.widths.lineSigmas, self);
    d["widths_px"] = view(a.widths.widthGrid, self);
    return d;
}

py::list metrologyEdges(const py::object& self) {
    const ImageResult& r = self.cast<const ImageResult&>();
    py::list edges;
    for (const MetrologyEdge& e : r.metrology.edges)
        edges.append(py::dict(py::arg("edge") = e.edgeNumber, py::arg("left") = e.leftEdge,
                              py::arg("positions_px") = view(e.positions, self),
                              py::arg("missing_rows") = e.missingRows,
                              py::arg("pooled_rows") = e.pooledRows,
                              py::arg("in_spectrum") = e.inSpectrum, py::arg("mean_nm") = e.meanNm,
                              py::arg("sigma_biased_nm") = e.sigmaBiasedNm,
                              py::arg("sigma_unbiased_nm") = e.sigmaUnbiasedNm,
                              py::arg("failure") = text(e.failure)));
    return edges;
}

py::list metrologyLines(const py::object& self) {
    const ImageResult& r = self.cast<const ImageResult&>();
    py::list lines;
    for (const MetrologyLine& l : r.metrology.lines)
        lines.append(py::dict(py::arg("left_edge") = l.leftEdge,
                              py::arg("right_edge") = l.rightEdge,
                              py::arg("widths_nm") = view(l.widthsNm, self),
                              py::arg("centres_nm") = view(l.centresNm, self),
                              py::arg("mean_width_nm") = l.meanWidthNm,
                              py::arg("width_sigma_biased_nm") = l.widthSigmaBiasedNm,
                              py::arg("width_sigma_unbiased_nm") = l.widthSigmaUnbiasedNm,
                              py::arg("placement_sigma_biased_nm") = l.placementSigmaBiasedNm,
                              py::arg("placement_sigma_unbiased_nm") = l.placementSigmaUnbiasedNm,
                              py::arg("in_spectrum") = l.inSpectrum,
                              py::arg("edge_psd_sum_nm3") = view(l.edgePsdSum, self),
                              py::arg("spectrum_edges") = l.spectrumEdges,
                              py::arg("width_psd_nm3") = view(l.widthPsd, self),
                              py::arg("placement_psd_nm3") = view(l.placementPsd, self)));
    return lines;
}

py::dict spectra(const py::object& self) {
    const ImageResult& r = self.cast<const ImageResult&>();
    const MetrologyResult& m = r.metrology;
    auto figure = [&self](const RoughnessFigure& f) {
        return py::dict(py::arg("psd_nm3") = view(f.psdNm3, self),
                        py::arg("model_nm3") = view(f.modelNm3, self),
                        py::arg("series") = f.seriesCount);
    };
    return py::dict(py::arg("frequency_per_nm") = view(m.frequencyPerNm, self),
                    py::arg("first_row") = m.firstSpectrumRow,
                    py::arg("last_row") = m.lastSpectrumRow, py::arg("ler") = figure(m.ler),
                    py::arg("lwr") = figure(m.lwr), py::arg("lpr") = figure(m.lpr));
}

py::dict displayArrays(const py::object& self) {
    const DisplayRecord& d = self.cast<const ImageResult&>().display;
    py::dict out;
    out["logLag"] = view(d.logLag, self);
    out["logHhcf"] = view(d.logHhcf, self);
    out["fitLogLag"] = view(d.fitLogLag, self);
    out["fitLogHhcf"] = view(d.fitLogHhcf, self);
    out["lengthNm"] = view(d.lengthNm, self);
    out["sigmaUncertaintyPct"] = view(d.sigmaUncertaintyPct, self);
    out["lwr3Sigma"] = view(d.lwr3Sigma, self);
    out["cdVariation3Sigma"] = view(d.cdVariation3Sigma, self);
    out["lwr3SigmaInfinite"] = view(d.lwr3SigmaInfinite, self);
    return out;
}

// The marked picture as rows x columns x 3 bytes, top row first (a picture stored bottom row
// first is seen through a negative row stride), or None.
py::object picture(const py::object& self) {
    const ImageResult& r = self.cast<const ImageResult&>();
    const Picture& p = r.picture;
    if (p.bytes == nullptr || p.width < 1 || p.height < 1) return py::none();
    const auto w = static_cast<py::ssize_t>(p.width);
    const auto h = static_cast<py::ssize_t>(p.height);
    const py::ssize_t rowBytes = 3 * w;
    const unsigned char* first = r.pictureTopDown ? p.bytes : p.bytes + (h - 1) * rowBytes;
    const py::ssize_t rowStride = r.pictureTopDown ? rowBytes : -rowBytes;
    return readOnly(py::array(py::dtype::of<uint8_t>(), {h, w, py::ssize_t{3}},
                              {rowStride, py::ssize_t{3}, py::ssize_t{1}}, first, self));
}

// A table as CSV text, exactly as rugon-report writes its tables.
std::string tableCsv(const std::vector<std::string>& columns, const py::list& rows) {
    Table table;
    table.columns = columns;
    for (const py::handle& row : rows) {
        std::vector<TableCell> cells;
        for (const py::handle& value : row) cells.push_back(cellFromPython(value));
        if (cells.size() != columns.size())
            throw py::value_error("a row has " + std::to_string(cells.size()) + " cells for " +
                                  std::to_string(columns.size()) + " columns");
        table.rows.push_back(std::move(cells));
    }
    return formatCsv(table);
}

}  // namespace

PYBIND11_MODULE(_rugon, m) {
    m.doc() = "Compiled part of the rugon package: use the functions of `rugon` instead.";
    m.attr("version") = rugonVersion();

    py::class_<ImageResult, std::shared_ptr<ImageResult>>(m, "ImageResult")
        .def_property_readonly("status", [](const ImageResult& r) { return statusName(r.status); })
        .def_property_readonly("reason", [](const ImageResult& r) { return text(r.reason); })
        .def_property_readonly("name", [](const ImageResult& r) { return text(r.name); })
        .def_property_readonly("path", [](const ImageResult& r) { return text(r.path); })
        .def_property_readonly("position", [](const ImageResult& r) { return r.position; })
        .def("to_dict", [](const ImageResult& r) { return toPython(imageJson(r)); })
        .def("whole_pixel", &wholePixelArrays)
        .def("edges", &metrologyEdges)
        .def("lines", &metrologyLines)
        .def("spectra", &spectra)
        .def("display", &displayArrays)
        .def("picture", &picture);

    m.def("analyse_file", &measureFileForPython, py::arg("path"), py::arg("options"),
          py::arg("name"), py::arg("position"), py::arg("group") = "");
    m.def("analyse_array", &measureArrayForPython, py::arg("image"), py::arg("options"),
          py::arg("name"), py::arg("position"));
    m.def(
        "check_options",
        [](const std::vector<std::string>& options) {
            int32_t pairing = 1;
            const AnalysisSettings s = settingsFromOptions(options, pairing);
            return settingsDict(s, pairing);
        },
        py::arg("options"));
    m.def("analysis_defaults", &analysisDefaults);
    m.def("generator_defaults", &generatorDefaults);
    m.def("generate", &generate);
    m.def("summary_columns", [] { return makeTable(TableKind::kSummary, {}).columns; });
    m.def("table_csv", &tableCsv, py::arg("columns"), py::arg("rows"));
    m.def("table_columns", [] {
        std::vector<std::pair<std::string, std::vector<std::string>>> tables;
        for (TableKind kind : kTableKinds)
            tables.emplace_back(tableFileName(kind), makeTable(kind, {}).columns);
        return tables;
    });
    m.def(
        "report_header",
        [](const std::vector<std::string>& options) {
            int32_t pairing = 1;
            RunDescription run;
            run.settings = settingsFromOptions(options, pairing);
            return toPython(reportJson(run, {}));
        },
        py::arg("options"));
    m.def(
        "expand_inputs",
        [](const std::vector<std::string>& inputs, const std::string& groupPattern) {
            std::vector<BatchImage> images;
            std::vector<std::string> notes;
            std::string error;
            if (!expandInputs(inputs, groupPattern, images, error, &notes))
                throw py::value_error(error);
            py::list out;
            for (const BatchImage& image : images)
                out.append(py::make_tuple(py::bytes(image.name), py::bytes(image.path),
                                          py::bytes(image.group)));
            py::list said;
            for (const std::string& note : notes)
                said.append(
                    py::reinterpret_steal<py::str>(PyUnicode_DecodeFSDefault(note.c_str())));
            return py::make_tuple(out, said);
        },
        py::arg("inputs"), py::arg("group_pattern") = "");
}
