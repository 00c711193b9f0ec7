"""Two B1 worlds run with run(parallel=False) from two Python threads against the same two runs one
after the other: the throughput ratio shows whether the runs hold the interpreter lock.

Run by hand after `make module`: .venv/bin/python bench/native_threads.py [mcs] [repeats]
"""

import statistics
import sys
import threading
import time

from morva import _native
from native_models import b1


def one_after_the_other(worlds, mcs):
    start = time.perf_counter()
    for w in worlds:
        _native.run(w, mcs)
    return time.perf_counter() - start


def on_two_threads(worlds, mcs):
    threads = [threading.Thread(target=_native.run, args=(w, mcs)) for w in worlds]
    start = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return time.perf_counter() - start


def main(mcs=200, repeats=5):
    worlds = [b1(1), b1(2)]
    for w in worlds:
        _native.run(w, 20)  # warm-up
    serial, threaded = [], []
    for _ in range(repeats):  # alternated, so that drift of the shared machine hits both alike
        serial.append(one_after_the_other(worlds, mcs))
        threaded.append(on_two_threads(worlds, mcs))
    s, t = statistics.median(serial), statistics.median(threaded)
    print(f"B1, 2 worlds x {mcs} MCS, medians of {repeats} runs")
    print(f"one after the other: {s:.3f} s ({2 * mcs / s:.0f} MCS/s)")
    print(f"two threads:         {t:.3f} s ({2 * mcs / t:.0f} MCS/s)")
    print(f"throughput ratio:    {s / t:.2f}")


if __name__ == "__main__":
    main(*(int(a) for a in sys.argv[1:]))
