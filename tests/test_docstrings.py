"""The examples in the docstrings of qelt_corpus run as shown."""

import doctest
import importlib

import pytest

MODULES = ["qelt_corpus", "qelt_corpus._patching", "qelt_corpus._model", "qelt_corpus._stream",
           "qelt_corpus._packed"]


@pytest.mark.parametrize("name", MODULES)
def test_docstring_examples(name):
    result = doctest.testmod(importlib.import_module(name), optionflags=doctest.ELLIPSIS)
    assert result.failed == 0
