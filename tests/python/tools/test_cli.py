"""The marrowfin command: summaries, charts, exports, many files, signals."""

import contextlib
import fcntl
import glob
import importlib.metadata
import json
import os
import pathlib
import pty
import re
import select
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import threading
import time

import pytest

import marrowfin
from conftest import KEPT, change, definition, draws_charts, message, runner
from marrowfin_tools import batch, cli, plot, table
from tools_support import SAMPLE, raw_lines, run, text_lines, usage_error


def summaries(capsys, *paths, jobs=1):
    status, out, err = run(capsys, "summary", "--json", "--no-plot", f"--jobs={jobs}", *paths)
    return status, [json.loads(line) for line in out.splitlines()], err


def test_summary_of_a_race_keeps_the_traded_volume_that_the_close_zeroes(capsys, write):
    race = [runner(1, sortPriority=1, name="One"), runner(2, sortPriority=2)]
    won = [runner(1, sortPriority=1, name="One", status="WINNER", bsp=2.9), runner(2, sortPriority=2, status="LOSER")]
    ayr = dict(eventTypeId="7", countryCode="GB", venue="Ayr", marketType="WIN", inPlay=True)
    path = write(
        message(1000, change("1.5", marketDefinition=definition(race, **{**ayr, "inPlay": False}),
                             rc=[runner(1, tv=30.5), runner(2, trd=[[2.0, 4], [3.0, 6]])])),
        message(2000, change("1.5", marketDefinition=definition(race, **ayr), rc=[runner(1, tv=80.25, ltp=2.5)])),
        message(3000, change("1.5", marketDefinition=definition(won, status="CLOSED", **ayr),
                             rc=[runner(1, tv=0), runner(2, trd=[[2.0, 0], [3.0, 0]])])))
    status, (got,), _ = summaries(capsys, path)
    assert status == 0 and got.pop("path") == path
    each = {"handicap": 0.0, "removal_date": None}
    assert got == {
        "market_id": "1.5", "event_type_id": "7", "country_code": "GB", "venue": "Ayr", "event_name": None,
        "market_name": None, "market_type": "WIN", "market_time": None, "books": 3,
        "first_publish_time": "1970-01-01T00:00:01.000Z", "last_publish_time": "1970-01-01T00:00:03.000Z",
        "in_play_time": "1970-01-01T00:00:02.000Z", "status": "CLOSED", "runners": [
            {**each, "selection_id": 1, "name": "One", "status": "WINNER", "bsp": 2.9, "last_price_traded": 2.5,
             "traded_volume": 80.25, "winner": True},
            {**each, "selection_id": 2, "name": None, "status": "LOSER", "bsp": None, "last_price_traded": None,
             "traded_volume": 10.0, "winner": False}]}
    status, out, _ = run(capsys, "summary", "--no-plot", path)
    assert "  event type    7  country GB  venue Ayr\n" in out
    assert out.splitlines()[-4:-1] == ["  runner  status  bsp  ltp  max traded  winner",
                                        "  One     WINNER  2.9  2.5       80.25  yes",
                                        "  2       LOSER     -    -       10.00"]


