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
    struct.pack_into("<I", newer, 8, 4)
    assert "format version 4 is not supported (this build reads versions 1 to 3)" in refusal(with_checksum(newer))
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
        "has 4294967295 substeps, more than 1048576": patched(
            good, "FLDS", lambda b: b[:8 + 8 + 10 + 24] + b"\xff" * 4 + b[8 + 8 + 10 + 28:]),
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


def test_a_refusal_quoting_a_field_name_that_is_not_utf8_is_still_a_value_error():
    world = morva_core.World((4, 4, 1), "periodic", 1, 1.0)
    world.add_field("cc", 0.1, 0.0)
    data = bytearray(_native.dumps(world))
    at = data.find(b"cc")
    data[at:at + 2] = b"\xff\xfe"
    data[at + 2 + 24:at + 2 + 28] = struct.pack("<I", 0)  # substeps, after diffusion, decay and time step
    with pytest.raises(ValueError, match="checkpoint: .*field '\ufffd\ufffd' has 0 substeps"):
        _native.loads(with_checksum(data))


def add_to_cell_1(offset, fmt, amount):
    """Adds `amount` to the value at `offset` of cell 1's record (id u32, type u16, volume, surface, sums)."""
    def edit(body):
        at = 8 + 126 + offset
        struct.pack_into(fmt, body, at, struct.unpack_from(fmt, body, at)[0] + amount)
        return body

    return edit


def test_cell_records_that_disagree_with_the_labels_are_refused(good):
    cases = {
        "cell 1 stores surface 46, its sites give 44": patched(good, "CELL", add_to_cell_1(14, "<q", 2)),
        "cell 1 stores sum_x": patched(good, "CELL", add_to_cell_1(22, "<d", 1.0)),
        "cell 1 stores sum_yz": patched(good, "CELL", add_to_cell_1(22 + 8 * 8, "<d", -3.0)),
        "stores surface": patched(good, "GRID", lambda b: b[:28] + b"\x01" + b[29:]),  # Moore edited to von Neumann
    }
    for expected, data in cases.items():
        assert refusal(data).startswith("checkpoint: the stored cell records disagree with the labels: "), expected
        assert expected in refusal(data), refusal(data)


def test_cells_in_their_own_frame_are_checked_through_centre_and_moments():
    from package_models import two_type_model

    sim = two_type_model().build(seed=1)
    sim.run(3, progress=False)
    good = _native.dumps(sim.world)
    assert _native.dumps(_native.loads(good)) == good
    assert "cell 1 stores centre x" in refusal(patched(good, "CELL", add_to_cell_1(22, "<d", 40.0)))
    assert "cell 1 stores sum_xx" in refusal(patched(good, "CELL", add_to_cell_1(22 + 3 * 8, "<d", 999.0)))
