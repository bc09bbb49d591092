"""qelt_corpus.patch_ends and patch_ends_batch give exactly the patches of
qelt.patch_sequence, as end offsets, for every kind of buffer and Arrow array, and
refuse bad input with a clear exception (never a crash)."""

import itertools
import math
import mmap
import random
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pyarrow as pa
import pytest
import qelt
import qelt_corpus
from qelt_corpus import ContextCounts, ContextModel

INF = math.inf


def expected_ends(data: bytes, k: int, theta: float, theta_r: float) -> list[int]:
    patches = qelt.patch_sequence(bytearray(data), k, theta, theta_r)
    return list(itertools.accumulate(len(p) for p in patches))


def limited(ends: list[int], max_length: int) -> list[int]:
    """Ends with every patch longer than max_length cut into max_length-byte pieces."""
    out, begin = [], 0
    for end in ends:
        out.extend(range(begin + max_length, end, max_length))
        out.append(end)
        begin = end
    return out


BUFFER_KINDS = {
    "bytes": bytes,
    "bytearray": bytearray,
    "memoryview": memoryview,
    "memoryview-c": lambda d: memoryview(d).cast("c"),
    "uint8": lambda d: np.frombuffer(d, dtype=np.uint8),
    "int8": lambda d: np.frombuffer(d, dtype=np.int8),
    "sliced-uint8": lambda d: np.frombuffer(b"xyz" + d, dtype=np.uint8)[3:],
}


@pytest.mark.parametrize("kind", BUFFER_KINDS)
def test_every_buffer_kind_gives_the_patches_of_patch_sequence(kind, real_text):
    data = real_text[:20_000]
    for k, theta, theta_r in [(0, 0.5, 0.1), (1, 2.0, 1.0), (3, 1.5, 0.5), (5, 1.0, INF)]:
        ends = qelt_corpus.patch_ends(BUFFER_KINDS[kind](data), k, theta, theta_r)
        assert ends.dtype == np.int64 and ends.ndim == 1
        assert ends.tolist() == expected_ends(data, k, theta, theta_r)


