"""One document looked at: the entropy at each byte with theta across it, every cut
marked by the test that made it, and the bytes cut into their patches, as a page that
opens anywhere (no network) and renders in a notebook.

The cuts drawn are the patch ends of the same call; the entropies are the ones those
ends were judged by. Each cut is told apart by the first test that passes at it: the
absolute one (above theta), the rise one (above the previous entropy by more than
theta_r), the longest patch, or the document's end.
"""

from __future__ import annotations

import base64
import math
import pathlib
from typing import TYPE_CHECKING, Any, SupportsIndex

import numpy as np
import numpy.typing as npt

from . import _arguments, _pages
from ._model import ContextModel
from ._reading import Reading

if TYPE_CHECKING:
    from ._patching import BytesLike

# The bytes a page shows at once; the rest is reached a window at a time, so that a
# page of any length opens at once and draws only what is in view.
WINDOW = 512
# What each figure of a page keeps: enough for a tooltip, little for the page's size.
_DIGITS = 4
_KIND_OF = {"absolute": "a", "rise": "r", "length": "m", "last": "e"}
_TERMINAL_COLOURS = ("\033[30;46m", "\033[30;43m")  # black on cyan, black on yellow
_RESET = "\033[0m"


class PatchView:
    """A document's entropies and patches, drawn (see :func:`show`).

    ``data`` is what the page carries in its ``<script type="application/json"
    id="qelt-data">`` block: ``k``, ``theta``, ``theta_r``, ``reading``,
    ``max_patch_length``, ``length``, ``first``, ``ends`` (the patch ends, ints),
    ``cut_kinds`` (one letter per end: ``a`` absolute, ``r`` rise, ``m`` the longest
    patch, ``e`` the document's end), ``entropies`` (nats, one per byte, rounded to 4
    decimals), ``probabilities`` (of each byte, or None where the model has none) and
    ``bytes`` (base64)."""

    def __init__(self, data: dict[str, Any], entropies: npt.NDArray[np.float32],
                 ends: npt.NDArray[np.int64], title: str) -> None:
        self.data, self.entropies, self.ends, self.title = data, entropies, ends, title

    def to_html(self) -> str:
        """The page: one self-contained HTML file."""
        return _pages.render("document.html", self.title, self.data)

    def to_terminal(self, *, colour: bool, limit: int = 0, separator: str = "|") -> str:
        """The patches as text, from the first byte: on alternating backgrounds when
        ``colour`` (each line of a patch coloured on its own, so that a line break does
        not paint the rest of the terminal's line), else each followed by
        ``separator``; after ``limit`` bytes (0: all) a line says how many patches are
        left. Bytes that are not UTF-8 are shown escaped."""
        raw = base64.b64decode(self.data["bytes"])
        pieces, start = [], 0
        for index, end in enumerate(self.data["ends"]):
            if limit and start >= limit:
                pieces.append(f"\n... ({len(self.data['ends']) - index} more patches)")
                break
            text = raw[start:end].decode("utf-8", errors="backslashreplace")
            if colour:
                code = _TERMINAL_COLOURS[index % 2]
                pieces.append("\n".join(f"{code}{line}{_RESET}" if line else line
                                        for line in text.split("\n")))
            else:
                pieces.append(text + separator)
            start = end
        return "".join(pieces)

    def _repr_html_(self) -> str:
        return _pages.notebook_frame(self.to_html())

    def save(self, path: str | pathlib.Path) -> None:
        """Writes the page (``.html``), or the plot of the first window as a picture
        (``.svg``, ``.png``; these need matplotlib, of the ``corpus`` extra)."""
        suffix = _pages.suffix_of(path)
        if suffix in _pages.PAGES:
            pathlib.Path(path).write_text(self.to_html(), "utf-8")
        else:
            self._picture(pathlib.Path(path), suffix[1:])

    def _picture(self, target: pathlib.Path, form: str) -> None:
        plt = _pages.pyplot()
        first = int(self.data["first"])
        last = min(len(self.entropies), first + WINDOW)
        positions = np.arange(first, last)
        bits = self.entropies[first:last].astype(np.float64) / math.log(2)
        figure, axes = plt.subplots(figsize=(12, 3.2))
        axes.plot(positions + 0.5, bits, linewidth=0.8, color="#1f5fa8")
        theta = float(self.data["theta"])
        if math.isfinite(theta):
            axes.axhline(theta / math.log(2), color="#c0392b", linestyle="--", linewidth=0.8)
        colours = {"a": "#c0392b", "r": "#e69500", "m": "#7d3c98", "e": "#888888"}
        for end, kind in zip(self.data["ends"], self.data["cut_kinds"]):
            if first < end <= last:
                axes.axvline(end, color=colours[kind], linewidth=0.5)
        axes.set_xlabel("byte")
        axes.set_ylabel("entropy, bits")
        axes.set_title(self.title, fontsize=10)
        axes.set_xlim(first, max(last, first + 1))
        figure.tight_layout()
        figure.savefig(target, format=form)
        plt.close(figure)


