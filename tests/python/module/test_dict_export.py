"""MarketBook.to_dict: keys, their order, what is left out, and lists that Python code has changed."""

import json
import sys

import pytest

from conftest import EXPECTED, prices


def test_every_key_in_order_and_a_new_dict_every_call(book):
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


def test_shortened_and_reordered_lists(book):
    book.runners.pop(0)
    book.runners.reverse()
    book.market_definition.runners.clear()
    book.runners[0].ex.available_to_back.pop()
    d = book.to_dict()
    assert [r["selectionId"] for r in d["runners"]] == [9, 5]
    assert d["runners"][0]["ex"]["availableToBack"] == prices((2.0, 4.5), (1.8, 1.0))
    assert d["marketDefinition"]["runners"] == []
