#!/usr/bin/env python3
"""Times iter_prices_file on a large recording and measures its peak memory.

    bench/bench_load.py [--file PLAIN] [--size-mb 100] [--repeat 5]

Without --file, a seeded recording of --size-mb is generated with
bench/gen_stream.py into bench/out/ (kept there for the next run). A gzip copy
is made next to the plain file. Reports, each as the best of --repeat runs:

- the gzip load against `gzip -dc FILE > /dev/null` timed in the same run
  (target: at most 0.8 times as long);
- the plain load in MB of text per second (target: at least 600 on two cores);
- the growth of the peak resident set during one load, in a fresh process,
  against the bytes of the kept lines (target: at most 1.5 times);
- when the native benchmarks are built into build/bench (cmake with
  -DMARROWFIN_BENCH=ON -DMARROWFIN_MODULE=OFF): the native plain and gzip
  loads on one thread against one thread per core, the plain load with the
  direct JSON parser against RapidJSON's reader alone, and the time it takes to
  apply every message to a market cache against the plain load (target: at
  most 15%).
"""

from __future__ import annotations

import argparse
import gzip
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import time

from gen_stream import generate

HERE = pathlib.Path(__file__).resolve().parent
CACHE_BENCH = HERE.parent / "build" / "bench" / "marrowfin_cache_bench"
LOAD_BENCH = HERE.parent / "build" / "bench" / "marrowfin_load_bench"

# Runs in a fresh interpreter: the peak RSS before and after one load.
MEMORY_PROBE = """
import sys
import marrowfin

def peak_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])

before = peak_kib()
it = marrowfin.iter_prices_file(sys.argv[1])
after = peak_kib()
print(before, after, len(it))
"""


def kept_bytes(path: pathlib.Path) -> tuple[int, int]:
    """Bytes and count of the lines the loader keeps (without their line ends)."""
    total = count = 0
    with open(path, "rb") as f:
        for raw in f:
            line = raw.rstrip(b"\n")
            if line.endswith(b"\r"):
                line = line[:-1]
            if not line.strip():
                continue
            value = json.loads(line)
            if not isinstance(value, dict):
                continue
            pt = value.get("pt")
            if type(pt) is not int or not 0 < pt < 2**63:
                continue
            if isinstance(value.get("mc"), list) or "marketDefinition" in value or "rc" in value:
                total += len(line)
                count += 1
    return total, count


def peak_growth(loaded: pathlib.Path, plain: pathlib.Path) -> tuple[int, int, int]:
    """(peak RSS growth in bytes while loading `loaded` in a fresh process, bytes
    of the kept lines, their count), `plain` being its uncompressed text."""
    probe = subprocess.run([sys.executable, "-c", MEMORY_PROBE, str(loaded)], check=True,
                           capture_output=True, text=True)
    before_kib, after_kib, messages = map(int, probe.stdout.split())
    kept, kept_lines = kept_bytes(plain)
    assert kept_lines == messages, (kept_lines, messages)
    return (after_kib - before_kib) * 1024, kept, messages


def best_time(run, repeat: int) -> float:
    """Best wall time of `run()`; its result is freed outside the timing."""
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        result = run()
        best = min(best, time.perf_counter() - start)
        del result
    return best


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--file", type=pathlib.Path, help="plain recording to load")
    parser.add_argument("--size-mb", type=float, default=100.0)
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()

    import marrowfin

    plain = args.file
    if plain is None:
        plain = HERE / "out" / f"race-{args.size_mb:g}mb-seed{args.seed}.json"
        if not plain.exists():
            plain.parent.mkdir(parents=True, exist_ok=True)
            generate(plain, size_mb=args.size_mb, seed=args.seed)
    packed = plain.with_name(plain.name + ".gz")
    if not packed.exists() or packed.stat().st_mtime < plain.stat().st_mtime:
        with open(plain, "rb") as source, gzip.open(packed, "wb", compresslevel=6) as target:
            shutil.copyfileobj(source, target, 1 << 20)

    text_bytes = plain.stat().st_size
    gzip_cli = shutil.which("gzip")

    def gzip_dc():
        subprocess.run([gzip_cli, "-dc", str(packed)], stdout=subprocess.DEVNULL, check=True)

    load_gz = best_time(lambda: marrowfin.iter_prices_file(str(packed)), args.repeat)
    gunzip = best_time(gzip_dc, args.repeat)
    load_plain = best_time(lambda: marrowfin.iter_prices_file(str(plain)), args.repeat)

    growth, kept, messages = peak_growth(plain, plain)

    print(f"file: {plain} ({text_bytes / 1e6:.1f} MB, gzip {packed.stat().st_size / 1e6:.1f} MB, "
          f"{messages} kept messages)")
    print(f"gzip load {load_gz:.3f} s, gzip -dc {gunzip:.3f} s: "
          f"ratio {load_gz / gunzip:.2f} (target <= 0.8)")
    print(f"plain load {load_plain:.3f} s: {text_bytes / load_plain / 1e6:.0f} MB/s "
          f"(target >= 600 with 2 cores; {os.cpu_count()} here)")
    print(f"peak RSS growth {growth / 1e6:.1f} MB for {kept / 1e6:.1f} MB of kept lines: "
          f"ratio {growth / kept:.2f} (target <= 1.5)")
    if LOAD_BENCH.exists():
        for path in (plain, packed):
            walls = {}
            for threads in (1, 0):
                report = subprocess.run([str(LOAD_BENCH), str(path), str(threads), str(1 << 20),
                                         str(args.repeat)], check=True, capture_output=True,
                                        text=True).stdout
                walls[threads] = float(re.search(r"best ([0-9.]+) s wall", report).group(1))
            print(f"native {path.suffix} load: one thread {walls[1]:.3f} s, one per core "
                  f"{walls[0]:.3f} s: x{walls[1] / walls[0]:.2f}")
        for threads in (1, 0):
            walls = {}
            for method in ("reader", "direct"):
                report = subprocess.run([str(LOAD_BENCH), str(plain), str(threads), str(1 << 20),
                                         str(args.repeat), "-1", method], check=True,
                                        capture_output=True, text=True).stdout
                walls[method] = float(re.search(r"best ([0-9.]+) s wall", report).group(1))
            print(f"native plain load on {'one thread' if threads else 'one thread per core'}: "
                  f"RapidJSON's reader alone {walls['reader']:.3f} s, direct parser "
                  f"{walls['direct']:.3f} s: x{walls['reader'] / walls['direct']:.2f}")
    if CACHE_BENCH.exists():
        report = subprocess.run([str(CACHE_BENCH), str(plain), str(args.repeat)], check=True,
                                capture_output=True, text=True).stdout
        apply = float(re.search(r"apply all changes: *([0-9.]+) s", report).group(1))
        print(f"applying every message natively {apply:.3f} s: "
              f"{100 * apply / load_plain:.1f}% of the plain load, "
              f"{100 * apply / load_gz:.1f}% of the gzip load (target <= 15%)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
