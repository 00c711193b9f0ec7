"""Take the screenshots of docs/viewer.md: recordings opened in napari as `morva view` opens them.

Run from the repository root after ``make module``, on a display or a virtual one::

    xvfb-run -s "-screen 0 1400x1000x24" .venv/bin/python docs/scripts/viewer_screenshots.py
"""

import os
import tempfile
from pathlib import Path

os.environ.setdefault("QT_QPA_PLATFORM", "xcb")

import imageio.v3 as iio  # noqa: E402
import napari  # noqa: E402

import morva  # noqa: E402
from morva.view import open_in_viewer  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]
OUT = ROOT / "docs" / "images" / "viewer"


def record(model_file, directory, mcs, every):
    sim = morva.load_model(ROOT / "examples" / "models" / model_file).build(seed=1)
    sim.record(directory, every=every)
    sim.run(mcs, progress=False)
    sim.recorder.close()
    return morva.open_recording(directory)


def window(directory, **options):
    viewer = open_in_viewer(directory, napari.Viewer(show=True), **options)
    viewer.window.resize(1100, 760)
    return viewer


def save(viewer, name):
    picture = viewer.screenshot(canvas_only=False, flash=False)
    iio.imwrite(OUT / name, picture)
    print(OUT / name, picture.shape)


def main():
    OUT.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory() as tmp:
        record("cell_sorting.toml", Path(tmp) / "sorting", 2000, 100)
        viewer = window(Path(tmp) / "sorting")
        viewer.dims.set_point(0, 1000)
        save(viewer, "sorting-2d.png")
        viewer.close()

        record("chemotaxis.toml", Path(tmp) / "chemotaxis", 1000, 50)
        viewer = window(Path(tmp) / "chemotaxis", colour_by="id")
        viewer.dims.set_point(0, 1000)
        save(viewer, "chemotaxis-field.png")
        viewer.close()

        record("sorting_3d.toml", Path(tmp) / "sorting3d", 200, 50)
        viewer = window(Path(tmp) / "sorting3d")
        viewer.dims.set_point(0, 200)
        getattr(viewer, "scene", viewer).camera.angles = (10, -30, 60)  # napari 0.9 moved the camera
        save(viewer, "sorting-3d.png")
        viewer.close()


if __name__ == "__main__":
    main()
