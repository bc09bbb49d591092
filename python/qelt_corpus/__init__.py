"""Entropy patching for corpora: patch ends as NumPy and Arrow arrays.

The companion of the ``qelt`` module for data pipelines. Where ``qelt.patch_sequence``
returns lists of lists, these functions return the end offset of every patch, read
their input in place and release the GIL while they work:

- :func:`patch_ends` for one buffer of bytes, :func:`patch_ends_batch` for an Arrow
  array of documents, each patched with a model trained on itself (exactly as
  ``qelt.patch_sequence`` patches it);
- :class:`ContextModel`, a model trained once on a corpus (through
  :class:`ContextCounts`, which merge across workers), saved to a file, and used to
  patch every document alike, whatever its length;
- :class:`PackedDataset`, the packed shards of ``qelt-corpus pack``, read as
  documents or as fixed-length sequences with the starts of their patches.

Example:
    >>> import qelt_corpus
    >>> qelt_corpus.patch_ends(b"abcabd", k=2, theta=0.5, theta_r=10.0)
    array([3, 6])
"""

import typing

if typing.TYPE_CHECKING:
    # Re-exported (the "as" form, for type checkers).
    from ._errors import ModelFormatError as ModelFormatError
    from ._model import Calibration as Calibration
    from ._model import ContextCounts as ContextCounts
    from ._model import ContextModel as ContextModel
    from ._model import Evaluation as Evaluation
    from ._packed import PackedDataset as PackedDataset
    from ._packed import SequenceStream as SequenceStream
    from ._patching import patch_ends as patch_ends
    from ._patching import patch_ends_batch as patch_ends_batch
    from ._patching import patch_ends_from_entropies as patch_ends_from_entropies
    from ._patching import patch_ends_from_entropies_batch as patch_ends_from_entropies_batch
    from ._reading import Reading as Reading
    from ._show import PatchView as PatchView
    from ._show import show as show
    from ._stream import PatchStream as PatchStream

# Where each name is defined. They are imported on first use, so that the command
# (qelt_corpus.cli) starts at once and can honour Ctrl-C from its first moment.
_DEFINED_IN = {
    "patch_ends": "_patching", "patch_ends_batch": "_patching", "ModelFormatError": "_errors",
    "patch_ends_from_entropies": "_patching", "patch_ends_from_entropies_batch": "_patching",
    "Calibration": "_model", "ContextCounts": "_model", "ContextModel": "_model",
    "Evaluation": "_model",
    "PackedDataset": "_packed", "PatchStream": "_stream", "Reading": "_reading",
    "SequenceStream": "_packed", "PatchView": "_show", "show": "_show",
}

__all__ = sorted(_DEFINED_IN)

del typing


def __getattr__(name: str) -> object:
    if name not in _DEFINED_IN:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    import importlib

    value = getattr(importlib.import_module(f"{__name__}.{_DEFINED_IN[name]}"), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return list(__all__)
