"""Times go through the interpreter's datetime on every call; another thread
that reaches the iterator while datetime runs gets a borrow error."""

import builtins
import datetime
import sys
import threading
import time
import types

import pytest

import marrowfin
from conftest import PT, busy_stream, change, definition, message

FORMAT_ERROR = "time data {!r} does not match format '%Y-%m-%dT%H:%M:%SZ'"


@pytest.mark.parametrize(
    "text, expected",
    [
        ("2021-01-01T12:30:00.000Z", datetime.datetime(2021, 1, 1, 12, 30)),
        ("2021-01-01T12:30:00Z", datetime.datetime(2021, 1, 1, 12, 30)),
        ("2021-01-01T12:30:00.1234Z", datetime.datetime(2021, 1, 1, 12, 30, 0, 123400)),
        ("2021-01-01", None), ("", None), ("2021-01-01T12:30:00+00:00", None),
    ],
)  # fmt: skip
def test_definition_times(replay, text, expected):
    if expected is None:
        with pytest.raises(ValueError) as error:
            replay(message(PT, change(marketDefinition=definition(suspendTime=text))))
        assert str(error.value) == FORMAT_ERROR.format(text)
    else:
        (book,) = replay(message(PT, change(marketDefinition=definition(marketTime=text))))
        assert book.market_definition.market_time == expected and expected.tzinfo is None


def fake_datetime(monkeypatch, **methods):
    """Puts a datetime module whose datetime class has these class methods in sys.modules."""
    fake = types.ModuleType("datetime")
    fake.datetime = type("datetime", (), {name: classmethod(f) for name, f in methods.items()})
    monkeypatch.setitem(sys.modules, "datetime", fake)


def test_patches_and_a_replaced_import_are_seen_on_every_call(write, monkeypatch):
    real, seen, names = datetime.datetime, [], []

    class Patched(real):
        @classmethod
        def utcfromtimestamp(cls, seconds):
            seen.append(seconds)
            return real.utcfromtimestamp(seconds)

    def recording_import(name, *args, **kwargs):
        names.append(name)
        return real_import(name, *args, **kwargs)

    it = marrowfin.iter_prices_file(write(*(message(PT + i, change()) for i in range(4))))
    next(it)
    monkeypatch.setattr(datetime, "datetime", Patched)
    next(it)
    monkeypatch.setattr(datetime, "datetime", real)
    next(it)
    real_import = builtins.__import__
    monkeypatch.setattr(builtins, "__import__", recording_import)  # honoured, as by the import statement
    next(it)
    assert (seen, names) == ([(PT + 1) / 1000.0], ["datetime"])


def test_only_present_times_are_converted_and_import_failures_propagate(replay, monkeypatch):
    calls = []
    fake_datetime(monkeypatch, utcfromtimestamp=lambda cls, s: calls.append("utcfromtimestamp") or s,
                  strptime=lambda cls, text, format: calls.append("strptime") or text)
    (book,) = replay(message(PT, change(marketDefinition=definition(openDate="x"))))
    assert calls == ["strptime", "utcfromtimestamp"]
    assert (book.publish_time, book.market_definition.open_date) == (PT / 1000.0, "x")
    assert book.market_definition.market_time is None
    monkeypatch.setitem(sys.modules, "datetime", None)
    with pytest.raises(ImportError):
        replay(message(PT, change()))


def test_reentrant_call_from_datetime(write, monkeypatch):
    # Code run by the datetime module that reaches the same iterator is
    # refused, consuming nothing; the outer call fails with that code's error.
    it = marrowfin.iter_prices_file(write(message(PT, change()), message(PT + 1, change())))
    seen = []

    def reentrant(cls, seconds):
        for step in (next, len, iter):
            try:
                step(it)
            except RuntimeError as error:
                seen.append(str(error))
        raise LookupError("from datetime")

    fake_datetime(monkeypatch, utcfromtimestamp=reentrant)
    with pytest.raises(LookupError, match="^from datetime$"):
        next(it)
    assert seen == ["Already borrowed", "Already mutably borrowed", "Already mutably borrowed"]
    monkeypatch.undo()
    assert next(it).publish_time_epoch == PT + 1


def test_threads_sharing_an_iterator_lose_and_repeat_nothing(write, monkeypatch):
    """Two threads step one iterator; a datetime that gives up the interpreter
    lock on every call lets them meet inside a step."""
    path = busy_stream(write, 300)
    expected = [b.to_dict() for b in marrowfin.iter_prices_file(path)]
    real = datetime.datetime

    class Yielding(real):
        @classmethod
        def utcfromtimestamp(cls, seconds):
            time.sleep(0)
            return real.utcfromtimestamp(seconds)

        @classmethod
        def strptime(cls, text, format):
            time.sleep(0)
            return real.strptime(text, format)

    monkeypatch.setattr(datetime, "datetime", Yielding)
    it = marrowfin.iter_prices_file(path)
    stepped, errors = ([], []), []

    def step(own):
        try:
            while True:
                try:
                    own.append(next(it))
                except RuntimeError as error:
                    errors.append(str(error))
        except StopIteration:
            pass
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(repr(error))

    threads = [threading.Thread(target=step, args=(own,)) for own in stepped]
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
    finally:
        sys.setswitchinterval(interval)
    # They did meet inside a step; each got its books in order, together every
    # book once, and no book changed after it was handed out.
    assert "Already borrowed" in errors and set(errors) == {"Already borrowed"}
    times = [[b.publish_time_epoch for b in own] for own in stepped]
    assert all(own == sorted(own) for own in times)
    books = sorted(stepped[0] + stepped[1], key=lambda b: b.publish_time_epoch)
    assert [b.to_dict() for b in books] == expected
