# Types of the native module. Every class is created by the module only:
# calling a class raises TypeError, and none can be subclassed.
from datetime import datetime
from typing import NotRequired, TypedDict, final, type_check_only

__all__ = [
    "iter_prices_file",
    "PricesIterator",
    "MarketBook",
    "Runner",
    "ExchangePrices",
    "StartingPrices",
    "PriceSize",
    "MarketDefinition",
    "MarketDefinitionRunner",
]

def iter_prices_file(path: str) -> PricesIterator:
    """Reads a recorded market-change stream file and returns an iterator of its books.

    `path` is a str; a name ending in .gz or .gzip is read as gzip. The whole
    file is read and parsed here, so a file that cannot be read raises
    ValueError with the reason now ("No such file or directory (os error 2)",
    "invalid gzip header", "expected value at line 3 column 1"), not during
    the iteration. The iterator tracks one market: the first market id of the
    file.
    """

@final
class PricesIterator:
    """The books of one file, one per kept message, in file order.

    len() is the number of kept messages. Parts of the market that did not
    change are handed out again as the same objects.
    """
    def __iter__(self) -> PricesIterator:
        """The iterator itself."""
    def __next__(self) -> MarketBook:
        """Applies the next message and returns its book; StopIteration at the end."""
    def __len__(self) -> int:
        """The number of kept messages in the file (books, once the market is known)."""

@final
class MarketBook:
    """A snapshot of one market after one stream message; a new object every time."""
    @property
    def streaming_unique_id(self) -> int | None:
        """The id of the stream that yielded the book: unset (None) until a consumer, such as a
        flumine stream, sets it. The one writable attribute.
        """
    @streaming_unique_id.setter
    def streaming_unique_id(self, value: int | None) -> None: ...
    @property
    def market_id(self) -> str:
        """The market id, such as "1.168570499"."""
    @property
    def publish_time(self) -> datetime:
        """When the exchange published the message: a naive datetime in UTC
        (replace(tzinfo=timezone.utc) makes it aware; marrowfin_tools.market_books
        with aware=True gives aware ones, as the definition's times).
        """
    @property
    def publish_time_epoch(self) -> int:
        """The publish time in milliseconds since the Unix epoch."""
    @property
    def status(self) -> str:
        """Market status: "OPEN", "SUSPENDED", "CLOSED" or "INACTIVE"."""
    @property
    def bet_delay(self) -> int:
        """In-play bet delay in seconds."""
    @property
    def bsp_reconciled(self) -> bool:
        """Whether the starting prices are reconciled."""
    @property
    def complete(self) -> bool:
        """Whether the market definition is complete."""
    @property
    def cross_matching(self) -> bool:
        """Whether cross matching is on."""
    @property
    def inplay(self) -> bool:
        """Whether the market is in play."""
    @property
    def number_of_active_runners(self) -> int:
        """Runners whose status is ACTIVE."""
    @property
    def number_of_runners(self) -> int:
        """Runners in the book."""
    @property
    def number_of_winners(self) -> int:
        """Winners the market settles with."""
    @property
    def runners_voidable(self) -> bool:
        """Whether runners can be voided."""
    @property
    def total_matched(self) -> float:
        """Amount matched on the whole market."""
    @property
    def version(self) -> int:
        """Version of the market definition."""
    @property
    def last_match_time(self) -> int | None:
        """Time of the last match in epoch milliseconds, or None."""
    @property
    def market_definition(self) -> MarketDefinition | None:
        """The definition in force, or None before the stream gave one."""
    @property
    def runners(self) -> list[Runner]:
        """The runners, ordered by (selection id, handicap); market_books with
        runner_order="definition" lists them as the pure-Python peer does."""
    @property
    def bet_delay_models(self) -> None:
        """Always None (kept for consumers of richer records)."""
    @property
    def elapsed_time(self) -> None:
        """Always None (kept for consumers of richer records)."""
    @property
    def is_market_data_delayed(self) -> None:
        """Always None (kept for consumers of richer records)."""
    @property
    def key_line_description(self) -> None:
        """Always None (kept for consumers of richer records)."""
    @property
    def price_ladder_definition(self) -> None:
        """Always None (kept for consumers of richer records)."""
    @property
    def suspend_reason(self) -> None:
        """Always None (kept for consumers of richer records)."""
    @property
    def total_available(self) -> None:
        """Always None (kept for consumers of richer records)."""
    @property
    def streaming_snap(self) -> bool:
        """Always True: every book is a whole snapshot."""
    @property
    def streaming_update(self) -> None:
        """Always None (the raw update is not kept)."""
    def to_dict(self) -> _MarketBookDict:
        """The book as plain dicts in the lightweight record format (camelCase keys; numbers as
        floats, times as epoch milliseconds or the stream's text).
        """

