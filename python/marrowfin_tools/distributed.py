"""Many files on many machines, with Dask.

Dask is an optional extra (pip install 'marrowfin[dask]'): a LocalCluster
uses the cores of one machine, a scheduler address the workers of a cluster.
Every worker needs marrowfin installed and the files at the same paths.
Directories and archives are expanded here; each worker unpacks the members
it replays (members of a compressed tar, and sparse ones, travel with their
task: copied to disk while the archive is listed, each at most max_size).
"""

from __future__ import annotations

import dataclasses
import itertools
import pickle
from collections.abc import Callable, Iterable, Iterator
from typing import TYPE_CHECKING, Any, Generic, TypeVar

from .batch import Outcome, call_recording, error_text
from .filters import MarketFilterLike
from .inputs import Inputs, Recording

if TYPE_CHECKING:
    from distributed import Client

T = TypeVar("T")

MISSING_DASK = "map_files needs Dask: pip install 'marrowfin[dask]'"


@dataclasses.dataclass
class FileResults(Generic[T]):
    """Per path, in the order given: what the function returned, or its error
    text; and the recordings the market filter skipped."""

    results: dict[str, T]
    failures: dict[str, str]
    filtered: list[str] = dataclasses.field(default_factory=list)


def _one_line(text: str) -> str:
    return text.splitlines()[0] if text else text


def _run_batch(recordings: list[Recording], user_func: Callable[..., Any],
               named: bool = False, market_filter: MarketFilterLike | None = None) -> list[Outcome]:
    """The outcomes of a batch, each result already pickled.

    Dask pickles a task's result whole, so one result that does not pickle
    would fail every file of its batch: each is pickled here on its own.
    """
    import cloudpickle  # a dependency of distributed

    out = []
    for recording in recordings:
        outcome = call_recording(user_func, recording, named, market_filter)
        if outcome.ok and not outcome.filtered:
            try:
                outcome = Outcome(outcome.path, True, cloudpickle.dumps(outcome.value))
            except Exception as e:
                outcome = Outcome(outcome.path, False,
                                  f"its result does not pickle: {_one_line(error_text(e))}")
        out.append(outcome)
    return out


def _batches(recordings: Iterable[Recording], size: int) -> Iterator[list[Recording]]:
    it = iter(recordings)
    while batch := list(itertools.islice(it, size)):
        yield batch


def _shipped(recording: Recording) -> Recording:
    """A recording copied to this machine's disk travels with its bytes: its worker may be elsewhere."""
    if recording.copy is None:
        return recording
    with open(recording.copy.path, "rb") as copy:
        return dataclasses.replace(recording, data=copy.read(), copy=None)


def map_files(func: Callable[..., T], paths: Iterable[str | Any], *,
              client: Client | str | None = None, batch_size: int = 16,
              named: bool = False, max_size: int | None = None,
              market_filter: MarketFilterLike | None = None) -> FileResults[T]:
    """Calls func(path) for every recording of `paths` on a Dask cluster.

    `paths` may hold directories, tar and zip archives and ARCHIVE:MEMBER
    names (see marrowfin_tools.inputs); results and failures are keyed by the
    recording's name, and func gets a path it can replay (for an archive
    member, a temporary copy that lasts for the call); with `named`,
    func(path, name) gets that name too, to name what it writes after.

    `func` runs on the workers, so it must pickle (Dask uses cloudpickle:
    lambdas and closures work), and so must its results. An exception it
    raises, or a result that does not pickle, is that file's failure; the
    other files go on.

    `client`: a distributed.Client, a scheduler address, or None for a
    LocalCluster on this machine for the length of the call. Recordings
    travel in batches of `batch_size`, so that hundreds of thousands of files
    do not become as many tasks, and only a few batches per worker thread are
    out at a time, so that an archive of any size streams through.

    `market_filter` (see marrowfin_tools.filters) keeps or skips each
    recording on its first market definition, on the worker, before func
    runs; the skipped ones, never loaded, are listed in `filtered`.

    `max_size` limits each recording's decoded size (see Inputs; None: the
    default, or that of the Inputs given): a larger one fails alone.
    """
    recordings = Inputs.of(paths, max_size)
    try:
        from distributed import Client, as_completed
    except ImportError as e:
        raise ImportError(MISSING_DASK) from e
    if batch_size < 1:
        raise ValueError("batch_size must be at least 1")
    owned = None
    if client is None or isinstance(client, str):
        client = owned = Client(client)
    try:
        batches = enumerate(_batches(map(_shipped, recordings), batch_size))
        # Keyed by (batch, place in it): a batch that failed goes again file by file.
        in_flight: dict[Any, tuple[tuple[int, int], list[Recording]]] = {}
        running = as_completed()

        def submit_batch(key: tuple[int, int], batch: list[Recording]) -> None:
            future = client.submit(_run_batch, batch, user_func=func, named=named,
                                   market_filter=market_filter, pure=False)
            in_flight[future.key] = (key, batch)
            running.add(future)

        def submit(count: int) -> None:
            for i, batch in itertools.islice(batches, count):
                submit_batch((i, 0), batch)

        submit(2 * sum(client.nthreads().values()) + 2)
        done: dict[tuple[int, int], list[Outcome]] = {}
        # The batches that failed whole (maybe one file killed its worker):
        # their files go again one after another, each alone, so that the
        # others go on and that one is named.
        again: dict[int, list[Recording]] = {}
        for future in running:
            (i, j), batch = in_flight.pop(future.key)
            try:
                done[i, j] = future.result()
            except Exception as e:  # the batch itself failed, e.g. its worker died
                if len(batch) > 1:
                    again[i] = batch
                    submit_batch((i, 0), batch[:1])
                else:
                    done[i, j] = [Outcome(batch[0].name, False, _one_line(error_text(e)))]
            if i in again and len(batch) == 1:
                if j + 1 < len(again[i]):
                    submit_batch((i, j + 1), again[i][j + 1:j + 2])
                else:
                    del again[i]
            future.release()  # let the cluster drop the result now
            submit(1)
    finally:
        if owned is not None:
            owned.close()
    out: FileResults[T] = FileResults({}, {})
    for key in sorted(done):
        for outcome in done[key]:
            if not outcome.ok:
                out.failures[outcome.path] = outcome.value
                continue
            if outcome.filtered:
                out.filtered.append(outcome.path)
                continue
            try:
                out.results[outcome.path] = pickle.loads(outcome.value)
            except Exception as e:  # e.g. its class cannot be imported here
                out.failures[outcome.path] = f"its result does not unpickle: {_one_line(error_text(e))}"
    return out
