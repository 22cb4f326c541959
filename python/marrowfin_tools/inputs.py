"""What the commands and the many-file functions accept as files.

Besides recordings (plain, gzip, bzip2 or zstd under any name), an input may be:

- a directory: every recording under it, recursively, in name order;
- a tar archive (plain, gzip or bzip2 compressed) or a zip archive: every
  recording inside it, named ``ARCHIVE:MEMBER/PATH``;
- ``ARCHIVE:MEMBER/PATH``: that member, or every member under that folder;
- a store that ``marrowfin convert`` made: every recording in it, by date
  (its catalogue and a convert's unfinished files are not looked at).

What a file holds is told by its first bytes, not by its name. A member or a
file found in a directory that is not a recording (a README, a checksum list,
an empty file, a pipe) is skipped and counted; a file named on its own is always
replayed, so that its error is seen. Data the module cannot read (xz, an
archive inside an archive) is an error of that one input.

Each recording reaches the module as a path: the file itself when its name
already makes the module read it right, else a link or, for an archive
member, a copy in a temporary directory that lasts while it is replayed. So
only the members being replayed take scratch space, wherever the work runs.
Members are copied in pieces, never held in memory whole; those of a
compressed tar (which can only be read forward) and sparse ones are copied
while the archive is listed, and only when they are replayed.

Two members of one name in an archive are told apart: the second is named
``ARCHIVE:MEMBER#2``, the third ``#3`` (the first such name that is free).

No recording may be larger than `max_size` bytes once decoded (MAX_SIZE by
default, 0 for no limit): the copy of a member, a plain file and what a pipe
or device yields stop there, failing that recording alone.
"""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import errno
import os
import re
import stat
import sys
import tarfile
import tempfile
import zipfile
import zlib
from collections.abc import Iterable, Iterator, Sequence
from typing import IO

from . import _native
from .scratch import COPY_PREFIX, OUTPUT_PREFIX, Copy, Scratch, made_here, sweep

HEAD = 4096  # bytes read to tell what a file holds
MAX_SIZE = 4 << 30  # the default limit on a recording's decoded size
_PIECE = 1 << 20  # what a copy reads at a time
_NAME_MAX = 255  # bytes in a file name

_MAGIC = ((b"\x1f\x8b", "gzip"), (b"BZh", "bzip2"), (b"PK\x03\x04", "zip"), (b"PK\x05\x06", "zip"),
          (b"\xfd7zXZ\x00", "xz"), (b"\x28\xb5\x2f\xfd", "zstd"))
_TAR_NAMES = (".tar.bz2", ".tbz2", ".tbz")
_ZSTD_TAR_NAMES = (".tar.zst", ".tzst")
# The suffix that makes the module read a kind of data: it decodes by name alone.
_SUFFIX = {"plain": ".json", "gzip": ".gz", "bzip2": ".bz2", "zstd": ".zst"}
_WHITE_SPACE = b" \t\r\n\x0b\x0c"
STORE_CATALOG = "catalog"  # the folder of a store's catalogue
STORE_MARK = ".marrowfin-store"  # in it: the mark that makes a folder a store
_CATALOG_PART = re.compile(r"part-\d{8}T\d{6}Z-\d{4,}\.parquet")


def unsupported(kind: str) -> str:
    """The error of data the module cannot read."""
    return f"{kind} data is not supported; decompress it first"


NESTED = "an archive inside an archive is not read; unpack it first"
NOT_REGULAR = "an archive is only read from a regular file"


def size_text(size: int) -> str:
    """4294967296 -> "4 GiB"; a size that is no whole number of a unit, in bytes."""
    for shift, unit in ((40, "TiB"), (30, "GiB"), (20, "MiB"), (10, "KiB")):
        if size >= 1 << shift and size % (1 << shift) == 0:
            return f"{size >> shift:,} {unit}"
    return f"{size:,} bytes"


def too_large(max_size: int) -> str:
    """The error of a recording larger than the limit once decoded."""
    return f"larger than the size limit of {size_text(max_size)} once decoded"


