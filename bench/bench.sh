# Measures what a call of 324 costs, side by side in one run, and prints each
# figure with its ratio to a bare responder process (bench/responder, the
# floor of any design that answers from a separate process):
# - a bare system call (getpid), what a kernel module would approach;
# - the bare responder; elevmod with 0, 100, 1,000 and 10,000 idle processes
#   attached; the producer's sending phase under elevmod;
# - the producer's sending phase with one and with 64 stopped tracers
#   attached, and the service's resident memory then;
# - strace -e inject answering the same calls, when strace is installed;
# - the total calls per second through elevmod with 1, 2, 4 and 8 callers.
# Each per-call figure is the median of $RUNS runs of $N calls.
set -u
BIN=${1:?usage: bench.sh BUILD_DIR}
ELEVMOD=$BIN/elevmod
RAWCALL=$BIN/tests/rawcall
RESPONDER=$BIN/bench/responder
RUNS=${RUNS:-5}
N=${N:-20000}
IDLE_COUNTS=${IDLE_COUNTS:-"0 100 1000 10000"}
work=$(mktemp -d)
export ELEVMOD_SOCKET=$work/socket
cleanup() {
  jobs -p | xargs -r kill 2>/dev/null
  wait 2>/dev/null
  "$ELEVMOD" unload >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT

median() { sort -n | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }

# calls_ns [WRAPPER...]: nanoseconds that $N calls of 324 took, wrapped.
calls_ns() {
  "$@" "$RAWCALL" -t -n "$N" 324 0 2 1 | sed -n 's/^ns //p'
}

# field NAME: one figure of the service's status.
field() {
  "$ELEVMOD" status --json | sed -n "s/.*\"$1\":\([0-9]*\).*/\1/p"
}

# until_listeners COUNT: waits (two minutes at most) for COUNT attached.
until_listeners() {
  for _ in $(seq 1200); do
    [ "$(field listeners)" == "$1" ] && return 0
    sleep 0.1
  done
  echo "bench: $(field listeners) processes attached, not $1" >&2
  return 1
}

# stopped_tracers_ns COUNT: the producer's sending phase with COUNT tracers
# that are stopped throughout; the service's resident memory at the end
# goes to $work/rss-COUNT.
stopped_tracers_ns() {
  local tracers=() pid
  for _ in $(seq "$1"); do
    "$ELEVMOD" trace >/dev/null 2>&1 &
    tracers+=($!)
  done
  for _ in $(seq 1000); do [ "$(field tracers)" == "$1" ] && break; sleep 0.01; done
  kill -STOP "${tracers[@]}"
  producer_ns
  pid=$(pgrep -f "^$ELEVMOD load$" | head -n 1)
  sed -n 's/^VmRSS:[[:space:]]*\([0-9]*\) kB$/\1/p' "/proc/$pid/status" >>"$work/rss-$1"
  kill -KILL "${tracers[@]}"
  wait "${tracers[@]}" 2>/dev/null
}

producer_ns() {
  SENDCLOCK_OUT=$work/ns LD_PRELOAD=$BIN/bench/libsendclock.so \
    "$ELEVMOD" run -- "$BIN/producer" >"$work/out" 2>&1 || {
      echo "bench: producer failed: $(tail -n 1 "$work/out")" >&2; exit 1; }
  cat "$work/ns"
}

# The bare call and the responder, alternating with elevmod's floor so that
# a drift in the machine's speed touches them alike.
"$ELEVMOD" load || exit 1
for _ in $(seq "$RUNS"); do
  "$RAWCALL" -t -n "$N" 39 | sed -n 's/^ns //p' >>"$work/bare"
  calls_ns "$RESPONDER" >>"$work/responder"
  calls_ns "$ELEVMOD" run >>"$work/idle-0"
  producer_ns >>"$work/producer"
  stopped_tracers_ns 1 >>"$work/traced"
  stopped_tracers_ns 64 >>"$work/traced-64"
done
"$ELEVMOD" unload >/dev/null

# The floor with idle processes attached, each its own process tree that
# makes one call, to show it is served, and then sleeps.
for count in $IDLE_COUNTS; do
  [ "$count" -eq 0 ] && continue
  "$ELEVMOD" load || exit 1
  for _ in $(seq "$count"); do
    "$ELEVMOD" run sh -c '"$1" 324 0 1 2 >/dev/null; exec sleep 100000' sh \
      "$RAWCALL" &
  done
  until_listeners "$count" || exit 1
  for _ in $(seq 1200); do [ "$(field accepted)" == "$count" ] && break; sleep 0.1; done
  echo "$(field accepted)" >"$work/served-$count"
  for _ in $(seq "$RUNS"); do calls_ns "$ELEVMOD" run >>"$work/idle-$count"; done
  jobs -p | xargs -r kill 2>/dev/null
  wait 2>/dev/null
  "$ELEVMOD" unload >/dev/null
done

if command -v strace >/dev/null; then
  for _ in $(seq "$RUNS"); do
    calls_ns strace -f -qq -o /dev/null -e trace=324 -e inject=324:retval=0 \
      >>"$work/strace"
  done
fi

# Throughput: CALLERS processes at once, each under elevmod run; the total
# over the longest caller's time.
"$ELEVMOD" load || exit 1
for callers in 1 2 4 8; do
  for _ in $(seq "$RUNS"); do
    for i in $(seq "$callers"); do
      calls_ns "$ELEVMOD" run >"$work/caller-$i" &
    done
    wait
    cat "$work"/caller-* | sort -n | tail -n 1 |
      awk -v c="$callers" -v n="$N" '{printf "%.0f\n", c * n / $1 * 1e9}' \
      >>"$work/rate-$callers"
    rm -f "$work"/caller-*
  done
done
"$ELEVMOD" unload >/dev/null

for f in "$work"/bare "$work"/responder "$work"/idle-* "$work"/producer \
         "$work"/traced "$work"/traced-64 "$work"/rss-* \
         "$work"/strace "$work"/rate-*; do
  [ -s "$f" ] && median <"$f" >"$f.median"
done
get() { cat "$work/$1.median" 2>/dev/null || echo 0; }

{
  echo "bare $(get bare)"
  echo "responder $(get responder)"
  for count in $IDLE_COUNTS; do
    echo "idle-$count $(get idle-$count)"
    echo "served-$count $(cat "$work/served-$count" 2>/dev/null || echo 0)"
  done
  echo "producer $(get producer)"
  echo "traced $(get traced)"
  echo "traced-64 $(get traced-64)"
  echo "rss-1 $(get rss-1)"
  echo "rss-64 $(get rss-64)"
  echo "strace $(get strace)"
  for callers in 1 2 4 8; do echo "rate-$callers $(get rate-$callers)"; done
} | awk -v n="$N" -v runs="$RUNS" \
    -v cpu="$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //')" \
    -v cores="$(nproc)" -v kernel="$(uname -r)" '
  { v[$1] = $2; order[++count] = $1 }
  function line(label, ns, goal) {
    printf "  %-48s %8.3f us  %5.2fx%s\n", label, ns / n / 1000,
      ns / v["responder"], goal
  }
  END {
    printf "machine: %s, %d cores, Linux %s\n", cpu, cores, kernel
    printf "per call of 324, median of %d runs of %d calls; ratio to the bare responder\n", runs, n
    line("bare getpid (what a kernel module approaches)", v["bare"], "")
    line("bare blocking-receive responder", v["responder"], "")
    for (i = 1; i <= count; i++) {
      k = order[i]
      if (k !~ /^idle-/) continue
      idle = substr(k, 6)
      goal = ""
      if (idle == 0)
        goal = sprintf("  (goal: within 1.25x)")
      else
        goal = sprintf("  (%.2fx of none; goal: within 1.25x; %d served)",
                       v[k] / v["idle-0"], v["served-" idle])
      line(sprintf("elevmod, %d idle processes attached", idle), v[k], goal)
    }
    line("producer sending phase under elevmod", v["producer"] * n / 10000,
      sprintf("  (%.2fx of elevmod; goal: within 1.50x)",
              v["producer"] * n / 10000 / v["idle-0"]))
    line("the same with a stopped tracer attached", v["traced"] * n / 10000,
      sprintf("  (%.2fx of no tracer; goal: within 1.10x; %.0f MB)",
              v["traced"] / v["producer"], v["rss-1"] / 1024))
    line("the same with 64 stopped tracers attached",
      v["traced-64"] * n / 10000,
      sprintf("  (%.2fx of no tracer; goal: within 1.10x; %.0f MB)",
              v["traced-64"] / v["producer"], v["rss-64"] / 1024))
    if (v["strace"] > 0)
      line("strace -e inject answering the same calls", v["strace"], "")
    else
      printf "  strace -e inject: strace is not installed\n"
    printf "total calls/s through elevmod, median of %d runs\n", runs
    for (c = 1; c <= 8; c *= 2)
      printf "  %d caller%s %12.0f\n", c, (c > 1 ? "s" : " "), v["rate-" c]
  }'
