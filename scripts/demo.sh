#!/usr/bin/env bash
# The main job: builds the module into the project's environment and runs the
# demo on its built-in default data.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

ensure_venv
install_module
cd "$ROOT"
"$PY" demo/demo.py "$@"
