"""End to end: acquisitions written by the fixture tool, read back through the module."""
import errno
import gc
import math
import os
import random
import struct
import subprocess
import sys
import threading

import pytest

import corvane
from conftest import (bits64, minutes_for, nearest_f32_of_u32, set_retention_minutes,
                      widen_f32)

# Doubles that survive no sloppy copy: signed zero, subnormals, extremes, inexact decimals.
MZ_VALUES = [0.1, -0.0, 5e-324, 2.2250738585072014e-308, 1.7976931348623157e308, 123.45,
             -1.5, 1e-300, 99999.99999999999]
# 32-bit patterns: 0.1, smallest subnormal, largest finite, -0.0, +-inf, quiet NaN,
# negative NaN, -pi, 1.0.
INTENSITY_BITS = [0x3DCCCCCD, 0x00000001, 0x7F7FFFFF, 0x80000000, 0x7F800000, 0xFF800000,
                  0x7FC00000, 0xFFC00001, 0xC0490FDB, 0x3F800000]


def read_all(path):
    reader = corvane.RawReader(path)
    return [reader.read_spectrum(i) for i in range(reader.scan_count)]


def assert_same_bits(got, expected):
    assert [bits64(x) for x in got] == [bits64(x) for x in expected]


@pytest.mark.parametrize("stride", [186, 196, 216, 220, 284])
def test_interleaved_peaks_bit_for_bit(acquisition, stride):
    n = len(INTENSITY_BITS)
    mz = (MZ_VALUES * 2)[:n]
    path = acquisition({"stride": stride, "scans": [
        {"scan_id": 7, "rt_min": 1.5, "ms_level": 1,
         "peaks": {"format": 3, "mz": mz, "intensity_bits": INTENSITY_BITS}}]})
    [s] = read_all(path)
    assert_same_bits(s.mz, mz)
    assert_same_bits(s.intensity, [widen_f32(b) for b in INTENSITY_BITS])
    assert len(s) == n
    assert s.ms_level == 1
    assert s.retention_time_sec == 1.5 * 60.0


def test_planar_scaled_peaks_bit_for_bit(acquisition):
    # Stored m/z x 100; the decoded value is a division by 100.0. Some of these differ in
    # the last bit from a multiplication by 0.01 (86269.03632435093 does).
    stored = [12345.0, 86269.03632435093, 78739.71570789526, 1.0, -250.5]
    n = len(stored)
    bits = INTENSITY_BITS[:n]
    block = struct.pack("<%dd" % n, *stored) + struct.pack("<%dI" % n, *bits)
    path = acquisition({"scans": [
        {"scan_id": 1, "rt_min": 0.25, "ms_level": 2, "msn_value_1": 500.0, "msn_value_2": 2.0,
         "peaks": {"format": 2, "point_count": n, "raw_hex": block.hex()}}]})
    [s] = read_all(path)
    assert_same_bits(s.mz, [v / 100.0 for v in stored])
    assert any(v / 100.0 != v * 0.01 for v in stored)
    assert_same_bits(s.intensity, [widen_f32(b) for b in bits])
    assert s.ms_level == 2


def test_intensity_nearest_to_a_tenth_reads_widened(acquisition):
    path = acquisition({"scans": [{"scan_id": 1, "rt_min": 0.0, "ms_level": 1,
                                   "peaks": {"format": 3, "mz": [1.0], "intensity": [0.1]}}]})
    [s] = read_all(path)
    assert s.intensity == [0.10000000149011612]


@pytest.mark.parametrize("first, last, intensities", [
    (100.0, 101.7, [0, 1, 16777216, 16777217, 16777219, 2 ** 32 - 1, 123456789]),
    (100.0, 101.0, [5, 6, 7]),
    (250.0, 900.0, [42]),
    (1000.0, 100.0, [1, 2, 3, 4]),  # a descending axis is taken as stored
])
def test_profile_scan_bit_for_bit(acquisition, first, last, intensities):
    path = acquisition({"scans": [
        {"scan_id": 3, "rt_min": 2.0, "ms_level": 1, "mz_first": first, "mz_last": last,
         "profile": {"intensities": intensities}}]})
    [s] = read_all(path)
    n = len(intensities)
    step = (last - first) / (n - 1) if n > 1 else 0.0
    assert_same_bits(s.mz, [float(i) * step + first for i in range(n)])
    assert_same_bits(s.intensity, [nearest_f32_of_u32(v) for v in intensities])


