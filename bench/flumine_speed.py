"""A flumine backtest on MarrowfinStream against flumine's own historical stream, run by hand.

One FlumineSimulation per side over the same files (the bundled sample and
the peer recordings that flumine's stream reads), with the same strategy:
pre-off it backs at the best lay, in play it lays at the best back. Prints the
best wall time of each side, alternating them, the ratio, and the orders each
placed (which must be the same).

    .venv/bin/python bench/flumine_speed.py [--runs 3] [FILE ...]
"""

import argparse
import logging
import os
import pathlib
import time
import warnings

from flumine import BaseStrategy, FlumineSimulation, clients
from flumine.order.ordertype import LimitOrder
from flumine.order.trade import Trade
from flumine.streams.betfairhistoricalstream import BetfairHistoricalStream

from marrowfin_tools import sample_path
from marrowfin_tools.flumine import MarrowfinStream

PEER = pathlib.Path(__file__).resolve().parents[2] / "shared" / "data" / "peer"
# flumine's stream cannot read a file without a definition, and ours replays
# one market per file.
UNREADABLE = ("README.md", "1.209492553", "streaming_mcm_SUB_IMAGE_no_market_def.json")


class PriceTaker(BaseStrategy):
    def check_market_book(self, market, market_book):
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


def simulate(stream_class, paths):
    framework = FlumineSimulation(client=clients.SimulatedClient())
    framework.add_strategy(PriceTaker(streams=[stream_class(p) for p in paths], max_order_exposure=10,
                                      max_selection_exposure=20))
    start = time.perf_counter()
    framework.run()
    elapsed = time.perf_counter() - start
    orders = sorted((m.market_id, o.selection_id, o.side, o.order_type.price, o.size_matched,
                     o.average_price_matched, round(o.profit, 9))
                    for m in framework.markets for o in m.blotter)
    return elapsed, orders


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("files", nargs="*")
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    paths = args.files or [sample_path()] + sorted(
        str(p) for p in PEER.glob("*") if p.name not in UNREADABLE and not p.name.endswith(".gz"))
    logging.disable(logging.WARNING)  # flumine logs every adjusted order
    warnings.filterwarnings("ignore", category=DeprecationWarning)
    best = {BetfairHistoricalStream: float("inf"), MarrowfinStream: float("inf")}
    placed = {}
    before = os.getloadavg()
    for _ in range(args.runs):
        for side in best:
            elapsed, placed[side] = simulate(side, paths)
            best[side] = min(best[side], elapsed)
    after = os.getloadavg()
    ours, theirs = placed[MarrowfinStream], placed[BetfairHistoricalStream]
    print(f"{len(paths)} files, best of {args.runs}, wall time of FlumineSimulation.run()")
    print(f"  flumine's historical stream  {best[BetfairHistoricalStream]:7.2f} s")
    print(f"  MarrowfinStream              {best[MarrowfinStream]:7.2f} s")
    print(f"  ratio                        {best[MarrowfinStream] / best[BetfairHistoricalStream]:7.2f}x")
    print(f"  orders: {len(ours)}, {sum(1 for o in ours if o[4])} matched; the same on both sides: "
          f"{ours == theirs}")
    print("  load average before %.2f %.2f %.2f, after %.2f %.2f %.2f" % (*before, *after))


if __name__ == "__main__":
    main()
