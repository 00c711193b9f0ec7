"""Pictures, movies and exports of morva tissues.

Functions take plain arrays (labels ``(z, y, x)``, a type per cell id, fields), simulations or
recordings. matplotlib, imageio, imageio-ffmpeg, tifffile and pyevtk come with the ``viz`` extra
(``pip install 'morva[viz]'``); rendered 3-D surfaces need the ``3d`` extra (PyVista) and the
notebook scrubber the ``notebook`` extra (ipywidgets).
"""

from .activity import activity_picture_args, plot_activity
from .export import export_tiff, export_vtk, write_series, write_tiff_stack, write_vti
from .frames import cell_types_at, cell_values_at, frame_picture_args
from .movie import recording_movie, render_frames, write_movie
from .notebook import frame_strip, scrub, simulation_picture_args, tissue_png
from .palette import BORDER_COLOUR, MEDIUM_COLOUR, MISSING_COLOUR, type_colours
from .raster import border_mask, tissue_rgb
from .runplots import plot_run, run_series
from .surfaces import cell_surfaces, plot_surfaces
from .tissue import figure_html, figure_png, figure_rgb, plot_slices, plot_tissue
from .tracks import plot_msd, plot_tracks

__all__ = [
    "activity_picture_args",
    "BORDER_COLOUR",
    "MEDIUM_COLOUR",
    "MISSING_COLOUR",
    "border_mask",
    "cell_surfaces",
    "cell_types_at",
    "cell_values_at",
    "export_tiff",
    "export_vtk",
    "figure_html",
    "figure_png",
    "figure_rgb",
    "frame_picture_args",
    "frame_strip",
    "plot_activity",
    "plot_msd",
    "plot_run",
    "plot_slices",
    "plot_surfaces",
    "plot_tissue",
    "plot_tracks",
    "recording_movie",
    "render_frames",
    "run_series",
    "scrub",
    "simulation_picture_args",
    "tissue_png",
    "tissue_rgb",
    "type_colours",
    "write_movie",
    "write_series",
    "write_tiff_stack",
    "write_vti",
]
