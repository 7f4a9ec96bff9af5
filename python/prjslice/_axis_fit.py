"""The rotation axis of a stack: a straight line through the axes of a few rows.

A tilted rotation axis crosses the detector rows at columns that change
linearly with the row, c(row) = c0 + slope * row, and r0/dr = -c. The runner
estimates the axis on rows spread over the stack (prjaxis on their sinograms,
or the importer's axis= where the header has it), skipping rows that do not
determine it, and reconstructs every row with the line's value.

The line. A row whose estimate has gone wrong (a row without air that the
centre of mass misreads, a row of air only) must not pull the line, so the
line is found in two steps: the Theil-Sen line (slope the median of the
slopes between all pairs of rows, intercept the median of what that slope
leaves), which ignores up to 29% of the rows however far off they lie; then
the least-squares line through the rows within OUTLIER bins of it, the more
precise where the estimates scatter only by their noise. Every row farther
than OUTLIER bins from the final line is reported.
"""

from dataclasses import dataclass

import numpy as np

# A row whose estimate lies farther than this from the line (in bins) is
# reported, and left out of the least-squares line.
OUTLIER = 0.5

# The fewest rows the runner estimates on.
ROWS = 5


@dataclass
class AxisLine:
    """r0/dr = r0 + slope * row for every row (slope in bins per row);
    `used` the rows the line was fitted to, `outliers` {row: r0/dr} of the
    rows farther than OUTLIER bins from it."""
    r0: float
    slope: float
    used: list
    outliers: dict

    def at(self, row):
        """The r0/dr of a row."""
        return self.r0 + self.slope * row


def spread_rows(first, last, count=ROWS):
    """count rows spread evenly over first ... last (inclusive), ends
    included, each once; all of them when there are no more."""
    if last - first + 1 <= count:
        return list(range(first, last + 1))
    return sorted(set(int(round(v)) for v in np.linspace(first, last, count)))


def fit_axis_line(estimates):
    """The AxisLine through {row: r0/dr}. One row gives a line without slope;
    none raises ValueError."""
    if not estimates:
        raise ValueError("no row determines the axis")
    rows = np.array(sorted(estimates), dtype=float)
    values = np.array([estimates[int(r)] for r in rows], dtype=float)
    if np.all(values == values[0]):  # one axis for all, exactly (the importer's for a full turn)
        return AxisLine(float(values[0]), 0.0, [int(r) for r in rows], {})
    i, j = np.triu_indices(len(rows), 1)
    slope = float(np.median((values[j] - values[i]) / (rows[j] - rows[i])))
    r0 = float(np.median(values - slope * rows))
    near = np.abs(values - (r0 + slope * rows)) <= OUTLIER
    if near.sum() >= 2 and len(set(rows[near])) >= 2:
        slope, r0 = (float(v) for v in np.polyfit(rows[near], values[near], 1))
    elif near.sum() == 1:
        r0, slope = float(values[near][0]), 0.0
    off = np.abs(values - (r0 + slope * rows)) > OUTLIER
    return AxisLine(r0, slope, [int(r) for r in rows[~off]],
                    {int(r): float(v) for r, v in zip(rows[off], values[off])})
