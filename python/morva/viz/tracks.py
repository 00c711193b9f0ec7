"""Pictures of cell motion: tracks over the tissue and the mean squared displacement by lag.

Tracks are the tables of :func:`morva.measures.tracks` (frame, particle, x, y[, z], unwrapped).
"""

import numpy as np

from ._deps import require


def _figure(figsize):
    Figure = require("matplotlib.figure").Figure
    return Figure(figsize=figsize, layout="constrained")


def _image_pieces(points, box, periodic):
    """A polyline through `points` drawn in the box: one piece per stretch in one periodic image.

    Each piece is shifted into the box and runs on to the next point (and back to the previous
    one) across the seam, so a clip at the box edges ends it exactly at the seam. Pieces are
    joined by NaN rows, which break a matplotlib line.
    """
    lengths = np.array([n if p else np.inf for n, p in zip(box, periodic)], dtype=float)
    image = np.where(np.isfinite(lengths), np.floor(points / np.where(np.isfinite(lengths), lengths, 1.0)), 0.0)
    shift = np.where(np.isfinite(lengths), lengths, 0.0)
    starts = np.flatnonzero(np.concatenate([[True], np.any(image[1:] != image[:-1], axis=1)]))
    ends = np.append(starts[1:], len(points))
    pieces = []
    for start, end in zip(starts, ends):
        first, last = max(start - 1, 0), min(end + 1, len(points))
        pieces.append(points[first:last] - image[start] * shift)
        pieces.append(np.full((1, points.shape[1]), np.nan))
    return np.concatenate(pieces[:-1])


def plot_tracks(tracks, ax=None, *, frame=None, wrap=None, box=None, offset=0.5, color=None, linewidth=1.2,
                figsize=None):
    """Draw cell tracks, on their own or over a tissue picture.

    Each cell's track is one line (labelled with its cell id) through its centres up to `frame`,
    with a dot at its last position. In 3-D the x-y projection is drawn.

    Parameters
    ----------
    tracks : pandas.DataFrame
        Track table (see :func:`morva.measures.tracks`).
    ax : matplotlib.axes.Axes, optional
        Axes to draw on, e.g. ``plot_tissue(...).axes[0]`` to overlay the tissue. Default: a new figure.
    frame : int, optional
        Draw each track up to this frame (default: to its end), as under a tissue picture of that frame.
    wrap : bool, optional
        Draw the tracks inside the periodic box, cut where they cross a seam (as they look over
        the tissue), or unwrapped (False: a cell that crossed seams runs out of the box). Default:
        wrapped when the table knows a periodic box.
    box : tuple of int, optional
        (nx, ny) of the box; default the table's ``attrs["box"]``.
    offset : float
        Added to the centres: the tissue pictures draw site i over [i, i + 1), so its centre is at i + 0.5.
    color : colour, optional
        One colour for every track (default: a colour per cell from matplotlib's cycle).
    linewidth : float
        Width of the track lines.
    figsize : tuple, optional
        Size of a new figure in inches.

    Returns
    -------
    matplotlib.figure.Figure

    Examples
    --------
    >>> import pandas as pd
    >>> from morva.viz import plot_tracks
    >>> t = pd.DataFrame({"frame": [0, 1, 2], "particle": 1, "x": [3.0, 6.0, 11.0], "y": [2.0, 3.0, 4.0]})
    >>> t.attrs.update(box=(10, 8), periodic=True)
    >>> fig = plot_tracks(t)
    >>> [line.get_label() for line in fig.axes[0].lines]
    ['cell 1', '_nolegend_']
    """
    from matplotlib import rcParams
    from matplotlib.patches import Rectangle

    from morva.tracks import _axes

    _axes(tracks)
    box = tuple(box if box is not None else tracks.attrs.get("box", ()))[:2]
    periodic = bool(tracks.attrs.get("periodic", True))
    if wrap is None:
        wrap = len(box) == 2 and periodic
    if wrap and len(box) != 2:
        raise ValueError("plot_tracks: wrap needs the box: pass box=(nx, ny) or a table from morva.measures.tracks")
    fig = ax.figure if ax is not None else _figure(figsize or (5, 5 * box[1] / box[0] if len(box) == 2 else 5))
    if ax is None:
        ax = fig.subplots()
        ax.set_aspect("equal")
        ax.set_xlabel("x")
        ax.set_ylabel("y")
    shown = tracks if frame is None else tracks[tracks["frame"] <= frame]
    cycle = rcParams["axes.prop_cycle"].by_key().get("color", ["C0"])
    clip = Rectangle((0, 0), *box, transform=ax.transData) if wrap else None
    for i, (particle, rows) in enumerate(shown.sort_values("frame").groupby("particle", sort=True)):
        points = rows[["x", "y"]].to_numpy(dtype=float) + offset
        drawn = _image_pieces(points, box, (periodic, periodic)) if wrap else points
        colour = color if color is not None else cycle[i % len(cycle)]
        line, = ax.plot(drawn[:, 0], drawn[:, 1], color=colour, linewidth=linewidth, label=f"cell {particle}")
        last = points[-1] - (np.floor(points[-1] / box) * box if wrap and periodic else 0)
        ax.plot([last[0]], [last[1]], "o", color=colour, markersize=3 * linewidth, label="_nolegend_")
        if clip is not None:
            line.set_clip_path(clip)
    if wrap:  # the pieces run past the seams, to be clipped there: keep the box in view, as the tissue has it
        ax.set_xlim(0, box[0])
        ax.set_ylim(0, box[1])
    return fig


