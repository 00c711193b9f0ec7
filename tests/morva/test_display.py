"""Notebook display of models and recordings, and the API page's cross-references."""

import pathlib
import sys

import pytest

import morva

ROOT = pathlib.Path(__file__).resolve().parents[2]


def test_model_and_recording_show_summary_tables(tmp_path):
    model = morva.Model((20, 20)).add_type("dark", volume=16, lambda_volume=1, colour="navy")
    model.add_type("light", volume=16, lambda_volume=1).add_field("c", diffusion=0.1).set_secretion("c", "dark", 1)
    model.set_contact("medium", "dark", 12).add_block("dark", (2, 2), (6, 6))
    page = model._repr_html_()
    assert "<td style='text-align:left'>dark</td>" in page and "navy" in page
    assert "<td style='text-align:left'>medium:dark</td><td style='text-align:left'>12</td>" in page
    assert "<td style='text-align:left'>dark:light</td><td style='text-align:left'>missing</td>" in page
    assert "dark 1" in page and "1 block" in page
    reacting = model.copy().add_field("d", diffusion=1.0).add_reaction("turing", "morva.reactions:schnakenberg",
                                                                        ["c", "d"])
    assert "<td style='text-align:left'>morva.reactions:schnakenberg</td><td style='text-align:left'>c, d</td>" in (
        reacting._repr_html_())
    model.default_contact = 3.0
    assert "3 (default)" in model._repr_html_() and "missing" not in model._repr_html_()
    sim = model.build(seed=1)
    sim.record(tmp_path / "r", every=5)
    sim.run(10, progress=False)
    sim.recorder.close()
    page = morva.open_recording(tmp_path / "r")._repr_html_()
    assert "3 every 5 MCS, MCS 0 to 10" in page and "data:image/png;base64," in page


def test_sphinx_roles_become_links_to_documented_objects():
    griffe = pytest.importorskip("griffe")
    sys.path.insert(0, str(ROOT / "docs" / "scripts"))
    try:
        from sphinx_roles import SphinxRoles
    finally:
        sys.path.pop(0)
    package = griffe.load("morva", search_paths=[str(ROOT / "python")],
                          extensions=griffe.load_extensions(SphinxRoles()))
    add_type = package["model.Model.add_type"].docstring.value
    assert "[`CellType`][morva.CellType]" in add_type and ":class:" not in add_type
    assert "[`set_contact`][morva.Model.set_contact]" in package["model.Model"].docstring.value
    assert "[`type_colours`][morva.viz.type_colours]" in package["viz.runplots.plot_run"].docstring.value
    assert "`encode_image`" in package["placement.decode_image"].docstring.value  # not documented: plain code
