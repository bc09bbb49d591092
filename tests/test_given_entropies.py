"""Patching by entropies from any model, against the rules written out here."""

import math
import random

import numpy as np
import pyarrow as pa
import pytest
import reference
from qelt_corpus import (
    patch_ends,
    patch_ends_from_entropies,
    patch_ends_from_entropies_batch,
)


def rule(entropies, theta, theta_r, first=0, max_patch_length=None):
    """The rules of patch_ends, applied to given entropies."""
    theta, theta_r = reference.f32(theta), reference.f32(theta_r)
    ends, previous = [], 0.0
    for i in range(first, len(entropies)):
        h = float(np.float32(entropies[i]))
        if h > theta or h - previous > theta_r:
            ends.append(i + 1)
        previous = h
    if entropies and (not ends or ends[-1] != len(entropies)):
        ends.append(len(entropies))
    if max_patch_length is not None:
        cut, start = [], 0
        for end in ends:
            while end - start > max_patch_length:
                start += max_patch_length
                cut.append(start)
            cut.append(end)
            start = end
        ends = cut
    return ends


THRESHOLDS = [(1.0, 0.5), (0.0, 0.0), (-1.0, 1.0), (2.0, -0.5), (math.inf, 0.2),
              (-math.inf, math.inf), (-math.inf, -math.inf), (1.5, math.inf)]


@pytest.mark.parametrize("theta,theta_r", THRESHOLDS)
@pytest.mark.parametrize("seed", range(6))
def test_the_rules_applied_to_given_entropies(seed, theta, theta_r):
    rng = random.Random(seed)
    for _ in range(20):
        n = rng.randint(0, 80)
        # A few repeated levels, so that equal entropies and zero rises are common.
        levels = [0.0, 0.5, 1.0, 1.0000001, 2.0, 3.5]
        entropies = [rng.choice(levels) for _ in range(n)]
        first = rng.randint(0, n + 2)
        longest = rng.choice([None, 1, 3, 7])
        expected = rule(entropies, theta, theta_r, first, longest)
        got = patch_ends_from_entropies(np.array(entropies, np.float32), theta, theta_r,
                                        max_patch_length=longest, first=first)
        assert got.tolist() == expected


def test_entropies_of_a_model_cut_as_the_model_does(real_text):
    from qelt_corpus import ContextModel

    model = ContextModel.train([real_text[:20000]], 3, smoothing="kneser-ney")
    probe = real_text[20000:24000]
    assert patch_ends_from_entropies(model.entropies(probe), 2.0, 0.5, first=3).tolist() == \
        model.patch_ends(probe, 2.0, 0.5).tolist()
    assert patch_ends(probe, 3, 2.0, 0.5).size  # and the arrays agree in kind


@pytest.mark.parametrize("where", [0, 5, 99])
def test_a_nan_entropy_is_named(where):
    entropies = np.ones(100, np.float32)
    entropies[where] = np.nan
    with pytest.raises(ValueError, match=f"position {where} is NaN"):
        patch_ends_from_entropies(entropies, 1.0, 1.0, first=50)


@pytest.mark.parametrize("large", [False, True])
def test_batches_of_lists_give_each_row_its_ends_and_nulls_stay_null(large):
    rng = random.Random(1)
    rows = [[rng.choice([0.0, 1.0, 2.5]) for _ in range(rng.randint(0, 30))] for _ in range(40)]
    rows[3] = None
    kind = pa.large_list(pa.float32()) if large else pa.list_(pa.float64())
    array = pa.array(rows, kind).slice(2)
    got = patch_ends_from_entropies_batch(array, 1.0, 0.5, first=1, max_patch_length=4)
    expected = [None if row is None else rule(row, 1.0, 0.5, 1, 4) for row in rows[2:]]
    assert got.to_pylist() == expected
    chunked = pa.chunked_array([array.slice(0, 10), array.slice(10)])
    assert patch_ends_from_entropies_batch(chunked, 1.0, 0.5, first=1,
                                           max_patch_length=4).to_pylist() == expected
    with pytest.raises(ValueError, match="row 1: the entropy at position 2 is NaN"):
        patch_ends_from_entropies_batch(pa.array([[1.0], [0.0, 1.0, math.nan]]), 1.0, 1.0)
    with pytest.raises(TypeError, match="list"):
        patch_ends_from_entropies_batch(pa.array([b"abc"]), 1.0, 1.0)


def test_entropies_at_a_misaligned_address_are_read_as_any_others():
    # NumPy views at odd byte offsets (and arrays Dask unpickles from its frames) are
    # not aligned for float32; the sanitized suite would flag a typed read of them.
    entropies = np.array([0.5, 3.0, 0.1, 2.5, 0.2], np.float32)
    raw = np.zeros(entropies.nbytes + 1, np.uint8)
    raw[1:] = entropies.view(np.uint8)
    misaligned = raw[1:].view(np.float32)
    assert not misaligned.flags.aligned
    assert (patch_ends_from_entropies(misaligned, 1.0, 9.0).tolist()
            == patch_ends_from_entropies(entropies, 1.0, 9.0).tolist() == [2, 4, 5])
