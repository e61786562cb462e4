#!/usr/bin/env bash
# Prepares a machine for Zarvel: system packages, a virtual environment and
# the package itself, built from this checkout.
#
#   scripts/setup.sh          the package and NumPy only
#   scripts/setup.sh io       also the image libraries of the zarvel command
#                             (the io extra: Pillow, tifffile, OpenCV, tqdm)
#   scripts/setup.sh test     the io extra, pytest and qemu-user (for the
#                             tests that run the module on emulated processors)
#   scripts/setup.sh docs     what the documentation site needs (the docs extra:
#                             Sphinx, MyST-Parser, Furo, websocket-client)
#
# Environment: PYTHON (default python3) creates the environment; ZARVEL_VENV
# (default .venv in the checkout) is where it goes. Works as root or, for the
# apt-get step, through sudo.
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
VENV=${ZARVEL_VENV:-.venv}
WITH_TESTS=0
target="."
case "${1:-}" in
    "") ;;
    test) WITH_TESTS=1; target=".[test]" ;;
    io) target=".[io]" ;;
    docs) target=".[docs]" ;;
    *) echo "setup: unknown argument '$1' (use nothing, 'io', 'test' or 'docs')" >&2; exit 2 ;;
esac

apt_install() {
    local sudo=""
    if [[ $(id -u) -ne 0 ]]; then sudo="sudo"; fi
    echo "setup: apt-get install $*"
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@" >/dev/null
}

# System packages, only those missing.
missing=()
command -v "$PYTHON" >/dev/null || missing+=(python3)
command -v g++ >/dev/null || missing+=(g++)
if ((WITH_TESTS)); then
    command -v qemu-x86_64 >/dev/null || missing+=(qemu-user)
fi
if command -v "$PYTHON" >/dev/null; then
    # A distribution's Python keeps venv/ensurepip and the C headers in separate packages.
    "$PYTHON" -c "import ensurepip, venv" 2>/dev/null || missing+=(python3-venv)
    "$PYTHON" -c "import os, sysconfig; assert os.path.exists(os.path.join(sysconfig.get_paths()['include'], 'Python.h'))" \
        2>/dev/null || missing+=(python3-dev)
else
    missing+=(python3-venv python3-dev)
fi
if ((${#missing[@]})); then apt_install "${missing[@]}"; fi

# The environment and the package (pip builds the extension with CMake; about a minute).
if [[ ! -x "$VENV/bin/python" ]]; then
    echo "setup: creating $VENV"
    "$PYTHON" -m venv "$VENV"
fi
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1
echo "setup: pip install $target"
"$VENV/bin/python" -m pip install -q "$target"
"$VENV/bin/python" -c "import zarvel; print('setup: zarvel', 'kernels:', *[k.value for k in zarvel.KernelKind if k.value != 'auto' and zarvel.kernel_available(k.value)])"
