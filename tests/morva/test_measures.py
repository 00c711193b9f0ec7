"""Frame-level measures: small hand-made tissues and a brute-force reference on random ones."""

import itertools

import numpy as np
import pandas as pd
import pytest

import morva
from morva.measures import cell_type_table, mean_by_type, sorting, sorting_index, type_clusters


def blocks(types_grid, size):
    """Tissue of square cells: cell k+1 at block k (row-major) of side `size`; its type table."""
    types_grid = np.asarray(types_grid)
    ids = np.arange(1, types_grid.size + 1).reshape(types_grid.shape)
    labels = np.kron(ids, np.ones((size, size), dtype=int)).astype(np.uint32)
    return labels, np.concatenate([[0], types_grid.ravel()])


def brute_pairs(labels, periodic):
    """Every face-neighbour site pair, listed one by one."""
    shape = labels.shape
    for site in itertools.product(*(range(n) for n in shape)):
        for axis in range(labels.ndim):
            if shape[axis] < 2:
                continue
            other = list(site)
            other[axis] += 1
            if other[axis] == shape[axis]:
                if not periodic:
                    continue
                other[axis] = 0
            yield labels[site], labels[tuple(other)]


def brute_sorting_index(labels, types, periodic):
    pairs = [(a, b) for a, b in brute_pairs(labels, periodic) if a != b and a and b]
    return sum(types[a] != types[b] for a, b in pairs) / len(pairs) if pairs else float("nan")


def brute_type_clusters(labels, types, periodic):
    cells = {int(v) for v in np.unique(labels) if v}
    links = {c: set() for c in cells}
    for a, b in brute_pairs(labels, periodic):
        if a != b and a and b and types[a] == types[b]:
            links[int(a)].add(int(b))
            links[int(b)].add(int(a))
    seen, groups = set(), 0
    for start in cells:
        if start in seen:
            continue
        groups += 1
        todo = [start]
        while todo:
            c = todo.pop()
            if c not in seen:
                seen.add(c)
                todo.extend(links[c] - seen)
    return groups


class TestSortingIndex:
    @pytest.mark.parametrize(
        "types_grid, periodic, expected",
        [
            ([[1, 2], [2, 1]], False, 1.0),  # checkerboard: every contact heterotypic
            ([[1, 2, 1, 2], [2, 1, 2, 1]], True, 1.0),
            ([[1, 1], [2, 2]], False, 0.5),  # two rows: one homotypic, one heterotypic face each way
            ([[1, 1, 1], [1, 1, 1]], True, 0.0),
            ([[1, 1, 2, 2]], False, 1 / 3),
            ([[1, 1, 2, 2]], True, 0.5),  # the wrap adds a second 1|2 face
        ],
    )
    def test_block_tissues(self, types_grid, periodic, expected):
        labels, types = blocks(types_grid, 3)
        assert sorting_index(labels, types, periodic=periodic) == pytest.approx(expected)

    def test_medium_contacts_do_not_count(self):
        labels, types = blocks([[1, 2]], 3)
        padded = np.pad(labels, 4)
        # Without the medium the two cells share one face per row: all heterotypic.
        assert sorting_index(padded, types, periodic=True) == 1.0

    def test_no_cell_contacts_gives_nan(self):
        labels = np.zeros((5, 5), dtype=np.uint32)
        labels[1, 1], labels[3, 3] = 1, 2
        assert np.isnan(sorting_index(labels, np.array([0, 1, 2])))

    def test_three_dimensional_layers(self):
        # Two layers of cells along z; each layer holds one type.
        labels = np.zeros((2, 2, 2), dtype=np.uint32)
        labels[0], labels[1] = [[1, 2], [3, 4]], [[5, 6], [7, 8]]
        types = np.array([0, 1, 1, 1, 1, 2, 2, 2, 2])
        # Open box: 4 in-layer faces per layer (homotypic), 4 between the layers (heterotypic).
        assert sorting_index(labels, types, periodic=False) == pytest.approx(4 / 12)
        assert sorting_index(labels[None, 0], types, periodic=False) == 0.0

    @pytest.mark.parametrize("shape", [(9, 7), (3, 5, 4), (1, 6, 6)])
    @pytest.mark.parametrize("periodic", [True, False])
    def test_agrees_with_site_by_site_count(self, shape, periodic):
        rng = np.random.default_rng(sum(shape))
        labels = rng.integers(0, 12, size=shape).astype(np.uint32)
        types = rng.integers(1, 3, size=12)
        expected = brute_sorting_index(labels, types, periodic)
        assert sorting_index(labels, types, periodic=periodic) == pytest.approx(expected)


