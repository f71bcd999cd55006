"""The README's quick start runs as written and gives sane logical error rates."""

import pathlib
import re

ROOT = pathlib.Path(__file__).resolve().parent.parent


def test_quick_start_runs(tmp_path, monkeypatch, capsys):
    readme = (ROOT / "README.md").read_text()
    section = readme.split("## Quick start", 1)[1]
    code = re.search(r"```python\n(.*?)```", section, re.S).group(1)
    monkeypatch.chdir(tmp_path)
    namespace = {}
    exec(compile(code, "README.md quick start", "exec"), namespace)
    assert namespace["batch"].detector_events.shape == (11999, 4)
    assert namespace["predictions"].shape == (2000, 1)
    # d=5 repetition code at p=0.03: about 1% logical errors, far from the 13% a wrong window gives.
    assert 0 < namespace["streamed_ler"] < 0.03 and 0 < namespace["batch_ler"] < 0.03
    assert "logical error rate: streamed" in capsys.readouterr().out
