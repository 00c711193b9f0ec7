"""Model files: the example files load, round-trip and build; bad files are refused with the entry named."""

import numpy as np
import pytest

import morva
from morva.cli import main

from package_models import EXAMPLES, MODELS, two_type_model

# Every model an example loads; examples/sorting_sweep.toml is a sweep file, not a model.
EXAMPLE_FILES = sorted(MODELS.glob("*.toml")) + [EXAMPLES / "sorting_small.toml"]


def test_there_is_a_model_file_per_example():
    assert {p.stem for p in EXAMPLE_FILES} >= {"cell_sorting", "sorting_3d", "chemotaxis", "proliferation",
                                               "tissue_image"}


@pytest.mark.parametrize("path", EXAMPLE_FILES, ids=lambda p: p.stem)
def test_example_files_round_trip_and_build_the_same_world(path, tmp_path, monkeypatch):
    monkeypatch.syspath_prepend(str(EXAMPLES))  # where the examples' "module:name" functions live
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
    model = morva.Model((10, 10), default_contact=0).add_type("a", volume=9, lambda_volume=1)
    model.add_label_image(tmp_path / "sub" / "cells.npy", default_type="a")
    model.save(tmp_path / "sub" / "m.toml")
    assert 'path = "cells.npy"' in (tmp_path / "sub" / "m.toml").read_text()
    assert morva.load_model(tmp_path / "sub" / "m.toml").build().cells()["volume"].tolist() == [9]


@pytest.mark.parametrize("text, words, line", [
    ("[lattice\nshape = [4, 4]", "not valid TOML", None),
    ("[types.a]\nvolume = 1.0\nlambda_volume = 1.0\n", "[lattice] table is missing", None),
    ("[lattice]\nshape = [4, 4]\ncolour = 1\n", "unknown key 'colour' in [lattice]", 3),
    ("[lattice]\nshape = [4, 4]\ntemprature = 1\n", "'temprature' (did you mean 'temperature'?) in [lattice]", 3),
    ("[lattice]\nshape = [4, 4]\n[types.a]\nvolume = 3.0\n", "[types.a] needs lambda_volume", 3),
    ("[lattice]\nshape = [4, 4]\n[types.a]\nvolume = 3.0\nlambda_volume = 1\nlambda_volum = 2\n",
     "unknown key 'lambda_volum' (did you mean 'lambda_volume'?) in [types.a]", 6),
    ("[lattice]\nshape = [4, 4]\n[types.a]\nvolume = -3.0\nlambda_volume = 1\n", "volume must be greater than 0", 3),
    ("[lattice]\nshape = [4, 4]\n[[contacts]]\ntypes = ['medium', 'ghost']\nenergy = 2.0\n",
     "unknown cell type 'ghost'", 3),
    ("[lattice]\nshape = [4, 4]\n[[contacts]]\ntypes = ['medium']\nenergy = 2.0\n", "contacts[0] needs types = [a, b]",
     3),
    ("[lattice]\nshape = [4, 4]\n[fields.c]\ndecay = 0.1\n", "[fields.c] needs diffusion", 3),
    ("[lattice]\nshape = [4, 4]\n[fields.c]\ndiffusion = 3.0\nsubsteps = 1\n", "substeps = 1 is unstable", 3),
    ("[lattice]\nshape = [4, 4]\n[[placements]]\nkind = 'hexagon'\n", "kind must be one of", 3),
    ("[lattice]\nshape = [4, 4]\n[types.a]\nvolume = 3.0\nlambda_volume = 1\n"
     "[[placements]]\nkind = 'block'\ntype = 'a'\nlo = [0, 0]\n",
     "placements[0] (block) needs hi", 6),
    ("[lattice]\nshape = [4, 4]\n[[placements]]\nkind = 'label_image'\ndata = 'AAAA'\ndefault_type = 'a'\n",
     "embedded label image is corrupt", 3),
    ("morva_model = 2\n[lattice]\nshape = [4, 4]\n", "schema version 2 is not supported", None),
])
def test_bad_files_are_refused_naming_file_line_and_entry(tmp_path, text, words, line):
    with pytest.raises((ValueError, KeyError)) as caught:
        morva.Model.from_toml(text)
    assert words in str(caught.value)
    path = tmp_path / "bad.toml"
    path.write_text(text)
    with pytest.raises(ValueError) as caught:
        morva.load_model(path)
    message = str(caught.value)
    assert words in message
    assert message.startswith(f"{path}, line {line}: " if line else f"{path}: ")


def test_missing_contact_pairs_are_named_unless_a_default_is_given(tmp_path, capsys):
    model = morva.Model((10, 10)).add_type("dark", volume=9, lambda_volume=1).add_type("light", volume=9,
                                                                                       lambda_volume=1)
    model.set_contact("medium", "dark", 16).set_contact("medium", "light", 16).set_contact("dark", "dark", 2)
    model.set_contact("light", "light", 14)
    assert model.missing_contacts() == [("dark", "light")]
    with pytest.raises(ValueError, match=r"no contact energy for dark:light;"):
        model.build()
    model.save(tmp_path / "m.toml")
    assert main(["run", str(tmp_path / "m.toml"), "--mcs", "1", "--out", str(tmp_path / "r")]) == 2
    assert f"{tmp_path / 'm.toml'}: no contact energy for dark:light" in capsys.readouterr().err
    assert not (tmp_path / "r").exists()
    model.default_contact = 5.0
    model.save(tmp_path / "m.toml")
    assert morva.load_model(tmp_path / "m.toml") == model
    assert model.missing_contacts() == [] and model.contact("light", "dark") == 5.0
    assert main(["run", str(tmp_path / "m.toml"), "--mcs", "1", "--out", str(tmp_path / "r"), "--quiet"]) == 0


def test_unreadable_file_is_reported(tmp_path):
    with pytest.raises(ValueError, match="cannot read model file"):
        morva.load_model(tmp_path / "nothing.toml")
