"""Interleaved rounds of one or more benchmark builds, summarised side by side.

Each round runs every build once, one after the other, so that a build never gets a quieter
stretch of a shared machine than the others; the JSON of each run is kept in OUT and the medians,
minima and maxima of the counter over the rounds are printed as a table (bench/summarize.py).

Examples
--------
$ python bench/rounds.py --rounds 5 --filter '^(B1|B2)_(step|floor)/' --out /tmp/runs \\
      base=/tmp/base/build/morva_bench new=build/release/morva_bench
"""
import argparse
import pathlib
import statistics
import subprocess
import sys

import summarize


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("builds", nargs="+", help="benchmark binaries, optionally as label=path")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--filter", default=".", help="--benchmark_filter passed to every run")
    parser.add_argument("--out", type=pathlib.Path, required=True, help="folder for the JSON of each run")
    parser.add_argument("--counter", default="MCS/s")
    parser.add_argument("--ratio", action="append", default=[], metavar="STEP:FLOOR",
                        help="also print FLOOR's rate over STEP's, run by run (name prefixes)")
    args = parser.parse_args()
    args.out.mkdir(parents=True, exist_ok=True)
    runs = []
    for r in range(args.rounds):
        for spec in args.builds:
            label, _, binary = spec.rpartition("=")
            label = label or pathlib.Path(binary).name
            path = args.out / f"{label}-{r}.json"
            subprocess.run([binary, f"--benchmark_filter={args.filter}", "--benchmark_format=json",
                            f"--benchmark_out={path}", "--benchmark_out_format=json"],
                           check=True, stdout=subprocess.DEVNULL)
            runs.append(f"{label}={path}")
        print(f"round {r + 1} of {args.rounds} done", file=sys.stderr, flush=True)
    sys.argv = [sys.argv[0], *runs, "--counter", args.counter]
    summarize.main()
    for pair in args.ratio:
        print_ratio(runs, args.counter, *pair.split(":"))


def print_ratio(runs, counter, step, floor):
    """Time of `step` over time of `floor` (their rates inverted), each pair taken from one run."""
    by_label = {}
    for spec in runs:
        label, rows = summarize.load(spec)
        rate = {row["name"].split("/")[0]: float(row[counter]) for row in rows if counter in row}
        if step in rate and floor in rate:
            by_label.setdefault(label, []).append(rate[floor] / rate[step])
    for label, ratios in by_label.items():
        shown = ", ".join(f"{r:.2f}" for r in ratios)
        print(f"{step} / {floor} ({label}): median {statistics.median(ratios):.2f} ({shown})")


if __name__ == "__main__":
    main()
