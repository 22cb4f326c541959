"""Price tables on disk: write_table, write_dataset, `marrowfin export --format parquet|csv`."""

import gzip
import os
import pathlib
import shutil

import duckdb
import pyarrow as pa
import pyarrow.csv
import pyarrow.dataset
import pyarrow.parquet as pq
import pytest

from marrowfin_tools import price_table, write_dataset, write_table
from marrowfin_tools.table import output_name
from table_rows import generated, uses_duckdb
from tools_support import SAMPLE, run


@pytest.fixture(scope="module")
def recordings(tmp_path_factory):
    folder = tmp_path_factory.mktemp("recordings")
    shutil.copy(SAMPLE, folder / "race.json.gz")
    return [str(folder / "race.json.gz"), generated(folder / "goals.json.gz", size_mb=0.2, seed=9, handicap=True)]


@pytest.mark.parametrize("name, output", [
    ("race.json.gz", "race.parquet"), ("1.2345", "1.2345.csv"), ("1.2345.gz", "1.2345.csv"), ("a.b.JSONL", "a.b.csv"),
    ("x.txt.bz2", "x.csv"), (".gz", ".gz.csv"), ("dir/race.json", "race.csv"), ("1.2345.json.zst", "1.2345.csv")])
def test_output_names(name, output):
    assert output_name(name, "." + output.rsplit(".", 1)[1]) == output


class TestWriters:
    def test_nothing_is_written_for_a_bad_recording_or_format(self, tmp_path):
        with pytest.raises(ValueError, match="format must be 'parquet' or 'csv', not 'xml'"):
            write_table(SAMPLE, tmp_path / "t.xml", "xml")
        with pytest.raises(FileNotFoundError):
            write_table(SAMPLE, tmp_path / "no" / "t.parquet")
        assert list(tmp_path.iterdir()) == []

    def test_a_dataset_of_two_recordings_and_one_rewritten(self, tmp_path, recordings):
        for path in recordings + recordings[:1]:  # the second write replaces, not adds
            write_dataset(path, tmp_path / "ds", depth=1)
        files = sorted(str(p.relative_to(tmp_path / "ds")) for p in (tmp_path / "ds").rglob("*.parquet"))
        markets = [pa.table(price_table(p, 1))["market_id"][0].as_py() for p in recordings]
        assert files == sorted(f"market_id={m}/{output_name(p, '')}-0.parquet" for m, p in zip(markets, recordings))
        dataset = pyarrow.dataset.dataset(tmp_path / "ds", partitioning="hive").to_table()
        for market, path in zip(markets, recordings):
            got = dataset.filter(pyarrow.dataset.field("market_id") == market).drop_columns(["market_id"])
            assert got.equals(pa.table(price_table(path, 1)).drop_columns(["market_id"]))

    @pytest.mark.parametrize("again", [False, True])
    def test_a_dataset_write_that_fails_keeps_what_was_there(self, tmp_path, again, monkeypatch):
        """Nothing of the recording, or its complete files of an earlier write (at another depth);
        nor, while it is written, a file a glob of the dataset would read before it is complete."""
        text = gzip.decompress(pathlib.Path(SAMPLE).read_bytes())
        market = pa.table(price_table(SAMPLE))["market_id"][0].as_py()
        two = tmp_path / "two.json"
        two.write_bytes(text + text.replace(market.encode(), b"1.999999999"))
        ds = tmp_path / "ds"
        if again:
            write_dataset(two, ds, depth=1)
            shutil.rmtree(ds / "market_id=1.999999999")
        ds.mkdir(exist_ok=True)
        (ds / "market_id=1.999999999").write_text("")  # a file where the second market's folder goes
        before = {p: p.read_bytes() for p in ds.rglob("*.parquet")}
        seen, replace = [], os.replace

        def look_then_replace(source, target):
            seen.append(set(ds.rglob("*.parquet")))
            replace(source, target)

        monkeypatch.setattr(os, "replace", look_then_replace)
        with pytest.raises(OSError):
            write_dataset(two, ds)
        assert seen[0] == set(before)  # as the first complete file is moved in
        assert {p: p.read_bytes() for p in ds.rglob("*.parquet")} == before and len(before) == again
        assert list(ds.glob(".marrowfin-*")) == []


class TestCommand:
    def test_parquet_and_csv_files_one_per_recording_or_csv_to_stdout(self, capsys, tmp_path, recordings, monkeypatch):
        monkeypatch.chdir(tmp_path)
        status, out, err = run(capsys, "export", *recordings, "--format", "csv", "--depth", "0", "--jobs", "2")
        names = [output_name(p, ".csv") for p in recordings]
        counts = [pa.table(price_table(p, 0)).num_rows for p in recordings]
        assert (status, out) == (0, "")
        assert err == [f"{n:,} rows written to {os.path.join(os.curdir, name)}" for n, name in zip(counts, names)]
        for name, path in zip(names, recordings):
            expected = pa.table(price_table(path, 0)).combine_chunks()
            options = pyarrow.csv.ConvertOptions(column_types=expected.schema)
            assert pyarrow.csv.read_csv(name, convert_options=options).cast(expected.schema).equals(expected)
        status, _, err = run(capsys, "export", recordings[0], "--format", "parquet", "-o", "one.parquet",
                             "--every-book")
        assert (status, err) == (0, [f"{pq.read_metadata('one.parquet').num_rows:,} rows written to one.parquet"])
        assert pq.read_table("one.parquet").equals(pa.table(price_table(recordings[0], every_book=True)))
        status, out, err = run(capsys, "export", SAMPLE, "--format", "csv", "-o", "-", "--depth", "1")
        assert status == 0 and out.splitlines()[0].startswith('"market_id","publish_time","book","market_status"')
        assert len(out.splitlines()) == pa.table(price_table(SAMPLE, 1)).num_rows + 1

    def test_an_output_that_cannot_be_written_is_one_line_and_the_others_go_on(self, capsys, tmp_path, recordings):
        (tmp_path / "race.csv").mkdir()  # where the first recording's table goes
        status, _, err = run(capsys, "export", *recordings, "--format", "csv", "-o", f"{tmp_path}/")
        assert (status, err[0], err[2]) == (1, f"marrowfin: {tmp_path}/race.csv: Is a directory",
                                            "marrowfin: 1 of 2 files failed")
        assert (tmp_path / "goals.csv").is_file()

    @uses_duckdb
    def test_a_dataset_that_duckdb_reads(self, capsys, tmp_path, recordings):
        target = str(tmp_path / "tables") + os.sep
        status, _, err = run(capsys, "export", *recordings, "--format", "parquet", "-o", target, "--progress")
        assert status == 0 and [line.split(" rows of ")[1] for line in err if " rows of " in line] == [
            f"{p} written to {target}" for p in recordings]
        # The rows themselves are write_dataset's test's; DuckDB finds each market's by its folder.
        got = duckdb.sql(f"""select market_id, count(*) from read_parquet('{target}**/*.parquet',
            hive_partitioning = true, hive_types = {{'market_id': VARCHAR}}) group by market_id""").fetchall()
        assert sorted(got) == sorted((t["market_id"][0].as_py(), t.num_rows)
                                     for t in (pa.table(price_table(p)) for p in recordings))
        assert f"2/2 files, {sum(rows for _, rows in got):,} rows" in err[-1]
