"""Track and MSD pictures draw where the tracks are, cut at the seams."""

import doctest

import numpy as np
import pandas as pd
import pytest

import morva.viz.tracks
from morva.viz import figure_rgb, plot_msd, plot_tissue, plot_tracks


def pixel(rgb, ax, x, y):
    px, py = ax.transData.transform((x, y))
    return rgb[rgb.shape[0] - 1 - int(round(py)), int(round(px))] / 255.0


def crossing_track():
    """One cell moving along +x at y = 12 from x = 30 to x = 50 on a 40 x 24 periodic box (unwrapped)."""
    t = pd.DataFrame({"frame": np.arange(11), "particle": 1, "x": np.linspace(30, 50, 11), "y": 12.0})
    t.attrs.update(box=(40, 24), periodic=True)
    return t


def test_docstring_examples(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    result = doctest.testmod(morva.viz.tracks, optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    assert result.attempted > 0 and result.failed == 0


def test_tracks_over_the_tissue_are_drawn_where_the_cell_went_and_cut_at_the_seam():
    labels = np.zeros((24, 40), np.uint32)
    labels[8:16, 6:14] = 1
    fig = plot_tissue(labels, [0, 1], type_names=["medium", "a"], borders=False)
    ax = fig.axes[0]
    plot_tracks(crossing_track(), ax, color=(1.0, 0.0, 0.0), linewidth=3)
    assert ax.get_xlim() == (0, 40) and ax.get_ylim() == (0, 24)
    rgb = figure_rgb(fig, dpi=100)
    red = np.array([1.0, 0.0, 0.0])
    # Drawn on both sides of the seam (site centres at +0.5), up to the seam itself ...
    for x in (31.0, 36.0, 39.8, 0.2, 4.0, 9.0):
        np.testing.assert_allclose(pixel(rgb, ax, x, 12.5), red, atol=0.1, err_msg=str(x))
    # ... but not across the box, where a line joining the wrapped ends would run, nor past its end.
    for x in (20.0, 12.0, 29.0):
        assert np.abs(pixel(rgb, ax, x, 12.5) - red).max() > 0.3, x
    # Up to frame 3 the track stops before the seam.
    early = plot_tracks(crossing_track(), frame=3, color=(1.0, 0.0, 0.0), linewidth=3)
    rgb = figure_rgb(early, dpi=100)
    assert np.abs(pixel(rgb, early.axes[0], 4.0, 12.5) - red).max() > 0.3
    np.testing.assert_allclose(pixel(rgb, early.axes[0], 35.0, 12.5), red, atol=0.1)


def test_unwrapped_tracks_are_drawn_at_their_centres_one_line_per_cell():
    t = pd.concat([crossing_track(), crossing_track().assign(particle=2, y=3.0)])
    fig = plot_tracks(t, wrap=False, offset=0.0)
    lines = [line for line in fig.axes[0].lines if line.get_label().startswith("cell")]
    assert [line.get_label() for line in lines] == ["cell 1", "cell 2"]
    np.testing.assert_allclose(lines[1].get_xydata(), t[t["particle"] == 2][["x", "y"]].to_numpy())
    with pytest.raises(ValueError, match="wrap needs the box"):
        plot_tracks(t.iloc[:3].copy().pipe(lambda d: d.attrs.clear() or d), wrap=True)


def test_msd_plot_has_ballistic_and_diffusive_guides_and_the_fit():
    lag = np.arange(1, 101)
    series = pd.Series(lag ** 1.5, index=lag, dtype=float)
    fig = plot_msd(series, fit={"diffusion": 1.0, "persistence_time": 10.0})
    lines = {line.get_label(): line.get_xydata() for line in fig.axes[0].lines}
    for label, slope in (("∝ t² (ballistic)", 2), ("∝ t (diffusive)", 1)):
        x, y = lines[label].T
        np.testing.assert_allclose(np.diff(np.log(y)) / np.diff(np.log(x)), slope)
    fitted = next(v for k, v in lines.items() if k.startswith("Fürth"))
    np.testing.assert_allclose(fitted[-1, 1], 4 * (100 - 10 * (1 - np.exp(-10))))
