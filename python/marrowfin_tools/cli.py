"""The `marrowfin` command: summary, export, runners, plot and convert of recorded streams."""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import functools
import importlib.util
import io
import itertools
import json
import os
import sys
from collections.abc import Callable, Generator, Iterator, Sequence

from . import batch, export, filters, inputs, plot, runners, sample_path, store, summary, table

SAMPLE_CHART = "marrowfin-sample.png"
# Exit status when stdout's reader closed early: 128 + SIGPIPE, as the shell
# reports for a command that the signal ended.
EXIT_BROKEN_PIPE = 141


def _error(message: str) -> None:
    print(f"marrowfin: {message}", file=sys.stderr)


STDOUT_CLOSED = "-: standard output is closed"


def _stdout_closed() -> bool:
    """Said when the command was started with stdout closed (Python then has
    none, and would print into nothing): for a command that writes there."""
    if sys.stdout is not None:
        return False
    _error(STDOUT_CLOSED)
    return True


def _positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1: {text}")
    return value


def _depth(text: str) -> int:
    value = int(text)
    if not 0 <= value <= 10:
        raise argparse.ArgumentTypeError(f"must be 0 to 10: {text}")
    return value


def _jobs(text: str) -> int:
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 (one per core) or more: {text}")
    # os.process_cpu_count (the cores this process may use) is 3.13's.
    return value or getattr(os, "process_cpu_count", os.cpu_count)() or 1


def _before(text: str) -> tuple[int, ...]:
    try:
        seconds = tuple(int(part) for part in text.split(","))
    except ValueError:
        raise argparse.ArgumentTypeError(f"whole seconds, comma-separated: {text}") from None
    if any(not 0 <= s <= runners.MAX_BEFORE for s in seconds) or len(set(seconds)) != len(seconds):
        raise argparse.ArgumentTypeError(f"distinct seconds of 0 to {runners.MAX_BEFORE}: {text}")
    return seconds


class _Run:
    """A many-file run as every command reports it: the progress bar (its
    total grows as archives are listed), recordings filtered out, failures
    said as they come, and the closing lines.

        with _Run(found, progress) as run, contextlib.closing(run.loaded(runs)) as loaded:

    loaded() yields the outcome of each recording loaded; one filtered out or
    failed is counted there and handed to `dropped`. The caller says a
    failure of its own with fail(). Closing what loaded() gives ends the
    workers at once (on an exception); leaving the run closes the bar, which
    is clear while the caller writes."""

    def __init__(self, found: inputs.Inputs, progress: batch.Progress | None,
                 dropped: Callable[[str], object] | None = None):
        self.found = found
        self.progress = progress
        self.done = self.failed = self.filtered = 0
        self._dropped = dropped

    def __enter__(self) -> _Run:
        return self

    def __exit__(self, *exception: object) -> None:
        if self.progress is not None:
            self.progress.close()

    def loaded(self, runs: Generator[batch.Outcome, None, None]) -> Generator[batch.Outcome, None, None]:
        progress = self.progress
        with contextlib.closing(runs) as outcomes:
            for outcome in outcomes:
                self.done += 1
                failed = self.failed
                if progress is not None:
                    progress.total = max(progress.total, self.found.found)
                    progress.clear()
                if outcome.ok and not outcome.filtered:
                    yield outcome
                else:
                    if outcome.filtered:
                        self.filtered += 1
                    else:
                        self.fail(f"{outcome.path}: {outcome.value}")
                    if self._dropped is not None:
                        self._dropped(outcome.path)
                if progress is not None:
                    progress.file_done(self.failed == failed)

    def fail(self, text: str) -> None:
        self.failed += 1
        _error(text)

    def report(self) -> int:
        """Says what was skipped and how many failed; the exit status."""
        skipped, links, filtered = self.found.skipped, self.found.links, self.filtered
        if skipped:
            _error(f"{skipped:,} files skipped (not recordings)" if skipped > 1 else "1 file skipped (not a recording)")
        if links:
            _error(f"{links:,} links in archives skipped (name what they link to)" if links > 1
                   else "1 link in an archive skipped (name what it links to)")
        if filtered:
            _error(f"{filtered:,} recordings filtered out" if filtered > 1 else "1 recording filtered out")
        if self.failed and self.done > 1:
            _error(f"{self.failed} of {self.done} files failed")
        return 1 if self.failed else 0


