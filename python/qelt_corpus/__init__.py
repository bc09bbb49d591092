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

from ._arrays import patch_ends, patch_ends_batch
from ._errors import ModelFormatError
from ._model import ContextCounts, ContextModel
from ._packed import PackedDataset, SequenceStream

__all__ = ["ContextCounts", "ContextModel", "ModelFormatError", "PackedDataset",
           "SequenceStream", "patch_ends", "patch_ends_batch"]
