#!/usr/bin/env bash
# Measures: installs the module from this checkout and the two peer libraries
# into the project's environment, then runs the flat and the graph benchmark.
# Extra arguments go to both scripts, so use only the options they share: --n,
# --dim, --queries, --reps, --seed (for example: bash bench/run.sh --queries 50).
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/env.sh"

ensure_venv
install_module
"$PY" -m pip install -q faiss-cpu hnswlib

cd "$ROOT"
echo "== bench/bench_flat.py =="
"$PY" bench/bench_flat.py --all-metrics "$@"
echo
echo "== bench/bench_graph.py =="
"$PY" bench/bench_graph.py "$@"
