"""Who touches whom: the contact table of a world as a pandas table, a sparse matrix or neighbour sums.

The table comes from ``morva._native.contacts`` in one pass over the lattice. A contact's area is in
the surface term's unit: the number of (site, neighbour) pairs in the model's neighbourhood that
join the two labels, so a cell's surface is the sum of its contacts' areas (the medium, 0, included).
"""

import numpy as np
import pandas as pd

from . import _native


def contact_table(world):
    """The contacts of a world as a DataFrame with columns a, b (labels, a < b, 0 = medium) and area.

    Examples
    --------
    >>> import morva
    >>> m = morva.Model((10, 10), default_contact=0).add_type("x", volume=4, lambda_volume=1)
    >>> m = m.add_block("x", (0, 0), (2, 2)).add_block("x", (2, 0), (4, 2))
    >>> contact_table(m.build().world).values.tolist()
    [[0, 1, 16], [0, 2, 16], [1, 2, 4]]
    """
    a, b, area = _native.contacts(world)
    return pd.DataFrame({"a": a.astype(np.int64), "b": b.astype(np.int64), "area": area})


def contact_matrix(world):
    """The contacts as a symmetric ``scipy.sparse`` CSR matrix of areas, indexed by label (0 = medium).

    Its shape is the number of cell records (removed ids included), so row sums are the surfaces.
    Needs SciPy (``pip install morva[sparse]``).

    Examples
    --------
    >>> import morva
    >>> m = morva.Model((10, 10), default_contact=0).add_type("x", volume=4, lambda_volume=1).add_block("x", (0, 0), (2, 2))
    >>> contact_matrix(m.build().world).toarray().tolist()
    [[0, 20], [20, 0]]
    """
    try:
        from scipy import sparse
    except ImportError:
        raise ImportError("contact_matrix needs SciPy: pip install morva[sparse] (or scipy)") from None
    a, b, area = _native.contacts(world)
    n = world.n_cells() + 1
    rows, cols = np.concatenate([a, b]), np.concatenate([b, a])
    return sparse.csr_array((np.concatenate([area, area]), (rows, cols)), shape=(n, n))


def neighbour_sums(world, values, *, contacts=None):
    """For each label, the contact-weighted sum of its neighbours' values: sum over b of area(a, b) * values[b].

    Parameters
    ----------
    world : morva_core.World
    values : ndarray
        One value per label (index 0, the medium, included; use 0 there to leave the medium out).
    contacts : tuple of arrays, optional
        ``morva._native.contacts(world)``, when already at hand.

    Returns
    -------
    ndarray of float64, one entry per label.

    Examples
    --------
    >>> import morva
    >>> m = morva.Model((10, 10), default_contact=0).add_type("x", volume=4, lambda_volume=1)
    >>> m = m.add_block("x", (0, 0), (2, 2)).add_block("x", (2, 0), (4, 2))
    >>> neighbour_sums(m.build().world, np.array([0.0, 1.0, 10.0])).tolist()
    [176.0, 40.0, 4.0]
    """
    a, b, area = _native.contacts(world) if contacts is None else contacts
    values = np.asarray(values, dtype=np.float64)
    area = area.astype(np.float64)
    return (np.bincount(a, weights=area * values[b], minlength=values.size)
            + np.bincount(b, weights=area * values[a], minlength=values.size))
