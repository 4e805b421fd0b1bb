# The main job, as README gives it: scripts/demo --fast ends with status 0
# and leaves nothing behind; the watch command it prints reaches its service
# when pasted; the car keeps up with the faster clock.
# shellcheck source=lib.sh
source "$(dirname "$0")/lib.sh"

root=$(cd "$(dirname "$0")/.." && pwd)
mkdir "$scratch/tmp" "$scratch/hold"
# The demo is held in the producer's fingerprint (an md5sum first on PATH
# that waits to be let go) while the watch command it printed is pasted, so
# that the watch meets the service however slow the machine.
mkfifo "$scratch/release"
exec {release}<>"$scratch/release"
cat >"$scratch/hold/md5sum" <<EOF
#!/bin/sh
case "\$1" in */producer) read -r _ <"$scratch/release" ;; esac
exec $(command -v md5sum) "\$@"
EOF
chmod +x "$scratch/hold/md5sum"
PATH=$scratch/hold:$PATH TMPDIR=$scratch/tmp "$root/scripts/demo" --fast \
  >"$scratch/out" 2>"$scratch/err" &
demo=$!
printed() { grep -q ' status --watch$' "$scratch/out"; }
# The demo builds first, which takes its time in a slow guest.
wait_while_alive $demo printed
watch_line=$(sed -n 's/^  \(.* status --watch\)$/\1/p' "$scratch/out")
expect "watch command names the demo's socket" \
  "$(grep -c "^ELEVMOD_SOCKET=$scratch/tmp/cabgate-demo\.[A-Za-z0-9]*/socket [^ ]*/elevmod status --watch\$" <<<"$watch_line")" 1
# Pasted as printed, it watches until the demo unloads its service.
eval "$watch_line" >"$scratch/watched" 2>&1 &
watcher=$!
framed() { grep -q '^state:' "$scratch/watched"; }
wait_until framed
# While the producer runs, the demo says how the service is doing.
progress() { grep -q '^  [0-2][0-9]:[0-5][0-9]:[0-6][0-9]  \(starting    \|[0-5]:[0-5][0-9] of 5:00\)  accepted [0-9]*, waiting [0-9]*, aboard [0-9]*, delivered [0-9]*$' "$scratch/out"; }
wait_until progress || fail "no progress line while the producer runs"
echo go >&$release
wait $demo
expect "demo status" "$?" 0
expect "demo's last line" "$(tail -n 1 "$scratch/out")" \
  "demo: the scenario ran as expected"
expect "demo's stderr" "$(cat "$scratch/err")" ""
wait $watcher
expect "watch ends when the demo unloads" "$?" 0
expect "watch says the service ended" "$(tail -n 1 "$scratch/watched")" \
  "elevmod: status: the service on $(sed 's/^ELEVMOD_SOCKET=\([^ ]*\) .*/\1/' <<<"$watch_line") has ended"
expect "watched the demo's service" "$(( $(grep -c '^state:' "$scratch/watched") >= 1 ))" 1
expect "nothing left behind" "$(ls -A "$scratch/tmp")" ""
delivered=$(sed -n 's/^delivered: *\([0-9]*\) (the longest wait to board: [0-9.]* s)$/\1/p' "$scratch/out")
expect "the car kept up with the faster clock ($delivered delivered)" \
  "$(( ${delivered:-0} > 300 ))" 1
expect "the demo sums the run up" \
  "$(grep -c '^demo: 10000 passengers accepted, [0-9]* delivered, [0-9]* still waiting when the elevator stopped;$' "$scratch/out"):$(grep -c '^demo: the longest wait to board was [0-9]*\.[0-9] s$' "$scratch/out")" \
  1:1
picture=$(sed -n 's/^demo: a picture of the run: //p' "$scratch/out")
expect "the demo draws the run" "$picture" "$root/build/demo.svg"
expect "its picture shows the car's floor and the counts" \
  "$(grep -c '<polyline' "$picture")" 3
expect "commands shown as run" \
  "$(grep -c "^\\\$ ELEVMOD_SOCKET=$scratch/tmp/cabgate-demo\.[A-Za-z0-9]*/socket $root/build/elevmod " "$scratch/out")" 6

# Interrupted (here while the producer is held in its fingerprint), the
# demo ends what it started and says so: no producer left, no service, no
# files.  (A background job ignores SIGINT; TERM takes the same road.)
PATH=$scratch/hold:$PATH TMPDIR=$scratch/tmp "$root/scripts/demo" --fast \
  >"$scratch/out2" 2>"$scratch/err2" &
demo=$!
printed2() { grep -q ' status --watch$' "$scratch/out2"; }
wait_while_alive $demo printed2
held_in_md5sum() { pgrep -f "$scratch/hold/md5sum" >/dev/null; }
wait_while_alive $demo held_in_md5sum
kill -TERM $demo
wait $demo
expect "interrupted demo's status" "$?" 130
expect "interrupted demo says so" "$(tail -n 1 "$scratch/err2")" \
  "demo: interrupted: ending the producer and the service it started"
gone() { ! held_in_md5sum; }
wait_until gone
expect "interrupted demo leaves no producer" "$(pgrep -fc "$scratch/hold/md5sum")" 0
expect "interrupted demo leaves nothing behind" "$(ls -A "$scratch/tmp")" ""

# The scripts' own command lines: help on stdout with status 0, anything
# else refused with the usage line and status 2, before anything is built
# or installed.
check "demo --help" 0 "$("$root/scripts/demo" --help)"$'\n' "" \
  "$root/scripts/demo" --help
expect "demo --help starts with its usage" \
  "$("$root/scripts/demo" --help | head -n 1)" "usage: scripts/demo [--fast]"
check "demo with a bad argument" 2 "" \
  "demo: unknown option '--slow'"$'\nusage: scripts/demo [--fast]\n' \
  "$root/scripts/demo" --slow
check "demo with two arguments" 2 "" \
  $'demo: takes at most one option\nusage: scripts/demo [--fast]\n' \
  "$root/scripts/demo" --fast --fast
# The test command refuses what it does not know before it builds, and
# says what it takes; so does the build.
check "test with an unknown option" 2 "" \
  "scripts/test: unknown option '--bogus' (see scripts/test --help)"$'\n' \
  "$root/scripts/test" --bogus
expect "test --help starts with its usage" \
  "$("$root/scripts/test" --help | head -n 1 | cut -d' ' -f1-2)" \
  "usage: scripts/test"
check "test with a label and no value" 2 "" \
  $'scripts/test: -L needs a value\n' "$root/scripts/test" -L
expect "setup --help starts with its usage" \
  "$("$root/scripts/setup" --help | head -n 1)" "usage: scripts/setup"
check "setup with an argument" 2 "" \
  $'scripts/setup: takes no arguments (see scripts/setup --help)\n' \
  "$root/scripts/setup" --bogus
expect "kernels --help starts with its usage" \
  "$("$root/scripts/kernels" --help | head -n 1)" \
  "usage: scripts/kernels [6.1] [5.10] [6.12]"
check "kernels with an unknown kernel" 2 "" \
  "kernels: unknown kernel '4.19' (want 6.1, 5.10 or 6.12)"$'\n'"usage: scripts/kernels [6.1] [5.10] [6.12]"$'\n' \
  "$root/scripts/kernels" 4.19

finish
