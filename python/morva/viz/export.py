"""Exports for other tools: VTK image data per frame with a ``.series`` file that ParaView opens
as a time series (written with pyevtk), and TIFF stacks for image tools (written with tifffile).
"""

import json
import pathlib

import numpy as np

from ._deps import require
from .frames import cell_types_at, padded
from .movie import as_recording, frame_indices


def _volume(array, name):
    array = np.asarray(array)
    if array.ndim == 2:
        array = array[None]
    if array.ndim != 3:
        raise ValueError(f"{name} must be (z, y, x) or (y, x), got shape {array.shape}")
    return array


def write_vti(path, labels, cell_type=None, fields=None, *, activity=None, spacing=(1.0, 1.0, 1.0)):
    """Write one frame as VTK image data (``.vti``), one VTK cell per lattice site.

    Parameters
    ----------
    path : str or os.PathLike
        Output file; ``.vti`` is added when missing.
    labels : array_like
        Cell id per site, ``(z, y, x)`` or ``(y, x)``; stored as ``labels`` (UInt32).
    cell_type : array_like, optional
        Type per cell id; stored per site as ``cell_type``.
    fields : dict of str to array_like, optional
        Fields of the same shape as `labels`, stored under their names (Float32).
    activity : array_like, optional
        The Act model's activity of each site, the shape of `labels`; stored as ``activity`` (UInt16).
    spacing : tuple of float
        Site size along x, y, z.

    Returns
    -------
    pathlib.Path
        The written file.

    Examples
    --------
    >>> import numpy as np
    >>> from morva.viz import write_vti
    >>> labels = np.zeros((4, 5, 6), np.uint32); labels[1:3, 1:4, 1:5] = 1
    >>> write_vti("frame", labels, cell_type=[0, 1]).name
    'frame.vti'
    """
    hl = require("pyevtk.hl")
    labels = _volume(labels, "labels").astype(np.uint32, copy=False)
    # pyevtk takes arrays indexed (x, y, z); a C-ordered (x, y, z) copy is written x fastest.
    data = {"labels": np.ascontiguousarray(labels.transpose(2, 1, 0))}
    if cell_type is not None:
        types = np.asarray(cell_type)
        if int(labels.max(initial=0)) >= len(types):
            raise ValueError(f"cell_type has {len(types)} entries but the labels go up to {int(labels.max())}")
        data["cell_type"] = np.ascontiguousarray(types.astype(np.uint16)[labels].transpose(2, 1, 0))
    for name, field in (fields or {}).items():
        field = _volume(field, f"field {name!r}")
        if field.shape != labels.shape:
            raise ValueError(f"field {name!r} has shape {field.shape} but labels have {labels.shape}")
        data[name] = np.ascontiguousarray(field.astype(np.float32).transpose(2, 1, 0))
    if activity is not None:
        activity = _volume(activity, "activity")
        if activity.shape != labels.shape:
            raise ValueError(f"activity has shape {activity.shape} but labels have {labels.shape}")
        data["activity"] = np.ascontiguousarray(activity.astype(np.uint16).transpose(2, 1, 0))
    path = pathlib.Path(path)
    stem = path.with_suffix("") if path.suffix == ".vti" else path
    return pathlib.Path(hl.imageToVTK(str(stem), spacing=tuple(float(s) for s in spacing), cellData=data))


def write_series(path, files, times):
    """Write a ParaView ``.series`` file listing frame files with their times.

    Parameters
    ----------
    path : str or os.PathLike
        Output file, e.g. ``frames.vti.series`` (ParaView picks the reader from the inner suffix).
    files : sequence of str or os.PathLike
        Frame files; stored relative to the series file's folder.
    times : sequence of float
        Time of each frame (MCS).

    Returns
    -------
    pathlib.Path
        The written file.

    Examples
    --------
    >>> from morva.viz import write_series
    >>> write_series("run.vti.series", ["f0.vti", "f1.vti"], [0, 100]).name
    'run.vti.series'
    """
    path = pathlib.Path(path)
    if len(files) != len(times):
        raise ValueError(f"{len(files)} files but {len(times)} times")
    folder = path.parent.resolve()
    entries = [
        {"name": pathlib.Path(f).resolve().relative_to(folder).as_posix(), "time": float(t)}
        for f, t in zip(files, times)
    ]
    path.write_text(json.dumps({"file-series-version": "1.0", "files": entries}, indent=1))
    return path


def _out_folder(out, overwrite):
    out = pathlib.Path(out)
    if out.exists() and any(out.iterdir()) and not overwrite:
        raise FileExistsError(f"{out} is not empty; pass overwrite=True to write into it")
    out.mkdir(parents=True, exist_ok=True)
    return out