@final
class Runner:
    """A runner in the market, as of one book; the same object while it is unchanged."""
    @property
    def selection_id(self) -> int:
        """The runner's selection id."""
    @property
    def handicap(self) -> float:
        """The runner's handicap (0.0 for markets without)."""
    @property
    def adjustment_factor(self) -> float | None:
        """The adjustment factor, or None if never given."""
    @property
    def last_price_traded(self) -> float | None:
        """The last traded price, or None."""
    @property
    def total_matched(self) -> float:
        """The runner's traded volume (the exchange zeroes it when the market closes)."""
    @property
    def status(self) -> str:
        """"ACTIVE", "WINNER", "LOSER", "PLACED", "REMOVED" or "HIDDEN"."""
    @property
    def removal_date(self) -> str | None:
        """When the runner was removed: the stream's text, such as "2021-03-30T10:00:00Z", not a
        datetime; None if not removed.
        """
    @property
    def ex(self) -> ExchangePrices:
        """The exchange ladders."""
    @property
    def sp(self) -> StartingPrices:
        """The starting-price data (a new object on every read)."""
    @property
    def orders(self) -> list[object]:
        """Always a new empty list (kept for consumers of richer records)."""
    @property
    def matches(self) -> list[object]:
        """Always a new empty list (kept for consumers of richer records)."""
    @property
    def matches_by_strategy(self) -> None:
        """Always None (kept for consumers of richer records)."""
    @property
    def bet_delay_models(self) -> None:
        """Always None (kept for consumers of richer records)."""
    @property
    def suspend_reason(self) -> None:
        """Always None (kept for consumers of richer records)."""

@final
class ExchangePrices:
    """A runner's exchange ladders: back, lay and traded volume."""
    @property
    def available_to_back(self) -> list[PriceSize]:
        """Prices to back at, best (highest) first."""
    @property
    def available_to_lay(self) -> list[PriceSize]:
        """Prices to lay at, best (lowest) first."""
    @property
    def traded_volume(self) -> list[PriceSize]:
        """Amount traded at each price, lowest price first."""

@final
class StartingPrices:
    """A runner's starting-price data; a new object on every read of Runner.sp."""
    @property
    def near_price(self) -> float | str | None:
        """The near starting price: a float, a text such as "Infinity" or "NaN" as the stream has
        it, or None.
        """
    @property
    def far_price(self) -> float | str | None:
        """The far starting price: a float, a text such as "NaN", or None."""
    @property
    def actual_sp(self) -> float | str | None:
        """The actual starting price: a float, a text, or None."""
    @property
    def back_stake_taken(self) -> list[PriceSize]:
        """Back stakes taken at the starting price, per price (the stream's "spl" ladder)."""
    @property
    def lay_liability_taken(self) -> list[PriceSize]:
        """Lay liabilities taken at the starting price, per price (the stream's "spb" ladder)."""

@final
class PriceSize:
    """A price and a size of a ladder: p.price or p["price"], p.size or p["size"]."""
    @property
    def price(self) -> float:
        """The price (odds)."""
    @property
    def size(self) -> float:
        """The amount available or traded at the price."""
    def __getitem__(self, key: str, /) -> float:
        """p["price"] or p["size"], as for a dict; KeyError for any other key."""

