# Sourced by the other scripts: finds Python 3.12, makes the project's virtual
# environment in .venv and installs the build and test requirements into it.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="$ROOT/.venv"

find_python312() {
  local candidate
  for candidate in python3.12 "$HOME"/.pyenv/versions/3.12*/bin/python3.12 /usr/local/bin/python3.12 /usr/bin/python3.12; do
    if command -v "$candidate" >/dev/null 2>&1 && "$candidate" -c 'import sys; assert sys.version_info[:2] == (3, 12)' 2>/dev/null; then
      command -v "$candidate"
      return 0
    fi
  done
  echo "Python 3.12 was not found (tried python3.12 and pyenv's versions)" >&2
  return 1
}

# Debian packages the C++ side needs; installed only when missing.
ensure_debian_packages() {
  local missing=()
  local pkg
  for pkg in "$@"; do
    dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
  fi
}

ensure_venv() {
  if [ ! -x "$VENV/bin/python" ]; then
    "$(find_python312)" -m venv "$VENV"
  fi
  "$VENV/bin/python" -m pip install -q --upgrade pip >/dev/null
  # Ray is the distributed extra's, for orvikdb.distributed and its tests.
  "$VENV/bin/python" -m pip install -q "pybind11>=3,<4" "scikit-build-core>=0.10" numpy pytest cmake ninja \
    tqdm mypy types-tqdm "ray>=2.9"
}

# Configures the project into the build directory $1 with the build type $2
# and the cache settings that follow, then builds it.
cmake_build() {
  local dir="$1" type="$2"
  shift 2
  "$VENV/bin/cmake" -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="$type" "$@" >/dev/null
  "$VENV/bin/cmake" --build "$dir" --parallel 2
}

# Builds and installs the distribution orvikdb (the package and its engine
# zelt_core) from this checkout into the environment. It was once named
# zelt_core, and a copy under the old name would claim the same files.
install_module() {
  if "$VENV/bin/python" -m pip show zelt_core >/dev/null 2>&1; then
    "$VENV/bin/python" -m pip uninstall -q -y zelt_core
  fi
  "$VENV/bin/python" -m pip install -q --no-build-isolation "$ROOT"
}

PY="$VENV/bin/python"
