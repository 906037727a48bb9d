"""corvane-batch: summaries, XICs and mzML or MGF conversion of many runs, in this process
or on a Dask cluster.

    corvane-batch summary RUNS... [-o FILE.csv] [--json FILE]
    corvane-batch xic RUNS... (--mz MZ [MZ ...] | --mz-file FILE)... [--ppm P | --da D] [--ms-level N]
            [--rt-range LOW HIGH] [-o FILE.csv]
    corvane-batch convert RUNS... --out-dir DIR [--format mzml|mgf] [--compression zlib|numpress|none]
            [--redo] [--centroid] [--precursor-mz msn_value_1|msn_value_2] [--ms-level N]
            [--rt-range LOW HIGH] [--top-n N] [--min-intensity X] [-o FILE.csv] [--json FILE]
    common: [--salvage] [--local | --cluster] [--scheduler ADDRESS [--timeout S]] [--workers N]
            [--threads N] [--tls-ca-file F --tls-cert F --tls-key F] [--no-progress]

Tables go to -o (CSV, "-" or none for standard output) and --json, with absolute paths.
Warnings and failures go to standard error, one line each. A progress bar goes to
standard error when it is a terminal and tqdm is installed.
"""
from __future__ import annotations

import argparse
import math
import os
import sys
import warnings
from typing import Any, List, Optional
from urllib.parse import urlsplit

EXIT_OK, EXIT_RUN_FAILED, EXIT_USAGE, EXIT_DAMAGED, EXIT_CLUSTER = 0, 1, 2, 3, 4

EXIT_STATUS = """exit status:
  0  every run succeeded (a skipped conversion counts)
  1  some run failed (one line each on standard error)
  2  usage error, or a package the batch needs is missing: nothing was done
  3  every run succeeded, but some had damaged scans or salvage dropped part of an index
     (one warning line each; 1 wins when a run also failed), as corvane-convert
  4  the scheduler could not be reached"""

WHERE = ("a few small runs (AcqData files of 1 GiB or less in all) run on threads of this process, "
         "more on a local cluster of worker processes started for the batch")


def _positive_mz(text: str) -> float:
    value = float(text)
    if not (math.isfinite(value) and value > 0):
        raise ValueError(text)
    return value


