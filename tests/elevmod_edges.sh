# No peer can stall, blind or reset the service: descriptors handed over
# are closed off the loop, an event left over for a connection that has
# gone acts on nothing, a connect flood resets no good client, a stalled
# system logger stalls nothing, and clients are told what happened.  Each
# section is a CTest case of its own ($CASE); run alone, the script runs
# them all.
# shellcheck source=lib.sh
source "$(dirname "$0")/lib.sh"

sock=$ELEVMOD_SOCKET
BADCLIENT=$BIN/tests/badclient
has_line() { grep -q "$2" "$1" 2>/dev/null; }
service_pid() { pgrep -f "^$ELEVMOD load --max-waiting $1\$"; }
fd_count() { ls "/proc/$1/fd" | wc -l; }
tracers_are() { [ "$(json_field tracers)" == "$1" ]; }

# lingering OUT [--held PID] COMMAND...: starts COMMAND, a badclient that
# hands the service a lingering socket, writing to OUT, as $lingerer, and
# waits for its answer (with --held, lets the stopped service PID go once
# it has sent all).  False, having said so, where there is no loopback.
lingering() {
  local out=$1 held=
  shift
  if [ "$1" == --held ]; then
    held=$2
    shift 2
  fi
  "$@" >"$out" &
  lingerer=$!
  if [ -n "$held" ]; then
    wait_while_alive $lingerer has_line "$out" 'sent\|no loopback'
    kill -CONT "$held"
  fi
  wait_while_alive $lingerer has_line "$out" 'ready\|no loopback' ||
    fail "a lingering descriptor held the answer up ($out)"
  if has_line "$out" 'no loopback'; then
    skip "a lingering descriptor needs a loopback interface"
    return 1
  fi
}
end_lingerer() {
  kill $lingerer 2>/dev/null
  wait $lingerer 2>/dev/null
}

# A status request carrying a socket that would linger 60 s on its close:
# refused at once, and the service goes on answering.
if want linger; then
  load --max-waiting 999001
  if lingering "$scratch/linger" "$BADCLIENT" "$sock" lingerfd; then
    expect "request with a descriptor refused" \
      "$(head -n 1 "$scratch/linger")" "reply 22"
    check "status beside a lingering descriptor" 0 $'1\n' "" \
      sh -c '"$1" status --json | grep -c "\"listeners\":0,"' sh "$ELEVMOD"
  fi
  end_lingerer
  unload
fi

# A trace request may carry nothing: a seccomp listener sent with one is
# closed, so its process's calls fail instead of waiting for good; and none
# of 500 pipes sent that way stays open in the service.
if want tracefd; then
  load --max-waiting 999004
  pid=$(service_pid 999004)
  check "trace request carrying a listener" 0 $'reply 22\ncall -1\n' "" \
    timeout 30 "$BADCLIENT" "$sock" tracelistener
  before=$(fd_count "$pid")
  check "500 trace requests carrying pipes" 0 $'done 500\n' "" \
    "$BADCLIENT" "$sock" tracefd 500
  settled() { [ "$(fd_count "$pid")" -le "$before" ]; }
  wait_until settled
  expect "no descriptor kept from them" "$(fd_count "$pid")" "$before"
  unload
fi

