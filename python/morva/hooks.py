"""User hooks: functions called as ``hook(sim)`` every N Monte Carlo steps, driven as writers.

Hooks meet absolute steps (every N means at MCS N, 2N, ...), so a continued run calls them at the
same steps as one that never stopped.
"""

from .validate import integer
from .writers import Writer


class Hook(Writer):
    """Calls ``function(sim)`` at every multiple of `every` MCS.

    Examples
    --------
    >>> Hook(print, 5).next_due(12)
    15
    """

    def __init__(self, function, every=1):
        if not callable(function):
            raise ValueError(f"a hook must be callable, got {function!r}")
        self.function = function
        self.every = integer("hook period", every, minimum=1)

    def __repr__(self):
        return f"Hook({_name(self.function)}, every={self.every})"

    def next_due(self, mcs):
        return (mcs // self.every + 1) * self.every

    def write(self, sim):
        self.function(sim)


def hooks_of(hooks, every):
    """The Hook writers for the `hooks` and `every` arguments of a run.

    Examples
    --------
    >>> hooks_of([print, len], 3)
    [Hook(print, every=3), Hook(len, every=3)]
    """
    if hooks is None:
        if every is not None:
            raise ValueError("every is the period of hooks; pass hooks as well")
        return []
    hooks = [hooks] if callable(hooks) else list(hooks)
    period = integer("every", 1 if every is None else every, minimum=1)
    return [Hook(hook, period) for hook in hooks]


def refuse_repeats(registered, new):
    """Refuse a hook given again with the same period: it would be called twice at each of its steps.

    Examples
    --------
    >>> refuse_repeats([Hook(print, 5)], [Hook(print, 5)])
    Traceback (most recent call last):
    ...
    ValueError: hook print is already registered every 5 MCS, so it would run twice per period; ...
    """
    seen = [(h.function, h.every) for h in registered if isinstance(h, Hook)]
    for hook in new:
        if (hook.function, hook.every) in seen:
            raise ValueError(f"hook {_name(hook.function)} is already registered every {hook.every} MCS, so it would "
                             "run twice per period; hooks given to add_hook() or morva.resume() stay registered "
                             "for later runs: pass it once")
        seen.append((hook.function, hook.every))


def _name(function):
    return getattr(function, "__qualname__", None) or repr(function)