def path_list(paths: object, what: str = "paths") -> None:
    """Raises TypeError for a single path where a list of them is expected (a
    str would be taken a character at a time)."""
    if isinstance(paths, (str, bytes, bytearray, os.PathLike)):
        raise TypeError(f"{what} must be an iterable of paths, not {type(paths).__name__}")


def _is_tar_head(head: bytes) -> bool:
    return head[257:262] == b"ustar"


def sniff(head: bytes, name: str = "") -> str:
    """What data starting with `head` is: plain, gzip, bzip2, zstd, tar, zip,
    xz or zstd tar.

    A tar may be compressed: gzip data is looked into; bzip2 data counts as a
    tar by its name only (its first block would have to be decoded whole), and
    so does zstd data, as a zstd tar.
    """
    if not head and encoding_by_name(name) != "plain":
        return encoding_by_name(name)  # empty: its decoder says that it ended early
    kind = next((kind for magic, kind in _MAGIC if head.startswith(magic)), "plain")
    if kind == "plain" and len(head) >= 4 and head[0] & 0xF0 == 0x50 and head[1:4] == b"\x2a\x4d\x18":
        kind = "zstd"  # a skippable frame first, passed over as the module passes it over
    if kind == "plain" and _is_tar_head(head):
        return "tar"
    if kind == "gzip":
        try:
            inner = zlib.decompressobj(31).decompress(head, 512)
        except zlib.error:
            inner = b""
        if _is_tar_head(inner):
            return "tar"
    elif kind == "bzip2" and name.lower().endswith(_TAR_NAMES):
        return "tar"
    elif kind == "zstd" and name.lower().endswith(_ZSTD_TAR_NAMES):
        return "zstd tar"  # which tarfile does not read
    return kind


# A recording's kept messages have a publish time, and the stream's come with
# an op and a clock; JSON lines that this package writes (books, summaries)
# have none of these keys.
_STREAM_KEYS = (b'"op"', b'"pt"', b'"mc"', b'"clk"')


def looks_like_recording(head: bytes) -> bool:
    """Plain data that may be a recording: not empty, its first visible
    character is "{", and a key of the stream's messages is in it."""
    if not head:
        return False
    text = head.removeprefix(b"\xef\xbb\xbf").lstrip(_WHITE_SPACE)
    return not text or (text.startswith(b"{") and any(key in text for key in _STREAM_KEYS))


def encoding_by_name(name: str) -> str:
    """How the module reads a file of this name (its rule: the extension alone)."""
    base = name.rstrip("/").rsplit("/", 1)[-1]
    dot = base.rfind(".")
    extension = base[dot + 1:] if dot > 0 else ""
    if extension in ("gz", "gzip"):
        return "gzip"
    return {"bz2": "bzip2", "zst": "zstd"}.get(extension, "plain")


def is_store(path: str | os.PathLike[str]) -> bool:
    """A folder that `marrowfin convert` made: its catalogue's folder holds
    the store's mark, or (made before the mark) nothing but catalogue parts.
    Any other folder named catalog is the user's, and read as any folder."""
    folder = os.path.join(path, STORE_CATALOG)
    try:
        names = os.listdir(folder)
    except (OSError, ValueError):  # ValueError: a NUL in the path, which the module words
        return False
    return STORE_MARK in names or bool(names) and all(
        _CATALOG_PART.fullmatch(name) or made_here(name, OUTPUT_PREFIX) for name in names)


def _utf8(path: str) -> bool:
    """The module takes UTF-8 paths; os gives a name that is not with lone surrogates."""
    try:
        path.encode("utf-8")
        return True
    except UnicodeEncodeError:
        return False


