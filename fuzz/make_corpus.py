#!/usr/bin/env python3
"""Writes the fuzzers' seed corpus (fuzz/corpus/<target>/): slices of generated
recordings and short hand-written lines that reach the odd corners (images,
handicaps, text starting prices, removals, packed and unpacked ladders, other
markets, gzip header fields, bzip2 streams and blocks, zstd frames, runner
tables' states).
Deterministic; rerun after changing it, with the project's venv (zstandard is a
test dependency, and the states are made by the installed marrowfin_tools).

    .venv/bin/python fuzz/make_corpus.py
"""

import bz2
import gzip
import pathlib
import shutil
import struct
import sys
import tempfile
import zlib

import zstandard

from marrowfin_tools import _native

ROOT = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(ROOT.parent / "bench"))
import gen_stream  # noqa: E402

SHORT_STREAMS = {
    # A bare market change line, a handicap runner and its twin without "hc".
    "bare_change": [
        '{"id":"1.1","pt":5,"marketDefinition":{"status":"OPEN","runners":[{"id":1,"hc":1.5,'
        '"status":"ACTIVE","sortPriority":1},{"id":1,"status":"REMOVED","removalDate":"x"}]},'
        '"rc":[{"id":1,"hc":1.5,"atb":[[1.5,2]]},{"id":1,"atl":[[3,4]]}]}',
    ],
    # Runners, then an image that resends only one of them.
    "image_reset": [
        '{"op":"mcm","pt":1,"mc":[{"id":"1.2","rc":[{"id":7,"atb":[[2,5],[2.5,1]],"trd":[[2,9]]},'
        '{"id":8,"ltp":3.5,"tv":10}]}]}',
        '{"op":"mcm","pt":2,"mc":[{"id":"1.2","img":true,"rc":[{"id":8,"atl":[[4,1]]}]}]}',
        '{"op":"mcm","pt":3,"mc":[{"id":"1.2","rc":[{"id":7,"spb":[[1.1,2]],"spl":[[9,3]]}]}]}',
    ],
    # Zero, null, negative and -0 sizes; -0 and 0 prices; unpacked ladders.
    "odd_levels": [
        '{"pt":1,"mc":[{"id":"1.3","rc":[{"id":1,"atb":[[1.5,2],[1.5,0],[2,-1],[0,1],[-0.0,2],'
        '[3,-0.0]],"atl":[[1.5,2],["x",3],[2,null],[4,5,6],[7]],"trd":[[1e308,1],[5e-324,2]]}]}]}',
        '{"pt":2,"mc":[{"id":"1.3","rc":[{"id":1,"atb":[[0,0],[-0.0,0]],"atl":[],"trd":[[1e308,0]]}]}]}',
    ],
    # Starting prices as numbers, texts and nulls; statuses in other cases.
    "starting_prices": [
        '{"pt":1,"mc":[{"id":"1.4","marketDefinition":{"runners":[{"id":2,"bsp":"NaN",'
        '"status":"active","adjustmentFactor":12.5}]},"rc":[{"id":2,"spn":"Infinity","spf":1.5}]}]}',
        '{"pt":2,"mc":[{"id":"1.4","rc":[{"id":2,"spn":null,"spf":"x","status":"ACTIVE"}]}]}',
        '{"pt":3,"mc":[{"id":"1.4","marketDefinition":{"runners":[{"id":2,"bsp":3.3,'
        '"status":"WINNER"}],"status":"CLOSED"}}]}',
    ],
    # Best-offers ladders only, then a full ladder taking over one side.
    "best_offers": [
        '{"pt":1,"mc":[{"id":"1.9","rc":[{"id":1,"bdatb":[[0,2,5],[1,1.9,3]],"bdatl":[[0,2.1,4]]},'
        '{"id":2,"batb":[[0,3,1]],"bdatb":[[0,3.1,2]],"batl":[[2,4,1],[0,3.5,0],["x",1,1],[1,2]]}]}]}',
        '{"pt":2,"mc":[{"id":"1.9","rc":[{"id":1,"bdatb":[[0,2,0],[1,1.95,3]],"batb":[[0,2,1]],'
        '"atl":[[2.1,0]]},{"id":2,"batb":[[0,3,1]],"bdatb":[[0,3.2,2]],"atb":[[3,1]]}]}]}',
    ],
    # Changes before the first id, other markets, odd change types.
    "other_markets": [
        '{"pt":1,"mc":[1,"x",null,{"id":""},{"id":5},{"rc":[{"id":1}]}]}',
        '{"pt":2,"mc":[{"id":"1.5","rc":[{"id":1,"atb":[[2,1]]}]},{"id":"1.6","img":true}]}',
        '{"pt":3,"mc":[{"id":"1.6","rc":[{"id":1,"atb":[[2,0]]}]},[],{"img":true}]}',
    ],
    # Handicap rounding and saturation, huge ids, repeated keys.
    "handicaps": [
        '{"pt":1,"mc":[{"id":"1.7","rc":[{"id":1,"hc":0.005},{"id":1,"hc":-0.005},{"id":1,"hc":1e300},'
        '{"id":1,"hc":-1e300},{"id":9223372036854775807,"hc":-0.0},{"id":-9223372036854775808},'
        '{"id":18446744073709551615},{"id":1,"id":2,"ltp":1,"ltp":2}]}]}',
    ],
    # Market-level fields without a definition, and a definition of another type.
    "market_fields": [
        '{"pt":1,"mc":[{"id":"1.8","status":"SUSPENDED","inPlay":true,"tv":5.5,"lastMatchTime":7,'
        '"version":3,"betDelay":5,"marketDefinition":null}]}',
        '{"pt":2,"mc":[{"id":"1.8","marketDefinition":{"runners":{"id":1},"regulators":["A",1,"B"],'
        '"version":4294967297,"numberOfWinners":4294967298,"marketTime":"2021"}}]}',
    ],
    # Line ends, blank lines, skipped lines.
    "line_rules": [
        '{"pt":0,"mc":[{"id":"1.9"}]}\r',
        " \t",
        '{"op":"mcm","pt":5}',
        "[1,2]",
        '{"pt":"1","mc":[]}\r',
        '{"pt":6,"mc":[{"id":"1.9"}]}',
        '{"pt":7,"mc":[]}',
    ],
}

