"""Checks with stated tolerances, and the figure and table every validation script writes."""

import argparse
import dataclasses
import json
import math
import pathlib
import sys
import time

import numpy as np

DEFAULT_OUT = pathlib.Path(__file__).resolve().parent.parent / "docs" / "images" / "validation"


@dataclasses.dataclass
class Check:
    """One measured number against what is expected of it.

    ``kind`` is "within" (|measured - expected| <= tolerance), "at most" (measured <= expected)
    or "at least" (measured >= expected).
    """

    name: str
    measured: float
    expected: float
    kind: str = "within"
    tolerance: float = 0.0

    @property
    def passed(self):
        m = float(self.measured)
        if not math.isfinite(m):
            return False
        if self.kind == "within":
            return abs(m - self.expected) <= self.tolerance
        if self.kind == "at most":
            return m <= self.expected
        if self.kind == "at least":
            return m >= self.expected
        raise ValueError(f"check {self.name!r}: unknown kind {self.kind!r}")

    def criterion(self):
        if self.kind == "within":
            return f"{self.expected:.6g} ± {self.tolerance:.3g}"
        return f"{'≤' if self.kind == 'at most' else '≥'} {self.expected:.6g}"


def within(name, measured, expected, tolerance):
    return Check(name, float(measured), float(expected), "within", float(tolerance))


def at_most(name, measured, bound):
    return Check(name, float(measured), float(bound), "at most")


def at_least(name, measured, bound):
    return Check(name, float(measured), float(bound), "at least")


@dataclasses.dataclass
class Result:
    """What a script measured: its checks, a table of numbers and the figure it drew."""

    name: str
    checks: list
    table: dict
    figure: object

    @property
    def passed(self):
        return all(check.passed for check in self.checks)

    def failures(self):
        return [check for check in self.checks if not check.passed]


def _plain(value):
    if isinstance(value, dict):
        return {str(k): _plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_plain(v) for v in value]
    if isinstance(value, np.ndarray):
        return _plain(value.tolist())
    if isinstance(value, (np.integer,)):
        return int(value)
    if isinstance(value, (np.floating, float)):
        return float(value) if math.isfinite(value) else str(value)
    return value


def save(result, out, *, quick, seconds):
    """Write ``<name>.png`` and ``<name>.json`` into ``out``; return the two paths."""
    out = pathlib.Path(out)
    out.mkdir(parents=True, exist_ok=True)
    png, table = out / f"{result.name}.png", out / f"{result.name}.json"
    result.figure.savefig(png, dpi=90, bbox_inches="tight")
    import matplotlib.pyplot as plt

    plt.close(result.figure)
    document = {
        "name": result.name,
        "quick": quick,
        "seconds": round(seconds, 1),
        "passed": result.passed,
        "checks": [dict(name=c.name, measured=c.measured, criterion=c.criterion(), passed=c.passed)
                   for c in result.checks],
        "table": result.table,
    }
    table.write_text(json.dumps(_plain(document), indent=1, ensure_ascii=False) + "\n")
    return png, table


def execute(module, *, quick, out):
    """Run one script module, save its outputs, print its checks; return the Result."""
    import matplotlib

    matplotlib.use("Agg")
    started = time.perf_counter()
    result = module.run(quick=quick, out=pathlib.Path(out))
    seconds = time.perf_counter() - started
    save(result, out, quick=quick, seconds=seconds)
    print(f"{result.name}: {'passed' if result.passed else 'FAILED'} in {seconds:.1f} s")
    for check in result.checks:
        print(f"  [{'ok' if check.passed else 'FAIL'}] {check.name}: {check.measured:.6g} "
              f"(expected {check.criterion()})")
    sys.stdout.flush()
    return result


def main(module, argv=None):
    """Command line of one script: ``python -m validation.<name> [--quick] [--out DIR]``."""
    parser = argparse.ArgumentParser(description=(module.__doc__ or "").splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="the reduced version run by the tests")
    parser.add_argument("--out", type=pathlib.Path, default=DEFAULT_OUT)
    args = parser.parse_args(argv)
    return 0 if execute(module, quick=args.quick, out=args.out).passed else 1


# ------------------------------------------------------------------ tables for the documentation


def load(name, folder=DEFAULT_OUT):
    """The table a script wrote, as a dict."""
    return json.loads((pathlib.Path(folder) / f"{name}.json").read_text())


def _cell(value, fmt):
    if isinstance(value, bool):
        return "yes" if value else "**no**"
    if isinstance(value, (int, float)) and fmt:
        return format(value, fmt)
    return str(value).replace("|", "\\|")


def markdown_table(rows, columns):
    """A Markdown table of `rows` (dicts); `columns` maps a key to (heading, format)."""
    lines = ["| " + " | ".join(heading for heading, _ in columns.values()) + " |",
             "|" + "---|" * len(columns)]
    for row in rows:
        lines.append("| " + " | ".join(_cell(row.get(key, ""), fmt) for key, (_, fmt) in columns.items()) + " |")
    return "\n".join(lines)


def markdown_checks(name, folder=DEFAULT_OUT):
    """The checks of the last full run of a script, as a Markdown table with its run time."""
    document = load(name, folder)
    table = markdown_table(document["checks"], {"name": ("check", ""), "measured": ("measured", ".4g"),
                                                "criterion": ("required", ""), "passed": ("passed", "")})
    return f"{table}\n\n*Full run: {document['seconds']:g} s on two shared cores.*"
