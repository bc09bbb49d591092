"""The golden files of tests/data: every build reads each stored version identically,
and writes exactly the bytes of the current one (docs/formats.md, "Golden files")."""

import json
import pathlib
import pickle
import struct

import numpy as np
import pyarrow.parquet as pq
import pytest
import reference
from conftest import KINDS
from qelt_corpus import ContextCounts, ContextModel

DATA = pathlib.Path(__file__).resolve().parent / "data"


def golden() -> dict:
    values: dict = {"ends": []}
    for line in (DATA / "golden.txt").read_text().splitlines():
        if not line or line.startswith("#"):
            continue
        name, *fields = line.split()
        if name == "ends":
            values["ends"].append((float(fields[0]), float(fields[1]), [int(e) for e in fields[2:]]))
        elif name == "entropies":
            values[name] = [struct.unpack(">f", bytes.fromhex(h))[0] for h in fields]
        elif name == "probe":
            values[name] = bytes.fromhex(fields[0])
        else:
            values[name] = int(fields[0])
    return values


def corpus() -> list[bytes]:
    return (DATA / "golden-corpus.txt").read_bytes().split(b"\n")[:-1]


def counts_from(name: str) -> ContextCounts:
    rebuild, _ = ContextCounts(0).__reduce__()
    return rebuild((DATA / name).read_bytes())


@pytest.mark.parametrize("name", ["model-v1.qelt", "model-v2.qelt", "model-v3-none.qelt"])
def test_the_model_file_gives_its_entropies_and_ends(name):
    values = golden()
    model = ContextModel.load(DATA / name)
    assert (model.k, model.min_count) == (values["k"], values["min_count"])
    probe, k = values["probe"], values["k"]
    # Position i closes a patch at theta t (with no rise test) exactly when its
    # entropy is above t: just below its golden entropy, and not at it.
    for i, h in enumerate(values["entropies"], start=k):
        below = float(np.nextafter(np.float32(h), np.float32(-1)))
        assert i + 1 in model.patch_ends(probe, below, float("inf")).tolist()
        assert i + 1 not in model.patch_ends(probe, h, float("inf")).tolist()[:-1]
    for theta, theta_r, ends in values["ends"]:
        assert model.patch_ends(probe, theta, theta_r).tolist() == ends


@pytest.mark.parametrize("name", ["counts-v1.bin", "counts-v1-first.bin"])
def test_every_counts_encoding_gives_the_golden_model(name):
    values = golden()
    counts = counts_from(name)
    assert counts.k == values["k"]
    assert counts.positions == sum(max(0, len(d) - values["k"]) for d in corpus())
    for kind in KINDS:
        model = counts.to_model(values["min_count"], smoothing=kind)
        assert model == ContextModel.load(DATA / f"model-v3-{kind}.qelt"), kind


def test_the_writers_make_the_golden_bytes(tmp_path):
    values = golden()
    counts = ContextCounts(values["k"])
    for document in corpus():
        counts.add(document)
    _, (state,) = counts.__reduce__()
    assert state == (DATA / "counts-v1.bin").read_bytes()
    for kind in KINDS:
        counts.to_model(values["min_count"], smoothing=kind).save(tmp_path / "model")
        assert (tmp_path / "model").read_bytes() == (DATA / f"model-v3-{kind}.qelt").read_bytes()
    assert pickle.loads(pickle.dumps(counts)).__reduce__()[1][0] == state


def test_the_smoothed_model_file_gives_its_golden_values():
    lines = [line for line in (DATA / "golden-kneser-ney.txt").read_text().splitlines()
             if not line.startswith("#")]
    k, min_count = int(lines[0].split()[1]), int(lines[1].split()[1])
    probe = bytes.fromhex(lines[2].split()[1])
    expected = np.array([[float(x) for x in line.split()] for line in lines[3:]])
    for version in (2, 3):
        check_golden_kneser_ney(ContextModel.load(DATA / f"model-v{version}-kneser-ney.qelt"),
                                k, min_count, probe, expected)


