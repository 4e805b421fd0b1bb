# Watching a run: status --watch on a terminal, into a pipe as plain frames
# and as JSON Lines; the trace of calls and of the car in both formats with
# two tracers at once; a stopped tracer told what it lost; the background
# service's complaints in syslog.  Each section is a CTest case of its own
# ($CASE); run alone, the script runs them all.
# shellcheck source=lib.sh
source "$(dirname "$0")/lib.sh"

sock=$ELEVMOD_SOCKET
ESC=$'\033'
count_in() { grep -c -- "$2" "$1" 2>/dev/null; }
at_least() { [ "$(count_in "$1" "$2")" -ge "$3" ]; }
tracers_are() { [ "$(json_field tracers)" == "$1" ]; }
no_escapes() { grep -c "$ESC" "$1"; }


# Into a pipe: frames of a header, a blank line and the status, or one JSON
# object a line; escapes never.  An interrupt ends the watch with status 0.
if want pipe; then
  load --step-ms 1
  "$ELEVMOD" status --watch > >(cat >"$scratch/frames") &
  watcher=$!
  wait_until at_least "$scratch/frames" '^state:' 2
  kill -INT $watcher
  wait $watcher
  expect "watch ends on Ctrl-C" "$?" 0
  expect "frames carry no escapes" "$(no_escapes "$scratch/frames")" 0
  expect "each frame has its header" \
    "$(count_in "$scratch/frames" "^[0-2][0-9]:[0-5][0-9]:[0-6][0-9]  elevmod status on $sock\$")" \
    "$(count_in "$scratch/frames" '^state:')"
  "$ELEVMOD" status --watch --json > >(cat >"$scratch/lines") &
  watcher=$!
  wait_until at_least "$scratch/lines" . 2
  kill -INT $watcher
  wait $watcher
  expect "JSON watch ends on Ctrl-C" "$?" 0
  expect "JSON Lines: one object a line" \
    "$(grep -c -v '^{"state":".*"tracers":[0-9]*}$' "$scratch/lines")" 0
  expect "JSON Lines carry no escapes" "$(no_escapes "$scratch/lines")" 0
  unload
fi

