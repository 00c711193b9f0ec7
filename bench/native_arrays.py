"""B2: labels() against snapshot(), and a checkpoint's dumps() + loads(), side by side in one run.

Run by hand after `make module`: .venv/bin/python bench/native_arrays.py [repeats]
"""

import statistics
import sys
import time

from morva import _native
from native_models import b2


def median_seconds(call, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        result = call()
        times.append(time.perf_counter() - start)
        del result
    return statistics.median(times)


def main(repeats=11):
    w = b2()
    w.step(5)  # warm-up: the cells have moved off the block grid
    labels = median_seconds(lambda: _native.labels(w), repeats)
    snapshot = median_seconds(w.snapshot, repeats)
    data = _native.dumps(w)
    dumps = median_seconds(lambda: _native.dumps(w), repeats)
    loads = median_seconds(lambda: _native.loads(data), repeats)
    round_trip = median_seconds(lambda: _native.loads(_native.dumps(w)), repeats)
    print(f"B2, medians of {repeats} runs")
    print(f"labels()   {labels * 1e3:8.3f} ms")
    print(f"snapshot() {snapshot * 1e3:8.3f} ms   snapshot / labels = {snapshot / labels:.0f}")
    print(f"dumps()    {dumps * 1e3:8.3f} ms   ({len(data) / 1e6:.2f} MB)")
    print(f"loads()    {loads * 1e3:8.3f} ms")
    print(f"loads(dumps()) {round_trip * 1e3:8.3f} ms")


if __name__ == "__main__":
    main(*(int(a) for a in sys.argv[1:]))
