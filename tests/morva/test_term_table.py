"""The package learns the engine's terms and options from _native.describe() through one table (morva.terms)."""

import dataclasses
import inspect
import pathlib
import re

import pytest

from morva import _native, terms
from morva.model import CellType, Chemotaxis, FieldSpec, Model

DOCS = pathlib.Path(__file__).resolve().parents[2] / "docs"
PYTHON_TYPES = {"bool": bool, "float": float, "vector": tuple, "int": int}


def test_every_engine_parameter_is_mapped_and_every_mapped_one_is_declared():
    assert terms.unmapped() == []
    assert len(terms.PARAMETERS) == sum(place is not None for _, _, place, _, _ in terms.TABLE)


@pytest.mark.parametrize("change", ["add", "drop", "rename option"])
def test_a_declaration_the_table_does_not_match_is_reported(monkeypatch, change):
    units = _native.describe()
    if change == "add":
        units[0]["parameters"].append({**units[0]["parameters"][0], "name": "stiffness"})
        expected = "the engine declares 'volume' parameter 'stiffness', which the package does not map"
    elif change == "drop":
        (length,) = (u for u in units if u["name"] == "length")
        length["parameters"].pop()
        expected = "the package maps 'length' parameter 'lambda_length', which the engine does not declare"
    else:
        units[-1]["name"] = "face_contacts"
        expected = "world option 'face_connectivity' is kept as 'face_connectivity'"
    monkeypatch.setattr(terms, "_native", type("Engine", (), {"describe": staticmethod(lambda: units)}))
    assert expected in terms.unmapped()


def test_the_package_classes_hold_exactly_the_mapped_names_with_the_engine_kinds():
    assert [f.name for f in dataclasses.fields(CellType)] == ["name", *terms.TYPE_ATTRS]
    assert [f.name for f in dataclasses.fields(FieldSpec)] == ["name", *terms.FIELD_KEYS]
    assert [f.name for f in dataclasses.fields(Chemotaxis)] == list(terms.CHEMOTAXIS_KEYS)
    assert list(inspect.signature(Model.add_type).parameters)[2:] == list(terms.TYPE_ATTRS)
    cell_type = CellType("a", 9, 1)
    for p in terms.parameters("type"):
        assert type(getattr(cell_type, p.name)) is PYTHON_TYPES[p.kind], p
    assert Model.WORLD_OPTIONS == tuple(u["name"] for u in _native.describe() if u["what"] == "option")


def test_checks_follow_the_engine_kind_and_the_package_limits():
    with pytest.raises(ValueError, match=r"^cell type 'a': connectivity must be true or false, got 1$"):
        CellType("a", 9, 1, connectivity=1)
    with pytest.raises(ValueError, match=r"^cell type 'a': lambda_length must be at least 0, got -1$"):
        CellType("a", 9, 1, lambda_length=-1)
    with pytest.raises(ValueError, match=r"^x: hill must be greater than 0, got 0$"):
        Chemotaxis(1.0, hill=0).check("x")
    assert CellType("a", 9, 1, force=[1, 0, 0]).force == (1.0, 0.0, 0.0)


def table_keys(page, heading, column=1):
    """Keys in backquotes in one column of the table rows from `heading` on (a heading, or a row itself)."""
    text = (DOCS / page).read_text(encoding="utf-8")
    section = text[text.index(heading):]
    if section.startswith("|"):
        rows = section.splitlines()[:1]
    else:
        rows = section[section.index("\n|") + 1:].split("\n\n")[0].splitlines()[2:]  # past the header and rule
    rows = [row.split("|")[column] for row in rows]
    return [key for cell in rows for key in re.findall(r"`([^`]+)`", cell)]


def test_the_docs_tables_name_exactly_the_package_keys():
    assert set(table_keys("model-file.md", "### `[types.<name>]`")) == set(terms.TYPE_ATTRS)
    assert table_keys("model-file.md", "### `[options]`") == list(terms.WORLD_OPTIONS)
    assert table_keys("world-options.md", "# World options") == list(terms.WORLD_OPTIONS)
    field_keys = [re.sub(r"^\[fields\.<name>\.(\w+).*", r"\1", k)
                  for k in table_keys("model-file.md", "### `[fields.<name>]`")]
    assert field_keys == list(terms.FIELD_KEYS)
    assert list(dict.fromkeys(table_keys("model-file.md", "| `[fields.<name>.chemotaxis.<type>]`", column=2))) == [
        *terms.CHEMOTAXIS_KEYS]
