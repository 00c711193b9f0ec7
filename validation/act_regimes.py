"""The Act model's regimes: one crawling cell over a grid of (max_act, lambda_act), and a 3-D crawler.

Niculescu, Textor & de Boer (PLoS Comput Biol 2015, "Crawling and gliding: a computational model
for shape-driven cell migration") describe three regimes of a single Act cell: with too little
activity (small lambda_act or max_act) the cell only jiggles in place; with enough it polarises
into an active front and migrates persistently, faster and straighter the larger max_act; with
too much the active protrusions tear the cell into pieces. The script runs one 2-D cell (no
connectivity constraint, so it can break) for every grid point, tracks its centre of mass
(unwrapped across the periodic seams), and measures its speed (net displacement per MCS over
windows of WINDOW MCS), its persistence time (an exponential fitted to the velocity
autocorrelation, ``morva.measures.persistence_time``) and the number of pieces it falls into
(connected parts, through the 8-site neighbourhood and across the seams, of at least PIECE of its
sites). A 3-D cell with the paper's kind of settings must migrate as well.

    python -m validation.act_regimes [--quick] [--out DIR]
"""

import concurrent.futures
import os
import sys

import numpy as np
from scipy import ndimage

import morva
from morva import measures

from validation import report

SIDE, VOLUME, TEMPERATURE, J_MEDIUM = 60, 200, 20.0, 20.0
LAMBDA_VOLUME, LAMBDA_SURFACE, SURFACE_FACTOR = 50.0, 2.0, 1.3
RELAX, EVERY, WINDOW, PIECE = 50, 5, 25, 0.03
SIDE_3D, VOLUME_3D, LAMBDA_3D, MAX_ACT_3D = 36, 1000, 500.0, 30


