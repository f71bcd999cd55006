"""Every Python block of the README runs as written, in order, each going on from the names the
earlier ones define; the quick start gives sane logical error rates."""

import pathlib
import re

ROOT = pathlib.Path(__file__).resolve().parent.parent


def test_every_python_block_runs(tmp_path, monkeypatch, capsys):
    readme = (ROOT / "README.md").read_text()
    blocks = re.findall(r"```python\n(.*?)```", readme, re.S)
    assert len(blocks) >= 5
    monkeypatch.chdir(tmp_path)
    namespace = {}
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
