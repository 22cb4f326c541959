"""Times are made of the class `datetime.datetime` names at each call: natively for the interpreter's own
(its values and errors exactly, without utcfromtimestamp's warning), by the class methods for any other.
Code that reaches the iterator while datetime code runs (another thread, or that code) gets a borrow error."""

import builtins
import datetime
import random
import subprocess
import sys
import warnings

import pytest

import marrowfin
from conftest import PT, YEAR_10000, change, definition, fake_datetime, message

FRACTIONAL, WHOLE = "%Y-%m-%dT%H:%M:%S.%fZ", "%Y-%m-%dT%H:%M:%SZ"


def outcome(function, *args):
    """What a call gives: its value, or its exception's class and text."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            return function(*args)
    except Exception as error:  # noqa: BLE001 - compared below
        return type(error), str(error)


def stepped(it, value):
    """value(book) for each step of the iterator, or the step's exception's class and text."""
    for _ in range(len(it)):
        try:
            yield value(next(it))
        except Exception as error:  # noqa: BLE001 - compared below
            yield type(error), str(error)


def strptime_as_before(text):
    """The two attempts the module made for every definition time before."""
    try:
        return datetime.datetime.strptime(text, FRACTIONAL)
    except Exception:  # noqa: BLE001 - any failure moves on to the second form
        return outcome(datetime.datetime.strptime, text, WHOLE)


@pytest.fixture(params=["datetime", "a subclass", "a subclass with its own class methods"])
def clock(request, monkeypatch):
    """The class times are made of, and what it was called with: the interpreter's own; a subclass that
    inherits the class methods (as flumine's simulated clock's), whose constructor gets the fields; one with
    class methods of its own, which are called. Each comes after times were made of the class before."""
    made = []
    if request.param == "datetime":
        return datetime.datetime, made

    class Frozen(datetime.datetime):
        def __new__(cls, *args):
            made.append(args)
            return super().__new__(cls, *args)

    class Patched(datetime.datetime):
        @classmethod
        def strptime(cls, text, format):
            made.append((text, format))
            return super().strptime(text, format)

        @classmethod
        def utcfromtimestamp(cls, seconds):
            made.append((seconds,))
            with warnings.catch_warnings(action="ignore", category=DeprecationWarning):
                return super().utcfromtimestamp(seconds)

    cls = Frozen if request.param == "a subclass" else Patched
    monkeypatch.setattr(datetime, "datetime", cls)
    return cls, made


def made_as_the_class_methods_make(clock, got, expected, publish_times=True):
    """Compares the values, and the calls that made them (a publish time's: 8 fields, or a timestamp)."""
    cls, made = clock
    built = [args for args in made if publish_times or len(args) not in (1, 8)]
    made.clear()
    assert got == expected() and built == made
    values = [v for v in got if not isinstance(v, tuple)]
    assert {(type(v), v.tzinfo) for v in values} == {(cls, None)}
    return values


@pytest.mark.filterwarnings("error")
def test_publish_times_are_utcfromtimestamp_to_the_microsecond(write, clock):
    rng = random.Random(10)
    times = [rng.randrange(1, YEAR_10000) for _ in range(4000)]
    times += [int(10 ** rng.uniform(0, 15.5)) for _ in range(2000)]  # every magnitude
    times += range(YEAR_10000 - 1500, YEAR_10000 + 2)  # double rounding, then year 10000
    times += [1, 999, 1000, 1001, 86_400_000, PT, 2**53 + 1, 2**62, 2**63 - 1]
    it = marrowfin.iter_prices_file(write(*(message(pt, change()) for pt in times)))
    got = list(stepped(it, lambda book: book.publish_time))
    values = made_as_the_class_methods_make(
        clock, got, lambda: [outcome(clock[0].utcfromtimestamp, pt / 1000.0) for pt in times])
    assert len(values) > 5000 and got[-1] == (ValueError, "year 292278994 is out of range")


def test_definition_times_are_what_strptime_made(write, clock):
    rng = random.Random(11)
    texts = []
    for _ in range(1500):
        t = datetime.datetime(1, 1, 1) + datetime.timedelta(seconds=rng.randrange(315_537_897_600))
        digits = rng.randrange(8)
        fraction = "." + str(rng.randrange(10**digits)).zfill(digits) if digits else ""
        texts.append(f"{t.year:04}-{t.month:02}-{t.day:02}T{t.hour:02}:{t.minute:02}:{t.second:02}{fraction}Z")
    texts += ["2021-02-29T00:00:00Z", "2021-02-29T00:00:00.000Z", "2024-02-29T00:00:00.5Z",
              "0000-01-01T00:00:00Z", "9999-12-31T23:59:59.999999Z", "2021-01-01T00:00:60Z",
              "2021-01-01T00:00:61.000Z", "2021-01-01T24:00:00Z", "2021-1-2T3:4:5Z", "2021-01-01t00:00:00z",
              "2021-01-01T00:00:00.Z", "\u0662\u0660\u0662\u0661-01-01T00:00:00Z", "2021-01-01T00:00:00",
              " 2021-01-01T00:00:00Z", "2021-01-01", ""]  # fmt: skip
    messages = [message(PT + i, change(marketDefinition=definition(marketTime=text)))
                for i, text in enumerate(texts)]
    it = marrowfin.iter_prices_file(write(*messages))
    clock[1].clear()  # the texts' own
    got = list(stepped(it, lambda book: book.market_definition.market_time))
    made_as_the_class_methods_make(clock, got, lambda: [strptime_as_before(text) for text in texts], False)
    assert sum(isinstance(v, tuple) for v in got) > 100  # 7 fraction digits, and the edge cases


def test_own_times_are_made_without_strptime():
    # In a fresh process, as the datetime module's own strptime imports it.
    code = """if True:
        import sys, marrowfin, marrowfin_tools
        books = marrowfin.iter_prices_file(str(marrowfin_tools.sample_path()))
        print(sum(b.market_definition.market_time is not None for b in books), "_strptime" in sys.modules)"""
    out = subprocess.run([sys.executable, "-W", "error", "-c", code], check=True, capture_output=True, text=True)
    assert int(out.stdout.split()[0]) > 1000 and out.stdout.split()[1] == "False"


def test_the_class_is_looked_up_on_every_call_and_code_it_runs_cannot_reenter(write, replay, monkeypatch):
    names, calls, seen = [], [], []

    def recording_import(name, *args, **kwargs):
        names.append(name)
        return real_import(name, *args, **kwargs)

    def reentrant(cls, seconds):
        for step in (next, len, iter):
            try:
                step(it)
            except RuntimeError as error:
                seen.append(str(error))
        raise LookupError("from datetime")

    it = marrowfin.iter_prices_file(write(*(message(PT + i, change()) for i in range(5))))
    next(it)
    real_import = builtins.__import__
    monkeypatch.setattr(builtins, "__import__", recording_import)  # honoured, as by the import statement
    assert next(it).publish_time == datetime.datetime(2023, 11, 14, 22, 13, 20, 1000) and names == ["datetime"]
    monkeypatch.setattr(builtins, "__import__", real_import)
    # A class of another kind: its class methods' values, whatever they are.
    fake_datetime(monkeypatch, utcfromtimestamp=lambda cls, s: calls.append("utcfromtimestamp") or s,
                  strptime=lambda cls, text, format: calls.append("strptime") or text)
    (book,) = replay(message(PT, change(marketDefinition=definition(openDate="x"))))
    assert (book.publish_time, book.market_definition.open_date, book.market_definition.market_time) == (
        PT / 1000.0, "x", None)
    assert calls == ["strptime", "utcfromtimestamp"]  # only the times present
    monkeypatch.setitem(sys.modules, "datetime", None)
    with pytest.raises(ImportError):
        next(it)
    # Code run by the datetime module that reaches the same iterator is
    # refused, consuming nothing; the outer call fails with that code's error.
    fake_datetime(monkeypatch, utcfromtimestamp=reentrant)
    with pytest.raises(LookupError, match="^from datetime$"):
        next(it)
    assert seen == ["Already borrowed", "Already mutably borrowed", "Already mutably borrowed"]
    monkeypatch.undo()
    assert next(it).publish_time_epoch == PT + 4
