"""A context model trained once on a corpus, and the counts it is made from."""

from __future__ import annotations

import dataclasses
import math
import os
from typing import TYPE_CHECKING, Any, Iterable, Mapping, SupportsFloat, SupportsIndex

from . import _arguments, _arrow, _kinds, _model_cache, _native, _storage
from ._errors import ModelFormatError
from ._reading import DEFAULT_MEMORY, Reading

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt
    import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]

    from typing_extensions import TypeAlias

    from ._patching import BytesLike
    from ._stream import PatchStream

    Documents: TypeAlias = "pa.Array | pa.ChunkedArray | Iterable[BytesLike]"

MAX_K: int = _native.MAX_ORDER  # the longest context a model keeps


def _target_mean_length(value: object) -> float:
    target = _arguments.threshold("target_mean_length", value)
    if not target > 0:
        raise ValueError(f"target_mean_length must be positive, got {target}")
    return target


@dataclasses.dataclass(frozen=True)
class Evaluation:
    """How well a model predicts some documents: over their ``bytes`` bytes (in
    ``documents`` documents), ``bits_per_byte`` is the mean of -log2 p of every byte
    given the up to k bytes before it in its document, and ``mean_entropy_bits`` the
    mean entropy (in bits) of the distributions it was drawn from; a model that is
    sure of itself beyond its merit has the second well below the first. A byte of
    probability 0 (only without smoothing) makes ``bits_per_byte`` infinite;
    ``zero_probability_bytes`` counts them."""

    bytes: int
    documents: int
    bits_per_byte: float
    mean_entropy_bits: float
    zero_probability_bytes: int
    # The sums the means are made of, so that evaluations of parts add up exactly.
    _bits: float = dataclasses.field(default=0.0, repr=False, compare=False)
    _entropy_bits: float = dataclasses.field(default=0.0, repr=False, compare=False)
    #: With ``evaluate(..., per_document=True)``: each document's ``id`` (its index
    #: among those given, or what the command read), ``bytes``, ``bits`` and
    #: ``entropy_bits`` (sums), as lists; None otherwise.
    per_document: dict[str, list[Any]] | None = dataclasses.field(default=None, repr=False,
                                                                   compare=False)

    @classmethod
    def of_sums(cls, bytes_: int, documents: int, bits: float, entropy_bits: float,
                zero_probability_bytes: int) -> Evaluation:
        """The evaluation of the sums that the native evaluate gives."""
        if zero_probability_bytes:
            bits_per_byte = math.inf
        else:
            bits_per_byte = bits / bytes_ if bytes_ else math.nan
        return cls(bytes_, documents, bits_per_byte,
                   entropy_bits / bytes_ if bytes_ else math.nan, zero_probability_bytes,
                   bits, entropy_bits)

    @classmethod
    def total(cls, parts: Iterable[Evaluation]) -> Evaluation:
        """The evaluation of the documents of all the parts together, as one call over
        all of them gives it (with the per-document figures of all, if every part has
        them)."""
        parts = list(parts)
        sums: list[Any] = [0, 0, 0.0, 0.0, 0]
        for part in parts:
            for i, value in enumerate((part.bytes, part.documents, part._bits,
                                       part._entropy_bits, part.zero_probability_bytes)):
                sums[i] += value
        total = cls.of_sums(*sums)
        if parts and all(part.per_document is not None for part in parts):
            figures: dict[str, list[Any]] = {"id": [], "bytes": [], "bits": [],
                                             "entropy_bits": []}
            for part in parts:
                for name, values in figures.items():
                    values.extend(part.per_document[name])  # type: ignore[index]
            total = dataclasses.replace(total, per_document=figures)
        return total

    def report(self, title: str = "Evaluation") -> Any:
        """A page of this evaluation (bits per byte per document, the hardest ones, bits
        per byte against length and beside the mean entropy, where it has
        per-document figures): renders in a notebook, ``.save(path)`` as ``.html``,
        ``.svg`` or ``.png``."""
        from ._reports import evaluation_report

        return evaluation_report(self, title)

    def _repr_html_(self) -> str:
        return str(self.report()._repr_html_())

    def save(self, path: str | os.PathLike[str]) -> None:
        """Writes :meth:`report` to ``path`` (``.html``, ``.svg`` or ``.png``)."""
        self.report().save(path)