def test_profile_is_preferred_and_peaks_fill_in(acquisition):
    peaks = {"format": 3, "mz": [300.0, 301.0], "intensity": [9.0, 8.0]}
    path = acquisition({"scans": [
        {"scan_id": 1, "rt_min": 0.1, "ms_level": 1, "mz_first": 10.0, "mz_last": 12.0,
         "profile": {"intensities": [1, 2, 3]}, "peaks": peaks},
        {"scan_id": 2, "rt_min": 0.2, "ms_level": 1, "mz_first": 10.0, "mz_last": 12.0,
         "profile": {"intensities": []}, "peaks": peaks},
    ]})
    first, second = read_all(path)
    assert (first.mz, first.intensity) == ([10.0, 11.0, 12.0], [1.0, 2.0, 3.0])
    assert (second.mz, second.intensity) == ([300.0, 301.0], [9.0, 8.0])


@pytest.mark.parametrize("damage", [
    {"peaks": {"format": 3, "mz": [1.0, 2.0], "intensity": [1.0, 2.0], "byte_count": 23}},
    {"peaks": {"format": 3, "mz": [1.0], "intensity": [1.0], "byte_offset": 1 << 40}},
    {"profile": {"point_count": 3, "uncompressed_byte_count": 28, "raw_hex": "00" * 16 + "ff"}},
])
def test_unreadable_block_leaves_empty_lists(acquisition, damage):
    good = {"scan_id": 2, "rt_min": 0.5, "ms_level": 1,
            "peaks": {"format": 3, "mz": [5.0], "intensity": [6.0]}}
    bad = dict({"scan_id": 1, "rt_min": 0.25, "ms_level": 1}, **damage)
    broken, fine = read_all(acquisition({"scans": [bad, good]}))
    assert (broken.mz, broken.intensity, len(broken), bool(broken)) == ([], [], 0, False)
    assert broken.retention_time_sec == 15.0
    assert (fine.mz, fine.intensity) == ([5.0], [6.0])


def test_large_spectrum_round_trip(acquisition):
    rng = random.Random(20261207)
    n = 30000
    mz = [rng.uniform(50.0, 3000.0) for _ in range(n)]
    bits = [rng.getrandbits(32) & 0x7F7FFFFF for _ in range(n)]  # finite, non-negative
    path = acquisition({"scans": [{"scan_id": 1, "rt_min": 3.0, "ms_level": 1,
                                   "peaks": {"format": 3, "mz": mz, "intensity_bits": bits}}]})
    [s] = read_all(path)
    got_mz, got_intensity = s.mz, s.intensity
    assert type(got_mz) is list and type(got_intensity) is list
    assert all(type(x) is float for x in got_mz) and all(type(x) is float for x in got_intensity)
    assert_same_bits(got_mz, mz)
    assert_same_bits(got_intensity, [widen_f32(b) for b in bits])


@pytest.mark.parametrize("ms_level", [0, 1, 2, 3, 65535])
def test_ms_level(acquisition, ms_level):
    [s] = read_all(acquisition({"scans": [{"scan_id": 1, "rt_min": 0.0, "ms_level": ms_level}]}))
    assert s.ms_level == ms_level and type(s.ms_level) is int


# ---- errors at opening: RuntimeError with the core's display text, nothing else

def io_text(code):
    return "I/O error: %s (os error %d)" % (os.strerror(code), code)


@pytest.mark.parametrize("setup, expected", [
    ("no_acqdata", "parse error: AcqData directory not found"),
    ("missing", "parse error: AcqData directory not found"),
    ("nul", "parse error: AcqData directory not found"),
    ("no_msscan", io_text(errno.ENOENT)),
    ("acqdata_is_file", io_text(errno.ENOTDIR)),
    ("short", "parse error: MSScan.bin too small for header"),
    ("magic", "parse error: Invalid MSScan magic: 258"),
    ("no_records", "parse error: Cannot determine record stride for payload len 0"),
])
def test_errors_at_opening(acquisition, tmp_path, setup, expected):
    base = tmp_path / "x.d"
    if setup == "no_acqdata":
        base.mkdir()
        path = str(base)
    elif setup == "missing":
        path = str(tmp_path / "nothing" / "here.d")
    elif setup == "nul":
        good = acquisition({"scans": [{"scan_id": 1}]})
        path = good + "\0"
    elif setup == "no_msscan":
        (base / "AcqData").mkdir(parents=True)
        path = str(base)
    elif setup == "acqdata_is_file":
        base.mkdir()
        (base / "AcqData").write_bytes(b"")
        path = str(base)
    elif setup == "short":
        path = acquisition({"msscan_hex": "01 01 00"})
    elif setup == "magic":
        path = acquisition({"magic": 258, "scans": [{"scan_id": 1}]})
    else:
        path = acquisition({"scans": []})
    with pytest.raises(RuntimeError) as info:
        corvane.RawReader(path)
    assert type(info.value) is RuntimeError
    assert info.value.args == (expected,)
    assert not hasattr(info.value, "__notes__")


