#!/usr/bin/env bash
# Tries the distributions in dist/ (scripts/wheels.sh) as a user gets them:
#
#   1. the sdist, unpacked afresh, built from source by pip with this machine's
#      compiler into an environment of its own with the test extras, and the
#      whole test suite run in the unpacked folder;
#   2. the x86-64 wheel in a fresh environment with no compiler on PATH: NumPy
#      and the extras' packages from the registry as usual, Zarvel from dist/
#      only (pip install --no-index --find-links dist 'zarvel[io]'), then the
#      whole test suite from a folder holding only the tests and examples, so
#      that 'import zarvel' can only find the wheel; in it test_other_build.py
#      compares every mode on every kernel with the sdist's source build, bit
#      for bit; then 'zarvel gallery';
#   3. the aarch64 wheel, installed by pip into the aarch64 sysroot of
#      scripts/aarch64.sh, and tests/test_aarch64.py comparing its results
#      under qemu-aarch64 with the x86-64 wheel's.
#
# Work goes to build/wheel-check. Exits non-zero if any part fails.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
PYTHON=${PYTHON:-python3}
DIST=$ROOT/dist
WORK=$ROOT/build/wheel-check
TPY=$ROOT/build/wheels/tools/bin/python     # scripts/wheels.sh's tools (packaging, pip)
SYSROOT=${ZARVEL_AARCH64_DIR:-$ROOT/build/aarch64}/sysroot
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1 DEBIAN_FRONTEND=noninteractive

say() { echo "wheel-check: $*"; }
die() { echo "wheel-check: $*" >&2; exit 1; }
pytest_in() {  # python, folder, pytest arguments...: a run that collects nothing fails
    local py=$1 dir=$2 status
    shift 2
    set +e
    (cd "$dir" && "$py" -m pytest -p no:cacheprovider "$@")
    status=$?
    set -e
    [[ $status -ne 5 ]] || die "pytest collected no tests in $dir"
    return $status
}

SDIST=$(ls "$DIST"/zarvel-*.tar.gz)
X86=$(ls "$DIST"/zarvel-*-manylinux*_x86_64.whl)
ARM=$(ls "$DIST"/zarvel-*-manylinux*_aarch64.whl)
[[ -x "$TPY" && -f "$SYSROOT/.complete" ]] || die "run scripts/wheels.sh first"
if ! command -v qemu-aarch64 >/dev/null || ! command -v qemu-x86_64 >/dev/null; then
    apt-get update -qq && apt-get install -y -qq --no-install-recommends qemu-user >/dev/null
fi
rm -rf "$WORK"
mkdir -p "$WORK"

# ---- 1. the sdist, built from source --------------------------------------------------
say "1. $(basename "$SDIST"): unpacked, built from source, the whole test suite"
tar -xzf "$SDIST" -C "$WORK"
UNPACKED=$(ls -d "$WORK"/zarvel-*)
"$PYTHON" -m venv "$WORK/source-env"
SOURCE_PY=$WORK/source-env/bin/python
(cd "$UNPACKED" && "$SOURCE_PY" -m pip install -q ".[test]")
"$SOURCE_PY" -c "import _zarvel, sys; assert _zarvel.__file__.startswith(sys.prefix), _zarvel.__file__"
pytest_in "$SOURCE_PY" "$UNPACKED" -q

# ---- 2. the x86-64 wheel, no compiler ---------------------------------------------------
say "2. $(basename "$X86") in a fresh environment without a compiler"
# The dependencies of the io and test extras, from the wheel's own metadata.
"$TPY" - "$X86" io test >"$WORK/requirements.txt" <<'EOF'
import sys, zipfile
from email.parser import Parser
from packaging.requirements import Requirement
wheel, *extras = sys.argv[1:]
with zipfile.ZipFile(wheel) as z:
    meta = Parser().parsestr(z.read(next(n for n in z.namelist() if n.endswith(".dist-info/METADATA"))).decode())
