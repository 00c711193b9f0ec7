"""Validation of the in-cell ODE integrator against an analytic decay.

Every cell carries u with du/dt = -k u, so u(t) = u0 exp(-k t) whatever the tissue does. The
script integrates it with morva.CellODE (classical Runge-Kutta, `substeps` steps per MCS) for
several steps and prints the largest error over the cells and the observed order of convergence,
which should be close to 4.

    python examples/cell_ode_decay.py [--mcs 100] [--rate 0.5] [--time-per-mcs 0.1]
"""

import argparse

import numpy as np

import morva


def decay(rate):
    def rhs(t, y, tissue):
        return {"u": -rate * y["u"]}

    return rhs


def largest_error(mcs, rate, time_per_mcs, substeps, every):
    model = morva.Model((40, 40)).add_type("a", volume=25, lambda_volume=1)
    model.set_contact("medium", "a", 10).set_contact("a", "a", 0)
    model.add_tiling(["a"], (10, 10), (30, 30), 5).add_cell_variable("u", initial=1.0)
    sim = model.build(seed=1)
    sim.add_writer(morva.CellODE(decay(rate), ["u"], every=every, time_per_mcs=time_per_mcs, substeps=substeps))
    sim.run(mcs, progress=False)
    exact = np.exp(-rate * mcs * time_per_mcs)
    return float(np.abs(sim.cells()["u"] - exact).max())


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mcs", type=int, default=100)
    parser.add_argument("--rate", type=float, default=0.5)
    parser.add_argument("--time-per-mcs", type=float, default=0.1)
    parser.add_argument("--every", type=int, default=5)
    args = parser.parse_args()
    print(f"du/dt = -{args.rate} u over {args.mcs} MCS of {args.time_per_mcs} time units, acting every {args.every} MCS")
    print(f"{'substeps':>8} {'step h':>10} {'max error':>12} {'order':>6}")
    previous = None
    for substeps in (1, 2, 4, 8):
        error = largest_error(args.mcs, args.rate, args.time_per_mcs, substeps, args.every)
        order = "" if previous is None or error == 0 else f"{np.log2(previous / error):6.2f}"
        print(f"{substeps:8d} {args.time_per_mcs / substeps:10.4f} {error:12.3e} {order:>6}")
        previous = error


if __name__ == "__main__":
    main()
