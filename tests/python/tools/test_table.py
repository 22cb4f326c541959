"""price_table: the rows the books show, for every market of a file, read by
pyarrow, polars and DuckDB through the Arrow PyCapsule interface."""

import concurrent.futures
import gc
import os
import pathlib
import sys
import tracemalloc

import duckdb
import polars as pl
import pyarrow as pa
import pyarrow.compute as pc
import pytest

from conftest import (PT, SANITIZED, change, definition, memory_growth, memory_in_use, message, runner,
                      traced_bytes)
from marrowfin_tools import PriceTable, price_table
from table_rows import books_per_market, column_names, generated, rows_from_books
from tools_support import PEER_FILES, SAMPLE, merged

DEPTHS = (0, 1, 3, 10)


@pytest.mark.parametrize("path", [SAMPLE, "handicap", "merged", "late"] + PEER_FILES, ids=os.path.basename)
def test_rows_are_those_of_each_markets_books(path, tmp_path, write):
    """All columns at every depth, with and without starting prices, changed rows and every book,
    against rows made in Python from each market's books as market_books gives them."""
    if path == "late":  # a runner that comes late, the others as they stand: no rows of theirs
        path = write(message(PT, change(rc=[runner(1, atb=[[2, 1]]), runner(2, atl=[[3, 1]])])),
                     message(PT + 1, change(rc=[runner(3, atb=[[2, 5]]), runner(2, atl=[[3, 1]])])))
    if path in ("handicap", "merged"):
        handicap = generated(tmp_path / "handicap.json.gz", size_mb=0.3, seed=11, handicap=True)
        path = handicap if path == "handicap" else merged([SAMPLE, handicap], tmp_path / "both.json")
    schema = pa.schema(price_table(path, 10, sp=True)).append(pa.field("changed", pa.bool_()))
    oracle = {market: pa.table(rows_from_books(books, 10, True, True, sp=True), schema=schema)
              for market, books in books_per_market(path).items()}
    assert oracle, "a recording with markets"
    for depth in DEPTHS:
        sp = depth % 2 == 1
        for every_book in (False, True):
            table = pa.table(price_table(path, depth, every_book, sp=sp))
            assert table.column_names == column_names(depth, sp)
            rows = 0
            for market, expected in oracle.items():
                if not every_book:
                    expected = expected.filter(expected["changed"])
                expected = expected.select(column_names(depth, sp))
                got = table if len(oracle) == 1 else table.filter(pc.equal(table["market_id"], market))
                assert got.equals(expected), (market, depth, every_book)
                rows += got.num_rows
            assert rows == table.num_rows


@pytest.fixture(scope="module")
def t():
    return price_table(SAMPLE, depth=2)


def test_schema_polars_and_duckdb(t):
    expected = pa.table(t)
    assert pa.schema(t) == expected.schema and expected.num_rows > 1000
    fields = {f.name: f.type for f in expected.schema}
    assert [fields[name] for name in ("publish_time", "market_id", "inplay", "selection_id")] == [
        pa.timestamp("ms", tz="UTC"), pa.string(), pa.bool_(), pa.int64()]
    assert [f.name for f in expected.schema if f.nullable] == [
        "last_price_traded", "back_price_1", "back_price_2", "back_size_1", "back_size_2",
        "lay_price_1", "lay_price_2", "lay_size_1", "lay_size_2"]
    frame = pl.DataFrame(t)
    assert frame.equals(pl.from_arrow(expected)) and frame.schema["publish_time"] == pl.Datetime("ms", "UTC")
    for _ in range(0 if SANITIZED else 2):  # a scan is a new stream; DuckDB as in uses_duckdb
        (n, backs, traded, first), = duckdb.sql(
            "select count(*), count(back_price_2), sum(traded_volume), min(publish_time) from t").fetchall()
        assert (n, backs, first) == (
            expected.num_rows, n - expected["back_price_2"].null_count, expected["publish_time"][0].as_py())
        assert traded == pytest.approx(pc.sum(expected["traded_volume"]).as_py())


def test_a_file_without_a_market_id_gives_an_empty_table_with_every_column(write):
    path = write(message(PT, change(market=None, marketDefinition=definition([runner(1)]), rc=[runner(1)])))
    for depth in DEPTHS:
        t = price_table(path, depth)
        table = pa.table(t)
        assert (table.num_rows, table.column_names, table.schema) == (0, column_names(depth), pa.schema(t))
        assert pl.DataFrame(t).shape == (0, len(column_names(depth)))
        if not SANITIZED:  # see uses_duckdb
            assert duckdb.sql("select count(*) from t").fetchall() == [(0,)]


