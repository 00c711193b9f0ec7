"""Faults found by hostile probes: hangs on empty boxes, lying lengths, empty-axis accessors,
diagnostic paths and memory over many failing calls. Each test pins one mended fault."""

import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

from conftest import fault_of, new_world

ROOT = pathlib.Path(__file__).resolve().parents[2]


def finishes(code, timeout=60):
    """Runs `code` in a fresh interpreter; a hang becomes a failed test, not a stalled suite."""
    try:
        done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                              timeout=timeout)
    except subprocess.TimeoutExpired:
        pytest.fail(f"did not finish within {timeout} s:\n{code}")
    assert done.returncode == 0, done.stderr
    return done.stdout


class Liar:
    """A sequence whose __len__ claims far more items than it yields."""

    def __init__(self, items, claimed):
        self.items = list(items)
        self.claimed = claimed

    def __len__(self):
        return self.claimed

    def __getitem__(self, i):
        return self.items[i]


class TestEmptyBoxes:
    def test_empty_axis_with_huge_other_sides_builds_at_once(self):
        out = finishes("""
            from morva_core import World
            w = World((0, 2**32, 2**32), "periodic", 1, 1.0)
            print(w.dims(), len(w.snapshot()))
        """)
        assert out.split() == ["(0,", "4294967296,", "4294967296)", "0"]

    @pytest.mark.parametrize("dims", [(1, 0, 2**40), (2**40, 1, 0), (0, 2**20, 2**20)])
    def test_every_operation_on_an_empty_box_returns_at_once(self, dims):
        out = finishes(f"""
            from morva_core import World
            w = World({dims}, "periodic", 3, 1.0)
            c = w.add_cell(1, 1.0, 1.0, 0.0, 0.0)
            w.add_field("c", 0.1, 0.01)
            w.remove_cells([c])
            print(w.divide_cells(0.0, 1.0), w.cell_contact_area_by_type(c))
            w.finalize(1)
            w.remove_cells([c])
            print(w.divide_cells(0.0, 1.0), w.cell_contact_area_by_type(0))
            w.step(3)
            w.step_parallel(2, 2)
            w.advance_fields(2)
            print(w.cell_volumes(), w.cell_surfaces(), len(w.snapshot()), w.field_conc(0))
        """)
        assert out.splitlines() == ["[2] {}", "[3, 4] {}", "[0, 0, 0, 0, 0] [0, 0, 0, 0, 0] 0 []"]

    def test_side_of_two_to_the_sixty_three_is_an_empty_box(self):
        w = new_world((2**63, 0, 2), "noflux", 3)
        assert w.snapshot() == []
        w.finalize(1)
        w.step(2)
        assert w.cell_volumes() == [0]

    def test_any_number_of_steps_on_an_empty_box_returns_at_once(self):
        finishes("""
            from morva_core import World
            w = World((0, 4, 1), "periodic", 1, 1.0)
            w.add_field("c", 0.1, 0.01)
            w.finalize(1)
            w.step(2**63)
            w.step_parallel(2**63, 2)
        """, timeout=30)

    def test_box_that_cannot_exist_is_a_capacity_fault(self):
        assert "capacity overflow" in str(fault_of(lambda: new_world((2**63, 2, 2))))


class TestLyingLength:
    @pytest.mark.parametrize("claimed", [2**40, 2**62, sys.maxsize])
    def test_remove_cells_reads_what_is_there(self, claimed):
        w = new_world((4, 4, 1))
        a = w.add_cell(1, 4.0, 1.0, 0.0, 0.0)
        w.seed_block(a, 0, 0, 0, 2, 2, 1)
        w.finalize(1)
        w.remove_cells(Liar([a], claimed))
        assert w.cell_volumes()[a] == 0

    @pytest.mark.parametrize("claimed", [2**40, 2**62])
    def test_set_membrane_reads_what_is_there(self, claimed):
        w = new_world((4, 4, 1))
        w.set_membrane(Liar([0, 5], claimed), 1.0, 2.0)
        w.finalize(1)
        w.step(1)

    @pytest.mark.parametrize("claimed", [2**40, 2**62])
    def test_seed_from_labels_reads_what_is_there(self, claimed):
        w = new_world((2, 2, 1))
        made = w.seed_from_labels(Liar([0, 7, 7, 9], claimed), {}, 1, 2.0, 1.0)
        assert made == {7: 1, 9: 2}
        assert w.snapshot() == [0, 1, 1, 2]

    def test_short_image_keeps_its_documented_fault(self):
        w = new_world((2, 2, 1))
        fault = fault_of(lambda: w.seed_from_labels(Liar([1, 1], 2**40), {}, 1, 2.0, 1.0))
        assert "labels length must equal n_sites: 2 != 4" in str(fault)


