"""MarketBook, MarketDefinition and MarketDefinitionRunner as Python code sees them."""

import datetime
import types

import pytest

import marrowfin
from streams import PT, change, definition, message, replay, runner, stream  # noqa: F401


def attribute_names(cls):
    return [k for k, v in vars(cls).items() if isinstance(v, (types.GetSetDescriptorType, types.MemberDescriptorType))]


BOOK_ATTRIBUTES = [
    "streaming_unique_id", "market_id", "publish_time", "publish_time_epoch", "status",
    "bet_delay", "bsp_reconciled", "complete", "cross_matching", "inplay",
    "number_of_active_runners", "number_of_runners", "number_of_winners", "runners_voidable",
    "total_matched", "version", "last_match_time", "market_definition", "runners",
    "bet_delay_models", "elapsed_time", "is_market_data_delayed", "key_line_description",
    "price_ladder_definition", "suspend_reason", "total_available", "streaming_snap",
    "streaming_update",
]  # fmt: skip


@pytest.fixture
def bare_book(replay):
    """A book of a market that has seen no definition."""
    (book,) = replay(message(1609459200000, change(rc=[runner(5, status="ACTIVE")])))
    return book


@pytest.fixture
def full_book(replay):
    books = replay(
        message(
            PT,
            change(
                marketDefinition=definition(
                    [runner(9, sortPriority=2, status="ACTIVE", name="Nine", hc=-1.5, bsp=3.5,
                            adjustmentFactor=10.0),
                     runner(4, sortPriority=1, status="REMOVED", removalDate="2021-03-30T10:00:00Z")],
                    status="SUSPENDED", betDelay=5, bspReconciled=True, complete=False,
                    crossMatching=False, inPlay=True, runnersVoidable=True, numberOfWinners=3,
                    eventId="30388764", eventTypeId="7", eventName="Race", marketType="PLACE",
                    countryCode="GB", venue="Warwick", raceType="Bumper", name="2m Hcap",
                    timezone="Europe/London", bettingType="ODDS", bspMarket=True,
                    persistenceEnabled=False, eachWayDivisor=4, turnInPlayEnabled=True,
                    discountAllowed=True, marketBaseRate=5, regulators=["MR_INT", "X"],
                    marketTime="2021-03-30T16:20:00.000Z", openDate="2021-03-30T12:50:00Z",
                    suspendTime="2021-03-30T16:20:00.1234Z", settledTime="2021-03-30T16:27:20.000Z",
                    version=3715126545,
                ),
                tv=1234.5,
                lastMatchTime=1617121600000,
            ),
        )
    )
    return books[0]


class TestMarketBook:
    def test_attribute_order_and_docs(self):
        assert attribute_names(marrowfin.MarketBook) == BOOK_ATTRIBUTES
        docs = {name: getattr(marrowfin.MarketBook, name).__doc__ for name in BOOK_ATTRIBUTES}
        assert docs.pop("streaming_unique_id") == (
            "Streaming unique ID (set by stream for flumine compatibility)"
        )
        assert docs.pop("publish_time_epoch") == (
            "publish_time in epoch milliseconds (int, for flumine compatibility)"
        )
        assert set(docs.values()) == {None}

    def test_to_dict_method(self):
        method = marrowfin.MarketBook.to_dict
        assert method.__text_signature__ == "($self)"
        assert method.__doc__ == (
            "Convert to a dict matching betfairutil lightweight format (for testing)"
        )

    def test_to_dict_takes_no_arguments(self, bare_book):
        with pytest.raises(TypeError):
            bare_book.to_dict(1)

    def test_book_without_definition(self, bare_book):
        b = bare_book
        assert b.market_definition is None
        assert (b.market_id, b.status, b.version, b.last_match_time) == ("1.100", "OPEN", 0, None)
        assert b.publish_time == datetime.datetime(2021, 1, 1)
        assert b.publish_time_epoch == 1609459200000
        assert (b.bet_delay, b.number_of_winners, b.number_of_runners) == (0, 1, 1)
        assert b.number_of_active_runners == 1
        assert (b.bsp_reconciled, b.complete, b.cross_matching) == (False, True, True)
        assert (b.inplay, b.runners_voidable, b.total_matched) == (False, False, 0.0)
        assert b.streaming_unique_id is None

    def test_book_with_definition(self, full_book):
        b = full_book
        assert (b.status, b.bet_delay, b.version, b.number_of_winners) == (
            "SUSPENDED", 5, 3715126545, 3)
        assert (b.bsp_reconciled, b.complete, b.cross_matching, b.inplay) == (
            True, False, False, True)
        assert (b.runners_voidable, b.total_matched, b.last_match_time) == (
            True, 1234.5, 1617121600000)
        assert (b.number_of_runners, b.number_of_active_runners) == (2, 1)
        assert [r.selection_id for r in b.runners] == [4, 9]
        assert b.publish_time == datetime.datetime(2023, 11, 14, 22, 13, 20)
        assert type(b.version) is int and type(b.total_matched) is float

    def test_stored_and_converted(self, full_book):
        b = full_book
        assert b.runners is b.runners and b.publish_time is b.publish_time
        assert b.market_definition is b.market_definition
        assert b.market_id == b.market_id

    def test_constants(self, full_book, bare_book):
        for b in (full_book, bare_book):
            for name in BOOK_ATTRIBUTES[19:]:
                assert getattr(b, name) is (True if name == "streaming_snap" else None), name

    @pytest.mark.parametrize("name", [n for n in BOOK_ATTRIBUTES if n != "streaming_unique_id"])
    def test_read_only(self, bare_book, name):
        with pytest.raises(AttributeError):
            setattr(bare_book, name, 1)

    def test_no_other_attributes(self, bare_book):
        with pytest.raises(AttributeError):
            bare_book.foo = 1