SHORT_LINES = {
    "escapes": r'{"id":"\u00e9\ud83d\ude00\n\"\\\/","rc":[{"removalDate":"\t"}],"pt":1}',
    "numbers": '[0,-0,-0.0,1e308,-1e-308,18446744073709551615,18446744073709551616,'
               '-9223372036854775808,-9223372036854775809,1.7976931348623157e308,0.1e1,12345678901234567890]',
    "nested": '{"mc":[{"rc":[{"atb":[[[[[[1]]]]]]}]}],"pt":[[[[{"a":[{}]}]]]]}',
    "packed": '{"atb":[[1.01,5],[1000,0.01]],"atl":[[1,2],[3]],"trd":[],"spb":[[1,2],"x"]}',
    "unknown_keys": '{"op":"mcm","clk":"AAA","ct":"HEARTBEAT","con":true,"pt":9,"mc":[]}',
    "bad_comma": '{"pt":1,"mc":[1,]}',
    "bad_escape": '{"a":"\\x"}',
    "bad_surrogate": '["\\ud800\\u0041"]',
    "bad_number": "[01, 1., -, 1e]",
    "unterminated": '{"pt":1,"mc":[{"id":"1.1"',
    "control_char": '["a\x01b"]',
    "whitespace": " \t\r [ ] \r ",
}


def gzip_member(data, *, name=b"", comment=b"", extra=b"", header_crc=False, level=6, mtime=0):
    flags = (4 if extra else 0) | (8 if name else 0) | (16 if comment else 0) | (2 if header_crc else 0)
    header = b"\x1f\x8b\x08" + bytes([flags]) + struct.pack("<I", mtime) + b"\x00\x03"
    if extra:
        header += struct.pack("<H", len(extra)) + extra
    if name:
        header += name + b"\0"
    if comment:
        header += comment + b"\0"
    if header_crc:
        header += struct.pack("<H", zlib.crc32(header) & 0xFFFF)
    compressor = zlib.compressobj(level, zlib.DEFLATED, -zlib.MAX_WBITS)
    body = compressor.compress(data) + compressor.flush()
    return header + body + struct.pack("<II", zlib.crc32(data), len(data) & 0xFFFFFFFF)


def generated(tmp, seed, **options):
    path = pathlib.Path(tmp) / f"gen{seed}.json"
    with open(path, "w") as log:  # gen_stream prints a summary
        saved, sys.stdout = sys.stdout, log
        try:
            gen_stream.generate(str(path), size_mb=0.004, seed=seed, **options)
        finally:
            sys.stdout = saved
    return path.read_bytes().split(b"\n")


