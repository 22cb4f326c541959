"""Market filters: the first definition of a file, the criteria, and every
many-file path that skips a recording without loading it."""

import bz2
import dataclasses
import datetime as dt
import gzip
import pathlib
import random
import re

import pyarrow as pa
import pytest
import zstandard

import marrowfin
from conftest import PT, change, definition, message, runner
from marrowfin_tools import (MarketFilter, batch, cli, filters, first_definition, keep_recording, market_books,
                             price_table, runner_table, runners)
from tools_support import SAMPLE, load_threads, run
UTC = dt.timezone.utc
COMPRESS = {"plain.json": lambda b: b, "gzip.gz": gzip.compress, "bzip2.bz2": bz2.compress,
            "zstd.zst": zstandard.ZstdCompressor().compress}


def later(write):
    """Lines that hold no definition a market gets, then one with an id-less
    change, then the first market's definition; then a tail that is not JSON."""
    lines = [message(PT, change(rc=[runner(1, ltp=2.0)])),
             message(PT + 1, change(market=None, marketDefinition=definition([runner(1, name="Uno")],
                     venue="Ascot", countryCode="GB", marketType="WIN", eventTypeId="7",
                     marketTime="2024-01-31T23:30:00.000Z"))),
             "not JSON"]
    return write(*lines)


@pytest.mark.parametrize("name", COMPRESS)
def test_first_definition_in_every_encoding(write, tmp_path, name):
    with open(later(write), "rb") as f:
        text = f.read()
    path = tmp_path / name
    path.write_bytes(COMPRESS[name](text))
    got = first_definition(path)  # its fields as a book shows them: the sample's test
    assert (got.market_id, got.venue, got.publish_time) == (
        "1.100", "Ascot", dt.datetime.fromtimestamp((PT + 1) / 1000, UTC))
    path.write_bytes(COMPRESS[name](text.split(b"\n")[0] + b"\n"))  # no definition at all
    assert first_definition(path) is None


def test_the_sample_as_its_first_book_shows_it():
    book = next(iter(marrowfin.iter_prices_file(SAMPLE)))
    got, shown = first_definition(SAMPLE), book.market_definition
    names = ["status", "in_play", "number_of_winners", "event_id", "event_name", "event_type_id", "country_code",
             "venue", "market_type", "race_type", "betting_type"]
    assert [getattr(got, n) for n in names] + [got.market_id, got.market_name] == [
        getattr(shown, n) for n in names] + [book.market_id, shown.name]
    assert got.market_time == shown.market_time.replace(tzinfo=UTC)
    assert got.runners == tuple((r.selection_id, r.handicap, r.name, r.sort_priority, r.status)
                                for r in shown.runners)


@pytest.mark.parametrize("content", [None, b"[1,]\n", b"\xff\n", gzip.compress(b'{"pt":1}\n' * 99, mtime=0)[:-9]])
def test_a_file_unreadable_before_a_definition_raises_as_a_load_and_is_kept(tmp_path, content):
    """first_definition and price_table say what the module's own iterator says."""
    path = tmp_path / ("x.gz" if content and content[:2] == b"\x1f\x8b" else "x.json")
    if content is not None:
        path.write_bytes(content)
    with pytest.raises(ValueError) as expected:
        marrowfin.iter_prices_file(str(path))
    for call in (first_definition, price_table):
        with pytest.raises(ValueError) as got:
            call(path)
        assert str(got.value) == str(expected.value)
    assert keep_recording(path, MarketFilter(venues={"nowhere"}))  # its load then says why


AYR = dict(event_type_id="7", country_code="GB", venue="Ayr", market_type="WIN",
           market_time=dt.datetime(2024, 1, 31, 23, 30, tzinfo=UTC))


@pytest.mark.parametrize("criteria, kept", [
    ({}, True),
    ({"country_codes": {"gb", "IE"}, "market_types": ["win"], "venues": ("AYR",)}, True),
    ({"country_codes": {"AU"}}, False),
    ({"event_type_ids": {"7", "4339"}}, True),
    ({"event_type_ids": {"07"}}, False),  # ids are exact
    ({"market_time_from": dt.datetime(2024, 1, 31, 23, 30)}, True),  # naive is UTC; from is inclusive
    ({"market_time_to": dt.datetime(2024, 1, 31, 23, 30, tzinfo=UTC)}, False),  # to is exclusive
    ({"market_time_from": dt.datetime(2024, 2, 1, 9, tzinfo=dt.timezone(dt.timedelta(hours=10)))}, True),
    ({"market_time_to": dt.datetime(2024, 2, 1, 10, 31, tzinfo=dt.timezone(dt.timedelta(hours=11)))}, True),
])
def test_criteria(criteria, kept):
    market_filter = MarketFilter(**criteria)
    full = dataclasses.replace(first_definition(SAMPLE), **AYR)
    assert market_filter(full) is kept
    # A definition without the field, and a recording without one, meet no criterion.
    assert market_filter(dataclasses.replace(full, **dict.fromkeys(AYR))) is (not criteria)
    assert market_filter(None) is (not criteria)


