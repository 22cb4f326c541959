"""Tools around the marrowfin module: the `marrowfin` command, many-file runs,
market filters, price and runner tables for Arrow, Parquet, pandas, polars and
DuckDB, the books of every market of several recordings merged in time
order, and the catalogue of a store of recordings decoded once.

    from marrowfin_tools import Inputs, MarketFilter, summarize, map_files, price_table, runner_table
    from marrowfin_tools import catalog, market_books
    from marrowfin_tools.flumine import MarrowfinStream  # needs flumine
"""

from __future__ import annotations

import pathlib

from ._native import MarketBooks
from .books import market_books
from .distributed import FileResults, map_files
from .export import export_books, select_books
from .filters import Definition, MarketFilter, first_definition, keep_recording
from .inputs import Inputs, Recording
from .runners import RunnerTable, runner_table
from .store import catalog
from .summary import MarketSummary, RunnerSummary, summarize
from .table import PriceTable, price_table, write_dataset, write_parquet_files, write_table

__all__ = ["Definition", "FileResults", "Inputs", "MarketBooks", "MarketFilter", "MarketSummary", "PriceTable",
           "Recording", "RunnerSummary", "RunnerTable", "catalog", "export_books", "first_definition",
           "keep_recording", "map_files", "market_books", "price_table", "runner_table", "sample_path",
           "select_books", "summarize", "write_dataset", "write_parquet_files", "write_table"]


def sample_path() -> str:
    """The bundled recording's path: one horse race, pre-play to settlement, with a removal.

    A str, as marrowfin.iter_prices_file takes it.
    """
    return str(pathlib.Path(__file__).with_name("data") / "sample.json.gz")
