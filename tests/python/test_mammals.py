"""Trained Poincare embeddings of the WordNet mammal hierarchy: real hyperbolic data, which
crowds the boundary of the ball."""

import numpy as np
import pytest

from conftest import POINCARE_FLOOR, built, ref_distances

NEAREST_TO_DOG = [
    ("dog.n.01", POINCARE_FLOOR),
    ("canine.n.02", 3.2584238),
    ("hunting_dog.n.01", 3.9770019),
    ("carnivore.n.01", 4.2834544),
    ("placental.n.01", 4.4523339),
    ("mammal.n.01", 4.5278740),
]


@pytest.fixture(scope="module")
def mammal_index(mammals):
    names, vectors = mammals
    return names, vectors, built(vectors, "poincare", linked=False)


def test_file_contents(mammals):
    names, vectors = mammals
    assert vectors.shape == (1182, 10)
    assert len(set(names)) == 1182
    norms = np.linalg.norm(vectors.astype(np.float64), axis=1)
    assert norms[names.index("dog.n.01")] == pytest.approx(0.97757602, rel=1e-7)
    assert norms[names.index("mammal.n.01")] == pytest.approx(0.03914723, rel=1e-5)


def test_nearest_six_to_dog(mammal_index):
    names, vectors, index = mammal_index
    dog = names.index("dog.n.01")
    found = index.hardware_flat_search(vectors[dog], 6, 0)
    assert [names[i] for i in found] == [name for name, _ in NEAREST_TO_DOG]
    for node, (_, distance) in zip(found, NEAREST_TO_DOG):
        assert index.compute_distance(vectors[dog], node) == pytest.approx(distance, rel=1e-6)


def test_distances_match_the_reference(mammal_index):
    names, vectors, index = mammal_index
    for query in ("dog.n.01", "mammal.n.01", names[0], names[-1]):
        q = vectors[names.index(query)]
        got = np.array([index.compute_distance(q, i) for i in range(len(names))])
        np.testing.assert_allclose(got, ref_distances("poincare", q, vectors), rtol=2e-5)


def test_most_points_lie_beyond_the_graph_boundary(mammal_index):
    names, _, index = mammal_index
    norms = np.array([index.get_stored_norm(i) for i in range(len(names))], dtype=np.float32)
    assert np.sum(norms >= np.float32(0.995)) == 923
