"""T cells crawling through a crowded tissue, on the morva package (examples/models/t_cells.toml).

Eight T cells with the Act model crawl among 144 passive tissue cells that fill the lattice. The
script tracks every cell's centre, prints each T cell's mean speed and net displacement beside
those of the tissue cells, and the T cells' persistence time, and writes a picture of the tracks
over the tissue with the activity field beside it. With ``--movie`` it also records the run and
writes a movie of the cells and their activity.

    python examples/t_cells.py [--mcs 1000] [--seed 1] [--out DIR] [--movie]
"""

import argparse
import pathlib

import numpy as np

import morva
from morva import measures
from morva.viz import plot_activity, plot_tracks, recording_movie

HERE = pathlib.Path(__file__).resolve().parent


def net_displacement(tracks):
    """Distance between each track's first and last position, in sites."""
    ends = tracks.groupby("particle")[["x", "y"]].agg(["first", "last"])
    return np.hypot(ends["x"]["last"] - ends["x"]["first"], ends["y"]["last"] - ends["y"]["first"])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mcs", type=int, default=1000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--every", type=int, default=10)
    parser.add_argument("--out", type=pathlib.Path, default=HERE / "out")
    parser.add_argument("--movie", action="store_true", help="record the run and write t_cells.mp4")
    args = parser.parse_args()
    args.out.mkdir(parents=True, exist_ok=True)

    sim = morva.load_model(HERE / "models" / "t_cells.toml").build(seed=args.seed)
    if args.movie:
        sim.record(args.out / "t_cells_run", every=args.every, overwrite=True)  # the activity is recorded too
    print(f"T cells in a tissue: {len(sim.cell_ids('tcell'))} T cells among {len(sim.cell_ids('stroma'))} tissue "
          f"cells, {args.mcs} MCS")
    tracks = measures.track(sim, args.mcs, every=args.every, progress=False)
    net, speed = net_displacement(tracks), measures.mean_speed(tracks)
    kinds = tracks.groupby("particle")["type_name"].first()
    for cell in kinds.index[kinds == "tcell"]:
        print(f"T cell {cell:>3}  mean speed {speed[cell]:.3f} sites/MCS  net displacement {net[cell]:5.1f} sites")
    print(f"tissue cells: mean net displacement {net[kinds == 'stroma'].mean():.1f} sites")
    t_tracks = tracks[tracks["type_name"] == "tcell"]
    persistence = measures.persistence_time(t_tracks, method="vacf", max_lag=args.mcs // 3)
    print(f"T cells: persistence time {persistence:.0f} MCS")

    picture = plot_activity(sim, title=f"T cells crawling through a tissue, MCS {sim.mcs}")
    plot_tracks(t_tracks, picture.axes[0], color="black")
    picture.savefig(args.out / "t_cells.png", dpi=100)
    print(f"picture: {args.out / 't_cells.png'}")
    if args.movie:
        sim.recorder.close()
        path = recording_movie(args.out / "t_cells_run", args.out / "t_cells.mp4", fps=15, field="activity",
                               field_mode="beside")
        print(f"movie: {path}")


if __name__ == "__main__":
    main()
