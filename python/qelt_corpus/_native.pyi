"""Native part of qelt_corpus; use the functions of qelt_corpus instead."""

from typing import Any

import numpy as np
import numpy.typing as npt

def patch_ends(
    data: Any, k: int, theta: float, theta_r: float, max_length: int
) -> npt.NDArray[np.int64]:
    """Patch ends of one buffer; ``max_length`` 0 means no limit."""

def patch_ends_arrow(
    validity: Any,
    offsets: Any,
    data: Any,
    offset: int,
    length: int,
    offset_width: int,
    k: int,
    theta: float,
    theta_r: float,
    max_length: int,
) -> tuple[npt.NDArray[np.int32], npt.NDArray[np.int64]]:
    """List offsets and patch ends of the documents of one Arrow array's buffers."""

def patch_ends_from_entropies(
    entropies: npt.NDArray[np.float32], first: int, theta: float, theta_r: float,
    max_length: int
) -> npt.NDArray[np.int64]: ...
def patch_ends_from_entropy_lists(
    offsets: npt.NDArray[np.int64], values: npt.NDArray[np.float32], first: int, theta: float,
    theta_r: float, max_length: int
) -> tuple[npt.NDArray[np.int32], npt.NDArray[np.int64]]: ...

def model_kinds() -> list[dict[str, Any]]:
    """The table of model kinds: name, number, summary, probabilities, adaptive."""

class Counts:
    def __init__(self, k: int) -> None: ...
    @property
    def k(self) -> int: ...
    @property
    def positions(self) -> int: ...
    def add(self, document: Any) -> None: ...
    def add_documents(self, documents: list[Any]) -> None:
        """Documents: buffers, or 6-tuples of an Arrow array's buffers."""
    def merge(self, others: list[Counts]) -> None: ...
    def to_model(self, min_count: int, max_bytes: int, kind: str) -> Model: ...
    def smallest_model_bytes(self, min_count: int) -> int: ...
    def serialize(self) -> bytes: ...
    @staticmethod
    def deserialize(state: Any) -> Counts: ...

class Model:
    """A frozen context model; its buffer is its file image."""

    @staticmethod
    def load(path: bytes) -> Model: ...
    @staticmethod
    def from_image(image: Any) -> Model: ...
    @property
    def k(self) -> int: ...
    @property
    def min_count(self) -> int: ...
    @property
    def size(self) -> int: ...
    @property
    def contexts_by_length(self) -> tuple[int, ...]: ...
    def __buffer__(self, flags: int, /) -> memoryview: ...
    def patch_ends(
        self, document: Any, theta: float, theta_r: float, max_length: int, adapt: bool,
        memory: int
    ) -> npt.NDArray[np.int64]: ...
    def patch_ends_arrow(
        self,
        validity: Any,
        offsets: Any,
        data: Any,
        offset: int,
        length: int,
        offset_width: int,
        theta: float,
        theta_r: float,
        max_length: int,
        adapt: bool,
        memory: int,
    ) -> tuple[npt.NDArray[np.int32], npt.NDArray[np.int64]]: ...
    def calibration(
        self, documents: list[Any], theta_r: float, adapt: bool, memory: int
    ) -> tuple[int, int, int, npt.NDArray[np.float32], npt.NDArray[np.uint64]]:
        """(bytes, fixed, evaluated, entropies, positions) of calibration."""
    @property
    def kind(self) -> str: ...
    @property
    def version(self) -> int: ...
    @property
    def has_probabilities(self) -> bool: ...
    def probabilities(self, context: Any) -> npt.NDArray[np.float64]: ...
    def entropy(self, context: Any) -> float: ...
    def score(
        self, document: Any, with_log_probs: bool, adapt: bool, memory: int
    ) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.float64]]: ...
    def evaluate(
        self, documents: list[Any], adapt: bool, memory: int
    ) -> tuple[int, int, float, float, int]: ...

def choose_theta(
    bytes: int, fixed: int, evaluated: int, entropies: npt.NDArray[np.float32],
    positions: npt.NDArray[np.uint64], target: float
) -> float: ...

class Stream:
    def __init__(
        self, model: Model, theta: float, theta_r: float, max_length: int, adapt: bool,
        memory: int
    ) -> None: ...
    def push(self, data: Any) -> npt.NDArray[np.int64]: ...
    def finish(self) -> npt.NDArray[np.int64]: ...
    @property
    def finished(self) -> bool: ...
    @property
    def next_entropy(self) -> float: ...
    @property
    def next_ends_patch(self) -> bool: ...
    @property
    def position(self) -> int: ...

def read_stretch(
    bytes: npt.NDArray[np.uint8],
    lengths: npt.NDArray[np.uint32],
    block_starts: npt.NDArray[np.uint64],
    block: int,
    begin: int,
    end: int,
) -> tuple[npt.NDArray[np.uint8], npt.NDArray[np.bool_]]:
    """Bytes [begin, end) of a shard, copied, and whether a patch starts at each."""

def sum_length_blocks(lengths: npt.NDArray[np.uint32], block: int) -> npt.NDArray[np.uint64]:
    """The sums of consecutive blocks of `block` lengths (the last block may be shorter)."""
