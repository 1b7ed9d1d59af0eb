"""Automatic zero- and first-order phase of a spectrum whose group delay is already
removed, and the noise level of a spectrum. Needs numpy only.

The lines are found in the magnitude spectrum, which does not depend on the phase: each
strong line (or multiplet) gets a region, 3 to 12 times its width at half height
either side of its top, the more the stronger the line (wider regions let the
dispersion cancel better, but gather more noise). The complex integral of a region, less a straight
line between its two edges (a rolling baseline, the far tails), has the phase of its
lines: the absorption integrates to the area, the dispersion, odd about each line,
cancels over a region that holds the multiplet whole. The phases of the regions are
then fitted with phi(f) = p0 + p1 x f / SW, modulo 180° so that lines of either sign
(edited spectra) agree; the search over p1 starts at 0, the exactly known group delay,
and keeps to small values. Last, the sign: the one that makes the largest lines
positive: the tallest region's (edited spectra, whose lines have either sign, follow
this convention).
"""

from __future__ import annotations

import math

import numpy as np
from numpy.typing import NDArray

# A region reaches this many magnitude widths at half height either side of a line 100
# noise levels high, more for stronger lines (as the square root of the height), within
# the two bounds.
REGION_WIDTHS = 5
FEWEST_REGION_WIDTHS = 3
MOST_REGION_WIDTHS = 12
FEWEST_REGION_POINTS = 12  # and at least this many points (lines narrower than a point or two)
PEAK_SIGMAS = 8.0  # a line must rise this many noise levels above the magnitude's floor
MAX_REGIONS = 48
P1_LIMIT = 120.0  # degrees across the window searched for the first-order phase
P1_STEP = 0.5
INLIER_DEGREES = 4.0
SYSTEMATIC_DEGREES = 1.0  # the least uncertainty of a region's phase
EDGE_DEGREES = 30.0  # added to the uncertainty of a region cut by the window's edge
SYMMETRY_SPREAD = 0.05  # each such share of its magnitude unlike its mirror image adds as much again


