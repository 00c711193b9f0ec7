"""Label grids to RGB pictures with NumPy: cells filled with a colour per cell, borders drawn.

Each lattice site becomes a `scale` x `scale` block of pixels, so borders can be drawn inside the
sites on both sides of a cell boundary and stay sharp at any size. Row 0 of a picture is y = 0
(show it with ``origin="lower"``).
"""

import numpy as np

from .palette import BORDER_COLOUR, MEDIUM_COLOUR, resolve_colours


def as_plane(labels, name="labels"):
    """The (ny, nx) plane of a 2-D world given as (ny, nx) or (1, ny, nx)."""
    labels = np.asarray(labels)
    if labels.ndim == 3 and labels.shape[0] == 1:
        labels = labels[0]
    if labels.ndim != 2:
        raise ValueError(
            f"{name} must be a 2-D plane (ny, nx) or a single layer (1, ny, nx), got shape {labels.shape}"
        )
    return labels


def check_cell_type(labels, cell_type):
    """`cell_type` as an integer array that has an entry for every label in `labels`."""
    cell_type = np.asarray(cell_type)
    if cell_type.ndim != 1 or not np.issubdtype(cell_type.dtype, np.integer):
        raise ValueError(
            f"cell_type must be a 1-D integer array indexed by cell id, got {cell_type.dtype} {cell_type.shape}"
        )
    top = int(labels.max()) if labels.size else 0
    if top >= len(cell_type):
        raise ValueError(f"cell_type has {len(cell_type)} entries but the labels go up to {top}")
    return cell_type


def upsample(plane, scale):
    """Each site of a 2-D array repeated into a `scale` x `scale` block."""
    return np.repeat(np.repeat(plane, scale, axis=0), scale, axis=1)


