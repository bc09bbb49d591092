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
    """The distribution of document[i], by the formula of the models guide."""
    k = model.k
    model_p = model.probabilities(document[max(0, i - k):i])
    context = document[i - k:i]
    followers = Counter(document[t] for t in range(k, i) if document[t - k:t] == context)
    return q_of(model_p, followers if i >= k else None)


def q_of(model_p, followers):
    """The formula of the models guide: the model's distribution sharpened by `followers`, a
    Counter of the bytes the document has shown after the context."""
    if not followers:
        return list(model_p)
    shown, distinct = sum(followers.values()), len(followers)
    trust = MODEL_WEIGHT * distinct
    return [(followers[b] + trust * model_p[b]) / (shown + trust) for b in range(256)]


def table_slots(contexts):
    """The slots of the smallest table of at least 16, a power of two, that holds the
    contexts at most three quarters full."""
    slots = 16
    while slots // 4 * 3 < contexts:
        slots *= 2
    return slots


def distributions_within(model, document, budget, restarts):
    """The distribution of each byte of `document` with the document's statistics kept
    within `budget` by the rule of the models guide: 96 bytes a slot of their table, 20 a
    byte listed beyond the first that followed its context; a byte that would take them
    past the budget makes them start afresh, and is the first they count; each time is
    appended to `restarts`."""
    k = model.k
    seen, listed = {}, 0

    def cost(contexts, listed):
        return 96 * table_slots(contexts) + 20 * listed

    for i, byte in enumerate(document):
        context = document[i - k:i] if i >= k else None
        yield q_of(model.probabilities(document[max(0, i - k):i]), seen.get(context))
        if context is None:
            continue
        if context not in seen:
            if cost(len(seen) + 1, listed) > budget:
                seen, listed = {}, 0
                restarts.append(i)
            seen[context] = Counter()
        elif byte not in seen[context]:
            if cost(len(seen), listed + 1) > budget:
                seen, listed = {context: Counter()}, 0
                restarts.append(i)
            else:
                listed += 1
        seen[context][byte] += 1


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
@pytest.mark.parametrize("budget", [4096, 6000, 16384])
@pytest.mark.parametrize("k", [1, 2, 3])
def test_within_a_budget_the_statistics_start_afresh_by_the_rule(kind, budget, k):
    rng = random.Random(budget + k)
    model = ContextModel.train(texts(rng, 6, b"abcdefghij \n"), k, smoothing=kind)
    document = b"".join(texts(rng, 12, b"abcdefghijkl \n"))
    entropies = model.entropies(document, adapt=True, adapt_memory=budget)
    log_probs = model.log_probs(document, adapt=True, adapt_memory=budget)
    restarts = []
    for i, q in enumerate(distributions_within(model, document, budget, restarts)):
        h = -sum(p * math.log(p) for p in q if p > 0)
        assert entropies[i] == pytest.approx(h, rel=1e-5, abs=1e-5), i
        expected = math.log2(q[document[i]]) if q[document[i]] > 0 else -math.inf
        assert log_probs[i] == pytest.approx(expected, rel=1e-6, abs=1e-6), i
    # Where the statistics started afresh, the budget made a difference.
    assert bool(restarts) == (entropies.tolist() != model.entropies(document, adapt=True).tolist())
    assert restarts or budget > 4096


@pytest.mark.parametrize("memory", [0, 4095, -1, 1.5, "1GiB"])
def test_a_budget_is_an_int_of_at_least_4096_bytes(memory):
    model = ContextModel.train([b"abcabd"], 2, smoothing="kneser-ney")
    with pytest.raises((ValueError, TypeError), match="adapt_memory"):
        model.entropies(b"abc", adapt=True, adapt_memory=memory)


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("reading", ["adaptive", "mix"])
def test_appending_bytes_changes_nothing_before_them(kind, reading):
    rng = random.Random(5)
    model = ContextModel.train(texts(rng, 8), 3, smoothing=kind)
    document = b"".join(texts(rng, 5))
    whole_h = model.entropies(document, reading=reading)
    whole_p = model.log_probs(document, reading=reading)
    for cut in sorted(rng.sample(range(len(document)), 12)):
        assert model.entropies(document[:cut], reading=reading).tolist() == whole_h[:cut].tolist()
        assert model.log_probs(document[:cut], reading=reading).tolist() == whole_p[:cut].tolist()


@pytest.mark.parametrize("reading", ["adaptive", "mix"])
def test_every_call_reads_each_document_on_its_own(real_text, reading):
    model = ContextModel.train([real_text[:40000]], 4, smoothing="kneser-ney")
    documents = [real_text[i:i + rng_size] for i, rng_size in
                 zip(range(40000, len(real_text), 3001), [1, 7, 500, 3000, 64] * 100)]
    documents.insert(3, b"")
    batch = model.patch_ends_batch(pa.array(documents, pa.binary()), 2.5, 1.0,
                                   max_patch_length=12, reading=reading)
    singles = [model.patch_ends(d, 2.5, 1.0, max_patch_length=12, reading=reading).tolist()
               for d in documents]
    assert batch.to_pylist() == singles
    assert singles != [model.patch_ends(d, 2.5, 1.0, max_patch_length=12).tolist()
                       for d in documents]
    evaluation = model.evaluate(documents, reading=reading)
    bits = -sum(model.log_probs(d, reading=reading).sum() for d in documents)
    entropy = sum(model.entropies(d, reading=reading).astype(np.float64).sum() for d in documents)
    assert evaluation.bits_per_byte == pytest.approx(bits / evaluation.bytes, rel=1e-9)
    assert evaluation.mean_entropy_bits == pytest.approx(
        entropy / math.log(2) / evaluation.bytes, rel=1e-6)
    assert evaluation.bits_per_byte < model.evaluate(documents).bits_per_byte


def test_adapt_must_be_a_bool():
    model = ContextModel.train([b"abcabd"], 2, smoothing="kneser-ney")
    with pytest.raises(TypeError, match="adapt must be a bool"):
        model.entropies(b"abc", adapt=1)


@pytest.mark.parametrize(("arguments", "error", "message"), [
    ({"reading": "mix", "adapt": True}, ValueError, "adapt=True means reading='adaptive'"),
    ({"reading": "mixed"}, ValueError, "reading must be one of"),
    ({"reading": "mix", "adapt_memory": 4095}, ValueError, "adapt_memory"),
    ({"reading": 2}, TypeError, "reading must be"),
])
def test_a_reading_is_named_once(arguments, error, message):
    model = ContextModel.train([b"abcabd"], 2, smoothing="kneser-ney")
    with pytest.raises(error, match=message):
        model.entropies(b"abc", **arguments)
    assert model.entropies(b"abcab", reading="adaptive").tolist() == model.entropies(
        b"abcab", adapt=True, reading="adaptive").tolist()
