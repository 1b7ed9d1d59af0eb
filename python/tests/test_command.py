"""The `vorn` command as subcommands: the table, the spellings of earlier versions (each
run beside the subcommand it stands for), messages that name the real cause; and the
layers of the package (nothing imports what lies above it)."""

import ast
import json
import math
import subprocess
import sys
from pathlib import Path

import pytest

import vorn_tools
from helpers import Vorn
from vorn_tools.cli import COMMANDS
from vorn_tools.testing.vdf_writer import SECOND, Header, build_file, standard_params

PACKAGE = Path(vorn_tools.__file__).parent


def one_d(path: Path, values: list[float] | None = None) -> Path:
    re = values if values is not None else [math.cos(i / 3) for i in range(64)]
    path.write_bytes(
        build_file(
            params=standard_params("One_D", x_points=len(re), x_sweep=8000.0),
            header=Header(
                title="menthol_1H", data_units=[SECOND], data_axis_start=[0.0], data_axis_stop=[(len(re) - 1) / 8000.0]
            ),
            sections=[re, [0.0] * len(re)],
        )
    )
    return path


def test_help_lists_every_command_and_each_command_has_its_own(vorn: Vorn) -> None:
    top = vorn("--help")
    assert top.returncode == 0
    for name, command in COMMANDS.items():
        assert f"    {name}" in top.stdout and command.summary.split()[0] in top.stdout
        own = vorn(name, "--help")
        assert own.returncode == 0 and own.stdout.startswith(f"usage: vorn {name} ")


@pytest.mark.parametrize(
    "old, new",
    [
        ([], ["show"]),
        (["FILE"], ["show", "FILE"]),
        (["--example", "two_d"], ["show", "--example", "two_d"]),
        (["FILE", "--json", "--indent", "2"], ["json", "FILE", "--indent", "2"]),
        (["FILE", "--params"], ["params", "FILE"]),
        (["FILE", "-v", "--params"], ["params", "-v", "FILE"]),
        (["FILE", "--to", "jcamp", "--encoding", "AFFN"], ["export", "FILE", "--to", "jcamp", "--encoding", "AFFN"]),
    ],
)
def test_earlier_spellings_print_what_the_subcommand_prints(
    old: list[str], new: list[str], tmp_path: Path, vorn: Vorn
) -> None:
    if "jcamp" in old:
        pytest.importorskip("numpy")
    path = str(one_d(tmp_path / "m.vdf"))
    earlier = vorn(*[path if arg == "FILE" else arg for arg in old])
    now = vorn(*[path if arg == "FILE" else arg for arg in new])
    assert earlier.returncode == now.returncode == 0, earlier.stderr
    assert earlier.stdout == now.stdout and earlier.stdout
    assert earlier.stderr == now.stderr


def test_earlier_plot_peaks_and_batch_spellings(tmp_path: Path, vorn: Vorn) -> None:
    pytest.importorskip("matplotlib")
    pytest.importorskip("scipy")
    path = one_d(tmp_path / "m.vdf")
    old = vorn(path, "--plot", tmp_path / "old.png", "--fid")
    new = vorn("plot", path, "-o", tmp_path / "new.png", "--fid")
    assert old.returncode == new.returncode == 0
    assert (tmp_path / "old.png").read_bytes()[:4] == (tmp_path / "new.png").read_bytes()[:4] == b"\x89PNG"
    assert vorn("--example", "one_d", "--peaks").stdout == vorn("peaks", "--example", "one_d").stdout
    assert vorn("--version").stderr == f"vorn {vorn_tools.__version__}\n"  # as it always was
    folder = tmp_path / "in"
    folder.mkdir()
    one_d(folder / "a.vdf")
    old = vorn("--batch", folder, "--to", "json", "--out", tmp_path / "old")
    new = vorn("convert", folder, "--to", "json", "--out", tmp_path / "new")
    assert (old.returncode, new.returncode) == (0, 0), old.stderr
    assert (tmp_path / "old" / "a.json").read_bytes() == (tmp_path / "new" / "a.json").read_bytes()


def test_earlier_spellings_of_one_file_from_standard_input_read_it_once(tmp_path: Path, vorn: Vorn) -> None:
    pytest.importorskip("matplotlib")
    data = one_d(tmp_path / "m.vdf").read_bytes()
    result = vorn("-", "--plot", tmp_path / "p.png", "--fid", "--json", stdin=data)
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout)["headers"]["title"] == "menthol_1H"


def test_messages_name_the_real_cause(tmp_path: Path, vorn: Vorn) -> None:
    notes = tmp_path / "notes.vdf"
    notes.write_bytes(b"")
    for spelling in (["--batch", notes], ["convert", notes]):
        result = vorn(*spelling)
        assert (result.returncode, result.stderr) == (1, f"vorn: error: {notes}: a file, not a folder\n")
    result = vorn("convert", tmp_path / "none")
    assert result.stderr.endswith(": no such folder\n")
    result = vorn("--example", "one_d", "--to", "npz")
    assert result.returncode == 2 and "give it a name with -o" in result.stderr
    result = vorn("--batch", tmp_path, "--json")
    assert result.returncode == 2 and "does not combine with --json" in result.stderr
    result = vorn("convert", tmp_path, "--to", "json", "--no-data")
    assert result.returncode == 2 and "--no-data: for --to parquet only, not --to json" in result.stderr
    result = vorn("convert", tmp_path, "--jobs", "2", "--scheduler", "tcp://127.0.0.1:1")
    assert result.returncode == 2 and "not allowed with argument" in result.stderr


