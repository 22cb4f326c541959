#!/usr/bin/env python3
"""Times iter_prices_file on a bzip2 recording against `bzip2 -dc`, and its peak memory.

    bench/bzip2_load.py [--file PLAIN] [--size-mb 50] [--repeat 5]

Without --file, a seeded recording of --size-mb is generated with
bench/gen_stream.py into bench/out/ (kept there for the next run); a bzip2
copy (level 9, as the exchange's files are) is made next to it with the
`bzip2` command. Reports, each as the best of --repeat runs:

- the load of the .bz2 file against `bzip2 -dc FILE > /dev/null` timed in the
  same run: through the module, as by default (one thread decodes while the
  caller parses; target: at most 1.15 times as long), and, when the native
  load bench is built (cmake -DMARROWFIN_BENCH=ON into build/bench), with
  the blocks decoded side by side by 2 threads (target on 2 cores: at most
  0.7 times) and by the reading thread alone in one pass;
- the growth of the peak resident set during one load, in a fresh process,
  against the bytes of the kept lines (target: at most 2 times).
"""

from __future__ import annotations

import argparse
import os
import pathlib
import shutil
import subprocess
import sys

from bench_load import LOAD_BENCH, best_time, peak_growth
from gen_stream import generate

HERE = pathlib.Path(__file__).resolve().parent


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--file", type=pathlib.Path, help="plain recording to compress and load")
    parser.add_argument("--size-mb", type=float, default=50.0)
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()

    import marrowfin

    bzip2_cli = shutil.which("bzip2")
    if bzip2_cli is None:
        sys.exit("bzip2 is not installed (apt-get install bzip2)")
    plain = args.file
    if plain is None:
        plain = HERE / "out" / f"race-{args.size_mb:g}mb-seed{args.seed}.json"
        if not plain.exists():
            plain.parent.mkdir(parents=True, exist_ok=True)
            generate(plain, size_mb=args.size_mb, seed=args.seed)
    packed = plain.with_name(plain.name + ".bz2")
    if not packed.exists() or packed.stat().st_mtime < plain.stat().st_mtime:
        with open(packed, "wb") as out:
            subprocess.run([bzip2_cli, "-9", "-c", str(plain)], stdout=out, check=True)

    def bzip2_dc():
        subprocess.run([bzip2_cli, "-dc", str(packed)], stdout=subprocess.DEVNULL, check=True)

    def native_load(bzip2_threads: int) -> float:
        """The native load's best wall time of one round (one parsing thread per core)."""
        report = subprocess.run([str(LOAD_BENCH), str(packed), "0", str(1 << 20), "1", str(bzip2_threads)],
                                check=True, capture_output=True, text=True).stdout
        words = report.split()
        return float(words[words.index("wall,") - 2])  # "best 1.234 s wall, ..."

    # Interleaved, so that a busy moment of a shared machine hits all alike.
    load = side_by_side = one_pass = decompress = float("inf")
    for _ in range(args.repeat):
        decompress = min(decompress, best_time(bzip2_dc, 1))
        load = min(load, best_time(lambda: marrowfin.iter_prices_file(str(packed)), 1))
        if LOAD_BENCH.exists():
            side_by_side = min(side_by_side, native_load(2))
            one_pass = min(one_pass, native_load(0))

    growth, kept, messages = peak_growth(packed, plain)

    print(f"file: {packed} ({plain.stat().st_size / 1e6:.1f} MB of text, "
          f"{packed.stat().st_size / 1e6:.1f} MB of bzip2, {messages} kept messages)")
    print(f"bzip2 -dc {decompress:.3f} s on {os.cpu_count()} cores; load: {load:.3f} s, ratio "
          f"{load / decompress:.2f} (target <= 1.15)")
    if LOAD_BENCH.exists():
        print(f"native: 2 threads side by side {side_by_side:.3f} s, ratio {side_by_side / decompress:.2f} "
              f"(target on 2 cores <= 0.7); in one pass {one_pass:.3f} s, ratio {one_pass / decompress:.2f}")
    print(f"peak RSS growth {growth / 1e6:.1f} MB for {kept / 1e6:.1f} MB of kept lines: "
          f"ratio {growth / kept:.2f} (target <= 2)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
