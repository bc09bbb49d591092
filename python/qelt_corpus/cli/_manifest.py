"""The manifest of an output dataset: what made it, so that --resume can check that
it finishes the same run (docs/formats.md, "Output dataset")."""

from __future__ import annotations

import argparse
import contextlib
import hashlib
import json
import os
from typing import Any, Sequence

from ._usage import UsageError

MANIFEST = "_qelt_corpus.json"
VERSION = 1


def manifest(args: argparse.Namespace, partitions: Sequence[Any]) -> dict[str, Any]:
    """What makes a dataset: a resumed run must have the same."""
    model = None
    if args.model:
        info = os.stat(args.model)
        model = [os.path.abspath(args.model), info.st_size, info.st_mtime_ns]
    plan = hashlib.sha256(repr(list(partitions)).encode()).hexdigest()
    return {
        "version": VERSION,
        "inputs": [os.path.abspath(i) for i in args.inputs],
        "format": args.format, "column": args.column, "id_column": args.id_column,
        "k": args.k, "model": model, "theta": args.theta, "theta_r": args.theta_r,
        "max_patch_length": args.max_patch_length, "partition_bytes": args.partition_bytes,
        "partitions": len(partitions), "plan": plan,
    }


def prepare_output(out: str, resume: bool, made_by: dict[str, Any],
                   part_name: Any) -> set[int]:
    """Creates the output directory, or checks it on --resume, and writes the
    manifest; the partitions whose files are complete."""
    if os.path.exists(out) and not os.path.isdir(out):
        raise UsageError(f"--out {out}: not a directory")
    try:
        os.makedirs(out, exist_ok=True)
    except OSError as error:
        raise UsageError(f"--out {out}: {error}") from None
    path = os.path.join(out, MANIFEST)
    names = os.listdir(out)
    if not resume:
        if MANIFEST in names or any(n.startswith("part-") for n in names):
            raise UsageError(f"--out {out} already holds a dataset: --resume to finish it, "
                             "or choose another directory")
    elif MANIFEST in names:
        with open(path) as file:
            found = json.load(file)
        if found.get("version") != VERSION:
            raise UsageError(f"--out {out}: unsupported version {found.get('version')} of "
                             f"{MANIFEST} (this build reads version {VERSION})")
        if found != made_by:
            raise UsageError(f"--out {out} holds a run with other inputs or settings: "
                             "it cannot be resumed with these")
    remove_partial_files(out)
    with open(path + ".tmp", "w") as file:
        json.dump(made_by, file, indent=1)
    os.replace(path + ".tmp", path)
    return {i for i in range(made_by["partitions"]) if part_name(i) in names}


def remove_partial_files(out: str) -> None:
    """Removes the remains of writes cut short."""
    with contextlib.suppress(OSError):
        for name in os.listdir(out):
            if name.startswith(".part-") and name.endswith(".tmp"):
                with contextlib.suppress(OSError):
                    os.unlink(os.path.join(out, name))
