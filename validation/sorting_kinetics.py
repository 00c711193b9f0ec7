"""Sorting kinetics: the heterotypic boundary of a mixed aggregate over time, over seeds.

A randomly mixed aggregate of dark and light cells (half each) sorts under the standard
differential-adhesion energies J_dd = 2, J_ll = 14, J_dl = 11, J_M = 16, here at T = 20 (with
only 8 neighbours per site, boundaries at T = 10 stay pinned to the lattice directions and
sorting stops after the first rearrangements). Glazier &
Graner (Phys. Rev. E 47, 2128, 1993) found the boundary between the types to shrink slowly,
roughly linearly in the logarithm of time, rather than as a power law: sorting coarsens
logarithmically. The script records the dark-light boundary (neighbour pairs) at logarithmically
spaced times over several seeds, as a share of all the boundary between cells (cell outlines
roughen as they leave the square start, which lengthens every boundary alike), and checks that it shrinks substantially and that, after the
first fast rearrangements, it falls along a straight line in log t.

    python -m validation.sorting_kinetics [--quick] [--out DIR]
"""

import sys

import numpy as np

from validation import report
from validation.aggregate import boundaries, heterotypic_share, mixed_aggregate

ENERGIES = dict(j_dd=2.0, j_ll=14.0, j_dl=11.0, j_medium=16.0, temperature=20.0, lambda_volume=5.0)


def log_times(last):
    times = np.unique(np.round(np.logspace(0, np.log10(last), 25)).astype(int))
    return times


def boundary_history(seed, cells_per_side, times):
    world, side = mixed_aggregate(cells_per_side=cells_per_side, cell_side=5, margin=12, seed=seed, **ENERGIES)
    history, elapsed = [heterotypic_share(boundaries(world, side))], 0
    for t in times:
        world.step(int(t - elapsed))
        elapsed = t
        history.append(heterotypic_share(boundaries(world, side)))
    return np.array(history, dtype=float)


def log_fit(times, mean, window):
    """Straight line of the share against log10 t within `window`: slope, intercept and R²."""
    keep = (times >= window[0]) & (times <= window[1])
    x, y = np.log10(times[keep]), mean[keep]
    slope, intercept = np.polyfit(x, y, 1)
    residual = y - (slope * x + intercept)
    return float(slope), float(intercept), float(1 - residual.var() / y.var())


def draw(times, histories, fit, window, cells):
    import matplotlib.pyplot as plt

    figure, ax = plt.subplots(figsize=(7, 4.5))
    start = histories[:, 0].mean()
    for h in histories:
        ax.plot(times, h[1:] / start, color="0.75", lw=0.8)
    mean, sd = histories[:, 1:].mean(axis=0) / start, histories[:, 1:].std(axis=0, ddof=1) / start
    ax.fill_between(times, mean - sd, mean + sd, alpha=0.3, label="± s.d. over seeds")
    ax.plot(times, mean, "o-", ms=3, label=f"mean of {len(histories)} seeds")
    slope, intercept, r2 = fit
    line = times[(times >= window[0]) & (times <= window[1])]
    ax.plot(line, (slope * np.log10(line) + intercept) / start, "k--",
            label=f"a + b log10 t, t = {window[0]} to {window[1]}: R² = {r2:.3f}")
    ax.set_xscale("log")
    ax.set(xlabel="MCS", ylabel="heterotypic share of cell–cell boundary\n(relative to the start)",
           title=f"sorting of {cells} cells: J_dd=2, J_ll=14, J_dl=11, J_M=16, T=20")
    ax.legend(fontsize=8)
    figure.tight_layout()
    return figure


def run(quick=False, out=None):
    if quick:
        cells_per_side, last, seeds, window, most = 6, 100, [1, 2], (3, 50), 0.7
    else:
        cells_per_side, last, seeds, window, most = 10, 10000, [1, 2, 3, 4], (100, 10000), 0.6
    times = log_times(last)
    histories = np.array([boundary_history(seed, cells_per_side, times) for seed in seeds])
    mean = histories[:, 1:].mean(axis=0)
    fit = log_fit(times, mean, window)
    ratio = float(mean[-1] / histories[:, 0].mean())
    checks = [
        report.at_most("final / initial heterotypic share", ratio, most),
        report.at_least(f"R² of a straight line in log t for t = {window[0]} to {window[1]}", fit[2], 0.9),
        report.at_most("slope per decade (share)", fit[0], 0.0),
    ]
    table = dict(times=times, mean=mean, sd=histories[:, 1:].std(axis=0, ddof=1), initial=histories[:, 0].mean(),
                 slope_per_decade=fit[0], r2=fit[2], seeds=len(seeds), cells=cells_per_side**2)
    return report.Result("sorting_kinetics", checks, table, draw(times, histories, fit, window, cells_per_side**2))


if __name__ == "__main__":
    sys.exit(report.main(sys.modules[__name__]))
