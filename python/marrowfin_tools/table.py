"""Price tables: every market of a recording as rows, for Arrow and what reads it.

    import pyarrow, duckdb
    from marrowfin_tools import price_table

    t = price_table("race.json.gz", depth=3)
    frame = pyarrow.table(t).to_pandas()
    duckdb.sql("select selection_id, max(traded_volume) from t group by all")

Writing Parquet or CSV needs pyarrow (pip install 'marrowfin[arrow]'); the
table is streamed in record batches, so a file of any size is written without
holding its whole table.
"""

from __future__ import annotations

import contextlib
import functools
import importlib
import os
import re
from collections.abc import Iterable, Iterator
from typing import IO, TYPE_CHECKING, Any, Literal

from . import _native
from ._native import PriceTable
from .filters import MarketFilterLike, keep_recording
from .inputs import Inputs, Outputs, Recording, path_list, plain_file
from .scratch import OUTPUT_PREFIX, PART, Scratch, complete_file, publish

if TYPE_CHECKING:
    from distributed import Client

    from .distributed import FileResults

__all__ = ["PriceTable", "output_name", "price_table", "write_dataset", "write_parquet_files",
           "write_table"]

Format = Literal["parquet", "csv"]
SUFFIXES: dict[str, str] = {"parquet": ".parquet", "csv": ".csv", "jsonl": ".jsonl"}
MISSING_PYARROW = "writing Parquet or CSV needs pyarrow: pip install 'marrowfin[arrow]'"

_NAME_MAX = 240  # bytes of an output's name: room for what a dataset adds ("-0.parquet.part")
_COMPRESSED = (".gz", ".gzip", ".bz2", ".zst")
_TEXT = (".json", ".jsonl", ".ndjson", ".txt")


def price_table(path: str | bytes | os.PathLike[str] | os.PathLike[bytes], depth: int = 3,
                every_book: bool = False, *, sp: bool = False,
                market_filter: MarketFilterLike | None = None) -> PriceTable:
    """The price table of the recording at `path` (see docs/tables.md): loads it now,
    and each read of the table folds it anew.

    `sp` adds the starting-price columns. A recording that `market_filter`
    skips (see marrowfin_tools.filters) is not loaded: its table has the
    columns and no rows. A file that cannot be read raises the ValueError of
    iter_prices_file.
    """
    # The arguments are checked before the filter reads anything.
    empty = _native.price_table(path, depth, every_book, sp=sp, load=False)
    if not keep_recording(path, market_filter):
        return empty
    return _native.price_table(path, depth, every_book, sp=sp)


def _pyarrow(modules: tuple[str, ...] = ("csv", "parquet", "dataset")) -> Any:
    """pyarrow with those of its modules (dataset imports pandas: a third of a
    second), or ImportError saying what to install."""
    try:
        for name in modules:
            importlib.import_module("pyarrow." + name)
        return importlib.import_module("pyarrow")
    except ImportError as e:
        raise ImportError(MISSING_PYARROW) from e


def output_name(path: str | os.PathLike[str], suffix: str) -> str:
    """The file name of a recording's output: "race.json.gz" -> "race" + suffix.

    A compression suffix goes, then a text one; a market id such as
    "1.2345" keeps its dot. A second member of one name keeps its number
    ("day.zip:race.json#2" -> "day.zip:race#2"), and a member named as a
    folder ("sub/.", "slash.json/") is named after it, not as a hidden file.
    A name too long for a file system is cut.
    """
    parts = [part for part in os.fspath(path).split(os.sep) if part not in ("", ".")]
    name = parts[-1] if parts and parts[-1] != ".." else "recording"
    number = re.search(r"#[0-9]+$", name)
    tag = number[0] if number else ""
    name = name.removesuffix(tag)
    for group in (_COMPRESSED, _TEXT):
        for ending in group:
            if name.lower().endswith(ending) and len(name) > len(ending):
                name = name[: -len(ending)]
                break
    encoded, room = os.fsencode(name), _NAME_MAX - len(os.fsencode(tag + suffix))
    if len(encoded) > room:
        while room and encoded[room] & 0xC0 == 0x80:  # not inside a character
            room -= 1
        name = os.fsdecode(encoded[:room])
    return name + tag + suffix


def _write_batches(table: PriceTable, sink: Any, format: Format) -> int:
    pa = _pyarrow()
    rows = 0
    with pa.RecordBatchReader.from_stream(table) as reader:
        if format == "parquet":
            writer = pa.parquet.ParquetWriter(sink, reader.schema)
        elif format == "csv":
            writer = pa.csv.CSVWriter(sink, reader.schema)
        else:
            raise ValueError(f"format must be 'parquet' or 'csv', not {format!r}")
        with writer:
            for batch in reader:
                writer.write_batch(batch)
                rows += batch.num_rows
    return rows


