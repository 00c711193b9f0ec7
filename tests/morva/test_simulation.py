"""Runs: same dynamics as the engine, hooks at absolute steps, population edits, lineage, Ctrl-C."""

import pathlib
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest
from package_models import two_type_model


def test_runs_in_chunks_with_a_bar_equal_one_engine_step():
    plain = two_type_model().build(seed=5)
    plain.world.step(60)
    watched = two_type_model().build(seed=5)
    watched.add_hook(lambda s: None, every=7)
    watched.run(25, progress=True)
    watched.run(35, progress=True)
    assert watched.mcs == 60
    assert (watched.labels() == plain.labels()).all()


def test_parallel_runs_match_the_engine_parallel_sweep():
    sim = two_type_model().build(seed=2)
    sim.run(10, progress=False, parallel=True, block=8)
    engine = two_type_model().build(seed=2).world
    engine.step_parallel(10, block=8)
    assert sim.world.snapshot() == engine.snapshot()


def test_hooks_meet_absolute_steps_across_runs():
    sim = two_type_model().build(seed=1)
    seen, every_two = [], []
    sim.add_hook(lambda s: seen.append(s.mcs), every=3)
    sim.run(5, progress=False, every=2, hooks=lambda s: every_two.append(s.mcs))
    sim.run(5, progress=False)
    assert seen == [3, 6, 9]
    assert every_two == [2, 4]


def test_state_tables():
    sim = two_type_model().build(seed=1)
    sim.run(5, progress=False)
    cells = sim.cells()
    assert list(cells.columns) == ["type", "type_name", "volume", "surface", "target_volume", "lambda_volume",
                                   "target_surface", "lambda_surface", "com_x", "com_y", "com_z", "length", "dir_x", "dir_y",
                                   "dir_z", "force_x", "force_y", "force_z", "parent"]
    assert cells.index.tolist() == list(range(1, 17))
    assert cells["volume"].tolist() == sim.world.cell_volumes()[1:]
    assert (cells["type_name"] == cells["type"].map({1: "dark", 2: "light"})).all()
    labels = sim.labels()
    assert labels.shape == (1, 40, 40) and labels.dtype == np.uint32
    assert labels.ravel().tolist() == sim.world.snapshot()
    assert np.bincount(labels.ravel(), minlength=17)[1:].tolist() == cells["volume"].tolist()


def test_division_removal_and_lineage():
    sim = two_type_model().build(seed=1)
    sim.run(2, progress=False)
    big = sim.cell_ids()
    daughters = sim.divide(threshold=1, reset_target=12)
    assert daughters.tolist() == list(range(17, 33))
    lineage = sim.lineage
    assert lineage["parent"].tolist() == big.tolist() and lineage["daughter"].tolist() == daughters.tolist()
    assert (lineage["mcs"] == 2).all()
    cells = sim.cells()
    assert cells.loc[daughters, "parent"].tolist() == big.tolist()
    assert (cells.loc[big, "target_volume"] == 12).all()
    sim.remove([1, 17, 17])
    assert sim.n_cells == 30 and sim.world.n_cells() == 32
    assert 1 not in sim.cell_ids() and len(sim.cells(include_removed=True)) == 32
    sim.retype(sim.cell_ids("dark"), "light")
    assert sim.cell_ids("dark").size == 0
    sim.grow("light", 3)
    assert (sim.cells()["target_volume"] == 15).all()


@pytest.mark.parametrize("call, error, words", [
    (lambda s: s.remove([0]), ValueError, "no cell with id 0"),
    (lambda s: s.retype([99], "dark"), ValueError, "no cell with id 99"),
    (lambda s: s.retype([1], "medium"), ValueError, "cannot take the medium's type"),
    (lambda s: s.retype([1], "ghost"), KeyError, "unknown cell type 'ghost'"),
    (lambda s: s.set_target_volume([1.5], 3), ValueError, "cell ids must be integers"),
    (lambda s: s.set_target_volume([1], -3), ValueError, "target volume must be greater than 0"),
    (lambda s: s.divide(0), ValueError, "division threshold must be greater than 0"),
    (lambda s: s.grow("dark", float("nan")), ValueError, "grow amount must be finite"),
    (lambda s: s.field("ghost"), KeyError, "unknown field 'ghost'"),
    (lambda s: s.run(-1), ValueError, "mcs must be at least 0"),
    (lambda s: s.run(1, block=1, parallel=True), ValueError, "block must be at least 2"),
    (lambda s: s.run(1, every=2), ValueError, "every is the period of hooks"),
    (lambda s: s.run(1, hooks=[3]), ValueError, "a hook must be callable"),
    (lambda s: s.add_hook(print, every=0), ValueError, "hook period must be at least 1"),
])
def test_bad_calls_are_refused_before_the_engine(call, error, words):
    sim = two_type_model().build(seed=1)
    before = sim.world.snapshot()
    with pytest.raises(error) as caught:
        call(sim)
    assert words in str(caught.value)
    assert sim.world.snapshot() == before and sim.mcs == 0


def test_parallel_refused_for_the_length_term():
    model = two_type_model().with_parameters({"type:dark:lambda_length": 1.0, "type:dark:length": 6.0})
    with pytest.raises(ValueError, match="does not support the length term"):
        model.build().run(1, parallel=True)


CTRL_C_SCRIPT = textwrap.dedent("""
    import signal, sys
    signal.signal(signal.SIGINT, signal.default_int_handler)  # also when started with SIGINT ignored
    sys.path.insert(0, {tests!r})
    from package_models import two_type_model
    model = two_type_model(side=200)
    sim = model.build(seed=9)
    print("running", flush=True)
    try:
        sim.run(10**7, progress=False)
    except KeyboardInterrupt:
        pass
    stopped = sim.mcs
    sim.run(3, progress=False)
    fresh = model.build(seed=9)
    fresh.run(stopped + 3, progress=False)
    print(stopped, (fresh.labels() == sim.labels()).all(), flush=True)
""")


def test_ctrl_c_stops_at_a_whole_step_and_the_run_goes_on(tmp_path):
    script = tmp_path / "stop.py"
    script.write_text(CTRL_C_SCRIPT.format(tests=str(pathlib.Path(__file__).parent)))
    child = subprocess.Popen([sys.executable, str(script)], stdout=subprocess.PIPE, text=True)
    assert child.stdout.readline().strip() == "running"
    time.sleep(1.0)
    child.send_signal(signal.SIGINT)
    out, _ = child.communicate(timeout=120)
    stopped, same = out.split()
    assert int(stopped) > 0 and same == "True"


def test_one_simulation_runs_in_one_thread_at_a_time(tmp_path):
    import threading

    sim = two_type_model().build()
    sim.record(tmp_path / "rec")
    inside, release = threading.Event(), threading.Event()

    def wait(s):
        inside.set()
        release.wait(60)

    first = threading.Thread(target=sim.run, args=(3,), kwargs={"progress": False, "hooks": wait})
    first.start()
    assert inside.wait(60)
    try:
        with pytest.raises(RuntimeError, match="Simulation.run is already running .*one at a time"):
            sim.run(2, progress=False)
    finally:
        release.set()
        first.join(60)
    sim.recorder.close()
    from morva import open_recording

    rec = open_recording(tmp_path / "rec")
    assert sim.mcs == 3 and rec.times.tolist() == [0, 1, 2, 3]
