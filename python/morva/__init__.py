"""morva: Cellular Potts models by name, on the exact and fast ``morva_core`` engine.

Time is counted in Monte Carlo steps (MCS); rates of fields are per MCS, sizes in lattice sites.
"""

__version__ = "0.1.0"

from .model import MEDIUM, CellType, Chemotaxis, FieldSpec, Model
from .modelfile import load_model, save_model
from .recording import Recorder, Recording, open_recording, resume
from .simulation import Simulation, StopRequested
from .sweep import sweep
from . import measures

__all__ = [
    "MEDIUM",
    "CellType",
    "Chemotaxis",
    "FieldSpec",
    "Model",
    "Recorder",
    "Recording",
    "Simulation",
    "StopRequested",
    "load_model",
    "open_recording",
    "resume",
    "save_model",
    "measures",
    "sweep",
]
