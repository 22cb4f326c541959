"""iter_prices_file: reading, decoding and parsing a stream file, and which lines it keeps."""

import gzip
import json
import os
import pathlib
import random
import re
import zlib

import pytest

import marrowfin
from conftest import PEER_DATA

KEPT = '{"op":"mcm","pt":5,"mc":[{"id":"1.1"}]}'


def write_bytes(tmp_path, data, name="stream.txt"):
    path = tmp_path / name
    path.write_bytes(data)
    return str(path)


def load(path):
    return len(marrowfin.iter_prices_file(path))


def load_bytes(tmp_path, data, name="stream.txt"):
    return load(write_bytes(tmp_path, data, name))


def value_error(tmp_path, data, name="stream.txt"):
    with pytest.raises(ValueError) as caught:
        load_bytes(tmp_path, data, name)
    assert len(caught.value.args) == 1
    return caught.value.args[0]


def expected_count(lines):
    """The loader's keep rules, written against Python's own JSON parser."""
    count = 0
    for line in lines:
        if not line.strip():
            continue
        value = json.loads(line)
        if not isinstance(value, dict) or not value:
            continue
        pt = value.get("pt")
        if type(pt) is not int or not 0 < pt < 2**63:
            continue
        if isinstance(value.get("mc"), list) or "marketDefinition" in value or "rc" in value:
            count += 1
    return count


class TestArguments:
    def test_call_errors(self):
        cases = [
            ((), {}, "iter_prices_file() missing 1 required positional argument: 'path'"),
            (("a", "b"), {}, "iter_prices_file() takes 1 positional arguments but 2 were given"),
            ((), {"file": "a"}, "iter_prices_file() got an unexpected keyword argument 'file'"),
            (("a",), {"path": "a"}, "iter_prices_file() got multiple values for argument 'path'"),
        ]
        for args, kwargs, text in cases:
            with pytest.raises(TypeError) as caught:
                marrowfin.iter_prices_file(*args, **kwargs)
            assert str(caught.value) == text

    @pytest.mark.parametrize(
        "path, type_name",
        [(b"x", "bytes"), (pathlib.Path("x"), "PosixPath"), (None, "NoneType"), (1, "int")],
    )
    def test_only_str_is_a_path(self, path, type_name):
        with pytest.raises(TypeError) as caught:
            marrowfin.iter_prices_file(path)
        assert str(caught.value) == (
            f"argument 'path': '{type_name}' object cannot be converted to 'PyString'"
        )

    def test_keyword_and_str_subclass_pass(self, tmp_path):
        class Name(str):
            pass

        path = write_bytes(tmp_path, KEPT.encode())
        assert len(marrowfin.iter_prices_file(path=path)) == 1
        assert len(marrowfin.iter_prices_file(Name(path))) == 1

    def test_unencodable_path_raises_the_interpreters_error(self):
        with pytest.raises(UnicodeEncodeError):
            marrowfin.iter_prices_file("bad\udc80name")

    def test_nul_in_path(self):
        with pytest.raises(ValueError, match="^file name contained an unexpected NUL byte$"):
            marrowfin.iter_prices_file("a\0b")


class TestOpenAndRead:
    def test_missing_file(self, tmp_path):
        with pytest.raises(ValueError) as caught:
            marrowfin.iter_prices_file(str(tmp_path / "missing.txt"))
        assert caught.value.args == ("No such file or directory (os error 2)",)

    @pytest.mark.parametrize("name", ["dir", "dir.gz"])
    def test_directory_fails_at_its_first_read(self, tmp_path, name):
        (tmp_path / name).mkdir()
        with pytest.raises(ValueError) as caught:
            marrowfin.iter_prices_file(str(tmp_path / name))
        assert caught.value.args == ("Is a directory (os error 21)",)

    def test_missing_directory_component(self, tmp_path):
        path = write_bytes(tmp_path, b"")
        with pytest.raises(ValueError) as caught:
            marrowfin.iter_prices_file(path + "/x.gz")
        assert caught.value.args == ("Not a directory (os error 20)",)

    def test_relative_path_and_non_ascii_name(self, tmp_path, monkeypatch):
        write_bytes(tmp_path, KEPT.encode(), name="märkte €.txt")
        monkeypatch.chdir(tmp_path)
        assert load("märkte €.txt") == 1

    def test_file_is_closed_on_success_and_failure(self, tmp_path):
        good = write_bytes(tmp_path, KEPT.encode(), "good.txt")
        bad = write_bytes(tmp_path, (KEPT + "\nx\n").encode(), "bad.txt")
        bad_gz = write_bytes(tmp_path, gzip.compress(KEPT.encode())[:-3], "bad.gz")
        fd_dir = pathlib.Path("/proc/self/fd")
        before = len(list(fd_dir.iterdir()))
        for _ in range(50):
            load(good)
            for path in (bad, bad_gz):
                with pytest.raises(ValueError):
                    load(path)
        assert len(list(fd_dir.iterdir())) == before


