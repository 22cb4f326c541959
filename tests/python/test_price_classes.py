"""Runner, ExchangePrices, StartingPrices and PriceSize as Python code sees them."""

import decimal
import math
import random
import struct
import types

import pytest

import marrowfin
from streams import PT, change, message, replay, runner, stream  # noqa: F401


def attribute_names(cls):
    return [k for k, v in vars(cls).items() if isinstance(v, (types.GetSetDescriptorType, types.MemberDescriptorType))]


@pytest.fixture
def book(replay):
    (book,) = replay(
        message(
            PT,
            change(
                rc=[
                    runner(
                        7,
                        atb=[[1.5, 10], [2.0, 4.5], [1.8, 1]],
                        atl=[[2.2, 3], [2.1, 5]],
                        trd=[[2.0, 30], [1.9, 12.5]],
                        spb=[[2.0, 10.0], [3.0, 5.0]],
                        spl=[[4.0, 1.0], [5.0, 2.0]],
                        spn="Infinity",
                        spf=3.25,
                        ltp=2.0,
                        tv=42.5,
                        status="REMOVED",
                        removalDate="2021-03-30T16:01:00.000Z",
                        adjustmentFactor=12.5,
                        hc=-1.5,
                    ),
                    runner(8),
                ]
            ),
        )
    )
    return book


class TestRunner:
    def test_attribute_order(self):
        assert attribute_names(marrowfin.Runner) == [
            "selection_id", "handicap", "adjustment_factor", "last_price_traded",
            "total_matched", "status", "removal_date", "ex", "sp", "orders", "matches",
            "matches_by_strategy", "bet_delay_models", "suspend_reason",
        ]  # fmt: skip
        for name in attribute_names(marrowfin.Runner):
            assert getattr(marrowfin.Runner, name).__doc__ is None

    def test_values(self, book):
        full, bare = book.runners
        assert (full.selection_id, full.handicap, full.adjustment_factor) == (7, -1.5, 12.5)
        assert (full.last_price_traded, full.total_matched) == (2.0, 42.5)
        assert (full.status, full.removal_date) == ("REMOVED", "2021-03-30T16:01:00.000Z")
        assert (bare.adjustment_factor, bare.last_price_traded, bare.removal_date) == (None,) * 3
        assert (bare.total_matched, bare.status, bare.handicap) == (0.0, "ACTIVE", 0.0)
        assert type(full.selection_id) is int and type(full.handicap) is float

    def test_stored_and_new_objects(self, book):
        r = book.runners[0]
        assert r.status is r.status and r.ex is r.ex
        assert r.sp is not r.sp
        assert r.orders == [] and r.matches == []
        assert r.orders is not r.orders and r.matches is not r.matches
        r.orders.append(1)
        assert r.orders == []
        assert (r.matches_by_strategy, r.bet_delay_models, r.suspend_reason) == (None,) * 3

    @pytest.mark.parametrize("name", ["status", "ex", "sp", "selection_id", "orders", "foo"])
    def test_read_only(self, book, name):
        with pytest.raises(AttributeError):
            setattr(book.runners[0], name, 1)
        with pytest.raises(AttributeError):
            delattr(book.runners[0], name)


class TestExchangePrices:
    def test_ladders_in_their_order(self, book):
        ex = book.runners[0].ex
        pairs = lambda lst: [(p.price, p.size) for p in lst]  # noqa: E731
        assert pairs(ex.available_to_back) == [(2.0, 4.5), (1.8, 1.0), (1.5, 10.0)]
        assert pairs(ex.available_to_lay) == [(2.1, 5.0), (2.2, 3.0)]
        assert pairs(ex.traded_volume) == [(1.9, 12.5), (2.0, 30.0)]
        assert book.runners[1].ex.traded_volume == []

    def test_lists_are_stored(self, book):
        ex = book.runners[0].ex
        assert attribute_names(marrowfin.ExchangePrices) == [
            "available_to_back", "available_to_lay", "traded_volume"
        ]  # fmt: skip
        for name in attribute_names(marrowfin.ExchangePrices):
            assert getattr(ex, name) is getattr(ex, name)
            assert type(getattr(ex, name)) is list


