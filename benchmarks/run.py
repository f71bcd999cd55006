"""The benchmark suite (the same as ``python -m kelvane bench``).

    PYTHONPATH=build/release/python:python python3 benchmarks/run.py [--smoke] [--json bench.json]
"""

import sys

from kelvane.cli import main

if __name__ == "__main__":
    sys.exit(main(["bench", *sys.argv[1:]]))
