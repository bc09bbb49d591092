"""The qelt-corpus command, end to end: every input format against patch_ends per
document, a real Dask cluster, training, resuming, unreadable inputs and usage errors."""

import gzip
import json
import math
import os
import pathlib
import re
import signal
import subprocess
import time

import pyarrow as pa
import pyarrow.parquet as pq
import pytest
import qelt_corpus
import zstandard
from conftest import COMMAND, KINDS, command
from qelt_corpus import ContextModel, Reading, cli

THETA, THETA_R = "2.0", "1.0"


def patch(*args, workers=1):
    return command("patch", *args, "--theta", THETA, "--theta-r", THETA_R,
                   "--no-progress", "--workers", workers)


def rows(out):
    return {r["id"]: r for r in pq.read_table(out).to_pylist()}


def assert_patched(row, data, k=2, model=None):
    """A dataset row holds the ends that patch_ends (or the model) gives the text."""
    expected = (model.patch_ends(data, float(THETA), float(THETA_R)) if model
                else qelt_corpus.patch_ends(data, k, float(THETA), float(THETA_R)))
    assert row["ends"] == expected.tolist()
    assert (row["bytes"], row["patches"]) == (len(data), len(expected))
    assert row["status"] == ("ok" if data else "empty")


@pytest.fixture(scope="module")
def texts(real_text):
    return [real_text[i:i + 1500].decode("utf-8", "replace")
            for i in range(0, 60000, 1500)] + [""]


# --- Every format, end to end -----------------------------------------------------------


def test_directory_of_files(tmp_path, real_text):
    root = tmp_path / "corpus"
    (root / "nested").mkdir(parents=True)
    docs = {"a.txt": real_text[:5000], "nested/b.bin": bytes(range(256)) * 3,
            "one.txt": b"x", "empty.txt": b"", ".hidden": b"hidden but a file"}
    for name, data in docs.items():
        (root / name).write_bytes(data)
    (root / "broken").symlink_to(tmp_path / "missing")
    result = patch(root, "--out", tmp_path / "out" / "deeper", "-k", 2, workers=2)
    assert result.returncode == 1, result.stderr  # the broken link
    assert "unreadable: broken: FileNotFoundError" in result.stderr
    assert "Traceback" not in result.stderr
    found = rows(tmp_path / "out" / "deeper")
    assert set(found) == {*docs, "broken"}
    for name, data in docs.items():
        assert_patched(found[name], data)
    assert found["broken"]["status"].startswith("unreadable: FileNotFoundError")
    assert found["broken"]["ends"] is None
    assert "5 documents" not in result.stdout and "6 documents (4 ok, 1 empty, 1 unreadable)" \
        in result.stdout
    assert (tmp_path / "out" / "deeper" / "_histogram.png").read_bytes().startswith(b"\x89PNG")


@pytest.mark.parametrize("compression", [None, "gz", "zst"])
def test_json_lines(tmp_path, texts, compression):
    lines = [json.dumps({"text": t, "n": i}) for i, t in enumerate(texts)]
    lines[3] = "{not json"
    lines[5] = json.dumps({"other": 1})
    lines[7] = json.dumps({"text": 12})
    lines[9] = json.dumps({"text": None})
    lines.insert(11, "")  # a blank line: skipped, but counted
    body = ("\n".join(lines) + "\n").encode()
    path = tmp_path / ("docs.jsonl" + (f".{compression}" if compression else ""))
    path.write_bytes(gzip.compress(body) if compression == "gz" else
                     zstandard.ZstdCompressor().compress(body) if compression == "zst" else body)
    # Small partitions cut the plain file into byte ranges whose rows must be counted.
    result = patch(path, "--out", tmp_path / "out", "-k", 2, "--partition-bytes", 5000,
                   workers=2)
    assert result.returncode == 1, result.stderr
    found = rows(tmp_path / "out")
    for row, line in enumerate(lines):
        if not line:
            assert f"{path.name}:{row}" not in found
            continue
        entry = found[f"{path.name}:{row}"]
        record = json.loads(line) if line.startswith('{"') else None
        if record and isinstance(record.get("text"), str):
            assert_patched(entry, record["text"].encode())
        elif record and "text" in record and record["text"] is None:
            assert entry["status"] == "empty" and entry["ends"] == []
        else:
            assert entry["status"].startswith("unreadable: ")
    reasons = [found[f"{path.name}:{row}"]["status"] for row in (3, 5, 7)]
    assert reasons[0].startswith("unreadable: JSONDecodeError")
    assert reasons[1] == "unreadable: KeyError: \"no field 'text'\""
    assert reasons[2] == "unreadable: TypeError: field 'text' is int, not a string"
    assert result.stderr.count("unreadable: ") == 3


@pytest.mark.parametrize("named", ["directory", "glob"])
def test_json_lines_named_by_a_directory_or_a_glob(tmp_path, texts, named):
    corpus = tmp_path / "corpus"
    corpus.mkdir()
    body = "".join(json.dumps({"text": t}) + "\n" for t in texts).encode()
    for name in ("a", "b"):
        (corpus / f"{name}.jsonl.zst").write_bytes(zstandard.ZstdCompressor().compress(body))
    result = patch(corpus if named == "directory" else corpus / "*.jsonl.zst", "--out",
                   tmp_path / "out", "-k", 2)
    assert result.returncode == 0, result.stderr
    found = rows(tmp_path / "out")
    assert set(found) == {f"{name}.jsonl.zst:{i}" for name in "ab" for i in range(len(texts))}
    for i, text in enumerate(texts):
        assert_patched(found[f"b.jsonl.zst:{i}"], text.encode())


