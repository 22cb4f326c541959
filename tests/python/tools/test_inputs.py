"""Archives, directories, file lists and content sniffing in the command and the many-file functions."""

import bz2
import concurrent.futures
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

import pytest
import pyarrow as pa
import zstandard

import marrowfin
from conftest import change, definition, message, runner
from marrowfin_tools import batch, inputs, map_files, runner_table, summarize, write_parquet_files
from tools_support import SAMPLE, run, usage_error, write_archive

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


def summaries(capsys, *args):
    """Exit status, {name: summary without its path}, stderr lines."""
    status, out, err = run(capsys, "summary", "--json", *args)
    got = [json.loads(line) for line in out.splitlines()]
    return status, {s["path"]: {key: value for key, value in s.items() if key != "path"} for s in got}, err


@pytest.fixture(scope="module")
def expected(tmp_path_factory):
    """Each market's summary, from its plain file."""
    folder = tmp_path_factory.mktemp("plain")
    for market, text in MARKETS.items():
        (folder / market).write_bytes(text)
    return {market: {key: value for key, value in json.loads(json.dumps(summarize(str(folder / market)).to_json()))
                     .items() if key != "path"} for market in MARKETS}


@pytest.fixture
def scratch(tmp_path, monkeypatch):
    """The temporary directory that members are unpacked into; checked to be left empty."""
    folder = tmp_path / "scratch"
    folder.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(folder))
    yield folder
    assert list(folder.glob("marrowfin-*")) == []


