#!/usr/bin/env bash
# The demo: stamps a channel configuration onto a copy of the built installer, runs it in a
# fresh emulated machine (prefix) and shows what it logged.
set -euo pipefail
build=$(cd "${1:?build dir}" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
demo="$root/.demo"
rm -rf "$demo"
mkdir -p "$demo"
export ORVO_PREFIX="$demo/prefix"

installer="$demo/OrvoDownloader"
cp "$build/app/OrvoDownloader" "$installer"
echo "== stamping the channel configuration"
"$build/tools/stamp/orvo-stamp" add "$installer" "$root/tools/demo/channel.json"
"$build/tools/stamp/orvo-stamp" list "$installer"

echo "== running the installer"
"$installer"
echo "exit code: $?"

echo "== the log"
log=$(find "$ORVO_PREFIX/drive_c" -path '*GameDownloadLog*' -name '*.log' | head -n 1)
echo "$log"
cat "$log"
