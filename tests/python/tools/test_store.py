"""marrowfin convert and the store's catalogue: the store holds the originals' texts, its rows are computed
again from the books, and a second convert, or one killed part way and run again, changes nothing."""

import bz2
import errno
import gzip
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest
import zstandard

import gen_stream
from conftest import PEER_DATA
from marrowfin_tools import Inputs, _native, batch, catalog, cli, market_books, runner_table
from table_rows import RUNNER_FIXED, books_per_market, runner_rows_from_books, uses_duckdb
from tools_support import SAMPLE, run, usage_error, write_archive

TIMES = ("market_time", "off_time", "first_publish_time", "last_publish_time")
PEER = ("1.197931750", "1.211006011", "1.209492553", "BASIC-1.132153978.gz",
        "streaming_mcm_SUB_IMAGE_no_market_def.json")  # 137 markets in one line, no definition


@pytest.fixture(scope="module")
def archive(tmp_path_factory):
    """(the archive, {member name as shown: its bytes}, the damaged member's name)."""
    folder = tmp_path_factory.mktemp("archive")
    members = [("day/sample.json.gz", pathlib.Path(SAMPLE).read_bytes())]
    for name in PEER if PEER_DATA.is_dir() else ():
        data = (PEER_DATA / name).read_bytes()
        members.append((f"peer/{name}.bz2", bz2.compress(data)) if name[0].isdigit() else (f"peer/{name}", data))
    for seed, size in ((1, 0.2), (2, 0.1), (3, 0.1)):
        race = gen_stream.generate(folder / "race.json", size_mb=size, seed=seed)
        text = (folder / "race.json").read_bytes()
        members.append((f"PRO/2024/Jan/{seed}/1/{race.market_id}.bz2", bz2.compress(text)))
        members.append(("gen/race.json.gz", gzip.compress(text, mtime=0)))  # one name, three recordings
    damaged = bytearray(members[-2][1])
    damaged[len(damaged) // 2] ^= 0x55
    members.append(("gen/damaged.bz2", bytes(damaged)))
    path = folder / "month.tar"
    write_archive(path, members, "tar")
    shown, seen = {}, {}
    for name, data in members:
        seen[name] = seen.get(name, 0) + 1
        shown[name if seen[name] == 1 else f"{name}#{seen[name]}"] = data
    return str(path), shown, "gen/damaged.bz2"


def convert(capsys, *args):
    return run(capsys, "convert", *args)[::2]


def snapshot(store):
    """{relative path: bytes} of every file of the store but its catalogue, and its rows, sorted."""
    files = {str(p.relative_to(store)): p.read_bytes() for p in pathlib.Path(store).rglob("*")
             if p.is_file() and p.parts[len(pathlib.Path(store).parts)] != "catalog"}
    return files, sorted(catalog(store).to_pylist(), key=lambda row: (row["path"], row["market_id"]))


def expected_rows(path, source, size):
    """The catalogue's rows of a recording, from its books: a runner table row's market fields, and more."""
    rows = []
    for its in books_per_market(path).values():
        last = its[-1]
        rows.append({**dict(zip(RUNNER_FIXED[:10], runner_rows_from_books(its)[0])),  # market_id to off_time
                     "first_publish_time": its[0].publish_time_epoch, "last_publish_time": last.publish_time_epoch,
                     "books": len(its), "status": last.status, "number_of_runners": len(last.runners),
                     "winners": [r.selection_id for r in last.runners if r.status == "WINNER"],
                     "source": source, "bytes": size})
    return rows


@pytest.fixture(scope="module")
def store(archive, tmp_path_factory):
    """The archive converted on two workers: (store, status)."""
    path = tmp_path_factory.mktemp("store") / "store"
    status = cli.main(["convert", archive[0], "-o", str(path), "--jobs", "2", "--level", "3"])
    return str(path), status


def test_an_archive_converted_replays_as_it_was_and_its_catalogue_is_its_books(archive, store, capsys):
    tar, members, damaged = archive
    path, status = store
    assert status == 1  # the damaged member
    table = catalog(path)
    epochs = zip(*(table[name].cast("int64").to_pylist() for name in TIMES))
    root = os.path.abspath(path) + "/"
    by_source, store_files, firsts = {}, {}, {}
    for row, times in zip(table.to_pylist(), epochs):
        stored = row.pop("path")
        assert stored.startswith(root)
        store_files.setdefault(row["source"], set()).add(stored)
        firsts.setdefault(stored, row)
        by_source.setdefault(row["source"], []).append({**row, **dict(zip(TIMES, times))})  # as epoch milliseconds
    assert set(by_source) == {f"{tar}:{name}" for name in members if name != damaged}
    for name, data in members.items():
        if name == damaged:
            continue
        (stored,) = store_files[f"{tar}:{name}"]  # one store file per recording, however many markets
        # Named after its first market (a second recording of it numbered), in the folder of its date.
        first = firsts[stored]
        day = first["market_time"] or first["first_publish_time"]
        assert re.fullmatch(rf"{root}{day:%Y/%m/%d}/{re.escape(first['market_id'])}(-[2-9])?\.json\.zst", stored)
        # Its text the original's, so its books are too.
        unpack = {".gz": gzip.decompress, ".bz2": bz2.decompress}.get(pathlib.Path(name.split("#")[0]).suffix,
                                                                         bytes)
        assert zstandard.ZstdDecompressor().decompressobj().decompress(pathlib.Path(stored).read_bytes()) == unpack(data)
        assert by_source[f"{tar}:{name}"] == expected_rows(stored, f"{tar}:{name}", len(data))
    assert len({p for paths in store_files.values() for p in paths}) == len(members) - 1
    if PEER_DATA.is_dir():
        assert len(by_source[f"{tar}:peer/streaming_mcm_SUB_IMAGE_no_market_def.json"]) == 137

    # Converting again adds nothing and touches nothing; the damaged member fails again.
    before = snapshot(path), sorted(os.listdir(os.path.join(path, "catalog")))
    status, err = convert(capsys, tar, "-o", path)
    assert status == 1
    assert err[0].startswith(f"marrowfin: {tar}:{damaged}: ")
    assert err[1:] == [f"0 markets of 0 recordings added to {path}",
                       f"marrowfin: {len(members) - 1} recordings already in the store",
                       f"marrowfin: 1 of {len(members)} files failed"]
    assert (snapshot(path), sorted(os.listdir(os.path.join(path, "catalog")))) == before


KILLED = """
import os, signal, sys
from marrowfin_tools import cli, store
store.FLUSH_ROWS = 2
real, done = store.store_recording, []
def dying(*args, **options):
    done.append(real(*args, **options))
    if len(done) == 6:  # with its file complete under its temporary name
        os.kill(os.getpid(), signal.SIGKILL)
    return done[-1]
store.store_recording = dying
sys.exit(cli.main(["convert", *sys.argv[1:]]))
"""


def test_a_convert_killed_part_way_and_run_again_makes_the_same_store(archive, store, tmp_path, capsys):
    again = tmp_path / "store"
    killed = subprocess.run([sys.executable, "-c", KILLED, archive[0], "-o", again, "--level", "3"],
                            capture_output=True)
    assert killed.returncode == -9
    listed = {row["path"] for row in catalog(again).to_pylist()}
    moved_in = {str(p) for p in again.rglob("*.json.zst")}
    assert len(listed) == 4 and len(moved_in - listed) == 1  # a file whose rows were not written yet
    assert len(list(again.glob(".marrowfin-*.part"))) == 1
    assert convert(capsys, archive[0], "-o", again, "--jobs", "2", "--level", "3")[0] == 1
    assert list(again.glob(".marrowfin-*")) == []
    files, rows = snapshot(again)
    for row in rows:
        row["path"] = row["path"].replace(str(again), store[0])
    assert (files, rows) == snapshot(store[0])


@uses_duckdb
def test_the_catalogue_in_duckdb_and_polars_and_its_paths_everywhere(store, tmp_path, capsys):
    import duckdb

    path = store[0]
    markets = catalog(path)
    wins = [p for (p,) in duckdb.sql("select distinct path from markets where market_type = 'WIN' "
                                     "and books > 0 order by path").fetchall()]
    books = duckdb.sql("select sum(books) from markets where market_type = 'WIN'").fetchall()[0][0]
    assert len(wins) >= 3 and runner_table(wins).markets == len(wins)
    assert sum(1 for _ in market_books(wins)) == books
    assert [o.path for o in batch.run_files(lambda p: 0, wins)] == [r.name for r in Inputs(wins)] == wins
    # A store stands for every recording in it; its catalogue is not read as one.
    every = markets.num_rows
    assert sum(1 for _ in market_books([path])) == duckdb.sql("select sum(books) from markets").fetchall()[0][0]
    assert cli.main(["runners", path, "-o", str(tmp_path / "runners.parquet")]) == 0
    assert capsys.readouterr().err.splitlines()[-1].endswith(f" of {every:,} markets written to {tmp_path}/runners.parquet")
    # Without pyarrow, the packages import (and leave flumine unimported); catalog() says what it needs.
    code = ("import sys; sys.modules['pyarrow'] = None\n"
            "import marrowfin, marrowfin_tools, marrowfin_tools.cli\n"
            "assert 'flumine' not in sys.modules and 'tqdm' not in sys.modules\n"
            "try: marrowfin_tools.catalog(sys.argv[1])\n"
            "except ImportError as e: print(e)\n")
    done = subprocess.run([sys.executable, "-c", code, path], capture_output=True, text=True)
    assert done.stdout == "the store's catalogue needs pyarrow: pip install 'marrowfin[arrow]'\n"


def users_catalog(out):
    """A folder of the user's with a folder named as a store's catalogue."""
    (out / "catalog").mkdir(parents=True)
    (out / "catalog" / "products.parquet").write_text("kept")


def test_a_full_disk_is_the_stores_failure_and_ends_the_run(tmp_path, capsys, monkeypatch):
    """Said once, of the store, not of every recording after it; what was stored before keeps its rows."""
    full = os.open("/dev/full", os.O_WRONLY)
    try:
        with pytest.raises(OSError) as raised:
            _native.store_recording(SAMPLE, full, 3)
        assert raised.value.errno == errno.ENOSPC
        calls = []

        def filling(path, fd, level):
            calls.append(path)
            if len(calls) == 2:
                os.dup2(full, fd)  # the disk is full from the second recording on
            return real(path, fd, level)

        real = _native.store_recording
        monkeypatch.setattr(_native, "store_recording", filling)
        races = [tmp_path / f"race{seed}.json" for seed in range(3)]
        for seed, race in enumerate(races):
            gen_stream.generate(race, size_mb=0.05, seed=seed)
        out = tmp_path / "store"
        assert convert(capsys, *races, "-o", out) == (1, [f"marrowfin: {out}: No space left on device"])
    finally:
        os.close(full)
    assert len(calls) == 2 and [row["source"] for row in catalog(out).to_pylist()] == [str(races[0])]
    assert not list(out.rglob(".marrowfin-*.part"))


def test_another_commands_output_beside_a_store_takes_none_of_its_files(tmp_path, capsys, monkeypatch):
    """A worker's file, done and unlocked, waits for the command to move it in
    while another command writes an output into the store's folder."""
    from marrowfin_tools import scratch, store as store_module
    out = tmp_path / "store"
    real = store_module.store_recording

    def then_an_output_beside(path, name, store, level):
        stored = real(path, name, store, level)
        scratch.sweep(store, scratch.OUTPUT_PREFIX, again=True)  # as another process's first output there
        return stored

    monkeypatch.setattr(store_module, "store_recording", then_an_output_beside)
    assert convert(capsys, SAMPLE, "-o", out) == (0, [f"1 market of 1 recording added to {out}"])
    assert len(catalog(out)) > 0


@pytest.mark.parametrize("setup, text", [
    (lambda out: out.mkdir() or (out / "mine.txt").write_text("kept"), "{}: not a store, and not empty"),
    (lambda out: out.write_text("kept"), "{}: not a folder"),
    (users_catalog, "{}: not a store, and not empty"),
])
def test_an_output_that_is_no_store_is_left_alone(tmp_path, capsys, setup, text):
    out = tmp_path / "out"
    setup(out)
    before = sorted(p.name for p in tmp_path.rglob("*"))
    assert convert(capsys, SAMPLE, "-o", out) == (1, [f"marrowfin: {text.format(out)}"])
    assert sorted(p.name for p in tmp_path.rglob("*")) == before


def test_a_store_is_what_convert_made_and_no_input_of_its_own(store, tmp_path, capsys):
    """A folder named catalog elsewhere holds recordings like any; a store's files have an ordinary file's mode."""
    users_catalog(tmp_path / "mine")
    shutil.copy(SAMPLE, tmp_path / "mine" / "catalog")
    status, out, _ = run(capsys, "summary", "--json", "--no-plot", tmp_path / "mine")
    assert status == 0 and [json.loads(line)["path"] for line in out.splitlines()] == [
        str(tmp_path / "mine" / "catalog" / "sample.json.gz")]
    umask = os.umask(0)
    os.umask(umask)
    assert {p.stat().st_mode & 0o777 for p in pathlib.Path(store[0]).rglob("*.zst")} == {0o666 & ~umask}
    for inside in (store[0], next(pathlib.Path(store[0]).rglob("*.zst"))):
        assert usage_error(capsys, "convert", inside, "-o", store[0]).endswith(
            f"error: {inside} is in the store {store[0]}\n")
    # What a convert of a version before the mark left before its first catalogue part is still a store.
    (begun := tmp_path / "begun" / "catalog").mkdir(parents=True)
    (begun.parent / "2024").mkdir()
    assert convert(capsys, SAMPLE, "-o", begun.parent)[0] == 0 and (begun / ".marrowfin-store").exists()
