"""Journal benchmark: what orvikdb.Index.open's durability costs, as ratios in this process.

1. Adding: batches of --batch rows into a plain orvikdb.Index and into a durable one
   (every batch journaled and flushed to the disk before add returns), the two taking
   turns, each from empty, --reps times; the ratio is plain time over durable time
   (the durable index's speed as a share of the plain one's).
2. Reopening: an index of --rows rows checkpointed (its snapshot), then a journal of
   --journal-share of that many rows added in batches (or deleted, or re-tagged); the
   ratio is Index.open's time (snapshot load and journal replay) over Index.load's of the
   same snapshot, taken in turns.
3. A checkpoint against Index.save of the same index.

    python bench/bench_journal.py [--rows 200000] [--dim 32] [--batch 1000] [--batches 20]
                                  [--journal-share 0.1] [--reps 3] [--dir /tmp]
"""

import argparse
import shutil
import sys
import tempfile
import time
from pathlib import Path

import benchlib

ENV_NOTE = benchlib.prepare_process(keep_openblas_env="--keep-openblas-env" in sys.argv)

import numpy as np  # noqa: E402  (after the thread pools are pinned)

import orvikdb  # noqa: E402


def parse_args():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--rows", type=int, default=200_000, help="rows of the reopened index")
    p.add_argument("--dim", type=int, default=32)
    p.add_argument("--batch", type=int, default=1000, help="rows per add call")
    p.add_argument("--batches", type=int, default=20, help="add calls per timed pass")
    p.add_argument("--journal-share", type=float, default=0.1,
                   help="the journal's rows as a share of --rows")
    p.add_argument("--reps", type=int, default=3)
    p.add_argument("--dir", default=None, help="where the directories go (a real disk)")
    p.add_argument("--seed", type=int, default=2025)
    p.add_argument("--keep-openblas-env", action="store_true")
    return p.parse_args()


def timed(call):
    t0 = time.perf_counter()
    call()
    return time.perf_counter() - t0


def adding(args, rows, scratch):
    """Plain over durable time of the same batches: two indexes grow side by side, each
    batch timed on both in turns (the machine's drift hits both alike)."""
    batches = [rows[i:i + args.batch] for i in range(0, args.batch * args.batches, args.batch)]
    totals, per_batch = [], []
    for n in range(args.reps):
        plain = orvikdb.Index(args.dim, metric="euclidean")
        with orvikdb.Index.open(scratch / f"adding-{n}", args.dim, metric="euclidean") as durable:
            t_plain = t_durable = 0.0
            for i, b in enumerate(batches):
                if i % 2:
                    a, d = timed(lambda: plain.add(b)), timed(lambda: durable.add(b))
                else:
                    d, a = timed(lambda: durable.add(b)), timed(lambda: plain.add(b))
                t_plain, t_durable = t_plain + a, t_durable + d
                per_batch.append(a / d)
        totals.append(t_plain / t_durable)
        print(f"  pass {n}: plain {t_plain:.2f} s, durable {t_durable:.2f} s, "
              f"ratio {totals[-1]:.3f}", flush=True)
    print(f"adding {args.batches} batches of {args.batch} rows: durable speed / plain speed "
          f"{benchlib.median(totals):.3f} (passes {min(totals):.3f}-{max(totals):.3f}; "
          f"median of the {len(per_batch)} batches' ratios {benchlib.median(per_batch):.3f})")


def snapshot_of(args, rows, scratch):
    """A directory whose snapshot holds the first --rows rows, with an empty journal."""
    directory = scratch / "base"
    t0 = time.perf_counter()
    with orvikdb.Index.open(directory, args.dim, metric="euclidean") as index:
        index.add(rows[:args.rows])
        index.checkpoint()
    print(f"  built and checkpointed {args.rows} rows in {time.perf_counter() - t0:.0f} s",
          flush=True)
    return directory


def reopening(args, rows, base, kind):
    """Index.open time over Index.load time of its snapshot, with a journal of `kind`."""
    directory = base.with_name(f"reopen-{kind}")
    shutil.copytree(base, directory)
    extra = rows[args.rows:]
    journal_rows = int(args.rows * args.journal_share)
    t0 = time.perf_counter()
    with orvikdb.Index.open(directory, checkpoint_bytes=1 << 40) as index:
        for at in range(0, journal_rows, args.batch):
            count = min(args.batch, journal_rows - at)
            if kind == "adds":
                index.add(extra[at:at + count])
            else:
                index.delete(np.arange(at, at + count))
    snapshot = next(directory.glob("snapshot-*.idx"))
    journal = next(directory.glob("journal-*.log")).stat().st_size
    print(f"  journaled {journal_rows} {kind} ({journal / 2**20:.1f} MiB; the snapshot "
          f"{snapshot.stat().st_size / 2**20:.0f} MiB) in {time.perf_counter() - t0:.0f} s",
          flush=True)
    ratios = []
    for n in range(args.reps):
        t_load = timed(lambda: orvikdb.Index.load(snapshot))
        t_open = timed(lambda: orvikdb.Index.open(directory).close())
        ratios.append(t_open / t_load)
        print(f"  pass {n}: load {t_load:.2f} s, open {t_open:.2f} s, ratio {ratios[-1]:.2f}",
              flush=True)
    print(f"reopening {args.rows} rows with a journal of {journal_rows} {kind}: open / load "
          f"median {benchlib.median(ratios):.2f} (range {min(ratios):.2f}-{max(ratios):.2f})")


def checkpointing(args, base, scratch):
    with orvikdb.Index.open(base) as index:
        ratios = []
        for n in range(args.reps):
            t_save = timed(lambda: index.save(scratch / "plain.idx"))
            t_checkpoint = timed(index.checkpoint)
            ratios.append(t_checkpoint / t_save)
        print(f"checkpoint / save of {len(index)} rows: median {benchlib.median(ratios):.2f} "
              f"(range {min(ratios):.2f}-{max(ratios):.2f})")


def main():
    args = parse_args()
    if ENV_NOTE:
        print(ENV_NOTE)
    rng = np.random.default_rng(args.seed)
    extra = max(args.batch * args.batches, int(args.rows * args.journal_share))
    rows = rng.standard_normal((args.rows + extra, args.dim)).astype(np.float32)
    scratch = Path(tempfile.mkdtemp(prefix="bench-journal-", dir=args.dir))
    try:
        adding(args, rows, scratch)
        base = snapshot_of(args, rows, scratch)
        for kind in ("deletes", "adds"):
            reopening(args, rows, base, kind)
        checkpointing(args, base, scratch)
    finally:
        shutil.rmtree(scratch)


if __name__ == "__main__":
    main()
