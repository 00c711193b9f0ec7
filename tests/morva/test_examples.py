"""The examples run end to end with short runs, do what they say and draw their tissues with morva.viz."""

import re
import subprocess
import sys

import numpy as np
import pytest
from matplotlib.colors import to_rgb

import morva
from morva.viz import type_colours
from package_models import EXAMPLES, MODELS

imageio = pytest.importorskip("imageio.v3")

# phase_diagram.py is run by test_sweep_examples.py.
SWEEP_EXAMPLES = {"phase_diagram.py"}


def run_example(script, *args):
    done = subprocess.run(
        [sys.executable, str(EXAMPLES / script), *map(str, args)], capture_output=True, text=True, timeout=300,
        cwd=EXAMPLES,
    )
    assert done.returncode == 0, done.stderr
    return done.stdout


def numbers_after(label, text):
    """Every number printed right after `label`, in order."""
    return [float(x) for x in re.findall(rf"{label}\s+([-\d.]+)", text)]


def shows_colours(path, colours):
    """Whether the picture at `path` has pixels of each RGB colour (0..1)."""
    picture = imageio.imread(path)[..., :3].astype(int)
    return [bool((np.abs(picture - np.round(np.asarray(c) * 255)).max(axis=-1) <= 2).any()) for c in colours]


def model_colours(name):
    """Colours of the cell types of an example model, declared or default (the medium left out)."""
    model = morva.load_model(MODELS / f"{name}.toml")
    return type_colours(model.type_names, model.type_colours or None)[1:]


def test_every_example_script_is_run_here():
    scripts = {p.name for p in EXAMPLES.glob("*.py")}
    tested = {name.removeprefix("test_").replace("_runs", "") + ".py" for name in globals() if name.endswith("_runs")}
    assert scripts - SWEEP_EXAMPLES == tested


def test_cell_sorting_runs(tmp_path):
    out = run_example("cell_sorting.py", "--mcs", "400", "--every", "200", "--out", tmp_path, "--record",
                      tmp_path / "rec")
    shares = numbers_after("unlike borders", out)
    assert len(shares) == 3 and shares[0] == 1.0 and shares[-1] < shares[0]
    for picture in ("cell_sorting_start.png", "cell_sorting_end.png"):
        assert all(shows_colours(tmp_path / picture, model_colours("cell_sorting")))
    assert len(morva.open_recording(tmp_path / "rec")) == 3


def test_sorting_3d_runs(tmp_path):
    out = run_example("sorting_3d.py", "--mcs", "40", "--every", "20", "--out", tmp_path)
    shares = numbers_after("unlike faces", out)
    assert shares[-1] < shares[0] == 1.0
    assert all(shows_colours(tmp_path / "sorting_3d_end.png", model_colours("sorting_3d")))


def test_chemotaxis_runs(tmp_path):
    out = run_example("chemotaxis.py", "--mcs", "400", "--every", "400", "--out", tmp_path)
    clumps, gaps = numbers_after("clumps", out), numbers_after("nearest neighbour", out)
    assert clumps[0] == 40 and clumps[-1] < clumps[0]
    assert gaps[-1] < gaps[0]
    assert all(shows_colours(tmp_path / "chemotaxis_end.png", model_colours("chemotaxis")))


def test_proliferation_runs(tmp_path):
    out = run_example("proliferation.py", "--mcs", "400", "--out", tmp_path)
    live, divisions = map(int, re.search(r"(\d+) live cells, (\d+) divisions", out).groups())
    assert live > 4 and divisions > 0
    # The script colours its types by name: "red" and "blue" look like their names.
    red, blue = to_rgb("tab:red"), to_rgb("tab:blue")
    assert shows_colours(tmp_path / "proliferation_end.png", [red, blue]) == [True, True]
    assert not any(shows_colours(tmp_path / "proliferation_end.png", model_colours("proliferation")))


def test_tissue_image_runs(tmp_path):
    out = run_example("tissue_image.py", "--mcs", "20", "--out", tmp_path)
    assert re.search(r"\d+ epithelial, \d+ stromal", out)
    ratio = numbers_after("volume / target volume", out)[0]
    assert 0.8 < ratio < 1.2
    for picture in ("tissue_image_start.png", "tissue_image_end.png"):
        assert all(shows_colours(tmp_path / picture, model_colours("tissue_image")))


def test_cell_ode_decay_runs():
    out = run_example("cell_ode_decay.py", "--mcs", "20")
    orders = [float(line.split()[-1]) for line in out.splitlines()[3:]]
    assert len(orders) == 3 and all(3.5 < order < 4.5 for order in orders)


def test_t_cells_runs(tmp_path):
    out = run_example("t_cells.py", "--mcs", "100", "--out", tmp_path, "--movie")
    t_cells = [float(x) for x in re.findall(r"T cell +\d+ .* net displacement +([\d.]+)", out)]
    assert len(t_cells) == 8 and min(numbers_after("mean speed", out)) > 0.05
    assert np.mean(t_cells) > 3 * numbers_after("mean net displacement", out)[0]  # the T cells crawl, the tissue jiggles
    assert shows_colours(tmp_path / "t_cells.png", [to_rgb("tab:red")]) == [True]
    assert imageio.imread(tmp_path / "t_cells.mp4").shape[0] == 11
    assert morva.open_recording(tmp_path / "t_cells_run").activity(-1).max() > 0


def test_crawling_3d_runs(tmp_path):
    out = run_example("crawling_3d.py", "--mcs", "60", "--out", tmp_path)
    crawler, still = map(float, re.search(r"crawler ([\d.]+) sites, without the Act model ([\d.]+)", out).groups())
    assert crawler > 3 * max(still, 1.0)
    assert (tmp_path / "crawling_3d.png").stat().st_size > 10_000


def test_turing_tissue_runs(tmp_path, monkeypatch):
    monkeypatch.syspath_prepend(str(EXAMPLES))  # the model's reaction is turing_tissue:kinetics
    out = run_example("turing_tissue.py", "--mcs", "300", "--every", "150", "--out", tmp_path)
    cells, medium = numbers_after("under cells", out), numbers_after("medium", out)
    assert len(cells) == 2 and cells[-1] > 1.5 * medium[-1]  # the cells sit in the activator's spots
    assert max(numbers_after(r"\.\.", out)) > 2.5  # spots have grown out of the uniform state u = 1
    for picture in ("turing_start.png", "turing_end.png"):
        assert all(shows_colours(tmp_path / picture, model_colours("turing_tissue")))


def test_cell_cycle_runs(tmp_path, monkeypatch):
    out = run_example("cell_cycle.py", "--mcs", "600", "--out", tmp_path / "cycle.toml")
    cells, divisions, youngest = map(int, re.match(r"(\d+) cells after 600 MCS, (\d+) divisions; generations (\d+)",
                                                   out).groups())
    assert divisions >= 4 and cells == 4 + divisions and youngest >= 1  # every first cell has divided
    monkeypatch.syspath_prepend(str(EXAMPLES))  # the model's functions are cell_cycle:<name>
    model = morva.load_model(tmp_path / "cycle.toml")
    assert list(model.cell_odes) == ["cycle"] and model.rules["mitosis"].when == ["phase >= 1.0"]
