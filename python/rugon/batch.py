"""Many image files on a Dask cluster: one summary table and the per-image report entries.

    python3 -m rugon.batch [--scheduler ADDRESS] [--workers N] [-o OUTDIR] [settings] FILES...

Maps `rugon.analyse` over the files on the workers of a Dask cluster (a local one of N worker
processes unless --scheduler names a running scheduler), gathers one table with the columns
of rugon-report's summary.csv and every image's entry of its report.json, and writes
rugon-report's tables (summary.csv, edges.csv, lines.csv, length.csv, hhcf.csv, psd.csv) and
report.json into OUTDIR. FILES may be image files, folders (their image
files) and CSV lists with an `image` column, as for rugon-report; the settings are
rugon-report's options (--pixel-size, --threshold, --kernel, ...).

Each worker needs this package (with its compiled module and the rugon-decode program beside
it) on its Python path and read access to the files under the names given: relative names
are taken in each worker's working folder.

From Python:

    >>> from rugon.batch import analyse_files
    >>> batch = analyse_files(["a.png", "b.png"], pixel_size=2.86)         # local cluster
    >>> batch = analyse_files(files, client="tcp://scheduler:8786")        # existing cluster
    >>> batch.rows, batch.images, batch.tables(), batch.to_frame(), batch.write("out")
"""

import argparse
import json
import logging
import numbers
import os
import sys
import time
import warnings

import rugon
from rugon import _rugon

__all__ = ["Batch", "analyse_files", "analyse_serially", "local_cluster", "main"]


def _analyse_entry(path, name, position, group, options):
    """Runs on a worker: the report.json entry of one image (plain data, never raises for a
    missing or unreadable file: its status says so)."""
    record = _rugon.analyse_file(path, options, name, position, group)
    return record.to_dict()


class Batch:
    """The results of a batch, in the order of the files.

    columns   the summary.csv columns
    rows      one list of cells per image (None where empty), as summary.csv holds them
    images    one dict per image: its entry of report.json
    settings  the settings in use (as rugon.settings gives them)
    """

    def __init__(self, images, options):
        self.columns = rugon.summary_columns()
        self.images = images
        self.rows = [list(rugon._summary_of(image).values()) for image in images]
        self.settings = rugon._rugon.check_options(options)
        self._options = list(options)

    @property
    def measured(self):
        """How many images were measured."""
        return sum(1 for image in self.images if image["status"] == "measured")

    def summary_csv(self):
        """The table as summary.csv text (rugon-report's very format)."""
        return _rugon.table_csv(self.columns, self.rows)

    def tables(self):
        """Every table rugon-report writes, {file name: (columns, rows)} in its order:
        summary.csv, and edges.csv, lines.csv, length.csv, hhcf.csv and psd.csv with the rows
        that the images' report entries hold under 'edges', 'lines', ... (each led by the
        image's number and name, as rugon-report writes them)."""
        out = {}
        for name, columns in _rugon.table_columns():
            if name == "summary.csv":
                out[name] = (columns, self.rows)
                continue
            key = name[:-len(".csv")]
            out[name] = (columns, [
                [image["image_number"], image["image"], *(row[c] for c in columns[2:])]
                for image in self.images for row in image.get(key) or ()])
        return out

    def report(self):
        """The batch as a report.json document: the settings, the unit legend and the images."""
        document = _rugon.report_header(self._options)
        document["program"] = "rugon.batch"
        document["images"] = self.images
        return document

    def to_frame(self):
        """The table as a pandas DataFrame (needs pandas)."""
        return rugon._pandas("Batch.to_frame()", "Batch.rows").DataFrame(self.rows,
                                                                           columns=self.columns)

    def write(self, folder):
        """Writes the tables (as rugon-report's, see tables()) and report.json into `folder`
        (created when missing); returns their paths, report.json last."""
        folder = os.fsdecode(folder)
        os.makedirs(folder, exist_ok=True)
        paths = []
        for name, (columns, rows) in self.tables().items():
            paths.append(os.path.join(folder, name))
            with open(paths[-1], "w", encoding="utf-8", newline="") as out:
                out.write(_rugon.table_csv(columns, rows))
        paths.append(os.path.join(folder, "report.json"))
        with open(paths[-1], "w", encoding="utf-8") as out:
            json.dump(self.report(), out, indent=2, ensure_ascii=False, allow_nan=False)
            out.write("\n")
        return paths

    def __repr__(self):
        return f"<rugon.batch.Batch: {self.measured} of {len(self.images)} images measured>"


