"""The module, the class, construction, the two states and the transition between them."""

import copy
import pickle
import subprocess
import sys
import textwrap
import weakref

import pytest

import morva_core
from morva_core import World

from conftest import fault_of, new_world, two_cell_world


def run_python(code):
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    return result.stdout


# ------------------------------------------------------------------------------------------ module


def test_module_exports_only_world():
    assert morva_core.__all__ == ["World"]
    assert morva_core.__doc__ == ""
    assert morva_core.World is World
    assert not hasattr(morva_core, "PanicException")


def test_reinitialisation_returns_the_same_module():
    out = run_python(
        """
        import sys, morva_core
        first = morva_core
        del sys.modules["morva_core"]
        import morva_core
        print(first is morva_core, first.World is morva_core.World)
        """
    )
    assert out.split() == ["True", "True"]


def test_second_interpreter_gets_import_error(tmp_path):
    pytest.importorskip("_testcapi")
    out_file = tmp_path / "outcome"
    inner = (
        "try:\n    import morva_core\n    outcome = 'imported'\n"
        "except ImportError as e:\n    outcome = 'ImportError: ' + str(e)\n"
        f"open({str(out_file)!r}, 'w').write(outcome)\n"
    )
    out = run_python(f"import morva_core, _testcapi\nprint(_testcapi.run_in_subinterp({inner!r}))")
    assert out.strip() == "0"
    assert out_file.read_text().startswith("ImportError: morva_core cannot be loaded")


# ------------------------------------------------------------------------------------------- class


def test_class_carries_its_text_signature_and_no_other_documentation():
    assert World.__text_signature__ == "(dims, boundary, neighbor_order, temperature)"
    assert not World.__doc__
    assert World.__module__ == "morva_core"
    assert World.__qualname__ == "World"


def test_class_cannot_be_subclassed():
    with pytest.raises(TypeError, match="not an acceptable base type"):

        class Sub(World):
            pass


