"""The README's usage example runs as written, yields a record of the documented shape and prints
the line the README says it prints."""

import pathlib

import numpy as np

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"


def test_usage_example_runs(capsys):
    text = README.read_text()
    start = text.index("```python") + len("```python")
    code = text[start : text.index("```", start)]
    namespace = {}
    exec(compile(code, str(README), "exec"), namespace)
    acc = namespace["acc"]
    assert acc.dtype == np.float32
    assert acc.shape == (3, 1, 4000)
    assert np.isfinite(acc).all() and np.abs(acc).max() > 0

    # The output the README shows is the block after "It prints".
    shown = text.index("```", text.index("It prints", start)) + len("```")
    assert capsys.readouterr().out == text[shown : text.index("```", shown)].lstrip("\n")
