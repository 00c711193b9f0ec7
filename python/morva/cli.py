"""The `morva` command: `morva run` runs a model file into a recording, `morva info` summarises one.

Further subcommands come from the modules listed in SUBCOMMAND_MODULES, each with a
``register(subparsers)`` function that adds its parser and sets ``func`` on it.
"""

import argparse
import importlib
import pathlib
import sys
import warnings

SUBCOMMAND_MODULES = ["morva._sweep_cli", "morva.viz.movie", "morva.view"]


def cmd_run(args):
    """`morva run MODEL --mcs N --out DIR`: run a model file, or resume DIR to N steps in all."""
    from .model import load_model
    from .reader import resume

    from .simulation import check_parallel

    model = load_model(args.model)
    model.check_contacts(str(args.model))
    if args.parallel:
        check_parallel(model)  # before a recording is made or resumed
    if args.resume:
        sim = resume(args.out)
        if sim.model != model:
            raise ValueError(f"{args.model} is not the model recorded in {args.out}; resume with the same file")
        if args.every is not None and args.every != sim.recorder.every:
            raise ValueError(f"{args.out} records every {sim.recorder.every} MCS; --every cannot change on resume")
        remaining = args.mcs - sim.mcs
        if remaining < 0:
            raise ValueError(f"{args.out} is already at MCS {sim.mcs}, beyond --mcs {args.mcs}")
        print(f"resuming {args.out} at MCS {sim.mcs}", file=sys.stderr)
        view = sim.view(every=args.view_every) if args.view else None
    else:
        sim = model.build(args.seed)
        view = sim.view(every=args.view_every) if args.view else None  # refused before anything is written
        sim.record(args.out, every=args.every or 1, checkpoint_every=args.checkpoint_every, overwrite=args.overwrite)
        remaining = args.mcs
    if not args.quiet:
        print(f"recording into {args.out}: {_periods(sim.recorder)}", file=sys.stderr)
    sim.recorder.info["target_mcs"] = args.mcs
    try:
        sim.run(remaining, progress=not args.quiet, parallel=args.parallel)
    except KeyboardInterrupt:
        sim.recorder.close()
        print(f"stopped at MCS {sim.mcs}; continue with: morva run {args.model} --mcs {args.mcs} "
              f"--out {args.out} --resume", file=sys.stderr)
        return 130
    sim.recorder.close()
    print(f"{args.out}: MCS {sim.mcs}, {sim.n_cells} cells", file=sys.stderr)
    if view is not None:
        view.wait_closed(sim)
    return 0


def _periods(recorder):
    """How often a recording stores frames and checkpoints, in words.

    Examples
    --------
    >>> import types
    >>> _periods(types.SimpleNamespace(every=10, checkpoint_every=None))
    'a frame every 10 MCS, a checkpoint every 5 s of running (at the next frame) and at the end'
    """
    from .recording import CHECKPOINT_SECONDS

    checkpoints = (f"every {recorder.checkpoint_every} MCS" if recorder.checkpoint_every is not None
                   else f"every {CHECKPOINT_SECONDS:g} s of running (at the next frame)")
    return f"a frame every {recorder.every} MCS, a checkpoint {checkpoints} and at the end"


def summary(directory):
    """Lines describing a recording.

    Examples
    --------
    >>> summary("/nonexistent")
    Traceback (most recent call last):
    ...
    ValueError: '/nonexistent' does not exist
    """
    from .reader import open_recording

    rec = open_recording(directory)
    info = rec.info
    model = rec.model
    lines = [
        f"recording   {directory}",
        f"lattice     {' x '.join(map(str, model.shape))}, {model.boundary}, neighbourhood order "
        f"{model.neighborhood}, temperature {model.temperature:g}",
        f"cell types  {', '.join(rec.type_names[1:]) or 'none'}",
        f"fields      {', '.join(info.get('fields', [])) or 'none'}",
        *(["activity    the Act model's activity in every frame"] if info.get("activity") else []),
        f"seed        {info['seed']}",
        f"frames      {len(rec)} every {info['every']} MCS"
        + (f", MCS {rec.times[0]} to {rec.times[-1]}" if len(rec) else ""),
        f"checkpoint  {'MCS ' + str(info['checkpoint_mcs']) if info.get('checkpoint_mcs') is not None else 'none'}",
    ]
    if "target_mcs" in info:
        lines.append(f"target      MCS {info['target_mcs']}")
    if len(rec.cells):
        last = rec.cells[rec.cells["time"] == rec.cells["time"].max()]
        counts = last.groupby("type_name").size()
        lines.append(f"cells       {len(last)} at MCS {int(last['time'].iloc[0])} ("
                     + ", ".join(f"{n} {name}" for name, n in counts.items()) + ")")
    lines.append(f"divisions   {len(rec.lineage)}")
    size = sum(p.stat().st_size for p in pathlib.Path(directory).rglob("*") if p.is_file())
    lines.append(f"size        {size / 2**20:.1f} MiB")
    return lines