def crawler_model(lambda_act, max_act, shape=(SIDE, SIDE), volume=VOLUME, neighborhood="moore"):
    model = morva.Model(shape, temperature=TEMPERATURE, neighborhood=neighborhood, default_contact=0)
    model.add_type("cell", volume=volume, lambda_volume=LAMBDA_VOLUME, lambda_act=lambda_act, max_act=max_act,
                   surface=SURFACE_FACTOR * morva.compact_surface(volume, neighborhood, dim=len(shape)),
                   lambda_surface=LAMBDA_SURFACE)
    model.set_contact("medium", "cell", J_MEDIUM)
    side = round(volume ** (1 / len(shape)))
    lo = tuple(n // 2 - side // 2 for n in shape)
    return model.add_block("cell", lo, tuple(a + side for a in lo))


def pieces(labels):
    """Connected parts of the cell (label 1) holding at least PIECE of its sites, across the seams.

    The lattice is rolled so that an empty line of each axis lies on the seam: parts that meet
    across a seam are then one part of the rolled picture.
    """
    mask = labels == 1
    for axis in range(mask.ndim):
        others = tuple(a for a in range(mask.ndim) if a != axis)
        empty = np.flatnonzero(~mask.any(axis=others))
        if empty.size:
            mask = np.roll(mask, -int(empty[0]), axis=axis)
    parts, _ = ndimage.label(mask, structure=np.ones((3,) * mask.ndim))
    sizes = np.bincount(parts.ravel())[1:]
    return int(np.count_nonzero(sizes >= PIECE * mask.sum()))


def measure(lambda_act, max_act, seed, mcs, shape=(SIDE, SIDE), volume=VOLUME):
    """Speed (sites/MCS over WINDOW), persistence time (MCS) and most pieces of one cell's run."""
    sim = crawler_model(lambda_act, max_act, shape, volume).build(seed=seed)
    sim.run(RELAX, progress=False)
    counts = []
    sim.add_hook(lambda s: counts.append(pieces(s.labels()[0] if len(shape) == 2 else s.labels())), every=EVERY)
    tracks = measures.track(sim, mcs, every=EVERY, progress=False, max_step=0.45)
    tracks = tracks[tracks["particle"] == 1]
    axes = ["x", "y", "z"][:len(shape)]
    positions = tracks[axes].to_numpy()
    step = WINDOW // EVERY
    net = np.linalg.norm(positions[step:] - positions[:-step], axis=1) / WINDOW
    try:
        persistence = measures.persistence_time(tracks, method="vacf", max_lag=mcs // 3)
    except (RuntimeError, ValueError):
        persistence = float("nan")
    return dict(speed=float(net.mean()), persistence=float(persistence), pieces=int(max(counts)),
                broken=float(np.mean(np.asarray(counts) > 1)))


def _measure_point(args):
    return measure(*args)


def grid_runs(points, seeds, mcs, workers):
    jobs = [(lam, act, 1000 * k + seed, mcs) for k, (act, lam) in enumerate(points) for seed in seeds]
    if workers > 1:
        with concurrent.futures.ProcessPoolExecutor(workers) as pool:
            results = list(pool.map(_measure_point, jobs))
    else:
        results = [measure(*job) for job in jobs]
    per_point = {}
    for (lam, act, _, _), result in zip(jobs, results):
        per_point.setdefault((act, lam), []).append(result)
    return {key: {name: float(np.nanmean([r[name] for r in rows])) for name in rows[0]}
            for key, rows in per_point.items()}


def regime(point, speed_floor):
    """A grid point's regime: broken up when the cell is in pieces in most frames, else migrating
    when its speed is well above a passive cell's."""
    if point["broken"] > 0.5:
        return "breaks up"
    return "migrates" if point["speed"] >= speed_floor else "stationary"


MARKERS = {"stationary": ("o", "0.6"), "migrates": ("^", "tab:green"), "breaks up": ("X", "tab:red")}


def draw(max_acts, lambdas, grid, speed_floor, mcs, crawl3d):
    import matplotlib.pyplot as plt
    from matplotlib.colors import LogNorm

    figure, axes = plt.subplots(1, 3, figsize=(16.5, 4.8))
    speed = np.array([[grid[(a, l)]["speed"] for a in max_acts] for l in lambdas])
    persistence = np.array([[grid[(a, l)]["persistence"] for a in max_acts] for l in lambdas])
    panels = [(axes[0], speed, "speed (sites/MCS)", None),
              (axes[1], persistence, f"persistence time (MCS, at most the run's {mcs})", LogNorm(1, mcs))]
    for ax, values, title, norm in panels:
        image = ax.imshow(values, origin="lower", cmap="viridis", aspect="auto", norm=norm)
        figure.colorbar(image, ax=ax, label=title)
        for j, l in enumerate(lambdas):
            for i, a in enumerate(max_acts):
                marker, colour = MARKERS[regime(grid[(a, l)], speed_floor)]
                ax.plot(i, j, marker, color=colour, ms=9, mec="white")
        ax.set_xticks(range(len(max_acts)), [str(a) for a in max_acts])
        ax.set_yticks(range(len(lambdas)), [f"{l:g}" for l in lambdas])
        ax.set(xlabel="max_act", ylabel="lambda_act", title=f"one 2-D cell of {VOLUME} sites: {title.split(' (')[0]}")
    for name, (marker, colour) in MARKERS.items():
        axes[0].plot([], [], marker, color=colour, label=name)
    axes[0].legend(fontsize=8, loc="upper left", framealpha=0.8)
    ax = axes[2]
    track = crawl3d["track"] - crawl3d["track"][0]
    for (i, j), name in [((0, 1), "x-y"), ((0, 2), "x-z"), ((1, 2), "y-z")]:
        ax.plot(track[:, i], track[:, j], "-", label=f"{name} projection")
    ax.plot(0, 0, "ko", ms=4)
    ax.set(xlabel="displacement (sites)", ylabel="displacement (sites)", aspect="equal",
           title=f"3-D cell ({VOLUME_3D} sites): {crawl3d['net']:.0f} sites in {crawl3d['mcs']} MCS")
    ax.legend(fontsize=8)
    figure.tight_layout()
    return figure


def crawl_3d(lambda_act, max_act, mcs, seed=7):
    sim = crawler_model(lambda_act, max_act, (SIDE_3D,) * 3, VOLUME_3D, neighborhood="moore").build(seed=seed)
    sim.run(RELAX, progress=False)
    tracks = measures.track(sim, mcs, every=EVERY, progress=False, max_step=0.45)
    track = tracks[tracks["particle"] == 1][["x", "y", "z"]].to_numpy()
    still = crawler_model(0.0, 0, (SIDE_3D,) * 3, VOLUME_3D).build(seed=seed)
    still_tracks = measures.track(still, mcs + RELAX, every=EVERY, progress=False, max_step=0.45)
    still_track = still_tracks[still_tracks["particle"] == 1][["x", "y", "z"]].to_numpy()
    return dict(track=track, mcs=mcs, net=float(np.linalg.norm(track[-1] - track[0])),
                still=float(np.linalg.norm(still_track[-1] - still_track[0])),
                pieces=pieces(sim.labels()), lambda_act=lambda_act, max_act=max_act)


def run(quick=False, out=None):
    workers = 1 if quick else min(os.cpu_count() or 1, 2)  # the quick points take less than a pool's start
    if quick:
        max_acts, lambdas, seeds, mcs, mcs3d = [5, 20, 40], [50.0, 500.0, 5000.0], range(1), 400, 100
        points = [(5, 50.0), (20, 500.0), (40, 500.0), (20, 5000.0)]
    else:
        max_acts, lambdas, seeds, mcs, mcs3d = [5, 10, 20, 40, 80], [50.0, 200.0, 500.0, 1000.0, 2000.0, 5000.0], \
            range(3), 1000, 300
        points = [(a, l) for a in max_acts for l in lambdas]
    grid = grid_runs([(0, 0.0)] + points, seeds, mcs, workers)
    passive = grid.pop((0, 0.0))
    for point in grid.values():
        point["persistence"] = min(point["persistence"], mcs)  # longer than the run: not resolved
    speed_floor = 2.5 * passive["speed"]
    crawl3d = crawl_3d(LAMBDA_3D, MAX_ACT_3D, mcs3d)
    regimes = {key: regime(point, speed_floor) for key, point in grid.items()}
    table = dict(shape=[SIDE, SIDE], volume=VOLUME, temperature=TEMPERATURE, mcs=mcs, seeds=len(seeds),
                 passive=passive, speed_floor=speed_floor,
                 points={f"max_act={a}, lambda_act={l:g}": dict(grid[(a, l)], regime=regimes[(a, l)]) for a, l in grid},
                 crawl_3d={k: v for k, v in crawl3d.items() if k != "track"})
    checks = [report.at_most("passive cell: speed (sites/MCS)", passive["speed"], 0.05),
              report.within("max_act 5, lambda_act 50: stationary (1 = yes)", regimes[(5, 50.0)] == "stationary", 1, 0),
              report.within("max_act 20, lambda_act 500: migrates (1 = yes)", regimes[(20, 500.0)] == "migrates", 1, 0),
              report.within("max_act 20, lambda_act 5000: breaks up (1 = yes)", regimes[(20, 5000.0)] == "breaks up", 1,
                            0),
              report.at_least("lambda_act 500: persistence, max_act 40 / max_act 20",
                              grid[(40, 500.0)]["persistence"] / grid[(20, 500.0)]["persistence"], 2.0),
              report.at_least("3-D cell: net displacement / a passive cell's",
                              crawl3d["net"] / max(crawl3d["still"], 1.0), 5.0),
              report.at_most("3-D cell: pieces", crawl3d["pieces"], 1)]
    if not quick:
        checks += [report.at_least("lambda_act 500: speed, max_act 20 / max_act 5",
                                   grid[(20, 500.0)]["speed"] / grid[(5, 500.0)]["speed"], 2.0),
                   report.at_least("regimes found", len(set(regimes.values())), 3)]
    return report.Result("act_regimes", checks, table, draw(max_acts, lambdas, grid, speed_floor, mcs, crawl3d)
                         if not quick else draw_points(points, grid, speed_floor, crawl3d))


def draw_points(points, grid, speed_floor, crawl3d):
    """The quick version's figure: speed against persistence of its few points, and the 3-D track."""
    import matplotlib.pyplot as plt

    figure, axes = plt.subplots(1, 2, figsize=(10, 4.2))
    for a, l in points:
        marker, colour = MARKERS[regime(grid[(a, l)], speed_floor)]
        axes[0].plot(grid[(a, l)]["speed"], grid[(a, l)]["persistence"], marker, color=colour, ms=9)
        axes[0].annotate(f"{a}, {l:g}", (grid[(a, l)]["speed"], grid[(a, l)]["persistence"]), fontsize=8)
    axes[0].set(xlabel="speed (sites/MCS)", ylabel="persistence time (MCS)", yscale="log",
                title="one 2-D cell (max_act, lambda_act)")
    track = crawl3d["track"] - crawl3d["track"][0]
    axes[1].plot(track[:, 0], track[:, 1], "-")
    axes[1].set(xlabel="x (sites)", ylabel="y (sites)", aspect="equal", title="3-D cell: x-y projection")
    figure.tight_layout()
    return figure


if __name__ == "__main__":
    sys.exit(report.main(sys.modules[__name__]))
