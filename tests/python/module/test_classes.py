"""The module and its classes as Python code sees them."""

import datetime
import decimal
import importlib
import math
import random
import re
import struct
import subprocess
import sys
import types

import pytest

import marrowfin
from conftest import EXPECTED, PT, change, message, runner

CLASS_DOCS = {
    "PricesIterator": "Iterator that yields MarketBook objects with object reuse",
    "MarketBook": "A market book snapshot",
    "Runner": "A runner in the market",
    "ExchangePrices": "Exchange prices for a runner (back/lay/traded)",
    "StartingPrices": "Starting prices for a runner",
    "PriceSize": "A price/size pair in the order book",
    "MarketDefinition": "Market definition - metadata about the market",
    "MarketDefinitionRunner": "A runner in a market definition",
}


class TestModule:
    def test_contents_and_docs(self):
        assert marrowfin.__all__ == ["iter_prices_file", *CLASS_DOCS]
        assert {name for name in vars(marrowfin) if not name.startswith("__")} == set(marrowfin.__all__)
        function = marrowfin.iter_prices_file
        assert (marrowfin.__doc__, function.__doc__, function.__text_signature__) == ("", None, "(path)")
        assert (function.__module__, function.__name__) == ("marrowfin", "iter_prices_file")
        method = marrowfin.MarketBook.to_dict
        assert method.__text_signature__ == "($self)"
        assert method.__doc__ == "Convert to a dict matching betfairutil lightweight format (for testing)"
        attribute_docs = {
            name: d.__doc__ for cls in map(lambda n: getattr(marrowfin, n), CLASS_DOCS)
            for name, d in vars(cls).items()
            if isinstance(d, (types.GetSetDescriptorType, types.MemberDescriptorType)) and d.__doc__
        }  # fmt: skip
        assert attribute_docs == {
            "streaming_unique_id": "Streaming unique ID (set by stream for flumine compatibility)",
            "publish_time_epoch": "publish_time in epoch milliseconds (int, for flumine compatibility)",
        }

    @pytest.mark.parametrize("name", CLASS_DOCS)
    def test_class(self, name):
        cls = getattr(marrowfin, name)
        assert cls.__name__ == cls.__qualname__ == name and cls.__module__ == "builtins"
        assert (repr(cls), cls.__bases__, cls.__doc__) == (f"<class 'builtins.{name}'>", (object,), CLASS_DOCS[name])
        assert getattr(cls, "__text_signature__", None) is None
        for args, kwargs in [((), {}), ((1,), {}), (("x", "y"), {}), ((), {"path": "x"})]:
            with pytest.raises(TypeError) as error:
                cls(*args, **kwargs)
            assert str(error.value) == f"No constructor defined for {name}"
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
        with pytest.raises(TypeError):
            cls.extra = 1
        assert "__dict__" not in dir(cls) and cls.__weakrefoffset__ == 0
        assert not cls.__flags__ & (1 << 14)  # Py_TPFLAGS_HAVE_GC

    def test_reimport_gives_the_same_module(self):
        saved = sys.modules.pop("marrowfin")
        try:
            again = importlib.import_module("marrowfin")
            assert again is saved and again.MarketBook is saved.MarketBook
        finally:
            sys.modules["marrowfin"] = saved

    def test_subinterpreter_import_is_refused(self):
        # A fresh process, so that the module's first interpreter is the main one.
        if sys.version_info >= (3, 13):
            code = """if True:
                import _interpreters, marrowfin
                for config in ("legacy", "isolated"):
                    interp = _interpreters.create(config)
                    failure = _interpreters.exec(interp, "import marrowfin")
                    _interpreters.destroy(interp)
                    print(config, failure.type.__name__, failure.msg)"""
        else:
            # Before 3.13 the failure comes back as the text "<class 'X'>: message"
            # (3.12) or "X: message"; 3.11 has no isolated interpreters.
            code = """if True:
                import re, sys, _xxsubinterpreters as interpreters, marrowfin
                configs = {"legacy": False, "isolated": True} if sys.version_info >= (3, 12) else {"legacy": None}
                for config, isolated in configs.items():
                    interp = interpreters.create() if isolated is None else interpreters.create(isolated=isolated)
                    try:
                        interpreters.run_string(interp, "import marrowfin")
                    except interpreters.RunFailedError as failure:
                        kind, message = re.fullmatch(r"(?:<class ')?([\\w.]+)'?>?: (.*)", str(failure), re.S).groups()
                        print(config, kind, message)
                    interpreters.destroy(interp)"""
        result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
        assert result.returncode == 0, result.stderr
        lines = result.stdout.splitlines()
        # The legacy config lets the import system run our initialisation: our own refusal.
        assert lines[0].startswith("legacy ImportError marrowfin does not support sub-interpreters")
        if sys.version_info >= (3, 12):
            assert lines[1].startswith("isolated ImportError")
        else:
            assert len(lines) == 1

    def test_one_panic_exception_per_process(self):
        # The tools' helper, imported first, makes the panic exception; the
        # module, which links its own copy of the binding support, must raise
        # that one and make no other, and so must the helper's own code.
        pytest.importorskip("_testcapi")
        code = """if True:
            import ctypes, _testcapi
            import marrowfin_tools._native, marrowfin
            from marrowfin_tools import sample_path
            api = ctypes.pythonapi
            api.PyInterpreterState_Get.restype = ctypes.c_void_p
            api.PyInterpreterState_GetDict.restype = ctypes.py_object
            api.PyInterpreterState_GetDict.argtypes = [ctypes.c_void_p]
            shared = api.PyInterpreterState_GetDict(api.PyInterpreterState_Get())
            runner = next(marrowfin.iter_prices_file(sample_path())).runners[0]
            books = marrowfin_tools._native.market_books([sample_path()])
            panics = []
            # Fails the StartingPrices that .sp makes, then the runner list of the helper's
            # next book: a panic each.
            for fail in (lambda: runner.sp, lambda: next(books)):
                _testcapi.set_nomemory(0, 1)
                try:
                    fail()
                except BaseException as panic:
                    panics.append(panic)
                finally:
                    _testcapi.remove_mem_hooks()
            print(*[type(panic).__name__ for panic in panics], isinstance(panics[0], Exception),
                  all(type(panic) is shared["marrowfin.PanicException"] for panic in panics),
                  sum("PanicException" in str(key) for key in shared))"""
        result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
        assert result.returncode == 0, result.stderr
        assert result.stdout.split() == ["PanicException", "PanicException", "False", "True", "1"]


