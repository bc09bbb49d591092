"""Training at corpus scale: counts merged by any tree give the model of counting at
once, a model within a size budget keeps the most frequent contexts, and the command
trains from a sample and reports what patch reports."""

import json
import os
import pathlib
import pickle
import random
import re
import struct

import pyarrow as pa
import pyarrow.parquet as pq
import pytest
from conftest import command
from qelt_corpus import ContextCounts, ContextModel, cli


def documents_of(seed: int, count: int, size: int, alphabet: int) -> list[bytes]:
    rng = random.Random(seed)
    return [bytes(rng.randrange(alphabet) for _ in range(rng.randrange(2 * size + 1)))
            for _ in range(count)]


def counted(k: int, documents: list[bytes]) -> ContextCounts:
    counts = ContextCounts(k)
    for document in documents:
        counts.add(document)
    return counts


def random_tree(k: int, parts: list[ContextCounts], rng: random.Random) -> ContextCounts:
    """Merges of 1 to 5 parts at a time, each into a new object (sometimes by way of a
    pickle, as Dask sends them), until one is left."""
    while len(parts) > 1:
        rng.shuffle(parts)
        merged = []
        while parts:
            group = parts[:rng.randint(1, 5)]
            parts = parts[len(group):]
            fresh = ContextCounts(k)
            if rng.random() < 0.5:
                fresh.merge(*group)
            else:
                for part in group:
                    fresh.merge(part)
            merged.append(pickle.loads(pickle.dumps(fresh)) if rng.random() < 0.3 else fresh)
        parts = merged
    return parts[0]


@pytest.mark.parametrize(("k", "size", "alphabet"), [(3, 200, 5), (3, 30000, 256), (8, 5000, 256),
                                                     (0, 100, 256)])
def test_any_split_and_merge_tree_gives_the_model_of_one_go(k, size, alphabet, tmp_path):
    documents = documents_of(k + size, 30, size, alphabet)
    expected_model = ContextModel.train(documents, k)
    expected_state = counted(k, documents).__reduce__()[1][0]
    rng = random.Random(size)
    for trial in range(3):
        cuts = sorted(rng.sample(range(1, len(documents)), rng.randint(1, 12)))
        parts = [counted(k, documents[a:b]) for a, b in zip([0, *cuts], [*cuts, len(documents)])]
        parts.insert(rng.randrange(len(parts) + 1), ContextCounts(k))  # an empty one
        merged = random_tree(k, parts, rng)
        assert merged.__reduce__()[1][0] == expected_state, trial
        merged.to_model().save(tmp_path / "m")
        assert (tmp_path / "m").read_bytes() == bytes(memoryview(expected_model._model))


def model_contexts(path: pathlib.Path) -> list[dict[int, float]]:
    """The contexts of each length in a model file of version 3, read as docs/formats.md
    lays it out (not with the code under test)."""
    data = path.read_bytes()
    assert struct.unpack_from("<I", data, 8)[0] == 3
    k = struct.unpack_from("<I", data, 12)[0]
    tables = []
    for j in range(k + 1):
        contexts, _, log2, _, directory = struct.unpack_from("<QQIIQ", data, 48 + 32 * j)
        width, key_bytes = (16, 4) if j <= 4 else (20, 8)
        table = {}
        for block in range(1 << log2):
            offset, slots, _, _ = struct.unpack_from("<QQQQ", data, directory + 32 * block)
            for s in range(slots):
                at = offset + s * width
                if struct.unpack_from("<I", data, at + key_bytes)[0] != 0xFFFFFFFF:
                    key = int.from_bytes(data[at:at + key_bytes], "little")
                    table[key] = struct.unpack_from("<f", data, at + key_bytes)[0]
        assert len(table) == contexts
        tables.append(table)
    return tables


