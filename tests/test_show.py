"""A document looked at: the page's data against the patching it draws, the pictures,
and the command that makes them."""

import base64
import json
import math
import re

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq
import pytest

import qelt_corpus
from conftest import command
from qelt_corpus import ContextModel


def page_data(page: str) -> dict:
    found = re.search(r'<script type="application/json" id="qelt-data">(.*?)</script>', page,
                      re.S)
    return json.loads(found.group(1))


@pytest.fixture(scope="module")
def model(real_text):
    return ContextModel.train([real_text[:30000]], 3, smoothing="kneser-ney")


@pytest.mark.parametrize(("source", "reading", "longest", "theta", "theta_r"), [
    ("k", None, None, 1.5, 0.5), ("k", None, 7, float("inf"), 0.8),
    ("model", "static", 9, 2.0, 1.0), ("model", "adaptive", None, 2.0, float("inf")),
    ("model", "mix", 5, 1.0, 0.3)])
def test_the_page_carries_the_ends_and_the_test_that_made_each(real_text, model, source,
                                                                reading, longest, theta,
                                                                theta_r):
    document = real_text[30000:36000] + b"\x00\xff\t"
    k = 2 if source == "k" else model.k
    view = qelt_corpus.show(document, k if source == "k" else model, theta, theta_r,
                            reading=reading, max_patch_length=longest)
    expected = (qelt_corpus.patch_ends(document, k, theta, theta_r, max_patch_length=longest)
                if source == "k" else
                model.patch_ends(document, theta, theta_r, max_patch_length=longest,
                                 reading=reading))
    data = page_data(view.to_html())
    assert data["ends"] == expected.tolist()
    assert data["length"] == len(document) and data["k"] == k
    assert base64.b64decode(data["bytes"]) == document
    assert data["reading"] == (reading or "static")
    # Each kind of cut accounts for its ends: judged by the entropies drawn, the ends of
    # the absolute and rise tests are those the entropies give without a longest patch.
    entropies = view.entropies
    assert np.allclose(data["entropies"], entropies, atol=1e-4)
    kinds = dict(zip(data["ends"], data["cut_kinds"]))
    assert set(kinds.values()) <= set("arme")
    for end, kind in kinds.items():
        h, i = entropies[end - 1], end - 1
        previous = entropies[i - 1] if i > k else 0.0
        if kind == "a":
            assert i >= k and h > np.float32(theta)
        elif kind == "r":
            assert i >= k and float(h) - float(previous) > float(np.float32(theta_r))
        elif kind == "m":
            assert longest
        else:
            assert end == len(document)
    if source == "model":
        p = np.exp2(model.log_probs(document, reading=reading))
        assert np.allclose(data["probabilities"], p, rtol=1e-3)


