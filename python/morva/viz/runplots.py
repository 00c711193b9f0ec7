"""Plots of a whole run from its recording: per-type mean volume and surface, the sorting index
(share of heterotypic boundary) and field totals, over time.
"""

import numpy as np

from ._deps import require
from .frames import cell_types_at, padded
from .movie import as_recording
from .palette import type_colours


def run_series(rec):
    """Time series of a recording, one row per recorded step.

    Parameters
    ----------
    rec : morva.Recording or path
        The recording (or its folder).

    Returns
    -------
    dict of pandas objects, all indexed by ``time`` (MCS)
        ``"volume"`` and ``"surface"``: mean per cell type (DataFrame, one column per type name);
        ``"sorting_index"``: share of heterotypic boundary between cells (Series, see
        :func:`morva.measures.sorting_index`); ``"field_total"``: sum over all sites of each field
        (DataFrame, one column per field).

    Examples
    --------
    >>> from morva.viz import run_series
    >>> series = run_series("run")                                     # doctest: +SKIP
    >>> series["sorting_index"].iloc[-1] < series["sorting_index"].iloc[0]  # doctest: +SKIP
    True
    """
    pd = require("pandas")
    from morva.measures import sorting_index

    rec = as_recording(rec)
    cells = rec.cells[rec.cells["volume"] > 0]
    means = cells.groupby(["time", "type_name"])[["volume", "surface"]].mean()
    periodic = getattr(rec.model, "boundary", "periodic") == "periodic"
    times = np.asarray(rec.times, dtype=np.int64)
    sorting = []
    for index, time in enumerate(times):
        labels = np.asarray(rec.labels(index))
        types = padded(cell_types_at(rec.cells, int(time)), int(labels.max(initial=0)) + 1, 0)
        sorting.append(sorting_index(labels, types, periodic=periodic))
    totals = {
        str(name)[len("field_"):]: rec.frames[name].sum(dim=[d for d in rec.frames[name].dims if d != "time"]).values
        for name in rec.frames.data_vars
        if str(name).startswith("field_")
    }
    index = pd.Index(times, name="time")
    present = set(means.index.get_level_values("type_name"))
    columns = [n for n in rec.type_names if n in present]  # type order, as in the legends
    return {
        "volume": means["volume"].unstack("type_name").reindex(index=index, columns=columns),
        "surface": means["surface"].unstack("type_name").reindex(index=index, columns=columns),
        "sorting_index": pd.Series(sorting, index=index, name="sorting_index", dtype=float),
        "field_total": pd.DataFrame(totals, index=index),
    }


def plot_run(rec, *, colours=None, figsize=(10.0, 7.0)):
    """One figure summarising a run: per-type mean volume and surface, sorting index, field totals.

    Lines of a cell type take the type's colour in the tissue pictures.

    Parameters
    ----------
    rec : morva.Recording or path
        The recording (or its folder).
    colours : mapping or array_like, optional
        Type colours, ``{type name: colour}`` or an RGB row per type id (see :func:`type_colours`).
    figsize : tuple
        Figure size in inches.

    Returns
    -------
    matplotlib.figure.Figure
        Four panels over time (MCS).

    Examples
    --------
    >>> from morva.viz import plot_run
    >>> plot_run("run").savefig("run.png")                             # doctest: +SKIP
    """
    Figure = require("matplotlib.figure").Figure
    rec = as_recording(rec)
    series = run_series(rec)
    names = list(rec.type_names)
    colours = type_colours(names or ["medium"], colours)
    fig = Figure(figsize=figsize, layout="constrained")
    (vol, surf), (sort, field) = fig.subplots(2, 2, sharex=True)
    for ax, key, label in ((vol, "volume", "mean volume (sites)"), (surf, "surface", "mean surface (neighbour pairs)")):
        for name in series[key].columns:
            colour = colours[names.index(name)] if name in names else None
            ax.plot(series[key].index, series[key][name], color=colour, label=name, linewidth=1.6)
        ax.set_ylabel(label)
        if len(series[key].columns):
            ax.legend(frameon=False, fontsize=8)
    sort.plot(series["sorting_index"].index, series["sorting_index"], color="0.2", linewidth=1.6)
    sort.set_ylabel("sorting index\n(share of heterotypic boundary)")
    sort.set_ylim(0, max(1.0, float(np.nanmax(series["sorting_index"], initial=0))))
    if series["field_total"].columns.size:
        for name in series["field_total"].columns:
            field.plot(series["field_total"].index, series["field_total"][name], label=name, linewidth=1.6)
        field.legend(frameon=False, fontsize=8)
        field.set_ylabel("field total (sum over sites)")
    else:
        field.text(0.5, 0.5, "no fields recorded", ha="center", va="center", transform=field.transAxes, color="0.4")
        field.set_yticks([])
    for ax in (sort, field):
        ax.set_xlabel("time (MCS)")
    for ax in (vol, surf, sort, field):
        ax.grid(alpha=0.3)
    return fig
