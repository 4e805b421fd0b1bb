# shellcheck disable=SC2034  # what it sets is for the scripts that source it
# Shared helpers for the black-box tests.  Each test script sources this with
# BIN set to the build directory; it gets a scratch directory of its own and
# a service socket in it, both gone when the script ends.
set -u

: "${BIN:?BIN must name the build directory}"
ELEVMOD=$BIN/elevmod
RAWCALL=$BIN/tests/rawcall
CONSUMER=$BIN/consumer
PRODUCER=$BIN/producer
# Speeds up the tools' pauses and the producer's window a hundredfold.
FAST=(faketime -f '+0 x100')

scratch=$(mktemp -d "${TMPDIR:-/tmp}/cabgate-test.XXXXXX")
export ELEVMOD_SOCKET=$scratch/socket
passed=0
failed=0
# Runs a command with the default socket, in a runtime directory of the
# test's own where no service is ever loaded: `elevmod run` says nothing of
# a service that a user did not name.
UNNAMED=(env -u ELEVMOD_SOCKET XDG_RUNTIME_DIR="$scratch/runtime")

# Within a bound: a test may end with its service stopped (SIGSTOP), and
# an interrupted run is killed outright a few seconds after it is told.
cleanup() {
  timeout 2 "$ELEVMOD" unload >/dev/null 2>&1
  rm -rf "$scratch"
}
trap cleanup EXIT
# Interrupted, a test still cleans up on its way out.
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

fail() {
  echo "FAIL: $*" >&2
  failed=$((failed + 1))
}

ok() {
  passed=$((passed + 1))
}

# expect NAME ACTUAL WANTED: one comparison, reported with both sides.
expect() {
  if [ "$2" == "$3" ]; then
    ok
  else
    fail "$1"
    printf '  want: %q\n  got:  %q\n' "$3" "$2" >&2
  fi
}

# check NAME STATUS STDOUT STDERR COMMAND...: runs COMMAND and compares its
# exit status, standard output and standard error exactly.
check() {
  local name=$1 want_status=$2 want_out=$3 want_err=$4
  shift 4
  "$@" >"$scratch/out" 2>"$scratch/err"
  local status=$?
  local out err
  out=$(cat "$scratch/out"; echo x)
  err=$(cat "$scratch/err"; echo x)
  local bad=
  [ "$status" == "$want_status" ] || bad+=" status $status (want $want_status)"
  [ "${out%x}" == "$want_out" ] || bad+=" stdout"
  [ "${err%x}" == "$want_err" ] || bad+=" stderr"
  if [ -z "$bad" ]; then
    ok
  else
    fail "$name:$bad"
    printf '  stdout want: %q\n  stdout got:  %q\n' "$want_out" "${out%x}" >&2
    printf '  stderr want: %q\n  stderr got:  %q\n' "$want_err" "${err%x}" >&2
  fi
}

load() {
  "$ELEVMOD" load "$@" || { fail "elevmod load $*"; exit 1; }
}

unload() {
  "$ELEVMOD" unload || fail "elevmod unload"
}

# field_of JSON NAME: one numeric field of a status JSON object.
field_of() {
  sed -n "s/.*\"$2\":\([0-9-]*\).*/\1/p" <<<"$1"
}

# json_field NAME: one numeric field of `elevmod status --json`.
json_field() {
  field_of "$("$ELEVMOD" status --json)" "$1"
}

# Checks accepted = waiting + aboard + delivered in one status.
expect_invariant() {
  local json
  json=$("$ELEVMOD" status --json)
  expect "invariant in $json" "$(field_of "$json" accepted)" \
    "$(( $(field_of "$json" waiting) + $(field_of "$json" aboard) +
         $(field_of "$json" delivered) ))"
}

# wait_until COMMAND...: retries COMMAND until it succeeds, for up to a
# minute (a slow machine gets there in the end; a fault fails the check that
# follows).
wait_until() {
  local deadline=$(( $(date +%s) + 60 ))
  until "$@"; do
    [ "$(date +%s)" -lt $deadline ] || return 1
    sleep 0.01
  done
}

# alive PID: PID runs (a child that ended but is not yet waited for does not).
alive() {
  local stat
  stat=$(ps -o stat= -p "$1")
  [ -n "$stat" ] && [[ $stat != Z* ]]
}

# wait_while_alive PID COMMAND...: retries COMMAND until it succeeds, for as
# long as PID runs (for a step whose length is PID's own, such as a build);
# fails once PID has ended without it.
wait_while_alive() {
  local pid=$1
  shift
  until "$@"; do
    alive "$pid" || "$@" || return 1
    sleep 0.05
  done
}

