"""Obviously-correct reference implementations that the module is checked against.

They follow the definitions word for word, with no attempt at speed: a dict of
counts per context, the entropy summed in ascending byte order with every
single-precision rounding made explicit, and the same platform `logf`.
"""

import ctypes
import ctypes.util
import math
from collections import Counter, defaultdict

_libm = ctypes.CDLL(ctypes.util.find_library("m"))
_libm.logf.restype = ctypes.c_float
_libm.logf.argtypes = [ctypes.c_float]


def f32(x: float) -> float:
    """Rounds a double to the nearest single-precision value (overflow gives inf)."""
    return ctypes.c_float(x).value


def logf(x: float) -> float:
    return _libm.logf(x)


def entropy(counts: Counter) -> float:
    total = sum(counts.values())
    h = 0.0
    for byte in sorted(counts):
        p = f32(counts[byte] / total)
        # p * logf(p) is exact in double; only the difference is rounded to single.
        h = f32(h - p * logf(p))
    return h


def context_model(data: list[int], k: int) -> dict[bytes, Counter]:
    model: dict[bytes, Counter] = defaultdict(Counter)
    for i in range(k, len(data)):
        model[bytes(data[i - k : i])][data[i]] += 1
    return model


def entropies(data: list[int], k: int) -> list[float]:
    """The entropy at every evaluated position k..n-1 (none for a negative k)."""
    if k < 0:
        return []
    by_context = {ctx: entropy(counts) for ctx, counts in context_model(data, k).items()}
    return [by_context[bytes(data[i - k : i])] for i in range(k, len(data))]


def patch_sequence(data: list[int], k: int, theta: float, theta_r: float) -> list[list[int]]:
    theta, theta_r = f32(theta), f32(theta_r)
    first = k if k >= 0 else len(data)
    hs = entropies(data, k)
    patches, current, previous = [], [], 0.0
    for i, byte in enumerate(data):
        current.append(byte)
        if i < first:
            continue
        h = hs[i - first]
        if h > theta or h - previous > theta_r:
            patches.append(current)
            current = []
        previous = h
    if current:
        patches.append(current)
    return patches


def trigram_frequencies(strings: list[bytes]) -> dict[bytes, float]:
    counts = Counter(s[i : i + 3] for s in strings for i in range(len(s) - 2))
    total = sum(counts.values())
    return {gram: count / total for gram, count in counts.items()}


# --- A context model trained on a corpus, with back-off ------------------------------


def corpus_model(documents: list[bytes], k: int, min_count: int = 1) -> list[dict[bytes, float]]:
    """For each context length j = 0..k, the entropy of every context of that length
    seen at least min_count times, counted at the positions i >= k of each document."""
    counts: list[dict[bytes, Counter]] = [defaultdict(Counter) for _ in range(k + 1)]
    for document in documents:
        for i in range(k, len(document)):
            for j in range(k + 1):
                counts[j][document[i - j:i]][document[i]] += 1
    return [{context: entropy(c) for context, c in counts[j].items()
             if sum(c.values()) >= min_count} for j in range(k + 1)]


def backed_off_entropy(model: list[dict[bytes, float]], context: bytes) -> float:
    """The entropy of the longest suffix of `context` that the model holds, else 0."""
    for j in range(len(model) - 1, -1, -1):
        suffix = context[len(context) - j:]
        if suffix in model[j]:
            return model[j][suffix]
    return 0.0


def model_patch_ends(model: list[dict[bytes, float]], data: bytes, theta: float,
                     theta_r: float) -> list[int]:
    k = len(model) - 1
    theta, theta_r = f32(theta), f32(theta_r)
    ends, previous = [], 0.0
    for i in range(k, len(data)):
        h = backed_off_entropy(model, data[i - k:i])
        if h > theta or h - previous > theta_r:
            ends.append(i + 1)
        previous = h
    if data and (not ends or ends[-1] != len(data)):
        ends.append(len(data))
    return ends


# --- Next-byte distributions, unsmoothed and interpolated modified Kneser-Ney --------


