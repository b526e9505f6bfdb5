#!/usr/bin/env bash
# DownloadFile of a 1 GiB file from a loopback server against `curl -o` of the same file
# from the same server, in the same run: wall time, peak resident size, and the growth of
# the downloader's resident size over its idle size.
set -euo pipefail
build=$(cd "${1:?build dir}" && pwd)
bin=$build/bench
work=$(mktemp -d)
export ORVO_PREFIX=$work/prefix
unset http_proxy HTTP_PROXY https_proxy HTTPS_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY

cleanup() {
  if [[ -n ${server_in:-} ]]; then exec {server_in}>&-; fi
  if [[ -n ${server_pid:-} ]]; then wait "$server_pid" 2>/dev/null || true; fi
  rm -rf "$work" "${out:-}"
}
trap cleanup EXIT

# Downloads land in memory when it can hold them, so the disk's write-back does not decide
# the figure.
out=$work/out
if [[ -d /dev/shm && $(df -Pk /dev/shm | awk 'NR==2{print $4}') -gt 2500000 ]]; then
  out=$(mktemp -d /dev/shm/orvo-bench.XXXXXX)
fi
mkdir -p "$work/www" "$out"
truncate -s 1G "$work/www/big.bin"
head -c 4096 /dev/urandom > "$work/www/small.bin"

# The server lives until its stdin (our fifo end) closes.
mkfifo "$work/server.in"
"$bin/bench_download_server" "$work/www" < "$work/server.in" > "$work/server.port" &
server_pid=$!
exec {server_in}> "$work/server.in"
for _ in $(seq 100); do [[ -s $work/server.port ]] && break; sleep 0.05; done
port=$(cat "$work/server.port")
base=http://127.0.0.1:$port

measure() {  # measure <command...> -> "seconds kib" on stdout
  "$bin/bench_run_measured" "$@" 2> "$work/measured" > "$work/stdout"
  grep '^measured' "$work/measured" | awk '{print $2, $4}'
}

best_ours=999999 best_curl=999999 ours_kib=0 curl_kib=0 growth_kib=0
for _ in 1 2 3 4 5; do
  rm -f "$out/big.bin"
  read -r s k < <(measure "$bin/bench_download_client" "$base/small.bin" "$base/big.bin" "Z:${out//\//\\}\\big.bin")
  size=$(stat -c %s "$out/big.bin")
  [[ $size == 1073741824 ]] || { echo "downloaded $size bytes" >&2; exit 1; }
  read -r _ idle _ peak < "$work/stdout"
  best_ours=$(awk -v a="$best_ours" -v b="$s" 'BEGIN{print (b<a)?b:a}')
  (( k > ours_kib )) && ours_kib=$k
  (( peak - idle > growth_kib )) && growth_kib=$((peak - idle))

  rm -f "$out/big.bin"
  read -r s k < <(measure curl -s --noproxy '*' -o "$out/big.bin" "$base/big.bin")
  best_curl=$(awk -v a="$best_curl" -v b="$s" 'BEGIN{print (b<a)?b:a}')
  (( k > curl_kib )) && curl_kib=$k
done

awk -v ours="$best_ours" -v curl="$best_curl" \
  'BEGIN{printf "bench download_1gib_time: %.3f s anchor curl-o %.3f ratio %.2f\n", ours, curl, curl/ours}'
awk -v ours="$ours_kib" -v curl="$curl_kib" \
  'BEGIN{printf "bench download_peak_rss: %.1f MiB anchor curl-o %.1f ratio %.2f\n", ours/1024, curl/1024, curl/ours}'
# The growth against a budget of 16 MiB; at least 1 KiB so the ratio stays finite.
awk -v g="$growth_kib" \
  'BEGIN{if (g < 1) g = 1; printf "bench download_rss_growth: %.2f MiB anchor budget %.1f ratio %.1f\n", g/1024, 16, 16384/g}'
