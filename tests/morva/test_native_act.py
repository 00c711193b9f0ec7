"""The act model through morva._native: set before finalize, activity read as an array, kept by checkpoints."""

import numpy as np
import pytest

from morva import _native
from native_scenarios import tissue


def act_world():
    w = tissue((20, 18, 1), size=5)
    _native.set_act(w, 1, 60.0, 12)
    _native.set_act(w, 2, 20.0, 3)
    return w


def test_activity_is_zero_until_set_and_follows_the_copies():
    plain = tissue((20, 18, 1), size=5)
    assert _native.activity(plain).shape == (1, 18, 20)
    assert not _native.activity(plain).any()
    assert "act" in {u["name"] for u in _native.describe()}

    w = act_world()
    w.finalize(3)
    w.step(4)
    activity = _native.activity(w)
    labels = _native.labels(w)
    types = _native.cells(w)["type"][labels]
    assert activity.dtype == np.uint16 and activity.shape == labels.shape
    assert activity[types == 1].max() > 0
    assert activity[types == 1].max() <= 11 and activity[types == 2].max() <= 2


def test_a_checkpoint_resumes_the_act_model_bit_for_bit():
    w = act_world()
    _native.set_act_mean(w, "arithmetic")
    w.finalize(9)
    w.step(3)
    twin = _native.loads(_native.dumps(w))
    w.step(5)
    twin.step(5)
    assert np.array_equal(_native.activity(twin), _native.activity(w))
    assert twin.snapshot() == w.snapshot()


def test_bad_settings_are_refused_with_their_name():
    w = tissue((12, 12, 1), size=4)
    with pytest.raises(ValueError, match="max_act = 70000 is above 65535"):
        _native.set_act(w, 1, 5.0, 70000)
    with pytest.raises(ValueError, match="'geometric' or 'arithmetic'"):
        _native.set_act_mean(w, "harmonic")
    _native.set_act(w, 1, 5.0, 10)
    w.finalize(1)
    with pytest.raises(RuntimeError, match="set_act after finalize"):
        _native.set_act(w, 1, 5.0, 10)


def test_set_activity_takes_one_uint16_per_site_and_refuses_the_rest_whole():
    plain = tissue((12, 12, 1), size=4)
    with pytest.raises(ValueError, match="needs a cell type with the act model"):
        _native.set_activity(plain, np.zeros((1, 12, 12), np.uint16))
    w = act_world()
    w.finalize(2)
    values = np.where(_native.cells(w)["type"][_native.labels(w)] == 1, 12, 0).astype(np.uint16)
    _native.set_activity(w, values)
    assert np.array_equal(_native.activity(w), values)
    with pytest.raises(TypeError, match="must be uint16, not items of format 'i'"):
        _native.set_activity(w, values.astype(np.int32))
    with pytest.raises(ValueError, match="got 359 values for 360 sites"):
        _native.set_activity(w, values.ravel()[1:])
    assert np.array_equal(_native.activity(w), values)
