"""Line roughness of top-down SEM images.

    >>> import rugon
    >>> r = rugon.analyse("examples/mpa_A6_001_crop.png", pixel_size=2.86)
    >>> r                                  # the main figures
    >>> r.cd_average_nm, r.ler_3sigma_unbiased_nm
    >>> r.edges[0].positions_px            # sub-pixel edge, one position per row
    >>> r.to_dict()                        # the image's entry of rugon-report's report.json
    >>> r.to_frame()                       # its summary.csv row (needs pandas)

Every figure comes from the same compiled analysis as rugon-report: `analyse` with the same
settings gives the very numbers of its summary.csv and report.json. Settings are keywords
named as rugon-report's options (`--kernel-sigma` is `kernel_sigma`); `help(rugon.analyse)`
lists them with their defaults and units.

`rugon.generate` draws synthetic SEM images of rough lines with their true roughness;
`rugon.batch` analyses many files on a Dask cluster.
"""

import copy
import numbers
import operator
import os
import re

import numpy as np

from . import _rugon

__version__ = _rugon.version

__all__ = [
    "ImageReadError",
    "Result",
    "analyse",
    "generate",
    "settings",
    "summary_columns",
    "summary_frame",
]

_DEFAULTS = _rugon.analysis_defaults()
_GENERATOR_DEFAULTS = _rugon.generator_defaults()

# Keyword -> rugon-report option.
_OPTION_OF = {
    "pixel_size": "--pixel-size",
    "threshold": "--threshold",
    "kernel": "--kernel",
    "kernel_sigma": "--kernel-sigma",
    "window": "--window",
    "first_edge_opens_line": "--first-edge-opens-line",
    "contrast": "--contrast",
    "orientation": "--orientation",
    "roi": "--roi",
    "databar": "--no-databar",
    "region": "--no-region",
    "max_pixels": "--max-pixels",
    "bootstrap": "--bootstrap",
    "resolution_nm": "--resolution-nm",
}
_KEYWORD_OF = {option: keyword for keyword, option in _OPTION_OF.items()}
_SETTING_KEYWORDS = tuple(_OPTION_OF) + ("no_databar", "no_region")


class ImageReadError(OSError):
    """An image file exists but cannot be read as a picture.

    `filename` is the file, `reason` the analysis' one-line reason.
    """

    def __init__(self, filename, reason):
        super().__init__(f"cannot read {filename!r}: {reason}")
        self.filename = filename
        self.reason = reason

    # Rebuilt from both arguments when it crosses to another process (multiprocessing, Dask),
    # where OSError's own pickling would give __init__ the message alone.
    def __reduce__(self):
        return type(self), (self.filename, self.reason)

    # OSError prints "[Errno None] None: <file>" once filename is set; keep the reason.
    def __str__(self):
        return self.args[0]


def _real(keyword, value):
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{keyword} must be a number, not {type(value).__name__}")
    try:
        return repr(float(value))
    except OverflowError:
        raise ValueError(f"{keyword} is too large for a float") from None


def _integer(keyword, value):
    if isinstance(value, bool):
        raise TypeError(f"{keyword} must be an int, not bool")
    try:
        return str(operator.index(value))
    except TypeError:
        raise TypeError(f"{keyword} must be an int, not {type(value).__name__}") from None


def _flag(keyword, value):
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{keyword} must be True or False, not {value!r}")
    return bool(value)


def _text(keyword, value):
    if not isinstance(value, str):
        raise TypeError(f"{keyword} must be a str, not {type(value).__name__}")
    if not value:
        # "--option=" with nothing after it would take the next option as its value.
        raise ValueError(f"{keyword} must not be empty")
    return value


def _ints(keyword, value, count, separator):
    """A tuple of `count` ints (or the option's own text) as option text."""
    if isinstance(value, str):
        return _text(keyword, value)
    try:
        items = tuple(value)
    except TypeError:
        raise TypeError(f"{keyword} must be a tuple of {count} ints or a str") from None
    if len(items) != count:
        raise ValueError(f"{keyword} must have {count} items, not {len(items)}")
    return separator.join(_integer(keyword, item) for item in items)


