import fractions
import math
import random

import pytest

import qelt
import reference

INF, NAN = math.inf, math.nan
ABAB = list(b"abab")


def test_module_surface():
    assert qelt.__doc__ == "QAV-MOS sequence patching module"
    assert [n for n in vars(qelt) if not n.startswith("__")] == [
        "patch_sequence",
        "Patcher",
        "FrequencyTable",
    ]
    assert qelt.patch_sequence.__doc__ == (
        "patch_sequence(bytes: list[int], k: int, theta: float, theta_r: float)"
        " -> list[list[int]]\n\nDivide a sequence into patches based on entropy thresholds\n"
    )


@pytest.mark.parametrize(
    ("data", "k", "theta", "theta_r", "expected"),
    [
        ([], 1, 0.5, 0.5, []),
        ([], -1, -INF, -INF, []),
        ([1, 2, 1, 3], 1, 0.5, 10.0, [[1, 2], [1, 3]]),
        (list(b"abcabd"), 2, 0.5, 10.0, [list(b"abc"), list(b"abd")]),
        (ABAB, 0, 0.5, 0.1, [[97], [98], [97], [98]]),
        (ABAB, 0, 1.0, 0.1, [[97], [98, 97, 98]]),
        (ABAB, 0, 1.0, -0.1, [[97], [98], [97], [98]]),
        (ABAB, 0, INF, 0.1, [[97], [98, 97, 98]]),
        (ABAB, 0, 1e300, 0.1, [[97], [98, 97, 98]]),
        (ABAB, 0, -INF, INF, [[97], [98], [97], [98]]),
        (ABAB, 0, NAN, NAN, [ABAB]),
        (ABAB, 0, NAN, 0.1, [[97], [98, 97, 98]]),
        (list(b"aaaa"), 1, -0.5, 1.0, [[97, 97], [97], [97]]),
        (list(b"aaaa"), 1, 1.0, -0.5, [[97, 97], [97], [97]]),
        (list(b"aaaa"), 1, -0.0, 0.0, [list(b"aaaa")]),
        (list(b"aaaa"), 4, -INF, -INF, [list(b"aaaa")]),
        (list(b"aaaa"), -1, -INF, -INF, [list(b"aaaa")]),
        (list(b"aaaa"), -(2**31), -INF, -INF, [list(b"aaaa")]),
        (list(b"aaaa"), 2**31 - 1, -INF, -INF, [list(b"aaaa")]),
    ],
)
def test_patches(data, k, theta, theta_r, expected):
    assert qelt.patch_sequence(data, k, theta, theta_r) == expected


def test_keyword_arguments():
    assert qelt.patch_sequence(bytes=[1, 2, 1, 3], k=1, theta=0.5, theta_r=10.0) == [
        [1, 2],
        [1, 3],
    ]


@pytest.mark.parametrize(
    "data",
    [bytearray(b"abab"), list(b"abab"), tuple(b"abab"), range(97, 99), [True, 98]],
    ids=["bytearray", "list", "tuple", "range", "bool"],
)
def test_accepted_sequences(data):
    patches = qelt.patch_sequence(data, 0, 0.5, 0.1)
    assert sum(patches, []) == [int(x) for x in data]


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def test_accepted_numbers():
    data = [Index(97), fractions.Fraction(197, 2), 97, 98]
    assert qelt.patch_sequence(data, Index(0), 1, fractions.Fraction(1, 10)) == [
        [97],
        [98, 97, 98],
    ]


@pytest.mark.parametrize(
    "args",
    [
        (b"abab", 0, 0.5, 0.1),
        ("abab", 0, 0.5, 0.1),
        ([256], 0, 0.5, 0.1),
        ([-1], 0, 0.5, 0.1),
        ([97.0], 0, 0.5, 0.1),
        (["a"], 0, 0.5, 0.1),
        ([None], 0, 0.5, 0.1),
        (None, 0, 0.5, 0.1),
        ({1: 2}, 0, 0.5, 0.1),
        ([1], 1.0, 0.5, 0.1),
        ([1], 2**31, 0.5, 0.1),
        ([1], -(2**31) - 1, 0.5, 0.1),
        ([1], "1", 0.5, 0.1),
        ([1], 0, "0.5", 0.1),
        ([1], 0, 0.5, None),
        ([1], 0, 10**400, 0.1),
        ([1], 0, 0.5),
    ],
)
def test_refused_arguments(args):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        qelt.patch_sequence(*args)


