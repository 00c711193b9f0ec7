"""Small models shared by the package tests (a plain module: tests/python owns the name conftest)."""

import pathlib

import pytest

import morva

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"
MODELS = EXAMPLES / "models"


def two_type_model(side=40, temperature=10.0):
    """Two cell types on a checkerboard of 5 x 5 cells in the middle of a periodic box."""
    model = morva.Model((side, side), temperature=temperature, default_contact=0)
    model.add_type("dark", volume=25, lambda_volume=1).add_type("light", volume=25, lambda_volume=1)
    for a, b, j in [("medium", "dark", 16), ("medium", "light", 16), ("dark", "dark", 4), ("light", "light", 14),
                    ("dark", "light", 11)]:
        model.set_contact(a, b, j)
    return model.add_tiling(["dark", "light"], (10, 10), (30, 30), 5)


def assert_type_attributes_refused(tmp_path, attrs, words):
    """Type attributes `attrs` are refused with `words`, from Python and from a model file (file, line)."""
    with pytest.raises(ValueError, match=words):
        morva.Model((8, 8)).add_type("t", volume=9, lambda_volume=1, **attrs)
    keys = "".join(f"{k} = {v}\n" for k, v in attrs.items())
    path = tmp_path / "bad.toml"
    path.write_text(f"[lattice]\nshape = [8, 8]\n[types.t]\nvolume = 9\nlambda_volume = 1\n{keys}")
    with pytest.raises(ValueError) as caught:
        morva.load_model(path)
    assert str(caught.value).startswith(f"{path}, line 3: ") and words in str(caught.value)


def record_then_resume(sim, folder, first, then, **record_options):
    """Record `first` MCS of `sim` into `folder`, resume the folder and run `then` more: the resumed simulation.

    Both recorders are closed, so the folder can be read back whole.
    """
    sim.record(folder, **record_options)
    sim.run(first, progress=False)
    sim.recorder.close()
    resumed = morva.resume(folder)
    resumed.run(then, progress=False)
    resumed.recorder.close()
    return resumed
