"""Every subcommand on every kind of input, as real processes: each run ends with exit 0
and gives what the API gives for the same documents. A new subcommand or input format
joins with one entry in SUBCOMMANDS or INPUTS, which must cover the command's
registries."""

import base64
import gzip
import json
import re

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq
import pytest
import qelt_corpus
import zstandard
from conftest import command
from qelt_corpus import ContextModel, PackedDataset, cli
from qelt_corpus.cli import formats

K, THETA, THETA_R, TARGET_MEAN = 2, 2.0, 1.0, 4.0


@pytest.fixture(scope="module")
def documents(real_text):
    """Documents of one line each (so that a text file can hold them too), one empty."""
    flat = real_text.replace(b"\n", b" ").replace(b"\r", b" ")
    sizes = [300 + 97 * (i % 13) for i in range(30)]
    starts = np.cumsum([0, *sizes])
    return [flat[a:b] for a, b in zip(starts[:-1], starts[1:])] + [b""]


def parquet(type_):
    def write(root, documents):
        values = documents if pa.types.is_binary(type_) or pa.types.is_large_binary(type_) \
            else [d.decode() for d in documents]
        pq.write_table(pa.table({"text": pa.array(values, type_)}), root / "docs.parquet",
                       row_group_size=7)
        return [root / "docs.parquet"]
    return write


def pandas_dataset(root, documents):
    dataset = root / "dataset"
    dataset.mkdir()
    texts = [d.decode() for d in documents]
    half = len(texts) // 2
    pd.DataFrame({"text": texts[:half]}).to_parquet(dataset / "part.0.parquet")
    pd.DataFrame({"text": texts[half:]}).to_parquet(dataset / "part.1.parquet")
    return [dataset]


def json_lines(suffix="", compress=lambda data: data):
    def write(root, documents):
        text = "".join(json.dumps({"text": d.decode()}) + "\n" for d in documents)
        path = root / f"docs.jsonl{suffix}"
        path.write_bytes(compress(text.encode()))
        return [path]
    return write


def glob_of_json_lines(root, documents):
    half = len(documents) // 2
    for name, part in (("a", documents[:half]), ("b", documents[half:])):
        (root / f"{name}.jsonl").write_text(
            "".join(json.dumps({"text": d.decode()}) + "\n" for d in part))
    return [f"{root}/*.jsonl"]


def directory_of_files(root, documents):
    directory = root / "files"
    directory.mkdir()
    for i, document in enumerate(documents):
        (directory / f"{i:03}.txt").write_bytes(document)
    return [directory]


def text_file_of_lines(root, documents):
    (root / "lines.txt").write_bytes(b"\n".join(documents) + b"\n")
    return [root / "lines.txt"]


# Each kind of input: the format it is read as, and how its files are written.
INPUTS = {
    "parquet-string": ("parquet", parquet(pa.string())),
    "parquet-large_string": ("parquet", parquet(pa.large_string())),
    "parquet-binary": ("parquet", parquet(pa.binary())),
    "parquet-large_binary": ("parquet", parquet(pa.large_binary())),
    "pandas-dataset": ("parquet", pandas_dataset),
    "jsonl": ("jsonl", json_lines()),
    "jsonl-gz": ("jsonl", json_lines(".gz", gzip.compress)),
    "jsonl-zst": ("jsonl", json_lines(".zst", zstandard.ZstdCompressor().compress)),
    "glob": ("jsonl", glob_of_json_lines),
    "directory-of-files": ("files", directory_of_files),
    "text-file-of-lines": ("lines", text_file_of_lines),
}


def patch(inputs, tmp_path, cluster, documents):
    out = tmp_path / "out"
    result = command("patch", *inputs, "--out", out, "-k", K, "--theta", THETA, "--theta-r",
                     THETA_R, "--no-progress", "--scheduler", cluster)
    assert result.returncode == 0, result.stderr
    found = sorted(tuple(ends) for ends in pq.read_table(out).column("ends").to_pylist())
    expected = sorted(tuple(qelt_corpus.patch_ends(d, K, THETA, THETA_R).tolist())
                      for d in documents)
    assert found == expected


