"""zstd recordings: the same books as the plain file, whatever the frames (texts and hostile files: the native tests)."""

import gzip
import struct

import pytest
import zstandard
from test_bzip2 import recordings, replay_print

import marrowfin


def skippable(payload):
    return struct.pack("<II", 0x184D2A50, len(payload)) + payload


@pytest.mark.parametrize("path", recordings(), ids=lambda p: p.name)
def test_a_zstd_file_gives_the_books_of_its_plain_file(tmp_path, path):
    text = gzip.decompress(path.read_bytes()) if path.suffix == ".gz" else path.read_bytes()
    third = len(text) // 3
    unsized = zstandard.ZstdCompressor(level=1, write_content_size=False, write_checksum=False)
    files = {
        "plain.json": text,
        "packed.json.zst": zstandard.ZstdCompressor(level=9, write_checksum=True).compress(text),
        # Frames in turn, with skippable frames and zero padding between them.
        "frames.zst": skippable(b"meta") + b"".join(
            unsized.compress(text[i:i + third]) + bytes(i % 5) + skippable(b"")
            for i in range(0, len(text), third)),
    }
    for name, data in files.items():
        (tmp_path / name).write_bytes(data)
    expected = replay_print(tmp_path / "plain.json")
    for name in files:
        assert replay_print(tmp_path / name) == expected, name
    (tmp_path / "cut.zst").write_bytes(files["packed.json.zst"][:-1])
    with pytest.raises(ValueError) as error:
        marrowfin.iter_prices_file(str(tmp_path / "cut.zst"))
    assert error.value.args == ("unexpected end of file",)
