"""vorn --batch --to parquet, and vorn_tools.dask: rows against vorn_parser.parse,
deterministic bytes, the errors table, --no-data, dataset filters, and the same
dataset from a local dask.distributed cluster (also when a worker is killed)."""

from __future__ import annotations

import datetime
import hashlib
import math
import os
import shutil
import signal
import threading
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import TYPE_CHECKING, Any, BinaryIO

import pytest
import vorn_parser

import vorn_tools
from vorn_tools import cli
from vorn_tools.exports.json import jsonable
from vorn_tools.exports.parquet import errors_path
from vorn_tools.testing.vdf_writer import MEGA_HERTZ, Header, Param, build_file, standard_params

if TYPE_CHECKING:
    from dask.typing import Key
    from distributed import Client, LocalCluster

np = pytest.importorskip("numpy")
pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")
pads = pytest.importorskip("pyarrow.dataset")
pc = pytest.importorskip("pyarrow.compute")

SPECIAL = [math.nan, math.inf, -math.inf, -0.0, 1e-30, 3.25]
# The `inputs` fixture: the input folder, and each file's content by its path in it.
type Inputs = tuple[Path, dict[str, bytes]]


def samples(count: int, seed: int) -> list[float]:
    values = [((i * 7919 + seed * 104729) % 10007) / 64.0 - 70.0 for i in range(count)]
    values[: len(SPECIAL)] = SPECIAL
    return values


def matrix(rows: int, cols: int, seed: int) -> list[list[float]]:
    flat = samples(rows * cols, seed)
    return [flat[r * cols : (r + 1) * cols] for r in range(rows)]


def nucleus_params(nucleus: str, mhz: float) -> list[Param]:
    params = standard_params("One_D")
    return [
        Param("x_domain", nucleus)
        if p.name == "x_domain"
        else Param("x_freq", mhz, units=MEGA_HERTZ)
        if p.name == "x_freq"
        else p
        for p in params
    ]


def write_folder(folder: Path) -> dict[str, bytes]:
    """Files of both layouts, widths and byte orders, two and four sections, one with no
    parameters, one in a subfolder, and three for filter queries."""
    files = {
        "one_d_32_big.vdf": build_file(
            params=standard_params("One_D"), sections=[samples(40, 1), samples(40, 2)], sample_bits=32
        ),
        "one_d_64_little.vdf": build_file(
            params=standard_params("One_D", filter_orders=None),
            sections=[samples(33, 3), samples(33, 4)],
            little_endian=True,
        ),
        "one_d_four_sections.vdf": build_file(
            sections=[samples(8, k) for k in range(4)],
            sample_bits=32,
            params=[Param("scans", "many"), Param("cplx", complex(1.5, -2.0))],
        ),
        "no_parameters.vdf": build_file(sections=[samples(5, 9), samples(5, 8)]),
        "two_d_32_little.vdf": build_file(
            params=standard_params("Two_D"),
            layout="Two_D",
            little_endian=True,
            sample_bits=32,
            sections=[matrix(64, 32, 5), matrix(64, 32, 6)],
        ),
        "two_d_64_four.vdf": build_file(
            params=standard_params("Two_D"),
            layout="Two_D",
            sections=[matrix(32, 64, 10 + k) for k in range(4)],
            header=Header(title="hsqc"),
        ),
        "sub/nested.vdf": build_file(params=[Param("solvent", "D2O")], sections=[samples(4, 0), samples(4, 1)]),
        "carbon_100.vdf": build_file(params=nucleus_params("13C", 100.52), sections=[samples(6, 1)] * 2),
        "carbon_150.vdf": build_file(params=nucleus_params("13C", 150.90), sections=[samples(6, 2)] * 2),
        "proton_600.vdf": build_file(params=nucleus_params("1H", 600.13), sections=[samples(6, 3)] * 2),
    }
    for name, content in files.items():
        (folder / name).parent.mkdir(parents=True, exist_ok=True)
        (folder / name).write_bytes(content)
    return files


@pytest.fixture(scope="module")
def inputs(tmp_path_factory: pytest.TempPathFactory) -> Inputs:
    folder = tmp_path_factory.mktemp("inputs")
    return folder, write_folder(folder)


