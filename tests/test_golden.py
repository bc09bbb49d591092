"""The golden files of tests/data: every build reads each stored version identically,
and writes exactly the bytes of the current one (docs/formats.md, "Golden files")."""

import pathlib
import pickle
import struct

import numpy as np
import pytest

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


def test_the_model_file_gives_its_entropies_and_ends():
    values = golden()
    model = ContextModel.load(DATA / "model-v1.qelt")
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
    model = counts.to_model(values["min_count"])
    assert model == ContextModel.load(DATA / "model-v1.qelt")


def test_the_writers_make_the_golden_bytes(tmp_path):
    values = golden()
    counts = ContextCounts(values["k"])
    for document in corpus():
        counts.add(document)
    _, (state,) = counts.__reduce__()
    assert state == (DATA / "counts-v1.bin").read_bytes()
    counts.to_model(values["min_count"]).save(tmp_path / "model")
    assert (tmp_path / "model").read_bytes() == (DATA / "model-v1.qelt").read_bytes()
    assert pickle.loads(pickle.dumps(counts)).__reduce__()[1][0] == state