class TestArchives:
    @pytest.mark.parametrize("kind, name, jobs", [
        ("tar", "day.tar", 1), ("tar.gz", "day.tar.gz", 2), ("tar.gz", "day.tgz", 1), ("tar.bz2", "day.tar.bz2", 2),
        ("zip", "day.zip", 1), ("tar", "download", 2), ("zip", "download", 2), ("tar.gz", "download", 1)])
    def test_every_recording_inside_named_by_its_member(self, capsys, tmp_path, scratch, expected, kind, name, jobs):
        archive = str(tmp_path / name)
        write_archive(archive, MEMBERS, kind)
        status, got, err = summaries(capsys, archive, f"--jobs={jobs}")
        assert status == 0 and err == ["marrowfin: 3 files skipped (not recordings)"]
        assert got == {f"{archive}:{member}": summary for member, summary in zip(RECORDINGS, expected.values())}

    def test_a_damaged_member_or_archive_or_a_link_is_one_line_and_the_others_go_on(self, capsys, tmp_path, scratch):
        damaged = f"{DAY}/29000001/1.200.bz2"
        archive, cut = tmp_path / "day.tar", tmp_path / "cut.tar.gz"
        write_archive(archive, {**MEMBERS, damaged: MEMBERS[damaged][:-5], "nested.zip": b"PK\x05\x06" + bytes(18),
                                f"{DAY}/29000003/1.400.xz": lzma.compress(MARKETS["1.100"])}, "tar")
        with tarfile.open(archive, "a") as tar:
            link = tarfile.TarInfo("again/1.100.bz2")
            link.type, link.linkname = tarfile.LNKTYPE, RECORDINGS[0]
            tar.addfile(link)
        write_archive(cut, MEMBERS, "tar.gz")
        cut.write_bytes(cut.read_bytes()[:-40])  # what came before the cut is kept
        write_archive(cut_bzip2 := tmp_path / "cut.tar.bz2", MEMBERS, "tar.bz2")
        cut_bzip2.write_bytes(cut_bzip2.read_bytes()[:-40])  # in its only block: nothing before the cut
        status, got, err = summaries(capsys, archive, f"{archive}:again/1.100.bz2", cut, cut_bzip2)
        assert status == 1 and list(got) == [f"{archive}:{RECORDINGS[0]}", f"{archive}:{RECORDINGS[2]}"] + [
            f"{cut}:{member}" for member in RECORDINGS]
        assert err == [f"marrowfin: {archive}:{damaged}: unexpected end of file",
                       f"marrowfin: {archive}:nested.zip: an archive inside an archive is not read; unpack it first",
                       f"marrowfin: {archive}:{DAY}/29000003/1.400.xz: xz data is not supported; decompress it first",
                       f"marrowfin: {archive}:again/1.100.bz2: a link to {RECORDINGS[0]}: name that member",
                       *(f"marrowfin: {path}: cannot read the archive: Compressed file ended before the "
                         "end-of-stream marker was reached" for path in (cut, cut_bzip2)),
                       "marrowfin: 5 files skipped (not recordings)",
                       "marrowfin: 1 link in an archive skipped (name what it links to)", "marrowfin: 6 of 11 files failed"]

    def test_members_by_name_and_by_folder(self, capsys, tmp_path, scratch):
        archive = str(tmp_path / "day.zip")
        write_archive(archive, {**MEMBERS, "docs/notes.txt": b"notes\n"}, "zip")
        status, got, err = summaries(capsys, f"{archive}:{DAY}/29000001", f"{archive}:{RECORDINGS[2]}",
                                     f"{archive}:{DAY}/nothing", f"{archive}:docs/")
        assert status == 1 and list(got) == [f"{archive}:{member}" for member in RECORDINGS]
        assert err == [f"marrowfin: {archive}:{DAY}/nothing: no such member in the archive",
                       f"marrowfin: {archive}:docs/: no recording in it", "marrowfin: 1 file skipped (not a recording)",
                       "marrowfin: 2 of 5 files failed"]

    @pytest.mark.parametrize("kind, damage", [("tar", "header"), ("zip", "data"), ("zip", "encrypted"),
                                              ("zip", "Deflate64")])
    def test_an_archive_damaged_midway_says_so_and_keeps_what_it_can(self, capsys, tmp_path, scratch, kind, damage):
        """A tar's listing cannot go past a header it cannot read; a zip's goes on past a member it cannot."""
        archive = tmp_path / f"day.{kind}"
        write_archive(archive, MEMBERS, kind)
        data, member = bytearray(archive.read_bytes()), RECORDINGS[1]
        lost, error = [member], f"{archive}:{member}: cannot read the member: "
        if damage == "header":
            header = data.index(member.encode())  # a header starts with the member's name
            data[header + 148] ^= 1  # its checksum
            lost.append(RECORDINGS[2])
            error = f"{archive}: cannot read the archive: a bad header at byte {header:,}: "
        elif damage == "data":
            data[data.index(member.encode()) + len(member) + 10] ^= 0xFF  # its data, after its local header's name
        else:
            flags, method, text = {"encrypted": (1, 8, "it is encrypted"),
                                   "Deflate64": (0, 9, "That compression method is not supported")}[damage]
            # Marked in its local and its central header, as an encrypting or a Deflate64 writer marks it.
            for signature, flags_at, name_at in ((b"PK\x03\x04", 6, 30), (b"PK\x01\x02", 8, 46)):
                start = data.index(signature)
                while data[start + name_at:start + name_at + len(member)] != member.encode():
                    start = data.index(signature, start + 4)
                data[start + flags_at] |= flags
                data[start + flags_at + 2:start + flags_at + 4] = method.to_bytes(2, "little")
            error += text
        archive.write_bytes(bytes(data))
        status, got, err = summaries(capsys, archive)
        assert status == 1 and list(got) == [f"{archive}:{m}" for m in RECORDINGS if m not in lost]
        assert err[0].startswith(f"marrowfin: {error}") and err[-1].endswith("files failed")
        assert damage not in ("encrypted", "Deflate64") or err[0] == f"marrowfin: {error}"

    @pytest.mark.parametrize("kind", ["dir", "tar", "zip"])
    def test_zstd_recordings_by_content_and_a_zst_name_read_in_place(self, capsys, tmp_path, scratch, expected,
                                                                     kind):
        pack = zstandard.ZstdCompressor(write_checksum=True).compress
        members = {"1.100.json.zst": pack(MARKETS["1.100"]),
                   "1.200": b"P*M\x18\x02\x00\x00\x00hi" + pack(MARKETS["1.200"]),  # a skippable frame first
                   "1.300.bz2": pack(MARKETS["1.300"]),
                   "day.tar.zst": pack(b"PRO/2024/Jan/1/1.100.bz2".ljust(257, b"\0") + b"ustar")}
        where = tmp_path / "in"
        write_archive(where, members, kind)
        status, got, err = summaries(capsys, where)
        prefix = f"{where}/" if kind == "dir" else f"{where}:"
        assert status == 1 and {name.removeprefix(prefix): summary for name, summary in got.items()} == {
            "1.100.json.zst": expected["1.100"], "1.200": expected["1.200"], "1.300.bz2": expected["1.300"]}
        assert err == [f"marrowfin: {prefix}day.tar.zst: zstd tar data is not supported; decompress it first",
                       "marrowfin: 1 of 4 files failed"]
        # The module reads a .zst name as zstd: such a file is replayed where it lies.
        for recording in inputs.Inputs([str(where)]):
            if recording.kind is not None:
                with recording.local_path() as path:
                    assert (path == recording.path) == (recording.name.endswith(".zst") and kind == "dir")
                    assert path.endswith(".zst")

    @pytest.mark.parametrize("kind", ["zip", "tar"])
    def test_members_of_one_name_are_each_replayed_and_written(self, capsys, tmp_path, scratch, expected, kind):
        archive = tmp_path / f"day.{kind}"
        write_archive(archive, [("race.json", MARKETS["1.100"]), ("race.json", MARKETS["1.200"]),
                                ("race.json", b"README\n"), ("race.json#2", MARKETS["1.300"])], kind)  # #2 is taken
        names = [f"{archive}:race.json", f"{archive}:race.json#2", f"{archive}:race.json#2#2"]
        status, got, err = summaries(capsys, archive)
        assert (status, err) == (0, ["marrowfin: 1 file skipped (not a recording)"])
        assert got == dict(zip(names, [expected["1.100"], expected["1.200"], expected["1.300"]]))
        status, _, err = run(capsys, "export", archive, "-o", f"{tmp_path}/out/")
        outputs = ["race.jsonl", "race#2.jsonl", "race.json#2#2.jsonl"]
        assert status == 0 and err[:3] == [f"{n} books written to {tmp_path}/out/day.{kind}:{o}"
                                           for n, o in zip((3, 5, 2), outputs)]
        assert sorted(p.name for p in (tmp_path / "out").iterdir()) == sorted(f"day.{kind}:{o}" for o in outputs)
        status, _, err = run(capsys, "export", names[1], "-o", tmp_path / "second.jsonl")
        assert (status, err) == (0, [f"5 books written to {tmp_path / 'second.jsonl'}"])

    @pytest.mark.parametrize("kind", ["sparse", "tar.gz"])
    def test_members_are_never_held_in_memory(self, tmp_path, scratch, kind):
        """A sparse member of 48 MiB of zeros is skipped, a member of a compressed tar copied in pieces;
        each is unpacked alone, under its own name, and removed before the next, which is read."""
        size = 48 << 20
        (tmp_path / "1.100.json").write_bytes(MARKETS["1.100"])
        archive = tmp_path / f"day.{'tar' if kind == 'sparse' else kind}"
        expected = [(f"{archive}:1.100.json", True, ("1.100.json", len(MARKETS["1.100"])))]
        if kind == "sparse":
            with open(tmp_path / "hole", "wb") as hole:
                hole.truncate(size)
            for flag, name in (("-cf", "hole"), ("-rf", "1.100.json")):
                subprocess.run(["tar", "--sparse", flag, archive, "-C", tmp_path, name], check=True)
        else:
            write_archive(archive, {"big.json": b'{"op"' + bytes(size), "1.100.json": MARKETS["1.100"]}, kind)
            expected.insert(0, (f"{archive}:big.json", True, ("big.json", size + 5)))

        def look(path):  # in a folder of its own, the only one
            assert pathlib.Path(path).parent.parent == scratch and len(list(scratch.glob("marrowfin-*"))) == 1
            return pathlib.Path(path).name, os.path.getsize(path)

        tracemalloc.start()
        try:
            outcomes = list(batch.run_files(look, [str(archive)]))
            peak = tracemalloc.get_traced_memory()[1]
        finally:
            tracemalloc.stop()
        assert outcomes == expected and peak < 8 << 20


