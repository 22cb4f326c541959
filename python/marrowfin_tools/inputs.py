"""What the commands and the many-file functions accept as files.

Besides recordings (plain, gzip or bzip2 under any name), an input may be:

- a directory: every recording under it, recursively, in name order;
- a tar archive (plain, gzip or bzip2 compressed) or a zip archive: every
  recording inside it, named ``ARCHIVE:MEMBER/PATH``;
- ``ARCHIVE:MEMBER/PATH``: that member, or every member under that folder.

What a file holds is told by its first bytes, not by its name. A member or a
file found in a directory that is not a recording (a README, a checksum list,
an empty file, a pipe) is skipped and counted; a file named on its own is always
replayed, so that its error is seen. Data the module cannot read (xz, zstd,
an archive inside an archive) is an error of that one input.

Each recording reaches the module as a path: the file itself when its name
already makes the module read it right, else a link or, for an archive
member, a copy in a temporary directory that lasts while it is replayed. So
only the members being replayed take scratch space, wherever the work runs.
"""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import os
import re
import stat
import sys
import tarfile
import tempfile
import zipfile
import zlib
from collections.abc import Iterable, Iterator
from typing import IO

HEAD = 4096  # bytes read to tell what a file holds

_MAGIC = ((b"\x1f\x8b", "gzip"), (b"BZh", "bzip2"), (b"PK\x03\x04", "zip"), (b"PK\x05\x06", "zip"),
          (b"\xfd7zXZ\x00", "xz"), (b"\x28\xb5\x2f\xfd", "zstd"))
_TAR_NAMES = (".tar.bz2", ".tbz2", ".tbz")
# The suffix that makes the module read a kind of data: it decodes by name alone.
_SUFFIX = {"plain": ".json", "gzip": ".gz", "bzip2": ".bz2"}
_WHITE_SPACE = b" \t\r\n\x0b\x0c"


def unsupported(kind: str) -> str:
    """The error of data the module cannot read."""
    return f"{kind} data is not supported; decompress it first"


NESTED = "an archive inside an archive is not read; unpack it first"


def _is_tar_head(head: bytes) -> bool:
    return head[257:262] == b"ustar"


def sniff(head: bytes, name: str = "") -> str:
    """What data starting with `head` is: plain, gzip, bzip2, tar, zip, xz or zstd.

    A tar may be compressed: gzip data is looked into; bzip2 data counts as a
    tar by its name only (its first block would have to be decoded whole).
    """
    kind = next((kind for magic, kind in _MAGIC if head.startswith(magic)), "plain")
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
    return kind


def looks_like_recording(head: bytes) -> bool:
    """Plain data that may be a recording: not empty, and its first visible character is "{"."""
    if not head:
        return False
    text = head.removeprefix(b"\xef\xbb\xbf").lstrip(_WHITE_SPACE)
    return not text or text.startswith(b"{")


def encoding_by_name(name: str) -> str:
    """How the module reads a file of this name (its rule: the extension alone)."""
    base = name.rstrip("/").rsplit("/", 1)[-1]
    dot = base.rfind(".")
    extension = base[dot + 1:] if dot > 0 else ""
    if extension in ("gz", "gzip"):
        return "gzip"
    return "bzip2" if extension == "bz2" else "plain"


def _readable_name(base: str, kind: str) -> str:
    """A file name under which the module reads data of `kind` as what it is."""
    base = base.rstrip("/").rsplit("/", 1)[-1] or "recording"
    if base.startswith("."):
        base = "recording" + base
    return base if encoding_by_name(base) == kind else base + _SUFFIX[kind]


