"""Measures vorn_tools.spectrum(phase="auto", baseline="auto", reference="auto") on
generated free-induction decays of known truth (vorn_tools.testing.synthetic_fids: written
by the test-file writer, read by the normal reading path).

Cases, each with a random zero-order phase over the whole circle, a first-order phase
of up to ±45° across the window, a broad background line and a cubic complex roll, a
carrier offset a little off, SNR (tallest line / noise σ) log-uniform in 50-5,000:

  * 1H-like: 16,384 points, 6 kHz at 400 MHz, 3-8 first-order multiplets (1-4 lines,
    J 6-8 Hz, widths 0.8-3 Hz, one or several widths), TMS at 0 ppm (60 % of cases)
    or else the solvent's residual singlet (CDCl3, DMSO-d6, acetone-d6, C6D6);
  * 13C-like: 32,768 points, 25 kHz at 100.6 MHz, 8-25 singlets (1-4 Hz), TMS or
    else CDCl3 at 77.16 ppm (drawn as a singlet);
  * edited (DEPT-like): as 13C, about a third of the lines negative, the tallest
    line positive and 20 % taller than any negative one (the sign convention).

Targets (per kind): phase residual <= 3° at every line of >= 20 % of the tallest in
>= 98 % (1H) / 95 % (13C, edited) of cases; baseline RMS of (real - ideal) over points
> 60 Hz from any line <= 2 σ in >= 95 % of cases; the reference within 1 point in every
case; peaks (lines >= 10 σ; a pick within 1.5 points of a line) recall and precision
>= 95 %; integrals of isolated lines (no other line within 30 widths; range ±10
widths) within 2 % of the ideal spectrum over the same range (lines of SNR >= 200,
the others shown for information); speed of the three steps (the time of the call
less that of the plain transform, medians of 9 runs) <= 50 ms for 16,384 and <= 200 ms
for 65,536 points.

    .venv/bin/python bench/processing_benchmark.py [--cases 100] [--seed 1]

Prints one table; exits with status 1 when a target is missed.
"""

from __future__ import annotations

import argparse
import math
import statistics
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

import vorn_tools
from vorn_tools.testing.synthetic_fids import Line, Truth, make_fid

ROOT = Path(__file__).resolve().parent.parent


SOLVENTS_1H = [("CDCl3", 7.26), ("DMSO-d6", 2.50), ("acetone-d6", 2.05), ("C6D6", 7.16)]


@dataclass
class Kind:
    name: str
    points: int
    sweep: float
    sf: float
    offset: float
    phase_target: float
    results: dict[str, list[float]] = field(default_factory=dict)

    def add(self, key: str, value: float) -> None:
        self.results.setdefault(key, []).append(value)


def _free(ppm: float, taken: list[float], gap: float) -> bool:
    return all(abs(ppm - other) > gap for other in taken)


