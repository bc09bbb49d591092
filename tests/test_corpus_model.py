"""ContextModel: trained once on a corpus, it patches as the definition says (back-off
included), is exact where it must equal patch_sequence, merges in any order, saves
and loads safely, and calibrates theta for a target patch length."""

import math
import pickle
import random
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pyarrow as pa
import pytest
import reference
from qelt_corpus import ContextCounts, ContextModel, ModelFormatError
from test_corpus_arrays import expected_ends, in_thread_during, no_forced_switches  # noqa: F401

INF = math.inf
THRESHOLDS = [(2.0, 1.0), (0.5, 10.0), (-1.0, 1.0), (0.0, 0.0), (1.0, -0.1), (-INF, -INF),
              (INF, 0.1), (1e300, INF), (-INF, INF)]


def random_documents(seed: int, count: int, alphabet: int) -> list[bytes]:
    rng = random.Random(seed)
    return [bytes(rng.randrange(alphabet) for _ in range(rng.choice([0, 1, 5, 40, 300])))
            for _ in range(count)]


# --- The anchor: a model of one sequence patches it as patch_sequence does -----------


@pytest.mark.parametrize("k", range(9))
def test_model_of_one_sequence_patches_it_as_patch_sequence(k, real_text):
    rng = random.Random(k)
    sequences = [real_text[:6000], real_text[6000:6003], b"",
                 bytes(rng.randrange(3) for _ in range(800)), rng.randbytes(500)]
    for data in sequences:
        model = ContextModel.train([data], k)
        for theta, theta_r in THRESHOLDS:
            assert model.patch_ends(data, theta, theta_r).tolist() == \
                (expected_ends(data, k, theta, theta_r) if data else [])


# --- Against the definition, back-off and min_count included ------------------------


@pytest.mark.parametrize("k", [0, 1, 2, 3, 5, 8])
@pytest.mark.parametrize("min_count", [1, 2, 5])
def test_patches_follow_the_definition_with_back_off(k, min_count):
    training = random_documents(k * 10 + min_count, 30, 4)
    model = ContextModel.train(training, k, min_count=min_count)
    expected_model = reference.corpus_model(training, k, min_count)
    assert len(model) == sum(map(len, expected_model))
    assert (model.k, model.min_count) == (k, min_count)
    # Held-out documents over a larger alphabet meet contexts the model never saw.
    for document in random_documents(99, 12, 6):
        for theta, theta_r in THRESHOLDS[:6]:
            assert model.patch_ends(document, theta, theta_r).tolist() == \
                reference.model_patch_ends(expected_model, document, theta, theta_r)


def test_a_model_without_contexts_gives_entropy_zero():
    model = ContextModel.train([b"ab", b""], 3)
    assert len(model) == 0
    assert model.patch_ends(b"abcdefg", -0.5, 1.0).tolist() == [4, 5, 6, 7]
    assert model.patch_ends(b"abcdefg", 0.0, 0.0).tolist() == [7]


def test_batch_and_max_patch_length_as_for_patch_ends(real_text):
    model = ContextModel.train([real_text[:20000]], 3)
    documents = [real_text[20000 + i * 900:20000 + i * 900 + size]
                 for i, size in enumerate([0, 5, 900, 2000, 1])]
    array = pa.array(documents + [None], pa.binary())
    for max_length in (None, 1, 4):
        result = model.patch_ends_batch(array, 2.0, 1.0, max_patch_length=max_length)
        result.validate(full=True)
        assert result.to_pylist() == [
            model.patch_ends(d, 2.0, 1.0, max_patch_length=max_length).tolist()
            for d in documents] + [None]
    chunked = model.patch_ends_batch(pa.chunked_array([array[:2], array[2:]]), 2.0, 1.0)
    assert chunked.num_chunks == 2
    assert chunked.to_pylist() == model.patch_ends_batch(array, 2.0, 1.0).to_pylist()


# --- Counts: merging, pickling, threads ------------------------------------------------


@pytest.mark.parametrize("k", [0, 3, 8])
def test_merge_order_and_one_go_give_identical_files(k, tmp_path, real_text):
    documents = [real_text[i:i + 3000] for i in range(0, 60000, 3000)]
    at_once = ContextModel.train(documents, k)
    parts = [ContextCounts(k) for _ in range(4)]
    for i, document in enumerate(documents):
        parts[i % 4].add(document)
    rng = random.Random(k)
    images = {at_once.save(tmp_path / "once") or (tmp_path / "once").read_bytes()}
    for trial in range(3):
        order = rng.sample(range(4), 4)
        merged = pickle.loads(pickle.dumps(parts[order[0]]))
        for i in order[1:]:
            merged.merge(pickle.loads(pickle.dumps(parts[i])))
        merged.to_model().save(tmp_path / f"merged{trial}")
        images.add((tmp_path / f"merged{trial}").read_bytes())
    assert len(images) == 1


