"""The README's examples run as written."""

import re
from pathlib import Path

import pytest

README = (Path(__file__).resolve().parents[2] / "README.md").read_text()
EXAMPLES = re.findall(r"```python\n(.*?)```", README, re.S)


@pytest.mark.parametrize("source", EXAMPLES, ids=[f"example-{i}" for i in range(len(EXAMPLES))])
def test_readme_example_runs(source):
    exec(compile(source, "README.md", "exec"), {})
