"""Writes the two bundled example data files next to this script.

one_d.vdf: a proton free-induction decay of ethylbenzene in CDCl3 at 400 MHz, delayed by
           a digital filter (about 68.3 points), big-endian, 32-bit samples,
           2 x 4096 points.
two_d.vdf: a small proton-carbon correlation spectrum, little-endian, 64-bit samples,
           four 32 x 64 hypercomplex quadrants holding three peaks.
The output is deterministic: fixed dates, no random numbers.

With --png it also draws examples/one_d.png with `vorn FILE --plot` defaults (phase,
baseline and reference found automatically, peaks marked) from the same FID as it
comes off a spectrometer: turned by a receiver phase (RECEIVER_PHASE, drawn once at
random over the whole circle), the carrier a little off (CARRIER_ERROR) and with white
noise from a seeded generator, so the picture shows what the automatic steps do.
"""

import cmath
import math
import random
import sys
import tempfile
from pathlib import Path

from vorn_tools.testing import vdf_writer as vw

HERE = Path(__file__).resolve().parent
# The files are package data of vorn_tools, installed with it.
OUTPUT = HERE.parent / "python" / "vorn_tools" / "examples"


CREATED = vw.Date(2023, 5, 17)
REVISED = vw.Date(2023, 6, 2)


# Ethylbenzene in CDCl3 at 400 MHz: (shift in ppm, protons, number of equivalent
# neighbours, coupling in Hz). First-order multiplets; the solvent's residual CHCl3
# and TMS are the two small singlets.
ETHYLBENZENE = [
    (7.29, 2, 2, 7.6),  # meta CH, triplet
    (7.20, 2, 1, 7.6),  # ortho CH, doublet
    (7.18, 1, 2, 7.3),  # para CH, triplet
    (2.65, 2, 3, 7.6),  # CH2, quartet
    (1.23, 3, 2, 7.6),  # CH3, triplet
    (7.26, 0.05, 0, 0.0),  # CHCl3
    (0.00, 0.3, 0, 0.0),  # TMS
]
ONE_D_POINTS, ONE_D_SWEEP = 4096, 5000.0
ONE_D_FREQ_MHZ, ONE_D_OFFSET_PPM = 399.78219838, 5.0  # as vdf_writer.standard_params
# Digital filter: the summary's group delay, about 68.3 points, is computed from these.
ONE_D_FILTER = {"filter_orders": (12, 20, 262), "filter_factors": (2, 2, 2)}
RECEIVER_PHASE = 131.7  # degrees, for one_d.png
CARRIER_ERROR = 0.03  # ppm the carrier offset is off by in one_d.png's file
NOISE = 0.004  # of the FID's first point, per part, for one_d.png


def multiplet_lines(ppm: float, protons: float, neighbours: int, j_hz: float) -> list[tuple[float, float]]:
    """(offset from the carrier in Hz, amplitude) of the lines of a first-order multiplet."""
    centre = (ppm - ONE_D_OFFSET_PPM) * ONE_D_FREQ_MHZ
    weights = [math.comb(neighbours, i) / 2**neighbours for i in range(neighbours + 1)]
    return [(centre + (i - neighbours / 2) * j_hz, protons * w) for i, w in enumerate(weights)]


def one_d_file(receiver_phase: float = 0.0, noise: float = 0.0, carrier_error: float = 0.0) -> bytes:
    points, sweep = ONE_D_POINTS, ONE_D_SWEEP
    dwell = 1.0 / sweep
    t2 = 0.3  # s: lines about 1.1 Hz wide
    lines = [line for group in ETHYLBENZENE for line in multiplet_lines(*group)]
    params, delay = vw.filtered_params("One_D", x_points=points, x_sweep=sweep, **ONE_D_FILTER)
    # The digital filter delays the decay by `delay` points: nothing is recorded before
    # it, and from there on each line starts at phase 0.
    fid = []
    for k in range(points):
        t = (k - delay) * dwell
        fid.append(0j if t < 0 else sum(a * cmath.exp(complex(-t / t2, 2 * math.pi * f * t)) for f, a in lines) * 4.0e4)
    if receiver_phase or noise:
        turn = cmath.exp(1j * math.radians(receiver_phase))
        scale = noise * abs(max(fid, key=abs))
        draw = random.Random(25)
        fid = [z * turn + complex(draw.gauss(0.0, scale), draw.gauss(0.0, scale)) for z in fid]
    if carrier_error:
        params = [
            vw.Param(p.name, ONE_D_OFFSET_PPM + carrier_error, units=p.units) if p.name == "x_offset" else p
            for p in params
        ]
    header = vw.Header(
        title="ethylbenzene_1H",
        data_units=[vw.SECOND],
        data_axis_start=[0.0],
        data_axis_stop=[(points - 1) * dwell],
        creation_time=CREATED,
        revision_time=REVISED,
        node_name="vorn-400",
        site="Example_Laboratory",
        author="example",
        comment="synthetic_free_induction_decay",
        data_axis_titles=["Proton"],
        base_freq=[ONE_D_FREQ_MHZ],
    )
    # One_D stores the imaginary section first, then the real one.
    return vw.build_file(
        header=header,
        params=params,
        sections=[[z.imag for z in fid], [z.real for z in fid]],
        little_endian=False,
        sample_bits=32,
        layout="One_D",
    )


