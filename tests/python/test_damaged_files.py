"""Damaged index files never break the loader.

Every damaged file is either refused with RuntimeError "Cannot load index file: <name>: ...",
after which the index is exactly as it was, or loaded into an index on which every operation
works. The loads run in child processes, so that a crash (a signal, an exit without a Python
exception) fails the case that caused it instead of ending the test run; many cases share one
child, which logs each case before running it.
"""

import json
import os
import random
import struct
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import zelt_core

METRICS = ["poincare", "euclidean", "cosine"]
TOP_BIT = 1 << 63
HEADER = struct.Struct("<ifiiiQ")
INT32_MIN = -(1 << 31)
INT32_MAX = (1 << 31) - 1
CHILD_TIMEOUT = 120

# The child: loads each case's bytes into one index and checks the outcome. It logs to the
# progress file a line "start <name>" before each case and a line "done <result as JSON>"
# after it, so that the parent knows which case a crash happened in and what came before.
DRIVER = textwrap.dedent(
    r'''
    import json
    import resource
    import sys
    import traceback

    import numpy as np

    import zelt_core

    TOP_BIT = 1 << 63
    job = json.load(open(sys.argv[1]))
    metric, good_path, scratch = job["metric"], job["good"], job["scratch"]
    saved = scratch + ".saved"
    with open(good_path, "rb") as f:
        good = f.read()
    query = np.array(job["query"], dtype=np.float32)
    # A file of some kilobytes needs no more than a few times its size; anything that tries
    # to allocate much more fails with MemoryError instead of taking the machine's memory.
    with open("/proc/self/status") as f:
        vm_kb = int(next(line for line in f if line.startswith("VmSize:")).split()[1])
    limit = vm_kb * 1024 + (512 << 20)
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))


    def read(path):
        with open(path, "rb") as f:
            return f.read()


    def loaded_from(path):
        index = zelt_core.HyperbolicIndex(1, 1.0, 16, metric)
        index.load_index(path)
        return index


    def fingerprint(index):
        index.save_index(saved)
        return (
            index.get_stats(),
            index.custom_hnsw_search(query, 5),
            index.filtered_search(query, 5, TOP_BIT),
            index.hardware_flat_search(query, 5, 0),
            read(saved),
        )


    def damaged(case):
        if case["kind"] == "cut":
            return good[: case["at"]]
        if case["kind"] == "edit":
            data = bytearray(good)
            for offset, value in case["edits"]:
                data[offset] = value
            return bytes(data)
        return bytes.fromhex(case["hex"])


    def probe(dimension, phase):
        scale = 0.5 / max(dimension, 1) ** 0.5
        return (scale * np.sin(phase + 0.7 * np.arange(dimension))).astype(np.float32)


    def check_ids(ids, n, most):
        assert isinstance(ids, list) and len(ids) <= most, ids
        assert all(isinstance(i, int) and 0 <= i < n for i in ids), (ids, n)
        assert len(set(ids)) == len(ids), ids


    def run_queries(index, n, dimension):
        q = probe(dimension, 0.3)
        check_ids(index.hardware_flat_search(q, 5, 0), n, 5)
        check_ids(index.hardware_flat_search(q, 5, TOP_BIT, 0.5, 0.1), n, 5)
        check_ids(index.custom_hnsw_search(q, 5), n, 5)
        check_ids(index.custom_hnsw_search(q, 5, TOP_BIT, 4), n, 5)
        check_ids(index.filtered_search(q, 5), n, 5)
        check_ids(index.filtered_search(q, 5, TOP_BIT, 16), n, 5)


    def exercise(index, data, notes):
        """Everything an index loaded from `data` must do."""
        index.save_index(saved)
        assert read(saved) == data, "the loaded index saves a different file"
        stats = index.get_stats()
        n, dimension = stats["num_nodes"], stats["dimension"]
        assert sum(stats["layer_distribution"]) <= n
        if dimension > 1 << 16:
            # Only a file without nodes can claim such a dimension; a probe vector of it
            # would be all the work.
            assert n == 0
            return
        run_queries(index, n, dimension)
        try:
            index.add_item_and_link(probe(dimension, 1.1), TOP_BIT | 1, 16)
        except (ValueError, MemoryError) as e:
            # Neighbour selection reserves max_m_0 (or max_m) ids before it chooses any:
            # a length error when 2*M wraps negative, gigabytes for an M near 2**30.
            if stats["max_m"] <= 1 << 20:
                raise
            notes.append(f"linked insertion with M = {stats['max_m']}: {type(e).__name__}")
        index.add_item_flat(probe(dimension, 2.9), 2)
        after = index.get_stats()
        assert after["num_nodes"] == n + 2, after
        run_queries(index, n + 2, dimension)
        assert n + 1 in index.hardware_flat_search(probe(dimension, 2.9), n + 2, 2)
        index.save_index(saved)
        assert loaded_from(saved).get_stats() == after


    index = loaded_from(good_path)
    reference = fingerprint(index)
    progress = open(job["progress"], "a", buffering=1)
    for case in job["cases"]:
        progress.write("start " + case["name"] + "\n")
        progress.flush()
        data = damaged(case)
        with open(scratch, "wb") as f:
            f.write(data)
        result = {"name": case["name"], "outcome": None, "message": "", "error": "", "notes": []}
        try:
            index.load_index(scratch)
        except RuntimeError as e:
            result["outcome"] = "refused"
            result["message"] = str(e)
            if not str(e).startswith(f"Cannot load index file: {scratch}: "):
                result["error"] = f"refused with a message that does not name the file: {e}"
            elif fingerprint(index) != reference:
                result["error"] = "the refused load changed the index"
        except BaseException as e:
            result["outcome"] = "raised"
            result["error"] = f"load raised {type(e).__name__}: {e}"
        else:
            result["outcome"] = "loaded"
            try:
                exercise(index, data, result["notes"])
            except BaseException:
                result["error"] = "loaded, then failed:\n" + traceback.format_exc()
        if result["outcome"] != "refused" or result["error"]:
            index = loaded_from(good_path)
        progress.write("done " + json.dumps(result) + "\n")
        progress.flush()
    '''
)


