"""Cell tracks and motion measures against tracks whose answers are known, and on a real pushed cell."""

import doctest
import sys
import warnings

import numpy as np
import pandas as pd
import pytest

import morva
from morva import measures, motion, tracks as tracks_module


def table(positions, mcs=None, first_frame=0):
    """Track table of positions (frames, particles, axes); particles numbered from 1."""
    frames, particles, ndim = positions.shape
    frame = np.repeat(np.arange(frames) + first_frame, particles)
    t = pd.DataFrame({"frame": frame, "particle": np.tile(np.arange(1, particles + 1), frames)})
    for i, axis in enumerate("xyz"[:ndim]):
        t[axis] = positions[..., i].ravel()
    t["mcs"] = frame if mcs is None else np.asarray(mcs)[frame - first_frame]
    return t


def persistent_walk(rng, steps, cells, persistence, sigma=0.5):
    """Positions of cells whose velocity per axis is an Ornstein-Uhlenbeck process (exact update per MCS)."""
    a = np.exp(-1.0 / persistence)
    v = np.empty((steps, cells, 2))
    v[0] = sigma * rng.normal(size=(cells, 2))
    kicks = sigma * np.sqrt(1 - a * a) * rng.normal(size=(steps, cells, 2))
    for k in range(1, steps):
        v[k] = a * v[k - 1] + kicks[k]
    return np.cumsum(v, axis=0)


