"""Recordings: frames in Zarr, a per-cell table in Parquet, lineage, checkpoints (docs/recording-format.md).

The engine thread only copies a frame out of the world; a writer thread compresses and stores it
while the engine goes on (the engine releases the interpreter lock). Frames are gathered into Zarr
chunks of about CHUNK_BYTES, so memory stays at the world plus one chunk however long the run.
"""

import json
import pathlib
import queue
import shutil
import threading
import time

import numpy as np
import pandas as pd
import zarr.codecs as zarr_codecs

from . import _native
from .checkpoint import read_checkpoint, write_atomic, write_checkpoint
from .modelfile import from_toml, to_toml

FORMAT = 1
CHUNK_BYTES = 4 * 2**20
MAX_CHUNK_FRAMES = 64
ROWS_PER_PART = 50_000  # about 4 MiB of rows, like one chunk of frames
CHECKPOINT_SECONDS = 60.0
# Byte-shuffled LZ4 keeps pace with the engine and still shrinks label frames many times over.
FAST_COMPRESSION = zarr_codecs.BloscCodec(cname="lz4", clevel=5, shuffle="shuffle")
CELL_COLUMNS = ["time", "id", "type", "type_name", "volume", "surface", "com_x", "com_y", "com_z", "length",
                "parent"]