@draws_charts
def test_charts(capsys, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    status, out, err = run(capsys, "summary")  # the sample, with its chart
    assert status == 0 and err == [f"chart written to {tmp_path / cli.SAMPLE_CHART}"]
    assert out.startswith(SAMPLE + "\n  market        1.168570499  WIN\n")
    assert "  Panther Manor     WINNER    2.35   1.02   13,310.10  yes\n" in out
    assert run(capsys, "plot", SAMPLE, "-o", "chart.png")[:2] == (0, "")
    for chart in (cli.SAMPLE_CHART, "chart.png"):
        assert (tmp_path / chart).read_bytes().startswith(b"\x89PNG")


@pytest.fixture
def bad_files(tmp_path):
    (tmp_path / "bad.json").write_text('{"op":"mcm","pt":1,"mc":[}\n')
    return {str(tmp_path / "missing.json"): "No such file or directory (os error 2)",
            str(tmp_path / "bad.json"): "expected value at line 1 column 26"}


class TestBadInput:
    @pytest.mark.parametrize("jobs", [1, 0])  # 0: one per core
    def test_each_bad_file_is_one_line_and_the_rest_go_on(self, capsys, bad_files, jobs):
        status, got, err = summaries(capsys, SAMPLE, *bad_files, SAMPLE, jobs=jobs)
        assert status == 1 and len(got) == 2 and got[0] == got[1]
        assert err == [f"marrowfin: {p}: {text}" for p, text in bad_files.items()] + [
            "marrowfin: 2 of 4 files failed"]

    @pytest.mark.parametrize("command", [["export", "-o", "out.jsonl"], ["plot", "-o", "out.png"]])
    def test_single_file_commands(self, capsys, bad_files, command, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        path, text = next(iter(bad_files.items()))
        assert run(capsys, command[0], path, *command[1:]) == (1, "", [f"marrowfin: {path}: {text}"])
        assert not (tmp_path / command[2]).exists() and not list(tmp_path.glob(".marrowfin-*"))
        target = str(tmp_path / "no" / "such" / "dir.jsonl")
        status, _, err = run(capsys, "export", SAMPLE, "-o", target)
        assert (status, err) == (1, [f"marrowfin: {target}: No such file or directory"])

    @pytest.mark.parametrize("fmt", ["jsonl", "parquet"])
    def test_a_load_without_memory_is_one_line(self, capsys, tmp_path, monkeypatch, fmt):
        def no_memory(*args):
            raise MemoryError("cannot allocate 8 GiB")

        monkeypatch.setattr(marrowfin, "iter_prices_file", no_memory)
        monkeypatch.setattr(table, "price_table", no_memory)
        out = str(tmp_path / f"out.{fmt}")
        assert run(capsys, "export", SAMPLE, "--format", fmt, "-o", out) == (
            1, "", [f"marrowfin: {SAMPLE}: MemoryError: cannot allocate 8 GiB"])
        assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("args, text", [
    ([], "the following arguments are required: COMMAND"),
    (["summary", "--bogus"], "unrecognized arguments: --bogus"),
    (["summary", "--plot", "c.png", SAMPLE, SAMPLE], "--plot takes one file"),
    (["plot", SAMPLE, "-o", "chart"], "argument -o/--output: a chart is a .png, .svg or .pdf file: chart"),
    (["summary", "--files-from", "/nonexistent/list"], "--files-from /nonexistent/list: No such file or directory"),
    (["export", SAMPLE, "-o", "x", "--every", "0"], "argument --every: must be at least 1: 0"),
    (["export", SAMPLE, "--depth", "2"], "--depth and --every-book shape the table of --format parquet or csv"),
    (["export", SAMPLE, "--format", "csv", "--runner", "3"], "--every and --runner select books for --format jsonl"),
    (["export", SAMPLE, "--format", "parquet", "--every", "2"], "--every and --runner select books for --format jsonl"),
    (["export", SAMPLE, "--format", "csv", "--depth", "11"], "argument --depth: must be 0 to 10: 11"),
    (["export", SAMPLE, "--format", "xml"],
     "argument --format: invalid choice: 'xml' (choose from 'jsonl', 'parquet', 'csv')"),
    (["export", SAMPLE, "--format", "parquet", "-o", "-"], "Parquet goes to a file or a directory, not to stdout"),
    (["export", SAMPLE, SAMPLE, "-o", "x.jsonl"], "several files need an output directory: -o DIR/"),
    (["export", SAMPLE, "{other}", "--format", "csv", "-o", "out/"], "{sample} and {other} would both write sample.csv"),
    (["export", SAMPLE, "{other}", "--format", "parquet", "-o", "out/"], "{sample} and {other} would both write sample"),
    (["runners", SAMPLE, "-o", "r.txt"], "-o takes a .csv or .parquet file, or - for CSV on stdout"),
    (["runners", SAMPLE, "{input}", "-o", "{input}"], "{input} is an input"),
    (["runners", SAMPLE, "-o", "{folder}"], "{folder} is a folder"),
    (["runners", "--files-from", "/dev/null"], "--files-from /dev/null names no file"),
    (["runners", SAMPLE, "--before", "60,60"], "argument --before: distinct seconds of 0 to 1099511627776: 60,60"),
    (["runners", SAMPLE, "--before", "0,1099511627777"],
     "argument --before: distinct seconds of 0 to 1099511627776: 0,1099511627777"),
    (["runners", SAMPLE, "--venue", "Ayr", "--venue", " , "], "argument --venue: no value in ' , '"),
    (["runners", SAMPLE, "--before", "1.5"], "argument --before: whole seconds, comma-separated: 1.5"),
    (["runners", SAMPLE, "--market-time-to", "soon"], "argument --market-time-to: not an ISO 8601 date or time: soon"),
])  # fmt: skip
def test_usage_errors_write_nothing(capsys, tmp_path, monkeypatch, args, text):
    monkeypatch.chdir(tmp_path)
    other = tmp_path / "other" / "sample.json.gz"  # named as the sample
    other.parent.mkdir()
    shutil.copy(SAMPLE, other)
    named = tmp_path / "race.csv"  # a recording, whatever its name
    named.symlink_to(SAMPLE)
    err = usage_error(capsys, *(a.format(other=other, input=named, folder=other.parent) for a in args))
    text = text.format(sample=SAMPLE, other=other, input=named, folder=other.parent)
    assert err.startswith("usage: marrowfin") and err.endswith(f"error: {text}\n")
    assert sorted(tmp_path.iterdir()) == [other.parent, named]


def exit_on_x(path):
    if path == "x":
        os._exit(3)
    return path


def wait_for_those_behind(path):
    """The head waits (a minute at most) until 12 recordings behind it are done, each leaving a mark."""
    folder, name = os.path.split(path)
    if name != "head":
        open(path, "w").close()
        return name
    deadline = time.monotonic() + 60
    while len(os.listdir(folder)) < 12 and time.monotonic() < deadline:
        time.sleep(0.01)
    return len(os.listdir(folder))


class TestManyFiles:
    def test_progress_counts_files_and_books(self, capsys):
        status, _, err = run(capsys, "summary", "--progress", "--jobs=2", SAMPLE, SAMPLE)
        books = 2 * len(marrowfin.iter_prices_file(SAMPLE))
        assert status == 0 and f"] 2/2 files, {books:,} books  " in err[-1]

    def test_progress_on_a_terminal_that_tells_no_size(self):
        main, secondary = pty.openpty()  # 0 columns by 0 rows until someone sets them
        with os.fdopen(secondary, "w") as terminal:
            progress = batch.Progress(2, terminal)
            progress.add_books(7)
            progress.file_done(True)
            progress.clear()
            progress.file_done(False)
            progress.close()
            assert (progress.files, progress.total, progress.books, progress.failed) == (2, 2, 7, 1)
            drawn = b""  # a terminal passes output on some time after it was written
            while not drawn.endswith(b"\n") and select.select([main], [], [], 10)[0]:
                drawn += os.read(main, 1 << 16)
        os.close(main)
        assert re.search(r"\] 2/2 files, 7 books, 1 failed  \d\d:\d\d$", drawn.decode().split("\r")[-2])

    def test_a_file_that_kills_its_worker_is_reported_alone(self):
        # More files than are in flight: some are handed out after the pool broke.
        others = list("bcdefghijk")
        outcomes = list(batch.run_files(exit_on_x, ["a", "x", *others], jobs=2))
        assert outcomes == [("a", True, "a"), ("x", False, "the worker process replaying it died"),
                            *[(name, True, name) for name in others]]

    def test_a_slow_recording_leaves_no_worker_idle_and_outcomes_keep_their_order(self, tmp_path, monkeypatch):
        # Each recording behind the head is done before the next is handed
        # out, as on a busy machine: the run must not then wait on the head alone.
        submit = batch._submit

        def submitted_and_done(pool, func, recording, *rest):
            future = submit(pool, func, recording, *rest)
            if not recording.name.endswith("head"):
                future.exception()
            return future

        monkeypatch.setattr(batch, "_submit", submitted_and_done)
        paths = [str(tmp_path / name) for name in ["head", *map(str, range(14))]]
        values = [o.value for o in batch.run_files(wait_for_those_behind, paths, jobs=2)]
        assert values[0] >= 12 and values[1:] == list(map(str, range(14)))

    def test_a_worker_between_recordings_ends_on_a_stop_signal(self):
        # Raised where the pool's own code runs (it catches BaseException), a
        # stop would leave the worker alive with its stop signals ignored.
        done = subprocess.run([sys.executable, "-c", BETWEEN_RECORDINGS, SAMPLE], capture_output=True, text=True)
        assert (done.returncode, done.stdout) == (-signal.SIGTERM, "True\n")


BETWEEN_RECORDINGS = """
import os, signal, sys, time
from marrowfin_tools import Inputs, batch
batch._worker_started(os.getppid())
recording = next(iter(Inputs([sys.argv[1]])))
print(batch._in_worker(lambda path: signal.getsignal(signal.SIGTERM) is not signal.SIG_DFL, recording, False).value)
os.kill(os.getpid(), signal.SIGTERM)
time.sleep(30)
"""


def readers(paths):
    """The ids of the other processes that hold one of `paths` open."""
    wanted, found = {str(path) for path in paths}, set()
    for fd in glob.glob("/proc/[0-9]*/fd/*"):
        with contextlib.suppress(OSError):  # gone meanwhile
            if os.readlink(fd) in wanted:
                found.add(int(fd.split("/")[2]))
    return found - {os.getpid()}


def wait_for(condition, seconds=30):
    end = time.monotonic() + seconds
    while not condition() and time.monotonic() < end:
        time.sleep(0.05)
    return condition()


@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGHUP, signal.SIGKILL], ids=["TERM", "HUP", "KILL"])
def test_a_signal_to_the_command_ends_its_workers(tmp_path, monkeypatch, request, signum):
    """Each worker is held reading a pipe; after the signal no process reads them, and nothing is left of the
    outputs or the copies. What a kill leaves anyway, the next run removes, and nothing of a run going on."""
    pipes = [tmp_path / "a.json", tmp_path / "b.json"]
    # The workers' socket is made in the temporary folder, and a socket's path is short: not under tmp_path.
    out, temp = tmp_path / "out", pathlib.Path(tempfile.mkdtemp(prefix="mf-"))
    request.addfinalizer(lambda: shutil.rmtree(temp))
    writers = []
    for pipe in pipes:
        os.mkfifo(pipe)
        writers.append(os.open(pipe, os.O_RDWR))  # so that a reader waits for more
        os.write(writers[-1], (KEPT + "\n").encode())
    with open(tmp_path / "err", "w") as err:
        command = subprocess.Popen([pathlib.Path(sys.executable).with_name("marrowfin"), "export", *map(str, pipes),
                                    "--jobs", "2", "-o", f"{out}/"], env={**os.environ, "TMPDIR": str(temp)}, stderr=err)
    try:
        assert wait_for(lambda: len(readers(pipes)) == 2)
        command.send_signal(signum)
        assert command.wait(60) == (-signum if signum == signal.SIGKILL else 128 + signum)
        # A killed command's workers remove their copies after they let go of the pipes.
        assert wait_for(lambda: not readers(pipes) and not list(temp.glob("marrowfin-*")))
    finally:
        command.kill()
        for fd in writers:
            os.close(fd)
    assert list(out.iterdir()) == [] and list(temp.glob("marrowfin-*")) == []
    if signum != signal.SIGKILL:
        assert (tmp_path / "err").read_text() == ""
    # What a kill would leave, what a run going on holds, and the user's own, named alike.
    (out / ".marrowfin-leftover.part").write_text("half")
    (out / ".marrowfin-settings").mkdir()
    for name in ("marrowfin-copy-leftover.part", "marrowfin-copy-heldopen.part", "marrowfin-copy-mine"):
        (temp / name).mkdir()
        (temp / name / "race.json").write_text("half")
    held = os.open(temp / "marrowfin-copy-heldopen.part", os.O_RDONLY)
    fcntl.flock(held, fcntl.LOCK_EX)
    monkeypatch.setattr(tempfile, "tempdir", str(temp))
    (tmp_path / "race.json").write_text(KEPT + "\n")
    try:
        assert cli.main(["export", str(tmp_path / "race.json"), "-o", f"{out}/"]) == 0
    finally:
        os.close(held)
    assert sorted(p.name for p in out.iterdir()) == [".marrowfin-settings", "race.jsonl"]
    assert sorted(p.name for p in temp.glob("marrowfin-*")) == ["marrowfin-copy-heldopen.part", "marrowfin-copy-mine"]


