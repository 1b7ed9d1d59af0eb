"""The libmagic rule and the shared-mime-info entry in share/ name the format's files."""

from __future__ import annotations

import shutil
import subprocess
import xml.etree.ElementTree as ET
from pathlib import Path

import pytest

from vorn_tools.testing.vdf_writer import Header

ROOT = Path(__file__).resolve().parents[2]
MAGIC = ROOT / "share" / "magic" / "vorn"
MIME = ROOT / "share" / "mime" / "packages" / "vorn-nmr.xml"
EXAMPLES = ROOT / "python" / "vorn_tools" / "examples"

needs_file = pytest.mark.skipif(shutil.which("file") is None, reason="file(1) is not installed")


def _file(path: Path, *flags: str) -> str:
    done = subprocess.run(
        ["file", "-b", *flags, "--magic-file", str(MAGIC), str(path)], capture_output=True, text=True, check=True
    )
    return done.stdout.strip()


@needs_file
@pytest.mark.parametrize(
    ("name", "described"),
    [
        ("one_d.vdf", "VORN NMR spectrometer data, one-dimensional, 32-bit samples, big-endian"),
        ("two_d.vdf", "VORN NMR spectrometer data, two-dimensional, 64-bit samples, little-endian"),
    ],
)
def test_file_names_both_examples(name: str, described: str) -> None:
    assert _file(EXAMPLES / name) == described
    assert _file(EXAMPLES / name, "--mime-type") == "application/x-vorn-nmr"


@needs_file
def test_file_does_not_claim_other_layouts_or_other_files(tmp_path: Path) -> None:
    three_d = tmp_path / "three.vdf"
    three_d.write_bytes(Header(layout_code="Three_D").pack())
    text = tmp_path / "notes.vdf"
    text.write_text("VORN.NMR is the identifier of these files\n")
    assert "VORN NMR" not in _file(three_d)
    assert "VORN NMR" not in _file(text)


def test_mime_entry_matches_what_the_examples_start_with() -> None:
    ns = {"m": "http://www.freedesktop.org/standards/shared-mime-info"}
    kind = ET.parse(MIME).getroot().find("m:mime-type", ns)
    assert kind is not None and kind.get("type") == "application/x-vorn-nmr"
    match = kind.find("m:magic/m:match", ns)
    assert match is not None and match.get("type") == "string"
    offset, value = int(match.get("offset", "")), match.get("value", "").encode()
    for example in EXAMPLES.glob("*.vdf"):
        assert example.read_bytes()[offset : offset + len(value)] == value
    assert [glob.get("pattern") for glob in kind.findall("m:glob", ns)] == ["*.vdf"]