@final
class MarketDefinition:
    """The market's definition as of the last one in the stream; the same object until a new one
    arrives.
    """
    @property
    def event_id(self) -> str | None:
        """The event id."""
    @property
    def event_type_id(self) -> str | None:
        """The event type id: "7" horse racing, "4339" greyhounds, "1" soccer, ..."""
    @property
    def event_name(self) -> str | None:
        """The event's name."""
    @property
    def market_type(self) -> str | None:
        """The market type, such as "WIN", "PLACE" or "MATCH_ODDS"."""
    @property
    def country_code(self) -> str | None:
        """The country code, such as "GB"."""
    @property
    def venue(self) -> str | None:
        """The venue, such as "Warwick"."""
    @property
    def race_type(self) -> str | None:
        """The race type, such as "Flat" or "Hurdle"."""
    @property
    def name(self) -> str | None:
        """The market's name, such as "2m Hcap"."""
    @property
    def timezone(self) -> str | None:
        """The venue's time zone, such as "Europe/London"."""
    @property
    def betting_type(self) -> str | None:
        """The betting type, such as "ODDS"."""
    @property
    def regulators(self) -> list[str]:
        """The regulators, in stream order (a new list on every read)."""
    @property
    def runners(self) -> list[MarketDefinitionRunner]:
        """The runners in the definition's order."""
    @property
    def market_time(self) -> datetime | None:
        """Scheduled start: a naive datetime in UTC, or None."""
    @property
    def open_date(self) -> datetime | None:
        """The event's opening time: a naive datetime in UTC, or None."""
    @property
    def suspend_time(self) -> datetime | None:
        """When the market suspends: a naive datetime in UTC, or None."""
    @property
    def settled_time(self) -> datetime | None:
        """When the market settled: a naive datetime in UTC, or None."""
    @property
    def bsp_market(self) -> bool:
        """Whether the market has starting prices."""
    @property
    def persistence_enabled(self) -> bool:
        """Whether bets can persist in play."""
    @property
    def each_way_divisor(self) -> float | None:
        """The each-way divisor, or None."""
    @property
    def turn_in_play_enabled(self) -> bool:
        """Whether the market turns in play."""
    @property
    def discount_allowed(self) -> bool:
        """Whether commission discounts apply."""
    @property
    def market_base_rate(self) -> float:
        """The commission rate in percent."""
    @property
    def bet_delay(self) -> int:
        """In-play bet delay in seconds."""
    @property
    def number_of_winners(self) -> int:
        """Winners the market settles with."""
    @property
    def number_of_active_runners(self) -> int:
        """Active runners as the definition counts them."""
    @property
    def bsp_reconciled(self) -> bool:
        """Whether the starting prices are reconciled."""
    @property
    def complete(self) -> bool:
        """Whether the definition is complete."""
    @property
    def cross_matching(self) -> bool:
        """Whether cross matching is on."""
    @property
    def in_play(self) -> bool:
        """Whether the market is in play."""
    @property
    def runners_voidable(self) -> bool:
        """Whether runners can be voided."""
    @property
    def status(self) -> str:
        """Market status: "OPEN", "SUSPENDED", "CLOSED" or "INACTIVE"."""
    @property
    def version(self) -> int:
        """Version of the definition."""
    @property
    def bet_delay_models(self) -> None:
        """Always None (kept for consumers of richer records)."""
    @property
    def key_line_definitions(self) -> None:
        """Always None (kept for consumers of richer records)."""
    @property
    def line_interval(self) -> None:
        """Always None (kept for consumers of richer records)."""
    @property
    def line_max_unit(self) -> None:
        """Always None (kept for consumers of richer records)."""
    @property
    def line_min_unit(self) -> None:
        """Always None (kept for consumers of richer records)."""
    @property
    def price_ladder_definition(self) -> None:
        """Always None (kept for consumers of richer records)."""
    @property
    def suspend_reason(self) -> None:
        """Always None (kept for consumers of richer records)."""

