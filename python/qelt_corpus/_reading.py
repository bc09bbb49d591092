"""How a model reads each document, as one value: what the ``reading=``, ``adapt=`` and
``adapt_memory=`` arguments of the model's methods become at the API's door."""

from __future__ import annotations

import dataclasses
from typing import Any

from . import _arguments, _native

# The readings, as the core names them: "static", "adaptive", "mix".
MODES: tuple[str, ...] = tuple(_native.reading_modes())
# What a reading's memory is unless told otherwise (1 GiB), and at least (4 KiB).
DEFAULT_MEMORY: int = _native.DEFAULT_READING_MEMORY
LEAST_MEMORY: int = _native.LEAST_READING_MEMORY
_UNBOUNDED: int = _native.UNBOUNDED_READING_MEMORY


@dataclasses.dataclass(frozen=True)
class Reading:
    """How a model reads each document.

    ``mode`` is one of:

    - ``"static"``: the model as it is, the distribution after the longest suffix it
      keeps of the ``k`` bytes before each position;
    - ``"adaptive"``: that distribution sharpened by the counts of the same ``k`` bytes
      earlier in the document;
    - ``"mix"``: the model's distribution pooled with the document's own after 1 to 10
      bytes and with a match model (the byte that followed the longest earlier
      occurrence of the last bytes), with weights learnt as the document is read.

    ``memory`` bounds what a document teaches the adaptive and mixing readings, in
    bytes (None: no bound); past it the reading forgets the document so far and learns
    afresh, so a byte costs the same however long the document. Every value at a
    position depends only on the model, the reading and the bytes before it.

    Example:
        >>> Reading("mix", memory=256 << 20)
        Reading(mode='mix', memory=268435456)
    """

    mode: str = "static"
    memory: int | None = DEFAULT_MEMORY

    def __post_init__(self) -> None:
        if not isinstance(self.mode, str):
            raise TypeError(f"reading must be a str or a Reading, not "
                            f"{type(self.mode).__name__}")
        if self.mode not in MODES:
            raise ValueError(f"reading must be one of {', '.join(map(repr, MODES))}, "
                             f"not {self.mode!r}")
        if self.memory is not None:
            object.__setattr__(self, "memory",
                               _arguments.integer("adapt_memory", self.memory, LEAST_MEMORY))

    @classmethod
    def of(cls, reading: object = None, adapt: object = False,
           adapt_memory: object = DEFAULT_MEMORY) -> Reading:
        """The reading that a method's arguments ask for: ``reading`` (a mode's name or
        a Reading; None for the static one unless ``adapt``), ``adapt=True`` (the same
        as ``reading="adaptive"``; TypeError unless a bool) and ``adapt_memory``.
        ValueError where ``adapt`` and ``reading`` disagree."""
        if not isinstance(adapt, bool):
            raise TypeError(f"adapt must be a bool, not {type(adapt).__name__}")
        if isinstance(reading, Reading):
            asked = reading
        elif reading is None:
            asked = cls("adaptive" if adapt else "static", adapt_memory)  # type: ignore[arg-type]
        else:
            asked = cls(reading, adapt_memory)  # type: ignore[arg-type]
        if adapt and asked.mode != "adaptive":
            raise ValueError(f"adapt=True means reading='adaptive', not {asked.mode!r}")
        return asked

    @property
    def native(self) -> Any:
        """The core's value of this reading."""
        memory = _UNBOUNDED if self.memory is None else min(self.memory, _UNBOUNDED)
        return _native.Reading(self.mode, memory)