def _options(settings):
    """rugon-report options from setting keywords (None or absent: the default)."""
    unknown = sorted(set(settings) - set(_SETTING_KEYWORDS))
    if unknown:
        raise TypeError(f"unknown setting {unknown[0]!r}; the settings are: "
                        + ", ".join(_SETTING_KEYWORDS))
    given = {k: v for k, v in settings.items() if v is not None}
    options = []

    def value(keyword, text):
        options.append(f"{_OPTION_OF[keyword]}={text}")

    if "pixel_size" in given:
        value("pixel_size", _real("pixel_size", given["pixel_size"]))
    if "threshold" in given:
        value("threshold", _real("threshold", given["threshold"]))
    if "kernel" in given:
        value("kernel", _ints("kernel", given["kernel"], 2, "x"))
    if "kernel_sigma" in given:
        value("kernel_sigma", _real("kernel_sigma", given["kernel_sigma"]))
    if "window" in given:
        value("window", _integer("window", given["window"]))
    if "first_edge_opens_line" in given:
        opens = _flag("first_edge_opens_line", given["first_edge_opens_line"])
        value("first_edge_opens_line", "yes" if opens else "no")
    for keyword in ("contrast", "orientation"):
        if keyword in given:
            value(keyword, _text(keyword, given[keyword]))
    if "roi" in given:
        value("roi", _ints("roi", given["roi"], 4, ","))
    for keyword in ("databar", "region"):
        keep = _flag(keyword, given.get(keyword, True))
        if _flag("no_" + keyword, given.get("no_" + keyword, False)):
            keep = False
        if not keep:
            options.append(_OPTION_OF[keyword])
    if "max_pixels" in given:
        value("max_pixels", _integer("max_pixels", given["max_pixels"]))
    if "bootstrap" in given:
        value("bootstrap", _integer("bootstrap", given["bootstrap"]))
    if "resolution_nm" in given:
        value("resolution_nm", _real("resolution_nm", given["resolution_nm"]))
    return options


_OPTION_ERROR = re.compile(r'^option (--[a-z-]+): "(.*)" is not (.*)$', re.S)


def _checked(call, *args):
    """Runs `call`, naming keywords instead of options in a settings error."""
    try:
        return call(*args)
    except ValueError as error:
        match = _OPTION_ERROR.match(str(error))
        if match and match.group(1) in _KEYWORD_OF:
            keyword, text, rule = match.groups()
            raise ValueError(f"{_KEYWORD_OF[keyword]}: {text!r} is not {rule}") from None
        raise


def settings(**keywords):
    """The analysis settings that `keywords` give, checked as `analyse` checks them.

    Returns a dict of every setting (the keywords of `analyse`) with its value in use; raises
    TypeError or ValueError for a bad keyword or value.
    """
    return _checked(_rugon.check_options, _options(keywords))


class Edge:
    """One sub-pixel edge of a measured image.

    edge             the edge's number (bright-edge images: the coarse edge k, 1-based, or
                     0 for an edge started from the edge bands, whose line is no coarse line:
                     to_dict()["subpixel_edge_origin"] says why; step contrast: counted from
                     the left)
    left             True for the left edge of its line
    positions_px     per analysed row, the position in px (1-based columns, NaN where the
                     edge was not found); a read-only view into the result
    missing_rows     rows where it was not found
    pooled_rows      rows found on the mean of themselves and their neighbours (no crossing
                     of their own near the edge)
    in_spectrum      used for the power spectra
    mean_nm          mean position, nm (px without a pixel size)
    sigma_biased_nm  sigma about its least-squares line, image noise included, nm
    sigma_unbiased_nm   the same less the noise floor's share of its spectrum, nm (NaN
                     without a fit)
    failure          why it was not found at all ('' otherwise)
    """

    __slots__ = ("edge", "left", "positions_px", "missing_rows", "pooled_rows", "in_spectrum",
                 "mean_nm", "sigma_biased_nm", "sigma_unbiased_nm", "failure")

    def __init__(self, fields):
        for key in self.__slots__:
            setattr(self, key, fields[key])

    def __repr__(self):
        side = "left" if self.left else "right"
        return (f"<rugon.Edge {self.edge} ({side}): mean {self.mean_nm:.3f}, "
                f"{len(self.positions_px)} rows, {self.missing_rows} missing>")