def test_mmap_is_read_in_place(tmp_path, real_text):
    path = tmp_path / "data"
    path.write_bytes(real_text[:50_000])
    with path.open("rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as m:
        ends = qelt_corpus.patch_ends(m, 2, 2.0, 1.0)
    assert ends.tolist() == expected_ends(real_text[:50_000], 2, 2.0, 1.0)


SPECIAL_K = [0, 1, 2, 3, 4, 8, 9, 17, -1, -(2**31), 2**31 - 1]
SPECIAL_THRESHOLDS = [(INF, 0.1), (-INF, INF), (0.1, INF), (-INF, -INF),
                      (1e300, -0.0), (-0.0, 0.0), (2.0, -1e-45), (1.0, 0.25)]


@pytest.mark.parametrize("seed", range(6))
def test_differential_on_random_inputs(seed):
    rng = random.Random(seed)
    for _ in range(40):
        n = rng.choice([0, 1, 2, 3, 7, 64, 300, 2000])
        alphabet = rng.choice([2, 3, 16, 256])
        data = bytes(rng.randrange(alphabet) for _ in range(n))
        k = rng.choice(SPECIAL_K + [n, n - 1, n + 1])
        theta, theta_r = rng.choice(SPECIAL_THRESHOLDS)
        expected = expected_ends(data, k, theta, theta_r)
        assert qelt_corpus.patch_ends(data, k, theta, theta_r).tolist() == expected


def test_thresholds_at_an_entropy_compare_in_single_precision():
    # 'abab' with k = 0 has entropy ln 2 at every position: exactly equal never cuts,
    # and the double nearest ln 2 is cut by its single-precision neighbour.
    data = b"abab"
    ln2_single = float(np.float32(math.log(2)))
    assert qelt_corpus.patch_ends(data, 0, ln2_single, INF).tolist() == [4]
    assert qelt_corpus.patch_ends(data, 0, math.log(2), INF).tolist() == \
        expected_ends(data, 0, math.log(2), INF)
    assert qelt_corpus.patch_ends(data, 0, np.nextafter(np.float32(ln2_single), 0), INF) \
        .tolist() == [1, 2, 3, 4]


@pytest.mark.parametrize("k", [True, np.int32(3), np.uint8(2)])
def test_k_converts_as_patch_sequence_does(k, real_text):
    data = real_text[:3000]
    assert qelt_corpus.patch_ends(data, k, 2.0, 1.0).tolist() == expected_ends(data, k, 2.0, 1.0)


@pytest.mark.parametrize("max_length", [1, 2, 3, 7, 64, 2**64, 10**30])
def test_max_patch_length_cuts_long_patches_from_their_start(max_length, real_text):
    data = real_text[:10_000]
    for k, theta, theta_r in [(1, 3.0, INF), (3, 2.0, 1.0), (-1, 0.0, 0.0), (0, 9.0, 9.0)]:
        ends = qelt_corpus.patch_ends(data, k, theta, theta_r, max_patch_length=max_length)
        assert ends.tolist() == limited(expected_ends(data, k, theta, theta_r), max_length)
        lengths = np.diff(ends, prepend=0)
        assert lengths.min() >= 1 and lengths.max() <= max_length


def test_empty_input_gives_an_empty_array():
    for data in (b"", bytearray(), np.zeros(0, np.uint8)):
        ends = qelt_corpus.patch_ends(data, 2, 0.5, 0.5, max_patch_length=3)
        assert ends.dtype == np.int64 and ends.shape == (0,)


# --- Arrow batches ---------------------------------------------------------------

ARROW_TYPES = ["binary", "large_binary", "string", "large_string"]


def documents(real_text: bytes) -> list[bytes | None]:
    rng = random.Random(7)
    docs: list[bytes | None] = []
    position = 0
    for _ in range(60):
        size = rng.choice([0, 1, 3, 50, 700, 2500])
        docs.append(real_text[position:position + size])
        position += size
    docs[5] = docs[17] = docs[40] = None
    docs.append(bytes(range(200)))  # not valid UTF-8 later: only for the binary types
    return docs


def arrow_array(docs, type_name):
    type_ = getattr(pa, type_name)()
    if "string" in type_name:
        docs = [None if d is None else d.decode("utf-8", "replace") for d in docs]
    return pa.array(docs, type=type_)


def expected_lists(array, k, theta, theta_r, max_length=None):
    result = []
    for value in array.to_pylist():
        if value is None:
            result.append(None)
            continue
        data = value.encode() if isinstance(value, str) else value
        ends = expected_ends(data, k, theta, theta_r) if data else []
        result.append(limited(ends, max_length) if max_length else ends)
    return result


@pytest.mark.parametrize("type_name", ARROW_TYPES)
def test_batch_patches_each_document_on_its_own(type_name, real_text):
    array = arrow_array(documents(real_text), type_name)
    for k, theta, theta_r, max_length in [(2, 2.0, 1.0, None), (3, 1.5, 0.5, 4), (0, 9.0, INF, 2)]:
        result = qelt_corpus.patch_ends_batch(array, k, theta, theta_r,
                                              max_patch_length=max_length)
        assert isinstance(result, pa.ListArray) and result.type == pa.list_(pa.int64())
        result.validate(full=True)
        assert result.to_pylist() == expected_lists(array, k, theta, theta_r, max_length)
        assert result.null_count == 3


@pytest.mark.parametrize("type_name", ARROW_TYPES)
def test_sliced_and_chunked_arrays(type_name, real_text):
    array = arrow_array(documents(real_text), type_name)
    # Slices start at bit and byte offsets inside the buffers.
    for start, stop in [(1, 30), (5, 6), (17, 61), (3, 3)]:
        piece = array[start:stop]
        result = qelt_corpus.patch_ends_batch(piece, 2, 2.0, 1.0)
        result.validate(full=True)
        assert result.to_pylist() == expected_lists(piece, 2, 2.0, 1.0)
    chunked = pa.chunked_array([array[:10], array[10:10], array[10:45], array[45:]])
    result = qelt_corpus.patch_ends_batch(chunked, 2, 2.0, 1.0)
    assert isinstance(result, pa.ChunkedArray) and result.num_chunks == 4
    assert result.to_pylist() == expected_lists(array, 2, 2.0, 1.0)
    empty = qelt_corpus.patch_ends_batch(pa.chunked_array([], type=array.type), 2, 2.0, 1.0)
    assert empty.type == pa.list_(pa.int64()) and len(empty) == 0


def test_batch_of_all_nulls_and_of_nothing():
    nulls = qelt_corpus.patch_ends_batch(pa.array([None, None], pa.binary()), 1, 1.0, 1.0)
    assert nulls.to_pylist() == [None, None]
    assert qelt_corpus.patch_ends_batch(pa.array([], pa.string()), 1, 1.0, 1.0).to_pylist() == []


def test_batch_reads_arrow_buffers_in_place():
    # Ends point into the documents themselves: a value that matters only in place.
    array = pa.array([b"abcabd" * 1000, b"x"], pa.binary())
    ends = qelt_corpus.patch_ends_batch(array, 2, 0.5, 10.0)
    assert ends.to_pylist() == [expected_ends(b"abcabd" * 1000, 2, 0.5, 10.0), [1]]


# --- Bad input --------------------------------------------------------------------

# Each case runs in one child process, so that a crash fails the tests instead of
# ending the run; the child prints the exception raised by every case.
BAD_INPUTS = {
    "str": ("TypeError", "qelt_corpus.patch_ends('abc', 1, 1.0, 1.0)"),
    "list": ("TypeError", "qelt_corpus.patch_ends([1, 2, 3], 1, 1.0, 1.0)"),
    "None": ("TypeError", "qelt_corpus.patch_ends(None, 1, 1.0, 1.0)"),
    "int32 array": ("TypeError", "qelt_corpus.patch_ends(np.arange(4, dtype=np.int32), 1, 1.0, 1.0)"),
    "bool array": ("TypeError", "qelt_corpus.patch_ends(np.zeros(4, dtype=bool), 1, 1.0, 1.0)"),
    "memoryview of ints": ("TypeError", "qelt_corpus.patch_ends(memoryview(b'abcd').cast('i'), 1, 1.0, 1.0)"),
    "strided": ("ValueError", "qelt_corpus.patch_ends(np.zeros(8, np.uint8)[::2], 1, 1.0, 1.0)"),
    "strided memoryview": ("ValueError", "qelt_corpus.patch_ends(memoryview(b'abcdef')[::2], 1, 1.0, 1.0)"),
    "2-d": ("ValueError", "qelt_corpus.patch_ends(np.zeros((2, 2), np.uint8), 1, 1.0, 1.0)"),
    "k float": ("TypeError", "qelt_corpus.patch_ends(b'abc', 1.0, 1.0, 1.0)"),
    "k str": ("TypeError", "qelt_corpus.patch_ends(b'abc', '1', 1.0, 1.0)"),
    "k too large": ("OverflowError", "qelt_corpus.patch_ends(b'abc', 2**31, 1.0, 1.0)"),
    "k too small": ("OverflowError", "qelt_corpus.patch_ends(b'abc', -2**31 - 1, 1.0, 1.0)"),
    "theta str": ("TypeError", "qelt_corpus.patch_ends(b'abc', 1, '1.0', 1.0)"),
    "theta_r None": ("TypeError", "qelt_corpus.patch_ends(b'abc', 1, 1.0, None)"),
    # No entropy passes a NaN threshold: one is a mistake, as the command says.
    "theta NaN": ("ValueError", "qelt_corpus.patch_ends(b'abc', 1, float('nan'), 1.0)"),
    "theta_r NaN": ("ValueError", "qelt_corpus.patch_ends_batch(pa.array([b'a']), 1, 1.0, float('nan'))"),
    "given theta NaN": ("ValueError", "qelt_corpus.patch_ends_from_entropies(np.zeros(3, np.float32), float('nan'), 1.0)"),
    "model theta NaN": ("ValueError", "ContextModel.train([b'abc'], 1).patch_ends(b'abc', float('nan'), 1.0)"),
    "stream theta_r NaN": ("ValueError", "ContextModel.train([b'abc'], 1).stream(1.0, float('nan'))"),
    "calibrate theta_r NaN": ("ValueError", "ContextModel.train([b'abcd'], 1).calibrate([b'abcd'], 2.0, theta_r=float('nan'))"),
    "max_patch_length 0": ("ValueError", "qelt_corpus.patch_ends(b'abc', 1, 1.0, 1.0, max_patch_length=0)"),
    "max_patch_length -1": ("ValueError", "qelt_corpus.patch_ends(b'abc', 1, 1.0, 1.0, max_patch_length=-1)"),
    "max_patch_length float": ("TypeError", "qelt_corpus.patch_ends(b'abc', 1, 1.0, 1.0, max_patch_length=2.0)"),
    "batch None": ("TypeError", "qelt_corpus.patch_ends_batch(None, 1, 1.0, 1.0)"),
    "batch list": ("TypeError", "qelt_corpus.patch_ends_batch([b'abc'], 1, 1.0, 1.0)"),
    "batch ints": ("TypeError", "qelt_corpus.patch_ends_batch(pa.array([1, 2]), 1, 1.0, 1.0)"),
    "batch list type": ("TypeError", "qelt_corpus.patch_ends_batch(pa.array([[b'a']]), 1, 1.0, 1.0)"),
    "batch chunked ints": ("TypeError", "qelt_corpus.patch_ends_batch(pa.chunked_array([[1]]), 1, 1.0, 1.0)"),
    "batch bad k": ("OverflowError", "qelt_corpus.patch_ends_batch(pa.array([b'a']), 2**40, 1.0, 1.0)"),
    # Hand-made arrays whose offsets point past their data, or decrease.
    "batch offsets past data": ("ValueError", """qelt_corpus.patch_ends_batch(pa.Array.from_buffers(
        pa.binary(), 2, [None, pa.py_buffer(np.array([0, 3, 1000], np.int32)),
        pa.py_buffer(b'abcdef')]), 1, 1.0, 1.0)"""),
    "batch offsets decrease": ("ValueError", """qelt_corpus.patch_ends_batch(pa.Array.from_buffers(
        pa.binary(), 2, [None, pa.py_buffer(np.array([0, 5, 2], np.int32)),
        pa.py_buffer(b'abcdef')]), 1, 1.0, 1.0)"""),
    "batch negative offset": ("ValueError", """qelt_corpus.patch_ends_batch(pa.Array.from_buffers(
        pa.large_binary(), 1, [None, pa.py_buffer(np.array([-4, 2], np.int64)),
        pa.py_buffer(b'abcdef')]), 1, 1.0, 1.0)"""),
    "batch short offsets": ("ValueError", """qelt_corpus.patch_ends_batch(pa.Array.from_buffers(
        pa.binary(), 5, [None, pa.py_buffer(np.array([0, 1], np.int32)),
        pa.py_buffer(b'abcdef')]), 1, 1.0, 1.0)"""),
    # The native layer checks the layout itself, whatever made the buffers.
    "native offsets past data": ("ValueError", "native(None, i32(0, 3, 1000), b'abcdef', 0, 2, 4)"),
    "native negative offset": ("ValueError", "native(None, i64(-4, 2), b'abcdef', 0, 1, 8)"),
    "native short offsets": ("ValueError", "native(None, i32(0, 1), b'abcdef', 0, 5, 4)"),
    "native offset past offsets": ("ValueError", "native(None, i32(0, 1, 2), b'abcdef', 2, 1, 4)"),
    "native huge offset": ("ValueError", "native(None, i32(0, 1), b'ab', 2**64 - 2, 1, 4)"),
    "native short bitmap": ("ValueError", "native(b'', i32(0, 1, 2), b'ab', 0, 2, 4)"),
    "native no offsets": ("ValueError", "native(None, None, b'ab', 0, 1, 4)"),
    "native bad width": ("ValueError", "native(None, i32(0, 1), b'ab', 0, 1, 2)"),
}

CHILD = """
import sys
import numpy as np
import pyarrow as pa
import qelt_corpus
from qelt_corpus import ContextCounts, ContextModel

def native(validity, offsets, data, offset, length, width):
    return qelt_corpus._native.patch_ends_arrow(validity, offsets, data, offset, length, width,
                                                1, 1.0, 1.0, 0)

def i32(*values):
    return np.array(values, np.int32).tobytes()

def i64(*values):
    return np.array(values, np.int64).tobytes()

for name, source in CASES.items():
    try:
        eval(compile(source.strip(), name, "eval"))
        print(name, "->", "no error", flush=True)
    except Exception as error:
        kinds = ",".join(c.__name__ for c in type(error).__mro__)
        print(name, "->", kinds, "|", str(error).replace(chr(10), " "), flush=True)
"""


@pytest.fixture(scope="module")
def bad_input_outcomes():
    cases = {name: source for name, (_, source) in BAD_INPUTS.items()}
    script = f"CASES = {cases!r}\n" + textwrap.dedent(CHILD)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            timeout=120)
    outcomes = dict(line.split(" -> ", 1) for line in result.stdout.splitlines())
    return outcomes, result


