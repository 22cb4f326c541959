"""The runner table of many recordings, and the `runners` command's logic.

    import duckdb
    from marrowfin_tools import MarketFilter, runner_table

    t = runner_table(["PRO-2024-01.tar"], before=(60, 0),
                     market_filter=MarketFilter(country_codes={"AU"}, market_types={"WIN"}))
    duckdb.sql("select venue, count(*) from t where status = 'WINNER' group by all")

One row per runner of each market's last book, for every market of each
recording; the columns are those of docs/tables.md. Each recording is loaded,
folded once and dropped before the next is read.
"""

from __future__ import annotations

import concurrent.futures
import contextlib
import os
import sys
from collections.abc import Iterable, Iterator, Sequence
from typing import IO, Any

from . import _native
from ._native import RunnerTable
from .batch import Skipped
from .filters import MarketFilterLike, asked_natively
from .inputs import Inputs, Recording
from .scratch import complete_file
from .table import _pyarrow

__all__ = ["RunnerTable", "runner_table"]

MAX_BEFORE = _native.MAX_BEFORE  # the most seconds `before` takes

Paths = str | os.PathLike[str] | Iterable[str | os.PathLike[str] | Recording]


def runner_table(paths: Paths, *, before: Iterable[int] = (),
                 market_filter: MarketFilterLike | None = None) -> RunnerTable:
    """The runner table of the recordings of `paths`, read through the Arrow PyCapsule interface.

    `paths`: one path, or any number of recordings, folders and archives as
    the command takes them (ARCHIVE:MEMBER too). `before`: whole seconds
    before each market's (final) market time at which to add the runner's
    prices: back_price_{s}s, lay_price_{s}s, ltp_{s}s and traded_volume_{s}s.
    `market_filter` (see marrowfin_tools.filters) skips recordings on their
    first market definition, before they are loaded.

    A recording that cannot be read raises ValueError naming it: "NAME: text".
    """
    if isinstance(paths, (str, os.PathLike)):
        paths = [paths]
    current: list[str] = []

    def local_paths() -> Iterator[str]:
        # One member unpacked at a time: the module has loaded a path before
        # it asks for the next, which removes the copy of the one before.
        for recording in Inputs(paths):  # type: ignore[arg-type]
            current[:] = [recording.name]
            with recording.local_path() as path:
                yield path

    keep = None if market_filter is None else asked_natively(market_filter)
    try:
        return _native.runner_table(local_paths(), before, keep)
    except ValueError as e:
        if not current:
            raise  # the arguments
        raise ValueError(f"{current[0]}: {e}") from None


def recording_rows(path: str, before: Sequence[int],
                   market_filter: MarketFilterLike | None = None) -> RunnerTable | Skipped:
    """The runner table of one recording, or Skipped.FILTERED when
    `market_filter` skips it; a module-level function, so that worker
    processes can run it. The table pickles as its rows alone, so a worker
    never imports pyarrow: the command's process makes the Arrow table. The
    filter is asked in the load, which in a worker goes on from the filter's
    read rather than decoding the file's start again."""
    if market_filter is None:
        return _native.runner_table([path], before)
    ask = asked_natively(market_filter)
    verdicts: list[bool] = []

    def keep(found: dict[str, Any] | None) -> bool:
        verdicts.append(ask(found))
        return verdicts[-1]

    rows = _native.runner_table([path], before, keep)
    return Skipped.FILTERED if verdicts == [False] else rows


def check_output(output: str, files: Sequence[str]) -> str:
    """The format of `output` ("csv" or "parquet"), checked before anything
    runs. Raises ValueError with the usage error's text."""
    if output == "-":
        return "csv"
    if os.path.isdir(output):
        raise ValueError(f"{output} is a folder")
    suffix = os.path.splitext(output)[1].lower()
    if suffix not in (".csv", ".parquet"):
        raise ValueError("-o takes a .csv or .parquet file, or - for CSV on stdout")
    for path in files:
        with contextlib.suppress(OSError):
            if os.path.samefile(path, output):
                raise ValueError(f"{output} is an input")
    return suffix[1:]


# Rows gathered before they are written: a Parquet row group per recording
# (a dozen rows each) would make a file that every reader crawls through.
ROW_GROUP = 1 << 16


class Writer:
    """One table written into `output` (CSV on stdout for "-") in groups of
    ROW_GROUP rows or a recording's more (the last fewer), which appears only
    once complete; the schema is the table's even when no row comes.

    pyarrow takes a tenth of a second to import: it comes on a thread of its
    own from the making of the writer to its first rows, while the
    recordings load. Entering opens the file, so that one that cannot be
    written fails before any work; writing raises ImportError, saying what
    to install, when pyarrow fails to import."""

    def __init__(self, output: str, before: Sequence[int]):
        self.output = output
        self.rows = 0
        self.markets = 0
        self._format = check_output(output, ())
        importing = concurrent.futures.ThreadPoolExecutor(1, thread_name_prefix="marrowfin-pyarrow")
        self._arrow = importing.submit(_arrow_and_schema, tuple(before))
        importing.shutdown(wait=False)
        self._pa: Any = None
        self._sink: IO[bytes] | None = None
        self._stack = contextlib.ExitStack()
        self._writer: Any = None
        self._gathered: list[Any] = []  # pyarrow Tables
        self._gathered_rows = 0

    def __enter__(self) -> Writer:
        with self._stack as stack:
            self._sink = sys.stdout.buffer if self.output == "-" else stack.enter_context(
                complete_file(self.output))
            self._stack = stack.pop_all()
        return self

    def _started(self) -> None:
        """Makes the pyarrow writer, once pyarrow is in."""
        if self._writer is None:
            self._pa, schema = self._arrow.result()
            if self._format == "parquet":
                self._writer = self._pa.parquet.ParquetWriter(self._sink, schema)
            else:
                self._writer = self._pa.csv.CSVWriter(self._sink, schema)

    def write(self, rows: RunnerTable) -> None:
        self._started()
        # Not pa.table(), which first looks for a pandas DataFrame and so
        # imports pandas: a quarter of a second.
        from_stream = getattr(self._pa.RecordBatchReader, "from_stream", None)  # pyarrow 15
        self._gathered.append(from_stream(rows).read_all() if from_stream else self._pa.table(rows))
        self._gathered_rows += rows.rows
        if self._gathered_rows >= ROW_GROUP:
            self._write_gathered()
        self.rows += rows.rows
        self.markets += rows.markets

    def _write_gathered(self) -> None:
        if self._gathered_rows:
            self._writer.write_table(self._pa.concat_tables(self._gathered))
        self._gathered, self._gathered_rows = [], 0

    def __exit__(self, kind: Any, value: Any, traceback: Any) -> bool:
        # The file appears once the writer has written its end, and only
        # when nothing failed.
        try:
            if kind is None:
                self._started()
                self._write_gathered()
            if self._writer is not None:
                self._writer.close()
            if self.output == "-":
                sys.stdout.flush()
        except BaseException as e:
            self._stack.__exit__(type(e), e, e.__traceback__)
            raise
        return bool(self._stack.__exit__(kind, value, traceback))


def _arrow_and_schema(before: tuple[int, ...]) -> tuple[Any, Any]:
    pa = _pyarrow(("csv", "parquet"))
    return pa, pa.schema(_native.runner_table([], before))
