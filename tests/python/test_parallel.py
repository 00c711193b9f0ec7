"""The parallel sweep from Python: thread-count independence (in subprocesses, since the pool size is
read once per process), its refusals, and that it tracks the sequential dynamics."""

import os
import subprocess
import sys
import textwrap

import pytest

from morva_core import World

from conftest import fault_of, new_world, sorting_world

def test_arity():
    w = sorting_world(seed=1)
    with pytest.raises(TypeError) as info:
        w.step_parallel(1, 8, 3)
    assert str(info.value) == "World.step_parallel() takes from 2 to 3 positional arguments but 4 were given"
    with pytest.raises(TypeError) as info:
        w.step_parallel()
    assert str(info.value) == "World.step_parallel() missing 1 required positional argument: 'mcs'"

# Prints a hash of the snapshot and the tracked volumes after a few parallel steps. The layouts: the
# sorting tissue with block 8, and a periodic 48-wide box cut into three 16-wide tiles per axis (tiles
# 0 and 2 share a colour and touch across the wrapped face).
CHILD = textwrap.dedent(
    """
    import hashlib, sys
    sys.path.insert(0, {tests!r})
    from conftest import sorting_world
    from morva_core import World

    def digest(w):
        return hashlib.sha256(repr((w.snapshot(), w.cell_volumes(), w.cell_surfaces())).encode()).hexdigest()

    w = sorting_world(seed=5)
    w.step_parallel(6, block=8)
    print(digest(w))

    w = World((48, 48, 1), "periodic", 2, 8.0)
    for i in range(9):
        c = w.add_cell(1 + i % 2, 60.0, 1.0, 0.0, 0.0)
        x0, y0 = 2 + 16 * (i % 3), 2 + 16 * (i // 3)
        w.seed_block(c, x0, y0, 0, x0 + 12, y0 + 12, 1)
    w.set_contact(0, 1, 10.0); w.set_contact(0, 2, 10.0); w.set_contact(1, 2, 6.0)
    w.set_connectivity(1, True)
    w.finalize(9)
    w.step_parallel(8, block=16)
    print(digest(w))

    w = World((20, 20, 20), "periodic", 3, 8.0)
    for i in range(8):
        c = w.add_cell(1, 100.0, 1.0, 0.0, 0.0)
        x0, y0, z0 = 2 + 10 * (i % 2), 2 + 10 * (i // 2 % 2), 2 + 10 * (i // 4)
        w.seed_block(c, x0, y0, z0, x0 + 5, y0 + 5, z0 + 4)
    w.set_contact(0, 1, 12.0); w.set_contact(1, 1, 4.0)
    w.finalize(3)
    w.step_parallel(3, block=4)
    print(digest(w))
    """
)


def run_child(threads):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    script = CHILD.format(tests=os.path.dirname(__file__))
    done = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    return done.stdout.split()


def test_result_does_not_depend_on_the_thread_count():
    results = {threads: run_child(threads) for threads in (1, 2, 3, 8)}
    assert len(results[1]) == 3
    for threads in (2, 3, 8):
        assert results[threads] == results[1], f"{threads} threads differ from 1"


@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_fork_child_runs_the_sweep_without_hanging_on_the_parent_pool():
    if not hasattr(os, "fork"):
        pytest.skip("no fork")
    w = sorting_world(seed=2)
    w.step_parallel(1, block=8)  # the parent's pool now exists
    pid = os.fork()
    if pid == 0:
        try:
            w.step_parallel(2, block=8)
            os._exit(0)
        except BaseException:
            os._exit(1)
    _, status = os.waitpid(pid, 0)
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0


def tracked_volumes_match_snapshot(w):
    counts = [0] * (w.n_cells() + 1)
    for label in w.snapshot():
        counts[label] += 1
    return counts == w.cell_volumes()


def test_trackers_follow_the_grid_and_the_block_side_reaches_the_sweep():
    w = sorting_world(seed=4)
    for block in (2, 5, 16, 1000):
        w.step_parallel(2, block=block)
        assert tracked_volumes_match_snapshot(w)
    runs = {}
    for block in (4, 16):
        runs[block] = sorting_world(seed=4)
        runs[block].step_parallel(3, block=block)
    assert runs[4].snapshot() != runs[16].snapshot()


@pytest.mark.parametrize("block", [0, 1])
def test_block_below_two_is_refused_before_anything_changes(block):
    w = sorting_world(seed=1)
    before = w.snapshot()
    err = fault_of(lambda: w.step_parallel(1, block=block))
    assert err.args == ("block side must be >= 2",)
    assert w.snapshot() == before
    w.step_parallel(1, block=2)  # still usable


def test_length_constraint_is_refused_but_zero_strength_passes():
    w = sorting_world(seed=1)
    w.set_length_constraint(7, 5.0, 0.0)
    w.step_parallel(1)
    w.set_length_constraint(9, 5.0, 0.5)  # no cell has type 9: refused all the same
    err = fault_of(lambda: w.step_parallel(1))
    assert err.args == ("parallel sweep does not support the length constraint; use step()",)


def test_block_keyword_and_none():
    w = sorting_world(seed=1)
    w.step_parallel(mcs=1, block=8)
    with pytest.raises(TypeError, match=r"^argument 'block': "):
        w.step_parallel(1, block=None)
    with pytest.raises(RuntimeError, match=r"^call finalize\(\) first$"):
        new_world().step_parallel(1)
