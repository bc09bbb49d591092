"""Usage errors and the exit statuses of the command."""

from __future__ import annotations

EXIT_OK = 0  # done
EXIT_UNREADABLE = 1  # done, but some input was unreadable or some work failed
EXIT_USAGE = 2  # the command line is wrong; found before any work starts
EXIT_INTERRUPTED = 130  # stopped by Ctrl-C (128 + SIGINT)


class UsageError(Exception):
    """A problem with the command line, found before any work starts: reported as one
    line, with exit status 2."""


def error_line(command: str | None, message: str) -> str:
    """Every error line of the command in one form: ``qelt-corpus COMMAND: what``, or
    ``qelt-corpus: what`` before a subcommand is known. A message that already names
    the command (as the parser's do) is not named twice."""
    head = f"qelt-corpus {command}" if command else "qelt-corpus"
    for prefix in (f"{head}: ", "qelt-corpus: ", f"{command}: " if command else None):
        if prefix and message.startswith(prefix):
            message = message[len(prefix):]
    return f"{head}: {message}"
