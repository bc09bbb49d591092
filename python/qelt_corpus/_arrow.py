"""Arrow arrays of documents in, Arrow list arrays of patch ends out.

Each chunk is handed to the native code as its buffers (validity, offsets, data), which
it reads in place; the ends come back as two NumPy arrays that become the buffers of
the result without a copy.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Callable

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt
    import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]

# (validity, offsets, data, offset, length, offset width) -> (list offsets, ends)
ChunkCall = Callable[
    [Any, Any, Any, int, int, int], "tuple[npt.NDArray[np.int32], npt.NDArray[np.int64]]"
]


def pyarrow() -> Any:
    try:
        import pyarrow
    except ImportError as error:  # pragma: no cover - pyarrow comes with the extra
        raise ImportError(
            "Arrow batches need pyarrow: pip install 'qelt[corpus]'"
        ) from error
    return pyarrow


def is_arrow(value: object) -> bool:
    """Whether `value` is Arrow data: a pyarrow object, or any object that exports the
    Arrow PyCapsule interface (Polars, DuckDB, nanoarrow ...); asked without importing
    pyarrow."""
    return (type(value).__module__.split(".")[0] == "pyarrow"
            or hasattr(value, "__arrow_c_stream__") or hasattr(value, "__arrow_c_array__"))


# View layouts, which the native code does not read: converted, with a copy.
_VIEWS = {"string_view": "large_string", "binary_view": "large_binary"}


def as_pyarrow(documents: object, name: str = "documents") -> Any:
    """`documents` as a pyarrow Array or ChunkedArray: pyarrow objects as they are; an
    object exporting __arrow_c_array__ as an Array, __arrow_c_stream__ as a
    ChunkedArray (without copying the data). A stream of record batches of one column
    (a DuckDB result) gives that column; of more, TypeError."""
    pa = pyarrow()
    if isinstance(documents, (pa.Array, pa.ChunkedArray)) or not is_arrow(documents):
        return documents
    if type(documents).__module__.split(".")[0] == "pyarrow":
        return documents  # a Table, a RecordBatch ...: refused by the caller
    try:
        if hasattr(documents, "__arrow_c_stream__"):
            converted = pa.chunked_array(documents)
        else:
            converted = pa.array(documents)
    except (TypeError, ValueError, pa.ArrowException) as error:
        raise TypeError(f"{name} export Arrow data that pyarrow cannot read: {error}") from None
    if pa.types.is_struct(converted.type):
        fields = [converted.type.field(i).name for i in range(converted.type.num_fields)]
        if len(fields) != 1:
            raise TypeError(f"{name} must have one column, not {len(fields)} "
                            f"({', '.join(fields)}): select the column of the documents")
        converted = (pa.chunked_array([c.field(0) for c in converted.chunks],
                                      type=converted.type.field(0).type)
                     if isinstance(converted, pa.ChunkedArray) else converted.field(0))
    view = _VIEWS.get(str(converted.type))
    if view is not None:
        converted = converted.cast(getattr(pa, view)())
    return converted


def offset_width(type_: pa.DataType) -> int:
    """Bytes per offset of a document array's type; TypeError for any other type."""
    pa = pyarrow()
    if pa.types.is_binary(type_) or pa.types.is_string(type_):
        return 4
    if pa.types.is_large_binary(type_) or pa.types.is_large_string(type_):
        return 8
    raise TypeError(
        f"documents must be binary, large_binary, string or large_string, not {type_}"
    )


def chunks_of(documents: object, name: str = "documents") -> tuple[list[pa.Array], bool]:
    """The chunks of an Array (one) or a ChunkedArray, from pyarrow or from any library
    that exports the Arrow PyCapsule interface, and whether it was chunked."""
    pa = pyarrow()
    documents = as_pyarrow(documents, name)
    if isinstance(documents, pa.ChunkedArray):
        offset_width(documents.type)
        return list(documents.chunks), True
    if isinstance(documents, pa.Array):
        offset_width(documents.type)
        return [documents], False
    raise TypeError(
        f"{name} must be an Arrow array of binary or string (pyarrow, or any object with "
        f"__arrow_c_array__ or __arrow_c_stream__), not {type(documents).__name__} "
        "(for a list of bytes: pyarrow.array(docs, pyarrow.binary()))"
    )


def buffers_of(chunk: pa.Array) -> tuple[Any, Any, Any, int, int, int]:
    """What the native code reads a chunk from: (validity, offsets, data, offset,
    length, offset width)."""
    validity, offsets, data = chunk.buffers()[:3]
    return validity, offsets, data, chunk.offset, len(chunk), offset_width(chunk.type)



def list_of_ends(chunk: pa.Array, call: ChunkCall) -> pa.ListArray:
    """The list array of the patch ends of one chunk; null where its document is null."""
    return ends_list(chunk, *call(*buffers_of(chunk)))


def ends_list(chunk: pa.Array, list_offsets: Any, ends: Any) -> pa.ListArray:
    """The list array of `ends` (int64) at `list_offsets` (int32), one entry per row
    of `chunk`, null where its row is null."""
    pa = pyarrow()
    validity = None
    if chunk.null_count:
        # The chunk's own bitmap may start at a bit offset; is_valid() starts at 0.
        validity = chunk.buffers()[0] if chunk.offset == 0 else chunk.is_valid().buffers()[1]
    values = pa.Array.from_buffers(pa.int64(), len(ends), [None, pa.py_buffer(ends)])
    return pa.Array.from_buffers(
        pa.list_(pa.int64()),
        len(chunk),
        [validity, pa.py_buffer(list_offsets)],
        null_count=chunk.null_count,
        children=[values],
    )


def map_chunks(documents: object, call: ChunkCall) -> pa.ListArray | pa.ChunkedArray:
    """list_of_ends of every chunk: a ListArray for an Array, a ChunkedArray of them
    for a ChunkedArray (as pyarrow.compute returns)."""
    pa = pyarrow()
    chunks, chunked = chunks_of(documents)
    results = [list_of_ends(chunk, call) for chunk in chunks]
    if chunked:
        return pa.chunked_array(results, type=pa.list_(pa.int64()))
    return results[0]