class TestExtension:
    @pytest.mark.parametrize(
        "name, is_gzip",
        [
            ("x.gz", True),
            ("x.gzip", True),
            ("x.tar.gz", True),
            ("..gz", True),
            ("x.GZ", False),
            ("x.Gzip", False),
            ("x.gz.txt", False),
            ("x.gz2", False),
            (".gz", False),
            ("x.", False),
            ("gz", False),
        ],
    )
    def test_decoder_chosen_by_name_only(self, tmp_path, name, is_gzip):
        plain = (KEPT + "\n").encode()
        if is_gzip:
            assert value_error(tmp_path, plain, name) == "invalid gzip header"
            assert load_bytes(tmp_path, gzip.compress(plain), name) == 1
        else:
            assert load_bytes(tmp_path, plain, name) == 1
            assert value_error(tmp_path, gzip.compress(plain), name) == (
                "stream did not contain valid UTF-8"
            )

    def test_name_of_a_directory_path_ending_in_slash(self, tmp_path):
        directory = tmp_path / "d.gz"
        directory.mkdir()
        with pytest.raises(ValueError, match=r"^Is a directory \(os error 21\)$"):
            marrowfin.iter_prices_file(str(directory) + "/")


def gzip_member(data, *, crc_delta=0, size_delta=0):
    member = bytearray(gzip.compress(data, mtime=0))
    crc = (zlib.crc32(data) + crc_delta) % 2**32
    size = (len(data) + size_delta) % 2**32
    member[-8:] = crc.to_bytes(4, "little") + size.to_bytes(4, "little")
    return bytes(member)


class TestGzip:
    LINES = "".join(KEPT + "\n" for _ in range(3)).encode()

    @pytest.mark.parametrize(
        "data, error",
        [
            (b"", "unexpected end of file"),
            (b"\x1f\x8b\x07" + bytes(7), "invalid gzip header"),
            (b"PK\x03\x04", "invalid gzip header"),
            (gzip_member(LINES)[:-1], "unexpected end of file"),
            (gzip_member(LINES, crc_delta=1), "corrupt gzip stream does not have a matching checksum"),
            (b"\x1f\x8b\x08" + bytes(7) + b"\x07" + b"\xff" * 30, "corrupt deflate stream"),
            (b"\x1f\x8b\x08\x08" + bytes(6) + b"n" * 65536 + b"\0", "gzip header field too long"),
            (b"\x1f\x8b\x08\x10" + bytes(6) + b"c" * 70000, "gzip header field too long"),
        ],
    )
    def test_errors(self, tmp_path, data, error):
        assert value_error(tmp_path, data, "x.gz") == error

    def test_header_fields_are_skipped(self, tmp_path):
        # FEXTRA, FNAME (65535 bytes, the most allowed), FCOMMENT, FHCRC
        header = b"\x1f\x8b\x08\x1e" + bytes(6) + b"\x03\x00abc" + b"n" * 65535 + b"\0c\0"
        header += (zlib.crc32(header) & 0xFFFF).to_bytes(2, "little")
        body = gzip_member(self.LINES)[10:]
        assert load_bytes(tmp_path, header + body, "x.gz") == 3
        bad = header[:-2] + ((zlib.crc32(header[:-2]) + 1) & 0xFFFF).to_bytes(2, "little")
        assert value_error(tmp_path, bad + body, "x.gz") == (
            "corrupt gzip stream does not have a matching checksum"
        )

    def test_concatenated_members_are_all_read(self, tmp_path):
        # What appending recorders and `cat a.gz b.gz` produce.
        data = gzip_member(self.LINES) + gzip_member(b"") + gzip_member(self.LINES[:-1])
        assert load_bytes(tmp_path, data, "x.gz") == 6
        assert gzip.decompress(data).count(b"\n") == 5  # as gzip itself reads it

    @pytest.mark.parametrize("tail", [bytes(100), b"garbage", b"\x1f", b"\x1f\x8a", b"\n"])
    def test_padding_or_junk_after_a_member_is_ignored(self, tmp_path, tail):
        assert load_bytes(tmp_path, gzip_member(self.LINES) + tail, "x.gz") == 3

    @pytest.mark.parametrize(
        "second, error",
        [
            (gzip_member(LINES)[:-4], "unexpected end of file"),
            (b"\x1f\x8b", "unexpected end of file"),
            (b"\x1f\x8b\x09", "invalid gzip header"),
            (gzip_member(LINES, crc_delta=7), "corrupt gzip stream does not have a matching checksum"),
        ],
    )
    def test_a_later_member_fails_like_the_first(self, tmp_path, second, error):
        assert value_error(tmp_path, gzip_member(self.LINES) + second, "x.gz") == error

    def test_bad_json_before_a_gzip_fault_is_reported_first(self, tmp_path):
        data = gzip_member(b"[1,]\n" + self.LINES, crc_delta=1)
        assert value_error(tmp_path, data, "x.gz") == "trailing comma at line 1 column 4"

    def test_large_member(self, tmp_path):
        lines = [f'{{"pt":{i + 1},"mc":[{{"id":"1.{i}","rc":[{{"id":{i},"atb":[[1.5,{i}]]}}]}}]}}'
                 for i in range(40000)]
        data = ("\n".join(lines) + "\n").encode()
        assert load_bytes(tmp_path, gzip.compress(data, 1), "x.gz") == 40000