def convert(folder: Path, out: Path, *extra: str, jobs: str = "2") -> int:
    args = ["--batch", str(folder), "--pattern", "**/*.vdf", "--to", "parquet", "--out", str(out), *extra]
    if "--scheduler" not in extra:
        args += ["--jobs", jobs]
    return cli.main(args)


def dataset_bytes(out: Path) -> dict[str, bytes]:
    """The files of the dataset folder, and its errors table beside it."""
    files = {path.name: path.read_bytes() for path in sorted(out.iterdir())}
    return files | {"errors": errors_path(out).read_bytes()}


@pytest.fixture(scope="module")
def local_run(inputs: Inputs, tmp_path_factory: pytest.TempPathFactory) -> Path:
    out = tmp_path_factory.mktemp("runs") / "dataset"
    assert convert(inputs[0], out) == 0
    return out


def rows_of(out: Path, columns: list[str] | None = None) -> list[dict[str, Any]]:
    rows: list[dict[str, Any]] = pads.dataset(out).to_table(columns=columns).to_pylist()
    return rows


def same(a: object, b: object) -> bool:
    """Equal, NaN equal to NaN."""
    return bool(jsonable(a) == jsonable(b))


def test_every_row_equals_what_parse_gives(inputs: Inputs, local_run: Path) -> None:
    _, files = inputs
    rows = rows_of(local_run)
    assert [row["path"] for row in rows] == sorted(files)
    for row in rows:
        content = files[row["path"]]
        document = vorn_parser.parse(content)
        headers, info = document["headers"], document["info"]
        assert same(row["headers"], headers), row["path"]
        assert (row["size"], row["sha256"]) == (len(content), hashlib.sha256(content).hexdigest())
        assert (row["layout"], row["data_type"], row["dimension"], row["points"]) == (
            headers["dataFormat"],
            headers["dataType"],
            info["dimension"],
            info["dataPoints"],
        )
        assert row["nucleus"] == [str(n) for n in info["nucleus"]]
        assert (row["sample"], row["solvent"], row["scans"]) == (
            str(info["sampleName"]),
            str(info["solvent"]),
            str(info["numberOfScans"]),
        )
        assert row["observe_frequency_hz"] == [
            q["magnitude"] if q["unit"] == "Hertz" else None for q in info["originFrequency"]
        ]
        assert row["spectral_width_hz"] == [
            q["magnitude"] if q["unit"] == "Hertz" else None for q in info["spectralWidth"]
        ]
        assert row["offset"] == [q["magnitude"] for q in info["frequencyOffset"]]
        assert (row["temperature"], row["temperature_unit"]) == (
            info["temperature"]["magnitude"],
            info["temperature"]["unit"],
        )
        assert same(row["digital_filter"], info["digitalFilter"])
        created = info["creationTime"]
        assert row["created"] == datetime.date(created["year"], created["month"], created["day"])

        params = document["parameters"]["paramArray"]
        assert [(p["name"], p["kind"]) for p in row["parameters"]] == [(p["name"], p["valueType"]) for p in params]
        for stored, param in zip(row["parameters"], params, strict=True):
            value = param["value"]
            if isinstance(value, str):
                assert (stored["value"], stored["value_float"]) == (value, None)
            elif isinstance(value, dict):
                assert stored["value"].startswith(repr(value["real"])) and stored["value_float"] is None
            else:
                assert type(value)(stored["value"]) == value and stored["value_float"] == float(value)

        bits = 32 if headers["dataType"].startswith("32") else 64
        assert row["sample_bits"] == bits
        expected = vorn_tools.to_numpy(document).sections  # decoded from parse's lists
        assert row["shape"] == list(expected["re"].shape)
        for name in ("re", "im", "re_im", "im_re"):
            stored, other = row[f"{name}_f{bits}"], row[f"{name}_f{96 - bits}"]
            assert other is None
            if name not in expected:
                assert stored is None
                continue
            got = np.array(stored, dtype=np.float64).reshape(row["shape"])
            np.testing.assert_array_equal(got, expected[name], err_msg=f"{row['path']} {name}")
            assert np.array_equal(np.signbit(got), np.signbit(expected[name]))
    schema = pq.read_schema(local_run / "part-00000.parquet")
    assert schema.field("re_f32").type.value_type == pa.float32()
    assert schema.field("re_f64").type.value_type == pa.float64()


