"""Reading packed shards (docs/formats.md, "Packed shards"): documents with their patch
ends, and fixed-length byte sequences with the starts of their patches, for training
byte-level models.

Opening reads ``index.json`` alone; a shard's files are mapped into memory the first
time something of it is read, so a dataset of any size opens at once and is read from
the page cache, shared by every process that reads it.
"""

from __future__ import annotations

import bisect
import json
import mmap
import os
from typing import Any, Iterator

import numpy as np

from . import _native
from ._errors import ModelFormatError

FORMAT = "qelt-packed"
VERSION = 1
# Every BLOCK-th patch start of a shard is kept in memory, to find where a stretch of
# bytes begins without summing every patch before it: 8 bytes per BLOCK patches, about
# 0.5 MB per GB of text at 4 bytes a patch.
BLOCK = 4096


class _Shard:
    """A shard's files, mapped when first used."""

    def __init__(self, directory: str, entry: dict[str, Any], first_document: int,
                 first_byte: int) -> None:
        self.name = str(entry["name"])
        self.documents = int(entry["documents"])
        self.bytes = int(entry["bytes"])
        self.patches = int(entry["patches"])
        self.first_document = first_document
        self.first_byte = first_byte  # of the documents laid end to end, over all shards
        self._base = os.path.join(directory, self.name)
        self._maps: dict[str, np.ndarray] = {}
        self._block_starts: np.ndarray | None = None
        self._ids: list[str] | None = None

    def _map(self, suffix: str, dtype: Any, count: int) -> np.ndarray:
        array = self._maps.get(suffix)
        if array is None:
            path = self._base + suffix
            expected = count * np.dtype(dtype).itemsize
            with open(path, "rb") as file:
                size = os.fstat(file.fileno()).st_size
                if size != expected:
                    raise ModelFormatError(
                        f"{os.path.basename(path)} holds {size} bytes, the index says {expected}",
                        "truncated" if size < expected else "layout", path)
                if count == 0:  # an empty file cannot be mapped
                    array = np.zeros(0, dtype)
                else:
                    # A plain array over the mapping (the array keeps it open): slicing it
                    # costs far less than slicing a numpy.memmap.
                    mapped = mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ)
                    array = np.frombuffer(mapped, dtype, count)
            self._maps[suffix] = array
        return array

    @property
    def data(self) -> np.ndarray:
        return self._map(".bytes", np.uint8, self.bytes)

    @property
    def lengths(self) -> np.ndarray:
        return self._map(".patches", "<u4", self.patches)

    @property
    def offsets(self) -> np.ndarray:
        """(D + 1) x 2: the byte and patch offset at which each document begins."""
        return self._map(".docs", "<i8", 2 * (self.documents + 1)).reshape(-1, 2)

    def block_starts(self) -> np.ndarray:
        """Where every BLOCK-th patch starts, from the start of the shard."""
        if self._block_starts is None:
            sums = _native.sum_length_blocks(self.lengths, BLOCK)
            starts = np.zeros(max(len(sums), 1), np.uint64)
            np.cumsum(sums[:-1], out=starts[1:])
            self._block_starts = starts
        return self._block_starts

    def read(self, begin: int, end: int) -> tuple[np.ndarray, np.ndarray]:
        """Bytes [begin, end) of the shard, copied, and whether a patch starts at each."""
        return _native.read_stretch(self.data, self.lengths, self.block_starts(), BLOCK, begin,
                                    end)

    def ids(self) -> list[str]:
        if self._ids is None:
            import pyarrow.parquet as pq  # type: ignore[import-untyped, unused-ignore]

            with open(self._base + ".ids.parquet", "rb") as file:  # any byte path
                self._ids = pq.read_table(file).column("id").to_pylist()
        return self._ids


