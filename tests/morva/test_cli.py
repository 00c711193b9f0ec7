"""The `morva` command end to end in subprocesses, including a run killed with SIGKILL and resumed."""

import json
import os
import pathlib
import signal
import subprocess
import sys
import time

import pytest

import morva

from package_models import two_type_model

MORVA = [sys.executable, "-m", "morva.cli"]


def morva_cli(*args, check=True):
    done = subprocess.run([*MORVA, *map(str, args)], capture_output=True, text=True, timeout=300)
    if check:
        assert done.returncode == 0, done.stderr
    return done


@pytest.fixture
def model_file(tmp_path):
    path = tmp_path / "model.toml"
    model = two_type_model(side=200).add_field("c", diffusion=0.5, decay=0.05).set_secretion("c", "dark", 0.2)
    model.save(path)
    return path


def test_run_and_info(model_file, tmp_path):
    out = tmp_path / "rec"
    script = pathlib.Path(sys.executable).parent / "morva"  # the installed console script
    command = [script, "run", model_file, "--mcs", 30, "--every", 10, "--seed", 3, "--out", out]
    done = subprocess.run(list(map(str, command)), capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert "MCS/s" in done.stderr  # the progress bar
    assert f"recording into {out}: a frame every 10 MCS, a checkpoint every 5 s of running" in done.stderr
    rec = morva.open_recording(out)
    assert rec.times.tolist() == [0, 10, 20, 30] and rec.info["seed"] == 3
    info = morva_cli("info", out).stdout
    assert "frames      4 every 10 MCS, MCS 0 to 30" in info
    assert "cells       16 at MCS 30 (8 dark, 8 light)" in info
    assert "checkpoint  MCS 30" in info and "fields      c" in info


def test_errors_are_one_line_and_nothing_is_overwritten(model_file, tmp_path):
    out = tmp_path / "rec"
    morva_cli("run", model_file, "--mcs", 5, "--out", out, "--quiet")
    before = (out / "checkpoint.morva").read_bytes()
    again = morva_cli("run", model_file, "--mcs", 5, "--out", out, "--quiet", check=False)
    assert again.returncode == 2 and "already exists; pass overwrite=True (--overwrite)" in again.stderr
    assert "Traceback" not in again.stderr and (out / "checkpoint.morva").read_bytes() == before
    other = tmp_path / "other.toml"
    morva.load_model(model_file).with_parameters({"temperature": 3.0}).save(other)
    mismatch = morva_cli("run", other, "--mcs", 10, "--out", out, "--resume", check=False)
    assert mismatch.returncode == 2 and "is not the model recorded in" in mismatch.stderr
    assert morva_cli("info", tmp_path, check=False).stderr.startswith("morva info: error: ")
    missing = morva_cli("info", tmp_path / "nothere", check=False)
    assert missing.returncode == 2 and missing.stderr.strip().endswith(f"{str(tmp_path / 'nothere')!r} does not exist")
    bad = tmp_path / "bad.toml"
    bad.write_text("[lattice]\nshape = [10, 10]\ntemperature = -1\n")
    refused = morva_cli("run", bad, "--mcs", 5, "--out", tmp_path / "x", check=False)
    assert refused.returncode == 2 and f"{bad}, line 1: [lattice]: temperature must be greater than 0" in refused.stderr
    assert morva_cli("run", model_file, "--mcs", 10, "--out", out, "--overwrite", "--quiet").returncode == 0


def wait_for_checkpoint(out, mcs, child):
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline:
        try:
            info = json.loads((out / "run.json").read_text())
        except (FileNotFoundError, ValueError):
            info = {}
        if (info.get("checkpoint_mcs") or 0) >= mcs:
            return info["checkpoint_mcs"]
        assert child.poll() is None, "the run ended before it could be killed"
        time.sleep(0.05)
    raise AssertionError("no checkpoint appeared")


def test_sigkill_then_resume_equals_an_undisturbed_run(model_file, tmp_path):
    args = ["run", str(model_file), "--mcs", "1500", "--every", "20", "--checkpoint-every", "100", "--seed", "5",
            "--quiet"]
    killed = tmp_path / "killed"
    child = subprocess.Popen([*MORVA, *args, "--out", str(killed)], stderr=subprocess.PIPE)
    checkpoint = wait_for_checkpoint(killed, 200, child)
    os.kill(child.pid, signal.SIGKILL)
    child.wait()
    assert child.returncode == -signal.SIGKILL and checkpoint < 1500
    morva_cli(*args, "--out", killed, "--resume")
    whole = tmp_path / "whole"
    morva_cli(*args, "--out", whole)
    a, b = morva.open_recording(whole), morva.open_recording(killed)
    assert a.times.tolist() == b.times.tolist() == list(range(0, 1501, 20))
    assert a.frames["labels"].equals(b.frames["labels"]) and a.frames["field_c"].equals(b.frames["field_c"])
    assert a.cells.equals(b.cells)
    assert (morva.resume(whole).labels() == morva.resume(killed).labels()).all()
    assert not list(pathlib.Path(killed).rglob("*.tmp"))
