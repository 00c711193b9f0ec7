"""A recording as napari layers: the labels over time, each field, the activity, the cell table as features.

The arrays stay Dask arrays on the Zarr store, so napari reads only the frames it shows. The time
axis is scaled to MCS (the slider reads Monte Carlo steps). The colours and hover rows of the
cells layer follow the frame shown: a slider move puts that frame's rows of the cell table in the
layer's features (and, coloured by type, its cells' type colours in the colormap).
"""

import numpy as np

from ..reader import open_recording
from .cells import FrameCells, check_colouring, empty_features, features, type_colour_map

CELLS_LAYER = "cells"
ACTIVITY_LAYER = "activity"
_META_KEY = "morva"


def _sample_range(array):
    """Colour range of a lazy field from its first, middle and last frames (a fixed range that
    needs no pass over the whole store)."""
    n = array.shape[0]
    picks = sorted({0, n // 2, n - 1}) if n else []
    values = np.stack([np.asarray(array[i]) for i in picks]) if picks else np.zeros(1)
    low, high = float(np.nanmin(values)), float(np.nanmax(values))
    return (low, high) if high > low else (low, low + 1.0)


def activity_range(model):
    """From 0 to the largest max_act of the model's types: the whole range a site's activity takes."""
    return (0.0, float(max([t.max_act for t in model.types.values()] + [1])))


def recording_layers(directory, colour_by="type"):
    """napari layer data tuples ``(data, kwargs, layer type)`` of a recording.

    Parameters
    ----------
    directory : path
        The recording folder.
    colour_by : {"type", "id"}
        Colour cells by their type, in the colours of ``morva.viz``, or each cell its own colour.

    Returns
    -------
    list of tuple
        The fields and the Act model's activity (when recorded) as image layers first (drawn
        below), then the cells as a labels layer. 2-D recordings drop the z axis.

    Examples
    --------
    >>> import morva, tempfile, pathlib
    >>> sim = morva.Model((8, 6), default_contact=0).add_type("a", volume=4, lambda_volume=1).add_block("a", (0, 0), (2, 2)).build()
    >>> rec = sim.record(pathlib.Path(tempfile.mkdtemp()) / "r"); sim.run(2, progress=False); rec.close()
    >>> [(kwargs["name"], kind, data.shape) for data, kwargs, kind in recording_layers(rec.directory)]
    [('cells', 'labels', (3, 6, 8))]
    """
    check_colouring(colour_by)
    rec = open_recording(directory)
    flat = rec.model.dims[2] == 1
    every = int(rec.info["every"])
    start = int(rec.times[0]) if len(rec) else 0

    def lazy(name):
        data = rec.frames[name].data  # a Dask array, (time, z, y, x)
        return data[:, 0] if flat else data

    ndim = 3 if flat else 4
    placement = {"scale": (every,) + (1,) * (ndim - 1), "translate": (start,) + (0,) * (ndim - 1)}
    layers = []
    for name in rec.info.get("fields", []):
        data = lazy(f"field_{name}")
        layers.append((data, {"name": name, "colormap": "viridis", "contrast_limits": _sample_range(data),
                              **placement}, "image"))
    if "activity" in rec.frames:
        data = lazy("activity")
        layers.append((data, {"name": ACTIVITY_LAYER, "colormap": "magma", "contrast_limits": activity_range(rec.model),
                              **placement}, "image"))
    state = {"cells": FrameCells(rec.cells), "type_names": rec.type_names, "colour_by": colour_by,
             "every": every, "start": start, "frames": len(rec), "three_d": not flat}
    layers.append((lazy("labels"), {"name": CELLS_LAYER, "opacity": 0.8 if layers else 1.0,
                                    "metadata": {_META_KEY: state}, **placement}, "labels"))
    return layers


def show_frame(layer, mcs):
    """Give a recording's cells layer the features and colours of the frame at MCS `mcs`."""
    state = layer.metadata[_META_KEY]
    rows = state["cells"].at(mcs)
    layer.features = features(rows) if len(rows) else empty_features()
    if state["colour_by"] == "type":
        from napari.utils.colormaps import DirectLabelColormap

        layer.colormap = DirectLabelColormap(color_dict=type_colour_map(rows["id"], rows["type"],
                                                                        state["type_names"]))


def _frame_mcs(state, point):
    """MCS of the frame nearest to the slider position `point` (in MCS)."""
    index = int(np.clip(np.rint((point - state["start"]) / state["every"]), 0, max(state["frames"] - 1, 0)))
    return state["start"] + index * state["every"]


def follow_slider(viewer):
    """Keep the cells layers of recordings in `viewer` at the frame its time slider shows.

    Layers added later are followed too; calling it again on the same viewer does nothing.

    Parameters
    ----------
    viewer : napari.Viewer
    """
    if getattr(viewer, "_morva_follows", False):
        return
    viewer._morva_follows = True

    def refresh(event=None):
        for layer in viewer.layers:
            state = layer.metadata.get(_META_KEY) if hasattr(layer, "metadata") else None
            if state is not None:
                show_frame(layer, _frame_mcs(state, viewer.dims.point[0]))

    def added(event):
        state = event.value.metadata.get(_META_KEY)
        if state is not None:
            if state["three_d"]:
                viewer.dims.ndisplay = 3
            if viewer.dims.ndim == event.value.ndim:  # the recording sets the axes
                viewer.dims.axis_labels = ("MCS", "z", "y", "x") if state["three_d"] else ("MCS", "y", "x")
            refresh()

    viewer.dims.events.current_step.connect(refresh)
    viewer.layers.events.inserted.connect(added)
    refresh()


def open_in_viewer(directory, viewer=None, colour_by="type"):
    """Show a recording in a napari viewer (a new one by default) and return the viewer.

    Parameters
    ----------
    directory : path
        The recording folder.
    viewer : napari.Viewer, optional
        Add the layers to this viewer.
    colour_by : {"type", "id"}

    Returns
    -------
    napari.Viewer

    Examples
    --------
    >>> import morva, napari, tempfile, pathlib
    >>> sim = morva.Model((8, 6), default_contact=0).add_type("a", volume=4, lambda_volume=1).add_block("a", (0, 0), (2, 2)).build()
    >>> rec = sim.record(pathlib.Path(tempfile.mkdtemp()) / "r"); sim.run(2, progress=False); rec.close()
    >>> viewer = open_in_viewer(rec.directory, napari.Viewer(show=False))
    >>> [layer.name for layer in viewer.layers], viewer.dims.axis_labels
    (['cells'], ('MCS', 'y', 'x'))
    >>> viewer.close()
    """
    from ._qt import require_viewer

    layers = recording_layers(directory, colour_by)
    if viewer is None:
        viewer = require_viewer().Viewer(title=f"morva: {directory}")
    follow_slider(viewer)
    for data, kwargs, kind in layers:
        getattr(viewer, f"add_{kind}")(data, **kwargs)
    return viewer
