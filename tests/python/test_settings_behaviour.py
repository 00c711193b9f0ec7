"""Each setting changes the run it belongs to: runs whose outcome depends on the setting, so that a
setter which does nothing, or reads its switch inverted, fails here."""

import numpy as np
import pytest

from morva_core import World

from test_terms import pieces

ON = [True, np.True_]
OFF = [False, np.False_]


# ----------------------------------------------------------------------------------- connectivity


def hot_tissue(guard_medium, seed):
    """A periodic 24 x 24 box of 16 cells with one-site medium channels between them, hot enough for
    the medium to be cut into pockets unless it is guarded."""
    w = World((24, 24, 1), "periodic", 1, 4.0)
    for by in range(4):
        for bx in range(4):
            c = w.add_cell(1, 25.0, 1.0, 0.0, 0.0)
            w.seed_block(c, 6 * bx, 6 * by, 0, 6 * bx + 5, 6 * by + 5, 1)
    w.set_contact(0, 1, 1.0)
    w.set_contact(1, 1, 6.0)
    w.set_connectivity_medium(guard_medium)
    w.finalize(seed)
    w.step(30)
    return pieces(w.snapshot(), 24, 24, 0)


@pytest.mark.parametrize("on", ON)
def test_guarded_medium_stays_in_one_piece(on):
    assert [hot_tissue(on, seed) for seed in (1, 2)] == [1, 1]


@pytest.mark.parametrize("off", OFF)
def test_unguarded_medium_is_cut_into_pockets(off):
    assert all(hot_tissue(off, seed) > 3 for seed in (1, 2))


# ---------------------------------------------------------------------------------------- junction


def pinches(w, enabled_types):
    """Medium sites between two different enabled cells along x or y (faces never wrap)."""
    nx, ny, _ = w.dims()
    labels, types = w.snapshot(), w.cell_types()

    def enabled(label):
        return label != 0 and types[label] in enabled_types

    count = 0
    for y in range(ny):
        for x in range(nx):
            if labels[x + nx * y] != 0:
                continue
            pairs = []
            if 0 < x < nx - 1:
                pairs.append((labels[x - 1 + nx * y], labels[x + 1 + nx * y]))
            if 0 < y < ny - 1:
                pairs.append((labels[x + nx * (y - 1)], labels[x + nx * (y + 1)]))
            count += sum(a != b and enabled(a) and enabled(b) for a, b in pairs)
    return count


def junction_run(lam, on=True, seed=2):
    """16 cells with one-site medium gaps in a closed box: 120 pinches at the start."""
    w = World((25, 25, 1), "noflux", 2, 3.0)
    for by in range(4):
        for bx in range(4):
            c = w.add_cell(1, 25.0, 1.0, 0.0, 0.0)
            w.seed_block(c, 1 + 6 * bx, 1 + 6 * by, 0, 6 + 6 * bx, 6 + 6 * by, 1)
    w.set_contact(0, 1, 2.0)
    w.set_contact(1, 1, 4.0)
    w.set_junction(1, on)
    w.set_junction_lambda(lam)
    w.finalize(seed)
    w.step(20)
    return pinches(w, {1})


@pytest.mark.parametrize("on", ON)
def test_junction_strength_removes_pinches(on):
    free = junction_run(0.0)
    assert junction_run(5.0, on) < free / 2
    assert junction_run(5.0, on=False) == free


# ---------------------------------------------------------------------------------------- membrane


def membrane_drift(anchored, seed=3):
    """How far along y a cell starting 13 rows from an anchored row y = 0 moves in 80 steps."""
    w = World((12, 30, 1), "noflux", 2, 4.0)
    c = w.add_cell(1, 16.0, 1.0, 0.0, 0.0)
    w.seed_block(c, 4, 13, 0, 8, 17, 1)
    w.set_contact(0, 1, 2.0)
    w.set_membrane(list(range(12)), 0.5, 2.0)
    w.set_membrane_anchored(1, anchored)
    w.finalize(seed)
    y0 = w.cell_coms()[c][1]
    w.step(80)
    return w.cell_coms()[c][1] - y0


@pytest.mark.parametrize("on", ON)
def test_anchored_cell_is_drawn_to_the_membrane(on):
    assert membrane_drift(on) < membrane_drift(False) - 6


# -------------------------------------------------------------------------------------- chemotaxis


def gradient_drift(setting, seed=2):
    """How far along x a cell moves in 80 steps up a fixed field rising by 1 per column."""
    w = World((30, 8, 1), "noflux", 2, 4.0)
    c = w.add_cell(1, 16.0, 1.0, 0.0, 0.0)
    w.seed_block(c, 13, 2, 0, 17, 6, 1)
    w.set_contact(0, 1, 2.0)
    f = w.add_field("signal", 0.0, 0.0)
    for x in range(30):
        for y in range(8):
            w.field_add_source_at(f, x, y, 0, float(x))
    setting(w, f)
    w.finalize(seed)
    x0 = w.cell_coms()[c][0]
    w.step(80)
    return w.cell_coms()[c][0] - x0


@pytest.mark.parametrize(
    "setting",
    [
        lambda w, f: w.set_chemotaxis(f, 1, 4.0),
        lambda w, f: w.set_chemotaxis_occupancy(f, 1, 300.0, 2.0, 1.0, 0.1),
    ],
    ids=["linear", "occupancy"],
)
def test_chemotaxis_moves_a_cell_up_the_gradient(setting):
    assert gradient_drift(setting) > gradient_drift(lambda w, f: None) + 4


# --------------------------------------------------------------------------------------- secretion


def test_secretion_follows_rate_time_step_and_cell_scale():
    w = World((6, 1, 1), "noflux", 1, 1.0)
    a = w.add_cell(1, 2.0, 1.0, 0.0, 0.0)
    b = w.add_cell(1, 2.0, 1.0, 0.0, 0.0)
    w.seed_block(a, 0, 0, 0, 2, 1, 1)
    w.seed_block(b, 4, 0, 0, 6, 1, 1)
    f = w.add_field("signal", 0.0, 0.0)
    w.set_secretion(f, 1, 3.0)
    w.set_field_dynamics(f, 0.5, 1)
    w.set_cell_secretion_scale(f, b, 0.5)
    w.advance_fields(2)
    assert w.field_conc(f) == [3.0, 3.0, 0.0, 0.0, 1.5, 1.5]