@dataclasses.dataclass(frozen=True)
class Recording:
    """One recording to replay. It pickles, so that it can be opened in a worker.

    `name` is what output and error lines show: the path as given, or
    ARCHIVE:MEMBER/PATH. Open it with local_path().
    """

    name: str
    kind: str | None  # plain, gzip or bzip2; None when it cannot be read:
    error: str | None = None  # then why
    path: str | None = None  # a file on disk
    archive: str | None = None  # or a member of this archive:
    member: str | None = None  # a zip member's name,
    span: tuple[int, int] | None = None  # the (offset, size) of a tar member's bytes,
    # or its bytes (from a compressed tar, which cannot seek)
    data: bytes | None = dataclasses.field(default=None, repr=False)

    def failed(self, error: str) -> Recording:
        """This recording made a failure of its own, with `error` as its text."""
        return dataclasses.replace(self, kind=None, error=error)

    @contextlib.contextmanager
    def local_path(self) -> Iterator[str]:
        """A path the module reads as this recording, for the length of the block.

        Raises ValueError with the error text of data that is not readable.
        """
        if self.kind is None:
            raise ValueError(self.error)
        if self.path is not None and encoding_by_name(self.path) == self.kind:
            yield self.path
            return
        with tempfile.TemporaryDirectory(prefix="marrowfin-") as scratch:
            base = self.path if self.path is not None else (self.member or self.name)
            local = os.path.join(scratch, _readable_name(base, self.kind))
            if self.path is not None:
                os.symlink(os.path.abspath(self.path), local)
            else:
                with open(local, "wb") as out:
                    self._copy_member(out)
            yield local

    def _copy_member(self, out: IO[bytes]) -> None:
        if self.data is not None:
            out.write(self.data)
        elif self.span is not None:
            offset, size = self.span
            with open(self.archive, "rb") as archive:  # type: ignore[arg-type]
                archive.seek(offset)
                _copy(archive, out, size)
        else:
            with zipfile.ZipFile(self.archive) as archive:  # type: ignore[arg-type]
                with archive.open(self.member) as member:  # type: ignore[arg-type]
                    _copy(member, out, None)