def _mz(text: str) -> float:
    try:
        return _positive_mz(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a positive m/z: %r" % text) from None


def _parser() -> argparse.ArgumentParser:
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("runs", nargs="+", metavar="RUN", help="acquisition folders (run.d)")
    common.add_argument("--salvage", action="store_true",
                        help="read runs whose scan index was cut inside a record (an aborted acquisition): "
                             "every complete record, with a warning of what was dropped (default: such a run "
                             "fails)")
    where = common.add_argument_group("where the work runs", "By default, %s." % WHERE)
    place = where.add_mutually_exclusive_group()
    place.add_argument("--local", action="store_true",
                       help="run in this process, on --workers threads, whatever the batch's size")
    place.add_argument("--cluster", action="store_true",
                       help="start a local cluster of --workers processes, whatever the batch's size")
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="a running dask-scheduler (tcp://host:8786 or tls://host:8786) "
                            "(default: none, this machine)")
    where.add_argument("--timeout", type=float, default=30.0, metavar="SECONDS",
                       help="how long to try to reach the scheduler (default: %(default)g)")
    where.add_argument("--workers", type=int, metavar="N",
                       help="threads of this process, or processes of the local cluster (default: one per core)")
    where.add_argument("--threads", type=int, default=1, metavar="N",
                       help="decoding threads per run (default: %(default)s, one run per core)")
    where.add_argument("--tls-ca-file", metavar="FILE",
                       help="CA certificate the scheduler's must chain to (default: Dask's config)")
    where.add_argument("--tls-cert", metavar="FILE", help="this client's certificate, PEM (default: Dask's config)")
    where.add_argument("--tls-key", metavar="FILE", help="this client's private key, PEM (default: Dask's config)")
    where.add_argument("--no-progress", action="store_true",
                       help="no progress bar (default: a bar when standard error is a terminal)")

    parser = argparse.ArgumentParser(
        prog="corvane-batch", formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Summaries, XICs and mzML or MGF conversion of many runs, in this process or on a Dask "
                    "cluster.",
        epilog=EXIT_STATUS)
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name: str, text: str) -> argparse.ArgumentParser:
        return commands.add_parser(name, parents=[common], help=text, description=text, epilog=EXIT_STATUS,
                                   formatter_class=argparse.RawDescriptionHelpFormatter)

    summary = command("summary", "one row per run")
    summary.add_argument("-o", "--output", metavar="FILE", help="CSV file (default: standard output)")
    summary.add_argument("--json", metavar="FILE", help="also as JSON, a list of objects (default: none)")

    xic = command("xic", "extracted ion chromatograms, one row per point")
    xic.add_argument("--mz", type=_mz, nargs="+", action="extend", default=[], metavar="MZ",
                     help="target m/z values: several after one --mz, or --mz repeated (after the runs, or end "
                          "the values with --)")
    xic.add_argument("--mz-file", metavar="FILE", action="append", default=[],
                     help="target m/z values, one a line; blank lines and # comments are ignored")
    tolerance = xic.add_mutually_exclusive_group()
    tolerance.add_argument("--ppm", type=float, help="window half-width in ppm (default: 10 unless --da)")
    tolerance.add_argument("--da", type=float, help="window half-width in Da (default: none, a ppm window)")
    xic.add_argument("--ms-level", type=int, metavar="N", help="only scans of this MS level (default: all levels)")
    xic.add_argument("--rt-range", type=float, nargs=2, metavar=("LOW", "HIGH"),
                     help="only scans in this retention time range, seconds (default: all)")
    xic.add_argument("-o", "--output", metavar="FILE", help="CSV file (default: standard output)")

    conv = command("convert", "one mzML (or MGF) file per run")
    conv.add_argument("--out-dir", required=True, metavar="DIR",
                      help="folder for the output files, created with its parents when missing")
    conv.add_argument("--format", choices=["mzml", "mgf"], default="mzml",
                      help="mzML, or MGF: the fragment scans, which needs --precursor-mz (default: %(default)s)")
    conv.add_argument("--compression", choices=["zlib", "numpress", "none"], default="zlib",
                      help="mzML's binary arrays: zlib, numpress (lossy MS-Numpress then zlib; OpenMS reads it, "
                           "Debian's pymzml 2.5 does not read it correctly) or none (default: %(default)s)")
    conv.add_argument("--redo", action="store_true",
                      help="convert runs whose output exists too (default: skip them)")
    spectra = conv.add_argument_group("what is written")
    spectra.add_argument("--centroid", action="store_true",
                         help="profile scans as centroid peaks (default: as recorded)")
    spectra.add_argument("--precursor-mz", choices=["msn_value_1", "msn_value_2"], metavar="MEMBER",
                         help="the index member that holds the precursor m/z: msn_value_1 or msn_value_2 "
                              "(corvane-info --precursor-evidence shows which) (default: none declared)")
    spectra.add_argument("--ms-level", type=int, metavar="N", help="only scans of this MS level (default: all levels)")
    spectra.add_argument("--rt-range", type=float, nargs=2, metavar=("LOW", "HIGH"),
                         help="only scans in this retention time range, seconds (default: all)")
    spectra.add_argument("--top-n", type=int, metavar="N",
                         help="only each spectrum's N most intense peaks (default: all)")
    spectra.add_argument("--min-intensity", type=float, metavar="X",
                         help="only peaks at least this intense (default: all)")
    conv.add_argument("-o", "--output", metavar="FILE", help="CSV table of what was done (default: standard output)")
    conv.add_argument("--json", metavar="FILE", help="also as JSON, a list of objects (default: none)")
    return parser


def read_mz_file(path: str) -> List[float]:
    """The m/z values of FILE, one a line; blank lines and everything after a # are
    ignored. _Usage naming the file and line of the first that is not a positive m/z."""
    values = []
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            for number, line in enumerate(f, 1):
                text = line.split("#", 1)[0].strip()
                if not text:
                    continue
                try:
                    values.append(_positive_mz(text))
                except ValueError:
                    raise _Usage("%s:%d: not a positive m/z: %r" % (path, number, text)) from None
    except OSError as e:
        raise _Usage("--mz-file %s: %s" % (path, e.strerror or e)) from None
    return values


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


def _print_missing(error: ImportError) -> None:
    """A missing package as one line on standard error (batch's own messages already
    name the command and what to install)."""
    text = str(error)
    print(text if text.startswith("corvane-batch") else "corvane-batch: %s" % text, file=sys.stderr)


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