class TestStreamingUniqueId:
    @pytest.mark.parametrize(
        "value, stored",
        [(7, 7), (-1, -1), (0, 0), (2147483647, 2147483647), (-2147483648, -2147483648),
         (True, 1), (False, 0), (None, None)],
    )
    def test_stored(self, bare_book, value, stored):
        bare_book.streaming_unique_id = 3
        bare_book.streaming_unique_id = value
        assert bare_book.streaming_unique_id == stored
        assert type(bare_book.streaming_unique_id) is type(stored)

    def test_index_objects_convert(self, bare_book):
        class Index:
            def __index__(self):
                return 12

        bare_book.streaming_unique_id = Index()
        assert bare_book.streaming_unique_id == 12

    @pytest.mark.parametrize("value", [2147483648, -2147483649, 2**63 - 1, -(2**63)])
    def test_out_of_range(self, bare_book, value):
        bare_book.streaming_unique_id = 5
        with pytest.raises(OverflowError) as error:
            bare_book.streaming_unique_id = value
        assert str(error.value) == "out of range integral type conversion attempted"
        assert bare_book.streaming_unique_id == 5

    def test_beyond_64_bits_keeps_the_interpreters_error(self, bare_book):
        with pytest.raises(OverflowError) as error:
            bare_book.streaming_unique_id = 2**64
        assert str(error.value) == "Python int too large to convert to C long"

    @pytest.mark.parametrize("value, type_name", [("7", "str"), (1.5, "float"), ([], "list")])
    def test_wrong_type(self, bare_book, value, type_name):
        bare_book.streaming_unique_id = 5
        with pytest.raises(TypeError) as error:
            bare_book.streaming_unique_id = value
        assert str(error.value) == (
            f"argument 'streaming_unique_id': '{type_name}' object cannot be interpreted as an integer"
        )
        assert type(error.value.__cause__) is TypeError
        assert str(error.value.__cause__) == (
            f"'{type_name}' object cannot be interpreted as an integer"
        )
        assert bare_book.streaming_unique_id == 5

    def test_other_conversion_errors_pass_unchanged(self, bare_book):
        class Broken:
            def __index__(self):
                raise ValueError("broken index")

        with pytest.raises(ValueError, match="^broken index$"):
            bare_book.streaming_unique_id = Broken()

    def test_delete(self, bare_book):
        bare_book.streaming_unique_id = 9
        with pytest.raises(AttributeError) as error:
            del bare_book.streaming_unique_id
        assert str(error.value) == "can't delete attribute"
        assert bare_book.streaming_unique_id == 9

    def test_each_book_has_its_own(self, replay):
        first, second = replay(message(PT, change()), message(PT + 1, change()))
        first.streaming_unique_id = 1
        assert second.streaming_unique_id is None


