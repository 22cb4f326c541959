"""Deterministic flumine backtests that test_flumine.py and bench/flumine_speed.py run on both streams:
the books each strategy was shown, how often it was asked to trade, and the orders it placed."""

from __future__ import annotations

import datetime
import time

from flumine import BaseStrategy, FlumineSimulation, clients
from flumine.order.ordertype import LimitOrder
from flumine.order.trade import Trade


class Recorded(BaseStrategy):
    """Notes the book of every check_market_book call, passes the open ones,
    and counts process_market_book calls before trading on them."""

    def check_market_book(self, market, market_book):
        self.context.setdefault("seen", []).append((market_book.market_id, market_book.publish_time_epoch))
        return market_book.status == "OPEN"

    def process_market_book(self, market, market_book):
        self.context["calls"] = self.context.get("calls", 0) + 1
        self.trade(market, market_book)

    def trade(self, market, market_book):
        raise NotImplementedError


class PriceTaker(Recorded):
    """Pre-off: backs at the best lay, once per runner. In play: lays at the
    best back, once more. One live trade at a time, at prices up to 10."""

    def trade(self, market, market_book):
        for runner in market_book.runners:
            if runner.status != "ACTIVE":
                continue
            side, ladder = ("LAY", runner.ex.available_to_back) if market_book.inplay else (
                "BACK", runner.ex.available_to_lay)
            context = self.get_runner_context(market.market_id, runner.selection_id, runner.handicap)
            trades = 1 + market_book.inplay
            if not ladder or ladder[0]["price"] > 10 or context.trade_count >= trades or context.live_trade_count:
                continue
            trade = Trade(market_book.market_id, runner.selection_id, runner.handicap, self)
            market.place_order(trade.create_order(side=side, order_type=LimitOrder(ladder[0]["price"], 2.0)))


class BackTheFavourite(Recorded):
    """The README's strategy: backs the favourite once at the best lay price,
    the first of the runners listed at that price when several are."""

    def trade(self, market, market_book):
        priced = [r for r in market_book.runners if r.status == "ACTIVE" and r.ex.available_to_lay]
        if not priced:
            return
        favourite = min(priced, key=lambda r: r.ex.available_to_lay[0]["price"])
        context = self.get_runner_context(market.market_id, favourite.selection_id, favourite.handicap)
        if context.trade_count == 0:
            trade = Trade(market.market_id, favourite.selection_id, favourite.handicap, self)
            price = favourite.ex.available_to_lay[0]["price"]
            market.place_order(trade.create_order(side="BACK", order_type=LimitOrder(price, 2.0)))


EPOCH = datetime.datetime(2015, 1, 1, tzinfo=datetime.timezone.utc)


class OnTheClock(Recorded):
    """Times as flumine's own books give them, aware in UTC: compared with an aware datetime and flumine's
    clock, and read as POSIX timestamps (a naive time is off by the local offset). Lays the last runner
    listed once, in the five minutes before the scheduled off."""

    def trade(self, market, market_book):
        definition = market_book.market_definition
        if definition is None or market_book.publish_time < EPOCH:
            return
        now = datetime.datetime.now(datetime.timezone.utc)  # flumine's clock: the book's publish time
        to_off = definition.market_time.timestamp() - market_book.publish_time_epoch / 1000
        if now != market_book.publish_time or not 0 < to_off <= 300 or market.seconds_to_start > 300:
            return
        runner = market_book.runners[-1]
        context = self.get_runner_context(market.market_id, runner.selection_id, runner.handicap)
        if runner.status == "ACTIVE" and runner.ex.available_to_back and context.trade_count == 0:
            trade = Trade(market.market_id, runner.selection_id, runner.handicap, self)
            price = runner.ex.available_to_back[0]["price"]
            market.place_order(trade.create_order(side="LAY", order_type=LimitOrder(price, 2.0)))


def simulate(stream_class, paths, strategy_class=PriceTaker, stream_kwargs=None, **listener_kwargs):
    """(wall seconds of FlumineSimulation.run(), the (market, publish time) of every check_market_book
    call, the number of process_market_book calls, the orders placed) of one simulation."""
    framework = FlumineSimulation(client=clients.SimulatedClient())
    streams = [stream_class(path, listener_kwargs=listener_kwargs, **(stream_kwargs or {})) for path in paths]
    strategy = strategy_class(streams=streams, max_order_exposure=10, max_selection_exposure=20)
    framework.add_strategy(strategy)
    start = time.perf_counter()
    framework.run()
    elapsed = time.perf_counter() - start
    orders = sorted(
        (market.market_id, order.selection_id, order.handicap, order.side, order.order_type.price,
         order.order_type.size, order.status.value, order.size_matched, order.average_price_matched,
         round(order.profit, 9), order.date_time_created)
        for market in framework.markets for order in market.blotter)  # fmt: skip
    return elapsed, strategy.context.get("seen", []), strategy.context.get("calls", 0), orders
