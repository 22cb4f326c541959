"""The `marrowfin` command: summary, export and plot of recorded streams."""

from __future__ import annotations

import argparse
import bz2
import contextlib
import dataclasses
import gzip
import importlib.metadata
import io
import itertools
import json
import os
import sys
import tempfile
from collections.abc import Sequence
from typing import IO

from . import batch, export, inputs, plot, sample_path, summary

SAMPLE_CHART = "marrowfin-sample.png"


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


def _summarize(path: str) -> summary.MarketSummary:
    """summary.summarize in a worker process, which has its own warning filters."""
    batch.quiet_utcfromtimestamp()
    return summary.summarize(path)


def _summary(args: argparse.Namespace) -> int:
    files = inputs.from_arguments(args, args.parser)
    chart = args.plot
    if not files and args.files_from is None:
        files = [str(sample_path())]
        if chart is None and not args.no_plot:
            chart = SAMPLE_CHART
    elif chart is not None and len(files) > 1:
        args.parser.error("--plot takes one file")
    found = inputs.Inputs(files)
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
    func = _summarize
    if args.jobs == 1 and progress is not None:
        def func(path: str) -> summary.MarketSummary:
            return summary.summarize(path, progress.add_books)

    failed = done = 0
    try:
        for outcome in batch.run_files(func, recordings, args.jobs):
            done += 1
            if progress is not None:
                progress.total = max(progress.total, found.found)  # archives are listed as they go
                if outcome.ok and args.jobs > 1:
                    progress.books += outcome.value.books
                progress.clear()
            if outcome.ok:
                # Named as given (an archive member was replayed from a copy).
                result = dataclasses.replace(outcome.value, path=outcome.path)
                if args.json:
                    print(json.dumps(result.to_json()), flush=progress is not None)
                else:
                    print(summary.format_summary(result), end="\n\n", flush=progress is not None)
            else:
                failed += 1
                _error(f"{outcome.path}: {outcome.value}")
            if progress is not None:
                progress.file_done(outcome.ok)
    finally:
        if progress is not None:
            progress.close()
    if found.skipped:
        _error(f"{found.skipped:,} files skipped (not recordings)" if found.skipped > 1
               else "1 file skipped (not a recording)")
    if failed:
        if done > 1:
            _error(f"{failed} of {done} files failed")
        return 1
    if chart is not None and listed:
        try:
            with listed[0].local_path() as path:
                plot.plot_file(path, chart)
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
        with os.fdopen(fd, "wb") as raw, _text_writer(raw, name) as out:
            yield out
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(temp, 0o666 & ~umask)  # as an ordinary new file, not mkstemp's 0600
        os.replace(temp, name)
    except BaseException:
        os.unlink(temp)
        raise


def _text_writer(raw: IO[bytes], name: str) -> IO[str]:
    """Compressed as the name says, by the module's own rule."""
    encoding = inputs.encoding_by_name(name)
    if encoding == "gzip":
        return gzip.open(raw, "wt", encoding="utf-8")
    if encoding == "bzip2":
        return bz2.open(raw, "wt", encoding="utf-8")
    return io.TextIOWrapper(raw, encoding="utf-8")


def _one_recording(args: argparse.Namespace) -> inputs.Recording | None:
    """The one recording a single-file command replays; None after saying why there is none."""
    files = inputs.from_arguments(args, args.parser)
    if len(files) != 1:
        args.parser.error("give one FILE" if not files else "one FILE only")
    found = list(itertools.islice(inputs.Inputs(files), 2))  # no further than needed
    if not found:
        _error(f"{files[0]}: no recordings in it")
        return None
    if len(found) > 1:
        args.parser.error(f"{files[0]} holds more than one recording; name one "
                          "(ARCHIVE:MEMBER for a member of an archive)")
    return found[0]


def _export(args: argparse.Namespace) -> int:
    recording = _one_recording(args)
    if recording is None:
        return 1
    try:
        with recording.local_path() as path:
            try:
                with _output(args.output) as out:
                    count = export.export_books(path, out, args.every, args.runner or ())
            except OSError as e:
                _error(f"{args.output}: {e.strerror or e}")
                return 1
    except Exception as e:
        _error(f"{recording.name}: {batch.error_text(e)}")
        return 1
    print(f"{count:,} books written to {args.output}", file=sys.stderr)
    return 0


def _plot(args: argparse.Namespace) -> int:
    recording = _one_recording(args)
    if recording is None:
        return 1
    try:
        plot.require()
        with recording.local_path() as path:
            chart = plot.collect(path)
    except plot.PlotUnavailable as e:
        _error(str(e))
        return 1
    except Exception as e:
        _error(f"{recording.name}: {batch.error_text(e)}")
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
        description="Replay recorded exchange market-change streams (plain, gzip or bzip2; "
                    "files, directories, tar and zip archives).")
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
    inputs.add_arguments(p)
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
    inputs.add_arguments(p)
    p.add_argument("-o", "--output", required=True, metavar="OUT",
                   help="JSON-lines file to write (gzip for .gz, bzip2 for .bz2), or - for stdout")
    p.add_argument("--every", type=_positive, default=1, metavar="N",
                   help="every Nth book only, from the first (after --runner)")
    p.add_argument("--runner", type=int, action="append", metavar="SELECTION_ID",
                   help="only books in which this runner changed (repeatable: any of them)")
    p.set_defaults(run=_export, parser=p)

    p = commands.add_parser(
        "plot", help="chart of each runner's prices over time",
        description="Last traded price and the best back to best lay band of every runner over "
                    "time, in-play shaded and removals marked. Needs matplotlib "
                    "(pip install 'marrowfin[plot]').")
    inputs.add_arguments(p)
    p.add_argument("-o", "--output", required=True, metavar="CHART",
                   help="image to write (.png, .svg or .pdf)")
    p.set_defaults(run=_plot, parser=p)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    batch.quiet_utcfromtimestamp()
    try:
        return args.run(args)
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # Output piped into a reader that stopped (head): not an error of ours.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1


if __name__ == "__main__":
    sys.exit(main())
