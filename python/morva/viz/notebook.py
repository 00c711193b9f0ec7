"""Looking at runs in Jupyter: a simulation's own picture, a frame scrubber and frame strips."""

import numpy as np

from .._display import show_recordings_as
from ..simulation import show_as
from ._deps import require
from .frames import frame_picture_args
from .movie import as_recording, colour_ranges
from .palette import with_model_colours
from .raster import tissue_rgb
from .tissue import add_type_legend, auto_scale, figure_png, plot_tissue


def simulation_picture_args(sim):
    """Arrays for :func:`plot_tissue` of a simulation's current state.

    Parameters
    ----------
    sim : morva.Simulation
        A built simulation.

    Returns
    -------
    dict
        ``labels``, ``cell_type``, ``type_names``, ``mcs`` and, when the model declares type
        colours, ``model_colours``.

    Examples
    --------
    >>> from morva.viz import plot_tissue, simulation_picture_args
    >>> fig = plot_tissue(**simulation_picture_args(sim))              # doctest: +SKIP
    """
    args = {
        "labels": np.asarray(sim.labels()),
        "cell_type": np.asarray(sim.world.cell_types(), dtype=np.int64),
        "type_names": list(sim.type_names),
        "mcs": int(sim.mcs),
    }
    if sim.model.type_colours:
        args["model_colours"] = dict(sim.model.type_colours)
    return args


def tissue_png(sim, *, dpi=80):
    """PNG picture of a simulation's tissue, coloured by cell type (``Simulation._repr_png_``).

    Parameters
    ----------
    sim : morva.Simulation
        A built simulation.
    dpi : int
        Resolution.

    Returns
    -------
    bytes
        The PNG file's bytes.

    Examples
    --------
    >>> from morva.viz import tissue_png
    >>> tissue_png(sim)[:4]                                            # doctest: +SKIP
    b'\\x89PNG'
    """
    return figure_png(plot_tissue(**simulation_picture_args(sim)), dpi=dpi)