def pack(inputs, tmp_path, cluster, documents):
    out = tmp_path / "packed"
    result = command("pack", *inputs, "--out", out, "-k", K, "--theta", THETA, "--theta-r",
                     THETA_R, "--no-progress", "--scheduler", cluster)
    assert result.returncode == 0, result.stderr
    dataset = PackedDataset(out)
    found = sorted((data.tobytes(), tuple(ends.tolist()))
                   for data, ends in (dataset[i] for i in range(len(dataset))))
    expected = sorted((d, tuple(qelt_corpus.patch_ends(d, K, THETA, THETA_R).tolist()))
                      for d in documents)
    assert found == expected


def train(inputs, tmp_path, cluster, documents):
    out = tmp_path / "model.qelt"
    result = command("train", *inputs, "--out", out, "-k", 3, "--no-progress", "--scheduler",
                     cluster)
    assert result.returncode == 0, result.stderr
    assert ContextModel.load(out) == ContextModel.train(documents, 3)


def calibrate(inputs, tmp_path, cluster, documents):
    model = ContextModel.train(documents, K)
    model.save(tmp_path / "model.qelt")
    result = command("calibrate", *inputs, "--model", tmp_path / "model.qelt", "--target-mean",
                     TARGET_MEAN, "--theta-r", THETA_R)
    assert result.returncode == 0, result.stderr
    theta = float(result.stdout.strip().splitlines()[-1])
    assert theta == model.calibrate([d for d in documents if d], TARGET_MEAN, theta_r=THETA_R)


def evaluate(inputs, tmp_path, cluster, documents):
    model = ContextModel.train(documents[::2], 3, smoothing="kneser-ney")
    model.save(tmp_path / "model.qelt")
    result = command("evaluate", *inputs, "--model", tmp_path / "model.qelt", "--json",
                     "--no-progress", "--scheduler", cluster)
    assert result.returncode == 0, result.stderr
    found = json.loads(result.stdout)
    expected = model.evaluate(documents)
    # Partitions are added up in their own order: the sums may differ in the last bits.
    assert found == pytest.approx({name: getattr(expected, name) for name in found}, rel=1e-12)
    assert found["bits_per_byte"] == pytest.approx(
        -np.concatenate([model.log_probs(d) for d in documents]).mean(), rel=1e-9)


def show(inputs, tmp_path, cluster, documents):
    """One document, picked by its row as patch reads the input, drawn whole."""
    for row in (1, len(documents) - 1):
        result = command("show", *inputs, "--row", row, "-k", K, "--theta", THETA,
                         "--theta-r", THETA_R, "--out", tmp_path / "page.html")
        assert result.returncode == 0, result.stderr
        page = (tmp_path / "page.html").read_text()
        data = json.loads(re.search(r'id="qelt-data">(.*?)</script>', page, re.S).group(1))
        assert base64.b64decode(data["bytes"]) == documents[row]
        assert data["ends"] == qelt_corpus.patch_ends(documents[row], K, THETA,
                                                      THETA_R).tolist()


SUBCOMMANDS = {"patch": patch, "pack": pack, "train": train, "calibrate": calibrate,
               "evaluate": evaluate, "show": show}


@pytest.mark.parametrize("kind", INPUTS)
@pytest.mark.parametrize("subcommand", SUBCOMMANDS)
def test_every_subcommand_reads_every_input_kind(tmp_path, module_dask_cluster, documents,
                                                 subcommand, kind):
    root = tmp_path / "input"
    root.mkdir()
    inputs = INPUTS[kind][1](root, documents)
    SUBCOMMANDS[subcommand](inputs, tmp_path, module_dask_cluster, documents)


def test_the_matrix_covers_every_format_and_subcommand():
    assert {fmt for fmt, _ in INPUTS.values()} == set(formats.FORMATS)
    assert set(SUBCOMMANDS) == set(cli.SUBCOMMANDS)
