"""The errors of qelt_corpus that callers catch by name."""

from __future__ import annotations

REASONS = ("foreign", "version", "truncated", "checksum", "layout")


class ModelFormatError(ValueError):
    """Bytes given as a model file, or as pickled context counts, are not one.

    Attributes:
        reason: What is wrong, as one word: ``"foreign"`` (another kind of file),
            ``"version"`` (a version this build does not read), ``"truncated"`` (cut
            short, or empty), ``"checksum"`` (corrupted) or ``"layout"`` (a field or
            table that no writer writes).
        path: The path or URL the bytes were read from, as given; ``None`` for bytes
            that came from no file (an image or a pickle).

    A ``ValueError``, so code that caught those before goes on catching it.
    """

    def __init__(self, message: str, reason: str, path: str | None = None) -> None:
        super().__init__(message)
        if reason not in REASONS:
            raise ValueError(f"unknown reason {reason!r}")
        self.reason = reason
        self.path = path

    def __str__(self) -> str:
        message = super().__str__()
        return message if self.path is None else f"{self.path}: {message}"

    def __reduce__(self) -> tuple[type[ModelFormatError], tuple[str, str, str | None]]:
        return type(self), (self.args[0], self.reason, self.path)
