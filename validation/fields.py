"""Fields against exact solutions: point release, decay, steady state of secretion with decay.

Every field is set up the way the package sets it up (``morva.build.field_engine_settings``: one
unit of time per MCS in ``substeps`` explicit steps of dt = 1 / substeps, secretion per MCS).

1. A unit released at the centre of a periodic 2-D box diffuses with D = 1 site²/MCS. The engine
   must reproduce the explicit scheme exactly (up to 32-bit rounding; the scheme's solution is
   computed independently with an FFT), converge to the lattice heat kernel
   exp(-4Dt) I_x(2Dt) I_y(2Dt) (summed over periodic images) at first order in dt, and approach
   the continuum Gaussian exp(-r²/4Dt) / 4πDt as it widens, the difference falling like 1/t.
2. A uniform field decays with rate k: (1 - k dt)^(t/dt) per the scheme, exp(-kt) in the limit.
3. Uniform secretion r per MCS with decay k reaches the fixed point of "decay for one MCS, then
   secrete r", r / (1 - exp(-k)) in the limit dt -> 0, read just after the secretion pulse. Its
   average over the MCS is the continuum steady state r / k.

    python -m validation.fields [--quick] [--out DIR]
"""

import sys

import numpy as np
import scipy.special

from morva.build import field_engine_settings
from morva.model import FieldSpec
from morva_core import World

from validation import report


def slope(x, y):
    """Least-squares slope of log y against log x."""
    return float(np.polyfit(np.log(x), np.log(y), 1)[0])


def field_world(side, spec, *, ndim=2):
    world = World((side, side, 1), "periodic", 1, 1.0)
    field = world.add_field(spec.name, spec.diffusion, spec.decay)
    dt, substeps, rates = field_engine_settings(spec, ndim)
    world.set_field_dynamics(field, dt, substeps)
    for _, rate in rates.items():
        world.set_secretion(field, 0, rate)     # every site is medium: a uniform source
    world.finalize(1)
    return world, field, dt, substeps


def conc(world, field, side):
    return np.array(world.field_conc(field)).reshape(side, side)


# ------------------------------------------------------------------------------ point release