def border_width(scale):
    """Pixels of border on each side of a cell boundary at a given site size."""
    return max(1, scale // 6)


def border_mask(labels, scale=1):
    """Pixels on cell boundaries of an upsampled label plane.

    A pixel is a border pixel when a pixel within :func:`border_width` of it along x or y belongs to
    another label, so a boundary becomes a line on both sides of it. At ``scale == 1`` only the site
    below or left of the boundary is marked, which keeps small cells visible.

    Parameters
    ----------
    labels : array_like
        Label plane (ny, nx).
    scale : int
        Pixels per site along each axis.

    Returns
    -------
    numpy.ndarray
        Boolean array (ny * scale, nx * scale).

    Examples
    --------
    >>> import numpy as np
    >>> from morva.viz import border_mask
    >>> border_mask(np.array([[1, 2]]), scale=2).astype(int).tolist()
    [[0, 1, 1, 0], [0, 1, 1, 0]]
    """
    big = upsample(as_plane(labels), scale)
    mask = np.zeros(big.shape, dtype=bool)
    reach = border_width(scale) if scale > 1 else 1
    for shift in range(1, reach + 1):
        across_x = big[:, :-shift] != big[:, shift:]
        across_y = big[:-shift, :] != big[shift:, :]
        mask[:, :-shift] |= across_x
        mask[:-shift, :] |= across_y
        if scale > 1:
            mask[:, shift:] |= across_x
            mask[shift:, :] |= across_y
    return mask


def _colour_values(values, labels, cmap, norm):
    """Per-label RGB from a per-cell value, the medium plain and undefined values grey."""
    from .palette import MISSING_COLOUR

    values = np.asarray(values, dtype=float)
    if values.ndim != 1 or len(values) <= int(labels.max(initial=0)):
        raise ValueError(
            f"values must be 1-D and indexed by cell id up to {int(labels.max(initial=0))}, got shape {values.shape}"
        )
    rgb = np.asarray(cmap(norm(np.nan_to_num(values))))[:, :3]
    rgb[np.isnan(values)] = MISSING_COLOUR
    rgb[0] = MEDIUM_COLOUR
    return rgb


def tissue_rgb(
    labels,
    cell_type,
    *,
    type_names=None,
    colours=None,
    values=None,
    cmap="viridis",
    norm=None,
    field=None,
    field_cmap="magma",
    field_norm=None,
    cell_alpha=0.55,
    borders=True,
    scale=1,
):
    """RGB picture of a 2-D tissue.

    Cells are filled by type (or by a per-cell value through a colour map), the medium is plain and
    borders are dark. With `field`, the medium shows the field through its colour map and cells are
    drawn over it with opacity `cell_alpha`.

    Parameters
    ----------
    labels : array_like
        Cell id per site, (ny, nx) or (1, ny, nx); 0 is the medium.
    cell_type : array_like
        Type per cell id (index 0 = medium).
    type_names : sequence of str, optional
        Name per type id (index 0 = medium); needed for `colours` keyed by name.
    colours : mapping or array_like, optional
        ``{type name: colour}`` or an RGB row per type id; see :func:`type_colours`, which also
        gives the default (the medium plain, cell types in the order of their names).
    values : array_like, optional
        A number per cell id to colour cells by instead of their type (NaN is drawn grey).
    cmap, norm : optional
        Matplotlib colour map (name or object) and normalisation for `values`.
    field : array_like, optional
        A field on the same plane, shown under the cells.
    field_cmap, field_norm : optional
        Colour map and normalisation for `field`.
    cell_alpha : float
        Opacity of the cells over a field.
    borders : bool
        Draw cell borders.
    scale : int
        Pixels per site along each axis.

    Returns
    -------
    numpy.ndarray
        Float RGB array (ny * scale, nx * scale, 3); row 0 is y = 0.

    Examples
    --------
    >>> import numpy as np
    >>> from morva.viz import tissue_rgb, type_colours
    >>> labels = np.array([[0, 1, 1, 2, 2]])
    >>> rgb = tissue_rgb(labels, [0, 1, 2], borders=False)
    >>> bool((rgb[0, 1] == type_colours(3)[1]).all())
    True
    >>> rgb = tissue_rgb(labels, [0, 1, 2], type_names=["medium", "a", "b"], colours={"b": "blue"})
    >>> rgb[0, 4].tolist()
    [0.0, 0.0, 1.0]
    """
    labels = as_plane(labels)
    cell_type = check_cell_type(labels, cell_type)
    values = None if values is None else np.asarray(values, dtype=float)
    if scale < 1 or int(scale) != scale:
        raise ValueError(f"scale must be a positive integer, got {scale}")
    scale = int(scale)
    if values is None:
        per_label = resolve_colours(cell_type, type_names, colours)[cell_type]
    else:
        per_label = _colour_values(values, labels, colour_map(cmap), norm or auto_norm(values[1:]))
    picture = upsample(per_label[labels], scale)
    if field is not None:
        field = as_plane(field, "field")
        if field.shape != labels.shape:
            raise ValueError(f"field has shape {field.shape} but labels have {labels.shape}")
        field_norm = field_norm or auto_norm(field)
        under = upsample(np.asarray(colour_map(field_cmap)(field_norm(field)))[..., :3], scale)
        cells = upsample(labels != 0, scale)[..., None]
        picture = np.where(cells, cell_alpha * picture + (1 - cell_alpha) * under, under)
    if borders:
        picture[border_mask(labels, scale)] = BORDER_COLOUR
    return picture


def colour_map(cmap):
    """A matplotlib colour map from its name, or the colour map itself."""
    import matplotlib

    return matplotlib.colormaps[cmap] if isinstance(cmap, str) else cmap


def auto_norm(data):
    """A linear normalisation over the finite range of `data` (a flat range gets width 1)."""
    from matplotlib.colors import Normalize

    data = np.asarray(data, dtype=float)
    finite = data[np.isfinite(data)]
    low, high = (float(finite.min()), float(finite.max())) if finite.size else (0.0, 1.0)
    if high <= low:
        high = low + 1.0
    return Normalize(low, high)
