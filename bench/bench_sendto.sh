#!/usr/bin/env bash
# HBStream__sendTo against cp on the same 256 MiB file, in one run; prints
# the time ratio. Builds the benchmark into build/ when needed.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build >/dev/null
cmake --build build -j2 --target bench_sendto >/dev/null
build/bench/bench_sendto "$@"
