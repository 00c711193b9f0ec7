"""Validation suite: scripts that check morva against exact solutions and published results.

Each script is a module of this package with a ``run(quick, out)`` function that writes a figure
(``<name>.png``) and a table of numbers (``<name>.json``) into ``out`` and returns a
:class:`validation.report.Result`. ``python -m validation`` runs them all (``make validate``);
``--quick`` runs the reduced versions that the test suite uses.

Adding a script to the suite is one line in ``SCRIPTS``.
"""

SCRIPTS = [
    "sampler",
    "fields",
    "surfaces",
    "adhesion",
    "drift",
    "persistence",
    "sorting_kinetics",
    "act_regimes",
    "turing",
]