def module_path():
    """sys.path for the child, with the directory of the zelt_core under test first."""
    return os.pathsep.join([os.path.dirname(zelt_core.__file__)] + [p for p in sys.path if p])


def run_cases(workdir, metric, good_path, cases, query):
    """Runs the cases in child processes; returns {name: result}.

    A child that dies marks the case it was running as an error (with its exit status and the
    end of its stderr) and a new child goes on with the cases after it.
    """
    workdir.mkdir(parents=True, exist_ok=True)
    driver = workdir / "driver.py"
    driver.write_text(DRIVER)
    env = dict(os.environ, PYTHONPATH=module_path())
    results = {}
    remaining = list(cases)
    attempt = 0
    while remaining:
        attempt += 1
        job = workdir / f"job{attempt}.json"
        progress = workdir / f"progress{attempt}.txt"
        job.write_text(json.dumps({
            "metric": metric,
            "good": str(good_path),
            "scratch": str(workdir / "damaged.idx"),
            "progress": str(progress),
            "query": [float(x) for x in query],
            "cases": remaining,
        }))
        try:
            child = subprocess.run([sys.executable, "-X", "faulthandler", str(driver), str(job)],
                                   env=env, capture_output=True, text=True, timeout=CHILD_TIMEOUT)
            status, stderr = f"exit status {child.returncode}", child.stderr
        except subprocess.TimeoutExpired as e:
            child, status = None, f"no answer within {CHILD_TIMEOUT} s"
            stderr = e.stderr.decode(errors="replace") if isinstance(e.stderr, bytes) else ""
        started = None
        for line in progress.read_text().splitlines() if progress.exists() else []:
            kind, _, rest = line.partition(" ")
            if kind == "start":
                started = rest
            else:
                result = json.loads(rest)
                results[result["name"]] = result
                started = None
        if started is None and child is not None and child.returncode == 0:
            break
        if started is None:
            pytest.fail(f"the child failed outside any case ({status}):\n{stderr[-3000:]}")
        results[started] = {"name": started, "outcome": "crashed", "message": "", "notes": [],
                            "error": f"the child died in this case ({status}):\n{stderr[-3000:]}"}
        remaining = [c for c in remaining if c["name"] not in results]
    missing = [c["name"] for c in cases if c["name"] not in results]
    assert not missing, f"cases without a result: {missing[:10]}"
    return results