CONSTANTS = ["bet_delay_models", "elapsed_time", "is_market_data_delayed", "key_line_description",
             "price_ladder_definition", "suspend_reason", "total_available", "streaming_update"]  # fmt: skip


RENAMED = {"publishTime": "publish_time_epoch", "actualSP": "actual_sp", "id": "selection_id", "hc": "handicap"}
TIME_KEYS = {"marketTime", "openDate", "suspendTime"}


def agrees(obj, exported, where="book"):
    """Each exported value, with its type, is the attribute of the snake_case name."""
    for key, value in exported.items():
        got = getattr(obj, RENAMED.get(key) or re.sub("[A-Z]", lambda m: "_" + m[0].lower(), key))
        if isinstance(value, dict):
            agrees(got, value, f"{where}.{key}")
        elif isinstance(value, list) and value and isinstance(value[0], dict):
            assert len(got) == len(value), where
            for i, (item, exported_item) in enumerate(zip(got, value)):
                agrees(item, exported_item, f"{where}.{key}[{i}]")
        elif key not in TIME_KEYS:
            assert (got, type(got)) == (value, type(value)), f"{where}.{key}"


def test_attributes_agree_with_the_export(book):
    agrees(book, EXPECTED)
    d = book.market_definition
    assert [book.publish_time, d.market_time, d.open_date, d.suspend_time, d.settled_time] == [
        datetime.datetime(2023, 11, 14, 22, 13, 20), datetime.datetime(2021, 3, 30, 16, 20),
        datetime.datetime(2021, 3, 30, 12, 50), datetime.datetime(2021, 3, 30, 16, 20, 0, 123400),
        datetime.datetime(2021, 3, 30, 16, 27, 20)]  # fmt: skip
    # What the export leaves out.
    assert (d.race_type, d.each_way_divisor, type(d.each_way_divisor)) == ("Bumper", 4.0, float)
    assert [r.handicap for r in d.runners] == [-1.5, 0.0, -0.0]
    r = book.runners[2]
    assert (r.orders, r.matches, r.matches_by_strategy, r.bet_delay_models, r.suspend_reason) == (
        [], [], None, None, None)
    assert [d.bet_delay_models, d.key_line_definitions, d.line_interval, d.line_max_unit,
            d.line_min_unit, d.price_ladder_definition, d.suspend_reason] == [None] * 7


