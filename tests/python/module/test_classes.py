"""The module and its classes as Python code sees them, and MarketBook.to_dict: its
keys, their order, what is left out, and lists that Python code has changed."""

import datetime
import decimal
import importlib
import json
import math
import operator
import random
import re
import struct
import subprocess
import sys

import pytest

import marrowfin
from conftest import EXPECTED, PT, change, message, prices, runner


@pytest.mark.parametrize("name", marrowfin.__all__[1:])
def test_classes_are_made_by_the_module_only(name):
    cls = getattr(marrowfin, name)
    for args, kwargs in [((), {}), (("x", "y"), {}), ((), {"path": "x"})]:
        with pytest.raises(TypeError) as error:
            cls(*args, **kwargs)
        assert str(error.value) == f"No constructor defined for {name}"
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    with pytest.raises(TypeError):
        cls.extra = 1


def test_one_module_one_panic_exception_and_one_interpreter_per_process():
    # Which names __all__ lists is the stub's to say (stubtest, in the packaging tests, compares them).
    assert {name for name in vars(marrowfin) if not name.startswith("__")} == set(marrowfin.__all__)
    saved = sys.modules.pop("marrowfin")
    try:
        again = importlib.import_module("marrowfin")
        assert again is saved and again.MarketBook is saved.MarketBook
    finally:
        sys.modules["marrowfin"] = saved
    # The tools' helper, imported first, makes the panic exception; the module, which links its own copy of the
    # binding support, must raise that one and make no other, and so must the helper's own code. A second
    # interpreter may not import the module: its classes are the first one's.
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
        # Fails the StartingPrices that .sp makes, then the runner list of the
        # helper's next book: a panic each.
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
              sum("PanicException" in str(key) for key in shared), _testcapi.run_in_subinterp("import marrowfin"))"""
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert result.stdout.split() == ["PanicException", "PanicException", "False", "True", "1", "-1"], result.stderr
    assert result.stderr.splitlines()[-1] == ("ImportError: marrowfin does not support sub-interpreters: it can "
                                              "only be imported in the interpreter that imported it first")


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


def test_attributes_agree_with_the_export_or_are_the_defaults(book, replay):
    agrees(book, EXPECTED)
    d = book.market_definition
    assert [book.publish_time, d.market_time, d.open_date, d.suspend_time, d.settled_time] == [
        datetime.datetime(2023, 11, 14, 22, 13, 20), datetime.datetime(2021, 3, 30, 16, 20),
        datetime.datetime(2021, 3, 30, 12, 50), datetime.datetime(2021, 3, 30, 16, 20, 0, 123400),
        datetime.datetime(2021, 3, 30, 16, 27, 20)]  # fmt: skip
    # What the export leaves out.
    assert (d.race_type, d.each_way_divisor, type(d.each_way_divisor)) == ("Bumper", 4.0, float)
    assert [r.handicap for r in d.runners] == [-1.5, 0.0, -0.0]
    # The defaults. (The attributes that are always None or empty, as the stub says, are one getter.)
    (empty,) = replay(message(PT, change(marketDefinition={"runners": []})))
    (b,) = replay(message(PT, change(rc=[runner(5)])))  # no definition at all
    d = empty.market_definition
    assert [d.event_id, d.venue, d.name, d.betting_type, d.market_time, d.open_date, d.suspend_time,
            d.settled_time, d.each_way_divisor] == [None] * 9
    assert (d.regulators, d.runners, d.status) == ([], [], "OPEN")
    assert (b.market_definition, b.status, b.version, b.last_match_time) == (None, "OPEN", 0, None)
    assert (b.bet_delay, b.number_of_winners, b.number_of_runners, b.number_of_active_runners) == (0, 1, 1, 1)
    assert (b.bsp_reconciled, b.complete, b.cross_matching, b.inplay) == (False, True, True, False)
    assert (b.runners_voidable, b.total_matched, b.streaming_unique_id) == (False, 0.0, None)
    assert (b.streaming_snap, b.elapsed_time) == (True, None)
    assert list(b.to_dict()) == [key for key in EXPECTED if key != "marketDefinition"]


OUT_OF_RANGE = OverflowError("out of range integral type conversion attempted")


@pytest.mark.parametrize(
    "value, result",
    [
        (2147483647, 2147483647), (-2147483648, -2147483648), (None, None), (2147483648, OUT_OF_RANGE),
        (-2147483649, OUT_OF_RANGE), (type("Index", (), {"__index__": lambda self: 12})(), 12),
        (2**64, OverflowError("Python int too large to convert to C long")),
        ("7", TypeError("argument 'streaming_unique_id': 'str' object cannot be interpreted as an integer")),
        (type("Broken", (), {"__index__": lambda self: int("broken index")})(),  # its own error
         ValueError("invalid literal for int() with base 10: 'broken index'")),
    ],
)  # fmt: skip
def test_streaming_unique_id_is_the_one_writable_attribute(replay, value, result):
    first, second = replay(message(PT, change()), message(PT + 1, change()))
    first.streaming_unique_id = 5
    if isinstance(result, Exception):
        with pytest.raises(type(result)) as error:
            first.streaming_unique_id = value
        assert str(error.value) == str(result)
        if type(result) is TypeError:  # the interpreter's own error, as the cause
            assert type(error.value.__cause__) is TypeError
            assert str(error.value.__cause__) == str(result).removeprefix("argument 'streaming_unique_id': ")
        assert first.streaming_unique_id == 5
    else:
        first.streaming_unique_id = value
        assert first.streaming_unique_id == result and type(first.streaming_unique_id) is type(result)
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        del first.streaming_unique_id
    assert second.streaming_unique_id is None


def test_stored_and_new_objects_and_read_only_attributes(book):
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
    for obj, names in [(book, ["status", "runners", "publish_time", "market_definition", "streaming_snap"]),
                       (book.market_definition, ["status", "runners", "market_time"]),
                       (book.market_definition.runners[0], ["status"]),
                       (r, ["status", "ex", "sp", "selection_id", "orders"]), (r.ex, ["available_to_back"]),
                       (r.sp, ["near_price", "back_stake_taken"]), (r.ex.available_to_back[0], ["price", "size"])]:
        for name in [*names, "foo"]:
            with pytest.raises(AttributeError):
                setattr(obj, name, 1)
            with pytest.raises(AttributeError):
                delattr(obj, name)


def test_price_size_items_and_repr(book, replay):
    pair = book.runners[2].ex.available_to_back[0]  # 2.0, 4.5
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
    for misuse in (len, iter, lambda p: operator.setitem(p, "price", 1.0)):
        with pytest.raises(TypeError):
            misuse(pair)
    # Positional, with the shortest digits, as Python's own repr finds them.
    rng = random.Random(7)
    values = [v for v in (struct.unpack("<d", rng.randbytes(8))[0] for _ in range(300)) if math.isfinite(v) and v]
    levels = [[1.0 + i, v] for i, v in enumerate(values)] + [[1e21, 1e-7]]
    (book,) = replay(message(PT, change(rc=[runner(1, atl=levels)])))
    pairs = book.runners[0].ex.available_to_lay
    assert repr(pairs[-1]) == "PriceSize(price=1" + "0" * 21 + ", size=0.0000001)" and len(pairs) == len(values) + 1
    for pair in pairs[:-1]:
        assert repr(pair).split("size=")[1][:-1] == format(decimal.Decimal(repr(pair.size)).normalize(), "f")


def test_every_key_in_order_a_new_dict_every_call_and_lists_shortened_or_reordered(book):
    first, second = book.to_dict(), book.to_dict()
    # The JSON texts compare the order of every dict's keys too.
    assert json.dumps(first) == json.dumps(EXPECTED)
    assert first["runners"][2]["status"] is book.runners[2].status
    assert first["runners"][2]["ex"] is not second["runners"][2]["ex"]
    first["runners"][2]["ex"]["availableToBack"].append(1)
    first["marketDefinition"]["regulators"].append("X")
    assert second == book.to_dict() == EXPECTED
    assert book.market_definition.regulators == ["MR_INT", "X"]
    with pytest.raises(TypeError):
        book.to_dict(1)
    book.runners.pop(0)
    book.runners.reverse()
    book.market_definition.runners.clear()
    book.runners[0].ex.available_to_back.pop()
    d = book.to_dict()
    assert [r["selectionId"] for r in d["runners"]] == [9, 5]
    assert d["runners"][0]["ex"]["availableToBack"] == prices((2.0, 4.5), (1.8, 1.0))
    assert d["marketDefinition"]["runners"] == []


# Handed-out lists are ordinary Python lists; the export must survive what callers do.
@pytest.mark.parametrize(
    "tamper, text",
    [
        (lambda b, foreign: b.runners.append(foreign), "'object' object cannot be converted to 'Runner'"),
        (lambda b, _: b.runners[2].ex.traded_volume.insert(0, 1), "'int' object cannot be converted to 'PriceSize'"),
        (lambda b, _: b.market_definition.runners.append(b.runners[0]),
         "'Runner' object cannot be converted to 'MarketDefinitionRunner'"),
    ],
)
def test_foreign_objects(book, tamper, text):
    foreign = object()
    tamper(book, foreign)
    before = sys.getrefcount(foreign)
    with pytest.raises(TypeError) as error:
        book.to_dict()
    assert str(error.value) == text
    assert sys.getrefcount(foreign) == before
