"""Every ```python block of README.md runs as written.

The blocks run in order in one fresh interpreter, each with the names the blocks before it
defined (as a reader trying them in one session would), in a temporary directory that takes
the files they write. A failure's traceback gives the README's own line numbers.
"""

import re
import subprocess
import sys

import pytest

from conftest import REPO_ROOT

README = REPO_ROOT / "README.md"
BLOCK = re.compile(r"^```python\n(.*?)^```$", re.MULTILINE | re.DOTALL)

RUNNER = """
import sys
namespace = {"__name__": "__main__"}
for line, source in BLOCKS:
    # Padding puts every statement at its line of the README.
    exec(compile("\\n" * line + source, README, "exec"), namespace)
"""


def python_blocks():
    text = README.read_text(encoding="utf-8")
    return [(text.count("\n", 0, m.start(1)), m.group(1)) for m in BLOCK.finditer(text)]


@pytest.mark.slow  # the distributed block starts a local Ray
def test_every_python_block_runs(tmp_path):
    blocks = python_blocks()
    assert len(blocks) >= 4
    script = f"README = {str(README)!r}\nBLOCKS = {blocks!r}\n{RUNNER}"
    done = subprocess.run([sys.executable, "-c", script], cwd=tmp_path, capture_output=True,
                          text=True, timeout=600)
    assert done.returncode == 0, done.stderr[-4000:]
