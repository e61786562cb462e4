#!/usr/bin/env bash
# The module on 64-bit ARM, without an ARM machine: cross-compiled with
# Debian's aarch64 toolchain and run by an aarch64 Python under qemu-aarch64.
#
#   scripts/aarch64.sh           prepare (below), then run tests/test_aarch64.py,
#                                which compares the ARM results with this machine's
#   scripts/aarch64.sh sysroot   only the sysroot (step 2, and the Debian
#                                packages it needs); scripts/wheels.sh builds
#                                against its Python and NumPy headers
#   scripts/aarch64.sh prepare   only prepare:
#     1. Debian packages: g++-aarch64-linux-gnu, qemu-user (qemu-aarch64);
#     2. a sysroot with Debian's arm64 Python 3.11 (the interpreter, its
#        standard library and headers, the C libraries they load) and NumPy's
#        aarch64 wheel from PyPI;
#     3. the modules cross-compiled against them with g++ (build/aarch64/module)
#        and with clang++ (build/aarch64/module-clang), warnings as errors, each
#        with an importable tree in its site/ folder (the package from src/ with
#        the ARM engine module);
#     4. the cube root check (tests/native/cube_root_check.cpp) cross-compiled
#        and run under qemu on a sample of the floats.
# The test then runs against each build.
#
# Everything goes to build/aarch64 (ZARVEL_AARCH64_DIR picks another place);
# an existing sysroot is reused. The host side needs the environment of
# scripts/setup.sh test (ZARVEL_VENV, default .venv), which this script
# creates if it is missing. Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
VENV=${ZARVEL_VENV:-$ROOT/.venv}
OUT=${ZARVEL_AARCH64_DIR:-$ROOT/build/aarch64}
SYSROOT=$OUT/sysroot
export DEBIAN_FRONTEND=noninteractive PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1

MODE=test
case "${1:-}" in
    prepare | sysroot) MODE=$1; shift ;;
esac

say() { echo "aarch64: $*"; }
as_root() { if [[ $(id -u) -eq 0 ]]; then "$@"; else sudo "$@"; fi; }

# ---- 1. tools -------------------------------------------------------------------
missing=()
if [[ $MODE == sysroot ]]; then
    PY=${PYTHON:-python3}   # only downloads NumPy's wheel
else
    [[ -x "$VENV/bin/python" ]] || bash scripts/setup.sh test
    PY="$VENV/bin/python"
    "$PY" -m pip install -q "cmake>=4.1" ninja   # 4.1: interpreters run through an emulator
    export PATH="$VENV/bin:$PATH"
    command -v aarch64-linux-gnu-g++ >/dev/null || missing+=(g++-aarch64-linux-gnu)
    command -v qemu-aarch64 >/dev/null || missing+=(qemu-user)
    command -v clang++ >/dev/null || missing+=(clang)
fi
if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    say "dpkg --add-architecture arm64"
    as_root dpkg --add-architecture arm64
    need_update=1
