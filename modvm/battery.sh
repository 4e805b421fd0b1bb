# The module checks, run in the guest by busybox sh from /bin, where the
# tools are.  /battery.env names the module (MOD, its file KO), its proc
# file (PROC, or empty), the checks to run (CHECKS), how long the storms
# last (SECONDS_STORM) and, with KEEP_LOADED set, that an earlier rmmod
# crashed the kernel: the checks then leave the module loaded (the host
# sends none that needs rmmod).  For each check: "BEGIN name" on standard
# output and a marker in the kernel's log, then "PASS name" or "FAIL name:
# why", where any report of the kernel's during the check fails it, with
# the report's lines that matter ("  | ...").  After each insmod the
# module's place in memory ("LOADED name address size text-address") goes
# to standard output, and "modvm: rmmod" before each rmmod and "modvm:
# unloaded" after one that succeeded to the kernel's log, in order with its
# reports: for the host to tell what a crash was about.
. /battery.env

digest=$(md5sum consumer | awk '{print $1}')
KMEMLEAK=/sys/kernel/debug/kmemleak
why=
failures=0

# fail WHY: the check fails; the first reason is the one given.
fail() {
  failures=$((failures + 1))
  [ -n "$why" ] || why=$1
}

# wait_for SECONDS COMMAND...: whether COMMAND succeeded within SECONDS.
wait_for() {
  limit=$(($1 * 10))
  shift
  i=0
  until "$@"; do
    i=$((i + 1))
    [ $i -lt $limit ] || return 1
    sleep 0.1
  done
}

loaded() { grep -q "^$MOD " /proc/modules; }

load() {
  if ! insmod "$KO" 2>/tmp/insmod.err; then
    fail "insmod failed: $(cat /tmp/insmod.err)"
    return 1
  fi
  echo "LOADED $MOD $(awk -v m="$MOD" '$1 == m { print $6, $2 }' /proc/modules) $(cat /sys/module/$MOD/sections/.text 2>/dev/null)"
}

# unload: rmmod, again while the module is busy, for ten seconds at most.
# With KEEP_LOADED, the module stays.
try_rmmod() {
  echo "<4>modvm: rmmod" >/dev/kmsg
  rmmod "$MOD" 2>/tmp/rmmod.err || return
  echo "<4>modvm: unloaded" >/dev/kmsg
}
unload() {
  [ -z "$KEEP_LOADED" ] || return 0
  wait_for 10 try_rmmod && return 0
  fail "rmmod failed: $(cat /tmp/rmmod.err)"
  return 1
}

# call NAME WANT NR [ARG...]: one call; its answer must be one of WANT
# ("0", "1" or "0 1").
call() {
  name=$1 want=$2
  shift 2
  got=$(rawcall -e "$@")
  case " $want " in *" $got "*) return 0 ;; esac
  fail "$name answered $got$(meaning "$got" "$want")"
}

# meaning ANSWER [WANT]: what is wrong with an answer, after a colon.
meaning() {
  case $1 in
    "-1 ENOSYS") echo ": no operations registered" ;;
    "-1 EPROTO") echo ": the module answered neither 0, 1 nor an error" ;;
    -1\ *) echo ": a refusal must be the plain value 1, not an error code" ;;
    *) [ -z "$2" ] || echo ", want $(echo "$2" | sed 's/ / or /')" ;;
  esac
}

