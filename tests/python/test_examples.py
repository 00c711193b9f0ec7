"""The examples run end to end on the morva package with small settings and write their pictures."""

import pathlib
import subprocess
import sys

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"


def run_example(script, *args):
    done = subprocess.run(
        [sys.executable, str(EXAMPLES / script), *map(str, args)], capture_output=True, text=True, timeout=300,
        cwd=EXAMPLES,
    )
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_cell_sorting_reports_progress_and_sorts(tmp_path):
    out = run_example("cell_sorting.py", "--mcs", "400", "--every", "200", "--out", tmp_path, "--record",
                      tmp_path / "rec")
    shares = [float(line.split()[-1]) for line in out.splitlines() if "unlike borders" in line]
    assert shares[0] == 1.0 and shares[-1] < shares[0]
    assert (tmp_path / "cell_sorting_end.png").stat().st_size > 0
    assert (tmp_path / "rec" / "frames.zarr").is_dir()


def test_sorting_3d_sorts(tmp_path):
    out = run_example("sorting_3d.py", "--mcs", "40", "--every", "20", "--out", tmp_path)
    shares = [float(line.split()[-1]) for line in out.splitlines() if "unlike faces" in line]
    assert shares[-1] < shares[0]
    assert (tmp_path / "sorting_3d_end.png").stat().st_size > 0


def test_chemotaxis_gathers_cells(tmp_path):
    out = run_example("chemotaxis.py", "--mcs", "400", "--every", "400", "--out", tmp_path)
    gaps = [float(line.split("nearest neighbour")[1].split()[0]) for line in out.splitlines() if "nearest" in line]
    assert gaps[-1] < gaps[0]
    assert (tmp_path / "chemotaxis_field.png").stat().st_size > 0


def test_proliferation_multiplies_cells(tmp_path):
    out = run_example("proliferation.py", "--mcs", "400", "--out", tmp_path)
    summary = next(line for line in out.splitlines() if line.startswith("MCS"))
    live, divisions = int(summary.split()[2]), int(summary.split()[5])
    assert live > 4 and divisions > 0
    assert (tmp_path / "proliferation_end.png").stat().st_size > 0


def test_tissue_from_a_segmentation_mask(tmp_path):
    out = run_example("tissue_image.py", "--mcs", "20", "--out", tmp_path)
    assert "epithelial" in out and "stromal" in out
    assert (tmp_path / "tissue_image_end.png").stat().st_size > 0