for line in meta.get_all("Requires-Dist") or []:
    req = Requirement(line)
    if req.marker is None or any(req.marker.evaluate({"extra": e}) for e in extras):
        req.marker = None
        print(req)
EOF
# A PATH without compilers: the environment's scripts and the few programs the tests run.
NOCC=$WORK/path
mkdir -p "$NOCC"
for tool in sh bash env uname qemu-x86_64 qemu-aarch64; do ln -sf "$(command -v "$tool")" "$NOCC/$tool"; done
ENV_DIR=$WORK/wheel-env
"$PYTHON" -m venv "$ENV_DIR"
USER_PATH="$ENV_DIR/bin:$NOCC"
for cc in cc c++ gcc g++ clang clang++ zig x86_64-linux-gnu-gcc x86_64-linux-gnu-g++; do
    if PATH=$USER_PATH command -v "$cc" >/dev/null; then die "a compiler on the test PATH: $cc"; fi
done
WPY=$ENV_DIR/bin/python
env PATH="$USER_PATH" "$WPY" -m pip install -q -r "$WORK/requirements.txt"
env PATH="$USER_PATH" "$WPY" -m pip install --no-index --find-links "$DIST" --only-binary zarvel "zarvel[io]" |
    tee "$WORK/install.log"
grep -q "Successfully installed zarvel" "$WORK/install.log" || die "pip did not install zarvel from $DIST"
SUITE=$WORK/suite
mkdir -p "$SUITE"
cp -r "$UNPACKED/tests" "$UNPACKED/examples" "$SUITE/"
(cd "$SUITE" && env PATH="$USER_PATH" "$WPY" - "$ENV_DIR" <<'EOF'
import sys, os, _zarvel, zarvel, zarvel._engine
site = os.path.realpath(sys.argv[1])
for module in (_zarvel, zarvel, zarvel._engine):
    assert os.path.realpath(module.__file__).startswith(site), f"{module.__name__} from {module.__file__}"
kernels = [k for k in ("scalar", "sse42", "avx2", "avx512", "neon") if zarvel.kernel_available(k)]
print("wheel-check: testing", _zarvel.__file__, "- kernels here:", *kernels)
EOF
)
PATH="$USER_PATH" ZARVEL_OTHER_PYTHON="$SOURCE_PY" ZARVEL_OTHER_REQUIRED=1 pytest_in "$WPY" "$SUITE" -q tests
(cd "$WORK" && env PATH="$USER_PATH" zarvel gallery -o gallery.png)
"$WPY" -c "
from PIL import Image
with Image.open('$WORK/gallery.png') as im:
    im.load()
    assert im.format == 'PNG' and im.size[0] > 0 and im.size[1] > 0, (im.format, im.size)
    print('wheel-check: zarvel gallery wrote a', im.format, '%d x %d' % im.size)
"

# ---- 3. the aarch64 wheel under qemu ---------------------------------------------------
say "3. $(basename "$ARM") in the aarch64 sysroot, against the x86-64 wheel"
ARM_SITE=$SYSROOT/opt/zarvel-wheel
rm -rf "$ARM_SITE"
"$TPY" -m pip install -q --no-deps --no-index --find-links "$DIST" --only-binary :all: --target "$ARM_SITE" \
    --platform manylinux_2_17_aarch64 --python-version 3.11 --implementation cp --abi cp311 zarvel
ls "$ARM_SITE"/_zarvel.cpython-311-aarch64-linux-gnu.so "$ARM_SITE"/zarvel/_engine.cpython-311-aarch64-linux-gnu.so
PATH="$USER_PATH" ZARVEL_AARCH64_SYSROOT="$SYSROOT" ZARVEL_AARCH64_MODULE="$ARM_SITE" ZARVEL_AARCH64_REQUIRED=1 \
    pytest_in "$WPY" "$SUITE" -q -s tests/test_aarch64.py
say "all passed"
