"""`marrowfin summary --jobs 2` against `--jobs 1` over many files, run by hand.

Generates the files once into bench/out/jobs (races of --size-mb uncompressed,
gzip, by bench/gen_stream.py), then times the installed command over all of
them, alternating the two settings, and prints the best wall time of each,
the ratio and the load average (other work on the machine skews the ratio).

    .venv/bin/python bench/cli_jobs.py [--files 24] [--size-mb 10] [--runs 3]
"""

import argparse
import os
import pathlib
import subprocess
import sys
import time

from gen_stream import generate

ROOT = pathlib.Path(__file__).resolve().parents[1]
OUT = ROOT / "bench" / "out" / "jobs"


def make_files(count, size_mb):
    OUT.mkdir(parents=True, exist_ok=True)
    paths = []
    for seed in range(count):
        path = OUT / f"race-{size_mb:g}mb-{seed}.json.gz"
        if not path.exists():
            generate(path, size_mb=size_mb, seed=seed, gzip=True)
        paths.append(str(path))
    return paths


def timed(command):
    start = time.perf_counter()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--files", type=int, default=24)
    parser.add_argument("--size-mb", type=float, default=10.0)
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    paths = make_files(args.files, args.size_mb)
    command = [str(pathlib.Path(sys.executable).with_name("marrowfin")), "summary", "--json",
               "--no-progress"]
    before = os.getloadavg()
    best = {1: float("inf"), 2: float("inf")}
    for _ in range(args.runs):
        for jobs in best:
            best[jobs] = min(best[jobs], timed(command + [f"--jobs={jobs}"] + paths))
    after = os.getloadavg()
    print(f"{len(paths)} files of {args.size_mb:g} MB (gzip), {os.cpu_count()} cores, best of {args.runs}")
    print(f"  --jobs 1  {best[1]:7.2f} s")
    print(f"  --jobs 2  {best[2]:7.2f} s")
    print(f"  speed-up  {best[1] / best[2]:.2f}x")
    print("  load average before %.2f %.2f %.2f, after %.2f %.2f %.2f" % (*before, *after))


if __name__ == "__main__":
    main()
