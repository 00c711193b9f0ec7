"""Writers and the run loop that drives them.

A writer is anything that acts on a running simulation at steps of its choosing: the recorder,
the progress bar, user hooks, a live viewer. Each says at which MCS it next wants to act; the loop
steps the engine to the earliest such MCS, lets the writers due there act, and asks them again.
The loop knows nothing else about them, so adding a writer changes no run code. A writer may ask
the run to stop (:meth:`morva.Simulation.request_stop`); the loop then ends it at that whole step,
as Ctrl-C there would.
"""


class StopRequested(KeyboardInterrupt):
    """Raised by a run that a writer or hook asked to stop (:meth:`morva.Simulation.request_stop`).

    A KeyboardInterrupt, so whatever handles Ctrl-C handles it. The run stopped at a whole step
    after every writer due there had acted, so the recorder wrote a checkpoint that continues
    exactly.

    Examples
    --------
    >>> import morva
    >>> sim = morva.Model((8, 8)).build()
    >>> try:
    ...     sim.run(10, progress=False, every=4, hooks=lambda s: s.request_stop())
    ... except StopRequested as stop:
    ...     print(stop)
    stopped at MCS 4 on request
    """


class Writer:
    """Base of the objects a run drives (see :meth:`morva.Simulation.add_writer`).

    A writer needs :meth:`next_due` and :meth:`write`; :meth:`begin`, :meth:`end` and the
    ``read_only`` flag are optional (this class gives the defaults), so any object with the two
    methods is a writer.

    Attributes
    ----------
    read_only : bool
        True for a writer that only reads the simulation. Writers that change it act first at a
        step, in the order they were attached; read-only ones then see the step's final state.
        A run stopped by Ctrl-C just before a writer that is not read-only was due cannot be
        continued exactly from that step, so the recorder keeps its previous checkpoint.

    Examples
    --------
    >>> import morva
    >>> class CellCount(Writer):
    ...     read_only = True
    ...     def __init__(self): self.counts = []
    ...     def next_due(self, mcs): return (mcs // 10 + 1) * 10
    ...     def write(self, sim): self.counts.append((sim.mcs, sim.n_cells))
    >>> sim = morva.Model((8, 8)).build(); counter = sim.add_writer(CellCount())
    >>> sim.run(25, progress=False); counter.counts
    [(10, 0), (20, 0)]
    """

    read_only = False

    def next_due(self, mcs):
        """The MCS after `mcs` at which to act next, or None for not in this run.

        Examples
        --------
        >>> Writer().next_due(3)
        Traceback (most recent call last):
        ...
        NotImplementedError
        """
        raise NotImplementedError

    def write(self, sim):
        """Act on the simulation, which is at the MCS this writer asked for."""
        raise NotImplementedError

    def begin(self, sim, end):
        """A run of `sim` from its current MCS to MCS `end` starts."""

    def end(self, sim, exact):
        """The run that :meth:`begin` started ends at ``sim.mcs``: finished, or stopped by an error or Ctrl-C.

        `exact` is True when the simulation is at whole steps with nothing left undone at them
        (the run finished, or Ctrl-C stopped the engine before any writer that changes the
        simulation was due), so a checkpoint taken now continues exactly.
        """


def check_writer(writer):
    """Refuse an object that lacks the two methods every writer needs.

    Examples
    --------
    >>> check_writer(print)
    Traceback (most recent call last):
    ...
    ValueError: a writer needs callable next_due and write methods, got <built-in function print>
    """
    if not all(callable(getattr(writer, method, None)) for method in ("next_due", "write")):
        raise ValueError(f"a writer needs callable next_due and write methods, got {writer!r}")
    return writer


def drive(sim, end, writers, step):
    """Run `sim` to MCS `end`, letting each writer act at the steps it asks for.

    Parameters
    ----------
    sim : morva.Simulation
    end : int
        The MCS to stop at.
    writers : list of Writer
    step : callable
        ``step(n)`` advances the engine by n whole steps and counts them in ``sim.mcs``; on
        Ctrl-C it counts the steps done and raises KeyboardInterrupt.

    Raises
    ------
    StopRequested
        When ``sim.stop_requested`` is set (by :meth:`morva.Simulation.request_stop`) once the
        writers have begun or after the writers due at a step have acted.

    Examples
    --------
    >>> import morva
    >>> sim = morva.Model((8, 8)).build(); seen = []
    >>> class Every3(Writer):
    ...     def next_due(self, mcs): return (mcs // 3 + 1) * 3
    ...     def write(self, sim): seen.append(sim.mcs)
    >>> def step(n): sim.world.step(n); sim.mcs += n
    >>> drive(sim, 10, [Every3()], step); seen
    [3, 6, 9]
    """
    writers = sorted(writers, key=lambda w: bool(getattr(w, "read_only", False)))  # stable: attachment order
    begun, due = [], []
    in_engine = settled = False
    sim.stop_requested = False
    try:
        for writer in writers:
            _call(writer, "begin", sim, end)
            begun.append(writer)
        due = [writer.next_due(sim.mcs) for writer in writers]
        while True:
            if sim.stop_requested:
                settled = True
                raise StopRequested(f"stopped at MCS {sim.mcs} on request")
            if sim.mcs >= end:
                break
            stop = min([end] + [d for d in due if d is not None])
            in_engine = True
            step(stop - sim.mcs)
            in_engine = False
            for i, writer in enumerate(writers):
                if due[i] == sim.mcs:
                    writer.write(sim)
                    due[i] = writer.next_due(sim.mcs)
    except KeyboardInterrupt:
        # A stop inside the engine leaves the world after whole steps, and so does a requested
        # stop, made once every writer due at the step has acted. A stop inside Python code (a
        # writer) may leave a half-done edit, and a writer that changes the simulation and was
        # due at the stop would be skipped by a run continued from here.
        undone = any(d == sim.mcs and not getattr(w, "read_only", False) for w, d in zip(writers, due))
        _end_all(begun, sim, (in_engine or settled) and not undone)
        raise
    except Exception:
        _end_all(begun, sim, False)
        raise
    _end_all(writers, sim, True)


def _call(writer, method, *args):
    hook = getattr(writer, method, None)
    if hook is not None:
        hook(*args)


def _end_all(writers, sim, exact):
    """Tell every writer that the run ended; the first error among them is raised after all were told."""
    error = None
    for writer in writers:
        try:
            _call(writer, "end", sim, exact)
        except BaseException as err:
            error = error or err
    if error is not None:
        raise error
