"""Archives, directories, file lists and content sniffing in the command and the many-file functions."""

import bz2
import contextlib
import gzip
import io
import json
import lzma
import os
import pathlib
import subprocess
import sys
import tarfile
import tempfile
import threading
import tracemalloc
import warnings
import zipfile

import pytest
import zstandard

import marrowfin
from conftest import change, definition, message, runner
from marrowfin_tools import batch, cli, inputs, map_files, summarize, write_parquet_files

DAY = "PRO/2024/Jan/1"


def recording(market, books):
    """The text of a small recording of one market: a definition, then price changes."""
    lines = [message(1704067200000, change(market, marketDefinition=definition(
        [runner(i, sortPriority=i, name=f"R{i}") for i in (1, 2)], marketType="WIN", eventName=market)))]
    lines += [message(1704067200000 + i, change(market, rc=[runner(1 + i % 2, ltp=1.5 + i)])) for i in range(1, books)]
    return "".join(json.dumps(line) + "\n" for line in lines).encode()


MARKETS = {"1.100": recording("1.100", 3), "1.200": recording("1.200", 5), "1.300": recording("1.300", 2)}
# What the exchange's archives hold: one bzip2 recording per market in
# event folders, next to files that are not recordings.
MEMBERS = {
    f"{DAY}/29000001/1.100.bz2": bz2.compress(MARKETS["1.100"]),
    f"{DAY}/29000001/1.200.bz2": bz2.compress(MARKETS["1.200"]),
    f"{DAY}/29000002/1.300.bz2": bz2.compress(MARKETS["1.300"]),
    "README.txt": b"Historical data, January 2024\n",
    "md5sums": b"d41d8cd98f00b204e9800998ecf8427e  x\n",
    "empty.json": b"",
}
RECORDINGS = [name for name in MEMBERS if name.endswith(".bz2")]


def write_archive(path, members, kind):
    if kind == "zip":
        with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
            for name, data in members.items():
                archive.writestr(name, data)
        return
    with tarfile.open(path, {"tar": "w", "tar.gz": "w:gz", "tar.bz2": "w:bz2"}[kind]) as archive:
        folders = set()
        for name, data in members.items():
            for i in range(name.count("/")):
                folder = name.rsplit("/", i + 1)[0]
                if folder not in folders:
                    folders.add(folder)
                    info = tarfile.TarInfo(folder)
                    info.type = tarfile.DIRTYPE
                    archive.addfile(info)
            info = tarfile.TarInfo(name)
            info.size = len(data)
            archive.addfile(info, io.BytesIO(data))


def run(capsys, *args):
    status = cli.main(list(args))
    out, err = capsys.readouterr()
    return status, out, err.splitlines()


def summaries(capsys, *args):
    """Exit status, {name: summary without its path}, stderr lines."""
    status, out, err = run(capsys, "summary", "--json", *args)
    got = {}
    for line in out.splitlines():
        summary = json.loads(line)
        got[summary.pop("path")] = summary
    return status, got, err


@pytest.fixture(scope="module")
def expected(tmp_path_factory):
    """Each market's summary, from its plain file."""
    folder = tmp_path_factory.mktemp("plain")
    out = {}
    for market, text in MARKETS.items():
        (folder / market).write_bytes(text)
        out[market] = marrowfin_summary(str(folder / market))
    return out


def marrowfin_summary(path):
    summary = json.loads(json.dumps(summarize(path).to_json()))
    del summary["path"]
    return summary


def by_market(got, prefix):
    return {name.removeprefix(prefix): summary for name, summary in got.items()}


@pytest.fixture
def scratch(tmp_path, monkeypatch):
    """The temporary directory that members are unpacked into; checked to be left empty."""
    folder = tmp_path / "scratch"
    folder.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(folder))
    yield folder
    assert list(folder.glob("marrowfin-*")) == []


