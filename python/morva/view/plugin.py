"""The napari reader declared in napari.yaml: opens a recording folder as `morva view` does."""

import pathlib


def get_reader(path):
    """The reader for `path` if it is a morva recording folder, else None (napari asks others).

    Examples
    --------
    >>> get_reader("/nonexistent") is None
    True
    """
    if isinstance(path, list):
        if len(path) != 1:
            return None
        path = path[0]
    if not (pathlib.Path(path) / "run.json").is_file():
        return None
    return read_recording


def read_recording(path):
    """Layer data tuples of the recording at `path`; the viewer's slider then drives the cells layer."""
    import napari

    from .recording import follow_slider, recording_layers

    path = path[0] if isinstance(path, list) else path
    layers = recording_layers(path)
    viewer = napari.current_viewer()
    if viewer is not None:
        follow_slider(viewer)
    return layers
