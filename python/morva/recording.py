"""Making recordings: frames in Zarr, a per-cell table in Parquet, lineage, checkpoints (docs/recording-format.md).

Reading them back and resuming them is morva.reader's.

The engine thread copies each frame out of the world and keeps the frames of one Zarr chunk (about
CHUNK_BYTES); a whole chunk goes to a writer thread, which stores it while the engine gathers the
next (the engine releases the interpreter lock). Memory stays at the world plus a few chunks and a
few thousand rows of the cell table, however long the run.
"""

import importlib.metadata
import json
import pathlib
import threading
import time

import zarr.codecs as zarr_codecs

from . import _native
from ._consolidate import consolidate_frames
from ._frame_writer import FrameWriter, write_lineage
from ._manifest import mark_resumed
from ._recording_folder import claim_new
from ._safe_files import write_atomic
from .cell_state import with_variables
from .cell_table import recorded_vectors
from .writers import Writer

FORMAT = 1
CHUNK_BYTES = 4 * 2**20
MAX_CHUNK_FRAMES = 64
# Without checkpoint_every, a checkpoint follows the first frame after this many seconds of running,
# so a killed run loses at most a few seconds. A checkpoint takes about 14 ms on a 200 x 200 world
# and 50 ms on a 100^3 one (bench/checkpoint_cost.py, waited for), 0.3% and 1% of 5 s: worlds of
# more than a few million sites should set checkpoint_every.
CHECKPOINT_SECONDS = 5.0
# Byte-shuffled LZ4 keeps pace with the engine and still shrinks label frames many times over.
FAST_COMPRESSION = zarr_codecs.BloscCodec(cname="lz4", clevel=5, shuffle="shuffle")


def _version():
    return importlib.metadata.version("morva")


def read_run_info(directory):
    """The run.json of a recording.

    Raises
    ------
    ValueError
        When the folder is not a recording or its format is unknown.

    Examples
    --------
    >>> read_run_info("/nonexistent")
    Traceback (most recent call last):
    ...
    ValueError: '/nonexistent' does not exist
    """
    path = pathlib.Path(directory) / "run.json"
    try:
        info = json.loads(path.read_text(encoding="utf-8"))
    except FileNotFoundError:
        if not pathlib.Path(directory).exists():
            raise ValueError(f"{str(directory)!r} does not exist") from None
        raise ValueError(f"{str(directory)!r} is not a morva recording (no run.json)") from None
    except ValueError as err:
        raise ValueError(f"{str(path)!r} is corrupt: {err}") from None
    if not isinstance(info, dict) or info.get("format") != FORMAT:
        found = info.get("format") if isinstance(info, dict) else info
        raise ValueError(f"{str(path)!r}: unknown recording format {found!r}")
    return info


