"""runner_table: every cell, for every market of a recording, against the
same table computed in Python from each market's own books."""

import bz2
import gzip
import io
import os
import pathlib
import pickle
import shutil
import subprocess
import sys

import pyarrow as pa
import pyarrow.csv
import pyarrow.parquet as pq
import pytest

from conftest import PT, change, definition, message, runner
from marrowfin_tools import RunnerTable, _native, runner_table, table
from table_rows import books_per_market, generated, runner_column_names, runner_rows_from_books
from tools_support import PEER_FILES, SAMPLE, load_threads, raw_lines, run
# A day before (no book yet), minutes before, and the market time itself.
BEFORE = (86400, 300, 60, 0)
START = "2021-03-30T16:20:00.000Z"
START_MS = 1617121200000


def crafted(write):
    """Where a fold could go wrong: a market time put back once passed, a publish time going back below a
    time once past it, the turn in play by a change of its own, a runner only in the closing book, an
    image, a market in play from its first book, one without runners, changes without an id, and a handicap
    that a later definition gives less round."""
    race = [runner(1, sortPriority=1, name="One"), runner(2, sortPriority=2, name="Two", hc=-1.5)]
    final = [runner(1, sortPriority=1, name="One", status="WINNER", bsp=2.9),
             runner(2, sortPriority=2, name="Two", hc=-1.501, status="LOSER", bsp=7)]  # the same runner to 1/100
    return write(
        message(START_MS - 400_000, change(img=True, marketDefinition=definition(race, marketTime=START,
                countryCode="AU"), rc=[runner(1, atb=[[3.0, 5]], trd=[[3.0, 10]], ltp=3.0)])),
        message(START_MS - 310_000, change(rc=[runner(1, atl=[[3.2, 7]], trd=[[3.0, 12], [3.1, 1]])])),
        message(START_MS - 290_000, change(rc=[runner(2, hc=-1.5, trd=[[6.0, 2]], ltp=6.0)])),
        message(START_MS - 305_000, change(rc=[runner(1, ltp=3.1)])),
        message(START_MS - 200_000, change(market="1.200", marketDefinition=definition([], inPlay=True))),
        message(START_MS - 100_000, change(marketDefinition=definition(race, marketTime="2021-03-30T16:25:00Z"))),
        message(START_MS - 50_000, change(market=None, rc=[runner(1, trd=[[3.0, 20], [2.8, 4]], ltp=2.8)])),
        message(START_MS + 5_000, change(inPlay=True, rc=[runner(1, trd=[[3.0, 25], [2.8, 4], [2.5, 9]])])),
        # Back below the final time less 300 s: the last book at or before it, in file order.
        message(START_MS - 1_000, change(rc=[runner(1, ltp=2.9, atb=[[2.9, 1]])])),
        message(START_MS + 6_000, change(rc=[runner(3, trd=[[1.5, 3]], spl=[[1.5, 2.0]], ltp=1.5)])),
        message(START_MS + 9_000, change(marketDefinition=definition(race, status="SUSPENDED", inPlay=True))),
        message(START_MS + 9_500, change(img=True, rc=[runner(1, trd=[[3.0, 1]]), runner(2, hc=-1.5)])),
        message(START_MS + 10_000, change(marketDefinition=definition(final, status="CLOSED"))),
        message(START_MS + 11_000, change(market="1.300", rc=[runner(5, trd=[[2.0, 1]])])),
        message(START_MS + 12_000, change(market="1.400", marketDefinition=definition([]))),
        # A book taken once past the time, then the time put before every book: there is none.
        message(START_MS + 15_000, change(market="1.600", marketDefinition=definition(
            race, marketTime="2021-03-30T16:20:16Z"), rc=[runner(1, ltp=5.0)])),
        message(START_MS + 17_000, change(market="1.600", rc=[runner(1, ltp=5.2)])),
        message(START_MS + 18_000, change(market="1.600", marketDefinition=definition(
            race, marketTime="2021-03-30T16:20:14Z"))),
        name="crafted.json")


def put_back(write):
    """A market time put back behind the latest book: a worker's fold, which reads as it goes, has let the book
    at the new time go, and reads the file again."""
    race = [runner(1, sortPriority=1, name="One"), runner(2, sortPriority=2, name="Two")]
    return write(
        message(START_MS + 13_000, change(marketDefinition=definition(race, marketTime=START),
                                          rc=[runner(1, ltp=4.0, trd=[[4.0, 1]])])),
        message(START_MS + 14_000, change(rc=[runner(1, ltp=4.2)])),
        message(START_MS + 15_000, change(marketDefinition=definition(race, marketTime="2021-03-30T16:20:13.500Z"))),
        message(START_MS + 16_000, change(rc=[runner(1, ltp=4.4)])),
        name="put_back.json")


# Generated races, by their options.
MADE = {"handicap": {"handicap": True}, "best offers": {"best_offers": True},
        "moving market time": {"market_time_moves": 6}, "no definition": {}}


