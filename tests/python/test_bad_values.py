"""Values that used to poison every answer: NaN and infinite components are refused wherever a
vector enters, and a stored norm is the norm of the stored copy."""

import threading

import numpy as np
import pytest

import zelt_core
from conftest import METRICS, built, parse_index_file, random_vectors

BAD = [(float("nan"), "nan"), (float("inf"), "inf"), (float("-inf"), "-inf")]


@pytest.mark.parametrize("value, shown", BAD)
@pytest.mark.parametrize("metric", METRICS)
def test_non_finite_vectors_are_refused_before_anything_is_stored(metric, value, shown, rng):
    index = built(random_vectors(rng, 50, 4, metric), metric, linked=True)
    stats, saved = index.get_stats(), index.hardware_flat_search(np.zeros(4, np.float32), 50, 0)
    bad = np.array([0.1, 0.2, value, 0.1], dtype=np.float32)
    message = f"^Vector holds a non-finite value at position 2 \\({shown}\\)$"
    for call in (lambda: index.add_item_flat(bad), lambda: index.add_item_and_link(bad),
                 lambda: index.custom_hnsw_search(bad, 5), lambda: index.filtered_search(bad, 5),
                 lambda: index.hardware_flat_search(bad, 5, 0),
                 lambda: index.compute_distance(bad, 0)):
        with pytest.raises(ValueError, match=message):
            call()
    assert index.get_stats() == stats
    assert index.hardware_flat_search(np.zeros(4, np.float32), 50, 0) == saved


def test_the_stored_norm_is_that_of_the_stored_copy(tmp_path):
    # Another thread rewrites the caller's array during every insertion; each
    # node's stored norm must still match its stored vector.
    index = zelt_core.HyperbolicIndex(4096, metric="cosine")
    v = np.ones(4096, dtype=np.float32)
    stop = threading.Event()

    def scribble():
        while not stop.is_set():
            v[:] = 3.0
            v[:] = 1.0

    writer = threading.Thread(target=scribble)
    writer.start()
    try:
        for _ in range(60):
            index.add_item_flat(v)
    finally:
        stop.set()
        writer.join()
    path = tmp_path / "scribbled.bin"
    index.save_index(str(path))
    stored = parse_index_file(path.read_bytes())
    # Squares of 1 and 3 add up exactly in any order.
    expected = (stored["vectors"].astype(np.float64) ** 2).sum(axis=1)
    assert stored["norms"].tolist() == expected.tolist()