def scheme_solution(side, diffusion, dt, steps):
    """The explicit scheme's own solution for a unit at (side//2, side//2), by FFT."""
    k = 2 * np.pi * np.fft.fftfreq(side)
    symbol = 4 - 2 * np.cos(k)[None, :] - 2 * np.cos(k)[:, None]
    start = np.zeros((side, side))
    start[side // 2, side // 2] = 1.0
    return np.real(np.fft.ifft2(np.fft.fft2(start) * (1 - dt * diffusion * symbol) ** steps))


def lattice_kernel(side, diffusion, t, images=3):
    """Continuous-time random walk on the periodic lattice: products of modified Bessel functions."""
    x = np.arange(side) - side // 2
    one_d = sum(scipy.special.ive(x + m * side, 2 * diffusion * t) for m in range(-images, images + 1))
    return one_d[:, None] * one_d[None, :]


def gaussian(side, diffusion, t, images=3):
    x = np.arange(side) - side // 2
    one_d = sum(np.exp(-(x + m * side) ** 2 / (4 * diffusion * t)) for m in range(-images, images + 1))
    one_d /= np.sqrt(4 * np.pi * diffusion * t)
    return one_d[:, None] * one_d[None, :]


def point_release(side, t_end, substeps_list, times):
    diffusion = 1.0
    rows = []
    for substeps in substeps_list:
        world, field, dt, _ = field_world(side, FieldSpec("c", diffusion=diffusion, substeps=substeps))
        world.field_add_source_at(field, side // 2, side // 2, 0, 1.0)
        world.advance_fields(t_end)
        c = conc(world, field, side)
        peak = lattice_kernel(side, diffusion, t_end).max()
        rows.append(dict(substeps=substeps, dt=dt,
                         scheme_error=float(np.abs(c - scheme_solution(side, diffusion, dt, substeps * t_end)).max() / peak),
                         kernel_error=float(np.abs(c - lattice_kernel(side, diffusion, t_end)).max() / peak),
                         mass=float(c.sum(dtype=np.float64))))
    profile = c[side // 2]
    # The widening release against the continuum, on the finest sub-step.
    widening, elapsed = [], 0
    world, field, _, _ = field_world(side, FieldSpec("c", diffusion=diffusion, substeps=substeps_list[-1]))
    world.field_add_source_at(field, side // 2, side // 2, 0, 1.0)
    for t in times:
        world.advance_fields(t - elapsed)
        elapsed = t
        c = conc(world, field, side)
        g = gaussian(side, diffusion, t)
        widening.append(dict(t=t, gaussian_error=float(np.abs(c - g).max() / g.max())))
    return rows, widening, profile


# ----------------------------------------------------------------------- decay and steady state


def uniform_run(spec, mcs, side=4, start=1.0):
    world, field, dt, substeps = field_world(side, spec)
    for s in range(side * side):
        world.field_add_source_at(field, s % side, s // side, 0, start)
    history = []
    for _ in range(mcs):
        world.advance_fields(1)
        history.append(float(np.mean(world.field_conc(field))))
    return np.array(history), dt, substeps


def decay_runs(substeps_list, mcs, rate=0.2):
    rows = []
    for substeps in substeps_list:
        history, dt, _ = uniform_run(FieldSpec("c", diffusion=0.0, decay=rate, substeps=substeps), mcs)
        t = np.arange(1, mcs + 1)
        scheme = (1 - rate * dt) ** (substeps * t)
        rows.append(dict(substeps=substeps, dt=dt,
                         scheme_error=float(np.abs(history / scheme - 1).max()),
                         limit_error=float(np.abs(history / np.exp(-rate * t) - 1).max())))
    return rows


def steady_runs(substeps_list, mcs, secretion=1.0, rate=0.2):
    rows, histories = [], {}
    limit = secretion / (1 - np.exp(-rate))
    for substeps in substeps_list:
        spec = FieldSpec("c", diffusion=0.0, decay=rate, substeps=substeps, secretion={"medium": secretion})
        history, dt, _ = uniform_run(spec, mcs, start=0.0)
        fixed_point = secretion / (1 - (1 - rate * dt) ** substeps)
        rows.append(dict(substeps=substeps, dt=dt, final=history[-1],
                         scheme_error=float(abs(history[-1] / fixed_point - 1)),
                         limit_error=float(abs(history[-1] / limit - 1))))
        histories[substeps] = history
    cycle_mean = limit * (1 - np.exp(-rate)) / rate        # mean of the decaying saw-tooth over one MCS
    return rows, histories, dict(pulse_limit=limit, continuum=secretion / rate, cycle_mean=cycle_mean)


# --------------------------------------------------------------------------------------- run


def draw(side, t_end, heat, widening, profile, decay, steady, histories, levels):
    import matplotlib.pyplot as plt

    figure, ((a, b), (c, d)) = plt.subplots(2, 2, figsize=(11, 8.5))
    x = np.arange(side) - side // 2
    a.semilogy(x, np.maximum(profile, 1e-12), "o", ms=4, label=f"engine, {heat[-1]['substeps']} sub-steps")
    a.semilogy(x, lattice_kernel(side, 1.0, t_end)[side // 2], "-", label="lattice heat kernel")
    a.semilogy(x, gaussian(side, 1.0, t_end)[side // 2], "--", label="continuum Gaussian")
    a.set_ylim(1e-9, 1)
    a.set(xlabel="x − x₀ (sites)", ylabel="concentration", title=f"point release, D = 1, t = {t_end} MCS")
    a.legend(fontsize=8)
    for rows, key, label in ((heat, "kernel_error", "release vs heat kernel"),
                             (decay, "limit_error", "decay vs exp(−kt)"),
                             (steady, "limit_error", "secretion steady state vs r/(1−e^{−k})")):
        b.loglog([r["dt"] for r in rows], [r[key] for r in rows], "o-", label=label)
    for rows, key, label in ((heat, "scheme_error", "release vs its scheme (FFT)"),
                             (decay, "scheme_error", "decay vs its scheme")):
        b.loglog([r["dt"] for r in rows], np.maximum([r[key] for r in rows], 1e-9), "x:", label=label)
    dts = np.array([r["dt"] for r in heat])
    b.loglog(dts, heat[0]["kernel_error"] * dts / dts[0], "k-", lw=0.6, label="slope 1")
    b.set(xlabel="sub-step dt (MCS)", ylabel="relative error", title="errors against the sub-step")
    b.legend(fontsize=7)
    c.loglog([w["t"] for w in widening], [w["gaussian_error"] for w in widening], "o-", label="engine vs Gaussian")
    ts = np.array([w["t"] for w in widening], dtype=float)
    c.loglog(ts, widening[0]["gaussian_error"] * ts[0] / ts, "k-", lw=0.6, label="1/t")
    c.set(xlabel="t (MCS)", ylabel="max |c − G| / max G", title="the release becomes a Gaussian")
    c.legend(fontsize=8)
    for substeps, history in histories.items():
        d.plot(np.arange(1, len(history) + 1), history, label=f"{substeps} sub-steps")
    d.axhline(levels["pulse_limit"], color="k", ls="--", lw=0.8, label="r / (1 − e^{−k}) (after the pulse)")
    d.axhline(levels["continuum"], color="gray", ls=":", lw=0.8, label="r / k (continuum, MCS average)")
    d.set(xlabel="MCS", ylabel="concentration", title="uniform secretion r = 1 with decay k = 0.2")
    d.legend(fontsize=7)
    figure.tight_layout()
    return figure


def run(quick=False, out=None):
    side, t_end = (32, 8) if quick else (64, 40)
    substeps_list = [8, 16, 32] if quick else [8, 16, 32, 64, 128]
    times = [4, 8] if quick else [5, 10, 20, 40, 80]
    heat, widening, profile = point_release(side, t_end, substeps_list, times)
    decay_substeps = [1, 2, 4, 8] if quick else [1, 2, 4, 8, 16, 32, 64]
    decay = decay_runs(decay_substeps, 20 if quick else 50)
    steady, histories, levels = steady_runs(decay_substeps, 80 if quick else 150)
    checks = [
        report.at_most("release: max error against its scheme / peak", max(r["scheme_error"] for r in heat), 1e-4),
        report.within("release: total amount", min(r["mass"] for r in heat), 1.0, 1e-4),
        report.within("release: order of convergence to the heat kernel",
                      slope([r["dt"] for r in heat], [r["kernel_error"] for r in heat]), 1.0, 0.15),
        report.at_most("release: error against the Gaussian at the last time / peak",
                       widening[-1]["gaussian_error"], 0.06 if quick else 0.005),
        report.within("release: exponent of the Gaussian error in t",
                      slope([w["t"] for w in widening], [w["gaussian_error"] for w in widening]), -1.0, 0.3),
        report.at_most("decay: relative error against its scheme", max(r["scheme_error"] for r in decay), 1e-5),
        report.within("decay: order of convergence to exp(-kt)",
                      slope([r["dt"] for r in decay], [r["limit_error"] for r in decay]), 1.0, 0.15),
        report.at_most("steady state: relative error against the scheme's fixed point",
                       max(r["scheme_error"] for r in steady), 1e-5),
        report.within("steady state: order of convergence to r/(1-exp(-k))",
                      slope([r["dt"] for r in steady], [r["limit_error"] for r in steady]), 1.0, 0.15),
    ]
    table = dict(release=heat, widening=widening, decay=decay, steady_state=steady, steady_levels=levels)
    return report.Result("fields", checks, table,
                         draw(side, t_end, heat, widening, profile, decay, steady, histories, levels))


if __name__ == "__main__":
    sys.exit(report.main(sys.modules[__name__]))