def failures(results, good=None):
    """The failed cases, for an assertion message; with the undamaged file when given, since
    the index it holds is built anew, with other levels, on every run."""
    bad = [f"{r['name']}: {r['error']}" for r in results.values() if r["error"]]
    if not bad:
        return ""
    text = "\n".join(bad[:20]) + (f"\n... and {len(bad) - 20} more" if len(bad) > 20 else "")
    return text + (f"\nundamaged file (hex): {good.read_bytes().hex()}" if good else "")


# --- The file layout, written out by hand -------------------------------------------------


def encode(dimension, curvature, m, ep_id, ep_layer, nodes, count=None, tail=b""):
    """An index file. Each node is (vector, norm, mask, level, lists); a list is a sequence of
    ids, or bytes to be written as they are (for counts that do not match their ids)."""
    out = [HEADER.pack(dimension, curvature, m, ep_id, ep_layer,
                       len(nodes) if count is None else count)]
    for vector, norm, _, _, _ in nodes:
        out.append(struct.pack(f"<{len(vector)}ff", *vector, norm))
    for _, _, mask, _, _ in nodes:
        out.append(struct.pack("<Q", mask))
    for _, _, _, level, lists in nodes:
        out.append(struct.pack("<i", level))
        for ids in lists:
            if isinstance(ids, bytes):
                out.append(ids)
            else:
                out.append(struct.pack(f"<Q{len(ids)}i", len(ids), *ids))
    out.append(tail)
    return b"".join(out)


def field_offsets(data):
    """Offsets of the level, link count and id fields of a saved file."""
    dimension, _, _, _, _, n = HEADER.unpack_from(data)
    pos = HEADER.size + n * (4 * dimension + 4) + 8 * n
    fields = {"levels": [], "counts": [], "ids": []}
    for _ in range(n):
        fields["levels"].append(pos)
        (level,) = struct.unpack_from("<i", data, pos)
        pos += 4
        for _ in range(level + 1):
            fields["counts"].append(pos)
            (size,) = struct.unpack_from("<Q", data, pos)
            fields["ids"].extend(range(pos + 8, pos + 8 + 4 * size, 4))
            pos += 8 + 4 * size
    assert pos == len(data), "the saved file does not have the layout this test assumes"
    return fields


def node(vector, level, lists, mask=0, norm=None):
    vector = [float(x) for x in vector]
    return (vector, sum(x * x for x in vector) if norm is None else norm, mask, level, lists)


def base_nodes(links1=(0, 2), level4=0, lists4=((),), lists0=((1, 2), (3,))):
    """Five nodes of dimension 3: 0 and 3 on layers 0 and 1, 1 and 2 on layer 0, 4 flat."""
    return [
        node((0.1, 0.0, 0.0), 1, list(lists0), mask=TOP_BIT | 1),
        node((0.0, 0.2, 0.0), 0, [list(links1)], mask=2),
        node((0.0, 0.0, 0.3), 0, [[0, 1]], mask=TOP_BIT),
        node((-0.2, 0.1, 0.0), 1, [[0], [0]], mask=3),
        node((0.1, 0.1, 0.1), level4, list(lists4), mask=TOP_BIT | 4),
    ]


def base(**header):
    fields = dict(dimension=3, curvature=1.0, m=2, ep_id=0, ep_layer=1, nodes=base_nodes())
    fields.update(header)
    return encode(**fields)


GOOD = base()
VECTORS_END = HEADER.size + 5 * 16