class TestMarketBook:
    def test_defaults(self, bare_book, replay):
        (empty,) = replay(message(PT, change(marketDefinition={"runners": []})))
        d = empty.market_definition
        assert [d.event_id, d.venue, d.name, d.betting_type, d.market_time, d.open_date, d.suspend_time,
                d.settled_time, d.each_way_divisor] == [None] * 9
        assert (d.regulators, d.runners, d.status) == ([], [], "OPEN")
        b = bare_book  # no definition at all
        assert (b.market_definition, b.status, b.version, b.last_match_time) == (None, "OPEN", 0, None)
        assert (b.publish_time, b.publish_time_epoch) == (datetime.datetime(2021, 1, 1), 1609459200000)
        assert (b.bet_delay, b.number_of_winners, b.number_of_runners, b.number_of_active_runners) == (0, 1, 1, 1)
        assert (b.bsp_reconciled, b.complete, b.cross_matching, b.inplay) == (False, True, True, False)
        assert (b.runners_voidable, b.total_matched, b.streaming_unique_id) == (False, 0.0, None)
        assert b.streaming_snap is True and [getattr(b, name) for name in CONSTANTS] == [None] * 8

    @pytest.mark.parametrize(
        "value, result",
        [
            (7, 7), (0, 0), (2147483647, 2147483647), (-2147483648, -2147483648), (True, 1), (None, None),
            (type("Index", (), {"__index__": lambda self: 12})(), 12),
            (2147483648, OverflowError("out of range integral type conversion attempted")),
            (-2147483649, OverflowError("out of range integral type conversion attempted")),
            (-(2**63), OverflowError("out of range integral type conversion attempted")),
            (2**64, OverflowError("Python int too large to convert to C long")),
            ("7", TypeError("argument 'streaming_unique_id': 'str' object cannot be interpreted as an integer")),
            (1.5, TypeError("argument 'streaming_unique_id': 'float' object cannot be interpreted as an integer")),
            (type("Broken", (), {"__index__": lambda self: int("broken index")})(),  # its own error
             ValueError("invalid literal for int() with base 10: 'broken index'")),
        ],
    )  # fmt: skip
    def test_streaming_unique_id(self, bare_book, value, result):
        bare_book.streaming_unique_id = 5
        if isinstance(result, Exception):
            with pytest.raises(type(result)) as error:
                bare_book.streaming_unique_id = value
            assert str(error.value) == str(result)
            if type(result) is TypeError:  # the interpreter's own error, as the cause
                assert type(error.value.__cause__) is TypeError
                assert str(error.value.__cause__) == str(result).removeprefix("argument 'streaming_unique_id': ")
            assert bare_book.streaming_unique_id == 5
        else:
            bare_book.streaming_unique_id = value
            assert bare_book.streaming_unique_id == result and type(bare_book.streaming_unique_id) is type(result)

    def test_streaming_unique_id_cannot_be_deleted_and_is_per_book(self, replay):
        first, second = replay(message(PT, change()), message(PT + 1, change()))
        first.streaming_unique_id = 9
        with pytest.raises(AttributeError, match="^can't delete attribute$"):
            del first.streaming_unique_id
        assert (first.streaming_unique_id, second.streaming_unique_id) == (9, None)


