"""A progress bar in MCS with the speed in MCS/s (terminal or notebook), and the step chunks it needs."""

import time

from tqdm.auto import tqdm

# The engine runs a chunk of steps without returning; chunks this long keep the bar lively.
CHUNK_SECONDS = 0.25


class ProgressBar:
    """Counts Monte Carlo steps; sizes engine chunks so the bar refreshes a few times a second.

    Parameters
    ----------
    total : int
        Steps of the run.
    enabled : bool
        False runs without a bar and without chunking.

    Examples
    --------
    >>> with ProgressBar(10, enabled=False) as bar:
    ...     bar.advance(10)
    >>> bar.done
    10
    """

    def __init__(self, total, enabled=True):
        self.total, self.enabled, self.done = total, bool(enabled), 0
        self._bar = None
        self._started = None

    def __enter__(self):
        if self.enabled:
            self._bar = tqdm(total=self.total, unit="MCS", dynamic_ncols=True, smoothing=0.1)
        self._started = time.perf_counter()
        return self

    def __exit__(self, *exc):
        if self._bar is not None:
            self._bar.close()
        return False

    def chunk(self):
        """Steps for the next engine call: about CHUNK_SECONDS at the speed seen so far.

        Examples
        --------
        >>> ProgressBar(5, enabled=False).chunk() > 10**9
        True
        """
        if not self.enabled:
            return 2**62
        elapsed = time.perf_counter() - self._started
        if self.done == 0 or elapsed <= 0:
            return 1
        return max(1, int(self.done / elapsed * CHUNK_SECONDS))

    def advance(self, n):
        """Count `n` finished steps.

        Examples
        --------
        >>> bar = ProgressBar(5, enabled=False); bar.advance(2); bar.done
        2
        """
        self.done += n
        if self._bar is not None and n:
            self._bar.update(n)