class TestExport:
    @pytest.fixture
    def head(self, tmp_path):
        """The sample's first 400 lines: an export of every book is big."""
        (tmp_path / "head.json").write_text("".join(line + "\n" for line in text_lines(SAMPLE)[:400]))
        return str(tmp_path / "head.json")

    def export(self, capsys, path, *options):
        out = pathlib.Path(path).with_name("books.jsonl")
        status, _, err = run(capsys, "export", path, "-o", str(out), *options)
        lines = [json.loads(line) for line in out.read_text().splitlines()]
        assert (status, err) == (0, [f"{len(lines):,} books written to {out}"])
        umask = os.umask(0)
        os.umask(umask)
        assert out.stat().st_mode & 0o777 == 0o666 & ~umask
        return lines

    def test_every_nth_book_and_books_where_a_runner_changed(self, capsys, head):
        books = [b.to_dict() for b in marrowfin.iter_prices_file(head)]
        assert self.export(capsys, head) == books and self.export(capsys, head, "--every", "7") == books[::7]
        lines = raw_lines(head)
        selection = lines[0]["mc"][0]["rc"][3]["id"]
        got = self.export(capsys, head, "--runner", str(selection))
        # Between two bounds: every book where the runner's values differ, and
        # no book whose line neither mentions it nor carries a definition.
        def runner(book):
            return next(r for r in book["runners"] if r["selectionId"] == selection)
        differs = {b["publishTime"] for prev, b in zip([None] + books, books)
                   if prev is None or runner(prev) != runner(b)}
        mentioned = {line["pt"] for line in lines for mc in line["mc"]
                     if "marketDefinition" in mc or any(rc["id"] == selection for rc in mc.get("rc", []))}
        times = {b["publishTime"] for b in got}
        assert len(times) == len(got) and differs <= times <= mentioned and len(differs) < len(books) / 2

    def test_the_installed_command_ends_quietly_where_its_reader_stops(self):
        command = pathlib.Path(sys.executable).with_name("marrowfin")
        # marrowfin export ... -o - | head -n 1, with head exiting long before the export is written.
        writer = subprocess.Popen([command, "export", SAMPLE, "-o", "-"], stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE)
        head = subprocess.Popen(["head", "-n", "1"], stdin=writer.stdout, stdout=subprocess.PIPE)
        writer.stdout.close()  # head holds the only reading end now
        first = head.communicate()[0]
        err = writer.stderr.read()
        writer.stderr.close()
        assert (writer.wait(), err) == (cli.EXIT_BROKEN_PIPE, b"")
        assert json.loads(first)["publishTime"] == raw_lines(SAMPLE)[0]["pt"]