# An event left over for a tracer that has gone never acts on the listener
# that reuses its descriptor.  With the service held, one batch of events
# holds the flush timer, an attach, then the stopped tracer's hang-up: the
# flush drops the tracer (it cannot take what waits for it), the attach may
# take its descriptor number, and the hang-up comes after.
if want stale; then
  # One round; 3 when the service dropped the late connection as idle
  # before the attach came (a connection has a second to send, and a slow
  # machine may take longer to get there): that round proved nothing.
  stale_round() {
    load --max-waiting 999002
    pid=$(service_pid 999002)
    "$ELEVMOD" trace >/dev/null 2>&1 &
    tracer=$!
    wait_until tracers_are 1
    stop $tracer
    check "calls beside a stopped tracer" 0 $'0 5000\n' "" \
      "$ELEVMOD" run "$RAWCALL" -n 5000 324 0 1 2
    rm -f "$scratch/late-go"
    mkfifo "$scratch/late-go"
    exec {late_go}<>"$scratch/late-go"
    "$BADCLIENT" "$sock" lateattach <"$scratch/late-go" >"$scratch/late" &
    late=$!
    wait_until has_line "$scratch/late" connected
    stop "$pid"
    sleep 0.2  # the flush timer (every 50 ms) fires while the service is held
    echo go >&$late_go
    exec {late_go}>&-
    wait_until in_syscall $late 47  # recvmsg: the attach is sent
    kill -KILL $tracer
    wait $tracer 2>/dev/null
    kill -CONT "$pid"
    wait $late
    local status=$?
    unload
    return $status
  }
  for _ in 1 2 3 4 5; do
    stale_round && break
    [ $? -eq 3 ] || break
  done
  expect "attach and call after a stale event" "$(tail -n 2 "$scratch/late")" \
    $'attach 0\ncall 0'
fi

# A connect flood resets no good client: a connection whose request is
# there is served before any is dropped to make room.
if want flood; then
  load --max-waiting 999003
  for i in 1 2; do "$BADCLIENT" "$sock" idle 3000 >/dev/null & done
  failures=0
  for i in $(seq 40); do
    "$ELEVMOD" status --json >/dev/null 2>"$scratch/flood-err" ||
      { failures=$((failures + 1)); cat "$scratch/flood-err" >&2; }
  done
  expect "statuses answered during a connect flood" "$failures" 0
  jobs -p | xargs -r kill 2>/dev/null
  wait 2>/dev/null
  unload
fi

# A service that is there but hangs up without answering is a failure, not
# "no service": run says why, and its command does not run.
if want hangup; then
  "$BADCLIENT" "$scratch/hang" hangupserver >"$scratch/hang.out" &
  hanger=$!
  wait_until has_line "$scratch/hang.out" ready
  check "run against a service that hangs up" 125 "" \
    "elevmod: run: cannot attach: the service on $scratch/hang hung up without answering (Connection reset by peer)"$'\n' \
    "$ELEVMOD" run --socket "$scratch/hang" "$RAWCALL" 323
  check "status against a service that hangs up" 1 "" \
    "elevmod: status: the service on $scratch/hang hung up without answering (Connection reset by peer)"$'\n' \
    "$ELEVMOD" status --socket "$scratch/hang"
  kill $hanger
  wait $hanger 2>/dev/null
fi

# load replaces only a socket that nobody listens on, and a failed load
# leaves no lock behind.
if want foreign; then
  for name in foreign other.new; do
    "$BADCLIENT" "$scratch/$name" listen >"$scratch/$name.out" &
    listener=$!
    wait_until has_line "$scratch/$name.out" ready
    target=$scratch/${name%.new}
    check "load beside another program's socket ($name)" 1 "" \
      "elevmod: load: cannot listen on $scratch/$name: another program listens on it"$'\n' \
      "$ELEVMOD" load --socket "$target"
    expect "their socket left alone ($name)" \
      "$(test -S "$scratch/$name" && echo yes)" yes
    expect "no lock left ($name)" "$(find "$scratch" -name '*.lock' | wc -l)" 0
    kill $listener
    wait $listener 2>/dev/null
  done
  touch "$scratch/plain"
  check "load on a plain file" 1 "" \
    "elevmod: load: cannot listen on $scratch/plain: it exists and is not a socket"$'\n' \
    "$ELEVMOD" load --socket "$scratch/plain"
  expect "no lock left by the failed load" "$(find "$scratch" -name '*.lock' | wc -l)" 0
fi

