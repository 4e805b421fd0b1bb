# The service's life and its socket: loading twice, unloading, the private
# socket directory, clean ends on signals, hostile clients and other users.
# shellcheck source=lib.sh
source "$(dirname "$0")/lib.sh"

sock=$ELEVMOD_SOCKET

# Without a service, unload and status say so.
check "unload with no service" 1 "" \
  "elevmod: unload: no service is loaded on $sock"$'\n' "$ELEVMOD" unload
check "status with no service" 1 "" \
  "elevmod: status: no service is loaded on $sock"$'\n' "$ELEVMOD" status

# A second load on the same socket fails; the first keeps serving.
load
check "second load" 1 "" \
  "elevmod: load: a service is already loaded on $sock"$'\n' "$ELEVMOD" load
check "first still serves" 0 $'0\n' "" "$ELEVMOD" run "$RAWCALL" 323
expect "listener dropped once its process ended" "$(json_field listeners)" 0
expect "socket mode" "$(stat -c %a "$sock")" 600
"$ELEVMOD" status >"$scratch/status"
expect "status text" "$(head -n 1 "$scratch/status")" "state:      idle"
expect "status shaft" "$(grep -c '^  [ 1][0-9] |' "$scratch/status")" 10

# What cannot be written is a failure, not a quiet success: once, and for
# the followers, which end instead of running for ever.
full="cannot write to standard output: No space left on device"
check "status into a full device" 1 "" "elevmod: status: $full"$'\n' \
  sh -c '"$1" status >/dev/full' sh "$ELEVMOD"
check "status --json into a full device" 1 "" "elevmod: status: $full"$'\n' \
  sh -c '"$1" status --json >/dev/full' sh "$ELEVMOD"
check "status --watch into a full device" 1 "" "elevmod: status: $full"$'\n' \
  sh -c 'timeout 30 "$1" status --watch >/dev/full' sh "$ELEVMOD"
tracers_are() { [ "$(json_field tracers)" == "$1" ]; }
timeout 30 "$ELEVMOD" trace >/dev/full 2>"$scratch/trace-full" &
tracer=$!
wait_until tracers_are 1
"$ELEVMOD" run "$RAWCALL" 324 0 0 0 >/dev/null  # refused: changes nothing
wait $tracer
expect "trace into a full device" "$?:$(cat "$scratch/trace-full")" \
  "1:elevmod: trace: $full"

# A socket whose directory is missing names the directory.
check "load in a missing directory" 1 "" \
  "elevmod: load: cannot listen on $scratch/none/socket: there is no directory $scratch/none"$'\n' \
  "$ELEVMOD" load --socket "$scratch/none/socket"

# Unload makes the calls of a process already attached fail with -1.
mkfifo "$scratch/go"
"$ELEVMOD" run sh -c '"$1" 325; read x <"$2"; "$1" 323' sh "$RAWCALL" \
  "$scratch/go" >"$scratch/attached" &
stop_answered() { [ "$(json_field stop)" == 1 ]; }
wait_until stop_answered
expect "listener attached" "$(json_field listeners)" 1
unload
echo go >"$scratch/go"
wait
expect "call after unload" "$(cat "$scratch/attached")" $'0\n-1'
expect "socket removed on unload" "$(test -e "$sock" || echo gone)" gone
load
check "unload --json into a full device" 1 "" "elevmod: unload: $full"$'\n' \
  sh -c '"$1" unload --json >/dev/full' sh "$ELEVMOD"
expect "unloaded all the same" "$(test -e "$sock" || echo gone)" gone

# A service that died leaves a stale socket, which the next load replaces.
# (An odd --max-waiting picks out this test's service among any others.)
load --max-waiting 777001
pkill -KILL -f "^$ELEVMOD load --max-waiting 777001\$"
expect "service killed" "$?" 0
killed_one_gone() { ! pgrep -f "^$ELEVMOD load --max-waiting 777001\$"; }
wait_until killed_one_gone
check "status of a dead service" 1 "" \
  "elevmod: status: no service is loaded on $sock"$'\n' "$ELEVMOD" status
load
check "load over a stale socket" 0 $'0\n' "" "$ELEVMOD" run "$RAWCALL" 323
unload