def even_frames(n_frames, n):
    """Up to `n` frame numbers at equal steps, ending at the last frame.

    They start at the first frame too when some step allows it with at least half the panels;
    otherwise the step is the largest that fits `n` frames and the strip starts later.

    Examples
    --------
    >>> even_frames(13, 5), even_frames(7, 5), even_frames(8, 5), even_frames(3, 6)
    ([0, 3, 6, 9, 12], [0, 2, 4, 6], [3, 4, 5, 6, 7], [0, 1, 2])
    """
    n = min(int(n), n_frames)
    if n <= 1:
        return [n_frames - 1]
    last = n_frames - 1
    for k in range(n, (n + 1) // 2 - 1, -1):
        if k > 1 and last % (k - 1) == 0:
            step = last // (k - 1)
            return list(range(0, last + 1, step))
    step = last // (n - 1)
    return list(range(last - step * (n - 1), last + 1, step))


def frame_strip(rec, n=6, *, frames=None, color_by=None, field=None, colours=None, panel_size=2.4):
    """A row of pictures of evenly spaced recorded frames, each titled with its step.

    3-D recordings show the xy slice through the middle layer.

    Parameters
    ----------
    rec : morva.Recording or path
        The recording (or its folder).
    n : int
        Largest number of frames: the strip shows frames at equal steps in time, ending at the
        last (see :func:`even_frames`), so some fewer than `n` when the frames do not divide.
    frames : sequence of int, optional
        Frame numbers to show instead.
    color_by : str, optional
        Per-cell column to colour by (one colour range for all panels).
    field : str, optional
        Recorded field to show under the cells (one colour range for all panels).
    colours : mapping or array_like, optional
        Type colours, ``{type name: colour}`` or an RGB row per type id (see :func:`type_colours`).
    panel_size : float
        Height of a panel in inches.

    Returns
    -------
    matplotlib.figure.Figure

    Examples
    --------
    >>> from morva.viz import frame_strip
    >>> frame_strip("run", n=5).savefig("strip.png")                   # doctest: +SKIP
    """
    from matplotlib.colors import Normalize

    Figure = require("matplotlib.figure").Figure
    rec = as_recording(rec)
    if len(rec) == 0:
        raise ValueError("the recording has no frames")
    if frames is None:
        frames = even_frames(len(rec), n)
    ranges = colour_ranges(rec, color_by, field)
    value_norm = Normalize(ranges["vmin"], ranges["vmax"]) if "vmin" in ranges else None
    field_norm = Normalize(*ranges["field_range"]) if "field_range" in ranges else None
    first = frame_picture_args(rec, frames[0])
    colours = with_model_colours(first.get("model_colours"), colours)
    nz, ny, nx = np.asarray(first["labels"]).reshape((-1,) + np.shape(first["labels"])[-2:]).shape
    fig = Figure(figsize=(len(frames) * panel_size * nx / ny + 1.6, panel_size + 0.5), layout="constrained")
    axes = fig.subplots(1, len(frames), squeeze=False)[0]
    for ax, index in zip(axes, frames):
        args = frame_picture_args(rec, index, color_by=color_by, field=field)
        layer = nz // 2
        labels = np.asarray(args["labels"]).reshape(nz, ny, nx)[layer]
        field_plane = None if field is None else np.asarray(args["field"]).reshape(nz, ny, nx)[layer]
        rgb = tissue_rgb(labels, args["cell_type"], type_names=args["type_names"], colours=colours,
                         values=args.get("values"), norm=value_norm,
                         field=field_plane, field_norm=field_norm, scale=auto_scale((ny, nx)) // 2 or 1)
        ax.imshow(rgb, origin="lower", extent=(0, nx, 0, ny), interpolation="auto")
        ax.set_title(f"MCS {args['mcs']}", fontsize=10)
        ax.set_axis_off()
    if color_by is None:
        add_type_legend(fig, axes, first["cell_type"], first["type_names"], colours)
    else:
        from matplotlib.cm import ScalarMappable

        fig.colorbar(ScalarMappable(norm=value_norm, cmap="viridis"), ax=axes[-1], label=color_by, shrink=0.8)
    return fig


def scrub(rec, **picture):
    """A frame-by-frame viewer of a recording for Jupyter: a slider and the tissue picture.

    Needs ipywidgets (``pip install 'morva[notebook]'``); without it the recording is shown as a
    :func:`frame_strip` instead.

    Parameters
    ----------
    rec : morva.Recording or path
        The recording (or its folder).
    **picture
        Keyword arguments of :func:`frame_picture_args` (``color_by``, ``field``) and of
        :func:`plot_tissue`.

    Returns
    -------
    ipywidgets.VBox or matplotlib.figure.Figure
        The widget (slider above the picture), or a frame strip without ipywidgets.

    Examples
    --------
    >>> import morva
    >>> from morva.viz import scrub
    >>> scrub(morva.open_recording("run"), field="signal")             # doctest: +SKIP
    """
    rec = as_recording(rec)
    try:
        widgets = require("ipywidgets")
    except ImportError:
        return frame_strip(rec, color_by=picture.get("color_by"), field=picture.get("field"))
    color_by, field = picture.pop("color_by", None), picture.pop("field", None)
    picture = {**colour_ranges(rec, color_by, field), **picture}

    def png(index):
        args = frame_picture_args(rec, index, color_by=color_by, field=field)
        return figure_png(plot_tissue(**args, **picture), dpi=80)

    slider = widgets.IntSlider(value=0, min=0, max=max(len(rec) - 1, 0), description="frame",
                               continuous_update=False)
    image = widgets.Image(value=png(0), format="png")

    def show(change):
        image.value = png(change["new"])

    slider.observe(show, names="value")
    return widgets.VBox([slider, image])


def last_frame_png(rec, *, dpi=60):
    """The last frame of a 2-D recording as PNG bytes, shown under its summary in notebooks; None in 3-D.

    Examples
    --------
    >>> import morva, tempfile, pathlib
    >>> model = morva.Model((8, 8), default_contact=0).add_type("a", volume=4, lambda_volume=1)
    >>> sim = model.add_block("a", (2, 2), (4, 4)).build(); rec = sim.record(pathlib.Path(tempfile.mkdtemp()) / "r")
    >>> sim.run(1, progress=False); rec.close()
    >>> last_frame_png(morva.open_recording(rec.directory))[:4]
    b'\x89PNG'
    """
    if rec.model.ndim != 2:
        return None
    return figure_png(plot_tissue(**frame_picture_args(rec, -1)), dpi=dpi)


show_as(tissue_png)  # a simulation shown in a notebook is drawn by tissue_png
show_recordings_as(last_frame_png)  # and a recording's summary shows its last frame
