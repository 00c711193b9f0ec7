"""The shipped sweep file and the phase-diagram example work as documented."""

import pathlib
import subprocess
import sys

import pandas as pd

from morva._sweep_cli import read_sweep_file
from morva._sweep_plan import make_plan

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"


def test_example_sweep_file_describes_a_valid_sweep():
    arguments, cluster = read_sweep_file(EXAMPLES / "sorting_sweep.toml")
    plan = make_plan(**arguments)
    assert len(plan.runs) == 3 * 2 * 3 and plan.times == (500, 1000)
    assert arguments["model"].parameter("contact:light:dark") == 11.0
    assert cluster == {}


def test_phase_diagram_example_draws_its_picture(tmp_path):
    done = subprocess.run(
        [sys.executable, str(EXAMPLES / "phase_diagram.py"), "--energies", "5", "17", "--temperatures", "10",
         "--replicates", "2", "--mcs", "20", "--workers", "1", "--out", str(tmp_path)],
        capture_output=True, text=True, timeout=300, cwd=EXAMPLES,
    )
    assert done.returncode == 0, done.stderr
    table = pd.read_csv(tmp_path / "phase_diagram.csv")
    assert len(table) == 4 and table["error"].isna().all()
    assert table["sorting_index"].between(0, 1).all()
    assert (tmp_path / "phase_diagram.png").stat().st_size > 10_000
