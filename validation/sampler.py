"""The sampler against its exact stationary distribution, on lattices small enough to enumerate.

Two cells and the medium on a 3 x 3 lattice (3 x 2 in the quick version). Every state the
dynamics can reach is enumerated, the transition matrix of one copy attempt is built from the
rules written out below (target site uniform over the lattice, source uniform over the target's
neighbour list, Metropolis acceptance, local connectivity veto), and its stationary distribution
is solved exactly. Long runs of ``World.step`` and of ``World.step_parallel`` with one tile (the
whole box swept in raster order, one site after the other) must visit the states with those
frequencies: a chi-squared test at the 0.1 % level. The same samples are also tested against the
stationary distributions of deliberately wrong rules, which the test must reject.

The volume term keeps each cell at one or two sites: at T = 2 a target volume of 1.501 with a
strength of 1000 makes losing the last site or growing to three cost about 1000 T, where
exp(-ΔH/T) underflows to exactly 0, so neither can ever be accepted, while one and two sites
differ by only 1 T. This keeps the cells alive (a vanished cell never returns) and the state space small.

    python -m validation.sampler [--quick] [--out DIR]
"""

import dataclasses
import math
import sys
from collections import deque

import numpy as np
import scipy.sparse
import scipy.sparse.linalg
import scipy.stats

from morva_core import World

from validation import report

SIGNIFICANCE = 1e-3      # false-alarm rate of each goodness-of-fit test
DETECTION = 1e-6         # a wrong rule counts as detected when its p-value is below this
RESIDUAL_CORRELATION = 1e-3


@dataclasses.dataclass
class Case:
    """A tiny world: two cells (types 1 and 2) in the medium (type 0)."""

    name: str
    dims: tuple
    boundary: str
    order: int
    temperature: float
    contact: dict                      # {(type, type): J}
    surface: tuple = (0.0, 0.0)        # (target, strength) for both cells
    chemotaxis: dict = dataclasses.field(default_factory=dict)   # {type: lambda}, field c = x + 2y
    force: dict = dataclasses.field(default_factory=dict)        # {type: (fx, fy)}
    medium_connectivity: bool = False
    sweep: str = "step"                # "step" or "parallel" (one tile)
    samples: int = 100_000
    target_volume: float = 1.501
    lambda_volume: float = 1000.0


# ----------------------------------------------------------------------- the rules, written out