@pytest.mark.parametrize("name", BAD_INPUTS)
def test_bad_input_raises_a_clear_exception(name, bad_input_outcomes):
    outcomes, result = bad_input_outcomes
    assert name in outcomes, f"the child died before this case: {result.returncode}\n{result.stderr}"
    kinds, _, message = outcomes[name].partition(" | ")
    assert BAD_INPUTS[name][0] in kinds.split(","), outcomes[name]
    assert len(message) < 300  # no repr of a large argument


def test_messages_say_what_is_wrong():
    with pytest.raises(TypeError, match="not str: encode it first"):
        qelt_corpus.patch_ends("abc", 1, 1.0, 1.0)
    with pytest.raises(TypeError, match="single bytes, not items of format 'i'"):
        qelt_corpus.patch_ends(np.zeros(3, np.int32), 1, 1.0, 1.0)
    with pytest.raises(ValueError, match="C-contiguous"):
        qelt_corpus.patch_ends(np.zeros(8, np.uint8)[::2], 1, 1.0, 1.0)
    with pytest.raises(TypeError, match="binary, large_binary, string or large_string, not int64"):
        qelt_corpus.patch_ends_batch(pa.array([1]), 1, 1.0, 1.0)


# --- The GIL and the buffer export --------------------------------------------------