def test_parquet_files_have_statistics_and_a_page_index(local_run: Path) -> None:
    metadata = pq.ParquetFile(local_run / "part-00000.parquet").metadata
    column = metadata.row_group(0).column(metadata.schema.names.index("size"))
    assert column.statistics.has_min_max and column.has_offset_index and column.has_column_index
    assert column.compression == "ZSTD"
    assert pq.read_table(errors_path(local_run)).num_rows == 0
    assert [p.name for p in local_run.iterdir()] == ["part-00000.parquet"]


def test_same_inputs_give_the_same_bytes_and_one_change_changes_its_row(
    inputs: Inputs, local_run: Path, tmp_path: Path
) -> None:
    folder, _ = inputs
    # Another run, with another number of processes: the same bytes.
    again = tmp_path / "again"
    assert convert(folder, again, jobs="1") == 0
    assert dataset_bytes(again) == dataset_bytes(local_run)

    changed = tmp_path / "changed_inputs"
    shutil.copytree(folder, changed)
    name = "one_d_64_little.vdf"
    (changed / name).write_bytes(
        build_file(
            params=standard_params("One_D", filter_orders=None),
            sections=[samples(33, 3), samples(33, 5)],
            little_endian=True,
        )
    )
    rerun = tmp_path / "rerun"
    assert convert(changed, rerun) == 0
    before, after = rows_of(local_run), rows_of(rerun)
    differing = [b["path"] for b, a in zip(before, after, strict=True) if not same(b, a)]
    assert differing == [name]
    changed_row = next(a for a in after if a["path"] == name)
    old_row = next(b for b in before if b["path"] == name)
    assert changed_row["sha256"] != old_row["sha256"] and changed_row["re_f64"] != old_row["re_f64"]
    assert same(
        {k: v for k, v in changed_row.items() if k not in ("sha256", "re_f64")},
        {k: v for k, v in old_row.items() if k not in ("sha256", "re_f64")},
    )
    old_bytes, new_bytes = dataset_bytes(local_run), dataset_bytes(rerun)
    assert old_bytes["part-00000.parquet"] != new_bytes["part-00000.parquet"]
    assert old_bytes["errors"] == new_bytes["errors"]


