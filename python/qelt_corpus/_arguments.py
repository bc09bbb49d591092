"""Conversion of the arguments shared by every patching call, with clear errors.

The values accepted, and what they become, are those of ``qelt.patch_sequence``: a
context length that is an integer in the signed 32-bit range, thresholds that are
numbers (compared after rounding to single precision, which the native code does).
"""

from __future__ import annotations

import operator
from typing import NamedTuple, SupportsFloat, SupportsIndex

_INT32 = 2**31
_MAX_LENGTH = 2**64 - 1


def context_length(k: object) -> int:
    """``k`` as an int in the signed 32-bit range: an int, an object with
    ``__index__``, or another non-float number that ``int()`` truncates."""
    if isinstance(k, (float, str, bytes, bytearray)):
        raise TypeError(f"k must be an integer, not {type(k).__name__}")
    try:
        value = operator.index(k)  # type: ignore[arg-type]
    except TypeError:
        if not hasattr(type(k), "__int__"):
            raise TypeError(f"k must be an integer, not {type(k).__name__}") from None
        value = int(k)  # type: ignore[call-overload]
    if not -_INT32 <= value < _INT32:
        raise OverflowError(f"k must lie in the signed 32-bit range, got {value}")
    return value


def threshold(name: str, value: object, *, nan: bool = True) -> float:
    """A threshold as a Python float: any number with ``__float__`` or ``__index__``,
    never a string; NaN only if `nan` (no entropy passes a NaN threshold, so a NaN
    where a threshold decides is a mistake: ValueError)."""
    kind = type(value)
    if isinstance(value, (str, bytes, bytearray)) or not (
        hasattr(kind, "__float__") or hasattr(kind, "__index__")
    ):
        raise TypeError(f"{name} must be a number, not {kind.__name__}")
    number = float(value)  # type: ignore[arg-type]
    if not nan and number != number:
        raise ValueError(f"{name} must not be NaN")
    return number


def integer(name: str, value: object, lowest: int, highest: int | None = None) -> int:
    """`value` as an int (an int or an object with ``__index__``, never a float) in
    lowest..highest: TypeError for what is not an integer, ValueError outside."""
    if isinstance(value, float):
        raise TypeError(f"{name} must be an integer, not float")
    try:
        number = operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None
    if number < lowest or (highest is not None and number > highest):
        bounds = f"at least {lowest}" if highest is None else f"between {lowest} and {highest}"
        raise ValueError(f"{name} must be {bounds}, got {number}")
    return number


def max_patch_length(value: object) -> int:
    """The native form of ``max_patch_length``: 0 for None (no limit), else an int >= 1."""
    if value is None:
        return 0
    # Any length past the largest document is no limit.
    return min(integer("max_patch_length", value, 1), _MAX_LENGTH)


class Thresholds(NamedTuple):
    theta: float
    theta_r: float
    max_length: int


def thresholds(
    theta: SupportsFloat | SupportsIndex,
    theta_r: SupportsFloat | SupportsIndex,
    max_length: int | None,
) -> Thresholds:
    return Thresholds(threshold("theta", theta, nan=False),
                      threshold("theta_r", theta_r, nan=False), max_patch_length(max_length))
