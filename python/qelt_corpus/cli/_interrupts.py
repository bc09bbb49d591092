"""Ctrl-C, honoured wherever it lands.

Python turns SIGINT into KeyboardInterrupt at whatever line the main thread happens to
run, and code that clears every exception on its way (a C extension probing for an
attribute, a library's bare except) can drop it there: the run would go on to the end
as if the key had never been pressed. So the command's handler also records that it
was pressed, and the command looks at that record between its steps (`check`): an
interrupt dropped on the way is still honoured, a step later. The interpreter drops
one itself where it lands in a finalizer (``__del__``, a weak reference's callback,
run whenever garbage is collected), and prints it with its traceback: that one is
dropped quietly, since the record has it.
"""

from __future__ import annotations

import contextlib
import signal
import sys
from typing import Any, Iterator

_received = False


def install() -> None:
    """From now on, Ctrl-C is recorded and raised as KeyboardInterrupt. Main thread only."""
    signal.signal(signal.SIGINT, _record_and_raise)
    sys.unraisablehook = _unraisable


def _unraisable(unraisable: Any) -> None:
    if isinstance(unraisable.exc_value, KeyboardInterrupt) and _received:
        return  # recorded, and honoured at the next check
    sys.__unraisablehook__(unraisable)


def ignore_from_now_on() -> None:
    """Ctrl-C is ignored from now on, when what remains is the interpreter's shutdown.

    An interrupt that ended the execution of source text (exec or eval of a string, as
    making a dataclass or a namedtuple does) is taken by CPython for one that ended the
    program, even if it was caught and dealt with, and a program run as ``python -m``
    would then end itself by SIGINT at exit, whatever status it exits with. Executing
    source text clears that mark."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    exec("")


def received() -> bool:
    """Whether Ctrl-C was pressed since `install` (or within `held`)."""
    return _received


def check() -> None:
    """Raises KeyboardInterrupt if Ctrl-C was pressed, even if the KeyboardInterrupt it
    raised then was lost."""
    if _received:
        raise KeyboardInterrupt


@contextlib.contextmanager
def held() -> Iterator[None]:
    """Within this block Ctrl-C is only recorded (`check` raises it afterwards), and it
    is blocked in this thread, in the threads started from it and in the processes they
    start: a process spawned within the block begins with it blocked, and so cannot be
    killed by it before it has set a disposition of its own. Main thread only."""
    previous = signal.signal(signal.SIGINT, _record)
    mask = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        yield
    finally:
        # Unblocking delivers an interrupt pressed meanwhile: to _record, still in place.
        signal.pthread_sigmask(signal.SIG_SETMASK, mask)
        signal.signal(signal.SIGINT, previous)


def _record(number: int, frame: Any) -> None:
    global _received
    _received = True


def _record_and_raise(number: int, frame: Any) -> None:
    _record(number, frame)
    raise KeyboardInterrupt
