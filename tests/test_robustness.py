"""Faults that must reach Python as exceptions: nothing a caller passes may abort, crash or
exhaust the interpreter. Each case runs in a child interpreter, so a crash fails one test
instead of ending the run."""

import subprocess
import sys
import textwrap

import pytest


def run_child(body, timeout=60):
    """Runs `body` in a fresh interpreter; returns (exit code, stdout, stderr)."""
    code = "import _kelvane\nDEM = _kelvane.DetectorErrorModel\n" + textwrap.dedent(body)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=timeout)
    return done.returncode, done.stdout, done.stderr


def test_allocation_failure_becomes_a_memory_error_naming_what_was_built():
    # An address-space limit makes the graph's node list fail to allocate inside C++.
    code, out, err = run_child(
        """
        import resource
        m = DEM.parse('error(0.1) D4000000')
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        with open('/proc/self/statm') as f:
            used = int(f.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (used + (48 << 20), hard))
        try:
            m.to_graph()
        except MemoryError as e:
            print('MemoryError:', e)
        """
    )
    assert code == 0, err
    assert out.strip() == "MemoryError: out of memory while building the decoding graph (DetectorErrorModel.to_graph)"


DEVICE = "refusing to read a DEM from a character device: it is not a regular file and may never end"


def test_dem_files_are_read_with_bounds(tmp_path):
    # Endless devices are refused before reading; a directory keeps the OS's error. Both
    # entry points that read a path share the reader.
    cases = [("/dev/zero", DEVICE), ("/dev/urandom", DEVICE), (str(tmp_path), "Is a directory (os error 21)")]
    code, out, err = run_child(
        f"""
        import pathlib
        for path, _ in {cases!r}:
            for read in (DEM.from_file, _kelvane.SpacetimeGraph.from_detector_error_model):
                try:
                    read(pathlib.Path(path))
                    print('no error')
                except OSError as e:
                    print(e)
        """,
        timeout=20,
    )
    assert code == 0, err
    assert out.splitlines() == [message for _, message in cases for _ in range(2)]
