"""Model files: the example files load, round-trip and build; bad files are refused with the entry named."""

import numpy as np
import pytest

import morva

from package_models import EXAMPLES, MODELS, two_type_model

# Every model an example loads; examples/sorting_sweep.toml is a sweep file, not a model.
EXAMPLE_FILES = sorted(MODELS.glob("*.toml")) + [EXAMPLES / "sorting_small.toml"]


def test_there_is_a_model_file_per_example():
    assert {p.stem for p in EXAMPLE_FILES} >= {"cell_sorting", "sorting_3d", "chemotaxis", "proliferation",
                                               "tissue_image"}


@pytest.mark.parametrize("path", EXAMPLE_FILES, ids=lambda p: p.stem)
def test_example_files_round_trip_and_build_the_same_world(path, tmp_path):
    model = morva.load_model(path)
    assert morva.Model.from_toml(model.to_toml(), base=path.parent) == model
    copy = tmp_path / "copy.toml"
    model.save(copy)
    embedded = morva.Model.from_toml(model.to_toml(embed_images=True))
    assert embedded == model
    assert (embedded.build(seed=4).labels() == model.build(seed=4).labels()).all()
    assert morva.load_model(copy) == model


def test_a_file_and_a_seed_fix_the_run(tmp_path):
    path = tmp_path / "m.toml"
    two_type_model().add_field("c", diffusion=0.3).save(path)
    runs = []
    for _ in range(2):
        sim = morva.load_model(path).build(seed=11)
        sim.run(30, progress=False)
        runs.append(sim.labels())
    assert (runs[0] == runs[1]).all()


def test_image_paths_are_relative_to_the_file(tmp_path):
    (tmp_path / "sub").mkdir()
    image = np.zeros((10, 10), dtype=np.int32)
    image[2:5, 2:5] = 3
    np.save(tmp_path / "sub" / "cells.npy", image)
    model = morva.Model((10, 10)).add_type("a", volume=9, lambda_volume=1)
    model.add_label_image(tmp_path / "sub" / "cells.npy", default_type="a")
    model.save(tmp_path / "sub" / "m.toml")
    assert 'path = "cells.npy"' in (tmp_path / "sub" / "m.toml").read_text()
    assert morva.load_model(tmp_path / "sub" / "m.toml").build().cells()["volume"].tolist() == [9]


@pytest.mark.parametrize("text, words", [
    ("[lattice\nshape = [4, 4]", "not valid TOML"),
    ("[types.a]\nvolume = 1.0\nlambda_volume = 1.0\n", "[lattice] table is missing"),
    ("[lattice]\nshape = [4, 4]\ncolour = 1\n", "unknown key(s) 'colour' in [lattice]"),
    ("[lattice]\nshape = [4, 4]\n[types.a]\nvolume = 3.0\n", "[types.a] needs lambda_volume"),
    ("[lattice]\nshape = [4, 4]\n[types.a]\nvolume = 3.0\nlambda_volume = 1\nlambda_volum = 2\n",
     "unknown key(s) 'lambda_volum' in [types.a]"),
    ("[lattice]\nshape = [4, 4]\n[[contacts]]\ntypes = ['medium', 'ghost']\nenergy = 2.0\n",
     "unknown cell type 'ghost'"),
    ("[lattice]\nshape = [4, 4]\n[[contacts]]\ntypes = ['medium']\nenergy = 2.0\n", "contacts[0] needs types = [a, b]"),
    ("[lattice]\nshape = [4, 4]\n[fields.c]\ndecay = 0.1\n", "[fields.c] needs diffusion"),
    ("[lattice]\nshape = [4, 4]\n[fields.c]\ndiffusion = 3.0\nsubsteps = 1\n", "substeps = 1 is unstable"),
    ("[lattice]\nshape = [4, 4]\n[[placements]]\nkind = 'hexagon'\n", "kind must be one of"),
    ("[lattice]\nshape = [4, 4]\n[types.a]\nvolume = 3.0\nlambda_volume = 1\n"
     "[[placements]]\nkind = 'block'\ntype = 'a'\nlo = [0, 0]\n",
     "placements[0] (block) needs hi"),
    ("[lattice]\nshape = [4, 4]\n[[placements]]\nkind = 'label_image'\ndata = 'AAAA'\ndefault_type = 'a'\n",
     "embedded label image is corrupt"),
    ("morva_model = 2\n[lattice]\nshape = [4, 4]\n", "schema version 2 is not supported"),
])
def test_bad_files_are_refused_naming_the_entry(text, words):
    with pytest.raises((ValueError, KeyError)) as caught:
        morva.Model.from_toml(text)
    assert words in str(caught.value)


def test_unreadable_file_is_reported(tmp_path):
    with pytest.raises(ValueError, match="cannot read model file"):
        morva.load_model(tmp_path / "nothing.toml")
