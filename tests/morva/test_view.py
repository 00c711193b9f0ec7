"""The napari viewer: recordings as layers, hover rows, type colours on screen, the reader, live runs."""

import os
import subprocess
import sys

import numpy as np
import pytest

napari = pytest.importorskip("napari")

import morva  # noqa: E402
from morva.view import LiveView, open_in_viewer  # noqa: E402
from morva.viz import type_colours  # noqa: E402

from package_models import two_type_model  # noqa: E402


def record_2d(directory, mcs=20):
    sim = two_type_model().add_field("c", diffusion=0.2, decay=0.05).set_secretion("c", "dark", 0.5).build(seed=2)
    sim.add_hook(lambda s: s.retype([1], "light") if s.mcs == 10 else None, every=10)
    sim.record(directory, every=5)
    sim.run(mcs, progress=False)
    sim.recorder.close()
    return morva.open_recording(directory)


def record_3d(directory):
    model = morva.Model((12, 10, 8), default_contact=5)
    model.add_type("a", volume=27, lambda_volume=1).add_type("b", volume=27, lambda_volume=1)
    model.set_contact("medium", "a", 10).set_contact("medium", "b", 10)
    sim = model.add_block("a", (1, 1, 1), (4, 4, 4)).add_block("b", (6, 5, 3), (9, 8, 6)).build(seed=1)
    sim.record(directory, every=2)
    sim.run(4, progress=False)
    sim.recorder.close()
    return sim, morva.open_recording(directory)


def rgba(colours, type_id):
    return np.append(colours[type_id], 1.0)


def test_a_2d_recording_as_layers_that_follow_the_slider(make_napari_viewer, tmp_path):
    rec = record_2d(tmp_path / "rec")
    viewer = open_in_viewer(tmp_path / "rec", make_napari_viewer())
    field, cells = viewer.layers
    assert (field.name, cells.name, viewer.dims.ndisplay) == ("c", "cells", 2)
    assert viewer.dims.axis_labels == ("MCS", "y", "x")
    assert cells.data.shape == (5, 40, 40) and type(cells.data).__module__.startswith("dask")
    assert viewer.dims.range[0].start == 0 and viewer.dims.range[0].stop == 20  # the slider reads MCS
    limits = tuple(field.contrast_limits)
    colours = type_colours(rec.type_names)
    for frame, mcs in [(4, 20), (1, 5)]:
        viewer.dims.set_point(0, mcs)
        assert np.array_equal(np.asarray(cells.data[frame]), rec.labels(frame)[0])
        assert np.allclose(np.asarray(field.data[frame]), rec.field("c", frame)[0])
        rows = rec.cells[rec.cells["time"] == mcs]
        assert cells.features["volume"].tolist() == rows["volume"].tolist()
        cell_one = rows.set_index("id").loc[1, "type"]  # retyped at MCS 10
        assert np.allclose(cells.colormap.map(np.array([1]))[0], rgba(colours, cell_one))
        assert tuple(field.contrast_limits) == limits
    assert cell_one == 1 and rec.cells.set_index(["time", "id"]).loc[(20, 1), "type"] == 2

    y, x = np.argwhere(rec.labels(1)[0] == 3)[0]
    status = cells.get_status((5, y, x), world=True)["coordinates"]
    row = rec.cells[(rec.cells["time"] == 5) & (rec.cells["id"] == 3)].iloc[0]
    for text in (f"id: {3}", f"type_name: {row['type_name']}", f"volume: {row['volume']}", "com_x: "):
        assert text in status


def test_a_3d_recording_opens_in_3d_coloured_by_id(make_napari_viewer, tmp_path):
    sim, rec = record_3d(tmp_path / "rec")
    viewer = open_in_viewer(tmp_path / "rec", make_napari_viewer(), colour_by="id")
    (cells,) = viewer.layers
    assert viewer.dims.ndisplay == 3 and cells.data.shape == (3, 8, 10, 12)
    assert np.array_equal(np.asarray(cells.data[-1]), rec.labels(-1))
    assert not isinstance(cells.colormap, napari.utils.colormaps.DirectLabelColormap)
    live = LiveView(viewer=make_napari_viewer(), budget=None)
    live.update(sim)
    assert live.viewer.dims.ndisplay == 3 and np.array_equal(live.viewer.layers["cells"].data, sim.labels())
    with pytest.raises(ValueError, match="colour_by must be one of type, id, got 'size'"):
        open_in_viewer(tmp_path / "rec", viewer, colour_by="size")


