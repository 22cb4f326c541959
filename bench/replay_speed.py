"""Replay speed against the pure-Python peer, run by hand.

Replays each file through marrowfin (the project's venv) and through the peer's
historical stream in its lightweight (dict) and resource-object modes (a
separate venv that only this benchmark uses; the peer is never a dependency).
Every book is consumed and each runner's best available-to-back price read.
Each side runs in its own process; the time is the CPU time of loading and
iteration (the machine is shared, and CPU time is what the others disturb least).

    bench/setup_peer.sh                      # once: makes bench/out/peer-venv
    .venv/bin/python bench/replay_speed.py [FILE ...] [--baseline DIR]

`--baseline DIR` measures another build of the module as well (a directory
holding its marrowfin*.so, e.g. one built from an earlier commit), for
before/after figures from one run.

Without files it replays a generated ~50 MB race (made once into bench/out by
bench/gen_stream.py) and the largest real recording, when that is present.
"""

import argparse
import json
import os
import pathlib
import subprocess
import sys
import time
import warnings

from gen_stream import generate

ROOT = pathlib.Path(__file__).resolve().parents[1]
PEER_PYTHON = ROOT / "bench" / "out" / "peer-venv" / "bin" / "python"
GENERATED = ROOT / "bench" / "out" / "race50.json"
RECORDING = ROOT.parent / "shared" / "data" / "peer" / "SELF-1.181223995"


def default_files():
    if not GENERATED.exists():
        generate(GENERATED, size_mb=50, seed=7)
    return [str(GENERATED)] + ([str(RECORDING)] if RECORDING.exists() else [])


def run_marrowfin(path):
    import marrowfin

    start = time.process_time()
    books, total = 0, 0.0
    for book in marrowfin.iter_prices_file(path):
        books += 1
        for runner in book.runners:
            back = runner.ex.available_to_back
            if back:
                total += back[0].price
    return time.process_time() - start, books, total


def run_peer(path, lightweight):
    import betfairlightweight
    from betfairlightweight import StreamListener

    start = time.process_time()
    trading = betfairlightweight.APIClient("user", "password", app_key="key")
    listener = StreamListener(max_latency=None, lightweight=lightweight)
    stream = trading.streaming.create_historical_generator_stream(file_path=path, listener=listener)
    books, total = 0, 0.0
    for market_books in stream.get_generator()():
        for book in market_books:
            books += 1
            if lightweight:
                for runner in book["runners"]:
                    back = runner["ex"]["availableToBack"]
                    if back:
                        total += back[0]["price"]
            else:
                for runner in book.runners:
                    back = runner.ex.available_to_back
                    if back:
                        total += back[0].price
    return time.process_time() - start, books, total


def worker(mode, path):
    warnings.simplefilter("ignore", DeprecationWarning)  # the peer's own datetime calls
    if mode == "marrowfin":
        result = run_marrowfin(path)
    else:
        result = run_peer(path, lightweight=mode == "lightweight")
    print(json.dumps(result))


def measure(python, mode, path, runs, module_dir=None):
    env = dict(os.environ, PYTHONPATH=str(module_dir)) if module_dir else None
    results = []
    for _ in range(runs):
        out = subprocess.run([str(python), __file__, "--worker", mode, path],
                             check=True, capture_output=True, text=True, env=env).stdout
        results.append(json.loads(out))
    return min(results)  # best time; books and checksum are the same every run


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("files", nargs="*")
    parser.add_argument("--runs", type=int, default=5, help="best of N cold runs per side")
    parser.add_argument("--worker", nargs=2, metavar=("MODE", "FILE"))
    parser.add_argument("--baseline", type=pathlib.Path, help="directory of another build of the module")
    args = parser.parse_args()
    if args.worker:
        return worker(*args.worker)
    if not PEER_PYTHON.exists():
        sys.exit("run bench/setup_peer.sh first")
    for path in args.files or default_files():
        size = pathlib.Path(path).stat().st_size / 1e6
        ours = measure(sys.executable, "marrowfin", path, args.runs)
        baseline = args.baseline and measure(sys.executable, "marrowfin", path, args.runs, args.baseline)
        light = measure(PEER_PYTHON, "lightweight", path, args.runs)
        objects = measure(PEER_PYTHON, "resources", path, args.runs)
        print(f"{path} ({size:.1f} MB)")
        rows = [("marrowfin", ours), ("peer lightweight", light), ("peer resources", objects)]
        if baseline:
            rows.append(("baseline build", baseline))
        for name, (seconds, books, total) in rows:
            print(f"  {name:17} {seconds:8.3f} CPU s  {books:7} books  best-back sum {total:.2f}")
        if baseline:
            print(f"  baseline build / marrowfin: {baseline[0] / ours[0]:.2f}x")
        print(f"  speed-up: {light[0] / ours[0]:.1f}x over lightweight (target >= 6), "
              f"{objects[0] / ours[0]:.1f}x over resources (target >= 20)")


if __name__ == "__main__":
    main()
