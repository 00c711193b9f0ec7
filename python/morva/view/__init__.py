"""Recordings and running simulations in napari (the ``view`` extra: ``pip install 'morva[view]'``).

`morva view DIR` (or :func:`open_in_viewer`) shows a recording: the cells as a labels layer with
time as a slider, each recorded field as an image layer, and the cell table as the features that
hovering a cell shows. The package also declares a napari reader, so `napari DIR` and dropping a
recording folder on napari do the same. :meth:`morva.Simulation.view` and `morva run --view` show
a simulation as it runs, through a :class:`LiveView` writer.

napari is imported only when a window opens, so this package imports without it.
"""

from ..simulation import view_with
from ._qt import ViewerUnavailable, display_problem
from .live import LiveView
from .recording import open_in_viewer, recording_layers

__all__ = ["LiveView", "ViewerUnavailable", "display_problem", "open_in_viewer", "recording_layers"]

view_with(LiveView)  # what Simulation.view attaches


def cmd_view(args):
    """`morva view DIR`: show a recording in napari until its window is closed."""
    from ._qt import require_viewer

    napari = require_viewer()
    open_in_viewer(args.directory, colour_by=args.colour_by)
    napari.run()
    return 0


def register(subparsers):
    """Add `morva view` to the command's subparsers."""
    view = subparsers.add_parser("view", help="show a recording in napari (needs the view extra)")
    view.add_argument("directory", help="recording folder")
    view.add_argument("--colour-by", choices=["type", "id"], default="type",
                      help="colour cells by type (as in pictures and movies) or each by its id")
    view.set_defaults(func=cmd_view)