def test_counts_pickle_compactly_and_count_positions(real_text):
    counts = ContextCounts(3)
    counts.add(real_text)
    counts.add_batch(pa.array([real_text[:100], None, b""], pa.binary()))
    assert counts.positions == (len(real_text) - 3) + (100 - 3)
    state = pickle.dumps(counts)
    assert len(state) < len(real_text) / 2
    again = pickle.loads(state)
    assert (again.k, again.positions) == (3, counts.positions)
    assert again.to_model() == counts.to_model()


def test_merging_counts_with_themselves_doubles_them():
    counts = ContextCounts(2)
    counts.add(b"abcabdabcabe")
    single = counts.to_model()
    counts.merge(counts)
    assert counts.positions == 20
    assert counts.to_model(min_count=2) == single.__class__.train([b"abcabdabcabe"] * 2, 2,
                                                                  min_count=2)


def test_threads_adding_to_one_counts_take_turns(real_text):
    documents = [real_text[i:i + 5000] for i in range(0, 100000, 5000)] * 4
    shared = ContextCounts(4)
    threads = [threading.Thread(target=lambda part=part: [shared.add(d) for d in part])
               for part in (documents[0::2], documents[1::2])]
    merger = ContextCounts(4)
    merger.add(documents[0])
    threads.append(threading.Thread(target=lambda: [shared.merge(merger) for _ in range(10)]))
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    expected = ContextCounts(4)
    for d in documents + [documents[0]] * 10:
        expected.add(d)
    assert shared.to_model() == expected.to_model()


def test_model_calls_release_the_gil(no_forced_switches):  # noqa: F811
    data = random.Random(5).randbytes(4 << 20)
    model = ContextModel.train([data], 3)
    _, during = in_thread_during(lambda: model.patch_ends(data, 2.0, 1.0), lambda: True)
    assert during > 0
    counts = ContextCounts(3)
    _, during = in_thread_during(lambda: counts.add(data), lambda: True)
    assert during > 0


# --- Saving and loading ----------------------------------------------------------------


def test_save_and_load_round_trip(tmp_path, real_text):
    model = ContextModel.train(pa.array([real_text[:30000], real_text[30000:]]), 4, min_count=2)
    path = tmp_path / "model.qelt"
    model.save(path)
    loaded = ContextModel.load(path)
    assert loaded == model and repr(loaded) == repr(model)
    assert (loaded.k, loaded.min_count, len(loaded)) == (4, 2, len(model))
    probe = real_text[5000:15000]
    assert np.array_equal(loaded.patch_ends(probe, 1.5, 0.5), model.patch_ends(probe, 1.5, 0.5))
    assert pickle.loads(pickle.dumps(loaded)) == model
    # The file is the model's own bytes: a slot and its record (about 30 bytes a
    # context), and 5 bytes for each byte listed after a context.
    assert path.stat().st_size <= 60 * len(model) + 200
    model.save(str(path))  # replaces the file whole
    assert ContextModel.load(str(path)) == model


@pytest.mark.parametrize(
    ("make", "reason"),
    [
        (lambda p: p.write_bytes(b""), "truncated"),
        (lambda p: p.write_bytes(b"QELTMO"), "truncated"),
        (lambda p: p.write_bytes(b"\x89PNG\r\n\x1a\n" + bytes(200)), "foreign"),
        (lambda p: p.write_text("QELTMODL but not really"), "version"),
        (lambda p: p.write_bytes(b"QELTMODL" + (4).to_bytes(4, "little") + bytes(100)), "version"),
    ],
)
def test_load_refuses_what_is_not_a_model(tmp_path, make, reason):
    path = tmp_path / "model"
    make(path)
    with pytest.raises(ModelFormatError) as raised:
        ContextModel.load(path)
    assert (raised.value.reason, raised.value.path) == (reason, str(path))
    assert isinstance(raised.value, ValueError) and str(path) in str(raised.value)


@pytest.mark.parametrize("make", [lambda p: p.mkdir(), lambda p: None])
def test_unreadable_model_files_raise_os_errors_naming_them(tmp_path, make):
    path = tmp_path / "model"
    make(path)
    with pytest.raises(OSError) as raised:
        ContextModel.load(path)
    assert type(raised.value) in (IsADirectoryError, FileNotFoundError)
    assert raised.value.filename == str(path)