class TestTypeClusters:
    @pytest.mark.parametrize(
        "types_grid, periodic, expected",
        [
            ([[1, 2], [2, 1]], False, 4),  # checkerboard: no same-type contact
            ([[1, 1], [2, 2]], False, 2),
            ([[1, 2, 1]], False, 3),
            ([[1, 2, 1]], True, 2),  # the wrap joins the two type-1 cells
            ([[1, 1, 2], [2, 2, 2], [1, 1, 2]], False, 3),
            ([[1, 1, 2], [2, 2, 2], [1, 1, 2]], True, 2),
        ],
    )
    def test_block_tissues(self, types_grid, periodic, expected):
        labels, types = blocks(types_grid, 2)
        assert type_clusters(labels, types, periodic=periodic) == expected

    def test_medium_separates_groups(self):
        labels = np.zeros((3, 7), dtype=np.uint32)
        labels[1, 1:3], labels[1, 4:6] = [1, 2], [3, 4]
        types = np.array([0, 1, 1, 1, 1])
        assert type_clusters(labels, types, periodic=True) == 2
        assert type_clusters(np.zeros((4, 4), dtype=np.uint32), types) == 0

    def test_long_chain_is_one_group(self):
        # A snake of cells numbered against its path needs many propagation rounds.
        labels = np.arange(1, 41, dtype=np.uint32)[::-1].reshape(1, 40)
        labels[0, ::2] = labels[0, ::2][::-1]
        assert type_clusters(labels, np.ones(41, dtype=int), periodic=False) == 1

    @pytest.mark.parametrize("shape", [(8, 9), (4, 4, 5)])
    @pytest.mark.parametrize("periodic", [True, False])
    def test_agrees_with_graph_search(self, shape, periodic):
        rng = np.random.default_rng(7 * len(shape) + periodic)
        labels = rng.integers(0, 20, size=shape).astype(np.uint32)
        types = rng.integers(1, 3, size=20)
        expected = brute_type_clusters(labels, types, periodic)
        assert type_clusters(labels, types, periodic=periodic) == expected


class TestBadInput:
    @pytest.mark.parametrize("measure", [sorting_index, type_clusters])
    def test_errors_name_the_argument(self, measure):
        labels, types = blocks([[1, 2]], 2)
        with pytest.raises(ValueError, match="cell_type: has 2 entries but labels reach 2"):
            measure(labels, types[:2])
        with pytest.raises(ValueError, match="labels: expected a .* array, got 1 dimensions"):
            measure(labels.ravel(), types)
        with pytest.raises(TypeError, match="labels: expected an integer array"):
            measure(labels.astype(float), types)
        with pytest.raises(ValueError, match="cell_type: expected a 1-D array"):
            measure(labels, types[None, :])


class TestCellTables:
    def test_mean_by_type_prefers_names_and_skips_medium(self):
        cells = pd.DataFrame(
            {"type": [0, 1, 1, 2], "type_name": ["medium", "a", "a", "b"], "volume": [999, 10, 20, 7]}
        )
        means = mean_by_type(cells, "volume")
        assert means.to_dict() == {"a": 15.0, "b": 7.0}
        assert mean_by_type(cells.drop(columns="type_name"), "volume").to_dict() == {1: 15.0, 2: 7.0}

    def test_mean_by_type_names_a_missing_column(self):
        with pytest.raises(KeyError, match="no column 'surface'"):
            mean_by_type(pd.DataFrame({"type": [1], "volume": [3]}), "surface")
        with pytest.raises(KeyError, match="no 'type' column"):
            mean_by_type(pd.DataFrame({"volume": [3]}), "volume")

    def test_cell_type_table_from_index_or_id_column(self):
        by_index = pd.DataFrame({"type": [2, 1]}, index=[1, 4])
        assert cell_type_table(by_index).tolist() == [0, 2, 0, 0, 1]
        by_column = pd.DataFrame({"id": [3, 1], "type": [1, 2]})
        assert cell_type_table(by_column).tolist() == [0, 2, 0, 1]


class TestSimulationMeasure:
    @staticmethod
    def three_bands(boundary):
        model = morva.Model((20, 5), boundary=boundary, default_contact=0)
        model.add_type("light", volume=25, lambda_volume=1).add_type("dark", volume=50, lambda_volume=1)
        model.add_block("light", (0, 0), (5, 5)).add_block("dark", (5, 0), (15, 5))
        return model.add_block("light", (15, 0), (20, 5))

    def test_sorting_follows_the_model_boundary(self):
        # Light | dark | light: the two light cells touch only across the periodic wrap.
        assert sorting(self.three_bands("noflux").build(1)) == {"sorting_index": 1.0, "type_clusters": 3}
        assert sorting(self.three_bands("periodic").build(1)) == {"sorting_index": pytest.approx(2 / 3),
                                                                  "type_clusters": 2}

    def test_sorting_agrees_with_the_frame_measures_after_a_run(self):
        model = morva.Model((30, 30), default_contact=0).add_type("a", volume=25, lambda_volume=1).add_type("b", volume=25, lambda_volume=1)
        sim = model.add_tiling(["a", "b"], (5, 5), (25, 25), 5).build(seed=4)
        sim.run(20, progress=False)
        types = cell_type_table(sim.cells())
        assert sorting(sim) == {"sorting_index": sorting_index(sim.labels(), types),
                                "type_clusters": type_clusters(sim.labels(), types)}
