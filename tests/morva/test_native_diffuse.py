"""morva._native.diffuse and set_field: the fields' own diffusion step on the package's arrays."""

import numpy as np
import pytest

import morva
from morva import _native


@pytest.mark.parametrize("shape, boundary", [((17, 11), "periodic"), ((9, 7, 5), "noflux"), ((12, 1), "noflux")])
def test_diffuse_is_the_engine_step_bit_for_bit(shape, boundary):
    model = morva.Model(shape, boundary).add_field("c", diffusion=0.2, decay=0.01)
    sim = model.build(seed=1)
    values = np.random.default_rng(0).random(sim.field("c").shape, dtype=np.float32)
    _native.set_field(sim.world, 0, values)
    assert np.array_equal(sim.field("c"), values)
    n = model.fields["c"].resolved_substeps(model.ndim)
    a, b = values.copy(), np.empty_like(values)
    for _ in range(n):
        _native.diffuse(sim.world, a, b, 0.2, 0.01, 1.0 / n)
        a, b = b, a
    sim.world.advance_fields(1)
    assert np.array_equal(sim.field("c"), a) and not np.array_equal(a, values)


def test_bad_buffers_are_refused_naming_the_argument():
    sim = morva.Model((6, 4)).add_field("c", diffusion=0.1).build()
    a = np.zeros((1, 4, 6), np.float32)
    with pytest.raises(ValueError, match="must not overlap"):
        _native.diffuse(sim.world, a, a, 0.1, 0.0, 1.0)
    with pytest.raises(TypeError, match="'values' must hold float32 values, not format 'd'"):
        _native.diffuse(sim.world, a.astype(float), a.copy(), 0.1, 0.0, 1.0)
    with pytest.raises(ValueError, match="'out' holds 23 values for 24 sites"):
        _native.diffuse(sim.world, a, np.zeros(23, np.float32), 0.1, 0.0, 1.0)
    with pytest.raises(ValueError, match="'values' holds 25 values for 24 sites"):
        _native.set_field(sim.world, 0, np.zeros(25, np.float32))
    with pytest.raises(BaseException, match="index"):
        _native.set_field(sim.world, 1, a)
    assert not sim.field("c").any()
