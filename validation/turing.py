"""Reacting fields against linear stability: a Turing system's fastest-growing wavelength.

Schnakenberg kinetics, slowed by a factor gamma (per MCS):

    du/dt = d_u lap u + gamma (a - u + u² v),    dv/dt = d_v lap v + gamma (b - u² v)

with a = 0.1, b = 0.9, so the steady state is u* = a + b = 1, v* = b / (a + b)² = 0.9. Around it a
Fourier mode e^{i k·x} of the lattice grows at rate lambda(k), the largest real part of the
eigenvalues of gamma J - diag(d_u, d_v) s(k), J being the kinetics' Jacobian at the steady state and
s(k) = 4 - 2 cos kx - 2 cos ky the symbol of the lattice Laplacian the fields diffuse with (its
continuum limit is |k|²). With d_v / d_u = 20 a band of modes grows (a Turing instability).

The model starts at the steady state plus white noise of amplitude 1e-3 in u and v on a periodic
lattice without cells and runs as any model with a reaction (``Model.add_reaction``: n sub-steps
per MCS, each diffusing then adding dt times the reaction, explicit Euler). From the 2-D FFT of u at
two early times t1 < t2 (linear regime) the growth rate of every mode is measured, which gives:

1. the growth rates against those of the split scheme itself, per MCS the spectral radius of
   ((I + dt gamma J) diag(1 - dt d_u s, 1 - dt d_v s))^n: the reaction is stepped as documented;
2. the growth rates against the dispersion relation lambda(k) (continuous time, lattice
   Laplacian): the splitting error is small;
3. the wavelength of the fastest-growing mode (the peak of a parabola fitted to the measured rates
   against |k|) against 2 pi / k*, k* maximising lambda(k) (along an axis);
4. the dominant wavelength of the early pattern, from its radially binned power spectrum at t2
   (the vertex of a parabola through the log power of the peak bin and its two neighbours),
   against the same 2 pi / k*.

Rates 1 and 2 are compared over the unstable band (lambda > 0) in radial bins of width 2 pi / side:
the power of a bin's modes at t2 against t1, and its prediction from each mode's power at t1 grown
at the mode's predicted rate. Single modes that start near 0 are swamped by the rounding of the
32-bit fields; they are only drawn.

    python -m validation.turing [--quick] [--out DIR]
"""

import sys

import numpy as np

import morva

from validation import report

A, B, GAMMA = 0.1, 0.9, 0.2
D_U, D_V = 0.2, 4.0
U_STAR, V_STAR = A + B, B / (A + B) ** 2
NOISE = 1e-3


def kinetics(u, v, cell_type):
    """Schnakenberg kinetics slowed by GAMMA (the reaction of this script's model)."""
    u2v = u * u * v
    return GAMMA * (A - u + u2v), GAMMA * (B - u2v)


def jacobian():
    return GAMMA * np.array([[-1 + 2 * U_STAR * V_STAR, U_STAR**2], [-2 * U_STAR * V_STAR, -U_STAR**2]])


def symbol(side):
    """s(k) of every FFT mode of a side x side lattice, and |k|."""
    k = 2 * np.pi * np.fft.fftfreq(side)
    kx, ky = np.meshgrid(k, k)
    return 4 - 2 * np.cos(kx) - 2 * np.cos(ky), np.hypot(kx, ky)


def dispersion(s):
    """lambda(s): the largest real part of the eigenvalues of gamma J - diag(d_u, d_v) s."""
    s = np.asarray(s, dtype=np.float64)
    m = np.broadcast_to(jacobian(), s.shape + (2, 2)).copy()
    m[..., 0, 0] -= D_U * s
    m[..., 1, 1] -= D_V * s
    return np.linalg.eigvals(m).real.max(axis=-1)


