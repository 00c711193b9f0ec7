"""`morva sweep sweep.toml --out DIR`: a sweep described by a file, stored in a folder.

A sweep file names a model file (relative to the sweep file), the grid, the replicates, the
measured times and the measures; an optional ``[cluster]`` table gives the number of local
workers or the address of a running scheduler. Running the command again on the same DIR
computes only the runs that are missing.
"""

from __future__ import annotations

import contextlib
import tomllib
from pathlib import Path

KEYS = {"model", "grid", "replicates", "mcs", "measures", "seed", "cluster"}
REQUIRED = ("model", "grid", "replicates", "mcs", "measures", "seed")


def read_sweep_file(path):
    """Read a sweep file into the keyword arguments of :func:`morva.sweep` and a cluster table.

    Parameters
    ----------
    path : str or path-like

    Returns
    -------
    (dict, dict)
        ``model`` (a loaded Model), ``grid``, ``replicates``, ``mcs``, ``measure``, ``seed``;
        and the ``[cluster]`` table (``workers``, ``scheduler``), possibly empty.

    Examples
    --------
    >>> arguments, cluster = read_sweep_file("examples/sorting_sweep.toml")  # doctest: +SKIP
    >>> sorted(arguments)                                                    # doctest: +SKIP
    ['grid', 'mcs', 'measure', 'model', 'replicates', 'seed']
    """
    from .model import load_model

    path = Path(path)
    try:
        with path.open("rb") as handle:
            data = tomllib.load(handle)
    except FileNotFoundError:
        raise FileNotFoundError(f"sweep file {str(path)!r} does not exist") from None
    except tomllib.TOMLDecodeError as error:
        raise ValueError(f"sweep file {str(path)!r}: {error}") from None
    unknown = sorted(set(data) - KEYS)
    if unknown:
        raise ValueError(f"sweep file {str(path)!r}: unknown key {unknown[0]!r} (known: {', '.join(sorted(KEYS))})")
    for key in REQUIRED:
        if key not in data:
            raise ValueError(f"sweep file {str(path)!r}: missing key {key!r}")
    if not isinstance(data["grid"], dict):
        raise ValueError(f"sweep file {str(path)!r}: 'grid' must be a table of parameter = [values]")
    cluster = data.get("cluster", {})
    unknown = sorted(set(cluster) - {"workers", "scheduler"})
    if unknown:
        raise ValueError(f"sweep file {str(path)!r}: unknown key {unknown[0]!r} in [cluster]")
    model_path = path.parent / data["model"]
    arguments = {
        "model": load_model(model_path),
        "grid": data["grid"],
        "replicates": data["replicates"],
        "mcs": data["mcs"],
        "measure": data["measures"],
        "seed": data["seed"],
    }
    return arguments, cluster


def summarize(table):
    """Mean, standard deviation and count of each measured column per grid point and time.

    Examples
    --------
    >>> summarize(table)   # doctest: +SKIP
    """
    ok = table[table["error"].isna()]
    keys = [c for c in table.columns if c not in ("replicate", "seed", "error")]
    position = keys.index("mcs") + 1
    groups, measured = keys[:position], keys[position:]
    numeric = [c for c in measured if ok[c].dtype.kind in "fiub"]
    if not numeric or ok.empty:
        return ok.groupby(groups).size().rename("runs").reset_index()
    summary = ok.groupby(groups)[numeric].agg(["mean", "std", "count"])
    summary.columns = [f"{column}_{stat}" for column, stat in summary.columns]
    return summary.reset_index()


def _connect(cluster, args, stack):
    """A client for the scheduler asked for; None lets the sweep run locally."""
    scheduler = args.scheduler or cluster.get("scheduler")
    if scheduler:
        import distributed

        return stack.enter_context(distributed.Client(scheduler))
    return None


def command(args):
    """Run the sweep of ``args.file`` into ``args.out``; returns the exit status."""
    from ._sweep_plan import make_plan
    from .sweep import sweep

    arguments, cluster = read_sweep_file(args.file)
    try:
        make_plan(**arguments)  # bad input fails here, before a cluster is started
    except TypeError as error:  # in a file, a value of the wrong kind is a bad value
        raise ValueError(f"sweep file {str(args.file)!r}: {error}") from None
    out = Path(args.out)
    with contextlib.ExitStack() as stack:
        client = _connect(cluster, args, stack)
        computed = []
        workers = args.workers or cluster.get("workers")
        table = sweep(**arguments, client=client, workers=workers, store=out, progress=not args.quiet,
                      on_run=lambda run, rows, seconds: computed.append(run.index))
    table.to_csv(out / "table.csv", index=False)
    summary = summarize(table)
    summary.to_csv(out / "summary.csv", index=False)
    n_runs = table.groupby([*arguments["grid"], "replicate"]).ngroups
    n_failed = int(table["error"].notna().sum())
    print(f"{n_runs} runs ({len(computed)} computed now, {n_runs - len(computed)} from the store), "
          f"{n_failed} failed; table: {out / 'table.csv'}, summary: {out / 'summary.csv'}")
    return 1 if n_failed else 0


def register(subparsers):
    """Add the ``sweep`` subcommand to the ``morva`` command line.

    Examples
    --------
    >>> import argparse
    >>> parser = argparse.ArgumentParser(prog="morva")
    >>> register(parser.add_subparsers(dest="command")).prog
    'morva sweep'
    """
    parser = subparsers.add_parser(
        "sweep",
        help="run a parameter sweep described by a sweep file (local processes, or Dask)",
        description="Run every grid point and replicate of a sweep file (up to 100 runs in local worker "
        "processes, more or with --scheduler on Dask), storing each finished run in DIR; run again on the "
        "same DIR to compute only what is missing.",
    )
    parser.add_argument("file", help="sweep file (TOML)")
    parser.add_argument("--out", required=True, metavar="DIR", help="store folder (created if needed)")
    parser.add_argument("--workers", type=int, help="local worker processes (default: one per core)")
    parser.add_argument("--scheduler", metavar="ADDRESS", help="address of a running Dask scheduler")
    parser.add_argument("--quiet", action="store_true", help="no progress bar")
    parser.set_defaults(func=command)
    return parser