def test_a_failure_in_a_batch_names_no_exception_class(tmp_path: Path, vorn: Vorn) -> None:
    pytest.importorskip("numpy")
    folder = tmp_path / "in"
    folder.mkdir()
    (folder / "empty.vdf").write_bytes(build_file(sections=[[], []]))
    result = vorn("convert", folder, "--to", "jcamp", "--out", tmp_path / "out")
    assert result.returncode == 1
    assert "empty.vdf: cannot convert to jcamp: the file holds no samples\n" in result.stderr
    assert "Error" not in result.stderr


def test_an_unreachable_scheduler_is_named(tmp_path: Path, vorn: Vorn) -> None:
    pytest.importorskip("distributed")
    pytest.importorskip("pyarrow")
    folder = tmp_path / "in"
    folder.mkdir()
    one_d(folder / "a.vdf")
    result = vorn("convert", folder, "--to", "parquet", "--out", tmp_path / "ds", "--scheduler", "tcp://127.0.0.1:1")
    assert result.returncode == 1
    assert "vorn: error: cannot reach the Dask scheduler at tcp://127.0.0.1:1: " in result.stderr
    assert "cannot write" not in result.stderr


def test_a_plot_of_samples_without_a_finite_value_is_refused(tmp_path: Path, vorn: Vorn) -> None:
    pytest.importorskip("matplotlib")
    pytest.importorskip("scipy")
    one_nan = one_d(tmp_path / "nan.vdf", [math.nan] + [1.0] * 63)
    result = vorn("plot", one_nan, "-o", tmp_path / "p.png")
    assert result.returncode == 1 and not (tmp_path / "p.png").exists()
    assert "1 of the 64 samples are NaN or infinite; their spectrum has no finite point to draw" in result.stderr
    assert vorn("plot", one_nan, "-o", tmp_path / "fid.png", "--fid").returncode == 0  # a gap, not a blank
    all_nan = one_d(tmp_path / "all.vdf", [math.nan] * 64)
    result = vorn("plot", all_nan, "-o", tmp_path / "q.png", "--fid")
    assert result.returncode == 1 and "there is nothing to draw" in result.stderr


def test_export_writes_each_format(tmp_path: Path, vorn: Vorn) -> None:
    np = pytest.importorskip("numpy")
    path = one_d(tmp_path / "m.vdf")
    assert vorn("export", path, "--to", "npz", "-o", tmp_path / "m.npz").returncode == 0
    assert np.load(tmp_path / "m.npz")["data"].shape == (64,)
    assert vorn("export", path, "--to", "json", "-o", tmp_path / "m.json").returncode == 0
    assert json.loads((tmp_path / "m.json").read_text())["headers"]["title"] == "menthol_1H"
    assert vorn("export", path, "--to", "json", "-o", path).returncode == 2  # never over the input
    assert vorn("export", path, "--to", "npz", "--form", "xydata", "-o", tmp_path / "x.npz").returncode == 2


def test_a_command_imports_only_what_it_uses() -> None:
    code = (
        "import sys; from vorn_tools.cli import main; main(['show']); "
        "print(sorted(m for m in ('numpy', 'vorn_tools.archive', 'vorn_tools.exports', 'vorn_tools.cli.convert')"
        " if m in sys.modules))"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True, timeout=120)
    assert result.stdout.splitlines()[-1] == "[]"


# Each subpackage and what it may import at module level: data flows down, nothing
# imports what lies above it.
LAYERS = {
    "reading": set(),
    "arrays": {"reading"},
    "processing": {"arrays", "reading"},
    "exports": {"processing", "arrays", "reading"},
    "archive": {"exports", "processing", "arrays", "reading"},
    "checking": {"reading"},
}


def _module_level_imports(path: Path) -> set[str]:
    """The vorn_tools subpackages a module imports at module level (not under
    TYPE_CHECKING, not inside functions)."""
    parts = path.relative_to(PACKAGE).with_suffix("").parts
    found = set()
    for node in ast.parse(path.read_text(encoding="utf-8")).body:
        if isinstance(node, ast.ImportFrom) and node.level:
            base = list(parts[: len(parts) - node.level])
            target = [*base, *(node.module.split(".") if node.module else [])]
            names = [target] if node.module else [[*target, alias.name] for alias in node.names]
            found |= {name[0] for name in names if name}
    return found


@pytest.mark.parametrize("layer", sorted(LAYERS))
def test_no_layer_imports_one_above_it(layer: str) -> None:
    for path in sorted((PACKAGE / layer).glob("*.py")):
        above = _module_level_imports(path) & (set(LAYERS) | {"cli"}) - LAYERS[layer] - {layer}
        assert not above, f"{path.name} imports {sorted(above)}"


README = Path(__file__).resolve().parents[2] / "README.md"


def _options(help_text: str) -> set[str]:
    """The option strings a --help lists (-h aside)."""
    found = set()
    for line in help_text.splitlines():
        if line.startswith("  -"):  # an option's line, not a wrapped description
            found |= {part.split()[0] for part in line.split("  ")[1].split(", ") if part.startswith("-")}
    return found - {"-h", "--help"}


@pytest.mark.parametrize("name", sorted(COMMANDS))
def test_every_option_in_help_is_in_the_readme_table(name: str, vorn: Vorn) -> None:
    rows = [
        line
        for line in README.read_text(encoding="utf-8").splitlines()
        if line.startswith((f"| `vorn {name}` |", "| `vorn show` |"))
    ]
    options = _options(vorn(name, "--help").stdout)
    assert options and rows
    missing = [option for option in options if not any(f"`{option}" in row for row in rows)]
    assert not missing, f"vorn {name}: {missing} not in the README's table"
    assert f"\nvorn {name} " in README.read_text(encoding="utf-8")  # and in the usage block
