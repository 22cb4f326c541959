"""The `marrowfin` command: summary, export and plot of recorded streams."""

from __future__ import annotations

import argparse
import contextlib
import importlib.metadata
import json
import os
import sys
import tempfile
from collections.abc import Sequence

from . import batch, export, plot, sample_path, summary

SAMPLE_CHART = "marrowfin-sample.png"
# Exit status when stdout's reader closed early: 128 + SIGPIPE, as the shell
# reports for a command that the signal ended.
EXIT_BROKEN_PIPE = 141


def _error(message: str) -> None:
    print(f"marrowfin: {message}", file=sys.stderr)


def _positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1: {text}")
    return value


def _jobs(text: str) -> int:
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 (one per core) or more: {text}")
    return value or os.process_cpu_count() or 1


def _summary(args: argparse.Namespace) -> int:
    files = args.files
    chart = args.plot
    if not files:
        files = [str(sample_path())]
        if chart is None and not args.no_plot:
            chart = SAMPLE_CHART
    elif chart is not None and len(files) > 1:
        args.parser.error("--plot takes one file")
    show = args.progress if args.progress is not None else sys.stderr.isatty()
    progress = batch.Progress(len(files)) if show else None
    # Book counts arrive while a file replays in this process, and with the
    # result from a worker.
    func = summary.summarize
    if args.jobs == 1 and progress is not None:
        def func(path: str) -> summary.MarketSummary:
            return summary.summarize(path, progress.add_books)

    failed = 0
    try:
        for outcome in batch.run_files(func, files, args.jobs):
            if progress is not None:
                if outcome.ok and args.jobs > 1:
                    progress.books += outcome.value.books
                progress.clear()
            if outcome.ok:
                if args.json:
                    print(json.dumps(outcome.value.to_json()), flush=progress is not None)
                else:
                    print(summary.format_summary(outcome.value), end="\n\n",
                          flush=progress is not None)
            else:
                failed += 1
                _error(f"{outcome.path}: {outcome.value}")
            if progress is not None:
                progress.file_done(outcome.ok)
    finally:
        if progress is not None:
            progress.close()
    if failed:
        if len(files) > 1:
            _error(f"{failed} of {len(files)} files failed")
        return 1
    if chart is not None:
        try:
            plot.plot_file(files[0], chart)
        except plot.PlotUnavailable as e:
            if args.plot is None:  # the sample's chart was not asked for by name
                _error(f"no chart: {e}")
                return 0
            _error(str(e))
            return 1
        except Exception as e:
            _error(f"{chart}: {batch.error_text(e)}")
            return 1
        print(f"chart written to {os.path.abspath(chart)}", file=sys.stderr)
    return 0


@contextlib.contextmanager
def _output(name: str):
    """stdout for "-"; else a file that appears only once it is complete."""
    if name == "-":
        yield sys.stdout
        return
    directory = os.path.dirname(os.path.abspath(name))
    fd, temp = tempfile.mkstemp(prefix=".marrowfin-", suffix=".part", dir=directory)
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as out:
            yield out
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(temp, 0o666 & ~umask)  # as an ordinary new file, not mkstemp's 0600
        os.replace(temp, name)
    except BaseException:
        os.unlink(temp)
        raise


def _export(args: argparse.Namespace) -> int:
    try:
        with _output(args.output) as out:
            count = export.export_books(args.file, out, args.every, args.runner or ())
    except BrokenPipeError:
        raise  # stdout's reader has gone: main() ends quietly
    except OSError as e:
        _error(f"{args.output}: {e.strerror or e}")
        return 1
    except Exception as e:
        _error(f"{args.file}: {batch.error_text(e)}")
        return 1
    print(f"{count:,} books written to {args.output}", file=sys.stderr)
    return 0


def _plot(args: argparse.Namespace) -> int:
    try:
        plot.require()
        chart = plot.collect(args.file)
    except plot.PlotUnavailable as e:
        _error(str(e))
        return 1
    except Exception as e:
        _error(f"{args.file}: {batch.error_text(e)}")
        return 1
    try:
        plot.draw(chart, args.output)
    except Exception as e:
        _error(f"{args.output}: {batch.error_text(e)}")
        return 1
    print(f"chart written to {os.path.abspath(args.output)}", file=sys.stderr)
    return 0


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="marrowfin",
        description="Replay recorded exchange market-change streams (plain or gzip).")
    try:
        version = importlib.metadata.version("marrowfin")
    except importlib.metadata.PackageNotFoundError:
        version = "unknown"
    parser.add_argument("--version", action="version", version=f"%(prog)s {version}")
    commands = parser.add_subparsers(title="commands", metavar="COMMAND", required=True)

    p = commands.add_parser(
        "summary", help="market, timeline and runners of each file",
        description="Per file: the market, its timeline, the final status and a table of runners. "
                    "Without a file: the bundled sample, and its chart in " + SAMPLE_CHART + ".")
    p.add_argument("files", nargs="*", metavar="FILE")
    p.add_argument("--json", action="store_true", help="one JSON object per file instead of text")
    p.add_argument("-j", "--jobs", type=_jobs, default=1, metavar="N",
                   help="worker processes (default 1; 0 for one per core)")
    p.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                   help="progress bar on stderr (default: when stderr is a terminal)")
    p.add_argument("--plot", metavar="CHART", help="also draw the chart of the one FILE")
    p.add_argument("--no-plot", action="store_true", help="no chart for the sample")
    p.set_defaults(run=_summary, parser=p)

    p = commands.add_parser(
        "export", help="one to_dict() per book, as JSON lines",
        description="Writes one book per line as the JSON of MarketBook.to_dict().")
    p.add_argument("file", metavar="FILE")
    p.add_argument("-o", "--output", required=True, metavar="OUT",
                   help="JSON-lines file to write, or - for stdout")
    p.add_argument("--every", type=_positive, default=1, metavar="N",
                   help="every Nth book only, from the first (after --runner)")
    p.add_argument("--runner", type=int, action="append", metavar="SELECTION_ID",
                   help="only books in which this runner changed (repeatable: any of them)")
    p.set_defaults(run=_export)

    p = commands.add_parser(
        "plot", help="chart of each runner's prices over time",
        description="Last traded price and the best back to best lay band of every runner over "
                    "time, in-play shaded and removals marked. Needs matplotlib "
                    "(pip install 'marrowfin[plot]').")
    p.add_argument("file", metavar="FILE")
    p.add_argument("-o", "--output", required=True, metavar="CHART",
                   help="image to write (.png, .svg or .pdf)")
    p.set_defaults(run=_plot)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        status = args.run(args)
        sys.stdout.flush()  # a reader that closed early shows here, not at the interpreter's exit
        return status
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # Output piped into a reader that stopped (head): no message, and the
        # status of a command that SIGPIPE ended. What is still buffered for
        # stdout goes nowhere, so the interpreter's exit does not fail on it.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_BROKEN_PIPE


if __name__ == "__main__":
    sys.exit(main())
