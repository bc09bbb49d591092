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
        k: As for :func:`patch_ends`.
        theta: As for :func:`patch_ends`.
        theta_r: As for :func:`patch_ends`.
        max_patch_length: As for :func:`patch_ends`.

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


def _first(first: object) -> int:
    return _arguments.integer("first", first, 0, 2**63 - 1)


def patch_ends_from_entropies(
    entropies: npt.ArrayLike,
    theta: SupportsFloat | SupportsIndex,
    theta_r: SupportsFloat | SupportsIndex,
    *,
    max_patch_length: int | None = None,
    first: SupportsIndex = 0,
) -> npt.NDArray[np.int64]:
    """The end offset of every patch of a document whose entropies come from any model
    (one per byte, in nats), cut by the rules of :func:`patch_ends`.

    Each position ``i >= first`` closes its patch when its entropy is above ``theta``,
    or else rose by more than ``theta_r`` over the entropy at ``i - 1`` (over 0.0 at
    ``first``); both tests strict and in single precision, as patch_ends makes them.
    Positions before ``first`` are not judged (``max_patch_length`` still cuts there).
    The last byte always ends the last patch.

    Args:
        entropies: A 1-D array of floats, one per byte (converted to ``float32``).
        theta: As for :func:`patch_ends`.
        theta_r: As for :func:`patch_ends`.
        max_patch_length: As for :func:`patch_ends`.
        first: The first position judged (an int >= 0).

    Raises:
        ValueError: An entropy is NaN (the message names its position); the array is
            not one-dimensional.

    Example:
        >>> import numpy as np
        >>> patch_ends_from_entropies(np.array([0, 3, 0.5, 2.5], np.float32), 2.0, 1.0)
        array([2, 4])
    """
    import numpy as np

    values = np.ascontiguousarray(entropies, dtype=np.float32)
    if values.ndim != 1:
        raise ValueError(f"entropies must be one-dimensional, not {values.ndim}-dimensional")
    settings = _arguments.thresholds(theta, theta_r, max_patch_length)
    return _native.patch_ends_from_entropies(values, _first(first), *settings)


def patch_ends_from_entropies_batch(
    lists: pa.Array | pa.ChunkedArray,
    theta: SupportsFloat | SupportsIndex,
    theta_r: SupportsFloat | SupportsIndex,
    *,
    max_patch_length: int | None = None,
    first: SupportsIndex = 0,
) -> pa.ListArray | pa.ChunkedArray:
    """The patch ends of every row of an Arrow list (or large list) array of float
    entropies, as :func:`patch_ends_from_entropies` gives them for each: shaped as
    :func:`patch_ends_batch` returns them, a null row staying null.

    Raises:
        TypeError: ``lists`` is not an Arrow list array of floats.
        ValueError: An entropy is null or NaN (the message names its row and position).
    """
    import numpy as np

    pa = _arrow.pyarrow()
    settings = _arguments.thresholds(theta, theta_r, max_patch_length)
    start = _first(first)
    lists = _arrow.as_pyarrow(lists, "lists")
    chunked = isinstance(lists, pa.ChunkedArray)
    if not isinstance(lists, (pa.Array, pa.ChunkedArray)) or not (
            (pa.types.is_list(lists.type) or pa.types.is_large_list(lists.type))
            and pa.types.is_floating(lists.type.value_type)):
        raise TypeError("lists must be an Arrow list or large list array of floats, not "
                        f"{getattr(lists, 'type', type(lists).__name__)}")
    results = []
    for chunk in (lists.chunks if chunked else [lists]):
        values = chunk.values
        if values.null_count:
            raise ValueError("lists hold a null entropy")
        values = np.ascontiguousarray(values.to_numpy(zero_copy_only=False), dtype=np.float32)
        offsets = np.ascontiguousarray(chunk.offsets.to_numpy(), dtype=np.int64)
        results.append(_arrow.ends_list(chunk, *_native.patch_ends_from_entropy_lists(
            offsets, values, start, *settings)))
    if chunked:
        return pa.chunked_array(results, type=pa.list_(pa.int64()))
    return results[0]
