"""Pages that open anywhere: a template of the package filled with what it draws, as
one self-contained HTML file (no network), framed for a notebook, or drawn as a picture.

What a page draws is in it as JSON, in ``<script type="application/json"
id="qelt-data">``, for tests (ours and anyone's) to read back.
"""

from __future__ import annotations

import html
import importlib.resources
import json
import math
import pathlib
from typing import Any

PICTURES = (".svg", ".png")
PAGES = (".html", ".htm")


def render(template: str, title: str, data: dict[str, Any]) -> str:
    """The page of `template` (a file of pages/) with `title` and `data`."""
    text = (importlib.resources.files("qelt_corpus") / "pages" / template).read_text("utf-8")
    # "</" never appears inside the JSON block, so nothing in it can end the script.
    payload = json.dumps(data, separators=(",", ":")).replace("</", "<\\/")
    return text.replace("__TITLE__", html.escape(title)).replace("__DATA__", payload)


def notebook_frame(page: str) -> str:
    """A page as a notebook cell shows it: in a frame of its own, its scripts running."""
    return (f'<iframe srcdoc="{html.escape(page, quote=True)}" '
            'style="width:100%;height:620px;border:0" sandbox="allow-scripts"></iframe>')


def suffix_of(path: str | pathlib.Path) -> str:
    """The suffix a page or picture is saved by; ValueError for one it cannot be."""
    suffix = pathlib.Path(path).suffix.lower()
    if suffix not in PAGES + PICTURES:
        raise ValueError(f"cannot save as {suffix or 'a file without a suffix'}: use .html, "
                         ".svg or .png")
    return suffix


def pyplot() -> Any:
    """matplotlib's pyplot, drawing off screen; ImportError in one line without it."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        raise ImportError("saving a picture needs matplotlib: pip install 'qelt[corpus]'") \
            from None
    return plt


def finite_or_text(value: float) -> float | str:
    """JSON has no infinity: an infinite value is written as "inf" or "-inf"."""
    return value if math.isfinite(value) else ("inf" if value > 0 else "-inf")


class Report:
    """Figures drawn as charts: ``lines`` of text, then ``charts``, each a dict with a
    ``kind`` ("line": ``x``, ``y``; "bars": ``edges``, ``counts``; "points": ``x``,
    ``y``, ``labels``; "table": ``columns``, ``rows``), a ``title``, axis labels
    ``xlabel`` and ``ylabel``, and marks (``vmarks``: ``x``, ``label``; ``hmarks``:
    ``y``, ``label``)."""

    def __init__(self, title: str, data: dict[str, Any]) -> None:
        self.title, self.data = title, data

    def to_html(self) -> str:
        """The page: one self-contained HTML file."""
        return render("report.html", self.title, self.data)

    def _repr_html_(self) -> str:
        return notebook_frame(self.to_html())

    def save(self, path: str | pathlib.Path) -> None:
        """Writes the page (``.html``) or its charts as a picture (``.svg``, ``.png``;
        these need matplotlib, of the ``corpus`` extra)."""
        suffix = suffix_of(path)
        if suffix in PAGES:
            pathlib.Path(path).write_text(self.to_html(), "utf-8")
            return
        plt = pyplot()
        charts = [c for c in self.data["charts"] if c["kind"] != "table"]
        figure, axes = plt.subplots(max(1, len(charts)), 1,
                                    figsize=(10, 3 * max(1, len(charts))), squeeze=False)
        for chart, ax in zip(charts, axes[:, 0]):
            _draw(ax, chart)
        figure.suptitle(self.title, fontsize=10)
        figure.tight_layout()
        figure.savefig(path, format=suffix[1:])
        plt.close(figure)


def _draw(ax: Any, chart: dict[str, Any]) -> None:
    number = float  # a number, or "inf" / "-inf" as JSON writes them

    if chart["kind"] == "line":
        ax.plot([number(v) for v in chart["x"]], [number(v) for v in chart["y"]], linewidth=1)
    elif chart["kind"] == "bars":
        edges = [number(v) for v in chart["edges"]]
        ax.bar(edges[:-1], chart["counts"], width=[b - a for a, b in zip(edges, edges[1:])],
               align="edge")
    else:
        ax.scatter(chart["x"], chart["y"], s=6)
    if chart.get("logx"):
        ax.set_xscale("log")
    for mark in chart.get("vmarks", []):
        if math.isfinite(number(mark["x"])):
            ax.axvline(number(mark["x"]), color="#c0392b", linestyle="--", linewidth=0.8)
    for mark in chart.get("hmarks", []):
        if math.isfinite(number(mark["y"])):
            ax.axhline(number(mark["y"]), color="#c0392b", linestyle="--", linewidth=0.8)
    ax.set_title(chart["title"], fontsize=9)
    ax.set_xlabel(chart["xlabel"])
    ax.set_ylabel(chart["ylabel"])
