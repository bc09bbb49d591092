"""Patching as bytes arrive: for every split of a document into pushes, the stream
gives the ends of the whole document, says before each byte whether it will close a
patch, and never takes back an end it gave; a push that fails changes nothing."""

import os
import random
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from conftest import KINDS
from qelt_corpus import ContextModel


def corpus(rng):
    return [bytes(rng.choice(b"abcd \n") for _ in range(rng.randint(50, 400))) for _ in range(5)]


# Reading as the model is; adapting; adapting within a budget so small that the
# document's statistics start afresh several times within a document.
READINGS = {"static": {}, "adapt": {"adapt": True},
            "adapt, 4 KiB": {"adapt": True, "adapt_memory": 4096},
            "mix": {"reading": "mix"}, "mix, 4 KiB": {"reading": "mix", "adapt_memory": 4096}}


@pytest.mark.parametrize("reading", READINGS)
@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("k", range(7))
def test_any_split_into_pushes_gives_the_ends_of_the_whole(kind, k, reading):
    rng = random.Random(k)
    model = ContextModel.train(corpus(rng), k, smoothing=kind)
    adapt = READINGS[reading]
    for _ in range(25):
        document = bytes(rng.choice(b"abcde \n") for _ in range(rng.randint(0, 300)))
        theta = rng.choice([0.3, 0.8, 1.4, -1.0, float("inf"), -float("inf")])
        theta_r = rng.choice([0.2, 0.6, float("inf"), -0.1])
        longest = rng.choice([None, 1, 3, 8])
        stream = model.stream(theta, theta_r, max_patch_length=longest, **adapt)
        entropies = model.entropies(document, **adapt)
        ends, position = [], 0
        while position < len(document):
            size = rng.choice([0, 1, 1, 1, 2, 5, 17, 64])
            for i in range(position, min(len(document), position + size)):
                # Known before each byte arrives: its entropy and whether it closes.
                assert stream.position == i
                assert stream.next_entropy == entropies[i]
                closes = stream.next_ends_patch
                pushed = stream.push(document[i:i + 1]).tolist()
                if i + 1 < len(document):
                    assert pushed == ([i + 1] if closes else [])
                ends += pushed
            position = min(len(document), position + size)
            ends += stream.push(b"").tolist()
        ends += stream.finish().tolist()
        assert ends == model.patch_ends(document, theta, theta_r, max_patch_length=longest,
                                        **adapt).tolist()
        assert stream.finish().size == 0
        with pytest.raises(ValueError, match="finished"):
            stream.push(b"a")


@pytest.mark.parametrize("adapt", [False, True])
def test_pushes_of_any_size_and_the_model_may_go_first(adapt):
    rng = random.Random(7)
    documents = corpus(rng)
    model = ContextModel.train(documents, 3, smoothing="kneser-ney")
    document = b"".join(documents)
    stream = model.stream(1.0, 0.5, adapt=adapt)
    del model  # the stream holds what it needs
    ends = np.concatenate([stream.push(memoryview(document)[i:i + 1000])
                           for i in range(0, len(document), 1000)] + [stream.finish()])
    again = ContextModel.train(documents, 3, smoothing="kneser-ney")
    assert ends.tolist() == again.patch_ends(document, 1.0, 0.5, adapt=adapt).tolist()
    with pytest.raises(TypeError):
        again.stream(1.0, 0.5).push("text")


# A stream learning without bound from random bytes, in a process whose address space
# is limited, until a push runs out of memory; then it takes a byte and finishes, and
# its ends must be those of the bytes it took, computed once the limit is lifted.
UNDER_A_MEMORY_LIMIT = """
import os, resource
import numpy as np
from qelt_corpus import ContextModel

model = ContextModel.train([b"abcd" * 1000], 3, smoothing="kneser-ney")
stream = model.stream(2.0, 1.0, adapt=True, adapt_memory=None)
with open("/proc/self/status") as status:
    size = next(int(line.split()[1]) for line in status if line.startswith("VmSize"))
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (size * 1024 + (300 << 20), hard))
rng = np.random.default_rng(0)
taken, ends = [], []
for _ in range(64):
    piece = rng.integers(0, 256, 1 << 20, np.uint8).tobytes()
    position = stream.position
    try:
        ends += stream.push(piece).tolist()
    except MemoryError:
        assert stream.position == position
        break
    taken.append(piece)
else:
    raise SystemExit("no push ran out of memory")
ends += stream.push(b"x").tolist() + stream.finish().tolist()
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
document = b"".join(taken) + b"x"
expected = model.patch_ends(document, 2.0, 1.0, adapt=True, adapt_memory=None).tolist()
print(len(taken), ends == expected)
"""


@pytest.mark.skipif(bool(os.environ.get("QELT_SANITIZED")),
                    reason="the sanitizers' shadow memory does not fit a limited address space")
def test_a_push_that_runs_out_of_memory_changes_nothing():
    finished = subprocess.run([sys.executable, "-c", textwrap.dedent(UNDER_A_MEMORY_LIMIT)],
                              capture_output=True, text=True, timeout=600)
    assert finished.returncode == 0, finished.stderr[-2000:]
    pieces, equal = finished.stdout.split()
    assert int(pieces) >= 1 and equal == "True"