# On a terminal: the alternate screen, redrawn in place, restored at the end.
if want terminal; then
  load --step-ms 1
  if command -v script >/dev/null; then
    # watch_on_terminal [ROWS [COLUMNS [TERM]]]: two frames of status --watch
    # on a terminal (of ROWS rows, 80 or COLUMNS columns), then Ctrl-C; what it
    # drew is in $scratch/screen.  The watch notes its pid, whatever shell
    # script(1) runs it with.
    watch_on_terminal() {
      printf '#!/bin/sh\necho $$ >"$1"\n%s\n%s\nexec "$2" status --watch\n' \
        "${1:+stty rows $1 cols ${2:-80}}" "${3:+export TERM=$3}" \
        >"$scratch/watch.sh"
      # Nothing of an earlier watch may be taken for this one's.
      rm -f "$scratch/screen" "$scratch/watch.pid"
      script -q -e -c "sh $scratch/watch.sh $scratch/watch.pid $ELEVMOD" \
        "$scratch/screen" >/dev/null &
      local terminal=$!
      wait_until test -s "$scratch/watch.pid"
      wait_until at_least "$scratch/screen" 'state:' 2
      kill -INT "$(cat "$scratch/watch.pid")"
      wait $terminal
    }
    watch_on_terminal
    expect "terminal watch ends on Ctrl-C" "$?" 0
    expect "alternate screen entered" \
      "$(count_in "$scratch/screen" "${ESC}\\[?1049h")" 1
    expect "redrawn in place" \
      "$(( $(count_in "$scratch/screen" "${ESC}\\[H") >= 2 ))" 1
    expect "screen restored" "$(count_in "$scratch/screen" "${ESC}\\[?1049l")" 1
    # A terminal shorter than the frame: the header and the figures still
    # show, the shaft keeps the rows that fit, and nothing scrolls.
    watch_on_terminal 14
    # The last whole frame: from its home to its clear-to-end.
    frame=$(tr -d '\r' <"$scratch/screen" |
      awk -v RS="${ESC}\\[H" '/state:/ && /\033\[J/ {
        frame = $0; sub(/\033\[J.*/, "", frame) } END { print frame }' |
      sed "s/${ESC}\\[[0-9;?]*[A-Za-z]//g")
    expect "short terminal: 13 lines" "$(wc -l <<<"$frame")" 13
    expect "short terminal: header first" \
      "$(head -n 1 <<<"$frame" | grep -c "elevmod status on $sock\$")" 1
    expect "short terminal: three figures, then seven floors" \
      "$(sed -n '3p;5p;6p;7p;13p' <<<"$frame" | cut -c1-8)" \
      $'state:  \naboard: \n\n   7 |  \n   1 |[ '
    # A narrow one: no line reaches the last column, where it would wrap.
    watch_on_terminal 24 30
    widest=$(tr -d '\r' <"$scratch/screen" | sed "s/${ESC}\[[0-9;?]*[A-Za-z]//g" |
      awk '!/^Script / { if (length($0) > n) n = length($0) } END { print n }')
    expect "narrow terminal: lines of at most 29 columns" \
      "$(( widest <= 29 ))" 1
    # A terminal that takes no escapes gets plain frames.
    watch_on_terminal 24 80 dumb
    expect "dumb terminal: no escapes" "$(count_in "$scratch/screen" "${ESC}")" 0
    expect "dumb terminal: frames" \
      "$(( $(count_in "$scratch/screen" 'state:') >= 2 ))" 1
  else
    skip "the terminal watch needs script(1)"
  fi
  unload
fi

# The two followers end alike: quietly with status 0 on an interrupt, with
# a note and status 0 when the service is unloaded, with status 1 when
# there is no service to follow.
if want followers; then
  load --step-ms 1
  for follower in "status --watch" "status --watch --json" trace "trace --json"; do
    verb=${follower%% *}
    "$ELEVMOD" $follower >"$scratch/followed" 2>"$scratch/follow-err" &
    pid=$!
    if [ "$verb" == trace ]; then
      wait_until tracers_are 1
    else
      wait_until at_least "$scratch/followed" . 1
    fi
    kill -INT $pid
    wait $pid
    expect "$follower: Ctrl-C ends it with 0" "$?" 0
    expect "$follower: quietly" "$(cat "$scratch/follow-err")" ""
  done
  load --socket "$scratch/other"
  for follower in "status --watch" trace; do
    verb=${follower%% *}
    "$ELEVMOD" $follower --socket "$scratch/other" >/dev/null \
      2>"$scratch/follow-err" &
    pid=$!
    if [ "$verb" == trace ]; then
      wait_until eval '[ "$(field_of "$("$ELEVMOD" status --json --socket "$scratch/other")" tracers)" == 1 ]'
    else
      wait_until in_syscall $pid 271  # ppoll: the first frame is out
    fi
    "$ELEVMOD" unload --socket "$scratch/other"
    wait $pid
    expect "$follower: unload ends it with 0" "$?" 0
    expect "$follower: with a note" "$(cat "$scratch/follow-err")" \
      "elevmod: $verb: the service on $scratch/other has ended"
    "$ELEVMOD" load --socket "$scratch/other"
  done
  "$ELEVMOD" unload --socket "$scratch/other"
  for follower in "status --watch" trace; do
    verb=${follower%% *}
    check "$follower without a service" 1 "" \
      "elevmod: $verb: no service is loaded on $scratch/other"$'\n' \
      "$ELEVMOD" $follower --socket "$scratch/other"
  done
  unload
fi

# Two tracers at once, text and JSON, see every call with its caller and
# answer, and the car's moves.
if want tracers; then
  load --step-ms 1
  "$ELEVMOD" trace >"$scratch/trace" 2>"$scratch/trace-err" &
  text_tracer=$!
  "$ELEVMOD" trace --json >"$scratch/trace.json" 2>/dev/null &
  json_tracer=$!
  wait_until tracers_are 2
  "$ELEVMOD" run "$RAWCALL" 323 >/dev/null &
  start_pid=$!
  wait $start_pid
  "$ELEVMOD" run "$RAWCALL" 324 0 1 3 >/dev/null &
  request_pid=$!
  wait $request_pid
  "$ELEVMOD" run "$RAWCALL" 324 0 1 1 >/dev/null &
  refused_pid=$!
  wait $refused_pid
  wait_until grep -q 'leave' "$scratch/trace"
  wait_until grep -q '"leave"' "$scratch/trace.json"
  unload
  wait $text_tracer
  expect "tracer ends with the service" "$?" 0
  expect "tracer says the service ended" "$(cat "$scratch/trace-err")" \
    "elevmod: trace: the service on $sock has ended"
  wait $json_tracer
  expect "every line starts with the time" \
    "$(grep -c -v '^[0-2][0-9]:[0-5][0-9]:[0-6][0-9]\.[0-9]\{6\} ' "$scratch/trace")" 0
  sed 's/^[^ ]* //' "$scratch/trace" >"$scratch/events"
  for line in \
    "pid $start_pid (rawcall) start() = 0" \
    "pid $request_pid (rawcall) request(0, 1, 3) = 0" \
    "pid $refused_pid (rawcall) request(0, 1, 1) = 1"; do
    expect "traced: $line" "$(grep -c -x -F "$line" "$scratch/events")" 1
  done
  expect "traced: the car's moves" "$(grep '^car' "$scratch/events")" \
    "$(printf '%s\n' "car turns up at floor 1" \
      "car at floor 1: 1 passenger board" "car arrives at floor 2 going up" \
      "car arrives at floor 3 going up" "car at floor 3: 1 passenger leave")"
  expect "JSON trace: every line an object with its time" \
    "$(grep -c -v '^{"time":[0-9]*\.[0-9]\{6\},"event":"[a-z]*",.*}$' "$scratch/trace.json")" 0
  for object in \
    "\"event\":\"call\",\"pid\":$start_pid,\"comm\":\"rawcall\",\"call\":\"start\",\"nr\":323,\"args\":[],\"result\":0,\"delivered\":true}" \
    "\"event\":\"call\",\"pid\":$request_pid,\"comm\":\"rawcall\",\"call\":\"request\",\"nr\":324,\"args\":[0,1,3],\"result\":0,\"delivered\":true}" \
    "\"event\":\"call\",\"pid\":$refused_pid,\"comm\":\"rawcall\",\"call\":\"request\",\"nr\":324,\"args\":[0,1,1],\"result\":1,\"delivered\":true}" \
    '"event":"car","what":"arrive","floor":3,"direction":"up"}' \
    '"event":"car","what":"leave","floor":3,"count":1}'; do
    expect "JSON traced: $object" "$(grep -c -F "$object" "$scratch/trace.json")" 1
  done
fi

# A stopped tracer holds nobody up: it loses what does not fit and is told
# how many, so that what it saw and what it lost add up, even when it is
# still stopped at unload.
if want stoppedtracer; then
  load --step-ms 3600000
  "$ELEVMOD" trace >"$scratch/slow" 2>/dev/null &
  slow=$!
  wait_until tracers_are 1
  stop $slow
  check "calls beside a stopped tracer" 0 $'0 100000\n' "" \
    "$ELEVMOD" run "$RAWCALL" -n 100000 324 0 1 2
  unload
  kill -CONT $slow
  wait $slow
  lost=$(sed -n 's/^[^ ]* lost \([0-9]*\) events: this tracer fell behind$/\1/p' \
    "$scratch/slow")
  seen=$(count_in "$scratch/slow" ' request(0, 1, 2) = 0$')
  expect "stopped tracer lost some ($lost)" "$(( ${lost:-0} > 0 ))" 1
  expect "seen $seen + lost $lost = every call" "$(( seen + ${lost:-0} ))" 100000
fi

# The background service's complaints reach syslog.  The system logger is
# stood in for by logsink on /dev/log, in a mount namespace of its own.
if want syslog; then
  if can_unshare; then
    with_logsink '
      "$elevmod" load --socket "$scratch/logged" || exit 1
      "$badclient" "$scratch/logged" garbage
      for _ in $(seq 1000); do grep -q malformed "$scratch/syslog" && break; sleep 0.01; done
      "$elevmod" unload --socket "$scratch/logged"' || fail "syslog run"
    expect "complaint in syslog" \
      "$(grep -c '^<28>.* elevmod\[[0-9]*\]: ignored a malformed request of 11 bytes$' "$scratch/syslog")" 1
  else
    skip "the syslog check needs root and unshare"
  fi
fi

# A saved trace becomes a picture: from a file or standard input, an SVG
# document; what is not a trace is named, with its line.
if want draw; then
  load --step-ms 1
  "$ELEVMOD" trace --json >"$scratch/run.jsonl" 2>/dev/null &
  tracer=$!
  wait_until tracers_are 1
  "$ELEVMOD" run "$RAWCALL" 323 >/dev/null
  "$ELEVMOD" run "$RAWCALL" -n 20 324 0 1 5 >/dev/null
  unload
  wait $tracer
  check "draw a saved trace" 0 $'<svg\n</svg>\n' "" \
    sh -c '"$1" draw "$2" | sed -n "1s/ .*//p;\$p"' sh "$ELEVMOD" "$scratch/run.jsonl"
  check "draw from standard input" 0 $'3\n' "" \
    sh -c '"$1" draw <"$2" | grep -c "<polyline"' sh "$ELEVMOD" "$scratch/run.jsonl"
  check "draw a file that is not there" 1 "" \
    "elevmod: draw: cannot open $scratch/none: No such file or directory"$'\n' \
    "$ELEVMOD" draw "$scratch/none"
  echo "status is not a trace" >"$scratch/not.jsonl"
  check "draw what is not a trace" 1 "" \
    "elevmod: draw: $scratch/not.jsonl: line 1 is not a line of 'elevmod trace --json'"$'\n' \
    "$ELEVMOD" draw "$scratch/not.jsonl"
  check "draw two files" 2 "" \
    "elevmod: draw: takes one trace file at most (see 'elevmod draw --help')"$'\n' \
    "$ELEVMOD" draw a b
fi

finish
