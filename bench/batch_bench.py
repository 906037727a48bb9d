"""Timings of meridel.batch for scripts/bench.sh (Debian's CPython with Dask).

    batch_bench.py batch WORKERS OUT_DIR RUN...   -> "summary_s convert_s" on a local cluster
    batch_bench.py loop OUT_DIR RUN...            -> "summary_s convert_s", a plain loop, no Dask
    batch_bench.py overhead RUN...                -> "dask_s direct_s": an empty task per run vs a call

The cluster is started, and every worker has imported meridel.batch, before the clock
starts: what is timed is the batch, as a long-lived cluster runs it. Conversions always
write anew (redo) into OUT_DIR, which is emptied first. Each time is the best of ROUNDS:
one round of a two-second batch takes any stall of the machine whole, and a single
round once gave two workers 2.33 times one worker's throughput on two cores.
"""
import os
import shutil
import sys
import time

from distributed import Client

from meridel import batch


def warm(client):
    # Each worker imports the batch module (and with it NumPy, pandas and meridel) once.
    client.run(lambda: __import__("meridel.batch") and None)


def fresh(folder):
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)


def timed(call):
    start = time.perf_counter()
    result = call()
    return time.perf_counter() - start, result


ROUNDS = 3


def run_batch(workers, out_dir, runs):
    summary_s = convert_s = float("inf")
    with batch.local_cluster(workers) as cluster, Client(cluster) as client:
        client.wait_for_workers(workers)
        warm(client)
        for _ in range(ROUNDS):
            t, frame = timed(lambda: batch.summaries(runs, client=client))
            assert frame["error"].isna().all(), frame["error"].tolist()
            summary_s = min(summary_s, t)
            fresh(out_dir)
            t, table = timed(lambda: batch.convert(runs, out_dir, redo=True, client=client))
            assert (table["status"] == "converted").all(), table["error"].tolist()
            convert_s = min(convert_s, t)
    print("%.4f %.4f" % (summary_s, convert_s))


def run_loop(out_dir, runs):
    import meridel

    def convert_all():
        for r in runs:
            with meridel.open(r) as acq:
                acq.to_mzml(batch.output_path(out_dir, r), threads=1)
    summary_s = convert_s = float("inf")
    for _ in range(ROUNDS):
        t, rows = timed(lambda: [batch.summarize_run(r) for r in runs])
        assert all(row["error"] is None for row in rows)
        summary_s = min(summary_s, t)
        fresh(out_dir)
        convert_s = min(convert_s, timed(convert_all)[0])
    print("%.4f %.4f" % (summary_s, convert_s))


def empty_task(path):
    return path


def run_overhead(runs, rounds=20):
    with batch.local_cluster(1) as cluster, Client(cluster) as client:
        warm(client)
        best_dask = best_direct = float("inf")
        for _ in range(rounds):
            t, _ = timed(lambda: client.gather(client.map(empty_task, runs, pure=False)))
            best_dask = min(best_dask, t)
            t, _ = timed(lambda: [empty_task(r) for r in runs])
            best_direct = min(best_direct, t)
    print("%.6f %.6f" % (best_dask / len(runs), best_direct / len(runs)))


if __name__ == "__main__":
    mode, args = sys.argv[1], sys.argv[2:]
    if mode == "batch":
        run_batch(int(args[0]), args[1], args[2:])
    elif mode == "loop":
        run_loop(args[0], args[1:])
    elif mode == "overhead":
        run_overhead(args)
    else:
        sys.exit("unknown mode %s" % mode)
