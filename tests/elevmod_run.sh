# How `elevmod run` hands over to its command: the same process and argument
# vector, exit statuses, closed descriptors, failures to start, nesting, and
# the command-line complaints of every verb.
# shellcheck source=lib.sh
source "$(dirname "$0")/lib.sh"

load --step-ms 3600000
sock=$ELEVMOD_SOCKET

# Is COMMAND exec'd in the same process, argv[0] untouched, status passed on?
check "argv kept as given" 0 "sh -c tr '\0' ' ' </proc/\$\$/cmdline x " "" \
  "$ELEVMOD" run sh -c "tr '\0' ' ' </proc/\$\$/cmdline" x
pids=$(sh -c 'echo $$; exec "$0" run sh -c "echo \$\$"' "$ELEVMOD")
expect "same pid" "$(sed -n 2p <<<"$pids")" "$(sed -n 1p <<<"$pids")"
expect "both pids printed" "$(grep -c "^[0-9][0-9]*$" <<<"$pids")" 2
check "exit status passed on" 42 "" "" "$ELEVMOD" run -- sh -c 'exit 42'
check "children inherit the filter" 0 $'0\n1\n' "" \
  "$ELEVMOD" run bash -c '"$1" 323; ( "$1" 323 )' bash "$RAWCALL"

# Does a command that can't be started get a message and 127 or 126?
printf 'echo hi\n' >"$scratch/plain"
check "not found" 127 "" \
  "elevmod: run: cannot run $scratch/none: No such file or directory"$'\n' \
  "$ELEVMOD" run "$scratch/none"
check "not found on PATH" 127 "" \
  "elevmod: run: cannot run no-such-command-here: No such file or directory"$'\n' \
  "$ELEVMOD" run no-such-command-here
check "not executable" 126 "" \
  "elevmod: run: cannot run $scratch/plain: Permission denied"$'\n' \
  "$ELEVMOD" run "$scratch/plain"

# Do closed standard descriptors stay closed, and calls still work?
probe='for fd in 0 1 2; do
  if [ -e /proc/$$/fd/$fd ]; then printf "%s open " $fd
  else printf "%s closed " $fd; fi; done >&3'
check "closed stdin and stderr stay closed" 0 "0 closed 1 open 2 closed " "" \
  sh -c '"$1" run sh -c "$2" 3>&1 0<&- 2>&-' sh "$ELEVMOD" "$probe"
"$ELEVMOD" run sh -c '"$1" 324 0 1 2 >&3' sh "$RAWCALL" \
  0<&- 1>&- 2>&- 3>"$scratch/closed-out"
expect "calls with all three closed" "$(cat "$scratch/closed-out")" 0

# Nesting: an inner run uses the outer's answers; an inner --reply can't.
check "nested run" 0 $'0\n1\n' "" "$ELEVMOD" run "$ELEVMOD" run \
  sh -c '"$1" 325; "$1" 325' sh "$RAWCALL"
check "nested --reply under a service" 125 "" \
  "elevmod: run: --reply cannot attach: this process already runs under elevmod run (one listener per process tree)"$'\n' \
  "$ELEVMOD" run "$ELEVMOD" run --reply 323=424245 "$RAWCALL" 323
refused_helper_gone() { ! pgrep -f -- "--reply 323=424245" >/dev/null; }
wait_until refused_helper_gone
expect "the refused --reply's helper is gone" \
  "$(pgrep -c -f -- "--reply 323=424245")" 0
check "run inside --reply" 0 $'5\n' "" \
  "$ELEVMOD" run --reply 323=5 "$ELEVMOD" run "$RAWCALL" 323

# The --reply helper answers a whole process tree and is gone with it.
check "--reply answers children" 0 $'6\n6\n' "" "$ELEVMOD" run \
  --reply 323=6 -- bash -c '"$1" 323; ( "$1" 323 ) & wait' bash "$RAWCALL"
mkfifo "$scratch/go"
"$ELEVMOD" run --reply 323=424242 -- sh -c 'echo up; read x <"$1"' sh \
  "$scratch/go" >"$scratch/up" &
wait_until grep -q up "$scratch/up"
# (The command is sh by now; only the helper still carries elevmod's
# command line.)
expect "--reply helper while its command runs" \
  "$(pgrep -c -f -- "--reply 323=424242")" 1
echo go >"$scratch/go"
wait
helper_gone() { ! pgrep -f -- "--reply 323=424242" >/dev/null; }
wait_until helper_gone
expect "--reply helper gone with its command" \
  "$(pgrep -c -f -- "--reply 323=424242")" 0
unload
load --socket "$scratch/other"
check "outer run without service, inner with one" 0 $'0\n' \
  "elevmod: run: no service is loaded on $sock; $ELEVMOD runs without one (its calls fail with -1)"$'\n' \
  "$ELEVMOD" run "$ELEVMOD" run --socket "$scratch/other" "$RAWCALL" 323
"$ELEVMOD" unload --socket "$scratch/other"

# Without user notification in the kernel, load and run say so alike, and
# run does not run its command.
lacks="this kernel or libseccomp lacks seccomp user notification (it needs Linux 5.0 or later with CONFIG_SECCOMP_FILTER, and libseccomp 2.5 or later)"
check "load without user notification" 1 "" "elevmod: load: $lacks"$'\n' \
  "$BIN/tests/noseccomp" "$ELEVMOD" load --socket "$scratch/none"