class TestClampedAccessorsOnEmptyAxis:
    @pytest.mark.parametrize("dims", [(0, 4, 1), (4, 0, 1), (4, 4, 0)])
    def test_both_accessors_refuse_a_field_without_sites(self, dims):
        w = new_world(dims)
        f = w.add_field("c", 0.1, 0.0)
        with pytest.raises(ValueError, match="field_value_at: field 0 has no sites"):
            w.field_value_at(f, 0, 0, 0)
        with pytest.raises(ValueError, match="field_add_source_at: field 0 has no sites"):
            w.field_add_source_at(f, 9, 9, 9, 1.0)
        assert w.field_conc(f) == []

    def test_a_bad_field_index_is_still_the_engine_fault(self):
        w = new_world((0, 4, 1))
        assert "the len is 0 but the index is 3" in str(fault_of(lambda: w.field_value_at(3, 0, 0, 0)))

    def test_clamping_still_applies_on_a_box_with_sites(self):
        w = new_world((3, 2, 1))
        f = w.add_field("c", 0.0, 0.0)
        w.field_add_source_at(f, 99, 99, 99, 2.5)
        assert w.field_value_at(f, 2, 1, 0) == 2.5
        assert w.field_conc(f)[-1] == 2.5


def test_fault_diagnostic_names_a_file_of_the_project(capfd):
    w = new_world()
    fault_of(lambda: w.set_cell_type(99, 1))
    line = capfd.readouterr().err.strip().splitlines()[-1]
    assert line.startswith("morva_core: internal fault at src/")
    path = line.removeprefix("morva_core: internal fault at ").split(":")[0]
    assert (ROOT / path).is_file(), line


FAILING_CALLS = """
    import os, sys
    from morva_core import World

    class Liar:
        def __len__(self):
            return 2**40
        def __getitem__(self, i):
            return [1, 2][i]

    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    setup = World((4, 4, 1), "periodic", 1, 1.0)
    done = World((4, 4, 1), "periodic", 1, 1.0)
    done.add_field("c", 0.1, 0.0)
    done.finalize(1)
    flat = World((0, 4, 1), "periodic", 1, 1.0)
    flat.add_field("c", 0.1, 0.0)
    calls = [
        lambda: setup.step(1),                                 # RuntimeError: not finalized
        lambda: setup.add_cell("x", 1.0, 1.0, 0.0, 0.0),       # TypeError, renamed
        lambda: setup.finalize(-1),                            # OverflowError
        lambda: setup.seed_block(9, 0, 0, 0, 1, 1, 1),         # ValueError: no record
        lambda: setup.seed_from_labels(Liar(), {}, 1, 1.0, 1.0),  # internal fault: short image
        lambda: done.set_cell_type(99, 1),                     # internal fault: no such cell
        lambda: done.add_cell(1, 1.0, 1.0, 0.0, 0.0),          # RuntimeError: after finalize
        lambda: flat.field_value_at(0, 1, 1, 1),               # ValueError: no sites
        lambda: done.remove_cells("12"),                       # TypeError: str
        lambda: done.step_parallel(1, 1),                      # internal fault: block
    ]

    def fail_many(n):
        for i in range(n):
            try:
                calls[i % len(calls)]()
            except BaseException:
                pass
            else:
                raise SystemExit(f"call {i % len(calls)} did not fail")

    fail_many(10_000)
    before = rss()
    fail_many(100_000)
    print(before, rss())
"""


@pytest.mark.skipif(bool(os.environ.get("MORVA_SANITIZED")), reason="the sanitizers' allocator keeps freed memory")
def test_memory_stays_flat_over_a_hundred_thousand_failing_calls():
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(FAILING_CALLS)], capture_output=True, text=True,
                          stdin=subprocess.DEVNULL, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr[-2000:]
    before, after = map(int, done.stdout.split())
    assert after - before < 1 << 20, f"resident set grew by {after - before} bytes"


