"""A replay that reads nothing against the sum of its unavoidable parts, run by hand.

The replay is `for _ in marrowfin.iter_prices_file(path): pass` with the
installed module. Its parts, each timed alone in the same process:

- load: `iter_prices_file(path)` and dropping the iterator: reading,
  decompressing and parsing the file, and freeing it again;
- updates: every message applied to a fresh MarketCache in native code, with
  the runner order each book needs; no Python objects;
- objects: the Python objects the replay makes and no others, made from
  values noted beforehand with the module's own constructors: each new
  PriceSize list, ExchangePrices and Runner, every book's runner list,
  datetime (its class looked up on every book, as the module must so that a
  patched class is seen) and MarketBook, each previous book dropped in turn
  (the market definitions, a few per file, are left out, which lowers the
  floor);
- loop: the Python `for` loop that consumes the books, as many steps over a
  C iterator (`itertools.repeat`) with nothing made.

The last two come from bench/floor_module.cpp, a second build of the binding
layer that this script builds into build/bench (CMake, -DMARROWFIN_BENCH=ON).
Times are CPU times, best of N runs taken in turns (the machine is shared).
The target is a ratio of at most 1.15.

    .venv/bin/python bench/floor.py [FILE ...] [--runs N] [--baseline DIR]

`--baseline DIR` times the same replay with another build of the module (a
directory holding its marrowfin*.so) in a child process, against this floor.

Without files it measures the real recording SELF-1.181223995 (when present)
and the generated 50 MB race of bench/replay_speed.py.
"""

import argparse
import itertools
import json
import os
import pathlib
import subprocess
import sys
import sysconfig
import time

from replay_speed import default_files

ROOT = pathlib.Path(__file__).resolve().parents[1]
BUILD = ROOT / "build" / "bench"


def build_floor_module():
    cmake = pathlib.Path(sys.executable).parent / "cmake"
    subprocess.run([str(cmake), "-S", str(ROOT), "-B", str(BUILD), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                    "-DMARROWFIN_BENCH=ON", f"-DPython_EXECUTABLE={sys.executable}"],
                   check=True, stdout=subprocess.DEVNULL)  # fmt: skip
    subprocess.run([str(cmake), "--build", str(BUILD), "--target", "marrowfin_floor", "-j", "2"],
                   check=True, stdout=subprocess.DEVNULL)
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    if not (BUILD / f"marrowfin_floor{suffix}").exists():
        sys.exit(f"no marrowfin_floor{suffix} in {BUILD}")
    sys.path.append(str(BUILD))  # after site-packages: the replay is the installed module's


def cpu_time(function, *args):
    start = time.process_time()
    function(*args)
    return time.process_time() - start


BASELINE_REPLAY = """
import json, sys, time
import marrowfin
best = float("inf")
for _ in range(int(sys.argv[2])):
    start = time.process_time()
    for _ in marrowfin.iter_prices_file(sys.argv[1]):
        pass
    best = min(best, time.process_time() - start)
print(json.dumps([best, marrowfin.__file__]))
"""


def baseline_replay(module_dir, path, runs):
    env = dict(os.environ, PYTHONPATH=str(module_dir))
    out = subprocess.run([sys.executable, "-c", BASELINE_REPLAY, path, str(runs)], env=env, check=True,
                         capture_output=True, text=True).stdout
    seconds, module = json.loads(out)
    if not module.startswith(str(module_dir)):
        sys.exit(f"the baseline replay imported {module}, not a module from {module_dir}")
    return seconds


def measure(path, runs):
    import marrowfin
    import marrowfin_floor

    def replay():
        for _ in marrowfin.iter_prices_file(path):
            pass

    def load():
        marrowfin.iter_prices_file(path)

    handle = marrowfin_floor.prepare(path)
    books = marrowfin_floor.books(handle)

    def loop():
        for _ in itertools.repeat(None, books):
            pass

    parts = {"replay": (replay,), "load": (load,), "updates": (marrowfin_floor.updates, handle),
             "objects": (marrowfin_floor.objects, handle), "loop": (loop,)}
    best = dict.fromkeys(parts, float("inf"))
    for _ in range(runs):
        for name, call in parts.items():
            best[name] = min(best[name], cpu_time(*call))
    return books, best


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("files", nargs="*")
    parser.add_argument("--runs", type=int, default=11, help="best of N runs of each, in turns")
    parser.add_argument("--baseline", type=pathlib.Path, help="directory of another build of the module")
    args = parser.parse_args()
    build_floor_module()
    for path in args.files or default_files()[::-1]:
        books, t = measure(str(path), args.runs)
        floor = t["load"] + t["updates"] + t["objects"] + t["loop"]
        size = pathlib.Path(path).stat().st_size / 1e6
        print(f"{path} ({size:.1f} MB, {books} books), CPU s, best of {args.runs}")
        for name in ("load", "updates", "objects", "loop"):
            print(f"  {name:8} {t[name]:8.4f}  {t[name] / books * 1e9:6.0f} ns/book")
        print(f"  {'floor':8} {floor:8.4f}  {floor / books * 1e9:6.0f} ns/book")
        print(f"  {'replay':8} {t['replay']:8.4f}  {t['replay'] / books * 1e9:6.0f} ns/book")
        print(f"  replay / floor: {t['replay'] / floor:.3f} (target <= 1.15)")
        if args.baseline:
            before = baseline_replay(args.baseline.resolve(), str(path), args.runs)
            print(f"  baseline build's replay {before:8.4f}  {before / books * 1e9:6.0f} ns/book, "
                  f"/ floor: {before / floor:.3f}")


if __name__ == "__main__":
    main()
