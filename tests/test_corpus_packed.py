"""From patches to a trainer: packed shards read back by a reader written here from the
layout alone, PackedDataset's documents and sequences (every byte once per epoch,
resumable), --keep-columns, and an interrupted pack finished by --resume."""

import json
import os
import pickle
import signal
import subprocess
import time

import numpy as np
import pyarrow.parquet as pq
import pytest
import qelt_corpus
from conftest import COMMAND
from qelt_corpus import PackedDataset, cli

PATCH = ["-k", "3", "--theta", "2.0", "--theta-r", "1.0", "--no-progress"]


def read_packed(directory):
    """The documents of packed shards as docs/formats.md lays them out: (id, bytes,
    patch lengths), without the code under test."""
    index = json.loads((directory / "index.json").read_text())
    assert (index["format"], index["version"]) == ("qelt-packed", 1)
    documents = []
    for shard in index["shards"]:
        base = directory / shard["name"]
        data = np.fromfile(f"{base}.bytes", np.uint8)
        lengths = np.fromfile(f"{base}.patches", "<u4")
        docs = np.fromfile(f"{base}.docs", "<i8").reshape(-1, 2)
        ids = pq.read_table(f"{base}.ids.parquet").column("id").to_pylist()
        assert (len(data), len(lengths), len(docs) - 1) == (
            shard["bytes"], shard["patches"], shard["documents"])
        assert docs[0].tolist() == [0, 0] and len(ids) == shard["documents"]
        for d, id_ in enumerate(ids):
            (b0, p0), (b1, p1) = docs[d], docs[d + 1]
            documents.append((id_, data[b0:b1].tobytes(), lengths[p0:p1].tolist()))
    return documents


@pytest.fixture
def corpus(tmp_path, real_text):
    """JSON lines with an empty, a null and a broken record, and files."""
    texts = [real_text[i:i + 2500].decode("utf-8", "replace") for i in range(0, 60000, 2500)]
    lines = [json.dumps({"text": t, "url": f"u{i}"}) for i, t in enumerate(texts)]
    lines[1], lines[2], lines[3] = (json.dumps({"text": ""}), json.dumps({"text": None}),
                                    "{broken")
    (tmp_path / "docs.jsonl").write_text("\n".join(lines) + "\n")
    return tmp_path / "docs.jsonl", texts


def test_pack_writes_every_readable_document_with_its_patches(tmp_path, corpus, capsys):
    path, texts = corpus
    out = tmp_path / "packed"
    status = cli.main(["pack", str(path), "--out", str(out), *PATCH, "--workers", "2",
                       "--partition-bytes", "8000", "--shard-bytes", "20000"])
    captured = capsys.readouterr()
    assert status == 1, captured.err  # the broken record
    assert "unreadable: docs.jsonl:3" in captured.err
    documents = read_packed(out)
    assert len(json.loads((out / "index.json").read_text())["shards"]) > 1
    expected = {f"docs.jsonl:{i}": t for i, t in enumerate(texts) if i not in (1, 2, 3)}
    expected["docs.jsonl:1"] = expected["docs.jsonl:2"] = ""
    assert {id_ for id_, _, _ in documents} == set(expected)
    for id_, data, lengths in documents:
        assert data == expected[id_].encode()
        ends = np.cumsum(lengths).tolist()
        assert ends == qelt_corpus.patch_ends(data, 3, 2.0, 1.0).tolist()
    dataset = PackedDataset(out)
    assert len(dataset) == len(documents)
    for i, (id_, data, lengths) in enumerate(documents):
        got, ends = dataset[i]
        assert (dataset.id(i), got.tobytes(), ends.tolist()) == (id_, data,
                                                                np.cumsum(lengths).tolist())