def cmd_info(args):
    """`morva info DIR`: print a summary of a recording; with --check, verify every piece's checksum first."""
    if args.check:
        from ._manifest import problems
        from .recording import read_run_info

        info = read_run_info(args.directory)
        found = problems(args.directory, info, checksums=True)
        if found:
            print("\n".join(f"{args.directory}: {line}" for line in found), file=sys.stderr)
            return 1
        if "pieces" not in info:
            print(f"{args.directory}: written by an older morva: it lists no pieces to verify", file=sys.stderr)
    print("\n".join(summary(args.directory)))
    if args.check:
        print(f"checked     {len(info.get('pieces', {}))} pieces: all whole")
    return 0


def build_parser():
    """The argument parser with every subcommand.

    Examples
    --------
    >>> build_parser().parse_args(["info", "out"]).directory
    'out'
    """
    parser = argparse.ArgumentParser(prog="morva", description="Cellular Potts models: run and inspect recordings.")
    sub = parser.add_subparsers(dest="command", required=True)
    run = sub.add_parser("run", help="run a model file and record it")
    run.add_argument("model", help="model file (TOML)")
    run.add_argument("--mcs", type=int, required=True, help="Monte Carlo steps in all (also when resuming)")
    run.add_argument("--out", required=True, help="recording folder")
    run.add_argument("--every", type=int, default=None, help="record a frame every K MCS (default 1)")
    run.add_argument("--seed", type=int, default=0, help="random seed (default 0)")
    run.add_argument("--checkpoint-every", type=int, default=None, help="checkpoint every C MCS (a multiple of K)")
    run.add_argument("--resume", action="store_true", help="continue the recording in --out from its checkpoint")
    run.add_argument("--overwrite", action="store_true", help="replace an existing recording in --out")
    run.add_argument("--parallel", action="store_true", help="use the parallel sweep")
    run.add_argument("--quiet", action="store_true", help="no progress bar and no recording summary")
    run.add_argument("--view", action="store_true", help="show the run in napari as it goes (needs the view extra)")
    run.add_argument("--view-every", type=int, default=None, help="refresh the view every V MCS (default 10)")
    run.set_defaults(func=cmd_run)
    info = sub.add_parser("info", help="summarise a recording")
    info.add_argument("directory", help="recording folder")
    info.add_argument("--check", action="store_true",
                      help="verify the size and checksum of every piece; exit status 1 when one is missing or damaged")
    info.set_defaults(func=cmd_info)
    for name in SUBCOMMAND_MODULES:
        try:
            module = importlib.import_module(name)
        except ModuleNotFoundError as err:
            if err.name is not None and name.startswith(err.name):
                continue  # that subcommand is not installed
            raise
        module.register(sub)
    return parser


def main(argv=None):
    """Entry point of the `morva` console script; returns the exit status.

    Examples
    --------
    >>> main(["info", "/nonexistent"])
    2
    """
    args = build_parser().parse_args(argv)

    def show_warning(message, category, filename, lineno, file=None, line=None):
        print(f"morva {args.command}: warning: {message}", file=sys.stderr)

    try:
        with warnings.catch_warnings():
            warnings.showwarning = show_warning  # one line naming the file, not this package's source
            return args.func(args)
    except (ValueError, KeyError, OSError, RuntimeError) as err:
        message = err.args[0] if isinstance(err, KeyError) and err.args else err
        print(f"morva {args.command}: error: {message}", file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main())