def test_a_large_page_stays_small_and_pictures_are_made(tmp_path, real_text, model):
    document = (real_text * (1 + (1 << 20) // len(real_text)))[:1 << 20]
    view = qelt_corpus.show(document, model, 2.0, 1.0, first=5000)
    view.save(tmp_path / "page.html")
    assert (tmp_path / "page.html").stat().st_size < 40 * len(document)
    assert page_data((tmp_path / "page.html").read_text())["first"] == 5000
    page = (tmp_path / "page.html").read_text()
    assert not re.search(r"""(src|href)\s*=|url\(|@import|fetch\(""", page)  # no network
    view.save(tmp_path / "plot.png")
    assert (tmp_path / "plot.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    view.save(tmp_path / "plot.svg")
    assert "<svg" in (tmp_path / "plot.svg").read_text()
    assert "srcdoc" in view._repr_html_()
    with pytest.raises(ValueError, match="use .html, .svg or .png"):
        view.save(tmp_path / "plot.pdf")


@pytest.mark.parametrize(("arguments", "error"), [
    ({"reading": "mix"}, "reading must be 'static'"), ({"first": 10}, "first must be below"),
    ({"theta": math.nan}, "theta")])
def test_what_cannot_be_shown_says_why(arguments, error):
    settings = {"theta": 1.0, **arguments}
    theta = settings.pop("theta")
    with pytest.raises((ValueError, TypeError), match=error):
        qelt_corpus.show(b"abcabc", 2, theta, 0.5, **settings)


def test_the_command_shows_a_row_a_file_and_says_what_is_wrong(tmp_path, model):
    texts = ["first document", "the second document, shown", "third"]
    pq.write_table(pa.table({"text": texts, "name": ["a", "b", "c"]}), tmp_path / "d.parquet")
    model.save(tmp_path / "m.qelt")
    shown = command("show", tmp_path / "d.parquet", "--model", tmp_path / "m.qelt", "--theta",
                    1.5, "--theta-r", 0.5, "--row", 1, "--id-column", "name",
                    "--reading", "mix", "--out", tmp_path / "p.html")
    assert shown.returncode == 0, shown.stderr
    data = page_data((tmp_path / "p.html").read_text())
    assert base64.b64decode(data["bytes"]) == texts[1].encode()
    assert data["ends"] == model.patch_ends(texts[1].encode(), 1.5, 0.5,
                                            reading="mix").tolist()
    # A file that is no table is one document, whole; off a terminal, marked patches.
    (tmp_path / "t.txt").write_bytes(b"line one\nline two\n")
    plain = command("show", tmp_path / "t.txt", "-k", 1, "--theta", 0.5, "--theta-r", 9)
    ends = qelt_corpus.patch_ends(b"line one\nline two\n", 1, 0.5, 9.0).tolist()
    assert plain.returncode == 0 and plain.stdout.count("|") == len(ends), plain.stderr
    for arguments, status, message in [
            ([tmp_path / "d.parquet", "-k", 2, "--row", 3], 2, "holds 3 documents"),
            ([tmp_path / "missing.txt", "-k", 2], 2, "no such file"),
            ([tmp_path / "t.txt", "-k", 2, "--out", tmp_path / "x.pdf"], 2, ".html, .svg"),
            ([tmp_path / "t.txt", "-k", 2, "--adapt"], 2, "needs --model")]:
        result = command("show", *arguments, "--theta", 1, "--theta-r", 1)
        assert result.returncode == status, result.stderr
        assert len(result.stderr.splitlines()) == 1 and message in result.stderr, result.stderr


def test_reports_carry_the_figures_of_the_search_and_of_each_document(tmp_path, real_text,
                                                                       model):
    documents = [real_text[i:i + 700 + i % 900] for i in range(40000, 80000, 2500)]
    calibration = model.calibration(documents, theta_r=1.0)
    theta = calibration.theta(5)
    lengths = {}
    for ends in model.patch_ends_batch(pa.array(documents), theta, 1.0).to_pylist():
        for length in np.diff([0, *ends]).tolist():
            lengths[length] = lengths.get(length, 0) + 1
    data = page_data(calibration.report(5, lengths=lengths).to_html())
    curve = data["charts"][0]
    at = curve["x"].index(min(curve["x"], key=lambda x: abs(x - theta)))
    assert curve["y"][at] == pytest.approx(calibration.mean_patch_length(curve["x"][at]))
    assert data["theta"] == theta and data["lengths"] == {str(k): v for k, v in
                                                          sorted(lengths.items())}
    evaluation = model.evaluate([b"", *documents], per_document=True, reading="adaptive")
    whole = model.evaluate([b"", *documents], reading="adaptive")
    assert (evaluation.bytes, evaluation.documents) == (whole.bytes, whole.documents)
    assert evaluation.bits_per_byte == pytest.approx(whole.bits_per_byte, rel=1e-12)
    data = page_data(evaluation.report().to_html())
    figures = data["per_document"]
    assert figures["id"] == list(range(1, len(documents) + 1))  # the empty one has no mean
    for i, bits in zip(figures["id"], figures["bits_per_byte"]):
        alone = model.evaluate([documents[i - 1]], reading="adaptive").bits_per_byte
        assert bits == pytest.approx(alone, rel=1e-12)
    worst = data["charts"][-1]["rows"][0]
    assert worst[2] == max(figures["bits_per_byte"])
    evaluation.save(tmp_path / "e.png")
    assert (tmp_path / "e.png").read_bytes()[:4] == b"\x89PNG"


def test_the_reports_of_the_command(tmp_path, model):
    texts = [f"document {i}: " + "some words and more words " * (1 + i % 7) for i in range(40)]
    (tmp_path / "d.jsonl").write_text("".join(json.dumps({"text": t}) + "\n"
                                              for i, t in enumerate(texts)))
    model.save(tmp_path / "m.qelt")
    common = [tmp_path / "d.jsonl", "--model", tmp_path / "m.qelt", "--workers", 2,
              "--no-progress"]
    calibrated = command("calibrate", *common, "--target-mean", 4, "--theta-r", 1.0,
                         "--report", tmp_path / "c.html")
    assert calibrated.returncode == 0, calibrated.stderr
    theta = float(calibrated.stdout.splitlines()[-1])
    lengths = {}
    for text in texts:
        for length in np.diff([0, *model.patch_ends(text.encode(), theta, 1.0)]).tolist():
            lengths[str(length)] = lengths.get(str(length), 0) + 1
    assert page_data((tmp_path / "c.html").read_text())["lengths"] == dict(
        sorted(lengths.items(), key=lambda item: int(item[0])))
    evaluated = command("evaluate", *common, "--report", tmp_path / "e.html",
                        "--partition-bytes", 600)
    assert evaluated.returncode == 0, evaluated.stderr
    figures = page_data((tmp_path / "e.html").read_text())["per_document"]
    assert sorted(figures["id"]) == sorted(f"d.jsonl:{i}" for i in range(40))
    at = figures["id"].index("d.jsonl:7")
    assert figures["bits_per_byte"][at] == pytest.approx(
        model.evaluate([texts[7].encode()]).bits_per_byte, rel=1e-9)
    refused = command("evaluate", *common, "--report", tmp_path / "e.pdf")
    assert refused.returncode == 2 and "must end in .html" in refused.stderr
