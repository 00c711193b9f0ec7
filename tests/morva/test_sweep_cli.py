"""`morva sweep FILE --out DIR`: the store, the table and the summary; resumed on a second call."""

import re

import pandas as pd
import pytest

import morva
from morva.cli import main
from sweep_helpers import sorting_model

SWEEP_FILE = """\
model = "model.toml"
seed = 3
replicates = 2
mcs = [10, 20]
measures = ["sorting"]

[grid]
temperature = [5.0, 10.0]

[cluster]
workers = 2
"""


def morva_command(*argv):
    return main([str(a) for a in argv])


@pytest.fixture
def sweep_file(tmp_path):
    sorting_model().save(tmp_path / "model.toml")
    path = tmp_path / "sweep.toml"
    path.write_text(SWEEP_FILE)
    return path


def test_command_writes_store_table_and_summary_then_resumes(sweep_file, tmp_path, capsys):
    out = tmp_path / "out"
    assert morva_command("sweep", sweep_file, "--out", out, "--quiet") == 0
    assert "4 runs (4 computed now, 0 from the store), 0 failed" in capsys.readouterr().out
    table = pd.read_csv(out / "table.csv")
    # The same sweep from Python finds everything in the store (another sweep would be refused).
    computed = []
    direct = morva.sweep(sorting_model(), {"temperature": [5.0, 10.0]}, replicates=2, mcs=[10, 20],
                         measure="sorting", seed=3, store=out, progress=False,
                         on_run=lambda run, rows, seconds: computed.append(run))
    assert computed == []
    pd.testing.assert_frame_equal(table.drop(columns="error"), direct.drop(columns="error"))
    summary = pd.read_csv(out / "summary.csv")
    assert list(summary.columns[:3]) == ["temperature", "mcs", "sorting_index_mean"]
    assert len(summary) == 4 and (summary["sorting_index_count"] == 2).all()
    mean = direct.groupby(["temperature", "mcs"])["type_clusters"].mean().to_numpy()
    assert summary["type_clusters_mean"].to_numpy() == pytest.approx(mean)

    (out / "runs" / "000002.parquet").unlink()
    assert morva_command("sweep", sweep_file, "--out", out, "--quiet", "--workers", "1") == 0
    assert "4 runs (1 computed now, 3 from the store), 0 failed" in capsys.readouterr().out
    pd.testing.assert_frame_equal(pd.read_csv(out / "table.csv"), table)


@pytest.mark.parametrize(
    "edit, message",
    [
        (lambda text: text.replace("seed = 3\n", ""), "missing key 'seed'"),
        (lambda text: text.replace("seed = 3", "seed = 3\ncolour = 1"), "unknown key 'colour'"),
        (lambda text: text.replace("workers = 2", "nodes = 2"), "unknown key 'nodes' in [cluster]"),
        (lambda text: text.replace("[grid]\n", "grid = 1\n[other]\n"), "unknown key 'other'"),
        (lambda text: text.replace("replicates = 2", "replicates = 0"), "replicates: must be at least 1"),
        (lambda text: text.replace("replicates = 2", "replicates = 2.5"), "replicates: expected an integer"),
        (lambda text: text.replace("temperature = ", "temprature = "), "grid: unknown parameter 'temprature'"),
        (lambda text: text.replace("mcs = [10, 20]", "mcs = [10"), "sweep file '.*sweep.toml': "),
    ],
)
def test_bad_sweep_files_name_the_problem(sweep_file, tmp_path, capsys, edit, message):
    sweep_file.write_text(edit(SWEEP_FILE))
    assert morva_command("sweep", sweep_file, "--out", tmp_path / "out") == 2
    error = capsys.readouterr().err
    assert error.startswith("morva sweep: error: ")
    assert re.search(message.replace("[", r"\[").replace("]", r"\]"), error)
    assert not (tmp_path / "out").exists()


def test_missing_files_are_named(tmp_path, sweep_file, capsys):
    assert morva_command("sweep", tmp_path / "nowhere.toml", "--out", tmp_path / "out") == 2
    assert "nowhere.toml' does not exist" in capsys.readouterr().err
    (tmp_path / "model.toml").unlink()
    assert morva_command("sweep", sweep_file, "--out", tmp_path / "out") == 2
    assert "cannot read model file" in capsys.readouterr().err
