"""Lists the lines of a One_D free-induction decay, in ppm.

vorn_tools.spectrum Fourier-transforms the FID with its digital filter's group delay
removed and gives the ppm axis (from the summary's spectral width, spectrometer
frequency and carrier offset); the lines are the maxima of the real part (absorption)
that reach a given fraction of the tallest.

    python examples/peaks.py [FILE]      (default: the bundled one_d example)

Needs numpy: pip install '.[numpy]'.
"""

from __future__ import annotations

import sys

import numpy as np

import vorn_tools


def lines(source: object, lowest: float = 0.03) -> list[tuple[float, float]]:
    """(ppm, height relative to the tallest) of every maximum of the real part that
    reaches `lowest` of the tallest, high ppm first."""
    spectrum = vorn_tools.spectrum(source)  # type: ignore[arg-type]
    if spectrum.layout != "One_D" or spectrum.ppm is None:
        raise ValueError("this example reads One_D files with a ppm axis")
    real = spectrum.values.real
    inner = real[1:-1]
    maxima = np.nonzero((inner > real[:-2]) & (inner >= real[2:]) & (inner >= lowest * real.max()))[0] + 1
    return [(float(spectrum.ppm[i]), float(real[i] / real.max())) for i in maxima]


def main(argv: list[str]) -> int:
    path = argv[1] if len(argv) > 1 else str(vorn_tools.example_path("one_d"))
    try:
        with vorn_tools.open(path) as file:
            found = lines(file)
            info, title = file.info, file.headers["title"]
    except (vorn_tools.ParseError, ValueError) as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 1
    print(f"{title}: {info['nucleus'][0]} in {info['solvent']}")
    for ppm, height in found:
        print(f"{ppm:8.4f} ppm   {height:5.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