def test_a_budget_keeps_the_most_frequent_contexts_within_it(tmp_path):
    k = 3
    documents = documents_of(1, 40, 400, 6)
    counts = counted(k, documents)
    counts.to_model().save(tmp_path / "full")
    full = model_contexts(tmp_path / "full")
    totals = {}  # (length, key) -> times seen
    for document in documents:
        for i in range(k, len(document)):
            for j in range(k + 1):
                key = int.from_bytes(document[i - j:i], "big")
                totals[j, key] = totals.get((j, key), 0) + 1
    size = (tmp_path / "full").stat().st_size
    # The order in which contexts are left out: by count, the longer first, then by key.
    order = sorted((totals[j, key], -j, key) for j in range(1, k + 1) for key in full[j])
    for budget in (size, size - 1, size * 2 // 3, size // 3, size // 10, 200):
        try:
            model = counts.to_model(max_bytes=budget)
        except ValueError:
            assert budget == 200  # below the file of the empty context and its bytes
            continue
        model.save(tmp_path / "budget")
        assert (tmp_path / "budget").stat().st_size <= budget
        assert counts.to_model(max_bytes=budget) == model  # the same file every time
        kept = model_contexts(tmp_path / "budget")
        assert len(kept[0]) == 1  # the empty context is always kept
        for j in range(k + 1):
            assert all(full[j][key] == entropy for key, entropy in kept[j].items())  # a subset
        dropped = [item for item in order if item[2] not in kept[-item[1]]]
        assert dropped == order[:len(dropped)]
    with pytest.raises(ValueError):
        counts.to_model(max_bytes=100)


# --- The command ---------------------------------------------------------------------------


@pytest.fixture
def mixed_corpus(tmp_path, real_text):
    """JSON lines with empty, null, non-string and broken records, beside a Parquet file
    with nulls and an unreadable file: what patch and train must count alike."""
    texts = [real_text[i:i + 1200].decode("utf-8", "replace") for i in range(0, 40000, 1200)]
    lines = [json.dumps({"text": t}) for t in texts]
    lines[2] = json.dumps({"text": ""})
    lines[4] = json.dumps({"text": None})
    lines[6] = json.dumps({"text": 5})
    lines[8] = "{broken"
    (tmp_path / "docs.jsonl").write_text("\n".join(lines) + "\n")
    pq.write_table(pa.table({"text": pa.array(texts[:10] + [None, ""], pa.string())}),
                   tmp_path / "more.parquet", row_group_size=4)
    (tmp_path / "bad.parquet").write_bytes(b"PAR1 not really parquet PAR1")
    return [tmp_path / "docs.jsonl", tmp_path / "more.parquet", tmp_path / "bad.parquet"]


def run(*args, capsys):
    status = cli.main([str(a) for a in args])
    captured = capsys.readouterr()
    return status, captured.out, captured.err


def test_train_counts_what_patch_counts(tmp_path, mixed_corpus, capsys):
    status, out, err = run("train", *mixed_corpus, "--out", tmp_path / "m.qelt", "-k", 3,
                           "--workers", 1, "--no-progress", capsys=capsys)
    assert status == 1, err  # the unreadable ones
    trained = out.split("trained on ")[1].split(" in ")[0]
    status, out, err = run("patch", *mixed_corpus, "--out", tmp_path / "p", "-k", 3, "--theta",
                           2.0, "--theta-r", 1.0, "--workers", 1, "--no-progress", capsys=capsys)
    assert status == 1, err
    patched = out.split(" in ")[0]
    assert trained == patched
    assert " 0 empty" not in trained and " 0 unreadable" not in trained


def test_train_within_a_budget_and_from_a_sample(tmp_path, real_text, capsys):
    corpus = tmp_path / "corpus"
    corpus.mkdir()
    for i in range(24):
        (corpus / f"{i:02}.txt").write_bytes(real_text[i * 3000:i * 3000 + 20000])
    common = ["--workers", 1, "--no-progress", "--partition-bytes", 40000, "-k", 4]
    status, out, err = run("train", corpus, "--out", tmp_path / "full.qelt", *common, capsys=capsys)
    assert status == 0, err
    full_size = (tmp_path / "full.qelt").stat().st_size
    budget = full_size // 3
    status, out, err = run("train", corpus, "--out", tmp_path / "small.qelt", *common,
                           "--max-model-bytes", budget, capsys=capsys)
    assert status == 0, err
    assert (tmp_path / "small.qelt").stat().st_size <= budget
    assert "of length 4" in out.splitlines()[1]
    status, out, err = run("train", corpus, "--out", tmp_path / "none.qelt", *common,
                           "--max-model-bytes", 50, capsys=capsys)
    assert status == 2 and len(err.strip().splitlines()) == 1, err
    assert not (tmp_path / "none.qelt").exists()
    samples = []
    for name in ("a", "b"):
        status, out, err = run("train", corpus, "--out", tmp_path / f"{name}.qelt", *common,
                               "--sample-bytes", 100000, capsys=capsys)
        assert status == 0, err
        assert "a sample of" in out
        samples.append((tmp_path / f"{name}.qelt").read_bytes())
    assert samples[0] == samples[1]
    assert samples[0] != (tmp_path / "full.qelt").read_bytes()
    sampled = ContextModel.load(tmp_path / "a.qelt")
    assert 0 < len(sampled) < len(ContextModel.load(tmp_path / "full.qelt"))


# k, smoothing, min_count, budget (a share of the unbudgeted model's size), workers
SHARDED = [(0, "none", 1, None, 1), (1, "kneser-ney", 2, None, 2), (2, "kneser-ney", 1, 0.6, 3),
           (3, "none", 1, 0.5, 4), (4, "kneser-ney", 3, None, 5), (5, "kneser-ney", 1, 0.7, 2),
           (6, "none", 2, 0.6, 3), (7, "kneser-ney", 1, None, 4), (8, "kneser-ney", 2, 0.5, 5)]


@pytest.mark.parametrize(("k", "smoothing", "min_count", "budget", "workers"), SHARDED)
def test_train_in_shares_on_any_cluster_makes_the_model_of_one_process(
        tmp_path, k, smoothing, min_count, budget, workers):
    documents = documents_of(100 + k, 50, 1500, 10)
    corpus = tmp_path / "corpus"
    corpus.mkdir()
    for i, document in enumerate(documents):
        (corpus / f"{i:02}").write_bytes(document)
    counts = counted(k, documents)
    max_bytes = None if budget is None else int(
        budget * counts.to_model(min_count, smoothing=smoothing).nbytes)
    expected = counts.to_model(min_count, max_bytes=max_bytes, smoothing=smoothing)
    result = command("train", corpus, "--out", tmp_path / "m.qelt", "-k", k, "--smoothing",
                     smoothing, "--min-count", min_count, "--workers", workers, "--no-progress",
                     "--partition-bytes", 15000,
                     *(["--max-model-bytes", max_bytes] if max_bytes else []))
    assert result.returncode == 0, result.stderr
    assert (tmp_path / "m.qelt").read_bytes() == bytes(memoryview(expected._model))
    assert sorted(p.name for p in tmp_path.iterdir()) == ["corpus", "m.qelt"]  # nothing left


def test_shares_that_spill_and_the_least_memory_limit_build_the_same_model(tmp_path, real_text):
    from qelt_corpus.cli import _memory

    corpus = tmp_path / "corpus.txt"
    corpus.write_bytes(real_text[:3_000_000])
    common = ["-k", 5, "--smoothing", "kneser-ney", "--workers", 2, "--no-progress",
              "--partition-bytes", 500_000]
    # Workers that keep almost nothing in memory: every share is spilled as it is made.
    spilling = dict(os.environ, DASK_DISTRIBUTED__WORKER__MEMORY__TARGET="1e-9")
    spilled = command("train", corpus, "--out", tmp_path / "spilled.qelt", *common, env=spilling)
    kept = command("train", corpus, "--out", tmp_path / "kept.qelt", *common)
    limited = command("train", corpus, "--out", tmp_path / "limited.qelt", *common,
                      "--memory-limit", _memory.least_limit())
    if os.environ.get("QELT_SANITIZED") and limited.returncode == 2:
        # The sanitizers' shadow memory makes the workers' own memory several times the
        # usual, and it varies from one start to the next by tens of MB: the least limit
        # they name for themselves, with a quarter more, is the one to build in.
        named = re.search(r"at least (\d+) MB per worker", limited.stderr)
        assert named, limited.stderr
        limited = command("train", corpus, "--out", tmp_path / "limited.qelt", *common,
                          "--memory-limit", f"{int(named.group(1)) * 5 // 4}MB")
    for run in (spilled, kept, limited):
        assert run.returncode == 0, run.stderr
    amount = re.search(r"([\d.]+) MB of counts spilled", spilled.stdout)
    assert float(amount.group(1)) > 0, spilled.stdout
    assert "0.0 MB of counts spilled" in kept.stdout
    for name in ("spilled.qelt", "limited.qelt"):
        assert (tmp_path / name).read_bytes() == (tmp_path / "kept.qelt").read_bytes(), name


@pytest.mark.parametrize("resume", [False, True])
def test_the_counts_of_another_run_are_not_taken_for_these(tmp_path, resume, capsys):
    """Counts kept beside --out need --resume, and then the same inputs and settings."""
    corpus = tmp_path / "corpus.txt"
    corpus.write_bytes(b"abcabd\n" * 50)
    scratch = tmp_path / ".m.qelt.train"
    scratch.mkdir()
    (scratch / "_qelt_corpus.json").write_text(json.dumps({"version": 1, "k": 4}))
    status = cli.main(["train", str(corpus), "--out", str(tmp_path / "m.qelt"), "-k", "3",
                       "--scheduler", "tcp://127.0.0.1:9", *(["--resume"] if resume else [])])
    assert status == 2
    message = capsys.readouterr().err
    assert ("other inputs or settings" if resume else "--resume to go on from them") in message
    assert (scratch / "_qelt_corpus.json").exists()


def test_a_model_is_assembled_from_its_parts_across_chunk_boundaries(tmp_path, monkeypatch):
    from qelt_corpus.cli import _model_parts
    monkeypatch.setattr(_model_parts, "CHUNK", 64)  # the writes' boundaries, at small scale
    image = random.Random(5).randbytes(1000)
    cuts = [0, 3, 70, 129, 130, 600, 1000]  # pieces at odd offsets, one of a single byte
    runs = []
    for i, (start, stop) in enumerate(zip(cuts, cuts[1:])):
        (tmp_path / f"run{i}").write_bytes(image[start:stop] + b"after the run")
        runs.append((start, str(tmp_path / f"run{i}"), stop - start))
    _model_parts.write(str(tmp_path / "m.qelt"), 1000, [], runs[1:] + runs[:1], {})
    assert (tmp_path / "m.qelt").read_bytes() == image
    (tmp_path / "run4").write_bytes(image[130:200])  # cut short of its 470 bytes
    with pytest.raises(RuntimeError, match="a share's run ended early"):
        _model_parts.write(str(tmp_path / "m.qelt"), 1000, [], runs, {})


def test_shares_are_the_fewest_whose_largest_build_fits():
    import numpy as np
    from qelt_corpus import _shares

    even = np.full(1024, 1000, dtype=np.uint64)
    one_piece = _shares.build_bytes(6, 1000)
    assert _shares.share_bits(6, even, 1024 * one_piece) == (0, 1024 * one_piece)
    assert _shares.share_bits(6, even, 300 * one_piece) == (2, 256 * one_piece)
    assert _shares.share_bits(6, even, 1024 * one_piece, least_shares=5) == (3, 128 * one_piece)
    assert _shares.share_bits(0, even, 1) == (0, _shares.build_bytes(0, 1024 * 1000))
    # A pair of last bytes that ends most contexts cannot be cut: all shares, and the
    # largest still over the budget, for the caller to judge.
    skewed = even.copy()
    skewed[700] = 10**6
    bits, need = _shares.share_bits(6, skewed, 300 * one_piece)
    assert bits == 10 and need == _shares.build_bytes(6, 10**6) > 300 * one_piece