class Calibration:
    """What calibrating theta needs to know of some documents patched with a given
    ``theta_r`` (``ContextModel.calibration``): their ``bytes``, the patches that
    every theta gives them (``fixed``: each document's last, and every position whose
    rise passes theta_r), and the ``entropies`` met at the other judged positions with
    how many ``positions`` have each: those close for every theta below it.

    Example:
        >>> model = ContextModel.train([b"abcabd", b"abcabe"], k=2)
        >>> part = model.calibration([b"abcabx"])
        >>> whole = Calibration.total([part, model.calibration([b"abcaby"])])
        >>> theta = whole.theta(3.0)
        >>> round(whole.mean_patch_length(theta), 3)
        3.0
    """

    __slots__ = ("bytes", "fixed", "evaluated", "entropies", "positions")

    def __init__(self, bytes_: int, fixed: int, evaluated: int, entropies: Any,
                 positions: Any) -> None:
        self.bytes, self.fixed, self.evaluated = int(bytes_), int(fixed), int(evaluated)
        self.entropies = entropies  # float32, each entropy once (told apart by its bits)
        self.positions = positions  # uint64, one per entropy

    @classmethod
    def total(cls, parts: Iterable[Calibration]) -> Calibration:
        """The calibration of the documents of all the parts together."""
        import numpy as np

        parts = list(parts)
        bits = np.concatenate([p.entropies.view(np.uint32) for p in parts] +
                              [np.empty(0, np.uint32)])
        counts = np.concatenate([p.positions for p in parts] + [np.empty(0, np.uint64)])
        order = np.argsort(bits, kind="stable")
        bits, counts = bits[order], counts[order]
        starts = np.flatnonzero(np.r_[True, bits[1:] != bits[:-1]]) if len(bits) else order
        summed = np.add.reduceat(counts, starts) if len(bits) else counts
        return cls(sum(p.bytes for p in parts), sum(p.fixed for p in parts),
                   sum(p.evaluated for p in parts), bits[starts].view(np.float32),
                   summed.astype(np.uint64))

    def theta(self, target_mean_length: SupportsFloat) -> float:
        """The theta whose mean patch length (bytes over patches) is closest to the
        target: the candidates are the entropies, where the patches change, and the
        float just below the least; of two as close, the larger. Raises ValueError if no
        document is longer than k bytes, or if theta changes none of the patches."""
        target = _target_mean_length(target_mean_length)
        return float(_native.choose_theta(self.bytes, self.fixed, self.evaluated,
                                          self.entropies, self.positions, target))

    def mean_patch_length(self, theta: SupportsFloat) -> float:
        """The mean patch length that patching with ``theta`` gives."""
        import numpy as np

        value = np.float32(_arguments.threshold("theta", theta, nan=False))
        patches = self.fixed + int(self.positions[self.entropies > value].sum())
        return self.bytes / patches if patches else math.nan

    def report(self, target_mean_length: SupportsFloat | None = None, *,
               theta: SupportsFloat | None = None, lengths: Mapping[int, int] | None = None,
               title: str = "Calibration of theta") -> Any:
        """A page of the search for theta: the mean patch length against theta, exact
        at every entropy met, with the target and the chosen theta (``theta``, or the
        one :meth:`theta` gives for the target) marked, and the histogram of patch
        ``lengths`` (length -> patches) at that theta if given. It renders in a
        notebook, and ``.save(path)`` writes it as ``.html``, ``.svg`` or ``.png``."""
        from ._reports import calibration_report

        target = None if target_mean_length is None else _target_mean_length(target_mean_length)
        chosen = None if theta is None else _arguments.threshold("theta", theta, nan=False)
        return calibration_report(self, target, chosen, lengths, title)

    def _repr_html_(self) -> str:
        return str(self.report()._repr_html_())

    def save(self, path: str | os.PathLike[str],
             target_mean_length: SupportsFloat | None = None) -> None:
        """Writes :meth:`report` (of ``target_mean_length``, if given) to ``path``."""
        self.report(target_mean_length).save(path)

    def __repr__(self) -> str:
        return (f"Calibration(bytes={self.bytes}, fixed={self.fixed}, "
                f"entropies={len(self.entropies)})")


def _order(k: object) -> int:
    return _arguments.integer("k", k, 0, MAX_K)


def _min_count(min_count: object) -> int:
    return _arguments.integer("min_count", min_count, 1, 2**64 - 1)  # counts are 64-bit


