"""morva._native arrays: equal to the list queries, fresh copies, refused on anything but a World."""

import math
import os
import sys

import numpy as np
import pytest

import morva_core
from morva import _native
from native_scenarios import tissue, with_fields


def panic_of(call):
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value).__name__ == "PanicException"
    return info.value


@pytest.fixture(params=["setup", "finalized"])
def world(request):
    """A box whose three sides differ, so that a wrong axis order shows."""
    w = with_fields(tissue((13, 9, 7), order=3, size=3))
    if request.param == "finalized":
        w.finalize(11)
        w.step(2)
    return w


def test_labels_and_fields_are_the_list_queries_shaped_z_y_x(world):
    nx, ny, nz = world.dims()
    labels = _native.labels(world)
    assert labels.dtype == np.uint32 and labels.shape == (nz, ny, nx)
    assert labels.ravel().tolist() == world.snapshot()
    assert labels[2, 1, 3] == world.snapshot()[3 + nx * (1 + ny * 2)]
    for i in range(2):
        conc = _native.field(world, i)
        assert conc.dtype == np.float32 and conc.shape == (nz, ny, nx)
        assert conc.ravel().tolist() == world.field_conc(i)


def test_cell_columns_are_the_list_queries(world):
    cells = _native.cells(world)
    n = len(world.cell_types())
    assert set(cells) == {"type", "volume", "surface", "target_volume", "lambda_volume", "target_surface",
                          "lambda_surface", "com", "length", "direction", "force"}
    assert cells["type"].dtype == np.uint16 and cells["type"].tolist() == world.cell_types()
    assert cells["volume"].dtype == np.int64 and cells["volume"].tolist() == world.cell_volumes()
    assert cells["surface"].dtype == np.int64 and cells["surface"].tolist() == world.cell_surfaces()
    assert cells["com"].shape == (n, 3)
    assert [tuple(row) for row in cells["com"].tolist()] == world.cell_coms()
    for key in ("target_volume", "lambda_volume", "target_surface", "lambda_surface"):
        assert cells[key].dtype == np.float64 and cells[key].shape == (n,)
    assert cells["target_volume"][1:].tolist() == [3 * 3 * 3 + 3.0] * (n - 1)
    assert cells["target_surface"][1].tolist() == 4.0 * 3 * 3
    lengths = world.cell_lengths()
    for i, value in enumerate(cells["length"].tolist()):
        if i == 0 or world.cell_volumes()[i] < 2:
            assert math.isnan(value)
        else:
            assert value == lengths[i]


def test_chosen_columns_are_those_of_the_whole_table_and_unknown_names_are_refused(world):
    whole = _native.cells(world)
    chosen = _native.cells(world, ["length", "surface", "com"])
    assert list(chosen) == ["surface", "com", "length"]
    for key, values in chosen.items():
        assert values.dtype == whole[key].dtype and np.array_equal(values, whole[key], equal_nan=True)
    assert _native.cells(world, ()) == {} and set(_native.cells(world, columns=None)) == set(whole)
    with pytest.raises(ValueError, match="no column 'volumes'"):
        _native.cells(world, ["volume", "volumes"])
    with pytest.raises(TypeError, match="sequence of column names"):
        _native.cells(world, 3)


def test_arrays_are_copies_that_the_world_never_sees(world):
    labels = _native.labels(world)
    labels[:] = 7
    conc = _native.field(world, 0)
    conc[:] = -1.0
    assert _native.labels(world).ravel().tolist() == world.snapshot() != labels.ravel().tolist()
    assert _native.field(world, 0).ravel().tolist() == world.field_conc(0)
    assert _native.labels(world) is not _native.labels(world)


def test_errors_match_the_list_queries(world):
    missing = panic_of(lambda: world.field_conc(5))
    assert str(panic_of(lambda: _native.field(world, 5))) == str(missing)
    assert type(panic_of(lambda: _native.field(world, 5))) is type(missing)
    with pytest.raises(OverflowError):
        _native.field(world, -1)
    with pytest.raises(TypeError):
        _native.field(world, "0")


@pytest.mark.parametrize("function", [_native.labels, _native.cells, _native.dumps, lambda w: _native.field(w, 0),
                                      lambda w: _native.run(w, 1)])
def test_anything_but_a_world_is_refused(function):
    class LookAlike:
        pass

    for thing in (None, 3, LookAlike(), morva_core.World):
        with pytest.raises(TypeError, match="must be morva_core.World"):
            function(thing)


def rss_bytes():
    with open(f"/proc/{os.getpid()}/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_reference_counts_and_memory_stay_flat_over_many_calls():
    w = with_fields(tissue((40, 40, 1)))
    w.finalize(3)
    data = _native.dumps(w)

    def one_round():
        _native.labels(w)
        _native.field(w, 1)
        _native.cells(w)
        _native.loads(_native.dumps(w))
        _native.run(w, 1)

    for _ in range(30):
        one_round()
    refs = sys.getrefcount(w), sys.getrefcount(morva_core.World), sys.getrefcount(data)
    before = rss_bytes()
    for _ in range(400):
        one_round()
    after = sys.getrefcount(w), sys.getrefcount(morva_core.World), sys.getrefcount(data)
    assert after == refs
    # Each round makes about 70 kB of arrays and checkpoints; a leak of any of them would add 28 MB.
    assert rss_bytes() - before < 8_000_000
