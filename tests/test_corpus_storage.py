"""Corpora, datasets and models on object stores: an S3-compatible server (moto) on
127.0.0.1, started and stopped here, real HTTP in between. Runs from and to s3:// give
what the same runs give on local files; the store failing mid-run, or the run being
interrupted, is finished by --resume; bad locations are usage errors."""

import gc
import json
import os
import signal
import subprocess
import time

import pyarrow as pa
import pyarrow.parquet as pq
import pytest
import s3fs
import zstandard
from conftest import COMMAND, SECRET, command
from qelt_corpus import ContextModel, ModelFormatError


@pytest.fixture
def store(server, monkeypatch, tmp_path):
    """A fresh bucket, and an s3fs file system on it."""
    process, environ = server
    for key, value in environ.items():
        monkeypatch.setenv(key, value)
    monkeypatch.setenv("QELT_CACHE_DIR", str(tmp_path / "cache"))
    fs = s3fs.S3FileSystem(skip_instance_cache=True)
    bucket = f"b{time.monotonic_ns()}"
    fs.mkdir(bucket)
    return fs, bucket


def rows(location, fs=None):
    if fs is not None:
        fs.invalidate_cache()  # listings cached while a run was writing
    table = pq.read_table(location, filesystem=fs) if fs else pq.read_table(location)
    return {r["id"]: (r["ends"], r["status"]) for r in table.to_pylist()}


@pytest.fixture
def corpus(tmp_path, real_text):
    """The same corpus as local files: a Parquet dataset, plain and zstd JSON lines, a
    directory of files."""
    root = tmp_path / "local"
    texts = [real_text[i:i + 900].decode("utf-8", "replace") for i in range(0, 36000, 900)]
    (root / "parquet").mkdir(parents=True)
    pq.write_table(pa.table({"text": texts[:20]}), root / "parquet" / "a.parquet", row_group_size=4)
    pq.write_table(pa.table({"text": texts[20:]}), root / "parquet" / "b.parquet", row_group_size=5)
    body = "".join(json.dumps({"text": t}) + "\n" for t in texts).encode()
    (root / "docs.jsonl").write_bytes(body)
    (root / "docs.jsonl.zst").write_bytes(zstandard.ZstdCompressor().compress(body))
    (root / "files").mkdir()
    for i, t in enumerate(texts[:12]):
        (root / "files" / f"{i:02}.txt").write_text(t)
    return root


def upload(fs, bucket, root):
    fs.put(str(root) + "/", f"{bucket}/in/", recursive=True)
    return f"s3://{bucket}/in"


PATCH = ["-k", 2, "--theta", 2.0, "--theta-r", 1.0, "--no-progress", "--partition-bytes", 6000]


def test_patch_train_calibrate_on_s3_equal_the_same_runs_on_local_files(store, corpus, tmp_path):
    fs, bucket = store
    remote = upload(fs, bucket, corpus)
    inputs = ["parquet", "docs.jsonl", "docs.jsonl.zst", "files"]
    local = command("patch", *(corpus / i for i in inputs), "--out", tmp_path / "out", *PATCH,
                    "--workers", 2)
    assert local.returncode == 0, local.stderr
    options = json.dumps({"key": "testing", "secret": SECRET})
    on_s3 = command("patch", *(f"{remote}/{i}" for i in inputs), "--out", f"s3://{bucket}/out",
                    *PATCH, "--workers", 2, "--storage-options", options)
    assert on_s3.returncode == 0, on_s3.stderr
    assert rows(tmp_path / "out") == rows(f"{bucket}/out", fs)
    assert on_s3.stdout.splitlines()[0] == local.stdout.splitlines()[0]
    # Credentials go nowhere: not in what is printed, nor in anything written.
    manifest = fs.cat_file(f"{bucket}/out/_qelt_corpus.json")
    assert SECRET not in on_s3.stdout + on_s3.stderr and SECRET.encode() not in manifest
    for name in fs.ls(f"{bucket}/out"):
        assert SECRET.encode() not in fs.cat_file(name)

    # Built in other numbers of shares, and put together on the store from their runs.
    trained_local = command("train", corpus / "docs.jsonl.zst", corpus / "files", "--out",
                            tmp_path / "m.qelt", "-k", 3, "--workers", 1, "--no-progress")
    trained_s3 = command("train", f"{remote}/docs.jsonl.zst", f"{remote}/files", "--out",
                         f"s3://{bucket}/models/m.qelt", "-k", 3, "--workers", 3, "--no-progress")
    assert trained_local.returncode == 0 and trained_s3.returncode == 0, trained_s3.stderr
    assert fs.cat_file(f"{bucket}/models/m.qelt") == (tmp_path / "m.qelt").read_bytes()
    fs.invalidate_cache()
    assert fs.find(f"{bucket}/models") == [f"{bucket}/models/m.qelt"]  # no share left

    calibrated = [command("calibrate", source, "--model", model, "--target-mean", 4,
                          "--theta-r", 1.0)
                  for source, model in ((corpus / "docs.jsonl", tmp_path / "m.qelt"),
                                        (f"{remote}/docs.jsonl", f"s3://{bucket}/models/m.qelt"))]
    assert [c.returncode for c in calibrated] == [0, 0], calibrated[1].stderr
    assert calibrated[0].stdout.splitlines()[-1] == calibrated[1].stdout.splitlines()[-1]

    with_model = command("patch", f"{remote}/docs.jsonl", "--out", f"s3://{bucket}/out-model",
                         "--model", f"s3://{bucket}/models/m.qelt", "--theta", 2.0, "--theta-r",
                         1.0, "--no-progress", "--workers", 1)
    assert with_model.returncode == 0, with_model.stderr
    model = ContextModel.load(tmp_path / "m.qelt")
    for id_, (ends, _) in rows(f"{bucket}/out-model", fs).items():
        row = int(id_.split(":")[1])
        text = json.loads((corpus / "docs.jsonl").read_text().splitlines()[row])["text"]
        assert ends == model.patch_ends(text.encode(), 2.0, 1.0).tolist()