def _summary(args: argparse.Namespace) -> int:
    if _stdout_closed():
        return 1
    files = inputs.from_arguments(args, args.parser)
    chart = args.plot
    if not files and args.files_from is None:
        files = [str(sample_path())]
        if chart is None and not args.no_plot:
            chart = SAMPLE_CHART
    elif chart is not None and len(files) > 1:
        args.parser.error("--plot takes one file")
    found = inputs.Inputs(files, max_size=args.max_size)
    recordings: inputs.Inputs | list[inputs.Recording] = found
    listed: list[inputs.Recording] = []
    if chart is not None:
        recordings = listed = list(found)
        if len(listed) > 1:
            args.parser.error("--plot takes one recording")
    show = args.progress if args.progress is not None else sys.stderr.isatty()
    progress = batch.Progress(len(files)) if show else None
    # Book counts arrive while a file replays in this process, and with the
    # result from a worker.
    func = summary.summarize
    if args.jobs == 1 and progress is not None:
        def func(path: str) -> summary.MarketSummary:
            return summary.summarize(path, progress.add_books)

    runs = batch.run_files(func, recordings, args.jobs, market_filter=filters.from_arguments(args))
    with _Run(found, progress) as run, contextlib.closing(run.loaded(runs)) as loaded:
        for outcome in loaded:
            # Named as given (an archive member was replayed from a copy).
            result = dataclasses.replace(outcome.value, path=outcome.path)
            if args.json:
                print(json.dumps(result.to_json()), flush=progress is not None)
            else:
                print(summary.format_summary(result), end="\n\n", flush=progress is not None)
            if progress is not None and args.jobs > 1:
                progress.books += outcome.value.books
    if run.report():
        return 1
    if chart is not None and listed and not run.filtered:  # no chart of a recording filtered out
        return _chart(listed[0], chart, asked=args.plot is not None)
    return 0


def _one_recording(args: argparse.Namespace, files: list[str] | None = None,
                   inputs_found: inputs.Inputs | None = None) -> inputs.Recording | None:
    """The one recording a single-file command replays; None after saying why there is none."""
    if files is None:
        files = inputs.from_arguments(args, args.parser)
    if len(files) != 1:
        args.parser.error("give one FILE" if not files else "one FILE only")
    if inputs_found is None:
        inputs_found = inputs.Inputs(files, max_size=args.max_size)
    listing = iter(inputs_found)
    found = list(itertools.islice(listing, 2))  # no further than needed
    listing.close()  # type: ignore[attr-defined]
    if not found:
        _error(f"{files[0]}: no recordings in it")
        return None
    if len(found) > 1:
        for recording in found:
            recording.discard()
        args.parser.error(f"{files[0]} holds more than one recording; name one "
                          "(ARCHIVE:MEMBER for a member of an archive)")
    return found[0]


