"""Movies of recordings: MP4 through the ffmpeg that imageio-ffmpeg ships, GIF through Pillow,
each frame a tissue picture with its step counter; and the ``morva movie`` command.
"""

import os
import pathlib

import numpy as np

from ._deps import require
from .frames import frame_array_name, frame_picture_args
from .tissue import figure_rgb, plot_tissue, redraw

_FORMATS = (".mp4", ".gif")


def write_movie(frames, path, *, fps=10):
    """Write RGB frames to an MP4 or GIF file (chosen by the suffix of `path`).

    Parameters
    ----------
    frames : iterable of numpy.ndarray
        uint8 RGB arrays (height, width, 3), all the same size. MP4 frames of odd size are padded
        with white by one pixel (the H.264 colour format needs even sizes).
    path : str or os.PathLike
        Output file, ``.mp4`` or ``.gif``.
    fps : float
        Frames per second.

    Returns
    -------
    pathlib.Path
        The written file.

    Examples
    --------
    >>> import numpy as np
    >>> from morva.viz import write_movie
    >>> frames = [np.full((32, 48, 3), 40 * i, np.uint8) for i in range(5)]
    >>> write_movie(frames, "fade.gif", fps=5).name
    'fade.gif'
    """
    path = pathlib.Path(path)
    suffix = path.suffix.lower()
    if suffix not in _FORMATS:
        raise ValueError(f"movie file must end in .mp4 or .gif, got {path.name!r}")
    if not fps > 0:
        raise ValueError(f"fps must be positive, got {fps}")
    # Written beside the target and renamed at the end, so a failed movie leaves no half file.
    partial = path.with_name(f".{path.stem}.partial{suffix}")
    try:
        (_write_gif if suffix == ".gif" else _write_mp4)(frames, partial, fps)
    except BaseException:
        partial.unlink(missing_ok=True)
        raise
    os.replace(partial, path)
    return path


def _checked(frames):
    """Frames as uint8 RGB of one size, in order; raises on the first that is not."""
    size = None
    for number, frame in enumerate(frames):
        frame = np.asarray(frame)
        if frame.ndim != 3 or frame.shape[2] != 3 or frame.dtype != np.uint8:
            raise ValueError(f"frame {number} must be uint8 RGB (height, width, 3), got {frame.dtype} {frame.shape}")
        if size is None:
            size = frame.shape
        elif frame.shape != size:
            raise ValueError(f"frame {number} has size {frame.shape[:2]}, the first had {size[:2]}")
        yield frame


def _even(frame):
    pad = ((0, frame.shape[0] % 2), (0, frame.shape[1] % 2), (0, 0))
    return np.pad(frame, pad, constant_values=255) if any(p[1] for p in pad) else frame


def _write_mp4(frames, path, fps):
    imageio = require("imageio.v2")
    require("imageio_ffmpeg")
    count = 0
    writer = imageio.get_writer(
        path, format="FFMPEG", fps=fps, codec="libx264", pixelformat="yuv420p", quality=8,
        macro_block_size=2, ffmpeg_log_level="error",
    )
    try:
        for frame in _checked(frames):
            writer.append_data(_even(frame))
            count += 1
    finally:
        writer.close()
    if count == 0:
        raise ValueError("a movie needs at least one frame")


def _write_gif(frames, path, fps):
    imageio = require("imageio.v3")
    stack = list(_checked(frames))
    if not stack:
        raise ValueError("a movie needs at least one frame")
    imageio.imwrite(path, np.stack(stack), extension=".gif", duration=1000.0 / fps, loop=0)


def as_recording(rec):
    """A recording, opened from its folder when given a path."""
    if isinstance(rec, (str, pathlib.Path)):
        from ..reader import open_recording

        return open_recording(rec)
    return rec


def frame_indices(rec, every=1, frames=None):
    """Frame numbers to show: every `every`-th frame, or the given ones."""
    if frames is not None:
        return [int(i) for i in frames]
    if every < 1:
        raise ValueError(f"every must be at least 1, got {every}")
    return list(range(0, len(rec), every))


def colour_ranges(rec, color_by=None, field=None):
    """Colour-bar ranges over the whole recording, so colours mean the same in every frame."""
    ranges = {}
    if color_by is not None:
        column = rec.cells[color_by].to_numpy(dtype=float)
        column = column[np.isfinite(column)]
        if column.size:
            ranges["vmin"], ranges["vmax"] = float(column.min()), float(column.max())
    if field is not None:
        data = rec.frames[frame_array_name(rec, field)]
        low, high = float(data.min().compute()), float(data.max().compute())
        ranges["field_range"] = (low, high if high > low else low + 1.0)
    return ranges