def test_an_act_recording_shows_the_activity_below_the_cells(make_napari_viewer, tmp_path):
    model = morva.Model((30, 30), temperature=20, default_contact=0)
    model.add_type("t", volume=64, lambda_volume=5, lambda_act=200, max_act=20).set_contact("medium", "t", 20)
    sim = model.add_block("t", (10, 10), (18, 18), activity="max").build(seed=2)
    sim.record(tmp_path / "rec", every=2)
    live = sim.add_writer(LiveView(every=2, budget=None, viewer=make_napari_viewer()))
    sim.run(4, progress=False)
    sim.recorder.close()
    viewer = open_in_viewer(tmp_path / "rec", make_napari_viewer())
    for shown in (viewer, live.viewer):  # the recording and the live run alike
        activity, cells = shown.layers
        assert (activity.name, cells.name) == ("activity", "cells") and tuple(activity.contrast_limits) == (0, 20)
        assert activity.colormap.name == "magma" and cells.opacity == 0.8
    viewer.dims.set_point(0, 2)
    recorded = np.asarray(viewer.layers["activity"].data[1])
    assert np.array_equal(recorded, morva.open_recording(tmp_path / "rec").activity(1)[0])
    live_activity = live.viewer.layers["activity"].data
    assert np.array_equal(live_activity, sim.activity()[0]) and 0 < live_activity.max() < 20  # redrawn as it decays
    live.close()


def test_the_screenshot_shows_the_type_colours(make_napari_viewer, tmp_path):
    rec = record_2d(tmp_path / "rec", mcs=0)
    viewer = open_in_viewer(tmp_path / "rec", make_napari_viewer(show=True))
    viewer.layers["c"].visible = False
    viewer.layers["cells"].opacity = 1.0
    picture = viewer.screenshot(canvas_only=True, flash=False)[..., :3].astype(float) / 255
    colours = type_colours(rec.type_names)
    shares = [np.mean(np.all(np.abs(picture - colours[t]) < 0.02, axis=-1)) for t in (1, 2)]
    # a checkerboard of 8 cells of each type: equal areas, each a few percent of the canvas
    assert min(shares) > 0.02 and abs(shares[0] - shares[1]) < 0.1 * shares[0]


def test_napari_finds_the_reader_and_opens_a_folder(make_napari_viewer, tmp_path):
    from npe2 import PluginManager

    record_2d(tmp_path / "rec", mcs=5)
    viewer = make_napari_viewer()
    plugins = PluginManager.instance()
    plugins.discover()  # from the installed packages' napari.manifest entry points
    manifest = plugins.get_manifest("morva")
    assert [r.command for r in manifest.contributions.readers] == ["morva.get_reader"]
    offered = plugins.iter_compatible_readers([str(tmp_path / "rec")])
    assert "morva" in {reader.plugin_name for reader in offered}  # what napari's Open dialog lists
    viewer.open(str(tmp_path / "rec"), plugin="morva")
    assert [layer.name for layer in viewer.layers] == ["c", "cells"]
    assert "volume" in viewer.layers["cells"].features
    assert morva.view.plugin.get_reader(str(tmp_path)) is None  # not a recording: left to others


