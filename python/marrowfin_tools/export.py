"""The export command's logic: books as JSON lines (one to_dict() per book), or
the price table as Parquet or CSV, for one file or many."""

from __future__ import annotations

import bz2
import contextlib
import dataclasses
import gzip
import io
import json
import os
import sys
from collections.abc import Callable, Collection, Iterable, Iterator, Sequence
from typing import IO, NamedTuple

import marrowfin

from . import inputs, table
from .scratch import complete_file

FORMATS = ("jsonl", "parquet", "csv")


def select_books(path: str, every: int = 1,
                 changed: Collection[int] = ()) -> Iterator[marrowfin.MarketBook]:
    """The books of a recording, filtered.

    `changed`: keep only books in which one of these selection ids changed. The
    module hands out the same Runner object while a runner is unchanged, so a
    new object is a change (the first book a runner appears in counts as one).
    `every`: then keep every Nth of the books left, starting with the first.
    """
    if every < 1:
        raise ValueError("every must be at least 1")
    wanted = frozenset(changed)
    previous: dict[tuple[int, float], marrowfin.Runner] = {}
    kept = 0
    for book in marrowfin.iter_prices_file(str(path)):
        if wanted:
            hit = False
            for runner in book.runners:
                if runner.selection_id in wanted:
                    key = (runner.selection_id, runner.handicap)
                    if previous.get(key) is not runner:
                        previous[key] = runner
                        hit = True
            if not hit:
                continue
        if kept % every == 0:
            yield book
        kept += 1


def export_books(path: str, out: IO[str], every: int = 1, changed: Collection[int] = ()) -> int:
    """Writes the selected books to `out` as JSON lines; returns how many."""
    count = 0
    for book in select_books(path, every, changed):
        out.write(json.dumps(book.to_dict(), separators=(",", ":")))
        out.write("\n")
        count += 1
    return count


@contextlib.contextmanager
def text_output(name: str) -> Iterator[IO[str]]:
    """stdout for "-"; else a file that appears only once it is complete,
    compressed as its name says (gzip for .gz, bzip2 for .bz2: the module's
    own rule, so that it reads the file back)."""
    if name == "-":
        yield sys.stdout
        return
    with complete_file(name) as raw, _text_writer(raw, name) as out:
        yield out


def _text_writer(raw: IO[bytes], name: str) -> IO[str]:
    encoding = inputs.encoding_by_name(name)
    if encoding == "gzip":
        return gzip.open(raw, "wt", encoding="utf-8")
    if encoding == "bzip2":
        return bz2.open(raw, "wt", encoding="utf-8")
    return io.TextIOWrapper(raw, encoding="utf-8")


@dataclasses.dataclass(frozen=True)
class Options:
    format: str = "jsonl"
    depth: int = 3  # parquet and csv
    every_book: bool = False  # parquet and csv
    every: int = 1  # jsonl
    runners: tuple[int, ...] = ()  # jsonl

    @property
    def unit(self) -> str:
        return "books" if self.format == "jsonl" else "rows"


class Refused(ValueError):
    """An output that would destroy an input; its text names the recording."""


class OutputError(Exception):
    """Writing the output failed (its text names the output, not the recording)."""

    def __init__(self, output: str, error: OSError):
        super().__init__(f"{output}: {error.strerror or error}")


def export_file(path: str, out: str, options: Options, *, dataset: bool = False,
                name: str | None = None) -> int:
    """Exports one recording to the file `out` ("-": stdout, for jsonl and csv),
    or with `dataset` into the Parquet dataset directory `out`, its files named
    after `name` (by default output_name(path, "")). Returns the books or rows
    written. A recording that cannot be read raises ValueError before any
    output exists; an output that cannot be written, OutputError."""
    try:
        if options.format == "jsonl":
            with text_output(out) as sink:
                return export_books(path, sink, options.every, options.runners)
        if dataset:
            return table.write_dataset(path, out, depth=options.depth, every_book=options.every_book,
                                       name=name)
        target: str | IO[bytes] = sys.stdout.buffer if out == "-" else out
        return table.write_table(path, target, options.format,  # type: ignore[arg-type]
                                 depth=options.depth, every_book=options.every_book)
    except BrokenPipeError:
        raise  # not the output's fault: stdout's reader has gone
    except OSError as e:
        raise OutputError(out, e) from e