def test_a_hang_up_and_a_term_at_once_stop_quietly(monkeypatch):
    """The first stops the block; the second, already pending then, is no
    race to report (as when a terminal closes on a command's workers)."""
    assert threading.current_thread() is threading.main_thread()  # else the signals would end the run
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    both = [signal.SIGHUP, signal.SIGTERM]
    with pytest.raises(batch.Stopped) as stopped, batch.stopped_by_signals():
        signal.pthread_sigmask(signal.SIG_BLOCK, both)
        try:
            for signum in both:  # pending on this thread, both, until unblocked
                signal.pthread_kill(threading.get_ident(), signum)
        finally:
            signal.pthread_sigmask(signal.SIG_UNBLOCK, both)
        time.sleep(0.1)  # the handlers run here
    races = [u for u in unraisable if "race condition" in str(u.exc_value)]
    assert stopped.value.signum == signal.SIGHUP and races == []


@draws_charts
@pytest.mark.parametrize("command", [["plot", "{}", "-o"], ["summary", "{}", "--plot"]], ids=["plot", "summary"])
@pytest.mark.parametrize("recording, chart, text", [
    (SAMPLE, "nowhere/c.png", "nowhere/c.png: No such file or directory"),  # not the temporary's name
    ("beat.json", "c.png", "beat.json: no market in it"),  # not an empty chart said to be written
])
def test_a_chart_not_drawn_says_why_and_leaves_an_earlier_one(capsys, tmp_path, monkeypatch, command, recording,
                                                             chart, text):
    monkeypatch.chdir(tmp_path)
    pathlib.Path("beat.json").write_text('{"op":"mcm","id":1,"clk":"A","pt":1700000000000,"ct":"HEARTBEAT"}\n')
    pathlib.Path("c.png").write_bytes(b"an earlier chart")
    status, _, err = run(capsys, *[part.format(recording) for part in command], chart)
    assert (status, err[-1]) == (1, f"marrowfin: {text}")
    assert pathlib.Path("c.png").read_bytes() == b"an earlier chart"


