#!/usr/bin/env bash
# Installs everything the tests need (scripts/setup.sh test) and runs the suite.
# Extra arguments go to pytest, e.g. scripts/test.sh -k normal -x
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh test
VENV=${ZARVEL_VENV:-.venv}
set +e
"$VENV/bin/python" -m pytest -p no:cacheprovider "$@"
status=$?
set -e
if [[ $status -eq 5 ]]; then
    echo "test.sh: pytest collected no tests" >&2
    exit 1
fi
exit $status
