"""The store: recordings decoded once and kept as zstd, with a catalogue of their markets.

    marrowfin convert PRO-2024-01.tar -o store/ --jobs 2

    import duckdb
    from marrowfin_tools import catalog, runner_table

    markets = catalog("store")
    paths = [p for (p,) in duckdb.sql("select distinct path from markets where market_type = 'WIN'").fetchall()]
    runner_table(paths)

A store is a folder: ``YYYY/MM/DD/<market id>.json.zst`` per recording (the
date of its first market's market time in UTC, or of its first book without
one), holding the recording's decoded text byte for byte as one zstd frame
with a 1 MiB window, and ``catalog/``, Parquet files of a row per market.
Every file appears under its final name only once complete (written under a
locked temporary name, synced, renamed), and a recording's rows only after
its file, in a new Parquet file moved in whole: a convert killed at any
point and run again gives the same store. A recording is already in the
store when a row has the same market id and the same source size: converting
again adds only what is new.
"""

from __future__ import annotations

import contextlib
import dataclasses
import fcntl
import os
import re
import time
from collections.abc import Iterable, Iterator
from typing import Any

from . import _native
from .filters import first_definition
from .inputs import STORE_CATALOG, STORE_MARK, Recording, is_store
from .scratch import OUTPUT_PREFIX, STORE_PREFIX, complete_file, made_here, part_file, publish, sweep
from .table import _pyarrow

__all__ = ["COLUMNS", "DEFAULT_LEVEL", "catalog", "is_store"]

# Level 7 with the 1 MiB window: about 1.38 times the bytes of bzip2 -9 on
# generated races and 1.3 on real recordings; the levels above cost more
# to write than they save.
DEFAULT_LEVEL = 7
SUFFIX = ".json.zst"
# The catalogue's rows are written out at least this often while a convert runs.
FLUSH_ROWS = 10_000
FLUSH_SECONDS = 60.0

COLUMNS = ("market_id", "path", "event_id", "event_name", "event_type_id", "country_code", "venue",
           "market_name", "market_type", "market_time", "off_time", "first_publish_time",
           "last_publish_time", "books", "status", "number_of_runners", "winners", "source", "bytes")
_TIMES = ("market_time", "off_time", "first_publish_time", "last_publish_time")
_INTEGERS = ("books", "number_of_runners", "bytes")
_MARKET_ID = re.compile(r"[0-9]+\.[0-9]+")
_SAFE = re.compile(r"[^A-Za-z0-9._-]")
_NAME_MAX = 200  # bytes of a file's name before its number and suffix
MISSING_PYARROW = "the store's catalogue needs pyarrow: pip install 'marrowfin[arrow]'"


def _parquet() -> Any:
    """pyarrow with its Parquet module, or ImportError saying what to install."""
    try:
        return _pyarrow(("parquet",))
    except ImportError as e:
        raise ImportError(MISSING_PYARROW) from e.__cause__


def schema(pa: Any) -> Any:
    """The catalogue's Arrow schema: the columns in order; times in ms, UTC."""
    def kind(name: str) -> Any:
        if name in _TIMES:
            return pa.timestamp("ms", tz="UTC")
        if name in _INTEGERS:
            return pa.int64()
        if name == "winners":
            return pa.list_(pa.int64())
        return pa.string()
    not_null = {"market_id", "path", "first_publish_time", "last_publish_time", "books", "status",
                "number_of_runners", "winners", "source", "bytes"}
    return pa.schema([pa.field(name, kind(name), nullable=name not in not_null) for name in COLUMNS])


def _parts(store: str) -> list[str]:
    folder = os.path.join(store, STORE_CATALOG)
    return sorted(os.path.join(folder, name) for name in os.listdir(folder)
                  if name.endswith(".parquet") and not name.startswith("."))


def _read(store: str, columns: list[str] | None = None) -> Any:
    pa = _parquet()
    full = schema(pa)
    wanted = full if columns is None else pa.schema([full.field(name) for name in columns])
    tables = [pa.parquet.read_table(part, columns=columns, schema=full) for part in _parts(store)]
    return pa.concat_tables(tables) if tables else wanted.empty_table()


def catalog(store: str | os.PathLike[str]) -> Any:
    """The catalogue of the store: a pyarrow Table of a row per market (it has
    __arrow_c_stream__, so DuckDB, polars and pandas read it too).

    Its `path` is the store file's path joined to the store's absolute path,
    which the many-file functions and the commands take as they are (the
    Parquet files hold it relative to the store, so that a store can move).
    A recording of several markets has a row for each, with one path: select
    distinct paths to replay each once. Needs pyarrow.
    """
    store = os.fspath(store)
    if not is_store(store):
        raise ValueError(f"{store} is not a store that convert made")
    pa = _parquet()
    import pyarrow.compute as pc

    table = _read(store)
    where = COLUMNS.index("path")
    root = os.path.join(os.path.abspath(store), "")
    return table.set_column(where, schema(pa).field("path"),
                            pc.binary_join_element_wise(root, table["path"], ""))


