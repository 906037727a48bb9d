#!/usr/bin/env bash
# The fuzz smoke check of `make test`: every fuzz target for a few seconds
# (FUZZ_SMOKE_SECONDS, default 5), two at a time. Fails on any crash.
set -euo pipefail
cd "$(dirname "$0")/.."
FUZZ_SECONDS=${FUZZ_SMOKE_SECONDS:-5} FUZZ_JOBS=${FUZZ_JOBS:-2} exec bash scripts/fuzz.sh