def test_load_refuses_truncated_and_corrupted_files(tmp_path, real_text):
    path = tmp_path / "model"
    ContextModel.train([real_text[:20000]], 3).save(path)
    image = path.read_bytes()
    damaged = bytearray(image)
    damaged[len(image) // 2] ^= 1
    reserved = bytearray(image)
    reserved[-1] = 1
    cases = [(image[:cut], "truncated") for cut in (4, 8, 40, len(image) // 2, len(image) - 1)]
    cases += [(bytes(damaged), "checksum"), (image + bytes(8), "layout"),
              (bytes(reserved), "layout")]
    for data, reason in cases:
        path.write_bytes(data)
        with pytest.raises(ModelFormatError) as raised:
            ContextModel.load(path)
        assert raised.value.reason == reason, (len(data), str(raised.value))


def test_counts_that_are_not_an_encoding_raise_the_same_error(real_text):
    counts = ContextCounts(2)
    counts.add(real_text[:5000])
    rebuild, (state,) = counts.__reduce__()
    version_2 = state[:8] + (2).to_bytes(4, "little") + state[12:]
    cases = [(b"", "truncated"), (b"QELTCN", "truncated"), (b"PK\x03\x04" + bytes(20), "foreign"),
             (version_2, "version"), (state[:-3], "truncated"), (state + b"\0", "layout")]
    for data, reason in cases:
        with pytest.raises(ModelFormatError) as raised:
            rebuild(data)
        assert (raised.value.reason, raised.value.path) == (reason, None), data[:16]
    with pytest.raises(ModelFormatError, match="unsupported version 2"):
        rebuild(version_2)
    assert pickle.loads(pickle.dumps(ModelFormatError("m", "layout", "p"))).path == "p"


# Mutations of a valid file, each with its checksum made right again so that the
# structure itself is what gets checked, are loaded in a child process: a crash there
# fails this test instead of ending the run.
FUZZ_CHILD = """
import random, struct, sys, zlib
import qelt_corpus
from qelt_corpus import ContextModel

CASTAGNOLI = [0] * 256
for b in range(256):
    c = b
    for _ in range(8):
        c = (c >> 1) ^ (0x82F63B78 if c & 1 else 0)
    CASTAGNOLI[b] = c

def crc32c(data):
    crc = 0xFFFFFFFF
    for byte in data:
        crc = (crc >> 8) ^ CASTAGNOLI[(crc ^ byte) & 0xFF]
    return crc ^ 0xFFFFFFFF

image = open(sys.argv[1], "rb").read()
rng = random.Random(int(sys.argv[2]))
path = sys.argv[1] + ".mutant"
outcomes = {"refused": 0, "loaded": 0}
for trial in range(int(sys.argv[3])):
    mutant = bytearray(image)
    for _ in range(rng.choice([1, 1, 2, 8])):
        at = rng.randrange(len(mutant) - 8) if rng.random() < 0.5 else rng.randrange(min(120, len(mutant) - 8))
        mutant[at] = rng.randrange(256)
    if rng.random() < 0.2:
        mutant = mutant[: rng.randrange(len(mutant))] + bytes(8)
        struct.pack_into("<Q", mutant, 32, len(mutant)) if len(mutant) >= 40 else None
    if rng.random() < 0.9 and len(mutant) >= 8:
        struct.pack_into("<I", mutant, len(mutant) - 8, crc32c(mutant[:-8]))
        mutant[-4:] = bytes(4)
    open(path, "wb").write(mutant)
    try:
        model = ContextModel.load(path)
    except qelt_corpus.ModelFormatError:
        outcomes["refused"] += 1
        continue
    model.patch_ends(bytes(range(256)) * 4, 1.0, 0.5)
    model.calibrate([bytes(range(256)) * 2], 3.0)
    outcomes["loaded"] += 1
print(outcomes["refused"], outcomes["loaded"])
"""


@pytest.mark.parametrize("seed", range(3))
def test_load_survives_mutated_files(tmp_path, seed):
    path = tmp_path / "model"
    documents = random_documents(seed, 40, 5)
    ContextModel.train(documents, 5).save(path)
    result = subprocess.run([sys.executable, "-c", FUZZ_CHILD, str(path), str(seed), "300"],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr[-2000:]
    refused, loaded = map(int, result.stdout.split())
    assert refused + loaded == 300 and refused > 100


def test_load_maps_rather_than_copies(tmp_path):
    # A loaded model is the file's own pages, shared with the page cache (and with
    # every process that loads it): loading allocates no copy of it, only a byte for
    # each slot of its tables (the tags its lookups scan, a sixteenth of the file at most).
    script = textwrap.dedent("""
        import os, random, sys
        from qelt_corpus import ContextModel
        def anonymous():
            for line in open("/proc/self/smaps_rollup"):
                if line.startswith("Anonymous:"):
                    return int(line.split()[1]) * 1024
        path = sys.argv[1]
        trained = ContextModel.train([random.Random(0).randbytes(3 << 20)], 3)
        trained.save(path)
        trained.patch_ends(b"abcdefgh", 1.0, 1.0)  # NumPy is loaded by the first result
        del trained
        before = anonymous()
        models = [ContextModel.load(path) for _ in range(4)]
        for model in models:
            model.patch_ends(b"abcdefgh" * 1000, 1.0, 1.0)
        print(os.path.getsize(path), anonymous() - before)
    """)
    result = subprocess.run([sys.executable, "-c", script, str(tmp_path / "m")],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    size, grown = map(int, result.stdout.split())
    assert size > 20 << 20 and grown < 4 * size / 10


# --- Calibration -------------------------------------------------------------------------


@pytest.mark.parametrize(("target", "theta_r", "adapt"),
                         [(2.0, 1.0, False), (4.0, 1.0, False), (8.0, INF, False),
                          (3.0, 1.0, True), (6.0, INF, True)])
def test_calibrate_reaches_its_target_on_real_text(target, theta_r, adapt, real_text):
    half = len(real_text) // 2
    model = ContextModel.train([real_text[:half]], 3)
    documents = [real_text[i:i + 2000] for i in range(half, len(real_text), 2000)]
    theta = model.calibrate(documents, target, theta_r=theta_r, adapt=adapt)

    def mean(t):
        patches = sum(len(model.patch_ends(d, t, theta_r, adapt=adapt)) for d in documents)
        return sum(map(len, documents)) / patches

    achieved = mean(theta)
    assert abs(achieved - target) / target < 0.1
    # No threshold nearby does better.
    for other in np.linspace(max(theta - 0.5, -0.1), theta + 0.5, 41):
        assert abs(achieved - target) <= abs(mean(float(other)) - target) + 1e-9
    arrow = model.calibrate(pa.array(documents, pa.binary()), target, theta_r=theta_r,
                            adapt=adapt)
    assert arrow == theta


def test_calibrate_refuses_documents_it_cannot_measure():
    model = ContextModel.train([b"abcabd" * 10], 3)
    with pytest.raises(ValueError, match="longer than the context length"):
        model.calibrate([b"ab", b""], 3.0)
    with pytest.raises(ValueError, match="positive"):
        model.calibrate([b"abcabd"], 0.0)


# --- Bad arguments ---------------------------------------------------------------------


@pytest.mark.parametrize(
    ("call", "error"),
    [
        (lambda: ContextCounts(9), ValueError),
        (lambda: ContextCounts(-1), ValueError),
        (lambda: ContextCounts(1.0), TypeError),
        (lambda: ContextCounts(3).merge(ContextCounts(2)), ValueError),
        (lambda: ContextCounts(3).merge("counts"), TypeError),
        (lambda: ContextCounts(3).to_model(0), ValueError),
        (lambda: ContextCounts(3).add("text"), TypeError),
        (lambda: ContextCounts(3).add_batch([b"x"]), TypeError),
        (lambda: ContextModel.train(None, 2), TypeError),
        (lambda: ContextModel.train(b"abc", 2), TypeError),
        (lambda: ContextModel.train([b"abc", "text"], 2), TypeError),
        (lambda: ContextModel.train([b"abc"], 2, min_count=-3), ValueError),
        (lambda: ContextModel(), TypeError),
        (lambda: ContextModel.load(3), TypeError),
        (lambda: ContextModel.train([b"abc"], 2).patch_ends([1, 2], 1.0, 1.0), TypeError),
        (lambda: ContextModel.train([b"abc"], 2).patch_ends(b"ab", "x", 1.0), TypeError),
        (lambda: ContextModel.train([b"abc"], 2).patch_ends_batch(pa.array([1]), 1.0, 1.0),
         TypeError),
        (lambda: pickle.loads(b"\x80\x04" + pickle.dumps(ContextCounts(2))[2:-12] + b"."),
         Exception),
    ],
)
def test_bad_arguments_raise(call, error):
    with pytest.raises(error):
        call()
