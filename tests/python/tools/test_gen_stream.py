"""The stream generator of bench/: valid, deterministic, realistic recordings."""

import gzip
import json
import re

import pytest

import gen_stream
from conftest import PEER_DATA



# The exchange's price ladder: up to each price (in hundredths), its tick.
BANDS = [(200, 1), (300, 2), (400, 5), (600, 10), (1000, 20), (2000, 50), (3000, 100), (5000, 200),
         (10000, 500), (100000, 1000)]  # fmt: skip


def on_ladder(text):
    cents = round(float(text) * 100)
    tick = next((tick for top, tick in BANDS if cents <= top), None)
    return cents >= 101 and tick is not None and cents % tick == 0 and repr(cents / 100).removesuffix(".0") == text


LEVEL = re.compile(r"\[(-?[0-9.eE+]+),(-?[0-9.eE+]+)\]")
TIME = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.000Z$")


def read_lines(path):
    with (gzip.open if str(path).endswith(".gz") else open)(path, "rt", encoding="ascii") as f:
        return f.read().splitlines()


@pytest.fixture(scope="module", params=[False, True], ids=["race", "handicap"])
def recording(request, tmp_path_factory):
    path = tmp_path_factory.mktemp("gen") / "stream.json"
    summary = gen_stream.generate(path, size_mb=0.4, seed=3, runners=8, handicap=request.param)
    lines = read_lines(path)
    return summary, lines, [json.loads(line) for line in lines]


def test_every_line(recording):
    summary, lines, messages = recording
    assert (summary.lines, summary.bytes) == (len(lines), sum(len(line) + 1 for line in lines))
    times = [m["pt"] for m in messages]
    assert 0 < times[0] and all(b > a for a, b in zip(times, times[1:]))
    assert (summary.first_pt, summary.last_pt) == (times[0], times[-1])
    for m in messages:
        assert list(m)[:4] == ["op", "clk", "pt", "mc"] and m["op"] == "mcm" and isinstance(m["clk"], str)
        assert [mc["id"] for mc in m["mc"]] == [summary.market_id]
    # Prices on the ladder, sizes in whole cents.
    levels = [level for line in lines for level in LEVEL.findall(line)]
    assert len(levels) > 1000 and all(on_ladder(price) for price in {p for p, _ in levels})
    assert all(re.fullmatch(r"(0|[1-9][0-9]*)(\.[0-9]?[1-9])?", size) for _, size in levels)
    # The books never cross, and the totals follow the trades.
    books, traded, runner_tv = {}, {}, {}
    for m in messages:
        mc = m["mc"][0]
        for rc in mc.get("rc", []):
            key = (rc["id"], rc.get("hc", 0))
            back, lay = books.setdefault(key, ({}, {}))
            for side, name in ((back, "atb"), (lay, "atl")):
                for price, size in rc.get(name, []):
                    side.update({price: size}) if size else side.pop(price, None)
            assert not back or not lay or max(back) < min(lay), (m["pt"], key)
            for price, size in rc.get("trd", []):
                traded.setdefault(key, {})[price] = size
            if "tv" in rc:
                runner_tv[key] = rc["tv"]
                assert rc["tv"] == pytest.approx(sum(traded[key].values())) and rc["ltp"] in traded[key]
        if "tv" in mc:
            assert mc["tv"] == pytest.approx(sum(runner_tv.values()))