class TestDirectoriesAndLists:
    @pytest.fixture
    def tree(self, tmp_path):
        """Recordings in nested folders under every kind of name, and files that are not recordings."""
        write_archive(tmp_path / "data", {
            "b/deep/1.100": bz2.compress(MARKETS["1.100"]),  # bzip2, no suffix
            "b/1.200.gz": MARKETS["1.200"],  # plain under a gzip name
            "a/1.300.json": gzip.compress(MARKETS["1.300"]),  # gzip under a plain name
            "a/notes.txt": b"not a recording\n", "b/empty": b""}, "dir")
        return tmp_path / "data"

    def test_a_directory_means_every_recording_under_it_in_its_archives_and_behind_links(self, capsys, tree, scratch,
                                                                                         expected):
        """A link to a folder elsewhere is followed once, one within not at all."""
        write_archive(tree / "a" / "day.tar", MEMBERS, "tar")
        elsewhere = tree.parent / "elsewhere"
        (elsewhere / "day").mkdir(parents=True)
        (elsewhere / "day" / "1.100.bz2").write_bytes(MEMBERS[RECORDINGS[0]])
        (elsewhere / "1.300.bz2").write_bytes(MEMBERS[RECORDINGS[2]])
        # The narrower link first, then the wider: each folder once.
        for link, target in (("c", elsewhere / "day"), ("d", elsewhere), ("e", tree / "b"), ("b/up", tree)):
            (tree / link).symlink_to(target, target_is_directory=True)
        (elsewhere / "day" / "loop").symlink_to(elsewhere, target_is_directory=True)
        status, got, err = summaries(capsys, tree)
        assert status == 0 and err == ["marrowfin: 5 files skipped (not recordings)"]
        assert list(got.items()) == [
            (str(tree / "a" / "1.300.json"), expected["1.300"]),
            *((f"{tree / 'a' / 'day.tar'}:{m}", s) for m, s in zip(RECORDINGS, expected.values())),
            (str(tree / "b" / "1.200.gz"), expected["1.200"]), (str(tree / "b" / "deep" / "1.100"), expected["1.100"]),
            (str(tree / "c" / "1.100.bz2"), expected["1.100"]), (str(tree / "d" / "1.300.bz2"), expected["1.300"])]

    @pytest.mark.parametrize("from_stdin", [True, False])
    def test_files_from(self, capsys, tree, scratch, monkeypatch, from_stdin):
        text = "\n".join([str(tree / "b" / "deep" / "1.100"), "", str(tree / "a"), str(tree / "missing")]) + "\n"
        source = "-" if from_stdin else tree / "list.txt"
        if from_stdin:
            monkeypatch.setattr(sys, "stdin", io.StringIO(text))
        else:
            source.write_text(text)
        status, got, err = summaries(capsys, tree / "b" / "1.200.gz", "--files-from", source)
        assert status == 1 and list(got) == [str(tree / "b" / "1.200.gz"), str(tree / "b" / "deep" / "1.100"),
                                             str(tree / "a" / "1.300.json")]
        assert err == [f"marrowfin: {tree / 'missing'}: No such file or directory (os error 2)",
                       "marrowfin: 1 file skipped (not a recording)", "marrowfin: 1 of 4 files failed"]

    @pytest.mark.parametrize("fmt", ["jsonl", "parquet"])
    def test_exporting_into_a_folder_of_the_input(self, capsys, tree, scratch, fmt):
        for _ in range(2):  # and again, over the outputs of the first run
            status, _, err = run(capsys, "export", tree, "--format", fmt, "-o", f"{tree / 'b' / 'out'}/")
            assert status == 0 and len(err) == 4 and err[-1] == "marrowfin: 2 files skipped (not recordings)"