def test_paths_of_every_kind_the_attributes_and_a_requested_schema_that_is_not_looked_at(t):
    every = price_table(pathlib.Path(SAMPLE), every_book=True)
    assert (every.depth, every.every_book, every.sp) == (3, True, False)
    assert repr(every) == f"<PriceTable of {SAMPLE!r}, depth=3, every_book=True, sp=False>"
    assert pa.table(price_table(os.fsencode(SAMPLE), depth=0)).equals(pa.table(price_table(SAMPLE, 0)))
    with pytest.raises(TypeError, match="No constructor defined for PriceTable"):
        PriceTable()
    with pytest.raises(TypeError, match="^requested_schema must be None or an 'arrow_schema' PyCapsule, not str$"):
        t.__arrow_c_stream__("schema")
    with pytest.raises(TypeError, match=r"^__arrow_c_stream__\(\) takes at most 1 argument \(2 given\)$"):
        t.__arrow_c_stream__(None, None)
    capsule = t.__arrow_c_stream__(requested_schema=pa.schema(t).__arrow_c_schema__())
    assert pa.RecordBatchReader._import_from_c_capsule(capsule).read_all().equals(pa.table(t))


@pytest.mark.parametrize("args, error, text", [
    ({"path": "x\0y"}, ValueError, "file name contained an unexpected NUL byte"),
    ({"path": 3}, TypeError, "price_table() argument 'path' must be str, bytes or os.PathLike, not int"),
    ({"depth": 11}, ValueError, "depth must be in 0..10, got 11"),
    ({"depth": 10**30}, ValueError, f"depth must be in 0..10, got {10**30}"),
    ({"depth": 3.0}, TypeError, "price_table() argument 'depth' must be int, not float"),
    ({"depth": True}, TypeError, "price_table() argument 'depth' must be int, not bool"),
    ({"every_book": 1}, TypeError, "price_table() argument 'every_book' must be bool, not int"),
    ({"rows": 3}, TypeError, "price_table() got an unexpected keyword argument 'rows'"),
    ((SAMPLE, 3, False, 1), TypeError, "price_table() takes from 1 to 3 positional arguments but 4 were given"),
    ((), TypeError, "price_table() missing 1 required positional argument: 'path'"),
])  # fmt: skip
def test_bad_arguments(args, error, text):
    with pytest.raises(error) as raised:
        price_table(**{"path": SAMPLE, **args}) if isinstance(args, dict) else price_table(*args)
    assert str(raised.value) == text


def test_the_path_is_held_while_the_table_lives_and_repeated_use_keeps_memory_flat(write, tmp_path):
    small = generated(tmp_path / "small.json", size_mb=0.2, seed=3)  # a str of its own
    before = sys.getrefcount(small)
    t = price_table(small)
    assert sys.getrefcount(small) == before + 1
    del t
    bad = write("{]")
    gc.collect()  # tables of earlier tests held in cycles
    cls_refs = sys.getrefcount(PriceTable)

    def once():
        t = price_table(small, 3, True)
        pa.table(t)
        t.__arrow_c_stream__()  # dropped unread: the capsule releases it
        t.__arrow_c_schema__()
        reader = pa.RecordBatchReader.from_stream(t)
        reader.read_next_batch()  # and one read in part
        del reader
        for args in ((bad,), (small, 12), (small, 3, 1)):
            with pytest.raises((ValueError, TypeError)):
                price_table(*args)

    tracemalloc.start()
    try:
        for i in range(150):
            once()
            if i == 19:
                gc.collect()
                traced = traced_bytes()
                files = len(os.listdir("/proc/self/fd"))
                memory = memory_in_use()
        gc.collect()
        traced_growth = traced_bytes() - traced
    finally:
        tracemalloc.stop()
    rss_growth, allocated_growth = memory_growth(memory)
    assert sys.getrefcount(PriceTable) == cls_refs and len(os.listdir("/proc/self/fd")) == files
    assert sys.getrefcount(small) == before  # errors included
    assert traced_growth < 4096
    # One kept table would be several MB each time; fragmentation moves resident memory by MiBs,
    # malloc's count by a few hundred kB (blocks freed into a thread's cache count as in use).
    if not SANITIZED:
        assert rss_growth < 16 * 2**20
    if allocated_growth is not None:
        assert allocated_growth < 2**20


def test_streams_read_side_by_side_in_threads_in_bounded_batches_and_outlive_the_table():
    t = price_table(SAMPLE, 10, True)
    expected = pa.table(t)
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        got = list(pool.map(lambda _: list(pa.RecordBatchReader.from_stream(t)), range(4)))
    assert all(pa.Table.from_batches(batches).equals(expected) for batches in got)
    assert all(0 < b.num_rows <= 65536 for b in got[0])
    stream, schema = t.__arrow_c_stream__(), t.__arrow_c_schema__()
    del t
    gc.collect()
    reader = pa.RecordBatchReader._import_from_c_capsule(stream)
    del stream
    assert reader.read_all().equals(expected) and pa.Schema._import_from_c_capsule(schema) == expected.schema
