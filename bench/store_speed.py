#!/usr/bin/env python3
"""A month converted into a store, and the store replayed, run by hand.

    .venv/bin/python bench/store_speed.py [--members 300] [--runs 3] [--level 7]

Makes (once, kept in bench/out) a tar of --members bzip2 recordings in the
exchange's layout with bench/gen_stream.py (races of 0.5 to 3 MB, 15% of
them Australian WIN markets), then, in this one run:

- `marrowfin convert MONTH.tar -o STORE --jobs 2` in wall time against
  `bzip2 -dc` of every member as two parallel halves (target: at most 2.5
  times), best of --runs taken in turns; and the same in CPU time, the
  store's recordings written in this process loading as the command's
  workers do (one thread each on two cores) against bzip2 -dc of every
  member, which a machine shared with other work disturbs less;
- the store's bytes against the bzip2 members' (target: at most 1.4 at the
  default level);
- replaying every recording (iter_prices_file, every book taken) of the
  store, of the bzip2 members and of the members as plain files, in CPU
  time of every thread, best of --runs taken in turns (targets: at least 3
  times faster than bzip2, at most 1.15 times plain);
- choosing markets from the catalogue with DuckDB: catalog() and a query, in
  wall time in a fresh process (the imports apart), on the month's catalogue
  and on one of 60 times as many rows (target: under a second).
"""

from __future__ import annotations

import argparse
import os
import pathlib
import resource
import shutil
import subprocess
import sys
import tempfile
import time

from runner_speed import archive, bzip2_halves, cpu, plain, unpacked, wall

DEFAULT_LEVEL = 7


def convert(tar: pathlib.Path, level: int) -> None:
    with tempfile.TemporaryDirectory(dir=tar.parent) as scratch:
        subprocess.run([sys.executable, "-m", "marrowfin_tools", "convert", str(tar), "-o", f"{scratch}/store",
                        "--jobs", "2", "--level", str(level), "--no-progress"], check=True,
                       stderr=subprocess.DEVNULL)


def replay(paths: list[str]) -> None:
    import marrowfin

    for path in paths:
        for _ in marrowfin.iter_prices_file(path):
            pass


def best_cpu(runs: int, *funcs) -> list[float]:
    """The least CPU time of this process (every thread) per function, taken in turns."""
    best = [float("inf")] * len(funcs)
    for _ in range(runs):
        for i, func in enumerate(funcs):
            best[i] = min(best[i], cpu(func, resource.RUSAGE_SELF))
    return best


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--members", type=int, default=300)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--seed", type=int, default=27)
    parser.add_argument("--level", type=int, default=DEFAULT_LEVEL)
    args = parser.parse_args()
    sys.stdout.reconfigure(line_buffering=True)  # type: ignore[attr-defined]  # each figure as it comes

    from marrowfin_tools import _native

    month = archive(f"store-month-{args.members}-{args.seed}.tar", args.members, args.seed, (0.5, 3.0))
    members = unpacked(month)
    texts = plain(members)
    bzip2_bytes = sum(p.stat().st_size for p in members)
    text_bytes = sum(p.stat().st_size for p in texts)
    print(f"month: {len(members)} members, {bzip2_bytes / 1e6:.0f} MB of bzip2, {text_bytes / 1e6:.0f} MB of "
          f"text; zstd level {args.level}; {os.cpu_count()} cores")

    converting, floor = float("inf"), float("inf")
    for _ in range(args.runs):
        converting = min(converting, wall(lambda: convert(month, args.level)))
        floor = min(floor, wall(lambda: bzip2_halves(members)))
    print(f"convert --jobs 2 {converting:.2f} s, bzip2 -dc in two halves {floor:.2f} s: "
          f"ratio {converting / floor:.2f} (target <= 2.5)")

    work = pathlib.Path(tempfile.mkdtemp(dir=month.parent))
    try:
        previous = _native.set_load_threads(1)

        def write_all() -> None:
            for i, member in enumerate(members):
                fd = os.open(work / f"{i}.json.zst", os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
                try:
                    _native.store_recording(str(member), fd, args.level)
                finally:
                    os.close(fd)

        writing = min(cpu(write_all, resource.RUSAGE_SELF) for _ in range(args.runs))
        _native.set_load_threads(previous)
        bzip2_cpu = min(cpu(lambda: bzip2_halves(members), resource.RUSAGE_CHILDREN) for _ in range(args.runs))
        print(f"CPU: every store file written {writing:.2f} s, bzip2 -dc of every member {bzip2_cpu:.2f} s: "
              f"ratio {writing / bzip2_cpu:.2f}")

        store = work / "store"
        subprocess.run([sys.executable, "-m", "marrowfin_tools", "convert", str(month), "-o", str(store),
                        "--jobs", "2", "--level", str(args.level), "--no-progress"], check=True,
                       stderr=subprocess.DEVNULL)
        stored = sorted(str(p) for p in store.rglob("*.json.zst"))
        store_bytes = sum(os.path.getsize(p) for p in stored)
        print(f"store: {store_bytes / 1e6:.1f} MB in {len(stored)} files, bzip2 {bzip2_bytes / 1e6:.1f} MB: "
              f"ratio {store_bytes / bzip2_bytes:.3f} (target <= 1.4)")

        zstd, bzip2, text = best_cpu(args.runs, lambda: replay(stored), lambda: replay([str(m) for m in members]),
                                     lambda: replay([str(t) for t in texts]))
        print(f"replay CPU: store {zstd:.2f} s, bzip2 {bzip2:.2f} s, plain {text:.2f} s: bzip2 / store "
              f"{bzip2 / zstd:.2f} (target >= 3), store / plain {zstd / text:.3f} (target <= 1.15)")

        # The query of a month, and of a catalogue of 60 times as many rows
        # (a year of several countries), each in a fresh process as a user's
        # first query would be.
        query = ("import sys, time; started = time.perf_counter()\n"
                 "import duckdb; from marrowfin_tools import catalog\n"
                 "imported = time.perf_counter()\n"
                 "markets = catalog(sys.argv[1])\n"
                 "paths = duckdb.sql(\"select path from markets where country_code = 'AU' "
                 "and market_type = 'WIN'\").fetchall()\n"
                 "print(markets.num_rows, len(paths), imported - started, time.perf_counter() - imported)\n")
        print(f"catalogue: {len(list((store / 'catalog').glob('*.parquet')))} Parquet files")
        big = work / "big"
        (big / "catalog").mkdir(parents=True)
        parts = sorted((store / "catalog").glob("*.parquet"))
        for i in range(60):
            for j, part in enumerate(parts):
                shutil.copy(part, big / "catalog" / f"part-{i:04d}-{j:04d}.parquet")
        for name, folder in (("month", store), ("60 months", big)):
            best = [float("inf")] * 2
            for _ in range(args.runs):
                out = subprocess.run([sys.executable, "-c", query, str(folder)], check=True, capture_output=True,
                                     text=True).stdout.split()
                best = [min(b, float(t)) for b, t in zip(best, out[2:])]
            print(f"catalogue of {name}: {int(out[0]):,} rows, {int(out[1]):,} chosen: catalog() and the query "
                  f"{best[1]:.3f} s (target < 1 s), after importing duckdb and marrowfin_tools in {best[0]:.3f} s")
    finally:
        shutil.rmtree(work)
    return 0


if __name__ == "__main__":
    sys.exit(main())
