"""Shared fixtures of the Python tests: small generated images written as files, and runs of
rugon-report on them. Run by CTest with PYTHONPATH at the build's python folder; by hand:

    PYTHONPATH=build/python RUGON_REPORT=build/src/report/rugon-report \
        /usr/bin/python3 -m pytest -q tests/python
"""

import csv
import io
import json
import os
import struct
import subprocess
import zlib
from pathlib import Path

import numpy as np
import pytest

import rugon

ROOT = Path(__file__).resolve().parents[2]


def pytest_configure(config):
    # Debian's tornado warns about how distributed starts its event loop.
    config.addinivalue_line("filterwarnings",
                            "ignore:make_current is deprecated:DeprecationWarning")


def write_pgm(path, image):
    image = np.ascontiguousarray(image, dtype=np.uint8)
    with open(path, "wb") as out:
        out.write(b"P5\n%d %d\n255\n" % (image.shape[1], image.shape[0]))
        out.write(image.tobytes())


def write_png(path, image):
    """A grey PNG of 8 or 16 bits from a uint8 or uint16 array (big-endian samples)."""
    depth = 16 if image.dtype == np.uint16 else 8
    rows = np.ascontiguousarray(image, dtype=">u2" if depth == 16 else np.uint8)
    raw = b"".join(b"\x00" + row.tobytes() for row in rows)

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    header = struct.pack(">IIBBBBB", image.shape[1], image.shape[0], depth, 0, 0, 0, 0)
    with open(path, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
                  + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))


def write_bmp(path, image):
    """A 24-bit BMP (rows stored bottom first) of a uint8 grey array."""
    h, w = image.shape
    stride = (3 * w + 3) // 4 * 4
    pixels = bytearray()
    for row in image[::-1]:
        line = np.repeat(row.astype(np.uint8), 3).tobytes()
        pixels += line + b"\x00" * (stride - len(line))
    header = struct.pack("<2sIHHI", b"BM", 54 + len(pixels), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    with open(path, "wb") as out:
        out.write(header + info + bytes(pixels))


# Small images of known kinds: bright edge bands (the whole-pixel analysis applies), a
# spectral roughness with shot noise, and plain dark lines (step contrast).
GENERATED = {
    "bands.pgm": dict(width=256, height=512, seed=11),
    "spectral.pgm": dict(width=256, height=512, seed=12, roughness_model="spectral",
                         roughness_exponent=0.8, shot_noise_frames=4),
    "dark.pgm": dict(width=256, height=512, seed=13, contrast="dark-line"),
}


@pytest.fixture(scope="session")
def generated(tmp_path_factory):
    """name -> (path, array) of the generated images, written as PGM files."""
    folder = tmp_path_factory.mktemp("generated")
    images = {}
    for name, settings in GENERATED.items():
        image, _ = rugon.generate(**settings)
        path = folder / name
        write_pgm(path, image)
        images[name] = (str(path), image)
    return images


@pytest.fixture(scope="session")
def report_binary():
    path = os.environ.get("RUGON_REPORT", str(ROOT / "build/src/report/rugon-report"))
    if not os.access(path, os.X_OK):
        pytest.fail(f"rugon-report not found at {path} (set RUGON_REPORT)")
    return path


@pytest.fixture(scope="session")
def run_report(report_binary, tmp_path_factory):
    """Runs rugon-report on `files` with `options`; returns (summary.csv text, report.json,
    the output folder)."""

    def run(files, options):
        out = tmp_path_factory.mktemp("report")
        done = subprocess.run([report_binary, "-o", str(out), "-j", "2", *options, *files],
                              capture_output=True, text=True, timeout=240)
        assert done.returncode in (0, 1), done.stderr
        summary = (out / "summary.csv").read_text(encoding="utf-8")
        report = json.loads((out / "report.json").read_text(encoding="utf-8"))
        return summary, report, out

    return run


def without_pictures(image):
    """An image's report.json entry without the picture file names, which only rugon-report
    writes."""
    image = dict(image)
    image.pop("pictures")
    return image


def csv_rows(text):
    return list(csv.reader(io.StringIO(text)))
