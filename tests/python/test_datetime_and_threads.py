"""Times go through the interpreter's datetime on every call; another thread
that reaches the iterator while datetime runs gets a borrow error."""

import datetime
import queue
import sys
import threading
import time
import types

import pytest

import marrowfin
from streams import PT, change, definition, message, replay, runner, stream  # noqa: F401


class TestTimes:
    @pytest.mark.parametrize(
        "text, expected",
        [
            ("2021-01-01T12:30:00.000Z", datetime.datetime(2021, 1, 1, 12, 30)),
            ("2021-01-01T12:30:00Z", datetime.datetime(2021, 1, 1, 12, 30)),
            ("2021-01-01T12:30:00.1234Z", datetime.datetime(2021, 1, 1, 12, 30, 0, 123400)),
        ],
    )
    def test_definition_time_formats(self, replay, text, expected):
        (book,) = replay(message(PT, change(marketDefinition=definition(marketTime=text))))
        assert book.market_definition.market_time == expected
        assert book.market_definition.market_time.tzinfo is None

    @pytest.mark.parametrize("text", ["2021-01-01", "", "2021-01-01T12:30:00+00:00"])
    def test_unparsable(self, replay, text):
        with pytest.raises(ValueError) as error:
            replay(message(PT, change(marketDefinition=definition(suspendTime=text))))
        assert str(error.value) == f"time data {text!r} does not match format '%Y-%m-%dT%H:%M:%SZ'"

    def test_patched_datetime_is_seen_on_every_call(self, stream, monkeypatch):
        real = datetime.datetime
        seen = []

        class Patched(real):
            @classmethod
            def utcfromtimestamp(cls, seconds):
                seen.append(seconds)
                return real.utcfromtimestamp(seconds)

        it = marrowfin.iter_prices_file(stream(*(message(PT + i, change()) for i in range(3))))
        next(it)
        monkeypatch.setattr(datetime, "datetime", Patched)
        next(it)
        monkeypatch.setattr(datetime, "datetime", real)
        next(it)
        assert seen == [(PT + 1) / 1000.0]

    def test_replaced_import_function_is_called(self, stream, monkeypatch):
        # As with the import statement, a replaced builtins.__import__ is honoured.
        import builtins

        real_import = builtins.__import__
        names = []

        def recording_import(name, *args, **kwargs):
            names.append(name)
            return real_import(name, *args, **kwargs)

        it = marrowfin.iter_prices_file(stream(*(message(PT + i, change()) for i in range(2))))
        next(it)
        monkeypatch.setattr(builtins, "__import__", recording_import)
        next(it)
        assert names == ["datetime"]

    def test_import_failure_propagates(self, replay, monkeypatch):
        monkeypatch.setitem(sys.modules, "datetime", None)
        with pytest.raises(ImportError):
            replay(message(PT, change()))

    def test_absent_times_import_nothing(self, replay, monkeypatch):
        # Only the publish time is converted when the definition carries no times.
        calls = []
        fake = types.ModuleType("datetime")

        class FakeDatetime:
            @classmethod
            def utcfromtimestamp(cls, seconds):
                calls.append("utcfromtimestamp")
                return seconds

            @classmethod
            def strptime(cls, text, format):
                calls.append("strptime")
                return text

        fake.datetime = FakeDatetime
        monkeypatch.setitem(sys.modules, "datetime", fake)
        (book,) = replay(message(PT, change(marketDefinition=definition(openDate="x"))))
        assert calls == ["strptime", "utcfromtimestamp"]
        assert book.publish_time == PT / 1000.0 and book.market_definition.open_date == "x"
        assert book.market_definition.market_time is None


def test_borrow_conflicts_while_datetime_runs(stream, monkeypatch):
    entered, release = threading.Event(), threading.Event()
    fake = types.ModuleType("datetime")

    class BlockingDatetime:
        @classmethod
        def utcfromtimestamp(cls, seconds):
            entered.set()
            assert release.wait(10)
            return seconds

    fake.datetime = BlockingDatetime
    it = marrowfin.iter_prices_file(stream(message(PT, change(rc=[runner(1)])), message(PT + 1, change())))
    monkeypatch.setitem(sys.modules, "datetime", fake)
    result = {}
    worker = threading.Thread(target=lambda: result.setdefault("book", next(it)))
    worker.start()
    try:
        assert entered.wait(10)
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            next(it)
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            len(it)
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            iter(it)
    finally:
        release.set()
        worker.join(10)
    assert result["book"].publish_time == PT / 1000.0
    assert len(it) == 2
    assert next(it).publish_time_epoch == PT + 1  # the refused call consumed nothing