def write_table(path: str | os.PathLike[str], out: str | os.PathLike[str] | IO[bytes],
                format: Format = "parquet", *, depth: int = 3, every_book: bool = False) -> int:
    """Writes the price table of the recording `path` to `out`; returns the rows written.

    `out` is a file name, which appears only once the table is complete, or a
    binary file object. A recording that cannot be read raises ValueError
    before anything is written.
    """
    table = price_table(path, depth, every_book)
    if format not in ("parquet", "csv"):
        raise ValueError(f"format must be 'parquet' or 'csv', not {format!r}")
    if not isinstance(out, (str, os.PathLike)):
        return _write_batches(table, out, format)
    with complete_file(out) as sink:
        return _write_batches(table, sink, format)


def write_dataset(path: str | os.PathLike[str], directory: str | os.PathLike[str], *,
                  depth: int = 3, every_book: bool = False, name: str | None = None) -> int:
    """Adds the price table of `path` to a Parquet dataset partitioned by market id.

    Each market's rows go to DIRECTORY/market_id=<id>/<name>-0.parquet (hive
    style; `name` defaults to output_name(path, "")), so recordings written
    one after another, or side by side, make one dataset. A file of the same
    name is replaced. Returns the rows written.
    """
    pa = _pyarrow()
    table = price_table(path, depth, every_book)
    if name is None:
        name = output_name(path, "")
    directory = os.fspath(directory)
    os.makedirs(directory, exist_ok=True)
    written: list[Any] = []
    # The files are written into a hidden folder of the dataset, under names
    # that a glob of its Parquet files (ds/**/*.parquet) does not match, and
    # moved in once all are complete: a failure leaves no half of a recording,
    # nor a file cut short, and a reader never meets one being written.
    with Scratch(directory, OUTPUT_PREFIX) as scratch:
        with pa.RecordBatchReader.from_stream(table) as reader:
            pa.dataset.write_dataset(
                reader, scratch, format="parquet", partitioning=["market_id"],
                partitioning_flavor="hive", basename_template=name + "-{i}.parquet" + PART,
                file_visitor=written.append)
        _move_in(sorted(file.path for file in written), scratch, directory)
    return sum(file.metadata.num_rows for file in written)


def _move_in(files: list[str], scratch: str, directory: str) -> None:
    """Moves complete files from the scratch folder into the dataset, all or
    none: when one fails, those moved go and the files they replaced come back."""
    moved: list[tuple[str, str | None]] = []  # (target, the file it replaced, kept in the scratch folder)
    try:
        for number, file in enumerate(files):
            target = os.path.join(directory, os.path.relpath(file, scratch).removesuffix(PART))
            os.makedirs(os.path.dirname(target), exist_ok=True)
            previous: str | None = os.path.join(scratch, f"previous-{number}")
            try:
                os.link(target, previous, follow_symlinks=False)  # type: ignore[arg-type]
            except FileNotFoundError:
                previous = None
            moved.append((target, previous))
            publish(file, target)
    except BaseException:
        for target, previous in reversed(moved):
            with contextlib.suppress(OSError):
                if previous is None:
                    os.unlink(target)
                else:
                    os.replace(previous, target)
        raise


def _write_one(path: str, name: str, directory: str, depth: int, every_book: bool) -> str:
    out = os.path.join(directory, output_name(name, ".parquet"))
    write_table(path, out, "parquet", depth=depth, every_book=every_book)
    return out


def write_parquet_files(paths: Iterable[str | os.PathLike[str]], directory: str | os.PathLike[str], *,
                        depth: int = 3, every_book: bool = False, client: Client | str | None = None,
                        batch_size: int = 16, max_size: int | None = None,
                        market_filter: MarketFilterLike | None = None) -> FileResults[str]:
    """Writes one Parquet file of the price table per recording, on a Dask cluster.

    DIRECTORY/<output_name(name)>.parquet for each recording (`paths` as
    map_files takes them; a member's name is ARCHIVE:MEMBER/PATH), written by
    the workers (which need the recordings and the directory at the same
    paths). Returns, per recording, the file written or the error text.
    `client`, `batch_size` and `max_size` are those of map_files. Two files named in
    `paths` that would write the same file are a ValueError before anything
    runs; a recording found in a directory or an archive that would write the
    file of one before it fails on its own. `market_filter` skips
    recordings as map_files does (listed in `filtered`, nothing written).
    """
    from .distributed import map_files

    path_list(paths)
    unique = list(dict.fromkeys(os.fspath(p) for p in paths))
    outputs = Outputs()
    for p in filter(plain_file, unique):
        if (clash := outputs.clash(p, output_name(p, ".parquet"))) is not None:
            raise ValueError(clash)
    os.makedirs(directory, exist_ok=True)
    func = functools.partial(_write_one, directory=os.path.abspath(directory), depth=depth,
                             every_book=every_book)

    def checked(recordings: Iterable[Recording]) -> Iterator[Recording]:
        for recording in recordings:
            clash = outputs.clash(recording.name, output_name(recording.name, ".parquet"))
            yield recording if clash is None else recording.failed(clash)

    return map_files(func, checked(Inputs(unique, max_size=max_size)), client=client, batch_size=batch_size,
                     named=True, market_filter=market_filter)