# Closes that a peer blocks (a socket whose queue holds a socket that
# lingers) each hold up a releasing thread and nothing else: with 140 of
# them blocked, clients are told the service is busy (run does not go on
# unattached), hundreds of descriptors more are refused, not kept, and once
# the peer lets go, all is as before; likewise with every releasing thread
# blocked.
if want blockedrelease; then
  prlimit --nofile=2048 "$ELEVMOD" load --max-waiting 999005
  pid=$(service_pid 999005)
  before=$(fd_count "$pid")
  sent_or_done() { has_line "$scratch/nested" 'sent\|no loopback'; }
  ready_or_gone() { has_line "$scratch/nested" ready; }
  answered() { "$ELEVMOD" status >/dev/null 2>&1; }
  settled() { [ "$(fd_count "$pid")" -le "$before" ]; }
  # block_closes N: N requests whose closes the peer blocks, sent while the
  # service is held, so that its copies are the last of each socket.
  block_closes() {
    stop "$pid"
    "$BADCLIENT" "$sock" nestedlinger "$1" 120 >"$scratch/nested" &
    nester=$!
    wait_while_alive $nester sent_or_done
    kill -CONT "$pid"
  }
  # let_go: the peer lets go of them all, and the service answers again.
  let_go() {
    kill $nester
    wait $nester 2>/dev/null
    wait_until answered
  }
  block_closes 140
  if has_line "$scratch/nested" 'no loopback'; then
    skip "blocked closes need a loopback interface"
  else
    wait_while_alive $nester ready_or_gone
    expect "requests carrying sockets refused" \
      "$(grep -c '^reply 22$' "$scratch/nested")" 140
    busy="the service on $sock is busy (Resource temporarily unavailable): try again"
    check "status while closes are blocked" 1 "" \
      "elevmod: status: $busy"$'\n' "$ELEVMOD" status
    check "run while closes are blocked" 125 "" \
      "elevmod: run: cannot attach: $busy"$'\n' "$ELEVMOD" run "$RAWCALL" 323
    check "descriptors refused while closes are blocked" 0 $'replies 11=600\n' \
      "" "$BADCLIENT" "$sock" fdspam 600
    let_go
    check "run once the closes are done" 0 $'0\n' "" "$ELEVMOD" run "$RAWCALL" 323
    wait_until settled
    expect "no descriptor kept" "$(fd_count "$pid")" "$before"
    # As many blocked closes as the releaser has threads: new clients are
    # still told at once, not left to wait for an answer, and their
    # connections are released once there is room.
    block_closes 256
    wait_while_alive $nester ready_or_gone
    expect "requests up to the releaser's threads answered" \
      "$(grep -c '^reply \(11\|22\)$' "$scratch/nested")" 256
    check "status with every releasing thread blocked" 1 "" \
      "elevmod: status: $busy"$'\n' "$ELEVMOD" status
    check "unload with every releasing thread blocked" 1 "" \
      "elevmod: unload: $busy"$'\n' "$ELEVMOD" unload
    let_go
    wait_until settled
    expect "no descriptor kept after a full releaser" "$(fd_count "$pid")" "$before"
  fi
  kill $nester 2>/dev/null
  wait $nester 2>/dev/null
  unload
fi

