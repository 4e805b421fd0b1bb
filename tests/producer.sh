# producer: the whole run under accelerated time, its failure paths, and
# several producers and a consumer against one service at once.
# shellcheck source=lib.sh
source "$(dirname "$0")/lib.sh"

mkdir "$scratch/bin"
cp "$PRODUCER" "$scratch/bin/producer"
cp "$CONSUMER" "$scratch/bin/consumer"
cd "$scratch/bin" || exit 1
digest=$(digest_of producer)
"$BIN/tests/passengers" >"$scratch/expected"
first=$(head -n 1 "$scratch/expected")

# The model of the load gives the documented first five passengers.
expect "first five passengers" "$(head -n 5 "$scratch/expected")" \
"Attempting to add a person of type 1, to floor 5, going to 1
Attempting to add a person of type 1, to floor 2, going to 1
Attempting to add a person of type 2, to floor 8, going to 1
Attempting to add a person of type 0, to floor 8, going to 1
Attempting to add a person of type 1, to floor 2, going to 4"

# Any argument: the two lines, status 255, at once.
usage=$'Wrong number of arguments!\n  call using ./producer\n'
begin=$(date +%s%N)
check "one argument" 255 "" "$usage" ./producer x
check "--help is an argument too" 255 "" "$usage" ./producer --help
check "three arguments" 255 "" "$usage" ./producer a b c
check "an empty argument" 255 "" "$usage" ./producer ""
end=$(date +%s%N)
expect "no pause on arguments" "$(( (end - begin) / 1000000 < 2000 ))" 1
check "empty program name" 255 "" \
  $'Wrong number of arguments!\n  call using producer\n' \
  bash -c 'exec -a "" ./producer x'

# No module: the digest, one attempt line, then the complaint on stderr.
check "no service" 1 "$digest"$'\n'"$first"$'\n' $'Module is not loaded!\n' \
  "${UNNAMED[@]}" "$ELEVMOD" run -- "${FAST[@]}" ./producer
check "stock kernel" 1 "$digest"$'\n'"$first"$'\n' $'Module is not loaded!\n' \
  "${FAST[@]}" ./producer
check "result 2" 1 "$digest"$'\n'"$first"$'\n' $'Module is not loaded!\n' \
  "$ELEVMOD" run --reply 324=2 -- "${FAST[@]}" ./producer
check "result 1" 1 "$digest"$'\n'"$first"$'\n' $'Invalid request!\n' \
  "$ELEVMOD" run --reply 324=1 -- "${FAST[@]}" ./producer

# The whole run, with the window passed a hundred times faster.  Meanwhile
# the service's count is watched from outside.  Each look at it happens
# somewhere between the real times taken before and after it, so the looks
# bracket the sending: it began after the last look that saw none accepted
# and by the end of the first that saw some; it ended after the start of
# the last look that saw fewer than 10,000 and by the end of the first that
# saw them all.  On a slow machine the bracket only widens.
watch_sending() {
  local before after count deadline=$(( $(date +%s) + 600 ))
  local zero_before=0 some_after="" below_before=0
  while [ "$(date +%s)" -lt $deadline ]; do
    before=$(date +%s%N)
    count=$(json_field accepted)
    after=$(date +%s%N)
    count=${count:-0}
    if [ "$count" -eq 0 ]; then
      zero_before=$before
    elif [ -z "$some_after" ]; then
      some_after=$after
    fi
    if [ "$count" -ge 10000 ]; then
      echo "$zero_before $some_after $below_before $after"
      return
    fi
    [ "$count" -gt 0 ] && below_before=$before
  done
}
load
watch_sending >"$scratch/watched" &
watcher=$!
begin=$(date +%s%N)
"$ELEVMOD" run -- "${FAST[@]}" ./producer >"$scratch/out" 2>"$scratch/err"
status=$?
end=$(date +%s%N)
wait $watcher
expect "full run: status" "$status" 0
expect "full run: stderr" "$(cat "$scratch/err")" ""
expect "full run: digest first" "$(head -n 1 "$scratch/out")" "$digest"
expect "full run: lines" "$(wc -l <"$scratch/out")" 20004
{
  echo "$digest"
  sed 's/$/\nSuccessfully added/' "$scratch/expected"
  echo "Done adding people"
} >"$scratch/want"
expect "full run: every passenger in order" \
  "$(head -n 20002 "$scratch/out" | cmp - "$scratch/want" && echo same)" same
waiting=$(sed -n 20003p "$scratch/out")
remaining=$(sed -n 's/^Waiting for the remaining \(-\{0,1\}[0-9]*\) seconds$/\1/p' \
  <<<"$waiting")
expect "full run: waiting line ($waiting)" \
  "$( [ -n "$remaining" ] && [ "$remaining" -le 300 ] && echo ok)" ok
remaining=${remaining:-0}
expect "full run: last line" "$(tail -n 1 "$scratch/out")" "Time is up!!!"
# In the accelerated clock a hundredth of a real second is one second.  The
# sending the producer measured (whole seconds, so up to one short) lies
# within what was watched; the run outlasts the window counted from the
# sending and ends soon after it (a double sleep or none would show).
fake() { echo $(( $1 / 10000000 )); }
read -r zero_before some_after below_before full_after <"$scratch/watched"
shortest=$(fake $(( below_before - some_after )))
longest=$(fake $(( ${full_after:-0} - zero_before )))
measured=$(( 300 - remaining ))
expect "full run: sending measured $measured s, watched $shortest..$longest s" \
  "$(( measured + 1 >= shortest && measured <= longest ))" 1
