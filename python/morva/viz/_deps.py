"""Optional dependencies of the viewing side, imported when a function first needs them."""

import importlib

_EXTRA_OF = {
    "matplotlib": "viz",
    "imageio": "viz",
    "imageio_ffmpeg": "viz",
    "tifffile": "viz",
    "pyevtk": "viz",
    "pyvista": "3d",
    "ipywidgets": "notebook",
}


def require(module):
    """Import `module` or raise ImportError saying which extra of morva brings it."""
    try:
        return importlib.import_module(module)
    except ImportError as error:
        extra = _EXTRA_OF.get(module.split(".")[0], "viz")
        raise ImportError(
            f"this morva.viz function needs {module.split('.')[0]}: pip install 'morva[{extra}]'"
        ) from error