def market_id_by_name(name: str) -> str | None:
    """The market id that names a recording in the exchange's layout
    (".../1.234567890.bz2"), or None."""
    base = name.rstrip("/").rsplit("/", 1)[-1].rsplit("#", 1)[0]
    for suffix in (".bz2", ".gz", ".gzip", ".zst", ".json"):
        base = base.removesuffix(suffix)
    return base if _MARKET_ID.fullmatch(base) else None


def source_size(recording: Recording) -> int | None:
    """The recording's bytes as given (compressed as it is), when known without reading it."""
    if recording.span is not None:
        return recording.span[1]
    if recording.copy is not None:
        return os.stat(recording.copy.path).st_size
    if recording.size is not None:
        return recording.size
    if recording.path is not None and not recording.piped:
        with contextlib.suppress(OSError):
            return os.stat(recording.path).st_size
    return None


def source_name(recording: Recording) -> str:
    """The input it comes from, with an absolute path: the catalogue outlives the shell."""
    if recording.archive is not None and recording.name.startswith(recording.archive + ":"):
        return os.path.abspath(recording.archive) + recording.name[len(recording.archive):]
    if recording.path is not None and not recording.piped:
        return os.path.abspath(recording.path)
    return recording.name


@dataclasses.dataclass
class Stored:
    """What a worker sends back of one recording: its zstd file under a
    temporary name in the store, and its rows."""

    temporary: str
    rows: list[dict[str, Any]]
    size: int  # the source's bytes
    failure: str | None = None  # why the store could not be written (a full disk): the run stops


def store_recording(path: str, name: str, store: str, level: int) -> Stored:
    """Writes the recording at `path` as zstd into a locked temporary file of
    the store, synced, and folds it for its rows; a module-level function, so
    that worker processes can run it. A failure removes the file. (Only the
    command's process sweeps for such files: a file done here is unlocked
    until that process moves it in.)"""
    try:
        fd, temporary = part_file(store, STORE_PREFIX)
    except OSError as e:
        return Stored("", [], 0, e.strerror or str(e))
    try:
        # An OSError is the store's file failing: the recording's own failures are ValueErrors.
        rows = _native.store_recording(path, fd, level)
        os.fsync(fd)
    except OSError as e:
        os.unlink(temporary)
        return Stored("", [], 0, e.strerror or str(e))
    except BaseException:
        os.unlink(temporary)
        raise
    finally:
        os.close(fd)
    return Stored(temporary, rows, os.stat(path).st_size)