class Rules:
    """The dynamics of one case as an explicit Markov chain on label tuples."""

    def __init__(self, case, *, temperature=None, source_rule="any neighbour", faces_only=False):
        self.case = case
        self.temperature = case.temperature if temperature is None else temperature
        self.source_rule = source_rule
        nx, ny = case.dims
        self.n_sites = nx * ny
        self.coords = [(s % nx, s // nx) for s in range(self.n_sites)]
        self.neighbors = [self._neighbor_list(s, case.order) for s in range(self.n_sites)]
        self.sources = [self._neighbor_list(s, 1) if faces_only else self.neighbors[s]
                        for s in range(self.n_sites)]
        self.conc = [float(np.float32(x + 2 * y)) for x, y in self.coords]
        self.types = (0, 1, 2)
        self._energy = {}

    def _neighbor_list(self, site, order):
        nx, ny = self.case.dims
        x, y = self.coords[site]
        offsets = [(dx, dy) for dy in (-1, 0, 1) for dx in (-1, 0, 1)
                   if (dx, dy) != (0, 0) and abs(dx) + abs(dy) <= order]
        result = []
        for dx, dy in offsets:
            u, v = x + dx, y + dy
            if self.case.boundary == "periodic":
                u, v = u % nx, v % ny
            elif not (0 <= u < nx and 0 <= v < ny):
                continue
            result.append(u + nx * v)
        return result

    def contact(self, a, b):
        return self.case.contact.get((a, b), self.case.contact.get((b, a), 0.0))

    def energy(self, state):
        """Contact over neighbour pairs, volume and surface per cell, external potential."""
        if state in self._energy:
            return self._energy[state]
        case, total = self.case, 0.0
        surface = [0, 0, 0]
        for s, label in enumerate(state):
            for t in self.neighbors[s]:
                if state[t] != label:
                    total += 0.5 * self.contact(self.types[label], self.types[state[t]])
                    surface[label] += 1
            fx, fy = case.force.get(self.types[label], (0.0, 0.0))
            total -= fx * self.coords[s][0] + fy * self.coords[s][1]
        target_surface, lambda_surface = case.surface
        for cell in (1, 2):
            volume = state.count(cell)
            total += case.lambda_volume * (volume - case.target_volume) ** 2
            total += lambda_surface * (surface[cell] - target_surface) ** 2
        self._energy[state] = total
        return total

    def stays_connected(self, state, target):
        """The local veto: the medium's neighbours of the target must form one piece."""
        same = [t for t in self.neighbors[target] if state[t] == 0]
        if len(same) < 2:
            return True
        seen, stack = {0}, [0]
        while stack:
            p = stack.pop()
            for j in range(len(same)):
                if j not in seen and same[j] in self.neighbors[same[p]]:
                    seen.add(j)
                    stack.append(j)
        return len(seen) == len(same)

    def site_update(self, state, target):
        """{next state: probability} for one copy attempt aimed at `target`."""
        sources = self.sources[target]
        if self.source_rule == "distinct labels":
            sources = [t for t in sources if state[t] != state[target]] or sources
        a, outcome = state[target], {}
        for source in sources:
            b = state[source]
            p = 0.0
            if b != a:
                new = state[:target] + (b,) + state[target + 1:]
                delta = self.energy(new) - self.energy(state)
                chemotaxis = self.case.chemotaxis.get(self.types[b], 0.0)
                delta -= chemotaxis * (self.conc[target] - self.conc[source])
                p = 1.0 if delta <= 0 else math.exp(-delta / self.temperature)
                if p > 0 and a == 0 and self.case.medium_connectivity and not self.stays_connected(state, target):
                    p = 0.0
                if p > 0:
                    outcome[new] = outcome.get(new, 0.0) + p / len(sources)
            outcome[state] = outcome.get(state, 0.0) + (1.0 - p) / len(sources)
        return outcome

    def chain(self, start):
        """All states reachable from `start`, and one sparse update matrix per target site."""
        index, order, queue = {start: 0}, [start], deque([start])
        rows = [[] for _ in range(self.n_sites)]
        while queue:
            state = queue.popleft()
            for target in range(self.n_sites):
                for new, p in self.site_update(state, target).items():
                    if new not in index:
                        index[new] = len(order)
                        order.append(new)
                        queue.append(new)
                    rows[target].append((index[state], index[new], p))
        n = len(order)
        updates = []
        for entries in rows:
            i, j, p = zip(*entries)
            updates.append(scipy.sparse.csr_matrix((p, (i, j)), shape=(n, n)))
        return order, index, updates

    def step_matrix(self, updates):
        """Transition matrix of the case's elementary step: one copy attempt of `step` (sparse),
        or one whole one-tile sweep of `step_parallel` (dense): every site once as target, in
        site-index order."""
        if self.case.sweep == "parallel":
            product = updates[0].toarray()
            for update in updates[1:]:
                product = np.asarray(product @ update)
            return product
        return (sum(updates) / self.n_sites).tocsr()

    def steps_per_mcs(self):
        return 1 if self.case.sweep == "parallel" else self.n_sites


def stationary(matrix):
    """The left eigenvector of eigenvalue 1 of a stochastic matrix, normalised."""
    n = matrix.shape[0]
    system = scipy.sparse.lil_matrix(scipy.sparse.csr_matrix(matrix).T - scipy.sparse.identity(n))
    system[n - 1, :] = np.ones(n)
    rhs = np.zeros(n)
    rhs[-1] = 1.0
    pi = scipy.sparse.linalg.spsolve(system.tocsc(), rhs)
    return np.clip(pi, 0.0, None) / np.clip(pi, 0.0, None).sum()


def second_eigenvalue(matrix):
    """Modulus of the second-largest eigenvalue: how fast the chain forgets its start."""
    if matrix.shape[0] < 16:
        dense = matrix.toarray() if scipy.sparse.issparse(matrix) else matrix
        return float(np.sort(np.abs(np.linalg.eigvals(dense)))[-2])
    values = scipy.sparse.linalg.eigs(scipy.sparse.linalg.aslinearoperator(matrix), k=2, which="LM",
                                      return_eigenvectors=False, tol=1e-8)
    return float(np.sort(np.abs(values))[0])


def chi_squared(counts, expected_p):
    """Pearson's test with bins of expected count below 5 pooled; returns (statistic, dof, p)."""
    expected = expected_p * counts.sum()
    small = expected < 5
    obs = np.append(counts[~small], counts[small].sum())
    exp = np.append(expected[~small], expected[small].sum())
    if exp[-1] == 0:
        obs, exp = obs[:-1], exp[:-1]
    if obs.sum() != counts.sum():          # observed in a state of (pooled) zero probability
        return math.inf, len(exp) - 1, 0.0
    statistic, p = scipy.stats.chisquare(obs, exp)
    return float(statistic), len(exp) - 1, float(p)


# ----------------------------------------------------------------------------- the engine runs


def build_world(case, seed):
    nx, ny = case.dims
    world = World((nx, ny, 1), case.boundary, case.order, case.temperature)
    target_surface, lambda_surface = case.surface
    for cell_type, site in ((1, 0), (2, nx * ny - 1)):
        cell = world.add_cell(cell_type, case.target_volume, case.lambda_volume, target_surface, lambda_surface)
        world.seed_block(cell, site % nx, site // nx, 0, site % nx + 1, site // nx + 1, 1)
    for (a, b), j in case.contact.items():
        world.set_contact(a, b, j)
    if case.chemotaxis:
        field = world.add_field("c", 0.0, 0.0)
        for s in range(nx * ny):
            world.field_add_source_at(field, s % nx, s // nx, 0, float(s % nx + 2 * (s // nx)))
        for cell_type, strength in case.chemotaxis.items():
            world.set_chemotaxis(field, cell_type, strength)
    for cell_type, (fx, fy) in case.force.items():
        world.set_external_potential(cell_type, fx, fy, 0.0)
    world.set_connectivity_medium(case.medium_connectivity)
    world.finalize(seed)
    return world


def sample(case, index, thin, *, runs=4, seed=27):
    """State counts over `runs` independent worlds, one sample every `thin` MCS after burn-in."""
    counts = np.zeros(len(index), dtype=np.int64)
    foreign = 0
    per_run = case.samples // runs
    for run in range(runs):
        world = build_world(case, seed + run)
        advance = (lambda m: world.step_parallel(m, block=16)) if case.sweep == "parallel" else world.step
        advance(10 * thin)
        for _ in range(per_run):
            advance(thin)
            state = index.get(tuple(world.snapshot()))
            if state is None:
                foreign += 1
            else:
                counts[state] += 1
    return counts, foreign


# Wrong rules, each as the chain it would make; None where it does not differ from the right one.
WRONG_RULES = {
    "temperature 25 % high": lambda case: Rules(case, temperature=1.25 * case.temperature),
    "source drawn among differing neighbours": lambda case: Rules(case, source_rule="distinct labels"),
    "source drawn from face neighbours only": lambda case: Rules(case, faces_only=True) if case.order >= 2 else None,
}


def analyse(case):
    rules = Rules(case)
    nx, ny = case.dims
    start = tuple([1] + [0] * (nx * ny - 2) + [2])
    order, index, updates = rules.chain(start)
    matrix = rules.step_matrix(updates)
    pi = stationary(matrix)
    lam2 = second_eigenvalue(matrix) ** rules.steps_per_mcs()    # per Monte Carlo step
    thin = max(1, math.ceil(math.log(RESIDUAL_CORRELATION) / math.log(lam2))) if lam2 > 0 else 1
    counts, foreign = sample(case, index, thin)
    statistic, dof, p = chi_squared(counts, pi)
    boltzmann = np.exp(-np.array([rules.energy(s) for s in order]) / case.temperature)
    boltzmann /= boltzmann.sum()
    wrong = {}
    for label, wrong_rules in WRONG_RULES.items():
        other = wrong_rules(case)
        if other is None:
            continue
        pi_wrong = stationary(other.step_matrix(_updates_on(other, order, index)))
        wrong[label] = dict(p=chi_squared(counts, pi_wrong)[2],
                            total_variation=0.5 * float(np.abs(pi_wrong - pi).sum()))
    return dict(states=len(order), thin=thin, second_eigenvalue=lam2, samples=int(counts.sum()),
                foreign=foreign, chi2=statistic, dof=dof, p=p, pi=pi, counts=counts,
                total_variation=0.5 * float(np.abs(counts / counts.sum() - pi).sum()),
                boltzmann_distance=0.5 * float(np.abs(boltzmann - pi).sum()), wrong=wrong)


def _updates_on(rules, order, index):
    """Update matrices of `rules` on a fixed state list; moves leaving the list are refused."""
    n = len(order)
    updates = []
    for target in range(rules.n_sites):
        i, j, p = [], [], []
        for k, state in enumerate(order):
            stay = 0.0
            for new, q in rules.site_update(state, target).items():
                if new in index:
                    i.append(k)
                    j.append(index[new])
                    p.append(q)
                else:
                    stay += q
            if stay:
                i.append(k)
                j.append(k)
                p.append(stay)
        updates.append(scipy.sparse.csr_matrix((p, (i, j)), shape=(n, n)))
    return updates


# -------------------------------------------------------------------------------------- cases


def cases(quick):
    plain = dict(contact={(1, 0): 1.0, (2, 0): 0.5, (1, 2): 1.5}, temperature=2.0, surface=(5.0, 0.05))
    driven = dict(contact={(1, 0): 0.8, (2, 0): 1.2, (1, 2): 0.4}, temperature=2.0,
                  chemotaxis={1: 0.4}, force={2: (0.3, -0.2)}, medium_connectivity=True)
    if quick:
        # The closed 3 x 3 box has an interior site (the centre), the periodic 3 x 2 box none, so the
        # engine's copies from interior and from face sites are both sampled.
        return [Case("3x3 closed, 4 neighbours, step", (3, 3), "noflux", 1, samples=20_000, **plain),
                Case("3x2 periodic, 8 neighbours, driven, one-tile parallel", (3, 2), "periodic", 2,
                     sweep="parallel", samples=20_000, **driven)]
    full = []
    for sweep in ("step", "parallel"):
        full.append(Case(f"3x3 closed, 4 neighbours, {sweep}", (3, 3), "noflux", 1, sweep=sweep,
                         samples=100_000, **plain))
        full.append(Case(f"3x3 periodic, 8 neighbours, driven, {sweep}", (3, 3), "periodic", 2,
                         sweep=sweep, samples=100_000, **driven))
    return full


def draw(results):
    import matplotlib.pyplot as plt

    n = len(results)
    figure, axes = plt.subplot_mosaic([list(range(n)), ["bars"] * n], figsize=(3.8 * max(n, 3), 8.5),
                                      height_ratios=[1, 1.1])
    for k, (case, r) in enumerate(results):
        ax = axes[k]
        observed = r["counts"] / r["counts"].sum()
        floor = 0.5 / r["counts"].sum()
        ax.loglog(r["pi"], np.maximum(observed, floor), ".", ms=3, alpha=0.6)
        lo = max(r["pi"][r["pi"] > 0].min(), floor) / 2
        ax.plot([lo, 0.1], [lo, 0.1], "k-", lw=0.8)
        ax.set(xlim=(lo, 0.1), ylim=(lo, 0.1), xlabel="exact stationary probability", ylabel="observed frequency")
        ax.set_title(f"{k + 1}: {case.name}\n{r['states']} states, {r['samples']} samples, χ² p = {r['p']:.3f}", fontsize=8)
    ax = axes["bars"]
    labels, values = [], []
    for k, (case, r) in enumerate(results):
        labels.append(f"{k + 1}: the rules as written")
        values.append(max(r["p"], 1e-300))
        for rule, w in r["wrong"].items():
            labels.append(f"{k + 1}: {rule}")
            values.append(max(w["p"], 1e-300))
    ax.barh(range(len(values)), -np.log10(values),
            color=["tab:green" if "as written" in label else "tab:red" for label in labels])
    ax.axvline(-math.log10(SIGNIFICANCE), color="k", ls="--", lw=0.8, label="0.1 % level")
    ax.set_yticks(range(len(labels)), labels, fontsize=8)
    ax.set_xscale("symlog")
    ax.set_xlabel("−log10 p of the same samples against the stationary distribution of each rule (300: p < 1e-300)")
    ax.legend(fontsize=8)
    ax.invert_yaxis()
    figure.tight_layout()
    return figure


def run(quick=False, out=None):
    results = [(case, analyse(case)) for case in cases(quick)]
    checks, table = [], []
    for case, r in results:
        checks.append(report.at_most(f"{case.name}: samples in unreachable states", r["foreign"], 0))
        checks.append(report.at_least(f"{case.name}: chi-squared p-value", r["p"], SIGNIFICANCE))
        for rule, w in r["wrong"].items():
            checks.append(report.at_most(f"{case.name}: p-value against '{rule}'", w["p"], DETECTION))
        table.append(dict(case=case.name, states=r["states"], samples=r["samples"], thin_mcs=r["thin"],
                          second_eigenvalue=r["second_eigenvalue"], chi2=r["chi2"], dof=r["dof"], p=r["p"],
                          total_variation=r["total_variation"], boltzmann_distance=r["boltzmann_distance"],
                          wrong_rules=r["wrong"]))
    return report.Result("sampler", checks, {"cases": table}, draw(results))


if __name__ == "__main__":
    sys.exit(report.main(sys.modules[__name__]))