def stepped_snapshot(extra_setup, seed=5):
    """A small sorting tissue after a few steps, with `extra_setup` applied before finalize."""
    w = new_world((8, 8, 1), "periodic", 2, 4.0)
    for i in range(4):
        c = w.add_cell(1 + i % 2, 16.0, 1.0, 0.0, 0.0)
        w.seed_block(c, 4 * (i % 2), 4 * (i // 2), 0, 4 * (i % 2) + 4, 4 * (i // 2) + 4, 1)
    for a, b, j in [(0, 1, 8.0), (0, 2, 8.0), (1, 2, 5.0), (2, 2, 1.0)]:
        w.set_contact(a, b, j)
    extra_setup(w)
    w.finalize(seed)
    w.step(5)
    return w.snapshot(), w.cell_volumes(), w.cell_surfaces()


class TestFinalizeWithLargeTypes:
    @pytest.mark.parametrize("name_type", [
        lambda w: w.set_connectivity(65535, False),
        lambda w: w.set_junction(65535, False),
        lambda w: w.set_membrane_anchored(65535, False),
        lambda w: w.set_length_constraint(65535, 0.0, 0.0),
        lambda w: w.set_external_potential(65535, 0.0, 0.0, 0.0),
    ])
    def test_a_setter_naming_an_unused_type_changes_nothing(self, name_type):
        assert stepped_snapshot(name_type) == stepped_snapshot(lambda w: None)

    def test_a_refused_seeding_naming_a_large_type_leaves_finalize_working(self):
        def refused_seed(w):
            fault_of(lambda: w.seed_from_labels([1], {1: 65535}, 65535, 1.0, 1.0))
        assert stepped_snapshot(refused_seed) == stepped_snapshot(lambda w: None)

    def test_a_cell_of_a_large_type_without_entries_contacts_with_zero(self):
        # Type 65535 has no entry: retyping cell 1 to it is the same as retyping it to 3 (also none).
        def retyped(new_type):
            def edit(w):
                w.add_cell(new_type, 1.0, 1.0, 0.0, 0.0)
                w.set_cell_type(1, new_type)
            return stepped_snapshot(edit)
        assert retyped(65535) == retyped(3)

    def test_entries_naming_the_largest_type_still_apply(self):
        def with_entry(j):
            def edit(w):
                w.set_cell_type(1, 65535)
                w.set_contact(65535, 0, j)
                w.set_contact(65535, 2, j)
            return stepped_snapshot(edit)
        assert with_entry(0.0) == stepped_snapshot(lambda w: w.set_cell_type(1, 3))
        assert with_entry(40.0) != with_entry(0.0)


FINALIZE_OUT_OF_MEMORY = """
    import resource
    from morva_core import World

    def vm_bytes():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[0]) * resource.getpagesize()

    w = World((4, 4, 1), "periodic", 1, 1.0)
    c = w.add_cell(1, 4.0, 1.0, 0.0, 0.0)
    w.seed_block(c, 0, 0, 0, 2, 2, 1)
    for t in range(12000):          # a table of 12001^2 doubles, about 1.1 GB
        w.set_contact(t, t, 1.0)
    w.set_contact(0, 1, 2.5)
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (vm_bytes() + (256 << 20), hard))
    try:
        w.finalize(1)
    except MemoryError:
        print("refused")
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    print(w.cell_volumes(), len(w.snapshot()))
    try:
        w.step(1)
    except RuntimeError as e:
        print(e)
    w.finalize(1)
    w.step(2)
    print(w.cell_volumes()[0] + w.cell_volumes()[1])
"""


@pytest.mark.skipif(bool(os.environ.get("MORVA_SANITIZED")), reason="the sanitizers reserve the address space")
def test_finalize_that_runs_out_of_memory_keeps_the_set_up_world():
    out = finishes(FINALIZE_OUT_OF_MEMORY, timeout=120).splitlines()
    assert out == ["refused", "[0, 0] 16", "call finalize() first", "16"]


POOL_THREADS = """
    import os
    from morva_core import World
    w = World((8, 8, 1), "periodic", 2, 5.0)
    c = w.add_cell(1, 16.0, 1.0, 0.0, 0.0)
    w.seed_block(c, 0, 0, 0, 4, 4, 1)
    w.finalize(1)
    w.step_parallel(1, 4)
    with open("/proc/self/status") as f:
        threads = next(int(line.split()[1]) for line in f if line.startswith("Threads:"))
    print(threads, len(os.sched_getaffinity(0)))
"""


@pytest.mark.parametrize("variable", ["RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"])
def test_pool_is_capped_at_four_threads_per_cpu(variable):
    env = dict(os.environ, **{variable: "2000"})
    env.pop("RAYON_NUM_THREADS" if variable != "RAYON_NUM_THREADS" else "RAYON_RS_NUM_CPUS", None)
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(POOL_THREADS)], env=env, capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    threads, cpus = map(int, done.stdout.split())
    assert threads <= 4 * cpus + 1  # the pool's helpers and the interpreter's own thread
