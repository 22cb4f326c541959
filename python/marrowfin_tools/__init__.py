"""Tools around the marrowfin module: the `marrowfin` command and many-file runs.

    from marrowfin_tools import summarize, map_files
    from marrowfin_tools.flumine import MarrowfinStream  # needs flumine
"""

from __future__ import annotations

import pathlib

from .distributed import FileResults, map_files
from .export import export_books, select_books
from .summary import MarketSummary, RunnerSummary, summarize

__all__ = ["FileResults", "MarketSummary", "RunnerSummary", "export_books", "map_files",
           "sample_path", "select_books", "summarize"]


def sample_path() -> str:
    """The bundled recording's path: one horse race, pre-play to settlement, with a removal.

    A str, as marrowfin.iter_prices_file takes it.
    """
    return str(pathlib.Path(__file__).with_name("data") / "sample.json.gz")