def show(
    document: BytesLike,
    model_or_k: ContextModel | SupportsIndex,
    theta: float,
    theta_r: float,
    *,
    reading: str | Reading | None = None,
    max_patch_length: int | None = None,
    first: SupportsIndex = 0,
    title: str | None = None,
) -> PatchView:
    """A document looked at: its entropy at each byte with ``theta`` across it, every
    cut marked by the test that made it, and its bytes cut into patches.

    ``model_or_k`` is a :class:`ContextModel` (read as ``reading`` says) or an int
    ``k``, for the document's own model of ``k`` (as :func:`qelt_corpus.patch_ends`
    patches it). The cuts are exactly the patch ends of the same call. ``first`` is
    the byte the page opens at. The result renders in a notebook and saves itself as a
    page or a picture (:meth:`PatchView.save`).

    Example:
        >>> view = show(b"abcabd abcabd", 2, 0.5, 10.0)
        >>> view.data["ends"] == [3, 6, 10, 13]
        True
    """
    raw = bytes(memoryview(document).cast("B"))
    thresholds = _arguments.thresholds(theta, theta_r, max_patch_length)
    if isinstance(model_or_k, ContextModel):
        model, asked = model_or_k, Reading.of(reading)
        ends = model.patch_ends(raw, theta, theta_r, max_patch_length=max_patch_length,
                                reading=asked)
    else:
        from ._patching import patch_ends

        k = _arguments.integer("k", model_or_k, 0)
        if reading not in (None, "static"):
            raise ValueError("a document's own model is read as it is: reading must be "
                             "'static'")
        ends = patch_ends(raw, k, theta, theta_r, max_patch_length=max_patch_length)
        # The model patch_ends makes of the document, for its entropies and probabilities.
        model, asked = ContextModel.train([raw], k), Reading()
    start = _arguments.integer("first", first, 0)
    if raw and start >= len(raw):
        raise ValueError(f"first must be below the document's length {len(raw)}, not {start}")
    entropies, log_probs = model._scores(raw, asked)
    probabilities = (None if log_probs is None else
                     [float(f"{p:.4g}") for p in np.exp2(log_probs).tolist()])
    kinds = cut_kinds(entropies, ends, model.k, *thresholds)
    payload = {
        "version": 1, "k": model.k, "theta": _pages.finite_or_text(float(theta)),
        "theta_r": _pages.finite_or_text(float(theta_r)), "reading": asked.mode,
        "max_patch_length": max_patch_length, "length": len(raw), "first": start,
        "window": WINDOW, "ends": [int(e) for e in ends], "cut_kinds": "".join(kinds),
        "entropies": [round(h, _DIGITS) for h in entropies.tolist()],
        "probabilities": probabilities,
        "bytes": base64.b64encode(raw).decode("ascii"),
    }
    return PatchView(payload, entropies, ends, title or f"{len(raw)} bytes in {len(ends)} patches")


def cut_kinds(entropies: npt.NDArray[np.float32], ends: npt.NDArray[np.int64], k: int,
              theta: float, theta_r: float, max_length: int) -> list[str]:
    """The letter of the test that made each end (see PatchView.data): the rules of
    patching, asked in their order at the byte before the end."""
    h = np.asarray(entropies, np.float32)
    limit_theta, limit_rise = np.float32(theta), np.float32(theta_r)
    kinds, start = [], 0
    for end in map(int, ends):
        i = end - 1
        previous = float(h[i - 1]) if i > k else 0.0
        if i >= k and h[i] > limit_theta:
            kind = "absolute"
        elif i >= k and float(h[i]) - previous > float(limit_rise):
            kind = "rise"
        elif max_length and end - start == max_length:
            kind = "length"
        else:
            kind = "last"
        kinds.append(_KIND_OF[kind])
        start = end
    return kinds
