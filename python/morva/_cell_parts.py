"""Parts of the per-cell table: Parquet files written a row group at a time.

A part stays open under a temporary name while rows come in, and rows are encoded as soon as a row
group's worth has gathered; a flush then only encodes the last few rows before it closes the part
and renames it into place. The Arrow schema is the one pandas gives the table, so every part reads
back through pandas exactly like a DataFrame that pandas wrote itself.
"""

import contextlib

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq

from .cell_table import RECORDED_COLUMNS
from ._safe_files import temporary_beside

FLOAT_COLUMNS = {"com_x", "com_y", "com_z", "length"}
ROWS_PER_PART = 50_000
ROWS_PER_GROUP = 8_192  # rows held in memory at most, besides one chunk's


def table_schema(type_names, extra=()):
    """The Arrow schema pandas gives the cell table of a model with these types.

    Examples
    --------
    >>> table_schema(["medium", "a"]).field("type_name").type.index_type
    DataType(int8)
    """
    empty = {c: pd.Series(dtype=np.float64 if c in FLOAT_COLUMNS else np.int64) for c in RECORDED_COLUMNS}
    empty.update({name: pd.Series(dtype=np.float64) for name in extra})  # per-cell vectors and variables
    empty["type_name"] = pd.Categorical([], categories=list(type_names))
    return pa.Schema.from_pandas(pd.DataFrame(empty), preserve_index=False)


class CellTableParts:
    """Writes rows of the cell table into part-NNNNNN.parquet files of at most about ROWS_PER_PART rows.

    Parameters
    ----------
    directory : pathlib.Path
        The cells/ folder.
    type_names : list of str
        Type names by type id.
    parts : int
        Parts already written (the next one gets this number).
    extra : sequence of str
        Columns of the per-cell vectors and variables (see cell_table.recorded_columns), float64
        columns after the others.

    Examples
    --------
    >>> import tempfile, pathlib
    >>> folder = pathlib.Path(tempfile.mkdtemp())
    >>> table = CellTableParts(folder, ["medium", "a"], 0)
    >>> rows = {c: np.ones(2, np.int64) for c in RECORDED_COLUMNS if c != "type_name"}
    >>> table.add(rows); table.write(); table.parts, pd.read_parquet(folder)["type_name"].tolist()
    (1, ['a', 'a'])
    """

    def __init__(self, directory, type_names, parts, extra=()):
        self.directory = directory
        self.parts = parts
        self.schema = table_schema(type_names, extra)
        self.columns = RECORDED_COLUMNS + tuple(extra)
        type_name = self.schema.field("type_name").type
        self._names = pa.array(list(type_names), type=type_name.value_type)
        self._index_type = type_name.index_type
        self._pending = []
        self._pending_rows = 0
        self._open = None  # (ParquetWriter, ExitStack of its temporary file) of the part being written
        self._part_rows = 0

    @property
    def rows(self):
        """Rows kept in memory, not yet encoded.

        Examples
        --------
        >>> CellTableParts(None, ["medium"], 0).rows
        0
        """
        return self._pending_rows

    def add(self, rows):
        """Take rows (a dict of arrays: RECORDED_COLUMNS but type_name, which comes from type).

        Examples
        --------
        >>> table = CellTableParts(None, ["medium"], 0); table.add({"id": np.zeros(3)}); table.rows
        3
        """
        self._pending.append(rows)
        self._pending_rows += len(rows["id"])
        if self._pending_rows >= ROWS_PER_GROUP:
            self._write_group()
            if self._part_rows >= ROWS_PER_PART:
                self._close_part()

    def write(self):
        """Put every row taken so far into a finished part file (none when there are no new rows).

        Examples
        --------
        >>> import tempfile, pathlib
        >>> table = CellTableParts(pathlib.Path(tempfile.mkdtemp()), [], 0); table.write(); table.parts
        0
        """
        self._write_group()
        self._close_part()

    def _write_group(self):
        if not self._pending_rows:
            return
        columns = {c: np.concatenate([rows[c] for rows in self._pending]) for c in self._pending[0]}
        types = columns["type"]
        known = types < len(self._names)
        codes = pa.array(np.where(known, types, 0), type=self._index_type, mask=~known)
        arrays = [pa.DictionaryArray.from_arrays(codes, self._names) if c == "type_name" else pa.array(columns[c])
                  for c in self.columns]
        if self._open is None:
            target = self.directory / f"part-{self.parts:06d}.parquet"
            files = contextlib.ExitStack()
            out, _ = files.enter_context(temporary_beside(target))
            self._open = (pq.ParquetWriter(out, self.schema, use_dictionary=["type_name"]), files)
        # Dictionary pages only pay where values repeat; building them for the numeric columns
        # would double the time a row group takes.
        self._open[0].write_table(pa.Table.from_arrays(arrays, schema=self.schema))
        self._part_rows += len(types)
        self._pending = []
        self._pending_rows = 0

    def _close_part(self):
        if self._open is None:
            return
        writer, files = self._open
        self._open = None
        writer.close()
        files.close()  # closes the file and renames it into place
        self.parts += 1
        self._part_rows = 0