def main():
    corpus = ROOT / "corpus"
    shutil.rmtree(corpus, ignore_errors=True)
    files = {}
    with tempfile.TemporaryDirectory() as tmp:
        race = generated(tmp, 1, runners=3)
        handicap = generated(tmp, 4, handicap=True)
    lines = lambda rows: b"\n".join(rows) + b"\n"  # noqa: E731
    files["replay/race_open"] = lines(race[:4])
    files["replay/race_deltas"] = lines(race[:1] + race[4:12])
    files["replay/race_close"] = lines(race[:1] + race[-4:-1])
    files["replay/handicap"] = lines(handicap[:1] + handicap[4:10])
    files["replay/race_gzip"] = gzip_member(lines(race[:1] + race[4:8]), level=9)
    files["replay/race_bzip2"] = bz2.compress(lines(race[:1] + race[4:8]), 9)
    files["replay/race_zstd"] = zstandard.ZstdCompressor(level=3, write_checksum=True).compress(
        lines(race[:1] + race[4:8]))
    for name, rows in SHORT_STREAMS.items():
        files[f"replay/{name}"] = "\n".join(rows).encode() + b"\n"
    # The price table folds every market of a file: the replay seeds, and two
    # markets' lines interleaved, one of them with an image.
    for name in [n for n in files if n.startswith("replay/")]:
        files["price_table/" + name.split("/")[1]] = files[name]
    files["price_table/two_markets"] = lines(
        [row for pair in zip(race[:12], handicap[:12]) for row in pair] + handicap[:1])
    # The runner table folds the same files; and states of two of its tables.
    for name in [n for n in files if n.startswith("price_table/")]:
        files["runner_table/" + name.split("/")[1]] = files[name]
    with tempfile.TemporaryDirectory() as tmp:
        for name, before in (("race_close", (60, 0)), ("two_markets", ())):
            path = pathlib.Path(tmp) / name
            path.write_bytes(files["runner_table/" + name])
            files[f"runner_table/state_{name}"] = _native.runner_table([str(path)], before).__reduce__()[1][0]

    for name, line in SHORT_LINES.items():
        files[f"parse_json/{name}"] = line.encode()
    files["parse_json/delta_line"] = race[5]
    files["parse_json/handicap_line"] = handicap[5]
    files["parse_json/bare_change"] = SHORT_STREAMS["bare_change"][0].encode()

    text = lines(race[4:9])
    files["gzip_source/plain_member"] = gzip.compress(text, mtime=0)
    files["gzip_source/all_header_fields"] = gzip_member(
        text, name=b"race.json", comment=b"c", extra=b"ab\x02\x00xy", header_crc=True)
    files["gzip_source/stored_block"] = gzip_member(text, level=0)
    files["gzip_source/fixed_huffman"] = gzip_member(b'{"pt":1,"mc":[]}\n', level=9)
    files["gzip_source/empty_member"] = gzip_member(b"")
    files["gzip_source/two_members"] = gzip_member(text[:200]) + gzip_member(text[200:])
    files["gzip_source/padding_after"] = gzip_member(text) + bytes(16)
    files["gzip_source/junk_after"] = gzip_member(text) + b"\x1f\x8a junk"

    # Level 1 cuts blocks every 100 kB: a few blocks in one stream.
    blocks = lines(race[4:9])
    blocks = blocks * (250_000 // len(blocks) + 1)
    files["bzip2_source/one_block"] = bz2.compress(text, 9)
    files["bzip2_source/three_blocks"] = bz2.compress(blocks[:250_000], 1)
    files["bzip2_source/empty_stream"] = bz2.compress(b"")
    files["bzip2_source/two_streams"] = bz2.compress(text[:200], 9) + bz2.compress(text[200:], 5)
    files["bzip2_source/padding_after"] = bz2.compress(text) + bytes(16)
    files["bzip2_source/junk_after"] = bz2.compress(text) + b"BZ junk"
    files["bzip2_source/runs"] = bz2.compress(b"\n".join(bytes([c]) * 300 for c in range(256)), 1)
    # A block marker's pattern inside a block's data.
    marked = bytearray(files["bzip2_source/three_blocks"])
    marked[len(marked) // 3:len(marked) // 3 + 6] = bytes.fromhex("314159265359")
    files["bzip2_source/marker_in_data"] = bytes(marked)

    checked = zstandard.ZstdCompressor(level=3, write_checksum=True)
    unsized = zstandard.ZstdCompressor(level=1, write_checksum=False, write_content_size=False)

    def skippable(payload, variant=0):
        return struct.pack("<II", 0x184D2A50 + variant, len(payload)) + payload

    files["zstd_source/one_frame"] = checked.compress(text)
    files["zstd_source/unsized_frame"] = unsized.compress(text)
    files["zstd_source/blocks"] = unsized.compress(blocks[:300_000])  # three blocks
    files["zstd_source/empty_frame"] = checked.compress(b"")
    files["zstd_source/two_frames"] = checked.compress(text[:200]) + unsized.compress(text[200:])
    files["zstd_source/skippable_frames"] = (skippable(b"meta") + checked.compress(text[:200])
                                             + skippable(b"", 15) + checked.compress(text[200:]))
    files["zstd_source/padding_after"] = checked.compress(text) + bytes(16)
    files["zstd_source/junk_after"] = checked.compress(text) + b"\x28\xb5\x2f junk"
    files["zstd_source/runs"] = checked.compress(b"\n".join(bytes([c]) * 300 for c in range(256)))

    for name, data in files.items():
        path = corpus / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
    total = sum(len(d) for d in files.values())
    print(f"{len(files)} files, {total} bytes")


if __name__ == "__main__":
    main()
