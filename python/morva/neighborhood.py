"""Neighbourhoods by name and the surface of a compact cell in the engine's unit.

A cell's surface is the number of (site of the cell, neighbour of that site outside the cell) pairs,
the neighbours being those of the model's neighbourhood: a 7 x 7 square has surface 28 with the 4
face neighbours of "von_neumann" but 80 with the 8 neighbours of "moore". Target surfaces are in the
same unit, so they depend on the neighbourhood; :func:`compact_surface` gives a sensible value.
"""

import functools
import itertools

import numpy as np

from .validate import integer

NEIGHBORHOODS = {"von_neumann": 1, "moore": 2, "full": 3}


def neighborhood_order(value):
    """Neighbourhood order from a name or an order 1..3.

    Examples
    --------
    >>> neighborhood_order("moore")
    2
    """
    if isinstance(value, str):
        if value not in NEIGHBORHOODS:
            raise ValueError(f"neighborhood must be one of {sorted(NEIGHBORHOODS)} or 1..3, got {value!r}")
        return NEIGHBORHOODS[value]
    return integer("neighborhood", value, minimum=1, maximum=3)


def neighbor_offsets(neighborhood, dim):
    """Offsets of the neighbours of a site: every nonzero offset of squared length up to the order.

    Examples
    --------
    >>> len(neighbor_offsets("moore", 2)), len(neighbor_offsets("moore", 3)), len(neighbor_offsets("full", 3))
    (8, 18, 26)
    """
    order = neighborhood_order(neighborhood)
    dim = integer("dim", dim, minimum=2, maximum=3)
    steps = itertools.product((-1, 0, 1), repeat=dim)
    return np.array([d for d in steps if 0 < sum(c * c for c in d) <= order], dtype=np.int64)


def shape_surface(mask, neighborhood):
    """Surface of the sites set in a boolean array, counted as the engine counts it.

    The array is padded, so sites on its border count their outside neighbours too.

    Examples
    --------
    >>> shape_surface(np.ones((7, 7), dtype=bool), "moore"), shape_surface(np.ones((7, 7), dtype=bool), 1)
    (80, 28)
    """
    mask = np.pad(np.asarray(mask, dtype=bool), 1)
    inside = np.flatnonzero(mask)
    total = 0
    for offset in neighbor_offsets(neighborhood, mask.ndim):
        shifted = np.roll(mask, tuple(-offset), axis=tuple(range(mask.ndim)))
        total += int(np.count_nonzero(~shifted.flat[inside]))
    return total


def compact_blob(volume, dim, centre_offset=0.0):
    """Boolean array of the `volume` sites nearest a centre: a disc (2-D) or ball (3-D) of exactly
    that many sites. Sites at equal distance are taken in order of angle about the centre, so a
    partly filled ring stays in one piece.

    Examples
    --------
    >>> int(compact_blob(9, 2).sum()), compact_blob(9, 2).shape
    (9, 3)
    """
    volume = integer("volume", volume, minimum=1)
    radius = int(np.ceil((volume / (np.pi if dim == 2 else 4 * np.pi / 3)) ** (1 / dim))) + 2
    axis = np.arange(-radius, radius + 1)
    grid = np.stack(np.meshgrid(*([axis] * dim), indexing="ij"), axis=-1).reshape(-1, dim)
    rel = grid - centre_offset
    distance = np.sum(rel * rel, axis=1)
    angle = np.arctan2(rel[:, 1], rel[:, 0])
    order = np.lexsort((rel[:, -1], angle, distance))
    mask = np.zeros(len(grid), dtype=bool)
    mask[order[:volume]] = True
    mask = mask.reshape((2 * radius + 1,) * dim)
    return mask[tuple(slice(s.min(), s.max() + 1) for s in np.nonzero(mask))]


def box_blob(volume, dim):
    """Boolean array of the first `volume` sites, in raster order, of the smallest cube that holds
    them: a square (cube) with a partly filled last row (layer).

    Examples
    --------
    >>> box_blob(7, 2).astype(int)
    array([[1, 1, 1],
           [1, 1, 1],
           [1, 0, 0]])
    """
    side = 1
    while side**dim < volume:
        side += 1
    mask = np.zeros(side**dim, dtype=bool)
    mask[:volume] = True
    mask = mask.reshape((side,) * dim)
    return mask[tuple(slice(s.min(), s.max() + 1) for s in np.nonzero(mask))]


def compact_shape(volume, neighborhood="moore", dim=2):
    """The shape behind :func:`compact_surface`: a boolean array of `volume` sites.

    Examples
    --------
    >>> compact_shape(5, "von_neumann").astype(int)
    array([[1, 1],
           [1, 1],
           [1, 0]])
    """
    volume = integer("volume", volume, minimum=1)
    dim = integer("dim", dim, minimum=2, maximum=3)
    order = neighborhood_order(neighborhood)
    centres = [np.array([0.5] * k + [0.0] * (dim - k)) for k in range(dim + 1)]
    shapes = [compact_blob(volume, dim, c) for c in centres] + [box_blob(volume, dim)]
    return min(shapes, key=lambda shape: shape_surface(shape, order))


@functools.lru_cache(maxsize=256)
def _compact_surface(volume, order, dim):
    return shape_surface(compact_shape(volume, order, dim), order)


def compact_surface(volume, neighborhood="moore", dim=2):
    """Surface of a compact (round) cell of `volume` sites, in the engine's unit.

    The engine counts a cell's surface as its unlike-neighbour pairs in the model's neighbourhood
    (see the module notes): the value grows with the number of neighbours, so a target surface
    must be chosen for the neighbourhood in use. This builds the most compact shape of exactly
    `volume` sites (a disc or ball, centred on a site, an edge, a face or a corner: the smallest
    surface of these is returned) and counts its surface. A cell cannot do much better than this;
    as a target surface it keeps cells round, a larger target lets them stretch.

    Parameters
    ----------
    volume : int
        Number of sites of the cell (>= 1).
    neighborhood : str or int
        "von_neumann", "moore" or "full", or the order 1, 2 or 3, as in :class:`morva.Model`.
    dim : {2, 3}
        Dimension of the lattice.

    Returns
    -------
    int

    Examples
    --------
    >>> compact_surface(49), compact_surface(49, "von_neumann")
    (76, 28)
    >>> compact_surface(100, "full", dim=3) > compact_surface(100, "von_neumann", dim=3)
    True
    """
    volume = integer("volume", round(volume) if isinstance(volume, float) else volume, minimum=1)
    dim = integer("dim", dim, minimum=2, maximum=3)
    return _compact_surface(volume, neighborhood_order(neighborhood), dim)
