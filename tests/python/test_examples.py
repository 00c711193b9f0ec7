"""The examples run end to end with small settings and write their pictures."""

import pathlib
import subprocess
import sys

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"


def run_example(script, *args):
    done = subprocess.run(
        [sys.executable, str(EXAMPLES / script), *args], capture_output=True, text=True, timeout=120, cwd=EXAMPLES
    )
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_proliferation_multiplies_cells(tmp_path):
    out = run_example("proliferation.py", "--side", "60", "--rounds", "40", "--out", str(tmp_path))
    last_round = [line for line in out.splitlines() if line.startswith("round")][-1]
    assert int(last_round.split(":")[1].split()[0]) > 4
    assert (tmp_path / "proliferation_start.png").stat().st_size > 0
    assert (tmp_path / "proliferation_end.png").stat().st_size > 0


def test_cell_sorting_reports_progress(tmp_path):
    out = run_example("cell_sorting.py", "--mcs", "20", "--every", "10", "--out", str(tmp_path))
    assert "MCS/s" in out
    assert (tmp_path / "cell_sorting_end.png").stat().st_size > 0
