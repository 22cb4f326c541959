#!/usr/bin/env python3
"""The runner table and market filters on a month of bzip2 recordings, run by hand.

    .venv/bin/python bench/runner_speed.py [--members 300] [--big-members 40] [--python-files 20]

Makes (once, kept in bench/out) two tars of bzip2 recordings in the exchange's
layout with bench/gen_stream.py: the month (--members races of 0.5 to 3 MB,
one to four bzip2 blocks, 15% of them Australian WIN markets) and the big
one (--big-members races of 6 to 8 MB, seven blocks or more). Then, wall
times in this one run (each the best of --runs, the two sides of a ratio
taken in turns):

- runner_table over the members as plain files against the same table
  computed in Python from the books of market_books (the tests' oracle,
  tests/python/tools/table_rows.py), both in this process on the first
  --python-files members (target: at least 10 times faster);
- `marrowfin runners MONTH.tar --jobs 2` against `bzip2 -dc` of all its
  members run as two parallel halves, the floor of any reader (target: at
  most 1.2 times);
- the CPU time of runner_table over every member, loading as the
  command's workers do, against that of bzip2 -dc over every member: the
  same comparison, less disturbed by other work on the machine;
- `--country AU --market-type WIN` (15% of the markets) against no filter,
  on the big tar (target: at most 0.35) and on the month (what a filter
  saves on recordings of few blocks);
- memory, in a fresh process loading as a worker of `--jobs 2` does: the
  peak resident growth of one worker's runner table of the largest
  recording and of a 50 MB race, each plain and bzip2, against its kept
  bytes (target: at most 1.5 times plus the output batch), after the table of a
  small recording (as a worker has made tables before: the code is in),
  beside the same as the process's first and its load alone; the peak
  growth of one worker making the tables of every member of the month, one
  after another, against the largest's kept bytes; and what a
  filter's read of the race as bzip2 costs: the time and the peak growth
  of its first definition.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import resource
import subprocess
import sys
import tarfile
import tempfile
import time

import gen_stream

HERE = pathlib.Path(__file__).resolve().parent
OUT = HERE / "out"
sys.path[:0] = [str(HERE.parent / "tests" / "python"), str(HERE.parent / "tests" / "python" / "tools")]
from bench_load import kept_bytes  # noqa: E402

MEMORY_PROBE = """
import os
import pickle
import sys
import marrowfin
from marrowfin_tools import _native, runners
_native.set_load_threads(max(1, len(os.sched_getaffinity(0)) // 2))  # as a worker of --jobs 2 loads

def peak_kib():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))

if sys.argv[3]:  # a small recording first, as a worker has replayed one before: the code is in
    if sys.argv[2] == "load":
        list(marrowfin.iter_prices_file(sys.argv[3]))
    else:
        runners.recording_rows(sys.argv[3], (60, 30, 0))
before = peak_kib()
if sys.argv[2] == "load":
    it = marrowfin.iter_prices_file(sys.argv[1])
    print(before, peak_kib(), 0)
elif sys.argv[2] == "first_definition":
    import time
    started = time.perf_counter()
    _native.first_definition(sys.argv[1])
    print(before, peak_kib(), round((time.perf_counter() - started) * 1e6))
elif sys.argv[2] == "all":  # every recording listed in the file, one after another, as a worker takes them
    with open(sys.argv[1]) as listed:
        largest = max(len(pickle.dumps(runners.recording_rows(path.rstrip("\\n"), (60, 30, 0)))) for path in listed)
    print(before, peak_kib(), largest)
else:
    sent = pickle.dumps(runners.recording_rows(sys.argv[1], (60, 30, 0)))  # what a worker sends
    print(before, peak_kib(), len(sent))
