"""The Parquet dataset as other tools read it: DuckDB and Polars globs and folder scans,
pyarrow and pandas see the rows and nothing else (the errors table lies beside the
folder); 32-bit samples keep their bits, signalling NaNs included, in every reader that
hands out raw values; empty sections are empty lists, never nulls; the README's
one-liners run as written."""

from __future__ import annotations

import re
from pathlib import Path

import pytest

import vorn_tools
from vorn_tools import cli
from vorn_tools.exports.parquet import errors_path
from vorn_tools.testing.vdf_writer import Header, build_file, standard_params

np = pytest.importorskip("numpy")
pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")
pads = pytest.importorskip("pyarrow.dataset")
duckdb = pytest.importorskip("duckdb")
pl = pytest.importorskip("polars")
pd = pytest.importorskip("pandas")

README = Path(__file__).resolve().parents[2] / "README.md"
# 32-bit big-endian words: signalling NaNs of both signs and payloads, a quiet NaN with
# a payload, infinities, a subnormal, signed zeros.
RE_WORDS = ["7fa00001", "ffc00002", "3f800000", "ff800001", "00000001", "80000000"]
IM_WORDS = ["7f800000", "80000000", "7fbfffff", "ff800000", "00000000", "7f800001"]
SECTIONS = ("re", "im", "re_im", "im_re")


def words(hexes: list[str]) -> bytes:
    return b"".join(bytes.fromhex(h) for h in hexes)


