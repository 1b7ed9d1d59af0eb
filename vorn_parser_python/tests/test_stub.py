"""The type stub of vorn_parser: installed, true to real documents, and usable by mypy."""

import ast
import importlib.util
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest
import vorn_parser

import vorn_tools
from vdf_writer import Param, build_file, standard_params

REPO = Path(__file__).resolve().parents[2]
SITE = Path(sysconfig.get_paths()["purelib"])
STUB = SITE / "vorn_parser-stubs" / "__init__.pyi"


def stub_tree():
    return ast.parse(STUB.read_text(encoding="utf-8"))


def test_stub_is_installed_as_a_stub_package_and_beside_the_module():
    module_dir = Path(importlib.util.find_spec("vorn_parser").origin).parent
    assert STUB.is_file()
    assert (module_dir / "vorn_parser.pyi").read_bytes() == STUB.read_bytes()


class StubChecker:
    """Checks runtime values against the stub's annotations, TypedDict keys in order."""

    SCALARS = {"int": int, "float": float, "str": str, "bool": bool}

    def __init__(self, tree):
        self.classes = {node.name: [(field.target.id, field.annotation) for field in node.body
                                    if isinstance(field, ast.AnnAssign)]
                        for node in tree.body if isinstance(node, ast.ClassDef)}
        self.aliases = {node.target.id: node.value for node in tree.body
                        if isinstance(node, ast.AnnAssign) and ast.unparse(node.annotation) == "TypeAlias"}
        self.seen = set()

    def matches(self, value, annotation):
        if isinstance(annotation, ast.BinOp):  # a | b
            return self.matches(value, annotation.left) or self.matches(value, annotation.right)
        if isinstance(annotation, ast.Constant) and annotation.value is None:
            return value is None
        if isinstance(annotation, ast.Subscript):
            assert ast.unparse(annotation.value) == "list"
            return isinstance(value, list) and all(self.matches(v, annotation.slice) for v in value)
        name = annotation.id
        if name in self.SCALARS:
            return type(value) is self.SCALARS[name]
        if name in self.aliases:
            return self.matches(value, self.aliases[name])
        if not isinstance(value, dict) or list(value) != [key for key, _ in self.classes[name]]:
            return False
        self.seen.add(name)
        return all(self.matches(value[key], field) for key, field in self.classes[name])


def test_stub_types_match_real_documents():
    checker = StubChecker(stub_tree())
    documents = [
        build_file(params=standard_params("One_D", x_points=8) + [Param("phase", complex(1, -2))],
                   sections=[[1.0] * 8, [2.0] * 8]),
        build_file(params=[], sections=[[1.0], [2.0]]),  # no digital filter: None
        build_file(layout="Two_D", params=standard_params("Two_D"),
                   sections=[[[float(c) for c in range(32)]] * 32] * 4),
        vorn_tools.example_path("two_d").read_bytes(),
    ]
    for data in documents:
        document = vorn_parser.parse(data)
        assert checker.matches(document, ast.Name("VornDataFile"))
    assert checker.seen == set(checker.classes)  # every TypedDict was met at least once


MISUSE = '''\
import vorn_parser

document = vorn_parser.parse("file.vdf")
width: str = document["info"]["spectralWidth"][0]["magnitude"]
document["info"]["digitalFilter"] + 1.0
document["headers"]["titel"]
vorn_parser.parse(3.5)
'''


def test_mypy_accepts_the_examples_and_rejects_misuse(tmp_path):
    pytest.importorskip("mypy")
    misuse = tmp_path / "misuse.py"
    misuse.write_text(MISUSE)
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--cache-dir", str(tmp_path / "cache"),
         str(REPO / "examples" / "peaks.py"), str(REPO / "python" / "vorn_tools"), str(misuse)],
        capture_output=True, text=True, cwd=tmp_path, timeout=600)
    errors = [line for line in result.stdout.splitlines() if ": error:" in line]
    assert all(Path(line.split(":")[0]).name == "misuse.py" for line in errors), result.stdout
    assert sorted(int(line.split(":")[1]) for line in errors) == [4, 5, 6, 7], result.stdout
