"""The Act model's activity in the package: recorded per frame, set by placements and sim.set_activity, drawn."""

import numpy as np
import pytest

import morva
from morva.cli import main, summary
from package_models import record_then_resume
from test_act import crawler


def test_a_recording_holds_the_activity_of_every_frame_and_resumes_with_it(tmp_path):
    sim = crawler().build(seed=4)
    seen = {}
    sim.add_hook(lambda s: seen.__setitem__(s.mcs, s.activity()), every=5)
    record_then_resume(sim, tmp_path / "rec", 10, 10, every=5, checkpoint_every=10)
    full = crawler().build(seed=4)
    full.run(20, progress=False)
    rec = morva.open_recording(tmp_path / "rec")
    assert rec.info["activity"] is True and rec.frames["activity"].dtype == np.uint16
    assert rec.times.tolist() == [0, 5, 10, 15, 20]
    for mcs in (5, 10):
        assert np.array_equal(rec.activity(mcs // 5), seen[mcs])
    assert np.array_equal(rec.activity(-1), full.activity()) and rec.activity(-1).any()
    assert "activity    the Act model's activity in every frame" in summary(tmp_path / "rec")


def test_recording_the_activity_is_a_choice_refused_without_the_act_model(tmp_path):
    sim = crawler().build(seed=1)
    sim.record(tmp_path / "off", activity=False)
    sim.run(2, progress=False)
    sim.recorder.close()
    rec = morva.open_recording(tmp_path / "off")
    assert "activity" not in rec.frames and rec.info["activity"] is False
    with pytest.raises(KeyError, match="holds no activity"):
        rec.activity(0)
    with pytest.raises(ValueError, match="no cell type has lambda_act and max_act"):
        crawler(0, 0).build(seed=1).record(tmp_path / "plain", activity=True)
    assert not (tmp_path / "plain").exists()


def test_placements_start_their_sites_at_max_act_or_a_value(tmp_path):
    model = crawler()
    model.add_type("passive", volume=25, lambda_volume=1).set_contact("medium", "passive", 10)
    model.add_disc("t", (8, 8), 3, activity="max").add_block("t", (30, 30), (34, 34), activity=7)
    model.add_block("passive", (2, 30), (7, 35))
    sim = model.build(seed=1)
    labels, activity = sim.labels(), sim.activity()
    assert set(activity[labels == 1].tolist()) == {0}  # the model's first block: 0 by default
    assert set(activity[labels == 2].tolist()) == {20} and set(activity[labels == 3].tolist()) == {7}
    assert not activity[(labels == 0) | (labels == 4)].any()
    model.save(tmp_path / "m.toml")
    assert 'activity = "max"' in (tmp_path / "m.toml").read_text()
    assert np.array_equal(morva.load_model(tmp_path / "m.toml").build(seed=1).activity(), activity)
    with pytest.raises(ValueError, match=r"placement 4 \(block\): activity 21 is above max_act 20 of cell type 't'"):
        model.add_block("t", (20, 2), (24, 6), activity=21)
    with pytest.raises(ValueError, match="activity 'max' needs the Act model, but cell type 'passive'"):
        model.add_block("passive", (20, 2), (24, 6), activity="max")
    (tmp_path / "bad.toml").write_text((tmp_path / "m.toml").read_text().replace('activity = "max"', 'activity = "most"'))
    with pytest.raises(ValueError, match=r'bad.toml, line \d+: .*activity must be an integer from 0 to 65535 or "max"'):
        morva.load_model(tmp_path / "bad.toml")


def test_set_activity_writes_a_grid_or_cells_sites_within_their_range():
    model = crawler().add_block("t", (2, 2), (8, 8))
    model.add_type("passive", volume=25, lambda_volume=1).set_contact("medium", "passive", 10)
    sim = model.add_block("passive", (30, 2), (35, 7)).build(seed=3)
    labels = sim.labels()
    sim.set_activity("max")
    assert set(sim.activity()[labels > 0].tolist()) == {0, 20}
    assert np.array_equal(sim.activity() == 20, (labels == 1) | (labels == 2))
    sim.set_activity(5, cells=[2])
    assert set(sim.activity()[labels == 2].tolist()) == {5} and set(sim.activity()[labels == 1].tolist()) == {20}
    grid = np.where(labels == 1, 3, 0)
    sim.set_activity(grid)
    assert np.array_equal(sim.activity(), grid)
    before = sim.activity()
    for bad, words in [(np.where(labels == 3, 1, 0), r"site \(x=30, y=2, z=0\) of label 3 gets 1, above 0"),
                       (np.where(labels == 1, 21, 0), "gets 21, above 20"),
                       (np.where(labels == 0, 2, 0), "of label 0 gets 2, above 0"),
                       (np.zeros((1, 5, 5)), r"lattice's shape \(1, 40, 40\)"),
                       (np.full(labels.shape, 70000), "from 0 to 65535")]:
        with pytest.raises(ValueError, match=words):
            sim.set_activity(bad)
    assert np.array_equal(sim.activity(), before)  # a refused grid changes nothing
    with pytest.raises(ValueError, match="set_activity needs the Act model"):
        crawler(0, 0).build(seed=1).set_activity("max")
    # the values take part in the dynamics: a fresh start changes the run
    runs = []
    for values in ("max", 0):
        twin = crawler().build(seed=3)
        twin.set_activity(values)
        twin.run(5, progress=False)
        runs.append(twin.labels())
    assert not np.array_equal(*runs)


def test_the_activity_picture_and_movie(tmp_path):
    from morva.viz import plot_activity

    sim = crawler().add_block("t", (2, 2), (8, 8), activity="max").build(seed=2)
    sim.record(tmp_path / "rec", every=5)
    sim.run(20, progress=False)
    sim.recorder.close()
    fig = plot_activity(sim, title="crawling")
    panel = fig.axes[1]
    assert panel.get_title() == "activity" and panel.images[0].get_clim() == (0.0, 20.0)
    assert np.array_equal(panel.images[0].get_array(), sim.activity()[0])
    rec_fig = plot_activity(morva.open_recording(tmp_path / "rec"), frame=2)
    assert np.array_equal(rec_fig.axes[1].images[0].get_array(), morva.open_recording(tmp_path / "rec").activity(2)[0])
    assert main(["movie", str(tmp_path / "rec"), str(tmp_path / "crawl.mp4"), "--field", "activity"]) == 0
    import imageio.v3 as iio

    frames = iio.imread(tmp_path / "crawl.mp4")
    assert frames.shape[0] == 5 and frames.shape[2] > frames.shape[1]  # two panels side by side
