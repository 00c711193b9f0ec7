"""Movies, VTK image data and TIFF stacks written and read back with independent readers."""

import json

import numpy as np
import pytest

from morva.viz import write_movie, write_series, write_tiff_stack, write_vti


def read_mp4(path):
    """Metadata and all frames of an MP4, decoded by the ffmpeg that imageio-ffmpeg ships."""
    imageio = pytest.importorskip("imageio.v2")
    # Frames fetched by index: iterating the reader to its end leaves its pipes open.
    with imageio.get_reader(path, format="FFMPEG") as reader:
        meta = reader.get_meta_data()
        movie = np.stack([reader.get_data(i) for i in range(reader.count_frames())])
    return meta, movie


def frames(count, height=65, width=81):
    """Distinct frames of an odd size: frame k is filled with grey level 20 k."""
    return [np.full((height, width, 3), 20 * k, np.uint8) for k in range(count)]


def test_mp4_has_every_frame_at_an_even_size_and_the_chosen_rate(tmp_path):
    path = write_movie(frames(7), tmp_path / "m.mp4", fps=12)
    meta, movie = read_mp4(path)
    assert meta["size"] == (82, 66) and meta["fps"] == 12
    assert movie.shape == (7, 66, 82, 3)
    assert [int(np.median(frame)) for frame in movie] == pytest.approx([20 * k for k in range(7)], abs=3)


def test_gif_has_every_frame_at_the_frames_size(tmp_path):
    imageio = pytest.importorskip("imageio.v3")
    path = write_movie(frames(5), tmp_path / "m.gif", fps=4)
    stack = imageio.imread(path, index=None)
    assert stack.shape[:3] == (5, 65, 81)
    assert [int(f[..., :3].mean()) for f in stack] == [20 * k for k in range(5)]


@pytest.mark.parametrize(
    "movie, name, message",
    [
        (frames(2), "m.avi", "must end in .mp4 or .gif"),
        ([], "m.mp4", "at least one frame"),
        ([], "m.gif", "at least one frame"),
        (frames(1) + frames(1, 64, 80), "m.mp4", "frame 1 has size"),
        ([np.zeros((4, 4), np.uint8)], "m.gif", "uint8 RGB"),
    ],
)
def test_bad_movies_are_refused(tmp_path, movie, name, message):
    with pytest.raises(ValueError, match=message):
        write_movie(movie, tmp_path / name)
    assert not (tmp_path / name).exists()


def test_vti_read_back_holds_labels_types_and_fields_per_site(tmp_path):
    pyvista = pytest.importorskip("pyvista")
    labels = np.zeros((3, 4, 5), np.uint32)
    labels[1, 1:3, 1:3] = 7
    labels[0, 3, 4] = 2
    types = np.zeros(8, np.uint16)
    types[7], types[2] = 1, 3
    field = np.arange(60, dtype=np.float32).reshape(3, 4, 5)
    path = write_vti(tmp_path / "f.vti", labels, types, {"signal": field})
    grid = pyvista.read(path)
    assert grid.dimensions == (6, 5, 4)  # points: sites + 1 along x, y, z
    np.testing.assert_array_equal(np.asarray(grid.cell_data["labels"]).reshape(3, 4, 5), labels)
    np.testing.assert_array_equal(np.asarray(grid.cell_data["cell_type"]).reshape(3, 4, 5), types[labels])
    np.testing.assert_array_equal(np.asarray(grid.cell_data["signal"]).reshape(3, 4, 5), field)


def test_series_file_lists_frames_relative_to_itself_with_their_times(tmp_path):
    (tmp_path / "a.vti").touch()
    (tmp_path / "b.vti").touch()
    path = write_series(tmp_path / "run.vti.series", [tmp_path / "a.vti", tmp_path / "b.vti"], [0, 250])
    series = json.loads(path.read_text())
    assert series["file-series-version"] == "1.0"
    assert series["files"] == [{"name": "a.vti", "time": 0.0}, {"name": "b.vti", "time": 250.0}]
    with pytest.raises(ValueError, match="2 files but 1 times"):
        write_series(tmp_path / "x.series", ["a", "b"], [0])


def test_tiff_stack_reads_back_with_its_axes(tmp_path):
    tifffile = pytest.importorskip("tifffile")
    stack = np.arange(2 * 3 * 4 * 5, dtype=np.uint32).reshape(2, 3, 4, 5)
    path = write_tiff_stack(tmp_path / "labels.tif", stack)
    with tifffile.TiffFile(path) as tif:
        assert tif.series[0].axes == "TZYX"
        np.testing.assert_array_equal(tif.asarray(), stack)
    with pytest.raises(ValueError, match="name 3 axes"):
        write_tiff_stack(tmp_path / "x.tif", stack, axes="ZYX")
