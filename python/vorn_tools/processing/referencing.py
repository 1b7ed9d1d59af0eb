"""The chemical-shift reference of a spectrum: TMS (or DSS in water) at 0 ppm when its
line is there, else the residual line of the solvent the file names.

Residual shifts of the deuterated solvents, 1H and 13C, from Fulmer et al.,
Organometallics 29 (2010) 2176 (Table 1): the line of the residual protio species in
1H, the solvent's own carbon in 13C (the central line of its multiplet).
"""

from __future__ import annotations

import re

import numpy as np
from numpy.typing import NDArray

from .phasing import standing_tops

# Solvent (letters and digits only, upper case) -> (1H, 13C) in ppm; None: no line.
RESIDUAL_SHIFTS: dict[str, tuple[float | None, float | None]] = {
    "CDCL3": (7.26, 77.16),
    "ACETONED6": (2.05, 29.84),
    "CD3CN": (1.94, 1.32),
    "C6D6": (7.16, 128.06),
    "CD2CL2": (5.32, 53.84),
    "CD3OD": (3.31, 49.00),
    "DMSOD6": (2.50, 39.52),
    "D2O": (4.79, None),
    "THFD8": (3.58, 67.21),
    "TOLUENED8": (2.08, 20.43),
    "PYRIDINED5": (8.74, 150.35),
}
ALIASES = {
    "CHLOROFORMD": "CDCL3",
    "CHLOROFORM": "CDCL3",
    "DEUTEROCHLOROFORM": "CDCL3",
    "ACETONE": "ACETONED6",
    "CD3COCD3": "ACETONED6",
    "ACETONITRILED3": "CD3CN",
    "ACETONITRILE": "CD3CN",
    "BENZENED6": "C6D6",
    "BENZENE": "C6D6",
    "DICHLOROMETHANED2": "CD2CL2",
    "METHYLENECHLORIDED2": "CD2CL2",
    "METHANOLD4": "CD3OD",
    "METHANOL": "CD3OD",
    "MEODD4": "CD3OD",
    "DMSO": "DMSOD6",
    "DIMETHYLSULFOXIDED6": "DMSOD6",
    "CD3SOCD3": "DMSOD6",
    "WATER": "D2O",
    "DEUTERIUMOXIDE": "D2O",
    "H2OD2O": "D2O",
    "HEAVYWATER": "D2O",
    "TETRAHYDROFURAND8": "THFD8",
    "TOLUENE": "TOLUENED8",
    "C7D8": "TOLUENED8",
    "PYRIDINE": "PYRIDINED5",
    "C5D5N": "PYRIDINED5",
}
# How far (ppm) from its expected place a reference line is looked for: TMS/DSS, which
# stand alone at 0 ppm, further than a solvent line among the sample's lines.
SEARCH_PPM = {"1H": 0.3, "13C": 3.0}
SOLVENT_SEARCH_PPM = {"1H": 0.15, "13C": 1.5}


def solvent_key(name: object) -> str | None:
    """The table's key for a solvent name ("CHLOROFORM-D", "CDCl3", "dmso-d6"), or None."""
    if not isinstance(name, str):
        return None
    key = re.sub(r"[^A-Z0-9]", "", name.upper())
    key = ALIASES.get(key, key)
    return key if key in RESIDUAL_SHIFTS else None


def nucleus_key(name: object) -> str | None:
    """ "1H" or "13C" for the names a file gives those nuclei ("1H", "H1", "13C", "C13")."""
    if not isinstance(name, str):
        return None
    key = re.sub(r"[^A-Z0-9]", "", name.upper())
    return {
        "1H": "1H",
        "H1": "1H",
        "H": "1H",
        "PROTON": "1H",
        "13C": "13C",
        "C13": "13C",
        "CARBON13": "13C",
        "CARBON": "13C",
    }.get(key)


def reference_targets(nucleus: object, solvent: object) -> list[tuple[str, float]]:
    """The lines to reference on, in order of preference: (what, ppm)."""
    kind = nucleus_key(nucleus)
    if kind is None:
        return []
    targets = [("DSS" if solvent_key(solvent) == "D2O" else "TMS", 0.0)]
    key = solvent_key(solvent)
    if key is not None:
        shift = RESIDUAL_SHIFTS[key][0 if kind == "1H" else 1]
        if shift is not None:
            targets.append((f"solvent {key}", shift))
    return targets


def find_reference(
    ppm: NDArray[np.float64], real: NDArray[np.float64], sigma: float, nucleus: object, solvent: object
) -> tuple[str, float] | None:
    """(what, shift to add to the ppm axis) for the first reference line found, or None.
    TMS/DSS: the tallest positive line within the search window of 0 ppm; a solvent: the
    line nearest its residual shift; a line must stand 10 noise levels high, also above
    the dips beside it."""
    kind = nucleus_key(nucleus)
    if kind is None or ppm.size < 3:
        return None
    tops = standing_tops(real, 10.0 * sigma)  # not the noise on a tall line's flank
    tops = tops[(tops > 0) & (tops < real.size - 1)]
    if tops.size == 0:
        return None
    step = float(ppm[0] - ppm[1])
    for what, expected in reference_targets(nucleus, solvent):
        reach = SEARCH_PPM[kind] if what in ("TMS", "DSS") else SOLVENT_SEARCH_PPM[kind]
        near = tops[np.abs(ppm[tops] - expected) <= reach]
        if near.size == 0:
            continue
        top = (
            int(near[np.argmax(real[near])])
            if what in ("TMS", "DSS")
            else int(near[np.argmin(np.abs(ppm[near] - expected))])
        )
        a, b, c = real[top - 1], real[top], real[top + 1]
        bend = a - 2 * b + c
        offset = 0.5 * (a - c) / bend if bend < 0 else 0.0
        found = float(ppm[top]) - offset * step
        return what, expected - found
    return None
