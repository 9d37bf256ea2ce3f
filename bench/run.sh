#!/usr/bin/env bash
# Measures: installs the module from this checkout and the peer libraries into the project's
# environment, then runs the flat, the graph and the recall-sweep benchmark.
#   bash bench/run.sh [OPTIONS]        all three; OPTIONS go to the flat and the graph script, so
#                                      use only the ones they share: --n, --dim, --queries, --reps,
#                                      --seed (for example: bash bench/run.sh --queries 50); the
#                                      sweep runs at its defaults
#   bash bench/run.sh sweep [OPTIONS]  the sweep alone, OPTIONS its own (for example: --quick)
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/env.sh"

ensure_venv
install_module
"$PY" -m pip install -q faiss-cpu hnswlib usearch matplotlib

cd "$ROOT"
if [ "${1:-}" = "sweep" ]; then
  shift
  exec "$PY" bench/bench_sweep.py "$@"
fi
echo "== bench/bench_flat.py =="
"$PY" bench/bench_flat.py --all-metrics "$@"
echo
echo "== bench/bench_graph.py =="
"$PY" bench/bench_graph.py "$@"
echo
echo "== bench/bench_sweep.py =="
"$PY" bench/bench_sweep.py
