# The producer's whole run in real time: the three-second pause, the sending
# and the full 300-second window.  Slow (about five minutes): run it with
# scripts/test -L slow.
# shellcheck source=lib.sh
source "$(dirname "$0")/lib.sh"

cp "$PRODUCER" "$scratch/producer"
cd "$scratch" || exit 1
digest=$(digest_of producer)
load
begin=$(date +%s%N)
"$ELEVMOD" run ./producer >"$scratch/out" 2>"$scratch/err"
status=$?
end=$(date +%s%N)
seconds=$(( (end - begin) / 1000000000 ))
echo "note: the run took $seconds s"
expect "status" "$status" 0
expect "stderr" "$(cat "$scratch/err")" ""
expect "digest first" "$(head -n 1 "$scratch/out")" "$digest"
"$BIN/tests/passengers" | sed 's/$/\nSuccessfully added/' >"$scratch/want"
expect "every passenger in order" \
  "$(sed -n 2,20001p "$scratch/out" | cmp - "$scratch/want" && echo same)" same
# A sending phase under a second leaves the whole window to wait.
expect "tail" "$(tail -n 3 "$scratch/out")" \
  $'Done adding people\nWaiting for the remaining 300 seconds\nTime is up!!!'
expect "lasts pause and window ($seconds s)" \
  "$(( seconds >= 303 && seconds < 320 ))" 1
expect "service holds all" "$(json_field accepted)" 10000
unload

finish
