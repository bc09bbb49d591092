"""Patching as bytes arrive: for every split of a document into pushes, the stream
gives the ends of the whole document, says before each byte whether it will close a
patch, and never takes back an end it gave."""

import random

import numpy as np
import pytest

from conftest import KINDS
from qelt_corpus import ContextModel


def corpus(rng):
    return [bytes(rng.choice(b"abcd \n") for _ in range(rng.randint(50, 400))) for _ in range(5)]


@pytest.mark.parametrize("adapt", [False, True])
@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("k", range(7))
def test_any_split_into_pushes_gives_the_ends_of_the_whole(kind, k, adapt):
    rng = random.Random(k)
    model = ContextModel.train(corpus(rng), k, smoothing=kind)
    for _ in range(25):
        document = bytes(rng.choice(b"abcde \n") for _ in range(rng.randint(0, 300)))
        theta = rng.choice([0.3, 0.8, 1.4, -1.0, float("inf"), float("nan")])
        theta_r = rng.choice([0.2, 0.6, float("inf"), -0.1])
        longest = rng.choice([None, 1, 3, 8])
        stream = model.stream(theta, theta_r, max_patch_length=longest, adapt=adapt)
        entropies = model.entropies(document, adapt=adapt)
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
                                        adapt=adapt).tolist()
        assert stream.finish().size == 0


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