run=$(fake $(( end - begin )))
latest=$(( $(fake $(( some_after - begin ))) + (measured > 300 ? measured : 300) + 50 ))
echo "note: sending measured $measured s, watched $shortest..$longest s; run $run s (accelerated clock)"
expect "full run: lasts the window ($run s, at most $latest s)" \
  "$(( run >= 300 && run <= latest ))" 1
expect "full run: service holds all" "$(json_field accepted)" 10000
expect_invariant
unload

# A refusal mid-run: 100 accepted, the 101st attempt line, status 1.
load --max-waiting 100
"$ELEVMOD" run -- "${FAST[@]}" ./producer >"$scratch/out" 2>"$scratch/err"
expect "refusal: status" "$?" 1
expect "refusal: stderr" "$(cat "$scratch/err")" "Invalid request!"
{
  echo "$digest"
  head -n 100 "$scratch/expected" | sed 's/$/\nSuccessfully added/'
  sed -n 101p "$scratch/expected"
} >"$scratch/want"
expect "refusal: stdout" "$(cmp "$scratch/out" "$scratch/want" && echo same)" same
expect "refusal: service holds 100" "$(json_field accepted)" 100
unload

# Unloaded during the sending: the next request fails, and every request the
# producer was told was accepted is in the service's final count.  The
# producer is held in write() with its output unread, part-way through.
load
hold_output "$scratch/out"
"$ELEVMOD" run -- "${FAST_ENV[@]}" ./producer >"$held" 2>"$scratch/err" &
pid=$!
wait_until in_syscall $pid 1 || fail "unloaded mid-run: producer never held"
"$ELEVMOD" unload --json >"$scratch/final"
release_output
wait $pid
expect "unloaded mid-run: status" "$?" 1
wait $held_reader
expect "unloaded mid-run: stderr" "$(cat "$scratch/err")" "Module is not loaded!"
added=$(grep -c '^Successfully added$' "$scratch/out")
final=$(field_of "$(cat "$scratch/final")" accepted)
expect "unloaded mid-run: stopped part-way ($added)" \
  "$(( added > 0 && added < 10000 ))" 1
expect "unloaded mid-run: accepted = added" "$final" "$added"
expect "unloaded mid-run: ends on an attempt line" \
  "$(tail -n 1 "$scratch/out")" "$(sed -n "$((added + 1))p" "$scratch/expected")"

# A wall clock stepped back during the sending leaves more to wait than
# usleep's 32-bit count of microseconds holds (4,294 s): the whole of it is
# slept all the same.  The clock runs a thousand times faster here, and is
# set back 15,000 s while the producer is held part-way through the sending:
# the remaining count stays beyond that range for a sending of up to ten
# real seconds (a slow guest under emulation takes two or three).
load
echo "+0 x1000" >"$scratch/clock"
hold_output "$scratch/out"
begin=$(date +%s%N)
"$ELEVMOD" run -- env LD_PRELOAD="$FAKETIME_LIB" \
  FAKETIME_TIMESTAMP_FILE="$scratch/clock" FAKETIME_NO_CACHE=1 \
  ./producer >"$held" 2>"$scratch/err" &
pid=$!
wait_until in_syscall $pid 1 || fail "clock stepped back: producer never held"
echo "-15000 x1000" >"$scratch/clock"
release_output
wait $pid
expect "clock stepped back: status" "$?" 0
end=$(date +%s%N)
wait $held_reader
remaining=$(sed -n 's/^Waiting for the remaining \([0-9]*\) seconds$/\1/p' \
  "$scratch/out")
remaining=${remaining:-0}
slept=$(( (end - begin) / 1000000 ))  # a real millisecond is a second here
expect "clock stepped back: remaining $remaining s beyond usleep's range" \
  "$(( remaining > 4295 ))" 1
expect "clock stepped back: slept it all ($slept s)" \
  "$(( slept >= remaining ))" 1
expect "clock stepped back: last line" "$(tail -n 1 "$scratch/out")" \
  "Time is up!!!"
unload

# Three producers and a consumer at once against one service.
load --step-ms 5
for i in 1 2 3; do
  "$ELEVMOD" run -- "${FAST[@]}" ./producer >"$scratch/p$i" 2>&1 &
done
wait_for_first_request  # the consumer meets the producers mid-run
"$ELEVMOD" run -- "${FAST[@]}" ./consumer --start >"$scratch/c1" 2>&1
"$ELEVMOD" run -- "${FAST[@]}" ./consumer --stop >"$scratch/c2" 2>&1
for job in $(jobs -p); do
  wait "$job"
  expect "concurrent producer $job: status" "$?" 0
done
expect "concurrent consumer" "$(tail -n 1 "$scratch/c1"; tail -n 1 "$scratch/c2")" \
  $'Elevator successfully started\nElevator is now stopped'
total=$(cat "$scratch"/p[123] | grep -c '^Successfully added$')
expect "concurrent: added" "$total" 30000
expect "concurrent: accepted = added" "$(json_field accepted)" "$total"
expect_invariant
unload

finish
