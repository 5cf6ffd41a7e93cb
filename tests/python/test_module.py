"""The module against rugon-report, array input against file input, bad input, and the
result's arrays."""

import ast
import concurrent.futures
import gc
import inspect
import os
import pickle
from pathlib import Path

import numpy as np
import pytest

import rugon
from conftest import ROOT, csv_rows, without_pictures, write_bmp, write_pgm, write_png
from rugon import _rugon

EXAMPLES = Path(os.environ.get("RUGON_EXAMPLES", ROOT / "examples"))


def module_run(files, **settings):
    """The module's summary.csv text and report entries for `files`, listed as rugon-report
    lists them."""
    results = [rugon.analyse(f, position=k, errors="status", **settings)
               for k, f in enumerate(files, start=1)]
    rows = [list(r.summary.values()) for r in results]
    return _rugon.table_csv(rugon.summary_columns(), rows), [r.to_dict() for r in results]


@pytest.mark.parametrize("options, settings", [
    (["--pixel-size", "2.86", "--bootstrap", "40", "--resolution-nm", "2.5"],
     dict(pixel_size=2.86, bootstrap=40, resolution_nm=2.5)),
    # Every other setting away from its default.
    (["--threshold", "0.6", "--kernel", "3x7", "--kernel-sigma", "1.5", "--window", "8",
      "--first-edge-opens-line", "no", "--contrast", "bright-edge", "--orientation",
      "vertical", "--no-databar", "--no-region", "--max-pixels", "2000000", "--bootstrap", "0"],
     dict(threshold=0.6, kernel=(3, 7), kernel_sigma=1.5, window=8,
          first_edge_opens_line=False, contrast="bright-edge", orientation="vertical",
          databar=False, no_region=True, max_pixels=2000000, bootstrap=0)),
    (["--roi", "20,30,200,400", "--bootstrap", "0"], dict(roi=(20, 30, 200, 400), bootstrap=0)),
], ids=["pixel-size", "every-setting", "roi"])
def test_figures_and_entries_equal_those_of_rugon_report(generated, run_report, tmp_path,
                                                         options, settings):
    unreadable = tmp_path / "not-an-image.png"
    unreadable.write_text("plain text\n")
    files = [str(EXAMPLES / "mpa_A6_001_crop.png")] if "--roi" not in options else []
    files += [path for path, _ in generated.values()]
    files += [str(tmp_path / "missing.png"), str(unreadable)]
    summary, report, _ = run_report(files, options)
    module_summary, entries = module_run(files, **settings)
    # The same text to the last digit: every figure, empty cell and status.
    assert module_summary == summary
    assert len(csv_rows(summary)) == len(files) + 1
    for entry, expected in zip(entries, report["images"]):
        assert entry["pictures"] == {}
        assert without_pictures(entry) == without_pictures(expected)
    statuses = [row[2] for row in csv_rows(summary)[1:]]
    assert statuses[-2:] == ["missing", "unreadable"]
    assert "measured" in statuses
    # A given resolution is held in every fit; otherwise it is fitted.
    held = "--resolution-nm" in options
    fits = [figure for entry in report["images"] if "spectra" in entry
            for figure in (entry["spectra"][k] for k in ("ler", "lwr", "lpr"))
            if figure["fit_status"].startswith("converged")]
    assert fits
    for figure in fits:
        assert figure["resolution_held"] == held
        if held:
            assert figure["resolution_nm"] == 2.5
        # xi and alpha have intervals unless the fit ended at a bound.
        within = "alpha at" not in figure["fit_status"] and "xi at" not in figure["fit_status"]
        for key in ("xi_ci95_nm", "alpha_ci95"):
            assert (figure[key] is not None and figure[key] > 0) == within, (key, figure)
    assert any(figure["xi_ci95_nm"] is not None for figure in fits)


