"""Many files on one machine: worker processes, per-file errors, a progress bar.

The module holds the interpreter lock for a whole replay, so only processes
replay files side by side.
"""

from __future__ import annotations

import collections
import concurrent.futures
import itertools
import multiprocessing
import sys
import time
import warnings
from collections.abc import Callable, Iterable, Iterator
from concurrent.futures.process import BrokenProcessPool
from typing import IO, Any, NamedTuple

from .inputs import Inputs, Recording


def quiet_utcfromtimestamp() -> None:
    """Ignores the DeprecationWarning of datetime.utcfromtimestamp in this process."""
    # The module converts every publish time with it, which warns on each call:
    # one line per book on the terminal or in a worker's log.
    warnings.filterwarnings("ignore", r"datetime\.datetime\.utcfromtimestamp", DeprecationWarning)


def error_text(error: BaseException) -> str:
    """The module's own text for its errors; the exception's type for any other."""
    if type(error) is ValueError:
        return str(error)
    return f"{type(error).__name__}: {error}" if str(error) else type(error).__name__


class Outcome(NamedTuple):
    path: str  # the input's name: its path, or ARCHIVE:MEMBER/PATH
    ok: bool
    value: Any  # the function's result, or the error text when not ok


def call(func: Callable[[str], Any], path: str) -> Outcome:
    """Runs func(path); an exception becomes the error text (texts always pickle)."""
    try:
        return Outcome(path, True, func(path))
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as e:  # the module's panic exception derives from BaseException
        return Outcome(path, False, error_text(e))


def call_recording(func: Callable[[str], Any], recording: Recording) -> Outcome:
    """call() on a path that reads as the recording (an archive member is unpacked for it)."""
    try:
        with recording.local_path() as path:
            return call(func, path)._replace(path=recording.name)
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as e:
        return Outcome(recording.name, False, error_text(e))


def run_files(func: Callable[[str], Any], paths: Iterable[str | Recording] | Inputs,
              jobs: int = 1) -> Iterator[Outcome]:
    """Yields one Outcome per recording of the inputs, in order.

    The inputs are expanded as marrowfin_tools.inputs describes (directories,
    archives, ARCHIVE:MEMBER); pass an Inputs to read its count of skipped
    files afterwards. func gets a path it can replay, named as the module needs
    (for an archive member, a temporary copy that lasts for the call).

    With jobs > 1, func runs in that many worker processes (it must pickle: a
    module-level function). At most a few recordings per worker are in flight,
    so a list of any length, or an archive of any size, streams through. A
    file whose replay kills its worker process is reported as failed, and the
    others go on.
    """
    recordings = paths if isinstance(paths, Inputs) else Inputs(paths)
    if jobs <= 1:
        for recording in recordings:
            yield call_recording(func, recording)
        return
    # forkserver: workers do not inherit the parent's threads or locks.
    context = multiprocessing.get_context("forkserver")
    pending = iter(recordings)
    window: collections.deque[tuple[Recording, concurrent.futures.Future]] = collections.deque()
    pool = concurrent.futures.ProcessPoolExecutor(jobs, mp_context=context)
    try:
        while True:
            for recording in itertools.islice(pending, 4 * jobs - len(window)):
                window.append((recording, pool.submit(call_recording, func, recording)))
            if not window:
                return
            recording, future = window.popleft()
            try:
                outcome = future.result()
            except BrokenProcessPool:
                # Every file in flight failed with the pool: replay each alone
                # to find the one that kills its worker.
                suspects = [recording] + [r for r, _ in window]
                window.clear()
                pool.shutdown(wait=False, cancel_futures=True)
                for suspect in suspects:
                    yield _alone(func, suspect, context)
                pool = concurrent.futures.ProcessPoolExecutor(jobs, mp_context=context)
                continue
            yield outcome
    finally:
        pool.shutdown(wait=True, cancel_futures=True)


def _alone(func: Callable[[str], Any], recording: Recording, context: Any) -> Outcome:
    with concurrent.futures.ProcessPoolExecutor(1, mp_context=context) as pool:
        try:
            return pool.submit(call_recording, func, recording).result()
        except BrokenProcessPool:
            return Outcome(recording.name, False, "the worker process replaying it died")


class Progress:
    """One self-redrawing line on a stream: files done of all, and books."""

    def __init__(self, total_files: int, stream: IO[str] | None = None, interval: float = 0.1):
        self.total = total_files
        self.files = 0
        self.books = 0
        self.failed = 0
        self.stream = stream if stream is not None else sys.stderr
        self.interval = interval
        self._started = time.monotonic()
        self._drawn = 0.0
        self._width = 0

    def add_books(self, count: int) -> None:
        self.books += count
        self._draw()

    def file_done(self, ok: bool) -> None:
        self.files += 1
        self.failed += not ok
        self._draw(force=self.files == self.total)

    def clear(self) -> None:
        """Wipes the line, so that other output can be written."""
        if self._width:
            self.stream.write("\r" + " " * self._width + "\r")
            self.stream.flush()
            self._width = 0

    def close(self) -> None:
        if self._width:
            self.stream.write("\n")
            self.stream.flush()
            self._width = 0

    def _draw(self, force: bool = False) -> None:
        now = time.monotonic()
        if not force and now - self._drawn < self.interval:
            return
        self._drawn = now
        done = self.files / self.total if self.total else 1.0
        bar = "#" * int(done * 30)
        line = (f"[{bar:<30}] {self.files:,}/{self.total:,} files  {self.books:,} books"
                f"  {now - self._started:.1f} s")
        if self.failed:
            line += f"  {self.failed:,} failed"
        self.stream.write("\r" + line.ljust(self._width))
        self.stream.flush()
        self._width = len(line)