@final
class MarketDefinitionRunner:
    """A runner as the market definition lists it."""
    @property
    def selection_id(self) -> int:
        """The runner's selection id."""
    @property
    def sort_priority(self) -> int:
        """The runner's place in the definition's order, from 1."""
    @property
    def status(self) -> str:
        """"ACTIVE", "WINNER", "LOSER", "PLACED", "REMOVED" or "HIDDEN"."""
    @property
    def handicap(self) -> float:
        """The runner's handicap (0.0 for markets without)."""
    @property
    def adjustment_factor(self) -> float | None:
        """The adjustment factor, or None."""
    @property
    def removal_date(self) -> str | None:
        """When the runner was removed: the stream's text, not a datetime; or None."""
    @property
    def name(self) -> str | None:
        """The runner's name, or None."""
    @property
    def bsp(self) -> float | None:
        """The starting price the definition gives once reconciled, or None."""

# The shapes of MarketBook.to_dict(): plain dicts, not classes of the module.

@type_check_only
class _PriceSizeDict(TypedDict):
    """A ladder level of to_dict()."""
    price: float
    size: float

@type_check_only
class _ExDict(TypedDict):
    """A runner's ladders in to_dict()."""
    availableToBack: list[_PriceSizeDict]
    availableToLay: list[_PriceSizeDict]
    tradedVolume: list[_PriceSizeDict]

@type_check_only
class _SpDict(TypedDict):
    """A runner's starting prices in to_dict()."""
    nearPrice: float | str | None
    farPrice: float | str | None
    actualSP: float | str | None
    backStakeTaken: list[_PriceSizeDict]
    layLiabilityTaken: list[_PriceSizeDict]

@type_check_only
class _RunnerDict(TypedDict):
    """A runner in to_dict()."""
    selectionId: int
    handicap: float
    status: str
    adjustmentFactor: float | None
    lastPriceTraded: float | None
    totalMatched: float
    removalDate: str | None
    ex: _ExDict
    sp: _SpDict

@type_check_only
class _DefinitionRunnerDict(TypedDict):
    """A definition runner in to_dict(); absent values leave their key out."""
    id: int
    sortPriority: int
    status: str
    adjustmentFactor: NotRequired[float]
    name: NotRequired[str]
    hc: NotRequired[float]
    removalDate: NotRequired[str]
    bsp: NotRequired[float]

@type_check_only
class _MarketDefinitionDict(TypedDict):
    """The market definition in to_dict(), keys sorted; times as the stream's text."""
    betDelay: int
    bettingType: str | None
    bspMarket: bool
    bspReconciled: bool
    complete: bool
    countryCode: str | None
    crossMatching: bool
    discountAllowed: bool
    eventId: str | None
    eventName: str | None
    eventTypeId: str | None
    inPlay: bool
    marketBaseRate: float
    marketTime: str | None
    marketType: str | None
    name: str | None
    numberOfActiveRunners: int
    numberOfWinners: int
    openDate: str | None
    persistenceEnabled: bool
    regulators: list[str]
    runners: list[_DefinitionRunnerDict]
    runnersVoidable: bool
    status: str
    suspendTime: str | None
    timezone: str | None
    turnInPlayEnabled: bool
    venue: str | None
    version: int

@type_check_only
class _MarketBookDict(TypedDict):
    """MarketBook.to_dict(): the lightweight market-book record as plain dicts."""
    marketId: str
    status: str
    betDelay: int
    bspReconciled: bool
    complete: bool
    crossMatching: bool
    inplay: bool
    numberOfActiveRunners: int
    numberOfRunners: int
    numberOfWinners: int
    runnersVoidable: bool
    totalMatched: float
    version: int
    lastMatchTime: int | None
    publishTime: int
    runners: list[_RunnerDict]
    marketDefinition: NotRequired[_MarketDefinitionDict]
