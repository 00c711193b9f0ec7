"""Consolidated Zarr metadata for a closed recording, so that plain ``xarray.open_zarr`` opens the
frames in one read and without a warning."""

import warnings


def consolidate_frames(store):
    """Write the consolidated metadata of a Zarr group (frames.zarr of a recording).

    Zarr warns that consolidated metadata is an extension of format 3; readers of the recording
    (``morva.open_recording``) do not depend on it, so the warning is not passed on.

    Examples
    --------
    >>> import morva, tempfile, pathlib, xarray
    >>> d = pathlib.Path(tempfile.mkdtemp()) / "r"; morva.Model((8, 8)).build().record(d).close()
    >>> xarray.open_zarr(d / "frames.zarr", consolidated=True).sizes["time"]
    1
    """
    import zarr

    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", message="Consolidated metadata is currently not part")
        zarr.consolidate_metadata(store)