class Line:
    """One line of a measured image (sub-pixel edges).

    left_edge, right_edge    indices (0-based) into Result.edges
    widths_nm, centres_nm    per analysed row (NaN where an edge is missing); read-only views
    mean_width_nm            mean of the finite widths (the sub-pixel one: lines.csv's
                             subpixel_mean_width_nm, not its whole-pixel mean_width_nm)
    in_spectrum              both edges used for the spectra
    edge_psd_sum_nm3         sum of the PSDs of its edges in the spectra, at
                             Result.spectra['frequency_per_nm'] (spectrum_edges of them)
    width_psd_nm3, placement_psd_nm3   PSD of its widths and centres, nm^3
    width_sigma_biased_nm, width_sigma_unbiased_nm   sigma of its widths about their
                             least-squares line, nm, with the image noise and without it
                             (NaN without a fit)
    placement_sigma_biased_nm, placement_sigma_unbiased_nm   the same of its centres
    """

    __slots__ = ("left_edge", "right_edge", "widths_nm", "centres_nm", "mean_width_nm",
                 "in_spectrum", "edge_psd_sum_nm3", "spectrum_edges", "width_psd_nm3",
                 "placement_psd_nm3", "width_sigma_biased_nm", "width_sigma_unbiased_nm",
                 "placement_sigma_biased_nm", "placement_sigma_unbiased_nm")

    def __init__(self, fields):
        for key in self.__slots__:
            setattr(self, key, fields[key])

    def __repr__(self):
        return (f"<rugon.Line edges {self.left_edge}-{self.right_edge}: mean width "
                f"{self.mean_width_nm:.3f}>")


def _pandas(what, instead="to_dict()"):
    try:
        import pandas
    except ImportError:
        raise ImportError(f"{what} needs pandas (Debian: apt install python3-pandas); "
                          f"{instead} gives the same data without it") from None
    return pandas


def _path_bytes(keyword, path):
    """os.fsencode(path), refusing a NUL byte: the file system would cut the name there and
    open another file than the one named."""
    encoded = os.fsencode(path)
    if b"\0" in encoded:
        raise ValueError(f"{keyword}: embedded null byte")
    return encoded


def _summary_of(image):
    """The summary.csv row of an image's report.json entry, as a dict in column order."""
    summary = image["summary"]
    row = {}
    for column in summary_columns():
        if column in ("image_number", "image", "status"):
            row[column] = image[column]
        else:
            row[column] = summary.get(column)
    return row