class TestLines:
    @pytest.mark.parametrize(
        "data, count",
        [
            (b"", 0),
            (b"\n\n \n\t\r\n\r\n\x0b\x0c\n", 0),
            (KEPT.encode(), 1),  # no final line feed
            ((KEPT + "\r\n" + KEPT + "\r\n").encode(), 2),
            ((KEPT + "\r\r\n").encode(), 1),  # "\r" is JSON white space
            ((KEPT + "\n\r\n" + KEPT).encode(), 2),
            # Unicode white space (U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028,
            # U+2029, U+202F, U+205F, U+3000) makes a line blank.
            ("\u0085\u00a0\u1680\u2000\u200a\u2028\u2029\u202f\u205f\u3000\n".encode(), 0),
        ],
    )
    def test_line_ends_and_blank_lines(self, tmp_path, data, count):
        assert load_bytes(tmp_path, data) == count

    def test_lone_carriage_return_does_not_end_a_line(self, tmp_path):
        # KEPT is 39 bytes; the "\r" after it is JSON white space.
        assert value_error(tmp_path, (KEPT + "\r" + KEPT).encode()) == (
            "trailing characters at line 1 column 41"
        )

    @pytest.mark.parametrize(
        "line, error",
        [
            ("\ufeff" + KEPT, "expected value at line 1 column 1"),
            ("\u00a0" + KEPT, "expected value at line 1 column 1"),
            ("\u200b", "expected value at line 1 column 1"),  # zero width space is no white space
            ("\x1c", "expected value at line 1 column 1"),
            (KEPT + "\x00", "trailing characters at line 1 column 40"),
            ("x", "expected value at line 1 column 1"),
        ],
    )
    def test_not_blank_and_not_json(self, tmp_path, line, error):
        assert value_error(tmp_path, (KEPT + "\n" + line + "\n").encode()) == error

    @pytest.mark.parametrize(
        "data",
        [b"\xff\n", b"\xc0\x80\n", b"\xed\xa0\x80\n", b"\xf4\x90\x80\x80\n", b'{"a":"\xe2\x82"}',
         b"  \xa0\n"],
    )
    def test_invalid_utf8(self, tmp_path, data):
        assert value_error(tmp_path, KEPT.encode() + b"\n" + data) == (
            "stream did not contain valid UTF-8"
        )

    def test_utf8_is_checked_before_the_blank_test(self, tmp_path):
        assert value_error(tmp_path, b"  \x85  \n") == "stream did not contain valid UTF-8"

    def test_lines_longer_than_the_buffer(self, tmp_path):
        changes = ",".join(f'{{"id":"1.{i}","rc":[]}}' for i in range(150000))
        line = f'{{"pt":9,"mc":[{changes}]}}'
        assert len(line) > 3 * 2**20
        data = (KEPT + "\n" + line + "\n" + line + "\n" + KEPT).encode()
        assert load_bytes(tmp_path, data) == 4
        assert load_bytes(tmp_path, gzip.compress(data, 1), "x.gz") == 4
        assert load_bytes(tmp_path, f'{{"pt":1,"rc":[],"x":"{"y" * 5_000_000}"}}'.encode()) == 1

    def test_malformed_line_after_many_good_ones_loses_everything(self, tmp_path):
        data = (KEPT + "\n") * 10000 + '{"pt":1,"mc":[}\n' + (KEPT + "\n") * 10
        assert value_error(tmp_path, data.encode()) == "expected value at line 1 column 15"


