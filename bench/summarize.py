"""Median and spread of benchmark counters over repeated runs, one table row per benchmark.

Each argument is a JSON file written by ``morva_bench --benchmark_format=json``; runs of several builds
can be given as ``label=file`` so that their rows sit side by side.

Examples
--------
$ python bench/summarize.py new=run1.json new=run2.json new=run3.json --counter MCS/s
"""
import argparse
import json
import statistics
from collections import defaultdict


def load(spec):
    label, _, path = spec.rpartition("=")
    with open(path) as f:
        return label or "build", json.load(f)["benchmarks"]


def collect(specs, counter):
    values = defaultdict(list)
    for spec in specs:
        label, rows = load(spec)
        for row in rows:
            if row.get("run_type") == "aggregate" or counter not in row:
                continue
            values[(row["name"], label)].append(float(row[counter]))
    return values


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("runs", nargs="+", help="JSON files, optionally as label=file")
    parser.add_argument("--counter", default="MCS/s")
    args = parser.parse_args()
    values = collect(args.runs, args.counter)
    print(f"| benchmark | build | runs | median {args.counter} | min | max | spread (max/min) |")
    print("|---|---|---|---|---|---|---|")
    for (name, label), v in sorted(values.items()):
        print(f"| {name} | {label} | {len(v)} | {statistics.median(v):.4g} | {min(v):.4g} | {max(v):.4g} "
              f"| {max(v) / min(v) if min(v) > 0 else float('nan'):.2f} |")


if __name__ == "__main__":
    main()