@pytest.mark.parametrize("path", [SAMPLE, *MADE, "crafted", "put back"] + PEER_FILES, ids=os.path.basename)
def test_every_cell_is_the_one_computed_from_the_books(path, write, tmp_path):
    if path in ("crafted", "put back"):
        path = crafted(write) if path == "crafted" else put_back(write)
    elif path in MADE:
        options = MADE[path]
        path = generated(tmp_path / "race.json.gz", size_mb=0.3, seed=11, **options)
        if not options:  # every definition taken out of the changes
            lines = raw_lines(path)
            for each in (c for line in lines for c in line["mc"]):
                each.pop("marketDefinition", None)
            path = write(*lines)
    t = runner_table(path, before=BEFORE)
    got = pa.table(t)
    assert got.column_names == runner_column_names(BEFORE)
    rows = []
    for books in books_per_market(path).values():
        rows += runner_rows_from_books(books, BEFORE)
    expected = pa.table(dict(zip(got.column_names, zip(*rows))), schema=got.schema)
    assert got.equals(expected)  # floats to the bit, nulls as nulls
    with load_threads(1):  # as a worker: folded as it is read, on from a filter's read or not
        assert pa.table(runner_table(path, before=BEFORE)).equals(got)
        assert pa.table(_native.runner_table([path], BEFORE, lambda fields: True)).equals(got)
    assert (t.rows, t.markets) == (got.num_rows, len(set(got["market_id"].to_pylist())))
    # As a worker hands it to the command: every cell and null through a pickle.
    back = pickle.loads(pickle.dumps(t))
    assert (back.rows, back.markets, back.before) == (t.rows, t.markets, BEFORE)
    assert pa.table(back).equals(got)


class TestArguments:
    def test_the_table_and_its_schema(self):
        t = runner_table([], before=[30, 0])
        assert repr(t) == "<RunnerTable of 0 markets, 0 rows, before=(30, 0)>"
        assert pa.schema(t) == pa.table(t).schema and pa.table(t).num_rows == 0
        with pytest.raises(TypeError, match="No constructor defined for RunnerTable"):
            RunnerTable()

    def test_a_state_cut_short_or_altered_is_refused_or_read_whole(self, write):
        state = runner_table(crafted(write), before=(60,)).__reduce__()[1][0]
        for end in range(len(state)):
            with pytest.raises(ValueError, match="^not a runner table's state$"):
                _native._runner_table_from_state(state[:end])
        for bad in (state + b"\0", state.replace(b" 1 ", b" 2 ", 1)):
            with pytest.raises(ValueError, match="^not a runner table's state$"):
                _native._runner_table_from_state(bad)
        # Any byte changed: a table that reads whole, or a ValueError; never a crash.
        for at in range(0, len(state), 7):
            altered = state[:at] + bytes([state[at] ^ 0x81]) + state[at + 1:]
            try:
                table = _native._runner_table_from_state(altered)
            except ValueError as e:
                assert str(e) == "not a runner table's state"
            else:
                pa.table(table).validate(full=True)  # texts still UTF-8
        with pytest.raises(TypeError, match="argument 'state' must be bytes, not str"):
            _native._runner_table_from_state("state")

    def test_a_forged_count_asks_for_no_more_memory_than_its_state_could_fill(self):
        # A million markets, then a million rows, each hundreds of bytes once
        # read, claimed by states of 1 MB of zeros: refused before anything is made.
        code = ("import resource, sys; from marrowfin_tools import _native\n"
                "empty = _native.runner_table([], ()).__reduce__()[1][0]\n"
                "header, million = empty[:-24], (10**6).to_bytes(8, sys.byteorder)\n"
                "for counts in (bytes(8) + million, bytes(16) + million):\n"
                "    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss\n"
                "    try: _native._runner_table_from_state(header + counts + bytes(10**6))\n"
                "    except ValueError as e: print(e)\n"
                "    print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before < 50_000)\n")
        done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
        assert done.stdout.splitlines() == ["not a runner table's state", "True"] * 2, done.stderr

    @pytest.mark.parametrize("paths, before, error, text", [
        ([SAMPLE], [60, 60], ValueError, "before holds 60 twice"),
        ([SAMPLE], [-1], ValueError, "before must be in 0..1099511627776, got -1"),
        ([SAMPLE], [2**70], ValueError, f"before must be in 0..1099511627776, got {2**70}"),
        ([SAMPLE], [1.5], TypeError, "runner_table() argument 'before' must hold int, not float"),
        ([SAMPLE], 60, TypeError, "runner_table() argument 'before' must be an iterable of int, not int"),
        ([SAMPLE, "missing.json"], (), ValueError, "missing.json: No such file or directory (os error 2)"),
    ])
    def test_bad_arguments_and_files(self, paths, before, error, text):
        with pytest.raises(error) as raised:
            runner_table(paths, before=before)
        assert str(raised.value) == text


