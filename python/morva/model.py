"""A Cellular Potts model described by name: lattice, cell types, contact energies, fields, placements.

Time is counted in Monte Carlo steps (MCS): one MCS offers every lattice site one copy attempt on
average, and every field advances by one unit of time after each MCS. All rates below are therefore
per MCS; lengths and volumes are in lattice sites.
"""

import copy
import dataclasses
import math
import warnings

import numpy as np

from . import modelfile
from . import placement as _placement
from . import terms
from .cell_ode import declared_cell_ode
from .cell_state import CellVariable, constants
from .neighborhood import NEIGHBORHOODS, compact_surface, neighborhood_order
from .reactions import Reaction, needed_substeps
from .rules import Rule
from .sbml import SBMLModel
from .validate import integer, name, real

MEDIUM = "medium"
# A target surface below this share of the smallest surface a cell of its volume can have squeezes
# every cell so hard that the tissue freezes.
LOW_SURFACE_SHARE = 0.75
# Above this many sites the compact shape is not built (the check would cost seconds).
SURFACE_CHECK_MAX_VOLUME = 200_000
BOUNDARIES = ("periodic", "noflux")
MAX_TYPES = 65535
# World options (docs/world-options.md), as the engine declares them; all on unless a model turns them off.
WORLD_OPTIONS = terms.WORLD_OPTIONS
MAX_SITES = 2**31
FIELD_ATTRS = f"{', '.join(terms.FIELD_ATTRS[:-1])} or {terms.FIELD_ATTRS[-1]}"
# One MCS with this many diffusion sub-steps already costs as much as thousands of copy sweeps.
MAX_SUBSTEPS = 10_000
UNSTORABLE = "/\\"  # a field name is part of a file path in recordings
RESERVED_FIELD_NAMES = ("activity",)  # pictures, movies and exports name the Act model's activity so


@dataclasses.dataclass
class CellType:
    """Parameters shared by every cell of one type (volumes in sites, energies in units of J).

    Attributes
    ----------
    name : str
        The type's name; the medium is the implicit type "medium" (id 0).
    volume, lambda_volume : float
        Target volume and the strength of the volume term lambda_volume * (V - volume)**2.
    surface, lambda_surface : float
        Target surface and the strength of the surface term lambda_surface * (S - surface)**2 (0
        turns it off). Surfaces count unlike-neighbour pairs in the model's neighbourhood: a 7 x 7
        square has surface 28 with "von_neumann" neighbours and 80 with "moore" ones;
        :func:`morva.compact_surface` gives the surface of a round cell of a given volume.
    connectivity : bool
        Refuse copies that would split a cell of this type.
    length, lambda_length : float
        Target length of the major axis and its strength (0 turns the length term off).
    force : tuple of float
        Constant force (fx, fy, fz) on the type, in energy per lattice spacing; with the model's
        com_force option (the default) it acts on each cell's centre of mass and cells drift along
        it, else on every site of the type.
    lambda_act, max_act : float, int
        The Act model: a site a cell of the type takes holds activity max_act (0..65535), which
        drops by 1 per MCS; copies into more active parts of the cell are favoured with strength
        lambda_act (>= 0), so the cell crawls. Both or neither non-zero (0: off); the model's
        `act_mean` chooses how a site's activity is averaged with its cell neighbours'.
    lambda_dir, persistence_interval, persistence : float, int, float
        Persistent motion: each cell of the type holds a preferred direction p, and a copy that
        moves its centre by dc costs -lambda_dir * p . dc / |dc| (lambda_dir >= 0; 0: off). Every
        persistence_interval MCS (>= 1) p turns to the cell's own displacement over them, rotated
        by a random angle of at most pi * (1 - persistence) (persistence in [0, 1]; 1: no noise,
        0: a fresh random direction; in 3-D uniformly over that cone). Directions start random,
        drawn from the simulation's seed; :meth:`morva.Simulation.set_directions` sets them.
    colour : str or None
        Colour of the type in every picture, movie and viewer (a matplotlib colour: a name such
        as "tab:blue" or "#2f4b7c"); None takes the next colour of the default palette.

    Examples
    --------
    >>> CellType("dark", volume=100, lambda_volume=1).surface
    0.0
    """

    name: str
    volume: float
    lambda_volume: float
    surface: float = 0.0
    lambda_surface: float = 0.0
    connectivity: bool = False
    length: float = 0.0
    lambda_length: float = 0.0
    force: tuple = (0.0, 0.0, 0.0)
    lambda_act: float = 0.0
    max_act: int = 0
    lambda_dir: float = 0.0
    persistence_interval: int = 10
    persistence: float = 1.0
    colour: str | None = None

    def __post_init__(self):
        where = f"cell type {self.name!r}"
        name(f"{where}: name", self.name)
        if self.name == MEDIUM:
            raise ValueError(f"cell type name {MEDIUM!r} is reserved for the medium (type 0)")
        for parameter in terms.parameters("type"):
            setattr(self, parameter.name, parameter.checked(where, getattr(self, parameter.name)))
        if (self.lambda_act == 0) != (self.max_act == 0):
            raise ValueError(f"{where}: lambda_act and max_act must be both non-zero (the Act model) or both 0, "
                             f"got lambda_act={self.lambda_act:g}, max_act={self.max_act}")
        if self.colour is not None and (not isinstance(self.colour, str) or not self.colour.strip()):
            raise ValueError(f"{where}: colour must be a colour name or code such as 'tab:blue' or '#2f4b7c', "
                             f"got {self.colour!r}")


TYPE_ATTRS = terms.TYPE_ATTRS


@dataclasses.dataclass
class Chemotaxis:
    """Chemotaxis of one cell type along one field.

    A positive `strength` moves cells up the gradient (towards higher concentration), a negative
    one down it. With `kd` > 0 the cell senses the receptor occupancy x**hill / (kd**hill + x**hill)
    of x = scale * concentration instead of the concentration itself, so the pull saturates.

    Examples
    --------
    >>> Chemotaxis(strength=500.0).kd
    0.0
    """

    strength: float
    kd: float = 0.0
    hill: float = 1.0
    scale: float = 1.0

    def check(self, where):
        for parameter in terms.parameters("chemotaxis"):
            setattr(self, parameter.name, parameter.checked(where, getattr(self, parameter.name)))


