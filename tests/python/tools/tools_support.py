"""What the package's tests share: the sample, the peer recordings, the command, archives, raw lines."""

import contextlib
import gzip
import io
import json
import pathlib
import tarfile
import warnings
import zipfile

import pytest

from conftest import PEER_DATA
from marrowfin_tools import _native, cli, sample_path

SAMPLE = str(sample_path())
PEER_FILES = sorted(str(p) for p in PEER_DATA.glob("*") if p.name != "README.md") if PEER_DATA.is_dir() else []


@contextlib.contextmanager
def load_threads(threads):
    """Loads on `threads` threads meanwhile; 1 as a worker process loads."""
    previous = _native.set_load_threads(threads)
    try:
        yield
    finally:
        _native.set_load_threads(previous)


def run(capsys, *args):
    """Runs the command in this process: (exit status, stdout, stderr lines)."""
    status = cli.main([str(arg) for arg in args])
    out, err = capsys.readouterr()
    return status, out, err.splitlines()


def write_archive(path, members, kind):
    """A zip, or a tar (plain, gzip, bzip2) with an entry per folder, of {name: bytes}
    or of (name, bytes) pairs, where a name may come twice; or a folder of such files,
    where {name: {member: bytes}} is a zip."""
    members = list(members.items() if isinstance(members, dict) else members)
    if kind == "dir":
        for name, data in members:
            (pathlib.Path(path) / name).parent.mkdir(parents=True, exist_ok=True)
            if isinstance(data, dict):
                write_archive(pathlib.Path(path) / name, data, "zip")
            else:
                (pathlib.Path(path) / name).write_bytes(data)
        return
    if kind == "zip":
        with warnings.catch_warnings(), zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
            warnings.simplefilter("ignore")  # zipfile warns of a name it writes twice
            for name, data in members:
                archive.writestr(name, data)
        return
    with tarfile.open(path, {"tar": "w", "tar.gz": "w:gz", "tar.bz2": "w:bz2"}[kind]) as archive:
        folders = set()
        for name, data in members:
            for i in range(name.count("/")):
                folder = name.rsplit("/", i + 1)[0]
                if folder not in folders:
                    folders.add(folder)
                    archive.addfile(_info(folder, tarfile.DIRTYPE))
            archive.addfile(_info(name, size=len(data)), io.BytesIO(data))


def _info(name, kind=tarfile.REGTYPE, size=0):
    info = tarfile.TarInfo(name)
    info.type, info.size = kind, size
    return info


def text_lines(path):
    """The lines of a plain or gzip recording that are not blank, without their ends."""
    with (gzip.open if str(path).endswith(".gz") else open)(path, "rt", encoding="utf-8") as file:
        return [line.rstrip("\r\n") for line in file if line.strip()]


def raw_lines(path):
    """The JSON of each line of a plain or gzip recording."""
    return [json.loads(line) for line in text_lines(path)]


def merged(paths, out):
    """The recordings' lines in one file, ordered by publish time (stable): markets that interleave."""
    lines = [line for path in paths for line in text_lines(path)]
    lines.sort(key=lambda line: json.loads(line)["pt"])
    out.write_text("".join(line + "\n" for line in lines), encoding="utf-8")
    return str(out)


def usage_error(capsys, *args):
    """The stderr of a command that must stop at its arguments (exit status 2)."""
    with pytest.raises(SystemExit) as exit:
        cli.main([str(arg) for arg in args])
    assert exit.value.code == 2
    return capsys.readouterr().err