def test_bad_files_go_to_the_errors_table_and_exit_1(
    inputs: Inputs, tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    folder = tmp_path / "in"
    shutil.copytree(inputs[0], folder)
    (folder / "garbage.vdf").write_bytes(b"not a data file" * 40)
    good = build_file(params=[Param("scans", 4)], sections=[samples(16, 1), samples(16, 2)])
    (folder / "cut.vdf").write_bytes(good[:-8])
    out = tmp_path / "dataset"
    assert convert(folder, out) == 1
    stderr = capsys.readouterr().err
    assert "2 failed" in stderr and "dataset.errors.parquet" in stderr
    errors = pq.read_table(tmp_path / "dataset.errors.parquet").to_pylist()
    assert [e["path"] for e in errors] == ["cut.vdf", "garbage.vdf"]
    assert "data section" in errors[0]["reason"] and "not a data file of this kind" in errors[1]["reason"]
    assert [row["path"] for row in rows_of(out, ["path"])] == sorted(inputs[1])

    # With --no-data the samples are not read, but the cut file is found by its size.
    assert convert(folder, tmp_path / "index", "--no-data") == 1
    index_errors = pq.read_table(tmp_path / "index.errors.parquet").to_pylist()
    assert [e["path"] for e in index_errors] == ["cut.vdf", "garbage.vdf"]
    assert "ends before the samples" in index_errors[0]["reason"]


def test_no_data_writes_the_index_alone(inputs: Inputs, local_run: Path, tmp_path: Path) -> None:
    out = tmp_path / "index"
    assert convert(inputs[0], out, "--no-data") == 0
    table = pads.dataset(out).to_table()
    full = pads.dataset(local_run).to_table()
    assert "shape" not in table.schema.names and not any(n.endswith(("_f32", "_f64")) for n in table.schema.names)
    assert table.schema.names == full.schema.names[: len(table.schema.names)]
    assert table.equals(full.select(table.schema.names))


def test_dataset_filters_find_the_right_rows(local_run: Path) -> None:
    dataset = pads.dataset(local_run)
    carbon_above_120_mhz = (pc.list_element(pads.field("nucleus"), 0) == "13C") & (
        pc.list_element(pads.field("observe_frequency_hz"), 0) > 120e6
    )
    assert dataset.to_table(columns=["path"], filter=carbon_above_120_mhz).column("path").to_pylist() == [
        "carbon_150.vdf"
    ]
    two_d_64 = (pads.field("layout") == "Two_D") & (pads.field("sample_bits") == 64)
    assert dataset.to_table(columns=["path"], filter=two_d_64).column("path").to_pylist() == ["two_d_64_four.vdf"]
    heavy_water = dataset.to_table(columns=["path", "re_f64"], filter=pads.field("solvent") == "D2O")
    assert heavy_water.column("path").to_pylist() == ["sub/nested.vdf"]


def test_refused_runs(inputs: Inputs, tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    folder = tmp_path / "in"
    shutil.copytree(inputs[0], folder)
    assert convert(folder, folder / "sub") == 2  # an input lies inside the dataset folder
    assert "inside the dataset folder" in capsys.readouterr().err
    with pytest.raises(SystemExit) as exited:
        cli.main(["--batch", str(folder), "--to", "parquet"])
    assert exited.value.code == 2
    with pytest.raises(SystemExit):
        cli.main(["--batch", str(folder), "--to", "json", "--no-data"])


def test_dask_collections(inputs: Inputs, local_run: Path) -> None:
    pytest.importorskip("dask.dataframe")
    from vorn_tools.dask import read_arrays, read_info

    folder, files = inputs
    paths = [folder / name for name in sorted(files)]
    frame = read_info(paths, files_per_partition=3).compute(scheduler="synchronous")  # type: ignore[no-untyped-call]
    index = rows_of(local_run, ["sha256", "nucleus", "created", "parameters", "headers"])
    assert frame["path"].tolist() == [str(p) for p in paths]
    for name in index[0]:
        assert same(frame[name].tolist(), [row[name] for row in index]), name
    arrays = read_arrays(paths).compute(scheduler="synchronous")  # type: ignore[no-untyped-call]
    for path, got in zip(paths, arrays, strict=True):
        expected = vorn_tools.open(path).to_numpy()
        np.testing.assert_array_equal(got.values, expected.values)


# --- on a local dask.distributed cluster --------------------------------------------


def run_with_timeout[T](function: Callable[[], T], seconds: float = 120) -> T:
    values: list[T] = []
    errors: list[BaseException] = []

    def target() -> None:
        try:
            values.append(function())
        except BaseException as exc:  # handed to the test
            errors.append(exc)

    thread = threading.Thread(target=target, daemon=True)
    thread.start()
    thread.join(seconds)
    assert not thread.is_alive(), f"no result in {seconds} s"
    if errors:
        raise errors[0]
    return values[0]


@pytest.fixture(scope="module")
def cluster() -> Iterator[LocalCluster]:
    distributed = pytest.importorskip("distributed")
    # Every port chosen by the system: the scheduler's HTTP server binds 8787 even
    # without a dashboard unless given a port, and another program may hold that one.
    cluster = run_with_timeout(
        lambda: distributed.LocalCluster(
            n_workers=2,
            threads_per_worker=1,
            processes=True,
            host="127.0.0.1",
            scheduler_port=0,
            dashboard_address=":0",
            scheduler_kwargs={"dashboard": False},
        )
    )
    yield cluster
    run_with_timeout(cluster.close, 60)


def test_scheduler_gives_the_same_dataset(
    inputs: Inputs, local_run: Path, cluster: LocalCluster, tmp_path: Path
) -> None:
    out = tmp_path / "distributed"
    assert run_with_timeout(lambda: convert(inputs[0], out, "--scheduler", cluster.scheduler_address)) == 0
    assert dataset_bytes(out) == dataset_bytes(local_run)


def test_a_worker_killed_mid_run_loses_and_duplicates_no_row(cluster: LocalCluster, tmp_path: Path) -> None:
    from vorn_tools.archive.datasets import convert_folder_to_parquet

    folder = tmp_path / "many"
    folder.mkdir()
    for i in range(60):
        (folder / f"f{i:03d}.vdf").write_bytes(
            build_file(params=standard_params("One_D"), sections=[samples(2048, i), samples(2048, i + 1)])
        )
    local = tmp_path / "local"
    convert_folder_to_parquet(folder, local, workers=2)
    killed: list[tuple[str, list[Key]]] = []

    def kill_a_busy_worker(client: Client) -> None:
        if killed:
            return
        processing = {
            address: keys
            for address, keys in client.processing().items()  # type: ignore[no-untyped-call]
            if keys
        }
        pids = client.run(os.getpid)
        address = sorted(processing)[0]
        killed.append((address, list(processing[address])))
        os.kill(pids[address], signal.SIGKILL)

    out = tmp_path / "distributed"
    outcomes = run_with_timeout(
        lambda: convert_folder_to_parquet(
            folder, out, scheduler=cluster.scheduler_address, _on_result=kill_a_busy_worker
        )
    )
    assert killed and killed[0][1], "a worker with tasks in hand was killed"
    assert all(outcome.error is None for outcome in outcomes) and len(outcomes) == 60
    assert dataset_bytes(out) == dataset_bytes(local)
    run_with_timeout(lambda: cluster.wait_for_workers(2), 60)


def test_a_failed_write_is_raised_and_leaves_no_part(
    inputs: Inputs, tmp_path: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    """The writing thread's failure reaches the caller; abandoning removes what it made."""
    from vorn_tools.exports import parquet

    batch, errors = parquet.convert_chunk([(str(inputs[0] / name), name) for name in sorted(inputs[1])], True)
    assert errors == [] and batch.num_rows == len(inputs[1])
    made: list[Path] = []

    def temporary(target: Path) -> tuple[Path, BinaryIO]:
        if made:
            raise OSError(28, "No space left on device")
        path = tmp_path / f"{target.name}.tmp"
        made.append(path)
        return path, path.open("wb")

    writer = parquet.DatasetWriter(tmp_path, True, temporary)
    monkeypatch.setattr(parquet, "ROW_GROUP_BYTES", 1)  # a row group per row
    monkeypatch.setattr(parquet, "PART_BYTES", 1)  # a part per row group
    try:
        for _ in range(3):
            writer.add(batch.slice(0, 1))
        with pytest.raises(OSError, match="No space left"):
            writer.finish()
    finally:
        writer.abandon()
    assert made and not any(path.exists() for path in made)


def test_chunks_depend_on_the_number_of_files_alone() -> None:
    from vorn_tools.archive.datasets import CHUNK_FILES, chunks_of

    jobs = [(f"/in/{i}.vdf", f"{i}.vdf") for i in range(1000)]
    chunks = chunks_of(jobs)
    assert [job for chunk in chunks for job in chunk.jobs] == jobs
    assert max(len(chunk.jobs) for chunk in chunks) <= CHUNK_FILES
    assert len(chunks_of(jobs[:3])) == 3


def test_row_groups_and_parts_are_bounded(
    inputs: Inputs, local_run: Path, tmp_path: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    """Row groups of at most ROW_GROUP_ROWS rows, parts of at most PART_BYTES: the same
    rows, in the same order, in groups and parts of the sizes the limits give."""
    from vorn_tools.archive.datasets import convert_folder_to_parquet
    from vorn_tools.exports import parquet

    monkeypatch.setattr(parquet, "ROW_GROUP_ROWS", 4)
    monkeypatch.setattr(parquet, "PART_BYTES", 1)  # every row group starts a part
    out = tmp_path / "bounded"
    outcomes = convert_folder_to_parquet(inputs[0], out, pattern="**/*.vdf", workers=1)
    assert all(outcome.error is None for outcome in outcomes)
    parts = sorted(out.glob("part-*.parquet"))
    groups = [
        [meta.row_group(g).num_rows for g in range(meta.num_row_groups)]
        for meta in (pq.ParquetFile(part).metadata for part in parts)
    ]
    rows = len(inputs[1])
    assert groups == [[4]] * (rows // 4) + ([[rows % 4]] if rows % 4 else [])
    assert [jsonable(row) for row in rows_of(out)] == [jsonable(row) for row in rows_of(local_run)]  # NaN too