# One file per fault the loader must refuse.
REFUSED = {
    "empty_file": b"",
    "cut_inside_header": GOOD[:27],
    "cut_inside_vectors": GOOD[: HEADER.size + 22],
    "cut_inside_masks": GOOD[: VECTORS_END + 12],
    "cut_inside_link_list": GOOD[:-2],
    "count_in_a_bare_header": HEADER.pack(3, 1.0, 16, -1, -1, 1 << 40),
    "count_all_ones_in_a_bare_header": HEADER.pack(3, 1.0, 16, -1, -1, (1 << 64) - 1),
    "count_of_huge_vectors": HEADER.pack(INT32_MAX, 1.0, 16, -1, -1, 1) + bytes(64),
    "count_one_more_than_the_nodes": base(count=6),
    "count_one_less_than_the_nodes": base(count=4),
    "negative_dimension": HEADER.pack(-1, 1.0, 16, -1, -1, 0),
    "dimension_int32_min": HEADER.pack(INT32_MIN, 1.0, 16, -1, -1, 0),
    "max_m_one": base(m=1),
    "max_m_negative": base(m=-2),
    "max_m_int32_min": base(m=INT32_MIN),
    "level_minus_two": encode(3, 1.0, 2, 0, 1, base_nodes(level4=-2, lists4=())),
    "level_int32_min": encode(3, 1.0, 2, 0, 1, base_nodes(level4=INT32_MIN, lists4=())),
    "more_layers_than_the_file_holds": encode(3, 1.0, 2, 0, 1, base_nodes(level4=1000)),
    "level_int32_max": encode(3, 1.0, 2, 0, 1, base_nodes(level4=INT32_MAX)),
    "link_count_beyond_the_file": encode(
        3, 1.0, 2, 0, 1, base_nodes(lists4=(struct.pack("<Qi", 1 << 62, 0),))),
    "link_count_one_more_than_the_ids": encode(
        3, 1.0, 2, 0, 1, base_nodes(lists4=(struct.pack("<Qii", 3, 0, 1),))),
    "link_to_id_n": encode(3, 1.0, 2, 0, 1, base_nodes(links1=(0, 5))),
    "link_to_id_minus_one": encode(3, 1.0, 2, 0, 1, base_nodes(links1=(-1, 2))),
    "link_to_id_int32_min": encode(3, 1.0, 2, 0, 1, base_nodes(links1=(INT32_MIN,))),
    "upper_link_outside_the_nodes": encode(3, 1.0, 2, 0, 1, base_nodes(lists0=((1, 2), (7,)))),
    "entry_point_n": base(ep_id=5, ep_layer=0),
    "entry_point_minus_two": base(ep_id=-2, ep_layer=-1),
    "entry_point_int32_max": base(ep_id=INT32_MAX, ep_layer=0),
    "entry_point_in_an_empty_index": HEADER.pack(3, 1.0, 16, 0, 0, 0),
    "no_entry_point_but_layer_0": base(ep_id=-1, ep_layer=0),
    "no_entry_point_but_layer_1": base(ep_id=-1, ep_layer=1),
    "entry_layer_above_its_level": base(ep_layer=2),
    "entry_layer_below_its_level": base(ep_layer=0),
    "entry_layer_minus_one_for_a_linked_node": base(ep_id=1, ep_layer=-1),
    "upper_link_to_a_lower_level": encode(3, 1.0, 2, 0, 1, base_nodes(lists0=((1, 2), (1,)))),
    "layer0_link_to_a_node_without_layers": encode(
        3, 1.0, 2, 0, 1, base_nodes(links1=(0, 4), level4=-1, lists4=())),
    # Levels the level draw cannot give: every query would cross empty layers.
    "level_above_the_draw_for_m_0": base(m=0),
    "level_above_the_draw_for_m_2": encode(3, 1.0, 2, 0, 1,
                                           base_nodes(level4=34, lists4=((),) * 35)),
    "nan_component": encode(3, 1.0, 2, 0, 1, base_nodes()[:4] + [
        node((0.1, float("nan"), 0.1), 0, [[]])]),
    "infinite_component": encode(3, 1.0, 2, 0, 1, base_nodes()[:4] + [
        node((0.1, 0.1, float("-inf")), 0, [[]])]),
    "one_trailing_byte": GOOD + b"\0",
    "trailing_level": GOOD + struct.pack("<i", -1),
    "trailing_node_record": GOOD + struct.pack("<iQ", 0, 0),
}

