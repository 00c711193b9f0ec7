"""Inputs a careless or hostile user may give: each is refused with a ValueError that says what is wrong."""

import base64
import struct
import zlib

import numpy as np
import pytest

import morva
from checkpoint_bytes import split
from morva import cli


def disc_model(boundary):
    return morva.Model((20, 20), boundary=boundary, default_contact=0).add_type("a", volume=9, lambda_volume=1)


@pytest.mark.parametrize("make, words", [
    (lambda: morva.Model((20, 20)).add_field("c", diffusion=1e308), "would need more than 10000 sub-steps"),
    (lambda: morva.Model((20, 20)).add_field("c", diffusion=1e9), "would need more than 10000 sub-steps"),
    (lambda: morva.Model((20, 20)).add_field("c", diffusion=0.1, substeps=2**32 - 1), "substeps"),
    (lambda: disc_model("noflux").add_disc("a", (1e300, 5), 3).build(), "leaves the closed box"),
    (lambda: morva.Model((20, 20)).add_field("a/b", diffusion=0.1), "must not contain '/'"),
    (lambda: morva.Model((20, 20)).add_field("activity", diffusion=0.1), "taken by the Act model's activity"),
])
def test_numbers_and_names_out_of_reach_are_value_errors(make, words):
    with pytest.raises(ValueError, match=words):
        make()


def test_a_far_centre_in_a_periodic_box_is_the_centre_it_wraps_to():
    far = disc_model("periodic").add_disc("a", (2.0**1000, 5), 3).build()  # 2**1000 = 16 modulo 20
    near = disc_model("periodic").add_disc("a", (16, 5), 3).build()
    assert np.array_equal(far.labels(), near.labels())


def png_header_only_bomb(path, width, height):
    """A grey PNG whose header claims width x height pixels (its data ends early)."""
    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    head = struct.pack(">IIBBBBB", width, height, 8, 0, 0, 0, 0)
    path.write_bytes(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", head) + chunk(b"IDAT", zlib.compress(b"\0" * 64))
                     + chunk(b"IEND", b""))


def test_unreadable_images_and_bad_rates_are_one_line_on_the_command_line(tmp_path, capsys):
    bomb = tmp_path / "bomb.png"
    png_header_only_bomb(bomb, 60_000, 60_000)
    with pytest.raises(ValueError, match="label image .*bomb.png' cannot be read"):
        morva.placement.read_label_image(bomb)
    model = tmp_path / "model.toml"
    model.write_text("[lattice]\nshape = [20, 20]\n\n[fields.c]\ndiffusion = 1e308\n")
    assert cli.main(["run", str(model), "--mcs", "1", "--out", str(tmp_path / "rec")]) == 2
    err = capsys.readouterr().err
    assert "would need more than 10000 sub-steps" in err and len(err.strip().splitlines()) == 1


def test_sizes_are_checked_before_memory_is_taken(tmp_path, monkeypatch):
    import io
    import tracemalloc

    bomb = tmp_path / "bomb.png"
    png_header_only_bomb(bomb, 3000, 3000)
    header = io.BytesIO()
    np.lib.format.write_array_header_1_0(header, {"descr": "<i8", "fortran_order": False, "shape": (10**6, 10**6)})
    packed = base64.b64encode(zlib.compress(header.getvalue() + bytes(1 << 20))).decode("ascii")
    tracemalloc.start()
    try:
        with pytest.raises(ValueError, match="a ball of radius 3000 is wider than the box"):
            disc_model("periodic").add_disc("a", (5, 5), 3000)
        with pytest.raises(ValueError, match="has 9000000 pixels .*more than the lattice's 400 sites"):
            disc_model("periodic").add_label_image(bomb, default_type="a")
        with pytest.raises(ValueError, match="embedded label image would need about 14901.2 GiB"):
            morva.placement.decode_image(packed)
        assert tracemalloc.get_traced_memory()[1] < 50 * 2**20
    finally:
        tracemalloc.stop()
    monkeypatch.setattr(morva._memory, "available_bytes", lambda: 64 * 2**20)
    with pytest.raises(ValueError, match=r"a 4000 x 4000 lattice with 1 field\(s\) would need about 0.4 GiB"):
        morva.Model((4000, 4000)).add_field("c", diffusion=0.1).build()


def test_many_types_cost_per_pair_and_are_checked_against_memory(monkeypatch):
    model = morva.Model((20, 20), default_contact=0)
    for i in range(300):
        model.add_type(f"t{i}", volume=4, lambda_volume=1)
    model.set_contact("t1", "t299", 7.0)
    lookups = []
    real_type_id = morva.Model.type_id
    monkeypatch.setattr(morva.Model, "type_id", lambda self, name: lookups.append(name) or real_type_id(self, name))
    sim = model.build()
    assert len(lookups) < 3 * model.n_types  # by name once per type, not once per pair
    _, sections = split(morva._native.dumps(sim.world))
    body = dict(sections)["CONT"]
    pairs = {struct.unpack_from("<HH", body, 8 + 12 * i): struct.unpack_from("<d", body, 12 + 12 * i)[0]
             for i in range(struct.unpack_from("<Q", body)[0])}
    assert len(pairs) == 301 * 302 // 2 and pairs[(2, 300)] == 7.0 and set(pairs.values()) == {0.0, 7.0}
    monkeypatch.setattr(morva._memory, "available_bytes", lambda: 2**20)
    with pytest.raises(ValueError, match="the contact energies of 301 types would need"):
        model.build()


def test_a_scatter_that_cannot_be_packed_gives_up_after_a_run_of_failures(monkeypatch):
    draws = []
    real_ball_sites = morva.placement._ball_sites
    monkeypatch.setattr(morva.placement, "_ball_sites", lambda *a: draws.append(1) or real_ball_sites(*a))
    model = disc_model("periodic").scatter("a", 44, 1.5)  # 44 x 9 sites fit the area, not the packing
    with pytest.raises(ValueError, match=r"placed only \d+ of 44 cells .*\(1000 draws in a row found no room\)"):
        model.build()
    assert len(draws) < 44 * 1000 // 2  # the whole budget of the cells left is not spent


def test_a_recording_that_fails_is_one_line_on_the_command_line(tmp_path, monkeypatch, capsys):
    model = tmp_path / "model.toml"
    morva.Model((8, 8)).save(model)

    def disk_full(self, sim):
        raise RuntimeError(f"recording into {str(self.directory)!r} failed: [Errno 28] No space left on device")

    monkeypatch.setattr(morva.recording.Recorder, "record_due", disk_full)
    assert cli.main(["run", str(model), "--mcs", "2", "--out", str(tmp_path / "rec"), "--quiet"]) == 2
    err = capsys.readouterr().err.strip()
    assert err.endswith("No space left on device") and len(err.splitlines()) == 1


def test_an_embedded_image_larger_than_the_lattice_is_refused_before_it_is_inflated(tmp_path):
    big = morva.placement.encode_image(np.zeros((300, 300), dtype=np.int64))
    model = tmp_path / "model.toml"
    model.write_text('[lattice]\nshape = [20, 20]\n\n[types.a]\nvolume = 9\nlambda_volume = 1\n\n'
                     f'[[placements]]\nkind = "label_image"\ndata = "{big}"\ndefault_type = "a"\n')
    with pytest.raises(ValueError, match=r"embedded label image has 90000 pixels \(shape \(300, 300\)\), more than "
                                         "the lattice's 400 sites"):
        morva.load_model(model)
