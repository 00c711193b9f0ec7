"""One writer per recording folder: an OS lock on a file in the folder, held while a recorder is open.

The lock is flock(2) on LOCK_NAME, so the operating system drops it when the holder exits or is
killed: a stale lock cannot outlive its process. The holder writes its pid and host name into the
file, so a second writer is told who holds the folder. Within one process a new recorder of a folder
takes the lock over from the old one, which is closed first (see FolderLock.acquire).
"""

import fcntl
import os
import socket
import threading

LOCK_NAME = ".morva.lock"

_held = {}  # (st_dev, st_ino) of a folder -> the FolderLock of this process that holds it
_held_guard = threading.Lock()


class FolderBusyError(OSError):
    """Another process writes into the folder."""


class FolderLock:
    """The writer's lock on a recording folder.

    Parameters
    ----------
    folder : pathlib.Path
        An existing folder.
    on_takeover : callable, optional
        Called (with no arguments) when another recorder of this process takes the folder over.

    Examples
    --------
    >>> import tempfile, pathlib
    >>> d = pathlib.Path(tempfile.mkdtemp()); lock = FolderLock.acquire(d); lock.holder() == holder_text()
    True
    >>> lock.release(); lock.held
    False
    """

    def __init__(self, folder, fd, key, on_takeover):
        self.folder = folder
        self._fd = fd
        self._key = key
        self.on_takeover = on_takeover

    @classmethod
    def acquire(cls, folder, on_takeover=None):
        """Lock `folder` for writing.

        Raises
        ------
        FolderBusyError
            When another process holds the folder, naming that process.
        """
        stat = os.stat(folder)
        key = (stat.st_dev, stat.st_ino)
        with _held_guard:
            previous = _held.pop(key, None)
        if previous is not None and previous.held:
            # The same process records into this folder again: the old recorder stops first.
            if previous.on_takeover is not None:
                previous.on_takeover()
            previous.release()
        path = os.path.join(folder, LOCK_NAME)
        fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC, 0o644)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            holder = _read_holder(fd)
            os.close(fd)
            raise FolderBusyError(f"{str(folder)!r} is being written by another process ({holder}); "
                                  "wait for it to finish or stop it first") from None
        except BaseException:
            os.close(fd)
            raise
        os.ftruncate(fd, 0)
        os.pwrite(fd, (holder_text() + "\n").encode("utf-8"), 0)
        lock = cls(folder, fd, key, on_takeover)
        with _held_guard:
            _held[key] = lock
        return lock

    @property
    def held(self):
        """True until :meth:`release`."""
        return self._fd is not None

    def holder(self):
        """The text the holder wrote into the lock file."""
        return _read_holder(self._fd)

    def release(self):
        """Drop the lock (closing the file drops it); safe to call twice."""
        fd, self._fd = self._fd, None
        if fd is None:
            return
        with _held_guard:
            if _held.get(self._key) is self:
                del _held[self._key]
        os.close(fd)

    def __del__(self):
        self.release()


def holder_text():
    """How this process names itself in a lock file.

    Examples
    --------
    >>> str(os.getpid()) in holder_text()
    True
    """
    return f"pid {os.getpid()} on host {socket.gethostname()}"


def _read_holder(fd):
    text = os.pread(fd, 256, 0).decode("utf-8", "replace").strip()
    return text or "process unknown"
