import pathlib

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent


@pytest.fixture(scope="session")
def real_text() -> bytes:
    """Real text: the sample shipped with the examples and the project's own sources."""
    parts = [ROOT / "examples" / "sample.txt", *sorted((ROOT / "core").glob("*.cc"))]
    return b"".join(p.read_bytes() for p in parts)
