#!/usr/bin/env bash
# GetFileHexMd5 against md5sum on the same 1 GiB file of random bytes, in one run: both read
# from the page cache (warmed once), each timed over several runs, the best run counting.
# Usage: bench/md5.sh BUILD_DIR
set -euo pipefail
build=${1:?usage: bench/md5.sh BUILD_DIR}
runs=${MD5_BENCH_RUNS:-5}
if ! log=$(cmake --build "$build" --target orvo_bench_md5 2>&1); then
  echo "$log" >&2
  exit 1
fi
tool="$build/bench/orvo_bench_md5"

work=$(mktemp -d "${TMPDIR:-/tmp}/orvo-bench-md5.XXXXXX")
trap 'rm -rf "$work"' EXIT
export ORVO_PREFIX="$work/prefix"
data="$work/data.bin"
head -c 1073741824 /dev/urandom > "$data"

now() { date +%s%N; }
# Nanoseconds of one run of the command.
elapsed() {
  local start end
  start=$(now)
  "$@" > /dev/null
  end=$(now)
  echo $((end - start))
}
seconds() { awk -v ns="$1" 'BEGIN { printf "%.3f", ns / 1e9 }'; }

theirs=$(md5sum "$data" | cut -d' ' -f1)
ours=$("$tool" "$data")
if [ "$ours" != "$theirs" ]; then
  echo "bench md5: digest mismatch: ours $ours, md5sum $theirs" >&2
  exit 1
fi

# Alternating runs, so that load from elsewhere on the machine falls on both alike.
our_best=""
anchor_best=""
for _ in $(seq "$runs"); do
  t=$(elapsed "$tool" "$data")
  if [ -z "$our_best" ] || [ "$t" -lt "$our_best" ]; then our_best=$t; fi
  t=$(elapsed md5sum "$data")
  if [ -z "$anchor_best" ] || [ "$t" -lt "$anchor_best" ]; then anchor_best=$t; fi
done
ratio=$(awk -v a="$anchor_best" -v o="$our_best" 'BEGIN { printf "%.2f", a / o }')
echo "bench md5: $(seconds "$our_best") s anchor md5sum $(seconds "$anchor_best") ratio $ratio"
