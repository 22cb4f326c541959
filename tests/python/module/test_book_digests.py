"""Every book stays what it was: one digest per recording over each book's
to_dict(), its datetimes, and which objects it shares with the book before.
The digests were taken from the build before the ladders were kept sorted and
times were converted natively; a change in how books are built shows here
first. Print the digests of the current build with
    .venv/bin/python tests/python/test_book_digests.py
"""

import hashlib
import marshal
import pathlib

import pytest

import gen_stream
import marrowfin
from conftest import PEER_DATA, SANITIZED
from marrowfin_tools import sample_path

GENERATED = {"race-3": ["--seed", "3"], "handicap-11": ["--seed", "11", "--handicap"]}

DIGESTS = {
    "sample": "36dfa0859ad0fb0c3af69e62eb9c4dff93a257e000b1f1c2c99b179ebeae518e",
    "race-3": "d08ae6f33c0ab93f2706df5a79d453a78d8b8658da5e8d301ab705be9e0580ae",
    "handicap-11": "24489f2a6b5d12b9be8dcbd4f76b6814849c09b14ac246c0281a77b8137d334e",
    "1.145405534": "8c5db04585828f4a0d0191489a32b74c5e98d833c3dbf73e7cf02cfcf109c6b2",
    "1.145405534.gz": "8c5db04585828f4a0d0191489a32b74c5e98d833c3dbf73e7cf02cfcf109c6b2",
    "1.197931750": "b9fe8ff840534eebabd575cdae2f5edb0a29ff5d9217e9cbf1674bc2f34b02af",
    "1.197931751": "099a17e17f7f2c7fbeecfb48033e09cb827a5b1e04b7ea6e3de9cc121bd3f7bb",
    "1.200806927": "0137b68f4897126a407cc718ae2485064e5e0e5afa62fc69f92060e644ff1180",
    "1.209492553": "4dc048a563607e8f51e27217fb51b0d239b3ff8bec5a7c71c810f6a7ae5d272b",
    "1.211006011": "e53443961cf062743de08b256aa3bba2dca90b8b7974ee930ffa32935d86c411",
    "1.230478683": "9e1a8e0bc8a9348e0b3d7dec0062cc8a15267f1e3190f7d2eda3fd359a8b88e1",
    "1.230478683.gz": "9e1a8e0bc8a9348e0b3d7dec0062cc8a15267f1e3190f7d2eda3fd359a8b88e1",
    "BASIC-1.132153978": "19c5f3193e5ea44d5ad1a938995ca4c46a3f45e065ed4849eae10e0878b42cbf",
    "BASIC-1.132153978.gz": "19c5f3193e5ea44d5ad1a938995ca4c46a3f45e065ed4849eae10e0878b42cbf",
    "SELF-1.181223995": "783dbe55f33210a6dc7429414a27decb69bef9978ca9cb43a89d7aeb0a3329c2",
    "streaming_mcm_SUB_IMAGE_no_market_def.json": "34ec0fac5ee53d5a0cf13634e9f68ba7c782d1e8177e1737ebff2f1051601098",
}


def shared_objects(runner):
    return runner, runner.ex.available_to_back, runner.ex.available_to_lay, runner.ex.traded_volume


def digest(path):
    """sha256 over every book: its dict, its times, and per runner (by key)
    which of the runner and its three lists are the previous book's objects."""
    h = hashlib.sha256()
    before, definition = {}, None
    for book in marrowfin.iter_prices_file(str(path)):
        # Version 2: floats by their bits, and no references or interning
        # flags, which would depend on reference counts.
        h.update(marshal.dumps(book.to_dict(), 2))
        h.update(repr(book.publish_time).encode())
        d = book.market_definition
        if d is not None:
            h.update(repr((d.market_time, d.open_date, d.suspend_time, d.settled_time)).encode())
        h.update(b"D" if d is definition and d is not None else b"d")
        definition, now = d, {}
        for runner in book.runners:
            key = (runner.selection_id, runner.handicap)
            now[key] = objects = shared_objects(runner)
            old = before.get(key, (None,) * 4)
            h.update(bytes(a is b for a, b in zip(objects, old)))
        before = now
    return h.hexdigest()


def generated(name, tmp_path):
    path = tmp_path / f"{name}.json"
    gen_stream.main(["--size-mb", "2", *GENERATED[name], "-o", str(path)])
    return path


REAL = [name for name in DIGESTS if name not in GENERATED and name != "sample"]


def test_bundled_sample():
    assert digest(sample_path()) == DIGESTS["sample"]


@pytest.mark.parametrize("name", GENERATED)
def test_generated_races(name, tmp_path):
    assert digest(generated(name, tmp_path)) == DIGESTS[name]


@pytest.mark.skipif(not PEER_DATA.is_dir(), reason="peer recordings absent")
@pytest.mark.parametrize("name", REAL)
def test_real_recordings(name):
    path = PEER_DATA / name
    if SANITIZED and path.stat().st_size > 1_000_000:
        pytest.skip("long recordings take minutes in the sanitizer pass; the normal pass checks them")
    assert digest(path) == DIGESTS[name]


if __name__ == "__main__":
    import tempfile

    with tempfile.TemporaryDirectory() as tmp:
        paths = {"sample": sample_path(), **{n: generated(n, pathlib.Path(tmp)) for n in GENERATED},
                 **{n: PEER_DATA / n for n in REAL}}
        for name, path in paths.items():
            print(f'    "{name}": "{digest(path)}",')