@pytest.fixture(scope="module")
def packed(tmp_path_factory, real_text):
    out = tmp_path_factory.mktemp("packed") / "out"
    corpus = out.parent / "corpus"
    corpus.mkdir()
    for i in range(30):
        (corpus / f"{i:02}.txt").write_bytes(real_text[i * 1500:i * 1500 + 3000 + 97 * i])
    (corpus / "empty.txt").write_bytes(b"")
    result = subprocess.run([*COMMAND, "pack", str(corpus), "--out", str(out), *PATCH,
                             "--workers", "1", "--shard-bytes", "20000", "--partition-bytes",
                             "7000"], capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    return PackedDataset(out)


@pytest.mark.parametrize("seed", [None, 7])
@pytest.mark.parametrize(("length", "world_size"), [(1000, 1), (777, 3), (4096, 2)])
def test_the_ranks_together_read_every_byte_once_an_epoch(packed, seed, length, world_size):
    whole = np.concatenate([packed[i][0] for i in range(len(packed))])
    first_bytes = np.zeros(len(whole), bool)  # where a patch starts, over all documents
    at = 0
    for i in range(len(packed)):
        data, ends = packed[i]
        if len(data):
            first_bytes[at + np.concatenate(([0], ends[:-1])).astype(int)] = True
        at += len(data)
    for epoch in (0, 1):
        seen = np.zeros(len(whole), int)
        orders = []
        for rank in range(world_size):
            stream = packed.sequences(length, seed=seed, rank=rank, world_size=world_size,
                                      epoch=epoch, drop_last=False)
            order = []
            for data, starts in stream:
                assert len(data) == len(starts) <= length and data.dtype == np.uint8
                begin = int(np.flatnonzero(np.all(
                    np.lib.stride_tricks.sliding_window_view(whole, len(data))[::length] == data,
                    axis=1))[0]) * length
                expected = first_bytes[begin:begin + len(data)].copy()
                expected[0] = True
                assert np.array_equal(starts, expected)
                seen[begin:begin + len(data)] += 1
                order.append(begin // length)
            orders.append(order)
        assert (seen == 1).all()
        if seed is None:
            assert all(order == sorted(order) for order in orders)
    dropped = sum(1 for _ in packed.sequences(length, world_size=1))
    assert dropped == len(whole) // length


def test_a_resumed_stream_continues_exactly(packed):
    arguments = {"seed": 3, "rank": 1, "world_size": 2}
    uninterrupted = [data.tobytes() for data, _ in packed.sequences(900, **arguments)]
    stream = packed.sequences(900, **arguments)
    first = [next(stream)[0].tobytes() for _ in range(5)]
    state = pickle.loads(pickle.dumps(stream.state_dict()))
    again = packed.sequences(900, **arguments)
    again.load_state_dict(state)
    assert first + [data.tobytes() for data, _ in again] == uninterrupted
    with pytest.raises(ValueError, match="another stream"):
        packed.sequences(900, seed=4, rank=1, world_size=2).load_state_dict(state)
    stream.set_epoch(1)
    assert [d.tobytes() for d, _ in stream] != uninterrupted


def test_an_interrupted_pack_resumed_gives_the_shards_of_a_clean_run(tmp_path, real_text):
    corpus = tmp_path / "corpus"
    corpus.mkdir()
    for i in range(200):
        (corpus / f"{i:03}.txt").write_bytes(real_text[i * 300:i * 300 + 20000] * 6)
    args = [str(corpus), *PATCH, "--workers", "1", "--shard-bytes", str(1 << 20),
            "--partition-bytes", str(1 << 19)]
    out = tmp_path / "out"
    process = subprocess.Popen([*COMMAND, "pack", *args, "--out", str(out)],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               start_new_session=True)
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline and (
            not out.exists() or not any(n.endswith(".ids.parquet") for n in os.listdir(out))):
        time.sleep(0.02)
    os.killpg(process.pid, signal.SIGINT)
    stdout, stderr = process.communicate(timeout=120)
    assert process.returncode == 130, (stdout, stderr)
    assert not (out / "index.json").exists() and not [n for n in os.listdir(out)
                                                      if n.endswith(".tmp")]
    resumed = subprocess.run([*COMMAND, "pack", *args, "--out", str(out), "--resume"],
                             capture_output=True, text=True, timeout=300)
    assert resumed.returncode == 0, resumed.stderr
    clean = subprocess.run([*COMMAND, "pack", *args, "--out", str(tmp_path / "clean")],
                           capture_output=True, text=True, timeout=300)
    assert clean.returncode == 0, clean.stderr
    for name in sorted(os.listdir(tmp_path / "clean")):
        if name.endswith((".bytes", ".patches", ".docs")):
            assert (out / name).read_bytes() == (tmp_path / "clean" / name).read_bytes(), name
    assert read_packed(out) == read_packed(tmp_path / "clean")


def test_kept_columns_round_trip_and_wrong_ones_are_usage_errors(tmp_path, corpus, capsys):
    path, texts = corpus
    out = tmp_path / "out"
    base = ["patch", str(path), "--out", str(out), *PATCH, "--workers", "1"]
    assert cli.main(base + ["--keep-columns", "text,url"]) == 1
    capsys.readouterr()
    table = {r["id"]: r for r in pq.read_table(out).to_pylist()}
    assert table["docs.jsonl:0"]["text"] == texts[0] and table["docs.jsonl:0"]["url"] == "u0"
    assert table["docs.jsonl:3"]["url"] is None  # the broken record
    for columns, message in (("ends", "a column of the output"), ("nope", "no field 'nope'")):
        assert cli.main(["patch", str(path), "--out", str(tmp_path / "x"), *PATCH,
                         "--keep-columns", columns, "--scheduler", "tcp://127.0.0.1:9"]) == 2
        assert message in capsys.readouterr().err
    files = tmp_path / "files"
    files.mkdir()
    (files / "a.txt").write_bytes(b"\xff\xfe binary is kept as bytes")
    assert cli.main(["patch", str(files), "--out", str(tmp_path / "f"), *PATCH, "--workers",
                     "1", "--keep-columns", "text"]) == 0
    assert pq.read_table(tmp_path / "f").column("text").to_pylist() == [
        b"\xff\xfe binary is kept as bytes"]


@pytest.mark.parametrize(("damage", "reason"), [
    (lambda d: (d / "shard-00000.bytes").write_bytes(b"short"), "truncated"),
    (lambda d: (d / "shard-00000.patches").write_bytes(b"\0" * 10**6), "layout"),
    (lambda d: (d / "index.json").write_text('{"format": "other"}'), "foreign"),
    (lambda d: (d / "index.json").write_text('{"format": "qelt-packed", "version": 2}'),
     "version"),
])
def test_damaged_shards_are_named_format_errors(packed, tmp_path, damage, reason):
    import shutil

    copy = tmp_path / "copy"
    shutil.copytree(packed.path, copy)
    damage(copy)
    with pytest.raises(qelt_corpus.ModelFormatError) as raised:
        PackedDataset(copy)[0]
    assert raised.value.reason == reason


def test_by_default_a_small_corpus_is_cut_into_shards_for_every_worker(tmp_path, corpus,
                                                                       monkeypatch, capsys):
    from qelt_corpus.cli import pack

    monkeypatch.setattr(pack, "SMALLEST_DEFAULT_SHARD", 1000)
    path, _ = corpus
    args = ["pack", str(path), "--out", str(tmp_path / "packed"), *PATCH, "--workers", "1",
            "--partition-bytes", "1000"]
    assert cli.main(args) == 1  # the broken record
    shards = json.loads((tmp_path / "packed" / "index.json").read_text())["shards"]
    # About a sixteenth each, as whole partitions allow.
    assert pack.DEFAULT_SHARDS // 2 <= len(shards) <= pack.DEFAULT_SHARDS + 1
    # The default depends on the input alone: a resumed run cuts the same shards.
    capsys.readouterr()
    assert cli.main([*args, "--resume"]) == 1
    assert f"{len(shards)} of {len(shards)} shards were already done" in capsys.readouterr().out
