"""Every book stays what it was: a digest per recording of each book's to_dict(), times and objects shared
with the book before. A mismatch names the first book and field (a to_dict() key path) that differ from the
last run that matched, whose per-book records are kept in build/book-digests."""

import contextlib
import gzip
import hashlib
import marshal
import zlib

import pytest

import gen_stream
import marrowfin
from conftest import PEER_DATA, ROOT, SANITIZED
from marrowfin_tools import sample_path

GENERATED = {"race-3": ["--seed", "3"], "handicap-11": ["--seed", "11", "--handicap"]}
REFERENCE = ROOT / "build" / "book-digests"

DIGESTS = {
    "sample": "36dfa0859ad0fb0c3af69e62eb9c4dff93a257e000b1f1c2c99b179ebeae518e",
    "race-3": "d08ae6f33c0ab93f2706df5a79d453a78d8b8658da5e8d301ab705be9e0580ae",
    "handicap-11": "24489f2a6b5d12b9be8dcbd4f76b6814849c09b14ac246c0281a77b8137d334e",
    "1.145405534": "8c5db04585828f4a0d0191489a32b74c5e98d833c3dbf73e7cf02cfcf109c6b2",
    "1.197931750": "b9fe8ff840534eebabd575cdae2f5edb0a29ff5d9217e9cbf1674bc2f34b02af",
    "1.197931751": "099a17e17f7f2c7fbeecfb48033e09cb827a5b1e04b7ea6e3de9cc121bd3f7bb",
    "1.200806927": "0137b68f4897126a407cc718ae2485064e5e0e5afa62fc69f92060e644ff1180",
    "1.209492553": "4dc048a563607e8f51e27217fb51b0d239b3ff8bec5a7c71c810f6a7ae5d272b",
    "1.211006011": "e53443961cf062743de08b256aa3bba2dca90b8b7974ee930ffa32935d86c411",
    "1.230478683": "9e1a8e0bc8a9348e0b3d7dec0062cc8a15267f1e3190f7d2eda3fd359a8b88e1",
    "BASIC-1.132153978": "19c5f3193e5ea44d5ad1a938995ca4c46a3f45e065ed4849eae10e0878b42cbf",
    "SELF-1.181223995": "783dbe55f33210a6dc7429414a27decb69bef9978ca9cb43a89d7aeb0a3329c2",
    "streaming_mcm_SUB_IMAGE_no_market_def.json": "34ec0fac5ee53d5a0cf13634e9f68ba7c782d1e8177e1737ebff2f1051601098",
}


def fields(value, path=""):
    """(to_dict() key path, marshal.dumps(item, 2)) per item, into dicts and runners."""
    for key, item in value.items():
        if type(item) is dict:
            yield from fields(item, f"{path}{key}.")
        elif key == "runners":
            for i, each in enumerate(item):
                yield from fields(each, f"{path}{key}[{i}].")
        else:
            yield path + key, marshal.dumps(item, 2)


def digest(books, records=None):
    """The sha256 over every book: its to_dict() (marshal 2 writes floats by their bits, and no references,
    which would depend on reference counts), its times, and which of its definition, runners (by key) and
    their lists are the book before's objects. Appends per book (pt, {field: crc32}) to `records` if given."""
    h, before, definition = hashlib.sha256(), {}, None
    for book in books:
        d, exported = book.market_definition, book.to_dict()
        parts = [("", marshal.dumps(exported, 2)), ("publish_time", repr(book.publish_time).encode())]
        if d is not None:
            parts.append(("definition times", repr((d.market_time, d.open_date, d.suspend_time,
                                                    d.settled_time)).encode()))  # fmt: skip
        parts.append(("definition object", b"D" if d is definition and d is not None else b"d"))
        definition, now = d, {}
        for r in book.runners:
            key = (r.selection_id, r.handicap)
            now[key] = objects = (r, r.ex.available_to_back, r.ex.available_to_lay, r.ex.traded_volume)
            parts.append((f"objects shared by runner {key}",
                          bytes(a is b for a, b in zip(objects, before.get(key, (None,) * 4)))))
        before = now
        for _, data in parts:
            h.update(data)
        if records is not None:
            records.append((book.publish_time_epoch, {field: zlib.crc32(data)
                                                      for field, data in [*fields(exported), *parts[1:]]}))
    return h.hexdigest()


def first_difference(now, then):
    """Names the first book and field of `now` that differ from `then` (records of digest())."""
    for index, ((pt, new), (_, old)) in enumerate(zip(now, then)):
        if new != old:
            field = next(f for f in [*new, *old] if new.get(f) != old.get(f))
            return f"book {index} (pt {pt}) differs first, in {field}"
    return f"{len(now)} books, not {len(then)}"


def check(name, path):
    """The digest of the books; on a mismatch, where they first differ from the
    last run that matched (whose records are kept, once, in REFERENCE)."""
    kept = REFERENCE / f"{name}-{DIGESTS[name][:16]}.fields.gz"
    records = None if kept.exists() or SANITIZED else []
    found = digest(marrowfin.iter_prices_file(str(path)), records)
    if found == DIGESTS[name] and records is not None:
        with contextlib.suppress(OSError):  # a read-only copy of the suite keeps nothing
            REFERENCE.mkdir(parents=True, exist_ok=True)
            kept.write_bytes(gzip.compress(marshal.dumps(records), 1))
    if found == DIGESTS[name] or not kept.exists():
        return found
    digest(marrowfin.iter_prices_file(str(path)), records := [])
    return f"{found}: {first_difference(records, marshal.loads(gzip.decompress(kept.read_bytes())))}"


def recording(name, tmp_path):
    """The bundled sample, a generated race, or a peer recording."""
    if name == "sample":
        return sample_path()
    if name in GENERATED:
        gen_stream.main(["--size-mb", "2", *GENERATED[name], "-o", str(tmp_path / "race.json")])
        return tmp_path / "race.json"
    if not PEER_DATA.is_dir():
        pytest.skip("peer recordings absent")
    if SANITIZED and (PEER_DATA / name).stat().st_size > 1_000_000:
        pytest.skip("long recordings take minutes in the sanitizer pass; the normal pass checks them")
    return PEER_DATA / name


@pytest.mark.parametrize("name", DIGESTS)
def test_the_books_of_each_recording(name, tmp_path):
    assert check(name, recording(name, tmp_path)) == DIGESTS[name]
