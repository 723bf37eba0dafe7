#!/usr/bin/env bash
# How fast the reader refreshes many channels from a local server, against newsboat refreshing
# the same feeds: wall time and peak memory of `nbtool refresh` (the real retrieval queue, four
# workers) cold and warm, and of `newsboat -x reload` with four reload threads. Run by hand
# (scripts/bench, or scripts/bench refresh); never part of the tests.
#
#   bench/refresh_vs_newsboat.sh [--feeds N] [--items M] [--keep]
#
# newsboat 2.21 keeps no validators from a feed's first download, so its second run downloads
# everything again and its first run answered wholly with 304 is the third: all three are timed
# and our warm run is compared with the third. Goals (reported, not enforced): our cold run at
# most half newsboat's, our warm run at most a tenth of its all-304 run, our peak memory below its.
# Installs newsboat and GNU time when missing (only here: the build and the tests need neither).
# BUILD_DIR (default build-bench) chooses the release build folder.
set -euo pipefail
cd "$(dirname "$0")/.."

feeds=500
items=50
keep=0
while [ $# -gt 0 ]; do
  case "$1" in
    --feeds) feeds="$2"; shift 2 ;;
    --items) items="$2"; shift 2 ;;
    --keep) keep=1; shift ;;
    *) echo "usage: $0 [--feeds N] [--items M] [--keep]" >&2; exit 2 ;;
  esac
done

# ---- Build and tools ----

build="${BUILD_DIR:-build-bench}"
jobs=$(nproc 2>/dev/null || echo 2)
bash scripts/setup
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DNUBREL_TESTS=OFF -DNUBREL_BENCH=ON > /dev/null
cmake --build "$build" -j "$jobs" --target nbtool feed_server
nbtool="$PWD/$build/src/tools/nbtool"
server="$PWD/$build/bench/feed_server"

missing=()
command -v newsboat > /dev/null || missing+=(newsboat)
[ -x /usr/bin/time ] || missing+=(time)
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -q
  $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# ---- A fresh device root, a fresh newsboat, the server ----

