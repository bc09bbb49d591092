"""The examples in the README show real output."""

import doctest
import pathlib
import re

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


def test_readme_examples_run_as_shown():
    blocks = re.findall(r"```python\n(.*?)```", README.read_text(), re.S)
    assert blocks
    parser, runner = doctest.DocTestParser(), doctest.DocTestRunner()
    for number, block in enumerate(blocks):
        runner.run(parser.get_doctest(block, {}, f"README block {number}", str(README), 0))
    assert runner.summarize(verbose=False).failed == 0
