#!/usr/bin/env bash
# Fuzzes the index file reader with libFuzzer for the given number of seconds
# (default 60), starting from the seed corpus in tests/fuzz/corpus. Exits
# non-zero when the fuzzer finds a crash; the reproducer is left in
# build/fuzz/artifacts/.
#
#   bash scripts/fuzz.sh [seconds]
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

SECONDS_TO_RUN="${1:-60}"
BUILD="$ROOT/build/fuzz"

ensure_debian_packages clang libclang-rt-14-dev
CMAKE=cmake
[ -x "$VENV/bin/cmake" ] && CMAKE="$VENV/bin/cmake"
GENERATOR=()
if [ -x "$VENV/bin/ninja" ] || command -v ninja >/dev/null 2>&1; then
  GENERATOR=(-G Ninja)
  [ -x "$VENV/bin/ninja" ] && GENERATOR+=(-DCMAKE_MAKE_PROGRAM="$VENV/bin/ninja")
fi

"$CMAKE" -S "$ROOT" -B "$BUILD" "${GENERATOR[@]}" \
  -DCMAKE_CXX_COMPILER=clang++ -DZELT_FUZZ=ON -DBUILD_PYTHON=OFF -DBUILD_TESTING=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
"$CMAKE" --build "$BUILD" --target fuzz_index_file --parallel 2

# The fuzzer adds what it finds to its corpus; keep the checked-in seeds as they are.
CORPUS="$BUILD/corpus"
ARTIFACTS="$BUILD/artifacts"
mkdir -p "$CORPUS" "$ARTIFACTS"
cp "$ROOT"/tests/fuzz/corpus/* "$CORPUS"/

export ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
"$BUILD/fuzz_index_file" "$CORPUS" \
  -max_total_time="$SECONDS_TO_RUN" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
  -artifact_prefix="$ARTIFACTS/" -print_final_stats=1