@dataclasses.dataclass
class FieldSpec:
    """A chemical field on every lattice site, with rates per Monte Carlo step.

    Attributes
    ----------
    name : str
    diffusion : float
        Diffusion coefficient in sites**2 per MCS (>= 0).
    decay : float
        First-order decay rate per MCS (>= 0).
    substeps : int or None
        Diffusion sub-steps per MCS. None picks the fewest that keep the explicit scheme stable;
        a fixed number is refused when it is too small.
    secretion, uptake : dict
        Amount added (removed) per site of a cell of the named type per MCS.
    chemotaxis : dict
        :class:`Chemotaxis` by cell type name.

    Examples
    --------
    >>> FieldSpec("cAMP", diffusion=0.1).decay
    0.0
    """

    name: str
    diffusion: float
    decay: float = 0.0
    substeps: int | None = None
    secretion: dict = dataclasses.field(default_factory=dict)
    uptake: dict = dataclasses.field(default_factory=dict)
    chemotaxis: dict = dataclasses.field(default_factory=dict)

    def __post_init__(self):
        where = f"field {self.name!r}"
        name(f"{where}: name", self.name)
        if any(c in self.name for c in UNSTORABLE) or not self.name.isprintable():
            raise ValueError(f"{where}: a field name must not contain '/' or '\\' or control characters: it names "
                             "the field's array in recordings")
        if self.name in RESERVED_FIELD_NAMES:
            raise ValueError(f"{where}: the name {self.name!r} is taken by the Act model's activity in pictures, "
                             "movies and exports; choose another name")
        self.diffusion = terms.parameter("field", "diffusion").checked(where, self.diffusion)
        self.decay = terms.parameter("field", "decay").checked(where, self.decay)
        if self.substeps is not None:
            self.substeps = integer(f"{where}: substeps", self.substeps, maximum=MAX_SUBSTEPS,
                                    **terms.parameter("field", "substeps").limits)

    def stability_load(self, ndim):
        """Diffusion and decay per MCS, 2 * ndim * diffusion + decay (2 * ndim face neighbours).

        One explicit step of length dt damps every spatial mode without flipping its sign when
        dt * (2 * ndim * diffusion + decay) <= 1/2; up to 1 it stays non-negative but lets the
        site-to-site checkerboard mode survive, beyond 1 it grows without bound.

        Examples
        --------
        >>> FieldSpec("c", diffusion=1.0).stability_load(2)
        4.0
        """
        return 2 * ndim * self.diffusion + self.decay

    def resolved_substeps(self, ndim):
        """Sub-steps per MCS: the given number if it is stable, else the fewest stable ones.

        Raises
        ------
        ValueError
            When a fixed number of sub-steps is too small for the diffusion and decay.

        Examples
        --------
        >>> FieldSpec("c", diffusion=1.0).resolved_substeps(2)
        8
        """
        load = self.stability_load(ndim)
        if not 2 * load <= MAX_SUBSTEPS:  # also infinite loads
            raise ValueError(
                f"field {self.name!r}: diffusion {self.diffusion:g} and decay {self.decay:g} would need more than "
                f"{MAX_SUBSTEPS} sub-steps per MCS in {ndim}-D; use smaller rates (shorter MCS or coarser sites)"
            )
        needed = max(1, math.ceil(2 * load))
        if self.substeps is None:
            return needed
        if self.substeps < needed:
            raise ValueError(
                f"field {self.name!r}: substeps = {self.substeps} is unstable for diffusion {self.diffusion:g} "
                f"and decay {self.decay:g} in {ndim}-D (needs at least {needed}); leave substeps unset to choose "
                "them automatically"
            )
        return self.substeps


