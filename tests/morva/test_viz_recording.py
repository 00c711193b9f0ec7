"""Pictures, movies, exports and plots made from a real recording, read back with other readers."""

import json
import os
import pathlib
import subprocess
import sys

import numpy as np
import pytest

import morva
import morva.viz as viz

EVERY, MCS = 10, 50


@pytest.fixture(scope="module")
def recording(tmp_path_factory):
    """A 30 x 30 checkerboard of light and dark 5 x 5 cells; light cells secrete a signal."""
    model = morva.Model((30, 30), temperature=10, default_contact=0)
    model.add_type("light", volume=25, lambda_volume=1).add_type("dark", volume=25, lambda_volume=1)
    for a, b, energy in [("medium", "light", 16), ("medium", "dark", 16), ("light", "light", 6),
                         ("dark", "dark", 14), ("light", "dark", 11)]:
        model.set_contact(a, b, energy)
    model.add_tiling(["light", "dark"], (5, 5), (25, 25), 5)
    model.add_field("signal", diffusion=0.1, decay=0.01)
    model.set_secretion("signal", "light", 0.1)
    sim = model.build(seed=3)
    directory = tmp_path_factory.mktemp("rec") / "run"
    sim.record(directory, every=EVERY)
    sim.run(MCS, progress=False)
    sim.recorder.close()
    return morva.open_recording(directory)


def read_movie(path):
    imageio = pytest.importorskip("imageio.v2")
    with imageio.get_reader(path, format="FFMPEG") as reader:
        return np.stack([reader.get_data(i) for i in range(reader.count_frames())])


def test_movie_has_a_frame_per_recorded_step_of_one_size(recording, tmp_path):
    movie = read_movie(viz.recording_movie(recording, tmp_path / "run.mp4", fps=5, field="signal"))
    assert len(movie) == len(recording) == MCS // EVERY + 1
    every_other = read_movie(viz.recording_movie(recording, tmp_path / "half.mp4", every=2))
    assert len(every_other) == 3 and every_other.shape[1:] == movie.shape[1:]
    assert movie.shape[1] % 2 == 0 and movie.shape[2] % 2 == 0


def test_step_counter_is_what_differs_between_two_pictures_of_one_frame(recording):
    args = viz.frame_picture_args(recording, 2)
    fig_a = viz.plot_tissue(**{**args, "mcs": 0})
    fig_b = viz.plot_tissue(**{**args, "mcs": 987654})
    a, b = viz.figure_rgb(fig_a), viz.figure_rgb(fig_b)
    rows, cols = np.nonzero((a != b).any(axis=-1))
    assert rows.size
    box = fig_b.axes[0].texts[0].get_bbox_patch().get_window_extent()  # the counter and its frame
    assert cols.min() >= box.x0 - 2 and cols.max() <= box.x1 + 2
    assert a.shape[0] - rows.max() >= box.y0 - 2 and a.shape[0] - rows.min() <= box.y1 + 2


def test_frame_arguments_follow_the_recording(recording):
    args = viz.frame_picture_args(recording, -1, color_by="volume", field="signal")
    assert args["mcs"] == MCS
    np.testing.assert_array_equal(args["labels"], recording.labels(-1))
    last = recording.cells[recording.cells["time"] == MCS]
    assert (args["cell_type"][last["id"]] == last["type"]).all()
    assert (args["values"][last["id"]] == last["volume"]).all()
    with pytest.raises(IndexError, match="outside the recording's 6 frames"):
        viz.frame_picture_args(recording, 6)
    with pytest.raises(KeyError, match="no column 'mass'"):
        viz.frame_picture_args(recording, 0, color_by="mass")


def test_vtk_series_lists_every_frame_and_each_file_holds_labels_types_and_fields(recording, tmp_path):
    pyvista = pytest.importorskip("pyvista")
    series_path = viz.export_vtk(recording, tmp_path / "vtk")
    series = json.loads(series_path.read_text())
    assert [entry["time"] for entry in series["files"]] == recording.times.tolist()
    grid = pyvista.read(series_path.parent / series["files"][-1]["name"])
    shape = recording.labels(-1).shape
    labels = np.asarray(grid.cell_data["labels"]).reshape(shape)
    np.testing.assert_array_equal(labels, recording.labels(-1))
    types = viz.frame_picture_args(recording, -1)["cell_type"]
    np.testing.assert_array_equal(np.asarray(grid.cell_data["cell_type"]).reshape(shape), types[labels])
    np.testing.assert_array_equal(np.asarray(grid.cell_data["signal"]).reshape(shape), recording.field("signal", -1))
    with pytest.raises(FileExistsError, match="not empty"):
        viz.export_vtk(recording, tmp_path / "vtk")
    with pytest.raises(KeyError, match="no recorded field named 'heat'"):
        viz.export_vtk(recording, tmp_path / "other", fields=["heat"])


