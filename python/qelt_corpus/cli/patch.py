"""``qelt-corpus patch``: every document patched into a Parquet dataset, one file per
partition, written on the workers, locally or to any fsspec URL."""

from __future__ import annotations

import argparse
import dataclasses
import sys
from typing import Any

from .. import _storage
from . import _driver, _manifest, _options
from ._histogram import save_histogram
from ._settings import Cluster, Inputs, Patching
from ._summary import Summary
from .tasks import patch as tasks

HISTOGRAM = "_histogram.png"


def add_parser(commands: Any) -> None:
    patch = commands.add_parser("patch", help="patch documents into a Parquet dataset",
                                description="Patch every document into a Parquet dataset: "
                                "id, ends, bytes, patches, status per document.")
    _options.add_inputs(patch)
    patch.add_argument("--out", required=True, metavar="DIR",
                       help="dataset directory (a path or a URL): absent, empty, or a dataset "
                       "of an earlier run to finish with --resume")
    _options.add_patching(patch)
    patch.add_argument("--resume", action="store_true",
                       help="finish an interrupted run: keep the files it completed")
    patch.add_argument("--keep-columns", metavar="COL[,COL...]", type=_options.names,
                       help="input columns to carry into the dataset beside the ends, as "
                       "read (a file or a line of text offers 'text', its own bytes)")
    patch.add_argument("--histogram", metavar="PNG",
                       help=f"histogram of patch lengths (default: DIR/{HISTOGRAM})")
    _options.add_partitioning(patch)
    _options.add_cluster(patch)


@dataclasses.dataclass(frozen=True)
class PatchRun(_driver.DirectoryRun):
    histogram: str | None = None  # where to draw it, if not in the dataset


class Patch:
    """A part file of the dataset per partition."""

    verb = "patched"
    doing = "patching"
    noun = "partitions"
    in_flight_per_worker = 3
    task = staticmethod(tasks.patch_partition)

    def __init__(self, asked: PatchRun) -> None:
        self.asked = asked

    def groups(self, partitions: list[Any]) -> list[list[int]]:
        return [[i] for i in range(len(partitions))] or [[]]

    def settings(self, partitions: list[Any]) -> dict[str, Any]:
        keep = self.asked.inputs.keep_columns
        return {"keep_columns": list(keep)} if keep else {}

    def is_ours(self, name: str) -> bool:
        return name.startswith("part-")

    def name(self, index: int) -> str:
        return tasks.part_name(index)

    completion_marker = name

    def summary_of(self, result: Summary) -> Summary:
        return result

    def stored(self, output: _manifest.Output, index: int, options: Any) -> Summary:
        return tasks.stored_summary(output.join(self.name(index)), options)

    def finish(self, run: _driver.Run) -> tuple[str, list[str]]:
        lines = [f"dataset: {self.asked.out} ({len(run.whole)} of {len(run.groups)} files)"]
        problems = []
        histogram = run.total().histogram
        if histogram:
            location = self.asked.histogram or run.output.join(HISTOGRAM)
            try:
                save_histogram(histogram, location, self.asked.inputs.storage_options)
                lines.append(f"histogram: {location}")
            except Exception as error:
                print(f"error: histogram {location}: {_storage.first_line(error)}",
                      file=sys.stderr)
                problems.append("histogram")
        return "\n".join(lines), problems


def run(args: argparse.Namespace, started: float) -> int:
    if args.histogram:  # found now, not once the run is over
        _options.check_writable_file(args.histogram, args.storage_options, "--histogram")
    asked = PatchRun("patch", Inputs.of(args), Cluster.of(args), Patching.of(args), args.out,
                     args.resume, args.histogram)
    return _driver.run(asked, started, Patch(asked))
