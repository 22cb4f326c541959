"""map_files on a real Dask cluster: two worker processes of one thread each."""

import bz2
import gzip
import io
import os
import pathlib
import tarfile
import threading
import warnings
import zipfile

import dask
import distributed  # a test extra, so that this runs rather than skips
import pytest

from marrowfin_tools import MarketFilter, map_files, sample_path, summarize


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0") as cluster, distributed.Client(cluster) as c:
        yield c


def test_results_and_failures_per_file(client, tmp_path):
    sample = str(sample_path())
    bad = tmp_path / "bad.json"
    bad.write_text("{]\n")
    paths = [sample, str(tmp_path / "missing.json"), str(bad)]
    for i in range(5):
        (tmp_path / f"copy{i}.json.gz").symlink_to(sample)
        paths.append(str(tmp_path / f"copy{i}.json.gz"))
    # A lambda goes by value: the workers cannot import this test module.
    got = map_files(lambda path: (os.getpid(), summarize(path)), paths, client=client, batch_size=1)
    assert list(got.results) == [paths[0]] + paths[3:]
    assert got.failures == {paths[1]: "No such file or directory (os error 2)",
                            paths[2]: "key must be a string at line 1 column 2"}
    pids = {pid for pid, _ in got.results.values()}
    assert len(pids) == 2 and os.getpid() not in pids
    books = {s.books for _, s in got.results.values()}
    assert books == {summarize(sample).books}


def test_a_file_that_kills_its_worker_fails_alone(tmp_path):
    def books(path):
        if os.path.basename(path) == "crash.json.gz":
            os._exit(1)  # as a crash or the kernel's out-of-memory killer ends it
        return summarize(path).books

    paths = []
    for name in ("a", "crash", "b"):
        (tmp_path / f"{name}.json.gz").symlink_to(sample_path())
        paths.append(str(tmp_path / f"{name}.json.gz"))
    # No retries on other workers: one death per task is enough here.
    with dask.config.set({"distributed.scheduler.allowed-failures": 0}), distributed.LocalCluster(
            n_workers=1, threads_per_worker=1, processes=True, dashboard_address=":0") as cluster, \
            distributed.Client(cluster) as client:
        got = map_files(books, paths, client=client)  # one batch
    assert got.results == {paths[0]: summarize(paths[0]).books, paths[2]: summarize(paths[2]).books}
    assert list(got.failures) == [paths[1]] and got.failures[paths[1]].startswith("KilledWorker: ")


def test_a_result_that_does_not_pickle_fails_only_its_own_file(client, tmp_path):
    class Unloadable:  # pickles on the worker, fails to load here
        def __reduce__(self):
            return int, ("x",)

    def results(path):
        name = os.path.basename(path)
        if name == "lock.json.gz":
            return threading.Lock()
        return Unloadable() if name == "unloadable.json.gz" else summarize(path).books

    paths = []
    for name in ("a", "lock", "b", "unloadable", "c"):
        (tmp_path / f"{name}.json.gz").symlink_to(sample_path())
        paths.append(str(tmp_path / f"{name}.json.gz"))
    got = map_files(results, paths, client=client)  # one batch
    assert got.failures == {
        paths[1]: "its result does not pickle: TypeError: cannot pickle '_thread.lock' object",
        paths[3]: "its result does not unpickle: invalid literal for int() with base 10: 'x'"}
    assert got.results == dict.fromkeys(paths[::2], summarize(sample_path()).books)


def test_parquet_files_written_by_the_workers(client, tmp_path):
    import pyarrow as pa
    import pyarrow.parquet as pq

    from marrowfin_tools import price_table, write_parquet_files

    sample = str(sample_path())
    (tmp_path / "race.json.gz").symlink_to(sample)
    paths = [sample, str(tmp_path / "race.json.gz"), str(tmp_path / "missing.json")]
    got = write_parquet_files(paths, tmp_path / "tables", depth=1, every_book=True, client=client)
    assert got.results == {sample: str(tmp_path / "tables" / "sample.parquet"),
                           paths[1]: str(tmp_path / "tables" / "race.parquet")}
    assert got.failures == {paths[2]: "No such file or directory (os error 2)"}
    expected = pa.table(price_table(sample, 1, True))
    assert all(pq.read_table(out).equals(expected) for out in got.results.values())
    # The filter runs on the workers; a missing file is kept, for its load to say why.
    aus = MarketFilter(country_codes={"AU"})
    got = write_parquet_files(paths, tmp_path / "aus", client=client, market_filter=aus)
    assert (got.results, got.filtered, list(got.failures)) == ({}, paths[:2], paths[2:])
    assert not list((tmp_path / "aus").iterdir())
    (tmp_path / "other").mkdir()
    (tmp_path / "other" / "race.json.gz").symlink_to(sample)
    with pytest.raises(ValueError, match="would both write race.parquet"):
        write_parquet_files([paths[1], str(tmp_path / "other" / "race.json.gz")], tmp_path / "t2", client=client)
    assert not (tmp_path / "t2").exists()


def test_parquet_files_of_recordings_found_in_folders_never_overwrite(client, tmp_path):
    from marrowfin_tools import write_parquet_files

    for day in ("1", "2"):
        (tmp_path / "Jan" / day).mkdir(parents=True)
        (tmp_path / "Jan" / day / "race.json.gz").symlink_to(sample_path())
    zipped = tmp_path / "day.zip"  # two members of one name: each its own file
    with warnings.catch_warnings(), zipfile.ZipFile(zipped, "w") as archive:
        warnings.simplefilter("ignore")  # zipfile warns of a name it writes twice
        for data in (pathlib.Path(sample_path()).read_bytes(), gzip.compress(b"{]\n")):
            archive.writestr("race.json.gz", data)
    got = write_parquet_files([tmp_path / "Jan", zipped], tmp_path / "tables", client=client)
    first, second = (str(tmp_path / "Jan" / day / "race.json.gz") for day in ("1", "2"))
    assert got.results == {first: str(tmp_path / "tables" / "race.parquet"),
                           f"{zipped}:race.json.gz": str(tmp_path / "tables" / "day.zip:race.parquet")}
    assert got.failures == {second: f"{first} and {second} would both write race.parquet",
                            f"{zipped}:race.json.gz#2": "key must be a string at line 1 column 2"}


def test_archives_and_directories_are_expanded(client, tmp_path):
    sample = pathlib.Path(sample_path()).read_bytes()
    text = gzip.decompress(sample)
    archive = tmp_path / "day.tar.gz"  # compressed: its members travel with their tasks
    with tarfile.open(archive, "w:gz") as tar:
        for name, data in [("a/1.1.gz", sample), ("README", b"not a recording\n"),
                           ("a/1.2.bz2", bz2.compress(text)[:-10])]:
            info = tarfile.TarInfo(name)
            info.size = len(data)
            tar.addfile(info, io.BytesIO(data))
    (tmp_path / "dir" / "deep").mkdir(parents=True)
    (tmp_path / "dir" / "deep" / "1.3").write_bytes(bz2.compress(text))  # bzip2 without its suffix
    paths = [archive, tmp_path / "dir"]
    got = map_files(lambda path: summarize(path).books, paths, client=client, batch_size=1)
    books = summarize(str(sample_path())).books
    assert got.results == {f"{archive}:a/1.1.gz": books, str(tmp_path / "dir" / "deep" / "1.3"): books}
    assert got.failures == {f"{archive}:a/1.2.bz2": "unexpected end of file"}
