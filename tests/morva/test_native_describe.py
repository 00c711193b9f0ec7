"""The engine's description of its terms and options, read through morva._native.describe()."""

import morva_core
from morva import _native

SCOPES = {"world", "per type", "per cell", "per pair of types", "per field", "per type and field",
          "per cell and field"}
OFF_TYPES = {"bool": bool, "int": int, "float": float, "vector": tuple, "sites": list}


def test_every_unit_is_plain_data_with_known_scopes_and_kinds():
    units = _native.describe()
    names = [u["name"] for u in units]
    assert len(names) == len(set(names))
    assert {"volume", "surface", "contact", "connectivity", "membrane", "junction", "length",
            "external potential", "fields"} <= set(names)
    for unit in units:
        assert unit["what"] in {"term", "option"}, unit
        assert unit["summary"] and unit["parameters"], unit
        for p in unit["parameters"]:
            assert set(p) == {"name", "scope", "kind", "range", "off"}, p
            assert p["scope"] in SCOPES, p
            assert type(p["off"]) is OFF_TYPES[p["kind"]], p
    assert _native.describe() == units  # a fresh list each call, the same contents


def test_the_options_are_those_the_engine_reads_and_start_off():
    world = morva_core.World((8, 8, 1), "noflux", 2, 1.0)
    options = {u["name"]: u for u in _native.describe() if u["what"] == "option"}
    assert options.keys() == _native.options(world).keys()
    for name, unit in options.items():
        (parameter,) = unit["parameters"]
        assert parameter["name"] == name and parameter["scope"] == "world"
        assert parameter["off"] is _native.options(world)[name] is False