def test_array_input_equals_file_input(generated, tmp_path):
    path, image = generated["bands.pgm"]

    def figures(result):
        entry = result.to_dict()
        for key in ("image", "path"):
            entry.pop(key)
        entry["setup"].pop("format")
        return entry

    from_file = figures(rugon.analyse(path, pixel_size=2.0))
    assert from_file["status"] == "measured"
    # uint8 in any memory layout, and the same levels as floats.
    for array in (image, np.asfortranarray(image), image.astype(np.float64),
                  image.astype(np.float32)):
        assert figures(rugon.analyse(array, pixel_size=2.0)) == from_file
    # 16-bit: the 8 bits from the highest bit the picture uses, as a 16-bit PNG file is read:
    # the high byte of full-range data, the top of 12-bit data, 8-bit data saved as 16 bits as
    # it is (before, the last two came out as 16 grey levels and as a black picture).
    low = np.random.default_rng(5).integers(0, 256, image.shape).astype(np.uint16)
    for name, wide in (("full", (image.astype(np.uint16) << 8) | low),
                       ("twelve", (image.astype(np.uint16) << 4) | (low >> 4)),
                       ("eight", image.astype(np.uint16))):
        png16 = tmp_path / f"{name}.png"
        write_png(png16, wide)
        assert figures(rugon.analyse(str(png16), pixel_size=2.0)) == from_file, name
        assert figures(rugon.analyse(wide, pixel_size=2.0)) == from_file, name
        assert figures(rugon.analyse(wide.astype(">u2"), pixel_size=2.0)) == from_file, name


def test_bad_input_raises_with_a_clear_message(generated, tmp_path):
    _, image = generated["bands.pgm"]
    bad_arrays = [
        (image.astype(np.int64), TypeError, "uint8, uint16 or float"),
        (image > 100, TypeError, "bool"),
        (np.stack([image] * 3, axis=-1), ValueError, "2-D"),
        (image[0], ValueError, "2-D"),
        (image[:0], ValueError, "empty"),
        (np.where(image > 200, np.nan, image.astype(float)), ValueError, "0..255"),
        (image.astype(float) * 2.0, ValueError, "0..255"),
    ]
    for array, error, words in bad_arrays:
        with pytest.raises(error, match=words):
            rugon.analyse(array)
    with pytest.raises(ValueError, match="larger than the limit"):
        rugon.analyse(image, max_pixels=1000)
    with pytest.raises(TypeError, match="file path or a 2-D numpy array"):
        rugon.analyse([[1, 2], [3, 4]])

    missing = tmp_path / "missing.png"
    with pytest.raises(FileNotFoundError) as found:
        rugon.analyse(missing)
    assert found.value.filename == str(missing)
    assert rugon.analyse(missing, errors="status").status == "missing"
    text = tmp_path / "text.png"
    text.write_text("not a picture\n")
    with pytest.raises(rugon.ImageReadError) as unreadable:
        rugon.analyse(text)
    assert isinstance(unreadable.value, OSError) and unreadable.value.reason
    assert str(unreadable.value) == f"cannot read {str(text)!r}: {unreadable.value.reason}"
    # It crosses to other processes (multiprocessing, Dask) whole: a pool hung on it.
    again = pickle.loads(pickle.dumps(unreadable.value))
    assert (type(again), again.filename, again.reason, str(again)) == \
        (rugon.ImageReadError, unreadable.value.filename, unreadable.value.reason,
         str(unreadable.value))
    with pytest.raises(rugon.ImageReadError):
        rugon.analyse(tmp_path)  # a folder
    # A NUL byte would cut the name: another file would be measured under it.
    with pytest.raises(ValueError, match="embedded null byte"):
        rugon.analyse(generated["bands.pgm"][0] + "\0.missing")

    bad_settings = [
        (dict(threshold=2), ValueError, "threshold"),
        (dict(pixel_size=-1), ValueError, "pixel_size"),
        (dict(pixel_size=float("nan")), ValueError, "pixel_size"),
        (dict(kernel=(0, 5)), ValueError, "kernel"),
        (dict(kernel=(5,)), ValueError, "kernel"),
        (dict(kernel="5x"), ValueError, "kernel"),
        (dict(contrast="bright"), ValueError, "contrast"),
        (dict(orientation=1), TypeError, "orientation"),
        (dict(orientation=""), ValueError, "orientation must not be empty"),
        (dict(kernel=""), ValueError, "kernel must not be empty"),
        (dict(roi=(1, 2, 3)), ValueError, "roi"),
        (dict(roi=(0, 0, 0, 10)), ValueError, "roi"),
        (dict(window="10"), TypeError, "window"),
        (dict(window=2.5), TypeError, "window"),
        (dict(first_edge_opens_line="yes"), TypeError, "first_edge_opens_line"),
        (dict(bootstrap=-1), ValueError, "bootstrap"),
        (dict(errors="ignore"), ValueError, "errors"),
        (dict(jobs=2), TypeError, "jobs"),
    ]
    for settings, error, words in bad_settings:
        with pytest.raises(error, match=words):
            rugon.analyse(image, **settings)
    # A setting that looks like another option is a value, never an option of its own.
    with pytest.raises(ValueError, match="contrast"):
        rugon.analyse(image, contrast="auto --help")
    with pytest.raises(ValueError):
        _rugon.check_options(["--help"])
    with pytest.raises(ValueError, match="not a setting"):
        _rugon.check_options(["-o", "elsewhere"])

    with pytest.raises(ValueError, match="describe no image"):
        rugon.generate(width=0)
    with pytest.raises(TypeError, match="colour"):
        rugon.generate(colour=1)
    with pytest.raises(TypeError, match="seed"):
        rugon.generate(seed=1.5)