class TestOutputNames:
    """Outputs are named, reported and checked by their recording's name, whatever its copy's."""

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
        write_archive(work, {name: {member: MARKETS[m] for member, m in content.items()} if isinstance(content, dict)
                             else MARKETS[content] for name, content in files.items()}, "dir")
        before = {p: p.read_bytes() for p in work.rglob("*") if p.is_file()}
        monkeypatch.chdir(work)
        assert run(capsys, "export", *args) == (1, "", [f"marrowfin: {line}" for line in err])
        assert {p: p.read_bytes() for p in work.rglob("*") if p.is_file()} == before

    def test_names_the_system_allows(self, tmp_path, scratch):
        """Names not UTF-8, too long for a suffix, or of folders: replayed, and written to visible files of
        their own. A pipe in the folder is skipped, never opened (it would wait for a writer)."""
        top = tmp_path / "in"
        write_archive(top, {os.fsdecode(b"\xff.json"): MARKETS["1.100"]}, "dir")
        os.mkfifo(top / "pipe")
        members = {os.fsdecode(b"\xfe.json"): MARKETS["1.200"], "x" * 252: MARKETS["1.300"],
                   "sub/.": MARKETS["1.100"], "slash.json/": MARKETS["1.200"]}
        write_archive(top / "day.tar", members, "tar")
        write_archive(top / "day.zip", {"slash.json/": MARKETS["1.300"]}, "zip")  # a folder's name, with bytes
        names = [f"{top}/day.tar:{name}" for name in members] + [f"{top}/day.zip:slash.json/",
                                                                   str(top / os.fsdecode(b"\xff.json"))]
        command = [pathlib.Path(sys.executable).with_name("marrowfin")]
        done = subprocess.run(command + ["summary", str(top)], capture_output=True, timeout=120)
        assert (done.returncode, done.stderr) == (0, b"marrowfin: 1 file skipped (not a recording)\n")
        assert [line for line in done.stdout.splitlines() if line and not line.startswith(b" ")] == [
            os.fsencode(name) for name in names]
        outcomes = list(batch.run_files(lambda path: len(marrowfin.iter_prices_file(path)), [str(top)]))
        assert outcomes == [(name, True, books) for name, books in zip(names, (5, 2, 3, 5, 2, 3))]
        out = tmp_path / "out"
        done = subprocess.run(command + ["export", str(top), "-o", f"{out}/"], capture_output=True, timeout=120)
        assert done.returncode == 0 and len(done.stderr.splitlines()) == 7
        assert sorted(os.listdir(os.fsencode(out))) == sorted(
            [b"\xff.jsonl", b"day.tar:\xfe.jsonl", (b"day.tar:" + b"x" * 252)[:234] + b".jsonl",
             b"day.tar:sub.jsonl", b"day.tar:slash.jsonl", b"day.zip:slash.jsonl"])