# ---- objects and lifetimes

def test_spectrum_outlives_its_reader(acquisition):
    path = acquisition({"scans": [{"scan_id": 1, "rt_min": 0.5, "ms_level": 2,
                                   "peaks": {"format": 3, "mz": [1.5, 2.5], "intensity": [3.0, 4.0]}}]})
    reader = corvane.RawReader(path)
    s = reader.read_spectrum(0)
    del reader
    gc.collect()
    for name in os.listdir(os.path.join(path, "AcqData")):
        os.remove(os.path.join(path, "AcqData", name))  # nothing is read after construction
    assert (s.mz, s.intensity, s.ms_level, s.retention_time_sec) == ([1.5, 2.5], [3.0, 4.0], 2, 30.0)
    assert repr(s) == "Spectrum(2 peaks, RT 30.00s)"


def test_reader_keeps_nothing_open_and_reads_nothing_later(acquisition):
    path = acquisition({"scans": [{"scan_id": 1, "rt_min": 0.5, "ms_level": 1,
                                   "peaks": {"format": 3, "mz": [7.0], "intensity": [8.0]}}]})
    reader = corvane.RawReader(path)
    for name in os.listdir(os.path.join(path, "AcqData")):
        os.remove(os.path.join(path, "AcqData", name))
    assert reader.read_spectrum(0).mz == [7.0]
    if os.path.isdir("/proc/self/fd"):
        targets = [os.readlink("/proc/self/fd/" + fd) for fd in os.listdir("/proc/self/fd")
                   if os.path.exists("/proc/self/fd/" + fd)]
        assert not any(t.startswith(path) for t in targets)


def test_fresh_objects_on_every_read(acquisition):
    path = acquisition({"scans": [{"scan_id": 1, "rt_min": 0.5, "ms_level": 1,
                                   "peaks": {"format": 3, "mz": [1.0, 2.0], "intensity": [3.0, 4.0]}}]})
    reader = corvane.RawReader(path)
    s = reader.read_spectrum(0)
    assert s.mz is not s.mz and s.mz == s.mz
    assert s.intensity is not s.intensity
    taken = s.mz
    taken.append(9.0)
    taken[0] = -1.0
    assert s.mz == [1.0, 2.0] and len(s) == 2
    a, b = reader.read_spectrum(0), reader.read_spectrum(scan_index=0)
    assert a is not b and a != b and hash(a) != hash(b)
    assert (a.mz, a.intensity, a.ms_level, a.retention_time_sec) == \
        (b.mz, b.intensity, b.ms_level, b.retention_time_sec)


def test_length_counts_mz_and_truthiness(acquisition):
    path = acquisition({"scans": [
        {"scan_id": 1, "rt_min": 0.5, "ms_level": 1,
         "peaks": {"format": 3, "mz": [1.0, 2.0, 3.0], "intensity": [1.0, 1.0, 1.0]}},
        {"scan_id": 2, "rt_min": 0.5, "ms_level": 1}]})
    full, empty = read_all(path)
    assert (len(full), bool(full)) == (3, True)
    assert (len(empty), bool(empty), empty.mz, empty.intensity) == (0, False, [], [])


# ---- representations

@pytest.mark.parametrize("suffix", ["", "/", "//"])
def test_reader_repr_shows_path_as_given(acquisition, suffix):
    path = acquisition({"scans": [{"scan_id": i} for i in range(3)]}, name="it's ü.d") + suffix
    assert repr(corvane.RawReader(path)) == "RawReader('%s', 3 scans)" % path


def test_reader_repr_one_scan(acquisition):
    path = acquisition({"scans": [{"scan_id": 1}]})
    reader = corvane.RawReader(path)
    assert reader.scan_count == 1
    assert repr(reader) == "RawReader('%s', 1 scans)" % path


@pytest.mark.parametrize("seconds, shown", [
    (0.125, "0.12"), (0.375, "0.38"), (2.675, "2.67"), (12.345, "12.35"), (1.005, "1.00"),
    (61.2, "61.20"), (12.5, "12.50"), (0.0, "0.00"), (-0.0, "-0.00"), (-0.001, "-0.00"),
    (-2.5, "-2.50"), (1e21, "1000000000000000000000.00"),
    (float("nan"), "NaN"), (-float("nan"), "NaN"), (float("inf"), "inf"), (-float("inf"), "-inf"),
])
def test_spectrum_repr_retention_time(acquisition, seconds, shown):
    path = acquisition({"scans": [
        {"scan_id": 1, "rt_min": 1.0, "ms_level": 1,
         "peaks": {"format": 3, "mz": [1.0, 2.0, 3.0], "intensity": [1.0, 1.0, 1.0]}},
        {"scan_id": 2, "rt_min": 1.0, "ms_level": 1}]})
    minutes = minutes_for(seconds)
    set_retention_minutes(path, 0, minutes)
    set_retention_minutes(path, 1, minutes)
    with_peaks, without = read_all(path)
    assert repr(with_peaks) == "Spectrum(3 peaks, RT %ss)" % shown
    assert repr(without) == "Spectrum(0 peaks, RT %ss)" % shown
    if not math.isnan(seconds):
        assert bits64(with_peaks.retention_time_sec) == bits64(seconds)


