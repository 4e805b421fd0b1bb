# The client's side of the socket: no service, however hostile, hands a
# client a descriptor or makes it block where an interrupt cannot end it,
# and a follower (trace, status --watch) ends at once on INT, TERM and HUP
# whatever it is blocked in.  Each section is a CTest case of its own
# ($CASE); run alone, the script runs them all.
# shellcheck source=lib.sh
source "$(dirname "$0")/lib.sh"

sock=$ELEVMOD_SOCKET
BADCLIENT=$BIN/tests/badclient
has_line() { grep -q "$2" "$1" 2>/dev/null; }
gone() { ! alive "$1"; }
tracers_are() { [ "$(json_field tracers)" == "$1" ]; }

# any_thread_in PID NR: some thread of PID sleeps in system call NR.
any_thread_in() {
  local t
  for t in /proc/"$1"/task/*; do
    [ "$(cut -d' ' -f1 "$t/syscall" 2>/dev/null)" == "$2" ] && return 0
  done
  return 1
}

# ends_soon PID: PID ends within 5 s (a follower that ignores the signal
# would wait out the service's 10 s, or a peer's linger of minutes).
ends_soon() {
  local deadline=$(( $(date +%s%N) + 5000000000 ))
  while alive "$1"; do
    [ "$(date +%s%N)" -lt $deadline ] || return 1
    sleep 0.01
  done
}

# fake MODE [SECS]: a fake service of this user on $sock, as $faker, once
# it listens.  False, having said so, where there is no loopback.
fake() {
  "$BADCLIENT" "$sock" "fake$1" "${2:-1}" >"$scratch/fake" &
  faker=$!
  wait_while_alive $faker has_line "$scratch/fake" ready ||
    { fail "the fake service never listened"; return 1; }
}
unfake() {
  kill $faker 2>/dev/null
  wait $faker 2>/dev/null
  rm -f "$sock"
}

# A service that hands over a socket lingering ten minutes: the client
# takes none (it refuses one that comes with the answer) and ends as soon as
# it has what it asked for; a timeout would end one that blocked.
if want hostile; then
  if fake linger 600; then
    timeout 60 "$ELEVMOD" status >"$scratch/out" 2>"$scratch/err"
    expect "status past a lingering socket sent after the answer" \
      "$?:$(head -n 1 "$scratch/out"):$(cat "$scratch/err")" \
      "0:state:      offline:"
    check "trace refuses a lingering socket sent with the trace" 1 \
      '{"time":0.000000,"event":"call","pid":0,"comm":"","call":"start","nr":323,"args":[],"result":0,"delivered":false}'$'\n' \
      "elevmod: trace: the service on $sock sent descriptors with the trace; refused them (is it elevmod?)"$'\n' \
      timeout 60 "$ELEVMOD" trace --json
    unfake
  fi
  if fake replyfd 600; then
    for verb in status unload; do
      check "$verb refuses an answer that carries a descriptor" 1 "" \
        "elevmod: $verb: the service on $sock sent descriptors with its answer; refused them (is it elevmod?)"$'\n' \
        timeout 60 "$ELEVMOD" $verb
    done
    check "run refuses an answer that carries a descriptor" 125 "" \
      "elevmod: run: cannot attach: the service on $sock sent descriptors with its answer; refused them (is it elevmod?)"$'\n' \
      timeout 60 "$ELEVMOD" run "$BIN/tests/rawcall" 323
    unfake
  fi
fi

# A service that takes the request and never answers: an interrupt ends a
# follower at once, quietly (status 0, nothing said), though the service
# has ten seconds to answer.
if want silent; then
  fake silent
  n=0
  for follower in "status --watch" "status --watch --json" "trace"; do
    for sig in INT TERM HUP; do
      n=$((n + 1))
      # shellcheck disable=SC2086  # the verb and its options
      "$ELEVMOD" $follower >"$scratch/out" 2>"$scratch/err" &
      pid=$!
      wait_until has_line "$scratch/fake" "asked $n"
      kill -$sig $pid
      ends_soon $pid || fail "$follower waited for its answer past SIG$sig"
      wait $pid
      expect "$follower ends quietly on SIG$sig" \
        "$?:$(cat "$scratch/err")" "0:"
    done
  done
  unfake
fi

# A tracer whose output nobody reads (a paused terminal, a full pipe)
# still ends at once on an interrupt.
if want blockedwrite; then
  load --max-waiting 777001
  for sig in INT TERM HUP; do
    hold_output "$scratch/traced"
    "$ELEVMOD" trace >"$held" 2>"$scratch/err" &
    pid=$!
    wait_until tracers_are 1
    "$ELEVMOD" run "$BIN/tests/rawcall" -n 2000 324 0 1 2 >/dev/null
    wait_until any_thread_in $pid 1
    kill -$sig $pid
    ends_soon $pid || fail "trace blocked in a write ignored SIG$sig"
    wait $pid
    expect "trace blocked in a write ends quietly on SIG$sig" \
      "$?:$(cat "$scratch/err")" "0:"
    release_output
    wait $held_reader
    wait_until tracers_are 0
  done
  unload
fi

# A follower whose reader goes away ends as a writer to a closed pipe does.
if want closedpipe; then
  load --max-waiting 777002
  "$ELEVMOD" trace 2>"$scratch/err" | head -n 1 >"$scratch/first" &
  wait_until tracers_are 1
  "$ELEVMOD" run "$BIN/tests/rawcall" 323 >/dev/null
  wait_until has_line "$scratch/first" start
  # Its next write finds the reader gone.
  called_out() {
    "$ELEVMOD" run "$BIN/tests/rawcall" 325 >/dev/null
    tracers_are 0
  }
  wait_until called_out
  wait
  expect "trace's reader had its line" "$(grep -c 'start() = 0' "$scratch/first")" 1
  expect "and trace ended without a word" "$(cat "$scratch/err")" ""
  wait_until tracers_are 0
  unload
fi

finish
