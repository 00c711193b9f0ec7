import pathlib
import re
import subprocess

ROOT = pathlib.Path(__file__).resolve().parents[2]
README = (ROOT / "README.md").read_text()


def test_first_model_runs_twice_in_the_same_folder(tmp_path, monkeypatch):
    code = re.search(r"```python\n(import morva\n.*?)```", README, re.S).group(1)
    assert "sim.run(1000)" in code
    code = code.replace("sim.run(1000)", "sim.run(20, progress=False)")
    monkeypatch.chdir(tmp_path)
    for _ in range(2):
        exec(compile(code, "README.md", "exec"), {})
    assert (tmp_path / "run1" / "run.json").exists()


def test_every_make_target_it_names_exists():
    targets = set(re.findall(r"^([\w-]+):", (ROOT / "Makefile").read_text(), re.M))
    named = set(re.findall(r"^make ([\w-]+)", README, re.M))
    assert {"demo", "test", "docs", "docs-serve"} <= named <= targets
    dry = subprocess.run(["make", "-n", "docs-serve"], cwd=ROOT, capture_output=True, text=True)
    assert "mkdocs serve" in dry.stdout
