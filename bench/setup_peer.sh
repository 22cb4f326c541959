#!/usr/bin/env bash
# Makes the benchmark-only venv with the pure-Python peer (bench/out/peer-venv).
# The peer is a point of comparison, never a dependency of the project.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
PY="$(readlink -f "$ROOT/.venv/bin/python")"  # the same interpreter as the project's venv
VENV="$ROOT/bench/out/peer-venv"
[ -x "$VENV/bin/python" ] || "$PY" -m venv "$VENV"
"$VENV/bin/python" -m pip install -q --disable-pip-version-check betfairlightweight==2.24.0
