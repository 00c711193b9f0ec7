"""The writer thread of a recording: the only thread that touches the recording's files.

It takes whole chunks of frames from the engine thread (see FrameChunk), stacks them and stores
each with one Zarr write per array; copies, compression and Parquet encoding run without the
interpreter lock, so the engine thread, which needs the lock for a moment between steps, seldom
waits for it. Flushes and checkpoints come through the same queue, so they always follow the
frames recorded before them.
"""

import json
import queue
import threading

import numpy as np
import pandas as pd

from ._cell_parts import CellTableParts
from ._chunks import FrameChunk
from ._manifest import Pieces, settings
from ._safe_files import temporary_beside, write_atomic
from .cell_table import RECORDED_COLUMNS, cell_rows, fate_table, lineage_table, recorded_columns
from .checkpoint import write_checkpoint

SPARE_CHUNKS = 2  # the engine fills one while the writer stores the other
TIMES_PER_WRITE = 1024  # the time entries of so many frames are written at once (or at a flush)
# The arrays grow ahead of the frames, doubling but by at most so many chunks: a flush, which cuts
# them back to the frames stored, then has few chunk files to look for beyond the end.
MAX_GROWTH_CHUNKS = 16


class FrameWriter(threading.Thread):
    """Stores frames, the cell table, the lineage, run.json and checkpoints of one recording.

    Parameters
    ----------
    directory : pathlib.Path
        The recording folder.
    arrays : dict
        The Zarr arrays of frames.zarr by name ("time", "labels", "activity", "field_<name>").
    info : dict
        The run.json content; "mcs", "frames" and "checkpoint_mcs" are kept up to date.
    chunk : int
        Frames per Zarr chunk.
    images : list of str
        The arrays recorded beside the labels (see :func:`morva.recording.image_names`).
    frames, last_frame, parts : int
        What is on disk already (a reopened recording).
    lineage : list of (parent, daughter, mcs, rule)
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

    def __init__(self, directory, arrays, info, chunk, images, *, frames=0, last_frame=None, parts=0, lineage=(),
                 lineage_on_disk=False):
        super().__init__(name="morva-recorder", daemon=True)
        self.directory = directory
        self.arrays = arrays
        self.info = info
        self.inbox = queue.Queue()
        self.spare = queue.Queue()
        for _ in range(SPARE_CHUNKS):
            self.spare.put(FrameChunk(chunk, images))
        self.chunk = chunk
        self._stacks = {}
        self.error = None
        self.stored = self.capacity = frames
        self.expected = 0  # frames the recording will hold when the current run ends (set by the engine)
        self._times = []  # MCS of the stored frames whose time entries are not written yet
        self.last_frame = last_frame
        self.table = CellTableParts(directory / "cells", info["type_names"], parts,
                                    extra=recorded_columns(info)[len(RECORDED_COLUMNS):])
        self.lineage = []
        self.parents = np.zeros(0, dtype=np.int64)
        self._add_lineage(lineage)
        self._lineage_on_disk = len(self.lineage) if lineage_on_disk else None  # rows in lineage.parquet
        self._fates_on_disk = None  # rows in fates.parquet (a resumed run rewrites it, emptied if need be)
        self._run_info_on_disk = None
        self.pieces = Pieces(directory, info.get("pieces"))
        self.pieces.keep(frames, parts)
        self.info["closed"] = False
        self.start()

    def run(self):
        while True:
            message = self.inbox.get()
            if message is None:
                self._close()
                return
            chunk = message[0] if isinstance(message[0], FrameChunk) else None
            try:
                if chunk is not None:
                    self._store(*message)
                else:
                    self._flush(*message)
            except BaseException as err:  # reported to the engine thread at its next call
                self.error = err
            finally:
                if chunk is None:
                    if message[1] is not None:
                        message[1].set()
                elif message[2]:  # a whole chunk: the engine may fill it again
                    chunk.reset(0)
                    self.spare.put(chunk)

    # --- engine thread ---------------------------------------------------------------------------

    def take_chunk(self, start):
        """An empty chunk for frames from number `start` on; waits while both are with the writer.

        Returns None when the writer failed or stopped instead.
        """
        while True:
            try:
                chunk = self.spare.get(timeout=0.1)
            except queue.Empty:
                if self.error is not None or not self.is_alive():
                    return None
                continue
            chunk.reset(start)
            return chunk

    def store(self, chunk, lineage, whole=True):
        """Queue the frames a chunk holds now, with the divisions that happened since the last message.

        A whole chunk goes back to the spares once stored; otherwise the engine goes on filling it.
        """
        chunk.sent = chunk.count
        self.inbox.put((chunk, chunk.count, whole, lineage))

    def flush(self, lineage, done=None, checkpoint=None, fates=()):
        """Queue a flush (and a checkpoint: a header and the engine state); `done` is set when it is on disk.

        `fates` are all the rule fates so far (a small table, rewritten whole when it grew).
        """
        self.inbox.put((lineage, done, checkpoint, list(fates)))

    # --- writer thread ---------------------------------------------------------------------------

    def _store(self, chunk, count, whole, lineage):
        self._add_lineage(lineage)
        start, end = chunk.start, chunk.start + count
        if end > self.capacity:
            self._resize(self._grown(end))
        for name, frames in chunk.frames.items():
            self.arrays[name][start:end] = self._stack(name, frames[:count])
            self.pieces.wrote(name, self.arrays[name], start, end)
        self.stored = end
        new = slice(chunk.stored, count)
        times = chunk.times[new]
        chunk.stored = count
        if times:
            self.last_frame = times[-1]
            self._times.extend(times)
            if len(self._times) >= TIMES_PER_WRITE:
                self._write_times()
            self.table.add(cell_rows(times, chunk.cells[new], self.parents, vectors=self.info.get("cell_vectors")))

    def _flush(self, lineage, done, checkpoint, fates):
        self._add_lineage(lineage)
        self._write_times()
        if self.capacity != self.stored:
            self._resize(self.stored)
        self.table.write()
        if self._lineage_on_disk != len(self.lineage):
            write_lineage(self.directory, self.lineage)
            self.pieces.wrote_file("lineage.parquet")
            self._lineage_on_disk = len(self.lineage)
        if len(fates) != self._fates_on_disk and (fates or (self.directory / "fates.parquet").exists()):
            write_fates(self.directory, fates)
            self.pieces.wrote_file("fates.parquet")
            self._fates_on_disk = len(fates)
        if checkpoint is not None:
            header, state = checkpoint
            header["parts"] = self.table.parts
            header["settings"] = settings(self.info)
            write_checkpoint(self.directory / "checkpoint.morva", header, state)
            self.info["checkpoint_mcs"] = header["mcs"]
        self.info["mcs"] = self.last_frame
        self.info["frames"] = self.stored
        self.info["pieces"] = self.pieces.refresh(self.stored)
        self._write_run_info()

    def _close(self):
        """Mark run.json closed: from now on every piece it lists must match exactly."""
        try:
            self.info["closed"] = True
            self._write_run_info()
        except BaseException as err:
            self.error = err

    def _write_run_info(self):
        """Write run.json atomically, unless it holds this content already.

        It is not synced to disk: resuming relies on the checkpoint (which is), and waiting for
        the disk at every flush would hold up the end of every run.
        """
        text = json.dumps(self.info, indent=2) + "\n"
        if text != self._run_info_on_disk:
            write_atomic(self.directory / "run.json", text.encode("utf-8"), sync=False)
            self._run_info_on_disk = text

    def _write_times(self):
        """Write the time entries of the frames stored since the last time.

        They follow their frames, so a frame whose time is set is whole (readers rely on it);
        writing them in batches spares a read-modify-write of the time array per chunk.
        """
        if self._times:
            end = self.stored
            self.arrays["time"][end - len(self._times):end] = np.asarray(self._times, dtype=np.int64)
            self.pieces.wrote("time", self.arrays["time"], end - len(self._times), end)
            self._times = []

    def _stack(self, name, frames):
        """The frames as one array, in a buffer kept for the next chunk."""
        if name not in self._stacks:
            array = self.arrays[name]
            self._stacks[name] = np.empty((self.chunk,) + array.shape[1:], dtype=array.dtype)
        return np.stack(frames, out=self._stacks[name][:len(frames)])

    def _grown(self, end):
        """The array length to grow to for `end` frames: a run's last flush then has nothing to cut."""
        target = max(end, self.capacity + max(256, min(self.capacity, MAX_GROWTH_CHUNKS * self.chunk)))
        return self.expected if end <= self.expected < target else target

    def _resize(self, frames):
        self.capacity = frames
        for array in self.arrays.values():
            array.resize((frames,) + array.shape[1:])

    def _add_lineage(self, rows):
        self.lineage.extend(rows)
        if rows:
            top = max(row[1] for row in rows) + 1
            if top > self.parents.size:
                self.parents = np.concatenate([self.parents, np.zeros(top - self.parents.size, dtype=np.int64)])
            for row in rows:
                self.parents[row[1]] = row[0]


def write_lineage(directory, rows):
    """Replace lineage.parquet atomically by `rows` of (parent, daughter, mcs, rule).

    Examples
    --------
    >>> import tempfile, pathlib
    >>> d = pathlib.Path(tempfile.mkdtemp()); write_lineage(d, [(1, 2, 5, "grown")])
    >>> pd.read_parquet(d / "lineage.parquet").values.tolist()
    [[1, 2, 5, 'grown']]
    """
    with temporary_beside(directory / "lineage.parquet") as (out, _):
        lineage_table(rows).to_parquet(out, index=False)


def write_fates(directory, rows):
    """Replace fates.parquet atomically by `rows` of (mcs, cell, action, rule, type_name).

    Examples
    --------
    >>> import tempfile, pathlib
    >>> d = pathlib.Path(tempfile.mkdtemp()); write_fates(d, [(3, 1, "remove", "old", "")])
    >>> pd.read_parquet(d / "fates.parquet").values.tolist()
    [[3, 1, 'remove', 'old', '']]
    """
    with temporary_beside(directory / "fates.parquet") as (out, _):
        fate_table(rows).to_parquet(out, index=False)
