"""``python -m qelt_corpus.cli``: the ``qelt-corpus`` command."""

from . import entry

entry()
