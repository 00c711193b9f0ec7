"""Phase diagram of two-type cell sorting over the heterotypic contact energy and the temperature.

The tissue is the sorting benchmark made smaller: 36 square cells of two types in a 6 x 6
checkerboard inside a 100 x 100 periodic box (examples/sorting_small.toml). Light cells stick
to each other (J = 2), dark cells weakly (J = 14); the sweep varies the light-dark energy and
the temperature, runs each point several times on Dask, and measures the share of
heterotypic boundary and the number of same-type clusters. The picture shows both as heat maps
of the replicate mean, each square annotated with mean and standard deviation, and the sorting
index against the heterotypic energy with error bars from the replicates.

    python examples/phase_diagram.py [--replicates 4] [--mcs 2000] [--workers 2] [--out examples/out]
"""

import argparse
import pathlib

import numpy as np

import morva

HERE = pathlib.Path(__file__).resolve().parent
MODEL = HERE / "sorting_small.toml"
HETEROTYPIC = "contact:light:dark"


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--energies", type=float, nargs="+", default=[2, 5, 8, 11, 14, 17])
    parser.add_argument("--temperatures", type=float, nargs="+", default=[5, 10, 20, 40])
    parser.add_argument("--replicates", type=int, default=4)
    parser.add_argument("--mcs", type=int, default=2000)
    parser.add_argument("--seed", type=int, default=2026)
    parser.add_argument("--workers", type=int, help="local worker processes (default: one per core)")
    parser.add_argument("--store", help="keep finished runs in this folder and resume from it")
    parser.add_argument("--out", default=str(HERE / "out"))
    return parser.parse_args()


def statistics(table, measure, energies, temperatures):
    """Mean and standard deviation over replicates on the (temperature, energy) grid."""
    last = table[(table["mcs"] == table["mcs"].max()) & table["error"].isna()]
    grouped = last.groupby(["temperature", HETEROTYPIC])[measure]
    mean = grouped.mean().unstack().reindex(index=temperatures, columns=energies)
    std = grouped.std().unstack().reindex(index=temperatures, columns=energies)
    return mean.to_numpy(), std.to_numpy()


def heat_map(axes, figure, mean, std, energies, temperatures, title, fmt):
    image = axes.imshow(mean, origin="lower", cmap="viridis", aspect="auto")
    figure.colorbar(image, ax=axes)
    for (row, column), value in np.ndenumerate(mean):
        axes.text(column, row, f"{value:{fmt}}\n±{std[row, column]:{fmt}}", ha="center", va="center",
                  fontsize=7, color="white" if value < np.nanmean(mean) else "black")
    axes.set_xticks(range(len(energies)), [f"{e:g}" for e in energies])
    axes.set_yticks(range(len(temperatures)), [f"{t:g}" for t in temperatures])
    axes.set_xlabel("heterotypic contact energy J(light, dark)")
    axes.set_ylabel("temperature")
    axes.set_title(title)


def draw(table, energies, temperatures, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, ((top_left, top_right), (bottom_left, bottom_right)) = plt.subplots(2, 2, figsize=(12, 9))
    index, index_std = statistics(table, "sorting_index", energies, temperatures)
    clusters, clusters_std = statistics(table, "type_clusters", energies, temperatures)
    heat_map(top_left, figure, index, index_std, energies, temperatures, "share of heterotypic boundary", ".2f")
    heat_map(top_right, figure, clusters, clusters_std, energies, temperatures, "same-type clusters", ".1f")
    for axes, mean, std, label in ((bottom_left, index, index_std, "share of heterotypic boundary"),
                                   (bottom_right, clusters, clusters_std, "same-type clusters")):
        for row, temperature in enumerate(temperatures):
            axes.errorbar(energies, mean[row], yerr=std[row], marker="o", capsize=3, label=f"T = {temperature:g}")
        axes.set_xlabel("heterotypic contact energy J(light, dark)")
        axes.set_ylabel(f"{label} (mean ± sd over replicates)")
        axes.legend()
    n_replicates = table["replicate"].nunique()
    figure.suptitle(f"Two-type sorting after {table['mcs'].max()} MCS, {n_replicates} replicates per point")
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    plt.close(figure)


def main():
    args = parse_args()
    model = morva.load_model(MODEL)
    grid = {HETEROTYPIC: args.energies, "temperature": args.temperatures}
    client = None
    if args.workers:
        from dask.distributed import Client, LocalCluster

        client = Client(LocalCluster(n_workers=args.workers, threads_per_worker=1, dashboard_address=":0"))
    try:
        table = morva.sweep(model, grid, replicates=args.replicates, mcs=args.mcs, measure="sorting",
                            seed=args.seed, client=client, store=args.store)
    finally:
        if client is not None:
            client.cluster.close()
            client.close()
    out = pathlib.Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    table.to_csv(out / "phase_diagram.csv", index=False)
    draw(table, args.energies, args.temperatures, out / "phase_diagram.png")
    print(f"{len(table)} rows; picture: {out / 'phase_diagram.png'}")


if __name__ == "__main__":
    main()
