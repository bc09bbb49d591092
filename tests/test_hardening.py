"""The module survives what callers can throw at it: memory running out, hostile
sequences and elements, extreme arguments, repeated failing calls and threads."""

import os
import random
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import qelt
import reference

SANITIZED = os.environ.get("QELT_SANITIZED") == "1"
needs_plain_build = pytest.mark.skipif(
    SANITIZED, reason="AddressSanitizer reserves terabytes of address space and quarantines "
    "freed memory, so address-space caps and resident-memory checks do not apply")


def run_python(code: str) -> str:
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                            text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    return result.stdout


CAP = """
    import resource
    import qelt

    def kib(field):
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith(field):
                    return int(line.split()[1])

    def cap(extra_mib):
        limit = (kib("VmSize:") + extra_mib * 1024) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (limit, resource.RLIM_INFINITY))

    def uncap():
        resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
"""


@needs_plain_build
@pytest.mark.parametrize("make", ["bytearray", "list"])
def test_patch_sequence_runs_out_of_memory_cleanly(make):
    out = run_python(CAP + f"""
    import random
    data = {make}(random.Random(0).randbytes(8 << 20))
    cap(48)
    rss = []
    for attempt in range(20):
        try:
            qelt.patch_sequence(data, 4, 2.0, 1.0)
            print("no error")
        except MemoryError:
            rss.append(kib("VmRSS:"))
    print("MemoryError", len(rss), rss[-1] - rss[0] < 4096)
    print(qelt.patch_sequence([1, 2, 1, 3], 1, 0.5, 10.0))
    uncap()
    print(len(qelt.patch_sequence(data[:100000], 4, 2.0, 1.0)) > 0)
    """)
    assert out.split("\n") == ["MemoryError 20 True", "[[1, 2], [1, 3]]", "True", ""]


@needs_plain_build
def test_result_too_large_for_memory():
    # The patching fits, the million one-byte lists of its result do not.
    out = run_python(CAP + """
    data = bytearray(range(256)) * 8192
    cap(24)
    try:
        qelt.patch_sequence(data, 0, -1.0, 0.0)
        print("no error")
    except MemoryError:
        print("MemoryError")
    uncap()
    print(len(qelt.patch_sequence(data, 0, -1.0, 0.0)))
    """)
    assert out.split() == ["MemoryError", str(256 * 8192)]


def de_bruijn(alphabet: int, n: int) -> bytes:
    """A cyclic sequence in which every n-byte string over the alphabet occurs once."""
    a, out = [0] * alphabet * n, []

    def db(t, p):
        if t > n:
            if n % p == 0:
                out.extend(a[1 : p + 1])
        else:
            a[t] = a[t - p]
            db(t + 1, p)
            for j in range(a[t - p] + 1, alphabet):
                a[t] = j
                db(t + 1, t)

    db(1, 1)
    return bytes(out)


@needs_plain_build
def test_interrupted_add_sequence_stays_consistent(tmp_path):
    # Every trigram of this sequence is distinct, so after an interruption the
    # counted ones are a prefix, each with frequency 1 / total.
    sequence = de_bruijn(64, 3)[: 64**3 - 2]
    path = tmp_path / "sequence.bin"
    path.write_bytes(sequence)
    out = run_python(CAP + f"""
    sequence = open({str(path)!r}, "rb").read()
    t = qelt.FrequencyTable()
    cap(4)
    try:
        t.add_sequence(sequence)
        print("no error")
    except MemoryError:
        print("MemoryError")
    uncap()
    grams = [sequence[i : i + 3] for i in range(len(sequence) - 2)]
    frequencies = [t.get_frequency(g) for g in grams]
    counted = sum(1 for f in frequencies if f)
    print(counted > 0, counted < len(grams))
    print(all(f == 1 / counted for f in frequencies[:counted]), not any(frequencies[counted:]))
    t.add_sequence(b"zzzz")
    print(t.get_frequency(b"zzz") == 2 / (counted + 2))
    """)
    assert out.split("\n") == ["MemoryError", "True True", "True True", "True", ""]


