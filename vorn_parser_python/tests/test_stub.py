"""The type stub of vorn_parser: installed, true to real documents and to the module
(stubtest), and usable by mypy. The mypy and stubtest runs are marked `slow`."""

import ast
import importlib.util
import subprocess
import sys
import sysconfig
from pathlib import Path
from typing import ClassVar

import pytest
import vorn_parser

import vorn_tools
from vorn_tools.testing.vdf_writer import Param, build_file, standard_params

REPO = Path(__file__).resolve().parents[2]
SITE = Path(sysconfig.get_paths()["purelib"])
STUB = SITE / "vorn_parser-stubs" / "__init__.pyi"


def stub_tree() -> ast.Module:
    return ast.parse(STUB.read_text(encoding="utf-8"))


def test_stub_is_installed_as_a_stub_package_and_beside_the_module() -> None:
    found = importlib.util.find_spec("vorn_parser")
    assert found is not None and found.origin is not None
    module_dir = Path(found.origin).parent
    assert STUB.is_file()
    assert (module_dir / "vorn_parser.pyi").read_bytes() == STUB.read_bytes()


class StubChecker:
    """Checks runtime values against the stub's annotations, TypedDict keys in order."""

    SCALARS: ClassVar[dict[str, type]] = {"int": int, "float": float, "str": str, "bool": bool}

    def __init__(self, tree: ast.Module) -> None:
        self.classes = {
            node.name: [
                (name_of(field.target), field.annotation) for field in node.body if isinstance(field, ast.AnnAssign)
            ]
            for node in tree.body
            if isinstance(node, ast.ClassDef)
        }
        self.aliases = {name_of(node.name): node.value for node in tree.body if isinstance(node, ast.TypeAlias)}
        self.seen: set[str] = set()

    def matches(self, value: object, annotation: ast.expr) -> bool:
        if isinstance(annotation, ast.BinOp):  # a | b
            return self.matches(value, annotation.left) or self.matches(value, annotation.right)
        if isinstance(annotation, ast.Constant) and annotation.value is None:
            return value is None
        if isinstance(annotation, ast.Subscript) and ast.unparse(annotation.value) == "Literal":
            return type(value) is str and value in literal_names(annotation)
        if isinstance(annotation, ast.Subscript):
            assert ast.unparse(annotation.value) == "list"
            return isinstance(value, list) and all(self.matches(v, annotation.slice) for v in value)
        name = name_of(annotation)
        if name in self.SCALARS:
            return type(value) is self.SCALARS[name]
        if name in self.aliases:
            return self.matches(value, self.aliases[name])
        if not isinstance(value, dict) or list(value) != [key for key, _ in self.classes[name]]:
            return False
        self.seen.add(name)
        return all(self.matches(value[key], field) for key, field in self.classes[name])


def name_of(node: ast.expr) -> str:
    assert isinstance(node, ast.Name), ast.dump(node)
    return node.id


def literal_names(annotation: ast.expr) -> set[object]:
    """The names a `Literal[...]` annotation allows."""
    assert isinstance(annotation, ast.Subscript), ast.dump(annotation)
    names = annotation.slice.elts if isinstance(annotation.slice, ast.Tuple) else [annotation.slice]
    constants = [name for name in names if isinstance(name, ast.Constant)]
    assert len(constants) == len(names), ast.dump(annotation)
    return {constant.value for constant in constants}


def test_stub_types_match_real_documents() -> None:
    checker = StubChecker(stub_tree())
    documents = [
        build_file(
            params=[*standard_params("One_D", x_points=8), Param("phase", complex(1, -2))],
            sections=[[1.0] * 8, [2.0] * 8],
        ),
        build_file(params=[], sections=[[1.0], [2.0]]),  # no digital filter: None
        build_file(
            layout="Two_D", params=standard_params("Two_D"), sections=[[[float(c) for c in range(32)]] * 32] * 4
        ),
        vorn_tools.example_path("two_d").read_bytes(),
    ]
    for data in documents:
        document = vorn_parser.parse(data)
        assert checker.matches(document, ast.Name("VornDataFile"))
    assert checker.seen == set(checker.classes)  # every TypedDict was met at least once


MISUSE = """\
import vorn_parser

document = vorn_parser.parse("file.vdf")
width: str = document["info"]["spectralWidth"][0]["magnitude"]
document["info"]["digitalFilter"] + 1.0
document["headers"]["titel"]
vorn_parser.parse(3.5)
"""


