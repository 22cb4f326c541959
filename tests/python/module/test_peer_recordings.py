"""End to end on real recordings. Expected values come from reading the raw
lines here with the json module, independently of marrowfin."""

import gzip
import json

import pytest

import marrowfin
from conftest import PEER_DATA

pytestmark = pytest.mark.skipif(not PEER_DATA.is_dir(), reason="peer recordings absent")
FILES = sorted(p.name for p in PEER_DATA.iterdir() if p.name != "README.md") if PEER_DATA.is_dir() else []
SELF = "SELF-1.181223995"


def raw_lines(name):
    with (gzip.open if name.endswith(".gz") else open)(PEER_DATA / name, "rt", encoding="utf-8") as file:
        return [json.loads(line) for line in file if line.strip()]


def replay(name):
    return list(marrowfin.iter_prices_file(str(PEER_DATA / name)))


def changes(line):
    return line.get("mc", [])


def last_definition(lines):
    return [mc["marketDefinition"] for line in lines for mc in changes(line) if "marketDefinition" in mc][-1]


@pytest.mark.parametrize("name", FILES)
def test_one_book_per_line(name):
    lines = raw_lines(name)
    assert len(marrowfin.iter_prices_file(str(PEER_DATA / name))) == len(lines)
    books = replay(name)
    assert [b.publish_time_epoch for b in books] == [line["pt"] for line in lines]
    # The market of the first change; a gzip copy (CRLF lines in BASIC's)
    # gives the same books as its plain file.
    assert {b.market_id for b in books} == {changes(lines[0])[0]["id"]}
    if name.endswith(".gz"):
        assert [b.to_dict() for b in books] == [b.to_dict() for b in replay(name.removesuffix(".gz"))]


@pytest.fixture(scope="module")
def recorded():
    return raw_lines(SELF), replay(SELF)


@pytest.mark.parametrize("name", [SELF, "BASIC-1.132153978"])
def test_final_state(name):
    """The settled market as its last definition lists it; BASIC's has two removed runners."""
    final, definition = replay(name)[-1], last_definition(raw_lines(name))
    listed = [(r["id"], r["status"], r.get("bsp"), r.get("removalDate"), r.get("adjustmentFactor"))
              for r in definition["runners"]]
    assert final.status == final.market_definition.status == definition["status"] == "CLOSED"
    assert final.market_definition.version == definition["version"]
    assert final.number_of_winners == definition["numberOfWinners"] == [r[1] for r in listed].count("WINNER")
    assert final.number_of_active_runners == [r[1] for r in listed].count("ACTIVE")
    assert [(r.selection_id, r.status, r.bsp, r.removal_date, r.adjustment_factor)
            for r in final.market_definition.runners] == listed
    assert {(r.selection_id, r.status, r.sp.actual_sp, r.removal_date, r.adjustment_factor)
            for r in final.runners} == set(listed)
    exported = final.to_dict()["marketDefinition"]["runners"]
    assert [(r["id"], r.get("removalDate")) for r in exported] == [(r[0], r[3]) for r in listed]
    assert name == SELF or [r[1] for r in listed].count("REMOVED") == 2


def test_prices_and_reuse_line_by_line(recorded):
    """Last traded and best back prices folded from the raw lines; a runner no
    change of a line mentions is the same object as before; the definition
    object changes exactly with a definition."""
    lines, books = recorded
    ltp, backs, reused = {}, {}, 0
    for i, (line, book) in enumerate(zip(lines, books)):
        for mc in changes(line):
            if mc.get("img"):
                ltp, backs = {}, {}
            for rc in mc.get("rc", []):
                ltp[rc["id"]] = rc.get("ltp", ltp.get(rc["id"]))
                ladder = backs.setdefault(rc["id"], {})
                for price, size, *_ in rc.get("atb", []):
                    ladder.update({price: size}) if size else ladder.pop(price, None)
        if i % 97 == 0 or i == len(lines) - 1:
            assert [(r.last_price_traded, r.ex.available_to_back[0].price if r.ex.available_to_back else None)
                    for r in book.runners] == [
                (ltp.get(r.selection_id), max(backs.get(r.selection_id) or [None], key=lambda p: p or 0))
                for r in book.runners], i  # fmt: skip
        if i == 0:
            continue
        prev = books[i - 1]
        carries = any("marketDefinition" in mc for mc in changes(line))
        assert (book.market_definition is not prev.market_definition) == carries, i
        if carries or any(mc.get("img") for mc in changes(line)):
            continue
        touched = {rc["id"] for mc in changes(line) for rc in mc.get("rc", [])}
        before = {r.selection_id: r for r in prev.runners}
        for r in book.runners:
            if r.selection_id not in touched:
                assert r is before[r.selection_id], i
                reused += 1
    assert reused > 10000


def test_recording_without_definition():
    books = replay("1.209492553")
    assert len(books) == 18 and all(b.runners for b in books)
    assert all(b.market_definition is None and "marketDefinition" not in b.to_dict() for b in books)


def test_line_of_many_markets_shows_only_the_first():
    (line,) = raw_lines("streaming_mcm_SUB_IMAGE_no_market_def.json")
    first = line["mc"][0]
    (book,) = replay("streaming_mcm_SUB_IMAGE_no_market_def.json")
    assert (book.market_id, book.total_matched) == (first["id"], first["tv"])
    assert [r.selection_id for r in book.runners] == sorted(r["id"] for r in first["rc"])
    assert (book.market_definition.event_id, book.inplay) == (
        first["marketDefinition"]["eventId"], first["marketDefinition"]["inPlay"])