# The default socket sits in a private per-user directory.
(
  unset ELEVMOD_SOCKET
  export XDG_RUNTIME_DIR=$scratch/xdg
  mkdir -m 700 "$XDG_RUNTIME_DIR"
  load
  expect "default dir mode" "$(stat -c %a "$XDG_RUNTIME_DIR/elevmod")" 700
  expect "default socket mode" \
    "$(stat -c %a "$XDG_RUNTIME_DIR/elevmod/socket")" 600
  check "default socket serves" 0 $'0\n' "" "$ELEVMOD" run "$RAWCALL" 323
  unload
  chmod 755 "$XDG_RUNTIME_DIR/elevmod"
  check "shared directory refused" 1 "" \
    "elevmod: load: $XDG_RUNTIME_DIR/elevmod is not a private directory of this user (want mode 0700)"$'\n' \
    "$ELEVMOD" load
  echo "$passed $failed" >"$scratch/counts"
)
read -r passed failed <"$scratch/counts"

# In the foreground, the service ends cleanly on SIGTERM and SIGINT.
for sig in TERM INT; do
  "$ELEVMOD" load --foreground 2>"$scratch/fg-err" &
  pid=$!
  wait_for_socket
  check "foreground serves ($sig)" 0 $'0\n' "" "$ELEVMOD" run "$RAWCALL" 323
  kill -$sig $pid
  wait $pid
  expect "foreground ends on SIG$sig" "$?" 0
  expect "socket removed on SIG$sig" "$(test -e "$sock" || echo gone)" gone
done

# Hostile clients cost the service at most a line on its stderr each, and
# the calls of others go on being answered.
"$ELEVMOD" load --foreground 2>"$scratch/fg-err" &
pid=$!
wait_for_socket
"$ELEVMOD" run sh -c 'read x <"$2"; "$1" -n 200 324 0 3 4' sh "$RAWCALL" \
  "$scratch/go" >"$scratch/good" &
good=$!
for mode in garbage oversize pipe nofd unknown hangup; do
  "$BIN/tests/badclient" "$sock" "$mode" || fail "badclient $mode"
done
echo go >"$scratch/go"
wait $good
expect "good client served" "$(cat "$scratch/good")" "0 200"
expect "accepted beside bad clients" "$(json_field accepted)" 200
expect "one line per bad client" "$(cat "$scratch/fg-err")" \
"elevmod: ignored a malformed request of 11 bytes
elevmod: ignored a malformed request of 4096 bytes
elevmod: refused an attach without a seccomp listener
elevmod: refused an attach without a seccomp listener
elevmod: ignored a request with unknown verb 99"

# A caller that dies while its call waits for the service is not counted,
# and costs the service nothing.
"$ELEVMOD" run sh -c 'read x <"$2"; exec "$1" 324 0 5 6' sh "$RAWCALL" \
  "$scratch/go" &
caller=$!
wait_until listeners_are 1
stop $pid
echo go >"$scratch/go"
wait_until in_syscall $caller 324
kill -KILL $caller
wait $caller 2>/dev/null
kill -CONT $pid
check "served after a dead caller" 0 $'0\n' "" \
  "$ELEVMOD" run "$RAWCALL" 324 0 7 8
expect "dead caller's request not counted" "$(json_field accepted)" 201
expect "dead caller's request waits nowhere" \
  "$("$ELEVMOD" status --json | sed -n 's/.*"waiting_by_floor":\[\([0-9,]*\)\].*/\1/p')" \
  "0,0,200,0,0,0,1,0,0,0"

# Other users may not use it, even with the socket opened up to them.
if [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null; then
  chmod 755 "$scratch"
  chmod 666 "$sock"
  check "other user refused" 1 "" \
    "elevmod: status: the service on $sock refused: Operation not permitted"$'\n' \
    setpriv --reuid=65534 --regid=65534 --clear-groups "$ELEVMOD" status
  expect "refusal logged" "$(tail -n 1 "$scratch/fg-err" | cut -d'(' -f1)" \
    "elevmod: refused a client of user 65534 "
else
  echo "skipped: other-user refusal needs root and setpriv"
fi
kill -TERM $pid
wait $pid

finish
