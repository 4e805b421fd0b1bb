# The service holds: signals end a background service cleanly; no client can
# wedge it, lock others out or be handed a listener by someone it does not
# serve; concurrent loads leave exactly one service; clients wait for a
# stopped service only so long; the private directory survives any umask.
# Each section is a CTest case of its own ($CASE); run alone, the script
# runs them all.
# shellcheck source=lib.sh
source "$(dirname "$0")/lib.sh"

sock=$ELEVMOD_SOCKET
BADCLIENT=$BIN/tests/badclient
mkfifo "$scratch/go"

# service_pid VALUE: the pid of the background service loaded with
# --max-waiting VALUE (an odd value picks out this test's service).
service_pid() {
  pgrep -f "^$ELEVMOD load --max-waiting $1\$"
}

# A service that ended may linger as a zombie until its new parent reaps it.
gone() { ! alive "$1"; }
has_line() { grep -q "$2" "$1" 2>/dev/null; }

# Does a background service end on SIGTERM, SIGINT and SIGHUP as a
# foreground one does: socket and lock removed, attached calls then -1?
if want signals; then
  for sig in TERM INT HUP; do
    load --max-waiting 77700${#sig}
    pid=$(service_pid 77700${#sig})
    "$ELEVMOD" run sh -c '"$1" 324 0 1 2; read x <"$2"; "$1" 323' sh "$RAWCALL" \
      "$scratch/go" >"$scratch/attached" &
    wait_for_first_request
    kill -$sig "$pid"
    wait_until gone "$pid" || fail "background service ignores SIG$sig"
    expect "socket removed on SIG$sig" \
      "$(find "$scratch" -name 'socket*' | wc -l)" 0
    echo go >"$scratch/go"
    wait
    expect "attached call after SIG$sig" "$(cat "$scratch/attached")" $'0\n-1'
  done
fi


# A terminal's Ctrl-C and hang-up go to the process group that ran load,
# which the service has left; it stays in the caller's session (and so in
# its scheduler autogroup).
if want pgroup; then
  setsid sh -c 'trap : INT HUP; "$1" load --max-waiting 777010 || exit 1
    ps -o pgid=,sid= -p $$ >"$2"; kill -INT 0; kill -HUP 0' sh "$ELEVMOD" \
    "$scratch/loader" || fail "load from a process group of its own"
  pid=$(service_pid 777010)
  read -r loader_pgid loader_sid <"$scratch/loader"
  read -r service_pgid service_sid <<<"$(ps -o pgid=,sid= -p "$pid")"
  expect "service in a process group of its own" \
    "$(( service_pgid != loader_pgid ))" 1
  expect "service in its caller's session" "$service_sid" "$loader_sid"
  check "service outlives its loader's Ctrl-C and hang-up" 0 "" "" \
    sh -c '"$1" status >/dev/null' sh "$ELEVMOD"
  unload
fi


# Exactly one of eight concurrent loads wins; the others say so, and no
# service is left running that nobody can reach.
if want loads; then
  no_service_with() { [ -z "$(service_pid "$1")" ]; }
  for round in $(seq 10); do
    for i in $(seq 8); do
      "$ELEVMOD" load --max-waiting 5550$round >"$scratch/race-out.$i" \
        2>"$scratch/race-err.$i" &
    done
    wait
    expect "one load won (round $round)" \
      "$(cat "$scratch"/race-err.* | grep -c .)" 7
    expect "losers' message (round $round)" \
      "$(sort -u "$scratch"/race-err.*)" \
      "elevmod: load: a service is already loaded on $sock"
    expect "one service running (round $round)" \
      "$(service_pid 5550$round | wc -l)" 1
    unload
    expect "none left after unload (round $round)" \
      "$(wait_until no_service_with 5550$round && echo none)" none
  done
fi


# Hostile clients, each held while others use the service: a listener
# attached twice and then never called, connections that send nothing,
# requests whose replies are never read.
if want hostile; then
  load --max-waiting 888001
  "$BADCLIENT" "$sock" dup >"$scratch/dup" &
  dup=$!
  wait_until has_line "$scratch/dup" ready
  expect "copy of a listener refused" "$(cat "$scratch/dup")" \
    $'attach 0\nattach 17\ncall 0\nready'
  check "status beside a duplicated listener" 0 $'1\n' "" \
    sh -c '"$1" status --json | grep -c "\"listeners\":1,"' sh "$ELEVMOD"
  check "calls beside a duplicated listener" 0 $'0\n' "" \
    "$ELEVMOD" run "$RAWCALL" 324 0 3 4
  "$BADCLIENT" "$sock" idle 400 >"$scratch/idle" &
  idle=$!
  "$BADCLIENT" "$sock" noread 50 >"$scratch/noread" &
  noread=$!
  wait_until has_line "$scratch/idle" ready
  wait_until has_line "$scratch/noread" ready
  check "status beside idle connections" 0 "" "" \
    sh -c '"$1" status >/dev/null' sh "$ELEVMOD"
  check "calls beside idle connections" 0 $'0\n' "" \
    "$ELEVMOD" run "$RAWCALL" 324 0 5 6
  wait $idle
  expect "idle connections all dropped" \
    "$(sed -n 's/^dropped //p' "$scratch/idle")" \
    "$(sed -n 's/^ready //p' "$scratch/idle")"
  kill $dup $noread
  wait 2>/dev/null
  expect "accepted beside hostile clients" "$(json_field accepted)" 3
  unload
fi


# The service lifts its soft descriptor limit to the hard one; at the hard
# limit it refuses further attaches and goes on serving everyone attached
# (here 724 descriptors leave room for 80 listeners).
if want fdlimit; then
  prlimit --nofile=330:724 "$ELEVMOD" load --max-waiting 888003 ||
    fail "load under a low descriptor limit"
  pid=$(service_pid 888003)
  expect "soft limit lifted" \
    "$(awk '/^Max open files/ {print $4, $5}' "/proc/$pid/limits")" "724 724"
  "$ELEVMOD" run sh -c 'read x <"$2"; "$1" 324 0 1 2' sh "$RAWCALL" \
    "$scratch/go" >"$scratch/first" &
  first=$!
  for _ in $(seq 79); do "$ELEVMOD" run sleep 600 & done
  wait_until listeners_are 80
  check "attach beyond the limit refused" 125 "" \
    "elevmod: run: cannot attach: the service on $sock has no room for another process tree (Too many open files)"$'\n' \
    "$ELEVMOD" run "$RAWCALL" 323
  echo go >"$scratch/go"
  wait $first
  expect "attached before the limit still served" "$(cat "$scratch/first")" 0
  jobs -p | xargs -r kill 2>/dev/null
  wait
  unload
fi


# A client waits for a stopped service whose backlog is full only so long.
if want stopped; then
  load --max-waiting 888002
  pid=$(service_pid 888002)
  stop "$pid"
  "$BADCLIENT" "$sock" idle 100 >"$scratch/backlog" &
  hog=$!
  wait_until has_line "$scratch/backlog" ready
  "$ELEVMOD" run "$RAWCALL" 323 >"$scratch/frozen-run" 2>&1 &
  frozen_run=$!
  stopped="no answer from $sock within 10 s: the service (pid $pid) is stopped; continue it (kill -CONT $pid)"
  check "connect to a stopped service times out" 1 "" \
    "elevmod: status: $stopped"$'\n' "$ELEVMOD" status
  wait $frozen_run
  expect "run against a stopped service: 125" "$?" 125
  expect "run against a stopped service says it timed out" \
    "$(cat "$scratch/frozen-run")" "elevmod: run: cannot attach: $stopped"
  kill -CONT "$pid"
  wait $hog
  unload
fi


# mkdir obeys the umask: the private directory must still be 0700, and one
# of ours that lost its owner's rights is repaired.
if want umask; then
  (
    unset ELEVMOD_SOCKET
    export XDG_RUNTIME_DIR=$scratch/xdg
    mkdir -m 700 "$XDG_RUNTIME_DIR"
    (umask 0177; "$ELEVMOD" load) || fail "load under umask 0177"
    expect "private dir under umask 0177" \
      "$(stat -c %a "$XDG_RUNTIME_DIR/elevmod")" 700
    check "serves under umask 0177" 0 $'0\n' "" "$ELEVMOD" run "$RAWCALL" 323
    chmod 600 "$XDG_RUNTIME_DIR/elevmod"
    check "status repairs the directory" 0 "" "" \
      sh -c '"$1" status >/dev/null' sh "$ELEVMOD"
    expect "repaired mode" "$(stat -c %a "$XDG_RUNTIME_DIR/elevmod")" 700
    unload
    echo "$passed $failed" >"$scratch/counts"
  )
  read -r passed failed <"$scratch/counts"
fi


# Clients hand nothing to a service that another user runs.
tracers_are_at() {
  [ "$(field_of "$("$ELEVMOD" status --json --socket "$1")" tracers)" == "$2" ]
}
if want otheruser; then
  if [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null; then
    chmod 755 "$scratch"
    mkdir -m 700 "$scratch/other"
    chown 65534:65534 "$scratch/other"
    other=$scratch/other/socket
    as_nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups)
    "${as_nobody[@]}" "$ELEVMOD" load --socket "$other" ||
      fail "load as nobody"
    chmod 711 "$scratch/other"
    refusal="refusing the service on $other: it runs as user nobody (uid 65534), not as you or root"
    check "run refuses another user's service" 125 "" \
      "elevmod: run: $refusal"$'\n' \
      "$ELEVMOD" run --socket "$other" "$RAWCALL" 323
    # Reading is another matter: root may look at a user's service.
    check "root reads another user's service" 0 $'1\n' "" \
      sh -c '"$1" status --json --socket "$2" | grep -c "\"state\":\"offline\""' \
      sh "$ELEVMOD" "$other"
    timeout 30 "$ELEVMOD" trace --socket "$other" >"$scratch/other-trace" \
      2>&1 &
    other_tracer=$!
    wait_until tracers_are_at "$other" 1
    expect "root traces another user's service" \
      "$("$ELEVMOD" status --json --socket "$other" | grep -c '"tracers":1')" 1
    kill $other_tracer
    wait $other_tracer
    expect "root's tracer ends quietly" "$?:$(cat "$scratch/other-trace")" "0:"
    check "unload refuses another user's service" 1 "" \
      "elevmod: unload: $refusal"$'\n' "$ELEVMOD" unload --socket "$other"
    "${as_nobody[@]}" "$ELEVMOD" unload --socket "$other" ||
      fail "unload as nobody"
  else
    skip "another user's service needs root and setpriv"
  fi
fi

finish
