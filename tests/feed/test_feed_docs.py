"""Every ```python example of docs/reader.md runs as written, in order, from
the repository's root (they share one namespace, as a reader would type them)."""

import os
import re
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]


def test_reader_examples_run(capsys):
    text = (ROOT / "docs" / "reader.md").read_text()
    blocks = re.findall(r"```python\n(.*?)```", text, flags=re.S)
    assert len(blocks) >= 8
    namespace: dict = {}
    here = os.getcwd()
    os.chdir(ROOT)
    try:
        for block in blocks:
            exec(compile(block, "docs/reader.md", "exec"), namespace)
    finally:
        os.chdir(here)
    assert "{'H': 1, 'D': 2, 'T': 1}" in capsys.readouterr().out
