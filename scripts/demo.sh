#!/usr/bin/env bash
# Installs Zarvel (scripts/setup.sh) and runs examples/quickstart.py.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
"${ZARVEL_VENV:-.venv}/bin/python" examples/quickstart.py