class Result:
    """Everything measured of one image: the figures, the series and the setup.

    The summary.csv columns are attributes (`r.cd_average_nm`, `r.lwr_3sigma_unbiased_nm`,
    ...): None where the figure could not be measured (the reason is in
    `to_dict()['reasons']`). Lengths are nm, or px when the image has no pixel size
    (`length_unit`). Arrays are read-only views into the result; copy them to change them.
    """

    __slots__ = ("_record", "_image", "_edges", "_lines")

    def __init__(self, record):
        self._record = record
        self._image = record.to_dict()
        self._edges = None
        self._lines = None

    def __reduce__(self):
        raise TypeError("a rugon.Result cannot be pickled; send to_dict() (plain data) "
                        "between processes, as rugon.batch does")

    # --- what the image is and how it ended
    @property
    def status(self):
        """'measured', 'missing', 'unreadable' or 'no_line'."""
        return self._record.status

    @property
    def measured(self):
        """True when at least one line was measured."""
        return self._record.status == "measured"

    @property
    def reason(self):
        """One line on why the image was not measured ('' when it was)."""
        return self._record.reason

    @property
    def name(self):
        return self._record.name

    @property
    def path(self):
        return self._record.path

    @property
    def setup(self):
        """How the picture was prepared (pixel size and its source, orientation, contrast,
        data bar, analysed area and rows); None when it was not read."""
        setup = self._image.get("setup")
        return None if setup is None else copy.deepcopy(setup)

    @property
    def flags(self):
        """Quality flags ('edge_rows_missing', 'pixel_size_missing', ...)."""
        return list(self._image.get("flags", []))

    @property
    def length_unit(self):
        """'nm', or 'px' when the image has no pixel size; None when it was not read."""
        return self._image["summary"].get("length_unit")

    @property
    def summary(self):
        """The image's summary.csv row: column -> value (None where empty)."""
        return _summary_of(self._image)

    def __getattr__(self, name):
        image = object.__getattribute__(self, "_image")
        if name in _COLUMNS:
            return _summary_of(image)[name]
        raise AttributeError(f"'Result' object has no attribute {name!r}")

    def __dir__(self):
        return sorted(set(object.__dir__(self)) | set(summary_columns()))

    # --- series
    @property
    def edges(self):
        """The sub-pixel edges, left to right (list of Edge)."""
        if self._edges is None:
            self._edges = [Edge(e) for e in self._record.edges()]
        return list(self._edges)

    @property
    def lines(self):
        """The lines measured from the sub-pixel edges (list of Line)."""
        if self._lines is None:
            self._lines = [Line(line) for line in self._record.lines()]
        return list(self._lines)

    @property
    def edge_positions_px(self):
        """All sub-pixel edges as one array, edges x rows, px (1-based columns, NaN where
        missing). A new array (the edges are stored apart); `edges[k].positions_px` are
        views."""
        edges = self.edges
        if not edges:
            return np.empty((0, 0))
        return np.stack([e.positions_px for e in edges])

    @property
    def spectra(self):
        """Averaged power spectra: 'frequency_per_nm' (1/nm), and for 'ler', 'lwr', 'lpr'
        the averaged PSD 'psd_nm3', the fitted model 'model_nm3' (empty without a fit) and
        'series' (how many were averaged); 'first_row', 'last_row' (1-based) give the rows
        used, counted in the analysed area as the edges' 'positions_px' (to_dict() gives them in
        the file's rows, as report.json)."""
        return self._record.spectra()

    @property
    def whole_pixel(self):
        """The whole-pixel analysis' series: 'coarse_columns' (1-based band columns),
        'processed_edges' (k), per coarse edge 'edge_means_nm', 'edge_spreads_nm',
        'edge_sigmas_nm', 'edge_skewness', 'edge_kurtosis' (0 for unprocessed edges),
        'lags_px' and 'average_hhcf_px' (the HHCF stops short of the longest lags: plot it
        against lags_px[:len(average_hhcf_px)]), per line 'line_means_nm' and
        'line_sigmas_nm', and
        'widths_px' (samples x lines)."""
        return self._record.whole_pixel()

    @property
    def display(self):
        """The plotted curves of the whole-pixel analysis, as report.json's 'display'."""
        return self._record.display()

    @property
    def picture(self):
        """The picture with the measured edges in red (sub-pixel edges started from the edge
        bands in blue beside the whole-pixel ones), rows x columns x 3 (RGB bytes, top row
        first); None when the image was not read."""
        return self._record.picture()

    # --- conversions
    def to_dict(self):
        """The image's entry of rugon-report's report.json: plain Python objects (None for
        NaN), ready for json.dump. rugon-report also names its picture files under
        'pictures'; here that is empty."""
        return self._record.to_dict()

    def to_frame(self):
        """The summary.csv row as a one-row pandas DataFrame."""
        pandas = _pandas("to_frame()")
        return pandas.DataFrame([self.summary], columns=summary_columns())

    def edges_frame(self):
        """edges.csv's rows of this image as a pandas DataFrame."""
        return _pandas("edges_frame()").DataFrame(self._image["edges"])

    def lines_frame(self):
        """lines.csv's rows of this image as a pandas DataFrame."""
        return _pandas("lines_frame()").DataFrame(self._image["lines"])

    def psd_frame(self):
        """psd.csv's rows of this image as a pandas DataFrame."""
        return _pandas("psd_frame()").DataFrame(self._image["psd"])

    def __repr__(self):
        head = f"<rugon.Result {self.name!r}: {self.status}"
        if not self.measured:
            return f"{head} ({self.reason})>"
        s = self.summary
        unit = s["length_unit"]

        def number(value, digits=2):
            return "n/a" if value is None else f"{value:.{digits}f}"

        def pm(value, ci):
            text = number(value)
            return text if value is None or ci is None else f"{text} +- {number(ci)}"

        if unit == "px":
            size = "no pixel size, lengths in px"
        elif s["pixel_height_nm"] == s["pixel_size_nm"]:
            size = f"{s['pixel_size_nm']:g} nm/px ({s['pixel_size_source']})"
        else:
            size = (f"{s['pixel_size_nm']:g} x {s['pixel_height_nm']:g} nm/px "
                    f"({s['pixel_size_source']})")
        lines = [
            f"{head}, {s['lines']} lines, {size}, contrast {s['contrast']}",
            f"  CD {number(s['cd_average_nm'])} {unit}, CD variation "
            f"{number(s['cd_variation_nm'])}, LWR 3sigma {number(s['lwr_3sigma_nm'])}, "
            f"a {number(s['a'], 3)}, ksi {number(s['ksi_nm'])}",
            f"  sub-pixel CD {pm(s['cd_subpixel_nm'], s['cd_subpixel_ci95_nm'])}; unbiased "
            f"3sigma: LER {pm(s['ler_3sigma_unbiased_nm'], s['ler_3sigma_unbiased_ci95_nm'])}, "
            f"LWR {pm(s['lwr_3sigma_unbiased_nm'], s['lwr_3sigma_unbiased_ci95_nm'])}, "
            f"LPR {pm(s['lpr_3sigma_unbiased_nm'], s['lpr_3sigma_unbiased_ci95_nm'])}",
            f"  PSD fit {s['psd_fit_status']}: xi {pm(s['psd_xi_nm'], s['psd_xi_ci95_nm'])}, "
            f"alpha {pm(s['psd_alpha'], s['psd_alpha_ci95'])}; flags: {s['flags'] or 'none'}>",
        ]
        return "\n".join(lines)


