"""The colour code's own cube root and 5/12 power split, through the native check
program (tests/native/cube_root_check.cpp) on a sample of the floats, and the
NumPy model's correctly rounded cube root against exact arithmetic.

The program checks its own test of correct rounding first, then the scalar root
against that exact integer test, every lane form of this processor against the scalar form, signs and
special values, and the lane power split against the per-lane one it replaced.
Here it runs on every 9973rd float; .ci/run runs it on every float.
"""

import os
import shutil
import subprocess
from fractions import Fraction
from pathlib import Path

import numpy as np
import pytest

import colour_reference as C

ROOT = Path(__file__).resolve().parent.parent
SOURCE = ROOT / "tests" / "native" / "cube_root_check.cpp"
F = np.float32


def compiler():
    for name in (os.environ.get("CXX"), "c++", "g++", "clang++"):
        if name and shutil.which(name):
            return shutil.which(name)
    return None


def clean_environment():
    """No sanitizer runtime preloaded into the compiler or the program."""
    return {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}


@pytest.fixture(scope="module")
def check_program(tmp_path_factory):
    cxx = compiler()
    if cxx is None:
        pytest.skip("no C++ compiler")
    if not (ROOT / "src" / "kernels").is_dir():
        pytest.skip("the kernels' sources live in the source tree")
    exe = tmp_path_factory.mktemp("cube_root") / "cube_root_check"
    build = subprocess.run(
        [
            cxx,
            "-std=c++17",
            "-O2",
            "-ffp-contract=off",
            "-fno-strict-aliasing",
            "-I",
            str(ROOT / "src" / "kernels"),
            str(SOURCE),
            "-o",
            str(exe),
        ],
        capture_output=True,
        text=True,
        env=clean_environment(),
        timeout=600,
    )
    assert build.returncode == 0, build.stderr[-3000:]
    return exe


def test_sampled_floats(check_program):
    run = subprocess.run(
        [str(check_program), "--stride", "9973"], capture_output=True, text=True, env=clean_environment(), timeout=600
    )
    assert run.returncode == 0, run.stdout[-3000:] + run.stderr[-2000:]
    assert "cube_root_check: all passed" in run.stdout
    print("\n" + run.stdout)


def test_bad_arguments_are_refused(check_program):
    """A mistyped option fails rather than running a different check."""
    run = subprocess.run(
        [str(check_program), "--bogus"], capture_output=True, text=True, env=clean_environment(), timeout=60
    )
    assert run.returncode == 2


def exact_rounding_ok(x, y):
    """y (a float32) is the correctly rounded cube root of x > 0: x lies strictly between
    the cubes of the midpoints to y's neighbours."""
    up = (Fraction(float(y)) + Fraction(float(np.nextafter(y, F(np.inf))))) / 2
    down = (Fraction(float(y)) + Fraction(float(np.nextafter(y, F(0))))) / 2
    return down**3 < Fraction(float(x)) < up**3


@pytest.mark.parametrize("low,high", [(0.008856452, 4.0), (1e-38, 1e-30), (1e30, 3e38)])
def test_model_root_is_correctly_rounded(low, high):
    rng = np.random.default_rng(int(np.log2(low) + 200))
    x = np.exp(rng.uniform(np.log(low), np.log(high), 3000)).astype(F)
    y = C.cbrt_rounded(x)
    assert y.dtype == F
    bad = [(a, b) for a, b in zip(x, y) if not exact_rounding_ok(a, b)]
    assert not bad, bad[:5]


def test_model_root_edges():
    x = np.array([8, 27, 0.125, 1, -8, 0.0, -0.0, np.inf, -np.inf, np.nan, 1e-45], F)
    y = C.cbrt_rounded(x)
    assert list(y[:6]) == [2, 3, 0.5, 1, -2, 0]
    assert np.signbit(y[6]) and y[6] == 0 and y[7] == np.inf and y[8] == -np.inf and np.isnan(y[9])
    assert exact_rounding_ok(x[10], y[10])
    assert C.cbrt_rounded(F(27)) == 3 and np.ndim(C.cbrt_rounded(F(2))) == 0
