"""How good a magnetometer calibration is, judged from the samples.

A perfect calibration maps every reading of the same field to the same
length, so the relative spread of the magnitudes (standard deviation over
mean) drops from the raw samples to the corrected ones.  A fit is only as
good as the directions it saw: coverage is the share of equal-area cells of
the sphere of directions that at least one corrected sample falls into.
"""

import math
import statistics
from collections.abc import Iterable, Sequence
from dataclasses import dataclass

type Vector = tuple[float, float, float]

# cells of equal area: bands of equal height in z (Archimedes) times sectors
BANDS = 6
SECTORS = 12


def correct(samples: Iterable[Vector], offsets: Sequence[float], matrix: Sequence[float]) -> list[Vector]:
    """A·(m − b) for every sample m, A given row-major."""
    bx, by, bz = offsets
    a = matrix
    out: list[Vector] = []
    for x, y, z in samples:
        x, y, z = x - bx, y - by, z - bz
        out.append(
            (a[0] * x + a[1] * y + a[2] * z, a[3] * x + a[4] * y + a[5] * z, a[6] * x + a[7] * y + a[8] * z)
        )
    return out


def magnitude_spread(vectors: Iterable[Vector]) -> tuple[float, float]:
    """(mean length, standard deviation of the lengths / mean)."""
    lengths = [math.sqrt(x * x + y * y + z * z) for x, y, z in vectors]
    if not lengths:
        return math.nan, math.nan
    mean = statistics.fmean(lengths)
    spread = statistics.pstdev(lengths) / mean if mean > 0 else math.nan
    return mean, spread


def direction_cells(
    vectors: Iterable[Vector], bands: int = BANDS, sectors: int = SECTORS
) -> set[tuple[int, int]]:
    """The set of cells (band, sector) the directions of ``vectors`` hit."""
    hit: set[tuple[int, int]] = set()
    for x, y, z in vectors:
        r = math.sqrt(x * x + y * y + z * z)
        if not r > 0 or not math.isfinite(r):
            continue
        band = min(bands - 1, int((z / r + 1.0) / 2.0 * bands))
        sector = int((math.atan2(y, x) + math.pi) / (2 * math.pi) * sectors) % sectors
        hit.add((band, sector))
    return hit


@dataclass
class Quality:
    samples: int
    raw_mean: float
    raw_spread: float
    corrected_mean: float
    corrected_spread: float
    cells_hit: int
    cells: int

    @property
    def coverage(self) -> float:
        return self.cells_hit / self.cells


def assess(
    raw: Sequence[Vector],
    offsets: Sequence[float],
    matrix: Sequence[float],
    bands: int = BANDS,
    sectors: int = SECTORS,
) -> Quality:
    """The quality of the calibration ``offsets``, ``matrix`` on the ``raw`` samples."""
    corrected = correct(raw, offsets, matrix)
    raw_mean, raw_spread = magnitude_spread(raw)
    cor_mean, cor_spread = magnitude_spread(corrected)
    hit = direction_cells(corrected, bands, sectors)
    return Quality(len(raw), raw_mean, raw_spread, cor_mean, cor_spread, len(hit), bands * sectors)


@dataclass
class Thresholds:
    """What a calibration must reach to be kept: the share of directions
    covered and the relative spread of the corrected magnitudes."""

    min_coverage: float = 0.25
    max_spread: float = 0.02

    def shortfalls(self, quality: Quality) -> list[str]:
        """Texts saying where ``quality`` falls short; empty when it does not."""
        out: list[str] = []
        if not quality.coverage >= self.min_coverage:
            out.append(
                f"it covered {100 * quality.coverage:.0f} % of the directions, "
                f"{100 * self.min_coverage:g} % needed"
            )
        if not quality.corrected_spread <= self.max_spread:
            out.append(
                f"its corrected magnitudes spread {100 * quality.corrected_spread:.2f} %, "
                f"at most {100 * self.max_spread:g} % allowed"
            )
        return out