def test_export_of_a_member_and_compressed_output(capsys, tmp_path, scratch):
    archive = tmp_path / "day.tar.gz"
    write_archive(archive, MEMBERS, "tar.gz")
    for out, unpack in [("books.jsonl", bytes), ("books.jsonl.gz", gzip.decompress),
                        ("books.jsonl.bz2", bz2.decompress)]:  # 1.200's 5 books, as an export of them
        assert run(capsys, "export", f"{archive}:{RECORDINGS[1]}", "-o", tmp_path / out) == (
            0, "", [f"5 books written to {tmp_path / out}"])
        assert unpack((tmp_path / out).read_bytes()) == (tmp_path / "books.jsonl").read_bytes()
    # The module would read the name as zstd, which Python's library does not write.
    assert "zstd output is not written" in usage_error(capsys, "export", f"{archive}:{RECORDINGS[1]}", "-o",
                                                       tmp_path / "books.jsonl.zst")
    assert "holds more than one recording" in usage_error(capsys, "export", archive, "-o", tmp_path / "x.jsonl")
    (tmp_path / "none").mkdir()
    assert run(capsys, "plot", tmp_path / "none", "-o", "x.png") == (
        1, "", [f"marrowfin: {tmp_path / 'none'}: no recordings in it"])
    assert not list(tmp_path.glob("*.zst")) and not (tmp_path / "x.jsonl").exists()


@pytest.mark.parametrize("head, name, kind", [
    (b'{"op":"mcm"}', "x.gz", "plain"), (gzip.compress(b"{}", mtime=0), "x", "gzip"),
    (b"\x1f\x8b\x07" + bytes(7), "x", "gzip"),  # an unknown method: no tar inside to be seen
    (bz2.compress(b"{}"), "x", "bzip2"),
    (bz2.compress(b"{}"), "x.tar.bz2", "tar"), (b"PK\x03\x04rest", "x", "zip"),
    (lzma.compress(b"{}"), "x.bz2", "xz"), (b"\x28\xb5\x2f\xfd\x00", "x", "zstd"), (b"", "x.gz", "gzip"),  # empty: its decoder says it ended early
    (b"", "x", "plain"),
    (b"BZ", "x.bz2", "plain"), (b"\x5f\x2a\x4d\x18\x00", "x", "zstd"), (b"\x60\x2a\x4d\x18\x00", "x", "plain"),
    (b"\x28\xb5\x2f\xfd\x00", "x.TAR.ZST", "zstd tar"), (b"\x28\xb5\x2f\xfd\x00", "x.tzst", "zstd tar")])  # fmt: skip
def test_sniff(head, name, kind):
    """Archives without a name that tells them are the archive tests' "download"."""
    assert inputs.sniff(head, name) == kind


@pytest.mark.parametrize("call", [inputs.Inputs, lambda p: batch.run_files(len, p), lambda p: map_files(len, p),
                                  lambda p: write_parquet_files(p, "out")],
                         ids=["Inputs", "run_files", "map_files", "write_parquet_files"])
@pytest.mark.parametrize("path", ["ab", b"ab"])
def test_one_path_where_a_list_of_them_is_expected(tmp_path, monkeypatch, call, path):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(TypeError, match=f"^paths must be an iterable of paths, not {type(path).__name__}$"):
        call(path)
    assert list(tmp_path.iterdir()) == []