@needs_plain_build
def test_thousands_of_calls_keep_memory_flat():
    out = run_python("""
    import qelt

    def rss():
        with open("/proc/self/status") as status:
            return next(int(l.split()[1]) for l in status if l.startswith("VmRSS:"))

    data = list(b"the cat sat on the mat " * 40)
    def calls():
        qelt.patch_sequence(data, 2, 1.0, 0.5)
        qelt.patch_sequence(bytearray(data), 9, 1.0, 0.5)
        qelt.patch_sequence(tuple(data), -1, 1.0, 0.5)
        for bad in ((b"x", 1, 1.0, 1.0), ([256], 1, 1.0, 1.0), ([1], 1.5, 1.0, 1.0)):
            try:
                qelt.patch_sequence(*bad)
            except TypeError:
                pass
        t = qelt.FrequencyTable()
        t.add_sequence("héllo wörld " * 20)
        t.get_frequency("llo")
        t.clear()
        try:
            t.add_sequence("\\ud800")
        except TypeError:
            pass
        p = qelt.Patcher()
        p.patch_sequence("abc" * 100, [1, 2, 3])
        p.get_patched_sequence()
        p.patch_sequence(b"\\xff" * 300, [])
        try:
            p.get_patched_sequence()
        except UnicodeDecodeError:
            pass
        try:
            p.patch_sequence("abc", [2**40])
        except TypeError:
            pass
        p.reset()

    for _ in range(500):
        calls()
    before = rss()
    for _ in range(5000):
        calls()
    print(rss() - before)
    """)
    assert int(out) < 2048, f"resident memory grew by {out.strip()} KiB"


class LyingLength:
    def __len__(self):
        return 10

    def __getitem__(self, i):
        if i >= 3:
            raise IndexError(i)
        return 97


class IndexRaises:
    def __index__(self):
        raise ValueError("from __index__")


def test_sequence_whose_length_lies():
    with pytest.raises(IndexError):
        qelt.patch_sequence(LyingLength(), 0, 0.5, 0.5)


def test_element_whose_index_raises_is_refused():
    with pytest.raises(TypeError, match="incompatible function arguments"):
        qelt.patch_sequence([97, IndexRaises()], 0, 0.5, 0.5)


def test_list_mutated_while_converted():
    data = list(range(50))

    class Shrinks:
        def __init__(self, value):
            self.value = value

        def __index__(self):
            data.clear()
            return self.value

    data.append(Shrinks(7))
    data.insert(0, Shrinks(5))
    # The first element empties the list under the conversion: an error, no crash.
    with pytest.raises((IndexError, TypeError)):
        qelt.patch_sequence(data, 1, 0.5, 0.5)


@pytest.mark.parametrize("k", [-(2**31), -1, 2**31 - 1])
def test_extreme_k_on_real_input(k, real_text):
    assert qelt.patch_sequence(bytearray(real_text), k, -1.0, -1.0) == [list(real_text)]


def test_single_context_and_all_distinct_contexts():
    same = bytearray(b"a") * 300_000
    assert qelt.patch_sequence(same, 5, 0.0, 0.0) == [list(same)]
    assert len(qelt.patch_sequence(same, 5, -0.5, 1.0)) == 300_000 - 5
    distinct = bytearray(random.Random(0).randbytes(300_000))
    patches = qelt.patch_sequence(distinct, 6, 0.0, 0.0)  # every context seen once: H = 0
    assert patches == [list(distinct)]


def test_calls_hold_the_gil_throughout():
    # With no forced switches, another thread could run during a call only if the call
    # let go of the GIL.
    previous = sys.getswitchinterval()
    sys.setswitchinterval(100.0)
    data = bytearray(random.Random(2).randbytes(1 << 23))
    steps = 0
    started, done = threading.Event(), threading.Event()

    def count():
        nonlocal steps
        started.set()
        while not done.is_set():
            steps += 1
            time.sleep(0)

    counter = threading.Thread(target=count)
    try:
        counter.start()
        started.wait()
        time.sleep(0.01)
        before = steps
        qelt.patch_sequence(data, 3, 2.0, 1.0)
        during = steps - before
    finally:
        done.set()
        sys.setswitchinterval(previous)
        counter.join()
    assert during == 0


def test_threads_with_separate_objects():
    rng = random.Random(1)
    inputs = [[rng.randrange(4) for _ in range(3000)] for _ in range(8)]
    expected = [reference.patch_sequence(d, 2, 1.0, 0.5) for d in inputs]
    failures = []

    def work(i):
        table, patcher = qelt.FrequencyTable(), qelt.Patcher()
        for _ in range(20):
            if qelt.patch_sequence(inputs[i], 2, 1.0, 0.5) != expected[i]:
                failures.append(("patch", i))
            table.add_sequence(bytes(inputs[i]))
            patcher.patch_sequence(bytes(inputs[i]), [])
            if patcher.get_patched_sequence().encode() != bytes(inputs[i]):
                failures.append(("patcher", i))
        gram = bytes(inputs[i][:3])
        count = sum(bytes(inputs[i][j : j + 3]) == gram for j in range(len(inputs[i]) - 2))
        if table.get_frequency(gram) != count / (len(inputs[i]) - 2):
            failures.append(("table", i))

    threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []
