"""Tools around the marrowfin module: the `marrowfin` command and many-file runs.

    from marrowfin_tools import Inputs, summarize, map_files
"""

from __future__ import annotations

import pathlib

from .distributed import FileResults, map_files
from .export import export_books, select_books
from .inputs import Inputs, Recording
from .summary import MarketSummary, RunnerSummary, summarize

__all__ = ["FileResults", "Inputs", "MarketSummary", "Recording", "RunnerSummary", "export_books",
           "map_files", "sample_path", "select_books", "summarize"]


def sample_path() -> pathlib.Path:
    """The bundled recording: one horse race, pre-play to settlement, with a removal."""
    return pathlib.Path(__file__).with_name("data") / "sample.json.gz"
