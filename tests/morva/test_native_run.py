"""run(): the dynamics of step and step_parallel, without the interpreter lock, stopped by Ctrl-C after
whole steps, and exclusive: other threads see the world borrowed until it returns."""

import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from morva import _native
from native_scenarios import SCENARIOS, tissue


def finalized(name="fields", seed=31):
    build, _, _ = SCENARIOS[name]
    w = build()
    w.finalize(seed)
    return w


@pytest.mark.parametrize("name", ["fields", "terms", "cubes_3d"])
def test_run_is_step_bit_for_bit(name):
    w, twin = finalized(name), finalized(name)
    _native.run(w, 7)
    twin.step(7)
    assert _native.dumps(w) == _native.dumps(twin)


@pytest.mark.parametrize("block", [3, 16])
def test_a_parallel_run_is_step_parallel_bit_for_bit(block):
    w, twin, split = finalized("cubes_3d"), finalized("cubes_3d"), finalized("cubes_3d")
    _native.run(w, 5, parallel=True, block=block)
    twin.step_parallel(5, block)
    assert _native.dumps(w) == _native.dumps(twin)
    # Five steps in one call are not five calls of one step: each call draws its own sweep seed.
    for _ in range(5):
        split.step_parallel(1, block)
    assert _native.dumps(split) != _native.dumps(w)


def test_run_refuses_what_step_refuses():
    with pytest.raises(RuntimeError, match="call finalize"):
        _native.run(tissue(), 1)
    w = finalized("terms")
    with pytest.raises(BaseException, match="length constraint") as info:
        _native.run(w, 1, parallel=True)
    assert type(info.value).__name__ == "PanicException"
    with pytest.raises(BaseException, match="block side must be >= 2"):
        _native.run(finalized(), 1, parallel=True, block=1)
    with pytest.raises(TypeError):
        _native.run(finalized(), 1, True)
    with pytest.raises(OverflowError):
        _native.run(finalized(), -1)
    # A refused parallel run draws its sweep seed as step_parallel does, so the worlds stay twins.
    w, twin = finalized(), finalized()
    _native.run(w, 0, parallel=True)
    twin.step_parallel(0)
    assert _native.dumps(w) == _native.dumps(twin)


def long_world():
    w = tissue((64, 64, 1), size=6)
    w.finalize(5)
    return w


def test_the_world_is_borrowed_while_the_lock_is_released():
    w = long_world()
    runner = threading.Thread(target=_native.run, args=(w, 4000))
    runner.start()
    seen = set()
    deadline = time.monotonic() + 60
    while runner.is_alive() and len(seen) < 3 and time.monotonic() < deadline:
        for call in (lambda: w.step(1), w.snapshot, lambda: _native.labels(w)):
            try:
                call()
            except RuntimeError as e:
                seen.add((call, str(e)))
    runner.join()
    # This thread ran while the other was inside run(): the lock was released, and every call was refused.
    assert {text for _, text in seen} == {"Already borrowed", "Already mutably borrowed"}
    assert len(seen) == 3
    twin = long_world()
    twin.step(4000)
    assert w.snapshot() == twin.snapshot()


@pytest.mark.parametrize("parallel", [False, True])
def test_two_threads_run_two_worlds_as_one_after_the_other_would(parallel):
    worlds = [finalized("cubes_3d", seed) for seed in (1, 2)]
    threads = [threading.Thread(target=_native.run, args=(w, 30), kwargs={"parallel": parallel, "block": 4})
               for w in worlds]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for seed, w in zip((1, 2), worlds):
        alone = finalized("cubes_3d", seed)
        _native.run(alone, 30, parallel=parallel, block=4)
        assert _native.dumps(w) == _native.dumps(alone)


# Both modules step the same process: the second parallel run must find the pool the first started.
ONE_POOL_CHILD = textwrap.dedent("""
    import os, sys
    sys.path.insert(0, {here!r})
    from morva import _native
    from native_scenarios import tissue

    def world():
        w = tissue((32, 32, 1), size=6)
        w.finalize(5)
        return w

    def threads():
        return len(os.listdir("/proc/self/task"))

    before = threads()
    world().step_parallel(2, 8)
    after_core = threads()
    _native.run(world(), 2, parallel=True, block=8)
    print(after_core - before, threads() - after_core)
""")


def test_both_modules_share_one_worker_pool():
    code = ONE_POOL_CHILD.format(here=os.path.dirname(__file__))
    env = dict(os.environ, RAYON_NUM_THREADS="4")
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True).stdout
    assert out.split() == ["3", "0"]


CHILD = textwrap.dedent("""
    import signal, sys
    signal.signal(signal.SIGINT, signal.default_int_handler)  # also when started with SIGINT ignored
    sys.path.insert(0, {here!r})
    from morva import _native
    from native_scenarios import tissue

    def world():
        w = tissue((64, 64, 1), size=6)
        w.finalize(5)
        return w

    parallel = {parallel}
    w = world()
    print("ready", flush=True)
    try:
        _native.run(w, 10**7, parallel=parallel, block=8)
    except KeyboardInterrupt as e:
        k = e.mcs_done
        twin = world()
        if parallel:
            twin.step_parallel(k, 8)
        else:
            twin.step(k)
        print(k, _native.dumps(twin) == _native.dumps(w), flush=True)
""")


@pytest.mark.parametrize("parallel", [False, True])
def test_ctrl_c_stops_after_whole_steps(parallel):
    code = CHILD.format(here=os.path.dirname(__file__), parallel=parallel)
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True)
    assert child.stdout.readline().strip() == "ready"
    time.sleep(0.5)
    child.send_signal(signal.SIGINT)
    out, _ = child.communicate(timeout=120)
    done, same = out.split()
    assert 0 < int(done) < 10**7
    assert same == "True"
