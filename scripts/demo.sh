#!/usr/bin/env bash
# The README's first command: installs Zarvel with its image extra
# (scripts/setup.sh io) and draws gallery.png, every blend mode on the
# photograph shipped with the package (no network needed). It prints the
# modes, the kernel that ran, the time taken and where the file is, and
# leaves photo.jpg and logo.png beside it to try 'zarvel blend' on.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh io
VENV=${ZARVEL_VENV:-.venv}
echo
"$VENV/bin/zarvel" gallery -o gallery.png --samples .
echo
echo "The zarvel command is $VENV/bin/zarvel; to call it as 'zarvel', activate the environment:"
echo "  source $VENV/bin/activate"
echo "  zarvel blend photo.jpg logo.png -m screen --offset 20,20 -o out.png"
