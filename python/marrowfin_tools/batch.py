"""Many files on one machine: worker processes, per-file errors, a progress bar.

The module holds the interpreter lock for a whole replay, so only processes
replay files side by side. Workers never outlive the run: SIGINT, SIGTERM or
SIGHUP to the command (or a consumer that stops early) ends them, each
removing what it was writing, and a worker stops when the command's process
ends, however it ends.
"""

from __future__ import annotations

import collections
import concurrent.futures
import contextlib
import enum
import itertools
import multiprocessing
import multiprocessing.forkserver
import multiprocessing.util
import os
import select
import signal
import sys
import tempfile
import threading
import time
from collections.abc import Callable, Generator, Iterable, Iterator
from concurrent.futures.process import BrokenProcessPool
from typing import IO, Any, NamedTuple

from . import _native
from .filters import MarketFilterLike, keep_recording
from .inputs import Inputs, Recording

# Recordings held per worker at most: in flight, or done and waiting behind a
# slower one to go out in order.
HELD = 8


def error_text(error: BaseException) -> str:
    """The module's own text for its errors; the exception's type for any other."""
    if type(error) is ValueError:
        return str(error)
    return f"{type(error).__name__}: {error}" if str(error) else type(error).__name__


STOP_SIGNALS = (signal.SIGTERM, signal.SIGHUP)


class Stopped(SystemExit):
    """SIGTERM or SIGHUP, raised where the process was, so that what it was
    writing is removed on the way out. Its code is the shell's status for the
    signal (128 + its number)."""

    def __init__(self, signum: int):
        super().__init__(128 + signum)
        self.signum = signum


def _raise_stopped(signum: int, frame: object) -> None:
    for stop in STOP_SIGNALS:  # a second signal must not cut short the clean-up of the first
        signal.signal(stop, _pass)
    raise Stopped(signum)


def _pass(signum: int, frame: object) -> None:
    """Not SIG_IGN: a signal already pending when it is set (a hang-up, then
    the command's own SIGTERM to its workers) would be reported as a race."""