def test_plot_without_matplotlib(capsys, tmp_path, monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    monkeypatch.chdir(tmp_path)
    message = f"marrowfin: {plot.MISSING_MATPLOTLIB}"
    assert run(capsys, "plot", SAMPLE, "-o", "c.png") == (1, "", [message])
    status, out, err = run(capsys, "summary")
    assert (status, err) == (0, [f"marrowfin: no chart: {plot.MISSING_MATPLOTLIB}"]) and "WINNER" in out
    assert run(capsys, "summary", "--plot", "c.png", SAMPLE)[::2] == (1, [message])
    assert not list(tmp_path.iterdir())


@pytest.mark.parametrize("command, name", [("export", "out.jsonl"), ("runners", "out.csv")])
def test_a_pipe_or_a_device_at_the_output_is_written_into_never_replaced(capsys, tmp_path, command, name):
    os.mkfifo(fifo := tmp_path / name)
    held = os.open(fifo, os.O_RDWR)  # so that the reader's end opens now, and ends once the command's is shut
    got = []
    reader = threading.Thread(target=lambda: got.append(fifo.read_bytes()))
    reader.start()
    try:
        status, _, err = run(capsys, command, SAMPLE, "-o", fifo)
    finally:
        os.close(held)
        reader.join()
    assert status == 0 and err[-1].endswith(f"written to {fifo}") and got[0].count(b"\n") > 10
    assert stat.S_ISFIFO(fifo.stat().st_mode) and sorted(tmp_path.iterdir()) == [fifo]


@pytest.mark.parametrize("args", [["summary", "--no-plot"], ["export", SAMPLE, "-o", "-"], ["runners", SAMPLE]])
def test_a_command_started_with_stdout_closed_says_so_rather_than_print_into_nothing(tmp_path, args):
    done = subprocess.run([sys.executable, "-m", "marrowfin_tools", *args], stderr=subprocess.PIPE, text=True,
                          cwd=tmp_path, preexec_fn=lambda: os.close(1))
    assert (done.returncode, done.stderr) == (1, f"marrowfin: {cli.STDOUT_CLOSED}\n")
    assert list(tmp_path.iterdir()) == []


def test_version(capsys):
    with pytest.raises(SystemExit) as ended:
        cli.main(["--version", "runners", "--no-such-option"])
    assert ended.value.code == 0
    assert capsys.readouterr() == (f"marrowfin {importlib.metadata.version('marrowfin')}\n", "")


@pytest.mark.parametrize("thread", [False, True], ids=["alone", "with a thread"])
def test_workers_started_early_are_forked_by_a_process_alone_else_by_a_forkserver(tmp_path, thread):
    """A process that runs no other thread forks them itself (fork is safe there, and no second interpreter
    starts); one that does has a forkserver fork them, its socket made in /tmp when the temporary folder's
    path is too long for one."""
    deep = tmp_path / ("t" * 60) / ("u" * 60)
    deep.mkdir(parents=True)
    (tmp_path / "parent.py").write_text("import os\n\n\ndef parent(path):\n    return os.getppid()\n")
    code = f"""import os, sys, threading
from marrowfin_tools import batch
import parent
if {thread}:
    threading.Thread(target=threading.Event().wait, daemon=True).start()
batch.start_workers_early(2)
print({{o.value for o in batch.run_files(parent.parent, sys.argv[1:], 2)}} == {{os.getpid()}})
"""
    env = {**os.environ, "TMPDIR": str(deep), "PYTHONPATH": str(tmp_path)}
    done = subprocess.run([sys.executable, "-W", "error", "-c", code, SAMPLE, SAMPLE, SAMPLE], env=env,
                          capture_output=True, text=True)
    assert (done.returncode, done.stdout, done.stderr) == (0, f"{not thread}\n", "")