class TestArchives:
    @pytest.mark.parametrize("kind, name", [("tar", "day.tar"), ("tar.gz", "day.tar.gz"), ("tar.gz", "day.tgz"),
                                            ("tar.bz2", "day.tar.bz2"), ("zip", "day.zip"),
                                            ("tar", "download"), ("zip", "download"), ("tar.gz", "download")])
    @pytest.mark.parametrize("jobs", [1, 2])
    def test_every_recording_inside_named_by_its_member(self, capsys, tmp_path, scratch, expected, kind, name, jobs):
        archive = str(tmp_path / name)
        write_archive(archive, MEMBERS, kind)
        status, got, err = summaries(capsys, archive, f"--jobs={jobs}")
        assert status == 0 and err == ["marrowfin: 3 files skipped (not recordings)"]
        assert list(got) == [f"{archive}:{member}" for member in RECORDINGS]
        assert [summary for summary in got.values()] == list(expected.values())

    def test_a_damaged_member_is_one_line_and_the_others_go_on(self, capsys, tmp_path, scratch, expected):
        members = dict(MEMBERS)
        damaged = f"{DAY}/29000001/1.200.bz2"
        members[damaged] = members[damaged][:-5]
        members[f"{DAY}/29000003/1.400.xz"] = lzma.compress(MARKETS["1.100"])
        members["nested.zip"] = b"PK\x05\x06" + bytes(18)
        archive = str(tmp_path / "day.tar")
        write_archive(archive, members, "tar")
        status, got, err = summaries(capsys, archive)
        assert status == 1 and list(got) == [f"{archive}:{RECORDINGS[0]}", f"{archive}:{RECORDINGS[2]}"]
        assert err == [f"marrowfin: {archive}:{damaged}: unexpected end of file",
                       f"marrowfin: {archive}:{DAY}/29000003/1.400.xz: xz data is not supported; decompress it first",
                       f"marrowfin: {archive}:nested.zip: an archive inside an archive is not read; unpack it first",
                       "marrowfin: 3 files skipped (not recordings)",
                       "marrowfin: 3 of 5 files failed"]

    def test_a_truncated_archive_keeps_what_came_before(self, capsys, tmp_path, scratch):
        whole = tmp_path / "whole.tar.gz"
        write_archive(whole, MEMBERS, "tar.gz")
        cut = tmp_path / "cut.tar.gz"
        cut.write_bytes(whole.read_bytes()[:-40])
        status, got, err = summaries(capsys, str(cut))
        assert status == 1 and len(got) == 3
        assert err == [f"marrowfin: {cut}: cannot read the archive: Compressed file ended before the end-of-stream "
                       "marker was reached", "marrowfin: 2 files skipped (not recordings)", "marrowfin: 1 of 4 files failed"]

    def test_members_by_name_and_by_folder(self, capsys, tmp_path, scratch, expected):
        archive = str(tmp_path / "day.zip")
        write_archive(archive, MEMBERS, "zip")
        status, got, err = summaries(capsys, f"{archive}:{DAY}/29000001", f"{archive}:{RECORDINGS[2]}",
                                     f"{archive}:{DAY}/nothing")
        assert status == 1 and list(got) == [f"{archive}:{member}" for member in RECORDINGS]
        assert err == [f"marrowfin: {archive}:{DAY}/nothing: no such member in the archive",
                       "marrowfin: 1 of 4 files failed"]

    @pytest.mark.parametrize("flags, method, text", [
        (1, 8, "it is encrypted"),
        (0, 9, "That compression method is not supported"),  # Deflate64
    ])
    def test_a_member_zipfile_cannot_open_is_one_line(self, capsys, tmp_path, scratch, expected, flags, method,
                                                      text):
        archive = tmp_path / "day.zip"
        write_archive(archive, MEMBERS, "zip")
        # Marked in its local and its central header, as an encrypting or a Deflate64 writer marks it.
        data = bytearray(archive.read_bytes())
        member = RECORDINGS[1]
        for signature, flags_at, name_at in ((b"PK\x03\x04", 6, 30), (b"PK\x01\x02", 8, 46)):
            start = data.index(signature)
            while data[start + name_at:start + name_at + len(member)] != member.encode():
                start = data.index(signature, start + 4)
            data[start + flags_at] |= flags
            data[start + flags_at + 2:start + flags_at + 4] = method.to_bytes(2, "little")
        archive.write_bytes(bytes(data))
        status, got, err = summaries(capsys, str(archive))
        assert status == 1 and list(got) == [f"{archive}:{RECORDINGS[0]}", f"{archive}:{RECORDINGS[2]}"]
        assert err[0] == f"marrowfin: {archive}:{member}: cannot read the member: {text}"

    @pytest.mark.parametrize("kind", ["dir", "tar", "zip"])
    def test_zstd_recordings_by_content_and_a_zst_name_read_in_place(self, capsys, tmp_path, scratch, expected,
                                                                     kind):
        pack = zstandard.ZstdCompressor(write_checksum=True).compress
        members = {"1.100.json.zst": pack(MARKETS["1.100"]),
                   "1.200": b"P*M\x18\x02\x00\x00\x00hi" + pack(MARKETS["1.200"]),  # a skippable frame first
                   "1.300.bz2": pack(MARKETS["1.300"]),
                   "day.tar.zst": pack(b"PRO/2024/Jan/1/1.100.bz2".ljust(257, b"\0") + b"ustar")}
        where = tmp_path / "in"
        if kind == "dir":
            where.mkdir()
            for name, data in members.items():
                (where / name).write_bytes(data)
        else:
            write_archive(where, members, kind)
        status, got, err = summaries(capsys, str(where))
        prefix = f"{where}/" if kind == "dir" else f"{where}:"
        assert status == 1 and by_market(got, prefix) == {
            "1.100.json.zst": expected["1.100"], "1.200": expected["1.200"], "1.300.bz2": expected["1.300"]}
        assert err == [f"marrowfin: {prefix}day.tar.zst: zstd tar data is not supported; decompress it first",
                       "marrowfin: 1 of 4 files failed"]
        # The module reads a .zst name as zstd: such a file is replayed where it lies.
        for recording in inputs.Inputs([str(where)]):
            if recording.kind is not None:
                with recording.local_path() as path:
                    assert (path == recording.path) == (recording.name.endswith(".zst") and kind == "dir")
                    assert path.endswith(".zst")

    def test_members_are_unpacked_one_at_a_time_and_removed(self, tmp_path, scratch):
        archive = str(tmp_path / "day.tar.bz2")
        write_archive(archive, MEMBERS, "tar.bz2")

        def look(path):
            # The member's own name, in a folder of its own, the only one.
            assert pathlib.Path(path).parent.parent == scratch and len(list(scratch.glob("marrowfin-*"))) == 1
            return pathlib.Path(path).name

        outcomes = list(batch.run_files(look, [archive]))
        assert [o.value for o in outcomes] == ["1.100.bz2", "1.200.bz2", "1.300.bz2"]

    @pytest.mark.parametrize("kind", ["zip", "tar"])
    def test_members_of_one_name_are_each_replayed_and_written(self, capsys, tmp_path, scratch, expected, kind):
        archive = tmp_path / f"day.{kind}"
        entries = [("race.json", MARKETS["1.100"]), ("race.json", MARKETS["1.200"]), ("race.json", b"README\n"),
                   ("race.json#2", MARKETS["1.300"])]  # a name the second one would take
        if kind == "zip":
            with warnings.catch_warnings(), zipfile.ZipFile(archive, "w") as zipped:
                warnings.simplefilter("ignore")  # zipfile warns of a name it writes twice
                for name, data in entries:
                    zipped.writestr(name, data)
        else:
            with tarfile.open(archive, "w") as tar:
                for name, data in entries:
                    info = tarfile.TarInfo(name)
                    info.size = len(data)
                    tar.addfile(info, io.BytesIO(data))
        names = [f"{archive}:race.json", f"{archive}:race.json#2", f"{archive}:race.json#2#2"]
        status, got, err = summaries(capsys, str(archive))
        assert (status, err) == (0, ["marrowfin: 1 file skipped (not a recording)"])
        assert got == dict(zip(names, [expected["1.100"], expected["1.200"], expected["1.300"]]))
        status, _, err = run(capsys, "export", str(archive), "-o", f"{tmp_path}/out/")
        outputs = ["race.jsonl", "race#2.jsonl", "race.json#2#2.jsonl"]
        assert status == 0 and err[:3] == [f"{n} books written to {tmp_path}/out/day.{kind}:{o}"
                                           for n, o in zip((3, 5, 2), outputs)]
        assert sorted(p.name for p in (tmp_path / "out").iterdir()) == sorted(f"day.{kind}:{o}" for o in outputs)
        status, _, err = run(capsys, "export", names[1], "-o", str(tmp_path / "second.jsonl"))
        assert (status, err) == (0, [f"5 books written to {tmp_path / 'second.jsonl'}"])

    @pytest.mark.parametrize("kind", ["sparse", "tar.gz"])
    def test_members_are_never_held_in_memory(self, tmp_path, scratch, kind):
        """A sparse member of zeros that claims 48 MiB in a tar of a few KiB is skipped; a member of a
        compressed tar is copied in pieces; the recording after each is read."""
        size = 48 << 20
        (tmp_path / "1.100.json").write_bytes(MARKETS["1.100"])
        archive = tmp_path / f"day.{'tar' if kind == 'sparse' else kind}"
        if kind == "sparse":
            with open(tmp_path / "hole", "wb") as hole:
                hole.truncate(size)
            for flag, name in (("-cf", "hole"), ("-rf", "1.100.json")):
                subprocess.run(["tar", "--sparse", flag, archive, "-C", tmp_path, name], check=True)
            expected = [(f"{archive}:1.100.json", True, len(MARKETS["1.100"]))]
        else:
            write_archive(archive, {"big.json": b"{" + bytes(size), "1.100.json": MARKETS["1.100"]}, kind)
            expected = [(f"{archive}:big.json", True, size + 1), (f"{archive}:1.100.json", True, len(MARKETS["1.100"]))]
        tracemalloc.start()
        try:
            outcomes = list(batch.run_files(os.path.getsize, [str(archive)]))
            peak = tracemalloc.get_traced_memory()[1]
        finally:
            tracemalloc.stop()
        assert outcomes == expected and peak < 8 << 20


