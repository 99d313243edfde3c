"""Files per second of silsplit.batch.analyze_many over an archive: one local
thread against a real Dask cluster (a `dask scheduler` and N `dask worker`
processes of one thread each, started here), with the CPU that the
scheduler, the client and the workers spend per file.

    PYTHONPATH=python SILSPLIT_LIBRARY=build/libkestrova-audio-silence-splitter.so \\
        /usr/bin/python3 bench/dask_archive.py --gen-wav build/bench/gen_wav \\
        --folder /tmp/archive-1s --count 4000 --seconds 1

    # the long files with the speech model
    ... --folder /tmp/archive-long --count 40 --seconds 120 --max-seconds 600 --speech

    # split_many on the cluster against the program's split of each file
    ... --folder /tmp/archive-split --count 300 --seconds 10 --max-seconds 60 \
        --split build/cli/silsplit --rounds 1

The files are made once with bench/gen_wav (speech-like, 16 kHz 16-bit mono,
a seed per file; lengths spread evenly from --seconds to --max-seconds) and
read once before timing, so the page cache holds them. Each way runs
--rounds rounds; the best is printed.
"""

import argparse
import filecmp
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

import psutil

import silsplit
from silsplit.batch import Written, analyze_many, split_many


def make_files(gen_wav, folder, count, seconds, max_seconds, rate):
    os.makedirs(folder, exist_ok=True)
    paths = []
    for k in range(count):
        length = seconds + (max_seconds - seconds) * k / max(count - 1, 1)
        path = os.path.join(folder, "rec_%05d.wav" % k)
        if not os.path.exists(path):
            subprocess.run([gen_wav, "%.3f" % length, str(rate), "1", "16", path, str(k + 1)],
                           check=True)
        paths.append(path)
    return paths


def best(rounds, run, count):
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        got = run()
        times.append(time.perf_counter() - start)
        assert got == count, (got, count)
    return min(times), sum(times) / len(times)


def cpu(pids):
    total = 0.0
    for pid in pids:
        t = psutil.Process(pid).cpu_times()
        total += t.user + t.system
    return total


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--gen-wav", required=True)
    parser.add_argument("--folder", required=True)
    parser.add_argument("--count", type=int, default=4000)
    parser.add_argument("--seconds", type=float, default=1.0)
    parser.add_argument("--max-seconds", type=float)
    parser.add_argument("--rate", type=int, default=16000)
    parser.add_argument("--speech", action="store_true")
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--split", metavar="PROGRAM",
                        help="also split every file on the cluster and compare the pieces with "
                             "PROGRAM split's")
    args = parser.parse_args()
    options = {"speech": True} if args.speech else {}

    paths = make_files(args.gen_wav, args.folder, args.count, args.seconds,
                       args.max_seconds or args.seconds, args.rate)
    n = len(paths)
    for path in paths:  # into the page cache
        with open(path, "rb") as f:
            while f.read(1 << 20):
                pass
    silsplit.version()
    print("%d files, %s, load average %.1f" % (n, "speech=True" if args.speech else "defaults",
                                              os.getloadavg()[0]))

    me = os.getpid()
    loop, loop_mean = best(args.rounds, lambda: sum(
        1 for p in paths if silsplit.analyze(p, **options)), n)
    print("plain loop            %7.2f s  %8.1f files/s (mean of rounds %.1f)"
          % (loop, n / loop, n / loop_mean))
    c0 = cpu([me])
    local, local_mean = best(args.rounds, lambda: sum(
        1 for _ in analyze_many(paths, threads=1, **options)), n)
    per_file = (cpu([me]) - c0) / (args.rounds * n)
    print("one local thread      %7.2f s  %8.1f files/s (mean of rounds %.1f)  %.3f ms CPU per file"
          % (local, n / local, n / local_mean, 1000 * per_file))

    from distributed import Client
    workspace = tempfile.TemporaryDirectory(prefix="dask-archive-")
    port = free_port()
    address = "tcp://127.0.0.1:%d" % port
    started = [subprocess.Popen([sys.executable, "-m", "distributed.cli.dask_scheduler", "--host",
                                 "127.0.0.1", "--port", str(port), "--no-dashboard"],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)]
    try:
        started += [subprocess.Popen([sys.executable, "-m", "distributed.cli.dask_worker", address,
                                      "--nthreads", "1", "--no-nanny", "--no-dashboard",
                                      "--local-directory", workspace.name],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                    for _ in range(args.workers)]
        with Client(address, timeout=30) as client:
            client.wait_for_workers(args.workers, timeout=60)
            list(analyze_many(paths[:4 * args.workers], client, **options))  # warm-up
            pids = [p.pid for p in started]
            before = [cpu([pid]) for pid in pids] + [cpu([me])]
            dask, dask_mean = best(args.rounds, lambda: sum(
                1 for _ in analyze_many(paths, client, **options)), n)
            after = [cpu([pid]) for pid in pids] + [cpu([me])]
            if args.split:
                out = args.folder.rstrip("/") + "-split"
                shutil.rmtree(out, ignore_errors=True)
                start = time.perf_counter()
                got = dict(split_many(paths, args.folder, out, client, **options))
                took = time.perf_counter() - start
    finally:
        for proc in started:
            proc.kill()
            proc.wait()
        workspace.cleanup()
    spent = [(a - b) * 1000 / (args.rounds * n) for a, b in zip(after, before)]
    print("Dask, %d workers       %7.2f s  %8.1f files/s (mean of rounds %.1f)  %.2f x one thread,"
          " %.2f x the plain loop" % (args.workers, dask, n / dask, n / dask_mean, local / dask,
                                      loop / dask))
    print("CPU per file: scheduler %.3f ms, client %.3f ms, workers %s ms"
          % (spent[0], spent[-1], " + ".join("%.3f" % s for s in spent[1:-1])))
    if args.split:
        compare_splits(args, paths, got, took, out)
    print("load average after: %.1f" % os.getloadavg()[0])


def compare_splits(args, paths, got, took, out):
    """Each file's folder from split_many against the program's split of it."""
    ref = args.folder.rstrip("/") + "-program"
    shutil.rmtree(ref, ignore_errors=True)
    same = 0
    for path in paths:
        written = got[path]
        assert isinstance(written, Written), (path, written)
        folder = os.path.join(ref, os.path.splitext(os.path.basename(path))[0])
        subprocess.run([args.split, "split", "-q", path, folder], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        names = sorted(os.listdir(folder))
        if names == sorted(written.files) and all(
                filecmp.cmp(os.path.join(folder, n), os.path.join(written.out_dir, n),
                            shallow=False) for n in names):
            same += 1
        else:
            print("differs:", path)
    print("split_many on the cluster: %d files in %.2f s, %d of %d folders identical to "
          "the program's split" % (len(paths), took, same, len(paths)))


if __name__ == "__main__":
    main()
