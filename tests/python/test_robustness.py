"""Faults found by hostile probes: hangs on empty boxes, lying lengths, empty-axis accessors,
diagnostic paths and memory over many failing calls. Each test pins one mended fault."""

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

    def test_side_of_two_to_the_sixty_three_is_an_empty_box(self):
        w = new_world((2**63, 0, 2), "noflux", 3)
        assert w.snapshot() == []
        w.finalize(1)
        w.step(2)
        assert w.cell_volumes() == [0]

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
