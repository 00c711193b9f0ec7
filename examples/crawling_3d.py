"""One cell crawling in 3-D with the Act model, on the morva package.

A cell of 1000 sites on a periodic 40^3 lattice, with the settings of the 3-D cell of the
validation suite (docs/validation.md), crawls from its cubic start. The script prints its
centre's net displacement every so often, compares it with the same cell without the Act model,
and writes orthogonal slices through the cell with its activity and a picture of its track.

    python examples/crawling_3d.py [--mcs 400] [--seed 1] [--out DIR]
"""

import argparse
import pathlib

import numpy as np

import morva
from morva import measures
from morva.viz import plot_activity, plot_tracks

HERE = pathlib.Path(__file__).resolve().parent
SIDE, VOLUME = 40, 1000


def crawler(lambda_act, max_act):
    model = morva.Model((SIDE, SIDE, SIDE), temperature=20.0, default_contact=0)
    model.add_type("crawler", volume=VOLUME, lambda_volume=50, lambda_surface=2, lambda_act=lambda_act,
                   max_act=max_act, surface=1.3 * morva.compact_surface(VOLUME, "moore", dim=3))
    model.set_contact("medium", "crawler", 20)
    return model.add_block("crawler", (15, 15, 15), (25, 25, 25), activity="max" if max_act else 0)


def net(tracks):
    """Net displacement of each frame from the first, in sites."""
    xyz = tracks[["x", "y", "z"]].to_numpy()
    return np.linalg.norm(xyz - xyz[0], axis=1)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mcs", type=int, default=400)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--out", type=pathlib.Path, default=HERE / "out")
    args = parser.parse_args()
    args.out.mkdir(parents=True, exist_ok=True)

    sim = crawler(500, 30).build(seed=args.seed)
    still = crawler(0, 0).build(seed=args.seed)
    tracks = measures.track(sim, args.mcs, every=5, progress=False)
    still_tracks = measures.track(still, args.mcs, every=5, progress=False)
    moved, stayed = net(tracks), net(still_tracks)
    for k in range(0, len(tracks), max(1, len(tracks) // 5)):
        print(f"MCS {tracks['mcs'].iloc[k]:>4}  net displacement {moved[k]:5.1f} sites")
    print(f"after {args.mcs} MCS: crawler {moved[-1]:.1f} sites, without the Act model {stayed[-1]:.1f} sites")
    print(f"mean speed {measures.mean_speed(tracks).iloc[0]:.3f} sites/MCS")

    centre = sim.cells()[["com_x", "com_y", "com_z"]].iloc[0].round().astype(int)
    plot_activity(sim, at=tuple(centre), title=f"a 3-D crawler at MCS {sim.mcs}, sliced through its centre").savefig(
        args.out / "crawling_3d.png", dpi=90)
    picture = plot_tracks(tracks, wrap=False, offset=0)
    picture.savefig(args.out / "crawling_3d_track.png", dpi=90)
    print(f"pictures: {args.out / 'crawling_3d.png'}, {args.out / 'crawling_3d_track.png'}")


if __name__ == "__main__":
    main()
