import json
import pathlib

import pytest

import marrowfin

PEER_DATA = pathlib.Path(__file__).resolve().parents[2].parent / "shared" / "data" / "peer"

# Under the sanitizer pass (scripts/sanitize) the ASan runtime is loaded; its
# allocator keeps freed memory in quarantine, so resident memory only grows.
SANITIZED = "libasan" in pathlib.Path("/proc/self/maps").read_text()
# matplotlib's extension throws C++ exceptions that the preloaded ASan runtime
# cannot intercept (it aborts), so charts are only drawn in the normal pass.
draws_charts = pytest.mark.skipif(SANITIZED, reason="matplotlib aborts under the preloaded ASan")

MARKET = "1.100"
PT = 1700000000000  # 2023-11-14 22:13:20
KEPT = '{"op":"mcm","pt":5,"mc":[{"id":"1.1"}]}'


def message(pt, *changes):
    return {"op": "mcm", "clk": "1", "pt": pt, "mc": list(changes)}


def change(market=MARKET, **fields):
    return {"id": market, **fields} if market is not None else dict(fields)


def runner(selection_id, **fields):
    return {"id": selection_id, **fields}


def definition(runners=(), **fields):
    return {"status": "OPEN", "version": 1, "runners": list(runners), **fields}


@pytest.fixture
def write(tmp_path):
    """Writes bytes, or messages (dicts or raw text lines) one per line; returns the path as str."""

    def write(*content, name="stream.txt"):
        path = tmp_path / name
        if len(content) == 1 and isinstance(content[0], bytes):
            path.write_bytes(content[0])
        else:
            lines = [m if isinstance(m, str) else json.dumps(m) for m in content]
            path.write_text("".join(line + "\n" for line in lines), encoding="utf-8")
        return str(path)

    return write


@pytest.fixture
def replay(write):
    """Every book of the messages, in order."""
    return lambda *messages: list(marrowfin.iter_prices_file(write(*messages)))


# One market with every field a book exports: a definition listing three
# runners (one removed, two handicaps that export as none), and the ladders,
# starting prices and totals of runner 9.
RICH_MESSAGE = message(PT, change(
    marketDefinition=definition(
        [runner(9, sortPriority=2, status="ACTIVE", name="Nine", hc=-1.5, bsp=3.5, adjustmentFactor=10.0),
         runner(4, sortPriority=1, status="REMOVED", removalDate="2021-03-30T10:00:00Z"),
         runner(5, sortPriority=3, hc=-0.0)],
        status="SUSPENDED", betDelay=5, bspReconciled=True, complete=False, crossMatching=False, inPlay=True,
        runnersVoidable=True, numberOfWinners=3, eventId="30388764", eventTypeId="7", eventName="Race",
        marketType="PLACE", countryCode="GB", venue="Warwick", raceType="Bumper", name="2m Hcap",
        timezone="Europe/London", bettingType="ODDS", bspMarket=True, persistenceEnabled=False,
        eachWayDivisor=4, turnInPlayEnabled=True, discountAllowed=True, marketBaseRate=5,
        regulators=["MR_INT", "X"], marketTime="2021-03-30T16:20:00.000Z", openDate="2021-03-30T12:50:00Z",
        suspendTime="2021-03-30T16:20:00.1234Z", settledTime="2021-03-30T16:27:20.000Z", version=3715126545),
    tv=1234.5, lastMatchTime=1617121600000,
    rc=[runner(9, hc=-1.5, atb=[[1.5, 10], [2.0, 4.5], [1.8, 1]], atl=[[2.2, 3], [2.1, 5]],
               trd=[[2.0, 30], [1.9, 12.5]], spb=[[2.0, 10.0], [3.0, 5.0]], spl=[[4.0, 1.0], [5.0, 2.0]],
               spn="Infinity", spf=3.25, ltp=2.0, tv=42.5),
        runner(4, atb=[[1.01, 2]])]))  # fmt: skip


@pytest.fixture
def book(replay):
    (book,) = replay(RICH_MESSAGE)
    return book


@pytest.fixture
def bare_book(replay):
    """A book of a market that has seen no definition."""
    (book,) = replay(message(1609459200000, change(rc=[runner(5)])))
    return book