class TestStartingPrices:
    def test_values_and_ladder_sides(self, book):
        sp = book.runners[0].sp
        assert attribute_names(marrowfin.StartingPrices) == [
            "near_price", "far_price", "actual_sp", "back_stake_taken", "lay_liability_taken"
        ]  # fmt: skip
        assert (sp.near_price, sp.far_price, sp.actual_sp) == ("Infinity", 3.25, None)
        # Back stakes from "spl" (ascending), lay liabilities from "spb" (descending).
        assert [(p.price, p.size) for p in sp.back_stake_taken] == [(4.0, 1.0), (5.0, 2.0)]
        assert [(p.price, p.size) for p in sp.lay_liability_taken] == [(3.0, 5.0), (2.0, 10.0)]

    def test_every_read_is_a_new_copy(self, book):
        r = book.runners[0]
        first, second = r.sp, r.sp
        assert first.back_stake_taken is not first.back_stake_taken
        assert first.back_stake_taken[0] is not first.back_stake_taken[0]
        first.back_stake_taken.clear()
        assert len(second.back_stake_taken) == 2 and len(r.sp.lay_liability_taken) == 2

    def test_empty(self, book):
        sp = book.runners[1].sp
        assert (sp.near_price, sp.far_price, sp.actual_sp) == (None, None, None)
        assert sp.back_stake_taken == [] and sp.lay_liability_taken == []


class TestPriceSize:
    @pytest.fixture
    def pair(self, book):
        return book.runners[0].ex.available_to_back[0]  # 2.0, 4.5

    def test_item_access(self, pair):
        assert (pair["price"], pair["size"]) == (pair.price, pair.size) == (2.0, 4.5)
        assert pair["price"] is not pair["price"]

    @pytest.mark.parametrize("key", ["Price", "SIZE", "price ", "", "pri"])
    def test_unknown_key(self, pair, key):
        with pytest.raises(KeyError) as error:
            pair[key]
        assert error.value.args == (key,)

    @pytest.mark.parametrize(
        "key, type_name", [(0, "int"), (b"price", "bytes"), (None, "NoneType"), (("price",), "tuple")]
    )
    def test_key_must_be_str(self, pair, key, type_name):
        with pytest.raises(TypeError) as error:
            pair[key]
        assert str(error.value) == (
            f"argument 'key': '{type_name}' object cannot be converted to 'PyString'"
        )

    def test_no_sequence_protocol(self, pair):
        with pytest.raises(TypeError):
            len(pair)
        with pytest.raises(TypeError):
            iter(pair)
        with pytest.raises(TypeError):
            pair["price"] = 1.0
        with pytest.raises(AttributeError):
            pair.price = 1.0

    def test_repr(self, book, replay):
        traded = book.runners[0].ex.traded_volume
        assert repr(traded[0]) == "PriceSize(price=1.9, size=12.5)"
        assert repr(traded[1]) == "PriceSize(price=2, size=30)"
        (tiny,) = replay(message(PT, change(rc=[runner(1, atl=[[1e21, 1e-7]])])))
        assert repr(tiny.runners[0].ex.available_to_lay[0]) == (
            "PriceSize(price=1" + "0" * 21 + ", size=0.0000001)"
        )


def test_repr_round_trips_random_doubles(replay):
    rng = random.Random(7)
    values = [struct.unpack("<d", rng.randbytes(8))[0] for _ in range(300)]
    values = [v for v in values if math.isfinite(v) and v != 0]
    levels = [[1.0 + i, v] for i, v in enumerate(values)]
    (book,) = replay(message(PT, change(rc=[runner(1, atl=levels)])))
    pairs = book.runners[0].ex.available_to_lay
    assert len(pairs) == len(values)
    for pair in pairs:
        size_text = repr(pair).split("size=")[1][:-1]
        assert "e" not in size_text and float(size_text) == pair.size
        # The shortest digits, as Python's own repr finds them.
        assert size_text == format(decimal.Decimal(repr(pair.size)).normalize(), "f")
