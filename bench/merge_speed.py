#!/usr/bin/env python3
"""market_books over many recordings merged, against the same recordings
replayed one by one, run by hand.

    .venv/bin/python bench/merge_speed.py [--recordings 76] [--runs 5]

The recordings, made once into bench/out/merge/: every peer recording (a
copy, never committed) and generated races (bench/gen_stream.py, 0.2 to 1.2
MB each) up to --recordings, each moved in time (its "pt" values shifted) so
that they end five minutes apart on one day: a day's card, whose markets are
open at once for hours, so that the merge switches recording on most
messages. Each side reads every book, nothing from them:

- merged: market_books(paths);
- one by one: market_books([path]) for each path in turn.

Wall time, each the best of --runs taken in turns, with the load and without
it (the iterators made first), and the peak resident set of loading all at
once (the merge) against one at a time, each in a fresh process.
Target: merged at most 1.1 times one by one.
"""

from __future__ import annotations

import argparse
import pathlib
import re
import subprocess
import sys
import time

from gen_stream import generate
from marrowfin_tools import market_books

HERE = pathlib.Path(__file__).resolve().parent
OUT = HERE / "out" / "merge"
PEER = HERE.parent.parent / "shared" / "data" / "peer"
DAY = 1_700_000_000_000  # ms: the first recording ends here
PT = re.compile(rb'("pt":\s*)(\d+)')

# Runs in a fresh interpreter: the peak resident set's growth (KiB) while
# loading every path at once, or each in turn.
MEMORY_PROBE = """
import sys
from marrowfin_tools import market_books

def peak_kib():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))

paths, before = sys.argv[2:], peak_kib()
if sys.argv[1] == "merged":
    books = market_books(paths)
else:
    for path in paths:
        books = market_books([path])
        del books
print(peak_kib() - before)
"""


def shifted(source: bytes, end: int) -> bytes:
    """The recording moved in time so that its last message is published at `end`."""
    last = max(int(m.group(2)) for m in PT.finditer(source))
    return PT.sub(lambda m: m.group(1) + str(int(m.group(2)) + end - last).encode(), source)


def recordings(count: int) -> list[str]:
    OUT.mkdir(parents=True, exist_ok=True)
    sources = sorted(p for p in PEER.glob("*") if p.name != "README.md" and p.suffix != ".gz")[:count]
    paths = []
    for i in range(count):
        target = OUT / f"{i:03d}.json"
        if not target.exists():
            if i < len(sources):
                text = sources[i].read_bytes()
            else:
                scratch = OUT / "generated.json"
                generate(scratch, size_mb=0.2 + (i % 6) * 0.2, seed=100 + i)
                text = scratch.read_bytes()
                scratch.unlink()
            target.write_bytes(shifted(text, DAY + i * 300_000))
        paths.append(str(target))
    return paths


def merged(paths):
    for _ in market_books(paths):
        pass


def one_by_one(paths):
    for path in paths:
        for _ in market_books([path]):
            pass


def replay_merged(paths):
    books = market_books(paths)
    start = time.perf_counter()
    for _ in books:
        pass
    return time.perf_counter() - start


def replay_one_by_one(paths):
    each = [market_books([path]) for path in paths]
    start = time.perf_counter()
    for books in each:
        for _ in books:
            pass
    return time.perf_counter() - start


def best_of(runs, *sides):
    best = [float("inf")] * len(sides)
    for _ in range(runs):
        for i, side in enumerate(sides):
            start = time.perf_counter()
            inner = side()
            best[i] = min(best[i], inner if inner is not None else time.perf_counter() - start)
    return best


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--recordings", type=int, default=76)
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    paths = recordings(args.recordings)
    books = sum(1 for _ in market_books(paths))
    switches, last = 0, None
    merge = market_books(paths)
    for _ in merge:
        switches += merge.path_index != last
        last = merge.path_index
    del merge  # its recordings and objects would weigh on the runs below
    megabytes = sum(pathlib.Path(p).stat().st_size for p in paths) / 1e6
    print(f"{len(paths)} recordings, {megabytes:.0f} MB, {books} books; the merge changes recording "
          f"{switches} times")
    total = best_of(args.runs, lambda: merged(paths), lambda: one_by_one(paths))
    replay = best_of(args.runs, lambda: replay_merged(paths), lambda: replay_one_by_one(paths))
    for name, (m, o) in (("load and replay", total), ("replay alone", replay)):
        print(f"  {name:16} merged {m:6.3f} s, one by one {o:6.3f} s: {m / o:.2f}x")
    peaks = [int(subprocess.run([sys.executable, "-c", MEMORY_PROBE, side, *paths], capture_output=True,
                                text=True, check=True).stdout) for side in ("merged", "one")]
    print(f"  peak resident growth: merged {peaks[0] / 1024:.0f} MiB, one at a time {peaks[1] / 1024:.0f} MiB")


if __name__ == "__main__":
    main()