def scheme_rate(s, n):
    """Growth rate per MCS of the split scheme with n sub-steps: n ln rho((I + dt J) D(s))."""
    dt = 1.0 / n
    s = np.asarray(s, dtype=np.float64)
    react = np.eye(2) + dt * jacobian()
    m = np.zeros(s.shape + (2, 2))
    m[..., :, 0] = react[:, 0] * (1 - dt * D_U * s)[..., None]
    m[..., :, 1] = react[:, 1] * (1 - dt * D_V * s)[..., None]
    return n * np.log(np.abs(np.linalg.eigvals(m)).max(axis=-1))


def fastest_mode():
    """k* and lambda(k*) along an axis, on a fine grid then refined."""
    k = np.linspace(1e-3, np.pi, 20001)
    rates = dispersion(2 - 2 * np.cos(k))
    i = int(np.argmax(rates))
    return float(k[i]), float(rates[i])


def simulate(side, times, seed=1):
    model = morva.Model((side, side)).add_field("u", diffusion=D_U).add_field("v", diffusion=D_V)
    model.add_reaction("schnakenberg", kinetics, ["u", "v"])
    sim = model.build(seed=seed)
    rng = np.random.default_rng(seed)
    sim.set_field("u", U_STAR + NOISE * rng.standard_normal((1, side, side)))
    sim.set_field("v", V_STAR + NOISE * rng.standard_normal((1, side, side)))
    snapshots = {}
    for t in times:
        sim.run(t - sim.mcs, progress=False)
        snapshots[t] = sim.field("u")[0].astype(np.float64)
    return snapshots, sim.reactions.substeps["schnakenberg"]


def radial_power(power, k, side):
    width = 2 * np.pi / side
    bins = np.rint(k / width).astype(int)
    total = np.bincount(bins.ravel(), power.ravel())
    count = np.bincount(bins.ravel())
    centres = np.arange(total.size) * width
    return centres[1:], (total / np.maximum(count, 1))[1:]


def analyse(snapshots, t1, t2, side, n):
    s, k = symbol(side)
    p1, p2 = (np.abs(np.fft.fft2(snapshots[t] - snapshots[t].mean())) ** 2 for t in (t1, t2))
    with np.errstate(divide="ignore", invalid="ignore"):  # the mean, k = 0, was taken out
        measured = 0.5 * np.log(p2 / p1) / (t2 - t1)
    predicted, scheme = dispersion(s), scheme_rate(s, n)
    k_star, top = fastest_mode()
    # Rates of radial bins of width 2 pi / side: the power summed over a bin's modes at t2 against t1,
    # predicted from each mode's power at t1 grown at its predicted rate (exact in the linear regime;
    # summing keeps modes that started near 0, where rounding dominates, from weighing in).
    bins = np.rint(k / (2 * np.pi / side)).astype(int).ravel()
    start = np.bincount(bins, p1.ravel())
    with np.errstate(divide="ignore", invalid="ignore"):
        binned = {name: 0.5 * np.log(np.bincount(bins, (p1 * growth).ravel()) / start)[1:] / (t2 - t1)
                  for name, growth in (("measured", p2 / np.where(p1 > 0, p1, 1)),
                                       ("scheme", np.exp(2 * scheme * (t2 - t1))),
                                       ("predicted", np.exp(2 * predicted * (t2 - t1))))}
    near = (predicted > -0.5 * top) & (k > 0)
    fast = near & (measured > 0.8 * measured[near].max())
    a2, a1, _ = np.polyfit(k[fast], measured[fast], 2)
    k_fit = -a1 / (2 * a2)
    centres, power = radial_power(p2, k, side)
    i = int(np.argmax(power))  # the vertex of a parabola through the log power of the peak bin and its neighbours
    c2, c1, _ = np.polyfit(centres[i - 1:i + 2], np.log(power[i - 1:i + 2]), 2)
    k_pattern = float(-c1 / (2 * c2))
    return dict(k=k, measured=measured, predicted=predicted, scheme=scheme, near=near, k_star=k_star, top=top,
                binned=binned, bin_k=np.arange(1, start.size) * 2 * np.pi / side,
                k_fit=float(k_fit), centres=centres, power=power, k_pattern=k_pattern,
                power_t1=radial_power(p1, k, side)[1])


