#!/usr/bin/env python3
"""Writes a report text with a generated level curve, for review pages of
recordings longer than the tests can afford to decode.

  make_report.py OUT [--hours H]

The recording is H hours (default 10) of talk: chapters of one to two and a
half minutes with breaths and short pauses inside, long pauses between them.
The report has every member the review page shows: chapters, an automatic
threshold that drifts over time, ranked pauses and the 10 ms level curve
(H * 360000 values).
"""
import argparse
import json
import math
import random

HOP_S = 0.01


def generate(hours, seed=7):
    rng = random.Random(seed)
    n = int(round(hours * 3600 / HOP_S))
    # A pool of speech levels cycled with random offsets: far quicker than a
    # random draw per value, and still irregular on every scale the page shows.
    speech = [max(-60.0, min(-3.0, rng.gauss(-22.0, 7.0))) for _ in range(10007)]
    room = [rng.gauss(-72.0, 2.5) for _ in range(1009)]
    levels = []
    chapters = []
    pauses = []

    def add(pool, count):
        at = rng.randrange(len(pool))
        while count > 0:
            take = min(count, len(pool) - at)
            levels.extend(pool[at:at + take])
            count -= take
            at = 0

    add(room, 50)
    while len(levels) < n:
        start = len(levels)
        end = start + int(rng.uniform(60.0, 150.0) / HOP_S)
        while len(levels) < min(end, n):
            add(speech, int(rng.uniform(2.0, 9.0) / HOP_S))
            gap = rng.choice((25, 40, 90, 110))  # breaths and short pauses
            t0 = len(levels) * HOP_S
            add(room, gap)
            if gap >= 80:
                pauses.append([t0, len(levels) * HOP_S])
        stop = min(len(levels), n)
        chapters.append((start * HOP_S, stop * HOP_S))
        if stop >= n:
            break
        t0 = len(levels) * HOP_S
        add(room, int(rng.uniform(2.0, 4.0) / HOP_S))
        pauses.append([t0, len(levels) * HOP_S])
    del levels[n:]
    duration = n * HOP_S
    pauses = [p for p in pauses if p[1] <= duration]

    order = sorted(range(len(pauses)), key=lambda k: -(pauses[k][1] - pauses[k][0]))
    ranks = [0] * len(pauses)
    for r, k in enumerate(order):
        ranks[k] = r + 1
    track = [{"t": round(t, 2), "db": round(-45.0 + 4.0 * math.sin(t / 3600.0), 1)}
             for t in (k * 30.0 for k in range(int(duration // 30) + 1))]
    median = sorted(p["db"] for p in track)[len(track) // 2]

    padded = [(max(0.0, a - 0.25), min(duration, b + 0.25)) for a, b in chapters]
    report = {
        "sample_rate": 16000,
        "duration_s": duration,
        "silences_removed_s": duration - sum(b - a for a, b in padded),
        "chapters": [{"i": k + 1, "t0": a, "t1": b, "dur": b - a,
                      "peak_db": max(levels[int(a / HOP_S):int(b / HOP_S)] or [-120.0])}
                     for k, (a, b) in enumerate(padded)],
        "threshold_db": median,
        "threshold_track": track,
        "pauses": [{"t0": a, "t1": b, "dur": b - a, "level_db": -72.0,
                    "score": round(b - a, 3), "rank": ranks[k]}
                   for k, (a, b) in enumerate(pauses)],
    }
    head = json.dumps(report, separators=(",", ":"))[:-1]
    curve = ",".join("%.1f" % v for v in levels)
    return head + ',"levels":{"hop_s":0.01,"db":[' + curve + "]}}", len(report["chapters"])


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("out")
    ap.add_argument("--hours", type=float, default=10.0)
    args = ap.parse_args()
    text, _ = generate(args.hours)
    with open(args.out, "w") as f:
        f.write(text)


if __name__ == "__main__":
    main()
