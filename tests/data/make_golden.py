"""Writes the golden files of a format version (docs/formats.md, "Golden files").

    python3 tests/data/make_golden.py model-v1.qelt counts-v1.bin golden.txt
    python3 tests/data/make_golden.py --models-v2
    python3 tests/data/make_golden.py --train-scratch

The first wrote version 1 of the model file and the counts; the second writes version
2 of the model file, unsmoothed and smoothed (model-v2.qelt, model-v2-kneser-ney.qelt),
and golden-kneser-ney.txt, the smoothed model's values from tests/reference.py.

Run once, when a version is added: a golden file never changes afterwards, and every
build must read it identically. The model and the counts encoding are written by the
qelt_corpus on the path (PYTHONPATH selects a build); the expected entropies and patch
ends in golden.txt come from tests/reference.py, the straightforward definition, not
from the code under test.

counts-v1-first.bin, the first form of counts version 1 (magic "QELTCNT1", no version
field), was written the same way by the first build that wrote counts.

train-scratch-v1/ holds the counts files and records that `qelt-corpus train` keeps
for --resume, written by its counting task (train_scratch below) for the golden corpus
as one text file cut into partitions of SCRATCH_PARTITION_BYTES, each counted within
SCRATCH_COUNTING: so small a budget that every partition writes several chunks and
documents are counted in overlapping pieces.

packed-v1/ was written by `qelt-corpus pack golden-corpus.txt --out packed-v1` with
the options PACK of tests/test_golden.py, run in this directory; its manifest and
summary plot are not kept (no reader needs them).
"""

from __future__ import annotations

import math
import pathlib
import pickle
import struct
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))

import reference  # noqa: E402

K, MIN_COUNT = 5, 1
PROBE = b"the rat sat on the cat's mat, abcabx\x00sat \xff\xfe cat and the rat ran"
THRESHOLDS = [(2.0, 1.0), (0.5, 10.0), (1.0, 0.25), (1.5, float("inf"))]


def documents() -> list[bytes]:
    """The golden corpus: one document per line of golden-corpus.txt."""
    return (HERE / "golden-corpus.txt").read_bytes().split(b"\n")[:-1]


def expectations() -> str:
    model = reference.corpus_model(documents(), K, MIN_COUNT)
    entropies = [reference.backed_off_entropy(model, PROBE[i - K:i]) for i in range(K, len(PROBE))]
    lines = [f"k {K}", f"min_count {MIN_COUNT}", f"probe {PROBE.hex()}",
             "entropies " + " ".join(struct.pack(">f", h).hex() for h in entropies)]
    for theta, theta_r in THRESHOLDS:
        ends = reference.model_patch_ends(model, PROBE, theta, theta_r)
        lines.append(f"ends {theta!r} {theta_r!r} " + " ".join(map(str, ends)))
    return "\n".join(lines) + "\n"


def kneser_ney_expectations() -> str:
    """Of the smoothed model, for every position i of the probe: the entropy (nats)
    and log2 of the probability of its byte, given the up to k bytes before it."""
    model = reference.KneserNey(documents(), K, min_count=MIN_COUNT)
    lines = [f"k {K}", f"min_count {MIN_COUNT}", f"probe {PROBE.hex()}"]
    for i in range(len(PROBE)):
        distribution = model.distribution(PROBE[max(0, i - K):i])
        lines.append(f"{reference.entropy_of(distribution)!r} "
                     f"{math.log2(distribution[PROBE[i]])!r}")
    return "\n".join(lines) + "\n"


def models_v2() -> None:
    from qelt_corpus import ContextCounts

    counts = ContextCounts(K)
    for document in documents():
        counts.add(document)
    counts.to_model(MIN_COUNT).save(HERE / "model-v2.qelt")
    counts.to_model(MIN_COUNT, smoothing="kneser-ney").save(HERE / "model-v2-kneser-ney.qelt")
    (HERE / "golden-kneser-ney.txt").write_text(
        "# Golden values of model-v2-kneser-ney.qelt: the smoothed model of\n"
        "# golden-corpus.txt (one document per line) at k and min_count; for each position\n"
        "# of the probe (hex), the entropy in nats and log2 of the probability of its byte,\n"
        "# from tests/reference.py. Made by make_golden.py.\n"
        + kneser_ney_expectations())


SCRATCH_PARTITION_BYTES = 64
# table_bytes, flush_bytes, step_bytes: counts written out after every step of 48 bytes.
SCRATCH_COUNTING = (512, 1, 48)


def train_scratch(directory: pathlib.Path) -> None:
    """Counts the golden corpus into `directory` as `train` does (its manifest apart)."""
    from qelt_corpus.cli import _memory, _planning
    from qelt_corpus.cli._settings import Inputs
    from qelt_corpus.cli.formats import of
    from qelt_corpus.cli.tasks.train import count_partition

    inputs = Inputs((str(HERE / "golden-corpus.txt"),), "lines", "text", None, {},
                    SCRATCH_PARTITION_BYTES)
    corpus = _planning.corpus(inputs)
    partitions = _planning.number_rows(corpus.partitions, {
        p: of(p).count_rows(p, corpus.options) for p in _planning.uncounted(corpus.partitions)})
    directory.mkdir(parents=True, exist_ok=True)
    for index, partition in enumerate(partitions):
        count_partition(index, partition, K, corpus.options, None,
                        _memory.Counting(*SCRATCH_COUNTING), str(directory), {})


def main() -> None:
    from qelt_corpus import ContextCounts

    if sys.argv[1:] == ["--models-v2"]:
        models_v2()
        return
    if sys.argv[1:] == ["--train-scratch"]:
        train_scratch(HERE / "train-scratch-v1")
        return
    model_name, counts_name, expected_name = sys.argv[1:4]
    counts = ContextCounts(K)
    for document in documents():
        counts.add(document)
    counts.to_model(MIN_COUNT).save(HERE / model_name)
    _, (state,) = counts.__reduce__()
    (HERE / counts_name).write_bytes(state)
    assert pickle.loads(pickle.dumps(counts)).positions == counts.positions
    (HERE / expected_name).write_text(
        "# Golden values of model-v1.qelt and the counts encodings: the model of\n"
        "# golden-corpus.txt (one document per line) at k and min_count; for the probe\n"
        "# (hex), the entropy at each position k.. (float32 bits, big-endian hex), and\n"
        "# its patch ends at each theta and theta_r. Made by make_golden.py.\n"
        + expectations())


if __name__ == "__main__":
    main()
