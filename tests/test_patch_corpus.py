"""The corpus example runs end to end on a local Dask cluster, and what it writes
for each document is what patch_sequence gives for it directly."""

import itertools
import json
import pathlib
import signal
import subprocess
import sys
import time

import pytest

import qelt

pq = pytest.importorskip("pyarrow.parquet")
EXAMPLE = pathlib.Path(__file__).resolve().parent.parent / "examples" / "patch_corpus.py"
K, THETA, THETA_R = 2, 2.0, 1.0


def run(*args, **kwargs):
    settings = ["--no-progress", "--workers", 2, "-k", K, "--theta", THETA, "--theta-r", THETA_R]
    return subprocess.run([sys.executable, str(EXAMPLE), *map(str, [*settings, *args])],
                          capture_output=True, text=True, timeout=300, **kwargs)


def expected(data: bytes) -> tuple[int, list[int]]:
    patches = qelt.patch_sequence(bytearray(data), K, THETA, THETA_R)
    return len(patches), list(itertools.accumulate(len(p) for p in patches))


@pytest.fixture
def corpus(tmp_path, real_text):
    root = tmp_path / "corpus"
    (root / "nested").mkdir(parents=True)
    docs = {
        "a.txt": real_text[:5000],
        "nested/b.txt": real_text[5000:9000],
        "nested/binary.bin": bytes(range(256)) * 3 + b"\xff\xfe\x00",
        "one.txt": b"x",
        "empty.txt": b"",
    }
    for name, data in docs.items():
        (root / name).write_bytes(data)
    (root / "broken.txt").symlink_to(tmp_path / "missing")
    return root, docs


def test_directory_to_parquet(corpus, tmp_path):
    root, docs = corpus
    out = tmp_path / "results.parquet"
    result = run(root, "--out", out, "--boundaries")
    assert result.returncode == 0, result.stderr
    assert "6 documents (4 patched, 1 empty, 1 unreadable)" in result.stdout
    assert "unreadable: broken.txt" in result.stderr
    rows = {r["id"]: r for r in pq.read_table(out).to_pylist()}
    assert set(rows) == {*docs, "broken.txt"}
    for name, data in docs.items():
        row = rows[name]
        if not data:
            assert (row["status"], row["patches"]) == ("empty", 0)
            continue
        patches, ends = expected(data)
        assert (row["status"], row["bytes"], row["patches"]) == ("ok", len(data), patches)
        assert row["boundaries"] == ends
        assert row["mean_patch_length"] == len(data) / patches
    assert rows["broken.txt"]["status"].startswith("unreadable: FileNotFoundError")
    assert out.with_suffix(".png").read_bytes().startswith(b"\x89PNG")


def test_json_lines_to_json_lines(tmp_path, real_text):
    texts = [real_text[i : i + 700].decode("utf-8", "replace") for i in range(0, 7000, 700)]
    lines = [json.dumps({"text": t}) for t in texts] + ["{not json", json.dumps({"other": 1}),
                                                        json.dumps({"text": ""})]
    source = tmp_path / "docs.jsonl"
    source.write_text("\n".join(lines) + "\n")
    out = tmp_path / "results.jsonl"
    result = run(source, "--field", "text", "--out", out, "--histogram", tmp_path / "h.png")
    assert result.returncode == 0, result.stderr
    assert "13 documents (10 patched, 1 empty, 2 unreadable)" in result.stdout
    rows = {r["id"]: r for r in map(json.loads, out.read_text().splitlines())}
    for number, text in enumerate(texts, start=1):
        assert rows[number]["patches"] == expected(text.encode())[0]
        assert "boundaries" not in rows[number]
    assert rows[11]["status"].startswith("unreadable: JSONDecodeError")
    assert rows[12]["status"].startswith("unreadable: KeyError")
    assert rows[13]["status"] == "empty"
    assert (tmp_path / "h.png").exists()


def test_interrupted_run_keeps_what_it_wrote(tmp_path):
    source = tmp_path / "lines.txt"
    source.write_bytes(b"".join(b"line %d of a corpus that takes a while\n" % i
                                for i in range(400_000)))
    out = tmp_path / "results.jsonl"
    process = subprocess.Popen(
        [sys.executable, str(EXAMPLE), str(source), "--out", str(out), "--no-progress",
         "--workers", "1", "-k", "1"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline and (not out.exists() or out.stat().st_size == 0):
        time.sleep(0.05)
    process.send_signal(signal.SIGINT)
    stdout, stderr = process.communicate(timeout=120)
    assert process.returncode == 130, stderr
    assert "interrupted after" in stdout
    written = out.read_text().splitlines()
    assert 0 < len(written) < 400_000
    assert all(json.loads(line)["status"] == "ok" for line in written)


@pytest.mark.parametrize(
    ("args", "message"),
    [(["--out", "x.csv"], "must end in"), (["--out", "x.jsonl", "-k", str(2**31)], "32-bit")],
)
def test_bad_arguments(tmp_path, args, message):
    result = run(tmp_path, *args)
    assert result.returncode == 2 and message in result.stderr
    assert "Traceback" not in result.stderr