def case(kind: Kind, rng: np.random.Generator) -> tuple[bytes, Truth]:
    proton = kind.name == "1H"
    lines: list[Line] = []
    tms = rng.random() < 0.6
    if proton:
        solvent, residual = SOLVENTS_1H[rng.integers(len(SOLVENTS_1H))]
        keep_clear = [0.0, residual]
        widths = rng.uniform(0.8, 3.0, size=1 if rng.random() < 0.5 else 8)
        for _ in range(rng.integers(3, 9)):
            for _attempt in range(50):
                centre = rng.uniform(0.5, 10.0)
                if _free(centre, keep_clear, 0.45) and _free(centre, [ln.ppm for ln in lines], 0.1):
                    break
            count = int(rng.integers(1, 5))
            j = rng.uniform(6.0, 8.0) / kind.sf
            width = float(rng.choice(widths))
            height = rng.uniform(1.0, 10.0)
            for i in range(count):
                weight = math.comb(count - 1, i) / 2 ** (count - 1)
                lines.append(Line(centre + (i - (count - 1) / 2) * j, height * weight, width))
        reference_width = 1.0
    else:
        solvent, residual = "CDCl3", 77.16
        keep_clear = [0.0, residual]
        for _ in range(rng.integers(8, 26)):
            for _attempt in range(50):
                ppm = rng.uniform(5.0, 220.0)
                if _free(ppm, keep_clear, 4.0) and _free(ppm, [ln.ppm for ln in lines], 0.3):
                    break
            sign = -1.0 if kind.name == "edited" and rng.random() < 0.35 else 1.0
            lines.append(Line(ppm, sign * rng.uniform(1.0, 10.0), rng.uniform(1.0, 4.0)))
        tallest = max(range(len(lines)), key=lambda i: abs(lines[i].height))
        # The sign convention of edited spectra: the tallest line positive, here by a
        # clear margin (20 %) over every negative line.
        lines[tallest].height = 1.2 * abs(lines[tallest].height)
        reference_width = 1.5
    top = max(abs(ln.height) for ln in lines)
    reference_ppm = 0.0 if tms else residual
    lines.append(Line(reference_ppm, rng.uniform(0.2, 1.0) * top, reference_width))
    snr = math.exp(rng.uniform(math.log(50.0), math.log(5000.0)))
    sigma = top / snr
    span = kind.sweep / kind.sf
    background = (
        kind.offset + rng.uniform(-0.3, 0.3) * span,
        rng.uniform(0.0, 0.05) * top,
        rng.uniform(0.05, 0.12) * kind.sweep,
    )
    roll = tuple(complex(*rng.normal(0.0, 0.01 * top, 2)) for _ in range(4))
    error = rng.uniform(-0.1, 0.1) if proton else rng.uniform(-1.0, 1.0)
    phase = (rng.uniform(-180.0, 180.0), rng.uniform(-45.0, 45.0))
    nucleus = "1H" if proton else "13C"
    return make_fid(
        lines,
        points=kind.points,
        sweep=kind.sweep,
        sf_mhz=kind.sf,
        offset_ppm=kind.offset,
        nucleus=nucleus,
        solvent=solvent if not tms or rng.random() < 0.5 else "CDCl3",
        phase=phase,
        noise=sigma,
        carrier_error=error,
        background=background,
        roll=roll,
        reference_ppm=reference_ppm,
        seed=int(rng.integers(2**31)),
    )


