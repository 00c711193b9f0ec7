"""morva: Cellular Potts models by name, on the exact and fast ``morva_core`` engine.

Time is counted in Monte Carlo steps (MCS); rates of fields are per MCS, sizes in lattice sites,
surfaces in unlike-neighbour pairs of the model's neighbourhood (see :func:`compact_surface`).
"""

__version__ = "0.1.0"

from .cell_ode import CellODE, Tissue
from .model import MEDIUM, CellType, Chemotaxis, FieldSpec, Model, load_model
from .modelfile import save_model
from .neighborhood import compact_surface
from .reader import Recording, open_recording, resume
from .recording import Recorder
from .simulation import Simulation
from .sweep import sweep
from .writers import StopRequested, Writer
from . import measures
from . import viz
from . import view

__all__ = [
    "MEDIUM",
    "CellODE",
    "CellType",
    "Chemotaxis",
    "FieldSpec",
    "Model",
    "Recorder",
    "Recording",
    "Simulation",
    "StopRequested",
    "Tissue",
    "Writer",
    "compact_surface",
    "load_model",
    "open_recording",
    "resume",
    "save_model",
    "measures",
    "viz",
    "view",
    "sweep",
]
