"""Placements: what each one paints, overlaps, label images from arrays and files."""

import imageio.v3 as iio
import numpy as np
import pytest
import tifffile
from morva_core import World

import morva
from morva import placement


def one_type(shape=(40, 40), boundary="periodic"):
    return morva.Model(shape, boundary=boundary, default_contact=0).add_type("a", volume=20, lambda_volume=1).add_type(
        "b", volume=20, lambda_volume=1)


def test_tiling_numbers_cells_x_first_and_matches_hand_built_world():
    model = one_type((200, 200)).set_contact("a", "b", 11).set_contact("medium", "a", 16)
    model.add_tiling(["a", "b"], (20, 20), (180, 180), 10)
    sim = model.build(seed=7)
    world = World((200, 200, 1), "periodic", 2, 10.0)
    for by in range(16):
        for bx in range(16):
            cell = world.add_cell(1 + (bx + by) % 2, 20.0, 1.0, 0.0, 0.0)
            world.seed_block(cell, 20 + 10 * bx, 20 + 10 * by, 0, 30 + 10 * bx, 30 + 10 * by, 1)
    for a, b, j in [(0, 0, 0.0), (0, 1, 16.0), (0, 2, 0.0), (1, 1, 0.0), (1, 2, 11.0), (2, 2, 0.0)]:
        world.set_contact(a, b, j)
    world.finalize(7)
    assert sim.world.snapshot() == world.snapshot()
    assert sim.world.cell_types() == world.cell_types()
    sim.run(20, progress=False)
    world.step(20)
    assert sim.world.snapshot() == world.snapshot()


def test_random_tiling_is_fixed_by_its_seed():
    def types(seed):
        m = one_type().add_tiling(["a", "b"], (0, 0), (40, 40), 4, pattern="random", seed=seed)
        return m.build().cells()["type"].tolist()

    assert types(1) == types(1) and types(1) != types(2)
    assert set(types(1)) == {1, 2}


def test_discs_spheres_and_wrapping():
    disc = one_type().add_disc("a", (20, 20), 5).build().cells()
    assert disc["volume"].iloc[0] == pytest.approx(np.pi * 25, rel=0.1)
    assert (disc["com_x"].iloc[0], disc["com_y"].iloc[0]) == (20, 20)
    sphere = one_type((20, 20, 20)).add_sphere("a", (10, 10, 10), 4).build().cells()
    assert sphere["volume"].iloc[0] == pytest.approx(4 / 3 * np.pi * 64, rel=0.1)
    wrapped = one_type().add_disc("a", (0, 0), 3).build()
    assert wrapped.cells()["volume"].iloc[0] == one_type().add_disc("a", (20, 20), 3).build().cells()["volume"].iloc[0]
    assert wrapped.labels()[0, 39, 39] == 1
    with pytest.raises(ValueError, match=r"disc: a ball of radius 3 at \(0.0, 0.0\) leaves the closed box"):
        one_type(boundary="noflux").add_disc("a", (0, 0), 3)


def test_scatter_places_separate_cells_reproducibly():
    model = one_type((60, 60)).add_block("b", (0, 0), (60, 10)).scatter("a", 12, 3, seed=5)
    sim = model.build()
    cells = sim.cells()
    assert (cells["type_name"] == "a").sum() == 12
    scattered = cells[cells["type_name"] == "a"]
    assert scattered["volume"].nunique() == 1 and scattered["volume"].iloc[0] == 29  # whole balls of radius 3
    again = model.build().labels()
    assert (again == sim.labels()).all()
    other = one_type((60, 60)).add_block("b", (0, 0), (60, 10)).scatter("a", 12, 3, seed=6).build().labels()
    assert (other != sim.labels()).any()
    with pytest.raises(ValueError, match="cannot fit"):
        one_type((20, 20)).scatter("a", 50, 3)
    with pytest.raises(ValueError, match="placed only"):
        one_type((20, 20)).add_block("b", (0, 0), (20, 16)).scatter("a", 3, 2.5).build()


def test_overlaps_are_refused_unless_asked_for():
    model = one_type().add_block("a", (0, 0), (10, 10)).add_block("b", (5, 5), (15, 15))
    with pytest.raises(ValueError, match=r"placement 1 \(block\) overlaps an earlier placement at site \(x=5, y=5"):
        model.build()
    sim = one_type().add_block("a", (0, 0), (10, 10)).add_block("b", (5, 5), (15, 15), overlap=True).build()
    assert sim.cells()["volume"].tolist() == [75, 100]


@pytest.fixture
def mask():
    image = np.zeros((30, 40), dtype=np.uint16)
    image[2:8, 3:9] = 500
    image[10:20, 10:14] = 7
    image[25:28, 30:39] = 65000
    return image


def cells_of(model):
    return model.build().cells()[["type_name", "volume", "com_x", "com_y"]]