def _readable_name(base: str, kind: str) -> str:
    """A file name under which the module reads data of `kind` as what it is:
    UTF-8, with the suffix its decoder goes by, and short enough for any file system."""
    base = base.rstrip("/").rsplit("/", 1)[-1].encode("utf-8", "replace").decode("utf-8")
    if base in ("", ".", "..") or base.startswith("."):
        base = "recording" + base
    suffix = "" if encoding_by_name(base) == kind else _SUFFIX[kind]
    encoded = base.encode("utf-8")
    if len(encoded) + len(suffix) > _NAME_MAX:
        # Cut to fit, and given the suffix again: the cut may take the one it had.
        suffix = _SUFFIX[kind]
        base = encoded[:_NAME_MAX - len(suffix)].decode("utf-8", "ignore")
    return base + suffix


@dataclasses.dataclass(frozen=True)
class Recording:
    """One recording to replay. It pickles, so that it can be opened in a worker.

    `name` is what output and error lines show: the path as given, or
    ARCHIVE:MEMBER/PATH. Open it with local_path().
    """

    name: str
    kind: str | None  # plain, gzip, bzip2 or zstd; None when it cannot be read:
    error: str | None = None  # then why
    path: str | None = None  # a file on disk
    archive: str | None = None  # or a member of this archive:
    member: str | None = None  # its name there,
    span: tuple[int, int] | None = None  # the (offset, size) of a tar member's bytes,
    # or its bytes, travelling with a task to another machine (map_files),
    data: bytes | None = dataclasses.field(default=None, repr=False)
    entry: int | None = None  # a zip member's place in the archive's list (names may repeat)
    # a copy on this machine (a member of a compressed tar, or a sparse one),
    copy: Copy | None = dataclasses.field(default=None, repr=False, compare=False)
    max_size: int = MAX_SIZE  # the limit on its decoded size; 0 for none
    piped: bool = False  # `path` is a pipe or a device, read once through a copy
    size: int | None = None  # the bytes of a zip member, as the archive lists them

    def failed(self, error: str) -> Recording:
        """This recording made a failure of its own, with `error` as its text."""
        return dataclasses.replace(self, kind=None, error=error, copy=None)

    def discard(self) -> None:
        """Removes its copy now, rather than with the last object that holds it."""
        if self.copy is not None:
            self.copy.remove()

    @contextlib.contextmanager
    def local_path(self) -> Iterator[str]:
        """A path the module reads as this recording, for the length of the block.

        Raises ValueError with the error text of data that is not readable, or
        of a recording larger than its max_size.
        """
        if self.kind is None:
            raise ValueError(self.error)
        with contextlib.ExitStack() as stack:
            path = self._local(stack)
            # Every recording reaches the module here. A copy and a plain file
            # are held to max_size already; a compressed file on disk is held
            # to it as it decodes, by the limit the thread's loads observe
            # while the block runs.
            previous = _native.set_thread_decoded_limit(self.max_size)
            try:
                yield path
            finally:
                _native.set_thread_decoded_limit(previous)

    def _local(self, stack: contextlib.ExitStack) -> str:
        assert self.kind is not None
        if self.copy is not None:
            return self.copy.path
        on_disk = self.path is not None and not self.piped
        if on_disk:
            assert self.path is not None
            try:
                size = os.stat(self.path).st_size
            except OSError:
                size = 0  # the module says what is wrong, in its own words
            if self.max_size and self.kind == "plain" and size > self.max_size:
                raise ValueError(too_large(self.max_size))
            if encoding_by_name(self.path) == self.kind and _utf8(self.path):
                return self.path
        folder = stack.enter_context(Scratch())
        if on_disk:
            assert self.path is not None
            local = os.path.join(folder, _readable_name(self.path, self.kind))
            os.symlink(os.path.abspath(self.path), local)
            return local
        if self.piped:
            return self._copy_piped(folder)
        local = os.path.join(folder, _readable_name(self.member or self.name, self.kind))
        with open(local, "wb", buffering=0) as out:
            self._copy_member(out)
        return local

    def _copy_member(self, out: IO[bytes]) -> None:
        limit = self.max_size or None
        if self.data is not None:  # held to the limit where it was copied
            _write(out, self.data)
        elif self.span is not None:
            offset, size = self.span
            with open(self.archive, "rb") as archive:  # type: ignore[arg-type]
                archive.seek(offset)
                _copy(archive, out, size, limit)
        else:
            assert self.archive is not None and self.member is not None
            with zipfile.ZipFile(self.archive) as archive:
                info = archive.getinfo(self.member) if self.entry is None else archive.infolist()[self.entry]
                if info.filename != self.member:
                    raise ValueError("the archive changed since it was listed")
                with archive.open(info) as member:
                    _copy(member, out, None, limit)

    def _copy_piped(self, folder: str) -> str:
        assert self.path is not None
        try:
            source = open(self.path, "rb")  # a pipe waits here for its writer
        except OSError as e:
            raise ValueError(_os_error_text(e)) from e
        with source:
            head = b""
            while len(head) < HEAD and (piece := source.read(HEAD - len(head))):
                head += piece
            kind = sniff(head, self.path)
            if kind in ("tar", "zip"):
                raise ValueError(NOT_REGULAR)
            if kind not in _SUFFIX:
                raise ValueError(unsupported(kind))
            local = os.path.join(folder, _readable_name(self.path, kind))
            with open(local, "wb", buffering=0) as out:
                _write(out, head)
                _copy(source, out, None, self.max_size or None, len(head))
        return local