def test_tiff_stacks_read_back_as_the_recorded_frames(recording, tmp_path):
    tifffile = pytest.importorskip("tifffile")
    paths = viz.export_tiff(recording, tmp_path / "tif", every=2)
    assert [p.name for p in paths] == ["labels.tif", "cell_type.tif", "field_signal.tif"]
    labels = tifffile.imread(paths[0])
    np.testing.assert_array_equal(labels, np.stack([recording.labels(i) for i in (0, 2, 4)]))
    signal = tifffile.imread(paths[2])
    np.testing.assert_array_equal(signal[-1], recording.field("signal", 4))


def test_exports_carry_the_recorded_activity(recording, tmp_path):
    pyvista = pytest.importorskip("pyvista")
    tifffile = pytest.importorskip("tifffile")
    from test_act import crawler

    sim = crawler().add_block("t", (2, 2), (8, 8), activity="max").build(seed=2)
    sim.record(tmp_path / "rec", every=3)
    sim.run(6, progress=False)
    sim.recorder.close()
    act = morva.open_recording(tmp_path / "rec")
    paths = viz.export_tiff(act, tmp_path / "tif", frames=[1, 2])
    assert [p.name for p in paths] == ["labels.tif", "cell_type.tif", "activity.tif"]
    stack = tifffile.imread(paths[2])
    assert stack.dtype == np.uint16 and stack.any()
    np.testing.assert_array_equal(stack, np.stack([act.activity(1), act.activity(2)]))
    series = json.loads(viz.export_vtk(act, tmp_path / "vtk").read_text())
    grid = pyvista.read(tmp_path / "vtk" / series["files"][-1]["name"])
    np.testing.assert_array_equal(np.asarray(grid.cell_data["activity"]).reshape(act.activity(-1).shape),
                                  act.activity(-1))
    assert "activity.tif" not in [p.name for p in viz.export_tiff(act, tmp_path / "plain", activity=False)]
    assert [p.name for p in viz.export_tiff(recording, tmp_path / "none")][-1] == "field_signal.tif"


def test_run_series_start_from_the_known_initial_tissue_and_follow_it(recording):
    series = viz.run_series(recording)
    assert series["volume"].index.tolist() == recording.times.tolist()
    assert list(series["volume"].columns) == ["light", "dark"]
    assert (series["volume"].iloc[0] == 25).all()
    assert series["surface"].iloc[0].nunique() == 1  # equal squares at the start
    assert series["sorting_index"].iloc[0] == 1.0  # a checkerboard: every contact is mixed
    assert 0 < series["sorting_index"].iloc[-1] < 1.0
    totals = series["field_total"]["signal"]
    assert totals.iloc[0] == 0 and (np.diff(totals) > 0).all()  # secreted, not yet balanced by decay
    assert series["cells"].iloc[0].tolist() == [8, 8] and series["cells"].dtypes.eq(np.int64).all()
    fig = viz.plot_run(recording)
    panels = [ax.get_ylabel().split("\n")[0] for ax in fig.axes if ax.get_visible()]
    assert sorted(panels) == ["cells", "field total (sum over sites)", "mean surface (neighbour pairs)",
                              "mean volume (sites)", "sorting index"]
    assert all(ax.lines for ax in fig.axes if ax.get_visible())


def test_run_plot_of_a_one_type_model_has_no_empty_sorting_panel(tmp_path):
    model = morva.Model((20, 20), default_contact=4).add_type("a", volume=16, lambda_volume=1)
    sim = model.add_tiling("a", (2, 2), (18, 18), 4).build(seed=1)
    sim.record(tmp_path / "one", every=5)
    sim.run(10, progress=False)
    sim.recorder.close()
    fig = viz.plot_run(morva.open_recording(tmp_path / "one"))
    visible = [ax for ax in fig.axes if ax.get_visible()]
    counts = [ax for ax in visible if ax.get_ylabel() == "cells"]
    assert len(visible) == 3 and len(counts) == 1 and all(ax.lines for ax in visible)
    assert counts[0].lines[0].get_ydata().tolist() == [16, 16, 16]