# The kernel threads now, one "PID NAME" a line; kworkers come and go.
kthreads() {
  for d in /proc/[0-9]*; do
    [ "$(cat "$d/stat" 2>/dev/null | cut -d' ' -f4)" = 2 ] || continue
    name=$(cat "$d/comm" 2>/dev/null)
    case $name in kworker/*) continue ;; esac
    echo "${d#/proc/} $name"
  done | sort
}

# threads_since BEFORE: the kernel threads now that kthreads did not list
# in BEFORE, "name (pid N)" each, on one line.
threads_since() {
  kthreads | while read -r pid name; do
    echo "$1" | grep -q "^$pid " || echo "$name (pid $pid)"
  done | tr '\n' ' '
}

# storms SECONDS KIND...: one callstorm per KIND, in the background, their
# summaries in /tmp/storm.N.
storms() {
  seconds=$1
  shift
  storm_pids=
  n=0
  for kind in "$@"; do
    n=$((n + 1))
    callstorm "$kind" "$seconds" >/tmp/storm.$n 2>&1 &
    storm_pids="$storm_pids $!"
  done
}

alive() { [ -e /proc/$1 ] && [ "$(cut -d' ' -f3 /proc/$1/stat 2>/dev/null)" != Z ]; }
storms_done() {
  for p in $storm_pids; do alive "$p" && return 1; done
  return 0
}

# storms_answered WHAT: each storm ended within a minute of its time and
# got no bad answer (nor ENOSYS, with WHAT "loaded"); with WHAT "any",
# only that every call was answered counts.
storms_answered() {
  if ! wait_for $((seconds + 60)) storms_done; then
    for p in $storm_pids; do alive "$p" && break; done
    fail "calls unanswered a minute after the storm's end (one in system call $(cut -d' ' -f1 /proc/$p/syscall 2>/dev/null))"
    return 1
  fi
  for p in $storm_pids; do wait "$p"; done
  for f in /tmp/storm.*; do
    [ "$1" != any ] || continue
    summary=$(head -n 1 "$f")
    case $summary in
      *" bad=0") ;;
      *)
        bad=$(sed -n 's/^first bad: //p' "$f")
        fail "$bad$(meaning "${bad##* answered }") (${summary##* bad=} of $(echo "$summary" | cut -d' ' -f3 | tr -d :) calls)"
        continue ;;
    esac
    case $summary in
      *" ENOSYS=0 "*) ;;
      *) fail "calls answered -1 ENOSYS while the module was loaded ($summary)" ;;
    esac
  done
  rm -f /tmp/storm.*
}

proc_readers() {
  [ -n "$PROC" ] || return 0
  (
    end=$(($(cut -d. -f1 /proc/uptime) + $1))
    while [ "$(cut -d. -f1 /proc/uptime)" -lt $end ]; do
      cat "$PROC" >/dev/null 2>>/tmp/proc.err || { echo "reading $PROC failed" >>/tmp/proc.err; break; }
    done
  ) &
  reader=$!
}

proc_read() {
  [ -n "$PROC" ] || return 0
  wait "$reader"
  [ -s /tmp/proc.err ] && fail "$(head -n 1 /tmp/proc.err)"
  rm -f /tmp/proc.err
}

check_contract() {
  load || return
  call "the first start" 0 323
  call "a second start" 1 323
  call "a valid request (0, 1, 2)" "0 1" 324 0 1 2
  for r in "3 1 2" "-1 1 2" "-2147483648 1 2" "2147483647 1 2" "0 0 2" \
      "0 11 2" "0 -1 2" "0 1 0" "0 1 11" "0 -2147483648 2147483647" "0 5 5"; do
    call "request ($(echo "$r" | sed 's/ /, /g'))" "0 1" 324 $r
  done
  call "the first stop" 0 325
  call "a second stop" 1 325
  call "a start after the stops" "0 1" 323
  call "a stop after that" "0 1" 325
  unload
}

# The tools' scenario.  The producer writes into a pipe that nobody reads
# yet, so it blocks in write() while sending; the clock is then stepped
# past the window, so its sending measures over 300 s and it does not
# sleep.
check_scenario() {
  load || return
  out=$(consumer --start 2>&1)
  status=$?
  [ "$status $out" = "0 $digest
Elevator successfully started" ] || fail "consumer --start: status $status, printed '$(echo "$out" | tail -n 1)'"
  rm -f /tmp/out
  mkfifo /tmp/out
  exec 3<>/tmp/out
  producer >/tmp/out 2>/tmp/producer.err &
  producer=$!
  # (A producer that was refused ends before it fills the pipe.)
  in_write() { [ "$(cut -d' ' -f1 /proc/$producer/syscall 2>/dev/null)" = 1 ]; }
  held_or_gone() { in_write || ! alive $producer; }
  if wait_for 120 held_or_gone && in_write; then
    date -s "@$(($(date +%s) + 400))" >/dev/null
  fi
  exec 4</tmp/out 3<&-
  cat <&4 >/tmp/producer.out
  wait $producer
  status=$?
  exec 4<&-
  added=$(grep -c '^Successfully added$' /tmp/producer.out)
  if [ $status -ne 0 ] || [ "$added" -ne 10000 ] || [ -s /tmp/producer.err ] ||
      [ "$(tail -n 1 /tmp/producer.out)" != "Time is up!!!" ]; then
    fail "producer: status $status after $added passengers added, printed '$(tail -n 1 /tmp/producer.err /tmp/producer.out 2>/dev/null | grep -v '^==>' | grep . | head -n 1)'"
  fi
  out=$(consumer --stop 2>&1)
  status=$?
  [ "$status $out" = "0 $digest
Elevator is now stopped" ] || fail "consumer --stop: status $status, printed '$(echo "$out" | tail -n 1)'"
  unload
}

check_stress() {
  load || return
  call "start" 0 323
  storms "$SECONDS_STORM" requests requests requests toggle
  proc_readers "$SECONDS_STORM"
  storms_answered loaded
  proc_read
  rawcall 325 >/dev/null
  unload
}

check_unload() {
  before=$(kthreads)
  load || return
  call "start" 0 323
  storms "$SECONDS_STORM" requests requests toggle
  sleep 1
  # rmmod under load: refused cleanly (the module stays and answers) or
  # done; the callers then get -1 ENOSYS.
  refusals=0
  until try_rmmod; do
    refusals=$((refusals + 1))
    loaded || { fail "a refused rmmod left the module half gone: $(cat /tmp/rmmod.err)"; break; }
    [ $refusals -lt 200 ] || { fail "rmmod refused for 20 s under load: $(cat /tmp/rmmod.err)"; break; }
    sleep 0.1
  done
  storms_answered any
  ! loaded || unload
  left=$(threads_since "$before")
  [ -z "$left" ] || fail "a thread still runs after rmmod: $left"
  got=$(rawcall -e 323)
  [ "$got" = "-1 ENOSYS" ] || fail "a start after rmmod answered $got, want -1 ENOSYS"
}

# kmemleak: of the first objects reported unreferenced (the module may
# have leaked in every check; reading them all takes minutes), those whose
# allocation went through the module (frames of an unloaded module print
# as bare addresses) or through the elevator's calls.  kmemleak reports an
# object found unreferenced by a scan when it is five seconds old and
# unchanged since the scan before.
module_leaks() {
  sleep 6
  echo scan >$KMEMLEAK
  echo scan >$KMEMLEAK
  head -n 3000 $KMEMLEAK >/tmp/kmemleak
  awk '/^unreferenced object/ { if (obj != "" && mine) print obj; obj = $0; mine = 0; next }
       { obj = obj "\n" $0 }
       /\] 0xffffffff[0-9a-f]+$/ || /cabgate/ { mine = 1 }
       END { if (obj != "" && mine) print obj }' /tmp/kmemleak >/tmp/leaks
}

check_leaks() {
  if [ ! -e $KMEMLEAK ]; then
    fail "no kmemleak in this kernel"
    return
  fi
  echo clear >$KMEMLEAK
  load || return
  call "start" 0 323
  for start in 1 2 3 5 8; do
    rawcall -n 100 324 1 $start 10 >/dev/null
  done
  unload || return
  module_leaks
  count=$(grep -c '^unreferenced object' /tmp/leaks)
  if [ "$count" -gt 0 ]; then
    fail "kmemleak: objects allocated through the module are unreferenced after rmmod ($count of the first $(grep -c '^unreferenced object' /tmp/kmemleak) reported)"
    # The first of them, without its contents.
    awk '/^unreferenced object/ { n++ } n == 1 && !/^ *(hex dump|[0-9a-f][0-9a-f] )/' /tmp/leaks |
      sed 's/\[<(____ptrval____)>\] //' >>/tmp/report
  fi
  echo clear >$KMEMLEAK
}

check_reload() {
  round=1
  while [ $round -le 5 ] && [ -z "$why" ]; do
    load || break
    call "start (round $round)" 0 323
    call "a request (round $round)" "0 1" 324 0 1 2
    call "stop (round $round)" 0 325
    unload || break
    round=$((round + 1))
  done
}

# Another elevator is registered, so the module's registration fails with
# -EBUSY: its init must fail and leave nothing behind.
check_init_error() {
  before=$(kthreads)
  insmod /lib/cabgate_test.ko
  if insmod "$KO" 2>/dev/null; then
    fail "insmod succeeded while another elevator was registered (cabgate_register_ops' -EBUSY went unnoticed)"
    unload
  fi
  call "a start, answered by the other elevator" 0 323
  rmmod cabgate_test
  left=$(threads_since "$before")
  [ -z "$left" ] || fail "a thread still runs after the failed init: $left"
}

# The kernel's lines of warning level or worse since this check's marker,
# but those of /lib/kernel-noise (the emulator's timing noise, the taint of
# an out-of-tree module) and KCSAN's reports of races that the module takes
# no part in (the kernel has benign ones of its own).
kernel_said() {
  dmesg -r | awk -v marker="modvm: check $1 begins" '
    index($0, marker) { n = 0; split("", said); next }
    { level = $0; sub(/^</, "", level); sub(/>.*/, "", level) }
    level % 8 <= 4 { line = $0; sub(/^<[0-9]+>/, "", line); said[++n] = line }
    END { for (i = 1; i <= n; i++) print said[i] }' |
    awk -f /lib/races.awk -v module="$MOD" |
    grep -v -E '^(\[ *[0-9.]+\] )?modvm: ' | grep -v -E -f /lib/kernel-noise
}

for check in $CHECKS; do
  why=
  failures=0
  : >/tmp/report
  echo "BEGIN $check"
  echo "<4>modvm: check $check begins" >/dev/kmsg
  case $check in
    contract) check_contract ;;
    scenario) check_scenario ;;
    stress) check_stress ;;
    unload) check_unload ;;
    leaks) check_leaks ;;
    reload) check_reload ;;
    init-error) check_init_error ;;
  esac
  # What is left of the module goes before the next check.
  [ -n "$KEEP_LOADED" ] || ! loaded || try_rmmod
  said=$(kernel_said "$check")
  if [ -n "$said" ]; then
    fail "the kernel reported: $(echo "$said" | awk -f /lib/report.awk -v max=1 | head -n 1)"
    echo "$said" | awk -f /lib/report.awk >>/tmp/report
  fi
  if [ -n "$why" ]; then
    [ $failures -le 1 ] || why="$why (and $((failures - 1)) more)"
    echo "FAIL $check: $why"
    sed 's/^/  | /' /tmp/report
  else
    echo "PASS $check"
  fi
done
echo "DONE"