def check_golden_kneser_ney(model, k, min_count, probe, expected):
    assert (model.k, model.min_count, model.smoothing) == (k, min_count, "kneser-ney")
    np.testing.assert_allclose(model.entropies(probe), expected[:, 0], rtol=0, atol=2e-6)
    # Probabilities are stored in single precision.
    np.testing.assert_allclose(model.log_probs(probe), expected[:, 1], rtol=1e-6, atol=1e-6)


# How packed-v1/ was made from golden-corpus.txt (one document per line), and the
# options that split it into several shards.
PACK = ["-k", "2", "--theta", "1.0", "--theta-r", "0.5", "--partition-bytes", "40",
        "--shard-bytes", "40", "--workers", "1", "--no-progress"]
SHARD_FILES = (".bytes", ".patches", ".docs")


def test_the_packed_shards_give_the_documents_and_their_patches():
    from qelt_corpus import PackedDataset

    dataset = PackedDataset(DATA / "packed-v1")
    documents = corpus()
    assert len(dataset) == len(documents)
    for i, document in enumerate(documents):
        data, ends = dataset[i]
        patches = reference.patch_sequence(list(document), 2, 1.0, 0.5)
        assert data.tobytes() == document
        assert ends.tolist() == np.cumsum([len(p) for p in patches], dtype=int).tolist()
        assert dataset.id(i) == f"golden-corpus.txt:{i + 1}"


def test_pack_writes_the_golden_shards(tmp_path):
    from qelt_corpus import cli

    (tmp_path / "golden-corpus.txt").write_bytes((DATA / "golden-corpus.txt").read_bytes())
    out = tmp_path / "packed"
    assert cli.main(["pack", str(tmp_path / "golden-corpus.txt"), "--out", str(out),
                     *PACK]) == 0
    golden_index = json.loads((DATA / "packed-v1" / "index.json").read_text())
    index = json.loads((out / "index.json").read_text())
    assert index == golden_index
    assert len(index["shards"]) > 1
    for shard in index["shards"]:
        for suffix in SHARD_FILES:
            name = shard["name"] + suffix
            assert (out / name).read_bytes() == (DATA / "packed-v1" / name).read_bytes(), name
        name = shard["name"] + ".ids.parquet"
        assert pq.read_table(out / name).equals(pq.read_table(DATA / "packed-v1" / name))


def test_the_training_scratch_gives_the_golden_counts():
    """Every share's pieces, over every chunk of every counts file, merge to the counts
    of the golden corpus, whatever the number of shares."""
    from qelt_corpus import _shares
    from qelt_corpus.cli import _train_scratch as scratch

    directory = DATA / "train-scratch-v1"
    records = scratch.Scratch(str(directory), {}).records()
    assert sorted(records) == [0, 1] and all(len(r.chunks) > 1 for r in records.values())
    expected = counts_from("counts-v1.bin").__reduce__()[1][0]
    for bits in (0, 3, 10):
        merged = ContextCounts(golden()["k"])
        for share in range(1 << bits):
            for piece in scratch.share_pieces(str(directory), list(records.values()), share,
                                              bits, {}):
                merged.merge(_shares.decoded_counts(piece))
        assert merged.__reduce__()[1][0] == expected, bits


def test_counting_writes_the_golden_scratch(tmp_path):
    import importlib.util

    found = importlib.util.spec_from_file_location("make_golden", DATA / "make_golden.py")
    make_golden = importlib.util.module_from_spec(found)
    found.loader.exec_module(make_golden)
    make_golden.train_scratch(tmp_path)
    names = sorted(p.name for p in (DATA / "train-scratch-v1").iterdir())
    assert sorted(p.name for p in tmp_path.iterdir()) == names
    for name in names:
        assert (tmp_path / name).read_bytes() == (DATA / "train-scratch-v1" / name).read_bytes()