def plot_msd(msd, ax=None, *, fit=None, ndim=2, figsize=None):
    """Mean squared displacement by lag on log-log axes, with ballistic (∝ t²) and diffusive (∝ t) guides.

    Parameters
    ----------
    msd : pandas.Series
        Mean squared displacement indexed by lag (MCS), such as :func:`morva.measures.msd` gives.
    ax : matplotlib.axes.Axes, optional
        Axes to draw on (default: a new figure).
    fit : dict, optional
        A fit of Fürth's formula (:func:`morva.measures.fit_furth`): its curve is drawn and its
        persistence time marked.
    ndim : int
        Dimensions the cells move in (for the fitted curve).
    figsize : tuple, optional
        Size of a new figure in inches.

    Returns
    -------
    matplotlib.figure.Figure

    Examples
    --------
    >>> import pandas as pd
    >>> from morva.viz import plot_msd
    >>> fig = plot_msd(pd.Series([1.0, 4.0, 9.0, 14.0], index=[1, 2, 3, 4]))
    >>> [line.get_label() for line in fig.axes[0].lines]
    ['MSD', '∝ t² (ballistic)', '∝ t (diffusive)']
    """
    from morva.motion import furth_msd

    lag = np.asarray(msd.index, dtype=float)
    values = np.asarray(msd, dtype=float)
    keep = (lag > 0) & (values > 0)
    lag, values = lag[keep], values[keep]
    if lag.size < 2:
        raise ValueError("plot_msd: needs at least two lags above 0 with a positive value")
    fig = ax.figure if ax is not None else _figure(figsize or (5, 4))
    if ax is None:
        ax = fig.subplots()
    ax.loglog(lag, values, "o", markersize=3, color="0.2", label="MSD")
    # Guides through the first point (ballistic) and the last (diffusive).
    ax.loglog(lag, values[0] * (lag / lag[0]) ** 2, "--", color="tab:red", label="∝ t² (ballistic)")
    ax.loglog(lag, values[-1] * (lag / lag[-1]), "--", color="tab:blue", label="∝ t (diffusive)")
    if fit is not None:
        ax.loglog(lag, furth_msd(lag, fit["diffusion"], fit["persistence_time"], ndim), color="tab:green",
                  label=f"Fürth fit, P = {fit['persistence_time']:.3g} MCS")
        ax.axvline(fit["persistence_time"], color="tab:green", linestyle=":", linewidth=1)
    ax.set_ylim(values.min() / 2, values.max() * 2)
    ax.set_xlabel("lag (MCS)")
    ax.set_ylabel("mean squared displacement (sites²)")
    ax.legend(frameon=False, fontsize=8)
    return fig
