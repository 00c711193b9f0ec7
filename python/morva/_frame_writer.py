"""The writer thread of a recording: the only thread that touches the recording's files.

It takes whole chunks of frames from the engine thread (see FrameChunk), stacks them and stores
each with one Zarr write per array; copies, compression and Parquet encoding run without the
interpreter lock, so the engine thread, which needs the lock for a moment between steps, seldom
waits for it. Flushes and
checkpoints come through the same queue, so they always follow the frames recorded before them.
"""

import json
import queue
import threading

import numpy as np
import pandas as pd

from ._cell_parts import CellTableParts
from ._chunks import FrameChunk, cell_rows
from .checkpoint import write_atomic, write_checkpoint

SPARE_CHUNKS = 2  # the engine fills one while the writer stores the other


class FrameWriter(threading.Thread):
    """Stores frames, the cell table, the lineage, run.json and checkpoints of one recording.

    Parameters
    ----------
    directory : pathlib.Path
        The recording folder.
    arrays : dict
        The Zarr arrays of frames.zarr by name ("time", "labels", "field_<name>").
    info : dict
        The run.json content; "mcs", "frames" and "checkpoint_mcs" are kept up to date.
    chunk : int
        Frames per Zarr chunk.
    fields : list of str
        Recorded fields.
    frames, last_frame, parts : int
        What is on disk already (a reopened recording).
    lineage : list of (parent, daughter, mcs)
        Divisions known so far.
    lineage_on_disk : bool
        True when lineage.parquet holds exactly `lineage`.

    Examples
    --------
    >>> import morva, tempfile, pathlib
    >>> rec = morva.Model((8, 8)).build().record(pathlib.Path(tempfile.mkdtemp()) / "r")
    >>> isinstance(rec._writer, FrameWriter)
    True
    """

    def __init__(self, directory, arrays, info, chunk, fields, *, frames=0, last_frame=None, parts=0, lineage=(),
                 lineage_on_disk=False):
        super().__init__(name="morva-recorder", daemon=True)
        self.directory = directory
        self.arrays = arrays
        self.info = info
        self.inbox = queue.Queue()
        self.spare = queue.Queue()
        for _ in range(SPARE_CHUNKS):
            self.spare.put(FrameChunk(chunk, fields))
        self.chunk = chunk
        self._stacks = {}
        self.error = None
        self.stored = self.capacity = frames
        self.last_frame = last_frame
        self.table = CellTableParts(directory / "cells", info["type_names"], parts)
        self.lineage = []
        self.parents = np.zeros(0, dtype=np.int64)
        self._add_lineage(lineage)
        self._lineage_on_disk = len(self.lineage) if lineage_on_disk else None  # rows in lineage.parquet
        self._run_info_on_disk = None
        self.start()

    def run(self):
        while True:
            message = self.inbox.get()
            if message is None:
                return
            try:
                if isinstance(message[0], FrameChunk):
                    self._store(*message)
                else:
                    self._flush(*message)
            except BaseException as err:  # reported to the engine thread at its next call
                self.error = err
            finally:
                if not isinstance(message[0], FrameChunk) and message[1] is not None:
                    message[1].set()

    # --- engine thread ---------------------------------------------------------------------------

    def take_chunk(self, start):
        """An empty chunk buffer for frames from number `start` on; waits while both are being stored."""
        chunk = self.spare.get()
        chunk.reset(start)
        return chunk

    def store(self, chunk, lineage):
        """Queue a chunk with the divisions that happened since the last message."""
        self.inbox.put((chunk, lineage))

    def flush(self, lineage, done=None, checkpoint=None):
        """Queue a flush (and a checkpoint: a header and the engine state); `done` is set when it is on disk."""
        self.inbox.put((lineage, done, checkpoint))

    # --- writer thread ---------------------------------------------------------------------------

    def _store(self, chunk, lineage):
        try:
            self._add_lineage(lineage)
            start, end = chunk.start, chunk.start + chunk.count
            if end > self.capacity:
                self._resize(max(end, 2 * self.capacity, 256))
            for name, frames in chunk.frames.items():
                self.arrays[name][start:end] = self._stack(name, frames)
            # The time entries go last: a frame whose time is written is whole (readers rely on it).
            self.arrays["time"][start:end] = np.asarray(chunk.times, dtype=np.int64)
            self.stored = end
            self.last_frame = chunk.times[-1]
            self.table.add(cell_rows(chunk.times, chunk.cells, self.parents))
        finally:
            chunk.reset(0)
            self.spare.put(chunk)

    def _flush(self, lineage, done, checkpoint):
        self._add_lineage(lineage)
        if self.capacity != self.stored:
            self._resize(self.stored)
        self.table.write()
        if self._lineage_on_disk != len(self.lineage):
            write_lineage(self.directory, self.lineage)
            self._lineage_on_disk = len(self.lineage)
        if checkpoint is not None:
            header, state = checkpoint
            header["parts"] = self.table.parts
            write_checkpoint(self.directory / "checkpoint.morva", header, state)
            self.info["checkpoint_mcs"] = header["mcs"]
        self.info["mcs"] = self.last_frame
        self.info["frames"] = self.stored
        self._write_run_info()

    def _write_run_info(self):
        """Write run.json atomically, unless it holds this content already.

        It is not synced to disk: resuming relies on the checkpoint (which is), and waiting for
        the disk at every flush would hold up the end of every run.
        """
        text = json.dumps(self.info, indent=2) + "\n"
        if text != self._run_info_on_disk:
            write_atomic(self.directory / "run.json", text.encode("utf-8"), sync=False)
            self._run_info_on_disk = text

    def _stack(self, name, frames):
        """The frames as one array, in a buffer kept for the next chunk."""
        if name not in self._stacks:
            array = self.arrays[name]
            self._stacks[name] = np.empty((self.chunk,) + array.shape[1:], dtype=array.dtype)
        return np.stack(frames, out=self._stacks[name][:len(frames)])

    def _resize(self, frames):
        self.capacity = frames
        for array in self.arrays.values():
            array.resize((frames,) + array.shape[1:])

    def _add_lineage(self, rows):
        self.lineage.extend(rows)
        if rows:
            top = max(daughter for _, daughter, _ in rows) + 1
            if top > self.parents.size:
                self.parents = np.concatenate([self.parents, np.zeros(top - self.parents.size, dtype=np.int64)])
            for parent, daughter, _ in rows:
                self.parents[daughter] = parent


def write_lineage(directory, rows):
    """Replace lineage.parquet atomically by `rows` of (parent, daughter, mcs).

    Examples
    --------
    >>> import tempfile, pathlib
    >>> d = pathlib.Path(tempfile.mkdtemp()); write_lineage(d, [(1, 2, 5)])
    >>> pd.read_parquet(d / "lineage.parquet").values.tolist()
    [[1, 2, 5]]
    """
    table = pd.DataFrame(rows, columns=["parent", "daughter", "mcs"], dtype=np.int64)
    tmp = directory / ".lineage.parquet.tmp"
    table.to_parquet(tmp, index=False)
    tmp.replace(directory / "lineage.parquet")