def test_arrays_are_read_only_views_that_outlive_the_result(generated):
    _, image = generated["bands.pgm"]
    result = rugon.analyse(image, pixel_size=2.0)
    edge = result.edges[0]
    positions = edge.positions_px
    assert not positions.flags.writeable and not positions.flags.owndata
    # Two reads of the same series share memory: views, not copies.
    assert np.shares_memory(positions, result.edges[0].positions_px)
    assert np.shares_memory(result.spectra["ler"]["psd_nm3"], result.spectra["ler"]["psd_nm3"])
    with pytest.raises(ValueError):
        positions[0] = 0.0
    copied = positions.copy()
    lines = result.lines
    widths = lines[0].widths_nm.copy()
    assert positions.shape == (image.shape[0],)
    assert result.edge_positions_px.shape == (len(result.edges), image.shape[0])
    del result, edge, lines
    gc.collect()
    np.testing.assert_array_equal(positions, copied)
    assert widths.shape == (image.shape[0],)


def test_picture_is_top_row_first_whatever_the_file_order(generated, tmp_path):
    _, image = generated["bands.pgm"]
    # Kept in the file's own row order (bottom row first for BMP), or set upright.
    file_order = dict(orientation="vertical", databar=False, region=False)
    for writer, suffix in ((write_pgm, ".pgm"), (write_bmp, ".bmp")):
        path = tmp_path / ("picture" + suffix)
        writer(path, image)
        for settings in ({}, file_order):
            picture = rugon.analyse(path, pixel_size=2.0, **settings).picture
            assert picture.shape == image.shape + (3,)
            red = (picture[..., 0] == 255) & (picture[..., 1] == 0) & (picture[..., 2] == 0)
            assert red.any() and not red.all()
            np.testing.assert_array_equal(picture[..., 1][~red], image[~red])


def test_threads_give_the_serial_results(generated):
    arrays = [image for _, image in generated.values()]
    serial = [rugon.analyse(a, pixel_size=2.0).to_dict() for a in arrays]
    truth = rugon.generate(width=256, height=512, seed=3, roughness_model="spectral")[1]
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        # Generated images plan transforms too: run them among the analyses.
        jobs = [pool.submit(rugon.analyse, a, pixel_size=2.0) for a in arrays * 3]
        drawn = [pool.submit(rugon.generate, width=256, height=512, seed=3,
                             roughness_model="spectral") for _ in range(4)]
        threaded = [job.result().to_dict() for job in jobs]
        truths = [job.result()[1] for job in drawn]
    assert threaded == serial * 3
    for other in truths:
        assert other["realised"] == truth["realised"]


