"""A model built in shares, step by step, where the counts of each share lie (the
native build's steps, for ``qelt-corpus train``).

The windows of a corpus's counts fall in 2**bits shares by the last bytes of their
contexts (``take_encoded_shares``), so that a context and every longer one that ends
with it are in one share. Each share is surveyed (``survey``); the surveys make the plan (``plan``),
which settles what the whole corpus decides: the estimator's statistics, the shortest
contexts, and which contexts a budget of bytes leaves out (where that falls among
contexts of one count and length, ``settle`` searches the shares' ``candidates`` for
the key). Each share is then built (``build``) into its run of bytes of the file, and
``Assembly`` places the runs and gives the rest of the file. The file is byte for byte
the one ``ContextCounts.to_model`` makes.
"""

from __future__ import annotations

import dataclasses
from typing import Any, Callable, Sequence

import numpy as np
import numpy.typing as npt

from . import _kinds, _native
from ._model import ContextCounts, native_counts, wrapped_counts

Plan = _native.BuildPlan
Candidates = _native.CutCandidates
Assembly = _native.ModelAssembly
MOST_BITS = 10  # at most 1024 shares


@dataclasses.dataclass(frozen=True)
class Settings:
    """What the model is built with, as ``ContextCounts.to_model`` takes it."""

    smoothing: str
    min_count: int = 1
    max_bytes: int = 0  # no budget

    def __post_init__(self) -> None:
        _kinds.kind(self.smoothing)


@dataclasses.dataclass(frozen=True)
class Built:
    """A share built: its run of bytes of the file, what the assembly needs of it, and
    the CRC-32C of the run."""

    run: npt.NDArray[np.uint8]
    sections: bytes
    crc: int


def build_bytes(k: int, windows: int) -> int:
    """About how many bytes building a share of ``windows`` windows of counts of ``k``
    takes at once."""
    return int(_native.share_build_bytes(k, windows))


def share_bits(k: int, piece_windows: npt.NDArray[np.uint64], budget: int,
               least_shares: int = 1) -> tuple[int, int]:
    """The bits of the fewest shares (at least ``least_shares``, at most 2**MOST_BITS)
    whose largest build takes at most ``budget`` bytes, for counts whose windows fall in
    pieces (2**MOST_BITS of them, in the order of the shares) as ``piece_windows``
    bounds them; and the bytes the largest share's build takes at those bits (more than
    ``budget`` if even the most shares do not fit). 0 bits at k = 0, whose windows all
    fall in one share."""
    if len(piece_windows) != 1 << MOST_BITS:
        raise ValueError(f"{len(piece_windows)} pieces, not {1 << MOST_BITS}")
    if k == 0:
        return 0, build_bytes(k, int(piece_windows.sum()))
    bits = 0
    while True:
        need = build_bytes(k, int(piece_windows.reshape(1 << bits, -1).sum(axis=1).max()))
        if bits == MOST_BITS or ((1 << bits) >= least_shares and need <= budget):
            return bits, need
        bits += 1


def bounded_counts(k: int, table_bytes: int) -> ContextCounts:
    """Empty counts of ``k`` whose table takes at most about ``table_bytes`` (sealed into
    encoded runs whenever it is full)."""
    counts = ContextCounts(k)
    native_counts(counts).bound_table(table_bytes)
    return counts


def take_encoded_shares(counts: ContextCounts, bits: int
                        ) -> tuple[npt.NDArray[np.uint8], npt.NDArray[np.uint64],
                                   npt.NDArray[np.uint64]]:
    """The counts of each of 2**bits shares, each encoded (as pickling encodes counts),
    one after another: the bytes, where each share's encoding ends, and the windows of
    each. ``counts`` are left empty, their table's bound kept."""
    return native_counts(counts).take_encoded_shares(bits)


def decoded_counts(encoding: Any) -> ContextCounts:
    """The counts of an encoding (a buffer), as take_encoded_shares makes them."""
    return wrapped_counts(_native.Counts.deserialize(encoding))


def memory_bytes(counts: ContextCounts) -> int:
    """The bytes the counts take."""
    return int(native_counts(counts).memory_bytes)


def windows(counts: ContextCounts) -> int:
    """At least the number of distinct windows counted (exact once merged or split)."""
    return int(native_counts(counts).windows)


def survey(counts: ContextCounts, index: int, bits: int, settings: Settings) -> bytes:
    return _native.survey_share(native_counts(counts), index, bits, settings.smoothing,
                                settings.min_count, settings.max_bytes)


def plan(surveys: Sequence[bytes], k: int, settings: Settings) -> Plan:
    """ValueError if the budget is below the smallest model of the counts."""
    return _native.plan_build(list(surveys), k, settings.smoothing, settings.min_count,
                              settings.max_bytes)


def candidates(counts: ContextCounts, index: int, bits: int, plan: Plan) -> Candidates:
    return _native.cut_candidates(native_counts(counts), index, bits, plan)


# How many candidates have keys at most each point, and the bytes they list.
AtMost = tuple[npt.NDArray[np.uint64], npt.NDArray[np.uint64]]


def settle(plan: Plan, ask: Callable[[npt.NDArray[np.uint64]], AtMost]) -> Plan:
    """The plan with the key its budget falls at found: ``ask(points)`` answers, summed
    over every share's candidates, how many have keys at most each point and the bytes
    they list (``Candidates.at_most``). A few rounds of 1023 points at most."""
    search = _native.CutSearch(plan)
    while not search.done:
        contexts, pairs = ask(search.points())
        search.answer(contexts.tolist(), pairs.tolist())
    return search.settled()


def build(counts: ContextCounts, index: int, bits: int, plan: Plan) -> Built:
    run, sections, crc = _native.build_share(native_counts(counts), index, bits, plan)
    return Built(run, sections, crc)


def assemble(plan: Plan, bits: int, sections: Sequence[bytes]) -> Any:
    """The assembly of the file from the sections of every share, by index."""
    assembly = Assembly(plan, bits)
    for part in sections:
        assembly.add(part)
    return assembly
