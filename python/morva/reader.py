"""Reading recordings back (frames, cell table, lineage, model) and resuming them from their checkpoint.

Recordings are made by morva.recording's Recorder; a resumed run records into the same folder.
"""

import pathlib

import numpy as np
import pandas as pd

from . import _native
from ._manifest import check_for_resume, verify
from ._recording_folder import claim_for_resume
from .cell_table import fate_table, lineage_table, recorded_columns
from .checkpoint import read_checkpoint
from .model import Model
from .recording import Recorder, read_run_info
from .simulation import Simulation


class Recording:
    """A recording opened for reading (see :func:`open_recording`).

    Attributes
    ----------
    frames : xarray.Dataset
        Lazy (Dask) variables `labels`, `field_<name>` and, when recorded, `activity`, dimensions
        (time, z, y, x).
    cells : pandas.DataFrame
        The per-cell table of every frame.
    lineage : pandas.DataFrame
        parent, daughter, mcs and rule (the rule that divided; "" for direct calls and older recordings).
    fates : pandas.DataFrame
        Removals and changes of type made by rules (see :attr:`morva.Simulation.fates`).
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
        verify(self.directory, self.info)
        try:
            self.model = Model.from_toml((self.directory / "model.toml").read_text(encoding="utf-8"))
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
            columns = recorded_columns(self.info)
            self.cells = pd.DataFrame({c: pd.Series(dtype=object if c == "type_name" else float) for c in columns})
        lineage = self.directory / "lineage.parquet"
        # Recordings made before rules existed have no rule column.
        self.lineage = lineage_table(pd.read_parquet(lineage).values.tolist() if lineage.exists() else [])
        fates = self.directory / "fates.parquet"
        self.fates = fate_table(pd.read_parquet(fates).values.tolist() if fates.exists() else [])

    def __len__(self):
        return len(self.times)

    def __repr__(self):
        span = f"{self.times[0]}..{self.times[-1]}" if len(self) else "none"
        return f"Recording({str(self.directory)!r}, frames={len(self)}, mcs={span})"

    def _repr_html_(self):
        """A summary table and the last frame in notebooks."""
        from ._display import recording_html

        return recording_html(self)

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

    def activity(self, i):
        """The Act model's activity (nz, ny, nx), uint16, of every site in frame i.

        Recorded by default for models with the Act model (see :meth:`morva.Simulation.record`).

        Examples
        --------
        >>> import morva, tempfile, pathlib
        >>> m = morva.Model((8, 8), default_contact=0).add_type("t", volume=9, lambda_volume=1, lambda_act=200,
        ...                                                    max_act=20).add_block("t", (2, 2), (5, 5))
        >>> sim = m.build(seed=1); rec = sim.record(pathlib.Path(tempfile.mkdtemp()) / "r")
        >>> sim.run(1, progress=False); int(morva.open_recording(rec.directory).activity(1).max())
        19
        """
        if "activity" not in self.frames:
            raise KeyError("this recording holds no activity (record a model with the Act model, or pass "
                           "activity=True to Simulation.record)")
        return self.frames["activity"][i].values

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
        so they are not stored). They stay registered, as with :meth:`morva.Simulation.add_hook`,
        for every later run of the returned simulation: do not pass them to its ``run`` again
        (that is refused, since they would run twice per period).

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
    directory = pathlib.Path(directory)
    lock = claim_for_resume(directory)
    try:
        sim = _resume_locked(directory, hooks, every)
    except BaseException:
        lock.release()
        raise
    sim.recorder.hold(lock)
    return sim


def _resume_locked(directory, hooks, every):
    info = read_run_info(directory)
    header, state = read_checkpoint(directory / "checkpoint.morva")
    for key in ("mcs", "seed", "lineage", "frames", "last_frame", "parts"):
        if key not in header:
            raise ValueError(f"checkpoint in {str(directory)!r} lacks {key!r}; it was not written by this morva")
    check_for_resume(directory, info, header)
    model = Model.from_toml((directory / "model.toml").read_text(encoding="utf-8"))
    try:
        world = _native.loads(state)
    except (ValueError, TypeError) as err:
        raise ValueError(f"checkpoint in {str(directory)!r} cannot be loaded: {err}") from None
    if tuple(world.dims()) != tuple(model.dims):
        raise ValueError(f"checkpoint in {str(directory)!r} holds a {world.dims()} world, the model is {model.dims}")
    sim = Simulation(model, world, int(header["seed"]), mcs=int(header["mcs"]), lineage=header["lineage"],
                     fates=header.get("fates", []))
    if "cell_state" in header:  # checkpoints written before the package kept cell state have none
        sim.cell_state.restore(header["cell_state"], f"checkpoint in {str(directory)!r}")
    if sim.reactions is not None and "reactions" in header:
        sim.reactions.restore(header["reactions"], f"checkpoint in {str(directory)!r}")
    if hooks is not None:
        for hook in [hooks] if callable(hooks) else hooks:
            sim.add_hook(hook, every=1 if every is None else every)
    sim.recorder = Recorder.reopen(directory, sim, header)
    return sim
