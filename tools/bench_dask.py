"""Throughput of the Python batch: one process against a local Dask cluster.

    PYTHONPATH=build/python /usr/bin/python3 tools/bench_dask.py [--images 40] [--size 1024]

Generates the images (rugon.generate, different seeds) as PGM files in a temporary folder,
then times the same list analysed with the default settings (pixel size 2 nm), in rounds:
  serial       one image after another in this process (rugon.batch.analyse_serially)
  threads      a pool of threads in this process (the analysis runs without the GIL)
  dask N       rugon.batch.analyse_files on a local cluster of N worker processes, one
               thread each; the cluster is started before the clock starts
and checks that every run gives the same table. Prints the median time of each run over the
rounds, images per second and the speed-up over the serial run, with the machine's core count
and load (the machine may be shared: the rounds turn the order of the runs so that other work
weighs on all of them alike).
"""

import argparse
import concurrent.futures
import contextlib
import os
import statistics
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
    parser.add_argument("--rounds", type=int, default=3, help="times every run is repeated")
    args = parser.parse_args()

    from distributed import Client

    settings = dict(pixel_size=2.0)
    load_before = os.getloadavg()[0]
    with tempfile.TemporaryDirectory(prefix="rugon-bench-") as folder:
        files = []
        for seed in range(1, args.images + 1):
            image, _ = rugon.generate(width=args.size, height=args.size, seed=seed,
                                      pitch=64.0, cd=28.0)
            path = Path(folder) / f"image-{seed:03d}.pgm"
            write_pgm(path, image)
            files.append(str(path))

        def serial_run():
            return batch.analyse_serially(files, **settings).rows

        def thread_run():
            with concurrent.futures.ThreadPoolExecutor(2) as pool:
                summaries = pool.map(
                    lambda kf: rugon.analyse(kf[1], position=kf[0], **settings).summary,
                    enumerate(files, start=1))
                return [list(s.values()) for s in summaries]

        runs = {"serial (1 process)": serial_run, "2 threads (1 process)": thread_run}
        with contextlib.ExitStack() as stack:
            for n in args.workers:
                started = time.perf_counter()
                cluster = stack.enter_context(batch.local_cluster(n))
                client = stack.enter_context(Client(cluster))
                client.wait_for_workers(n)
                client.run(lambda: __import__("rugon"))  # import before the clock
                label = (f"dask, {n} worker{'s' if n > 1 else ''} "
                         f"(start {time.perf_counter() - started:.1f} s)")
                runs[label] = (lambda c: lambda: batch.analyse_files(
                    files, client=c, **settings).rows)(client)

            # Rounds of every run, the order turned each round, so that other work on the
            # machine weighs on all of them alike.
            seconds = {label: [] for label in runs}
            reference = None
            labels = list(runs)
            for r in range(args.rounds):
                for label in labels[r % len(labels):] + labels[:r % len(labels)]:
                    start = time.perf_counter()
                    table = runs[label]()
                    seconds[label].append(time.perf_counter() - start)
                    if reference is None:
                        reference = table
                    assert table == reference, f"{label}: the table differs from the others"

    load = os.getloadavg()
    print(f"{args.images} generated images of {args.size} x {args.size} px, default settings; "
          f"{os.cpu_count()} cores; 1-minute load {load_before:.1f} before, "
          f"{load[0]:.1f} {load[1]:.1f} {load[2]:.1f} (1, 5, 15 minutes) after")
    serial = statistics.median(seconds["serial (1 process)"])
    print(f"median of {args.rounds} rounds (fastest in brackets)")
    print(f"{'run':<34} {'seconds':>8} {'images/s':>9} {'speed-up':>9}")
    for label, times in seconds.items():
        median = statistics.median(times)
        print(f"{label:<34} {median:8.2f} {args.images / median:9.2f} {serial / median:8.2f}x"
              f"  ({min(times):.2f} s)")
    print("every run gave the same table")


if __name__ == "__main__":
    main()