class Recorder(Writer):
    """Writes frames, the cell table, the lineage and checkpoints of a simulation into a folder.

    Create it with :meth:`morva.Simulation.record`; :func:`morva.resume` reopens it. Runs drive
    it as a writer (see :class:`morva.Writer`): a frame at every multiple of `every`, checkpoints
    among them, and a last checkpoint when a run ends. The methods run on the engine thread; the
    files are written by a writer thread (see FrameWriter).

    Examples
    --------
    >>> import morva, tempfile, pathlib
    >>> sim = morva.Model((8, 8)).build(); rec = sim.record(pathlib.Path(tempfile.mkdtemp()) / "r", every=2)
    >>> sim.run(4, progress=False); rec.frames
    3
    """

    def __init__(self, directory, sim, info, arrays, *, frames=0, last_frame=None, parts=0, lineage_on_disk=False):
        self.directory = pathlib.Path(directory)
        self.info = info
        self.every = info["every"]
        self.checkpoint_every = info["checkpoint_every"]
        self.fields = list(info["fields"])
        self.activity = bool(info.get("activity", False))
        self.type_names = list(sim.type_names)
        self._field_index = {name: sim.model.field_id(name) for name in self.fields}
        self.frames = frames
        self.last_frame = last_frame
        self._last_checkpoint = time.monotonic()
        self._checkpointed = False
        self._divisions = sim.divisions  # the simulation's divisions only grow
        self._lineage = sim.divisions()
        self._fates = sim.fate_rows  # grows like the divisions; the writer rewrites fates.parquet when it grew
        self._filling = None
        self._writer = FrameWriter(self.directory, arrays, info, chunk_frames(sim.model.dims), image_names(info),
                                   frames=frames, last_frame=last_frame, parts=parts, lineage=self._lineage,
                                   lineage_on_disk=lineage_on_disk)

    # --- creation and reopening --------------------------------------------------------------

    @classmethod
    def create(cls, sim, directory, every=1, *, checkpoint_every=None, overwrite=False, fields=None, activity=None,
               forces=None):
        """A new, empty recording of `sim` (see :meth:`morva.Simulation.record`).

        Examples
        --------
        >>> import morva, tempfile, pathlib
        >>> d = pathlib.Path(tempfile.mkdtemp()) / "r"
        >>> Recorder.create(morva.Model((8, 8)).build(), d).every
        1
        """
        from .validate import integer

        every = integer("every", every, minimum=1)
        if checkpoint_every is not None:
            checkpoint_every = integer("checkpoint_every", checkpoint_every, minimum=1)
            if checkpoint_every % every:
                raise ValueError(f"checkpoint_every ({checkpoint_every}) must be a multiple of every ({every})")
        fields = list(sim.model.fields) if fields is None else list(fields)
        for name in fields:
            sim.model.field_id(name)
        activity = recorded_activity(sim.model, activity)
        vectors = recorded_vectors(sim.model, sim.cell_forces(), forces)
        directory = pathlib.Path(directory)
        lock = claim_new(directory, overwrite)
        try:
            rec = cls._start(sim, directory, every, checkpoint_every, fields, activity, vectors)
        except BaseException:
            lock.release()
            raise
        rec.hold(lock)
        return rec

    @classmethod
    def _start(cls, sim, directory, every, checkpoint_every, fields, activity, vectors):
        import zarr

        (directory / "model.toml").write_text(sim.model.to_toml(embed_images=True), encoding="utf-8")
        (directory / "cells").mkdir()
        info = {"format": FORMAT, "seed": sim.seed, "every": every, "checkpoint_every": checkpoint_every,
                "fields": fields, "activity": activity, "type_names": list(sim.type_names),
                "shape": list(sim.model.dims),
                "cell_variables": list(sim.model.cell_variables),
                "cell_vectors": vectors,
                "morva_version": _version(), "mcs": None, "frames": 0, "checkpoint_mcs": None}
        group = zarr.open_group(directory / "frames.zarr", mode="w", zarr_format=3)
        group.attrs.update({"type_names": list(sim.type_names), "model": sim.model.to_toml(embed_images=True),
                            "format": FORMAT})
        shape = (0,) + frame_shape(sim.model.dims)
        chunks = (chunk_frames(sim.model.dims),) + frame_shape(sim.model.dims)
        dims = ["time", "z", "y", "x"]
        group.create_array("labels", shape=shape, chunks=chunks, dtype="uint32", fill_value=0, dimension_names=dims,
                           compressors=FAST_COMPRESSION)
        if activity:
            group.create_array("activity", shape=shape, chunks=chunks, dtype="uint16", fill_value=0,
                               dimension_names=dims, compressors=FAST_COMPRESSION)
        for name in fields:
            group.create_array(f"field_{name}", shape=shape, chunks=chunks, dtype="float32", fill_value=0.0,
                               dimension_names=dims, compressors=FAST_COMPRESSION)
        group.create_array("time", shape=(0,), chunks=(4096,), dtype="int64", fill_value=-1, dimension_names=["time"])
        write_atomic(directory / "run.json", (json.dumps(info, indent=2) + "\n").encode("utf-8"), sync=False)
        write_lineage(directory, sim.divisions())
        return cls(directory, sim, info, dict(group.arrays()), lineage_on_disk=True)

    @classmethod
    def reopen(cls, directory, sim, header):
        """Continue a recording from the state saved in a checkpoint header.

        Frames and cell-table parts written after that checkpoint are dropped.
        """
        import zarr

        info = read_run_info(directory)
        try:
            # The arrays' own metadata, not the consolidated copy written when the recording was closed.
            group = zarr.open_group(pathlib.Path(directory) / "frames.zarr", mode="r+", use_consolidated=False)
            arrays = dict(group.arrays())
        except Exception as err:
            raise ValueError(f"recording {str(directory)!r}: frames.zarr cannot be opened: {err}") from None
        expected = {"labels", "time", *image_names(info)}
        frames, parts = int(header["frames"]), int(header["parts"])
        if set(arrays) != expected or any(a.shape[0] < frames for a in arrays.values()):
            raise ValueError(f"recording {str(directory)!r}: frames.zarr does not hold the {header['frames']} frames "
                             f"of arrays {sorted(expected)} that the checkpoint expects")
        mark_resumed(directory, info, header)
        for array in arrays.values():
            if array.shape[0] != frames:
                array.resize((frames,) + array.shape[1:])
        for part in (pathlib.Path(directory) / "cells").glob("part-*.parquet"):
            if int(part.stem.split("-")[1]) >= parts:
                part.unlink()
        for unfinished in (pathlib.Path(directory) / "cells").glob(".part-*.tmp"):
            unfinished.unlink()  # a part that was being written when the run was killed
        rec = cls(directory, sim, info, arrays, frames=frames, last_frame=header["last_frame"], parts=parts)
        rec._checkpointed = True
        return rec

    # --- scheduling (engine thread) -----------------------------------------------------------

    read_only = True

    def begin(self, sim, end):
        """A run to MCS `end` starts: size the arrays for it and record the current frame if due."""
        self.expect(sim, end)
        self.record_due(sim)

    def write(self, sim):
        """The run reached a frame step (see :meth:`next_due`)."""
        self.record_due(sim)

    def end(self, sim, exact):
        """The run ended: a checkpoint where it can be continued exactly from here, else a flush."""
        if exact:
            self.checkpoint(sim)
        else:
            self.flush()

    def next_due(self, mcs):
        """The next MCS after `mcs` at which a frame is due.

        Examples
        --------
        >>> import morva, tempfile, pathlib
        >>> sim = morva.Model((8, 8)).build(); sim.record(pathlib.Path(tempfile.mkdtemp()) / "r", every=5).next_due(7)
        10
        """
        return (mcs // self.every + 1) * self.every

    def record_due(self, sim):
        """Record a frame if one is due at the current MCS, and a checkpoint if one is due.

        Checkpoints taken here are written while the run goes on.
        """
        if sim.mcs % self.every or (self.last_frame is not None and sim.mcs <= self.last_frame):
            return
        if not self._checkpointed:
            # A run killed early can then be resumed rather than restarted. Taken just before the
            # first frame, the checkpoint has no frames to flush; a resumed run records that frame.
            self.checkpoint(sim, wait=False)
            self.record(sim)
            return
        self.record(sim)
        if self.checkpoint_every is not None:
            if sim.mcs % self.checkpoint_every == 0:
                self.checkpoint(sim, wait=False)
        elif time.monotonic() - self._last_checkpoint >= CHECKPOINT_SECONDS:
            self.checkpoint(sim, wait=False)

    def expect(self, sim, end):
        """Note that `sim` will run until MCS `end`: the writer sizes the arrays for the frames due by then.

        Examples
        --------
        >>> import morva, tempfile, pathlib
        >>> sim = morva.Model((8, 8)).build(); rec = sim.record(pathlib.Path(tempfile.mkdtemp()) / "r", every=10)
        >>> rec.expect(sim, 40); rec._writer.expected
        5
        """
        first = sim.mcs if self.last_frame is None else max(sim.mcs, self.last_frame + 1)
        self._writer.expected = self.frames + max(0, end // self.every - (first - 1) // self.every)

    def record(self, sim):
        """Record one frame of the simulation's current state now."""
        self._check_writer()
        if self._filling is None:
            # Waits only while the writer still stores both chunks: memory stays at a few chunks.
            self._filling = self._writer.take_chunk(self.frames)
            if self._filling is None:
                self._check_writer()
        images = [_native.activity(sim.world)] if self.activity else []
        images += [_native.field(sim.world, self._field_index[name]) for name in self.fields]
        self._filling.add(sim.mcs, _native.labels(sim.world), images, with_variables(_native.cells(sim.world), sim))
        self.frames += 1
        self.last_frame = sim.mcs
        if self._filling.full:
            self._hand_over()

    def _hand_over(self):
        """Give the full chunk to the writer."""
        chunk, self._filling = self._filling, None
        self._writer.store(chunk, self._new_lineage())

    @property
    def parts(self):
        """Cell-table part files on disk.

        Examples
        --------
        >>> import morva, tempfile, pathlib
        >>> sim = morva.Model((8, 8)).build(); rec = sim.record(pathlib.Path(tempfile.mkdtemp()) / "r")
        >>> rec.parts
        0
        """
        return self._writer.table.parts

    def flush(self):
        """Wait until every frame is on disk, and write the cell table, lineage and run.json."""
        self._send_flush(None, wait=True)

    def checkpoint(self, sim, *, wait=True):
        """Write a checkpoint from which :func:`morva.resume` continues exactly.

        The frames recorded so far are flushed first. With ``wait=False`` the files are written
        while the run goes on; the world is copied now.
        """
        header = {"mcs": sim.mcs, "seed": sim.seed, "lineage": [list(r) for r in sim.divisions()],
                  "fates": [list(r) for r in sim.fate_rows()],
                  "frames": self.frames, "last_frame": self.last_frame, "morva_version": _version(),
                  "cell_state": sim.cell_state.saved()}
        if sim.reactions is not None:
            header["reactions"] = sim.reactions.saved()
        self._send_flush((header, _native.dumps(sim.world)), wait)
        self._last_checkpoint = time.monotonic()
        self._checkpointed = True

    def _send_flush(self, checkpoint, wait):
        self._check_writer()
        if self._filling is not None and self._filling.count > self._filling.sent:
            self._writer.store(self._filling, self._new_lineage(), whole=False)
        done = threading.Event() if wait else None
        self._writer.flush(self._new_lineage(), done, checkpoint, fates=self._fates())
        if wait:
            done.wait()
            self._check_writer()

    def close(self):
        """Flush and stop the writer thread, then consolidate the Zarr metadata of the frames.

        Examples
        --------
        >>> import morva, tempfile, pathlib
        >>> rec = morva.Model((8, 8)).build().record(pathlib.Path(tempfile.mkdtemp()) / "r"); rec.close()
        """
        try:
            if self._writer.is_alive():
                self.flush()
                self._writer.inbox.put(None)
                self._writer.join()
                consolidate_frames(self.directory / "frames.zarr")
        finally:
            if self._lock is not None:
                self._lock.release()

    _lock = None

    def hold(self, lock):
        """Keep the folder's lock until :meth:`close`; a later recorder of the folder in this process closes this one."""
        self._lock = lock
        lock.on_takeover = self.close

    def _new_lineage(self):
        new = self._divisions(len(self._lineage))
        self._lineage.extend(new)
        return new

    @property
    def closed(self):
        """True once :meth:`close` has run.

        Examples
        --------
        >>> import morva, tempfile, pathlib
        >>> rec = morva.Model((8, 8)).build().record(pathlib.Path(tempfile.mkdtemp()) / "r"); rec.close(); rec.closed
        True
        """
        return not self._writer.is_alive()

    def _check_writer(self):
        if self._writer.error is not None:
            err, self._writer.error = self._writer.error, None
            raise RuntimeError(f"recording into {str(self.directory)!r} failed: {err}") from err
        if not self._writer.is_alive():
            raise RuntimeError(f"the recording into {str(self.directory)!r} was closed")


def recorded_activity(model, activity):
    """Whether a recording of `model` records the Act model's activity: by default when a type has it.

    Raises
    ------
    ValueError
        When asked to record the activity of a model without the Act model.

    Examples
    --------
    >>> from morva.model import Model
    >>> recorded_activity(Model((8, 8)), None), recorded_activity(Model((8, 8)), False)
    (False, False)
    >>> recorded_activity(Model((8, 8)), True)
    Traceback (most recent call last):
    ...
    ValueError: activity=True records the Act model's activity, but no cell type has lambda_act and max_act
    """
    if activity is None:
        return model.uses_act
    if not isinstance(activity, bool):
        raise ValueError(f"activity must be True, False or None, got {activity!r}")
    if activity and not model.uses_act:
        raise ValueError("activity=True records the Act model's activity, but no cell type has lambda_act and max_act")
    return activity


def image_names(info):
    """The frame arrays a recording keeps beside the labels and the times, from its run.json.

    Examples
    --------
    >>> image_names({"fields": ["c"], "activity": True}), image_names({"fields": []})
    (['activity', 'field_c'], [])
    """
    return (["activity"] if info.get("activity") else []) + [f"field_{name}" for name in info["fields"]]


def frame_shape(dims):
    """Shape (nz, ny, nx) of a frame of a model of dims (nx, ny, nz).

    Examples
    --------
    >>> frame_shape((6, 4, 1))
    (1, 4, 6)
    """
    nx, ny, nz = dims
    return (nz, ny, nx)


def chunk_frames(dims):
    """Frames per Zarr chunk: about CHUNK_BYTES of labels, at most MAX_CHUNK_FRAMES, at least one.

    Examples
    --------
    >>> chunk_frames((200, 200, 1)), chunk_frames((100, 100, 100))
    (26, 1)
    """
    nx, ny, nz = dims
    return max(1, min(MAX_CHUNK_FRAMES, CHUNK_BYTES // (4 * nx * ny * nz)))