def test_generated_truth_matches_the_drawn_edges():
    image, truth = rugon.generate(width=300, height=400, seed=7, pitch=70.0, cd=30.0,
                                  roughness_sigma=1.5, edge_correlation=0.5)
    assert image.shape == (400, 300) and image.dtype == np.uint8
    assert not image.flags.writeable
    kinds = [e["kind"] for e in truth["edges"]]
    assert kinds == ["left", "right"] * truth["line_count"]
    lefts = np.array([e["positions_px"] for e in truth["edges"] if e["kind"] == "left"])
    rights = np.array([e["positions_px"] for e in truth["edges"] if e["kind"] == "right"])
    assert lefts.shape == (truth["line_count"], 400)
    assert np.mean(rights - lefts) == pytest.approx(truth["realised"]["cd_px"], rel=1e-12)
    assert truth["model"]["width_sigma_px"] == pytest.approx(1.5 * np.sqrt(2 * (1 - 0.5)))
    # Analysed in px, the sub-pixel edges recover the drawn ones.
    result = rugon.analyse(image, contrast="bright-edge", databar=False, region=False)
    assert result.length_unit == "px"
    found = np.array([e.positions_px for e in result.edges])
    drawn = np.array([e["positions_px"] for e in truth["edges"]])
    first, last = result.setup["first_row"], result.setup["last_row"]
    assert found.shape[0] == drawn.shape[0]
    offset = np.nanmean(found - drawn[:, first - 1:last], axis=1)
    assert np.all(np.abs(offset) < 1.0)


def test_help_and_stubs_show_every_setting():
    signature = inspect.signature(rugon.analyse)
    doc = rugon.analyse.__doc__
    for keyword, default in rugon.settings().items():
        assert signature.parameters[keyword].default == default
        assert f"{keyword} " in doc and f"Default {default!r}" in doc or default is None
    for key, default in _rugon.generator_defaults().items():
        assert f"{key} " in rugon.generate.__doc__ and f"[{default!r}]" in rugon.generate.__doc__
    # The stubs name the same parameters as the functions.
    stubs = ast.parse((Path(rugon.__file__).parent / "__init__.pyi").read_text())
    stubbed = {node.name: [a.arg for a in node.args.args + node.args.kwonlyargs]
               for node in stubs.body if isinstance(node, ast.FunctionDef)}
    assert stubbed["analyse"] == list(signature.parameters)
    assert stubbed["generate"] == list(_rugon.generator_defaults())
    # ... and every attribute of a result, its edges and lines.
    classes = {node.name: node for node in stubs.body if isinstance(node, ast.ClassDef)}

    def members(name):
        return {n.target.id if isinstance(n, ast.AnnAssign) else n.name
                for n in classes[name].body if isinstance(n, (ast.AnnAssign, ast.FunctionDef))}
    assert set(rugon.summary_columns()) <= members("Result")
    result = rugon.analyse(str(EXAMPLES / "mpa_A6_001_crop.png"), pixel_size=2.86)
    assert members("Edge") == set(rugon.Edge.__slots__) == set(result._record.edges()[0])
    assert members("Line") == set(rugon.Line.__slots__) == set(result._record.lines()[0])


def test_frames_hold_the_summary_columns(generated):
    pandas = pytest.importorskip("pandas")
    results = [rugon.analyse(path, pixel_size=2.0) for path, _ in generated.values()]
    frame = rugon.summary_frame(results)
    assert list(frame.columns) == rugon.summary_columns()
    assert isinstance(frame, pandas.DataFrame) and len(frame) == len(results)
    assert list(results[0].to_frame().iloc[0]) == list(results[0].summary.values())