DEFINITION_ATTRIBUTES = [
    "event_id", "event_type_id", "event_name", "market_type", "country_code", "venue",
    "race_type", "name", "timezone", "betting_type", "regulators", "runners", "market_time",
    "open_date", "suspend_time", "settled_time", "bsp_market", "persistence_enabled",
    "each_way_divisor", "turn_in_play_enabled", "discount_allowed", "market_base_rate",
    "bet_delay", "number_of_winners", "number_of_active_runners", "bsp_reconciled", "complete",
    "cross_matching", "in_play", "runners_voidable", "status", "version", "bet_delay_models",
    "key_line_definitions", "line_interval", "line_max_unit", "line_min_unit",
    "price_ladder_definition", "suspend_reason",
]  # fmt: skip


class TestMarketDefinition:
    def test_attribute_order_and_docs(self):
        assert attribute_names(marrowfin.MarketDefinition) == DEFINITION_ATTRIBUTES
        assert attribute_names(marrowfin.MarketDefinitionRunner) == [
            "selection_id", "sort_priority", "status", "handicap", "adjustment_factor",
            "removal_date", "name", "bsp",
        ]  # fmt: skip
        for cls in (marrowfin.MarketDefinition, marrowfin.MarketDefinitionRunner):
            assert {getattr(cls, n).__doc__ for n in attribute_names(cls)} == {None}

    def test_values(self, full_book):
        d = full_book.market_definition
        texts = [getattr(d, n) for n in DEFINITION_ATTRIBUTES[:10]]
        assert texts == ["30388764", "7", "Race", "PLACE", "GB", "Warwick", "Bumper", "2m Hcap",
                         "Europe/London", "ODDS"]
        assert (d.market_time, d.open_date) == (
            datetime.datetime(2021, 3, 30, 16, 20), datetime.datetime(2021, 3, 30, 12, 50))
        assert d.suspend_time == datetime.datetime(2021, 3, 30, 16, 20, 0, 123400)
        assert d.settled_time == datetime.datetime(2021, 3, 30, 16, 27, 20)
        assert (d.bsp_market, d.persistence_enabled, d.turn_in_play_enabled) == (True, False, True)
        assert (d.discount_allowed, d.bsp_reconciled, d.complete) == (True, True, False)
        assert (d.cross_matching, d.in_play, d.runners_voidable) == (False, True, True)
        assert (d.each_way_divisor, d.market_base_rate) == (4.0, 5.0)
        assert type(d.each_way_divisor) is float and type(d.market_base_rate) is float
        assert (d.bet_delay, d.number_of_winners, d.number_of_active_runners) == (5, 3, 1)
        assert (d.status, d.version) == ("SUSPENDED", 3715126545)
        assert d.regulators == ["MR_INT", "X"]
        for name in DEFINITION_ATTRIBUTES[32:]:
            assert getattr(d, name) is None

    def test_stored_and_new(self, full_book):
        d = full_book.market_definition
        assert d.runners is d.runners and d.market_time is d.market_time
        assert d.regulators is not d.regulators
        d.regulators.append("Y")
        assert d.regulators == ["MR_INT", "X"]

    def test_runners_in_definition_order(self, full_book):
        nine, four = full_book.market_definition.runners
        assert (nine.selection_id, nine.sort_priority, nine.status, nine.handicap) == (
            9, 2, "ACTIVE", -1.5)
        assert (nine.adjustment_factor, nine.removal_date, nine.name, nine.bsp) == (
            10.0, None, "Nine", 3.5)
        assert (four.selection_id, four.sort_priority, four.status, four.handicap) == (
            4, 1, "REMOVED", 0.0)
        assert (four.adjustment_factor, four.removal_date, four.name, four.bsp) == (
            None, "2021-03-30T10:00:00Z", None, None)

    def test_absent_texts_are_none(self, replay):
        (book,) = replay(message(PT, change(marketDefinition={"runners": []})))
        d = book.market_definition
        for name in DEFINITION_ATTRIBUTES[:10] + ["market_time", "open_date", "suspend_time",
                                                   "settled_time", "each_way_divisor"]:
            assert getattr(d, name) is None, name
        assert d.regulators == [] and d.runners == [] and d.status == "OPEN"

    @pytest.mark.parametrize("name", ["status", "runners", "market_time", "foo"])
    def test_read_only(self, full_book, name):
        with pytest.raises(AttributeError):
            setattr(full_book.market_definition, name, 1)
        with pytest.raises(AttributeError):
            setattr(full_book.market_definition.runners[0], "status", 1)
