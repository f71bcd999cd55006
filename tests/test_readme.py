"""Every Python block of the README runs as written, in order, each going on from the names the
earlier ones define; the quick start gives sane logical error rates; the sinter block also runs
as a script of its own (its worker processes import the script again)."""

import os
import pathlib
import re
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent


def python_blocks():
    return re.findall(r"```python\n(.*?)```", (ROOT / "README.md").read_text(), re.S)


def test_every_python_block_runs(tmp_path, monkeypatch, capsys):
    blocks = python_blocks()
    assert len(blocks) >= 5
    monkeypatch.chdir(tmp_path)
    namespace = {"__name__": "__main__"}  # as a script runs them
    for i, code in enumerate(blocks):
        exec(compile(code, f"README.md python block {i + 1}", "exec"), namespace)
        if i == 0:  # the quick start
            assert namespace["batch"].detector_events.shape == (11999, 4)
            assert namespace["predictions"].shape == (2000, 1)
            # d=5 repetition code at p=0.03: about 1% logical errors, far from the 13% a wrong window gives.
            assert 0 < namespace["streamed_ler"] < 0.03 and 0 < namespace["batch_ler"] < 0.03
            assert "logical error rate: streamed" in capsys.readouterr().out
    assert {s.decoder for s in namespace["stats"]} == {"kelvane-uf", "pymatching"}
    assert (namespace["predictions"] == namespace["graph"].decode_batch(namespace["detection_events"])).all()


def test_sinter_block_runs_as_a_script(tmp_path):
    """Run as ``python script.py``: sinter's workers re-import the script, which must not start
    workers again (without its ``__main__`` guard the run never ends)."""
    (block,) = [b for b in python_blocks() if "sinter.collect" in b]
    script = tmp_path / "sinter_readme.py"
    script.write_text(block)
    path = os.pathsep.join(p for p in sys.path if p)
    result = subprocess.run([sys.executable, str(script)], cwd=tmp_path, capture_output=True, text=True,
                            timeout=600, env=dict(os.environ, PYTHONPATH=path))
    assert result.returncode == 0, result.stderr
    assert "kelvane-uf" in result.stdout and "pymatching" in result.stdout