def test_instances_have_no_dict_weakrefs_pickling_or_copying():
    w = new_world()
    with pytest.raises(AttributeError):
        w.extra = 1
    assert not hasattr(w, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(w)
    for action in (pickle.dumps, copy.copy, copy.deepcopy):
        with pytest.raises(TypeError):
            action(w)


def test_default_identity_semantics():
    a, b = new_world(), new_world()
    assert a == a and a != b
    assert hash(a) != hash(b)
    assert repr(a).startswith("<morva_core.World object at")


# ------------------------------------------------------------------------------------ construction


@pytest.mark.parametrize("dims", [(4, 4, 1), (4, 4, 2), (1, 1, 1), (3, 5, 7)])
def test_construction_keeps_dims_and_starts_empty(dims):
    w = World(dims, "periodic", 1, 1.0)
    assert w.dims() == dims
    assert w.n_cells() == 0
    assert w.snapshot() == [0] * (dims[0] * dims[1] * dims[2])


def test_construction_by_keyword_and_int_temperature():
    w = World(temperature=10, neighbor_order=2, boundary="noflux", dims=(4, 4, 4))
    assert w.dims() == (4, 4, 4)


def test_two_and_three_dimensional_neighbourhoods():
    # Order 1 on one layer: 4 neighbours; on several layers: 6. A lone cell site's surface shows it.
    for dims, surface in [((4, 4, 1), 4), ((4, 4, 2), 6), ((4, 4, 3), 6)]:
        w = World(dims, "periodic", 1, 1.0)
        c = w.add_cell(1, 1.0, 1.0, 0.0, 0.0)
        w.seed_block(c, 1, 1, 0, 2, 2, 1)
        w.finalize(0)
        assert w.cell_surfaces()[c] == surface, dims


def test_boundary_is_checked_after_every_conversion():
    with pytest.raises(ValueError, match="^bad boundary Periodic$"):
        World((4, 4, 4), "Periodic", 1, 1.0)
    with pytest.raises(OverflowError):
        World((4, 4, 4), "x", 300, 1.0)
    with pytest.raises(TypeError, match="^argument 'temperature': "):
        World((4, 4, 4), "x", 1, "hot")


def test_oversized_box_is_an_internal_fault():
    err = fault_of(lambda: World((2**40, 2**40, 2**40), "periodic", 1, 1.0))
    assert err.args == ("capacity overflow",)


# -------------------------------------------------------------------------------------- state table


def test_state_table_in_the_setup_state():
    w = two_cell_world()
    with pytest.raises(RuntimeError, match="^call finalize\\(\\) first$"):
        w.step(1)
    assert w.snapshot()[:4] == [1, 1, 2, 2]
    w.set_contact(0, 1, 1.0)


def test_state_table_in_the_finalized_state():
    w = two_cell_world(seed=0)
    before = (w.snapshot(), w.cell_types(), w.n_cells())
    refusals = [
        (lambda: w.finalize(0), "already finalized"),
        (lambda: w.add_cell(1, 1.0, 1.0, 0.0, 0.0), "add_cell after finalize"),
        (lambda: w.seed_block(1, 0, 0, 0, 1, 1, 1), "seed after finalize"),
        (lambda: w.seed_from_labels([0] * 16, {}, 1, 1.0, 1.0), "seed after finalize"),
    ]
    for call, message in refusals:
        with pytest.raises(RuntimeError) as info:
            call()
        assert str(info.value) == message
    assert (w.snapshot(), w.cell_types(), w.n_cells()) == before
    w.set_contact(1, 1, 4.0)  # accepted silently; the matrix is already built
    w.step(1)


def test_bad_argument_is_reported_before_wrong_state():
    w = two_cell_world(seed=0)
    with pytest.raises(TypeError, match="^argument 'cell_type': "):
        w.add_cell("x", 1.0, 1.0, 0.0, 0.0)
    with pytest.raises(OverflowError):
        w.finalize(-1)
    s = two_cell_world()
    with pytest.raises(OverflowError):
        s.step(-1)


def test_negative_seed_leaves_the_setup_state():
    w = two_cell_world()
    with pytest.raises(OverflowError):
        w.finalize(-1)
    w.add_cell(1, 1.0, 1.0, 0.0, 0.0)
    w.finalize(0)
    w.step(1)


def test_finalize_with_nothing_registered():
    w = new_world()
    w.finalize(2**64 - 1)
    w.step(3)
    assert w.snapshot() == [0] * 16
    assert w.cell_volumes() == [16]


def run_trajectory(contacts, seed=3, mcs=30):
    w = new_world((8, 8, 1), "periodic", 2, 6.0)
    for t, x0 in [(1, 0), (2, 4)]:
        c = w.add_cell(t, 16.0, 1.0, 0.0, 0.0)
        w.seed_block(c, x0, 2, 0, x0 + 4, 6, 1)
    for entry in contacts:
        w.set_contact(*entry)
    w.finalize(seed)
    w.step(mcs)
    return w.snapshot()


def test_later_contact_entry_wins_in_both_orientations():
    base = [(0, 1, 9.0), (0, 2, 9.0)]
    assert run_trajectory(base + [(1, 2, 5.0), (2, 1, 7.0)]) == run_trajectory(base + [(1, 2, 7.0)])
    assert run_trajectory(base + [(1, 2, 5.0), (2, 1, 7.0)]) != run_trajectory(base + [(2, 1, 5.0)])


def test_contact_entries_are_kept_by_finalize_and_later_entries_are_ignored():
    # Entries after finalize must not change the dynamics.
    w1 = two_cell_world(seed=5)
    w2 = two_cell_world(seed=5)
    w2.set_contact(1, 2, 1000.0)
    w1.step(20)
    w2.step(20)
    assert w1.snapshot() == w2.snapshot()


def test_finalize_refused_for_lack_of_memory_leaves_the_set_up_state_whole():
    # A contact table over 20,000 types with entries (about 3.2 GB) cannot be allocated under a small
    # address-space limit; the world stays in the set-up state and every call behaves as there.
    out = run_python(
        """
        import resource
        from morva_core import World
        resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
        w = World((4, 4, 1), "periodic", 1, 1.0)
        for t in range(20000):
            w.set_contact(t, t, 1.0)
        try:
            w.finalize(0)
        except MemoryError:
            print("MemoryError")

        def outcome(call):
            try:
                result = call()
                return "ok" if result is None else "ok: " + repr(result)
            except BaseException as e:
                return type(e).__name__ + ": " + str(e)

        print(outcome(lambda: w.finalize(0)))
        print(outcome(lambda: w.step(1)))
        print(outcome(lambda: w.add_cell(1, 1.0, 1.0, 0.0, 0.0)))
        print(outcome(lambda: w.seed_block(1, 0, 0, 0, 1, 1, 1)))
        print(outcome(lambda: w.snapshot()[:2]))
        print(outcome(lambda: w.set_contact(1, 1, 1.0)))
        print(outcome(lambda: w.dims()))
        print(outcome(lambda: w.add_field("f", 0.1, 0.0)))
        print(outcome(lambda: w.advance_fields(1)))
        print(outcome(lambda: w.grow(1, 1.0)))
        """
    )
    assert out.splitlines() == [
        "MemoryError",
        "MemoryError: ",
        "RuntimeError: call finalize() first",
        "ok: 1",
        "ok",
        "ok: [1, 0]",
        "ok",
        "ok: (4, 4, 1)",
        "ok: 0",
        "ok",
        "ok",
    ]
