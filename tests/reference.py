"""Obviously-correct reference implementations that the module is checked against.

They follow the definitions word for word, with no attempt at speed: a dict of
counts per context, the entropy summed in ascending byte order with every
single-precision rounding made explicit, and the same platform `logf`.
"""

import ctypes
import ctypes.util
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