class Model:
    """A Cellular Potts model: lattice, named cell types, contact energies, fields and placements.

    Parameters
    ----------
    shape : tuple of int
        (nx, ny) for a 2-D model or (nx, ny, nz) for a 3-D one, in sites.
    boundary : {"periodic", "noflux"}
        "periodic" wraps every axis; "noflux" closes the box.
    neighborhood : str or int
        "von_neumann" (1: 4 neighbours in 2-D, 6 in 3-D), "moore" (2: 8 in 2-D, 18 in 3-D) or
        "full" (3: 8 in 2-D, 26 in 3-D), or the order 1, 2 or 3.
    temperature : float
        Boltzmann temperature of the copy attempts (> 0).
    default_contact : float, optional
        Contact energy of every pair of types that is not set with :meth:`set_contact`. Without it
        every pair of types that can touch needs its own energy, or :meth:`build` refuses the model
        and names the missing pairs.
    world_options : bool or dict, optional
        The engine's world options (docs/world-options.md): "periodic_shapes" (centres, lengths and
        divisions follow cells across periodic seams), "com_force" (forces act on centres of mass)
        and "face_connectivity" (guarded cells stay connected through faces). All on by default;
        False turns all off (the bare engine's behaviour), a dict sets the ones it names.
    act_mean : {"geometric", "arithmetic"}, optional
        How the Act model (:class:`CellType` lambda_act, max_act) averages the activity of a site
        and of its neighbours in the same cell: the geometric mean (0 as soon as one of them is 0)
        or the arithmetic one.

    Examples
    --------
    >>> m = Model((100, 100), temperature=10)
    >>> m.add_type("dark", volume=50, lambda_volume=1).set_contact("medium", "dark", 16).n_types
    2
    """

    # What a model file may set, read by morva.modelfile.
    TYPE_ATTRS = TYPE_ATTRS
    WORLD_OPTIONS = WORLD_OPTIONS

    def __init__(self, shape, boundary="periodic", neighborhood="moore", temperature=10.0, *, default_contact=None,
                 world_options=None, act_mean="geometric"):
        if isinstance(shape, (str, bytes)) or not hasattr(shape, "__len__") or len(shape) not in (2, 3):
            raise ValueError(f"shape must be (nx, ny) or (nx, ny, nz), got {shape!r}")
        sizes = tuple(integer(f"shape[{i}]", s, minimum=1, maximum=2**31 - 1) for i, s in enumerate(shape))
        if len(sizes) == 3 and sizes[2] == 1:
            sizes = sizes[:2]
        if int(np.prod(sizes, dtype=np.float64)) > MAX_SITES:
            raise ValueError(f"shape {sizes} has more than {MAX_SITES} sites")
        self.shape = sizes
        if boundary not in BOUNDARIES:
            raise ValueError(f"boundary must be one of {BOUNDARIES}, got {boundary!r}")
        self.boundary = boundary
        self.neighborhood = neighborhood_order(neighborhood)
        self.temperature = real("temperature", temperature, above=0)
        self.act_mean = terms.checked_act_mean(act_mean)
        self.types = {}
        self.contacts = {}
        self.default_contact = None if default_contact is None else real("default_contact", default_contact)
        self.fields = {}
        self.placements = []
        self.cell_variables = {}
        self.cell_odes = {}
        self.rules = {}
        self.sbml = {}
        self.reactions = {}
        self.world_options = dict.fromkeys(WORLD_OPTIONS, True)
        if world_options is False:
            self.set_world_options(**dict.fromkeys(WORLD_OPTIONS, False))
        elif world_options is not None and world_options is not True:
            if not isinstance(world_options, dict):
                raise ValueError(f"world_options must be True, False or a dict, got {world_options!r}")
            self.set_world_options(**world_options)

    @property
    def uses_act(self):
        """Whether a cell type has the Act model on (see :class:`CellType`).

        Examples
        --------
        >>> Model((8, 8)).add_type("t", volume=9, lambda_volume=1, lambda_act=200, max_act=20).uses_act
        True
        """
        return any(t.max_act for t in self.types.values())

    def set_world_options(self, **flags):
        """Switch world options on or off by name (see docs/world-options.md); returns the model.

        Parameters
        ----------
        **flags : bool
            The options to change, by name (``periodic_shapes``, ``com_force``,
            ``face_connectivity``); the others stay as they are.

        Raises
        ------
        ValueError
            For an unknown option or a value that is not a bool.

        Examples
        --------
        >>> Model((8, 8)).set_world_options(com_force=False).world_options["com_force"]
        False
        """
        for name, value in flags.items():
            if name not in WORLD_OPTIONS:
                raise ValueError(f"unknown world option {name!r} (known: {', '.join(WORLD_OPTIONS)})")
            if not isinstance(value, (bool, np.bool_)):
                raise ValueError(f"world option {name!r} must be True or False, got {value!r}")
        for name, value in flags.items():
            self.world_options[name] = bool(value)
        return self

    # --- description -------------------------------------------------------------------------

    @property
    def ndim(self):
        """2 or 3.

        Examples
        --------
        >>> Model((10, 10, 4)).ndim
        3
        """
        return len(self.shape)

    @property
    def dims(self):
        """(nx, ny, nz), nz = 1 in 2-D.

        Examples
        --------
        >>> Model((10, 20)).dims
        (10, 20, 1)
        """
        return self.shape + (1,) * (3 - len(self.shape))

    @property
    def type_names(self):
        """Type names by type id, "medium" first.

        Examples
        --------
        >>> Model((8, 8)).add_type("a", volume=9, lambda_volume=1).type_names
        ['medium', 'a']
        """
        return [MEDIUM, *self.types]

    @property
    def type_colours(self):
        """The colours the model declares, by type name (types without one are left out).

        Examples
        --------
        >>> Model((8, 8)).add_type("a", volume=9, lambda_volume=1, colour="tab:red").type_colours
        {'a': 'tab:red'}
        """
        return {name: t.colour for name, t in self.types.items() if t.colour is not None}

    @property
    def n_types(self):
        """Number of types, the medium included.

        Examples
        --------
        >>> Model((8, 8)).n_types
        1
        """
        return 1 + len(self.types)

    def type_id(self, type_name):
        """Id of a named type (0 for the medium).

        Raises
        ------
        KeyError
            For an unknown name.

        Examples
        --------
        >>> Model((8, 8)).add_type("a", volume=9, lambda_volume=1).type_id("a")
        1
        """
        if type_name == MEDIUM:
            return 0
        try:
            return 1 + list(self.types).index(type_name)
        except ValueError:
            raise KeyError(f"unknown cell type {type_name!r} (known: {', '.join(self.type_names)})") from None

    def field_id(self, field_name):
        """Index of a field in the engine: fields are numbered in the order they were added.

        Raises
        ------
        KeyError
            For an unknown field, listing the known ones.

        Examples
        --------
        >>> Model((8, 8)).add_field("a", diffusion=0.1).add_field("b", diffusion=0.1).field_id("b")
        1
        """
        try:
            return list(self.fields).index(field_name)
        except ValueError:
            known = ", ".join(self.fields) or "none"
            raise KeyError(f"unknown field {field_name!r} (known: {known})") from None

    def add_type(self, type_name, *, volume, lambda_volume, surface=0.0, lambda_surface=0.0, connectivity=False,
                 length=0.0, lambda_length=0.0, force=(0.0, 0.0, 0.0), lambda_act=0.0, max_act=0, lambda_dir=0.0,
                 persistence_interval=10, persistence=1.0, colour=None):
        """Declare a cell type; its id is the number of types declared before it plus one.

        Parameters are those of :class:`CellType`. Returns the model, so calls can be chained.

        Examples
        --------
        >>> Model((50, 50)).add_type("light", volume=40, lambda_volume=2, connectivity=True).types["light"].volume
        40.0
        """
        if type_name in self.types:
            raise ValueError(f"cell type {type_name!r} is declared twice")
        if len(self.types) >= MAX_TYPES:
            raise ValueError(f"at most {MAX_TYPES} cell types")
        cell_type = CellType(type_name, volume, lambda_volume, surface, lambda_surface, connectivity, length,
                             lambda_length, force, lambda_act, max_act, lambda_dir, persistence_interval,
                             persistence, colour)
        if self.ndim == 2 and cell_type.force[2] != 0:
            raise ValueError(f"cell type {type_name!r}: force has a z component in a 2-D model")
        self._check_surface(cell_type)
        self.types[type_name] = cell_type
        return self

    def _check_surface(self, cell_type):
        """Warn when the target surface is far below what any cell of the target volume has."""
        if not cell_type.lambda_surface or cell_type.volume > SURFACE_CHECK_MAX_VOLUME:
            return
        volume = max(1, round(cell_type.volume))
        smallest = compact_surface(volume, self.neighborhood, self.ndim)
        if cell_type.surface < LOW_SURFACE_SHARE * smallest:
            names = {order: name for name, order in NEIGHBORHOODS.items()}
            warnings.warn(
                f"cell type {cell_type.name!r}: target surface {cell_type.surface:g} is far below the smallest "
                f"surface a cell of volume {volume} can have, {smallest} (unlike-neighbour pairs in the "
                f"{names[self.neighborhood]!r} neighbourhood, {self.ndim}-D); such cells are squeezed and the "
                f"tissue freezes. morva.compact_surface({volume}, {names[self.neighborhood]!r}, dim={self.ndim}) "
                "gives this value", UserWarning, stacklevel=3)

    def set_contact(self, type_a, type_b, energy):
        """Contact energy J between two named types (order free; "medium" is the medium).

        Every pair of types that can touch needs an energy (the medium with each type, each type
        with itself and with every other type), unless the model has a `default_contact`.

        Examples
        --------
        >>> m = Model((8, 8)).add_type("a", volume=9, lambda_volume=1)
        >>> m.set_contact("a", "medium", 12).contact("medium", "a")
        12.0
        """
        key = self._contact_key(type_a, type_b)
        self.contacts[key] = real(f"contact energy {key[0]}:{key[1]}", energy)
        return self

    def contact(self, type_a, type_b):
        """The contact energy of a pair: the one set, else the model's `default_contact`, else 0.

        Examples
        --------
        >>> Model((8, 8)).contact("medium", "medium")
        0.0
        """
        default = 0.0 if self.default_contact is None else self.default_contact
        return self.contacts.get(self._contact_key(type_a, type_b), default)

    def missing_contacts(self):
        """Pairs of types that can touch but have no contact energy (none with a `default_contact`).

        The medium is one region, so only the pair ("medium", "medium") never touches.

        Examples
        --------
        >>> m = Model((8, 8)).add_type("a", volume=9, lambda_volume=1).set_contact("medium", "a", 10)
        >>> m.missing_contacts()
        [('a', 'a')]
        """
        if self.default_contact is not None:
            return []
        names = self.type_names
        pairs = [(a, b) for i, a in enumerate(names) for b in names[i:] if (a, b) != (MEDIUM, MEDIUM)]
        return [pair for pair in pairs if pair not in self.contacts]

    def check_contacts(self, where="model"):
        """Raise a ValueError naming the pairs of types without a contact energy, if any.

        Examples
        --------
        >>> Model((8, 8)).add_type("a", volume=9, lambda_volume=1).check_contacts()
        Traceback (most recent call last):
        ...
        ValueError: model: no contact energy for medium:a, a:a; set them with set_contact ...
        """
        missing = self.missing_contacts()
        if missing:
            raise ValueError(f"{where}: no contact energy for {', '.join(f'{a}:{b}' for a, b in missing)}; set them "
                             "with set_contact (in a model file, [[contacts]] entries) or give the model a "
                             "default_contact")

    def _contact_key(self, type_a, type_b):
        ids = []
        for t in (type_a, type_b):
            if t != MEDIUM and t not in self.types:
                raise KeyError(f"contact energy names unknown cell type {t!r} (known: {', '.join(self.type_names)})")
            ids.append(self.type_id(t))
        a, b = sorted(ids)
        return self.type_names[a], self.type_names[b]

    def add_field(self, field_name, *, diffusion, decay=0.0, substeps=None):
        """Declare a chemical field; rates are per MCS (see :class:`FieldSpec`).

        Examples
        --------
        >>> Model((50, 50)).add_field("cAMP", diffusion=2.0, decay=0.01).fields["cAMP"].resolved_substeps(2)
        17
        """
        if field_name in self.fields:
            raise ValueError(f"field {field_name!r} is declared twice")
        spec = FieldSpec(field_name, diffusion, decay, substeps)
        spec.resolved_substeps(self.ndim)
        self.fields[field_name] = spec
        return self

    def _field(self, field_name):
        try:
            return self.fields[field_name]
        except KeyError:
            raise KeyError(f"unknown field {field_name!r} (known: {', '.join(self.fields) or 'none'})") from None

    def _cell_type_name(self, type_name, what):
        if type_name != MEDIUM and type_name not in self.types:
            raise KeyError(f"{what} names unknown cell type {type_name!r} (known: {', '.join(self.type_names)})")
        return type_name

    def set_secretion(self, field_name, type_name, rate):
        """Every site of a cell of the type adds `rate` to the field per MCS (>= 0).

        Examples
        --------
        >>> m = Model((20, 20)).add_type("a", volume=9, lambda_volume=1).add_field("c", diffusion=0.1)
        >>> m.set_secretion("c", "a", 0.5).fields["c"].secretion
        {'a': 0.5}
        """
        spec = self._field(field_name)
        self._cell_type_name(type_name, f"secretion of field {field_name!r}")
        spec.secretion[type_name] = real(f"field {field_name!r}: secretion of {type_name!r}", rate, minimum=0)
        return self

    def set_uptake(self, field_name, type_name, rate):
        """Every site of a cell of the type removes up to `rate` from the field per MCS (>= 0).

        Examples
        --------
        >>> m = Model((20, 20)).add_type("a", volume=9, lambda_volume=1).add_field("c", diffusion=0.1)
        >>> m.set_uptake("c", "a", 0.2).fields["c"].uptake
        {'a': 0.2}
        """
        spec = self._field(field_name)
        self._cell_type_name(type_name, f"uptake of field {field_name!r}")
        spec.uptake[type_name] = real(f"field {field_name!r}: uptake of {type_name!r}", rate, minimum=0)
        return self

    def set_chemotaxis(self, field_name, type_name, strength, *, kd=0.0, hill=1.0, scale=1.0):
        """Cells of the type move up the field's gradient (strength > 0) or down it (< 0).

        See :class:`Chemotaxis` for the saturating form (kd > 0).

        Examples
        --------
        >>> m = Model((20, 20)).add_type("a", volume=9, lambda_volume=1).add_field("c", diffusion=0.1)
        >>> m.set_chemotaxis("c", "a", 200).fields["c"].chemotaxis["a"].strength
        200.0
        """
        spec = self._field(field_name)
        self._cell_type_name(type_name, f"chemotaxis of field {field_name!r}")
        chemotaxis = Chemotaxis(strength, kd, hill, scale)
        chemotaxis.check(f"field {field_name!r}: chemotaxis of {type_name!r}")
        spec.chemotaxis[type_name] = chemotaxis
        return self

    # --- reactions between fields -------------------------------------------------------------

    def add_reaction(self, reaction_name, function, fields, *, rate=None, substeps=None, parameters=None):
        """Let fields react: add ``f(u_1, ..., u_k, cell_type)`` to their rates of change (docs/reacting-fields.md).

        The fields are then stepped by the package: after each MCS, n sub-steps of dt = 1/n each
        diffuse and decay every field of the reaction, then add dt * f (operator splitting with
        explicit Euler, first order in dt). Secretion and uptake still act once per MCS, before
        the sub-steps; concentrations stay non-negative (the diffusion step stores negative values
        as 0).

        Parameters
        ----------
        reaction_name : str
            An identifier.
        function : function
            ``f(u_1, ..., u_k, cell_type) -> (rate_1, ..., rate_k)``, vectorised over NumPy arrays:
            the fields' concentrations (float32, shape (nz, ny, nx), read only) in the order of
            `fields`, and the type id of every site's cell (0 = medium, ids in the order the
            types were added); each rate (per MCS) an array of that shape or anything that
            broadcasts to it. Importable as ``module:name`` (a reference string of that form is
            taken too).
        fields : list of str
            Declared fields, each in at most one reaction.
        rate : float, optional
            A bound of the reaction's stiffness per MCS (the largest row sum of |df_i/du_j| it
            reaches). Sub-steps are chosen for it or for the stiffness estimated on the fields
            when the first run starts, whichever is larger.
        substeps : int, optional
            Fixed sub-steps per MCS; refused when too few for the fields' diffusion and decay and
            the declared rate.
        parameters : dict of str to float, optional
            Constants passed to `function` as keyword arguments; saved in model files and
            varied by name as ``"reaction:<name>:<parameter>"`` (:meth:`with_parameters`, sweeps).

        Examples
        --------
        >>> m = Model((50, 50)).add_field("u", diffusion=0.05).add_field("v", diffusion=1.0)
        >>> m = m.add_reaction("turing", "morva.reactions:schnakenberg", ["u", "v"], rate=3.0,
        ...                    parameters={"a": 0.1, "b": 0.9})
        >>> m.reaction_substeps("turing"), m.parameter("reaction:turing:b")
        (14, 0.9)
        """
        if reaction_name in self.reactions:
            raise ValueError(f"reaction {reaction_name!r} is declared already")
        reaction = Reaction(reaction_name, function, fields, rate, substeps, parameters)
        for field_name in reaction.fields:
            if field_name not in self.fields:
                raise KeyError(f"reaction {reaction_name!r} names unknown field {field_name!r} "
                               f"(known: {', '.join(self.fields) or 'none'})")
            if self.fields[field_name].substeps is not None:
                raise ValueError(f"reaction {reaction_name!r}: field {field_name!r} has its own substeps; the fields "
                                 "of a reaction share the reaction's sub-steps: set substeps on the reaction instead")
            for other in self.reactions.values():
                if field_name in other.fields:
                    raise ValueError(f"reaction {reaction_name!r}: field {field_name!r} is in reaction "
                                     f"{other.name!r} already; put both in one reaction")
        self.reactions[reaction_name] = reaction
        try:
            self.reaction_substeps(reaction_name)
        except ValueError:
            del self.reactions[reaction_name]
            raise
        return self

    def reaction_substeps(self, reaction_name, stiffness=0.0):
        """Sub-steps per MCS of a reaction whose stiffness (per MCS) is `stiffness` or its declared rate.

        Raises
        ------
        ValueError
            When the fixed sub-steps are too few, or more than allowed would be needed, saying what to change.

        Examples
        --------
        >>> m = Model((50, 50)).add_field("u", diffusion=0.05).add_field("v", diffusion=1.0)
        >>> m.add_reaction("turing", "morva.reactions:schnakenberg", ["u", "v"]).reaction_substeps("turing", 18.0)
        44
        """
        reaction = self.reactions[reaction_name]
        stiffness = max(stiffness, reaction.rate or 0.0)
        loads = [self.fields[f].stability_load(self.ndim) for f in reaction.fields]
        needed = needed_substeps(loads, stiffness, MAX_SUBSTEPS)
        where = f"reaction {reaction_name!r}"
        if needed is None:
            raise ValueError(f"{where}: stiffness {stiffness:.4g} per MCS with diffusion and decay loads up to "
                             f"{max(loads):g} would need more than {MAX_SUBSTEPS} sub-steps per MCS; use slower "
                             "rates (shorter MCS or coarser sites)")
        if reaction.substeps is None:
            return needed
        if reaction.substeps < needed:
            raise ValueError(f"{where}: substeps = {reaction.substeps} is unstable for stiffness {stiffness:.4g} per "
                             f"MCS and diffusion and decay loads up to {max(loads):g} (needs at least {needed}); "
                             "raise substeps or leave it unset to choose them automatically")
        return reaction.substeps

    # --- per-cell variables ------------------------------------------------------------------

    def add_cell_variable(self, variable_name, *, initial=0.0, on_divide="copy"):
        """Declare a value every cell carries, kept by the simulation per cell id (docs/cell-state.md).

        Parameters
        ----------
        variable_name : str
            An identifier, not a column of the cell table.
        initial : float or function
            The value of a new cell, or ``initial(sim, ids) -> values`` (one float per id), importable as
            ``module:name`` (a reference string of that form is taken too).
        on_divide : {"copy", "halve"} or function
            What a division does: both cells keep the parent's value, both get half of it, or
            ``on_divide(sim, values) -> (parent_values, daughter_values)`` over the dividing cells.

        Examples
        --------
        >>> m = Model((20, 20)).add_cell_variable("clock", initial=0.0).add_cell_variable("stuff", on_divide="halve")
        >>> list(m.cell_variables)
        ['clock', 'stuff']
        """
        if variable_name in self.cell_variables:
            raise ValueError(f"cell variable {variable_name!r} is declared already")
        self.cell_variables[variable_name] = CellVariable(variable_name, initial, on_divide)
        return self

    # --- ODEs in cells -------------------------------------------------------------------------

    def add_cell_ode(self, ode_name, rhs, variables, *, every=1, time_per_mcs=1.0, substeps=10, inputs=None,
                     outputs=None, act=None, parameters=None):
        """Declare a system of ODEs in every cell, integrated between steps (docs/cell-state.md).

        The model's ODEs act after the user's hooks and writers, in the order declared, before
        its SBML models and rules; being part of the model, they are saved in model files and
        recordings and act again in a resumed run.

        Parameters
        ----------
        ode_name : str
            An identifier naming the ODE (in errors and as its model-file table).
        rhs : function or str
            ``rhs(t, y, tissue) -> dict`` (see :class:`morva.CellODE`), importable as ``"module:name"``
            (a reference string of that form is taken too).
        variables : list of str
            Declared cell variables that are the state.
        every, time_per_mcs, substeps
            As for :class:`morva.CellODE`.
        inputs : dict, optional
            ``{name: quantity}`` held during an integration and given to `rhs` in `y`: "volume",
            "surface", "target_volume", "medium_contact", "field_mean(<field>)",
            "neighbour_mean(<variable>)", "neighbour_sum(<variable>)", "is_type(<type>)".
        outputs : dict, optional
            ``{variable: quantity}`` set after an integration: "target_volume" or
            "secretion_scale(<field>)".
        act : function or str, optional
            ``act(sim, tissue, y) -> dict`` (see :class:`morva.CellODE`), importable as ``"module:name"``.
        parameters : dict of str to float, optional
            Constants given to `rhs` as keyword arguments; saved in model files and varied by name
            as ``"cell_ode:<name>:<parameter>"`` (:meth:`with_parameters`, sweeps).

        Examples
        --------
        >>> m = Model((20, 20)).add_type("a", volume=9, lambda_volume=1).add_field("c", diffusion=0.1)
        >>> m = m.add_cell_variable("s", initial=1.0)
        >>> # with def pulse(t, y, tissue): return {"s": 1.0 - y["s"] * y["vol"] / 9} in mymodel.py:
        >>> m = m.add_cell_ode("pulse", "mymodel:pulse", ["s"], inputs={"vol": "volume"},
        ...                    outputs={"s": "secretion_scale(c)"})  # doctest: +SKIP
        """
        self.cell_odes[ode_name] = declared_cell_ode(self, ode_name, rhs, variables, every=every,
                                                     time_per_mcs=time_per_mcs, substeps=substeps, inputs=inputs,
                                                     outputs=outputs, act=act, parameters=parameters)
        return self

    # --- SBML models in cells -------------------------------------------------------------------

    def add_sbml(self, type_name, sbml, variables, *, every=1, time_per_mcs=1.0, substeps=10):
        """Give the cells of a type an SBML model, simulated per cell with libRoadRunner (docs/cell-state.md).

        Parameters
        ----------
        type_name : str
        sbml : path or str
            An SBML file (a relative path in a model file is relative to that file) or SBML text.
        variables : list of str or dict
            SBML ids that are per-cell variables (same names), or a dict SBML id -> variable name.
            Every floating species must be one; global parameters may be (per-cell values, read
            only). Variables not declared yet are declared with the SBML initial value, copied at
            divisions.
        every : int
            Integrate at every multiple of `every` MCS, over the `every` MCS just run.
        time_per_mcs : float
            Model time of one MCS.
        substeps : int
            Fixed Runge-Kutta steps per MCS.

        Examples
        --------
        >>> m = Model((20, 20)).add_type("a", volume=9, lambda_volume=1)
        >>> m = m.add_sbml("a", "decay.xml", ["u"], time_per_mcs=0.1)  # doctest: +SKIP
        >>> m.cell_variables["u"].initial  # the species' initial amount in decay.xml  # doctest: +SKIP
        1.0
        """
        if type_name in self.sbml:
            raise ValueError(f"cell type {type_name!r} has an SBML model already")
        declared = SBMLModel(type_name, sbml, variables, every=every, time_per_mcs=time_per_mcs, substeps=substeps)
        if type_name not in self.type_names or type_name == "medium":
            raise ValueError(f"SBML model of {type_name!r}: no cell type {type_name!r}")
        for sbml_id, value in declared.initial_values().items():
            if declared.variables[sbml_id] not in self.cell_variables:
                self.add_cell_variable(declared.variables[sbml_id], initial=value)
        declared.check(self)
        self.sbml[type_name] = declared
        return self

    # --- rules ---------------------------------------------------------------------------------

    def add_rule(self, rule_name, action, when, *, every=1, orientation="longest", reset_target=None, to=None):
        """Declare a rule: divide, remove or retype the cells for which `when` holds (docs/cell-state.md).

        Rules act every `every` MCS, in the order declared, after the hooks and writers of a run.

        Parameters
        ----------
        rule_name : str
            An identifier; recorded in the lineage (divisions) or in ``sim.fates`` (the others).
        action : {"divide", "remove", "retype"}
        when : str, list of str or function
            Comparisons "quantity op value" that must all hold (quantity: volume, surface,
            target_volume, type or a declared cell variable), or ``condition(sim, tissue) -> mask``
            over ``tissue.ids``, importable as ``module:name``.
        every : int
            Period in MCS.
        orientation : {"longest", "shortest", "random"} or vector
            Of the cut, for "divide" (see :meth:`morva.Simulation.divide_cells`).
        reset_target : float, optional
            Target volume of parent and daughter, for "divide"; by default half the parent's.
        to : str
            The new type, for "retype".

        Examples
        --------
        >>> m = Model((20, 20)).add_type("a", volume=9, lambda_volume=1).add_cell_variable("clock")
        >>> m = m.add_rule("ripe", "divide", ["clock >= 10", "volume > 12"], every=5, orientation="random")
        >>> m.rules["ripe"].when
        ['clock >= 10.0', 'volume > 12.0']
        """
        if rule_name in self.rules:
            raise ValueError(f"rule {rule_name!r} is declared already")
        rule = Rule(rule_name, action, when, every, orientation, reset_target, to)
        rule.check(self)
        self.rules[rule_name] = rule
        return self

    # --- placements --------------------------------------------------------------------------

    def add_placement(self, item, *, activity=0):
        """Add a placement object (one of ``morva.placement.KINDS``), checked against the model.

        Parameters
        ----------
        item : placement object
        activity : int or "max"
            The Act model's activity its cells' sites start with: 0 (the default, as a site the
            cell never copied into), "max" (each cell's type's max_act: every site as fresh as a
            newly taken one) or an integer up to the types' max_act. Only for types with the
            Act model; the ``add_*`` methods pass theirs here.

        Examples
        --------
        >>> from morva.placement import Block
        >>> m = Model((20, 20)).add_type("a", volume=25, lambda_volume=1)
        >>> len(m.add_placement(Block("a", (0, 0), (5, 5))).placements)
        1
        """
        where = f"placement {len(self.placements)} ({item.kind})"
        for type_name in item.type_names():
            if type_name == MEDIUM:
                raise ValueError(f"{where}: placements make cells; {MEDIUM!r} is not a cell type")
            self._cell_type_name(type_name, where)
        item.check(self.dims, self.boundary == "periodic")
        item.activity = _placement.start_activity(f"{where}", activity, item.type_names(),
                                                  {name: t.max_act for name, t in self.types.items()})
        self.placements.append(item)
        return self

    def add_block(self, type_name, lo, hi, *, overlap=False, activity=0):
        """One cell filling the box lo <= (x, y[, z]) < hi.

        Examples
        --------
        >>> m = Model((20, 20)).add_type("a", volume=25, lambda_volume=1)
        >>> len(m.add_block("a", (0, 0), (5, 5)).placements)
        1
        """
        return self.add_placement(_placement.Block(type_name, lo, hi, overlap), activity=activity)

    def add_tiling(self, types, lo, hi, size, *, pattern="checkerboard", seed=0, overlap=False, activity=0):
        """Square (cubic) cells of side `size` tiling the box lo..hi without gaps.

        `types` is one type name or a list; "checkerboard" gives tile (i, j, k) the type
        types[(i + j + k) % len(types)], "random" draws each tile's type with the given seed.
        Cells are numbered with x fastest, then y, then z.

        Examples
        --------
        >>> m = Model((40, 40)).add_type("a", volume=100, lambda_volume=1).add_type("b", volume=100, lambda_volume=1)
        >>> m.add_tiling(["a", "b"], (0, 0), (40, 40), 10).placements[0].n_cells
        16
        """
        return self.add_placement(_placement.Tiling(types, lo, hi, size, pattern, seed, overlap), activity=activity)

    def add_disc(self, type_name, centre, radius, *, overlap=False, activity=0):
        """One round cell: the sites within `radius` of `centre` (2-D models).

        Examples
        --------
        >>> Model((30, 30)).add_type("a", volume=50, lambda_volume=1).add_disc("a", (15, 15), 4).placements[0].kind
        'disc'
        """
        return self.add_placement(_placement.Disc(type_name, centre, radius, overlap), activity=activity)

    def add_sphere(self, type_name, centre, radius, *, overlap=False, activity=0):
        """One ball-shaped cell: the sites within `radius` of `centre` (3-D models).

        Examples
        --------
        >>> Model((20, 20, 20)).add_type("a", volume=50, lambda_volume=1).add_sphere("a", (9, 9, 9), 3).ndim
        3
        """
        return self.add_placement(_placement.Sphere(type_name, centre, radius, overlap), activity=activity)

    def scatter(self, type_name, n, radius, *, lo=None, hi=None, seed=0, activity=0):
        """`n` round cells of `radius` at random centres in lo..hi, touching neither each other
        nor anything placed before.

        Examples
        --------
        >>> m = Model((60, 60)).add_type("a", volume=20, lambda_volume=1)
        >>> m.scatter("a", 10, 2.5, seed=1).placements[0].n_cells
        10
        """
        return self.add_placement(_placement.Scatter(type_name, n, radius, lo, hi, seed), activity=activity)

    def add_label_image(self, image, *, types=None, default_type=None, offset=None, own_volume=False,
                        overlap=False, activity=0):
        """Cells from a label image: every distinct non-zero value becomes one cell.

        Parameters
        ----------
        image : array_like or path
            Integer array indexed [y, x] (2-D) or [z, y, x] (3-D), row 0 being y = 0, or the path of
            a .npy, .tif/.tiff or .png segmentation mask (single channel).
        types : dict, optional
            Image value -> type name; values not listed get `default_type`.
        default_type : str, optional
            Type of unlisted values (needed unless `types` lists every value).
        offset : tuple of int, optional
            Lattice position of the image's first pixel; without it the image must match the lattice.
        own_volume : bool
            Give each cell its initial size as target volume instead of its type's volume.
        activity : int or "max"
            The Act model's starting activity of the cells' sites (see :meth:`add_placement`; the
            other ``add_*`` methods and :meth:`scatter` take it too).

        Examples
        --------
        >>> import numpy as np
        >>> img = np.zeros((10, 10), dtype=np.uint16); img[2:5, 2:5] = 7
        >>> m = Model((10, 10)).add_type("a", volume=9, lambda_volume=1)
        >>> m.add_label_image(img, default_type="a").placements[0].n_cells
        1
        """
        return self.add_placement(_placement.LabelImage(image, types, default_type, offset, own_volume, overlap,
                                                        max_pixels=int(np.prod(self.dims))), activity=activity)

    # --- parameters by name ------------------------------------------------------------------

    def parameter(self, parameter_name):
        """Value of a parameter by name.

        Names: "temperature", "contact:<a>:<b>", "type:<name>:<attr>" (attr one of volume,
        lambda_volume, surface, lambda_surface, connectivity, length, lambda_length, force,
        lambda_act, max_act, lambda_dir, persistence_interval, persistence), "field:<name>:<attr>" (diffusion,
        decay, substeps), "secretion:<field>:<type>",
        "uptake:<field>:<type>", "chemotaxis:<field>:<type>" (the strength),
        "reaction:<name>:<parameter>" and "cell_ode:<name>:<parameter>" (a constant of a reaction's
        or a cell ODE's `parameters`).

        Raises
        ------
        KeyError
            Naming the unknown parameter.

        Examples
        --------
        >>> Model((8, 8), temperature=12).parameter("temperature")
        12.0
        """
        kind, parts = _split_parameter(parameter_name)
        if kind == "temperature":
            return self.temperature
        if kind == "contact":
            return self.contact(*parts)
        if kind == "type":
            return getattr(self._known_type(parts[0], parameter_name), _type_attr(parts[1], parameter_name))
        if kind in ("reaction", "cell_ode"):
            return self._known_constants(kind, parts, parameter_name)[parts[1]]
        spec = self._known_field(parts[0], parameter_name)
        if kind == "field":
            if parts[1] not in terms.FIELD_ATTRS:
                raise KeyError(f"unknown parameter {parameter_name!r}: field attribute must be {FIELD_ATTRS}")
            return getattr(spec, parts[1])
        self._cell_type_name(parts[1], f"parameter {parameter_name!r}")
        if kind == "chemotaxis":
            entry = spec.chemotaxis.get(parts[1])
            return 0.0 if entry is None else entry.strength
        return getattr(spec, kind).get(parts[1], 0.0)

    def with_parameters(self, values):
        """A copy of the model with parameters changed by name (see :meth:`parameter`).

        Examples
        --------
        >>> m = Model((8, 8)).add_type("a", volume=9, lambda_volume=1)
        >>> m.with_parameters({"type:a:volume": 16, "contact:a:medium": 8}).parameter("contact:medium:a")
        8.0
        """
        new = self.copy()
        for parameter_name, value in dict(values).items():
            new._set_parameter(parameter_name, value)
        return new

    def _set_parameter(self, parameter_name, value):
        kind, parts = _split_parameter(parameter_name)
        if kind == "temperature":
            self.temperature = real("temperature", value, above=0)
        elif kind == "contact":
            self.set_contact(*parts, value)
        elif kind == "type":
            old = self._known_type(parts[0], parameter_name)
            fields = dataclasses.asdict(old)
            fields[_type_attr(parts[1], parameter_name)] = value
            self.types[parts[0]] = CellType(**fields)
            self._check_surface(self.types[parts[0]])
        elif kind == "field":
            spec = self._known_field(parts[0], parameter_name)
            if parts[1] not in terms.FIELD_ATTRS:
                raise KeyError(f"unknown parameter {parameter_name!r}: field attribute must be {FIELD_ATTRS}")
            fields = {f.name: getattr(spec, f.name) for f in dataclasses.fields(spec)}
            fields[parts[1]] = value
            new = FieldSpec(**fields)
            new.resolved_substeps(self.ndim)
            self.fields[parts[0]] = new
        elif kind == "reaction":
            old = self._known_constants(kind, parts, parameter_name)
            self.reactions[parts[0]] = dataclasses.replace(self.reactions[parts[0]], parameters={**old, parts[1]: value})
        elif kind == "cell_ode":
            old = self._known_constants(kind, parts, parameter_name)
            self.cell_odes[parts[0]].parameters = constants({**old, parts[1]: value}, f"cell ODE {parts[0]!r}")
        elif kind == "chemotaxis":
            old = self._known_field(parts[0], parameter_name).chemotaxis.get(parts[1])
            extra = {} if old is None else {"kd": old.kd, "hill": old.hill, "scale": old.scale}
            self.set_chemotaxis(parts[0], parts[1], value, **extra)
        elif kind == "secretion":
            self._known_field(parts[0], parameter_name)
            self.set_secretion(parts[0], parts[1], value)
        else:
            self._known_field(parts[0], parameter_name)
            self.set_uptake(parts[0], parts[1], value)

    def _known_type(self, type_name, parameter_name):
        if type_name not in self.types:
            raise KeyError(f"unknown parameter {parameter_name!r}: no cell type {type_name!r}")
        return self.types[type_name]

    def _known_constants(self, kind, parts, parameter_name):
        """The parameters of the reaction or cell ODE a parameter name points into; KeyError unless it has that one."""
        name, key = parts
        declared, what = (self.reactions, "reaction") if kind == "reaction" else (self.cell_odes, "cell ODE")
        if name not in declared:
            raise KeyError(f"unknown parameter {parameter_name!r}: no {what} {name!r}")
        table = declared[name].parameters
        if key not in table:
            raise KeyError(f"unknown parameter {parameter_name!r}: {what} {name!r} has the parameters "
                           f"{', '.join(table) or 'none'}")
        return table

    def _known_field(self, field_name, parameter_name):
        if field_name not in self.fields:
            raise KeyError(f"unknown parameter {parameter_name!r}: no field {field_name!r}")
        return self.fields[field_name]

    # --- whole-model operations --------------------------------------------------------------

    def copy(self):
        """An independent deep copy.

        Examples
        --------
        >>> m = Model((8, 8)); m.copy() == m
        True
        """
        return copy.deepcopy(self)

    def __eq__(self, other):
        if not isinstance(other, Model):
            return NotImplemented
        return modelfile.model_to_dict(self, embed_images=True) == modelfile.model_to_dict(other, embed_images=True)

    def __repr__(self):
        return (f"Model(shape={self.shape}, boundary={self.boundary!r}, neighborhood={self.neighborhood}, "
                f"temperature={self.temperature:g}, types={list(self.types)}, fields={list(self.fields)}, "
                f"placements={len(self.placements)})")

    def _repr_html_(self):
        """A summary table in notebooks: lattice, types, contact energies, fields, placements."""
        from ._display import model_html

        return model_html(self)

    def build(self, seed=0):
        """Make the engine world and return a :class:`morva.Simulation` at MCS 0.

        Parameters
        ----------
        seed : int
            Seed of the random generator (0 .. 2**64 - 1); model and seed fix the run.

        Raises
        ------
        ValueError
            When a pair of types that can touch has no contact energy (see :meth:`missing_contacts`).

        Examples
        --------
        >>> m = Model((20, 20), default_contact=0).add_type("a", volume=25, lambda_volume=1)
        >>> m.add_block("a", (5, 5), (10, 10)).build(seed=1).n_cells
        1
        """
        from .simulation import Simulation

        return Simulation.from_model(self, seed)

    def to_toml(self, **options):
        """The model as TOML text (see docs/model-file.md).

        Examples
        --------
        >>> Model((8, 8)).to_toml().splitlines()[0]
        '[lattice]'
        """
        return modelfile.to_toml(self, **options)

    @classmethod
    def from_toml(cls, text, base=None):
        """A model from TOML text; relative image paths are read from the folder `base`.

        Examples
        --------
        >>> Model.from_toml(Model((8, 8)).to_toml()).shape
        (8, 8)
        """
        return modelfile.from_toml(text, base, model_class=cls)

    def save(self, path):
        """Write the model to a TOML file (see :func:`morva.load_model`).

        Examples
        --------
        >>> import tempfile, pathlib
        >>> p = pathlib.Path(tempfile.mkdtemp()) / "m.toml"; Model((8, 8)).save(p); p.exists()
        True
        """
        modelfile.save_model(self, path)


