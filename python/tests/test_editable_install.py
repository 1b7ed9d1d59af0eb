"""An editable install (pip install -e .) into a new virtual environment works: the
package is imported from this source tree, the module is built, and the `vorn` command
finds the bundled examples through importlib.resources.

Slow (it builds the C++ core and both modules from nothing in a build folder of its
own): marked `slow`, run by tools/run_tests.sh after the other tests.
"""

import os
import subprocess
import sys
from pathlib import Path

import pytest

import vorn_tools

REPO = Path(__file__).resolve().parents[2]

pytestmark = pytest.mark.slow


def run(*command: object, cwd: Path) -> subprocess.CompletedProcess[str]:
    # The environment's own variables would steer the build or the imports elsewhere.
    env = {
        key: value
        for key, value in os.environ.items()
        if not key.startswith(("SKBUILD_", "PYTHON", "VIRTUAL_ENV", "PIP_"))
    }
    return subprocess.run(
        [str(part) for part in command], capture_output=True, text=True, cwd=cwd, env=env, timeout=1800
    )


@pytest.fixture(scope="module")
def editable_venv(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """A new virtual environment with this source tree installed in editable mode."""
    root = tmp_path_factory.mktemp("editable")
    venv = root / "venv"
    made = run(sys.executable, "-m", "venv", venv, cwd=root)
    assert made.returncode == 0, made.stderr
    # Build isolation on: pip fetches scikit-build-core into a build environment of its
    # own, as for any user. The build folder is a new one, so nothing of this tree's
    # other builds (build/) is reused or changed.
    installed = run(
        venv / "bin" / "python",
        "-m",
        "pip",
        "install",
        "--disable-pip-version-check",
        "-e",
        REPO,
        "-C",
        f"build-dir={root / 'build'}",
        cwd=root,
    )
    assert installed.returncode == 0, installed.stdout[-4000:] + installed.stderr[-4000:]
    assert (root / "build" / "CMakeCache.txt").is_file()  # built here, from nothing
    return venv


def test_the_editable_install_imports_this_source_tree(editable_venv: Path) -> None:
    where = run(
        editable_venv / "bin" / "python",
        "-c",
        "import vorn_parser, vorn_tools; print(vorn_tools.__file__); print(vorn_tools.example_path('one_d'))",
        cwd=editable_venv.parent,
    )
    assert where.returncode == 0, where.stderr
    package, example = where.stdout.splitlines()
    assert Path(package) == REPO / "python" / "vorn_tools" / "__init__.py"
    assert Path(example) == REPO / "python" / "vorn_tools" / "examples" / "one_d.vdf"


def test_vorn_example_one_d_summary(editable_venv: Path) -> None:
    result = run(editable_venv / "bin" / "vorn", "--example", "one_d", cwd=editable_venv.parent)
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    assert result.stdout.splitlines()[:6] == [
        "File            one_d.vdf (bundled example)",
        "Title           ethylbenzene_1H",
        "Experiment      single_pulse",
        "Sample          EB-0042",
        "Solvent         CHLOROFORM-D",
        "Nucleus         1H",
    ]


def test_vorn_example_two_d_params(editable_venv: Path) -> None:
    result = run(editable_venv / "bin" / "vorn", "--example", "two_d", "--params", cwd=editable_venv.parent)
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    lines = result.stdout.splitlines()
    assert lines[0].split() == ["NAME", "KIND", "VALUE", "UNIT"]
    assert lines[1].split() == ["sample_id", "String", "EB-0042"]
    # The whole table is the one this environment's vorn_tools makes of the same file.
    document = vorn_tools.read_file(vorn_tools.example_path("two_d"))
    assert result.stdout == vorn_tools.parameter_table(document)
