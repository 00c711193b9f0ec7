"""Colours shared by every picture: one per cell type, a plain medium, dark borders.

Colours follow type names where names are known: a colour map ``{type name: colour}`` gives a
type the same colour in every model that has a type of that name, whatever its id there.
"""

import collections.abc

import numpy as np

#: The medium (type 0) is drawn plain, a light grey that stays visible on a white page.
MEDIUM_COLOUR = np.array([0.94, 0.94, 0.94])
#: Borders between cells and around cells facing the medium.
BORDER_COLOUR = np.array([0.12, 0.12, 0.12])
#: Cells whose per-cell value is NaN (undefined) in value pictures.
MISSING_COLOUR = np.array([0.75, 0.75, 0.75])
MEDIUM = "medium"

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


def type_colours(types, colours=None):
    """RGB colours (floats in [0, 1]) per cell type id.

    The medium (type 0, named "medium") is always :data:`MEDIUM_COLOUR`, the background of every
    picture, unless a colour map names "medium" itself. Cell types take a colour-blind-safe
    qualitative palette in type order (the order of the names in the model), cycled when there are
    more types than colours.

    With a colour map keyed by type name, each named type takes its colour wherever its id is, so
    the same name has the same colour in two models that order their types differently. Names the
    map has but the model lacks are ignored (one map can serve several models); types the map does
    not name take the palette's colours in type order, skipping colours the map already uses.

    Parameters
    ----------
    types : int or sequence of str
        The number of types including the medium, or the type names by id (index 0 = medium), as
        in ``model.type_names`` or ``recording.type_names``.
    colours : mapping or array_like, optional
        ``{type name: colour}`` (any matplotlib colour: a name such as ``"tab:red"``, ``"#d62728"``
        or an RGB triple; needs `types` as names), or an RGB row per type id used as given.

    Returns
    -------
    numpy.ndarray
        Array of shape (number of types, 3), row = type id.

    Raises
    ------
    ValueError
        For a colour map without type names, a colour matplotlib does not know, or too few rows.

    Examples
    --------
    >>> from morva.viz import type_colours
    >>> type_colours(3).shape
    (3, 3)
    >>> type_colours(3)[0].tolist()
    [0.94, 0.94, 0.94]
    >>> one = type_colours(["medium", "dark", "light"], {"dark": "red"})
    >>> other = type_colours(["medium", "light", "dark"], {"dark": "red"})
    >>> one[1].tolist(), other[2].tolist()
    ([1.0, 0.0, 0.0], [1.0, 0.0, 0.0])
    """
    names = _type_names(types)
    n_types = len(names)
    if colours is not None and not isinstance(colours, collections.abc.Mapping):
        rows = np.asarray(colours, dtype=float)
        if rows.ndim != 2 or rows.shape[1] < 3 or len(rows) < n_types:
            raise ValueError(f"colours must have an RGB row for each of the {n_types} type ids, got shape {rows.shape}")
        return rows[:n_types, :3].copy()
    if colours is not None and isinstance(types, (int, np.integer)):
        raise ValueError("a colour map keyed by type name needs the type names, not just their number")
    named = {} if colours is None else _named_colours(colours, names)
    palette = [c for c in _TYPE_COLOURS if not any(np.allclose(c, v) for v in named.values())] or list(_TYPE_COLOURS)
    result = np.empty((n_types, 3))
    next_free = 0
    for type_id, type_name in enumerate(names):
        if type_name in named:
            result[type_id] = named[type_name]
        elif type_id == 0 or type_name == MEDIUM:
            result[type_id] = MEDIUM_COLOUR
        else:
            result[type_id] = palette[next_free % len(palette)]
            next_free += 1
    return result


def _type_names(types):
    """Type names by id; a bare count gets placeholder names, the medium first."""
    if isinstance(types, (int, np.integer)):
        if types < 1:
            raise ValueError(f"n_types must be at least 1 (the medium), got {types}")
        return [MEDIUM] + [None] * (int(types) - 1)
    if isinstance(types, str) or not isinstance(types, collections.abc.Sequence) or not len(types):
        raise ValueError(f"types must be a number of types or a non-empty list of type names, got {types!r}")
    return list(types)


def _named_colours(colours, names):
    """RGB of each mapped type the model has; an unknown colour is refused even for absent types."""
    from matplotlib.colors import to_rgb

    named = {}
    for type_name, colour in colours.items():
        try:
            rgb = np.array(to_rgb(colour))
        except ValueError:
            raise ValueError(f"colour of type {type_name!r} is not a colour: {colour!r}") from None
        if type_name in names:
            named[type_name] = rgb
    return named


def resolve_colours(cell_type, type_names=None, colours=None):
    """RGB per type id for a picture: covers every type in `cell_type` and every named type.

    Parameters
    ----------
    cell_type : array_like
        Type per cell id (index 0 = medium).
    type_names : sequence of str, optional
        Name per type id; needed when `colours` is keyed by name.
    colours : mapping or array_like, optional
        As in :func:`type_colours`.

    Returns
    -------
    numpy.ndarray
        Array (number of types, 3).

    Examples
    --------
    >>> from morva.viz.palette import resolve_colours
    >>> resolve_colours([0, 1, 2], ["medium", "a", "b"], {"b": "blue"})[2].tolist()
    [0.0, 0.0, 1.0]
    """
    top = int(np.max(cell_type, initial=0))
    if type_names is not None:
        if top >= len(type_names):
            raise ValueError(f"cell types go up to {top} but type_names has only {len(type_names)} names")
        return type_colours(list(type_names), colours)
    if isinstance(colours, collections.abc.Mapping):
        raise ValueError("colours keyed by type name need type_names (the name of each type id)")
    if colours is not None:
        rows = np.asarray(colours, dtype=float)
        if len(rows) <= top:
            raise ValueError(f"colours has {len(rows)} entries but cell types go up to {top}")
        return type_colours(len(rows), rows)
    return type_colours(top + 1)


def with_model_colours(model_colours, colours):
    """The colours a picture uses: those given, over the colours its model declares by type name.

    Examples
    --------
    >>> with_model_colours({"dark": "navy", "light": "khaki"}, {"light": "white"})
    {'dark': 'navy', 'light': 'white'}
    >>> with_model_colours(None, None) is None
    True
    """
    if not model_colours:
        return colours
    if colours is None:
        return dict(model_colours)
    if isinstance(colours, collections.abc.Mapping):
        return {**model_colours, **colours}
    return colours  # an RGB row per type id is used as given
