"""Book by book against the pure-Python peer (betfairlightweight, in its dict mode) on real and generated
recordings. Where the two differ by design, the comparison says so below."""

import datetime
import gzip
import math
import pathlib
import shutil

import pytest

import gen_stream
import marrowfin
from conftest import PEER_DATA, PT, SANITIZED, change, definition, message, runner
from marrowfin_tools import market_books, sample_path

betfairlightweight = pytest.importorskip("betfairlightweight")
from betfairlightweight.compat import parse_datetime  # noqa: E402
from betfairlightweight.streaming.listener import StreamListener  # noqa: E402

REAL = sorted(p.name for p in PEER_DATA.iterdir() if p.name != "README.md") if PEER_DATA.is_dir() else []


def peer_snaps(path):
    """The peer's books of every market, by market id, after every line that yields books."""
    listener = StreamListener(max_latency=None, lightweight=True, update_clk=False)
    client = betfairlightweight.APIClient("user", "password", "key")
    stream = client.streaming.create_historical_generator_stream(file_path=str(path), listener=listener)
    for books in stream.get_generator()():
        yield {b["marketId"]: b for b in books}


def pairs(levels):
    return [(p["price"], p["size"]) for p in levels]


RUNNER_FIELDS = ("status", "ltp", "tv", "adjustmentFactor", "removalDate", "atb", "atl", "trd", "backStake",
                 "layLiability", "spn", "spf", "bsp")


def memo(function):
    """`function`, worked out once per object (kept alive here): both sides hand
    out unchanged runners and ladder lists again as the same objects."""
    seen = {}

    def call(thing):
        kept = seen.get(id(thing))
        if kept is None or kept[0] is not thing:
            kept = seen[id(thing)] = (thing, function(thing))
        return kept[1]

    return call


class Sides:
    """Runner fields of both sides, and the pairs of runner objects found equal."""

    def __init__(self):
        ladder = memo(pairs)
        self.ours = memo(lambda r: dict(zip(RUNNER_FIELDS, [
            r.status, r.last_price_traded, r.total_matched, r.adjustment_factor, r.removal_date,
            ladder(r.ex.available_to_back), ladder(r.ex.available_to_lay), ladder(r.ex.traded_volume),
            pairs(r.sp.back_stake_taken), pairs(r.sp.lay_liability_taken),  # a new sp on every read
            r.sp.near_price, r.sp.far_price, r.sp.actual_sp], strict=True)))
        self.theirs = memo(lambda r: dict(zip(RUNNER_FIELDS, [
            r["status"], r["lastPriceTraded"], r["totalMatched"], r["adjustmentFactor"], r["removalDate"],
            ladder(r["ex"]["availableToBack"]), ladder(r["ex"]["availableToLay"]), ladder(r["ex"]["tradedVolume"]),
            ladder(r["sp"]["backStakeTaken"]), ladder(r["sp"]["layLiabilityTaken"]),
            r["sp"]["nearPrice"], r["sp"]["farPrice"], r["sp"]["actualSP"]], strict=True)))
        self.equal = set()  # (our runner, peer runner); both kept alive by the memos


MARKET_FIELDS = [("publish_time_epoch", "publishTime"), ("status", "status"), ("inplay", "inplay"),
                 ("total_matched", "totalMatched"), ("version", "version"), ("bet_delay", "betDelay"),
                 ("number_of_winners", "numberOfWinners"), ("complete", "complete"),
                 ("cross_matching", "crossMatching"), ("runners_voidable", "runnersVoidable"),
                 ("bsp_reconciled", "bspReconciled")]


def same(ours, theirs):
    if isinstance(ours, float) and isinstance(theirs, float) and math.isnan(ours):
        return math.isnan(theirs)
    return ours == theirs


def differences(book, theirs, sides):
    """Fields where our book differs from the peer's, which leaves what only a definition sets at None
    until the first one (we keep the defaults) and its runners in arrival order (we sort them)."""
    found = []
    for attribute, key in MARKET_FIELDS:
        if theirs[key] is None and book.market_definition is None:
            continue
        if not same(getattr(book, attribute), theirs[key]):
            found.append((attribute, getattr(book, attribute), theirs[key]))
    peer_runners = {(r["selectionId"], float(r["handicap"] or 0)): r for r in theirs["runners"]}
    our_runners = {(r.selection_id, r.handicap): r for r in book.runners}
    if peer_runners.keys() != our_runners.keys():
        return found + [("runners", sorted(our_runners), sorted(peer_runners))]
    for key, runner in our_runners.items():
        pair = (id(runner), id(peer_runners[key]))
        if pair in sides.equal:
            continue
        mine, peer = sides.ours(runner), sides.theirs(peer_runners[key])
        wrong = [(key, field, mine[field], peer[field]) for field in mine if not same(mine[field], peer[field])
                 and not (field == "status" and peer[field] is None)]  # a runner no definition listed yet
        if wrong:
            found += wrong
        else:
            sides.equal.add(pair)
    return found