def _document_items(documents: object) -> list[Any]:
    """The native form of a set of documents: each chunk of an Arrow array as a tuple of
    its buffers, each buffer of an iterable as itself."""
    pa = _arrow.pyarrow() if _arrow.is_arrow(documents) else None
    if pa is not None:
        chunks, _ = _arrow.chunks_of(documents)
        return [_arrow.buffers_of(chunk) for chunk in chunks]
    if documents is None or isinstance(documents, (str, bytes, bytearray, memoryview)):
        raise TypeError(
            "documents must be a pyarrow Array or ChunkedArray, or an iterable of buffers, "
            f"not {type(documents).__name__}"
        )
    try:
        items: list[Any] = list(documents)  # type: ignore[call-overload]
    except TypeError:
        raise TypeError(
            "documents must be a pyarrow Array or ChunkedArray, or an iterable of buffers, "
            f"not {type(documents).__name__}"
        ) from None
    return items


class ContextCounts:
    """Counts of the bytes that follow each context, for contexts of ``k`` bytes and
    every shorter suffix (down to the empty context), over documents of a corpus.

    Each document is counted on its own, as ``qelt.patch_sequence`` trains on a
    sequence: the byte at each position ``i >= k`` after the ``k`` bytes before it,
    never across two documents. Counts are 64-bit. Counts made separately (on Dask
    workers, say) merge exactly, and pickle compactly.

    Example:
        >>> counts = ContextCounts(2)
        >>> counts.add(b"abcabd")
        >>> counts.to_model().patch_ends(b"abcabd", theta=0.5, theta_r=10.0)
        array([3, 6])
    """

    __slots__ = ("_counts",)

    def __init__(self, k: SupportsIndex) -> None:
        """Empty counts for contexts of ``k`` bytes, 0 <= k <= 8 (else ValueError)."""
        self._counts = _native.Counts(_order(k))

    @property
    def k(self) -> int:
        """The context length."""
        return self._counts.k

    @property
    def positions(self) -> int:
        """The number of positions counted, over all documents."""
        return self._counts.positions

    def add(self, document: BytesLike) -> None:
        """Counts one document: a C-contiguous buffer of single bytes, read in place
        with the GIL released."""
        self._counts.add(document)

    def add_batch(self, documents: pa.Array | pa.ChunkedArray) -> None:
        """Counts every document of an Arrow array of ``binary``, ``large_binary``,
        ``string`` or ``large_string``, each on its own; nulls are skipped."""
        chunks, _ = _arrow.chunks_of(documents)
        self._counts.add_documents(
            [_arrow.buffers_of(chunk) for chunk in chunks]
        )

    def merge(self, other: ContextCounts, *more: ContextCounts) -> None:
        """Adds the counts of ``other`` (and of ``more``) to these, as merging each in
        turn would, with room made for all at once (ValueError if a ``k`` differs).

        A merge takes time in proportion to what is merged in, whatever the sizes:
        merging the counts of a corpus's partitions in any order costs about as much
        as counting them once more."""
        for counts in (other, *more):
            if not isinstance(counts, ContextCounts):
                raise TypeError(f"can only merge ContextCounts, not {type(counts).__name__}")
        self._counts.merge([counts._counts for counts in (other, *more)])

    def to_model(
        self,
        min_count: SupportsIndex = 1,
        *,
        max_bytes: SupportsIndex | None = None,
        smoothing: str = "none",
    ) -> ContextModel:
        """The frozen model of these counts: the next-byte distribution of every context
        seen at least ``min_count`` times, and its entropy. Equal counts give
        byte-identical models, however they were added and merged.

        ``smoothing`` names the kind of model, how the distributions are estimated from
        the counts (docs/formats.md, "Model file"):

{kinds}

        With ``max_bytes``, the saved model takes at most that many bytes: contexts are
        left out in ascending order of count (the longer first among equal counts, then
        in ascending order of their bytes) until it fits, so the same counts and budget
        always give the same file, whose contexts are a subset of the unbudgeted
        model's. The empty context is always kept; a budget below the size of the
        model that keeps it alone raises ValueError.

        Counts whose model would take more than 1 GiB to build at once are built in
        shares, one after another, each of the contexts that end in some of the byte
        pairs: the same model, in about the memory of the counts, the model and one
        share.
        """
        minimum = _min_count(min_count)
        budget = 0 if max_bytes is None else _arguments.integer("max_bytes", max_bytes, 1)
        if budget >= 2**64:
            budget = 0  # larger than any model
        return ContextModel._wrap(self._counts.to_model(minimum, budget, _kinds.kind(smoothing)))

    def __reduce__(self) -> tuple[Any, tuple[bytes]]:
        return (_counts_from_state, (self._counts.serialize(),))

    def __repr__(self) -> str:
        return f"ContextCounts(k={self.k}, positions={self.positions})"