def test_frame_strip_shows_evenly_spaced_frames_first_and_last_included(recording):
    def titles(fig):
        return [ax.get_title() for ax in fig.axes if ax.images]

    assert titles(viz.frame_strip(recording, n=2)) == ["MCS 0", "MCS 50"]
    assert titles(viz.frame_strip(recording, n=20)) == [f"MCS {t}" for t in recording.times]
    for n in range(2, len(recording.times) + 1):
        shown = [int(title.split()[1]) for title in titles(viz.frame_strip(recording, n=n))]
        assert shown[-1] == recording.times[-1] and len(set(np.diff(shown))) == 1 and len(shown) * 2 >= n
    assert titles(viz.frame_strip(recording, frames=[4, 1])) == ["MCS 40", "MCS 10"]


def test_scrubber_slider_changes_the_picture_and_falls_back_to_a_strip(recording, monkeypatch):
    pytest.importorskip("ipywidgets")
    widget = viz.scrub(recording)
    slider, image = widget.children
    assert (slider.min, slider.max) == (0, len(recording) - 1)
    first = bytes(image.value)
    slider.value = len(recording) - 1
    assert bytes(image.value) != first and bytes(image.value).startswith(b"\x89PNG")

    from morva.viz import _deps

    def missing(module):
        if module == "ipywidgets":
            raise ImportError(module)
        return _deps.require(module)

    monkeypatch.setattr("morva.viz.notebook.require", missing)
    assert len([ax for ax in viz.scrub(recording).axes if ax.images]) == 6


def test_simulation_shows_its_tissue_as_png(recording):
    imageio = pytest.importorskip("imageio.v3")
    sim = recording.model.build(seed=1)
    picture = imageio.imread(sim._repr_png_())
    colours = np.round(viz.type_colours(3) * 255)
    for colour in colours:
        assert (np.abs(picture[..., :3].astype(int) - colour).max(axis=-1) <= 1).any()


def test_movie_command_writes_the_movie_and_refuses_to_overwrite(recording, tmp_path):
    command = [str(pathlib.Path(sys.executable).parent / "morva"), "movie", str(recording.directory),
               str(tmp_path / "run.gif"), "--fps", "4", "--color-by", "volume"]
    env = {**os.environ, "PYTHONWARNINGS": "error"}
    done = subprocess.run(command, capture_output=True, text=True, env=env, timeout=300)
    assert done.returncode == 0, done.stderr
    imageio = pytest.importorskip("imageio.v3")
    assert imageio.imread(tmp_path / "run.gif", index=None).shape[0] == len(recording)
    again = subprocess.run(command, capture_output=True, text=True, env=env, timeout=300)
    assert again.returncode == 2 and "--overwrite" in again.stderr


def test_rendered_surfaces_show_each_type_colour():
    pytest.importorskip("pyvista")
    labels = np.zeros((12, 14, 16), np.uint32)
    labels[3:9, 3:11, 2:8], labels[3:9, 3:11, 8:14] = 1, 2
    plotter = viz.plot_surfaces(labels, [0, 1, 2], off_screen=True, window_size=(300, 240))
    picture = plotter.screenshot(return_img=True)
    plotter.close()
    assert picture.shape[:2] == (240, 300)
    hue = picture.astype(float) / 255
    for colour in viz.type_colours(3)[1:]:
        # Shading darkens a face, so look for the type's hue: a pixel proportional to its colour.
        lit = hue / np.maximum(hue.max(axis=-1, keepdims=True), 1e-6)
        assert (np.abs(lit - colour / colour.max()).max(axis=-1) < 0.06).sum() > 50


@pytest.mark.parametrize("options", [{}, {"field": "signal", "field_mode": "beside"}, {"color_by": "volume"}])
def test_movie_frames_equal_pictures_drawn_afresh(recording, options):
    from morva.viz.movie import colour_ranges

    frames = list(viz.render_frames(recording, frames=[0, 3, 5], dpi=60, **options))
    picture = {k: v for k, v in options.items() if k not in ("field", "color_by")}
    picture.update(colour_ranges(recording, options.get("color_by"), options.get("field")))
    for frame, index in zip(frames, [0, 3, 5]):
        args = viz.frame_picture_args(recording, index, color_by=options.get("color_by"), field=options.get("field"))
        np.testing.assert_array_equal(frame, viz.figure_rgb(viz.plot_tissue(**args, **picture), dpi=60))
    assert not np.array_equal(frames[0], frames[2])