def _export(args: argparse.Namespace) -> int:
    tables = args.format != "jsonl"
    if tables and (args.every is not None or args.runner):
        args.parser.error("--every and --runner select books for --format jsonl")
    if not tables and (args.depth is not None or args.every_book):
        args.parser.error("--depth and --every-book shape the table of --format parquet or csv")
    options = export.Options(args.format, 3 if args.depth is None else args.depth, args.every_book,
                             args.every or 1, tuple(args.runner or ()))
    files = inputs.from_arguments(args, args.parser)
    if not files:
        args.parser.error("give a FILE or --files-from")
    try:
        plan = export.plan(files, args.output, options)
    except export.Refused as e:
        _error(str(e))
        return 1
    except ValueError as e:
        args.parser.error(str(e))
    market_filter = filters.from_arguments(args)
    if plan.single == "-" and _stdout_closed():
        return 1
    if plan.single is not None:
        found = inputs.Inputs(files, max_size=args.max_size)
        recording = _one_recording(args, files, found)
        if recording is None:
            return 1
        refused = None if plan.single == "-" else export.overwrites(recording, plan.single, found.reads)
        if refused is not None:
            _error(f"{recording.name}: {refused}")
            return 1
        return _export_one(recording, plan.single, options, market_filter)
    # Outputs written into a folder being read are not inputs.
    found = inputs.Inputs(files, exclude=[plan.directory] if plan.directory is not None else [],
                          max_size=args.max_size)
    try:  # what is named on its own, before anything runs
        list(export.checked(export.named(files), plan, options, reads=found.reads, fail=True))
    except export.Refused as e:
        _error(str(e))
        return 1
    if plan.directory is not None:
        try:
            os.makedirs(plan.directory, exist_ok=True)
        except OSError as e:
            _error(f"{plan.directory}: {e.strerror or e}")
            return 1
    show = args.progress if args.progress is not None else sys.stderr.isatty()
    progress = batch.Progress(len(files), unit=options.unit) if show else None
    func = functools.partial(export.export_to, plan=plan, options=options)
    runs = batch.run_files(func, export.checked(found, plan, options, reads=found.reads), args.jobs, named=True,
                           market_filter=market_filter)
    with _Run(found, progress) as run, contextlib.closing(run.loaded(runs)) as loaded:
        for outcome in loaded:
            if outcome.value.output_error is not None:
                run.fail(outcome.value.output_error)
                continue
            count = outcome.value.written
            target = plan.target(outcome.path, options)
            where = f"of {outcome.path} written to {target}" if plan.dataset else f"written to {target}"
            print(f"{count:,} {options.unit} {where}", file=sys.stderr, flush=True)
            if progress is not None:
                progress.books += count
    return run.report()


def _export_one(recording: inputs.Recording, out: str, options: export.Options,
                market_filter: filters.MarketFilter | None = None) -> int:
    """One recording to one named output or stdout, in this process."""
    try:
        with recording.local_path() as path:
            if not filters.keep_recording(path, market_filter):
                _error(f"{recording.name}: filtered out; nothing written")
                return 0
            count = export.export_file(path, out, options)
    except BrokenPipeError:
        raise  # stdout's reader has gone: main() ends quietly
    except export.OutputError as e:
        _error(str(e))
        return 1
    except Exception as e:
        _error(f"{recording.name}: {batch.error_text(e)}")
        return 1
    print(f"{count:,} {options.unit} written to {out}", file=sys.stderr)
    return 0


class _NothingRead(Exception):
    pass


def _runners(args: argparse.Namespace) -> int:
    files = inputs.from_arguments(args, args.parser)
    if not files:
        args.parser.error("give a FILE or --files-from")
    try:
        runners.check_output(args.output, files)
    except ValueError as e:
        args.parser.error(str(e))
    if args.output == "-" and _stdout_closed():
        return 1
    if not _importable("pyarrow"):  # said before any work; the writer imports it meanwhile
        _error(table.MISSING_PYARROW)
        return 1
    writer = runners.Writer(args.output, args.before)
    show = args.progress if args.progress is not None else sys.stderr.isatty()
    progress = batch.Progress(len(files), unit="rows") if show else None
    # The filter is asked in the worker's load (runners.recording_rows), so
    # that a recording kept is not decoded twice from its start.
    func = functools.partial(runners.recording_rows, before=args.before, market_filter=filters.from_arguments(args))
    found = inputs.Inputs(files, max_size=args.max_size)
    runs = batch.run_files(func, found, args.jobs)
    try:
        with _Run(found, progress) as run, writer, contextlib.closing(run.loaded(runs)) as loaded:
            for outcome in loaded:
                writer.write(outcome.value)
                if outcome.value.markets == 0:
                    _error(f"{outcome.path}: no market in it")
                if progress is not None:
                    progress.books += outcome.value.rows
            if run.done == run.failed:  # none read, none filtered out
                raise _NothingRead  # an empty table would take the place of an earlier output
    except _NothingRead:
        _error(f"{args.output}: not written, as no recording " + ("could be read" if run.failed else "was found"))
        return run.report() or 1
    except ImportError as e:  # pyarrow is there, but fails to import
        _error(str(e))
        return 1
    except OSError as e:
        if isinstance(e, BrokenPipeError):
            raise  # stdout's reader has gone: main() ends quietly
        _error(f"{args.output}: {e.strerror or e}")
        return 1
    rows, markets = writer.rows, writer.markets
    print(f"{rows:,} row{'s' * (rows != 1)} of {markets:,} market{'s' * (markets != 1)} written to "
          f"{args.output}", file=sys.stderr)
    return run.report()


