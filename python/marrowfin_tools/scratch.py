"""Temporary files and folders of a run, and outputs that appear only once complete.

Each is locked (flock) for as long as the process that made it uses it, so a
later run can tell what a killed one left behind: sweep() removes the ones
whose lock is free, and nothing of a run still going. A lock dies with its
process, however that ends.
"""

from __future__ import annotations

import contextlib
import fcntl
import os
import re
import shutil
import stat
import tempfile
import weakref
from collections.abc import Callable, Iterator
from typing import IO

COPY_PREFIX = "marrowfin-copy-"  # folders of members' copies, in the temporary directory
OUTPUT_PREFIX = ".marrowfin-"  # .part files and folders beside outputs
# A store's files that workers wrote and closed, waiting for the command to
# move them in: unlocked, so no other command's sweep may take them for a
# killed run's leftovers.
STORE_PREFIX = ".marrowfin-store-"
PART = ".part"

_swept: set[tuple[str, str]] = set()


def sweep(directory: str, prefix: str, *, again: bool = False) -> None:
    """Removes what a run that died left in `directory`: folders and files
    named as this package names them (made_here) that belong to this user
    and that no process holds locked. Once per process and directory, unless `again`."""
    key = (os.path.realpath(directory), prefix)
    if key in _swept and not again:
        return
    _swept.add(key)
    try:
        entries = list(os.scandir(directory))
    except OSError:
        return
    for entry in entries:
        if made_here(entry.name, prefix):
            _remove_if_unlocked(entry)


def made_here(name: str, prefix: str) -> bool:
    """Whether `name` has the form of what this package makes with `prefix`:
    tempfile's eight characters after it, then .part, folders too. Anything
    else named with the prefix is the user's, and stays."""
    return re.fullmatch(re.escape(prefix) + r"[a-z0-9_]{8}" + re.escape(PART), name) is not None


def _remove_if_unlocked(entry: os.DirEntry[str]) -> None:
    try:
        # O_NOFOLLOW: a link of that name is not followed, nor removed.
        fd = os.open(entry.path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK)
    except OSError:
        return
    try:
        found = os.fstat(fd)
        folder = stat.S_ISDIR(found.st_mode)
        if found.st_uid != os.getuid() or not (folder or stat.S_ISREG(found.st_mode)):
            return
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            return  # in use
        if not os.path.samestat(found, os.lstat(entry.path)):
            return
        if folder:
            shutil.rmtree(entry.path, ignore_errors=True)
        else:
            os.unlink(entry.path)
    except OSError:
        pass
    finally:
        os.close(fd)


def _locked(make: Callable[[], tuple[int | None, str]]) -> tuple[int, str]:
    """Makes a new file or folder and locks it; returns (locked descriptor, path).

    A sweep may take a new one between its making and its locking: then it is
    made again."""
    while True:
        fd, path = make()
        try:
            if fd is None:
                fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
            fcntl.flock(fd, fcntl.LOCK_EX)
            if os.path.samestat(os.fstat(fd), os.stat(path)):
                return fd, path
        except FileNotFoundError:
            pass
        if fd is not None:
            os.close(fd)


def part_file(directory: str, prefix: str = OUTPUT_PREFIX) -> tuple[int, str]:
    """A new empty `prefix`*.part file in `directory`, locked while the
    returned descriptor is open: (descriptor, path)."""
    return _locked(lambda: tempfile.mkstemp(prefix=prefix, suffix=PART, dir=directory))


class Scratch:
    """A temporary folder, locked while this object lives; removed by remove(),
    at the end of a with block, or when the object goes."""

    def __init__(self, parent: str | None = None, prefix: str = COPY_PREFIX):
        parent = parent if parent is not None else tempfile.gettempdir()
        sweep(parent, prefix)
        fd, self.path = _locked(lambda: (None, tempfile.mkdtemp(prefix=prefix, suffix=PART, dir=parent)))
        self._remove = weakref.finalize(self, _remove_folder, self.path, fd)

    def remove(self) -> None:
        self._remove()

    def __enter__(self) -> str:
        return self.path

    def __exit__(self, *exc: object) -> None:
        self.remove()


def _remove_folder(path: str, fd: int) -> None:
    shutil.rmtree(path, ignore_errors=True)
    os.close(fd)


class Copy:
    """A file in a Scratch folder of its own. The process that made it owns it;
    a pickled one (in a worker) only reads it, and the file goes with its owner."""

    def __init__(self, name: str):
        self._scratch: Scratch | None = Scratch()
        self.path = os.path.join(self._scratch.path, name)

    @classmethod
    def borrowed(cls, path: str) -> Copy:
        copy = cls.__new__(cls)
        copy._scratch = None
        copy.path = path
        return copy

    def remove(self) -> None:
        if self._scratch is not None:
            self._scratch.remove()

    def __reduce__(self) -> tuple[object, tuple[str]]:
        return Copy.borrowed, (self.path,)


@contextlib.contextmanager
def complete_file(out: str | os.PathLike[str]) -> Iterator[IO[bytes]]:
    """A binary file that appears at `out` only once the block ends without an
    exception, with the mode of an ordinary new file. Until then it is a locked
    .marrowfin-*.part file beside `out`, removed on failure (or by the next
    sweep of the folder, should the process be killed). A device or a pipe at
    `out` (/dev/null, a FIFO) is written into directly."""
    try:
        mode = os.stat(out).st_mode
    except OSError:
        mode = stat.S_IFREG
    if not (stat.S_ISREG(mode) or stat.S_ISDIR(mode)):  # a device or a pipe: written into, never replaced
        with open(out, "wb") as sink:
            yield sink
        return
    directory = os.path.dirname(os.path.abspath(out))
    sweep(directory, OUTPUT_PREFIX)
    fd, temp = part_file(directory)
    lock = os.dup(fd)  # held until the file has its name: closing `fd` would free it
    try:
        with os.fdopen(fd, "wb") as sink:
            yield sink
        publish(temp, out)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temp)
        raise
    finally:
        os.close(lock)


def publish(temp: str, out: str | os.PathLike[str]) -> None:
    """Gives the complete file `temp` the name `out`, with the mode of an ordinary new file."""
    umask = os.umask(0)
    os.umask(umask)
    os.chmod(temp, 0o666 & ~umask)  # not mkstemp's 0600
    os.replace(temp, out)
