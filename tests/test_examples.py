import pathlib
import subprocess
import sys

import pytest

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"


def run_example(*args):
    return subprocess.run(
        [sys.executable, str(EXAMPLES / "show_patches.py"), *args], capture_output=True, text=True
    )


def test_show_patches_marks_patches_and_summarises():
    result = run_example("-k", "1", "--theta", "2.5", "--theta-r", "inf", "--show", "0")
    assert result.returncode == 0, result.stderr
    shown, summary = result.stdout.rsplit("\n\n", 1)
    patches = shown.split("|")
    assert "".join(patches).rstrip("\n") == (EXAMPLES / "sample.txt").read_text().rstrip("\n")
    assert f"patches: {len(patches) - 1} " in summary
    assert "mean length" in summary and "median length" in summary and "ms" in summary


def test_show_patches_ends_quietly_when_its_reader_goes(tmp_path):
    # More than a pipe holds, so that the writer meets the closed pipe.
    (tmp_path / "long.txt").write_bytes((EXAMPLES / "sample.txt").read_bytes() * 200)
    shown = subprocess.Popen([sys.executable, str(EXAMPLES / "show_patches.py"),
                              str(tmp_path / "long.txt"), "--show", "0"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    shown.stdout.readline()
    shown.stdout.close()  # as `| head -1` does
    assert shown.wait(timeout=60) == 0
    with shown.stderr:
        assert shown.stderr.read() == b""


def test_show_patches_colours_when_asked():
    result = run_example("--colour", "always", "--show", "50")
    assert result.returncode == 0
    assert "\033[30;46m" in result.stdout and "\033[30;43m" in result.stdout


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (["/nonexistent/file"], "cannot read"),
        (["--theta", "abc"], "invalid float value"),
        (["-k", "x"], "invalid int value"),
        (["-k", str(2**31)], "32-bit"),
    ],
)
def test_show_patches_reports_bad_arguments(args, message):
    result = run_example(*args)
    assert result.returncode != 0
    assert message in result.stderr
    assert "Traceback" not in result.stderr


def test_hugging_face_dataset_example(tmp_path):
    datasets = pytest.importorskip("datasets")
    import json

    import qelt_corpus

    texts = [(EXAMPLES / "sample.txt").read_text()[i:i + 300] for i in range(0, 2000, 300)]
    source = tmp_path / "docs.jsonl"
    source.write_text("".join(json.dumps({"text": t}) + "\n" for t in texts))
    env = {**__import__("os").environ, "HF_DATASETS_CACHE": str(tmp_path / "cache"),
           "HF_DATASETS_OFFLINE": "1", "HF_HUB_OFFLINE": "1"}
    result = subprocess.run([sys.executable, str(EXAMPLES / "patch_hf_dataset.py"), str(source),
                             "--out", str(tmp_path / "patched"), "-k", "2"],
                            capture_output=True, text=True, env=env, timeout=300)
    assert result.returncode == 0, result.stderr
    patched = datasets.load_from_disk(str(tmp_path / "patched"))
    assert patched["text"] == texts
    assert patched["ends"] == [qelt_corpus.patch_ends(t.encode(), 2, 2.0, 1.0).tolist()
                               for t in texts]