def draw(snapshots, t2, late, a, side):
    import matplotlib.pyplot as plt

    figure, (p, q, r) = plt.subplots(1, 3, figsize=(15, 4.6))
    last = max(snapshots)
    p.imshow(snapshots[last], cmap="magma", origin="lower")
    p.set(title=f"u at MCS {last}" + (" (nonlinear pattern)" if last > t2 else ""), xlabel="x", ylabel="y")
    near = a["near"]
    grid = np.linspace(1e-3, a["k"][near].max(), 400)
    q.plot(a["k"][near], a["measured"][near], ".", ms=2, color="C0", alpha=0.4, label="measured, per mode")
    shown = a["bin_k"] <= a["k"][near].max()  # beyond, the rates are those of the rounding noise
    q.plot(a["bin_k"][shown], a["binned"]["measured"][shown], "o", ms=4, color="C1", label="measured, radial bins")
    q.plot(grid, dispersion(2 - 2 * np.cos(grid)), "k-", lw=1, label="dispersion relation (lattice Laplacian)")
    q.plot(grid, scheme_rate(2 - 2 * np.cos(grid), a["n"]), "r--", lw=1, label=f"split scheme, {a['n']} sub-steps")
    q.axvline(a["k_star"], color="gray", ls=":", label=f"k* = {a['k_star']:.3f}")
    q.axhline(0, color="k", lw=0.5)
    q.set(xlabel="|k| (rad / site)", ylabel="growth rate (1 / MCS)", title="growth rate of each Fourier mode")
    q.legend(fontsize=8)
    r.semilogy(a["centres"], a["power_t1"], "o-", ms=3, label=f"MCS {a['t1']}")
    r.semilogy(a["centres"], a["power"], "o-", ms=3, label=f"MCS {t2}")
    r.axvline(a["k_star"], color="gray", ls=":", label="k* (fastest-growing)")
    r.axvline(a["k_pattern"], color="C1", ls="--", label="dominant k of the pattern")
    r.set(xlabel="|k| (rad / site)", ylabel="power of u", title=f"radial power spectrum, {side} x {side}")
    r.legend(fontsize=8)
    figure.tight_layout()
    return figure


def run(quick=False, out=None):
    side, t1, t2 = (64, 20, 60) if quick else (128, 20, 80)
    late = None if quick else 600
    snapshots, n = simulate(side, [t for t in (t1, t2, late) if t])
    a = analyse(snapshots, t1, t2, side, n)
    a.update(n=n, t1=t1)
    near, top = a["near"], a["top"]
    binned = a["binned"]
    band = binned["predicted"] > 0
    scheme_error = float(np.abs(binned["measured"] - binned["scheme"])[band].max() / top)
    dispersion_error = float(np.abs(binned["measured"] - binned["predicted"])[band].max() / top)
    wavelength = 2 * np.pi / a["k_star"]
    checks = [
        report.at_most("unstable band: growth rates vs the split scheme, max error / lambda(k*)", scheme_error, 0.015),
        report.at_most("unstable band: growth rates vs the dispersion relation, max error / lambda(k*)",
                       dispersion_error, 0.05),
        report.within("fastest-growing wavelength (fit of measured rates) / 2 pi / k*",
                      2 * np.pi / a["k_fit"] / wavelength, 1.0, 0.03),
        report.within("dominant wavelength of the early pattern (FFT) / 2 pi / k*",
                      2 * np.pi / a["k_pattern"] / wavelength, 1.0, 0.10),
    ]
    table = dict(side=side, t1=t1, t2=t2, substeps=n, gamma=GAMMA, d_u=D_U, d_v=D_V, k_star=a["k_star"],
                 lambda_star=top, predicted_wavelength=wavelength, fitted_wavelength=2 * np.pi / a["k_fit"],
                 pattern_wavelength=2 * np.pi / a["k_pattern"], scheme_error=scheme_error,
                 dispersion_error=dispersion_error)
    return report.Result("turing", checks, table, draw(snapshots, t2, late, a, side))


if __name__ == "__main__":
    sys.exit(report.main(sys.modules[__name__]))
