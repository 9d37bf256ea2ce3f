#!/usr/bin/env bash
# Builds the core and its C++ tests with ThreadSanitizer in build/tsan and runs
# them, the concurrency stress (every kind of call overlapping on one index)
# for ZELT_STRESS_SECONDS seconds (default 30). Any race report fails the run.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

ensure_debian_packages libgtest-dev
ensure_venv

BUILD="$ROOT/build/tsan"
cmake_build "$BUILD" RelWithDebInfo -DZELT_SANITIZE_THREAD=ON \
  -DBUILD_TESTING=ON -DBUILD_PYTHON=OFF

export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
export ZELT_STRESS_SECONDS="${ZELT_STRESS_SECONDS:-30}"
cd "$BUILD"
"$VENV/bin/ctest" --output-on-failure --no-tests=error --timeout 600 "$@"