@pytest.fixture(scope="module")
def folder(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """Four readable files (signalling NaNs in 32 bits, 64-bit One_D, a four-section
    Two_D of 32 rows and one of no rows) and a damaged one."""
    folder = tmp_path_factory.mktemp("in")
    files = {
        "nan_bits.vdf": build_file(
            params=standard_params("One_D"), sections=[words(IM_WORDS), words(RE_WORDS)], sample_bits=32
        ),
        "plain.vdf": build_file(params=standard_params("One_D"), sections=[[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]]),
        "four.vdf": build_file(
            params=standard_params("Two_D"),
            layout="Two_D",
            sample_bits=32,
            sections=[[[float(s * 10000 + r * 32 + c) for c in range(32)] for r in range(32)] for s in range(4)],
        ),
        # 16 rows: no whole block of rows, so every section holds no samples.
        "four_no_rows.vdf": build_file(
            params=standard_params("Two_D"), layout="Two_D", sections=[b""] * 4, header=Header(data_points=[32, 16])
        ),
        "damaged.vdf": build_file(params=standard_params("One_D"), sections=[[1.0] * 8, [2.0] * 8])[:-5],
    }
    for name, content in files.items():
        (folder / name).write_bytes(content)
    return folder


@pytest.fixture(scope="module")
def dataset(folder: Path, tmp_path_factory: pytest.TempPathFactory) -> Path:
    out = tmp_path_factory.mktemp("out") / "DS"
    assert cli.main(["--batch", str(folder), "--to", "parquet", "--out", str(out), "--jobs", "1"]) == 1
    return out


GOOD = ["four.vdf", "four_no_rows.vdf", "nan_bits.vdf", "plain.vdf"]


def test_the_folder_holds_the_rows_alone_and_the_errors_lie_beside_it(dataset: Path) -> None:
    assert sorted(p.name for p in dataset.iterdir()) == ["part-00000.parquet"]
    errors = pq.read_table(errors_path(dataset)).to_pylist()
    assert errors_path(dataset) == dataset.parent / "DS.errors.parquet"
    assert [e["path"] for e in errors] == ["damaged.vdf"]
    # A folder named *.parquet gives the same name.
    assert errors_path(Path("x/DS.parquet")) == Path("x/DS.errors.parquet")


@pytest.mark.parametrize("glob", ["DS/*.parquet", "DS/**/*.parquet"])
def test_duckdb_reads_the_globs(dataset: Path, glob: str) -> None:
    pattern = str(dataset.parent / glob)
    rows = duckdb.sql(f"SELECT path, size, len(re_f32) AS n FROM read_parquet('{pattern}') ORDER BY path").fetchall()
    assert [r[0] for r in rows] == GOOD
    assert duckdb.sql(f"SELECT count(*) FROM read_parquet('{pattern}')").fetchall() == [(4,)]
    assert duckdb.sql(f"SELECT * FROM read_parquet('{pattern}')").fetchall()  # every column binds


@pytest.mark.parametrize("source", ["DS", "DS/*.parquet", "DS/**/*.parquet"])
def test_polars_scans_the_folder_and_the_globs(dataset: Path, source: str) -> None:
    frame = pl.scan_parquet(str(dataset.parent / source)).collect()
    assert sorted(frame["path"].to_list()) == GOOD


def test_pyarrow_and_pandas_read_the_folder(dataset: Path) -> None:
    assert sorted(pads.dataset(dataset).to_table().column("path").to_pylist()) == GOOD
    assert sorted(pd.read_parquet(dataset)["path"]) == GOOD


def test_32_bit_samples_keep_their_bits_in_every_reader(dataset: Path) -> None:
    expected = {"re": np.frombuffer(words(RE_WORDS), ">u4"), "im": np.frombuffer(words(IM_WORDS), ">u4")}
    table = pads.dataset(dataset).to_table(filter=pads.field("path") == "nan_bits.vdf")
    frame = pl.read_parquet(dataset).filter(pl.col("path") == "nan_bits.vdf")
    pandas_row = pd.read_parquet(dataset).set_index("path").loc["nan_bits.vdf"]
    for name, bits in expected.items():
        column = f"{name}_f32"
        got = {
            "pyarrow": np.asarray(table.column(column).combine_chunks().values),
            "polars": frame[column][0].to_numpy(),
            "pandas": np.asarray(pandas_row[column], dtype=np.float32),
        }
        for reader, values in got.items():
            assert values.dtype == np.float32, reader
            assert values.view(np.uint32).tolist() == bits.astype(np.uint32).tolist(), (reader, name)


def test_empty_sections_are_empty_lists(folder: Path, dataset: Path) -> None:
    rows = {row["path"]: row for row in pads.dataset(dataset).to_table().to_pylist()}
    empty = rows["four_no_rows.vdf"]
    assert empty["shape"] == [0, 0]
    assert [empty[f"{s}_f64"] for s in SECTIONS] == [[], [], [], []]
    assert [empty[f"{s}_f32"] for s in SECTIONS] == [None] * 4  # the other width
    four = rows["four.vdf"]
    assert [len(four[f"{s}_f32"]) for s in SECTIONS] == [32 * 32] * 4
    with vorn_tools.open(folder / "four.vdf") as file:
        for name, section in file.sections().items():
            np.testing.assert_array_equal(np.array(four[f"{name}_f32"], np.float32), section.ravel())
    assert rows["plain.vdf"]["re_im_f64"] is None  # a section the file does not have


def _python_blocks(heading: str) -> list[str]:
    """The ```python blocks of the README section under `heading`."""
    text = README.read_text(encoding="utf-8")
    section = re.split(r"\n#+ ", text.split(heading, 1)[1], maxsplit=1)[0]
    return re.findall(r"```python\n(.*?)```", section, flags=re.S)


def test_readme_one_liners_run(dataset: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    (block,) = _python_blocks("#### Reading the dataset with other tools")
    monkeypatch.chdir(dataset.parent)
    (dataset.parent / "archive.parquet").symlink_to(dataset, target_is_directory=True)
    (dataset.parent / "archive.errors.parquet").symlink_to(errors_path(dataset))
    namespace: dict[str, object] = {}
    exec(compile(block, "README.md", "exec"), namespace)
    assert namespace["count"] == 4 and namespace["errors"] == 1
    assert sorted(namespace["paths"]) == GOOD  # type: ignore[call-overload]
