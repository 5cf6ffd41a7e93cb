"""The Dask batch: a local cluster of two worker processes gives the serial tables, which are
rugon-report's; the command line reaches a running scheduler."""

import json
import os
import subprocess
import sys

import pytest

from conftest import csv_rows, without_pictures
from rugon import batch


@pytest.fixture(scope="module")
def cluster():
    distributed = pytest.importorskip("distributed")
    with batch.local_cluster(2) as local:
        with distributed.Client(local) as client:
            yield local, client


def test_cluster_table_equals_serial_table_and_rugon_report(generated, run_report, tmp_path,
                                                            cluster):
    _, client = cluster
    files = [path for path, _ in generated.values()] * 2 + [str(tmp_path / "missing.pgm")]
    on_cluster = batch.analyse_files(files, client=client, pixel_size=2.0, bootstrap=30)
    serial = batch.analyse_serially(files, pixel_size=2.0, bootstrap=30)
    assert on_cluster.rows == serial.rows
    assert on_cluster.images == serial.images
    assert on_cluster.columns == serial.columns
    assert [row[0] for row in on_cluster.rows] == list(range(1, len(files) + 1))

    summary, report, folder = run_report(files, ["--pixel-size", "2.0", "--bootstrap", "30"])
    assert on_cluster.summary_csv() == summary
    assert [without_pictures(i) for i in on_cluster.images] == \
        [without_pictures(i) for i in report["images"]]
    assert on_cluster.measured == len(files) - 1

    # Every table is rugon-report's, to the byte.
    *written_tables, written_report = on_cluster.write(tmp_path / "out")
    assert [os.path.basename(p) for p in written_tables] == \
        ["summary.csv", "edges.csv", "lines.csv", "length.csv", "hhcf.csv", "psd.csv"]
    for path in written_tables:
        with open(path, encoding="utf-8") as f:
            text = f.read()
        assert text == (folder / os.path.basename(path)).read_text(encoding="utf-8"), path
        assert len(text.splitlines()) > len(files), path
    with open(written_report, encoding="utf-8") as f:
        document = json.load(f)
    assert document["images"] == on_cluster.images
    assert document["parameters"] == report["parameters"]


def test_groups_from_a_list_and_from_names_reach_the_table(generated, run_report, tmp_path,
                                                            cluster):
    _, client = cluster
    paths = [path for path, _ in generated.values()]
    listing = tmp_path / "lot.csv"
    listing.write_text("image,group\n" + f"{paths[0]},wafer 1\n" + f"{paths[1]},\n" +
                       f"{paths[2]},wafer 2\n", encoding="utf-8")
    pattern = "^(.)"  # a name's first letter, for the image its list leaves without a group
    on_cluster = batch.analyse_files([listing], client=client, group=pattern, bootstrap=0)
    summary, report, _ = run_report([str(listing)], ["--group", pattern, "--bootstrap", "0"])
    assert on_cluster.summary_csv() == summary
    groups = [image["group"] for image in on_cluster.images]
    assert groups == [image["group"] for image in report["images"]]
    assert groups[0] == "wafer 1" and groups[2] == "wafer 2" and len(groups[1]) == 1
    assert batch.analyse_serially([listing]).rows == \
        batch.analyse_files([listing], client=client).rows


def test_command_line_runs_on_a_given_scheduler(generated, tmp_path, cluster):
    local, _ = cluster
    files = [path for path, _ in generated.values()]
    out = tmp_path / "cli"
    env = dict(os.environ)
    command = [sys.executable, "-m", "rugon.batch", "-q", "-o", str(out), "--pixel-size", "2"]
    done = subprocess.run(command + ["--scheduler", local.scheduler_address, *files],
                          capture_output=True, text=True, env=env, timeout=120)
    assert done.returncode == 0, done.stderr
    expected = batch.analyse_serially(files, pixel_size=2.0)
    assert (out / "summary.csv").read_text(encoding="utf-8") == expected.summary_csv()

    # A missing image is a row of the table and exit status 1; a bad setting is status 2
    # before anything runs.
    (tmp_path / "empty").mkdir()
    done = subprocess.run(command + ["--serial", files[0], str(tmp_path / "none.png"),
                                     str(tmp_path / "empty")],
                          capture_output=True, text=True, env=env, timeout=120)
    assert done.returncode == 1
    assert "empty\" is a folder that holds no image file" in done.stderr, done.stderr
    rows = csv_rows((out / "summary.csv").read_text(encoding="utf-8"))
    assert [row[2] for row in rows[1:]] == ["measured", "missing"]
    done = subprocess.run(command + ["--threshold", "7", "--serial", *files],
                          capture_output=True, text=True, env=env, timeout=120)
    assert done.returncode == 2 and "--threshold" in done.stderr
    # A local cluster without workers would wait for ever.
    done = subprocess.run(command + ["--workers", "-1", *files],
                          capture_output=True, text=True, env=env, timeout=120)
    assert done.returncode == 2 and "workers must be 1 to 1024" in done.stderr
    # A scheduler that does not answer: a message and status 2, not a traceback and status 1.
    quick = dict(env, DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT="1s")
    done = subprocess.run(command + ["--scheduler", "tcp://127.0.0.1:1", *files],
                          capture_output=True, text=True, env=quick, timeout=120)
    assert done.returncode == 2, done.stderr
    assert done.stderr.startswith("rugon.batch: cannot run on the scheduler") and \
        "Traceback" not in done.stderr
    with pytest.raises(ValueError, match="workers"):
        batch.analyse_files(files, workers=0)