def evaluate(kind: Kind, data: bytes, truth: Truth) -> None:
    s = vorn_tools.spectrum(data, phase="auto", baseline="auto", reference="auto")
    n = kind.points
    real = s.values.real
    sigma = truth.noise
    hz_step = kind.sweep / n
    ppm_step = hz_step / kind.sf
    index_of = {id(ln): (n // 2) - (ln.ppm - kind.offset) * kind.sf / hz_step for ln in truth.lines}
    # Phase at every line of >= 20 % of the tallest.
    top = max(abs(ln.height) for ln in truth.lines)
    worst = 0.0
    for ln in truth.lines:
        if abs(ln.height) >= 0.2 * top:
            f = (n // 2 - index_of[id(ln)]) / n
            residual = (s.phase[0] + s.phase[1] * f) - (truth.phase[0] + truth.phase[1] * f)
            worst = max(worst, abs((residual + 180.0) % 360.0 - 180.0))
    kind.add("phase", worst)
    # Baseline away from the lines.
    hz = (n // 2 - np.arange(n)) * hz_step
    far = np.ones(n, dtype=bool)
    for ln in truth.lines:
        far &= np.abs(hz - (ln.ppm - kind.offset) * kind.sf) > 60.0
    kind.add("baseline", float(np.sqrt(np.mean((real - truth.ideal)[far] ** 2)) / sigma) if far.any() else 0.0)
    # Reference: the shift that undoes the carrier's error.
    kind.add("reference", abs(s.reference_shift + truth.carrier_error) / ppm_step)
    # Peaks.
    peaks = s.peaks()
    picked = np.array([p.index for p in peaks])
    strong = [ln for ln in truth.lines if abs(truth.ideal[round(index_of[id(ln)])]) >= 10 * sigma]
    found = sum(1 for ln in strong if picked.size and np.abs(picked - index_of[id(ln)]).min() <= 1.5)
    true_idx = np.array([index_of[id(ln)] for ln in truth.lines])
    right = sum(1 for p in picked if np.abs(true_idx - p).min() <= 1.5)
    kind.add("strong", len(strong))
    kind.add("found", found)
    kind.add("picked", picked.size)
    kind.add("right", right)
    # Integrals of isolated lines.
    for ln in truth.lines:
        others = [o for o in truth.lines if o is not ln]
        if any(abs(o.ppm - ln.ppm) * kind.sf < 30 * max(ln.width_hz, o.width_hz) for o in others):
            continue
        half = 10 * ln.width_hz / kind.sf
        assert s.ppm is not None
        got = s.integrate(
            [
                (
                    ln.ppm + truth.carrier_error + s.reference_shift - half,
                    ln.ppm + truth.carrier_error + s.reference_shift + half,
                )
            ]
        )[0]
        inside = np.abs(truth.ppm - ln.ppm) <= half
        ideal = float(truth.ideal[inside].sum() * hz_step)
        key = "integral" if abs(ln.height) / sigma >= 200 else "integral_low"
        kind.add(key, abs(got - ideal) / abs(ideal))


def timing(points: int, repeat: int = 9) -> float:
    kind = Kind("1H", points, 6000.0, 400.13, 5.0, 0.0)
    data, _ = case(kind, np.random.default_rng(7))
    file = vorn_tools.open(data)
    arrays, info = file.to_numpy(), file.info
    from vorn_tools.processing import transform

    extra = []
    transform(arrays, info, phase="auto", baseline="auto", reference="auto")  # imports, caches
    for _ in range(repeat):
        t0 = time.perf_counter()
        transform(arrays, info)
        t1 = time.perf_counter()
        transform(arrays, info, phase="auto", baseline="auto", reference="auto")
        t2 = time.perf_counter()
        extra.append((t2 - t1) - (t1 - t0))
    return statistics.median(extra) * 1000.0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cases", type=int, default=100, help="cases per kind")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    rng = np.random.default_rng(args.seed)
    kinds = [
        Kind("1H", 16384, 6000.0, 400.13, 5.0, 98.0),
        Kind("13C", 32768, 25000.0, 100.61, 100.0, 95.0),
        Kind("edited", 32768, 25000.0, 100.61, 100.0, 95.0),
    ]
    ok = True
    rows = []
    for kind in kinds:
        for _ in range(args.cases):
            evaluate(kind, *case(kind, rng))
        r = kind.results
        phase_share = 100.0 * np.mean(np.array(r["phase"]) <= 3.0)
        base_share = 100.0 * np.mean(np.array(r["baseline"]) <= 2.0)
        ref_share = 100.0 * np.mean(np.array(r["reference"]) <= 1.0)
        recall = 100.0 * sum(r["found"]) / max(sum(r["strong"]), 1)
        precision = 100.0 * sum(r["right"]) / max(sum(r["picked"]), 1)
        integ = 100.0 * np.mean(np.array(r.get("integral", [0.0])) <= 0.02)
        integ_low = 100.0 * np.mean(np.array(r.get("integral_low", [0.0])) <= 0.02)
        checks = [
            phase_share >= kind.phase_target,
            base_share >= 95.0,
            ref_share == 100.0,
            recall >= 95.0,
            precision >= 95.0,
            integ >= 100.0,
        ]
        ok &= all(checks)
        rows.append(
            (
                kind.name,
                args.cases,
                phase_share,
                float(np.percentile(r["phase"], 95)),
                base_share,
                ref_share,
                recall,
                precision,
                integ,
                len(r.get("integral", [])),
                integ_low,
                all(checks),
            )
        )
    print(
        "| kind | cases | phase ≤3° | phase 95th pct | baseline ≤2σ | reference ≤1 pt | peak recall "
        "| peak precision | integrals ≤2 % (SNR≥200) | integrals ≤2 % (SNR<200) | targets |"
    )
    print("|---|---|---|---|---|---|---|---|---|---|---|")
    for name, cases, ph, ph95, base, ref, rec, prec, integ, count, low, met in rows:
        print(
            f"| {name} | {cases} | {ph:.0f} % | {ph95:.2f}° | {base:.0f} % | {ref:.0f} % | {rec:.1f} % | "
            f"{prec:.1f} % | {integ:.0f} % of {count} | {low:.0f} % | {'met' if met else 'MISSED'} |"
        )
    for points, limit in ((16384, 50.0), (65536, 200.0)):
        ms = timing(points)
        ok &= ms <= limit
        print(f"speed, {points} points: phase + baseline + reference {ms:.1f} ms (target ≤ {limit:.0f} ms)")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
