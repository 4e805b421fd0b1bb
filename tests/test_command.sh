# The test command ended early (a Ctrl-C, a TERM from timeout) ends
# everything it started: here, while the real-time producer's test runs
# under it, no process of that test is left a moment later, and it says so
# and exits 130.  Slow (it runs the test command itself, build included).
# shellcheck source=lib.sh
source "$(dirname "$0")/lib.sh"

root=$(cd "$(dirname "$0")/.." && pwd)
setsid "$root/scripts/test" -L slow -R '^producer_real$' >"$scratch/out" 2>"$scratch/err" &
command=$!
# ctest runs in a session of its own, as the command's child.
tests_session() { tests=$(pgrep -P "$command" -x ctest); }
producing() { tests_session && pgrep -s "$tests" -x producer >/dev/null; }
# (The build comes first: it may take a while.)
deadline=$(( $(date +%s) + 600 ))
until producing; do
  [ "$(date +%s)" -lt $deadline ] || break
  sleep 0.1
done
if producing; then ok; else fail "the producer's test did not start"; fi
kill -TERM "$command"
wait "$command"
expect "the status of an ended test command" "$?" 130
grep -q '^scripts/test: interrupted; ending the tests it started$' "$scratch/err" && ok ||
  fail "the test command did not say it was interrupted"
gone() { ! pgrep -s "$tests" >/dev/null; }
if wait_until gone; then ok; else
  fail "processes of the ended tests are left: $(pgrep -a -s "$tests")"
fi
# A label that names no test is a mistake, not a pass.
"$root/scripts/test" -L no_such_label >"$scratch/out" 2>&1
expect "a label with no test fails" "$?" 8
expect "and says so" "$(grep -c 'No tests were found' "$scratch/out")" 1
finish