@pytest.fixture
def slow_input():
    """Random bytes that take the core a good fraction of a second at k = 3."""
    return random.Random(3).randbytes(6 << 20)


@pytest.fixture
def no_forced_switches():
    """Threads change hands only where one lets go of the GIL (a sleep, a release)."""
    previous = sys.getswitchinterval()
    sys.setswitchinterval(100.0)
    yield
    sys.setswitchinterval(previous)


def in_thread_during(call, step):
    """Runs `step` in a loop in another thread, letting go of the GIL between steps,
    while `call` runs; returns call's result and how many steps ran during it."""
    steps = 0
    started, done = threading.Event(), threading.Event()

    def loop():
        nonlocal steps
        started.set()
        while not done.is_set() and step():
            steps += 1
            time.sleep(0)

    thread = threading.Thread(target=loop)
    thread.start()
    try:
        started.wait()
        time.sleep(0.01)
        before = steps
        result = call()
        during = steps - before
    finally:
        done.set()
        thread.join()
    return result, during


def test_other_threads_run_while_patching(slow_input, no_forced_switches):
    _, during = in_thread_during(lambda: qelt_corpus.patch_ends(slow_input, 3, 2.0, 1.0),
                                 lambda: True)
    assert during > 0


def test_buffer_cannot_be_resized_while_it_is_read(slow_input, no_forced_switches):
    data = bytearray(slow_input)
    refused = []

    def resize():
        # Grows and shrinks back within one hold of the GIL: the caller never sees it.
        try:
            data.extend(b"x")
            del data[-1]
            return True
        except BufferError:
            refused.append(True)
            return False

    expected = qelt_corpus.patch_ends(slow_input, 3, 2.0, 1.0)
    ends, _ = in_thread_during(lambda: qelt_corpus.patch_ends(data, 3, 2.0, 1.0), resize)
    assert refused and np.array_equal(ends, expected)


