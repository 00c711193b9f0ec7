"""A window that shows a simulation while it runs.

LiveView is a writer (:meth:`morva.Simulation.add_writer`): a run lets it act every K steps, and
:meth:`LiveView.update` then draws the current tissue. Drawing costs a fixed time per refresh
whatever K, so a view also skips refreshes that come sooner than `budget` of the run's time allows:
it stays within that share of the run even for small lattices and small K. Between refreshes it
still lets Qt handle the window, so closing it is noticed at the next step it acts at; the view
then asks the run to stop there, at a whole step with its checkpoint, as Ctrl-C would.
"""

import sys
import time

from ..validate import integer
from ..writers import Writer
from ._qt import process_events, require_viewer
from .cells import check_colouring, empty_features, features, type_colour_map
from .recording import ACTIVITY_LAYER, CELLS_LAYER, activity_range

DEFAULT_EVERY = 10
DEFAULT_BUDGET = 0.05
EVENTS_PERIOD = 0.1  # seconds between handlings of the window's events while no drawing is due


class LiveView(Writer):
    """A napari window showing a simulation's cells and fields as it runs: a read-only writer.

    Fields, and the Act model's activity in models that have it, are image layers below the cells.

    Attached to a simulation (:meth:`morva.Simulation.add_writer`, or :meth:`morva.Simulation.view`,
    which opens the window at once), it opens its window as a run begins and refreshes it every
    `every` MCS. Once its window is closed during a run, it asks that run to stop
    (:meth:`morva.Simulation.request_stop`) and acts in no later run.

    Parameters
    ----------
    every : int, optional
        Refresh period in MCS (refreshes at multiples of it; default 10).
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
        Created by the first :meth:`show` or :meth:`update`.
    stop_requested : bool
        Set once the window was closed during a run.
    refreshes : int
        Number of times the tissue was drawn.

    Examples
    --------
    >>> import morva
    >>> sim = morva.Model((8, 8), default_contact=0).add_type("a", volume=4, lambda_volume=1).add_block("a", (2, 2), (4, 4)).build()
    >>> view = sim.add_writer(LiveView(every=3, budget=None))
    >>> sim.run(6, progress=False); view.refreshes  # as the run began, at MCS 3 and at MCS 6
    3
    >>> view.viewer.layers["cells"].data.shape
    (8, 8)
    >>> view.close()
    """

    read_only = True

    def __init__(self, every=None, colour_by="type", budget=DEFAULT_BUDGET, viewer=None):
        self.every = integer("view period", DEFAULT_EVERY if every is None else every, minimum=1)
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
        self._colour_key = None
        self._last_events = 0.0

    # --- as a writer ---------------------------------------------------------------------------

    def begin(self, sim, end):
        """A run starts: open the window on the tissue as it is, or notice it was closed since the last run."""
        if self._closed:
            return
        if self._watching:
            process_events()  # a window closed between runs leaves this run unwatched, not stopped
        else:
            self.show(sim)

    def next_due(self, mcs):
        """The next multiple of `every` after `mcs`; None once the window was closed (no later runs).

        Examples
        --------
        >>> LiveView(every=10).next_due(25)
        30
        """
        return None if self._closed else (mcs // self.every + 1) * self.every

    def write(self, sim):
        """Refresh (within the budget); ask the run to stop if the window was closed meanwhile."""
        self.update(sim)
        if self._closed:
            self.stop_requested = True
            sim.request_stop()

    # --- drawing -------------------------------------------------------------------------------

    def show(self, sim):
        """Open the window (if not open) and draw `sim` now, whatever the budget.

        The first drawings set napari up and cost far more than later ones, so they are made
        here, before a run, and left out of the budget.
        """
        if not self._watching:
            self._open()
        for _ in range(2):  # the first replacement of the data is the slow one
            self._draw(sim)
            process_events()
        self.refreshes += 1

    def update(self, sim):
        """Draw `sim` unless that would exceed the budget; let Qt handle the window (and notice it closed).

        Every cost of the view (drawing, and letting Qt handle the window at most EVENTS_PERIOD
        apart) pushes the next drawing back by that cost over the budget.
        """
        if not self._watching:
            self._open()
        start = time.monotonic()
        if start < self._next_draw:
            if start - self._last_events >= EVENTS_PERIOD:
                process_events()
                self._last_events = time.monotonic()
                self._charge(start, self._last_events)
        else:
            process_events()
            if not self._closed:
                self._draw(sim)
                process_events()
                self.refreshes += 1
            self._last_events = time.monotonic()
            self._charge(start, self._last_events, drawn=True)

    def _charge(self, start, end, drawn=False):
        if self.budget is None:
            self._next_draw = 0.0
        else:
            self._next_draw = (end if drawn else self._next_draw) + (end - start) / self.budget

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
        activity = cut(sim.activity()) if sim.model.uses_act else None
        return cut(sim.labels()), images, activity, flat

    def _draw(self, sim):
        labels, images, activity, flat = self._layers(sim)
        cells = sim.cells()
        layers = self.viewer.layers
        for name, data in images.items():
            low, high = float(data.min()), float(data.max())
            if name in layers:
                layers[name].data = data
                shown = layers[name].contrast_limits  # widened, never narrowed, so colours stay comparable
                if low < shown[0] or high > shown[1]:
                    layers[name].contrast_limits = (min(low, shown[0]), max(high, shown[1]))
            else:
                self.viewer.add_image(data, name=name, colormap="viridis",
                                      contrast_limits=(low, high if high > low else low + 1.0))
        if activity is not None:  # the Act model's whole range, as a recording shows it
            if ACTIVITY_LAYER in layers:
                layers[ACTIVITY_LAYER].data = activity
            else:
                self.viewer.add_image(activity, name=ACTIVITY_LAYER, colormap="magma",
                                      contrast_limits=activity_range(sim.model))
        if CELLS_LAYER in layers:
            layer = layers[CELLS_LAYER]
            layer.data = labels
        else:
            below = images or activity is not None
            layer = self.viewer.add_labels(labels, name=CELLS_LAYER, opacity=0.8 if below else 1.0)
            if not flat:
                self.viewer.dims.ndisplay = 3
        layer.features = features(cells) if len(cells) else empty_features()
        if self.colour_by == "type":
            self._colour_by_type(layer, cells, sim.type_names)
        self.viewer.title = f"morva: MCS {sim.mcs}, {len(cells)} cells"

    def _colour_by_type(self, layer, cells, type_names):
        """A new colormap only when cells were born, removed or retyped (making one is slow)."""
        from napari.utils.colormaps import DirectLabelColormap

        key = (cells.index.to_numpy().tobytes(), cells["type"].to_numpy().tobytes())
        if key != self._colour_key:
            layer.colormap = DirectLabelColormap(color_dict=type_colour_map(cells.index, cells["type"], type_names))
            self._colour_key = key

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
        self._closed = True

    def close(self):
        """Close the window (unless it was closed already)."""
        if self.viewer is not None and not self._closed:
            self._unwatch()
            self.viewer.close()
        self._closed = True

