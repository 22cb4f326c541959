"""The stream generator of bench/: valid, deterministic, realistic recordings."""

import gzip
import json
import re

import pytest

import gen_stream

# The exchange's price ladder: up to each price (in hundredths), its tick.
BANDS = [(200, 1), (300, 2), (400, 5), (600, 10), (1000, 20), (2000, 50), (3000, 100), (5000, 200),
         (10000, 500), (100000, 1000)]  # fmt: skip
LEVEL = re.compile(r"\[(-?[0-9.eE+]+),(-?[0-9.eE+]+)\]")


def on_ladder(text):
    cents = round(float(text) * 100)
    tick = next((tick for top, tick in BANDS if cents <= top), None)
    return cents >= 101 and tick is not None and cents % tick == 0 and repr(cents / 100).removesuffix(".0") == text


@pytest.mark.parametrize("handicap", [False, True], ids=["race", "handicap"])
def test_a_recording_is_a_whole_market_on_the_ladder_that_never_crosses(tmp_path, handicap):
    path = tmp_path / "stream.json"
    summary = gen_stream.generate(path, size_mb=0.4, seed=3, runners=8, handicap=handicap)
    lines = path.read_text(encoding="ascii").splitlines()
    messages = [json.loads(line) for line in lines]
    times = [m["pt"] for m in messages]
    assert (summary.lines, summary.first_pt, summary.last_pt) == (len(lines), times[0], times[-1])
    assert all(b > a for a, b in zip(times, times[1:])) and {m["mc"][0]["id"] for m in messages} == {summary.market_id}
    levels = [level for line in lines for level in LEVEL.findall(line)]
    assert len(levels) > 1000 and all(on_ladder(price) for price in {p for p, _ in levels})
    assert all(re.fullmatch(r"(0|[1-9][0-9]*)(\.[0-9]?[1-9])?", size) for _, size in levels)
    books, traded = {}, {}
    for m in messages:
        for rc in m["mc"][0].get("rc", []):
            key = (rc["id"], rc.get("hc", 0))
            back, lay = books.setdefault(key, ({}, {}))
            for side, name in ((back, "atb"), (lay, "atl")):
                for price, size in rc.get(name, []):
                    side.update({price: size}) if size else side.pop(price, None)
            assert not back or not lay or max(back) < min(lay), (m["pt"], key)
            traded.setdefault(key, {}).update(dict(rc.get("trd", [])))
            assert "tv" not in rc or rc["tv"] == pytest.approx(sum(traded[key].values()))
    defs = [mc["marketDefinition"] for m in messages for mc in m["mc"] if "marketDefinition" in mc]
    assert len(defs) == summary.definitions and [(d["status"], d["inPlay"]) for d in defs][0] == ("OPEN", False)
    turned = next(i for i, d in enumerate(defs) if d["inPlay"])
    assert all(d["inPlay"] for d in defs[turned:]) and (defs[-1]["status"], defs[-1]["complete"]) == ("CLOSED", True)
    runners = defs[-1]["runners"]
    assert sorted((r["id"], r.get("hc", 0.0)) for r in runners if r["status"] == "WINNER") == sorted(summary.winners)
    assert {(r["id"], r.get("hc", 0.0)) for r in runners if r["status"] == "REMOVED"} == set(summary.removed)
    assert bool(summary.removed) != handicap  # a handicap market removes nothing


def test_the_same_seed_gives_the_same_bytes(tmp_path, capsys):
    paths = [tmp_path / name for name in ("a.json", "b.json", "c.json", "a.json.gz")]
    for p, seed in zip(paths, (4, 4, 5, 4)):
        gen_stream.generate(p, size_mb=0.2, seed=seed, gzip=p.suffix == ".gz")
    a, b, c, packed = (p.read_bytes() for p in paths)
    assert a == b != c and gzip.decompress(packed) == a
    assert packed[3] & 0x08 == 0 and packed[4:8] == bytes(4)  # no file name, no time
    with pytest.raises(ValueError, match="even number of runners"):
        gen_stream.generate(tmp_path / "x.json", size_mb=0.01, runners=7, handicap=True)
