"""Draw the pictures of docs/tutorials/cell-cycle.md: the tissue coloured by cycle phase and by
generation, and the lineage tree the division rule left.

Run from the repository root after ``make module``::

    .venv/bin/python docs/scripts/cell_cycle_pictures.py
"""

import sys
import tempfile
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt
import numpy as np

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "examples"))
import cell_cycle  # noqa: E402

import morva  # noqa: E402
from morva.viz import frame_strip  # noqa: E402

OUT = ROOT / "docs" / "images" / "cell-cycle"
MCS = 1200


def lineage_axes(ax, lineage, generation, end):
    """Each cell a line from its birth to the end (a parent lives on after dividing), its daughters
    branching off below it at their births; coloured by generation."""
    born = dict(zip(lineage["daughter"].tolist(), lineage["mcs"].tolist()))
    daughters = {}
    for parent, daughter in zip(lineage["parent"].tolist(), lineage["daughter"].tolist()):
        daughters.setdefault(parent, []).append(daughter)
    rows = {}

    def place(cell):  # depth first: a cell, then each daughter's line in the order they were born
        rows[cell] = len(rows)
        for daughter in daughters.get(cell, []):
            place(daughter)

    for founder in sorted(set(generation.index) | set(daughters)):
        if founder not in born:
            place(founder)
    colours = plt.get_cmap("viridis")
    top = max(generation.max(), 1)
    for cell, row in rows.items():
        start = born.get(cell, 0)
        ax.plot([start, end], [row, row], color=colours(generation.get(cell, 0) / top), lw=1.0)
        if cell in born:
            parent = lineage.loc[lineage["daughter"] == cell, "parent"].iloc[0]
            ax.plot([start, start], [rows[parent], row], color="0.7", lw=0.5)
    ax.invert_yaxis()
    ax.set_xlabel("MCS")
    ax.set_yticks([])
    ax.set_title(f"lineage: {len(lineage)} divisions by the rule 'mitosis'")


def main():
    OUT.mkdir(parents=True, exist_ok=True)
    folder = Path(tempfile.mkdtemp()) / "cycle"
    sim = cell_cycle.model().build(seed=1)
    sim.record(folder, every=MCS // 3)
    sim.run(MCS, progress=False)
    sim.recorder.close()
    rec = morva.open_recording(folder)

    strip = frame_strip(rec, n=4, color_by="phase")
    strip.savefig(OUT / "phase.png", dpi=80, bbox_inches="tight")
    plt.close(strip)

    cells = sim.cells()
    fig, (left, right) = plt.subplots(1, 2, figsize=(10, 4), gridspec_kw={"width_ratios": [1, 1.6]})
    births = np.sort(sim.lineage["mcs"].to_numpy())
    steps = np.arange(0, MCS + 1, 5)
    population = 4 + np.searchsorted(births, steps, side="right")
    left.semilogy(steps, population, color="C0")
    left.set_xlabel("MCS")
    left.set_ylabel("cells")
    left.set_title("population")
    lineage_axes(right, sim.lineage, cells["generation"], MCS)
    fig.tight_layout()
    fig.savefig(OUT / "lineage.png", dpi=80)
    plt.close(fig)
    print(f"wrote {OUT}: {sim.n_cells} cells, {len(sim.lineage)} divisions")


if __name__ == "__main__":
    main()
