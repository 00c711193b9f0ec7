"""Run the whole validation suite: ``python -m validation [--quick] [--out DIR] [NAME ...]``."""

import argparse
import importlib
import sys

from validation import SCRIPTS
from validation.report import DEFAULT_OUT, execute


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("names", nargs="*",
                        help=f"scripts to run (default: all of {', '.join(SCRIPTS)})")
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--out", default=DEFAULT_OUT)
    args = parser.parse_args(argv)
    unknown = [name for name in args.names if name not in SCRIPTS]
    if unknown:
        parser.error(f"unknown validation script(s) {', '.join(unknown)}; known: {', '.join(SCRIPTS)}")
    failed = []
    for name in args.names or SCRIPTS:
        result = execute(importlib.import_module(f"validation.{name}"), quick=args.quick, out=args.out)
        if not result.passed:
            failed.append(name)
    if failed:
        print(f"validation FAILED: {', '.join(failed)}")
        return 1
    print(f"validation passed: {len(args.names or SCRIPTS)} scripts")
    return 0


if __name__ == "__main__":
    sys.exit(main())