def test_reentrant_call_from_datetime(stream, monkeypatch):
    # Code run by the datetime module that steps the same iterator is refused,
    # and the refusal reaches the outer call as that code's exception.
    fake = types.ModuleType("datetime")
    it = marrowfin.iter_prices_file(stream(message(PT, change()), message(PT + 1, change())))
    seen = []

    class Reentrant:
        @classmethod
        def utcfromtimestamp(cls, seconds):
            for step in (lambda: next(it), lambda: len(it)):
                try:
                    step()
                except RuntimeError as error:
                    seen.append(str(error))
            raise LookupError("from datetime")

    fake.datetime = Reentrant
    monkeypatch.setitem(sys.modules, "datetime", fake)
    with pytest.raises(LookupError, match="^from datetime$"):
        next(it)
    assert seen == ["Already borrowed", "Already mutably borrowed"]
    monkeypatch.undo()
    assert next(it).publish_time_epoch == PT + 1


def test_threads_sharing_an_iterator_lose_and_repeat_nothing(stream, monkeypatch):
    """Two threads step one iterator while a third reads the books they get and
    asks for its length; a datetime that gives up the interpreter lock on
    every call lets them meet inside a step."""
    messages = [message(PT, change(marketDefinition=definition(
        [runner(1), runner(2)], marketTime="2021-03-30T16:20:00.000Z"), rc=[runner(1, atb=[[2.0, 1]])]))]
    for i in range(1, 300):
        if i % 25 == 0:
            messages.append(message(PT + i, change(marketDefinition=definition(
                [runner(1), runner(2)], version=i, suspendTime="2021-03-30T16:20:00Z"))))
        else:
            messages.append(message(PT + i, change(rc=[runner(1 + i % 2, atb=[[2.0 + i % 3, i]], ltp=1.5 + i % 4)])))
    path = stream(*messages)  # fmt: skip
    expected = {b.publish_time_epoch: b.to_dict() for b in marrowfin.iter_prices_file(path)}

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
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    it = marrowfin.iter_prices_file(path)
    stepped, refused, read, len_refused, unexpected = ([], []), [], [], [], []
    books, stepping_done = queue.SimpleQueue(), threading.Event()

    def guarded(body):
        def run():
            try:
                body()
            except BaseException as error:  # noqa: BLE001 - reported below
                unexpected.append(repr(error))
        return run

    def step(k):
        while True:
            try:
                book = next(it)
            except StopIteration:
                return
            except RuntimeError as error:
                refused.append(str(error))
                continue
            stepped[k].append(book.publish_time_epoch)
            books.put(book)

    def reader():
        while not (stepping_done.is_set() and books.empty()):
            try:
                len(it)
            except RuntimeError as error:
                len_refused.append(str(error))
            try:
                book = books.get(timeout=0.001)
            except queue.Empty:
                continue
            read.append(book.publish_time_epoch)
            if book.to_dict() != expected[book.publish_time_epoch]:
                unexpected.append(f"book {book.publish_time_epoch} differs")

    steppers = [threading.Thread(target=guarded(lambda k=k: step(k))) for k in (0, 1)]
    reading = threading.Thread(target=guarded(reader))
    try:
        for t in (*steppers, reading):
            t.start()
        for t in steppers:
            t.join(60)
    finally:
        stepping_done.set()
        reading.join(60)
        sys.setswitchinterval(interval)
    assert unexpected == []
    assert set(refused) == {"Already borrowed"}  # the threads did meet inside a step
    assert set(len_refused) <= {"Already mutably borrowed"}
    for own in stepped:
        assert own == sorted(own)
    assert sorted(stepped[0] + stepped[1]) == sorted(read) == list(expected)
