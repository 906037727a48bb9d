"""Decoding pipelines of meridel iterators: close() stops them, and an iterator lets go
of its threads when exhausted, closed or collected, on both interpreters. Threads are
counted in /proc/self/task (the pipeline's threads are the engine's, not Python's)."""
import gc
import os
import threading

import pytest

import meridel

pytestmark = pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="counts threads in /proc")

# More scans than two workers' windows hold, so a started pipeline's workers wait for room.
SCANS = [{"scan_id": i + 1, "rt_min": 0.01 * i, "ms_level": 1,
          "peaks": {"format": 3, "mz": [100.0 + i, 200.0 + i], "intensity": [1.0, 2.0]}} for i in range(60)]


def threads_now():
    gc.collect()  # iterators that earlier tests dropped on PyPy
    return len(os.listdir("/proc/self/task"))


@pytest.fixture
def acq(acquisition):
    with meridel.open(acquisition({"scans": SCANS})) as opened:
        yield opened


def started(acq):
    """An iterator on two threads with its pipeline running, and the thread count before."""
    before = threads_now()
    it = acq.iter(threads=2)
    assert next(it).index == 0
    assert threads_now() > before
    return it, before


@pytest.mark.parametrize("release", ["acquisition close", "acquisition exit", "iterator close",
                                     "iterator exit", "exhausted", "collected"])
def test_iterator_lets_go_of_its_threads(acq, release):
    it, before = started(acq)
    if release == "acquisition close":
        acq.close()
    elif release == "acquisition exit":
        acq.__exit__(None, None, None)
    elif release == "iterator close":
        it.close()
    elif release == "iterator exit":
        with it as same:
            assert same is it
    elif release == "exhausted":
        assert [s.index for s in it] == list(range(1, len(SCANS)))
    else:
        del it
        gc.collect()
        gc.collect()
    assert threads_now() == before
    if release.startswith("acquisition"):
        with pytest.raises(ValueError, match="closed acquisition"):
            next(it)
    elif release != "collected":
        with pytest.raises(StopIteration):
            next(it)
        it.close()  # closing again is fine


def test_close_stops_every_pipeline_of_the_acquisition(acq):
    before = threads_now()
    iterators = [acq.iter(threads=2) for _ in range(3)]
    for it in iterators:
        next(it)
    single = acq.iter(threads=1)
    next(single)
    acq.close()
    assert threads_now() == before
    for it in iterators + [single]:
        with pytest.raises(ValueError, match="closed acquisition"):
            next(it)


def test_close_from_another_thread_ends_an_iteration_in_flight(acquisition):
    # A longer run, iterated on a second thread while the first closes the acquisition:
    # the iteration ends with the closed ValueError (or, had it already finished, with
    # all its spectra), never with a crash or a hang.
    scans = [dict(s, scan_id=i + 1) for i, s in enumerate(SCANS * 20)]
    outcome = {}
    with meridel.open(acquisition({"scans": scans})) as acq:
        it = acq.iter(threads=2)
        first = threading.Event()

        def consume():
            count = 0
            try:
                for _ in it:
                    count += 1
                    first.set()
                outcome["end"] = "exhausted"
            except ValueError as e:
                outcome["end"] = str(e)
            finally:
                outcome["count"] = count
                first.set()

        worker = threading.Thread(target=consume)
        before = threads_now()
        worker.start()
        first.wait()
        acq.close()
        worker.join()
    assert outcome["end"] in ("I/O operation on closed acquisition", "exhausted")
    if outcome["end"] == "exhausted":
        assert outcome["count"] == len(scans)
    assert threads_now() <= before  # the consumer and the pipeline's threads are gone