def lorentzian(u: float, centre: float, width: float) -> complex:
    """Complex Lorentzian line: absorption in the real part, dispersion in the imaginary."""
    return 1.0 / complex(width, centre - u)


def two_d_file() -> bytes:
    cols, rows = 64, 32  # x (proton) points, y (carbon) points
    x_ppm = (10.0, 0.0)
    y_ppm = (160.0, 0.0)
    # (x ppm, y ppm, height)
    peaks = [(7.2, 128.5, 1.0), (2.6, 28.9, 0.8), (1.2, 15.6, 0.6)]

    def to_point(ppm: float, span: tuple[float, float], n: int) -> float:
        return (span[0] - ppm) / (span[0] - span[1]) * (n - 1)

    # Each peak is the product of a Lorentzian along x and one along y; the four
    # quadrants pair the real and imaginary parts of the two.
    shapes = [
        (
            height * 1.0e6,
            [lorentzian(col, to_point(px, x_ppm, cols), 1.2) for col in range(cols)],
            [lorentzian(row, to_point(py, y_ppm, rows), 0.9) for row in range(rows)],
        )
        for px, py, height in peaks
    ]

    def quadrant(part_x, part_y):
        return [
            [sum(h * part_x(lx[col]) * part_y(ly[row]) for h, lx, ly in shapes) for col in range(cols)]
            for row in range(rows)
        ]

    def real(z: complex) -> float:
        return z.real

    def imag(z: complex) -> float:
        return z.imag

    quadrants = {
        "re": quadrant(real, real),
        "re_im": quadrant(real, imag),
        "im": quadrant(imag, real),
        "im_re": quadrant(imag, imag),
    }

    header = vw.Header(
        title="ethylbenzene_HSQC",
        data_units=[vw.PPM, vw.PPM],
        data_axis_start=[x_ppm[0], y_ppm[0]],
        data_axis_stop=[x_ppm[1], y_ppm[1]],
        creation_time=CREATED,
        revision_time=REVISED,
        node_name="vorn-400",
        site="Example_Laboratory",
        author="example",
        comment="synthetic_2D_spectrum",
        data_axis_titles=["Proton", "Carbon13"],
        base_freq=[399.78219838, 100.52530333],
    )
    # Four sections in file order: re, re_im, im, im_re (two Complex axes).
    return vw.build_file(
        header=header,
        params=vw.standard_params("Two_D", x_points=cols, x_sweep=4000.0, y_points=rows, y_sweep=16000.0),
        sections=[quadrants[name] for name in ("re", "re_im", "im", "im_re")],
        little_endian=True,
        sample_bits=64,
        layout="Two_D",
    )


def one_d_png() -> None:
    """examples/one_d.png: the plot `vorn FILE --plot` draws of the FID as measured."""
    import vorn_tools

    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "one_d_measured.vdf"
        path.write_bytes(one_d_file(RECEIVER_PHASE, NOISE, CARRIER_ERROR))
        vorn_tools.plot_document(vorn_tools.open(path), HERE / "one_d.png")
    print("one_d.png written")


def main() -> None:
    for name, make in (("one_d.vdf", one_d_file), ("two_d.vdf", two_d_file)):
        data = make()
        (OUTPUT / name).write_bytes(data)
        print(f"{name}: {len(data)} bytes")
    if "--png" in sys.argv[1:]:
        one_d_png()


if __name__ == "__main__":
    main()
