"""Patching as bytes arrive, for a model that generates bytes one at a time."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any


if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

    from ._patching import BytesLike


class PatchStream:
    """A context model's patching of a stream of bytes, as they arrive
    (``ContextModel.stream``): for every split of a document into pushes, the ends that
    the pushes and then ``finish`` give are ``model.patch_ends(document, ...)``. Each
    byte costs the same time, however long the stream; before a byte arrives, the
    stream knows the entropy it will be judged by and whether it will close a patch.

    Example:
        >>> from qelt_corpus import ContextModel
        >>> model = ContextModel.train([b"abcabd", b"abcabe"], k=2)
        >>> stream = model.stream(theta=0.5, theta_r=10.0)
        >>> stream.push(b"ab"), stream.next_ends_patch, stream.push(b"cabx"), stream.finish()
        (array([], dtype=int64), True, array([3, 6]), array([], dtype=int64))
    """

    __slots__ = ("_stream",)

    def __init__(self, native: Any) -> None:
        self._stream = native

    def push(self, data: BytesLike) -> npt.NDArray[np.int64]:
        """Takes the bytes of ``data`` (a buffer, read in place with the GIL released);
        the ends, as offsets from the stream's start, of the patches they close.

        A push that raises (a MemoryError when memory runs short among them) leaves the
        stream exactly as it was: it may be pushed to again, or finished. After
        :meth:`finish`, a push raises ValueError."""
        if self._stream.finished:
            raise ValueError("the stream is finished: make a new one for another document")
        result: npt.NDArray[np.int64] = self._stream.push(data)
        return result

    def finish(self) -> npt.NDArray[np.int64]:
        """The end of the last, unclosed patch, if any: the last byte always ends it.
        The stream is then finished: it takes no more bytes."""
        result: npt.NDArray[np.int64] = self._stream.finish()
        return result

    @property
    def next_entropy(self) -> float:
        """The entropy (nats) the next byte will be judged by, given the up to ``k``
        bytes before it."""
        return float(self._stream.next_entropy)

    @property
    def next_ends_patch(self) -> bool:
        """Whether the next byte will close a patch, whatever its value (the rules and
        ``max_patch_length`` decide it before the byte arrives)."""
        return bool(self._stream.next_ends_patch)

    @property
    def position(self) -> int:
        """The bytes pushed so far."""
        return int(self._stream.position)

    def __repr__(self) -> str:
        return f"PatchStream(position={self.position})"