class TestRetention:
    @pytest.mark.parametrize(
        "line, kept",
        [
            ('{"op":"mcm","pt":5,"mc":[{"id":"1.1"}]}', True),
            ('{"id":"1.1","marketDefinition":{},"pt":5}', True),
            ('{"rc":[],"pt":5}', True),
            ('{"pt":5,"mc":[]}', True),
            ('{"pt":5,"mc":null,"rc":[]}', True),
            ('{"pt":5,"mc":{},"marketDefinition":null}', True),
            ('{"pt":9223372036854775807,"mc":[]}', True),
            ('{"pt":5,"pt":1,"mc":[]}', True),  # the last "pt" wins
            ('{"pt":-1,"pt":5,"mc":[]}', True),
            ('{"pt":5,"mc":[],"pt":0}', False),
            ('{"op":"mcm","pt":5}', False),
            ('{"pt":5,"mc":{}}', False),
            ('{"pt":5,"id":"1.1","img":true}', False),
            ("{}", False),
            ("[]", False),
            ('[{"pt":5,"mc":[]}]', False),
            ("5", False),
            ('"text"', False),
            ("null", False),
            ('{"pt":0,"mc":[]}', False),
            ('{"pt":-5,"mc":[]}', False),
            ('{"pt":1.5,"mc":[]}', False),
            ('{"pt":5.0,"mc":[]}', False),
            ('{"pt":5e0,"mc":[]}', False),
            ('{"pt":"123","mc":[]}', False),
            ('{"pt":true,"mc":[]}', False),
            ('{"pt":9223372036854775808,"mc":[]}', False),
            ('{"pt":18446744073709551616,"mc":[]}', False),
            ('{"mc":[]}', False),
            ('{"PT":5,"mc":[]}', False),
            ('{"pt":5,"MC":[]}', False),
            ('{"pt":5,"Rc":[]}', False),
        ],
    )
    def test_which_lines_are_kept(self, tmp_path, line, kept):
        assert load_bytes(tmp_path, (line + "\n").encode()) == int(kept)
        assert expected_count([line]) == int(kept)  # the reference model agrees

    def test_kept_messages_are_counted_in_file_order_with_duplicates(self, tmp_path):
        lines = [KEPT, '{"pt":1,"rc":[]}', KEPT, "", '{"pt":0,"mc":[]}', KEPT]
        assert load_bytes(tmp_path, "\n".join(lines).encode()) == 4


GZIP_ERRORS = {
    "invalid gzip header",
    "gzip header field too long",
    "corrupt deflate stream",
    "corrupt gzip stream does not have a matching checksum",
    "unexpected end of file",
}


def is_load_error(text):
    """One of the module's own failure texts for a readable file."""
    return (text in GZIP_ERRORS or text == "stream did not contain valid UTF-8"
            or re.fullmatch(r".+ at line 1 column \d+", text) is not None)


def market_lines(count):
    """Kept lines, each a different book."""
    return [json.dumps({"op": "mcm", "pt": 1700000000000 + i, "mc": [
        {"id": "1.5", "rc": [{"id": i % 7, "atb": [[1.01 + i / 100, i + 1]], "ltp": 2 + i % 5}]}]})
        for i in range(count)]  # fmt: skip


def books(path):
    return [book.to_dict() for book in marrowfin.iter_prices_file(path)]


