"""Time per book when nothing changes, against the datetime calls every book must make.

A 20-runner market: the first message carries the definition and full ladders,
every later message an empty "mc". Such a book reuses every runner, ladder list
and the definition; what is left is the publish-time conversion (import
datetime, read its class, utcfromtimestamp) and the book itself. Run by hand:

    .venv/bin/python bench/unchanged_books.py [--books N]
"""

import argparse
import json
import pathlib
import sys
import time
import warnings

import marrowfin

OUT = pathlib.Path(__file__).resolve().parent / "out"
PT = 1700000000000


def write_stream(path, books):
    runners = [{"id": 1000 + i, "sortPriority": i + 1, "status": "ACTIVE"} for i in range(20)]
    first = {
        "op": "mcm", "pt": PT,
        "mc": [{
            "id": "1.200", "img": True,
            "marketDefinition": {"status": "OPEN", "version": 1, "runners": runners,
                                 "marketTime": "2023-11-14T23:00:00.000Z",
                                 "openDate": "2023-11-14T23:00:00.000Z"},
            "rc": [{"id": 1000 + i,
                    "atb": [[2.0 + i - k * 0.02, 10 + k] for k in range(10)],
                    "atl": [[2.02 + i + k * 0.02, 10 + k] for k in range(10)],
                    "trd": [[2.0 + i + k * 0.02, 100 + k] for k in range(10)],
                    "ltp": 2.0 + i, "tv": 1000}
                   for i in range(20)],
        }],
    }  # fmt: skip
    with open(path, "w") as file:
        file.write(json.dumps(first) + "\n")
        for i in range(1, books):
            file.write(f'{{"op":"mcm","pt":{PT + i},"mc":[]}}\n')



def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--books", type=int, default=200_000)
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    warnings.simplefilter("ignore", DeprecationWarning)
    OUT.mkdir(exist_ok=True)
    path = OUT / "unchanged_books.jsonl"
    write_stream(path, args.books)

    def replay():
        it = marrowfin.iter_prices_file(str(path))
        start = time.perf_counter()
        for _ in it:
            pass
        return (time.perf_counter() - start) / args.books

    seconds = [(PT + i) / 1000.0 for i in range(args.books)]
    namespace, fromlist, modules = globals(), ["__doc__"], sys.modules

    def datetime_calls():
        # The calls as the module makes them: the interpreter's import of a
        # module by name (which calls __import__ with a fromlist and then reads
        # sys.modules), the class attribute, then utcfromtimestamp.
        start = time.perf_counter()
        for s in seconds:
            __import__("datetime", namespace, namespace, fromlist, 0)
            modules["datetime"].datetime.utcfromtimestamp(s)
        return (time.perf_counter() - start) / args.books

    def plain_datetime_calls():
        start = time.perf_counter()
        for s in seconds:
            __import__("datetime").datetime.utcfromtimestamp(s)
        return (time.perf_counter() - start) / args.books

    def empty_loop():
        start = time.perf_counter()
        for s in seconds:
            pass
        return (time.perf_counter() - start) / args.books

    # Interleaved, best of each: the machine is shared and noisy.
    times = {f: [] for f in (replay, datetime_calls, plain_datetime_calls, empty_loop)}
    for _ in range(args.runs):
        for f, results in times.items():
            results.append(f())
    book, calls, plain, loop = (min(results) for results in times.values())
    calls, plain = calls - loop, plain - loop
    print(f"books: {args.books}, 20 runners, every message after the first empty")
    print(f"time per book:                         {book * 1e9:6.0f} ns")
    print(f"datetime calls as the module makes them: {calls * 1e9:6.0f} ns  ratio {book / calls:.2f}"
          " (target <= 1.5)")
    print(f"plain __import__ + utcfromtimestamp:     {plain * 1e9:6.0f} ns  ratio {book / plain:.2f}")
    print("(loop overhead taken out of both baselines)")


if __name__ == "__main__":
    main()