def _listed(files, group=None, notes=None):
    """(name, path, group) bytes of every image: folders and CSV lists expanded, and groups
    taken from the lists or by the pattern `group` from the file names, as rugon-report
    does. What rugon-report would say of the inputs (a folder without images, say) is
    appended to `notes`, or given as warnings without it."""
    if isinstance(files, (str, bytes, os.PathLike)):
        files = [files]
    if group is not None and not isinstance(group, str):
        raise TypeError(f"group must be a str (a pattern), not {type(group).__name__}")
    listed, said = _rugon.expand_inputs([rugon._path_bytes("files", f) for f in files],
                                        group or "")
    for note in said:
        if notes is None:
            warnings.warn(note, stacklevel=3)
        else:
            notes.append(note)
    return listed


def analyse_serially(files, *, group=None, **settings):
    """The batch in this process, one image after another (no Dask): the reference the
    cluster's results equal. `group` as for analyse_files."""
    options = rugon._options(settings)
    rugon._checked(_rugon.check_options, options)
    return _serial(_listed(files, group), options)


def _serial(listed, options):
    rugon._checked(_rugon.check_options, options)
    images = [_analyse_entry(path, name, k, group, options)
              for k, (name, path, group) in enumerate(listed, start=1)]
    return Batch(images, options)


def analyse_files(files, client=None, *, workers=None, progress=False, group=None,
                  **settings):
    """Analyses image files on a Dask cluster; returns a Batch (table and report entries).

    files     image files, folders and CSV lists of images (as rugon-report takes them),
              named as the workers see them
    client    a distributed.Client, a scheduler address ('tcp://host:8786'), or None to
              start a local cluster of `workers` processes (default: one per core) for this
              call; loopback only, no dashboard
    progress  print 'k of n images done' on standard error
    group     a regular expression whose first capture (or whole match) in a file's name
              is the image's group, for images that their CSV list gives none (rugon-report's
              --group); a list's `group` column is always taken
    settings  the keywords of rugon.analyse (pixel_size, threshold, kernel, ...)

    A bad setting raises before anything is sent to the cluster. A missing or unreadable
    file does not raise: its row says so, as in rugon-report.

    A script that starts a local cluster must do it under `if __name__ == "__main__":`: the
    worker processes import the script, and one that starts a cluster at its top level makes
    them fail to start again and again.
    """
    options = rugon._options(settings)
    rugon._checked(_rugon.check_options, options)
    _check_workers(workers)
    return _on_cluster(_listed(files, group), options, client, workers, progress)


def _check_workers(workers):
    # No worker would leave the batch waiting for ever.
    if workers is None:
        return
    if isinstance(workers, bool) or not isinstance(workers, numbers.Integral):
        raise TypeError(f"workers must be an int, not {type(workers).__name__}")
    if not 1 <= workers <= 1024:
        raise ValueError(f"workers must be 1 to 1024, not {workers}")


def local_cluster(workers=None):
    """A Dask LocalCluster of `workers` processes (default: one per core), one thread each,
    that listens on the loopback interface only, without the scheduler's dashboard. Close it
    (or use it in a `with` block) when done."""
    from distributed import LocalCluster

    # Scheduler and workers run a small HTTP server (health, metrics) even without a
    # dashboard; a free loopback port each keeps it off the network and off port 8787.
    _check_workers(workers)
    return LocalCluster(n_workers=workers or os.cpu_count() or 1, threads_per_worker=1,
                        processes=True, host="127.0.0.1", dashboard_address=None,
                        worker_dashboard_address="127.0.0.1:0",
                        scheduler_kwargs={"dashboard": False,
                                          "dashboard_address": "127.0.0.1:0"},
                        silence_logs=logging.ERROR)


def _on_cluster(listed, options, client, workers, progress):
    from distributed import Client, as_completed

    cluster = None
    own_client = None
    if client is None:
        cluster = local_cluster(workers)
        client = own_client = Client(cluster)
    elif isinstance(client, str):
        client = own_client = Client(client)
    try:
        names = [name for name, _, _ in listed]
        paths = [path for _, path, _ in listed]
        groups = [group for _, _, group in listed]
        positions = list(range(1, len(listed) + 1))
        futures = client.map(_analyse_entry, paths, names, positions, groups,
                             options=options, pure=False)
        if progress:
            start = time.monotonic()
            for done, _ in enumerate(as_completed(futures), start=1):
                print(f"rugon.batch: {done} of {len(futures)} images done, "
                      f"{time.monotonic() - start:.1f} s elapsed", file=sys.stderr)
        images = client.gather(futures)
    finally:
        if own_client is not None:
            own_client.close()
        if cluster is not None:
            cluster.close()
    return Batch(images, options)


def _parser():
    p = argparse.ArgumentParser(
        prog="python3 -m rugon.batch",
        description="Analyses image files on a Dask cluster and writes rugon-report's "
                    "tables (summary.csv, edges.csv, lines.csv, length.csv, hhcf.csv, "
                    "psd.csv) and report.json into OUTDIR.",
        epilog="Exit status: 0 when every image was measured, 1 when an image was missing, "
               "unreadable or without a line, 2 when the run could not be made.")
    p.add_argument("files", nargs="+", metavar="FILE",
                   help="image files, folders of images, CSV lists of images")
    p.add_argument("--scheduler", metavar="ADDRESS",
                   help="address of a running Dask scheduler (default: start a local cluster)")
    p.add_argument("--workers", type=int, metavar="N",
                   help="worker processes of the local cluster (default: one per core)")
    p.add_argument("-o", "--output", default="rugon-batch", metavar="OUTDIR",
                   help="output folder, created when missing (default: rugon-batch)")
    p.add_argument("--serial", action="store_true",
                   help="analyse in this process, one image after another, without Dask")
    p.add_argument("-q", "--quiet", action="store_true", help="no progress lines")
    p.add_argument("--group", metavar="REGEX",
                   help="group of each image: the first capture (or whole match) of REGEX in "
                        "its file name, where its CSV list gives none")
    group = p.add_argument_group("settings (as for rugon-report)")
    for option, metavar, text in (
            ("--pixel-size", "NM", "nm per pixel [default: from the file's metadata]"),
            ("--threshold", "FRACTION", "edge level, fraction of the row maximum"),
            ("--kernel", "ROWSxCOLS", "smoothing kernel size"),
            ("--kernel-sigma", "PX", "width of the smoothing kernel"),
            ("--window", "PX", "half-width of the edge search window"),
            ("--first-edge-opens-line", "yes|no", "whether the first edge opens a line"),
            ("--contrast", "auto|bright-edge|bright-line|dark-line", "line contrast"),
            ("--orientation", "auto|vertical|horizontal", "which way the lines run"),
            ("--roi", "X,Y,W,H", "analyse only this rectangle of the picture"),
            ("--max-pixels", "N", "largest picture decoded, pixels"),
            ("--bootstrap", "N", "bootstrap resamples for the 95 %% intervals; 0 for none"),
            ("--resolution-nm", "NM", "the microscope's resolution, held in the spectra's fits")):
        group.add_argument(option, metavar=metavar, help=text)
    group.add_argument("--no-databar", action="store_true",
                       help="do not look for the microscope's information bar")
    group.add_argument("--no-region", action="store_true",
                       help="analyse every row, not only those where every line runs")
    return p


def main(argv=None):
    """The command line; returns the exit status."""
    args = _parser().parse_args(argv)
    options = []
    for keyword in ("pixel_size", "threshold", "kernel", "kernel_sigma", "window",
                    "first_edge_opens_line", "contrast", "orientation", "roi", "max_pixels",
                    "bootstrap", "resolution_nm"):
        value = getattr(args, keyword)
        if value is not None:
            options.append(f"--{keyword.replace('_', '-')}={value}")
    if args.no_databar:
        options.append("--no-databar")
    if args.no_region:
        options.append("--no-region")
    try:
        _rugon.check_options(options)
        _check_workers(args.workers)
        notes = []
        listed = _listed(args.files, args.group, notes)
        for note in notes:
            print(f"rugon.batch: {note}", file=sys.stderr)
    except ValueError as error:
        print(f"rugon.batch: {error}", file=sys.stderr)
        return 2
    if not listed:
        print("rugon.batch: no image files found in the given folders", file=sys.stderr)
        return 2
    start = time.monotonic()
    if args.serial:
        batch = _serial(listed, options)
    else:
        try:
            batch = _on_cluster(listed, options, args.scheduler, args.workers, not args.quiet)
        except OSError as error:  # a scheduler that does not answer, a cluster that cannot start
            where = f"the scheduler {args.scheduler!r}" if args.scheduler else "a local cluster"
            print(f"rugon.batch: cannot run on {where}: {error}", file=sys.stderr)
            return 2
    try:
        batch.write(args.output)
    except OSError as error:
        print(f"rugon.batch: cannot write to {args.output!r}: {error}", file=sys.stderr)
        return 2
    for image in batch.images:
        if image["status"] != "measured":
            print(f"rugon.batch: {image['image']}: {image['reason']}", file=sys.stderr)
    print(f"rugon.batch: {batch.measured} of {len(batch.images)} images measured in "
          f"{time.monotonic() - start:.1f} s; tables and report.json in {args.output}",
          file=sys.stderr)
    return 0 if batch.measured == len(batch.images) else 1


if __name__ == "__main__":
    sys.exit(main())
