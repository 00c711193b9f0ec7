"""Slowdown of a run shown live in napari (sim.view() at its default refresh).

Each repetition runs the same MCS from the same start without and with the view, one after the
other, so the ratio compares like with like on a shared machine; the script prints the medians of
the wall-clock ratio and of the CPU-time ratio (the process's time, Mesa's drawing threads
included), which other programs on the machine disturb less.
Needs the view extra and a display (or Xvfb: ``xvfb-run python bench/view_cost.py``).

    python bench/view_cost.py [--repeats 5] [--mcs 1500] [--model examples/models/cell_sorting.toml]
"""

import argparse
import statistics
import time

import morva


def timed(model, mcs, view):
    sim = model.build(seed=1)
    shown = sim.view() if view else None
    start, cpu = time.perf_counter(), time.process_time()
    sim.run(mcs, progress=False)
    seconds, cpu = time.perf_counter() - start, time.process_time() - cpu
    if shown is not None:
        shown.close()
    return seconds, cpu, shown.refreshes - 1 if shown else 0  # less the drawing before the run


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--mcs", type=int, default=1500)
    parser.add_argument("--model", default="examples/models/cell_sorting.toml")
    args = parser.parse_args()
    model = morva.load_model(args.model)
    timed(model, 5, view=True)  # napari's first window costs seconds of imports and set-up
    walls, cpus, refreshes = [], [], []
    for _ in range(args.repeats):
        plain, plain_cpu, _ = timed(model, args.mcs, view=False)
        viewed, viewed_cpu, drawn = timed(model, args.mcs, view=True)
        walls.append(viewed / plain)
        cpus.append(viewed_cpu / plain_cpu)
        refreshes.append(drawn)
        print(f"plain {plain:.2f} s ({plain_cpu:.2f} s CPU), viewed {viewed:.2f} s ({viewed_cpu:.2f} s CPU), "
              f"{drawn} refreshes")
    print(f"median slowdown: wall clock {100 * (statistics.median(walls) - 1):.1f}%, "
          f"CPU time {100 * (statistics.median(cpus) - 1):.1f}% ({statistics.median(refreshes)} refreshes "
          f"in {args.mcs} MCS)")


if __name__ == "__main__":
    main()
