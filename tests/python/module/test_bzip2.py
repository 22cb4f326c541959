"""bzip2 recordings: chosen by name, every stream read, the same books as plain and gzip, hostile files."""

import bz2
import gzip
import pathlib
import re

import pytest

import marrowfin
from conftest import KEPT, PEER_DATA
from marrowfin_tools import sample_path

LINES = ((KEPT + "\n") * 3).encode()
END, HEADER, CORRUPT = "unexpected end of file", "invalid bzip2 header", "corrupt bzip2 stream"


def outcome(write, data, name="x.bz2"):
    """The number of kept messages, or the text of the load's ValueError."""
    try:
        return len(marrowfin.iter_prices_file(write(data, name=name)))
    except ValueError as error:
        assert len(error.args) == 1
        return error.args[0]


def flip(data, bit):
    """`data` with one bit flipped, counted from the first byte's high bit."""
    out = bytearray(data)
    out[bit // 8] ^= 0x80 >> bit % 8
    return bytes(out)


@pytest.mark.parametrize(
    "name, is_bzip2",
    [("x.bz2", True), ("1.234567890.bz2", True), ("x.tar.bz2", True), ("..bz2", True), ("x.BZ2", False),
     ("x.bz2.txt", False), ("x.bz", False), ("x.bzip2", False), (".bz2", False), ("x.tbz2", False)],
)
def test_bzip2_is_chosen_by_the_name_only(write, name, is_bzip2):
    assert outcome(write, LINES, name) == (HEADER if is_bzip2 else 3)
    assert outcome(write, bz2.compress(LINES), name) == (3 if is_bzip2 else "stream did not contain valid UTF-8")
    # Content never chooses: gzip data under a bzip2 name is a bad bzip2 file.
    assert outcome(write, gzip.compress(LINES), name) == (HEADER if is_bzip2 else "stream did not contain valid UTF-8")


GOOD = bz2.compress(LINES)


@pytest.mark.parametrize(
    "data, result",
    [
        # Every stream is read: what parallel compressors and `cat a.bz2 b.bz2` make.
        (bz2.compress(LINES) + bz2.compress(b"") + bz2.compress(LINES[:-1], 1), 6),
        (GOOD + bytes(100), 3),  # zero padding after a stream
        (GOOD + b"not bzip2", 3),  # so are bytes that do not start another stream
        (b"", END),
        (b"BZh", END),
        (b"BZh0" + GOOD[4:], HEADER),
        (GOOD[:-1], END),  # the stream CRC cut short
        (GOOD[:-10], END),  # the end-of-stream marker missing
        (GOOD + b"BZh9", END),
        (flip(GOOD, 8 * len(GOOD) - 16), CORRUPT),  # the stream CRC
        (flip(GOOD, 80), CORRUPT),  # the block CRC
        # A bad line before a damaged stream CRC is the fault reported.
        (flip(bz2.compress(b"[1,]\n" + LINES), 8 * len(bz2.compress(b"[1,]\n" + LINES)) - 16),
         "trailing comma at line 1 column 4"),
    ],
)
def test_bzip2(write, data, result):
    assert outcome(write, data) == result


def books(path):
    return [book.to_dict() for book in marrowfin.iter_prices_file(str(path))]


def replay_print(path):
    """What a replay shows of every book, and all of the last (to_dict of every book is slow)."""
    shown = []
    for book in marrowfin.iter_prices_file(str(path)):
        shown.append((book.publish_time_epoch, book.status, book.total_matched, [
            (r.selection_id, r.status, r.last_price_traded, r.total_matched,
             [(p.price, p.size) for p in r.ex.available_to_back[:1]])
            for r in book.runners]))
    return shown, book.to_dict()


def recordings():
    """The sample and the smaller real recordings (the decoder's thread counts are the native tests')."""
    found = [pathlib.Path(sample_path())]
    if PEER_DATA.is_dir():
        found += [p for p in sorted(PEER_DATA.iterdir())
                  if p.name != "README.md" and p.suffix != ".gz" and p.stat().st_size < 2_000_000]
    return found


@pytest.mark.parametrize("path", recordings(), ids=lambda p: p.name)
def test_plain_gzip_and_bzip2_give_the_same_books(tmp_path, path):
    text = gzip.decompress(path.read_bytes()) if path.suffix == ".gz" else path.read_bytes()
    # Small blocks and a file cut into streams, as parallel compressors write it.
    third = len(text) // 3
    files = {
        "plain.json": text,
        "packed.json.gz": gzip.compress(text),
        "packed.json.bz2": bz2.compress(text, 9),
        "blocks.bz2": bz2.compress(text, 1),
        "streams.bz2": b"".join(bz2.compress(text[i:i + third], 1) for i in range(0, len(text), third)),
    }
    for name, data in files.items():
        (tmp_path / name).write_bytes(data)
    expected = replay_print(tmp_path / "plain.json")
    for name in files:
        assert replay_print(tmp_path / name) == expected, name


class TestHostileFiles:
    DATA = "".join(f'{{"op":"mcm","pt":{1700000000000 + i},"mc":[{{"id":"1.5","rc":[{{"id":{i % 7},'
                   f'"atb":[[{1.01 + i / 100:.2f},{i + 1}]]}}]}}]}}\n' for i in range(300)).encode()

    def test_truncated_anywhere(self, write):
        data = bz2.compress(self.DATA * 12, 1)  # four blocks
        for k in range(64):
            assert outcome(write, data[: len(data) * k // 64]) == END, k

    def test_bit_flips(self, write):
        data = bz2.compress(b"\n".join(self.DATA.split(b"\n")[:40]), 9) + bytes(16)
        original = books(write(data, name="x.bz2"))
        assert len(original) == 40
        loaded = set()
        for i in range(len(data)):
            bit = 8 * i + i % 8
            try:
                content = books(write(flip(data, bit), name="flipped.bz2"))
            except ValueError as error:
                # A damaged block's bytes reach the parser before its CRC is checked.
                text = error.args[0]
                assert text in {END, HEADER, CORRUPT, "stream did not contain valid UTF-8"} or re.fullmatch(
                    r".+ at line 1 column \d+", text), (bit, text)
            else:
                assert content == original, bit
                loaded.add(i)
        # A flip may leave the data intact (the zero padding after the stream,
        # the tables of Huffman codes that no symbol uses); the CRCs catch the
        # rest, and a flip never changes a book.
        assert set(range(len(data) - 16, len(data))) <= loaded and len(loaded) < len(data) / 4