def _copy(source: IO[bytes], out: IO[bytes], size: int | None, limit: int | None, done: int = 0) -> None:
    """Copies `size` bytes (None: to the end) in pieces. ValueError as soon as
    they and the `done` bytes written before come to more than `limit` (None: no limit)."""
    left = size
    while True:
        if limit is not None and done + (left or 0) > limit:
            raise ValueError(too_large(limit))
        if left is not None and left <= 0:
            return
        chunk = source.read(_PIECE if left is None else min(left, _PIECE))
        if not chunk:
            if left:
                raise ValueError("unexpected end of the archive")
            return
        done += len(chunk)
        if limit is not None and done > limit:
            raise ValueError(too_large(limit))
        _write(out, chunk)
        if left is not None:
            left -= len(chunk)


def _write(out: IO[bytes], data: bytes) -> None:
    """Writes all of `data` to a copy (unbuffered, so that a failure comes
    here): a failure of the scratch space, such as a full disk, is said as
    its own, not as the recording's."""
    view = memoryview(data)
    try:
        while view:
            written = out.write(view)
            if not written:  # a regular file takes something or fails
                raise OSError(errno.EIO, os.strerror(errno.EIO))
            view = view[written:]
    except OSError as e:
        space = os.path.dirname(os.path.dirname(os.path.abspath(str(out.name))))
        raise ValueError(f"copying it into {space}: {e.strerror or e}") from e


def _failed(name: str, error: str) -> Recording:
    return Recording(name, None, error)


def _found(name: str, kind: str, **where: object) -> Recording:
    """A recording of data of `kind`, or the error of data the module cannot read."""
    if kind in _SUFFIX:
        return Recording(name, kind, **where)  # type: ignore[arg-type]
    return _failed(name, NESTED if kind in ("tar", "zip") else unsupported(kind))


class Outputs:
    """The outputs of a run named so far, so that no two recordings write the same one."""

    def __init__(self) -> None:
        self._first: dict[str, str] = {}

    def clash(self, name: str, output: str) -> str | None:
        """The error of the recording `name` writing `output` when another one already does."""
        first = self._first.setdefault(output, name)
        return None if first == name else f"{first} and {name} would both write {output}"


def plain_file(path: str) -> bool:
    """A file that is no archive (a directory or an archive stands for what it holds)."""
    if not os.path.isfile(path):
        return False
    try:
        with open(path, "rb") as f:
            head = f.read(HEAD)
    except OSError:
        return False
    return sniff(head, path) not in ("tar", "zip")


