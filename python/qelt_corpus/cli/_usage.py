"""Usage errors and the exit statuses of the command."""

from __future__ import annotations

EXIT_OK = 0  # done
EXIT_UNREADABLE = 1  # done, but some input was unreadable or some work failed
EXIT_USAGE = 2  # the command line is wrong; found before any work starts
EXIT_INTERRUPTED = 130  # stopped by Ctrl-C (128 + SIGINT)


class UsageError(Exception):
    """A problem with the command line, found before any work starts: reported as one
    line, with exit status 2."""
