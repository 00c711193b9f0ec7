"""loads() refuses bad data with a ValueError that names the fault, and builds nothing when it does."""

import struct
import sys

import pytest

import morva_core
from morva import _native
from checkpoint_bytes import patched, split, with_checksum
from native_scenarios import tissue, with_fields


@pytest.fixture(scope="module")
def good():
    w = with_fields(tissue((14, 12, 1), size=4))
    w.finalize(8)
    w.step(2)
    return _native.dumps(w)


def refusal(data):
    with pytest.raises(ValueError) as info:
        _native.loads(data)
    return str(info.value)


def test_every_truncation_is_refused(good):
    for size in range(len(good)):
        assert refusal(good[:size]).startswith("checkpoint: ")
    assert "truncated" in refusal(good[:100])


def test_every_flipped_bit_is_refused(good):
    for at in range(0, len(good), 3):
        data = bytearray(good)
        data[at] ^= 1 << (at % 8)
        assert refusal(data).startswith("checkpoint: ")
    data = bytearray(good)
    data[200] ^= 0x40
    assert refusal(data) == "checkpoint: checksum mismatch: the data is corrupted"


def test_the_frame_is_checked(good):
    assert "magic" in refusal(b"PNG\r\n\x1a\n" + good[8:])
    newer = bytearray(good)
    struct.pack_into("<I", newer, 8, 3)
    assert "format version 3 is not supported (this build reads versions 1 to 2)" in refusal(with_checksum(newer))
    assert "bytes follow the end" in refusal(good + b"\0")
    _, sections = split(good)
    from checkpoint_bytes import join

    assert "expected section SESS, found 'CONT'" in refusal(join([sections[0], sections[2], sections[1]] + sections[3:]))
    assert "announces 6 sections" in refusal(join(sections, n_sections=6))


def set_u64(offset, value):
    def edit(body):
        struct.pack_into("<Q", body, offset, value)
        return body

    return edit


def wide_contact_table(body):
    """The built contact table's width set beyond the 16-bit cell types."""
    n = struct.unpack_from("<Q", body, 0)[0]
    struct.pack_into("<Q", body, 8 + 12 * n, 70000)
    return body


def test_hostile_contents_with_a_valid_checksum_are_refused(good):
    cases = {
        # a grid larger than the data, a side beyond 2^32, a grid whose site count the labels miss
        "sites cannot fit": patched(good, "GRID", set_u64(0, 10**9)),
        "beyond 2^32": patched(good, "GRID", set_u64(8, 1 << 40)),
        "labels for a grid of 156 sites": patched(good, "GRID", set_u64(0, 13)),
        # an element count sized to make the reader allocate without limit
        "do not fit in the": patched(good, "CELL", set_u64(0, 1 << 60)),
        "no record for the medium": patched(good, "CELL", lambda b: bytearray(8)),
        "carries id 7": patched(good, "CELL", lambda b: b[:8 + 126] + struct.pack("<I", 7) + b[8 + 130:]),
        "has volume": patched(good, "CELL", lambda b: b[:8 + 126 + 6] + struct.pack("<q", 3) + b[8 + 126 + 14:]),
        "holds label 4000000, which has no record": patched(good, "LABL", lambda b: b[:8] + struct.pack("<I", 4000000) + b[12:]),
        "wider than the 65536 cell types": patched(good, "CONT", wide_contact_table),
        "finalized flag is 2": patched(good, "SESS", lambda b: b"\x02" + b[1:]),
        "generator state is all zero": patched(good, "SESS", lambda b: b[:1] + bytes(32)),
        "has 0 substeps": patched(good, "FLDS", lambda b: b[:8 + 8 + 10 + 24] + bytes(4) + b[8 + 8 + 10 + 28:]),
        "bytes left over": patched(good, "GRID", lambda b: b + b"\0"),
    }
    for expected, data in cases.items():
        assert expected in refusal(data), expected


def test_a_per_type_table_beyond_the_cell_types_is_refused(good):
    def long_table(body):
        count = struct.unpack_from("<Q", body, 34)[0]
        return body[:34] + struct.pack("<Q", 70000) + bytes(70000) + body[42 + count:]

    assert "connectivity table has 70000 entries, more than 65536" in refusal(patched(good, "TERM", long_table))


def test_refusals_build_no_world_and_the_type_is_checked(good):
    def refuse_all():
        for size in range(0, len(good), 7):
            with pytest.raises(ValueError):
                _native.loads(good[:size])

    refuse_all()
    before = sys.getrefcount(morva_core.World)  # every live World holds its type
    refuse_all()
    after = sys.getrefcount(morva_core.World)
    assert after == before
    with pytest.raises(TypeError):
        _native.loads("MORVACKP")
    with pytest.raises(TypeError):
        _native.loads(12)