# A lingering socket sent as a fifth descriptor (more than a request may
# carry), or in a second message that is never read, holds nothing up, and
# neither does one from a user the service refuses.
if want unread; then
  load --max-waiting 999006
  pid=$(service_pid 999006)
  for mode in fifthlinger secondlinger; do
    # Both messages are there before the service reads the first.
    held=()
    if [ $mode == secondlinger ]; then
      stop "$pid"
      held=(--held "$pid")
    fi
    if lingering "$scratch/$mode" "${held[@]}" "$BADCLIENT" "$sock" $mode 60; then
      want_reply=$([ $mode == fifthlinger ] && echo 22 || echo 0)
      expect "$mode answered" "$(grep '^reply' "$scratch/$mode")" \
        "reply $want_reply"
      check "status beside $mode" 0 $'1\n' "" \
        sh -c 'timeout 20 "$1" status --json | grep -c "\"state\""' sh "$ELEVMOD"
    fi
    end_lingerer
  done
  if [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null; then
    chmod 755 "$scratch"
    chmod 666 "$sock"
    if lingering "$scratch/refused" setpriv --reuid=65534 --regid=65534 \
        --clear-groups "$BADCLIENT" "$sock" fifthlinger 60; then
      expect "a refused user's fifth descriptor" \
        "$(head -n 1 "$scratch/refused")" "reply 1"
      check "status beside a refused user's descriptors" 0 $'1\n' "" \
        sh -c 'timeout 20 "$1" status --json | grep -c "\"state\""' sh "$ELEVMOD"
    fi
    end_lingerer
  fi
  unload
fi

# Tracers that stopped reading hold their places only until a new one needs
# one: the one that has left what it was sent unread longest makes room,
# and is told what it lost and why it ends.
if want stalesttracer; then
  load --max-waiting 999007
  for i in $(seq 64); do
    "$ELEVMOD" trace >"$scratch/tracer$i" 2>&1 &
    echo $! >>"$scratch/tracers"
  done
  wait_until tracers_are 64
  # While all 64 read, none makes room, and a newcomer is told what to do.
  check "a tracer beyond 64 readers" 1 "" \
    "elevmod: trace: the service on $sock has as many tracers as it takes, all reading: end one of them (elevmod status counts them) and try again"$'\n' \
    "$ELEVMOD" trace
  for tracer in $(cat "$scratch/tracers"); do stop "$tracer"; done
  check "calls beside 64 stopped tracers" 0 $'0 3000\n' "" \
    "$ELEVMOD" run "$RAWCALL" -n 3000 324 0 1 2
  # Refused for as long as none has been unread long enough (3 s).
  taken() {
    timeout 2 "$ELEVMOD" trace >"$scratch/newcomer" 2>&1
    [ $? -eq 124 ]
  }
  wait_until taken
  for tracer in $(cat "$scratch/tracers"); do kill -CONT "$tracer"; done
  # The one ended reads what it was sent, then says why it ends.
  told() { grep -q "ended this trace to make room" "$scratch"/tracer*; }
  wait_until told
  ended=$(grep -l "ended this trace to make room" "$scratch"/tracer*)
  expect "one tracer made room" "$(wc -l <<<"$ended")" 1
  expect "it was told what it lost" \
    "$(grep -c ' lost [0-9]* events' $ended)" 1
  expect "and why it ended" "$(tail -n 1 $ended)" \
    "elevmod: trace: the service on $sock ended this trace to make room for another: it had left what it was sent unread"
  xargs -r kill <"$scratch/tracers" 2>/dev/null
  wait 2>/dev/null
  unload
fi

# Signals whose default would end the service leave it serving; those that
# end it end it cleanly (socket and lock removed).
if want signals; then
  load --max-waiting 999008
  pid=$(service_pid 999008)
  for sig in USR2 ALRM VTALRM PROF IO PWR XCPU XFSZ PIPE RTMIN+3 RTMAX; do
    kill -$sig "$pid"
  done
  check "serving after stray signals" 0 $'0\n' "" "$ELEVMOD" run "$RAWCALL" 323
  kill -QUIT "$pid"
  gone() { ! kill -0 "$pid" 2>/dev/null; }
  wait_until gone
  expect "SIGQUIT removes socket and lock" \
    "$(find "$scratch" -name 'socket*' | wc -l)" 0
fi

# At the descriptor limit a new client is answered, not reset: run never
# goes on unattached (status 0 with -1) when a service is there.
if want emfile; then
  prlimit --nofile=64:64 "$ELEVMOD" load --foreground \
    --socket "$scratch/emfile" 2>"$scratch/emfile-err" &
  few=$!
  wait_until test -S "$scratch/emfile"
  "$BADCLIENT" "$scratch/emfile" idle 200 >"$scratch/emfile-idle" &
  idler=$!
  wait_until has_line "$scratch/emfile-idle" ready
  "$ELEVMOD" run --socket "$scratch/emfile" "$RAWCALL" 323 \
    >"$scratch/emfile-out" 2>&1
  got="$?:$(cat "$scratch/emfile-out")"
  # Served (a slot came free in time) or told why not: never unattached.
  case $got in
    "0:0") ok ;;
    "125:elevmod: run: cannot attach: the service on $scratch/emfile "*"(Too many open files)") ok ;;
    *) fail "run at the descriptor limit: $got" ;;
  esac
  "$ELEVMOD" unload --socket "$scratch/emfile"
  wait $few
  kill $idler 2>/dev/null
  wait $idler 2>/dev/null
