"""docs/kvlx-format.md: its worked example is what our writer produces and our reader reads."""

import pathlib
import re

from _kelvane import KelvaneStream
from kelvane.kvlx import encode_file_header, encode_frame

DOC = pathlib.Path(__file__).resolve().parent.parent / "docs" / "kvlx-format.md"


def test_worked_example_bytes_are_the_writers_and_read_back(tmp_path):
    (block,) = re.findall(r"```hex\n(.*?)```", DOC.read_text(), re.S)
    data = bytes(int(b, 16) for line in block.splitlines() for b in line.split()[1:])
    written = encode_file_header(bytes(range(16))) + encode_frame(
        frame_id=1, round=0, timestamp_ns=1000, qubit_count=9, code_type=1, distance=3,
        detector_events=[0, 1, 1, 0], meas_results=[1, -1, -1, 1], observable_flips=1,
    )
    assert data == written
    path = tmp_path / "example.kvlx"
    path.write_bytes(data)
    (frame,) = list(KelvaneStream(str(path)))
    assert repr(frame) == "SyndromeFrame(frame_id=1, round=0, detector_events=2/4)"
    assert frame.observable_flips == 1
    assert frame.to_numpy_detector_events().tolist() == [False, True, True, False]