# --- Arrow from other libraries ---------------------------------------------------------------


def test_arrow_from_polars_duckdb_and_nanoarrow(real_text):
    pl = pytest.importorskip("polars")
    duckdb = pytest.importorskip("duckdb")
    nanoarrow = pytest.importorskip("nanoarrow")
    texts = [real_text[i:i + 700].decode("utf-8", "replace") for i in range(0, 7000, 700)]
    texts[3], texts[5] = "", None
    expected = qelt_corpus.patch_ends_batch(pa.array(texts), 3, 2.0, 1.0).to_pylist()
    series = pl.Series(texts)  # strings arrive as string_view: converted
    from_polars = qelt_corpus.patch_ends_batch(series, 3, 2.0, 1.0)
    assert isinstance(from_polars, pa.ChunkedArray) and from_polars.to_pylist() == expected
    docs = pa.table({"text": texts})  # noqa: F841 - read by DuckDB's replacement scan
    from_duckdb = qelt_corpus.patch_ends_batch(duckdb.sql("select text from docs"), 3, 2.0, 1.0)
    assert from_duckdb.to_pylist() == expected
    from_nanoarrow = qelt_corpus.patch_ends_batch(nanoarrow.c_array(texts, nanoarrow.string()),
                                                  3, 2.0, 1.0)
    assert isinstance(from_nanoarrow, pa.ListArray) and from_nanoarrow.to_pylist() == expected
    with pytest.raises(TypeError, match=r"one column, not 2 \(text, n\)"):
        qelt_corpus.patch_ends_batch(duckdb.sql("select text, 1 as n from docs"), 3, 2.0, 1.0)
    model = ContextModel.train(series, 3)
    assert model == ContextModel.train(pa.array(texts), 3)
    assert model.patch_ends_batch(series, 2.0, 1.0).to_pylist() == \
        model.patch_ends_batch(pa.array(texts), 2.0, 1.0).to_pylist()
    counts = ContextCounts(3)
    counts.add_batch(duckdb.sql("select text from docs"))
    assert counts.to_model() == model


def test_arrow_capsules_of_plain_layouts_are_read_without_a_copy():
    from qelt_corpus import _arrow

    array = pa.array([b"abc", b"defg"], pa.binary())

    class Exported:  # an object of another library that only exports the capsule
        def __arrow_c_array__(self, requested_schema=None):
            return array.__arrow_c_array__(requested_schema)

    imported = _arrow.as_pyarrow(Exported())
    assert imported.buffers()[2].address == array.buffers()[2].address
