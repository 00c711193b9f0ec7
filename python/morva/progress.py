"""A progress bar in MCS with the speed in MCS/s (terminal or notebook), driven as a writer."""

import time

from tqdm.auto import tqdm

from .writers import Writer

# The engine runs to the next writer's step without returning; this bar asks to be updated about
# this often, which keeps it lively without cutting the run into many short engine calls.
CHUNK_SECONDS = 0.25


class ProgressBar(Writer):
    """Counts the Monte Carlo steps of a run; asks to act about every CHUNK_SECONDS at the speed seen.

    Examples
    --------
    >>> import morva
    >>> sim = morva.Model((8, 8)).build(); bar = sim.add_writer(ProgressBar())  # as run(progress=True) does
    >>> sim.run(5, progress=False); sim.mcs
    5
    """

    read_only = True

    def __init__(self):
        self._bar = None
        self._start = 0
        self._started = None

    def begin(self, sim, end):
        self._start = sim.mcs
        self._bar = tqdm(total=end - sim.mcs, unit="MCS", dynamic_ncols=True, smoothing=0.1)
        self._started = time.perf_counter()

    def next_due(self, mcs):
        """The step about CHUNK_SECONDS ahead at the speed seen so far (the next one at first).

        Examples
        --------
        >>> bar = ProgressBar(); bar._started = time.perf_counter() - 1.0; bar.next_due(400) > 400
        True
        """
        done = mcs - self._start
        elapsed = time.perf_counter() - self._started
        if done <= 0 or elapsed <= 0:
            return mcs + 1
        return mcs + max(1, int(done / elapsed * CHUNK_SECONDS))

    def write(self, sim):
        self._bar.update(sim.mcs - self._start - self._bar.n)

    def end(self, sim, exact):
        if self._bar is not None:
            self.write(sim)
            self._bar.close()
            self._bar = None