class TestDirectoriesAndLists:
    @pytest.fixture
    def tree(self, tmp_path):
        """Recordings in nested folders under every kind of name, and files that are not recordings."""
        top = tmp_path / "data"
        (top / "b" / "deep").mkdir(parents=True)
        (top / "a").mkdir()
        (top / "b" / "deep" / "1.100").write_bytes(bz2.compress(MARKETS["1.100"]))  # bzip2, no suffix
        (top / "b" / "1.200.gz").write_bytes(MARKETS["1.200"])  # plain under a gzip name
        (top / "a" / "1.300.json").write_bytes(gzip.compress(MARKETS["1.300"]))  # gzip under a plain name
        (top / "a" / "notes.txt").write_text("not a recording\n")
        (top / "b" / "empty").write_bytes(b"")
        return top

    def test_a_directory_means_every_recording_under_it(self, capsys, tree, scratch, expected):
        status, got, err = summaries(capsys, str(tree))
        assert status == 0 and err == ["marrowfin: 2 files skipped (not recordings)"]
        assert list(got) == [str(tree / "a" / "1.300.json"), str(tree / "b" / "1.200.gz"),
                             str(tree / "b" / "deep" / "1.100")]
        assert list(got.values()) == [expected["1.300"], expected["1.200"], expected["1.100"]]

    def test_an_archive_in_a_directory_is_read(self, capsys, tree, scratch, expected):
        write_archive(tree / "a" / "day.tar", MEMBERS, "tar")
        status, got, _ = summaries(capsys, str(tree / "a"))
        assert status == 0 and list(got)[1:] == [f"{tree / 'a' / 'day.tar'}:{m}" for m in RECORDINGS]

    @pytest.mark.parametrize("from_stdin", [True, False])
    def test_files_from(self, capsys, tree, scratch, monkeypatch, expected, from_stdin):
        listed = [str(tree / "b" / "deep" / "1.100"), "", str(tree / "a"), str(tree / "missing")]
        text = "\n".join(listed) + "\n"
        if from_stdin:
            monkeypatch.setattr(sys, "stdin", io.StringIO(text))
            source = "-"
        else:
            source = str(tree / "list.txt")
            pathlib.Path(source).write_text(text)
        status, got, err = summaries(capsys, str(tree / "b" / "1.200.gz"), "--files-from", source)
        assert status == 1 and list(got) == [str(tree / "b" / "1.200.gz"), str(tree / "b" / "deep" / "1.100"),
                                             str(tree / "a" / "1.300.json")]
        assert err == [f"marrowfin: {tree / 'missing'}: No such file or directory (os error 2)",
                       "marrowfin: 1 file skipped (not a recording)", "marrowfin: 1 of 4 files failed"]

    def test_a_pipe_in_a_directory_is_skipped_not_opened(self, tree, scratch, expected):
        os.mkfifo(tree / "a" / "pipe")  # opening it would wait for a writer that never comes
        done = subprocess.run([sys.executable, "-m", "marrowfin_tools", "summary", "--json", "--no-plot", str(tree)],
                              capture_output=True, text=True, timeout=120)
        assert done.returncode == 0 and done.stderr == "marrowfin: 3 files skipped (not recordings)\n"
        assert len(done.stdout.splitlines()) == 3

    @pytest.mark.parametrize("fmt", ["jsonl", "parquet"])
    def test_exporting_into_a_folder_of_the_input(self, capsys, tree, scratch, fmt):
        out = tree / "b" / "out"
        for _ in range(2):  # and again, over the outputs of the first run
            status, _, err = run(capsys, "export", str(tree), "--format", fmt, "-o", f"{out}/")
            assert status == 0 and len(err) == 4 and err[-1] == "marrowfin: 2 files skipped (not recordings)"

    def test_a_list_that_cannot_be_read_is_a_usage_error(self, capsys, tmp_path):
        with pytest.raises(SystemExit) as exit:
            cli.main(["summary", "--files-from", str(tmp_path / "nope")])
        assert exit.value.code == 2 and "--files-from" in capsys.readouterr().err


