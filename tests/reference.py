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