# stop PID: sends SIGSTOP and waits until every thread of PID has stopped
# (a thread that is busy stops only once it gets there).
all_stopped() {
  local stat
  for stat in /proc/"$1"/task/*/stat; do
    [[ "$(cut -d' ' -f3 "$stat" 2>/dev/null)" == [Tt] ]] || return 1
  done
}
stop() {
  kill -STOP "$1"
  wait_until all_stopped "$1"
}

# can_unshare: root, and mount namespaces to be had.
can_unshare() { [ "$(id -u)" -eq 0 ] && unshare --mount true 2>/dev/null; }

# with_logsink SNIPPET: runs the bash SNIPPET in a mount namespace of its
# own where tests/logsink stands in for the system logger on /dev/log and
# writes what it gets to $scratch/syslog, so the host's logger is untouched.
# The snippet has $scratch, $elevmod, $badclient and $sink (logsink's pid).
with_logsink() {
  unshare --mount bash -c '
    scratch=$1 logsink=$2 elevmod=$3 badclient=$4
    touch "$scratch/null"
    mount --bind /dev/null "$scratch/null"
    mount -t tmpfs tmpfs /dev
    touch /dev/null
    mount --bind "$scratch/null" /dev/null
    "$logsink" /dev/log >"$scratch/syslog" &
    sink=$!
    for _ in $(seq 1000); do grep -q ready "$scratch/syslog" && break; sleep 0.01; done
    eval "$5"
    status=$?
    kill $sink
    exit $status
  ' bash "$scratch" "$BIN/tests/logsink" "$ELEVMOD" "$BIN/tests/badclient" "$1"
}

# in_syscall PID NR: PID sleeps in system call NR (1 is write).
in_syscall() { [ "$(cut -d' ' -f1 "/proc/$1/syscall" 2>/dev/null)" == "$2" ]; }

# Holding a tool at a known point.  hold_output FILE starts a reader of the
# FIFO $held that copies it into FILE only once release_output is called;
# a tool writing to $held fills the pipe (64 KiB) until then, and stays
# blocked in write() where `wait_until in_syscall PID 1` finds it.
hold_output() {
  held=$scratch/held
  rm -f "$held" "$scratch/release"
  mkfifo "$held" "$scratch/release"
  { read -r _ <"$scratch/release"; exec cat >"$1"; } <"$held" &
  held_reader=$!
}

# release_output: lets the reader go on; it ends when the tool has.
release_output() {
  echo go >"$scratch/release"
}

first_request_accepted() { [ "$(json_field accepted)" -gt 0 ] 2>/dev/null; }
listeners_are() { [ "$(json_field listeners)" == "$1" ]; }
socket_is_there() { [ -S "$ELEVMOD_SOCKET" ]; }

# Waits until the service has accepted a first request.
wait_for_first_request() { wait_until first_request_accepted; }

# Waits until a service started in the background has its socket.
wait_for_socket() { wait_until socket_is_there; }

# want NAME: the section NAME of a suite is to run: $CASE names it, or
# no $CASE is given (the whole suite).
want() { [ -z "${CASE:-}" ] || [ "$CASE" == "$1" ]; }

# skip WHY: a section that cannot run here says so.
skipped=0
skip() {
  echo "skipped: $*"
  skipped=$((skipped + 1))
}

# A case that ran no check and skipped nothing names no section: a failure.
# modules_built SOURCE TREE: SOURCE's kernel modules built against the
# kernel tree TREE, in a directory of the build tree kept between tests
# (make rebuilds what changed); prints the directory.
modules_built() {
  local dir
  dir=$BIN/modvm-modules/$(basename "$1")-$(basename "$2")
  mkdir -p "$dir"
  cp -p "$1"/* "$dir/"
  make -C "$2" M="$dir" modules >"$dir/make.log" 2>&1 ||
    { cat "$dir/make.log" >&2; return 1; }
  echo "$dir"
}

finish() {
  echo "$passed passed, $failed failed"
  if [ -n "${CASE:-}" ] && [ $((passed + failed + skipped)) -eq 0 ]; then
    echo "FAIL: no section of this suite is named '$CASE'" >&2
    return 1
  fi
  [ "$failed" -eq 0 ]
}

# The library behind faketime, for runs whose argv[0] must reach the tool
# untouched (faketime and env would take a name such as "-" for an option).
FAKETIME_LIB=$(ls /usr/lib/*/faketime/libfaketime.so.1 2>/dev/null | head -n 1)
# The same hundredfold speed-up, exec'd in place: no faketime process between
# the caller and the tool, so $! is the tool's own pid.
FAST_ENV=(env LD_PRELOAD="$FAKETIME_LIB" FAKETIME="+0 x100")
# The speed-up for a chain of execs (elevmod run, then the tool as typed).
# The first process under libfaketime makes its shared memory, named by its
# pid, and removes it only if it exits rather than execs; a leftover whose pid
# comes round again breaks that later faketime.  A bash parent owns it here.
FAST_TREE=("${FAST_ENV[@]}" bash -c '"$@"; exit $?' bash)

# digest_of FILE: the digest line the tools print for FILE.
digest_of() {
  md5sum "$1" | awk '{print $1}'
}
