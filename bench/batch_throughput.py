"""Files per second through silsplit.batch.analyze_many: a plain loop, a pool
of threads, and a Dask LocalCluster of worker processes, on the same files.

    PYTHONPATH=python SILSPLIT_LIBRARY=build/libkestrova-audio-silence-splitter.so \\
        /usr/bin/python3 bench/batch_throughput.py FILE.wav... [--workers N] [--rounds R]

Make the files with bench/gen_wav (e.g. 600 s at 44100 Hz, mono, 16-bit).
Each way runs R rounds over the files after one warm-up pass, so the page
cache holds them; the best round is printed.
"""

import argparse
import os
import time

import silsplit
from silsplit.batch import analyze_many


def best(rounds, run, count):
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        got = run()
        times.append(time.perf_counter() - start)
        assert got == count, got
    return min(times)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("files", nargs="+")
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    files = args.files
    n = len(files)
    for path in files:  # warm-up: the files in the page cache, the library loaded
        silsplit.analyze(path)
    audio_s = sum(silsplit.analyze(p).duration_s for p in files)

    def report(name, seconds, cores):
        print("%-28s %6.2f s  %6.1f files/s  %6.1f files/s per core  %7.0f x real time per core"
              % (name, seconds, n / seconds, n / seconds / cores, audio_s / seconds / cores))

    loop = best(args.rounds, lambda: sum(1 for p in files if silsplit.analyze(p)), n)
    report("plain loop", loop, 1)
    pool = best(args.rounds, lambda: sum(1 for _ in analyze_many(files, threads=args.workers)), n)
    report("%d threads" % args.workers, pool, args.workers)

    import logging
    import distributed
    with distributed.LocalCluster(n_workers=args.workers, threads_per_worker=1,
                                  dashboard_address=None, silence_logs=logging.ERROR) as cluster:
        with distributed.Client(cluster) as client:
            client.wait_for_workers(args.workers)
            list(analyze_many(files[:args.workers], client))  # warm-up: each worker loads it
            dask = best(args.rounds, lambda: sum(1 for _ in analyze_many(files, client)), n)
    report("Dask, %d worker processes" % args.workers, dask, args.workers)


if __name__ == "__main__":
    main()
