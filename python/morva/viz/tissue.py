"""Tissue pictures with matplotlib: by type with a legend, by a per-cell value with a colour bar,
a field over or beside the cells, and orthogonal slices of 3-D worlds.

Every function here takes plain arrays (labels ``(z, y, x)`` or ``(y, x)``, a type per cell id)
and returns a :class:`matplotlib.figure.Figure` built without pyplot, so nothing is left open in a
global figure list and no display is needed.
"""

import numpy as np

from ._deps import require
from .palette import resolve_colours, with_model_colours
from .raster import as_plane, auto_norm, check_cell_type, colour_map, tissue_rgb

# About this many pixels along the longer side of a picture before matplotlib resamples it.
_TARGET_PIXELS = 900
_MAX_SCALE = 48


def auto_scale(shape):
    """Pixels per site so that a plane of `shape` is drawn about 900 pixels wide."""
    return int(max(1, min(_MAX_SCALE, _TARGET_PIXELS // max(shape))))


def type_legend_names(cell_type, type_names):
    """(type id, name) pairs for the legend: every named type, or the types present."""
    if type_names is not None:
        return list(enumerate(type_names))
    present = np.unique(np.asarray(cell_type))
    return [(int(t), "medium" if t == 0 else f"type {int(t)}") for t in present]


def _figure(figsize):
    Figure = require("matplotlib.figure").Figure
    ConstrainedLayoutEngine = require("matplotlib.layout_engine").ConstrainedLayoutEngine
    # With a fixed-aspect picture and a legend outside, the layout leaves the y label no margin of
    # its own: the padding (inches) keeps it inside the figure.
    return Figure(figsize=figsize, layout=ConstrainedLayoutEngine(w_pad=0.15))


def _plane_figsize(shape, panels):
    """Inches for `panels` pictures of a plane side by side, plus room for a legend or colour bar."""
    ny, nx = shape
    width = float(np.clip(4.8 * nx / ny, 2.5, 9.0))
    height = width * ny / nx
    return (panels * width + 1.6 * panels, max(height, 2.5) + 0.6)


def _show_plane(ax, rgb, shape, xlabel="x", ylabel="y"):
    ny, nx = shape
    image = ax.imshow(rgb, origin="lower", extent=(0, nx, 0, ny), interpolation="auto")
    ax.set_xlabel(xlabel)
    ax.set_ylabel(ylabel)
    ax.tick_params(labelsize=8, length=2)
    return image


def add_type_legend(fig, axes, cell_type, type_names, colours):
    """A legend of the types with the colours the tissue is drawn in (`colours` as in tissue_rgb)."""
    from matplotlib.patches import Patch

    entries = type_legend_names(cell_type, type_names)
    palette = resolve_colours(cell_type, type_names, colours)
    handles = [Patch(facecolor=palette[t], edgecolor="0.3", label=name) for t, name in entries]
    return fig.legend(handles=handles, loc="outside right upper", frameon=False, title="cell type")


def _step_counter(ax, mcs):
    return ax.text(
        0.02, 0.98, f"MCS {mcs}", transform=ax.transAxes, ha="left", va="top", fontsize=10,
        bbox=dict(boxstyle="round,pad=0.25", facecolor="white", edgecolor="0.5", alpha=0.85),
    )


def plot_tissue(
    labels,
    cell_type,
    *,
    type_names=None,
    values=None,
    value_label="value",
    cmap="viridis",
    vmin=None,
    vmax=None,
    field=None,
    field_name="field",
    field_mode="overlay",
    field_cmap="magma",
    field_range=None,
    colours=None,
    model_colours=None,
    borders=True,
    title=None,
    mcs=None,
    scale=None,
    figsize=None,
):
    """Picture of a tissue.

    Cells are filled by type with a legend, or by a per-cell value with a colour bar; borders are
    dark and the medium is plain. A field is drawn under the cells (``field_mode="overlay"``) or
    in a panel of its own beside them (``"beside"``), each with its colour bar. A 3-D world
    (more than one layer) is shown as orthogonal slices through its centre (see
    :func:`plot_slices`).

    Parameters
    ----------
    labels : array_like
        Cell id per site, ``(z, y, x)`` or ``(y, x)``; 0 is the medium.
    cell_type : array_like
        Type per cell id (index 0 = medium).
    type_names : sequence of str, optional
        Name per type id (index 0 = medium); the legend lists them all. Default: the types present.
    values : array_like, optional
        A number per cell id (e.g. volume); cells are then coloured by it through `cmap`.
    value_label : str
        Label of the value colour bar.
    cmap : str or Colormap
        Colour map for `values`.
    vmin, vmax : float, optional
        Range of the value colour bar (default: the range of the values of the cells).
    field : array_like, optional
        A field of the same shape as `labels`.
    field_name : str
        Label of the field colour bar.
    field_mode : {"overlay", "beside"}
        Field under the cells, or in its own panel.
    field_cmap : str or Colormap
        Colour map of the field.
    field_range : tuple of float, optional
        (low, high) of the field colour bar (default: the field's range).
    colours : mapping or array_like, optional
        Colours by type name, ``{"dark": "tab:red", ...}`` (needs `type_names`; a type keeps its
        colour in every model that has a type of that name), or an RGB row per type id. Default
        (see :func:`type_colours`): the medium is the plain background and cell types take a
        colour-blind-safe palette in the order of their names in the model.
    model_colours : mapping, optional
        The colours the model declares by type name (``model.type_colours``; the picture
        arguments of simulations and recordings carry them); `colours` overrides them.
    borders : bool
        Draw cell borders.
    title : str, optional
        Title above the picture.
    mcs : int, optional
        Monte Carlo step, drawn as a counter in the top left corner.
    scale : int, optional
        Pixels per site of the underlying raster (default: about 900 pixels across).
    figsize : tuple, optional
        Figure size in inches.

    Returns
    -------
    matplotlib.figure.Figure

    Examples
    --------
    >>> import numpy as np
    >>> from morva.viz import plot_tissue
    >>> labels = np.zeros((20, 20), np.uint32)
    >>> labels[5:15, 2:10], labels[5:15, 10:18] = 1, 2
    >>> fig = plot_tissue(labels, [0, 1, 2], type_names=["medium", "light", "dark"])
    >>> fig.savefig("two_cells.png")
    >>> fig = plot_tissue(labels, [0, 1, 2], type_names=["medium", "light", "dark"],
    ...                   colours={"dark": "tab:blue", "light": "tab:orange"})
    """
    colours = with_model_colours(model_colours, colours)
    labels = np.asarray(labels)
    if labels.ndim == 3 and labels.shape[0] > 1:
        return plot_slices(
            labels, cell_type, type_names=type_names, values=values, value_label=value_label,
            cmap=cmap, vmin=vmin, vmax=vmax, field=field, field_name=field_name,
            field_cmap=field_cmap, field_range=field_range, colours=colours, borders=borders,
            title=title, mcs=mcs, scale=scale, figsize=figsize,
        )
    if field_mode not in ("overlay", "beside"):
        raise ValueError(f"field_mode must be 'overlay' or 'beside', got {field_mode!r}")
    plane = as_plane(labels)
    cell_type = check_cell_type(plane, cell_type)
    scale = scale or auto_scale(plane.shape)
    beside = field is not None and field_mode == "beside"
    fig = _figure(figsize or _plane_figsize(plane.shape, 2 if beside else 1))
    axes = fig.subplots(1, 2 if beside else 1, squeeze=False)[0]
    ax = axes[0]
    value_norm = _value_norm(values, vmin, vmax)
    field_plane = None if field is None else as_plane(field, "field").astype(float)
    field_norm = None if field is None else _field_norm(field_plane, field_range)
    overlay = field_mode == "overlay"

    def tissue_picture(plane, cell_type, values, field_plane):
        return tissue_rgb(
            plane, cell_type, type_names=type_names, colours=colours, values=values, cmap=cmap, norm=value_norm,
            field=field_plane if overlay else None, field_cmap=field_cmap,
            field_norm=field_norm, borders=borders, scale=scale,
        )

    image = _show_plane(ax, tissue_picture(plane, cell_type, values, field_plane), plane.shape)
    field_images = ()
    if beside:
        field_images = _draw_field_panel(fig, axes[1], plane, field_plane, field_norm, field_cmap, field_name,
                                         borders, scale)
    elif field is not None:
        _colour_bar(fig, ax, field_norm, field_cmap, field_name)
    if values is not None:
        _colour_bar(fig, ax, value_norm, cmap, value_label)
    else:
        add_type_legend(fig, axes, cell_type, type_names, colours)
    counter = _step_counter(ax, mcs) if mcs is not None else None
    if title:
        fig.suptitle(title)

    def redraw(labels, cell_type, *, values=None, field=None, mcs=None):
        plane = as_plane(labels)
        cell_type = check_cell_type(plane, cell_type)
        field_plane = None if field is None else as_plane(field, "field").astype(float)
        image.set_data(tissue_picture(plane, cell_type, values, field_plane))
        if field_images:
            field_images[0].set_data(field_plane)
            if len(field_images) > 1:
                field_images[1].set_data(_outline(plane, scale))
        if counter is not None:
            counter.set_text(f"MCS {mcs}")

    fig._morva_redraw = redraw  # lets a movie reuse the figure, its layout and legend, frame after frame
    return fig


def _value_norm(values, vmin, vmax):
    if values is None:
        return None
    from matplotlib.colors import Normalize

    cells = np.asarray(values, dtype=float)[1:]
    auto = auto_norm(cells)
    return Normalize(auto.vmin if vmin is None else vmin, auto.vmax if vmax is None else vmax)


def _field_norm(field, field_range):
    if field_range is None:
        return auto_norm(field)
    from matplotlib.colors import Normalize

    low, high = field_range
    return Normalize(low, high)


def _colour_bar(fig, ax, norm, cmap, label):
    from matplotlib.cm import ScalarMappable

    return fig.colorbar(ScalarMappable(norm=norm, cmap=colour_map(cmap)), ax=ax, label=label, shrink=0.85)


def _outline(plane, scale):
    """Cell borders as semi-transparent white over a field panel."""
    from .raster import border_mask

    mask = border_mask(plane, scale)
    outline = np.zeros(mask.shape + (4,))
    outline[mask] = (1.0, 1.0, 1.0, 0.55)
    return outline


def _draw_field_panel(fig, ax, plane, field, norm, cmap, name, borders, scale):
    """The field in its own panel, with the cell outlines faintly on top for orientation."""
    ny, nx = plane.shape
    image = ax.imshow(field, origin="lower", extent=(0, nx, 0, ny), cmap=colour_map(cmap), norm=norm,
                      interpolation="nearest")
    images = (image,)
    if borders:
        images += (ax.imshow(_outline(plane, scale), origin="lower", extent=(0, nx, 0, ny), interpolation="auto"),)
    ax.set_xlabel("x")
    ax.set_ylabel("y")
    ax.tick_params(labelsize=8, length=2)
    ax.set_title(name, fontsize=10)
    fig.colorbar(image, ax=ax, label=name, shrink=0.85)
    return images


def _slice_planes(array, at):
    """The xy, xz and yz planes of a (z, y, x) array through site `at` = (x, y, z)."""
    x, y, z = at
    return array[z], array[:, y, :], array[:, :, x]


def plot_slices(
    labels,
    cell_type,
    *,
    at=None,
    type_names=None,
    values=None,
    value_label="value",
    cmap="viridis",
    vmin=None,
    vmax=None,
    field=None,
    field_name="field",
    field_cmap="magma",
    field_range=None,
    colours=None,
    model_colours=None,
    borders=True,
    title=None,
    mcs=None,
    scale=None,
    figsize=None,
):
    """Three orthogonal slices (xy, xz, yz) of a 3-D tissue through one site.

    Each slice is drawn like :func:`plot_tissue` (borders within the slice plane, the field under
    the cells); dashed lines show where the other two slices cut it.

    Parameters
    ----------
    labels : array_like
        Cell id per site, ``(z, y, x)``.
    cell_type : array_like
        Type per cell id (index 0 = medium).
    at : tuple of int, optional
        Site ``(x, y, z)`` the slices pass through; default the centre.
    type_names, values, value_label, cmap, vmin, vmax, field, field_name, field_cmap, field_range, \
colours, model_colours, borders, title, mcs, scale, figsize
        As in :func:`plot_tissue`.

    Returns
    -------
    matplotlib.figure.Figure

    Examples
    --------
    >>> import numpy as np
    >>> from morva.viz import plot_slices
    >>> labels = np.zeros((12, 12, 12), np.uint32)
    >>> labels[3:9, 3:9, 2:6], labels[3:9, 3:9, 6:10] = 1, 2
    >>> fig = plot_slices(labels, [0, 1, 2], type_names=["medium", "a", "b"])
    >>> len(fig.axes[0].images)
    1
    """
    colours = with_model_colours(model_colours, colours)
    labels = np.asarray(labels)
    if labels.ndim != 3:
        raise ValueError(f"labels must be (z, y, x) for slices, got shape {labels.shape}")
    cell_type = check_cell_type(labels, cell_type)
    nz, ny, nx = labels.shape
    at = (nx // 2, ny // 2, nz // 2) if at is None else tuple(int(i) for i in at)
    if len(at) != 3 or not all(0 <= i < n for i, n in zip(at, (nx, ny, nz))):
        raise ValueError(f"at must be a site (x, y, z) inside the box {(nx, ny, nz)}, got {at}")
    scale = scale or auto_scale((max(nx, ny, nz),) * 2)
    fig = _figure(figsize or (13.0, 4.8))
    axes = fig.subplots(1, 3, width_ratios=(nx, nx, ny))
    value_norm = _value_norm(values, vmin, vmax)
    field = None if field is None else np.asarray(field, dtype=float)
    field_norm = None if field is None else _field_norm(field, field_range)
    names = (("x", "y", f"xy at z = {at[2]}"), ("x", "z", f"xz at y = {at[1]}"),
             ("y", "z", f"yz at x = {at[0]}"))
    cuts = (((at[0], "v"), (at[1], "h")), ((at[0], "v"), (at[2], "h")), ((at[1], "v"), (at[2], "h")))

    def slice_pictures(labels, cell_type, values, field):
        field_planes = (None,) * 3 if field is None else _slice_planes(np.asarray(field, dtype=float), at)
        return [
            tissue_rgb(plane, cell_type, type_names=type_names, colours=colours, values=values, cmap=cmap,
                       norm=value_norm, field=field_plane, field_cmap=field_cmap, field_norm=field_norm,
                       borders=borders, scale=scale)
            for plane, field_plane in zip(_slice_planes(labels, at), field_planes)
        ]

    images = []
    planes = _slice_planes(labels, at)
    for ax, picture, plane, (xl, yl, name), cut in zip(
        axes, slice_pictures(labels, cell_type, values, field), planes, names, cuts
    ):
        images.append(_show_plane(ax, picture, plane.shape, xl, yl))
        ax.set_title(name, fontsize=10)
        for position, direction in cut:
            line = ax.axvline if direction == "v" else ax.axhline
            line(position + 0.5, color="0.35", linestyle=(0, (4, 3)), linewidth=0.8)
    if field is not None:
        _colour_bar(fig, axes[-1], field_norm, field_cmap, field_name)
    if values is not None:
        _colour_bar(fig, axes[-1], value_norm, cmap, value_label)
    else:
        add_type_legend(fig, axes, cell_type, type_names, colours)
    counter = _step_counter(axes[0], mcs) if mcs is not None else None
    if title:
        fig.suptitle(title)

    def redraw(labels, cell_type, *, values=None, field=None, mcs=None):
        labels = np.asarray(labels)
        if labels.shape != (nz, ny, nx):
            raise ValueError(f"labels have shape {labels.shape}, the figure shows {(nz, ny, nx)}")
        for image, picture in zip(images, slice_pictures(labels, check_cell_type(labels, cell_type), values, field)):
            image.set_data(picture)
        if counter is not None:
            counter.set_text(f"MCS {mcs}")

    fig._morva_redraw = redraw
    return fig


def redraw(fig, labels, cell_type, *, values=None, field=None, mcs=None):
    """Draw another frame into a figure made by :func:`plot_tissue` or :func:`plot_slices`, keeping its
    layout, legend and colour scales (a movie does this frame after frame)."""
    fig._morva_redraw(labels, cell_type, values=values, field=field, mcs=mcs)


def figure_png(fig, dpi=100):
    """PNG bytes of a figure.

    Parameters
    ----------
    fig : matplotlib.figure.Figure
        The figure.
    dpi : int
        Resolution.

    Returns
    -------
    bytes

    Examples
    --------
    >>> import numpy as np
    >>> from morva.viz import figure_png, plot_tissue
    >>> figure_png(plot_tissue(np.ones((4, 4), np.uint32), [0, 1]))[:4]
    b'\\x89PNG'
    """
    import io

    buffer = io.BytesIO()
    fig.savefig(buffer, format="png", dpi=dpi)
    return buffer.getvalue()


def figure_rgb(fig, dpi=100):
    """The rendered figure as an RGB uint8 array (height, width, 3).

    Parameters
    ----------
    fig : matplotlib.figure.Figure
        The figure.
    dpi : int
        Resolution.

    Returns
    -------
    numpy.ndarray

    Examples
    --------
    >>> from matplotlib.figure import Figure
    >>> from morva.viz import figure_rgb
    >>> figure_rgb(Figure(figsize=(2, 1)), dpi=50).shape
    (50, 100, 3)
    """
    from matplotlib.backends.backend_agg import FigureCanvasAgg

    fig.set_dpi(dpi)
    canvas = FigureCanvasAgg(fig)
    canvas.draw()
    return np.asarray(canvas.buffer_rgba())[..., :3].copy()


def figure_html(fig, *, dpi=100, alt="figure"):
    """An HTML ``<img>`` tag with the figure embedded as PNG (for reports and generated pages).

    Parameters
    ----------
    fig : matplotlib.figure.Figure
        The figure.
    dpi : int
        Resolution.
    alt : str
        Text shown where the picture cannot be.

    Returns
    -------
    str

    Examples
    --------
    >>> import numpy as np
    >>> from morva.viz import figure_html, plot_tissue
    >>> figure_html(plot_tissue(np.ones((4, 4), np.uint32), [0, 1]))[:33]
    '<img alt="figure" src="data:image'
    """
    import base64
    import html

    data = base64.b64encode(figure_png(fig, dpi=dpi)).decode("ascii")
    return f'<img alt="{html.escape(alt)}" src="data:image/png;base64,{data}">'