# Files at the edges of what is sound; the loader takes them and they must work.
ACCEPTED = {
    "five_nodes": GOOD,
    "max_m_0": encode(3, 1.0, 0, 0, 0, [node((0.1, 0.0, 0.0), 0, [[1]]),
                                          node((0.0, 0.2, 0.0), 0, [[0]])]),
    "max_m_3": base(m=3),
    "highest_level_of_m_2": encode(3, 1.0, 2, 0, 1, base_nodes(level4=33, lists4=((),) * 34)),
    "empty_index": HEADER.pack(7, 0.5, 16, -1, -1, 0),
    "empty_index_of_the_largest_dimension": HEADER.pack(INT32_MAX, 1.0, 16, -1, -1, 0),
    "dimension_0": encode(0, 1.0, 2, 0, 1, [
        node((), 1, [[1], [2]]), node((), 0, [[0]]), node((), 1, [[], [0]]),
    ]),
    "flat_nodes_only": encode(3, 1.0, 4, -1, -1, [
        node((0.1, 0.2, 0.3), 0, [[]], mask=TOP_BIT), node((0.3, 0.2, 0.1), 0, [[]]),
    ]),
    "a_node_without_layers": encode(3, 1.0, 2, 0, 1, base_nodes(level4=-1, lists4=())),
    "entry_point_without_layers": encode(3, 1.0, 2, 0, -1, [node((0.1, 0.1, 0.1), -1, [])]),
    "self_and_repeated_links": encode(3, 1.0, 2, 0, 1, base_nodes(links1=(1, 0, 0, 2, 1))),
    "list_longer_than_its_cap": encode(
        3, 1.0, 2, 0, 1, base_nodes(links1=(0, 2, 3, 4, 0, 2, 3, 4, 0, 2, 3))),
    "links_to_later_nodes_above_layer_0": encode(
        3, 1.0, 2, 0, 2, [node((0.1, 0, 0), 2, [[1], [1], []]), node((0, 0.1, 0), 1, [[0], [0]])]),
    "nan_and_absent_norms": encode(3, 1.0, 2, 0, 1, [
        *base_nodes()[:2],
        node((0.0, 0.0, 0.3), 0, [[0, 1]], norm=float("nan")),
        node((-0.2, 0.1, 0.0), 1, [[0], [0]], norm=-1.0),
        node((0.1, 0.1, 0.1), 0, [[]], mask=TOP_BIT, norm=float("inf")),
    ]),
    # Dimension 3, two nodes: node 0 on layer 0 with one link, node 1 on layers 0 and 1 with
    # one link on layer 0 and none on layer 1.
    "two_nodes_116_bytes": encode(3, 1.0, 16, 1, 1, [
        node((0.1, 0.2, 0.3), 0, [[1]]), node((0.3, 0.2, 0.1), 1, [[0], []]),
    ]),
}
assert len(ACCEPTED["two_nodes_116_bytes"]) == 116


def ball_points(rng, count, dimension):
    points = rng.normal(size=(count, dimension))
    points /= np.linalg.norm(points, axis=1, keepdims=True)
    return (points * rng.uniform(0.05, 0.8, size=(count, 1))).astype(np.float32)


def build_index(metric):
    """A small real index mixing linked and flat nodes, with a node above layer 0."""
    rng = np.random.default_rng(7)
    for _ in range(100):
        index = zelt_core.HyperbolicIndex(4, 1.0, 4, metric)
        for i, point in enumerate(ball_points(rng, 18, 4)):
            mask = int(rng.integers(0, 1 << 20)) | (TOP_BIT if i % 3 else 0)
            if i % 4 == 3:
                index.add_item_flat(point, mask)
            else:
                index.add_item_and_link(point, mask, 32)
        if index.get_stats()["ep_layer"] >= 1:
            return index
    raise AssertionError("no index with more than one layer in 100 tries")


QUERY = np.array([0.05, -0.1, 0.2, 0.0], dtype=np.float32)


@pytest.fixture(scope="module", params=METRICS)
def saved_index(request, tmp_path_factory):
    metric = request.param
    path = tmp_path_factory.mktemp(f"good_{metric}") / "good.idx"
    build_index(metric).save_index(str(path))
    return metric, path


def test_every_truncation_is_refused(saved_index, tmp_path):
    metric, good = saved_index
    size = good.stat().st_size
    cases = [{"name": f"cut at {at}", "kind": "cut", "at": at} for at in range(size)]
    results = run_cases(tmp_path, metric, good, cases, QUERY)
    assert not failures(results), failures(results, good)
    loaded = [r["name"] for r in results.values() if r["outcome"] != "refused"]
    assert not loaded, f"truncated files were not refused: {loaded[:10]}"


def flip_cases(data, seed, count=300):
    """Seeded damage: single bytes anywhere, bytes in the header, the node count, levels,
    link counts and ids, short runs of random bytes and fields overwritten with all ones."""
    rng = random.Random(seed)
    fields = field_offsets(data)
    graph = fields["levels"] + fields["counts"] + fields["ids"]

    def xor(offset):
        return [offset, data[offset] ^ rng.randrange(1, 256)]

    makers = [
        lambda: [xor(rng.randrange(len(data)))],
        lambda: [xor(rng.randrange(HEADER.size))],
        lambda: [[rng.randrange(20, 28), rng.randrange(256)]],
        lambda: [xor(rng.choice(fields["levels"]) + rng.randrange(4))],
        lambda: [xor(rng.choice(fields["counts"]) + rng.randrange(8))],
        lambda: [xor(rng.choice(fields["ids"]) + rng.randrange(4))],
        lambda: [[at, rng.randrange(256)]
                 for start in [rng.randrange(len(data) - 8)]
                 for at in range(start, start + rng.randrange(2, 9))],
        lambda: [[at, 0xFF] for start in [rng.choice(graph)] for at in range(start, start + 4)],
        lambda: [xor(rng.randrange(len(data))), xor(rng.randrange(len(data)))],
    ]
    cases = []
    for i in range(count):
        edits = makers[i % len(makers)]()
        cases.append({"name": f"edit {i}: {edits}", "kind": "edit", "edits": edits})
    return cases


