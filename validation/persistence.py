"""Persistent motion: persistence time against lambda_dir and the interval, and the shape of the MSD.

Nine cells (50 sites, 8-site neighbourhood, T = 10) walk in a periodic 100 × 100 box with
persistent motion (cell-type attributes ``lambda_dir``, ``persistence_interval``,
``persistence``). A copy that moves a cell's centre along its preferred direction p is favoured
by lambda_dir; every interval Δt the direction turns to the cell's own displacement, rotated by a
random angle of at most π(1 − persistence). The stronger the pull (lambda_dir) the more closely
a cell's displacement follows p, and the longer the interval the fewer random turns it takes per
MCS, so the persistence time P fitted to the mean squared displacement (Fürth's formula) grows
with both. The walk is a persistent random walk: its MSD is ballistic (∝ t²) at lags well below
P and diffusive (∝ t) at lags well above it (Fürth's MSD has exponent 1.1 at 10 P).

    python -m validation.persistence [--quick] [--out DIR]
"""

import sys
import warnings

import numpy as np

import morva
from morva import measures

from validation import report

SIDE, CELLS, BLOCK = 100, 3, 7
TEMPERATURE, NOISE, EVERY = 10.0, 0.7, 5
REFERENCE = (20.0, 5)  # lambda_dir, interval of the MSD-shape check and of the other series


def walkers(lambda_dir, interval):
    model = morva.Model((SIDE, SIDE), temperature=TEMPERATURE, default_contact=0)
    model.add_type("w", volume=50, lambda_volume=2, connectivity=True, lambda_dir=lambda_dir,
                   persistence_interval=interval, persistence=NOISE)
    model.set_contact("medium", "w", 12)
    model.set_contact("w", "w", 20)
    for i in range(CELLS):
        for j in range(CELLS):
            x, y = 10 + i * SIDE // CELLS, 10 + j * SIDE // CELLS
            model.add_block("w", (x, y), (x + BLOCK, y + BLOCK))
    return model


def msd_of(lambda_dir, interval, seed, mcs, max_lag):
    sim = walkers(lambda_dir, interval).build(seed=seed)
    sim.run(50, progress=False)  # relax the square starts
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", measures.TrackWarning)
        tracks = measures.track(sim, mcs, every=EVERY, progress=False)
    return measures.msd(tracks, max_lag=max_lag)


def measured(settings, seeds, mcs, max_lag):
    """The MSD averaged over seeds, and its Fürth fit, for each (lambda_dir, interval)."""
    out = {}
    for lambda_dir, interval in settings:
        series = [msd_of(lambda_dir, interval, 100 * seed + interval, mcs, max_lag) for seed in seeds]
        mean = sum(series) / len(series)
        fit = measures.fit_furth(mean.index, mean.to_numpy(), 2)
        out[lambda_dir, interval] = (mean, fit)
    return out


def log_slope(msd, first, last):
    lag = msd.index.to_numpy(dtype=float)
    keep = (lag >= first) & (lag <= last)
    return float(np.polyfit(np.log(lag[keep]), np.log(msd.to_numpy()[keep]), 1)[0])


def increasing(values):
    return float(min(b / a for a, b in zip(values, values[1:])))


def draw(results, lambdas, intervals, reference):
    import matplotlib.pyplot as plt

    figure, axes = plt.subplots(1, 3, figsize=(16, 4.5))
    for ax, (series, label, key) in zip(axes[:2], ((lambdas, "λ_dir", lambda v: (v, REFERENCE[1])),
                                                   (intervals, "Δt", lambda v: (REFERENCE[0], v)))):
        for value in series:
            msd, fit = results[key(value)]
            lag = msd.index.to_numpy(dtype=float)
            line = ax.loglog(lag, msd.to_numpy(), ".", ms=3)[0]
            ax.loglog(lag, measures.furth_msd(lag, fit["diffusion"], fit["persistence_time"], 2), "-",
                      color=line.get_color(), lw=0.8, label=f"{label} = {value:g}: P = {fit['persistence_time']:.0f}")
        ax.set(xlabel="lag (MCS)", ylabel="MSD (sites²)",
               title=f"MSD and Fürth fit by {label}" + (f" (Δt = {REFERENCE[1]})" if label == "λ_dir"
                                                        else f" (λ_dir = {REFERENCE[0]:g})"))
        ax.legend(fontsize=8)
    msd, fit = results[REFERENCE]
    lag = msd.index.to_numpy(dtype=float)
    p = fit["persistence_time"]
    ax = axes[2]
    ax.loglog(lag, msd.to_numpy() / lag, "k.", ms=3, label="MSD / lag")
    ax.axvline(p, color="0.6", lw=0.8, label=f"P = {p:.0f} MCS")
    for (first, last), slope in reference.items():
        ax.axvspan(first, last, alpha=0.12, label=f"lags {first:.0f}–{last:.0f}: MSD ∝ lag^{slope:.2f}")
    ax.set(xlabel="lag (MCS)", ylabel="MSD / lag (sites²/MCS)",
           title=f"ballistic, then diffusive (λ_dir = {REFERENCE[0]:g}, Δt = {REFERENCE[1]})")
    ax.legend(fontsize=8)
    figure.tight_layout()
    return figure


def run(quick=False, out=None):
    if quick:
        seeds, mcs, max_lag = range(1), 4000, 800
        lambdas, intervals, factor = [5.0, 40.0], [2, 20], 2.0
    else:
        seeds, mcs, max_lag = range(3), 8000, 1500
        lambdas, intervals, factor = [5.0, 10.0, 20.0, 40.0], [2, 5, 10, 20], 1.1
    settings = sorted({(v, REFERENCE[1]) for v in lambdas} | {(REFERENCE[0], v) for v in intervals} | {REFERENCE})
    results = measured(settings, seeds, mcs, max_lag)
    p_lambda = [results[v, REFERENCE[1]][1]["persistence_time"] for v in lambdas]
    p_interval = [results[REFERENCE[0], v][1]["persistence_time"] for v in intervals]
    p = results[REFERENCE][1]["persistence_time"]
    short, long = (EVERY, max(2 * EVERY, p / 4)), (10 * p, max_lag)
    msd = results[REFERENCE][0]
    slopes = {short: log_slope(msd, *short), long: log_slope(msd, *long)}
    checks = [
        report.at_least("persistence time: smallest ratio of successive lambda_dir", increasing(p_lambda), factor),
        report.at_least("persistence time: largest over smallest lambda_dir", p_lambda[-1] / p_lambda[0], 3.0),
        report.at_least("persistence time: smallest ratio of successive intervals", increasing(p_interval), factor),
        report.at_least("persistence time: longest over shortest interval", p_interval[-1] / p_interval[0], 3.0),
        report.at_least("MSD exponent at lags below P / 4", slopes[short], 1.5),
        report.within("MSD exponent at lags beyond 10 P", slopes[long], 1.0, 0.2),
    ]
    table = dict(
        lambda_dir=lambdas, persistence_by_lambda=p_lambda, intervals=intervals, persistence_by_interval=p_interval,
        speed_by_lambda=[results[v, REFERENCE[1]][1]["speed"] for v in lambdas],
        reference=list(REFERENCE), persistence=NOISE, reference_persistence_time=p,
        short_lags=list(short), short_exponent=slopes[short], long_lags=list(long), long_exponent=slopes[long],
        seeds=len(seeds), mcs=mcs, cells=CELLS * CELLS)
    return report.Result("persistence", checks, table, draw(results, lambdas, intervals, slopes))


if __name__ == "__main__":
    sys.exit(report.main(sys.modules[__name__]))
