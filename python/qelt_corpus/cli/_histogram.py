"""The histogram of patch lengths that the patch command draws beside its dataset."""

from __future__ import annotations

import io
from typing import Any

from .. import _storage


def save_histogram(histogram: dict[int, int], location: str,
                   storage_options: dict[str, Any] | None = None) -> None:
    """A bar chart of `histogram` (patch length -> patches) as a PNG at `location` (a
    path or a URL), written whole or not at all: the lengths up to the 99.5th
    percentile, the longer ones in one grey bar."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import MaxNLocator

    lengths = sorted(histogram)
    total = sum(histogram.values())
    cut, seen = lengths[-1], 0
    for length in lengths:
        seen += histogram[length]
        if seen >= 0.995 * total:
            cut = length
            break
    shown = [x for x in lengths if x <= cut]
    beyond = sum(c for x, c in histogram.items() if x > cut)
    figure, axes = plt.subplots(figsize=(8, 4.5))
    axes.bar(shown, [histogram[x] for x in shown], width=0.9, color="#3b7dd8")
    if beyond:
        axes.bar([cut + 2], [beyond], width=0.9, color="#999999", label=f"> {cut} bytes")
        axes.legend()
    axes.xaxis.set_major_locator(MaxNLocator(integer=True))
    axes.set_xlabel("patch length (bytes)")
    axes.set_ylabel("patches")
    mean = sum(x * c for x, c in histogram.items()) / total
    axes.set_title(f"{total} patches, mean {mean:.2f} bytes")
    figure.tight_layout()
    image = io.BytesIO()
    figure.savefig(image, format="png", dpi=100)
    plt.close(figure)
    _storage.write_file(location, image.getvalue(), storage_options)
