"""Throughput of the Python batch: one process against a local Dask cluster.

    PYTHONPATH=build/python /usr/bin/python3 tools/bench_dask.py [--images 40] [--size 1024]

Generates the images (rugon.generate, different seeds) as PGM files in a temporary folder,
then times the same list analysed with the default settings (pixel size 2 nm):
  serial       one image after another in this process (rugon.batch.analyse_serially)
  threads      a pool of threads in this process (the analysis runs without the GIL)
  dask N       rugon.batch.analyse_files on a local cluster of N worker processes, one
               thread each; the cluster is started before the clock starts
and checks that every way gives the serial table. Prints images per second and the speed-up
over the serial run, with the machine's core count and load.
"""

import argparse
import concurrent.futures
import logging
import os
import tempfile
import time
from pathlib import Path

import rugon
from rugon import batch


def write_pgm(path, image):
    with open(path, "wb") as out:
        out.write(b"P5\n%d %d\n255\n" % (image.shape[1], image.shape[0]))
        out.write(image.tobytes())


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--images", type=int, default=40)
    parser.add_argument("--size", type=int, default=1024, help="width and height, px")
    parser.add_argument("--workers", type=int, nargs="+", default=[1, 2],
                        help="cluster sizes to time")
    args = parser.parse_args()

    from distributed import Client, LocalCluster

    settings = dict(pixel_size=2.0)
    with tempfile.TemporaryDirectory(prefix="rugon-bench-") as folder:
        files = []
        for seed in range(1, args.images + 1):
            image, _ = rugon.generate(width=args.size, height=args.size, seed=seed,
                                      pitch=64.0, cd=28.0)
            path = Path(folder) / f"image-{seed:03d}.pgm"
            write_pgm(path, image)
            files.append(str(path))

        rows = []

        def record(label, seconds, table):
            rows.append((label, seconds))
            assert table == reference.rows, f"{label}: the table differs from the serial one"

        start = time.perf_counter()
        serial = batch.analyse_serially(files, **settings)
        serial_seconds = time.perf_counter() - start
        reference = serial
        record("serial (1 process)", serial_seconds, serial.rows)

        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            start = time.perf_counter()
            results = list(pool.map(
                lambda kf: rugon.analyse(kf[1], position=kf[0], **settings).summary,
                enumerate(files, start=1)))
            seconds = time.perf_counter() - start
        record("2 threads (1 process)", seconds, [list(r.values()) for r in results])

        for n in args.workers:
            started = time.perf_counter()
            with LocalCluster(n_workers=n, threads_per_worker=1, processes=True,
                              host="127.0.0.1", dashboard_address=None,
                              silence_logs=logging.ERROR) as cluster, Client(cluster) as client:
                client.wait_for_workers(n)
                startup = time.perf_counter() - started
                client.run(lambda: __import__("rugon"))  # import before the clock
                start = time.perf_counter()
                on_cluster = batch.analyse_files(files, client=client, **settings)
                seconds = time.perf_counter() - start
            record(f"dask, {n} worker{'s' if n > 1 else ''} (start {startup:.1f} s)", seconds,
                   on_cluster.rows)

    load = os.getloadavg()
    print(f"{args.images} generated images of {args.size} x {args.size} px, default settings; "
          f"{os.cpu_count()} cores, load average {load[0]:.1f} {load[1]:.1f} {load[2]:.1f}")
    print(f"{'run':<34} {'seconds':>8} {'images/s':>9} {'speed-up':>9}")
    for label, seconds in rows:
        print(f"{label:<34} {seconds:8.2f} {args.images / seconds:9.2f} "
              f"{serial_seconds / seconds:8.2f}x")
    print("every run gave the serial table")


if __name__ == "__main__":
    main()
