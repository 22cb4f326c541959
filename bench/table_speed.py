#!/usr/bin/env python3
"""Price-table speed, run by hand.

    .venv/bin/python bench/table_speed.py [FILE] [--runs 5] [--depth 3] [--every-book]

Without a file it uses the generated ~50 MB race of bench/out (made once by
bench/gen_stream.py). CPU time (of every thread) and wall time, each the
best of --runs taken in turns, all in this one process:

- replay: every book of iter_prices_file, reading nothing from them;
- table: pyarrow.table(price_table(FILE)): load, fold and every record batch;
- python: the same table built in Python from the books (the tests' oracle,
  tests/python/tools/table_rows.py), then made a pyarrow table.

Targets: table at most 0.5 times replay, python at least 10 times table.

Memory, in a fresh process each: the peak resident set's growth while loading
(price_table), then while reading every record batch, or writing each into a
Parquet file, against the table's Arrow bytes: a stream holds about two
batches (the one read and the one being built), not the table.
"""

from __future__ import annotations

import argparse
import pathlib
import subprocess
import sys
import time
import warnings

import pyarrow as pa

import marrowfin
from gen_stream import generate
from marrowfin_tools import price_table

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path[:0] = [str(ROOT / "tests" / "python"), str(ROOT / "tests" / "python" / "tools")]
from table_rows import rows_from_books  # noqa: E402

GENERATED = ROOT / "bench" / "out" / "race50.json"


def best(runs, *funcs):
    """(CPU seconds, wall seconds) of each function, each the best of `runs`,
    the functions taken in turns so that a busy moment of the machine does not
    fall on one side only. The load parses on every core, so the CPU time of
    all threads exceeds the wall time."""
    cpu, wall = [[] for _ in funcs], [[] for _ in funcs]
    for _ in range(runs):
        for i, func in enumerate(funcs):
            start, start_wall = time.process_time(), time.perf_counter()
            result = func()
            cpu[i].append(time.process_time() - start)
            wall[i].append(time.perf_counter() - start_wall)
            del result
    return [(min(c), min(w)) for c, w in zip(cpu, wall)]


MEMORY_PROBE = """
import sys, tempfile
import pyarrow as pa, pyarrow.parquet as pq
from marrowfin_tools import price_table

def peak_kib():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))

start = peak_kib()
t = price_table(sys.argv[1], int(sys.argv[2]), sys.argv[3] == "1")
loaded = peak_kib()
with tempfile.TemporaryDirectory() as folder, pa.RecordBatchReader.from_stream(t) as reader:
    if sys.argv[4] == "parquet":
        with pq.ParquetWriter(folder + "/t.parquet", reader.schema) as out:
            for batch in reader:
                out.write_batch(batch)
    else:
        for batch in reader:
            pass
print(loaded - start, peak_kib() - loaded)
"""


def peak_growth(path, depth, every_book, mode):
    """(MB of the load, MB of streaming the table) in a fresh process."""
    done = subprocess.run([sys.executable, "-c", MEMORY_PROBE, path, str(depth), str(int(every_book)), mode],
                          check=True, capture_output=True, text=True)
    return [int(kib) / 1024 for kib in done.stdout.split()]


def replay(path):
    for _ in marrowfin.iter_prices_file(path):
        pass


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("file", nargs="?")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--depth", type=int, default=3)
    parser.add_argument("--every-book", action="store_true")
    args = parser.parse_args()
    warnings.simplefilter("ignore", DeprecationWarning)  # utcfromtimestamp, once per book
    path = args.file
    if path is None:
        if not GENERATED.exists():
            generate(GENERATED, size_mb=50, seed=7)
        path = str(GENERATED)

    table = pa.table(price_table(path, args.depth, args.every_book))
    schema = table.schema
    slow = pa.table(rows_from_books(marrowfin.iter_prices_file(path), args.depth, args.every_book),
                    schema=schema)
    assert slow.equals(table), "the Python table differs from the native one"

    t_replay, t_table = best(args.runs, lambda: replay(path),
                             lambda: pa.table(price_table(path, args.depth, args.every_book)))
    (t_python,) = best(max(1, args.runs // 2), lambda: pa.table(
        rows_from_books(marrowfin.iter_prices_file(path), args.depth, args.every_book), schema=schema))
    size = pathlib.Path(path).stat().st_size / 1e6
    print(f"{path} ({size:.1f} MB), depth {args.depth}, every_book={args.every_book}: "
          f"{table.num_rows:,} rows, {table.nbytes / 1e6:.0f} MB of Arrow buffers")
    # The targets are set for the default table.
    targets = args.depth == 3 and not args.every_book
    print(f"  replay (books, nothing read)  {t_replay[0]:7.3f} CPU s  {t_replay[1]:7.3f} s")
    print(f"  price_table -> pyarrow        {t_table[0]:7.3f} CPU s  {t_table[1]:7.3f} s  "
          f"{t_table[0] / t_replay[0]:.2f} x replay's CPU, {t_table[1] / t_replay[1]:.2f} x its time"
          + (" (target <= 0.5)" if targets else ""))
    print(f"  Python from the books         {t_python[0]:7.3f} CPU s  {t_python[1]:7.3f} s  "
          f"{t_python[0] / t_table[0]:.1f} x price_table's CPU, {t_python[1] / t_table[1]:.1f} x its time"
          + (" (target >= 10)" if targets else ""))
    load, read = peak_growth(path, args.depth, args.every_book, "read")
    _, write = peak_growth(path, args.depth, args.every_book, "parquet")
    print(f"  peak memory: load +{load:.0f} MB; then every batch read +{read:.0f} MB, or written to "
          f"Parquet +{write:.0f} MB (the whole table: {table.nbytes / 2**20:.0f} MB)")


if __name__ == "__main__":
    main()
