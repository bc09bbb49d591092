"""Patch ends of buffers and Arrow arrays, with a model trained on each document."""

from __future__ import annotations

from typing import TYPE_CHECKING, SupportsFloat, SupportsIndex

from . import _arguments, _arrow, _native

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt
    import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]
    from typing_extensions import Buffer, TypeAlias

    # What the buffer protocol offers, spelled out for NumPy, whose stubs do not say
    # that arrays are buffers.
    BytesLike: TypeAlias = Buffer | npt.NDArray[np.uint8] | npt.NDArray[np.int8]


def patch_ends(
    data: BytesLike,
    k: SupportsIndex,
    theta: SupportsFloat | SupportsIndex,
    theta_r: SupportsFloat | SupportsIndex,
    *,
    max_patch_length: int | None = None,
) -> npt.NDArray[np.int64]:
    """The end offset of every patch of ``data``, as ``qelt.patch_sequence`` cuts it.

    ``data`` is read in place, without a copy, and the GIL is released while it is
    patched, so threads patch documents in parallel.

    Args:
        data: A C-contiguous buffer of single bytes: ``bytes``, ``bytearray``,
            ``memoryview``, ``mmap`` or a 1-D ``numpy.uint8`` array.
        k: Context length in bytes (a 32-bit integer). A ``k`` that is negative or not
            smaller than ``len(data)`` gives one patch.
        theta: Absolute entropy threshold in nats, compared in single precision.
        theta_r: Threshold on the rise of the entropy over the previous position.
        max_patch_length: If given (an int >= 1), every patch longer than this is cut
            into pieces of this many bytes from its start, the last piece shorter.

    Returns:
        A 1-D ``int64`` array: patch ``j`` is ``data[ends[j - 1]:ends[j]]`` (from 0 for
        the first); the last end is ``len(data)``. Empty for empty ``data``.

    Raises:
        TypeError: ``data`` is not a buffer of single bytes (``str``, a list, an
            ``int32`` array, ``None``), ``k`` is not an integer, a threshold is not a
            number.
        ValueError: ``data`` is not C-contiguous or not one-dimensional;
            ``max_patch_length`` is below 1.
        OverflowError: ``k`` is outside the signed 32-bit range.

    Example:
        >>> patch_ends(b"abcabd", k=2, theta=0.5, theta_r=10.0)
        array([3, 6])
    """
    context = _arguments.context_length(k)
    settings = _arguments.thresholds(theta, theta_r, max_patch_length)
    return _native.patch_ends(data, context, *settings)


def patch_ends_batch(
    documents: pa.Array | pa.ChunkedArray,
    k: SupportsIndex,
    theta: SupportsFloat | SupportsIndex,
    theta_r: SupportsFloat | SupportsIndex,
    *,
    max_patch_length: int | None = None,
) -> pa.ListArray | pa.ChunkedArray:
    """The patch ends of every document of an Arrow array, each patched on its own.

    One native call per chunk reads Arrow's buffers in place, with the GIL released;
    no Python object is made per document or per patch.

    Args:
        documents: A ``pyarrow`` Array or ChunkedArray of ``binary``, ``large_binary``,
            ``string`` or ``large_string`` (strings count as their UTF-8 bytes).
        k, theta, theta_r, max_patch_length: As for :func:`patch_ends`.

    Returns:
        A ``ListArray`` of ``int64`` (a ``ChunkedArray`` of them, chunk for chunk, for
        a ChunkedArray): entry ``i`` is ``patch_ends(documents[i], ...)``; null for a
        null document, empty for an empty one.

    Raises:
        TypeError: ``documents`` is not an Arrow array of those types; the other
            arguments as for :func:`patch_ends`.
        ValueError: A malformed array (offsets past its data); more than 2**31 - 1
            patches in one chunk.

    Example:
        >>> import pyarrow as pa
        >>> patch_ends_batch(pa.array(["abcabd", None, ""]), 2, 0.5, 10.0).to_pylist()
        [[3, 6], None, []]
    """
    context = _arguments.context_length(k)
    settings = _arguments.thresholds(theta, theta_r, max_patch_length)

    def call(validity, offsets, data, offset, length, width):  # type: ignore[no-untyped-def]
        return _native.patch_ends_arrow(
            validity, offsets, data, offset, length, width, context, *settings
        )

    return _arrow.map_chunks(documents, call)
