"""iter_prices_file: its argument, its iterator, which lines it keeps, huge files, long loads.
Decoder and parser faults and the cutting into lines are the native tests'; here, a fault's text reaching Python."""

import bz2
import gzip
import os
import pathlib
import shutil
import subprocess
import sys

import pytest
import zstandard

import gen_stream
import marrowfin
from conftest import KEPT, PT, SANITIZED, change, definition, message, runner


@pytest.mark.parametrize(
    "args, kwargs, error, text",
    [
        ((), {}, TypeError, "iter_prices_file() missing 1 required positional argument: 'path'"),
        (("a", "b"), {}, TypeError, "iter_prices_file() takes 1 positional arguments but 2 were given"),
        ((), {"file": "a"}, TypeError, "iter_prices_file() got an unexpected keyword argument 'file'"),
        (("a",), {"path": "a"}, TypeError, "iter_prices_file() got multiple values for argument 'path'"),
        ((pathlib.Path("x"),), {}, TypeError, "argument 'path': 'PosixPath' object cannot be converted to 'PyString'"),
        (("a\0b",), {}, ValueError, "file name contained an unexpected NUL byte"),
        (("bad\udc80name",), {}, UnicodeEncodeError,
         "'utf-8' codec can't encode character '\\udc80' in position 3: surrogates not allowed"),
        (("{tmp}/missing.txt",), {}, ValueError, "No such file or directory (os error 2)"),
        (("{tmp}/dir",), {}, ValueError, "Is a directory (os error 21)"),  # found at the first read
        (("{tmp}/dir.gz",), {}, ValueError, "Is a directory (os error 21)"),
        (("{tmp}/file/x.gz",), {}, ValueError, "Not a directory (os error 20)"),
    ],
)
def test_refused(tmp_path, args, kwargs, error, text):
    for name in ("dir", "dir.gz"):
        (tmp_path / name).mkdir()
    (tmp_path / "file").write_bytes(b"")
    with pytest.raises(error) as caught:
        marrowfin.iter_prices_file(*(a.replace("{tmp}", str(tmp_path)) if isinstance(a, str) else a for a in args),
                                   **kwargs)
    assert str(caught.value) == text and len(caught.value.args) == (5 if error is UnicodeEncodeError else 1)


# Which changes name a market is the native tests'; that another market's changes only
# repeat the book, the peer comparison's and the digests' of a recording of 137 markets.
def test_one_book_per_message_that_reaches_the_market_then_stays_ended(write, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    write(
        # Before the first usable market id, messages are skipped over and never end the iteration.
        message(PT, change(market=None, rc=[runner(9)]), change(market=5), change(market=""), "not a change", {}),
        message(PT + 1),
        # Changes without a usable id: applied to the market once it exists.
        message(PT + 2, change(market=None, rc=[runner(8)]), change(rc=[runner(1)]),
                change(market=None, rc=[runner(2)]), change(market=7, rc=[runner(3)])),
        message(PT + 3, change(rc=[runner(0)])),
        message(PT + 4, change(marketDefinition=definition([runner(5)]))), name="märkte €.txt",
    )  # fmt: skip
    # By keyword, a str subclass, a relative name not in ASCII: each accepted.
    it = marrowfin.iter_prices_file(path=type("Name", (str,), {})("märkte €.txt"))
    os.remove(tmp_path / "märkte €.txt")  # the file is read once, at the call
    assert iter(it) is it and type(it) is marrowfin.PricesIterator and len(it) == 5
    for _ in it:
        break
    books = list(it)  # a second loop goes on where the first stopped
    assert [(b.publish_time_epoch, [r.selection_id for r in b.runners]) for b in books] == [
        (PT + 3, [0, 1, 2, 3]), (PT + 4, [0, 1, 2, 3, 5])]
    assert {b.market_id for b in books} == {"1.100"}
    with pytest.raises(StopIteration):
        next(it)
    assert len(it) == 5 and list(it) == []  # and stays ended


LINES = ((KEPT + "\n") * 3).encode()
KEPT_LINES = [  # a bare change, and edges of the publish time (a list of changes: the native tests')
    '{"id":"1.1","marketDefinition":{},"pt":5}', '{"rc":[],"pt":5}', '{"pt":5,"mc":{},"marketDefinition":null}',
    '{"pt":9223372036854775807,"mc":[]}', '{"pt":-1,"pt":5,"mc":[]}',  # the last "pt" wins
]
SKIPPED_LINES = [  # (a line not an object, or of publish time 0: the native tests')
    '{"pt":5,"mc":[],"pt":0}', '{"pt":5,"mc":{}}', "null", '{"pt":-5,"mc":[]}', '{"pt":5.0,"mc":[]}',
    '{"pt":"123","mc":[]}', '{"pt":9223372036854775808,"mc":[]}', '{"mc":[]}', '{"PT":5,"mc":[]}', '{"pt":5,"MC":[]}',
]


@pytest.mark.parametrize(
    "name, data, result",
    [
        ("x.gz", b"".join(gzip.compress(d, mtime=0) for d in (LINES, b"", LINES[:-1])), 6),  # `cat a.gz b.gz`
        ("x.zst", zstandard.ZstdCompressor(write_checksum=True).compress(LINES)[:-1], "unexpected end of file"),
        ("x.txt", b"", 0), *[("x.txt", line, 1) for line in KEPT_LINES],
        *[("x.txt", line, 0) for line in SKIPPED_LINES],
    ],
)
def test_messages_kept_or_the_fault_of_a_file(write, name, data, result):
    """The number of kept messages, or the text of the load's ValueError."""
    try:
        assert len(marrowfin.iter_prices_file(write(data, name=name))) == result
    except ValueError as error:
        assert error.args == (result,)


@pytest.mark.skipif(shutil.which("cc") is None, reason="needs a C compiler")
# Thread creation that fails throws; the sanitizer's runtime preloaded into
# an interpreter built without it finds no C++ runtime to throw with.
@pytest.mark.skipif(SANITIZED, reason="the sanitizer's C++ throws fail")
def test_no_thread_to_be_had(write, tmp_path):
    """When no thread can be started, the load of a file of megabytes (parsed in pieces
    on several threads otherwise) and the bzip2 decoder work on the calling thread alone."""
    gen_stream.main(["--size-mb", "5", "-o", str(tmp_path / "x.txt")])
    data = (tmp_path / "x.txt").read_bytes()
    paths = [str(tmp_path / "x.txt"), write(gzip.compress(data, 1), name="x.gz"),
             write(bz2.compress(data, 1), name="x.bz2")]  # fmt: skip
    books = sum(book.publish_time_epoch for book in marrowfin.iter_prices_file(paths[0]))
    (tmp_path / "refuse.c").write_text(REFUSE_THREADS)
    stub = tmp_path / "refuse.so"
    subprocess.run(["cc", "-shared", "-fPIC", "-o", stub, tmp_path / "refuse.c", "-ldl"], check=True)
    preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(stub)]))
    assert run_python("""if True:
        import ctypes, sys, marrowfin
        stub = ctypes.CDLL(sys.argv[1])
        stub.refuse_threads()
        for path in sys.argv[2:]:
            books = sum(book.publish_time_epoch for book in marrowfin.iter_prices_file(path))
            print(bool(stub.refused_any()), books)""", stub, *paths, LD_PRELOAD=preload) == ["True", str(books)] * 3


