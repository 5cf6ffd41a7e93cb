# Type stubs of the rugon package.
import os
from typing import Any, Literal, Sequence, overload

import numpy as np
import numpy.typing as npt

__version__: str

ImageInput = str | bytes | os.PathLike[str] | os.PathLike[bytes] | npt.NDArray[np.uint8] | npt.NDArray[np.uint16] | npt.NDArray[np.floating[Any]]
Contrast = Literal["auto", "bright-edge", "bright-line", "dark-line"]
Orientation = Literal["auto", "vertical", "horizontal"]

class ImageReadError(OSError):
    filename: str
    reason: str
    def __init__(self, filename: str, reason: str) -> None: ...

class Edge:
    edge: int
    left: bool
    positions_px: npt.NDArray[np.float64]
    missing_rows: int
    pooled_rows: int
    in_spectrum: bool
    mean_nm: float
    sigma_biased_nm: float
    sigma_unbiased_nm: float
    failure: str

class Line:
    left_edge: int
    right_edge: int
    widths_nm: npt.NDArray[np.float64]
    centres_nm: npt.NDArray[np.float64]
    mean_width_nm: float
    in_spectrum: bool
    edge_psd_sum_nm3: npt.NDArray[np.float64]
    spectrum_edges: int
    width_psd_nm3: npt.NDArray[np.float64]
    placement_psd_nm3: npt.NDArray[np.float64]
    width_sigma_biased_nm: float
    width_sigma_unbiased_nm: float
    placement_sigma_biased_nm: float
    placement_sigma_unbiased_nm: float

class Result:
    @property
    def status(self) -> Literal["measured", "missing", "unreadable", "no_line"]: ...
    @property
    def measured(self) -> bool: ...
    @property
    def reason(self) -> str: ...
    @property
    def name(self) -> str: ...
    @property
    def path(self) -> str: ...
    @property
    def setup(self) -> dict[str, Any] | None: ...
    @property
    def flags(self) -> list[str]: ...
    @property
    def length_unit(self) -> Literal["nm", "px"] | None: ...
    @property
    def summary(self) -> dict[str, int | float | str | None]: ...
    @property
    def edges(self) -> list[Edge]: ...
    @property
    def lines(self) -> list[Line]: ...
    @property
    def edge_positions_px(self) -> npt.NDArray[np.float64]: ...
    @property
    def spectra(self) -> dict[str, Any]: ...
    @property
    def whole_pixel(self) -> dict[str, Any]: ...
    @property
    def display(self) -> dict[str, npt.NDArray[np.float64]]: ...
    @property
    def picture(self) -> npt.NDArray[np.uint8] | None: ...
    # The summary.csv columns (None where empty).
    image_number: int
    image: str
    subpixel_lines: int | None
    group: str | None
    pixel_size_nm: float | None
    pixel_height_nm: float | None
    pixel_size_source: str | None
    rows_used: str | None
    orientation: str | None
    contrast: str | None
    databar_rows: int | None
    edges_found: int | None
    edges_processed: int | None
    cd_average_nm: float | None
    cd_variation_nm: float | None
    lwr_3sigma_nm: float | None
    lwr_3sigma_spread_nm: float | None
    lwr_3sigma_infinite_nm: float | None
    a: float | None
    ksi_nm: float | None
    skewness_mean: float | None
    kurtosis_mean: float | None
    cd_subpixel_nm: float | None
    cd_subpixel_ci95_nm: float | None
    ler_3sigma_biased_nm: float | None
    ler_3sigma_unbiased_nm: float | None
    ler_3sigma_unbiased_ci95_nm: float | None
    lwr_3sigma_biased_nm: float | None
    lwr_3sigma_unbiased_nm: float | None
    lwr_3sigma_unbiased_ci95_nm: float | None
    lpr_3sigma_biased_nm: float | None
    lpr_3sigma_unbiased_nm: float | None
    lpr_3sigma_unbiased_ci95_nm: float | None
    edge_correlation: float | None
    psd_xi_nm: float | None
    psd_xi_ci95_nm: float | None
    psd_alpha: float | None
    psd_alpha_ci95: float | None
    psd0_nm3: float | None
    noise_floor_nm3: float | None
    psd_resolution_nm: float | None
    psd_fit_status: str | None
    missing_edge_rows: int | None
    pooled_edge_rows: int | None
    line_tilt_deg: float | None
    def __getattr__(self, name: str) -> Any: ...
    def to_dict(self) -> dict[str, Any]: ...
    def to_frame(self) -> Any: ...
    def edges_frame(self) -> Any: ...
    def lines_frame(self) -> Any: ...
    def psd_frame(self) -> Any: ...

def analyse(
    image: ImageInput,
    pixel_size: float | None = ...,
    *,
    threshold: float = ...,
    kernel: tuple[int, int] | str = ...,
    kernel_sigma: float = ...,
    window: int = ...,
    first_edge_opens_line: bool = ...,
    contrast: Contrast = ...,
    orientation: Orientation = ...,
    roi: tuple[int, int, int, int] | str | None = ...,
    databar: bool = ...,
    region: bool = ...,
    max_pixels: int = ...,
    bootstrap: int = ...,
    resolution_nm: float | None = ...,
    no_databar: bool | None = ...,
    no_region: bool | None = ...,
    name: str | bytes | None = ...,
    position: int = ...,
    errors: Literal["raise", "status"] = ...,
) -> Result: ...

def settings(
    *,
    pixel_size: float | None = ...,
    threshold: float = ...,
    kernel: tuple[int, int] | str = ...,
    kernel_sigma: float = ...,
    window: int = ...,
    first_edge_opens_line: bool = ...,
    contrast: Contrast = ...,
    orientation: Orientation = ...,
    roi: tuple[int, int, int, int] | str | None = ...,
    databar: bool = ...,
    region: bool = ...,
    max_pixels: int = ...,
    bootstrap: int = ...,
    resolution_nm: float | None = ...,
    no_databar: bool | None = ...,
    no_region: bool | None = ...,
) -> dict[str, Any]: ...

def generate(
    *,
    width: int = ...,
    height: int = ...,
    pitch: float = ...,
    cd: float = ...,
    first_edge: float = ...,
    line_count: int = ...,
    band_width: float = ...,
    contrast: Literal["bright-edges", "bright-line", "dark-line"] = ...,
    roughness_sigma: float = ...,
    correlation_length: float = ...,
    roughness_model: Literal["autoregressive", "spectral"] = ...,
    roughness_exponent: float = ...,
    edge_correlation: float = ...,
    seed: int = ...,
    background_level: float = ...,
    body_level: float = ...,
    band_level: float = ...,
    blur_sigma: float = ...,
    noise_sigma: float = ...,
    shot_noise_frames: int = ...,
    electrons_per_level: float = ...,
    cut_last_line: bool = ...,
    trailing_lone_band: bool = ...,
    leading_lone_band: bool = ...,
) -> tuple[npt.NDArray[np.uint8], dict[str, Any]]: ...

def summary_columns() -> list[str]: ...
def summary_frame(results: Sequence[Result | dict[str, Any]]) -> Any: ...
