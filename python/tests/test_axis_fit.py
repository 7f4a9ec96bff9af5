"""The line through the axes of a stack's rows: slope, values, outliers."""

import pytest

from prjslice._axis_fit import OUTLIER, fit_axis_line, spread_rows


def line(r0, slope, rows, noise=()):
    return {r: r0 + slope * r + (noise[k] if k < len(noise) else 0.0) for k, r in enumerate(rows)}


@pytest.mark.parametrize("estimates,r0,slope,outliers", [
    # one row: its value, no slope
    ({40: -255.3}, -255.3, 0.0, {}),
    # one value on every row (the importer's axis of a full turn): exactly it
    ({r: -38.498 for r in (0, 1, 2, 4, 5)}, -38.498, 0.0, {}),
    # an upright axis with noise of a few hundredths
    (line(-255.3, 0.0, [0, 25, 50, 75, 99], [0.02, -0.03, 0.01, 0.0, -0.02]), -255.3, 0.0, {}),
    # a tilted one: 0.004 bins per row, 2 bins over 500 rows
    (line(-255.3, 0.004, [0, 125, 250, 375, 499]), -255.3, 0.004, {}),
    # two rows of seven misread by 49 and 8 bins (the centre of mass on rows
    # without air): the line keeps to the other five and names them
    ({**line(-85.9, 0.0, [0, 100, 200, 300, 400, 500, 600]), 200: -134.68, 500: -77.97},
     -85.9, 0.0, {200: -134.68, 500: -77.97}),
    # a row just over half a bin off the tilted line is named; the line is
    # the other four's
    ({**line(-100.0, -0.01, [0, 10, 20, 30, 40]), 20: -100.2 - OUTLIER - 0.01}, -100.0, -0.01,
     {20: -100.2 - OUTLIER - 0.01}),
])
def test_the_line_through_the_rows(estimates, r0, slope, outliers):
    fit = fit_axis_line(estimates)
    assert fit.slope == pytest.approx(slope, abs=5e-4)
    assert fit.r0 == pytest.approx(r0, abs=0.03)
    if len(set(estimates.values())) == 1:
        assert [fit.at(row) for row in estimates] == list(estimates.values())
    assert fit.outliers == pytest.approx(outliers)
    assert sorted(fit.used) == sorted(set(estimates) - set(outliers))
    for row in fit.used:
        assert abs(fit.at(row) - estimates[row]) <= OUTLIER


def test_no_rows_and_the_rows_chosen():
    with pytest.raises(ValueError, match="no row determines the axis"):
        fit_axis_line({})
    assert spread_rows(0, 99) == [0, 25, 50, 74, 99]
    assert spread_rows(10, 12) == [10, 11, 12]
    assert spread_rows(3, 9, 7) == [3, 4, 5, 6, 7, 8, 9]