def render_frames(rec, *, every=1, frames=None, color_by=None, field=None, dpi=100, **picture):
    """RGB pictures of recorded frames, one at a time, all the same size.

    Parameters
    ----------
    rec : morva.Recording or path
        The recording (or its folder).
    every : int
        Take every `every`-th recorded frame.
    frames : sequence of int, optional
        Frame numbers to take instead.
    color_by : str, optional
        Per-cell column to colour cells by (e.g. ``"volume"``); colour range fixed over the run.
    field : str, optional
        Recorded field to show under the cells, or "activity" (the Act model's activity; best
        with ``field_mode="beside"``); colour range fixed over the run.
    dpi : int
        Resolution of each picture.
    **picture
        Further keyword arguments of :func:`plot_tissue` (``figsize``, ``field_mode``, ...).

    Yields
    ------
    numpy.ndarray
        uint8 RGB array per frame, with the step counter drawn on it.

    Examples
    --------
    >>> import morva
    >>> from morva.viz import render_frames, write_movie
    >>> rec = morva.open_recording("run")                              # doctest: +SKIP
    >>> write_movie(render_frames(rec, field="signal"), "run.mp4")     # doctest: +SKIP
    """
    rec = as_recording(rec)
    picture = {**colour_ranges(rec, color_by, field), **picture}
    fig = None
    for index in frame_indices(rec, every, frames):
        args = frame_picture_args(rec, index, color_by=color_by, field=field)
        if fig is None:
            fig = plot_tissue(**args, **picture)
            first = figure_rgb(fig, dpi=dpi)
            # Later frames keep this layout: same size, nothing shifts, and no layout to redo.
            fig.set_layout_engine("none")
            yield first
            continue
        redraw(fig, args["labels"], args["cell_type"], values=args.get("values"), field=args.get("field"),
               mcs=args["mcs"])
        yield figure_rgb(fig, dpi=dpi)


def recording_movie(rec, path, *, fps=10, every=1, color_by=None, field=None, dpi=100, **picture):
    """Make a movie (MP4 or GIF) of a recording, with a step counter on every frame.

    Parameters
    ----------
    rec : morva.Recording or path
        The recording (or its folder).
    path : str or os.PathLike
        Output file, ``.mp4`` or ``.gif``.
    fps : float
        Frames per second.
    every, color_by, field, dpi, **picture
        As in :func:`render_frames`.

    Returns
    -------
    pathlib.Path
        The written file.

    Examples
    --------
    >>> from morva.viz import recording_movie
    >>> recording_movie("run", "run.mp4", fps=15)                      # doctest: +SKIP
    PosixPath('run.mp4')
    """
    path = pathlib.Path(path)
    if path.suffix.lower() not in _FORMATS:
        raise ValueError(f"movie file must end in .mp4 or .gif, got {path.name!r}")
    frames = render_frames(rec, every=every, color_by=color_by, field=field, dpi=dpi, **picture)
    return write_movie(frames, path, fps=fps)


def register(subparsers):
    """Add the ``movie`` subcommand to the ``morva`` command line.

    Parameters
    ----------
    subparsers : argparse._SubParsersAction
        What ``ArgumentParser.add_subparsers()`` returned.

    Returns
    -------
    argparse.ArgumentParser
        The ``movie`` parser; its ``func`` default runs the command and returns an exit code.

    Examples
    --------
    >>> import argparse
    >>> from morva.viz.movie import register
    >>> parser = argparse.ArgumentParser(prog="morva")
    >>> _ = register(parser.add_subparsers(dest="command"))
    >>> parser.parse_args(["movie", "run", "run.mp4", "--fps", "5"]).fps
    5.0
    """
    parser = subparsers.add_parser(
        "movie", help="make an MP4 or GIF movie of a recording",
        description="Make a movie of a recording folder: one tissue picture per recorded frame, "
        "with the Monte Carlo step drawn on it.",
    )
    parser.add_argument("recording", type=pathlib.Path, help="recording folder")
    parser.add_argument("output", type=pathlib.Path, help="movie file, .mp4 or .gif")
    parser.add_argument("--fps", type=float, default=10.0, help="frames per second (default 10)")
    parser.add_argument("--every", type=int, default=1, help="use every N-th recorded frame")
    parser.add_argument("--field", help="show this recorded field under the cells ('activity': the Act model's "
                        "activity, beside the cells)")
    parser.add_argument("--color-by", help="colour cells by this per-cell column (e.g. volume)")
    parser.add_argument("--dpi", type=int, default=100, help="resolution of the frames")
    parser.add_argument("--overwrite", action="store_true", help="replace an existing movie file")
    parser.set_defaults(func=run_movie_command)
    return parser


def run_movie_command(args):
    """Carry out ``morva movie`` with parsed arguments; returns the process exit code."""
    if args.output.exists() and not args.overwrite:
        raise FileExistsError(f"{args.output} exists; pass --overwrite to replace it")
    beside = {"field_mode": "beside"} if args.field == "activity" else {}
    path = recording_movie(
        args.recording, args.output, fps=args.fps, every=args.every, color_by=args.color_by,
        field=args.field, dpi=args.dpi, **beside,
    )
    print(f"wrote {path}")
    return 0
