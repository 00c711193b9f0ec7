"""A window that shows a simulation while it runs.

LiveView.update(sim) draws the current tissue; a run calls it every K steps through a hook (see
:func:`as_hook`). Drawing costs a fixed time per refresh whatever K, so a view also skips refreshes
that come sooner than `budget` of the run's time allows: it stays within that share of the run
even for small lattices and small K. Between refreshes it still lets Qt handle the window, so
closing it is noticed at the next call; then stop_requested is set and the run stops at that step.
"""

import sys
import time

from ._qt import process_events, require_viewer
from .cells import check_colouring, empty_features, features, type_colour_map
from .recording import CELLS_LAYER

DEFAULT_EVERY = 10
DEFAULT_BUDGET = 0.05


class LiveView:
    """A napari window showing a simulation's cells and fields as it runs.

    Parameters
    ----------
    colour_by : {"type", "id"}
        Colour cells by type (the colours of ``morva.viz``) or each cell its own colour.
    budget : float or None
        Largest share of the run's wall time spent drawing (refreshes are skipped to keep to it);
        None draws at every update.
    viewer : napari.Viewer, optional
        Draw into this viewer instead of opening a window.

    Attributes
    ----------
    viewer : napari.Viewer or None
        Created at the first update.
    stop_requested : bool
        Set once the window was closed during a run.
    refreshes : int
        Number of times the tissue was drawn.
    """

    def __init__(self, colour_by="type", budget=DEFAULT_BUDGET, viewer=None):
        self.colour_by = check_colouring(colour_by)
        if budget is not None and not 0 < budget <= 1:
            raise ValueError(f"budget must be a share of the run's time in (0, 1], got {budget!r}")
        self.budget = budget
        self.viewer = viewer
        self.stop_requested = False
        self.refreshes = 0
        self._closed = False
        self._watching = False
        self._next_draw = 0.0

    def update(self, sim):
        """Draw `sim` unless that would exceed the budget; notice a closed window."""
        if not self._watching:
            self._open()
        process_events()
        if self._closed:
            self.stop_requested = True
            return
        start = time.monotonic()
        if start < self._next_draw:
            return
        self._draw(sim)
        process_events()
        spent = time.monotonic() - start
        self._next_draw = start + (spent / self.budget if self.budget else 0.0)

    def _open(self):
        from qtpy.QtCore import QEvent, QObject

        if self.viewer is None:
            self.viewer = require_viewer().Viewer(title="morva: live")

        view = self

        class CloseWatcher(QObject):
            def eventFilter(self, obj, event):  # noqa: N802 (Qt's name)
                if event.type() == QEvent.Type.Close:
                    view._closed = True  # napari goes on closing the window
                return False

        self._watcher = CloseWatcher()
        self.viewer.window._qt_window.installEventFilter(self._watcher)
        self._watching = True

    def _layers(self, sim):
        flat = sim.model.dims[2] == 1
        cut = (lambda a: a[0]) if flat else (lambda a: a)
        images = {name: cut(sim.field(name)) for name in sim.model.fields}
        return cut(sim.labels()), images, flat

    def _draw(self, sim):
        labels, images, flat = self._layers(sim)
        cells = sim.cells()
        layers = self.viewer.layers
        for name, data in images.items():
            if name in layers:
                layers[name].data = data
            else:
                low, high = float(data.min()), float(data.max())
                self.viewer.add_image(data, name=name, colormap="viridis",
                                      contrast_limits=(low, high if high > low else low + 1.0))
        if CELLS_LAYER in layers:
            layer = layers[CELLS_LAYER]
            layer.data = labels
        else:
            layer = self.viewer.add_labels(labels, name=CELLS_LAYER, opacity=0.8 if images else 1.0)
            if not flat:
                self.viewer.dims.ndisplay = 3
        layer.features = features(cells) if len(cells) else empty_features()
        if self.colour_by == "type":
            from napari.utils.colormaps import DirectLabelColormap

            layer.colormap = DirectLabelColormap(color_dict=type_colour_map(cells.index, cells["type"],
                                                                            sim.type_names))
        self.viewer.title = f"morva: MCS {sim.mcs}, {len(cells)} cells"
        self.refreshes += 1

    def _unwatch(self):
        if self._watching:
            self.viewer.window._qt_window.removeEventFilter(self._watcher)
            self._watching = False

    def wait_closed(self, sim):
        """Show the final state of `sim` until the window is closed (the end of `morva run --view`)."""
        if self.viewer is None or self._closed:
            return
        self._next_draw = 0.0
        self.update(sim)
        self._unwatch()
        print("the run is over: close the viewer window to exit", file=sys.stderr)
        require_viewer().run()

    def close(self):
        """Close the window (unless it was closed already)."""
        if self.viewer is not None and not self._closed:
            self._unwatch()
            self.viewer.close()
        self._closed = True


def as_hook(view):
    """The hook that runs `view` during a run: refresh, and ask the run to stop once the window
    is closed (the run then stops after that step's hooks and frame, with a checkpoint)."""

    def show(sim):
        if view.stop_requested:
            return  # closed in an earlier run: later runs go on unwatched
        view.update(sim)
        if view.stop_requested:
            sim.request_stop()

    return show