def _importable(name: str) -> bool:
    try:
        return importlib.util.find_spec(name) is not None
    except (ImportError, ValueError):  # ValueError: hidden as sys.modules[name] = None
        return False


def _level(text: str) -> int:
    value = int(text)
    if not 1 <= value <= 19:
        raise argparse.ArgumentTypeError(f"must be 1 to 19: {text}")
    return value


def _convert(args: argparse.Namespace) -> int:
    files = inputs.from_arguments(args, args.parser)
    if not files:
        args.parser.error("give a FILE or --files-from")
    home = os.path.realpath(args.output)
    for path in files:
        if inputs.under(os.path.realpath(path), home):
            args.parser.error(f"{path} is in the store {args.output}")
    try:
        writer = store.Writer(args.output, args.level)
    except ImportError as e:
        _error(str(e))
        return 1
    show = args.progress if args.progress is not None else sys.stderr.isatty()
    progress = batch.Progress(len(files), unit="markets") if show else None
    # The store is no input of its own, should an input folder hold it.
    found = inputs.Inputs(files, exclude=[args.output], max_size=args.max_size)
    func = functools.partial(store.store_recording, store=args.output, level=args.level)
    try:
        with _Run(found, progress, dropped=writer.forget) as run, writer:
            runs = batch.run_files(func, writer.pending(found), args.jobs, named=True,
                                   market_filter=filters.from_arguments(args))
            with contextlib.closing(run.loaded(runs)) as loaded:
                for outcome in loaded:
                    if outcome.value.failure is not None:  # the store's own: no later recording fits either
                        raise OSError(outcome.value.failure)
                    stored = writer.add(outcome.path, outcome.value)
                    if not outcome.value.rows:
                        _error(f"{outcome.path}: no market in it; not stored")
                    elif progress is not None:
                        progress.books += stored
    except store.NotAStore as e:
        _error(str(e))
        return 1
    except OSError as e:
        _error(f"{args.output}: {e.strerror or e}")
        return 1
    markets, recordings = writer.added, writer.recordings
    print(f"{markets:,} market{'s' * (markets != 1)} of {recordings:,} recording{'s' * (recordings != 1)} "
          f"added to {args.output}", file=sys.stderr)
    if writer.already:
        _error(f"{writer.already:,} recordings already in the store" if writer.already > 1
               else "1 recording already in the store")
    run.done += writer.already  # files given, as the count of those that failed says
    return run.report()


def _plot(args: argparse.Namespace) -> int:
    recording = _one_recording(args)
    return 1 if recording is None else _chart(recording, args.output)


def _chart(recording: inputs.Recording, out: str, *, asked: bool = True) -> int:
    """Draws the chart of `recording` into `out`; the exit status, any
    failure said (without matplotlib, a chart not `asked` for is no failure)."""
    try:
        plot.require()
        with recording.local_path() as path:
            chart = plot.collect(path)
    except plot.PlotUnavailable as e:
        _error(str(e) if asked else f"no chart: {e}")
        return 1 if asked else 0
    except Exception as e:
        _error(f"{recording.name}: {batch.error_text(e)}")
        return 1
    try:
        plot.draw(chart, out)
    except OSError as e:  # of the chart's file, which its temporary's name would not tell
        _error(f"{out}: {e.strerror or e}")
        return 1
    except Exception as e:
        _error(f"{out}: {batch.error_text(e)}")
        return 1
    print(f"chart written to {os.path.abspath(out)}", file=sys.stderr)
    return 0


