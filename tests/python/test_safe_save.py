"""Saving never loses the file that was there: a save killed at any point, or one that fails,
leaves the old file byte for byte; and a save that blocks in opening holds no lock."""

import os
import random
import signal
import stat
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

import zelt_core
from conftest import built, run_python

CHILD = """
import sys, time, numpy as np, zelt_core
target, reference = sys.argv[1], sys.argv[2]
rows = np.random.default_rng(5).standard_normal((120_000, 64)).astype(np.float32)
index = zelt_core.HyperbolicIndex(64, metric="euclidean", seed=1)
for v in rows:
    index.add_item_flat(v, 3)
t = time.perf_counter()
index.save_index(reference)
print(time.perf_counter() - t, flush=True)
sys.stdin.readline()
while True:
    index.save_index(target)
"""


def child_env():
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        filter(None, [str(Path(zelt_core.__file__).resolve().parent), env.get("PYTHONPATH")]))
    return env


@pytest.mark.slow
def test_a_save_killed_at_any_point_leaves_the_old_file_or_the_new_one(tmp_path):
    old_index = built([(1, 2)], linked=False)
    target, reference = tmp_path / "index.bin", tmp_path / "reference.bin"
    rnd = random.Random(11)
    for _ in range(8):
        old_index.save_index(str(target))
        old = target.read_bytes()
        with subprocess.Popen([sys.executable, "-c", CHILD, str(target), str(reference)],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                              env=child_env()) as child:
            one_save = float(child.stdout.readline())
            child.stdin.write("go\n")
            child.stdin.flush()
            time.sleep(rnd.uniform(0.0, 1.5 * one_save))
            child.send_signal(signal.SIGKILL)
        assert target.read_bytes() in (old, reference.read_bytes())
        again = zelt_core.HyperbolicIndex(1, metric="euclidean")
        again.load_index(str(target))
    # Leftover temporary files of killed saves are all that may remain beside it.
    assert {p.name for p in tmp_path.iterdir()} - {"index.bin", "reference.bin"} <= {
        p.name for p in tmp_path.glob(".index.bin.saving-*")}


def test_a_failed_save_leaves_the_old_file_and_no_temporary_one(tmp_path):
    target = tmp_path / "index.bin"
    built([(1, 2)], linked=False).save_index(str(target))
    old = target.read_bytes()
    result = run_python(f"""
        import resource, signal, numpy as np, zelt_core
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        index = zelt_core.HyperbolicIndex(16, metric="euclidean")
        for v in np.ones((5000, 16), dtype=np.float32):
            index.add_item_flat(v)
        resource.setrlimit(resource.RLIMIT_FSIZE, (100_000, 100_000))
        try:
            index.save_index({str(target)!r})
        except RuntimeError as e:
            print(e)
    """)
    assert result.stdout.startswith(f"Cannot write file for saving: {target} ("), result.stderr
    assert target.read_bytes() == old
    assert [p.name for p in tmp_path.iterdir()] == ["index.bin"]


def test_a_save_replaces_the_file_behind_a_link_and_keeps_its_mode(tmp_path):
    real, link = tmp_path / "real.bin", tmp_path / "link.bin"
    real.write_bytes(b"old")
    real.chmod(0o640)
    link.symlink_to(real)
    built([(1, 2)], linked=False).save_index(str(link))
    assert link.is_symlink() and stat.S_IMODE(real.stat().st_mode) == 0o640
    assert real.read_bytes() == link.read_bytes() != b"old"


def test_a_save_blocked_in_opening_holds_no_lock(tmp_path):
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    index = built([(1, 2)], linked=False)
    saver = threading.Thread(target=index.save_index, args=(str(fifo),))
    saver.start()
    time.sleep(0.2)  # the saver now waits for a reader
    done = threading.Event()
    changer = threading.Thread(target=lambda: (index.add_item_flat([3, 4]),
                                               index.update_masks([1, 2]), done.set()))
    changer.start()
    assert done.wait(10), "an insertion waited for a save that had not opened its file"
    with open(fifo, "rb") as reader:
        data = reader.read()
    saver.join(10)
    changer.join(10)
    assert len(data) > 28 and len(index) == 2