@pytest.mark.parametrize("module", [tracks_module, motion])
def test_docstring_examples(module, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    result = doctest.testmod(module, optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    assert result.attempted > 0 and result.failed == 0


def test_unwrap_gives_back_the_generating_track_across_many_seam_crossings():
    rng = np.random.default_rng(3)
    box = (30, 20)
    # Two cells drifting diagonally with jitter cross the x seam about five times and y seam several times,
    # one of them only from frame 40 on; rows shuffled.
    steps = np.stack([np.full(300, 0.5), np.full(300, -0.4)], axis=-1)[:, None, :] + rng.normal(0, 1.0, (300, 2, 2))
    truth = np.cumsum(steps, axis=0) + np.array([5.0, 5.0])
    t = table(truth)
    t = t[~((t["particle"] == 2) & (t["frame"] < 40))]
    wrapped = t.copy()
    wrapped["x"], wrapped["y"] = wrapped["x"] % box[0], wrapped["y"] % box[1]
    wrapped = wrapped.sample(frac=1, random_state=1)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        got = measures.unwrap(wrapped, box)
    assert got["frame"].is_monotonic_increasing
    for particle, rows in got.groupby("particle"):
        expected = t[t["particle"] == particle].sort_values("frame")
        origin = expected[["x", "y"]].to_numpy()[0] % box - expected[["x", "y"]].to_numpy()[0]
        np.testing.assert_allclose(rows[["x", "y"]].to_numpy(), expected[["x", "y"]].to_numpy() + origin)
    assert (truth[:, :, 0].max() - truth[:, :, 0].min()) > 4 * box[0]
    # An axis given no length does not wrap.
    assert got.equals(measures.unwrap(got, (None, None)))


def test_unwrap_warns_when_frames_are_too_far_apart():
    t = table(np.array([[[1.0, 1.0]], [[9.0, 1.0]], [[9.5, 1.0]]]))
    with pytest.warns(measures.TrackWarning, match="1 moves along x"):
        measures.unwrap(t, (20, 20))
    with pytest.raises(ValueError, match="expected 2 lengths"):
        measures.unwrap(t, (20, 20, 20))


def test_ballistic_track_has_quadratic_msd_constant_speed_and_velocity_correlation():
    lag_frames = np.arange(120)
    v = np.array([0.3, -0.4])
    t = table(np.stack([lag_frames[:, None] * v * 5, lag_frames[:, None] * v * 5 + 7], axis=1), mcs=lag_frames * 5)
    series = measures.msd(t, max_lag=100)
    assert series.index.tolist() == list(range(5, 101, 5))
    np.testing.assert_allclose(series.to_numpy(), 0.25 * series.index.to_numpy() ** 2)
    np.testing.assert_allclose(measures.cell_msd(t, max_lag=50)[2].to_numpy(), 0.25 * np.arange(5, 51, 5) ** 2)
    np.testing.assert_allclose(measures.speeds(t)["speed"], 0.5)
    np.testing.assert_allclose(measures.mean_speed(t).to_numpy(), [0.5, 0.5])
    np.testing.assert_allclose(measures.vacf(t, max_lag=20).to_numpy(), 0.25)
    uneven = t[t["frame"] != 3].assign(frame=lambda d: d["frame"].rank(method="dense").astype(int) - 1)
    with pytest.raises(ValueError, match="not evenly spaced"):
        measures.msd(uneven)


@pytest.mark.parametrize("method", ["msd", "vacf"])
def test_persistence_time_of_a_persistent_random_walk_is_recovered(method):
    # 80 walkers, persistence 12 MCS, sampled every 2 MCS: the fits land within 15 %.
    x = persistent_walk(np.random.default_rng(7), 4000, 80, persistence=12.0)[::2]
    t = table(x, mcs=np.arange(x.shape[0]) * 2)
    assert measures.persistence_time(t, method=method, max_lag=120) == pytest.approx(12.0, rel=0.15)
    if method == "msd":
        fit = measures.fit_furth(measures.msd(t, 120).index, measures.msd(t, 120).to_numpy(), 2)
        assert fit["diffusion"] == pytest.approx(0.25 * 12.0, rel=0.2)  # sigma² P per axis


def test_functions_needing_the_tracks_extra_name_it(monkeypatch):
    t = table(np.zeros((5, 1, 2)))
    monkeypatch.setitem(sys.modules, "trackpy", None)
    with pytest.raises(ImportError, match=r"morva\[tracks\]"):
        measures.msd(t)


def pushed_cell():
    model = morva.Model((40, 24), temperature=4.0, default_contact=0).add_type("a", volume=64, lambda_volume=1, force=(250, 0, 0))
    return model.set_contact("medium", "a", 8).add_block("a", (4, 8), (12, 16)).build(seed=2)


def test_a_cell_pushed_across_the_seam_has_a_monotone_track_and_a_speed_matching_its_drift(tmp_path):
    sim = pushed_cell()
    rec = sim.record(tmp_path / "run", every=5)
    live = measures.track(sim, 200, every=5, progress=False)
    recorded = measures.tracks(morva.open_recording(rec.directory))
    pd.testing.assert_frame_equal(live, recorded)
    assert live.attrs == {"box": (40, 24), "periodic": True}
    x = live["x"].to_numpy()
    assert np.all(np.diff(x) > 0) and x[-1] > 40 + x[0]  # crossed the seam, never went back
    drift = (x[-1] - x[0]) / 200
    assert 0.15 < drift
    speed = measures.mean_speed(live).iloc[0]
    assert speed == pytest.approx(drift, rel=0.1)


def test_frames_are_numbered_by_the_times_of_all_frames_even_those_without_cells():
    centres = np.array([[1.0, 1, 0], [2.0, 1, 0]])
    t = tracks_module.track_table([0, 10], [3, 3], centres, [1, 1], ["medium", "a"], (8, 8), True, times=[0, 5, 10])
    assert t["frame"].tolist() == [0, 2] and t["type_name"].tolist() == ["a", "a"]
    empty = tracks_module.track_table([], [], np.empty((0, 3)), [], ["medium"], (8, 8), True, times=[0, 5])
    assert empty.empty and empty.columns.tolist() == ["frame", "particle", "x", "y", "mcs", "type_name"]
    with pytest.raises(ValueError, match="not the time of a frame"):
        tracks_module.track_table([0, 7], [3, 3], centres, [1, 1], ["medium", "a"], (8, 8), True, times=[0, 5, 10])


def test_tracks_of_a_3d_run_have_z_and_a_bare_simulation_is_refused_with_a_hint():
    model = morva.Model((10, 10, 10), default_contact=0).add_type("a", volume=27, lambda_volume=1)
    sim = model.add_block("a", (2, 2, 2), (5, 5, 5)).build()
    t = measures.track(sim, 2, progress=False)
    assert t.columns.tolist() == ["frame", "particle", "x", "y", "z", "mcs", "type_name"]
    assert t.attrs["box"] == (10, 10, 10) and t["mcs"].tolist() == [0, 1, 2]
    with pytest.raises(TypeError, match="measures.track"):
        measures.tracks(sim)