def noise_level(real: NDArray[np.float64], segments: int = 32) -> float:
    """The noise standard deviation of a (real) spectrum: the spread of the quietest
    quarter of `segments` stretches, each less its own quadratic trend (a rolling
    baseline), so the lines and the roll do not count."""
    data = np.asarray(real, dtype=np.float64).reshape(-1)
    data = data[np.isfinite(data)]
    if data.size < 8:
        return float(np.std(data)) if data.size else 0.0
    length = max(data.size // segments, 8)
    count = data.size // length
    blocks = data[: count * length].reshape(count, length)
    x = np.linspace(-1.0, 1.0, length)
    basis, _ = np.linalg.qr(np.stack([np.ones(length), x, x * x], axis=1))  # orthonormal columns
    residual = blocks - (blocks @ basis) @ basis.T
    spreads = np.sqrt((residual**2).sum(axis=1) / (length - 3))
    return float(np.quantile(spreads, 0.25))


def magnitude_floor(magnitude: NDArray[np.float64], blocks: int = 64) -> NDArray[np.float64]:
    """A smooth floor under a magnitude spectrum: the lowest tenth of each of `blocks`
    stretches, joined by straight lines."""
    n = magnitude.size
    count = max(1, min(blocks, n // 8))
    length = n // count
    levels = np.quantile(magnitude[: count * length].reshape(count, length), 0.1, axis=1)
    centres = np.arange(count) * length + (length - 1) / 2.0
    return np.interp(np.arange(n), centres, levels)


def standing_tops(above: NDArray[np.float64], rise: float) -> NDArray[np.intp]:
    """The local maxima of `above` that rise more than `rise` over the lower side's
    lowest point within a few points (so not the noise riding on a line's tail),
    tallest first."""
    n = above.size
    reach = max(8, n // 1024)
    inner = above[1:-1]
    tops = np.nonzero((inner > above[:-2]) & (inner >= above[2:]) & (inner > rise))[0] + 1
    if tops.size == 0:
        return tops
    padded = np.concatenate([np.full(reach, np.inf), above, np.full(reach, np.inf)])
    windows = np.lib.stride_tricks.sliding_window_view(padded, reach)
    left_low = windows[tops].min(axis=1)  # above[top - reach:top]
    right_low = windows[tops + reach + 1].min(axis=1)  # above[top + 1:top + reach + 1]
    dip = np.maximum(
        np.where(np.isinf(left_low), right_low, left_low), np.where(np.isinf(right_low), left_low, right_low)
    )
    tops = tops[above[tops] - dip > rise]
    return tops[np.argsort(above[tops])[::-1]]


def line_regions(values: NDArray[np.complex128], sigma: float) -> list[tuple[int, int]]:
    """[start, stop) of the regions of the strongest lines (see the module): REGION_WIDTHS
    widths at half height of the magnitude either side of each top, those that
    overlap joined, each made symmetric about its centre of magnitude, so that the
    dispersion of its lines cancels in its integral."""
    magnitude = np.abs(values)
    n = magnitude.size
    if n < 5 or not np.isfinite(magnitude).all():
        return []
    floor = magnitude_floor(magnitude)
    above = magnitude - floor
    tops = standing_tops(above, PEAK_SIGMAS * max(sigma, 1e-300))
    if tops.size == 0:
        return []
    tallest = above[tops[0]]
    taken = np.zeros(n, dtype=bool)
    runs: list[tuple[int, int]] = []
    for top in tops[: 8 * MAX_REGIONS]:
        if len(runs) >= 2 * MAX_REGIONS or above[top] < 0.01 * tallest:
            break
        if taken[top]:
            continue
        low = above < 0.5 * above[top]
        right = top + int(np.argmax(low[top:])) if low[top:].any() else n
        left_run = low[: top + 1][::-1]
        left = top - int(np.argmax(left_run)) + 1 if left_run.any() else 0
        # Wider for strong lines: the dispersion cancels better, and the noise gathered
        # matters less.
        widths = min(
            MOST_REGION_WIDTHS, max(FEWEST_REGION_WIDTHS, REGION_WIDTHS * math.sqrt(above[top] / (100 * sigma)))
        )
        reach = max(FEWEST_REGION_POINTS, round(widths * min(right - left + 1, max(8, n // 256))))
        taken[max(0, left - (right - left)) : right + (right - left)] = True
        runs.append((max(0, top - reach), min(n, top + reach + 1)))
    for _ in range(4):  # symmetric about the centre, then join those that overlap
        centred = []
        for left, right in runs:
            weights = np.abs(_less_edges(values[left:right])) ** 2
            total = weights.sum()
            centre = (np.arange(left, right) * weights).sum() / total if total > 0 else (left + right - 1) / 2
            middle = round(centre)
            half = max(middle - left, right - 1 - middle)
            centred.append((max(0, middle - half), min(n, middle + half + 1)))
        centred.sort()
        joined: list[tuple[int, int]] = []
        for left, right in centred:
            if joined and left < joined[-1][1]:
                joined[-1] = (joined[-1][0], max(right, joined[-1][1]))
            else:
                joined.append((left, right))
        done = len(joined) == len(runs)
        runs = joined
        if done:
            break
    runs = [(left, right) for left, right in runs if right - left >= 5]
    runs.sort(key=lambda run: -float(above[run[0] : run[1]].max()))
    return runs[:MAX_REGIONS]


def _less_edges(part: NDArray[np.complex128]) -> NDArray[np.complex128]:
    """`part` less the straight line through the means of its outer quarters (placed at
    their middles): a roll or the far tails of other lines. Long edges keep the noise of
    the line small; the dispersion of the region's own lines, odd about them, gives the
    line a slope that a symmetric window sums to nothing."""
    edge = max(1, part.size // 4)
    start, stop = part[:edge].mean(), part[-edge:].mean()
    first, last = (edge - 1) / 2.0, part.size - 1 - (edge - 1) / 2.0
    slope = (stop - start) / (last - first) if last > first else 0.0
    return part - (start + slope * (np.arange(part.size) - first))


def _single_line_centre(power: NDArray[np.float64], centroid: float) -> float:
    """The centre of a region that holds one line, between two points: 1 / |S|^2 of a
    Lorentzian line is a parabola in frequency, its vertex the line's centre (the centroid
    of |S|^2 leans to the nearest point when the line is narrow). The centroid itself
    for a region of several lines (a multiplet: its top is not near its centroid)."""
    top = int(np.argmax(power))
    if not 0 < top < power.size - 1 or abs(top - centroid) > 1.0 or power[top] <= 0:
        return centroid
    a, b, c = 1.0 / np.maximum(power[top - 1 : top + 2], 1e-300)
    bend = a - 2 * b + c
    if bend <= 0:
        return centroid
    offset = 0.5 * (a - c) / bend
    return top + offset if abs(offset) <= 1.0 else centroid


def region_phases(
    values: NDArray[np.complex128], regions: list[tuple[int, int]], sigma: float
) -> tuple[NDArray[np.float64], NDArray[np.complex128], NDArray[np.float64], NDArray[np.float64]]:
    """(centre of each region as f / SW, its windowed integral less the straight line
    between its edges, the uncertainty of that integral's phase in radians: its noise,
    and more for a region whose magnitude does not match its mirror image, where the
    dispersion does not cancel; the top of its magnitude)."""
    n = values.size
    centres, integrals, spreads, tops = [], [], [], []
    for left, right in regions:
        part = _less_edges(values[left:right])
        weights = np.abs(part) ** 2
        at = float((np.arange(part.size) * weights).sum() / weights.sum()) if weights.sum() > 0 else 0.0
        at = _single_line_centre(weights, at)
        centres.append((n // 2 - left - at) / n)
        # A Hann window centred on the fractional centre: the dispersion of a line that
        # falls between two points then still cancels.
        half = min(at, part.size - 1 - at) + 0.5
        offsets = np.clip(np.abs(np.arange(part.size) - at) / half, 0.0, 1.0)
        window = np.cos(0.5 * np.pi * offsets) ** 2
        integral = (part * window).sum()
        magnitude = np.abs(part) * window
        tops.append(float(magnitude.max()))
        mismatch = np.abs(magnitude - magnitude[::-1]).sum() / max(2.0 * magnitude.sum(), 1e-300)
        noise = sigma * math.sqrt(float((window**2).sum())) / max(abs(integral), 1e-300)
        systematic = math.radians(SYSTEMATIC_DEGREES) * (1.0 + mismatch / SYMMETRY_SPREAD)
        if left == 0 or right == n:  # cut by the window's edge: its dispersion cannot cancel
            systematic += math.radians(EDGE_DEGREES)
        spreads.append(math.hypot(noise, systematic))
        integrals.append(integral)
    return (
        np.array(centres, dtype=np.float64),
        np.array(integrals, dtype=np.complex128),
        np.array(spreads, dtype=np.float64),
        np.array(tops, dtype=np.float64),
    )


def fit_phase(
    frequencies: NDArray[np.float64],
    integrals: NDArray[np.complex128],
    spreads: NDArray[np.float64] | None = None,
    heights: NDArray[np.float64] | None = None,
) -> tuple[float, float]:
    """(p0, p1) in degrees from the regions' integrals at their frequencies (f / SW)
    and the uncertainties of their phases (radians): the line phi = p0 + p1 f that most
    of them agree with modulo 180°, fitted by least squares to those, then the sign that
    makes the tallest region positive (`heights`, else the integrals' sizes). (0, 0)
    for no region."""
    if integrals.size == 0:
        return 0.0, 0.0
    if spreads is None:
        spreads = np.full(integrals.size, math.radians(SYSTEMATIC_DEGREES))
    weights = 1.0 / spreads**2
    angles = np.angle(integrals)
    p0, p1 = _consensus(frequencies, weights, angles)
    for _ in range(3):  # a least-squares line through the regions that agree with it
        misfit = np.abs(np.angle(np.exp(2j * (angles - p0 - p1 * frequencies)))) / 2.0
        keep = misfit <= np.maximum(math.radians(INLIER_DEGREES), 3.0 * spreads)
        if not keep.any():
            break
        p0, p1 = _fit_doubled(frequencies[keep], weights[keep], angles[keep], near=p1)
    rotated = integrals * np.exp(-1j * (p0 + p1 * frequencies))
    sizes = np.abs(integrals) if heights is None else heights
    if rotated[int(np.argmax(sizes))].real < 0:  # the tallest line positive
        p0 += math.pi
    # The phase applied is the opposite of the one found.
    return _wrapped(-math.degrees(p0)), -math.degrees(p1)


def _consensus(
    frequencies: NDArray[np.float64], weights: NDArray[np.float64], angles: NDArray[np.float64]
) -> tuple[float, float]:
    """(p0, p1) in radians that the most weight agrees with, each region counted by how
    near (a von Mises kernel of INLIER_DEGREES) the line passes it, so that a region
    whose phase is spoilt (an overlap, a shoulder) does not pull the line; the lines
    tried pass through one region's phase at each p1 of the grid."""
    if frequencies.size == 1 or np.ptp(frequencies) < 1e-3:
        return _fit_doubled(frequencies, weights, angles)
    grid = np.radians(np.arange(-P1_LIMIT, P1_LIMIT + P1_STEP / 2, P1_STEP))
    doubled = 2.0 * (angles[None, :] - grid[:, None] * frequencies[None, :])  # (p1, region)
    c, s = np.cos(doubled), np.sin(doubled)
    agreement = c[:, :, None] * c[:, None, :] + s[:, :, None] * s[:, None, :]  # cos of the differences
    width = 2.0 * math.radians(INLIER_DEGREES)
    scores = (np.exp((agreement - 1.0) / width**2) * weights[None, None, :]).sum(axis=2)
    scores *= (1.0 - 1e-3 * (grid / math.radians(P1_LIMIT)) ** 2)[:, None]
    at, region = np.unravel_index(int(np.argmax(scores)), scores.shape)
    return float(doubled[at, region]) / 2.0, float(grid[at])


def _fit_doubled(
    frequencies: NDArray[np.float64],
    weights: NDArray[np.float64],
    angles: NDArray[np.float64],
    near: float | None = None,
) -> tuple[float, float]:
    """(p0, p1) in radians of the line through the doubled angles; p1 searched over the
    whole range, or within 10° of `near`."""
    doubled = weights * np.exp(2j * angles)
    if frequencies.size == 1 or np.ptp(frequencies) < 1e-3:
        p1 = 0.0
    else:
        if near is None:
            step = math.radians(P1_STEP)
            grid = np.radians(np.arange(-P1_LIMIT, P1_LIMIT + P1_STEP / 2, P1_STEP))
        else:
            step = math.radians(0.1)
            grid = near + step * np.arange(-100, 101)
        fits = np.abs(np.exp(-2j * np.outer(grid, frequencies)) @ doubled)
        # A slight preference for small p1: the group delay is already removed.
        fits = fits * (1.0 - 1e-3 * (grid / math.radians(P1_LIMIT)) ** 2)
        best = int(np.argmax(fits))
        p1 = float(grid[best])
        if 0 < best < grid.size - 1:  # the top of the parabola through the three best
            a, b, c = fits[best - 1], fits[best], fits[best + 1]
            bend = a - 2 * b + c
            if bend < 0:
                p1 += float(0.5 * (a - c) / bend) * step
    p0 = float(np.angle((doubled * np.exp(-2j * p1 * frequencies)).sum())) / 2.0
    return p0, p1


def _wrapped(degrees: float) -> float:
    return (degrees + 180.0) % 360.0 - 180.0


def auto_phase(rows: list[NDArray[np.complex128]], *, first_order: bool = True) -> tuple[float, float]:
    """(p0, p1) in degrees that puts the lines of `rows` (1-D spectra in NMR order, all
    of one length; several rows of a 2-D spectrum share one phase) in absorption; with
    `first_order` False, p1 stays 0."""
    frequencies, integrals, spreads, heights = [], [], [], []
    for row in rows:
        sigma = noise_level(np.concatenate([row.real, row.imag]))
        found = region_phases(row, line_regions(row, sigma), sigma)
        frequencies.append(found[0])
        integrals.append(found[1])
        spreads.append(found[2])
        heights.append(found[3])
    if not frequencies:
        return 0.0, 0.0
    at = np.concatenate(frequencies) if first_order else np.zeros(sum(f.size for f in frequencies))
    return fit_phase(at, np.concatenate(integrals), np.concatenate(spreads), np.concatenate(heights))


def phase_factors(points: int, phase: tuple[float, float]) -> NDArray[np.complex128]:
    """exp(i phi_k), phi_k = p0 + p1 x f_k / SW, for the NMR-ordered points."""
    p0, p1 = phase
    f = (points // 2 - np.arange(points, dtype=np.float64)) / points
    return np.exp(1j * np.radians(p0 + p1 * f))
