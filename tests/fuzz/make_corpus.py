"""Writes the fuzz target's seed corpus: checkpoints of small worlds in both states, with and without
fields, optional terms and world options. Run by hand after a format change: python tests/fuzz/make_corpus.py
(tests/morva/test_native_checkpoint.py requires every file to load as the world this script makes)."""

import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "morva"))

from morva import _native  # noqa: E402
from native_scenarios import tissue, with_fields, with_terms  # noqa: E402

OUT = pathlib.Path(__file__).resolve().parent / "checkpoint_corpus"


def worlds():
    yield "setup_2d", tissue((8, 7, 1), size=2, types=2)
    w = with_fields(tissue((8, 7, 1), size=2))
    w.finalize(1)
    w.step(2)
    yield "fields_2d", w
    w = with_terms(tissue((9, 8, 1), size=3, surface=0.1))
    w.finalize(2)
    w.step(1)
    w.divide_cells(3.0, 4.0)
    yield "terms_2d", w
    w = with_terms(with_fields(tissue((5, 5, 5), order=3, size=2)), length=False)
    w.finalize(3)
    w.step(1)
    yield "terms_3d", w
    yield "noflux_setup", tissue((6, 6, 1), boundary="noflux", order=1, size=2)
    w = with_terms(tissue((9, 8, 1), size=3))
    _native.set_options(w, periodic_shapes=True, com_force=True, face_connectivity=True)
    w.finalize(4)
    w.step(1)
    yield "options_2d", w  # the only seed with an OPTS section


if __name__ == "__main__":
    OUT.mkdir(exist_ok=True)
    for name, w in worlds():
        (OUT / name).write_bytes(_native.dumps(w))