@contextlib.contextmanager
def _names_as_bytes() -> Iterator[None]:
    """File names that are not UTF-8 (lone surrogates, as os gives them) are
    written out as the bytes they stand for, as other tools write names."""
    streams = [(stream, stream.errors) for stream in (sys.stdout, sys.stderr)
               if isinstance(stream, io.TextIOWrapper)]
    for stream, _ in streams:
        stream.reconfigure(errors="surrogateescape")
    try:
        yield
    finally:
        for stream, errors in streams:
            with contextlib.suppress(ValueError, OSError):  # closed, or its reader gone
                stream.reconfigure(errors=errors)


class _Version(argparse.Action):
    """--version, the installed version looked up only when asked for: reading
    a package's metadata costs every start of the command a few hundredths
    of a second."""

    def __init__(self, option_strings: Sequence[str], dest: str = argparse.SUPPRESS,
                 default: str = argparse.SUPPRESS, help: str = "show program's version number and exit"):
        super().__init__(option_strings, dest=dest, default=default, nargs=0, help=help)

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: object, option_string: str | None = None) -> None:
        import importlib.metadata

        try:
            version = importlib.metadata.version("marrowfin")
        except importlib.metadata.PackageNotFoundError:
            version = "unknown"
        print(f"{parser.prog} {version}")
        parser.exit()


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="marrowfin",
        description="Replay recorded exchange market-change streams (plain, gzip, bzip2 or zstd; "
                    "files, directories, tar and zip archives).")
    parser.add_argument("--version", action=_Version)
    commands = parser.add_subparsers(title="commands", metavar="COMMAND", required=True)

    p = commands.add_parser(
        "summary", help="market, timeline and runners of each file",
        description="Per file: the market, its timeline, the final status and a table of runners. "
                    "Without a file: the bundled sample, and its chart in " + SAMPLE_CHART + ".")
    inputs.add_arguments(p)
    p.add_argument("--json", action="store_true", help="one JSON object per file instead of text")
    p.add_argument("-j", "--jobs", type=_jobs, default=1, metavar="N",
                   help="worker processes (default 1; 0 for one per core)")
    p.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                   help="progress bar on stderr (default: when stderr is a terminal)")
    filters.add_arguments(p)
    p.add_argument("--plot", type=plot.chart_name, metavar="CHART", help="also draw the chart of the one FILE")
    p.add_argument("--no-plot", action="store_true", help="no chart for the sample")
    p.set_defaults(run=_summary, parser=p)

    p = commands.add_parser(
        "export", help="books as JSON lines, or the price table as Parquet or CSV",
        description="Writes each recording as JSON lines, one MarketBook.to_dict() per book "
                    "(--format jsonl, the default), or as its price table: a row per runner per "
                    "book in which it changed, for every market of the file (parquet, csv; "
                    "pip install 'marrowfin[arrow]'). Without -o, each output goes to the "
                    "current directory, named after its recording.")
    inputs.add_arguments(p)
    p.add_argument("-o", "--output", metavar="OUT",
                   help="the output file of one recording (- for stdout; jsonl as gzip for .gz, "
                        "bzip2 for .bz2), or DIR/: one output per recording there, or for parquet "
                        "one dataset partitioned by market_id")
    p.add_argument("--format", choices=export.FORMATS, default="jsonl",
                   help="jsonl (default), parquet or csv")
    p.add_argument("--depth", type=_depth, metavar="N",
                   help="price levels per side in the table, 0 to 10 (default 3)")
    p.add_argument("--every-book", action="store_true",
                   help="a row for every runner of every book, not only the changed ones")
    p.add_argument("--every", type=_positive, metavar="N",
                   help="jsonl: every Nth book only, from the first (after --runner)")
    p.add_argument("--runner", type=int, action="append", metavar="SELECTION_ID",
                   help="jsonl: only books in which this runner changed (repeatable: any of them)")
    p.add_argument("-j", "--jobs", type=_jobs, default=1, metavar="N",
                   help="worker processes (default 1; 0 for one per core)")
    p.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                   help="progress bar on stderr (default: when stderr is a terminal)")
    filters.add_arguments(p)
    p.set_defaults(run=_export, parser=p)

    p = commands.add_parser(
        "runners", help="a row per runner of each market: result, prices before and in play",
        description="One table of every recording: a row per runner of each market's last book, "
                    "with the market, the runner's result and starting price, its traded volume, "
                    "weighted average, lowest and highest price before the off and in play, and "
                    "its prices at given seconds before the market time (needs pyarrow: "
                    "pip install 'marrowfin[arrow]').")
    inputs.add_arguments(p)
    p.add_argument("--before", type=_before, default=(), metavar="S,S,...",
                   help="seconds before the market time at which to add each runner's best "
                        "prices, last traded price and traded volume, such as 60,30,0")
    filters.add_arguments(p)
    p.add_argument("-o", "--output", default="-", metavar="OUT",
                   help="OUT.csv or OUT.parquet (default: CSV on stdout)")
    p.add_argument("-j", "--jobs", type=_jobs, default=1, metavar="N",
                   help="worker processes (default 1; 0 for one per core)")
    p.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                   help="progress bar on stderr (default: when stderr is a terminal)")
    p.set_defaults(run=_runners, parser=p)

    p = commands.add_parser(
        "convert", help="a store: every recording decoded once, kept as zstd, with a market catalogue",
        description="Writes every recording into the store STORE as zstd, laid out by market date "
                    "and market id (STORE/YYYY/MM/DD/MARKET_ID.json.zst), and adds a row per market "
                    "to its catalogue (Parquet files under STORE/catalog/; needs pyarrow: pip install "
                    "'marrowfin[arrow]'). A recording already in the store (same market id, same "
                    "size) is skipped, so converting again adds only what is new.")
    inputs.add_arguments(p)
    p.add_argument("-o", "--output", required=True, metavar="STORE",
                   help="the store: a new or empty folder, or one that convert made")
    p.add_argument("--level", type=_level, default=store.DEFAULT_LEVEL, metavar="N",
                   help=f"zstd level, 1 to 19 (default {store.DEFAULT_LEVEL}); the window is 1 MiB at any level")
    filters.add_arguments(p)
    p.add_argument("-j", "--jobs", type=_jobs, default=1, metavar="N",
                   help="worker processes (default 1; 0 for one per core)")
    p.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                   help="progress bar on stderr (default: when stderr is a terminal)")
    p.set_defaults(run=_convert, parser=p)

    p = commands.add_parser(
        "plot", help="chart of each runner's prices over time",
        description="Last traded price and the best back to best lay band of every runner over "
                    "time, in-play shaded and removals marked. Needs matplotlib "
                    "(pip install 'marrowfin[plot]').")
    inputs.add_arguments(p)
    p.add_argument("-o", "--output", type=plot.chart_name, required=True, metavar="CHART",
                   help="image to write (.png, .svg or .pdf)")
    p.set_defaults(run=_plot, parser=p)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    return _main(build_parser().parse_args(argv))


