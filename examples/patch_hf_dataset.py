#!/usr/bin/env python3
"""Add the patch ends of every document to a Hugging Face dataset.

The dataset is loaded from local JSON-lines or Parquet files; `Dataset.map` hands
each batch over as a pyarrow Table, and patch_ends_batch patches its text column in
one native call, without a Python object per document:

    python examples/patch_hf_dataset.py docs.jsonl --out patched/ -k 3 --theta 2.0

It needs the Hugging Face `datasets` library: the `[datasets]` extra
(`python3 -m pip install '.[corpus,datasets]'`).

The result is saved with `Dataset.save_to_disk`: the original columns and `ends`.
"""

import argparse

import datasets
import pyarrow as pa

import qelt_corpus


def add_patch_ends(dataset: datasets.Dataset, column: str, k: int, theta: float,
                   theta_r: float) -> datasets.Dataset:
    def add_ends(batch: pa.Table) -> pa.Table:
        ends = qelt_corpus.patch_ends_batch(batch[column], k, theta, theta_r)
        return batch.append_column("ends", ends)

    patched = dataset.with_format("arrow").map(add_ends, batched=True, batch_size=1000)
    return patched.with_format(None)  # back to Python objects for the caller


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("files", nargs="+", help="JSON-lines or Parquet files")
    parser.add_argument("--out", required=True, help="directory to save the dataset in")
    parser.add_argument("--column", default="text", help="the text column (default: text)")
    parser.add_argument("-k", type=int, default=3, help="context length (default 3)")
    parser.add_argument("--theta", type=float, default=2.0, help="absolute threshold (default 2.0)")
    parser.add_argument("--theta-r", type=float, default=1.0, help="rise threshold (default 1.0)")
    args = parser.parse_args()
    kind = "parquet" if all(f.endswith(".parquet") for f in args.files) else "json"
    dataset = datasets.load_dataset(kind, data_files=args.files, split="train")
    patched = add_patch_ends(dataset, args.column, args.k, args.theta, args.theta_r)
    patched.save_to_disk(args.out)
    print(f"{len(patched)} documents patched; saved to {args.out}")


if __name__ == "__main__":
    main()
