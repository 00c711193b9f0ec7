"""What a recording holds: the size and CRC-32 of every piece, kept in run.json under "pieces".

A piece is a Zarr chunk file (with the frames it covers), a part of the cell table, the lineage
file or the fates file. The writer thread notes the chunks it writes and measures them again at each flush, so only
pieces written since the last flush are read back. A chunk whose frames all lie before the
"frames" of run.json is sealed: the writer never changes it again, so its size must match. The
last, partly filled chunk, the lineage file and the fates file may have been rewritten after the last flush by a
run that was killed; they are held to their size only once the recorder was closed ("closed").
Opening and resuming compare sizes (a stat per piece); `morva info --check` compares checksums too.
The checkpoint keeps SETTINGS of run.json, so that resuming notices an edited run.json.
"""

import json
import pathlib
import zlib

SETTINGS = ("every", "checkpoint_every", "fields", "activity", "cell_vectors", "type_names", "shape", "seed")
_BLOCK = 1 << 22


class Pieces:
    """The pieces of one recording, as the writer thread keeps them.

    Parameters
    ----------
    directory : pathlib.Path
        The recording folder.
    known : dict, optional
        The "pieces" of run.json when a recording is reopened.

    Examples
    --------
    >>> import tempfile
    >>> d = pathlib.Path(tempfile.mkdtemp()); (d / "cells").mkdir(); (d / "cells" / "part-000000.parquet").write_bytes(b"ab")
    >>> Pieces(d).refresh(0)
    {'cells/part-000000.parquet': {'size': 2, 'crc32': 2659403885}}
    """

    def __init__(self, directory, known=None):
        self.directory = pathlib.Path(directory)
        self.entries = dict(known or {})
        self._dirty = {}  # path -> entry to complete at the next refresh

    def wrote(self, name, array, start, end):
        """Note that frames [start, end) of Zarr array `name` of frames.zarr were written."""
        size = array.chunks[0]
        tail = (0,) * (array.ndim - 1)
        for k in range(start // size, (end - 1) // size + 1):
            key = f"frames.zarr/{name}/" + array.metadata.encode_chunk_key((k,) + tail)
            self._dirty[key] = {"frames": [k * size, (k + 1) * size]}

    def wrote_file(self, relative):
        """Note that the file at `relative` (a path in the recording folder) was rewritten."""
        self._dirty[relative] = {}

    def keep(self, frames, parts):
        """Forget chunks from frame `frames` on and parts from number `parts` on (a resumed recording drops them)."""
        self.entries = {k: v for k, v in self.entries.items()
                        if not (_starts_at_or_after(v, frames) or _part_number(k, parts))}

    def refresh(self, frames):
        """Measure the pieces written since the last call; returns the entries for run.json.

        Chunks that start at or after `frames` no longer exist (the arrays were cut back).
        """
        for path, entry in self._dirty.items():
            self.entries[path] = dict(entry, **_measure(self.directory / path))
        self._dirty = {}
        for part in sorted((self.directory / "cells").glob("part-*.parquet")):
            key = part.relative_to(self.directory).as_posix()
            if key not in self.entries:  # parts are written once
                self.entries[key] = _measure(part)
        self.keep(frames, None)
        return dict(sorted(self.entries.items()))


def settings(info):
    """The settings of a run.json that never change during a recording.

    Examples
    --------
    >>> settings({"every": 2, "seed": 1, "mcs": 4})
    {'every': 2, 'seed': 1}
    """
    return {key: info[key] for key in SETTINGS if key in info}


def check_settings(directory, info, stored):
    """Refuse a run.json whose settings differ from those the checkpoint was written with."""
    for key, value in stored.items():
        if info.get(key) != value:
            raise ValueError(f"run.json in {str(directory)!r} was edited: {key!r} is {info.get(key)!r}, the "
                             f"recording was made with {value!r}")


def problems(directory, info, *, checksums=False, frames=None, parts=None):
    """What is missing or damaged in a recording, one line per piece (empty when all is well).

    Pieces from frame `frames` and part `parts` on are skipped (a resumed run drops them), and with
    `frames` given the lineage and fates files too (a resumed run writes it again).

    Examples
    --------
    >>> import tempfile
    >>> d = pathlib.Path(tempfile.mkdtemp())
    >>> problems(d, {"frames": 0, "pieces": {"lineage.parquet": {"size": 3, "crc32": 0}}})
    ['lineage.parquet is missing']
    """
    directory = pathlib.Path(directory)
    stored = info.get("frames") or 0
    closed = bool(info.get("closed"))
    found = []
    for path, entry in (info.get("pieces") or {}).items():
        if frames is not None and (_starts_at_or_after(entry, frames) or _part_number(path, parts)
                                   or "frames" not in entry and not path.startswith("cells/")):
            continue
        if "size" not in entry:
            continue  # a chunk Zarr left unwritten (all fill value)
        sealed = closed or (entry["frames"][1] <= stored if "frames" in entry else path.startswith("cells/"))
        file = directory / path
        try:
            size = file.stat().st_size
        except FileNotFoundError:
            found.append(f"{path} is missing")
            continue
        if not sealed:
            continue
        if size != entry["size"]:
            found.append(f"{path} is damaged: {size} bytes instead of {entry['size']}")
        elif checksums and _crc32(file) != entry["crc32"]:
            found.append(f"{path} is damaged: its checksum differs")
    return found


def verify(directory, info, **limits):
    """Raise ValueError naming the first missing or damaged piece of a recording (see :func:`problems`)."""
    found = problems(directory, info, **limits)
    if found:
        more = f" (and {len(found) - 1} more; see morva info --check)" if len(found) > 1 else ""
        raise ValueError(f"recording {str(directory)!r}: {found[0]}{more}")


def _measure(path):
    try:
        return {"size": path.stat().st_size, "crc32": _crc32(path)}
    except FileNotFoundError:
        return {}  # Zarr stores no file for a chunk that holds only the fill value


def _crc32(path):
    crc = 0
    with open(path, "rb") as data:
        while block := data.read(_BLOCK):
            crc = zlib.crc32(block, crc)
    return crc


def _starts_at_or_after(entry, frames):
    return "frames" in entry and entry["frames"][0] >= frames


def _part_number(path, parts):
    """True when `path` is a cell-table part numbered `parts` or higher."""
    if parts is None or not path.startswith("cells/part-"):
        return False
    return int(path[len("cells/part-"):].split(".")[0]) >= parts


def check_for_resume(directory, info, header):
    """Refuse to resume from a checkpoint whose run.json was edited or whose pieces are missing or damaged."""
    check_settings(directory, info, header.get("settings", {}))
    verify(directory, info, frames=int(header["frames"]), parts=int(header["parts"]))


def mark_resumed(directory, info, header):
    """Write run.json as it will be once the pieces after the checkpoint are dropped, before any is.

    It lists only the pieces the checkpoint keeps and is not closed: a resumed run rewrites the last
    chunks, and may be killed before it next writes run.json.
    """
    from ._safe_files import write_atomic

    frames, parts = int(header["frames"]), int(header["parts"])
    if "pieces" in info:
        kept = Pieces(directory, info["pieces"])
        kept.keep(frames, parts)
        info["pieces"] = kept.entries
    info.update(frames=frames, mcs=header["last_frame"], closed=False)
    write_atomic(pathlib.Path(directory) / "run.json", (json.dumps(info, indent=2) + "\n").encode("utf-8"))
