#!/usr/bin/env bash
# Log writer vs spdlog's async logger.
set -euo pipefail
build=${1:?build dir}
"$build/bench/bench_log" "$(mktemp -d)/log"