@pytest.mark.slow
def test_mypy_accepts_the_examples_and_rejects_misuse(tmp_path: Path) -> None:
    pytest.importorskip("mypy")
    misuse = tmp_path / "misuse.py"
    misuse.write_text(MISUSE)
    result = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--strict",
            "--no-error-summary",
            "--cache-dir",
            str(tmp_path / "cache"),
            str(REPO / "examples" / "peaks.py"),
            str(REPO / "python" / "vorn_tools"),
            str(misuse),
        ],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        timeout=600,
    )
    errors = [line for line in result.stdout.splitlines() if ": error:" in line]
    assert all(Path(line.split(":")[0]).name == "misuse.py" for line in errors), result.stdout
    assert sorted(int(line.split(":")[1]) for line in errors) == [4, 5, 6, 7], result.stdout


@pytest.mark.slow
def test_stub_matches_the_module_by_stubtest(tmp_path: Path) -> None:
    """mypy's stubtest compares the stub with the imported module: names, __all__, the
    signature and kinds; the aliases that exist for type checkers only are allowlisted."""
    pytest.importorskip("mypy")
    result = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy.stubtest",
            "vorn_parser",
            "--mypy-config-file",
            str(tmp_path / "none.ini"),
            "--allowlist",
            str(REPO / "vorn_parser_python" / "stubtest-allowlist.txt"),
        ],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        timeout=600,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    assert "Success: no issues found in 1 module" in result.stdout


def test_stub_lists_what_the_module_holds() -> None:
    tree = stub_tree()
    (all_node,) = [
        node
        for node in tree.body
        if isinstance(node, ast.Assign) and [ast.unparse(t) for t in node.targets] == ["__all__"]
    ]
    assert ast.literal_eval(all_node.value) == vorn_parser.__all__ == ["parse"]
    assert sorted(name for name in vars(vorn_parser) if not name.startswith("__")) == ["parse"]
    (parse_node,) = [node for node in tree.body if isinstance(node, ast.FunctionDef)]
    assert "Raises TypeError" in (ast.get_docstring(parse_node) or "")
    assert (ast.get_docstring(tree) or "").count("TYPE_CHECKING") >= 1


CODE_TABLES = REPO / "vorn_parser_core" / "src" / "lib" / "code_tables.cpp"
# Stub alias -> code table, and the names of the table a parsed document cannot hold
# because the reader refuses such files.
TABLE_ALIASES: dict[str, tuple[str, set[str]]] = {
    "Endian": ("ENDIANNESS", set()),
    "DataType": ("DATA_TYPE", {"Reserved"}),
    "DataFormat": (
        "DATA_FORMAT",
        {
            "Three_D",
            "Four_D",
            "Five_D",
            "Six_D",
            "Seven_D",
            "Eight_D",
            "not for NMR data formats",
            "Small_Two_D",
            "Small_Three_D",
            "Small_Four_D",
        },
    ),
    "Instrument": ("INSTRUMENT_TABLE", set()),
    "AxisType": ("DATA_AXIS_TYPE", set()),
    "AxisRanged": ("DATA_AXIS_RANGED", set()),
    "UnitPrefix": ("PREFIX", set()),
    "UnitBase": ("BASE", set()),
    "ValueType": ("VALUE_TYPE", set()),
}


def test_literal_names_are_those_of_the_code_tables() -> None:
    import re

    source = CODE_TABLES.read_text(encoding="utf-8")
    tables = {
        name: set(re.findall(r'"([^"]*)"', body))
        for name, body in re.findall(r'CodeTable table\(\s*"(\w+)",\s*-?\d+,\s*\{(.*?)\}\);', source, flags=re.S)
    }
    checker = StubChecker(stub_tree())
    for alias, (table, refused) in TABLE_ALIASES.items():
        literal = checker.aliases[alias]
        assert isinstance(literal, ast.Subscript) and ast.unparse(literal.value) == "Literal", alias
        assert literal_names(literal) == tables[table] - refused, alias


IMPOSSIBLE = """\
from typing import TYPE_CHECKING
import vorn_parser

if TYPE_CHECKING:
    from vorn_parser import DataFormat, VornDataFile

document: VornDataFile = vorn_parser.parse("file.vdf")
layout: DataFormat = document["headers"]["dataFormat"]
if layout == "Two_D":
    pass
if document["headers"]["dataFormat"] == "Three_D":
    pass
if document["info"]["temperature"]["unit"] == "Celcius":
    pass
"""


@pytest.mark.slow
def test_mypy_rejects_comparisons_with_impossible_names(tmp_path: Path) -> None:
    pytest.importorskip("mypy")
    source = tmp_path / "impossible.py"
    source.write_text(IMPOSSIBLE)
    result = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--strict",
            "--strict-equality",
            "--no-error-summary",
            "--cache-dir",
            str(tmp_path / "cache"),
            str(source),
        ],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        timeout=600,
    )
    errors = [line for line in result.stdout.splitlines() if ": error:" in line]
    assert [int(line.split(":")[1]) for line in errors] == [11, 13], result.stdout
    assert all("Non-overlapping equality check" in line for line in errors), result.stdout