def test_models_on_stores_are_fetched_once_and_checked(store, tmp_path, real_text):
    fs, bucket = store
    model = ContextModel.train([real_text[:20000]], 3)
    model.save(f"s3://{bucket}/m.qelt")
    assert ContextModel.load(f"s3://{bucket}/m.qelt") == model
    assert ContextModel.load(f"s3://{bucket}/m.qelt") == model
    assert len(os.listdir(tmp_path / "cache")) == 1  # fetched once
    damaged = bytearray(fs.cat_file(f"{bucket}/m.qelt"))
    damaged[len(damaged) // 2] ^= 1
    fs.pipe_file(f"{bucket}/m.qelt", bytes(damaged))  # a new object: another ETag
    with pytest.raises(ModelFormatError) as raised:
        ContextModel.load(f"s3://{bucket}/m.qelt")
    assert (raised.value.reason, raised.value.path) == ("checksum", f"s3://{bucket}/m.qelt")
    with pytest.raises(FileNotFoundError):
        ContextModel.load(f"s3://{bucket}/missing.qelt")
    # memory:// (one process): saved and loaded whole.
    model.save("memory://models/m.qelt")
    assert ContextModel.load("memory://models/m.qelt") == model


@pytest.mark.parametrize("size", [1000, 12 << 20])  # one upload, and a multipart one
def test_a_write_cut_short_leaves_no_object(store, size):
    from qelt_corpus import _storage

    fs, bucket = store
    with pytest.raises(RuntimeError):
        with _storage.committed(fs, f"{bucket}/part.parquet") as file:
            file.write(b"x" * size)
            raise RuntimeError("cut short")
    gc.collect()  # a writer closed on collection would upload what it holds
    fs.invalidate_cache()
    assert not fs.exists(f"{bucket}/part.parquet")
    with _storage.committed(fs, f"{bucket}/part.parquet") as file:
        file.write(b"y" * size)
    fs.invalidate_cache()
    assert fs.size(f"{bucket}/part.parquet") == size


@pytest.mark.parametrize(("make_args", "message"), [
    (lambda b: ["patch", f"s3://{b}-missing/x", "--out", "OUT", *PATCH], "no such file"),
    (lambda b: ["patch", f"s3://{b}/missing.jsonl", "--out", "OUT", *PATCH], "no such file"),
    (lambda b: ["patch", "gs://bucket/x.jsonl", "--out", "OUT", *PATCH], "pip install 'qelt[gcs]'"),
    (lambda b: ["patch", f"s3://{b}/in/docs.jsonl", "--out", "OUT", *PATCH,
                "--storage-options", "{not json"], "invalid JSON object value"),
    (lambda b: ["patch", f"s3://{b}/in/docs.jsonl", "--out", "OUT", *PATCH,
                "--storage-options", json.dumps({"endpoint_url": "http://127.0.0.1:9",
                                                 "config_kwargs": {"retries": {"max_attempts": 1},
                                                                   "connect_timeout": 1}})],
     "s3://"),
    (lambda b: ["train", f"s3://{b}/in/docs.jsonl", "--out", "OUT", "-k", 2, "--model-x"],
     "unrecognized"),
])
def test_bad_locations_and_options_are_usage_errors(store, corpus, tmp_path, make_args, message):
    fs, bucket = store
    fs.put(str(corpus / "docs.jsonl"), f"{bucket}/in/docs.jsonl")
    args = [tmp_path / "out" if a == "OUT" else a for a in make_args(bucket)]
    result = command(*args, "--scheduler", "tcp://127.0.0.1:9", timeout=120)
    assert result.returncode == 2, (result.stdout, result.stderr)
    lines = result.stderr.strip().splitlines()
    assert len(lines) == 1 and message in lines[0], result.stderr
    assert not (tmp_path / "out").exists()


def wait_for(fs, prefix, name, count, process, deadline=120):
    """Until `prefix` holds `count` files whose names hold `name`, or `process` ends."""
    end = time.monotonic() + deadline
    while time.monotonic() < end and process.poll() is None:
        try:
            if sum(name in n for n in fs.ls(prefix, refresh=True)) >= count:
                return
        except FileNotFoundError:
            pass
        time.sleep(0.05)


@pytest.fixture
def big_corpus(tmp_path, real_text):
    """Enough partitions that a run can be cut in the middle."""
    root = tmp_path / "big"
    root.mkdir()
    for i in range(60):
        (root / f"{i:03}.txt").write_bytes(real_text[i * 500:i * 500 + 60000] * 4)
    return root


def test_interrupted_on_s3_then_resumed_equals_a_full_run(store, big_corpus, tmp_path):
    fs, bucket = store
    remote = upload(fs, bucket, big_corpus)
    args = [remote, "--out", f"s3://{bucket}/out", "-k", 3, "--theta", 2.0, "--theta-r", 1.0,
            "--no-progress", "--workers", 1, "--partition-bytes", 1 << 20]
    process = subprocess.Popen([*COMMAND, "patch", *map(str, args)], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True, start_new_session=True)
    wait_for(fs, f"{bucket}/out", "part-", 2, process)
    os.killpg(process.pid, signal.SIGINT)
    stdout, stderr = process.communicate(timeout=120)
    assert process.returncode == 130, (stdout, stderr)
    assert "Traceback" not in stderr
    resumed = command("patch", *args, "--resume")
    assert resumed.returncode == 0, resumed.stderr
    full = command("patch", big_corpus, "--out", tmp_path / "full", *args[3:])
    assert full.returncode == 0, full.stderr
    assert rows(f"{bucket}/out", fs) == rows(tmp_path / "full")


def test_a_store_that_stops_answering_fails_partitions_that_resume_finishes(
        server, store, big_corpus, tmp_path):
    process_of_server, _ = server
    fs, bucket = store
    remote = upload(fs, bucket, big_corpus)
    quick = json.dumps({"config_kwargs": {"connect_timeout": 1, "read_timeout": 1,
                                          "retries": {"max_attempts": 1}}})
    args = [remote, "--out", f"s3://{bucket}/out", "-k", 3, "--theta", 2.0, "--theta-r", 1.0,
            "--no-progress", "--workers", 1, "--partition-bytes", 1 << 18, "--storage-options",
            quick]
    process = subprocess.Popen([*COMMAND, "patch", *map(str, args)], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True)
    wait_for(fs, f"{bucket}/out", "_qelt_corpus.json", 1, process)  # the run has started
    process_of_server.send_signal(signal.SIGSTOP)
    try:
        # Longer than a request's retries: s3fs's own, some 15 s with these timeouts.
        time.sleep(20)
    finally:
        process_of_server.send_signal(signal.SIGCONT)
    stdout, stderr = process.communicate(timeout=300)
    assert process.returncode == 1, (stdout, stderr)
    assert "partitions failed" in stderr and "Traceback" not in stderr, stderr
    resumed = command("patch", *args, "--resume")
    assert resumed.returncode == 0, resumed.stderr
    full = command("patch", big_corpus, "--out", tmp_path / "full", *args[3:-2])
    assert full.returncode == 0, full.stderr
    assert rows(f"{bucket}/out", fs) == rows(tmp_path / "full")
