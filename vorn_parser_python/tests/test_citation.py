"""CITATION.cff is valid Citation File Format 1.2.0 (cffconvert --validate, from the
"citation" extra) and names the version, licence and repository that pyproject.toml
names."""

import json
import shutil
import subprocess
import sys
import tomllib
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
CITATION = REPO / "CITATION.cff"


@pytest.fixture(scope="module")
def cffconvert() -> str:
    found = shutil.which("cffconvert", path=str(Path(sys.executable).parent))
    if found is None:
        pytest.skip("cffconvert is not installed: pip install '.[citation]'")
    return found


def run(cffconvert: str, *args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run([cffconvert, *args], capture_output=True, text=True, timeout=120)


def test_citation_file_is_valid(cffconvert: str) -> None:
    result = run(cffconvert, "--validate", "-i", str(CITATION))
    assert result.returncode == 0, result.stdout + result.stderr
    assert "valid according to schema version 1.2.0" in result.stdout


def test_the_validator_refuses_a_broken_citation_file(cffconvert: str, tmp_path: Path) -> None:
    # The same file without its authors, and with a licence that is no SPDX identifier:
    # each is refused, so the check above is a real one.
    text = CITATION.read_text(encoding="utf-8")
    without_authors = tmp_path / "no_authors.cff"
    without_authors.write_text(text.replace('authors:\n  - name: "the vorn_parser developers"\n', ""), encoding="utf-8")
    assert "authors:" not in without_authors.read_text(encoding="utf-8")
    bad_licence = tmp_path / "bad_licence.cff"
    bad_licence.write_text(text.replace("license: MIT\n", "license: MIT-ish\n"), encoding="utf-8")
    assert "MIT-ish" in bad_licence.read_text(encoding="utf-8")
    for broken, reason in [
        (without_authors, "ValidationError: 'authors' is a required property"),
        (bad_licence, "ValidationError: 'MIT-ish' is not one of"),
    ]:
        result = run(cffconvert, "--validate", "-i", str(broken))
        assert result.returncode != 0
        assert reason in result.stdout + result.stderr


def test_citation_agrees_with_the_package_metadata(cffconvert: str) -> None:
    result = run(cffconvert, "-f", "codemeta", "-i", str(CITATION))
    assert result.returncode == 0, result.stderr
    codemeta = json.loads(result.stdout)
    project = tomllib.loads((REPO / "pyproject.toml").read_text(encoding="utf-8"))["project"]
    assert codemeta["name"] == project["name"]
    assert codemeta["version"] == project["version"]
    assert codemeta["license"] == f"https://spdx.org/licenses/{project['license']}"
    assert codemeta["codeRepository"] == project["urls"]["Repository"]
    assert codemeta["keywords"] == project["keywords"]
    assert [author["name"] for author in codemeta["author"]] == [author["name"] for author in project["authors"]]