def _check_options(args: argparse.Namespace) -> None:
    """The options, refused here, before anything runs."""
    if args.workers is not None and args.workers < 1:
        raise _Usage("--workers must be at least 1")
    if args.threads < 1:
        raise _Usage("--threads must be at least 1")
    if args.scheduler is not None and args.workers is not None:
        raise _Usage("--workers sizes this machine's threads or cluster; a scheduler brings its own workers")
    if args.scheduler is not None and (args.local or args.cluster):
        raise _Usage("--scheduler runs the batch on that cluster; --local and --cluster are for this machine")
    if getattr(args, "ms_level", None) is not None and args.ms_level < 1:
        raise _Usage("--ms-level must be at least 1 (leave it out for all levels)")
    if getattr(args, "rt_range", None) is not None:
        low, high = args.rt_range
        if not (math.isfinite(low) and math.isfinite(high) and low <= high):
            raise _Usage("--rt-range needs finite LOW <= HIGH")
    if args.command == "xic":
        for name in args.mz_file:
            args.mz.extend(read_mz_file(name))
        if not args.mz:
            raise _Usage("xic needs target m/z values: --mz MZ [MZ ...] or --mz-file FILE")
    if args.command == "convert":
        if args.top_n is not None and args.top_n < 1:
            raise _Usage("--top-n must be at least 1")
        if args.min_intensity is not None and not math.isfinite(args.min_intensity):
            raise _Usage("--min-intensity must be a finite number")
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
        _check_options(args)
        security = _security(args)
        if args.scheduler is None and security is not None:
            raise _Usage("the local cluster listens on 127.0.0.1 only; TLS options need --scheduler")
    except _Usage as e:
        parser.error(str(e))

    # Imported only now: --help and usage errors should not wait for pandas.
    import meridel
    try:
        from meridel import batch
    except ImportError as e:  # one line that says what to install
        _print_missing(e)
        return EXIT_USAGE

    progress = not args.no_progress and sys.stderr.isatty()
    try:
        if args.scheduler is not None:
            distributed = batch._distributed()
            if security is None and not args.scheduler.startswith("tls://") and not _is_loopback(args.scheduler):
                print("corvane-batch: warning: %s is reached without TLS: whoever can reach that scheduler "
                      "can run code on its workers" % args.scheduler, file=sys.stderr)
            client = distributed.Client(args.scheduler, security=security, timeout="%gs" % args.timeout)
        else:
            client = None
    except ImportError as e:
        _print_missing(e)
        return EXIT_USAGE
    except Exception as e:  # refused, timed out, TLS handshake or configuration: all the same here
        print("corvane-batch: cannot reach the scheduler %s: %s" % (args.scheduler, e), file=sys.stderr)
        return EXIT_CLUSTER

    # Absolute paths in the tables, whichever way the runs were named.
    runs = [os.path.abspath(run) for run in args.runs]
    local = True if args.local else False if args.cluster else None
    options = dict(client=client, workers=args.workers, threads=args.threads, progress=progress, local=local,
                   salvage=args.salvage)
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", meridel.DamagedDataWarning)
            warnings.simplefilter("always", UserWarning)
            if args.command == "summary":
                frame = batch.summaries(runs, **options)
                _write_table(frame, args.output, args.json)
                failed = frame["error"].notna()
            elif args.command == "xic":
                frame = batch.xics(runs, args.mz, ppm=args.ppm, da=args.da, ms_level=args.ms_level,
                                   rt_range=tuple(args.rt_range) if args.rt_range else None, **options)
                _write_table(frame, args.output, None)
                failed = frame["error"].notna()
            else:
                frame = batch.convert(runs, args.out_dir, compression=args.compression, redo=args.redo,
                                      format=args.format, precursor_mz=args.precursor_mz, centroid=args.centroid,
                                      ms_level=args.ms_level,
                                      rt_range=tuple(args.rt_range) if args.rt_range else None, top_n=args.top_n,
                                      min_intensity=args.min_intensity, **options)
                _write_table(frame, args.output, args.json)
                failed = frame["status"] == "failed"
    except ImportError as e:  # distributed missing, found out when a cluster was needed
        _print_missing(e)
        return EXIT_USAGE
    except ValueError as e:  # arguments the batch refuses (ppm <= 0, ...)
        print("corvane-batch: %s" % e, file=sys.stderr)
        return EXIT_USAGE
    finally:
        if client is not None:
            client.close()

    damaged = False
    for warning in caught:
        if issubclass(warning.category, UserWarning):
            damaged = damaged or issubclass(warning.category, meridel.DamagedDataWarning)
            print("corvane-batch: warning: %s" % warning.message, file=sys.stderr)
        else:
            warnings.showwarning(warning.message, warning.category, warning.filename, warning.lineno)
    for line in frame.loc[failed, ["path", "error"]].drop_duplicates().itertuples(index=False):
        print("corvane-batch: %s: %s" % (line.path, line.error), file=sys.stderr)
    if failed.any():
        return EXIT_RUN_FAILED
    return EXIT_DAMAGED if damaged else EXIT_OK


if __name__ == "__main__":
    sys.exit(main())