class TestCommand:
    @pytest.mark.parametrize("jobs", ["1", "2"])
    def test_parquet_and_csv_of_every_recording_with_failures_and_filters(self, capsys, write, tmp_path, jobs):
        other, bad = crafted(write), write("{]", name="bad.json")
        nothing = write(message(PT, change(market=None, rc=[runner(1)])), name="nothing.json")
        paths = [SAMPLE, bad, other, nothing, str(tmp_path / "missing.json")]
        expected = pa.table(runner_table([SAMPLE, other], before=(60, 0)))
        status, out, err = run(capsys, "runners", *paths, "--before", "60,0", "-o", f"{tmp_path}/r.parquet",
                                    "--jobs", jobs)
        assert (status, out) == (1, "")
        assert err == [f"marrowfin: {bad}: key must be a string at line 1 column 2",
                       f"marrowfin: {nothing}: no market in it",
                       f"marrowfin: {paths[4]}: No such file or directory (os error 2)",
                       f"17 rows of 6 markets written to {tmp_path}/r.parquet",
                       "marrowfin: 2 of 5 files failed"]
        assert pq.read_table(tmp_path / "r.parquet").equals(expected)
        assert pq.ParquetFile(tmp_path / "r.parquet").metadata.num_row_groups == 1

        status, out, err = run(capsys, "runners", SAMPLE, other, "--country", "au,NZ", "--market-time-from",
                               "2021-03-30", "--market-time-to", "2021-03-30", "--jobs", jobs)  # CSV on stdout
        assert status == 0 and err == ["7 rows of 5 markets written to -", "marrowfin: 1 recording filtered out"]
        assert out.splitlines()[0] == ",".join(f'"{name}"' for name in runner_column_names())
        assert pyarrow.csv.read_csv(io.BytesIO(out.encode()))["selection_id"].to_pylist() == [1, 2, None, 5, None, 1, 2]

    @pytest.mark.parametrize("hidden", ["pyarrow", "pyarrow.parquet"], ids=["missing", "failing"])
    def test_without_pyarrow_it_says_what_to_install_and_writes_nothing(self, tmp_path, hidden):
        # A worker still makes its rows and sends them: only the command's process needs pyarrow.
        code = (f"import pickle, sys; sys.modules[{hidden!r}] = None\n"
                "from marrowfin_tools import cli, runners\n"
                "t = pickle.loads(pickle.dumps(runners.recording_rows(sys.argv[2], (60,))))\n"
                "assert (t.rows, t.before) == (10, (60,)), t\n"
                "sys.exit(cli.command())\n")
        done = subprocess.run([sys.executable, "-c", code, "runners", SAMPLE, SAMPLE, "--jobs", "2", "-o",
                               str(tmp_path / "r.csv")], capture_output=True, text=True)
        assert (done.returncode, done.stderr) == (1, f"marrowfin: {table.MISSING_PYARROW}\n")
        assert list(tmp_path.iterdir()) == []

    def test_an_unwritable_output_fails_first_and_an_earlier_one_stays_if_none_is_read(self, capsys, write, tmp_path):
        (out := tmp_path / "r.csv").write_text("earlier")
        bad, missing = write("{]", name="bad.json"), tmp_path / "missing.json"
        # One that cannot be written fails before any recording loads.
        unwritable = tmp_path / "missing" / "r.parquet"
        assert run(capsys, "runners", bad, "-o", unwritable) == (
            1, "", [f"marrowfin: {unwritable}: No such file or directory"])
        status, _, err = run(capsys, "runners", bad, missing, "-o", out)
        assert (status, err[2:]) == (1, [f"marrowfin: {out}: not written, as no recording could be read",
                                         "marrowfin: 2 of 2 files failed"])
        assert out.read_text() == "earlier" and sorted(p.name for p in tmp_path.iterdir()) == ["bad.json", "r.csv"]
        (empty := tmp_path / "empty").mkdir()
        assert run(capsys, "runners", empty, "-o", out) == (
            1, "", [f"marrowfin: {out}: not written, as no recording was found"])
        assert out.read_text() == "earlier"
        empty.rmdir()
        # Filtered out, nothing failed: an empty table is the answer.
        assert run(capsys, "runners", SAMPLE, "--country", "AU", "-o", out)[0] == 0
        assert pyarrow.csv.read_csv(out).num_rows == 0
        # Written into the folder it reads: its file in the making is no input, nor a file skipped.
        (folder := tmp_path / "in").mkdir()
        shutil.copy(SAMPLE, folder)
        assert run(capsys, "runners", folder, "-o", folder / "r.csv") == (
            0, "", [f"10 rows of 1 market written to {folder}/r.csv"])


def test_recordings_one_after_another_loaded_on_one_thread_as_workers_do_or_on_many(tmp_path, write):
    packed = tmp_path / "race.bz2"
    packed.write_bytes(bz2.compress(gzip.decompress(pathlib.Path(SAMPLE).read_bytes()), 1))  # 100 kB blocks
    (tmp_path / "empty").mkdir()
    paths = [packed, tmp_path / "empty", crafted(write)]
    alone = pa.concat_tables([pa.table(runner_table(p, before=BEFORE)) for p in paths[::2]])
    assert _native.set_load_threads(1) == 0
    try:
        assert pa.table(runner_table(paths, before=BEFORE)).equals(alone)
    finally:
        assert _native.set_load_threads(0) == 1
    for bad, error in ((-1, ValueError), (1025, ValueError), (1.0, TypeError), (True, TypeError)):
        with pytest.raises(error):
            _native.set_load_threads(bad)