fi

# Beside a socket in a directory others may write, another user's files
# cannot take the complaints or unbound them: a log that cannot move aside
# starts afresh (said once in it), another user's log gets nothing.
if want plantedlog; then
  if can_unshare && command -v setpriv >/dev/null; then
    shared=$scratch/shared
    chmod 755 "$scratch"
    mkdir -m 1777 "$shared"
    as_service=(setpriv --reuid=65534 --regid=65534 --clear-groups)
    as_other=(setpriv --reuid=65533 --regid=65533 --clear-groups)
    "${as_other[@]}" touch "$shared/full.log.old"
    "${as_service[@]}" sh -c 'head -c 40000 /dev/zero | tr "\0" x >"$1"' \
      sh "$shared/full.log"
    "${as_other[@]}" sh -c 'umask 0; : >"$1"' sh "$shared/planted.log"
    unshare --mount bash -c '
      scratch=$1 elevmod=$2 badclient=$3
      shift 3
      touch "$scratch/null"
      mount --bind /dev/null "$scratch/null"
      mount -t tmpfs tmpfs /dev
      touch /dev/null
      mount --bind "$scratch/null" /dev/null
      for name in full planted; do
        "$@" "$elevmod" load --socket "$scratch/shared/$name" || exit 1
        "$@" "$badclient" "$scratch/shared/$name" garbage
        "$@" "$elevmod" unload --socket "$scratch/shared/$name"
      done' bash "$scratch" "$ELEVMOD" "$BADCLIENT" "${as_service[@]}"
    expect "a log that cannot move aside starts afresh" \
      "$(sed 's/^[-0-9: ]*elevmod\[[0-9]*\]: //' "$shared/full.log")" \
      "cannot move $shared/full.log aside to $shared/full.log.old (Operation not permitted): it starts afresh instead
ignored a malformed request of 11 bytes"
    expect "another user's log gets nothing" \
      "$(stat -c %s "$shared/planted.log")" 0
  else
    skip "planted logs need root and unshare"
  fi
fi

# With no system logger, the background service's complaints are kept in a
# file beside its socket.  In a mount namespace whose /dev has no log.
if want nologger; then
  if can_unshare; then
    unshare --mount bash -c '
      scratch=$1 elevmod=$2 badclient=$3
      touch "$scratch/null"
      mount --bind /dev/null "$scratch/null"
      mount -t tmpfs tmpfs /dev
      touch /dev/null
      mount --bind "$scratch/null" /dev/null
      "$elevmod" load --socket "$scratch/quiet" || exit 1
      "$badclient" "$scratch/quiet" garbage
      "$elevmod" unload --socket "$scratch/quiet"' \
      bash "$scratch" "$ELEVMOD" "$BADCLIENT"
    expect "complaint kept beside the socket" \
      "$(grep -c 'elevmod\[[0-9]*\]: ignored a malformed request of 11 bytes$' \
        "$scratch/quiet.log")" 1
  else
    skip "the missing logger needs root and unshare"
  fi
fi

