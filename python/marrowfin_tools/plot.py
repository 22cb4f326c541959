"""A chart of a recording: each runner's prices over time.

matplotlib is an optional extra (pip install 'marrowfin[plot]'); everything
but draw() works without it.
"""

from __future__ import annotations

import argparse
import dataclasses
import datetime as dt
import math
import os

import marrowfin

from .scratch import complete_file

NAN = math.nan
MISSING_MATPLOTLIB = "plots need matplotlib: pip install 'marrowfin[plot]'"


class PlotUnavailable(Exception):
    pass


def require() -> None:
    """Fails early, before a long replay, when the chart could not be drawn."""
    try:
        import matplotlib  # noqa: F401
    except ImportError as e:
        raise PlotUnavailable(MISSING_MATPLOTLIB) from e


def when(epoch_ms: int) -> dt.datetime:
    """Naive UTC, as the module's own times are."""
    return dt.datetime(1970, 1, 1) + dt.timedelta(milliseconds=epoch_ms)


@dataclasses.dataclass
class Series:
    """One runner's prices, one point per book in which the runner changed."""

    name: str
    times: list[int] = dataclasses.field(default_factory=list)
    ltp: list[float] = dataclasses.field(default_factory=list)
    back: list[float] = dataclasses.field(default_factory=list)
    lay: list[float] = dataclasses.field(default_factory=list)
    removed_at: int | None = None


@dataclasses.dataclass
class Chart:
    title: str
    series: list[Series]
    in_play: list[tuple[int, int]]  # (start, end) publish times


def collect(path: str) -> Chart:
    """Reads the prices to draw; unchanged runners cost one identity check a book."""
    series: dict[tuple[int, float], Series] = {}
    previous: dict[tuple[int, float], marrowfin.Runner] = {}
    in_play: list[tuple[int, int]] = []
    play_start = None
    last = None
    t = 0
    for book in marrowfin.iter_prices_file(str(path)):
        t = book.publish_time_epoch
        last = book
        # A settled market stays "in play"; the shading ends at its close.
        playing = book.inplay and book.status != "CLOSED"
        if playing and play_start is None:
            play_start = t
        elif not playing and play_start is not None:
            in_play.append((play_start, t))
            play_start = None
        for runner in book.runners:
            key = (runner.selection_id, runner.handicap)
            if previous.get(key) is runner:
                continue
            previous[key] = runner
            s = series.get(key)
            if s is None:
                s = series[key] = Series(str(runner.selection_id))
            if runner.status == "REMOVED":
                if s.removed_at is None:
                    s.removed_at = t
                price = back = lay = NAN
            else:
                price = runner.last_price_traded or NAN
                atb, atl = runner.ex.available_to_back, runner.ex.available_to_lay
                back = atb[0].price if atb else NAN
                lay = atl[0].price if atl else NAN
            s.times.append(t)
            s.ltp.append(price)
            s.back.append(back)
            s.lay.append(lay)
    if last is None:
        raise ValueError("no market in it")  # not an empty chart said to be written
    if play_start is not None:
        in_play.append((play_start, t))
    title = str(path)
    order = list(series)
    if last is not None:
        title = last.market_id
        definition = last.market_definition
        if definition is not None:
            title = " / ".join(x for x in (definition.event_name, definition.name) if x)
            title += f"  ({last.market_id})"
            names = {(r.selection_id, r.handicap): r for r in definition.runners}
            for key, s in series.items():
                entry = names.get(key)
                if entry is not None and entry.name:
                    s.name = entry.name
            rank = {key: r.sort_priority for key, r in names.items()}
            order.sort(key=lambda key: rank.get(key, 1 << 30))
        for runner in last.runners:
            s = series[(runner.selection_id, runner.handicap)]
            if runner.status == "WINNER":
                s.name += " (winner)"
        for s in series.values():
            s.times.append(t)  # hold the last values to the end of the file
            s.ltp.append(s.ltp[-1])
            s.back.append(s.back[-1])
            s.lay.append(s.lay[-1])
    return Chart(title, [series[key] for key in order], in_play)


def _last_finite(values: list[float]) -> float:
    for v in reversed(values):
        if not math.isnan(v):
            return v
    return NAN


FORMATS = (".png", ".svg", ".pdf")


def chart_name(out: str) -> str:
    """`out` when it names an image of a format drawn (argparse's type for
    a chart's path); matplotlib would otherwise add a suffix of its own."""
    if os.path.splitext(out)[1].lower() not in FORMATS:
        raise argparse.ArgumentTypeError(f"a chart is a .png, .svg or .pdf file: {out}")
    return out


def draw(chart: Chart, out: str) -> None:
    """Writes the chart as an image; the format follows the file name (PNG, SVG,
    PDF). The file appears once complete: a failure leaves one there as it was."""
    try:
        # No pyplot: a bare Figure leaves the caller's backend and figures alone.
        import matplotlib
        import matplotlib.dates as mdates
        from matplotlib.figure import Figure
        from matplotlib.lines import Line2D
        from matplotlib.patches import Patch
        from matplotlib.ticker import FuncFormatter, NullFormatter
    except ImportError as e:
        raise PlotUnavailable(MISSING_MATPLOTLIB) from e

    fig = Figure(figsize=(10, 5.2), dpi=100)
    ax = fig.subplots()
    palette = matplotlib.colormaps["tab10" if len(chart.series) <= 10 else "tab20"]
    for i, s in enumerate(chart.series):
        colour = palette(i % palette.N)
        times = mdates.date2num([when(t) for t in s.times])
        ax.fill_between(times, s.back, s.lay, step="post", color=colour, alpha=0.18,
                        linewidth=0)
        ax.step(times, s.ltp, where="post", color=colour, linewidth=1.2, label=s.name)
        if s.removed_at is not None:
            before = [v for t, v in zip(s.times, s.ltp) if t < s.removed_at]
            y = _last_finite(before) if before else NAN
            ax.plot([mdates.date2num(when(s.removed_at))], [y if not math.isnan(y) else 1000.0],
                    marker="X", markersize=9, color=colour, markeredgecolor="black",
                    linestyle="none")
    for start, end in chart.in_play:
        ax.axvspan(mdates.date2num(when(start)), mdates.date2num(when(end)), color="0.85",
                   zorder=0)
    ax.set_yscale("log")
    ax.set_ylim(1.0, 1000.0)
    ax.set_yticks([1.01, 1.5, 2, 3, 5, 10, 20, 50, 100, 1000])
    ax.yaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:g}"))
    ax.yaxis.set_minor_formatter(NullFormatter())
    locator = mdates.AutoDateLocator()
    ax.xaxis.set_major_locator(locator)
    ax.xaxis.set_major_formatter(mdates.ConciseDateFormatter(locator))
    ax.set_xlabel("publish time (UTC)")
    ax.set_ylabel("price: last traded, band best back to best lay")
    ax.set_title(chart.title, fontsize=11)
    ax.grid(True, which="major", color="0.9", linewidth=0.6)
    handles = ax.get_legend_handles_labels()[0]
    handles.append(Patch(color="0.85", label="in play"))
    if any(s.removed_at is not None for s in chart.series):
        handles.append(Line2D([], [], marker="X", color="0.4", linestyle="none",
                              markeredgecolor="black", label="removed"))
    ax.legend(handles=handles, loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize=8,
              frameon=False)
    fig.tight_layout()
    with complete_file(out) as sink:
        fig.savefig(sink, format=os.path.splitext(out)[1][1:].lower() or "png")
