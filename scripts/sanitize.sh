#!/usr/bin/env bash
# Builds the core and its C++ unit tests with AddressSanitizer and
# UndefinedBehaviorSanitizer in build/sanitize and runs them with CTest, then
# runs the Python tests against a module built the same way. Any sanitizer
# report aborts the test that triggered it, and the script exits non-zero on a
# failed configure, build or test. Extra arguments go to CTest (for instance
# -j2 or -R Kernel).
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

ensure_debian_packages libgtest-dev
ensure_venv

BUILD="$ROOT/build/sanitize"
cmake_build "$BUILD" RelWithDebInfo -DZELT_SANITIZE=ON -DBUILD_TESTING=ON -DBUILD_PYTHON=OFF

# A build that silently lost its instrumentation would pass everything below.
TESTS="$BUILD/tests/cpp/zelt_index_tests"
SYMBOLS="$(nm "$TESTS")"
for runtime in __asan_init __ubsan_handle_; do
  if ! grep -q "$runtime" <<<"$SYMBOLS"; then
    echo "sanitize.sh: $TESTS is not instrumented ($runtime missing)" >&2
    exit 1
  fi
done

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
cd "$BUILD"
"$VENV/bin/ctest" --output-on-failure --no-tests=error "$@"

# The Python tests against a module built with the same sanitizers (and the
# orvikdb package from the source tree above it). The interpreter itself is
# not instrumented, so the runtimes are preloaded, and leak checking is off:
# CPython keeps memory alive until exit by design. The sharded index's tests
# are left out: they run Ray's own processes, which inherit the preload and
# are not ours to check.
PYBUILD="$ROOT/build/sanitize-python"
cmake_build "$PYBUILD" RelWithDebInfo \
  -DZELT_SANITIZE=ON -DBUILD_PYTHON=ON -DBUILD_TESTING=OFF \
  -DPython_EXECUTABLE="$PY" -Dpybind11_DIR="$("$PY" -m pybind11 --cmakedir)"
cd "$ROOT"
LD_PRELOAD="$(c++ -print-file-name=libasan.so) $(c++ -print-file-name=libubsan.so)" \
  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  PYTHONPATH="$PYBUILD:$ROOT/src" "$PY" -m pytest -q -p no:cacheprovider \
  --ignore=tests/python/test_distributed.py