class Inputs:
    """The recordings of some inputs, found lazily while they are iterated.

    `skipped` counts the files and members passed over as not recordings so
    far, `links` the members of tars that are links (a hard link's bytes are
    those of an earlier member); `found` the recordings handed out. Directories in `exclude` (an
    output directory inside an input one) are not looked into. `max_size`
    limits each recording's decoded size (None: MAX_SIZE; 0: no limit).
    """

    def __init__(self, paths: Iterable[str | os.PathLike[str] | Recording],
                 exclude: Iterable[str | os.PathLike[str]] = (), *, max_size: int | None = None):
        path_list(paths)
        path_list(exclude, "exclude")
        if max_size is None:
            max_size = MAX_SIZE
        if max_size < 0:
            raise ValueError("max_size must be 0 (no limit) or more")
        self.max_size = max_size
        self._paths = paths
        self._exclude = {os.path.realpath(path) for path in exclude}
        self.skipped = 0
        self.links = 0
        self.found = 0
        self._read: set[tuple[int, int]] = set()  # (device, inode) of the files read
        self._folders: dict[str, str] = {}  # the input directories: real path -> as given
        self._noted = False

    @classmethod
    def of(cls, paths: Iterable[str | os.PathLike[str] | Recording] | Inputs,
           max_size: int | None = None) -> Inputs:
        """`paths` as Inputs (itself when it is one: its own max_size holds)."""
        if not isinstance(paths, Inputs):
            return cls(paths, max_size=max_size)
        if max_size is not None and max_size != paths.max_size:
            raise ValueError("max_size goes to the Inputs given as paths")
        return paths

    def __iter__(self) -> Iterator[Recording]:
        sweep(tempfile.gettempdir(), COPY_PREFIX)  # copies a killed run left
        for path in self._paths:
            found = [path] if isinstance(path, Recording) else self._expand(os.fsdecode(path))
            for recording in found:
                self.found += 1
                yield recording

    def reads(self, path: str) -> str | None:
        """Why writing `path` would destroy an input of these, or None: the file
        there (links followed) is one of the inputs (named, or read so far), or a
        file under an input directory that would be read."""
        try:
            target = os.stat(path)
        except OSError:
            return None  # nothing there to lose
        if not self._noted and isinstance(self._paths, Sequence):
            self._noted = True
            for given in self._paths:
                if not isinstance(given, Recording):
                    self._note(os.fspath(given))
        if (target.st_dev, target.st_ino) in self._read:
            return "is one of the inputs"
        real = os.path.realpath(path)
        for folder, given in self._folders.items():
            pruned = any(under(real, excluded) for excluded in self._exclude
                         if excluded != folder and under(excluded, folder))
            if under(real, folder) and not pruned and _read_in_folder(real):
                return f"is read from the input folder {given}"
        return None

    def _note(self, path: str) -> None:
        """Notes a given path: a folder, or a file (or the archive of ARCHIVE:MEMBER) it reads."""
        if os.path.isdir(path):
            self._folders.setdefault(os.path.realpath(path), path)
            return
        split = None if os.path.lexists(path) else _split_member(path)
        self._note_file(split[0] if split is not None else path)

    def _note_file(self, path: str | None) -> None:
        if path is None:
            return
        try:
            found = os.stat(path)
        except OSError:
            return
        self._read.add((found.st_dev, found.st_ino))

    def _recording(self, name: str, kind: str, **where: object) -> Recording:
        recording = _found(name, kind, max_size=self.max_size, **where)
        self._note_file(recording.path)
        self._note_file(recording.archive)
        return recording

    def _expand(self, path: str) -> Iterator[Recording]:
        if os.path.isdir(path):
            self._note(path)
            store = is_store(path)
            unreadable: list[OSError] = []
            # A link to a folder elsewhere is followed, as a link to a file
            # is; one to a folder of this tree is not (it is read under its
            # own name), nor one to a folder above it, and no folder is
            # entered twice, whatever the links that lead there.
            root, entered = os.path.realpath(path), {_folder_key(path)}
            for directory, subdirectories, files in os.walk(path, onerror=unreadable.append, followlinks=True):
                for error in unreadable:
                    yield _failed(error.filename, _os_error_text(error))
                unreadable.clear()
                kept = []
                for name in sorted(subdirectories):
                    full = os.path.join(directory, name)
                    real, key = os.path.realpath(full), _folder_key(full)
                    if os.path.islink(full) and (under(real, root) or under(os.path.realpath(directory), real)):
                        continue
                    if (key not in entered and real not in self._exclude and not made_here(name, OUTPUT_PREFIX)
                            and not (store and directory == path and name == STORE_CATALOG)):
                        entered.add(key)
                        kept.append(name)
                subdirectories[:] = kept
                for name in sorted(files):
                    if made_here(name, OUTPUT_PREFIX) or store and name.startswith(OUTPUT_PREFIX):
                        continue  # an output of this package not yet complete
                    yield from self._file(os.path.join(directory, name), named=False)
            for error in unreadable:
                yield _failed(error.filename, _os_error_text(error))
            return
        if not os.path.lexists(path):
            split = _split_member(path)
            if split is not None:
                yield from self._archive(split[0], path, select=split[1])
                return
        yield from self._file(path, named=True)

    def _file(self, path: str, named: bool) -> Iterator[Recording]:
        """A file named on its own (always replayed), or found in a directory."""
        try:
            regular: bool | None = stat.S_ISREG(os.stat(path).st_mode)
        except OSError:
            regular = None  # the open below says why
        if regular is False:
            if named:  # read once, through a copy held to the limit: it may never end
                yield self._recording(path, encoding_by_name(path), path=path, piped=True)
            else:
                self.skipped += 1  # a pipe, socket or device: opening it may wait forever
            return
        try:
            with open(path, "rb") as file:
                head = file.read(HEAD)
        except OSError:
            # The module says what is wrong, in its own words.
            yield self._recording(path, encoding_by_name(path), path=path)
            return
        kind = sniff(head, path)
        if kind in ("tar", "zip"):
            yield from self._archive(path, path)
        elif kind == "plain" and not named and not looks_like_recording(head):
            self.skipped += 1
        else:
            yield self._recording(path, kind, path=path)

    def _archive(self, archive: str, shown: str, select: str | None = None) -> Iterator[Recording]:
        """The recordings of an archive; `select`: one member, or a folder of them."""
        found, skipped = False, self.skipped + self.links
        try:
            for recording in self._members(archive, select):
                found = True
                yield recording
        except (OSError, tarfile.TarError, zipfile.BadZipFile, EOFError, zlib.error, UnicodeDecodeError) as e:
            failed = _failed(shown, f"cannot read the archive: {_archive_error_text(e)}")
        else:
            if select is not None and not found:
                passed_over = self.skipped + self.links > skipped
                yield _failed(shown, "no recording in it" if passed_over else "no such member in the archive")
            return
        yield failed  # not within the except block, whose exception holds the frames of the listing

    def _members(self, archive: str, select: str | None) -> Iterator[Recording]:
        with open(archive, "rb") as file:
            head = file.read(HEAD)
        seen: set[str] = set()
        if sniff(head, archive) == "zip":
            with zipfile.ZipFile(archive) as zip_file:
                for index, entry in enumerate(zip_file.infolist()):
                    if entry.is_dir() and not entry.file_size:
                        continue  # a folder (one with bytes is a member)
                    name = _unique(entry.filename, seen)
                    if not _wanted(name, entry.filename, select):
                        continue
                    try:
                        with zip_file.open(entry) as member:
                            head = member.read(HEAD)
                    except (RuntimeError, NotImplementedError, zipfile.BadZipFile, zlib.error, EOFError) as e:
                        # encrypted, Deflate64, damaged: that member fails alone
                        why = "it is encrypted" if entry.flag_bits & 1 else _error_text(e)
                        yield _failed(f"{archive}:{name}", f"cannot read the member: {why}")
                        continue
                    recording = self._member(archive, name, entry.filename, head, select, entry.file_size,
                                             entry=index, size=entry.file_size)
                    if recording is not None:
                        yield recording
            return
        # A compressed tar can only be read forward, and a sparse member's
        # bytes are not in one piece: a member of these that is replayed is
        # copied now, while the archive is read.
        compressed = not _is_tar_head(head)
        # Opened as what its first bytes say: "r:*" would try every way and
        # word a damaged one's failure as each way's.
        method = next((kind for magic, kind in _MAGIC if head.startswith(magic)), "")
        mode = {"gzip": "r:gz", "bzip2": "r:bz2", "xz": "r:xz"}.get(method, "r:")
        with tarfile.open(archive, mode, tarinfo=_CheckedHeader) as tar:
            for info in tar:
                # TarFile keeps every header it read; a year of members is a lot.
                tar.members.clear()  # type: ignore[attr-defined]
                if info.isdir():
                    continue
                name = _unique(info.name, seen)
                if not _wanted(name, info.name, select):
                    continue
                if info.islnk() or info.issym():
                    if name == select:
                        yield _failed(f"{archive}:{name}", f"a link to {info.linkname}: name that member")
                    else:
                        self.links += 1
                    continue
                if not info.isreg():
                    self.skipped += 1  # devices
                    continue
                source = tar.extractfile(info)
                assert source is not None
                head = source.read(HEAD)
                if compressed or info.issparse():
                    recording = self._member(archive, name, info.name, head, select, info.size)
                    if recording is not None and recording.kind is not None:
                        recording = self._copied(recording, head, source)
                else:
                    recording = self._member(archive, name, info.name, head, select, info.size,
                                             span=(info.offset_data, info.size))
                if recording is not None:
                    yield recording
            bad = getattr(tar, _BAD_HEADER, None)
            if bad is not None:  # the members after it are not listed
                raise tarfile.ReadError(f"a bad header at byte {bad[0]:,}: {bad[1]}")

    def _member(self, archive: str, name: str, member: str, head: bytes, select: str | None,
                member_size: int, **where: object) -> Recording | None:
        """A member (`name` as shown, `member` in the archive); one named on its
        own is always replayed, as a file is. None when it is skipped."""
        kind = sniff(head, member)
        if kind == "plain" and name != select and not looks_like_recording(head):
            self.skipped += 1
            return None
        recording = self._recording(f"{archive}:{name}", kind, archive=archive, member=member, **where)
        if self.max_size and member_size > self.max_size and recording.kind is not None:
            return recording.failed(too_large(self.max_size))
        return recording

    def _copied(self, recording: Recording, head: bytes, source: IO[bytes]) -> Recording:
        """The recording with its bytes copied to disk, or failed over the limit."""
        assert recording.kind is not None and recording.member is not None
        copy = Copy(_readable_name(recording.member, recording.kind))
        try:
            with open(copy.path, "wb", buffering=0) as out:
                _write(out, head)
                _copy(source, out, None, self.max_size or None, len(head))
        except ValueError as e:
            copy.remove()
            return recording.failed(str(e))
        except BaseException:
            copy.remove()
            raise
        return dataclasses.replace(recording, copy=copy)