def test_json_lines_ids_from_a_field(tmp_path, texts):
    path = tmp_path / "docs.jsonl"
    path.write_text("".join(json.dumps({"body": t, "key": f"doc-{i}"}) + "\n"
                            for i, t in enumerate(texts)))
    result = patch(path, "--out", tmp_path / "out", "-k", 3, "--column", "body",
                   "--id-column", "key", "--max-patch-length", 6)
    assert result.returncode == 0, result.stderr
    found = rows(tmp_path / "out")
    for i, t in enumerate(texts):
        expected = qelt_corpus.patch_ends(t.encode(), 3, 2.0, 1.0, max_patch_length=6)
        assert found[f"doc-{i}"]["ends"] == expected.tolist()


def test_parquet_dataset_in_row_groups(tmp_path, texts):
    dataset = tmp_path / "dataset"
    (dataset / "sub").mkdir(parents=True)
    binary = [t.encode() for t in texts]
    pq.write_table(pa.table({"text": texts[:20]}), dataset / "a.parquet", row_group_size=3)
    pq.write_table(pa.table({"text": pa.array(binary[20:] + [None], pa.large_binary())}),
                   dataset / "sub" / "b.parquet", row_group_size=4)
    (dataset / "_SUCCESS").write_text("")  # what other writers leave beside a dataset
    result = patch(dataset, "--out", tmp_path / "out", "-k", 2, "--partition-bytes", 6000,
                   workers=2)
    assert result.returncode == 0, result.stderr
    found = rows(tmp_path / "out")
    assert len(found) == len(texts) + 1
    for row, t in enumerate(texts[:20]):
        assert_patched(found[f"a.parquet:{row}"], t.encode())
    for row, data in enumerate(binary[20:]):
        assert_patched(found[f"sub/b.parquet:{row}"], data)
    assert found[f"sub/b.parquet:{len(binary) - 20}"]["status"] == "empty"
    assert len(os.listdir(tmp_path / "out")) > 4  # several partitions, one file each


def test_text_file_one_document_per_line(tmp_path, texts):
    lines = [t.replace("\n", " ").replace("\r", " ") for t in texts]
    path = tmp_path / "corpus.txt"
    path.write_bytes(("\r\n".join(lines) + "\r\n").encode())
    result = patch(path, "--out", tmp_path / "out", "-k", 1, "--partition-bytes", 7000)
    assert result.returncode == 0, result.stderr
    found = rows(tmp_path / "out")
    assert len(found) == len(lines)
    for number, line in enumerate(lines, start=1):
        assert_patched(found[f"corpus.txt:{number}"], line.encode(), k=1)


def test_patching_with_a_model(tmp_path, texts):
    model_path = tmp_path / "model.qelt"
    model = ContextModel.train([t.encode() for t in texts[:20]], 3)
    model.save(model_path)
    path = tmp_path / "docs.jsonl"
    path.write_text("".join(json.dumps({"text": t}) + "\n" for t in texts))
    result = patch(path, "--out", tmp_path / "out", "--model", model_path)
    assert result.returncode == 0, result.stderr
    for row, entry in enumerate(sorted(rows(tmp_path / "out").values(),
                                       key=lambda r: int(r["id"].split(":")[1]))):
        assert_patched(entry, texts[row].encode(), model=model)


# --- Unreadable inputs ----------------------------------------------------------------------


