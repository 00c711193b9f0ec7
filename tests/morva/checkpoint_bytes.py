"""Takes checkpoint bytes apart and puts them back together with a fresh checksum, so that tests can
hand the reader data that is well framed but says something false."""

import struct

MASK = (1 << 64) - 1


def checksum(data):
    h = 0xCBF29CE484222325
    for b in data:
        h = ((h ^ b) * 0x100000001B3) & MASK
    return h


def split(data):
    """(version, [(tag, body), ...]) of a well-formed checkpoint."""
    version, n_sections, total = struct.unpack_from("<IIQ", data, 8)
    assert data[:8] == b"MORVACKP" and total == len(data)
    sections, at = [], 24
    for _ in range(n_sections):
        tag, _reserved, length = struct.unpack_from("<4sIQ", data, at)
        sections.append((tag.decode(), bytearray(data[at + 16 : at + 16 + length])))
        at += 16 + length
    return version, sections


def join(sections, version=1, n_sections=None):
    body = b"".join(struct.pack("<4sIQ", tag.encode(), 0, len(b)) + bytes(b) for tag, b in sections)
    n = len(sections) if n_sections is None else n_sections
    head = b"MORVACKP" + struct.pack("<IIQ", version, n, 24 + len(body) + 8)
    data = head + body
    return data + struct.pack("<Q", checksum(data))


def with_checksum(data):
    """The same bytes with the closing checksum recomputed."""
    data = bytes(data[:-8])
    return data + struct.pack("<Q", checksum(data))


def patched(data, tag, edit):
    """The checkpoint with section `tag`'s body replaced by edit(body) (a bytearray), re-framed."""
    version, sections = split(data)
    out = [(t, edit(b) if t == tag else b) for t, b in sections]
    return join(out, version)