def plain_copy(path, tmp_path):
    """The peer reads plain text only."""
    target = tmp_path / path.name.removesuffix(".gz")
    with gzip.open(path, "rb") as source, open(target, "wb") as out:
        shutil.copyfileobj(source, out)
    return target


# The peer lists runners in the order it first met them since the market's
# last image: a definition's in its order, then those a runner change named
# first; a definition listing them otherwise reorders nothing.
SET = {"inPlay": False, "betDelay": 0, "numberOfWinners": 1, "complete": True, "crossMatching": True,
       "runnersVoidable": False, "bspReconciled": False}  # what the peer leaves at None otherwise
ORDERS = [
    message(PT, change(rc=[runner(9, atb=[[2, 1]])])),
    message(PT + 1, change(marketDefinition=definition([runner(3, sortPriority=1), runner(1, sortPriority=2),
                                                        runner(9, sortPriority=3)], **SET), rc=[runner(5, ltp=2)])),
    message(PT + 2, change(marketDefinition=definition([runner(i, sortPriority=i) for i in (1, 3, 5, 9)], **SET))),
    message(PT + 3, change(img=True, marketDefinition=definition([runner(5), runner(1)], **SET),
                           rc=[runner(7, ltp=3)])),
]  # fmt: skip
PEER_TIMES = [("market_time", "marketTime"), ("open_date", "openDate"), ("suspend_time", "suspendTime"),
              ("settled_time", "settledTime")]


def compare_every_market(path, plain_path=None):
    """Every book of the module (the file's first market), then of every market with the peer's runner
    order and aware times, against the peer's book of that market after the same line."""
    theirs, sides, orders = list(peer_snaps(plain_path or path)), Sides(), []
    ours = marrowfin.iter_prices_file(str(path))
    assert len(ours) == len(theirs) > 0  # one per kept message
    for index, book in enumerate(ours):
        found = differences(book, theirs[index][book.market_id], sides)
        assert not found, f"book {index} (pt {book.publish_time_epoch}): {found[:5]}"
    books = market_books([str(path)], runner_order="definition", aware=True)
    for book in books:
        peer = theirs[books.message_index][book.market_id]
        found = differences(book, peer, sides)
        order = [(r.selection_id, r.handicap) for r in book.runners]
        if order != [(r["selectionId"], float(r["handicap"] or 0)) for r in peer["runners"]]:
            found.append(("runner order", order, peer["runners"]))
        times = [(book.publish_time, datetime.datetime.fromtimestamp(peer["publishTime"] / 1e3, datetime.UTC))]
        if book.market_definition is not None:
            times += [(getattr(book.market_definition, ours), parse_datetime(peer["marketDefinition"][key]))
                      for ours, key in PEER_TIMES if peer["marketDefinition"].get(key)]
        # The peer makes None of a time without fractional seconds.
        found += [("time", ours, peer) for ours, peer in times if peer is not None and (ours, ours.tzinfo) != (
            peer, peer.tzinfo)]
        assert not found, f"{book.market_id} at message {books.message_index}: {found[:5]}"
        orders.append([key[0] for key in order])
    return orders


@pytest.mark.skipif(not REAL, reason="peer recordings absent")
@pytest.mark.parametrize("name", REAL)
def test_every_market_in_the_peers_runner_order_and_times(name, tmp_path):
    path = PEER_DATA / name
    if SANITIZED and path.stat().st_size > 1_000_000:
        pytest.skip("long recordings take minutes in the sanitizer pass; the normal pass compares them")
    compare_every_market(path, plain_copy(path, tmp_path) if name.endswith(".gz") else None)


def test_the_peers_runner_order_on_the_sample_a_handicap_market_and_its_rules(write, tmp_path):
    path = pathlib.Path(sample_path())
    compare_every_market(path, plain_copy(path, tmp_path))
    gen_stream.main(["--size-mb", "1", "--seed", "11", "--handicap", "-o", str(tmp_path / "ah.json")])
    compare_every_market(tmp_path / "ah.json")
    assert compare_every_market(write(*ORDERS)) == [[9], [9, 3, 1, 5], [9, 3, 1, 5], [5, 1, 7]]
