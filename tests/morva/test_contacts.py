"""The contact table against a count made with NumPy on the label grid."""

import itertools

import numpy as np
import pytest
from package_models import two_type_model

import morva
from morva import _native
from morva.contacts import neighbour_sums


def offsets(ndim, order):
    """Neighbour offsets (dz, dy, dx) of a neighbourhood order: |dx| + |dy| + |dz| <= order."""
    span = [(-1, 0, 1)] * ndim + [(0,)] * (3 - ndim)
    return [o[::-1] for o in itertools.product(*span) if 0 < sum(map(abs, o)) <= order]


def numpy_contacts(labels, order, periodic):
    """{(a, b): area} counted site by site over every offset, each unordered pair seen from both ends."""
    ndim = 3 if labels.shape[0] > 1 else 2
    counts = {}
    for offset in offsets(ndim, order):
        if periodic:
            other = np.roll(labels, [-d for d in offset], axis=(0, 1, 2))
            here = labels
        else:
            cut = tuple(slice(max(d, 0), n + min(d, 0)) for d, n in zip(offset, labels.shape))
            back = tuple(slice(max(-d, 0), n + min(-d, 0)) for d, n in zip(offset, labels.shape))
            here, other = labels[back], labels[cut]
        differ = here != other
        a, b = np.minimum(here, other)[differ], np.maximum(here, other)[differ]
        pairs, n = np.unique(np.stack([a, b]), axis=1, return_counts=True)
        for (x, y), k in zip(pairs.T.tolist(), n.tolist()):
            counts[(x, y)] = counts.get((x, y), 0) + k
    return {pair: k // 2 for pair, k in counts.items()}


@pytest.mark.parametrize("shape, boundary, neighborhood", [
    ((40, 40), "periodic", "moore"), ((40, 40), "noflux", "von_neumann"), ((14, 12, 10), "periodic", "full"),
    ((14, 12, 10), "noflux", "moore"),
    ((52, 52, 50), "periodic", "full"),  # large enough to be counted by several threads
    # rows of more sites than are compared in one batch, and rows shorter than eight sites
    ((1100, 6), "periodic", "moore"), ((6, 1100), "noflux", "moore"), ((1030, 7, 6), "noflux", "full"),
])
def test_contacts_match_a_numpy_count_and_sum_to_the_surfaces(shape, boundary, neighborhood):
    model = morva.Model(shape, boundary, neighborhood)
    model.add_type("a", volume=20, lambda_volume=1).add_type("b", volume=20, lambda_volume=1)
    for x, y, j in [("medium", "a", 12), ("medium", "b", 12), ("a", "b", 6), ("a", "a", 4), ("b", "b", 4)]:
        model.set_contact(x, y, j)
    lo, hi = (2,) * len(shape), tuple(s - s % 3 - 1 for s in shape)
    hi = tuple(l + (h - l) // 3 * 3 for l, h in zip(lo, hi))
    sim = model.add_tiling(["a", "b"], lo, hi, 3, pattern="random", seed=4).build(seed=1)
    sim.run(5, progress=False)
    sim.remove(sim.cell_ids()[:2])
    table = sim.contacts()
    order = model.neighborhood
    expected = numpy_contacts(sim.labels(), order, boundary == "periodic")
    assert dict(zip(zip(table["a"], table["b"]), table["area"])) == expected
    assert (table["a"] < table["b"]).all() and table.equals(table.sort_values(["a", "b"], ignore_index=True))
    surfaces = _native.cells(sim.world)["surface"]
    matrix = sim.contacts(sparse=True)
    assert matrix.shape == (surfaces.size,) * 2 and (matrix.sum(axis=1) == surfaces).all()


def test_neighbour_sums_weigh_each_neighbour_by_its_contact():
    sim = two_type_model().build(seed=2)
    sim.run(3, progress=False)
    values = np.random.default_rng(0).random(sim.world.n_cells() + 1)
    dense = sim.contacts(sparse=True).toarray()
    assert np.allclose(neighbour_sums(sim.world, values), dense @ values)


@pytest.mark.parametrize("shape, boundary, side", [
    ((60, 50, 12), "periodic", 8),  # long stretches of one label: rows walked run by run
    ((61, 47), "noflux", 7),
    ((2, 30, 20), "periodic", 2),  # a periodic axis of two sites: counted site by site
])
def test_contacts_of_large_cells_and_thin_boxes_match_the_surfaces(shape, boundary, side):
    model = morva.Model(shape, boundary, "full" if len(shape) == 3 else "moore", temperature=4.0, default_contact=5)
    model.add_type("a", volume=side ** len(shape), lambda_volume=1)
    hi = tuple(s - s % side for s in shape)
    sim = model.add_tiling(["a"], (0,) * len(shape), hi, side).build(seed=3)
    sim.run(2, progress=False)
    table = sim.contacts()
    if shape[0] > 2:
        expected = numpy_contacts(sim.labels(), model.neighborhood, boundary == "periodic")
        assert dict(zip(zip(table["a"], table["b"]), table["area"])) == expected
    surfaces = _native.cells(sim.world)["surface"]
    assert (sim.contacts(sparse=True).sum(axis=1) == surfaces).all()


@pytest.mark.parametrize("neighborhood", ["moore", "von_neumann"])
def test_a_cell_with_many_neighbours_counts_every_pair(neighborhood):
    """Cell 1 meets 36 cells of higher id, many more than a cell's first partners kept apart."""
    model = morva.Model((40, 40), "periodic", neighborhood, temperature=3.0, default_contact=4)
    model.add_type("big", volume=400, lambda_volume=1).add_type("small", volume=4, lambda_volume=1)
    model.add_block("big", (10, 10), (30, 30))
    for i in range(10):
        for lo in [(10 + 2 * i, 8), (10 + 2 * i, 30), (8, 10 + 2 * i), (30, 10 + 2 * i)][: 4 if i < 9 else 2]:
            model.add_block("small", lo, (lo[0] + 2, lo[1] + 2))
    sim = model.build(seed=5)
    sim.run(3, progress=False)
    table = sim.contacts()
    assert (table["a"] == 1).sum() > 30
    expected = numpy_contacts(sim.labels(), model.neighborhood, True)
    assert dict(zip(zip(table["a"], table["b"]), table["area"])) == expected
