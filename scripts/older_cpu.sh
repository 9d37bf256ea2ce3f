#!/usr/bin/env bash
# Proves that the module runs on a processor without AVX2 and FMA: the core's
# objects are checked for wide instructions outside the AVX2 kernel file, then
# a short end-to-end script runs natively and under qemu's Ivy Bridge (AVX,
# no AVX2, no FMA), and the two must answer alike, bit for bit.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

ensure_debian_packages qemu-user binutils
ensure_venv
install_module

BUILD="$ROOT/build/isa"
cmake_build "$BUILD" Release -DBUILD_TESTING=OFF -DBUILD_PYTHON=OFF
"$PY" "$ROOT/tests/older_cpu/check_isa.py" "$BUILD"

OUT="$(mktemp -d)"
trap 'rm -rf "$OUT"' EXIT
cd "$ROOT"
"$PY" tests/older_cpu/end_to_end.py "$OUT/native.json"
qemu-x86_64 -cpu IvyBridge "$PY" tests/older_cpu/end_to_end.py "$OUT/ivybridge.json" 2> >(grep -v "TCG doesn't support" >&2)
if cmp -s "$OUT/native.json" "$OUT/ivybridge.json"; then
  echo "older_cpu.sh: the emulated Ivy Bridge gives the native answers"
else
  echo "older_cpu.sh: the emulated Ivy Bridge answers differently" >&2
  exit 1
fi
