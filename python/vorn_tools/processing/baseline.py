"""A smooth baseline under the real part of a spectrum, estimated from its signal-free
points. Needs scipy (the `process` extra).

Whittaker smoothing (Eilers 2003) with weights: the baseline z minimises
sum w_k (y_k - z_k)^2 + lambda sum (second difference of z)^2, with w_k = 0 at points
that carry signal and 1 elsewhere, solved as one banded system (scipy's solveh_banded).
The signal points are found as in Cobas et al. 2006, by what stands out from a smooth
curve: first from a robust coarse curve (block medians, at twice the level), then,
three times over, from the baseline itself; each point more than SIGNAL_SIGMAS noise
levels off, or in a short stretch whose mean is more than TAIL_SIGMAS noise levels of
such a mean off (the far tails of lines: smooth, below the noise point by point), and
its neighbours, are signal. Long spectra are first averaged over bins of
signal-free points (at most BINS of them) and the baseline drawn back to every point by
straight lines, which keeps the solve fast and well conditioned.
"""

from __future__ import annotations

import math

import numpy as np
from numpy.typing import NDArray

from .phasing import noise_level

BINS = 2048
SIGNAL_SIGMAS = 3.0
TAIL_SIGMAS = 4.5  # for the mean of a stretch of 2 x reach + 1 points
ROUNDS = 3
# The shortest period (a share of the window) a baseline follows; lambda follows from it.
SMOOTHEST_SHARE = 1.0 / 32.0


def whittaker(y: NDArray[np.float64], weights: NDArray[np.float64], smoothing: float) -> NDArray[np.float64]:
    """The Whittaker smooth of `y` with the given weights and lambda (second differences)."""
    from scipy.linalg import solveh_banded  # type: ignore[import-untyped]

    n = y.size
    if n < 3 or weights.sum() < 2:
        level = float((weights * y).sum() / weights.sum()) if weights.sum() > 0 else 0.0
        return np.full(n, level)
    diagonal = np.full(n, 6.0)
    diagonal[[0, -1]] = 1.0
    diagonal[[1, -2]] = 5.0
    first = np.full(n - 1, -4.0)
    first[[0, -1]] = -2.0
    bands = np.zeros((3, n))
    bands[2] = weights + smoothing * diagonal
    bands[1, 1:] = smoothing * first
    bands[0, 2:] = smoothing
    solved: NDArray[np.float64] = solveh_banded(bands, weights * y, check_finite=False)
    return solved


def _dilated(mask: NDArray[np.bool_], reach: int) -> NDArray[np.bool_]:
    """The points within `reach` of a True point."""
    if reach <= 0 or not mask.any():
        return mask
    counts = np.concatenate([[0], np.cumsum(mask, dtype=np.int64)])
    index = np.arange(mask.size)
    high = np.minimum(index + reach + 1, mask.size)
    low = np.maximum(index - reach, 0)
    return np.asarray(counts[high] - counts[low] > 0)


def _standing_out(residual: NDArray[np.float64], sigma: float, span: int) -> NDArray[np.bool_]:
    """The points more than SIGNAL_SIGMAS noise levels off, or whose mean over `span`
    points is (the far tails of lines: smooth, below the noise point by point)."""
    sums = np.concatenate([[0.0], np.cumsum(residual)])
    index = np.arange(residual.size)
    high = np.minimum(index + span // 2 + 1, residual.size)
    low = np.maximum(index - span // 2, 0)
    means = (sums[high] - sums[low]) / (high - low)
    return np.asarray(
        (np.abs(residual) > SIGNAL_SIGMAS * sigma) | (np.abs(means) > TAIL_SIGMAS * sigma / np.sqrt(high - low))
    )


def _coarse(y: NDArray[np.float64], blocks: int = 128) -> NDArray[np.float64]:
    """Block medians joined by straight lines: a first curve the lines hardly move."""
    n = y.size
    count = max(1, min(blocks, n // 8))
    length = n // count
    levels = np.median(y[: count * length].reshape(count, length), axis=1)
    centres = np.arange(count) * length + (length - 1) / 2.0
    return np.interp(np.arange(n), centres, levels)


def estimate_baseline(real: NDArray[np.float64], sigma: float | None = None) -> NDArray[np.float64]:
    """The baseline of a real spectrum (same length), see the module's description."""
    y = np.asarray(real, dtype=np.float64)
    n = y.size
    if n < 8:
        return np.full(n, float(np.median(y)) if n else 0.0)
    if sigma is None:
        sigma = noise_level(y)
    sigma = max(sigma, 1e-300)
    reach = max(2, n // 2048)
    bin_size = max(1, math.ceil(n / BINS))
    bins = math.ceil(n / bin_size)
    padded = bins * bin_size
    centres = (np.arange(bins) * bin_size + (np.minimum(np.arange(bins) * bin_size + bin_size, n) - 1)) / 2.0
    period = max(bins * SMOOTHEST_SHARE, 4.0)
    smoothing = (period / (2 * math.pi)) ** 4
    signal = _dilated(np.abs(y - _coarse(y)) > 2 * SIGNAL_SIGMAS * sigma, reach)
    curve = np.zeros(n)
    for _ in range(ROUNDS + 1):
        free = ~signal
        sums = np.zeros(padded)
        sums[:n] = np.where(free, y, 0.0)
        counts = np.zeros(padded)
        counts[:n] = free
        totals = counts.reshape(bins, bin_size).sum(axis=1)
        means = np.divide(sums.reshape(bins, bin_size).sum(axis=1), totals, out=np.zeros(bins), where=totals > 0)
        smooth = whittaker(means, totals / bin_size, smoothing)
        curve = np.interp(np.arange(n), centres, smooth) if bin_size > 1 else smooth
        signal = _dilated(_standing_out(y - curve, sigma, 2 * reach + 1), reach)
    return curve
