import ctypes
import json
import multiprocessing.forkserver
import os
import pathlib
import sys
import tracemalloc
import types

import pytest

import marrowfin

# The peer recordings: where MARROWFIN_PEER_DATA says (a copy of the suite run
# against an installed wheel sets it), else beside the worktrees. The tests that
# read them skip when the folder is absent.
ROOT = pathlib.Path(__file__).resolve().parents[2]
PEER_DATA = pathlib.Path(os.environ.get("MARROWFIN_PEER_DATA") or ROOT.parent / "shared" / "data" / "peer")

# Under the sanitizer pass (scripts/sanitize) the ASan runtime is loaded; its
# allocator keeps freed memory in quarantine, so resident memory only grows.
SANITIZED = "libasan" in pathlib.Path("/proc/self/maps").read_text()
# matplotlib's extension throws C++ exceptions that the preloaded ASan runtime
# cannot intercept (it aborts), so charts are only drawn in the normal pass.
draws_charts = pytest.mark.skipif(SANITIZED, reason="matplotlib aborts under the preloaded ASan")


def pytest_sessionstart(session):
    # Worker processes come from one forkserver per process, whose socket is in
    # the temporary folder of its start: not a test's, which goes with the test.
    multiprocessing.forkserver.ensure_running()


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()]


def memory_in_use():
    """(resident bytes, bytes malloc has handed out and not had back).

    Resident memory shows pages mapped by hand (a file's arena) but moves by
    MiBs with the heap's fragmentation; the second, from glibc, is exact for
    everything allocated through malloc (None without glibc or under ASan)."""
    libc, allocated = ctypes.CDLL(None), None
    if not SANITIZED:
        # The load's worker threads allocate from their own malloc arenas,
        # whose free pages otherwise stay resident and read as growth.
        libc.malloc_trim(0)
        if hasattr(libc, "mallinfo2"):
            libc.mallinfo2.restype = _MallInfo2
            info = libc.mallinfo2()
            allocated = info.uordblks + info.hblkhd
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE"), allocated


def memory_growth(since):
    """Growth of both figures of memory_in_use() since an earlier reading."""
    now = memory_in_use()
    return now[0] - since[0], None if now[1] is None else now[1] - since[1]


def traced_bytes():
    """What tracemalloc sees held, but for the test runner's messages, which
    its I/O thread takes in at any time (made in execnet's frames)."""
    runner = tracemalloc.Filter(False, "*/execnet/*")
    return sum(stat.size for stat in tracemalloc.take_snapshot().filter_traces([runner]).statistics("filename"))


PT = 1700000000000  # 2023-11-14 22:13:20
YEAR_10000 = 253402300800000  # ms
KEPT = '{"op":"mcm","pt":5,"mc":[{"id":"1.1"}]}'


def message(pt, *changes):
    return {"op": "mcm", "clk": "1", "pt": pt, "mc": list(changes)}


def change(market="1.100", **fields):
    return {"id": market, **fields} if market is not None else dict(fields)


def runner(selection_id, **fields):
    return {"id": selection_id, **fields}


def definition(runners=(), **fields):
    return {"status": "OPEN", "version": 1, "runners": list(runners), **fields}


def fake_datetime(monkeypatch, **methods):
    """Puts a datetime module whose datetime class has these class methods in sys.modules."""
    fake = types.ModuleType("datetime")
    fake.datetime = type("datetime", (), {name: classmethod(f) for name, f in methods.items()})
    monkeypatch.setitem(sys.modules, "datetime", fake)


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


NO_SP = {"nearPrice": None, "farPrice": None, "actualSP": None, "backStakeTaken": [], "layLiabilityTaken": []}


def prices(*pairs):
    return [{"price": p, "size": s} for p, s in pairs]


# What to_dict gives for RICH_MESSAGE.
EXPECTED = {
    "marketId": "1.100", "status": "SUSPENDED", "betDelay": 5, "bspReconciled": True, "complete": False,
    "crossMatching": False, "inplay": True, "numberOfActiveRunners": 2, "numberOfRunners": 3,
    "numberOfWinners": 3, "runnersVoidable": True, "totalMatched": 1234.5, "version": 3715126545,
    "lastMatchTime": 1617121600000, "publishTime": PT,
    "runners": [
        {"selectionId": 4, "handicap": 0.0, "status": "REMOVED", "adjustmentFactor": None,
         "lastPriceTraded": None, "totalMatched": 0.0, "removalDate": "2021-03-30T10:00:00Z",
         "ex": {"availableToBack": prices((1.01, 2.0)), "availableToLay": [], "tradedVolume": []}, "sp": NO_SP},
        {"selectionId": 5, "handicap": -0.0, "status": "ACTIVE", "adjustmentFactor": None,
         "lastPriceTraded": None, "totalMatched": 0.0, "removalDate": None,
         "ex": {"availableToBack": [], "availableToLay": [], "tradedVolume": []}, "sp": NO_SP},
        {"selectionId": 9, "handicap": -1.5, "status": "ACTIVE", "adjustmentFactor": 10.0,
         "lastPriceTraded": 2.0, "totalMatched": 42.5, "removalDate": None,
         "ex": {"availableToBack": prices((2.0, 4.5), (1.8, 1.0), (1.5, 10.0)),
                "availableToLay": prices((2.1, 5.0), (2.2, 3.0)),
                "tradedVolume": prices((1.9, 12.5), (2.0, 30.0))},
         "sp": {"nearPrice": "Infinity", "farPrice": 3.25, "actualSP": 3.5,
                "backStakeTaken": prices((4.0, 1.0), (5.0, 2.0)),
                "layLiabilityTaken": prices((3.0, 5.0), (2.0, 10.0))}},
    ],
    # Sorted keys; settledTime, raceType and eachWayDivisor are not exported,
    # and a runner leaves out what it lacks, and a handicap of zero.
    "marketDefinition": {
        "betDelay": 5, "bettingType": "ODDS", "bspMarket": True, "bspReconciled": True, "complete": False,
        "countryCode": "GB", "crossMatching": False, "discountAllowed": True, "eventId": "30388764",
        "eventName": "Race", "eventTypeId": "7", "inPlay": True, "marketBaseRate": 5.0,
        "marketTime": "2021-03-30T16:20:00.000Z", "marketType": "PLACE", "name": "2m Hcap",
        "numberOfActiveRunners": 2, "numberOfWinners": 3, "openDate": "2021-03-30T12:50:00Z",
        "persistenceEnabled": False, "regulators": ["MR_INT", "X"],
        "runners": [
            {"id": 9, "sortPriority": 2, "status": "ACTIVE", "adjustmentFactor": 10.0, "name": "Nine",
             "hc": -1.5, "bsp": 3.5},
            {"id": 4, "sortPriority": 1, "status": "REMOVED", "removalDate": "2021-03-30T10:00:00Z"},
            {"id": 5, "sortPriority": 3, "status": "ACTIVE"},
        ],
        "runnersVoidable": True, "status": "SUSPENDED", "suspendTime": "2021-03-30T16:20:00.1234Z",
        "timezone": "Europe/London", "turnInPlayEnabled": True, "venue": "Warwick", "version": 3715126545,
    },
}  # fmt: skip


@pytest.fixture
def book(replay):
    (book,) = replay(RICH_MESSAGE)
    return book
