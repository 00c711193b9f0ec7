"""Writing files into recording folders that other users or stray links may have touched.

Every file is written under a fresh, unpredictable name in its own folder (created exclusively, so
an existing file or link at that name is never opened), then renamed over the final name; a link
planted at the final name is replaced, never followed. Readers, and a process that was killed, see
the old file or the new one, whole.
"""

import contextlib
import os
import pathlib
import tempfile


@contextlib.contextmanager
def temporary_beside(path):
    """A new binary file beside `path`, yielded as (file, temporary path); renamed to `path` on success.

    The temporary file is removed when the block raises.

    Examples
    --------
    >>> d = pathlib.Path(tempfile.mkdtemp())
    >>> with temporary_beside(d / "f") as (out, tmp):
    ...     _ = out.write(b"x")
    >>> (d / "f").read_bytes(), [p.name for p in d.iterdir()]
    (b'x', ['f'])
    """
    path = pathlib.Path(path)
    # mkstemp opens with O_CREAT | O_EXCL (and O_NOFOLLOW where there is one).
    fd, tmp = tempfile.mkstemp(prefix=f".{path.name}.", suffix=".tmp", dir=path.parent)
    tmp = pathlib.Path(tmp)
    try:
        with os.fdopen(fd, "wb") as out:
            yield out, tmp
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            tmp.unlink()
        raise


def write_atomic(path, data, *, sync=True):
    """Write bytes to `path` through a fresh temporary file and a rename, synced to disk unless `sync` is False.

    Syncing makes the old-or-new guarantee hold across a power cut too, at the cost of waiting for
    the disk.

    Examples
    --------
    >>> p = pathlib.Path(tempfile.mkdtemp()) / "f"; write_atomic(p, b"x"); p.read_bytes()
    b'x'
    """
    path = pathlib.Path(path)
    with temporary_beside(path) as (out, _):
        out.write(data)
        out.flush()
        if sync:
            os.fsync(out.fileno())
    if sync:
        sync_folder(path.parent)


def sync_folder(folder):
    """Make the renames in `folder` durable.

    Examples
    --------
    >>> sync_folder(tempfile.mkdtemp())
    """
    fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)
