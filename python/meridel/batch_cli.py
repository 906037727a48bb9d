"""corvane-batch: summaries, XICs and mzML or MGF conversion of many runs on a Dask cluster.

    corvane-batch summary RUNS... [-o FILE.csv] [--json FILE]
    corvane-batch xic RUNS... --mz MZ [--mz MZ ...] [--ppm P | --da D] [--ms-level N] [-o FILE.csv]
    corvane-batch convert RUNS... --out-dir DIR [--format mzml|mgf] [--compression zlib|none] [--redo]
            [--centroid] [--precursor-mz msn_value_1|msn_value_2] [--ms-level N] [--rt-range LOW HIGH]
            [--top-n N] [--min-intensity X] [-o FILE.csv] [--json FILE]
    common: [--scheduler ADDRESS [--timeout S]] [--workers N] [--threads N]
            [--tls-ca-file F --tls-cert F --tls-key F] [--no-progress]

Tables go to -o (CSV, "-" or none for standard output) and --json. A progress bar goes to
standard error when it is a terminal. Exit status: 0 when every run succeeded (a skipped
conversion counts), 1 when any run failed, 2 for a usage error, 3 when the cluster could
not be reached.
"""
from __future__ import annotations

import argparse
import math
import os
import sys
from typing import Any, List, Optional
from urllib.parse import urlsplit

EXIT_OK, EXIT_RUN_FAILED, EXIT_USAGE, EXIT_CLUSTER = 0, 1, 2, 3