work=$(mktemp -d "${TMPDIR:-/tmp}/nubrel-refresh-bench.XXXXXX")
cleanup() {
  exec 3>&-  # the server ends when its stdin closes
  if [ "$keep" = 1 ]; then echo "kept $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT

root="$work/device"
channels="$root/My Documents/Channels"  # where the reader's subscription list lives on the device
mkdir -p "$channels" "$work/newsboat" "$work/home"
printf 'reload-threads 4\n' > "$work/newsboat/config"

exec 3> >(exec "$server" --feeds "$feeds" --items "$items" \
  --opml "$channels/myChannels.opml" --urls "$work/newsboat/urls" > "$work/port")
for _ in $(seq 100); do
  [ -s "$work/port" ] && break
  sleep 0.1
done
port=$(head -n1 "$work/port")
[ -n "$port" ] || { echo "the feed server did not start" >&2; exit 1; }

# The server's count of full answers and 304s since the last call, as "200s 304s".
server_counts() {
  exec 4<> "/dev/tcp/127.0.0.1/$port"
  printf 'GET /stats?reset=1 HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n' >&4
  awk '$1 == "200" && NF == 2 { full = $2 } $1 == "304" && NF == 2 { same = $2 }
       END { print full + 0, same + 0 }' <&4
  exec 4<&-
}

# run NAME COMMAND...: times one run; its output stays in $work/NAME.out and .err.
declare -A wall peak answers
run() {
  local name="$1"
  shift
  server_counts > /dev/null
  if ! /usr/bin/time -f '%e %M' -o "$work/$name.time" "$@" > "$work/$name.out" 2> "$work/$name.err" 3>&-; then
    echo "$name failed:" >&2
    tail -n 20 "$work/$name.err" >&2
    exit 1
  fi
  read -r wall[$name] peak[$name] < <(tail -n1 "$work/$name.time")
  answers[$name]=$(server_counts)
}

# newsboat's home is the work folder too, so nothing of the user's own newsboat is touched.
newsboat_reload=(env HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config"
  XDG_DATA_HOME="$work/home/.local/share" newsboat -x reload -u "$work/newsboat/urls"
  -c "$work/newsboat/cache.db" -C "$work/newsboat/config")

echo "refreshing $feeds channels of $items items from 127.0.0.1:$port ($(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg))"
run nubrel-cold "$nbtool" refresh --root "$root"
run nubrel-warm "$nbtool" refresh --root "$root"
# The first all-304 run also stores the new flags it clears (every item file changes); from the
# second on an update of unchanged feeds rewrites only the state files: both are shown.
run nubrel-warm-2 "$nbtool" refresh --root "$root"
run newsboat-1 "${newsboat_reload[@]}"
run newsboat-2 "${newsboat_reload[@]}"
run newsboat-3 "${newsboat_reload[@]}"

# ---- Report ----

printf '\n%-14s %9s %9s %7s %7s\n' run 'wall s' 'peak MiB' 200s 304s
for name in nubrel-cold nubrel-warm nubrel-warm-2 newsboat-1 newsboat-2 newsboat-3; do
  read -r full same <<< "${answers[$name]}"
  printf '%-14s %9.2f %9.1f %7d %7d\n' "$name" "${wall[$name]}" \
    "$(awk -v k="${peak[$name]}" 'BEGIN { print k / 1024 }')" "$full" "$same"
done

# ratio LABEL OURS THEIRS OP GOAL: prints ours/theirs and whether it meets "OP GOAL" (<= or <).
ratio() {
  awk -v label="$1" -v ours="$2" -v theirs="$3" -v op="$4" -v goal="$5" 'BEGIN {
    r = theirs > 0 ? ours / theirs : 0
    met = op == "<" ? r < goal : r <= goal
    printf "%-40s %6.3f  (goal %s %s: %s)\n", label, r, op, goal, (met ? "met" : "NOT met")
  }'
}
max_peak() {
  local most=0 name
  for name in "$@"; do
    [ "${peak[$name]}" -gt "$most" ] && most=${peak[$name]}
  done
  echo "$most"
}
ours_peak=$(max_peak nubrel-cold nubrel-warm nubrel-warm-2)
theirs_peak=$(max_peak newsboat-1 newsboat-2 newsboat-3)
echo
ratio "cold: nubrel / newsboat run 1" "${wall[nubrel-cold]}" "${wall[newsboat-1]}" "<=" 0.5
ratio "warm: nubrel / newsboat run 3 (all 304)" "${wall[nubrel-warm]}" "${wall[newsboat-3]}" "<=" 0.1
ratio "warm again: nubrel run 3 / newsboat run 3" "${wall[nubrel-warm-2]}" "${wall[newsboat-3]}" "<=" 0.1
ratio "peak memory: nubrel / newsboat (max)" "$ours_peak" "$theirs_peak" "<" 1

# ---- Did every run do the work it was timed for? ----

failed=0
check() {
  if [ "$2" = "$3" ]; then
    echo "ok: $1 ($2)"
  else
    echo "FAILED: $1: $2, expected $3"
    failed=1
  fi
}
echo
# (How many items each channel keeps is the reader's expiry setting, 15 by default.)
check "nubrel cold: channels updated" \
  "$(grep -c '"result":"updated"' "$work/nubrel-cold.out" || true)" "$feeds"
check "nubrel warm: channels with \"Success. No changes.\"" \
  "$(grep -c '"Success\. No changes\."' "$work/nubrel-warm.out" || true)" "$feeds"
check "nubrel cold: full answers" "${answers[nubrel-cold]% *}" "$feeds"
check "nubrel warm: 304 answers" "${answers[nubrel-warm]#* }" "$feeds"
check "nubrel warm again: 304 answers" "${answers[nubrel-warm-2]#* }" "$feeds"
check "newsboat run 1: full answers" "${answers[newsboat-1]% *}" "$feeds"
check "newsboat run 3: 304 answers" "${answers[newsboat-3]#* }" "$feeds"
echo "nubrel cold summary: $(tail -n1 "$work/nubrel-cold.out")"
echo "nubrel warm summary: $(tail -n1 "$work/nubrel-warm.out")"
exit "$failed"
