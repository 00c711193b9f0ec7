"""Writers: the run loop steps to the earliest due writer, orders them, and tells them how a run ended."""

import types

import pytest
from package_models import two_type_model

import morva
from morva.writers import drive


class Log(morva.Writer):
    """Acts every `every` MCS and logs (name, mcs, what it saw) into a shared list."""

    def __init__(self, name, every, log, read_only=False, look=lambda sim: None):
        self.name, self.every, self.log, self.read_only, self.look = name, every, log, read_only, look
        self.ends = []

    def next_due(self, mcs):
        return (mcs // self.every + 1) * self.every

    def write(self, sim):
        self.log.append((self.name, sim.mcs, self.look(sim)))

    def end(self, sim, exact):
        self.ends.append((sim.mcs, exact))


def test_writers_act_at_their_steps_changers_first_and_leave_the_dynamics_alone():
    sim = two_type_model().build(seed=3)
    log = []
    counter = sim.add_writer(Log("count", 4, log, read_only=True, look=lambda s: s.n_cells))
    sim.add_hook(lambda s: s.remove(s.cell_ids()[:1]), every=6)
    sim.run(12, progress=True)
    assert [entry[:2] for entry in log] == [("count", 4), ("count", 8), ("count", 12)]
    assert [n for _, _, n in log] == [16, 15, 14]  # at 12 the count follows the removal at 12
    assert counter.ends == [(12, True)]

    plain = two_type_model().build(seed=3)
    for _ in range(2):
        plain.world.step(6)
        plain.remove(plain.cell_ids()[:1])
    assert (sim.labels() == plain.labels()).all()

    sim.remove_writer(counter)
    sim.run(4, progress=False)
    assert len(log) == 3
    with pytest.raises(ValueError, match="not attached"):
        sim.remove_writer(counter)
    with pytest.raises(ValueError, match="needs callable next_due and write"):
        sim.add_writer(object())


def fake_sim_stepping(stop_at):
    """A stand-in simulation whose engine is stopped by Ctrl-C when it reaches MCS `stop_at`."""
    sim = types.SimpleNamespace(mcs=0)

    def step(n):
        if sim.mcs < stop_at <= sim.mcs + n:
            sim.mcs = stop_at
            raise KeyboardInterrupt
        sim.mcs += n

    return sim, step


@pytest.mark.parametrize("stop_at, changer_every, exact", [
    (7, 5, True),     # stopped in the engine between the steps of every writer
    (10, 5, False),   # the state-changing writer was due at 10 and never acted
    (10, 3, True),    # only the read-only writer was due at 10: it catches up itself
])
def test_a_stop_tells_every_writer_whether_the_run_can_continue_exactly_from_there(stop_at, changer_every, exact):
    log = []
    changer, reader = Log("changer", changer_every, log), Log("reader", 5, log, read_only=True)
    sim, step = fake_sim_stepping(stop_at)
    with pytest.raises(KeyboardInterrupt):
        drive(sim, 20, [reader, changer], step)
    assert changer.ends == reader.ends == [(stop_at, exact)]
    assert all(mcs < stop_at for _, mcs, _ in log)


def test_a_stop_inside_a_writer_or_an_error_is_never_exact():
    def stop(sim):
        raise KeyboardInterrupt

    for failing in (stop, lambda sim: 1 / 0):
        other = Log("other", 2, [], read_only=True)
        sim, step = fake_sim_stepping(100)
        with pytest.raises((KeyboardInterrupt, ZeroDivisionError)):
            drive(sim, 10, [Log("x", 3, [], look=failing), other], step)
        assert other.ends == [(3, False)]


def test_a_stop_requested_by_a_writer_ends_the_run_exactly_after_that_step(tmp_path):
    log = []
    changer = Log("changer", 5, log, look=lambda sim: sim.mcs == 10 and setattr(sim, "stop_requested", True))
    reader = Log("reader", 10, log, read_only=True)
    sim, step = fake_sim_stepping(100)
    with pytest.raises(morva.StopRequested, match="stopped at MCS 10 on request"):
        drive(sim, 20, [reader, changer], step)
    assert changer.ends == reader.ends == [(10, True)] and log[-1][:2] == ("reader", 10)  # every writer due acted

    sim = two_type_model().build(seed=4)
    sim.request_stop()  # outside a run: nothing to stop
    sim.run(2, progress=False)
    sim.record(tmp_path / "rec", every=4, checkpoint_every=100)
    with pytest.raises(morva.StopRequested):
        sim.run(10, every=2, hooks=lambda s: s.grow("dark", 1) or (s.mcs == 6 and s.request_stop()), progress=False)
    sim.recorder.close()
    assert sim.mcs == 6 and morva.recording.read_run_info(tmp_path / "rec")["checkpoint_mcs"] == 6
    resumed = morva.resume(tmp_path / "rec")
    resumed.run(6, every=2, hooks=lambda s: s.grow("dark", 1), progress=False)
    resumed.recorder.close()
    plain = two_type_model().build(seed=4)
    plain.run(12, every=2, hooks=lambda s: s.grow("dark", 1) if s.mcs > 2 else None, progress=False)
    assert (resumed.labels() == plain.labels()).all()


def test_a_hook_given_again_for_the_same_period_is_refused(tmp_path):
    calls = []

    def cull(sim):
        calls.append(sim.mcs)

    sim = two_type_model().build(seed=1)
    sim.record(tmp_path / "rec", every=10)
    sim.run(20, progress=False, every=10, hooks=cull)
    sim.recorder.close()

    resumed = morva.resume(tmp_path / "rec", hooks=cull, every=10)
    with pytest.raises(ValueError, match=r"hook .*cull is already registered every 10 MCS.*morva.resume"):
        resumed.run(20, every=10, hooks=cull, progress=False)
    with pytest.raises(ValueError, match="already registered"):
        resumed.add_hook(cull, every=10)
    with pytest.raises(ValueError, match="already registered every 5 MCS"):
        resumed.run(20, every=5, hooks=[cull, cull], progress=False)
    assert resumed.mcs == 20 and calls == [10, 20]

    resumed.run(20, progress=False)
    resumed.recorder.close()
    assert calls == [10, 20, 30, 40]  # once per period
    resumed.add_hook(cull, every=7)  # another period is another rule
