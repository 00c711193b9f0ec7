#!/usr/bin/env bash
# Prints the path of a Python 3.13 interpreter with venv support and headers, installing Debian's
# python3.13 when none is found on PATH or under pyenv.
set -euo pipefail

works() { [ -x "$1" ] && "$1" -c 'import sys, venv, sysconfig, os; assert sys.version_info[:2] == (3, 13); assert os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))' 2>/dev/null; }

candidates=()
command -v python3.13 >/dev/null 2>&1 && candidates+=("$(command -v python3.13)")
pyenv_root=$( (pyenv root 2>/dev/null) || echo "${PYENV_ROOT:-$HOME/.pyenv}")
for p in "$pyenv_root"/versions/3.13*/bin/python3.13 /usr/bin/python3.13 /usr/local/bin/python3.13; do
    candidates+=("$p")
done
for p in "${candidates[@]}"; do
    if works "$p"; then echo "$p"; exit 0; fi
done

echo "no Python 3.13 found; installing Debian's python3.13" >&2
apt-get update -qq >&2
apt-get install -y -qq python3.13 python3.13-venv python3.13-dev >&2
works /usr/bin/python3.13 && { echo /usr/bin/python3.13; exit 0; }
echo "Python 3.13 with venv and headers is required" >&2
exit 1
