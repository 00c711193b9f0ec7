"""Frames gathered a Zarr chunk at a time, and the per-cell table built from whole chunks.

The engine thread only keeps the arrays it copied out of the world (no copy of its own: a large
copy would let go of the interpreter lock, and getting it back can take a switch interval). The
writer thread then stacks a whole chunk and stores it with one Zarr write per array, and turns the
chunk's cell arrays into table rows with a few whole-array operations.
"""

import numpy as np

ROW_COLUMNS = ["time", "id", "type", "volume", "surface", "com_x", "com_y", "com_z", "length", "parent"]


class FrameChunk:
    """The frames of (part of) one Zarr chunk of a recording, on their way to the store.

    The engine thread appends frames until the chunk is full and then hands it over; a flush
    before that stores the frames so far while the engine goes on appending (it never changes a
    frame it holds), and the whole chunk is written again once full, which spares Zarr from
    reading back and recompressing the part written first.

    Parameters
    ----------
    size : int
        Frames per Zarr chunk.
    fields : list of str
        Recorded field names.

    Attributes
    ----------
    start : int
        Number of the first frame held, counted from the start of the recording.
    frames : dict of list
        "labels" and "field_<name>": one array per frame.
    times : list of int
        MCS of each frame.
    cells : list of dict
        The cell arrays of each frame.
    sent : int
        Frames of this chunk the engine has sent the writer so far (by flushes).
    stored : int
        Frames of this chunk the writer has stored and taken the rows of.

    Examples
    --------
    >>> chunk = FrameChunk(4, []); chunk.reset(6)
    >>> chunk.add(10, np.ones((1, 2, 3), np.uint32), [], {}); chunk.count, chunk.full
    (1, False)
    """

    def __init__(self, size, fields):
        self.size = size
        self.fields = [f"field_{name}" for name in fields]
        self.reset(0)

    def reset(self, start):
        """Empty the chunk; the next frame is number `start` of the recording.

        Examples
        --------
        >>> chunk = FrameChunk(4, []); chunk.reset(9); chunk.start, chunk.count
        (9, 0)
        """
        self.start = start
        self.sent = self.stored = 0
        self.times = []
        self.frames = {name: [] for name in ["labels"] + self.fields}
        self.cells = []

    @property
    def count(self):
        """Frames held.

        Examples
        --------
        >>> FrameChunk(4, []).count
        0
        """
        return len(self.times)

    @property
    def full(self):
        """True when the frames held reach the end of a Zarr chunk.

        Examples
        --------
        >>> chunk = FrameChunk(2, []); chunk.reset(1)
        >>> chunk.add(0, np.zeros((1, 1, 1), np.uint32), [], {}); chunk.full
        True
        """
        return (self.start + self.count) % self.size == 0

    def add(self, mcs, labels, fields, cells):
        """Keep one frame: its MCS, label grid, field grids (in order) and cell arrays.

        The arrays are kept, not copied: they must be fresh copies out of the world.

        Examples
        --------
        >>> chunk = FrameChunk(2, ["c"]); chunk.add(5, np.zeros((1, 1, 2), np.uint32), [np.ones((1, 1, 2))], {})
        >>> chunk.times, len(chunk.frames["field_c"])
        ([5], 1)
        """
        self.times.append(mcs)
        self.frames["labels"].append(labels)
        for name, values in zip(self.fields, fields):
            self.frames[name].append(values)
        self.cells.append(cells)


def cell_rows(times, cells, parents):
    """Table rows (one per live cell and frame) of several frames at once.

    Parameters
    ----------
    times : sequence of int
        MCS of each frame.
    cells : list of dict
        The arrays of ``morva._native.cells`` of each frame (at least one frame).
    parents : ndarray
        Parent id by cell id (0 for placed cells); ids past its end have none.

    Returns
    -------
    dict of ndarray
        Columns ROW_COLUMNS, frame by frame and by id within a frame.

    Examples
    --------
    >>> cells = {"type": np.array([0, 1, 1], np.uint16), "volume": np.array([9, 4, 0]),
    ...          "surface": np.array([0, 8, 0]), "com": np.zeros((3, 3)), "length": np.zeros(3)}
    >>> rows = cell_rows([7], [cells], np.array([0, 0]))
    >>> rows["time"].tolist(), rows["id"].tolist(), rows["volume"].tolist()
    ([7], [1], [4])
    """
    sizes = np.array([len(c["volume"]) for c in cells], dtype=np.int64)
    ids = np.arange(int(sizes.sum()), dtype=np.int64) - np.repeat(np.cumsum(sizes) - sizes, sizes)
    volume = np.concatenate([c["volume"] for c in cells])
    live = (volume > 0) & (ids != 0)
    ids = ids[live]

    def column(key):
        return np.concatenate([c[key] for c in cells])[live]

    com = column("com")
    if parents.size < sizes.max():
        parents = np.concatenate([parents, np.zeros(sizes.max() - parents.size, dtype=np.int64)])
    return {
        "time": np.repeat(np.asarray(times, dtype=np.int64), sizes)[live],
        "id": ids,
        "type": column("type").astype(np.int64),
        "volume": volume[live].astype(np.int64),
        "surface": column("surface").astype(np.int64),
        "com_x": com[:, 0], "com_y": com[:, 1], "com_z": com[:, 2],
        "length": column("length"),
        "parent": parents[ids].astype(np.int64),
    }
