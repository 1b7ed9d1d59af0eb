"""Spectra from free-induction decays (spectra), and the steps that make them ready to
read: automatic phase (phasing), baseline, reference (referencing), peaks and integrals
(peaks). Needs numpy; the automatic baseline and peak picking also need scipy.

    from vorn_tools.processing import spectrum, Spectrum, transform
"""

from .fourier import Spectrum, group_delay_of, spectrum, transform

__all__ = ["Spectrum", "group_delay_of", "spectrum", "transform"]
