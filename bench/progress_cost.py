"""What the progress bar costs `marrowfin summary` over many small files, run by hand.

Generates the files once into bench/out/small (races of --size-kb uncompressed,
by bench/gen_stream.py), then times the installed command over all of them
with --progress and with --no-progress, alternating, with stdout to
/dev/null and stderr to a file (the bar is drawn all the same). Prints the
best CPU time of each (user and system, of the command and its workers: the
machine is shared, and CPU time is what the others disturb least), their
ratio and the load average.

    .venv/bin/python bench/progress_cost.py [--files 2000] [--size-kb 20] [--jobs 1] [--runs 5]
"""

import argparse
import os
import pathlib
import resource
import subprocess
import sys
import tempfile

from gen_stream import generate

ROOT = pathlib.Path(__file__).resolve().parents[1]
OUT = ROOT / "bench" / "out" / "small"


def make_files(count, size_kb):
    OUT.mkdir(parents=True, exist_ok=True)
    paths = []
    for seed in range(count):
        path = OUT / f"race-{size_kb:g}kb-{seed}.json"
        if not path.exists():
            generate(path, size_mb=size_kb / 1024, seed=seed)
        paths.append(str(path))
    return paths


def timed(command, err):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=err)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--files", type=int, default=2000)
    parser.add_argument("--size-kb", type=float, default=20.0)
    parser.add_argument("--jobs", type=int, default=1)
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    paths = make_files(args.files, args.size_kb)
    marrowfin = str(pathlib.Path(sys.executable).with_name("marrowfin"))
    command = [marrowfin, "summary", "--json", f"--jobs={args.jobs}"]
    best = {"--no-progress": float("inf"), "--progress": float("inf")}
    before = os.getloadavg()
    with tempfile.TemporaryFile() as err:
        for _ in range(args.runs):
            for option in best:
                best[option] = min(best[option], timed(command + [option] + paths, err))
        err.seek(0, os.SEEK_END)
        drawn = err.tell() / args.runs
    after = os.getloadavg()
    print(f"{len(paths)} files of {args.size_kb:g} KB, --jobs {args.jobs}, CPU time, best of {args.runs}")
    print(f"  --no-progress  {best['--no-progress']:7.3f} s")
    print(f"  --progress     {best['--progress']:7.3f} s  ({drawn / 1024:.0f} KB drawn on stderr per run)")
    print(f"  ratio          {best['--progress'] / best['--no-progress']:7.3f}")
    print("  load average before %.2f %.2f %.2f, after %.2f %.2f %.2f" % (*before, *after))


if __name__ == "__main__":
    main()