_BAD_HEADER = "_marrowfin_bad_header"


class _CheckedHeader(tarfile.TarInfo):
    """Python's tar reader ends its listing quietly at a header it cannot
    read, once past the first: noted here on the archive, to be said."""

    @classmethod
    def fromtarfile(cls, tar: tarfile.TarFile) -> tarfile.TarInfo:
        try:
            return super().fromtarfile(tar)
        except (tarfile.InvalidHeaderError, tarfile.TruncatedHeaderError) as e:  # type: ignore[attr-defined]
            setattr(tar, _BAD_HEADER, (tar.offset, e))
            raise


def _folder_key(path: str) -> tuple[int, int] | str:
    """What tells a folder from every other, links followed."""
    try:
        found = os.stat(path)
    except OSError:
        return path  # os.walk says why it cannot list it
    return found.st_dev, found.st_ino


def _archive_error_text(error: BaseException) -> str:
    # tarfile words a decoder's failure at the start as "not a bzip2 file"; the cause says why.
    if isinstance(error, tarfile.ReadError) and error.__cause__ is not None:
        error = error.__cause__
    return _error_text(error)


def under(path: str, folder: str) -> bool:
    return path == folder or path.startswith(folder.rstrip("/") + "/")


def _read_in_folder(path: str) -> bool:
    """Whether a file found in an input directory would be read (not skipped)."""
    try:
        if not stat.S_ISREG(os.stat(path).st_mode):
            return False
        with open(path, "rb") as file:
            head = file.read(HEAD)
    except OSError:
        return True  # its error would be reported
    return sniff(head, path) != "plain" or looks_like_recording(head)


