"""Many files on many machines, with Dask.

Dask is an optional extra (pip install 'marrowfin[dask]'): a LocalCluster
uses the cores of one machine, a scheduler address the workers of a cluster.
Every worker needs marrowfin installed and the files at the same paths.
"""

from __future__ import annotations

import dataclasses
import pickle
from collections.abc import Callable, Iterable
from typing import TYPE_CHECKING, Any, Generic, TypeVar

from .batch import Outcome, call, error_text, quiet_utcfromtimestamp

if TYPE_CHECKING:
    from distributed import Client

T = TypeVar("T")

MISSING_DASK = "map_files needs Dask: pip install 'marrowfin[dask]'"


@dataclasses.dataclass
class FileResults(Generic[T]):
    """Per path, in the order given: what the function returned, or its error text."""

    results: dict[str, T]
    failures: dict[str, str]


def _one_line(text: str) -> str:
    return text.splitlines()[0] if text else text


def _run_batch(paths: list[str], user_func: Callable[[str], Any]) -> list[Outcome]:
    """The outcomes of a batch, each result already pickled.

    Dask pickles a task's result whole, so one result that does not pickle
    would fail every file of its batch: each is pickled here on its own.
    """
    import cloudpickle  # a dependency of distributed

    quiet_utcfromtimestamp()
    out = []
    for path in paths:
        outcome = call(user_func, path)
        if outcome.ok:
            try:
                outcome = Outcome(path, True, cloudpickle.dumps(outcome.value))
            except Exception as e:
                outcome = Outcome(path, False, f"its result does not pickle: {_one_line(error_text(e))}")
        out.append(outcome)
    return out


def map_files(func: Callable[[str], T], paths: Iterable[str | Any], *,
              client: Client | str | None = None, batch_size: int = 16) -> FileResults[T]:
    """Calls func(path) for every path on a Dask cluster.

    `func` runs on the workers, so it must pickle (Dask uses cloudpickle:
    lambdas and closures work), and so must its results. An exception it
    raises, or a result that does not pickle, is that file's failure; the
    other files go on.

    `client`: a distributed.Client, a scheduler address, or None for a
    LocalCluster on this machine for the length of the call. Paths travel in
    batches of `batch_size`, so that hundreds of thousands of files do not
    become as many tasks.
    """
    try:
        from distributed import Client, as_completed
    except ImportError as e:
        raise ImportError(MISSING_DASK) from e
    if batch_size < 1:
        raise ValueError("batch_size must be at least 1")
    paths = [str(p) for p in paths]
    owned = None
    if client is None or isinstance(client, str):
        client = owned = Client(client)
    try:
        batches = [paths[i:i + batch_size] for i in range(0, len(paths), batch_size)]
        futures = client.map(_run_batch, batches, user_func=func, pure=False)
        index = {future.key: i for i, future in enumerate(futures)}
        done: list[list[Outcome]] = [[] for _ in batches]
        for future in as_completed(futures):
            i = index[future.key]
            try:
                done[i] = future.result()
            except Exception as e:  # the batch itself failed, e.g. its worker died
                done[i] = [Outcome(path, False, _one_line(error_text(e))) for path in batches[i]]
            future.release()  # let the cluster drop the result now
    finally:
        if owned is not None:
            owned.close()
    out: FileResults[T] = FileResults({}, {})
    for outcomes in done:
        for outcome in outcomes:
            if not outcome.ok:
                out.failures[outcome.path] = outcome.value
                continue
            try:
                out.results[outcome.path] = pickle.loads(outcome.value)
            except Exception as e:  # e.g. its class cannot be imported here
                out.failures[outcome.path] = f"its result does not unpickle: {_one_line(error_text(e))}"
    return out
