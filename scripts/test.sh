#!/usr/bin/env bash
# Runs every test: the C++ unit tests of the core (CTest) and the tests of the
# Python module (pytest), from a fresh machine on.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

ensure_debian_packages libgtest-dev
ensure_venv
install_module

BUILD="$ROOT/build/cpp-tests"
cmake_build "$BUILD" Release -DBUILD_TESTING=ON -DBUILD_PYTHON=OFF
(cd "$BUILD" && "$VENV/bin/ctest" --output-on-failure)

cd "$ROOT"
# The types: orvikdb and a usage file under mypy --strict (zelt_core's types
# come from the installed stub package), and the stub's names against the
# module's.
"$PY" -m mypy --strict --cache-dir "$ROOT/build/mypy-cache" src/orvikdb tests/typing/usage.py
"$PY" -m mypy.stubtest zelt_core --allowlist tests/typing/stubtest-allowlist.txt \
  --mypy-config-file pyproject.toml
"$PY" -m pytest "$@"
# Once more through the portable kernels, which every processor can run and
# which must give the same bits as the AVX2 ones.
(cd "$BUILD" && ZELT_CORE_KERNELS=portable "$VENV/bin/ctest" --output-on-failure >/dev/null &&
  echo "C++ tests passed with ZELT_CORE_KERNELS=portable")
ZELT_CORE_KERNELS=portable "$PY" -m pytest -q -p no:cacheprovider "$@"