def _version():
    from . import __version__

    return __version__


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
    ValueError: '/nonexistent' is not a morva recording (no run.json)
    """
    path = pathlib.Path(directory) / "run.json"
    try:
        info = json.loads(path.read_text(encoding="utf-8"))
    except FileNotFoundError:
        raise ValueError(f"{str(directory)!r} is not a morva recording (no run.json)") from None
    except ValueError as err:
        raise ValueError(f"{str(path)!r} is corrupt: {err}") from None
    if not isinstance(info, dict) or info.get("format") != FORMAT:
        found = info.get("format") if isinstance(info, dict) else info
        raise ValueError(f"{str(path)!r}: unknown recording format {found!r}")
    return info


class _FrameWriter(threading.Thread):
    """Stores frames and flushes on request; the only thread that touches the files of a recording."""

    def __init__(self, recorder):
        super().__init__(name="morva-recorder", daemon=True)
        self.rec = recorder
        self.inbox = queue.Queue(maxsize=1)
        self.error = None

    def run(self):
        while True:
            item = self.inbox.get()
            try:
                if item is None:
                    return
                if isinstance(item[0], threading.Event):
                    self.rec._write_pending(item[1])
                    item[0].set()
                else:
                    self.rec._take_frame(*item)
            except BaseException as err:  # reported to the engine thread at its next call
                self.error = err
                if isinstance(item[0], threading.Event):
                    item[0].set()
            finally:
                self.inbox.task_done()


class Recorder:
    """Writes frames, the cell table, the lineage and checkpoints of a simulation into a folder.

    Create it with :meth:`morva.Simulation.record`; :func:`morva.resume` reopens it.

    Examples
    --------
    >>> import morva, tempfile, pathlib
    >>> sim = morva.Model((8, 8)).build(); rec = sim.record(pathlib.Path(tempfile.mkdtemp()) / "r", every=2)
    >>> sim.run(4, progress=False); rec.frames
    3
    """

    def __init__(self, directory, sim, every, checkpoint_every, fields, info):
        self.directory = pathlib.Path(directory)
        self.every = every
        self.checkpoint_every = checkpoint_every
        self.fields = fields
        self.info = info
        self.type_names = list(sim.type_names)
        self._field_index = {name: list(sim.model.fields).index(name) for name in fields}
        self.frames = 0
        self.last_frame = None
        self.parts = 0
        self._stored = 0
        self._last_checkpoint = time.monotonic()
        self._checkpointed = False
        self._group = None
        self._sim_lineage = sim._lineage  # the simulation's own list, which only grows
        self._lineage = list(sim._lineage)
        self._writer_lineage = []
        self._parents = np.zeros(0, dtype=np.int64)
        self._arrays = {}
        self._rows = {c: [] for c in CELL_COLUMNS if c != "type_name"}
        self._n_rows = 0
        nx, ny, nz = sim.model.dims
        self._frame_shape = (nz, ny, nx)
        frame_bytes = 4 * nx * ny * nz
        self._chunk = max(1, min(MAX_CHUNK_FRAMES, CHUNK_BYTES // frame_bytes))
        self._buffer = None
        self._buffered = 0
        self._capacity = 0
        self._writer = _FrameWriter(self)
        self._writer.start()

    # --- creation and reopening --------------------------------------------------------------

    @classmethod
    def create(cls, sim, directory, every=1, *, checkpoint_every=None, overwrite=False, fields=None):
        """A new, empty recording of `sim` (see :meth:`morva.Simulation.record`).

        Examples
        --------
        >>> import morva, tempfile, pathlib
        >>> d = pathlib.Path(tempfile.mkdtemp()) / "r"
        >>> Recorder.create(morva.Model((8, 8)).build(), d).every
        1
        """
        import zarr

        from .validate import integer

        every = integer("every", every, minimum=1)
        if checkpoint_every is not None:
            checkpoint_every = integer("checkpoint_every", checkpoint_every, minimum=1)
            if checkpoint_every % every:
                raise ValueError(f"checkpoint_every ({checkpoint_every}) must be a multiple of every ({every})")
        fields = list(sim.model.fields) if fields is None else list(fields)
        for name in fields:
            sim._field_index(name)
        directory = pathlib.Path(directory)
        _prepare_directory(directory, overwrite)
        (directory / "model.toml").write_text(to_toml(sim.model, embed_images=True), encoding="utf-8")
        (directory / "cells").mkdir()
        info = {"format": FORMAT, "seed": sim.seed, "every": every, "checkpoint_every": checkpoint_every,
                "fields": fields, "type_names": list(sim.type_names), "shape": list(sim.model.dims),
                "morva_version": _version(), "mcs": None, "frames": 0, "checkpoint_mcs": None}
        rec = cls(directory, sim, every, checkpoint_every, fields, info)
        group = zarr.open_group(directory / "frames.zarr", mode="w", zarr_format=3)
        group.attrs.update({"type_names": list(sim.type_names), "model": to_toml(sim.model, embed_images=True),
                            "format": FORMAT})
        shape = (0,) + rec._frame_shape
        chunks = (rec._chunk,) + rec._frame_shape
        dims = ["time", "z", "y", "x"]
        group.create_array("labels", shape=shape, chunks=chunks, dtype="uint32", fill_value=0, dimension_names=dims,
                           compressors=FAST_COMPRESSION)
        for name in fields:
            group.create_array(f"field_{name}", shape=shape, chunks=chunks, dtype="float32", fill_value=0.0,
                               dimension_names=dims, compressors=FAST_COMPRESSION)
        group.create_array("time", shape=(0,), chunks=(4096,), dtype="int64", fill_value=-1, dimension_names=["time"])
        rec._group = group
        rec._arrays = dict(group.arrays())
        rec._add_lineage(sim._lineage)
        rec._write_run_info()
        return rec

    @classmethod
    def reopen(cls, directory, sim, header):
        """Continue a recording from the state saved in a checkpoint header.

        Frames and cell-table parts written after that checkpoint are dropped.
        """
        import zarr

        info = read_run_info(directory)
        try:
            group = zarr.open_group(pathlib.Path(directory) / "frames.zarr", mode="r+")
            arrays = dict(group.arrays())
        except Exception as err:
            raise ValueError(f"recording {str(directory)!r}: frames.zarr cannot be opened: {err}") from None
        expected = {"labels", "time", *(f"field_{name}" for name in info["fields"])}
        if set(arrays) != expected or any(a.shape[0] < int(header["frames"]) for a in arrays.values()):
            raise ValueError(f"recording {str(directory)!r}: frames.zarr does not hold the {header['frames']} frames "
                             f"of arrays {sorted(expected)} that the checkpoint expects")
        rec = cls(directory, sim, info["every"], info["checkpoint_every"], info["fields"], info)
        rec._group = group
        rec._arrays = arrays
        rec._add_lineage(sim._lineage)
        rec.frames = rec._stored = rec._capacity = int(header["frames"])
        rec.last_frame = header["last_frame"]
        rec.parts = int(header["parts"])
        rec._checkpointed = True
        for array in rec._arrays.values():
            if array.shape[0] != rec.frames:
                array.resize((rec.frames,) + array.shape[1:])
        for part in (rec.directory / "cells").glob("part-*.parquet"):
            if int(part.stem.split("-")[1]) >= rec.parts:
                part.unlink()
        return rec

    # --- scheduling (engine thread) -----------------------------------------------------------

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
        """Record a frame if one is due at the current MCS, and a checkpoint if one is due."""
        if sim.mcs % self.every or (self.last_frame is not None and sim.mcs <= self.last_frame):
            return
        self.record(sim)
        if not self._checkpointed:
            self.checkpoint(sim)  # a run killed early can then be resumed rather than restarted
        elif self.checkpoint_every is not None:
            if sim.mcs % self.checkpoint_every == 0:
                self.checkpoint(sim)
        elif time.monotonic() - self._last_checkpoint >= CHECKPOINT_SECONDS:
            self.checkpoint(sim)

    def record(self, sim):
        """Record one frame of the simulation's current state now."""
        self._check_writer()
        fields = [_native.field(sim.world, self._field_index[name]) for name in self.fields]
        cells = _native.cells(sim.world)
        self._writer.inbox.put((sim.mcs, _native.labels(sim.world), fields, cells, self._new_lineage(sim._lineage)))
        self.frames += 1
        self.last_frame = sim.mcs

    def flush(self):
        """Wait until every frame is on disk, and write the cell table, lineage and run.json."""
        self._check_writer()
        done = threading.Event()
        self._writer.inbox.put((done, self._new_lineage(self._sim_lineage)))
        done.wait()
        self._check_writer()

    def checkpoint(self, sim):
        """Flush, then write a checkpoint from which :func:`morva.resume` continues exactly."""
        self.flush()
        header = {"mcs": sim.mcs, "seed": sim.seed, "lineage": [list(r) for r in sim._lineage],
                  "frames": self.frames, "last_frame": self.last_frame, "parts": self.parts,
                  "morva_version": _version()}
        write_checkpoint(self.directory / "checkpoint.morva", header, _native.dumps(sim.world))
        self.info["checkpoint_mcs"] = sim.mcs
        self._write_run_info()
        self._last_checkpoint = time.monotonic()
        self._checkpointed = True

    def close(self):
        """Flush and stop the writer thread.

        Examples
        --------
        >>> import morva, tempfile, pathlib
        >>> rec = morva.Model((8, 8)).build().record(pathlib.Path(tempfile.mkdtemp()) / "r"); rec.close()
        """
        if self._writer.is_alive():
            self.flush()
            self._writer.inbox.put(None)
            self._writer.join()

    def _new_lineage(self, lineage):
        new = lineage[len(self._lineage):]
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

    # --- writer thread -----------------------------------------------------------------------

    def _take_frame(self, mcs, labels, fields, cells, new_lineage):
        if self._buffer is None:
            self._buffer = {"time": np.full(self._chunk, -1, dtype=np.int64),
                            "labels": np.empty((self._chunk,) + self._frame_shape, dtype=np.uint32)}
            for name in self.fields:
                self._buffer[f"field_{name}"] = np.empty((self._chunk,) + self._frame_shape, dtype=np.float32)
        # Buffer slots mirror the positions in the Zarr chunk being filled.
        slot = (self._stored + self._buffered) % self._chunk
        self._buffer["time"][slot] = mcs
        self._buffer["labels"][slot] = labels.reshape(self._frame_shape)
        for name, values in zip(self.fields, fields):
            self._buffer[f"field_{name}"][slot] = values.reshape(self._frame_shape)
        self._buffered += 1
        self._add_lineage(new_lineage)
        self._add_rows(mcs, cells)
        if (self._stored + self._buffered) % self._chunk == 0:
            self._store_buffer()
        if self._n_rows >= ROWS_PER_PART:
            self._write_part()

    def _add_lineage(self, rows):
        self._writer_lineage.extend(rows)
        if rows:
            top = max(daughter for _, daughter, _ in rows) + 1
            if top > self._parents.size:
                self._parents = np.concatenate([self._parents, np.zeros(top - self._parents.size, dtype=np.int64)])
            for parent, daughter, _ in rows:
                self._parents[daughter] = parent

    def _add_rows(self, mcs, cells):
        volume = cells["volume"]
        ids = np.flatnonzero(volume > 0)
        ids = ids[ids != 0]
        parents = np.zeros(len(volume), dtype=np.int64)
        known = min(len(volume), self._parents.size)
        parents[:known] = self._parents[:known]
        com = cells["com"]
        rows = self._rows
        rows["time"].append(np.full(ids.size, mcs, dtype=np.int64))
        rows["id"].append(ids.astype(np.int64))
        rows["type"].append(cells["type"][ids].astype(np.int64))
        rows["volume"].append(volume[ids].astype(np.int64))
        rows["surface"].append(cells["surface"][ids].astype(np.int64))
        rows["com_x"].append(com[ids, 0])
        rows["com_y"].append(com[ids, 1])
        rows["com_z"].append(com[ids, 2])
        rows["length"].append(cells["length"][ids])
        rows["parent"].append(parents[ids])
        self._n_rows += ids.size

    def _store_buffer(self):
        if not self._buffered:
            return
        start = self._stored
        end = start + self._buffered
        if end > self._capacity:
            self._capacity = max(end, 2 * self._capacity, 256)
            for array in self._arrays.values():
                array.resize((self._capacity,) + array.shape[1:])
        offset = start % self._chunk
        for name, values in self._buffer.items():
            self._arrays[name][start:end] = values[offset:offset + self._buffered]
        self._stored = end
        self._buffered = 0

    def _write_part(self):
        if not self._n_rows:
            return
        table = {c: np.concatenate(v) for c, v in self._rows.items()}
        types = table["type"]
        codes = np.where(types < len(self.type_names), types, -1)
        table["type_name"] = pd.Categorical.from_codes(codes, categories=self.type_names)
        frame = pd.DataFrame({c: table[c] for c in CELL_COLUMNS})
        path = self.directory / "cells" / f"part-{self.parts:06d}.parquet"
        tmp = path.with_name(f".{path.name}.tmp")
        frame.to_parquet(tmp, index=False)
        tmp.replace(path)
        self.parts += 1
        self._rows = {c: [] for c in self._rows}
        self._n_rows = 0

    def _write_pending(self, new_lineage):
        self._add_lineage(new_lineage)
        self._store_buffer()
        if self._capacity != self._stored:
            self._capacity = self._stored
            for array in self._arrays.values():
                array.resize((self._stored,) + array.shape[1:])
        self._write_part()
        lineage = pd.DataFrame(self._writer_lineage, columns=["parent", "daughter", "mcs"], dtype=np.int64)
        tmp = self.directory / ".lineage.parquet.tmp"
        lineage.to_parquet(tmp, index=False)
        tmp.replace(self.directory / "lineage.parquet")
        self.info["mcs"] = self.last_frame
        self.info["frames"] = self._stored
        self._write_run_info()

    def _write_run_info(self):
        write_atomic(self.directory / "run.json", (json.dumps(self.info, indent=2) + "\n").encode("utf-8"))


