"""How cells move along their tracks: speed, mean squared displacement, velocity autocorrelation
and persistence time.

Functions take a track table (see :func:`morva.measures.tracks`): frame, particle, x, y[, z], mcs,
positions unwrapped. Lags and times are in MCS, lengths in sites. The mean squared displacement
comes from trackpy and the fits from SciPy, both in the ``tracks`` extra
(``pip install 'morva[tracks]'``).
"""

import importlib
import warnings

import numpy as np
import pandas as pd

from .tracks import _axes


def _require(module):
    try:
        return importlib.import_module(module)
    except ImportError as error:
        raise ImportError(f"this morva.measures function needs {module.split('.')[0]}: "
                          "pip install 'morva[tracks]'") from error


def _from_trackpy(name, tracks, max_lag):
    """trackpy's ``name`` (imsd or emsd) of the tracks, lags in MCS."""
    trackpy = _require("trackpy")
    spacing = frame_spacing(tracks)
    with warnings.catch_warnings():
        # trackpy's own use of pandas calls that newer pandas deprecates: nothing a caller can change.
        warnings.filterwarnings("ignore", category=DeprecationWarning, module="trackpy")
        result = getattr(trackpy.motion, name)(tracks, mpp=1.0, fps=1.0 / spacing, pos_columns=list(_axes(tracks)),
                                               max_lagtime=_lag_frames(tracks, max_lag, spacing))
    result.index = pd.Index(np.rint(result.index.to_numpy()).astype(np.int64), name="lag")
    return result


def frame_spacing(tracks):
    """MCS between consecutive frames of a track table (they must be evenly spaced).

    Examples
    --------
    >>> frame_spacing(pd.DataFrame({"frame": [0, 1, 3], "particle": 1, "x": 0.0, "y": 0.0, "mcs": [0, 5, 15]}))
    5
    """
    _axes(tracks)
    frames = tracks.groupby("frame")["mcs"].agg(["min", "max"])
    if (frames["min"] != frames["max"]).any():
        raise ValueError("tracks: rows of one frame have different mcs")
    if len(frames) < 2:
        raise ValueError("tracks: motion needs at least two frames")
    steps = np.diff(frames["min"].to_numpy()) / np.diff(frames.index.to_numpy())
    if not np.all(steps == steps[0]) or steps[0] <= 0 or steps[0] != int(steps[0]):
        raise ValueError(f"tracks: frames are not evenly spaced in MCS (steps {sorted(set(steps.tolist()))}); "
                         "lags need a fixed spacing")
    return int(steps[0])


def speeds(tracks):
    """Instantaneous speed of every cell: distance from its previous frame over the MCS between them.

    Parameters
    ----------
    tracks : pandas.DataFrame
        Track table (unwrapped positions).

    Returns
    -------
    pandas.DataFrame
        frame, particle, mcs and speed (sites per MCS), one row per frame of a cell but its first.
        The speed depends on the time between frames: over short times the random moves of a
        cell's boundary add to it.

    Examples
    --------
    >>> t = pd.DataFrame({"frame": [0, 1, 2], "particle": 7, "x": [0.0, 3.0, 3.0], "y": [0.0, 4.0, 4.0],
    ...                   "mcs": [0, 10, 20]})
    >>> speeds(t)["speed"].tolist()
    [0.5, 0.0]
    """
    axes = list(_axes(tracks))
    ordered = tracks.sort_values(["particle", "frame"], kind="stable").reset_index(drop=True)
    moves = ordered.groupby("particle")[axes + ["mcs"]].diff()
    keep = moves["mcs"].notna()
    distance = np.sqrt((moves.loc[keep, axes] ** 2).sum(axis=1))
    out = ordered.loc[keep, ["frame", "particle", "mcs"]].copy()
    out["speed"] = distance / moves.loc[keep, "mcs"]
    return out.sort_values(["frame", "particle"], kind="stable").reset_index(drop=True)


