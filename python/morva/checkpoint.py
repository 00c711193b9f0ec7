"""Checkpoint files: the engine state from ``morva._native.dumps`` plus the package's own state.

Layout: MAGIC, then little-endian u64 header length, u64 state length, u32 CRC-32 of header and
state, then the JSON header and the engine state. Files are written to a fresh temporary name, flushed
to disk and renamed over the old one, so a checkpoint is either the old one or the new one, whole.
"""

import json
import pathlib
import struct
import zlib

from ._safe_files import write_atomic

MAGIC = b"MORVA-CHECKPOINT-1\n"
_SIZES = struct.Struct("<QQI")


def encode(header, state):
    """Bytes of a checkpoint from a JSON-able header and the engine state.

    Examples
    --------
    >>> decode(encode({"mcs": 3}, b"abc"), "x")
    ({'mcs': 3}, b'abc')
    """
    head = json.dumps(header, sort_keys=True).encode("utf-8")
    state = bytes(state)
    crc = zlib.crc32(state, zlib.crc32(head))
    return MAGIC + _SIZES.pack(len(head), len(state), crc) + head + state


def decode(data, where):
    """Header and engine state of checkpoint bytes.

    Raises
    ------
    ValueError
        For a foreign, truncated or corrupt file, saying which.

    Examples
    --------
    >>> decode(b"hello", "x")
    Traceback (most recent call last):
    ...
    ValueError: x is not a morva checkpoint (wrong magic bytes)
    """
    if not data.startswith(MAGIC):
        raise ValueError(f"{where} is not a morva checkpoint (wrong magic bytes)")
    offset = len(MAGIC) + _SIZES.size
    if len(data) < offset:
        raise ValueError(f"{where} is truncated ({len(data)} bytes)")
    head_len, state_len, crc = _SIZES.unpack_from(data, len(MAGIC))
    if len(data) != offset + head_len + state_len:
        raise ValueError(f"{where} is truncated or has trailing bytes: {len(data)} bytes instead of "
                         f"{offset + head_len + state_len}")
    head = data[offset:offset + head_len]
    state = data[offset + head_len:]
    if zlib.crc32(state, zlib.crc32(head)) != crc:
        raise ValueError(f"{where} is corrupt (checksum mismatch)")
    try:
        header = json.loads(head.decode("utf-8"))
    except ValueError as err:
        raise ValueError(f"{where} has a corrupt header: {err}") from None
    return header, state


def write_checkpoint(path, header, state):
    """Write a checkpoint atomically.

    Examples
    --------
    >>> import tempfile
    >>> p = pathlib.Path(tempfile.mkdtemp()) / "c"; write_checkpoint(p, {"mcs": 1}, b"s"); read_checkpoint(p)[0]
    {'mcs': 1}
    """
    write_atomic(path, encode(header, state))


def read_checkpoint(path):
    """Header and engine state of a checkpoint file (see :func:`decode` for the errors).

    Examples
    --------
    >>> import tempfile
    >>> p = pathlib.Path(tempfile.mkdtemp()) / "c"; write_checkpoint(p, {}, b"s"); read_checkpoint(p)[1]
    b's'
    """
    path = pathlib.Path(path)
    try:
        data = path.read_bytes()
    except FileNotFoundError:
        raise ValueError(f"no checkpoint at {str(path)!r}") from None
    return decode(data, f"checkpoint {str(path)!r}")