def test_the_live_view_draws_each_refresh_and_closing_stops_the_run(qapp, tmp_path):
    sim = two_type_model().build(seed=5)
    sim.record(tmp_path / "rec", every=5, checkpoint_every=100)
    view = sim.view(every=4, budget=None)  # its own window, as in use: closing it is its only clean-up
    assert view.refreshes == 1 and view.viewer.layers["cells"].data.shape == (40, 40)  # open before any run
    sim.run(12, progress=False)
    cells = view.viewer.layers["cells"]
    assert view.refreshes == 4 and np.array_equal(cells.data, sim.labels()[0])  # and at MCS 4, 8 and 12
    assert cells.features["volume"].tolist() == sim.cells()["volume"].tolist()

    def close_at_14(sim):
        if sim.mcs == 14:
            view.viewer.window._qt_window.close()  # as the window's close button does

    with pytest.raises(morva.StopRequested):
        sim.run(20, progress=False, every=2, hooks=close_at_14)
    assert sim.mcs == 16 and view.stop_requested  # the view's next step
    assert morva.recording.read_run_info(tmp_path / "rec")["checkpoint_mcs"] == 16  # as Ctrl-C leaves it
    sim.run(8, progress=False)  # a closed view no longer acts
    assert sim.mcs == 24 and view.refreshes == 4

    from qtpy.QtGui import QCloseEvent
    from qtpy.QtWidgets import QApplication

    other = sim.view(every=4, budget=None)
    QApplication.postEvent(other.viewer.window._qt_window, QCloseEvent())  # closed between runs, not yet handled
    sim.run(8, progress=False)  # goes on unwatched, not stopped
    assert sim.mcs == 32 and other.refreshes == 1 and not other.stop_requested
    sim.recorder.close()


def test_run_with_view_records_the_same_bytes(tmp_path, monkeypatch):
    from morva.cli import main

    model = tmp_path / "model.toml"
    two_type_model().add_field("c", diffusion=0.2, decay=0.05).save(model)
    monkeypatch.setattr(napari, "run", lambda: None)  # the window would otherwise stay open at the end
    for name, extra in [("plain", []), ("viewed", ["--view", "--view-every", "3"])]:
        args = ["run", str(model), "--mcs", "12", "--every", "4", "--checkpoint-every", "8", "--quiet"]
        assert main(args + ["--out", str(tmp_path / name)] + extra) == 0
    files = sorted(p.relative_to(tmp_path / "plain") for p in (tmp_path / "plain").rglob("*") if p.is_file())
    assert len(files) > 10
    for path in files:
        assert (tmp_path / "plain" / path).read_bytes() == (tmp_path / "viewed" / path).read_bytes(), path


def test_morva_view_opens_the_recording(qapp, tmp_path, monkeypatch):
    from morva.cli import main

    record_2d(tmp_path / "rec", mcs=5)
    monkeypatch.setattr(napari, "run", lambda: None)  # the command waits here until the window is closed
    assert main(["view", str(tmp_path / "rec"), "--colour-by", "id"]) == 0
    viewer = napari.current_viewer()
    try:
        assert [layer.name for layer in viewer.layers] == ["c", "cells"]
        assert not isinstance(viewer.layers["cells"].colormap, napari.utils.colormaps.DirectLabelColormap)
    finally:
        viewer.close()


def test_without_a_display_the_command_says_so_in_one_line(tmp_path):
    record_2d(tmp_path / "rec", mcs=0)
    two_type_model().save(tmp_path / "m.toml")
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
    for args in (["view", tmp_path / "rec"], ["run", "m.toml", "--mcs", "1", "--out", tmp_path / "x", "--view"]):
        done = subprocess.run([sys.executable, "-m", "morva.cli", *map(str, args)], capture_output=True, text=True,
                              env=env, timeout=120, cwd=tmp_path)
        assert done.returncode == 2 and "Traceback" not in done.stderr
        assert done.stderr.count("\n") == 1 and "no display to open a window on" in done.stderr
    assert not (tmp_path / "x").exists()  # refused before anything was written


@pytest.mark.parametrize("name", ["_qt", "cells", "recording", "plugin", "live"])
def test_docstring_examples(name, tmp_path, monkeypatch):
    import doctest
    import importlib

    monkeypatch.chdir(tmp_path)
    result = doctest.testmod(importlib.import_module(f"morva.view.{name}"), optionflags=doctest.ELLIPSIS)
    assert result.attempted > 0 and result.failed == 0