def _copy(source: IO[bytes], out: IO[bytes], size: int | None) -> None:
    left = size
    while left is None or left > 0:
        chunk = source.read(1 << 20 if left is None else min(left, 1 << 20))
        if not chunk:
            if left:
                raise ValueError("unexpected end of the archive")
            return
        out.write(chunk)
        if left is not None:
            left -= len(chunk)


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
    far; `found` the recordings handed out. Directories in `exclude` (an
    output directory inside an input one) are not looked into.
    """

    def __init__(self, paths: Iterable[str | os.PathLike[str] | Recording],
                 exclude: Iterable[str | os.PathLike[str]] = ()):
        self._paths = paths
        self._exclude = {os.path.realpath(path) for path in exclude}
        self.skipped = 0
        self.found = 0

    def __iter__(self) -> Iterator[Recording]:
        for path in self._paths:
            found = [path] if isinstance(path, Recording) else self._expand(os.fspath(path))
            for recording in found:
                self.found += 1
                yield recording

    def _expand(self, path: str) -> Iterator[Recording]:
        if os.path.isdir(path):
            unreadable: list[OSError] = []
            for directory, subdirectories, files in os.walk(path, onerror=unreadable.append):
                for error in unreadable:
                    yield _failed(error.filename, _os_error_text(error))
                unreadable.clear()
                subdirectories[:] = sorted(
                    name for name in subdirectories
                    if os.path.realpath(os.path.join(directory, name)) not in self._exclude)
                for name in sorted(files):
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
        if not named and not _is_regular(path):
            self.skipped += 1  # a pipe, socket or device: opening it may wait forever
            return
        try:
            with open(path, "rb") as file:
                regular = stat.S_ISREG(os.fstat(file.fileno()).st_mode)
                head = file.read(HEAD) if regular else b""
        except OSError:
            regular = False
        if not regular:
            # The module says what is wrong, in its own words.
            yield Recording(path, encoding_by_name(path), path=path)
            return
        kind = sniff(head, path)
        if kind in ("tar", "zip"):
            yield from self._archive(path, path)
        elif kind == "plain" and not named and not looks_like_recording(head):
            self.skipped += 1
        else:
            yield _found(path, kind, path=path)

    def _archive(self, archive: str, shown: str, select: str | None = None) -> Iterator[Recording]:
        """The recordings of an archive; `select`: one member, or a folder of them."""
        found = False
        try:
            for recording in self._members(archive, select):
                found = True
                yield recording
        except (OSError, tarfile.TarError, zipfile.BadZipFile, EOFError, zlib.error) as e:
            yield _failed(shown, f"cannot read the archive: {_error_text(e)}")
            return
        if select is not None and not found:
            yield _failed(shown, "no such member in the archive")

    def _members(self, archive: str, select: str | None) -> Iterator[Recording]:
        with open(archive, "rb") as file:
            head = file.read(HEAD)
        if sniff(head, archive) == "zip":
            with zipfile.ZipFile(archive) as zip_file:
                for entry in zip_file.infolist():
                    if not entry.is_dir() and _wanted(entry.filename, select):
                        try:
                            with zip_file.open(entry) as member:
                                head = member.read(HEAD)
                        except (RuntimeError, NotImplementedError) as e:  # encrypted, Deflate64...
                            why = "it is encrypted" if entry.flag_bits & 1 else _error_text(e)
                            yield _failed(f"{archive}:{entry.filename}", f"cannot read the member: {why}")
                            continue
                        yield from self._member(archive, entry.filename, head, select)
            return
        # A compressed tar can only be read forward: its members' bytes go
        # along with their recordings.
        compressed = not _is_tar_head(head)
        with tarfile.open(archive, "r:*") as tar:
            for info in tar:
                # TarFile keeps every header it read; a year of members is a lot.
                tar.members.clear()  # type: ignore[attr-defined]
                if info.isdir() or not _wanted(info.name, select):
                    continue
                if not info.isreg():
                    self.skipped += 1  # links and devices
                    continue
                source = tar.extractfile(info)
                assert source is not None
                if compressed or info.issparse():
                    data = source.read()
                    yield from self._member(archive, info.name, data[:HEAD], select, data=data)
                else:
                    yield from self._member(archive, info.name, source.read(HEAD), select,
                                            span=(info.offset_data, info.size))

    def _member(self, archive: str, member: str, head: bytes, select: str | None,
                **where: object) -> Iterator[Recording]:
        """A member; one named on its own is always replayed, as a file is."""
        kind = sniff(head, member)
        if kind == "plain" and member != select and not looks_like_recording(head):
            self.skipped += 1
        else:
            yield _found(f"{archive}:{member}", kind, archive=archive, member=member, **where)


def _is_regular(path: str) -> bool:
    """A regular file, or a link to one; what cannot be looked at is left to the open that follows."""
    try:
        return stat.S_ISREG(os.stat(path).st_mode)
    except OSError:
        return True


def _wanted(member: str, select: str | None) -> bool:
    return select is None or member == select or member.startswith(select.rstrip("/") + "/")


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
    """The paths of a --files-from list, one a line ("-": standard input); blank lines skipped."""
    if source == "-":
        lines = sys.stdin.read().splitlines()
    else:
        with open(source, encoding="utf-8") as file:
            lines = file.read().splitlines()
    return [line for line in lines if line.strip()]


def add_arguments(parser: argparse.ArgumentParser) -> None:
    """The FILE arguments and --files-from, as every command that replays recordings takes them."""
    parser.add_argument("files", nargs="*", metavar="FILE",
                        help="a recording (plain, gzip or bzip2), a directory, a tar or zip archive, "
                             "or ARCHIVE:MEMBER")
    parser.add_argument("--files-from", metavar="LIST",
                        help="also every path listed in LIST, one a line (- for standard input)")


def from_arguments(args: argparse.Namespace, parser: argparse.ArgumentParser) -> list[str]:
    """The inputs that add_arguments() collected; a list that cannot be read is a usage error."""
    files = list(args.files)
    if args.files_from is not None:
        try:
            files += read_list(args.files_from)
        except (OSError, UnicodeDecodeError) as e:
            parser.error(f"--files-from {args.files_from}: {_error_text(e)}")
    return files