@pytest.mark.parametrize("criteria, text", [
    ({"event_type_ids": {7}}, "event_type_ids takes texts, not int"),
    ({"venues": [b"Ayr"]}, "venues takes texts, not bytes"),
    ({"country_codes": {"GB", None}}, "country_codes takes texts, not NoneType"),
    ({"country_codes": "AU"}, "country_codes takes a collection of texts, not one text")])
def test_criteria_that_are_not_texts_are_refused(criteria, text):
    """They would match no definition, and drop every recording (or a text's letters)."""
    with pytest.raises(TypeError, match=f"^{text}$"):
        MarketFilter(**criteria)


def test_a_market_time_is_what_the_book_shows_in_every_form_strptime_reads(write):
    """The filter and the runner table read it natively, the book with strptime: case, one-digit and
    space-padded fields, fractions of 0 to 7 digits, seconds 60 and 61, days past the month's end."""
    rng = random.Random(5)
    texts = ["2024-01-31t23:30:00.000z", "2024-01- 3T03:03:03Z", "0000-01-01T00:00:00Z", "2024-02-30T00:00:00Z"]
    for _ in range(150):
        fields = [rng.choice([f"{v:02d}", str(v), f"{v:2d}", f"{v:03d}"]) for v in map(rng.randint, [0] * 5,
                                                                                       (13, 32, 24, 60, 62))]
        fraction = rng.choice(["", ".", "." + "1234567"[:rng.randint(1, 7)]])
        texts.append(f"{rng.choice([1, 2024, 9999]):04d}-{fields[0]}-{fields[1]}{rng.choice('Tt')}{fields[2]}:"
                     f"{fields[3]}:{fields[4]}{fraction}{rng.choice('Zz')}")
    for n, text in enumerate(texts):
        path = write(message(PT, change(marketDefinition=definition([runner(1)], marketTime=text))),
                     name=f"{n}.json")
        try:
            shown = next(iter(marrowfin.iter_prices_file(path))).market_definition.market_time
        except ValueError:
            shown = None  # strptime makes no datetime of it
        expected = None if shown is None else shown.replace(tzinfo=UTC, microsecond=shown.microsecond // 1000 * 1000)
        assert first_definition(path).market_time == expected, text
        assert pa.table(runner_table(path)).column("market_time").to_pylist()[0] == expected, text


@pytest.mark.parametrize("text, start, end", [
    ("2024-09-11", dt.datetime(2024, 9, 11, tzinfo=UTC), dt.datetime(2024, 9, 12, tzinfo=UTC)),  # the whole day
    ("20240911", dt.datetime(2024, 9, 11, tzinfo=UTC), dt.datetime(2024, 9, 12, tzinfo=UTC)),
    ("2024-09-11T10:00", dt.datetime(2024, 9, 11, 10, tzinfo=UTC), dt.datetime(2024, 9, 11, 10, tzinfo=UTC)),
    ("2024-09-11T10:00+01:00", dt.datetime(2024, 9, 11, 9, tzinfo=UTC), dt.datetime(2024, 9, 11, 9, tzinfo=UTC)),
])
def test_the_command_reads_dates_and_times_in_every_iso_form(text, start, end):
    args = cli.build_parser().parse_args(["runners", SAMPLE, "--market-time-from", text, "--market-time-to", text])
    found = filters.from_arguments(args)
    assert (found.market_time_from, found.market_time_to) == (start, end)


def test_a_publish_time_past_what_a_datetime_holds_keeps_the_recording(write):
    """Its load reads it; only the filter's Definition cannot."""
    path = write(message(253402300800000, change(marketDefinition=definition([runner(1)], venue="Ayr"))))
    with pytest.raises(ValueError, match="^publish time past what a datetime holds: 253402300800000$"):
        first_definition(path)
    nowhere = MarketFilter(venues={"nowhere"})
    assert keep_recording(path, nowhere)
    assert pa.table(runner_table(path, market_filter=nowhere)).equals(pa.table(runner_table(path)))


def test_a_recording_filtered_out_is_never_loaded(write):
    """Its tail is not JSON: a load would fail on it."""
    skipped, no_definition = later(write), write(message(PT, change(rc=[runner(1)])), name="none.json")
    aus = MarketFilter(country_codes={"AU"})
    assert not keep_recording(skipped, aus) and not keep_recording(no_definition, aus)
    assert keep_recording(no_definition, MarketFilter()) and keep_recording(skipped, None)
    # Without a definition before the line that is not JSON, the filter cannot tell: kept.
    assert keep_recording(write(message(PT, change(rc=[runner(1)])), "not JSON", name="bad.json"), aus)
    for jobs in (1, 2):
        got = list(batch.run_files(len, [skipped, SAMPLE, no_definition], jobs, market_filter=aus))
        assert got == [(p, True, batch.Skipped.FILTERED) for p in (skipped, SAMPLE, no_definition)]
        assert all(outcome.filtered for outcome in got)
    gb = MarketFilter(country_codes={"GB"})
    assert [o.filtered for o in batch.run_files(len, [skipped, SAMPLE], market_filter=gb)] == [False, False]
    assert pa.table(price_table(skipped, sp=True, market_filter=aus)).schema == pa.table(
        price_table(SAMPLE, sp=True)).schema
    assert pa.table(price_table(skipped, market_filter=aus)).num_rows == 0
    books = market_books([skipped, SAMPLE], market_filter=MarketFilter(venues={"southwell"}))
    assert {books.path_index for _ in books} == {1}  # the skipped path counted
    with pytest.raises(ValueError, match="^expected ident at line 1 column 2$"):
        price_table(skipped, market_filter=gb)  # kept, so loaded


@pytest.mark.parametrize("threads", [1, 0])  # 1: as a worker, whose load goes on from the filter's read
def test_the_runner_table_asks_the_filter_in_its_load(write, tmp_path, threads):
    """As keep_recording decides, with an unfiltered load's table and failures; the sample in ten bzip2 blocks."""
    (packed := tmp_path / "s.bz2").write_bytes(bz2.compress(gzip.decompress(pathlib.Path(SAMPLE).read_bytes()), 1))
    southwell, skipped = MarketFilter(venues={"southwell"}), later(write)
    unreadable = [write(message(PT, change(marketDefinition=definition([runner(1)], venue="Southwell"))),
                        "not JSON", name="after.json"), write(message(PT, change(rc=[runner(1)])), "[", name="b.json")]
    errors = [str(pytest.raises(ValueError, runner_table, path).value) for path in unreadable]
    with load_threads(threads):
        got = runner_table([packed, skipped, SAMPLE], before=(60,), market_filter=southwell)
        assert pa.table(got).equals(pa.table(runner_table([packed, SAMPLE], before=(60,))))
        assert runners.recording_rows(skipped, (), southwell) is batch.Skipped.FILTERED
        assert runners.recording_rows(str(packed), (), southwell).rows == 10
        for path, error in zip(unreadable, errors):  # kept, so that its load says why
            with pytest.raises(ValueError, match=f"^{re.escape(error)}$"):
                runner_table(path, market_filter=southwell)


def test_the_commands_skip_and_count_what_the_filter_keeps_out(capsys, tmp_path):
    assert run(capsys, "summary", "--json", "--no-plot", "--country", "AU", SAMPLE, SAMPLE) == (
        0, "", ["marrowfin: 2 recordings filtered out"])
    status, out, err = run(capsys, "summary", "--json", "--no-plot", "--venue", "southwell", "--event-type", "7",
                           SAMPLE)
    assert (status, len(out.splitlines()), err) == (0, 1, [])
    assert run(capsys, "export", SAMPLE, "-o", str(tmp_path / "x.jsonl"), "--market-type", "PLACE") == (
        0, "", [f"marrowfin: {SAMPLE}: filtered out; nothing written"])
    assert list(tmp_path.iterdir()) == []
    status, _, err = run(capsys, "export", SAMPLE, SAMPLE, "-o", f"{tmp_path}/out/", "--market-time-to", "2024-10-29")
    assert status == 0 and err[-1] == "marrowfin: 2 recordings filtered out"
    assert sorted(p.name for p in tmp_path.rglob("*")) == ["out"]