class TestOutputNames:
    """Each output is named after its recording's name, as the command reports and checks it, whatever
    name the copy the module reads has."""

    @pytest.fixture
    def inputs(self, tmp_path):
        for day, market in (("monday", "1.100"), ("tuesday", "1.200")):  # the same member name in each
            write_archive(tmp_path / f"{day}.zip", {"race.json.gz": gzip.compress(MARKETS[market])}, "zip")
        (tmp_path / "a").mkdir()
        (tmp_path / "b").mkdir()
        (tmp_path / "a" / "R.GZ").write_bytes(gzip.compress(MARKETS["1.300"]))  # read under "R.GZ.gz"
        (tmp_path / "b" / "R.GZ.json").write_bytes(gzip.compress(MARKETS["1.100"]))  # under "R.GZ.json.gz"
        return [str(tmp_path / name) for name in ("monday.zip", "tuesday.zip", "a/R.GZ", "b/R.GZ.json")]

    @pytest.mark.parametrize("jobs", [1, 2])
    def test_export_writes_what_it_reports(self, capsys, tmp_path, scratch, inputs, jobs):
        out = tmp_path / "out"
        status, _, err = run(capsys, "export", *inputs, "-o", f"{out}/", f"--jobs={jobs}")
        assert status == 0
        written = {line.split(" written to ")[1]: int(line.split()[0]) for line in err}
        assert sorted(written) == sorted(str(out / name) for name in (
            "monday.zip:race.jsonl", "tuesday.zip:race.jsonl", "R.jsonl", "R.GZ.jsonl"))
        assert {path: len(pathlib.Path(path).read_text().splitlines()) for path in written} == written

    def test_dataset_files_are_those_it_reports(self, capsys, tmp_path, scratch, inputs):
        out = tmp_path / "ds"
        status, _, err = run(capsys, "export", *inputs, "--format", "parquet", "-o", f"{out}/")
        assert status == 0
        names = sorted(p.name for p in out.rglob("*.parquet"))
        assert names == ["R-0.parquet", "R.GZ-0.parquet", "monday.zip:race-0.parquet", "tuesday.zip:race-0.parquet"]


    @pytest.mark.parametrize("files, args, err", [
        ({"day.zip": {"race.json": "1.100"}}, ["day.zip:race.json", "-o", "day.zip"],
         ["day.zip:race.json: day.zip is the archive it comes from"]),
        ({"d/race.json": "1.100"}, ["d", "-o", "d/race.json"], ["d/race.json: d/race.json is the input itself"]),
        ({"race.jsonl": "1.100"}, ["race.jsonl"], ["race.jsonl: ./race.jsonl is the input itself"]),
        # A zip named as the output of its member, exported into its own folder.
        ({"rec.jsonl": {"sub/rec.json": "1.100"}}, ["rec.jsonl"],
         ["rec.jsonl:sub/rec.json: ./rec.jsonl is the archive it comes from"]),
        # A member's output onto a recording of the folder that is read after it.
        ({"d/a.zip": {"sub/b.json": "1.100"}, "d/b.jsonl": "1.200"}, ["d", "-o", "d/"],
         ["d/a.zip:sub/b.json: d/b.jsonl is read from the input folder d",
          "d/b.jsonl: d/a.zip:sub/b.json and d/b.jsonl would both write b.jsonl",
          "2 of 2 files failed"]),
    ])
    def test_an_output_never_destroys_an_input(self, capsys, tmp_path, scratch, monkeypatch, files, args, err):
        work = tmp_path / "work"
        for name, content in files.items():
            (work / name).parent.mkdir(parents=True, exist_ok=True)
            if isinstance(content, dict):
                write_archive(work / name, {member: MARKETS[m] for member, m in content.items()}, "zip")
            else:
                (work / name).write_bytes(MARKETS[content])
        before = {p: p.read_bytes() for p in work.rglob("*") if p.is_file()}
        monkeypatch.chdir(work)
        assert run(capsys, "export", *args) == (1, "", [f"marrowfin: {line}" for line in err])
        assert {p: p.read_bytes() for p in work.rglob("*") if p.is_file()} == before

    def test_names_the_system_allows(self, tmp_path, scratch):
        """Names that are not UTF-8, a member name with no room for a suffix, members named as folders:
        replayed by the command and run_files, and written to visible files of their own."""
        top = tmp_path / "in"
        top.mkdir()
        (top / os.fsdecode(b"\xff.json")).write_bytes(MARKETS["1.100"])
        members = {os.fsdecode(b"\xfe.json"): MARKETS["1.200"], "x" * 252: MARKETS["1.300"],
                   "sub/.": MARKETS["1.100"], "slash.json/": MARKETS["1.200"]}
        write_archive(top / "day.tar", members, "tar")
        write_archive(top / "day.zip", {"slash.json/": MARKETS["1.300"]}, "zip")  # a folder's name, with bytes
        names = [f"{top}/day.tar:{name}" for name in members] + [f"{top}/day.zip:slash.json/",
                                                                   str(top / os.fsdecode(b"\xff.json"))]
        outcomes = list(batch.run_files(lambda path: len(marrowfin.iter_prices_file(path)), [str(top)]))
        assert outcomes == [(name, True, books) for name, books in zip(names, (5, 2, 3, 5, 2, 3))]
        command = [pathlib.Path(sys.executable).with_name("marrowfin")]
        done = subprocess.run(command + ["summary", str(top)], capture_output=True, timeout=120)
        assert done.returncode == 0
        assert [line for line in done.stdout.splitlines() if line and not line.startswith(b" ")] == [
            os.fsencode(name) for name in names]
        out = tmp_path / "out"
        done = subprocess.run(command + ["export", str(top), "-o", f"{out}/"], capture_output=True, timeout=120)
        assert done.returncode == 0 and len(done.stderr.splitlines()) == 6
        assert sorted(os.listdir(os.fsencode(out))) == sorted(
            [b"\xff.jsonl", b"day.tar:\xfe.jsonl", (b"day.tar:" + b"x" * 252)[:234] + b".jsonl",
             b"day.tar:sub.jsonl", b"day.tar:slash.jsonl", b"day.zip:slash.jsonl"])


