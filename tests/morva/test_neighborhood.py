import math
import warnings

import numpy as np
import pytest
from morva_core import World

import morva
from morva.cli import main
from morva.build import paint_labels
from morva.neighborhood import compact_shape, neighborhood_order


@pytest.mark.parametrize("neighborhood, dim, volume", [
    ("von_neumann", 2, 49), ("moore", 2, 49), ("moore", 2, 137), ("von_neumann", 3, 64), ("moore", 3, 100),
    ("full", 3, 57),
])
def test_compact_surface_is_what_the_engine_counts(neighborhood, dim, volume):
    shape = compact_shape(volume, neighborhood, dim)
    assert shape.sum() == volume
    dims = (24, 24, 24 if dim == 3 else 1)
    labels = np.zeros(dims[::-1], dtype=np.uint32)  # [z, y, x]; the axes of a compact shape are interchangeable
    block = (shape if dim == 3 else shape[None]).astype(np.uint32)
    starts = (2, 2, 2) if dim == 3 else (0, 2, 2)
    labels[tuple(slice(s, s + n) for s, n in zip(starts, block.shape))] = block
    world = World(dims, "noflux", neighborhood_order(neighborhood), 10.0)
    world.add_cell(1, float(volume), 1.0, 0.0, 0.0)
    paint_labels(world, labels.ravel(), dims)
    world.finalize(1)
    assert world.cell_volumes()[1] == volume
    assert world.cell_surfaces()[1] == morva.compact_surface(volume, neighborhood, dim=dim)


def test_compact_surface_is_the_smallest_possible_with_face_neighbours():
    # With 4 neighbours the surface is the perimeter: the best is the tightest rectangle that holds it.
    for volume in range(1, 80):
        best = min(2 * (w + math.ceil(volume / w)) for w in range(1, volume + 1))
        assert morva.compact_surface(volume, "von_neumann") == best, volume
    assert morva.compact_surface(49, "moore") < 80 < morva.compact_surface(49, "moore", dim=3)


def test_far_too_small_target_surface_warns_naming_the_smallest(tmp_path, capsys):
    model = morva.Model((40, 40), neighborhood="moore", default_contact=8)
    with pytest.warns(UserWarning, match=r"target surface 28 is far below .* volume 49 can have, 76 "):
        model.add_type("light", volume=49, lambda_volume=2, surface=28, lambda_surface=0.5)
    model.save(tmp_path / "m.toml")
    line = 1 + (tmp_path / "m.toml").read_text().splitlines().index("[types.light]")
    with pytest.warns(UserWarning) as caught:
        morva.load_model(tmp_path / "m.toml")
    assert [str(w.message).split(": cell type 'light': target surface 28 ")[0] for w in caught] == [
        f"{tmp_path / 'm.toml'}, line {line}"]
    assert main(["run", str(tmp_path / "m.toml"), "--mcs", "0", "--out", str(tmp_path / "r"), "--quiet"]) == 0
    assert capsys.readouterr().err.startswith(f"morva run: warning: {tmp_path / 'm.toml'}, line {line}: cell type 'light'")
    with pytest.warns(UserWarning, match="target surface 20 is far below"):
        model.with_parameters({"type:light:surface": 20})
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        morva.Model((40, 40), neighborhood="von_neumann").add_type("a", volume=49, lambda_volume=2, surface=28,
                                                                   lambda_surface=0.5)
        morva.Model((40, 40)).add_type("a", volume=49, lambda_volume=2, surface=28)  # no surface term
        morva.Model((40, 40)).add_type("a", volume=49, lambda_volume=2, surface=76, lambda_surface=0.5)
