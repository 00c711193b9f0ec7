"""Differential adhesion: the phase diagram of a two-type aggregate over the contact energies.

A mixed aggregate of dark (type 1) and light (type 2) cells sits in the medium. Dark cells are
the more cohesive (J_dd = 2 < J_ll = 14); both types meet the medium with the same J_M. The
surface-tension criteria (Graner & Glazier, Phys. Rev. Lett. 69, 2013, 1992; Glazier & Graner,
Phys. Rev. E 47, 2128, 1993) predict the outcome from

    γ_dl = J_dl - (J_dd + J_ll)/2,   γ_dM = J_M - J_dd/2,   γ_lM = J_M - J_ll/2:

γ_dl < 0: the types prefer each other and mix (checkerboard), unless the mixed tissue's own
tension with the medium, J_M - J_dl/2, is negative (below the line γ_dl = γ_dM + γ_lM), when it
disperses;
γ_dl > 0 and γ_lM < 0: light cells prefer the medium to each other and leave the aggregate;
0 < γ_dl < γ_dM - γ_lM: they sort and the light cells envelop the dark ones;
γ_dl > γ_dM - γ_lM: partial envelopment, or complete separation once γ_dl > γ_dM + γ_lM.

Each grid point is run from a random mixture and classified from the state after a fixed run,
averaged over seeds: dispersal when at least 10 % of the cells touch no other cell or the share
of the cells' boundary that faces the medium has grown by half; mixing when the heterotypic
share of the cell-cell boundary exceeds the share the same cells would have with their types
dealt at random; sorting otherwise. Complete envelopment takes far longer than these runs, so
the envelopment line is checked by its trend: in sorting aggregates the dark cells' share of the
boundary with the medium must fall below their share at the (random) start left of the line,
where the light cells should envelop them, and stay higher right of it.

    python -m validation.adhesion [--quick] [--out DIR]
"""

import sys

import numpy as np

from validation import report
from validation.aggregate import (boundaries, dark_medium_share, heterotypic_share, mixed_aggregate,
                                  shuffled_heterotypic_share)

J_DD, J_LL, TEMPERATURE, LAMBDA_VOLUME = 2.0, 14.0, 10.0, 5.0
PHASES = ["dispersal", "mixing", "sorting"]


def predicted(j_dl, j_medium):
    g_dl = j_dl - (J_DD + J_LL) / 2
    g_dm, g_lm = j_medium - J_DD / 2, j_medium - J_LL / 2
    if g_dl < 0:
        # A mixed tissue meets the medium with the tension J_M - J_dl/2.
        return "dispersal" if j_medium < j_dl / 2 else "mixing"
    if min(g_dm, g_lm) < 0:
        return "dispersal"
    return "sorting"


def envelopment_predicted(j_dl, j_medium):
    """Light cells envelop dark ones: 0 < γ_dl < γ_dM - γ_lM."""
    return j_dl - (J_DD + J_LL) / 2 < (j_medium - J_DD / 2) - (j_medium - J_LL / 2)


def classify(random_share, share, alone, medium_start, medium, **_):
    if alone >= 0.1 or medium > 1.5 * medium_start:
        return "dispersal"
    if share > random_share:
        return "mixing"
    return "sorting"


def simulate(j_dl, j_medium, seed, *, cells_per_side, mcs):
    world, side = mixed_aggregate(cells_per_side=cells_per_side, cell_side=5, margin=12, j_dd=J_DD, j_ll=J_LL,
                                  j_dl=j_dl, j_medium=j_medium, temperature=TEMPERATURE,
                                  lambda_volume=LAMBDA_VOLUME, seed=seed)
    start = boundaries(world, side)
    world.step(mcs)
    b = boundaries(world, side)
    return dict(random_share=shuffled_heterotypic_share(world, side, np.random.default_rng(seed)),
                share=heterotypic_share(b), random_dark_share=dark_medium_share(start), dark_share=dark_medium_share(b),
                alone=b["alone"], medium_start=start["medium"], medium=b["medium"])


