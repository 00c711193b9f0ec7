"""The Act model's activity field under the cells: a picture of a simulation, a recorded frame or arrays.

The activity is drawn in a panel beside the cells (it lives inside the cells, where an overlay
would be covered by them), on a fixed colour range from 0 to the model's largest max_act, with the
cell outlines over it; the movie machinery (:func:`morva.viz.render_frames` with
``field="activity"``) draws the same panels frame after frame. A 3-D world is drawn as slices
with the activity under the cells, in the reversed colour map so that the medium stays light.
"""

from .frames import frame_picture_args
from .notebook import simulation_picture_args
from .tissue import plot_slices, plot_tissue

ACTIVITY_CMAP = "magma"


def activity_range(model):
    """Colour range of the activity: 0 to the largest max_act of the model's types (at least 1).

    Examples
    --------
    >>> import morva
    >>> activity_range(morva.Model((8, 8)).add_type("t", volume=9, lambda_volume=1, lambda_act=100, max_act=30))
    (0.0, 30.0)
    """
    return 0.0, float(max([t.max_act for t in model.types.values()] + [1]))


def activity_picture_args(source, frame=-1):
    """Keyword arguments of :func:`morva.viz.plot_tissue` that draw the activity beside the cells.

    Parameters
    ----------
    source : morva.Simulation or morva.Recording
        A simulation (its current state) or a recording that holds the activity.
    frame : int
        Frame number of a recording (default the last).

    Examples
    --------
    >>> import morva
    >>> m = morva.Model((8, 8), default_contact=0).add_type("t", volume=9, lambda_volume=1, lambda_act=200,
    ...                                                    max_act=20).add_block("t", (2, 2), (5, 5))
    >>> args = activity_picture_args(m.build(seed=1)); args["field_range"], args["field_mode"]
    ((0.0, 20.0), 'beside')
    """
    if hasattr(source, "world"):
        args = simulation_picture_args(source)
        args["field"] = source.activity()
    else:
        args = frame_picture_args(source, frame, field="activity")
    args.update(field_name="activity", field_mode="beside", field_cmap=ACTIVITY_CMAP,
                field_range=activity_range(source.model))
    return args


def plot_activity(source, frame=-1, **picture):
    """Picture of the Act model's activity of every site, beside the tissue it belongs to.

    Parameters
    ----------
    source : morva.Simulation or morva.Recording
        A simulation (its current state) or a recording that holds the activity (recordings of
        models with the Act model do by default).
    frame : int
        Frame number of a recording (default the last).
    **picture
        Further keyword arguments of :func:`morva.viz.plot_tissue` (``title``, ``figsize``,
        ``field_mode="overlay"``, ...), or in 3-D of :func:`morva.viz.plot_slices` (``at``: the
        site the slices go through, e.g. a cell's centre).

    Returns
    -------
    matplotlib.figure.Figure
        The tissue by type on the left, the activity with the cell outlines on the right.

    Examples
    --------
    >>> import morva
    >>> from morva.viz import plot_activity
    >>> m = morva.Model((30, 30), default_contact=0).add_type("t", volume=60, lambda_volume=5, lambda_act=200,
    ...                                                      max_act=20).set_contact("medium", "t", 20)
    >>> sim = m.add_block("t", (10, 10), (18, 18)).build(seed=1); sim.run(20, progress=False)
    >>> fig = plot_activity(sim); [ax.get_title() for ax in fig.axes[:2]]
    ['', 'activity']
    """
    args = activity_picture_args(source, frame)
    if args["labels"].ndim == 3 and args["labels"].shape[0] > 1:
        del args["field_mode"]
        args["field_cmap"] = ACTIVITY_CMAP + "_r"
        return plot_slices(**{**args, **picture})
    return plot_tissue(**{**args, **picture})