class TestSingleRecordingCommands:
    @pytest.fixture
    def archive(self, tmp_path):
        path = str(tmp_path / "day.tar.gz")
        write_archive(path, MEMBERS, "tar.gz")
        return path

    def test_export_of_a_member_and_gzip_output(self, capsys, tmp_path, scratch, archive):
        plain = tmp_path / "1.200"
        plain.write_bytes(MARKETS["1.200"])
        books = [book.to_dict() for book in marrowfin.iter_prices_file(str(plain))]
        for out, read in [("books.jsonl", pathlib.Path.read_text),
                          ("books.jsonl.gz", lambda p: gzip.decompress(p.read_bytes()).decode()),
                          ("books.jsonl.bz2", lambda p: bz2.decompress(p.read_bytes()).decode())]:
            target = tmp_path / out
            status, _, err = run(capsys, "export", f"{archive}:{RECORDINGS[1]}", "-o", str(target))
            assert (status, err) == (0, [f"5 books written to {target}"])
            assert [json.loads(line) for line in read(target).splitlines()] == books
        # The module would read the name as zstd, which Python's library does not write.
        with pytest.raises(SystemExit) as exit:
            cli.main(["export", f"{archive}:{RECORDINGS[1]}", "-o", str(tmp_path / "books.jsonl.zst")])
        assert exit.value.code == 2 and "zstd output is not written" in capsys.readouterr().err
        assert not (tmp_path / "books.jsonl.zst").exists()

    def test_one_recording_only(self, capsys, tmp_path, scratch, archive):
        with pytest.raises(SystemExit) as exit:
            cli.main(["export", archive, "-o", str(tmp_path / "x.jsonl")])
        assert exit.value.code == 2 and "holds more than one recording" in capsys.readouterr().err
        empty = tmp_path / "none"
        empty.mkdir()
        assert run(capsys, "plot", str(empty), "-o", "x.png") == (1, "", [f"marrowfin: {empty}: no recordings in it"])
        status, _, err = run(capsys, "export", f"{archive}:README.txt", "-o", str(tmp_path / "x.jsonl"))
        assert (status, err) == (1, [f"marrowfin: {archive}:README.txt: expected value at line 1 column 1"])
        assert not (tmp_path / "x.jsonl").exists()


