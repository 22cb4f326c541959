"""map_files on a real Dask cluster: two worker processes of one thread each."""

import bz2
import gzip
import io
import os
import tarfile

import distributed  # a test extra, so that this runs rather than skips
import pytest

from marrowfin_tools import map_files, sample_path, summarize


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


def test_archives_and_directories_are_expanded(client, tmp_path):
    sample = sample_path().read_bytes()
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
