"""The package's own per-run state: the generator for user code and the per-cell variables.

The engine keeps the tissue; this module keeps what users' rules need besides it, so that a
checkpoint holds it and a resumed run continues bit for bit (docs/cell-state.md).

The user generator is ``numpy.random.default_rng(numpy.random.SeedSequence([seed, USER_STREAM]))``:
a stream of its own, apart from the engine's, fixed by the run's seed alone.
"""

import base64

import numpy as np

# Tag of the user generator's stream within the run's seed (the ASCII bytes "user").
USER_STREAM = 0x75736572


def user_rng(seed):
    """The generator that ``sim.rng`` starts from for a run with `seed`.

    Examples
    --------
    >>> float(user_rng(1).random()) == float(user_rng(1).random())
    True
    >>> float(user_rng(1).random()) == float(user_rng(2).random())
    False
    """
    return np.random.default_rng(np.random.SeedSequence([int(seed), USER_STREAM]))


def rng_state(rng):
    """The state of a generator as plain JSON-able data (integers stay exact).

    Examples
    --------
    >>> g = user_rng(3); saved = rng_state(g); a = g.random(); restore_rng(saved).random() == a
    True
    """
    return rng.bit_generator.state


def restore_rng(state):
    """A generator in the state saved by :func:`rng_state`.

    Raises
    ------
    ValueError
        When the saved state is not that of a NumPy bit generator.
    """
    name = state.get("bit_generator") if isinstance(state, dict) else None
    bit_generator = getattr(np.random, str(name), None)
    if not (isinstance(bit_generator, type) and issubclass(bit_generator, np.random.BitGenerator)):
        raise ValueError(f"saved generator state names no NumPy bit generator: {name!r}")
    generator = bit_generator()
    generator.state = state
    return np.random.Generator(generator)


def encode_array(values):
    """Float64 values as base64 text of their little-endian bytes: exact, NaN payloads included.

    Examples
    --------
    >>> decode_array(encode_array(np.array([0.1, np.nan]))).tolist()[0]
    0.1
    """
    return base64.b64encode(np.ascontiguousarray(values, dtype="<f8").tobytes()).decode("ascii")


def decode_array(text):
    """The array written by :func:`encode_array`."""
    return np.frombuffer(base64.b64decode(text.encode("ascii")), dtype="<f8").astype(np.float64)


class CellState:
    """What a simulation keeps besides the engine world: ``sim.rng`` and the per-cell variables.

    Parameters
    ----------
    seed : int
        The run's seed; the user generator starts from it (see :func:`user_rng`).

    Examples
    --------
    >>> state = CellState(5); saved = state.saved(); a = state.rng.random()
    >>> state.restore(saved, "here"); state.rng.random() == a
    True
    """

    def __init__(self, seed):
        self.rng = user_rng(seed)

    def saved(self):
        """The state as JSON-able data, for a checkpoint header."""
        return {"rng": rng_state(self.rng)}

    def restore(self, saved, where):
        """Take the state saved by :meth:`saved`; `where` names the checkpoint in errors."""
        if not isinstance(saved, dict) or "rng" not in saved:
            raise ValueError(f"{where}: the saved cell state is not a table with 'rng'")
        try:
            self.rng = restore_rng(saved["rng"])
        except (ValueError, TypeError, KeyError) as err:
            raise ValueError(f"{where}: the saved generator cannot be restored: {err}") from None