def corpus_counts(documents: list[bytes], k: int) -> list[dict[bytes, Counter]]:
    """For each context length j = 0..k, how often each byte followed each context of
    that length, at the positions i >= k of each document."""
    counts: list[dict[bytes, Counter]] = [defaultdict(Counter) for _ in range(k + 1)]
    for document in documents:
        for i in range(k, len(document)):
            for j in range(k + 1):
                counts[j][document[i - j:i]][document[i]] += 1
    return counts


def continuation_counts(counts: list[dict[bytes, Counter]]) -> list[dict[bytes, Counter]]:
    """What Kneser-Ney counts at each length: the counts at the longest, and below it,
    for a context and a byte, how many distinct bytes were seen just before them."""
    k = len(counts) - 1
    smoothed: list[dict[bytes, Counter]] = [defaultdict(Counter) for _ in range(k + 1)]
    smoothed[k] = counts[k]
    for j in range(k):
        for longer, followers in counts[j + 1].items():
            for byte in followers:
                smoothed[j][longer[1:]][byte] += 1  # one more distinct byte before them
    return smoothed


def discounts(followers: list[Counter]) -> tuple[float, float, float]:
    """The discounts for counts 1, 2 and 3 or more, from the count-of-counts of all the
    (context, byte) pairs of one length, as Chen and Goodman give them: Y = n1 / (n1 +
    2 n2), D1 = 1 - 2Y n2/n1, D2 = 2 - 3Y n3/n2, D3+ = 3 - 4Y n4/n3; a ratio over 0
    counts as 0, and each is kept within [0.01, its count]."""
    n = Counter(count for counter in followers for count in counter.values())
    ratio = lambda a, b: a / b if b else 0.0  # noqa: E731
    y = ratio(n[1], n[1] + 2 * n[2])
    raw = (1 - 2 * y * ratio(n[2], n[1]), 2 - 3 * y * ratio(n[3], n[2]),
           3 - 4 * y * ratio(n[4], n[3]))
    return tuple(min(max(d, 0.01), r + 1) for r, d in enumerate(raw))  # type: ignore[return-value]


class KneserNey:
    """The distribution after every context, from the definition: at length j, a
    context's discounted counts plus its weight times the distribution of its suffix
    one byte shorter, down to the uniform distribution below length 0. `kept` lists
    the contexts a model keeps; any other context has the distribution of its longest
    kept suffix."""

    def __init__(self, documents: list[bytes], k: int, kept: set[bytes] | None = None,
                 min_count: int = 1) -> None:
        self.k = k
        raw = corpus_counts(documents, k)
        self.counts = continuation_counts(raw)
        self.discounts = [discounts(list(self.counts[j].values())) for j in range(k + 1)]
        if kept is None:
            kept = {c for j in range(k + 1) for c, f in raw[j].items()
                    if sum(f.values()) >= min_count}
        self.kept = kept

    def full(self, context: bytes) -> list[float]:
        """The distribution of a context the model has counts for (any, if empty)."""
        j = len(context)
        lower = [1 / 256] * 256 if j == 0 else self.full(context[1:])
        followers = self.counts[j][context]
        total = sum(followers.values())
        if total == 0:
            return lower
        d = self.discounts[j]
        discount = lambda c: d[min(c, 3) - 1]  # noqa: E731
        weight = sum(discount(c) for c in followers.values()) / total
        return [(max(followers[b] - discount(followers[b]), 0) / total if b in followers else 0)
                + weight * lower[b] for b in range(256)]

    def distribution(self, context: bytes) -> list[float]:
        context = context[len(context) - min(len(context), self.k):]
        for j in range(len(context), -1, -1):
            suffix = context[len(context) - j:]
            if suffix in self.kept:
                return self.full(suffix)
        return [1 / 256] * 256


def unsmoothed_distribution(counts: list[dict[bytes, Counter]], kept: set[bytes],
                            context: bytes) -> list[float]:
    """The counts of the longest kept suffix of `context` as they are (all 0 if none)."""
    k = len(counts) - 1
    context = context[len(context) - min(len(context), k):]
    for j in range(len(context), -1, -1):
        suffix = context[len(context) - j:]
        if suffix in kept:
            followers = counts[j][suffix]
            total = sum(followers.values())
            return [followers[b] / total for b in range(256)]
    return [0.0] * 256


def entropy_of(distribution: list[float]) -> float:
    return -sum(p * math.log(p) for p in distribution if p > 0)