def draw(rows, j_dls, j_mediums):
    import matplotlib.pyplot as plt

    figure, ax = plt.subplots(figsize=(7.5, 6))
    colours = dict(zip(PHASES, ["tab:gray", "tab:purple", "tab:green"]))
    g_dl = np.linspace(min(j_dls) - 3, max(j_dls) + 3, 200) - (J_DD + J_LL) / 2
    for phase in PHASES:
        points = [r for r in rows if r["measured"] == phase]
        ax.scatter([r["gamma_dl"] for r in points], [r["j_medium"] for r in points], s=260, color=colours[phase],
                   label=f"measured: {phase}", edgecolors=["k" if r["agrees"] else "red" for r in points],
                   linewidths=[0.5 if r["agrees"] else 3 for r in points])
    for r in rows:
        if r["measured"] == "sorting":
            ax.annotate(f"{r['dark_share']:.2f}", (r["gamma_dl"], r["j_medium"]), xytext=(0, -17),
                        textcoords="offset points", ha="center", fontsize=7)
    lo, hi = min(j_mediums) - 3, max(j_mediums) + 3
    ax.axvline(0, color="k", lw=1)
    ax.axvline((J_LL - J_DD) / 2, color="k", lw=1, ls="--")
    ax.plot([0, g_dl[-1]], [J_LL / 2, J_LL / 2], color="k", lw=1, ls=":")
    ax.plot(g_dl, (g_dl + (J_DD + J_LL) / 2) / 2, color="k", lw=0.8, ls="-.")
    ax.text(0.2, hi - 1, "γ_dl = 0", fontsize=8)
    ax.text((J_LL - J_DD) / 2 + 0.2, hi - 1, "γ_dl = γ_dM − γ_lM", fontsize=8)
    ax.text(g_dl[-1] - 3, J_LL / 2 + 0.4, "γ_lM = 0", fontsize=8)
    ax.text(g_dl[-1] - 6, (g_dl[-1] + 8) / 2 - 2.0, "γ_dl = γ_dM + γ_lM", fontsize=8)
    ax.set(xlim=(g_dl[0], g_dl[-1]), ylim=(lo, hi), xlabel="γ_dl = J_dl − (J_dd + J_ll)/2",
           ylabel="J_M (cell–medium energy of both types)",
           title=f"differential adhesion: J_dd = {J_DD:g}, J_ll = {J_LL:g}, T = {TEMPERATURE:g}\n"
                 "lines: predicted boundaries; red rims: disagreement;\n"
                 "numbers: dark cells' share of the boundary with the medium")
    ax.legend(fontsize=7, loc="upper left", bbox_to_anchor=(1.01, 1))
    figure.tight_layout()
    return figure


def run(quick=False, out=None):
    if quick:
        # One point in each phase, away from the lines.
        points, seeds, cells_per_side, mcs = [(5.0, 16.0), (11.0, 16.0), (11.0, 4.0)], [1], 4, 800
    else:
        points = [(j_dl, j_medium) for j_medium in (4.0, 10.0, 16.0, 22.0) for j_dl in (5.0, 11.0, 17.0, 23.0)]
        seeds, cells_per_side, mcs = [1, 2, 3], 6, 3000
    j_dls, j_mediums = sorted({p[0] for p in points}), sorted({p[1] for p in points})
    rows = []
    for j_dl, j_medium in points:
        runs = [simulate(j_dl, j_medium, seed, cells_per_side=cells_per_side, mcs=mcs) for seed in seeds]
        mean = {key: float(np.mean([r[key] for r in runs])) for key in runs[0]}
        measured = classify(**mean)
        rows.append(dict(j_dl=j_dl, j_medium=j_medium, gamma_dl=j_dl - (J_DD + J_LL) / 2, **mean,
                         predicted=predicted(j_dl, j_medium), measured=measured,
                         agrees=measured == predicted(j_dl, j_medium)))
    agreement = float(np.mean([r["agrees"] for r in rows]))
    checks = [report.at_least("share of grid points where the outcome is the predicted one", agreement,
                              1.0 if quick else 0.85)]
    sorting = [r for r in rows if r["measured"] == "sorting"]
    enveloping = [r for r in sorting if envelopment_predicted(r["j_dl"], r["j_medium"])]
    if enveloping:
        checks.append(report.at_most("left of the envelopment line: largest dark share of the medium boundary / "
                                     "its share at the start", max(r["dark_share"] / r["random_dark_share"]
                                                                   for r in enveloping), 0.9))
    for j_medium in j_mediums:
        inside = [r["dark_share"] for r in sorting if r["j_medium"] == j_medium and envelopment_predicted(r["j_dl"], j_medium)]
        outside = [r["dark_share"] for r in sorting if r["j_medium"] == j_medium and not envelopment_predicted(r["j_dl"], j_medium)]
        if inside and outside:
            checks.append(report.at_least(f"J_M = {j_medium:g}: dark share beyond the envelopment line minus before it",
                                          min(outside) - max(inside), 0.0))
    table = dict(rows=rows, mcs=mcs, seeds=len(seeds), cells=cells_per_side**2)
    return report.Result("adhesion", checks, table, draw(rows, j_dls, j_mediums))


if __name__ == "__main__":
    sys.exit(report.main(sys.modules[__name__]))
