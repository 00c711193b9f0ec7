"""Initial tissue layouts: blocks, tilings, discs and spheres, random scatter and label images.

Every placement yields its cells as (flat site indices, cell number 1..k) on the lattice, with the
type name of each cell; the model stacks them in order and refuses overlaps unless asked for.
Coordinates are (x, y[, z]) in sites; arrays are indexed [z, y, x] with x fastest, as the engine's
site index x + nx * (y + ny * z).

Each kind declares its model-file keys once (FILE_KEYS: file key -> constructor argument; the
constructor's defaults are the file's defaults); KINDS lists the kinds by their file name.
"""

import base64
import inspect
import io
import pathlib
import zlib

import numpy as np

from ._memory import TooLargeError, require
from .validate import flag, integer, real


class Painted:
    """The cells of one placement: site indices, their cell numbers 1..k, and per-cell types.

    Examples
    --------
    >>> Painted(np.array([0, 1]), np.array([1, 1]), ["a"], None).n_cells
    1
    """

    def __init__(self, sites, cells, types, volumes):
        self.sites, self.cells, self.types, self.volumes = sites, cells, types, volumes

    @property
    def n_cells(self):
        return len(self.types)


class Placement:
    """What every kind shares: reading one from its table in a model file, the activity of its sites.

    Attributes
    ----------
    activity : int or "max"
        The Act model's activity its cells' sites start with (see :func:`start_activity`); set by
        :meth:`morva.Model.add_placement`.

    Examples
    --------
    >>> Block.required_keys()
    ['type', 'lo', 'hi']
    """

    FILE_KEYS = {}
    activity = 0

    @classmethod
    def required_keys(cls):
        """The file keys without a default, in the constructor's order."""
        parameters = inspect.signature(cls).parameters
        return [key for key, arg in cls.FILE_KEYS.items() if parameters[arg].default is inspect.Parameter.empty]

    @classmethod
    def from_entry(cls, entry, base=None, where=None, max_sites=None):
        """A placement from its model-file table (without "kind"); the keys are checked by the caller.

        `max_sites`, the lattice's site count, bounds what an image may claim before it is read.

        Examples
        --------
        >>> Block.from_entry({"type": "a", "lo": [0, 0], "hi": [2, 2]}).overlap
        False
        """
        return cls(**{cls.FILE_KEYS[key]: value for key, value in entry.items()})


def _point(what, value, ndim, *, real_values=False):
    if isinstance(value, (str, bytes)) or not hasattr(value, "__len__") or len(value) != ndim:
        raise ValueError(f"{what} must have {ndim} coordinates, got {value!r}")
    check = real if real_values else integer
    return tuple(check(f"{what}[{i}]", v) for i, v in enumerate(value))


def _box_sites(dims, lo, hi):
    """Flat site indices of the box lo <= x < hi (3-D bounds)."""
    nx, ny, _ = dims
    z, y, x = np.meshgrid(*(np.arange(lo[a], hi[a]) for a in (2, 1, 0)), indexing="ij")
    return (x + nx * (y + ny * z)).ravel().astype(np.int64)


def _pad3(point, fill):
    return tuple(point) + (fill,) * (3 - len(point))


def _check_box(where, dims, lo, hi):
    for axis, (a, b, n) in enumerate(zip(lo, hi, dims)):
        if not 0 <= a < b <= n:
            raise ValueError(f"{where}: box {lo}..{hi} must satisfy 0 <= lo < hi <= {dims[:len(lo)]} on every axis "
                             f"(axis {'xyz'[axis]})")


class Block(Placement):
    """One cell filling an axis-aligned box (see :meth:`morva.Model.add_block`).

    Examples
    --------
    >>> Block("a", (0, 0), (2, 3), False).paint((4, 4, 1), True, None).sites.size
    6
    """

    kind = "block"
    FILE_KEYS = {"type": "type_name", "lo": "lo", "hi": "hi", "overlap": "overlap"}

    def __init__(self, type_name, lo, hi, overlap=False):
        self.type_name, self.overlap = type_name, flag("block: overlap", overlap)
        self.lo, self.hi = lo, hi

    n_cells = 1

    def type_names(self):
        return [self.type_name]

    def check(self, dims, periodic):
        ndim = 3 if dims[2] > 1 else 2
        self.lo = _point("block: lo", self.lo, ndim)
        self.hi = _point("block: hi", self.hi, ndim)
        _check_box("block", dims, _pad3(self.lo, 0), _pad3(self.hi, 1))

    def paint(self, dims, periodic, occupied):
        sites = _box_sites(dims, _pad3(self.lo, 0), _pad3(self.hi, 1))
        return Painted(sites, np.ones(sites.size, dtype=np.int64), [self.type_name], None)

    def to_dict(self, embed_images=False, base=None):
        return {"kind": self.kind, "type": self.type_name, "lo": list(self.lo), "hi": list(self.hi),
                "overlap": self.overlap}


