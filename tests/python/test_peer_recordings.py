"""End to end on real recordings. Expected values come from reading the raw
lines here with the json module, independently of marrowfin."""

import itertools
import json

import pytest

import marrowfin
from conftest import PEER_DATA

pytestmark = pytest.mark.skipif(not PEER_DATA.is_dir(), reason="peer recordings absent")


def raw_lines(name):
    with open(PEER_DATA / name, encoding="utf-8") as file:
        return [json.loads(line) for line in file if line.strip()]


def changes(line):
    return line.get("mc", [])


def last_definition(lines):
    return [mc["marketDefinition"] for line in lines for mc in changes(line) if "marketDefinition" in mc][-1]


def fold_runners(lines):
    """Per line: {selection id: (ltp, best back price)} after that line."""
    ltp, backs, states = {}, {}, []
    for line in lines:
        for mc in changes(line):
            if mc.get("img"):
                ltp, backs = {}, {}
            for rc in mc.get("rc", []):
                if "ltp" in rc:
                    ltp[rc["id"]] = rc["ltp"]
                ladder = backs.setdefault(rc["id"], {})
                for price, size in (level[:2] for level in rc.get("atb", [])):
                    if size == 0:
                        ladder.pop(price, None)
                    else:
                        ladder[price] = size
        states.append({i: (ltp.get(i), max(backs.get(i) or [None], key=lambda p: p or 0))
                       for i in set(ltp) | set(backs)})
    return states


SELF = "SELF-1.181223995"


@pytest.fixture(scope="module")
def lines():
    return raw_lines(SELF)


@pytest.fixture(scope="module")
def books():
    return list(marrowfin.iter_prices_file(str(PEER_DATA / SELF)))


class TestSelfRecording:
    def test_one_book_per_line(self, lines, books):
        assert len(books) == len(lines) == len(marrowfin.iter_prices_file(str(PEER_DATA / SELF)))
        assert [b.publish_time_epoch for b in books] == [line["pt"] for line in lines]
        assert {b.market_id for b in books} == {"1.181223995"}

    def test_final_state(self, lines, books):
        final, definition = books[-1], last_definition(lines)
        assert final.status == final.market_definition.status == definition["status"] == "CLOSED"
        winners = {r["id"] for r in definition["runners"] if r["status"] == "WINNER"}
        assert {r.selection_id for r in final.runners if r.status == "WINNER"} == winners
        assert len(winners) == definition["numberOfWinners"] == final.number_of_winners
        bsp = {r["id"]: r["bsp"] for r in definition["runners"]}
        assert {r.selection_id: r.sp.actual_sp for r in final.runners} == bsp
        assert {r.selection_id: r.bsp for r in final.market_definition.runners} == bsp
        assert [r.selection_id for r in final.market_definition.runners] == [
            r["id"] for r in definition["runners"]]
        assert final.market_definition.version == definition["version"]

    @pytest.mark.parametrize("index", [1, 500, 4000, 12345, 21000, -1])
    def test_prices_at_a_line(self, lines, books, index):
        expected = fold_runners(lines[: len(lines) + index + 1 if index < 0 else index + 1])[-1]
        book = books[index]
        for r in book.runners:
            ltp, best_back = expected.get(r.selection_id, (None, None))
            assert r.last_price_traded == ltp
            atb = r.ex.available_to_back
            assert (atb[0].price if atb else None) == best_back

    def test_unchanged_runners_are_handed_out_again(self, lines, books):
        # A runner whose id no change of a line mentions is the same object as before.
        reused = 0
        for i in range(1, 3000):
            touched = {rc["id"] for mc in changes(lines[i]) for rc in mc.get("rc", [])}
            if any("marketDefinition" in mc or mc.get("img") for mc in changes(lines[i])):
                continue
            before = {r.selection_id: r for r in books[i - 1].runners}
            for r in books[i].runners:
                if r.selection_id not in touched:
                    assert r is before[r.selection_id]
                    reused += 1
        assert reused > 10000

    def test_definition_objects_change_only_with_a_definition(self, lines, books):
        for (i, line), (prev, book) in zip(enumerate(lines[1:], 1), itertools.pairwise(books)):
            carries = any("marketDefinition" in mc for mc in changes(line))
            assert (book.market_definition is not prev.market_definition) == carries, i


def test_removed_runners():
    lines = raw_lines("BASIC-1.132153978")
    removed = {r["id"]: r for r in last_definition(lines)["runners"] if r["status"] == "REMOVED"}
    assert len(removed) == 2
    final = list(marrowfin.iter_prices_file(str(PEER_DATA / "BASIC-1.132153978")))[-1]
    for r in final.runners:
        if r.selection_id in removed:
            assert (r.status, r.removal_date) == ("REMOVED", removed[r.selection_id]["removalDate"])
            assert r.adjustment_factor == removed[r.selection_id]["adjustmentFactor"]
    exported = {r["id"]: r for r in final.to_dict()["marketDefinition"]["runners"]}
    for selection_id, raw in removed.items():
        assert exported[selection_id]["removalDate"] == raw["removalDate"]
    assert final.number_of_active_runners == len(final.runners) - 2 - sum(
        r.status in ("WINNER", "LOSER") for r in final.runners)


@pytest.mark.parametrize("name", ["1.145405534", "BASIC-1.132153978"])
def test_gzip_gives_the_same_books(name):
    plain = [b.to_dict() for b in marrowfin.iter_prices_file(str(PEER_DATA / name))]
    packed = [b.to_dict() for b in marrowfin.iter_prices_file(str(PEER_DATA / f"{name}.gz"))]
    assert plain == packed and len(plain) == len(raw_lines(name))


def test_recording_without_definition():
    books = list(marrowfin.iter_prices_file(str(PEER_DATA / "1.209492553")))
    assert len(books) == 18
    assert all(b.market_definition is None and "marketDefinition" not in b.to_dict() for b in books)
    assert all(b.runners for b in books)


def test_line_of_many_markets_shows_only_the_first():
    (line,) = raw_lines("streaming_mcm_SUB_IMAGE_no_market_def.json")
    first = line["mc"][0]
    (book,) = marrowfin.iter_prices_file(str(PEER_DATA / "streaming_mcm_SUB_IMAGE_no_market_def.json"))
    assert book.market_id == first["id"]
    assert [r.selection_id for r in book.runners] == sorted(r["id"] for r in first["rc"])
    assert book.total_matched == first["tv"]
    assert book.market_definition.event_id == first["marketDefinition"]["eventId"]
    assert book.inplay == first["marketDefinition"]["inPlay"]
