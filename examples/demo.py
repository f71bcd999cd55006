"""The main job (run by scripts/demo.sh): the same run as ``python -m kelvane demo``.

See kelvane/demo.py: a d=5 rotated surface-code memory experiment sampled with Stim, written as
KVLX frames, streamed back with per-shot decoding and scored next to PyMatching.
"""

import sys

from kelvane.demo import SHOTS, main

if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else SHOTS)
