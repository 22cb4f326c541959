"""MarketBook.to_dict: keys, their order, what is left out, and lists that Python code has changed."""

import json
import sys

import pytest

from conftest import PT, change, message

NO_SP = {"nearPrice": None, "farPrice": None, "actualSP": None, "backStakeTaken": [], "layLiabilityTaken": []}


def prices(*pairs):
    return [{"price": p, "size": s} for p, s in pairs]


EXPECTED = {
    "marketId": "1.100", "status": "SUSPENDED", "betDelay": 5, "bspReconciled": True, "complete": False,
    "crossMatching": False, "inplay": True, "numberOfActiveRunners": 2, "numberOfRunners": 3,
    "numberOfWinners": 3, "runnersVoidable": True, "totalMatched": 1234.5, "version": 3715126545,
    "lastMatchTime": 1617121600000, "publishTime": PT,
    "runners": [
        {"selectionId": 4, "handicap": 0.0, "status": "REMOVED", "adjustmentFactor": None,
         "lastPriceTraded": None, "totalMatched": 0.0, "removalDate": "2021-03-30T10:00:00Z",
         "ex": {"availableToBack": prices((1.01, 2.0)), "availableToLay": [], "tradedVolume": []}, "sp": NO_SP},
        {"selectionId": 5, "handicap": -0.0, "status": "ACTIVE", "adjustmentFactor": None,
         "lastPriceTraded": None, "totalMatched": 0.0, "removalDate": None,
         "ex": {"availableToBack": [], "availableToLay": [], "tradedVolume": []}, "sp": NO_SP},
        {"selectionId": 9, "handicap": -1.5, "status": "ACTIVE", "adjustmentFactor": 10.0,
         "lastPriceTraded": 2.0, "totalMatched": 42.5, "removalDate": None,
         "ex": {"availableToBack": prices((2.0, 4.5), (1.8, 1.0), (1.5, 10.0)),
                "availableToLay": prices((2.1, 5.0), (2.2, 3.0)),
                "tradedVolume": prices((1.9, 12.5), (2.0, 30.0))},
         "sp": {"nearPrice": "Infinity", "farPrice": 3.25, "actualSP": 3.5,
                "backStakeTaken": prices((4.0, 1.0), (5.0, 2.0)),
                "layLiabilityTaken": prices((3.0, 5.0), (2.0, 10.0))}},
    ],
    # Sorted keys; settledTime, raceType and eachWayDivisor are not exported,
    # and a runner leaves out what it lacks, and a handicap of zero.
    "marketDefinition": {
        "betDelay": 5, "bettingType": "ODDS", "bspMarket": True, "bspReconciled": True, "complete": False,
        "countryCode": "GB", "crossMatching": False, "discountAllowed": True, "eventId": "30388764",
        "eventName": "Race", "eventTypeId": "7", "inPlay": True, "marketBaseRate": 5.0,
        "marketTime": "2021-03-30T16:20:00.000Z", "marketType": "PLACE", "name": "2m Hcap",
        "numberOfActiveRunners": 2, "numberOfWinners": 3, "openDate": "2021-03-30T12:50:00Z",
        "persistenceEnabled": False, "regulators": ["MR_INT", "X"],
        "runners": [
            {"id": 9, "sortPriority": 2, "status": "ACTIVE", "adjustmentFactor": 10.0, "name": "Nine",
             "hc": -1.5, "bsp": 3.5},
            {"id": 4, "sortPriority": 1, "status": "REMOVED", "removalDate": "2021-03-30T10:00:00Z"},
            {"id": 5, "sortPriority": 3, "status": "ACTIVE"},
        ],
        "runnersVoidable": True, "status": "SUSPENDED", "suspendTime": "2021-03-30T16:20:00.1234Z",
        "timezone": "Europe/London", "turnInPlayEnabled": True, "venue": "Warwick", "version": 3715126545,
    },
}  # fmt: skip


class TestKeys:
    def test_every_key_in_order(self, book):
        # The JSON texts compare the order of every dict's keys too.
        assert json.dumps(book.to_dict()) == json.dumps(EXPECTED)
        assert book.to_dict()["runners"][2]["status"] is book.runners[2].status

    def test_without_definition(self, replay):
        (bare,) = replay(message(PT, change()))
        assert list(bare.to_dict()) == list(EXPECTED)[:-1]
        assert bare.to_dict()["runners"] == []
        with pytest.raises(TypeError):
            bare.to_dict(1)

    def test_result_is_independent(self, book):
        first, second = book.to_dict(), book.to_dict()
        assert first == second and first["runners"][2]["ex"] is not second["runners"][2]["ex"]
        first["runners"][2]["ex"]["availableToBack"].append(1)
        first["marketDefinition"]["regulators"].append("X")
        assert second == book.to_dict() == EXPECTED
        assert book.market_definition.regulators == ["MR_INT", "X"]


class TestChangedLists:
    """Handed-out lists are ordinary Python lists; the export must survive what callers do."""

    @pytest.mark.parametrize(
        "tamper, text",
        [
            (lambda b, foreign: b.runners.append(foreign), "'object' object cannot be converted to 'Runner'"),
            (lambda b, _: b.runners[2].ex.traded_volume.insert(0, 1.5),
             "'float' object cannot be converted to 'PriceSize'"),
            (lambda b, _: b.market_definition.runners.append(b.runners[0]),
             "'Runner' object cannot be converted to 'MarketDefinitionRunner'"),
        ],
    )
    def test_foreign_objects(self, book, tamper, text):
        foreign = object()
        tamper(book, foreign)
        before = sys.getrefcount(foreign)
        with pytest.raises(TypeError) as error:
            book.to_dict()
        assert str(error.value) == text
        assert sys.getrefcount(foreign) == before

    def test_shortened_and_reordered_lists(self, book):
        book.runners.pop(0)
        book.runners.reverse()
        book.market_definition.runners.clear()
        book.runners[0].ex.available_to_back.pop()
        d = book.to_dict()
        assert [r["selectionId"] for r in d["runners"]] == [9, 5]
        assert d["runners"][0]["ex"]["availableToBack"] == prices((2.0, 4.5), (1.8, 1.0))
        assert d["marketDefinition"]["runners"] == []