@contextlib.contextmanager
def stopped_by_signals() -> Iterator[None]:
    """SIGTERM and SIGHUP raise Stopped for the length of the block (in the main thread)."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = {signum: signal.signal(signum, _raise_stopped) for signum in STOP_SIGNALS}
    try:
        yield
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)


class Skipped(enum.Enum):
    """The value of the Outcome of a recording that the market filter skipped
    (an enum member, so that it is itself again after pickling)."""

    FILTERED = "filtered out"


class Outcome(NamedTuple):
    path: str  # the input's name: its path, or ARCHIVE:MEMBER/PATH
    ok: bool
    value: Any  # the function's result, the error text when not ok, or Skipped.FILTERED

    @property
    def filtered(self) -> bool:
        """The market filter skipped the recording: ok, and never loaded."""
        return self.value is Skipped.FILTERED


def call(func: Callable[[str], Any], path: str) -> Outcome:
    """Runs func(path); an exception becomes the error text (texts always pickle)."""
    try:
        return Outcome(path, True, func(path))
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as e:  # the module's panic exception derives from BaseException
        return Outcome(path, False, error_text(e))


def call_recording(func: Callable[..., Any], recording: Recording, named: bool = False,
                   market_filter: MarketFilterLike | None = None) -> Outcome:
    """call() on a path that reads as the recording (an archive member is unpacked for it);
    with `named`, func(path, name) gets the recording's name too. A recording
    that `market_filter` skips is not loaded: its Outcome says `filtered`."""
    try:
        with recording.local_path() as path:
            if not keep_recording(path, market_filter):
                return Outcome(recording.name, True, Skipped.FILTERED)
            if named:
                return call(lambda local: func(local, recording.name), path)._replace(path=recording.name)
            return call(func, path)._replace(path=recording.name)
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as e:
        return Outcome(recording.name, False, error_text(e))


def run_files(func: Callable[..., Any], paths: Iterable[str | Recording] | Inputs,
              jobs: int = 1, *, named: bool = False,
              max_size: int | None = None,
              market_filter: MarketFilterLike | None = None) -> Generator[Outcome, None, None]:
    """Yields one Outcome per recording of the inputs, in order.

    The inputs are expanded as marrowfin_tools.inputs describes (directories,
    archives, ARCHIVE:MEMBER); pass an Inputs to read its count of skipped
    files afterwards. func gets a path it can replay, named as the module needs
    (for an archive member, a temporary copy that lasts for the call); with
    `named`, func(path, name) also gets the recording's name, the one its
    Outcome carries, which is what to name anything written for it after.

    With jobs > 1, func runs in that many worker processes (it must pickle: a
    module-level function). At most two recordings per worker are in flight,
    and at most eight per worker are held (those done wait behind a slower
    one, to come out in order), so a list of any length, or an archive of any
    size, streams through. A file whose replay kills its worker process is
    reported as failed, and the others go on. Leaving the iteration early
    (an exception, close()) ends the workers at once.

    `max_size` limits each recording's decoded size (see Inputs; None: the
    default, or that of the Inputs given).

    With `market_filter` (see marrowfin_tools.filters), a recording is first
    kept or skipped on its first market definition, in the worker; one
    skipped is never loaded and yields Outcome(name, True, Skipped.FILTERED),
    whose `filtered` is true. With worker processes it must pickle too (a
    MarketFilter, a module-level function).
    """
    return _run(func, Inputs.of(paths, max_size), jobs, named, market_filter)


def _run(func: Callable[..., Any], recordings: Inputs, jobs: int, named: bool,
         market_filter: MarketFilterLike | None = None) -> Generator[Outcome, None, None]:
    if jobs <= 1:
        for recording in recordings:
            yield call_recording(func, recording, named, market_filter)
        return
    context = _forkserver()
    pending = iter(recordings)
    window: collections.deque[tuple[Recording, concurrent.futures.Future]] = collections.deque()
    pool = _early_pool(jobs) or _pool(jobs, context)
    finished = False
    try:
        while True:
            # Outcomes go out in order, but a slow recording at the head must
            # not leave the other workers idle: they go on with those behind
            # it, two each in flight and HELD each at most in all.
            running = [future for _, future in window if not future.done()]
            room = min(2 * jobs - len(running), HELD * jobs - len(window))
            for recording in itertools.islice(pending, max(0, room)):
                window.append((recording, _submit(pool, func, recording, named, market_filter)))
                running.append(window[-1][1])
            if not window:
                finished = True
                return
            recording, future = window[0]
            if not future.done():
                # On those counted as running when the room was reckoned: one
                # that has ended since then ends the wait at once, to hand
                # out more (waiting on those still running then could wait
                # on the head alone, and leave the other workers idle).
                concurrent.futures.wait(running, return_when=concurrent.futures.FIRST_COMPLETED)
                continue
            window.popleft()
            try:
                outcome = future.result()
            except BrokenProcessPool:
                # Every file in flight failed with the pool: replay each alone
                # to find the one that kills its worker. Those done before it
                # broke keep their outcome.
                suspects = [(recording, future), *window]
                window.clear()
                pool.shutdown(wait=False, cancel_futures=True)
                for suspect, done in suspects:
                    if done.done() and not done.cancelled() and done.exception() is None:
                        yield done.result()
                    else:
                        yield _alone(func, suspect, context, named, market_filter)
                pool = _pool(jobs, context)
                continue
            yield outcome
    finally:
        if finished:
            pool.shutdown(wait=True)
        else:
            _stop(pool)


def _submit(pool: concurrent.futures.ProcessPoolExecutor, func: Callable[..., Any], recording: Recording,
            named: bool, market_filter: MarketFilterLike | None) -> concurrent.futures.Future:
    """The recording's future; one that has failed as the pool's others will
    when the pool broke meanwhile (a worker died), so that it is replayed
    alone with them."""
    try:
        return pool.submit(_in_worker, func, recording, named, market_filter)
    except BrokenProcessPool as e:
        failed: concurrent.futures.Future = concurrent.futures.Future()
        failed.set_exception(e)
        return failed


# The workers that start_workers_early() forked, and their count, for the
# next run of as many.
_early: tuple[int, concurrent.futures.ProcessPoolExecutor] | None = None


def start_workers_early(jobs: int) -> None:
    """Starts the next run's `jobs` workers now, with this package imported
    in them, while the caller gets on with its own imports.

    A process that runs no other thread yet (the command's, before pyarrow
    and the progress bar start theirs) forks them itself, which a fork is
    safe from: no second interpreter then starts and imports the package,
    nor the process that tracks a forkserver's resources. Otherwise it
    starts the process that forks the workers of every later run."""
    global _early
    if _early is None and _one_thread() and "fork" in multiprocessing.get_all_start_methods():
        _early = jobs, _pool(jobs, multiprocessing.get_context("fork"))
        # Forks every worker before the pool starts its own threads.
        _early[1].submit(int)
        return
    context = _forkserver()
    context.set_forkserver_preload(["marrowfin_tools.cli"])
    multiprocessing.forkserver.ensure_running()


def _one_thread() -> bool:
    """Whether this process runs one thread, native ones counted."""
    try:
        return len(os.listdir("/proc/self/task")) == 1
    except OSError:
        return False


def _early_pool(jobs: int) -> concurrent.futures.ProcessPoolExecutor | None:
    """The workers forked early, when there are `jobs` of them; those forked
    for another count end."""
    global _early
    early, _early = _early, None
    if early is None:
        return None
    if early[0] != jobs:
        early[1].shutdown(wait=False)
        return None
    return early[1]


# The forkserver listens on a socket in multiprocessing's temporary folder,
# made in TMPDIR, and a socket's path holds at most 107 bytes (Linux; 103 on
# macOS): "/pymp-XXXXXXXX/listener-XXXXXXXX" takes 32 of them.
SOCKET_PATH_ROOM = 103 - 32


def _forkserver() -> Any:
    """The forkserver context (workers do not inherit the parent's threads or
    locks), its socket's folder made in /tmp when TMPDIR's path is too long
    for a socket, where the forkserver would fail to start. Recordings
    unpacked for the workers still go to TMPDIR."""
    if len(os.fsencode(tempfile.gettempdir())) > SOCKET_PATH_ROOM and os.access("/tmp", os.W_OK | os.X_OK):
        saved = tempfile.tempdir
        tempfile.tempdir = "/tmp"
        try:
            multiprocessing.util.get_temp_dir()  # made once per process, and kept
        finally:
            tempfile.tempdir = saved
    return multiprocessing.get_context("forkserver")


def _alone(func: Callable[..., Any], recording: Recording, context: Any, named: bool,
           market_filter: MarketFilterLike | None) -> Outcome:
    pool = _pool(1, context)
    try:
        outcome = pool.submit(_in_worker, func, recording, named, market_filter).result()
    except BrokenProcessPool:
        outcome = Outcome(recording.name, False, "the worker process replaying it died")
    except BaseException:
        _stop(pool)
        raise
    pool.shutdown(wait=True)
    return outcome


def _pool(jobs: int, context: Any) -> concurrent.futures.ProcessPoolExecutor:
    return concurrent.futures.ProcessPoolExecutor(jobs, mp_context=context, initializer=_worker_started,
                                                  initargs=(os.getpid(), jobs))


def _stop(pool: concurrent.futures.ProcessPoolExecutor) -> None:
    """Ends the workers now, rather than after the recordings in hand: SIGTERM,
    on which each removes what it was writing."""
    for process in list((getattr(pool, "_processes", None) or {}).values()):
        with contextlib.suppress(Exception):
            process.terminate()
    pool.shutdown(wait=True, cancel_futures=True)


def _worker_started(command: int, jobs: int = 1) -> None:
    """A worker leaves SIGINT to the command (which ends the workers), stops on
    SIGTERM and SIGHUP (see _in_worker), and sends itself SIGTERM when the
    command's process `command` ends (its parent may be a forkserver, which
    lives as long as any worker).
    Its loads take their share of the cores, one of `jobs` workers: threads
    beyond it only contend with the other workers (a small bzip2 file decoded
    on threads of its own costs more CPU)."""
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1
    _native.set_load_threads(max(1, cores // jobs))
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    for signum in STOP_SIGNALS:  # not the handlers of a process that forked it
        signal.signal(signum, signal.SIG_DFL)
    threading.Thread(target=_stop_with, args=(command,), name="marrowfin-stop-with", daemon=True).start()


def _stop_with(command: int) -> None:
    try:
        pid = os.pidfd_open(command)
    except ProcessLookupError:
        pass  # gone already
    except (OSError, AttributeError):  # no process descriptors here: look every second
        while _alive(command):
            time.sleep(1)
    else:
        select.select([pid], [], [])  # readable once the process has ended
    os.kill(os.getpid(), signal.SIGTERM)


def _alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
        return True
    except ProcessLookupError:
        return False
    except PermissionError:
        return True


def _in_worker(func: Callable[..., Any], recording: Recording, named: bool,
               market_filter: MarketFilterLike | None = None) -> Outcome:
    # A stop signal raises Stopped only while a recording is replayed, so that
    # what it was writing is removed. Between recordings it ends the worker at
    # once: raised there, the pool's own code would catch it (its result
    # sending catches BaseException), and the worker, its stop signals ignored
    # by then, would never end and the pool would wait for it for ever.
    try:
        for signum in STOP_SIGNALS:
            signal.signal(signum, _raise_stopped)
        return call_recording(func, recording, named, market_filter)
    except Stopped as e:
        os._exit(e.code)  # type: ignore[arg-type]  # what it wrote is removed; the pool is ending
    finally:
        signal.pthread_sigmask(signal.SIG_BLOCK, STOP_SIGNALS)
        for signum in STOP_SIGNALS:
            signal.signal(signum, signal.SIG_DFL)
        signal.pthread_sigmask(signal.SIG_UNBLOCK, STOP_SIGNALS)  # one that came meanwhile ends it now


class Progress:
    """A progress bar on a stream (tqdm): files done of all, books and failures.

    clear() wipes it before other output is written; it comes back with the
    next count, at most every `interval` seconds, and close() leaves it drawn.
    """

    def __init__(self, total_files: int, stream: IO[str] | None = None, interval: float = 0.1,
                 unit: str = "books"):
        from tqdm import tqdm  # only a command that shows a bar pays for the import

        self.unit = unit  # what `books` counts: "rows" for the price table's exports
        self.failed = 0
        self._books = 0
        stream = stream if stream is not None else sys.stderr
        try:
            width = os.get_terminal_size(stream.fileno()).columns
        except (AttributeError, ValueError, OSError):  # not a terminal
            width = None
        # tqdm draws nothing on a terminal that tells no size (0 by 0, as some
        # pseudo-terminals do): give it one.
        size = {"ncols": 80, "nrows": 24} if width == 0 else {"dynamic_ncols": bool(width)}
        self._bar = tqdm(total=total_files, file=stream, mininterval=interval, postfix=f"0 {unit}",
                         bar_format="[{bar:30}] {n_fmt}/{total_fmt} files{postfix}  {elapsed}", **size)
        self._visible = True

    @property
    def total(self) -> int:
        """Files in all; it may grow as archives and directories are listed."""
        return self._bar.total

    @total.setter
    def total(self, count: int) -> None:
        self._bar.total = count

    @property
    def files(self) -> int:
        """Files done."""
        return self._bar.n

    @property
    def books(self) -> int:
        return self._books

    @books.setter
    def books(self, count: int) -> None:
        self._books = count
        self._set_postfix()
        if time.time() - self._bar.last_print_t >= self._bar.mininterval:
            self._draw()

    def add_books(self, count: int) -> None:
        self.books += count

    def file_done(self, ok: bool) -> None:
        self.failed += not ok
        self._set_postfix()
        drawn = self._bar.last_print_t
        self._bar.update(1)  # draws when the interval has passed
        self._visible |= self._bar.last_print_t != drawn

    def clear(self) -> None:
        """Wipes the bar, so that other output can be written."""
        if self._visible:
            self._bar.clear()
            self._visible = False

    def close(self) -> None:
        self._bar.close()  # draws the final counts and ends the line

    def _set_postfix(self) -> None:
        text = f"{self._books:,} {self.unit}"
        if self.failed:
            text += f", {self.failed:,} failed"
        self._bar.set_postfix_str(text, refresh=False)

    def _draw(self) -> None:
        self._bar.refresh()
        self._visible = True
