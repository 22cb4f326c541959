"""Reference counts balance: no object outlives its last holder, none is freed early."""

import datetime
import gc
import gzip
import os
import sys
import tracemalloc

import pytest

import gen_stream
import marrowfin
from conftest import (PT, SANITIZED, YEAR_10000, change, definition, memory_growth, memory_in_use, message, runner,
                      traced_bytes)


def type_refcounts():
    # Every instance holds a reference to its (heap) class.
    return {name: sys.getrefcount(getattr(marrowfin, name)) for name in marrowfin.__all__[1:]}


# Every way a step or an export fails: a book tampered with (its second), a
# publish time past year 9999, a definition time that does not parse.
FAILING = [
    message(PT, change(marketDefinition=definition([runner(1), runner(2)], marketTime="2021-03-30T16:20:00Z"),
                       rc=[runner(1, atb=[[2.0, 5]]), runner(2, atb=[[3.0, 1]])])),
    message(PT + 1, change(rc=[runner(2, atb=[[3.0, 2]])])),
    message(YEAR_10000, change(rc=[runner(2, atb=[[3.0, 3]])])),
    message(PT + 3, change(marketDefinition=definition(marketTime="bad"), rc=[runner(2, ltp=3)])),
]  # fmt: skip


def test_repeated_replays_and_failures_keep_instances_files_and_memory_flat(write, tmp_path):
    # A race of 200 messages twice: rebuilt runners, ladders and definitions, and an image half-way.
    gen_stream.main(["--size-mb", "0.1", "-o", str(tmp_path / "race.json")])
    path = write((tmp_path / "race.json").read_bytes() * 2, name="busy.txt")
    failing = write(*FAILING, name="failing.txt")  # and files that fail to load
    bad_files = [write('{"pt":1,"mc":[]}', "[1,]", name="bad.json"), failing + ".missing",
                 write(gzip.compress(b'{"pt":1,"mc":[]}\n' * 100)[:-5], name="bad.gz")]

    def replay_and_fail():
        for i, book in enumerate(marrowfin.iter_prices_file(path)):
            if i % 10 == 0:
                book.to_dict()
            for r in book.runners:
                r.sp.back_stake_taken, r.ex.available_to_back[:1]
            if book.market_definition is not None:
                book.market_definition.runners
        it = marrowfin.iter_prices_file(failing)
        next(it)
        book = next(it)
        book.runners.append(None)
        with pytest.raises(TypeError):
            book.to_dict()
        for _ in range(2):
            with pytest.raises(ValueError):
                next(it)
        for bad in bad_files:
            with pytest.raises(ValueError):
                marrowfin.iter_prices_file(bad)

    tracemalloc.start()
    try:
        for i in range(200):
            replay_and_fail()
            if i == 19:  # warmed up: free lists and allocator arenas at their size
                gc.collect()
                memory, traced, instances = memory_in_use(), traced_bytes(), type_refcounts()
                files = len(os.listdir("/proc/self/fd"))
        gc.collect()
        rss_growth, allocated_growth = memory_growth(memory)
        traced_growth = traced_bytes() - traced
    finally:
        tracemalloc.stop()
    assert type_refcounts() == instances and len(os.listdir("/proc/self/fd")) == files
    # A leak per replay multiplies by 180 (a kept file arena: hundreds of MB); fragmentation moves resident
    # memory by MiBs, and malloc's count by a few hundred kB (thread caches count as in use).
    assert traced_growth < 2048
    if not SANITIZED:
        assert rss_growth < 16 * 2**20
    if allocated_growth is not None:
        assert allocated_growth < 2**20


def test_shared_objects_balance_on_success_and_error_paths(write):
    """Objects that successive books share, and the datetime module (its class is immortal):
    every read and every path that takes a reference to them gives it back."""
    it = marrowfin.iter_prices_file(write(*FAILING))
    first = next(it)
    runners = first.runners
    # The names here (and the calls' arguments) and the book are their only holders.
    assert (sys.getrefcount(first), sys.getrefcount(runners)) == (2, 3)
    r, key, value = first.runners[0], "Price", "7"
    d, pair = first.market_definition, r.ex.available_to_back[0]
    shared = [first.runners, first.publish_time, r, r.status, r.ex, r.ex.available_to_back, d, d.runners,
              d.market_time, datetime, it, pair, key, value]
    counts = lambda: [sys.getrefcount(o) for o in shared]  # noqa: E731
    before = counts()
    for _ in range(10):
        r.status, r.ex, r.ex.available_to_back, r.sp, r.orders, repr(pair), pair["price"], d.regulators, first.to_dict()
        with pytest.raises(KeyError):
            pair[key]
        with pytest.raises(TypeError):
            first.streaming_unique_id = value
        with pytest.raises(OverflowError):
            first.streaming_unique_id = 2**40
    assert counts() == before

    book = next(it)  # reuses the runner, its list and the definition
    assert book.runners[0] is r and book.market_definition is d
    book.runners.append(book.runners[0])
    book.runners.append(None)  # a book tampered with: to_dict fails half-way
    with pytest.raises(TypeError):
        book.to_dict()
    del book
    assert counts() == before
    with pytest.raises(ValueError, match="year 10000 is out of range"):
        next(it)  # after the runners were collected
    assert counts() == before
    with pytest.raises(ValueError, match="does not match format"):
        next(it)  # while building the definition
    assert counts() == before


def test_tracemalloc_sees_where_each_recycled_price_size_was_made(write):
    """PriceSize blocks are recycled; while tracemalloc traces, each new object
    is reported to it, so the block's traceback is where it was made last."""
    ladders = [runner(1, atb=[[1.01 + k / 100, i + 1] for k in range(50)]) for i in range(3)]
    it = marrowfin.iter_prices_file(write(*(message(PT + i, change(rc=[rc])) for i, rc in enumerate(ladders))))
    # Takes every block recycled before tracing starts (the module keeps 4096).
    held = next(marrowfin.iter_prices_file(write(message(PT, change(rc=[runner(1, atb=[[k, 1] for k in range(1, 5000)])])),
                                                 name="held.txt")))  # fmt: skip
    tracemalloc.start()
    try:
        next(it), next(it)  # the second book frees the first one's PriceSize objects
        book = next(it)  # made in the blocks they left
        made_at = sys._getframe().f_lineno - 1
        tracebacks = {tracemalloc.get_object_traceback(p)[0].lineno for p in book.runners[0].ex.available_to_back}
    finally:
        tracemalloc.stop()
    assert tracebacks == {made_at} and len(held.runners[0].ex.available_to_back) == 4999


def test_a_finalizer_run_while_a_book_is_built_never_sees_it_half_built(write):
    path = write(message(1, change(img=True, rc=[runner(i, atb=[[2.0, 1.0]]) for i in (1, 2, 3)])),
                 message(2, change(rc=[runner(2, atb=[[2.0, 5.0]])])))
    books = marrowfin.iter_prices_file(path)
    first = next(books)
    kept = first.runners[0]  # in the next book's list too
    seen = []

    class Probe:
        def __del__(self):
            seen.append([repr(ref) for ref in gc.get_referrers(kept) if isinstance(ref, list)])

    # Dropped, with runner 2's old object, while the next book's runners are made.
    first.runners[1].ex.available_to_back.append(Probe())
    del first
    second = next(books)
    assert len(seen) == 1 and not any("<NULL>" in text for text in seen[0])
    assert second.runners[0] is kept