@pytest.mark.parametrize(
    "head, name, kind",
    [(b'{"op":"mcm"}', "x.gz", "plain"), (gzip.compress(b"{}"), "x", "gzip"), (bz2.compress(b"{}"), "x", "bzip2"),
     (bz2.compress(b"{}"), "x.tar.bz2", "tar"), (b"PK\x03\x04rest", "x", "zip"), (b"PK\x05\x06" + bytes(18), "x", "zip"),
     (lzma.compress(b"{}"), "x.bz2", "xz"), (b"\x28\xb5\x2f\xfd\x00", "x", "zstd"), (b"", "x.gz", "plain"),
     (b"BZ", "x.bz2", "plain"), (b"\x5f\x2a\x4d\x18\x00", "x", "zstd"), (b"\x60\x2a\x4d\x18\x00", "x", "plain"),
     (b"\x28\xb5\x2f\xfd\x00", "x.TAR.ZST", "zstd tar"), (b"\x28\xb5\x2f\xfd\x00", "x.tzst", "zstd tar")],
)
def test_sniff(head, name, kind):
    assert inputs.sniff(head, name) == kind


def test_sniff_sees_a_tar_inside_gzip(tmp_path):
    write_archive(tmp_path / "x", MEMBERS, "tar.gz")
    write_archive(tmp_path / "y", MEMBERS, "tar")
    assert inputs.sniff((tmp_path / "x").read_bytes()[:inputs.HEAD]) == "tar"
    assert inputs.sniff((tmp_path / "y").read_bytes()[:inputs.HEAD]) == "tar"