def _sync_folder(folder: str) -> None:
    fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _date_folder(row: dict[str, Any]) -> str:
    """YYYY/MM/DD of the market time in UTC, else of the first book."""
    for moment in (row["market_time"], row["first_publish_time"]):
        if moment is None:
            continue
        try:
            day = time.gmtime(moment // 1000)
        except (OverflowError, OSError, ValueError):
            continue
        if 1 <= day.tm_year <= 9999:
            return f"{day.tm_year:04d}/{day.tm_mon:02d}/{day.tm_mday:02d}"
    return "undated"


def _file_name(market_id: str) -> str:
    """A market id as a file name: as it is when it is one, else made one."""
    name = _SAFE.sub("_", market_id)
    if name.startswith("."):
        name = "_" + name[1:]
    return name.encode()[:_NAME_MAX].decode("utf-8", "ignore") or "_"


def _begun(store: str) -> bool:
    """An empty folder, or a store that a convert of a version before the
    mark began and left before its catalogue's first part: an empty
    catalog folder beside year folders and unfinished files at most."""
    names = os.listdir(store)
    if STORE_CATALOG not in names:
        return not names
    try:
        return not os.listdir(os.path.join(store, STORE_CATALOG)) and all(
            name == STORE_CATALOG or re.fullmatch(r"\d{4}", name) or made_here(name, OUTPUT_PREFIX)
            or made_here(name, STORE_PREFIX) for name in names)
    except OSError:
        return False


class NotAStore(ValueError):
    """The output folder cannot be a store: the text says why."""


class Writer:
    """A convert into one store, from the command's process: it holds the
    store's lock (one convert at a time), decides which recordings are
    already stored, moves each new file in and writes the catalogue's rows
    after their files. Leaving the block writes the rows of every file moved
    in, whatever ended it."""

    def __init__(self, store: str, level: int = DEFAULT_LEVEL):
        self.store = store
        self.level = level
        self.added = 0  # markets
        self.recordings = 0  # stored
        self.already = 0  # recordings found in the store
        self._pa = _parquet()
        self._schema = schema(self._pa)
        self._keys: set[tuple[str, int]] = set()  # (market id, source bytes) of every row
        self._sizes: set[int] = set()
        self._listed: set[str] = set()  # store paths with rows
        self._sources: dict[str, str] = {}  # of the recordings in flight, by name
        self._pending: list[dict[str, Any]] = []
        self._flushed = time.monotonic()
        self._lock: int | None = None

    def __enter__(self) -> Writer:
        folder = os.path.join(self.store, STORE_CATALOG)
        if os.path.lexists(self.store) and not os.path.isdir(self.store):
            raise NotAStore(f"{self.store}: not a folder")
        if os.path.isdir(self.store) and not is_store(self.store) and not _begun(self.store):
            raise NotAStore(f"{self.store}: not a store, and not empty")
        os.makedirs(folder, exist_ok=True)
        # The mark: a folder of that name elsewhere is no store.
        os.close(os.open(os.path.join(folder, STORE_MARK), os.O_WRONLY | os.O_CREAT, 0o666))
        self._lock = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
        try:
            fcntl.flock(self._lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            os.close(self._lock)
            self._lock = None
            raise NotAStore(f"{self.store}: another convert is writing to it") from None
        try:
            # What a convert that was killed left: its unfinished files and parts.
            for prefix in (OUTPUT_PREFIX, STORE_PREFIX):
                sweep(self.store, prefix, again=True)
            sweep(folder, OUTPUT_PREFIX, again=True)
            known = _read(self.store, ["market_id", "path", "bytes"]).to_pydict()
        except BaseException:
            self._unlock()
            raise
        for market, path, size in zip(known["market_id"], known["path"], known["bytes"]):
            self._note(market, path, size)
        return self

    def _unlock(self) -> None:
        if self._lock is not None:
            os.close(self._lock)
            self._lock = None

    def _note(self, market: str, path: str, size: int) -> None:
        self._keys.add((market, size))
        self._sizes.add(size)
        self._listed.add(path)

    def pending(self, recordings: Iterable[Recording]) -> Iterator[Recording]:
        """The recordings not already in the store, as far as can be told
        without converting them: by the market id of their name, else (when a
        row has their size) of their first definition."""
        for recording in recordings:
            size = source_size(recording) if recording.kind is not None else None
            if size is not None and size in self._sizes and self._stored(recording, size):
                self.already += 1
                recording.discard()
                continue
            self._sources[recording.name] = source_name(recording)
            yield recording

    def _stored(self, recording: Recording, size: int) -> bool:
        market = market_id_by_name(recording.member or recording.name)
        if market is None:
            try:
                with recording.local_path() as path:
                    definition = first_definition(path)
            except ValueError:
                return False  # its convert says why
            market = definition.market_id if definition is not None else None
        return market is not None and (market, size) in self._keys

    def forget(self, name: str) -> None:
        """A recording that failed or was filtered out: nothing of it is stored."""
        self._sources.pop(name, None)

    def add(self, name: str, stored: Stored) -> int:
        """Moves a worker's file in under its final name and keeps its rows;
        the number of markets added (0: none in it, or already stored)."""
        source = self._sources.pop(name, name)
        rows = stored.rows
        if not rows or (rows[0]["market_id"], stored.size) in self._keys:
            os.unlink(stored.temporary)
            if rows:
                self.already += 1
            return 0
        relative = self._place(rows[0])
        final = os.path.join(self.store, relative)
        publish(stored.temporary, final)  # a file there is no store file: see _place
        _sync_folder(os.path.dirname(final))
        for row in rows:
            row.update(path=relative, source=source, bytes=stored.size)
            self._note(row["market_id"], relative, stored.size)
        self._pending += rows
        self.added += len(rows)
        self.recordings += 1
        if len(self._pending) >= FLUSH_ROWS or time.monotonic() - self._flushed >= FLUSH_SECONDS:
            self.flush()
        return len(rows)

    def _place(self, row: dict[str, Any]) -> str:
        """The store path of a recording whose first market is `row`'s: a free
        name, or one whose file no row lists (what a killed convert moved in
        before writing its rows, which this one replaces)."""
        folder = _date_folder(row)
        os.makedirs(os.path.join(self.store, folder), exist_ok=True)
        name = _file_name(row["market_id"])
        for number in range(1, 1 << 30):
            relative = f"{folder}/{name}{'' if number == 1 else f'-{number}'}{SUFFIX}"
            if relative not in self._listed:
                return relative
        raise AssertionError("unreachable")

    def flush(self) -> None:
        """Writes the pending rows as a new Parquet file of the catalogue, moved in whole."""
        self._flushed = time.monotonic()
        if not self._pending:
            return
        pa = self._pa
        columns = {name: [row[name] for row in self._pending] for name in COLUMNS}
        table = pa.Table.from_pydict(columns, schema=self._schema)
        folder = os.path.join(self.store, STORE_CATALOG)
        stamp = time.strftime("%Y%m%dT%H%M%SZ", time.gmtime())
        number = 0
        while os.path.lexists(part := os.path.join(folder, f"part-{stamp}-{number:04d}.parquet")):
            number += 1
        with complete_file(part) as sink:
            pa.parquet.write_table(table, sink)
            sink.flush()
            os.fsync(sink.fileno())
        _sync_folder(folder)
        self._pending = []

    def __exit__(self, *exc: object) -> None:
        try:
            self.flush()  # the rows of every file moved in, even when a signal ended the run
        finally:
            self._unlock()
