"""napari and a display, checked before anything is written, with a one-line reason when missing."""

import os
import sys

INSTALL = "pip install 'morva[view]'"
# Qt platforms that draw without a window system.
_HEADLESS_PLATFORMS = ("offscreen", "minimal", "vnc", "eglfs", "linuxfb")


class ViewerUnavailable(OSError):
    """The viewer cannot open here: napari is missing or there is no display.

    An OSError, so the `morva` command reports it as one line like other problems of the machine.
    """


def require_napari():
    """Import napari, or raise ViewerUnavailable saying how to install it.

    Examples
    --------
    >>> require_napari().__name__
    'napari'
    """
    try:
        import napari
        import qtpy  # noqa: F401  (napari finds no Qt binding without one)
    except ImportError as err:
        raise ViewerUnavailable(f"the viewer needs napari and a Qt binding ({err.name} is missing): {INSTALL}") from None
    return napari


def display_problem(environ=None, platform=None):
    """Why no window can open on this machine, or None when one can.

    On Linux a window needs an X11 or Wayland display; Qt would otherwise abort the process.

    Examples
    --------
    >>> display_problem({}, "linux") is not None
    True
    >>> display_problem({"DISPLAY": ":0"}, "linux") is None
    True
    >>> display_problem({"QT_QPA_PLATFORM": "offscreen"}, "linux") is None
    True
    """
    environ = os.environ if environ is None else environ
    platform = sys.platform if platform is None else platform
    if not platform.startswith("linux"):
        return None
    if environ.get("QT_QPA_PLATFORM", "").startswith(_HEADLESS_PLATFORMS):
        return None
    if environ.get("DISPLAY") or environ.get("WAYLAND_DISPLAY"):
        return None
    return ("no display to open a window on (DISPLAY and WAYLAND_DISPLAY are not set): run it on a desktop "
            "or over `ssh -X`, or make pictures and movies without one (morva.viz, `morva movie`)")


def require_viewer():
    """napari, once it is known that a window can open; else ViewerUnavailable with the reason.

    Examples
    --------
    >>> require_viewer().__name__  # the tests run on Qt's offscreen platform
    'napari'
    """
    problem = display_problem()
    if problem is not None:
        raise ViewerUnavailable(problem)
    return require_napari()


def process_events():
    """Let Qt draw and handle the window (closing, resizing) between steps of a run."""
    from qtpy.QtWidgets import QApplication

    app = QApplication.instance()
    if app is not None:
        app.processEvents()
