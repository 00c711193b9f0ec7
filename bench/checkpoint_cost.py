"""What the default checkpoint interval costs: the time of one checkpoint against the interval.

A checkpoint copies the world on the engine thread and writes it (with the frames recorded so far)
on the writer thread. This times whole checkpoints, waited for, on the benchmark models of
recording_cost.py (B1: 2-D, 200 x 200; B2: 3-D, 100^3) after some steps, so the world and the
recording are those of a real run; waiting charges the writer's work to the run as if the machine
had no spare core. The cost of a period of P seconds is then (checkpoint time) / P.

    python bench/checkpoint_cost.py [--repeats 7] [--period 5]
"""

import argparse
import pathlib
import statistics
import sys
import tempfile
import time

import morva
from morva import recording

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from recording_cost import b1, b2  # noqa: E402


def checkpoint_seconds(model, mcs, repeats, every):
    with tempfile.TemporaryDirectory() as tmp:
        sim = model.build(seed=1)
        rec = sim.record(pathlib.Path(tmp) / "r", every=every, checkpoint_every=10**6 * every)
        start = time.perf_counter()
        sim.run(mcs, progress=False)
        per_mcs = (time.perf_counter() - start) / mcs
        times = []
        for _ in range(repeats):
            sim.run(every, progress=False)
            start = time.perf_counter()
            rec.checkpoint(sim, wait=True)
            times.append(time.perf_counter() - start)
        rec.close()
        return statistics.median(times), per_mcs


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--period", type=float, default=recording.CHECKPOINT_SECONDS)
    args = parser.parse_args()
    for name, model, mcs, every in (("B1", b1(), 100, 10), ("B2", b2(), 10, 10)):
        seconds, per_mcs = checkpoint_seconds(model, mcs, args.repeats, every)
        print(f"{name}: checkpoint {seconds * 1e3:.0f} ms (median of {args.repeats}), one MCS {per_mcs * 1e3:.0f} ms; "
              f"every {args.period:g} s costs {100 * seconds / args.period:.2f}%")


if __name__ == "__main__":
    main()
