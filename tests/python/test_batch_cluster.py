"""meridel.batch against a cluster as it runs on many machines: a dask-scheduler and
dask-worker processes, here on 127.0.0.1. One worker is killed in the middle of a
conversion; a scheduler behind TLS admits only clients with its certificates.
CPython with Dask only (ctest runs this file on its own)."""
import json
import os
import re
import shutil
import select
import signal
import subprocess
import sys
import threading
import time

import pytest

import meridel
from conftest import write_acquisition
from meridel import batch

pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")


class Cluster:
    """A dask-scheduler and worker processes (no nanny: the worker is the process), all
    on 127.0.0.1, stopped and reaped by stop() whatever state they are in."""

    def __init__(self, folder, workers, tls=None, first_worker_env=None):
        self.processes = []
        self.folder = folder
        scheduler_file = os.path.join(folder, "scheduler.json")
        tls_args = []
        if tls is not None:
            tls_args = ["--tls-ca-file", tls["ca"], "--tls-cert", tls["cert"], "--tls-key", tls["key"]]
        protocol = "tls://" if tls else "tcp://"
        self.scheduler = self._start("scheduler", [sys.executable, "-m", "distributed.cli.dask_scheduler",
                                                   "--host", protocol + "127.0.0.1", "--port", "0",
                                                   "--no-dashboard", "--scheduler-file", scheduler_file] + tls_args)
        # The scheduler writes its file when it listens; read until it parses whole.
        deadline = time.monotonic() + 120
        self.address = None
        while self.address is None:
            try:
                with open(scheduler_file) as f:
                    self.address = json.load(f)["address"]
            except (FileNotFoundError, ValueError, KeyError):
                assert self.scheduler.poll() is None, self.log("scheduler")
                assert time.monotonic() < deadline, "the scheduler did not start: " + self.log("scheduler")
                time.sleep(0.05)
        self.workers = [self._start("worker%d" % i, [sys.executable, "-m", "distributed.cli.dask_worker",
                                                     self.address, "--nthreads", "1", "--no-nanny",
                                                     "--host", "127.0.0.1", "--no-dashboard",
                                                     "--memory-limit", "0"] + tls_args,
                                    env=dict(os.environ, **first_worker_env) if first_worker_env and i == 0 else None)
                        for i in range(workers)]

    def _start(self, name, command, env=None):
        log = open(os.path.join(self.folder, name + ".log"), "wb")
        process = subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT, cwd=self.folder, env=env)
        log.close()
        self.processes.append(process)
        return process

    def log(self, name):
        with open(os.path.join(self.folder, name + ".log"), errors="replace") as f:
            return f.read()[-3000:]

    def stop(self):
        for process in self.processes:
            if process.poll() is None:
                process.terminate()
        for process in self.processes:
            try:
                process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()


@pytest.fixture
def cluster(tmp_path):
    started = []

    def start(workers, tls=None, first_worker_env=None):
        folder = tmp_path / ("cluster%d" % len(started))
        folder.mkdir()
        c = Cluster(str(folder), workers, tls, first_worker_env)
        started.append(c)
        return c

    yield start
    for c in started:
        c.stop()


def make_sample(path, seed):
    tool = os.environ.get("CORVANE_MAKE_SAMPLE")
    if not tool:
        pytest.fail("CORVANE_MAKE_SAMPLE must name the corvane-make-sample executable (ctest sets it)")
    # Large enough that writing its mzML takes a good fraction of a second.
    subprocess.run([tool, "--ms1", "300", "--ms2", "300", "--points", "40000", "--seed", str(seed), str(path)],
                   check=True, stdout=subprocess.DEVNULL)
    return str(path)


def listing(folder):
    return sorted(os.path.relpath(os.path.join(d, f), folder) for d, _, files in os.walk(folder) for f in files)


def paused_at_the_temporary_file(fifo, alive):
    """The "<pid> <temporary file>" line that the output layer writes to the FIFO named by
    CORVANE_OUTPUT_PAUSE once a temporary file exists (its process stops itself right
    after). alive() says whether a writer can still get there."""
    fd = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    try:
        data = b""
        while not data.endswith(b"\n"):
            ready, _, _ = select.select([fd], [], [], 1.0)
            if ready:
                chunk = os.read(fd, 4096)
                data += chunk
                if not chunk and data:
                    break
            else:
                assert alive(), "the batch ended without the first worker reaching a temporary file"
        pid, temporary = data.decode().rstrip("\n").split(" ", 1)
        return int(pid), temporary
    finally:
        os.close(fd)


