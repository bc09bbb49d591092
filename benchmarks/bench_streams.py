#!/usr/bin/env python3
"""Patching as bytes arrive, and patching by given entropies, against one patch_ends
call, in one run (ratios of figures of the same run).

    python3 benchmarks/bench_streams.py

On 16 MiB of Python sources and of binaries (found on this machine), with a smoothed
model at k = 3 trained on other sources: a PatchStream fed 4 KiB pushes against one
model.patch_ends call over the same bytes; fed one byte per push, the time per byte
over the first 64 KiB against the 64 KiB after 1 MiB had been pushed; and
patch_ends_from_entropies over the model's entropies of the same bytes, in GB/s of
entropies (4 bytes each). Then the same for a stream whose model learns from the
stream (adapt): 4 KiB pushes against one adaptive patch_ends call, and the time per
byte pushed one at a time, at the start and after 1 MiB.
"""

from __future__ import annotations

import time

import shared
from shared import best_seconds
from qelt_corpus import ContextModel, patch_ends_from_entropies

MIB = 1 << 20


def per_byte(stream, data: bytes) -> float:
    """Seconds per byte of pushing `data` one byte at a time."""
    push = stream.push
    views = [data[i:i + 1] for i in range(len(data))]
    start = time.perf_counter()
    for view in views:
        push(view)
    return (time.perf_counter() - start) / len(data)


def main() -> None:
    text = shared.python_sources(24 * MIB)
    model = ContextModel.train([text[16 * MIB:]], 3, smoothing="kneser-ney")
    for name, data in shared.corpora(16 * MIB).items():
        if name == "random":
            continue
        whole = best_seconds(lambda: model.patch_ends(data, 2.0, 1.0))

        def pushes() -> None:
            stream = model.stream(2.0, 1.0)
            for i in range(0, len(data), 4096):
                stream.push(data[i:i + 4096])
            stream.finish()

        pushed = best_seconds(pushes)
        stream = model.stream(2.0, 1.0)
        early = per_byte(stream, data[:64 << 10])
        stream.push(data[64 << 10:MIB])
        late = per_byte(stream, data[MIB:MIB + (64 << 10)])
        entropies = model.entropies(data)
        given = best_seconds(lambda: patch_ends_from_entropies(entropies, 2.0, 1.0))
        print(f"{name}: one patch_ends {len(data) / whole / 1e6:.1f} MB/s; 4 KiB pushes "
              f"{len(data) / pushed / 1e6:.1f} MB/s ({whole / pushed:.2f} of one call); one "
              f"byte per push {early * 1e9:.0f} ns a byte at the start, {late * 1e9:.0f} ns "
              f"after 1 MiB ({late / early:.2f}); patch_ends_from_entropies "
              f"{entropies.nbytes / given / 1e9:.2f} GB/s", flush=True)
        piece = data[:4 * MIB]
        whole = best_seconds(lambda: model.patch_ends(piece, 2.0, 1.0, adapt=True), 3)

        def adaptive_pushes() -> None:
            stream = model.stream(2.0, 1.0, adapt=True)
            for i in range(0, len(piece), 4096):
                stream.push(piece[i:i + 4096])
            stream.finish()

        pushed = best_seconds(adaptive_pushes, 3)
        stream = model.stream(2.0, 1.0, adapt=True)
        early = per_byte(stream, data[:64 << 10])
        stream.push(data[64 << 10:MIB])
        late = per_byte(stream, data[MIB:MIB + (64 << 10)])
        print(f"{name}, adapt, first 4 MiB: one patch_ends {len(piece) / whole / 1e6:.1f} MB/s; "
              f"4 KiB pushes {whole / pushed:.2f} of one call; one byte per push "
              f"{early * 1e9:.0f} ns a byte at the start, {late * 1e9:.0f} ns after 1 MiB "
              f"({late / early:.2f})", flush=True)


if __name__ == "__main__":
    main()