def load_model(path):
    """Read a model file; label image paths in it are relative to the file's folder.

    Raises
    ------
    ValueError
        When the file cannot be read or an entry is invalid, naming it.

    Examples
    --------
    >>> import tempfile, pathlib
    >>> p = pathlib.Path(tempfile.mkdtemp()) / "m.toml"; Model((6, 6)).save(p)
    >>> load_model(p).shape
    (6, 6)
    """
    return modelfile.load_model(path, model_class=Model)


def _split_parameter(parameter_name):
    if not isinstance(parameter_name, str):
        raise KeyError(f"parameter names are texts, got {parameter_name!r}")
    parts = parameter_name.split(":")
    kind, rest = parts[0], parts[1:]
    arity = {"temperature": 0, "contact": 2, "type": 2, "field": 2, "secretion": 2, "uptake": 2, "chemotaxis": 2,
             "reaction": 2, "cell_ode": 2}
    if kind not in arity or len(rest) != arity[kind]:
        raise KeyError(f"unknown parameter {parameter_name!r}")
    return kind, rest


def _type_attr(attr, parameter_name):
    if attr not in TYPE_ATTRS:
        raise KeyError(f"unknown parameter {parameter_name!r}: type attribute must be one of {', '.join(TYPE_ATTRS)}")
    return attr

