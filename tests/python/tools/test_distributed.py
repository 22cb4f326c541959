"""map_files on a real Dask cluster: two worker processes of one thread each."""

import gzip
import os
import pathlib
import threading

import dask
import distributed  # a test extra, so that this runs rather than skips
import pyarrow as pa
import pyarrow.parquet as pq
import pytest

from marrowfin_tools import MarketFilter, map_files, price_table, summarize, write_parquet_files
from tools_support import SAMPLE, write_archive


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0") as cluster, distributed.Client(cluster) as c:
        yield c


def links(folder, *names):
    for name in names:
        (folder / name).parent.mkdir(parents=True, exist_ok=True)
        (folder / name).symlink_to(SAMPLE)
    return [str(folder / name) for name in names]


class Unloadable:  # pickles on the worker, fails to load here
    def __reduce__(self):
        return int, ("x",)


def test_results_and_failures_per_file(client, tmp_path, write):
    """A file that fails to load, or whose result does not pickle or unpickle, fails alone."""
    def result(path):
        name = os.path.basename(path)
        if name == "lock.json.gz":
            return threading.Lock()
        return Unloadable() if name == "unloadable.json.gz" else (os.getpid(), summarize(path))

    names = ("a", "lock", "b", "unloadable", "c", "d", "e")
    paths = [SAMPLE, str(tmp_path / "missing.json"), write("{]"), *links(tmp_path, *(f"{n}.json.gz" for n in names))]
    # Batches of three, so that each failure shares its batch with files that do not fail.
    got = map_files(result, paths, client=client, batch_size=3)
    assert got.failures == {paths[1]: "No such file or directory (os error 2)",
                            paths[2]: "key must be a string at line 1 column 2",
                            paths[4]: "its result does not pickle: TypeError: cannot pickle '_thread.lock' object",
                            paths[6]: "its result does not unpickle: invalid literal for int() with base 10: 'x'"}
    assert list(got.results) == [paths[0], paths[3], paths[5], *paths[7:]]
    pids = {pid for pid, _ in got.results.values()}
    # Both workers, as a rule; one may have taken all batches from the other.
    assert pids <= set(client.run(os.getpid).values()) and os.getpid() not in pids
    assert {s.books for _, s in got.results.values()} == {summarize(SAMPLE).books}


def test_a_file_that_kills_its_worker_fails_alone(tmp_path):
    def books(path):
        if os.path.basename(path) == "crash.json.gz":
            os._exit(1)  # as a crash or the kernel's out-of-memory killer ends it
        return summarize(path).books

    paths = links(tmp_path, "a.json.gz", "crash.json.gz", "b.json.gz")
    # No retries on other workers: one death per task is enough here.
    with dask.config.set({"distributed.scheduler.allowed-failures": 0}), distributed.LocalCluster(
            n_workers=1, threads_per_worker=1, processes=True, dashboard_address=":0") as cluster, \
            distributed.Client(cluster) as client:
        got = map_files(books, paths, client=client)  # one batch
    assert got.results == {paths[0]: summarize(paths[0]).books, paths[2]: summarize(paths[2]).books}
    assert list(got.failures) == [paths[1]] and got.failures[paths[1]].startswith("KilledWorker: ")


def test_parquet_files_written_by_the_workers_never_overwrite(client, tmp_path):
    first, second = links(tmp_path, "Jan/1/race.json.gz", "Jan/2/race.json.gz")
    archive = tmp_path / "day.tar.gz"  # compressed: its members travel with their tasks
    write_archive(archive, [("race.json.gz", pathlib.Path(SAMPLE).read_bytes()), ("README", b"not a recording\n"),
                            ("race.json.gz", gzip.compress(b"{]\n"))], "tar.gz")  # one name: each its own file
    missing = str(tmp_path / "missing.json")
    got = write_parquet_files([SAMPLE, missing, tmp_path / "Jan", archive], tmp_path / "tables", depth=1,
                              every_book=True, client=client)
    assert got.results == {SAMPLE: str(tmp_path / "tables" / "sample.parquet"),
                           first: str(tmp_path / "tables" / "race.parquet"),
                           f"{archive}:race.json.gz": str(tmp_path / "tables" / "day.tar.gz:race.parquet")}
    assert got.failures == {missing: "No such file or directory (os error 2)",
                            second: f"{first} and {second} would both write race.parquet",
                            f"{archive}:race.json.gz#2": "key must be a string at line 1 column 2"}
    expected = pa.table(price_table(SAMPLE, 1, True))
    assert all(pq.read_table(out).equals(expected) for out in got.results.values())
    # The filter runs on the workers; a missing file is kept, for its load to say why.
    aus = MarketFilter(country_codes={"AU"})
    got = write_parquet_files([SAMPLE, first, missing], tmp_path / "aus", client=client, market_filter=aus)
    assert (got.results, got.filtered, list(got.failures)) == ({}, [SAMPLE, first], [missing])
    assert not list((tmp_path / "aus").iterdir())
    # Two named outright: refused before anything is written.
    with pytest.raises(ValueError, match="would both write race.parquet"):
        write_parquet_files([first, second], tmp_path / "t2", client=client)
    assert not (tmp_path / "t2").exists()
