"""Lists the strongest lines of a One_D free-induction decay, in ppm.

Reads the file with vorn_tools.read_file, takes the samples as a complex numpy array,
Fourier-transforms them and converts the frequencies to ppm with the summary's spectral
width, spectrometer frequency and carrier offset.

    python examples/peaks.py [FILE]      (default: the bundled one_d example)

Needs numpy: pip install '.[numpy]'.
"""

from __future__ import annotations

import sys
from typing import TYPE_CHECKING

import numpy as np

import vorn_tools

if TYPE_CHECKING:
    from vorn_parser import VornDataFile


def strongest_lines(document: VornDataFile, count: int = 4) -> list[tuple[float, float]]:
    """(ppm, height relative to the tallest) of the `count` tallest lines, high ppm first."""
    if document["headers"]["dataFormat"] != "One_D":
        raise ValueError("this example reads One_D files")
    info = document["info"]
    fid = vorn_tools.to_numpy(document).values
    spectrum = np.abs(np.fft.fftshift(np.fft.fft(fid)))
    sweep_hz = info["spectralWidth"][0]["magnitude"]
    hertz = np.fft.fftshift(np.fft.fftfreq(fid.size, d=1.0 / sweep_hz))
    ppm = info["frequencyOffset"][0]["magnitude"] + hertz / (info["originFrequency"][0]["magnitude"] / 1e6)
    inner = spectrum[1:-1]
    maxima = np.nonzero((inner > spectrum[:-2]) & (inner >= spectrum[2:]))[0] + 1
    tallest = maxima[np.argsort(spectrum[maxima])[::-1][:count]]
    return sorted(((float(ppm[i]), float(spectrum[i] / spectrum[tallest[0]])) for i in tallest), reverse=True)


def main(argv: list[str]) -> int:
    path = argv[1] if len(argv) > 1 else str(vorn_tools.example_path("one_d"))
    try:
        document = vorn_tools.read_file(path)
        lines = strongest_lines(document)
    except (vorn_tools.ParseError, ValueError) as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 1
    info = document["info"]
    print(f"{document['headers']['title']}: {info['nucleus'][0]} in {info['solvent']}")
    for ppm, height in lines:
        print(f"{ppm:8.3f} ppm   {height:5.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
