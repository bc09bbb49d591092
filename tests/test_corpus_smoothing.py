"""Next-byte distributions of context models: every kind's against the properties all
distributions share, and each kind's against its definition written out in
tests/reference.py: probabilities, entropies, log-probabilities and evaluations of
random small corpora at k = 0..4, with min_count and max_bytes."""

import math
import pathlib
import random

import numpy as np
import pytest

import reference
from conftest import KINDS
from qelt_corpus import ContextCounts, ContextModel, ModelFormatError


def corpus(seed: int) -> list[bytes]:
    """A few documents over a small alphabet, so that contexts repeat."""
    rng = random.Random(seed)
    alphabet = bytes(rng.sample(range(256), rng.randint(2, 6)))
    return [bytes(rng.choice(alphabet) for _ in range(rng.randint(0, 60)))
            for _ in range(rng.randint(1, 5))]


def contexts_to_ask(documents: list[bytes], k: int, rng: random.Random) -> list[bytes]:
    """Contexts of every length up to k + 1: seen ones, unseen ones, the empty one."""
    seen = [d[i - j:i] for d in documents for i in range(len(d) + 1) for j in range(k + 2)
            if j <= i]
    return [b""] + rng.sample(seen, min(len(seen), 25)) + [bytes([7, 1]), bytes([255] * 6)]


def unsmoothed(documents, k, min_count=1, kept=None):
    counts = reference.corpus_counts(documents, k)
    if kept is None:
        kept = {c for j in range(k + 1) for c, f in counts[j].items()
                if sum(f.values()) >= min_count}
    return lambda context: reference.unsmoothed_distribution(counts, kept, context)


def kneser_ney(documents, k, min_count=1, kept=None):
    return reference.KneserNey(documents, k, kept=kept, min_count=min_count).distribution


# The definition of each kind: the distribution after any context.
REFERENCES = {"none": unsmoothed, "kneser-ney": kneser_ney}


def expected(documents, k, kind, min_count=1, kept=None):
    """The reference distribution after any context, for a model of the given kind."""
    return REFERENCES[kind](documents, k, min_count, kept)


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("seed", range(6))
def test_every_kind_gives_distributions_with_the_entropies_it_reports(kind, seed):
    rng = random.Random(seed)
    documents = corpus(seed)
    for k in range(5):
        model = ContextModel.train(documents, k, min_count=1 + seed % 3, smoothing=kind)
        assert model.smoothing == kind
        for context in contexts_to_ask(documents, k, rng):
            got = model.probabilities(context)
            assert ((got >= 0) & (got <= 1)).all(), (k, context)
            if got.any():
                assert got.sum() == pytest.approx(1, abs=1e-5), (k, context)
                assert model.entropy(context) == pytest.approx(
                    reference.entropy_of(got), abs=2e-5), (k, context)


@pytest.mark.parametrize("kind", REFERENCES)
@pytest.mark.parametrize("seed", range(12))
def test_probabilities_and_entropies_follow_the_definition(kind, seed):
    rng = random.Random(seed)
    documents = corpus(seed)
    for k in range(5):
        min_count = 1 + seed % 3
        model = ContextModel.train(documents, k, min_count=min_count, smoothing=kind)
        assert model.smoothing == kind
        want = expected(documents, k, kind, min_count)
        for context in contexts_to_ask(documents, k, rng):
            got = model.probabilities(context)
            distribution = want(context)
            assert got == pytest.approx(distribution, abs=2e-7), (k, context)
            if kind == "kneser-ney":
                assert (got > 0).all() and got.sum() == pytest.approx(1, abs=1e-5)
                assert model.entropy(context) == pytest.approx(
                    reference.entropy_of(distribution), abs=2e-6)
            elif got.any():
                assert got.sum() == pytest.approx(1, abs=1e-6)


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("seed", range(8))
def test_scores_of_a_document_agree_with_the_distributions(kind, seed):
    documents = corpus(seed)
    rng = random.Random(seed)
    probe = documents[0] + bytes(rng.randrange(256) for _ in range(5))
    for k in range(5):
        model = ContextModel.train(documents, k, smoothing=kind)
        entropies, log_probs = model.entropies(probe), model.log_probs(probe)
        assert entropies.dtype == np.float32 and log_probs.dtype == np.float64
        assert len(entropies) == len(log_probs) == len(probe)
        for i in range(len(probe)):
            before = probe[max(0, i - k):i]
            assert entropies[i] == np.float32(model.entropy(before))
            p = model.probabilities(before)[probe[i]]
            assert log_probs[i] == (math.log2(p) if p > 0 else -math.inf)
        # Patching judges the same entropies, from position k on.
        theta, theta_r = 0.7, 0.3
        ends, previous = [], 0.0
        for i in range(k, len(probe)):
            h = float(entropies[i])
            if h > theta or h - previous > theta_r:
                ends.append(i + 1)
            previous = h
        if probe and (not ends or ends[-1] != len(probe)):
            ends.append(len(probe))
        assert model.patch_ends(probe, theta, theta_r).tolist() == ends
        evaluation = model.evaluate([probe, b"", documents[-1]])
        together = np.concatenate([model.log_probs(probe), model.log_probs(documents[-1])])
        assert (evaluation.bytes, evaluation.documents) == (len(together), 3)
        assert evaluation.zero_probability_bytes == int(np.isinf(together).sum())
        if evaluation.zero_probability_bytes:
            assert evaluation.bits_per_byte == math.inf
        elif len(together):
            assert evaluation.bits_per_byte == pytest.approx(-together.mean(), rel=1e-12)


