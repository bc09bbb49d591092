"""The fast conversion paths of patch_sequence accept and refuse exactly what the
generic pybind11 conversion does, and give the same patches."""

import gc

import pytest

import qelt

ABAB = [97, 98, 97, 98]
EXPECTED = [[97], [98, 97, 98]]


class ListSubclass(list):
    pass


class TupleSubclass(tuple):
    pass


class BytearraySubclass(bytearray):
    pass


class IntSubclass(int):
    pass


class Sequence:
    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


@pytest.mark.parametrize(
    "make",
    [list, tuple, bytearray, ListSubclass, TupleSubclass, BytearraySubclass, Sequence,
     lambda x: [IntSubclass(v) for v in x], lambda x: tuple(map(IntSubclass, x)),
     lambda x: memoryview(bytes(x)).tolist()],
)
def test_every_path_gives_the_same_patches(make):
    assert qelt.patch_sequence(make(ABAB), 0, 1.0, 0.1) == EXPECTED


@pytest.mark.parametrize("bad", [256, -1, 2**64, -(2**64), 97.0, "a", None, b"a", [97]])
@pytest.mark.parametrize("container", [list, tuple, ListSubclass, Sequence])
def test_every_path_refuses_the_same_elements(container, bad):
    for position in (0, 3):
        items = list(ABAB)
        items[position] = bad
        with pytest.raises(TypeError, match="incompatible function arguments"):
            qelt.patch_sequence(container(items), 0, 1.0, 0.1)


def test_large_inputs_through_each_path():
    data = bytes(range(256)) * 40
    expected = qelt.patch_sequence(Sequence(list(data)), 2, 4.0, 0.5)
    for arg in (list(data), tuple(data), bytearray(data), ListSubclass(data)):
        assert qelt.patch_sequence(arg, 2, 4.0, 0.5) == expected


@pytest.mark.parametrize("enabled", [True, False])
def test_collector_state_is_kept(enabled):
    was = gc.isenabled()
    try:
        gc.enable() if enabled else gc.disable()
        qelt.patch_sequence(list(range(256)) * 10, 0, -1.0, 0.0)
        assert gc.isenabled() is enabled
    finally:
        gc.enable() if was else gc.disable()


def test_result_lists_are_independent_and_tracked():
    patches = qelt.patch_sequence([1, 2, 1, 3], 1, 0.5, 10.0)
    patches[0].append(patches)  # a cycle through a result list is collectable
    assert all(gc.is_tracked(p) for p in patches)
    assert patches[1] == [1, 3]
