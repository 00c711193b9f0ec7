"""Checkpoints restart a world bit for bit: a twin loaded from dumps() answers every later call exactly
as the original does, in the set-up and the finalized state, for every optional term and both sweeps."""

import importlib.util
import pathlib

import pytest

import morva_core
from morva import _native
from native_scenarios import SCENARIOS, replay, state, tissue


@pytest.mark.parametrize("name", sorted(SCENARIOS))
def test_a_twin_loaded_in_the_set_up_state_finalizes_and_runs_identically(name):
    build, parallel, n_fields = SCENARIOS[name]
    w = build()
    twin = _native.loads(_native.dumps(w))
    assert type(twin) is morva_core.World
    for world in (w, twin):
        world.finalize(2024)
        replay(world, parallel, n_fields)
    assert state(twin, n_fields) == state(w, n_fields)


@pytest.mark.parametrize("name", sorted(SCENARIOS))
def test_a_twin_loaded_after_divisions_and_removals_runs_identically(name):
    build, parallel, n_fields = SCENARIOS[name]
    w = build()
    w.finalize(77)
    replay(w, parallel, n_fields)
    twin = _native.loads(bytearray(_native.dumps(w)))
    assert state(twin, n_fields) == state(w, n_fields)
    for world in (w, twin):
        replay(world, parallel, n_fields)
    assert state(twin, n_fields) == state(w, n_fields)


def test_the_state_itself_comes_back():
    w = tissue()
    loaded = _native.loads(memoryview(_native.dumps(w)))
    assert loaded.add_cell(1, 9.0, 1.0, 0.0, 0.0) == w.add_cell(1, 9.0, 1.0, 0.0, 0.0)
    w.finalize(5)
    loaded = _native.loads(_native.dumps(w))
    with pytest.raises(RuntimeError, match="add_cell after finalize"):
        loaded.add_cell(1, 9.0, 1.0, 0.0, 0.0)
    assert loaded.dims() == w.dims() and loaded.n_cells() == w.n_cells()


def test_pending_contact_entries_are_kept_in_order():
    """Later entries win at finalize: the loaded list must keep both entries and their order."""
    w = tissue()
    w.set_contact(1, 2, 50.0)
    w.set_contact(2, 1, 0.5)
    twin = _native.loads(_native.dumps(w))
    for world in (w, twin):
        world.finalize(9)
        world.step(5)
    assert twin.snapshot() == w.snapshot()
    reordered = tissue()
    reordered.set_contact(2, 1, 0.5)
    reordered.set_contact(1, 2, 50.0)
    reordered.finalize(9)
    reordered.step(5)
    assert reordered.snapshot() != w.snapshot()


def test_the_generator_state_is_saved_not_the_seed():
    w = tissue()
    w.finalize(1)
    w.step(3)
    twin = _native.loads(_native.dumps(w))
    fresh = tissue()
    fresh.finalize(1)
    for world in (w, twin, fresh):
        world.step(4)
    assert twin.snapshot() == w.snapshot() != fresh.snapshot()


def test_equal_states_give_equal_bytes():
    a, b = tissue(), tissue()
    for world in (a, b):
        world.finalize(3)
        world.step(2)
    assert _native.dumps(a) == _native.dumps(b)
    assert _native.dumps(_native.loads(_native.dumps(a))) == _native.dumps(a)


def test_every_committed_corpus_checkpoint_loads_as_the_world_its_script_makes():
    """The fuzzer's seed checkpoints must stay readable: a format change that refuses them is deliberate
    (a new version read beside the old one, or the corpus rewritten by tests/fuzz/make_corpus.py)."""
    script = pathlib.Path(__file__).resolve().parents[1] / "fuzz" / "make_corpus.py"
    spec = importlib.util.spec_from_file_location("make_corpus", script)
    make_corpus = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(make_corpus)
    worlds = dict(make_corpus.worlds())
    assert sorted(worlds) == sorted(p.name for p in make_corpus.OUT.iterdir())
    for name, made in worlds.items():
        loaded = _native.loads((make_corpus.OUT / name).read_bytes())
        for query in ("snapshot", "cell_types", "cell_volumes", "cell_surfaces"):
            assert getattr(loaded, query)() == getattr(made, query)(), (name, query)
        assert _native.options(loaded) == _native.options(made), name