class Tiling(Placement):
    """Cells of side `size` tiling a box (see :meth:`morva.Model.add_tiling`).

    Examples
    --------
    >>> t = Tiling(["a", "b"], (0, 0), (4, 4), 2, "checkerboard", 0, False); t.check((4, 4, 1), True)
    >>> t.paint((4, 4, 1), True, None).types
    ['a', 'b', 'b', 'a']
    """

    kind = "tiling"
    FILE_KEYS = {key: key for key in ("types", "lo", "hi", "size", "pattern", "seed", "overlap")}
    PATTERNS = ("checkerboard", "random")

    def __init__(self, types, lo, hi, size, pattern="checkerboard", seed=0, overlap=False):
        self.types = [types] if isinstance(types, str) else list(types)
        if not self.types:
            raise ValueError("tiling: types must name at least one cell type")
        self.lo, self.hi, self.size = lo, hi, integer("tiling: size", size, minimum=1)
        if pattern not in self.PATTERNS:
            raise ValueError(f"tiling: pattern must be one of {self.PATTERNS}, got {pattern!r}")
        self.pattern, self.seed = pattern, integer("tiling: seed", seed, minimum=0)
        self.overlap = flag("tiling: overlap", overlap)

    def type_names(self):
        return list(self.types)

    def check(self, dims, periodic):
        ndim = 3 if dims[2] > 1 else 2
        self.lo = _point("tiling: lo", self.lo, ndim)
        self.hi = _point("tiling: hi", self.hi, ndim)
        _check_box("tiling", dims, _pad3(self.lo, 0), _pad3(self.hi, 1))
        for axis in range(ndim):
            if (self.hi[axis] - self.lo[axis]) % self.size:
                raise ValueError(f"tiling: the box side {self.hi[axis] - self.lo[axis]} on axis {'xyz'[axis]} "
                                 f"is not a multiple of the tile size {self.size}")

    @property
    def n_cells(self):
        counts = [(b - a) // self.size for a, b in zip(self.lo, self.hi)]
        return int(np.prod(counts))

    def paint(self, dims, periodic, occupied):
        ndim = len(self.lo)
        lo3, hi3 = _pad3(self.lo, 0), _pad3(self.hi, 1)
        counts = [(hi3[a] - lo3[a]) // self.size if a < ndim else 1 for a in range(3)]
        sites = _box_sites(dims, lo3, hi3)
        nx, ny, _ = dims
        x, y, z = sites % nx, (sites // nx) % ny, sites // (nx * ny)
        bx, by = (x - lo3[0]) // self.size, (y - lo3[1]) // self.size
        bz = (z - lo3[2]) // self.size if ndim == 3 else np.zeros_like(bx)
        cells = 1 + bx + counts[0] * (by + counts[1] * bz)
        tiles = np.indices(counts[::-1]).reshape(3, -1)[::-1]  # (bx, by, bz), bx fastest
        if self.pattern == "checkerboard":
            kinds = tiles.sum(axis=0) % len(self.types)
        else:
            kinds = np.random.default_rng(self.seed).integers(0, len(self.types), size=tiles.shape[1])
        return Painted(sites, cells, [self.types[k] for k in kinds], None)

    def to_dict(self, embed_images=False, base=None):
        return {"kind": self.kind, "types": list(self.types), "lo": list(self.lo), "hi": list(self.hi),
                "size": self.size, "pattern": self.pattern, "seed": self.seed, "overlap": self.overlap}


def _ball_offsets(radius, ndim):
    r = int(np.floor(radius))
    axes = [np.arange(-r, r + 1)] * ndim + [np.zeros(1, dtype=np.int64)] * (3 - ndim)
    dz, dy, dx = np.meshgrid(axes[2], axes[1], axes[0], indexing="ij")
    inside = dx**2 + dy**2 + dz**2 <= radius * radius
    return dx[inside], dy[inside], dz[inside]


def _ball_sites(where, dims, periodic, centre, radius):
    ndim = 3 if dims[2] > 1 else 2
    for axis in range(ndim):  # before the offsets are made: a huge radius would take all memory
        if 2 * int(radius) + 1 > dims[axis]:
            raise ValueError(f"{where}: a ball of radius {radius:g} is wider than the box ({dims[axis]} sites "
                             f"on axis {'xyz'[axis]})")
    dx, dy, dz = _ball_offsets(radius, ndim)
    # A centre far outside the box stands for the same ball as one just outside (closed box: it
    # leaves the box either way) or one inside (periodic box); the near one fits in an integer.
    near = [v % n if periodic else min(max(v, -radius - 1), n + radius + 1) for v, n in zip(_pad3(centre, 0), dims)]
    c = [int(round(v)) for v in near]
    coords = [dx + c[0], dy + c[1], dz + c[2]]
    for axis in range(ndim):
        if periodic:
            coords[axis] = coords[axis] % dims[axis]
        elif coords[axis].min() < 0 or coords[axis].max() >= dims[axis]:
            raise ValueError(f"{where}: a ball of radius {radius:g} at {tuple(centre)} leaves the closed box "
                             f"{dims[:ndim]} on axis {'xyz'[axis]}")
    nx, ny, _ = dims
    return (coords[0] + nx * (coords[1] + ny * coords[2])).astype(np.int64)


class Ball(Placement):
    """One round cell, a disc in 2-D or a sphere in 3-D (periodic boxes wrap it around).

    Examples
    --------
    >>> b = Disc("a", (5, 5), 1); b.check((10, 10, 1), True)
    >>> b.paint((10, 10, 1), True, None).sites.size
    5
    """

    n_cells = 1
    FILE_KEYS = {"type": "type_name", "centre": "centre", "radius": "radius", "overlap": "overlap"}
    NDIM = None
    WRONG_NDIM = None

    def __init__(self, type_name, centre, radius, overlap=False):
        self.type_name, self.centre = type_name, centre
        self.radius = real(f"{self.kind}: radius", radius, above=0)
        self.overlap = flag(f"{self.kind}: overlap", overlap)

    def type_names(self):
        return [self.type_name]

    def check(self, dims, periodic):
        ndim = 3 if dims[2] > 1 else 2
        if ndim != self.NDIM:
            raise ValueError(self.WRONG_NDIM)
        self.centre = _point(f"{self.kind}: centre", self.centre, ndim, real_values=True)
        _ball_sites(self.kind, dims, periodic, self.centre, self.radius)

    def paint(self, dims, periodic, occupied):
        sites = _ball_sites(self.kind, dims, periodic, self.centre, self.radius)
        return Painted(sites, np.ones(sites.size, dtype=np.int64), [self.type_name], None)

    def to_dict(self, embed_images=False, base=None):
        return {"kind": self.kind, "type": self.type_name, "centre": list(self.centre), "radius": self.radius,
                "overlap": self.overlap}


class Disc(Ball):
    """A round cell in a 2-D model (see :meth:`morva.Model.add_disc`)."""

    kind = "disc"
    NDIM = 2
    WRONG_NDIM = "add_disc is for 2-D models; use add_sphere in 3-D"


class Sphere(Ball):
    """A ball-shaped cell in a 3-D model (see :meth:`morva.Model.add_sphere`)."""

    kind = "sphere"
    NDIM = 3
    WRONG_NDIM = "add_sphere is for 3-D models; use add_disc in 2-D"


class Scatter(Placement):
    """`n` round cells at random centres in a box, touching nothing placed before them.

    Examples
    --------
    >>> s = Scatter("a", 3, 1.5, None, None, 0); s.check((20, 20, 1), True)
    >>> s.paint((20, 20, 1), True, np.zeros(400, dtype=bool)).n_cells
    3
    """

    kind = "scatter"
    FILE_KEYS = {"type": "type_name", "n": "n", "radius": "radius", "lo": "lo", "hi": "hi", "seed": "seed"}
    overlap = False
    ATTEMPTS_PER_CELL = 1000  # draws in a row that find no free spot before the scatter gives up

    def __init__(self, type_name, n, radius, lo=None, hi=None, seed=0):
        self.type_name = type_name
        self.n_cells = integer("scatter: n", n, minimum=1)
        self.radius = real("scatter: radius", radius, above=0)
        self.lo, self.hi, self.seed = lo, hi, integer("scatter: seed", seed, minimum=0)

    def type_names(self):
        return [self.type_name]

    def check(self, dims, periodic):
        ndim = 3 if dims[2] > 1 else 2
        self.lo = _point("scatter: lo", self.lo if self.lo is not None else (0,) * ndim, ndim)
        self.hi = _point("scatter: hi", self.hi if self.hi is not None else dims[:ndim], ndim)
        _check_box("scatter", dims, _pad3(self.lo, 0), _pad3(self.hi, 1))
        volume = len(_ball_offsets(self.radius, ndim)[0])
        region = int(np.prod([b - a for a, b in zip(self.lo, self.hi)]))
        if volume * self.n_cells > region:
            raise ValueError(f"scatter: {self.n_cells} cells of {volume} sites cannot fit in a region of "
                             f"{region} sites")

    def paint(self, dims, periodic, occupied):
        rng = np.random.default_rng(self.seed)
        taken = occupied.copy()
        sites, cells = [], []
        attempts = failed = 0
        # A region too full to pack is found out by a run of failures, not by the whole budget:
        # long runs stop soon after the last cell that fitted.
        while len(sites) < self.n_cells:
            attempts += 1
            if attempts > self.ATTEMPTS_PER_CELL * self.n_cells or failed >= self.ATTEMPTS_PER_CELL:
                raise ValueError(f"scatter: placed only {len(sites)} of {self.n_cells} cells of radius "
                                 f"{self.radius:g} without overlap ({failed} draws in a row found no room); "
                                 "use fewer or smaller cells or a larger region")
            failed += 1
            centre = tuple(int(rng.integers(a, b)) for a, b in zip(self.lo, self.hi))
            try:
                ball = _ball_sites("scatter", dims, periodic, centre, self.radius)
            except ValueError:
                continue
            if taken[ball].any():
                continue
            taken[ball] = True
            failed = 0
            sites.append(ball)
            cells.append(np.full(ball.size, len(sites), dtype=np.int64))
        return Painted(np.concatenate(sites), np.concatenate(cells), [self.type_name] * self.n_cells, None)

    def to_dict(self, embed_images=False, base=None):
        return {"kind": self.kind, "type": self.type_name, "n": self.n_cells, "radius": self.radius,
                "lo": list(self.lo), "hi": list(self.hi), "seed": self.seed}


def read_label_image(source, max_pixels=None):
    """A label image as an integer array from an array, or a .npy, .tif/.tiff or .png file.

    Raises
    ------
    ValueError
        For a multi-channel picture, a non-integer or negative image, an unknown file kind, or a
        file whose header claims more than `max_pixels` pixels or more memory than there is (checked
        before the pixels are decoded).

    Examples
    --------
    >>> read_label_image(np.array([[0, 3], [3, 0]])).dtype
    dtype('int64')
    """
    if isinstance(source, (str, pathlib.Path)):
        path = pathlib.Path(source)
        suffix = path.suffix.lower()
        if not path.is_file():
            raise ValueError(f"label image {str(path)!r} does not exist")
        if suffix not in IMAGE_SUFFIXES:
            raise ValueError(f"label image {str(path)!r}: unknown file kind {suffix!r} (use .npy, .tif, .tiff or .png)")
        try:
            _check_image_size(path, suffix, max_pixels)
            image = _read_image_file(path, suffix)
        except ValueError as err:
            if str(err).startswith("label image"):
                raise
            raise ValueError(f"label image {str(path)!r} cannot be read: {err}") from None
        except Exception as err:  # the image libraries' own errors, a decompression bomb among them
            raise ValueError(f"label image {str(path)!r} cannot be read: {err}") from None
        if suffix == ".png" and image.ndim == 3:
            raise ValueError(f"label image {str(path)!r} has {image.shape[2]} colour channels; "
                             "a segmentation mask must be a single-channel (grey) image")
        where = f"label image {str(path)!r}"
    else:
        image = np.asarray(source)
        where = "label image"
    if image.dtype == bool or not np.issubdtype(image.dtype, np.integer):
        raise ValueError(f"{where} must hold integers, got dtype {image.dtype}")
    if image.ndim not in (2, 3):
        raise ValueError(f"{where} must be 2-D [y, x] or 3-D [z, y, x], got shape {image.shape}")
    if image.size and image.min() < 0:
        raise ValueError(f"{where} holds negative values")
    if image.size and image.max() > 2**32 - 1:
        raise ValueError(f"{where} holds values above 2**32 - 1")
    return image.astype(np.int64)


IMAGE_SUFFIXES = (".npy", ".tif", ".tiff", ".png")


def _check_image_size(path, suffix, max_pixels):
    """Refuse an image file whose header claims too many pixels, before decoding it."""
    if suffix == ".npy":
        shape, itemsize = _npy_header(path)
    elif suffix == ".png":
        from PIL import Image

        with Image.open(path) as image:  # reads the header only
            shape, itemsize = image.size[::-1], 4 * len(image.getbands())
    else:
        import tifffile

        with tifffile.TiffFile(path) as tiff:
            series = tiff.series[0]
            shape, itemsize = series.shape, series.dtype.itemsize
    pixels = int(np.prod(shape, dtype=object))
    where = f"label image {str(path)!r}"
    if max_pixels is not None and pixels > max_pixels:
        raise ValueError(f"{where} has {pixels} pixels (shape {tuple(shape)}), more than the lattice's "
                         f"{max_pixels} sites")
    require(where, pixels * (itemsize + 8))  # the decoded image and its int64 copy


def _npy_header(path):
    with open(path, "rb") as data:
        shape, dtype = _read_npy_header(data)
    return shape, dtype.itemsize


def _read_npy_header(stream):
    """Shape and dtype from the header of a .npy stream, leaving it at the first data byte."""
    version = np.lib.format.read_magic(stream)
    read = np.lib.format.read_array_header_1_0 if version == (1, 0) else np.lib.format.read_array_header_2_0
    shape, _, dtype = read(stream)
    return shape, dtype


def _read_image_file(path, suffix):
    if suffix == ".npy":
        return np.load(path, allow_pickle=False)
    if suffix in (".tif", ".tiff"):
        import tifffile

        return tifffile.imread(path)
    import imageio.v3 as iio

    return iio.imread(path)


def encode_image(image):
    """Compressed text form of an integer image, for embedding in a model file.

    Examples
    --------
    >>> (decode_image(encode_image(np.eye(3, dtype=np.int64))) == np.eye(3)).all()
    np.True_
    """
    buffer = io.BytesIO()
    np.save(buffer, np.ascontiguousarray(image, dtype=np.uint32), allow_pickle=False)
    return base64.b64encode(zlib.compress(buffer.getvalue(), 6)).decode("ascii")


def decode_image(text, max_pixels=None):
    """The inverse of :func:`encode_image`; an image of more than `max_pixels` pixels is refused before it is inflated.

    Examples
    --------
    >>> decode_image(encode_image(np.zeros((2, 2), dtype=np.int64))).shape
    (2, 2)
    """
    try:
        packed = base64.b64decode(text.encode("ascii"), validate=True)
        raw = _inflate_image(packed, max_pixels)
        return np.load(io.BytesIO(raw), allow_pickle=False).astype(np.int64)
    except TooLargeError:
        raise
    except Exception as err:
        raise ValueError(f"embedded label image is corrupt: {err}") from None


def _inflate_image(packed, max_pixels):
    """The bytes of a compressed .npy image, refused before inflating when its header claims too much memory."""
    inflater = zlib.decompressobj()
    head = inflater.decompress(packed, 4096)
    stream = io.BytesIO(head)
    shape, dtype = _read_npy_header(stream)
    pixels = int(np.prod(shape, dtype=object))
    if max_pixels is not None and pixels > max_pixels:
        raise TooLargeError(f"embedded label image has {pixels} pixels (shape {tuple(shape)}), more than the "
                            f"lattice's {max_pixels} sites")
    size = stream.tell() + pixels * dtype.itemsize
    require("embedded label image", size + pixels * 8)
    raw = head + inflater.decompress(inflater.unconsumed_tail, size - len(head) + 1)
    if len(raw) != size or inflater.unconsumed_tail:
        raise ValueError(f"it inflates to other than the {size} bytes its header gives")
    return raw


class LabelImage(Placement):
    """Cells from a label image (see :meth:`morva.Model.add_label_image`).

    Examples
    --------
    >>> img = np.array([[0, 5], [5, 9]])
    >>> li = LabelImage(img, {9: "b"}, "a", None, False, False); li.check((2, 2, 1), True)
    >>> li.paint((2, 2, 1), True, None).types
    ['a', 'b']
    """

    kind = "label_image"
    # The image comes from a file (path) or embedded in the model file (data and shape).
    FILE_KEYS = {"path": "image", "shape": "image", "data": "image", "types": "types",
                 "default_type": "default_type", "offset": "offset", "own_volume": "own_volume", "overlap": "overlap"}

    @classmethod
    def required_keys(cls):
        return []

    @classmethod
    def from_entry(cls, entry, base=None, where="label_image", max_sites=None):
        """A label image placement from its model-file table; a relative path is read from `base`.

        Examples
        --------
        >>> image = np.array([[0, 1], [1, 1]])
        >>> LabelImage.from_entry({"data": encode_image(image), "default_type": "a"}).n_cells
        1
        """
        entry = dict(entry)
        if ("path" in entry) == ("data" in entry):
            raise ValueError(f"{where} needs either path or data")
        if "path" in entry:
            path = pathlib.Path(entry.pop("path"))
            image = path if path.is_absolute() or base is None else pathlib.Path(base) / path
        else:
            image = decode_image(entry.pop("data"), max_pixels=max_sites)
            if list(image.shape) != list(entry.pop("shape", image.shape)):
                raise ValueError(f"{where} data does not match its shape")
        return cls(image, **entry, max_pixels=max_sites)

    def __init__(self, image, types=None, default_type=None, offset=None, own_volume=False, overlap=False, *,
                 max_pixels=None):
        self.path = pathlib.Path(image).resolve() if isinstance(image, (str, pathlib.Path)) else None
        self.image = read_label_image(image, max_pixels)
        self.values = np.unique(self.image[self.image > 0])
        types = dict(types or {})
        self.types = {}
        for value, type_name in types.items():
            v = integer("label image: types key", int(value) if isinstance(value, str) and value.isdigit() else value,
                        minimum=1)
            self.types[v] = type_name
        self.default_type = default_type
        missing = [int(v) for v in self.values if int(v) not in self.types]
        if missing and default_type is None:
            raise ValueError(f"label image: values {missing[:5]}{'...' if len(missing) > 5 else ''} have no type; "
                             "give default_type or list them in types")
        self.offset = offset
        self.own_volume = flag("label image: own_volume", own_volume)
        self.overlap = flag("label image: overlap", overlap)

    @property
    def n_cells(self):
        return int(self.values.size)

    def type_names(self):
        names = set(self.types.values())
        if self.default_type is not None:
            names.add(self.default_type)
        return sorted(names)

    def _image3(self):
        return self.image[None] if self.image.ndim == 2 else self.image

    def check(self, dims, periodic):
        ndim = 3 if dims[2] > 1 else 2
        if self.image.ndim != ndim and not (ndim == 3 and self.image.ndim == 2):
            raise ValueError(f"label image: a {self.image.ndim}-D image does not fit a {ndim}-D lattice")
        shape_xyz = self._image3().shape[::-1]
        if self.offset is None:
            if shape_xyz[:ndim] != dims[:ndim] or (ndim == 3 and shape_xyz[2] != dims[2]):
                want = dims[1::-1] if ndim == 2 else dims[::-1]
                raise ValueError(f"label image: shape {self.image.shape} does not match the lattice "
                                 f"(expected {tuple(want)} as [{'y, x' if ndim == 2 else 'z, y, x'}]); "
                                 "give an offset to place a smaller image")
            self.offset = (0,) * ndim
        self.offset = _point("label image: offset", self.offset, ndim)
        lo = _pad3(self.offset, 0)
        hi = tuple(a + s for a, s in zip(lo, shape_xyz))
        for axis in range(3):
            if lo[axis] < 0 or hi[axis] > dims[axis]:
                raise ValueError(f"label image: shape {self.image.shape} at offset {self.offset} does not fit "
                                 f"the lattice {dims[:ndim]} (axis {'xyz'[axis]})")

    def paint(self, dims, periodic, occupied):
        image = self._image3()
        lo = _pad3(self.offset, 0)
        hi = tuple(a + s for a, s in zip(lo, image.shape[::-1]))
        sites = _box_sites(dims, lo, hi)
        flat = image.ravel()
        keep = flat > 0
        numbers = np.searchsorted(self.values, flat[keep]) + 1
        counts = np.bincount(numbers, minlength=self.values.size + 1)[1:]
        types = [self.types.get(int(v), self.default_type) for v in self.values]
        volumes = counts.astype(float) if self.own_volume else None
        return Painted(sites[keep], numbers, types, volumes)

    def to_dict(self, embed_images=False, base=None):
        out = {"kind": self.kind}
        if self.path is not None and not embed_images:
            out["path"] = str(_relative(self.path, base))
        else:
            out["shape"] = list(self.image.shape)
            out["data"] = encode_image(self.image)
        out["types"] = {str(k): v for k, v in self.types.items()}
        if self.default_type is not None:
            out["default_type"] = self.default_type
        out.update({"offset": list(self.offset), "own_volume": self.own_volume, "overlap": self.overlap})
        return out


def _relative(path, base):
    if base is None:
        return path
    try:
        return path.relative_to(pathlib.Path(base).resolve())
    except ValueError:
        return path


def compose(placements, dims, periodic):
    """Stack placements into one label grid of cell ids 1..n and per-cell type names and volumes.

    Returns
    -------
    labels : ndarray of uint32, shape (n_sites,)
    types : list of str
    volumes : list of float or None
        Per-cell target volume, None where the type's volume applies.
    activities : list of int or "max"
        Per-cell starting activity of its sites: the `activity` of the placement that made it.

    Raises
    ------
    ValueError
        When a placement covers sites of an earlier one and was not given overlap=True.

    Examples
    --------
    >>> b = Block("a", (0, 0), (2, 2)); b.check((4, 4, 1), True)
    >>> compose([b], (4, 4, 1), True)[0].reshape(4, 4)[0]
    array([1, 1, 0, 0], dtype=uint32)
    """
    n_sites = dims[0] * dims[1] * dims[2]
    labels = np.zeros(n_sites, dtype=np.uint32)
    types, volumes, activities = [], [], []
    for index, item in enumerate(placements):
        painted = item.paint(dims, periodic, labels != 0)
        if not item.overlap and labels[painted.sites].any():
            hit = int(painted.sites[labels[painted.sites] != 0][0])
            x, y, z = hit % dims[0], (hit // dims[0]) % dims[1], hit // (dims[0] * dims[1])
            raise ValueError(f"placement {index} ({item.kind}) overlaps an earlier placement at site "
                             f"(x={x}, y={y}, z={z}); pass overlap=True to paint over it")
        labels[painted.sites] = painted.cells + len(types)
        types.extend(painted.types)
        volumes.extend(painted.volumes if painted.volumes is not None else [None] * painted.n_cells)
        activities.extend([item.activity] * painted.n_cells)
    return labels, types, volumes, activities


def start_activity(where, value, type_names, max_act):
    """Check the starting activity of a placement's sites: 0, "max" or an integer up to max_act.

    Parameters
    ----------
    where : str
        The placement, for messages.
    value : int or "max"
        "max": each cell's sites start at its type's max_act; an integer: every site at it.
    type_names : list of str
        The placement's cell types.
    max_act : dict
        max_act of every cell type by name (0 without the Act model).

    Examples
    --------
    >>> start_activity("block", "max", ["t"], {"t": 20}), start_activity("block", 5, ["t"], {"t": 20})
    ('max', 5)
    >>> start_activity("block", 30, ["t"], {"t": 20})
    Traceback (most recent call last):
    ...
    ValueError: block: activity 30 is above max_act 20 of cell type 't'
    """
    if isinstance(value, str):
        if value != "max":
            raise ValueError(f'{where}: activity must be an integer from 0 to 65535 or "max", got {value!r}')
    else:
        value = integer(f"{where}: activity", value, minimum=0)
    if value == 0:
        return 0
    for name in type_names:
        if not max_act[name]:
            raise ValueError(f"{where}: activity {value!r} needs the Act model, but cell type {name!r} has no "
                             "lambda_act and max_act")
        if value != "max" and value > max_act[name]:
            raise ValueError(f"{where}: activity {value} is above max_act {max_act[name]} of cell type {name!r}")
    return value


KINDS = {kind.kind: kind for kind in (Block, Tiling, Disc, Sphere, Scatter, LabelImage)}