def test_unreadable_inputs_are_recorded_and_the_run_goes_on(tmp_path, texts):
    good = tmp_path / "good.jsonl"
    good.write_text("".join(json.dumps({"text": t}) + "\n" for t in texts[:5]))
    corrupt_parquet = tmp_path / "corrupt.parquet"
    pq.write_table(pa.table({"text": texts[:5]}), corrupt_parquet)
    data = bytearray(corrupt_parquet.read_bytes())
    data[len(data) // 3: len(data) // 3 + 64] = bytes(64)
    corrupt_parquet.write_bytes(bytes(data[:len(data) // 2]) + data[-8:])
    # Compressed JSON lines cut short: every line before the damage is read, and the
    # damage is one unreadable row in its place (a zstd reader used to end in silence).
    lines = [json.dumps({"text": f"{i} " + texts[i % 20]}).encode() + b"\n" for i in range(3000)]
    for name, compress in (("cut.jsonl.gz", gzip.compress),
                           ("cut.jsonl.zst", zstandard.ZstdCompressor().compress)):
        whole = compress(b"".join(lines))
        (tmp_path / name).write_bytes(whole[:len(whole) * 9 // 10])
    result = patch(good, corrupt_parquet, tmp_path / "cut.jsonl.gz", tmp_path / "cut.jsonl.zst",
                   "--out", tmp_path / "out", "-k", 2)
    assert result.returncode == 1
    assert "Traceback" not in result.stderr
    found = rows(tmp_path / "out")
    assert found["corrupt.parquet"]["status"].startswith("unreadable: ")
    assert "unreadable: corrupt.parquet: " in result.stderr
    for name in ("cut.jsonl.gz", "cut.jsonl.zst"):
        read = sorted(int(i.split(":")[1]) for i in found if i.startswith(name + ":"))
        damage = read[-1]
        assert read == list(range(damage + 1)) and 500 < damage < 3000, read
        assert found[f"{name}:{damage}"]["status"].startswith("unreadable: EOFError")
        assert f"unreadable: {name}:{damage}: " in result.stderr
        for row in range(damage):
            assert found[f"{name}:{row}"]["status"] == "ok"
    for row in range(5):
        assert_patched(found[f"good.jsonl:{row}"], texts[row].encode())


# --- Usage errors ----------------------------------------------------------------------------


@pytest.fixture
def parquet_input(tmp_path, texts):
    path = tmp_path / "docs.parquet"
    pq.write_table(pa.table({"text": texts[:3], "n": [1, 2, 3]}), path)
    return path


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (["patch", "MISSING", "--out", "OUT", "-k", "2", "--theta", "1", "--theta-r", "1"],
         "missing: no such file, directory or object"),
        (["patch", "PARQUET", "--out", "OUT", "-k", "2", "--theta", "1", "--theta-r", "1",
          "--column", "body"], "no column 'body'"),
        (["patch", "PARQUET", "--out", "OUT", "-k", "2", "--theta", "1", "--theta-r", "1",
          "--column", "n"], "column 'n' is int64, not string or binary"),
        (["patch", "JSONL", "--out", "OUT", "-k", "2", "--theta", "1", "--theta-r", "1",
          "--column", "body"], "the first record has no field 'body'"),
        (["patch", "PARQUET", "--out", "OUT", "-k", "two", "--theta", "1", "--theta-r", "1"],
         "argument -k: invalid int value: 'two'"),
        (["patch", "PARQUET", "--out", "OUT", "-k", str(2**31), "--theta", "1", "--theta-r", "1"],
         "32-bit"),
        (["patch", "PARQUET", "--out", "OUT", "--model", "NOMODEL", "--theta", "1",
          "--theta-r", "1"], "nomodel"),
        (["patch", "PARQUET", "--out", "OUT", "--model", "PARQUET", "--theta", "1",
          "--theta-r", "1"], "not a valid qelt context model"),
        (["patch", "PARQUET", "--out", "OUT", "-k", "2", "--model", "x", "--theta", "1",
          "--theta-r", "1"], "not allowed with argument"),
        (["patch", "PARQUET", "--out", "OUT", "-k", "2", "--theta", "1"],
         "the following arguments are required: --theta-r"),
        (["patch", "PARQUET", "--out", "PARQUET", "-k", "2", "--theta", "1", "--theta-r", "1"],
         "not a directory"),
        (["patch", "PARQUET", "--out", "OUT", "-k", "2", "--theta", "1", "--theta-r", "1",
          "--max-patch-length", "0"], "invalid positive integer value"),
        (["train", "PARQUET", "--out", "M", "-k", "9"], "between 0 and 8"),
        (["calibrate", "PARQUET", "--model", "NOMODEL", "--target-mean", "4", "--theta-r", "1"],
         "nomodel"),
        (["calibrate", "PARQUET", "--model", "M", "--target-mean", "-1", "--theta-r", "1"],
         "invalid positive"),
        (["calibrate", "PARQUET", "--model", "M", "--target-mean", "4"],
         "the following arguments are required: --theta-r"),
        (["patch", "PARQUET", "--out", "OUT", "-k", "2", "--theta", "1", "--theta-r", "1",
          "--storage-options", "[1]"], "invalid JSON object value"),
        (["patch", "s3x://bucket/x", "--out", "OUT", "-k", "2", "--theta", "1", "--theta-r", "1"],
         "s3x"),
        (["frobnicate"], "invalid choice"),
        *((["patch", "PARQUET", "--out", "OUT", "-k", "2", flag, "nan", other, "1"],
           f"argument {flag}: invalid number (not NaN) value: 'nan'")
          for flag, other in (("--theta", "--theta-r"), ("--theta-r", "--theta"))),
        (["pack", "PARQUET", "--out", "OUT", "-k", "2", "--theta", "NaN", "--theta-r", "1"],
         "argument --theta: invalid number (not NaN)"),
        (["calibrate", "PARQUET", "--model", "M", "--target-mean", "4", "--theta-r", "nan"],
         "argument --theta-r: invalid number (not NaN)"),
        (["calibrate", "PARQUET", "--model", "M", "--target-mean", "nan", "--theta-r", "1"],
         "argument --target-mean: invalid positive number"),
        (["patch", "PARQUET", "--out", "OUT", "-k", "2", "--theta=--", "--theta-r", "1"],
         "argument --theta: expected one argument"),
        (["patch", "PARQUET", "--out", "OUT", "-k", "2", "--theta", "1", "--theta-r", "1",
          "--histogram", "UNWRITABLE"], "--histogram"),
        (["patch", "PARQUET", "--out", "OUT", "-k", "2", "--theta", "1", "--theta-r", "1",
          "--adapt-memory", "1GiB"], "--adapt-memory: needs --reading adaptive or mix"),
        (["evaluate", "PARQUET", "--model", "M", "--adapt", "--adapt-memory", "100"],
         "--adapt-memory: must be at least 4096"),
        *((["train", "PARQUET", "--out", "M", "-k", "2", "--memory-limit", limit],
           "is below the least that train works in") for limit in ("10", "300MB")),
        (["train", "PARQUET", "--out", "PARQUET", "-k", "2"], "exists: --overwrite to replace it"),
        (["train", "PARQUET", "--out", "M", "-k", "2", "--max-model-bytes", "lots"],
         "argument --max-model-bytes: invalid size"),
        (["patch", "JSONDIR", "--format", "parquet", "--out", "OUT", "-k", "2", "--theta", "1",
          "--theta-r", "1"], "holds no file of the format parquet (--format parquet)"),
        (["patch", "foo://bar/x.parquet", "--out", "OUT", "-k", "2", "--theta", "1",
          "--theta-r", "1"], "foo:// is not a protocol fsspec knows"),
    ],
)
def test_usage_errors_exit_2_with_one_line_before_any_cluster(tmp_path, parquet_input, args,
                                                              message, capsys):
    jsonl = tmp_path / "docs.jsonl"
    jsonl.write_text(json.dumps({"text": "abc"}) + "\n")
    (tmp_path / "json").mkdir()
    (tmp_path / "json" / "docs.jsonl").write_bytes(jsonl.read_bytes())
    names = {"PARQUET": parquet_input, "JSONL": jsonl, "OUT": tmp_path / "out",
             "MISSING": tmp_path / "missing", "NOMODEL": tmp_path / "nomodel", "M": tmp_path / "m",
             "UNWRITABLE": parquet_input / "h.png",  # below a file
             "JSONDIR": tmp_path / "json"}
    # An unreachable scheduler: had a cluster been sought first, this would fail otherwise
    # (a local cluster's memory limit is refused before any is sought).
    cluster = ["--scheduler", "tcp://127.0.0.1:9"] if len(args) > 1 and \
        "--memory-limit" not in args else []
    status = cli.main([str(names.get(a, a)) for a in args] + cluster)
    captured = capsys.readouterr()
    assert status == 2, (captured.out, captured.err)
    lines = captured.err.strip().splitlines()
    assert len(lines) == 1 and message in lines[0], captured.err
    assert not (tmp_path / "out").exists() or args[0] != "patch"


def test_no_arguments_print_the_usage_and_exit_2(capsys):
    assert cli.main([]) == 2
    captured = capsys.readouterr()
    assert captured.err.startswith("usage: qelt-corpus") and "train" in captured.err


def test_an_existing_dataset_needs_resume_and_the_same_settings(tmp_path, parquet_input):
    out = tmp_path / "out"
    assert patch(parquet_input, "--out", out, "-k", 2).returncode == 0
    again = patch(parquet_input, "--out", out, "-k", 2)
    assert again.returncode == 2 and "--resume" in again.stderr
    other = patch(parquet_input, "--out", out, "-k", 3, "--resume")
    assert other.returncode == 2 and "other inputs or settings" in other.stderr


# --- Interruption and resuming ----------------------------------------------------------------


def test_interrupted_run_then_resume_equals_a_full_run(tmp_path, real_text):
    corpus = tmp_path / "corpus"
    corpus.mkdir()
    for i in range(400):
        (corpus / f"doc{i:03}.txt").write_bytes(real_text[i * 400:i * 400 + 30000] * 10)
    # About 50 partitions of a few hundredths of a second each: the interruption lands
    # well before the last, however late it is delivered.
    args = [corpus, "-k", 3, "--partition-bytes", 1 << 20]
    out = tmp_path / "out"
    process = subprocess.Popen(
        [*COMMAND, "patch", *map(str, args), "--out", str(out), "--theta", THETA,
         "--theta-r", THETA_R, "--no-progress", "--workers", "1"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True)
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline and (
            not out.exists() or sum(n.startswith("part-") for n in os.listdir(out)) < 3):
        time.sleep(0.02)
    os.killpg(process.pid, signal.SIGINT)  # as Ctrl-C does: to the workers too
    stdout, stderr = process.communicate(timeout=120)
    assert process.returncode == 130, (stdout, stderr)
    assert "interrupted" in stdout and "Traceback" not in stderr, (stdout, stderr)
    parts = sorted(n for n in os.listdir(out) if n.startswith("part-"))
    planned = json.loads((out / "_qelt_corpus.json").read_text())["partitions"]
    assert 3 <= len(parts) < planned, (len(parts), planned, stdout)
    assert not [n for n in os.listdir(out) if n.endswith(".tmp")], os.listdir(out)
    for name in parts:  # every file written is whole
        pq.read_table(out / name)

    resumed = patch(*args, "--out", out, "--resume")
    assert resumed.returncode == 0, (resumed.stdout, resumed.stderr)
    assert "partitions were already done" in resumed.stdout, resumed.stdout
    full = patch(*args, "--out", tmp_path / "full")
    assert full.returncode == 0, (full.stdout, full.stderr)
    assert sorted(os.listdir(out)) == sorted(os.listdir(tmp_path / "full"))
    assert pq.read_table(out).equals(pq.read_table(tmp_path / "full"))
    assert resumed.stdout.splitlines()[0] == full.stdout.splitlines()[0]


# --- Training and calibrating ------------------------------------------------------------------


def test_train_on_dask_equals_train_in_process(tmp_path, texts):
    jsonl = tmp_path / "docs.jsonl"
    jsonl.write_text("".join(json.dumps({"text": t}) + "\n" for t in texts) + "{broken\n")
    parquet = tmp_path / "docs.parquet"
    pq.write_table(pa.table({"text": texts[::-1]}), parquet, row_group_size=5)
    model_path = tmp_path / "models" / "model.qelt"
    result = command("train", jsonl, parquet, "--out", model_path, "-k", 3,
                     "--min-count", 2, "--workers", 2, "--no-progress",
                     "--partition-bytes", 4000)
    assert result.returncode == 1, result.stderr  # the broken line
    assert "unreadable: docs.jsonl:41" in result.stderr
    documents = [t.encode() for t in texts + texts[::-1]]
    expected = ContextModel.train(documents, 3, min_count=2)
    assert ContextModel.load(model_path) == expected
    assert f"{len(expected)} contexts" in result.stdout


@pytest.mark.parametrize(("target", "reached"), [(4, None), (1e6, "largest"),
                                                   (1.0001, "smallest")])
def test_calibrate_prints_theta_last(tmp_path, texts, target, reached):
    """The closest theta is on the last line; a target no theta reaches is said on a line
    of its own, with the mean at the end it lies beyond, and exits 1."""
    model_path = tmp_path / "model.qelt"
    ContextModel.train([t.encode() for t in texts], 2).save(model_path)
    jsonl = tmp_path / "docs.jsonl"
    jsonl.write_text("".join(json.dumps({"text": t}) + "\n" for t in texts))
    result = command("calibrate", jsonl, "--model", model_path, "--target-mean", target,
                     "--theta-r", 1.0, "--no-progress")
    theta = float(result.stdout.strip().splitlines()[-1])
    model = ContextModel.load(model_path)
    sample = [t.encode() for t in texts if t]
    assert theta == model.calibrate(sample, float(target), theta_r=1.0)
    assert "mean patch length" in result.stdout
    if reached is None:
        assert result.returncode == 0 and not result.stderr, result.stderr
        return
    assert result.returncode == 1
    [line] = result.stderr.strip().splitlines()
    theta_there = "inf" if reached == "largest" else "-inf"
    mean = model.calibration(sample, theta_r=1.0).mean_patch_length(float(theta_there))
    assert line == (f"qelt-corpus calibrate: no theta reaches the target mean patch length "
                    f"{target:g}: the {reached} mean, with theta = {theta_there}, is "
                    f"{mean:.3f} bytes")


# --- A real cluster -------------------------------------------------------------------------------


def test_patch_on_a_running_cluster(tmp_path, texts, dask_cluster):
    path = tmp_path / "docs.jsonl"
    path.write_text("".join(json.dumps({"text": t}) + "\n" for t in texts))
    result = command("patch", path, "--out", tmp_path / "out", "-k", 2, "--theta",
                     THETA, "--theta-r", THETA_R, "--no-progress", "--scheduler",
                     dask_cluster, "--partition-bytes", 10000)
    assert result.returncode == 0, result.stderr
    assert "on 2 workers" in result.stdout
    found = rows(tmp_path / "out")
    for row, t in enumerate(texts):
        assert_patched(found[f"docs.jsonl:{row}"], t.encode())


# --- What a new user meets -------------------------------------------------------------------


def test_out_must_be_absent_empty_or_a_dataset_of_ours(tmp_path, parquet_input, capsys):
    taken = tmp_path / "taken"
    taken.mkdir()
    (taken / "notes.txt").write_text("mine")
    args = ["patch", str(parquet_input), "-k", "2", "--theta", "1", "--theta-r", "1",
            "--workers", "1", "--no-progress", "--out"]
    assert cli.main(args + [str(taken)]) == 2
    err = capsys.readouterr().err.strip().splitlines()
    assert len(err) == 1 and "holds no output of qelt-corpus" in err[0]
    assert os.listdir(taken) == ["notes.txt"]
    empty = tmp_path / "empty"
    empty.mkdir()
    assert cli.main(args + [str(empty)]) == 0
    assert "_qelt_corpus.json" in os.listdir(empty)


def test_nothing_is_written_until_the_cluster_is_reached(tmp_path, parquet_input, capsys):
    args = ["patch", str(parquet_input), "--out", str(tmp_path / "out"), "-k", "2", "--theta",
            "1", "--theta-r", "1", "--no-progress", "--scheduler", "tcp://127.0.0.1:9"]
    for attempt in range(2):  # the same command, retried, meets the same error
        assert cli.main(args) == 2
        err = capsys.readouterr().err.strip().splitlines()
        assert len(err) == 1 and "cannot reach the scheduler" in err[0], err
        assert not (tmp_path / "out").exists()


def test_links_to_directories_are_skipped_and_counted(tmp_path, real_text, capsys):
    corpus = tmp_path / "corpus"
    (corpus / "real").mkdir(parents=True)
    (corpus / "real" / "a.txt").write_bytes(real_text[:3000])
    (corpus / "loop").symlink_to(corpus)  # would never end if followed
    (corpus / "alias").symlink_to(corpus / "real")
    status = cli.main(["patch", str(corpus), "--out", str(tmp_path / "out"), "-k", "2",
                       "--theta", "2", "--theta-r", "1", "--workers", "1", "--no-progress"])
    out = capsys.readouterr().out
    assert status == 0
    assert "1 documents (1 ok, 0 empty, 0 unreadable; 2 links to directories skipped)" in out
    assert set(rows(tmp_path / "out")) == {"real/a.txt"}


def test_every_option_has_help_and_there_is_a_version(capsys):
    parser = cli.parser()
    commands = next(a for a in parser._actions if a.dest == "command").choices
    for name, sub in commands.items():
        for action in sub._actions:
            assert action.help, (name, action.option_strings or action.dest)
    assert cli.main(["--version"]) == 0
    assert capsys.readouterr().out.startswith("qelt-corpus ")


def test_two_local_runs_at_once_print_nothing_of_dask(tmp_path, parquet_input):
    runs = [subprocess.Popen([*COMMAND, "patch", str(parquet_input), "--out",
                              str(tmp_path / f"out{i}"), "-k", "2", "--theta", "1", "--theta-r",
                              "1", "--workers", "1", "--no-progress"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            for i in range(2)]
    for run in runs:
        stdout, stderr = run.communicate(timeout=300)
        assert run.returncode == 0, stderr
        assert stderr == "", stderr  # no "Port 8787 is already in use"


def test_progress_counts_input_to_a_fixed_total_and_shows_the_text(tmp_path, texts):
    # Compressed input holds several times the text it takes: the bar counts the input,
    # whose total is known from the start, and shows beside it the text read, which
    # ends at the summary's.
    body = "".join(json.dumps({"text": t * 20}) + "\n" for t in texts).encode()
    for i in range(3):
        (tmp_path / f"{i}.jsonl.gz").write_bytes(gzip.compress(body))
    result = command("patch", tmp_path / "*.jsonl.gz", "--out", tmp_path / "out",
                     "-k", 2, "--theta", THETA, "--theta-r", THETA_R, "--workers",
                     1, "--partition-bytes", 1000)
    assert result.returncode == 0, result.stderr
    states = re.findall(r"patching: +\d+%\|[^|]*\| *([\d.]+\w?)/([\d.]+\w?) ", result.stderr)
    assert len({total for _, total in states}) == 1, result.stderr
    assert states[-1][0] == states[-1][1], result.stderr
    text = float(re.findall(r"([\d.]+) MB of text", result.stderr)[-1])
    summary = float(re.search(r"([\d.]+) MB in", result.stdout).group(1))
    assert abs(text - summary) < 0.1, (result.stderr, result.stdout)
    assert summary > 3 * sum(p.stat().st_size for p in tmp_path.glob("*.gz")) / 1e6


# --- Corpora of no documents, and readers that leave early ---------------------------------


@pytest.mark.parametrize("subcommand", cli.SUBCOMMANDS)
@pytest.mark.parametrize("emptiness", ["directory", "file", "empty documents"])
def test_a_corpus_without_documents(tmp_path, texts, subcommand, emptiness, capsys):
    """train, calibrate and evaluate refuse a corpus of no documents, or of no bytes, in
    one line; patch and pack write an output that reads as the corpus, and say so."""
    if emptiness == "directory":
        (tmp_path / "empty").mkdir()
        corpus = tmp_path / "empty"
    else:
        corpus = tmp_path / "empty.jsonl"
        corpus.write_text('{"text": ""}\n' * 3 if emptiness == "empty documents" else "")
    model = tmp_path / "model.qelt"
    ContextModel.train([t.encode() for t in texts], 2, smoothing="kneser-ney").save(model)
    out = tmp_path / "out"
    arguments = {
        "patch": ["--out", out, "-k", 2, "--theta", 1, "--theta-r", 1],
        "pack": ["--out", out, "-k", 2, "--theta", 1, "--theta-r", 1],
        "train": ["--out", out, "-k", 2],
        "calibrate": ["--model", model, "--target-mean", 4, "--theta-r", 1],
        "evaluate": ["--model", model, "--json"],
        "show": ["-k", 2, "--theta", 1, "--theta-r", 1, "--out", tmp_path / "page.html"],
    }[subcommand]
    cluster = [] if subcommand == "show" else ["--no-progress", "--workers", "1"]
    status = cli.main([subcommand, str(corpus), *map(str, arguments), *cluster])
    captured = capsys.readouterr()
    if subcommand == "show":  # a document of no bytes is shown; no document is a usage error
        assert status == (0 if emptiness == "empty documents" else 2), captured
        assert (tmp_path / "page.html").exists() == (status == 0)
        assert status == 0 or "holds 0 documents" in captured.err, captured
        return
    if subcommand in ("train", "calibrate", "evaluate"):
        assert status == 2, captured
        assert len(captured.err.strip().splitlines()) == 1, captured
        assert captured.err.startswith(f"qelt-corpus {subcommand}: "), captured
        assert "no documents" in captured.err or "no bytes" in captured.err \
            or "no document is longer" in captured.err, captured
        assert not out.exists() and not captured.out
        return
    assert status == 0, captured
    documents = 3 if emptiness == "empty documents" else 0
    if not documents:
        assert "the inputs hold no documents" in captured.out
    if subcommand == "patch":
        assert pq.read_table(out).num_rows == documents
    else:
        assert len(qelt_corpus.PackedDataset(out)) == documents


def test_any_byte_string_names_an_input_an_output_and_a_model(tmp_path, texts):
    """Paths are bytes: a name that is not UTF-8 is read and written, and ids write its
    other bytes as \\xHH."""
    name = os.fsdecode(b"caf\xe9")
    corpus = tmp_path / f"{name}-corpus"
    corpus.mkdir()
    (corpus / f"{name}.txt").write_text(texts[0])
    (corpus / "plain.txt").write_text(texts[1])
    model, settings = tmp_path / f"{name}.qelt", ["--workers", 1, "--no-progress"]
    result = command("train", corpus, "--out", model, "-k", 2, *settings,
                     errors="surrogateescape")  # it prints the names as they are
    assert result.returncode == 0, result.stderr
    assert ContextModel.load(model) == ContextModel.train([t.encode() for t in texts[:2]], 2)
    for subcommand in ("patch", "pack"):
        out = tmp_path / f"{name}-{subcommand}"
        result = command(subcommand, corpus, "--out", out, "--model", model, "--theta", THETA,
                         "--theta-r", THETA_R, *settings, errors="surrogateescape")
        assert result.returncode == 0, result.stderr
    with open(tmp_path / f"{name}-patch" / "part-00000.parquet", "rb") as file:
        assert sorted(pq.read_table(file).column("id").to_pylist()) == [
            "caf\\xe9.txt", "plain.txt"]
    packed = qelt_corpus.PackedDataset(tmp_path / f"{name}-pack")
    assert sorted(packed.id(i) for i in range(len(packed))) == ["caf\\xe9.txt", "plain.txt"]
    for subcommand, more in (("evaluate", []), ("calibrate", ["--target-mean", 3, "--theta-r", 1])):
        result = command(subcommand, corpus, "--model", model, *more, *settings,
                         errors="surrogateescape")
        assert result.returncode == 0, result.stderr


def test_a_name_that_exists_as_it_is_is_no_glob(tmp_path, texts):
    corpus = tmp_path / "br[x]"
    corpus.mkdir()
    (corpus / "a.txt").write_text(texts[0])
    result = patch(corpus, "--out", tmp_path / "out", "-k", 2)
    assert result.returncode == 0, result.stderr
    assert list(rows(tmp_path / "out")) == ["a.txt"]


def test_a_reader_that_stops_reading_does_not_change_the_outcome(tmp_path, parquet_input):
    """`qelt-corpus patch ... | head -0`: the run ends as it would have, quietly."""
    out = tmp_path / "out"
    read, write = os.pipe()
    os.close(read)  # the reader is gone before the first line: every write fails
    try:
        result = subprocess.run([*COMMAND, "patch", str(parquet_input), "--out", str(out), "-k",
                                 "2", "--theta", THETA, "--theta-r", THETA_R, "--workers", "1",
                                 "--no-progress"],
                                stdout=write, stderr=subprocess.PIPE, text=True, timeout=300)
    finally:
        os.close(write)
    assert result.returncode == 0 and result.stderr == "", result.stderr
    assert (out / "_histogram.png").exists()
    assert pq.read_table(out).num_rows > 0


# --- Smoothed models and evaluation ---------------------------------------------------------


def test_train_smoothed_then_evaluate_both_kinds(tmp_path, texts):
    jsonl = tmp_path / "docs.jsonl"
    jsonl.write_text("".join(json.dumps({"text": t}) + "\n" for t in texts))
    documents = [t.encode() for t in texts]
    held_out = tmp_path / "held.jsonl"
    held_out.write_text(json.dumps({"text": "the model never saw \u00e9\u00e9\u00e9"}) + "\n")
    for smoothing in KINDS:
        model_path = tmp_path / f"{smoothing}.qelt"
        result = command("train", jsonl, "--out", model_path, "-k", 3, "--smoothing",
                         smoothing, "--workers", 1, "--no-progress")
        assert result.returncode == 0, result.stderr
        assert f"smoothing {smoothing}" in result.stdout
        model = ContextModel.load(model_path)
        assert model == ContextModel.train(documents, 3, smoothing=smoothing)
        result = command("evaluate", held_out, "--model", model_path, "--workers", 1,
                         "--no-progress")
        assert result.returncode == 0, result.stderr
        expected = model.evaluate([b"the model never saw \xc3\xa9\xc3\xa9\xc3\xa9"])
        if expected.zero_probability_bytes:
            assert "bits per byte: infinite" in result.stdout and "probability 0" in result.stdout
        else:
            assert f"bits per byte: {expected.bits_per_byte:.4f}" in result.stdout


def test_evaluate_refuses_a_model_without_probabilities(tmp_path, texts, capsys):
    jsonl = tmp_path / "docs.jsonl"
    jsonl.write_text(json.dumps({"text": texts[0]}) + "\n")
    model = pathlib.Path(__file__).parent / "data" / "model-v1.qelt"
    status = cli.main(["evaluate", str(jsonl), "--model", str(model), "--scheduler",
                       "tcp://127.0.0.1:9"])
    captured = capsys.readouterr()
    assert status == 2 and "version 1" in captured.err and len(captured.err.splitlines()) == 1


# --- Entropies of a model of one's own -------------------------------------------------------


@pytest.mark.parametrize("fmt", ["jsonl", "parquet"])
def test_patch_and_pack_take_given_entropies(tmp_path, texts, fmt):
    model = ContextModel.train([t.encode() for t in texts], 2, smoothing="kneser-ney")
    documents = [t.encode() for t in texts[:12]]
    entropies = [model.entropies(d).astype(float).tolist() for d in documents]
    entropies[3] = entropies[3][:-1]  # one short: unreadable
    entropies[6][10] = math.nan  # no position can be judged by it: unreadable, alone
    bad = {3: "entropies for 1500 bytes", 6: "the entropy at position 10 is NaN"}
    if fmt == "jsonl":
        path = tmp_path / "docs.jsonl"
        lines = [json.dumps({"text": t, "h": e}) for t, e in zip(texts[:12], entropies)]
        lines.append(json.dumps({"text": "abc", "h": "not a list"}))  # unreadable too
        path.write_text("\n".join(lines) + "\n")
        bad[12] = "not a list of numbers"
    else:
        path = tmp_path / "docs.parquet"
        entropies[8][0] = None
        bad[8] = "the entropy at position 0 is null"
        pq.write_table(pa.table({"text": texts[:12], "h": pa.array(entropies,
                                                                   pa.list_(pa.float64()))}),
                       path, row_group_size=5)
    bad = {f"{path.name}:{row}": reason for row, reason in bad.items()}
    out, packed = tmp_path / "out", tmp_path / "packed"
    for subcommand, target in (("patch", out), ("pack", packed)):
        result = command(subcommand, path, "--out", target, "--entropies", "h", "--theta",
                         THETA, "--theta-r", THETA_R, "--workers", 1, "--no-progress")
        assert result.returncode == 1, result.stderr  # the unreadable rows
        assert "--resume" not in result.stderr  # no partition failed
        for id_, reason in bad.items():
            assert f"unreadable: {id_}: " in result.stderr and reason in result.stderr
    found = rows(out)
    for i, document in enumerate(documents):
        row = found[f"{path.name}:{i}"]
        if f"{path.name}:{i}" in bad:
            assert row["status"].startswith("unreadable: ") and row["ends"] is None
            continue
        expected = qelt_corpus.patch_ends_from_entropies(entropies[i], float(THETA),
                                                         float(THETA_R))
        assert row["ends"] == expected.tolist()
    dataset = qelt_corpus.PackedDataset(packed)
    assert len(dataset) == len(documents) - sum(int(i.rsplit(":", 1)[1]) < 12 for i in bad)
    assert json.loads((packed / "index.json").read_text())["settings"]["entropies"] == "h"


def test_entropies_need_inputs_that_hold_them(tmp_path, capsys):
    (tmp_path / "files").mkdir()
    (tmp_path / "files" / "a.txt").write_text("abc")
    status = cli.main(["patch", str(tmp_path / "files"), "--out", str(tmp_path / "out"),
                       "--entropies", "h", "--theta", "1", "--theta-r", "1"])
    assert status == 2 and "--entropies needs Parquet or JSON-lines" in capsys.readouterr().err


# --- A model that learns from each document ---------------------------------------------------


@pytest.mark.parametrize(("option", "reading", "recorded"), [
    (["--adapt"], "adaptive", {"adapt": True}),
    (["--reading", "mix", "--adapt-memory", "64KiB"], Reading("mix", 65536),
     {"reading": "mix", "reading_memory": 65536})])
def test_each_reading_on_every_subcommand_that_reads_a_model(tmp_path, texts, capsys, option,
                                                              reading, recorded):
    documents = [t.encode() for t in texts]
    model = ContextModel.train(documents[::2], 3, smoothing="kneser-ney")
    model.save(tmp_path / "model.qelt")
    pq.write_table(pa.table({"text": texts}), tmp_path / "docs.parquet", row_group_size=7)
    common = [tmp_path / "docs.parquet", "--model", tmp_path / "model.qelt", *option]
    settings = ["--theta", THETA, "--theta-r", THETA_R, "--no-progress", "--workers", 1]

    def adaptive_ends(d):
        return model.patch_ends(d, float(THETA), float(THETA_R), reading=reading).tolist()

    result = command("patch", *common, "--out", tmp_path / "out", *settings)
    assert result.returncode == 0, result.stderr
    found = sorted(pq.read_table(tmp_path / "out").column("ends").to_pylist())
    assert found == sorted(adaptive_ends(d) for d in documents)
    assert found != sorted(model.patch_ends(d, float(THETA), float(THETA_R)).tolist()
                           for d in documents)

    result = command("pack", *common, "--out", tmp_path / "packed", *settings)
    assert result.returncode == 0, result.stderr
    dataset = qelt_corpus.PackedDataset(tmp_path / "packed")
    assert sorted(dataset[i][1].tolist() for i in range(len(dataset))) == sorted(
        adaptive_ends(d) for d in documents)
    index = json.loads((tmp_path / "packed" / "index.json").read_text())
    assert recorded.items() <= index["settings"].items()

    result = command("calibrate", *common, "--target-mean", 4, "--theta-r", THETA_R)
    assert result.returncode == 0, result.stderr
    theta = float(result.stdout.splitlines()[-1])
    readable = [d for d in documents if d]
    assert theta == model.calibrate(readable, 4, theta_r=float(THETA_R), reading=reading)

    result = command("evaluate", *common, "--json", "--no-progress", "--workers", 2,
                     "--partition-bytes", 2000)
    assert result.returncode == 0, result.stderr
    expected = model.evaluate(documents, reading=reading)
    assert json.loads(result.stdout)["bits_per_byte"] == pytest.approx(expected.bits_per_byte,
                                                                      rel=1e-12)

    # Unusable: without a model, or with one that has no probabilities.
    version_1 = pathlib.Path(__file__).parent / "data" / "model-v1.qelt"
    for args in (["patch", tmp_path / "docs.parquet", "-k", 2, *option, "--out",
                  tmp_path / "no", "--theta", 1, "--theta-r", 1],
                 ["evaluate", tmp_path / "docs.parquet", "--model", version_1, *option],
                 ["calibrate", tmp_path / "docs.parquet", "--model", version_1, *option,
                  "--target-mean", 4, "--theta-r", 1]):
        assert cli.main([*map(str, args), "--scheduler", "tcp://127.0.0.1:9"]
                        if args[0] != "calibrate" else list(map(str, args))) == 2
        err = capsys.readouterr().err
        assert len(err.splitlines()) == 1 and (option[0] in err or "version 1" in err), err