class TestHostileFiles:
    """Damaged, huge or odd files: a module error or a correct load, never a
    crash, never a wrong book."""

    LINES = market_lines(300)
    DATA = ("\n".join(LINES) + "\n").encode()

    def test_gzip_truncated_anywhere(self, tmp_path):
        data = gzip.compress(self.DATA, mtime=0)
        # Near a cut the backends may say either, depending on how far they
        # read ahead into the missing block.
        errors = {"unexpected end of file", "corrupt deflate stream"}
        for k in range(64):
            assert value_error(tmp_path, data[: len(data) * k // 64], "x.gz") in errors, k
        assert value_error(tmp_path, data[:-1], "x.gz") == "unexpected end of file"

    def test_gzip_bit_flips(self, tmp_path):
        # No header CRC: the optional fields are only protected by being
        # skipped. Zero padding after the member, as block-aligned copies have.
        name, comment, extra = b"race.json", b"recorded", b"XY\x04\x00abcd"
        header = b"\x1f\x8b\x08\x1c" + bytes(4) + b"\x00\x03"
        header += len(extra).to_bytes(2, "little") + extra + name + b"\0" + comment + b"\0"
        member = header + gzip.compress(self.DATA, mtime=0)[10:]
        data = member + bytes(16)
        original = books(write_bytes(tmp_path, data, "x.gz"))
        assert len(original) == 300
        # What a flip may leave loadable, with the original content: the
        # modification time, extra flags and system bytes; the extra
        # payload; name and comment bytes that stay non-zero; the padding
        # bits of the last deflate byte; the zero padding after the member
        # (no single flip makes it a gzip magic).
        name_at = 12 + len(extra)
        must_load = set(range(4, 10)) | set(range(12, name_at))
        must_load |= set(range(name_at, len(header) - 1)) - {name_at + len(name)}
        must_load |= set(range(len(member), len(data)))
        loaded, failures = set(), 0
        for i in range(len(data)):
            flipped = bytearray(data)
            flipped[i] ^= 1 << (i % 8)
            path = write_bytes(tmp_path, bytes(flipped), "flipped.gz")
            try:
                content = books(path)
            except ValueError as error:
                assert is_load_error(error.args[0]), (i, error.args[0])
                failures += 1
            else:
                assert content == original, i
                loaded.add(i)
        assert must_load <= loaded
        assert failures > len(data) * 0.9

    def test_100_mb_line(self, tmp_path):
        path = tmp_path / "long.txt"
        with open(path, "wb") as f:
            f.write(self.LINES[0].encode() + b'\n{"pt":7,"mc":[{"id":"1.5"}],"note":"')
            for _ in range(100):
                f.write(b"y" * 1_000_000)
            f.write(b'"}\n' + self.LINES[1].encode())
        assert [b.publish_time_epoch for b in marrowfin.iter_prices_file(str(path))] == [
            1700000000000, 7, 1700000000001]

    def test_a_million_tiny_lines(self, tmp_path):
        data = (b'{"pt":1,"mc":[]}\n\n{}\n0\n') * 250_000
        assert load_bytes(tmp_path, data) == 250_000

    @pytest.mark.parametrize("depth", [128, 129])
    def test_nesting_limit_in_a_kept_line(self, tmp_path, depth):
        # Object, "mc" array and change object are three levels.
        rc = "[" * (depth - 3) + "]" * (depth - 3)
        line = '{"pt":1,"mc":[{"id":"1.1","rc":' + rc + "}]}"
        path = write_bytes(tmp_path, line.encode())
        if depth <= 128:
            (book,) = marrowfin.iter_prices_file(path)
            assert book.runners == []
        else:
            with pytest.raises(ValueError, match=r"^recursion limit exceeded at line 1 column \d+$"):
                marrowfin.iter_prices_file(path)

    def test_market_of_10000_runners(self, tmp_path):
        ids = random.Random(5).sample(range(1, 10**9), 10_000)
        first = {"pt": 1, "mc": [{"id": "1.9", "marketDefinition": {"runners": [{"id": i} for i in ids]},
                                  "rc": [{"id": i, "atb": [[2, i % 97 + 1]]} for i in ids]}]}
        second = {"pt": 2, "mc": [{"id": "1.9", "rc": [{"id": ids[0], "atb": [[2, 0]]}]}]}
        path = write_bytes(tmp_path, (json.dumps(first) + "\n" + json.dumps(second)).encode())
        a, b = marrowfin.iter_prices_file(path)
        assert [r.selection_id for r in a.runners] == sorted(ids)
        assert a.number_of_runners == a.number_of_active_runners == 10_000
        assert len(a.market_definition.runners) == 10_000
        changed = sorted(ids).index(ids[0])
        assert [x is y for x, y in zip(a.runners, b.runners)].count(False) == 1
        assert b.runners[changed].ex.available_to_back == []
        assert len(b.to_dict()["runners"]) == 10_000


def json_test_suite():
    folder = PEER_DATA.parent / "jsontestsuite" / "test_parsing"
    if not folder.is_dir():
        return []
    return sorted(folder.iterdir())


# n_ texts that the line rules turn into something loadable: nothing at all, or
# only white space, is an empty stream rather than a malformed line.
N_LOADABLE = {"n_structure_no_data.json", "n_single_space.json"}


@pytest.mark.skipif(not json_test_suite(), reason="JSON test suite not available")
class TestJsonTestSuite:
    """Each text written as one line of a stream file.

    Raw line feeds can only be white space between tokens in valid JSON, so in
    y_ texts they become spaces (the line splitter would cut the text there).
    """

    def test_accepted(self, tmp_path):
        files = [f for f in json_test_suite() if f.name.startswith("y_")]
        assert len(files) > 90
        for file in files:
            data = file.read_bytes().replace(b"\n", b" ")
            assert load_bytes(tmp_path, data) == 0, file.name

    def test_rejected(self, tmp_path):
        files = [f for f in json_test_suite() if f.name.startswith("n_")]
        assert len(files) > 180
        loadable = set()
        for file in files:
            try:
                load_bytes(tmp_path, file.read_bytes())
            except ValueError as error:
                text = error.args[0]
                assert text == "stream did not contain valid UTF-8" or " at line 1 column " in text
            else:
                loadable.add(file.name)
        assert loadable == N_LOADABLE

    def test_implementation_defined_never_crash(self, tmp_path):
        for file in json_test_suite():
            if file.name.startswith("i_"):
                try:
                    load_bytes(tmp_path, file.read_bytes())
                except ValueError:
                    pass


def peer_files():
    if not PEER_DATA.is_dir():
        return []
    return sorted(p for p in PEER_DATA.iterdir() if p.name != "README.md")


@pytest.mark.skipif(not peer_files(), reason="peer recordings not available")
class TestPeerRecordings:
    def test_every_recording_keeps_what_the_reference_model_keeps(self):
        for path in peer_files():
            opener = gzip.open if path.suffix == ".gz" else open
            with opener(path, "rt", encoding="utf-8") as f:
                expected = expected_count(f.read().split("\n"))
            assert load(str(path)) == expected, path.name
            assert expected > 0, path.name

    def test_gzip_copies_match_their_plain_files(self):
        for path in peer_files():
            plain = path.with_suffix("")
            if path.suffix == ".gz" and plain.exists() and not path.name.startswith("BASIC"):
                assert load(str(path)) == load(str(plain))


class TestPricesIterator:
    def test_len_is_the_number_of_kept_messages_and_iter_is_identity(self, tmp_path):
        it = marrowfin.iter_prices_file(write_bytes(tmp_path, ((KEPT + "\n") * 7).encode()))
        assert len(it) == 7
        assert iter(it) is it
        assert type(it) is marrowfin.PricesIterator

    def test_empty_file(self, tmp_path):
        it = marrowfin.iter_prices_file(write_bytes(tmp_path, b""))
        assert len(it) == 0
        with pytest.raises(StopIteration):
            next(it)
        with pytest.raises(StopIteration):
            next(it)
        assert len(it) == 0

    def test_each_call_is_independent(self, tmp_path):
        a = marrowfin.iter_prices_file(write_bytes(tmp_path, KEPT.encode(), "a.txt"))
        b = marrowfin.iter_prices_file(write_bytes(tmp_path, (KEPT + "\n" + KEPT).encode(), "b.txt"))
        assert (len(a), len(b)) == (1, 2)
        os.remove(tmp_path / "a.txt")
        assert len(a) == 1  # the file is never touched again
