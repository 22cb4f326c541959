"""The stream generator of bench/: valid, deterministic, realistic recordings."""

import gzip
import importlib.util
import json
import pathlib
import re
import sys

import pytest

from conftest import PEER_DATA

_PATH = pathlib.Path(__file__).resolve().parents[2] / "bench" / "gen_stream.py"
_spec = importlib.util.spec_from_file_location("gen_stream", _PATH)
gen_stream = importlib.util.module_from_spec(_spec)
sys.modules[_spec.name] = gen_stream  # its dataclass looks the module up by name
_spec.loader.exec_module(gen_stream)


def _ladder_texts():
    """Every price of the exchange's ladder, as the shortest decimal text."""
    bands = [(200, 1), (300, 2), (400, 5), (600, 10), (1000, 20), (2000, 50),
             (3000, 100), (5000, 200), (10000, 500), (100000, 1000)]
    prices = [101]
    for top, step in bands:
        while prices[-1] < top:
            prices.append(prices[-1] + step)
    texts = {repr(c / 100).removesuffix(".0") for c in prices}
    assert len(texts) == 350 and {"1.01", "2.5", "3.05", "110", "1000"} <= texts
    return texts


LADDER = _ladder_texts()
LEVEL = re.compile(r"\[(-?[0-9.eE+]+),(-?[0-9.eE+]+)\]")
SIZE = re.compile(r"^(0|[1-9][0-9]*)(\.[0-9]?[1-9])?$")


def read_lines(path):
    opener = gzip.open if str(path).endswith(".gz") else open
    with opener(path, "rt", encoding="ascii") as f:
        return f.read().splitlines()


@pytest.fixture(scope="module", params=[False, True], ids=["race", "handicap"])
def recording(request, tmp_path_factory):
    path = tmp_path_factory.mktemp("gen") / "stream.json"
    summary = gen_stream.generate(path, size_mb=0.4, seed=3, handicap=request.param)
    lines = read_lines(path)
    return summary, lines, [json.loads(line) for line in lines]


def definitions(messages):
    return [mc["marketDefinition"] for m in messages for mc in m["mc"] if "marketDefinition" in mc]


class TestEveryLine:
    def test_messages_and_publish_times(self, recording):
        summary, lines, messages = recording
        assert summary.lines == len(lines)
        assert summary.bytes == sum(len(line) + 1 for line in lines)
        times = [m["pt"] for m in messages]
        assert times[0] > 0
        assert all(b > a for a, b in zip(times, times[1:]))
        assert (summary.first_pt, summary.last_pt) == (times[0], times[-1])
        for m in messages:
            assert list(m)[:4] == ["op", "clk", "pt", "mc"] and m["op"] == "mcm"
            assert isinstance(m["clk"], str) and len(m["mc"]) == 1
            assert m["mc"][0]["id"] == summary.market_id

    def test_ladder_levels_are_ticks_and_cents(self, recording):
        _, lines, _ = recording
        levels = [level for line in lines for level in LEVEL.findall(line)]
        assert len(levels) > 1000
        off_ladder = {price for price, _ in levels if price not in LADDER}
        bad_sizes = {size for _, size in levels if not SIZE.match(size)}
        assert not off_ladder and not bad_sizes

    def test_books_never_cross(self, recording):
        _, _, messages = recording
        books = {}
        for m in messages:
            for rc in m["mc"][0].get("rc", []):
                book = books.setdefault((rc["id"], rc.get("hc", 0)), ({}, {}))
                for side, key in zip(book, ("atb", "atl")):
                    for price, size in rc.get(key, []):
                        if size:
                            side[price] = size
                        else:
                            side.pop(price, None)
                back, lay = book
                if back and lay:
                    assert max(back) < min(lay), (m["pt"], rc["id"])

    def test_runner_and_market_totals_follow_the_trades(self, recording):
        _, _, messages = recording
        traded, runner_tv = {}, {}
        for m in messages:
            mc = m["mc"][0]
            for rc in mc.get("rc", []):
                key = (rc["id"], rc.get("hc", 0))
                for price, size in rc.get("trd", []):
                    traded.setdefault(key, {})[price] = size
                if "tv" in rc:
                    runner_tv[key] = rc["tv"]
                    assert rc["tv"] == pytest.approx(sum(traded[key].values()))
                    assert rc["ltp"] in traded[key]
            if "tv" in mc:
                assert mc["tv"] == pytest.approx(sum(runner_tv.values()))


class TestMarketLife:
    DEFINITION_KEYS = {
        "eventId", "eventTypeId", "eventName", "marketType", "marketTime", "openDate",
        "suspendTime", "countryCode", "bspMarket", "persistenceEnabled", "turnInPlayEnabled",
        "bettingType", "name", "discountAllowed", "marketBaseRate", "regulators", "timezone",
        "numberOfWinners", "betDelay", "bspReconciled", "complete", "crossMatching", "inPlay",
        "runnersVoidable", "status", "version", "runners"}
    TIME = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.000Z$")

    def test_image_first_with_the_whole_market(self, recording):
        summary, _, messages = recording
        first = messages[0]["mc"][0]
        assert first["img"] is True
        md = first["marketDefinition"]
        assert self.DEFINITION_KEYS <= md.keys()
        if not summary.handicap:
            assert {"venue", "raceType"} <= md.keys() and md["bettingType"] == "ODDS"
        for key in ("marketTime", "openDate", "suspendTime"):
            assert self.TIME.match(md[key])
        assert (md["status"], md["inPlay"]) == ("OPEN", False)
        listed = {(r["id"], r.get("hc", 0)) for r in md["runners"]}
        assert len(listed) == summary.runners
        assert {(rc["id"], rc.get("hc", 0)) for rc in first["rc"]} == listed
        assert all(rc["atb"] and rc["atl"] for rc in first["rc"])
        assert not any("img" in m["mc"][0] for m in messages[1:])

    def test_definitions_suspend_reopen_and_turn_in_play(self, recording):
        _, _, messages = recording
        defs = definitions(messages)
        versions = [d["version"] for d in defs]
        assert all(b > a for a, b in zip(versions, versions[1:]))
        states = [(d["status"], d["inPlay"]) for d in defs]
        assert states[0] == ("OPEN", False)
        suspended = states.index(("SUSPENDED", False))
        assert states[suspended + 1] == ("OPEN", False)
        turned = next(d for d in defs if d["inPlay"])
        assert turned["betDelay"] > 0
        assert all(d["inPlay"] for d in defs[defs.index(turned):])

    def test_settlement_last(self, recording):
        summary, _, messages = recording
        last = messages[-1]["mc"][0]
        assert set(last) == {"id", "marketDefinition"}
        md = last["marketDefinition"]
        assert md["status"] == "CLOSED" and md["complete"] is True
        assert self.TIME.match(md["settledTime"])
        winners = [r for r in md["runners"] if r["status"] == "WINNER"]
        assert len(winners) == md["numberOfWinners"] >= 1
        assert {r["status"] for r in md["runners"]} <= {"WINNER", "LOSER", "REMOVED"}
        assert tuple(sorted(summary.winners)) == tuple(sorted((r["id"], r.get("hc", 0.0)) for r in winners))
        assert len(definitions(messages)) == summary.definitions
        if md["bspMarket"]:
            assert md["bspReconciled"] is True
            assert all(("bsp" in r) == (r["status"] != "REMOVED") for r in md["runners"])
        else:
            assert not any("bsp" in r for r in md["runners"])


class TestRace:
    def test_starting_price_keys(self, tmp_path):
        path = tmp_path / "race.json"
        gen_stream.generate(path, size_mb=1, seed=5)
        rcs = [rc for m in map(json.loads, read_lines(path)) for rc in m["mc"][0].get("rc", [])]
        for key in ("spn", "spf"):
            values = [rc[key] for rc in rcs if key in rc]
            assert any(isinstance(v, (int, float)) for v in values)
            assert {v for v in values if isinstance(v, str)} <= {"NaN", "Infinity"}
        assert any(isinstance(rc.get("spf"), str) for rc in rcs)
        for key in ("spb", "spl"):
            assert any(size for rc in rcs for _, size in rc.get(key, []))

    def test_removed_runners(self, tmp_path):
        found = 0
        for seed in range(1, 6):
            path = tmp_path / ("%d.json" % seed)
            summary = gen_stream.generate(path, size_mb=0.1, seed=seed, runners=8)
            messages = [json.loads(line) for line in read_lines(path)]
            final = definitions(messages)[-1]
            removed = {r["id"] for r in final["runners"] if r["status"] == "REMOVED"}
            assert removed == {sel for sel, _ in summary.removed}
            found += len(removed)
            for r in final["runners"]:
                if r["id"] in removed:
                    assert TestMarketLife.TIME.match(r["removalDate"]) and r["adjustmentFactor"] > 0
            for sel in removed:
                # Gone from the book: after its removal the runner quotes nothing.
                when = next(i for i, m in enumerate(messages)
                            if any(r["id"] == sel and r["status"] == "REMOVED"
                                   for r in m["mc"][0].get("marketDefinition", {}).get("runners", [])))
                later = [rc for m in messages[when:] for rc in m["mc"][0].get("rc", []) if rc["id"] == sel]
                assert all(size == 0 for rc in later for k in ("atb", "atl") for _, size in rc.get(k, []))
        assert found > 0


class TestHandicap:
    def test_runners_are_selections_at_several_lines(self, tmp_path):
        path = tmp_path / "ah.json"
        gen_stream.generate(path, size_mb=0.2, seed=9, runners=8, handicap=True)
        messages = [json.loads(line) for line in read_lines(path)]
        listed = [(r["id"], r["hc"]) for r in definitions(messages)[0]["runners"]]
        assert len(set(listed)) == 8 and len({sel for sel, _ in listed}) == 2
        assert all(hc % 1 == 0.5 for _, hc in listed)
        assert not any("adjustmentFactor" in r for d in definitions(messages) for r in d["runners"])
        rcs = [rc for m in messages for rc in m["mc"][0].get("rc", [])]
        assert all((rc["id"], rc["hc"]) in listed for rc in rcs)

    @pytest.mark.parametrize("runners", [1, 7, 42])
    def test_rejects_runner_counts(self, tmp_path, runners):
        with pytest.raises(ValueError, match="even number of runners"):
            gen_stream.generate(tmp_path / "x.json", size_mb=0.01, runners=runners, handicap=True)


class TestOutput:
    @pytest.mark.parametrize("compress", [False, True], ids=["plain", "gzip"])
    def test_same_seed_same_bytes(self, tmp_path, compress):
        paths = [tmp_path / name for name in ("a.gz", "b.gz", "c.gz")]
        for path, seed in zip(paths, (4, 4, 5)):
            gen_stream.generate(path, size_mb=0.2, seed=seed, gzip=compress)
        a, b, c = (p.read_bytes() for p in paths)
        assert a == b and a != c

    def test_gzip_round_trips_without_name_or_time(self, tmp_path):
        plain, packed = tmp_path / "s.json", tmp_path / "s.json.gz"
        s1 = gen_stream.generate(plain, size_mb=0.2, seed=2, handicap=True)
        s2 = gen_stream.generate(packed, size_mb=0.2, seed=2, handicap=True, gzip=True)
        data = packed.read_bytes()
        assert gzip.decompress(data) == plain.read_bytes()
        assert data[3] & 0x08 == 0 and data[4:8] == b"\0\0\0\0"  # no FNAME flag, mtime 0
        assert (s2.file_bytes, s2.bytes) == (len(data), s1.bytes)

    @pytest.mark.parametrize("size_mb", [0.5, 3])
    def test_size_is_reached(self, tmp_path, size_mb):
        summary = gen_stream.generate(tmp_path / "s.json", size_mb=size_mb, seed=1)
        assert summary.bytes == pytest.approx(size_mb * 1e6, rel=0.05)

    def test_command_line(self, tmp_path, capsys):
        path = tmp_path / "cli.json.gz"
        assert gen_stream.main(["--size-mb", "0.05", "--runners", "6", "--seed", "8",
                                "-o", str(path)]) == 0
        summary = json.loads(capsys.readouterr().out)
        assert summary["runners"] == 6 and summary["file_bytes"] == path.stat().st_size
        assert len(read_lines(path)) == summary["lines"]


@pytest.mark.skipif(not (PEER_DATA / "1.197931750").exists(), reason="peer recordings absent")
def test_key_order_follows_a_real_recording(tmp_path):
    """Keys the generator shares with a live recording come in the same order."""
    with open(PEER_DATA / "1.197931750", encoding="utf-8") as f:
        real = json.loads(f.readline())
    path = tmp_path / "s.json"
    gen_stream.generate(path, size_mb=0.01, seed=1)
    ours = json.loads(read_lines(path)[0])

    def same_order(a, b):
        shared = [k for k in a if k in b]
        assert shared == [k for k in b if k in a] and len(shared) >= 3

    same_order(ours, real)
    same_order(ours["mc"][0], real["mc"][0])
    same_order(ours["mc"][0]["marketDefinition"], real["mc"][0]["marketDefinition"])
    same_order(ours["mc"][0]["marketDefinition"]["runners"][0], real["mc"][0]["marketDefinition"]["runners"][0])
    same_order(ours["mc"][0]["rc"][0], real["mc"][0]["rc"][0])