def mean_speed(tracks):
    """Mean speed of each cell: the length of its path over the MCS it covers.

    Returns
    -------
    pandas.Series
        Sites per MCS, indexed by particle (cells seen in one frame only are left out).

    Examples
    --------
    >>> t = pd.DataFrame({"frame": [0, 1, 2], "particle": 7, "x": [0.0, 3.0, 3.0], "y": [0.0, 4.0, 4.0],
    ...                   "mcs": [0, 10, 20]})
    >>> mean_speed(t).tolist()
    [0.25]
    """
    axes = list(_axes(tracks))
    ordered = tracks.sort_values(["particle", "frame"], kind="stable").reset_index(drop=True)
    moves = ordered.groupby("particle")[axes + ["mcs"]].diff().dropna()
    path = np.sqrt((moves[axes] ** 2).sum(axis=1)).groupby(ordered.loc[moves.index, "particle"]).sum()
    elapsed = moves["mcs"].groupby(ordered.loc[moves.index, "particle"]).sum()
    return (path / elapsed).rename("speed")


def _lag_frames(tracks, max_lag, spacing):
    if max_lag is None:
        span = tracks.groupby("particle")["frame"].agg(lambda f: f.max() - f.min()).max()
        return max(1, int(span) // 4)
    frames = int(max_lag) // spacing
    if frames < 1:
        raise ValueError(f"max_lag: {max_lag} MCS is shorter than the {spacing} MCS between frames")
    return frames


def cell_msd(tracks, max_lag=None):
    """Mean squared displacement of each cell by lag (trackpy's ``imsd``).

    Parameters
    ----------
    tracks : pandas.DataFrame
        Track table (unwrapped positions, evenly spaced frames).
    max_lag : int, optional
        Longest lag in MCS (default: a quarter of the longest track).

    Returns
    -------
    pandas.DataFrame
        Indexed by lag (MCS), one column per particle, in sites squared.

    Examples
    --------
    >>> t = pd.DataFrame({"frame": [0, 1, 2], "particle": 1, "x": [0.0, 1.0, 2.0], "y": 0.0, "mcs": [0, 2, 4]})
    >>> cell_msd(t, max_lag=4)[1].tolist()
    [1.0, 4.0]
    """
    return _from_trackpy("imsd", tracks, max_lag)


def msd(tracks, max_lag=None):
    """Mean squared displacement of all cells by lag (trackpy's ``emsd``: every cell's displacements
    over every time origin, averaged).

    Parameters
    ----------
    tracks : pandas.DataFrame
        Track table (unwrapped positions, evenly spaced frames).
    max_lag : int, optional
        Longest lag in MCS (default: a quarter of the longest track).

    Returns
    -------
    pandas.Series
        Sites squared, indexed by lag (MCS).

    Examples
    --------
    >>> t = pd.DataFrame({"frame": [0, 1, 2, 0, 1, 2], "particle": [1, 1, 1, 2, 2, 2],
    ...                   "x": [0.0, 1, 2, 5, 5, 5], "y": 0.0, "mcs": [0, 2, 4] * 2})
    >>> msd(t, max_lag=4).tolist()
    [0.5, 2.0]
    """
    return _from_trackpy("emsd", tracks, max_lag).rename("msd")


def velocities(tracks):
    """Velocity of each cell between consecutive frames, as an array (frames, particles, axes).

    Velocities are differences of positions over the MCS between frames, placed at the earlier
    frame; NaN where a cell is missing from either frame.

    Returns
    -------
    ndarray, list of particle ids

    Examples
    --------
    >>> t = pd.DataFrame({"frame": [0, 1, 2], "particle": 4, "x": [0.0, 2.0, 2.0], "y": 0.0, "mcs": [0, 2, 4]})
    >>> v, ids = velocities(t); v[:, 0, 0].tolist(), ids
    ([1.0, 0.0, nan], [4])
    """
    axes = list(_axes(tracks))
    spacing = frame_spacing(tracks)
    first = int(tracks["frame"].min())
    wide = tracks.pivot(index="frame", columns="particle", values=axes)
    wide = wide.reindex(range(first, int(tracks["frame"].max()) + 1))
    ids = wide[axes[0]].columns.tolist()
    positions = np.stack([wide[axis].to_numpy(dtype=float) for axis in axes], axis=-1)
    moves = np.full_like(positions, np.nan)
    moves[:-1] = (positions[1:] - positions[:-1]) / spacing
    return moves, ids


def vacf(tracks, max_lag=None, *, normalise=False):
    """Velocity autocorrelation: the mean of v(t)·v(t + lag) over cells and time origins.

    Velocities are taken between consecutive frames (see :func:`velocities`).

    Parameters
    ----------
    tracks : pandas.DataFrame
        Track table (unwrapped positions, evenly spaced frames).
    max_lag : int, optional
        Longest lag in MCS (default: a quarter of the longest track).
    normalise : bool
        Divide by the value at lag 0 (then 1 at lag 0).

    Returns
    -------
    pandas.Series
        Indexed by lag (MCS) from 0; (sites per MCS) squared unless normalised.

    Examples
    --------
    >>> t = pd.DataFrame({"frame": [0, 1, 2, 3], "particle": 1, "x": [0.0, 1, 0, 1], "y": 0.0, "mcs": [0, 1, 2, 3]})
    >>> vacf(t, max_lag=2).tolist()
    [1.0, -1.0, 1.0]
    """
    spacing = frame_spacing(tracks)
    lags = _lag_frames(tracks, max_lag, spacing)
    v, _ = velocities(tracks)
    values = []
    for lag in range(lags + 1):
        products = np.sum(v[:v.shape[0] - lag] * v[lag:], axis=-1)
        values.append(np.nanmean(products) if np.isfinite(products).any() else np.nan)
    series = pd.Series(values, index=pd.Index(np.arange(lags + 1) * spacing, name="lag"), name="vacf")
    return series / series.iloc[0] if normalise else series


def furth_msd(lag, diffusion, persistence_time, ndim):
    """Mean squared displacement of a persistent random walk (Fürth's formula).

    MSD(t) = 2 d D (t − P (1 − exp(−t / P))): ballistic (∝ t²) for t ≪ P, diffusive (∝ t) for t ≫ P.

    Examples
    --------
    >>> float(furth_msd(1e6, 0.5, 10.0, 2)) / 1e6
    1.99998
    """
    lag = np.asarray(lag, dtype=float)
    return 2 * ndim * diffusion * (lag - persistence_time * -np.expm1(-lag / persistence_time))


def fit_furth(lag, msd_values, ndim):
    """Fit Fürth's formula (:func:`furth_msd`) to a mean squared displacement.

    The fit weighs each lag by its relative error, so short and long lags count alike.

    Parameters
    ----------
    lag, msd_values : array_like
        Lags (MCS, > 0) and mean squared displacements (sites squared).
    ndim : int
        Dimensions the cells move in.

    Returns
    -------
    dict
        ``persistence_time`` P (MCS), ``diffusion`` D (sites squared per MCS) and ``speed``
        sqrt(d D / P), the root mean square speed of the walk (sites per MCS).

    Examples
    --------
    >>> lag = np.arange(1, 200.0)
    >>> fit = fit_furth(lag, furth_msd(lag, 0.4, 12.0, 2), 2)
    >>> round(fit["persistence_time"], 3), round(fit["diffusion"], 3)
    (12.0, 0.4)
    """
    optimize = _require("scipy.optimize")
    lag = np.asarray(lag, dtype=float)
    values = np.asarray(msd_values, dtype=float)
    keep = (lag > 0) & np.isfinite(values) & (values > 0)
    lag, values = lag[keep], values[keep]
    if lag.size < 3:
        raise ValueError("fit_furth: needs at least three lags with a positive mean squared displacement")

    def model(t, log_d, log_p):
        return np.log(furth_msd(t, np.exp(log_d), np.exp(log_p), ndim))

    guess = (np.log(values[-1] / (2 * ndim * lag[-1])), np.log(np.median(lag)))
    (log_d, log_p), _ = optimize.curve_fit(model, lag, np.log(values), p0=guess, maxfev=10000)
    diffusion, persistence = float(np.exp(log_d)), float(np.exp(log_p))
    return {"persistence_time": persistence, "diffusion": diffusion,
            "speed": float(np.sqrt(ndim * diffusion / persistence))}


def fit_exponential(lag, vacf_values):
    """Fit A exp(−t / P) to a velocity autocorrelation, over the lags above 0.

    Velocities taken over a finite time between frames smooth the autocorrelation at lag 0 only, so
    lag 0 is left out.

    Returns
    -------
    dict
        ``persistence_time`` P (MCS) and ``amplitude`` A.

    Examples
    --------
    >>> lag = np.arange(0, 60.0)
    >>> fit = fit_exponential(lag, 0.3 * np.exp(-lag / 8))
    >>> round(fit["persistence_time"], 3), round(fit["amplitude"], 3)
    (8.0, 0.3)
    """
    optimize = _require("scipy.optimize")
    lag = np.asarray(lag, dtype=float)
    values = np.asarray(vacf_values, dtype=float)
    keep = (lag > 0) & np.isfinite(values)
    lag, values = lag[keep], values[keep]
    if lag.size < 2 or values[0] <= 0:
        raise ValueError("fit_exponential: needs at least two lags above 0 and a positive value at the first "
                         "(velocities uncorrelated from one frame to the next have no persistence to fit)")
    below = np.flatnonzero(values < values[0] / np.e)
    guess = (values[0], lag[below[0]] if below.size else lag[-1])
    (amplitude, persistence), _ = optimize.curve_fit(lambda t, a, p: a * np.exp(-t / p), lag, values, p0=guess,
                                                     bounds=([0, 1e-9], [np.inf, np.inf]), maxfev=10000)
    return {"persistence_time": float(persistence), "amplitude": float(amplitude)}


def persistence_time(tracks, *, method="msd", max_lag=None):
    """Persistence time of the cells' motion, in MCS.

    Parameters
    ----------
    tracks : pandas.DataFrame
        Track table (unwrapped positions, evenly spaced frames).
    method : {"msd", "vacf"}
        Fit Fürth's formula to the mean squared displacement (:func:`fit_furth`), or an
        exponential to the velocity autocorrelation (:func:`fit_exponential`).
    max_lag : int, optional
        Longest lag fitted, in MCS (default: a quarter of the longest track). It should reach
        several persistence times.

    Returns
    -------
    float
        Only times within the lags fitted are measured: a persistence time far beyond the longest
        lag means the cells moved straight over all of them (a drift), one far below the time
        between frames that they moved diffusively at every lag.

    Examples
    --------
    >>> rng = np.random.default_rng(0); a = np.exp(-1 / 10)
    >>> v = np.zeros((2000, 40, 2))
    >>> for k in range(1, 2000): v[k] = a * v[k - 1] + np.sqrt(1 - a * a) * rng.normal(size=(40, 2))
    >>> x = np.cumsum(v, axis=0)
    >>> t = pd.DataFrame({"frame": np.repeat(np.arange(2000), 40), "particle": np.tile(np.arange(40), 2000),
    ...                   "x": x[..., 0].ravel(), "y": x[..., 1].ravel(), "mcs": np.repeat(np.arange(2000), 40)})
    >>> 8 < persistence_time(t, max_lag=100) < 12
    True
    """
    if method == "msd":
        series = msd(tracks, max_lag)
        return fit_furth(series.index, series.to_numpy(), len(_axes(tracks)))["persistence_time"]
    if method == "vacf":
        series = vacf(tracks, max_lag)
        return fit_exponential(series.index, series.to_numpy())["persistence_time"]
    raise ValueError(f"method must be 'msd' or 'vacf', got {method!r}")
