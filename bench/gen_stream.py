#!/usr/bin/env python3
"""Writes a seeded, realistic market-change stream recording of one market.

The output looks like a live recording: one compact JSON message per line
("op":"mcm", "clk", "pt", "mc"), starting with an image that carries the full
market definition and every runner's ladders, then small ladder deltas, the
definition changes of a real market (suspensions, non-runners, the turn
in-play) and a settlement that closes it.

Two kinds of market:
- default: a horse race (WIN, one winner, starting-price market) with traded
  and starting-price data, non-runners and a short in-play phase;
- ``--handicap``: a football Asian-handicap market, two teams each offered
  at several half-goal lines (one selection id at several "hc" values), with
  goals suspending the market in play. It has no starting price.

Size: ``--size-mb`` counts uncompressed bytes (1 MB = 10**6 bytes). The file
always holds one race or match: a larger size lengthens the pre-play phase,
while the in-play phase keeps a realistic length (shrunk only for small
files). The size is reached to within a few per cent plus the closing lines.

Same arguments and seed give byte-identical output; gzip output carries no
file name and mtime 0.

    bench/gen_stream.py --size-mb 100 --seed 7 -o bench/out/race.json
    bench/gen_stream.py --size-mb 5 --handicap --gzip -o bench/out/ah.json.gz
"""

from __future__ import annotations

import argparse
import base64
import bisect
import dataclasses
import gzip as gzip_module
import json
import math
import os
import random
import sys
import time

# The exchange's price ladder in hundredths: (upper end of band, tick size).
_TICK_BANDS = ((200, 1), (300, 2), (400, 5), (600, 10), (1000, 20), (2000, 50),
               (3000, 100), (5000, 200), (10000, 500), (100000, 1000))


def _build_ticks() -> list[int]:
    ticks = [101]
    for top, step in _TICK_BANDS:
        while ticks[-1] < top:
            ticks.append(ticks[-1] + step)
    return ticks


