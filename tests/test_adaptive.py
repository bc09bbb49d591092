"""A model that also learns from the document so far: its distributions against the
formula computed straightforwardly over all 256 byte values, its causality, and its
agreement across the calls that read it."""

import math
import random
from collections import Counter

import numpy as np
import pyarrow as pa
import pytest

from conftest import KINDS
from qelt_corpus import ContextModel

MODEL_WEIGHT = 2.0


def adaptive_distribution(model, document, i):
    """The distribution of document[i], by the formula of the README."""
    k = model.k
    model_p = model.probabilities(document[max(0, i - k):i])
    context = document[i - k:i]
    followers = Counter(document[t] for t in range(k, i) if document[t - k:t] == context)
    if i < k or not followers:
        return list(model_p)
    shown, distinct = sum(followers.values()), len(followers)
    trust = MODEL_WEIGHT * distinct
    return [(followers[b] + trust * model_p[b]) / (shown + trust) for b in range(256)]


def texts(rng, count, alphabet=b"abcde \n"):
    return [bytes(rng.choice(alphabet) for _ in range(rng.randint(1, 200)))
            for _ in range(count)]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("min_count", [1, 3, 10**6])
@pytest.mark.parametrize("k", [0, 1, 2, 4, 6])
def test_distributions_equal_the_formula(kind, min_count, k):
    rng = random.Random(k * 31 + min_count)
    model = ContextModel.train(texts(rng, 6), k, min_count=min_count, smoothing=kind)
    # Two letters repeat every context of up to 6 bytes many times over.
    for document in texts(rng, 2, b"abcdefg \n") + texts(rng, 2, b"ab"):
        entropies = model.entropies(document, adapt=True)
        log_probs = model.log_probs(document, adapt=True)
        for i, byte in enumerate(document):
            q = adaptive_distribution(model, document, i)
            h = -sum(p * math.log(p) for p in q if p > 0)
            assert entropies[i] == pytest.approx(h, rel=1e-5, abs=1e-5), i
            expected = math.log2(q[byte]) if q[byte] > 0 else -math.inf
            assert log_probs[i] == pytest.approx(expected, rel=1e-6, abs=1e-6), i


@pytest.mark.parametrize("kind", KINDS)
def test_appending_bytes_changes_nothing_before_them(kind):
    rng = random.Random(5)
    model = ContextModel.train(texts(rng, 8), 3, smoothing=kind)
    document = b"".join(texts(rng, 5))
    whole_h = model.entropies(document, adapt=True)
    whole_p = model.log_probs(document, adapt=True)
    for cut in sorted(rng.sample(range(len(document)), 12)):
        assert model.entropies(document[:cut], adapt=True).tolist() == whole_h[:cut].tolist()
        assert model.log_probs(document[:cut], adapt=True).tolist() == whole_p[:cut].tolist()


def test_every_call_reads_each_document_on_its_own(real_text):
    model = ContextModel.train([real_text[:40000]], 4, smoothing="kneser-ney")
    documents = [real_text[i:i + rng_size] for i, rng_size in
                 zip(range(40000, len(real_text), 3001), [1, 7, 500, 3000, 64] * 100)]
    documents.insert(3, b"")
    batch = model.patch_ends_batch(pa.array(documents, pa.binary()), 2.5, 1.0,
                                   max_patch_length=12, adapt=True)
    singles = [model.patch_ends(d, 2.5, 1.0, max_patch_length=12, adapt=True).tolist()
               for d in documents]
    assert batch.to_pylist() == singles
    assert singles != [model.patch_ends(d, 2.5, 1.0, max_patch_length=12).tolist()
                       for d in documents]
    evaluation = model.evaluate(documents, adapt=True)
    bits = -sum(model.log_probs(d, adapt=True).sum() for d in documents)
    entropy = sum(model.entropies(d, adapt=True).astype(np.float64).sum() for d in documents)
    assert evaluation.bits_per_byte == pytest.approx(bits / evaluation.bytes, rel=1e-9)
    assert evaluation.mean_entropy_bits == pytest.approx(
        entropy / math.log(2) / evaluation.bytes, rel=1e-6)
    assert evaluation.bits_per_byte < model.evaluate(documents).bits_per_byte


def test_adapt_must_be_a_bool():
    model = ContextModel.train([b"abcabd"], 2, smoothing="kneser-ney")
    with pytest.raises(TypeError, match="adapt must be a bool"):
        model.entropies(b"abc", adapt=1)