def _unique(member: str, seen: set[str]) -> str:
    """The name a member is shown by: its own, or for a second of one name #2, #3..."""
    name, count = member, 1
    while name in seen:
        count += 1
        name = f"{member}#{count}"
    seen.add(name)
    return name


def _wanted(name: str, member: str, select: str | None) -> bool:
    return select is None or name == select or member.startswith(select.rstrip("/") + "/")


def _split_member(path: str) -> tuple[str, str] | None:
    """ARCHIVE:MEMBER split where ARCHIVE is a tar or zip file, else None."""
    for match in re.finditer(":", path):
        archive, member = path[:match.start()], path[match.end():]
        if member and os.path.isfile(archive):
            try:
                with open(archive, "rb") as file:
                    if sniff(file.read(HEAD), archive) in ("tar", "zip"):
                        return archive, member
            except OSError:
                pass
    return None


def _os_error_text(error: OSError) -> str:
    """As the module words it: "Permission denied (os error 13)"."""
    return f"{error.strerror} (os error {error.errno})"


def _error_text(error: BaseException) -> str:
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    return str(error) or type(error).__name__


def read_list(source: str) -> list[str]:
    """The paths of a --files-from list, one a line ("-": standard input); blank
    lines skipped. Bytes that are not UTF-8 stand for themselves, as in os's names."""
    if source == "-":
        raw = getattr(sys.stdin, "buffer", None)
        text = raw.read().decode("utf-8", "surrogateescape") if raw is not None else sys.stdin.read()
    else:
        with open(source, encoding="utf-8", errors="surrogateescape") as file:
            text = file.read()
    return [line for line in text.splitlines() if line.strip()]