def align(x: int) -> int:
    return (x + 7) // 8 * 8


def image_size(k: int, contexts: list[int], pairs: list[int]) -> int:
    """The size a budget holds a model to (docs/formats.md, "Budgets"): the larger of
    its version 2 file and the bound on its version 3 file."""
    size = align(48 + 24 * (k + 1))
    for j in range(k + 1):
        slots = contexts[j] + contexts[j] // 4 + 1 if contexts[j] else 0
        size += align(slots * ((4 if j <= 4 else 8) + 4)) + align(16 * slots)
        size += align(pairs[j]) + align(4 * pairs[j])
    blocks = [0 if j < min(k, 2) else max((b for b in range(17) if contexts[j] >= 4096 << b),
                                            default=0) for j in range(k + 1)]
    bound = 8 + align(48 + 32 * (k + 1) + sum(32 << b for b in blocks))
    for j in range(k + 1):
        if contexts[j]:
            slot = 16 if j <= 4 else 20
            bound += (slot * (contexts[j] + contexts[j] // 4 + (1 << blocks[j])) + contexts[j]
                      + 5 * pairs[j] + 7 * (1 << blocks[j]))
    return max(size + 8, bound)


def kept_within(documents: list[bytes], k: int, max_bytes: int) -> set[bytes]:
    """The contexts a model within max_bytes keeps: the rarest left out first, the longer
    first among equally rare ones, then in ascending order of their bytes."""
    counts = reference.corpus_counts(documents, k)
    contexts = [len([c for c in counts[j]]) for j in range(k + 1)]
    pairs = [sum(len(f) for f in counts[j].values()) for j in range(k + 1)]
    kept = {c for j in range(k + 1) for c in counts[j]}
    order = sorted((sum(f.values()), -len(c), c) for j in range(1, k + 1)
                   for c, f in counts[j].items())
    for _, _, context in order:
        if image_size(k, contexts, pairs) <= max_bytes:
            break
        kept.discard(context)
        contexts[len(context)] -= 1
        pairs[len(context)] -= len(counts[len(context)][context])
    return kept


@pytest.mark.parametrize("kind", REFERENCES)
@pytest.mark.parametrize("seed", range(6))
def test_a_budget_leaves_out_whole_contexts_by_the_rule(kind, seed):
    documents = corpus(seed + 100)
    rng = random.Random(seed)
    for k in (1, 2, 3):
        counts = ContextCounts(k)
        for document in documents:
            counts.add(document)
        full = counts.to_model(smoothing=kind)
        budget = full.nbytes - 40 - seed * 20
        try:
            model = counts.to_model(max_bytes=budget, smoothing=kind)
        except ValueError:
            continue  # below the smallest model
        assert model.nbytes <= budget
        want = expected(documents, k, kind, kept=kept_within(documents, k, budget))
        for context in contexts_to_ask(documents, k, rng):
            assert model.probabilities(context) == pytest.approx(want(context), abs=2e-7)


def test_unsmoothed_models_keep_the_module_entropies_bit_for_bit():
    documents = corpus(3)
    for k in range(5):
        model = ContextModel.train(documents, k)
        entropies = reference.corpus_model(documents, k)
        for document in documents:
            got = model.entropies(document)
            for i in range(k, len(document)):
                assert got[i] == reference.backed_off_entropy(entropies, document[i - k:i])


def crc32c(data: bytes) -> int:
    crc = 0xFFFFFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ (0x82F63B78 if crc & 1 else 0)
    return crc ^ 0xFFFFFFFF


def resealed(image: bytearray) -> bytes:
    image[-8:-4] = crc32c(bytes(image[:-8])).to_bytes(4, "little")
    return bytes(image)


def refused_for(image: bytes, tmp_path) -> str:
    """The reason loading the model file `image` is refused for."""
    path = tmp_path / "damaged.qelt"
    path.write_bytes(image)
    with pytest.raises(ModelFormatError) as raised:
        ContextModel.load(path)
    return raised.value.reason


def sections(image: bytes) -> list[dict[str, int]]:
    """Where each length's table, records, bytes and probabilities start in a version 2
    image, and its slot and byte counts (docs/formats.md, "Model file")."""
    align = lambda x: (x + 7) // 8 * 8  # noqa: E731
    k = int.from_bytes(image[12:16], "little")
    offset = align(48 + 24 * (k + 1))
    found = []
    for j in range(k + 1):
        entry = 48 + 24 * j
        slots = int.from_bytes(image[entry + 8:entry + 16], "little")
        pairs = int.from_bytes(image[entry + 16:entry + 24], "little")
        slot_bytes = (4 if j <= 4 else 8) + 4
        at = {"slots": slots, "pairs": pairs, "slot_bytes": slot_bytes, "table": offset}
        offset = at["records"] = align(offset + slots * slot_bytes)
        offset = at["bytes"] = align(offset + 16 * slots)
        offset = at["probabilities"] = align(offset + pairs)
        offset = align(offset + 4 * pairs)
        found.append(at)
    return found


DATA = pathlib.Path(__file__).parent / "data"


@pytest.mark.parametrize("damage,reason", [
    ("a weight above 1", "layout"),
    ("a probability of 0", "layout"),
    ("bytes out of order", "layout"),
    ("an unknown smoothing", "layout"),
    ("a record of an empty slot", "layout"),
    ("version 4", "version"),
])
def test_damaged_version_2_files_are_named_errors(damage, reason, tmp_path):
    image = bytearray((DATA / "model-v2-kneser-ney.qelt").read_bytes())
    length_0, length_1 = sections(bytes(image))[:2]
    filled = next(s for s in range(length_0["slots"])
                  if image[length_0["table"] + 8 * s + 4:length_0["table"] + 8 * s + 8]
                  != b"\xff" * 4)
    if damage == "a weight above 1":
        at = length_0["records"] + 16 * filled + 12
        image[at:at + 4] = np.float32(2).tobytes()
    elif damage == "a probability of 0":
        image[length_0["probabilities"]:length_0["probabilities"] + 4] = bytes(4)
    elif damage == "bytes out of order":
        at = length_0["bytes"]
        image[at], image[at + 1] = image[at + 1], image[at]
    elif damage == "an unknown smoothing":
        image[40] = 7
    elif damage == "a record of an empty slot":
        empty = next(s for s in range(length_1["slots"])
                     if image[length_1["table"] + 8 * s + 4:length_1["table"] + 8 * s + 8]
                     == b"\xff" * 4)
        at = length_1["records"] + 16 * empty + 12
        image[at:at + 4] = np.float32(0.5).tobytes()
    elif damage == "version 4":
        image[8] = 4
    assert refused_for(resealed(image), tmp_path) == reason


def blocks3(image: bytes, length: int) -> list[dict[str, int]]:
    """The blocks of `length` in a version 3 image (docs/formats.md, "Model file"), each
    with its table's offset and slots and its lists' offset and bytes."""
    k = int.from_bytes(image[12:16], "little")
    entry = 48 + 32 * length
    log2 = int.from_bytes(image[entry + 16:entry + 20], "little")
    directory = int.from_bytes(image[entry + 24:entry + 32], "little")
    assert k >= length
    return [dict(zip(("table", "slots", "lists", "lists_bytes", "slot_bytes"),
                     [int.from_bytes(image[at + 8 * i:at + 8 * i + 8], "little") for i in range(4)]
                     + [16 if length <= 4 else 20]))
            for at in range(directory, directory + (32 << log2), 32)]


@pytest.mark.parametrize("damage", ["a weight above 1", "a probability of 0",
                                    "bytes out of order", "an unknown smoothing",
                                    "a record of an empty slot", "a list elsewhere",
                                    "a directory elsewhere", "version 4"])
def test_damaged_version_3_files_are_named_errors(damage, tmp_path):
    image = bytearray((DATA / "model-v3-kneser-ney.qelt").read_bytes())
    (block,) = blocks3(bytes(image), 1)
    width, table = block["slot_bytes"], block["table"]
    slots = [image[table + width * s:table + width * (s + 1)] for s in range(block["slots"])]
    filled = next(s for s, slot in enumerate(slots) if slot[4:8] != b"\xff" * 4)
    empty = next(s for s, slot in enumerate(slots) if slot[4:8] == b"\xff" * 4)
    lists = block["lists"]
    if damage == "a weight above 1":
        at = table + width * filled + 8
        image[at:at + 4] = np.float32(2).tobytes()
    elif damage == "a probability of 0":
        n = image[lists] + 1
        image[lists + 1 + n:lists + 5 + n] = bytes(4)
    elif damage == "bytes out of order":
        at = lists
        while image[at] == 0:  # a list of one byte: the next
            at += 6
        image[at + 1], image[at + 2] = image[at + 2], image[at + 1]
    elif damage == "an unknown smoothing":
        image[40] = 7
    elif damage == "a record of an empty slot":
        at = table + width * empty + 8
        image[at:at + 4] = np.float32(0.5).tobytes()
    elif damage == "a list elsewhere":
        at = table + width * filled + 12
        image[at:at + 4] = (int.from_bytes(image[at:at + 4], "little") + 1).to_bytes(4, "little")
    elif damage == "a directory elsewhere":
        image[48 + 32 + 24] += 8
    elif damage == "version 4":
        image[8] = 4
    assert refused_for(resealed(image), tmp_path) == ("version" if damage == "version 4"
                                                      else "layout")


def test_a_version_1_model_patches_but_has_no_probabilities():
    path = DATA / "model-v1.qelt"
    model = ContextModel.load(path)
    assert model.smoothing == "none"
    assert len(model.entropies(b"the cat sat")) == 11
    for ask in (lambda: model.probabilities(b"the"), lambda: model.log_probs(b"the"),
                lambda: model.evaluate([b"the"]), lambda: model.entropies(b"the", adapt=True),
                lambda: model.patch_ends(b"the", 1.0, 1.0, adapt=True),
                lambda: model.stream(1.0, 1.0, adapt=True)):
        with pytest.raises(ValueError, match="version 1"):
            ask()


def test_smoothing_is_checked():
    with pytest.raises(ValueError, match="smoothing must be one of"):
        ContextModel.train([b"abc"], 1, smoothing="no such kind")


@pytest.mark.parametrize("kind", KINDS)
def test_a_model_that_keeps_no_context_agrees_with_itself(kind):
    model = ContextModel.train([b"ab"], 1, min_count=5, smoothing=kind)  # 1 position
    assert len(model) == 0
    for context in (b"", b"a", b"zz"):
        p = model.probabilities(context)
        expected = reference.entropy_of(p) if p.any() else 0.0
        assert model.entropy(context) == pytest.approx(expected, abs=1e-6)
        assert model.entropies(context + b"x")[-1] == pytest.approx(expected, abs=1e-6)


def test_there_is_no_mean_over_no_byte():
    model = ContextModel.train([b"abcabd"], 2, smoothing="kneser-ney")
    for documents in ([], [b""], [b"", b""]):
        with pytest.raises(ValueError, match="no bytes"):
            model.evaluate(documents)