fi
if ((${#missing[@]})) || [[ -n "${need_update:-}" ]]; then
    say "apt-get update"
    as_root apt-get update -qq
fi
if ((${#missing[@]})); then
    say "apt-get install ${missing[*]}"
    as_root apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# ---- 2. the sysroot -------------------------------------------------------------
# The interpreter, its standard library and headers, and the shared libraries
# that the interpreter, its extension modules, NumPy and the module load.
PACKAGES=(
    python3.11 python3.11-minimal libpython3.11-minimal libpython3.11-stdlib libpython3.11
    libpython3.11-dev libc6 libgcc-s1 libstdc++6 zlib1g libexpat1 libffi8 libbz2-1.0 liblzma5
    libcrypt1 libuuid1 libtinfo6 libncursesw6 libreadline8 libsqlite3-0 libssl3
)
PY_ARM="$SYSROOT/usr/bin/python3.11"
SITE="$SYSROOT/usr/lib/python3/dist-packages"
if [[ ! -f "$SYSROOT/.complete" ]]; then
    say "sysroot in $SYSROOT"
    rm -rf "$SYSROOT" "$OUT/debs" "$OUT/wheels"
    mkdir -p "$SYSROOT" "$OUT/debs" "$OUT/wheels"
    (cd "$OUT/debs" && apt-get download -qq "${PACKAGES[@]/%/:arm64}")
    for deb in "$OUT"/debs/*.deb; do dpkg -x "$deb" "$SYSROOT"; done
    # NumPy's aarch64 wheel for CPython 3.11, unpacked where Debian's Python looks.
    "$PY" -m pip download -q --no-deps --only-binary=:all: --dest "$OUT/wheels" \
        --platform manylinux_2_28_aarch64 --platform manylinux2014_aarch64 \
        --python-version 3.11 --implementation cp --abi cp311 "numpy>=2"
    mkdir -p "$SITE"
    "$PY" -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' \
        "$(ls "$OUT"/wheels/numpy-*.whl | head -n 1)" "$SITE"
    touch "$SYSROOT/.complete"
fi
[[ $MODE == sysroot ]] && exit 0

# OpenBLAS (inside NumPy) on the emulated processor: the child must not
# inherit settings the host may export for its own processor.
export ZARVEL_QEMU_CPU=${ZARVEL_QEMU_CPU:-cortex-a72}
emulated() {
    env -u PYTHONHOME OPENBLAS_CORETYPE=ARMV8 OPENBLAS_L2_SIZE=1048576 PYTHONNOUSERSITE=1 \
        qemu-aarch64 -cpu "$ZARVEL_QEMU_CPU" -L "$SYSROOT" "$PY_ARM" "$@"
}
PYTHONPATH= emulated -c "import numpy, platform; print('aarch64: emulated', platform.machine(), 'Python', platform.python_version(), 'NumPy', numpy.__version__)"

# ---- 3. the cross build --------------------------------------------------------
# CMake runs the target's interpreter through qemu (policy CMP0190) for its
# version, extension suffix and headers; NumPy's headers are named directly.
# Debian's pyconfig.h includes <aarch64-linux-gnu/python3.11/pyconfig.h>, so
# the sysroot's include folder (Python's headers only) is searched too.
NUMPY_INCLUDE=$(emulated -c "import numpy; print(numpy.get_include())")
cross_build() {  # folder, C++ compiler[, extra compiler flags]
    local dir=$1 cxx=$2 flags=${3:-}
    say "cross build with $cxx in $dir"
    rm -rf "$dir"
    if ! cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER="$cxx" \
            -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/aarch64-linux-gnu.cmake" -DZARVEL_WERROR=ON \
            -DCMAKE_POLICY_DEFAULT_CMP0190=NEW \
            "-DCMAKE_CROSSCOMPILING_EMULATOR=env;OPENBLAS_CORETYPE=ARMV8;OPENBLAS_L2_SIZE=1048576;qemu-aarch64;-L;$SYSROOT" \
            -DPython_EXECUTABLE="$PY_ARM" -DPython_NumPy_INCLUDE_DIR="$NUMPY_INCLUDE" \
            -DCMAKE_CXX_FLAGS="-isystem $SYSROOT/usr/include $flags" >"$dir.log" 2>&1 ||
        ! cmake --build "$dir" -j 2 >>"$dir.log" 2>&1; then
        tail -n 60 "$dir.log" >&2
        say "the cross build with $cxx failed (log: $dir.log)" >&2
        return 1
    fi
    say "built $(basename "$(ls "$dir"/_zarvel.*.so)"), $(grep -c -i 'warning:' "$dir.log") warnings"
    # An importable tree: the module at the top, the package with its engine.
    rm -rf "$dir/site"
    mkdir -p "$dir/site"
    cp -r "$ROOT/src/zarvel" "$dir/site/zarvel"
    cp "$dir"/_zarvel.*.so "$dir/site/"
    cp "$dir"/_engine.*.so "$dir/site/zarvel/"
    PYTHONPATH="$dir/site" emulated -c "import _zarvel, zarvel; print('aarch64: imported', _zarvel.__file__, '- neon:', zarvel.kernel_available('neon'))"
}
BUILDS=("$OUT/module" "$OUT/module-clang")
cross_build "${BUILDS[0]}" aarch64-linux-gnu-g++
cross_build "${BUILDS[1]}" clang++
# A processor without lane targets: aarch64 with Advanced SIMD switched off
# builds the scalar-only module, which must run every call on the scalar kernel.
cross_build "$OUT/module-scalar-only" aarch64-linux-gnu-g++ -march=armv8-a+nosimd
PYTHONPATH="$OUT/module-scalar-only/site" emulated -c "
import numpy as np, _zarvel, zarvel
assert [zarvel.kernel_available(k) for k in ('scalar', 'sse42', 'avx2', 'neon', 'auto')] == [True, False, False, False, True]
rng = np.random.default_rng(1)
bg, fg = rng.integers(0, 256, (3, 29, 4), np.uint8), rng.integers(0, 256, (3, 29, 3), np.uint8)
for mode in zarvel.MODES:
    want = getattr(_zarvel, mode)(bg, fg, 0.5, 'scalar')
    for kernel in ('auto', 'sse42', 'avx2', 'neon'):
        assert np.array_equal(getattr(_zarvel, mode)(bg, fg, 0.5, kernel), want), (mode, kernel)
print('aarch64: the scalar-only build runs every kernel name as the scalar kernel')
"

# The colour code's own arithmetic on aarch64: the check program (the cube root
# correctly rounded, the NEON forms equal to the scalar form) on every 997th float.
say "the cube root check under qemu-aarch64 (every 997th float)"
aarch64-linux-gnu-g++ -std=c++17 -O2 -ffp-contract=off -fno-strict-aliasing -Wall -Wextra -Werror \
    -I "$ROOT/src/kernels" "$ROOT/tests/native/cube_root_check.cpp" -o "$OUT/cube_root_check"
qemu-aarch64 -cpu "$ZARVEL_QEMU_CPU" -L "$SYSROOT" "$OUT/cube_root_check" --stride 997

[[ $MODE == prepare ]] && exit 0

# ---- the comparison, once per build ---------------------------------------------
export ZARVEL_AARCH64_SYSROOT=$SYSROOT ZARVEL_AARCH64_REQUIRED=1
failed=0
for dir in "${BUILDS[@]}"; do
    say "comparing $(basename "$dir") with this machine's module"
    set +e
    ZARVEL_AARCH64_MODULE=$dir/site "$PY" -m pytest -p no:cacheprovider -s tests/test_aarch64.py "$@"
    status=$?
    set -e
    if [[ $status -eq 5 ]]; then echo "aarch64.sh: pytest collected no tests" >&2; status=1; fi
    [[ $status -eq 0 ]] || failed=1
done
exit $failed