def test_what_the_commands_wrote_into_a_folder_is_no_recording_in_it(capsys, tmp_path, monkeypatch):
    """Books and summaries as JSON lines begin with "{" too."""
    monkeypatch.chdir(tmp_path)
    (tmp_path / "race.json").write_bytes(gzip.decompress(pathlib.Path(SAMPLE).read_bytes()))
    assert run(capsys, "export", ".")[0] == 0  # race.jsonl beside it
    pathlib.Path("summary.json").write_text(run(capsys, "summary", "race.json", "--json")[1])
    status, _, err = run(capsys, "export", ".")
    assert (status, err[1:]) == (0, ["marrowfin: 2 files skipped (not recordings)"])


FULL_SCRATCH = """
import resource, signal, sys
from marrowfin_tools import cli
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (100, 100))  # no file over 100 bytes: the copies fail
sys.exit(cli.main(["summary", *sys.argv[1:]]))
"""


@pytest.mark.parametrize("kind", ["tar", "tar.gz", "zip"])
def test_a_copy_that_fails_for_space_says_so(tmp_path, kind):
    """Not as the recording's own failure."""
    archive = tmp_path / f"day.{kind}"
    write_archive(archive, {f"{market}.json": MARKETS[market] for market in ("1.100", "1.200")}, kind)
    scratch = tmp_path / "scratch"
    scratch.mkdir()
    done = subprocess.run([sys.executable, "-c", FULL_SCRATCH, str(archive)], capture_output=True, text=True,
                          env={**os.environ, "TMPDIR": str(scratch)})
    assert done.returncode == 1 and done.stderr.splitlines() == [
        f"marrowfin: {archive}:{market}.json: copying it into {scratch}: File too large" for market in ("1.100", "1.200")
    ] + ["marrowfin: 2 of 2 files failed"]


def test_paths_in_a_list_may_be_bytes(tmp_path):
    assert pa.table(runner_table([os.fsencode(SAMPLE)])).equals(pa.table(runner_table([SAMPLE])))


def test_a_threads_size_limit_is_its_own(tmp_path):
    """Blocks of two threads overlap, the first to begin ending first: neither's
    limit is left to the other, or to the process."""
    packed = tmp_path / "sample.json.bz2"
    packed.write_bytes(bz2.compress(gzip.decompress(pathlib.Path(SAMPLE).read_bytes())))
    (small,), (other,) = inputs.Inputs([str(packed)], max_size=100), inputs.Inputs([str(packed)])
    entered, leave = threading.Event(), threading.Event()

    def tight():
        with small.local_path() as path:
            entered.set()
            leave.wait()
            with pytest.raises(ValueError, match="^larger than the size limit of 100 bytes once decoded$"):
                marrowfin.iter_prices_file(path)

    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        done = pool.submit(tight)
        entered.wait()
        with other.local_path() as path:
            assert inputs._native.set_decoded_limit(0) == 0  # the process's, not the thread's own
            leave.set()
            done.result()
            assert len(marrowfin.iter_prices_file(path)) > 0
    assert len(marrowfin.iter_prices_file(str(packed))) > 0 and inputs._native.set_decoded_limit(0) == 0


def test_a_recording_over_the_size_limit_fails_alone(capsys, tmp_path, scratch):
    """Members, a plain file, a device, a pipe without end and a compressed file, each over a limit of 64 KiB."""
    big = b"{" + b" " * (1 << 20) + b"}\n"  # 1 MiB that compresses to next to nothing
    for kind, name in (("zip", "day.zip"), ("tar", "day.tar"), ("tar.gz", "day.tgz")):
        write_archive(tmp_path / name, {"big.json": big}, kind)
    (tmp_path / "big.json").write_bytes(big)
    (tmp_path / "big.json.bz2").write_bytes(bz2.compress(big))  # held to the limit as the module decodes it
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
    large += [str(tmp_path / "big.json"), "/dev/zero", str(pipe), str(tmp_path / "big.json.bz2")]
    status, got, err = summaries(capsys, small, *large, "--max-size", "64K")
    assert status == 1 and list(got) == [str(small)]
    text = "larger than the size limit of 64 KiB once decoded"
    assert err == [f"marrowfin: {path}: {text}" for path in large] + ["marrowfin: 7 of 8 files failed"]