"""


def peak_growth(path: pathlib.Path, what: str, warm: pathlib.Path | None = None) -> tuple[int, int]:
    """(peak resident growth, output bytes) of a worker's runner table of
    `path`, or of its load alone, in a fresh process (after the table of
    `warm`, when given); for its first definition, (peak resident growth,
    microseconds)."""
    probe = subprocess.run([sys.executable, "-c", MEMORY_PROBE, str(path), what, str(warm or "")],
                           check=True, capture_output=True, text=True)
    before, after, table_bytes = map(int, probe.stdout.split())
    return (after - before) * 1024, table_bytes


def archive(name: str, members: int, seed: int, size_mb: tuple) -> pathlib.Path:
    path = OUT / name
    if not path.exists():
        OUT.mkdir(exist_ok=True)
        started = time.perf_counter()
        gen_stream.write_archive(str(path) + ".part", members=members, seed=seed, size_mb=size_mb)
        os.replace(str(path) + ".part", path)
        print(f"made {path} in {time.perf_counter() - started:.0f} s", file=sys.stderr)
    return path


def unpacked(tar: pathlib.Path) -> list[pathlib.Path]:
    """The members as .bz2 files beside the tar, made once."""
    folder = tar.with_suffix(".members")
    if not folder.exists():
        with tarfile.open(tar) as t:
            t.extractall(str(folder) + ".part", filter="data")
        os.replace(str(folder) + ".part", folder)
    return sorted(folder.rglob("*.bz2"))


def plain(members: list[pathlib.Path]) -> list[pathlib.Path]:
    """Plain copies of the members, made once."""
    import bz2

    out = []
    for member in members:
        text = member.with_suffix(".json")
        if not text.exists():
            text.write_bytes(bz2.decompress(member.read_bytes()))
        out.append(text)
    return out


def wall(func) -> float:
    started = time.perf_counter()
    func()
    return time.perf_counter() - started


def cpu(func, who: int) -> float:
    """User and system seconds of `func`, in this process or its children."""
    before = resource.getrusage(who)
    func()
    after = resource.getrusage(who)
    return after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime


def in_turns(runs: int, *funcs) -> list[float]:
    """The best wall time of each function, the functions taken in turns."""
    best = [float("inf")] * len(funcs)
    for _ in range(runs):
        for i, func in enumerate(funcs):
            best[i] = min(best[i], wall(func))
    return best


def command(*args: str) -> None:
    with tempfile.TemporaryDirectory() as scratch:
        subprocess.run([sys.executable, "-m", "marrowfin_tools", "runners", *args, "--no-progress",
                        "-o", f"{scratch}/runners.parquet"], check=True, stderr=subprocess.DEVNULL)


def bzip2_halves(members: list[pathlib.Path]) -> None:
    half = len(members) // 2
    jobs = [subprocess.Popen(["bzip2", "-dc", *map(str, part)], stdout=subprocess.DEVNULL)
            for part in (members[:half], members[half:])]
    for job in jobs:
        assert job.wait() == 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--members", type=int, default=300)
    parser.add_argument("--big-members", type=int, default=40)
    parser.add_argument("--python-files", type=int, default=20)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()

    # As in the command: numpy's BLAS threads, started by pyarrow's import,
    # would spin beside the timings made in this process.
    os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
    import pyarrow as pa

    from marrowfin_tools import _native, runner_table
    from table_rows import books_per_market, runner_rows_from_books

    month = archive(f"runners-month-{args.members}-{args.seed}.tar", args.members, args.seed, (0.5, 3.0))
    big = archive(f"runners-big-{args.big_members}-{args.seed}.tar", args.big_members, args.seed + 1, (6.0, 8.0))
    members = unpacked(month)
    texts = plain(members)
    text_mb = sum(p.stat().st_size for p in texts) / 1e6
    print(f"month: {len(members)} members, {month.stat().st_size / 1e6:.0f} MB of bzip2, {text_mb:.0f} MB "
          f"of text; big: {big.stat().st_size / 1e6:.0f} MB of bzip2; {os.cpu_count()} cores")

    sample = [str(p) for p in texts[:args.python_files]]

    def in_python():
        rows = []
        for path in sample:
            for books in books_per_market(path).values():
                rows += runner_rows_from_books(books, (60, 30, 0))
        return rows

    # First, in a process that has loaded nothing yet, as a user's would be:
    # after a month of bzip2 loaded here, the next loads of small plain files
    # measured 20-30% slower. A tenth of a second against one: more runs.
    native, python = in_turns(max(args.runs, 5), lambda: pa.table(runner_table(sample, before=(60, 30, 0))),
                              in_python)
    print(f"{len(sample)} plain files: runner_table {native:.2f} s, in Python from the books {python:.1f} s: "
          f"x{python / native:.1f} (target >= 10)")

    runners, floor = in_turns(args.runs, lambda: command(str(month), "--jobs", "2"),
                              lambda: bzip2_halves(members))
    print(f"runners --jobs 2 {runners:.2f} s, bzip2 -dc in two halves {floor:.2f} s: "
          f"ratio {runners / floor:.2f} (target <= 1.2)")
    # CPU time, which a machine shared with other work disturbs less than
    # wall time: the table of every member in this process, loading as the
    # command's workers do (one thread each on two cores), against bzip2 -dc
    # of every member.
    previous = _native.set_load_threads(1)
    table_cpu = cpu(lambda: pa.table(runner_table([str(m) for m in members])), resource.RUSAGE_SELF)
    _native.set_load_threads(previous)
    bzip2_cpu = cpu(lambda: bzip2_halves(members), resource.RUSAGE_CHILDREN)
    print(f"CPU: runner_table of every member {table_cpu:.2f} s, bzip2 -dc of every member "
          f"{bzip2_cpu:.2f} s: ratio {table_cpu / bzip2_cpu:.2f}")

    filters = ("--country", "AU", "--market-type", "WIN")
    for name, tar in (("big", big), ("month", month)):
        # A filtered run is short, and a shared machine's noise moves its
        # ratio by a few hundredths: more runs.
        everything, kept = in_turns(max(args.runs, 5), lambda: command(str(tar), "--jobs", "2"),
                                    lambda: command(str(tar), "--jobs", "2", *filters))
        print(f"{name}: filtered to 15% {kept:.2f} s, unfiltered {everything:.2f} s: "
              f"ratio {kept / everything:.2f}" + (" (target <= 0.35)" if name == "big" else ""))

    largest = max(members, key=lambda p: p.stat().st_size)
    race = OUT / "race50.json"
    if not race.exists():
        gen_stream.generate(str(race), size_mb=50, seed=7)
    packed = race.with_name(race.name + ".bz2")
    if not packed.exists():
        subprocess.run(f"bzip2 -c {race} > {packed}.part && mv {packed}.part {packed}", shell=True, check=True)
    text_of_largest = largest.with_suffix(".json")
    # The first lines of the largest: a recording whose values take a few
    # kB of the arena block that the next load takes over.
    small = OUT / "small.json"
    with open(text_of_largest, "rb") as whole:
        small.write_bytes(b"".join(line for line, _ in zip(whole, range(20))))
    # The race as bzip2 too: where a decoder's few MB weigh little beside the values.
    for path, text in ((text_of_largest, text_of_largest), (largest, text_of_largest), (race, race),
                       (packed, race)):
        kept, _ = kept_bytes(text)
        growth, table_bytes = peak_growth(path, "runners", small)
        first, _ = peak_growth(path, "runners")
        load, _ = peak_growth(path, "load", small)
        print(f"worker peak growth on {path.name} ({kept / 1e6:.1f} MB kept): {growth / 1e6:.1f} MB and a "
              f"{table_bytes / 1e3:.0f} kB table: ratio {(growth - table_bytes) / kept:.2f} (target <= 1.5), "
              f"{(first - table_bytes) / kept:.2f} as the process's first, whose code pages in then; "
              f"its load alone {load / kept:.2f}")
    # A worker's peak over a whole run, whatever the loads before the largest
    # left it holding (arena blocks, chunks and decoders kept for the next).
    for kind, paths in (("plain", texts), ("bzip2", members)):
        with tempfile.NamedTemporaryFile("w", suffix=".list") as listed:
            listed.write("".join(f"{path}\n" for path in paths))
            listed.flush()
            growth, table_bytes = peak_growth(pathlib.Path(listed.name), "all", small)
        kept, _ = kept_bytes(text_of_largest)
        print(f"one worker's peak growth over the {len(paths)} members as {kind}: {growth / 1e6:.1f} MB: ratio "
              f"{(growth - table_bytes) / kept:.2f} of the largest's kept bytes (target <= 1.5)")
    growth, micros = min(peak_growth(packed, "first_definition") for _ in range(args.runs))
    print(f"first definition of {packed.name} ({packed.stat().st_size / 1e6:.1f} MB of bzip2): "
          f"{micros / 1e3:.1f} ms, peak growth {growth / 1e6:.1f} MB")
    return 0


if __name__ == "__main__":
    sys.exit(main())
