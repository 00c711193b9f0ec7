"""Claiming a recording folder for a new run or a resumed one.

The folder is locked (see _folder_lock) before anything in it is read or deleted, so two writers
never interleave. A folder counts as a recording as soon as its first file (model.toml) is written:
a run killed that early can always be replaced with overwrite, and resuming it says plainly that
there is nothing to resume.
"""

import pathlib
import shutil

from ._folder_lock import LOCK_NAME, FolderLock

STARTED_BY = ("run.json", "model.toml")  # files a recorder writes first, in this order of importance


def claim_new(directory, overwrite, on_takeover=None):
    """Lock `directory` for a new recording: create it, or empty it when `overwrite` and it is a recording.

    Returns
    -------
    FolderLock

    Examples
    --------
    >>> import tempfile
    >>> d = pathlib.Path(tempfile.mkdtemp()) / "r"; (d / "x").mkdir(parents=True); (d / "model.toml").touch()
    >>> lock = claim_new(d, overwrite=True); [p.name for p in d.iterdir()]
    ['.morva.lock']
    >>> lock.release()
    """
    directory = pathlib.Path(directory)
    if directory.exists() and not directory.is_dir():
        raise FileExistsError(f"{str(directory)!r} exists and is not a folder")
    directory.mkdir(parents=True, exist_ok=True)
    lock = FolderLock.acquire(directory, on_takeover)
    try:
        entries = [p for p in directory.iterdir() if p.name != LOCK_NAME]
        if entries:
            if not overwrite:
                raise FileExistsError(f"{str(directory)!r} already exists; pass overwrite=True (--overwrite) "
                                      "to replace it, or resume it")
            if not is_recording(directory):
                raise ValueError(f"{str(directory)!r} is not a morva recording; refusing to delete it "
                                 "(it holds neither run.json nor model.toml)")
            for entry in entries:
                if entry.is_dir() and not entry.is_symlink():
                    shutil.rmtree(entry)
                else:
                    entry.unlink()
    except BaseException:
        lock.release()
        raise
    return lock


def claim_for_resume(directory):
    """Lock the recording in `directory` for resuming it.

    Raises
    ------
    ValueError
        When the folder is no recording, or one stopped before its first checkpoint.

    Examples
    --------
    >>> import tempfile
    >>> d = pathlib.Path(tempfile.mkdtemp()); (d / "model.toml").touch(); claim_for_resume(d)
    Traceback (most recent call last):
    ...
    ValueError: nothing to resume in ...: the run stopped before its first checkpoint; start it again with overwrite (--overwrite)
    """
    directory = pathlib.Path(directory)
    if not is_recording(directory):
        raise ValueError(f"{str(directory)!r} is not a morva recording (no run.json)")
    lock = FolderLock.acquire(directory)
    if not (directory / "run.json").exists() or not (directory / "checkpoint.morva").exists():
        lock.release()
        raise ValueError(f"nothing to resume in {str(directory)!r}: the run stopped before its first checkpoint; "
                         "start it again with overwrite (--overwrite)")
    return lock


def is_recording(directory):
    """True when `directory` holds a recording, even one stopped just after it began.

    Examples
    --------
    >>> is_recording("/nonexistent")
    False
    """
    return any((pathlib.Path(directory) / name).is_file() for name in STARTED_BY)
