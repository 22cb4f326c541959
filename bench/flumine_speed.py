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
import sys
import warnings

from flumine.streams.betfairhistoricalstream import BetfairHistoricalStream

from marrowfin_tools import sample_path
from marrowfin_tools.flumine import MarrowfinStream

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path[:0] = [str(ROOT / "tests" / "python"), str(ROOT / "tests" / "python" / "tools")]
from flumine_backtest import simulate  # noqa: E402

PEER = ROOT.parent / "shared" / "data" / "peer"
# flumine's stream cannot read a market without a definition.
UNREADABLE = ("README.md", "1.209492553", "streaming_mcm_SUB_IMAGE_no_market_def.json")


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
            elapsed, _, _, placed[side] = simulate(side, paths)
            best[side] = min(best[side], elapsed)
    after = os.getloadavg()
    ours, theirs = placed[MarrowfinStream], placed[BetfairHistoricalStream]
    print(f"{len(paths)} files, best of {args.runs}, wall time of FlumineSimulation.run()")
    print(f"  flumine's historical stream  {best[BetfairHistoricalStream]:7.2f} s")
    print(f"  MarrowfinStream              {best[MarrowfinStream]:7.2f} s")
    print(f"  ratio                        {best[MarrowfinStream] / best[BetfairHistoricalStream]:7.2f}x")
    print(f"  orders: {len(ours)}, {sum(1 for o in ours if o[7])} matched; the same on both sides: "
          f"{ours == theirs}")
    print("  load average before %.2f %.2f %.2f, after %.2f %.2f %.2f" % (*before, *after))


if __name__ == "__main__":
    main()
