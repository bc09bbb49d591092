"""The reports of calibrating and evaluating, as pages (_pages.Report): what a
Calibration and an Evaluation show in a notebook and save, and what ``calibrate
--report`` and ``evaluate --report`` write."""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any, Mapping

from ._pages import Report, finite_or_text

if TYPE_CHECKING:
    from ._model import Calibration, Evaluation

# The points of a curve drawn, at most; the documents listed as the hardest.
CURVE_POINTS = 400
WORST = 10
# The lengths a histogram shows one bar each; longer ones are counted on a line.
SHOWN_SHARE = 0.995


def calibration_report(calibration: Calibration, target: float | None = None,
                       theta: float | None = None, lengths: Mapping[int, int] | None = None,
                       title: str = "Calibration of theta") -> Report:
    """The mean patch length against theta (exact at every entropy met, at most
    CURVE_POINTS of them drawn), the target and the chosen theta marked, and the
    histogram of patch `lengths` (length -> patches) at that theta if given."""
    import numpy as np

    if theta is None and target is not None:
        theta = calibration.theta(target)
    entropies = np.asarray(calibration.entropies, np.float64)
    order = np.argsort(entropies, kind="stable")
    values = entropies[order]
    counts = np.asarray(calibration.positions, np.float64)[order]
    # Patching with theta = values[j] cuts at the positions of every entropy above it.
    above = np.concatenate([np.cumsum(counts[::-1])[::-1][1:], [0.0]]) if len(values) else counts
    means = calibration.bytes / (calibration.fixed + above) if len(values) else above
    step = max(1, math.ceil(len(values) / CURVE_POINTS))
    picked = np.unique(np.r_[np.arange(0, len(values), step), len(values) - 1]) \
        if len(values) else np.empty(0, np.int64)
    lines = [f"{calibration.bytes} bytes; {calibration.fixed} patches that every theta "
             f"gives; {len(values)} distinct entropies judged"]
    if target is not None:
        lines.append(f"target mean patch length {target:g} bytes")
    if theta is not None:
        lines.append(f"theta {theta:.6g} nats gives {calibration.mean_patch_length(theta):.3f} "
                     "bytes on average")
    charts: list[dict[str, Any]] = [{
        "kind": "line", "title": "Mean patch length against theta", "xlabel": "theta, nats",
        "ylabel": "mean patch length, bytes",
        "x": [float(v) for v in values[picked]], "y": [float(v) for v in means[picked]],
        "vmarks": [] if theta is None else [{"x": finite_or_text(theta),
                                             "label": f"theta {theta:.4g}"}],
        "hmarks": [] if target is None else [{"y": target, "label": f"target {target:g}"}],
    }]
    data: dict[str, Any] = {"version": 1, "kind": "calibration", "bytes": calibration.bytes,
                            "target": target, "theta": None if theta is None else
                            finite_or_text(theta), "lines": lines, "charts": charts}
    if lengths:
        data["lengths"] = {str(length): int(n) for length, n in sorted(lengths.items())}
        charts.append(_length_histogram(lengths))
        lines.append(f"{sum(lengths.values())} patches at theta, "
                     f"{sum(k * n for k, n in lengths.items())} bytes")
    return Report(title, data)


def _length_histogram(lengths: Mapping[int, int]) -> dict[str, Any]:
    total = sum(lengths.values())
    shown, seen = [], 0
    for length in sorted(lengths):
        if seen >= SHOWN_SHARE * total:
            break
        shown.append(length)
        seen += lengths[length]
    longer = total - seen
    return {"kind": "bars", "title": "Patch lengths at theta" +
            (f" ({longer} longer patches not drawn)" if longer else ""),
            "xlabel": "patch length, bytes", "ylabel": "patches",
            "edges": [length - 0.5 for length in shown] + [shown[-1] + 0.5],
            "counts": [int(lengths[length]) for length in shown]}


def evaluation_report(evaluation: Evaluation, title: str = "Evaluation") -> Report:
    """Bits per byte and mean entropy over all documents; with per-document figures,
    their histogram, the hardest documents, and bits per byte against length and
    against the mean entropy."""
    lines = [f"{evaluation.documents} documents, {evaluation.bytes} bytes: "
             f"{evaluation.bits_per_byte:.4f} bits per byte, mean entropy "
             f"{evaluation.mean_entropy_bits:.4f} bits",
             f"{evaluation.zero_probability_bytes} bytes of probability 0"]
    data: dict[str, Any] = {"version": 1, "kind": "evaluation", "bytes": evaluation.bytes,
                            "documents": evaluation.documents,
                            "bits_per_byte": finite_or_text(evaluation.bits_per_byte),
                            "mean_entropy_bits": finite_or_text(evaluation.mean_entropy_bits),
                            "lines": lines, "charts": []}
    figures = evaluation.per_document
    if figures:
        rows = [(i, b, bits / b, h / b) for i, b, bits, h in
                zip(figures["id"], figures["bytes"], figures["bits"], figures["entropy_bits"])
                if b > 0]
        finite = [r for r in rows if math.isfinite(r[2])]
        data["per_document"] = {"id": [r[0] for r in rows], "bytes": [r[1] for r in rows],
                                "bits_per_byte": [finite_or_text(r[2]) for r in rows],
                                "mean_entropy_bits": [r[3] for r in rows]}
        if finite:
            low, high = min(r[2] for r in finite), max(r[2] for r in finite)
            bins = 30
            width = (high - low) / bins or 1.0
            counts = [0] * bins
            for r in finite:
                counts[min(bins - 1, int((r[2] - low) / width))] += 1
            data["charts"] += [
                {"kind": "bars", "title": "Documents by bits per byte",
                 "xlabel": "bits per byte", "ylabel": "documents",
                 "edges": [low + width * i for i in range(bins + 1)], "counts": counts},
                {"kind": "points", "title": "Bits per byte against document length",
                 "xlabel": "bytes", "ylabel": "bits per byte", "logx": True,
                 "x": [r[1] for r in finite], "y": [r[2] for r in finite],
                 "labels": [str(r[0]) for r in finite]},
                {"kind": "points", "title": "Mean entropy beside bits per byte",
                 "xlabel": "bits per byte", "ylabel": "mean entropy, bits",
                 "x": [r[2] for r in finite], "y": [r[3] for r in finite],
                 "labels": [str(r[0]) for r in finite]}]
        worst = sorted(rows, key=lambda r: -r[2])[:WORST]
        data["charts"].append({
            "kind": "table", "title": f"The {len(worst)} hardest documents",
            "columns": ["id", "bytes", "bits per byte", "mean entropy, bits"],
            "rows": [[str(r[0]), r[1], finite_or_text(r[2]), r[3]] for r in worst]})
    return Report(title, data)