def summary_columns():
    """The columns of summary.csv, in order."""
    return list(_COLUMNS)


_COLUMNS = tuple(_rugon.summary_columns())


def summary_frame(results):
    """The summary.csv table of several results (Result objects or to_dict() entries) as a
    pandas DataFrame."""
    pandas = _pandas("summary_frame()")
    rows = [r.summary if isinstance(r, Result) else _summary_of(r) for r in results]
    return pandas.DataFrame(rows, columns=summary_columns())


def analyse(image, pixel_size=_DEFAULTS["pixel_size"], *,
            threshold=_DEFAULTS["threshold"],
            kernel=_DEFAULTS["kernel"],
            kernel_sigma=_DEFAULTS["kernel_sigma"],
            window=_DEFAULTS["window"],
            first_edge_opens_line=_DEFAULTS["first_edge_opens_line"],
            contrast=_DEFAULTS["contrast"],
            orientation=_DEFAULTS["orientation"],
            roi=_DEFAULTS["roi"],
            databar=_DEFAULTS["databar"],
            region=_DEFAULTS["region"],
            max_pixels=_DEFAULTS["max_pixels"],
            bootstrap=_DEFAULTS["bootstrap"],
            resolution_nm=_DEFAULTS["resolution_nm"],
            no_databar=None,
            no_region=None,
            name=None,
            position=1,
            errors="raise"):
    """Measures the line roughness of one image; returns a Result.

    image        a file path (str, bytes or os.PathLike: any format rugon-report reads), or
                 a 2-D numpy array (rows, columns; row 0 the top) of grey levels:
                 uint8; uint16 (the 8 bits from the highest bit the array uses, as
                 for 16-bit files); or float, levels 0..255 (finite). An array has no metadata: its pixel size is
                 `pixel_size` or none.

    The settings are rugon-report's options (same checks, same defaults):

    pixel_size   nm per pixel, above 0. Default None: from the file's metadata; without
                 one, every length figure is in px (length_unit 'px').
    threshold    edge level as a fraction of the row maximum, above 0 and at most 1.
                 Default {threshold}.
    kernel       smoothing kernel size (rows, columns), 1..255 each, or the text 'RxC'.
                 Default {kernel}.
    kernel_sigma width of the smoothing kernel, px. Default {kernel_sigma}.
    window       half-width of the edge search window, px. Default {window}.
    first_edge_opens_line   True: edges 1-2, 3-4... form lines; False: edges 2-3, 4-5...
                 Default {first_edge_opens_line}.
    contrast     'auto', 'bright-edge' (a bright band at each edge), 'bright-line' or
                 'dark-line' (a plain step between line and space). Default {contrast}.
    orientation  'auto', 'vertical' or 'horizontal' (analysed turned by 90 degrees).
                 Default {orientation}.
    roi          (x, y, width, height): analyse only this rectangle, px, x and y 0-based
                 from the top-left pixel (or the text 'X,Y,W,H'). Default None: the rows
                 where every line runs, without the data bar.
    databar      leave out the microscope's information bar. Default {databar}.
    region       analyse only the rows where every line runs. Default {region}.
    max_pixels   largest picture decoded, pixels; larger ones are refused.
                 Default {max_pixels}.
    bootstrap    bootstrap resamples over lines for the 95 % intervals; 0 for none (under 20
                 give none either, with the reason).
                 Default {bootstrap}.
    resolution_nm   the microscope's resolution (Gaussian sigma of its blur), nm, 0 or more:
                 the spectra's roll-off is held at it instead of fitted (images with a pixel
                 size only). Default None: fitted.
    no_databar, no_region   the command-line spelling: True is databar=False, region=False.

    name, position   how the image is listed in to_dict() and the summary (default: the
                 path as given, or '<array>'; position 1).
    errors       'raise' (default): a missing file raises FileNotFoundError, a file that
                 cannot be read as a picture raises rugon.ImageReadError (an OSError) with
                 the reason. 'status': return the Result with that status and reason
                 instead, as a batch does. An image without a measurable line is never an
                 error: its status is 'no_line' and its figures are None.

    A bad setting raises TypeError (wrong type) or ValueError (wrong value), naming it; a
    bad array raises TypeError (dtype) or ValueError (shape, empty, non-finite levels).
    The analysis runs without the GIL, so threads analyse images in parallel.
    """
    if errors not in ("raise", "status"):
        raise ValueError(f"errors must be 'raise' or 'status', not {errors!r}")
    options = _options({
        "pixel_size": pixel_size, "threshold": threshold, "kernel": kernel,
        "kernel_sigma": kernel_sigma, "window": window,
        "first_edge_opens_line": first_edge_opens_line, "contrast": contrast,
        "orientation": orientation, "roi": roi, "databar": databar, "region": region,
        "max_pixels": max_pixels, "bootstrap": bootstrap, "resolution_nm": resolution_nm,
        "no_databar": no_databar,
        "no_region": no_region,
    })
    position = int(_integer("position", position))
    if not 1 <= position <= 2**31 - 1:
        raise ValueError(f"position must be 1 or more, not {position}")
    if isinstance(image, (str, bytes, os.PathLike)):
        path = _path_bytes("image", image)
        listed = path if name is None else os.fsencode(name)
        record = _checked(_rugon.analyse_file, path, options, listed, position)
    elif isinstance(image, np.ndarray) or hasattr(image, "__array_interface__"):
        listed = b"<array>" if name is None else os.fsencode(name)
        record = _checked(_rugon.analyse_array, np.asarray(image), options, listed, position)
    else:
        raise TypeError("image must be a file path or a 2-D numpy array, not "
                        f"{type(image).__name__}")
    if errors == "raise" and record.status in ("missing", "unreadable"):
        filename = os.fsdecode(image) if record.path else listed.decode(errors="replace")
        if record.status == "missing":
            raise FileNotFoundError(2, record.reason, filename)
        raise ImageReadError(filename, record.reason)
    return Result(record)


