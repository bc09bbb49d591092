"""An S3-compatible server for tests and benchmarks: moto_server on a free port of
127.0.0.1, started and stopped by whoever needs it."""

from __future__ import annotations

import contextlib
import pathlib
import shutil
import signal
import socket
import subprocess
import sys
import time
from typing import Iterator


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@contextlib.contextmanager
def running(secret: str) -> Iterator[tuple[subprocess.Popen, dict[str, str]]]:
    """The server's process, and the environment that points the clients at it (with
    `secret` as the secret key)."""
    executable = shutil.which("moto_server") or str(pathlib.Path(sys.executable).with_name(
        "moto_server"))
    port = free_port()
    process = subprocess.Popen([executable, "-H", "127.0.0.1", "-p", str(port)],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    environ = {"AWS_ACCESS_KEY_ID": "testing", "AWS_SECRET_ACCESS_KEY": secret,
               "AWS_ENDPOINT_URL": f"http://127.0.0.1:{port}", "AWS_DEFAULT_REGION": "us-east-1"}
    try:
        deadline = time.monotonic() + 30
        while True:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                break
            except OSError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.1)
        yield process, environ
    finally:
        process.send_signal(signal.SIGCONT)  # a test may have left it stopped
        process.terminate()
        process.wait(timeout=30)