def test_market_life(recording):
    summary, _, messages = recording
    first = messages[0]["mc"][0]
    md = first["marketDefinition"]
    assert first["img"] is True and not any("img" in m["mc"][0] for m in messages[1:])
    assert all(TIME.match(md[key]) for key in ("marketTime", "openDate", "suspendTime"))
    listed = {(r["id"], r.get("hc", 0)) for r in md["runners"]}
    assert len(listed) == summary.runners == 8
    assert {(rc["id"], rc.get("hc", 0)) for rc in first["rc"]} == listed
    assert all(rc["atb"] and rc["atl"] for rc in first["rc"])
    defs = [mc["marketDefinition"] for m in messages for mc in m["mc"] if "marketDefinition" in mc]
    assert len(defs) == summary.definitions and all(b["version"] > a["version"] for a, b in zip(defs, defs[1:]))
    states = [(d["status"], d["inPlay"]) for d in defs]
    assert states[0] == ("OPEN", False) and states[states.index(("SUSPENDED", False)) + 1] == ("OPEN", False)
    turned = next(i for i, d in enumerate(defs) if d["inPlay"])
    assert defs[turned]["betDelay"] > 0 and all(d["inPlay"] for d in defs[turned:])
    # Settled last: winners, losers and removed runners, with their times and factors.
    last = messages[-1]["mc"][0]
    md = last["marketDefinition"]
    assert set(last) == {"id", "marketDefinition"} and (md["status"], md["complete"]) == ("CLOSED", True)
    assert TIME.match(md["settledTime"]) and {r["status"] for r in md["runners"]} <= {"WINNER", "LOSER", "REMOVED"}
    winners = sorted((r["id"], r.get("hc", 0.0)) for r in md["runners"] if r["status"] == "WINNER")
    assert len(winners) == md["numberOfWinners"] >= 1 and tuple(winners) == tuple(sorted(summary.winners))
    if md["bspMarket"]:
        assert md["bspReconciled"] and all(("bsp" in r) == (r["status"] != "REMOVED") for r in md["runners"])
    removed = [r for r in md["runners"] if r["status"] == "REMOVED"]
    assert {(r["id"], r.get("hc", 0.0)) for r in removed} == set(summary.removed)
    assert all(TIME.match(r["removalDate"]) and r["adjustmentFactor"] > 0 for r in removed)
    if summary.handicap:
        # Two selections at several lines; nothing is removed.
        assert len({sel for sel, _ in listed}) == 2 and all(hc % 1 == 0.5 for _, hc in listed)
        assert not removed and not any("adjustmentFactor" in r for d in defs for r in d["runners"])
    else:
        assert removed and {"venue", "raceType"} <= md.keys() and md["bettingType"] == "ODDS"
        for r in removed:  # it quotes nothing after its removal
            at = next(i for i, d in enumerate(m["mc"][0].get("marketDefinition", {}) for m in messages)
                      if any(x["id"] == r["id"] and x["status"] == "REMOVED" for x in d.get("runners", [])))
            assert not any(size for m in messages[at:] for rc in m["mc"][0].get("rc", []) if rc["id"] == r["id"]
                           for k in ("atb", "atl") for _, size in rc.get(k, []))
        rcs = [rc for m in messages for rc in m["mc"][0].get("rc", [])]
        assert {v for rc in rcs for k in ("spn", "spf") if isinstance(v := rc.get(k), str)} <= {"NaN", "Infinity"}
        assert any(size for rc in rcs for k in ("spb", "spl") for _, size in rc.get(k, []))


def test_output_and_command_line(tmp_path, capsys):
    paths = [tmp_path / name for name in ("a.json", "b.json", "c.json", "a.json.gz")]
    summaries = [gen_stream.generate(p, size_mb=0.5, seed=seed, gzip=p.suffix == ".gz")
                 for p, seed in zip(paths, (4, 4, 5, 4))]
    a, b, c, packed = (p.read_bytes() for p in paths)
    assert a == b != c and gzip.decompress(packed) == a  # the same seed gives the same bytes
    assert packed[3] & 0x08 == 0 and packed[4:8] == bytes(4)  # no file name, no time
    assert (summaries[3].file_bytes, summaries[3].bytes) == (len(packed), len(a))
    assert summaries[0].bytes == pytest.approx(0.5e6, rel=0.05)
    with pytest.raises(ValueError, match="even number of runners"):
        gen_stream.generate(tmp_path / "x.json", size_mb=0.01, runners=7, handicap=True)
    out = tmp_path / "cli.json.gz"
    assert gen_stream.main(["--size-mb", "0.05", "--runners", "6", "--seed", "8", "-o", str(out)]) == 0
    summary = json.loads(capsys.readouterr().out)
    assert summary["runners"] == 6 and summary["file_bytes"] == out.stat().st_size
    assert len(read_lines(out)) == summary["lines"]


@pytest.mark.skipif(not (PEER_DATA / "1.197931750").exists(), reason="peer recordings absent")
def test_key_order_follows_a_real_recording(tmp_path):
    """Keys the generator shares with a live recording come in the same order."""
    with open(PEER_DATA / "1.197931750", encoding="utf-8") as f:
        real = json.loads(f.readline())
    gen_stream.generate(tmp_path / "s.json", size_mb=0.01, seed=1)
    ours = json.loads(read_lines(tmp_path / "s.json")[0])
    for a, b in [(ours, real), (ours["mc"][0], real["mc"][0]), (ours["mc"][0]["rc"][0], real["mc"][0]["rc"][0]),
                 (ours["mc"][0]["marketDefinition"], real["mc"][0]["marketDefinition"]),
                 (ours["mc"][0]["marketDefinition"]["runners"][0], real["mc"][0]["marketDefinition"]["runners"][0])]:
        shared = [k for k in a if k in b]
        assert shared == [k for k in b if k in a] and len(shared) >= 3
