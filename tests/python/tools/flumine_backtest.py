"""The flumine backtest that tests/python/test_flumine.py and bench/flumine_speed.py
run on both streams: one deterministic strategy, the books it was shown and
the orders it placed."""

from __future__ import annotations

import time

from flumine import BaseStrategy, FlumineSimulation, clients
from flumine.order.ordertype import LimitOrder
from flumine.order.trade import Trade


class PriceTaker(BaseStrategy):
    """Pre-off: backs at the best lay, once per runner. In play: lays at the
    best back, once more. One live trade at a time, at prices up to 10."""

    def check_market_book(self, market, market_book):
        self.context.setdefault("seen", []).append(market_book.publish_time_epoch)
        return market_book.status == "OPEN"

    def process_market_book(self, market, market_book):
        for runner in market_book.runners:
            if runner.status != "ACTIVE":
                continue
            if market_book.inplay:
                side, ladder = "LAY", runner.ex.available_to_back
            else:
                side, ladder = "BACK", runner.ex.available_to_lay
            context = self.get_runner_context(market.market_id, runner.selection_id, runner.handicap)
            trades = 1 + market_book.inplay
            if not ladder or ladder[0]["price"] > 10 or context.trade_count >= trades or context.live_trade_count:
                continue
            trade = Trade(market_book.market_id, runner.selection_id, runner.handicap, self)
            market.place_order(trade.create_order(side=side, order_type=LimitOrder(ladder[0]["price"], 2.0)))


def simulate(stream_class, paths, **listener_kwargs):
    """(wall seconds of FlumineSimulation.run(), publish times the strategy
    saw, the orders it placed) for one simulation."""
    framework = FlumineSimulation(client=clients.SimulatedClient())
    strategy = PriceTaker(streams=[stream_class(path, listener_kwargs=listener_kwargs) for path in paths],
                          max_order_exposure=10, max_selection_exposure=20)
    framework.add_strategy(strategy)
    start = time.perf_counter()
    framework.run()
    elapsed = time.perf_counter() - start
    orders = sorted(
        (market.market_id, order.selection_id, order.handicap, order.side, order.order_type.price,
         order.order_type.size, order.status.value, order.size_matched, order.average_price_matched,
         round(order.profit, 9), order.date_time_created.replace(tzinfo=None))
        for market in framework.markets for order in market.blotter)  # fmt: skip
    return elapsed, strategy.context.get("seen", []), orders
