#!/usr/bin/env python3
"""Times the replay of a zstd recording against the same recording plain and as bzip2.

    bench/zstd_replay.py [--file PLAIN] [--size-mb 100] [--level 9] [--window-log 20] [--repeat 5]

Without --file, a seeded recording of --size-mb is generated with
bench/gen_stream.py into bench/out/ (kept there for the next run); two zstd
copies at --level (with a checksum, as the `zstd` command writes), one with
the level's own window (8 MiB at level 9) and one with a window of
2**--window-log bytes, and a bzip2 copy (level 9, as the exchange's files
are) are made next to it. The window is what the decoder writes every byte
through before it is copied out: one larger than the cache evicts the
parser's memory, and the replay pays for it, at the same size of file. A replay is
iter_prices_file and every book taken from it. Each is timed in CPU time of
the whole process (every thread: bzip2's decoding threads and the parsing
ones count), best of --repeat runs taken in turns, so that a busy moment of a
shared machine hits all three alike; wall times are shown beside. Targets:
the zstd replay at most 1.15 times the plain one, and at least 3 times as
fast as the bzip2 one.
"""

from __future__ import annotations

import argparse
import bz2
import os
import pathlib
import shutil
import sys
import time

import zstandard

from gen_stream import generate

HERE = pathlib.Path(__file__).resolve().parent


def replay(path: pathlib.Path) -> tuple[float, float]:
    """(CPU seconds, wall seconds) of replaying every book of `path`."""
    import marrowfin

    cpu, wall = time.process_time(), time.perf_counter()
    books = 0
    for _ in marrowfin.iter_prices_file(str(path)):
        books += 1
    assert books > 0
    return time.process_time() - cpu, time.perf_counter() - wall


def packed(plain: pathlib.Path, suffix: str, write) -> pathlib.Path:
    """The compressed copy beside `plain`, made anew when older than it."""
    path = plain.with_name(plain.name + suffix)
    if not path.exists() or path.stat().st_mtime < plain.stat().st_mtime:
        temp = path.with_name(path.name + ".part")
        with open(plain, "rb") as source, open(temp, "wb") as raw:
            write(source, raw)
        temp.replace(path)
    return path


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--file", type=pathlib.Path, help="plain recording to compress and replay")
    parser.add_argument("--size-mb", type=float, default=100.0)
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--level", type=int, default=9, help="zstd level (default 9)")
    parser.add_argument("--window-log", type=int, default=20, help="the second zstd copy's window (default 20)")
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()

    plain = args.file
    if plain is None:
        plain = HERE / "out" / f"race-{args.size_mb:g}mb-seed{args.seed}.json"
        if not plain.exists():
            plain.parent.mkdir(parents=True, exist_ok=True)
            generate(plain, size_mb=args.size_mb, seed=args.seed)

    def zstd_writer(window_log: int | None):
        def write(source, raw):
            params = zstandard.ZstdCompressionParameters.from_level(
                args.level, write_checksum=True, **({"window_log": window_log} if window_log else {}))
            zstandard.ZstdCompressor(compression_params=params).copy_stream(source, raw, size=plain.stat().st_size)
        return write

    def write_bzip2(source, raw):
        with bz2.open(raw, "wb", compresslevel=9) as out:
            shutil.copyfileobj(source, out, 1 << 20)

    small = f"zstd window 2^{args.window_log}"
    files = {"plain": plain, "zstd": packed(plain, f".{args.level}.zst", zstd_writer(None)),
             small: packed(plain, f".{args.level}.w{args.window_log}.zst", zstd_writer(args.window_log)),
             "bzip2": packed(plain, ".bz2", write_bzip2)}
    cpu = {name: float("inf") for name in files}
    wall = dict(cpu)
    for _ in range(args.repeat):
        for name, path in files.items():
            c, w = replay(path)
            cpu[name], wall[name] = min(cpu[name], c), min(wall[name], w)

    sizes = ", ".join(f"{name} {path.stat().st_size / 1e6:.1f} MB" for name, path in files.items())
    print(f"file: {plain} ({sizes}); {os.cpu_count()} cores; best of {args.repeat}")
    for name in files:
        print(f"replay {name:17}: {cpu[name]:.3f} s CPU, {wall[name]:.3f} s wall")
    for zstd in ("zstd", small):
        print(f"{zstd} against plain: {cpu[zstd] / cpu['plain']:.2f} in CPU time, "
              f"{wall[zstd] / wall['plain']:.2f} in wall time (target <= 1.15); "
              f"bzip2 against it: {cpu['bzip2'] / cpu[zstd]:.2f} in CPU time, "
              f"{wall['bzip2'] / wall[zstd]:.2f} in wall time (target >= 3)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
