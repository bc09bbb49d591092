"""The kinds of context model, as the core's one table of kinds defines them: the names
the API and the command take, and what each supports."""

from __future__ import annotations

from . import _native

_TABLE = tuple(_native.model_kinds())

# The names of the kinds, in the order of the table (the default first).
NAMES: tuple[str, ...] = tuple(row["name"] for row in _TABLE)
# One sentence on each.
SUMMARIES: dict[str, str] = {row["name"]: row["summary"] for row in _TABLE}
# The kinds that have an adaptive mode.
ADAPTIVE: frozenset[str] = frozenset(row["name"] for row in _TABLE if row["adaptive"])


def kind(name: object) -> str:
    """`name` if it names a kind, else ValueError listing the kinds."""
    if not isinstance(name, str) or name not in NAMES:
        raise ValueError(f"smoothing must be one of {', '.join(map(repr, NAMES))}, "
                         f"not {name!r}")
    return name


def described(indent: str = "") -> str:
    """Each kind with its sentence, an item each, for docstrings."""
    import textwrap

    return "\n".join(textwrap.fill(f'- ``"{name}"``: {SUMMARIES[name]}.', 88 - len(indent),
                                   initial_indent=indent, subsequent_indent=indent + "  ")
                     for name in NAMES)
