"""The store folder of a sweep: one Parquet file per finished run, written the moment it ends.

Layout::

    DIR/sweep.json            what makes the sweep itself (seed, grid, replicates, times,
                              measures, model hash); a different sweep is refused
    DIR/model.toml            the model, for the reader
    DIR/runs/NNNNNN.parquet   the rows of run NNNNNN (its index in table order)

Every file is written to a fresh temporary name and renamed, so a crash leaves either the whole
file or none. Runs whose rows hold an error are computed again on the next pass.
"""

from __future__ import annotations

import json
from pathlib import Path

import pandas as pd

from ._safe_files import temporary_beside
from ._sweep_plan import model_text

IDENTITY = "sweep.json"
RUNS = "runs"


def _write_atomically(path, write):
    with temporary_beside(path) as (out, _):
        write(out)


def _differences(stored, current):
    """Human-readable list of what differs between two sweep identities."""
    texts = []
    for key in ("format", "seed", "replicates", "mcs", "measures"):
        if stored.get(key) != current[key]:
            texts.append(f"{key}: the store has {stored.get(key)!r}, this sweep {current[key]!r}")
    stored_grid, grid = stored.get("grid", {}), current["grid"]
    if list(stored_grid) != list(grid):
        texts.append(f"grid parameters: the store has {list(stored_grid)}, this sweep {list(grid)}")
    else:
        for name, values in grid.items():
            if stored_grid[name] != values:
                texts.append(f"grid {name!r}: the store has {stored_grid[name]}, this sweep {values}")
    if stored.get("model_sha256") != current["model_sha256"]:
        texts.append("model: the model differs from the store's model.toml")
    return texts


class Store:
    """A sweep's store folder, opened for one sweep (refused if made by another one).

    Examples
    --------
    >>> store = Store("results/phase", plan)   # doctest: +SKIP
    >>> finished = store.finished()            # {run index: rows}
    """

    def __init__(self, folder, plan):
        self.folder = Path(folder)
        self.runs = self.folder / RUNS
        identity = plan.identity()
        identity_file = self.folder / IDENTITY
        if identity_file.exists():
            try:
                stored = json.loads(identity_file.read_text(encoding="utf-8"))
                if not isinstance(stored, dict):
                    raise ValueError(f"it holds a {type(stored).__name__}, not a table")
            except ValueError as err:
                raise ValueError(f"store {str(self.folder)!r}: {str(identity_file)!r} is damaged ({err}); "
                                 "nothing was changed. Use another folder for this sweep.") from None
            differences = _differences(stored, identity)
            if differences:
                raise ValueError(
                    f"store {str(self.folder)!r} was made by a different sweep; nothing was changed. "
                    f"Differences: {'; '.join(differences)}. Use another folder for this sweep."
                )
        else:
            if self.folder.exists() and any(self.folder.iterdir()):
                raise ValueError(
                    f"store {str(self.folder)!r} is a folder that holds other files and no {IDENTITY}; "
                    "refusing to write a sweep into it"
                )
            self.folder.mkdir(parents=True, exist_ok=True)
            _write_atomically(self.folder / "model.toml", lambda out: out.write(model_text(plan.model).encode("utf-8")))
            _write_atomically(identity_file, lambda out: out.write((json.dumps(identity, indent=2) + "\n").encode("utf-8")))
        self.runs.mkdir(exist_ok=True)

    def _path(self, index):
        return self.runs / f"{index:06d}.parquet"

    def finished(self, n_runs):
        """Rows of the runs stored without error, by run index.

        A stored run that cannot be read or holds no rows (a damaged file) is computed again.
        """
        done = {}
        for index in range(n_runs):
            path = self._path(index)
            if path.exists():
                try:
                    rows = pd.read_parquet(path).to_dict("records")
                except Exception:  # whatever the Parquet reader makes of a damaged file
                    continue
                if rows and all(row.get("error") is None for row in rows):
                    done[index] = rows
        return done

    def write(self, index, rows):
        """Store the rows of one run (replacing only an earlier failed attempt of that run)."""
        frame = pd.DataFrame(rows)
        _write_atomically(self._path(index), lambda p: frame.to_parquet(p, index=False))
