"""Chemotaxis and a centre-of-mass force in the linear regime: drift speed against strength.

One cell (25 sites, 8-site neighbourhood) moves by its own fluctuations in a closed box. In a
fixed linear gradient c = x (no diffusion, no decay) with chemotactic strength λ, or under a
constant force F along x on its centre of mass (the ``com_force`` world option, on by default in
the package: a copy changes the energy by -F·Δc, Δc the shift of the centre), a copy attempt's
energy change gains a bias of order λ, or F times the shift of the centre. For biases well below the
temperature the acceptance rates change linearly, so the drift speed grows linearly with the
strength (linear response): v = slope · strength. The script fits v against the strength over
many seeds and checks that the slope is positive and well resolved, that the intercept is zero
and that no quadratic term is needed.

    python -m validation.drift [--quick] [--out DIR]
"""

import sys

import numpy as np

from morva import _native
from morva_core import World

from validation import report

WIDTH, HEIGHT, START, SIDE = 90, 30, 25, 5
TEMPERATURE, J_MEDIUM, LAMBDA_VOLUME = 10.0, 8.0, 5.0


def cell_world(kind, strength, seed):
    world = World((WIDTH, HEIGHT, 1), "noflux", 2, TEMPERATURE)
    cell = world.add_cell(1, float(SIDE * SIDE), LAMBDA_VOLUME, 0.0, 0.0)
    y0 = (HEIGHT - SIDE) // 2
    world.seed_block(cell, START, y0, 0, START + SIDE, y0 + SIDE, 1)
    world.set_contact(1, 0, J_MEDIUM)
    world.set_connectivity(1, True)
    if kind == "chemotaxis":
        field = world.add_field("c", 0.0, 0.0)
        for x in range(WIDTH):
            for y in range(HEIGHT):
                world.field_add_source_at(field, x, y, 0, float(x))
        world.set_chemotaxis(field, 1, strength)
    else:
        _native.set_options(world, com_force=True)
        world.set_external_potential(1, strength, 0.0, 0.0)
    world.finalize(seed)
    return world


def drift_speed(kind, strength, seed, mcs):
    world = cell_world(kind, strength, seed)
    world.step(50)                               # relax the square start
    x0 = world.cell_coms()[1][0]
    world.step(mcs)
    return (world.cell_coms()[1][0] - x0) / mcs


def fit(strengths, speeds):
    """Weighted fits of the per-strength means: linear (slope, its error, intercept z-score) and
    the z-score of a quadratic term."""
    s = np.asarray(strengths, dtype=float)
    mean = speeds.mean(axis=1)
    error = speeds.std(axis=1, ddof=1) / np.sqrt(speeds.shape[1])
    weights = 1 / np.maximum(error, 1e-12)
    (slope, intercept), cov = np.polyfit(s, mean, 1, w=weights, cov="unscaled")
    quad, qcov = np.polyfit(s, mean, 2, w=weights, cov="unscaled")
    return dict(slope=float(slope), slope_error=float(np.sqrt(cov[0, 0])), intercept=float(intercept),
                intercept_z=float(intercept / np.sqrt(cov[1, 1])), quadratic_z=float(quad[0] / np.sqrt(qcov[0, 0])),
                mean=mean.tolist(), error=error.tolist())


def draw(results):
    import matplotlib.pyplot as plt

    figure, axes = plt.subplots(1, len(results), figsize=(5.5 * len(results), 4.3))
    for ax, (kind, label, strengths, speeds, f) in zip(axes, results):
        for k, s in enumerate(strengths):
            ax.plot([s] * speeds.shape[1], speeds[k], ".", color="0.7", ms=3)
        ax.errorbar(strengths, f["mean"], yerr=f["error"], fmt="o", capsize=3, label="mean ± s.e. over seeds")
        line = np.linspace(0, max(strengths), 20)
        ax.plot(line, f["intercept"] + f["slope"] * line, "k-", lw=0.8,
                label=f"fit: slope {f['slope']:.4f} ± {f['slope_error']:.4f}")
        ax.axhline(0, color="k", lw=0.4)
        ax.set(xlabel=label, ylabel="drift speed along x (sites/MCS)", title=f"{kind}: linear response, T = {TEMPERATURE:g}")
        ax.legend(fontsize=8)
    figure.tight_layout()
    return figure


def run(quick=False, out=None):
    if quick:
        seeds, mcs, resolved = range(6), 400, 3.0
        kinds = {"chemotaxis": [0.0, 1.5, 3.0], "force": [0.0, 12.0, 24.0]}
    else:
        seeds, mcs, resolved = range(16), 1000, 5.0
        kinds = {"chemotaxis": [0.0, 0.75, 1.5, 2.25, 3.0], "force": [0.0, 6.0, 12.0, 18.0, 24.0]}
    labels = {"chemotaxis": "chemotactic strength λ (gradient 1 per site)", "force": "force F on the centre of mass"}
    results, checks, table = [], [], {}
    for kind, strengths in kinds.items():
        speeds = np.array([[drift_speed(kind, s, 1000 * k + seed, mcs) for seed in seeds]
                           for k, s in enumerate(strengths)])
        f = fit(strengths, speeds)
        results.append((kind, labels[kind], strengths, speeds, f))
        table[kind] = dict(strengths=strengths, seeds=len(seeds), mcs=mcs, **f)
        checks += [
            report.at_least(f"{kind}: slope / its standard error", f["slope"] / f["slope_error"], resolved),
            report.within(f"{kind}: intercept in standard errors", f["intercept_z"], 0.0, 3.0),
            report.within(f"{kind}: quadratic term in standard errors", f["quadratic_z"], 0.0, 3.0),
        ]
    return report.Result("drift", checks, table, draw(results))


if __name__ == "__main__":
    sys.exit(report.main(sys.modules[__name__]))
