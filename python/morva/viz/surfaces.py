"""Rendered cell surfaces of 3-D tissues with PyVista (the optional ``3d`` extra)."""

import numpy as np

from ._deps import require
from .palette import resolve_colours, with_model_colours
from .raster import check_cell_type
from .tissue import type_legend_names


def cell_surfaces(labels, *, smoothing=True):
    """Surfaces between cells and around them as a PyVista mesh (surface nets).

    Parameters
    ----------
    labels : array_like
        Cell id per site ``(z, y, x)``; 0 is the medium.
    smoothing : bool
        Smooth the voxel surfaces.

    Returns
    -------
    pyvista.PolyData
        Faces with cell data ``boundary_labels`` (the two labels each face separates), in site
        units with site (x, y, z) at point (x, y, z).

    Examples
    --------
    >>> import numpy as np
    >>> from morva.viz import cell_surfaces
    >>> labels = np.zeros((8, 8, 8), np.uint32); labels[2:6, 2:6, 2:6] = 1
    >>> cell_surfaces(labels).n_cells > 0                              # doctest: +SKIP
    True
    """
    pv = require("pyvista")
    labels = np.asarray(labels)
    if labels.ndim != 3:
        raise ValueError(f"labels must be (z, y, x), got shape {labels.shape}")
    grid = pv.ImageData(dimensions=labels.shape[::-1])
    grid.point_data["labels"] = labels.astype(np.uint32).ravel()  # (z, y, x) C order: x fastest
    return grid.contour_labels(boundary_style="external", smoothing=smoothing)


def plot_surfaces(labels, cell_type, *, type_names=None, colours=None, model_colours=None, off_screen=None,
                  window_size=(900, 700), smoothing=True):
    """Rendered 3-D view of cell surfaces, coloured by type, with a legend.

    Each cell's surface facing the medium is drawn; neighbouring cells of one type share a colour.

    Parameters
    ----------
    labels : array_like
        Cell id per site ``(z, y, x)``; 0 is the medium.
    cell_type : array_like
        Type per cell id (index 0 = medium).
    type_names : sequence of str, optional
        Name per type id for the legend.
    colours : mapping or array_like, optional
        Type colours, ``{type name: colour}`` (needs `type_names`) or an RGB row per type id; see
        :func:`type_colours`.
    model_colours : mapping, optional
        The colours the model declares by type name; `colours` overrides them.
    off_screen : bool, optional
        Render without a window (for screenshots); PyVista's default when None.
    window_size : tuple of int
        Picture size in pixels.
    smoothing : bool
        Smooth the voxel surfaces.

    Returns
    -------
    pyvista.Plotter
        Call ``.show()`` for a window or ``.screenshot(path)`` for a picture.

    Examples
    --------
    >>> import numpy as np
    >>> from morva.viz import plot_surfaces
    >>> labels = np.zeros((12, 12, 12), np.uint32)
    >>> labels[3:9, 3:9, 2:6], labels[3:9, 3:9, 6:10] = 1, 2
    >>> plotter = plot_surfaces(labels, [0, 1, 2], off_screen=True)   # doctest: +SKIP
    >>> plotter.screenshot("cells.png")                                # doctest: +SKIP
    """
    pv = require("pyvista")
    labels = np.asarray(labels)
    cell_type = check_cell_type(labels, cell_type)
    surface = cell_surfaces(labels, smoothing=smoothing)
    palette = resolve_colours(cell_type, type_names, with_model_colours(model_colours, colours))
    if surface.n_cells:
        pairs = np.asarray(surface.cell_data["boundary_labels"]).reshape(surface.n_cells, -1)
        # A face between a cell and the medium takes the cell's colour; between cells, the first's.
        owner = np.where(pairs[:, 0] != 0, pairs[:, 0], pairs[:, -1]).astype(np.int64)
        surface.cell_data["colour"] = (palette[cell_type[owner]][:, :3] * 255).astype(np.uint8)
    plotter = pv.Plotter(off_screen=off_screen, window_size=list(window_size))
    plotter.set_background("white")
    if surface.n_cells:
        plotter.add_mesh(surface, scalars="colour", rgb=True, smooth_shading=smoothing)
    entries = [(t, name) for t, name in type_legend_names(cell_type, type_names) if t != 0]
    if entries:
        plotter.add_legend([[name, palette[t][:3]] for t, name in entries], bcolor="white", face="rectangle")
    plotter.add_axes()
    return plotter