@pytest.mark.parametrize("suffix", [".npy", ".tif", ".png"])
def test_label_images_from_files_give_the_same_tissue_as_the_array(tmp_path, mask, suffix):
    path = tmp_path / f"mask{suffix}"
    if suffix == ".npy":
        np.save(path, mask)
    elif suffix == ".tif":
        tifffile.imwrite(path, mask)
    else:
        iio.imwrite(path, mask)
    from_file = cells_of(one_type((40, 30)).add_label_image(path, types={7: "b"}, default_type="a"))
    from_array = cells_of(one_type((40, 30)).add_label_image(mask, types={7: "b"}, default_type="a"))
    assert from_file.equals(from_array)
    assert from_array["type_name"].tolist() == ["b", "a", "a"]  # ordered by image value
    assert from_array["volume"].tolist() == [40, 36, 27]
    assert (from_array.loc[2, "com_x"], from_array.loc[2, "com_y"]) == (5.5, 4.5)


def test_label_image_offset_own_volume_and_errors(tmp_path, mask):
    sim = one_type((50, 40)).add_label_image(mask, default_type="a", offset=(10, 5), own_volume=True).build()
    assert sim.labels()[0, 5 + 2, 10 + 3] != 0 and sim.labels()[0, 2, 3] == 0
    assert sim.cells()["target_volume"].tolist() == [40.0, 36.0, 27.0]
    with pytest.raises(ValueError, match=r"shape \(30, 40\) does not match the lattice \(expected \(40, 50\)"):
        one_type((50, 40)).add_label_image(mask, default_type="a")
    with pytest.raises(ValueError, match=r"at offset \(20, 5\) does not fit"):
        one_type((50, 40)).add_label_image(mask, default_type="a", offset=(20, 5))
    with pytest.raises(ValueError, match=r"values \[7, 500, 65000\] have no type"):
        one_type((40, 30)).add_label_image(mask)
    with pytest.raises(KeyError, match="unknown cell type 'ghost'"):
        one_type((40, 30)).add_label_image(mask, default_type="ghost")
    with pytest.raises(ValueError, match="must hold integers"):
        one_type((40, 30)).add_label_image(mask.astype(float), default_type="a")
    rgb = tmp_path / "rgb.png"
    iio.imwrite(rgb, np.zeros((30, 40, 3), dtype=np.uint8))
    with pytest.raises(ValueError, match="3 colour channels"):
        one_type((40, 30)).add_label_image(rgb, default_type="a")
    with pytest.raises(ValueError, match="does not exist"):
        one_type((40, 30)).add_label_image(tmp_path / "missing.png", default_type="a")
    (tmp_path / "mask.bmp").write_bytes(b"BM")
    with pytest.raises(ValueError, match="unknown file kind '.bmp'"):
        one_type((40, 30)).add_label_image(tmp_path / "mask.bmp", default_type="a")


def every_kind_model():
    """A 2-D model with one placement of every 2-D kind, and a 3-D one with a sphere."""
    image = np.zeros((30, 30), dtype=np.int32)
    image[25:28, 25:28] = 4
    flat = morva.Model((30, 30)).add_type("a", volume=9, lambda_volume=1).add_type("b", volume=9, lambda_volume=1)
    flat.add_block("a", (0, 0), (3, 3)).add_tiling(["a", "b"], (4, 0), (8, 4), 2, pattern="random", seed=3)
    flat.add_disc("b", (15, 15), 2.5, overlap=True).scatter("a", 2, 1.5, lo=(0, 18), hi=(12, 30), seed=2)
    flat.add_label_image(image, default_type="b")
    solid = morva.Model((10, 10, 10)).add_type("a", volume=9, lambda_volume=1).add_sphere("a", (5, 5, 5), 2)
    return flat, solid


def test_every_kind_is_read_and_written_through_its_declared_file_keys():
    flat, solid = every_kind_model()
    placements = flat.placements + solid.placements
    assert sorted(p.kind for p in placements) == sorted(placement.KINDS)
    for item in placements:
        entry = item.to_dict(embed_images=True)
        kind = entry.pop("kind")
        declared = placement.KINDS[kind]
        assert type(item) is declared and set(entry) <= set(declared.FILE_KEYS)
        assert set(declared.required_keys()) <= set(entry)
        assert declared.from_entry(entry).to_dict(embed_images=True) == item.to_dict(embed_images=True)
    for model in (flat, solid):
        assert morva.Model.from_toml(model.to_toml(embed_images=True)) == model


@pytest.mark.parametrize("kind", [k for k in placement.KINDS if placement.KINDS[k].required_keys()])
def test_a_missing_or_unknown_placement_key_is_named(kind):
    required = placement.KINDS[kind].required_keys()
    text = f"[lattice]\nshape = [10, 10]\n[[placements]]\nkind = '{kind}'\n"
    with pytest.raises(ValueError, match=rf"placements\[0\] \({kind}\) needs {required[0]}"):
        morva.Model.from_toml(text)
    with pytest.raises(ValueError, match=rf"unknown key 'colour' in placements\[0\] \({kind}\)"):
        morva.Model.from_toml(text + "colour = 'red'\n")
