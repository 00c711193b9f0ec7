"""One thread at a time in a Simulation's run: a second thread gets an error at once.

Between engine calls a run goes through Python code (hooks, the recorder) that keeps state across
steps; two threads interleaving there would miscount frames or wait for each other's writer for
good. The engine refuses a world borrowed by another thread in the same way.
"""

import functools
import threading


def one_thread_at_a_time(method):
    """Make `method` refuse to start while another thread is inside it on the same object.

    A call from the thread already inside (a hook that runs the simulation) is refused too: it
    would change the steps the outer run is counting.

    Examples
    --------
    >>> class Counter:
    ...     @one_thread_at_a_time
    ...     def run(self, again=False):
    ...         return self.run() if again else "ran"
    >>> Counter().run()
    'ran'
    >>> Counter().run(again=True)
    Traceback (most recent call last):
    ...
    RuntimeError: Counter.run is already running (in this or another thread); a Counter runs one at a time
    """
    @functools.wraps(method)
    def guarded(self, *args, **kwargs):
        lock = self.__dict__.setdefault(f"_{method.__name__}_lock", threading.Lock())  # atomic under the GIL
        if not lock.acquire(blocking=False):
            kind = type(self).__name__
            raise RuntimeError(f"{kind}.{method.__name__} is already running (in this or another thread); "
                               f"a {kind} runs one at a time")
        try:
            return method(self, *args, **kwargs)
        finally:
            lock.release()

    return guarded