def test_stored_and_new_objects(book):
    """Stored objects are handed out again; lists and starting prices are new copies on every read."""
    d, r = book.market_definition, book.runners[2]
    assert book.runners is book.runners and book.publish_time is book.publish_time and d is book.market_definition
    assert d.runners is d.runners and d.market_time is d.market_time and d.regulators is not d.regulators
    assert r.status is r.status and r.ex is r.ex and r.sp is not r.sp
    assert r.orders is not r.orders and r.matches is not r.matches
    assert r.ex.available_to_back is r.ex.available_to_back and r.ex.traded_volume is r.ex.traded_volume
    first, second = r.sp, r.sp
    assert first.back_stake_taken is not first.back_stake_taken
    assert first.back_stake_taken[0] is not first.back_stake_taken[0]
    for changed in (d.regulators, r.orders, first.back_stake_taken):
        changed.append(1)
    assert (d.regulators, r.orders, len(second.back_stake_taken), len(r.sp.back_stake_taken)) == (
        ["MR_INT", "X"], [], 2, 2)


@pytest.mark.parametrize(
    "path, names",
    [(lambda b: b, ["status", "runners", "publish_time", "market_definition", "streaming_snap", "foo"]),
     (lambda b: b.market_definition, ["status", "runners", "market_time", "foo"]),
     (lambda b: b.market_definition.runners[0], ["status", "foo"]),
     (lambda b: b.runners[2], ["status", "ex", "sp", "selection_id", "orders", "foo"]),
     (lambda b: b.runners[2].ex, ["available_to_back", "foo"]),
     (lambda b: b.runners[2].sp, ["near_price", "back_stake_taken", "foo"]),
     (lambda b: b.runners[2].ex.available_to_back[0], ["price", "size", "foo"])],
    ids=["book", "definition", "definition runner", "runner", "ex", "sp", "pair"],
)
def test_read_only(book, path, names):
    obj = path(book)
    for name in names:
        with pytest.raises(AttributeError):
            setattr(obj, name, 1)
        with pytest.raises(AttributeError):
            delattr(obj, name)


class TestPriceSize:
    @pytest.fixture
    def pair(self, book):
        return book.runners[2].ex.available_to_back[0]  # 2.0, 4.5

    def test_item_access(self, pair):
        assert (pair["price"], pair["size"]) == (pair.price, pair.size) == (2.0, 4.5)
        assert pair["price"] is not pair["price"]
        for key in ["Price", "SIZE", "price ", ""]:
            with pytest.raises(KeyError) as error:
                pair[key]
            assert error.value.args == (key,)
        for key, type_name in [(0, "int"), (b"price", "bytes"), (None, "NoneType")]:
            with pytest.raises(TypeError) as error:
                pair[key]
            assert str(error.value) == f"argument 'key': '{type_name}' object cannot be converted to 'PyString'"
        with pytest.raises(TypeError):
            len(pair)
        with pytest.raises(TypeError):
            iter(pair)
        with pytest.raises(TypeError):
            pair["price"] = 1.0

    def test_repr(self, book, replay):
        traded = book.runners[2].ex.traded_volume
        assert [repr(p) for p in traded] == ["PriceSize(price=1.9, size=12.5)", "PriceSize(price=2, size=30)"]
        # Positional, with the shortest digits, as Python's own repr finds them.
        rng = random.Random(7)
        values = [v for v in (struct.unpack("<d", rng.randbytes(8))[0] for _ in range(300)) if math.isfinite(v) and v]
        levels = [[1.0 + i, v] for i, v in enumerate(values)] + [[1e21, 1e-7]]
        (book,) = replay(message(PT, change(rc=[runner(1, atl=levels)])))
        pairs = book.runners[0].ex.available_to_lay
        assert repr(pairs[-1]) == "PriceSize(price=1" + "0" * 21 + ", size=0.0000001)" and len(pairs) == len(values) + 1
        for pair in pairs[:-1]:
            assert repr(pair).split("size=")[1][:-1] == format(decimal.Decimal(repr(pair.size)).normalize(), "f")