def _prepare_directory(directory, overwrite):
    if directory.exists():
        if not directory.is_dir():
            raise FileExistsError(f"{str(directory)!r} exists and is not a folder")
        if any(directory.iterdir()):
            if not overwrite:
                raise FileExistsError(f"{str(directory)!r} already exists; pass overwrite=True (--overwrite) "
                                      "to replace it, or resume it")
            if not (directory / "run.json").exists():
                raise ValueError(f"{str(directory)!r} is not a morva recording; refusing to delete it")
            shutil.rmtree(directory)
    directory.mkdir(parents=True, exist_ok=True)


class Recording:
    """A recording opened for reading (see :func:`open_recording`).

    Attributes
    ----------
    frames : xarray.Dataset
        Lazy (Dask) variables `labels` and `field_<name>`, dimensions (time, z, y, x).
    cells : pandas.DataFrame
        The per-cell table of every frame.
    lineage : pandas.DataFrame
        parent, daughter, mcs.
    model : morva.Model
    times : ndarray
        The MCS of each frame.
    type_names : list of str
    info : dict
        The run.json.
    """

    def __init__(self, directory):
        import xarray as xr
        import zarr

        self.directory = pathlib.Path(directory)
        self.info = read_run_info(self.directory)
        try:
            self.model = from_toml((self.directory / "model.toml").read_text(encoding="utf-8"))
        except OSError as err:
            raise ValueError(f"recording {str(directory)!r} has no readable model.toml: {err.strerror}") from None
        store = self.directory / "frames.zarr"
        try:
            times = zarr.open_array(store / "time", mode="r")[:]
            frames = xr.open_zarr(store, consolidated=False)
        except Exception as err:
            raise ValueError(f"recording {str(directory)!r}: frames.zarr cannot be read: {err}") from None
        # Frames past a crash are unwritten (time -1); the valid ones are the leading ones.
        valid = int(np.argmin(times >= 0)) if (times < 0).any() else times.size
        self.frames = frames.isel(time=slice(0, valid))
        self.times = times[:valid]
        self.type_names = list(self.frames.attrs.get("type_names", self.info.get("type_names", [])))
        parts = sorted((self.directory / "cells").glob("part-*.parquet"))
        if parts:
            self.cells = pd.concat([pd.read_parquet(p) for p in parts], ignore_index=True)
            self.cells["type_name"] = self.cells["type_name"].astype(str)
        else:
            self.cells = pd.DataFrame({c: pd.Series(dtype=object if c == "type_name" else float) for c in CELL_COLUMNS})
        lineage = self.directory / "lineage.parquet"
        self.lineage = (pd.read_parquet(lineage) if lineage.exists()
                        else pd.DataFrame(columns=["parent", "daughter", "mcs"], dtype=np.int64))

    def __len__(self):
        return len(self.times)

    def __repr__(self):
        span = f"{self.times[0]}..{self.times[-1]}" if len(self) else "none"
        return f"Recording({str(self.directory)!r}, frames={len(self)}, mcs={span})"

    def labels(self, i):
        """Label grid (nz, ny, nx) of frame i.

        Examples
        --------
        >>> import morva, tempfile, pathlib
        >>> sim = morva.Model((6, 4)).build(); rec = sim.record(pathlib.Path(tempfile.mkdtemp()) / "r")
        >>> sim.run(1, progress=False); morva.open_recording(rec.directory).labels(-1).shape
        (1, 4, 6)
        """
        return self.frames["labels"][i].values

    def field(self, name, i):
        """Concentration (nz, ny, nx) of field `name` in frame i.

        Examples
        --------
        >>> import morva, tempfile, pathlib
        >>> sim = morva.Model((6, 4)).add_field("c", diffusion=0.1).build()
        >>> rec = sim.record(pathlib.Path(tempfile.mkdtemp()) / "r"); sim.run(1, progress=False)
        >>> morva.open_recording(rec.directory).field("c", 0).dtype == "float32"
        True
        """
        key = f"field_{name}"
        if key not in self.frames:
            recorded = ", ".join(self.info.get("fields", [])) or "none"
            raise KeyError(f"no field {name!r} in this recording (recorded: {recorded})")
        return self.frames[key][i].values


