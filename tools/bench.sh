#!/usr/bin/env bash
# Runs every benchmark script in bench/ against a built tree; each prints its own lines.
set -uo pipefail
build=$(cd "${1:?build dir}" && pwd)
cd "$(dirname "$0")/.."
status=0
for script in bench/*.sh; do
  bash "$script" "$build" || { echo "benchmark $script failed" >&2; status=1; }
done
exit $status