def test_recordings_pickle_and_open_elsewhere(tmp_path, scratch):
    import pickle
    write_archive(tmp_path / "day.tar", MEMBERS, "tar")
    found = list(inputs.Inputs([str(tmp_path / "day.tar")]))
    for recording in pickle.loads(pickle.dumps(found)):
        with recording.local_path() as path:
            assert len(marrowfin.iter_prices_file(path)) > 1
    assert list(scratch.iterdir()) == []


@pytest.mark.parametrize("call", [inputs.Inputs, lambda p: batch.run_files(len, p), lambda p: map_files(len, p),
                                  lambda p: write_parquet_files(p, "out")],
                         ids=["Inputs", "run_files", "map_files", "write_parquet_files"])
@pytest.mark.parametrize("path", ["ab", b"ab"])
def test_one_path_where_a_list_of_them_is_expected(tmp_path, monkeypatch, call, path):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(TypeError, match=f"^paths must be an iterable of paths, not {type(path).__name__}$"):
        call(path)
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("how", ["command", "run_files"])
def test_a_recording_over_the_size_limit_fails_alone(capsys, tmp_path, scratch, how):
    """Members, a plain file, a device and a pipe without end, each over a limit of 64 KiB."""
    big = b"{" + b" " * (1 << 20) + b"}\n"  # 1 MiB that compresses to next to nothing
    for kind, name in (("zip", "day.zip"), ("tar", "day.tar"), ("tar.gz", "day.tgz")):
        write_archive(tmp_path / name, {"big.json": big}, kind)
    (tmp_path / "big.json").write_bytes(big)
    small = tmp_path / "small.json"
    small.write_bytes(MARKETS["1.100"])
    pipe = tmp_path / "pipe.json"
    os.mkfifo(pipe)

    def feed():  # until the reader goes
        with contextlib.suppress(BrokenPipeError), open(pipe, "wb") as writer:
            while True:
                writer.write(big)

    threading.Thread(target=feed, daemon=True).start()
    large = [f"{tmp_path}/{name}:big.json" for name in ("day.zip", "day.tar", "day.tgz")]
    large += [str(tmp_path / "big.json"), "/dev/zero", str(pipe)]
    text = "larger than the size limit of 64 KiB once decoded"
    if how == "command":
        # A compressed file on its own is held to the limit as the module decodes it.
        (tmp_path / "big.json.bz2").write_bytes(bz2.compress(big))
        large.append(str(tmp_path / "big.json.bz2"))
        status, got, err = summaries(capsys, str(small), *large, "--max-size", "64K")
        assert status == 1 and list(got) == [str(small)]
        assert err == [f"marrowfin: {path}: {text}" for path in large] + ["marrowfin: 7 of 8 files failed"]
    else:
        outcomes = list(batch.run_files(os.path.getsize, [str(small), *large], max_size=64 << 10))
        assert outcomes == [(str(small), True, len(MARKETS["1.100"]))] + [(path, False, text) for path in large]