analyse.__doc__ = analyse.__doc__.format(
    **{key: repr(value) for key, value in _DEFAULTS.items()})


def generate(**settings):
    """Draws a synthetic top-down SEM image of rough vertical lines with its true roughness.

    Returns (image, truth): image a read-only uint8 array (rows, columns), top row first;
    truth a dict as rugon-gen-sem's JSON ('image', 'roughness', 'noise', 'line_count',
    'model' and 'realised' figures in px, NaN without a whole line) plus 'edges': per drawn
    edge its 'kind' ('left', 'right', 'lone'), 'nominal_px' and 'positions_px' (one per
    row, 1-based columns: column X covers X - 0.5 .. X + 0.5).

    Settings (lengths in px, levels in grey levels 0..255), with their defaults:
    {settings}
    The same settings and seed give the same image. Bad settings raise TypeError or
    ValueError.
    """
    unknown = sorted(set(settings) - set(_GENERATOR_DEFAULTS))
    if unknown:
        raise TypeError(f"generate() got an unexpected keyword argument {unknown[0]!r}")
    converted = {}
    for key, value in settings.items():
        default = _GENERATOR_DEFAULTS[key]
        if isinstance(default, bool):
            converted[key] = _flag(key, value)
        elif isinstance(default, int):
            converted[key] = int(_integer(key, value))
        elif isinstance(default, float):
            _real(key, value)
            converted[key] = float(value)
        else:
            converted[key] = _text(key, value)
    return _rugon.generate(**converted)