def open_recording(directory):
    """Open a recording folder for reading.

    Raises
    ------
    ValueError
        When the folder is not a readable recording.

    Examples
    --------
    >>> import morva, tempfile, pathlib
    >>> sim = morva.Model((8, 8)).build(); rec = sim.record(pathlib.Path(tempfile.mkdtemp()) / "r")
    >>> sim.run(3, progress=False); open_recording(rec.directory).times.tolist()
    [0, 1, 2, 3]
    """
    return Recording(directory)


def resume(directory, *, hooks=None, every=None):
    """Continue a recorded run from its last checkpoint; the result is the same, bit for bit, as a
    run that never stopped.

    Parameters
    ----------
    directory : path
        The recording folder.
    hooks, every :
        Hooks to call every `every` MCS, as given to the original run (they are code, not data,
        so they are not stored).

    Returns
    -------
    morva.Simulation
        At the checkpoint's MCS, recording into the same folder.

    Examples
    --------
    >>> import morva, tempfile, pathlib
    >>> sim = morva.Model((8, 8)).build(); rec = sim.record(pathlib.Path(tempfile.mkdtemp()) / "r")
    >>> sim.run(3, progress=False); morva.resume(rec.directory).mcs
    3
    """
    from .simulation import Simulation

    directory = pathlib.Path(directory)
    read_run_info(directory)
    header, state = read_checkpoint(directory / "checkpoint.morva")
    for key in ("mcs", "seed", "lineage", "frames", "last_frame", "parts"):
        if key not in header:
            raise ValueError(f"checkpoint in {str(directory)!r} lacks {key!r}; it was not written by this morva")
    model = from_toml((directory / "model.toml").read_text(encoding="utf-8"))
    try:
        world = _native.loads(state)
    except (ValueError, TypeError) as err:
        raise ValueError(f"checkpoint in {str(directory)!r} cannot be loaded: {err}") from None
    if tuple(world.dims()) != tuple(model.dims):
        raise ValueError(f"checkpoint in {str(directory)!r} holds a {world.dims()} world, the model is {model.dims}")
    sim = Simulation(model, world, int(header["seed"]), mcs=int(header["mcs"]), lineage=header["lineage"])
    if hooks is not None:
        for hook in [hooks] if callable(hooks) else hooks:
            sim.add_hook(hook, every=1 if every is None else every)
    sim.recorder = Recorder.reopen(directory, sim, header)
    return sim