class Exported(NamedTuple):
    written: int  # books or rows
    output_error: str | None = None  # the failure to write the output, naming it


def export_to(path: str, name: str, plan: Plan, options: Options) -> Exported:
    """export_file of the recording `name`, read at `path`, to the output
    `plan` gives `name` (the name checked() checked, not that of a temporary
    copy); a module-level function, so that worker processes can run it."""
    try:
        return Exported(export_file(path, plan.target(name, options), options, dataset=plan.dataset,
                                    name=table.output_name(name, "")))
    except OutputError as e:
        return Exported(0, str(e))


@dataclasses.dataclass(frozen=True)
class Plan:
    """Where each recording goes: `single` (one file, or "-"), or a directory
    that holds one output per recording or, for Parquet, one dataset."""

    directory: str | None = None
    single: str | None = None
    dataset: bool = False

    def target(self, path: str, options: Options) -> str:
        if self.single is not None:
            return self.single
        assert self.directory is not None
        if self.dataset:
            return self.directory
        return os.path.join(self.directory, table.output_name(path, table.SUFFIXES[options.format]))


def plan(files: Sequence[str], output: str | None, options: Options) -> Plan:
    """The outputs of an export, checked before anything runs. Raises
    ValueError with the usage error's text."""
    if options.format not in FORMATS:
        raise ValueError(f"unknown format {options.format!r}")
    directory_like = output is not None and (output.endswith(("/", os.sep)) or os.path.isdir(output))
    if output is not None and not directory_like:
        if len(files) > 1:
            raise ValueError("several files need an output directory: -o DIR/")
        if output == "-" and options.format == "parquet":
            raise ValueError("Parquet goes to a file or a directory, not to stdout")
        if options.format == "jsonl" and inputs.encoding_by_name(output) == "zstd":
            # Python's library writes no zstd before 3.14; plain text under that name would not read back.
            raise ValueError(f"{output}: zstd output is not written; name it .jsonl, .jsonl.gz or .jsonl.bz2")
        return Plan(single=output)
    directory = output if output is not None else os.curdir
    result = Plan(directory=directory, dataset=output is not None and options.format == "parquet")
    # Recordings named on their own are checked now; those found in
    # directories and archives as they come (checked()).
    list(checked(named(files), result, options, fail=True))
    return result


def named(files: Iterable[str]) -> Iterator[inputs.Recording]:
    """The recordings named on their own among `files`, for checks before a run."""
    return (inputs.Recording(path, "plain", path=path) for path in files if inputs.plain_file(path))


def checked(recordings: Iterable[inputs.Recording], plan: Plan, options: Options, *,
            reads: Callable[[str], str | None] | None = None,
            fail: bool = False) -> Iterator[inputs.Recording]:
    """The recordings of a run, with one that would overwrite another's output
    or destroy an input (`reads`: Inputs.reads of the run) made a failure of
    its own. With `fail`, the first such is raised instead: ValueError, or
    Refused for an input."""
    outputs = inputs.Outputs()
    for recording in recordings:
        error = None
        if plan.directory is not None:
            name = table.output_name(recording.name, "" if plan.dataset else table.SUFFIXES[options.format])
            error = outputs.clash(recording.name, name)
            if error is not None and fail:
                raise ValueError(error)
        if error is None and not plan.dataset and plan.single != "-":
            error = overwrites(recording, plan.target(recording.name, options), reads)
            if error is not None and fail:
                raise Refused(f"{recording.name}: {error}")
        if error is not None:
            recording = recording.failed(error)
        yield recording


def overwrites(recording: inputs.Recording, target: str,
               reads: Callable[[str], str | None] | None = None) -> str | None:
    """Why writing `target` would destroy an input, or None: it is (following
    links) the recording's file, the archive it comes from, or what `reads` says."""
    if recording.path is not None and _same_file(recording.path, target):
        return f"{target} is the input itself"
    if recording.archive is not None and _same_file(recording.archive, target):
        return f"{target} is the archive it comes from"
    why = reads(target) if reads is not None else None
    return None if why is None else f"{target} {why}"


def _same_file(a: str, b: str) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return os.path.abspath(a) == os.path.abspath(b)