def money(cents: int) -> str:
    """Shortest decimal text of an amount in hundredths: 250 -> "2.5"."""
    whole, frac = divmod(cents, 100)
    if not frac:
        return str(whole)
    if not frac % 10:
        return "%d.%d" % (whole, frac // 10)
    return "%d.%02d" % (whole, frac)


TICKS = _build_ticks()  # 350 prices, 1.01 to 1000, in hundredths
PRICE_TEXT = [money(c) for c in TICKS]
_TOP = len(TICKS) - 1  # index of 1000; index 0 is 1.01

_LINE = '{"op":"mcm","clk":"%s","pt":%d,"mc":[{"id":"%s",%s}]}\n'

_VENUES = (("Hamilton", "Ham"), ("Warwick", "Warw"), ("Sedgefield", "Sedge"),
           ("Kempton", "Kemp"), ("Lingfield", "Ling"), ("Musselburgh", "Muss"),
           ("Newcastle", "Newc"), ("Southwell", "Sthl"), ("Wolverhampton", "Wolv"),
           ("Catterick", "Catt"), ("Ffos Las", "Ffos"), ("Ayr", "Ayr"))
_RACES = {"Flat": ("5f Hcap", "6f Mdn Stks", "7f Nov Stks", "1m Hcap", "1m2f Hcap",
                   "1m4f Class Stks"),
          "Hurdle": ("2m Mdn Hrd", "2m4f Hcap Hrd", "3m Nov Hrd"),
          "Chase": ("2m Hcap Chs", "2m5f Nov Chs", "3m2f Hcap Chs"),
          "Bumper": ("2m NHF",)}
_HORSE_A = ("Silver", "Brother", "Match", "Hazy", "Bonnie", "Panther", "Copper",
            "Northern", "Quiet", "Harbour", "Golden", "Midnight", "Roaring",
            "Lucky", "Stormy", "Captain", "Velvet", "Iron", "Desert", "Amber")
_HORSE_B = ("Mission", "Fire", "Star", "Manor", "Gals", "Pink", "Tide", "Legend",
            "Walter", "Jet", "Harvest", "Dancer", "Echo", "Spirit", "Rocket",
            "Whisper", "Ranger", "Meadow", "Glory", "Lantern")
_TOWNS = ("Harbourton", "Kelbridge", "Marlow Vale", "Eastmere", "Brackford",
          "Dunholm", "Westcliff", "Ravensby", "Oakhurst", "Stanmoor", "Fenwick",
          "Castleford Park")
_CLUBS = ("Rovers", "United", "Athletic", "Town", "City", "Wanderers", "Albion")
_MONTHS = ("Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct",
           "Nov", "Dec")

# Rough line sizes used only to plan the timeline before the bytes exist.
_EST_PRE_LINE = 230
_EST_IN_LINE = 330


def iso_time(ms: int) -> str:
    return time.strftime("%Y-%m-%dT%H:%M:%S.000Z", time.gmtime(ms // 1000))


def _ordinal(day: int) -> str:
    if 10 <= day % 100 <= 20:
        return "%dth" % day
    return "%d%s" % (day, {1: "st", 2: "nd", 3: "rd"}.get(day % 10, "th"))


def _index_of_price(price: float) -> float:
    """Position of a decimal price on the ladder, fractional between ticks."""
    cents = price * 100.0
    if cents <= TICKS[0]:
        return 0.0
    if cents >= TICKS[-1]:
        return float(_TOP)
    i = bisect.bisect_left(TICKS, cents)
    lo, hi = TICKS[i - 1], TICKS[i]
    return i - 1 + (cents - lo) / (hi - lo)


def _price_of_index(f: float) -> float:
    i = int(f)
    if i >= _TOP:
        return TICKS[_TOP] / 100.0
    lo, hi = TICKS[i], TICKS[i + 1]
    return (lo + (hi - lo) * (f - i)) / 100.0


def float_sum(values) -> float:
    """The sum of floats as Python 3.12 and later compute it (with Neumaier's
    compensation), on every version: 3.11's plain sum rounds differently, and
    the output must not depend on the interpreter. The price table sums its
    traded volume the same way."""
    total = compensation = 0.0
    for x in values:
        t = total + x
        compensation += (total - t) + x if abs(total) >= abs(x) else (x - t) + total
        total = t
    return total + compensation if compensation and math.isfinite(compensation) else total


def _phi(x: float) -> float:
    return 0.5 * (1.0 + math.erf(x / math.sqrt(2.0)))


@dataclasses.dataclass(frozen=True)
class Summary:
    path: str
    market_id: str
    handicap: bool
    lines: int
    bytes: int  # uncompressed
    file_bytes: int  # on disk
    runners: int
    definitions: int
    first_pt: int
    last_pt: int
    removed: tuple  # (selection id, handicap) of each removed runner
    winners: tuple  # (selection id, handicap) of each winner


class _Runner:
    __slots__ = ("sel", "hc", "name", "tail", "status", "af", "removal_date", "bsp",
                 "back", "lay", "trd", "b", "l", "fair", "base", "ltp", "tv",
                 "spb", "spl", "team", "line")

    def __init__(self, sel: int, hc: float | None, name: str):
        self.sel = sel
        self.hc = hc
        self.name = name
        # Everything of a runner change from its id on, written once.
        self.tail = '"id":%d}' % sel if hc is None else '"id":%d,"hc":%s}' % (sel, repr(hc))
        self.status = "ACTIVE"
        self.af = None
        self.removal_date = None
        self.bsp = None
        self.back: dict[int, int] = {}  # tick index -> size in hundredths
        self.lay: dict[int, int] = {}
        self.trd: dict[int, int] = {}
        self.b = 0  # best back index, always max(back)
        self.l = _TOP  # best lay index, always min(lay); b < l
        self.fair = 0.0  # where the market thinks the price is, as a tick index
        self.base = 0.0
        self.ltp = None
        self.tv = 0
        self.spb: dict[int, int] = {}
        self.spl: dict[int, int] = {}
        self.team = 0
        self.line = 0.0

    @property
    def key(self) -> tuple:
        return (self.sel, 0.0 if self.hc is None else self.hc)


def _levels(changes: dict) -> str:
    return ",".join(["[%s,%s]" % (PRICE_TEXT[k], money(v)) for k, v in changes.items()])


BEST_LEVELS = 3


def _best_levels(side: dict, back: bool) -> str:
    """[level, price, size] of the best levels of a side; size 0 empties a level."""
    top = sorted(side, reverse=back)[:BEST_LEVELS]
    levels = ["[%d,%s,%s]" % (i, PRICE_TEXT[k], money(side[k])) for i, k in enumerate(top)]
    levels += ["[%d,0,0]" % i for i in range(len(top), BEST_LEVELS)]
    return ",".join(levels)


class _Sink:
    """Collects lines and writes them in big chunks."""

    _CHUNK = 1 << 22

    def __init__(self, raw, compress: bool):
        self._raw = raw
        self._out = (gzip_module.GzipFile(filename="", mode="wb", fileobj=raw, mtime=0,
                                          compresslevel=6) if compress else raw)
        self._parts: list[str] = []
        self._pending = 0
        self.bytes = 0
        self.lines = 0

    def add(self, line: str) -> None:
        self._parts.append(line)
        n = len(line)  # every line is ASCII
        self._pending += n
        self.bytes += n
        self.lines += 1
        if self._pending >= self._CHUNK:
            self.flush()

    def flush(self) -> None:
        if self._parts:
            self._out.write("".join(self._parts).encode("ascii"))
            self._parts = []
            self._pending = 0

    def close(self) -> None:
        self.flush()
        if self._out is not self._raw:
            self._out.close()


class _Market:
    def __init__(self, sink: _Sink, *, runners: int, seed: int, handicap: bool,
                 best_offers: bool = False, market_time_moves: int = 0):
        self.sink = sink
        self.handicap = handicap
        self.best_offers = best_offers
        self.market_time_moves = market_time_moves
        rng = random.Random(seed)
        self.rng = rng
        self.rnd = rng.random
        self.market_id = "1.%d" % rng.randrange(100000000, 240000000)
        self.event_id = str(rng.randrange(28000000, 34000000))
        self.version = rng.randrange(1000000000, 5000000000)
        self.definitions = 0
        self.status = "OPEN"
        self.in_play = False
        self.bet_delay = 0
        self.bsp_reconciled = False
        self.settled_time = None
        self.market_tv = 0
        self.clk = [rng.randrange(1 << 20, 1 << 27) for _ in range(3)]
        self.first_pt = 0
        self.pt = 0
        self.score = 0  # goal difference, home minus away
        self.winner = None
        self.off_pt = self.end_pt = 0
        self.goal_mean = 0.0

        day = rng.randrange(0, 700)
        if handicap:
            hour, minute = rng.choice(((12, 30), (15, 0), (17, 30), (19, 45)))
        else:
            hour, minute = rng.randrange(12, 21), rng.randrange(0, 12) * 5
        # 2023-01-02 00:00 UTC
        self.market_time = 1672617600000 + (day * 86400 + hour * 3600 + minute * 60) * 1000
        self.shown_market_time = self.market_time  # what definitions say; it may move
        self.runners: list[_Runner] = []
        if handicap:
            self._make_handicap(runners)
        else:
            self._make_race(runners)
        self.active: list[_Runner] = []
        self.cum: list[float] = []
        self._reweigh()

    # ----- set-up -----

    def _make_race(self, n: int) -> None:
        rng = self.rng
        venue, short = rng.choice(_VENUES)
        race_type = rng.choice(tuple(_RACES))
        race_name = rng.choice(_RACES[race_type])
        tm = time.gmtime(self.market_time // 1000)
        self.meta = {
            "bspMarket": True, "turnInPlayEnabled": True, "persistenceEnabled": True,
            "marketBaseRate": 5, "eventTypeId": "7", "numberOfWinners": 1,
            "bettingType": "ODDS", "marketType": "WIN", "venue": venue, "countryCode": "GB",
            "timezone": "Europe/London", "raceType": race_type, "name": race_name,
            "eventName": "%s %s %s" % (short, _ordinal(tm.tm_mday), _MONTHS[tm.tm_mon - 1]),
            "openDate": iso_time(self.market_time - rng.randrange(0, 7) * 1800000),
        }
        names = set()
        while len(names) < n:
            names.add("%s %s" % (rng.choice(_HORSE_A), rng.choice(_HORSE_B)))
        names = sorted(names)
        rng.shuffle(names)
        strengths = [math.exp(1.1 * rng.gauss(0.0, 1.0)) for _ in range(n)]
        total = float_sum(strengths)
        ids = rng.sample(range(1000000, 60000000), n)
        for sel, name, s in zip(ids, names, strengths):
            r = _Runner(sel, None, name)
            p = s / total * (1.0 + 0.02 * self.rnd())
            r.fair = r.base = _index_of_price(min(max(1.0 / p, 1.01), 1000.0))
            self.runners.append(r)
        self.runners.sort(key=lambda r: r.fair)  # favourite first, as the exchange lists them
        self._set_adjustment_factors()
        self.removals_left = 0 if n < 4 else rng.choice((0, 1, 1, 2))
        self.in_play_ms = rng.randrange(60, 300) * 1000
        self.in_play_gap = 110

    def _make_handicap(self, n: int) -> None:
        rng = self.rng
        lines = n // 2
        home, away = rng.sample(_TOWNS, 2)
        home = "%s %s" % (home, rng.choice(_CLUBS))
        away = "%s %s" % (away, rng.choice(_CLUBS))
        self.meta = {
            "bspMarket": False, "turnInPlayEnabled": True, "persistenceEnabled": True,
            "marketBaseRate": 5, "eventTypeId": "1", "numberOfWinners": lines,
            "bettingType": "ASIAN_HANDICAP_SINGLE_LINE", "marketType": "ASIAN_HANDICAP",
            "countryCode": "GB", "timezone": "GMT", "name": "Asian Handicap",
            "eventName": "%s v %s" % (home, away), "openDate": iso_time(self.market_time),
        }
        self.goal_mean = rng.gauss(0.0, 0.7)
        centre = -round(self.goal_mean)
        home_id, away_id = rng.sample(range(40000, 9000000), 2)
        for k in range(lines):
            line = centre - lines // 2 + k + 0.5
            for team, sel, name, hc in ((0, home_id, home, line), (1, away_id, away, -line)):
                r = _Runner(sel, hc + 0.0, name)
                r.team = team
                r.line = line
                self.runners.append(r)
        for r in self.runners:
            r.fair = r.base = self._handicap_fair(r, 0.0)
        self.removals_left = 0
        self.in_play_ms = rng.randrange(6300, 6900) * 1000
        self.in_play_gap = 400

    def _handicap_fair(self, r: _Runner, progress: float) -> float:
        left = max(1.0 - progress, 0.0)
        sd = max(1.7 * math.sqrt(left), 0.08)
        home_wins = _phi((self.score + self.goal_mean * left + r.line) / sd)
        p = home_wins if r.team == 0 else 1.0 - home_wins
        p = min(max(p, 0.001), 0.99)
        return _index_of_price(1.0 / p)

    def _set_adjustment_factors(self) -> None:
        if self.handicap:
            return  # a two-way line has nothing to reduce for
        live = [r for r in self.runners if r.status == "ACTIVE"]
        probs = [1.0 / _price_of_index(r.fair) for r in live]
        total = float_sum(probs)
        for r, p in zip(live, probs):
            r.af = round(100.0 * p / total, 2)

    def _reweigh(self) -> None:
        """Favourites trade more: activity weight per active runner."""
        self.active = [r for r in self.runners if r.status == "ACTIVE"]
        cum, total = [], 0.0
        for r in self.active:
            total += 1.0 / math.sqrt(_price_of_index(r.fair))
            cum.append(total)
        self.cum = cum

    def _size(self) -> int:
        u = self.rnd()
        cents = 150 + int(u * u * u * 40000)
        if u > 0.85:
            cents -= cents % 100
        return cents

    # ----- lines -----

    def _clk(self) -> str:
        out = bytearray()
        rnd = self.rnd
        for i in range(3):
            v = self.clk[i] = self.clk[i] + 1 + int(rnd() * 60)
            while v >= 0x80:
                out.append((v & 0x7F) | 0x80)
                v >>= 7
            out.append(v)
        return base64.b64encode(bytes(out)).decode("ascii")

    def _emit(self, gap: int, body: str) -> None:
        self.pt += max(gap, 1)
        self.sink.add(_LINE % (self._clk(), self.pt, self.market_id, body))

    def _definition(self) -> str:
        """The next definition: every one carries a new version."""
        self.version += 1 + int(self.rnd() * 90000)
        self.definitions += 1
        if self.market_time_moves > 0 and not self.in_play and self.definitions > 1:
            # The start is put back, or brought forward, by a few minutes.
            self.market_time_moves -= 1
            self.shown_market_time += self.rng.choice((-120000, 180000, 300000, 600000))
        return self._definition_text()

    def _definition_text(self) -> str:
        m = self.meta
        order = [r for r in self.runners if r.status != "REMOVED"]
        order += [r for r in self.runners if r.status == "REMOVED"]
        parts = []
        for pos, r in enumerate(order, 1):
            fields = []
            if r.af is not None:
                fields.append('"adjustmentFactor":%r' % r.af)
            fields.append('"status":"%s","sortPriority":%d' % (r.status, pos))
            if r.removal_date:
                fields.append('"removalDate":"%s"' % r.removal_date)
            if r.bsp is not None and r.status != "REMOVED":
                fields.append('"bsp":%r' % r.bsp)
            fields.append(r.tail[:-1])
            fields.append('"name":"%s"' % r.name)
            parts.append("{%s}" % ",".join(fields))
        closed = self.status == "CLOSED"
        active = sum(1 for r in self.runners if r.status == "ACTIVE")
        text = [
            '"bspMarket":%s,"turnInPlayEnabled":true,"persistenceEnabled":true' % _js(m["bspMarket"]),
            '"marketBaseRate":%d,"eventId":"%s","eventTypeId":"%s","numberOfWinners":%d'
            % (m["marketBaseRate"], self.event_id, m["eventTypeId"], m["numberOfWinners"]),
            '"bettingType":"%s","marketType":"%s","marketTime":"%s","suspendTime":"%s"'
            % (m["bettingType"], m["marketType"], iso_time(self.shown_market_time),
               iso_time(self.shown_market_time)),
            '"bspReconciled":%s,"complete":true,"inPlay":%s,"crossMatching":%s,"runnersVoidable":false'
            % (_js(self.bsp_reconciled), _js(self.in_play), _js(self.status == "OPEN")),
            '"numberOfActiveRunners":%d,"betDelay":%d,"status":"%s"'
            % (0 if closed else active, self.bet_delay, self.status),
        ]
        if self.settled_time:
            text.append('"settledTime":"%s"' % self.settled_time)
        text.append('"runners":[%s],"regulators":["MR_INT"]' % ",".join(parts))
        if "venue" in m:
            text.append('"venue":"%s"' % m["venue"])
        text.append('"countryCode":"%s","discountAllowed":true,"timezone":"%s","openDate":"%s","version":%d'
                    % (m["countryCode"], m["timezone"], m["openDate"], self.version))
        if "raceType" in m:
            text.append('"raceType":"%s"' % m["raceType"])
        text.append('"priceLadderDefinition":{"type":"CLASSIC"},"name":"%s","eventName":"%s"'
                    % (m["name"], m["eventName"]))
        return '"marketDefinition":{%s}' % ",".join(text)

    def _rc(self, r: _Runner, atb=None, atl=None, trd=None, spb=None, spl=None,
            spn=None, spf=None, ltp=False, tv=False) -> str:
        parts = []
        if self.best_offers:
            # The best-offers feed: the top levels of a side, whole, when it changed.
            if atb:
                parts.append('"batb":[%s]' % _best_levels(r.back, True))
            if atl:
                parts.append('"batl":[%s]' % _best_levels(r.lay, False))
        else:
            if atb:
                parts.append('"atb":[%s]' % _levels(atb))
            if atl:
                parts.append('"atl":[%s]' % _levels(atl))
        if trd:
            parts.append('"trd":[%s]' % _levels(trd))
        if spb:
            parts.append('"spb":[%s]' % _levels(spb))
        if spl:
            parts.append('"spl":[%s]' % _levels(spl))
        if spn is not None:
            parts.append('"spn":' + spn)
        if spf is not None:
            parts.append('"spf":' + spf)
        if ltp and r.ltp is not None:
            parts.append('"ltp":' + PRICE_TEXT[r.ltp])
        if tv:
            parts.append('"tv":' + money(r.tv))
        parts.append(r.tail)
        return "{" + ",".join(parts)

    # ----- ladders -----

    def _quote(self, r: _Runner, depth: int) -> tuple[dict, dict]:
        """Lays a fresh book around the runner's fair price; returns the changes."""
        rnd = self.rnd
        b = min(int(r.fair), _TOP - 1)
        l = min(b + 1 + (rnd() < 0.3), _TOP)
        back = {b: self._size()}
        k = b
        for _ in range(depth):
            k -= 1 + (rnd() < 0.3)
            if k <= 0:
                break
            back[k] = self._size()
        back.setdefault(0, 500000 + int(rnd() * 1500000))  # the standing order at 1.01
        lay = {l: self._size()}
        k = l
        for _ in range(depth):
            k += 1 + (rnd() < 0.3)
            if k >= _TOP:
                break
            lay[k] = self._size()
        lay.setdefault(_TOP, 200 + int(rnd() * 2000))  # and at 1000
        atb = {k: 0 for k in r.back if k not in back}
        atb.update((k, v) for k, v in back.items() if r.back.get(k) != v)
        atl = {k: 0 for k in r.lay if k not in lay}
        atl.update((k, v) for k, v in lay.items() if r.lay.get(k) != v)
        r.back, r.lay, r.b, r.l = back, lay, b, l
        return atb, atl

    def _touch(self, r: _Runner, sigma: float, pull_to: float, pull: float, sp_rate: float) -> str:
        """One runner's moves in one message; returns its runner change."""
        rnd = self.rnd
        f = r.fair + (rnd() - 0.5) * sigma + (pull_to - r.fair) * pull
        f = 0.0 if f < 0.0 else (_TOP - 0.01 if f > _TOP - 0.01 else f)
        r.fair = f
        back, lay = r.back, r.lay
        b, l = r.b, r.l
        atb, atl = {}, {}
        trd = None
        mid = (b + l) * 0.5
        if f - mid > 1.0 or mid - f > 1.0:
            # The price has moved: requote the top of both sides.
            tb = int(f)
            if tb >= _TOP:
                tb = _TOP - 1
            tl = tb + 1
            if rnd() < 0.25 and tl < _TOP:
                tl += 1
            for k in [k for k in back if k > tb]:
                del back[k]
                atb[k] = 0
            for k in [k for k in lay if k < tl]:
                del lay[k]
                atl[k] = 0
            if tb not in back:
                back[tb] = atb[tb] = self._size()
            if tl not in lay:
                lay[tl] = atl[tl] = self._size()
            b, l = tb, tl
            # A fast move leaves stale depth behind on one side: cancel the far end.
            if len(back) > 24:
                k = min([k for k in back if k])
                del back[k]
                atb[k] = 0
            if len(lay) > 24:
                k = max([k for k in lay if k != _TOP])
                del lay[k]
                atl[k] = 0
        ops = 1 + (rnd() < 0.35)
        for attempt in range(6):
            if attempt >= ops and (atb or atl):
                break  # a move inside a one-tick spread does nothing: try another
            u = rnd()
            if u < 0.3:
                # A match at the best price of one side.
                amount = 100 + int(rnd() ** 2 * 6000)
                if rnd() < 0.5:
                    k, side, changes = b, back, atb
                else:
                    k, side, changes = l, lay, atl
                size = side[k]
                if amount >= size:
                    amount = size
                    if k == 0 or k == _TOP:
                        side[k] = changes[k] = size + self._size()
                    else:
                        del side[k]
                        changes[k] = 0
                        if side is back:
                            b = max(back)
                        else:
                            l = min(lay)
                else:
                    side[k] = changes[k] = size - amount
                if trd is None:
                    trd = {}
                trd[k] = r.trd[k] = r.trd.get(k, 0) + amount
                r.tv += amount
                self.market_tv += amount
                r.ltp = k
            elif u < 0.75:
                # Money added, taken or cancelled near the top.
                offset = int(rnd() ** 2 * 6)
                if rnd() < 0.5:
                    k, side, changes = b - offset, back, atb
                    if k < 0:
                        k = b
                else:
                    k, side, changes = l + offset, lay, atl
                    if k > _TOP:
                        k = l
                old = side.get(k)
                if old is None:
                    side[k] = changes[k] = self._size()
                elif rnd() < 0.2 and k != 0 and k != _TOP:
                    del side[k]
                    changes[k] = 0
                    if k == b:
                        b = max(back)
                    elif k == l:
                        l = min(lay)
                else:
                    new = int(old * (0.4 + rnd() * 1.4)) + 1
                    side[k] = changes[k] = new
            elif u < 0.88:
                # A better price offered inside the spread.
                if l - b > 1:
                    if rnd() < 0.5:
                        b += 1
                        back[b] = atb[b] = self._size()
                    else:
                        l -= 1
                        lay[l] = atl[l] = self._size()
            else:
                # Keep each side between a handful and a couple of dozen levels.
                if rnd() < 0.5:
                    side, changes, edge = back, atb, 0
                else:
                    side, changes, edge = lay, atl, _TOP
                inner = [k for k in side if k != edge]
                if len(inner) > 22:
                    k = min(inner) if edge == 0 else max(inner)
                    del side[k]
                    changes[k] = 0
                elif len(inner) < 8 and inner:
                    far = min(inner) if edge == 0 else max(inner)
                    step = 1 + int(rnd() * 3)
                    k = far - step if edge == 0 else far + step
                    if 0 < k < _TOP and k not in side:
                        side[k] = changes[k] = self._size()
        r.b, r.l = b, l
        spb = spl = spn = spf = None
        if sp_rate and rnd() < sp_rate:
            spb, spl, spn, spf = self._sp_change(r)
        if not (atb or atl or spb or spl or spn or spf):
            return ""
        return self._rc(r, atb, atl, trd, spb, spl, spn, spf, trd is not None, trd is not None)

    def _sp_change(self, r: _Runner):
        rnd = self.rnd
        u = rnd()
        spb = spl = spn = spf = None
        if u < 0.35:
            spn = '"Infinity"' if rnd() < 0.08 else repr(round(_price_of_index(r.fair) * (0.85 + 0.3 * rnd()), 2))
        elif u < 0.55:
            v = rnd()
            if v < 0.1:
                spf = '"NaN"'
            elif v < 0.15:
                spf = '"Infinity"'
            elif v < 0.35:
                spf = str(max(1, int(_price_of_index(r.fair))))
            else:
                spf = repr(round(_price_of_index(r.fair) * (0.7 + 0.6 * rnd()), 2))
        elif u < 0.8:
            k = int(r.fair * rnd())
            size = 0 if k in r.spb and rnd() < 0.4 else (2 + int(rnd() * 100)) * 100
            if size or k in r.spb:
                spb = {k: size}
                if size:
                    r.spb[k] = size
                else:
                    del r.spb[k]
        else:
            k = min(int(r.fair + (_TOP - r.fair) * rnd()), _TOP)
            size = 0 if k in r.spl and rnd() < 0.4 else 100 + int(rnd() * 5000)
            if size or k in r.spl:
                spl = {k: size}
                if size:
                    r.spl[k] = size
                else:
                    del r.spl[k]
        return spb, spl, spn, spf

    def _pick(self, extra: float, extra2: float) -> list[_Runner]:
        rnd = self.rnd
        cum, active = self.cum, self.active
        total = cum[-1]
        count = 1 + (rnd() < extra) + (rnd() < extra2)
        chosen = []
        for _ in range(count):
            r = active[bisect.bisect_right(cum, rnd() * total, 0, len(cum) - 1)]
            if r not in chosen:
                chosen.append(r)
        return chosen

    # ----- phases -----

    def image(self, start_pt: int) -> None:
        self.pt = self.first_pt = start_pt
        rcs = []
        for r in self.runners:
            atb, atl = self._quote(r, 6 + int(self.rnd() * 12))
            trd = {}
            for _ in range(int(self.rnd() * 6)):
                k = max(0, min(_TOP, int(r.fair + (self.rnd() - 0.5) * 6)))
                amount = 200 + int(self.rnd() * 3000)
                trd[k] = r.trd[k] = r.trd.get(k, 0) + amount
                r.tv += amount
                r.ltp = k
            self.market_tv += r.tv
            rcs.append(self._rc(r, atb, atl, trd, ltp=True, tv=bool(trd)))
        body = '%s,"rc":[%s],"img":true,"tv":%s' % (self._definition(), ",".join(rcs),
                                                    money(self.market_tv))
        self.sink.add(_LINE % (self._clk(), self.pt, self.market_id, body))

    def run_phase(self, budget: int, end_pt: int, *, in_play: bool, events: list) -> None:
        """Deltas until the phase has written `budget` bytes, timed to end near `end_pt`.

        `events` holds (fraction of the budget, callable) pairs, in order.
        """
        sink, rnd = self.sink, self.rnd
        start_bytes = sink.bytes
        goal = start_bytes + budget
        handicap = self.handicap
        if in_play:
            sigma, pull, extra, extra2, sp_rate = (0.5, 0.2, 0.5, 0.25, 0.0) if handicap else (2.0, 0.0, 0.6, 0.35, 0.0)
        else:
            sigma, pull, extra, extra2, sp_rate = 0.6, 0.01, 0.3, 0.1, (0.0 if handicap else 0.05)
        lines = 0
        mean_gap = 300.0
        ev = 0
        winner = self.winner
        while sink.bytes < goal or lines < 8:
            if (lines & 63) == 0:
                # Pace the clock so that the phase ends near its planned time.
                done = sink.bytes - start_bytes
                avg = done / lines if lines else (_EST_IN_LINE if in_play else _EST_PRE_LINE)
                left_lines = max((goal - sink.bytes) / avg, 1.0)
                mean_gap = min(max((end_pt - self.pt) / left_lines, 15.0), 20000.0)
            progress = (sink.bytes - start_bytes) / budget if budget > 0 else 1.0
            while ev < len(events) and progress >= events[ev][0]:
                events[ev][1]()
                ev += 1
            rcs = []
            traded = self.market_tv
            for r in self._pick(extra, extra2):
                if not in_play:
                    pull_to = r.base = min(max(r.base + (rnd() - 0.5) * 0.2, 0.0), _TOP - 1.0)
                elif handicap:
                    pull_to = self._handicap_fair(r, progress)
                else:
                    # Runners spread out in running; the winner comes to 1.01.
                    pull = 0.004 + 0.08 * progress * progress
                    pull_to = 0.0 if r is winner else min(r.base + 40.0 + 200.0 * progress, _TOP)
                rc = self._touch(r, sigma, pull_to, pull, sp_rate)
                if rc:
                    rcs.append(rc)
            if not rcs:
                continue
            body = '"rc":[%s]' % ",".join(rcs)
            if self.market_tv != traded:
                body += ',"tv":' + money(self.market_tv)
            u = rnd()
            gap = mean_gap * (0.1 + 1.8 * u) if u < 0.97 else mean_gap * (2.0 + 8.0 * rnd())
            self._emit(int(gap), body)
            lines += 1
        while ev < len(events):
            events[ev][1]()
            ev += 1

    # ----- definition events -----

    def suspend_and_reopen(self, pause_ms: int) -> None:
        self.status = "SUSPENDED"
        self._emit(int(200 + self.rnd() * 800), self._definition())
        self.status = "OPEN"
        self._set_adjustment_factors()
        self._emit(pause_ms, self._definition())

    def resend_definition(self) -> None:
        self._set_adjustment_factors()
        self._emit(int(50 + self.rnd() * 500), self._definition())

    def remove_runner(self) -> None:
        if self.removals_left <= 0 or len(self.active) <= 3:
            return
        self.removals_left -= 1
        r = self.active[int(self.rnd() * len(self.active))]
        r.status = "REMOVED"
        r.removal_date = iso_time(self.pt)
        share = 1.0 / _price_of_index(r.fair)
        # The others shorten as the race loses a runner.
        for o in self.runners:
            if o.status == "ACTIVE":
                p = min(1.0 / _price_of_index(o.base) / (1.0 - share), 0.99)
                o.base = o.fair = _index_of_price(1.0 / p)
        atb = {k: 0 for k in r.back}
        atl = {k: 0 for k in r.lay}
        spb = {k: 0 for k in r.spb}
        spl = {k: 0 for k in r.spl}
        r.back, r.lay, r.spb, r.spl = {}, {}, {}, {}
        self.status = "SUSPENDED"
        self._emit(int(200 + self.rnd() * 800),
                   '%s,"rc":[%s]' % (self._definition(), self._rc(r, atb, atl, None, spb, spl)))
        self._reweigh()
        self.status = "OPEN"
        self._set_adjustment_factors()
        self._emit(int(5000 + self.rnd() * 60000), self._definition())

    def goal(self) -> None:
        rnd = self.rnd
        home = rnd() < 0.5 + max(min(self.goal_mean * 0.15, 0.3), -0.3)
        self.score += 1 if home else -1
        self.status = "SUSPENDED"
        self._emit(int(100 + rnd() * 900), self._definition())
        self.status = "OPEN"
        self._reopen_in_play(int(40000 + rnd() * 80000), None)

    def _reopen_in_play(self, gap: int, progress: float | None) -> None:
        """Open definition with every runner's book laid afresh (unmatched bets lapse)."""
        rcs = []
        for r in self.active:
            if self.handicap and progress is None:
                r.fair = r.base = self._handicap_fair(r, self._progress_now())
            atb, atl = self._quote(r, 3 + int(self.rnd() * 6))
            spn = spf = None
            spb = {k: 0 for k in r.spb}
            spl = {k: 0 for k in r.spl}
            r.spb, r.spl = {}, {}
            if r.bsp is not None:
                spn = spf = repr(r.bsp)
            rcs.append(self._rc(r, atb, atl, None, spb, spl, spn, spf))
        self._emit(gap, '%s,"rc":[%s]' % (self._definition(), ",".join(rcs)))

    def _progress_now(self) -> float:
        span = self.end_pt - self.off_pt
        return min(max((self.pt - self.off_pt) / span, 0.0), 1.0) if span > 0 else 1.0

    def go_in_play(self, off_pt: int) -> None:
        rnd = self.rnd
        self.off_pt = off_pt
        self.end_pt = off_pt + self.in_play_ms
        if not self.handicap:
            # At the off: suspend, reconcile the starting prices, then turn in play.
            self.status = "SUSPENDED"
            self._emit(off_pt - self.pt, self._definition())
            for r in self.active:
                sp = _price_of_index(r.fair) * (0.96 + 0.08 * rnd())
                sp = min(max(sp, 1.01), 1000.0)
                r.bsp = round(sp, 2) if rnd() < 0.7 else sp
            weights = [1.0 / r.bsp for r in self.active]
            self.winner = self.rng.choices(self.active, weights)[0]
            self.bsp_reconciled = True
            gap = int(1000 + rnd() * 4000)
        else:
            gap = off_pt - self.pt
        self.status = "OPEN"
        self.in_play = True
        self.bet_delay = 1 if not self.handicap else 5
        self._reopen_in_play(gap, 0.0)

    def settle(self) -> None:
        rnd = self.rnd
        self.status = "SUSPENDED"
        self._emit(int(100 + rnd() * 2000), self._definition())
        if self.handicap:
            for r in self.runners:
                home_margin = self.score + r.line
                won = home_margin > 0 if r.team == 0 else home_margin < 0
                r.status = "WINNER" if won else "LOSER"
        else:
            for r in self.active:
                r.status = "WINNER" if r is self.winner else "LOSER"
        self.status = "CLOSED"
        gap = int(30000 + rnd() * 240000)
        self.settled_time = iso_time(self.pt + gap // 2)
        self._emit(gap, self._definition())


def _js(flag: bool) -> str:
    return "true" if flag else "false"


def generate(path, *, size_mb: float, runners: int | None = None, seed: int = 1,
             handicap: bool = False, gzip: bool = False, best_offers: bool = False,
             market_time_moves: int = 0, meta: dict | None = None) -> Summary:
    """Writes one market's recording to `path` and describes what it wrote.

    `runners` defaults to 10 (race) or 12 (handicap: six lines of two teams;
    it must be even there). `best_offers` writes the best-offers feed
    ("batb"/"batl", the top three levels) instead of full ladders;
    `market_time_moves` makes that many of the definitions after the first,
    before the off, move the market time; `meta` overrides fields of the definitions
    ("countryCode", "marketType", "venue", "eventTypeId", ...).
    """
    if runners is None:
        runners = 12 if handicap else 10
    if handicap:
        if runners < 2 or runners > 40 or runners % 2:
            raise ValueError("a handicap market needs an even number of runners from 2 to 40")
    elif runners < 2 or runners > 60:
        raise ValueError("a race needs from 2 to 60 runners")
    if not size_mb >= 0:
        raise ValueError("size_mb must be a number >= 0")
    target = int(size_mb * 1_000_000)
    # The benches write into bench/out/, which a fresh clone lacks.
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    with open(path, "wb") as raw:
        sink = _Sink(raw, gzip)
        m = _Market(sink, runners=runners, seed=seed, handicap=handicap, best_offers=best_offers,
                    market_time_moves=market_time_moves)
        m.meta.update(meta or {})
        rnd = m.rnd
        # Plan: the in-play phase takes its natural length unless the file is
        # small; the definitions at the turn and the close are set aside.
        reserve = 6 * len(m._definition_text()) + runners * 600
        natural = m.in_play_ms // m.in_play_gap * _EST_IN_LINE
        in_budget = int(min(0.25 * target, natural))
        pre_budget = max(target - in_budget - reserve, 0)
        pre_ms = max(pre_budget / _EST_PRE_LINE * 300.0, 120000.0)
        off_pt = m.market_time + (int(rnd() * 90000) if not handicap else 0)
        m.image(int(m.market_time - 60000 - pre_ms))

        events = []
        for _ in range(m.removals_left):
            events.append((0.05 + 0.85 * rnd(), m.remove_runner))
        for _ in range(1 + int(rnd() * 3)):
            events.append((rnd(), lambda: m.suspend_and_reopen(int(3000 + rnd() * 60000))))
        for _ in range(1 + min(target // 2_000_000, 80)):
            events.append((rnd(), m.resend_definition))
        events.sort(key=lambda e: e[0])
        m.run_phase(pre_budget, m.market_time - int(rnd() * 30000), in_play=False, events=events)

        m.go_in_play(max(off_pt, m.pt + 1))
        events = []
        if handicap:
            goals = sum(rnd() < 0.26 for _ in range(10))
            events = sorted(((rnd(), m.goal) for _ in range(goals)), key=lambda e: e[0])
        m.run_phase(in_budget, m.end_pt, in_play=True, events=events)
        m.settle()
        sink.close()
        file_bytes = raw.tell()
    removed = tuple(r.key for r in m.runners if r.status == "REMOVED")
    winners = tuple(r.key for r in m.runners if r.status == "WINNER")
    return Summary(path=str(path), market_id=m.market_id, handicap=handicap, lines=sink.lines,
                   bytes=sink.bytes, file_bytes=file_bytes, runners=len(m.runners),
                   definitions=m.definitions, first_pt=m.first_pt, last_pt=m.pt,
                   removed=removed, winners=winners)


_AU_VENUES = ("Flemington", "Randwick", "Caulfield", "Eagle Farm", "Morphettville", "Ascot",
              "Pakenham", "Rosehill")


def write_archive(path, *, members: int, seed: int = 1, size_mb: tuple = (0.5, 3.0),
                  kept_share: float = 0.15, level: int = 9) -> list[tuple[str, bool]]:
    """Writes a tar of bzip2 recordings laid out as the exchange's monthly
    downloads are (PRO/2024/Jan/<day>/<event id>/<market id>.bz2), one race
    each, of sizes drawn from `size_mb`. `kept_share` of them are Australian
    WIN markets, the rest British and Irish WIN and PLACE ones; some move
    their market time. Returns (member name, Australian WIN) per member, in
    order. `level` is bzip2's (9: blocks of 900 kB, as the exchange writes)."""
    import bz2
    import io
    import tarfile
    import tempfile

    rng = random.Random(seed)
    kept = set(rng.sample(range(members), round(members * kept_share)))
    out = []
    with tarfile.open(path, "w") as tar, tempfile.TemporaryDirectory() as scratch:
        plain = os.path.join(scratch, "market.json")
        for i in range(members):
            if i in kept:
                meta = {"countryCode": "AU", "marketType": "WIN", "venue": rng.choice(_AU_VENUES),
                        "timezone": "Australia/Sydney"}
            else:
                meta = {"countryCode": rng.choice(("GB", "IE")), "marketType": rng.choice(("WIN", "PLACE"))}
            summary = generate(plain, size_mb=rng.uniform(*size_mb), seed=seed * 100003 + i,
                               runners=rng.randrange(6, 17), market_time_moves=rng.choice((0, 0, 1, 3)),
                               meta=meta)
            with open(plain, "rb") as f:
                text = f.read()
            event_id = json.loads(text[:text.index(b"\n")])["mc"][0]["marketDefinition"]["eventId"]
            name = "PRO/2024/Jan/%d/%s/%s.bz2" % (1 + i % 30, event_id, summary.market_id)
            data = bz2.compress(text, level)
            info = tarfile.TarInfo(name)
            info.size = len(data)
            info.mtime = 1706745600  # fixed, so that a seed gives the same bytes
            tar.addfile(info, io.BytesIO(data))
            out.append((name, i in kept))
    return out


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("-o", "--output", required=True, help="file to write")
    parser.add_argument("--size-mb", type=float, default=10.0,
                        help="approximate uncompressed size in MB of 10**6 bytes (default 10)")
    parser.add_argument("--runners", type=int, default=None,
                        help="runners in the market (default 10; 12 with --handicap)")
    parser.add_argument("--seed", type=int, default=1, help="random seed (default 1)")
    parser.add_argument("--handicap", action="store_true",
                        help="an Asian-handicap football market instead of a horse race")
    parser.add_argument("--gzip", action="store_true", help="write gzip")
    args = parser.parse_args(argv)
    compress = args.gzip or args.output.endswith((".gz", ".gzip"))
    if compress and not args.output.endswith((".gz", ".gzip")):
        print("note: readers pick gzip by a .gz or .gzip file name", file=sys.stderr)
    started = time.perf_counter()
    try:
        summary = generate(args.output, size_mb=args.size_mb, runners=args.runners,
                           seed=args.seed, handicap=args.handicap, gzip=compress)
    except ValueError as e:
        parser.error(str(e))
    took = time.perf_counter() - started
    print(json.dumps(dataclasses.asdict(summary)))
    print("%.1f MB in %.1f s: %.1f MB/s" % (summary.bytes / 1e6, took, summary.bytes / 1e6 / took),
          file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