def command() -> int:
    """The `marrowfin` command (its console script, and python -m
    marrowfin_tools): main() in a process of its own, set up for it first."""
    args = build_parser().parse_args()
    # pyarrow imports numpy, whose BLAS starts a thread per core in each of
    # the command's processes, each spinning for a while: a tenth of a second
    # of CPU apiece, taken from the workers. The command does no linear algebra.
    os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
    if getattr(args, "jobs", 1) > 1:
        batch.start_workers_early(args.jobs)
    return _main(args)


def _main(args: argparse.Namespace) -> int:
    try:
        with batch.stopped_by_signals(), _names_as_bytes():
            status = args.run(args)
            if sys.stdout is not None:  # None: started with it closed
                sys.stdout.flush()  # a reader that closed early shows here, not at the interpreter's exit
        return status
    except KeyboardInterrupt:
        return 130
    except batch.Stopped as e:  # SIGTERM or SIGHUP; what was being written is gone
        return e.code  # type: ignore[return-value]
    except BrokenPipeError:
        # Output piped into a reader that stopped (head): no message, and the
        # status of a command that SIGPIPE ended. What is still buffered for
        # stdout goes nowhere, so the interpreter's exit does not fail on it.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_BROKEN_PIPE


if __name__ == "__main__":
    sys.exit(command())