def _parser() -> argparse.ArgumentParser:
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("runs", nargs="+", metavar="RUN", help="acquisition folders (run.d)")
    where = common.add_argument_group("where the work runs")
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="a running dask-scheduler (tcp://host:8786 or tls://host:8786); "
                            "default: a local cluster on 127.0.0.1")
    where.add_argument("--timeout", type=float, default=30.0, metavar="SECONDS",
                       help="how long to try to reach the scheduler (default 30)")
    where.add_argument("--workers", type=int, metavar="N",
                       help="worker processes of the local cluster (default: one per core)")
    where.add_argument("--threads", type=int, default=1, metavar="N",
                       help="decoding threads per run (default 1: one run per core)")
    where.add_argument("--tls-ca-file", metavar="FILE", help="CA certificate the scheduler's must chain to")
    where.add_argument("--tls-cert", metavar="FILE", help="this client's certificate (PEM)")
    where.add_argument("--tls-key", metavar="FILE", help="this client's private key (PEM)")
    where.add_argument("--no-progress", action="store_true", help="no progress bar, even on a terminal")

    parser = argparse.ArgumentParser(
        prog="corvane-batch",
        description="Summaries, XICs and mzML or MGF conversion of many runs on a Dask cluster.",
        epilog="Exit status: 0 every run succeeded, 1 some run failed, 2 usage error, 3 no cluster.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    summary = commands.add_parser("summary", parents=[common], help="one row per run")
    summary.add_argument("-o", "--output", metavar="FILE", help="CSV file (default: standard output)")
    summary.add_argument("--json", metavar="FILE", help="also as JSON (a list of objects)")

    xic = commands.add_parser("xic", parents=[common], help="extracted ion chromatograms, long form")
    xic.add_argument("--mz", type=float, action="append", required=True, metavar="MZ",
                     help="a target m/z (repeat for several)")
    tolerance = xic.add_mutually_exclusive_group()
    tolerance.add_argument("--ppm", type=float, help="window half-width in ppm (default: meridel's)")
    tolerance.add_argument("--da", type=float, help="window half-width in Da")
    xic.add_argument("--ms-level", type=int, default=1, metavar="N", help="MS level (default 1; 0: all)")
    xic.add_argument("--rt-range", type=float, nargs=2, metavar=("LOW", "HIGH"), help="seconds")
    xic.add_argument("-o", "--output", metavar="FILE", help="CSV file (default: standard output)")

    conv = commands.add_parser("convert", parents=[common], help="one mzML (or MGF) file per run")
    conv.add_argument("--out-dir", required=True, metavar="DIR", help="folder for the output files")
    conv.add_argument("--format", choices=["mzml", "mgf"], default="mzml",
                      help="mzML (default) or MGF: the fragment scans, which needs --precursor-mz")
    conv.add_argument("--compression", choices=["zlib", "none"], default="zlib", help="mzML's binary arrays")
    conv.add_argument("--redo", action="store_true", help="convert runs whose output exists too")
    spectra = conv.add_argument_group("what is written")
    spectra.add_argument("--centroid", action="store_true", help="profile scans as centroid peaks")
    spectra.add_argument("--precursor-mz", choices=["msn_value_1", "msn_value_2"], metavar="MEMBER",
                         help="the index member that holds the precursor m/z: msn_value_1 or msn_value_2 "
                              "(corvane-info --precursor-evidence shows which)")
    spectra.add_argument("--ms-level", type=int, metavar="N", help="only scans of this MS level")
    spectra.add_argument("--rt-range", type=float, nargs=2, metavar=("LOW", "HIGH"),
                         help="only scans in this retention time range, seconds")
    spectra.add_argument("--top-n", type=int, metavar="N", help="only each spectrum's N most intense peaks")
    spectra.add_argument("--min-intensity", type=float, metavar="X", help="only peaks at least this intense")
    conv.add_argument("-o", "--output", metavar="FILE", help="CSV table of what was done (default: standard output)")
    conv.add_argument("--json", metavar="FILE", help="also as JSON (a list of objects)")
    return parser


def _security(args: argparse.Namespace) -> Any:
    """A distributed.security.Security from the command line, or None for Dask's config."""
    given = [args.tls_ca_file, args.tls_cert, args.tls_key]
    if not any(given):
        return None
    if not all(given):
        raise _Usage("--tls-ca-file, --tls-cert and --tls-key go together")
    for name in given:
        if not os.path.isfile(name):
            raise _Usage("%s: no such file" % name)
    from distributed.security import Security
    return Security(tls_ca_file=args.tls_ca_file, tls_client_cert=args.tls_cert, tls_client_key=args.tls_key,
                    require_encryption=True)


class _Usage(Exception):
    pass


def _is_loopback(address: str) -> bool:
    host = urlsplit(address if "://" in address else "tcp://" + address).hostname or ""
    return host in ("localhost", "::1") or host.startswith("127.")


def _write_table(frame: Any, output: Optional[str], json_path: Optional[str]) -> None:
    if output is None or output == "-":
        frame.to_csv(sys.stdout, index=False)
        sys.stdout.flush()
    else:
        frame.to_csv(output, index=False)
    if json_path is not None:
        frame.to_json(json_path, orient="records", indent=1)


def _check_convert_options(args: argparse.Namespace) -> None:
    """The conversion options, refused here, before any cluster is started or reached."""
    if args.ms_level is not None and args.ms_level < 1:
        raise _Usage("--ms-level must be at least 1")
    if args.top_n is not None and args.top_n < 1:
        raise _Usage("--top-n must be at least 1")
    if args.min_intensity is not None and not math.isfinite(args.min_intensity):
        raise _Usage("--min-intensity must be a finite number")
    if args.rt_range is not None:
        low, high = args.rt_range
        if not (math.isfinite(low) and math.isfinite(high) and low <= high):
            raise _Usage("--rt-range needs finite LOW <= HIGH")
    # MGF without a declared member: the converter's own words (from the module, which
    # loads quickly: no pandas or Dask yet).
    from meridel import _meridel
    try:
        _meridel._check_convert(args.format, args.precursor_mz, command_line=True)
    except ValueError as e:
        raise _Usage(str(e)) from e


def main(argv: Optional[List[str]] = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    try:
        security = _security(args)
        if args.workers is not None and args.workers < 1:
            raise _Usage("--workers must be at least 1")
        if args.threads < 1:
            raise _Usage("--threads must be at least 1")
        if args.scheduler is not None and args.workers is not None:
            raise _Usage("--workers sizes the local cluster; a scheduler brings its own workers")
        if args.scheduler is None and security is not None:
            raise _Usage("the local cluster listens on 127.0.0.1 only; TLS options need --scheduler")
        if args.command == "convert":
            _check_convert_options(args)
    except _Usage as e:
        parser.error(str(e))

    # Imported only now: --help and usage errors should not wait for pandas and Dask.
    from distributed import Client

    from meridel import batch

    progress = not args.no_progress and sys.stderr.isatty()
    try:
        if args.scheduler is not None:
            if security is None and not args.scheduler.startswith("tls://") and not _is_loopback(args.scheduler):
                print("corvane-batch: warning: %s is reached without TLS: whoever can reach that scheduler "
                      "can run code on its workers" % args.scheduler, file=sys.stderr)
            client = Client(args.scheduler, security=security, timeout="%gs" % args.timeout)
        else:
            client = None
    except Exception as e:  # refused, timed out, TLS handshake or configuration: all the same here
        print("corvane-batch: cannot reach the scheduler %s: %s" % (args.scheduler, e), file=sys.stderr)
        return EXIT_CLUSTER

    try:
        options = dict(client=client, workers=args.workers, threads=args.threads, progress=progress)
        if args.command == "summary":
            frame = batch.summaries(args.runs, **options)
            _write_table(frame, args.output, args.json)
            failed = frame["error"].notna()
        elif args.command == "xic":
            frame = batch.xics(args.runs, args.mz, ppm=args.ppm, da=args.da,
                               ms_level=None if args.ms_level == 0 else args.ms_level,
                               rt_range=tuple(args.rt_range) if args.rt_range else None, **options)
            _write_table(frame, args.output, None)
            failed = frame["error"].notna()
        else:
            frame = batch.convert(args.runs, args.out_dir,
                                  compression=None if args.compression == "none" else args.compression,
                                  redo=args.redo, format=args.format, precursor_mz=args.precursor_mz,
                                  centroid=args.centroid, ms_level=args.ms_level,
                                  rt_range=tuple(args.rt_range) if args.rt_range else None, top_n=args.top_n,
                                  min_intensity=args.min_intensity, **options)
            _write_table(frame, args.output, args.json)
            failed = frame["status"] == "failed"
    except ValueError as e:  # arguments the batch refuses (ppm <= 0, ...)
        print("corvane-batch: %s" % e, file=sys.stderr)
        return EXIT_USAGE
    finally:
        if client is not None:
            client.close()

    for line in frame.loc[failed, ["path", "error"]].drop_duplicates().itertuples(index=False):
        print("corvane-batch: %s: %s" % (line.path, line.error), file=sys.stderr)
    return EXIT_RUN_FAILED if failed.any() else EXIT_OK


if __name__ == "__main__":
    sys.exit(main())
