"""Colours shared by every picture: one per cell type, a plain medium, dark borders."""

import numpy as np

#: The medium (type 0) is drawn plain, a light grey that stays visible on a white page.
MEDIUM_COLOUR = np.array([0.94, 0.94, 0.94])
#: Borders between cells and around cells facing the medium.
BORDER_COLOUR = np.array([0.12, 0.12, 0.12])
#: Cells whose per-cell value is NaN (undefined) in value pictures.
MISSING_COLOUR = np.array([0.75, 0.75, 0.75])

# A colour-blind-safe qualitative set for types 1, 2, ... (cycled beyond its length).
_TYPE_COLOURS = np.array(
    [
        [0.902, 0.624, 0.000],  # orange
        [0.337, 0.706, 0.914],  # sky blue
        [0.000, 0.620, 0.451],  # bluish green
        [0.800, 0.475, 0.655],  # reddish purple
        [0.000, 0.447, 0.698],  # blue
        [0.835, 0.369, 0.000],  # vermilion
        [0.941, 0.894, 0.259],  # yellow
    ]
)


def type_colours(n_types):
    """RGB colours (floats in [0, 1]) for cell types 0 .. n_types - 1.

    Type 0 is the medium and gets :data:`MEDIUM_COLOUR`; types 1, 2, ... take a colour-blind-safe
    qualitative palette, cycled when there are more types than colours.

    Parameters
    ----------
    n_types : int
        Number of types including the medium.

    Returns
    -------
    numpy.ndarray
        Array of shape (n_types, 3).

    Examples
    --------
    >>> from morva.viz import type_colours
    >>> type_colours(3).shape
    (3, 3)
    >>> type_colours(3)[0].tolist()
    [0.94, 0.94, 0.94]
    """
    if n_types < 1:
        raise ValueError(f"n_types must be at least 1 (the medium), got {n_types}")
    colours = np.empty((n_types, 3))
    colours[0] = MEDIUM_COLOUR
    for t in range(1, n_types):
        colours[t] = _TYPE_COLOURS[(t - 1) % len(_TYPE_COLOURS)]
    return colours
