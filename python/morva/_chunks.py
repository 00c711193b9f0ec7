"""Frames gathered a Zarr chunk at a time on their way to the store.

The engine thread only keeps the arrays it copied out of the world (no copy of its own: a large
copy would let go of the interpreter lock, and getting it back can take a switch interval). The
writer thread then stacks a whole chunk and stores it with one Zarr write per array, and turns the
chunk's cell arrays into table rows with a few whole-array operations (morva.cell_table).
"""

import numpy as np

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
    images : list of str
        The arrays recorded beside the labels, in the order :meth:`add` gets them ("activity",
        "field_<name>"; see :func:`morva.recording.image_names`).

    Attributes
    ----------
    start : int
        Number of the first frame held, counted from the start of the recording.
    frames : dict of list
        "labels" and each of `images`: one array per frame.
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

    def __init__(self, size, images):
        self.size = size
        self.images = list(images)
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
        self.frames = {name: [] for name in ["labels"] + self.images}
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

    def add(self, mcs, labels, images, cells):
        """Keep one frame: its MCS, label grid, its other grids (in the order of `images`) and cell arrays.

        The arrays are kept, not copied: they must be fresh copies out of the world.

        Examples
        --------
        >>> chunk = FrameChunk(2, ["field_c"]); chunk.add(5, np.zeros((1, 1, 2), np.uint32), [np.ones((1, 1, 2))], {})
        >>> chunk.times, len(chunk.frames["field_c"])
        ([5], 1)
        """
        self.times.append(mcs)
        self.frames["labels"].append(labels)
        for name, values in zip(self.images, images):
            self.frames[name].append(values)
        self.cells.append(cells)
