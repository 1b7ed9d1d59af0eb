"""Writes the seed corpus of the parse fuzzer into the directory given.

Small, valid files made by the test-side writer: both layouts, both byte orders,
both sample widths, two- and four-section data, every parameter value kind, the
digital-filter parameters, plus a few files that stop in each reader on purpose
(a section count with no fields, a reserved sample type, a table code with no
name). Usage: make_seeds.py OUT_DIR
"""

from __future__ import annotations

import hashlib
import sys
from pathlib import Path

from vorn_tools.testing import vdf_writer as vw


def ramp(n: int, scale: float = 1.0) -> list[float]:
    return [scale * (i - n / 2) for i in range(n)]


def matrix(rows: int, cols: int, scale: float = 1.0) -> list[list[float]]:
    return [[scale * (r * cols + c) for c in range(cols)] for r in range(rows)]


def filter_params() -> list[vw.Param]:
    return vw.digital_filter_params([12, 10, 14], [8, 4, 2], x_sweep=8000.0, x_acq_time=0.128, x_points=1024)


def every_kind() -> list[vw.Param]:
    """One parameter of each value kind, with prefixed units and text that lower-cases
    in more than one way."""
    return [
        vw.Param("SAMPLE_ID", "Ethyl Benzene"),
        vw.Param("scans", 16),
        vw.Param("x_freq", 399.78, units=vw.MEGA_HERTZ),
        vw.Param("temp_get", 300, units=vw.Unit.named("Celsius", "Kilo")),
        vw.Param("phase", complex(0.5, -1.5)),
        vw.Param("x_points", 1024, kind="Infinity"),
        vw.Param("ΣΟΦΙΑΣ İ", "ΔΣ"),
    ]


def seeds() -> dict[str, bytes]:
    out = {}
    for little in (False, True):
        order = "le" if little else "be"
        out[f"one_d_{order}_64_filter"] = vw.build_file(
            params=[*filter_params(), vw.Param("solvent", "CDCl3")],
            sections=[ramp(8), ramp(8, -0.5)],
            little_endian=little,
            sample_bits=64,
        )
        out[f"one_d_{order}_32_kinds"] = vw.build_file(
            params=every_kind(), sections=[ramp(6), ramp(6, 2.0)], little_endian=little, sample_bits=32
        )
        out[f"one_d_{order}_four_sections"] = vw.build_file(
            params=[vw.Param("x_domain", "1H")],
            sections=[ramp(4), ramp(4, 2), ramp(4, 3), ramp(4, 4)],
            little_endian=little,
            sample_bits=32,
        )
        out[f"two_d_{order}_two_sections"] = vw.build_file(
            params=filter_params(),
            sections=[matrix(32, 32), matrix(32, 32, -1.0)],
            layout="Two_D",
            little_endian=little,
            sample_bits=32,
        )
        out[f"two_d_{order}_four_sections"] = vw.build_file(
            params=vw.standard_params("Two_D", x_points=32, y_points=32),
            sections=[matrix(32, 32, s) for s in (1.0, 2.0, 3.0, 4.0)],
            layout="Two_D",
            little_endian=little,
            sample_bits=32,
        )
        out[f"two_d_{order}_64_wide"] = vw.build_file(
            params=[vw.Param("y_domain", "13C")],
            sections=[matrix(32, 64), matrix(32, 64, 0.25)],
            layout="Two_D",
            little_endian=little,
            sample_bits=64,
        )
        out[f"standard_one_d_{order}"] = vw.build_file(
            params=vw.standard_params("One_D", x_points=16),
            sections=[ramp(16), ramp(16, 3.0)],
            little_endian=little,
            sample_bits=64,
        )

    # The blocks in the other order: data first, then the parameters.
    params = vw.ParamBlock((vw.Param("scans", 4), vw.Param("solvent", "D2O")))
    data_start = vw.HEADER_SIZE
    param_start = data_start + 2 * 4 * 8
    out["blocks_reversed"] = vw.build_file(
        header=vw.Header(param_start=param_start, data_start=data_start),
        params=params,
        sections=[ramp(4), ramp(4)],
        param_at=param_start,
        data_at=data_start,
    )
    # Header and an empty parameter block only; no samples.
    out["no_samples"] = vw.build_file(header=vw.Header(data_points=[0, 0]), sections=[])
    # Two_D with no block columns: rows without samples.
    out["two_d_no_columns"] = vw.build_file(header=vw.Header(data_points=[16, 64]), sections=[b"", b""], layout="Two_D")
    # Files that stop on purpose in the data step and in the summary.
    out["one_d_one_section"] = vw.build_file(sections=[ramp(4)])
    out["one_d_three_sections"] = vw.build_file(
        header=vw.Header(data_axis_type=["Complex", "Real_Complex"]), sections=[ramp(4)] * 3
    )
    out["reserved_sample_type"] = vw.build_file(
        header=vw.Header(sample_type_code="Reserved"), sections=[ramp(4), ramp(4)]
    )
    out["three_d_layout"] = vw.Header(layout_code="Three_D").pack()
    out["bad_value_kind"] = vw.build_file(params=[vw.Param("x", 1, value_type_code=7)], sections=[ramp(2), ramp(2)])
    out["filter_zero_stages"] = vw.build_file(
        params=[
            vw.Param("orders", "0"),
            vw.Param("factors", "1"),
            vw.Param("x_sweep", 1.0),
            vw.Param("x_acq_time", 1.0),
            vw.Param("x_points", 2),
        ],
        sections=[ramp(2), ramp(2)],
    )
    return out


def main() -> int:
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    target = Path(sys.argv[1])
    target.mkdir(parents=True, exist_ok=True)
    for name, data in seeds().items():
        digest = hashlib.sha1(data).hexdigest()[:12]
        (target / f"{name}-{digest}").write_bytes(data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