def test_random_damage(saved_index, tmp_path):
    metric, good = saved_index
    cases = flip_cases(good.read_bytes(), seed=METRICS.index(metric) + 1)
    results = run_cases(tmp_path, metric, good, cases, QUERY)
    assert not failures(results), failures(results, good)
    outcomes = {r["outcome"] for r in results.values()}
    # Damaged vector components load, damaged counts do not: both paths must have run.
    assert outcomes == {"refused", "loaded"}, outcomes


@pytest.fixture(scope="module")
def hand_made_results(tmp_path_factory):
    # The files are loaded into an index unlike any of them (another dimension, M and
    # curvature), so that a refused load that took over any of their values shows.
    workdir = tmp_path_factory.mktemp("hand_made")
    good = workdir / "good.idx"
    index = zelt_core.HyperbolicIndex(5, 0.5, 8, "poincare")
    for i, point in enumerate(ball_points(np.random.default_rng(3), 12, 5)):
        if i % 3:
            index.add_item_and_link(point, TOP_BIT | i)
        else:
            index.add_item_flat(point, i)
    index.save_index(str(good))
    cases = [{"name": name, "kind": "bytes", "hex": data.hex()}
             for name, data in {**REFUSED, **ACCEPTED}.items()]
    return run_cases(workdir / "run", "poincare", good, cases,
                     np.array([0.05, 0.1, 0.0, -0.1, 0.2], dtype=np.float32))


@pytest.mark.parametrize("name", sorted(REFUSED))
def test_hand_made_fault_is_refused(hand_made_results, name):
    result = hand_made_results[name]
    assert not result["error"], result["error"]
    assert result["outcome"] == "refused", result
    fault = result["message"].split(": ", 2)[-1]
    assert fault and fault != result["message"], result["message"]


@pytest.mark.parametrize("name", sorted(ACCEPTED))
def test_hand_made_edge_file_loads_and_works(hand_made_results, name):
    result = hand_made_results[name]
    assert not result["error"], result["error"]
    assert result["outcome"] == "loaded", result
    assert not result["notes"], result["notes"]



SPECIAL_FILE_DRIVER = textwrap.dedent(
    r'''
    import sys

    import zelt_core

    index = zelt_core.HyperbolicIndex(3, 1.0, 16, "euclidean")
    index.add_item_and_link([0.1, 0.2, 0.3], 1)
    before = index.get_stats()
    try:
        index.load_index(sys.argv[1])
    except RuntimeError as e:
        assert sys.argv[1] in str(e), str(e)
        assert index.get_stats() == before
        print("refused")
    else:
        print("loaded")
    '''
)


@pytest.mark.parametrize("kind", ["named_pipe", "directory", "character_device"])
def test_file_that_is_not_a_regular_file_is_refused_at_once(tmp_path, kind):
    """Nothing can be checked against the size of a pipe or a device, and opening a named pipe
    for reading waits for a writer: the loader must refuse them without reading (or waiting)."""
    if kind == "named_pipe":
        target = tmp_path / "pipe"
        os.mkfifo(target)
    elif kind == "directory":
        target = tmp_path
    else:
        target = "/dev/zero"
        if not os.path.exists(target):
            pytest.skip("this system has no /dev/zero")
    env = dict(os.environ, PYTHONPATH=module_path())
    try:
        child = subprocess.run([sys.executable, "-c", SPECIAL_FILE_DRIVER, str(target)], env=env,
                               capture_output=True, text=True, timeout=10)
    except subprocess.TimeoutExpired:
        pytest.fail(f"load_index({str(target)!r}) did not return within 10 s")
    assert child.returncode == 0, child.stderr
    assert child.stdout.split() == ["refused"]
