"""Plots of a whole run from its recording: per-type cell counts, mean volume and surface, the
sorting index (share of heterotypic boundary) and field totals, over time.
"""

import numpy as np

from ._deps import require
from .frames import cell_types_at, padded
from .movie import as_recording
from .palette import type_colours, with_model_colours


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
        ``"cells"``: number of cells per type (DataFrame, one column per type name, 0 where none);
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
        "cells": cells.groupby(["time", "type_name"]).size().unstack("type_name")
        .reindex(index=index, columns=columns).fillna(0).astype(np.int64),
        "sorting_index": pd.Series(sorting, index=index, name="sorting_index", dtype=float),
        "field_total": pd.DataFrame(totals, index=index),
    }


def plot_run(rec, *, colours=None, figsize=None):
    """One figure summarising a run: per-type cell counts, mean volume and surface, and, when
    there is something to show, the sorting index (two or more cell types) and field totals.

    Lines of a cell type take the type's colour in the tissue pictures (the model's declared
    colours unless `colours` says otherwise).

    Parameters
    ----------
    rec : morva.Recording or path
        The recording (or its folder).
    colours : mapping or array_like, optional
        Type colours, ``{type name: colour}`` or an RGB row per type id (see :func:`type_colours`).
    figsize : tuple, optional
        Figure size in inches (default: by the number of panels).

    Returns
    -------
    matplotlib.figure.Figure
        Three to five panels over time (MCS).

    Examples
    --------
    >>> from morva.viz import plot_run
    >>> plot_run("run").savefig("run.png")                             # doctest: +SKIP
    """
    Figure = require("matplotlib.figure").Figure
    rec = as_recording(rec)
    series = run_series(rec)
    names = list(rec.type_names)
    colours = type_colours(names or ["medium"], with_model_colours(getattr(rec.model, "type_colours", None), colours))
    panels = [("cells", "cells"), ("volume", "mean volume (sites)"), ("surface", "mean surface (neighbour pairs)")]
    if len(names) > 2:  # the medium and at least two cell types
        panels.append(("sorting_index", "sorting index\n(share of heterotypic boundary)"))
    if series["field_total"].columns.size:
        panels.append(("field_total", "field total (sum over sites)"))
    columns = (len(panels) + 1) // 2
    fig = Figure(figsize=figsize or (5.0 * columns, 7.0), layout="constrained")
    axes = fig.subplots(2, columns, sharex=True, squeeze=False).T.ravel()  # down the columns
    for ax, (key, label) in zip(axes, panels):
        data = series[key]
        if key == "sorting_index":
            ax.plot(data.index, data, color="0.2", linewidth=1.6)
            ax.set_ylim(0, max(1.0, float(np.nanmax(data, initial=0))))
        else:
            for name in data.columns:
                colour = colours[names.index(name)] if key != "field_total" and name in names else None
                ax.plot(data.index, data[name], color=colour, label=name, linewidth=1.6)
            if len(data.columns):
                ax.legend(frameon=False, fontsize=8)
        ax.set_ylabel(label)
        ax.grid(alpha=0.3)
    for ax in axes[len(panels):]:
        ax.set_visible(False)
    for ax in fig.axes:
        if ax.get_visible():
            ax.set_xlabel("time (MCS)")
            ax.xaxis.set_tick_params(labelbottom=True)
    return fig