ContextCounts.to_model.__doc__ = (ContextCounts.to_model.__doc__ or "").replace(
    "{kinds}", _kinds.described(" " * 8))


def native_counts(counts: ContextCounts) -> Any:
    """The native counts a ContextCounts holds, for the steps of a build in shares
    (_shares.py), which are native too."""
    return counts._counts


def wrapped_counts(native: Any) -> ContextCounts:
    """A ContextCounts holding these native counts."""
    counts = ContextCounts.__new__(ContextCounts)
    counts._counts = native
    return counts


def _counts_from_state(state: bytes) -> ContextCounts:
    return wrapped_counts(_native.Counts.deserialize(state))


class ContextModel:
    """A frozen context model: the entropy of every context kept from a corpus, for
    contexts of ``k`` bytes and every shorter suffix.

    It patches documents as ``qelt_corpus.patch_ends`` does, except that the entropy
    at each position ``i >= k`` is that of the longest suffix of its context that the
    model holds (order ``k`` first, down to the empty context); positions before ``k``
    never end a patch, and a model that holds no context gives the entropy of its
    kind's floor (0 without smoothing, ln 256 for a uniform floor). A model trained on
    exactly one sequence patches it as ``qelt.patch_sequence`` does.

    Immutable: threads may share one, and its calls release the GIL.

    Scoring, patching, evaluation, calibration and streams read each document as
    their ``reading`` says (:class:`Reading`): ``"static"`` (the default), the model
    as it is; ``"adaptive"`` (also ``adapt=True``), a model that also learns from the
    document so far: with ``c`` the ``k`` bytes before a position, ``N`` the times the
    document has already shown ``c`` followed by some byte, ``n(b)`` the times by ``b``
    and ``u`` the distinct bytes that followed it, the next byte has probability
    ``(n(b) + 2 u p(b | c)) / (N + 2 u)``, ``p`` being this model's distribution
    (where the document has not shown ``c``, and before its ``k``-th byte, ``p``
    itself); ``"mix"``, this model's distribution pooled with the document's own after
    1 to 10 bytes and with a match model, by weights learnt as the document is read.
    Both depend only on the model, on the bytes before the position and on
    ``adapt_memory``, and need a model with probabilities.

    What a document teaches lives within ``adapt_memory`` bytes (default 1 GiB, which
    any document of a few hundred megabytes of text fits; ``None`` for no bound). The
    adaptive reading counts 96 bytes for each slot of the table of the contexts shown
    (a power of two of slots, at most three quarters full, at least 16) and 20 for each
    byte that followed a context other than the one that followed it last; the mixing
    reading counts the same for the contexts of all its orders within three quarters
    of the budget, and 3 bytes for each byte of the document within the rest. A byte
    that would take that past the budget makes the reading forget the document so
    far, as PPMd does when its memory is full: the statistics start afresh from that
    byte, which is the first they count.

    Example:
        >>> model = ContextModel.train([b"abcabd", b"abcabe"], k=2)
        >>> model.patch_ends(b"abcabx", theta=0.5, theta_r=10.0)
        array([3, 6])
    """

    __slots__ = ("_model",)
    _model: Any

    def __init__(self) -> None:
        raise TypeError(
            "make a ContextModel with ContextModel.train, ContextModel.load or "
            "ContextCounts.to_model"
        )

    @classmethod
    def _wrap(cls, native: Any) -> ContextModel:
        model = cls.__new__(cls)
        model._model = native
        return model

    @classmethod
    def train(
        cls,
        documents: Documents,
        k: SupportsIndex,
        *,
        min_count: SupportsIndex = 1,
        smoothing: str = "none",
    ) -> ContextModel:
        """The model of ``documents`` (an Arrow array of binary or string, or an
        iterable of buffers), each counted on its own, keeping the contexts seen at
        least ``min_count`` times, with ``smoothing`` as ContextCounts.to_model (built
        in shares if large, as it is)."""
        counts = ContextCounts(k)
        minimum = _min_count(min_count)
        _kinds.kind(smoothing)
        counts._counts.add_documents(_document_items(documents))
        return counts.to_model(minimum, smoothing=smoothing)

    @classmethod
    def load(
        cls,
        path: str | os.PathLike[str],
        *,
        storage_options: Mapping[str, Any] | None = None,
    ) -> ContextModel:
        """The model saved at ``path``, mapped into memory rather than read.

        ``path`` is a local path or any fsspec URL (``s3://bucket/model.qelt``,
        ``hf://...``), opened with ``storage_options``. A remote model is fetched once
        per machine into a local cache (keyed by the object's size and ETag) and mapped
        from there, so the processes of a machine share one copy.

        Raises:
            OSError: The file cannot be read (FileNotFoundError and the like), with
                the path as its ``filename``.
            ModelFormatError: It is not a valid model file (a ``ValueError``; its
                ``reason`` says how, its ``path`` is ``path``).
        """
        name = os.fspath(path)
        if not isinstance(name, str):
            raise TypeError(f"path must be a str or os.PathLike of str, not {type(name).__name__}")
        local = name
        fetched = False
        fs, inside = _storage.resolve(name, storage_options)
        if fs is None or _storage.is_local(fs):
            local = inside
        else:
            local, fetched = _model_cache.local_copy(fs, inside, name), True
        try:
            return cls._wrap(_native.Model.load(os.fsencode(local)))  # any byte path
        except ModelFormatError as error:
            if fetched:
                _model_cache.forget(local)  # a damaged download is fetched again next time
            error.path = name
            raise
        except OSError as error:
            error.filename = name
            raise

    def save(
        self,
        path: str | os.PathLike[str],
        *,
        storage_options: Mapping[str, Any] | None = None,
    ) -> None:
        """Writes the model to ``path`` (a local path or any fsspec URL, with
        ``storage_options``), in the format of docs/formats.md. A reader never sees a
        partial file: it is written under a temporary name and renamed, or, on an
        object store, uploaded in one piece."""
        _storage.write_file(os.fspath(path), memoryview(self._model), storage_options)

    @property
    def k(self) -> int:
        """The longest context length."""
        return int(self._model.k)

    @property
    def min_count(self) -> int:
        """Contexts seen fewer times than this were left out."""
        return int(self._model.min_count)

    def __len__(self) -> int:
        """The number of contexts kept, all lengths together."""
        return int(self._model.size)

    @property
    def nbytes(self) -> int:
        """The size of its file, in bytes."""
        return len(memoryview(self._model))

    @property
    def contexts_by_length(self) -> tuple[int, ...]:
        """The number of contexts kept of each length 0 .. k."""
        return tuple(int(c) for c in self._model.contexts_by_length)

    @property
    def smoothing(self) -> str:
        """How its distributions were estimated: the name of its kind ({names})."""
        return str(self._model.kind)

    @property
    def has_probabilities(self) -> bool:
        """Whether its file holds the next-byte distributions (version 2 on), which
        ``probabilities``, ``log_probs``, ``evaluate`` and the adaptive and mixing
        readings read; a file of version 1 holds entropies only, and patches."""
        return bool(self._model.has_probabilities)

    def _reading(self, reading: object = None, adapt: object = False,
                 adapt_memory: object = DEFAULT_MEMORY, *, probabilities: bool = False) -> Any:
        """How the native calls read each document (the core's Reading): the reading
        the arguments ask for (Reading.of), after the core has said this model can be
        read so, and has the probabilities a call that needs them reads (ValueError in
        one line otherwise)."""
        asked = Reading.of(reading, adapt, adapt_memory)
        native = asked.native
        refusal = _native.reading_refusal(self._model, native)
        if not refusal and probabilities:
            refusal = _native.probabilities_refusal(self._model)
        if refusal:
            raise ValueError(refusal)
        return native

    def probabilities(self, context: BytesLike) -> npt.NDArray[np.float64]:
        """The probability of each byte value 0 .. 255 after ``context`` (a buffer of
        any length, of which the last ``k`` bytes count): the distribution of the
        longest suffix of it that the model keeps. With smoothing every value is above
        0 and they sum to 1; without, a byte never seen after that suffix has 0 (and if
        the model keeps no context at all, every byte has)."""
        self._reading(probabilities=True)
        result: npt.NDArray[np.float64] = self._model.probabilities(context)
        return result

    def entropy(self, context: BytesLike) -> float:
        """The entropy in nats of the distribution after ``context`` (its last ``k``
        bytes): the value patching compares with theta at a position after it."""
        return float(self._model.entropy(context))

    def entropies(self, document: BytesLike, *, reading: str | Reading | None = None,
                  adapt: bool = False,
                  adapt_memory: int | None = DEFAULT_MEMORY) -> npt.NDArray[np.float32]:
        """At every position i of ``document``, the entropy given the up to ``k`` bytes
        before i in it (fewer at its start): the values patching thresholds at i >= k.
        Read as ``reading`` says (a Reading, or the name of its mode: "static", the
        default, "adaptive" or "mix"), within ``adapt_memory`` (Reading); ``adapt=True``
        is ``reading="adaptive"``."""
        native = self._reading(reading, adapt, adapt_memory)
        result: npt.NDArray[np.float32] = self._model.score(document, False, native)[0]
        return result

    def _scores(self, document: BytesLike, reading: Reading) -> tuple[Any, Any]:
        """The entropies and, where the model has probabilities, the log-probabilities
        (else None) of ``document`` read as ``reading`` says, in one pass."""
        native = self._reading(reading)
        entropies, log_probs = self._model.score(document, self.has_probabilities, native)
        return entropies, log_probs if self.has_probabilities else None

    def log_probs(self, document: BytesLike, *, reading: str | Reading | None = None,
                  adapt: bool = False,
                  adapt_memory: int | None = DEFAULT_MEMORY) -> npt.NDArray[np.float64]:
        """At every position i of ``document``, log2 of the probability of its byte
        given the up to ``k`` bytes before it in it (the first byte after the empty
        context); -inf for a byte of probability 0. In another reading than the static
        one (see :meth:`entropies`), given all the bytes before it. The mean of
        -log_probs is :meth:`evaluate`'s bits per byte, and each entropy is that of the
        distribution the byte's probability is read from."""
        native = self._reading(reading, adapt, adapt_memory, probabilities=True)
        result: npt.NDArray[np.float64] = self._model.score(document, True, native)[1]
        return result

    def evaluate(self, documents: Documents, *, reading: str | Reading | None = None,
                 adapt: bool = False, adapt_memory: int | None = DEFAULT_MEMORY,
                 per_document: bool = False) -> Evaluation:
        """How well the model predicts ``documents`` (as ``train`` takes them), each on
        its own from its first byte, read as ``reading`` says (see :meth:`entropies`):
        see Evaluation; with ``per_document``, each document's figures too (for its
        report). Raises ValueError if they hold no byte, whose mean there is none of."""
        native = self._reading(reading, adapt, adapt_memory, probabilities=True)
        if per_document:
            pa = _arrow.pyarrow() if _arrow.is_arrow(documents) else None
            items = ([value.as_buffer() or b"" for value in documents]  # type: ignore[union-attr]
                     if pa is not None else _document_items(documents))
            parts = []
            for index, item in enumerate(items):
                part = Evaluation.of_sums(*self._model.evaluate([item], native))
                parts.append(dataclasses.replace(part, per_document={
                    "id": [index], "bytes": [part.bytes], "bits": [part._bits],
                    "entropy_bits": [part._entropy_bits]}))
            result = Evaluation.total(parts)
            if not result.bytes:
                raise ValueError("the documents hold no bytes to evaluate")
            return result
        sums = self._model.evaluate(_document_items(documents), native)
        if not sums[0]:
            raise ValueError("the documents hold no bytes to evaluate")
        return Evaluation.of_sums(*sums)

    def patch_ends(
        self,
        document: BytesLike,
        theta: SupportsFloat | SupportsIndex,
        theta_r: SupportsFloat | SupportsIndex,
        *,
        max_patch_length: int | None = None,
        reading: str | Reading | None = None,
        adapt: bool = False,
        adapt_memory: int | None = DEFAULT_MEMORY,
    ) -> npt.NDArray[np.int64]:
        """The end offset of every patch of ``document``, as
        :func:`qelt_corpus.patch_ends` returns them (same arguments and errors), with
        the entropies taken from this model, read as ``reading`` says (as
        :meth:`entropies` gives them)."""
        settings = _arguments.thresholds(theta, theta_r, max_patch_length)
        native = self._reading(reading, adapt, adapt_memory)
        result: npt.NDArray[np.int64] = self._model.patch_ends(document, *settings, native)
        return result

    def patch_ends_batch(
        self,
        documents: pa.Array | pa.ChunkedArray,
        theta: SupportsFloat | SupportsIndex,
        theta_r: SupportsFloat | SupportsIndex,
        *,
        max_patch_length: int | None = None,
        reading: str | Reading | None = None,
        adapt: bool = False,
        adapt_memory: int | None = DEFAULT_MEMORY,
    ) -> pa.ListArray | pa.ChunkedArray:
        """The patch ends of every document of an Arrow array, as
        :func:`qelt_corpus.patch_ends_batch` returns them, with this model read as
        ``reading`` says (each document read on its own from a fresh state, whatever the
        batch)."""
        settings = _arguments.thresholds(theta, theta_r, max_patch_length)
        native = self._reading(reading, adapt, adapt_memory)

        def call(validity, offsets, data, offset, length, width):  # type: ignore[no-untyped-def]
            return self._model.patch_ends_arrow(
                validity, offsets, data, offset, length, width, *settings, native
            )

        return _arrow.map_chunks(documents, call)

    def stream(
        self,
        theta: SupportsFloat | SupportsIndex,
        theta_r: SupportsFloat | SupportsIndex,
        *,
        max_patch_length: int | None = None,
        reading: str | Reading | None = None,
        adapt: bool = False,
        adapt_memory: int | None = DEFAULT_MEMORY,
    ) -> PatchStream:
        """A PatchStream that cuts bytes as they arrive exactly as :meth:`patch_ends`
        (same thresholds, ``max_patch_length`` and reading) cuts the whole document.
        The ``qelt.patch_sequence`` model is made from the whole document, so it has no
        stream: a stream needs a model trained beforehand."""
        from ._stream import PatchStream

        settings = _arguments.thresholds(theta, theta_r, max_patch_length)
        native = self._reading(reading, adapt, adapt_memory)
        return PatchStream(_native.Stream(self._model, *settings, native))

    def calibration(
        self,
        documents: Documents,
        *,
        theta_r: SupportsFloat | SupportsIndex = math.inf,
        reading: str | Reading | None = None,
        adapt: bool = False,
        adapt_memory: int | None = DEFAULT_MEMORY,
    ) -> Calibration:
        """What calibrating theta needs to know of ``documents`` (as ``train`` takes
        them) patched with this ``theta_r`` (and reading): see Calibration. The
        calibrations of parts of a corpus add up (``Calibration.total``) to that of
        the whole."""
        rise = _arguments.threshold("theta_r", theta_r, nan=False)
        native = self._reading(reading, adapt, adapt_memory)
        return Calibration(*self._model.calibration(_document_items(documents), rise,
                                                    native))

    def calibrate(
        self,
        documents: Documents,
        target_mean_length: SupportsFloat,
        *,
        theta_r: SupportsFloat | SupportsIndex = math.inf,
        reading: str | Reading | None = None,
        adapt: bool = False,
        adapt_memory: int | None = DEFAULT_MEMORY,
    ) -> float:
        """The ``theta`` whose mean patch length over ``documents`` (their bytes over
        their patches, with this ``theta_r``) is closest to ``target_mean_length``.

        Patches change only where theta passes an entropy met in the documents, so
        those entropies (and the float just below the least) are the candidates; of
        two as close, the larger is returned. Raises ValueError if no document is
        longer than ``k`` bytes, or if theta changes none of their patches. In a
        reading, for patching in the same.
        """
        target = _target_mean_length(target_mean_length)
        return self.calibration(documents, theta_r=theta_r, reading=reading, adapt=adapt,
                                adapt_memory=adapt_memory).theta(target)

    def __reduce__(self) -> tuple[Any, tuple[bytes]]:
        return (_model_from_image, (bytes(memoryview(self._model)),))

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, ContextModel):
            return NotImplemented
        return memoryview(self._model) == memoryview(other._model)

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        return (f"ContextModel(k={self.k}, min_count={self.min_count}, contexts={len(self)}, "
                f"smoothing={self.smoothing!r})")


ContextModel.smoothing.__doc__ = (ContextModel.smoothing.__doc__ or "").replace(
    "{names}", ", ".join(f'"{name}"' for name in _kinds.NAMES))


def _model_from_image(image: bytes) -> ContextModel:
    return ContextModel._wrap(_native.Model.from_image(image))
