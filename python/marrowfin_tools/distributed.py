"""Many files on many machines, with Dask.

Dask is an optional extra (pip install 'marrowfin[dask]'): a LocalCluster
uses the cores of one machine, a scheduler address the workers of a cluster.
Every worker needs marrowfin installed and the files at the same paths.
"""

from __future__ import annotations

import dataclasses
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


def _run_batch(paths: list[str], user_func: Callable[[str], Any]) -> list[Outcome]:
    quiet_utcfromtimestamp()
    return [call(user_func, path) for path in paths]


def map_files(func: Callable[[str], T], paths: Iterable[str | Any], *,
              client: Client | str | None = None, batch_size: int = 16) -> FileResults[T]:
    """Calls func(path) for every path on a Dask cluster.

    `func` runs on the workers, so it must pickle (Dask uses cloudpickle:
    lambdas and closures work) and its result must pickle too. An exception
    it raises is that file's failure; the other files go on.

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
                done[i] = [Outcome(path, False, error_text(e)) for path in batches[i]]
            future.release()  # let the cluster drop the result now
    finally:
        if owned is not None:
            owned.close()
    out: FileResults[T] = FileResults({}, {})
    for outcomes in done:
        for outcome in outcomes:
            if outcome.ok:
                out.results[outcome.path] = outcome.value
            else:
                out.failures[outcome.path] = outcome.value
    return out
