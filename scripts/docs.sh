#!/usr/bin/env bash
# Builds the documentation site into build/docs (open build/docs/index.html).
#
# Installs the package from this checkout with its docs extra (scripts/setup.sh
# docs: Sphinx, MyST-Parser, Furo, websocket-client) into .venv (ZARVEL_VENV picks
# another place), so that the API reference shows this checkout's docstrings,
# then runs Sphinx with warnings as errors and every cross-reference checked.
# scripts/check_docs.py then looks at the result in headless Chromium.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh docs
VENV=${ZARVEL_VENV:-.venv}
OUT=build/docs
rm -rf "$OUT" build/docs-doctrees  # a fresh build: warnings of unchanged pages are not repeated otherwise
echo "docs: sphinx-build docs $OUT"
"$VENV/bin/python" -m sphinx -W --keep-going -n -q -b html -d build/docs-doctrees docs "$OUT"
echo "docs: built $OUT/index.html"