check "run without user notification" 125 "" "elevmod: run: $lacks"$'\n' \
  "$BIN/tests/noseccomp" "$ELEVMOD" run --socket "$scratch/none" echo ran

for asked in help --help -h; do
  check "help $asked is the general help" 0 "$("$ELEVMOD" --help)"$'\n' "" \
    "$ELEVMOD" help $asked
done

# Are bad command lines refused with one line naming the fault, status 2?
while IFS='|' read -r args message; do
  check "usage: $args" 2 "" "$message"$'\n' "$ELEVMOD" $args
done <<'EOF_CASES'
|elevmod: no verb given (see 'elevmod --help')
frob|elevmod: unknown verb 'frob' (see 'elevmod --help')
help frob|elevmod: unknown verb 'frob' (see 'elevmod --help')
--bogus|elevmod: unrecognized option '--bogus' (see 'elevmod --help')
-x|elevmod: invalid option -- 'x' (see 'elevmod --help')
run|elevmod: run: no command given (see 'elevmod run --help')
run --frob true|elevmod: run: unrecognized option '--frob' (see 'elevmod run --help')
run -x true|elevmod: run: invalid option -- 'x' (see 'elevmod run --help')
run --reply 326=1 true|elevmod: run: bad --reply '326=1': want NR=VALUE, NR one of 323, 324, 325 and VALUE a 32-bit integer (see 'elevmod run --help')
run --reply 324=x true|elevmod: run: bad --reply '324=x': want NR=VALUE, NR one of 323, 324, 325 and VALUE a 32-bit integer (see 'elevmod run --help')
run --reply 324=+2 true|elevmod: run: bad --reply '324=+2': want NR=VALUE, NR one of 323, 324, 325 and VALUE a 32-bit integer (see 'elevmod run --help')
run --reply 324=2147483648 true|elevmod: run: bad --reply '324=2147483648': want NR=VALUE, NR one of 323, 324, 325 and VALUE a 32-bit integer (see 'elevmod run --help')
run --reply 324 true|elevmod: run: bad --reply '324': want NR=VALUE, NR one of 323, 324, 325 and VALUE a 32-bit integer (see 'elevmod run --help')
run --reply|elevmod: run: option '--reply' requires an argument (see 'elevmod run --help')
load --capacity 0|elevmod: load: --capacity needs a whole number from 1 to 1000000, not '0' (see 'elevmod load --help')
load --capacity +5|elevmod: load: --capacity needs a whole number from 1 to 1000000, not '+5' (see 'elevmod load --help')
load --step-ms 1e3|elevmod: load: --step-ms needs a whole number from 1 to 3600000, not '1e3' (see 'elevmod load --help')
load --step-ms|elevmod: load: option '--step-ms' requires an argument (see 'elevmod load --help')
load --foreground=yes|elevmod: load: option '--foreground' doesn't allow an argument (see 'elevmod load --help')
load --bogus|elevmod: load: unrecognized option '--bogus' (see 'elevmod load --help')
status --watch-me|elevmod: status: unrecognized option '--watch-me' (see 'elevmod status --help')
status --socket|elevmod: status: option '--socket' requires an argument (see 'elevmod status --help')
status --socket=|elevmod: status: --socket needs a path (see 'elevmod status --help')
unload extra|elevmod: unload: unexpected argument 'extra' (see 'elevmod unload --help')
trace --json=1|elevmod: trace: option '--json' doesn't allow an argument (see 'elevmod trace --help')
EOF_CASES
check "blank-padded number refused" 2 "" \
  "elevmod: load: --capacity needs a whole number from 1 to 1000000, not ' 5' (see 'elevmod load --help')"$'\n' \
  "$ELEVMOD" load --capacity " 5"

# Does each verb's help explain its options with their defaults, the same
# through --help, -h and 'elevmod help VERB'?
for verb in load unload status run trace; do
  "$ELEVMOD" $verb --help >"$scratch/help-$verb"
  expect "$verb --help status" "$?" 0
  expect "$verb --help synopsis" "$(head -n 1 "$scratch/help-$verb" | cut -c1-$((15 + ${#verb})))" \
    "usage: elevmod $verb"
  expect "$verb --help names the socket's default" \
    "$(grep -c 'the service.s socket (default: \$ELEVMOD_SOCKET' "$scratch/help-$verb")" 1
  check "$verb -h" 0 "$(cat "$scratch/help-$verb")"$'\n' "" "$ELEVMOD" $verb -h
  check "help $verb" 0 "$(cat "$scratch/help-$verb")"$'\n' "" "$ELEVMOD" help $verb
done
expect "load's defaults" \
  "$(grep -o '(default [0-9]*)' "$scratch/help-load" | tr '\n' ' ')" \
  "(default 5) (default 1000) (default 1000000) (default 1) "
expect "run's default" "$(grep -c 'default: no fixed answers' "$scratch/help-run")" 1
"$ELEVMOD" --help >"$scratch/help"
expect "--help status" "$?" 0
expect "--help names every verb" \
  "$(grep -c -E '^  (load|unload|status|run|trace) ' "$scratch/help")" 5
check "-h is --help" 0 "$(cat "$scratch/help")"$'\n' "" "$ELEVMOD" -h
check "--version" 0 "elevmod $(sed -n 's/^project(cabgate VERSION \([0-9.]*\).*/\1/p' \
  "$(dirname "$0")/../CMakeLists.txt")"$'\n' "" "$ELEVMOD" --version

finish