def test_sequence_errors_propagate_unchanged():
    class Broken:
        def __len__(self):
            return 3

        def __getitem__(self, i):
            raise KeyError("from getitem")

    with pytest.raises(KeyError, match="from getitem"):
        qelt.patch_sequence(Broken(), 0, 0.5, 0.5)


def test_thresholds_are_narrowed_to_single_precision():
    # Choose a sequence whose k=0 entropy lies between the double 0.1 and its float.
    f01 = reference.f32(0.1)
    assert f01 > 0.1
    data = [0] * 97 + [1] * 3  # entropy of a 97:3 split
    h = reference.entropies(data, 0)[0]
    for theta in (0.1, f01):
        expected = reference.patch_sequence(data, 0, theta, INF)
        assert qelt.patch_sequence(data, 0, theta, INF) == expected
    # As a float the threshold equals the entropy it was set from: no boundary.
    assert qelt.patch_sequence(data, 0, h, h) == [data]
    below = math.nextafter(h, 0)
    assert reference.f32(below) == h
    assert qelt.patch_sequence(data, 0, below, INF) == [data]


def special_thresholds(rng: random.Random, hs: list[float]) -> list[float]:
    """Thresholds worth testing: special values, the entropies seen, their rises,
    and one single-precision step on either side of each."""
    rises = [b - a for a, b in zip([0.0] + hs, hs)]
    picked = rng.sample(hs, min(3, len(hs))) + rng.sample(rises, min(3, len(rises)))
    near = []
    for x in picked:
        x = reference.f32(x)
        step_up = reference.f32(math.nextafter(x, INF) if x == 0 else x * (1 + 2**-23))
        step_down = reference.f32(x * (1 - 2**-24)) if x else -5e-45
        near += [x, step_up, step_down]
    return [INF, -INF, NAN, 0.0, -0.0, 5e-45, -5e-45, 1e300, -1e300, 0.5, 2.0] + near


def random_sequence(rng: random.Random) -> list[int]:
    n = rng.choice([0, 1, 2, 5, 17, 60, 300])
    alphabet = rng.choice([1, 2, 3, 8, 256])
    return [rng.randrange(alphabet) for _ in range(n)]


@pytest.mark.parametrize("seed", range(40))
def test_matches_reference_on_random_sequences(seed):
    rng = random.Random(seed)
    data = random_sequence(rng)
    for k in {0, 1, 2, 3, rng.randrange(-3, 8), len(data), -(2**31), 2**31 - 1}:
        thresholds = special_thresholds(rng, reference.entropies(data, k))
        for _ in range(12):
            theta, theta_r = rng.choice(thresholds), rng.choice(thresholds)
            expected = reference.patch_sequence(data, k, theta, theta_r)
            assert qelt.patch_sequence(data, k, theta, theta_r) == expected, (k, theta, theta_r)


@pytest.mark.parametrize("k", [0, 1, 2, 3, 4, 6, 12])
def test_matches_reference_on_real_text(real_text, k):
    data = list(real_text[:20000])
    hs = reference.entropies(data, k)
    rng = random.Random(k)
    for theta, theta_r in [(2.0, 1.0), (1.0, 0.5), (3.0, INF), (INF, 0.0)] + [
        (rng.choice(hs), rng.choice(hs)) for _ in range(4)
    ]:
        expected = reference.patch_sequence(data, k, theta, theta_r)
        assert qelt.patch_sequence(data, k, theta, theta_r) == expected


def test_patches_reassemble_the_input(real_text):
    data = list(real_text)
    patches = qelt.patch_sequence(data, 3, 1.5, 0.5)
    assert sum(patches, []) == data
    assert all(patches)
    assert len(patches) > 10