class PackedDataset:
    """The documents of packed shards written by ``qelt-corpus pack``.

    ``len(ds)`` documents; ``ds[i]`` is ``(data, ends)``: a ``numpy.uint8`` view of
    document ``i``'s bytes and its patch ends (``int64``, as ``patch_ends`` gives them);
    ``ds.id(i)`` its id. :meth:`sequences` cuts the documents, laid end to end, into
    sequences of a fixed length for training.

    Example:
        >>> ds = PackedDataset(path)                                # doctest: +SKIP
        >>> data, ends = ds[0]                                      # doctest: +SKIP
    """

    def __init__(self, path: str | os.PathLike[str]) -> None:
        self.path = os.fspath(path)
        index_path = os.path.join(self.path, "index.json")
        with open(index_path, "rb") as file:
            try:
                index = json.loads(file.read())
            except ValueError:
                raise ModelFormatError("index.json is not JSON", "layout", index_path) from None
        if not isinstance(index, dict) or index.get("format") != FORMAT:
            raise ModelFormatError(f"not a {FORMAT} index", "foreign", index_path)
        if index.get("version") != VERSION:
            raise ModelFormatError(f"unsupported version {index.get('version')} (this build "
                                   f"reads version {VERSION})", "version", index_path)
        self.index = index
        self._shards: list[_Shard] = []
        documents = byte = 0
        for entry in index["shards"]:
            shard = _Shard(self.path, entry, documents, byte)
            self._shards.append(shard)
            documents += shard.documents
            byte += shard.bytes
        self._documents = documents
        self.nbytes = byte  # the bytes of all the documents
        self._first_documents = [s.first_document for s in self._shards]
        self._first_bytes = [s.first_byte for s in self._shards]

    def __len__(self) -> int:
        return self._documents

    def _locate(self, i: int) -> tuple[_Shard, int]:
        if not -self._documents <= i < self._documents:
            raise IndexError(f"document {i} of {self._documents}")
        i %= self._documents
        # Empty shards begin where the next one does: the last of them is the one.
        shard = self._shards[bisect.bisect_right(self._first_documents, i) - 1]
        return shard, i - shard.first_document

    def __getitem__(self, i: int) -> tuple[np.ndarray, np.ndarray]:
        shard, d = self._locate(i)
        (byte, patch), (end_byte, end_patch) = shard.offsets[d], shard.offsets[d + 1]
        data = shard.data[byte:end_byte]
        ends = np.cumsum(shard.lengths[patch:end_patch], dtype=np.int64)
        return data, ends

    def id(self, i: int) -> str:
        """The id of document `i` (as the output dataset names it)."""
        shard, d = self._locate(i)
        return shard.ids()[d]

    def _stretch(self, begin: int, end: int) -> tuple[np.ndarray, np.ndarray]:
        """The bytes [begin, end) of the documents laid end to end (a copy), and whether
        a patch starts at each."""
        # The last shard that begins at or before `begin` holds it (empty shards begin
        # where the next one does).
        at = bisect.bisect_right(self._first_bytes, begin) - 1
        shard = self._shards[at]
        low, high = begin - shard.first_byte, end - shard.first_byte
        if high <= shard.bytes:
            return shard.read(low, high)
        pieces, starts = [], []
        while begin < end:
            shard = self._shards[at]
            stop = min(end, shard.first_byte + shard.bytes)
            if stop > begin:
                data, start = shard.read(begin - shard.first_byte, stop - shard.first_byte)
                pieces.append(data)
                starts.append(start)
                begin = stop
            at += 1
        return np.concatenate(pieces), np.concatenate(starts)

    def sequences(self, length: int, *, seed: int | None = None, rank: int = 0,
                  world_size: int = 1, epoch: int = 0, drop_last: bool = True) -> SequenceStream:
        """A stream of ``(data, starts)``: ``data`` is ``length`` bytes of the documents
        laid end to end, ``starts`` is true at the first byte of every patch (and at the
        first byte of the sequence).

        The documents, in index order, are cut once into consecutive sequences of
        ``length`` bytes. With ``seed=None`` they come in that order; with a seed, in an
        order shuffled by ``(seed, epoch)``. Rank ``r`` of ``world_size`` takes every
        ``world_size``-th sequence of that order, from ``r``: the ranks get disjoint
        sequences and together all of them. ``drop_last`` leaves out the one shorter
        sequence at the end; without it, that one is yielded as it is.
        """
        return SequenceStream(self, length, seed=seed, rank=rank, world_size=world_size,
                              epoch=epoch, drop_last=drop_last)


class SequenceStream:
    """Fixed-length byte sequences of a PackedDataset, for one rank, resumable.

    An iterator (``__iter__`` returns itself), as ``torch.utils.data.IterableDataset``
    expects; :meth:`state_dict` and :meth:`load_state_dict` let a stream made with the
    same arguments continue exactly where another stopped; :meth:`set_epoch` as
    PyTorch's samplers have it.
    """

    def __init__(self, dataset: PackedDataset, length: int, *, seed: int | None, rank: int,
                 world_size: int, epoch: int, drop_last: bool) -> None:
        if length < 1:
            raise ValueError(f"length must be at least 1, got {length}")
        if world_size < 1 or not 0 <= rank < world_size:
            raise ValueError(f"rank must lie in 0 .. world_size - 1, got {rank} of {world_size}")
        self.dataset = dataset
        self.length = length
        self.seed = seed
        self.rank = rank
        self.world_size = world_size
        self.drop_last = drop_last
        whole, rest = divmod(dataset.nbytes, length)
        self.count = whole + (1 if rest and not drop_last else 0)  # sequences in all
        self._yielded = 0
        self.set_epoch(epoch)

    def set_epoch(self, epoch: int) -> None:
        """Starts epoch `epoch`: its order of sequences, from the first."""
        self.epoch = epoch
        self._yielded = 0
        self._order: np.ndarray | None = None
        if self.seed is not None:
            rng = np.random.default_rng([self.seed, epoch])
            self._order = rng.permutation(self.count)

    def __len__(self) -> int:
        """The sequences this rank gets in an epoch."""
        return len(range(self.rank, self.count, self.world_size))

    def __iter__(self) -> Iterator[tuple[np.ndarray, np.ndarray]]:
        return self

    def __next__(self) -> tuple[np.ndarray, np.ndarray]:
        position = self.rank + self._yielded * self.world_size
        if position >= self.count:
            raise StopIteration
        self._yielded += 1
        sequence = int(self._order[position]) if self._order is not None else position
        begin = sequence * self.length
        data, starts = self.dataset._stretch(begin, min(begin + self.length,
                                                        self.dataset.nbytes))
        starts[0] = True
        return data, starts

    def state_dict(self) -> dict[str, Any]:
        """Where the stream is: load it into a stream made with the same arguments."""
        return {"epoch": self.epoch, "yielded": self._yielded, "length": self.length,
                "seed": self.seed, "rank": self.rank, "world_size": self.world_size,
                "drop_last": self.drop_last, "sequences": self.count}

    def load_state_dict(self, state: dict[str, Any]) -> None:
        """Continues from `state`, of a stream made with the same arguments."""
        mine = self.state_dict()
        for key in ("length", "seed", "rank", "world_size", "drop_last", "sequences"):
            if state.get(key) != mine[key]:
                raise ValueError(f"the state is of another stream: its {key} is "
                                 f"{state.get(key)!r}, this stream's {mine[key]!r}")
        self.set_epoch(int(state["epoch"]))
        self._yielded = int(state["yielded"])
