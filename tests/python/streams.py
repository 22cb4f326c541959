"""Building small stream files for the tests."""

import json

import pytest

import marrowfin

MARKET = "1.100"
PT = 1700000000000  # 2023-11-14 22:13:20


def message(pt, *changes):
    return {"op": "mcm", "clk": "1", "pt": pt, "mc": list(changes)}


def change(market=MARKET, **fields):
    return {"id": market, **fields} if market is not None else dict(fields)


def runner(selection_id, **fields):
    return {"id": selection_id, **fields}


def definition(runners=(), **fields):
    return {"status": "OPEN", "version": 1, "runners": list(runners), **fields}


@pytest.fixture
def stream(write_lines):
    """Writes messages (dicts, or raw text lines) to a file; returns its path."""

    def write(*messages, name="stream.txt"):
        lines = [m if isinstance(m, str) else json.dumps(m) for m in messages]
        return write_lines(lines, name=name)

    return write


@pytest.fixture
def replay(stream):
    """Iterates over the messages and returns every book, in order."""

    def run(*messages):
        return list(marrowfin.iter_prices_file(stream(*messages)))

    return run