def run_python(script, *args, **env):
    """The words a script printed, run in a fresh interpreter with `env` added to its environment."""
    done = subprocess.run([sys.executable, "-c", script, *map(str, args)], capture_output=True, text=True,
                          timeout=120, env=dict(os.environ, **env))
    assert done.returncode == 0, done.stderr
    return done.stdout.split()


REFUSE_THREADS = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
static int refuse, refused;
void refuse_threads(void) { refuse = 1; }
int refused_any(void) { int was = refused; refused = 0; return was; }
int pthread_create(pthread_t *t, const pthread_attr_t *a, void *(*f)(void *), void *arg) {
  if (refuse) { refused = 1; return EAGAIN; }
  int (*real)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *) =
      (int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *))dlsym(RTLD_NEXT, "pthread_create");
  return real(t, a, f, arg);
}
"""


def test_a_load_stopped_by_a_signal_or_out_of_memory_keeps_nothing(tmp_path):
    line = b'{"pt":1,"mc":[{"id":"1.1","rc":[{"id":1,"ltp":2.5,"atb":[[1.5,3]]}]}]}\n'
    fifo, large, small = tmp_path / "endless", tmp_path / "large.json.gz", tmp_path / "small.json"
    large.write_bytes(gzip.compress(line * 1_500_000, 1))  # 100 MB of text, a few times that parsed
    small.write_bytes(line)
    os.mkfifo(fifo)
    # Held open here too, so the pipe never ends between the loads. Its
    # lines are JSON but no market change: read for ever, keeping nothing.
    end = os.open(fifo, os.O_RDWR)
    writer = subprocess.Popen(["yes", "{}"], stdout=end)
    try:
        assert run_python("""if True:
            import os, resource, signal, sys, time, marrowfin
            from marrowfin_tools import price_table
            class Stop(Exception): pass
            def stop(*_): raise Stop
            signal.signal(signal.SIGALRM, stop)
            for load in (marrowfin.iter_prices_file, price_table):
                signal.setitimer(signal.ITIMER_REAL, 0.3)
                start = time.monotonic()
                try:
                    load(sys.argv[1])
                except Stop:
                    print("stopped", time.monotonic() - start < 3)
            if "libasan" in os.environ.get("LD_PRELOAD", ""):  # ASan needs the address space
                sys.exit()
            size = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
            resource.setrlimit(resource.RLIMIT_AS, (size + (200 << 20),) * 2)
            for load in (marrowfin.iter_prices_file, price_table):
                try:
                    load(sys.argv[2])
                except MemoryError:
                    print("MemoryError")
            print(len(marrowfin.iter_prices_file(sys.argv[3])))""", fifo, large, small) == ["stopped", "True"] * 2 + (
            [] if SANITIZED else ["MemoryError"] * 2 + ["1"])
    finally:
        writer.kill()
        writer.wait()
        os.close(end)


def test_the_decoded_size_limit(write):
    from marrowfin_tools import _native, price_table

    bomb = write(bz2.compress(b"{}\n" * 3_000_000), name="bomb.bz2")  # 9 MB from 600 bytes
    previous = _native.set_decoded_limit(1 << 20)
    try:
        for load in (marrowfin.iter_prices_file, price_table):
            with pytest.raises(ValueError, match=r"^larger than the size limit of 1 MiB once decoded$"):
                load(bomb)
        assert _native.set_decoded_limit(0) == 1 << 20
        assert len(marrowfin.iter_prices_file(bomb)) == 0
    finally:
        _native.set_decoded_limit(previous)
    with pytest.raises(ValueError, match=r"^limit must be in 0\.\.18446744073709551615, got -1$"):
        _native.set_decoded_limit(-1)
