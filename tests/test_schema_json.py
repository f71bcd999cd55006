"""Schema JSON: random schemas written by the C++ writer, read back with Python's json module."""

import json
import math
import os
import pathlib
import subprocess

import numpy as np
import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
BUILD_DIR = pathlib.Path(os.environ.get("KELVANE_BUILD_DIR", ROOT / "build" / "release"))
if not BUILD_DIR.is_absolute():
    BUILD_DIR = ROOT / BUILD_DIR

FLOAT_MEMBERS = {"measurement_cycle_us": (np.float32, -6, 12), "encoding_rate": (np.float64, -5, 15)}


def samples(seed, count):
    tool = BUILD_DIR / "schema_json_samples"
    if not tool.exists():
        # The test command names the build explicitly; there a missing tool is a failure.
        if "KELVANE_BUILD_DIR" in os.environ:
            pytest.fail(f"{tool} is absent from KELVANE_BUILD_DIR")
        pytest.skip(f"sample writer not built: {tool} is absent (set KELVANE_BUILD_DIR)")
    out = subprocess.run([str(tool), str(seed), str(count)], check=True, capture_output=True).stdout.decode("utf-8")
    for chunk in out.split("=== json\n")[1:]:
        text, fields = chunk.split("\n=== fields\n")
        yield text, [line.split(" ", 1) for line in fields.splitlines()]


def expected_float_text(value, ftype, lo, hi):
    """Shortest round-trip digits in the value's own width (numpy's Dragon4), placed positionally
    for decimal exponents lo..hi and in exponent form outside."""
    if not math.isfinite(value):
        return "null"
    sci = np.format_float_scientific(ftype(value), unique=True, trim="-")
    sign = "-" if sci.startswith("-") else ""
    mantissa, exp = sci.lstrip("-").split("e")
    digits, k = mantissa.replace(".", ""), int(exp)
    if lo <= k <= hi:
        if k >= 0:
            whole = digits[: k + 1].ljust(k + 1, "0")
            frac = digits[k + 1:] or "0"
        else:
            whole, frac = "0", "0" * (-k - 1) + digits
        return f"{sign}{whole}.{frac}"
    head = digits[0] + ("." + digits[1:] if len(digits) > 1 else "")
    return f"{sign}{head}e{'-' if k < 0 else '+'}{abs(k)}"


def expected_document(fields):
    """The member list and the float texts that the fields describe."""
    members, floats = [], {}
    stabilizers = []
    for name, value in fields:
        if name == "stabilizer":
            sid, kind, qubits = value.split(" ")
            stabilizers.append({"id": int(sid), "type": kind,
                                "qubits": [] if qubits == "-" else [int(q) for q in qubits.split(",")]})
            continue
        if name in ("measurement_cycle_us",) and stabilizers is not None:
            members.append(("stabilizers", stabilizers))
            stabilizers = None
        if name == "schema_id":
            h = value
            members.append((name, f"{h[:8]}-{h[8:12]}-{h[12:16]}-{h[16:20]}-{h[20:]}"))
        elif name in ("distance", "qubit_count", "ancilla_count"):
            members.append((name, int(value)))
        elif name in FLOAT_MEMBERS:
            ftype, lo, hi = FLOAT_MEMBERS[name]
            v = math.nan if value == "null" else float.fromhex(value)
            floats[name] = (v, expected_float_text(v, ftype, lo, hi))
            members.append((name, v))
        else:
            members.append((name, bytes.fromhex(value).decode("utf-8")))
    return members, floats


@pytest.mark.parametrize("seed", [1, 2, 3, 4, 5])
def test_random_schemas_parse_back_with_the_same_values(seed):
    for text, fields in samples(seed, 60):
        members, floats = expected_document(fields)
        doc = json.loads(text)  # strict: raw control characters in strings would fail here
        assert list(doc) == [name for name, _ in members]
        for name, value in members:
            if name in floats:
                v, _ = floats[name]
                if math.isfinite(v):
                    ftype = FLOAT_MEMBERS[name][0]
                    assert ftype(doc[name]) == ftype(v), name  # reads back to the same value
                else:
                    assert doc[name] is None
            else:
                assert doc[name] == value, name


@pytest.mark.parametrize("seed", [11, 12, 13])
def test_random_schemas_have_the_exact_layout(seed):
    for text, fields in samples(seed, 60):
        members, floats = expected_document(fields)
        # Python's indent=2 rendering has the same layout and escapes; floats are put in by hand.
        doc = {name: (f"@@{name}@@" if name in floats else value) for name, value in members}
        expected = json.dumps(doc, indent=2, ensure_ascii=False)
        for name, (_, ftext) in floats.items():
            expected = expected.replace(f'"@@{name}@@"', ftext)
        assert text == expected
