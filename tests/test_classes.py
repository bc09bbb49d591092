import random
import subprocess
import sys

import pytest

import qelt
import reference


@pytest.mark.parametrize(
    ("cls", "methods"),
    [
        (
            qelt.Patcher,
            {
                "__init__": "__init__(self: qelt.Patcher) -> None",
                "patch_sequence": "patch_sequence(self: qelt.Patcher, arg0: str, arg1: list[int])"
                " -> None",
                "get_patched_sequence": "get_patched_sequence(self: qelt.Patcher) -> str",
                "reset": "reset(self: qelt.Patcher) -> None",
            },
        ),
        (
            qelt.FrequencyTable,
            {
                "__init__": "__init__(self: qelt.FrequencyTable) -> None",
                "add_sequence": "add_sequence(self: qelt.FrequencyTable, arg0: str) -> None",
                "get_frequency": "get_frequency(self: qelt.FrequencyTable, arg0: str) -> float",
                "clear": "clear(self: qelt.FrequencyTable) -> None",
            },
        ),
    ],
)
def test_class_surface(cls, methods):
    assert cls.__doc__ is None
    own = [n for n in vars(cls) if n not in ("__doc__", "__module__")]
    assert own == ["__init__", "_pybind11_conduit_v1_", *list(methods)[1:]]
    for name, signature in methods.items():
        assert getattr(cls, name).__doc__ == signature + "\n"
    instance = cls()
    with pytest.raises(AttributeError):
        instance.extra = 1
    assert not hasattr(instance, "__dict__")


def test_patcher_holds_a_sequence():
    p = qelt.Patcher()
    assert p.get_patched_sequence() == ""
    indices = [1, -2, 3]
    p.patch_sequence("héllo", indices)
    assert indices == [1, -2, 3]
    assert p.get_patched_sequence() == "héllo"
    p.patch_sequence(b"new", [])
    assert p.get_patched_sequence() == "new"
    p.patch_sequence(bytearray(b"\x00ab"), (2**31 - 1, -(2**31)))
    assert p.get_patched_sequence() == "\x00ab"
    p.reset()
    assert p.get_patched_sequence() == ""
    p.reset()
    assert p.get_patched_sequence() == ""


def test_patcher_keeps_bytes_that_are_not_utf8():
    p = qelt.Patcher()
    p.patch_sequence(b"\xff", [])
    for _ in range(2):
        with pytest.raises(UnicodeDecodeError):
            p.get_patched_sequence()
    p.reset()
    assert p.get_patched_sequence() == ""


@pytest.mark.parametrize(
    "args",
    [
        ("abc", None),
        ("abc", [1.0]),
        ("abc", [2**31]),
        ("abc", "123"),
        ("abc", b"123"),
        ("\ud800", []),
        (None, []),
        (1, []),
    ],
)
def test_patcher_refuses(args):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        qelt.Patcher().patch_sequence(*args)


def test_frequency_table_counts_utf8_trigrams():
    t = qelt.FrequencyTable()
    assert t.get_frequency("abc") == 0.0
    t.add_sequence("abcab")
    assert t.get_frequency("bca") == 1 / 3
    assert t.get_frequency("zzz") == 0.0
    assert t.get_frequency("ab") == 0.0
    t.clear()
    assert t.get_frequency("bca") == 0.0
    t.add_sequence("éé")
    assert t.get_frequency("é") == 0.0
    assert t.get_frequency(b"\xc3\xa9\xc3") == 0.5
    assert t.get_frequency("é".encode() + b"\xc3") == 0.5
    t.add_sequence(bytearray(b"\x00\x00\x00"))
    assert t.get_frequency(b"\x00\x00\x00") == 1 / 3


@pytest.mark.parametrize(
    ("call", "args", "kwargs"),
    [
        ("add_sequence", ("\ud800",), {}),
        ("add_sequence", (None,), {}),
        ("add_sequence", (), {"arg0": "abc"}),
        ("get_frequency", (), {"arg0": "abc"}),
        ("get_frequency", ("abc", "d"), {}),
        ("clear", (1,), {}),
    ],
)
def test_frequency_table_refuses(call, args, kwargs):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        getattr(qelt.FrequencyTable(), call)(*args, **kwargs)


@pytest.mark.parametrize("seed", range(8))
def test_frequencies_match_reference_count(seed):
    rng = random.Random(seed)
    alphabet = ["a", "b", "\x00", "é", "ß", "€", "𝄞"][: rng.randrange(2, 8)]
    strings = ["".join(rng.choices(alphabet, k=rng.randrange(0, 40))) for _ in range(10)]
    t = qelt.FrequencyTable()
    for s in strings:
        t.add_sequence(s)
    expected = reference.trigram_frequencies([s.encode() for s in strings])
    for gram, frequency in expected.items():
        assert t.get_frequency(gram) == frequency
    assert t.get_frequency("zzz") == 0.0


def test_subclasses_work():
    class CountingTable(qelt.FrequencyTable):
        def __init__(self):
            super().__init__()
            self.calls = 0

        def add_sequence(self, s):
            self.calls += 1
            super().add_sequence(s)

    t = CountingTable()
    t.add_sequence("abcd")
    assert (t.calls, t.get_frequency("bcd")) == (1, 0.5)

    class Tagged(qelt.Patcher):
        pass

    p = Tagged()
    p.patch_sequence("xyz", [])
    assert p.get_patched_sequence() == "xyz"


NONE_AS_SELF = [
    "qelt.Patcher.reset(None)",
    "qelt.Patcher.get_patched_sequence(None)",
    "qelt.Patcher.patch_sequence(None, 'abc', [])",
    "qelt.FrequencyTable.add_sequence(None, 'abc')",
    "qelt.FrequencyTable.get_frequency(None, 'abc')",
    "qelt.FrequencyTable.clear(None)",
    "qelt.FrequencyTable.__init__(None)",
]


@pytest.mark.parametrize("call", NONE_AS_SELF)
def test_none_as_self_raises_type_error(call):
    # In a child process, so that a crash shows as a failure of this test alone.
    code = f"import qelt\ntry:\n    {call}\nexcept TypeError:\n    print('TypeError')\n"
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert (result.returncode, result.stdout) == (0, "TypeError\n"), result.stderr