# Out of descriptors, the service rests its socket instead of spinning,
# makes room, and says so a few times, not thousands.
if want fdlimit; then
  prlimit --nofile=64:64 "$ELEVMOD" load --foreground --socket "$scratch/few" \
    2>"$scratch/few-err" &
  few=$!
  wait_until test -S "$scratch/few"
  "$BADCLIENT" "$scratch/few" idle 200 >"$scratch/few-idle" &
  idler=$!
  wait_until has_line "$scratch/few-idle" ready
  check "status at the descriptor limit" 0 $'1\n' "" \
    sh -c '"$1" status --json --socket "$2" | grep -c "\"state\""' sh \
    "$ELEVMOD" "$scratch/few"
  "$ELEVMOD" unload --socket "$scratch/few"
  wait $few
  kill $idler 2>/dev/null
  wait $idler 2>/dev/null
  complaints=$(grep -c 'accept on' "$scratch/few-err")
  expect "out of descriptors: a few lines ($complaints)" \
    "$(( complaints <= 6 ))" 1
fi

# The user's default directory taken by someone else: the message names
# the owner and the way out.  In a mount namespace with its own /tmp.
if want squat; then
  if can_unshare; then
    # The build may itself lie below /tmp: the new /tmp gets a copy.
    mkdir "$scratch/tmp"
    unshare --mount bash -c '
      mount -t tmpfs tmpfs "$2"
      cp "$1" "$2/elevmod"
      mount --bind "$2" /tmp
      mkdir -m 700 /tmp/elevmod-0
      chown nobody /tmp/elevmod-0
      unset XDG_RUNTIME_DIR ELEVMOD_SOCKET
      /tmp/elevmod load; echo "load $?"
      /tmp/elevmod run true; echo "run $?"' bash "$ELEVMOD" "$scratch/tmp" \
      >"$scratch/squat" 2>&1
    owner="/tmp/elevmod-0 belongs to user nobody (uid $(id -u nobody)), not to you: choose another socket with --socket, \$ELEVMOD_SOCKET or \$XDG_RUNTIME_DIR"
    expect "squatted directory" "$(cat "$scratch/squat")" \
      "elevmod: load: $owner"$'\nload 1\n'"elevmod: run: $owner"$'\nrun 125'
  else
    skip "the squatted directory needs root and unshare"
  fi
fi

# A stalled system logger stalls nothing: the service drops what the logger
# has no room for, and repeated complaints are a few lines, not hundreds.
if want logger; then
  if can_unshare; then
    with_logsink '
      "$elevmod" load --socket "$scratch/logged" || exit 1
      kill -STOP $sink
      begin=$(date +%s)
      for _ in $(seq 300); do "$badclient" "$scratch/logged" garbage; done
      echo $(( $(date +%s) - begin )) >"$scratch/logged.took"
      timeout 20 "$elevmod" status --socket "$scratch/logged" >/dev/null
      echo "status $?"
      kill -CONT $sink
      "$elevmod" unload --socket "$scratch/logged"
      for _ in $(seq 1000); do grep -q "more like this" "$scratch/syslog" && break; sleep 0.01; done
    ' >"$scratch/logged.out" 2>&1
    expect "status beside a stalled logger" "$(cat "$scratch/logged.out")" \
      "status 0"
    # Five lines in each ten seconds the requests took (a slow machine
    # takes more than ten), not three hundred; and the rest are counted,
    # by the end of their ten seconds or at the latest at unload.
    took=$(cat "$scratch/logged.took")
    lines=$(grep -c ']: ignored a malformed request' "$scratch/syslog")
    expect "300 malformed requests in $took s: $lines lines" \
      "$(( lines >= 5 && lines <= 5 * (took / 10 + 1) ))" 1
    counted=$(sed -n 's/.*]: \([0-9]*\) more like this were not written: ignored a malformed request.*/\1/p' \
      "$scratch/syslog" | awk '{ s += $1 } END { print s + 0 }')
    expect "every malformed request written or counted" \
      "$(( lines + counted ))" 300
  else
    skip "the stalled logger needs root and unshare"
  fi
fi

finish
