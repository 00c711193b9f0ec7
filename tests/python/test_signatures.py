"""Every method's text signature and documentation, in one table."""

import pytest

from morva_core import World

STEP_PARALLEL_TEXT = (
    "Parallel checkerboard sweep across CPU cores (opt-in; approximate but\n"
    "validated to track the sequential dynamics). `block` is the tile side\n"
    "(>=2). Set RAYON_NUM_THREADS to cap threads. Not for length-constraint models."
)
FIELD_VALUE_AT_TEXT = (
    "Concentration of field `field_idx` at site (x, y, z); out-of-range\n"
    "coordinates are clamped to the domain rather than panicking."
)
FIELD_ADD_SOURCE_AT_TEXT = (
    "Add `amount` to field `field_idx`'s concentration at site (x, y, z);\n"
    "out-of-range coordinates are clamped to the domain rather than panicking."
)
CONTACT_AREA_TEXT = (
    "Per-cell contact-area-by-type: dict[cell_type -> contact-area] of how\n"
    "much of `cell_id`'s surface contacts each neighbor cell type (MEDIUM=0\n"
    "included). Contact area uses the configured (Moore) neighborhood, the\n"
    "same one `cell_surfaces()` uses -- not axis-faces only -- so the sum of\n"
    "values equals `cell_surfaces()[cell_id]`. Pure read."
)

# name: (text signature, documentation or None)
METHODS = {
    "finalize": ("($self, seed)", None),
    "step": ("($self, mcs)", None),
    "step_parallel": ("($self, mcs, block=16)", STEP_PARALLEL_TEXT),
    "add_cell": ("($self, cell_type, target_volume, lambda_volume, target_surface, lambda_surface)", None),
    "seed_block": ("($self, cell_id, x0, y0, z0, x1, y1, z1)", None),
    "seed_from_labels": ("($self, labels, types, default_type, target_volume, lambda_volume)", None),
    "set_contact": ("($self, type_a, type_b, j)", None),
    "dims": ("($self)", None),
    "n_cells": ("($self)", None),
    "snapshot": ("($self)", None),
    "cell_types": ("($self)", None),
    "cell_volumes": ("($self)", None),
    "cell_surfaces": ("($self)", None),
    "cell_coms": ("($self)", None),
    "add_field": ("($self, name, d, decay)", None),
    "set_field_dynamics": ("($self, field_idx, dt, substeps)", None),
    "advance_fields": ("($self, n)", None),
    "set_secretion": ("($self, field_idx, cell_type, rate)", None),
    "set_cell_secretion_scale": ("($self, field_idx, cell_id, scale)", None),
    "set_chemotaxis": ("($self, field_idx, cell_type, lambda_val)", None),
    "set_chemotaxis_occupancy": ("($self, field_idx, cell_type, lambda_val, kd, hill, scale)", None),
    "field_conc": ("($self, field_idx)", None),
    "field_value_at": ("($self, field_idx, x, y, z)", FIELD_VALUE_AT_TEXT),
    "field_add_source_at": ("($self, field_idx, x, y, z, amount)", FIELD_ADD_SOURCE_AT_TEXT),
    "field_mean_at_cell": ("($self, field_idx, cell_id)", None),
    "set_connectivity": ("($self, cell_type, on)", None),
    "set_connectivity_medium": ("($self, on)", None),
    "set_junction_lambda": ("($self, lambda)", None),
    "set_external_potential": ("($self, cell_type, fx, fy, fz)", None),
    "set_length_constraint": ("($self, cell_type, target_length, lambda)", None),
    "set_junction": ("($self, cell_type, on)", None),
    "set_membrane": ("($self, anchors, k, band)", None),
    "set_membrane_anchored": ("($self, cell_type, on)", None),
    "remove_cells": ("($self, ids)", None),
    "divide_cells": ("($self, threshold, reset_target)", None),
    "grow": ("($self, cell_type, rate)", None),
    "set_cell_type": ("($self, cell_id, new_type)", None),
    "set_target_volume": ("($self, cell_id, v)", None),
    "cell_length": ("($self, cell_id)", None),
    "cell_lengths": ("($self)", None),
    "cell_contact_area_by_type": ("($self, cell_id)", CONTACT_AREA_TEXT),
}


def test_the_table_lists_every_method():
    public = {name for name in vars(World) if not name.startswith("_")}
    assert public == set(METHODS)
    assert len(METHODS) == 41


@pytest.mark.parametrize("name,expected", METHODS.items())
def test_text_signature_and_documentation(name, expected):
    method = getattr(World, name)
    assert (method.__text_signature__, method.__doc__) == expected
