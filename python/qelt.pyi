"""QAV-MOS sequence patching module.

Cuts byte sequences into variable-length patches by context entropy: a patch ends
right after each byte that is hard to predict from the ``k`` bytes before it.

Example:
    >>> import qelt
    >>> qelt.patch_sequence(list(b"abcabd"), k=2, theta=0.5, theta_r=10.0)
    [[97, 98, 99], [97, 98, 100]]
"""

def patch_sequence(
    bytes: list[int] | tuple[int, ...] | bytearray | range,
    k: int,
    theta: float,
    theta_r: float,
) -> list[list[int]]:
    """Divide a sequence into patches based on entropy thresholds.

    An order-``k`` model is trained on the sequence itself: for every context of
    ``k`` bytes, how often each byte value followed it. At each position ``i >= k``
    the entropy ``H`` (nats) of the bytes that followed the context before ``i`` is
    taken; the byte at ``i`` ends a patch when ``H > theta``, or when ``H`` rose by
    more than ``theta_r`` over the previous position's entropy (the first evaluated
    position compares with 0.0). Both thresholds are compared as single-precision
    floats. The call holds the GIL from start to end.

    Args:
        bytes: The byte values 0..255, as a list, tuple, bytearray or range (any
            sequence of ints except ``str`` and ``bytes``; pass ``bytearray(data)``
            for a ``bytes`` object).
        k: Context length in bytes. A ``k`` that is negative or not smaller than the
            length of ``bytes`` gives the whole sequence as one patch.
        theta: Absolute entropy threshold, in nats.
        theta_r: Threshold on the rise of the entropy over the previous position.

    Returns:
        The patches, in order: non-empty lists whose concatenation is ``bytes``.

    Raises:
        TypeError: An argument does not convert: ``bytes`` is a ``bytes`` or ``str``
            object, holds an element outside 0..255 or a float; ``k`` is a float or
            outside the 32-bit range; a threshold is not a number.
        MemoryError: The input is too large for the memory available.

    Example:
        >>> qelt.patch_sequence([1, 2, 1, 3], k=1, theta=0.5, theta_r=10.0)
        [[1, 2], [1, 3]]
    """

class Patcher:
    """Holds a byte sequence and gives back its patched form.

    Example:
        >>> p = qelt.Patcher()
        >>> p.patch_sequence("héllo", [])
        >>> p.get_patched_sequence()
        'héllo'
    """

    def __init__(self) -> None:
        """Creates an empty patcher: ``get_patched_sequence()`` returns ``''``."""

    def patch_sequence(
        self, arg0: str | bytes | bytearray, arg1: list[int] | tuple[int, ...], /
    ) -> None:
        """Stores ``arg0`` as the sequence, replacing what was held.

        Args:
            arg0: The sequence; a ``str`` is stored as its UTF-8 bytes, ``bytes`` and
                ``bytearray`` byte for byte.
            arg1: Integers in the 32-bit range; checked, never read or changed.

        Raises:
            TypeError: ``arg0`` is not a string or holds a lone surrogate, or
                ``arg1`` is not a sequence of 32-bit integers.

        Example:
            >>> p.patch_sequence(b"abc", [1, 2, 3])
        """

    def get_patched_sequence(self) -> str:
        """The sequence held, decoded as UTF-8; ``''`` when empty.

        Raises:
            UnicodeDecodeError: The bytes held are not valid UTF-8 (they were given
                as ``bytes`` or ``bytearray``); the patcher keeps them.

        Example:
            >>> p.get_patched_sequence()
            'abc'
        """

    def reset(self) -> None:
        """Forgets the sequence held.

        Example:
            >>> p.reset(); p.get_patched_sequence()
            ''
        """

class FrequencyTable:
    """Counts the byte trigrams of the strings added to it.

    Example:
        >>> t = qelt.FrequencyTable()
        >>> t.add_sequence("abcab")
        >>> t.get_frequency("bca")
        0.3333333333333333
    """

    def __init__(self) -> None:
        """Creates an empty table: every frequency is 0.0."""

    def add_sequence(self, arg0: str | bytes | bytearray, /) -> None:
        """Counts each of the ``len - 2`` overlapping trigrams of ``arg0``.

        A ``str`` is counted over its UTF-8 bytes, so a non-ASCII character adds two
        to four bytes; ``bytes`` and ``bytearray`` count byte for byte. Fewer than 3
        bytes count nothing.

        Raises:
            TypeError: ``arg0`` is not a string or holds a lone surrogate.
            OverflowError: More than 2**31 - 1 trigrams in all.

        Example:
            >>> t.add_sequence("aaaa"); t.get_frequency("aaa")
            1.0
        """

    def get_frequency(self, arg0: str | bytes | bytearray, /) -> float:
        """The count of trigram ``arg0`` over the number of trigrams added.

        0.0 when nothing was added or the trigram never was (any key that is not 3
        bytes long is never counted).

        Raises:
            TypeError: ``arg0`` is not a string or holds a lone surrogate.

        Example:
            >>> t.get_frequency("zzz")
            0.0
        """

    def clear(self) -> None:
        """Forgets every trigram counted.

        Example:
            >>> t.clear(); t.get_frequency("abc")
            0.0
        """