# ---- threads

def test_concurrent_reads_agree(acquisition):
    scans = [{"scan_id": i + 1, "rt_min": 0.01 * i, "ms_level": 1 + i % 2,
              "peaks": {"format": 3, "mz": [100.0 + i + j / 7 for j in range(50)],
                        "intensity": [float(i * j) for j in range(50)]}} for i in range(20)]
    path = acquisition({"scans": scans})
    reader = corvane.RawReader(path)
    expected = [(s.mz, s.intensity, s.ms_level, s.retention_time_sec)
                for s in (reader.read_spectrum(i) for i in range(reader.scan_count))]
    failures = []

    def work(seed):
        rng = random.Random(seed)
        try:
            for _ in range(300):
                i = rng.randrange(reader.scan_count)
                s = reader.read_spectrum(i)
                if (s.mz, s.intensity, s.ms_level, s.retention_time_sec) != expected[i]:
                    failures.append(i)
            own = corvane.RawReader(path)  # constructing while others read
            if own.scan_count != reader.scan_count:
                failures.append("count")
        except BaseException as e:  # noqa: B902 - report anything, PanicException included
            failures.append(repr(e))

    threads = [threading.Thread(target=work, args=(seed,)) for seed in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


# ---- running out of memory inside the core

def zero_stream(size):
    """An LZF stream expanding to `size` zero bytes: one literal, then long back references."""
    out = bytearray(b"\x00\x00")  # literal run of one byte
    left = size - 1
    while left:
        length = min(left, 264)
        if length < 3:  # too short for a back reference: literal bytes
            out += bytes([length - 1]) + b"\x00" * length
        elif length - 2 < 7:
            out += bytes([(length - 2) << 5, 0])
        else:
            out += bytes([7 << 5, length - 9, 0])
        left -= length
    return bytes(out)


def test_core_out_of_memory_is_memory_error(acquisition):
    points = 64 << 20  # 256 MiB of expanded profile data, 512 MiB of m/z values
    size = 16 + 4 * points
    block = b"\x00" * 16 + zero_stream(size)
    path = acquisition({"scans": [
        {"scan_id": 1, "rt_min": 0.5, "ms_level": 1, "mz_first": 100.0, "mz_last": 200.0,
         "profile": {"point_count": points, "uncompressed_byte_count": size, "raw_hex": block.hex()}}]})
    # A child process whose address space has little room left above what it uses.
    script = """
import resource, sys
import corvane
with open("/proc/self/status") as f:
    used = [int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize:")][0]
resource.setrlimit(resource.RLIMIT_AS, (used + (96 << 20), resource.RLIM_INFINITY))
try:
    corvane.RawReader(sys.argv[1])
except MemoryError:
    print("MemoryError")
"""
    proc = subprocess.run([sys.executable, "-c", script, path], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, env=os.environ)
    assert proc.stdout.decode().strip() == "MemoryError", proc.stderr.decode()


def test_failure_to_build_a_result_is_panic(acquisition):
    # The interpreter cannot make the list: its MemoryError goes to the unraisable hook
    # and the read raises PanicException, which `except Exception` does not catch.
    points = 4 << 20
    size = 16 + 4 * points
    block = b"\x00" * 16 + zero_stream(size)
    path = acquisition({"scans": [
        {"scan_id": 1, "rt_min": 0.5, "ms_level": 1, "mz_first": 100.0, "mz_last": 200.0,
         "profile": {"point_count": points, "uncompressed_byte_count": size, "raw_hex": block.hex()}}]})
    script = """
import resource, sys
import corvane
s = corvane.RawReader(sys.argv[1]).read_spectrum(0)
with open("/proc/self/status") as f:
    used = [int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize:")][0]
resource.setrlimit(resource.RLIMIT_AS, (used + (8 << 20), resource.RLIM_INFINITY))
try:
    try:
        s.mz
    except Exception:
        print("caught as Exception")
except BaseException as e:
    print(type(e).__name__, type(e).__mro__[1].__name__, e)
"""
    proc = subprocess.run([sys.executable, "-c", script, path], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, env=os.environ)
    assert proc.stdout.decode().strip() == "PanicException BaseException PyObject pointer is null", \
        proc.stderr.decode()
    assert "MemoryError" in proc.stderr.decode()
