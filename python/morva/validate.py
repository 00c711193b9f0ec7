"""Checks shared by the model description: each raises a ValueError that names the offending item."""

import math
import numbers


def real(what, value, *, minimum=None, above=None, maximum=None):
    """A finite real number, optionally bounded.

    Parameters
    ----------
    what : str
        Name of the item, used in the error message.
    value : object
        The value to check.
    minimum : float, optional
        Smallest accepted value (inclusive).
    above : float, optional
        Values must be strictly greater than this.
    maximum : float, optional
        Largest accepted value (inclusive).

    Returns
    -------
    float

    Examples
    --------
    >>> real("temperature", 10)
    10.0
    """
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise ValueError(f"{what} must be a real number, got {value!r}")
    value = float(value)
    if not math.isfinite(value):
        raise ValueError(f"{what} must be finite, got {value!r}")
    if minimum is not None and value < minimum:
        raise ValueError(f"{what} must be at least {minimum:g}, got {value:g}")
    if above is not None and value <= above:
        raise ValueError(f"{what} must be greater than {above:g}, got {value:g}")
    if maximum is not None and value > maximum:
        raise ValueError(f"{what} must be at most {maximum:g}, got {value:g}")
    return value


def integer(what, value, *, minimum=None, maximum=None):
    """An integer (bools refused), optionally within bounds.

    Examples
    --------
    >>> integer("seed", 3, minimum=0)
    3
    """
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise ValueError(f"{what} must be an integer, got {value!r}")
    value = int(value)
    if minimum is not None and value < minimum:
        raise ValueError(f"{what} must be at least {minimum}, got {value}")
    if maximum is not None and value > maximum:
        raise ValueError(f"{what} must be at most {maximum}, got {value}")
    return value


def flag(what, value):
    """A boolean.

    Examples
    --------
    >>> flag("connectivity", True)
    True
    """
    if not isinstance(value, bool):
        raise ValueError(f"{what} must be true or false, got {value!r}")
    return value


def name(what, value):
    """A non-empty name without the ':' that separates parameter-name parts.

    Examples
    --------
    >>> name("cell type name", "dark")
    'dark'
    """
    if not isinstance(value, str) or not value or ":" in value or value != value.strip():
        raise ValueError(f"{what} must be a non-empty text without ':' or surrounding spaces, got {value!r}")
    return value


def vector(what, value, length):
    """A sequence of `length` finite reals, returned as a tuple of floats.

    Examples
    --------
    >>> vector("force", [1, 0, 0], 3)
    (1.0, 0.0, 0.0)
    """
    if isinstance(value, (str, bytes)) or not hasattr(value, "__len__") or len(value) != length:
        raise ValueError(f"{what} must be a sequence of {length} numbers, got {value!r}")
    return tuple(real(f"{what}[{i}]", v) for i, v in enumerate(value))
