"""Shared fixtures: small valid files made by the test-side writer."""

import pytest

from vdf_writer import Param, build_file, standard_params


def small_file(**overrides) -> bytes:
    """A valid One_D complex file of 4 samples per section, with parameters."""
    options = dict(params=[Param("scans", 16), Param("solvent", "CDCl3")],
                   sections=[[0.5, 1.5, 2.5, 3.5], [-1.0, -2.0, -3.0, -4.0]])
    options.update(overrides)
    return build_file(**options)


@pytest.fixture
def small() -> bytes:
    return small_file()


@pytest.fixture
def small_path(tmp_path, small):
    path = tmp_path / "small.vdf"
    path.write_bytes(small)
    return path


@pytest.fixture
def standard_one_d() -> bytes:
    return build_file(params=standard_params("One_D"),
                      sections=[[float(i) for i in range(64)], [-float(i) for i in range(64)]],
                      sample_bits=32)