_GENERATOR_HELP = {
    "width": "columns",
    "height": "rows",
    "pitch": "distance from one line's left edge to the next one's",
    "cd": "line width, more than twice band_width for bright-edge images",
    "first_edge": "nominal left edge of the first line (1-based column)",
    "line_count": "number of lines; 0 fits as many as lie inside columns 12 .. width - 12",
    "band_width": "width of the bright band inside each line edge",
    "contrast": "'bright-edges', 'bright-line' or 'dark-line'",
    "roughness_sigma": "standard deviation of every edge's deviation",
    "correlation_length": "correlation length xi of the roughness, rows",
    "roughness_model": "'autoregressive' (correlation exp(-lag/xi)) or 'spectral' "
                       "(PSD ~ 1/(1 + (2 pi f xi)^2)^(alpha + 1/2))",
    "roughness_exponent": "alpha of the spectral model, 0..4",
    "edge_correlation": "correlation of each line's left and right edge, -1..1",
    "seed": "random seed",
    "background_level": "grey level of the spaces",
    "body_level": "grey level of the line body (bright-edge images)",
    "band_level": "grey level of the edge bands",
    "blur_sigma": "Gaussian blur, px; 0 for none",
    "noise_sigma": "additive Gaussian noise, grey levels; 0 for none",
    "shot_noise_frames": "shot noise: each pixel the mean of that many frames; 0 for none",
    "electrons_per_level": "mean electrons per frame and grey level, above 0",
    "cut_last_line": "one more line cut by the right border (an odd number of edges)",
    "trailing_lone_band": "a lone band after the last line",
    "leading_lone_band": "a lone band before the first line",
}

generate.__doc__ = generate.__doc__.replace("{settings}", "\n    ".join(
    f"{key:<20} {_GENERATOR_HELP.get(key, '')} [{_GENERATOR_DEFAULTS[key]!r}]"
    for key in _GENERATOR_DEFAULTS))
