"""morva: Cellular Potts models by name, on the exact and fast ``morva_core`` engine."""

__version__ = "0.1.0"
