"""Shared helpers: acquisitions written by the fixture tool, exact float helpers.

The tests run against the module found on sys.path (ctest sets PYTHONPATH to the build's
module folder) and write acquisitions with `corvane-fixture`, named by CORVANE_FIXTURE.
"""
import itertools
import json
import math
import os
import struct
import subprocess

import pytest

STRIDE = 284          # the fixture's default record layout
PAYLOAD_OFFSET = 92   # the fixture's default start of the record area
RT_FIELD = 12         # retention time (minutes, f64) within a record

HAS_NOTES = hasattr(BaseException, "add_note")


def fixture_tool():
    tool = os.environ.get("CORVANE_FIXTURE")
    if not tool or not os.access(tool, os.X_OK):
        pytest.fail("CORVANE_FIXTURE must name the corvane-fixture executable (ctest sets it)")
    return tool


def write_acquisition(path, description):
    proc = subprocess.run([fixture_tool(), str(path)], input=json.dumps(description).encode(),
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert proc.returncode == 0, proc.stderr.decode()
    return str(path)


@pytest.fixture
def acquisition(tmp_path):
    """acquisition(description, name=None) -> path of a new acquisition directory."""
    counter = itertools.count()

    def make(description, name=None):
        return write_acquisition(tmp_path / (name or "run%d.d" % next(counter)), description)

    return make


def set_retention_minutes(path, index, minutes, stride=STRIDE, payload_offset=PAYLOAD_OFFSET):
    """Overwrites scan index's retention time of record `index` (JSON has no NaN or inf)."""
    name = os.path.join(path, "AcqData", "MSScan.bin")
    with open(name, "r+b") as f:
        f.seek(payload_offset + index * stride + RT_FIELD)
        f.write(struct.pack("<d", minutes))


def bits64(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def minutes_for(seconds):
    """A double m with m * 60.0 == seconds bit for bit (the reader multiplies by 60.0)."""
    if math.isnan(seconds) or math.isinf(seconds) or seconds == 0.0:
        return seconds  # zeros keep their sign through the multiplication
    m = seconds / 60.0
    for _ in range(8):
        m = math.nextafter(m, -math.inf)
    for _ in range(17):
        if bits64(m * 60.0) == bits64(seconds):
            return m
        m = math.nextafter(m, math.inf)
    raise AssertionError("no minutes value gives %r seconds" % seconds)


def widen_f32(bits):
    """The double that a 32-bit float with these bits widens to, in integer arithmetic."""
    sign, exponent, mantissa = bits >> 31, (bits >> 23) & 0xFF, bits & 0x7FFFFF
    if exponent == 0xFF:          # inf and NaN keep their payload, shifted up
        e64 = 0x7FF
    elif exponent == 0:
        if mantissa == 0:
            e64 = 0
        else:                      # subnormal: normalise
            shift = 0
            while not mantissa & 0x800000:
                mantissa <<= 1
                shift += 1
            mantissa &= 0x7FFFFF
            e64 = 1023 - 126 - shift
    else:
        e64 = exponent - 127 + 1023
    return struct.unpack("<d", struct.pack("<Q", sign << 63 | e64 << 52 | mantissa << 29))[0]


def nearest_f32_of_u32(value):
    """An unsigned 32-bit integer rounded to the nearest 32-bit float (ties to even)."""
    if value < 1 << 24:
        return float(value)
    shift = value.bit_length() - 24
    q, r = divmod(value, 1 << shift)
    half = 1 << (shift - 1)
    if r > half or (r == half and q & 1):
        q += 1
    return float(q << shift)


def check_note(exc, name):
    """The conversion note, where the interpreter has notes (3.11+); none before."""
    if HAS_NOTES:
        assert exc.__notes__ == ["while processing '%s'" % name]
    else:
        assert not hasattr(exc, "__notes__")
