# Measures, per request: the producer's sending phase under elevmod (stdout
# to a file), raw 324 calls through elevmod (the service's floor), and bare
# calls of a trivial system call (what a kernel module would approach).
# Each figure is the median of several runs of 10,000 requests.
set -u
BIN=${1:?usage: bench.sh BUILD_DIR}
ELEVMOD=$BIN/elevmod
RAWCALL=$BIN/tests/rawcall
RUNS=${RUNS:-7}
N=10000
work=$(mktemp -d)
export ELEVMOD_SOCKET=$work/socket
trap '"$ELEVMOD" unload >/dev/null 2>&1; rm -rf "$work"' EXIT

median() { sort -n | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }

producer_ns() {
  "$ELEVMOD" load || exit 1
  SENDCLOCK_OUT=$work/ns LD_PRELOAD=$BIN/bench/libsendclock.so \
    "$ELEVMOD" run -- "$BIN/producer" >"$work/out" 2>&1 || {
      echo "bench: producer failed: $(tail -n 1 "$work/out")" >&2; exit 1; }
  "$ELEVMOD" unload
  cat "$work/ns"
}

raw_ns() {
  "$ELEVMOD" load || exit 1
  "$ELEVMOD" run -- "$RAWCALL" -t -n $N 324 0 2 1 | sed -n 's/^ns //p'
  "$ELEVMOD" unload
}

bare_ns() {
  "$RAWCALL" -t -n $N 39 | sed -n 's/^ns //p'  # getpid
}

for kind in producer raw bare; do
  for _ in $(seq "$RUNS"); do "${kind}_ns"; done | median >"$work/$kind"
done
producer=$(cat "$work/producer")
raw=$(cat "$work/raw")
bare=$(cat "$work/bare")

awk -v p="$producer" -v r="$raw" -v b="$bare" -v n=$N -v runs="$RUNS" \
    -v cpu="$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //')" \
    -v kernel="$(uname -r)" 'BEGIN {
  printf "machine: %s, %d cores, Linux %s\n", cpu, '"$(nproc)"', kernel
  printf "median of %d runs of %d requests\n", runs, n
  printf "  producer sending phase under elevmod: %8.2f us/request\n", p / n / 1000
  printf "  raw 324 calls through elevmod:        %8.2f us/request\n", r / n / 1000
  printf "  bare getpid calls:                    %8.3f us/request\n", b / n / 1000
  printf "  producer / elevmod floor:  %6.2fx (goal: within 1.50x)\n", p / r
  printf "  elevmod floor / bare call: %6.1fx\n", r / b
}'
