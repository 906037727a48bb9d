"""One RawReader used by several threads at once, with the interpreter switching threads
as often as it can: every thread sees the same spectra, errors keep their texts, spectra
outlive their reader, and no file stays open."""
import gc
import os
import sys
import threading

import pytest

import corvane

THREADS = 8


@pytest.fixture(autouse=True)
def fast_switching():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def mixed_scans(count=16, points=300):
    """Even scans carry profile data, odd scans centroid peaks in either layout."""
    scans = []
    for i in range(count):
        scan = {"scan_id": 10 + i, "rt_min": 0.05 * i, "ms_level": 1 + (i % 3 == 2),
                "mz_first": 100.0, "mz_last": 100.0 + points + i}
        if i % 2 == 0:
            scan["profile"] = {"intensities": [(i * 7919 + j * 31) % 100000 for j in range(points)]}
        else:
            scan["peaks"] = {"format": 2 + i % 4 // 2,
                             "mz": [120.0 + i + j / 8 for j in range(points // 3)],
                             "intensity": [float(i * j % 977) for j in range(points // 3)]}
        scans.append(scan)
    return scans


def snapshot(spectrum):
    return (spectrum.mz, spectrum.intensity, spectrum.ms_level, spectrum.retention_time_sec,
            len(spectrum), repr(spectrum))


def run_threads(work):
    """Runs work(k) on THREADS threads started together; returns what they raised."""
    barrier = threading.Barrier(THREADS)
    failures = []

    def body(k):
        try:
            barrier.wait()
            work(k)
        except BaseException as e:  # noqa: B902 - report anything, PanicException included
            failures.append("thread %d: %r" % (k, e))

    threads = [threading.Thread(target=body, args=(k,)) for k in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return failures


def test_shared_reader_gives_every_thread_the_same_spectra(acquisition):
    path = acquisition({"scans": mixed_scans()})
    reader = corvane.RawReader(path)
    expected = [snapshot(reader.read_spectrum(i)) for i in range(reader.scan_count)]
    assert any(len(e[0]) == 300 for e in expected) and any(len(e[0]) == 100 for e in expected)
    kept = [[] for _ in range(THREADS)]
    holders = {k: reader for k in range(THREADS)}
    del reader

    def work(k):
        own = holders[k]
        n = own.scan_count
        for step in range(6):
            for i in (range(n) if (k + step) % 2 else reversed(range(n))):
                s = own.read_spectrum(i)
                if snapshot(s) != expected[i]:
                    raise AssertionError("scan %d differs" % i)
                if i % 5 == k % 5:
                    kept[k].append((i, s))
            assert repr(own).endswith("%d scans)" % n)
        # Let go of the reader while others may still be reading it.
        del holders[k], own
        gc.collect()

    assert run_threads(work) == []
    # Spectra outlive the reader that made them, unchanged.
    gc.collect()
    for spectra in kept:
        for i, s in spectra:
            assert snapshot(s) == expected[i]


def open_fds():
    return len(os.listdir("/proc/self/fd"))


@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="needs /proc/self/fd")
def test_concurrent_construction_with_failures(acquisition, tmp_path):
    good = acquisition({"scans": mixed_scans(6, 90)})
    bad_magic = acquisition({"magic": 256, "scans": mixed_scans(2, 9)})
    no_peaks = acquisition({"scans": mixed_scans(4, 30), "omit": ["MSPeak.bin", "MSProfile.bin"]})
    missing = str(tmp_path / "nothing.d")
    counts = {good: corvane.RawReader(good).scan_count}
    assert counts[good] == 6
    before = open_fds()

    def work(k):
        for round_ in range(25):
            which = (k + round_) % 4
            if which == 0:
                r = corvane.RawReader(good)
                assert r.scan_count == counts[good]
                assert len(r.read_spectrum(k % r.scan_count)) > 0
            elif which == 1:
                with pytest.raises(RuntimeError) as e:
                    corvane.RawReader(bad_magic)
                assert str(e.value) == "parse error: Invalid MSScan magic: 256"
            elif which == 2:
                r = corvane.RawReader(no_peaks)
                assert [len(r.read_spectrum(i)) for i in range(r.scan_count)] == [0, 0, 0, 0]
            else:
                with pytest.raises(RuntimeError) as e:
                    corvane.RawReader(missing)
                assert str(e.value) == "parse error: AcqData directory not found"

    assert run_threads(work) == []
    gc.collect()
    assert open_fds() == before