def export_vtk(rec, out, *, every=1, frames=None, fields=True, activity=True, overwrite=False):
    """Export a recording as VTK image data, one ``.vti`` per frame, plus ``frames.vti.series``.

    Each file holds ``labels``, ``cell_type``, the recorded fields and the recorded activity per site. Open the
    ``.series`` file in ParaView to get the frames as a time series (time = MCS).

    Parameters
    ----------
    rec : morva.Recording or path
        The recording (or its folder).
    out : str or os.PathLike
        Output folder (created; must be empty unless `overwrite`).
    every : int
        Take every `every`-th recorded frame.
    frames : sequence of int, optional
        Frame numbers to take instead.
    fields : bool or sequence of str
        Recorded fields to include: all (True), none (False) or the named ones.
    activity : bool
        Include the Act model's activity (``activity``) when the recording holds it.
    overwrite : bool
        Allow writing into a folder that has files.

    Returns
    -------
    pathlib.Path
        The ``.series`` file.

    Examples
    --------
    >>> from morva.viz import export_vtk
    >>> export_vtk("run", "run_vtk")                                   # doctest: +SKIP
    PosixPath('run_vtk/frames.vti.series')
    """
    rec = as_recording(rec)
    out = _out_folder(out, overwrite)
    names = _field_names(rec, fields)
    with_activity = _exports_activity(rec, activity)
    written, times = [], []
    for index in frame_indices(rec, every, frames):
        time = int(rec.times[index])
        labels = np.asarray(rec.labels(index))
        types = padded(cell_types_at(rec.cells, time), int(labels.max(initial=0)) + 1, 0)
        data = {name: np.asarray(rec.field(name, index)) for name in names}
        act = np.asarray(rec.activity(index)) if with_activity else None
        written.append(write_vti(out / f"frame_{time:08d}", labels, types, data, activity=act))
        times.append(time)
    return write_series(out / "frames.vti.series", written, times)


def _exports_activity(rec, activity):
    if not isinstance(activity, bool):
        raise ValueError(f"activity must be True or False, got {activity!r}")
    return activity and "activity" in rec.frames


def _field_names(rec, fields):
    recorded = [str(v)[len("field_"):] for v in rec.frames.data_vars if str(v).startswith("field_")]
    if fields is True:
        return recorded
    if fields is False or fields is None:
        return []
    missing = [f for f in fields if f not in recorded]
    if missing:
        raise KeyError(f"no recorded field named {missing[0]!r}; the recording has {recorded}")
    return list(fields)


def write_tiff_stack(path, stack, *, axes="TZYX"):
    """Write an array as one multi-page TIFF that image tools read as a stack.

    Parameters
    ----------
    path : str or os.PathLike
        Output file (``.tif``).
    stack : array_like
        The data, e.g. labels (time, z, y, x).
    axes : str
        Names of the axes, stored in the file's metadata.

    Returns
    -------
    pathlib.Path
        The written file.

    Examples
    --------
    >>> import numpy as np
    >>> from morva.viz import write_tiff_stack
    >>> write_tiff_stack("labels.tif", np.zeros((3, 1, 8, 8), np.uint32)).name
    'labels.tif'
    """
    tifffile = require("tifffile")
    stack = np.asarray(stack)
    if stack.ndim != len(axes):
        raise ValueError(f"axes {axes!r} name {len(axes)} axes but the stack has shape {stack.shape}")
    path = pathlib.Path(path)
    tifffile.imwrite(path, stack, photometric="minisblack", metadata={"axes": axes}, compression="zlib")
    return path


def export_tiff(rec, out, *, every=1, frames=None, fields=True, activity=True, overwrite=False):
    """Export a recording as TIFF stacks (time, z, y, x): labels, cell types, each field and the activity.

    Parameters
    ----------
    rec : morva.Recording or path
        The recording (or its folder).
    out : str or os.PathLike
        Output folder (created; must be empty unless `overwrite`).
    every, frames, fields, activity, overwrite
        As in :func:`export_vtk`.

    Returns
    -------
    list of pathlib.Path
        ``labels.tif``, ``cell_type.tif``, ``field_<name>.tif`` per field and ``activity.tif`` (uint16)
        when the recording holds the activity.

    Examples
    --------
    >>> from morva.viz import export_tiff
    >>> [p.name for p in export_tiff("run", "run_tiff")]               # doctest: +SKIP
    ['labels.tif', 'cell_type.tif', 'field_signal.tif']
    """
    rec = as_recording(rec)
    with_activity = _exports_activity(rec, activity)
    out = _out_folder(out, overwrite)
    indices = frame_indices(rec, every, frames)
    labels = np.stack([np.asarray(rec.labels(i)) for i in indices]).astype(np.uint32)
    types = np.stack([
        padded(cell_types_at(rec.cells, int(rec.times[i])), int(labels.max(initial=0)) + 1, 0)[labels[k]]
        for k, i in enumerate(indices)
    ]).astype(np.uint16)
    paths = [write_tiff_stack(out / "labels.tif", labels), write_tiff_stack(out / "cell_type.tif", types)]
    for name in _field_names(rec, fields):
        stack = np.stack([np.asarray(rec.field(name, i)) for i in indices]).astype(np.float32)
        paths.append(write_tiff_stack(out / f"field_{name}.tif", stack))
    if with_activity:
        stack = np.stack([np.asarray(rec.activity(i)) for i in indices]).astype(np.uint16)
        paths.append(write_tiff_stack(out / "activity.tif", stack))
    return paths
