"""Errors in model files that say where they are: the table or entry, the key and, when the file
is read from disk, the file and the line."""

import contextlib
import difflib
import re


class ModelFileError(ValueError):
    """A bad entry of a model file; `where` is its table or entry ("[types.dark]", "contacts[1]"),
    `key` the key at fault when there is one."""

    def __init__(self, message, where=None, key=None):
        super().__init__(message)
        self.where = where
        self.key = key


def unknown_keys(where, table, allowed):
    """Raise a ModelFileError for keys of `table` not in `allowed`, suggesting close known ones.

    Examples
    --------
    >>> unknown_keys("[lattice]", {"temprature": 10}, {"shape", "temperature"})
    Traceback (most recent call last):
    ...
    morva._modelfile_errors.ModelFileError: model file: unknown key 'temprature' (did you mean ...?) in [lattice]
    """
    extra = sorted(set(table) - set(allowed))
    if not extra:
        return
    hints = []
    for key in extra:
        close = difflib.get_close_matches(str(key), sorted(allowed), n=1)
        hints.append(f"{key!r}" + (f" (did you mean {close[0]!r}?)" if close else ""))
    noun = "key" if len(extra) == 1 else "keys"
    message = f"model file: unknown {noun} {', '.join(hints)} in {where}"
    raise ModelFileError(message, where, extra[0])


@contextlib.contextmanager
def located(where):
    """Errors raised inside the block become ModelFileErrors of the entry `where`.

    Examples
    --------
    >>> with located("[types.dark]"):
    ...     raise ValueError("cell type 'dark': volume must be greater than 0, got 0")
    Traceback (most recent call last):
    ...
    morva._modelfile_errors.ModelFileError: model file: [types.dark]: cell type 'dark': volume must be ...
    """
    try:
        yield
    except ModelFileError:
        raise
    except (ValueError, KeyError) as err:
        text = err.args[0] if isinstance(err, KeyError) and err.args else str(err)
        if not text.startswith("model file:"):
            text = f"model file: {where}: {text}"
        raise ModelFileError(text, where) from None


def _header_lines(lines, name, array):
    pattern = re.compile(r"^\s*\[\[\s*" + re.escape(name) + r"\s*\]\]" if array
                         else r"^\s*\[\s*" + re.escape(name).replace(r"\.", r"\s*\.\s*") + r"\s*\]")
    return [n for n, line in enumerate(lines) if pattern.match(line)]


def line_of(text, where, key=None):
    """Line number (from 1) of the entry `where` (or of its `key`) in model-file text, or None.

    Examples
    --------
    >>> line_of("[lattice]\\nshape = [4, 4]\\n\\n[types.a]\\nvolum = 9\\n", "[types.a]", "volum")
    5
    >>> line_of("act_mean = 'arithmetic'\\n[lattice]\\n", "act_mean")
    1
    >>> line_of("[[contacts]]\\ntypes = ['a', 'b']\\n[[contacts]]\\nenergy = 3\\n", "contacts[1]")
    3
    """
    if where is None:
        return None
    lines = text.splitlines()
    if re.fullmatch(r"\w+", where):  # a key above the first table
        pattern = re.compile(r"^\s*" + where + r"\s*=")
        for n, line in enumerate(lines):
            if line.lstrip().startswith("["):
                break
            if pattern.match(line):
                return n + 1
        return None
    array = re.fullmatch(r"(\w+)\[(\d+)\].*", where)
    if array:
        starts = _header_lines(lines, array.group(1), True)
        index = int(array.group(2))
        start = starts[index] if index < len(starts) else None
    else:
        table = re.fullmatch(r"\[([^\]]+)\].*", where)
        start = None
        if table:
            # The innermost table written as a header, "[fields.c].secretion" being inside [fields.c].
            parts = table.group(1).split(".")
            for n in range(len(parts), 0, -1):
                found = _header_lines(lines, ".".join(parts[:n]), False)
                if found:
                    start = found[0]
                    break
    if start is None:
        return None
    if key is not None:
        pattern = re.compile(r"^\s*[\"']?" + re.escape(str(key)) + r"[\"']?\s*=")
        for n in range(start + 1, len(lines)):
            if lines[n].lstrip().startswith("["):
                break
            if pattern.match(lines[n]):
                return n + 1
    return start + 1


def named_entries(section, table, allowed, required):
    """The entries of a model file's table of named tables ([rules], [cell_odes], [reactions]).

    Yields ``(name, entry, where)`` for each entry, after checking that it is a table, that it has
    no unknown keys and that it has every key of `required`; errors name the entry.

    Examples
    --------
    >>> [where for _, _, where in named_entries("rules", {"r": {"action": "remove"}}, {"action"}, ["action"])]
    ['[rules.r]']
    >>> list(named_entries("rules", {"r": {}}, {"action", "when"}, ["action", "when"]))
    Traceback (most recent call last):
    ...
    morva._modelfile_errors.ModelFileError: model file: [rules.r] needs 'action' and 'when'
    """
    for name, entry in table.items():
        where = f"[{section}.{name}]"
        if not isinstance(entry, dict):
            raise ModelFileError(f"model file: {where} must be a table", where)
        unknown_keys(where, entry, allowed)
        if any(key not in entry for key in required):
            raise ModelFileError(f"model file: {where} needs {' and '.join(map(repr, required))}", where)
        yield name, entry, where