def test_a_worker_killed_during_conversion_loses_nothing(cluster, tmp_path):
    from distributed import Client
    runs = [make_sample(tmp_path / ("run%d.d" % k), k) for k in range(6)]
    # The first worker stops itself once its first temporary file exists (the output
    # layer's pause point): it is killed there, mid-write, however fast the machine.
    fifo = tmp_path / "pause"
    os.mkfifo(fifo)
    c = cluster(2, first_worker_env={"CORVANE_OUTPUT_PAUSE": str(fifo)})
    out = tmp_path / "out"
    with Client(c.address, timeout="60s") as client:
        client.wait_for_workers(2, timeout=120)
        pids = set(client.run(os.getpid).values())
        assert pids == {w.pid for w in c.workers}
        outcome = {}
        thread = threading.Thread(target=lambda: outcome.update(table=batch.convert(runs, out, client=client)))
        thread.start()
        # Each attempt writes in staging/<batch>/<worker pid>-<id>/, the writer's temporary
        # file first.
        victim, temporary = paused_at_the_temporary_file(fifo, thread.is_alive)
        assert victim == c.workers[0].pid
        staging = out / batch.STAGING
        attempt = os.path.dirname(temporary)
        assert os.path.dirname(os.path.dirname(attempt)) == str(staging)
        assert re.match(r"%d-" % victim, os.path.basename(attempt))
        assert os.path.basename(temporary).startswith(".") and os.path.exists(temporary)
        os.kill(victim, signal.SIGKILL)
        thread.join(timeout=600)
        assert not thread.is_alive()
        table = outcome["table"]
        assert [w.poll() for w in c.workers if w.pid == victim] == [-signal.SIGKILL]
        assert len(client.scheduler_info()["workers"]) == 1

        names = ["run%d.mzML" % k for k in range(6)]
        assert table["status"].tolist() == ["converted"] * 6, table["error"].tolist()
        assert listing(out) == names  # no staging folder, no temporary or partial file
        reference = tmp_path / "reference"
        reference.mkdir()
        for run, name in zip(runs, names):
            with meridel.open(run) as acq:
                acq.to_mzml(str(reference / name))
            assert (out / name).read_bytes() == (reference / name).read_bytes(), name

        # Running the finished batch again, on the survivor alone, converts nothing.
        stamps = [os.stat(out / n).st_mtime_ns for n in names]
        again = batch.convert(runs, out, client=client)
        assert again["status"].tolist() == ["skipped"] * 6
        assert [os.stat(out / n).st_mtime_ns for n in names] == stamps


def self_signed(folder):
    """One self-signed certificate (its own CA) and key for every party, by openssl."""
    openssl = shutil.which("openssl")
    if openssl is None:
        pytest.fail("openssl is needed to make the test certificates (Debian: openssl)")
    cert, key = os.path.join(folder, "cert.pem"), os.path.join(folder, "key.pem")
    subprocess.run([openssl, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                    "/CN=corvane batch test", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", key,
                    "-out", cert], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return {"ca": cert, "cert": cert, "key": key}


def run_cli(*args, env=None):
    proc = subprocess.run([sys.executable, "-m", "meridel.batch_cli", *args], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=600, env=env)
    return proc.returncode, proc.stdout.decode(), proc.stderr.decode()


def test_tls_scheduler_admits_only_clients_with_its_certificates(cluster, tmp_path):
    run = write_acquisition(tmp_path / "run.d", {"scans": [
        {"scan_id": 1, "rt_min": 0.5, "ms_level": 1, "peaks": {"format": 3, "mz": [100.25], "intensity": [2.5]}}]})
    tls = self_signed(str(tmp_path))
    c = cluster(1, tls=tls)
    assert c.address.startswith("tls://127.0.0.1:")

    # Certificates on the command line.
    rc, out, err = run_cli("summary", run, "--scheduler", c.address, "--tls-ca-file", tls["ca"],
                           "--tls-cert", tls["cert"], "--tls-key", tls["key"])
    assert rc == 0, err
    assert out.splitlines()[1].startswith("%s,run.d," % run)

    # Certificates from Dask's config (here its environment variables).
    env = dict(os.environ, DASK_DISTRIBUTED__COMM__TLS__CA_FILE=tls["ca"],
               DASK_DISTRIBUTED__COMM__TLS__CLIENT__CERT=tls["cert"],
               DASK_DISTRIBUTED__COMM__TLS__CLIENT__KEY=tls["key"])
    rc, out, err = run_cli("summary", run, "--scheduler", c.address, env=env)
    assert rc == 0, err

    # No certificate, or one the scheduler does not trust: no connection, status 4.
    rc, out, err = run_cli("summary", run, "--scheduler", c.address, "--timeout", "5")
    assert rc == 4 and "cannot reach the scheduler" in err, err
    stranger = tmp_path / "stranger"
    stranger.mkdir()
    other = self_signed(str(stranger))
    rc, out, err = run_cli("summary", run, "--scheduler", c.address, "--timeout", "5", "--tls-ca-file",
                           other["ca"], "--tls-cert", other["cert"], "--tls-key", other["key"])
    assert rc == 4 and "cannot reach the scheduler" in err, err
    # A plain connection to the TLS port is refused too.
    rc, out, err = run_cli("summary", run, "--scheduler", c.address.replace("tls://", "tcp://"), "--timeout", "5")
    assert rc == 4, err