def parse_size(text: str) -> int:
    """A size in bytes: 1000, 512K, 500M, 4G or 1T (units of 1024; KiB, MB and such too)."""
    match = re.fullmatch(r"\s*(\d+)\s*(?:([KMGT])(?:i?B)?|B)?\s*", text, re.IGNORECASE)
    if match is None:
        raise argparse.ArgumentTypeError(f"not a size: {text} (such as 500M or 4G; 0 for no limit)")
    shift = {"": 0, "K": 10, "M": 20, "G": 30, "T": 40}[(match[2] or "").upper()]
    return int(match[1]) << shift


def add_arguments(parser: argparse.ArgumentParser) -> None:
    """The FILE arguments, --files-from and --max-size, as every command that replays recordings takes them."""
    parser.add_argument("files", nargs="*", metavar="FILE",
                        help="a recording (plain, gzip, bzip2 or zstd), a directory, a tar or zip archive, "
                             "or ARCHIVE:MEMBER")
    parser.add_argument("--files-from", metavar="LIST",
                        help="also every path listed in LIST, one a line (- for standard input)")
    parser.add_argument("--max-size", type=parse_size, default=MAX_SIZE, metavar="SIZE",
                        help="the largest a recording or member may be once decoded, such as 500M or "
                             f"8G; a larger one fails alone (default {size_text(MAX_SIZE)}; 0 for no limit)")


def from_arguments(args: argparse.Namespace, parser: argparse.ArgumentParser) -> list[str]:
    """The inputs that add_arguments() collected; a list that cannot be read is a usage error."""
    files = list(args.files)
    if args.files_from is not None:
        try:
            files += read_list(args.files_from)
        except (OSError, UnicodeDecodeError) as e:
            parser.error(f"--files-from {args.files_from}: {_error_text(e)}")
        if not files:
            parser.error(f"--files-from {args.files_from} names no file")
    return files
